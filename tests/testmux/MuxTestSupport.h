// Helpers of the Mux component's tests (header only: the test programs link
// none of the component's code; they load HVMux.dll or TestMux.dll).
//
// MuxTestServer is a stand-in for the Mux service inside the test process,
// listening on 127.0.0.1 with Winsock. It reads and writes frames with a codec
// of its own, written from the protocol description, so that a test compares
// the component's bytes with the description rather than with the
// component's own encoder.
#pragma once
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "HVMux.h"
#include "common/ByteStream.h"
#include "common/ComObject.h"
#include "common/Unique.h"

namespace hv::test {

// --- The component, loaded from its file without registration.

inline HRESULT CreateMuxServiceFrom(const std::wstring& dllPath, IMuxService** service) {
  *service = nullptr;
  HMODULE module = LoadLibraryW(dllPath.c_str());  // kept loaded for the test program's life
  if (!module) return HRESULT_FROM_WIN32(GetLastError());
  using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
  auto get = reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
  if (!get) return HRESULT_FROM_WIN32(GetLastError());
  ComPtr<IClassFactory> factory;
  RETURN_IF_FAILED(get(CLSID_MuxService, IID_IClassFactory, factory.put_void()));
  return factory->CreateInstance(nullptr, IID_IMuxService, reinterpret_cast<void**>(service));
}

// The server the Mux service's class id is registered with in the prefix; ""
// when none.
inline std::wstring RegisteredMuxServer() {
  wchar_t clsid[40] = {};
  StringFromGUID2(CLSID_MuxService, clsid, 40);
  const std::wstring key = std::wstring(L"CLSID\\") + clsid + L"\\InprocServer32";
  wchar_t path[MAX_PATH] = {};
  DWORD size = sizeof(path);
  if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, path, &size) != ERROR_SUCCESS)
    return L"";
  return path;
}

// Calls an exported entry point without arguments (DllRegisterServer...).
inline HRESULT CallDllExport(const std::wstring& dll, const char* name) {
  HMODULE module = LoadLibraryW(dll.c_str());
  if (!module) return HRESULT_FROM_WIN32(GetLastError());
  auto call = reinterpret_cast<HRESULT(WINAPI*)()>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return call ? call() : E_FAIL;
}

// Everything a stream holds from its current position on (a message's body is
// its own stream, not one on global memory).
inline std::vector<uint8_t> ReadRest(IStream* stream) {
  std::vector<uint8_t> bytes;
  uint8_t chunk[4096];
  ULONG read = 0;
  while (SUCCEEDED(stream->Read(chunk, sizeof(chunk), &read)) && read) bytes.insert(bytes.end(), chunk, chunk + read);
  return bytes;
}

// --- A sink that records what it is told.

class RecordingSink final : public IMuxSink, public ComObject {
 public:
  HV_COM_OBJECT(RecordingSink)
  static inline const QIEntry kInterfaces[] = {HV_QI_ENTRY(RecordingSink, IMuxSink), HV_QI_END};

  // Runs inside OnMessage / OnConnectionClosed, on the component's thread.
  std::function<void(IMuxMessage*)> onMessage;
  std::function<void(LONG)> onClosed;

  STDMETHODIMP OnConnected(LONG context) override {
    std::lock_guard<std::mutex> lock(mutex_);
    connectedContext = context;
    ++connected;
    changed_.notify_all();
    return S_OK;
  }
  STDMETHODIMP OnSendQueueEmpty(LONG) override { return S_OK; }
  STDMETHODIMP OnConnectionClosed(LONG context, LONG hrReason) override {
    if (onClosed) onClosed(hrReason);
    std::lock_guard<std::mutex> lock(mutex_);
    closedContext = context;
    closedReason = hrReason;
    ++closed;
    changed_.notify_all();
    return S_OK;
  }
  STDMETHODIMP OnPostFailed(LONG, LONG cDropped, LONG hr) override {
    std::lock_guard<std::mutex> lock(mutex_);
    postsFailed += cDropped;
    postFailure = hr;
    changed_.notify_all();
    return S_OK;
  }
  STDMETHODIMP OnMessage(LONG context, IMuxMessage* msg) override {
    if (onMessage) onMessage(msg);
    std::lock_guard<std::mutex> lock(mutex_);
    messageContexts.push_back(context);
    messages.emplace_back(msg);
    changed_.notify_all();
    return S_OK;
  }
  STDMETHODIMP OnQueueLevel(LONG, LONG, LONG) override { return S_OK; }

  // Waits until pred (called under the sink's lock) holds; false on time-out.
  bool WaitFor(const std::function<bool()>& pred, DWORD timeoutMs = 5000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), pred);
  }
  std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(mutex_); }

  LONG connected = 0, connectedContext = 0;
  LONG closed = 0, closedContext = 0, closedReason = 0;
  LONG postsFailed = 0, postFailure = 0;
  std::vector<LONG> messageContexts;
  std::vector<ComPtr<IMuxMessage>> messages;

 private:
  ~RecordingSink() override = default;
  std::mutex mutex_;
  std::condition_variable changed_;
};

// --- Messages and frames as the protocol describes them.

struct WireMessage {
  std::vector<std::pair<std::string, std::string>> fields;
  std::wstring text;
  std::vector<uint8_t> data;
  std::vector<uint8_t> body;

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
    uint16_t count = 0;
    if (!r.u16(&count)) return false;
    for (uint16_t i = 0; i < count; ++i) {
      uint8_t nameLength = 0;
      uint16_t valueLength = 0;
      std::string name, value;
      if (!r.u8(&nameLength)) return false;
      name.resize(nameLength);
      if (!r.bytes(&name[0], nameLength) || !r.u16(&valueLength)) return false;
      value.resize(valueLength);
      if (valueLength && !r.bytes(&value[0], valueLength)) return false;
      m->fields.emplace_back(name, value);
    }
    uint32_t n = 0;
    if (!r.u32(&n)) return false;
    for (uint32_t i = 0; i < n; ++i) {
      uint16_t unit = 0;
      if (!r.u16(&unit)) return false;
      m->text.push_back(static_cast<wchar_t>(unit));
    }
    if (!r.u32(&n) || r.remaining() < n) return false;
    m->data.assign(r.current(), r.current() + n);
    r.skip(n);
    if (!r.u32(&n) || r.remaining() != n) return false;
    m->body.assign(r.current(), r.current() + n);
    return true;
  }
};

enum WireKind : uint16_t {
  kHello = 1, kHelloReply = 2, kPost = 3, kTransact = 4, kReply = 5, kNotify = 6, kError = 7
};

struct WireFrame {
  uint16_t kind = 0;
  uint16_t flags = 0;
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
  static std::vector<uint8_t> HelloReply(uint32_t id, uint32_t maxPayload = 4u << 20) {
    std::vector<uint8_t> payload;
    ByteWriter w(&payload);
    w.u32(0x584D5648);
    w.u16(1);
    w.u16(0);
    w.u32(maxPayload);
    return Encode(kHelloReply, id, payload);
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

// --- The service stand-in: one client at a time. Its sockets are used and
// closed on its own thread only; it polls instead of relying on a close from
// another thread to wake a blocked call.

class MuxTestServer {
 public:
  // Called on the server's thread for each Transact; returns the bytes to
  // send back (empty: no answer).
  using TransactHandler = std::function<std::vector<uint8_t>(const WireFrame&, const WireMessage&)>;

  // Called on the server's thread for every other frame of the client.
  using FrameHandler = std::function<std::vector<uint8_t>(const WireFrame&)>;

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
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ending_ = true;
      changed_.notify_all();
    }
    thread_.join();
    closesocket(listener_);
    WSACleanup();
  }

  std::wstring Address() const { return L"ip:127.0.0.1:" + std::to_wstring(port_); }
  uint16_t Port() const { return port_; }
  void SetTransactHandler(TransactHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
  }
  void SetFrameHandler(FrameHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    frameHandler_ = std::move(handler);
  }
  // While off, the server reads nothing: the client's sends pile up.
  void SetReading(bool reading) {
    std::lock_guard<std::mutex> lock(mutex_);
    reading_ = reading;
    changed_.notify_all();
  }
  void Send(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(sendMutex_);
    if (client_ != INVALID_SOCKET)
      send(client_, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0);
  }
  // Closes the client's connection, as a service that goes away; returns once
  // it is closed.
  void DropClient() {
    std::unique_lock<std::mutex> lock(mutex_);
    const int closedBefore = closed_;
    drop_ = true;
    changed_.wait_for(lock, std::chrono::seconds(5), [&] { return closed_ > closedBefore || accepted_ == closed_; });
    drop_ = false;
  }

  bool WaitForFrames(size_t count, DWORD timeoutMs = 5000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return frames_.size() >= count; });
  }
  // True once the client has closed its sending side (or the connection).
  bool WaitForEof(DWORD timeoutMs = 5000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return eofs_ > 0; });
  }
  std::vector<WireFrame> Frames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
  }
  std::vector<uint8_t> RawBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return raw_;
  }
  int Accepted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return accepted_;
  }

 private:
  static bool Readable(SOCKET socket) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval tv = {0, 20000};
    return select(0, &readable, nullptr, nullptr, &tv) == 1;
  }
  bool Ending() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ending_;
  }
  void Serve() {
    while (!Ending()) {
      if (!Readable(listener_)) continue;
      SOCKET client = accept(listener_, nullptr, nullptr);
      if (client == INVALID_SOCKET) continue;
      {
        std::lock_guard<std::mutex> lock(sendMutex_);
        client_ = client;
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++accepted_;
      }
      ServeClient(client);
      {
        std::lock_guard<std::mutex> lock(sendMutex_);
        client_ = INVALID_SOCKET;
        closesocket(client);
      }
      std::lock_guard<std::mutex> lock(mutex_);
      ++closed_;
      changed_.notify_all();
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
      if (n <= 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++eofs_;
        changed_.notify_all();
        return;
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        raw_.insert(raw_.end(), buffer, buffer + n);
      }
      pending.insert(pending.end(), buffer, buffer + n);
      for (;;) {
        ByteReader r(pending.data(), pending.size());
        uint32_t length = 0;
        if (!r.u32(&length) || r.remaining() < length) break;
        WireFrame frame;
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
    TransactHandler handler;
    FrameHandler frameHandler;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      frames_.push_back(frame);
      handler = handler_;
      frameHandler = frameHandler_;
      changed_.notify_all();
    }
    if (frame.kind == kHello) Send(WireFrame::HelloReply(frame.id));
    if (frame.kind != kHello && frame.kind != kTransact && frameHandler) {
      std::vector<uint8_t> answer = frameHandler(frame);
      if (!answer.empty()) Send(answer);
    }
    if (frame.kind == kTransact && handler) {
      WireMessage request;
      WireMessage::Decode(frame.payload, &request);
      std::vector<uint8_t> answer = handler(frame, request);
      if (!answer.empty()) Send(answer);
    }
  }

  SOCKET listener_ = INVALID_SOCKET;
  SOCKET client_ = INVALID_SOCKET;  // guarded by sendMutex_
  uint16_t port_ = 0;
  std::thread thread_;
  std::mutex sendMutex_;
  std::mutex mutex_;
  std::condition_variable changed_;
  TransactHandler handler_;
  FrameHandler frameHandler_;
  std::vector<WireFrame> frames_;
  std::vector<uint8_t> raw_;
  bool reading_ = true;
  bool ending_ = false;
  bool drop_ = false;
  int accepted_ = 0;
  int closed_ = 0;
  int eofs_ = 0;
};

}  // namespace hv::test
