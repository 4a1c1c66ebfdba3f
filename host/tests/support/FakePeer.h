// A connection stand-in for the message handler and the subscriptions: it
// keeps every frame it is sent, counts the answers owed, and its queue can
// be made to look full. Safe to use from the threads that push.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "protocol/FrameReader.h"
#include "service/Peer.h"

namespace hvtest {

class FakePeer final : public hv::host::Peer {
 public:
  const std::string& label() const override { return label_; }
  void SendFrame(std::vector<uint8_t> frame) override {
    std::lock_guard<std::mutex> lock(mutex_);
    reader_.Append(frame.data(), frame.size());
    hv::host::Frame f;
    std::string why;
    while (reader_.Next(&f, &why) == hv::host::FrameReader::Status::HaveFrame) frames_.push_back(f);
    changed_.notify_all();
  }
  void OweAnswer() override { ++owed; }
  void SendAnswer(std::vector<uint8_t> frame) override {
    --owed;
    SendFrame(std::move(frame));
  }
  size_t PendingBytes() const override { return pending.load(); }

  std::vector<hv::host::Frame> Frames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
  }
  // The next frame not yet taken, if one has come.
  std::optional<hv::host::Frame> Next() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (taken_ == frames_.size()) return std::nullopt;
    return frames_[taken_++];
  }
  // Waits until `done` says yes to the frames so far, at most timeoutMs.
  template <typename Done>
  bool WaitUntil(Done done, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return done(frames_); });
  }

  std::atomic<int> owed{0};
  std::atomic<size_t> pending{0};

 private:
  std::string label_ = "test peer";
  std::mutex mutex_;
  std::condition_variable changed_;
  hv::host::FrameReader reader_;
  std::vector<hv::host::Frame> frames_;
  size_t taken_ = 0;
};

}  // namespace hvtest
