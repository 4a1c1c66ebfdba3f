#include "support/Support.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "core/ConfigFile.h"
#include "protocol/Hello.h"

using namespace hv::host;
using hv::ByteWriter;
using Clock = std::chrono::steady_clock;

namespace hvtest {
namespace {

uint32_t U32(const std::vector<uint8_t>& p, size_t at) {
  return uint32_t(p[at]) | uint32_t(p[at + 1]) << 8 | uint32_t(p[at + 2]) << 16 | uint32_t(p[at + 3]) << 24;
}

int Left(Clock::time_point deadline) {
  return int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
}

}  // namespace

TempDir::TempDir() : path_(std::filesystem::temp_directory_path().string() + "/tarnhost-test-XXXXXX") {
  if (!mkdtemp(path_.data())) throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

int Shell(const std::string& command, std::string* output) {
  std::string out;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  char buffer[4096];
  for (size_t n; p && (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
  int status = p ? ::pclose(p) : -1;
  if (output) *output = out;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

size_t Occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(5)))
    if (Left(deadline) <= 0) return false;
  return true;
}

Bytes Le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
Bytes Le64(uint64_t v) { return Concat({Le32(uint32_t(v)), Le32(uint32_t(v >> 32))}); }

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Utf16(std::u16string_view text) {
  Bytes b;
  for (char16_t c : text) b.insert(b.end(), {uint8_t(c), uint8_t(c >> 8)});
  return b;
}

Bytes Counted(std::u16string_view text) { return Concat({Le32(uint32_t(text.size() * 2 + 2)), Utf16(text), {0, 0}}); }
Bytes Variant(uint16_t vt, const Bytes& data) { return Concat({{uint8_t(vt), uint8_t(vt >> 8)}, data}); }
Bytes ClsidBytes(const Guid& g) { return Bytes(g.bytes().begin(), g.bytes().end()); }

Guid Clsid(const char* text) {
  Guid g;
  Guid::Parse(text, &g);
  return g;
}

const Bytes& StoreClsid() {
  static const Bytes b = ClsidBytes(ConfigFile::StoreAdaptorClsid());
  return b;
}

std::u16string U16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

Bytes ItemBytes::Build() const {
  uint64_t dateBits;
  std::memcpy(&dateBits, &dateTime, 8);
  Bytes b = Concat({Le32(version), Counted(location), Counted(provider), Counted(messageText), Counted(userName),
                    Counted(helpFile), Le64(dateBits), Le32(uint32_t(severity)), Le32(uint32_t(audience)),
                    Le32(uint32_t(verbosity)), Le32(helpContext), Bytes(errorGuid, errorGuid + 16),
                    Le32(uint32_t(messageId)), Le32(uint32_t(arguments.size()))});
  for (const Bytes& a : arguments) b = Concat({b, a});
  b = Concat({b, Le32(child.empty() ? 0 : uint32_t(child.size() + childFiller)), child,
              Bytes(child.empty() ? 0 : childFiller, 0), Le32(uint32_t(extended.size()))});
  for (const Bytes& e : extended) b = Concat({b, e});
  return version == 2 ? Concat({b, userDescription}) : b;
}

Bytes SimpleItem(std::u16string_view location, int32_t audience, int32_t severity) {
  ItemBytes item;
  item.location = location;
  item.provider = u"Halvern Tests";
  item.messageText = u"message of " + item.location;
  item.userName = u"tester";
  item.dateTime = 45000.5;
  item.audience = audience;
  item.severity = severity;
  item.verbosity = 1;
  return item.Build();
}

StoreQuery::StoreQuery(const std::string& path) {
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db_);
    db_ = nullptr;
  } else {
    sqlite3_busy_timeout(db_, 5000);
  }
}

StoreQuery::~StoreQuery() { sqlite3_close(db_); }

int64_t StoreQuery::Int(const std::string& sql) {
  auto texts = Texts(sql);
  return texts.empty() ? -1 : texts[0] == "<null>" ? 0 : std::stoll(texts[0]);
}

std::vector<std::string> StoreQuery::Texts(const std::string& sql) {
  std::vector<std::string> out;
  sqlite3_stmt* s = nullptr;
  if (db_ && sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr) == SQLITE_OK)
    while (sqlite3_step(s) == SQLITE_ROW) {
      const unsigned char* t = sqlite3_column_text(s, 0);
      out.push_back(t ? reinterpret_cast<const char*>(t) : "<null>");
    }
  sqlite3_finalize(s);
  return out;
}

std::vector<uint8_t> StoreQuery::Blob(const std::string& sql) {
  std::vector<uint8_t> out;
  sqlite3_stmt* s = nullptr;
  if (db_ && sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW) {
    const uint8_t* p = static_cast<const uint8_t*>(sqlite3_column_blob(s, 0));
    out.assign(p, p + sqlite3_column_bytes(s, 0));
  }
  sqlite3_finalize(s);
  return out;
}

bool TestClient::Connect(int port) {
  socket_ = Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in sa{AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
  if (::connect(socket_.fd(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return false;
  int one = 1;
  ::setsockopt(socket_.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return true;
}

TestClient::~TestClient() {
  if (ssl_) SSL_shutdown(ssl_);  // the host is told that the session ends
  SSL_free(ssl_);
}

bool TestClient::StartTls(SSL_CTX* ctx) {
  ssl_ = SSL_new(ctx);
  SSL_set_fd(ssl_, socket_.fd());
  return SSL_connect(ssl_) == 1;
}

bool TestClient::Hello(int timeoutMs) {
  uint32_t id = nextId_++;
  auto hello = [](ByteWriter& w) { hv::host::Hello().Write(w); };
  if (!SendRaw(FrameCodec::Encode(FrameKind::Hello, id, hello))) return false;
  auto frame = NextFrame(timeoutMs);
  HelloReply reply;
  return frame && frame->kind == FrameKind::HelloReply && frame->id == id &&
         HelloReply::Decode(frame->payload.data(), frame->payload.size(), &reply) && reply.version == 1;
}

bool TestClient::SendRaw(const std::vector<uint8_t>& bytes) {
  for (size_t sent = 0; sent < bytes.size();) {
    ssize_t n = ssl_ ? SSL_write(ssl_, bytes.data() + sent, int(bytes.size() - sent))
                     : ::send(socket_.fd(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += size_t(n);
  }
  return true;
}

uint32_t TestClient::Post(const MuxMessage& message) {
  SendRaw(Encoded(FrameKind::Post, nextId_, message));
  return nextId_++;
}

int32_t TestClient::Log(const Bytes& item, int32_t transid, int timeoutMs) {
  Post(ItemMessage("2", transid, item));
  auto f = NextFrame(timeoutMs);
  Answer a;
  if (!f || !ReadAnswer(*f, &a) || a.type != "5" || a.transid != transid || a.body != item) return 1;
  return a.hr;
}

std::optional<Frame> TestClient::Transact(const MuxMessage& message, int timeoutMs) {
  uint32_t id = nextId_++;
  if (!SendRaw(Encoded(FrameKind::Transact, id, message))) return std::nullopt;
  return NextWhere([id](const Frame& f) { return f.id == id && (f.kind == FrameKind::Reply || f.kind == FrameKind::Error); },
                   timeoutMs);
}

std::optional<Frame> TestClient::NextWhere(const std::function<bool(const Frame&)>& wanted, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (size_t seen = 0;;) {
    for (; seen < frames_.size(); ++seen)
      if (wanted(frames_[seen])) {
        Frame f = std::move(frames_[seen]);
        frames_.erase(frames_.begin() + std::ptrdiff_t(seen));
        return f;
      }
    if (Left(deadline) <= 0 || closed_ || !Receive(Left(deadline))) return std::nullopt;
  }
}

bool TestClient::Receive(int timeoutMs) {
  pollfd p{socket_.fd(), POLLIN, 0};
  if (!(ssl_ && SSL_pending(ssl_) > 0) && ::poll(&p, 1, timeoutMs) <= 0) return false;
  uint8_t buffer[65536];
  ssize_t n = ssl_ ? SSL_read(ssl_, buffer, sizeof buffer) : ::recv(socket_.fd(), buffer, sizeof buffer, 0);
  if (n <= 0) {
    closed_ = true;
    return false;
  }
  reader_.Append(buffer, size_t(n));
  Frame f;
  std::string why;
  while (reader_.Next(&f, &why) == FrameReader::Status::HaveFrame) frames_.push_back(std::move(f));
  return true;
}

std::optional<Frame> TestClient::NextFrame(int timeoutMs) {
  return NextWhere([](const Frame&) { return true; }, timeoutMs);
}

bool TestClient::WaitClosed(int timeoutMs) {
  NextWhere([](const Frame&) { return false; }, timeoutMs);
  return closed_;
}

void TestClient::ShutdownSend() { ::shutdown(socket_.fd(), SHUT_WR); }

Bytes Encoded(FrameKind kind, uint32_t id, const MuxMessage& m) {
  return FrameCodec::Encode(kind, id, [&](ByteWriter& w) { m.Write(w); });
}

MuxMessage ItemMessage(const std::string& type, int32_t transid, const std::vector<uint8_t>& body) {
  MuxMessage m;
  m.SetField("MSGTYPE", type);
  if (type == "2") m.SetField("transid", std::to_string(transid));
  m.body = body;
  return m;
}

MuxMessage ClsidMessage(const char* type, const Guid& clsid, const Bytes& more) {
  MuxMessage m;
  m.SetField("MSGTYPE", type);
  m.data = Concat({ClsidBytes(clsid), more});
  return m;
}

bool ReadAnswer(const Frame& frame, Answer* answer) {
  MuxMessage m;
  std::string why;
  if (frame.kind != FrameKind::Notify || !MuxMessage::Decode(frame.payload.data(), frame.payload.size(), &m, &why))
    return false;
  const std::string *type = m.Field("MSGTYPE"), *hr = m.Field("HRESULT"), *transid = m.Field("transid");
  if (!type || !hr || !transid) return false;
  *answer = {int32_t(std::strtol(hr->c_str(), nullptr, 10)), int32_t(std::strtol(transid->c_str(), nullptr, 10)),
             m.body, *type};
  return true;
}

int32_t ErrorCode(const std::optional<Frame>& f, std::string* text) {
  if (!f || f->kind != FrameKind::Error || f->payload.size() < 6) return 1;
  const auto& p = f->payload;
  size_t n = size_t(p[4]) | size_t(p[5]) << 8;
  if (p.size() != 6 + n) return 1;
  if (text) text->assign(p.begin() + 6, p.end());
  return int32_t(U32(p, 0));
}

Bytes OpenReaderPayload(const Bytes& clsid, uint32_t direction, uint32_t origin, int32_t offset,
                        std::u16string_view filter) {
  return Concat({clsid, Le32(direction), Le32(origin), Le32(uint32_t(offset)), Le32(uint32_t(filter.size())),
                 Utf16(filter)});
}

Bytes SubscribePayload(const Bytes& clsid, std::u16string_view filter) {
  return Concat({clsid, Le32(uint32_t(filter.size())), Utf16(filter)});
}

Bytes HandlePayload(uint32_t handle, std::initializer_list<uint32_t> numbers) {
  Bytes b = Le32(handle);
  for (uint32_t n : numbers) b = Concat({b, Le32(n)});
  return b;
}

PageFrame ReadItems(const std::vector<uint8_t>& p, bool withFlags) {
  PageFrame page;
  size_t at = withFlags ? 8 : 4;
  if (p.size() < at) return page;
  uint32_t count = U32(p, 0);
  if (withFlags) page.flags = U32(p, 4);
  for (uint32_t i = 0; i < count; ++i) {
    if (p.size() - at < 12) return page;
    ListedItem item;
    item.number = uint64_t(U32(p, at)) | uint64_t(U32(p, at + 4)) << 32;
    uint32_t length = U32(p, at + 8);
    at += 12;
    if (p.size() - at < length) return page;
    item.stream.assign(p.begin() + std::ptrdiff_t(at), p.begin() + std::ptrdiff_t(at + length));
    at += length;
    page.items.push_back(std::move(item));
  }
  page.ok = at == p.size();
  return page;
}

uint32_t ReadingClient::SendOnly(uint16_t kind, const Bytes& payload) {
  client_.SendRaw(FrameCodec::Encode(FrameKind(kind), nextId_, payload));
  return nextId_++;
}

std::optional<Frame> ReadingClient::Request(uint16_t kind, const Bytes& payload, int timeoutMs) {
  uint32_t id = SendOnly(kind, payload);
  return client_.NextWhere([id](const Frame& f) { return f.kind < FrameKind::Push && f.id == id; }, timeoutMs);
}

std::vector<ListedItem> ReadingClient::Pushed(uint32_t subscription, size_t count, int timeoutMs) {
  std::vector<ListedItem> items;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  auto mine = [subscription](const Frame& f) { return uint16_t(f.kind) == 28 && f.id == subscription; };
  for (std::optional<Frame> f; items.size() < count && (f = client_.NextWhere(mine, Left(deadline)));) {
    PageFrame p = ReadItems(f->payload, false);
    EXPECT_TRUE(p.ok && !p.items.empty()) << "a Push frame that does not read";
    for (auto& item : p.items) items.push_back(std::move(item));
  }
  return items;
}

uint32_t ReadingClient::Open(const Bytes& clsid, uint32_t direction, uint32_t origin, int32_t offset,
                             std::u16string_view filter, int32_t* result) {
  auto f = Request(16, OpenReaderPayload(clsid, direction, origin, offset, filter));
  bool opened = f && uint16_t(f->kind) == 17 && f->payload.size() == 8;
  if (result) *result = opened ? int32_t(U32(f->payload, 4)) : ErrorCode(f);
  return opened ? U32(f->payload, 0) : 0;
}

PageFrame ReadingClient::Page(uint32_t reader, uint32_t count) {
  auto f = Request(18, HandlePayload(reader, {count}));
  return f && uint16_t(f->kind) == 19 ? ReadItems(f->payload, true) : PageFrame();
}

int32_t ReadingClient::Done(uint16_t kind, const Bytes& payload) {
  auto f = Request(kind, payload);
  return f && uint16_t(f->kind) == 23 && f->payload.size() == 4 ? int32_t(U32(f->payload, 0)) : 1;
}

uint32_t ReadingClient::Subscribe(const Bytes& clsid, std::u16string_view filter) {
  auto f = Request(25, SubscribePayload(clsid, filter));
  return f && uint16_t(f->kind) == 26 && f->payload.size() == 4 ? U32(f->payload, 0) : 0;
}

HostProcess::HostProcess(const std::vector<std::string>& args, const std::string& logPath, std::string program)
    : logPath_(logPath) {
  std::vector<char*> argv = {program.data()};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ == 0) {
    // Gone with the test program, whatever happens to it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(log, 2);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(log);
}

// A program still running at the end is asked to stop first: only a process
// that exits writes its coverage counts.
HostProcess::~HostProcess() {
  Signal(SIGTERM);
  WaitExit(5000);
}

int HostProcess::WaitListening(int timeoutMs) {
  const std::string marker = "listening on ip:127.0.0.1:";
  int port = 0;
  WaitFor([&] {
    std::string log = Log();
    size_t at = log.find(marker), end = log.find_first_not_of("0123456789", at + marker.size());
    if (at != std::string::npos && end != std::string::npos) port = std::stoi(log.substr(at + marker.size()));
    if (!port && ::waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
    return port || pid_ < 0;
  }, timeoutMs);
  return port;
}

void HostProcess::Signal(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

int HostProcess::WaitExit(int timeoutMs) {
  int status = 0;
  if (pid_ <= 0) return -1;
  bool exited = WaitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, timeoutMs);
  if (!exited && ::kill(pid_, SIGKILL) == 0) ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
  return !exited ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

void HostProcess::Stop(int signal) {
  Signal(signal);
  EXPECT_EQ(WaitExit(10000), 0) << Log();
}

RunningHost::RunningHost(const std::string& dir, const std::string& db, const std::string& config,
                         const std::string& logName)
    // An empty --config keeps an installed /etc/halvern/tarnhost.conf out.
    : process({"--listen", "ip:127.0.0.1:0", "--db", db, "--config", config}, dir + "/" + logName) {
  port = process.WaitListening(10000);
  EXPECT_NE(port, 0) << "the host did not start; its log:\n" << process.Log();
}

void FakePeer::SendFrame(std::vector<uint8_t> frame) {
  std::lock_guard<std::mutex> lock(mutex_);
  reader_.Append(frame.data(), frame.size());
  Frame f;
  std::string why;
  while (reader_.Next(&f, &why) == FrameReader::Status::HaveFrame) frames_.push_back(f);
  changed_.notify_all();
}

std::vector<Frame> FakePeer::Frames() {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_;
}

std::optional<Frame> FakePeer::Next() {
  std::lock_guard<std::mutex> lock(mutex_);
  return taken_ == frames_.size() ? std::nullopt : std::optional<Frame>(frames_[taken_++]);
}

bool FakePeer::WaitUntil(const std::function<bool(const std::vector<Frame>&)>& done, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return done(frames_); });
}

}  // namespace hvtest
