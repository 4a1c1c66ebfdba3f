// The syslog message the forwarder makes of an item, byte for byte: header
// fields, severity, structured data with its escaping, the text and the
// octet-counting frame, and how a message is kept within its size limit.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "adaptors/SyslogMessage.h"
#include "adaptors/VariantText.h"

using namespace hv::host;

namespace {

const std::string kBom = "\xEF\xBB\xBF";
// 2023-11-14T22:13:20.123Z
const std::chrono::system_clock::time_point kReceived{std::chrono::milliseconds(1700000000123LL)};

VariantValue Fixed(uint16_t vt, uint8_t size, uint64_t bits) {
  VariantValue v;
  v.vt = vt;
  v.form = VariantValue::Form::Fixed;
  v.fixedSize = size;
  v.fixedBits = bits;
  return v;
}

VariantValue Double(uint16_t vt, double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, 8);
  return Fixed(vt, 8, bits);
}

VariantValue Text(uint16_t vt, std::u16string text) {
  VariantValue v;
  v.vt = vt;
  v.form = VariantValue::Form::Text;
  v.text = std::move(text);
  return v;
}

ExtendedParam Extended(std::u16string name, VariantValue value) {
  ExtendedParam e;
  e.name = std::move(name);
  e.declaredType = value.vt;
  e.value = std::move(value);
  return e;
}

}  // namespace

TEST(SyslogMessage, ItemsBecomeFramedMessagesWithEscapedData) {
  ItemRecord text;
  text.location = u"plant-7";
  text.provider = u"Halvern.Tests";
  text.userName = u"tester";
  text.messageText = u"Disk C: is 95% full";
  text.dateTime = 45000.5;
  text.severity = 1;
  text.audience = 1;
  text.verbosity = 2;
  EXPECT_EQ(SyslogMessage::Frame(SyslogMessage::Format(text, kReceived, ForwarderSettings())),
            "148 <131>1 2023-03-15T12:00:00.000Z plant-7 Halvern.Tests - HVD [hvd@32473 audience=\"1\" "
            "severity=\"1\" verbosity=\"2\" user=\"tester\"] " + kBom + "Disk C: is 95% full");
  EXPECT_EQ(SyslogMessage::Frame("\xC3\xA9"), "2 \xC3\xA9") << "the count is of bytes";

  ItemRecord resource;
  resource.location = u"Halle 3 S\u00FCd";
  resource.provider = u"Conveyor Control";
  resource.userName = u"ops\\\"x]";
  resource.dateTime = 0.0;  // never stamped: the time of receipt stands in
  resource.severity = 2 | 8;
  resource.audience = 6;
  resource.messageId = 1234;
  resource.arguments = {Text(VT_BSTR, u"C:\\"), Fixed(VT_I4, 4, 95),         Fixed(VT_BOOL, 2, 0xFFFF),
                        Double(VT_R8, 0.1),     Double(VT_DATE, 45000.25),    Fixed(VT_CY, 8, 123450),
                        Text(VT_EMPTY, u""),    Fixed(VT_I2, 2, 0xFFFB)};
  resource.extended = {Extended(u"Disk Name=C", Text(VT_BSTR, u"a]b")), Extended(u"Z\u00E4hler", Fixed(VT_I4, 4, 7)),
                       Extended(u"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd", Text(VT_BSTR, u"x"))};
  ForwarderSettings settings;
  settings.facility = 3;
  settings.hostname = "unused-host";
  settings.appName = "unused-app";
  EXPECT_EQ(SyslogMessage::Format(resource, kReceived, settings),
            "<28>1 2023-11-14T22:13:20.123Z Halle_3_S_d Conveyor_Control - HVD [hvd@32473 audience=\"6\" "
            "severity=\"10\" verbosity=\"0\" user=\"ops\\\\\\\"x\\]\" message_id=\"1234\" location=\"Halle 3 "
            "S\xC3\xBC"
            "d\" provider=\"Conveyor Control\" arg1=\"C:\\\\\" arg2=\"95\" arg3=\"true\" arg4=\"0.1\" "
            "arg5=\"2023-03-15T06:00:00.000Z\" arg6=\"12.345\" arg7=\"\" arg8=\"-5\"][hvdx@32473 "
            "Disk_Name_C=\"a\\]b\" Z_hler=\"7\" ABCDEFGHIJKLMNOPQRSTUVWXYZ012345=\"x\"] resource 1234");

  // Empty location and provider take the configured names; a bad date is nil.
  ItemRecord unnamed;
  unnamed.messageText = u"Gr\u00FC\u00DFe\n\u20AC";
  unnamed.messageId = 77;  // a resource message that carries its text as well
  unnamed.dateTime = std::numeric_limits<double>::quiet_NaN();
  unnamed.severity = 4;
  unnamed.audience = 8;
  unnamed.verbosity = -1;
  settings.facility = 16;
  settings.hostname = "fallback-host";
  settings.appName = "hv-app";
  EXPECT_EQ(SyslogMessage::Format(unnamed, kReceived, settings),
            "<134>1 - fallback-host hv-app - HVD [hvd@32473 audience=\"8\" severity=\"4\" verbosity=\"-1\" user=\"\" "
            "message_id=\"77\"] " + kBom + "Gr\xC3\xBC\xC3\x9F" + "e\n\xE2\x82\xAC");
  // Nothing configured: the header says "-"; a date before 100 AD is no
  // date either; an empty text is no MSG at all.
  unnamed.messageText.clear();
  unnamed.messageId = -1;
  unnamed.dateTime = -700000.0;
  EXPECT_EQ(SyslogMessage::Format(unnamed, kReceived, ForwarderSettings()),
            "<134>1 - - - - HVD [hvd@32473 audience=\"8\" severity=\"4\" verbosity=\"-1\" user=\"\"]");
}

TEST(SyslogMessage, TheGravestSeverityBitDecides) {
  const std::pair<int32_t, int> cases[] = {{1, 3}, {2, 4},  {4, 6},  {8, 5},  {3, 3}, {6, 4},  {12, 5}, {10, 4},
                                           {9, 3}, {5, 3}, {15, 3}, {14, 4}, {0, 6}, {16, 6}, {-1, 3}};
  for (auto [item, syslog] : cases) EXPECT_EQ(SyslogMessage::Severity(item), syslog) << "item severity " << item;
  ItemRecord item;
  item.severity = 8;
  ForwarderSettings settings;
  settings.facility = 23;
  EXPECT_EQ(SyslogMessage::Format(item, kReceived, settings).substr(0, 7), "<189>1 ");
}

TEST(SyslogMessage, ValuesBecomeText) {
  EXPECT_EQ(VariantToText(Fixed(VT_I1, 1, 0x80)), "-128");
  EXPECT_EQ(VariantToText(Fixed(VT_UI1, 1, 0xFF)), "255");
  EXPECT_EQ(VariantToText(Fixed(VT_UI2, 2, 0xFFFF)), "65535");
  EXPECT_EQ(VariantToText(Fixed(VT_BOOL, 2, 0)), "false");
  EXPECT_EQ(VariantToText(Fixed(VT_ERROR, 4, 0x80004005)), "-2147467259");
  EXPECT_EQ(VariantToText(Fixed(VT_UI4, 4, 0xFFFFFFFF)), "4294967295");
  EXPECT_EQ(VariantToText(Fixed(VT_I8, 8, ~uint64_t(0))), "-1");
  EXPECT_EQ(VariantToText(Fixed(VT_UI8, 8, ~uint64_t(0))), "18446744073709551615");
  EXPECT_EQ(VariantToText(Fixed(VT_CY, 8, uint64_t(-5000))), "-0.5");
  EXPECT_EQ(VariantToText(Fixed(VT_CY, 8, 70000)), "7");
  EXPECT_EQ(VariantToText(Fixed(VT_CY, 8, uint64_t(INT64_MIN))), "-922337203685477.5808");
  float f = 1.1f;
  uint32_t fbits;
  std::memcpy(&fbits, &f, 4);
  EXPECT_EQ(VariantToText(Fixed(VT_R4, 4, fbits)), "1.1");
  EXPECT_EQ(VariantToText(Double(VT_R8, 1e300)), "1e+300");
  EXPECT_EQ(VariantToText(Double(VT_DATE, 3e7)), "3e+07") << "no calendar date: the number";
  EXPECT_EQ(VariantToText(Text(VT_DECIMAL, u"12.5")), "12.5");
  VariantValue null;
  null.vt = VT_UNKNOWN;
  null.form = VariantValue::Form::NullObject;
  EXPECT_EQ(VariantToText(null), "");
  EXPECT_EQ(VariantToText(Text(VT_BSTR, std::u16string(u"a\xD800z"))), "a\xEF\xBF\xBDz") << "a lone surrogate";
}

TEST(SyslogMessage, ALongMessageIsCutToTheLimit) {
  ItemRecord item;
  item.location = u"plant-7";
  item.provider = u"Halvern.Tests";
  item.severity = 1;
  item.audience = 1;
  item.dateTime = 45000.5;
  item.messageText = std::u16string(2000, u'\u00E9');  // 4000 bytes in UTF-8
  for (int i = 1; i <= 100; ++i) item.arguments.push_back(Text(VT_BSTR, u"value-" + std::u16string(10, u'v')));
  item.extended = {Extended(u"last", Fixed(VT_I4, 4, 1))};
  ForwarderSettings settings;
  settings.maxMessageBytes = 1024;
  std::string m = SyslogMessage::Format(item, kReceived, settings);
  // Filled to the last byte but for a character that did not fit whole.
  EXPECT_GE(m.size(), 1023u);
  EXPECT_LE(m.size(), 1024u);
  size_t bom = m.find(kBom);
  ASSERT_NE(bom, std::string::npos) << m;
  std::string text = m.substr(bom + kBom.size());
  ASSERT_EQ(text.size() % 2, 0u) << "a character was cut in half";
  for (size_t i = 0; i < text.size(); i += 2) ASSERT_EQ(text.substr(i, 2), "\xC3\xA9") << "at byte " << i;
  // The text has at least half the room after the header (less its space,
  // the byte order mark and a character that did not fit).
  size_t header = m.find("[hvd@32473");
  EXPECT_EQ(header, 60u);
  EXPECT_GE(text.size(), (1024 - header) / 2 - 1 - kBom.size() - 1);
  // The arguments that fit come in order without a gap; the note counts
  // the rest, the extended parameter among them.
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
