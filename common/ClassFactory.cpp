#include "common/ClassFactory.h"

namespace hv {

const QIEntry ClassFactory::kInterfaces[] = {HV_QI_ENTRY(ClassFactory, IClassFactory), HV_QI_END};

STDMETHODIMP ClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  RETURN_HR_IF_NULL(E_POINTER, ppv);
  *ppv = nullptr;
  return creator_(outer, riid, ppv);
}

STDMETHODIMP ClassFactory::LockServer(BOOL lock) {
  if (lock)
    LockModule();
  else
    UnlockModule();
  return S_OK;
}

}  // namespace hv
