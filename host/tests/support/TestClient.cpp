#include "support/TestClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>

#include "protocol/Hello.h"

using namespace hv::host;
using hv::ByteWriter;

namespace hvtest {

bool TestClient::Connect(int port) {
  socket_ = Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(uint16_t(port));
  ::inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
  if (::connect(socket_.fd(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return false;
  int one = 1;
  ::setsockopt(socket_.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return true;
}

bool TestClient::Hello(int timeoutMs) {
  hv::host::Hello hello;
  uint32_t id = nextId_++;
  if (!SendRaw(FrameCodec::Encode(FrameKind::Hello, id, [&](ByteWriter& w) { hello.Write(w); }))) return false;
  auto frame = NextFrame(timeoutMs);
  HelloReply reply;
  return frame && frame->kind == FrameKind::HelloReply && frame->id == id &&
         HelloReply::Decode(frame->payload.data(), frame->payload.size(), &reply) && reply.version == 1;
}

bool TestClient::SendRaw(const std::vector<uint8_t>& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(socket_.fd(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += size_t(n);
  }
  return true;
}

uint32_t TestClient::Post(const MuxMessage& message) {
  uint32_t id = nextId_++;
  SendRaw(FrameCodec::Encode(FrameKind::Post, id, [&](ByteWriter& w) { message.Write(w); }));
  return id;
}

std::optional<Frame> TestClient::Transact(const MuxMessage& message, int timeoutMs) {
  uint32_t id = nextId_++;
  if (!SendRaw(FrameCodec::Encode(FrameKind::Transact, id, [&](ByteWriter& w) { message.Write(w); })))
    return std::nullopt;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    for (auto it = frames_.begin(); it != frames_.end(); ++it)
      if (it->id == id && (it->kind == FrameKind::Reply || it->kind == FrameKind::Error)) {
        Frame f = std::move(*it);
        frames_.erase(it);
        return f;
      }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || closed_ || !Receive(int(left.count()))) return std::nullopt;
  }
}

bool TestClient::Receive(int timeoutMs) {
  pollfd p{socket_.fd(), POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return false;
  uint8_t buffer[65536];
  ssize_t n = ::recv(socket_.fd(), buffer, sizeof buffer, 0);
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
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (frames_.empty()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || closed_ || !Receive(int(left.count()))) {
      if (frames_.empty()) return std::nullopt;
    }
  }
  Frame f = std::move(frames_.front());
  frames_.pop_front();
  return f;
}

bool TestClient::WaitClosed(int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!closed_) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    Receive(int(left.count()));
  }
  return true;
}

void TestClient::ShutdownSend() { ::shutdown(socket_.fd(), SHUT_WR); }

MuxMessage ItemMessage(const std::string& type, int32_t transid, const std::vector<uint8_t>& body) {
  MuxMessage m;
  m.SetField("MSGTYPE", type);
  if (type == "2") m.SetField("transid", std::to_string(transid));
  m.body = body;
  return m;
}

bool ReadAnswer(const Frame& frame, Answer* answer) {
  MuxMessage m;
  std::string why;
  if (frame.kind != FrameKind::Notify || !MuxMessage::Decode(frame.payload.data(), frame.payload.size(), &m, &why))
    return false;
  const std::string* type = m.Field("MSGTYPE");
  const std::string* hr = m.Field("HRESULT");
  const std::string* transid = m.Field("transid");
  if (!type || !hr || !transid) return false;
  answer->type = *type;
  answer->hr = int32_t(std::strtol(hr->c_str(), nullptr, 10));
  answer->transid = int32_t(std::strtol(transid->c_str(), nullptr, 10));
  answer->body = m.body;
  return true;
}

}  // namespace hvtest
