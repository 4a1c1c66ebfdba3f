// The reply to a "3" request as HVMux.dll hands it to the library: the
// service's record, then a marshalled interface of the adaptor proxy that the
// component builds itself, which answers IAdaptorReader only when the service
// says the adaptor can be read from.
#include <thread>

#include "support/TestSupport.h"
#include "testmux/MuxTestSupport.h"

namespace hv::test {
namespace {

const GUID kStore = {0x1b67abec, 0x0e98, 0x4b4f, {0x9a, 0x72, 0xa3, 0x66, 0x62, 0x5f, 0x20, 0xd6}};

std::vector<uint8_t> Record(const std::wstring& name) {
  std::vector<uint8_t> record(272, 0);
  record[0] = 0x0f;
  record[4] = 0x0d;
  record[8] = 0x01;
  record[11] = 0x08;
  for (size_t i = 0; i < name.size(); ++i) record[12 + 2 * i] = static_cast<uint8_t>(name[i]);
  return record;
}

class MuxAdaptorTest : public ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    ASSERT_EQ(CreateMuxServiceFrom(BinDir() + L"HVMux.dll", service_.put()), S_OK);
    sink_ = MakeObject<RecordingSink>();
    // The service's side of "3", as the protocol describes it; the test says
    // what the next answer holds.
    server_.SetTransactHandler([this](const WireFrame& frame, const WireMessage& request) {
      requestData_ = request.data;
      WireMessage reply;
      reply.fields = {{"MSGTYPE", "3"}, {"transid", *request.Field("transid")}, {"HRESULT", result_}};
      if (!reader_.empty()) reply.fields.emplace_back("READER", reader_);
      reply.body = body_;
      return WireFrame::Encode(kReply, frame.id, reply.Encode());
    });
    // A service that does not serve reading, as an older one would answer.
    server_.SetFrameHandler([](const WireFrame& frame) {
      if (frame.kind == kPost) return std::vector<uint8_t>();
      return WireFrame::Error(frame.id, E_NOTIMPL, "reading is not served by this service");
    });
    ASSERT_EQ(service_->Connect(server_.Address().c_str(), 0, static_cast<IMuxSink*>(sink_.get()),
                                connection_.put()),
              S_OK);
  }
  void TearDown() override {
    connection_->Stop(0);
    connection_->Disconnect();
    connection_.reset();
    ComTest::TearDown();
  }
  HRESULT Request(ComPtr<IMuxMessage>* reply) {
    ComPtr<IMuxMessage> request;
    EXPECT_EQ(connection_->CreateMessage(request.put()), S_OK);
    request->SetField("MSGTYPE", "3");
    request->SetField("transid", "4");
    request->SetData(0, sizeof(kStore), reinterpret_cast<const BYTE*>(&kStore));
    return connection_->Transact(request.get(), reply->put(), 10000);
  }
  // Reads the record the way the library does, then unmarshals the adaptor.
  HRESULT Unmarshal(IMuxMessage* reply, std::vector<uint8_t>* record, IUnknown** adaptor) {
    ComPtr<IStream> body;
    RETURN_IF_FAILED(reply->QueryInterface(IID_IStream, body.put_void()));
    record->assign(272, 0);
    ULONG read = 0;
    RETURN_IF_FAILED(body->Read(record->data(), 272, &read));
    return CoUnmarshalInterface(body.get(), IID_IUnknown, reinterpret_cast<void**>(adaptor));
  }

  MuxTestServer server_;
  ComPtr<IMuxService> service_;
  ComPtr<RecordingSink> sink_;
  ComPtr<IMuxConnection> connection_;
  std::string result_ = "0";
  std::string reader_ = "1";
  std::vector<uint8_t> body_ = Record(L"Message store");
  std::vector<uint8_t> requestData_;
};

TEST_F(MuxAdaptorTest, AReadableAdaptorComesBackAsAReaderThatPassesOnTheServicesRefusal) {
  ComPtr<IMuxMessage> reply;
  ASSERT_EQ(Request(&reply), S_OK);
  EXPECT_EQ(Hex(requestData_), Hex(std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(&kStore),
                                                        reinterpret_cast<const uint8_t*>(&kStore) + 16)))
      << "the class id travels in its memory layout";
  EXPECT_STREQ(reply->GetField("HRESULT"), "0");
  std::vector<uint8_t> record;
  ComPtr<IUnknown> adaptor;
  ASSERT_EQ(Unmarshal(reply.get(), &record, adaptor.put()), S_OK);
  EXPECT_EQ(Hex(record), Hex(body_));

  ComPtr<IAdaptorReader> reader;
  ASSERT_EQ(adaptor->QueryInterface(IID_IAdaptorReader, reader.put_void()), S_OK);
  ComPtr<IUnknown> identity;
  ASSERT_EQ(reader->QueryInterface(IID_IUnknown, identity.put_void()), S_OK);
  EXPECT_EQ(identity.get(), adaptor.get());
  EXPECT_EQ(reader->Read(0x0409, nullptr, nullptr, nullptr), E_POINTER);
  ComPtr<IEnumUnknown> items;
  EXPECT_EQ(reader->Read(0x0409, nullptr, nullptr, items.put()), E_NOTIMPL);
  EXPECT_FALSE(items);
  EXPECT_EQ(TakeErrorDescription(), L"reading is not served by this service");
  ComPtr<IConnectionPointContainer> subscription;
  EXPECT_EQ(reader->Subscribe(0x0409, nullptr, nullptr, 100, 10, subscription.put()), E_NOTIMPL);
  EXPECT_FALSE(subscription);
  ComPtr<ISupportErrorInfo> support;
  ASSERT_EQ(reader->QueryInterface(IID_ISupportErrorInfo, support.put_void()), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IAdaptorReader), S_OK);
}

TEST_F(MuxAdaptorTest, NoReaderFlagAFailureOrAShortRecord) {
  // Bytes after the record are not the library's to read: the interface
  // follows the record directly.
  reader_ = "0";
  body_.insert(body_.end(), {0xde, 0xad, 0xbe, 0xef});
  ComPtr<IMuxMessage> reply;
  ASSERT_EQ(Request(&reply), S_OK);
  std::vector<uint8_t> record;
  ComPtr<IUnknown> adaptor;
  ASSERT_EQ(Unmarshal(reply.get(), &record, adaptor.put()), S_OK);
  EXPECT_EQ(Hex(record), Hex(std::vector<uint8_t>(body_.begin(), body_.begin() + 272)));
  ComPtr<IAdaptorReader> reader;
  EXPECT_EQ(adaptor->QueryInterface(IID_IAdaptorReader, reader.put_void()), E_NOINTERFACE);

  // A failure carries no body; the library reads the failure from the reply.
  result_ = "-2147221164";
  reader_.clear();
  body_.clear();
  ASSERT_EQ(Request(&reply), S_OK);
  EXPECT_STREQ(reply->GetField("HRESULT"), "-2147221164");
  ComPtr<IStream> body;
  ASSERT_EQ(reply->QueryInterface(IID_IStream, body.put_void()), S_OK);
  EXPECT_TRUE(ReadRest(body.get()).empty());
  result_ = "0";
  body_.assign(100, 0);
  EXPECT_EQ(Request(&reply), HRESULT_FROM_WIN32(ERROR_INVALID_DATA));
}

TEST_F(MuxAdaptorTest, AnotherApartmentGetsAWorkingProxyOnceTheTypeLibraryIsRegistered) {
  const bool registeredBefore = !RegisteredMuxServer().empty();
  ASSERT_EQ(CallDllExport(BinDir() + L"HVMux.dll", "DllRegisterServer"), S_OK);
  ComPtr<IMuxMessage> reply;
  ASSERT_EQ(Request(&reply), S_OK);
  ComPtr<IStream> body;
  ASSERT_EQ(reply->QueryInterface(IID_IStream, body.put_void()), S_OK);
  std::vector<uint8_t> record(272);
  ULONG read = 0;
  ASSERT_EQ(body->Read(record.data(), 272, &read), S_OK);
  // The library's thread may live in a single-threaded apartment.
  HRESULT unmarshalled = E_FAIL, queried = E_FAIL, readResult = S_OK;
  std::thread sta([&] {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ComPtr<IUnknown> adaptor;
    unmarshalled = CoUnmarshalInterface(body.get(), IID_IUnknown, adaptor.put_void());
    ComPtr<IAdaptorReader> reader;
    if (adaptor) queried = adaptor->QueryInterface(IID_IAdaptorReader, reader.put_void());
    ComPtr<IEnumUnknown> items;
    if (reader) readResult = reader->Read(0x0409, nullptr, nullptr, items.put());
    reader.reset();
    adaptor.reset();
    CoUninitialize();
  });
  sta.join();
  if (!registeredBefore) {
    EXPECT_EQ(CallDllExport(BinDir() + L"HVMux.dll", "DllUnregisterServer"), S_OK);
  }
  EXPECT_EQ(unmarshalled, S_OK);
  EXPECT_EQ(queried, S_OK);
  EXPECT_EQ(readResult, E_NOTIMPL);
}

}  // namespace
}  // namespace hv::test
