// The client side of one subscription: the items the service pushes wait
// here until nMaxSize of them are waiting or the oldest has waited
// nBufferTime milliseconds, and then go to every advised sink as one OnLog.
//
// OnLog is called on the feed's own thread, never on the link's reader
// thread, so that a sink may call back into the library (even read) while it
// handles the event. Sinks are kept in the global interface table: a sink
// advised from a single-threaded apartment is called in that apartment.
#pragma once
#include <windows.h>
#include <objidl.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/ComPtr.h"
#include "mux/MuxLink.h"

namespace hv {

class SubscriptionFeed final : public MuxLink::PushTarget, public std::enable_shared_from_this<SubscriptionFeed> {
 public:
  // Items kept while no sink is advised; the oldest go first beyond it.
  static constexpr size_t kMaxWaitingItems = 100000;

  SubscriptionFeed(LONG bufferTimeMs, LONG maxSize);

  // Starts the thread that fires OnLog with the subscription's number.
  HRESULT Start(uint32_t number);
  // No OnLog starts after this returns; the sinks are let go.
  void Stop();

  HRESULT Advise(IUnknown* sink, DWORD* cookie);
  HRESULT Unadvise(DWORD cookie);
  // The advised sinks with their cookies, as the calling apartment may use them.
  HRESULT Connections(std::vector<std::pair<DWORD, ComPtr<IUnknown>>>* sinks);

  // MuxLink::PushTarget
  void OnPush(uint32_t count, const uint8_t* items, size_t size) override;
  void OnEnded(HRESULT reason, const std::string& text) override;

 private:
  struct Waiting {
    ULONGLONG arrival;
    std::vector<uint8_t> stream;
  };

  void FireLoop();
  // True when the waiting items are due; otherwise *wakeAt says when they will be.
  bool Due(ULONGLONG now, ULONGLONG* wakeAt) const;
  void Fire(std::vector<Waiting> batch, const std::vector<DWORD>& sinks);

  const LONG bufferTimeMs_;
  const LONG maxSize_;
  uint32_t number_ = 0;
  ComPtr<IGlobalInterfaceTable> table_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Waiting> waiting_;
  std::map<DWORD, DWORD> sinks_;  // advise cookie -> global interface table cookie
  DWORD nextCookie_ = 1;
  bool stopped_ = false;
};

}  // namespace hv
