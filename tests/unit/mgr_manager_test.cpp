// The log manager without a Mux: its interfaces, the logs it creates and how
// long it lives.
#include "common/ModuleLock.h"
#include "log/CTAVDiagnosticLog.h"
#include "mgr/CTAVDiagnosticLogMgr.h"
#include "support/TestSupport.h"

namespace hv::test {
namespace {

using ManagerTest = ComTest;

TEST_F(ManagerTest, AnswersItsInterfacesButNotIDispatchItself) {
  ComPtr<ITAVDiagnosticLogMgrEx> mgr;
  ASSERT_EQ(CreateManager(mgr.put()), S_OK);
  ComPtr<IUnknown> unknown;
  EXPECT_EQ(mgr->QueryInterface(IID_ITAVDiagnosticLogMgr, unknown.put_void()), S_OK);
  EXPECT_EQ(unknown.get(), static_cast<IUnknown*>(mgr.get())) << "both manager interfaces are one";
  EXPECT_EQ(mgr->QueryInterface(IID_ITAVDiagnosticLogDisplay, unknown.put_void()), S_OK);
  EXPECT_EQ(mgr->QueryInterface(IID_IDispatch, unknown.put_void()), E_NOINTERFACE);
  EXPECT_EQ(mgr->QueryInterface(IID_IMuxSink, unknown.put_void()), E_NOINTERFACE);
  EXPECT_EQ(mgr->QueryInterface(IID_IConnectionPointContainer, unknown.put_void()), E_NOINTERFACE);
  EXPECT_EQ(mgr->ReleaseLogs(), S_OK) << "never connected";
  EXPECT_EQ(mgr->ReleaseLogs(), S_OK) << "second time";
}

TEST_F(ManagerTest, LateBoundCallsGoThroughTheTypeLibrary) {
  ComPtr<ITAVDiagnosticLogMgrEx> mgr;
  ASSERT_EQ(CreateManager(mgr.put()), S_OK);
  UINT count = 0;
  EXPECT_EQ(mgr->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  const wchar_t* names[] = {L"CreateTAVDiagnosticLog", L"ReleaseLogs", L"ReadMessages", L"GetAdaptorInfo",
                            L"ReadLocalMessages"};
  const DISPID expected[] = {1, 2, 3, 6, 7};
  for (size_t i = 0; i < 5; ++i) {
    DISPID id = 0;
    LPOLESTR name = const_cast<LPOLESTR>(names[i]);
    EXPECT_EQ(mgr->GetIDsOfNames(IID_NULL, &name, 1, 0x0409, &id), S_OK);
    EXPECT_EQ(id, expected[i]) << Narrow(names[i]);
  }
  ComPtr<ITAVDiagnosticLogDisplay> display;
  ASSERT_EQ(mgr->QueryInterface(IID_ITAVDiagnosticLogDisplay, display.put_void()), S_OK);
  DISPID id = 0;
  LPOLESTR name = const_cast<LPOLESTR>(L"GetGroupDefinition");
  EXPECT_EQ(display->GetIDsOfNames(IID_NULL, &name, 1, 0x0409, &id), S_OK);
  EXPECT_EQ(id, 2);
}

TEST_F(ManagerTest, LogsAreBoundToTheirContextAndProvider) {
  ComPtr<ITAVDiagnosticLogMgrEx> mgr;
  ASSERT_EQ(CreateManager(mgr.put()), S_OK);
  ComPtr<ITAVDiagnosticLog> first, second;
  ASSERT_EQ(mgr->CreateTAVDiagnosticLog(unique_bstr(SysAllocString(L"Line 1")).get(),
                                        unique_bstr(SysAllocString(L"Pump")).get(), first.put()),
            S_OK);
  ASSERT_EQ(mgr->CreateTAVDiagnosticLog(nullptr, nullptr, second.put()), S_OK);
  EXPECT_NE(first.get(), second.get());
  ComPtr<ITAVDiagnosticLogItem> item;
  ASSERT_EQ(first->BuildItem(nullptr, nullptr, TAVDiagnosticKind_Error, TAVDiagnosticType_Debug, 2,
                             unique_bstr(SysAllocString(L"Valve stuck")).get(), item.put()),
            S_OK);
  unique_variant value;
  ASSERT_EQ(item->GetParam(unique_bstr(SysAllocString(L"location")).get(), value.put()), S_OK);
  EXPECT_STREQ(value->bstrVal, L"Line 1");
  ASSERT_EQ(item->GetParam(unique_bstr(SysAllocString(L"provider")).get(), value.put()), S_OK);
  EXPECT_STREQ(value->bstrVal, L"Pump");
  // A log created without a context is bound to this machine.
  wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  ASSERT_TRUE(GetComputerNameW(computer, &size));
  ASSERT_EQ(second->BuildItem(nullptr, nullptr, TAVDiagnosticKind_Info, TAVDiagnosticType_User, 0, nullptr,
                              item.put()),
            S_OK);
  ASSERT_EQ(item->GetParam(unique_bstr(SysAllocString(L"location")).get(), value.put()), S_OK);
  EXPECT_STREQ(value->bstrVal, computer);
}

TEST_F(ManagerTest, ManagerLivesAsLongAsAnyOfItsLogs) {
  const LONG before = ModuleLockCount();
  ComPtr<ITAVDiagnosticLogMgrEx> mgr;
  ASSERT_EQ(CreateObject<CTAVDiagnosticLogMgr>(nullptr, IID_ITAVDiagnosticLogMgrEx, mgr.put_void()), S_OK);
  EXPECT_EQ(ModuleLockCount(), before + 1);
  ComPtr<ITAVDiagnosticLog> log;
  ASSERT_EQ(mgr->CreateTAVDiagnosticLog(nullptr, nullptr, log.put()), S_OK);
  EXPECT_EQ(ModuleLockCount(), before + 2);
  mgr.reset();
  EXPECT_EQ(ModuleLockCount(), before + 2) << "the log keeps its manager";
  log.reset();
  EXPECT_EQ(ModuleLockCount(), before) << "the last log takes its manager with it";
}

}  // namespace
}  // namespace hv::test
