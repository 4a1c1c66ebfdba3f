// The event sink of a subscription: the connection point calls its Invoke
// with OnLog (dispatch id 1) and an enumerator of the new log items, on
// whatever thread the Mux component delivers them.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <atomic>
#include <functional>

namespace hv::diag {

class MessageSink final : public IDispatch {
 public:
  // Called once per item of every OnLog, in order.
  using ItemHandler = std::function<void(IUnknown* item)>;
  static MessageSink* Create(ItemHandler handler);

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override;
  STDMETHODIMP GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* exception, UINT* argError) override;

 private:
  explicit MessageSink(ItemHandler handler) : handler_(std::move(handler)) {}
  ~MessageSink() = default;

  std::atomic<ULONG> references_{1};
  ItemHandler handler_;
};

}  // namespace hv::diag
