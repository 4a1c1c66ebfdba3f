// The sink handed to the Mux with each connection attempt. It forwards the
// Mux's notifications to its manager through a plain pointer; once detached
// (the manager is going away) every call answers E_FAIL, so no notification
// can reach a destroyed manager.
#pragma once
#include <windows.h>

#include "HVMux.h"
#include "common/ComObject.h"

namespace hv {

class CMuxSink final : public IMuxSink, public ComObject {
 public:
  HV_COM_OBJECT(CMuxSink)
  static const QIEntry kInterfaces[];

  CMuxSink() = default;

  void Attach(IMuxSink* manager);
  // Waits for notifications in progress, then answers E_FAIL from now on.
  void Detach();

  STDMETHODIMP OnConnected(LONG context) override;
  STDMETHODIMP OnSendQueueEmpty(LONG context) override;
  STDMETHODIMP OnConnectionClosed(LONG context, LONG hrReason) override;
  STDMETHODIMP OnPostFailed(LONG context, LONG cDropped, LONG hr) override;
  STDMETHODIMP OnMessage(LONG context, IMuxMessage* msg) override;
  STDMETHODIMP OnQueueLevel(LONG context, LONG cQueued, LONG cLimit) override;

 private:
  ~CMuxSink() override = default;
  template <typename Call>
  HRESULT Forward(Call call);

  SRWLOCK managerLock_ = SRWLOCK_INIT;
  IMuxSink* manager_ = nullptr;  // not counted: the manager owns its sinks' lifetime link
};

}  // namespace hv
