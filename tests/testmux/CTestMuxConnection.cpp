#include "CTestMuxConnection.h"

#include <cstdlib>
#include <string>

#include "TestMuxState.h"
#include "mux/ModuleThread.h"

namespace hv::testmux {
namespace {

// What Post and Transact answer once the client has disconnected; the real
// component answers the same.
const HRESULT kNotConnected = HRESULT_FROM_WIN32(WSAENOTCONN);

const std::string* FieldOf(const MuxMessageContent& content, const char* name) {
  for (const auto& field : content.fields)
    if (field.first == name) return &field.second;
  return nullptr;
}

HRESULT BuildReply(const MuxMessageContent& request, TestMuxReply&& reply, IMuxMessage** ppReply) {
  MuxMessageContent content = std::move(reply.content);
  const std::string* requestId = FieldOf(request, "transid");
  if (requestId && !FieldOf(content, "transid")) content.fields.emplace_back("transid", *requestId);
  ComPtr<CMuxMessage> message;
  RETURN_IF_FAILED(CMuxMessage::Create(std::move(content), message.put()));
  if (reply.marshalAfterBody) {
    IStream* body = static_cast<IStream*>(message.get());
    const LARGE_INTEGER zero = {};
    RETURN_IF_FAILED(body->Seek(zero, STREAM_SEEK_END, nullptr));
    RETURN_IF_FAILED(CoMarshalInterface(body, IID_IUnknown, reply.marshalAfterBody.get(), MSHCTX_INPROC, nullptr,
                                        MSHLFLAGS_NORMAL));
    RETURN_IF_FAILED(body->Seek(zero, STREAM_SEEK_SET, nullptr));
  }
  *ppReply = message.release();
  return S_OK;
}

}  // namespace

const QIEntry CTestMuxConnection::kInterfaces[] = {HV_QI_ENTRY(CTestMuxConnection, IMuxConnection), HV_QI_END};

CTestMuxConnection::CTestMuxConnection(std::shared_ptr<TestMuxEndpoint> endpoint) : endpoint_(std::move(endpoint)) {}

CTestMuxConnection::~CTestMuxConnection() {
  TestMuxState::Instance().Log("Release");
  endpoint_->Stop();
  TestMuxState::Instance().RemoveLive(endpoint_.get());
}

STDMETHODIMP CTestMuxConnection::CreateMessage(IMuxMessage** ppMsg) {
  RETURN_HR_IF_NULL(E_POINTER, ppMsg);
  *ppMsg = nullptr;
  ComPtr<CMuxMessage> message;
  RETURN_IF_FAILED(CMuxMessage::Create(message.put()));
  *ppMsg = message.release();
  return S_OK;
}

STDMETHODIMP CTestMuxConnection::Post(IMuxMessage* msg, ULONG) {
  RETURN_HR_IF_NULL(E_POINTER, msg);
  ComPtr<CMuxMessage> message = CMuxMessage::FromInterface(msg);
  RETURN_HR_IF(E_INVALIDARG, !message);
  TestMuxState& state = TestMuxState::Instance();
  state.Log("Post");
  RETURN_IF_FAILED(endpoint_->State());
  MuxMessageContent content;
  RETURN_IF_FAILED(message->Snapshot(&content));
  RETURN_IF_FAILED(state.RecordPost(content));
  const std::string* type = FieldOf(content, "MSGTYPE");
  if (type && *type == "2") AutoAnswer(content);
  return S_OK;
}

void CTestMuxConnection::AutoAnswer(const MuxMessageContent& posted) {
  HRESULT hr = S_OK;
  DWORD delayMs = 0;
  if (!TestMuxState::Instance().AutoAnswer(&hr, &delayMs)) return;
  MuxMessageContent answer;
  answer.fields.emplace_back("MSGTYPE", "5");
  answer.fields.emplace_back("HRESULT", std::to_string(static_cast<long>(hr)));
  const std::string* id = FieldOf(posted, "transid");
  answer.fields.emplace_back("transid", id ? *id : "0");
  answer.body = posted.body;
  std::shared_ptr<TestMuxEndpoint> endpoint = endpoint_;
  StartModuleThread([endpoint, delayMs, answer = std::move(answer)]() mutable {
    if (delayMs) Sleep(delayMs);
    ComPtr<CMuxMessage> message;
    if (FAILED(CMuxMessage::Create(std::move(answer), message.put()))) return;
    endpoint->Notify([&](IMuxSink* sink, LONG context) { return sink->OnMessage(context, message.get()); });
  });
}

STDMETHODIMP CTestMuxConnection::Transact(IMuxMessage* request, IMuxMessage** ppReply, ULONG) {
  RETURN_HR_IF_NULL(E_POINTER, ppReply);
  *ppReply = nullptr;
  RETURN_HR_IF_NULL(E_POINTER, request);
  ComPtr<CMuxMessage> message = CMuxMessage::FromInterface(request);
  RETURN_HR_IF(E_INVALIDARG, !message);
  TestMuxState& state = TestMuxState::Instance();
  state.Log("Transact");
  RETURN_IF_FAILED(endpoint_->State());
  MuxMessageContent content;
  RETURN_IF_FAILED(message->Snapshot(&content));
  state.RecordTransact(content);
  const std::string* type = FieldOf(content, "MSGTYPE");
  TestMuxReply reply;
  // Without a reply the service would never answer; the wait is not worth
  // making in a test.
  if (!state.TakeReply(type ? *type : std::string(), &reply)) return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
  RETURN_IF_FAILED(reply.transactResult);
  return BuildReply(content, std::move(reply), ppReply);
}

STDMETHODIMP CTestMuxConnection::Flush(ULONG) {
  TestMuxState::Instance().Log("Flush");
  return S_OK;
}

STDMETHODIMP CTestMuxConnection::Disconnect() {
  TestMuxState::Instance().Log("Disconnect");
  endpoint_->Disconnect(kNotConnected);
  return S_OK;
}

STDMETHODIMP CTestMuxConnection::Stop(LONG value) {
  TestMuxState::Instance().Log("Stop(" + std::to_string(value) + ")");
  RETURN_HR_IF(E_INVALIDARG, value != 0);
  endpoint_->Stop();
  return S_OK;
}

}  // namespace hv::testmux
