// Reading, exporting and subscribing: served by the adaptors through the Mux.
// Not provided yet: these operations answer E_NOTIMPL until reading lands.
#include "mgr/CTAVDiagnosticLogMgr.h"

namespace hv {

STDMETHODIMP CTAVDiagnosticLogMgr::ReadMessages(ULONG, BSTR, BSTR, IEnumUnknown** ppUnkEnum) {
  if (ppUnkEnum) *ppUnkEnum = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP CTAVDiagnosticLogMgr::ReadLocalMessages(ULONG, BSTR, BSTR, IEnumUnknown** ppUnkEnum) {
  if (ppUnkEnum) *ppUnkEnum = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP CTAVDiagnosticLogMgr::CreateMessageSubscription(ULONG, BSTR, BSTR, LONG, LONG,
                                                            IConnectionPointContainer** pSubscription) {
  if (pSubscription) *pSubscription = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP CTAVDiagnosticLogMgr::PersistMessages(ULONG, BSTR, BSTR, TAVDiagnosticFileFormat, BSTR) {
  return E_NOTIMPL;
}

}  // namespace hv
