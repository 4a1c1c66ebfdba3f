#include "DoublesState.h"

#include <objbase.h>

#include <cwchar>

namespace hv::doubles {
namespace {

void CopyText(wchar_t* target, size_t capacity, const wchar_t* text) {
  if (!text) text = L"(null)";
  wcsncpy(target, text, capacity - 1);
  target[capacity - 1] = L'\0';
}

void* TaskCopy(const void* data, size_t size) {
  void* block = CoTaskMemAlloc(size);
  if (block) memcpy(block, data, size);
  return block;
}

}  // namespace

DoublesState& DoublesState::Get() {
  static DoublesState state;
  return state;
}

DoublesState::DoublesState()
    : token_(L"token-1"), readGate_(CreateEventW(nullptr, TRUE, TRUE, nullptr)),
      readWaiting_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

void DoublesState::Reset() {
  std::vector<Subscription> dropped;
  {
    auto lock = lock_.lock();
    for (auto& failure : failures_) failure = Failure();
    for (auto& count : calls_) count = 0;
    callLog_.clear();
    for (auto& property : properties_) VariantClear(&property.second);
    properties_.clear();
    token_ = L"token-1";
    haveContext_ = false;
    dropped.swap(subscriptions_);
  }
  HoldReads(false);
  // The sinks are released outside the lock.
  dropped.clear();
}

HRESULT DoublesState::TakeCall(LONG operation) {
  auto lock = lock_.lock();
  ++calls_[operation];
  Failure& failure = failures_[operation];
  if (failure.count == 0) return S_OK;
  if (failure.count > 0) --failure.count;
  return failure.hr;
}

void DoublesState::SetFailure(LONG operation, LONG count, HRESULT hr) {
  if (operation < 0 || operation >= SecDoublesOp_Count) return;
  auto lock = lock_.lock();
  failures_[operation].count = count;
  failures_[operation].hr = hr;
}

LONG DoublesState::CallCount(LONG operation) {
  if (operation < 0 || operation >= SecDoublesOp_Count) return -1;
  auto lock = lock_.lock();
  return calls_[operation];
}

void DoublesState::Record(const std::string& call) {
  auto lock = lock_.lock();
  if (!callLog_.empty()) callLog_ += ";";
  callLog_ += call;
}

std::string DoublesState::CallLog() {
  auto lock = lock_.lock();
  return callLog_;
}

bool DoublesState::TakeContext(const CallerContext& context) {
  wchar_t computer[32] = {};
  DWORD chars = ARRAYSIZE(computer);
  if (!GetComputerNameW(computer, &chars)) computer[0] = L'\0';
  auto lock = lock_.lock();
  haveContext_ = true;
  CopyText(lastContext_.computerName, ARRAYSIZE(lastContext_.computerName), context.computerName);
  lastContext_.resourceId = context.resourceId;
  lastContext_.reserved = context.reserved;
  lastContext_.processId = context.processId;
  lastContext_.threadId = context.threadId;
  CopyText(lastContext_.token, ARRAYSIZE(lastContext_.token), context.token);
  CopyText(lastContext_.applicationName, ARRAYSIZE(lastContext_.applicationName), context.applicationName);
  lastContext_.reserved2 = context.reserved2;
  return context.computerName && wcscmp(context.computerName, computer) == 0 &&
         IsEqualGUID(context.reserved, GUID_NULL) && context.processId == GetCurrentProcessId() &&
         context.threadId == GetCurrentThreadId() && context.token && token_ == context.token &&
         SysStringLen(context.token) == token_.size() && context.applicationName &&
         wcscmp(context.applicationName, L"HVAuthenticationProvider") == 0 && context.reserved2 == 0;
}

bool DoublesState::LastContext(SecDoublesContext* context) {
  auto lock = lock_.lock();
  if (!haveContext_) return false;
  *context = lastContext_;
  return true;
}

void DoublesState::SetProperty(const wchar_t* name, const VARIANT* value) {
  auto lock = lock_.lock();
  for (auto it = properties_.begin(); it != properties_.end(); ++it) {
    if (it->first != name) continue;
    VariantClear(&it->second);
    if (value)
      VariantCopy(&it->second, const_cast<VARIANT*>(value));
    else
      properties_.erase(it);
    return;
  }
  if (!value) return;
  properties_.emplace_back(name, VARIANT());
  VariantInit(&properties_.back().second);
  VariantCopy(&properties_.back().second, const_cast<VARIANT*>(value));
}

HRESULT DoublesState::MakePropertyBlock(PropertyBlock** result, void** extra) {
  auto lock = lock_.lock();
  const ULONG count = static_cast<ULONG>(properties_.size());
  auto* block = static_cast<PropertyBlock*>(CoTaskMemAlloc(PropertyBlockSize(count)));
  if (!block) return E_OUTOFMEMORY;
  memset(block, 0, PropertyBlockSize(count));
  // The pieces every answer carries; the reader frees them unread.
  block->first = TaskCopy("first", 6);
  block->second = TaskCopy("second", 7);
  block->recordCount = 2;
  block->records = static_cast<PropertyRecord*>(CoTaskMemAlloc(2 * sizeof(PropertyRecord)));
  if (block->records) {
    memset(block->records, 0, 2 * sizeof(PropertyRecord));
    block->records[0].block = TaskCopy("record0", 8);
    block->records[1].block = TaskCopy("record1", 8);
  } else {
    block->recordCount = 0;
  }
  block->propertyCount = count;
  PropertyEntry* entries = PropertiesOf(block);
  for (ULONG i = 0; i < count; ++i) {
    const std::wstring& name = properties_[i].first;
    entries[i].name = static_cast<wchar_t*>(TaskCopy(name.c_str(), (name.size() + 1) * sizeof(wchar_t)));
    VariantInit(&entries[i].value);
    VariantCopy(&entries[i].value, &properties_[i].second);
  }
  *result = block;
  *extra = TaskCopy("extra", 6);
  return S_OK;
}

void DoublesState::SetToken(const wchar_t* token) {
  auto lock = lock_.lock();
  token_ = token ? token : L"";
}

std::wstring DoublesState::Token() {
  auto lock = lock_.lock();
  return token_;
}

DWORD DoublesState::Subscribe(const GUID& resourceId, IHVPolicyChangeNotification* sink) {
  auto lock = lock_.lock();
  const DWORD cookie = nextCookie_++;
  subscriptions_.push_back(Subscription{cookie, resourceId, ComPtr<IHVPolicyChangeNotification>(sink)});
  return cookie;
}

bool DoublesState::Unsubscribe(const GUID& resourceId, DWORD cookie) {
  ComPtr<IHVPolicyChangeNotification> released;
  auto lock = lock_.lock();
  for (auto it = subscriptions_.begin(); it != subscriptions_.end(); ++it) {
    if (it->cookie != cookie || !IsEqualGUID(it->resourceId, resourceId)) continue;
    released = std::move(it->sink);
    subscriptions_.erase(it);
    lock.unlock();
    return true;
  }
  return false;
}

LONG DoublesState::SubscriptionCount() {
  auto lock = lock_.lock();
  return static_cast<LONG>(subscriptions_.size());
}

std::vector<Subscription> DoublesState::Subscribers() {
  auto lock = lock_.lock();
  return subscriptions_;
}

void DoublesState::HoldReads(bool hold) {
  if (hold) {
    ResetEvent(readGate_);
  } else {
    SetEvent(readGate_);
    ResetEvent(readWaiting_);
  }
}

void DoublesState::PassReadGate() {
  if (WaitForSingleObject(readGate_, 0) == WAIT_OBJECT_0) return;
  SetEvent(readWaiting_);
  WaitForSingleObject(readGate_, 30000);
}

bool DoublesState::WaitForHeldRead(DWORD timeoutMs) {
  return WaitForSingleObject(readWaiting_, timeoutMs) == WAIT_OBJECT_0;
}

}  // namespace hv::doubles
