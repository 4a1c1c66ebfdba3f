// The thread that writes one connection's outgoing frames. A frame queued
// while nothing is on its way is sent at once by the queuing thread, as far as
// the socket takes it without waiting; frames queued while a send is under way
// go out together in the next one, so a burst of "5" answers costs few system
// calls.
//
// A client that stops reading cannot hold the host: a send that makes no
// progress for kSendTimeoutSeconds breaks the connection, and so does one
// whose unsent answers grow beyond its backlog or the host's byte budget.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/Logger.h"
#include "service/ByteBudget.h"

namespace hv::host {

class Sender {
 public:
  static constexpr int kSendTimeoutSeconds = 10;

  Sender(int fd, Logger& log, std::string label, size_t maxBacklog = SIZE_MAX, ByteBudget* budget = nullptr);
  ~Sender();
  Sender(const Sender&) = delete;
  Sender& operator=(const Sender&) = delete;

  void Start();
  // False when the connection is broken or finishing: the frame is dropped.
  bool Queue(std::vector<uint8_t> frame);
  // Sends what is queued, then shuts the sending side so the client sees the
  // end, and ends the thread.
  void Finish();
  void Join();
  bool ended() const;
  // Bytes queued and not yet handed to the socket.
  size_t PendingBytes() const;

 private:
  void Run();
  // The queue as it was is dropped; called with the mutex held.
  void Break(const std::string& why);

  const int fd_;
  Logger& log_;
  const std::string label_;
  const size_t maxBacklog_;
  ByteBudget* const budget_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<uint8_t> pending_;
  bool sending_ = false;  // the thread is sending what it took from pending_
  bool finishing_ = false;
  bool broken_ = false;
  bool ended_ = false;
  std::thread thread_;
};

}  // namespace hv::host
