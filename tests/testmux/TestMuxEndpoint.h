// The client side of one test connection: its sink and context, and whether
// the client stopped it or the test closed it. Notifications go through here,
// so that a stopped or closed connection calls its sink no more, and a test
// thread can still drive a connection whose object is being released.
#pragma once
#include <windows.h>

#include <functional>
#include <mutex>

#include "HVMux.h"
#include "common/ComPtr.h"

namespace hv::testmux {

class TestMuxEndpoint {
 public:
  TestMuxEndpoint(ComPtr<IMuxSink> sink, LONG context) : sink_(std::move(sink)), context_(context) {}

  LONG context() const { return context_; }
  ComPtr<IMuxSink> sink();

  // Calls the sink unless the connection is stopped or closed (S_FALSE then).
  // The call runs without the endpoint's lock: Stop never waits for it.
  HRESULT Notify(const std::function<HRESULT(IMuxSink*, LONG)>& call);
  // Closes the connection with reason and tells the sink, once.
  HRESULT Close(HRESULT reason);
  // Closed by its client: nothing is told to the sink.
  void Disconnect(HRESULT reason);
  // No notification starts after this; the sink is released.
  void Stop();
  // S_OK while open, the close reason once closed.
  HRESULT State();

 private:
  std::mutex mutex_;
  ComPtr<IMuxSink> sink_;
  const LONG context_;
  bool closed_ = false;
  HRESULT reason_ = S_OK;
};

}  // namespace hv::testmux
