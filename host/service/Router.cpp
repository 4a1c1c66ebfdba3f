#include "service/Router.h"

namespace hv::host {

size_t Router::Route(const ItemRecord& item, const std::shared_ptr<const std::vector<uint8_t>>& stream,
                     const std::shared_ptr<Delivery>& delivery) const {
  // Decide first, deliver after: a "8" message changing flags meanwhile must
  // not make the count differ from the adaptors that complete.
  std::vector<Adaptor*> takers;
  for (const auto& a : adaptors_)
    if (a->Accepts(item.audience, item.severity)) takers.push_back(a.get());
  delivery->Expect(takers.size());
  for (Adaptor* a : takers) a->Deliver(item, stream, delivery);
  return takers.size();
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
