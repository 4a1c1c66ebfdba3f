// The log item: interfaces, fields, its stream (layout, children by value, object values, failing and hostile
// streams), marshalling by value, and its description: the message formatted for the caller's language.
#include <windows.h>
#include <olectl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/ComObject.h"
#include "common/ModuleLock.h"
#include "item/CTAVDiagnosticLogItem.h"
#include "module/ModuleState.h"
#include "msgtext/MessageFormat.h"
#include "support/TestSupport.h"

namespace hv {
namespace {

using test::Hex;
using test::Narrow;
using test::StreamBytes;
using test::StreamOf;

constexpr LCID kEnglish = MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT),
               kGerman = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT);

class ItemTest : public test::ComTest {
 protected:
  void TearDown() override {
    SetThreadLocale(kEnglish);
    ComTest::TearDown();
  }
};

// A VARIANT of this type holding the value's bytes (every value field starts at the same place).
template <class T>
VARIANT Num(VARTYPE vt, T value) {
  VARIANT v = {};
  v.vt = vt;
  std::memcpy(&v.llVal, &value, sizeof(T));
  return v;
}
VARIANT Str(const std::wstring& text) {
  VARIANT v;
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return v;
}
// A value as "vt:text" ("3:42", "0:"); an array of VARIANT as "8204:from L" and its elements ("8204:from 0 3:10").
std::wstring Show(VARIANT& v) {
  std::wstring shown = std::to_wstring(v.vt) + L":";
  if (v.vt == (VT_ARRAY | VT_VARIANT)) {
    LONG lower = -1, upper = -2;
    SafeArrayGetLBound(v.parray, 1, &lower);
    SafeArrayGetUBound(v.parray, 1, &upper);
    shown += L"from " + std::to_wstring(lower);
    for (LONG i = lower; i <= upper; ++i) {
      unique_variant element;
      SafeArrayGetElement(v.parray, &i, element.get());
      shown += L" " + Show(*element.get());
    }
    return shown;
  }
  unique_variant text;
  if (v.vt != VT_EMPTY && SUCCEEDED(VariantChangeType(text.get(), &v, VARIANT_ALPHABOOL, VT_BSTR)))
    shown += std::wstring(text->bstrVal, SysStringLen(text->bstrVal));
  return shown;
}
// PutParam and GetParam through any interface of an item; Put clears the value.
template <class T>
ComPtr<T> As(IUnknown* object) {
  ComPtr<T> view;
  object->QueryInterface(__uuidof(T), view.put_void());
  return view;
}
HRESULT Put(IUnknown* object, const wchar_t* name, VARIANT value) {
  const HRESULT hr = As<ITAVDiagnosticLogItem>(object)->PutParam(unique_bstr(SysAllocString(name)).get(), value);
  VariantClear(&value);
  return hr;
}
std::wstring Get(IUnknown* object, const wchar_t* name) {
  unique_variant v;
  const HRESULT hr = As<ITAVDiagnosticLogItem>(object)->GetParam(unique_bstr(SysAllocString(name)).get(), v.put());
  return SUCCEEDED(hr) ? Show(*v.get()) : L"failed " + std::to_wstring(hr);
}
// An extended parameter by index as "name=vt:text".
std::wstring Entry(CTAVDiagnosticLogItem* item, ULONG index) {
  unique_bstr name;
  unique_variant value;
  const HRESULT hr = item->ParameterNameAndValue(index, name.put(), value.get());
  return SUCCEEDED(hr) ? std::wstring(name.get()) + L"=" + Show(*value.get()) : L"failed " + std::to_wstring(hr);
}
std::wstring Description(IUnknown* object) {
  unique_bstr description;
  EXPECT_EQ(S_OK, As<IErrorInfo>(object)->GetDescription(description.put()));
  return description ? std::wstring(description.get(), SysStringLen(description.get())) : L"<null>";
}
// Source, help file, GUID and help context of an error object, as one text.
std::wstring Fields(IUnknown* object) {
  ComPtr<IErrorInfo> info = As<IErrorInfo>(object);
  unique_bstr source, helpFile;
  GUID guid = {1, 2, 3, {4}};
  DWORD context = 99;
  EXPECT_EQ(S_OK, info->GetSource(source.put()) | info->GetHelpFile(helpFile.put()) | info->GetGUID(&guid) |
                      info->GetHelpContext(&context));
  wchar_t guidText[40] = {};
  StringFromGUID2(guid, guidText, 40);
  return std::wstring(source.get() ? source.get() : L"<null>") + L"|" + (helpFile.get() ? helpFile.get() : L"<null>") +
         L"|" + guidText + L"|" + std::to_wstring(context);
}
struct Value {
  Value(const wchar_t* text) : v(Str(text)) {}
  Value(int number) : v(Num(VT_I4, number)) {}
  Value(VARIANT value) : v(value) {}
  VARIANT v;
};
// Puts the fields in turn; each must be taken.
using FieldList = std::initializer_list<std::pair<const wchar_t*, Value>>;
void Set(CTAVDiagnosticLogItem* item, FieldList fields) {
  for (const auto& [name, value] : fields) EXPECT_EQ(S_OK, Put(item->Inner(), name, value.v)) << Narrow(name);
}
ComPtr<CTAVDiagnosticLogItem> NewItem(FieldList fields = {}) {
  ComPtr<CTAVDiagnosticLogItem> item = MakeObject<CTAVDiagnosticLogItem>();
  Set(item.get(), fields);
  return item;
}
// An array of VARIANT from this lower bound holding the values, which it clears (but objects, the caller's).
VARIANT List(std::vector<VARIANT> values, LONG lower = 0) {
  SAFEARRAYBOUND bound = {static_cast<ULONG>(values.size()), lower};
  VARIANT list;
  list.vt = VT_ARRAY | VT_VARIANT;
  list.parray = SafeArrayCreate(VT_VARIANT, 1, &bound);
  for (LONG i = 0; i < static_cast<LONG>(values.size()); ++i) {
    LONG index = lower + i;
    SafeArrayPutElement(list.parray, &index, &values[i]);
    if (values[i].vt != VT_DISPATCH && values[i].vt != VT_UNKNOWN) VariantClear(&values[i]);
  }
  return list;
}

// The expected side of each comparison, spelled out field by field.
struct Bytes {
  std::vector<uint8_t> b;
  Bytes& raw(const std::vector<uint8_t>& bytes) {
    b.insert(b.end(), bytes.begin(), bytes.end());
    return *this;
  }
  Bytes& u16(uint16_t v) { return raw({uint8_t(v), uint8_t(v >> 8)}); }
  Bytes& u32(uint32_t v) { return raw({uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}); }
  Bytes& mem(const void* p, size_t n) {  // this machine's layout is the stream's
    return raw({static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n});
  }
  Bytes& f64(double d) { return mem(&d, 8); }
  Bytes& str(const std::wstring& s) { return u32(2 * s.size() + 2).mem(s.c_str(), 2 * s.size() + 2); }
  Bytes& id(const GUID& g) { return mem(&g, 16); }
};

// An item's stream up to its argument count: version, five empty texts, date, four numbers, GUID, message id.
Bytes Head(double date) {
  return Bytes().u32(2).str(L"").str(L"").str(L"").str(L"").str(L"").f64(date).u32(0).u32(0).u32(0).u32(0).id(
      GUID_NULL).u32(0xFFFFFFFF);
}
// Where the first argument (or the child block) of an item with empty texts begins.
constexpr size_t kFirstArgument = 4 + 30 + 8 + 16 + 16 + 4 + 4;

std::vector<uint8_t> SaveBytes(IUnknown* object, HRESULT expected = S_OK) {
  ComPtr<IStream> stream = StreamOf({});
  EXPECT_EQ(expected, As<IPersistStreamInit>(object)->Save(stream.get(), TRUE));
  return StreamBytes(stream.get());
}
ULONG MeasuredSize(IUnknown* object) {
  ULARGE_INTEGER size;
  size.QuadPart = 0xDEADBEEFDEADBEEFull;
  EXPECT_EQ(S_OK, As<IPersistStream>(object)->GetSizeMax(&size));
  EXPECT_EQ(0u, size.HighPart);
  return size.LowPart;
}
HRESULT LoadBytes(CTAVDiagnosticLogItem* item, const std::vector<uint8_t>& bytes) {
  return item->Load(StreamOf(bytes).get());
}
// The description of a resource message whose provider has no DLL (this program's resources have no text).
std::wstring NoDllText(const std::wstring& provider, long id) {
  return L"Halvern Diagnostics failed to load the message for " + provider +
         L".  The provider's resource file could not be found.  The resource id was " + std::to_wstring(id) + L".";
}
// An interface marshalled through COM for the context and unmarshalled again.
template <class T>
ComPtr<T> ThroughCom(IUnknown* object, DWORD context) {
  ComPtr<IStream> stream = StreamOf({});
  EXPECT_EQ(S_OK, CoMarshalInterface(stream.get(), __uuidof(T), object, context, nullptr, MSHLFLAGS_NORMAL));
  stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr);
  ComPtr<T> received;
  EXPECT_EQ(S_OK, CoUnmarshalInterface(stream.get(), __uuidof(T), received.put_void()));
  return received;
}
uint64_t Position(IStream* stream) {
  ULARGE_INTEGER at = {};
  stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_CUR, &at);
  return at.QuadPart;
}

TEST_F(ItemTest, AnswersItsInterfacesOnOneIdentityAndThroughTheRegisteredDll) {
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  ComPtr<IUnknown> identity, dual;
  ASSERT_EQ(S_OK, item->QueryInterface(IID_IUnknown, identity.put_void()));
  item->QueryInterface(IID_ITAVDiagnosticLogItem, dual.put_void());
  for (const IID* iid : {&IID_ITAVDiagnosticLogItem, &IID_ITAVDiagnosticLogItemEx, &IID_IDispatch,
                         &IID_IPersistStreamInit, &IID_IMarshal, &IID_IErrorInfo, &IID_ICreateErrorInfo,
                         &IID_IPersistStream}) {
    ComPtr<IUnknown> view, back;
    ASSERT_EQ(S_OK, item->QueryInterface(*iid, view.put_void()));
    ASSERT_EQ(S_OK, view->QueryInterface(IID_IUnknown, back.put_void()));
    EXPECT_EQ(identity.get(), back.get());
    // The dual interface serves all three of its names.
    const bool dualName = iid == &IID_ITAVDiagnosticLogItemEx || iid == &IID_IDispatch;
    EXPECT_EQ(dualName ? dual.get() : view.get(), view.get());
  }
  for (const IID* iid : {&IID_IPersist, &IID_IConnectionPointContainer, &IID_ISupportErrorInfo, &IID_IStream}) {
    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, item->QueryInterface(*iid, &none));
    EXPECT_EQ(nullptr, none);
  }
  EXPECT_EQ(item.get(), CTAVDiagnosticLogItem::FromInterface(dual.get()).get());
  EXPECT_FALSE(CTAVDiagnosticLogItem::FromInterface(nullptr));

  // Made through the registered DLL, its dispatch side comes from the type library embedded there.
  ComPtr<ITAVDiagnosticLogItemEx> registered;
  ASSERT_EQ(S_OK, test::CreateItem(registered.put()));
  UINT count = 0;
  EXPECT_EQ(S_OK, registered->GetTypeInfoCount(&count));
  EXPECT_EQ(1u, count);
  for (auto [name, id] : {std::pair{L"PutParam", 1}, {L"getparam", 2}}) {
    DISPID found = 0;
    EXPECT_EQ(S_OK, registered->GetIDsOfNames(IID_NULL, const_cast<LPOLESTR*>(&name), 1, LOCALE_USER_DEFAULT, &found));
    EXPECT_EQ(id, found) << Narrow(name);
  }

  // Its resources are the language library beside it, which holds the text for a provider without DLL.
  HMODULE library =
      LoadLibraryExW((test::BinDir() + L"TAVDiagnosticsENU.dll").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!library) GTEST_SKIP() << "no language library built";
  const std::wstring format = LoadResourceString(library, 101);
  FreeLibrary(library);
  ASSERT_FALSE(format.empty()) << "string 101 missing from the language library";
  wchar_t expected[1024];
  _snwprintf(expected, 1023, format.c_str(), L"Pump", 12L);
  Put(registered.get(), L"provider", Str(L"Pump"));
  Put(registered.get(), L"msgtext", Num(VT_I4, 12));
  EXPECT_EQ(std::wstring(expected), Description(registered.get()));
  EXPECT_NE(NoDllText(L"Pump", 12), Description(registered.get()));
}

TEST_F(ItemTest, NewItemIsStampedInUtcAndHoldsTheModuleLockUntilInFlight) {
  const LONG start = ModuleLockCount();
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  EXPECT_EQ(start + 1, ModuleLockCount());
  SYSTEMTIME now;
  GetSystemTime(&now);
  DATE utc = 0;
  SystemTimeToVariantTime(&now, &utc);
  EXPECT_NEAR(utc, item->DateTime(), 2.0 / 86400);
  // The other fields are empty (the stream tests hold them byte by byte).
  EXPECT_EQ(L"3:2", Get(item->Inner(), L"type")) << "audience 0 is not User";
  EXPECT_EQ(-1, item->MessageId());
  EXPECT_FALSE(item->InFlight());
  EXPECT_EQ(S_OK, item->DeliveryResult());
  EXPECT_EQ(nullptr, item->CompletionEvent());
  IUnknown* child = reinterpret_cast<IUnknown*>(1);
  EXPECT_EQ(S_OK, item->GetChild(&child));
  EXPECT_EQ(nullptr, child);
  item->MarkInFlight();
  EXPECT_TRUE(item->InFlight());
  EXPECT_EQ(start, ModuleLockCount());
  item->MarkInFlight();  // once only
  EXPECT_EQ(start, ModuleLockCount());
  item.reset();
  EXPECT_EQ(start, ModuleLockCount());
}

// Each row puts a value (with its result) and reads a field back (as shown), on the same item in turn.
TEST_F(ItemTest, FieldsConvertIgnoreLetterCaseAndRefuseWhatDoesNotFit) {
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  unique_safearray byRefArray(List({Num(VT_I4, 5)}).parray);
  SAFEARRAY* raw = byRefArray.get();
  const VARIANT byRef = Num(VT_ARRAY | VT_VARIANT | VT_BYREF, &raw);  // as script clients pass their variables
  std::tuple<const wchar_t*, VARIANT, HRESULT, const wchar_t*, const wchar_t*> rows[] = {
      {L"SEVERITY", Str(L"4"), S_OK, L"kind", L"3:4"},
      {L"Kind", Num(VT_I4, 8), S_OK, L"severity", L"3:8"},
      {L"severity", Str(L"high"), DISP_E_TYPEMISMATCH, L"severity", L"3:8"},
      {L"type", Num(VT_I4, 4), S_OK, L"audience", L"3:2"},  // any type but 1 (User) is Dev (2)
      {L"type", Num(VT_I4, 1), S_OK, L"audience", L"3:1"},
      {L"audience", Num(VT_I4, 8), S_OK, L"type", L"3:2"},
      {L"verbosity", Str(L"3"), S_OK, L"AUDIENCE", L"3:8"},
      {L"LoCaTiOn", Num(VT_I4, 42), S_OK, L"location", L"8:42"},
      {L"provider", Str(L"Pump"), S_OK, L"PROVIDER", L"8:Pump"},
      {L"username", Str(L"PLANT7\\op"), S_OK, L"username", L"8:PLANT7\\op"},
      {L"ce_based_message", Str(L"true"), S_OK, L"ce_based_message", L"11:True"},
      {L"ce_based_message", Num(VT_I4, 0), S_OK, L"ce_based_message", L"11:False"},
      // The message is either a resource id, also when given as a double, or text.
      {L"msgtext", Num(VT_I4, 1001), S_OK, L"msgtext", L"3:1001"},
      {L"msgtext", Str(L"Pump started"), S_OK, L"msgtext", L"8:Pump started"},
      {L"msgtext", Num(VT_R8, 7.0), S_OK, L"msgtext", L"3:7"},
      {L"msgtext", Num(VT_NULL, 0), DISP_E_TYPEMISMATCH, L"msgtext", L"3:7"},
      // The user description is text or nothing.
      {L"userdescription", Str(L"note"), S_OK, L"userdescription", L"8:note"},
      {L"userdescription", Num(VT_I4, 5), E_INVALIDARG, L"userdescription", L"8:note"},
      {L"UserDescription", Num(VT_DATE, 2.0), E_INVALIDARG, L"UserDescription", L"8:note"},
      {L"userdescription", Num(VT_EMPTY, 0), S_OK, L"userdescription", L"0:"},
      // Arguments are a VARIANT list of any lower bound; other types leave them as they were.
      {L"arglist", List({Num(VT_I4, 10), Num(VT_I4, 20)}, 1), S_OK, L"arglist", L"8204:from 0 3:10 3:20"},
      {L"arglist", Num(VT_I4, 12), S_OK, L"arglist", L"8204:from 0 3:10 3:20"},
      {L"arglist", List({}), S_OK, L"arglist", L"8204:from 0"},
      {L"arglist", byRef, S_OK, L"arglist", L"8204:from 0 3:5"},  // not cleared: a reference
      {L"batch", Num(VT_I4, 1), E_FAIL, L"batch", L"failed -2147467259"},
  };
  for (auto& [name, value, result, read, shown] : rows) {
    EXPECT_EQ(result, Put(item->Inner(), name, value)) << Narrow(name);
    EXPECT_EQ(shown, Get(item->Inner(), read)) << Narrow(name);
  }
  EXPECT_EQ(L"", item->MessageText());
  EXPECT_EQ(L"3:3", Get(item->Inner(), L"verbosity"));
  // A date that does not parse leaves the field alone.
  EXPECT_EQ(S_OK, Put(item->Inner(), L"datetime", Num(VT_DATE, 40000.25)));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, Put(item->Inner(), L"datetime", Str(L"not a date")));
  EXPECT_EQ(40000.25, item->DateTime());

  unique_variant v;
  *v.get() = Num(VT_I4, 77);
  EXPECT_EQ(E_FAIL, item->GetParam(unique_bstr(SysAllocString(L"batch")).get(), v.get()));
  EXPECT_EQ(L"3:77", Show(*v.get())) << "the destination stays untouched";
  BSTR out = nullptr;
  const std::vector<HRESULT> results = {
      item->GetParam(unique_bstr(SysAllocString(L"location")).get(), nullptr), item->PutParam(nullptr, *v.get()),
      item->ExtendedParameterCount(nullptr),       item->ParameterNameAndValue(0, nullptr, v.get()),
      item->ParameterNameAndValue(0, &out, nullptr), item->ParameterNameAndValue(0, &out, v.get()),
      item->GetChild(nullptr)};
  EXPECT_EQ((std::vector<HRESULT>{E_FAIL, E_FAIL, E_POINTER, E_POINTER, E_POINTER, E_INVALIDARG, E_POINTER}), results);
  EXPECT_EQ(nullptr, out);
}

TEST_F(ItemTest, ExtendedParametersFollowTheSchema) {
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  ASSERT_EQ(S_OK, item->ApplySchema(L"<ElementType name=\"Count\" dt:type=\"int\"/>"
                                    L"<ElementType name=\"Operator\" type=\"string\"/>"
                                    L"<ElementType name=\"Severity\" dt:type=\"int\"/>"
                                    L"<ElementType name=\"count\" dt:type=\"bool\"/>"));
  ULONG count = 0;
  ASSERT_EQ(S_OK, item->ExtendedParameterCount(&count));
  ASSERT_EQ(4u, count);
  // "twelve" does not convert: S_OK, and the value stays.
  Set(item.get(), {{L"COUNT", L"12"}, {L"count", L"twelve"}, {L"operator", 3}});
  EXPECT_EQ(L"3:12", Get(item->Inner(), L"Count"));
  EXPECT_EQ(L"8:3", Get(item->Inner(), L"operator"));
  // A parameter named like a standard field, and the second "count", are reached only by index.
  Set(item.get(), {{L"severity", 2}});
  EXPECT_EQ(2, item->Severity());
  const wchar_t* entries[] = {L"count=3:12", L"operator=8:3", L"severity=0:", L"count=0:", L"failed -2147024809"};
  for (ULONG i = 0; i < 5; ++i) EXPECT_EQ(entries[i], Entry(item.get(), i));
  ASSERT_NE(nullptr, item->FindExtendedParam(L"COUNT"));
  EXPECT_EQ(VT_I4, item->FindExtendedParam(L"COUNT")->declaredType);
  EXPECT_EQ(nullptr, item->FindExtendedParam(L"missing"));

  item->ClearExtendedValues();
  EXPECT_EQ(L"operator=0:", Entry(item.get(), 1));
  EXPECT_EQ(VT_BSTR, item->FindExtendedParam(L"operator")->declaredType);
  // A new schema replaces the table.
  ASSERT_EQ(S_OK, item->ApplySchema(L"no declarations here"));
  ASSERT_EQ(S_OK, item->ExtendedParameterCount(&count));
  EXPECT_EQ(0u, count);
}

TEST_F(ItemTest, SetStandardFieldsCutsTextAndReadsArraysFromTheirLowerBound) {
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  unique_variant message, args;
  *message.get() = Str(std::wstring(3001, L'x'));
  *args.get() = List({Num(VT_I4, 7), Num(VT_I4, 8), Num(VT_I4, 9)}, 1);
  DATE date = 41000.5;
  item->SetStandardFields(&date, L"someone", 1, 2, 3, *message.get(), args->parray);
  EXPECT_EQ(3000u, item->MessageText().size());
  EXPECT_EQ(-1, item->MessageId());
  EXPECT_EQ(41000.5, item->DateTime());
  EXPECT_EQ(L"someone", item->UserName());
  EXPECT_EQ(1, item->Severity());
  EXPECT_EQ(2, item->Audience());
  EXPECT_EQ(L"8204:from 0 3:7 3:8 3:9", Get(item->Inner(), L"arglist"));
  std::vector<VARIANT> copies = item->InsertionArgs();  // what the message formatting reads
  EXPECT_EQ(L"3:9", copies.size() == 3 ? Show(copies[2]) : L"not three");
  for (VARIANT& copy : copies) VariantClear(&copy);

  // 3000 characters stay whole, a number is a resource id, else no message; without a date delivery stamps it.
  const std::tuple<VARIANT, long, size_t> messages[] = {
      {Str(std::wstring(3000, L'y')), -1, 3000}, {Num(VT_I2, 1001), 1001, 0}, {Num(VT_NULL, 0), -1, 0}};
  for (auto [value, id, length] : messages) {
    item->SetStandardFields(nullptr, L"", 0, 0, 0, value, nullptr);
    VariantClear(&value);
    EXPECT_EQ(id, item->MessageId());
    EXPECT_EQ(length, item->MessageText().size());
    EXPECT_EQ(0.0, item->DateTime());
    EXPECT_EQ(L"8204:from 0", Get(item->Inner(), L"arglist"));
  }
}

TEST_F(ItemTest, CopyFromCopiesTheRecordButNotTheDeliveryState) {
  ComPtr<CTAVDiagnosticLogItem> source = NewItem(), copy = NewItem();
  source->ApplySchema(L"<ElementType name=\"batch\" dt:type=\"int\"/>");
  Set(source.get(), {{L"batch", L"17"}, {L"location", L"Hall 3"}, {L"msgtext", 1001}, {L"userdescription", L"note"},
                     {L"ce_based_message", L"true"}, {L"arglist", List({Num(VT_I4, 4)})}});
  source->SetHelpContext(5);
  ASSERT_EQ(S_OK, source->SetChild(NewItem()->Inner()));
  source->SetDeliveryResult(E_PENDING);
  source->MarkInFlight();

  copy->ApplySchema(L"<ElementType name=\"other\"/><ElementType name=\"more\"/>");
  copy->CopyFrom(*source.get());
  const wchar_t* fields[][2] = {{L"batch", L"3:17"},           {L"location", L"8:Hall 3"}, {L"msgtext", L"3:1001"},
                                {L"userdescription", L"8:note"}, {L"ce_based_message", L"11:True"},
                                {L"arglist", L"8204:from 0 3:4"}};
  for (auto& field : fields) EXPECT_EQ(field[1], Get(copy->Inner(), field[0])) << Narrow(field[0]);
  EXPECT_EQ(L"failed -2147024809", Entry(copy.get(), 1)) << "the schema is the source's";
  EXPECT_EQ(L"||{00000000-0000-0000-0000-000000000000}|5", Fields(copy->Inner()));
  EXPECT_TRUE(copy->HasChild());
  EXPECT_FALSE(copy->InFlight());
  EXPECT_EQ(S_OK, copy->DeliveryResult());
  // The copy's values are its own.
  Set(copy.get(), {{L"batch", 18}});
  EXPECT_EQ(L"3:17", Get(source->Inner(), L"batch"));
}


TEST_F(ItemTest, AnEmptyItemIsNinetyEightBytesAndEveryFieldHasItsPlaceAndForm) {
  ComPtr<CTAVDiagnosticLogItem> empty = NewItem(), item = NewItem();
  empty->SetDateTime(1.5);
  EXPECT_EQ(98u, MeasuredSize(empty->Inner()));
  EXPECT_EQ(Hex(Head(1.5).u32(0).u32(0).u32(0).raw({0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00}).b),
            Hex(SaveBytes(empty->Inner())));

  // No header of its own: two saves into one stream simply follow each other.
  ComPtr<IStream> stream = StreamOf({});
  ASSERT_EQ(S_OK, empty->Save(stream.get(), FALSE) | empty->Save(stream.get(), FALSE));
  EXPECT_EQ(196u, StreamBytes(stream.get()).size());
  for (HRESULT hr : {empty->Save(nullptr, FALSE), empty->Load(nullptr), empty->GetSizeMax(nullptr)})
    EXPECT_EQ(E_POINTER, hr);

  ASSERT_EQ(S_OK, item->ApplySchema(L"<ElementType name=\"Level\" dt:type=\"unsigned char\"/>"));
  item->SetHelpFile(const_cast<wchar_t*>(L"h"));
  item->SetDateTime(2.0);
  item->SetHelpContext(0x01020304);
  item->SetGUID({0x11223344, 0x5566, 0x7788, {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x00}});
  // An embedded zero travels too.
  Set(item.get(), {{L"location", L"ab"}, {L"provider", L"P"}, {L"msgtext", 1001}, {L"username", L"u"},
                   {L"severity", 1}, {L"audience", 2}, {L"verbosity", 3}, {L"level", 200},
                   {L"userdescription", L"note"},
                   {L"arglist", List({Num(VT_I4, 5), Str(std::wstring(L"a\0b", 3)), Num(VT_UI1, 0x7F),
                                      Num(VT_BOOL, VARIANT_TRUE), Num(VT_EMPTY, 0), Num(VT_R8, 0.5)})}});

  Bytes expected;
  expected.u32(2).str(L"ab").str(L"P").str(L"").str(L"u").str(L"h").f64(2.0).u32(1).u32(2).u32(3).u32(0x01020304);
  expected.raw({0x44, 0x33, 0x22, 0x11, 0x66, 0x55, 0x88, 0x77, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x00});
  expected.u32(1001).u32(6).u16(VT_I4).u32(5).u16(VT_BSTR).u32(8).u16(L'a').u16(0).u16(L'b').u16(0);
  expected.raw({0x11, 0x00, 0x7F, 0x0B, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00});
  expected.u16(VT_R8).f64(0.5).u32(0);  // no child
  expected.u32(1).str(L"level").raw({0x11, 0x00, 0x00, 0x00, 0x11, 0x00, 0xC8}).u16(VT_BSTR).str(L"note");
  const std::vector<uint8_t> saved = SaveBytes(item->Inner());
  EXPECT_EQ(Hex(expected.b), Hex(saved));
  EXPECT_EQ(saved.size(), MeasuredSize(item->Inner()));

  // Read back, everything comes out the same; the flag is not in the stream, so a load leaves it as it was.
  ComPtr<CTAVDiagnosticLogItem> copy = NewItem({{L"ce_based_message", L"true"}});
  ASSERT_EQ(S_OK, LoadBytes(copy.get(), saved));
  EXPECT_EQ(Hex(saved), Hex(SaveBytes(copy->Inner())));
  EXPECT_EQ(L"11:True", Get(copy->Inner(), L"ce_based_message"));
}

TEST_F(ItemTest, ChildBlockKeepsTheMeasuredSizeOfSixtyFourBitValuesWithZeroFiller) {
  // The 64-bit integers are written as 8 bytes but measured by their text.
  ComPtr<CTAVDiagnosticLogItem> child = NewItem();
  Set(child.get(), {{L"arglist", List({Num(VT_I8, -1234567890123LL), Num(VT_UI8, 18000000000000000000ull)})}});
  const std::vector<uint8_t> childBytes = SaveBytes(child->Inner());
  ASSERT_EQ(98u + 20u, childBytes.size());
  EXPECT_EQ("14 00 35 FB 04 8E E0 FE FF FF 15 00 00 00 08 C5 A1 D8 CC F9",
            Hex({childBytes.begin() + kFirstArgument, childBytes.begin() + kFirstArgument + 20}));
  const ULONG measured = MeasuredSize(child->Inner());
  EXPECT_EQ(98u + (2 + 4 + 30) + (2 + 4 + 42), measured);

  // The child block: the measured size, the child's stream, zeros up to that size.
  ComPtr<CTAVDiagnosticLogItem> parent = NewItem();
  ASSERT_EQ(S_OK, parent->SetChild(child->Inner()));
  const std::vector<uint8_t> saved = SaveBytes(parent->Inner());
  std::vector<uint8_t> block = Bytes().u32(measured).raw(childBytes).b;
  block.resize(4 + measured);
  ASSERT_EQ(98u + measured, saved.size());
  EXPECT_EQ(Hex(block), Hex({saved.begin() + kFirstArgument, saved.begin() + kFirstArgument + block.size()}));
  ComPtr<CTAVDiagnosticLogItem> loaded = NewItem();
  ASSERT_EQ(S_OK, LoadBytes(loaded.get(), saved));
  EXPECT_EQ(Hex(saved), Hex(SaveBytes(loaded->Inner())));
  ComPtr<IUnknown> back;
  ASSERT_EQ(S_OK, loaded->GetChild(back.put()));
  EXPECT_EQ(Hex(childBytes), Hex(SaveBytes(back.get())));
}

// A load replaces the extended table, the child and the cached description;
// a stream of version 1 ends before the user description, which stays.
TEST_F(ItemTest, LoadReplacesTableChildAndDescriptionAndVersionOneKeepsTheUserDescription) {
  ComPtr<CTAVDiagnosticLogItem> sender =
      NewItem({{L"location", L"Hall 3"}, {L"msgtext", L"after"}, {L"userdescription", L"sent"}});
  std::vector<uint8_t> bytes = SaveBytes(sender->Inner());
  bytes.resize(bytes.size() - (2 + 4 + 10));  // without the description
  for (uint8_t version : {1, 3}) {
    bytes[0] = version;
    ComPtr<CTAVDiagnosticLogItem> receiver = NewItem({{L"msgtext", L"before"}, {L"userdescription", L"kept"}});
    receiver->ApplySchema(L"<ElementType name=\"batch\"/>");
    ASSERT_EQ(S_OK, receiver->SetChild(NewItem()->Inner()));
    EXPECT_EQ(L"before", Description(receiver->Inner()));  // now cached
    ComPtr<IStream> stream = StreamOf(bytes);
    ASSERT_EQ(S_OK, receiver->Load(stream.get())) << "version " << int(version);
    EXPECT_EQ(L"8:kept", Get(receiver->Inner(), L"userdescription"));
    EXPECT_EQ(L"Hall 3", receiver->Location());
    EXPECT_EQ(bytes.size(), Position(stream.get())) << "nothing is read beyond the extended table";
    EXPECT_EQ(L"failed -2147024809", Entry(receiver.get(), 0));
    EXPECT_FALSE(receiver->HasChild());
    EXPECT_EQ(L"after", Description(receiver->Inner()));
  }
}

// A stream the item reads field by field: writes fail with a failing fault, reads fail after readsLeft, and
// with S_FALSE they deliver everything but answer it.
class FaultyStream final : public IStream, public ComObject {
 public:
  HV_COM_OBJECT(FaultyStream)
  static const QIEntry kInterfaces[];
  FaultyStream(const std::vector<uint8_t>& bytes, HRESULT fault = S_OK, ULONG readsLeft = ULONG_MAX)
      : inner_(StreamOf(bytes)), fault_(fault), readsLeft_(readsLeft) {}

  STDMETHODIMP Read(void* pv, ULONG cb, ULONG* read) override {
    if (readsLeft_-- == 0) return STG_E_READFAULT;
    const HRESULT hr = inner_->Read(pv, cb, read);
    return fault_ == S_FALSE ? S_FALSE : hr;
  }
  STDMETHODIMP Write(const void* pv, ULONG cb, ULONG* written) override {
    return FAILED(fault_) ? fault_ : inner_->Write(pv, cb, written);
  }
  STDMETHODIMP Seek(LARGE_INTEGER by, DWORD from, ULARGE_INTEGER* at) override { return inner_->Seek(by, from, at); }
  STDMETHODIMP SetSize(ULARGE_INTEGER size) override { return inner_->SetSize(size); }
  STDMETHODIMP CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  STDMETHODIMP Commit(DWORD) override { return S_OK; }
  STDMETHODIMP Revert() override { return E_NOTIMPL; }
  STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP Stat(STATSTG* stat, DWORD flags) override { return inner_->Stat(stat, flags); }
  STDMETHODIMP Clone(IStream**) override { return E_NOTIMPL; }

 private:
  ~FaultyStream() override = default;
  ComPtr<IStream> inner_;
  const HRESULT fault_;
  ULONG readsLeft_;
};
const QIEntry FaultyStream::kInterfaces[] = {HV_QI_ENTRY(FaultyStream, IStream), HV_QI_END};

// A memory stream is read in place, any other field by field: a load cut off anywhere fails alike from both, at
// the same position, and keeps what it read.
TEST_F(ItemTest, CutOffStreamsFailAlikeFromMemoryAndOtherStreams) {
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  item->ApplySchema(L"<ElementType name=\"batch\" dt:type=\"int\"/><ElementType name=\"tag\"/>");
  Set(item.get(), {{L"location", L"Hall 3"}, {L"msgtext", L"Pump %1 started"}, {L"arglist", List({Num(VT_I4, 4)})},
                   {L"batch", 77}, {L"tag", L"T-1"}});
  ASSERT_EQ(S_OK, item->SetChild(NewItem()->Inner()));
  std::vector<uint8_t> full = SaveBytes(item->Inner());
  full.push_back(0x5A);  // not the item's: stays unread
  for (size_t length = 0; length <= full.size(); ++length) {
    const std::vector<uint8_t> prefix(full.begin(), full.begin() + length);
    ComPtr<IStream> memory = StreamOf(prefix);
    ComPtr<FaultyStream> other = MakeObject<FaultyStream>(prefix);
    ComPtr<CTAVDiagnosticLogItem> fromMemory = NewItem(), fromOther = NewItem();
    const HRESULT expected = length + 1 < full.size() ? E_FAIL : S_OK;
    EXPECT_EQ(expected, fromMemory->Load(memory.get())) << "length " << length;
    EXPECT_EQ(expected, fromOther->Load(other.get())) << "length " << length;
    EXPECT_EQ(Position(other.get()), Position(memory.get())) << "length " << length;
    EXPECT_EQ(Hex(SaveBytes(fromOther->Inner())), Hex(SaveBytes(fromMemory->Inner()))) << "length " << length;
  }

  // Cut inside the second extended entry's name.
  const std::vector<uint8_t> tag = Bytes().str(L"tag").b;
  const size_t tagAt = std::find_end(full.begin(), full.end(), tag.begin(), tag.end()) - full.begin();
  ComPtr<CTAVDiagnosticLogItem> receiver = NewItem();
  ASSERT_EQ(E_FAIL, LoadBytes(receiver.get(), {full.begin(), full.begin() + tagAt + 6}));
  EXPECT_EQ(L"Hall 3", receiver->Location());
  EXPECT_EQ(L"Pump %1 started", receiver->MessageText());
  EXPECT_TRUE(receiver->HasChild());
  EXPECT_EQ(L"batch=3:77", Entry(receiver.get(), 0));
  EXPECT_EQ(L"=0:", Entry(receiver.get(), 1));

  // A failing stream's error is passed on; a read answered with S_FALSE becomes E_FAIL.
  EXPECT_EQ(STG_E_MEDIUMFULL, item->Save(MakeObject<FaultyStream>(full, STG_E_MEDIUMFULL).get(), FALSE));
  EXPECT_EQ(E_FAIL, NewItem()->Load(MakeObject<FaultyStream>(full, S_FALSE).get()));
  receiver = NewItem();
  // Three reads: version, location count, location text.
  EXPECT_EQ(STG_E_READFAULT, receiver->Load(MakeObject<FaultyStream>(full, S_OK, 3).get()));
  EXPECT_EQ(L"Hall 3", receiver->Location());
}

TEST_F(ItemTest, ChildIsStoredByValue) {
  // Storing a child that names no user fills in the account in the caller's item.
  const UserNameFiller previous = ItemUserNameFiller;
  ItemUserNameFiller = [](CTAVDiagnosticLogItem& item) { item.SetUserName(L"PLANT7\\tester"); };
  ComPtr<CTAVDiagnosticLogItem> parent = NewItem(), anonymous = NewItem(),
                                child = NewItem({{L"location", L"child"}, {L"username", L"someone"}});
  EXPECT_EQ(S_OK, parent->SetChild(anonymous->Inner()));
  ASSERT_EQ(S_OK, parent->SetChild(child->Inner()));
  ItemUserNameFiller = previous;
  EXPECT_EQ(L"PLANT7\\tester", anonymous->UserName());
  EXPECT_EQ(L"someone", child->UserName());
  const std::vector<uint8_t> childBytes = SaveBytes(child->Inner());

  // Neither the child object nor a child taken out reaches the stored one.
  Set(child.get(), {{L"location", L"changed"}});
  ComPtr<IUnknown> first, second;
  ASSERT_EQ(S_OK, parent->GetChild(first.put()) | parent->GetChild(second.put()));
  ASSERT_TRUE(first && second);
  EXPECT_NE(first.get(), second.get());
  EXPECT_EQ(Hex(childBytes), Hex(SaveBytes(first.get())));
  Put(first.get(), L"location", Num(VT_I4, 1));
  EXPECT_EQ(L"8:child", Get(second.get(), L"location"));

  // A copy shares the stored bytes; storing a new child makes new ones.
  ComPtr<CTAVDiagnosticLogItem> copy = NewItem();
  copy->CopyFrom(*parent.get());
  ASSERT_EQ(S_OK, parent->SetChild(child->Inner()));
  ComPtr<IUnknown> fromCopy;
  copy->GetChild(fromCopy.put());
  EXPECT_EQ(L"8:child", Get(fromCopy.get(), L"location"));

  // Removing: a null child, or anything that is neither item nor error object.
  ASSERT_EQ(S_OK, parent->SetChild(nullptr));
  EXPECT_FALSE(parent->HasChild());
  ASSERT_EQ(S_OK, parent->SetChild(child->Inner()));
  EXPECT_EQ(E_INVALIDARG, parent->SetChild(StreamOf({}).get()));
  EXPECT_FALSE(parent->HasChild());
}

TEST_F(ItemTest, ObjectValues) {
  // A null object is a null class id and nothing else (no child and no extended values follow); a persistable
  // object goes out with its class id and comes back alive, followed by the rest of the item.
  ComPtr<CTAVDiagnosticLogItem> item = NewItem({{L"userdescription", L"after the object"}}), loaded = NewItem();
  FONTDESC desc = {sizeof(FONTDESC), const_cast<wchar_t*>(L"Tahoma"), {120000, 0}, FW_BOLD, ANSI_CHARSET,
                   FALSE, FALSE, FALSE};
  ComPtr<IDispatch> font;
  ASSERT_EQ(S_OK, OleCreateFontIndirect(&desc, IID_IDispatch, font.put_void()));
  for (VARIANT value : {Num(VT_UNKNOWN, 0), Num(VT_DISPATCH, font.get())}) {
    Set(item.get(), {{L"arglist", List({value})}});
    const std::vector<uint8_t> saved = SaveBytes(item->Inner());
    Bytes start = Bytes().u16(value.vt).id(value.pdispVal ? CLSID_StdFont : CLSID_NULL);
    if (!value.pdispVal) start.u32(0).u32(0);
    EXPECT_EQ(Hex(start.b), Hex({saved.begin() + kFirstArgument, saved.begin() + kFirstArgument + start.b.size()}));
    const ULONG measured = MeasuredSize(item->Inner());
    EXPECT_TRUE(value.pdispVal ? measured >= saved.size() : measured == saved.size()) << measured;
    ASSERT_EQ(S_OK, LoadBytes(loaded.get(), saved));
    EXPECT_EQ(Hex(saved), Hex(SaveBytes(loaded->Inner())));
  }

  // An item has no class id to write, and a plain object no persistence.
  Set(item.get(), {{L"arglist", List({Num(VT_UNKNOWN, NewItem()->Inner())})}});
  SaveBytes(item->Inner(), E_NOTIMPL);
  Set(item.get(), {{L"arglist", List({Num(VT_UNKNOWN, StreamOf({}).get())})}});
  SaveBytes(item->Inner(), E_NOINTERFACE);
  ULARGE_INTEGER size;
  EXPECT_EQ(E_NOINTERFACE, item->GetSizeMax(&size));

  // A stream naming the item class as an object is refused, even with an item stream and the rest after it.
  Bytes hostile = Head(0.0);
  hostile.u32(1).u16(VT_UNKNOWN).id(CLSID_TAVDiagnosticLogItem).raw(SaveBytes(NewItem()->Inner()));
  hostile.u32(0).u32(0).raw({0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00});
  EXPECT_EQ(E_FAIL, LoadBytes(loaded.get(), hostile.b));
}

// Valid streams that reach every kind of field.
std::vector<std::vector<uint8_t>> Corpus() {
  ComPtr<CTAVDiagnosticLogItem> full = NewItem(), child = NewItem(), parent = NewItem({{L"msgtext", 1001}});
  full->ApplySchema(L"<ElementType name=\"batch\" dt:type=\"int\"/><ElementType name=\"tag\"/>"
                    L"<ElementType name=\"when\" dt:type=\"date\"/><ElementType name=\"ok\" dt:type=\"bool\"/>"
                    L"<ElementType name=\"level\" dt:type=\"unsigned char\"/>");
  // One argument of every kind the stream writes differently; the object is null.
  std::vector<VARIANT> args = {Str(L"P1")};
  for (VARTYPE vt : {VT_I4, VT_I8, VT_R8, VT_DATE, VT_I2, VT_CY, VT_UNKNOWN, VT_ERROR})
    args.push_back(Num(vt, vt == VT_UNKNOWN ? 0 : 95 + args.size()));
  Set(full.get(), {{L"location", L"Hall 3"}, {L"provider", L"Pump"}, {L"msgtext", L"Pump %1 is at %2!d!%% after %3"},
                   {L"username", L"PLANT7\\op"}, {L"userdescription", L"note"}, {L"batch", L"77"}, {L"tag", L"T-1"},
                   {L"when", L"2024-01-02"}, {L"ok", L"true"}, {L"level", L"9"}, {L"arglist", List(args)}});
  child->SetChild(full->Inner());
  parent->SetChild(child->Inner());
  return {SaveBytes(NewItem()->Inner()), SaveBytes(full->Inner()), SaveBytes(parent->Inner())};
}

// Counts, sizes and type codes the readers must survive.
const uint32_t kInterestingWords[] = {0,       1,          2,          3,          0xFFFF,     0x10000,
                                      0x10001, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF, 0x40000000};
const uint16_t kInterestingTypes[] = {
    VT_EMPTY,           VT_NULL, VT_DISPATCH, VT_UNKNOWN, VT_VARIANT, VT_DECIMAL, VT_RECORD, VT_ARRAY | VT_I4,
    VT_BYREF | VT_BSTR, VT_I8,   VT_UI8,      VT_BSTR,    0xFFFF,     VT_CLSID};

std::vector<uint8_t> Mutate(std::mt19937& random, const std::vector<std::vector<uint8_t>>& corpus) {
  auto pick = [&](size_t n) { return n ? std::uniform_int_distribution<size_t>(0, n - 1)(random) : 0; };
  std::vector<uint8_t> bytes = corpus[pick(corpus.size())];
  switch (pick(5)) {
    case 0:  // random bytes
      bytes.resize(pick(400));
      for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
      if (bytes.size() >= 4 && pick(2)) bytes[0] = 2, bytes[1] = bytes[2] = bytes[3] = 0;
      break;
    case 1:  // a few bytes changed
      for (size_t n = 1 + pick(8); n && !bytes.empty(); --n) bytes[pick(bytes.size())] = static_cast<uint8_t>(random());
      break;
    case 2:  // cut off
      bytes.resize(pick(bytes.size() + 1));
      break;
    case 3:  // a count or size, or a variant type code, replaced by an interesting one
      if (bytes.size() < 4) break;
      if (pick(2))
        std::memcpy(&bytes[pick(bytes.size() - 3)], &kInterestingWords[pick(std::size(kInterestingWords))], 4);
      else
        std::memcpy(&bytes[pick(bytes.size() - 1)], &kInterestingTypes[pick(std::size(kInterestingTypes))], 2);
      break;
    case 4: {  // bytes inserted or removed
      const size_t at = pick(bytes.size() + 1), n = 1 + pick(16);
      if (pick(2))
        std::generate_n(std::inserter(bytes, bytes.begin() + at), n, [&] { return static_cast<uint8_t>(random()); });
      else
        bytes.erase(bytes.begin() + at, bytes.begin() + std::min(bytes.size(), at + n));
      break;
    }
  }
  return bytes;
}

// Everything a reader does with a received item; each call must answer.
void Exercise(CTAVDiagnosticLogItem* item, int depth) {
  for (const wchar_t* name : {L"location", L"provider", L"datetime", L"username", L"severity", L"type", L"audience",
                              L"verbosity", L"msgtext", L"arglist", L"userdescription", L"ce_based_message"})
    EXPECT_NE(0u, Get(item->Inner(), name).rfind(L"failed", 0)) << "GetParam " << Narrow(name);
  ULONG count = 0;
  item->ExtendedParameterCount(&count);
  for (ULONG i = 0; i < count && i < 64; ++i) EXPECT_NE(0u, Entry(item, i).rfind(L"failed", 0)) << "entry " << i;
  const HRESULT described = item->GetDescription(unique_bstr().put());
  EXPECT_TRUE(described == S_OK || described == E_FAIL) << "GetDescription gave " << described;
  ULARGE_INTEGER size = {};
  const HRESULT measured = item->GetSizeMax(&size);
  ComPtr<IStream> stream = StreamOf({});
  const HRESULT saved = item->Save(stream.get(), FALSE);
  EXPECT_EQ(SUCCEEDED(saved), SUCCEEDED(measured)) << "Save and GetSizeMax disagree";
  // What was accepted once must load again.
  EXPECT_TRUE(FAILED(saved) || NewItem()->Load(StreamOf(StreamBytes(stream.get())).get()) == S_OK);
  if (depth >= 3) return;
  ComPtr<IUnknown> child;
  const HRESULT hr = item->GetChild(child.put());
  EXPECT_TRUE(hr == S_OK || hr == E_FAIL) << "GetChild gave " << hr;
  if (child) Exercise(CTAVDiagnosticLogItem::FromInterface(child.get()).get(), depth + 1);
}

// Bytes in use in every heap of the process (its memory counters are only estimates).
SIZE_T AllocatedBytes() {
  std::vector<HANDLE> heaps(GetProcessHeaps(0, nullptr) + 16);
  heaps.resize(GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data()));
  SIZE_T total = 0;
  for (HANDLE heap : heaps) {
    if (!HeapLock(heap)) continue;
    PROCESS_HEAP_ENTRY entry = {};
    while (HeapWalk(heap, &entry))
      if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) total += entry.cbData;
    HeapUnlock(heap);
  }
  return total;
}

// Random bytes and mutated streams load to an HRESULT, never a crash, hang or leak; what loads is usable.
TEST_F(ItemTest, HostileStreamsAlwaysEndInAnHResult) {
  const std::vector<std::vector<uint8_t>> corpus = Corpus();
  const LONG locks = ModuleLockCount();
  DWORD handlesBefore = 0, handlesAfter = 0;
  GetProcessHandleCount(GetCurrentProcess(), &handlesBefore);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  // Runs the first n inputs of the seeded sequence; answers how many loaded whole.
  const auto run = [&](int n) {
    std::mt19937 random(20240611);
    int loaded = 0, i = 0;
    for (; i < n && std::chrono::steady_clock::now() < deadline; ++i) {
      const std::vector<uint8_t> input = Mutate(random, corpus);
      SCOPED_TRACE("input " + std::to_string(i) + ": " + Hex(input));
      ComPtr<CTAVDiagnosticLogItem> item = NewItem();
      const HRESULT hr = LoadBytes(item.get(), input);
      EXPECT_TRUE(hr == S_OK || FAILED(hr)) << "loaded with " << hr;
      loaded += hr == S_OK;
      if (hr == S_OK) Exercise(item.get(), 0);
      // Even a half-read item answers its readers.
      if (FAILED(hr)) item->GetDescription(unique_bstr().put());
    }
    EXPECT_EQ(n, i) << "inputs not reached in time";
    return loaded;
  };
  // The whole sequence, then its beginning twice more: with warm caches, the process must not grow.
  EXPECT_GT(run(3000), 100) << "too few inputs loaded to exercise readers";
  run(800);
  const SIZE_T afterSecond = AllocatedBytes();
  run(800);
  EXPECT_LT(AllocatedBytes(), afterSecond + 4096) << "heap use grew";
  EXPECT_EQ(locks, ModuleLockCount());
  GetProcessHandleCount(GetCurrentProcess(), &handlesAfter);
  EXPECT_LE(handlesAfter, handlesBefore + 16);
}

TEST_F(ItemTest, HugeCountsFailWithoutReservingMemory) {
  const std::vector<uint8_t> valid = SaveBytes(NewItem()->Inner());
  const size_t argumentCount = kFirstArgument - 4;
  const std::tuple<size_t, uint32_t, HRESULT> cases[] = {
      {argumentCount, 0xFFFFFFFF, E_OUTOFMEMORY},
      {argumentCount + 4, 0xFFFFFFF0, E_FAIL},  // the child's size
      {argumentCount + 8, 0xFFFFFFFF, E_FAIL},  // the extended count
      {4, 0xFFFFFFFF, E_OUTOFMEMORY},           // a string count that no BSTR can hold
      {4, 0x7FFFFFFF, E_FAIL},                  // one that could, but the stream has not that much
  };
  for (auto [at, word, expected] : cases) {
    std::vector<uint8_t> bytes = valid;
    std::memcpy(&bytes[at], &word, 4);
    EXPECT_EQ(expected, LoadBytes(NewItem().get(), bytes)) << "word " << std::hex << word << " at " << std::dec << at;
  }
}

// Marshal data is the item stream; another machine, which may lack the DLL, gets the text formatted here.
TEST_F(ItemTest, MarshalDataIsTheItemStreamWithTheTextForAnotherMachineOrFailsForValuesWithoutText) {
  ComPtr<CTAVDiagnosticLogItem> sender = NewItem({{L"provider", L"NoSuchProvider"}, {L"location", L"Hall 3"},
                                                  {L"msgtext", 1001}, {L"arglist", List({Num(VT_I4, 3)})}}),
                                asText = NewItem();
  const std::vector<uint8_t> local = SaveBytes(sender->Inner());
  asText->CopyFrom(*sender.get());
  Set(asText.get(), {{L"msgtext", NoDllText(L"NoSuchProvider", 1001).c_str()}});
  const std::vector<uint8_t> remote = SaveBytes(asText->Inner());
  for (DWORD context : {MSHCTX_LOCAL, MSHCTX_NOSHAREDMEM, MSHCTX_INPROC, MSHCTX_DIFFERENTMACHINE}) {
    const std::vector<uint8_t>& expected = context == MSHCTX_DIFFERENTMACHINE ? remote : local;
    CLSID unmarshal = CLSID_NULL;
    EXPECT_EQ(S_OK, sender->GetUnmarshalClass(IID_IUnknown, nullptr, context, nullptr, MSHLFLAGS_NORMAL, &unmarshal));
    EXPECT_TRUE(IsEqualCLSID(CLSID_TAVDiagnosticLogItem, unmarshal)) << "context " << context;
    DWORD size = 0;
    EXPECT_EQ(S_OK, sender->GetMarshalSizeMax(IID_IErrorInfo, nullptr, context, nullptr, MSHLFLAGS_TABLESTRONG, &size));
    EXPECT_EQ(expected.size(), size) << "context " << context;
    ComPtr<IStream> stream = StreamOf({});
    EXPECT_EQ(S_OK, sender->MarshalInterface(stream.get(), IID_IErrorInfo, nullptr, context, nullptr,
                                             MSHLFLAGS_TABLEWEAK));
    EXPECT_EQ(Hex(expected), Hex(StreamBytes(stream.get()))) << "context " << context;
    // Through COM, the receiver is a new item made from the registered library.
    ComPtr<ITAVDiagnosticLogItemEx> received = ThroughCom<ITAVDiagnosticLogItemEx>(sender->Inner(), context);
    ASSERT_TRUE(received);
    EXPECT_FALSE(CTAVDiagnosticLogItem::FromInterface(received.get()));
    EXPECT_EQ(Hex(expected), Hex(SaveBytes(received.get()))) << "context " << context;
  }
  EXPECT_EQ(Hex(local), Hex(SaveBytes(sender->Inner()))) << "the sender is as it was";
  // Unmarshalling fails with the load's or the interface's error.
  ComPtr<CTAVDiagnosticLogItem> receiver = NewItem();
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_FAIL, receiver->UnmarshalInterface(StreamOf({}).get(), IID_IUnknown, &out));
  EXPECT_EQ(nullptr, out);
  out = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, receiver->UnmarshalInterface(StreamOf(local).get(), IID_IStream, &out));
  EXPECT_EQ(nullptr, out);
  ASSERT_EQ(S_OK, receiver->UnmarshalInterface(StreamOf(local).get(), IID_IErrorInfo, &out));
  static_cast<IUnknown*>(out)->Release();
  EXPECT_EQ(S_OK, receiver->ReleaseMarshalData(nullptr));
  EXPECT_EQ(S_OK, receiver->DisconnectObject(0));

  // A value without text form can be neither written, measured nor marshalled.
  Set(sender.get(), {{L"arglist", List({Num(VT_NULL, 0)})}});
  SaveBytes(sender->Inner(), DISP_E_TYPEMISMATCH);
  ULARGE_INTEGER size = {};
  DWORD marshalSize = 0;
  const DWORD away = MSHCTX_DIFFERENTMACHINE;
  for (HRESULT hr : {sender->GetSizeMax(&size),
                     sender->GetMarshalSizeMax(IID_IUnknown, nullptr, away, nullptr, MSHLFLAGS_NORMAL, &marshalSize),
                     sender->MarshalInterface(StreamOf({}).get(), IID_IUnknown, nullptr, away, nullptr, 0)})
    EXPECT_EQ(DISP_E_TYPEMISMATCH, hr);
  // The message is restored, and another thread can take the item's lock again.
  EXPECT_EQ(L"", sender->MessageText());
  long seen = 0;
  std::thread([&] { seen = sender->MessageId(); }).join();
  EXPECT_EQ(1001, seen);
}

struct ProviderRegistration {
  ProviderRegistration(const std::wstring& provider, const wchar_t* language, const std::wstring& path)
      : key(std::wstring(kProductKey) + L"\\Providers\\" + provider + L"\\Resources"), language(language) {
    EXPECT_TRUE(test::SetMachineString(key, language, path));
  }
  ~ProviderRegistration() { test::DeleteMachineValue(key, language); }
  const std::wstring key;
  const wchar_t* const language;
};

TEST_F(ItemTest, ErrorFieldsAndSetDescriptionOfAnItemAndOfAForeignChild) {
  ComPtr<CTAVDiagnosticLogItem> item = NewItem({{L"msgtext", L"Started"}, {L"provider", L"Pump"}}), parent = NewItem();
  EXPECT_EQ(L"Started", Description(item->Inner()));
  EXPECT_EQ(L"Pump||{00000000-0000-0000-0000-000000000000}|0", Fields(item->Inner()));
  for (HRESULT hr : {item->GetDescription(nullptr), item->GetSource(nullptr), item->GetGUID(nullptr),
                     item->GetHelpFile(nullptr), item->GetHelpContext(nullptr)})
    EXPECT_EQ(E_POINTER, hr);

  // The item's setters, and a foreign error object with the same fields stored as a child (it becomes an item).
  ComPtr<ICreateErrorInfo> create;
  ASSERT_EQ(S_OK, CreateErrorInfo(create.put()));
  create->SetDescription(const_cast<wchar_t*>(L"Disk full"));
  for (ICreateErrorInfo* setter : {static_cast<ICreateErrorInfo*>(item.get()), create.get()})
    EXPECT_EQ(S_OK, setter->SetGUID({0x12345678, 9, 10, {11, 12, 13, 14, 15, 16, 17, 18}}) |
                        setter->SetHelpFile(const_cast<wchar_t*>(L"storage.chm")) | setter->SetHelpContext(77) |
                        setter->SetSource(const_cast<wchar_t*>(L"Storage")));
  const std::wstring guid = L"{12345678-0009-000A-0B0C-0D0E0F101112}";
  EXPECT_EQ(L"Storage|storage.chm|" + guid + L"|77", Fields(item->Inner()));
  EXPECT_EQ(L"Storage", item->Provider());
  ASSERT_EQ(S_OK, parent->SetChild(As<IErrorInfo>(create.get()).get()));
  ComPtr<IUnknown> child;
  ASSERT_EQ(S_OK, parent->GetChild(child.put()));
  ASSERT_TRUE(child);
  EXPECT_EQ(L"Disk full", Description(child.get()));
  EXPECT_EQ(L"Storage|storage.chm|" + guid + L"|77", Fields(child.get()));
  // A null source or help file is empty.
  EXPECT_EQ(S_OK, item->SetSource(nullptr) | item->SetHelpFile(nullptr));
  EXPECT_EQ(L"||" + guid + L"|77", Fields(item->Inner()));

  // SetDescription turns the message into text.
  item = NewItem({{L"provider", L"Pump"}, {L"msgtext", 7}});
  EXPECT_EQ(NoDllText(L"Pump", 7), Description(item->Inner()));
  ASSERT_EQ(S_OK, item->SetDescription(const_cast<wchar_t*>(L"Stopped")));
  EXPECT_EQ(L"8:Stopped", Get(item->Inner(), L"msgtext"));
  EXPECT_EQ(L"Stopped", Description(item->Inner()));
  // The arguments stay and fill the text's places; the item serves as the thread's error object.
  Set(item.get(), {{L"arglist", List({Str(L"C:")})}});
  ASSERT_EQ(S_OK, item->SetDescription(const_cast<wchar_t*>(L"Disk %1 is full")));
  ASSERT_EQ(S_OK, SetErrorInfo(0, item.get()));
  EXPECT_EQ(L"Disk C: is full", test::TakeErrorDescription());
  ASSERT_EQ(S_OK, item->SetDescription(nullptr));
  EXPECT_EQ(L"", Description(item->Inner()));
}

TEST_F(ItemTest, DescriptionFallsBackPerLanguageIsRecomputedAfterChangesAndFollowsEachThread) {
  // The provider has a DLL without strings (this program) for German only: English callers get the fallback
  // of a missing DLL, German ones that of a missing string.
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  ProviderRegistration german(L"HvItemTestGermanOnly", L"0x0007", self);
  ComPtr<CTAVDiagnosticLogItem> item = NewItem({{L"provider", L"HvItemTestGermanOnly"}, {L"msgtext", 12}});
  const std::wstring english = NoDllText(L"HvItemTestGermanOnly", 12);
  EXPECT_EQ(english, Description(item->Inner()));
  ASSERT_TRUE(SetThreadLocale(kGerman));
  EXPECT_EQ(L"ID = 12", Description(item->Inner()));
  ASSERT_TRUE(SetThreadLocale(kEnglish));
  EXPECT_EQ(english, Description(item->Inner()));

  // Any change of a field formats anew.
  Set(item.get(), {{L"msgtext", 13}});
  EXPECT_EQ(NoDllText(L"HvItemTestGermanOnly", 13), Description(item->Inner()));
  Set(item.get(), {{L"msgtext", L"%1 items"}, {L"arglist", List({Str(L"12")})}});
  EXPECT_EQ(L"12 items", Description(item->Inner()));
  DATE date = 0;
  item->SetStandardFields(&date, L"", 0, 0, 0, Str(L"built %1"), nullptr);
  EXPECT_EQ(L"built (null)", Description(item->Inner()));  // no argument for the place
  item->CopyFrom(*NewItem({{L"msgtext", L""}}).get());
  EXPECT_EQ(L"", Description(item->Inner())) << "an empty text describes itself as the empty text";

  // With a DLL per language, each thread reads the message in its own.
  if (GetFileAttributesW((test::BinDir() + L"PumpDEU.dll").c_str()) == INVALID_FILE_ATTRIBUTES)
    GTEST_SKIP() << "sample provider DLLs not built";
  ProviderRegistration pumpEnglish(L"HvItemTestPump", L"0x0009", test::BinDir() + L"PumpENU.dll");
  ProviderRegistration pumpGerman(L"HvItemTestPump", L"0x0007", test::BinDir() + L"PumpDEU.dll");
  item = NewItem(
      {{L"provider", L"HvItemTestPump"}, {L"msgtext", 1002}, {L"arglist", List({Str(L"P-101"), Num(VT_I4, 4)})}});
  const auto describeOn = [&](LCID locale) {
    std::wstring text;
    std::thread([&] {
      SetThreadLocale(locale);
      text = Description(item->Inner());
    }).join();
    return text;
  };
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(L"Pump P-101 pressure 4 bar", describeOn(kEnglish)) << "round " << round;
    EXPECT_EQ(L"Pumpe P-101 Druck 4 bar", describeOn(kGerman)) << "round " << round;
  }
  Set(item.get(), {{L"msgtext", 12}});
  EXPECT_EQ(L"ID = 12", describeOn(kEnglish)) << "a string the DLL does not hold";

  // Sent to another machine, the message goes as the sender's text.
  Set(item.get(), {{L"msgtext", 1002}});
  ASSERT_TRUE(SetThreadLocale(kGerman));
  ComPtr<ITAVDiagnosticLogItem> received = ThroughCom<ITAVDiagnosticLogItem>(item->Inner(), MSHCTX_DIFFERENTMACHINE);
  ASSERT_TRUE(received);
  EXPECT_EQ(L"8:Pumpe P-101 Druck 4 bar", Get(received.get(), L"msgtext"));
  EXPECT_EQ(1002, item->MessageId());
}

}  // namespace
}  // namespace hv
