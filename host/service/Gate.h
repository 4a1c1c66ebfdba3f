// The door of the host: one thread with an epoll set that accepts
// connections and holds each one, at the cost of a descriptor and a few
// bytes, until its first frame has come. Only then does it get threads of
// its own. A connection that sends no Hello within the hello time-out is
// closed; when too many wait, the one that has waited longest is closed, so
// a flood of idle sockets cannot keep a real client from saying hello.
#pragma once
#include <chrono>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "core/Limits.h"
#include "core/Logger.h"
#include "service/Listener.h"
#include "service/Socket.h"
#include "service/StopSignal.h"

namespace hv::host {

class Gate {
 public:
  // Gets each connection whose first frame is in, with every byte read from
  // it so far; the socket is blocking again.
  using Admit = std::function<void(Socket socket, const std::string& peer, std::vector<uint8_t> bytes)>;
  // Called about five times a second, between events.
  using Tick = std::function<void()>;

  Gate(Listener& listener, const StopSignal& stop, const Limits& limits, Logger& log, Admit admit, Tick tick)
      : listener_(listener), stop_(stop), limits_(limits), log_(log), admit_(std::move(admit)),
        tick_(std::move(tick)) {}

  // Hands each connection on as soon as it is accepted, before any frame
  // (TLS: the handshake comes first).
  using Take = std::function<void(Socket socket, const std::string& peer)>;
  void HandOffAtAccept(Take take) { take_ = std::move(take); }

  // Until the stop signal; false with `error` when epoll cannot be set up.
  bool Run(std::string* error);

 private:
  struct Waiting {
    Socket socket;
    std::string peer;
    std::vector<uint8_t> bytes;
    std::chrono::steady_clock::time_point deadline;
  };
  using List = std::list<Waiting>;

  void AcceptAll(int epoll);
  void Receive(int epoll, List::iterator it);
  void Close(int epoll, List::iterator it);

  Listener& listener_;
  const StopSignal& stop_;
  const Limits& limits_;
  Logger& log_;
  Admit admit_;
  Tick tick_;
  Take take_;
  List waiting_;  // oldest first; deadlines grow along the list
  std::map<int, List::iterator> byFd_;
};

}  // namespace hv::host
