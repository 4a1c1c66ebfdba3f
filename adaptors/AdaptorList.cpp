// The manager's adaptor list: the Mux names its installed adaptors, and each
// is described by a request of its own.
#include <string>

#include "adaptors/CTAVDiagnosticAdaptor.h"
#include "adaptors/CTAVDiagnosticAdaptors.h"
#include "mgr/CTAVDiagnosticLogMgr.h"
#include "mgr/MuxProtocol.h"

namespace hv {
namespace {

// An entry of the list as a class id. Only the registry form counts: an
// entry that is a program id or anything else names no adaptor.
bool ReadClassId(const std::wstring& entry, CLSID* clsid) {
  if (entry.empty()) return false;
  return SUCCEEDED(IIDFromString(entry.c_str(), clsid));
}

}  // namespace

HRESULT CTAVDiagnosticLogMgr::RequestAdaptorList(IMuxConnection* connection, std::wstring* classIds) {
  classIds->clear();
  ComPtr<IMuxMessage> request;
  RETURN_IF_FAILED(connection->CreateMessage(request.put()));
  RETURN_IF_FAILED(request->SetField(kFieldMsgType, kMsgAdaptorList));
  RETURN_IF_FAILED(AssignTransactionId(request.get()));
  ComPtr<IMuxMessage> reply;
  RETURN_IF_FAILED(connection->Transact(request.get(), reply.put(), kMuxTimeoutMs));
  // No text: no adaptors.
  if (const wchar_t* text = reply->GetText()) classIds->assign(text);
  return S_OK;
}

STDMETHODIMP CTAVDiagnosticLogMgr::GetAdaptorInfo(BSTR, IEnumVARIANT** ppUnkEnum) {
  RETURN_HR_IF_NULL(E_INVALIDARG, ppUnkEnum);
  *ppUnkEnum = nullptr;
  ComPtr<CTAVDiagnosticAdaptors> adaptors = MakeObject<CTAVDiagnosticAdaptors>();
  RETURN_IF_NULL_ALLOC(adaptors);

  ComPtr<IMuxConnection> connection;
  RETURN_IF_FAILED(GetConnectionToMux(connection.put()));
  ComPtr<IMuxService> service;
  {
    auto lock = lock_.lock();
    service = muxService_;
  }
  std::wstring list;
  RETURN_IF_FAILED(RequestAdaptorList(connection.get(), &list));

  size_t begin = 0;
  while (begin <= list.size()) {
    size_t end = list.find(L';', begin);
    if (end == std::wstring::npos) end = list.size();
    const std::wstring entry = list.substr(begin, end - begin);
    begin = end + 1;
    CLSID clsid;
    if (!ReadClassId(entry, &clsid)) continue;
    AdaptorInfoRecord record = {};
    ComPtr<IUnknown> adaptorInterface;
    // An adaptor the Mux cannot describe is left out of the list.
    bool flagsReply = false;
    if (FAILED(RequestAdaptorInterface(&clsid, &record, adaptorInterface.put(), &flagsReply)) || !adaptorInterface)
      continue;
    ComPtr<CTAVDiagnosticAdaptor> adaptor = MakeObject<CTAVDiagnosticAdaptor>();
    RETURN_IF_NULL_ALLOC(adaptor);
    adaptor->Fill(service.get(), connection.get(), clsid, record, adaptorInterface.get(), flagsReply);
    RETURN_IF_FAILED(adaptors->Add(adaptor.get()));
  }
  return adaptors->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(ppUnkEnum));
}

}  // namespace hv
