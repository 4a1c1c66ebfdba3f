// The system audit policy as a log meets it: which locations ask the
// security directory, how the directory's "AuditingEnabled" filters what
// reaches the Mux, how change notifications switch it, what failures leave
// behind, the connection retry schedule, and notifications that race the
// destruction of the log. The directory and the authority are the doubles of
// SecurityDoubles.dll; the Mux is TestMux.dll, which keeps every item posted.
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/ModuleLock.h"
#include "item/CTAVDiagnosticLogItem.h"
#include "log/CTAVDiagnosticLog.h"
#include "log/DirectoryClient.h"
#include "log/SecurityInterfaces.h"
#include "mgr/CTAVDiagnosticLogMgr.h"
#include "securitydoubles/SecurityDoublesControl.h"
#include "support/TestSupport.h"
#include "testmux/TestMuxControl.h"

namespace hv {
namespace {

using test::BinDir;
using test::ComTest;
using test::Narrow;

constexpr long kAudit = TAVDiagSeverity_Audit;
constexpr long kInfo = TAVDiagSeverity_Info;
constexpr long kWarning = TAVDiagSeverity_Warning;
constexpr long kError = TAVDiagSeverity_Error;

std::wstring GuidString(const GUID& guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

const std::string kPrimaryText = Narrow(GuidString(kPrimaryDirectoryId));
const std::string kLookupCalls = "CreateAuthority;GetCredential(" + kPrimaryText +
                                 ",operator);CreateDirectory;ResolveName($System);"
                                 "ReadProperties($Policies/$SystemPolicies/$AuditPolicies);"
                                 "CreateDirectory;Subscribe";
const std::string kRead = "ReadProperties($Policies/$SystemPolicies/$AuditPolicies)";

// The waits of the directory connection, as the client asked for them.
struct RetryWaits {
  std::mutex mutex;
  std::vector<DWORD> waits;
  std::vector<DWORD> threads;
};
RetryWaits g_retryWaits;

void RecordRetryWait(DWORD milliseconds) {
  std::lock_guard<std::mutex> lock(g_retryWaits.mutex);
  g_retryWaits.waits.push_back(milliseconds);
  g_retryWaits.threads.push_back(GetCurrentThreadId());
}

struct Level {
  long severity;
  const wchar_t* text;
};

class AuditPolicy : public ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    doubles_ = std::make_unique<SecurityDoublesLibrary>(BinDir() + L"SecurityDoubles.dll");
    ASSERT_TRUE(doubles_->ok()) << std::hex << doubles_->registration();
    doubles_->Reset();
    mux_ = std::make_unique<TestMuxLibrary>(BinDir() + L"TestMux.dll");
    ASSERT_TRUE(mux_->ok()) << std::hex << mux_->registration();
    mux_->Reset();
    {
      std::lock_guard<std::mutex> lock(g_retryWaits.mutex);
      g_retryWaits.waits.clear();
      g_retryWaits.threads.clear();
    }
    DirectoryClient::SetRetryWaitForTesting(&RecordRetryWait);
    ComPtr<CTAVDiagnosticLogMgr> manager = MakeObject<CTAVDiagnosticLogMgr>();
    ASSERT_TRUE(manager);
    mgr_ = ComPtr<ITAVDiagnosticLogMgrEx>(static_cast<ITAVDiagnosticLogMgrEx*>(manager.get()));
  }
  void TearDown() override {
    mgr_.reset();
    DirectoryClient::SetRetryWaitForTesting(nullptr);
    if (doubles_ && doubles_->ok()) doubles_->Reset();
    doubles_.reset();
    mux_.reset();
    ComTest::TearDown();
  }

  // Items of the registered library instead of this program's own copy.
  void UseRegisteredLibrary() {
    mgr_.reset();
    ASSERT_EQ(test::CreateManager(mgr_.put()), S_OK);
  }

  ComPtr<ITAVDiagnosticLogEx> NewLog(const std::wstring& location) {
    unique_bstr l(SysAllocString(location.c_str()));
    unique_bstr p(SysAllocString(L"Access control"));
    ComPtr<ITAVDiagnosticLog> log;
    EXPECT_EQ(mgr_->CreateTAVDiagnosticLog(l.get(), p.get(), log.put()), S_OK);
    ComPtr<ITAVDiagnosticLogEx> ex;
    if (log) {
      EXPECT_EQ(log.query(&ex), S_OK);
    }
    return ex;
  }

  static ComPtr<ITAVDiagnosticLogItemEx> Build(ITAVDiagnosticLogEx* log, long severity, const wchar_t* text,
                                              const wchar_t* location = nullptr) {
    unique_variant message;
    V_VT(message.get()) = VT_BSTR;
    V_BSTR(message.get()) = SysAllocString(text);
    unique_bstr user(SysAllocString(L"operator"));
    unique_bstr itemLocation(location ? SysAllocString(location) : nullptr);
    ComPtr<ITAVDiagnosticLogItemEx> item;
    EXPECT_EQ(log->BuildItemEx(nullptr, user.get(), static_cast<TAVDiagSeverity>(severity), TAVDiagAudience_Op, 0,
                               *message.get(), nullptr, itemLocation.get(), nullptr, item.put()),
              S_OK);
    return item;
  }

  // Builds the chain top item first, links it bottom up (a child is stored
  // by value) and delivers the top item.
  static HRESULT LogChain(ITAVDiagnosticLogEx* log, const std::vector<Level>& levels) {
    std::vector<ComPtr<ITAVDiagnosticLogItemEx>> items;
    for (const Level& level : levels) items.push_back(Build(log, level.severity, level.text));
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
      ComPtr<IStream> body;
      EXPECT_EQ(message->QueryInterface(IID_IStream, body.put_void()), S_OK);
      ComPtr<CTAVDiagnosticLogItem> item = MakeObject<CTAVDiagnosticLogItem>();
      EXPECT_EQ(item->Load(body.get()), S_OK);
      std::string chain;
      for (ComPtr<CTAVDiagnosticLogItem> level = item; level;) {
        if (!chain.empty()) chain += ">";
        chain += std::to_string(level->Severity()) + " " + Narrow(level->MessageText());
        ComPtr<IUnknown> child;
        level->GetChild(child.put());
        level = CTAVDiagnosticLogItem::FromInterface(child.get());
      }
      chains.push_back(chain);
    }
    seen_ = count;
    return chains;
  }

  // A log of the secondary directory with auditing off whose first audit
  // item, built on a thread of its own, is held inside the policy lookup.
  std::thread StartHeldLookup(ComPtr<ITAVDiagnosticLogEx>* log) {
    doubles_->SetBool(L"AuditingEnabled", false);
    doubles_->HoldReads(TRUE);
    *log = NewLog(GuidString(kSecondaryDirectoryId));
    std::thread first([held = *log] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      Build(held.get(), kAudit, L"first");
      CoUninitialize();
    });
    EXPECT_TRUE(doubles_->WaitForHeldRead(10000));
    return first;
  }

  std::unique_ptr<SecurityDoublesLibrary> doubles_;
  std::unique_ptr<TestMuxLibrary> mux_;
  ComPtr<ITAVDiagnosticLogMgrEx> mgr_;
  LONG seen_ = 0;
};

using Chains = std::vector<std::string>;

TEST_F(AuditPolicy, LocationsThatAreNotDirectoryIdsNeverContactTheAuthorityOrTheDirectory) {
  // Were the doubles asked, they would switch auditing off.
  doubles_->SetBool(L"AuditingEnabled", false);
  const std::wstring someGuid = L"{6B29FC40-CA47-1067-B31D-00DD010662DA}";
  for (const std::wstring& location : {std::wstring(L"PUMPHOUSE-3"), std::wstring(L"Line 3"), someGuid,
                                       GuidString(kSecondaryDirectoryId).substr(1, 36)}) {
    SCOPED_TRACE(Narrow(location));
    ComPtr<ITAVDiagnosticLogEx> log = NewLog(location);
    ASSERT_TRUE(log);
    ASSERT_EQ(LogChain(log.get(), {{kAudit, L"door opened"}, {kAudit, L"badge read"}, {kInfo, L"detail"}}), S_OK);
    ASSERT_EQ(LogChain(log.get(), {{kAudit, L"door closed"}}), S_OK);
    EXPECT_EQ(Delivered(), Chains({"8 door opened>8 badge read>4 detail", "8 door closed"}));
    ComPtr<CTAVDiagnosticLog> own = CTAVDiagnosticLog::FromInterface(log.get());
    ASSERT_TRUE(own);
    EXPECT_TRUE(own->PolicyLookupDone());
    EXPECT_TRUE(own->AuditingEnabled());
  }
  EXPECT_EQ(doubles_->Calls(), "");
  EXPECT_EQ(doubles_->LiveObjects(), 0);

  // An item may name its own location: the first audit item's location is
  // the one asked about, and a machine name there asks nothing either.
  ComPtr<ITAVDiagnosticLogEx> log = NewLog(GuidString(kSecondaryDirectoryId));
  ComPtr<ITAVDiagnosticLogItemEx> item = Build(log.get(), kAudit, L"remote", L"GATEHOUSE");
  ASSERT_EQ(log->LogThisItemEx(item.get(), VARIANT_FALSE, 0), S_OK);
  EXPECT_EQ(Delivered(), Chains({"8 remote"}));
  EXPECT_EQ(doubles_->Calls(), "");
}

TEST_F(AuditPolicy, SecondaryDirectoryWithAuditingOffDeliversOnlyNonAuditItems) {
  doubles_->SetBool(L"AuditingEnabled", false);
  doubles_->SetToken(L"tok-4711");
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "this program's copy of the library" : "the registered library");
    if (round == 1) UseRegisteredLibrary();
    doubles_->Reset();
    doubles_->SetBool(L"AuditingEnabled", false);
    doubles_->SetToken(L"tok-4711");
    // The string form of the id, in any letter case.
    std::wstring location = GuidString(kSecondaryDirectoryId);
    for (wchar_t& c : location) c = static_cast<wchar_t>(towlower(c));
    ComPtr<ITAVDiagnosticLogEx> log = NewLog(location);
    ASSERT_TRUE(log);

    EXPECT_EQ(LogChain(log.get(), {{kAudit, L"door opened"}, {kInfo, L"detail"}}), S_OK);
    EXPECT_EQ(doubles_->Calls(), kLookupCalls);
    EXPECT_EQ(LogChain(log.get(), {{kAudit, L"alone"}}), S_OK) << "dropped, not failed";
    EXPECT_EQ(LogChain(log.get(), {{kAudit, L"a"}, {kAudit, L"b"}, {kAudit, L"c"}}), S_OK);
    EXPECT_EQ(LogChain(log.get(), {{kAudit, L"a"}, {kAudit, L"b"}, {kError, L"jam"}, {kAudit, L"d"}}), S_OK);
    EXPECT_EQ(LogChain(log.get(), {{kInfo, L"shift"}, {kAudit, L"x"}, {kWarning, L"w"}, {kAudit, L"y"}}), S_OK);
    EXPECT_EQ(LogChain(log.get(), {{kWarning, L"plain"}}), S_OK);
    EXPECT_EQ(Delivered(), Chains({"4 detail", "1 jam", "4 shift>2 w", "2 plain"}));
    EXPECT_EQ(doubles_->Calls(), kLookupCalls) << "asked once per log";

    // Every directory call names the caller, the resource and the token.
    SecDoublesContext context = {};
    ASSERT_TRUE(doubles_->LastContext(&context));
    EXPECT_TRUE(IsEqualGUID(context.resourceId, kSecondaryDirectoryId));
    EXPECT_STREQ(context.token, L"tok-4711");
    EXPECT_STREQ(context.applicationName, L"HVAuthenticationProvider");
    EXPECT_EQ(context.processId, GetCurrentProcessId());
    EXPECT_EQ(doubles_->Subscriptions(), 1);

    // The log lets go of everything it took from the doubles when it goes.
    log.reset();
    EXPECT_EQ(doubles_->Calls(), kLookupCalls + ";Unsubscribe;ReleaseObject");
    EXPECT_EQ(doubles_->Subscriptions(), 0);
    EXPECT_EQ(doubles_->LiveObjects(), 0);
  }
}

TEST_F(AuditPolicy, AuditPoliciesNotificationSwitchesAuditingWithoutANewLookup) {
  doubles_->SetBool(L"AuditingEnabled", false);
  ComPtr<ITAVDiagnosticLogEx> log = NewLog(GuidString(kPrimaryDirectoryId));
  ASSERT_EQ(LogChain(log.get(), {{kAudit, L"before"}, {kInfo, L"detail"}}), S_OK);
  EXPECT_EQ(Delivered(), Chains({"4 detail"}));

  doubles_->SetBool(L"AuditingEnabled", true);
  HRESULT result = E_FAIL;
  EXPECT_EQ(doubles_->Notify(L"$AuditPolicies", &result), 1);
  EXPECT_EQ(result, S_OK);
  ASSERT_EQ(LogChain(log.get(), {{kAudit, L"after"}, {kInfo, L"detail"}}), S_OK);
  EXPECT_EQ(Delivered(), Chains({"8 after>4 detail"}));

  // The other policy object counts too, in any letter case.
  doubles_->SetBool(L"AuditingEnabled", false);
  EXPECT_EQ(doubles_->Notify(L"$SECURITYpolicies", &result), 1);
  ASSERT_EQ(LogChain(log.get(), {{kAudit, L"off again"}, {kInfo, L"detail"}}), S_OK);
  EXPECT_EQ(Delivered(), Chains({"4 detail"}));

  EXPECT_EQ(doubles_->Calls(), kLookupCalls + ";" + kRead + ";" + kRead);
  EXPECT_EQ(doubles_->CallCount(SecDoublesOp_CreateAuthority), 1);
}

TEST_F(AuditPolicy, NotificationsOfOtherObjectsChangeNothing) {
  doubles_->SetBool(L"AuditingEnabled", false);
  ComPtr<ITAVDiagnosticLogEx> log = NewLog(GuidString(kSecondaryDirectoryId));
  ASSERT_EQ(LogChain(log.get(), {{kAudit, L"first"}}), S_OK);
  EXPECT_EQ(Delivered(), Chains());

  doubles_->SetBool(L"AuditingEnabled", true);
  for (const wchar_t* name : {L"$System", L"", static_cast<const wchar_t*>(nullptr), L"$AuditPolicies2",
                              L"$Policies/$SystemPolicies/$AuditPolicies", L"AuditPolicies"}) {
    SCOPED_TRACE(name ? Narrow(name) : "null");
    HRESULT result = E_FAIL;
    EXPECT_EQ(doubles_->Notify(name, &result), 1);
    EXPECT_EQ(result, S_OK);
  }
  ASSERT_EQ(LogChain(log.get(), {{kAudit, L"still off"}, {kWarning, L"kept"}}), S_OK);
  EXPECT_EQ(Delivered(), Chains({"2 kept"}));
  EXPECT_EQ(doubles_->Calls(), kLookupCalls) << "nothing read again";
}

TEST_F(AuditPolicy, EveryFailureOfTheAuthorityOrTheDirectoryLeavesAuditingOn) {
  struct Case {
    const char* what;
    LONG operation;
    HRESULT hr;
    std::string calls;
    std::string onClose;  // what the log's destruction adds
  };
  const std::string credential = "CreateAuthority;GetCredential(" + kPrimaryText + ",operator)";
  const Case cases[] = {
      {"authority cannot be created", SecDoublesOp_CreateAuthority, E_ACCESSDENIED, "CreateAuthority", ""},
      {"no credential", SecDoublesOp_GetCredential, E_ACCESSDENIED, credential, ""},
      {"directory cannot be reached", SecDoublesOp_CreateDirectory, HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE),
       credential + ";CreateDirectory", ""},
      {"no system object", SecDoublesOp_ResolveName, E_ACCESSDENIED,
       credential + ";CreateDirectory;ResolveName($System)", ";ReleaseObject"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    doubles_->Reset();
    doubles_->SetBool(L"AuditingEnabled", false);
    doubles_->Fail(c.operation, -1, c.hr);
    ComPtr<ITAVDiagnosticLogEx> log = NewLog(GuidString(kSecondaryDirectoryId));
    ASSERT_EQ(LogChain(log.get(), {{kAudit, L"entry"}, {kInfo, L"detail"}}), S_OK);
    EXPECT_EQ(Delivered(), Chains({"8 entry>4 detail"}));
    EXPECT_EQ(doubles_->Calls(), c.calls);
    ASSERT_EQ(LogChain(log.get(), {{kAudit, L"entry 2"}}), S_OK);
    EXPECT_EQ(Delivered(), Chains({"8 entry 2"}));
    EXPECT_EQ(doubles_->Calls(), c.calls) << "the log asks once";
    log.reset();
    EXPECT_EQ(doubles_->Calls(), c.calls + c.onClose);
    EXPECT_EQ(doubles_->LiveObjects(), 0);
  }
  std::lock_guard<std::mutex> lock(g_retryWaits.mutex);
  EXPECT_TRUE(g_retryWaits.waits.empty()) << "only a server that fails to start is waited for";
}

TEST_F(AuditPolicy, AFailedPropertyReadLeavesAuditingOnUntilAChangeIsNotified) {
  doubles_->SetBool(L"AuditingEnabled", false);
  doubles_->Fail(SecDoublesOp_ReadProperties, 1, E_ACCESSDENIED);
  ComPtr<ITAVDiagnosticLogEx> log = NewLog(GuidString(kSecondaryDirectoryId));
  ASSERT_EQ(LogChain(log.get(), {{kAudit, L"entry"}, {kInfo, L"detail"}}), S_OK);
  EXPECT_EQ(Delivered(), Chains({"8 entry>4 detail"}));
  // A failed read counts as read: the holder subscribes all the same, and
  // the next change brings the policy in.
  EXPECT_EQ(doubles_->Calls(), kLookupCalls);
  EXPECT_EQ(doubles_->Notify(L"$AuditPolicies", nullptr), 1);
  ASSERT_EQ(LogChain(log.get(), {{kAudit, L"entry"}, {kInfo, L"detail"}}), S_OK);
  EXPECT_EQ(Delivered(), Chains({"4 detail"}));
}

TEST_F(AuditPolicy, EightServerStartFailuresGiveTheWholeScheduleAndLeaveAuditingOn) {
  doubles_->SetBool(L"AuditingEnabled", false);
  doubles_->Fail(SecDoublesOp_CreateDirectory, 8, CO_E_SERVER_EXEC_FAILURE);
  ComPtr<ITAVDiagnosticLogEx> log = NewLog(GuidString(kSecondaryDirectoryId));
  ASSERT_EQ(LogChain(log.get(), {{kAudit, L"entry"}, {kInfo, L"detail"}}), S_OK);
  EXPECT_EQ(Delivered(), Chains({"8 entry>4 detail"}));
  {
    std::lock_guard<std::mutex> lock(g_retryWaits.mutex);
    EXPECT_EQ(g_retryWaits.waits, std::vector<DWORD>({10000, 20000, 40000, 80000, 160000, 320000, 640000}));
    DWORD total = 0;
    for (DWORD wait : g_retryWaits.waits) total += wait;
    EXPECT_EQ(total, 1270000u);
    // The lookup runs on the thread that built the first audit item.
    for (DWORD thread : g_retryWaits.threads) EXPECT_EQ(thread, GetCurrentThreadId());
  }
  EXPECT_EQ(doubles_->CallCount(SecDoublesOp_CreateDirectory), 8);
  EXPECT_EQ(doubles_->CallCount(SecDoublesOp_ResolveName), 0);
  EXPECT_EQ(doubles_->Subscriptions(), 0);
  // The log asked once; the directory may have started meanwhile, but the
  // log keeps auditing on.
  ASSERT_EQ(LogChain(log.get(), {{kAudit, L"later"}}), S_OK);
  EXPECT_EQ(Delivered(), Chains({"8 later"}));
  EXPECT_EQ(doubles_->CallCount(SecDoublesOp_CreateDirectory), 8);
}

TEST_F(AuditPolicy, AServerThatStartsOnTheLastRetryIsUsed) {
  doubles_->SetBool(L"AuditingEnabled", false);
  doubles_->Fail(SecDoublesOp_CreateDirectory, 7, CO_E_SERVER_EXEC_FAILURE);
  ComPtr<ITAVDiagnosticLogEx> log = NewLog(GuidString(kPrimaryDirectoryId));
  ASSERT_EQ(LogChain(log.get(), {{kAudit, L"entry"}, {kInfo, L"detail"}}), S_OK);
  EXPECT_EQ(Delivered(), Chains({"4 detail"}));
  std::lock_guard<std::mutex> lock(g_retryWaits.mutex);
  EXPECT_EQ(g_retryWaits.waits.size(), 7u);
  EXPECT_EQ(doubles_->CallCount(SecDoublesOp_CreateDirectory), 9) << "eight for the policies, one to subscribe";
  EXPECT_EQ(doubles_->Subscriptions(), 1);
}

TEST_F(AuditPolicy, OnlyOneThreadLooksUpAndTheOthersDoNotWaitForIt) {
  ComPtr<ITAVDiagnosticLogEx> log;
  std::thread first = StartHeldLookup(&log);
  // The lookup is under way and held inside the directory: other threads
  // build audit items at once, with auditing still on.
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(LogChain(log.get(), {{kAudit, L"meanwhile"}, {kInfo, L"detail"}}), S_OK);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(Delivered(), Chains({"8 meanwhile>4 detail"}));
  doubles_->HoldReads(FALSE);
  first.join();
  EXPECT_EQ(doubles_->CallCount(SecDoublesOp_CreateAuthority), 1);
  ASSERT_EQ(LogChain(log.get(), {{kAudit, L"after"}, {kInfo, L"detail"}}), S_OK);
  EXPECT_EQ(Delivered(), Chains({"4 detail"}));
}

TEST_F(AuditPolicy, ALookupOvertakenByInitLeavesTheNewBindingAlone) {
  ComPtr<ITAVDiagnosticLogEx> log;
  std::thread first = StartHeldLookup(&log);
  // Re-bound to a machine while the old lookup is held, and the new
  // binding's own lookup done: the old policy must not attach afterwards.
  ASSERT_EQ(log->Init(unique_bstr(SysAllocString(L"PUMPHOUSE-3")).get(),
                      unique_bstr(SysAllocString(L"Access control")).get()),
            S_OK);
  Build(log.get(), kAudit, L"new binding");
  doubles_->HoldReads(FALSE);
  first.join();
  ASSERT_EQ(LogChain(log.get(), {{kAudit, L"after"}, {kInfo, L"detail"}}), S_OK);
  EXPECT_EQ(Delivered(), Chains({"8 after>4 detail"}));
}

TEST_F(AuditPolicy, ReInitDropsThePolicyAndTheNextAuditItemAsksAgain) {
  doubles_->SetBool(L"AuditingEnabled", false);
  ComPtr<ITAVDiagnosticLogEx> log = NewLog(GuidString(kSecondaryDirectoryId));
  ASSERT_EQ(LogChain(log.get(), {{kAudit, L"entry"}, {kInfo, L"detail"}}), S_OK);
  EXPECT_EQ(Delivered(), Chains({"4 detail"}));
  unique_bstr location(SysAllocString(L"PUMPHOUSE-3"));
  unique_bstr provider(SysAllocString(L"Access control"));
  ASSERT_EQ(log->Init(location.get(), provider.get()), S_OK);
  EXPECT_EQ(doubles_->Calls(), kLookupCalls + ";Unsubscribe;ReleaseObject");
  // A notification for the old binding reaches nothing any more.
  EXPECT_EQ(doubles_->Notify(L"$AuditPolicies", nullptr), 0);
  ASSERT_EQ(LogChain(log.get(), {{kAudit, L"entry"}, {kInfo, L"detail"}}), S_OK);
  EXPECT_EQ(Delivered(), Chains({"8 entry>4 detail"}));

  location.reset(SysAllocString(GuidString(kPrimaryDirectoryId).c_str()));
  ASSERT_EQ(log->Init(location.get(), provider.get()), S_OK);
  doubles_->Reset();
  doubles_->SetBool(L"AuditingEnabled", false);
  ASSERT_EQ(LogChain(log.get(), {{kAudit, L"entry"}, {kInfo, L"detail"}}), S_OK);
  EXPECT_EQ(Delivered(), Chains({"4 detail"}));
  EXPECT_EQ(doubles_->Calls(), kLookupCalls);
}

// A notification in progress when the log goes: the log's destruction waits
// for it, and the notification finishes on a holder that is still alive.
TEST_F(AuditPolicy, DestructionWaitsForANotificationInProgress) {
  doubles_->SetBool(L"AuditingEnabled", false);
  ComPtr<ITAVDiagnosticLogEx> log = NewLog(GuidString(kSecondaryDirectoryId));
  ASSERT_EQ(LogChain(log.get(), {{kAudit, L"entry"}}), S_OK);
  doubles_->HoldReads(TRUE);
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
  doubles_->HoldReads(FALSE);
  releaser.join();
  notifier.join();
  EXPECT_EQ(called, 1);
  EXPECT_EQ(notified, S_OK);
  EXPECT_EQ(doubles_->Calls(), kLookupCalls + ";" + kRead + ";Unsubscribe;ReleaseObject");
  EXPECT_EQ(doubles_->Subscriptions(), 0);
}

// Logs are created, used and released on several threads while the directory
// keeps notifying from two threads of its own.
TEST_F(AuditPolicy, NotificationsRacingTheDestructionOfLogsTouchNothingFreed) {
  const LONG locksBefore = ModuleLockCount();
  doubles_->SetBool(L"AuditingEnabled", false);
  doubles_->StartNotifying(L"$AuditPolicies", 2);
  std::atomic<long> logs{0};
  std::atomic<long> failures{0};
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  std::vector<std::thread> workers;
  for (int w = 0; w < 3; ++w) {
    workers.emplace_back([&, w] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      for (int i = 0; std::chrono::steady_clock::now() < end; ++i) {
        ComPtr<ITAVDiagnosticLogEx> log =
            NewLog(GuidString((w + i) % 2 ? kSecondaryDirectoryId : kPrimaryDirectoryId));
        if (!log || FAILED(LogChain(log.get(), {{kAudit, L"entry"}, {kInfo, L"detail"}}))) ++failures;
        if (i % 3 == 0) {
          // Released by another thread than the one that made it.
          std::thread([moved = std::move(log)]() mutable { moved.reset(); }).join();
        }
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
  const LONG notifications = doubles_->StopNotifying();

  EXPECT_GT(logs.load(), 10);
  EXPECT_GT(notifications, 0);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(doubles_->Subscriptions(), 0);
  EXPECT_EQ(doubles_->LiveObjects(), 0);
  EXPECT_EQ(doubles_->Calls().find('!'), std::string::npos) << "a directory call broke its rules";
  for (const std::string& chain : Delivered())
    EXPECT_TRUE(chain == "4 detail" || chain == "8 entry>4 detail") << chain;
  mgr_.reset();
  EXPECT_EQ(ModuleLockCount(), locksBefore - 1) << "the manager went, and every log, item and sink before it";
}

}  // namespace
}  // namespace hv
