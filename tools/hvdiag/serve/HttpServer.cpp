#include "tools/hvdiag/serve/HttpServer.h"

#include <objbase.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <mutex>
#include <thread>

#include "tools/hvdiag/Console.h"

namespace hv::diag {

namespace net = boost::asio;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;

namespace {

// A browser opens a handful of connections; more than this at once is not a viewer.
constexpr int kMaxConnections = 64;
// A connection that sends nothing for this long is closed.
constexpr DWORD kIdleMs = 30000;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "%41+b" to "A b"; a broken escape is kept as written.
std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 && HexDigit(text[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

void ParseTarget(const std::string& target, HttpRequest* request) {
  const size_t question = target.find('?');
  request->path = Unescape(target.substr(0, question));
  if (question == std::string::npos) return;
  const std::string query = target.substr(question + 1);
  size_t at = 0;
  while (at <= query.size()) {
    size_t end = query.find('&', at);
    if (end == std::string::npos) end = query.size();
    const std::string pair = query.substr(at, end - at);
    const size_t equals = pair.find('=');
    if (!pair.empty())
      request->query[FromUtf8(Unescape(pair.substr(0, equals)))] =
          equals == std::string::npos ? L"" : FromUtf8(Unescape(pair.substr(equals + 1)));
    at = end + 1;
  }
}

// Only names that mean this machine: a page of another site that got its name
// pointed at 127.0.0.1 must not read the messages through the browser.
bool LoopbackHost(const std::string& host) {
  std::string name = host;
  if (!name.empty() && name[0] == '[') name = name.substr(0, name.find(']') + 1);
  else name = name.substr(0, name.find(':'));
  return name == "localhost" || name == "[::1]" || name.compare(0, 4, "127.") == 0;
}

const char* Reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 502: return "Bad Gateway";
    default: return "Error";
  }
}

class Connection final : public HttpResponder {
 public:
  explicit Connection(tcp::socket socket) : socket_(std::move(socket)) {}

  void Send(int status, const std::string& contentType, const std::string& body,
            const std::string& disposition) override {
    http::response<http::string_body> response{static_cast<http::status>(status), 11};
    Headers(response, contentType, disposition);
    response.keep_alive(keepAlive_);
    response.body() = body;
    response.prepare_payload();
    boost::system::error_code error;
    http::write(socket_, response, error);
    if (error) keepAlive_ = false;
    answered_ = true;
  }

  bool BeginStream(const std::string& contentType, const std::string& disposition) override {
    // No length and no chunks: the body ends when the connection does.
    http::response<http::empty_body> response{http::status::ok, 11};
    Headers(response, contentType, disposition);
    response.keep_alive(false);
    http::response_serializer<http::empty_body> serializer{response};
    boost::system::error_code error;
    http::write_header(socket_, serializer, error);
    keepAlive_ = false;
    answered_ = true;
    return !error;
  }

  bool Write(const std::string& bytes) override {
    boost::system::error_code error;
    net::write(socket_, net::buffer(bytes), error);
    return !error;
  }

  void Serve(const HttpServer::Handler& handler, bool loopback, const std::atomic<bool>& stopping) {
    DWORD idle = kIdleMs;
    setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&idle), sizeof(idle));
    boost::beast::flat_buffer buffer;
    while (keepAlive_ && !stopping) {
      http::request_parser<http::empty_body> parser;
      parser.header_limit(16 * 1024);
      boost::system::error_code error;
      http::read(socket_, buffer, parser, error);
      if (error) break;
      const auto& message = parser.get();
      keepAlive_ = message.keep_alive();
      answered_ = false;
      if (message.method() != http::verb::get) {
        Send(405, "text/plain; charset=utf-8", "Only GET is served.\n", "");
        continue;
      }
      if (loopback && !LoopbackHost(std::string(message[http::field::host]))) {
        Send(403, "text/plain; charset=utf-8", "This viewer answers only to localhost and 127.0.0.1.\n", "");
        continue;
      }
      HttpRequest request;
      ParseTarget(std::string(message.target()), &request);
      handler(request, *this);
      if (!answered_) Send(500, "text/plain; charset=utf-8", "No answer.\n", "");
    }
    boost::system::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
  }

 private:
  template <typename Response>
  static void Headers(Response& response, const std::string& contentType, const std::string& disposition) {
    response.reason(Reason(static_cast<int>(response.result_int())));
    response.set(http::field::server, "hvdiag");
    response.set(http::field::content_type, contentType);
    response.set(http::field::cache_control, "no-store");
    response.set("X-Content-Type-Options", "nosniff");
    // Everything the page uses is served from here.
    response.set("Content-Security-Policy", "default-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data:");
    if (!disposition.empty()) response.set(http::field::content_disposition, disposition);
  }

  tcp::socket socket_;
  bool keepAlive_ = true;
  bool answered_ = false;
};

}  // namespace

std::wstring HttpRequest::Param(const wchar_t* name) const {
  const auto found = query.find(name);
  return found == query.end() ? L"" : found->second;
}

struct HttpServer::State {
  Handler handler;
  std::atomic<bool>* stopping = nullptr;
  net::io_context context;
  tcp::acceptor acceptor{context};
  std::atomic<int> connections{0};
  bool loopback = true;
};

HttpServer::HttpServer(Handler handler, std::atomic<bool>* stopping) : state_(std::make_shared<State>()) {
  state_->handler = std::move(handler);
  state_->stopping = stopping;
}

HttpServer::~HttpServer() = default;

bool HttpServer::Listen(const std::string& address, unsigned short port, std::string* error) {
  boost::system::error_code code;
  const net::ip::address ip = net::ip::make_address(address, code);
  if (code) {
    *error = "\"" + address + "\" is not an IP address";
    return false;
  }
  state_->loopback = ip.is_loopback();
  const tcp::endpoint endpoint{ip, port};
  state_->acceptor.open(endpoint.protocol(), code);
  if (!code) state_->acceptor.bind(endpoint, code);
  if (!code) state_->acceptor.listen(net::socket_base::max_listen_connections, code);
  if (code) *error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + code.message();
  return !code;
}

unsigned short HttpServer::Port() const {
  boost::system::error_code code;
  return state_->acceptor.local_endpoint(code).port();
}

bool HttpServer::Loopback() const { return state_->loopback; }

void HttpServer::Run() {
  while (!*state_->stopping) {
    tcp::socket socket{state_->context};
    boost::system::error_code error;
    state_->acceptor.accept(socket, error);
    if (*state_->stopping) break;
    if (error) {
      Sleep(10);  // out of sockets or handles: give the others a moment to end
      continue;
    }
    if (state_->connections >= kMaxConnections) continue;  // the socket closes here
    ++state_->connections;
    // The state outlives every connection thread, even one still streaming
    // when the server is torn down.
    std::thread([state = state_, socket = std::move(socket)]() mutable {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      {
        Connection connection(std::move(socket));
        connection.Serve(state->handler, state->loopback, *state->stopping);
      }
      CoUninitialize();
      --state->connections;
    }).detach();
  }
}

void HttpServer::Stop() {
  *state_->stopping = true;
  // A blocked accept ends when a connection arrives: make one.
  boost::system::error_code error;
  tcp::socket wake{state_->context};
  const tcp::endpoint local = state_->acceptor.local_endpoint(error);
  if (!error) {
    const tcp::endpoint target{local.address().is_unspecified()
                                   ? net::ip::address(net::ip::address_v4::loopback())
                                   : local.address(),
                               local.port()};
    wake.connect(target, error);
  }
  // Streams notice the stop within a second; downloads in progress get a little longer.
  for (int i = 0; i < 50 && state_->connections > 0; ++i) Sleep(100);
}

}  // namespace hv::diag
