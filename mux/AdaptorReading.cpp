#include "mux/AdaptorReading.h"

#include <string>

#include "common/ByteStream.h"
#include "common/Result.h"
#include "mux/CMessageReader.h"
#include "mux/CMessageSubscription.h"
#include "mux/RemoteReader.h"
#include "mux/SubscriptionFeed.h"

namespace hv {
namespace {

std::wstring TextOf(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : std::wstring(); }

bool IsExport(BSTR adaptorSpecific) { return adaptorSpecific && SysStringLen(adaptorSpecific) > 0 && adaptorSpecific[0] == L'P'; }

HRESULT OpenReader(const std::shared_ptr<MuxLink>& link, REFCLSID adaptor, LONG direction, const std::wstring& filter,
                   CMessageReader** reader) {
  *reader = nullptr;
  const LONG origin = direction == RemoteReader::kForward ? RemoteReader::kStart : RemoteReader::kEnd;
  std::unique_ptr<RemoteReader> remote;
  RETURN_IF_FAILED(RemoteReader::Open(link, adaptor, direction, origin, 0, filter, &remote));
  ComPtr<CMessageReader> created = MakeObject<CMessageReader>(std::move(remote), direction);
  RETURN_IF_NULL_ALLOC(created);
  *reader = created.release();
  return S_OK;
}

}  // namespace

HRESULT ReadThroughService(const std::shared_ptr<MuxLink>& link, REFCLSID adaptor, BSTR adaptorSpecific,
                           BSTR filters, IEnumUnknown** ppUnkEnum) {
  RETURN_HR_IF_NULL(E_POINTER, ppUnkEnum);
  *ppUnkEnum = nullptr;
  const LONG direction = IsExport(adaptorSpecific) ? RemoteReader::kForward : RemoteReader::kReverse;
  ComPtr<CMessageReader> reader;
  RETURN_IF_FAILED(OpenReader(link, adaptor, direction, TextOf(filters), reader.put()));
  *ppUnkEnum = static_cast<ITAVDiagnosticReader*>(reader.release());
  return S_OK;
}

HRESULT OpenExportReader(const std::shared_ptr<MuxLink>& link, REFCLSID adaptor, CMessageReader** reader) {
  return OpenReader(link, adaptor, RemoteReader::kForward, std::wstring(), reader);
}

HRESULT SubscribeThroughService(const std::shared_ptr<MuxLink>& link, REFCLSID adaptor, BSTR filters,
                                LONG bufferTimeMs, LONG maxSize, IConnectionPointContainer** subscription) {
  RETURN_HR_IF_NULL(E_POINTER, subscription);
  *subscription = nullptr;
  const std::wstring filter = TextOf(filters);
  std::vector<uint8_t> payload;
  ByteWriter w(&payload);
  wire::WriteClsid(w, adaptor);
  w.u32(static_cast<uint32_t>(filter.size()));
  for (wchar_t unit : filter) w.u16(static_cast<uint16_t>(unit));

  auto feed = std::make_shared<SubscriptionFeed>(bufferTimeMs, maxSize);
  MuxLink::Answer answer;
  std::string refusal;
  const HRESULT hr = link->Request(wire::FrameKind::Subscribe, payload, &answer, &refusal,
                                   RemoteReader::kRequestTimeoutMs, feed);
  if (FAILED(hr)) {
    ReportServiceError(refusal);
    return hr;
  }
  RETURN_HR_IF(HRESULT_FROM_WIN32(ERROR_INVALID_DATA),
               answer.kind != static_cast<uint16_t>(wire::FrameKind::Subscribed) || answer.payload.size() != 4);
  uint32_t number = 0;
  ByteReader(answer.payload.data(), answer.payload.size()).u32(&number);
  // From here on the subscription object ends the subscription when it goes.
  ComPtr<CMessageSubscription> created = MakeObject<CMessageSubscription>(link, number, feed);
  RETURN_IF_NULL_ALLOC(created);
  RETURN_IF_FAILED(feed->Start(number));
  *subscription = static_cast<IConnectionPointContainer*>(created.release());
  return S_OK;
}

}  // namespace hv
