#include "TestMuxState.h"

#include <algorithm>
#include <chrono>

namespace hv::testmux {

TestMuxState& TestMuxState::Instance() {
  // Never destroyed: threads of the double may still use it while the
  // process ends.
  static TestMuxState* state = new TestMuxState();
  return *state;
}

void TestMuxState::Reset() {
  // Released after the lock: releases may run client code.
  std::vector<TestMuxReply> dropped;
  std::vector<std::shared_ptr<TestMuxEndpoint>> droppedLive;
  std::lock_guard<std::mutex> lock(mutex_);
  callLog_.clear();
  failConnectCount_ = 0;
  connectCount_ = 0;
  lastAddress_.clear();
  droppedLive.swap(live_);
  failPostCount_ = 0;
  messages_.clear();
  for (auto& entry : replies_)
    for (auto& reply : entry.second) dropped.push_back(std::move(reply));
  replies_.clear();
  autoAnswer_ = false;
}

void TestMuxState::Log(const std::string& call) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!callLog_.empty()) callLog_ += ';';
  callLog_ += call;
}

std::string TestMuxState::CallLog() {
  std::lock_guard<std::mutex> lock(mutex_);
  return callLog_;
}

void TestMuxState::FailConnect(LONG count, HRESULT hr) {
  std::lock_guard<std::mutex> lock(mutex_);
  failConnectCount_ = count;
  failConnectHr_ = hr;
}

HRESULT TestMuxState::BeginConnect(const wchar_t* address) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++connectCount_;
  lastAddress_ = address ? address : L"";
  if (failConnectCount_ == 0) return S_OK;
  if (failConnectCount_ > 0) --failConnectCount_;
  return failConnectHr_;
}

LONG TestMuxState::ConnectCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return connectCount_;
}

std::wstring TestMuxState::LastAddress() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastAddress_;
}

LONG TestMuxState::NextContext() {
  std::lock_guard<std::mutex> lock(mutex_);
  // A context is never 0.
  if (++nextContext_ == 0) ++nextContext_;
  return nextContext_;
}

void TestMuxState::AddLive(std::shared_ptr<TestMuxEndpoint> endpoint) {
  std::lock_guard<std::mutex> lock(mutex_);
  live_.push_back(std::move(endpoint));
}

void TestMuxState::RemoveLive(const TestMuxEndpoint* endpoint) {
  std::lock_guard<std::mutex> lock(mutex_);
  live_.erase(std::remove_if(live_.begin(), live_.end(),
                             [endpoint](const std::shared_ptr<TestMuxEndpoint>& e) { return e.get() == endpoint; }),
              live_.end());
}

LONG TestMuxState::LiveCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<LONG>(live_.size());
}

std::shared_ptr<TestMuxEndpoint> TestMuxState::Newest() {
  std::lock_guard<std::mutex> lock(mutex_);
  return live_.empty() ? nullptr : live_.back();
}

void TestMuxState::FailPost(LONG count, HRESULT hr) {
  std::lock_guard<std::mutex> lock(mutex_);
  failPostCount_ = count;
  failPostHr_ = hr;
}

HRESULT TestMuxState::RecordPost(const MuxMessageContent& content) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (failPostCount_ != 0) {
    if (failPostCount_ > 0) --failPostCount_;
    return failPostHr_;
  }
  messages_.push_back({content, 1});
  recorded_.notify_all();
  return S_OK;
}

void TestMuxState::RecordTransact(const MuxMessageContent& content) {
  std::lock_guard<std::mutex> lock(mutex_);
  messages_.push_back({content, 2});
  recorded_.notify_all();
}

LONG TestMuxState::MessageCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<LONG>(messages_.size());
}

bool TestMuxState::WaitForMessages(LONG count, DWORD timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return recorded_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return static_cast<LONG>(messages_.size()) >= count; });
}

bool TestMuxState::Message(LONG index, RecordedMessage* message) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index < 0 || static_cast<size_t>(index) >= messages_.size()) return false;
  *message = messages_[index];
  return true;
}

void TestMuxState::AddReply(const std::string& msgType, TestMuxReply reply, bool replace) {
  std::deque<TestMuxReply> dropped;
  std::lock_guard<std::mutex> lock(mutex_);
  auto& replies = replies_[msgType];
  if (replace) dropped.swap(replies);
  replies.push_back(std::move(reply));
}

bool TestMuxState::TakeReply(const std::string& msgType, TestMuxReply* reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = replies_.find(msgType);
  if (found == replies_.end() || found->second.empty()) return false;
  auto& replies = found->second;
  // The last reply answers every later request.
  if (replies.size() == 1) {
    *reply = replies.front();
  } else {
    *reply = std::move(replies.front());
    replies.pop_front();
  }
  return true;
}

void TestMuxState::SetAutoAnswer(bool enabled, HRESULT hr, DWORD delayMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  autoAnswer_ = enabled;
  autoAnswerHr_ = hr;
  autoAnswerDelayMs_ = delayMs;
}

bool TestMuxState::AutoAnswer(HRESULT* hr, DWORD* delayMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  *hr = autoAnswerHr_;
  *delayMs = autoAnswerDelayMs_;
  return autoAnswer_;
}

}  // namespace hv::testmux
