#include "support/TestSupport.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace hv::test {
namespace {

std::wstring DirFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (!value || !*value) return L"";
  // Unix paths reach Windows through drive Z:.
  std::wstring path = (*value == '/' ? L"Z:" : L"") + Widen(value);
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return path.back() == L'\\' ? path : path + L'\\';
}

}  // namespace

std::wstring BinDir() { return DirFromEnvironment("HV_BIN_DIR"); }
std::wstring SourceDir() { return DirFromEnvironment("HV_SOURCE_DIR"); }

std::wstring Widen(const std::string& text) {
  if (text.empty()) return L"";
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return "";
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::vector<uint8_t> StreamBytes(IStream* stream) {
  HGLOBAL global = nullptr;
  std::vector<uint8_t> bytes;
  STATSTG stat = {};
  if (FAILED(stream->Stat(&stat, STATFLAG_NONAME)) || FAILED(GetHGlobalFromStream(stream, &global))) return bytes;
  const auto* data = static_cast<const uint8_t*>(GlobalLock(global));
  bytes.assign(data, data + stat.cbSize.QuadPart);
  GlobalUnlock(global);
  return bytes;
}

ComPtr<IStream> StreamOf(const std::vector<uint8_t>& bytes) {
  ComPtr<IStream> stream;
  if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()))) return stream;
  if (!bytes.empty()) stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
  LARGE_INTEGER zero = {};
  stream->Seek(zero, STREAM_SEEK_SET, nullptr);
  return stream;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i) out += ' ';
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

std::wstring TakeErrorDescription() {
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.put()) != S_OK || !info) return L"";
  unique_bstr description;
  info->GetDescription(description.put());
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
  if (!bufferReady_ || !dataReady_ || !mapping_) return;
  view_ = MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, 4096);
  if (view_) thread_ = std::thread(&DebugOutputCapture::Read, this);
}

DebugOutputCapture::~DebugOutputCapture() {
  stop_ = true;
  if (thread_.joinable()) {
    SetEvent(dataReady_);
    thread_.join();
  }
  if (view_) UnmapViewOfFile(view_);
  for (HANDLE h : {mapping_, dataReady_, bufferReady_})
    if (h) CloseHandle(h);
}

void DebugOutputCapture::Read() {
  while (WaitForSingleObject(dataReady_, INFINITE) == WAIT_OBJECT_0 && !stop_) {
    const char* text = static_cast<const char*>(view_) + sizeof(DWORD);
    std::lock_guard<std::mutex> hold(lock_);
    texts_.emplace_back(text, strnlen(text, 4096 - sizeof(DWORD)));
    SetEvent(bufferReady_);
  }
}

std::vector<std::string> DebugOutputCapture::Texts() {
  std::lock_guard<std::mutex> hold(lock_);
  return texts_;
}

HRESULT CreateManager(ITAVDiagnosticLogMgrEx** mgr) {
  return CoCreateInstance(CLSID_TAVDiagnosticLogMgr, nullptr, CLSCTX_INPROC_SERVER, IID_ITAVDiagnosticLogMgrEx,
                          reinterpret_cast<void**>(mgr));
}

HRESULT CreateItem(ITAVDiagnosticLogItemEx** item) {
  return CoCreateInstance(CLSID_TAVDiagnosticLogItem, nullptr, CLSCTX_INPROC_SERVER, IID_ITAVDiagnosticLogItemEx,
                          reinterpret_cast<void**>(item));
}

}  // namespace hv::test
