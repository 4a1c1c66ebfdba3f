// A connection of the test double: Post and Transact record the message;
// Transact answers with the reply the test set for the message's type.
#pragma once
#include <windows.h>

#include <memory>

#include "HVMux.h"
#include "TestMuxEndpoint.h"
#include "common/ComObject.h"
#include "mux/CMuxMessage.h"

namespace hv::testmux {

class CTestMuxConnection final : public IMuxConnection, public ComObject {
 public:
  HV_COM_OBJECT(CTestMuxConnection)
  static const QIEntry kInterfaces[];

  explicit CTestMuxConnection(std::shared_ptr<TestMuxEndpoint> endpoint);

  STDMETHODIMP CreateMessage(IMuxMessage** ppMsg) override;
  STDMETHODIMP Post(IMuxMessage* msg, ULONG timeoutMs) override;
  STDMETHODIMP Transact(IMuxMessage* request, IMuxMessage** ppReply, ULONG timeoutMs) override;
  STDMETHODIMP Flush(ULONG timeoutMs) override;
  STDMETHODIMP Disconnect() override;
  STDMETHODIMP Stop(LONG value) override;

 private:
  ~CTestMuxConnection() override;
  // A "5" for a posted "2", handed to the sink on another thread.
  void AutoAnswer(const MuxMessageContent& posted);

  std::shared_ptr<TestMuxEndpoint> endpoint_;
};

}  // namespace hv::testmux
