#include "mux/CAdaptorProxy.h"

#include "common/ByteStream.h"
#include "common/ErrorInfo.h"
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

HRESULT CAdaptorProxy::ReadingNotAvailable() {
  const std::wstring why = L"Messages of the adaptor \"" + name_ +
                           L"\" cannot be read through this version of the Mux component; "
                           L"the service does not serve reading requests yet.";
  ReportError(why.c_str());
  return E_FAIL;
}

STDMETHODIMP CAdaptorProxy::InterfaceSupportsErrorInfo(REFIID riid) {
  return IsEqualIID(riid, IID_IAdaptorReader) ? S_OK : S_FALSE;
}

STDMETHODIMP CAdaptorProxy::Read(ULONG, BSTR, BSTR, IEnumUnknown** ppUnkEnum) {
  RETURN_HR_IF_NULL(E_POINTER, ppUnkEnum);
  *ppUnkEnum = nullptr;
  return ReadingNotAvailable();
}

STDMETHODIMP CAdaptorProxy::Subscribe(ULONG, BSTR, BSTR, LONG, LONG, IConnectionPointContainer** pSubscription) {
  RETURN_HR_IF_NULL(E_POINTER, pSubscription);
  *pSubscription = nullptr;
  return ReadingNotAvailable();
}

}  // namespace hv
