// The Mux service: the database and its writer, the adaptors, the listening
// socket and its accept loop, and the connections.
//
// Stopping is orderly: no new connections; every connection reads what its
// client had already sent and hands it on; the writer commits everything;
// owed "5" answers go out; then the database closes.
#pragma once
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/HostSettings.h"
#include "core/Logger.h"
#include "service/ByteBudget.h"
#include "service/Connection.h"
#include "service/Gate.h"
#include "service/Listener.h"
#include "service/MessageHandler.h"
#include "service/ReadService.h"
#include "service/Router.h"
#include "service/StopSignal.h"
#include "service/TlsTerminator.h"
#include "store/ItemStore.h"
#include "store/StoreWriter.h"

namespace hv::host {

class Service {
 public:
  Service(HostSettings settings, Logger& log);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  bool Start(std::string* error);
  // Whether `settings` may listen where they say: anywhere but loopback
  // only over TLS, with certificate, key and authority that load.
  static bool MayListen(const HostSettings& settings, const TransportAddress& address, std::string* error);
  void Stop();

  const TransportAddress& listening() const { return listener_.bound(); }

 private:
  bool BuildAdaptors(std::string* error);
  // Takes a connection the gate hands on, or refuses it when a cap is
  // reached: the newcomer is the one turned away.
  // `account` is given for TLS clients; others are looked up from the
  // kernel's socket table.
  void Admit(Socket socket, const std::string& peer, std::vector<uint8_t> early, const Account* account = nullptr);
  void ReapFinished();

  HostSettings settings_;
  Logger& log_;
  std::unique_ptr<ItemStore> store_;
  std::unique_ptr<StoreWriter> writer_;
  std::unique_ptr<Router> router_;
  std::unique_ptr<MessageHandler> handler_;
  std::unique_ptr<ReadService> reading_;
  Listener listener_;
  StopSignal stop_;
  ByteBudget budget_;
  std::unique_ptr<Gate> gate_;
  std::unique_ptr<TlsTerminator> tls_;
  std::thread acceptThread_;
  std::mutex mutex_;
  struct Held {
    std::shared_ptr<Connection> connection;
    std::string peer;  // what the per-peer cap counts by
  };
  std::vector<Held> connections_;
  std::map<std::string, size_t> perPeer_;
  uint64_t nextConnection_ = 1;
  bool started_ = false;
  bool stopped_ = false;
};

}  // namespace hv::host
