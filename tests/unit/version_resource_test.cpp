// Every Windows binary carries the project's version (HV_VERSION, given by
// CMake) in its version resource; hvdiag --version is checked on the
// installed hvdiag (tests/install/msi-roundtrip.sh).
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace hv::test {
namespace {

std::string Dotted(unsigned a, unsigned b, unsigned c, unsigned d) {
  return std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c) + "." + std::to_string(d);
}

TEST(VersionResource, EveryBinaryCarriesTheProjectVersion) {
  const char* expected = std::getenv("HV_VERSION");
  ASSERT_NE(expected, nullptr) << "HV_VERSION is not set";
  for (const wchar_t* file : {L"TAVDiagnostics.dll", L"TAVDiagnosticsENU.dll", L"TAVDiagnosticsDEU.dll", L"HVMux.dll",
                              L"HVScriptBridge.dll", L"hvdiag.exe", L"PumpENU.dll", L"PumpDEU.dll",
                              L"hvsample_client.exe"}) {
    SCOPED_TRACE(Narrow(file));
    const std::wstring path = BinDir() + file;
    std::vector<BYTE> block(GetFileVersionInfoSizeW(path.c_str(), nullptr));
    ASSERT_FALSE(block.empty()) << "no version resource";
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(block.size()), block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(Dotted(HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
                     LOWORD(fixed->dwFileVersionLS)), expected);
    EXPECT_EQ(Dotted(HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS),
                     HIWORD(fixed->dwProductVersionLS), LOWORD(fixed->dwProductVersionLS)), expected);
    // The texts may write the minor number with two digits ("2.00.10.150").
    for (const wchar_t* name : {L"FileVersion", L"ProductVersion", L"OriginalFilename"}) {
      wchar_t* text = nullptr;
      ASSERT_TRUE(VerQueryValueW(block.data(), (std::wstring(L"\\StringFileInfo\\040904B0\\") + name).c_str(),
                                 reinterpret_cast<void**>(&text), &length)) << Narrow(name);
      unsigned v[4] = {};
      if (name == std::wstring(L"OriginalFilename")) EXPECT_EQ(_wcsicmp(text, file), 0) << Narrow(text);
      else if (swscanf(text, L"%u.%u.%u.%u", &v[0], &v[1], &v[2], &v[3]) != 4) ADD_FAILURE() << Narrow(text);
      else EXPECT_EQ(Dotted(v[0], v[1], v[2], v[3]), expected) << Narrow(name);
    }
  }
}

}  // namespace
}  // namespace hv::test
