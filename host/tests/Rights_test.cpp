// Rights follow the accounts: the host learns a loopback client's account
// from the kernel's socket table and gives it the rights of its groups. A
// client without a right is refused and told so; each flag change is stored
// as an audit message naming the account.
#include <gtest/gtest.h>

#include <sys/fsuid.h>
#include <unistd.h>

#include "core/ConfigFile.h"
#include "core/HResult.h"
#include "rights/PeerAccount.h"
#include "support/HostProcess.h"
#include "support/ItemBytes.h"
#include "support/ReadingClient.h"
#include "support/StoreQuery.h"
#include "support/TempDir.h"
#include "support/TestClient.h"

using namespace hv::host;
using namespace hvtest;

TEST(RightsTest, TheSocketTableGivesTheOwnerOfTheClientsEnd) {
  const std::string table =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
      "   0: 0100007F:EB1D 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 1 1\n"
      "   1: 0100007F:C350 0100007F:EB1D 01 00000000:00000000 00:00000000 00000000  1000        0 2 1\n"
      "   2: 0100007F:C351 0100007F:EB1D 06 00000000:00000000 03:00000E5B 00000000     0        0 0 3\n";
  struct Case {
    const char *local, *remote;
    bool found;
    uid_t uid;
  };
  const Case cases[] = {
      {"0100007F:C350", "0100007F:EB1D", true, 1000},
      {"0100007F:C351", "0100007F:EB1D", false, 0},  // TIME_WAIT: no owner
      {"0100007F:EB1D", "0100007F:C350", false, 0},  // the host's own end
  };
  for (const Case& c : cases) {
    uid_t uid = 0;
    EXPECT_EQ(FindSocketOwner(table, c.local, c.remote, &uid), c.found) << c.local;
    if (c.found) {
      EXPECT_EQ(uid, c.uid);
    }
  }
}

TEST(RightsTest, AnAccountWithoutARightIsRefusedAndFlagChangesAreAudited) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can open a socket owned by another account";
  TempDir dir;
  RunningHost host(dir.path(), dir.File("m.db"));
  const Bytes store(ConfigFile::StoreAdaptorClsid().bytes().begin(), ConfigFile::StoreAdaptorClsid().bytes().end());
  auto flags = [&](uint8_t severities) {
    MuxMessage m;
    m.SetField("MSGTYPE", "8");
    m.data = store;
    m.data.insert(m.data.end(), 4, severities);
    return m;
  };

  TestClient nobody;
  ::setfsuid(65534);  // the socket is nobody's: an account in no group
  bool connected = nobody.Connect(host.port);
  ::setfsuid(0);
  ASSERT_TRUE(connected && nobody.Hello());
  // Logging is for every account; reading and flag changes are not.
  nobody.Post(ItemMessage("2", 1, SimpleItem(u"from nobody", 1, 1)));
  auto logged = nobody.NextFrame(5000);
  Answer answer;
  ASSERT_TRUE(logged && ReadAnswer(*logged, &answer));
  EXPECT_EQ(answer.hr, S_OK);
  nobody.Post(flags(0));
  EXPECT_EQ(ErrorCode(nobody.NextFrame(5000)), E_ACCESSDENIED);
  // Sent as a transact, the refusal comes back as the reply's result.
  auto reply = nobody.Transact(flags(0));
  MuxMessage decoded;
  std::string why;
  ASSERT_TRUE(reply && MuxMessage::Decode(reply->payload.data(), reply->payload.size(), &decoded, &why));
  ASSERT_NE(decoded.Field("HRESULT"), nullptr);
  EXPECT_EQ(*decoded.Field("HRESULT"), std::to_string(E_ACCESSDENIED));
  ReadingClient reader(nobody);
  int32_t result = 0;
  EXPECT_EQ(reader.Open(store, 0, 0, 0, u"", &result), 0u);
  EXPECT_EQ(result, E_ACCESSDENIED);

  TestClient root;
  ASSERT_TRUE(root.Connected(host.port));
  root.Post(flags(0xF));
  // The audit message is committed before the item that follows it.
  root.Post(ItemMessage("2", 2, SimpleItem(u"after", 1, 1)));
  auto after = root.NextFrame(5000);
  ASSERT_TRUE(after && ReadAnswer(*after, &answer));
  StoreQuery q(dir.File("m.db"));
  EXPECT_EQ(q.Texts("SELECT user_name || ': ' || message_text FROM messages WHERE severity = 8"),
            std::vector<std::string>{"root: adaptor \"Message store\" enable flags changed from VELTRA 15, Dev 15, "
                                     "Eng 15, Op 15 to VELTRA 15, Dev 15, Eng 15, Op 15 by root"});
}

TEST(RightsTest, ConnectionCapsCountByAccountAndKeepRoomForReaders) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can open a socket owned by another account";
  TempDir dir;
  WriteFile(dir.File("host.conf"), "max_connections = 6\nreader_reserve = 2\nmax_connections_per_peer = 2\n");
  RunningHost host(dir.path(), dir.File("m.db"), dir.File("host.conf"));
  auto connect = [&](uid_t owner, TestClient* c) {
    ::setfsuid(owner);
    bool connected = c->Connect(host.port);
    ::setfsuid(0);
    return connected && c->Hello(2000);
  };
  // nobody: two, then its cap. root: two. Then the last two places are
  // kept for readers: another account without the read right is refused.
  const struct {
    uid_t owner;
    bool admitted;
  } steps[] = {{65534, true}, {65534, true}, {65534, false}, {0, true}, {0, true}, {65533, false}};
  TestClient clients[6];
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(connect(steps[i].owner, &clients[i]), steps[i].admitted) << "step " << i;
  std::string log = host.process.Log();
  EXPECT_NE(log.find("already 2 connections from account nobody"), std::string::npos) << log;
  EXPECT_NE(log.find("the last 2 connections are kept for readers"), std::string::npos) << log;
}

TEST(RightsTest, ANonLoopbackAddressIsRefusedAtStart) {
  TempDir dir;
  HostProcess host({"--listen", "ip:0.0.0.0:0", "--db", dir.File("m.db")}, dir.File("host.log"));
  EXPECT_EQ(host.WaitExit(10000), 1);
  EXPECT_NE(host.Log().find("is not a loopback address"), std::string::npos) << host.Log();
}
