// The forwarder against a real rsyslogd: tarnhost forwards the items a
// client logs and rsyslog parses them as syslog messages with structured
// data. (The buffer while the server is away is tried against a stand-in
// server in ForwarderAdaptor_test.) Skipped when rsyslogd is not installed.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <thread>

#include "adaptors/SyslogMessage.h"
#include "core/HResult.h"
#include "item/ItemStreamDecoder.h"
#include "support/HostProcess.h"
#include "support/ItemBytes.h"
#include "support/RsyslogProcess.h"
#include "support/TempDir.h"
#include "support/TestClient.h"

using namespace hvtest;

TEST(ForwarderRsyslog, ItemsReachRsyslogAsStructuredSyslogMessages) {
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
                        "\nfacility = local3\nhostname = fallback-host\napp_name = hv-app\n");
  RunningHost host(dir.path(), dir.File("messages.db"), config);
  TestClient client;
  ASSERT_TRUE(client.Connected(host.port));

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
  unnamed.messageText = u"unnamed \u2014 bitte pr\u00FCfen";
  unnamed.severity = 8;
  unnamed.audience = 8;
  const Bytes items[] = {resource.Build(), unnamed.Build()};
  for (int i = 0; i < 2; ++i) client.Post(ItemMessage("2", i, items[i]));
  for (int i = 0; i < 2; ++i) {
    auto f = client.NextFrame(5000);
    Answer a;
    EXPECT_TRUE(f && ReadAnswer(*f, &a) && a.hr == hv::host::S_OK) << host.process.Log();
  }
  for (int i = 0; i < 500 && rsyslog.Fields().size() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));

  // rsyslog read every header field and the structured data as they were meant.
  std::vector<std::string> fields = rsyslog.Fields();
  ASSERT_EQ(fields.size(), 2u) << host.process.Log() << rsyslog.Diagnostics();
  EXPECT_EQ(fields[0], "156|2023-03-15T06:00:00.000Z|Halle_3_S_d|Conveyor_Control|-|HVD|[hvd@32473 audience=\"6\" "
                       "severity=\"10\" verbosity=\"0\" user=\"ops\" message_id=\"1234\" location=\"Halle 3 S\xC3\xBC"
                       "d\" provider=\"Conveyor Control\" arg1=\"C:\" arg2=\"95\"][hvdx@32473 "
                       "Disk_Name=\"a\\]b\\\"c\\\\\"]|resource 1234");
  EXPECT_GE(fields[1].substr(4, 4), "2024") << "the time of receipt stands in for an unset datetime: " << fields[1];
  EXPECT_EQ(fields[1].substr(0, 4) + fields[1].substr(28),
            "157||fallback-host|hv-app|-|HVD|[hvd@32473 audience=\"8\" severity=\"8\" verbosity=\"0\" user=\"\"]|"
            "\xEF\xBB\xBFunnamed \xE2\x80\x94 bitte pr\xC3\xBC" "fen");
  // Byte for byte what the host's formatting makes of the item.
  hv::host::ForwarderSettings settings;
  settings.facility = 19;
  hv::host::ItemRecord item;
  std::string error;
  ASSERT_TRUE(hv::host::ItemStreamDecoder::Decode(items[0].data(), items[0].size(), &item, &error)) << error;
  EXPECT_EQ(rsyslog.RawMessages().at(0), hv::host::SyslogMessage::Format(item, std::chrono::system_clock::now(), settings));

  host.process.Signal(SIGTERM);
  EXPECT_EQ(host.process.WaitExit(10000), 0) << host.process.Log();
  EXPECT_NE(host.process.Log().find("stopped; 2 items sent since start, 0 dropped"), std::string::npos)
      << host.process.Log();
  EXPECT_TRUE(rsyslog.Stop(10000)) << rsyslog.Diagnostics();
}
