// IDispatch of a dual interface, served from the library's embedded type
// library (TYPELIB 1 of the module's own file).
#pragma once
#include <windows.h>
#include <oaidl.h>

#include "common/ComPtr.h"

namespace hv {

// The type information of one interface of the library's type library,
// loaded on first use and kept for the life of the process.
HRESULT GetLibraryTypeInfo(REFIID iid, ITypeInfo** info);

// The library's own type library, loaded from the module file.
HRESULT LoadLibraryTypeLib(ITypeLib** lib);

template <class Interface>
class DispatchImpl : public Interface {
 public:
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    return GetLibraryTypeInfo(__uuidof(Interface), info);
  }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    ComPtr<ITypeInfo> info;
    HRESULT hr = GetLibraryTypeInfo(__uuidof(Interface), info.put());
    if (FAILED(hr)) return hr;
    return info->GetIDsOfNames(names, count, ids);
  }
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* excep, UINT* argErr) override {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    ComPtr<ITypeInfo> info;
    HRESULT hr = GetLibraryTypeInfo(__uuidof(Interface), info.put());
    if (FAILED(hr)) return hr;
    return info->Invoke(static_cast<Interface*>(this), id, flags, params, result, excep, argErr);
  }
};

}  // namespace hv
