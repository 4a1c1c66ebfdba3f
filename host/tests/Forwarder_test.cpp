// The forwarder: the syslog message it makes of an item, byte for byte; the adaptor against a stand-in server;
// and tarnhost forwarding to a real rsyslogd, which must parse what it gets as meant.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <limits>
#include <sstream>
#include <thread>

#include "adaptors/ForwarderAdaptor.h"
#include "adaptors/SyslogMessage.h"
#include "adaptors/VariantText.h"
#include "core/ConfigFile.h"
#include "item/ItemStreamDecoder.h"
#include "support/Support.h"

using namespace hv::host;
using namespace hvtest;
using Clock = std::chrono::steady_clock;
using Form = VariantValue::Form;

namespace {

const std::string kBom = "\xEF\xBB\xBF";
// 2023-11-14T22:13:20.123Z
const std::chrono::system_clock::time_point kReceived{std::chrono::milliseconds(1700000000123LL)};

VariantValue Fixed(uint16_t vt, uint8_t size, uint64_t bits) { return {vt, Form::Fixed, size, bits, {}, false}; }
VariantValue Text(uint16_t vt, std::u16string text) { return {vt, Form::Text, 0, 0, std::move(text), false}; }

template <typename T>
VariantValue Float(uint16_t vt, T d) {
  uint64_t bits = 0;
  std::memcpy(&bits, &d, sizeof d);
  return Fixed(vt, sizeof d, bits);
}

ExtendedParam Extended(std::u16string name, VariantValue v) { return {std::move(name), v.vt, std::move(v)}; }

ItemRecord Item(std::u16string location, std::u16string provider, double dateTime, int32_t severity = 1,
                int32_t audience = 1) {
  ItemRecord item;
  item.location = std::move(location);
  item.provider = std::move(provider);
  item.dateTime = dateTime;
  item.severity = severity;
  item.audience = audience;
  return item;
}

// A TCP server on 127.0.0.1 reading octet-counted frames: bound from the start, refusing until it listens.
class FakeSyslogServer {
 public:
  FakeSyslogServer() { Bind(0); }
  void Bind(uint16_t port) {
    listener_ = Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int one = 1;
    ::setsockopt(listener_.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
    ASSERT_EQ(::bind(listener_.fd(), reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0) << std::strerror(errno);
    socklen_t size = sizeof sa;
    ::getsockname(listener_.fd(), reinterpret_cast<sockaddr*>(&sa), &size);
    port_ = ntohs(sa.sin_port);
  }
  void Listen() { ASSERT_EQ(::listen(listener_.fd(), 4), 0); }
  void Close() {
    connection_.Close();
    listener_.Close();
    pending_.clear();
  }
  uint16_t port() const { return port_; }
  bool Accept(int timeoutMs) {
    pollfd p{listener_.fd(), POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1) return false;
    connection_ = Socket(::accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC));
    return connection_.valid();
  }
  // The HOSTNAME of the next `count` messages, fewer when the time runs out; every frame must be octet-counted.
  std::vector<std::string> Hosts(size_t count, int timeoutMs = 5000) {
    std::vector<std::string> hosts;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (hosts.size() < count) {
      size_t space = pending_.find(' ');
      if (space != std::string::npos) {
        EXPECT_TRUE(space > 0 && space < 8 && pending_.find_first_not_of("0123456789") == space) << pending_;
        size_t length = std::stoul(pending_.substr(0, space));
        if (pending_.size() >= space + 1 + length) {
          std::string pri, time, host;
          std::istringstream(pending_.substr(space + 1, length)) >> pri >> time >> host;
          hosts.push_back(host);
          pending_.erase(0, space + 1 + length);
          continue;
        }
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd p{connection_.fd(), POLLIN, 0};
      char buffer[65536];
      ssize_t n;
      if (left <= 0 || ::poll(&p, 1, int(left)) != 1 || (n = ::recv(connection_.fd(), buffer, sizeof buffer, 0)) <= 0)
        break;
      pending_.append(buffer, size_t(n));
    }
    return hosts;
  }

 private:
  Socket listener_, connection_;
  std::string pending_;
  uint16_t port_ = 0;
};

// A forwarder logging to a file, and items item-FIRST to item-LAST, each answered before Deliver returns.
struct Harness {
  TempDir dir;
  Logger log;
  std::unique_ptr<ForwarderAdaptor> forwarder;
  std::vector<HResult> results;

  Harness(uint16_t port, size_t bufferItems) {
    std::string error;
    EXPECT_TRUE(log.OpenFile(dir.File("host.log"), &error)) << error;
    log.SetStderr(false);
    AdaptorSettings s{AdaptorKind::Forwarder, "Central syslog", ConfigFile::ForwarderAdaptorClsid(), kAllAudiences,
                      kAllSeverities, {15, 15, 15, 15}, {}};
    s.forwarder.server = "127.0.0.1:" + std::to_string(port);
    s.forwarder.bufferItems = bufferItems;
    s.forwarder.reconnectMaxMs = 200;
    forwarder = std::make_unique<ForwarderAdaptor>(s, log);
  }
  std::string Log() const { return ReadFile(dir.File("host.log")); }
  // The text in the log exactly once, soon.
  void ExpectLogged(const std::string& text) {
    EXPECT_TRUE(WaitFor([&] { return Occurrences(Log(), text) == 1; }, 5000)) << text << "\n" << Log();
  }
  void Deliver(int first, int last) {
    for (int i = first; i <= last; ++i) {
      results.clear();
      auto d = std::make_shared<Delivery>([this](HResult hr) { results.push_back(hr); });
      d->Expect(1);
      forwarder->Deliver(Item(U16("item-" + std::to_string(i)), u"", 45000.5), nullptr, d);
      EXPECT_EQ(results, std::vector<HResult>{S_OK}) << "item " << i << " was not answered at once";
    }
  }
};

std::vector<std::string> Names(int first, int last) {
  std::vector<std::string> names;
  for (int i = first; i <= last; ++i) names.push_back("item-" + std::to_string(i));
  return names;
}

std::vector<std::string> Lines(const std::string& path) {
  std::vector<std::string> lines;
  std::istringstream in(ReadFile(path));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace

TEST(SyslogMessage, ItemsBecomeFramedMessagesWithEscapedData) {
  ItemRecord text = Item(u"plant-7", u"Halvern.Tests", 45000.5);
  text.userName = u"tester";
  text.messageText = u"Disk C: is 95% full";
  text.verbosity = 2;
  EXPECT_EQ(SyslogMessage::Frame(SyslogMessage::Format(text, kReceived, ForwarderSettings())),
            "148 <131>1 2023-03-15T12:00:00.000Z plant-7 Halvern.Tests - HVD [hvd@32473 audience=\"1\" "
            "severity=\"1\" verbosity=\"2\" user=\"tester\"] " + kBom + "Disk C: is 95% full");
  EXPECT_EQ(SyslogMessage::Frame("\xC3\xA9"), "2 \xC3\xA9") << "the count is of bytes";

  // Never stamped: the time of receipt stands in.
  ItemRecord resource = Item(u"Halle 3 S\u00FCd", u"Conveyor Control", 0.0, 2 | 8, 6);
  resource.userName = u"ops\\\"x]";
  resource.messageId = 1234;
  resource.arguments = {Text(VT_BSTR, u"C:\\"), Fixed(VT_I4, 4, 95),         Fixed(VT_BOOL, 2, 0xFFFF),
                        Float(VT_R8, 0.1),      Float(VT_DATE, 45000.25),     Fixed(VT_CY, 8, 123450),
                        Text(VT_EMPTY, u""),    Fixed(VT_I2, 2, 0xFFFB)};
  resource.extended = {Extended(u"Disk Name=C", Text(VT_BSTR, u"a]b")), Extended(u"Z\u00E4hler", Fixed(VT_I4, 4, 7)),
                       Extended(u"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd", Text(VT_BSTR, u"x"))};
  ForwarderSettings settings;
  settings.facility = 3;
  settings.hostname = "fallback-host";  // the item's location and provider come first
  settings.appName = "hv-app";
  EXPECT_EQ(SyslogMessage::Format(resource, kReceived, settings),
            "<28>1 2023-11-14T22:13:20.123Z Halle_3_S_d Conveyor_Control - HVD [hvd@32473 audience=\"6\" "
            "severity=\"10\" verbosity=\"0\" user=\"ops\\\\\\\"x\\]\" message_id=\"1234\" location=\"Halle 3 "
            "S\xC3\xBC" "d\" provider=\"Conveyor Control\" arg1=\"C:\\\\\" arg2=\"95\" arg3=\"true\" arg4=\"0.1\" "
            "arg5=\"2023-03-15T06:00:00.000Z\" arg6=\"12.345\" arg7=\"\" arg8=\"-5\"][hvdx@32473 "
            "Disk_Name_C=\"a\\]b\" Z_hler=\"7\" ABCDEFGHIJKLMNOPQRSTUVWXYZ012345=\"x\"] resource 1234");

  // Empty location and provider take the configured names; a bad date is nil.
  ItemRecord unnamed = Item(u"", u"", std::numeric_limits<double>::quiet_NaN(), 4, 8);
  unnamed.messageText = u"Gr\u00FC\u00DFe\n\u20AC";
  unnamed.messageId = 77;  // a resource message that carries its text as well
  unnamed.verbosity = -1;
  settings.facility = 16;
  EXPECT_EQ(SyslogMessage::Format(unnamed, kReceived, settings),
            "<134>1 - fallback-host hv-app - HVD [hvd@32473 audience=\"8\" severity=\"4\" verbosity=\"-1\" user=\"\" "
            "message_id=\"77\"] " + kBom + "Gr\xC3\xBC\xC3\x9F" + "e\n\xE2\x82\xAC");
  // Nothing configured: the header says "-"; a date before 100 AD is nil too; an empty text is no MSG at all.
  unnamed.messageText.clear();
  unnamed.messageId = -1;
  unnamed.dateTime = -700000.0;
  EXPECT_EQ(SyslogMessage::Format(unnamed, kReceived, ForwarderSettings()),
            "<134>1 - - - - HVD [hvd@32473 audience=\"8\" severity=\"4\" verbosity=\"-1\" user=\"\"]");
}

TEST(SyslogMessage, TheGravestSeverityBitDecidesAndValuesBecomeText) {
  const std::pair<int32_t, int> cases[] = {{1, 3}, {2, 4},  {4, 6},  {8, 5},  {3, 3}, {6, 4},  {12, 5}, {10, 4},
                                           {9, 3}, {5, 3}, {15, 3}, {14, 4}, {0, 6}, {16, 6}, {-1, 3}};
  for (auto [item, syslog] : cases) EXPECT_EQ(SyslogMessage::Severity(item), syslog) << "item severity " << item;
  ItemRecord item = Item(u"", u"", 0.0, 8);
  ForwarderSettings settings;
  settings.facility = 23;
  EXPECT_EQ(SyslogMessage::Format(item, kReceived, settings).substr(0, 7), "<189>1 ");

  const std::pair<VariantValue, const char*> values[] = {
      {Fixed(VT_I1, 1, 0x80), "-128"}, {Fixed(VT_UI1, 1, 0xFF), "255"}, {Fixed(VT_UI2, 2, 0xFFFF), "65535"},
      {Fixed(VT_BOOL, 2, 0), "false"}, {Fixed(VT_ERROR, 4, 0x80004005), "-2147467259"},
      {Fixed(VT_UI4, 4, 0xFFFFFFFF), "4294967295"}, {Fixed(VT_I8, 8, ~uint64_t(0)), "-1"},
      {Fixed(VT_UI8, 8, ~uint64_t(0)), "18446744073709551615"}, {Fixed(VT_CY, 8, uint64_t(-5000)), "-0.5"},
      {Fixed(VT_CY, 8, 70000), "7"}, {Fixed(VT_CY, 8, uint64_t(INT64_MIN)), "-922337203685477.5808"},
      {Float(VT_R4, 1.1f), "1.1"}, {Float(VT_R8, 1e300), "1e+300"},
      {Float(VT_DATE, 3e7), "3e+07"},  // no calendar date: the number
      {Text(VT_DECIMAL, u"12.5"), "12.5"}, {{VT_UNKNOWN, Form::NullObject, 0, 0, {}, false}, ""},
      {Text(VT_BSTR, std::u16string(u"a\xD800z")), "a\xEF\xBF\xBDz"}};  // a lone surrogate
  for (const auto& [value, text] : values) EXPECT_EQ(VariantToText(value), text) << "type " << value.vt;
}

TEST(SyslogMessage, ALongMessageIsCutToTheLimit) {
  ItemRecord item = Item(u"plant-7", u"Halvern.Tests", 45000.5);
  item.messageText = std::u16string(2000, u'\u00E9');  // 4000 bytes in UTF-8
  for (int i = 1; i <= 100; ++i) item.arguments.push_back(Text(VT_BSTR, u"value-" + std::u16string(10, u'v')));
  item.extended = {Extended(u"last", Fixed(VT_I4, 4, 1))};
  ForwarderSettings settings;
  settings.maxMessageBytes = 1024;
  std::string m = SyslogMessage::Format(item, kReceived, settings);
  // Filled to the last byte but for a character that did not fit whole.
  EXPECT_TRUE(m.size() == 1023u || m.size() == 1024u) << m.size();
  size_t bom = m.find(kBom);
  ASSERT_NE(bom, std::string::npos) << m;
  std::string text = m.substr(bom + kBom.size());
  ASSERT_EQ(text.size() % 2, 0u) << "a character was cut in half";
  for (size_t i = 0; i < text.size(); i += 2) ASSERT_EQ(text.substr(i, 2), "\xC3\xA9") << "at byte " << i;
  // The text has half the room after the header, less its space, the BOM and a character that did not fit.
  size_t header = m.find("[hvd@32473");
  EXPECT_EQ(header, 60u);
  EXPECT_GE(text.size(), (1024 - header) / 2 - 1 - kBom.size() - 1);
  // The arguments that fit come in order without a gap; the note counts the rest, the extended one among them.
  int kept = 0;
  while (m.find(" arg" + std::to_string(kept + 1) + "=") != std::string::npos) ++kept;
  EXPECT_GT(kept, 5);
  EXPECT_EQ(m.find(" arg" + std::to_string(kept + 2) + "="), std::string::npos);
  EXPECT_NE(m.find(" omitted=\"" + std::to_string(100 - kept + 1) + "\"]"), std::string::npos) << m;
  EXPECT_EQ(m.find("hvdx@32473"), std::string::npos);

  // A resource message keeps its whole MSG; the parameters give way.
  item.messageText.clear();
  item.messageId = 5;
  m = SyslogMessage::Format(item, kReceived, settings);
  EXPECT_LE(m.size(), 1024u);
  EXPECT_EQ(m.substr(m.size() - 12), "] resource 5");
}

TEST(ForwarderAdaptor, KeepsTheNewestItemsWhileTheServerIsAwayAndSendsThemInOrderWhenItComes) {
  FakeSyslogServer server;
  Harness h(server.port(), 10);
  std::string where = "127.0.0.1:" + std::to_string(server.port());
  h.Deliver(1, 30);
  EXPECT_EQ(h.forwarder->dropped(), 20u);
  EXPECT_EQ(h.forwarder->buffered(), 10u);
  h.ExpectLogged("cannot connect to " + where + ": Connection refused");
  h.ExpectLogged("the buffer is full (10 items); the oldest items are dropped");

  server.Listen();
  ASSERT_TRUE(server.Accept(5000)) << h.Log();
  EXPECT_EQ(server.Hosts(10), Names(21, 30));
  EXPECT_TRUE(WaitFor([&] { return h.forwarder->sent() == 10; }, 5000));
  h.ExpectLogged(": connected to " + where + " again after ");
  h.ExpectLogged("; 20 items dropped meanwhile because the buffer was full; sending 10 items from the buffer");
  h.ExpectLogged("cannot connect");  // one line for the whole outage

  // The link works: items go at once, and a new outage starts a new count.
  h.Deliver(31, 33);
  EXPECT_EQ(server.Hosts(3), Names(31, 33));
  EXPECT_EQ(h.forwarder->dropped(), 20u);
}

TEST(ForwarderAdaptor, AServerThatWentAwayGetsTheItemsOnItsReturnAndTheStopDrainsTheBuffer) {
  FakeSyslogServer server;
  server.Listen();
  Harness h(server.port(), 100);
  uint16_t port = server.port();
  h.Deliver(1, 5);
  ASSERT_TRUE(server.Accept(5000)) << h.Log();
  EXPECT_EQ(server.Hosts(5), Names(1, 5));

  // The server goes away while the connection is idle; nothing may be written into the dead connection.
  server.Close();
  h.ExpectLogged("the idle connection to 127.0.0.1:" + std::to_string(port) + " ended");
  h.Deliver(6, 12);
  h.ExpectLogged("cannot connect");
  EXPECT_EQ(h.forwarder->sent(), 5u);

  server.Bind(port);
  server.Listen();
  ASSERT_TRUE(server.Accept(5000)) << h.Log();
  EXPECT_EQ(server.Hosts(7), Names(6, 12));

  // Stopping sends what is buffered while the server takes it.
  h.Deliver(13, 15);
  h.forwarder->Stop();
  EXPECT_EQ(server.Hosts(3, 2000), Names(13, 15));
  EXPECT_EQ(h.forwarder->sent(), 15u);
  h.ExpectLogged("stopped; 15 items sent since start, 0 dropped, 0 still buffered and discarded");

  // The stop does not wait for a server that is not there.
  Harness absent(FakeSyslogServer().port(), 100);
  absent.Deliver(1, 4);
  auto start = Clock::now();
  absent.forwarder->Stop();
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
  absent.ExpectLogged("stopped; 0 items sent since start, 0 dropped, 4 still buffered and discarded");
}

TEST(ForwarderRsyslog, ItemsReachRsyslogAsStructuredSyslogMessages) {
  std::string program;
  for (const char* path : {"/usr/sbin/rsyslogd", "/sbin/rsyslogd", "/usr/local/sbin/rsyslogd", "/usr/bin/rsyslogd"})
    if (program.empty() && ::access(path, X_OK) == 0) program = path;
  if (program.empty())
    GTEST_SKIP() << "rsyslogd is not installed (Debian package rsyslog): the forwarder is not tried against it";
  TempDir dir;
  const int port = FakeSyslogServer().port();
  // Only a TCP input with its own ruleset, writing every message as it came and the fields rsyslog parsed:
  // the daemon's own messages reach no file, and nothing of the machine's logging is touched.
  const std::string d = dir.path();
  WriteFile(d + "/rsyslog.conf",
            "global(workDirectory=\"" + d + "\" maxMessageSize=\"64k\")\nmodule(load=\"imtcp\")\n"
            "template(name=\"hvRaw\" type=\"string\" string=\"%rawmsg%\\n\")\n"
            "template(name=\"hvFields\" type=\"string\" string=\"%pri%|%timereported:::date-rfc3339%|%hostname%|"
            "%app-name%|%procid%|%msgid%|%structured-data%|%msg%\\n\")\n"
            "ruleset(name=\"hv\") {\n  action(type=\"omfile\" file=\"" + d + "/raw.log\" template=\"hvRaw\")\n"
            "  action(type=\"omfile\" file=\"" + d + "/fields.log\" template=\"hvFields\")\n}\n"
            "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"" + std::to_string(port) + "\" ruleset=\"hv\")\n");
  HostProcess rsyslog({"-n", "-f", d + "/rsyslog.conf", "-i", d + "/rsyslog.pid"}, d + "/rsyslogd.out", program);
  ASSERT_TRUE(WaitFor([&] { return TestClient().Connect(port); }, 10000)) << rsyslog.Log();
  // Only the forwarder: the "5" answers then depend on it alone.
  WriteFile(d + "/tarnhost.conf",
            "[adaptor]\nkind = forwarder\nname = Central syslog\nclsid = {ED34F366-7CA7-4E2D-824E-7213D595AFB2}\n"
            "server = 127.0.0.1:" + std::to_string(port) + "\nfacility = local3\nhostname = fallback-host\n"
            "app_name = hv-app\n");
  RunningHost host(d, d + "/messages.db", d + "/tarnhost.conf");
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
  unnamed.severity = unnamed.audience = 8;
  const Bytes items[] = {resource.Build(), unnamed.Build()};
  for (int i = 0; i < 2; ++i) EXPECT_EQ(client.Log(items[i], i), S_OK) << host.process.Log();
  WaitFor([&] { return Lines(d + "/fields.log").size() >= 2; }, 10000);

  // rsyslog read every header field and the structured data as they were meant.
  std::vector<std::string> fields = Lines(d + "/fields.log");
  ASSERT_EQ(fields.size(), 2u) << host.process.Log() << rsyslog.Log();
  EXPECT_EQ(fields[0], "156|2023-03-15T06:00:00.000Z|Halle_3_S_d|Conveyor_Control|-|HVD|[hvd@32473 audience=\"6\" "
                       "severity=\"10\" verbosity=\"0\" user=\"ops\" message_id=\"1234\" location=\"Halle 3 S\xC3\xBC"
                       "d\" provider=\"Conveyor Control\" arg1=\"C:\" arg2=\"95\"][hvdx@32473 "
                       "Disk_Name=\"a\\]b\\\"c\\\\\"]|resource 1234");
  EXPECT_GE(fields[1].substr(4, 4), "2024") << "the time of receipt stands in for an unset datetime: " << fields[1];
  EXPECT_EQ(fields[1].substr(0, 4) + fields[1].substr(28),
            "157||fallback-host|hv-app|-|HVD|[hvd@32473 audience=\"8\" severity=\"8\" verbosity=\"0\" user=\"\"]|"
            "\xEF\xBB\xBFunnamed \xE2\x80\x94 bitte pr\xC3\xBC" "fen");
  // Byte for byte what the host's formatting makes of the item.
  ForwarderSettings settings;
  settings.facility = 19;
  ItemRecord item;
  std::string error;
  ASSERT_TRUE(ItemStreamDecoder::Decode(items[0].data(), items[0].size(), &item, &error)) << error;
  EXPECT_EQ(Lines(d + "/raw.log").at(0), SyslogMessage::Format(item, std::chrono::system_clock::now(), settings));

  host.process.Stop();
  EXPECT_NE(host.process.Log().find("stopped; 2 items sent since start, 0 dropped"), std::string::npos)
      << host.process.Log();
  rsyslog.Stop();
}
