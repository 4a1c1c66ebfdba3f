// Everything the test double records and everything a test tells it, for the
// whole process. One instance; every member takes the state's lock.
#pragma once
#include <windows.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "TestMuxEndpoint.h"
#include "mux/CMuxMessage.h"

namespace hv::testmux {

struct TestMuxReply {
  HRESULT transactResult = S_OK;
  MuxMessageContent content;
  ComPtr<IUnknown> marshalAfterBody;
};

struct RecordedMessage {
  MuxMessageContent content;
  LONG sendKind = 0;
};

class TestMuxState {
 public:
  static TestMuxState& Instance();

  void Reset();
  void Log(const std::string& call);
  std::string CallLog();

  void FailConnect(LONG count, HRESULT hr);
  // Counts the attempt and keeps its address; the failure to return, if one is due.
  HRESULT BeginConnect(const wchar_t* address);
  LONG ConnectCount();
  std::wstring LastAddress();
  LONG NextContext();

  void AddLive(std::shared_ptr<TestMuxEndpoint> endpoint);
  void RemoveLive(const TestMuxEndpoint* endpoint);
  LONG LiveCount();
  std::shared_ptr<TestMuxEndpoint> Newest();

  void FailPost(LONG count, HRESULT hr);
  // The failure to return, if one is due; otherwise the message is recorded.
  HRESULT RecordPost(const MuxMessageContent& content);
  void RecordTransact(const MuxMessageContent& content);
  LONG MessageCount();
  bool WaitForMessages(LONG count, DWORD timeoutMs);
  bool Message(LONG index, RecordedMessage* message);

  void AddReply(const std::string& msgType, TestMuxReply reply, bool replace);
  // The next reply for msgType; false when none was set.
  bool TakeReply(const std::string& msgType, TestMuxReply* reply);

  void SetAutoAnswer(bool enabled, HRESULT hr, DWORD delayMs);
  bool AutoAnswer(HRESULT* hr, DWORD* delayMs);

 private:
  TestMuxState() = default;

  std::mutex mutex_;
  std::condition_variable recorded_;
  std::string callLog_;
  LONG failConnectCount_ = 0;
  HRESULT failConnectHr_ = S_OK;
  LONG connectCount_ = 0;
  std::wstring lastAddress_;
  LONG nextContext_ = 0;
  std::vector<std::shared_ptr<TestMuxEndpoint>> live_;
  LONG failPostCount_ = 0;
  HRESULT failPostHr_ = S_OK;
  std::vector<RecordedMessage> messages_;
  std::map<std::string, std::deque<TestMuxReply>> replies_;
  bool autoAnswer_ = false;
  HRESULT autoAnswerHr_ = S_OK;
  DWORD autoAnswerDelayMs_ = 0;
};

}  // namespace hv::testmux
