// An adaptor as the Mux component hands it out to the library: it answers
// IAdaptorReader only when made a reader, and reads nothing.
#pragma once
#include <windows.h>

#include "HVMux.h"
#include "common/ComObject.h"

namespace hv::test {

class FakeAdaptor final : public IAdaptorReader, public ComObject {
 public:
  explicit FakeAdaptor(bool reader) : reader_(reader) {}
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return Controlling()->QueryInterface(riid, ppv); }
  STDMETHODIMP_(ULONG) AddRef() override { return Controlling()->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return Controlling()->Release(); }
  STDMETHODIMP Read(ULONG, BSTR, BSTR, IEnumUnknown**) override { return E_NOTIMPL; }
  STDMETHODIMP Subscribe(ULONG, BSTR, BSTR, LONG, LONG, IConnectionPointContainer**) override { return E_NOTIMPL; }

 protected:
  HRESULT InternalQueryInterface(REFIID riid, void** ppv) override {
    static const QIEntry kReader[] = {HV_QI_ENTRY(FakeAdaptor, IAdaptorReader), HV_QI_END};
    static const QIEntry kNone[] = {HV_QI_END};
    return QueryInterfaceFromTable(this, reader_ ? kReader : kNone, riid, ppv);
  }

 private:
  ~FakeAdaptor() override = default;
  const bool reader_;
};

}  // namespace hv::test
