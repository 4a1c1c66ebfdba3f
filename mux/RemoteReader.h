// One reader of the service (docs/protocol.md, "Readers"): a filter, a
// direction and a position among the stored messages the filter selects, kept
// by the service and moved by the requests sent here.
#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mux/ItemLoader.h"
#include "mux/MuxLink.h"

namespace hv {

class RemoteReader {
 public:
  // Reading requests may scan many rows for a filter on unindexed text.
  static constexpr DWORD kRequestTimeoutMs = 60000;
  // Directions and origins carry the values of the library's reader enums.
  static constexpr LONG kReverse = 0;
  static constexpr LONG kForward = 1;
  static constexpr LONG kStart = 0;
  static constexpr LONG kCurrent = 1;
  static constexpr LONG kEnd = 2;

  // Opens a reader at origin (Start or End) + offset. A refusal's words go
  // into the thread's error information.
  static HRESULT Open(std::shared_ptr<MuxLink> link, REFCLSID adaptor, LONG direction, LONG origin, LONG offset,
                      const std::wstring& filter, std::unique_ptr<RemoteReader>* reader);
  // Closes the service's reader without waiting for the answer.
  ~RemoteReader();
  RemoteReader(const RemoteReader&) = delete;
  RemoteReader& operator=(const RemoteReader&) = delete;

  // A page of up to most item streams, in two steps, so that the service can
  // read the next page while the caller works through this one: TakePage
  // waits for it; *noMore when the service says nothing further is there for
  // now. A page asked for and not taken is dropped with DropPage.
  HRESULT AskPage(uint32_t most, MuxLink::Ticket* ticket);
  HRESULT TakePage(MuxLink::Ticket* ticket, uint32_t most, ItemLoader::Page* items, bool* noMore);
  void DropPage(MuxLink::Ticket* ticket) { link_->Forget(ticket); }
  // S_FALSE when the move ran out of messages.
  HRESULT SetPosition(LONG origin, LONG offset);
  HRESULT SetDirection(LONG direction);
  // A new reader standing where this one stands.
  HRESULT Clone(std::unique_ptr<RemoteReader>* clone);

  uint32_t number() const { return number_; }

 private:
  RemoteReader(std::shared_ptr<MuxLink> link, uint32_t number) : link_(std::move(link)), number_(number) {}
  // Sends the request and checks that the answer is of the kind and, when
  // size is not 0, the size expected.
  static HRESULT Call(MuxLink& link, wire::FrameKind kind, const std::vector<uint8_t>& payload,
                      wire::FrameKind answerKind, size_t size, MuxLink::Answer* answer);
  // The answer of an OpenReader or CloneReader.
  static HRESULT Opened(const std::shared_ptr<MuxLink>& link, const MuxLink::Answer& answer,
                        std::unique_ptr<RemoteReader>* reader);
  HRESULT CallDone(wire::FrameKind kind, const std::vector<uint8_t>& payload);

  std::shared_ptr<MuxLink> link_;
  const uint32_t number_;
};

// Puts words from the service (UTF-8) into the thread's error information.
void ReportServiceError(const std::string& text);

}  // namespace hv
