// The client-side object of one adaptor of the service, handed to the client
// in the reply to a "3" request. It answers IAdaptorReader only when the
// service says the adaptor can be read from, because the client decides
// whether an adaptor supports reading by asking for that interface.
#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include <oaidl.h>

#include "HVMux.h"
#include "common/ComObject.h"

namespace hv {

class MuxLink;

class CAdaptorProxy final : public IAdaptorReader, public ISupportErrorInfo, public ComObject {
 public:
  // The adaptor's description as the service sends it.
  static constexpr size_t kRecordSize = 272;
  static const QIEntry kInterfaces[];
  static const QIEntry kInterfacesWithoutReader[];

  CAdaptorProxy(REFCLSID clsid, const uint8_t* record, bool canRead, std::shared_ptr<MuxLink> link);

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return Controlling()->QueryInterface(riid, ppv); }
  STDMETHODIMP_(ULONG) AddRef() override { return Controlling()->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return Controlling()->Release(); }

  // IAdaptorReader
  STDMETHODIMP Read(ULONG dwLCID, BSTR bstrAdaptorSpecific, BSTR bstrFilters, IEnumUnknown** ppUnkEnum) override;
  STDMETHODIMP Subscribe(ULONG dwLCID, BSTR bstrAdaptorSpecific, BSTR bstrFilters, LONG nBufferTime, LONG nMaxSize,
                         IConnectionPointContainer** pSubscription) override;

  // ISupportErrorInfo: a failed read says why in the error information.
  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override;

  const std::wstring& name() const { return name_; }
  REFCLSID clsid() const { return clsid_; }

 protected:
  HRESULT InternalQueryInterface(REFIID riid, void** ppv) override;

 private:
  ~CAdaptorProxy() override = default;

  const CLSID clsid_;
  std::wstring name_;
  const bool canRead_;
  std::shared_ptr<MuxLink> link_;  // the link reading goes through
};

}  // namespace hv
