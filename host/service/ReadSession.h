// One connection's readers and subscriptions, and the frames that drive them
// (kinds 16 to 31). It runs on the connection's reading thread, in the order
// the frames came, like everything else the connection receives; a page is a
// short query, so posts behind it wait little.
//
// Reader and subscription numbers belong to the connection; they count from
// 1 and are never reused on it. Everything ends with the connection.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "protocol/Frame.h"
#include "service/Peer.h"
#include "service/ReadService.h"
#include "store/SqliteDatabase.h"
#include "store/StoreReader.h"

namespace hv::host {

class ReadSession {
 public:
  static constexpr size_t kMaxReaders = 64;
  static constexpr size_t kMaxSubscriptions = 16;
  static constexpr uint32_t kMaxPageItems = 4096;

  explicit ReadSession(ReadService& service) : service_(service) {}
  ~ReadSession() { End(); }
  ReadSession(const ReadSession&) = delete;
  ReadSession& operator=(const ReadSession&) = delete;

  // Kinds the client sends to read or subscribe.
  static bool IsRequest(FrameKind kind);
  // Kinds only the host sends.
  static bool IsAnswer(FrameKind kind);

  // Handles one request frame; its answer (or Error) goes to `peer`.
  void Handle(const std::shared_ptr<Peer>& peer, const Frame& frame);
  // True while a reader or subscription is open.
  bool Holds() const { return !readers_.empty() || !subscriptions_.empty(); }
  // The connection is over: readers close, subscriptions are dropped.
  void End();

 private:
  void OpenReader(Peer& peer, const Frame& frame);
  void ReadPage(Peer& peer, const Frame& frame);
  void SetPosition(Peer& peer, const Frame& frame);
  void SetDirection(Peer& peer, const Frame& frame);
  void CloseReader(Peer& peer, const Frame& frame);
  void CloneReader(Peer& peer, const Frame& frame);
  void Subscribe(const std::shared_ptr<Peer>& peer, const Frame& frame);
  void Unsubscribe(Peer& peer, const Frame& frame);

  // Tells the service how many readers and subscriptions this session holds.
  void Recount();
  // Refuses, and returns true, when this connection or the whole host has as
  // many readers (or subscriptions) open as it may.
  bool Full(Peer& peer, const Frame& frame, bool subscription);
  bool OpenDatabase(std::string* error);
  bool NewestId(int64_t* id, std::string* error);
  StoreReader* FindReader(Peer& peer, const Frame& frame, uint32_t handle);
  void Refuse(Peer& peer, const Frame& frame, HResult result, const std::string& why);
  void Done(Peer& peer, const Frame& frame, HResult result);
  void Opened(Peer& peer, const Frame& frame, std::unique_ptr<StoreReader> reader, HResult result);

  ReadService& service_;
  // Before the readers: they use it until they go.
  SqliteDatabase db_;
  std::map<uint32_t, std::unique_ptr<StoreReader>> readers_;
  std::set<uint32_t> subscriptions_;
  uint32_t nextReader_ = 1;
  uint32_t nextSubscription_ = 1;
  size_t countedReaders_ = 0;
  size_t countedSubscriptions_ = 0;
  std::string label_;  // the connection's, for log lines
  bool ended_ = false;
};

}  // namespace hv::host
