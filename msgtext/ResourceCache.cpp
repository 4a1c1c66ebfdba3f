// Providers install one resource DLL per language and name it in the registry:
//   HKLM\SOFTWARE\Corvala Software\Halvern Diagnostics\Providers\<provider>\Resources
//     "0x0009" = path of the English DLL, "0x0007" = the German one, ...
// A DLL once loaded stays loaded (and cached) until the library unloads, so a
// provider's messages cost one map lookup after the first.
#include "msgtext/ResourceCache.h"

#include <cwchar>
#include <map>
#include <new>

#include "common/CriticalSection.h"
#include "common/Unique.h"

namespace hv {
namespace {

constexpr wchar_t kProvidersKey[] = L"SOFTWARE\\Corvala Software\\Halvern Diagnostics\\Providers\\";
// A registered path must fit 260 UTF-16 units, its terminator included.
constexpr DWORD kPathBufferBytes = 520;

// The process-wide cache. Entries are only ever added while the process runs;
// a provider or language without a DLL leaves nothing behind, so a DLL
// registered later is found on the next call.
class ResourceModuleCache {
 public:
  HMODULE Get(const std::wstring& provider);
  void ReleaseAll();

 private:
  using LanguageMap = std::map<LANGID, HMODULE>;

  HMODULE Cached(const std::wstring& provider, LANGID language) const;
  HMODULE LoadRegistered(const std::wstring& provider, HKEY resources, LANGID language);

  CriticalSection lock_;
  // Provider names are compared exactly: "Pump" and "pump" share a registry
  // key but are cached separately.
  std::map<std::wstring, LanguageMap> providers_;
};

ResourceModuleCache g_cache;

// Thread, user, system, then English; duplicates are kept (a duplicate only
// costs a second cache lookup).
void LanguageOrder(LANGID (&languages)[4]) {
  languages[0] = PRIMARYLANGID(LANGIDFROMLCID(GetThreadLocale()));
  languages[1] = PRIMARYLANGID(LANGIDFROMLCID(GetUserDefaultLCID()));
  languages[2] = PRIMARYLANGID(LANGIDFROMLCID(GetSystemDefaultLCID()));
  languages[3] = LANG_ENGLISH;
}

HMODULE ResourceModuleCache::Cached(const std::wstring& provider, LANGID language) const {
  const auto entry = providers_.find(provider);
  if (entry == providers_.end()) return nullptr;
  const auto module = entry->second.find(language);
  return module == entry->second.end() ? nullptr : module->second;
}

HMODULE ResourceModuleCache::LoadRegistered(const std::wstring& provider, HKEY resources, LANGID language) {
  wchar_t valueName[8];
  swprintf(valueName, 8, L"0x%04X", static_cast<unsigned>(language));
  // One unit beyond the 520 bytes so that data stored without a terminator
  // still ends in one.
  wchar_t path[kPathBufferBytes / sizeof(wchar_t) + 1] = {};
  DWORD size = kPathBufferBytes;
  // The value's type is not examined and the data is used as it is (no
  // environment expansion): what the installer wrote is the path.
  if (RegQueryValueExW(resources, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(path), &size) !=
      ERROR_SUCCESS)
    return nullptr;
  path[size / sizeof(wchar_t)] = L'\0';
  HMODULE module = LoadLibraryW(path);
  if (!module) return nullptr;
  try {
    providers_[provider][language] = module;
  } catch (const std::bad_alloc&) {
    // An entry that cannot be recorded could never be freed: give the DLL
    // back and let the next language try.
    FreeLibrary(module);
    return nullptr;
  }
  return module;
}

HMODULE ResourceModuleCache::Get(const std::wstring& provider) {
  LANGID languages[4];
  LanguageOrder(languages);
  // An empty name would collapse the key path onto "Providers\Resources".
  if (provider.empty()) return nullptr;

  // Held across the registry reads and LoadLibraryW: two threads asking for
  // the same provider load its DLL once.
  auto lock = lock_.lock();
  unique_hkey resources;
  for (const LANGID language : languages) {
    if (HMODULE module = Cached(provider, language)) return module;
    if (!resources) {
      const std::wstring keyPath = kProvidersKey + provider + L"\\Resources";
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, resources.put()) != ERROR_SUCCESS)
        continue;
    }
    if (HMODULE module = LoadRegistered(provider, resources.get(), language)) return module;
  }
  return nullptr;
}

void ResourceModuleCache::ReleaseAll() {
  auto lock = lock_.lock();
  for (auto& provider : providers_)
    for (auto& language : provider.second) FreeLibrary(language.second);
  providers_.clear();
}

}  // namespace

HMODULE GetProviderResourceModule(const std::wstring& provider) { return g_cache.Get(provider); }

void ReleaseProviderResourceModules() { g_cache.ReleaseAll(); }

}  // namespace hv
