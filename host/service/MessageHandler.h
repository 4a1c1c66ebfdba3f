// What the host does with each protocol message, by its "MSGTYPE":
//
//   "1" post      an item; stored where the enable flags say, no answer
//   "2" post      an item; answered by a "5" once every adaptor that took it
//                 has it (the store: committed), with "HRESULT", "transid"
//                 and the item stream as stored
//   "8" post      new enable flags of one adaptor, applied at once and kept
//   "8" transact  the same, answered with its "HRESULT" (the "3" reply says
//                 so with "FLAGSREPLY" = "1")
//   "3" transact  one adaptor's information record
//   "4" transact  the adaptors' class ids
//
// A refused post gets an Error frame; a "2" whose item stream does not read
// is answered by a "5" carrying the failure and the body as it came.
#pragma once
#include <array>
#include <functional>
#include <memory>

#include "core/Logger.h"
#include "protocol/ErrorPayload.h"
#include "protocol/MuxMessage.h"
#include "service/Peer.h"
#include "service/Router.h"

namespace hv::host {

class MessageHandler {
 public:
  using PersistFlags = std::function<void(const Guid& clsid, const std::array<uint8_t, 4>& flags)>;

  MessageHandler(const Router& router, PersistFlags persistFlags, Logger& log)
      : router_(router), persistFlags_(std::move(persistFlags)), log_(log) {}

  void HandlePost(const std::shared_ptr<Peer>& peer, uint32_t frameId, MuxMessage message);
  // True with `reply` filled, or false with `error` saying why the request
  // gets an Error frame instead.
  bool HandleTransact(const Peer& peer, const MuxMessage& request, MuxMessage* reply, ErrorPayload* error);

  // The "5" frame answering a "2".
  static std::vector<uint8_t> AnswerFrame(uint32_t frameId, HResult result, int32_t transid,
                                          const std::vector<uint8_t>& body);

 private:
  void HandleItem(const std::shared_ptr<Peer>& peer, uint32_t frameId, MuxMessage& message, bool answered);
  void HandleFlags(const std::shared_ptr<Peer>& peer, uint32_t frameId, const MuxMessage& message);
  // Hands the audit message to every adaptor that keeps messages, whatever
  // its flags: a change that turns auditing off is still on record.
  // S_OK, or the failure and `why`: no right, a malformed message, no such
  // adaptor, flags it does not take.
  HResult ApplyFlags(const Peer& peer, const MuxMessage& message, std::string* why);
  void StoreAudit(const std::string& text, const std::string& account);
  void Refuse(const std::shared_ptr<Peer>& peer, uint32_t frameId, HResult result, const std::string& why);

  const Router& router_;
  PersistFlags persistFlags_;
  Logger& log_;
};

}  // namespace hv::host
