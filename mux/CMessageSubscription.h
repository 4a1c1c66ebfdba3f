// What Subscribe hands out: a connection point container with the one
// connection point of the subscription's events. The object is both the
// container and its connection point; letting it go ends the subscription
// at the service.
#pragma once
#include <windows.h>
#include <ocidl.h>

#include <memory>

#include "common/ComObject.h"
#include "mux/MuxLink.h"
#include "mux/SubscriptionFeed.h"

namespace hv {

class CMessageSubscription final : public IConnectionPointContainer, public IConnectionPoint, public ComObject {
 public:
  HV_COM_OBJECT(CMessageSubscription)
  static const QIEntry kInterfaces[];

  CMessageSubscription(std::shared_ptr<MuxLink> link, uint32_t number, std::shared_ptr<SubscriptionFeed> feed);

  // IConnectionPointContainer
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
  STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;
  // IConnectionPoint
  STDMETHODIMP GetConnectionInterface(IID* pIID) override;
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
  STDMETHODIMP Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
  STDMETHODIMP Unadvise(DWORD dwCookie) override;
  STDMETHODIMP EnumConnections(IEnumConnections** ppEnum) override;

 private:
  ~CMessageSubscription() override;

  std::shared_ptr<MuxLink> link_;
  const uint32_t number_;
  std::shared_ptr<SubscriptionFeed> feed_;
};

}  // namespace hv
