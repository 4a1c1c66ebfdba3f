#include "tools/scriptbridge/CHVScriptBridge.h"

#include "TAVDiagnostics.h"

namespace hv {

const QIEntry CHVScriptBridge::kInterfaces[] = {
    HV_QI_ENTRY(CHVScriptBridge, IHVScriptBridge),
    HV_QI_ENTRY_IID(CHVScriptBridge, IID_IDispatch, IHVScriptBridge),
    HV_QI_END};

STDMETHODIMP CHVScriptBridge::CreateLogManager(IDispatch** ppManager) {
  RETURN_HR_IF_NULL(E_POINTER, ppManager);
  *ppManager = nullptr;
  ComPtr<ITAVDiagnosticLogMgrEx> manager;
  RETURN_IF_FAILED(CoCreateInstance(CLSID_TAVDiagnosticLogMgr, nullptr, CLSCTX_ALL, IID_ITAVDiagnosticLogMgrEx,
                                    manager.put_void()));
  *ppManager = manager.release();  // the dual interface is an IDispatch
  return S_OK;
}

STDMETHODIMP CHVScriptBridge::LogDisplay(IDispatch* pManager, IDispatch** ppDisplay) {
  RETURN_HR_IF_NULL(E_POINTER, ppDisplay);
  *ppDisplay = nullptr;
  RETURN_HR_IF_NULL(E_INVALIDARG, pManager);
  ComPtr<ITAVDiagnosticLogDisplay> display;
  RETURN_IF_FAILED(pManager->QueryInterface(IID_ITAVDiagnosticLogDisplay, display.put_void()));
  *ppDisplay = display.release();
  return S_OK;
}

}  // namespace hv
