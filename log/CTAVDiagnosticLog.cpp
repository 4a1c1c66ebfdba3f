#include "log/CTAVDiagnosticLog.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "common/ErrorInfo.h"
#include "common/Unique.h"
#include "item/CTAVDiagnosticLogItem.h"
#include "log/CHVDSystemPolicies.h"
#include "log/UserLookup.h"
#include "log/WaitingItems.h"
#include "mgr/CTAVDiagnosticLogMgr.h"
#include "module/ModuleState.h"
#include "msgtext/MessageFormat.h"

namespace hv {
namespace {

constexpr long kSeverityAudit = TAVDiagSeverity_Audit;

// The terminal-services library is loaded only when a log needs the name of
// the client machine of the session; its header is not needed for two calls.
constexpr int kWtsClientName = 10;
constexpr DWORD kWtsCurrentSession = static_cast<DWORD>(-1);
using WtsQuerySessionInformation = BOOL(WINAPI*)(HANDLE server, DWORD session, int infoClass,
                                                 LPWSTR* buffer, DWORD* bytes);
using WtsFreeMemory = void(WINAPI*)(PVOID memory);

// A NetBIOS computer name has at most 15 characters.
constexpr DWORD kComputerNameChars = 16;

std::wstring FromBstr(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : std::wstring(); }

// The name of the machine the session's user sits at: empty in a console
// session, the client's name in a remote desktop session.
std::wstring SessionClientName() {
  unique_hmodule library(LoadLibraryW(L"Wtsapi32.dll"));
  if (!library) return std::wstring();
  auto query = reinterpret_cast<WtsQuerySessionInformation>(
      reinterpret_cast<void*>(GetProcAddress(library.get(), "WTSQuerySessionInformationW")));
  auto freeMemory =
      reinterpret_cast<WtsFreeMemory>(reinterpret_cast<void*>(GetProcAddress(library.get(), "WTSFreeMemory")));
  if (!query || !freeMemory) return std::wstring();
  std::wstring name;
  LPWSTR buffer = nullptr;
  DWORD bytes = 0;
  if (query(nullptr /* the current server */, kWtsCurrentSession, kWtsClientName, &buffer, &bytes) && buffer) {
    name = buffer;
    freeMemory(buffer);
  }
  return name;
}

std::wstring ComputerName() {
  wchar_t name[kComputerNameChars] = {};
  DWORD chars = kComputerNameChars;
  if (!GetComputerNameW(name, &chars)) return std::wstring();
  return name;
}

HRESULT SendThroughManager(CTAVDiagnosticLogMgr* manager, CTAVDiagnosticLog* log, CTAVDiagnosticLogItem* copy,
                           BOOL synchronous) {
  RETURN_HR_IF(E_FAIL, !manager);
  return manager->SendItem(log, static_cast<ITAVDiagnosticLogItemEx*>(copy), synchronous);
}

std::atomic<CTAVDiagnosticLog::ItemSender> g_itemSender{nullptr};

// Synchronous deliveries wait on auto-reset events kept for the next one:
// creating and closing an event for every item costs two requests to the
// Wine server. An event comes back only once no answer or cancel can reach it
// and no signal is left in it; any other is closed, and the next delivery
// gets a fresh one.
class WaitEvents {
 public:
  ~WaitEvents() {
    for (HANDLE event : kept_) CloseHandle(event);
  }
  HANDLE Take() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!kept_.empty()) {
        const HANDLE event = kept_.back();
        kept_.pop_back();
        return event;
      }
    }
    return CreateEventW(nullptr, FALSE, FALSE, nullptr);
  }
  void Give(HANDLE event, bool unsignalled) {
    if (unsignalled) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (kept_.size() < kKept) {
        kept_.push_back(event);
        return;
      }
    }
    CloseHandle(event);
  }

 private:
  // As many as threads usually wait at once.
  static constexpr size_t kKept = 16;
  std::mutex mutex_;
  std::vector<HANDLE> kept_;
};

WaitEvents& TheWaitEvents() {
  static WaitEvents events;
  return events;
}

ComPtr<CTAVDiagnosticLogItem> ChildOf(CTAVDiagnosticLogItem& item) {
  ComPtr<IUnknown> child;
  if (FAILED(item.GetChild(child.put())) || !child) return nullptr;
  return CTAVDiagnosticLogItem::FromInterface(child.get());
}

IUnknown* AsUnknown(CTAVDiagnosticLogItem* item) { return static_cast<ITAVDiagnosticLogItemEx*>(item); }

// Cuts audit items out of the chain below item: each run of audit children is
// replaced by the first non-audit item after it, or ends the chain.
void StripAuditChildren(CTAVDiagnosticLogItem& item) {
  ComPtr<CTAVDiagnosticLogItem> child = ChildOf(item);
  if (!child) return;
  while (child->Severity() & kSeverityAudit) {
    child = ChildOf(*child);
    if (!child) {
      item.SetChild(nullptr);
      return;
    }
  }
  StripAuditChildren(*child);
  item.SetChild(AsUnknown(child.get()));
}

// An item whose date is not set gets the current UTC time, and so does every
// child down the chain; the conversion keeps whole seconds only.
void StampTime(CTAVDiagnosticLogItem& item) {
  DATE stamp = 0.0;
  if (item.DateTime() == 0.0 && CurrentUtcDate(&stamp)) item.SetDateTime(stamp);
  if (ComPtr<CTAVDiagnosticLogItem> child = ChildOf(item)) {
    StampTime(*child);
    item.SetChild(AsUnknown(child.get()));
  }
}

std::wstring ValueText(const VARIANT& value) {
  unique_variant text;
  if (FAILED(VariantChangeType(text.get(), const_cast<VARIANT*>(&value), 0, VT_BSTR)))
    return L"(vartype " + std::to_wstring(value.vt) + L")";
  return V_BSTR(text.get()) ? std::wstring(V_BSTR(text.get()), SysStringLen(V_BSTR(text.get())))
                            : std::wstring();
}

void GetNamedParam(ITAVDiagnosticLogItemEx* item, const wchar_t* name, VARIANT* value) {
  unique_bstr paramName(SysAllocString(name));
  item->GetParam(paramName.get(), value);
}

std::wstring ParamText(ITAVDiagnosticLogItemEx* item, const wchar_t* name) {
  unique_variant value;
  GetNamedParam(item, name, value.get());
  return ValueText(*value.get());
}

}  // namespace

const QIEntry CTAVDiagnosticLog::kInterfaces[] = {
    HV_QI_ENTRY_IID(CTAVDiagnosticLog, IID_IDispatch, ITAVDiagnosticLogEx),
    HV_QI_ENTRY_IID(CTAVDiagnosticLog, IID_ITAVDiagnosticLog, ITAVDiagnosticLogEx),
    HV_QI_ENTRY(CTAVDiagnosticLog, ITAVDiagnosticLogEx),
    // Private: the library's own operations find the implementation through it.
    HV_QI_ENTRY_IID(CTAVDiagnosticLog, IID_CTAVDiagnosticLogImpl, ITAVDiagnosticLogEx),
    HV_QI_END};

CTAVDiagnosticLog::CTAVDiagnosticLog() = default;

CTAVDiagnosticLog::~CTAVDiagnosticLog() = default;

ComPtr<CTAVDiagnosticLog> CTAVDiagnosticLog::FromInterface(IUnknown* unknown) {
  ComPtr<ITAVDiagnosticLogEx> log;
  if (!unknown || FAILED(unknown->QueryInterface(IID_CTAVDiagnosticLogImpl, log.put_void()))) return nullptr;
  return ComPtr<CTAVDiagnosticLog>::attach(static_cast<CTAVDiagnosticLog*>(log.release()));
}

void CTAVDiagnosticLog::FinalRelease() {
  logMgr_.reset();
  systemPolicies_.reset();
}

void CTAVDiagnosticLog::AttachLogMgr(ITAVDiagnosticLogMgrEx* logMgr, CTAVDiagnosticLogMgr* implementation) {
  // Without the implementation it is asked for, which only a standalone
  // manager answers: an aggregating object passes on its public interfaces.
  CTAVDiagnosticLogMgr* found = implementation ? implementation : CTAVDiagnosticLogMgr::FromInterface(logMgr).get();
  auto lock = lock_.lock();
  logMgr_ = ComPtr<ITAVDiagnosticLogMgrEx>(logMgr);
  logMgrImpl_ = found;
}

bool CTAVDiagnosticLog::AuditingEnabled() const { return auditingEnabled_ != FALSE; }
void CTAVDiagnosticLog::SetAuditingEnabled(bool enabled) {
  InterlockedExchange(&auditingEnabled_, enabled ? TRUE : FALSE);
}
bool CTAVDiagnosticLog::PolicyLookupDone() const { return policyLookupDone_ != FALSE; }

std::wstring CTAVDiagnosticLog::Location() {
  auto lock = lock_.lock();
  return location_;
}

std::wstring CTAVDiagnosticLog::Provider() {
  auto lock = lock_.lock();
  return provider_;
}

void CTAVDiagnosticLog::SetItemSenderForTesting(ItemSender sender) { g_itemSender = sender; }

STDMETHODIMP CTAVDiagnosticLog::Init(BSTR szLocation, BSTR szProvider) {
  // The location is found before the lock is taken: the session query loads
  // a library.
  std::wstring location = FromBstr(szLocation);
  if (location.empty()) {
    location = SessionClientName();
    if (location.empty()) location = ComputerName();
  }

  std::unique_ptr<CHVDSystemPolicies> oldPolicies;
  {
    auto lock = lock_.lock();
    // A re-bound log asks for the audit policy of its new location afresh.
    oldPolicies = std::move(systemPolicies_);
    // From here the old holder writes nothing more into this log, so a
    // notification for the old location cannot undo the reset below.
    if (oldPolicies) oldPolicies->DetachLog();
    auditingEnabled_ = TRUE;
    policyLookupDone_ = FALSE;
    ++binding_;
    location_ = std::move(location);
    provider_ = FromBstr(szProvider);
  }
  // The old policy holder unsubscribes from the directory: not under the lock.
  oldPolicies.reset();
  return S_OK;
}

STDMETHODIMP CTAVDiagnosticLog::ExtendItemSchema(BSTR szSchema) {
  auto lock = lock_.lock();
  itemSchema_ = FromBstr(szSchema);
  return S_OK;
}

STDMETHODIMP CTAVDiagnosticLog::Log(DATE* dtpDateTime, BSTR szUserName, TAVDiagnosticKind dkKind,
                                    TAVDiagnosticType dtType, LONG lVerbosity, BSTR saMsgText) {
  ComPtr<ITAVDiagnosticLogItem> item;
  HRESULT hr = BuildItem(dtpDateTime, szUserName, dkKind, dtType, lVerbosity, saMsgText, item.put());
  if (SUCCEEDED(hr)) hr = LogThisItem(item.get());
  return hr;
}

STDMETHODIMP CTAVDiagnosticLog::BuildItem(DATE* dtpDateTime, BSTR szUserName, TAVDiagnosticKind dkKind,
                                          TAVDiagnosticType dtType, LONG lVerbosity, BSTR szMsgText,
                                          ITAVDiagnosticLogItem** ppItem) {
  RETURN_HR_IF_NULL(E_POINTER, ppItem);
  // The kinds have the values of the severities; a kind of 0 is logged as Info.
  const auto severity = dkKind == 0 ? TAVDiagSeverity_Info : static_cast<TAVDiagSeverity>(dkKind);
  // User messages are for the VELTRA audience, every other type for developers.
  const TAVDiagAudience audience =
      dtType == TAVDiagnosticType_User ? TAVDiagAudience_VELTRA : TAVDiagAudience_Dev;

  unique_variant message;
  V_VT(message.get()) = VT_BSTR;
  V_BSTR(message.get()) = nullptr;
  if (szMsgText) {
    V_BSTR(message.get()) = SysAllocStringLen(szMsgText, SysStringLen(szMsgText));
    if (!V_BSTR(message.get())) {
      V_VT(message.get()) = VT_ERROR;
      V_ERROR(message.get()) = E_OUTOFMEMORY;
    }
  }

  ComPtr<ITAVDiagnosticLogItemEx> item;
  RETURN_IF_FAILED(BuildItemEx(dtpDateTime, szUserName, severity, audience, lVerbosity, *message.get(), nullptr,
                               nullptr, nullptr, item.put()));
  return item->QueryInterface(IID_ITAVDiagnosticLogItemEx, reinterpret_cast<void**>(ppItem));
}

STDMETHODIMP CTAVDiagnosticLog::LogThisItem(ITAVDiagnosticLogItem* pItem) {
  ComPtr<ITAVDiagnosticLogItemEx> item;
  if (pItem) pItem->QueryInterface(IID_ITAVDiagnosticLogItemEx, item.put_void());
  return LogThisItemEx(item.get(), VARIANT_FALSE, 0);
}

// The string-resource variants of the older interface were never provided;
// resource messages go through BuildItemEx.
STDMETHODIMP CTAVDiagnosticLog::SetStringResourcePathname(BSTR) { return E_NOTIMPL; }
STDMETHODIMP CTAVDiagnosticLog::SetStringResourceInstance(ULONG) { return E_NOTIMPL; }
STDMETHODIMP CTAVDiagnosticLog::LogRes(DATE*, BSTR, TAVDiagnosticKind, TAVDiagnosticType, LONG, LONG) {
  return E_NOTIMPL;
}
STDMETHODIMP CTAVDiagnosticLog::BuildItemRes(DATE*, BSTR, TAVDiagnosticKind, TAVDiagnosticType, LONG, LONG,
                                             ITAVDiagnosticLogItem**) {
  return E_NOTIMPL;
}

STDMETHODIMP CTAVDiagnosticLog::BuildItemEx(DATE* dtpDateTime, BSTR szUserName, TAVDiagSeverity eSeverity,
                                            TAVDiagAudience eAudience, LONG lVerbosity, VARIANT varMsg,
                                            SAFEARRAY** paArgs, BSTR bstrLocation, BSTR bstrProvider,
                                            ITAVDiagnosticLogItemEx** ppItem) {
  RETURN_HR_IF_NULL(E_POINTER, ppItem);
  SAFEARRAY* args = paArgs ? *paArgs : nullptr;
  if (args) {
    if (SafeArrayGetDim(args) != 1) {
      ReportError(L"The insertion argument array must be one dimensional");
      return E_INVALIDARG;
    }
    if (!(args->fFeatures & FADF_VARIANT)) {
      ReportError(L"The insertion argument elements must be variants");
      return E_INVALIDARG;
    }
  }

  ComPtr<CTAVDiagnosticLogItem> item = MakeObject<CTAVDiagnosticLogItem>();
  RETURN_HR_IF(E_FAIL, !item);

  std::wstring schema;
  {
    auto lock = lock_.lock();
    schema = itemSchema_;
  }
  // The schema comes first, so that location, provider and the standard
  // fields are set on the item as it will be delivered.
  if (!schema.empty() && item->ApplySchema(schema) != S_OK) {
    ReportError(L"Failed to process the extended schema");
    return E_FAIL;
  }

  std::wstring location;
  std::wstring provider;
  {
    auto lock = lock_.lock();
    location = location_;
    provider = provider_;
  }
  // An item may name its own location and provider; the log's stay as they are.
  if (bstrLocation && SysStringLen(bstrLocation) > 0) location = FromBstr(bstrLocation);
  if (bstrProvider && SysStringLen(bstrProvider) > 0) provider = FromBstr(bstrProvider);
  item->SetLocation(location);
  item->SetProvider(provider);
  item->ClearExtendedValues();

  if (eSeverity & kSeverityAudit) ObtainSystemPolicy(location, szUserName);

  item->SetStandardFields(dtpDateTime, szUserName, eSeverity, eAudience, lVerbosity, varMsg, args);

  // Only when trouble-shooting are messages checked against their arguments
  // as they are built; the check reports its own error text.
  if (TroubleShootMode() && FAILED(CheckMessage(*item))) return E_INVALIDARG;

  return item->QueryInterface(IID_ITAVDiagnosticLogItemEx, reinterpret_cast<void**>(ppItem));
}

void CTAVDiagnosticLog::ObtainSystemPolicy(const std::wstring& location, const wchar_t* userName) {
  uint32_t binding = 0;
  {
    // Of two threads building the first audit items at once, one asks; the
    // lookup itself runs outside the lock.
    auto lock = lock_.lock();
    if (systemPolicies_ || policyLookupDone_) return;
    policyLookupDone_ = TRUE;
    binding = binding_;
  }
  // Only a location that names one of the two security directories is
  // governed by a system audit policy; a machine name is not even a GUID.
  GUID directoryId;
  if (FAILED(CLSIDFromString(location.c_str(), &directoryId))) return;
  if (!IsEqualGUID(directoryId, kPrimaryDirectoryId) && !IsEqualGUID(directoryId, kSecondaryDirectoryId)) {
    SetAuditingEnabled(true);
    return;
  }

  // Whatever fails from here on leaves auditing on: audit records go out.
  ComPtr<IHVSecurityAuthority> authority;
  if (FAILED(CoCreateInstance(CLSID_HVSecurityAuthority, nullptr, kSecurityClassContext,
                              __uuidof(IHVSecurityAuthority), authority.put_void()))) {
    SetAuditingEnabled(true);
    return;
  }
  // The authority issues credentials for the primary directory, whichever of
  // the two the location names.
  wchar_t primaryId[40] = {};
  StringFromGUID2(kPrimaryDirectoryId, primaryId, ARRAYSIZE(primaryId));
  unique_bstr directory(SysAllocString(primaryId));
  unique_bstr user(CopyBstr(userName));
  ComPtr<IHVSecurityCredential> credential;
  if (!directory || FAILED(authority->GetCredential(directory.get(), user.get(), credential.put())) ||
      !credential) {
    SetAuditingEnabled(true);
    return;
  }
  std::unique_ptr<CHVDSystemPolicies> policies(new (std::nothrow) CHVDSystemPolicies());
  if (!policies) {
    SetAuditingEnabled(true);
    return;
  }
  unique_bstr token;
  credential->GetToken(token.put());
  // The policies are read (and the directory's server waited for) before the
  // log takes the holder, so that an Init meanwhile, which binds the log
  // elsewhere, is not given the policy of the old location.
  policies->Init(location.c_str(), token.get(), nullptr);
  policies->GetAuditingEnabled();
  {
    auto lock = lock_.lock();
    // A log re-bound meanwhile, even one whose new lookup has begun, does not
    // take the old location's policy.
    if (binding == binding_ && !systemPolicies_) {
      // Mirrors the current policy into auditingEnabled_ from now on.
      policies->AttachLog(this);
      systemPolicies_ = std::move(policies);
    }
  }
  // A holder the log no longer wants unsubscribes outside the lock.
  policies.reset();
}

STDMETHODIMP CTAVDiagnosticLog::LogThisItemEx(ITAVDiagnosticLogItemEx* pItemEx, VARIANT_BOOL bSynchronous,
                                              ULONG dwTimeOut) {
  RETURN_HR_IF_NULL(E_INVALIDARG, pItemEx);
  ComPtr<ITAVDiagnosticLogMgrEx> logMgr;
  CTAVDiagnosticLogMgr* logMgrImpl = nullptr;  // alive while logMgr is held
  {
    auto lock = lock_.lock();
    logMgr = logMgr_;
    logMgrImpl = logMgrImpl_;
  }
  RETURN_HR_IF(E_FAIL, !logMgr);
  // Delivery reaches the item's delivery state directly: only the library's
  // own items can be delivered.
  ComPtr<CTAVDiagnosticLogItem> item = CTAVDiagnosticLogItem::FromInterface(pItemEx);
  RETURN_HR_IF(E_INVALIDARG, !item);

  if (TroubleShootMode()) WriteTraceLine(pItemEx);

  // The caller keeps its item: what goes to the Mux is a private copy.
  ComPtr<CTAVDiagnosticLogItem> copy = MakeObject<CTAVDiagnosticLogItem>();
  RETURN_HR_IF(E_OUTOFMEMORY, !copy);
  {
    auto itemLock = item->Lock();
    copy->CopyFrom(*item);
  }

  // After this step the caller's date is reset whatever happens, so that the
  // same item logged again is stamped anew.
  auto resetCallerDate = [&item]() { item->ResetDateTime(); };

  const bool auditing = AuditingEnabled();
  if (!auditing && (copy->Severity() & kSeverityAudit)) {
    // While the audit policy says no, an audit item goes out as its first
    // non-audit descendant, or not at all.
    ComPtr<CTAVDiagnosticLogItem> descendant = ChildOf(*copy);
    while (descendant && (descendant->Severity() & kSeverityAudit)) descendant = ChildOf(*descendant);
    if (!descendant) {
      copy.reset();
      resetCallerDate();
      return S_OK;
    }
    copy->CopyFrom(*descendant);
  }
  if (!auditing) StripAuditChildren(*copy);
  StampTime(*copy);
  FillUserName(*copy);
  copy->MarkInFlight();

  const bool synchronous = bSynchronous == VARIANT_TRUE;
  HANDLE event = nullptr;
  LONG waitingId = 0;
  if (synchronous) {
    event = TheWaitEvents().Take();
    if (!event) {
      const HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
      copy.reset();
      resetCallerDate();
      return FAILED(hr) ? hr : E_FAIL;
    }
    copy->SetCompletionEvent(event);
    copy->SetDeliveryResult(E_PENDING);
    // The caller's item gets the same event, so that cancelling it ends the wait.
    item->SetCompletionEvent(event);
    // The Mux's answer finds the copy by this id.
    waitingId = WaitingItems::Register(copy.get());
  }

  HRESULT hr = E_OUTOFMEMORY;
  if (!synchronous || waitingId != 0) {
    const ItemSender sender = g_itemSender.load();
    hr = sender ? sender(logMgr.get(), this, copy.get(), synchronous ? TRUE : FALSE)
                : SendThroughManager(logMgrImpl, this, copy.get(), synchronous ? TRUE : FALSE);
  }

  if (synchronous) {
    int consumed = 0;
    if (SUCCEEDED(hr)) {
      const DWORD waited = WaitForSingleObject(event, dwTimeOut);
      if (waited == WAIT_OBJECT_0) consumed = 1;
      if (waited == WAIT_TIMEOUT) CancelLogThisItemEx(pItemEx);
      hr = copy->DeliveryResult();
      if (SUCCEEDED(hr)) {
        auto copyLock = copy->Lock();
        item->CopyFrom(*copy);
      }
    }
    // A late answer must find neither the copy nor the event: the copy leaves
    // the registry and forgets the event under its lock, and only then is
    // the event let go. Whoever signalled it forgot it, so the signals are
    // counted here: one the wait did not take stays in the event.
    int signals = 0;
    // The caller's item: cancelled (or taken by another delivery of the same item).
    if (!item->ForgetCompletionEvent(event)) ++signals;
    WaitingItems::Unregister(waitingId);
    // The copy: answered, or its connection closed.
    if (!copy->ForgetCompletionEvent(event)) ++signals;
    TheWaitEvents().Give(event, signals == consumed);
  }

  copy.reset();
  resetCallerDate();
  return hr;
}

STDMETHODIMP CTAVDiagnosticLog::CancelLogThisItemEx(ITAVDiagnosticLogItemEx* pItemEx) {
  RETURN_HR_IF_NULL(E_INVALIDARG, pItemEx);
  ComPtr<CTAVDiagnosticLogItem> item = CTAVDiagnosticLogItem::FromInterface(pItemEx);
  RETURN_HR_IF(E_INVALIDARG, !item);
  // Signalled under the item's lock: the delivering thread clears the event
  // under the same lock before it lets it go.
  item->SignalCompletion();
  return S_OK;
}

void CTAVDiagnosticLog::WriteTraceLine(ITAVDiagnosticLogItemEx* item) {
  std::wstring line = L"HVDiag: Logging item";

  line += L" Date = ";
  {
    unique_variant date;
    GetNamedParam(item, L"datetime", date.get());
    unique_variant number;
    if (SUCCEEDED(VariantChangeType(number.get(), date.get(), 0, VT_R8)) && V_R8(number.get()) == 0.0)
      line += L"NULL";
    else
      line += L"'" + ValueText(*date.get()) + L"'";
  }
  line += L" UserName = '" + ParamText(item, L"username");
  line += L"' UserDesc = ";
  {
    unique_variant description;
    GetNamedParam(item, L"userdescription", description.get());
    if (V_VT(description.get()) == VT_EMPTY)
      line += L"VT_EMPTY";
    else
      line += L"'" + ValueText(*description.get()) + L"'";
  }
  line += L" Severity = " + ParamText(item, L"severity");
  line += L" Audience = " + ParamText(item, L"audience");
  line += L" Verbosity = " + ParamText(item, L"verbosity");
  line += L" Location = '" + ParamText(item, L"location");
  line += L"' Provider = '" + ParamText(item, L"provider");
  line += L"' Message = '";
  {
    ComPtr<IErrorInfo> errorInfo;
    unique_bstr message;
    if (SUCCEEDED(item->QueryInterface(IID_IErrorInfo, errorInfo.put_void())) &&
        SUCCEEDED(errorInfo->GetDescription(message.put())) && message)
      line.append(message.get(), SysStringLen(message.get()));
  }
  line += L"'";
  ULONG count = 0;
  if (SUCCEEDED(item->ExtendedParameterCount(&count))) {
    for (ULONG i = 0; i < count; ++i) {
      unique_bstr name;
      unique_variant value;
      if (FAILED(item->ParameterNameAndValue(i, name.put(), value.get()))) continue;
      if (name) line.append(name.get(), SysStringLen(name.get()));
      line += L" = " + ValueText(*value.get()) + L" ";
    }
  }
  line += L"\r\n";
  OutputDebugStringW(line.c_str());
}

}  // namespace hv
