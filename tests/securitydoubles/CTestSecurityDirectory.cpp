#include "CTestSecurityDirectory.h"

#include <string>

#include "DoublesState.h"

namespace hv::doubles {
namespace {

std::string Narrow(const wchar_t* text) {
  if (!text) return "(null)";
  std::string narrow;
  for (; *text; ++text) narrow.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
  return narrow;
}

// A broken rule shows in the call log as a "!" after the call.
std::string Checked(std::string call, bool sound) { return sound ? call : call + "!"; }

}  // namespace

const QIEntry CTestSecurityDirectory::kInterfaces[] = {
    HV_QI_ENTRY(CTestSecurityDirectory, IHVSecurityDirectory),
    HV_QI_ENTRY(CTestSecurityDirectory, IHVPolicyNotificationRegistration), HV_QI_END};

CTestSecurityDirectory::CTestSecurityDirectory() { DoublesState::Get().ObjectCreated(); }

CTestSecurityDirectory::~CTestSecurityDirectory() { DoublesState::Get().ObjectDestroyed(); }

HRESULT CTestSecurityDirectory::Create(IUnknown* outer, REFIID riid, void** ppv) {
  DoublesState& state = DoublesState::Get();
  state.Record("CreateDirectory");
  RETURN_IF_FAILED(state.TakeCall(SecDoublesOp_CreateDirectory));
  return CreateObject<CTestSecurityDirectory>(outer, riid, ppv);
}

STDMETHODIMP CTestSecurityDirectory::ResolveName(CallerContext context, BSTR name, GUID* objectId) {
  DoublesState& state = DoublesState::Get();
  const bool sound = state.TakeContext(context) && objectId;
  state.Record(Checked("ResolveName(" + Narrow(name) + ")", sound));
  RETURN_HR_IF_NULL(E_POINTER, objectId);
  *objectId = GUID_NULL;
  RETURN_IF_FAILED(state.TakeCall(SecDoublesOp_ResolveName));
  RETURN_HR_IF(HRESULT_FROM_WIN32(ERROR_NOT_FOUND), !name || wcscmp(name, L"$System") != 0);
  *objectId = kSystemObjectId;
  // A success code of the directory's own: callers see S_OK.
  return S_FALSE;
}

STDMETHODIMP CTestSecurityDirectory::ReleaseObject(CallerContext context, GUID objectId) {
  DoublesState& state = DoublesState::Get();
  // The null id is what a failed resolve leaves; releasing it is allowed.
  const bool sound = state.TakeContext(context) &&
                     (IsEqualGUID(objectId, kSystemObjectId) || IsEqualGUID(objectId, GUID_NULL));
  state.Record(Checked("ReleaseObject", sound));
  return S_OK;
}

STDMETHODIMP CTestSecurityDirectory::ReadProperties(CallerContext context, GUID objectId, GUID reserved1, BSTR path,
                                                    GUID reserved2, LONG flags1, LONG flags2, PropertyBlock** block,
                                                    void** extra) {
  DoublesState& state = DoublesState::Get();
  const bool sound = state.TakeContext(context) && IsEqualGUID(objectId, kSystemObjectId) &&
                     IsEqualGUID(reserved1, GUID_NULL) && IsEqualGUID(reserved2, GUID_NULL) && flags1 == 1 &&
                     flags2 == 1 && block && extra && !*block && !*extra;
  state.Record(Checked("ReadProperties(" + Narrow(path) + ")", sound));
  RETURN_HR_IF(E_POINTER, !block || !extra);
  *block = nullptr;
  *extra = nullptr;
  state.PassReadGate();
  RETURN_IF_FAILED(state.TakeCall(SecDoublesOp_ReadProperties));
  RETURN_HR_IF(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND),
               !path || wcscmp(path, L"$Policies/$SystemPolicies/$AuditPolicies") != 0);
  return state.MakePropertyBlock(block, extra);
}

STDMETHODIMP CTestSecurityDirectory::Subscribe(const GUID* resourceId, IUnknown* sink, DWORD* cookie) {
  DoublesState& state = DoublesState::Get();
  state.Record(Checked("Subscribe", resourceId && sink && cookie));
  RETURN_HR_IF(E_POINTER, !resourceId || !sink || !cookie);
  *cookie = 0;
  RETURN_IF_FAILED(state.TakeCall(SecDoublesOp_Subscribe));
  ComPtr<IHVPolicyChangeNotification> notification;
  RETURN_IF_FAILED(sink->QueryInterface(__uuidof(IHVPolicyChangeNotification), notification.put_void()));
  *cookie = state.Subscribe(*resourceId, notification.get());
  return S_OK;
}

STDMETHODIMP CTestSecurityDirectory::Unsubscribe(const GUID* resourceId, DWORD cookie) {
  DoublesState& state = DoublesState::Get();
  const bool known = resourceId && state.Unsubscribe(*resourceId, cookie);
  state.Record(Checked("Unsubscribe", known));
  return known ? S_OK : HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
}

}  // namespace hv::doubles
