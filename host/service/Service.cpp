#include "service/Service.h"

#include <poll.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "adaptors/ForwarderAdaptor.h"
#include "adaptors/StoreAdaptor.h"

namespace hv::host {
namespace {

// How often the accept loop looks for connections that have ended.
constexpr int kReapIntervalMs = 200;

}  // namespace

Service::Service(HostSettings settings, Logger& log) : settings_(std::move(settings)), log_(log) {}

Service::~Service() { Stop(); }

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
                "); the configured flags apply");
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
  store_ = ItemStore::Open(settings_.database, error);
  if (!store_) return false;
  writer_ = std::make_unique<StoreWriter>(*store_, log_);
  if (!BuildAdaptors(error)) return false;
  handler_ = std::make_unique<MessageHandler>(
      *router_,
      [this](const Guid& clsid, const std::array<uint8_t, 4>& flags) {
        if (!writer_->AddFlags(clsid, flags))
          log_.Line("adaptor " + clsid.ToRegistryString() + ": the new enable flags could not be saved");
      },
      log_);
  reading_ = std::make_unique<ReadService>(settings_.database, *router_, log_);
  writer_->SetCommitListener([this] { reading_->Committed(); });
  if (!listener_.Listen(address, error)) return false;
  writer_->Start();
  if (!reading_->Start(error)) {
    writer_->Stop();
    return false;
  }
  started_ = true;
  acceptThread_ = std::thread([this] { AcceptLoop(); });
  log_.Line("listening on " + listener_.bound().ToString() + ", database " + settings_.database);
  return true;
}

void Service::AcceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listener_.fd(), POLLIN, 0}, {stop_.fd(), POLLIN, 0}};
    int r = ::poll(fds, 2, kReapIntervalMs);
    if (r < 0 && errno != EINTR) {
      log_.Line(std::string("accepting stopped: ") + std::strerror(errno));
      return;
    }
    if (fds[1].revents) return;
    ReapFinished();
    if (r <= 0 || !(fds[0].revents & POLLIN)) continue;
    std::string peer;
    Socket s = listener_.Accept(&peer);
    if (!s.valid()) {
      int e = errno;
      if (e == EAGAIN || e == EINTR || e == ECONNABORTED) continue;
      log_.Line(std::string("accepting a connection failed: ") + std::strerror(e));
      // Out of descriptors or memory: the waiting connection stays pending,
      // so pause instead of spinning on it.
      ::poll(nullptr, 0, kReapIntervalMs);
      continue;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (connections_.size() >= settings_.maxConnections) {
      log_.Line("refused a connection from " + peer + ": already " + std::to_string(connections_.size()) +
                " connections");
      continue;
    }
    auto c = std::make_shared<Connection>(nextConnection_++, std::move(s), peer, *handler_, log_, stop_, reading_.get());
    c->Start();
    connections_.push_back(std::move(c));
  }
}

void Service::ReapFinished() {
  std::vector<std::shared_ptr<Connection>> finished;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      if ((*it)->Finished()) {
        finished.push_back(std::move(*it));
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
  std::vector<std::shared_ptr<Connection>> connections;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connections.swap(connections_);
  }
  for (auto& c : connections) c->Join();
  connections.clear();
  // No item comes any more: forwarders send what they hold while their
  // server takes it.
  for (const auto& a : router_->adaptors())
    if (auto* forwarder = dynamic_cast<ForwarderAdaptor*>(a.get())) forwarder->Stop();
  writer_->Stop();
  reading_->Stop();
  log_.Line("stopped; " + std::to_string(writer_->committedRows()) + " messages stored since start");
}

}  // namespace hv::host
