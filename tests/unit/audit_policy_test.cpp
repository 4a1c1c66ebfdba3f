// The system audit policy of a log and the policy holder on their own. The
// directory and the authority are the doubles of securitydoubles/; the Mux is
// TestMux.dll, which keeps every item posted.
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/ModuleLock.h"
#include "item/CTAVDiagnosticLogItem.h"
#include "log/CHVDSystemPolicies.h"
#include "log/CTAVDiagnosticLog.h"
#include "log/DirectoryClient.h"
#include "log/SecurityInterfaces.h"
#include "mgr/CTAVDiagnosticLogMgr.h"
#include "securitydoubles/SecurityDoubles.h"
#include "support/TestSupport.h"
#include "testmux/TestMuxControl.h"

extern "C" void WINAPI SetOaNoCache(void);

namespace hv {
namespace {

using test::BinDir;
using test::Narrow;

constexpr long kAudit = TAVDiagSeverity_Audit, kInfo = TAVDiagSeverity_Info;
constexpr long kWarning = TAVDiagSeverity_Warning, kError = TAVDiagSeverity_Error;

// The string forms of the two directory ids.
const std::wstring kPrimary = L"{0BE372AC-1932-4877-A163-7DFDCDCB3A07}";
const std::wstring kSecondary = L"{A1401D26-50BA-45C6-A82E-584346E92F02}";
const std::string kCredential = "CreateAuthority;GetCredential(" + Narrow(kPrimary) + ",operator)";
const std::string kRead = "ReadProperties($Policies/$SystemPolicies/$AuditPolicies)";
const std::string kLoad = "CreateDirectory;ResolveName($System);" + kRead + ";CreateDirectory;Subscribe";
const std::string kLookupCalls = kCredential + ";" + kLoad;
const std::string kClose = ";Unsubscribe;ReleaseObject";

// The waits of the directory connection, as the client asked for them: 0 for
// one asked for on another thread than the test's.
std::mutex g_waitsLock;
std::vector<DWORD> g_waits;
DWORD g_testThread = 0;
void RecordRetryWait(DWORD milliseconds) {
  std::lock_guard<std::mutex> lock(g_waitsLock);
  g_waits.push_back(GetCurrentThreadId() == g_testThread ? milliseconds : 0);
}

unique_bstr Bstr(const wchar_t* text) { return unique_bstr(SysAllocString(text)); }

using Level = std::pair<long, const wchar_t*>;  // severity, text
using Chains = std::vector<std::string>;

class AuditPolicy : public test::ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    doubles_ = std::make_unique<doubles::SecurityDoubles>();
    ASSERT_EQ(doubles_->registration(), S_OK);
    ResetDoubles();
    mux_ = std::make_unique<TestMuxLibrary>(BinDir() + L"TestMux.dll");
    ASSERT_TRUE(mux_->ok()) << std::hex << mux_->registration();
    mux_->Reset();
    g_testThread = GetCurrentThreadId();
    DirectoryClient::SetRetryWaitForTesting(&RecordRetryWait);
    ASSERT_EQ(CreateObject<CTAVDiagnosticLogMgr>(nullptr, IID_ITAVDiagnosticLogMgrEx, mgr_.put_void()), S_OK);
  }
  void TearDown() override {
    mgr_.reset();
    DirectoryClient::SetRetryWaitForTesting(nullptr);
    doubles_.reset();
    mux_.reset();
    ComTest::TearDown();
  }

  // The doubles start over as a directory with auditing off.
  void ResetDoubles() {
    doubles_->Reset();
    doubles_->SetBool(L"AuditingEnabled", false);
  }

  ComPtr<ITAVDiagnosticLogEx> NewLog(const std::wstring& location) {
    ComPtr<ITAVDiagnosticLog> log;
    EXPECT_EQ(mgr_->CreateTAVDiagnosticLog(Bstr(location.c_str()).get(), Bstr(L"Access control").get(), log.put()),
              S_OK);
    return log.query<ITAVDiagnosticLogEx>();
  }

  static ComPtr<ITAVDiagnosticLogItemEx> Build(ITAVDiagnosticLogEx* log, long severity, const wchar_t* text,
                                              const wchar_t* location = nullptr) {
    unique_variant message;
    V_VT(message.get()) = VT_BSTR;
    V_BSTR(message.get()) = SysAllocString(text);
    ComPtr<ITAVDiagnosticLogItemEx> item;
    EXPECT_EQ(log->BuildItemEx(nullptr, Bstr(L"operator").get(), static_cast<TAVDiagSeverity>(severity),
                               TAVDiagAudience_Op, 0, *message.get(), nullptr, Bstr(location).get(), nullptr,
                               item.put()),
              S_OK);
    return item;
  }

  // Builds the chain top item first, links it bottom up (a child is stored
  // by value) and delivers the top item.
  static HRESULT LogChain(ITAVDiagnosticLogEx* log, const std::vector<Level>& levels) {
    std::vector<ComPtr<ITAVDiagnosticLogItemEx>> items;
    for (const auto& [severity, text] : levels) items.push_back(Build(log, severity, text));
    for (size_t i = items.size() - 1; i > 0; --i) EXPECT_EQ(items[i - 1]->SetChild(items[i].get()), S_OK);
    return log->LogThisItemEx(items[0].get(), VARIANT_FALSE, 0);
  }

  // The items posted to the Mux since the last call, each as its chain:
  // "8 entry>4 detail".
  std::vector<std::string> Delivered() {
    std::vector<std::string> chains;
    const LONG count = mux_->MessageCount();
    for (LONG i = seen_; i < count; ++i) {
      ComPtr<IMuxMessage> message;
      LONG kind = 0;
      EXPECT_EQ(mux_->MessageAt(i, message.put(), &kind), S_OK);
      ComPtr<CTAVDiagnosticLogItem> item = MakeObject<CTAVDiagnosticLogItem>();
      EXPECT_EQ(item->Load(message.query<IStream>().get()), S_OK);
      std::string chain;
      for (ComPtr<CTAVDiagnosticLogItem> level = item; level;) {
        chain += (chain.empty() ? "" : ">") + std::to_string(level->Severity()) + " " + Narrow(level->MessageText());
        ComPtr<IUnknown> child;
        level->GetChild(child.put());
        level = CTAVDiagnosticLogItem::FromInterface(child.get());
      }
      chains.push_back(chain);
    }
    seen_ = count;
    return chains;
  }

  // A log (new, or the one given, re-bound) of the secondary directory with
  // auditing off whose first audit item, built on a thread of its own, is
  // held inside the policy lookup.
  std::thread StartHeldLookup(ComPtr<ITAVDiagnosticLogEx>* log) {
    ResetDoubles();
    doubles_->HoldReads(true);
    if (*log)
      EXPECT_EQ((*log)->Init(Bstr(kSecondary.c_str()).get(), nullptr), S_OK);
    else
      *log = NewLog(kSecondary);
    std::thread first([held = *log] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      Build(held.get(), kAudit, L"first");
      CoUninitialize();
    });
    EXPECT_TRUE(doubles_->WaitForHeldRead(10000));
    return first;
  }

  std::unique_ptr<doubles::SecurityDoubles> doubles_;
  std::unique_ptr<TestMuxLibrary> mux_;
  ComPtr<ITAVDiagnosticLogMgrEx> mgr_;
  LONG seen_ = 0;
};

TEST_F(AuditPolicy, LocationsThatAreNotDirectoryIdsNeverContactTheAuthorityOrTheDirectory) {
  // Were the doubles asked, they would switch auditing off.
  const std::wstring locations[] = {L"PUMPHOUSE-3", L"Line 3", L"{6B29FC40-CA47-1067-B31D-00DD010662DA}",
                                    kSecondary.substr(1, 36)};
  for (const std::wstring& location : locations) {
    SCOPED_TRACE(Narrow(location));
    ComPtr<ITAVDiagnosticLogEx> log = NewLog(location);
    ASSERT_TRUE(log);
    ASSERT_EQ(LogChain(log.get(), {{kAudit, L"door opened"}, {kAudit, L"badge read"}, {kInfo, L"detail"}}), S_OK);
    ASSERT_EQ(LogChain(log.get(), {{kAudit, L"door closed"}}), S_OK);
    EXPECT_EQ(Delivered(), Chains({"8 door opened>8 badge read>4 detail", "8 door closed"}));
    ComPtr<CTAVDiagnosticLog> own = CTAVDiagnosticLog::FromInterface(log.get());
    EXPECT_TRUE(own && own->PolicyLookupDone() && own->AuditingEnabled());
  }
  // An item may name its own location: the first audit item's location is
  // the one asked about, and a machine name there asks nothing either.
  ComPtr<ITAVDiagnosticLogEx> log = NewLog(kSecondary);
  ASSERT_EQ(log->LogThisItemEx(Build(log.get(), kAudit, L"remote", L"GATEHOUSE").get(), VARIANT_FALSE, 0), S_OK);
  EXPECT_EQ(Delivered(), Chains({"8 remote"}));
  EXPECT_EQ(doubles_->Calls(), "");
  EXPECT_EQ(doubles_->LiveObjects(), 0);
}

TEST_F(AuditPolicy, ADirectoryWithAuditingOffGetsOnlyNonAuditItemsDelivered) {
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "this program's copy of the library" : "the registered library");
    ASSERT_TRUE(round == 0 || test::CreateManager(mgr_.put()) == S_OK) << "no manager from the registered library";
    ResetDoubles();
    // The string form of the id, in any letter case.
    ComPtr<ITAVDiagnosticLogEx> log = NewLog(L"{a1401d26-50ba-45c6-a82e-584346e92f02}");
    ASSERT_TRUE(log);
    // Only an item with the audit bit, among others, asks.
    EXPECT_EQ(LogChain(log.get(), {{kWarning, L"plain"}}), S_OK);
    EXPECT_EQ(doubles_->Calls(), "");
    EXPECT_EQ(LogChain(log.get(), {{kAudit | kError, L"door opened"}, {kInfo, L"detail"}}), S_OK);
    EXPECT_EQ(doubles_->Calls(), kLookupCalls);
    EXPECT_EQ(LogChain(log.get(), {{kAudit, L"alone"}}), S_OK) << "dropped, not failed";
    EXPECT_EQ(LogChain(log.get(), {{kAudit, L"a"}, {kAudit, L"b"}, {kAudit, L"c"}}), S_OK);
    EXPECT_EQ(LogChain(log.get(), {{kAudit, L"a"}, {kAudit, L"b"}, {kError, L"jam"}, {kAudit, L"d"}}), S_OK);
    EXPECT_EQ(LogChain(log.get(), {{kInfo, L"shift"}, {kAudit, L"x"}, {kWarning, L"w"}, {kAudit, L"y"}}), S_OK);
    EXPECT_EQ(Delivered(), Chains({"2 plain", "4 detail", "1 jam", "4 shift>2 w"}));
    // Asked once per log; the calls name the log's directory (and break no
    // rule of the directory: no "!").
    EXPECT_EQ(doubles_->Calls(), kLookupCalls);
    EXPECT_TRUE(IsEqualGUID(doubles_->LastResource(), kSecondaryDirectoryId));
    EXPECT_EQ(doubles_->Subscriptions(), 1);

    // The log lets go of everything it took from the doubles when it goes.
    log.reset();
    EXPECT_EQ(doubles_->Calls(), kLookupCalls + kClose);
    EXPECT_EQ(doubles_->Subscriptions(), 0);
    EXPECT_EQ(doubles_->LiveObjects(), 0);
  }
}

TEST_F(AuditPolicy, OnlyNotificationsOfThePoliciesSwitchAuditingWithoutANewLookup) {
  ComPtr<ITAVDiagnosticLogEx> log = NewLog(kPrimary);
  ASSERT_EQ(LogChain(log.get(), {{kAudit, L"before"}, {kInfo, L"detail"}}), S_OK);
  EXPECT_EQ(Delivered(), Chains({"4 detail"}));

  doubles_->SetBool(L"AuditingEnabled", true);
  // Every notification is answered S_OK; only the policy objects' read again.
  auto notify = [&](const wchar_t* name) {
    HRESULT result = E_FAIL;
    EXPECT_EQ(doubles_->Notify(name, &result), 1);
    EXPECT_EQ(result, S_OK) << (name ? Narrow(name) : "null");
  };
  for (const wchar_t* name : {L"$System", L"", static_cast<const wchar_t*>(nullptr), L"$AuditPolicies2",
                              L"$Policies/$SystemPolicies/$AuditPolicies", L"AuditPolicies"})
    notify(name);
  ASSERT_EQ(LogChain(log.get(), {{kAudit, L"still off"}, {kWarning, L"kept"}}), S_OK);
  EXPECT_EQ(Delivered(), Chains({"2 kept"}));
  EXPECT_EQ(doubles_->Calls(), kLookupCalls) << "nothing read again";

  notify(L"$AuditPolicies");
  ASSERT_EQ(LogChain(log.get(), {{kAudit, L"after"}, {kInfo, L"detail"}}), S_OK);
  EXPECT_EQ(Delivered(), Chains({"8 after>4 detail"}));
  // The other policy object counts too, in any letter case.
  doubles_->SetBool(L"AuditingEnabled", false);
  notify(L"$SECURITYpolicies");
  ASSERT_EQ(LogChain(log.get(), {{kAudit, L"off again"}, {kInfo, L"detail"}}), S_OK);
  EXPECT_EQ(Delivered(), Chains({"4 detail"}));
  EXPECT_EQ(doubles_->Calls(), kLookupCalls + ";" + kRead + ";" + kRead);
}

TEST_F(AuditPolicy, FailuresLeaveAuditingOnAndAServerStartingUpIsWaitedForOnASchedule) {
  std::string eightStarts = kCredential;
  for (int i = 0; i < 8; ++i) eightStarts += ";CreateDirectory";
  const std::vector<DWORD> schedule = {10000, 20000, 40000, 80000, 160000, 320000, 640000};
  const struct {
    const char* what;
    doubles::Operation operation;
    LONG count;
    HRESULT hr;
    std::string calls;
    bool subscribed;  // then a notification brings the policy in
    bool auditing;
    std::vector<DWORD> waits;
  } cases[] = {
      {"authority cannot be created", doubles::kCreateAuthority, -1, E_ACCESSDENIED, "CreateAuthority", false,
       true, {}},
      {"no credential", doubles::kGetCredential, -1, E_ACCESSDENIED, kCredential, false, true, {}},
      {"directory cannot be reached", doubles::kCreateDirectory, -1, HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE),
       kCredential + ";CreateDirectory", false, true, {}},
      {"no system object", doubles::kResolveName, -1, E_ACCESSDENIED,
       kCredential + ";CreateDirectory;ResolveName($System)", false, true, {}},
      // A failed read counts as read: the holder subscribes all the same.
      {"policies cannot be read", doubles::kReadProperties, 1, E_ACCESSDENIED, kLookupCalls, true, true, {}},
      // About 21 minutes in all; the lookup runs on the thread that built
      // the first audit item.
      {"server never starts", doubles::kCreateDirectory, 8, CO_E_SERVER_EXEC_FAILURE, eightStarts, false, true,
       schedule},
      {"server starts on the last retry", doubles::kCreateDirectory, 7, CO_E_SERVER_EXEC_FAILURE,
       eightStarts + ";" + kLoad.substr(16), true, false, schedule},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ResetDoubles();
    doubles_->Fail(c.operation, c.count, c.hr);
    g_waits.clear();
    ComPtr<ITAVDiagnosticLogEx> log = NewLog(kSecondary);
    ASSERT_EQ(LogChain(log.get(), {{kAudit, L"entry"}, {kInfo, L"detail"}}), S_OK);
    ASSERT_EQ(LogChain(log.get(), {{kAudit, L"entry 2"}}), S_OK);
    EXPECT_EQ(Delivered(), c.auditing ? Chains({"8 entry>4 detail", "8 entry 2"}) : Chains({"4 detail"}));
    EXPECT_EQ(doubles_->Calls(), c.calls) << "the log asks once";
    EXPECT_EQ(g_waits, c.waits);
    EXPECT_EQ(doubles_->Notify(L"$AuditPolicies"), c.subscribed ? 1 : 0);
    ASSERT_EQ(LogChain(log.get(), {{kAudit, L"entry 3"}, {kInfo, L"detail"}}), S_OK);
    EXPECT_EQ(Delivered(), Chains({c.subscribed ? "4 detail" : "8 entry 3>4 detail"}));
    log.reset();
    const std::string released = c.operation == doubles::kResolveName ? ";ReleaseObject" : "";
    EXPECT_EQ(doubles_->Calls(), c.subscribed ? c.calls + ";" + kRead + kClose : c.calls + released);
    EXPECT_EQ(doubles_->LiveObjects(), 0);
    EXPECT_EQ(doubles_->Subscriptions(), 0);
  }
}

TEST_F(AuditPolicy, OneThreadLooksUpWithoutHoldingOthersAndInitDropsThePolicy) {
  ComPtr<ITAVDiagnosticLogEx> log;
  std::thread first = StartHeldLookup(&log);
  // The lookup is under way and held inside the directory: other threads
  // build audit items at once, with auditing still on.
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(LogChain(log.get(), {{kAudit, L"meanwhile"}, {kInfo, L"detail"}}), S_OK);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(Delivered(), Chains({"8 meanwhile>4 detail"}));
  doubles_->HoldReads(false);
  first.join();
  ASSERT_EQ(LogChain(log.get(), {{kAudit, L"after"}, {kInfo, L"detail"}}), S_OK);
  EXPECT_EQ(Delivered(), Chains({"4 detail"}));
  EXPECT_EQ(doubles_->Calls(), kLookupCalls);

  // Re-bound to a machine, the log gives its policy back at once, a
  // notification for the old binding reaches nothing, and auditing is on.
  const unique_bstr machine = Bstr(L"PUMPHOUSE-3"), provider = Bstr(L"Access control");
  ASSERT_EQ(log->Init(machine.get(), provider.get()), S_OK);
  EXPECT_EQ(doubles_->Calls(), kLookupCalls + kClose);
  EXPECT_EQ(doubles_->Notify(L"$AuditPolicies"), 0);
  ASSERT_EQ(LogChain(log.get(), {{kAudit, L"entry"}, {kInfo, L"detail"}}), S_OK);
  EXPECT_EQ(Delivered(), Chains({"8 entry>4 detail"}));

  // Re-bound to a machine while a new lookup is held, and the new binding's
  // own lookup done: the old policy must not attach afterwards.
  first = StartHeldLookup(&log);
  ASSERT_EQ(log->Init(machine.get(), provider.get()), S_OK);
  Build(log.get(), kAudit, L"new binding");
  doubles_->HoldReads(false);
  first.join();
  ASSERT_EQ(LogChain(log.get(), {{kAudit, L"after"}, {kInfo, L"detail"}}), S_OK);
  EXPECT_EQ(Delivered(), Chains({"8 after>4 detail"}));

  // Bound to a directory again, the next audit item asks again.
  ASSERT_EQ(log->Init(Bstr(kPrimary.c_str()).get(), provider.get()), S_OK);
  ResetDoubles();
  ASSERT_EQ(LogChain(log.get(), {{kAudit, L"entry"}, {kInfo, L"detail"}}), S_OK);
  EXPECT_EQ(Delivered(), Chains({"4 detail"}));
  EXPECT_EQ(doubles_->Calls(), kLookupCalls);
}

// A notification in progress when the log goes: the log's destruction waits
// for it, and the notification finishes on a holder that is still alive.
TEST_F(AuditPolicy, DestructionWaitsForANotificationInProgress) {
  ComPtr<ITAVDiagnosticLogEx> log = NewLog(kSecondary);
  ASSERT_EQ(LogChain(log.get(), {{kAudit, L"entry"}}), S_OK);
  doubles_->HoldReads(true);
  HRESULT notified = E_FAIL;
  LONG called = 0;
  std::thread notifier([&] { called = doubles_->Notify(L"$AuditPolicies", &notified); });
  ASSERT_TRUE(doubles_->WaitForHeldRead(10000));

  std::atomic<bool> released{false};
  std::thread releaser([&] {
    log.reset();
    released = true;
  });
  Sleep(300);
  EXPECT_FALSE(released) << "the log was destroyed under a notification that reads its policy";
  doubles_->HoldReads(false);
  releaser.join();
  notifier.join();
  EXPECT_EQ(called, 1);
  EXPECT_EQ(notified, S_OK);
  EXPECT_EQ(doubles_->Calls(), kLookupCalls + ";" + kRead + kClose);
  EXPECT_EQ(doubles_->Subscriptions(), 0);
}

// Logs are created, used and released on several threads while the directory
// keeps notifying from two other threads.
TEST_F(AuditPolicy, NotificationsRacingTheDestructionOfLogsTouchNothingFreed) {
  const LONG locksBefore = ModuleLockCount();
  std::atomic<long> logs{0}, failures{0}, notifications{0};
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  std::vector<std::thread> workers;
  // Workers 0 and 1 notify; 2 to 4 create, use and release logs.
  for (int w = 0; w < 5; ++w) {
    workers.emplace_back([&, w] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      for (int i = 0; std::chrono::steady_clock::now() < end; ++i) {
        if (w < 2) {
          const LONG called = doubles_->Notify(L"$AuditPolicies");
          notifications += called;
          if (called == 0) Sleep(0);
          continue;
        }
        ComPtr<ITAVDiagnosticLogEx> log = NewLog((w + i) % 2 ? kSecondary : kPrimary);
        if (!log || FAILED(LogChain(log.get(), {{kAudit, L"entry"}, {kInfo, L"detail"}}))) ++failures;
        // Released by another thread than the one that made it.
        if (i % 3 == 0) std::thread([moved = std::move(log)]() mutable { moved.reset(); }).join();
        ++logs;
      }
      CoUninitialize();
    });
  }
  // Meanwhile the policy flips.
  for (int i = 0; std::chrono::steady_clock::now() < end; ++i) {
    doubles_->SetBool(L"AuditingEnabled", i % 2 == 0);
    Sleep(5);
  }
  for (std::thread& worker : workers) worker.join();

  EXPECT_GT(logs.load(), 10);
  EXPECT_GT(notifications.load(), 0);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(doubles_->Subscriptions(), 0);
  EXPECT_EQ(doubles_->LiveObjects(), 0);
  EXPECT_EQ(doubles_->Calls().find('!'), std::string::npos) << "a directory call broke its rules";
  for (const std::string& chain : Delivered())
    EXPECT_TRUE(chain == "4 detail" || chain == "8 entry>4 detail") << chain;
  mgr_.reset();
  EXPECT_EQ(ModuleLockCount(), locksBefore - 1) << "the manager went, and every log, item and sink before it";
}

// --- The policy holder on its own.

// Records the task allocations made while it is registered and not yet freed.
class AllocationSpy final : public IMallocSpy {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    *ppv = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMallocSpy) ? this : nullptr;
    return *ppv ? S_OK : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP_(SIZE_T) PreAlloc(SIZE_T cbRequest) override { return cbRequest; }
  STDMETHODIMP_(void*) PostAlloc(void* pActual) override { return Track(pActual, true); }
  STDMETHODIMP_(void*) PreFree(void* pRequest, BOOL) override { return Track(pRequest, false); }
  STDMETHODIMP_(void) PostFree(BOOL) override {}
  STDMETHODIMP_(SIZE_T) PreRealloc(void* pRequest, SIZE_T cbRequest, void** ppNewRequest, BOOL) override {
    *ppNewRequest = Track(pRequest, false);
    return cbRequest;
  }
  STDMETHODIMP_(void*) PostRealloc(void* pActual, BOOL) override { return Track(pActual, true); }
  STDMETHODIMP_(void*) PreGetSize(void* pRequest, BOOL) override { return pRequest; }
  STDMETHODIMP_(SIZE_T) PostGetSize(SIZE_T cbActual, BOOL) override { return cbActual; }
  STDMETHODIMP_(void*) PreDidAlloc(void* pRequest, BOOL) override { return pRequest; }
  STDMETHODIMP_(int) PostDidAlloc(void*, BOOL, int fActual) override { return fActual; }
  STDMETHODIMP_(void) PreHeapMinimize() override {}
  STDMETHODIMP_(void) PostHeapMinimize() override {}

  size_t Outstanding() {
    std::lock_guard<std::mutex> hold(lock_);
    return outstanding_.size();
  }

 private:
  void* Track(void* block, bool allocated) {
    std::lock_guard<std::mutex> hold(lock_);
    if (allocated && block) outstanding_.insert(block);
    if (!allocated) outstanding_.erase(block);
    return block;
  }
  std::mutex lock_;
  std::set<void*> outstanding_;
};

TEST_F(AuditPolicy, HolderReadsPoliciesByNameOnlyFromBooleansAndFreesTheBlock) {
  unique_hmodule library(LoadLibraryW((BinDir() + L"TAVDiagnostics.dll").c_str()));
  ASSERT_TRUE(library);
  EXPECT_NE(GetProcAddress(library.get(), "_ZN2hv18CHVDSystemPoliciesC1ERKS0_"), nullptr);
  EXPECT_NE(GetProcAddress(library.get(), "_ZN2hv18CHVDSystemPoliciesaSERKS0_"), nullptr);

  doubles_->Reset();
  // 1 is not VARIANT_TRUE: it reads as false.
  doubles_->SetValue(L"auditingENABLED", VT_BOOL, 1);
  // Not a boolean: the policy keeps its value.
  doubles_->SetValue(L"AuditAccessGranted", VT_I4, -1);
  doubles_->SetValue(L"AUDITACCESSDENIED", VT_BOOL, VARIANT_TRUE);
  doubles_->SetValue(L"AuditSomethingElse", VT_BOOL, VARIANT_FALSE);
  doubles_->SetValue(L"Comment", VT_BSTR, 0, L"a value that has to be cleared");

  ComPtr<CTAVDiagnosticLog> log = MakeObject<CTAVDiagnosticLog>();
  CHVDSystemPolicies policies;
  policies.Init(kSecondary.c_str(), L"token-1", log.get());
  ASSERT_EQ(policies.OpenSystemObject(), S_OK);
  SetOaNoCache();  // freed strings go back to the task allocator at once
  AllocationSpy spy;
  ASSERT_EQ(CoRegisterMallocSpy(&spy), S_OK);
  EXPECT_EQ(policies.ReadPolicies(), S_OK);
  EXPECT_EQ(spy.Outstanding(), 0u) << "task-allocated pieces left after a read";
  doubles_->Fail(doubles::kReadProperties, 1, E_ACCESSDENIED);
  EXPECT_EQ(policies.ReadPolicies(), S_OK) << "a failed read keeps the values and is no failure";
  EXPECT_EQ(spy.Outstanding(), 0u);
  CoRevokeMallocSpy();

  HRESULT hr = E_FAIL;
  EXPECT_FALSE(policies.GetAuditingEnabled(&hr));
  EXPECT_EQ(hr, S_OK);
  EXPECT_FALSE(log->AuditingEnabled()) << "the log follows the policy";
  EXPECT_FALSE(policies.GetAuditAccessGranted());
  EXPECT_TRUE(policies.GetAuditAccessDenied());
  const LONG defaults[] = {0, 0, 0, 1, 3, 8, 6, 7, 42, 14, 3, 5};
  for (int i = 0; i < CHVDSystemPolicies::kFurtherPolicyCount; ++i)
    EXPECT_EQ(policies.GetFurtherPolicy(i), defaults[i]) << i;
  EXPECT_EQ(policies.GetFurtherPolicy(12), 0);
  // Read once more for the first getter, and then no more.
  EXPECT_EQ(doubles_->Calls(), "CreateDirectory;ResolveName($System);" + kRead + ";" + kRead + ";" +
                                   kLoad.substr(37));

  policies.SetAuditingEnabled(true);
  EXPECT_TRUE(log->AuditingEnabled());
  policies.DetachLog();
  policies.SetAuditingEnabled(false);
  EXPECT_TRUE(log->AuditingEnabled()) << "a detached holder writes nothing into the log";
}

TEST_F(AuditPolicy, HolderTriesAFailedLookupAgainButAFailedConnectionIsFinalAndPassesOnlyFailuresOn) {
  const struct {
    doubles::Operation failing;
    bool secondAuditing;
    HRESULT secondResult;
    std::string calls;
  } cases[] = {
      {doubles::kResolveName, false, S_OK, "CreateDirectory;ResolveName($System);" + kLoad.substr(16)},
      // The connection keeps its failure and never asks the directory again.
      {doubles::kCreateDirectory, true, E_ACCESSDENIED, "CreateDirectory"},
  };
  for (const auto& c : cases) {
    ResetDoubles();
    doubles_->Fail(c.failing, 1, E_ACCESSDENIED);
    CHVDSystemPolicies policies;
    policies.Init(kSecondary.c_str(), L"token-1", nullptr);
    HRESULT hr = S_OK;
    EXPECT_TRUE(policies.GetAuditingEnabled(&hr)) << "the default while nothing is read";
    EXPECT_EQ(hr, E_ACCESSDENIED);
    EXPECT_EQ(doubles_->Subscriptions(), 0);
    EXPECT_EQ(policies.GetAuditingEnabled(&hr), c.secondAuditing);
    EXPECT_EQ(hr, c.secondResult);
    EXPECT_EQ(doubles_->Calls(), c.calls);
  }
}

TEST_F(AuditPolicy, HolderCopiesShareTheSubscriptionButOnlyTheOriginalGivesItBack) {
  auto original = std::make_unique<CHVDSystemPolicies>();
  original->Init(kSecondary.c_str(), L"token-1", nullptr);
  EXPECT_FALSE(original->GetAuditingEnabled());
  ASSERT_EQ(doubles_->Subscriptions(), 1);
  {
    CHVDSystemPolicies copy(*original);
    EXPECT_FALSE(copy.GetAuditingEnabled()) << "the copy has the values, already loaded";
    EXPECT_EQ(copy.GetFurtherPolicy(8), 42);
  }
  EXPECT_EQ(doubles_->Calls(), kLoad) << "a copy neither reads nor gives anything back";
  EXPECT_EQ(doubles_->Subscriptions(), 1);

  // A holder with a subscription of its own gives it back when it is
  // assigned another's state.
  CHVDSystemPolicies assigned;
  assigned.Init(kPrimary.c_str(), L"token-1", nullptr);
  EXPECT_FALSE(assigned.GetAuditingEnabled());
  EXPECT_EQ(doubles_->Subscriptions(), 2);
  assigned = *original;
  EXPECT_EQ(doubles_->Subscriptions(), 1);
  EXPECT_EQ(doubles_->Calls(), kLoad + ";" + kLoad + kClose);

  // Notifications reach the original only.
  doubles_->SetBool(L"AuditingEnabled", true);
  EXPECT_EQ(doubles_->Notify(L"$AuditPolicies"), 1);
  EXPECT_TRUE(original->GetAuditingEnabled());
  EXPECT_FALSE(assigned.GetAuditingEnabled());

  const LONG live = doubles_->LiveObjects();
  original.reset();
  EXPECT_EQ(doubles_->Subscriptions(), 0);
  EXPECT_EQ(doubles_->LiveObjects(), live) << "the copy still holds the shared connection";
  EXPECT_EQ(doubles_->Notify(L"$AuditPolicies"), 0);
  EXPECT_FALSE(assigned.GetAuditingEnabled());
  assigned = assigned;
  EXPECT_FALSE(assigned.GetAuditingEnabled()) << "assigned to itself, unchanged";
}

}  // namespace
}  // namespace hv
