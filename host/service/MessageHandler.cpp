#include "service/MessageHandler.h"

#include "core/Decimal.h"
#include "item/ItemStreamDecoder.h"
#include "protocol/Frame.h"
#include "rights/AuditItem.h"
#include "rights/Rights.h"

namespace hv::host {
namespace {

std::string FlagsText(const std::array<uint8_t, 4>& f) {
  return "VELTRA " + std::to_string(f[0]) + ", Dev " + std::to_string(f[1]) + ", Eng " + std::to_string(f[2]) +
         ", Op " + std::to_string(f[3]);
}

}  // namespace

std::vector<uint8_t> MessageHandler::AnswerFrame(uint32_t frameId, HResult result, int32_t transid,
                                                 const std::vector<uint8_t>& body) {
  MuxMessage answer;
  answer.SetField("MSGTYPE", "5");
  answer.SetField("HRESULT", FormatInt32(result));
  answer.SetField("transid", FormatInt32(transid));
  answer.body = body;
  return FrameCodec::Encode(FrameKind::Notify, frameId, [&](ByteWriter& w) { answer.Write(w); });
}

void MessageHandler::Refuse(const std::shared_ptr<Peer>& peer, uint32_t frameId, HResult result,
                            const std::string& why) {
  log_.Line(peer->label() + ": refused frame " + std::to_string(frameId) + ": " + why, Logger::kWarning);
  ErrorPayload e{result, why};
  peer->SendFrame(FrameCodec::Encode(FrameKind::Error, frameId, [&](ByteWriter& w) { e.Write(w); }));
}

void MessageHandler::HandlePost(const std::shared_ptr<Peer>& peer, uint32_t frameId, MuxMessage message) {
  const std::string* type = message.Field("MSGTYPE");
  if (!type) return Refuse(peer, frameId, E_INVALIDARG, "the message has no MSGTYPE");
  if ((*type == "1" || *type == "2") && !(peer->rights() & kLogRight))
    return Refuse(peer, frameId, E_ACCESSDENIED, peer->account() + " may not log");
  if (*type == "1") return HandleItem(peer, frameId, message, false);
  if (*type == "2") return HandleItem(peer, frameId, message, true);
  if (*type == "8") return HandleFlags(peer, frameId, message);
  Refuse(peer, frameId, E_NOTIMPL, "messages of type \"" + *type + "\" are not posted to the host");
}

void MessageHandler::HandleItem(const std::shared_ptr<Peer>& peer, uint32_t frameId, MuxMessage& message,
                                bool answered) {
  int32_t transid = 0;
  if (answered) {
    const std::string* t = message.Field("transid");
    if (!t || !ParseInt32(*t, &transid))
      return Refuse(peer, frameId, E_INVALIDARG, "a \"2\" message needs a decimal transid");
  }
  auto stream = std::make_shared<const std::vector<uint8_t>>(std::move(message.body));
  ItemRecord item;
  std::string why;
  if (!ItemStreamDecoder::Decode(stream->data(), stream->size(), &item, &why)) {
    if (!answered) return Refuse(peer, frameId, E_INVALIDARG, why);
    log_.Line(peer->label() + ": refused the item of transid " + std::to_string(transid) + ": " + why,
              Logger::kWarning);
    peer->OweAnswer();
    peer->SendAnswer(AnswerFrame(frameId, E_INVALIDARG, transid, *stream));
    return;
  }

  std::shared_ptr<Delivery> delivery;
  if (answered) {
    peer->OweAnswer();
    delivery = std::make_shared<Delivery>([peer, frameId, transid, stream, this](HResult hr) {
      if (Failed(hr))
        log_.Repeated("items not stored", peer->label() + ": the item of transid " + std::to_string(transid) +
                                              " was not stored (" + FormatInt32(hr) + ")", Logger::kError);
      peer->SendAnswer(AnswerFrame(frameId, hr, transid, *stream));
    });
  } else {
    delivery = std::make_shared<Delivery>([peer, this](HResult hr) {
      if (Failed(hr))
        log_.Repeated("items not stored", peer->label() + ": an item was not stored (" + FormatInt32(hr) + ")",
                      Logger::kError);
    });
  }
  router_.Route(item, stream, delivery);
}

void MessageHandler::HandleFlags(const std::shared_ptr<Peer>& peer, uint32_t frameId, const MuxMessage& message) {
  std::string why;
  HResult hr = ApplyFlags(*peer, message, &why);
  if (Failed(hr)) Refuse(peer, frameId, hr, why);
}

HResult MessageHandler::ApplyFlags(const Peer& peer, const MuxMessage& message, std::string* why) {
  if (!(peer.rights() & kAdministerRight))
    return *why = peer.account() + " may not change enable flags", E_ACCESSDENIED;
  if (message.data.size() != 20)
    return *why = "an adaptor flags message carries 20 data bytes, not " + std::to_string(message.data.size()),
           E_INVALIDARG;
  ByteReader r(message.data.data(), message.data.size());
  Guid clsid;
  clsid.Read(r);
  std::array<uint8_t, 4> flags;
  r.bytes(flags.data(), flags.size());
  Adaptor* adaptor = router_.Find(clsid);
  if (!adaptor) return *why = "no adaptor " + clsid.ToRegistryString(), REGDB_E_CLASSNOTREG;
  std::array<uint8_t, 4> before = adaptor->enableFlags();
  if (!adaptor->SetEnableFlags(flags, why))
    return *why = "flags for adaptor \"" + adaptor->name() + "\" refused: " + *why, E_INVALIDARG;
  std::string change = "adaptor \"" + adaptor->name() + "\" enable flags changed from " + FlagsText(before) + " to " +
                       FlagsText(flags) + " by " + peer.account();
  log_.Line(peer.label() + ": " + change);
  StoreAudit(change, peer.account());
  if (persistFlags_) persistFlags_(clsid, flags);
  return S_OK;
}

void MessageHandler::StoreAudit(const std::string& text, const std::string& account) {
  auto stream = std::make_shared<const std::vector<uint8_t>>(AuditItemStream(text, account));
  ItemRecord item;
  std::string why;
  if (!ItemStreamDecoder::Decode(stream->data(), stream->size(), &item, &why)) return;
  std::vector<Adaptor*> keepers;
  for (const auto& a : router_.adaptors())
    if (a->CanRead()) keepers.push_back(a.get());
  auto delivery = std::make_shared<Delivery>([this](HResult hr) {
    if (Failed(hr)) log_.Line("the audit message of a flag change was not stored (" + FormatInt32(hr) + ")",
                              Logger::kError);
  });
  delivery->Expect(keepers.size());
  for (Adaptor* a : keepers) a->Deliver(item, stream, delivery);
}

bool MessageHandler::HandleTransact(const Peer& peer, const MuxMessage& request, MuxMessage* reply,
                                    ErrorPayload* error) {
  const std::string* type = request.Field("MSGTYPE");
  if (!type || (*type != "3" && *type != "4" && *type != "8")) {
    *error = ErrorPayload{E_NOTIMPL, type ? "requests of type \"" + *type + "\" are not served"
                                          : "the request has no MSGTYPE"};
    log_.Line(peer.label() + ": refused a request: " + error->text, Logger::kWarning);
    return false;
  }
  if (*type != "8" && !(peer.rights() & kReadRight)) {
    *error = ErrorPayload{E_ACCESSDENIED, peer.account() + " may not read the adaptors' list"};
    log_.Line(peer.label() + ": refused a request: " + error->text, Logger::kWarning);
    return false;
  }
  *reply = MuxMessage();
  reply->SetField("MSGTYPE", *type);
  if (const std::string* t = request.Field("transid")) reply->SetField("transid", *t);

  if (*type == "8") {
    // A flag change that wants to know how it went: the result comes back
    // instead of an Error frame.
    std::string why;
    HResult hr = ApplyFlags(peer, request, &why);
    if (Failed(hr)) log_.Line(peer.label() + ": refused a flag change: " + why, Logger::kWarning);
    reply->SetField("HRESULT", FormatInt32(hr));
    return true;
  }

  if (*type == "4") {
    reply->SetField("HRESULT", "0");
    std::string list = router_.ClassList();
    reply->text.assign(list.begin(), list.end());
    return true;
  }

  if (request.data.size() != 16) {
    reply->SetField("HRESULT", FormatInt32(E_INVALIDARG));
    return true;
  }
  ByteReader r(request.data.data(), request.data.size());
  Guid clsid;
  clsid.Read(r);
  Adaptor* adaptor = router_.Find(clsid);
  if (!adaptor) {
    reply->SetField("HRESULT", FormatInt32(REGDB_E_CLASSNOTREG));
    return true;
  }
  reply->SetField("HRESULT", "0");
  reply->SetField("READER", adaptor->CanRead() ? "1" : "0");
  // This host answers a "8" sent as a transact.
  reply->SetField("FLAGSREPLY", "1");
  ByteWriter w(&reply->body);
  adaptor->Info().Write(w);
  return true;
}

}  // namespace hv::host
