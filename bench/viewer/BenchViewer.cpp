// The viewer's pages over a large store: how long "hvdiag serve" takes to
// answer the first page, the next page and a page whose reader was dropped,
// beside the library's own ReadMessages doing the same reads in this process
// in the same run.
//
// Run (from the build tree, with the libraries registered in the prefix):
//   HV_TARNHOST=.../native/tarnhost HV_BIN_DIR=$PWD/bin wine64 bin/bench_viewer.exe [items]
#include <winsock2.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "hvdiagtest/ChildProcess.h"

namespace {

using hv::ComPtr;
using hv::bench::Clock;
using hv::bench::Seconds;

constexpr int kRepeats = 5;

// One GET over a new connection; the body, or "" when it failed.
std::string Get(unsigned short port, const std::string& target) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  std::string response;
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
    const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    send(s, request.data(), static_cast<int>(request.size()), 0);
    char buffer[65536];
    for (int got; (got = recv(s, buffer, sizeof(buffer), 0)) > 0;) response.append(buffer, got);
  }
  closesocket(s);
  const size_t body = response.find("\r\n\r\n");
  if (response.compare(0, 12, "HTTP/1.1 200") != 0 || body == std::string::npos) return "";
  return response.substr(body + 4);
}

std::string Field(const std::string& json, const std::string& name) {
  const size_t at = json.find("\"" + name + "\":");
  if (at == std::string::npos) return "";
  size_t start = at + name.size() + 3;
  if (json[start] == '"') ++start;
  return json.substr(start, json.find_first_of("\",}", start) - start);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The library's own first page of 100, newest first, and the page after it.
bool LibraryPages(ITAVDiagnosticLogMgrEx* mgr, double* first, double* next) {
  const auto start = Clock::now();
  ComPtr<IEnumUnknown> items;
  if (FAILED(mgr->ReadMessages(0x0409, nullptr, hv::unique_bstr(SysAllocString(L"<Filter/>")).get(), items.put())))
    return false;
  IUnknown* elements[100];
  ULONG fetched = 0;
  for (double* seconds : {first, next}) {
    const auto pageStart = seconds == first ? start : Clock::now();
    if (FAILED(items->Next(100, elements, &fetched)) || fetched != 100) return false;
    for (ULONG i = 0; i < fetched; ++i) elements[i]->Release();
    *seconds = Seconds(Clock::now() - pageStart);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const long items = argc > 1 ? std::atol(argv[1]) : 1000000;
  if (!hv::test::HostProcess::Available() || hv::test::BinDir().empty()) {
    std::printf("set HV_TARNHOST (tarnhost) and HV_BIN_DIR (hvdiag.exe)\n");
    return 2;
  }
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  int status = 0;
  {
    hv::test::HostProcess host("bench-viewer");
    ComPtr<ITAVDiagnosticLogMgrEx> mgr;
    if (!hv::bench::StartHostWithStore(host, items, &mgr)) return 1;
    const long stored = hv::bench::StoredCount(host);
    std::printf("Pages of 100 messages from a store of %ld (median of %d)\n", stored, kRepeats);

    std::vector<double> firsts, nexts;
    for (int i = 0; i < kRepeats; ++i) {
      double first = 0, next = 0;
      if (!LibraryPages(mgr.get(), &first, &next)) return std::printf("ReadMessages failed\n"), 1;
      firsts.push_back(first);
      nexts.push_back(next);
    }
    std::printf("  baseline: ReadMessages + Next(100) in this process   first %7.1f ms   next %7.1f ms\n",
                Median(firsts) * 1000, Median(nexts) * 1000);

    hv::test::ChildProcess serve;
    const std::wstring hvdiag = hv::test::BinDir() + L"hvdiag.exe";
    if (!serve.Start(hvdiag, L"serve --listen 127.0.0.1:0") || !serve.WaitForErr("viewer at http://", 30000))
      return std::printf("hvdiag serve did not start: %s\n", serve.Err().c_str()), 1;
    const std::string err = serve.Err();
    const unsigned short port = static_cast<unsigned short>(std::atoi(err.c_str() + err.find("127.0.0.1:") + 10));

    auto timed = [port, &status](const std::string& target, std::string* body) {
      const auto start = Clock::now();
      *body = Get(port, target);
      if (body->empty()) status = 1;
      return Seconds(Clock::now() - start);
    };
    std::string body;
    firsts.clear();
    nexts.clear();
    for (int i = 0; i < kRepeats; ++i) {
      firsts.push_back(timed("/api/messages?lang=en", &body));
      nexts.push_back(timed("/api/messages?lang=en&offset=100&cursor=" + Field(body, "cursor"), &body));
    }
    std::printf("  hvdiag serve /api/messages (JSON over HTTP)          first %7.1f ms   next %7.1f ms\n",
                Median(firsts) * 1000, Median(nexts) * 1000);
    const double dropped = timed("/api/messages?lang=en&offset=" + std::to_string(stored / 2), &body);
    std::printf("  a page %ld messages in, its reader dropped (moved)  %7.1f ms\n", stored / 2, dropped * 1000);
    const double counted = timed("/api/counts?lang=en&limit=20000", &body);
    std::printf("  chart: counting the newest %s messages               %7.1f ms\n", Field(body, "counted").c_str(),
                counted * 1000);
    const double none = timed("/api/messages?lang=en&severity=Error", &body);
    std::printf("  a filter that no message meets (severity Error)     %7.1f ms  (every message tested)\n",
                none * 1000);
  }
  CoUninitialize();
  if (status) std::printf("some requests failed\n");
  return status;
}
