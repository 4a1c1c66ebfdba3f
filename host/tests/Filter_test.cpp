// Filter documents: every condition read into its value, the XML forms a
// client's serialiser may produce, and every malformed document refused
// with a sentence naming the line and column.
#include <gtest/gtest.h>

#include "core/OleDate.h"
#include "store/Filter.h"

using namespace hv::host;

namespace {

Filter Parsed(std::string_view text) {
  Filter f;
  std::string error;
  EXPECT_TRUE(Filter::Parse(text, &f, &error)) << text << "\n" << error;
  return f;
}

std::string Refused(std::string_view text) {
  Filter f;
  std::string error;
  EXPECT_FALSE(Filter::Parse(text, &f, &error)) << text;
  return error;
}

constexpr double kMarch15 = 45000.0;  // 2023-03-15T00:00:00Z as an OLE date
constexpr double kMillisecond = 1.0 / 86400000.0;

}  // namespace

TEST(Filter, EveryConditionIsRead) {
  for (std::string_view text : {"", "  \r\n\t", "<Filter/>", "<?xml version=\"1.0\"?>\n<Filter>\n</Filter>\n"}) {
    Filter f = Parsed(text);
    EXPECT_FALSE(f.severities || f.audiences || f.maxVerbosity || f.from || f.before || f.location || f.provider ||
                 f.user || f.maxCount || !f.text.empty())
        << text;
  }
  Filter f = Parsed(
      "<Filter>\n"
      "  <Severity>Error, Audit</Severity>\n"
      "  <Audience>Op</Audience>\n"
      "  <MaxVerbosity>-2</MaxVerbosity>\n"
      "  <From>2023-03-15T06:00:00.250Z</From>\n"
      "  <Before>45001.5</Before>\n"
      "  <Location match=\"prefix\">Plant 1/</Location>\n"
      "  <Provider match=\"exact\">Conveyor</Provider>\n"
      "  <User match='prefix'>OPS\\</User>\n"
      "  <Text> jam </Text>\n"
      "  <MaxCount>500</MaxCount>\n"
      "</Filter>");
  EXPECT_EQ(f.severities, 9u);
  EXPECT_EQ(f.audiences, 8u);
  EXPECT_EQ(f.maxVerbosity, -2);
  ASSERT_TRUE(f.from && f.before && f.location && f.provider && f.user);
  EXPECT_NEAR(*f.from, kMarch15 + 0.25 + 250 * kMillisecond, 1e-9);
  EXPECT_EQ(*f.before, 45001.5);
  EXPECT_EQ(f.location->value, "Plant 1/");
  EXPECT_TRUE(f.location->prefix);
  EXPECT_EQ(f.provider->value, "Conveyor");
  EXPECT_FALSE(f.provider->prefix);
  EXPECT_EQ(f.user->value, "OPS\\");
  EXPECT_TRUE(f.user->prefix);
  EXPECT_EQ(f.text, " jam ") << "texts are taken exactly; only numbers and times are trimmed";
  EXPECT_EQ(f.maxCount, 500u);

  const std::pair<const char*, uint32_t> masks[] = {
      {"<Severity>Error|Warning</Severity>", 3}, {"<Severity> warning + INFO </Severity>", 6},
      {"<Severity>12</Severity>", 12}, {"<Audience>all</Audience>", 15 << 8}, {"<Audience>VELTRA,Dev,Eng</Audience>", 7 << 8}};
  for (const auto& [element, mask] : masks) {
    Filter m = Parsed(std::string("<Filter>") + element + "</Filter>");
    EXPECT_EQ(m.severities.value_or(0) | m.audiences.value_or(0) << 8, mask) << element;
  }
}

TEST(Filter, TimesAreIsoUtcOrOleDates) {
  const std::pair<const char*, double> cases[] = {
      {"2023-03-15", kMarch15},
      {"2023-03-15T06:00Z", kMarch15 + 0.25},
      {"2023-03-15T18:30:15Z", kMarch15 + (18 * 3600 + 30 * 60 + 15) / 86400.0},
      {"2023-03-15T00:00:00.5Z", kMarch15 + 500 * kMillisecond},
      {"2023-03-15T00:00:00.007Z", kMarch15 + 7 * kMillisecond},
      {"2000-02-29", 36585.0},
      {"1900-01-01", 2.0},
      {"9999-12-31T23:59:59.999Z", 2958465.0 + 86399999 * kMillisecond},
      {"45000", kMarch15},
      {" 45000.125 ", kMarch15 + 0.125},
      {"0", 0.0},
  };
  for (const auto& [text, expected] : cases) {
    Filter f = Parsed(std::string("<Filter><From>") + text + "</From></Filter>");
    ASSERT_TRUE(f.from) << text;
    EXPECT_NEAR(*f.from, expected, 1e-9) << text;
  }
  // The ISO reading is the inverse of the text the store keeps next to each time.
  double d;
  ASSERT_TRUE(IsoToOleDate("2026-12-05T22:12:27.598Z", &d));
  EXPECT_EQ(OleDateToIso(d), "2026-12-05T22:12:27.598Z");

  for (const char* t : {"2023-02-29", "2023-13-01", "2023-04-31", "1899-12-31", "2023-03-15T06:00:00",
                        "2023-03-15T24:00:00Z", "2023-03-15T06:60Z", "2023-03-15T06:00:00.1234Z",
                        "2023-03-15T06:00:00.Z", "2023-03-15t06:00:00z", "2023-03-15T06:00:00+01:00", "2023-3-15",
                        "-1", "1e5", "2958466", "45000.", ".5", "0x10", "yesterday", ""})
    EXPECT_EQ(Refused(std::string("<Filter><Before>") + t + "</Before></Filter>").rfind("filter, line 1, column 9: <Before> \"", 0),
              0u)
        << t;
  EXPECT_EQ(Refused("<Filter><Before>2023-03-15</Before><From>45000</From></Filter>"),
            "filter, line 1, column 1: <From> must be earlier than <Before>");
}

TEST(Filter, XmlFormsOfSerialisersAreRead) {
  // A byte-order mark, a declaration naming UTF-16 (the text came as UTF-16),
  // comments everywhere, references, CDATA and CR LF line ends.
  Filter f = Parsed(
      "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-16\"?>\r\n<!-- viewer -->\r\n"
      "<Filter><!-- what to find --><Text>&lt;jam&gt; &amp; &quot;&apos; &#65;&#x263A;<![CDATA[<&>]]>\r\nend</Text>"
      "<Location>a&#x9;b</Location></Filter>\r\n<!-- done -->");
  EXPECT_EQ(f.text, "<jam> & \"' A\xE2\x98\xBA<&>\nend");
  ASSERT_TRUE(f.location);
  EXPECT_EQ(f.location->value, "a\tb");
  std::string error;  // through the UTF-16 entry the client uses
  ASSERT_TRUE(Filter::Parse(std::u16string_view(u"<Filter><User>J\u00FCrgen</User></Filter>"), &f, &error)) << error;
  EXPECT_EQ(f.user->value, "J\xC3\xBCrgen");
}

TEST(Filter, MalformedDocumentsAreRefusedWithWhereAndWhy) {
  // The place is part of what the client shows; the rest of the sentence is
  // checked by a word that names the mistake.
  std::string deep = "<Filter>";
  for (int i = 0; i < 20; ++i) deep += "<a>";
  const std::pair<std::string, std::string> cases[] = {
      {"<Filter>", "line 1, column 9: <Filter> is not closed"},
      {"Severity=1", "line 1, column 1: text before"},
      {"<Filtre/>", "line 1, column 1: the document's element is <Filtre>"},
      {"<Filter version=\"1\"/>", "line 1, column 1: <Filter> has no attributes"},
      {"<Filter>\n  <Sevrity>Error</Sevrity>\n</Filter>", "line 2, column 3: unknown element <Sevrity>"},
      {"<Filter><Severity>Eror</Severity></Filter>", "line 1, column 9: <Severity> \"Eror\" is not a mask"},
      {"<Filter><Audience>16</Audience></Filter>", "line 1, column 9: <Audience> \"16\" is not a mask"},
      {"<Filter><Severity>none</Severity></Filter>", "line 1, column 9: <Severity> selects nothing"},
      {"<Filter><Audience>0</Audience></Filter>", "line 1, column 9: <Audience> selects nothing"},
      {"<Filter><Location>a</Location>\n<Location>b</Location></Filter>", "line 2, column 1: <Location> appears twice"},
      {"<Filter><Location match=\"Prefix\">a</Location></Filter>", "line 1, column 9: match=\"Prefix\""},
      {"<Filter><User kind=\"x\">a</User></Filter>", "line 1, column 9: <User> has no attribute kind"},
      {"<Filter><Text case=\"exact\">a</Text></Filter>", "line 1, column 9: <Text> has no attribute case"},
      {"<Filter><Location match=\"exact\" match=\"prefix\">a</Location></Filter>", "line 1, column 33: attribute match"},
      {"<Filter><MaxCount>0</MaxCount></Filter>", "line 1, column 9: <MaxCount> \"0\""},
      {"<Filter><MaxCount>2147483648</MaxCount></Filter>", "line 1, column 9: <MaxCount> \"2147483648\""},
      {"<Filter><MaxVerbosity>1.5</MaxVerbosity></Filter>", "line 1, column 9: <MaxVerbosity> \"1.5\""},
      {"<Filter><Severity>Error<b/></Severity></Filter>", "line 1, column 24: <Severity> holds text only"},
      {"<Filter><Text>a</Text>junk</Filter>", "line 1, column 1: text directly inside <Filter>"},
      {"<Filter><Text>a</Txt></Filter>", "line 1, column 18: </Txt> closes <Text>"},
      {"<Filter><Text>&bogus;</Text></Filter>", "line 1, column 15: unknown entity &bogus;"},
      {"<Filter><Text>a&#0;</Text></Filter>", "line 1, column 16: &#0;"},
      {"<Filter><Text>a & b</Text></Filter>", "line 1, column 17: \"&\""},
      {"<Filter/><Filter/>", "line 1, column 10: more after the end"},
      {"<!DOCTYPE Filter [<!ENTITY x \"y\">]><Filter/>", "line 1, column 1: DOCTYPE"},
      {"<?xml-stylesheet href=\"x\"?><Filter/>", "line 1, column 1: processing instructions"},
      {"<Filter><!-- a -- b --></Filter>", "line 1, column 16: \"--\" inside a comment"},
      {"<Filter><Text>\x01</Text></Filter>", "line 1, column 15: control character 1"},
      {"<Filter><Text>]]></Text></Filter>", "line 1, column 15: \"]]>\""},
      {"<Filter><Location match=prefix>a</Location></Filter>", "line 1, column 25: an attribute value in quotes"},
      {"<Filter><Location match=\"a<b\">a</Location></Filter>", "line 1, column 27: \"<\" inside an attribute"},
      {"<Filter><Location\tmatch=\"exact\"match=\"prefix\">a</Location></Filter>", "line 1, column 32: a space"},
      {"<Filter><1/></Filter>", "line 1, column 10: a name was expected"},
      {"<Filter><Text>\xC3\xA9t\xC3\xA9 &x;</Text></Filter>", "line 1, column 19: unknown entity &x;"},
      {deep, "line 1, column 54: elements nest deeper than 16 levels"},
  };
  for (const auto& [text, error] : cases) EXPECT_EQ(Refused(text).rfind("filter, " + error, 0), 0u) << text;

  std::u16string longText = u"<Filter><Text>" + std::u16string(Filter::kMaxLength, u'x') + u"</Text></Filter>";
  Filter f;
  std::string error;
  EXPECT_FALSE(Filter::Parse(std::u16string_view(longText), &f, &error));
}
