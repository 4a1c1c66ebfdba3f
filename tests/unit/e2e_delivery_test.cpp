// Items logged through the library reach the real Mux service and its SQLite
// store: the library, HVMux.dll and tarnhost as an application meets them.
#include <memory>
#include <string>
#include <vector>

#include "support/HostProcess.h"
#include "support/TestSupport.h"

namespace hv::test {
namespace {

class DeliveryEndToEnd : public ComTest {
 protected:
  void SetUp() override {
    if (!HostProcess::Available()) GTEST_SKIP() << "tarnhost is not built (HV_TARNHOST); nothing to deliver to";
    ComTest::SetUp();
    host_ = std::make_unique<HostProcess>(::testing::UnitTest::GetInstance()->current_test_info()->name());
    ASSERT_TRUE(host_->Start()) << host_->Log();
    ASSERT_EQ(CreateManager(mgr_.put()), S_OK);
    ComPtr<ITAVDiagnosticLog> log;
    ASSERT_EQ(mgr_->CreateTAVDiagnosticLog(Bstr(L"Line 3"), Bstr(L"Pump"), log.put()), S_OK);
    ASSERT_EQ(log.query(&log_), S_OK);
  }
  void TearDown() override {
    log_.reset();
    mgr_.reset();
    host_.reset();
    ComTest::TearDown();
  }

  BSTR Bstr(const wchar_t* text) {
    strings_.emplace_back(SysAllocString(text));
    return strings_.back().get();
  }

  ComPtr<ITAVDiagnosticLogItemEx> Build(long severity, long audience, long verbosity, const wchar_t* text,
                                        DATE* date = nullptr, const wchar_t* user = L"operator") {
    VARIANT message;
    message.vt = VT_BSTR;
    message.bstrVal = Bstr(text);
    ComPtr<ITAVDiagnosticLogItemEx> item;
    EXPECT_EQ(log_->BuildItemEx(date, Bstr(user), static_cast<TAVDiagSeverity>(severity),
                                static_cast<TAVDiagAudience>(audience), verbosity, message, nullptr, nullptr,
                                nullptr, item.put()),
              S_OK);
    return item;
  }

  std::unique_ptr<HostProcess> host_;
  ComPtr<ITAVDiagnosticLogMgrEx> mgr_;
  ComPtr<ITAVDiagnosticLogEx> log_;
  std::vector<unique_bstr> strings_;
};

TEST_F(DeliveryEndToEnd, AStoppedHostFailsTheSendAndARestartedOneIsReconnected) {
  ComPtr<ITAVDiagnosticLogItemEx> item = Build(TAVDiagSeverity_Warning, TAVDiagAudience_Dev, 1, L"before");
  ASSERT_EQ(log_->LogThisItemEx(item.get(), VARIANT_TRUE, 10000), S_OK);
  ASSERT_TRUE(host_->Stop(15));
  Sleep(300);  // the connection notices that the service went away

  item = Build(TAVDiagSeverity_Warning, TAVDiagAudience_Dev, 1, L"while stopped");
  const HRESULT stopped = log_->LogThisItemEx(item.get(), VARIANT_TRUE, 2000);
  EXPECT_TRUE(FAILED(stopped)) << std::hex << stopped;

  ASSERT_TRUE(host_->Start()) << host_->Log();
  item = Build(TAVDiagSeverity_Warning, TAVDiagAudience_Dev, 1, L"after restart");
  EXPECT_EQ(log_->LogThisItemEx(item.get(), VARIANT_TRUE, 10000), S_OK);
  EXPECT_EQ(host_->Query("select message_text from messages order by id"), "before\nafter restart\n");
}

TEST_F(DeliveryEndToEnd, ManyAsynchronousItemsFromTwoThreadsAreAllStored) {
  constexpr int kPerThread = 500;
  auto logMany = [](void* param) -> DWORD {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    auto* log = static_cast<ITAVDiagnosticLogEx*>(param);
    for (int i = 0; i < kPerThread; ++i) {
      VARIANT message;
      message.vt = VT_BSTR;
      message.bstrVal = SysAllocString((L"item " + std::to_wstring(i)).c_str());
      ITAVDiagnosticLogItemEx* item = nullptr;
      if (SUCCEEDED(log->BuildItemEx(nullptr, nullptr, TAVDiagSeverity_Info, TAVDiagAudience_Dev, 0, message,
                                     nullptr, nullptr, nullptr, &item))) {
        log->LogThisItemEx(item, VARIANT_FALSE, 0);
        item->Release();
      }
      VariantClear(&message);
    }
    CoUninitialize();
    return 0;
  };
  HANDLE threads[2];
  for (HANDLE& thread : threads) thread = CreateThread(nullptr, 0, logMany, log_.get(), 0, nullptr);
  WaitForMultipleObjects(2, threads, TRUE, 60000);
  for (HANDLE thread : threads) CloseHandle(thread);
  // A synchronous item after them is answered once everything before it is in.
  ComPtr<ITAVDiagnosticLogItemEx> last = Build(TAVDiagSeverity_Info, TAVDiagAudience_Dev, 0, L"last");
  ASSERT_EQ(log_->LogThisItemEx(last.get(), VARIANT_TRUE, 20000), S_OK);
  EXPECT_EQ(host_->Query("select count(*) from messages"), std::to_string(2 * kPerThread + 1) + "\n");
}

}  // namespace
}  // namespace hv::test
