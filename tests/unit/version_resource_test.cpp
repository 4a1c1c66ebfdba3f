// Every Windows binary carries the project's version (HV_VERSION, given by
// CMake) in its version resource, and hvdiag --version prints it.
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "hvdiagtest/ChildProcess.h"
#include "support/TestSupport.h"

namespace hv::test {
namespace {

std::string ExpectedVersion() {
  const char* version = std::getenv("HV_VERSION");
  return version ? version : "";
}

// "2.00.10.150" and "2.0.10.150" are the same version.
std::string Normalized(const std::wstring& text) {
  unsigned a = 0, b = 0, c = 0, d = 0;
  wchar_t rest = 0;
  if (swscanf(text.c_str(), L"%u.%u.%u.%u%lc", &a, &b, &c, &d, &rest) != 4) return "unreadable: " + Narrow(text);
  return std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c) + "." + std::to_string(d);
}

std::wstring StringValue(const std::vector<BYTE>& block, const wchar_t* name) {
  void* value = nullptr;
  UINT length = 0;
  const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
  if (!VerQueryValueW(block.data(), path.c_str(), &value, &length) || !value) return L"";
  return static_cast<const wchar_t*>(value);
}

TEST(VersionResource, EveryBinaryAndHvdiagCarryTheProjectVersion) {
  const std::string expected = ExpectedVersion();
  ASSERT_FALSE(expected.empty()) << "HV_VERSION is not set";
  for (const wchar_t* file : {L"TAVDiagnostics.dll", L"TAVDiagnosticsENU.dll", L"TAVDiagnosticsDEU.dll", L"HVMux.dll",
                              L"HVScriptBridge.dll", L"hvdiag.exe", L"PumpENU.dll", L"PumpDEU.dll",
                              L"hvsample_client.exe"}) {
    SCOPED_TRACE(Narrow(file));
    const std::wstring path = BinDir() + file;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_NE(size, 0u) << "no version resource";
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    auto dotted = [](DWORD high, DWORD low) {
      return std::to_string(HIWORD(high)) + "." + std::to_string(LOWORD(high)) + "." + std::to_string(HIWORD(low)) +
             "." + std::to_string(LOWORD(low));
    };
    EXPECT_EQ(dotted(fixed->dwFileVersionMS, fixed->dwFileVersionLS), expected);
    EXPECT_EQ(dotted(fixed->dwProductVersionMS, fixed->dwProductVersionLS), expected);
    EXPECT_EQ(Normalized(StringValue(block, L"FileVersion")), expected);
    EXPECT_EQ(Normalized(StringValue(block, L"ProductVersion")), expected);
    EXPECT_EQ(_wcsicmp(StringValue(block, L"OriginalFilename").c_str(), file), 0);
    EXPECT_NE(StringValue(block, L"FileDescription"), L"");
  }

  ChildProcess hvdiag;
  ASSERT_TRUE(hvdiag.Start(BinDir() + L"hvdiag.exe", L"--version"));
  EXPECT_EQ(hvdiag.Wait(20000), 0);
  EXPECT_EQ(hvdiag.Out(), "hvdiag " + expected + "\n");
}

}  // namespace
}  // namespace hv::test
