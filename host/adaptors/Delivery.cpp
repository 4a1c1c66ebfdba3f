#include "adaptors/Delivery.h"

namespace hv::host {

void Delivery::Expect(size_t adaptors) {
  if (adaptors == 0) {
    if (done_) done_(S_OK);
    return;
  }
  remaining_.store(adaptors);
}

void Delivery::Complete(HResult result) {
  if (Failed(result)) {
    HResult expected = S_OK;
    failure_.compare_exchange_strong(expected, result);
  }
  if (remaining_.fetch_sub(1) == 1 && done_) done_(failure_.load());
}

}  // namespace hv::host
