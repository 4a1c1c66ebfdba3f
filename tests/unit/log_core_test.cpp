// The log object: binding, item building through both interfaces, the
// insertion-argument checks and the operations that are not provided.
#include <string>

#include <gtest/gtest.h>

#include "item/CTAVDiagnosticLogItem.h"
#include "log/CTAVDiagnosticLog.h"
#include "module/ModuleState.h"
#include "support/TestSupport.h"

namespace hv {
namespace {

unique_bstr Bstr(const std::wstring& text) {
  return unique_bstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}
ComPtr<CTAVDiagnosticLogItem> Own(IUnknown* item) { return CTAVDiagnosticLogItem::FromInterface(item); }

std::wstring ComputerName() {
  wchar_t name[16] = {};
  DWORD chars = 16;
  GetComputerNameW(name, &chars);
  return name;
}

VARIANT Var(VARTYPE type, LONG number = 0, BSTR text = nullptr) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = type;
  if (type == VT_BSTR) V_BSTR(&v) = text;
  if (type == VT_I4) V_I4(&v) = number;
  return v;
}

// A vector of VT_I4 variants first, first + 1, ... from index lbound.
unique_safearray Numbers(LONG lbound, LONG count, LONG first) {
  unique_safearray args(SafeArrayCreateVectorEx(VT_VARIANT, lbound, count, nullptr));
  for (LONG i = 0; i < count; ++i) {
    LONG index = lbound + i;
    VARIANT v = Var(VT_I4, first + i);
    SafeArrayPutElement(args.get(), &index, &v);
  }
  return args;
}

class LogCore : public test::ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    log_ = MakeObject<CTAVDiagnosticLog>();
    ASSERT_EQ(S_OK, log_->Init(Bstr(L"Plant7").get(), Bstr(L"Mixer").get()));
  }
  // BuildItemEx with the fields the tests vary; the rest neutral.
  HRESULT Build(const VARIANT& message, SAFEARRAY** args, ITAVDiagnosticLogItemEx** item, BSTR location = nullptr,
                BSTR provider = nullptr, DATE* date = nullptr, long severity = TAVDiagSeverity_Info) {
    return log_->BuildItemEx(date, nullptr, static_cast<TAVDiagSeverity>(severity), TAVDiagAudience_Eng, 3, message,
                             args, location, provider, item);
  }
  ULONG ExtendedCount() {
    ComPtr<ITAVDiagnosticLogItemEx> item;
    ULONG count = 99;
    EXPECT_EQ(S_OK, Build(Var(VT_EMPTY), nullptr, item.put()));
    EXPECT_EQ(S_OK, item->ExtendedParameterCount(&count));
    return count;
  }

  ComPtr<CTAVDiagnosticLog> log_;
  ITAVDiagnosticLogItemEx* const sentinel_ = reinterpret_cast<ITAVDiagnosticLogItemEx*>(0x5678);
};

TEST_F(LogCore, InitBindsLocationAndProviderAndAnswersItsInterfaces) {
  // An empty location is the computer name in a console session (a null one
  // is checked through the manager); Init re-binds the log.
  ASSERT_EQ(S_OK, log_->Init(Bstr(L"").get(), nullptr));
  EXPECT_EQ(ComputerName(), log_->Location());
  EXPECT_EQ(L"", log_->Provider());
  ASSERT_EQ(S_OK, log_->Init(Bstr(L"Line 4 \\ Station").get(), Bstr(L"Dosing").get()));
  ComPtr<ITAVDiagnosticLogItem> item;
  ASSERT_EQ(S_OK, log_->BuildItem(nullptr, nullptr, TAVDiagnosticKind_Info, TAVDiagnosticType_User, 0,
                                  Bstr(L"x").get(), item.put()));
  EXPECT_EQ(L"Line 4 \\ Station", Own(item.get())->Location());
  EXPECT_EQ(L"Dosing", Own(item.get())->Provider());

  ComPtr<IUnknown> unknown;
  ASSERT_EQ(S_OK, log_->QueryInterface(IID_IUnknown, unknown.put_void()));
  for (const IID* iid : {&IID_IDispatch, &IID_ITAVDiagnosticLog, &IID_ITAVDiagnosticLogEx}) {
    ComPtr<IUnknown> other, identity;
    ASSERT_EQ(S_OK, unknown->QueryInterface(*iid, other.put_void()));
    ASSERT_EQ(S_OK, other->QueryInterface(IID_IUnknown, identity.put_void()));
    EXPECT_EQ(unknown.get(), identity.get());
  }
  ComPtr<IUnknown> none;
  EXPECT_EQ(E_NOINTERFACE, unknown->QueryInterface(IID_ISupportErrorInfo, none.put_void()));
  EXPECT_TRUE(CTAVDiagnosticLog::FromInterface(unknown.get()));
  EXPECT_FALSE(CTAVDiagnosticLog::FromInterface(item.get())) << "an item is not a log";
}

TEST_F(LogCore, OlderInterfaceMapsKindAndType) {
  const struct {
    long kind, type, severity, audience;
  } cases[] = {
      {0, TAVDiagnosticType_User, TAVDiagSeverity_Info, TAVDiagAudience_VELTRA},
      {TAVDiagnosticKind_Error, TAVDiagnosticType_Debug, TAVDiagSeverity_Error, TAVDiagAudience_Dev},
      {TAVDiagnosticKind_Warning, TAVDiagnosticType_Trace, TAVDiagSeverity_Warning, TAVDiagAudience_Dev},
      {TAVDiagnosticKind_Audit, 0, TAVDiagSeverity_Audit, TAVDiagAudience_Dev},
      {TAVDiagnosticKind_Info, 7, TAVDiagSeverity_Info, TAVDiagAudience_Dev},
      {12, TAVDiagnosticType_User, 12, TAVDiagAudience_VELTRA},  // outside the enumeration: unchanged
  };
  DATE date = 45000.5;
  for (const auto& c : cases) {
    ComPtr<ITAVDiagnosticLogItem> item;
    ASSERT_EQ(S_OK, log_->BuildItem(&date, Bstr(L"ann").get(), static_cast<TAVDiagnosticKind>(c.kind),
                                    static_cast<TAVDiagnosticType>(c.type), 5, Bstr(L"Valve open").get(),
                                    item.put()));
    ComPtr<CTAVDiagnosticLogItem> own = Own(item.get());
    ASSERT_TRUE(own);
    EXPECT_EQ(c.severity, own->Severity()) << "kind " << c.kind;
    EXPECT_EQ(c.audience, own->Audience()) << "type " << c.type;
    unique_variant verbosity;
    ASSERT_EQ(S_OK, item->GetParam(Bstr(L"verbosity").get(), verbosity.get()));
    EXPECT_EQ(5, V_I4(verbosity.get()));
    EXPECT_EQ(L"ann", own->UserName());
    EXPECT_EQ(L"Valve open", own->MessageText());
    EXPECT_EQ(date, own->DateTime());
    EXPECT_EQ(-1, own->MessageId());
  }
  // A null text is an empty literal message.
  ComPtr<ITAVDiagnosticLogItem> item;
  ASSERT_EQ(S_OK, log_->BuildItem(nullptr, nullptr, TAVDiagnosticKind_Info, TAVDiagnosticType_User, 0, nullptr,
                                  item.put()));
  EXPECT_EQ(L"", Own(item.get())->MessageText());
  EXPECT_EQ(-1, Own(item.get())->MessageId());
}

TEST_F(LogCore, UnprovidedOperationsAndDeliveryWithoutAManager) {
  DATE date = 45000.25;
  auto* sentinel = reinterpret_cast<ITAVDiagnosticLogItem*>(0x1234);
  ITAVDiagnosticLogItem* untouched = sentinel;
  EXPECT_EQ(E_NOTIMPL, log_->SetStringResourcePathname(Bstr(L"C:\\x.dll").get()));
  EXPECT_EQ(E_NOTIMPL, log_->SetStringResourceInstance(7));
  EXPECT_EQ(E_NOTIMPL, log_->LogRes(&date, nullptr, TAVDiagnosticKind_Info, TAVDiagnosticType_User, 0, 1001));
  EXPECT_EQ(E_NOTIMPL, log_->BuildItemRes(&date, nullptr, TAVDiagnosticKind_Info, TAVDiagnosticType_User, 0, 1001,
                                          &untouched));
  EXPECT_EQ(sentinel, untouched);

  EXPECT_EQ(E_INVALIDARG, log_->LogThisItem(nullptr));
  EXPECT_EQ(E_INVALIDARG, log_->LogThisItemEx(nullptr, VARIANT_TRUE, 0));
  EXPECT_EQ(E_INVALIDARG, log_->CancelLogThisItemEx(nullptr));
  // A log never attached to a manager builds items but cannot deliver them;
  // the item is left as it was, and cancelling it does nothing.
  ComPtr<ITAVDiagnosticLogItemEx> item;
  ASSERT_EQ(S_OK, Build(Var(VT_EMPTY), nullptr, item.put(), nullptr, nullptr, &date));
  EXPECT_EQ(E_FAIL, log_->LogThisItem(item.get()));
  EXPECT_EQ(date, Own(item.get())->DateTime());
  EXPECT_EQ(E_FAIL, log_->Log(&date, nullptr, TAVDiagnosticKind_Info, TAVDiagnosticType_User, 0, Bstr(L"x").get()));
  EXPECT_EQ(S_OK, log_->CancelLogThisItemEx(item.get()));
}

TEST_F(LogCore, SchemaAppliesToItemsBuiltAfterIt) {
  EXPECT_EQ(0u, ExtendedCount());
  ASSERT_EQ(S_OK, log_->ExtendItemSchema(Bstr(L"<Schema><ElementType name=\"Batch\" dt:type=\"int\"/>"
                                              L"<ElementType name=\"Operator\" type=\"string\"/></Schema>")
                                             .get()));
  ComPtr<ITAVDiagnosticLogItemEx> first;
  ASSERT_EQ(S_OK, Build(Var(VT_EMPTY), nullptr, first.put()));
  const wchar_t* names[] = {L"batch", L"operator"};
  for (ULONG i = 0; i < 2; ++i) {
    unique_bstr name;
    unique_variant value;
    ASSERT_EQ(S_OK, first->ParameterNameAndValue(i, name.put(), value.get()));
    EXPECT_STREQ(names[i], name.get());
    EXPECT_EQ(VT_EMPTY, V_VT(value.get()));
  }
  // The declared type converts what is put.
  unique_bstr number = Bstr(L"42");
  EXPECT_EQ(S_OK, first->PutParam(Bstr(L"Batch").get(), Var(VT_BSTR, 0, number.get())));
  unique_variant value;
  ASSERT_EQ(S_OK, first->GetParam(Bstr(L"batch").get(), value.get()));
  EXPECT_EQ(VT_I4, V_VT(value.get()));
  EXPECT_EQ(42, V_I4(value.get()));

  // A second schema replaces the first for items built afterwards only; an
  // empty one removes the extended fields.
  ASSERT_EQ(S_OK, log_->ExtendItemSchema(Bstr(L"<x><element name=\"Tag\" type=\"bstr\"/></x>").get()));
  EXPECT_EQ(1u, ExtendedCount());
  ULONG count = 0;
  ASSERT_EQ(S_OK, first->ExtendedParameterCount(&count));
  EXPECT_EQ(2u, count);
  ASSERT_EQ(S_OK, log_->ExtendItemSchema(nullptr));
  EXPECT_EQ(0u, ExtendedCount());
}

TEST_F(LogCore, InsertionArgumentArraysAreChecked) {
  SAFEARRAYBOUND twoDims[2] = {{2, 0}, {2, 0}};
  unique_safearray square(SafeArrayCreate(VT_VARIANT, 2, twoDims));
  unique_safearray strings(SafeArrayCreateVector(VT_BSTR, 0, 2));
  const struct {
    SAFEARRAY* array;
    const wchar_t* error;
  } refused[] = {{square.get(), L"The insertion argument array must be one dimensional"},
                 {strings.get(), L"The insertion argument elements must be variants"}};
  for (const auto& r : refused) {
    SAFEARRAY* array = r.array;
    ITAVDiagnosticLogItemEx* item = sentinel_;
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(E_INVALIDARG, Build(Var(VT_EMPTY), &array, &item));
    EXPECT_EQ(r.error, test::TakeErrorDescription());
    EXPECT_EQ(sentinel_, item);
  }

  // A null array means no arguments.
  SAFEARRAY* array = nullptr;
  ComPtr<ITAVDiagnosticLogItemEx> built;
  ASSERT_EQ(S_OK, Build(Var(VT_EMPTY), &array, built.put()));
  EXPECT_TRUE(Own(built.get())->InsertionArgs().empty());

  // Element k of the item is array index lbound + k.
  unique_safearray args = Numbers(1, 3, 101);
  array = args.get();
  ASSERT_EQ(S_OK, Build(Var(VT_EMPTY), &array, built.put()));
  std::vector<VARIANT> copied = Own(built.get())->InsertionArgs();
  ASSERT_EQ(3u, copied.size());
  for (size_t k = 0; k < copied.size(); ++k) {
    EXPECT_EQ(VT_I4, V_VT(&copied[k]));
    EXPECT_EQ(static_cast<LONG>(101 + k), V_I4(&copied[k]));
    VariantClear(&copied[k]);
  }
  EXPECT_EQ(args.get(), array);
}

TEST_F(LogCore, MessageFieldsOfBuildItemEx) {
  ComPtr<ITAVDiagnosticLogItemEx> item;
  // A text is cut to 3000 characters.
  for (size_t length : {3000u, 3001u}) {
    std::wstring text(length, L'a');
    text[2999] = L'z';
    unique_bstr bstr = Bstr(text);
    ASSERT_EQ(S_OK, Build(Var(VT_BSTR, 0, bstr.get()), nullptr, item.put()));
    EXPECT_EQ(text.substr(0, 3000), Own(item.get())->MessageText()) << length;
    EXPECT_EQ(-1, Own(item.get())->MessageId());
  }
  // Anything but text is a resource id; no date means "not set".
  ASSERT_EQ(S_OK, Build(Var(VT_I4, 1001), nullptr, item.put()));
  EXPECT_EQ(1001, Own(item.get())->MessageId());
  EXPECT_EQ(L"", Own(item.get())->MessageText());
  EXPECT_EQ(0.0, Own(item.get())->DateTime());
  DATE date = 45123.75;
  ASSERT_EQ(S_OK, Build(Var(VT_EMPTY), nullptr, item.put(), nullptr, nullptr, &date));
  EXPECT_EQ(0, Own(item.get())->MessageId());
  EXPECT_EQ(date, Own(item.get())->DateTime());

  // An empty location or provider keeps the log's; a given one applies to
  // this item only.
  const struct {
    const wchar_t *location, *provider, *expectedLocation, *expectedProvider;
  } cases[] = {{L"", L"", L"Plant7", L"Mixer"}, {L"Plant9", L"Tank", L"Plant9", L"Tank"}};
  for (const auto& c : cases) {
    ASSERT_EQ(S_OK, Build(Var(VT_EMPTY), nullptr, item.put(), Bstr(c.location).get(), Bstr(c.provider).get()));
    EXPECT_EQ(c.expectedLocation, Own(item.get())->Location());
    EXPECT_EQ(c.expectedProvider, Own(item.get())->Provider());
  }
  EXPECT_EQ(L"Plant7", log_->Location());
  EXPECT_EQ(E_POINTER, Build(Var(VT_EMPTY), nullptr, nullptr));
}

TEST_F(LogCore, TroubleShootSwitchChecksMessagesAsTheyAreBuilt) {
  unique_safearray args = Numbers(0, 2, 0);
  SAFEARRAY* array = args.get();
  unique_bstr tooMany = Bstr(L"Pressure %1!d! at %2!d! exceeds %3!d!");
  unique_bstr fitting = Bstr(L"Pressure %1!d! at %2!d!");
  ComPtr<ITAVDiagnosticLogItemEx> item;
  EXPECT_EQ(S_OK, Build(Var(VT_BSTR, 0, tooMany.get()), &array, item.put())) << "switch off: not checked";

  SetTroubleShootModeForTesting(true);
  ITAVDiagnosticLogItemEx* checked = sentinel_;
  SetErrorInfo(0, nullptr);
  const HRESULT hr = Build(Var(VT_BSTR, 0, tooMany.get()), &array, &checked);
  const std::wstring error = test::TakeErrorDescription();
  const HRESULT fittingHr = Build(Var(VT_BSTR, 0, fitting.get()), &array, item.put());
  SetTroubleShootModeForTesting(false);
  EXPECT_EQ(E_INVALIDARG, hr);
  EXPECT_EQ(sentinel_, checked);
  EXPECT_EQ(L"The message required more insertion arguments", error);
  EXPECT_EQ(S_OK, fittingHr);
}

TEST_F(LogCore, FirstAuditItemMarksThePolicyLookup) {
  ComPtr<ITAVDiagnosticLogItemEx> item;
  ASSERT_EQ(S_OK, Build(Var(VT_EMPTY), nullptr, item.put()));
  EXPECT_FALSE(log_->PolicyLookupDone());
  ASSERT_EQ(S_OK, Build(Var(VT_EMPTY), nullptr, item.put(), nullptr, nullptr, nullptr,
                        TAVDiagSeverity_Audit | TAVDiagSeverity_Error));
  EXPECT_TRUE(log_->PolicyLookupDone());
  EXPECT_TRUE(log_->AuditingEnabled()) << "a machine name is not subject to a system audit policy";
  // Init starts over: auditing on, the policy not asked for.
  log_->SetAuditingEnabled(false);
  EXPECT_EQ(S_OK, log_->Init(Bstr(L"PLANT8").get(), nullptr));
  EXPECT_FALSE(log_->PolicyLookupDone());
  EXPECT_TRUE(log_->AuditingEnabled());
}

}  // namespace
}  // namespace hv
