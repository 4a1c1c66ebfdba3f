#include "common/ComObject.h"

#include <climits>

namespace hv {

HRESULT QueryInterfaceFromTable(void* object, const QIEntry* table, REFIID riid, void** ppv) {
  RETURN_HR_IF_NULL(E_POINTER, ppv);
  for (const QIEntry* entry = table; entry->iid; ++entry) {
    if (IsEqualIID(*entry->iid, riid)) {
      auto* found = reinterpret_cast<IUnknown*>(static_cast<char*>(object) + entry->offset);
      found->AddRef();
      *ppv = found;
      return S_OK;
    }
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP ComObject::InnerUnknown::QueryInterface(REFIID riid, void** ppv) {
  RETURN_HR_IF_NULL(E_POINTER, ppv);
  if (IsEqualIID(riid, IID_IUnknown)) {
    *ppv = static_cast<IUnknown*>(this);
    AddRef();
    return S_OK;
  }
  return owner_->InternalQueryInterface(riid, ppv);
}

STDMETHODIMP_(ULONG) ComObject::InnerUnknown::AddRef() { return owner_->InternalAddRef(); }
STDMETHODIMP_(ULONG) ComObject::InnerUnknown::Release() { return owner_->InternalRelease(); }

ULONG ComObject::InternalRelease() {
  const LONG remaining = InterlockedDecrement(&refs_);
  if (remaining == 0) {
    refs_ = LONG_MAX / 2;
    FinalRelease();
    delete this;
  }
  return static_cast<ULONG>(remaining);
}

}  // namespace hv
