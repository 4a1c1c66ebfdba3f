// The default adaptor: keeps every item it accepts in the host's database.
// An item counts as delivered once the transaction holding it has committed.
#pragma once
#include "adaptors/Adaptor.h"
#include "store/StoreWriter.h"

namespace hv::host {

class StoreAdaptor final : public Adaptor {
 public:
  StoreAdaptor(const AdaptorSettings& settings, StoreWriter& writer) : Adaptor(settings), writer_(writer) {}

  bool CanRead() const override { return true; }
  void Deliver(const ItemRecord& item, const std::shared_ptr<const std::vector<uint8_t>>& stream,
               const std::shared_ptr<Delivery>& delivery) override;

 private:
  StoreWriter& writer_;
};

}  // namespace hv::host
