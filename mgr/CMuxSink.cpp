#include "mgr/CMuxSink.h"

namespace hv {

const QIEntry CMuxSink::kInterfaces[] = {HV_QI_ENTRY(CMuxSink, IMuxSink), HV_QI_END};

void CMuxSink::Attach(IMuxSink* manager) {
  AcquireSRWLockExclusive(&managerLock_);
  manager_ = manager;
  ReleaseSRWLockExclusive(&managerLock_);
}

void CMuxSink::Detach() { Attach(nullptr); }

template <typename Call>
HRESULT CMuxSink::Forward(Call call) {
  AcquireSRWLockShared(&managerLock_);
  const HRESULT hr = manager_ ? call(manager_) : E_FAIL;
  ReleaseSRWLockShared(&managerLock_);
  return hr;
}

STDMETHODIMP CMuxSink::OnConnected(LONG context) {
  return Forward([&](IMuxSink* m) { return m->OnConnected(context); });
}
STDMETHODIMP CMuxSink::OnSendQueueEmpty(LONG context) {
  return Forward([&](IMuxSink* m) { return m->OnSendQueueEmpty(context); });
}
STDMETHODIMP CMuxSink::OnConnectionClosed(LONG context, LONG hrReason) {
  return Forward([&](IMuxSink* m) { return m->OnConnectionClosed(context, hrReason); });
}
STDMETHODIMP CMuxSink::OnPostFailed(LONG context, LONG cDropped, LONG hr) {
  return Forward([&](IMuxSink* m) { return m->OnPostFailed(context, cDropped, hr); });
}
STDMETHODIMP CMuxSink::OnMessage(LONG context, IMuxMessage* msg) {
  return Forward([&](IMuxSink* m) { return m->OnMessage(context, msg); });
}
STDMETHODIMP CMuxSink::OnQueueLevel(LONG context, LONG cQueued, LONG cLimit) {
  return Forward([&](IMuxSink* m) { return m->OnQueueLevel(context, cQueued, cLimit); });
}

}  // namespace hv
