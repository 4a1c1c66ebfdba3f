// A plain enumerator over log items already in hand: what a subscription's
// OnLog carries.
#pragma once
#include <windows.h>

#include <memory>
#include <mutex>
#include <vector>

#include "common/ComObject.h"

namespace hv {

class CItemEnumerator final : public IEnumUnknown, public ComObject {
 public:
  HV_COM_OBJECT(CItemEnumerator)
  static const QIEntry kInterfaces[];
  using Items = std::vector<ComPtr<IUnknown>>;

  // Clones share the items, each with a position of its own.
  explicit CItemEnumerator(std::shared_ptr<const Items> items, size_t position = 0)
      : items_(std::move(items)), position_(position) {}

  STDMETHODIMP Next(ULONG celt, IUnknown** rgelt, ULONG* pceltFetched) override;
  STDMETHODIMP Skip(ULONG celt) override;
  STDMETHODIMP Reset() override;
  STDMETHODIMP Clone(IEnumUnknown** ppenum) override;

 private:
  ~CItemEnumerator() override = default;

  std::mutex mutex_;
  const std::shared_ptr<const Items> items_;
  size_t position_;
};

}  // namespace hv
