// HVMux.dll against the real Mux service: the native tarnhost (HV_TARNHOST),
// started by each test with a store of its own. Without a native build there
// is nothing to run against and the tests say so.
#include <memory>

#include "support/HostProcess.h"
#include "support/TestSupport.h"
#include "testmux/MuxTestSupport.h"

namespace hv::test {
namespace {

const wchar_t kStoreClsid[] = L"{1B67ABEC-0E98-4B4F-9A72-A366625F20D6}";

class MuxTarnhostTest : public ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    if (!HostProcess::Available()) GTEST_SKIP() << "tarnhost is not built (HV_TARNHOST)";
    host_ = std::make_unique<HostProcess>(::testing::UnitTest::GetInstance()->current_test_info()->name());
    ASSERT_TRUE(host_->Start()) << host_->Log();
    address_ = L"ip:127.0.0.1:" + std::to_wstring(host_->port());
    ASSERT_EQ(CreateMuxServiceFrom(BinDir() + L"HVMux.dll", service_.put()), S_OK);
    sink_ = MakeObject<RecordingSink>();
    ASSERT_EQ(service_->Connect(address_.c_str(), 0, static_cast<IMuxSink*>(sink_.get()), connection_.put()), S_OK)
        << Narrow(address_);
  }
  void TearDown() override {
    if (connection_) {
      connection_->Stop(0);
      connection_->Disconnect();
      connection_.reset();
    }
    host_.reset();
    ComTest::TearDown();
  }
  // An item as the library saves it into a message's body.
  ComPtr<IMuxMessage> ItemMessage(const char* type, const char* transid, const wchar_t* text) {
    ComPtr<IMuxMessage> message;
    EXPECT_EQ(connection_->CreateMessage(message.put()), S_OK);
    message->SetField("MSGTYPE", type);
    if (transid) message->SetField("transid", transid);
    ComPtr<ITAVDiagnosticLogItemEx> item;
    EXPECT_EQ(CreateItem(item.put()), S_OK);
    if (!item) return message;
    unique_variant value;
    V_VT(value.get()) = VT_BSTR;
    V_BSTR(value.get()) = SysAllocString(text);
    item->PutParam(unique_bstr(SysAllocString(L"msgtext")).get(), *value.get());
    // Info for developers: categories the store takes.
    unique_variant category;
    V_VT(category.get()) = VT_I4;
    V_I4(category.get()) = 4;
    item->PutParam(unique_bstr(SysAllocString(L"severity")).get(), *category.get());
    V_I4(category.get()) = 2;
    item->PutParam(unique_bstr(SysAllocString(L"audience")).get(), *category.get());
    ComPtr<IPersistStream> persist;
    ComPtr<IStream> body;
    EXPECT_EQ(item->QueryInterface(IID_IPersistStream, persist.put_void()), S_OK);
    EXPECT_EQ(message->QueryInterface(IID_IStream, body.put_void()), S_OK);
    if (persist && body) {
      EXPECT_EQ(persist->Save(body.get(), FALSE), S_OK);
    }
    return message;
  }
  static std::vector<uint8_t> BodyOf(IMuxMessage* message) {
    ComPtr<IStream> body;
    if (FAILED(message->QueryInterface(IID_IStream, body.put_void()))) return {};
    LARGE_INTEGER start = {};
    body->Seek(start, STREAM_SEEK_SET, nullptr);
    return ReadRest(body.get());
  }

  std::unique_ptr<HostProcess> host_;
  std::wstring address_;
  ComPtr<IMuxService> service_;
  ComPtr<RecordingSink> sink_;
  ComPtr<IMuxConnection> connection_;
};

TEST_F(MuxTarnhostTest, DescribesItsAdaptors) {
  ComPtr<IMuxMessage> list, reply;
  ASSERT_EQ(connection_->CreateMessage(list.put()), S_OK);
  list->SetField("MSGTYPE", "4");
  list->SetField("transid", "0");
  ASSERT_EQ(connection_->Transact(list.get(), reply.put(), 10000), S_OK);
  EXPECT_STREQ(reply->GetField("transid"), "0");
  ASSERT_NE(reply->GetText(), nullptr);
  EXPECT_NE(std::wstring(reply->GetText()).find(kStoreClsid), std::wstring::npos) << Narrow(reply->GetText());

  ComPtr<IMuxMessage> one;
  ASSERT_EQ(connection_->CreateMessage(one.put()), S_OK);
  one->SetField("MSGTYPE", "3");
  one->SetField("transid", "1");
  CLSID store = {};
  ASSERT_EQ(CLSIDFromString(kStoreClsid, &store), S_OK);
  one->SetData(0, sizeof(store), reinterpret_cast<const BYTE*>(&store));
  ASSERT_EQ(connection_->Transact(one.get(), reply.put(), 10000), S_OK);
  EXPECT_STREQ(reply->GetField("HRESULT"), "0");
  ComPtr<IStream> body;
  ASSERT_EQ(reply->QueryInterface(IID_IStream, body.put_void()), S_OK);
  std::vector<uint8_t> record(272);
  ULONG read = 0;
  ASSERT_EQ(body->Read(record.data(), 272, &read), S_OK);
  ASSERT_EQ(read, 272u);
  EXPECT_NE(reinterpret_cast<const wchar_t*>(record.data() + 12)[0], L'\0') << "the adaptor has a name";
  ComPtr<IUnknown> adaptor;
  ASSERT_EQ(CoUnmarshalInterface(body.get(), IID_IUnknown, adaptor.put_void()), S_OK);
  ComPtr<IAdaptorReader> reader;
  EXPECT_EQ(adaptor->QueryInterface(IID_IAdaptorReader, reader.put_void()),
            std::string(reply->GetField("READER")) == "1" ? S_OK : E_NOINTERFACE);

  CLSID unknown = store;
  unknown.Data1 ^= 1;
  one->SetData(0, sizeof(unknown), reinterpret_cast<const BYTE*>(&unknown));
  ASSERT_EQ(connection_->Transact(one.get(), reply.put(), 10000), S_OK);
  EXPECT_STREQ(reply->GetField("HRESULT"), "-2147221164");
}

TEST_F(MuxTarnhostTest, StoresPostedItemsAndAnswersTheOneThatWaits) {
  constexpr int kPosted = 500;
  for (int i = 0; i < kPosted; ++i) {
    ComPtr<IMuxMessage> item = ItemMessage("1", nullptr, (L"posted " + std::to_wstring(i)).c_str());
    ASSERT_EQ(connection_->Post(item.get(), 10000), S_OK);
  }
  ComPtr<IMuxMessage> waiting = ItemMessage("2", "123", L"the one that waits");
  const std::vector<uint8_t> sent = BodyOf(waiting.get());
  ASSERT_EQ(connection_->Post(waiting.get(), 10000), S_OK);
  // The answer comes once the store has it, and after everything posted before.
  ASSERT_TRUE(sink_->WaitFor([&] { return !sink_->messages.empty(); }, 20000));
  auto lock = sink_->Lock();
  IMuxMessage* answer = sink_->messages[0].get();
  EXPECT_STREQ(answer->GetField("MSGTYPE"), "5");
  EXPECT_STREQ(answer->GetField("HRESULT"), "0");
  EXPECT_STREQ(answer->GetField("transid"), "123");
  EXPECT_EQ(BodyOf(answer), sent) << "the item comes back as it was sent";
  EXPECT_EQ(sink_->postsFailed, 0);
  lock.unlock();
  EXPECT_EQ(host_->Query("SELECT COUNT(*) FROM messages;"), std::to_string(kPosted + 1) + "\n") << host_->Log();
}

TEST_F(MuxTarnhostTest, ARefusedPostIsReportedAndTheServiceGoingAwayOnce) {
  ComPtr<IMuxMessage> bad;
  ASSERT_EQ(connection_->CreateMessage(bad.put()), S_OK);
  bad->SetField("MSGTYPE", "1");
  ComPtr<IStream> body;
  ASSERT_EQ(bad->QueryInterface(IID_IStream, body.put_void()), S_OK);
  ULONG written = 0;
  body->Write("not an item", 11, &written);
  ASSERT_EQ(connection_->Post(bad.get(), 10000), S_OK) << "posting never waits for the service";
  ASSERT_TRUE(sink_->WaitFor([&] { return sink_->postsFailed == 1; }));
  EXPECT_EQ(sink_->postFailure, E_INVALIDARG);

  ASSERT_TRUE(host_->Stop());
  ASSERT_TRUE(sink_->WaitFor([&] { return sink_->closed > 0; }, 10000));
  Sleep(200);
  EXPECT_EQ(sink_->closed, 1);
  EXPECT_TRUE(FAILED(sink_->closedReason));
}

}  // namespace
}  // namespace hv::test
