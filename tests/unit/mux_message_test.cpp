// The protocol message of the Mux component: fields, text, data and the body
// stream. The message class is shared by HVMux.dll and its test double; the
// double is used here because it needs no service, and its record of a posted
// message is a received copy whose body must read from its start.
#include <cstring>
#include <string>

#include "support/TestSupport.h"
#include "testmux/MuxTestSupport.h"
#include "testmux/TestMuxControl.h"

namespace hv::test {
namespace {

class MuxMessageTest : public ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    control_ = std::make_unique<TestMuxLibrary>(BinDir() + L"TestMux.dll", false);
    ASSERT_TRUE(control_->ok()) << std::hex << control_->registration();
    control_->Reset();
    ComPtr<IMuxService> service;
    ASSERT_EQ(CreateMuxServiceFrom(BinDir() + L"TestMux.dll", service.put()), S_OK);
    sink_ = MakeObject<RecordingSink>();
    ASSERT_EQ(service->Connect(L"ip:127.0.0.1:60093", 0, static_cast<IMuxSink*>(sink_.get()), connection_.put()),
              S_OK);
    ASSERT_EQ(connection_->CreateMessage(message_.put()), S_OK);
  }
  void TearDown() override {
    message_.reset();
    connection_.reset();
    control_.reset();
    ComTest::TearDown();
  }

  std::unique_ptr<TestMuxLibrary> control_;
  ComPtr<RecordingSink> sink_;
  ComPtr<IMuxConnection> connection_;
  ComPtr<IMuxMessage> message_;
};

TEST_F(MuxMessageTest, FieldsKeepTheirFirstOrderAndTheirPointersStayValid) {
  EXPECT_EQ(message_->GetFieldName(0), nullptr);
  EXPECT_EQ(message_->GetField("MSGTYPE"), nullptr);
  EXPECT_EQ(message_->SetField("MSGTYPE", "2"), S_OK);
  EXPECT_EQ(message_->SetField("transid", "17"), S_OK);
  EXPECT_EQ(message_->SetField("HRESULT", "0"), S_OK);
  const char* type = message_->GetField("MSGTYPE");
  const char* oldId = message_->GetField("transid");
  EXPECT_EQ(message_->SetField("transid", "-5"), S_OK);
  // Enough fields to make any array behind them grow several times.
  for (int i = 0; i < 40; ++i) EXPECT_EQ(message_->SetField(("f" + std::to_string(i)).c_str(), "v"), S_OK);
  EXPECT_STREQ(message_->GetFieldName(0), "MSGTYPE");
  EXPECT_STREQ(message_->GetFieldName(1), "transid") << "a replaced field keeps its place";
  EXPECT_STREQ(message_->GetFieldName(2), "HRESULT");
  EXPECT_STREQ(message_->GetFieldName(42), "f39");
  EXPECT_EQ(message_->GetFieldName(43), nullptr);
  EXPECT_STREQ(message_->GetField("transid"), "-5");
  EXPECT_EQ(message_->GetField("MSGTYPE"), type) << "the same buffer while the message lives";
  EXPECT_STREQ(type, "2");
  EXPECT_STREQ(oldId, "17") << "a pointer handed out before the value was replaced still reads";
  EXPECT_EQ(message_->GetField("msgtype"), nullptr) << "names compare exactly";
  EXPECT_EQ(message_->GetField(nullptr), nullptr);
}

TEST_F(MuxMessageTest, RefusesFieldsThatCannotTravel) {
  const std::string longest(64, 'n'), tooLong(65, 'n'), longestValue(1024, 'v'), tooLongValue(1025, 'v');
  const struct {
    const char *name, *value;
    HRESULT hr;
  } cases[] = {
      {nullptr, "x", E_INVALIDARG},          {"x", nullptr, E_INVALIDARG},
      {"", "x", E_INVALIDARG},               {"a b", "x", E_INVALIDARG},
      {"caf\xc3\xa9", "x", E_INVALIDARG},    {tooLong.c_str(), "x", E_INVALIDARG},
      {longest.c_str(), "x", S_OK},          {"v", tooLongValue.c_str(), E_INVALIDARG},
      {"v", longestValue.c_str(), S_OK},     {"empty", "", S_OK},
  };
  for (const auto& c : cases)
    EXPECT_EQ(message_->SetField(c.name, c.value), c.hr) << (c.name ? c.name : "(null)");
  EXPECT_STREQ(message_->GetField("empty"), "");
  // At most 64 fields.
  for (int i = 3; i < 64; ++i) ASSERT_EQ(message_->SetField(("f" + std::to_string(i)).c_str(), "1"), S_OK) << i;
  EXPECT_EQ(message_->SetField("one-too-many", "1"), E_INVALIDARG);
  EXPECT_EQ(message_->SetField("v", "replacing needs no new place"), S_OK);
  EXPECT_EQ(message_->GetFieldName(64), nullptr);
}

TEST_F(MuxMessageTest, TextAndDataAreBuffersOfTheMessage) {
  EXPECT_EQ(message_->GetText(), nullptr);
  EXPECT_EQ(message_->SetText(L"{1B67ABEC};{2C}"), S_OK);
  wchar_t* text = message_->GetText();
  ASSERT_NE(text, nullptr);
  // The library splits the list in place.
  *wcschr(text, L';') = L'\0';
  EXPECT_EQ(message_->GetText(), text);
  EXPECT_STREQ(message_->GetText(), L"{1B67ABEC}");
  EXPECT_EQ(message_->SetText(nullptr), S_OK);
  EXPECT_EQ(message_->GetText(), nullptr);

  const BYTE* data = reinterpret_cast<const BYTE*>(1);
  ULONG size = 99;
  EXPECT_EQ(message_->GetData(nullptr, &size), E_POINTER);
  EXPECT_EQ(message_->GetData(&data, nullptr), E_POINTER);
  const BYTE clsid[16] = {0xec, 0xab, 0x67, 0x1b, 0x0e, 0x0e, 0x4f, 0x4b, 0x9a, 0x72, 0xa3, 0x66, 0x62, 0x5f, 0x20, 0xd6};
  EXPECT_EQ(message_->SetData(1, 16, clsid), E_INVALIDARG);
  EXPECT_EQ(message_->SetData(0, 16, nullptr), E_POINTER);
  // Replaced whole, kept as the message's own copy, and removable.
  const struct {
    ULONG size;
    const BYTE* bytes;
  } sets[] = {{0, nullptr} /* none yet */, {16, clsid}, {4, clsid + 12}, {0, nullptr}};
  for (const auto& set : sets) {
    if (&set != sets) {
      EXPECT_EQ(message_->SetData(0, set.size, set.bytes), S_OK);
    }
    EXPECT_EQ(message_->GetData(&data, &size), S_OK);
    ASSERT_EQ(size, set.size);
    EXPECT_EQ(data == nullptr, set.size == 0);
    if (set.size) {
      EXPECT_EQ(std::memcmp(data, set.bytes, set.size), 0);
      EXPECT_NE(data, set.bytes);
    }
  }
}

TEST_F(MuxMessageTest, TheMessageIsItsBodysStreamAndACopyReadsFromTheStart) {
  ComPtr<IStream> stream;
  ComPtr<ISequentialStream> sequential;
  ComPtr<IUnknown> a, b;
  ASSERT_EQ(message_->QueryInterface(IID_IStream, stream.put_void()), S_OK);
  ASSERT_EQ(message_->QueryInterface(IID_ISequentialStream, sequential.put_void()), S_OK);
  ASSERT_EQ(stream->QueryInterface(IID_IUnknown, a.put_void()), S_OK);
  ASSERT_EQ(message_->QueryInterface(IID_IUnknown, b.put_void()), S_OK);
  EXPECT_EQ(a.get(), b.get()) << "one object";

  std::vector<uint8_t> item(300);
  for (size_t i = 0; i < item.size(); ++i) item[i] = static_cast<uint8_t>(i * 7);
  ULONG written = 0;
  ASSERT_EQ(stream->Write(item.data(), 200, &written), S_OK);
  ASSERT_EQ(sequential->Write(item.data() + 200, 100, &written), S_OK);
  STATSTG stat = {};
  EXPECT_EQ(stream->Stat(&stat, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(stat.cbSize.QuadPart, 300u);
  EXPECT_EQ(message_->SetField("MSGTYPE", "1"), S_OK);
  EXPECT_EQ(message_->SetText(L"t"), S_OK);
  // The writer's position is at the end; what travels is the whole body.
  ASSERT_EQ(connection_->Post(message_.get(), 1000), S_OK);

  ComPtr<IMuxMessage> copy;
  LONG kind = 0;
  ASSERT_EQ(control_->MessageAt(0, copy.put(), &kind), S_OK);
  EXPECT_EQ(kind, TestMuxSend_Post);
  EXPECT_STREQ(copy->GetField("MSGTYPE"), "1");
  EXPECT_STREQ(copy->GetText(), L"t");
  ComPtr<IStream> body;
  ASSERT_EQ(copy->QueryInterface(IID_IStream, body.put_void()), S_OK);
  std::vector<uint8_t> read(400);
  ULONG got = 0;
  EXPECT_EQ(body->Read(read.data(), 400, &got), S_OK);
  read.resize(got);
  EXPECT_EQ(Hex(read), Hex(item));
}

}  // namespace
}  // namespace hv::test
