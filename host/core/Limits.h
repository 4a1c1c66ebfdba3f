// What one client may hold of the host, and what all of them together may.
// A client that reaches a limit is dropped or refused; the host goes on.
#pragma once
#include <cstddef>
#include <string>

namespace hv::host {

struct Limits {
  // A connection that has not sent its Hello within this is closed.
  int helloTimeoutMs = 10000;
  // A frame whose first byte came this long ago and is still incomplete
  // closes its connection: a client that drips bytes holds nothing for long.
  int frameTimeoutMs = 30000;
  // A connection that has sent nothing for this long and holds no reader,
  // subscription or owed answer is closed. 0: never (the library keeps its
  // connection for as long as its objects live and does not reconnect).
  int idleTimeoutMs = 0;
  // Connections of one peer (its account when known, else its address).
  size_t maxPerPeer = 128;
  // The last this many of max_connections go only to peers that may read.
  size_t readerReserve = 16;
  // Connections still waiting for their Hello; the longest waiting one is
  // closed to make room for a new one.
  size_t maxWaiting = 1024;
  // Unsent answers of one connection; a client that lets more pile up is
  // dropped.
  size_t maxSendBacklog = size_t(16) << 20;
  // Partial frames and unsent answers of all connections together; the
  // connection that would go beyond it is dropped.
  size_t maxBufferedBytes = size_t(256) << 20;
  // Readers and subscriptions of all connections together.
  size_t maxReaders = 1024;
  size_t maxSubscriptions = 512;

  // Takes one host key: `known` says whether `key` sets a limit; false with
  // `error` set when its value is out of range.
  bool Apply(const std::string& key, const std::string& value, bool* known, std::string* error);
};

}  // namespace hv::host
