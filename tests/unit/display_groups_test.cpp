// The field groups a viewer is offered and the definition of one group, in
// the viewer's language, built from the definition files of the folder.
#include <string>
#include <vector>

#include "display_test_folder.h"

namespace hv::test {
namespace {

constexpr ULONG kGerman = 0x0407;
constexpr ULONG kEnglish = 0x0409;  // "en", like every English locale
constexpr ULONG kEnglishUk = 0x0809;
constexpr ULONG kFrench = 0x040C;
constexpr ULONG kFrenchCanada = 0x0C0C;
// Ids outside the table: German with a sort id, and the neutral 0. Viewers
// with them get the code "en-us", which only "en-us" texts match exactly.
constexpr ULONG kGermanPhonebook = 0x10407;
constexpr ULONG kNeutral = 0;

using DisplayGroupsTest = DefinitionFolderTest;

// The strings of a VT_ARRAY | VT_VARIANT list of BSTRs with lower bound 0.
std::vector<std::wstring> Strings(const VARIANT& list) {
  std::vector<std::wstring> strings;
  EXPECT_EQ(list.vt, VT_ARRAY | VT_VARIANT);
  if (list.vt != (VT_ARRAY | VT_VARIANT)) return strings;
  EXPECT_EQ(SafeArrayGetDim(list.parray), 1u);
  LONG lower = -1, upper = -1;
  SafeArrayGetLBound(list.parray, 1, &lower);
  SafeArrayGetUBound(list.parray, 1, &upper);
  EXPECT_EQ(lower, 0);
  for (LONG i = lower; i <= upper; ++i) {
    unique_variant element;
    EXPECT_HRESULT_SUCCEEDED(SafeArrayGetElement(list.parray, &i, element.get()));
    EXPECT_EQ(element->vt, VT_BSTR) << "element " << i;
    strings.push_back(element->vt == VT_BSTR ? element->bstrVal : L"?");
  }
  return strings;
}

// The listed groups as "name=type|name=type", for exact comparison.
std::string GroupList(ITAVDiagnosticLogDisplay* display, ULONG lcid) {
  unique_variant names, types;
  const HRESULT hr = display->GetReaderFieldGroupNames(lcid, names.get(), types.get());
  EXPECT_EQ(hr, S_OK);
  const auto nameList = Strings(*names.get());
  const auto typeList = Strings(*types.get());
  EXPECT_EQ(nameList.size(), typeList.size()) << "names and types must pair up";
  std::wstring joined;
  for (size_t i = 0; i < nameList.size(); ++i) {
    if (i) joined += L"|";
    joined += nameList[i] + L"=" + (i < typeList.size() ? typeList[i] : L"?");
  }
  return Narrow(joined);
}

std::string Definition(ITAVDiagnosticLogDisplay* display, ULONG lcid, const wchar_t* name, const wchar_t* type) {
  unique_bstr bname(name ? SysAllocString(name) : nullptr);
  unique_bstr btype(type ? SysAllocString(type) : nullptr);
  unique_bstr schema;
  EXPECT_EQ(display->GetGroupDefinition(lcid, bname.get(), btype.get(), schema.put()), S_OK);
  return schema ? Narrow(schema.get()) : "<null>";
}

// ANSI bytes: the tests run with the Western code page, where 0xE4 is "ä".
const std::string kGroupsFile =
    "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\r\n"
    "<Definitions>\r\n"
    "  <Group Name=\"Pump\">\r\n"
    "    <DisplayName xml:lang=\"en\">Pump</DisplayName>\r\n"
    "    <DisplayName xml:lang=\"de\">Pumpe</DisplayName>\r\n"
    "  </Group>\r\n"
    "  <Group Name=\"Valve\">\r\n"
    "    <DisplayName xml:lang=\"en-us\">Valve (US)</DisplayName>\r\n"
    "    <DisplayName xml:lang=\"en-gb\">Valve</DisplayName>\r\n"
    "  </Group>\r\n"
    "  <Group Name=\"Tank\">\r\n"
    "    <DisplayName xml:lang=\"fr\">R\xe9servoir &amp; niveau</DisplayName>\r\n"
    "  </Group>\r\n"
    "  <Group Name=\"Motor\">\r\n"
    "    <DisplayName xml:lang=\"EN\">Motor</DisplayName>\r\n"
    "    <DisplayName xml:lang=\"de\">Antrieb</DisplayName>\r\n"
    "  </Group>\r\n"
    "  <!-- a comment is no entry -->\r\n"
    "  <Field><Name>Batch</Name></Field>\r\n"
    "  <Group>\r\n"
    "    <DisplayName xml:lang=\"en\">Unnamed</DisplayName>\r\n"
    "  </Group>\r\n"
    "  <group Name=\"Dosing\">\r\n"
    "    <x:displayname xmlns:x=\"urn:x\" xml:lang=\"en\">PUMP</x:displayname>\r\n"
    "  </group>\r\n"
    "  <Group Name=\"Plain\">\r\n"
    "    <DisplayName>Plain</DisplayName>\r\n"
    "  </Group>\r\n"
    "  <Group Name=\"Blank\">\r\n"
    "    <DisplayName xml:lang=\"en\"></DisplayName>\r\n"
    "  </Group>\r\n"
    "</Definitions>\r\n";

TEST_F(DisplayGroupsTest, ListsEachGroupOnceInTheViewersLanguage) {
  ASSERT_EQ(GetACP(), 1252u) << "the ANSI texts below are Western";
  Install(L"groups.hvds", kGroupsFile);
  auto display = NewDisplay();
  ASSERT_TRUE(display);

  // German names where there are, English ones otherwise; a group named in
  // neither (only French, only "EN" in capitals, no language at all) is
  // "No Group", which stands for the top-level fields and has no type. The
  // Dosing group's English name repeats "Pump" only for English viewers.
  EXPECT_EQ(GroupList(display.get(), kGerman),
            "Pumpe=Pump|Valve=Valve|No Group= |Antrieb=Motor|Unnamed= |PUMP=Dosing");
  // Every English variant counts for an English viewer; of two, the later wins.
  EXPECT_EQ(GroupList(display.get(), kEnglish), "Pump=Pump|Valve=Valve|No Group= |Unnamed= ");
  EXPECT_EQ(GroupList(display.get(), kEnglishUk), "Pump=Pump|Valve=Valve|No Group= |Unnamed= ");
  // A language the files lack falls back to English; texts are unescaped.
  EXPECT_EQ(GroupList(display.get(), kFrench),
            "Pump=Pump|Valve=Valve|R\xc3\xa9servoir & niveau=Tank|No Group= |Unnamed= ");
  // "fr-ca" is not "fr".
  EXPECT_EQ(GroupList(display.get(), kFrenchCanada), "Pump=Pump|Valve=Valve|No Group= |Unnamed= ");
  // "en-us" matches exactly, not as English in general.
  EXPECT_EQ(GroupList(display.get(), kGermanPhonebook), "Pump=Pump|Valve (US)=Valve|No Group= |Unnamed= ");
  EXPECT_EQ(GroupList(display.get(), kNeutral), "Pump=Pump|Valve (US)=Valve|No Group= |Unnamed= ");
}

TEST_F(DisplayGroupsTest, ListsGroupsOfAllFilesAndSkipsFilesThatAreNotWellFormed) {
  Install(L"pump.hvds",
          "<D><Group Name=\"Pump\"><DisplayName xml:lang=\"de\">Pumpe</DisplayName>"
          "<DisplayName xml:lang=\"en\">Pump</DisplayName></Group></D>");
  Install(L"extras.hvds",
          "<D><Group Name=\"PumpExtras\"><DisplayName xml:lang=\"de\">PUMPE</DisplayName>"
          "<DisplayName xml:lang=\"en\">Pump extras</DisplayName></Group>"
          "<Group Name=\"Filter\"><DisplayName xml:lang=\"de\">Filter</DisplayName></Group></D>");
  Install(L"broken.hvds", "<D><Group Name=\"Broken\"><DisplayName xml:lang=\"de\">Kaputt</DisplayName></D>");
  auto display = NewDisplay();
  ASSERT_TRUE(display);

  std::string german, english;
  for (const auto& file : InReadingOrder({L"pump.hvds", L"extras.hvds"})) {
    // A name already listed from an earlier file is not listed again.
    if (file == L"pump.hvds") {
      german += german.empty() ? "Pumpe=Pump" : "";
      english += "|Pump=Pump";
    } else {
      german += german.empty() ? "PUMPE=PumpExtras|Filter=Filter" : "|Filter=Filter";
      english += "|Pump extras=PumpExtras|No Group= ";
    }
  }
  EXPECT_EQ(GroupList(display.get(), kGerman), german);
  EXPECT_EQ(GroupList(display.get(), kEnglish), english.substr(1));
}

const std::string kDefinitionFile =
    "<d:Definitions xmlns:d=\"urn:corvala:hvds\">\r\n"
    "  <d:Group Name=\"Pump\">\r\n"
    "    <Field><Name>BeforeTheNames</Name></Field>\r\n"
    "    <DisplayName xml:lang=\"en\">Pump</DisplayName>\r\n"
    "    <DisplayName xml:lang=\"de\">Pumpe</DisplayName>\r\n"
    "    <FIELD TYPE=\"base\">\r\n"
    "      <Name>State</Name>\r\n"
    "      <Label xml:lang=\"en-gb\">Operating state</Label>\r\n"
    "      <Label xml:lang=\"de\">Betriebszustand</Label>\r\n"
    "      <Label xml:lang=\"FR-CA\">\xc9tat</Label>\r\n"
    "      <!-- comments and stray text inside a field are not properties -->\r\n"
    "      stray\r\n"
    "      <x:Unit xmlns:x=\"urn:x\">h &amp; &lt;min&gt;</x:Unit>\r\n"
    "      <enummap>\r\n"
    "        <Value value=\"1\">\r\n"
    "          <Text xml:lang=\"en\">Running</Text>\r\n"
    "          <Text xml:lang=\"de\">L\xe4uft</Text>\r\n"
    "          <?hint ignored?>\r\n"
    "          <Color>green</Color>\r\n"
    "        </Value>\r\n"
    "        <Other value=\"\">\r\n"
    "          <text xml:lang=\"de\">Unbekannt</text>\r\n"
    "          <Text>without language</Text>\r\n"
    "        </Other>\r\n"
    "      </enummap>\r\n"
    "    </FIELD>\r\n"
    "    <Remark>not a field</Remark>\r\n"
    "    <Field type=\"BASE\"><Name>location</Name><Label>Station</Label><Hint xml:lang=\"\">none</Hint></Field>\r\n"
    "  </d:Group>\r\n"
    "  <Field Type=\"base\">\r\n"
    "    <Name>Batch</Name>\r\n"
    "    <Label xml:lang=\"en-us\">Batch</Label>\r\n"
    "    <Label xml:lang=\"de\">Charge</Label>\r\n"
    "  </Field>\r\n"
    "</d:Definitions>\r\n";

TEST_F(DisplayGroupsTest, WritesTheFieldsAfterTheMatchingDisplayNameForTheViewer) {
  ASSERT_EQ(GetACP(), 1252u) << "the ANSI texts below are Western";
  Install(L"pump.hvds", kDefinitionFile);
  auto display = NewDisplay();
  ASSERT_TRUE(display);

  // Asked first, the definition loads the files itself. The name is matched
  // without regard to case and written as the viewer gave it.
  EXPECT_EQ(Definition(display.get(), kGerman, L"PUMPE", L"Pump"),
            "<Group Name=\"Pump\">\n"
            "\t<DisplayName>PUMPE</DisplayName>\n"
            "\t<Field>\n"
            "\t\t<Name>State</Name>\n"
            "\t\t<Label>Betriebszustand</Label>\n"
            "\t\t<Unit>h & <min></Unit>\n"
            "\t\t<EnumMap>\n"
            "\t\t\t<Value value=\"1\">\n"
            "\t\t\t\t<Text>L\xc3\xa4uft</Text>\n"
            "\t\t\t\t<Color>green</Color>\n"
            "\t\t\t</Value>\n"
            "\t\t\t<Other>\n"
            "\t\t\t\t<text>Unbekannt</text>\n"
            "\t\t\t</Other>\n"
            "\t\t</EnumMap>\n"
            "\t</Field>\n"
            "\t<Field type=\"Base\">\n"
            "\t\t<Name>location</Name>\n"
            "\t\t<Label>Station</Label>\n"
            "\t</Field>\n"
            "</Group>\n");

  // The English display name finds the group too; the texts follow the viewer.
  EXPECT_EQ(Definition(display.get(), kFrenchCanada, L"Pump", L"Pump"),
            "<Group Name=\"Pump\">\n"
            "\t<DisplayName>Pump</DisplayName>\n"
            "\t<Field>\n"
            "\t\t<Name>State</Name>\n"
            "\t\t<Label>\xc3\x89tat</Label>\n"
            "\t\t<Unit>h & <min></Unit>\n"
            "\t\t<EnumMap>\n"
            "\t\t\t<Value value=\"1\">\n"
            "\t\t\t\t<Color>green</Color>\n"
            "\t\t\t</Value>\n"
            "\t\t\t<Other>\n"
            "\t\t\t</Other>\n"
            "\t\t</EnumMap>\n"
            "\t</Field>\n"
            "\t<Field type=\"Base\">\n"
            "\t\t<Name>location</Name>\n"
            "\t\t<Label>Station</Label>\n"
            "\t</Field>\n"
            "</Group>\n");

  EXPECT_EQ(Definition(display.get(), kEnglish, L"Pumpe", L"Pump"),
            "<Group Name=\"Pump\">\n"
            "\t<DisplayName>Pumpe</DisplayName>\n"
            "\t<Field>\n"
            "\t\t<Name>State</Name>\n"
            "\t\t<Label>Operating state</Label>\n"
            "\t\t<Unit>h & <min></Unit>\n"
            "\t\t<EnumMap>\n"
            "\t\t\t<Value value=\"1\">\n"
            "\t\t\t\t<Text>Running</Text>\n"
            "\t\t\t\t<Color>green</Color>\n"
            "\t\t\t</Value>\n"
            "\t\t\t<Other>\n"
            "\t\t\t</Other>\n"
            "\t\t</EnumMap>\n"
            "\t</Field>\n"
            "\t<Field type=\"Base\">\n"
            "\t\t<Name>location</Name>\n"
            "\t\t<Label>Station</Label>\n"
            "\t</Field>\n"
            "</Group>\n");

  // The top-level fields are "No Group", always with their English texts
  // ("Type" is not the attribute "type").
  EXPECT_EQ(Definition(display.get(), kGerman, L"no group", L" "),
            "<Group Name=\" \">\n"
            "\t<DisplayName>no group</DisplayName>\n"
            "\t<Field>\n"
            "\t\t<Name>Batch</Name>\n"
            "\t\t<Label>Batch</Label>\n"
            "\t</Field>\n"
            "</Group>\n");

  // A group found nowhere, and missing strings, give the frame alone.
  EXPECT_EQ(Definition(display.get(), kGerman, L"Tank", L"Tank"),
            "<Group Name=\"Tank\">\n\t<DisplayName>Tank</DisplayName>\n</Group>\n");
  EXPECT_EQ(Definition(display.get(), kGerman, nullptr, nullptr),
            "<Group Name=\"\">\n\t<DisplayName></DisplayName>\n</Group>\n");
}

TEST_F(DisplayGroupsTest, WritesTheFieldsOfEveryFileThatHoldsTheGroup) {
  Install(L"a.hvds",
          "<D><Group Name=\"Pump\"><DisplayName xml:lang=\"de\">Pumpe</DisplayName>"
          "<Field><Name>Pressure</Name></Field></Group>"
          "<Field><Name>Batch</Name></Field></D>");
  Install(L"b.hvds",
          "<D><Group Name=\"PumpMore\"><DisplayName xml:lang=\"en\">Pump</DisplayName>"
          "<DisplayName xml:lang=\"de\">pumpe</DisplayName><Field><Name>Speed</Name></Field></Group>"
          "<Field><Name>Operator</Name></Field></D>");
  Install(L"c.hvds", "<D><Group Name=\"Pump\"><DisplayName xml:lang=\"de\">Pumpe</DisplayName>");
  auto display = NewDisplay();
  ASSERT_TRUE(display);

  std::string pumpFields, topLevelFields;
  for (const auto& file : InReadingOrder({L"a.hvds", L"b.hvds"})) {
    const char* field = file == L"a.hvds" ? "Pressure" : "Speed";
    const char* topLevel = file == L"a.hvds" ? "Batch" : "Operator";
    pumpFields += std::string("\t<Field>\n\t\t<Name>") + field + "</Name>\n\t</Field>\n";
    topLevelFields += std::string("\t<Field>\n\t\t<Name>") + topLevel + "</Name>\n\t</Field>\n";
  }
  EXPECT_EQ(Definition(display.get(), kGerman, L"Pumpe", L"Pump"),
            "<Group Name=\"Pump\">\n\t<DisplayName>Pumpe</DisplayName>\n" + pumpFields + "</Group>\n");
  EXPECT_EQ(Definition(display.get(), kEnglish, L"No Group", L" "),
            "<Group Name=\" \">\n\t<DisplayName>No Group</DisplayName>\n" + topLevelFields + "</Group>\n");
}

}  // namespace
}  // namespace hv::test
