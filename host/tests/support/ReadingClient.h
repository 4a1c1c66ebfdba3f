// The reading and subscription frames (kinds 16 to 29) as a client builds
// and reads them, written from the protocol description, byte by byte and
// independent of the host's own encoders. Answers are matched to requests
// by frame id; pushes that arrive meanwhile are kept for NextPush.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/ItemBytes.h"
#include "support/TestClient.h"

namespace hvtest {

// An item of a Page or Push: its number in the store and its item stream.
struct ListedItem {
  uint64_t number = 0;
  Bytes stream;
};

struct PageFrame {
  bool ok = false;  // the payload read exactly
  uint32_t flags = 0;
  std::vector<ListedItem> items;
};

Bytes Utf16(std::u16string_view text);
Bytes OpenReaderPayload(const Bytes& clsid, uint32_t direction, uint32_t origin, int32_t offset,
                        std::u16string_view filter);
Bytes SubscribePayload(const Bytes& clsid, std::u16string_view filter);
// A reader or subscription number followed by up to two 32-bit numbers.
Bytes HandlePayload(uint32_t handle, std::initializer_list<uint32_t> numbers = {});
// Page (with flags) or Push (without) payloads.
PageFrame ReadItems(const std::vector<uint8_t>& payload, bool withFlags);

class ReadingClient {
 public:
  explicit ReadingClient(TestClient& client) : client_(client) {}

  // Sends a request and waits for the frame with its id; pushes and other
  // frames that come first are kept.
  std::optional<hv::host::Frame> Request(uint16_t kind, const Bytes& payload, int timeoutMs = 5000);
  uint32_t SendOnly(uint16_t kind, const Bytes& payload);
  std::optional<hv::host::Frame> Answer(uint32_t id, int timeoutMs = 5000);

  // The next Push or SubscriptionEnded frame, waiting at most `timeoutMs`.
  std::optional<hv::host::Frame> NextPush(int timeoutMs);
  // Items pushed for `subscription` until `count` have come or the time is
  // up; pushes of other subscriptions are kept.
  std::vector<ListedItem> Pushed(uint32_t subscription, size_t count, int timeoutMs);

  // The common requests; 0 or a failure result when the host refused.
  uint32_t Open(const Bytes& clsid, uint32_t direction, uint32_t origin, int32_t offset, std::u16string_view filter,
                int32_t* result = nullptr);
  PageFrame Page(uint32_t reader, uint32_t count);
  int32_t Done(uint16_t kind, const Bytes& payload);  // the Done result, or 1 for anything else
  uint32_t Subscribe(const Bytes& clsid, std::u16string_view filter);

 private:
  // The first frame kept or arriving within timeoutMs that wanted says yes
  // to; the others are kept.
  std::optional<hv::host::Frame> NextWhere(const std::function<bool(const hv::host::Frame&)>& wanted, int timeoutMs);
  TestClient& client_;
  std::deque<hv::host::Frame> kept_;
  uint32_t nextId_ = 1000;
};

// The result code of an Error frame, or 1 when the frame is something else.
int32_t ErrorCode(const std::optional<hv::host::Frame>& frame, std::string* text = nullptr);

}  // namespace hvtest
