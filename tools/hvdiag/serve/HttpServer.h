// The HTTP side of "hvdiag serve": accepts connections, reads each request
// with Boost.Beast and hands it to the handler on the connection's own thread,
// which has joined the multi-threaded apartment so that it can call the
// library directly. Requests are small GETs; anything else is refused before
// the handler sees it.
#pragma once
#include <windows.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace hv::diag {

struct HttpRequest {
  std::string path;                           // without the query
  std::map<std::wstring, std::wstring> query;  // decoded from UTF-8; the last value of a name counts
  std::wstring Param(const wchar_t* name) const;
  bool Has(const wchar_t* name) const { return query.count(name) != 0; }
};

// What a handler answers with: either one whole response, or a stream whose
// end is the end of the connection (server-sent events, long downloads).
class HttpResponder {
 public:
  virtual ~HttpResponder() = default;
  virtual void Send(int status, const std::string& contentType, const std::string& body,
                    const std::string& disposition = "") = 0;
  // False once the browser is gone.
  virtual bool BeginStream(const std::string& contentType, const std::string& disposition = "") = 0;
  virtual bool Write(const std::string& bytes) = 0;
};

class HttpServer final {
 public:
  using Handler = std::function<void(const HttpRequest&, HttpResponder&)>;
  HttpServer(Handler handler, std::atomic<bool>* stopping);
  ~HttpServer();

  // Binds and listens; false with the reason in *error. Port 0 takes a free
  // port, which Port() then gives.
  bool Listen(const std::string& address, unsigned short port, std::string* error);
  unsigned short Port() const;
  bool Loopback() const;
  // Accepts until Stop; each connection is served on a thread of its own.
  void Run();
  // Ends Run and waits a moment for the connections in progress.
  void Stop();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace hv::diag
