// A connection to the Mux service, as the client holds it. The work is done
// by its link; this object adds the protocol's client-side parts, such as the
// adaptor proxy that answers a "3" request.
#pragma once
#include <windows.h>

#include <memory>

#include "HVMux.h"
#include "common/ComObject.h"
#include "common/DirectItemPost.h"

namespace hv {

class MuxLink;
struct MuxMessageContent;
class CMuxMessage;

class CMuxConnection final : public IMuxConnection, public IHvDirectItemPost, public ComObject {
 public:
  HV_COM_OBJECT(CMuxConnection)
  static const QIEntry kInterfaces[];

  explicit CMuxConnection(std::shared_ptr<MuxLink> link);

  // How long Disconnect waits for the queue to be sent.
  static constexpr DWORD kDisconnectFlushMs = 5000;

  STDMETHODIMP CreateMessage(IMuxMessage** ppMsg) override;
  STDMETHODIMP Post(IMuxMessage* msg, ULONG timeoutMs) override;
  STDMETHODIMP Transact(IMuxMessage* request, IMuxMessage** ppReply, ULONG timeoutMs) override;
  STDMETHODIMP Flush(ULONG timeoutMs) override;
  STDMETHODIMP Disconnect() override;
  STDMETHODIMP Stop(LONG value) override;

  STDMETHODIMP PostItemStream(const BYTE* stream, ULONG size, ULONG timeoutMs) override;

 private:
  ~CMuxConnection() override;
  // The reply to "3": the record, then a marshalled proxy of the adaptor.
  HRESULT CompleteAdaptorReply(CMuxMessage& request, MuxMessageContent&& reply, IMuxMessage** ppReply);

  std::shared_ptr<MuxLink> link_;
};

}  // namespace hv
