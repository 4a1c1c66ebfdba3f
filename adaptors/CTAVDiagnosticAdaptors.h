// The enumerator that the adaptor list hands out: one VT_UNKNOWN element per
// adaptor object, in the order the Mux listed the adaptors.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <vector>

#include "TAVDiagnostics.h"
#include "common/ComObject.h"

namespace hv {

class CTAVDiagnosticAdaptors final : public IEnumVARIANT, public ComObject {
 public:
  HV_COM_OBJECT(CTAVDiagnosticAdaptors)
  static const QIEntry kInterfaces[];

  CTAVDiagnosticAdaptors();

  // Filling, by the adaptor list only: takes one reference to the adaptor.
  HRESULT Add(ITAVDiagnosticAdaptor* adaptor);

  // IEnumVARIANT
  STDMETHODIMP Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) override;
  STDMETHODIMP Skip(ULONG celt) override;
  STDMETHODIMP Reset() override;
  STDMETHODIMP Clone(IEnumVARIANT** ppEnum) override;

 private:
  ~CTAVDiagnosticAdaptors() override;

  // Not guarded: callers serialise their calls on one enumerator.
  ULONG position_ = 0;
  std::vector<ComPtr<ITAVDiagnosticAdaptor>> adaptors_;
};

}  // namespace hv
