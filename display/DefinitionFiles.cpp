#include "display/DefinitionFiles.h"

#include <shlobj.h>

#include <cstdio>
#include <memory>
#include <new>

#include "common/ModuleLock.h"
#include "common/Unique.h"

namespace hv {
namespace {

constexpr wchar_t kSubFolder[] = L"\\Corvala";
constexpr wchar_t kExtension[] = L".hvds";
// Files are read through a fixed buffer; each chunk is converted on its own.
constexpr size_t kChunkBytes = 2000;

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};
using unique_file = std::unique_ptr<FILE, FileCloser>;

struct FindCloser {
  void operator()(HANDLE find) const {
    if (find != INVALID_HANDLE_VALUE) FindClose(find);
  }
};
using unique_find = std::unique_ptr<void, FindCloser>;

bool CommonFilesFromRegistry(std::wstring* folder) {
  unique_hkey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", 0, KEY_QUERY_VALUE,
                    key.put()) != ERROR_SUCCESS)
    return false;
  wchar_t value[MAX_PATH] = {};
  DWORD size = sizeof(value);
  DWORD type = 0;
  if (RegQueryValueExW(key.get(), L"CommonFilesDir", nullptr, &type, reinterpret_cast<BYTE*>(value), &size) !=
          ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return false;
  // A value that fills the buffer has no room for its terminator: too long
  // to be a usable folder.
  const size_t length = size / sizeof(wchar_t);
  if (length == MAX_PATH && value[MAX_PATH - 1] != L'\0') return false;
  *folder = value;
  return true;
}

bool EndsWithExtension(const std::wstring& path) {
  const size_t length = std::size(kExtension) - 1;
  return path.size() >= length &&
         CompareStringOrdinal(path.c_str() + path.size() - length, -1, kExtension, -1, TRUE) == CSTR_EQUAL;
}

}  // namespace

bool FindDefinitionFolder(std::wstring* folder) {
  folder->clear();
  wchar_t path[MAX_PATH] = {};
  if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES_COMMON, nullptr, 0, path))) {
    *folder = std::wstring(path) + kSubFolder;
    return true;
  }
  std::wstring common;
  if (CommonFilesFromRegistry(&common)) {
    *folder = common + kSubFolder;
    return true;
  }
  // A system without a common files folder: the files lie beside the library.
  wchar_t module[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(ThisModule(), module, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  std::wstring directory(module, length);
  const size_t slash = directory.rfind(L'\\');
  if (slash == std::wstring::npos || slash == 0) return false;
  *folder = directory.substr(0, slash);
  return true;
}

std::wstring ReadDefinitionFile(const std::wstring& path) {
  std::wstring text;
  // Text mode: the runtime drops the CR of every CR LF and stops at 0x1A.
  unique_file file(_wfopen(path.c_str(), L"rt"));
  if (!file) return text;
  char chunk[kChunkBytes];
  // Read until the end; a failed read loses its chunk, what came before it
  // is kept.
  for (;;) {
    const size_t read = fread(chunk, 1, sizeof(chunk), file.get());
    if (read == 0 || ferror(file.get())) break;
    const int wide = MultiByteToWideChar(CP_ACP, 0, chunk, static_cast<int>(read), nullptr, 0);
    if (wide > 0) {
      const size_t start = text.size();
      text.resize(start + wide);
      MultiByteToWideChar(CP_ACP, 0, chunk, static_cast<int>(read), &text[start], wide);
    }
  }
  return text;
}

void LoadDefinitionFiles(const std::wstring& folder, std::vector<std::wstring>* files) {
  WIN32_FIND_DATAW entry;
  unique_find find(FindFirstFileW((folder + L"\\*.*").c_str(), &entry));
  if (find.get() == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring path = folder + L"\\" + entry.cFileName;
    // Directories and locked files do not open and are passed over.
    if (!EndsWithExtension(path)) continue;
    std::wstring text = ReadDefinitionFile(path);
    if (!text.empty()) files->push_back(std::move(text));
  } while (FindNextFileW(find.get(), &entry));
}

HRESULT EnsureDefinitionFilesLoaded(std::vector<std::wstring>** files) {
  if (!*files) {
    *files = new (std::nothrow) std::vector<std::wstring>();
    if (!*files) return E_OUTOFMEMORY;
  }
  // Once a file has been read the texts are kept for the manager's life;
  // until then every call looks again, so a product installed while a viewer
  // runs is seen at its next call.
  if (!(*files)->empty()) return S_OK;
  std::wstring folder;
  // Without a folder there is nothing to list (not the current drive's root).
  if (FindDefinitionFolder(&folder)) LoadDefinitionFiles(folder, *files);
  return S_OK;
}

}  // namespace hv
