#include "mux/SubscriptionFeed.h"

#include <olectl.h>

#include <algorithm>
#include <chrono>

#include "TAVDiagnostics.h"
#include "common/Result.h"
#include "mux/CItemEnumerator.h"
#include "mux/ItemLoader.h"
#include "mux/ModuleThread.h"

namespace hv {
namespace {

constexpr DISPID kOnLog = 1;

}  // namespace

SubscriptionFeed::SubscriptionFeed(LONG bufferTimeMs, LONG maxSize) : bufferTimeMs_(bufferTimeMs), maxSize_(maxSize) {}

HRESULT SubscriptionFeed::Start(uint32_t number) {
  number_ = number;
  RETURN_IF_FAILED(CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IGlobalInterfaceTable, table_.put_void()));
  std::shared_ptr<SubscriptionFeed> self = shared_from_this();
  RETURN_HR_IF(E_OUTOFMEMORY, !StartModuleThread([self] { self->FireLoop(); }));
  return S_OK;
}

void SubscriptionFeed::Stop() {
  std::map<DWORD, DWORD> sinks;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    sinks.swap(sinks_);
    waiting_.clear();
    changed_.notify_all();
  }
  for (const auto& sink : sinks) table_->RevokeInterfaceFromGlobal(sink.second);
}

HRESULT SubscriptionFeed::Advise(IUnknown* sink, DWORD* cookie) {
  RETURN_HR_IF_NULL(E_POINTER, cookie);
  *cookie = 0;
  RETURN_HR_IF_NULL(E_POINTER, sink);
  ComPtr<IDispatch> events;
  if (FAILED(sink->QueryInterface(DIID__ITAVDiagnosticMessageSubscriptionEvents, events.put_void())) &&
      FAILED(sink->QueryInterface(IID_IDispatch, events.put_void())))
    return CONNECT_E_CANNOTCONNECT;
  DWORD tableCookie = 0;
  RETURN_IF_FAILED(table_->RegisterInterfaceInGlobal(events.get(), IID_IDispatch, &tableCookie));
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopped_) {
    table_->RevokeInterfaceFromGlobal(tableCookie);
    return E_UNEXPECTED;
  }
  *cookie = nextCookie_++;
  sinks_[*cookie] = tableCookie;
  // Items that waited for a sink are due now.
  changed_.notify_all();
  return S_OK;
}

HRESULT SubscriptionFeed::Unadvise(DWORD cookie) {
  DWORD tableCookie = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = sinks_.find(cookie);
    if (found == sinks_.end()) return CONNECT_E_NOCONNECTION;
    tableCookie = found->second;
    sinks_.erase(found);
  }
  table_->RevokeInterfaceFromGlobal(tableCookie);
  return S_OK;
}

HRESULT SubscriptionFeed::Connections(std::vector<std::pair<DWORD, ComPtr<IUnknown>>>* sinks) {
  sinks->clear();
  std::map<DWORD, DWORD> advised;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    advised = sinks_;
  }
  for (const auto& entry : advised) {
    ComPtr<IUnknown> sink;
    // A sink unadvised in the meantime is left out.
    if (FAILED(table_->GetInterfaceFromGlobal(entry.second, IID_IUnknown, sink.put_void()))) continue;
    sinks->emplace_back(entry.first, std::move(sink));
  }
  return S_OK;
}

void SubscriptionFeed::OnPush(uint32_t count, const uint8_t* items, size_t size) {
  std::vector<wire::StoredItem> stored;
  // A push the feed cannot take apart is dropped; the next ones are whole.
  if (!wire::DecodeItems(items, size, count, &stored)) return;
  const ULONGLONG now = GetTickCount64();
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopped_) return;
  for (const auto& item : stored) waiting_.push_back({now, std::vector<uint8_t>(item.stream, item.stream + item.size)});
  while (waiting_.size() > kMaxWaitingItems) waiting_.pop_front();
  changed_.notify_all();
}

void SubscriptionFeed::OnEnded(HRESULT, const std::string&) {
  // What already came is still fired; nothing more will come.
}

bool SubscriptionFeed::Due(ULONGLONG now, ULONGLONG* wakeAt) const {
  *wakeAt = ULLONG_MAX;
  if (waiting_.empty() || sinks_.empty()) return false;
  if (bufferTimeMs_ <= 0) return true;
  if (maxSize_ > 0 && waiting_.size() >= static_cast<size_t>(maxSize_)) return true;
  const ULONGLONG due = waiting_.front().arrival + static_cast<ULONGLONG>(bufferTimeMs_);
  if (now >= due) return true;
  *wakeAt = due;
  return false;
}

void SubscriptionFeed::FireLoop() {
  const HRESULT comStarted = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  for (;;) {
    std::vector<Waiting> batch;
    std::vector<DWORD> sinks;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      for (;;) {
        if (stopped_) break;
        ULONGLONG wakeAt = 0;
        const ULONGLONG now = GetTickCount64();
        if (Due(now, &wakeAt)) break;
        if (wakeAt == ULLONG_MAX)
          changed_.wait(lock);
        else
          changed_.wait_for(lock, std::chrono::milliseconds(wakeAt - now));
      }
      if (stopped_) break;
      const size_t take = maxSize_ > 0 ? std::min<size_t>(waiting_.size(), static_cast<size_t>(maxSize_))
                                       : waiting_.size();
      for (size_t i = 0; i < take; ++i) {
        batch.push_back(std::move(waiting_.front()));
        waiting_.pop_front();
      }
      for (const auto& sink : sinks_) sinks.push_back(sink.second);
    }
    Fire(std::move(batch), sinks);
  }
  if (SUCCEEDED(comStarted)) CoUninitialize();
}

void SubscriptionFeed::Fire(std::vector<Waiting> batch, const std::vector<DWORD>& sinks) {
  ItemLoader loader;
  auto items = std::make_shared<CItemEnumerator::Items>();
  for (const auto& waiting : batch) {
    ComPtr<IUnknown> item;
    // An item that cannot be loaded is left out; the others still go.
    if (SUCCEEDED(loader.Load(waiting.stream.data(), waiting.stream.size(), item.put())))
      items->push_back(std::move(item));
  }
  if (items->empty()) return;
  for (DWORD tableCookie : sinks) {
    ComPtr<IDispatch> sink;
    if (FAILED(table_->GetInterfaceFromGlobal(tableCookie, IID_IDispatch, sink.put_void()))) continue;
    // Each sink gets an enumerator of its own, standing at the first item.
    ComPtr<CItemEnumerator> enumerator = MakeObject<CItemEnumerator>(items);
    if (!enumerator) return;
    VARIANTARG args[2];
    // Arguments go last to first.
    args[0].vt = VT_UNKNOWN;
    args[0].punkVal = static_cast<IEnumUnknown*>(enumerator.get());
    args[1].vt = VT_I4;
    args[1].lVal = static_cast<LONG>(number_);
    DISPPARAMS params = {args, nullptr, 2, 0};
    // A sink's failure is its own; the other sinks are still told.
    sink->Invoke(kOnLog, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
  }
}

}  // namespace hv
