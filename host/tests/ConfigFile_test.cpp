// The configuration file with the forwarder's keys, transport addresses,
// class id text, numbers, the ISO form of item times and UTF-16/UTF-8.
#include <gtest/gtest.h>

#include <cmath>

#include "core/ConfigFile.h"
#include "core/Decimal.h"
#include "core/HResult.h"
#include "core/OleDate.h"
#include "core/TransportAddress.h"
#include "core/Utf.h"

using namespace hv::host;

namespace {
const std::string kStore = "[adaptor]\nkind = store\nname = S\nclsid = {1B67ABEC-0E98-4B4F-9A72-A366625F20D6}\n";
const std::string kForwarder =
    "database = x.db\n[adaptor]\nkind = forwarder\nname = F\nclsid = {ED34F366-7CA7-4E2D-824E-7213D595AFB2}\n";
}  // namespace

TEST(ConfigFile, ReadsEveryKeyAndResolvesRelativePaths) {
  const char* text = R"(
# tarnhost
listen = ip:127.0.0.1:61000
database = data/messages.db
log_file = /var/log/tarnhost.log
max_connections = 12

[adaptor]
kind = store
name = Werk 3 store
clsid = {1b67abec-0e98-4b4f-9a72-a366625f20d6}
enable.VELTRA = Error, Warning
enable.dev = 15
enable.eng = none
; Op left out: everything the adaptor handles

[adaptor]
kind = forwarder
name = Central syslog
clsid = {ED34F366-7CA7-4E2D-824E-7213D595AFB2}
audiences = VELTRA|Op
severities = Error+Audit
enable.op = audit
server = logs.example.net:6514
facility = DAEMON
app_name = plant-7
hostname = werk3
buffer_items = 500
reconnect_max_ms = 1000
max_message_bytes = 65536
)";
  HostSettings s;
  std::string error;
  ASSERT_TRUE(ConfigFile::Parse(text, "/etc/halvern", &s, &error)) << error;
  EXPECT_EQ(s.listen, "ip:127.0.0.1:61000");
  EXPECT_EQ(s.database, "/etc/halvern/data/messages.db");
  EXPECT_EQ(s.logFile, "/var/log/tarnhost.log");
  EXPECT_EQ(s.maxConnections, 12u);
  ASSERT_EQ(s.adaptors.size(), 2u);
  EXPECT_EQ(s.adaptors[0].kind, AdaptorKind::Store);
  EXPECT_EQ(s.adaptors[0].name, "Werk 3 store");
  EXPECT_EQ(s.adaptors[0].clsid, ConfigFile::StoreAdaptorClsid());
  EXPECT_EQ(s.adaptors[0].enableFlags, (std::array<uint8_t, 4>{3, 15, 0, 15}));
  EXPECT_EQ(s.adaptors[1].kind, AdaptorKind::Forwarder);
  EXPECT_EQ(s.adaptors[1].audienceMask, 9u);
  EXPECT_EQ(s.adaptors[1].severityMask, 9u);
  // VELTRA left out on an adaptor that handles Error and Audit only.
  EXPECT_EQ(s.adaptors[1].enableFlags, (std::array<uint8_t, 4>{9, 0, 0, 8}));
  const ForwarderSettings& f = s.adaptors[1].forwarder;
  EXPECT_EQ(f.server, "logs.example.net:6514");
  EXPECT_EQ(f.facility, 3);
  EXPECT_EQ(f.appName, "plant-7");
  EXPECT_EQ(f.hostname, "werk3");
  EXPECT_EQ(f.bufferItems, 500u);
  EXPECT_EQ(f.reconnectMaxMs, 1000);
  EXPECT_EQ(f.maxMessageBytes, 65536u);

  ASSERT_TRUE(ConfigFile::Parse(kForwarder, "", &s, &error)) << error;
  EXPECT_EQ(s.adaptors.at(0).forwarder.server, "127.0.0.1:514");
  EXPECT_EQ(s.adaptors.at(0).forwarder.facility, 16);
  EXPECT_EQ(s.adaptors.at(0).forwarder.bufferItems, 10000u);
  // Without a file: the store takes everything, the forwarder nothing.
  s = ConfigFile::Defaults();
  EXPECT_EQ(s.listen, "ip:127.0.0.1:60093");
  ASSERT_EQ(s.adaptors.size(), 2u);
  EXPECT_EQ(s.adaptors[0].enableFlags, (std::array<uint8_t, 4>{15, 15, 15, 15}));
  EXPECT_EQ(s.adaptors[1].clsid, ConfigFile::ForwarderAdaptorClsid());
  EXPECT_EQ(s.adaptors[1].enableFlags, (std::array<uint8_t, 4>{0, 0, 0, 0}));
  for (const auto& a : s.adaptors) EXPECT_TRUE(ConfigFile::Validate(a, &error)) << error;
}

TEST(ConfigFile, MistakesAreRefusedWithTheirLine) {
  const std::pair<std::string, std::string> cases[] = {
      {"listen = ip:1\nport = 5\n", "line 2: unknown key port"},
      {"listen = a\nlisten = b\n", "line 2: listen is given twice"},
      {"[adaptors]\n", "line 1: unknown section"},
      {"max_connections = 0\n", "line 1: max_connections"},
      {"just words\n", "line 1: expected key = value"},
      {"tls_certificate = c.pem\ntls_key = k.pem\n", "tls_certificate, tls_key and tls_client_ca go together"},
      {"tls_required = yes\n", "tls_required = yes needs"},
      {"[adaptor]\nkind = store\nname = S\n", "line 1: an adaptor needs kind, name and clsid"},
      {"[adaptor]\nkind = disk\n", "line 2: kind must be"},
      {"[adaptor]\nclsid = 1B67ABEC-0E98-4B4F-9A72-A366625F20D6\n", "line 2: clsid must be written"},
      {kStore + "enable.op = fatal\n", "line 5: enable.op"},
      {kStore + "enable.all = 1\n", "line 5: unknown audience"},
      {kStore + "enable.op = 16\n", "line 5: enable.op"},
      {kStore + "severities = error\nenable.op = warning\n", "enable.op names a severity"},
      {kStore + "audiences = dev\nenable.op = error\n", "enable.op is set for an audience"},
      {kStore + "[adaptor]\nkind = store\nname = T\nclsid = {00000000-0000-0000-0000-000000000001}\n",
       "only one store adaptor"},
      {kStore + "[adaptor]\nkind = forwarder\nname = F\nclsid = {1B67ABEC-0E98-4B4F-9A72-A366625F20D6}\n",
       "is used twice"},
      {"[adaptor]\nkind = store\nname = " + std::string(130, 'n') + "\nclsid = {1B67ABEC-0E98-4B4F-9A72-A366625F20D6}\n",
       "1 to 129 characters"},
      {kForwarder + "server = 127.0.0.1\n", "line 6: server must be HOST:PORT"},
      {kForwarder + "server = 127.0.0.1:0\n", "line 6: server must be HOST:PORT"},
      {kForwarder + "server = ::1:514\n", "line 6: server must be HOST:PORT"},
      {kForwarder + "facility = local8\n", "line 6: facility must be"},
      {kForwarder + "facility = 24\n", "line 6: facility must be"},
      {kForwarder + "app_name = two words\n", "line 6: app_name must be"},
      {kForwarder + "app_name = " + std::string(49, 'a') + "\n", "line 6: app_name must be"},
      {kForwarder + "hostname = h\xC3\xBCtte\n", "line 6: hostname must be"},
      {kForwarder + "buffer_items = 0\n", "line 6: buffer_items must be"},
      {kForwarder + "reconnect_max_ms = 99\n", "line 6: reconnect_max_ms must be"},
      {kForwarder + "max_message_bytes = 1023\n", "line 6: max_message_bytes must be"},
      {kForwarder + "server = a:1\nserver = b:2\n", "line 7: server is given twice"},
      {"[adaptor]\nserver = a:1\nkind = store\nname = S\nclsid = {1B67ABEC-0E98-4B4F-9A72-A366625F20D6}\n",
       "line 1: server is a key of forwarder adaptors only"},
  };
  for (const auto& [text, expected] : cases) {
    HostSettings s;
    std::string error;
    EXPECT_FALSE(ConfigFile::Parse(text, "", &s, &error)) << text;
    EXPECT_NE(error.find(expected), std::string::npos) << "for:\n" << text << "got: " << error;
  }
  HostSettings s;
  std::string error;
  EXPECT_FALSE(ConfigFile::Load("/nonexistent/tarnhost.conf", &s, &error));
  EXPECT_NE(error.find("/nonexistent/tarnhost.conf"), std::string::npos) << error;
}

TEST(ConfigFile, ValuesOfTheirOwnKind) {
  Guid g;
  ASSERT_TRUE(Guid::Parse("{00112233-4455-6677-8899-AABBCCDDEEFF}", &g));  // the in-memory layout
  EXPECT_EQ(g.bytes(), (std::array<uint8_t, 16>{0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66, 0x88, 0x99, 0xAA,
                                               0xBB, 0xCC, 0xDD, 0xEE, 0xFF}));
  EXPECT_EQ(g.ToRegistryString(), "{00112233-4455-6677-8899-AABBCCDDEEFF}");
  for (const char* bad : {"00112233-4455-6677-8899-AABBCCDDEEFF", "{00112233-4455-6677-8899-AABBCCDDEEF}",
                          "{00112233-4455-6677-8899_AABBCCDDEEFF}", "{0011223G-4455-6677-8899-AABBCCDDEEFF}"})
    EXPECT_FALSE(Guid::Parse(bad, &g)) << bad;

  TransportAddress a;
  std::string error;
  ASSERT_TRUE(TransportAddress::Parse("ip:127.0.0.1:60093", &a, &error)) << error;
  EXPECT_EQ(a.ipv4(), "127.0.0.1");
  EXPECT_EQ(a.port(), 60093);
  ASSERT_TRUE(TransportAddress::Parse("ip:60093", &a, &error)) << error;
  EXPECT_EQ(a.ToString(), "ip:0.0.0.0:60093");
  for (const char* bad : {"tcp:127.0.0.1:1", "ip:", "ip:127.0.0.1:", "ip:127.0.0.1:65536", "ip:localhost:1",
                          "ip:1.2.3:4", "ip:127.0.0.1:-1"})
    EXPECT_FALSE(TransportAddress::Parse(bad, &a, &error)) << bad;
  std::string host;
  uint16_t port = 0;
  EXPECT_TRUE(SplitServerAddress("[::1]:514", &host, &port) && host == "::1" && port == 514);
  int facility = -1;
  EXPECT_TRUE(ParseFacility("local7", &facility) && facility == 23);
  EXPECT_TRUE(ParseFacility("0", &facility) && facility == 0);

  int32_t v;
  EXPECT_TRUE(ParseInt32("-2147483648", &v) && v == INT32_MIN);
  EXPECT_TRUE(ParseInt32("2147483647", &v) && v == INT32_MAX);
  for (const char* bad : {"", "-", "2147483648", "+1", " 1", "1 ", "0x10", "12345678901"})
    EXPECT_FALSE(ParseInt32(bad, &v)) << bad;
  EXPECT_EQ(FormatInt32(E_FAIL), "-2147467259");
}

TEST(ConfigFile, OleDatesBecomeIsoText) {
  const std::pair<double, const char*> cases[] = {
      {0.0, "1899-12-30T00:00:00.000Z"},
      {45000.5, "2023-03-15T12:00:00.000Z"},
      {36526.0 + 1.0 / 86400000.0 * 1500.0, "2000-01-01T00:00:01.500Z"},
      {-1.25, "1899-12-29T06:00:00.000Z"},  // before 1899-12-30 the fraction still counts from midnight
      {1.0 - 1e-10, "1899-12-31T00:00:00.000Z"},  // rounding up to midnight belongs to the next day
      {2958465.0, "9999-12-31T00:00:00.000Z"},
  };
  for (const auto& [date, iso] : cases) EXPECT_EQ(OleDateToIso(date), iso) << date;
  for (double bad : {2958466.0, -657435.0, std::nan("")}) EXPECT_FALSE(OleDateToIso(bad)) << bad;
}

TEST(Text, Utf16AndUtf8MeetAtTheStoreAndTheConfiguration) {
  const std::u16string wide = u"K\u00E9 \u20AC \U0001F600";  // a surrogate pair at the end
  const std::string narrow = "K\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80";
  EXPECT_EQ(Utf16ToUtf8(wide), narrow);
  EXPECT_EQ(Utf8ToUtf16(narrow), wide);
  // Damage becomes U+FFFD instead of being refused or passed on.
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800)) + u"a"), "\xEF\xBF\xBD" "a");
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xDC00))), "\xEF\xBF\xBD");
  EXPECT_EQ(Utf8ToUtf16("a\xC3"), u"a\uFFFD");
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");            // overlong "/"
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // an encoded surrogate
}
