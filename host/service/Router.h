// The host's adaptors, in configuration order, and the routing of items to
// them by their enable flags.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "adaptors/Adaptor.h"

namespace hv::host {

class Router {
 public:
  explicit Router(std::vector<std::unique_ptr<Adaptor>> adaptors) : adaptors_(std::move(adaptors)) {}

  // Hands the item to every adaptor whose flags accept it and returns how
  // many took it. The delivery completes when all of them have, at once when
  // none did.
  size_t Route(const ItemRecord& item, const std::shared_ptr<const std::vector<uint8_t>>& stream,
               const std::shared_ptr<Delivery>& delivery) const;

  Adaptor* Find(const Guid& clsid) const;
  // The class ids in registry form, separated by ";".
  std::string ClassList() const;
  const std::vector<std::unique_ptr<Adaptor>>& adaptors() const { return adaptors_; }

 private:
  std::vector<std::unique_ptr<Adaptor>> adaptors_;
};

}  // namespace hv::host
