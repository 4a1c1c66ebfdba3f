#include "service/TlsTerminator.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <vector>

namespace hv::host {
namespace {

void SetNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

std::string OpenSslError() {
  unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (!e) return "the connection ended";
  char text[256];
  ERR_error_string_n(e, text, sizeof text);
  return text;
}

// The common name of the client certificate's subject; "" when it has none.
std::string CommonName(SSL* ssl) {
  X509* cert = SSL_get1_peer_certificate(ssl);
  if (!cert) return "";
  char text[256] = "";
  int n = X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, text, sizeof text);
  X509_free(cert);
  return n > 0 ? std::string(text, size_t(n)) : "";
}

}  // namespace

void RelayTls(SSL* ssl, int tcp, int plain) {
  std::vector<uint8_t> in(16384), out(16384);
  size_t inLen = 0, inSent = 0, outLen = 0;
  bool tlsOpen = true;
  for (;;) {
    bool progress = false;
    short tcpEvents = 0, plainEvents = 0;
    auto wants = [&](int result) {
      int e = SSL_get_error(ssl, result);
      if (e == SSL_ERROR_WANT_READ) tcpEvents |= POLLIN;
      else if (e == SSL_ERROR_WANT_WRITE) tcpEvents |= POLLOUT;
      else return false;
      return true;
    };
    // From the TLS session to the plain end.
    if (tlsOpen && inLen == 0) {
      int n = SSL_read(ssl, in.data(), int(in.size()));
      if (n > 0) {
        inLen = size_t(n), inSent = 0, progress = true;
      } else if (SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN) {
        // The client is done sending; answers it is owed still go back.
        tlsOpen = false;
        ::shutdown(plain, SHUT_WR);
      } else if (!wants(n)) {
        return;
      }
    }
    if (inLen > 0) {
      ssize_t n = ::send(plain, in.data() + inSent, inLen - inSent, MSG_NOSIGNAL);
      if (n > 0) {
        inSent += size_t(n), progress = true;
        if (inSent == inLen) inLen = 0;
      } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        plainEvents |= POLLOUT;
      } else if (errno != EINTR) {
        return;
      }
    }
    // From the plain end to the TLS session.
    if (outLen == 0) {
      ssize_t n = ::recv(plain, out.data(), out.size(), 0);
      if (n > 0) {
        outLen = size_t(n), progress = true;
      } else if (n == 0) {
        SSL_shutdown(ssl);
        return;
      } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        plainEvents |= POLLIN;
      } else if (errno != EINTR) {
        return;
      }
    }
    if (outLen > 0) {
      int n = SSL_write(ssl, out.data(), int(outLen));
      if (n > 0) outLen = 0, progress = true;
      else if (!wants(n)) return;
    }
    if (progress) continue;
    pollfd fds[2] = {{tcp, tcpEvents, 0}, {plain, plainEvents, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
    // A side that hung up is noticed by the next read or write.
  }
}

SSL_CTX* TlsTerminator::Context(const TlsSettings& settings, std::string* error) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  auto fail = [&](const std::string& what) -> SSL_CTX* {
    *error = what + ": " + OpenSslError();
    SSL_CTX_free(ctx);
    return nullptr;
  };
  if (!ctx) return fail("TLS");
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
  if (SSL_CTX_use_certificate_chain_file(ctx, settings.certificate.c_str()) != 1)
    return fail("tls_certificate " + settings.certificate);
  if (SSL_CTX_use_PrivateKey_file(ctx, settings.key.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(ctx) != 1)
    return fail("tls_key " + settings.key);
  if (SSL_CTX_load_verify_locations(ctx, settings.clientCa.c_str(), nullptr) != 1)
    return fail("tls_client_ca " + settings.clientCa);
  // No client certificate from that authority, no session.
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  return ctx;
}

bool TlsTerminator::Check(const TlsSettings& settings, std::string* error) {
  SSL_CTX* ctx = Context(settings, error);
  SSL_CTX_free(ctx);
  return ctx != nullptr;
}

std::unique_ptr<TlsTerminator> TlsTerminator::Create(const TlsSettings& settings, const RightsSettings& rights,
                                                     const Limits& limits, const StopSignal& stop, Logger& log,
                                                     std::string* error) {
  SSL_CTX* ctx = Context(settings, error);
  if (!ctx) return nullptr;
  return std::unique_ptr<TlsTerminator>(new TlsTerminator(ctx, rights, limits, stop, log));
}

TlsTerminator::~TlsTerminator() {
  Reap(true);
  SSL_CTX_free(ctx_);
}

void TlsTerminator::Take(Socket tcp, const std::string& peer, Admit admit) {
  if (handshaking_.load() >= limits_.maxWaiting) {
    log_.Repeated("TLS connections refused", "connection from " + peer + " closed: " +
                  std::to_string(handshaking_.load()) + " TLS handshakes under way", Logger::kWarning);
    return;
  }
  ++handshaking_;
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::lock_guard<std::mutex> lock(mutex_);
  relays_.push_back(Relay{std::thread([this, s = std::move(tcp), peer, admit = std::move(admit), done]() mutable {
                            Serve(std::move(s), peer, admit);
                            *done = true;
                          }),
                          done});
}

void TlsTerminator::Serve(Socket tcp, std::string peer, const Admit& admit) {
  SetNonBlocking(tcp.fd());
  std::unique_ptr<SSL, void (*)(SSL*)> ssl(SSL_new(ctx_), SSL_free);
  SSL_set_fd(ssl.get(), tcp.fd());
  // The handshake and the first bytes of the Hello within the hello time-out.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limits_.helloTimeoutMs);
  std::string failure;
  auto wait = [&](int result) {
    int e = SSL_get_error(ssl.get(), result);
    if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return failure = OpenSslError(), false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd fds[2] = {{tcp.fd(), short(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0}, {stop_.fd(), POLLIN, 0}};
    if (left.count() <= 0 || ::poll(fds, 2, int(left.count())) == 0)
      return failure = "no Hello within " + std::to_string(limits_.helloTimeoutMs / 1000) + " s", false;
    if (fds[1].revents) return failure = "the host is stopping", false;
    return true;
  };
  int r;
  while ((r = SSL_accept(ssl.get())) != 1 && wait(r)) {
  }
  std::vector<uint8_t> early(64);
  while (failure.empty() && (r = SSL_read(ssl.get(), early.data(), int(early.size()))) <= 0 && wait(r)) {
  }
  --handshaking_;
  if (!failure.empty()) {
    log_.Repeated("TLS handshakes failed", "connection from " + peer + " closed: TLS: " + failure,
                  Logger::kWarning);
    return;
  }
  early.resize(size_t(r));
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    log_.Repeated("TLS connections refused", "connection from " + peer + " closed: no socket pair",
                  Logger::kError);
    return;
  }
  Socket mine(pair[0]), theirs(pair[1]);
  SetNonBlocking(mine.fd());
  admit(std::move(theirs), peer, std::move(early), AccountNamed(CommonName(ssl.get()), rights_));
  RelayTls(ssl.get(), tcp.fd(), mine.fd());
}

void TlsTerminator::Reap(bool all) {
  std::list<Relay> ended;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = relays_.begin(); it != relays_.end();) {
      auto next = std::next(it);
      if (all || *it->done) ended.splice(ended.end(), relays_, it);
      it = next;
    }
  }
  for (Relay& r : ended) r.thread.join();
}

}  // namespace hv::host
