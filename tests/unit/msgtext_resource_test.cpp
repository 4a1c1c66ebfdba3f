// Provider resource DLLs found through the registry per language, the
// language resource libraries of the library itself, and the message check
// of resource messages.
//
// The cache is process-wide and never forgets a DLL, so each test uses
// provider names of its own.
#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "item/CTAVDiagnosticLogItem.h"
#include "module/ModuleState.h"
#include "msgtext/MessageFormat.h"
#include "msgtext/ResourceCache.h"
#include "support/TestSupport.h"

namespace hv {
namespace {

const std::wstring kProviders = L"SOFTWARE\\Corvala Software\\Halvern Diagnostics\\Providers\\";
constexpr LANGID kEnglish = 0x0009;
constexpr LANGID kGerman = 0x0007;
constexpr LCID kGermanLocale = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT);

std::wstring PumpDll(const wchar_t* language) { return test::BinDir() + L"Pump" + language + L".dll"; }

// A provider's "Resources" values, written as an installer would and removed
// with the provider's key afterwards.
class ProviderRegistration {
 public:
  explicit ProviderRegistration(std::wstring provider) : provider_(std::move(provider)) {}
  ~ProviderRegistration() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kProviders + provider_).c_str()); }
  ProviderRegistration(const ProviderRegistration&) = delete;
  ProviderRegistration& operator=(const ProviderRegistration&) = delete;

  void Set(LANGID language, const std::wstring& path) {
    ASSERT_TRUE(test::SetMachineString(ResourcesKey(), ValueName(language).c_str(), path));
  }
  void Remove(LANGID language) { test::DeleteMachineValue(ResourcesKey(), ValueName(language).c_str()); }
  // The "Resources" key without any value.
  void CreateEmpty() {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, ResourcesKey().c_str(), 0, nullptr, 0, KEY_WRITE,
                                             nullptr, &key, nullptr));
    RegCloseKey(key);
  }

 private:
  std::wstring ResourcesKey() const { return kProviders + provider_ + L"\\Resources"; }
  static std::wstring ValueName(LANGID language) {
    wchar_t name[8];
    swprintf(name, 8, L"0x%04X", language);
    return name;
  }

  std::wstring provider_;
};

// Runs with this thread locale and puts the previous one back.
class ThreadLocale {
 public:
  explicit ThreadLocale(LCID locale) : previous_(GetThreadLocale()) { SetThreadLocale(locale); }
  ~ThreadLocale() { SetThreadLocale(previous_); }

 private:
  LCID previous_;
};

std::wstring Message1001(HMODULE module) { return module ? LoadResourceString(module, 1001) : L"<no module>"; }

const std::wstring kEnglish1001 = L"Pump %1 started";
const std::wstring kGerman1001 = L"Pumpe %1 gestartet";

// The German DLL's path padded with "." and ".." steps to exactly n
// characters; the platform resolves them without touching the disk.
std::wstring PaddedGermanPath(size_t n) {
  const std::wstring name = L"PumpDEU.dll";
  std::wstring path = test::BinDir();
  size_t need = n - path.size() - name.size();
  if (need % 2) {
    path += L"x\\..\\";
    need -= 5;
  }
  for (; need > 0; need -= 2) path += L".\\";
  return path + name;
}

TEST(ProviderResources, ThreadLanguageFirstThenEnglish) {
  const std::wstring tooLong = PaddedGermanPath(260);
  ASSERT_EQ(260u, tooLong.size());
  HMODULE direct = LoadLibraryW(tooLong.c_str());
  ASSERT_NE(nullptr, direct) << "the platform loads the longer path: the limit of 259 is the cache's";
  FreeLibrary(direct);
  const std::wstring none;
  const struct {
    const wchar_t* provider;
    std::wstring german, english, expected;
  } cases[] = {
      {L"ResGermanFirst", PumpDll(L"DEU"), PumpDll(L"ENU"), kGerman1001},
      {L"ResEnglishOnly", none, PumpDll(L"ENU"), kEnglish1001},
      {L"ResNotLoading", test::BinDir() + L"NoSuch.dll", PumpDll(L"ENU"), kEnglish1001},
      {L"ResLongPath", tooLong, PumpDll(L"ENU"), kEnglish1001},
      {L"ResFullPath", PaddedGermanPath(259), PumpDll(L"ENU"), kGerman1001},
      {L"ResNothing", none, none, L"<no module>"},
  };
  ThreadLocale german(kGermanLocale);
  for (const auto& c : cases) {
    ProviderRegistration provider(c.provider);
    provider.CreateEmpty();
    if (!c.german.empty()) provider.Set(kGerman, c.german);
    if (!c.english.empty()) provider.Set(kEnglish, c.english);
    EXPECT_EQ(c.expected, Message1001(GetProviderResourceModule(c.provider))) << test::Narrow(c.provider);
  }
  EXPECT_EQ(nullptr, GetProviderResourceModule(L"NoSuchProvider"));
  EXPECT_EQ(nullptr, GetProviderResourceModule(L""));
}

TEST(ProviderResources, LoadedDllsAreCachedPerExactNameAndMissingOnesAreNot) {
  ProviderRegistration pump(L"Pump");
  EXPECT_EQ(nullptr, GetProviderResourceModule(L"Pump"));
  pump.Set(kEnglish, PumpDll(L"ENU"));
  {
    ThreadLocale german(kGermanLocale);
    EXPECT_EQ(kEnglish1001, Message1001(GetProviderResourceModule(L"Pump")));
    // A German DLL registered while the process runs is found on the next call.
    pump.Set(kGerman, PumpDll(L"DEU"));
    EXPECT_EQ(kGerman1001, Message1001(GetProviderResourceModule(L"Pump")));
  }
  // Loaded DLLs come from the cache: the registry is not read again...
  pump.Remove(kGerman);
  pump.Set(kEnglish, PumpDll(L"DEU"));
  {
    ThreadLocale german(kGermanLocale);
    EXPECT_EQ(kGerman1001, Message1001(GetProviderResourceModule(L"Pump")));
  }
  EXPECT_EQ(kEnglish1001, Message1001(GetProviderResourceModule(L"Pump")));
  // ...but the entry is per exact name, while the registry key is shared.
  EXPECT_EQ(kGerman1001, Message1001(GetProviderResourceModule(L"pump")));
}

TEST(ProviderResources, ConcurrentCallersLoadOnceAndReleaseFreesEverything) {
  ProviderRegistration provider(L"ConcurrentProbe");
  provider.Set(kEnglish, PumpDll(L"DEU"));
  std::atomic<bool> go{false};
  std::vector<HMODULE> found(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < found.size(); ++i)
    threads.emplace_back([&, i] {
      while (!go) std::this_thread::yield();
      found[i] = GetProviderResourceModule(L"ConcurrentProbe");
    });
  go = true;
  for (std::thread& thread : threads) thread.join();
  ASSERT_NE(nullptr, found[0]);
  for (HMODULE module : found) EXPECT_EQ(found[0], module);

  // Every load the cache made is undone: a DLL loaded twice but recorded once
  // would stay in the process.
  ReleaseProviderResourceModules();
  EXPECT_EQ(nullptr, GetModuleHandleW(PumpDll(L"DEU").c_str()));
  EXPECT_EQ(nullptr, GetModuleHandleW(PumpDll(L"ENU").c_str()));
  // The cache starts over.
  EXPECT_EQ(kGerman1001, Message1001(GetProviderResourceModule(L"ConcurrentProbe")));
  ReleaseProviderResourceModules();
}

TEST(MessageStrings, BufferHolds2999Characters) {
  HMODULE probe = LoadLibraryW((test::BinDir() + L"langprobe\\HvLangProbeEN.dll").c_str());
  ASSERT_NE(nullptr, probe);
  const std::wstring text = LoadResourceString(probe, 900);
  ASSERT_EQ(2999u, text.size());
  EXPECT_EQ(L"0123456789", text.substr(0, 10));
  EXPECT_EQ(L"012345678", text.substr(2990));
  EXPECT_EQ(L"", LoadResourceString(probe, 4242));
  EXPECT_EQ(L"", LoadResourceString(nullptr, 101));
  FreeLibrary(probe);
}

// --- The language resource libraries ------------------------------------------

std::wstring ModulePath(HMODULE module) {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(module, path, MAX_PATH);
  return path;
}

bool SamePath(const std::wstring& a, const std::wstring& b) { return lstrcmpiW(a.c_str(), b.c_str()) == 0; }

// The insertion marks of a text in order: "%s", "%d", "%1", ...
std::vector<std::wstring> Marks(const std::wstring& text) {
  std::vector<std::wstring> marks;
  for (size_t i = text.find(L'%'); i != std::wstring::npos; i = text.find(L'%', i + 2))
    marks.push_back(text.substr(i, 2));
  return marks;
}

TEST(LanguageLibraries, TranslationsCarryTheSameInsertions) {
  HMODULE english = LoadLibraryW((test::BinDir() + L"TAVDiagnosticsENU.dll").c_str());
  HMODULE german = LoadLibraryW((test::BinDir() + L"TAVDiagnosticsDEU.dll").c_str());
  ASSERT_NE(nullptr, english);
  ASSERT_NE(nullptr, german);
  const std::vector<std::vector<std::wstring>> expected = {
      {L"%s", L"%d"}, {L"%1", L"%2"}, {L"%1", L"%2", L"%3"}, {}};
  for (UINT id : {101u, 110u, 111u, 120u, 121u, 122u, 123u, 124u, 125u, 126u, 127u}) {
    const size_t kind = id == 101 ? 0 : id == 110 ? 1 : id == 111 ? 2 : 3;
    for (HMODULE module : {english, german}) {
      const std::wstring text = LoadResourceString(module, id);
      EXPECT_FALSE(text.empty()) << id;
      std::vector<std::wstring> marks = Marks(text);
      if (kind != 0) std::sort(marks.begin(), marks.end());  // translations may reorder places
      EXPECT_EQ(expected[kind], marks) << id << ": " << test::Narrow(text);
    }
  }
  // The German texts are German, not copies.
  EXPECT_NE(LoadResourceString(english, 124), LoadResourceString(german, 124));
  EXPECT_EQ(L"\x00dc" L"berwachung", LoadResourceString(german, 126));
  FreeLibrary(german);
  FreeLibrary(english);
}

TEST(LanguageLibraries, LanguageValueNamesAFolder) {
  const std::wstring product = L"HvLangProbeProduct";
  const std::wstring productKey = L"Software\\Corvala Software\\" + product;
  HMODULE self = ThisModule();
  // Nothing named HvLangProbe* beside the module or on the search path.
  EXPECT_EQ(nullptr, LoadLanguageLibrary(L"HvLangProbe", product.c_str(), nullptr, self));

  ASSERT_TRUE(test::SetMachineString(productKey, L"Language", test::BinDir() + L"langprobe"));
  HMODULE language = LoadLanguageLibrary(L"HvLangProbe", product.c_str(), nullptr, self);
  ASSERT_NE(nullptr, language);
  EXPECT_TRUE(SamePath(test::BinDir() + L"langprobe\\HvLangProbeEN.dll", ModulePath(language)))
      << test::Narrow(ModulePath(language));
  EXPECT_EQ(LoadResourceString(language, 110).substr(0, 20), std::wstring(L"Message categories o"));
  FreeLibrary(language);

  // With a sub-key, its own "Language" folder comes before the product's.
  ASSERT_TRUE(test::SetMachineString(productKey, L"Language", test::BinDir() + L"nowhere"));
  ASSERT_TRUE(test::SetMachineString(productKey + L"\\Viewer", L"Language", test::BinDir() + L"langprobe"));
  language = LoadLanguageLibrary(L"HvLangProbe", product.c_str(), L"Viewer", self);
  EXPECT_NE(nullptr, language);
  if (language) FreeLibrary(language);
  EXPECT_EQ(nullptr, LoadLanguageLibrary(L"HvLangProbe", product.c_str(), nullptr, self));
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, productKey.c_str());
}

// --- Checking resource messages ------------------------------------------------

class ResourceMessageCheck : public test::ComTest {
 protected:
  std::pair<HRESULT, std::wstring> Check(const wchar_t* provider, long id, const std::vector<VARIANT>& args) {
    ComPtr<CTAVDiagnosticLogItem> item = MakeObject<CTAVDiagnosticLogItem>();
    unique_variant message;
    message->vt = VT_I4;
    message->lVal = id;
    unique_safearray array(SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(args.size())));
    for (LONG i = 0; i < static_cast<LONG>(args.size()); ++i)
      SafeArrayPutElement(array.get(), &i, const_cast<VARIANT*>(&args[i]));
    item->SetStandardFields(nullptr, L"", 4, 1, 0, *message.get(), array.get());
    unique_variant providerValue;
    providerValue->vt = VT_BSTR;
    providerValue->bstrVal = SysAllocString(provider);
    unique_bstr name(SysAllocString(L"provider"));
    EXPECT_HRESULT_SUCCEEDED(item->PutParam(name.get(), *providerValue.get()));
    SetErrorInfo(0, nullptr);
    const HRESULT hr = CheckMessage(*item);
    return {hr, test::TakeErrorDescription()};
  }
};

TEST_F(ResourceMessageCheck, TemplatesComeFromTheProvidersDll) {
  using Result = std::pair<HRESULT, std::wstring>;
  ProviderRegistration provider(L"CheckProbe");
  provider.Set(kEnglish, PumpDll(L"ENU"));
  VARIANT name, pressure;
  VariantInit(&name);
  name.vt = VT_BSTR;
  name.bstrVal = SysAllocString(L"P1");
  VariantInit(&pressure);
  pressure.vt = VT_I4;
  pressure.lVal = 3;
  // 1002 is "Pump %1 pressure %2!d! bar".
  EXPECT_EQ(Result(S_OK, L""), Check(L"CheckProbe", 1002, {name, pressure}));
  EXPECT_EQ(Result(E_FAIL, L"An insertion argument was an incorrect type"), Check(L"CheckProbe", 1002, {name, name}));
  EXPECT_EQ(Result(E_FAIL, L"The message required more insertion arguments"), Check(L"CheckProbe", 1002, {name}));
  EXPECT_EQ(Result(E_FAIL, L"Failed to load the resource ID from the resource DLL"),
            Check(L"CheckProbe", 4242, {}));
  EXPECT_EQ(Result(E_FAIL, L"Failed to load the resource DLL"), Check(L"NoSuchCheckProvider", 1002, {name, pressure}));
  VariantClear(&name);
}

}  // namespace
}  // namespace hv
