#include "rights/AuditItem.h"

#include <chrono>
#include <cstring>

#include "common/ByteStream.h"
#include "core/Utf.h"

namespace hv::host {
namespace {

constexpr double kUnixEpochAsOleDate = 25569.0;  // 1970-01-01

void Counted(hv::ByteWriter& w, const std::string& utf8) {
  std::u16string text = Utf8ToUtf16(utf8);
  w.u32(uint32_t(text.size() * 2 + 2));
  for (char16_t c : text) w.u16(uint16_t(c));
  w.u16(0);
}

}  // namespace

std::vector<uint8_t> AuditItemStream(const std::string& text, const std::string& account) {
  using namespace std::chrono;
  double now = kUnixEpochAsOleDate +
               double(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count()) / 86400000.0;
  uint64_t dateBits;
  std::memcpy(&dateBits, &now, 8);
  std::vector<uint8_t> out;
  hv::ByteWriter w(&out);
  w.u32(2);  // stream version
  Counted(w, "");          // location
  Counted(w, "tarnhost");  // provider
  Counted(w, text);
  Counted(w, account);
  Counted(w, "");  // help file
  w.u32(uint32_t(dateBits));
  w.u32(uint32_t(dateBits >> 32));
  w.u32(8);    // severity: Audit
  w.u32(0xF);  // every audience
  w.u32(0);    // verbosity
  w.u32(0);    // help context
  for (int i = 0; i < 16; ++i) w.u8(0);  // error guid
  w.u32(uint32_t(-1));  // no resource message id: the text is the message
  w.u32(0);             // arguments
  w.u32(0);             // no child
  w.u32(0);             // extended parameters
  w.u16(0);             // user description: VT_EMPTY
  w.u16(2);
  w.u32(0);
  return out;
}

}  // namespace hv::host
