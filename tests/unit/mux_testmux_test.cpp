// TestMux.dll, the double of the Mux component that the library's tests talk
// to: that it takes the class id over and gives it back, records what it is
// sent, answers as told and drives the sink the way the real component does.
#include <cstring>
#include <string>

#include "support/TestSupport.h"
#include "testmux/MuxTestSupport.h"
#include "testmux/TestMuxControl.h"

namespace hv::test {
namespace {

bool EndsWith(const std::wstring& text, const std::wstring& tail) {
  return text.size() >= tail.size() && _wcsicmp(text.c_str() + text.size() - tail.size(), tail.c_str()) == 0;
}

// The 272-byte adaptor description: masks, flags, then the UTF-16 name.
std::vector<uint8_t> AdaptorRecord(const std::wstring& name) {
  std::vector<uint8_t> record(272, 0);
  record[0] = 0x0f;
  record[4] = 0x0f;
  record[8] = 0x0f;
  for (size_t i = 0; i < name.size(); ++i) record[12 + 2 * i] = static_cast<uint8_t>(name[i]);
  return record;
}

class TestMuxTest : public ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    control_ = std::make_unique<TestMuxLibrary>(BinDir() + L"TestMux.dll");
    ASSERT_TRUE(control_->ok()) << std::hex << control_->registration();
    control_->Reset();
    sink_ = MakeObject<RecordingSink>();
  }
  void TearDown() override {
    connection_.reset();
    control_.reset();
    ComTest::TearDown();
  }
  void Connect() {
    ComPtr<IMuxService> service;
    ASSERT_EQ(CoCreateInstance(CLSID_MuxService, nullptr, CLSCTX_ALL, IID_IMuxService, service.put_void()), S_OK);
    ASSERT_EQ(service->Connect(L"ip:127.0.0.1:60093", 0, static_cast<IMuxSink*>(sink_.get()), connection_.put()),
              S_OK);
  }

  std::unique_ptr<TestMuxLibrary> control_;
  ComPtr<RecordingSink> sink_;
  ComPtr<IMuxConnection> connection_;
};

TEST(TestMuxRegistration, TakesTheClassIdOverAndGivesItBack) {
  ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  const std::wstring before = RegisteredMuxServer();
  const std::wstring mux = BinDir() + L"HVMux.dll";
  ASSERT_EQ(CallDllExport(mux, "DllRegisterServer"), S_OK);
  EXPECT_TRUE(EndsWith(RegisteredMuxServer(), L"\\HVMux.dll")) << Narrow(RegisteredMuxServer());
  {
    TestMuxLibrary control(BinDir() + L"TestMux.dll");
    ASSERT_TRUE(control.ok());
    EXPECT_TRUE(EndsWith(RegisteredMuxServer(), L"\\TestMux.dll")) << Narrow(RegisteredMuxServer());
    // A second registration (a test program that ended without giving the
    // class id back) must still remember the real component.
    EXPECT_EQ(CallDllExport(BinDir() + L"TestMux.dll", "DllRegisterServer"), S_OK);
    control.Reset();
    ComPtr<IMuxService> service;
    ASSERT_EQ(CoCreateInstance(CLSID_MuxService, nullptr, CLSCTX_ALL, IID_IMuxService, service.put_void()), S_OK);
    ComPtr<RecordingSink> sink = MakeObject<RecordingSink>();
    ComPtr<IMuxConnection> connection;
    EXPECT_EQ(service->Connect(L"ip:127.0.0.1:1", 0, static_cast<IMuxSink*>(sink.get()), connection.put()), S_OK);
    EXPECT_EQ(control.ConnectCount(), 1) << "the double answered";
    EXPECT_EQ(control.Address(), L"ip:127.0.0.1:1");
  }
  EXPECT_TRUE(EndsWith(RegisteredMuxServer(), L"\\HVMux.dll")) << Narrow(RegisteredMuxServer());
  if (before.empty()) {
    EXPECT_EQ(CallDllExport(mux, "DllUnregisterServer"), S_OK);
  }
  EXPECT_EQ(RegisteredMuxServer().empty(), before.empty());
  CoUninitialize();
}

TEST_F(TestMuxTest, RecordsAndAnswersAsTold) {
  control_->FailConnect(1, HRESULT_FROM_WIN32(WSAECONNREFUSED));
  ComPtr<IMuxService> service;
  ASSERT_EQ(CoCreateInstance(CLSID_MuxService, nullptr, CLSCTX_ALL, IID_IMuxService, service.put_void()), S_OK);
  IUnknown* sink = static_cast<IMuxSink*>(sink_.get());
  EXPECT_EQ(service->Connect(L"ip:60093", 0, sink, connection_.put()), HRESULT_FROM_WIN32(WSAECONNREFUSED));
  ASSERT_EQ(service->Connect(L"ip:127.0.0.1:60093", 0, sink, connection_.put()), S_OK);
  EXPECT_EQ(control_->ConnectCount(), 2);
  EXPECT_EQ(sink_->connected, 1);

  ASSERT_EQ(control_->AddTransactReply("4", S_OK, "MSGTYPE=4\0HRESULT=0\0", L"{A};{B}", nullptr, 0, nullptr), S_OK);
  ASSERT_EQ(control_->AddTransactReply("4", E_ACCESSDENIED, nullptr, nullptr, nullptr, 0, nullptr), S_OK);
  ComPtr<IMuxMessage> request, reply;
  ASSERT_EQ(connection_->CreateMessage(request.put()), S_OK);
  request->SetField("MSGTYPE", "4");
  request->SetField("transid", "0");
  ASSERT_EQ(connection_->Transact(request.get(), reply.put(), 10000), S_OK);
  EXPECT_STREQ(reply->GetText(), L"{A};{B}");
  EXPECT_STREQ(reply->GetField("transid"), "0") << "the request's id comes back";
  EXPECT_EQ(connection_->Transact(request.get(), reply.put(), 10000), E_ACCESSDENIED);
  EXPECT_EQ(connection_->Transact(request.get(), reply.put(), 10000), E_ACCESSDENIED) << "the last reply stays";
  request->SetField("MSGTYPE", "9");
  EXPECT_EQ(connection_->Transact(request.get(), reply.put(), 10000), HRESULT_FROM_WIN32(ERROR_TIMEOUT));

  control_->FailPost(1, E_OUTOFMEMORY);
  EXPECT_EQ(connection_->Post(request.get(), 10000), E_OUTOFMEMORY);
  EXPECT_EQ(connection_->Post(request.get(), 10000), S_OK);
  EXPECT_EQ(control_->MessageCount(), 5) << "four transacts and one post; a failed post is not sent";
  LONG kind = 0;
  ComPtr<IMuxMessage> recorded;
  ASSERT_EQ(control_->MessageAt(4, recorded.put(), &kind), S_OK);
  EXPECT_EQ(kind, TestMuxSend_Post);
  EXPECT_STREQ(recorded->GetField("MSGTYPE"), "9");
  EXPECT_EQ(control_->MessageAt(5, recorded.put(), &kind), E_INVALIDARG);

  EXPECT_EQ(connection_->Stop(0), S_OK);
  EXPECT_EQ(connection_->Disconnect(), S_OK);
  connection_.reset();
  EXPECT_EQ(control_->Calls(),
            "Connect;Connect;Transact;Transact;Transact;Transact;Post;Post;Stop(0);Disconnect;Release");
  EXPECT_EQ(control_->LiveConnections(), 0);
}

TEST_F(TestMuxTest, AnAdaptorReplyCarriesAnUnmarshallableInterface) {
  Connect();
  const std::vector<uint8_t> record = AdaptorRecord(L"Store");
  ComPtr<RecordingSink> adaptor = MakeObject<RecordingSink>();  // any object will do
  ASSERT_EQ(control_->SetTransactReply("3", S_OK, "HRESULT=0\0", nullptr, record.data(), 272,
                                       static_cast<IMuxSink*>(adaptor.get())),
            S_OK);
  for (int round = 0; round < 2; ++round) {
    ComPtr<IMuxMessage> request, reply;
    ASSERT_EQ(connection_->CreateMessage(request.put()), S_OK);
    request->SetField("MSGTYPE", "3");
    ASSERT_EQ(connection_->Transact(request.get(), reply.put(), 10000), S_OK);
    ComPtr<IStream> body;
    ASSERT_EQ(reply->QueryInterface(IID_IStream, body.put_void()), S_OK);
    std::vector<uint8_t> head(272);
    ULONG read = 0;
    ASSERT_EQ(body->Read(head.data(), 272, &read), S_OK);
    EXPECT_EQ(Hex(head), Hex(record));
    ComPtr<IUnknown> unmarshalled;
    ASSERT_EQ(CoUnmarshalInterface(body.get(), IID_IUnknown, unmarshalled.put_void()), S_OK) << round;
    ComPtr<IMuxSink> same;
    EXPECT_EQ(unmarshalled->QueryInterface(IID_IMuxSink, same.put_void()), S_OK);
    EXPECT_EQ(same.get(), static_cast<IMuxSink*>(adaptor.get())) << "same apartment: the object itself";
  }
}

TEST_F(TestMuxTest, DrivesTheSinkOnAnotherThreadUntilStoppedOrClosed) {
  EXPECT_EQ(control_->DeliverToSink("MSGTYPE=5\0", nullptr, 0), E_UNEXPECTED) << "no connection";
  Connect();
  const DWORD testThread = GetCurrentThreadId();
  DWORD sinkThread = testThread;
  sink_->onMessage = [&](IMuxMessage*) { sinkThread = GetCurrentThreadId(); };
  const BYTE body[] = {1, 2, 3};
  EXPECT_EQ(control_->DeliverToSink("MSGTYPE=5\0HRESULT=-2147467259\0transid=3\0", body, 3), S_OK);
  EXPECT_NE(sinkThread, testThread);
  {
    auto lock = sink_->Lock();
    ASSERT_EQ(sink_->messages.size(), 1u);
    IMuxMessage* message = sink_->messages[0].get();
    EXPECT_STREQ(message->GetField("HRESULT"), "-2147467259");
    EXPECT_STREQ(message->GetFieldName(2), "transid");
    ComPtr<IStream> stream;
    ASSERT_EQ(message->QueryInterface(IID_IStream, stream.put_void()), S_OK);
    EXPECT_EQ(ReadRest(stream.get()), std::vector<uint8_t>(body, body + 3));
    EXPECT_EQ(sink_->messageContexts[0], sink_->connectedContext);
  }

  // Posted items that want an answer get one, as from the service.
  control_->SetAutoAnswer(TRUE, E_ACCESSDENIED, 0);
  ComPtr<IMuxMessage> item;
  ASSERT_EQ(connection_->CreateMessage(item.put()), S_OK);
  item->SetField("MSGTYPE", "2");
  item->SetField("transid", "77");
  ComPtr<IStream> itemBody;
  ASSERT_EQ(item->QueryInterface(IID_IStream, itemBody.put_void()), S_OK);
  ULONG written = 0;
  itemBody->Write("item", 4, &written);
  ASSERT_EQ(connection_->Post(item.get(), 10000), S_OK);
  ASSERT_TRUE(sink_->WaitFor([&] { return sink_->messages.size() == 2; }));
  {
    auto lock = sink_->Lock();
    IMuxMessage* answer = sink_->messages[1].get();
    EXPECT_STREQ(answer->GetField("MSGTYPE"), "5");
    EXPECT_STREQ(answer->GetField("transid"), "77");
    EXPECT_EQ(std::atol(answer->GetField("HRESULT")), E_ACCESSDENIED);
    ComPtr<IStream> stream;
    ASSERT_EQ(answer->QueryInterface(IID_IStream, stream.put_void()), S_OK);
    EXPECT_EQ(ReadRest(stream.get()), std::vector<uint8_t>({'i', 't', 'e', 'm'}));
  }

  EXPECT_EQ(control_->CloseConnection(HRESULT_FROM_WIN32(WSAECONNRESET)), S_OK);
  EXPECT_EQ(control_->CloseConnection(HRESULT_FROM_WIN32(WSAECONNRESET)), S_FALSE) << "once";
  EXPECT_EQ(sink_->closed, 1);
  EXPECT_EQ(sink_->closedReason, HRESULT_FROM_WIN32(WSAECONNRESET));
  EXPECT_EQ(connection_->Post(item.get(), 10), HRESULT_FROM_WIN32(WSAECONNRESET));
  EXPECT_EQ(control_->DeliverToSink("MSGTYPE=5\0", nullptr, 0), S_FALSE);

  // A new connection, stopped: nothing reaches its sink any more.
  connection_.reset();
  sink_ = MakeObject<RecordingSink>();
  Connect();
  EXPECT_EQ(connection_->Stop(0), S_OK);
  EXPECT_EQ(control_->DeliverToSink("MSGTYPE=5\0", nullptr, 0), S_FALSE);
  EXPECT_EQ(control_->CloseConnection(E_FAIL), S_FALSE);
  EXPECT_EQ(sink_->messages.size(), 0u);
  EXPECT_EQ(sink_->closed, 0);
}

}  // namespace
}  // namespace hv::test
