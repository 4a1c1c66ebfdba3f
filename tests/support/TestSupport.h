// Shared helpers of the unit tests.
#pragma once
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "TAVDiagnostics.h"
#include "common/ComPtr.h"
#include "common/Unique.h"

namespace hv::test {

// COM initialised for the multi-threaded apartment for the duration of a test.
class ComTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)); }
  void TearDown() override { CoUninitialize(); }
};

// The folders of the built binaries (HV_BIN_DIR) and of the source tree
// (HV_SOURCE_DIR), as Windows paths with a trailing "\".
std::wstring BinDir();
std::wstring SourceDir();
std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);

// Bytes of a memory stream from its start; a memory stream of these bytes, at its start.
std::vector<uint8_t> StreamBytes(IStream* stream);
ComPtr<IStream> StreamOf(const std::vector<uint8_t>& bytes);
// Hex form for failure messages: "06 00 00 00 61 00".
std::string Hex(const std::vector<uint8_t>& bytes);

// The description of the thread's current error information, or "" when none.
std::wstring TakeErrorDescription();

// Sets a REG_DWORD / REG_SZ value under HKLM, creating the key; false on failure.
bool SetMachineDword(const std::wstring& key, const wchar_t* name, DWORD value);
bool SetMachineString(const std::wstring& key, const wchar_t* name, const std::wstring& value);
void DeleteMachineValue(const std::wstring& key, const wchar_t* name);

// Collects the texts (ANSI) the process writes with OutputDebugString while it
// lives, through the system's debug-output buffer, as a debugger monitor does.
class DebugOutputCapture {
 public:
  DebugOutputCapture();
  ~DebugOutputCapture();
  bool ok() const { return view_ != nullptr; }
  std::vector<std::string> Texts();

 private:
  HANDLE bufferReady_ = nullptr, dataReady_ = nullptr, mapping_ = nullptr;
  void* view_ = nullptr;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex lock_;
  std::vector<std::string> texts_;
};

// Creates the library's classes through COM (the registered DLL).
HRESULT CreateManager(ITAVDiagnosticLogMgrEx** mgr);
HRESULT CreateItem(ITAVDiagnosticLogItemEx** item);

}  // namespace hv::test
