#include "tools/hvdiag/MessageSink.h"

#include <new>

#include "TAVDiagnostics.h"
#include "common/ComPtr.h"
#include "common/Unique.h"

namespace hv::diag {

MessageSink* MessageSink::Create(ItemHandler handler) { return new (std::nothrow) MessageSink(std::move(handler)); }

STDMETHODIMP MessageSink::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IDispatch) &&
      !IsEqualIID(riid, DIID__ITAVDiagnosticMessageSubscriptionEvents))
    return E_NOINTERFACE;
  *ppv = static_cast<IDispatch*>(this);
  AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) MessageSink::AddRef() { return ++references_; }

STDMETHODIMP_(ULONG) MessageSink::Release() {
  const ULONG left = --references_;
  if (left == 0) delete this;
  return left;
}

STDMETHODIMP MessageSink::GetTypeInfoCount(UINT* pctinfo) {
  if (pctinfo == nullptr) return E_POINTER;
  *pctinfo = 0;
  return S_OK;
}

STDMETHODIMP MessageSink::GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) {
  if (ppTInfo) *ppTInfo = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP MessageSink::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (names == nullptr || ids == nullptr) return E_POINTER;
  HRESULT hr = S_OK;
  for (UINT i = 0; i < count; ++i) {
    ids[i] = i == 0 && names[0] && _wcsicmp(names[0], L"OnLog") == 0 ? 1 : DISPID_UNKNOWN;
    if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

STDMETHODIMP MessageSink::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                                 UINT*) {
  if (id != 1) return DISP_E_MEMBERNOTFOUND;
  if (params == nullptr || params->cArgs != 2) return DISP_E_BADPARAMCOUNT;
  if (result) VariantInit(result);
  // Arguments arrive last first: rgvarg[0] is the enumerator.
  VARIANT* argument = &params->rgvarg[0];
  if (argument->vt == (VT_BYREF | VT_VARIANT)) argument = argument->pvarVal;
  IUnknown* unknown = argument->vt == VT_UNKNOWN || argument->vt == VT_DISPATCH ? argument->punkVal : nullptr;
  if (unknown == nullptr) return DISP_E_TYPEMISMATCH;
  ComPtr<IEnumUnknown> items;
  if (FAILED(unknown->QueryInterface(IID_IEnumUnknown, items.put_void()))) return DISP_E_TYPEMISMATCH;
  for (;;) {
    IUnknown* element = nullptr;
    ULONG fetched = 0;
    if (FAILED(items->Next(1, &element, &fetched)) || fetched == 0) break;
    ComPtr<IUnknown> owned = ComPtr<IUnknown>::attach(element);
    handler_(owned.get());
  }
  return S_OK;
}

}  // namespace hv::diag
