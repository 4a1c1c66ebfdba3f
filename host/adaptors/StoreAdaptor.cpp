#include "adaptors/StoreAdaptor.h"

namespace hv::host {

void StoreAdaptor::Deliver(const ItemRecord& item, const std::shared_ptr<const std::vector<uint8_t>>& stream,
                           const std::shared_ptr<Delivery>& delivery) {
  bool queued = writer_.AddRow(StoreRow::FromItem(item, stream), [delivery](HResult hr) { delivery->Complete(hr); });
  // Only a writer that is stopping refuses, and connections are stopped
  // before the writer; should one still come, it is not left unanswered.
  if (!queued) delivery->Complete(E_FAIL);
}

}  // namespace hv::host
