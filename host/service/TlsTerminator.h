// Remote clients reach the host over TLS with a client certificate. Each
// accepted connection gets a thread that does the handshake (within the
// hello time-out) and then relays bytes between the TLS session and one end
// of a socket pair; the other end goes to the service as an ordinary
// connection, whose account is the certificate's common name.
#pragma once
#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/HostSettings.h"
#include "core/Logger.h"
#include "rights/Rights.h"
#include "service/Socket.h"
#include "service/StopSignal.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace hv::host {

// Moves bytes both ways between a TLS session over `tcp` and the plain
// socket `plain` until either side ends; both descriptors non-blocking.
// Returns when one side closes or fails.
void RelayTls(SSL* ssl, int tcp, int plain);

class TlsTerminator {
 public:
  // Gets the plain end with the first bytes the client sent.
  using Admit =
      std::function<void(Socket plain, const std::string& peer, std::vector<uint8_t> early, Account account)>;

  // Null with `error` when the certificate, key or authority cannot be used.
  static std::unique_ptr<TlsTerminator> Create(const TlsSettings& settings, const RightsSettings& rights,
                                               const Limits& limits, const StopSignal& stop, Logger& log,
                                               std::string* error);
  // Whether Create would succeed, for --check-config.
  static bool Check(const TlsSettings& settings, std::string* error);
  ~TlsTerminator();

  // Takes an accepted connection; refused at once when too many handshakes
  // are under way.
  void Take(Socket tcp, const std::string& peer, Admit admit);
  // Joins the relays that have ended; with `all`, waits for every one (the
  // service has closed its ends by then).
  void Reap(bool all);

 private:
  static SSL_CTX* Context(const TlsSettings& settings, std::string* error);
  TlsTerminator(SSL_CTX* ctx, const RightsSettings& rights, const Limits& limits, const StopSignal& stop,
                Logger& log)
      : ctx_(ctx), rights_(rights), limits_(limits), stop_(stop), log_(log) {}
  void Serve(Socket tcp, std::string peer, const Admit& admit);

  SSL_CTX* ctx_;
  const RightsSettings& rights_;
  const Limits& limits_;
  const StopSignal& stop_;
  Logger& log_;
  std::atomic<size_t> handshaking_{0};
  std::mutex mutex_;
  struct Relay {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::list<Relay> relays_;
};

}  // namespace hv::host
