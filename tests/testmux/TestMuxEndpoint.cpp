#include "TestMuxEndpoint.h"

namespace hv::testmux {

ComPtr<IMuxSink> TestMuxEndpoint::sink() {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_ ? nullptr : sink_;
}

HRESULT TestMuxEndpoint::Notify(const std::function<HRESULT(IMuxSink*, LONG)>& call) {
  ComPtr<IMuxSink> sink;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || !sink_) return S_FALSE;
    sink = sink_;
  }
  return call(sink.get(), context_);
}

HRESULT TestMuxEndpoint::Close(HRESULT reason) {
  ComPtr<IMuxSink> sink;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return S_FALSE;
    closed_ = true;
    reason_ = reason;
    sink = sink_;
  }
  if (!sink) return S_FALSE;
  return sink->OnConnectionClosed(context_, reason);
}

void TestMuxEndpoint::Disconnect(HRESULT reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return;
  closed_ = true;
  reason_ = reason;
}

void TestMuxEndpoint::Stop() {
  // Released after the lock: the release may run client code.
  ComPtr<IMuxSink> sink;
  std::lock_guard<std::mutex> lock(mutex_);
  sink.swap(sink_);
}

HRESULT TestMuxEndpoint::State() {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_ ? reason_ : S_OK;
}

}  // namespace hv::testmux
