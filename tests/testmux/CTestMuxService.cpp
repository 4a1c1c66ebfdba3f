#include "CTestMuxService.h"

#include "CTestMuxConnection.h"
#include "TestMuxState.h"

namespace hv::testmux {

const QIEntry CTestMuxService::kInterfaces[] = {HV_QI_ENTRY(CTestMuxService, IMuxService), HV_QI_END};

STDMETHODIMP CTestMuxService::Connect(LPCWSTR address, LONG reserved, IUnknown* sink,
                                      IMuxConnection** ppConnection) {
  RETURN_HR_IF_NULL(E_POINTER, ppConnection);
  *ppConnection = nullptr;
  RETURN_HR_IF(E_INVALIDARG, address == nullptr || reserved != 0 || sink == nullptr);
  ComPtr<IMuxSink> muxSink;
  RETURN_IF_FAILED(sink->QueryInterface(IID_IMuxSink, muxSink.put_void()));
  TestMuxState& state = TestMuxState::Instance();
  state.Log("Connect");
  RETURN_IF_FAILED(state.BeginConnect(address));
  auto endpoint = std::make_shared<TestMuxEndpoint>(muxSink, state.NextContext());
  ComPtr<CTestMuxConnection> connection = MakeObject<CTestMuxConnection>(endpoint);
  RETURN_IF_NULL_ALLOC(connection);
  state.AddLive(endpoint);
  muxSink->OnConnected(endpoint->context());
  *ppConnection = connection.release();
  return S_OK;
}

}  // namespace hv::testmux
