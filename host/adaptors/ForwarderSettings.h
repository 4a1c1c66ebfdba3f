// How a forwarder adaptor reaches the central syslog service and what it
// writes into the messages it sends there. docs/host.md describes the
// "[adaptor]" keys that set them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace hv::host {

struct ForwarderSettings {
  // HOST:PORT. HOST is a name, an IPv4 address, or an IPv6 address in
  // brackets; names are looked up at every connection attempt.
  std::string server = "127.0.0.1:514";
  int facility = 16;  // local0
  // APP-NAME of items without a provider; empty sends "-".
  std::string appName;
  // HOSTNAME of items without a location; empty: this machine's name.
  std::string hostname;
  size_t bufferItems = 10000;
  // The longest wait between two connection attempts; the wait starts at
  // a quarter second and doubles after each failed attempt.
  int reconnectMaxMs = 30000;
  // The longest message sent, framing not counted: 8192 bytes is what
  // syslog servers take without being told otherwise, and the limit keeps
  // the buffer's memory bounded whatever the clients send.
  size_t maxMessageBytes = 8192;
};

// True for the "[adaptor]" keys that only a forwarder takes.
bool IsForwarderKey(std::string_view key);
// Stores one such key's value; false with the reason when it is not valid.
bool ApplyForwarderKey(std::string_view key, std::string_view value, ForwarderSettings* settings, std::string* error);

// "HOST:PORT" or "[IPV6]:PORT": false for an empty host or a port outside
// 1 to 65535.
bool SplitServerAddress(std::string_view text, std::string* host, uint16_t* port);
// A number 0 to 23 or the name of one of the usual facilities: kern, user,
// mail, daemon, auth, syslog, lpr, news, uucp, cron, authpriv, ftp and
// local0 to local7 (16 to 23).
bool ParseFacility(std::string_view text, int* facility);

}  // namespace hv::host
