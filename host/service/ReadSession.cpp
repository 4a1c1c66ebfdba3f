#include "service/ReadSession.h"

#include <sqlite3.h>

#include "protocol/ErrorPayload.h"
#include "protocol/ReadFrames.h"
#include "store/Filter.h"

namespace hv::host {
namespace {

const char* RequestName(FrameKind kind) {
  switch (kind) {
    case FrameKind::OpenReader: return "OpenReader";
    case FrameKind::ReadPage: return "ReadPage";
    case FrameKind::SetPosition: return "SetPosition";
    case FrameKind::SetDirection: return "SetDirection";
    case FrameKind::CloseReader: return "CloseReader";
    case FrameKind::CloneReader: return "CloneReader";
    case FrameKind::Subscribe: return "Subscribe";
    case FrameKind::Unsubscribe: return "Unsubscribe";
    default: return "frame";
  }
}

}  // namespace

bool ReadSession::IsRequest(FrameKind kind) {
  switch (kind) {
    case FrameKind::OpenReader:
    case FrameKind::ReadPage:
    case FrameKind::SetPosition:
    case FrameKind::SetDirection:
    case FrameKind::CloseReader:
    case FrameKind::CloneReader:
    case FrameKind::Subscribe:
    case FrameKind::Unsubscribe:
      return true;
    default:
      return false;
  }
}

bool ReadSession::IsAnswer(FrameKind kind) {
  switch (kind) {
    case FrameKind::ReaderOpened:
    case FrameKind::Page:
    case FrameKind::Done:
    case FrameKind::Subscribed:
    case FrameKind::Push:
    case FrameKind::SubscriptionEnded:
      return true;
    default:
      return false;
  }
}

void ReadSession::Handle(const std::shared_ptr<Peer>& peer, const Frame& frame) {
  if (label_.empty()) label_ = peer->label();
  switch (frame.kind) {
    case FrameKind::OpenReader: return OpenReader(*peer, frame);
    case FrameKind::ReadPage: return ReadPage(*peer, frame);
    case FrameKind::SetPosition: return SetPosition(*peer, frame);
    case FrameKind::SetDirection: return SetDirection(*peer, frame);
    case FrameKind::CloseReader: return CloseReader(*peer, frame);
    case FrameKind::CloneReader: return CloneReader(*peer, frame);
    case FrameKind::Subscribe: return Subscribe(peer, frame);
    case FrameKind::Unsubscribe: return Unsubscribe(*peer, frame);
    default: return Refuse(*peer, frame, E_NOTIMPL, "not a reading request");
  }
}

void ReadSession::End() {
  if (ended_) return;
  ended_ = true;
  // Those the store already ended are not counted.
  size_t dropped = service_.subscriptions().RemoveAll(this);
  if (dropped)
    service_.log().Line(label_ + ": " + std::to_string(dropped) + (dropped == 1 ? " subscription" : " subscriptions") +
                        " dropped with the connection");
  subscriptions_.clear();
  readers_.clear();
  Recount();
}

void ReadSession::Recount() {
  service_.Count(std::ptrdiff_t(readers_.size()) - std::ptrdiff_t(countedReaders_),
                 std::ptrdiff_t(subscriptions_.size()) - std::ptrdiff_t(countedSubscriptions_));
  countedReaders_ = readers_.size();
  countedSubscriptions_ = subscriptions_.size();
}

bool ReadSession::Full(Peer& peer, const Frame& frame, bool subscription) {
  const char* what = subscription ? " subscriptions" : " readers";
  size_t mine = subscription ? subscriptions_.size() : readers_.size();
  if (mine >= (subscription ? kMaxSubscriptions : kMaxReaders))
    Refuse(peer, frame, E_TOO_MANY_OPEN, "the connection already has " + std::to_string(mine) + what + " open");
  else if (subscription ? service_.SubscriptionsFull() : service_.ReadersFull())
    Refuse(peer, frame, E_TOO_MANY_OPEN, std::string("the host has as many") + what + " open as it may");
  else
    return false;
  return true;
}

void ReadSession::Refuse(Peer& peer, const Frame& frame, HResult result, const std::string& why) {
  service_.log().Line(peer.label() + ": refused frame " + std::to_string(frame.id) + " (" + RequestName(frame.kind) +
                      "): " + why, Logger::kWarning);
  ErrorPayload e{result, why};
  peer.SendFrame(FrameCodec::Encode(FrameKind::Error, frame.id, [&](ByteWriter& w) { e.Write(w); }));
}

void ReadSession::Done(Peer& peer, const Frame& frame, HResult result) {
  peer.SendFrame(FrameCodec::Encode(FrameKind::Done, frame.id, [&](ByteWriter& w) { w.i32(result); }));
}

void ReadSession::Opened(Peer& peer, const Frame& frame, std::unique_ptr<StoreReader> reader, HResult result) {
  uint32_t handle = nextReader_++;
  readers_[handle] = std::move(reader);
  Recount();
  peer.SendFrame(FrameCodec::Encode(FrameKind::ReaderOpened, frame.id, [&](ByteWriter& w) {
    w.u32(handle);
    w.i32(result);
  }));
}

bool ReadSession::OpenDatabase(std::string* error) {
  return db_.get() || db_.OpenForReading(service_.databasePath(), error);
}

bool ReadSession::NewestId(int64_t* id, std::string* error) {
  SqliteStatement s;
  if (!s.Prepare(db_, "SELECT coalesce(max(id), 0) FROM messages", error)) return false;
  if (s.Step() != SQLITE_ROW) return *error = db_.LastError(), false;
  *id = s.ColumnInt(0);
  return true;
}

StoreReader* ReadSession::FindReader(Peer& peer, const Frame& frame, uint32_t handle) {
  auto it = readers_.find(handle);
  if (it != readers_.end()) return it->second.get();
  Refuse(peer, frame, E_HANDLE, "this connection has no reader " + std::to_string(handle));
  return nullptr;
}

void ReadSession::OpenReader(Peer& peer, const Frame& frame) {
  OpenReaderRequest request;
  std::string why;
  if (!OpenReaderRequest::Decode(frame.payload.data(), frame.payload.size(), &request, &why))
    return Refuse(peer, frame, E_INVALIDARG, why);
  if (request.direction > 1)
    return Refuse(peer, frame, E_INVALIDARG, "direction " + std::to_string(request.direction) + " is neither 0 nor 1");
  if (request.origin != 0 && request.origin != 2)
    return Refuse(peer, frame, E_INVALIDARG,
                  "a reader opens at origin 0 (start) or 2 (end), not " + std::to_string(request.origin));
  HResult hr = service_.CheckAdaptor(request.adaptor, &why);
  if (Failed(hr)) return Refuse(peer, frame, hr, why);
  if (Full(peer, frame, false)) return;
  Filter filter;
  if (!Filter::Parse(request.filter, &filter, &why)) return Refuse(peer, frame, E_INVALIDARG, why);
  if (!OpenDatabase(&why)) return Refuse(peer, frame, E_FAIL, why);
  auto direction = StoreReader::Direction(request.direction);
  std::unique_ptr<StoreReader> reader = StoreReader::Open(db_, filter, direction, &why);
  if (!reader) return Refuse(peer, frame, E_FAIL, "the store could not be read: " + why);
  hr = reader->SetPosition(StoreReader::Origin(request.origin), request.offset, &why);
  if (Failed(hr)) return Refuse(peer, frame, hr, "the store could not be read: " + why);
  Opened(peer, frame, std::move(reader), hr);
}

void ReadSession::ReadPage(Peer& peer, const Frame& frame) {
  HandleRequest request;
  std::string why;
  if (!HandleRequest::Decode(frame.payload.data(), frame.payload.size(), 1, &request, &why))
    return Refuse(peer, frame, E_INVALIDARG, "ReadPage: " + why);
  if (request.first < 1 || request.first > kMaxPageItems)
    return Refuse(peer, frame, E_INVALIDARG,
                  "a page holds 1 to " + std::to_string(kMaxPageItems) + " items, not " + std::to_string(request.first));
  StoreReader* reader = FindReader(peer, frame, request.handle);
  if (!reader) return;
  std::vector<StoreReader::Item> items;
  bool end = false;
  // The page's count and flags take 8 bytes of the payload.
  if (!reader->Read(request.first, FrameCodec::kMaxPayload - 8, &items, &end, &why))
    return Refuse(peer, frame, E_FAIL, "the store could not be read: " + why);
  peer.SendFrame(FrameCodec::Encode(FrameKind::Page, frame.id, [&](ByteWriter& w) {
    w.u32(uint32_t(items.size()));
    w.u32(end ? 1 : 0);
    for (const auto& item : items) ItemListWriter::Item(w, item.id, item.stream);
  }));
}

void ReadSession::SetPosition(Peer& peer, const Frame& frame) {
  HandleRequest request;
  std::string why;
  if (!HandleRequest::Decode(frame.payload.data(), frame.payload.size(), 2, &request, &why))
    return Refuse(peer, frame, E_INVALIDARG, "SetPosition: " + why);
  if (request.first > 2)
    return Refuse(peer, frame, E_INVALIDARG, "origin " + std::to_string(request.first) + " is not 0, 1 or 2");
  StoreReader* reader = FindReader(peer, frame, request.handle);
  if (!reader) return;
  HResult hr = reader->SetPosition(StoreReader::Origin(request.first), request.second, &why);
  if (Failed(hr)) return Refuse(peer, frame, hr, "the store could not be read: " + why);
  Done(peer, frame, hr);
}

void ReadSession::SetDirection(Peer& peer, const Frame& frame) {
  HandleRequest request;
  std::string why;
  if (!HandleRequest::Decode(frame.payload.data(), frame.payload.size(), 1, &request, &why))
    return Refuse(peer, frame, E_INVALIDARG, "SetDirection: " + why);
  if (request.first > 1)
    return Refuse(peer, frame, E_INVALIDARG, "direction " + std::to_string(request.first) + " is neither 0 nor 1");
  StoreReader* reader = FindReader(peer, frame, request.handle);
  if (!reader) return;
  reader->SetDirection(StoreReader::Direction(request.first));
  Done(peer, frame, S_OK);
}

void ReadSession::CloseReader(Peer& peer, const Frame& frame) {
  HandleRequest request;
  std::string why;
  if (!HandleRequest::Decode(frame.payload.data(), frame.payload.size(), 0, &request, &why))
    return Refuse(peer, frame, E_INVALIDARG, "CloseReader: " + why);
  if (!FindReader(peer, frame, request.handle)) return;
  readers_.erase(request.handle);
  Recount();
  Done(peer, frame, S_OK);
}

void ReadSession::CloneReader(Peer& peer, const Frame& frame) {
  HandleRequest request;
  std::string why;
  if (!HandleRequest::Decode(frame.payload.data(), frame.payload.size(), 0, &request, &why))
    return Refuse(peer, frame, E_INVALIDARG, "CloneReader: " + why);
  StoreReader* reader = FindReader(peer, frame, request.handle);
  if (!reader) return;
  if (Full(peer, frame, false)) return;
  Opened(peer, frame, reader->Clone(&why), S_OK);
}

void ReadSession::Subscribe(const std::shared_ptr<Peer>& peer, const Frame& frame) {
  SubscribeRequest request;
  std::string why;
  if (!SubscribeRequest::Decode(frame.payload.data(), frame.payload.size(), &request, &why))
    return Refuse(*peer, frame, E_INVALIDARG, why);
  HResult hr = service_.CheckAdaptor(request.adaptor, &why);
  if (Failed(hr)) return Refuse(*peer, frame, hr, why);
  if (Full(*peer, frame, true)) return;
  Filter filter;
  if (!Filter::Parse(request.filter, &filter, &why)) return Refuse(*peer, frame, E_INVALIDARG, why);
  // The subscription starts after the newest message stored now, read on
  // this connection's own store connection: the push thread's one may be in
  // the middle of an older snapshot.
  int64_t newest = 0;
  if (!OpenDatabase(&why) || !NewestId(&newest, &why))
    return Refuse(*peer, frame, E_FAIL, "the store could not be read: " + why);
  uint32_t handle = nextSubscription_;
  std::vector<uint8_t> announce =
      FrameCodec::Encode(FrameKind::Subscribed, frame.id, [&](ByteWriter& w) { w.u32(handle); });
  if (!service_.subscriptions().Add(this, handle, peer, filter, newest, std::move(announce), &why))
    return Refuse(*peer, frame, E_FAIL, "the subscription could not start: " + why);
  ++nextSubscription_;
  subscriptions_.insert(handle);
  Recount();
  service_.log().Line(peer->label() + ": subscription " + std::to_string(handle) + " started");
}

void ReadSession::Unsubscribe(Peer& peer, const Frame& frame) {
  HandleRequest request;
  std::string why;
  if (!HandleRequest::Decode(frame.payload.data(), frame.payload.size(), 0, &request, &why))
    return Refuse(peer, frame, E_INVALIDARG, "Unsubscribe: " + why);
  if (!subscriptions_.erase(request.handle))
    return Refuse(peer, frame, E_HANDLE, "this connection has no subscription " + std::to_string(request.handle));
  Recount();
  // It may have ended already after a store failure; the answer is the same.
  service_.subscriptions().Remove(this, request.handle);
  service_.log().Line(peer.label() + ": subscription " + std::to_string(request.handle) + " ended by the client");
  Done(peer, frame, S_OK);
}

}  // namespace hv::host
