#include "service/Router.h"

namespace hv::host {

size_t Router::Route(const ItemRecord& item, const std::shared_ptr<const std::vector<uint8_t>>& stream,
                     const std::shared_ptr<Delivery>& delivery) const {
  // Decide first, deliver after: a "8" message changing flags meanwhile must
  // not make the count differ from the adaptors that complete.
  // A few adaptors are the rule: their list stays on the stack.
  constexpr size_t kFew = 8;
  Adaptor* few[kFew];
  std::vector<Adaptor*> many;
  size_t count = 0;
  for (const auto& a : adaptors_) {
    if (!a->Accepts(item.audience, item.severity)) continue;
    if (count < kFew) {
      few[count] = a.get();
    } else {
      if (many.empty()) many.assign(few, few + kFew);
      many.push_back(a.get());
    }
    ++count;
  }
  Adaptor* const* takers = many.empty() ? few : many.data();
  delivery->Expect(count);
  for (size_t i = 0; i < count; ++i) takers[i]->Deliver(item, stream, delivery);
  return count;
}

Adaptor* Router::Find(const Guid& clsid) const {
  for (const auto& a : adaptors_)
    if (a->clsid() == clsid) return a.get();
  return nullptr;
}

std::string Router::ClassList() const {
  std::string list;
  for (const auto& a : adaptors_) {
    if (!list.empty()) list += ';';
    list += a->clsid().ToRegistryString();
  }
  return list;
}

}  // namespace hv::host
