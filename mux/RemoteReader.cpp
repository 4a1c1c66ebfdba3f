#include "mux/RemoteReader.h"

#include "common/ByteStream.h"
#include "common/ErrorInfo.h"
#include "common/Result.h"

namespace hv {
namespace {

using wire::FrameKind;

const HRESULT kBadAnswer = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);

std::vector<uint8_t> NumberPayload(uint32_t number) {
  std::vector<uint8_t> payload;
  ByteWriter(&payload).u32(number);
  return payload;
}

}  // namespace

void ReportServiceError(const std::string& text) {
  if (text.empty()) return;
  const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), units);
  ReportError(wide.c_str());
}

HRESULT RemoteReader::Call(MuxLink& link, FrameKind kind, const std::vector<uint8_t>& payload, FrameKind answerKind,
                           size_t size, MuxLink::Answer* answer) {
  std::string refusal;
  const HRESULT hr = link.Request(kind, payload, answer, &refusal, kRequestTimeoutMs);
  if (FAILED(hr)) {
    ReportServiceError(refusal);
    return hr;
  }
  RETURN_HR_IF(kBadAnswer, answer->kind != static_cast<uint16_t>(answerKind));
  RETURN_HR_IF(kBadAnswer, size != 0 && answer->payload.size() != size);
  return S_OK;
}

HRESULT RemoteReader::Opened(const std::shared_ptr<MuxLink>& link, const MuxLink::Answer& answer,
                             std::unique_ptr<RemoteReader>* reader) {
  ByteReader r(answer.payload.data(), answer.payload.size());
  uint32_t number = 0;
  int32_t moved = 0;
  r.u32(&number);
  r.i32(&moved);
  reader->reset(new (std::nothrow) RemoteReader(link, number));
  RETURN_IF_NULL_ALLOC(*reader);
  return moved == S_FALSE ? S_FALSE : S_OK;
}

HRESULT RemoteReader::Open(std::shared_ptr<MuxLink> link, REFCLSID adaptor, LONG direction, LONG origin, LONG offset,
                           const std::wstring& filter, std::unique_ptr<RemoteReader>* reader) {
  reader->reset();
  std::vector<uint8_t> payload;
  ByteWriter w(&payload);
  wire::WriteClsid(w, adaptor);
  w.u32(static_cast<uint32_t>(direction));
  w.u32(static_cast<uint32_t>(origin));
  w.i32(offset);
  w.u32(static_cast<uint32_t>(filter.size()));
  for (wchar_t unit : filter) w.u16(static_cast<uint16_t>(unit));
  MuxLink::Answer answer;
  RETURN_IF_FAILED(Call(*link, FrameKind::OpenReader, payload, FrameKind::ReaderOpened, 8, &answer));
  return Opened(link, answer, reader);
}

RemoteReader::~RemoteReader() { link_->Send(FrameKind::CloseReader, NumberPayload(number_)); }

HRESULT RemoteReader::AskPage(uint32_t most, MuxLink::Ticket* ticket) {
  std::vector<uint8_t> payload;
  ByteWriter w(&payload);
  w.u32(number_);
  w.u32(most);
  return link_->Begin(FrameKind::ReadPage, payload, kRequestTimeoutMs, ticket);
}

HRESULT RemoteReader::TakePage(MuxLink::Ticket* ticket, uint32_t most, ItemLoader::Page* items, bool* noMore) {
  *noMore = false;
  MuxLink::Answer answer;
  std::string refusal;
  const HRESULT hr = link_->Await(ticket, kRequestTimeoutMs, &answer, &refusal);
  if (FAILED(hr)) {
    ReportServiceError(refusal);
    return hr;
  }
  RETURN_HR_IF(kBadAnswer, answer.kind != static_cast<uint16_t>(FrameKind::Page));
  ByteReader r(answer.payload.data(), answer.payload.size());
  uint32_t count = 0;
  uint32_t flags = 0;
  RETURN_HR_IF(kBadAnswer, !r.u32(&count) || !r.u32(&flags) || count > most);
  std::vector<wire::StoredItem> stored;
  RETURN_HR_IF(kBadAnswer, !wire::DecodeItems(r.current(), r.remaining(), count, &stored));
  std::vector<const uint8_t*> streams;
  std::vector<size_t> sizes;
  for (const auto& item : stored) {
    streams.push_back(item.stream);
    sizes.push_back(item.size);
  }
  RETURN_IF_FAILED(ItemLoader::MakePage(streams.data(), sizes.data(), stored.size(), items));
  *noMore = (flags & wire::kPageNoMore) != 0;
  return S_OK;
}

HRESULT RemoteReader::CallDone(FrameKind kind, const std::vector<uint8_t>& payload) {
  MuxLink::Answer answer;
  RETURN_IF_FAILED(Call(*link_, kind, payload, FrameKind::Done, 4, &answer));
  int32_t result = 0;
  ByteReader(answer.payload.data(), answer.payload.size()).i32(&result);
  return result == S_FALSE ? S_FALSE : S_OK;
}

HRESULT RemoteReader::SetPosition(LONG origin, LONG offset) {
  std::vector<uint8_t> payload;
  ByteWriter w(&payload);
  w.u32(number_);
  w.u32(static_cast<uint32_t>(origin));
  w.i32(offset);
  return CallDone(FrameKind::SetPosition, payload);
}

HRESULT RemoteReader::SetDirection(LONG direction) {
  std::vector<uint8_t> payload;
  ByteWriter w(&payload);
  w.u32(number_);
  w.u32(static_cast<uint32_t>(direction));
  return CallDone(FrameKind::SetDirection, payload);
}

HRESULT RemoteReader::Clone(std::unique_ptr<RemoteReader>* clone) {
  clone->reset();
  MuxLink::Answer answer;
  RETURN_IF_FAILED(Call(*link_, FrameKind::CloneReader, NumberPayload(number_), FrameKind::ReaderOpened, 8, &answer));
  const HRESULT hr = Opened(link_, answer, clone);
  return FAILED(hr) ? hr : S_OK;
}

}  // namespace hv
