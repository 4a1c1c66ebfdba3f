// HVMux.dll against a stand-in for the Mux service listening on 127.0.0.1 in
// this process: the bytes it sends, how replies find their transacts, and
// what its sink is told when the service goes away or the client stops it.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

#include "support/TestSupport.h"
#include "testmux/MuxTestSupport.h"

namespace hv::test {
namespace {

class MuxConnectionTest : public ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    ASSERT_EQ(CreateMuxServiceFrom(BinDir() + L"HVMux.dll", service_.put()), S_OK);
    sink_ = MakeObject<RecordingSink>();
  }
  void TearDown() override {
    if (connection_) {
      connection_->Stop(0);
      connection_->Disconnect();
      connection_.reset();
    }
    service_.reset();
    ComTest::TearDown();
  }
  HRESULT Connect(MuxTestServer& server) {
    return service_->Connect(server.Address().c_str(), 0, static_cast<IMuxSink*>(sink_.get()), connection_.put());
  }
  ComPtr<IMuxMessage> Message(std::initializer_list<std::pair<const char*, const char*>> fields) {
    ComPtr<IMuxMessage> message;
    EXPECT_EQ(connection_->CreateMessage(message.put()), S_OK);
    for (const auto& field : fields) EXPECT_EQ(message->SetField(field.first, field.second), S_OK);
    return message;
  }
  // Transacts answered by a Reply that echoes the request's "transid" and
  // carries the request's frame id in "frame".
  static std::vector<uint8_t> EchoReply(const WireFrame& frame, const WireMessage& request) {
    WireMessage reply;
    reply.fields = {{"MSGTYPE", *request.Field("MSGTYPE")}, {"transid", *request.Field("transid")},
                    {"frame", std::to_string(frame.id)}};
    return WireFrame::Encode(kReply, frame.id, reply.Encode());
  }

  ComPtr<IMuxService> service_;
  ComPtr<RecordingSink> sink_;
  ComPtr<IMuxConnection> connection_;
};

TEST_F(MuxConnectionTest, RefusesBadArgumentsAndFailsFastWhenNothingListens) {
  IUnknown* sink = static_cast<IMuxSink*>(sink_.get());
  EXPECT_EQ(service_->Connect(L"ip:127.0.0.1:60093", 0, sink, nullptr), E_POINTER);
  for (const wchar_t* bad : {L"", L"ip:", L"tcp:127.0.0.1:60093", L"ip:127.0.0.1:", L"ip:127.0.0.1:65536",
                             L"ip:127.0.0.1:0", L"ip::60093", L"ip:127.0.0.1:60x93"}) {
    connection_.reset();
    EXPECT_EQ(service_->Connect(bad, 0, sink, connection_.put()), E_INVALIDARG) << Narrow(bad);
    EXPECT_FALSE(connection_);
  }
  EXPECT_EQ(service_->Connect(L"ip:60093", 1, sink, connection_.put()), E_INVALIDARG) << "reserved must be 0";
  EXPECT_EQ(service_->Connect(L"ip:60093", 0, nullptr, connection_.put()), E_INVALIDARG);
  EXPECT_EQ(service_->Connect(L"ip:60093", 0, service_.get(), connection_.put()), E_NOINTERFACE);

  // A port that nothing listens on: a free one, closed again.
  uint16_t port = 0;
  {
    MuxTestServer server;
    port = server.Port();
  }
  const ULONGLONG start = GetTickCount64();
  const std::wstring address = L"ip:127.0.0.1:" + std::to_wstring(port);
  EXPECT_EQ(service_->Connect(address.c_str(), 0, sink, connection_.put()), HRESULT_FROM_WIN32(WSAECONNREFUSED));
  EXPECT_LT(GetTickCount64() - start, 2000u) << "a refused connect must not wait";
  EXPECT_FALSE(connection_);
  EXPECT_EQ(sink_->connected, 0);
}

TEST_F(MuxConnectionTest, GreetsTheServiceAndWritesMessagesAsDescribed) {
  MuxTestServer server;
  ASSERT_EQ(Connect(server), S_OK);
  EXPECT_EQ(sink_->connected, 1) << "OnConnected comes before Connect returns";
  EXPECT_NE(sink_->connectedContext, 0);

  ComPtr<IMuxMessage> message = Message({{"MSGTYPE", "1"}, {"b", "x"}});
  EXPECT_EQ(message->SetText(L"h\u00e9"), S_OK);
  const BYTE data[] = {9, 8, 7};
  EXPECT_EQ(message->SetData(0, 3, data), S_OK);
  ComPtr<IStream> body;
  ASSERT_EQ(message->QueryInterface(IID_IStream, body.put_void()), S_OK);
  ULONG written = 0;
  ASSERT_EQ(body->Write("\x01\x02", 2, &written), S_OK);
  EXPECT_EQ(connection_->Post(message.get(), 1000), S_OK);
  ASSERT_TRUE(server.WaitForFrames(2));

  const std::vector<uint8_t> expected = {
      // Hello: length 16, kind 1, flags 0, id 1, "HVMX", versions 1 to 1
      0x10, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 'H', 'V', 'M', 'X', 1, 0, 1, 0,
      // Post: length 8 + 39, kind 3, flags 0, id 2
      47, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0,
      2, 0,                                              // two fields
      7, 'M', 'S', 'G', 'T', 'Y', 'P', 'E', 1, 0, '1',   // MSGTYPE=1
      1, 'b', 1, 0, 'x',                                 // b=x
      2, 0, 0, 0, 'h', 0, 0xe9, 0,                       // text, UTF-16LE
      3, 0, 0, 0, 9, 8, 7,                               // data
      2, 0, 0, 0, 1, 2};                                 // body
  EXPECT_EQ(Hex(server.RawBytes()), Hex(expected));
}

TEST_F(MuxConnectionTest, PostReturnsAtOnceAndEveryPostArrivesInOrder) {
  MuxTestServer server;
  ASSERT_EQ(Connect(server), S_OK);
  ASSERT_TRUE(server.WaitForFrames(1));
  // The service reads nothing meanwhile: Post must not depend on it.
  server.SetReading(false);
  constexpr int kCount = 2000;
  const ULONGLONG start = GetTickCount64();
  for (int i = 0; i < kCount; ++i) {
    ComPtr<IMuxMessage> message = Message({{"MSGTYPE", "1"}, {"n", std::to_string(i).c_str()}});
    ASSERT_EQ(connection_->Post(message.get(), 10000), S_OK) << i;
  }
  EXPECT_LT(GetTickCount64() - start, 3000u);
  EXPECT_EQ(connection_->Flush(0), S_FALSE) << "not all of it can be on the wire yet";
  server.SetReading(true);
  EXPECT_EQ(connection_->Flush(10000), S_OK);
  ASSERT_TRUE(server.WaitForFrames(1 + kCount, 10000));
  const auto frames = server.Frames();
  std::vector<uint32_t> ids;
  for (int i = 0; i < kCount; ++i) {
    const WireFrame& frame = frames[1 + i];
    ASSERT_EQ(frame.kind, kPost);
    WireMessage decoded;
    ASSERT_TRUE(WireMessage::Decode(frame.payload, &decoded));
    ASSERT_EQ(*decoded.Field("n"), std::to_string(i));
    ids.push_back(frame.id);
  }
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(std::unique(ids.begin(), ids.end()), ids.end()) << "frame ids are not reused";
}

TEST_F(MuxConnectionTest, TransactsFindTheirOwnRepliesAndTimeOut) {
  MuxTestServer server;
  // The first two transacts are answered together, the second first.
  std::mutex held;
  std::vector<std::pair<WireFrame, WireMessage>> waiting;
  server.SetTransactHandler([&](const WireFrame& frame, const WireMessage& request) -> std::vector<uint8_t> {
    const std::string type = *request.Field("MSGTYPE");
    if (type == "silent") return {};
    if (type == "refused") return WireFrame::Error(frame.id, E_NOTIMPL, "not served");
    std::lock_guard<std::mutex> lock(held);
    waiting.emplace_back(frame, request);
    if (waiting.size() < 2) return {};
    std::vector<uint8_t> both = EchoReply(waiting[1].first, waiting[1].second);
    std::vector<uint8_t> first = EchoReply(waiting[0].first, waiting[0].second);
    both.insert(both.end(), first.begin(), first.end());
    waiting.clear();
    return both;
  });
  ASSERT_EQ(Connect(server), S_OK);

  HRESULT results[2] = {E_FAIL, E_FAIL};
  std::string answered[2];
  std::thread threads[2];
  for (int i = 0; i < 2; ++i) {
    threads[i] = std::thread([&, i] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      ComPtr<IMuxMessage> request = Message({{"MSGTYPE", "4"}, {"transid", i ? "11" : "10"}});
      ComPtr<IMuxMessage> reply;
      results[i] = connection_->Transact(request.get(), reply.put(), 10000);
      if (reply && reply->GetField("transid")) answered[i] = reply->GetField("transid");
      CoUninitialize();
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(results[0], S_OK);
  EXPECT_EQ(results[1], S_OK);
  EXPECT_EQ(answered[0], "10");
  EXPECT_EQ(answered[1], "11");

  ComPtr<IMuxMessage> reply;
  ComPtr<IMuxMessage> refused = Message({{"MSGTYPE", "refused"}});
  EXPECT_EQ(connection_->Transact(refused.get(), reply.put(), 5000), E_NOTIMPL) << "the service's refusal";
  EXPECT_FALSE(reply);
  ComPtr<IMuxMessage> silent = Message({{"MSGTYPE", "silent"}});
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(connection_->Transact(silent.get(), reply.put(), 300), HRESULT_FROM_WIN32(ERROR_TIMEOUT));
  const ULONGLONG waited = GetTickCount64() - start;
  EXPECT_GE(waited, 250u);
  EXPECT_LT(waited, 3000u);
  EXPECT_EQ(connection_->Transact(nullptr, reply.put(), 10), E_POINTER);
  EXPECT_EQ(connection_->Transact(silent.get(), nullptr, 10), E_POINTER);
  EXPECT_EQ(sink_->postsFailed, 0) << "a refused transact is not a failed post";
}

TEST_F(MuxConnectionTest, NotificationsReachTheSinkWithTheirBodyFromTheStart) {
  MuxTestServer server;
  ASSERT_EQ(Connect(server), S_OK);
  WireMessage note;
  note.fields = {{"MSGTYPE", "5"}, {"HRESULT", "-2147467259"}, {"transid", "7"}};
  note.body = {1, 2, 3, 4, 5};
  server.Send(WireFrame::Encode(kNotify, 0, note.Encode()));
  // A refused post is reported as such.
  server.Send(WireFrame::Error(42, E_INVALIDARG, "bad item"));
  ASSERT_TRUE(sink_->WaitFor([&] { return sink_->messages.size() == 1 && sink_->postsFailed == 1; }));
  auto lock = sink_->Lock();
  IMuxMessage* received = sink_->messages[0].get();
  EXPECT_EQ(sink_->messageContexts[0], sink_->connectedContext);
  EXPECT_STREQ(received->GetField("HRESULT"), "-2147467259");
  EXPECT_STREQ(received->GetFieldName(2), "transid");
  EXPECT_EQ(received->GetText(), nullptr);
  ComPtr<IStream> body;
  ASSERT_EQ(received->QueryInterface(IID_IStream, body.put_void()), S_OK);
  BYTE bytes[8] = {};
  ULONG read = 0;
  EXPECT_EQ(body->Read(bytes, sizeof(bytes), &read), S_OK);
  EXPECT_EQ(read, 5u);
  EXPECT_EQ(std::memcmp(bytes, note.body.data(), 5), 0);
  EXPECT_EQ(sink_->postFailure, E_INVALIDARG);
}

TEST_F(MuxConnectionTest, TheSinkHearsOnceWhenTheServiceGoesAway) {
  MuxTestServer server;
  ASSERT_EQ(Connect(server), S_OK);
  ASSERT_TRUE(server.WaitForFrames(1));
  server.DropClient();
  ASSERT_TRUE(sink_->WaitFor([&] { return sink_->closed > 0; }));
  Sleep(200);  // a second notification would come now
  EXPECT_EQ(sink_->closed, 1);
  EXPECT_EQ(sink_->closedContext, sink_->connectedContext);
  EXPECT_TRUE(FAILED(sink_->closedReason)) << std::hex << sink_->closedReason;
  ComPtr<IMuxMessage> message = Message({{"MSGTYPE", "1"}});
  EXPECT_TRUE(FAILED(connection_->Post(message.get(), 100)));
  ComPtr<IMuxMessage> reply;
  EXPECT_TRUE(FAILED(connection_->Transact(message.get(), reply.put(), 100)));
}

TEST_F(MuxConnectionTest, StopEndsNotificationsWithoutWaitingForOneInProgress) {
  MuxTestServer server;
  ASSERT_EQ(Connect(server), S_OK);
  unique_handle entered(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  unique_handle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  sink_->onMessage = [&](IMuxMessage*) {
    SetEvent(entered.get());
    WaitForSingleObject(release.get(), 10000);
  };
  WireMessage note;
  note.fields = {{"MSGTYPE", "5"}};
  server.Send(WireFrame::Encode(kNotify, 0, note.Encode()));
  ASSERT_EQ(WaitForSingleObject(entered.get(), 5000), WAIT_OBJECT_0);

  EXPECT_EQ(connection_->Stop(1), E_INVALIDARG);
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(connection_->Stop(0), S_OK);
  EXPECT_LT(GetTickCount64() - start, 1000u) << "Stop waited for the notification in progress";
  SetEvent(release.get());
  ASSERT_TRUE(sink_->WaitFor([&] { return sink_->messages.size() == 1; })) << "the running one finishes";

  server.Send(WireFrame::Encode(kNotify, 0, note.Encode()));
  server.DropClient();
  Sleep(300);
  EXPECT_EQ(sink_->messages.size(), 1u);
  EXPECT_EQ(sink_->closed, 0);
}

TEST_F(MuxConnectionTest, TheLastReleaseMayComeFromInsideANotification) {
  MuxTestServer server;
  ASSERT_EQ(Connect(server), S_OK);
  unique_handle released(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::atomic<IMuxConnection*> held{connection_.release()};
  sink_->onClosed = [&](LONG) {
    // The client drops the connection inside the notification, on the
    // connection's own thread: nothing may wait for that thread.
    if (IMuxConnection* c = held.exchange(nullptr)) c->Release();
    SetEvent(released.get());
  };
  server.DropClient();
  EXPECT_EQ(WaitForSingleObject(released.get(), 5000), WAIT_OBJECT_0);
  EXPECT_TRUE(sink_->WaitFor([&] { return sink_->closed == 1; }));
}

// A hung service costs one time-out, not one per call.
TEST_F(MuxConnectionTest, AServiceThatNeverGreetsIsWaitedForOnceThenTriedOnABackOff) {
  MuxTestServer server;
  server.SetReading(false);  // accepts, never reads the hello
  const HRESULT timedOut = HRESULT_FROM_WIN32(WSAETIMEDOUT);
  ULONGLONG start = GetTickCount64();
  EXPECT_EQ(Connect(server), timedOut);
  EXPECT_GT(GetTickCount64() - start, 2000u) << "the first attempt waits for the greeting";
  start = GetTickCount64();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Connect(server), timedOut);
  EXPECT_LT(GetTickCount64() - start, 1000u) << "while known broken, connects fail at once";
  server.SetReading(true);
  Sleep(1500);  // past the first back-off
  EXPECT_EQ(Connect(server), S_OK);
}

TEST_F(MuxConnectionTest, AServiceThatStopsReadingIsWaitedForOnceUntilItReadsAgain) {
  MuxTestServer server;
  ASSERT_EQ(Connect(server), S_OK);
  ASSERT_TRUE(server.WaitForFrames(1));
  server.SetReading(false);
  const std::vector<BYTE> bulk(256 * 1024, 'x');
  const auto bulky = [&] {
    ComPtr<IMuxMessage> message = Message({{"MSGTYPE", "1"}});
    EXPECT_EQ(message->SetData(0, static_cast<ULONG>(bulk.size()), bulk.data()), S_OK);
    return message;
  };
  HRESULT hr = S_OK;
  for (int i = 0; i < 400 && hr == S_OK; ++i) hr = connection_->Post(bulky().get(), 300);
  ASSERT_EQ(hr, HRESULT_FROM_WIN32(ERROR_TIMEOUT)) << "the queue never filled";
  EXPECT_EQ(connection_->Post(bulky().get(), 300), hr) << "a wait in which nothing got through";
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(connection_->Post(bulky().get(), 10000), HRESULT_FROM_WIN32(ERROR_TIMEOUT));
  EXPECT_LT(GetTickCount64() - start, 2000u) << "a service known to have stopped reading is not waited for";
  server.SetReading(true);
  EXPECT_EQ(connection_->Flush(30000), S_OK);
  EXPECT_EQ(connection_->Post(bulky().get(), 10000), S_OK);
}

TEST_F(MuxConnectionTest, DisconnectSendsWhatIsQueuedFirst) {
  MuxTestServer server;
  ASSERT_EQ(Connect(server), S_OK);
  ASSERT_TRUE(server.WaitForFrames(1));
  server.SetReading(false);
  for (int i = 0; i < 500; ++i) {
    ComPtr<IMuxMessage> message = Message({{"MSGTYPE", "1"}});
    ASSERT_EQ(connection_->Post(message.get(), 1000), S_OK);
  }
  server.SetReading(true);
  EXPECT_EQ(connection_->Disconnect(), S_OK);
  EXPECT_TRUE(server.WaitForEof());
  EXPECT_EQ(server.Frames().size(), 501u);
  EXPECT_EQ(sink_->closed, 0) << "the client closed it itself";
  ComPtr<IMuxMessage> message = Message({{"MSGTYPE", "1"}});
  EXPECT_EQ(connection_->Post(message.get(), 100), HRESULT_FROM_WIN32(WSAENOTCONN));
}

}  // namespace
}  // namespace hv::test
