// The definition folder of the test prefix, owned by one display test at a
// time: it starts without definition files and is left without them.
#pragma once
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace hv::test {

// Where the library looks in the Wine prefix: the common program files
// folder followed by "Corvala".
inline const std::wstring kDefinitionFolder = L"C:\\Program Files\\Common Files\\Corvala";

inline bool WriteBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

// The names of a folder's entries in the order the system lists them, which
// is the order in which the library reads them.
inline std::vector<std::wstring> ListingOrder(const std::wstring& folder, const wchar_t* pattern) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((folder + L"\\" + pattern).c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return names;
  do names.push_back(entry.cFileName);
  while (FindNextFileW(find, &entry));
  FindClose(find);
  return names;
}

inline void RemoveDefinitionFiles(const std::wstring& folder) {
  for (const auto& name : ListingOrder(folder, L"*.hvds")) DeleteFileW((folder + L"\\" + name).c_str());
}

// The display interface of a new manager created through COM.
inline ComPtr<ITAVDiagnosticLogDisplay> NewDisplay() {
  ComPtr<ITAVDiagnosticLogMgrEx> mgr;
  EXPECT_HRESULT_SUCCEEDED(CreateManager(mgr.put()));
  ComPtr<ITAVDiagnosticLogDisplay> display;
  if (mgr) {
    EXPECT_HRESULT_SUCCEEDED(mgr->QueryInterface(IID_ITAVDiagnosticLogDisplay, display.put_void()));
  }
  return display;
}

class DefinitionFolderTest : public ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    CreateDirectoryW(kDefinitionFolder.c_str(), nullptr);
    RemoveDefinitionFiles(kDefinitionFolder);
  }
  void TearDown() override {
    RemoveDefinitionFiles(kDefinitionFolder);
    ComTest::TearDown();
  }

  // Writes a definition file (its bytes are ANSI text) into the folder.
  void Install(const wchar_t* name, const std::string& bytes) {
    ASSERT_TRUE(WriteBytes(kDefinitionFolder + L"\\" + name, bytes)) << Narrow(name);
  }
  // Of the given definition files, those the library reads first come first.
  std::vector<std::wstring> InReadingOrder(std::vector<std::wstring> names) {
    const auto listing = ListingOrder(kDefinitionFolder, L"*.hvds");
    auto position = [&](const std::wstring& name) { return std::find(listing.begin(), listing.end(), name); };
    std::stable_sort(names.begin(), names.end(),
                     [&](const std::wstring& a, const std::wstring& b) { return position(a) < position(b); });
    return names;
  }
};

}  // namespace hv::test
