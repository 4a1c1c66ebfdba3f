// Delivery end to end: items logged through the library, sent by HVMux.dll,
// stored and committed by tarnhost; beside raw TCP sends of the same item
// bytes over loopback from the same process, and the synchronous round trip.
//
// Run (from the build tree, with the libraries registered in the prefix):
//   HV_TARNHOST=.../native/tarnhost wine64 bin/bench_delivery.exe [items]
#include <winsock2.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "support/HostProcess.h"
#include "support/TestSupport.h"

namespace {

using hv::ComPtr;
using hv::bench::Clock;
using hv::bench::Seconds;
using hv::bench::TypicalItem;

// Items per second, logged asynchronously from `threads` threads, counted
// until the host has committed them all (a final synchronous item).
double AsyncItemsPerSecond(ITAVDiagnosticLogEx* log, hv::test::HostProcess& host, int items, int threads) {
  const long before = std::atol(host.Query("select count(*) from messages").c_str());
  const auto start = Clock::now();
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([=] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      for (int i = 0; i < items / threads; ++i) {
        ComPtr<ITAVDiagnosticLogItemEx> item = TypicalItem(log, i);
        log->LogThisItemEx(item.get(), VARIANT_FALSE, 0);
      }
      CoUninitialize();
    });
  }
  for (auto& w : workers) w.join();
  const double posting = Seconds(Clock::now() - start);
  std::printf("  (%d threads: %.0f items/s handed to the link)\n", threads, items / posting);
  ComPtr<ITAVDiagnosticLogItemEx> last = TypicalItem(log, -1);
  const HRESULT hr = log->LogThisItemEx(last.get(), VARIANT_TRUE, 60000);
  const double elapsed = Seconds(Clock::now() - start);
  const long stored = std::atol(host.Query("select count(*) from messages").c_str()) - before;
  if (hr != S_OK || stored != items / threads * threads + 1)
    std::printf("  (warning: result 0x%08lx, %ld of %d items stored)\n", hr, stored, items / threads * threads + 1);
  return stored / elapsed;
}

// The same item bytes, written with one send per item to a loopback sink.
double RawSendsPerSecond(const std::vector<uint8_t>& bytes, int items) {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  int length = sizeof(address);
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  listen(listener, 1);
  std::thread drain([&] {
    SOCKET peer = accept(listener, nullptr, nullptr);
    char buffer[65536];
    while (recv(peer, buffer, sizeof(buffer), 0) > 0) {
    }
    closesocket(peer);
  });
  SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  connect(client, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  const auto start = Clock::now();
  for (int i = 0; i < items; ++i)
    send(client, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0);
  shutdown(client, SD_SEND);
  drain.join();
  const double elapsed = Seconds(Clock::now() - start);
  closesocket(client);
  closesocket(listener);
  return items / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  const int items = argc > 1 ? std::atoi(argv[1]) : 20000;
  if (!hv::test::HostProcess::Available()) {
    std::printf("tarnhost not found: set HV_TARNHOST\n");
    return 2;
  }
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  int status = 0;
  {
    hv::test::HostProcess host("bench-delivery");
    ComPtr<ITAVDiagnosticLogMgrEx> mgr;
    ComPtr<ITAVDiagnosticLogEx> log;
    if (!hv::bench::StartHostAndLog(host, &mgr, &log)) return 1;
    // Warm the connection.
    ComPtr<ITAVDiagnosticLogItemEx> warm = TypicalItem(log.get(), 0);
    log->LogThisItemEx(warm.get(), VARIANT_TRUE, 10000);

    ComPtr<IPersistStream> persist;
    warm.query(&persist);
    ComPtr<IStream> stream;
    CreateStreamOnHGlobal(nullptr, TRUE, stream.put());
    persist->Save(stream.get(), FALSE);
    const std::vector<uint8_t> bytes = hv::test::StreamBytes(stream.get());

    std::printf("Delivery of a %zu-byte item, %d items per run\n", bytes.size(), items);
    const double raw = RawSendsPerSecond(bytes, items);
    std::printf("  baseline: raw TCP send, one send per item      %10.0f items/s\n", raw);
    const double one = AsyncItemsPerSecond(log.get(), host, items, 1);
    std::printf("  asynchronous, 1 thread, stored and committed   %10.0f items/s  (%.2f x baseline)\n", one,
                one / raw);
    const double two = AsyncItemsPerSecond(log.get(), host, items, 2);
    std::printf("  asynchronous, 2 threads, stored and committed  %10.0f items/s  (%.2f x baseline)\n", two,
                two / raw);

    std::vector<double> rounds;
    for (int i = 0; i < 1000; ++i) {
      ComPtr<ITAVDiagnosticLogItemEx> item = TypicalItem(log.get(), i);
      const auto start = Clock::now();
      if (log->LogThisItemEx(item.get(), VARIANT_TRUE, 10000) != S_OK) status = 1;
      rounds.push_back(Seconds(Clock::now() - start) * 1e6);
    }
    std::sort(rounds.begin(), rounds.end());
    std::printf("  synchronous round trip (stored and committed)  p50 %7.0f us  p99 %7.0f us\n",
                rounds[rounds.size() / 2], rounds[rounds.size() * 99 / 100]);
  }
  CoUninitialize();
  return status;
}
