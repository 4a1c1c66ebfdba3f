// The test double's Mux service object: Connect succeeds without a service
// (unless the test made it fail) and gives a connection that records.
#pragma once
#include <windows.h>

#include "HVMux.h"
#include "common/ComObject.h"

namespace hv::testmux {

class CTestMuxService final : public IMuxService, public ComObject {
 public:
  HV_COM_OBJECT(CTestMuxService)
  static const QIEntry kInterfaces[];

  CTestMuxService() = default;

  STDMETHODIMP Connect(LPCWSTR address, LONG reserved, IUnknown* sink, IMuxConnection** ppConnection) override;

 private:
  ~CTestMuxService() override = default;
};

}  // namespace hv::testmux
