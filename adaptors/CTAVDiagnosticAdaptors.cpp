#include "adaptors/CTAVDiagnosticAdaptors.h"

#include <new>

namespace hv {

const QIEntry CTAVDiagnosticAdaptors::kInterfaces[] = {HV_QI_ENTRY(CTAVDiagnosticAdaptors, IEnumVARIANT),
                                                       HV_QI_END};

CTAVDiagnosticAdaptors::CTAVDiagnosticAdaptors() = default;

CTAVDiagnosticAdaptors::~CTAVDiagnosticAdaptors() = default;

HRESULT CTAVDiagnosticAdaptors::Add(ITAVDiagnosticAdaptor* adaptor) {
  RETURN_HR_IF_NULL(E_INVALIDARG, adaptor);
  try {
    adaptors_.emplace_back(adaptor);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

STDMETHODIMP CTAVDiagnosticAdaptors::Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) {
  // The count is always reported, even when one element is asked for.
  RETURN_HR_IF(E_INVALIDARG, !rgVar || !pCeltFetched);
  *pCeltFetched = 0;
  while (*pCeltFetched < celt) {
    if (position_ >= adaptors_.size()) return S_FALSE;
    // Only the type and the pointer of a slot are written, as callers that
    // pass uninitialised arrays expect.
    ITAVDiagnosticAdaptor* adaptor = adaptors_[position_].get();
    adaptor->AddRef();
    VARIANT& slot = rgVar[*pCeltFetched];
    slot.vt = VT_UNKNOWN;
    slot.punkVal = adaptor;
    ++position_;
    ++*pCeltFetched;
  }
  return S_OK;
}

STDMETHODIMP CTAVDiagnosticAdaptors::Skip(ULONG celt) {
  // The position is a 32-bit count: the sum wraps like the caller's.
  position_ += celt;
  if (position_ > adaptors_.size()) {
    position_ = 0;
    return S_FALSE;
  }
  return S_OK;
}

STDMETHODIMP CTAVDiagnosticAdaptors::Reset() {
  position_ = 0;
  return S_OK;
}

STDMETHODIMP CTAVDiagnosticAdaptors::Clone(IEnumVARIANT**) { return E_NOTIMPL; }

}  // namespace hv
