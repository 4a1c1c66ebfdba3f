// One item on its way to the adaptors that accepted it. The answer to the
// client waits for all of them; the first failure any of them reports is the
// result, otherwise S_OK.
#pragma once
#include <atomic>
#include <cstddef>
#include <functional>

#include "core/HResult.h"

namespace hv::host {

class Delivery {
 public:
  using Completion = std::function<void(HResult)>;

  explicit Delivery(Completion done) : done_(std::move(done)) {}

  // Called once, before any adaptor has the item, with the number of
  // adaptors that will complete it. With 0 the delivery completes at once.
  void Expect(size_t adaptors);
  // Called once by each adaptor, from any thread.
  void Complete(HResult result);

 private:
  std::atomic<size_t> remaining_{0};
  std::atomic<HResult> failure_{S_OK};
  Completion done_;
};

}  // namespace hv::host
