// The log object: binding, building items, the item schema, the process's user
// name and delivery. The Mux link is replaced by a recording one that answers
// the way the manager's sink does.
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/ModuleLock.h"
#include "item/CTAVDiagnosticLogItem.h"
#include "log/CTAVDiagnosticLog.h"
#include "log/ItemSchema.h"
#include "log/UserLookup.h"
#include "log/WaitingItems.h"
#include "mgr/CTAVDiagnosticLogMgr.h"
#include "module/ModuleState.h"
#include "support/TestSupport.h"

namespace hv {
namespace {

using test::Narrow;

unique_bstr Bstr(const std::wstring& text) {
  return unique_bstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}
ComPtr<CTAVDiagnosticLogItem> Own(IUnknown* item) { return CTAVDiagnosticLogItem::FromInterface(item); }
ComPtr<CTAVDiagnosticLogItem> ChildOf(CTAVDiagnosticLogItem* item) {
  ComPtr<IUnknown> child;
  EXPECT_EQ(S_OK, item->GetChild(child.put()));
  return Own(child.get());
}

VARIANT Var(VARTYPE type, LONG number = 0, BSTR text = nullptr) {
  VARIANT v{};
  V_VT(&v) = type;
  if (type == VT_BSTR) V_BSTR(&v) = text;
  if (type == VT_I4) V_I4(&v) = number;
  return v;
}

// A vector of VT_I4 variants first, first + 1, ... from index lbound.
unique_safearray Numbers(LONG lbound, LONG count, LONG first) {
  unique_safearray args(SafeArrayCreateVectorEx(VT_VARIANT, lbound, count, nullptr));
  for (LONG index = lbound; index < lbound + count; ++index) {
    VARIANT v = Var(VT_I4, first + index - lbound);
    SafeArrayPutElement(args.get(), &index, &v);
  }
  return args;
}

DATE NowUtc() {
  SYSTEMTIME now;
  DATE date = 0.0;
  GetSystemTime(&now);
  return SystemTimeToVariantTime(&now, &date) ? date : 0.0;
}

struct Sent {
  ComPtr<CTAVDiagnosticLogItem> copy;  // kept, as the link keeps a message
  BOOL synchronous;
  LONG id;
};

// The recording link. onSend runs inside the send, on the delivering thread.
struct FakeLink {
  std::mutex mutex;
  std::vector<Sent> sent;
  HRESULT result = S_OK;
  std::function<void(const Sent&)> onSend;
} g_link;

HRESULT RecordSend(ITAVDiagnosticLogMgrEx*, CTAVDiagnosticLog*, CTAVDiagnosticLogItem* copy, BOOL synchronous) {
  Sent sent{ComPtr<CTAVDiagnosticLogItem>(copy), synchronous, WaitingItems::IdOf(copy)};
  std::function<void(const Sent&)> onSend;
  {
    std::lock_guard<std::mutex> lock(g_link.mutex);
    g_link.sent.push_back(sent);
    onSend = g_link.onSend;
  }
  if (onSend) onSend(sent);
  return g_link.result;
}

// What the manager's sink does with an answer. False when no copy waits
// under that id.
bool Answer(LONG id, HRESULT result, const std::wstring& storedText = L"") {
  ComPtr<CTAVDiagnosticLogItem> copy = WaitingItems::Find(id);
  if (!copy) return false;
  auto lock = copy->Lock();
  copy->SetDeliveryResult(result);
  if (!storedText.empty()) copy->PutParam(Bstr(L"msgtext").get(), Var(VT_BSTR, 0, Bstr(storedText).get()));
  copy->SignalCompletion();
  return true;
}

class LogTest : public test::ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    CTAVDiagnosticLog::SetItemSenderForTesting(&RecordSend);
    SetTroubleShootModeForTesting(false);
    manager_ = MakeObject<CTAVDiagnosticLogMgr>();
    log_ = MakeObject<CTAVDiagnosticLog>();
    ASSERT_TRUE(manager_ && log_);
    ASSERT_EQ(S_OK, log_->Init(Bstr(L"PLANT7").get(), Bstr(L"Mixer").get()));
    log_->AttachLogMgr(manager_.get());
  }
  void TearDown() override {
    log_.reset();
    CTAVDiagnosticLog::SetItemSenderForTesting(nullptr);
    SetTroubleShootModeForTesting(false);
    g_link.sent.clear();
    g_link.onSend = nullptr;
    g_link.result = S_OK;
    ComTest::TearDown();
  }

  // BuildItemEx with the fields the tests vary; the rest neutral.
  HRESULT Build(const VARIANT& message, SAFEARRAY** args, ITAVDiagnosticLogItemEx** item, BSTR location = nullptr,
                BSTR provider = nullptr, DATE* date = nullptr, long severity = TAVDiagSeverity_Info,
                BSTR user = nullptr) {
    return log_->BuildItemEx(date, user, static_cast<TAVDiagSeverity>(severity), TAVDiagAudience_Dev, 3, message,
                             args, location, provider, item);
  }
  ComPtr<ITAVDiagnosticLogItemEx> Item(long severity, const wchar_t* text, DATE* date = nullptr,
                                       const wchar_t* user = nullptr) {
    ComPtr<ITAVDiagnosticLogItemEx> item;
    EXPECT_EQ(S_OK, Build(Var(VT_BSTR, 0, Bstr(text).get()), nullptr, item.put(), nullptr, nullptr, date, severity,
                          user ? Bstr(user).get() : nullptr));
    return item;
  }
  // The extended fields of the item, or of an item built now.
  ULONG ExtendedCount(ITAVDiagnosticLogItemEx* item = nullptr) {
    ULONG count = 99;
    EXPECT_EQ(S_OK, (item ? item : Item(TAVDiagSeverity_Info, L"").get())->ExtendedParameterCount(&count));
    return count;
  }
  std::vector<Sent> Sends() {
    std::lock_guard<std::mutex> lock(g_link.mutex);
    return g_link.sent;
  }

  ComPtr<CTAVDiagnosticLogMgr> manager_;
  ComPtr<CTAVDiagnosticLog> log_;
  ITAVDiagnosticLogItemEx* const sentinel_ = reinterpret_cast<ITAVDiagnosticLogItemEx*>(0x5678);
};

TEST_F(LogTest, InitBindsLocationAndProviderAndTheLogAnswersItsInterfaces) {
  // An empty location is the computer name in a console session.
  ASSERT_EQ(S_OK, log_->Init(Bstr(L"").get(), nullptr));
  wchar_t computer[16] = {};
  DWORD chars = 16;
  GetComputerNameW(computer, &chars);
  EXPECT_EQ(computer, log_->Location());
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
  EXPECT_TRUE(CTAVDiagnosticLog::FromInterface(unknown.get()));
  EXPECT_FALSE(CTAVDiagnosticLog::FromInterface(item.get())) << "an item is not a log";
  EXPECT_EQ(E_NOINTERFACE, log_->QueryInterface(IID_ISupportErrorInfo, unknown.put_void()));
}

TEST_F(LogTest, OlderInterfaceMapsKindAndType) {
  const struct {
    long kind, type, severity, audience;
    const wchar_t* text;  // a null text is an empty literal message
  } cases[] = {
      {0, TAVDiagnosticType_User, TAVDiagSeverity_Info, TAVDiagAudience_VELTRA, L"Valve open"},
      {TAVDiagnosticKind_Error, TAVDiagnosticType_Debug, TAVDiagSeverity_Error, TAVDiagAudience_Dev, L"Valve open"},
      {TAVDiagnosticKind_Warning, TAVDiagnosticType_Trace, TAVDiagSeverity_Warning, TAVDiagAudience_Dev, nullptr},
      {TAVDiagnosticKind_Audit, 0, TAVDiagSeverity_Audit, TAVDiagAudience_Dev, L"Valve open"},
      {TAVDiagnosticKind_Info, 7, TAVDiagSeverity_Info, TAVDiagAudience_Dev, L"Valve open"},
      // Outside the enumeration: unchanged.
      {12, TAVDiagnosticType_User, 12, TAVDiagAudience_VELTRA, L"Valve open"},
  };
  DATE date = 45000.5;
  for (const auto& c : cases) {
    ComPtr<ITAVDiagnosticLogItem> item;
    ASSERT_EQ(S_OK, log_->BuildItem(&date, Bstr(L"ann").get(), static_cast<TAVDiagnosticKind>(c.kind),
                                    static_cast<TAVDiagnosticType>(c.type), 5,
                                    c.text ? Bstr(c.text).get() : nullptr, item.put()));
    ComPtr<CTAVDiagnosticLogItem> own = Own(item.get());
    ASSERT_TRUE(own);
    EXPECT_EQ(c.severity, own->Severity()) << "kind " << c.kind;
    EXPECT_EQ(c.audience, own->Audience()) << "type " << c.type;
    unique_variant verbosity;
    ASSERT_EQ(S_OK, item->GetParam(Bstr(L"verbosity").get(), verbosity.get()));
    EXPECT_EQ(5, V_I4(verbosity.get()));
    EXPECT_EQ(L"ann", own->UserName());
    EXPECT_EQ(c.text ? c.text : L"", own->MessageText());
    EXPECT_EQ(date, own->DateTime());
    EXPECT_EQ(-1, own->MessageId());
  }
}

TEST_F(LogTest, UnprovidedOperationsAndDeliveryWithoutAManager) {
  DATE date = 45000.25;
  ITAVDiagnosticLogItem* untouched = sentinel_;
  EXPECT_EQ(E_NOTIMPL, log_->SetStringResourcePathname(Bstr(L"C:\\x.dll").get()));
  EXPECT_EQ(E_NOTIMPL, log_->SetStringResourceInstance(7));
  EXPECT_EQ(E_NOTIMPL, log_->LogRes(&date, nullptr, TAVDiagnosticKind_Info, TAVDiagnosticType_User, 0, 1001));
  EXPECT_EQ(E_NOTIMPL, log_->BuildItemRes(&date, nullptr, TAVDiagnosticKind_Info, TAVDiagnosticType_User, 0, 1001,
                                          &untouched));
  EXPECT_EQ(sentinel_, untouched);
  EXPECT_EQ(E_INVALIDARG, log_->LogThisItem(nullptr));
  EXPECT_EQ(E_INVALIDARG, log_->LogThisItemEx(nullptr, VARIANT_TRUE, 0));
  EXPECT_EQ(E_INVALIDARG, log_->CancelLogThisItemEx(nullptr));
  // A log never attached to a manager builds items but cannot deliver them;
  // the item is left as it was, and cancelling it does nothing.
  ComPtr<CTAVDiagnosticLog> alone = MakeObject<CTAVDiagnosticLog>();
  ComPtr<ITAVDiagnosticLogItemEx> item = Item(TAVDiagSeverity_Info, L"x", &date);
  EXPECT_EQ(E_FAIL, alone->LogThisItem(item.get()));
  EXPECT_EQ(date, Own(item.get())->DateTime());
  EXPECT_EQ(E_FAIL, alone->Log(&date, nullptr, TAVDiagnosticKind_Info, TAVDiagnosticType_User, 0, Bstr(L"x").get()));
  EXPECT_EQ(S_OK, alone->CancelLogThisItemEx(item.get()));
  EXPECT_TRUE(Sends().empty());
}

TEST_F(LogTest, InsertionArgumentArraysAreCheckedAndWhenTroubleShootingTheMessagesToo) {
  SAFEARRAYBOUND twoDims[2] = {{2, 0}, {2, 0}};
  unique_safearray square(SafeArrayCreate(VT_VARIANT, 2, twoDims));
  unique_safearray strings(SafeArrayCreateVector(VT_BSTR, 0, 2));
  unique_safearray two = Numbers(0, 2, 0);
  unique_bstr tooMany = Bstr(L"Pressure %1!d! at %2!d! exceeds %3!d!");
  SAFEARRAY* array = two.get();
  ComPtr<ITAVDiagnosticLogItemEx> built;
  EXPECT_EQ(S_OK, Build(Var(VT_BSTR, 0, tooMany.get()), &array, built.put())) << "switch off: message not checked";
  SetTroubleShootModeForTesting(true);
  const struct {
    SAFEARRAY* array;
    BSTR message;
    const wchar_t* error;
  } refused[] = {{square.get(), nullptr, L"The insertion argument array must be one dimensional"},
                 {strings.get(), nullptr, L"The insertion argument elements must be variants"},
                 {two.get(), tooMany.get(), L"The message required more insertion arguments"}};
  for (const auto& r : refused) {
    array = r.array;
    ITAVDiagnosticLogItemEx* item = sentinel_;
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(E_INVALIDARG, Build(Var(VT_BSTR, 0, r.message), &array, &item));
    EXPECT_EQ(r.error, test::TakeErrorDescription());
    EXPECT_EQ(sentinel_, item);
  }
  array = two.get();
  EXPECT_EQ(S_OK, Build(Var(VT_BSTR, 0, Bstr(L"Pressure %1!d! at %2!d!").get()), &array, built.put()));
  SetTroubleShootModeForTesting(false);
  // A null array means no arguments.
  array = nullptr;
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
  }
  EXPECT_EQ(args.get(), array);
}

TEST_F(LogTest, MessageFieldsOfBuildItemEx) {
  ComPtr<ITAVDiagnosticLogItemEx> item;
  // A text is cut to 3000 characters.
  for (size_t length : {3000u, 3001u}) {
    std::wstring text(length, L'a');
    text[2999] = L'z';
    ASSERT_EQ(S_OK, Build(Var(VT_BSTR, 0, Bstr(text).get()), nullptr, item.put()));
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
  } cases[] = {{L"", L"", L"PLANT7", L"Mixer"}, {L"Plant9", L"Tank", L"Plant9", L"Tank"}};
  for (const auto& c : cases) {
    ASSERT_EQ(S_OK, Build(Var(VT_EMPTY), nullptr, item.put(), Bstr(c.location).get(), Bstr(c.provider).get()));
    EXPECT_EQ(c.expectedLocation, Own(item.get())->Location());
    EXPECT_EQ(c.expectedProvider, Own(item.get())->Provider());
  }
  EXPECT_EQ(L"PLANT7", log_->Location());
  EXPECT_EQ(E_POINTER, Build(Var(VT_EMPTY), nullptr, nullptr));
}

TEST_F(LogTest, SchemaDeclarationsAndTheirTypesApplyToItemsBuiltAfterIt) {
  EXPECT_EQ(0u, ExtendedCount());
  ASSERT_EQ(S_OK, log_->ExtendItemSchema(Bstr(L"<Schema><ElementType name=\"Batch\" dt:type=\"int\"/>"
                                              L"<ElementType name=\"Operator\" type=\"string\"/></Schema>")
                                             .get()));
  ComPtr<ITAVDiagnosticLogItemEx> first = Item(TAVDiagSeverity_Info, L"");
  const wchar_t* names[] = {L"batch", L"operator"};
  for (ULONG i = 0; i < 2; ++i) {
    unique_bstr name;
    unique_variant value;
    ASSERT_EQ(S_OK, first->ParameterNameAndValue(i, name.put(), value.get()));
    EXPECT_STREQ(names[i], name.get());
    EXPECT_EQ(VT_EMPTY, V_VT(value.get()));
  }
  // The declared type converts what is put.
  EXPECT_EQ(S_OK, first->PutParam(Bstr(L"Batch").get(), Var(VT_BSTR, 0, Bstr(L"42").get())));
  unique_variant value;
  ASSERT_EQ(S_OK, first->GetParam(Bstr(L"batch").get(), value.get()));
  EXPECT_EQ(VT_I4, V_VT(value.get()));
  EXPECT_EQ(42, V_I4(value.get()));
  // A second schema replaces the first for items built afterwards only; an
  // empty one removes the extended fields.
  ASSERT_EQ(S_OK, log_->ExtendItemSchema(Bstr(L"<x><element name=\"Tag\" type=\"bstr\"/></x>").get()));
  EXPECT_EQ(1u, ExtendedCount());
  EXPECT_EQ(2u, ExtendedCount(first.get()));
  ASSERT_EQ(S_OK, log_->ExtendItemSchema(nullptr));
  EXPECT_EQ(0u, ExtendedCount());

  // The type names, in any letter case; anything else holds text.
  const std::pair<const wchar_t*, VARTYPE> types[] = {
      {L"unsigned char", VT_UI1}, {L"SHORT", VT_I2},    {L"int", VT_I4},      {L"Integer", VT_I4},
      {L"long", VT_I4},           {L"float", VT_R4},    {L"Double", VT_R8},   {L"bool", VT_BOOL},
      {L"BOOLEAN", VT_BOOL},      {L"scode", VT_ERROR}, {L"CY", VT_CY},       {L"time", VT_DATE},
      {L"Date", VT_DATE},         {L"bstr", VT_BSTR},   {L"string", VT_BSTR}, {L"Unknown", VT_BSTR},
      {L"", VT_BSTR},             {L"unsigned", VT_BSTR}, {L"int ", VT_BSTR}, {L"uuid", VT_BSTR},
  };
  for (const auto& [name, type] : types)
    EXPECT_EQ(type, SchemaTypeToVarType(name)) << "type name '" << Narrow(name) << "'";

  // What the scanner finds in a schema text.
  using Declarations = std::vector<std::pair<std::wstring, std::wstring>>;
  const struct {
    const wchar_t* text;
    Declarations expected;
  } cases[] = {
      // Names come out lower case, in order, with their types.
      {L"<Schema><ElementType name=\"Batch\" dt:type=\"int\"/><ElementType name=\"Operator\" type=\"string\"/>",
       {{L"batch", L"int"}, {L"operator", L"string"}}},
      // "dt:type" is preferred to a plain "type" that comes before it.
      {L" <element name=\"A\" type=\"int\" dt:type=\"Boolean\"/>", {{L"a", L"boolean"}}},
      // Without a type before the next declaration the type is "Unknown",
      // not the next one's; the same for the last declaration.
      {L"<element name=\"First\"/><element name=\"Second\" dt:type=\"double\"/>",
       {{L"first", L"Unknown"}, {L"second", L"double"}}},
      {L"<element name=\"x\" type=\"uuid\"/>", {{L"x", L"uuid"}}},
      // A trailing backslash before the closing quote is dropped, once.
      {L"<element name=\"Tag\\\" type=\"short\\\"/>", {{L"tag", L"short"}}},
      // Any word that begins with "element" starts a declaration.
      {L"<elementary name=\"Rate\" type=\"float\"/>", {{L"rate", L"float"}}},
      {L"<element name=\"\" type=\"\"/>", {{L"", L""}}},
      {L"<element/>", {{L"", L"Unknown"}}},
      // Only an "element" after the first character starts the scan.
      {L"", {}},
      {L"<schema><attribute name=\"a\"/></schema>", {}},
      {L"element name=\"a\" type=\"int\"", {}},
      {L"Element name=\"a\" type=\"int\"/><element name=\"b\" type=\"int\"/>", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.expected, ParseItemSchema(c.text)) << Narrow(c.text);
}

TEST_F(LogTest, OnlyANonZeroNumberSwitchesTheUserLookupOffAndTheAccountIsLookedUpOnce) {
  const struct {
    DWORD number;
    const wchar_t* text;
    bool enabled;
  } cases[] = {{1, nullptr, false}, {0, nullptr, true}, {0xFFFFFFFF, nullptr, false}, {0, L"1", true}};
  for (const auto& c : cases) {
    test::DeleteMachineValue(kProductKey, L"DisableUserLookup");
    ASSERT_TRUE(c.text ? test::SetMachineString(kProductKey, L"DisableUserLookup", c.text)
                       : test::SetMachineDword(kProductKey, L"DisableUserLookup", c.number));
    UserLookup lookup;
    EXPECT_EQ(c.enabled, lookup.LookupEnabled()) << c.number;
    BSTR name = reinterpret_cast<BSTR>(0x10);
    EXPECT_EQ(c.enabled ? S_OK : E_FAIL, lookup.Lookup(&name));
    EXPECT_EQ(c.enabled, name != nullptr);
    SysFreeString(c.enabled ? name : nullptr);
    ComPtr<CTAVDiagnosticLogItem> item = MakeObject<CTAVDiagnosticLogItem>();
    lookup.FillUserName(*item);
    EXPECT_EQ(c.enabled, !item->UserName().empty());
    // Switched off, not even the process token is opened.
    EXPECT_EQ(c.enabled ? 1u : 0u, lookup.TokenQueries());
  }
  test::DeleteMachineValue(kProductKey, L"DisableUserLookup");
  UserLookup lookup;
  EXPECT_TRUE(lookup.LookupEnabled());
  unique_bstr first, second;
  ASSERT_EQ(S_OK, lookup.Lookup(first.put()));
  ASSERT_TRUE(first);
  const std::wstring account = first.get();
  // "DOMAIN\name", or the name alone for an identity without a domain.
  wchar_t user[256] = {};
  DWORD chars = 256;
  ASSERT_TRUE(GetUserNameW(user, &chars));
  const size_t slash = account.rfind(L'\\');
  EXPECT_EQ(user, slash == std::wstring::npos ? account : account.substr(slash + 1)) << Narrow(account);
  EXPECT_NE(0u, slash) << Narrow(account);
  // The process's user cannot change: neither the token nor the account is
  // asked again.
  ASSERT_EQ(S_OK, lookup.Lookup(second.put()));
  EXPECT_EQ(account, std::wstring(second.get()));
  EXPECT_EQ(1u, lookup.TokenQueries());
  EXPECT_EQ(1u, lookup.AccountQueries());
  EXPECT_EQ(E_POINTER, lookup.Lookup(nullptr));

  // A child stored in an item gets the account too (delivery fills it into
  // the items it sends).
  ComPtr<CTAVDiagnosticLogItem> item = MakeObject<CTAVDiagnosticLogItem>();
  ComPtr<CTAVDiagnosticLogItem> child = MakeObject<CTAVDiagnosticLogItem>();
  ASSERT_EQ(S_OK, item->SetChild(static_cast<ITAVDiagnosticLogItemEx*>(child.get())));
  EXPECT_EQ(account, child->UserName());
  EXPECT_EQ(account, ChildOf(item.get())->UserName());
}

TEST_F(LogTest, AsynchronousDeliverySendsAPreparedCopy) {
  ComPtr<ITAVDiagnosticLogItemEx> item = Item(TAVDiagSeverity_Info, L"Valve open");
  const LONG locksBefore = ModuleLockCount();
  const DATE before = NowUtc();
  // 1 is not VARIANT_TRUE: asynchronous, so the time-out is not waited for.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(S_OK, log_->LogThisItemEx(item.get(), 1, 5000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

  std::vector<Sent> sent = Sends();
  ASSERT_EQ(1u, sent.size());
  EXPECT_FALSE(sent[0].synchronous);
  EXPECT_EQ(0, sent[0].id);
  CTAVDiagnosticLogItem* copy = sent[0].copy.get();
  EXPECT_NE(Own(item.get()).get(), copy);
  EXPECT_EQ(L"Valve open", copy->MessageText());
  EXPECT_EQ(L"PLANT7", copy->Location());
  // Stamped with the current UTC time in whole seconds.
  const DATE stamped = copy->DateTime();
  EXPECT_GE(stamped, before - 2.0 / 86400);
  EXPECT_LE(stamped, NowUtc() + 2.0 / 86400);
  EXPECT_NEAR(stamped * 86400.0, std::floor(stamped * 86400.0 + 0.5), 1e-3);
  // The process user is filled into the copy, not into the caller's item.
  unique_bstr account;
  ASSERT_EQ(S_OK, UserLookup::Instance().Lookup(account.put()));
  EXPECT_EQ(std::wstring(account.get()), copy->UserName());
  EXPECT_EQ(L"", Own(item.get())->UserName());
  // The copy waiting in the link does not keep the library loaded.
  EXPECT_TRUE(copy->InFlight());
  EXPECT_EQ(locksBefore, ModuleLockCount());
  EXPECT_EQ(nullptr, copy->CompletionEvent());
  // The caller's date is reset so that logging again stamps anew.
  EXPECT_EQ(0.0, Own(item.get())->DateTime());
}

TEST_F(LogTest, DatesAndUserNamesGivenByTheCallerAreKeptAndChildrenWithoutADateStamped) {
  DATE date = 45000.5;
  ComPtr<ITAVDiagnosticLogItemEx> item = Item(TAVDiagSeverity_Warning, L"Level low", &date, L"op1");
  // A child without a date below one with a date.
  ComPtr<ITAVDiagnosticLogItemEx> child = Item(TAVDiagSeverity_Info, L"child", nullptr, L"op2");
  ASSERT_EQ(S_OK, child->SetChild(Item(TAVDiagSeverity_Info, L"grandchild").get()));
  Own(child.get())->SetDateTime(44000.25);
  ASSERT_EQ(S_OK, item->SetChild(child.get()));

  ASSERT_EQ(S_OK, log_->LogThisItem(item.get()));
  ASSERT_EQ(S_OK, log_->LogThisItem(item.get()));
  std::vector<Sent> sent = Sends();
  ASSERT_EQ(2u, sent.size());
  EXPECT_EQ(date, sent[0].copy->DateTime());
  EXPECT_EQ(L"op1", sent[0].copy->UserName());
  ComPtr<CTAVDiagnosticLogItem> sentChild = ChildOf(sent[0].copy.get());
  ASSERT_TRUE(sentChild);
  EXPECT_EQ(44000.25, sentChild->DateTime());
  EXPECT_EQ(L"op2", sentChild->UserName());
  ComPtr<CTAVDiagnosticLogItem> sentGrandchild = ChildOf(sentChild.get());
  ASSERT_TRUE(sentGrandchild);
  EXPECT_GT(sentGrandchild->DateTime(), 44000.0 + 365);  // stamped with today
  // The second delivery finds the caller's date reset and stamps it.
  EXPECT_GT(sent[1].copy->DateTime(), date + 365);
  EXPECT_EQ(0.0, Own(item.get())->DateTime());
}

// Which chains go out with auditing off is checked against the directory in
// the audit policy tests; here that the filtering works on the copy only.
TEST_F(LogTest, AuditFilteringLeavesTheCallersItemsAlone) {
  DATE date = 45000.5;
  ComPtr<ITAVDiagnosticLogItemEx> lone = Item(TAVDiagSeverity_Audit | TAVDiagSeverity_Error, L"lone", &date);
  ComPtr<ITAVDiagnosticLogItemEx> info = Item(TAVDiagSeverity_Info, L"info");
  ComPtr<ITAVDiagnosticLogItemEx> audit = Item(TAVDiagSeverity_Audit, L"audit");
  ASSERT_EQ(S_OK, audit->SetChild(Item(TAVDiagSeverity_Warning, L"warning").get()));
  ASSERT_EQ(S_OK, info->SetChild(audit.get()));
  log_->SetAuditingEnabled(false);
  // Dropped, and its date reset all the same.
  EXPECT_EQ(S_OK, log_->LogThisItem(lone.get()));
  EXPECT_EQ(0.0, Own(lone.get())->DateTime());
  EXPECT_EQ(S_OK, log_->LogThisItem(info.get()));
  std::vector<Sent> sent = Sends();
  ASSERT_EQ(1u, sent.size());
  ComPtr<CTAVDiagnosticLogItem> child = ChildOf(sent[0].copy.get());
  EXPECT_EQ(L"warning", child->MessageText());
  EXPECT_FALSE(child->HasChild());
  EXPECT_EQ(L"audit", ChildOf(Own(info.get()).get())->MessageText());
}

TEST_F(LogTest, SynchronousDeliveryReturnsTheAnswerOrEndsByTimeOutOrCancel) {
  ComPtr<ITAVDiagnosticLogItemEx> item = Item(TAVDiagSeverity_Info, L"before");
  ComPtr<CTAVDiagnosticLogItem> own = Own(item.get());
  // Each send has another thread run f(id) 50 ms later, while the log waits.
  std::thread other;
  auto later = [&](std::function<void(LONG)> f) {
    g_link.onSend = [&other, f](const Sent& sent) {
      other = std::thread([f, id = sent.id] {
        Sleep(50);
        f(id);
      });
    };
  };
  later([](LONG id) { EXPECT_TRUE(Answer(id, S_FALSE, L"stored by the Mux")); });
  EXPECT_EQ(S_FALSE, log_->LogThisItemEx(item.get(), VARIANT_TRUE, INFINITE));
  other.join();
  std::vector<Sent> sent = Sends();
  ASSERT_EQ(1u, sent.size());
  EXPECT_TRUE(sent[0].synchronous);
  EXPECT_NE(0, sent[0].id);
  // The answered copy comes back into the caller's item, date reset.
  EXPECT_EQ(L"stored by the Mux", own->MessageText());
  EXPECT_EQ(sent[0].copy->UserName(), own->UserName());
  EXPECT_FALSE(own->UserName().empty());
  EXPECT_EQ(0.0, own->DateTime());
  // Nothing of the wait is left behind.
  EXPECT_EQ(nullptr, own->CompletionEvent());
  EXPECT_EQ(nullptr, sent[0].copy->CompletionEvent());
  EXPECT_FALSE(WaitingItems::Find(sent[0].id));
  EXPECT_EQ(0, WaitingItems::IdOf(sent[0].copy.get()));

  // An answer that arrives before the wait starts still ends it.
  g_link.onSend = [](const Sent& sent) { EXPECT_TRUE(Answer(sent.id, S_OK)); };
  EXPECT_EQ(S_OK, log_->LogThisItemEx(item.get(), VARIANT_TRUE, 0));
  // A failure of the Mux is returned and the caller's item is not updated.
  g_link.onSend = [](const Sent& sent) { EXPECT_TRUE(Answer(sent.id, E_FAIL, L"not copied back")); };
  EXPECT_EQ(E_FAIL, log_->LogThisItemEx(item.get(), VARIANT_TRUE, 1000));
  EXPECT_EQ(L"stored by the Mux", own->MessageText());

  // No answer within the time-out. A late answer finds nothing; the copy the
  // link still holds is intact and no longer points at the closed event.
  g_link.onSend = nullptr;
  EXPECT_EQ(E_PENDING, log_->LogThisItemEx(item.get(), VARIANT_TRUE, 0));
  sent = Sends();
  ASSERT_EQ(4u, sent.size());
  EXPECT_FALSE(Answer(sent[3].id, S_OK));
  EXPECT_EQ(nullptr, sent[3].copy->CompletionEvent());
  EXPECT_EQ(E_PENDING, sent[3].copy->DeliveryResult());
  EXPECT_EQ(nullptr, own->CompletionEvent());

  // A cancel from another thread ends an unlimited wait.
  later([&](LONG) { EXPECT_EQ(S_OK, log_->CancelLogThisItemEx(item.get())); });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(E_PENDING, log_->LogThisItemEx(item.get(), VARIANT_TRUE, INFINITE));
  other.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(nullptr, own->CompletionEvent());

  // A failed send is returned at once, without a wait.
  g_link.onSend = nullptr;
  g_link.result = HRESULT_FROM_WIN32(ERROR_CONNECTION_REFUSED);
  own->SetDateTime(45000.5);
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_CONNECTION_REFUSED), log_->LogThisItemEx(item.get(), VARIANT_TRUE, INFINITE));
  EXPECT_EQ(0.0, own->DateTime());
  EXPECT_EQ(nullptr, own->CompletionEvent());
  ASSERT_EQ(6u, Sends().size());
  EXPECT_FALSE(WaitingItems::Find(Sends()[5].id));

  // A time-out's own cancel leaves a signal no wait took; it must not end the
  // next delivery's wait before its answer.
  g_link.result = S_OK;
  EXPECT_EQ(E_PENDING, log_->LogThisItemEx(item.get(), VARIANT_TRUE, 0));
  later([](LONG id) { EXPECT_TRUE(Answer(id, S_FALSE)); });
  EXPECT_EQ(S_FALSE, log_->LogThisItemEx(item.get(), VARIANT_TRUE, INFINITE));
  other.join();
}

TEST_F(LogTest, ConcurrentWaitsGetTheirOwnAnswers) {
  constexpr int kThreads = 4;
  std::vector<HRESULT> results(kThreads, E_UNEXPECTED);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i, item = Item(TAVDiagSeverity_Info, std::to_wstring(i).c_str())] {
      ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
      results[i] = log_->LogThisItemEx(item.get(), VARIANT_TRUE, 20000);
      CoUninitialize();
    });
  while (Sends().size() < kThreads) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  // Each copy is answered with a result of its own, in reverse order.
  std::vector<Sent> sent = Sends();
  ASSERT_EQ(static_cast<size_t>(kThreads), sent.size());
  for (int k = kThreads - 1; k >= 0; --k) {
    const int which = std::stoi(sent[k].copy->MessageText());
    EXPECT_NE(0, sent[k].id);
    EXPECT_TRUE(Answer(sent[k].id, MAKE_HRESULT(SEVERITY_SUCCESS, FACILITY_ITF, 0x200 + which)));
  }
  for (auto& thread : threads) thread.join();
  for (int i = 0; i < kThreads; ++i)
    EXPECT_EQ(MAKE_HRESULT(SEVERITY_SUCCESS, FACILITY_ITF, 0x200 + i), results[i]) << "thread " << i;
}

TEST_F(LogTest, TroubleShootSwitchWritesOneTraceLinePerDelivery) {
  ASSERT_EQ(S_OK, log_->ExtendItemSchema(
                      Bstr(L"<s><element name=\"Batch\" type=\"int\"/><element name=\"Op\"/></s>").get()));
  ComPtr<ITAVDiagnosticLogItemEx> item = Item(TAVDiagSeverity_Warning, L"Valve open");
  ASSERT_EQ(S_OK, item->PutParam(Bstr(L"batch").get(), Var(VT_I4, 42)));
  test::DebugOutputCapture capture;
  ASSERT_TRUE(capture.ok());
  // The library's own lines, as the debugger monitor received them.
  auto trace = [&] {
    Sleep(200);
    std::vector<std::wstring> lines;
    for (const std::string& text : capture.Texts())
      if (text.compare(0, 7, "HVDiag:") == 0) lines.push_back(test::Widen(text));
    return lines;
  };
  ASSERT_EQ(S_OK, log_->LogThisItem(item.get()));
  EXPECT_TRUE(trace().empty()) << "switch off: no line";

  SetTroubleShootModeForTesting(true);
  ASSERT_EQ(S_OK, log_->LogThisItem(item.get()));
  // A date and a description given by the caller are quoted.
  DATE date = 45000.5;
  Own(item.get())->SetDateTime(date);
  ASSERT_EQ(S_OK, item->PutParam(Bstr(L"userdescription").get(), Var(VT_BSTR, 0, Bstr(L"by hand").get())));
  ASSERT_EQ(S_OK, log_->LogThisItem(item.get()));
  SetTroubleShootModeForTesting(false);
  const std::vector<std::wstring> lines = trace();

  unique_bstr dateText;
  ASSERT_EQ(S_OK, VarBstrFromDate(date, GetThreadLocale(), 0, dateText.put()));
  const std::wstring rest = L"Severity = 2 Audience = 2 Verbosity = 3 Location = 'PLANT7' Provider = 'Mixer' "
                            L"Message = 'Valve open'batch = 42 op =  \r\n";
  const std::wstring head = L"HVDiag: Logging item Date = ";
  EXPECT_EQ(lines, std::vector<std::wstring>({head + L"NULL UserName = '' UserDesc = VT_EMPTY " + rest,
                                              head + L"'" + dateText.get() + L"' UserName = '' UserDesc = 'by hand' " +
                                                  rest}));
}

}  // namespace
}  // namespace hv
