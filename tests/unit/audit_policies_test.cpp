// The policy holder and its directory connection on their own: how the audit
// policies are read from the directory's property block (and the block freed),
// what a failed connection or lookup leaves for the next getter, the copies
// the library exports, and the caller context of each directory call. The
// directory is the double of SecurityDoubles.dll.
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "log/CHVDSystemPolicies.h"
#include "log/CTAVDiagnosticLog.h"
#include "log/DirectoryClient.h"
#include "log/SecurityInterfaces.h"
#include "securitydoubles/SecurityDoublesControl.h"
#include "support/TestSupport.h"

extern "C" void WINAPI SetOaNoCache(void);

namespace hv {
namespace {

using test::BinDir;
using test::ComTest;
using test::Narrow;

std::wstring GuidString(const GUID& guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

const std::string kRead = "ReadProperties($Policies/$SystemPolicies/$AuditPolicies)";
const std::string kLoad = "CreateDirectory;ResolveName($System);" + kRead + ";CreateDirectory;Subscribe";

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

class AuditPolicies : public ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    doubles_ = std::make_unique<SecurityDoublesLibrary>(BinDir() + L"SecurityDoubles.dll");
    ASSERT_TRUE(doubles_->ok()) << std::hex << doubles_->registration();
    doubles_->Reset();
  }
  void TearDown() override {
    if (doubles_ && doubles_->ok()) doubles_->Reset();
    doubles_.reset();
    ComTest::TearDown();
  }

  void SetValue(const wchar_t* name, VARTYPE type, LONG value) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = type;
    if (type == VT_BOOL)
      V_BOOL(&v) = static_cast<VARIANT_BOOL>(value);
    else
      V_I4(&v) = value;
    doubles_->SetProperty(name, &v);
  }

  std::unique_ptr<SecurityDoublesLibrary> doubles_;
  const std::wstring location_ = GuidString(kSecondaryDirectoryId);
};

TEST_F(AuditPolicies, TheLibraryExportsTheCopyConstructorAndTheCopyAssignment) {
  HMODULE library = LoadLibraryW((BinDir() + L"TAVDiagnostics.dll").c_str());
  ASSERT_NE(library, nullptr);
  EXPECT_NE(GetProcAddress(library, "_ZN2hv18CHVDSystemPoliciesC1ERKS0_"), nullptr);
  EXPECT_NE(GetProcAddress(library, "_ZN2hv18CHVDSystemPoliciesaSERKS0_"), nullptr);
  FreeLibrary(library);
}

TEST_F(AuditPolicies, PoliciesAreReadByNameAndOnlyFromBooleans) {
  ComPtr<CTAVDiagnosticLog> log = MakeObject<CTAVDiagnosticLog>();
  // 1 is not VARIANT_TRUE: it reads as false.
  SetValue(L"auditingENABLED", VT_BOOL, 1);
  // Not a boolean: the policy keeps its value.
  SetValue(L"AuditAccessGranted", VT_I4, -1);
  SetValue(L"AUDITACCESSDENIED", VT_BOOL, VARIANT_TRUE);
  SetValue(L"AuditSomethingElse", VT_BOOL, VARIANT_FALSE);
  {
    CHVDSystemPolicies policies;
    policies.Init(location_.c_str(), L"token-1", log.get());
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
    EXPECT_EQ(doubles_->Calls(), kLoad) << "read once for all getters";

    policies.SetAuditingEnabled(true);
    EXPECT_TRUE(log->AuditingEnabled());
    policies.DetachLog();
    policies.SetAuditingEnabled(false);
    EXPECT_TRUE(log->AuditingEnabled()) << "a detached holder writes nothing into the log";
  }
}

TEST_F(AuditPolicies, EveryPieceOfThePropertyBlockIsFreed) {
  SetOaNoCache();  // freed strings go back to the task allocator at once
  SetValue(L"AuditingEnabled", VT_BOOL, VARIANT_FALSE);
  SetValue(L"AuditAccessGranted", VT_BOOL, VARIANT_TRUE);
  VARIANT text;
  VariantInit(&text);
  V_VT(&text) = VT_BSTR;
  V_BSTR(&text) = SysAllocString(L"a value that has to be cleared");
  doubles_->SetProperty(L"Comment", &text);
  VariantClear(&text);

  CHVDSystemPolicies policies;
  policies.Init(location_.c_str(), L"token-1", nullptr);
  ASSERT_EQ(policies.OpenSystemObject(), S_OK);
  AllocationSpy spy;
  ASSERT_EQ(CoRegisterMallocSpy(&spy), S_OK);
  const HRESULT first = policies.ReadPolicies();
  const size_t afterFirst = spy.Outstanding();
  doubles_->Fail(SecDoublesOp_ReadProperties, 1, E_ACCESSDENIED);
  const HRESULT failed = policies.ReadPolicies();
  const size_t afterFailed = spy.Outstanding();
  CoRevokeMallocSpy();
  EXPECT_EQ(first, S_OK);
  EXPECT_EQ(afterFirst, 0u) << "task-allocated pieces left after a read";
  EXPECT_EQ(failed, S_OK) << "a failed read keeps the values and is no failure";
  EXPECT_EQ(afterFailed, 0u);
  EXPECT_FALSE(policies.GetAuditingEnabled());
  EXPECT_TRUE(policies.GetAuditAccessGranted());
}

TEST_F(AuditPolicies, AFailedLookupIsTriedAgainButAFailedConnectionIsFinal) {
  const struct {
    SecDoublesOperation failing;
    bool secondAuditing;
    HRESULT secondResult;
    std::string calls;
  } cases[] = {
      {SecDoublesOp_ResolveName, false, S_OK,
       "CreateDirectory;ResolveName($System);ResolveName($System);" + kRead + ";CreateDirectory;Subscribe"},
      // The connection keeps its failure and never asks the directory again.
      {SecDoublesOp_CreateDirectory, true, E_ACCESSDENIED, "CreateDirectory"},
  };
  for (const auto& c : cases) {
    doubles_->Reset();
    SetValue(L"AuditingEnabled", VT_BOOL, VARIANT_FALSE);
    doubles_->Fail(c.failing, 1, E_ACCESSDENIED);
    CHVDSystemPolicies policies;
    policies.Init(location_.c_str(), L"token-1", nullptr);
    HRESULT hr = S_OK;
    EXPECT_TRUE(policies.GetAuditingEnabled(&hr)) << "the default while nothing is read";
    EXPECT_EQ(hr, E_ACCESSDENIED);
    EXPECT_EQ(doubles_->Subscriptions(), 0);
    EXPECT_EQ(policies.GetAuditingEnabled(&hr), c.secondAuditing);
    EXPECT_EQ(hr, c.secondResult);
    EXPECT_EQ(doubles_->Calls(), c.calls);
  }
}

TEST_F(AuditPolicies, DirectoryCallsCarryTheCallersContextAndReportSuccessAsSOk) {
  doubles_->SetToken(L"tok-abc");
  DirectoryClient client;
  ASSERT_EQ(client.Status(), S_OK);
  GUID systemObject = GUID_NULL;
  // The double answers S_FALSE, a success code of its own.
  EXPECT_EQ(client.ResolveName(kPrimaryDirectoryId, L"tok-abc", L"$System", &systemObject), S_OK);
  EXPECT_FALSE(IsEqualGUID(systemObject, GUID_NULL));
  SecDoublesContext context = {};
  ASSERT_TRUE(doubles_->LastContext(&context));
  wchar_t computer[16] = {};
  DWORD chars = 16;
  GetComputerNameW(computer, &chars);
  EXPECT_STREQ(context.computerName, computer);
  EXPECT_TRUE(IsEqualGUID(context.reserved, GUID_NULL));
  EXPECT_EQ(context.threadId, GetCurrentThreadId());
  EXPECT_EQ(context.reserved2, 0u);

  // The thread id is the calling thread's, call by call.
  DWORD otherThread = 0;
  std::thread([&] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    otherThread = GetCurrentThreadId();
    GUID id;
    client.ResolveName(kPrimaryDirectoryId, L"tok-abc", L"$System", &id);
    CoUninitialize();
  }).join();
  ASSERT_TRUE(doubles_->LastContext(&context));
  EXPECT_EQ(context.threadId, otherThread);

  // A failure of the directory comes back unchanged.
  EXPECT_EQ(client.ResolveName(kPrimaryDirectoryId, L"tok-abc", L"$Nothing", &systemObject),
            HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
  EXPECT_EQ(doubles_->Calls().find('!'), std::string::npos) << doubles_->Calls();
}

TEST_F(AuditPolicies, CopiesShareTheSubscriptionButOnlyTheOriginalGivesItBack) {
  SetValue(L"AuditingEnabled", VT_BOOL, VARIANT_FALSE);
  auto original = std::make_unique<CHVDSystemPolicies>();
  original->Init(location_.c_str(), L"token-1", nullptr);
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
  assigned.Init(GuidString(kPrimaryDirectoryId).c_str(), L"token-1", nullptr);
  EXPECT_FALSE(assigned.GetAuditingEnabled());
  EXPECT_EQ(doubles_->Subscriptions(), 2);
  assigned = *original;
  EXPECT_EQ(doubles_->Subscriptions(), 1);
  EXPECT_EQ(doubles_->Calls(), kLoad + ";" + kLoad + ";Unsubscribe;ReleaseObject");

  // Notifications reach the original only.
  SetValue(L"AuditingEnabled", VT_BOOL, VARIANT_TRUE);
  EXPECT_EQ(doubles_->Notify(L"$AuditPolicies", nullptr), 1);
  EXPECT_TRUE(original->GetAuditingEnabled());
  EXPECT_FALSE(assigned.GetAuditingEnabled());

  const LONG live = doubles_->LiveObjects();
  original.reset();
  EXPECT_EQ(doubles_->Subscriptions(), 0);
  EXPECT_EQ(doubles_->LiveObjects(), live) << "the copy still holds the shared connection";
  EXPECT_EQ(doubles_->Notify(L"$AuditPolicies", nullptr), 0);
  EXPECT_FALSE(assigned.GetAuditingEnabled());
  assigned = assigned;
  EXPECT_FALSE(assigned.GetAuditingEnabled()) << "assigned to itself, unchanged";
}

}  // namespace
}  // namespace hv
