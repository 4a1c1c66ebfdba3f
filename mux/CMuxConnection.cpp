#include "mux/CMuxConnection.h"

#include <cstdlib>
#include <cstring>

#include "common/ByteStream.h"
#include "mux/CAdaptorProxy.h"
#include "mux/CMuxMessage.h"
#include "mux/MuxLink.h"

namespace hv {
namespace {

const std::string* FieldOf(const MuxMessageContent& content, const char* name) {
  for (const auto& field : content.fields)
    if (field.first == name) return &field.second;
  return nullptr;
}

}  // namespace

const QIEntry CMuxConnection::kInterfaces[] = {HV_QI_ENTRY(CMuxConnection, IMuxConnection),
                                               HV_QI_ENTRY(CMuxConnection, IHvDirectItemPost), HV_QI_END};

CMuxConnection::CMuxConnection(std::shared_ptr<MuxLink> link) : link_(std::move(link)) {}

CMuxConnection::~CMuxConnection() {
  // This may run inside a notification, on the link's own reader thread:
  // nothing here waits for the link's threads.
  link_->Abandon();
}

STDMETHODIMP CMuxConnection::CreateMessage(IMuxMessage** ppMsg) {
  RETURN_HR_IF_NULL(E_POINTER, ppMsg);
  *ppMsg = nullptr;
  ComPtr<CMuxMessage> message;
  RETURN_IF_FAILED(CMuxMessage::Create(message.put()));
  *ppMsg = message.release();
  return S_OK;
}

STDMETHODIMP CMuxConnection::Post(IMuxMessage* msg, ULONG timeoutMs) {
  RETURN_HR_IF_NULL(E_POINTER, msg);
  // Only messages made by CreateMessage can be written to the wire.
  ComPtr<CMuxMessage> message = CMuxMessage::FromInterface(msg);
  RETURN_HR_IF(E_INVALIDARG, !message);
  // A "2" message is an item whose sender waits for the service's answer.
  const char* type = message->GetField("MSGTYPE");
  return link_->Post(*message, timeoutMs, type && std::strcmp(type, "2") == 0);
}

STDMETHODIMP CMuxConnection::PostItemStream(const BYTE* stream, ULONG size, ULONG timeoutMs) {
  RETURN_HR_IF_NULL(E_POINTER, stream);
  return link_->PostItem(stream, size, timeoutMs);
}

STDMETHODIMP CMuxConnection::Transact(IMuxMessage* request, IMuxMessage** ppReply, ULONG timeoutMs) {
  RETURN_HR_IF_NULL(E_POINTER, ppReply);
  *ppReply = nullptr;
  RETURN_HR_IF_NULL(E_POINTER, request);
  ComPtr<CMuxMessage> message = CMuxMessage::FromInterface(request);
  RETURN_HR_IF(E_INVALIDARG, !message);
  MuxMessageContent reply;
  RETURN_IF_FAILED(link_->Transact(*message, &reply, timeoutMs));
  const char* type = message->GetField("MSGTYPE");
  if (type && std::strcmp(type, "3") == 0) return CompleteAdaptorReply(*message, std::move(reply), ppReply);
  ComPtr<CMuxMessage> answer;
  RETURN_IF_FAILED(CMuxMessage::Create(std::move(reply), answer.put()));
  *ppReply = answer.release();
  return S_OK;
}

// The service describes the adaptor; the adaptor itself reaches the client as
// an interface pointer. There is no cross-process object to hand out, so the
// proxy is made here, in the client's process, and marshalled into the body
// the way the client expects to unmarshal it.
HRESULT CMuxConnection::CompleteAdaptorReply(CMuxMessage& request, MuxMessageContent&& reply,
                                             IMuxMessage** ppReply) {
  const std::string* result = FieldOf(reply, "HRESULT");
  const bool found = result && std::atol(result->c_str()) >= 0;
  if (found) {
    RETURN_HR_IF(HRESULT_FROM_WIN32(ERROR_INVALID_DATA), reply.body.size() < CAdaptorProxy::kRecordSize);
    // The record is followed by the marshalled pointer, nothing in between.
    reply.body.resize(CAdaptorProxy::kRecordSize);
  }
  CLSID clsid = {};
  const BYTE* data = nullptr;
  ULONG size = 0;
  request.GetData(&data, &size);
  if (size == sizeof(CLSID)) {
    ByteReader r(data, size);
    uint32_t d1 = 0;
    uint16_t d2 = 0, d3 = 0;
    r.u32(&d1);
    r.u16(&d2);
    r.u16(&d3);
    r.bytes(clsid.Data4, sizeof(clsid.Data4));
    clsid.Data1 = d1;
    clsid.Data2 = d2;
    clsid.Data3 = d3;
  }
  const std::string* reader = FieldOf(reply, "READER");
  const bool canRead = reader && *reader == "1";
  ComPtr<CAdaptorProxy> proxy;
  if (found) {
    proxy = MakeObject<CAdaptorProxy>(clsid, reply.body.data(), canRead, link_);
    RETURN_IF_NULL_ALLOC(proxy);
  }
  ComPtr<CMuxMessage> answer;
  RETURN_IF_FAILED(CMuxMessage::Create(std::move(reply), answer.put()));
  if (proxy) {
    IStream* body = static_cast<IStream*>(answer.get());
    const LARGE_INTEGER zero = {};
    RETURN_IF_FAILED(body->Seek(zero, STREAM_SEEK_END, nullptr));
    RETURN_IF_FAILED(
        CoMarshalInterface(body, IID_IUnknown, proxy->Inner(), MSHCTX_INPROC, nullptr, MSHLFLAGS_NORMAL));
    RETURN_IF_FAILED(body->Seek(zero, STREAM_SEEK_SET, nullptr));
  }
  *ppReply = answer.release();
  return S_OK;
}

STDMETHODIMP CMuxConnection::Flush(ULONG timeoutMs) { return link_->Flush(timeoutMs); }

STDMETHODIMP CMuxConnection::Disconnect() { return link_->Disconnect(kDisconnectFlushMs); }

STDMETHODIMP CMuxConnection::Stop(LONG value) {
  RETURN_HR_IF(E_INVALIDARG, value != 0);
  link_->Stop();
  return S_OK;
}

}  // namespace hv
