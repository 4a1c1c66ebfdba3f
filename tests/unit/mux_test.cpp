// HVMux.dll against a stand-in for the Mux service on 127.0.0.1 in this
// process. The stand-in has a frame codec of its own, written from the
// protocol description, so the component's bytes are compared with the
// description rather than with its own encoder.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include "HVMux.h"
#include "common/ByteStream.h"
#include "common/ComObject.h"
#include "common/DirectItemPost.h"
#include "log/CTAVDiagnosticLog.h"
#include "support/TestSupport.h"

namespace hv::test {
namespace {

// An exported function of HVMux.dll, loaded from its file (and kept loaded).
template <typename F>
F MuxExport(const char* name) {
  HMODULE module = LoadLibraryW((BinDir() + L"HVMux.dll").c_str());
  return module ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}

// State under one lock whose every change wakes the waiters.
class Watched {
 public:
  // Waits until pred (called under the lock) holds; false on time-out.
  bool WaitFor(const std::function<bool()>& pred, DWORD timeoutMs = 5000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), pred);
  }
  std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(mutex_); }

 protected:
  template <typename F>
  HRESULT Change(F f) {
    std::lock_guard<std::mutex> lock(mutex_);
    f();
    changed_.notify_all();
    return S_OK;
  }
  std::mutex mutex_;
  std::condition_variable changed_;
};

// A sink that records what it is told.
class RecordingSink final : public IMuxSink, public ComObject, public Watched {
 public:
  HV_COM_OBJECT(RecordingSink)
  static inline const QIEntry kInterfaces[] = {HV_QI_ENTRY(RecordingSink, IMuxSink), HV_QI_END};

  // Run inside OnMessage and OnConnectionClosed, on the component's thread.
  std::function<void()> inside;

  STDMETHODIMP OnConnected(LONG context) override {
    return Change([&] { connectedContext = context, ++connected; });
  }
  STDMETHODIMP OnSendQueueEmpty(LONG) override { return S_OK; }
  STDMETHODIMP OnConnectionClosed(LONG context, LONG hrReason) override {
    if (inside) inside();
    return Change([&] { closedContext = context, closedReason = hrReason, ++closed; });
  }
  STDMETHODIMP OnPostFailed(LONG, LONG cDropped, LONG hr) override {
    return Change([&] { postsFailed += cDropped, postFailure = hr; });
  }
  STDMETHODIMP OnMessage(LONG context, IMuxMessage* msg) override {
    if (inside) inside();
    return Change([&] { messageContexts.push_back(context), messages.emplace_back(msg); });
  }
  STDMETHODIMP OnQueueLevel(LONG, LONG, LONG) override { return S_OK; }

  LONG connected = 0, connectedContext = 0, closed = 0, closedContext = 0, closedReason = 0;
  LONG postsFailed = 0, postFailure = 0;
  std::vector<LONG> messageContexts;
  std::vector<ComPtr<IMuxMessage>> messages;

 private:
  ~RecordingSink() override = default;
};

// --- Messages and frames as the protocol describes them.

struct WireMessage {
  std::vector<std::pair<std::string, std::string>> fields;
  std::wstring text;
  std::vector<uint8_t> data, body;

  const std::string* Field(const std::string& name) const {
    for (const auto& f : fields)
      if (f.first == name) return &f.second;
    return nullptr;
  }
  std::vector<uint8_t> Encode() const {
    std::vector<uint8_t> out;
    ByteWriter w(&out);
    w.u16(static_cast<uint16_t>(fields.size()));
    for (const auto& f : fields) {
      w.u8(static_cast<uint8_t>(f.first.size()));
      w.bytes(f.first.data(), f.first.size());
      w.u16(static_cast<uint16_t>(f.second.size()));
      w.bytes(f.second.data(), f.second.size());
    }
    w.u32(static_cast<uint32_t>(text.size()));
    for (wchar_t c : text) w.u16(static_cast<uint16_t>(c));
    w.u32(static_cast<uint32_t>(data.size()));
    w.bytes(data.data(), data.size());
    w.u32(static_cast<uint32_t>(body.size()));
    w.bytes(body.data(), body.size());
    return out;
  }
  static bool Decode(const std::vector<uint8_t>& payload, WireMessage* m) {
    ByteReader r(payload.data(), payload.size());
    uint8_t n8 = 0;
    uint16_t n16 = 0, unit = 0;
    uint32_t n = 0;
    const auto take = [&](size_t length, auto* out) {
      out->resize(length);
      return r.bytes(out->data(), length);
    };
    if (!r.u16(&n16)) return false;
    m->fields.resize(n16);
    for (auto& f : m->fields)
      if (!r.u8(&n8) || !take(n8, &f.first) || !r.u16(&n16) || !take(n16, &f.second)) return false;
    if (!r.u32(&n)) return false;
    for (; n > 0 && r.u16(&unit); --n) m->text.push_back(static_cast<wchar_t>(unit));
    return !n && r.u32(&n) && take(n, &m->data) && r.u32(&n) && r.remaining() == n && take(n, &m->body);
  }
};

enum WireKind : uint16_t { kHello = 1, kHelloReply = 2, kPost = 3, kTransact = 4, kReply = 5, kNotify = 6, kError = 7 };

struct WireFrame {
  uint16_t kind = 0, flags = 0;
  uint32_t id = 0;
  std::vector<uint8_t> payload;

  static std::vector<uint8_t> Encode(uint16_t kind, uint32_t id, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out;
    ByteWriter w(&out);
    w.u32(static_cast<uint32_t>(8 + payload.size()));
    w.u16(kind);
    w.u16(0);
    w.u32(id);
    w.bytes(payload.data(), payload.size());
    return out;
  }
  static std::vector<uint8_t> Error(uint32_t id, HRESULT hr, const std::string& why) {
    std::vector<uint8_t> payload;
    ByteWriter w(&payload);
    w.i32(hr);
    w.u16(static_cast<uint16_t>(why.size()));
    w.bytes(why.data(), why.size());
    return Encode(kError, id, payload);
  }
};

// The service stand-in: one client at a time. Its sockets are used and closed
// on its own thread only; it polls instead of relying on a close from another
// thread to wake a blocked call.
class MuxTestServer : public Watched {
 public:
  // Called on the server's thread for each frame but the hello; returns the
  // bytes to send back (empty: no answer).
  using Handler = std::function<std::vector<uint8_t>(const WireFrame&)>;

  MuxTestServer() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    int length = sizeof(address);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    listen(listener_, 4);
    thread_ = std::thread([this] { Serve(); });
  }
  ~MuxTestServer() {
    Change([&] { ending_ = true; });
    thread_.join();
    closesocket(listener_);
    WSACleanup();
  }

  std::wstring Address() const { return L"ip:127.0.0.1:" + std::to_wstring(port_); }
  void SetHandler(Handler handler) { Change([&] { handler_ = std::move(handler); }); }
  // While off, the server reads nothing: the client's sends pile up.
  void SetReading(bool reading) { Change([&] { reading_ = reading; }); }
  void Send(const std::vector<uint8_t>& bytes) {
    auto lock = Lock();
    if (client_ != INVALID_SOCKET && !bytes.empty())
      send(client_, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0);
  }
  // Closes the client's connection, as a service that goes away; returns once it is closed.
  void DropClient() {
    std::unique_lock<std::mutex> lock(mutex_);
    const int closedBefore = closed_;
    drop_ = true;
    changed_.wait_for(lock, std::chrono::seconds(5), [&] { return closed_ > closedBefore || accepted_ == closed_; });
    drop_ = false;
  }
  bool WaitForFrames(size_t count, DWORD timeoutMs = 5000) {
    return WaitFor([&] { return frames_.size() >= count; }, timeoutMs);
  }
  // True once the client has closed its sending side (or the connection).
  bool WaitForEof() { return WaitFor([&] { return eofs_ > 0; }, 5000); }
  std::vector<WireFrame> Frames() { return Copy(frames_); }
  std::vector<uint8_t> RawBytes() { return Copy(raw_); }

 private:
  template <typename T>
  T Copy(const T& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    return value;
  }
  static bool Readable(SOCKET socket) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval tv = {0, 20000};
    return select(0, &readable, nullptr, nullptr, &tv) == 1;
  }
  void Serve() {
    while (!WaitFor([&] { return ending_; }, 0)) {
      if (!Readable(listener_)) continue;
      SOCKET client = accept(listener_, nullptr, nullptr);
      if (client == INVALID_SOCKET) continue;
      Change([&] { client_ = client, ++accepted_; });
      ServeClient(client);
      Change([&] { client_ = INVALID_SOCKET, closesocket(client), ++closed_; });
    }
  }
  void ServeClient(SOCKET client) {
    std::vector<uint8_t> pending;
    char buffer[65536];
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        if (ending_ || drop_) return;
        if (!reading_) {
          changed_.wait_for(lock, std::chrono::milliseconds(20));
          continue;
        }
      }
      if (!Readable(client)) continue;
      const int n = recv(client, buffer, sizeof(buffer), 0);
      if (n <= 0) return (void)Change([&] { ++eofs_; });
      Change([&] { raw_.insert(raw_.end(), buffer, buffer + n); });
      pending.insert(pending.end(), buffer, buffer + n);
      for (;;) {
        ByteReader r(pending.data(), pending.size());
        uint32_t length = 0;
        WireFrame frame;
        if (!r.u32(&length) || r.remaining() < length) break;
        r.u16(&frame.kind);
        r.u16(&frame.flags);
        r.u32(&frame.id);
        frame.payload.assign(r.current(), r.current() + (length - 8));
        pending.erase(pending.begin(), pending.begin() + 4 + length);
        Handle(frame);
      }
    }
  }
  void Handle(const WireFrame& frame) {
    Handler handler;
    Change([&] { frames_.push_back(frame), handler = handler_; });
    if (frame.kind == kHello)  // "HVMX", version 1, reserved 0, the largest payload
      Send(WireFrame::Encode(kHelloReply, frame.id, {'H', 'V', 'M', 'X', 1, 0, 0, 0, 0, 0, 0x40, 0}));
    else if (handler)
      Send(handler(frame));
  }

  SOCKET listener_ = INVALID_SOCKET;
  SOCKET client_ = INVALID_SOCKET;
  uint16_t port_ = 0;
  std::thread thread_;
  Handler handler_;
  std::vector<WireFrame> frames_;
  std::vector<uint8_t> raw_;
  bool reading_ = true, ending_ = false, drop_ = false;
  int accepted_ = 0, closed_ = 0, eofs_ = 0;
};

class MuxTest : public ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    // The component without registration.
    auto get = MuxExport<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>("DllGetClassObject");
    ASSERT_TRUE(get);
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(get(CLSID_MuxService, IID_IClassFactory, factory.put_void()), S_OK);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IMuxService, service_.put_void()), S_OK);
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
  HRESULT Connect() {
    return service_->Connect(server_.Address().c_str(), 0, static_cast<IMuxSink*>(sink_.get()), connection_.put());
  }
  ComPtr<IMuxMessage> Message(std::initializer_list<std::pair<const char*, const char*>> fields) {
    ComPtr<IMuxMessage> message;
    EXPECT_EQ(connection_->CreateMessage(message.put()), S_OK);
    for (const auto& field : fields) EXPECT_EQ(message->SetField(field.first, field.second), S_OK);
    return message;
  }
  // A message with 256 KiB of data.
  ComPtr<IMuxMessage> Bulky() {
    static const std::vector<BYTE> bulk(256 * 1024, 'x');
    ComPtr<IMuxMessage> message = Message({{"MSGTYPE", "1"}});
    EXPECT_EQ(message->SetData(0, static_cast<ULONG>(bulk.size()), bulk.data()), S_OK);
    return message;
  }

  MuxTestServer server_;
  ComPtr<IMuxService> service_;
  ComPtr<RecordingSink> sink_;
  ComPtr<IMuxConnection> connection_;
};

TEST_F(MuxTest, TheMessageKeepsItsFieldsTextDataAndBodyAsTheClientLeftThem) {
  ASSERT_EQ(Connect(), S_OK);
  ComPtr<IMuxMessage> m = Message({{"MSGTYPE", "2"}, {"transid", "17"}});
  const char* type = m->GetField("MSGTYPE");
  const char* oldId = m->GetField("transid");
  EXPECT_EQ(m->SetField("transid", "-5"), S_OK);
  // Enough fields to make any array behind them grow several times.
  for (int i = 0; i < 40; ++i) EXPECT_EQ(m->SetField(("f" + std::to_string(i)).c_str(), "v"), S_OK);
  EXPECT_STREQ(m->GetFieldName(1), "transid") << "a replaced field keeps its place";
  EXPECT_STREQ(m->GetFieldName(41), "f39");
  EXPECT_EQ(m->GetFieldName(42), nullptr);
  EXPECT_STREQ(m->GetField("transid"), "-5");
  EXPECT_EQ(m->GetField("MSGTYPE"), type) << "the same buffer while the message lives";
  EXPECT_STREQ(oldId, "17") << "a pointer handed out before the value was replaced still reads";
  EXPECT_EQ(m->GetField("msgtype"), nullptr) << "names compare exactly";
  EXPECT_EQ(m->GetField(nullptr), nullptr);

  // What cannot travel is refused; at most 64 fields.
  m = Message({});
  const std::string longest(64, 'n'), tooLong(65, 'n'), longestValue(1024, 'v'), tooLongValue(1025, 'v');
  const struct {
    const char *name, *value;
    HRESULT hr;
  } cases[] = {{nullptr, "x", E_INVALIDARG}, {"x", nullptr, E_INVALIDARG}, {"", "x", E_INVALIDARG},
               {"a b", "x", E_INVALIDARG}, {"caf\xc3\xa9", "x", E_INVALIDARG}, {tooLong.c_str(), "x", E_INVALIDARG},
               {longest.c_str(), "x", S_OK}, {"v", tooLongValue.c_str(), E_INVALIDARG},
               {"v", longestValue.c_str(), S_OK}, {"empty", "", S_OK}};
  for (const auto& c : cases) EXPECT_EQ(m->SetField(c.name, c.value), c.hr) << (c.name ? c.name : "(null)");
  EXPECT_STREQ(m->GetField("empty"), "");
  for (int i = 3; i < 64; ++i) ASSERT_EQ(m->SetField(("f" + std::to_string(i)).c_str(), "1"), S_OK) << i;
  EXPECT_EQ(m->SetField("one-too-many", "1"), E_INVALIDARG);
  EXPECT_EQ(m->SetField("v", "replacing needs no new place"), S_OK);
  EXPECT_EQ(m->GetFieldName(64), nullptr);

  // The text is a buffer of the message: the library splits a list in place.
  m = Message({{"MSGTYPE", "1"}});
  EXPECT_EQ(m->GetText(), nullptr);
  EXPECT_EQ(m->SetText(L"{1B67ABEC};{2C}"), S_OK);
  wchar_t* text = m->GetText();
  ASSERT_NE(text, nullptr);
  *wcschr(text, L';') = L'\0';
  EXPECT_EQ(m->GetText(), text);
  EXPECT_EQ(m->SetText(nullptr), S_OK);
  EXPECT_EQ(m->GetText(), nullptr);
  // The data is replaced whole, kept as the message's own copy, and removable.
  const BYTE* bytes = reinterpret_cast<const BYTE*>("\xec\xab\x67\x1b\x0e\x0e\x4f\x4b\x9a\x72\xa3\x66\x62\x5f\x20\xd6");
  const BYTE* data = bytes;
  ULONG size = 99;
  EXPECT_EQ(m->GetData(nullptr, &size), E_POINTER);
  EXPECT_EQ(m->GetData(&data, nullptr), E_POINTER);
  EXPECT_EQ(m->SetData(1, 16, bytes), E_INVALIDARG);
  EXPECT_EQ(m->SetData(0, 16, nullptr), E_POINTER);
  for (ULONG length : {0, 16, 4, 0}) {
    EXPECT_EQ(m->SetData(0, length, length ? bytes + 16 - length : nullptr), S_OK);
    EXPECT_EQ(m->GetData(&data, &size), S_OK);
    ASSERT_EQ(size, length);
    EXPECT_TRUE(length ? data != bytes + 16 - length && std::memcmp(data, bytes + 16 - length, length) == 0 : !data);
  }
  // The message is its body's stream; what travels is the whole body,
  // wherever the writer's position is.
  EXPECT_EQ(m.query<IStream>().query<IUnknown>().get(), m.query<IUnknown>().get()) << "one object";
  std::vector<uint8_t> item(300);
  for (size_t i = 0; i < item.size(); ++i) item[i] = static_cast<uint8_t>(i * 7);
  ULONG written = 0;
  ASSERT_EQ(m.query<IStream>()->Write(item.data(), 200, &written), S_OK);
  ASSERT_EQ(m.query<ISequentialStream>()->Write(item.data() + 200, 100, &written), S_OK);
  STATSTG stat = {};
  EXPECT_EQ(m.query<IStream>()->Stat(&stat, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(stat.cbSize.QuadPart, 300u);
  ASSERT_EQ(connection_->Post(m.get(), 1000), S_OK);
  ASSERT_TRUE(server_.WaitForFrames(2));
  WireMessage sent;
  ASSERT_TRUE(WireMessage::Decode(server_.Frames()[1].payload, &sent));
  EXPECT_EQ(Hex(sent.body), Hex(item));
}

TEST_F(MuxTest, RefusesBadArgumentsAndFailsFastWhenNothingListens) {
  IUnknown* sink = static_cast<IMuxSink*>(sink_.get());
  EXPECT_EQ(service_->Connect(L"ip:127.0.0.1:60093", 0, sink, nullptr), E_POINTER);
  for (const wchar_t* bad : {L"", L"ip:", L"tcp:127.0.0.1:60093", L"ip:127.0.0.1:", L"ip:127.0.0.1:65536",
                             L"ip:127.0.0.1:0", L"ip::60093", L"ip:127.0.0.1:60x93"}) {
    EXPECT_EQ(service_->Connect(bad, 0, sink, connection_.put()), E_INVALIDARG) << Narrow(bad);
    EXPECT_FALSE(connection_);
  }
  EXPECT_EQ(service_->Connect(L"ip:60093", 1, sink, connection_.put()), E_INVALIDARG) << "reserved must be 0";
  EXPECT_EQ(service_->Connect(L"ip:60093", 0, nullptr, connection_.put()), E_INVALIDARG);
  EXPECT_EQ(service_->Connect(L"ip:60093", 0, service_.get(), connection_.put()), E_NOINTERFACE);

  // A port that nothing listens on: a free one, closed again.
  const std::wstring address = MuxTestServer().Address();
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(service_->Connect(address.c_str(), 0, sink, connection_.put()), HRESULT_FROM_WIN32(WSAECONNREFUSED));
  EXPECT_LT(GetTickCount64() - start, 2000u) << "a refused connect must not wait";
  EXPECT_FALSE(connection_);
  EXPECT_EQ(sink_->connected, 0);
}

TEST_F(MuxTest, GreetsTheServiceAndWritesMessagesAsDescribed) {
  ASSERT_EQ(Connect(), S_OK);
  EXPECT_EQ(sink_->connected, 1) << "OnConnected comes before Connect returns";
  EXPECT_NE(sink_->connectedContext, 0);
  ComPtr<IMuxMessage> message = Message({{"MSGTYPE", "1"}, {"b", "x"}});
  EXPECT_EQ(message->SetText(L"h\u00e9"), S_OK);
  EXPECT_EQ(message->SetData(0, 3, reinterpret_cast<const BYTE*>("\x09\x08\x07")), S_OK);
  ULONG written = 0;
  ASSERT_EQ(message.query<IStream>()->Write("\x01\x02", 2, &written), S_OK);
  EXPECT_EQ(connection_->Post(message.get(), 1000), S_OK);
  ASSERT_TRUE(server_.WaitForFrames(2));
  const std::vector<uint8_t> expected = {
      // Hello: length 16, kind 1, flags 0, id 1, "HVMX", versions 1 to 1
      0x10, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 'H', 'V', 'M', 'X', 1, 0, 1, 0,
      // Post: length 8 + 39, kind 3, flags 0, id 2
      47, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0,
      2, 0,                                             // two fields
      7, 'M', 'S', 'G', 'T', 'Y', 'P', 'E', 1, 0, '1',  // MSGTYPE=1
      1, 'b', 1, 0, 'x',                                // b=x
      2, 0, 0, 0, 'h', 0, 0xe9, 0,                      // text, UTF-16LE
      3, 0, 0, 0, 9, 8, 7,                              // data
      2, 0, 0, 0, 1, 2};                                // body
  EXPECT_EQ(Hex(server_.RawBytes()), Hex(expected));
}

// The library's manager hands asynchronous items over without a message
// object; the service must get the frame the ordinary post writes.
TEST_F(MuxTest, AnItemPostedDirectlyIsTheFrameOfTheSameMessagePosted) {
  ASSERT_EQ(Connect(), S_OK);
  const BYTE item[] = {2, 0, 0, 0, 7, 8};
  ComPtr<IMuxMessage> message = Message({{"MSGTYPE", "1"}});
  ULONG written = 0;
  ASSERT_EQ(message.query<IStream>()->Write(item, sizeof item, &written), S_OK);
  ASSERT_EQ(connection_->Post(message.get(), 1000), S_OK);
  ASSERT_EQ(connection_.query<IHvDirectItemPost>()->PostItemStream(item, sizeof item, 1000), S_OK);
  ASSERT_TRUE(server_.WaitForFrames(3));
  const auto frames = server_.Frames();
  EXPECT_EQ(frames[2].kind, kPost);
  EXPECT_EQ(Hex(frames[2].payload), Hex(frames[1].payload));
}

TEST_F(MuxTest, PostReturnsAtOnceEveryPostArrivesInOrderAndDisconnectSendsWhatIsQueued) {
  ASSERT_EQ(Connect(), S_OK);
  ASSERT_TRUE(server_.WaitForFrames(1));
  const auto post = [&](int n) {
    return connection_->Post(Message({{"MSGTYPE", "1"}, {"n", std::to_string(n).c_str()}}).get(), 10000);
  };
  server_.SetReading(false);  // Post must not depend on the service reading
  constexpr int kCount = 2000, kQueued = 500;
  const ULONGLONG start = GetTickCount64();
  for (int i = 0; i < kCount; ++i) ASSERT_EQ(post(i), S_OK) << i;
  EXPECT_LT(GetTickCount64() - start, 3000u);
  EXPECT_EQ(connection_->Flush(0), S_FALSE) << "not all of it can be on the wire yet";
  server_.SetReading(true);
  EXPECT_EQ(connection_->Flush(10000), S_OK);
  // What is queued when the client disconnects is sent first.
  server_.SetReading(false);
  for (int i = kCount; i < kCount + kQueued; ++i) ASSERT_EQ(post(i), S_OK) << i;
  server_.SetReading(true);
  EXPECT_EQ(connection_->Disconnect(), S_OK);
  EXPECT_TRUE(server_.WaitForEof());
  EXPECT_EQ(sink_->closed, 0) << "the client closed it itself";
  EXPECT_EQ(post(0), HRESULT_FROM_WIN32(WSAENOTCONN));
  const auto frames = server_.Frames();
  ASSERT_EQ(frames.size(), 1u + kCount + kQueued);
  std::vector<uint32_t> ids;
  for (int i = 0; i < kCount + kQueued; ++i) {
    WireMessage decoded;
    ASSERT_EQ(frames[1 + i].kind, kPost);
    ASSERT_TRUE(WireMessage::Decode(frames[1 + i].payload, &decoded));
    ASSERT_EQ(*decoded.Field("n"), std::to_string(i));
    ids.push_back(frames[1 + i].id);
  }
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(std::unique(ids.begin(), ids.end()), ids.end()) << "frame ids are not reused";
}

// A frame whose poster waits for the answer is sent by the posting thread on
// an idle link; what the socket does not take at once the sender finishes,
// before anything posted after it.
TEST_F(MuxTest, AnAwaitedFrameLargerThanTheSocketTakesGoesWholeAndFirst) {
  ASSERT_EQ(Connect(), S_OK);
  ASSERT_TRUE(server_.WaitForFrames(1));
  server_.SetReading(false);
  static const std::vector<BYTE> bulk(4000 * 1024, 'x');
  ComPtr<IMuxMessage> large = Message({{"MSGTYPE", "2"}, {"transid", "1"}});
  ASSERT_EQ(large->SetData(0, static_cast<ULONG>(bulk.size()), bulk.data()), S_OK);
  for (const auto& message : {large, Message({{"MSGTYPE", "2"}, {"transid", "2"}}), Message({{"MSGTYPE", "1"}})})
    EXPECT_EQ(connection_->Post(message.get(), 1000), S_OK);
  EXPECT_EQ(connection_->Flush(0), S_FALSE) << "the service reads nothing";
  server_.SetReading(true);
  EXPECT_EQ(connection_->Flush(10000), S_OK);
  ASSERT_TRUE(server_.WaitForFrames(4));
  const auto frames = server_.Frames();
  std::string order;
  for (size_t i = 1; i < frames.size(); ++i) {
    WireMessage decoded;
    ASSERT_TRUE(WireMessage::Decode(frames[i].payload, &decoded));
    order += *decoded.Field("MSGTYPE") + (decoded.Field("transid") ? *decoded.Field("transid") : "") + ",";
  }
  EXPECT_EQ(order, "21,22,1,");
  EXPECT_GT(frames[1].payload.size(), bulk.size());
}

TEST_F(MuxTest, TransactsFindTheirOwnRepliesAndTimeOut) {
  // The first two transacts are answered together, the second first, by
  // replies that echo the request's "transid".
  std::vector<uint8_t> held;  // the server's thread's own
  server_.SetHandler([&](const WireFrame& frame) -> std::vector<uint8_t> {
    WireMessage request, reply;
    WireMessage::Decode(frame.payload, &request);
    const std::string type = *request.Field("MSGTYPE");
    if (type == "silent") return {};
    if (type == "refused") return WireFrame::Error(frame.id, E_NOTIMPL, "not served");
    reply.fields = {{"MSGTYPE", type}, {"transid", *request.Field("transid")}};
    const std::vector<uint8_t> answer = WireFrame::Encode(kReply, frame.id, reply.Encode());
    const bool first = held.empty();
    held.insert(held.begin(), answer.begin(), answer.end());
    return first ? std::vector<uint8_t>() : held;
  });
  ASSERT_EQ(Connect(), S_OK);
  std::string answered[2];  // the reply's "transid", or the failure
  std::thread threads[2];
  for (int i = 0; i < 2; ++i) {
    threads[i] = std::thread([&, i] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      ComPtr<IMuxMessage> reply;
      ComPtr<IMuxMessage> request = Message({{"MSGTYPE", "4"}, {"transid", i ? "11" : "10"}});
      const HRESULT hr = connection_->Transact(request.get(), reply.put(), 10000);
      answered[i] = hr == S_OK && reply->GetField("transid") ? reply->GetField("transid") : std::to_string(hr);
      CoUninitialize();
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(answered[0] + "," + answered[1], "10,11");

  ComPtr<IMuxMessage> reply;
  EXPECT_EQ(connection_->Transact(Message({{"MSGTYPE", "refused"}}).get(), reply.put(), 5000), E_NOTIMPL);
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

TEST_F(MuxTest, NotificationsReachTheSinkWithTheirBodyFromTheStart) {
  ASSERT_EQ(Connect(), S_OK);
  const WireMessage note{{{"MSGTYPE", "5"}, {"HRESULT", "-2147467259"}, {"transid", "7"}}, L"", {}, {1, 2, 3, 4, 5}};
  server_.Send(WireFrame::Encode(kNotify, 0, note.Encode()));
  server_.Send(WireFrame::Error(42, E_INVALIDARG, "bad item"));  // a refused post
  ASSERT_TRUE(sink_->WaitFor([&] { return sink_->messages.size() == 1 && sink_->postsFailed == 1; }));
  auto lock = sink_->Lock();
  IMuxMessage* received = sink_->messages[0].get();
  EXPECT_EQ(sink_->messageContexts[0], sink_->connectedContext);
  EXPECT_STREQ(received->GetField("HRESULT"), "-2147467259");
  EXPECT_STREQ(received->GetFieldName(2), "transid");
  EXPECT_EQ(received->GetText(), nullptr);
  BYTE bytes[8] = {};
  ULONG read = 0;
  EXPECT_EQ(ComPtr<IMuxMessage>(received).query<IStream>()->Read(bytes, sizeof(bytes), &read), S_OK);
  EXPECT_EQ(read, 5u);
  EXPECT_EQ(std::memcmp(bytes, note.body.data(), 5), 0);
  EXPECT_EQ(sink_->postFailure, E_INVALIDARG);
}

TEST_F(MuxTest, TheSinkHearsOnceWhenTheServiceGoesAway) {
  ASSERT_EQ(Connect(), S_OK);
  ASSERT_TRUE(server_.WaitForFrames(1));
  server_.DropClient();
  ASSERT_TRUE(sink_->WaitFor([&] { return sink_->closed > 0; }));
  Sleep(200);  // a second notification would come now
  EXPECT_EQ(sink_->closed, 1);
  EXPECT_EQ(sink_->closedContext, sink_->connectedContext);
  EXPECT_TRUE(FAILED(sink_->closedReason)) << std::hex << sink_->closedReason;
  ComPtr<IMuxMessage> message = Message({{"MSGTYPE", "1"}}), reply;
  EXPECT_TRUE(FAILED(connection_->Post(message.get(), 100)));
  EXPECT_TRUE(FAILED(connection_->Transact(message.get(), reply.put(), 100)));
}

TEST_F(MuxTest, StopEndsNotificationsWithoutWaitingForOneInProgress) {
  ASSERT_EQ(Connect(), S_OK);
  unique_handle entered(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  unique_handle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  sink_->inside = [&] {
    SetEvent(entered.get());
    WaitForSingleObject(release.get(), 10000);
  };
  const WireMessage note{{{"MSGTYPE", "5"}}};
  server_.Send(WireFrame::Encode(kNotify, 0, note.Encode()));
  ASSERT_EQ(WaitForSingleObject(entered.get(), 5000), WAIT_OBJECT_0);
  EXPECT_EQ(connection_->Stop(1), E_INVALIDARG);
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(connection_->Stop(0), S_OK);
  EXPECT_LT(GetTickCount64() - start, 1000u) << "Stop waited for the notification in progress";
  SetEvent(release.get());
  ASSERT_TRUE(sink_->WaitFor([&] { return sink_->messages.size() == 1; })) << "the running one finishes";
  server_.Send(WireFrame::Encode(kNotify, 0, note.Encode()));
  server_.DropClient();
  Sleep(300);
  EXPECT_EQ(sink_->messages.size(), 1u);
  EXPECT_EQ(sink_->closed, 0);
}

TEST_F(MuxTest, TheLastReleaseMayComeFromInsideANotification) {
  ASSERT_EQ(Connect(), S_OK);
  unique_handle released(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::atomic<IMuxConnection*> held{connection_.release()};
  sink_->inside = [&] {
    // Dropped inside the notification, on the connection's own thread:
    // nothing may wait for that thread.
    if (IMuxConnection* c = held.exchange(nullptr)) c->Release();
    SetEvent(released.get());
  };
  server_.DropClient();
  EXPECT_EQ(WaitForSingleObject(released.get(), 5000), WAIT_OBJECT_0);
  EXPECT_TRUE(sink_->WaitFor([&] { return sink_->closed == 1; }));
}

// A hung service costs one time-out, not one per call.
TEST_F(MuxTest, AServiceThatNeverGreetsIsWaitedForOnceThenTriedOnABackOff) {
  server_.SetReading(false);  // accepts, never reads the hello
  const HRESULT timedOut = HRESULT_FROM_WIN32(WSAETIMEDOUT);
  ULONGLONG start = GetTickCount64();
  EXPECT_EQ(Connect(), timedOut);
  EXPECT_GT(GetTickCount64() - start, 2000u) << "the first attempt waits for the greeting";
  start = GetTickCount64();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Connect(), timedOut);
  EXPECT_LT(GetTickCount64() - start, 1000u) << "while known broken, connects fail at once";
  server_.SetReading(true);
  Sleep(1500);  // past the first back-off
  EXPECT_EQ(Connect(), S_OK);
}

TEST_F(MuxTest, AServiceThatStopsReadingIsWaitedForOnceUntilItReadsAgain) {
  ASSERT_EQ(Connect(), S_OK);
  ASSERT_TRUE(server_.WaitForFrames(1));
  server_.SetReading(false);
  HRESULT hr = S_OK;
  for (int i = 0; i < 400 && hr == S_OK; ++i) hr = connection_->Post(Bulky().get(), 300);
  ASSERT_EQ(hr, HRESULT_FROM_WIN32(ERROR_TIMEOUT)) << "the queue never filled";
  EXPECT_EQ(connection_->Post(Bulky().get(), 300), hr) << "a wait in which nothing got through";
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(connection_->Post(Bulky().get(), 10000), hr);
  EXPECT_LT(GetTickCount64() - start, 2000u) << "a service known to have stopped reading is not waited for";
  server_.SetReading(true);
  EXPECT_EQ(connection_->Flush(30000), S_OK);
  EXPECT_EQ(connection_->Post(Bulky().get(), 10000), S_OK);
}

// The reply to a "3" request as the component hands it to the library: the
// service's record, then a marshalled interface of the adaptor proxy that the
// component builds itself, which answers IAdaptorReader only when the service
// says the adaptor can be read from.
TEST_F(MuxTest, AnAdaptorComesBackAsItsRecordAndAProxyThatReadsOnlyWhenTheServiceSaysSo) {
  // The store adaptor's class id in its memory layout.
  static constexpr BYTE kStoreBytes[16] = {0xec, 0xab, 0x67, 0x1b, 0x98, 0x0e, 0x4f, 0x4b,
                                           0x9a, 0x72, 0xa3, 0x66, 0x62, 0x5f, 0x20, 0xd6};
  std::string result = "0", readerFlag = "1";
  std::vector<uint8_t> body(272, 0), requestData;
  body[0] = 0x0f, body[4] = 0x0d, body[8] = 0x01, body[11] = 0x08, body[12] = 'S';
  server_.SetHandler([&](const WireFrame& frame) {
    if (frame.kind == kPost) return std::vector<uint8_t>();
    // A service that does not serve reading, as an older one would answer.
    if (frame.kind != kTransact) return WireFrame::Error(frame.id, E_NOTIMPL, "reading is not served by this service");
    WireMessage request, reply;
    WireMessage::Decode(frame.payload, &request);
    requestData = request.data;
    reply.fields = {{"MSGTYPE", "3"}, {"transid", *request.Field("transid")}, {"HRESULT", result}};
    if (!readerFlag.empty()) reply.fields.emplace_back("READER", readerFlag);
    reply.body = body;
    return WireFrame::Encode(kReply, frame.id, reply.Encode());
  });
  ASSERT_EQ(Connect(), S_OK);
  ComPtr<IMuxMessage> reply;
  std::vector<uint8_t> record;
  // Asks for the store adaptor; reads the record as the library does.
  const auto request = [&] {
    ComPtr<IMuxMessage> request = Message({{"MSGTYPE", "3"}, {"transid", "4"}});
    request->SetData(0, 16, kStoreBytes);
    RETURN_IF_FAILED(connection_->Transact(request.get(), reply.put(), 10000));
    ULONG count = 0;
    record.assign(272, 0);
    RETURN_IF_FAILED(reply.query<IStream>()->Read(record.data(), 272, &count));
    record.resize(count);
    return S_OK;
  };
  ASSERT_EQ(request(), S_OK);
  EXPECT_EQ(Hex(requestData), Hex(std::vector<uint8_t>(kStoreBytes, kStoreBytes + 16)));
  EXPECT_STREQ(reply->GetField("HRESULT"), "0");
  EXPECT_EQ(Hex(record), Hex(body));
  ComPtr<IUnknown> adaptor;
  ASSERT_EQ(CoUnmarshalInterface(reply.query<IStream>().get(), IID_IUnknown, adaptor.put_void()), S_OK);
  ComPtr<IAdaptorReader> reader;
  ASSERT_EQ(adaptor->QueryInterface(IID_IAdaptorReader, reader.put_void()), S_OK);
  EXPECT_EQ(reader.query<IUnknown>().get(), adaptor.get());
  EXPECT_EQ(reader->Read(0x0409, nullptr, nullptr, nullptr), E_POINTER);
  ComPtr<IEnumUnknown> items;
  EXPECT_EQ(reader->Read(0x0409, nullptr, nullptr, items.put()), E_NOTIMPL);
  EXPECT_FALSE(items);
  EXPECT_EQ(TakeErrorDescription(), L"reading is not served by this service");
  ComPtr<IConnectionPointContainer> subscription;
  EXPECT_EQ(reader->Subscribe(0x0409, nullptr, nullptr, 100, 10, subscription.put()), E_NOTIMPL);
  EXPECT_FALSE(subscription);
  EXPECT_EQ(reader.query<ISupportErrorInfo>()->InterfaceSupportsErrorInfo(IID_IAdaptorReader), S_OK);

  // The library's thread may live in a single-threaded apartment: with the
  // type library registered (as an install leaves it), another apartment gets
  // a working proxy.
  ASSERT_EQ(MuxExport<HRESULT(WINAPI*)()>("DllRegisterServer")(), S_OK);
  ASSERT_EQ(request(), S_OK);
  HRESULT readResult = E_FAIL;  // stays so unless the proxy is unmarshalled and answers IAdaptorReader
  std::thread sta([&] {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    {
      ComPtr<IUnknown> other;
      ComPtr<IAdaptorReader> otherReader;
      ComPtr<IEnumUnknown> none;
      if (CoUnmarshalInterface(reply.query<IStream>().get(), IID_IUnknown, other.put_void()) == S_OK &&
          other->QueryInterface(IID_IAdaptorReader, otherReader.put_void()) == S_OK)
        readResult = otherReader->Read(0x0409, nullptr, nullptr, none.put());
    }
    CoUninitialize();
  });
  sta.join();
  EXPECT_EQ(readResult, E_NOTIMPL);

  // Bytes after the record are not the library's to read: the interface
  // follows the record directly.
  readerFlag = "0";
  body.insert(body.end(), {0xde, 0xad, 0xbe, 0xef});
  ASSERT_EQ(request(), S_OK);
  EXPECT_EQ(Hex(record), Hex(std::vector<uint8_t>(body.begin(), body.begin() + 272)));
  ASSERT_EQ(CoUnmarshalInterface(reply.query<IStream>().get(), IID_IUnknown, adaptor.put_void()), S_OK);
  EXPECT_EQ(adaptor->QueryInterface(IID_IAdaptorReader, reader.put_void()), E_NOINTERFACE);
  // A failure carries no body; the library reads the failure from the reply.
  result = "-2147221164";
  readerFlag.clear();
  body.clear();
  ASSERT_EQ(request(), S_OK);
  EXPECT_STREQ(reply->GetField("HRESULT"), "-2147221164");
  EXPECT_TRUE(record.empty());
  result = "0";
  body.assign(100, 0);
  EXPECT_EQ(request(), HRESULT_FROM_WIN32(ERROR_INVALID_DATA));
}

// The library's side: a synchronous item waiting for its answer.
TEST_F(MuxTest, ASynchronousItemStopsWaitingWhenItsServiceDies) {
  const std::wstring key = L"Software\\Corvala Software\\Halvern Diagnostics";
  ASSERT_TRUE(SetMachineString(key, L"InterprocessTransport", L"ip:1;" + server_.Address()));
  ComPtr<ITAVDiagnosticLogMgrEx> mgr;
  ASSERT_EQ(CreateManager(mgr.put()), S_OK);
  ComPtr<ITAVDiagnosticLog> log;
  ASSERT_EQ(mgr->CreateTAVDiagnosticLog(nullptr, unique_bstr(SysAllocString(L"Pump")).get(), log.put()), S_OK);
  ComPtr<ITAVDiagnosticLogEx> logEx = log.query<ITAVDiagnosticLogEx>();
  const auto item = [&] {
    unique_variant text;
    text->vt = VT_BSTR;
    text->bstrVal = SysAllocString(L"item");
    ComPtr<ITAVDiagnosticLogItemEx> built;
    EXPECT_EQ(logEx->BuildItemEx(nullptr, nullptr, TAVDiagSeverity_Info, TAVDiagAudience_Dev, 0, *text.get(), nullptr,
                                 nullptr, nullptr, built.put()),
              S_OK);
    return built;
  };
  ASSERT_EQ(logEx->LogThisItemEx(item().get(), VARIANT_FALSE, 0), S_OK);
  std::thread dies([&] {
    if (server_.WaitForFrames(3, 10000)) server_.DropClient();  // hello, the post, the waiting item
  });
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(logEx->LogThisItemEx(item().get(), VARIANT_TRUE, 10000), E_PENDING);
  EXPECT_LT(GetTickCount64() - start, 5000u) << "the wait ends with the connection, not at its time-out";
  dies.join();
  DeleteMachineValue(key, L"InterprocessTransport");
}

}  // namespace
}  // namespace hv::test
