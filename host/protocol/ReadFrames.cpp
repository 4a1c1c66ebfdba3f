#include "protocol/ReadFrames.h"

namespace hv::host {
namespace {

// The filter at the end of OpenReader and Subscribe: its length in UTF-16
// units, then exactly that many units.
bool ReadFilter(ByteReader& r, std::u16string* filter, std::string* error) {
  uint32_t units;
  if (!r.u32(&units)) return *error = "the payload ends inside the filter length", false;
  if (r.remaining() != size_t(units) * 2)
    return *error = "a filter of " + std::to_string(units) + " UTF-16 units needs " + std::to_string(size_t(units) * 2) +
                    " bytes, " + std::to_string(r.remaining()) + " follow",
           false;
  filter->resize(units);
  for (auto& c : *filter) {
    uint16_t unit = 0;
    r.u16(&unit);
    c = char16_t(unit);
  }
  return true;
}

}  // namespace

bool OpenReaderRequest::Decode(const uint8_t* payload, size_t size, OpenReaderRequest* out, std::string* error) {
  ByteReader r(payload, size);
  if (size < 32) return *error = "an OpenReader payload has at least 32 bytes, not " + std::to_string(size), false;
  out->adaptor.Read(r);
  r.u32(&out->direction);
  r.u32(&out->origin);
  r.i32(&out->offset);
  return ReadFilter(r, &out->filter, error);
}

bool SubscribeRequest::Decode(const uint8_t* payload, size_t size, SubscribeRequest* out, std::string* error) {
  ByteReader r(payload, size);
  if (size < 20) return *error = "a Subscribe payload has at least 20 bytes, not " + std::to_string(size), false;
  out->adaptor.Read(r);
  return ReadFilter(r, &out->filter, error);
}

bool HandleRequest::Decode(const uint8_t* payload, size_t size, int numbers, HandleRequest* out, std::string* error) {
  size_t expected = 4 + 4 * size_t(numbers);
  if (size != expected)
    return *error = "the payload has " + std::to_string(size) + " bytes, not " + std::to_string(expected), false;
  ByteReader r(payload, size);
  r.u32(&out->handle);
  if (numbers >= 1) r.u32(&out->first);
  if (numbers >= 2) r.i32(&out->second);
  return true;
}

}  // namespace hv::host
