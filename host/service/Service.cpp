#include "service/Service.h"

#include <sys/resource.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "adaptors/ForwarderAdaptor.h"
#include "adaptors/StoreAdaptor.h"
#include "protocol/ErrorPayload.h"
#include "protocol/Frame.h"
#include "rights/PeerAccount.h"

namespace hv::host {
namespace {

// Every connection costs a descriptor, those waiting for their Hello too:
// the host takes all the descriptors it may have.
void RaiseDescriptorLimit() {
  rlimit r;
  if (::getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
    r.rlim_cur = r.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &r);
  }
}

// The address without its port: all connections from one machine count as
// one peer.
std::string PeerKey(const std::string& peer) { return peer.substr(0, peer.rfind(':')); }

}  // namespace

Service::Service(HostSettings settings, Logger& log)
    : settings_(std::move(settings)), log_(log), budget_(settings_.limits.maxBufferedBytes) {}

Service::~Service() { Stop(); }

bool Service::MayListen(const HostSettings& settings, const TransportAddress& address, std::string* error) {
  // Rights follow the accounts of this machine, which only loopback peers
  // have: other addresses would let every host on the network log, unless
  // TLS names each client's account by its certificate.
  bool loopback = address.ipv4().rfind("127.", 0) == 0;
  if (!loopback && !settings.tls.configured())
    return *error = "listen = " + settings.listen +
                    " is not a loopback address; the host serves other machines only over TLS "
                    "(tls_certificate, tls_key and tls_client_ca)", false;
  return !settings.tls.configured() || TlsTerminator::Check(settings.tls, error);
}

bool Service::BuildAdaptors(std::string* error) {
  std::map<Guid, std::array<uint8_t, 4>> saved;
  if (!store_->LoadFlags(&saved, error)) return false;
  std::vector<std::unique_ptr<Adaptor>> adaptors;
  for (const AdaptorSettings& s : settings_.adaptors) {
    std::unique_ptr<Adaptor> a;
    if (s.kind == AdaptorKind::Store) a = std::make_unique<StoreAdaptor>(s, *writer_);
    else a = std::make_unique<ForwarderAdaptor>(s, log_);
    // Flags changed by "8" messages outlive restarts; the configuration only
    // gives an adaptor's first flags.
    auto it = saved.find(s.clsid);
    std::string why;
    if (it != saved.end() && !a->SetEnableFlags(it->second, &why))
      log_.Line("adaptor \"" + s.name + "\": saved enable flags do not fit its configuration (" + why +
                "); the configured flags apply", Logger::kWarning);
    std::array<uint8_t, 4> f = a->enableFlags();
    log_.Line("adaptor \"" + s.name + "\" " + s.clsid.ToRegistryString() + ": enable flags VELTRA " +
              std::to_string(f[0]) + ", Dev " + std::to_string(f[1]) + ", Eng " + std::to_string(f[2]) + ", Op " +
              std::to_string(f[3]));
    adaptors.push_back(std::move(a));
  }
  router_ = std::make_unique<Router>(std::move(adaptors));
  return true;
}

bool Service::Start(std::string* error) {
  TransportAddress address;
  if (!TransportAddress::Parse(settings_.listen, &address, error)) return false;
  if (settings_.database.empty()) return *error = "no database path is configured", false;
  if (!MayListen(settings_, address, error)) return false;
  if (address.ipv4().rfind("127.", 0) != 0 || settings_.tls.required) {
    tls_ = TlsTerminator::Create(settings_.tls, settings_.rights, settings_.limits, stop_, log_, error);
    if (!tls_) return false;
  }
  store_ = ItemStore::Open(settings_.database, error);
  if (!store_) return false;
  writer_ = std::make_unique<StoreWriter>(*store_, log_);
  if (!BuildAdaptors(error)) return false;
  handler_ = std::make_unique<MessageHandler>(
      *router_,
      [this](const Guid& clsid, const std::array<uint8_t, 4>& flags) {
        if (!writer_->AddFlags(clsid, flags))
          log_.Line("adaptor " + clsid.ToRegistryString() + ": the new enable flags could not be saved",
                    Logger::kError);
      },
      log_);
  reading_ = std::make_unique<ReadService>(settings_.database, *router_, log_);
  reading_->SetLimits(settings_.limits.maxReaders, settings_.limits.maxSubscriptions);
  writer_->SetCommitListener([this] { reading_->Committed(); });
  if (!listener_.Listen(address, error)) return false;
  writer_->Start();
  if (!reading_->Start(error)) {
    writer_->Stop();
    return false;
  }
  started_ = true;
  RaiseDescriptorLimit();
  gate_ = std::make_unique<Gate>(
      listener_, stop_, settings_.limits, log_,
      [this](Socket socket, const std::string& peer, std::vector<uint8_t> early) {
        Admit(std::move(socket), peer, std::move(early));
      },
      [this] {
        ReapFinished();
        if (tls_) tls_->Reap(false);
        log_.FlushRepeated();
      });
  if (tls_)
    gate_->HandOffAtAccept([this](Socket socket, const std::string& peer) {
      tls_->Take(std::move(socket), peer,
                 [this](Socket plain, const std::string& from, std::vector<uint8_t> early, Account account) {
                   Admit(std::move(plain), from, std::move(early), &account);
                 });
    });
  acceptThread_ = std::thread([this] {
    std::string why;
    if (!gate_->Run(&why)) log_.Line("accepting stopped: " + why, Logger::kError);
  });
  log_.Line("listening on " + listener_.bound().ToString() + (tls_ ? " (TLS with client certificates)" : "") +
            ", database " + settings_.database);
  return true;
}

void Service::Admit(Socket socket, const std::string& peer, std::vector<uint8_t> early, const Account* given) {
  uid_t uid;
  Account account = given                              ? *given
                    : PeerAccount(socket.fd(), &uid) ? AccountOf(uid, settings_.rights)
                                                     : UnknownAccount(settings_.rights);
  std::string key = account.known ? "account " + account.name : PeerKey(peer);
  std::string refusal, kind;
  std::lock_guard<std::mutex> lock(mutex_);
  // A TLS relay may finish its handshake while the host stops.
  if (stop_.raised()) return;
  const size_t total = connections_.size(), max = settings_.maxConnections;
  const size_t reserve = std::min(settings_.limits.readerReserve, max - 1);
  bool mayRead = account.rights & kReadRight;
  if (total >= max)
    refusal = "already " + std::to_string(total) + " connections", kind = "the host is full";
  else if (total >= max - reserve && !mayRead)
    refusal = "the last " + std::to_string(reserve) + " connections are kept for readers", kind = "kept for readers";
  else if (perPeer_[key] >= settings_.limits.maxPerPeer)
    refusal = "already " + std::to_string(perPeer_[key]) + " connections from " + key, kind = "one peer's cap";
  if (!refusal.empty()) {
    log_.Repeated("connections refused (" + kind + ")", "refused a connection from " + peer + ": " + refusal,
                  Logger::kWarning);
    ErrorPayload e{E_TOO_MANY_OPEN, "the host refuses the connection: " + refusal};
    std::vector<uint8_t> frame = FrameCodec::Encode(FrameKind::Error, 0, [&](ByteWriter& w) { e.Write(w); });
    // Best effort and without waiting: the socket is closed right after.
    ::send(socket.fd(), frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    return;
  }
  auto c = std::make_shared<Connection>(nextConnection_++, std::move(socket), peer, *handler_, log_, stop_,
                                        reading_.get(), settings_.limits, budget_, std::move(early),
                                        std::move(account));
  c->Start();
  ++perPeer_[key];
  connections_.push_back(Held{std::move(c), key});
}

void Service::ReapFinished() {
  std::vector<std::shared_ptr<Connection>> finished;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      if (it->connection->Finished()) {
        if (--perPeer_[it->peer] == 0) perPeer_.erase(it->peer);
        finished.push_back(std::move(it->connection));
        it = connections_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& c : finished) c->Join();
}

void Service::Stop() {
  if (!started_ || stopped_) return;
  stopped_ = true;
  log_.Line("stopping: no new connections; committing what was received");
  stop_.Raise();
  if (acceptThread_.joinable()) acceptThread_.join();
  listener_.Close();
  // Each connection reads what its client had sent, then waits for its owed
  // answers; the writer keeps committing meanwhile.
  std::vector<Held> connections;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connections.swap(connections_);
    perPeer_.clear();
  }
  for (auto& c : connections) c.connection->Join();
  connections.clear();
  // Their connections closed, the relays end.
  if (tls_) tls_->Reap(true);
  // No item comes any more: forwarders send what they hold while their
  // server takes it.
  for (const auto& a : router_->adaptors())
    if (auto* forwarder = dynamic_cast<ForwarderAdaptor*>(a.get())) forwarder->Stop();
  writer_->Stop();
  reading_->Stop();
  log_.Line("stopped; " + std::to_string(writer_->committedRows()) + " messages stored since start");
}

}  // namespace hv::host
