// Remote clients come over TLS with a client certificate from the configured
// authority, and get the rights of the account their certificate names.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <cstdlib>
#include <thread>

#include "core/HResult.h"
#include "service/TlsTerminator.h"
#include "support/HostProcess.h"
#include "support/ItemBytes.h"
#include "support/ReadingClient.h"
#include "support/TempDir.h"
#include "support/TestClient.h"

using namespace hv::host;
using namespace hvtest;

namespace {

// A TLS client in front of a TestClient: the test's own side of the relay.
struct TlsClient {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL* ssl = nullptr;
  Socket tcp;
  std::thread relay;
  TestClient client;

  bool Connect(int port, const std::string& dir, const std::string& name) {
    SSL_CTX_load_verify_locations(ctx, (dir + "/ca.pem").c_str(), nullptr);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    const std::string files = dir + "/" + name;
    if (!name.empty() && (SSL_CTX_use_certificate_file(ctx, (files + ".pem").c_str(), SSL_FILETYPE_PEM) != 1 ||
                          SSL_CTX_use_PrivateKey_file(ctx, (files + ".key").c_str(), SSL_FILETYPE_PEM) != 1))
      return false;
    if (!client.Connect(port)) return false;
    tcp = client.Release();
    ssl = SSL_new(ctx);
    SSL_set_fd(ssl, tcp.fd());
    if (SSL_connect(ssl) != 1) return false;
    int pair[2];
    ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair);
    for (int fd : {tcp.fd(), pair[0]}) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    client.Adopt(Socket(pair[1]));
    relay = std::thread([this, plain = pair[0]] {
      RelayTls(ssl, tcp.fd(), plain);
      ::close(plain);
    });
    return true;
  }
  ~TlsClient() {
    client.Close();
    if (relay.joinable()) relay.join();
    SSL_free(ssl);
    SSL_CTX_free(ctx);
  }
};

void Run(const std::string& command) {
  ASSERT_EQ(std::system(("(" + command + ") >/dev/null 2>&1").c_str()), 0) << command;
}

// An authority, the host's certificate, and one client certificate per
// name; "stranger" is signed by an authority the host does not know.
void MakeCertificates(const std::string& dir) {
  const std::string key = "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
  Run("cd " + dir + " && " + key + "-x509 -days 2 -keyout ca.key -out ca.pem -subj /CN=test-authority");
  Run("cd " + dir + " && " + key + "-x509 -days 2 -keyout stranger.key -out stranger.pem -subj /CN=root");
  for (const char* name : {"host", "root", "nobody", "no-such-account"})
    Run("cd " + dir + " && " + key + "-keyout " + name + ".key -out " + name + ".csr -subj /CN=" + name +
        " && openssl x509 -req -in " + name + ".csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -out " + name +
        ".pem");
}

}  // namespace

TEST(TlsTest, OnlyCertifiedClientsGetInAndTheirNameGivesTheirRights) {
  TempDir dir;
  MakeCertificates(dir.path());
  WriteFile(dir.File("host.conf"), "tls_certificate = host.pem\ntls_key = host.key\ntls_client_ca = ca.pem\n"
                                   "tls_required = yes\nread_group = no-such-group\n");
  RunningHost host(dir.path(), dir.File("m.db"), dir.File("host.conf"));
  const struct {
    const char* certificate;  // "": none; "plain": no TLS at all
    bool admitted, mayRead;
  } cases[] = {
      {"plain", false, false},          {"", false, false},     {"stranger", false, false},
      {"root", true, true},             {"nobody", true, false}, {"no-such-account", true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.certificate);
    TlsClient tls;
    TestClient& client = tls.client;
    if (std::string(c.certificate) == "plain") ASSERT_TRUE(client.Connect(host.port));
    // Without a good certificate the handshake may still look done on the
    // client's side; the host's refusal ends the session right after.
    else if (!tls.Connect(host.port, dir.path(), c.certificate)) {
      EXPECT_FALSE(c.admitted);
      continue;
    }
    ASSERT_EQ(client.Hello(3000), c.admitted);
    if (!c.admitted) continue;
    client.Post(ItemMessage("2", 1, SimpleItem(u"over TLS", 1, 1)));
    Answer answer;
    auto logged = client.NextFrame(5000);
    ASSERT_TRUE(logged && ReadAnswer(*logged, &answer));
    EXPECT_EQ(answer.hr, S_OK);
    MuxMessage list;
    list.SetField("MSGTYPE", "4");
    auto reply = client.Transact(list);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->kind == FrameKind::Reply, c.mayRead);
    if (!c.mayRead) EXPECT_EQ(ErrorCode(reply), E_ACCESSDENIED);
  }
  std::string log = host.process.Log();
  EXPECT_NE(log.find("closed: TLS: "), std::string::npos) << log;
}
