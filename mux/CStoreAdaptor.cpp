#include "mux/CStoreAdaptor.h"

#include "common/Result.h"
#include "common/TransportSetting.h"
#include "mux/AdaptorReading.h"
#include "mux/MuxAddress.h"
#include "mux/MuxLink.h"

namespace hv {

const QIEntry CStoreAdaptor::kInterfaces[] = {HV_QI_ENTRY(CStoreAdaptor, IAdaptorReader),
                                              HV_QI_ENTRY(CStoreAdaptor, ILocalLogReader),
                                              HV_QI_ENTRY(CStoreAdaptor, ISupportErrorInfo), HV_QI_END};

CStoreAdaptor::~CStoreAdaptor() {
  // The reader's close goes out before the link is let go.
  localReader_.reset();
  if (link_) link_->Abandon();
}

HRESULT CStoreAdaptor::Link(std::shared_ptr<MuxLink>* link) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!link_) {
    const std::wstring address = MuxConnectAddress();
    MuxAddress parsed;
    RETURN_IF_FAILED(ParseMuxAddress(address.c_str(), &parsed));
    std::shared_ptr<MuxLink> opened;
    // Nobody listens for notifications: this link only reads.
    RETURN_IF_FAILED(MuxLink::Open(parsed, nullptr, 0, &opened));
    RETURN_IF_FAILED(opened->Start());
    link_ = std::move(opened);
  }
  *link = link_;
  return S_OK;
}

STDMETHODIMP CStoreAdaptor::Read(ULONG, BSTR bstrAdaptorSpecific, BSTR bstrFilters, IEnumUnknown** ppUnkEnum) {
  RETURN_HR_IF_NULL(E_POINTER, ppUnkEnum);
  *ppUnkEnum = nullptr;
  std::shared_ptr<MuxLink> link;
  RETURN_IF_FAILED(Link(&link));
  return ReadThroughService(link, CLSID_HVStoreAdaptor, bstrAdaptorSpecific, bstrFilters, ppUnkEnum);
}

STDMETHODIMP CStoreAdaptor::Subscribe(ULONG, BSTR, BSTR bstrFilters, LONG nBufferTime, LONG nMaxSize,
                                      IConnectionPointContainer** pSubscription) {
  RETURN_HR_IF_NULL(E_POINTER, pSubscription);
  *pSubscription = nullptr;
  std::shared_ptr<MuxLink> link;
  RETURN_IF_FAILED(Link(&link));
  return SubscribeThroughService(link, CLSID_HVStoreAdaptor, bstrFilters, nBufferTime, nMaxSize, pSubscription);
}

// The reading position lives in this object and its reader at the service;
// *stateA counts the items handed out, *stateB is left as the caller set it.
STDMETHODIMP CStoreAdaptor::ReadNext(LONG* stateA, IUnknown** ppItem, LONG, LONG, LONG* stateB) {
  RETURN_HR_IF_NULL(E_POINTER, ppItem);
  *ppItem = nullptr;
  RETURN_HR_IF(E_POINTER, !stateA || !stateB);
  if (!localReader_) {
    std::shared_ptr<MuxLink> link;
    RETURN_IF_FAILED(Link(&link));
    RETURN_IF_FAILED(OpenExportReader(link, CLSID_HVStoreAdaptor, localReader_.put()));
  }
  const HRESULT hr = localReader_->NextItem(ppItem);
  if (hr == S_OK) ++*stateA;
  return hr;
}

STDMETHODIMP CStoreAdaptor::InterfaceSupportsErrorInfo(REFIID riid) {
  return IsEqualIID(riid, IID_IAdaptorReader) || IsEqualIID(riid, IID_ILocalLogReader) ? S_OK : S_FALSE;
}

}  // namespace hv
