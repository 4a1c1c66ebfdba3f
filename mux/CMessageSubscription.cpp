#include "mux/CMessageSubscription.h"

#include <olectl.h>

#include <algorithm>

#include "TAVDiagnostics.h"
#include "common/ByteStream.h"
#include "common/Result.h"

namespace hv {
namespace {

// The container's single connection point, enumerated.
class CConnectionPointEnum final : public IEnumConnectionPoints, public ComObject {
 public:
  HV_COM_OBJECT(CConnectionPointEnum)
  static const QIEntry kInterfaces[];

  CConnectionPointEnum(IConnectionPoint* point, bool done) : point_(point), done_(done) {}

  STDMETHODIMP Next(ULONG celt, IConnectionPoint** rgcp, ULONG* pceltFetched) override {
    if (pceltFetched) *pceltFetched = 0;
    RETURN_HR_IF_NULL(E_POINTER, rgcp);
    RETURN_HR_IF(E_INVALIDARG, celt > 1 && !pceltFetched);
    ULONG fetched = 0;
    if (celt > 0 && !done_) {
      point_.copy_to(&rgcp[0]);
      done_ = true;
      fetched = 1;
    }
    if (pceltFetched) *pceltFetched = fetched;
    return fetched == celt ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG celt) override {
    if (celt == 0) return S_OK;
    const bool had = !done_;
    done_ = true;
    return had && celt == 1 ? S_OK : S_FALSE;
  }
  STDMETHODIMP Reset() override {
    done_ = false;
    return S_OK;
  }
  STDMETHODIMP Clone(IEnumConnectionPoints** ppEnum) override {
    RETURN_HR_IF_NULL(E_POINTER, ppEnum);
    ComPtr<CConnectionPointEnum> clone = MakeObject<CConnectionPointEnum>(point_.get(), done_);
    RETURN_IF_NULL_ALLOC(clone);
    *ppEnum = clone.release();
    return S_OK;
  }

 private:
  ~CConnectionPointEnum() override = default;
  ComPtr<IConnectionPoint> point_;
  bool done_;
};

const QIEntry CConnectionPointEnum::kInterfaces[] = {HV_QI_ENTRY(CConnectionPointEnum, IEnumConnectionPoints),
                                                     HV_QI_END};

// The sinks advised when EnumConnections was called.
class CConnectionEnum final : public IEnumConnections, public ComObject {
 public:
  HV_COM_OBJECT(CConnectionEnum)
  static const QIEntry kInterfaces[];
  using Sinks = std::vector<std::pair<DWORD, ComPtr<IUnknown>>>;

  CConnectionEnum(std::shared_ptr<const Sinks> sinks, size_t position) : sinks_(std::move(sinks)), position_(position) {}

  STDMETHODIMP Next(ULONG celt, CONNECTDATA* rgcd, ULONG* pceltFetched) override {
    if (pceltFetched) *pceltFetched = 0;
    RETURN_HR_IF_NULL(E_POINTER, rgcd);
    RETURN_HR_IF(E_INVALIDARG, celt > 1 && !pceltFetched);
    ULONG fetched = 0;
    while (fetched < celt && position_ < sinks_->size()) {
      const auto& sink = (*sinks_)[position_++];
      rgcd[fetched].dwCookie = sink.first;
      sink.second.copy_to(&rgcd[fetched].pUnk);
      ++fetched;
    }
    if (pceltFetched) *pceltFetched = fetched;
    return fetched == celt ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG celt) override {
    const size_t left = sinks_->size() - position_;
    position_ += std::min<size_t>(left, celt);
    return celt <= left ? S_OK : S_FALSE;
  }
  STDMETHODIMP Reset() override {
    position_ = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(IEnumConnections** ppEnum) override {
    RETURN_HR_IF_NULL(E_POINTER, ppEnum);
    ComPtr<CConnectionEnum> clone = MakeObject<CConnectionEnum>(sinks_, position_);
    RETURN_IF_NULL_ALLOC(clone);
    *ppEnum = clone.release();
    return S_OK;
  }

 private:
  ~CConnectionEnum() override = default;
  const std::shared_ptr<const Sinks> sinks_;
  size_t position_;
};

const QIEntry CConnectionEnum::kInterfaces[] = {HV_QI_ENTRY(CConnectionEnum, IEnumConnections), HV_QI_END};

}  // namespace

const QIEntry CMessageSubscription::kInterfaces[] = {HV_QI_ENTRY(CMessageSubscription, IConnectionPointContainer),
                                                     HV_QI_ENTRY(CMessageSubscription, IConnectionPoint), HV_QI_END};

CMessageSubscription::CMessageSubscription(std::shared_ptr<MuxLink> link, uint32_t number,
                                           std::shared_ptr<SubscriptionFeed> feed)
    : link_(std::move(link)), number_(number), feed_(std::move(feed)) {}

CMessageSubscription::~CMessageSubscription() {
  feed_->Stop();
  link_->DropSubscription(number_);
  std::vector<uint8_t> payload;
  ByteWriter(&payload).u32(number_);
  // The service's Done is not waited for: nothing of this subscription is
  // delivered any more whatever it answers.
  link_->Send(wire::FrameKind::Unsubscribe, payload);
}

STDMETHODIMP CMessageSubscription::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
  RETURN_HR_IF_NULL(E_POINTER, ppEnum);
  *ppEnum = nullptr;
  ComPtr<CConnectionPointEnum> points = MakeObject<CConnectionPointEnum>(static_cast<IConnectionPoint*>(this), false);
  RETURN_IF_NULL_ALLOC(points);
  *ppEnum = points.release();
  return S_OK;
}

STDMETHODIMP CMessageSubscription::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
  RETURN_HR_IF_NULL(E_POINTER, ppCP);
  *ppCP = nullptr;
  RETURN_HR_IF(CONNECT_E_NOCONNECTION, !IsEqualIID(riid, DIID__ITAVDiagnosticMessageSubscriptionEvents));
  *ppCP = static_cast<IConnectionPoint*>(this);
  AddRef();
  return S_OK;
}

STDMETHODIMP CMessageSubscription::GetConnectionInterface(IID* pIID) {
  RETURN_HR_IF_NULL(E_POINTER, pIID);
  *pIID = DIID__ITAVDiagnosticMessageSubscriptionEvents;
  return S_OK;
}

STDMETHODIMP CMessageSubscription::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) {
  RETURN_HR_IF_NULL(E_POINTER, ppCPC);
  *ppCPC = static_cast<IConnectionPointContainer*>(this);
  AddRef();
  return S_OK;
}

STDMETHODIMP CMessageSubscription::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
  return feed_->Advise(pUnkSink, pdwCookie);
}

STDMETHODIMP CMessageSubscription::Unadvise(DWORD dwCookie) { return feed_->Unadvise(dwCookie); }

STDMETHODIMP CMessageSubscription::EnumConnections(IEnumConnections** ppEnum) {
  RETURN_HR_IF_NULL(E_POINTER, ppEnum);
  *ppEnum = nullptr;
  auto sinks = std::make_shared<CConnectionEnum::Sinks>();
  RETURN_IF_FAILED(feed_->Connections(sinks.get()));
  ComPtr<CConnectionEnum> connections = MakeObject<CConnectionEnum>(std::move(sinks), 0);
  RETURN_IF_NULL_ALLOC(connections);
  *ppEnum = connections.release();
  return S_OK;
}

}  // namespace hv
