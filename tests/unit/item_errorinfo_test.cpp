// The item as an error object: its error fields, its description (the
// message formatted for the caller's language, with every fallback), and
// foreign error objects stored as children.
#include <windows.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/ComObject.h"
#include "item/CTAVDiagnosticLogItem.h"
#include "module/ModuleState.h"
#include "support/ItemParams.h"
#include "support/TestSupport.h"

namespace hv {
namespace {

using test::ComTest;
using test::Put;
using test::PutLong;
using test::PutText;
using test::Narrow;

const std::wstring kProviders = std::wstring(kProductKey) + L"\\Providers\\";

// Registers (or, with an empty path, removes) one language of a provider.
class ProviderRegistration {
 public:
  ProviderRegistration(const std::wstring& provider, const wchar_t* language, const std::wstring& path)
      : key_(kProviders + provider + L"\\Resources"), language_(language) {
    EXPECT_TRUE(test::SetMachineString(key_, language, path));
  }
  ~ProviderRegistration() { test::DeleteMachineValue(key_, language_); }

 private:
  std::wstring key_;
  const wchar_t* language_;
};

// A module that exists but holds no string table: this test program.
std::wstring ModuleWithoutStrings() {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return path;
}

class ItemErrorInfoTest : public ComTest {
 protected:
  void TearDown() override {
    SetThreadLocale(MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT));
    ComTest::TearDown();
  }
};

ComPtr<CTAVDiagnosticLogItem> NewItem() { return MakeObject<CTAVDiagnosticLogItem>(); }

// Sets the item's arguments to these values, which it clears.
void PutArguments(IUnknown* item, std::vector<VARIANT> args) {
  unique_variant list;
  list->vt = VT_ARRAY | VT_VARIANT;
  list->parray = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(args.size()));
  for (LONG i = 0; i < static_cast<LONG>(args.size()); ++i) {
    SafeArrayPutElement(list->parray, &i, &args[i]);
    VariantClear(&args[i]);
  }
  Put(item, L"arglist", *list.get());
}
VARIANT Text(const wchar_t* text) {
  VARIANT v;
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(text);
  return v;
}
std::wstring Description(IUnknown* object) {
  ComPtr<IErrorInfo> info;
  EXPECT_EQ(S_OK, object->QueryInterface(IID_IErrorInfo, info.put_void()));
  unique_bstr description;
  EXPECT_EQ(S_OK, info->GetDescription(description.put()));
  return description ? std::wstring(description.get(), SysStringLen(description.get())) : L"<null>";
}
std::wstring MessageText(IUnknown* object) {
  ComPtr<ITAVDiagnosticLogItem> item;
  object->QueryInterface(IID_ITAVDiagnosticLogItem, item.put_void());
  unique_variant message;
  EXPECT_EQ(S_OK, item->GetParam(unique_bstr(SysAllocString(L"msgtext")).get(), message.put()));
  return message->vt == VT_BSTR ? std::wstring(message->bstrVal) : L"<not text>";
}

std::wstring NoDllText(const std::wstring& provider, long id) {
  return L"Halvern Diagnostics failed to load the message for " + provider +
         L".  The provider's resource file could not be found.  The resource id was " + std::to_wstring(id) + L".";
}

// Source, help file, GUID and help context of an error object, as one text.
std::wstring Fields(IUnknown* object) {
  ComPtr<IErrorInfo> info;
  EXPECT_EQ(S_OK, object->QueryInterface(IID_IErrorInfo, info.put_void()));
  unique_bstr source, helpFile;
  GUID guid = {1, 2, 3, {4}};
  DWORD context = 99;
  EXPECT_EQ(S_OK, info->GetSource(source.put()));
  EXPECT_EQ(S_OK, info->GetHelpFile(helpFile.put()));
  EXPECT_EQ(S_OK, info->GetGUID(&guid));
  EXPECT_EQ(S_OK, info->GetHelpContext(&context));
  wchar_t guidText[40] = {};
  StringFromGUID2(guid, guidText, 40);
  return std::wstring(source.get() ? source.get() : L"<null>") + L"|" + (helpFile.get() ? helpFile.get() : L"<null>") +
         L"|" + guidText + L"|" + std::to_wstring(context);
}
const wchar_t kNoGuid[] = L"{00000000-0000-0000-0000-000000000000}";
const GUID kGuid = {0x12345678, 9, 10, {11, 12, 13, 14, 15, 16, 17, 18}};
const wchar_t kGuidText[] = L"{12345678-0009-000A-0B0C-0D0E0F101112}";

TEST_F(ItemErrorInfoTest, ErrorFieldsOfAnItemAndOfAForeignChild) {
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  PutText(item->Inner(), L"msgtext", L"Started");
  PutText(item->Inner(), L"provider", L"Pump");
  EXPECT_EQ(L"Started", Description(item->Inner()));
  EXPECT_EQ(std::wstring(L"Pump||") + kNoGuid + L"|0", Fields(item->Inner()));
  EXPECT_EQ(E_POINTER, item->GetDescription(nullptr));
  EXPECT_EQ(E_POINTER, item->GetSource(nullptr));
  EXPECT_EQ(E_POINTER, item->GetGUID(nullptr));
  EXPECT_EQ(E_POINTER, item->GetHelpFile(nullptr));
  EXPECT_EQ(E_POINTER, item->GetHelpContext(nullptr));

  // The item's setters, then a foreign error object with the same fields
  // stored as a child, which becomes an item.
  ComPtr<ICreateErrorInfo> create;
  ASSERT_EQ(S_OK, CreateErrorInfo(create.put()));
  create->SetDescription(const_cast<wchar_t*>(L"Disk full"));
  for (ICreateErrorInfo* setter : {static_cast<ICreateErrorInfo*>(item.get()), create.get()}) {
    EXPECT_EQ(S_OK, setter->SetGUID(kGuid));
    EXPECT_EQ(S_OK, setter->SetHelpFile(const_cast<wchar_t*>(L"storage.chm")));
    EXPECT_EQ(S_OK, setter->SetHelpContext(77));
    EXPECT_EQ(S_OK, setter->SetSource(const_cast<wchar_t*>(L"Storage")));
  }
  const std::wstring expected = std::wstring(L"Storage|storage.chm|") + kGuidText + L"|77";
  EXPECT_EQ(expected, Fields(item->Inner()));
  EXPECT_EQ(L"Storage", item->Provider());
  ComPtr<IErrorInfo> foreign;
  ASSERT_EQ(S_OK, create->QueryInterface(IID_IErrorInfo, foreign.put_void()));
  ComPtr<CTAVDiagnosticLogItem> parent = NewItem();
  ASSERT_EQ(S_OK, parent->SetChild(foreign.get()));
  ComPtr<IUnknown> child;
  ASSERT_EQ(S_OK, parent->GetChild(child.put()));
  ASSERT_TRUE(child);
  EXPECT_EQ(L"Disk full", MessageText(child.get()));
  EXPECT_EQ(L"Disk full", Description(child.get()));
  EXPECT_EQ(expected, Fields(child.get()));

  // A null source or help file is empty.
  EXPECT_EQ(S_OK, item->SetSource(nullptr));
  EXPECT_EQ(S_OK, item->SetHelpFile(nullptr));
  EXPECT_EQ(std::wstring(L"||") + kGuidText + L"|77", Fields(item->Inner()));
}

TEST_F(ItemErrorInfoTest, SetDescriptionTurnsTheMessageIntoText) {
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  PutText(item->Inner(), L"provider", L"Pump");
  PutLong(item->Inner(), L"msgtext", 7);
  EXPECT_EQ(NoDllText(L"Pump", 7), Description(item->Inner()));
  ASSERT_EQ(S_OK, item->SetDescription(const_cast<wchar_t*>(L"Stopped")));
  EXPECT_EQ(L"Stopped", MessageText(item->Inner()));
  EXPECT_EQ(L"Stopped", Description(item->Inner()));
  // The arguments stay and fill the text's insertion places; the item serves
  // as the thread's error object.
  PutArguments(item->Inner(), {Text(L"C:")});
  ASSERT_EQ(S_OK, item->SetDescription(const_cast<wchar_t*>(L"Disk %1 is full")));
  ASSERT_EQ(S_OK, SetErrorInfo(0, item.get()));
  EXPECT_EQ(L"Disk C: is full", test::TakeErrorDescription());
  ASSERT_EQ(S_OK, item->SetDescription(nullptr));
  EXPECT_EQ(L"", Description(item->Inner()));
}

TEST_F(ItemErrorInfoTest, DescriptionFallsBackPerLanguageAndIsRecomputedAfterChanges) {
  // The provider has a DLL without strings for German only: English callers
  // get the fallback of a missing DLL, German ones that of a missing string.
  ProviderRegistration german(L"HvItemTestGermanOnly", L"0x0007", ModuleWithoutStrings());
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  PutText(item->Inner(), L"provider", L"HvItemTestGermanOnly");
  PutLong(item->Inner(), L"msgtext", 12);
  const std::wstring english = NoDllText(L"HvItemTestGermanOnly", 12);
  EXPECT_EQ(english, Description(item->Inner()));
  ASSERT_TRUE(SetThreadLocale(MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT)));
  EXPECT_EQ(L"ID = 12", Description(item->Inner()));
  ASSERT_TRUE(SetThreadLocale(MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT)));
  EXPECT_EQ(english, Description(item->Inner()));
  // The source names the provider whose DLL is used.
  ComPtr<CTAVDiagnosticLogItem> other = NewItem();
  PutLong(other->Inner(), L"msgtext", 12);
  ASSERT_EQ(S_OK, other->SetSource(const_cast<wchar_t*>(L"HvItemTestGermanOnly")));
  ASSERT_TRUE(SetThreadLocale(MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT)));
  EXPECT_EQ(L"ID = 12", Description(other->Inner()));
  ASSERT_TRUE(SetThreadLocale(MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT)));

  // Any change of a field formats anew.
  PutLong(item->Inner(), L"msgtext", 13);
  EXPECT_EQ(NoDllText(L"HvItemTestGermanOnly", 13), Description(item->Inner()));
  PutText(item->Inner(), L"msgtext", L"%1 items");
  PutArguments(item->Inner(), {Text(L"12")});
  EXPECT_EQ(L"12 items", Description(item->Inner()));
  PutLong(item->Inner(), L"severity", 1);  // a field the text does not use
  EXPECT_EQ(L"12 items", Description(item->Inner()));
  DATE date = 0;
  unique_variant message;
  message->vt = VT_BSTR;
  message->bstrVal = SysAllocString(L"built %1");
  item->SetStandardFields(&date, L"", 0, 0, 0, *message.get(), nullptr);
  EXPECT_EQ(L"built (null)", Description(item->Inner()));  // no argument for the place
  ComPtr<CTAVDiagnosticLogItem> source = NewItem();
  PutText(source->Inner(), L"msgtext", L"");
  item->CopyFrom(*source.get());
  EXPECT_EQ(L"", Description(item->Inner())) << "an empty text describes itself as the empty text";
}

TEST_F(ItemErrorInfoTest, EachThreadReadsTheMessageInItsLanguage) {
  if (GetFileAttributesW((test::BinDir() + L"PumpDEU.dll").c_str()) == INVALID_FILE_ATTRIBUTES)
    GTEST_SKIP() << "sample provider DLLs not built";
  ProviderRegistration english(L"HvItemTestPump", L"0x0009", test::BinDir() + L"PumpENU.dll");
  ProviderRegistration german(L"HvItemTestPump", L"0x0007", test::BinDir() + L"PumpDEU.dll");
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  PutText(item->Inner(), L"provider", L"HvItemTestPump");
  PutLong(item->Inner(), L"msgtext", 1002);
  VARIANT four;
  four.vt = VT_I4;
  four.lVal = 4;
  PutArguments(item->Inner(), {Text(L"P-101"), four});
  const auto describeOn = [&](LANGID language) {
    std::wstring text;
    std::thread([&] {
      SetThreadLocale(MAKELCID(language, SORT_DEFAULT));
      text = Description(item->Inner());
    }).join();
    return text;
  };
  const LANGID en = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), de = MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN);
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(L"Pump P-101 pressure 4 bar", describeOn(en)) << "round " << round;
    EXPECT_EQ(L"Pumpe P-101 Druck 4 bar", describeOn(de)) << "round " << round;
  }
  PutLong(item->Inner(), L"msgtext", 12);
  EXPECT_EQ(L"ID = 12", describeOn(en)) << "a string the DLL does not hold";

  // Sent to another machine, the message goes as the sender's text.
  PutLong(item->Inner(), L"msgtext", 1002);
  ASSERT_TRUE(SetThreadLocale(MAKELCID(de, SORT_DEFAULT)));
  ComPtr<IStream> stream;
  CreateStreamOnHGlobal(nullptr, TRUE, stream.put());
  ASSERT_EQ(S_OK, CoMarshalInterface(stream.get(), IID_IUnknown, item->Inner(), MSHCTX_DIFFERENTMACHINE, nullptr,
                                     MSHLFLAGS_NORMAL));
  LARGE_INTEGER zero = {};
  stream->Seek(zero, STREAM_SEEK_SET, nullptr);
  ComPtr<ITAVDiagnosticLogItem> received;
  ASSERT_EQ(S_OK, CoUnmarshalInterface(stream.get(), IID_ITAVDiagnosticLogItem, received.put_void()));
  EXPECT_EQ(L"Pumpe P-101 Druck 4 bar", MessageText(received.get()));
  EXPECT_EQ(1002, item->MessageId());
}

TEST_F(ItemErrorInfoTest, LibraryTextForAMissingDllComesFromTheLanguageLibrary) {
  // Through COM the item belongs to the registered DLL, whose resource module
  // is the language library installed beside it.
  HMODULE library =
      LoadLibraryExW((test::BinDir() + L"TAVDiagnosticsENU.dll").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!library) GTEST_SKIP() << "no language library built";
  wchar_t format[512] = {};
  const int length = LoadStringW(library, 101, format, 512);
  FreeLibrary(library);
  ASSERT_GT(length, 0) << "string 101 missing from the language library";
  wchar_t expected[1024];
  _snwprintf(expected, 1023, format, L"Pump", 12L);

  ComPtr<ITAVDiagnosticLogItemEx> item;
  ASSERT_EQ(S_OK, test::CreateItem(item.put()));
  PutText(item.get(), L"provider", L"Pump");
  PutLong(item.get(), L"msgtext", 12);
  EXPECT_EQ(std::wstring(expected), Description(item.get()));
  EXPECT_NE(NoDllText(L"Pump", 12), Description(item.get()));
}

}  // namespace
}  // namespace hv
