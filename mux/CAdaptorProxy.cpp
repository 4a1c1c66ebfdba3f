#include "mux/CAdaptorProxy.h"

#include "common/ByteStream.h"
#include "mux/AdaptorReading.h"
#include "mux/MuxLink.h"

namespace hv {
namespace {

// The record's name field: UTF-16 at offset 12, NUL-terminated within 260 bytes.
constexpr size_t kNameOffset = 12;
constexpr size_t kNameUnits = 130;

std::wstring NameOf(const uint8_t* record) {
  ByteReader r(record + kNameOffset, kNameUnits * 2);
  std::wstring name;
  uint16_t unit = 0;
  while (r.u16(&unit) && unit != 0) name.push_back(static_cast<wchar_t>(unit));
  return name;
}

}  // namespace

const QIEntry CAdaptorProxy::kInterfaces[] = {HV_QI_ENTRY(CAdaptorProxy, IAdaptorReader),
                                              HV_QI_ENTRY(CAdaptorProxy, ISupportErrorInfo), HV_QI_END};
const QIEntry CAdaptorProxy::kInterfacesWithoutReader[] = {HV_QI_END};

CAdaptorProxy::CAdaptorProxy(REFCLSID clsid, const uint8_t* record, bool canRead, std::shared_ptr<MuxLink> link)
    : clsid_(clsid), name_(NameOf(record)), canRead_(canRead), link_(std::move(link)) {}

HRESULT CAdaptorProxy::InternalQueryInterface(REFIID riid, void** ppv) {
  return QueryInterfaceFromTable(this, canRead_ ? kInterfaces : kInterfacesWithoutReader, riid, ppv);
}

STDMETHODIMP CAdaptorProxy::InterfaceSupportsErrorInfo(REFIID riid) {
  return IsEqualIID(riid, IID_IAdaptorReader) ? S_OK : S_FALSE;
}

STDMETHODIMP CAdaptorProxy::Read(ULONG, BSTR bstrAdaptorSpecific, BSTR bstrFilters, IEnumUnknown** ppUnkEnum) {
  // The messages are stored in their stream form and formatted by the items
  // themselves, in the language of the thread that asks: the locale has no
  // say in what the service sends.
  return ReadThroughService(link_, clsid_, bstrAdaptorSpecific, bstrFilters, ppUnkEnum);
}

STDMETHODIMP CAdaptorProxy::Subscribe(ULONG, BSTR, BSTR bstrFilters, LONG nBufferTime, LONG nMaxSize,
                                      IConnectionPointContainer** pSubscription) {
  return SubscribeThroughService(link_, clsid_, bstrFilters, nBufferTime, nMaxSize, pSubscription);
}

}  // namespace hv
