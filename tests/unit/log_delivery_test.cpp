// Delivery of items: the private copy, audit filtering, time stamps, user
// names, synchronous waits with their answers, time-outs and cancels, and the
// trouble-shoot trace line. The Mux link is replaced by a recording one that
// answers the way the manager's sink does.
#include <atomic>
#include <cmath>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/ModuleLock.h"
#include "item/CTAVDiagnosticLogItem.h"
#include "log/CTAVDiagnosticLog.h"
#include "log/UserLookup.h"
#include "log/WaitingItems.h"
#include "mgr/CTAVDiagnosticLogMgr.h"
#include "module/ModuleState.h"
#include "support/TestSupport.h"

namespace hv {
namespace {

using test::ComTest;
using test::Narrow;

unique_bstr Bstr(const std::wstring& text) {
  return unique_bstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}

// A manager that only counts its references: the log needs one to deliver.
class FakeManager final : public ITAVDiagnosticLogMgrEx {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ITAVDiagnosticLogMgr) ||
        IsEqualIID(riid, IID_ITAVDiagnosticLogMgrEx)) {
      *ppv = static_cast<ITAVDiagnosticLogMgrEx*>(this);
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs); }
  STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&refs); }
  STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP CreateTAVDiagnosticLog(BSTR, BSTR, ITAVDiagnosticLog**) override { return E_NOTIMPL; }
  STDMETHODIMP ReleaseLogs() override { return E_NOTIMPL; }
  STDMETHODIMP ReadMessages(ULONG, BSTR, BSTR, IEnumUnknown**) override { return E_NOTIMPL; }
  STDMETHODIMP PersistMessages(ULONG, BSTR, BSTR, TAVDiagnosticFileFormat, BSTR) override { return E_NOTIMPL; }
  STDMETHODIMP CreateMessageSubscription(ULONG, BSTR, BSTR, LONG, LONG, IConnectionPointContainer**) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP GetAdaptorInfo(BSTR, IEnumVARIANT**) override { return E_NOTIMPL; }
  STDMETHODIMP ReadLocalMessages(ULONG, BSTR, BSTR, IEnumUnknown**) override { return E_NOTIMPL; }

  LONG refs = 0;
};

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
};
FakeLink* g_link = nullptr;

HRESULT RecordSend(ITAVDiagnosticLogMgrEx*, CTAVDiagnosticLog*, CTAVDiagnosticLogItem* copy, BOOL synchronous) {
  Sent sent{ComPtr<CTAVDiagnosticLogItem>(copy), synchronous, WaitingItems::IdOf(copy)};
  std::function<void(const Sent&)> onSend;
  {
    std::lock_guard<std::mutex> lock(g_link->mutex);
    g_link->sent.push_back(sent);
    onSend = g_link->onSend;
  }
  if (onSend) onSend(sent);
  return g_link->result;
}

// What the manager's sink does with a "5" answer. False when no copy waits
// under that id.
bool Answer(LONG id, HRESULT result, const std::wstring& storedText = L"") {
  ComPtr<CTAVDiagnosticLogItem> copy = WaitingItems::Find(id);
  if (!copy) return false;
  auto lock = copy->Lock();
  copy->SetDeliveryResult(result);
  if (!storedText.empty()) {
    VARIANT text;
    VariantInit(&text);
    V_VT(&text) = VT_BSTR;
    V_BSTR(&text) = SysAllocString(storedText.c_str());
    copy->PutParam(Bstr(L"msgtext").get(), text);
    VariantClear(&text);
  }
  if (HANDLE event = copy->CompletionEvent()) SetEvent(event);
  return true;
}

DATE NowUtc() {
  SYSTEMTIME now;
  GetSystemTime(&now);
  DATE date = 0.0;
  SystemTimeToVariantTime(&now, &date);
  return date;
}

class LogDelivery : public ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    g_link = &link_;
    CTAVDiagnosticLog::SetItemSenderForTesting(&RecordSend);
    SetTroubleShootModeForTesting(false);
    log_ = MakeObject<CTAVDiagnosticLog>();
    ASSERT_TRUE(log_);
    ASSERT_EQ(S_OK, log_->Init(Bstr(L"PLANT7").get(), Bstr(L"Mixer").get()));
    log_->AttachLogMgr(&manager_);
  }
  void TearDown() override {
    log_.reset();
    CTAVDiagnosticLog::SetItemSenderForTesting(nullptr);
    SetTroubleShootModeForTesting(false);
    g_link = nullptr;
    ComTest::TearDown();
  }

  ComPtr<ITAVDiagnosticLogItemEx> Build(long severity, const wchar_t* text, DATE* date = nullptr,
                                        const wchar_t* user = nullptr) {
    ComPtr<ITAVDiagnosticLogItemEx> item;
    unique_bstr message = Bstr(text);
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = message.get();
    unique_bstr userName(user ? SysAllocString(user) : nullptr);
    EXPECT_EQ(S_OK, log_->BuildItemEx(date, userName.get(), static_cast<TAVDiagSeverity>(severity),
                                      TAVDiagAudience_Dev, 3, v, nullptr, nullptr, nullptr, item.put()));
    return item;
  }

  static ComPtr<CTAVDiagnosticLogItem> Own(IUnknown* item) { return CTAVDiagnosticLogItem::FromInterface(item); }
  static ComPtr<CTAVDiagnosticLogItem> ChildOf(CTAVDiagnosticLogItem* item) {
    ComPtr<IUnknown> child;
    EXPECT_EQ(S_OK, item->GetChild(child.put()));
    return Own(child.get());
  }

  std::vector<Sent> Sends() {
    std::lock_guard<std::mutex> lock(link_.mutex);
    return link_.sent;
  }

  FakeLink link_;
  FakeManager manager_;
  ComPtr<CTAVDiagnosticLog> log_;
};

TEST_F(LogDelivery, AsynchronousDeliverySendsAPreparedCopy) {
  ComPtr<ITAVDiagnosticLogItemEx> item = Build(TAVDiagSeverity_Info, L"Valve open");
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
  const double seconds = stamped * 86400.0;
  EXPECT_NEAR(seconds, std::floor(seconds + 0.5), 1e-3);

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
  {
    std::lock_guard<std::mutex> lock(link_.mutex);
    link_.sent.clear();
  }
  EXPECT_EQ(locksBefore, ModuleLockCount());
}

TEST_F(LogDelivery, DatesAndUserNamesGivenByTheCallerAreKept) {
  DATE date = 45000.5;
  ComPtr<ITAVDiagnosticLogItemEx> item = Build(TAVDiagSeverity_Warning, L"Level low", &date, L"op1");
  // A child without a date below one with a date.
  ComPtr<ITAVDiagnosticLogItemEx> child = Build(TAVDiagSeverity_Info, L"child", nullptr, L"op2");
  DATE childDate = 44000.25;
  ComPtr<ITAVDiagnosticLogItemEx> grandchild = Build(TAVDiagSeverity_Info, L"grandchild");
  ASSERT_EQ(S_OK, child->SetChild(grandchild.get()));
  Own(child.get())->SetDateTime(childDate);
  ASSERT_EQ(S_OK, item->SetChild(child.get()));

  ASSERT_EQ(S_OK, log_->LogThisItem(item.get()));
  ASSERT_EQ(S_OK, log_->LogThisItem(item.get()));
  std::vector<Sent> sent = Sends();
  ASSERT_EQ(2u, sent.size());
  EXPECT_EQ(date, sent[0].copy->DateTime());
  EXPECT_EQ(L"op1", sent[0].copy->UserName());
  ComPtr<CTAVDiagnosticLogItem> sentChild = ChildOf(sent[0].copy.get());
  ASSERT_TRUE(sentChild);
  EXPECT_EQ(childDate, sentChild->DateTime());
  EXPECT_EQ(L"op2", sentChild->UserName());
  ComPtr<CTAVDiagnosticLogItem> sentGrandchild = ChildOf(sentChild.get());
  ASSERT_TRUE(sentGrandchild);
  EXPECT_GT(sentGrandchild->DateTime(), 44000.0 + 365);  // stamped with today

  // The second delivery finds the caller's date reset and stamps it.
  EXPECT_NE(date, sent[1].copy->DateTime());
  EXPECT_GT(sent[1].copy->DateTime(), 0.0);
  EXPECT_EQ(0.0, Own(item.get())->DateTime());
}

TEST_F(LogDelivery, AuditFilteringFollowsThePolicy) {
  // Audit → Info: with auditing off the Info item goes out in its place.
  ComPtr<ITAVDiagnosticLogItemEx> audit = Build(TAVDiagSeverity_Audit, L"audit");
  ASSERT_EQ(S_OK, audit->SetChild(Build(TAVDiagSeverity_Info, L"info below").get()));
  // Audit without children: nothing goes out.
  DATE date = 45000.5;
  ComPtr<ITAVDiagnosticLogItemEx> lone = Build(TAVDiagSeverity_Audit | TAVDiagSeverity_Error, L"lone", &date);
  // Info → Audit → Audit → Warning: the audit children are cut out.
  ComPtr<ITAVDiagnosticLogItemEx> info = Build(TAVDiagSeverity_Info, L"info");
  {
    ComPtr<ITAVDiagnosticLogItemEx> a1 = Build(TAVDiagSeverity_Audit, L"a1");
    ComPtr<ITAVDiagnosticLogItemEx> a2 = Build(TAVDiagSeverity_Audit, L"a2");
    ASSERT_EQ(S_OK, a2->SetChild(Build(TAVDiagSeverity_Warning, L"warning").get()));
    ASSERT_EQ(S_OK, a1->SetChild(a2.get()));
    ASSERT_EQ(S_OK, info->SetChild(a1.get()));
  }

  log_->SetAuditingEnabled(false);
  EXPECT_EQ(S_OK, log_->LogThisItem(audit.get()));
  EXPECT_EQ(S_OK, log_->LogThisItem(lone.get()));
  EXPECT_EQ(0.0, Own(lone.get())->DateTime());
  EXPECT_EQ(S_OK, log_->LogThisItem(info.get()));
  std::vector<Sent> sent = Sends();
  ASSERT_EQ(2u, sent.size());
  EXPECT_EQ(TAVDiagSeverity_Info, sent[0].copy->Severity());
  EXPECT_EQ(L"info below", sent[0].copy->MessageText());
  EXPECT_FALSE(sent[0].copy->HasChild());
  EXPECT_EQ(L"info", sent[1].copy->MessageText());
  ComPtr<CTAVDiagnosticLogItem> child = ChildOf(sent[1].copy.get());
  ASSERT_TRUE(child);
  EXPECT_EQ(L"warning", child->MessageText());
  EXPECT_FALSE(child->HasChild());
  // The caller's chain is untouched.
  ComPtr<CTAVDiagnosticLogItem> callerChild = ChildOf(Own(info.get()).get());
  ASSERT_TRUE(callerChild);
  EXPECT_EQ(L"a1", callerChild->MessageText());

  // With auditing on, audit items and audit children go out unchanged.
  log_->SetAuditingEnabled(true);
  EXPECT_EQ(S_OK, log_->LogThisItem(info.get()));
  EXPECT_EQ(S_OK, log_->LogThisItem(lone.get()));
  sent = Sends();
  ASSERT_EQ(4u, sent.size());
  child = ChildOf(sent[2].copy.get());
  ASSERT_TRUE(child);
  EXPECT_EQ(L"a1", child->MessageText());
  EXPECT_EQ(TAVDiagSeverity_Audit | TAVDiagSeverity_Error, sent[3].copy->Severity());
}

TEST_F(LogDelivery, SynchronousDeliveryReturnsTheAnswer) {
  ComPtr<ITAVDiagnosticLogItemEx> item = Build(TAVDiagSeverity_Info, L"before");
  // The answer comes from another thread while the log waits.
  std::thread answering;
  link_.onSend = [&](const Sent& sent) {
    answering = std::thread([id = sent.id] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      EXPECT_TRUE(Answer(id, S_FALSE, L"stored by the Mux"));
    });
  };
  EXPECT_EQ(S_FALSE, log_->LogThisItemEx(item.get(), VARIANT_TRUE, INFINITE));
  answering.join();
  std::vector<Sent> sent = Sends();
  ASSERT_EQ(1u, sent.size());
  EXPECT_TRUE(sent[0].synchronous);
  EXPECT_NE(0, sent[0].id);
  // The answered copy comes back into the caller's item, date reset.
  ComPtr<CTAVDiagnosticLogItem> own = Own(item.get());
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
  link_.onSend = [](const Sent& sent) { EXPECT_TRUE(Answer(sent.id, S_OK)); };
  EXPECT_EQ(S_OK, log_->LogThisItemEx(item.get(), VARIANT_TRUE, 0));

  // A failure of the Mux is returned and the caller's item is not updated.
  link_.onSend = [](const Sent& sent) { EXPECT_TRUE(Answer(sent.id, E_FAIL, L"not copied back")); };
  EXPECT_EQ(E_FAIL, log_->LogThisItemEx(item.get(), VARIANT_TRUE, 1000));
  EXPECT_EQ(L"stored by the Mux", own->MessageText());
}

TEST_F(LogDelivery, WaitsEndByTimeOutOrCancel) {
  ComPtr<ITAVDiagnosticLogItemEx> item = Build(TAVDiagSeverity_Info, L"x");
  ComPtr<CTAVDiagnosticLogItem> own = Own(item.get());

  // No answer within the time-out.
  EXPECT_EQ(E_PENDING, log_->LogThisItemEx(item.get(), VARIANT_TRUE, 0));
  std::vector<Sent> sent = Sends();
  ASSERT_EQ(1u, sent.size());
  // A late answer finds nothing; the copy the link still holds is intact and
  // no longer points at the closed event.
  EXPECT_FALSE(Answer(sent[0].id, S_OK));
  EXPECT_EQ(nullptr, sent[0].copy->CompletionEvent());
  EXPECT_EQ(E_PENDING, sent[0].copy->DeliveryResult());
  EXPECT_EQ(nullptr, own->CompletionEvent());

  // A cancel from another thread ends an unlimited wait.
  std::thread cancelling;
  link_.onSend = [&](const Sent&) {
    cancelling = std::thread([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      EXPECT_EQ(S_OK, log_->CancelLogThisItemEx(item.get()));
    });
  };
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(E_PENDING, log_->LogThisItemEx(item.get(), VARIANT_TRUE, INFINITE));
  cancelling.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(nullptr, own->CompletionEvent());

  // A failed send is returned at once, without a wait.
  link_.onSend = nullptr;
  link_.result = HRESULT_FROM_WIN32(ERROR_CONNECTION_REFUSED);
  DATE date = 45000.5;
  own->SetDateTime(date);
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_CONNECTION_REFUSED), log_->LogThisItemEx(item.get(), VARIANT_TRUE, INFINITE));
  EXPECT_EQ(0.0, own->DateTime());
  EXPECT_EQ(nullptr, own->CompletionEvent());
  sent = Sends();
  ASSERT_EQ(3u, sent.size());
  EXPECT_FALSE(WaitingItems::Find(sent[2].id));
}

TEST_F(LogDelivery, ConcurrentWaitsGetTheirOwnAnswers) {
  constexpr int kThreads = 4;
  std::vector<ComPtr<ITAVDiagnosticLogItemEx>> items;
  for (int i = 0; i < kThreads; ++i) items.push_back(Build(TAVDiagSeverity_Info, std::to_wstring(i).c_str()));
  std::atomic<int> arrived{0};
  link_.onSend = [&](const Sent&) { ++arrived; };
  std::vector<HRESULT> results(kThreads, E_UNEXPECTED);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] {
      ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
      results[i] = log_->LogThisItemEx(items[i].get(), VARIANT_TRUE, 20000);
      CoUninitialize();
    });
  while (arrived < kThreads) std::this_thread::sleep_for(std::chrono::milliseconds(5));
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

TEST_F(LogDelivery, TroubleShootSwitchWritesOneTraceLinePerDelivery) {
  ASSERT_EQ(S_OK, log_->ExtendItemSchema(
                      Bstr(L"<s><element name=\"Batch\" type=\"int\"/><element name=\"Op\"/></s>").get()));
  ComPtr<ITAVDiagnosticLogItemEx> item = Build(TAVDiagSeverity_Warning, L"Valve open");
  VARIANT batch;
  VariantInit(&batch);
  V_VT(&batch) = VT_I4;
  V_I4(&batch) = 42;
  ASSERT_EQ(S_OK, item->PutParam(Bstr(L"batch").get(), batch));

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
  const size_t silent = trace().size();

  SetTroubleShootModeForTesting(true);
  ASSERT_EQ(S_OK, log_->LogThisItem(item.get()));
  // A date and a description given by the caller are quoted.
  DATE date = 45000.5;
  Own(item.get())->SetDateTime(date);
  VARIANT description;
  VariantInit(&description);
  V_VT(&description) = VT_BSTR;
  V_BSTR(&description) = SysAllocString(L"by hand");
  ASSERT_EQ(S_OK, item->PutParam(Bstr(L"userdescription").get(), description));
  VariantClear(&description);
  ASSERT_EQ(S_OK, log_->LogThisItem(item.get()));
  SetTroubleShootModeForTesting(false);
  const std::vector<std::wstring> lines = trace();

  EXPECT_EQ(0u, silent);
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(L"HVDiag: Logging item Date = NULL UserName = '' UserDesc = VT_EMPTY Severity = 2 Audience = 2 "
            L"Verbosity = 3 Location = 'PLANT7' Provider = 'Mixer' Message = 'Valve open'batch = 42 op =  \r\n",
            lines[0])
      << Narrow(lines[0]);
  unique_bstr dateText;
  ASSERT_EQ(S_OK, VarBstrFromDate(date, GetThreadLocale(), 0, dateText.put()));
  EXPECT_EQ(L"HVDiag: Logging item Date = '" + std::wstring(dateText.get()) +
                L"' UserName = '' UserDesc = 'by hand' Severity = 2 Audience = 2 Verbosity = 3 Location = 'PLANT7' "
                L"Provider = 'Mixer' Message = 'Valve open'batch = 42 op =  \r\n",
            lines[1])
      << Narrow(lines[1]);
}

TEST_F(LogDelivery, LogHoldsItsManagerUntilItIsDestroyed) {
  EXPECT_EQ(1, manager_.refs);
  ComPtr<CTAVDiagnosticLog> other = MakeObject<CTAVDiagnosticLog>();
  other->AttachLogMgr(&manager_);
  EXPECT_EQ(2, manager_.refs);
  other.reset();
  EXPECT_EQ(1, manager_.refs);
  log_.reset();
  EXPECT_EQ(0, manager_.refs);
}

// Through the manager's own link: without a Mux the send fails and the
// failure comes back unchanged.
TEST_F(LogDelivery, WithoutAMuxTheManagersFailureIsReturned) {
  CTAVDiagnosticLog::SetItemSenderForTesting(nullptr);
  ComPtr<CTAVDiagnosticLogMgr> manager = MakeObject<CTAVDiagnosticLogMgr>();
  ASSERT_TRUE(manager);
  ComPtr<ITAVDiagnosticLog> log;
  ASSERT_EQ(S_OK, manager->CreateTAVDiagnosticLog(Bstr(L"PLANT7").get(), Bstr(L"Mixer").get(), log.put()));
  ComPtr<CTAVDiagnosticLog> own = CTAVDiagnosticLog::FromInterface(log.get());
  ASSERT_TRUE(own);
  ComPtr<ITAVDiagnosticLogItem> item;
  DATE date = 45000.5;
  ASSERT_EQ(S_OK, log->BuildItem(&date, nullptr, TAVDiagnosticKind_Info, TAVDiagnosticType_User, 0,
                                 Bstr(L"no mux").get(), item.put()));
  const HRESULT hr = log->LogThisItem(item.get());
  EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
  EXPECT_EQ(0.0, Own(item.get())->DateTime());
  EXPECT_TRUE(Sends().empty());
}

}  // namespace
}  // namespace hv
