#include "support/ItemBytes.h"

#include <algorithm>
#include <cstring>

namespace hvtest {

Bytes Le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

Bytes Le64(uint64_t v) {
  Bytes b = Le32(uint32_t(v));
  Bytes h = Le32(uint32_t(v >> 32));
  b.insert(b.end(), h.begin(), h.end());
  return b;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Counted(std::u16string_view text) {
  Bytes b = Le32(uint32_t(text.size() * 2 + 2));
  for (char16_t c : text) {
    b.push_back(uint8_t(c));
    b.push_back(uint8_t(c >> 8));
  }
  b.push_back(0);
  b.push_back(0);
  return b;
}

Bytes Variant(uint16_t vt, const Bytes& data) {
  Bytes b(2 + data.size());
  b[0] = uint8_t(vt);
  b[1] = uint8_t(vt >> 8);
  std::copy(data.begin(), data.end(), b.begin() + 2);
  return b;
}

Bytes ItemBytes::Build() const {
  uint64_t dateBits;
  std::memcpy(&dateBits, &dateTime, 8);
  Bytes b = Concat({Le32(version), Counted(location), Counted(provider), Counted(messageText), Counted(userName),
                    Counted(helpFile), Le64(dateBits), Le32(uint32_t(severity)), Le32(uint32_t(audience)),
                    Le32(uint32_t(verbosity)), Le32(helpContext)});
  b.insert(b.end(), errorGuid, errorGuid + 16);
  b = Concat({b, Le32(uint32_t(messageId)), Le32(uint32_t(arguments.size()))});
  for (const Bytes& a : arguments) b.insert(b.end(), a.begin(), a.end());
  if (child.empty()) {
    b = Concat({b, Le32(0)});
  } else {
    b = Concat({b, Le32(uint32_t(child.size() + childFiller)), child, Bytes(childFiller, 0)});
  }
  b = Concat({b, Le32(uint32_t(extended.size()))});
  for (const Bytes& e : extended) b.insert(b.end(), e.begin(), e.end());
  if (version == 2) b.insert(b.end(), userDescription.begin(), userDescription.end());
  return b;
}

Bytes SimpleItem(const std::u16string& location, int32_t audience, int32_t severity) {
  ItemBytes item;
  item.location = location;
  item.provider = u"Halvern Tests";
  item.messageText = u"message of " + location;
  item.userName = u"tester";
  item.dateTime = 45000.5;
  item.audience = audience;
  item.severity = severity;
  item.verbosity = 1;
  return item.Build();
}

}  // namespace hvtest
