// The language resource library: base name + language abbreviation + ".dll",
// searched first beside the library, then in the folders that "Language"
// names in the product's registry keys, then on the system's search path.
#include <string>
#include <vector>

#include "common/Unique.h"
#include "module/ModuleState.h"

namespace hv {
namespace {

constexpr size_t kMaxPath = 260;

// "Language" of HKLM "Software\Corvala Software\<subPath>" followed by "\".
bool ReadLanguageFolder(const std::wstring& subPath, std::wstring* folder) {
  const std::wstring keyPath = L"Software\\Corvala Software\\" + subPath;
  unique_hkey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
    return false;
  wchar_t buffer[kMaxPath + 1] = {};
  DWORD size = kMaxPath * sizeof(wchar_t);  // 520 bytes
  DWORD type = 0;
  if (RegQueryValueExW(key.get(), L"Language", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
      ERROR_SUCCESS)
    return false;
  buffer[size / sizeof(wchar_t) < kMaxPath ? size / sizeof(wchar_t) : kMaxPath] = L'\0';
  *folder = std::wstring(buffer) + L"\\";
  return true;
}

bool LocaleText(LCTYPE type, std::wstring* text) {
  wchar_t buffer[16];
  if (GetLocaleInfoW(LOCALE_USER_DEFAULT, type, buffer, 16) == 0) return false;
  *text = buffer;
  return true;
}

}  // namespace

HMODULE LoadLanguageLibrary(const wchar_t* baseName, const wchar_t* productName,
                            const wchar_t* subKeyName, HINSTANCE moduleInstance) {
  std::vector<std::wstring> folders;
  wchar_t modulePath[kMaxPath];
  const DWORD length = GetModuleFileNameW(moduleInstance, modulePath, kMaxPath);
  if (length > 0 && length < kMaxPath) {
    std::wstring path(modulePath, length);
    const size_t slash = path.rfind(L'\\');
    if (slash != std::wstring::npos) folders.push_back(path.substr(0, slash + 1));
  }
  std::wstring folder;
  if (productName && subKeyName &&
      ReadLanguageFolder(std::wstring(productName) + L"\\" + subKeyName, &folder))
    folders.push_back(folder);
  if (productName && ReadLanguageFolder(productName, &folder)) folders.push_back(folder);
  folders.push_back(L"");

  std::vector<std::wstring> names;
  std::wstring language;
  if (LocaleText(LOCALE_SABBREVLANGNAME, &language)) names.push_back(baseName + language + L".dll");
  if (LocaleText(LOCALE_SISO639LANGNAME, &language)) names.push_back(baseName + language + L".dll");
  names.push_back(std::wstring(baseName) + L"EN.dll");

  for (const std::wstring& candidateFolder : folders) {
    for (const std::wstring& name : names) {
      const std::wstring candidate = candidateFolder + name;
      if (candidate.size() >= kMaxPath) continue;  // no room for the terminator
      if (HMODULE library = LoadLibraryW(candidate.c_str())) return library;
    }
  }
  return nullptr;
}

}  // namespace hv
