// One client connection: a reader thread that cuts frames and hands their
// messages to the message handler, and a sender thread for what goes back.
//
// The connection stays open until the client has stopped sending and every
// "5" it is owed has gone out. A client that breaks the framing, or the host
// stopping, ends the reading; owed answers are still sent. So does a frame
// left incomplete beyond the frame time-out, a connection idle beyond the
// idle time-out, and partial frames beyond the host's byte budget.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/Limits.h"
#include "core/Logger.h"
#include "protocol/FrameReader.h"
#include "rights/Rights.h"
#include "service/MessageHandler.h"
#include "service/Peer.h"
#include "service/ReadService.h"
#include "service/ReadSession.h"
#include "service/Sender.h"
#include "service/Socket.h"
#include "service/StopSignal.h"

namespace hv::host {

class Connection final : public Peer, public std::enable_shared_from_this<Connection> {
 public:
  // Without `reading` the connection serves no reading frames. `early` is
  // what was read from the socket before (its Hello, at least in part).
  Connection(uint64_t number, Socket socket, const std::string& peerAddress, MessageHandler& handler, Logger& log,
             const StopSignal& stop, ReadService* reading, const Limits& limits, ByteBudget& budget,
             std::vector<uint8_t> early, Account account);
  ~Connection() override;

  void Start();
  // Both threads have ended; Join returns at once.
  bool Finished() const;
  void Join();

  const std::string& label() const override { return label_; }
  void SendFrame(std::vector<uint8_t> frame) override;
  void OweAnswer() override;
  void SendAnswer(std::vector<uint8_t> frame) override;
  size_t PendingBytes() const override { return sender_.PendingBytes(); }
  uint32_t rights() const override { return account_.rights; }
  std::string account() const override { return account_.name; }

 private:
  void ReadLoop();
  // Reads what the socket holds without waiting; used once the host stops.
  void Drain();
  // False when the connection cannot go on reading.
  bool Consume(const uint8_t* data, size_t size);
  // Counts the partial frame against the budget; false when it does not fit.
  bool HoldPending();
  // False when a time-out ends the connection; `waitMs` is how long to wait
  // for bytes before asking again (-1: no time-out is running).
  bool InTime(int* waitMs);
  bool HandleFrame(Frame& frame);
  bool HandleHello(const Frame& frame);
  void SendError(uint32_t frameId, HResult result, const std::string& why);
  void ReaderEnded();
  void FinishIfDone();

  const std::string label_;
  const Account account_;
  Socket socket_;
  MessageHandler& handler_;
  Logger& log_;
  const StopSignal& stop_;
  const Limits& limits_;
  ByteBudget& budget_;
  Sender sender_;
  std::vector<uint8_t> early_;
  size_t held_ = 0;  // bytes of the partial frame taken from the budget
  std::chrono::steady_clock::time_point lastReceived_;
  std::chrono::steady_clock::time_point partialSince_;
  bool framesCompleted_ = false;  // by the latest Consume
  FrameReader frames_;
  bool helloDone_ = false;
  ReadService* reading_;
  std::unique_ptr<ReadSession> readSession_;  // made by the first reading frame

  std::mutex mutex_;
  size_t owed_ = 0;
  bool readerEnded_ = false;
  std::atomic<bool> readerThreadDone_{false};
  std::thread reader_;
};

}  // namespace hv::host
