// Stand-ins for the security authority and the security directory, registered
// in the test's process under the components' class ids while a
// SecurityDoubles object lives. They share nothing with the library but
// log/SecurityInterfaces.h. Every function may be called from any thread.
#pragma once
#include <windows.h>
#include <objbase.h>
#include <oaidl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/ClassFactory.h"
#include "common/ComObject.h"
#include "common/CriticalSection.h"
#include "common/Unique.h"
#include "log/SecurityInterfaces.h"
#include "support/TestSupport.h"

namespace hv::doubles {

// The operations that can be made to fail.
enum Operation {
  kCreateAuthority,  // the authority's class factory
  kGetCredential,    // authority slot 9
  kCreateDirectory,  // the directory's class factory
  kResolveName,      // directory slot 8
  kReadProperties,   // directory slot 23
  kOperationCount
};

namespace detail {

constexpr wchar_t kToken[] = L"token-1";
// The id the directory hands out for "$System".
constexpr GUID kSystemObjectId = {0x3c9e1f57, 0x2b84, 0x4d6a, {0x9e, 0x10, 0x5f, 0x7a, 0x2c, 0x4b, 0x8d, 0x31}};

inline void* TaskCopy(const void* data, size_t size) {
  void* block = CoTaskMemAlloc(size);
  if (block) memcpy(block, data, size);
  return block;
}

// The slots the library never calls.
#define NOT_CALLED(slot) \
  STDMETHODIMP slot() override { return E_NOTIMPL; }

struct Subscription {
  GUID resourceId;
  ComPtr<IHVPolicyChangeNotification> sink;
};

// What the test set and what the library called; every member under lock.
struct State {
  CriticalSection lock;
  std::pair<LONG, HRESULT> failures[kOperationCount] = {};  // calls left to fail, and how
  std::string calls;
  std::vector<std::pair<std::wstring, VARIANT>> properties;
  GUID lastResource = GUID_NULL;
  std::map<DWORD, Subscription> subscriptions;  // by cookie
  DWORD lastCookie = 0;
  HANDLE readGate = CreateEventW(nullptr, TRUE, TRUE, nullptr);      // signalled while reads pass
  HANDLE readWaiting = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // signalled while a read is held
  std::atomic<LONG> liveObjects{0};

  // What f returns from the state, under its lock.
  template <typename F>
  auto Locked(F f) {
    auto hold = lock.lock();
    return f(*this);
  }
  // Records a call, with "!" after it when it broke a rule.
  void Record(const std::string& call, bool sound = true) {
    Locked([&](State&) { calls += (calls.empty() ? "" : ";") + call + (sound ? "" : "!"); });
  }
  // The failure the test asked for, if any.
  HRESULT Failure(LONG operation) {
    auto hold = lock.lock();
    auto& [count, hr] = failures[operation];
    if (count == 0) return S_OK;
    if (count > 0) --count;
    return hr;
  }
  HRESULT Take(const std::string& call, LONG operation) {
    Record(call);
    return Failure(operation);
  }
  // Whether the caller context names this computer, process, thread, the
  // application and the issued token; remembers its resource.
  bool TakeContext(const CallerContext& context) {
    wchar_t computer[32] = {};
    DWORD chars = ARRAYSIZE(computer);
    GetComputerNameW(computer, &chars);
    Locked([&](State&) { lastResource = context.resourceId; });
    return context.computerName && wcscmp(context.computerName, computer) == 0 &&
           IsEqualGUID(context.reserved, GUID_NULL) && context.processId == GetCurrentProcessId() &&
           context.threadId == GetCurrentThreadId() && context.token && wcscmp(context.token, kToken) == 0 &&
           SysStringLen(context.token) == wcslen(kToken) && context.applicationName &&
           wcscmp(context.applicationName, L"HVAuthenticationProvider") == 0 && context.reserved2 == 0;
  }
  void PassReadGate() {
    if (WaitForSingleObject(readGate, 0) == WAIT_OBJECT_0) return;
    SetEvent(readWaiting);
    WaitForSingleObject(readGate, 30000);
  }
  // A new task-allocated block with every property, in order, and the pieces
  // every answer carries, which the reader frees unread.
  HRESULT MakePropertyBlock(PropertyBlock** result, void** extra) {
    auto hold = lock.lock();
    const ULONG count = static_cast<ULONG>(properties.size());
    auto* block = static_cast<PropertyBlock*>(CoTaskMemAlloc(PropertyBlockSize(count)));
    RETURN_IF_NULL_ALLOC(block);
    memset(block, 0, PropertyBlockSize(count));
    block->first = TaskCopy("first", 6);
    block->second = TaskCopy("second", 7);
    const PropertyRecord records[2] = {{TaskCopy("record0", 8)}, {TaskCopy("record1", 8)}};
    block->records = static_cast<PropertyRecord*>(TaskCopy(records, sizeof(records)));
    block->recordCount = 2;
    block->propertyCount = count;
    PropertyEntry* entries = PropertiesOf(block);
    for (ULONG i = 0; i < count; ++i) {
      const std::wstring& name = properties[i].first;
      entries[i].name = static_cast<wchar_t*>(TaskCopy(name.c_str(), (name.size() + 1) * sizeof(wchar_t)));
      VariantCopy(&entries[i].value, &properties[i].second);
    }
    *result = block;
    *extra = TaskCopy("extra", 6);
    return S_OK;
  }
};

inline State g_state;

// The creator of both class objects: records the call and fails when told to.
template <class T, Operation operation>
HRESULT Create(IUnknown* outer, REFIID riid, void** ppv) {
  RETURN_IF_FAILED(g_state.Take(operation == kCreateAuthority ? "CreateAuthority" : "CreateDirectory", operation));
  return CreateObject<T>(outer, riid, ppv);
}

// Counts itself among the live objects of the doubles.
struct Counted {
  Counted() { ++g_state.liveObjects; }
  ~Counted() { --g_state.liveObjects; }
};

// Issues a credential for any user of any directory, unless told to fail;
// the credential is another object of the same class.
class Authority final : public IHVSecurityAuthority, public IHVSecurityCredential, public ComObject, Counted {
 public:
  HV_COM_OBJECT(Authority)
  static const QIEntry kInterfaces[];

  NOT_CALLED(AuthoritySlot3) NOT_CALLED(AuthoritySlot4) NOT_CALLED(AuthoritySlot5) NOT_CALLED(AuthoritySlot6)
  NOT_CALLED(AuthoritySlot7) NOT_CALLED(AuthoritySlot8)
  STDMETHODIMP GetCredential(BSTR directoryId, BSTR userName, IHVSecurityCredential** credential) override {
    RETURN_HR_IF_NULL(E_POINTER, credential);
    *credential = nullptr;
    RETURN_IF_FAILED(g_state.Take(
        "GetCredential(" + test::Narrow(directoryId) + "," + test::Narrow(userName) + ")", kGetCredential));
    return CreateObject<Authority>(nullptr, __uuidof(IHVSecurityCredential), reinterpret_cast<void**>(credential));
  }

  NOT_CALLED(CredentialSlot3) NOT_CALLED(CredentialSlot4) NOT_CALLED(CredentialSlot5) NOT_CALLED(CredentialSlot6)
  NOT_CALLED(CredentialSlot7) NOT_CALLED(CredentialSlot8) NOT_CALLED(CredentialSlot9) NOT_CALLED(CredentialSlot10)
  STDMETHODIMP GetToken(BSTR* token) override {
    RETURN_HR_IF_NULL(E_POINTER, token);
    *token = SysAllocString(kToken);
    return *token ? S_OK : E_OUTOFMEMORY;
  }
};
inline const QIEntry Authority::kInterfaces[] = {HV_QI_ENTRY(Authority, IHVSecurityAuthority),
                                                 HV_QI_ENTRY(Authority, IHVSecurityCredential), HV_QI_END};

// Resolves "$System" below any resource, answers the audit policy read with
// the test's properties, keeps subscriptions and checks every call.
class Directory final : public IHVSecurityDirectory,
                        public IHVPolicyNotificationRegistration,
                        public ComObject,
                        Counted {
 public:
  HV_COM_OBJECT(Directory)
  static const QIEntry kInterfaces[];

  NOT_CALLED(DirectorySlot3) NOT_CALLED(DirectorySlot4) NOT_CALLED(DirectorySlot5) NOT_CALLED(DirectorySlot6)
  NOT_CALLED(DirectorySlot7)
  STDMETHODIMP ResolveName(CallerContext context, BSTR name, GUID* objectId) override {
    State& state = g_state;
    state.Record("ResolveName(" + test::Narrow(name) + ")", state.TakeContext(context) && objectId);
    RETURN_HR_IF_NULL(E_POINTER, objectId);
    *objectId = GUID_NULL;
    RETURN_IF_FAILED(state.Failure(kResolveName));
    RETURN_HR_IF(HRESULT_FROM_WIN32(ERROR_NOT_FOUND), !name || wcscmp(name, L"$System") != 0);
    *objectId = kSystemObjectId;
    // A success code of the directory's own: callers see S_OK.
    return S_FALSE;
  }
  STDMETHODIMP ReleaseObject(CallerContext context, GUID objectId) override {
    // The null id is what a failed resolve leaves; releasing it is allowed.
    const bool sound = g_state.TakeContext(context) &&
                       (IsEqualGUID(objectId, kSystemObjectId) || IsEqualGUID(objectId, GUID_NULL));
    g_state.Record("ReleaseObject", sound);
    return S_OK;
  }
  NOT_CALLED(DirectorySlot10) NOT_CALLED(DirectorySlot11) NOT_CALLED(DirectorySlot12) NOT_CALLED(DirectorySlot13)
  NOT_CALLED(DirectorySlot14) NOT_CALLED(DirectorySlot15) NOT_CALLED(DirectorySlot16) NOT_CALLED(DirectorySlot17)
  NOT_CALLED(DirectorySlot18) NOT_CALLED(DirectorySlot19) NOT_CALLED(DirectorySlot20) NOT_CALLED(DirectorySlot21)
  NOT_CALLED(DirectorySlot22)
  STDMETHODIMP ReadProperties(CallerContext context, GUID objectId, GUID reserved1, BSTR path, GUID reserved2,
                              LONG flags1, LONG flags2, PropertyBlock** block, void** extra) override {
    State& state = g_state;
    const bool sound = state.TakeContext(context) && IsEqualGUID(objectId, kSystemObjectId) &&
                       IsEqualGUID(reserved1, GUID_NULL) && IsEqualGUID(reserved2, GUID_NULL) && flags1 == 1 &&
                       flags2 == 1 && block && extra && !*block && !*extra;
    state.Record("ReadProperties(" + test::Narrow(path) + ")", sound);
    RETURN_HR_IF(E_POINTER, !block || !extra);
    *block = nullptr;
    *extra = nullptr;
    state.PassReadGate();
    RETURN_IF_FAILED(state.Failure(kReadProperties));
    RETURN_HR_IF(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND),
                 !path || wcscmp(path, L"$Policies/$SystemPolicies/$AuditPolicies") != 0);
    return state.MakePropertyBlock(block, extra);
  }

  STDMETHODIMP Subscribe(const GUID* resourceId, IUnknown* sink, DWORD* cookie) override {
    State& state = g_state;
    state.Record("Subscribe", resourceId && sink && cookie);
    RETURN_HR_IF(E_POINTER, !resourceId || !sink || !cookie);
    *cookie = 0;
    ComPtr<IHVPolicyChangeNotification> notification;
    RETURN_IF_FAILED(sink->QueryInterface(__uuidof(IHVPolicyChangeNotification), notification.put_void()));
    auto hold = state.lock.lock();
    *cookie = ++state.lastCookie;
    state.subscriptions[*cookie] = Subscription{*resourceId, std::move(notification)};
    return S_OK;
  }
  STDMETHODIMP Unsubscribe(const GUID* resourceId, DWORD cookie) override {
    // The sink is let go outside the lock.
    const ComPtr<IHVPolicyChangeNotification> released = g_state.Locked([&](State& state) {
      auto it = state.subscriptions.find(cookie);
      if (it == state.subscriptions.end() || !resourceId || !IsEqualGUID(it->second.resourceId, *resourceId))
        return ComPtr<IHVPolicyChangeNotification>();
      return std::move(state.subscriptions.extract(it).mapped().sink);
    });
    g_state.Record("Unsubscribe", released != nullptr);
    return released ? S_OK : HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
  }
};
inline const QIEntry Directory::kInterfaces[] = {HV_QI_ENTRY(Directory, IHVSecurityDirectory),
                                                 HV_QI_ENTRY(Directory, IHVPolicyNotificationRegistration), HV_QI_END};

#undef NOT_CALLED

}  // namespace detail

// The test's handle on the doubles.
class SecurityDoubles {
 public:
  // Registers the class objects; the state starts empty.
  SecurityDoubles() {
    Reset();
    static ClassFactory* const objects[] = {
        MakeObject<ClassFactory>(&detail::Create<detail::Authority, kCreateAuthority>).release(),
        MakeObject<ClassFactory>(&detail::Create<detail::Directory, kCreateDirectory>).release()};
    const CLSID ids[] = {CLSID_HVSecurityAuthority, CLSID_HVSecurityDirectory};
    for (int i = 0; i < 2 && SUCCEEDED(registration_); ++i)
      registration_ = CoRegisterClassObject(ids[i], objects[i], CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookies_[i]);
  }
  ~SecurityDoubles() {
    Reset();
    for (DWORD cookie : cookies_)
      if (cookie) CoRevokeClassObject(cookie);
  }
  SecurityDoubles(const SecurityDoubles&) = delete;
  SecurityDoubles& operator=(const SecurityDoubles&) = delete;
  HRESULT registration() const { return registration_; }

  // Forgets properties, failures and calls; drops subscriptions (their sinks
  // are released outside the lock); lets held reads go.
  void Reset() {
    const auto dropped = detail::g_state.Locked([](detail::State& state) {
      for (auto& failure : state.failures) failure = {};
      state.calls.clear();
      for (auto& property : state.properties) VariantClear(&property.second);
      state.properties.clear();
      state.lastResource = GUID_NULL;
      return std::exchange(state.subscriptions, {});
    });
    HoldReads(false);
  }
  // Sets a property of the audit policies (a VT_BOOL, VT_I4 or VT_BSTR
  // value); a new name goes to the end of the list.
  void SetValue(const wchar_t* name, VARTYPE type, LONG value, const wchar_t* text = nullptr) {
    auto hold = detail::g_state.lock.lock();
    auto& all = detail::g_state.properties;
    auto it = std::find_if(all.begin(), all.end(), [&](const auto& property) { return property.first == name; });
    VARIANT* slot = &(it != all.end() ? *it : all.emplace_back(name, VARIANT{})).second;
    VariantClear(slot);
    V_VT(slot) = type;
    if (type == VT_BOOL) V_BOOL(slot) = static_cast<VARIANT_BOOL>(value);
    if (type == VT_I4) V_I4(slot) = value;
    if (type == VT_BSTR) V_BSTR(slot) = SysAllocString(text);
  }
  void SetBool(const wchar_t* name, bool value) { SetValue(name, VT_BOOL, value ? VARIANT_TRUE : VARIANT_FALSE); }
  // The next `count` calls of the operation fail with hr (-1: all of them).
  void Fail(Operation operation, LONG count, HRESULT hr) {
    detail::g_state.Locked([&](detail::State& state) { state.failures[operation] = {count, hr}; });
  }
  // The calls in order, separated by ";": "CreateAuthority", "GetCredential(id,user)",
  // "CreateDirectory", "ResolveName(name)", "ReadProperties(path)", "Subscribe",
  // "Unsubscribe", "ReleaseObject". A call that breaks the directory's rules (an
  // object id or cookie it did not hand out, reserved values not zero, out
  // pointers not cleared, a context that does not name the calling computer,
  // process, thread, application and issued token) is followed by "!".
  std::string Calls() { return detail::g_state.Locked([](detail::State& state) { return state.calls; }); }
  // The resource named by the last directory operation's context (or GUID_NULL).
  GUID LastResource() { return detail::g_state.Locked([](detail::State& state) { return state.lastResource; }); }
  // Authorities, credentials and directories alive (created and not released).
  LONG LiveObjects() { return detail::g_state.liveObjects; }
  // Subscriptions made and not yet unsubscribed.
  LONG Subscriptions() {
    return detail::g_state.Locked([](detail::State& state) { return static_cast<LONG>(state.subscriptions.size()); });
  }
  // Calls ObjectChanged (objectName = name, which may be null) on every
  // subscriber once, on the calling thread; the number called. *lastResult
  // receives the last one's result.
  LONG Notify(const wchar_t* name, HRESULT* lastResult = nullptr) {
    const auto subscribers = detail::g_state.Locked([](detail::State& state) { return state.subscriptions; });
    unique_bstr objectName(SysAllocString(name));
    for (const auto& [cookie, s] : subscribers) {
      const HRESULT hr = s.sink->ObjectChanged(&s.resourceId, &detail::kSystemObjectId, 1, objectName.get());
      if (lastResult) *lastResult = hr;
    }
    return static_cast<LONG>(subscribers.size());
  }
  // While held, ReadProperties waits (up to 30 s) until the hold is released;
  // WaitForHeldRead waits until a read is being held (false on time-out).
  void HoldReads(bool hold) {
    (hold ? ResetEvent : SetEvent)(detail::g_state.readGate);
    if (!hold) ResetEvent(detail::g_state.readWaiting);
  }
  bool WaitForHeldRead(DWORD timeoutMs) {
    return WaitForSingleObject(detail::g_state.readWaiting, timeoutMs) == WAIT_OBJECT_0;
  }

 private:
  DWORD cookies_[2] = {};
  HRESULT registration_ = S_OK;
};

}  // namespace hv::doubles
