#include "support/TestSupport.h"

#include <cstdlib>
#include <cstring>

#include "support/HostProcess.h"

namespace hv::test {
namespace {

// The tests get Unix paths; Wine shows them through drive Z:.
std::wstring DirFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? WindowsPathOf(std::string(value) + "/") : L"";
}

}  // namespace

std::wstring BinDir() { return DirFromEnvironment("HV_BIN_DIR"); }
std::wstring SourceDir() { return DirFromEnvironment("HV_SOURCE_DIR"); }

// UTF-16 never takes more units than UTF-8 takes bytes, nor UTF-8 more than three bytes a unit.
std::wstring Widen(const std::string& text) {
  std::wstring out(text.size(), L'\0');
  out.resize(MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), out.size()));
  return out;
}

std::string Narrow(const std::wstring& text) {
  std::string out(text.size() * 3, '\0');
  out.resize(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), out.size(),
                                 nullptr, nullptr));
  return out;
}

std::vector<uint8_t> StreamBytes(IStream* stream) {
  HGLOBAL global = nullptr;
  STATSTG stat = {};
  if (FAILED(stream->Stat(&stat, STATFLAG_NONAME)) || FAILED(GetHGlobalFromStream(stream, &global))) return {};
  const auto* data = static_cast<const uint8_t*>(GlobalLock(global));
  std::vector<uint8_t> bytes(data, data + stat.cbSize.QuadPart);
  GlobalUnlock(global);
  return bytes;
}

ComPtr<IStream> StreamOf(const std::vector<uint8_t>& bytes) {
  ComPtr<IStream> stream;
  if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()))) return stream;
  if (!bytes.empty()) stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
  stream->Seek({}, STREAM_SEEK_SET, nullptr);
  return stream;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (uint8_t byte : bytes) out += {' ', digits[byte >> 4], digits[byte & 15]};
  return out.empty() ? out : out.substr(1);
}

std::wstring TakeErrorDescription() {
  ComPtr<IErrorInfo> info;
  unique_bstr description;
  if (GetErrorInfo(0, info.put()) == S_OK && info) info->GetDescription(description.put());
  return description ? std::wstring(description.get()) : L"";
}

bool SetMachineDword(const std::wstring& key, const wchar_t* name, DWORD value) {
  return RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, REG_DWORD, &value, sizeof(value)) == ERROR_SUCCESS;
}

bool SetMachineString(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  return RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, REG_SZ, value.c_str(),
                         static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

void DeleteMachineValue(const std::wstring& key, const wchar_t* name) {
  RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), name);
}

DebugOutputCapture::DebugOutputCapture() {
  bufferReady_ = CreateEventW(nullptr, FALSE, TRUE, L"DBWIN_BUFFER_READY");
  dataReady_ = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY");
  mapping_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, L"DBWIN_BUFFER");
  if (!bufferReady_ || !dataReady_ || !mapping_ || !(view_ = MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, 4096)))
    return;
  thread_ = std::thread([this] {
    while (WaitForSingleObject(dataReady_, INFINITE) == WAIT_OBJECT_0 && !stop_) {
      const char* text = static_cast<const char*>(view_) + sizeof(DWORD);
      std::lock_guard<std::mutex> hold(lock_);
      texts_.emplace_back(text, strnlen(text, 4096 - sizeof(DWORD)));
      SetEvent(bufferReady_);
    }
  });
}

DebugOutputCapture::~DebugOutputCapture() {
  stop_ = true;
  if (thread_.joinable()) {
    SetEvent(dataReady_);
    thread_.join();
  }
  UnmapViewOfFile(view_);
  for (HANDLE h : {mapping_, dataReady_, bufferReady_}) CloseHandle(h);
}

std::vector<std::string> DebugOutputCapture::Texts() {
  std::lock_guard<std::mutex> hold(lock_);
  return texts_;
}

HRESULT CreateManager(ITAVDiagnosticLogMgrEx** mgr) {
  return CoCreateInstance(CLSID_TAVDiagnosticLogMgr, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(mgr));
}

HRESULT CreateItem(ITAVDiagnosticLogItemEx** item) {
  return CoCreateInstance(CLSID_TAVDiagnosticLogItem, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(item));
}

}  // namespace hv::test
