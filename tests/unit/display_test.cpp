// The shared folder's definition files, how a manager reads them, and the groups a viewer gets in its language.
#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "display/DefinitionFiles.h"
#include "support/TestSupport.h"

namespace hv::test {
namespace {

// Where the library looks in the Wine prefix; each test starts and ends without definition files there.
const std::wstring kFolder = L"C:\\Program Files\\Common Files\\Corvala";
const std::wstring kScratch = kFolder + L"\\scratch";
constexpr ULONG kGerman = 0x0407, kEnglish = 0x0409, kEnglishUk = 0x0809, kFrench = 0x040C, kFrenchCanada = 0x0C0C;
// Ids outside the table (German with a sort id, the neutral 0) get "en-us".
constexpr ULONG kGermanPhonebook = 0x10407, kNeutral = 0;

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
  return static_cast<bool>(std::ofstream(path.c_str(), std::ios::binary) << bytes);
}

// A folder's entries in the order the system lists them, the order the library reads them in.
std::vector<std::wstring> Listing(const std::wstring& folder, const wchar_t* pattern) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((folder + L"\\" + pattern).c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return names;
  do names.push_back(entry.cFileName);
  while (FindNextFileW(find, &entry));
  FindClose(find);
  return names;
}

void Clear(const std::wstring& folder, const wchar_t* pattern) {
  for (const auto& name : Listing(folder, pattern))
    if (name != L"." && name != L".." && !DeleteFileW((folder + L"\\" + name).c_str()))
      RemoveDirectoryW((folder + L"\\" + name).c_str());
}

ComPtr<ITAVDiagnosticLogDisplay> NewDisplay() {
  ComPtr<ITAVDiagnosticLogDisplay> display;
  EXPECT_EQ(S_OK, CoCreateInstance(CLSID_TAVDiagnosticLogMgr, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_ITAVDiagnosticLogDisplay, display.put_void()));
  return display;
}

// The listed groups (two arrays of BSTRs from 0) as "name=type|name=type", or "<untouched>".
std::string Groups(ITAVDiagnosticLogDisplay* display, ULONG lcid) {
  if (!display) return "<no display>";
  unique_variant lists[2];
  for (auto& list : lists) list->vt = VT_I4, list->lVal = 42;
  EXPECT_EQ(display->GetReaderFieldGroupNames(lcid, lists[0].get(), lists[1].get()), S_OK);
  if (lists[0]->vt == VT_I4 && lists[0]->lVal == 42 && lists[1]->vt == VT_I4 && lists[1]->lVal == 42)
    return "<untouched>";
  std::vector<std::wstring> strings[2];
  for (int n = 0; n < 2; ++n) {
    SAFEARRAY* array = lists[n]->parray;
    if (lists[n]->vt != (VT_ARRAY | VT_VARIANT) || array->cDims != 1 || array->rgsabound[0].lLbound != 0)
      return "<not a list from 0>";
    for (LONG i = 0; i < static_cast<LONG>(array->rgsabound[0].cElements); ++i) {
      unique_variant element;
      SafeArrayGetElement(array, &i, element.get());
      strings[n].push_back(element->vt == VT_BSTR ? element->bstrVal : L"<not a BSTR>");
    }
  }
  EXPECT_EQ(strings[0].size(), strings[1].size()) << "names and types pair up";
  std::wstring joined;
  for (size_t i = 0; i < std::min(strings[0].size(), strings[1].size()); ++i)
    joined += (i ? L"|" : L"") + strings[0][i] + L"=" + strings[1][i];
  return Narrow(joined);
}

// The definition as UTF-8; "<untouched>" when the call did not set it.
std::string Definition(ITAVDiagnosticLogDisplay* display, ULONG lcid, const wchar_t* name, const wchar_t* type) {
  if (!display) return "<no display>";
  unique_bstr bname(name ? SysAllocString(name) : nullptr), btype(type ? SysAllocString(type) : nullptr);
  BSTR untouched = reinterpret_cast<BSTR>(static_cast<uintptr_t>(0x1234)), schema = untouched;
  EXPECT_EQ(display->GetGroupDefinition(lcid, bname.get(), btype.get(), &schema), S_OK);
  if (schema == untouched) return "<untouched>";
  unique_bstr held(schema);
  return schema ? Narrow(schema) : "<null>";
}

std::string Frame(const std::string& type, const std::string& name, const std::string& fields = "") {
  return "<Group Name=\"" + type + "\">\n\t<DisplayName>" + name + "</DisplayName>\n" + fields + "</Group>\n";
}

std::string Field(const std::string& name, const std::string& more = "") {
  return "\t<Field>\n\t\t<Name>" + name + "</Name>\n" + more + "\t</Field>\n";
}

std::string Group(const char* name) {
  return std::string("<D><Group Name=\"") + name + "\"><DisplayName xml:lang=\"de\">" + name +
         "</DisplayName></Group></D>";
}

class DisplayTest : public ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    ASSERT_EQ(GetACP(), 1252u) << "the ANSI texts of these tests are Western";
    CreateDirectoryW(kFolder.c_str(), nullptr);
    Clear(kFolder, L"*.hvds");
  }
  void TearDown() override {
    Clear(kFolder, L"*.hvds");
    Clear(kScratch, L"*");
    RemoveDirectoryW(kScratch.c_str());
    ComTest::TearDown();
  }
  void Install(const wchar_t* name, const std::string& bytes) {
    ASSERT_TRUE(WriteBytes(kFolder + L"\\" + name, bytes)) << Narrow(name);
  }
};

TEST_F(DisplayTest, FilesAreReadAsAnsiTextAndOnlyNonEmptyDefinitionFilesAreLoaded) {
  ASSERT_TRUE(CreateDirectoryW(kScratch.c_str(), nullptr));
  // A CR LF pair split between the 2000-byte chunks; a 0x1A byte ends the text, as it ends a text file.
  const std::string bytes = std::string(1999, 'a') + "\r\n" + std::string(2000, 'b') + "\xe4\r\n\x1a<not read";
  ASSERT_TRUE(WriteBytes(kScratch + L"\\long.txt", bytes));
  EXPECT_TRUE(ReadDefinitionFile(kScratch + L"\\long.txt") ==
              std::wstring(1999, L'a') + L"\n" + std::wstring(2000, L'b') + L"\u00e4\n");
  EXPECT_EQ(ReadDefinitionFile(kScratch + L"\\missing.hvds"), L"");
  for (const auto& [name, text] : {std::pair{L"a.hvds", "<a/>"}, {L"b.HVDS", "<b/>"}, {L"x.hvds", ""},
                                   {L"z.hvds.bak", "<z/>"}})
    ASSERT_TRUE(WriteBytes(kScratch + L"\\" + name, text));
  ASSERT_TRUE(CreateDirectoryW((kScratch + L"\\d.hvds").c_str(), nullptr));
  std::vector<std::wstring> files = {L"kept"}, loaded = {L"kept"};
  LoadDefinitionFiles(kScratch, &files);
  // Appended in the order of the listing, whichever entry comes last.
  for (const auto& name : Listing(kScratch, L"*.*"))
    if (name == L"a.hvds" || name == L"b.HVDS") loaded.push_back(name == L"a.hvds" ? L"<a/>" : L"<b/>");
  EXPECT_EQ(files, loaded);
}

TEST_F(DisplayTest, AManagerReadsTheFolderUntilAFileWasReadAndKeepsWhatItRead) {
  auto display = NewDisplay();
  // Without files every call looks again and leaves its outputs alone.
  EXPECT_EQ(Groups(display.get(), kGerman), "<untouched>");
  EXPECT_EQ(Definition(display.get(), kGerman, L"Pumpe", L"Pumpe"), "<untouched>");
  Install(L"first.hvds", Group("Pumpe"));
  EXPECT_EQ(Groups(display.get(), kGerman), "Pumpe=Pumpe");
  Install(L"second.hvds", Group("Ventil"));
  DeleteFileW((kFolder + L"\\first.hvds").c_str());
  EXPECT_EQ(Groups(display.get(), kGerman), "Pumpe=Pumpe");
  // A new manager reads the folder as it is now.
  EXPECT_EQ(Groups(NewDisplay().get(), kGerman), "Ventil=Ventil");

  // A file that is not well-formed is read, so nothing is read again, but contributes nothing.
  Clear(kFolder, L"*.hvds");
  Install(L"broken.hvds", "<D><Group Name=\"Pumpe\"></D>");
  display = NewDisplay();
  EXPECT_EQ(Groups(display.get(), kGerman), "");
  Install(L"good.hvds", Group("Pumpe"));
  EXPECT_EQ(Groups(display.get(), kGerman), "");
  EXPECT_EQ(Definition(display.get(), kGerman, L"Pumpe", L"Pumpe"), Frame("Pumpe", "Pumpe"));
}

// ANSI bytes: the tests run with the Western code page, where 0xE4 is "ä".
const std::string kGroupsFile =
    "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\r\n<Definitions>\r\n"
    "<Group Name=\"Pump\"><DisplayName xml:lang=\"en\">Pump</DisplayName><DisplayName xml:lang=\"de\">Pumpe"
    "</DisplayName></Group>\r\n<Group Name=\"Valve\"><DisplayName xml:lang=\"en-us\">Valve (US)</DisplayName>"
    "<DisplayName xml:lang=\"en-gb\">Valve</DisplayName></Group>\r\n"
    "<Group Name=\"Tank\"><DisplayName xml:lang=\"fr\">R\xe9servoir &amp; niveau</DisplayName></Group>\r\n"
    "<Group Name=\"Motor\"><DisplayName xml:lang=\"EN\">Motor</DisplayName><DisplayName xml:lang=\"de\">Antrieb"
    "</DisplayName></Group>\r\n<!-- a comment is no entry --><Field><Name>Batch</Name></Field>\r\n"
    "<Group><DisplayName xml:lang=\"en\">Unnamed</DisplayName></Group>\r\n"
    "<group Name=\"Dosing\"><x:displayname xmlns:x=\"urn:x\" xml:lang=\"en\">PUMP</x:displayname></group>\r\n"
    "<Group Name=\"Plain\"><DisplayName>Plain</DisplayName></Group>\r\n"
    "<Group Name=\"Blank\"><DisplayName xml:lang=\"en\"></DisplayName></Group>\r\n</Definitions>\r\n";

TEST_F(DisplayTest, EachGroupIsListedOnceInTheViewersLanguage) {
  Install(L"groups.hvds", kGroupsFile);
  auto display = NewDisplay();
  const struct {
    ULONG lcid;
    const char* groups;
  } cases[] = {
      // German names, else English ones; a group named in neither (only French, only "EN", no language) is
      // "No Group" (the top-level fields, no type). Dosing's English name repeats "Pump" only for English viewers.
      {kGerman, "Pumpe=Pump|Valve=Valve|No Group= |Antrieb=Motor|Unnamed= |PUMP=Dosing"},
      // Every English variant counts for an English viewer; of two, the later wins.
      {kEnglish, "Pump=Pump|Valve=Valve|No Group= |Unnamed= "},
      {kEnglishUk, "Pump=Pump|Valve=Valve|No Group= |Unnamed= "},
      // A language the files lack falls back to English; texts are unescaped.
      {kFrench, "Pump=Pump|Valve=Valve|R\xc3\xa9servoir & niveau=Tank|No Group= |Unnamed= "},
      {kFrenchCanada, "Pump=Pump|Valve=Valve|No Group= |Unnamed= "},  // "fr-ca" is not "fr"
      // "en-us" matches exactly, not as English in general.
      {kGermanPhonebook, "Pump=Pump|Valve (US)=Valve|No Group= |Unnamed= "},
      {kNeutral, "Pump=Pump|Valve (US)=Valve|No Group= |Unnamed= "},
  };
  for (const auto& c : cases) EXPECT_EQ(Groups(display.get(), c.lcid), c.groups) << std::hex << c.lcid;
}

TEST_F(DisplayTest, GroupsAndFieldsComeFromEveryFileThatIsWellFormed) {
  Install(L"a.hvds",
          "<D><Group Name=\"Pump\"><DisplayName xml:lang=\"de\">Pumpe</DisplayName><DisplayName xml:lang=\"en\">"
          "Pump</DisplayName><Field><Name>Pressure</Name></Field></Group><Field><Name>Batch</Name></Field></D>");
  Install(L"b.hvds",
          "<D><Group Name=\"PumpMore\"><DisplayName xml:lang=\"en\">Pump extras</DisplayName>"
          "<DisplayName xml:lang=\"de\">pumpe</DisplayName><Field><Name>Speed</Name></Field></Group>"
          "<Group Name=\"Filter\"><DisplayName xml:lang=\"de\">Filter</DisplayName></Group>"
          "<Field><Name>Operator</Name></Field></D>");
  // A file that does not parse is passed over, also when it is read first.
  Install(L"0broken.hvds", "<D><Group Name=\"Broken\"><DisplayName xml:lang=\"de\">Kaputt</DisplayName></D>");
  auto display = NewDisplay();
  // A name listed from an earlier file is not listed again (the top-level fields are "No Group").
  const auto listing = Listing(kFolder, L"*.hvds");
  const auto at = [&](const wchar_t* name) { return std::find(listing.begin(), listing.end(), name); };
  const bool aFirst = at(L"a.hvds") < at(L"b.hvds");
  EXPECT_EQ(Groups(display.get(), kGerman),
            aFirst ? "Pumpe=Pump|No Group= |Filter=Filter" : "pumpe=PumpMore|Filter=Filter|No Group= ");
  EXPECT_EQ(Groups(display.get(), kEnglish),
            aFirst ? "Pump=Pump|No Group= |Pump extras=PumpMore" : "Pump extras=PumpMore|No Group= |Pump=Pump");
  const std::string pumpFields = aFirst ? Field("Pressure") + Field("Speed") : Field("Speed") + Field("Pressure");
  const std::string topLevelFields = aFirst ? Field("Batch") + Field("Operator") : Field("Operator") + Field("Batch");
  EXPECT_EQ(Definition(display.get(), kGerman, L"Pumpe", L"Pump"), Frame("Pump", "Pumpe", pumpFields));
  EXPECT_EQ(Definition(display.get(), kEnglish, L"No Group", L" "), Frame(" ", "No Group", topLevelFields));
}

const std::string kDefinitionFile =
    "<d:Definitions xmlns:d=\"urn:corvala:hvds\">\r\n  <d:Group Name=\"Pump\">\r\n"
    "    <Field><Name>BeforeTheNames</Name></Field>\r\n"
    "    <DisplayName xml:lang=\"en\">Pump</DisplayName><DisplayName xml:lang=\"de\">Pumpe</DisplayName>\r\n"
    "    <FIELD TYPE=\"base\">\r\n      <Name>State</Name>\r\n"
    "      <Label xml:lang=\"en-gb\">Operating state</Label><Label xml:lang=\"de\">Betriebszustand</Label>\r\n"
    "      <Label xml:lang=\"FR-CA\">\xc9tat</Label>\r\n"
    "      <!-- comments and stray text inside a field are not properties --> stray\r\n"
    "      <x:Unit xmlns:x=\"urn:x\">h &amp; &lt;min&gt;</x:Unit>\r\n"
    "      <enummap>\r\n        <Value value=\"1\">\r\n"
    "          <Text xml:lang=\"en\">Running</Text><Text xml:lang=\"de\">L\xe4uft</Text>\r\n"
    "          <?hint ignored?><Color>green</Color>\r\n        </Value>\r\n"
    "        <Other value=\"\"><text xml:lang=\"de\">Unbekannt</text><Text>without language</Text></Other>\r\n"
    "      </enummap>\r\n    </FIELD>\r\n    <Remark>not a field</Remark>\r\n"
    "    <Field type=\"BASE\"><Name>location</Name><Label>Station</Label><Hint xml:lang=\"\">none</Hint></Field>\r\n"
    "  </d:Group>\r\n  <Field Type=\"base\">\r\n    <Name>Batch</Name>\r\n"
    "    <Label xml:lang=\"en-us\">Batch</Label><Label xml:lang=\"de\">Charge</Label>\r\n  </Field>\r\n"
    "</d:Definitions>\r\n";

// kDefinitionFile's pump group as a viewer gets it: the fields after the matching name, in the viewer's texts.
std::string Pump(const std::string& name, const std::string& label, const std::string& running,
                 const std::string& other) {
  const std::string state = "\t\t<Label>" + label + "</Label>\n\t\t<Unit>h & <min></Unit>\n\t\t<EnumMap>\n" +
                            "\t\t\t<Value value=\"1\">\n" + running + "\t\t\t\t<Color>green</Color>\n\t\t\t</Value>\n" +
                            "\t\t\t<Other>\n" + other + "\t\t\t</Other>\n\t\t</EnumMap>\n";
  return Frame("Pump", name,
               Field("State", state) +
                   "\t<Field type=\"Base\">\n\t\t<Name>location</Name>\n\t\t<Label>Station</Label>\n\t</Field>\n");
}

TEST_F(DisplayTest, ADefinitionHoldsTheGroupsFieldsInTheViewersLanguage) {
  Install(L"pump.hvds", kDefinitionFile);
  auto display = NewDisplay();
  const struct {
    ULONG lcid;
    const wchar_t *name, *type;
    std::string definition;
  } cases[] = {
      // Asked first, it loads the files; the name matches in any case and is written as the viewer gave it.
      {kGerman, L"PUMPE", L"Pump",
       Pump("PUMPE", "Betriebszustand", "\t\t\t\t<Text>L\xc3\xa4uft</Text>\n", "\t\t\t\t<text>Unbekannt</text>\n")},
      // The English display name finds the group too; the texts follow the viewer.
      {kFrenchCanada, L"Pump", L"Pump", Pump("Pump", "\xc3\x89tat", "", "")},
      {kEnglish, L"Pumpe", L"Pump", Pump("Pumpe", "Operating state", "\t\t\t\t<Text>Running</Text>\n", "")},
      // The top-level fields are "No Group", always in English ("Type" is not the attribute "type").
      {kGerman, L"no group", L" ", Frame(" ", "no group", Field("Batch", "\t\t<Label>Batch</Label>\n"))},
      // A group found nowhere, and missing strings, give the frame alone.
      {kGerman, L"Tank", L"Tank", Frame("Tank", "Tank")},
      {kGerman, nullptr, nullptr, Frame("", "")},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Definition(display.get(), c.lcid, c.name, c.type), c.definition) << Narrow(c.name ? c.name : L"");
}

}  // namespace
}  // namespace hv::test
