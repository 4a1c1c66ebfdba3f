#include "mux/CItemEnumerator.h"

#include <algorithm>

namespace hv {

const QIEntry CItemEnumerator::kInterfaces[] = {HV_QI_ENTRY(CItemEnumerator, IEnumUnknown), HV_QI_END};

STDMETHODIMP CItemEnumerator::Next(ULONG celt, IUnknown** rgelt, ULONG* pceltFetched) {
  if (pceltFetched) *pceltFetched = 0;
  RETURN_HR_IF_NULL(E_POINTER, rgelt);
  RETURN_HR_IF(E_INVALIDARG, celt > 1 && !pceltFetched);
  std::lock_guard<std::mutex> lock(mutex_);
  ULONG fetched = 0;
  while (fetched < celt && position_ < items_->size()) {
    (*items_)[position_++].copy_to(&rgelt[fetched]);
    ++fetched;
  }
  for (ULONG i = fetched; i < celt; ++i) rgelt[i] = nullptr;
  if (pceltFetched) *pceltFetched = fetched;
  return fetched == celt ? S_OK : S_FALSE;
}

STDMETHODIMP CItemEnumerator::Skip(ULONG celt) {
  std::lock_guard<std::mutex> lock(mutex_);
  const size_t left = items_->size() - position_;
  position_ += std::min<size_t>(left, celt);
  return celt <= left ? S_OK : S_FALSE;
}

STDMETHODIMP CItemEnumerator::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  position_ = 0;
  return S_OK;
}

STDMETHODIMP CItemEnumerator::Clone(IEnumUnknown** ppenum) {
  RETURN_HR_IF_NULL(E_POINTER, ppenum);
  *ppenum = nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  ComPtr<CItemEnumerator> clone = MakeObject<CItemEnumerator>(items_, position_);
  RETURN_IF_NULL_ALLOC(clone);
  *ppenum = clone.release();
  return S_OK;
}

}  // namespace hv
