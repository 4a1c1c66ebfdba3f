// The manager's link to the Mux, against the test Mux component: where it
// connects, how often it tries, what its messages carry and how answers find
// the items that wait for them.
// First: Winsock must come before windows.h.
#include "testmux/MuxTestSupport.h"

#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "common/ModuleLock.h"
#include "log/CTAVDiagnosticLog.h"
#include "mgr/CTAVDiagnosticLogMgr.h"
#include "support/TestSupport.h"
#include "testmux/TestMuxControl.h"

namespace hv::test {
namespace {

const std::wstring kKey = L"Software\\Corvala Software\\Halvern Diagnostics";

std::string Field(IMuxMessage* message, const char* name) {
  const char* value = message->GetField(name);
  return value ? value : "<absent>";
}

class MuxLinkTest : public ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    DeleteMachineValue(kKey, L"InterprocessTransport");
    mux_ = std::make_unique<TestMuxLibrary>(BinDir() + L"TestMux.dll");
    ASSERT_TRUE(mux_->ok());
    mux_->Reset();
    ASSERT_EQ(CreateObject<CTAVDiagnosticLogMgr>(nullptr, IID_ITAVDiagnosticLogMgrEx, mgrInterface_.put_void()),
              S_OK);
    mgr_ = CTAVDiagnosticLogMgr::FromInterface(mgrInterface_.get());
    ASSERT_TRUE(mgr_);
  }
  void TearDown() override {
    mgr_.reset();
    mgrInterface_.reset();
    DeleteMachineValue(kKey, L"InterprocessTransport");
    mux_.reset();
    ComTest::TearDown();
  }

  ComPtr<IMuxMessage> Message(LONG index) {
    ComPtr<IMuxMessage> message;
    EXPECT_EQ(mux_->MessageAt(index, message.put(), nullptr), S_OK);
    return message;
  }

  ComPtr<ITAVDiagnosticLogEx> NewLog() {
    ComPtr<ITAVDiagnosticLog> log;
    EXPECT_EQ(mgrInterface_->CreateTAVDiagnosticLog(unique_bstr(SysAllocString(L"Line 3")).get(),
                                                    unique_bstr(SysAllocString(L"Pump")).get(), log.put()),
              S_OK);
    return log.query<ITAVDiagnosticLogEx>();
  }

  ComPtr<ITAVDiagnosticLogItemEx> NewItem(ITAVDiagnosticLogEx* log, const wchar_t* text) {
    unique_variant message;
    message->vt = VT_BSTR;
    message->bstrVal = SysAllocString(text);
    ComPtr<ITAVDiagnosticLogItemEx> item;
    EXPECT_EQ(log->BuildItemEx(nullptr, unique_bstr(SysAllocString(L"operator")).get(), TAVDiagSeverity_Info,
                               TAVDiagAudience_Dev, 0, *message.get(), nullptr, nullptr, nullptr, item.put()),
              S_OK);
    return item;
  }

  std::unique_ptr<TestMuxLibrary> mux_;
  ComPtr<ITAVDiagnosticLogMgrEx> mgrInterface_;
  ComPtr<CTAVDiagnosticLogMgr> mgr_;
};

TEST_F(MuxLinkTest, ConnectsToThePartAfterTheFirstSemicolonOfTheTransportSetting) {
  struct Case {
    const wchar_t* setting;  // null: no value
    const wchar_t* address;
  } cases[] = {
      {nullptr, L"ip:127.0.0.1:60093"},
      {L"ip:127.0.0.1:7000", L"ip:127.0.0.1:60093"},  // no ";": the default list
      {L"ip:7000;", L""},
      {L"ip:1;ip:127.0.0.1:2;ip:127.0.0.1:3", L"ip:127.0.0.1:2;ip:127.0.0.1:3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setting ? Narrow(c.setting) : "no value");
    if (c.setting)
      ASSERT_TRUE(SetMachineString(kKey, L"InterprocessTransport", c.setting));
    else
      DeleteMachineValue(kKey, L"InterprocessTransport");
    ComPtr<IMuxConnection> connection;
    ASSERT_EQ(mgr_->GetConnectionToMux(connection.put()), S_OK);
    EXPECT_EQ(mux_->Address(), c.address);
    connection.reset();
    ASSERT_EQ(mgrInterface_->ReleaseLogs(), S_OK);
  }
}

TEST_F(MuxLinkTest, CachesTheConnectionAndTriesOnceMoreAfterAFailure) {
  ComPtr<IMuxConnection> first, second;
  EXPECT_EQ(mgr_->GetConnectionToMux(nullptr), E_POINTER) << "a null out-pointer still connects";
  EXPECT_EQ(mux_->ConnectCount(), 1);
  ASSERT_EQ(mgr_->GetConnectionToMux(first.put()), S_OK);
  ASSERT_EQ(mgr_->GetConnectionToMux(second.put()), S_OK);
  EXPECT_EQ(first.get(), second.get());
  EXPECT_EQ(mux_->ConnectCount(), 1);

  // The Mux closes the connection: the next request connects again.
  ASSERT_EQ(mux_->CloseConnection(E_ABORT), S_OK);
  first.reset();
  second.reset();
  ASSERT_EQ(mgr_->GetConnectionToMux(first.put()), S_OK);
  EXPECT_EQ(mux_->ConnectCount(), 2);
  first.reset();

  // A failed first attempt is followed by exactly one more.
  ASSERT_EQ(mgrInterface_->ReleaseLogs(), S_OK);
  const HRESULT refused = HRESULT_FROM_WIN32(WSAECONNREFUSED);
  mux_->FailConnect(1, refused);
  ASSERT_EQ(mgr_->GetConnectionToMux(first.put()), S_OK);
  EXPECT_EQ(mux_->ConnectCount(), 4);
  first.reset();
  ASSERT_EQ(mgrInterface_->ReleaseLogs(), S_OK);
  mux_->FailConnect(2, refused);
  EXPECT_EQ(mgr_->GetConnectionToMux(first.put()), refused);
  EXPECT_EQ(first.get(), nullptr);
  EXPECT_EQ(mux_->ConnectCount(), 6);

  // Failed attempts leave no sink (and no module lock) behind.
  const LONG locksBefore = ModuleLockCount();
  mux_->FailConnect(-1, refused);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(mgr_->GetConnectionToMux(first.put()), refused);
  EXPECT_EQ(ModuleLockCount(), locksBefore);
  mux_->FailConnect(0, S_OK);
}

// An aggregating object that passes on only the manager's public interfaces.
class PublicOnlyOuter final : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown)) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    for (const IID* passed : {&IID_ITAVDiagnosticLogMgr, &IID_ITAVDiagnosticLogMgrEx, &IID_ITAVDiagnosticLogDisplay})
      if (IsEqualIID(riid, *passed)) return inner->QueryInterface(riid, ppv);
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  ULONG refs = 1;
  IUnknown* inner = nullptr;
};

TEST_F(MuxLinkTest, AnAggregatedManagerDeliversLikeAStandaloneOne) {
  PublicOnlyOuter outer;
  ASSERT_EQ(CreateObject<CTAVDiagnosticLogMgr>(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)), S_OK);
  {
    ComPtr<ITAVDiagnosticLogMgrEx> mgr;
    ASSERT_EQ(outer.QueryInterface(IID_ITAVDiagnosticLogMgrEx, mgr.put_void()), S_OK);
    ComPtr<ITAVDiagnosticLog> log;
    ASSERT_EQ(mgr->CreateTAVDiagnosticLog(unique_bstr(SysAllocString(L"Line 3")).get(),
                                          unique_bstr(SysAllocString(L"Pump")).get(), log.put()),
              S_OK);
    ComPtr<ITAVDiagnosticLogEx> logEx = log.query<ITAVDiagnosticLogEx>();
    mux_->SetAutoAnswer(TRUE, S_OK, 0);
    EXPECT_EQ(logEx->LogThisItemEx(NewItem(logEx.get(), L"async").get(), VARIANT_FALSE, 0), S_OK);
    EXPECT_EQ(logEx->LogThisItemEx(NewItem(logEx.get(), L"sync").get(), VARIANT_TRUE, 10000), S_OK);
    EXPECT_EQ(mux_->MessageCount(), 2);
    mux_->SetAutoAnswer(FALSE, S_OK, 0);
  }
  EXPECT_EQ(outer.refs, 1u);
  EXPECT_EQ(outer.inner->Release(), 0u);
}

TEST_F(MuxLinkTest, ASynchronousItemStopsWaitingWhenItsServiceDies) {
  mux_.reset();  // the real component, against a stand-in service that dies
  MuxTestServer server;
  ASSERT_TRUE(SetMachineString(kKey, L"InterprocessTransport", (L"ip:1;" + server.Address()).c_str()));
  ComPtr<ITAVDiagnosticLogEx> log = NewLog();
  ASSERT_EQ(log->LogThisItemEx(NewItem(log.get(), L"connects").get(), VARIANT_FALSE, 0), S_OK);
  std::thread dies([&] {
    if (server.WaitForFrames(3, 10000)) server.DropClient();  // hello, the post, the waiting item
  });
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(log->LogThisItemEx(NewItem(log.get(), L"unanswered").get(), VARIANT_TRUE, 10000), E_PENDING);
  EXPECT_LT(GetTickCount64() - start, 5000u) << "the wait ends with the connection, not at its time-out";
  dies.join();
}

TEST_F(MuxLinkTest, TwoThreadsOfOneManagerShareOneConnect) {
  ComPtr<IMuxConnection> a, b;
  std::thread other([&] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    mgr_->GetConnectionToMux(b.put());
    CoUninitialize();
  });
  ASSERT_EQ(mgr_->GetConnectionToMux(a.put()), S_OK);
  other.join();
  EXPECT_EQ(a.get(), b.get());
  EXPECT_EQ(mux_->ConnectCount(), 1);
}

// Run as a child process by the next test: its first attempt fails, its
// second waits for the semaphore, then it leaves a marker file.
TEST(MuxLinkChild, SecondAttempt) {
  wchar_t marker[MAX_PATH] = {};
  if (!GetEnvironmentVariableW(L"HV_SECOND_ATTEMPT_MARKER", marker, MAX_PATH))
    GTEST_SKIP() << "runs only as the child of TwoProcessesMakeTheirSecondAttemptsOneAfterTheOther";
  ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  {
    TestMuxLibrary mux(BinDir() + L"TestMux.dll", false);
    ASSERT_TRUE(mux.ok());
    mux.FailConnect(1, E_FAIL);
    ComPtr<ITAVDiagnosticLogMgrEx> mgrInterface;
    ASSERT_EQ(CreateObject<CTAVDiagnosticLogMgr>(nullptr, IID_ITAVDiagnosticLogMgrEx, mgrInterface.put_void()),
              S_OK);
    ComPtr<IMuxConnection> connection;
    ASSERT_EQ(CTAVDiagnosticLogMgr::FromInterface(mgrInterface.get())->GetConnectionToMux(connection.put()), S_OK);
    EXPECT_EQ(mux.ConnectCount(), 2);
    const std::wstring path = std::wstring(marker) + L"." + std::to_wstring(GetCurrentProcessId());
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
  }
  CoUninitialize();
}

TEST_F(MuxLinkTest, TwoProcessesMakeTheirSecondAttemptsOneAfterTheOther) {
  // This process holds the semaphore: both children fail their first
  // attempt and must wait for it before their second.
  HANDLE semaphore = CreateSemaphoreW(nullptr, 1, 1, L"CTAVDiagnosticLogMgr::GetConnectionToMux");
  ASSERT_NE(semaphore, nullptr);
  ASSERT_EQ(WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  wchar_t folder[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, folder);
  const std::wstring marker = std::wstring(folder) + L"second-attempt-" + std::to_wstring(GetCurrentProcessId());
  SetEnvironmentVariableW(L"HV_SECOND_ATTEMPT_MARKER", marker.c_str());
  HANDLE children[2] = {};
  DWORD ids[2] = {};
  for (int i = 0; i < 2; ++i) {
    std::wstring line = L"\"" + std::wstring(self) + L"\" --gtest_filter=MuxLinkChild.SecondAttempt";
    STARTUPINFOW startup = {sizeof(startup)};
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(self, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
    CloseHandle(process.hThread);
    children[i] = process.hProcess;
    ids[i] = process.dwProcessId;
  }
  SetEnvironmentVariableW(L"HV_SECOND_ATTEMPT_MARKER", nullptr);
  auto finished = [&](int i) {
    return GetFileAttributesW((marker + L"." + std::to_wstring(ids[i])).c_str()) != INVALID_FILE_ATTRIBUTES;
  };
  Sleep(2000);
  EXPECT_FALSE(finished(0) || finished(1)) << "a second attempt ran while another process held the semaphore";
  // One release: the children pass one at a time, each giving it back.
  ReleaseSemaphore(semaphore, 1, nullptr);
  EXPECT_EQ(WaitForMultipleObjects(2, children, TRUE, 60000), WAIT_OBJECT_0);
  for (int i = 0; i < 2; ++i) {
    DWORD code = 1;
    GetExitCodeProcess(children[i], &code);
    EXPECT_EQ(code, 0u) << "child " << i;
    EXPECT_TRUE(finished(i)) << "child " << i;
    DeleteFileW((marker + L"." + std::to_wstring(ids[i])).c_str());
    CloseHandle(children[i]);
  }
  CloseHandle(semaphore);
}

TEST_F(MuxLinkTest, RequestsAreNumberedFromZeroAndAdaptorFailuresComeBackUnchanged) {
  const char failed[] = "MSGTYPE=3\0HRESULT=-2147221164\0";
  ASSERT_EQ(mux_->SetTransactReply("3", S_OK, failed, nullptr, nullptr, 0, nullptr), S_OK);
  AdaptorInfoRecord record;
  std::memset(&record, 0xAB, sizeof(record));
  ComPtr<IUnknown> adaptor;
  EXPECT_EQ(mgr_->RequestAdaptorInterface(&CLSID_HVStoreAdaptor, &record, adaptor.put()), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(record.audienceMask, 0xABABABABu) << "the record is not read after a failure";
  EXPECT_EQ(mgr_->RequestAdaptorInterface(&CLSID_HVStoreAdaptor, &record, adaptor.put()), REGDB_E_CLASSNOTREG);
  const char noResult[] = "MSGTYPE=3\0\0";
  ASSERT_EQ(mux_->SetTransactReply("3", S_OK, noResult, nullptr, nullptr, 0, nullptr), S_OK);
  EXPECT_EQ(mgr_->RequestAdaptorInterface(&CLSID_HVStoreAdaptor, &record, adaptor.put()), E_FAIL);

  ASSERT_EQ(mux_->MessageCount(), 3);
  for (LONG i = 0; i < 3; ++i) {
    ComPtr<IMuxMessage> request = Message(i);
    EXPECT_EQ(Field(request.get(), "MSGTYPE"), "3");
    EXPECT_EQ(Field(request.get(), "transid"), std::to_string(i));
    const BYTE* data = nullptr;
    ULONG size = 0;
    ASSERT_EQ(request->GetData(&data, &size), S_OK);
    ASSERT_EQ(size, 16u);
    EXPECT_EQ(std::memcmp(data, &CLSID_HVStoreAdaptor, 16), 0);
  }
}

TEST_F(MuxLinkTest, ItemsTravelAsTypeOneOrTwoAndAnswersFindTheirItem) {
  ComPtr<ITAVDiagnosticLogEx> log = NewLog();
  ComPtr<ITAVDiagnosticLogItemEx> item = NewItem(log.get(), L"asynchronous");
  ASSERT_EQ(log->LogThisItemEx(item.get(), VARIANT_FALSE, 0), S_OK);
  ASSERT_TRUE(mux_->WaitForMessages(1, 5000));
  ComPtr<IMuxMessage> sent = Message(0);
  EXPECT_EQ(Field(sent.get(), "MSGTYPE"), "1");
  EXPECT_EQ(Field(sent.get(), "transid"), "<absent>");
  // The body is the item's stream form.
  ComPtr<ITAVDiagnosticLogItemEx> received;
  ASSERT_EQ(CreateItem(received.put()), S_OK);
  ComPtr<IStream> body = sent.query<IStream>();
  ASSERT_EQ(received.query<IPersistStream>()->Load(body.get()), S_OK);
  unique_variant text;
  ASSERT_EQ(received->GetParam(unique_bstr(SysAllocString(L"msgtext")).get(), text.put()), S_OK);
  EXPECT_STREQ(text->bstrVal, L"asynchronous");

  // Answered with E_FAIL: the waiting log returns it.
  mux_->SetAutoAnswer(TRUE, E_FAIL, 0);
  item = NewItem(log.get(), L"synchronous");
  EXPECT_EQ(log->LogThisItemEx(item.get(), VARIANT_TRUE, 10000), E_FAIL);
  sent = Message(1);
  EXPECT_EQ(Field(sent.get(), "MSGTYPE"), "2");
  const long id = std::atol(Field(sent.get(), "transid").c_str());
  EXPECT_NE(id, 0);

  // No answer within the time: E_PENDING; the late answer touches nothing.
  mux_->SetAutoAnswer(FALSE, S_OK, 0);
  item = NewItem(log.get(), L"late");
  EXPECT_EQ(log->LogThisItemEx(item.get(), VARIANT_TRUE, 50), E_PENDING);
  sent = Message(2);
  const std::string lateId = Field(sent.get(), "transid");
  const std::string late = std::string("MSGTYPE=5\0HRESULT=0\0transid=", 28) + lateId + std::string("\0\0", 2);
  EXPECT_EQ(mux_->DeliverToSink(late.c_str(), nullptr, 0), S_FALSE);

  // Malformed answers are refused; other types are ignored.
  EXPECT_EQ(mux_->DeliverToSink("MSGTYPE=5\0HRESULT=0\0transid=0\0", nullptr, 0), E_FAIL);
  EXPECT_EQ(mux_->DeliverToSink("MSGTYPE=5\0HRESULT=0\0", nullptr, 0), E_FAIL);
  EXPECT_EQ(mux_->DeliverToSink("MSGTYPE=5\0transid=4\0", nullptr, 0), E_FAIL);
  EXPECT_EQ(mux_->DeliverToSink("HRESULT=0\0transid=4\0", nullptr, 0), E_FAIL);
  EXPECT_EQ(mux_->DeliverToSink("MSGTYPE=7\0", nullptr, 0), S_OK);
  ComPtr<IMuxSink> sink;
  LONG context = 0;
  ASSERT_EQ(mux_->GetSink(sink.put(), &context), S_OK);
  EXPECT_EQ(sink->OnMessage(0, nullptr), E_INVALIDARG);
  EXPECT_EQ(sink->OnMessage(context, nullptr), E_INVALIDARG);
  EXPECT_EQ(sink->OnConnected(context), S_OK);
  EXPECT_EQ(sink->OnQueueLevel(context, 1, 2), S_OK);
}

TEST_F(MuxLinkTest, ASinkOutlivingItsManagerAnswersEFail) {
  ComPtr<IMuxConnection> connection;
  ASSERT_EQ(mgr_->GetConnectionToMux(connection.put()), S_OK);
  ComPtr<IMuxSink> sink;
  LONG context = 0;
  ASSERT_EQ(mux_->GetSink(sink.put(), &context), S_OK);
  connection.reset();
  mgr_.reset();
  mgrInterface_.reset();  // the manager is gone; the Mux still holds its sink
  EXPECT_EQ(sink->OnConnectionClosed(context, E_ABORT), E_FAIL);
  EXPECT_EQ(sink->OnMessage(context, nullptr), E_FAIL);
  // The calls the manager made when it went: Stop(0), then Disconnect.
  const std::string calls = mux_->Calls();
  EXPECT_NE(calls.find("Stop(0);Disconnect"), std::string::npos) << calls;
}

}  // namespace
}  // namespace hv::test
