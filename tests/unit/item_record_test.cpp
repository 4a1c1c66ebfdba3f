// The log item as a record: its interfaces, its standard and extended
// fields, the operations the log uses on it, and its module lock.
#include <windows.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "common/ComObject.h"
#include "common/ModuleLock.h"
#include "item/CTAVDiagnosticLogItem.h"
#include "support/TestSupport.h"

namespace hv {
namespace {

using test::ComTest;
using test::Narrow;

class ItemRecordTest : public ComTest {};

ComPtr<CTAVDiagnosticLogItem> NewItem() { return MakeObject<CTAVDiagnosticLogItem>(); }

struct Var {
  unique_variant v;
  explicit Var(long value) {
    v->vt = VT_I4;
    v->lVal = value;
  }
  explicit Var(const wchar_t* text) {
    v->vt = VT_BSTR;
    v->bstrVal = SysAllocString(text);
  }
  explicit Var(double date, VARTYPE vt) {
    v->vt = vt;
    v->dblVal = date;
  }
  Var() = default;
  VARIANT& operator*() { return *v.get(); }
};

HRESULT Put(CTAVDiagnosticLogItem* item, const wchar_t* name, Var&& value) {
  unique_bstr bname(SysAllocString(name));
  return item->PutParam(bname.get(), *value);
}

HRESULT Get(CTAVDiagnosticLogItem* item, const wchar_t* name, unique_variant* out) {
  unique_bstr bname(SysAllocString(name));
  return item->GetParam(bname.get(), out->put());
}

std::wstring Text(const unique_variant& v) {
  return v->vt == VT_BSTR && v->bstrVal ? std::wstring(v->bstrVal, SysStringLen(v->bstrVal)) : L"<not text>";
}

// An array of VARIANT with the given lower bound.
unique_safearray VariantArray(LONG lower, const std::vector<long>& values) {
  SAFEARRAYBOUND bound = {static_cast<ULONG>(values.size()), lower};
  unique_safearray array(SafeArrayCreate(VT_VARIANT, 1, &bound));
  for (size_t i = 0; i < values.size(); ++i) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = values[i];
    LONG index = lower + static_cast<LONG>(i);
    SafeArrayPutElement(array.get(), &index, &v);
  }
  return array;
}

std::vector<long> ArgumentValues(CTAVDiagnosticLogItem* item) {
  unique_variant list;
  EXPECT_EQ(S_OK, Get(item, L"arglist", &list));
  std::vector<long> values;
  if (list->vt != (VT_ARRAY | VT_VARIANT)) {
    ADD_FAILURE() << "arglist came back as vt " << list->vt;
    return values;
  }
  LONG lower = -1, upper = -2;
  SafeArrayGetLBound(list->parray, 1, &lower);
  SafeArrayGetUBound(list->parray, 1, &upper);
  EXPECT_EQ(0, lower);
  for (LONG i = lower; i <= upper; ++i) {
    unique_variant element;
    SafeArrayGetElement(list->parray, &i, element.get());
    values.push_back(element->vt == VT_I4 ? element->lVal : -999999);
  }
  return values;
}

TEST_F(ItemRecordTest, AnswersItsInterfacesOnOneIdentity) {
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  ComPtr<IUnknown> identity;
  ASSERT_EQ(S_OK, item->QueryInterface(IID_IUnknown, identity.put_void()));
  const IID* answered[] = {&IID_ITAVDiagnosticLogItem, &IID_ITAVDiagnosticLogItemEx, &IID_IDispatch,
                           &IID_IPersistStreamInit,   &IID_IMarshal,               &IID_IErrorInfo,
                           &IID_ICreateErrorInfo,     &IID_IPersistStream};
  for (const IID* iid : answered) {
    ComPtr<IUnknown> view;
    ASSERT_EQ(S_OK, item->QueryInterface(*iid, view.put_void()));
    ComPtr<IUnknown> back;
    ASSERT_EQ(S_OK, view->QueryInterface(IID_IUnknown, back.put_void()));
    EXPECT_EQ(identity.get(), back.get());
  }
  // The dual interface serves all three of its names.
  ComPtr<IUnknown> a, b, c;
  item->QueryInterface(IID_ITAVDiagnosticLogItem, a.put_void());
  item->QueryInterface(IID_ITAVDiagnosticLogItemEx, b.put_void());
  item->QueryInterface(IID_IDispatch, c.put_void());
  EXPECT_EQ(a.get(), b.get());
  EXPECT_EQ(b.get(), c.get());

  for (const IID* iid : {&IID_IPersist, &IID_IConnectionPointContainer, &IID_ISupportErrorInfo, &IID_IStream}) {
    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, item->QueryInterface(*iid, &none));
    EXPECT_EQ(nullptr, none);
  }
  EXPECT_EQ(item.get(), CTAVDiagnosticLogItem::FromInterface(c.get()).get());
  EXPECT_FALSE(CTAVDiagnosticLogItem::FromInterface(nullptr));

  // The dispatch side comes from the embedded type library.
  UINT count = 0;
  ComPtr<IDispatch> dispatch;
  item->QueryInterface(IID_IDispatch, dispatch.put_void());
  EXPECT_EQ(S_OK, dispatch->GetTypeInfoCount(&count));
  EXPECT_EQ(1u, count);
  // The dispatch ids of the type library embedded in the registered DLL.
  ComPtr<ITAVDiagnosticLogItemEx> registered;
  ASSERT_EQ(S_OK, test::CreateItem(registered.put()));
  const wchar_t* names[] = {L"PutParam", L"getparam"};
  for (DISPID expected = 1; expected <= 2; ++expected) {
    LPOLESTR name = const_cast<LPOLESTR>(names[expected - 1]);
    DISPID id = 0;
    ASSERT_EQ(S_OK, registered->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id));
    EXPECT_EQ(expected, id);
  }
}

TEST_F(ItemRecordTest, NewItemHoldsTheInitialValues) {
  SYSTEMTIME before, after;
  GetSystemTime(&before);
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  GetSystemTime(&after);
  DATE low = 0, high = 0;
  before.wMilliseconds = 0;
  SystemTimeToVariantTime(&before, &low);
  SystemTimeToVariantTime(&after, &high);

  unique_variant v;
  ASSERT_EQ(S_OK, Get(item.get(), L"msgtext", &v));
  EXPECT_EQ(VT_BSTR, v->vt);
  EXPECT_EQ(L"", Text(v));
  ASSERT_EQ(S_OK, Get(item.get(), L"datetime", &v));
  ASSERT_EQ(VT_DATE, v->vt);
  EXPECT_GE(v->date, low - 1.0 / 86400);
  EXPECT_LE(v->date, high + 1.0 / 86400);
  for (const wchar_t* name : {L"severity", L"audience", L"verbosity", L"kind"}) {
    ASSERT_EQ(S_OK, Get(item.get(), name, &v)) << Narrow(name);
    EXPECT_EQ(VT_I4, v->vt) << Narrow(name);
    EXPECT_EQ(0, v->lVal) << Narrow(name);
  }
  ASSERT_EQ(S_OK, Get(item.get(), L"type", &v));
  EXPECT_EQ(2, v->lVal);  // audience 0 is not "user"
  EXPECT_TRUE(ArgumentValues(item.get()).empty());
  ASSERT_EQ(S_OK, Get(item.get(), L"userdescription", &v));
  EXPECT_EQ(VT_EMPTY, v->vt);
  ASSERT_EQ(S_OK, Get(item.get(), L"ce_based_message", &v));
  EXPECT_EQ(VT_BOOL, v->vt);
  EXPECT_EQ(VARIANT_FALSE, v->boolVal);
  for (const wchar_t* name : {L"location", L"provider", L"username"}) {
    ASSERT_EQ(S_OK, Get(item.get(), name, &v));
    EXPECT_EQ(L"", Text(v));
  }
  ULONG count = 99;
  EXPECT_EQ(S_OK, item->ExtendedParameterCount(&count));
  EXPECT_EQ(0u, count);
  IUnknown* child = reinterpret_cast<IUnknown*>(1);
  EXPECT_EQ(S_OK, item->GetChild(&child));
  EXPECT_EQ(nullptr, child);
  EXPECT_EQ(-1, item->MessageId());
  EXPECT_FALSE(item->InFlight());
  EXPECT_EQ(S_OK, item->DeliveryResult());
  EXPECT_EQ(nullptr, item->CompletionEvent());
}

TEST_F(ItemRecordTest, StandardFieldsConvertAndIgnoreLetterCase) {
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  unique_variant v;
  EXPECT_EQ(S_OK, Put(item.get(), L"SEVERITY", Var(L"4")));
  ASSERT_EQ(S_OK, Get(item.get(), L"kind", &v));
  EXPECT_EQ(VT_I4, v->vt);
  EXPECT_EQ(4, v->lVal);
  EXPECT_EQ(S_OK, Put(item.get(), L"Kind", Var(8)));
  EXPECT_EQ(8, item->Severity());

  EXPECT_EQ(S_OK, Put(item.get(), L"type", Var(4)));
  EXPECT_EQ(2, item->Audience());
  EXPECT_EQ(S_OK, Put(item.get(), L"type", Var(1)));
  EXPECT_EQ(1, item->Audience());
  EXPECT_EQ(S_OK, Put(item.get(), L"audience", Var(8)));
  ASSERT_EQ(S_OK, Get(item.get(), L"type", &v));
  EXPECT_EQ(2, v->lVal);
  ASSERT_EQ(S_OK, Get(item.get(), L"AUDIENCE", &v));
  EXPECT_EQ(8, v->lVal);

  EXPECT_EQ(S_OK, Put(item.get(), L"LoCaTiOn", Var(42)));
  ASSERT_EQ(S_OK, Get(item.get(), L"location", &v));
  EXPECT_EQ(L"42", Text(v));
  EXPECT_EQ(S_OK, Put(item.get(), L"provider", Var(L"Pump")));
  EXPECT_EQ(L"Pump", item->Provider());
  EXPECT_EQ(S_OK, Put(item.get(), L"username", Var(L"PLANT7\\op")));
  EXPECT_EQ(L"PLANT7\\op", item->UserName());
  EXPECT_EQ(S_OK, Put(item.get(), L"verbosity", Var(L"3")));
  ASSERT_EQ(S_OK, Get(item.get(), L"verbosity", &v));
  EXPECT_EQ(3, v->lVal);

  // A date that does not parse leaves the field alone.
  EXPECT_EQ(S_OK, Put(item.get(), L"datetime", Var(40000.25, VT_DATE)));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, Put(item.get(), L"datetime", Var(L"not a date")));
  EXPECT_EQ(40000.25, item->DateTime());
  EXPECT_EQ(DISP_E_TYPEMISMATCH, Put(item.get(), L"severity", Var(L"high")));
  EXPECT_EQ(8, item->Severity());

  EXPECT_EQ(S_OK, Put(item.get(), L"ce_based_message", Var(L"true")));
  ASSERT_EQ(S_OK, Get(item.get(), L"ce_based_message", &v));
  EXPECT_EQ(VARIANT_TRUE, v->boolVal);
  EXPECT_EQ(S_OK, Put(item.get(), L"ce_based_message", Var(0L)));
  ASSERT_EQ(S_OK, Get(item.get(), L"ce_based_message", &v));
  EXPECT_EQ(VARIANT_FALSE, v->boolVal);
}

TEST_F(ItemRecordTest, MessageIsEitherTextOrResourceId) {
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  unique_variant v;
  EXPECT_EQ(S_OK, Put(item.get(), L"msgtext", Var(1001)));
  ASSERT_EQ(S_OK, Get(item.get(), L"msgtext", &v));
  EXPECT_EQ(VT_I4, v->vt);
  EXPECT_EQ(1001, v->lVal);
  EXPECT_EQ(L"", item->MessageText());

  EXPECT_EQ(S_OK, Put(item.get(), L"msgtext", Var(L"Pump started")));
  ASSERT_EQ(S_OK, Get(item.get(), L"msgtext", &v));
  EXPECT_EQ(L"Pump started", Text(v));
  EXPECT_EQ(-1, item->MessageId());

  // A number given as a double is a resource id as well.
  EXPECT_EQ(S_OK, Put(item.get(), L"msgtext", Var(7.0, VT_R8)));
  EXPECT_EQ(7, item->MessageId());
  EXPECT_EQ(L"", item->MessageText());
  // A value that is neither text nor a number changes nothing.
  unique_variant null;
  null->vt = VT_NULL;
  unique_bstr name(SysAllocString(L"msgtext"));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, item->PutParam(name.get(), *null.get()));
  EXPECT_EQ(7, item->MessageId());
}

TEST_F(ItemRecordTest, ArgumentListTakesArraysOfVariantOnly) {
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  unique_safearray fromOne = VariantArray(1, {10, 20, 30});
  Var list;
  list.v->vt = VT_ARRAY | VT_VARIANT;
  list.v->parray = fromOne.release();
  EXPECT_EQ(S_OK, Put(item.get(), L"arglist", std::move(list)));
  EXPECT_EQ((std::vector<long>{10, 20, 30}), ArgumentValues(item.get()));

  // By reference, as script clients pass their variables.
  unique_safearray byRefArray = VariantArray(0, {5});
  SAFEARRAY* raw = byRefArray.get();
  Var byRef;
  byRef.v->vt = VT_ARRAY | VT_VARIANT | VT_BYREF;
  byRef.v->pparray = &raw;
  EXPECT_EQ(S_OK, Put(item.get(), L"arglist", std::move(byRef)));
  EXPECT_EQ((std::vector<long>{5}), ArgumentValues(item.get()));

  // Other types leave the arguments as they were, with S_OK.
  EXPECT_EQ(S_OK, Put(item.get(), L"arglist", Var(12)));
  SAFEARRAYBOUND bound = {2, 0};
  Var longs;
  longs.v->vt = VT_ARRAY | VT_I4;
  longs.v->parray = SafeArrayCreate(VT_I4, 1, &bound);
  EXPECT_EQ(S_OK, Put(item.get(), L"arglist", std::move(longs)));
  EXPECT_EQ((std::vector<long>{5}), ArgumentValues(item.get()));

  // An empty array clears them.
  Var empty;
  empty.v->vt = VT_ARRAY | VT_VARIANT;
  empty.v->parray = SafeArrayCreateVector(VT_VARIANT, 0, 0);
  EXPECT_EQ(S_OK, Put(item.get(), L"arglist", std::move(empty)));
  EXPECT_TRUE(ArgumentValues(item.get()).empty());
}

TEST_F(ItemRecordTest, UserDescriptionAcceptsTextOrNothing) {
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  unique_variant v;
  EXPECT_EQ(S_OK, Put(item.get(), L"userdescription", Var(L"note")));
  EXPECT_EQ(E_INVALIDARG, Put(item.get(), L"userdescription", Var(5)));
  EXPECT_EQ(E_INVALIDARG, Put(item.get(), L"UserDescription", Var(2.0, VT_DATE)));
  ASSERT_EQ(S_OK, Get(item.get(), L"userdescription", &v));
  EXPECT_EQ(L"note", Text(v));
  EXPECT_EQ(S_OK, Put(item.get(), L"userdescription", Var()));
  ASSERT_EQ(S_OK, Get(item.get(), L"userdescription", &v));
  EXPECT_EQ(VT_EMPTY, v->vt);
}

TEST_F(ItemRecordTest, UnknownNamesAndNullOutPointers) {
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  EXPECT_EQ(E_FAIL, Put(item.get(), L"batch", Var(1)));
  unique_variant v;
  v->vt = VT_I4;
  v->lVal = 77;
  unique_bstr name(SysAllocString(L"batch"));
  EXPECT_EQ(E_FAIL, item->GetParam(name.get(), v.get()));
  EXPECT_EQ(VT_I4, v->vt);  // untouched
  EXPECT_EQ(77, v->lVal);
  unique_bstr location(SysAllocString(L"location"));
  EXPECT_EQ(E_FAIL, item->GetParam(location.get(), nullptr));
  EXPECT_EQ(E_FAIL, item->PutParam(nullptr, *v.get()));

  EXPECT_EQ(E_POINTER, item->ExtendedParameterCount(nullptr));
  BSTR out = nullptr;
  EXPECT_EQ(E_POINTER, item->ParameterNameAndValue(0, nullptr, v.get()));
  EXPECT_EQ(E_POINTER, item->ParameterNameAndValue(0, &out, nullptr));
  EXPECT_EQ(E_INVALIDARG, item->ParameterNameAndValue(0, &out, v.get()));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(E_POINTER, item->GetChild(nullptr));
}

TEST_F(ItemRecordTest, ExtendedParametersFollowTheSchema) {
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  ASSERT_EQ(S_OK, item->ApplySchema(
                      L"<ElementType name=\"Count\" dt:type=\"int\"/><ElementType name=\"Operator\" type=\"string\"/>"
                      L"<ElementType name=\"Severity\" dt:type=\"int\"/><ElementType name=\"count\" dt:type=\"bool\"/>"));
  ULONG count = 0;
  ASSERT_EQ(S_OK, item->ExtendedParameterCount(&count));
  ASSERT_EQ(4u, count);

  unique_variant v;
  EXPECT_EQ(S_OK, Put(item.get(), L"COUNT", Var(L"12")));
  ASSERT_EQ(S_OK, Get(item.get(), L"count", &v));
  EXPECT_EQ(VT_I4, v->vt);
  EXPECT_EQ(12, v->lVal);
  // Not convertible: S_OK, and the value stays.
  EXPECT_EQ(S_OK, Put(item.get(), L"count", Var(L"twelve")));
  ASSERT_EQ(S_OK, Get(item.get(), L"Count", &v));
  EXPECT_EQ(12, v->lVal);
  EXPECT_EQ(S_OK, Put(item.get(), L"operator", Var(3)));
  ASSERT_EQ(S_OK, Get(item.get(), L"operator", &v));
  EXPECT_EQ(L"3", Text(v));

  // A parameter named like a standard field is reached only by index.
  EXPECT_EQ(S_OK, Put(item.get(), L"severity", Var(2)));
  EXPECT_EQ(2, item->Severity());
  unique_bstr name;
  v.reset();
  ASSERT_EQ(S_OK, item->ParameterNameAndValue(2, name.put(), v.get()));
  EXPECT_EQ(L"severity", std::wstring(name.get()));
  EXPECT_EQ(VT_EMPTY, v->vt);
  // The second "count" is shadowed by the first.
  ASSERT_EQ(S_OK, item->ParameterNameAndValue(3, name.put(), v.get()));
  EXPECT_EQ(L"count", std::wstring(name.get()));
  EXPECT_EQ(VT_EMPTY, v->vt);
  EXPECT_EQ(E_INVALIDARG, item->ParameterNameAndValue(4, name.put(), v.get()));
  ExtendedParam* found = item->FindExtendedParam(L"COUNT");
  ASSERT_NE(nullptr, found);
  EXPECT_EQ(VT_I4, found->declaredType);
  EXPECT_EQ(nullptr, item->FindExtendedParam(L"missing"));

  // The destination of ParameterNameAndValue is cleared first.
  v.reset();
  v->vt = VT_BSTR;
  v->bstrVal = SysAllocString(L"old value");
  ASSERT_EQ(S_OK, item->ParameterNameAndValue(0, name.put(), v.get()));
  EXPECT_EQ(VT_I4, v->vt);
  EXPECT_EQ(12, v->lVal);

  item->ClearExtendedValues();
  ASSERT_EQ(S_OK, item->ParameterNameAndValue(1, name.put(), v.get()));
  EXPECT_EQ(L"operator", std::wstring(name.get()));
  EXPECT_EQ(VT_EMPTY, v->vt);
  EXPECT_EQ(VT_BSTR, item->FindExtendedParam(L"operator")->declaredType);

  // A new schema replaces the table.
  ASSERT_EQ(S_OK, item->ApplySchema(L"no declarations here"));
  ASSERT_EQ(S_OK, item->ExtendedParameterCount(&count));
  EXPECT_EQ(0u, count);
}

TEST_F(ItemRecordTest, SetStandardFieldsCutsTextAndReadsArraysFromTheirLowerBound) {
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  const std::wstring longText(3001, L'x');
  unique_variant message;
  message->vt = VT_BSTR;
  message->bstrVal = SysAllocString(longText.c_str());
  unique_safearray args = VariantArray(1, {7, 8, 9});
  DATE date = 41000.5;
  item->SetStandardFields(&date, L"someone", 1, 2, 3, *message.get(), args.get());
  EXPECT_EQ(3000u, item->MessageText().size());
  EXPECT_EQ(-1, item->MessageId());
  EXPECT_EQ(41000.5, item->DateTime());
  EXPECT_EQ(L"someone", item->UserName());
  EXPECT_EQ(1, item->Severity());
  EXPECT_EQ(2, item->Audience());
  EXPECT_EQ((std::vector<long>{7, 8, 9}), ArgumentValues(item.get()));
  std::vector<VARIANT> copies = item->InsertionArgs();
  ASSERT_EQ(3u, copies.size());
  EXPECT_EQ(9, copies[2].lVal);
  for (VARIANT& copy : copies) VariantClear(&copy);

  message.reset();
  message->vt = VT_BSTR;
  message->bstrVal = SysAllocString(std::wstring(3000, L'y').c_str());
  item->SetStandardFields(nullptr, L"", 0, 0, 0, *message.get(), nullptr);
  EXPECT_EQ(3000u, item->MessageText().size());
  EXPECT_EQ(0.0, item->DateTime());  // delivery stamps it
  EXPECT_TRUE(ArgumentValues(item.get()).empty());

  message.reset();
  message->vt = VT_I2;
  message->iVal = 1001;
  item->SetStandardFields(nullptr, L"", 0, 0, 0, *message.get(), nullptr);
  EXPECT_EQ(1001, item->MessageId());
  EXPECT_EQ(L"", item->MessageText());
  // Neither text nor number: no message.
  message.reset();
  message->vt = VT_NULL;
  item->SetStandardFields(nullptr, L"", 0, 0, 0, *message.get(), nullptr);
  EXPECT_EQ(-1, item->MessageId());
  EXPECT_EQ(L"", item->MessageText());
}

TEST_F(ItemRecordTest, CopyFromCopiesTheRecordButNotTheDeliveryState) {
  ComPtr<CTAVDiagnosticLogItem> source = NewItem();
  source->ApplySchema(L"<ElementType name=\"batch\" dt:type=\"int\"/>");
  Put(source.get(), L"batch", Var(17));
  Put(source.get(), L"location", Var(L"Hall 3"));
  Put(source.get(), L"provider", Var(L"Pump"));
  Put(source.get(), L"msgtext", Var(1001));
  Put(source.get(), L"userdescription", Var(L"note"));
  Put(source.get(), L"ce_based_message", Var(L"true"));
  unique_safearray args = VariantArray(0, {4});
  Var list;
  list.v->vt = VT_ARRAY | VT_VARIANT;
  list.v->parray = args.release();
  Put(source.get(), L"arglist", std::move(list));
  source->SetHelpContext(5);
  ComPtr<CTAVDiagnosticLogItem> child = NewItem();
  child->SetUserName(L"x");
  ASSERT_EQ(S_OK, source->SetChild(child->Inner()));
  source->SetDeliveryResult(E_PENDING);
  source->MarkInFlight();

  ComPtr<CTAVDiagnosticLogItem> copy = NewItem();
  copy->ApplySchema(L"<ElementType name=\"other\"/><ElementType name=\"more\"/>");
  copy->CopyFrom(*source.get());
  EXPECT_EQ(L"Hall 3", copy->Location());
  EXPECT_EQ(1001, copy->MessageId());
  EXPECT_EQ((std::vector<long>{4}), ArgumentValues(copy.get()));
  unique_variant v;
  ASSERT_EQ(S_OK, Get(copy.get(), L"batch", &v));
  EXPECT_EQ(17, v->lVal);
  ASSERT_EQ(S_OK, Get(copy.get(), L"userdescription", &v));
  EXPECT_EQ(L"note", Text(v));
  ASSERT_EQ(S_OK, Get(copy.get(), L"ce_based_message", &v));
  EXPECT_EQ(VARIANT_TRUE, v->boolVal);
  ULONG count = 0;
  copy->ExtendedParameterCount(&count);
  EXPECT_EQ(1u, count);
  DWORD context = 0;
  copy->GetHelpContext(&context);
  EXPECT_EQ(5u, context);
  EXPECT_TRUE(copy->HasChild());
  EXPECT_FALSE(copy->InFlight());
  EXPECT_EQ(S_OK, copy->DeliveryResult());

  // The copy's values are its own.
  Put(copy.get(), L"batch", Var(18));
  ASSERT_EQ(S_OK, Get(source.get(), L"batch", &v));
  EXPECT_EQ(17, v->lVal);
}

TEST_F(ItemRecordTest, ModuleLockFollowsItemsAndInFlightCopies) {
  const LONG start = ModuleLockCount();
  {
    ComPtr<CTAVDiagnosticLogItem> item = NewItem();
    EXPECT_EQ(start + 1, ModuleLockCount());
    item->MarkInFlight();
    EXPECT_TRUE(item->InFlight());
    EXPECT_EQ(start, ModuleLockCount());
    item->MarkInFlight();  // once only
    EXPECT_EQ(start, ModuleLockCount());
  }
  EXPECT_EQ(start, ModuleLockCount());
  {
    ComPtr<CTAVDiagnosticLogItem> item = NewItem();
    ComPtr<IUnknown> child;
    item->SetChild(NewItem()->Inner());
    item->GetChild(child.put());
    EXPECT_EQ(start + 2, ModuleLockCount());
  }
  EXPECT_EQ(start, ModuleLockCount());
}

TEST_F(ItemRecordTest, ConcurrentWritersAndSaversSeeConsistentItems) {
  ComPtr<CTAVDiagnosticLogItem> item = NewItem();
  Put(item.get(), L"provider", Var(L"Pump"));
  std::vector<std::thread> threads;
  LONG failures = 0;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      for (int i = 0; i < 300; ++i) {
        if (t % 2 == 0) {
          Put(item.get(), L"msgtext", Var(i % 3 ? static_cast<long>(i) : 0));
          Put(item.get(), L"location", Var(std::wstring(i % 50, L'a').c_str()));
          continue;
        }
        ComPtr<IStream> stream;
        CreateStreamOnHGlobal(nullptr, TRUE, stream.put());
        ULARGE_INTEGER size = {};
        if (item->Save(stream.get(), FALSE) != S_OK) InterlockedIncrement(&failures);
        // What one save wrote must load back whole.
        LARGE_INTEGER zero = {};
        stream->Seek(zero, STREAM_SEEK_SET, nullptr);
        ComPtr<CTAVDiagnosticLogItem> copy = NewItem();
        if (copy->Load(stream.get()) != S_OK || copy->GetSizeMax(&size) != S_OK) InterlockedIncrement(&failures);
        unique_bstr description;
        if (item->GetDescription(description.put()) != S_OK) InterlockedIncrement(&failures);
      }
      CoUninitialize();
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, failures);
}

}  // namespace
}  // namespace hv
