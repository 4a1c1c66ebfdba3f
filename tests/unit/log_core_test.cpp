// The log object: binding, item building through both interfaces, the
// insertion-argument checks and the operations that are not provided.
#include <string>

#include <gtest/gtest.h>

#include "common/ErrorInfo.h"
#include "item/CTAVDiagnosticLogItem.h"
#include "log/CTAVDiagnosticLog.h"
#include "module/ModuleState.h"
#include "support/TestSupport.h"

namespace hv {
namespace {

using test::ComTest;
using test::Narrow;

unique_bstr Bstr(const std::wstring& text) {
  return unique_bstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}

ComPtr<CTAVDiagnosticLog> NewLog(const wchar_t* location, const wchar_t* provider) {
  ComPtr<CTAVDiagnosticLog> log = MakeObject<CTAVDiagnosticLog>();
  if (!log) return log;
  unique_bstr l(location ? SysAllocString(location) : nullptr);
  unique_bstr p(provider ? SysAllocString(provider) : nullptr);
  EXPECT_EQ(S_OK, log->Init(l.get(), p.get()));
  return log;
}

std::wstring ComputerName() {
  wchar_t name[16] = {};
  DWORD chars = 16;
  EXPECT_TRUE(GetComputerNameW(name, &chars));
  return name;
}

// A parameter of an item as text (VariantChangeType to VT_BSTR).
std::wstring ParamText(ITAVDiagnosticLogItem* item, const wchar_t* name) {
  unique_variant value;
  unique_bstr n(SysAllocString(name));
  EXPECT_EQ(S_OK, item->GetParam(n.get(), value.get())) << Narrow(name);
  unique_variant text;
  if (FAILED(VariantChangeType(text.get(), value.get(), 0, VT_BSTR))) return L"<no text>";
  return V_BSTR(text.get()) ? V_BSTR(text.get()) : L"";
}

long ParamLong(ITAVDiagnosticLogItem* item, const wchar_t* name) {
  unique_variant value;
  unique_bstr n(SysAllocString(name));
  EXPECT_EQ(S_OK, item->GetParam(n.get(), value.get())) << Narrow(name);
  unique_variant number;
  EXPECT_EQ(S_OK, VariantChangeType(number.get(), value.get(), 0, VT_I4)) << Narrow(name);
  return V_I4(number.get());
}

VARIANT TextVariant(BSTR text) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = text;
  return v;
}

// BuildItemEx with the fields the tests vary; the rest neutral.
HRESULT BuildEx(CTAVDiagnosticLog* log, const VARIANT& message, SAFEARRAY** args, ITAVDiagnosticLogItemEx** item,
                BSTR location = nullptr, BSTR provider = nullptr, DATE* date = nullptr,
                TAVDiagSeverity severity = TAVDiagSeverity_Info) {
  return log->BuildItemEx(date, nullptr, severity, TAVDiagAudience_Eng, 3, message, args, location, provider, item);
}

ComPtr<CTAVDiagnosticLogItem> Own(IUnknown* item) { return CTAVDiagnosticLogItem::FromInterface(item); }

class LogCore : public ComTest {};

TEST_F(LogCore, InitBindsLocationAndProvider) {
  // In a console session the session has no client name: the computer name
  // is the location.
  const std::wstring computer = ComputerName();
  ASSERT_FALSE(computer.empty());
  ComPtr<CTAVDiagnosticLog> log = NewLog(L"", L"Pump");
  ASSERT_TRUE(log);
  EXPECT_EQ(computer, log->Location());
  EXPECT_EQ(L"Pump", log->Provider());

  log = NewLog(nullptr, nullptr);
  EXPECT_EQ(computer, log->Location());
  EXPECT_EQ(L"", log->Provider());

  // A given location is kept exactly, and a second Init re-binds the log.
  EXPECT_EQ(S_OK, log->Init(Bstr(L"Line 4 \\ Station").get(), Bstr(L"Dosing").get()));
  EXPECT_EQ(L"Line 4 \\ Station", log->Location());
  EXPECT_EQ(L"Dosing", log->Provider());

  // Items take the log's binding.
  ComPtr<ITAVDiagnosticLogItem> item;
  ASSERT_EQ(S_OK, log->BuildItem(nullptr, nullptr, TAVDiagnosticKind_Info, TAVDiagnosticType_User, 0,
                                 Bstr(L"x").get(), item.put()));
  EXPECT_EQ(L"Line 4 \\ Station", ParamText(item.get(), L"location"));
  EXPECT_EQ(L"Dosing", ParamText(item.get(), L"provider"));
}

TEST_F(LogCore, AnswersItsInterfacesOnly) {
  ComPtr<CTAVDiagnosticLog> log = NewLog(L"here", L"p");
  ComPtr<IUnknown> unknown;
  ASSERT_EQ(S_OK, log->QueryInterface(IID_IUnknown, unknown.put_void()));
  for (const IID* iid : {&IID_IDispatch, &IID_ITAVDiagnosticLog, &IID_ITAVDiagnosticLogEx}) {
    ComPtr<IUnknown> other;
    EXPECT_EQ(S_OK, unknown->QueryInterface(*iid, other.put_void()));
    ComPtr<IUnknown> identity;
    ASSERT_EQ(S_OK, other->QueryInterface(IID_IUnknown, identity.put_void()));
    EXPECT_EQ(unknown.get(), identity.get());
  }
  ComPtr<IUnknown> none;
  EXPECT_EQ(E_NOINTERFACE, unknown->QueryInterface(IID_ISupportErrorInfo, none.put_void()));
  EXPECT_EQ(nullptr, none.get());
  EXPECT_TRUE(CTAVDiagnosticLog::FromInterface(unknown.get()));
  // An item is not a log.
  ComPtr<CTAVDiagnosticLogItem> item = MakeObject<CTAVDiagnosticLogItem>();
  EXPECT_FALSE(CTAVDiagnosticLog::FromInterface(static_cast<ITAVDiagnosticLogItemEx*>(item.get())));
}

TEST_F(LogCore, OlderInterfaceMapsKindAndType) {
  ComPtr<CTAVDiagnosticLog> log = NewLog(L"here", L"p");
  struct Case {
    long kind;
    long type;
    long severity;
    long audience;
  };
  const Case cases[] = {
      {0, TAVDiagnosticType_User, TAVDiagSeverity_Info, TAVDiagAudience_VELTRA},
      {TAVDiagnosticKind_Error, TAVDiagnosticType_Debug, TAVDiagSeverity_Error, TAVDiagAudience_Dev},
      {TAVDiagnosticKind_Warning, TAVDiagnosticType_Trace, TAVDiagSeverity_Warning, TAVDiagAudience_Dev},
      {TAVDiagnosticKind_Audit, 0, TAVDiagSeverity_Audit, TAVDiagAudience_Dev},
      {TAVDiagnosticKind_Info, 7, TAVDiagSeverity_Info, TAVDiagAudience_Dev},
      // Values outside the enumeration pass through unchanged.
      {12, TAVDiagnosticType_User, 12, TAVDiagAudience_VELTRA},
  };
  DATE date = 45000.5;
  for (const Case& c : cases) {
    ComPtr<ITAVDiagnosticLogItem> item;
    ASSERT_EQ(S_OK, log->BuildItem(&date, Bstr(L"ann").get(), static_cast<TAVDiagnosticKind>(c.kind),
                                   static_cast<TAVDiagnosticType>(c.type), 5, Bstr(L"Valve open").get(),
                                   item.put()));
    EXPECT_EQ(c.severity, ParamLong(item.get(), L"severity")) << "kind " << c.kind;
    EXPECT_EQ(c.audience, ParamLong(item.get(), L"audience")) << "type " << c.type;
    EXPECT_EQ(5, ParamLong(item.get(), L"verbosity"));
    EXPECT_EQ(L"ann", ParamText(item.get(), L"username"));
    EXPECT_EQ(L"Valve open", ParamText(item.get(), L"msgtext"));
    ComPtr<CTAVDiagnosticLogItem> own = Own(item.get());
    ASSERT_TRUE(own);
    EXPECT_EQ(date, own->DateTime());
    EXPECT_EQ(-1, own->MessageId());
    // The pointer handed out serves the extended interface as well.
    ComPtr<ITAVDiagnosticLogItemEx> ex;
    EXPECT_EQ(S_OK, item->QueryInterface(IID_ITAVDiagnosticLogItemEx, ex.put_void()));
  }

  // A null text is an empty literal message.
  ComPtr<ITAVDiagnosticLogItem> item;
  ASSERT_EQ(S_OK, log->BuildItem(nullptr, nullptr, TAVDiagnosticKind_Info, TAVDiagnosticType_User, 0, nullptr,
                                 item.put()));
  EXPECT_EQ(L"", Own(item.get())->MessageText());
  EXPECT_EQ(-1, Own(item.get())->MessageId());
}

TEST_F(LogCore, ResourceOperationsAreNotProvided) {
  ComPtr<CTAVDiagnosticLog> log = NewLog(L"here", L"p");
  EXPECT_EQ(E_NOTIMPL, log->SetStringResourcePathname(Bstr(L"C:\\x.dll").get()));
  EXPECT_EQ(E_NOTIMPL, log->SetStringResourceInstance(7));
  DATE date = 1.0;
  EXPECT_EQ(E_NOTIMPL, log->LogRes(&date, nullptr, TAVDiagnosticKind_Info, TAVDiagnosticType_User, 0, 1001));
  auto* sentinel = reinterpret_cast<ITAVDiagnosticLogItem*>(0x1234);
  ITAVDiagnosticLogItem* item = sentinel;
  EXPECT_EQ(E_NOTIMPL,
            log->BuildItemRes(&date, nullptr, TAVDiagnosticKind_Info, TAVDiagnosticType_User, 0, 1001, &item));
  EXPECT_EQ(sentinel, item);
}

TEST_F(LogCore, DeliveryNeedsAnItemAndAManager) {
  ComPtr<CTAVDiagnosticLog> log = NewLog(L"here", L"p");
  EXPECT_EQ(E_INVALIDARG, log->LogThisItem(nullptr));
  EXPECT_EQ(E_INVALIDARG, log->LogThisItemEx(nullptr, VARIANT_TRUE, 0));
  EXPECT_EQ(E_INVALIDARG, log->CancelLogThisItemEx(nullptr));
  // A log that was never attached builds items but cannot deliver them; the
  // caller's item is left as it was.
  DATE date = 45000.25;
  ComPtr<ITAVDiagnosticLogItem> item;
  ASSERT_EQ(S_OK, log->BuildItem(&date, nullptr, TAVDiagnosticKind_Info, TAVDiagnosticType_User, 0,
                                 Bstr(L"x").get(), item.put()));
  EXPECT_EQ(E_FAIL, log->LogThisItem(item.get()));
  EXPECT_EQ(date, Own(item.get())->DateTime());
  EXPECT_EQ(E_FAIL, log->Log(&date, nullptr, TAVDiagnosticKind_Info, TAVDiagnosticType_User, 0, Bstr(L"x").get()));
  // Cancelling an item that is not being delivered does nothing.
  ComPtr<ITAVDiagnosticLogItemEx> ex;
  ASSERT_EQ(S_OK, item->QueryInterface(IID_ITAVDiagnosticLogItemEx, ex.put_void()));
  EXPECT_EQ(S_OK, log->CancelLogThisItemEx(ex.get()));
}

TEST_F(LogCore, SchemaAppliesToItemsBuiltAfterIt) {
  ComPtr<CTAVDiagnosticLog> log = NewLog(L"here", L"p");
  VARIANT text = TextVariant(nullptr);

  ComPtr<ITAVDiagnosticLogItemEx> before;
  ASSERT_EQ(S_OK, BuildEx(log.get(), text, nullptr, before.put()));
  ULONG count = 99;
  ASSERT_EQ(S_OK, before->ExtendedParameterCount(&count));
  EXPECT_EQ(0u, count);

  ASSERT_EQ(S_OK, log->ExtendItemSchema(Bstr(L"<Schema><ElementType name=\"Batch\" dt:type=\"int\"/>"
                                             L"<ElementType name=\"Operator\" type=\"string\"/></Schema>")
                                            .get()));
  ComPtr<ITAVDiagnosticLogItemEx> first;
  ASSERT_EQ(S_OK, BuildEx(log.get(), text, nullptr, first.put()));
  ASSERT_EQ(S_OK, first->ExtendedParameterCount(&count));
  ASSERT_EQ(2u, count);
  const wchar_t* names[] = {L"batch", L"operator"};
  for (ULONG i = 0; i < 2; ++i) {
    unique_bstr name;
    unique_variant value;
    ASSERT_EQ(S_OK, first->ParameterNameAndValue(i, name.put(), value.get()));
    EXPECT_STREQ(names[i], name.get());
    EXPECT_EQ(VT_EMPTY, V_VT(value.get()));
  }
  // The declared type converts what is put.
  VARIANT number = TextVariant(SysAllocString(L"42"));
  EXPECT_EQ(S_OK, first->PutParam(Bstr(L"Batch").get(), number));
  VariantClear(&number);
  {
    unique_variant value;
    ASSERT_EQ(S_OK, first->GetParam(Bstr(L"batch").get(), value.get()));
    EXPECT_EQ(VT_I4, V_VT(value.get()));
    EXPECT_EQ(42, V_I4(value.get()));
  }

  // A second schema replaces the first for items built afterwards only.
  ASSERT_EQ(S_OK, log->ExtendItemSchema(Bstr(L"<x><element name=\"Tag\" type=\"bstr\"/></x>").get()));
  ComPtr<ITAVDiagnosticLogItemEx> second;
  ASSERT_EQ(S_OK, BuildEx(log.get(), text, nullptr, second.put()));
  ASSERT_EQ(S_OK, second->ExtendedParameterCount(&count));
  EXPECT_EQ(1u, count);
  ASSERT_EQ(S_OK, first->ExtendedParameterCount(&count));
  EXPECT_EQ(2u, count);

  // An empty schema removes the extended fields.
  ASSERT_EQ(S_OK, log->ExtendItemSchema(nullptr));
  ComPtr<ITAVDiagnosticLogItemEx> third;
  ASSERT_EQ(S_OK, BuildEx(log.get(), text, nullptr, third.put()));
  ASSERT_EQ(S_OK, third->ExtendedParameterCount(&count));
  EXPECT_EQ(0u, count);
}

TEST_F(LogCore, InsertionArgumentArraysAreChecked) {
  ComPtr<CTAVDiagnosticLog> log = NewLog(L"here", L"p");
  VARIANT text = TextVariant(nullptr);
  auto* sentinel = reinterpret_cast<ITAVDiagnosticLogItemEx*>(0x5678);

  SAFEARRAYBOUND twoDims[2] = {{2, 0}, {2, 0}};
  unique_safearray square(SafeArrayCreate(VT_VARIANT, 2, twoDims));
  SAFEARRAY* array = square.get();
  ITAVDiagnosticLogItemEx* item = sentinel;
  SetErrorInfo(0, nullptr);
  EXPECT_EQ(E_INVALIDARG, BuildEx(log.get(), text, &array, &item));
  EXPECT_EQ(L"The insertion argument array must be one dimensional", test::TakeErrorDescription());
  EXPECT_EQ(sentinel, item);

  unique_safearray strings(SafeArrayCreateVector(VT_BSTR, 0, 2));
  array = strings.get();
  EXPECT_EQ(E_INVALIDARG, BuildEx(log.get(), text, &array, &item));
  EXPECT_EQ(L"The insertion argument elements must be variants", test::TakeErrorDescription());
  EXPECT_EQ(sentinel, item);

  // A null array, or no array pointer at all, means no arguments.
  array = nullptr;
  ComPtr<ITAVDiagnosticLogItemEx> built;
  ASSERT_EQ(S_OK, BuildEx(log.get(), text, &array, built.put()));
  EXPECT_TRUE(Own(built.get())->InsertionArgs().empty());

  // Element k of the item is array index lbound + k.
  unique_safearray args(SafeArrayCreateVectorEx(VT_VARIANT, 1, 3, nullptr));
  ASSERT_TRUE(args);
  for (LONG i = 1; i <= 3; ++i) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_I4;
    V_I4(&v) = 100 + i;
    ASSERT_EQ(S_OK, SafeArrayPutElement(args.get(), &i, &v));
  }
  array = args.get();
  ASSERT_EQ(S_OK, BuildEx(log.get(), text, &array, built.put()));
  std::vector<VARIANT> copied = Own(built.get())->InsertionArgs();
  ASSERT_EQ(3u, copied.size());
  for (size_t k = 0; k < copied.size(); ++k) {
    EXPECT_EQ(VT_I4, V_VT(&copied[k]));
    EXPECT_EQ(static_cast<LONG>(101 + k), V_I4(&copied[k]));
    VariantClear(&copied[k]);
  }
  // The caller's array is only read.
  EXPECT_EQ(args.get(), array);
}

TEST_F(LogCore, MessageFieldsOfBuildItemEx) {
  ComPtr<CTAVDiagnosticLog> log = NewLog(L"Plant7", L"Mixer");
  ComPtr<ITAVDiagnosticLogItemEx> item;

  // A text is cut to 3000 characters.
  for (size_t length : {3000u, 3001u, 3500u}) {
    std::wstring long_text(length, L'a');
    long_text[2999] = L'z';
    unique_bstr bstr = Bstr(long_text);
    ASSERT_EQ(S_OK, BuildEx(log.get(), TextVariant(bstr.get()), nullptr, item.put()));
    const std::wstring stored = Own(item.get())->MessageText();
    EXPECT_EQ(3000u, stored.size()) << length;
    EXPECT_EQ(L'z', stored.back());
    EXPECT_EQ(-1, Own(item.get())->MessageId());
  }

  // Anything but text is a resource id.
  VARIANT id;
  VariantInit(&id);
  V_VT(&id) = VT_I4;
  V_I4(&id) = 1001;
  ASSERT_EQ(S_OK, BuildEx(log.get(), id, nullptr, item.put()));
  EXPECT_EQ(1001, Own(item.get())->MessageId());
  EXPECT_EQ(L"", Own(item.get())->MessageText());
  VARIANT empty;
  VariantInit(&empty);
  ASSERT_EQ(S_OK, BuildEx(log.get(), empty, nullptr, item.put()));
  EXPECT_EQ(0, Own(item.get())->MessageId());

  // No date means "not set"; a given date is kept.
  ASSERT_EQ(S_OK, BuildEx(log.get(), empty, nullptr, item.put()));
  EXPECT_EQ(0.0, Own(item.get())->DateTime());
  DATE date = 45123.75;
  ASSERT_EQ(S_OK, BuildEx(log.get(), empty, nullptr, item.put(), nullptr, nullptr, &date));
  EXPECT_EQ(date, Own(item.get())->DateTime());

  // Location and provider: an empty override keeps the log's, a given one
  // applies to this item only.
  unique_bstr none(SysAllocString(L""));
  ASSERT_EQ(S_OK, BuildEx(log.get(), empty, nullptr, item.put(), none.get(), none.get()));
  EXPECT_EQ(L"Plant7", Own(item.get())->Location());
  EXPECT_EQ(L"Mixer", Own(item.get())->Provider());
  ASSERT_EQ(S_OK, BuildEx(log.get(), empty, nullptr, item.put(), Bstr(L"Plant9").get(), Bstr(L"Tank").get()));
  EXPECT_EQ(L"Plant9", Own(item.get())->Location());
  EXPECT_EQ(L"Tank", Own(item.get())->Provider());
  EXPECT_EQ(L"Plant7", log->Location());
  EXPECT_EQ(L"Mixer", log->Provider());

  EXPECT_EQ(E_POINTER, BuildEx(log.get(), empty, nullptr, nullptr));
}

TEST_F(LogCore, TroubleShootSwitchChecksMessagesAsTheyAreBuilt) {
  ComPtr<CTAVDiagnosticLog> log = NewLog(L"here", L"p");
  unique_bstr text = Bstr(L"Pressure %1!d! at %2!d! exceeds %3!d!");
  unique_safearray args(SafeArrayCreateVector(VT_VARIANT, 0, 2));
  for (LONG i = 0; i < 2; ++i) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_I4;
    V_I4(&v) = i;
    ASSERT_EQ(S_OK, SafeArrayPutElement(args.get(), &i, &v));
  }
  SAFEARRAY* array = args.get();

  SetTroubleShootModeForTesting(false);
  ComPtr<ITAVDiagnosticLogItemEx> item;
  EXPECT_EQ(S_OK, BuildEx(log.get(), TextVariant(text.get()), &array, item.put()));

  SetTroubleShootModeForTesting(true);
  auto* sentinel = reinterpret_cast<ITAVDiagnosticLogItemEx*>(0x9abc);
  ITAVDiagnosticLogItemEx* checked = sentinel;
  SetErrorInfo(0, nullptr);
  const HRESULT hr = BuildEx(log.get(), TextVariant(text.get()), &array, &checked);
  const std::wstring error = test::TakeErrorDescription();
  // A message whose places all have arguments passes the check.
  unique_bstr fitting = Bstr(L"Pressure %1!d! at %2!d!");
  ComPtr<ITAVDiagnosticLogItemEx> fine;
  const HRESULT fittingHr = BuildEx(log.get(), TextVariant(fitting.get()), &array, fine.put());
  SetTroubleShootModeForTesting(false);

  EXPECT_EQ(E_INVALIDARG, hr);
  EXPECT_EQ(sentinel, checked);
  // The check's own explanation reaches the caller.
  EXPECT_EQ(L"The message required more insertion arguments", error);
  EXPECT_EQ(S_OK, fittingHr);
}

TEST_F(LogCore, FirstAuditItemMarksThePolicyLookup) {
  ComPtr<CTAVDiagnosticLog> log = NewLog(L"PLANT7", L"p");
  VARIANT empty;
  VariantInit(&empty);
  ComPtr<ITAVDiagnosticLogItemEx> item;
  ASSERT_EQ(S_OK, BuildEx(log.get(), empty, nullptr, item.put()));
  EXPECT_FALSE(log->PolicyLookupDone());
  ASSERT_EQ(S_OK, BuildEx(log.get(), empty, nullptr, item.put(), nullptr, nullptr, nullptr,
                          static_cast<TAVDiagSeverity>(TAVDiagSeverity_Audit | TAVDiagSeverity_Error)));
  EXPECT_TRUE(log->PolicyLookupDone());
  // A machine name is not subject to a system audit policy.
  EXPECT_TRUE(log->AuditingEnabled());

  // Init starts over: auditing on, the policy not asked for.
  log->SetAuditingEnabled(false);
  EXPECT_EQ(S_OK, log->Init(Bstr(L"PLANT8").get(), nullptr));
  EXPECT_FALSE(log->PolicyLookupDone());
  EXPECT_TRUE(log->AuditingEnabled());
}

}  // namespace
}  // namespace hv
