// Items logged through the library reach the real Mux service and its SQLite
// store: the library, HVMux.dll and tarnhost as an application meets them.
#include <cstdlib>
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

TEST_F(DeliveryEndToEnd, AsynchronousAndSynchronousItemsAreStoredWithEveryField) {
  ASSERT_EQ(log_->ExtendItemSchema(Bstr(L"<s><element name=\"Batch\" dt:type=\"int\"/></s>")), S_OK);
  DATE date = 46361.25;  // 2026-12-05 06:00:00
  ComPtr<ITAVDiagnosticLogItemEx> first = Build(TAVDiagSeverity_Error, TAVDiagAudience_Eng, 2,
                                                L"Pump P-101 pressure high", &date);
  unique_variant batch;
  batch->vt = VT_I4;
  batch->lVal = 4711;
  ASSERT_EQ(first->PutParam(Bstr(L"batch"), *batch.get()), S_OK);
  ASSERT_EQ(log_->LogThisItemEx(first.get(), VARIANT_FALSE, 0), S_OK);

  ComPtr<ITAVDiagnosticLogItemEx> second = Build(TAVDiagSeverity_Info, TAVDiagAudience_Op, 0, L"Shift handover");
  EXPECT_EQ(log_->LogThisItemEx(second.get(), VARIANT_TRUE, 10000), S_OK) << host_->Log();

  // The synchronous answer comes after its row is committed; the earlier
  // asynchronous item went first on the same connection.
  EXPECT_EQ(host_->Query("select severity, audience, verbosity, location, provider, user_name, message_id, "
                         "message_text from messages order by id"),
            "1|4|2|Line 3|Pump|operator|-1|Pump P-101 pressure high\n"
            "4|8|0|Line 3|Pump|operator|-1|Shift handover\n");
  EXPECT_EQ(host_->Query("select time from messages where id = 1"), "46361.25\n");
  // The second item had no date: delivery stamped the current UTC time.
  SYSTEMTIME now;
  GetSystemTime(&now);
  DATE today = 0;
  SystemTimeToVariantTime(&now, &today);
  const double stamped = std::atof(host_->Query("select time from messages where id = 2").c_str());
  EXPECT_NEAR(stamped, today, 1.0 / 24 / 60) << "within a minute of now";
  // The stored item stream carries the extended parameter.
  const std::string blob = host_->Query("select hex(item) from messages where id = 1");
  const std::string batchName = "0C000000620061007400630068000000";  // "batch" as a counted string
  EXPECT_NE(blob.find(batchName + "03000000" + "0300" + "67120000"), std::string::npos) << blob;
}

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
