// What the service's tests share. Item streams are built byte by byte, apart
// from the host's coders, so a test can damage any field. Every wait is bounded.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Guid.h"
#include "protocol/FrameReader.h"
#include "protocol/MuxMessage.h"
#include "service/Peer.h"
#include "service/Socket.h"

struct sqlite3;
struct ssl_st;
struct ssl_ctx_st;

namespace hvtest {

using Bytes = std::vector<uint8_t>;
using hv::host::Frame;

class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& text);
std::string ReadFile(const std::string& path);
// The exit code (-1 when killed) of a command, its stdout and stderr in `output`.
int Shell(const std::string& command, std::string* output = nullptr);
size_t Occurrences(const std::string& text, const std::string& what);
bool WaitFor(const std::function<bool()>& done, int timeoutMs);

// A counted string: byte count (UTF-16 units * 2 + 2), the units, a zero unit.
Bytes Counted(std::u16string_view text);
Bytes Variant(uint16_t vt, const Bytes& data);
Bytes Le32(uint32_t v);
Bytes Le64(uint64_t v);
Bytes Concat(std::initializer_list<Bytes> parts);
Bytes Utf16(std::u16string_view text);
Bytes ClsidBytes(const hv::host::Guid& g);
hv::host::Guid Clsid(const char* text);
const Bytes& StoreClsid();

struct ItemBytes {
  uint32_t version = 2;
  std::u16string location, provider, messageText, userName, helpFile;
  double dateTime = 0.0;
  int32_t severity = 0, audience = 0, verbosity = 0;
  uint32_t helpContext = 0;
  uint8_t errorGuid[16] = {};
  int32_t messageId = -1;
  std::vector<Bytes> arguments;  // each a whole variant value
  Bytes child;                   // a whole item stream, or empty
  uint32_t childFiller = 0;      // zero bytes after the child inside its block
  std::vector<Bytes> extended;   // each a whole entry: name, type, value
  Bytes userDescription = {0, 0, 2, 0, 0, 0, 0, 0};  // VT_EMPTY, written for version 2 only

  Bytes Build() const;
};

// An item the store is searched for by its location.
Bytes SimpleItem(std::u16string_view location, int32_t audience = 1, int32_t severity = 1);
std::u16string U16(const std::string& ascii);

// The host's database as any other program reads it: read-only.
class StoreQuery {
 public:
  explicit StoreQuery(const std::string& path);
  ~StoreQuery();
  bool ok() const { return db_ != nullptr; }
  // -1 when there is no row.
  int64_t Int(const std::string& sql);
  std::vector<std::string> Texts(const std::string& sql);
  std::vector<uint8_t> Blob(const std::string& sql);

 private:
  sqlite3* db_ = nullptr;
};

class TestClient {
 public:
  ~TestClient();
  bool Connect(int port);
  // Speaks TLS as a client of `ctx` from now on; false when the handshake fails.
  bool StartTls(ssl_ctx_st* ctx);
  int fd() const { return socket_.fd(); }
  bool Hello(int timeoutMs = 5000);
  bool Connected(int port, int timeoutMs = 5000) { return Connect(port) && Hello(timeoutMs); }

  bool SendRaw(const std::vector<uint8_t>& bytes);
  uint32_t Post(const hv::host::MuxMessage& message);
  // Posts a "2" and waits for its "5": its result, or 1 when it did not echo the item.
  int32_t Log(const Bytes& item, int32_t transid, int timeoutMs = 5000);
  // The Reply or Error of a Transact; other frames stay queued.
  std::optional<Frame> Transact(const hv::host::MuxMessage& message, int timeoutMs = 5000);
  std::optional<Frame> NextFrame(int timeoutMs);
  // The first frame that `wanted` takes; the others stay queued.
  std::optional<Frame> NextWhere(const std::function<bool(const Frame&)>& wanted, int timeoutMs);
  // True once the host has closed its sending side.
  bool WaitClosed(int timeoutMs);
  void Close() { socket_.Close(); }
  void ShutdownSend();

 private:
  bool Receive(int timeoutMs);
  hv::host::Socket socket_;
  ssl_st* ssl_ = nullptr;
  hv::host::FrameReader reader_;
  std::deque<Frame> frames_;
  bool closed_ = false;
  uint32_t nextId_ = 1;
};

Bytes Encoded(hv::host::FrameKind kind, uint32_t id, const hv::host::MuxMessage& m);
hv::host::MuxMessage ItemMessage(const std::string& type, int32_t transid, const std::vector<uint8_t>& body);
hv::host::MuxMessage ClsidMessage(const char* type, const hv::host::Guid& clsid, const Bytes& more = {});

struct Answer {
  int32_t hr = 1, transid = 0;
  std::vector<uint8_t> body;
  std::string type;
};
bool ReadAnswer(const Frame& frame, Answer* answer);
// 1 when the frame is no Error.
int32_t ErrorCode(const std::optional<Frame>& frame, std::string* text = nullptr);

struct ListedItem {
  uint64_t number = 0;
  Bytes stream;
};
struct PageFrame {
  bool ok = false;  // the payload read exactly
  uint32_t flags = 0;
  std::vector<ListedItem> items;
};
Bytes OpenReaderPayload(const Bytes& clsid, uint32_t direction, uint32_t origin, int32_t offset,
                        std::u16string_view filter);
Bytes SubscribePayload(const Bytes& clsid, std::u16string_view filter);
Bytes HandlePayload(uint32_t handle, std::initializer_list<uint32_t> numbers = {});
// Page (with flags) or Push (without) payloads.
PageFrame ReadItems(const std::vector<uint8_t>& payload, bool withFlags);

// The reading frames (kinds 16 to 29); answers are matched to requests by frame id.
class ReadingClient {
 public:
  explicit ReadingClient(TestClient& client) : client_(client) {}
  std::optional<Frame> Request(uint16_t kind, const Bytes& payload, int timeoutMs = 5000);
  uint32_t SendOnly(uint16_t kind, const Bytes& payload);
  // Items pushed for `subscription` until `count` have come or the time is up.
  std::vector<ListedItem> Pushed(uint32_t subscription, size_t count, int timeoutMs);

  // The common requests; 0 or a failure result when the host refused.
  uint32_t Open(const Bytes& clsid, uint32_t direction, uint32_t origin, int32_t offset, std::u16string_view filter,
                int32_t* result = nullptr);
  PageFrame Page(uint32_t reader, uint32_t count);
  int32_t Done(uint16_t kind, const Bytes& payload);  // the Done result, or 1 for anything else
  uint32_t Subscribe(const Bytes& clsid, std::u16string_view filter);

 private:
  TestClient& client_;
  uint32_t nextId_ = 1000;
};

// A program (tarnhost unless told otherwise) with its stderr in a file; it
// dies with the test program.
class HostProcess {
 public:
  HostProcess(const std::vector<std::string>& args, const std::string& logPath, std::string program = TARNHOST_PATH);
  ~HostProcess();
  // Waits for the "listening on" line and returns the port, or 0.
  int WaitListening(int timeoutMs);
  void Signal(int signal);
  // 128 + signal for a signal; -1 when the time ran out (it is then killed).
  int WaitExit(int timeoutMs);
  void Stop(int signal = 15);
  std::string Log() const { return ReadFile(logPath_); }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  std::string logPath_;
};

// A host on 127.0.0.1 with a free port; fails the test when it does not come up.
struct RunningHost {
  RunningHost(const std::string& dir, const std::string& db, const std::string& config = "",
              const std::string& logName = "host.log");
  HostProcess process;
  int port = 0;
};

// A connection stand-in that keeps every frame it is sent, counts the answers
// owed, and whose queue can be made to look full.
class FakePeer final : public hv::host::Peer {
 public:
  const std::string& label() const override { return label_; }
  void SendFrame(std::vector<uint8_t> frame) override;
  void OweAnswer() override { ++owed; }
  void SendAnswer(std::vector<uint8_t> frame) override {
    --owed;
    SendFrame(std::move(frame));
  }
  size_t PendingBytes() const override { return pending.load(); }

  std::vector<Frame> Frames();
  std::optional<Frame> Next();  // the next frame not yet taken
  bool WaitUntil(const std::function<bool(const std::vector<Frame>&)>& done, int timeoutMs);

  std::atomic<int> owed{0};
  std::atomic<size_t> pending{0};

 private:
  std::string label_ = "test peer";
  std::mutex mutex_;
  std::condition_variable changed_;
  hv::host::FrameReader reader_;
  std::vector<Frame> frames_;
  size_t taken_ = 0;
};

}  // namespace hvtest
