#include "support/ReadingClient.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace hv::host;

namespace hvtest {
namespace {

uint32_t U32(const std::vector<uint8_t>& p, size_t at) {
  return uint32_t(p[at]) | uint32_t(p[at + 1]) << 8 | uint32_t(p[at + 2]) << 16 | uint32_t(p[at + 3]) << 24;
}

Bytes Frame(uint16_t kind, uint32_t id, const Bytes& payload) {
  return Concat({Le32(uint32_t(8 + payload.size())), Bytes{uint8_t(kind), uint8_t(kind >> 8), 0, 0}, Le32(id),
                 payload});
}

bool IsPush(const hv::host::Frame& f) { return uint16_t(f.kind) == 28 || uint16_t(f.kind) == 29; }

}  // namespace

Bytes Utf16(std::u16string_view text) {
  Bytes b;
  for (char16_t c : text) {
    b.push_back(uint8_t(c));
    b.push_back(uint8_t(c >> 8));
  }
  return b;
}

Bytes OpenReaderPayload(const Bytes& clsid, uint32_t direction, uint32_t origin, int32_t offset,
                        std::u16string_view filter) {
  return Concat({clsid, Le32(direction), Le32(origin), Le32(uint32_t(offset)), Le32(uint32_t(filter.size())),
                 Utf16(filter)});
}

Bytes SubscribePayload(const Bytes& clsid, std::u16string_view filter) {
  return Concat({clsid, Le32(uint32_t(filter.size())), Utf16(filter)});
}

Bytes HandlePayload(uint32_t handle, std::initializer_list<uint32_t> numbers) {
  Bytes b = Le32(handle);
  for (uint32_t n : numbers) b = Concat({b, Le32(n)});
  return b;
}

PageFrame ReadItems(const std::vector<uint8_t>& p, bool withFlags) {
  PageFrame page;
  size_t at = withFlags ? 8 : 4;
  if (p.size() < at) return page;
  uint32_t count = U32(p, 0);
  if (withFlags) page.flags = U32(p, 4);
  for (uint32_t i = 0; i < count; ++i) {
    if (p.size() - at < 12) return page;
    ListedItem item;
    item.number = uint64_t(U32(p, at)) | uint64_t(U32(p, at + 4)) << 32;
    uint32_t length = U32(p, at + 8);
    at += 12;
    if (p.size() - at < length) return page;
    item.stream.assign(p.begin() + std::ptrdiff_t(at), p.begin() + std::ptrdiff_t(at + length));
    at += length;
    page.items.push_back(std::move(item));
  }
  page.ok = at == p.size();
  return page;
}

uint32_t ReadingClient::SendOnly(uint16_t kind, const Bytes& payload) {
  uint32_t id = nextId_++;
  client_.SendRaw(Frame(kind, id, payload));
  return id;
}

std::optional<hv::host::Frame> ReadingClient::NextWhere(const std::function<bool(const hv::host::Frame&)>& wanted,
                                                        int timeoutMs) {
  for (auto it = kept_.begin(); it != kept_.end(); ++it)
    if (wanted(*it)) {
      hv::host::Frame f = std::move(*it);
      kept_.erase(it);
      return f;
    }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    auto f = client_.NextFrame(int(left.count()));
    if (!f) return std::nullopt;
    if (wanted(*f)) return f;
    kept_.push_back(std::move(*f));
  }
}

std::optional<hv::host::Frame> ReadingClient::Answer(uint32_t id, int timeoutMs) {
  return NextWhere([id](const hv::host::Frame& f) { return !IsPush(f) && f.id == id; }, timeoutMs);
}

std::optional<hv::host::Frame> ReadingClient::Request(uint16_t kind, const Bytes& payload, int timeoutMs) {
  return Answer(SendOnly(kind, payload), timeoutMs);
}

std::optional<hv::host::Frame> ReadingClient::NextPush(int timeoutMs) {
  return NextWhere([](const hv::host::Frame& f) { return IsPush(f); }, timeoutMs);
}

std::vector<ListedItem> ReadingClient::Pushed(uint32_t subscription, size_t count, int timeoutMs) {
  std::vector<ListedItem> items;
  std::deque<hv::host::Frame> others;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (items.size() < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    auto f = NextPush(int(left.count()));
    if (!f) break;
    if (uint16_t(f->kind) != 28 || f->id != subscription) {
      others.push_back(std::move(*f));
      continue;
    }
    PageFrame p = ReadItems(f->payload, false);
    EXPECT_TRUE(p.ok && !p.items.empty()) << "a Push frame that does not read";
    for (auto& item : p.items) items.push_back(std::move(item));
  }
  for (auto& f : others) kept_.push_back(std::move(f));
  return items;
}

uint32_t ReadingClient::Open(const Bytes& clsid, uint32_t direction, uint32_t origin, int32_t offset,
                             std::u16string_view filter, int32_t* result) {
  auto f = Request(16, OpenReaderPayload(clsid, direction, origin, offset, filter));
  if (!f || uint16_t(f->kind) != 17 || f->payload.size() != 8) {
    if (result) *result = ErrorCode(f);
    return 0;
  }
  if (result) *result = int32_t(U32(f->payload, 4));
  return U32(f->payload, 0);
}

PageFrame ReadingClient::Page(uint32_t reader, uint32_t count) {
  auto f = Request(18, HandlePayload(reader, {count}));
  if (!f || uint16_t(f->kind) != 19) return PageFrame();
  return ReadItems(f->payload, true);
}

int32_t ReadingClient::Done(uint16_t kind, const Bytes& payload) {
  auto f = Request(kind, payload);
  if (!f || uint16_t(f->kind) != 23 || f->payload.size() != 4) return 1;
  return int32_t(U32(f->payload, 0));
}

uint32_t ReadingClient::Subscribe(const Bytes& clsid, std::u16string_view filter) {
  auto f = Request(25, SubscribePayload(clsid, filter));
  if (!f || uint16_t(f->kind) != 26 || f->payload.size() != 4) return 0;
  return U32(f->payload, 0);
}

int32_t ErrorCode(const std::optional<hv::host::Frame>& f, std::string* text) {
  if (!f || f->kind != FrameKind::Error || f->payload.size() < 6) return 1;
  const auto& p = f->payload;
  size_t n = size_t(p[4]) | size_t(p[5]) << 8;
  if (p.size() != 6 + n) return 1;
  if (text) text->assign(p.begin() + 6, p.end());
  return int32_t(U32(p, 0));
}

}  // namespace hvtest
