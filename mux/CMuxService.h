// The Mux service object: the class the client creates. It holds nothing; each
// Connect opens a link of its own to the service at the given address.
#pragma once
#include <windows.h>

#include "HVMux.h"
#include "common/ComObject.h"

namespace hv {

class CMuxService final : public IMuxService, public ComObject {
 public:
  HV_COM_OBJECT(CMuxService)
  static const QIEntry kInterfaces[];

  CMuxService() = default;

  STDMETHODIMP Connect(LPCWSTR address, LONG reserved, IUnknown* sink, IMuxConnection** ppConnection) override;

 private:
  ~CMuxService() override = default;
};

}  // namespace hv
