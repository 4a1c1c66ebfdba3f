// The forwarder adaptor: sends every item it accepts to the central syslog
// service as one syslog message (SyslogMessage) over TCP, framed by octet
// counting.
//
// An item counts as delivered once it is in the forwarder's buffer: the
// forwarder never holds up a "5" answer, and an item is only as safe as the
// store adaptor makes it. One sender thread empties the buffer in order.
// While the server cannot be reached the buffer keeps up to bufferItems
// messages; beyond that the oldest are dropped and counted, the first drop
// and the count are logged, and the sender tries again after a quarter
// second, doubling the wait after each failure up to reconnectMaxMs. A
// message is taken from the buffer once all its bytes are written; the
// protocol has no acknowledgement, so the few written just before the
// server goes away can be lost, or arrive twice when cut off in the middle.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "adaptors/Adaptor.h"
#include "adaptors/ForwarderSettings.h"
#include "core/Logger.h"
#include "service/Socket.h"

namespace hv::host {

class ForwarderAdaptor final : public Adaptor {
 public:
  // How long the destructor goes on sending what is buffered while the
  // server takes it.
  static constexpr int kStopDrainMs = 2000;

  ForwarderAdaptor(const AdaptorSettings& settings, Logger& log);
  ~ForwarderAdaptor() override;

  bool CanRead() const override { return false; }
  void Deliver(const ItemRecord& item, const std::shared_ptr<const std::vector<uint8_t>>& stream,
               const std::shared_ptr<Delivery>& delivery) override;

  // Stops the sender after it has written what it can within `drainMs`;
  // items still buffered then are discarded and counted in the log. No item
  // may be delivered after this.
  void Stop(int drainMs = kStopDrainMs);

  // Fully written to the server since start.
  uint64_t sent() const { return sent_.load(); }
  uint64_t dropped() const { return dropped_.load(); }
  size_t buffered() const;

 private:
  using Clock = std::chrono::steady_clock;

  void Run();
  bool Connect(std::string* why);
  // Writes every byte; false with the reason when the connection fails or
  // the server takes nothing for kWriteStallMs.
  bool WriteAll(const std::string& bytes, size_t* written, std::string* why);
  // Reads whatever the server sent (it never sends anything): true when it
  // has closed its side or the connection has failed.
  bool PeerClosed(std::string* why);
  // Waits for new items, the stop, the server closing, or `timeoutMs`.
  void Wait(int timeoutMs);
  void Wake();
  void DrainWake();
  // Puts messages whose writing failed back in front, then drops the
  // oldest beyond the bound. Called with mutex_ held.
  void RequeueLocked(std::vector<std::string>& messages, size_t from);
  uint64_t DropOldestLocked();
  void LogDropsBegin();

  const ForwarderSettings settings_;
  Logger& log_;
  const std::string label_;  // `forwarder "NAME"`, the start of its log lines

  mutable std::mutex mutex_;
  std::deque<std::string> queue_;  // framed messages, oldest first
  uint64_t dropsUnreported_ = 0;
  bool stopping_ = false;
  Clock::time_point drainUntil_;

  std::atomic<uint64_t> sent_{0};
  std::atomic<uint64_t> dropped_{0};
  int wakeFd_ = -1;
  Socket socket_;  // the sender thread's alone
  std::thread thread_;
};

}  // namespace hv::host
