// Finding and reading the definition files, and when a manager reads them.
#include <algorithm>
#include <string>
#include <vector>

#include "display/DefinitionFiles.h"
#include "display_test_folder.h"

namespace hv::test {
namespace {

class DefinitionFilesTest : public DefinitionFolderTest {
 protected:
  void SetUp() override {
    DefinitionFolderTest::SetUp();
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    scratch_ = std::wstring(temp) + L"hv_display_files";
    Clean();
    ASSERT_TRUE(CreateDirectoryW(scratch_.c_str(), nullptr));
  }
  void TearDown() override {
    Clean();
    DefinitionFolderTest::TearDown();
  }
  std::wstring Scratch(const wchar_t* name) const { return scratch_ + L"\\" + name; }

  std::wstring scratch_;

 private:
  void Clean() {
    for (const auto& name : ListingOrder(scratch_, L"*.*")) {
      if (name == L"." || name == L"..") continue;
      const std::wstring path = scratch_ + L"\\" + name;
      if (!DeleteFileW(path.c_str())) RemoveDirectoryW(path.c_str());
    }
    RemoveDirectoryW(scratch_.c_str());
  }
};

// The group names listed for German viewers, joined with "|"; "<untouched>"
// when the call left its outputs as they were.
std::string GermanGroupNames(ITAVDiagnosticLogDisplay* display) {
  unique_variant names, types;
  names->vt = VT_I4;
  names->lVal = 42;
  types->vt = VT_I4;
  types->lVal = 43;
  EXPECT_EQ(display->GetReaderFieldGroupNames(0x0407, names.get(), types.get()), S_OK);
  if (names->vt == VT_I4 && names->lVal == 42 && types->vt == VT_I4 && types->lVal == 43) return "<untouched>";
  EXPECT_EQ(names->vt, VT_ARRAY | VT_VARIANT);
  EXPECT_EQ(types->vt, VT_ARRAY | VT_VARIANT);
  if (names->vt != (VT_ARRAY | VT_VARIANT)) return "<not an array>";
  std::string joined;
  LONG lower = 0, upper = -1;
  SafeArrayGetLBound(names->parray, 1, &lower);
  SafeArrayGetUBound(names->parray, 1, &upper);
  for (LONG i = lower; i <= upper; ++i) {
    unique_variant name;
    SafeArrayGetElement(names->parray, &i, name.get());
    if (i != lower) joined += "|";
    joined += name->vt == VT_BSTR ? Narrow(name->bstrVal) : "?";
  }
  return joined;
}

std::string Group(const char* name) {
  return std::string("<D><Group Name=\"") + name + "\"><DisplayName xml:lang=\"de\">" + name +
         "</DisplayName></Group></D>";
}

TEST_F(DefinitionFilesTest, ReadsAnsiTextInTextModeThroughChunks) {
  ASSERT_EQ(GetACP(), 1252u) << "the ANSI texts below are Western";
  // 4500 bytes of CR LF lines; the CR of one pair is the last byte of the
  // first 2000-byte chunk, its LF the first of the second.
  std::string bytes(1999, 'a');
  bytes += "\r\n";
  std::wstring expected(1999, L'a');
  expected += L"\n";
  while (bytes.size() < 4500 - 7) {
    bytes += "b\xe4\r\n";
    expected += L"b\u00e4\n";
  }
  const size_t padding = 4500 - bytes.size();
  bytes += std::string(padding, 'c');
  expected += std::wstring(padding, L'c');
  ASSERT_EQ(bytes.size(), 4500u);
  ASSERT_TRUE(WriteBytes(Scratch(L"long.hvds"), bytes));
  const std::wstring text = ReadDefinitionFile(Scratch(L"long.hvds"));
  EXPECT_EQ(text.size(), expected.size());
  EXPECT_TRUE(text == expected) << "the text differs from the file's, first at "
                                << std::mismatch(text.begin(), text.end(), expected.begin(), expected.end()).first -
                                       text.begin();

  // A 0x1A byte ends the text, as it ends a text file.
  ASSERT_TRUE(WriteBytes(Scratch(L"eof.hvds"), std::string("<a/>\r\n\x1a<not read")));
  EXPECT_EQ(Narrow(ReadDefinitionFile(Scratch(L"eof.hvds"))), "<a/>\n");

  EXPECT_EQ(ReadDefinitionFile(Scratch(L"missing.hvds")), L"");
}

TEST_F(DefinitionFilesTest, LoadsTheNonEmptyDefinitionFilesOfTheFolder) {
  ASSERT_TRUE(WriteBytes(Scratch(L"a.hvds"), "<a/>"));
  ASSERT_TRUE(WriteBytes(Scratch(L"b.HVDS"), "<b/>"));
  ASSERT_TRUE(WriteBytes(Scratch(L"c.xml"), "<c/>"));
  ASSERT_TRUE(WriteBytes(Scratch(L"x.hvds"), ""));
  ASSERT_TRUE(WriteBytes(Scratch(L"z.hvds.bak"), "<z/>"));
  ASSERT_TRUE(CreateDirectoryW(Scratch(L"d.hvds").c_str(), nullptr));

  std::vector<std::wstring> files = {L"kept"};
  LoadDefinitionFiles(scratch_, &files);
  // Appended in the order of the listing, whichever entry comes last.
  std::vector<std::wstring> expected = {L"kept"};
  for (const auto& name : ListingOrder(scratch_, L"*.*")) {
    if (name == L"a.hvds") expected.push_back(L"<a/>");
    if (name == L"b.HVDS") expected.push_back(L"<b/>");
  }
  ASSERT_EQ(expected.size(), 3u);
  EXPECT_EQ(files, expected);
}

TEST_F(DefinitionFilesTest, WithoutFilesEveryCallLooksAgainAndLeavesItsOutputsAlone) {
  auto display = NewDisplay();
  ASSERT_TRUE(display);
  EXPECT_EQ(GermanGroupNames(display.get()), "<untouched>");
  BSTR sentinel = reinterpret_cast<BSTR>(static_cast<uintptr_t>(0x1234));
  BSTR schema = sentinel;
  unique_bstr name(SysAllocString(L"Pumpe"));
  EXPECT_EQ(display->GetGroupDefinition(0x0407, name.get(), name.get(), &schema), S_OK);
  EXPECT_EQ(schema, sentinel);

  // Installed while the viewer runs: the next call reads it...
  Install(L"first.hvds", Group("Pumpe"));
  EXPECT_EQ(GermanGroupNames(display.get()), "Pumpe");
  // ...and from then on the manager keeps what it read.
  Install(L"second.hvds", Group("Ventil"));
  EXPECT_EQ(GermanGroupNames(display.get()), "Pumpe");
  DeleteFileW((kDefinitionFolder + L"\\first.hvds").c_str());
  EXPECT_EQ(GermanGroupNames(display.get()), "Pumpe");

  // A new manager reads the folder as it is now.
  EXPECT_EQ(GermanGroupNames(NewDisplay().get()), "Ventil");
}

TEST_F(DefinitionFilesTest, AFileThatIsNotWellFormedIsReadButContributesNothing) {
  Install(L"broken.hvds", "<D><Group Name=\"Pumpe\"></D>");
  auto display = NewDisplay();
  ASSERT_TRUE(display);
  // The file was read, so the lists are set, empty.
  EXPECT_EQ(GermanGroupNames(display.get()), "");
  // Nothing is read again once a file was.
  Install(L"good.hvds", Group("Pumpe"));
  EXPECT_EQ(GermanGroupNames(display.get()), "");
  unique_bstr name(SysAllocString(L"Pumpe")), schema;
  EXPECT_EQ(display->GetGroupDefinition(0x0407, name.get(), name.get(), schema.put()), S_OK);
  ASSERT_TRUE(schema);
  EXPECT_EQ(Narrow(schema.get()), "<Group Name=\"Pumpe\">\n\t<DisplayName>Pumpe</DisplayName>\n</Group>\n");
}

}  // namespace
}  // namespace hv::test
