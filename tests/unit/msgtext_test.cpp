// Templates and arguments, resource DLLs, language libraries, the message check; the cache is process-wide.
#include <algorithm>
#include <atomic>
#include <numeric>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "item/CTAVDiagnosticLogItem.h"
#include "module/ModuleState.h"
#include "msgtext/MessageFormat.h"
#include "msgtext/ResourceCache.h"
#include "support/TestSupport.h"

namespace hv::test {
namespace {

// An argument list that clears its VARIANTs.
struct Args {
  Args() = default;
  Args(const Args&) = delete;  // the copies would clear the same VARIANTs
  ~Args() {
    for (VARIANT& v : values) VariantClear(&v);
  }
  Args& Text(const wchar_t* text) { return Add(VT_BSTR).bstrVal = text ? SysAllocString(text) : nullptr, *this; }
  Args& I4(LONG value) { return Add(VT_I4).lVal = value, *this; }
  Args& I2(SHORT value) { return Add(VT_I2).iVal = value, *this; }
  Args& I1(signed char value) { return Add(VT_I1).cVal = static_cast<CHAR>(value), *this; }
  Args& R8(double value) { return Add(VT_R8).dblVal = value, *this; }
  Args& Of(VARTYPE type) { return Add(type), *this; }
  std::vector<VARIANT> values;
  VARIANT& Add(VARTYPE type) {
    values.push_back(VARIANT{});  // VT_EMPTY
    values.back().vt = type;
    return values.back();
  }
};

std::wstring Format(const std::wstring& messageTemplate, const Args& args = Args()) {
  std::wstring result = L"<not set>";
  EXPECT_TRUE(FormatInsertions(messageTemplate, args.values, &result)) << Narrow(messageTemplate);
  return result;
}

TEST(FormatInsertions, FillsPlacesFromTheArguments) {
  EXPECT_EQ(L"Disk C: is 95% full", Format(L"Disk %1 is %2!d!%% full", Args().Text(L"C:").I4(95)));
  // Other types: text under a text place, a 32-bit integer (rounded to even) under an integer format; empty is 0.
  EXPECT_EQ(L"2.5 items", Format(L"%1 items", Args().R8(2.5)));
  EXPECT_EQ(L"2|4", Format(L"%1!d!|%2!d!", Args().R8(2.5).R8(3.5)));
  EXPECT_EQ(L"0 and 0", Format(L"%1 and %2!d!", Args().Of(VT_EMPTY).Of(VT_EMPTY)));
  EXPECT_EQ(L"[]", Format(L"[%1]", Args().Text(nullptr)));
  // Places may repeat and come in any order; printf formats apply.
  EXPECT_EQ(L"b a b", Format(L"%2 %1 %2", Args().Text(L"a").Text(L"b")));
  EXPECT_EQ(L"  005|00FF|ab    |", Format(L"%1!5.3d!|%2!04X!|%3!-6s!|", Args().I4(5).I4(255).Text(L"ab")));
  EXPECT_EQ(L"A", Format(L"%1!c!", Args().I2(65)));
  // Escapes are processed once there are arguments; inserted text is not a template.
  EXPECT_EQ(L"a\r\nb\tc x", Format(L"a%nb%tc %1", Args().Text(L"x")));
  EXPECT_EQ(L"50%% %1", Format(L"%1", Args().Text(L"50%% %1")));
  // Small integers are sign-extended to the machine word; a BSTR is its pointer, whatever the format says.
  EXPECT_EQ(sizeof(void*) == 8 ? L"ffffffffffffffff" : L"ffffffff", Format(L"%1!Ix!", Args().I2(-1)));
  EXPECT_EQ(L"-5|-128", Format(L"%1!d!|%2!d!", Args().I2(-5).I1(-128)));
  Args text;
  text.Text(L"abc");
  EXPECT_EQ(std::to_wstring(static_cast<int>(reinterpret_cast<INT_PTR>(text.values[0].bstrVal))),
            Format(L"%1!d!", text));
  // A floating-point format gets a 32-bit word: Windows prints a tiny number, Wine's formatter the letter.
  const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  EXPECT_EQ(wine ? L"[f]" : L"[0.000000]", Format(L"[%1!f!]", Args().I4(1)));
}

TEST(FormatInsertions, PlacesWithoutArgumentBecomeNullAndNothingElseIsProcessed) {
  EXPECT_EQ(L"3 of (null)", Format(L"%1!d! of %2!d!", Args().I4(3)));
  EXPECT_EQ(L"(null) (null) (null)!", Format(L"%1 %2!d! %99!-10s!!"));
  EXPECT_EQ(L"100%", Format(L"100%%", Args().Text(L"unused")));
  EXPECT_EQ(L"a%nb %% (null)", Format(L"a%nb %% %1!x!"));
  // "%%1" is an escape followed by a digit; a place number has at most two digits.
  EXPECT_EQ(L"%%1 (null)", Format(L"%%1 %2"));
  EXPECT_EQ(L"%1 v", Format(L"%%1 %1", Args().Text(L"v")));
  EXPECT_EQ(L"(null)0", Format(L"%100"));
  EXPECT_EQ(L"x (null)", Format(L"%1 %12", Args().Text(L"x")));
}

TEST(FormatInsertions, WhatTheFormatterCannotSurviveLeavesTheTemplate) {
  // A 16-bit integer under a text place would be read as a string pointer.
  EXPECT_EQ(L"Valve %1 is (null)", Format(L"Valve %1 is %2", Args().I2(7)));
  EXPECT_EQ(L"[%1!s!]", Format(L"[%1!s!]", Args().I1(7)));
  // The type letter comes from the first "%1" text, here inside an escape.
  EXPECT_EQ(L"%%1!d! %1", Format(L"%%1!d! %1", Args().I4(5)));
  // "n" writes through its argument, "*" takes the width from the list, other letters or a second conversion
  // read words nobody passed, an unclosed format swallows the rest, huge widths overrun the formatter.
  for (const wchar_t* unusable : {L"%1!n!", L"%1!*d! x", L"%1!d%s!", L"%1!Z!", L"%1!d", L"%1!12345d!", L"%1!.99999s!",
                                  L"%1!----------------------s!", L"%1!!"})
    EXPECT_EQ(unusable, Format(unusable, Args().Text(L"t"))) << Narrow(unusable);
  // Nothing after "%0" is printed, so a place there cannot be unfit.
  EXPECT_EQ(L"abc", Format(L"abc%0def %1", Args().I2(5)));
  // A value without text form under a printed place leaves the template, missing places replaced.
  EXPECT_EQ(L"Got %1 and (null)", Format(L"Got %1 and %2", Args().Of(VT_NULL)));
  EXPECT_EQ(L"only b", Format(L"only %2", Args().Of(VT_NULL).Text(L"b")));
  // The formatter rejects a lone "%" at the end: the result is empty.
  EXPECT_EQ(L"", Format(L"Load %1 at 50%", Args().Text(L"x")));
  EXPECT_EQ(L"", Format(L"", Args().Text(L"x")));
}

const std::wstring kProviders = L"SOFTWARE\\Corvala Software\\Halvern Diagnostics\\Providers\\";
// The "Resources" value names of the two languages.
const wchar_t *kEnglish = L"0x0009", *kGerman = L"0x0007";
constexpr LCID kGermanLocale = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT);
const std::wstring kEnglish1001 = L"Pump %1 started", kGerman1001 = L"Pumpe %1 gestartet";

std::wstring PumpDll(const wchar_t* language) { return BinDir() + L"Pump" + language + L".dll"; }

// A provider's "Resources" values as an installer writes them; the provider's key goes afterwards.
struct Provider {
  explicit Provider(const std::wstring& name) : key(kProviders + name + L"\\Resources") {}
  ~Provider() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.substr(0, key.rfind(L'\\')).c_str()); }
  void Set(const wchar_t* language, const std::wstring& path) { ASSERT_TRUE(SetMachineString(key, language, path)); }
  const std::wstring key;
};

// Message 1001 of the provider as a thread with this locale (0: this thread's) looks it up.
std::wstring Message1001(const wchar_t* provider, LCID locale = 0) {
  const LCID previous = GetThreadLocale();
  SetThreadLocale(locale ? locale : previous);
  HMODULE module = GetProviderResourceModule(provider);
  SetThreadLocale(previous);
  return module ? LoadResourceString(module, 1001) : L"<no module>";
}

// The German DLL's path padded to n characters with "." and ".." steps, which the platform resolves.
std::wstring PaddedGermanPath(size_t n) {
  std::wstring path = BinDir();
  size_t need = n - path.size() - 11;  // "PumpDEU.dll"
  if (need % 2) path += L"x\\..\\", need -= 5;
  for (; need > 0; need -= 2) path += L".\\";
  return path + L"PumpDEU.dll";
}

TEST(ProviderResources, ThreadLanguageFirstThenEnglish) {
  const std::wstring tooLong = PaddedGermanPath(260);
  HMODULE direct = LoadLibraryW(tooLong.c_str());
  ASSERT_NE(nullptr, direct) << "the platform loads the longer path: the limit of 259 is the cache's";
  FreeLibrary(direct);
  // Each provider has the English DLL; the German one, if any, is given.
  const std::tuple<const wchar_t*, std::wstring, std::wstring> cases[] = {
      {L"ResGermanFirst", PumpDll(L"DEU"), kGerman1001},
      {L"ResEnglishOnly", L"", kEnglish1001},
      {L"ResNotLoading", BinDir() + L"NoSuch.dll", kEnglish1001},
      {L"ResLongPath", tooLong, kEnglish1001},
      {L"ResFullPath", PaddedGermanPath(259), kGerman1001}};
  for (const auto& [name, germanDll, expected] : cases) {
    Provider provider(name);
    if (!germanDll.empty()) provider.Set(kGerman, germanDll);
    provider.Set(kEnglish, PumpDll(L"ENU"));
    EXPECT_EQ(expected, Message1001(name, kGermanLocale)) << Narrow(name);
  }
  EXPECT_EQ(L"<no module>", Message1001(L"NoSuchProvider", kGermanLocale));
  EXPECT_EQ(L"<no module>", Message1001(L"", kGermanLocale));
}

TEST(ProviderResources, LoadedDllsAreCachedOncePerExactNameUntilReleasedAndMissingOnesAreNot) {
  Provider pump(L"Pump");
  EXPECT_EQ(L"<no module>", Message1001(L"Pump"));
  pump.Set(kEnglish, PumpDll(L"ENU"));
  EXPECT_EQ(kEnglish1001, Message1001(L"Pump", kGermanLocale));
  // A German DLL registered while the process runs is found on the next call.
  pump.Set(kGerman, PumpDll(L"DEU"));
  EXPECT_EQ(kGerman1001, Message1001(L"Pump", kGermanLocale));
  // Loaded DLLs come from the cache, not the registry...
  DeleteMachineValue(pump.key, kGerman);
  pump.Set(kEnglish, PumpDll(L"DEU"));
  EXPECT_EQ(kGerman1001, Message1001(L"Pump", kGermanLocale));
  EXPECT_EQ(kEnglish1001, Message1001(L"Pump"));
  // ...but the entry is per exact name, while the registry key is shared.
  EXPECT_EQ(kGerman1001, Message1001(L"pump"));

  // Concurrent callers load a DLL once; the release undoes every load and the cache starts over.
  Provider concurrent(L"ConcurrentProbe");
  concurrent.Set(kEnglish, PumpDll(L"DEU"));
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
  ReleaseProviderResourceModules();
  EXPECT_EQ(nullptr, GetModuleHandleW(PumpDll(L"DEU").c_str()));
  EXPECT_EQ(nullptr, GetModuleHandleW(PumpDll(L"ENU").c_str()));
  EXPECT_EQ(kGerman1001, Message1001(L"ConcurrentProbe"));
  ReleaseProviderResourceModules();
}

TEST(LanguageLibraries, HoldStringsOfUpTo2999CharactersAndTheSameInsertionsAndAreFoundThroughTheLanguageValue) {
  HMODULE probe = LoadLibraryW((BinDir() + L"langprobe\\HvLangProbeEN.dll").c_str());
  ASSERT_NE(nullptr, probe);
  std::wstring digits;  // the string is "0123456789" 310 times
  for (int i = 0; i < 2999; ++i) digits += static_cast<wchar_t>(L'0' + i % 10);
  EXPECT_EQ(digits, LoadResourceString(probe, 900));
  EXPECT_EQ(L"", LoadResourceString(probe, 4242));
  EXPECT_EQ(L"", LoadResourceString(nullptr, 101));
  FreeLibrary(probe);

  HMODULE english = LoadLibraryW((BinDir() + L"TAVDiagnosticsENU.dll").c_str());
  HMODULE german = LoadLibraryW((BinDir() + L"TAVDiagnosticsDEU.dll").c_str());
  ASSERT_TRUE(english && german);
  for (UINT id : {101u, 110u, 111u, 120u, 121u, 122u, 123u, 124u, 125u, 126u, 127u}) {
    // The insertion marks in order ("%s", "%1", ...); translations may reorder places.
    const std::wstring expected = id == 101 ? L"%s%d" : id == 110 ? L"%1%2" : id == 111 ? L"%1%2%3" : L"";
    for (HMODULE module : {english, german}) {
      const std::wstring message = LoadResourceString(module, id);
      std::vector<std::wstring> marks;
      for (size_t i = message.find(L'%'); i != std::wstring::npos; i = message.find(L'%', i + 2))
        marks.push_back(message.substr(i, 2));
      if (id != 101) std::sort(marks.begin(), marks.end());
      EXPECT_FALSE(message.empty()) << id;
      EXPECT_EQ(expected, std::accumulate(marks.begin(), marks.end(), std::wstring())) << id << ": " << Narrow(message);
    }
  }
  // The German texts are German, not copies.
  EXPECT_NE(LoadResourceString(english, 124), LoadResourceString(german, 124));
  EXPECT_EQ(L"\u00dcberwachung", LoadResourceString(german, 126));
  FreeLibrary(german);
  FreeLibrary(english);

  // A library is found through the product's Language value, a sub-key's first.
  const std::wstring product = L"HvLangProbeProduct", key = L"Software\\Corvala Software\\" + product;
  // Nothing named HvLangProbe* beside the module or on the search path.
  EXPECT_EQ(nullptr, LoadLanguageLibrary(L"HvLangProbe", product.c_str(), nullptr, ThisModule()));
  ASSERT_TRUE(SetMachineString(key, L"Language", BinDir() + L"langprobe"));
  HMODULE language = LoadLanguageLibrary(L"HvLangProbe", product.c_str(), nullptr, ThisModule());
  ASSERT_NE(nullptr, language);
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(language, path, MAX_PATH);
  EXPECT_EQ(0, lstrcmpiW((BinDir() + L"langprobe\\HvLangProbeEN.dll").c_str(), path)) << Narrow(path);
  FreeLibrary(language);
  ASSERT_TRUE(SetMachineString(key, L"Language", BinDir() + L"nowhere"));
  ASSERT_TRUE(SetMachineString(key + L"\\Viewer", L"Language", BinDir() + L"langprobe"));
  language = LoadLanguageLibrary(L"HvLangProbe", product.c_str(), L"Viewer", ThisModule());
  EXPECT_TRUE(language && FreeLibrary(language)) << "the sub-key's Language folder";
  EXPECT_EQ(nullptr, LoadLanguageLibrary(L"HvLangProbe", product.c_str(), nullptr, ThisModule()));
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
}

using Result = std::pair<HRESULT, std::wstring>;
const Result kFits(S_OK, L""), kIncorrectType(E_FAIL, L"An insertion argument was an incorrect type"),
    kMoreArguments(E_FAIL, L"The message required more insertion arguments");

class CheckMessageTest : public ComTest {
 protected:
  // The check of a text (or the provider's resource id) with these arguments, and the error description left.
  Result Check(const wchar_t* text, const Args& args, long id = -1, const wchar_t* provider = L"") {
    ComPtr<CTAVDiagnosticLogItem> item = MakeObject<CTAVDiagnosticLogItem>();
    Args fields;  // the message and the provider
    (text ? fields.Text(text) : fields.I4(id)).Text(provider);
    unique_safearray array(SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(args.values.size())));
    for (LONG i = 0; i < static_cast<LONG>(args.values.size()); ++i)
      SafeArrayPutElement(array.get(), &i, const_cast<VARIANT*>(&args.values[i]));
    item->SetStandardFields(nullptr, L"", 4, 1, 0, fields.values[0], array.get());
    EXPECT_EQ(item->PutParam(unique_bstr(SysAllocString(L"provider")).get(), fields.values[1]), S_OK);
    SetErrorInfo(0, nullptr);
    return {CheckMessage(*item), TakeErrorDescription()};  // braces: evaluated in order
  }
};

TEST_F(CheckMessageTest, ArgumentTypesMustFitTheFormatsOfTextsAndResourceTemplates) {
  EXPECT_EQ(kIncorrectType, Check(L"%1!d!", Args().Text(L"x")));
  EXPECT_EQ(kFits, Check(L"%1!d!", Args().I4(1)));
  // Any type outside the four strict ones fits an integer format...
  EXPECT_EQ(kFits, Check(L"%1!d!", Args().R8(1.5)));
  // ...the strict ones must be exactly what the letter asks for.
  EXPECT_EQ(kIncorrectType, Check(L"%1!d!", Args().I2(1)));
  EXPECT_EQ(kIncorrectType, Check(L"%1!d!", Args().Of(VT_EMPTY)));
  EXPECT_EQ(kIncorrectType, Check(L"%1!d!", Args().I1(1)));
  EXPECT_EQ(kFits, Check(L"%1!c!", Args().I2(65)));
  EXPECT_EQ(kIncorrectType, Check(L"%1!C!", Args().I4(65)));
  EXPECT_EQ(kFits, Check(L"%1 and %2!s!", Args().Text(L"a").Text(L"b")));
  EXPECT_EQ(kIncorrectType, Check(L"%1", Args().I4(1)));
  EXPECT_EQ(kIncorrectType, Check(L"%1 %2!u!", Args().Text(L"a").Text(L"b")));
  // The letter of place 1 is taken at the first "%1", which here is "%12".
  EXPECT_EQ(kIncorrectType, Check(L"%12 %1!d!", Args().I4(1)));
  // Floating point ends the check without error information.
  EXPECT_EQ(Result(E_FAIL, L""), Check(L"%1!f!", Args().R8(1.5)));
  EXPECT_EQ(Result(E_FAIL, L""), Check(L"%1 %2!5.2e!", Args().Text(L"a")));
  // The numbers are walked up to the first gap; extra arguments are allowed.
  EXPECT_EQ(kMoreArguments, Check(L"%1 %2", Args().Text(L"a")));
  EXPECT_EQ(kMoreArguments, Check(L"Pump %1", Args()));
  EXPECT_EQ(kFits, Check(L"%1 and %3", Args().Text(L"a")));
  EXPECT_EQ(kFits, Check(L"%1", Args().Text(L"a").I4(2).Of(VT_NULL)));
  EXPECT_EQ(kFits, Check(L"Started", Args()));
  EXPECT_EQ(Result(E_FAIL, L"The message text is an empty string"), Check(L"", Args()));

  // A resource message's template comes from the provider's DLL.
  Provider provider(L"CheckProbe");
  provider.Set(kEnglish, PumpDll(L"ENU"));
  // 1002 is "Pump %1 pressure %2!d! bar".
  EXPECT_EQ(kFits, Check(nullptr, Args().Text(L"P1").I4(3), 1002, L"CheckProbe"));
  EXPECT_EQ(kIncorrectType, Check(nullptr, Args().Text(L"P1").Text(L"P1"), 1002, L"CheckProbe"));
  EXPECT_EQ(kMoreArguments, Check(nullptr, Args().Text(L"P1"), 1002, L"CheckProbe"));
  EXPECT_EQ(Result(E_FAIL, L"Failed to load the resource ID from the resource DLL"),
            Check(nullptr, Args(), 4242, L"CheckProbe"));
  EXPECT_EQ(Result(E_FAIL, L"Failed to load the resource DLL"),
            Check(nullptr, Args().Text(L"P1").I4(3), 1002, L"NoSuchCheckProvider"));
}

}  // namespace
}  // namespace hv::test
