// The store adaptor as a class of its own, created in-process without asking
// the log manager: the default adaptor's local reader, and a reader of the
// store for clients that want one directly. It connects to the service on
// this machine by itself, at the address the product's settings name, the
// first time it is used.
#pragma once
#include <windows.h>

#include <memory>
#include <mutex>

#include "HVMux.h"
#include "common/ComObject.h"
#include "mux/CMessageReader.h"

namespace hv {

class MuxLink;

class CStoreAdaptor final : public IAdaptorReader, public ILocalLogReader, public ISupportErrorInfo, public ComObject {
 public:
  HV_COM_OBJECT(CStoreAdaptor)
  static const QIEntry kInterfaces[];

  CStoreAdaptor() = default;

  // IAdaptorReader
  STDMETHODIMP Read(ULONG dwLCID, BSTR bstrAdaptorSpecific, BSTR bstrFilters, IEnumUnknown** ppUnkEnum) override;
  STDMETHODIMP Subscribe(ULONG dwLCID, BSTR bstrAdaptorSpecific, BSTR bstrFilters, LONG nBufferTime, LONG nMaxSize,
                         IConnectionPointContainer** pSubscription) override;
  // ILocalLogReader: every stored message, oldest first, one per call.
  STDMETHODIMP ReadNext(LONG* stateA, IUnknown** ppItem, LONG a, LONG b, LONG* stateB) override;
  // ISupportErrorInfo
  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override;

 private:
  ~CStoreAdaptor() override;
  HRESULT Link(std::shared_ptr<MuxLink>* link);

  std::mutex mutex_;
  std::shared_ptr<MuxLink> link_;
  ComPtr<CMessageReader> localReader_;  // opened by the first ReadNext
};

}  // namespace hv
