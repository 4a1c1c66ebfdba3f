#include "mux/CMuxService.h"

#include <memory>

#include "mux/CMuxConnection.h"
#include "mux/LinkHealth.h"
#include "mux/MuxAddress.h"
#include "mux/MuxLink.h"

namespace hv {
namespace {

// Every connection of the process gets its own context; 0 is never one.
LONG NextContext() {
  static LONG counter = 0;
  LONG context;
  while ((context = InterlockedIncrement(&counter)) == 0) {
  }
  return context;
}

}  // namespace

const QIEntry CMuxService::kInterfaces[] = {HV_QI_ENTRY(CMuxService, IMuxService), HV_QI_END};

STDMETHODIMP CMuxService::Connect(LPCWSTR address, LONG reserved, IUnknown* sink, IMuxConnection** ppConnection) {
  RETURN_HR_IF_NULL(E_POINTER, ppConnection);
  *ppConnection = nullptr;
  RETURN_HR_IF(E_INVALIDARG, address == nullptr || reserved != 0 || sink == nullptr);
  MuxAddress parsed;
  RETURN_IF_FAILED(ParseMuxAddress(address, &parsed));
  ComPtr<IMuxSink> muxSink;
  RETURN_IF_FAILED(sink->QueryInterface(IID_IMuxSink, muxSink.put_void()));
  // A service known to hang is not waited for again until its next try is due.
  RETURN_IF_FAILED(LinkHealth::BeforeConnect(address));
  std::shared_ptr<MuxLink> link;
  const HRESULT opened = MuxLink::Open(parsed, muxSink, NextContext(), &link);
  LinkHealth::AfterConnect(address, opened);
  RETURN_IF_FAILED(opened);
  ComPtr<CMuxConnection> connection = MakeObject<CMuxConnection>(link);
  RETURN_IF_NULL_ALLOC(connection);
  // Told before the reader starts, so that it is the sink's first notification.
  link->Notify([](IMuxSink* s, LONG context) { s->OnConnected(context); });
  RETURN_IF_FAILED(link->Start());
  *ppConnection = connection.release();
  return S_OK;
}

}  // namespace hv
