// Field access of log items for the item tests: set and read parameters by
// name through the public interface, failing the test on an unexpected result.
#pragma once
#include "support/TestSupport.h"

namespace hv::test {

inline void Put(IUnknown* object, const wchar_t* name, const VARIANT& value) {
  ComPtr<ITAVDiagnosticLogItem> item;
  ASSERT_EQ(S_OK, object->QueryInterface(IID_ITAVDiagnosticLogItem, item.put_void()));
  unique_bstr bname(SysAllocString(name));
  ASSERT_EQ(S_OK, item->PutParam(bname.get(), value));
}
inline void PutLong(IUnknown* item, const wchar_t* name, long value) {
  VARIANT v;
  v.vt = VT_I4;
  v.lVal = value;
  Put(item, name, v);
}
inline void PutText(IUnknown* item, const wchar_t* name, const wchar_t* text) {
  unique_variant v;
  v->vt = VT_BSTR;
  v->bstrVal = SysAllocString(text);
  Put(item, name, *v.get());
}
// A VARIANT that can be returned from a helper.
struct Held {
  VARIANT v;
  Held() { VariantInit(&v); }
  Held(Held&& o) noexcept : v(o.v) { VariantInit(&o.v); }
  Held& operator=(Held&& o) noexcept {
    VariantClear(&v);
    v = o.v;
    VariantInit(&o.v);
    return *this;
  }
  ~Held() { VariantClear(&v); }
  VARIANT* operator->() { return &v; }
};

inline Held GetValue(IUnknown* object, const wchar_t* name) {
  ComPtr<ITAVDiagnosticLogItem> item;
  object->QueryInterface(IID_ITAVDiagnosticLogItem, item.put_void());
  unique_bstr bname(SysAllocString(name));
  Held v;
  EXPECT_EQ(S_OK, item->GetParam(bname.get(), &v.v)) << Narrow(name);
  return v;
}

}  // namespace hv::test
