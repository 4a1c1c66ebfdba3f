// The item as an error object: its error fields, its description (the
// message formatted for the caller's language, with every fallback), and
// foreign error objects stored as children.
#include <windows.h>

#include <fstream>
#include <string>
#include <thread>

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

void PutTextArgument(IUnknown* item, const wchar_t* text) {
  unique_variant list;
  list->vt = VT_ARRAY | VT_VARIANT;
  list->parray = SafeArrayCreateVector(VT_VARIANT, 0, 1);
  VARIANT arg;
  arg.vt = VT_BSTR;
  arg.bstrVal = SysAllocString(text);
  LONG index = 0;
  SafeArrayPutElement(list->parray, &index, &arg);
  VariantClear(&arg);
  Put(item, L"arglist", *list.get());
}
std::wstring Description(IUnknown* object) {
  ComPtr<IErrorInfo> info;
  EXPECT_EQ(S_OK, object->QueryInterface(IID_IErrorInfo, info.put_void()));
  unique_bstr description;
  EXPECT_EQ(S_OK, info->GetDescription(description.put()));
  return description ? std::wstring(description.get(), SysStringLen(description.get())) : L"<null>";
}

std::wstring NoDllText(const std::wstring& provider, long id) {
  return L"Halvern Diagnostics failed to load the message for " + provider +
         L".  The provider's resource file could not be found.  The resource id was " + std::to_wstring(id) + L".";
}

TEST_F(ItemErrorInfoTest, TextMessageAndErrorFields) {
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  PutText(item->Inner(), L"msgtext", L"Started");
  PutText(item->Inner(), L"provider", L"Pump");
  EXPECT_EQ(L"Started", Description(item->Inner()));
  unique_bstr text;
  ASSERT_EQ(S_OK, item->GetSource(text.put()));
  EXPECT_EQ(L"Pump", std::wstring(text.get()));
  ASSERT_EQ(S_OK, item->GetHelpFile(text.put()));
  EXPECT_EQ(L"", std::wstring(text.get()));
  GUID guid = {1, 2, 3, {4}};
  ASSERT_EQ(S_OK, item->GetGUID(&guid));
  EXPECT_TRUE(IsEqualGUID(GUID_NULL, guid));
  DWORD context = 99;
  ASSERT_EQ(S_OK, item->GetHelpContext(&context));
  EXPECT_EQ(0u, context);

  const GUID set = {0xAABBCCDD, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  EXPECT_EQ(S_OK, item->SetGUID(set));
  EXPECT_EQ(S_OK, item->SetHelpFile(const_cast<wchar_t*>(L"pump.chm")));
  EXPECT_EQ(S_OK, item->SetHelpContext(42));
  EXPECT_EQ(S_OK, item->SetSource(const_cast<wchar_t*>(L"Valve")));
  item->GetGUID(&guid);
  EXPECT_TRUE(IsEqualGUID(set, guid));
  item->GetHelpFile(text.put());
  EXPECT_EQ(L"pump.chm", std::wstring(text.get()));
  item->GetHelpContext(&context);
  EXPECT_EQ(42u, context);
  EXPECT_EQ(L"Valve", item->Provider());
  EXPECT_EQ(S_OK, item->SetSource(nullptr));
  EXPECT_EQ(L"", item->Provider());
  EXPECT_EQ(S_OK, item->SetHelpFile(nullptr));
  item->GetHelpFile(text.put());
  EXPECT_EQ(L"", std::wstring(text.get()));

  EXPECT_EQ(E_POINTER, item->GetDescription(nullptr));
  EXPECT_EQ(E_POINTER, item->GetSource(nullptr));
  EXPECT_EQ(E_POINTER, item->GetGUID(nullptr));
  EXPECT_EQ(E_POINTER, item->GetHelpFile(nullptr));
  EXPECT_EQ(E_POINTER, item->GetHelpContext(nullptr));

  // An empty text message describes itself as the empty text.
  PutText(item->Inner(), L"msgtext", L"");
  EXPECT_EQ(L"", Description(item->Inner()));
}

TEST_F(ItemErrorInfoTest, SetDescriptionTurnsTheMessageIntoText) {
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  PutText(item->Inner(), L"provider", L"Pump");
  PutLong(item->Inner(), L"msgtext", 7);
  EXPECT_EQ(NoDllText(L"Pump", 7), Description(item->Inner()));
  ASSERT_EQ(S_OK, item->SetDescription(const_cast<wchar_t*>(L"Stopped")));
  unique_bstr name(SysAllocString(L"msgtext"));
  unique_variant message;
  ASSERT_EQ(S_OK, item->GetParam(name.get(), message.put()));
  ASSERT_EQ(VT_BSTR, message->vt);
  EXPECT_EQ(L"Stopped", std::wstring(message->bstrVal));
  EXPECT_EQ(L"Stopped", Description(item->Inner()));
  // The arguments stay and fill the text's insertion places.
  PutTextArgument(item->Inner(), L"C:");
  ASSERT_EQ(S_OK, item->SetDescription(const_cast<wchar_t*>(L"Disk %1 is full")));
  EXPECT_EQ(L"Disk C: is full", Description(item->Inner()));
  ASSERT_EQ(S_OK, item->SetDescription(nullptr));
  EXPECT_EQ(L"", Description(item->Inner()));
}

TEST_F(ItemErrorInfoTest, ResourceMessageFallbacks) {
  // No DLL registered for the provider, no string 101 in this program.
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  PutText(item->Inner(), L"provider", L"Pump");
  PutLong(item->Inner(), L"msgtext", 12);
  EXPECT_EQ(NoDllText(L"Pump", 12), Description(item->Inner()));

  // A DLL that lacks the string.
  ProviderRegistration english(L"HvItemTestNoStrings", L"0x0009", ModuleWithoutStrings());
  ComPtr<CTAVDiagnosticLogItem> other = NewItem();
  PutText(other->Inner(), L"provider", L"HvItemTestNoStrings");
  PutLong(other->Inner(), L"msgtext", 12);
  EXPECT_EQ(L"ID = 12", Description(other->Inner()));
  // The source names the provider whose DLL is used.
  ASSERT_EQ(S_OK, item->SetSource(const_cast<wchar_t*>(L"HvItemTestNoStrings")));
  EXPECT_EQ(L"ID = 12", Description(item->Inner()));
}

TEST_F(ItemErrorInfoTest, DescriptionIsCachedPerLanguageAndRecomputedAfterChanges) {
  // The provider has a DLL for German only: English callers get the
  // fallback, German ones the DLL's answer.
  ProviderRegistration german(L"HvItemTestGermanOnly", L"0x0007", ModuleWithoutStrings());
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  PutText(item->Inner(), L"provider", L"HvItemTestGermanOnly");
  PutLong(item->Inner(), L"msgtext", 12);
  const std::wstring english = NoDllText(L"HvItemTestGermanOnly", 12);
  EXPECT_EQ(english, Description(item->Inner()));
  EXPECT_EQ(english, Description(item->Inner()));
  ASSERT_TRUE(SetThreadLocale(MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT)));
  EXPECT_EQ(L"ID = 12", Description(item->Inner()));
  ASSERT_TRUE(SetThreadLocale(MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT)));
  EXPECT_EQ(english, Description(item->Inner()));

  // Any change of a field formats anew.
  PutLong(item->Inner(), L"msgtext", 13);
  EXPECT_EQ(NoDllText(L"HvItemTestGermanOnly", 13), Description(item->Inner()));
  PutText(item->Inner(), L"msgtext", L"%1 items");
  PutTextArgument(item->Inner(), L"12");
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
  PutText(source->Inner(), L"msgtext", L"copied");
  item->CopyFrom(*source.get());
  EXPECT_EQ(L"copied", Description(item->Inner()));
}

// The sample provider's DLLs, registered under a name of this test's own.
bool SampleProviderBuilt() {
  return GetFileAttributesW((test::BinDir() + L"PumpENU.dll").c_str()) != INVALID_FILE_ATTRIBUTES &&
         GetFileAttributesW((test::BinDir() + L"PumpDEU.dll").c_str()) != INVALID_FILE_ATTRIBUTES;
}

void PutPumpPressure(IUnknown* item) {
  PutText(item, L"provider", L"HvItemTestPump");
  PutLong(item, L"msgtext", 1002);
  unique_variant list;
  list->vt = VT_ARRAY | VT_VARIANT;
  list->parray = SafeArrayCreateVector(VT_VARIANT, 0, 2);
  VARIANT arg;
  arg.vt = VT_BSTR;
  arg.bstrVal = SysAllocString(L"P-101");
  LONG index = 0;
  SafeArrayPutElement(list->parray, &index, &arg);
  VariantClear(&arg);
  arg.vt = VT_I4;
  arg.lVal = 4;
  index = 1;
  SafeArrayPutElement(list->parray, &index, &arg);
  Put(item, L"arglist", *list.get());
}

TEST_F(ItemErrorInfoTest, EachThreadReadsTheMessageInItsLanguage) {
  if (!SampleProviderBuilt()) GTEST_SKIP() << "sample provider DLLs not built";
  ProviderRegistration english(L"HvItemTestPump", L"0x0009", test::BinDir() + L"PumpENU.dll");
  ProviderRegistration german(L"HvItemTestPump", L"0x0007", test::BinDir() + L"PumpDEU.dll");
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  PutPumpPressure(item->Inner());
  auto describeOn = [&](LANGID language) {
    std::wstring text;
    std::thread thread([&] {
      SetThreadLocale(MAKELCID(language, SORT_DEFAULT));
      text = Description(item->Inner());
    });
    thread.join();
    return text;
  };
  const LANGID en = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), de = MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN);
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(L"Pump P-101 pressure 4 bar", describeOn(en)) << "round " << round;
    EXPECT_EQ(L"Pumpe P-101 Druck 4 bar", describeOn(de)) << "round " << round;
  }
  // A string the DLL does not hold.
  PutLong(item->Inner(), L"msgtext", 12);
  EXPECT_EQ(L"ID = 12", describeOn(en));

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
  unique_bstr name(SysAllocString(L"msgtext"));
  unique_variant message;
  ASSERT_EQ(S_OK, received->GetParam(name.get(), message.put()));
  ASSERT_EQ(VT_BSTR, message->vt);
  EXPECT_EQ(L"Pumpe P-101 Druck 4 bar", std::wstring(message->bstrVal));
  EXPECT_EQ(1002, item->MessageId());
}

TEST_F(ItemErrorInfoTest, LibraryTextForAMissingDllComesFromTheLanguageLibrary) {
  // Through COM the item belongs to the registered DLL, whose resource module
  // is the language library when one was installed beside it.
  const std::wstring languageLibrary = test::BinDir() + L"TAVDiagnosticsENU.dll";
  if (GetFileAttributesW(languageLibrary.c_str()) == INVALID_FILE_ATTRIBUTES)
    GTEST_SKIP() << "no language library built";
  HMODULE library = LoadLibraryExW(languageLibrary.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(nullptr, library);
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
  const std::wstring description = Description(item.get());
  EXPECT_EQ(std::wstring(expected), description);
  EXPECT_NE(NoDllText(L"Pump", 12), description);
  EXPECT_NE(std::wstring::npos, description.find(L"Pump")) << Narrow(description);
  EXPECT_NE(std::wstring::npos, description.find(L"12")) << Narrow(description);
}

TEST_F(ItemErrorInfoTest, ItemServesAsTheThreadsErrorObject) {
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  PutText(item->Inner(), L"msgtext", L"Valve %1 stuck");
  PutTextArgument(item->Inner(), L"V7");
  ASSERT_EQ(S_OK, SetErrorInfo(0, item.get()));
  EXPECT_EQ(L"Valve V7 stuck", test::TakeErrorDescription());
}

TEST_F(ItemErrorInfoTest, ForeignErrorObjectBecomesAnItemChild) {
  ComPtr<ICreateErrorInfo> create;
  ASSERT_EQ(S_OK, CreateErrorInfo(create.put()));
  const GUID guid = {0x12345678, 9, 10, {11, 12, 13, 14, 15, 16, 17, 18}};
  create->SetDescription(const_cast<wchar_t*>(L"Disk full"));
  create->SetSource(const_cast<wchar_t*>(L"Storage"));
  create->SetGUID(guid);
  create->SetHelpFile(const_cast<wchar_t*>(L"storage.chm"));
  create->SetHelpContext(77);
  ComPtr<IErrorInfo> foreign;
  ASSERT_EQ(S_OK, create->QueryInterface(IID_IErrorInfo, foreign.put_void()));

  ComPtr<CTAVDiagnosticLogItem> parent = NewItem();
  ASSERT_EQ(S_OK, parent->SetChild(foreign.get()));
  ComPtr<IUnknown> child;
  ASSERT_EQ(S_OK, parent->GetChild(child.put()));
  ASSERT_TRUE(child);
  ComPtr<ITAVDiagnosticLogItem> childItem;
  child->QueryInterface(IID_ITAVDiagnosticLogItem, childItem.put_void());
  unique_bstr name(SysAllocString(L"msgtext"));
  unique_variant message;
  ASSERT_EQ(S_OK, childItem->GetParam(name.get(), message.put()));
  ASSERT_EQ(VT_BSTR, message->vt);
  EXPECT_EQ(L"Disk full", std::wstring(message->bstrVal));
  ComPtr<IErrorInfo> childInfo;
  child->QueryInterface(IID_IErrorInfo, childInfo.put_void());
  unique_bstr text;
  childInfo->GetSource(text.put());
  EXPECT_EQ(L"Storage", std::wstring(text.get()));
  childInfo->GetHelpFile(text.put());
  EXPECT_EQ(L"storage.chm", std::wstring(text.get()));
  GUID readGuid = {};
  childInfo->GetGUID(&readGuid);
  EXPECT_TRUE(IsEqualGUID(guid, readGuid));
  DWORD context = 0;
  childInfo->GetHelpContext(&context);
  EXPECT_EQ(77u, context);
  EXPECT_EQ(L"Disk full", Description(child.get()));
}

}  // namespace
}  // namespace hv
