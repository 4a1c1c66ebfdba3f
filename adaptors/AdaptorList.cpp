// The adaptor list of the manager. Not provided yet: answers E_NOTIMPL until
// the adaptor objects land.
#include "mgr/CTAVDiagnosticLogMgr.h"

namespace hv {

STDMETHODIMP CTAVDiagnosticLogMgr::GetAdaptorInfo(BSTR, IEnumVARIANT** ppUnkEnum) {
  if (ppUnkEnum) *ppUnkEnum = nullptr;
  return E_NOTIMPL;
}

}  // namespace hv
