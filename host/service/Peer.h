// The connection a message came in on, as the message handling sees it:
// somewhere to send frames, and a count of answers still owed, which keeps
// the connection open for them after the client has stopped sending.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace hv::host {

class Peer {
 public:
  virtual ~Peer() = default;

  // "connection 3 from 127.0.0.1:50522", for log lines.
  virtual const std::string& label() const = 0;
  virtual void SendFrame(std::vector<uint8_t> frame) = 0;
  virtual void OweAnswer() = 0;
  // Sends a frame that pays one owed answer.
  virtual void SendAnswer(std::vector<uint8_t> frame) = 0;
  // Bytes queued for the client and not yet sent: a subscription holds back
  // while its client is this far behind.
  virtual size_t PendingBytes() const { return 0; }
  // The rights of the client's account (Rights.h), and its name for the
  // audit messages and log lines.
  virtual uint32_t rights() const { return ~0u; }
  virtual std::string account() const { return "the host"; }
};

}  // namespace hv::host
