// A client of tarnhost over TCP on 127.0.0.1, speaking the frame protocol,
// able to send anything at all. Every read waits at most the time given.
#pragma once
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "protocol/FrameReader.h"
#include "protocol/MuxMessage.h"
#include "service/Socket.h"

namespace hvtest {

class TestClient {
 public:
  bool Connect(int port);
  // Speaks over a socket someone else connected (a TLS relay's plain end), or
  // gives its connected socket away.
  void Adopt(hv::host::Socket socket) { socket_ = std::move(socket); }
  hv::host::Socket Release() { return std::move(socket_); }
  // Sends Hello and waits for the HelloReply.
  bool Hello(int timeoutMs = 5000);
  bool Connected(int port, int timeoutMs = 5000) { return Connect(port) && Hello(timeoutMs); }

  bool SendRaw(const std::vector<uint8_t>& bytes);
  // Sends a Post frame with the next frame id and returns that id.
  uint32_t Post(const hv::host::MuxMessage& message);
  // Sends a Transact and returns the Reply or Error frame with its id; frames
  // that arrive meanwhile stay queued for NextFrame.
  std::optional<hv::host::Frame> Transact(const hv::host::MuxMessage& message, int timeoutMs = 5000);

  std::optional<hv::host::Frame> NextFrame(int timeoutMs);
  // True once the host has closed its sending side (frames before it are
  // kept for NextFrame).
  bool WaitClosed(int timeoutMs);
  void Close() { socket_.Close(); }
  void ShutdownSend();

 private:
  bool Receive(int timeoutMs);

  hv::host::Socket socket_;
  hv::host::FrameReader reader_;
  std::deque<hv::host::Frame> frames_;
  bool closed_ = false;
  uint32_t nextId_ = 1;
};

// A "1" or "2" message carrying an item stream.
hv::host::MuxMessage ItemMessage(const std::string& type, int32_t transid, const std::vector<uint8_t>& body);

struct Answer {
  int32_t hr = 1;
  int32_t transid = 0;
  std::vector<uint8_t> body;
  std::string type;
};
// Reads a Notify frame's "5" message; false when the frame is something else.
bool ReadAnswer(const hv::host::Frame& frame, Answer* answer);

}  // namespace hvtest
