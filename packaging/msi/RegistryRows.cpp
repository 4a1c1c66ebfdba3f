// hvregrows: the registry rows of the installer, taken from the COM servers
// themselves. It loads a server, lets its DllRegisterServer write into a
// scratch key that stands in for HKEY_CLASSES_ROOT, and writes what arrived
// there as a WiX include of RegistryValue elements. The server's
// path becomes the installer's reference to its file ("[#FileId]"), its
// folder the installer's folder property, so the rows are those the server
// would write about itself wherever it is installed.
//
//   hvregrows SERVER.dll FILE-ID FOLDER-PROPERTY OUTPUT.wxi
//
// Each key directly below CLSID, TypeLib, Interface and AppID, and each other
// top-level key (a ProgID), is the server's own: the installer removes it
// whole on uninstall. Keys of several servers (CLSID itself) are only filled.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "mgr/XmlExport.h"

namespace {

using hv::EscapeXml;

struct Row {
  std::wstring key, name, value;
  bool hasName = false, isNumber = false, keyOnly = false;
};

bool EqualNoCase(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// The value as the installer's formatted text: the server's path (in any
// case) becomes `fileRef`, and square brackets, which would be property
// references, are escaped.
std::wstring Formatted(const std::wstring& text, const std::wstring& server, const std::wstring& fileRef) {
  // A leading "#" would make the text a number; "##" keeps it a string.
  std::wstring out = !text.empty() && text[0] == L'#' ? L"#" : L"";
  size_t i = 0;
  while (i < text.size()) {
    if (i + server.size() <= text.size() && EqualNoCase(text.substr(i, server.size()), server)) {
      out += fileRef;
      i += server.size();
      continue;
    }
    const wchar_t c = text[i++];
    if (c == L'[') out += L"[\\[]";
    else if (c == L']') out += L"[\\]]";
    else out += c;
  }
  return out;
}

bool Collect(HKEY key, const std::wstring& path, std::vector<Row>* rows, std::wstring* error) {
  DWORD subkeys = 0, values = 0;
  if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                       nullptr, nullptr) != ERROR_SUCCESS)
    return false;
  if (!path.empty() && subkeys == 0 && values == 0) rows->push_back({path, L"", L"", false, false, true});
  for (DWORD i = 0; i < values; ++i) {
    wchar_t name[16384];
    DWORD nameLength = 16384, type = 0, size = 0;
    if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    std::vector<BYTE> data(size + sizeof(wchar_t));
    nameLength = 16384;
    if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) return false;
    Row row{path, std::wstring(name, nameLength), L"", nameLength != 0, false, false};
    if (type == REG_SZ) {
      row.value = reinterpret_cast<const wchar_t*>(data.data());
    } else if (type == REG_DWORD && size == sizeof(DWORD)) {
      row.value = std::to_wstring(*reinterpret_cast<const DWORD*>(data.data()));
      row.isNumber = true;
    } else {
      *error = L"value \"" + row.name + L"\" of " + path + L" has a type this tool does not write";
      return false;
    }
    rows->push_back(row);
  }
  for (DWORD i = 0; i < subkeys; ++i) {
    wchar_t name[256];
    DWORD nameLength = 256;
    if (RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) return false;
    HKEY child = nullptr;
    if (RegOpenKeyExW(key, name, 0, KEY_READ, &child) != ERROR_SUCCESS) return false;
    const bool ok = Collect(child, path.empty() ? name : path + L"\\" + name, rows, error);
    RegCloseKey(child);
    if (!ok) return false;
  }
  return true;
}

// Runs the server's DllRegisterServer with HKEY_CLASSES_ROOT redirected to a
// scratch key under HKEY_CURRENT_USER, and reads back what it wrote. The
// scratch key is removed whatever happens.
bool Capture(const std::wstring& server, std::vector<Row>* rows, std::wstring* error) {
  const std::wstring scratchPath = L"Software\\HvRegistryRows\\" + std::to_wstring(GetCurrentProcessId());
  HKEY scratch = nullptr;
  // Not volatile: a volatile key takes no stable subkeys, and servers write stable ones.
  LONG status = RegCreateKeyExW(HKEY_CURRENT_USER, scratchPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_ALL_ACCESS, nullptr, &scratch, nullptr);
  if (status != ERROR_SUCCESS) return *error = L"cannot create the scratch key: " + std::to_wstring(status), false;
  bool ok = false;
  if (HMODULE module = LoadLibraryW(server.c_str())) {
    using RegisterFunction = HRESULT(STDAPICALLTYPE*)();
    auto registerServer =
        reinterpret_cast<RegisterFunction>(reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
    if (!registerServer) {
      *error = server + L" has no DllRegisterServer";
    } else if ((status = RegOverridePredefKey(HKEY_CLASSES_ROOT, scratch)) != ERROR_SUCCESS) {
      *error = L"cannot redirect HKEY_CLASSES_ROOT: " + std::to_wstring(status);
    } else {
      const HRESULT hr = registerServer();
      RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
      wchar_t code[16];
      swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
      if (FAILED(hr)) *error = std::wstring(L"DllRegisterServer failed: ") + code;
      else if (!Collect(scratch, L"", rows, error)) *error = L"cannot read the scratch key " + *error;
      else ok = true;
    }
  } else {
    *error = L"cannot load " + server + L": " + std::to_wstring(GetLastError());
  }
  RegCloseKey(scratch);
  RegDeleteTreeW(HKEY_CURRENT_USER, scratchPath.c_str());
  RegDeleteKeyW(HKEY_CURRENT_USER, scratchPath.c_str());
  return ok;
}

// The key a row belongs to that the server owns whole, or "" for none.
std::wstring OwnedKey(const std::wstring& path) {
  const size_t first = path.find(L'\\');
  const std::wstring top = path.substr(0, first);
  for (const wchar_t* shared : {L"CLSID", L"TypeLib", L"Interface", L"AppID"}) {
    if (!EqualNoCase(top, shared)) continue;
    if (first == std::wstring::npos) return L"";
    return path.substr(0, path.find(L'\\', first + 1));
  }
  return top;
}

// A row without a value whose name is an action of the installer's Registry
// table: "*" creates the key and removes it whole on uninstall, "+" creates an
// empty key. wixl writes a RegistryValue's name as it stands, and knows no
// RegistryKey actions.
std::wstring KeyRow(const std::wstring& key, const wchar_t* action) {
  return L"  <RegistryValue Root=\"HKCR\" Key=\"" + EscapeXml(key) + L"\" Name=\"" + action +
         L"\" Type=\"string\" Value=\"\"/>\n";
}

bool WriteUtf8(const std::wstring& path, const std::wstring& text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                       nullptr, nullptr);
  std::string bytes(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), bytes.data(), size, nullptr,
                      nullptr);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = WriteFile(file, bytes.data(), size, &written, nullptr) && written == static_cast<DWORD>(size);
  CloseHandle(file);
  return ok;
}

int Fail(const std::wstring& message) {
  fwprintf(stderr, L"hvregrows: %ls\n", message.c_str());
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 5) {
    fwprintf(stderr, L"usage: hvregrows SERVER.dll FILE-ID FOLDER-PROPERTY OUTPUT.wxi\n");
    return 2;
  }
  wchar_t full[MAX_PATH];
  if (!GetFullPathNameW(argv[1], MAX_PATH, full, nullptr)) return Fail(L"bad server path");
  const std::wstring server = full;
  const std::wstring folder = server.substr(0, server.find_last_of(L'\\'));
  std::vector<Row> rows;
  std::wstring error;
  if (!Capture(server, &rows, &error)) return Fail(error);
  if (rows.empty()) return Fail(L"DllRegisterServer wrote nothing");

  const std::wstring fileRef = L"[#" + std::wstring(argv[2]) + L"]";
  const std::wstring folderRef = L"[" + std::wstring(argv[3]) + L"]";
  std::wstring text = L"<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!-- Made by hvregrows from " +
                      EscapeXml(server.substr(folder.size() + 1)) + L"; not edited by hand. -->\n<Include>\n";
  std::vector<std::wstring> owned;
  for (const Row& row : rows) {
    const std::wstring key = OwnedKey(row.key);
    bool seen = key.empty();
    for (const std::wstring& k : owned) seen = seen || EqualNoCase(k, key);
    if (seen) continue;
    owned.push_back(key);
    text += KeyRow(key, L"*");
  }
  for (const Row& row : rows) {
    if (row.keyOnly) {
      text += KeyRow(row.key, L"+");
      continue;
    }
    std::wstring value = row.value;
    if (!row.isNumber) value = EqualNoCase(value, folder) ? folderRef : Formatted(value, server, fileRef);
    text += L"  <RegistryValue Root=\"HKCR\" Key=\"" + EscapeXml(row.key) + L"\"" +
            (row.hasName ? L" Name=\"" + EscapeXml(row.name) + L"\"" : L"") + L" Type=\"" +
            (row.isNumber ? L"integer" : L"string") + L"\" Value=\"" + EscapeXml(value) + L"\"/>\n";
  }
  text += L"</Include>\n";
  if (!WriteUtf8(argv[4], text)) return Fail(L"cannot write " + std::wstring(argv[4]));
  return 0;
}
