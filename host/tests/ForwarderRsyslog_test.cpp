// The forwarder against a real rsyslogd: tarnhost forwards the items a
// client logs, rsyslog parses them as syslog messages with structured data;
// then rsyslog goes away while more items come, and on its return gets
// every item the buffer could hold, in order, while the host log counts
// the ones beyond it. Skipped when rsyslogd is not installed.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <map>
#include <thread>

#include "adaptors/SyslogMessage.h"
#include "core/ConfigFile.h"
#include "core/HResult.h"
#include "item/ItemStreamDecoder.h"
#include "support/HostProcess.h"
#include "support/ItemBytes.h"
#include "support/RsyslogProcess.h"
#include "support/TempDir.h"
#include "support/TestClient.h"

using namespace hvtest;
using hv::host::HResult;
using hv::host::S_OK;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBufferItems = 20;
const std::string kBom = "\xEF\xBB\xBF";

template <typename F>
bool WaitFor(F done, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Posts each item as a "2" and waits for all the answers; they must come
// whether or not the syslog server is there.
std::map<int32_t, HResult> LogAndWait(TestClient& c, const std::vector<Bytes>& items, int32_t firstTransid) {
  for (size_t i = 0; i < items.size(); ++i) c.Post(ItemMessage("2", firstTransid + int32_t(i), items[i]));
  std::map<int32_t, HResult> answers;
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (answers.size() < items.size() && Clock::now() < deadline) {
    auto f = c.NextFrame(200);
    Answer a;
    if (f && ReadAnswer(*f, &a)) answers[a.transid] = a.hr;
  }
  return answers;
}

Bytes Located(const std::string& location) {
  ItemBytes item;
  item.location = std::u16string(location.begin(), location.end());
  item.provider = u"Halvern.Tests";
  item.messageText = u"late item";
  item.dateTime = 45000.5;
  item.severity = 4;
  item.audience = 8;
  return item.Build();
}

// The HOSTNAME of each parsed message.
std::vector<std::string> Hosts(const std::vector<std::string>& fields, size_t from) {
  std::vector<std::string> hosts;
  for (size_t i = from; i < fields.size(); ++i) {
    size_t a = fields[i].find('|', fields[i].find('|') + 1);
    hosts.push_back(fields[i].substr(a + 1, fields[i].find('|', a + 1) - a - 1));
  }
  return hosts;
}

}  // namespace

TEST(ForwarderRsyslog, ItemsReachRsyslogAndOutliveItsRestartWithinTheBuffer) {
  if (RsyslogProcess::Program().empty())
    GTEST_SKIP() << "rsyslogd is not installed (Debian package rsyslog): the forwarder is not tried against it";
  TempDir dir;
  int port = RsyslogProcess::FreePort();
  ASSERT_NE(port, 0);
  RsyslogProcess rsyslog(dir.path(), port);
  ASSERT_TRUE(rsyslog.Start(10000)) << rsyslog.Diagnostics();

  // Only the forwarder: the "5" answers then depend on it alone.
  std::string config = dir.File("tarnhost.conf");
  WriteFile(config, "[adaptor]\nkind = forwarder\nname = Central syslog\nclsid = {ED34F366-7CA7-4E2D-824E-7213D595AFB2}\n"
                    "server = 127.0.0.1:" + std::to_string(port) +
                        "\nfacility = local3\nhostname = fallback-host\napp_name = hv-app\n"
                        "buffer_items = " + std::to_string(kBufferItems) + "\nreconnect_max_ms = 300\n");
  RunningHost host(dir.path(), dir.File("messages.db"), config);
  ASSERT_NE(host.port, 0);
  TestClient client;
  ASSERT_TRUE(client.Connected(host.port));

  ItemBytes text;
  text.location = u"plant-7";
  text.provider = u"Halvern.Tests";
  text.userName = u"tester";
  text.messageText = u"Disk C: is 95% full \u2014 bitte pr\u00FCfen";
  text.dateTime = 45000.5;
  text.severity = 1;
  text.audience = 1;
  text.verbosity = 2;
  ItemBytes resource;
  resource.location = u"Halle 3 S\u00FCd";
  resource.provider = u"Conveyor Control";
  resource.userName = u"ops";
  resource.dateTime = 45000.25;
  resource.severity = 2 | 8;
  resource.audience = 6;
  resource.messageId = 1234;
  resource.arguments = {Variant(8, Counted(u"C:")), Variant(3, Le32(95))};
  resource.extended = {Concat({Counted(u"Disk Name"), Le32(8), Variant(8, Counted(u"a]b\"c\\"))})};
  ItemBytes unnamed;  // no location, no provider, never stamped
  unnamed.messageText = u"unnamed";
  unnamed.dateTime = 0.0;
  unnamed.severity = 8;
  unnamed.audience = 8;
  std::vector<Bytes> first = {text.Build(), resource.Build(), unnamed.Build()};

  auto answers = LogAndWait(client, first, 1);
  ASSERT_EQ(answers.size(), 3u) << host.process.Log();
  for (auto& [transid, hr] : answers) EXPECT_EQ(hr, S_OK) << "transid " << transid;
  ASSERT_TRUE(WaitFor([&] { return rsyslog.Fields().size() >= 3; }, 10000))
      << host.process.Log() << rsyslog.Diagnostics();

  // rsyslog read every header field and the structured data as they were meant.
  std::vector<std::string> fields = rsyslog.Fields();
  ASSERT_EQ(fields.size(), 3u);
  EXPECT_EQ(fields[0], "155|2023-03-15T12:00:00.000Z|plant-7|Halvern.Tests|-|HVD|[hvd@32473 audience=\"1\" "
                       "severity=\"1\" verbosity=\"2\" user=\"tester\"]|" + kBom +
                           "Disk C: is 95% full \xE2\x80\x94 bitte pr\xC3\xBC" "fen");
  EXPECT_EQ(fields[1], "156|2023-03-15T06:00:00.000Z|Halle_3_S_d|Conveyor_Control|-|HVD|[hvd@32473 audience=\"6\" "
                       "severity=\"10\" verbosity=\"0\" user=\"ops\" message_id=\"1234\" location=\"Halle 3 S\xC3\xBC"
                       "d\" provider=\"Conveyor Control\" arg1=\"C:\" arg2=\"95\"][hvdx@32473 "
                       "Disk_Name=\"a\\]b\\\"c\\\\\"]|resource 1234");
  std::string year = fields[2].substr(4, 4);
  EXPECT_EQ(fields[2].substr(0, 4), "157|");
  EXPECT_GE(year, "2024") << "the time of receipt stands in for an unset datetime: " << fields[2];
  EXPECT_EQ(fields[2].substr(28), "|fallback-host|hv-app|-|HVD|[hvd@32473 audience=\"8\" severity=\"8\" "
                                  "verbosity=\"0\" user=\"\"]|" + kBom + "unnamed")
      << fields[2];

  // Byte for byte what the host's formatting makes of the same items.
  std::vector<std::string> raw = rsyslog.RawMessages();
  ASSERT_EQ(raw.size(), 3u);
  hv::host::ForwarderSettings settings;
  settings.facility = 19;
  for (int i = 0; i < 2; ++i) {
    hv::host::ItemRecord item;
    std::string error;
    ASSERT_TRUE(hv::host::ItemStreamDecoder::Decode(first[i].data(), first[i].size(), &item, &error)) << error;
    EXPECT_EQ(raw[i], hv::host::SyslogMessage::Format(item, std::chrono::system_clock::now(), settings));
  }

  // rsyslog goes away; the items logged meanwhile are answered at once and
  // kept, the newest kBufferItems of them.
  ASSERT_TRUE(rsyslog.Stop(10000)) << rsyslog.Diagnostics();
  std::vector<Bytes> late;
  for (int i = 1; i <= kBufferItems + 5; ++i) late.push_back(Located("late-" + std::to_string(i)));
  answers = LogAndWait(client, late, 100);
  ASSERT_EQ(answers.size(), late.size()) << host.process.Log();
  for (auto& [transid, hr] : answers) EXPECT_EQ(hr, S_OK) << "transid " << transid;
  EXPECT_TRUE(WaitFor([&] { return host.process.Log().find("cannot connect to 127.0.0.1:") != std::string::npos; },
                      5000))
      << host.process.Log();
  EXPECT_NE(host.process.Log().find("the buffer is full (20 items); the oldest items are dropped"), std::string::npos)
      << host.process.Log();

  ASSERT_TRUE(rsyslog.Start(10000)) << rsyslog.Diagnostics();
  ASSERT_TRUE(WaitFor([&] { return rsyslog.Fields().size() >= 3 + kBufferItems; }, 10000))
      << host.process.Log() << rsyslog.Diagnostics();
  std::vector<std::string> expected;
  for (int i = 6; i <= kBufferItems + 5; ++i) expected.push_back("late-" + std::to_string(i));
  EXPECT_TRUE(WaitFor([&] { return host.process.Log().find("5 items dropped meanwhile") != std::string::npos; }, 5000))
      << host.process.Log();
  EXPECT_NE(host.process.Log().find("again after "), std::string::npos) << host.process.Log();

  host.process.Signal(SIGTERM);
  EXPECT_EQ(host.process.WaitExit(10000), 0) << host.process.Log();
  EXPECT_NE(host.process.Log().find("stopped; 23 items sent since start, 5 dropped, 0 still buffered"),
            std::string::npos)
      << host.process.Log();
  EXPECT_EQ(Hosts(rsyslog.Fields(), 3), expected) << "nothing within the buffer may be lost, nor come twice";
  EXPECT_TRUE(rsyslog.Stop(10000)) << rsyslog.Diagnostics();
}
