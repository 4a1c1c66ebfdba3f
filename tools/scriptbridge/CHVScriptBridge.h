// Hands the log manager's dual interfaces to script clients as automation
// objects (the manager itself does not answer IDispatch).
#pragma once
#include "HVScriptBridge.h"
#include "common/ComObject.h"
#include "common/Dispatch.h"

namespace hv {

class CHVScriptBridge final : public DispatchImpl<IHVScriptBridge>, public ComObject {
 public:
  HV_COM_OBJECT(CHVScriptBridge)
  static const QIEntry kInterfaces[];

  STDMETHODIMP CreateLogManager(IDispatch** ppManager) override;
  STDMETHODIMP LogDisplay(IDispatch* pManager, IDispatch** ppDisplay) override;

 private:
  ~CHVScriptBridge() override = default;
};

}  // namespace hv
