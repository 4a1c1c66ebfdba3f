// Delivery end to end: items logged through the library, sent by HVMux.dll,
// stored and committed by tarnhost. Printed beside baselines of the same run:
// the store's own insert ceiling for the same rows (natively, without any
// client), raw TCP sends of the same item bytes, and a raw ping-pong of the
// same synchronous frame with the service, without the library.
//
// Run (from the build tree, with the libraries registered in the prefix):
//   HV_TARNHOST=.../native/tarnhost wine64 bin/bench_delivery.exe [items]
// Three more forms serve the run itself and bench/count-requests.sh:
//   bench_delivery.exe client ITEMS PARENT   one of the four logging processes
//   bench_delivery.exe burst ITEMS           ITEMS asynchronous items and nothing else
//   bench_delivery.exe sync ITEMS            ITEMS synchronous items, one after the other
#include <winsock2.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "common/ByteStream.h"
#include "mux/MuxWire.h"
#include "mux/CMuxMessage.h"
#include "support/HostProcess.h"
#include "support/TestSupport.h"

namespace {

using hv::ComPtr;
using hv::bench::Clock;
using hv::bench::Seconds;
using hv::bench::StoredCount;
using hv::bench::TypicalItem;

constexpr int kClientProcesses = 4;
constexpr wchar_t kReadyName[] = L"HvBenchDeliveryReady";
constexpr wchar_t kGoName[] = L"HvBenchDeliveryGo";
constexpr wchar_t kDoneName[] = L"HvBenchDeliveryDone";
constexpr wchar_t kLeaveName[] = L"HvBenchDeliveryLeave";

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

// Processor time so far, in seconds: of this process, of each of the host's
// threads, and of the wineserver of this prefix (found by its working folder,
// which Wine names after the prefix's device and inode). The host's and the
// server's come from the kernel's run-time counters in /proc.
struct ProcessorTimes {
  double client = 0;
  std::vector<double> hostThreads;  // in the order of their thread ids
  std::vector<double> hostWaits;    // the same threads' time ready to run but waiting for a core
  double wineserver = 0;
};

constexpr char kTimesScript[] = R"sh(pid=$(cat "$1/tarnhost.pid")
for t in /proc/$pid/task/*; do echo "host $(cut -d' ' -f1,2 $t/schedstat)"; done
server=server-$(stat -L -c %D "$2")-$(printf %x "$(stat -L -c %i "$2")")
for p in $(pgrep wineserver); do
  case "$(readlink /proc/$p/cwd)" in
    */$server) for t in /proc/$p/task/*; do echo "server $(cut -d' ' -f1,2 $t/schedstat)"; done ;;
  esac
done
for p in $(pgrep -f "bench_delivery.exe client [0-9]* $3\$"); do
  for t in /proc/$p/task/*; do echo "client $(cut -d' ' -f1,2 $t/schedstat)"; done
done
)sh";

// Kernel and user time together, in seconds.
double BusySeconds(const FILETIME& kernel, const FILETIME& user) {
  auto seconds = [](const FILETIME& t) { return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 1e7; };
  return seconds(kernel) + seconds(user);
}

// The client's time is of this process and of the logging processes it
// started (from /proc: Wine tells a process's times only to itself).
ProcessorTimes ReadProcessorTimes(const hv::test::HostProcess& host) {
  ProcessorTimes times;
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  times.client = BusySeconds(kernel, user);
  const char* tmp = std::getenv("TMPDIR");
  const char* prefix = std::getenv("WINEPREFIX");
  if (!tmp || !prefix) return times;
  const std::string folder = host.database().substr(0, host.database().rfind('/'));
  const std::string script = std::string(tmp) + "/bench-times-" + std::to_string(GetCurrentProcessId());
  std::ofstream(hv::test::WindowsPathOf(script + ".sh").c_str(), std::ios::binary) << kTimesScript;
  hv::test::RunUnixCommand("sh " + Quoted(script + ".sh") + " " + Quoted(folder) + " " + Quoted(prefix) + " " +
                               std::to_string(GetCurrentProcessId()) + " > " +
                           Quoted(script + ".out"));
  std::istringstream lines(hv::test::ReadTextFile(script + ".out"));
  std::string who;
  double nanoseconds = 0;
  double waiting = 0;
  while (lines >> who >> nanoseconds >> waiting) {
    if (who == "host") {
      times.hostThreads.push_back(nanoseconds / 1e9);
      times.hostWaits.push_back(waiting / 1e9);
    }
    if (who == "server") times.wineserver += nanoseconds / 1e9;
    if (who == "client") times.client += nanoseconds / 1e9;
  }
  hv::test::RunUnixCommand("rm -f " + Quoted(script) + ".*");
  return times;
}

// Microseconds per item spent between two readings: the client process, the
// host's busiest thread (the store's writer), the host's other threads
// together, and the wineserver.
std::string ProcessorTimesLine(const ProcessorTimes& a, const ProcessorTimes& b, long items) {
  if (items <= 0 || a.hostThreads.size() > b.hostThreads.size()) return "";
  double busiest = 0;
  double busiestWait = 0;
  double others = 0;
  for (size_t i = 0; i < b.hostThreads.size(); ++i) {
    const bool before = i < a.hostThreads.size();
    const double spent = b.hostThreads[i] - (before ? a.hostThreads[i] : 0);
    others += spent;
    if (spent > busiest) {
      busiest = spent;
      busiestWait = b.hostWaits[i] - (before ? a.hostWaits[i] : 0);
    }
  }
  others -= busiest;
  const double scale = 1e6 / items;
  char line[300];
  std::snprintf(line, sizeof line,
                "    processor time per stored item: client %.2f, host's writer %.2f, host's other threads %.2f, "
                "wineserver %.2f us; the writer waited %.2f us for a core\n",
                (b.client - a.client) * scale, busiest * scale, others * scale, (b.wineserver - a.wineserver) * scale,
                busiestWait * scale);
  return line;
}

// Logs `items` asynchronous items and one synchronous item behind them, whose
// answer says that everything before it on the connection is committed.
HRESULT LogBurst(ITAVDiagnosticLogEx* log, int items, int first, bool synchronous = false) {
  for (int i = 0; i < items; ++i) {
    ComPtr<ITAVDiagnosticLogItemEx> item = TypicalItem(log, first + i);
    log->LogThisItemEx(item.get(), synchronous ? VARIANT_TRUE : VARIANT_FALSE, synchronous ? 10000 : 0);
  }
  ComPtr<ITAVDiagnosticLogItemEx> last = TypicalItem(log, -1);
  return log->LogThisItemEx(last.get(), VARIANT_TRUE, 60000);
}

// The calling thread's processor time so far, in seconds: what logging costs
// the application, whatever else the machine runs.
double ThreadCpuSeconds() {
  FILETIME created, exited, kernel, user;
  GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
  return BusySeconds(kernel, user);
}

// Items per second, logged asynchronously from `threads` threads, counted in
// the store once the host has committed them all. *handedOver: items per
// second until the last one was handed to the link; *cpuPerItem: the logging
// threads' processor time per item, in microseconds; *processorTimes: the
// line that says where the processor time of the whole run went.
double AsyncItemsPerSecond(ITAVDiagnosticLogEx* log, hv::test::HostProcess& host, int items, int threads,
                           double* handedOver, double* cpuPerItem, std::string* processorTimes) {
  const long before = StoredCount(host);
  const ProcessorTimes timesBefore = ReadProcessorTimes(host);
  const auto start = Clock::now();
  std::vector<std::thread> workers;
  std::vector<double> cpu(threads);
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([=, &cpu] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      const double cpuStart = ThreadCpuSeconds();
      for (int i = 0; i < items / threads; ++i) {
        ComPtr<ITAVDiagnosticLogItemEx> item = TypicalItem(log, i);
        log->LogThisItemEx(item.get(), VARIANT_FALSE, 0);
      }
      cpu[t] = ThreadCpuSeconds() - cpuStart;
      CoUninitialize();
    });
  }
  for (auto& w : workers) w.join();
  *handedOver = items / Seconds(Clock::now() - start);
  double cpuTotal = 0;
  for (double c : cpu) cpuTotal += c;
  *cpuPerItem = cpuTotal / items * 1e6;
  ComPtr<ITAVDiagnosticLogItemEx> last = TypicalItem(log, -1);
  const HRESULT hr = log->LogThisItemEx(last.get(), VARIANT_TRUE, 60000);
  const double elapsed = Seconds(Clock::now() - start);
  const long stored = StoredCount(host) - before;
  *processorTimes = ProcessorTimesLine(timesBefore, ReadProcessorTimes(host), stored);
  if (hr != S_OK || stored != items / threads * threads + 1)
    std::printf("  (warning: result 0x%08lx, %ld of %d items stored)\n", hr, stored, items / threads * threads + 1);
  return stored / elapsed;
}

// Four processes of this program log `items` each at once; items per second
// of all four, counted in the store. *processorTimes: as for one process.
double FourProcessItemsPerSecond(hv::test::HostProcess& host, int items, std::string* processorTimes) {
  hv::unique_handle ready(CreateSemaphoreW(nullptr, 0, kClientProcesses, kReadyName));
  hv::unique_handle go(CreateEventW(nullptr, TRUE, FALSE, kGoName));
  hv::unique_handle done(CreateSemaphoreW(nullptr, 0, kClientProcesses, kDoneName));
  hv::unique_handle leave(CreateEventW(nullptr, TRUE, FALSE, kLeaveName));
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::vector<hv::unique_handle> processes;
  for (int p = 0; p < kClientProcesses; ++p) {
    // This process's id tells its logging processes from another run's.
    std::wstring line = L"\"" + std::wstring(self) + L"\" client " + std::to_wstring(items) + L" " +
                        std::to_wstring(GetCurrentProcessId());
    STARTUPINFOW startup = {sizeof(startup)};
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(self, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
      return 0;
    CloseHandle(process.hThread);
    processes.emplace_back(process.hProcess);
  }
  // Connected and warm, all four start together.
  for (int p = 0; p < kClientProcesses; ++p) WaitForSingleObject(ready.get(), 60000);
  const ProcessorTimes timesBefore = ReadProcessorTimes(host);
  const long before = StoredCount(host);
  const auto start = Clock::now();
  SetEvent(go.get());
  // Timed to the last answer, as the runs in one process are: a process's
  // own exit is no part of delivery.
  for (int p = 0; p < kClientProcesses; ++p) WaitForSingleObject(done.get(), 120000);
  const double elapsed = Seconds(Clock::now() - start);
  // Read while their connections and their threads in the host still exist.
  const ProcessorTimes timesAfter = ReadProcessorTimes(host);
  SetEvent(leave.get());
  bool allOk = true;
  for (auto& process : processes) {
    WaitForSingleObject(process.get(), INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.get(), &code);
    allOk = allOk && code == 0;
  }
  const long stored = StoredCount(host) - before;
  *processorTimes = ProcessorTimesLine(timesBefore, timesAfter, stored);
  if (!allOk || stored != kClientProcesses * (items + 1))
    std::printf("  (warning: %ld of %d items stored)\n", stored, kClientProcesses * (items + 1));
  return stored / elapsed;
}

int RunClient(int items) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  int status = 1;
  {
    ComPtr<ITAVDiagnosticLogMgrEx> mgr;
    ComPtr<ITAVDiagnosticLog> plainLog;
    ComPtr<ITAVDiagnosticLogEx> log;
    hv::unique_handle ready(OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, kReadyName));
    hv::unique_handle go(OpenEventW(SYNCHRONIZE, FALSE, kGoName));
    hv::unique_handle done(OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, kDoneName));
    hv::unique_handle leave(OpenEventW(SYNCHRONIZE, FALSE, kLeaveName));
    if (ready && go && done && leave && SUCCEEDED(hv::test::CreateManager(mgr.put())) &&
        SUCCEEDED(mgr->CreateTAVDiagnosticLog(hv::unique_bstr(SysAllocString(L"Line 3")).get(),
                                              hv::unique_bstr(SysAllocString(L"Pump")).get(), plainLog.put())) &&
        SUCCEEDED(plainLog.query(&log))) {
      ComPtr<ITAVDiagnosticLogItemEx> warm = TypicalItem(log.get(), 0);
      const HRESULT warmed = log->LogThisItemEx(warm.get(), VARIANT_TRUE, 10000);
      ReleaseSemaphore(ready.get(), 1, nullptr);
      WaitForSingleObject(go.get(), 60000);
      if (warmed == S_OK && LogBurst(log.get(), items, 1) == S_OK) status = 0;
      ReleaseSemaphore(done.get(), 1, nullptr);
      WaitForSingleObject(leave.get(), 60000);
    }
  }
  CoUninitialize();
  return status;
}

// The store's insert ceiling for rows of these item bytes, from the native
// bench program beside tarnhost, in a store that already holds `already` rows
// as the host's does when a run starts: the median of three runs, as one run
// of a fraction of a second moves with the disk's syncs. 0 when it cannot be
// run.
double StoreCeiling(const std::vector<uint8_t>& bytes, int rows, long already) {
  const char* tarnhost = std::getenv("HV_TARNHOST");
  const char* tmp = std::getenv("TMPDIR");
  if (!tarnhost || !tmp) return 0;
  std::string program = tarnhost;
  program = program.substr(0, program.rfind('/') + 1) + "bench_store_insert";
  const std::string folder = std::string(tmp) + "/bench-store-" + std::to_string(GetCurrentProcessId());
  const std::string item = folder + ".item";
  std::ofstream(hv::test::WindowsPathOf(item).c_str(), std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  std::vector<double> runs;
  for (int run = 0; run < 3; ++run) {
    hv::test::RunUnixCommand(Quoted(program) + " " + Quoted(item) + " " + Quoted(folder + ".db") + " " +
                                 std::to_string(rows) + " " + std::to_string(already) + " > " +
                                 Quoted(folder + ".out") + " 2>&1",
                             300000);
    const std::string out = hv::test::ReadTextFile(folder + ".out");
    const size_t at = out.find("rows-per-second ");
    runs.push_back(at == std::string::npos ? 0 : std::atof(out.c_str() + at + 16));
  }
  hv::test::RunUnixCommand("rm -f " + Quoted(folder) + ".*");
  std::sort(runs.begin(), runs.end());
  return runs[1];
}

// The ceiling for the run about to start, printed as its baseline.
double CeilingBeforeRun(const std::vector<uint8_t>& bytes, int rows, const hv::test::HostProcess& host) {
  const long already = StoredCount(host);
  const double ceiling = StoreCeiling(bytes, rows, already);
  std::printf("  baseline: the store's native insert ceiling    %10.0f rows/s  (into a store of %ld, median of 3)\n",
              ceiling, already);
  return ceiling;
}

// The same item bytes, written with one send per item to a loopback sink.
double RawSendsPerSecond(const std::vector<uint8_t>& bytes, int items) {
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

// Reads one whole frame from a blocking socket into `frame`.
bool ReceiveFrame(SOCKET socket, std::vector<uint8_t>* frame) {
  frame->assign(4, 0);
  size_t have = 0;
  size_t want = 4;
  while (have < want) {
    const int n = recv(socket, reinterpret_cast<char*>(frame->data() + have), static_cast<int>(want - have), 0);
    if (n <= 0) return false;
    have += static_cast<size_t>(n);
    if (have == 4 && want == 4) {
      uint32_t length = 0;
      hv::ByteReader(frame->data(), 4).u32(&length);
      want = 4 + length;
      frame->resize(want);
    }
  }
  return true;
}

// Synchronous round trips of the same "2" message as the library sends,
// written and read on a plain blocking socket: the service's own commit and
// answer, without the library, its Mux component and their threads. The
// microseconds of each round trip go to `rounds`.
bool RawPingPong(unsigned short port, const std::vector<uint8_t>& bytes, int count, std::vector<double>* rounds) {
  SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  BOOL noDelay = TRUE;
  setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof(noDelay));
  bool ok = connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  std::vector<uint8_t> frame;
  hv::wire::AppendHelloFrame(&frame, 1);
  ok = ok && send(socket, reinterpret_cast<const char*>(frame.data()), static_cast<int>(frame.size()), 0) > 0 &&
       ReceiveFrame(socket, &frame);
  for (int i = 0; ok && i < count; ++i) {
    const std::string transid = std::to_string(i + 1);
    hv::MuxMessageView message;
    message.fields = {{"MSGTYPE", "2"}, {"transid", transid}};
    message.body = bytes.data();
    message.bodySize = bytes.size();
    frame.clear();
    hv::wire::AppendMessageFrame(&frame, hv::wire::FrameKind::Post, static_cast<uint32_t>(i + 2), message);
    const auto start = Clock::now();
    ok = send(socket, reinterpret_cast<const char*>(frame.data()), static_cast<int>(frame.size()), 0) > 0 &&
         ReceiveFrame(socket, &frame);
    rounds->push_back(Seconds(Clock::now() - start) * 1e6);
  }
  closesocket(socket);
  std::sort(rounds->begin(), rounds->end());
  return ok;
}

double Percentile(const std::vector<double>& sorted, int percent) {
  return sorted.empty() ? 0 : sorted[sorted.size() * percent / 100];
}

// One asynchronous run and the ceiling measured right before it.
struct AsyncRun {
  double rate = 0;
  double ceiling = 0;
  double handedOver = 0;
  double cpuPerItem = 0;
  std::string times;
  std::string ratios;  // of every run, for the median's line
  double ratio() const { return ceiling ? rate / ceiling : 0; }
};

// Three runs, each after its ceiling; the one with the median ratio.
// runOnce(&run) fills in the rate and what else it measures.
template <typename RunOnce>
AsyncRun MedianRun(const std::vector<uint8_t>& bytes, int items, const hv::test::HostProcess& host, RunOnce runOnce) {
  std::vector<AsyncRun> runs(3);
  for (AsyncRun& run : runs) {
    run.ceiling = CeilingBeforeRun(bytes, items, host);
    runOnce(&run);
  }
  std::string ratios;
  for (const AsyncRun& run : runs) {
    char ratio[16];
    std::snprintf(ratio, sizeof ratio, "%s%.2f", ratios.empty() ? "" : ", ", run.ratio());
    ratios += ratio;
  }
  std::sort(runs.begin(), runs.end(), [](const AsyncRun& a, const AsyncRun& b) { return a.ratio() < b.ratio(); });
  runs[1].ratios = ratios;
  return runs[1];
}

void PrintStored(const char* what, const AsyncRun& run) {
  std::printf("  %s%10.0f items/s  (%.2f x store ceiling; median of %s)\n", what, run.rate, run.ratio(),
              run.ratios.c_str());
  std::printf("%s", run.times.c_str());
}

int RunAll(int items) {
  int status = 0;
  hv::test::HostProcess host("bench-delivery");
  ComPtr<ITAVDiagnosticLogMgrEx> mgr;
  ComPtr<ITAVDiagnosticLogEx> log;
  if (!hv::bench::StartHostAndLog(host, &mgr, &log)) return 1;
  // Warm the connection; the warm item, as it went out, gives the bytes of
  // the baselines.
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
  // One run lasts a fraction of a second and moves with the disk's syncs as
  // much as the ceiling does, so each figure is the median of three runs,
  // each against the ceiling measured right before it; all three are shown.
  const AsyncRun one = MedianRun(bytes, items, host, [&](AsyncRun* run) {
    run->rate = AsyncItemsPerSecond(log.get(), host, items, 1, &run->handedOver, &run->cpuPerItem, &run->times);
  });
  std::printf("  asynchronous, 1 thread, handed over            %10.0f items/s  (%.2f x one send per item)\n",
              one.handedOver, one.handedOver / raw);
  std::printf("    processor time of the logging thread          %7.1f us per item (%.0f items per CPU second)\n",
              one.cpuPerItem, 1e6 / one.cpuPerItem);
  PrintStored("asynchronous, 1 thread, stored and committed   ", one);
  PrintStored("asynchronous, 2 threads, stored and committed  ", MedianRun(bytes, items, host, [&](AsyncRun* run) {
                run->rate = AsyncItemsPerSecond(log.get(), host, items, 2, &run->handedOver, &run->cpuPerItem,
                                                &run->times);
              }));
  PrintStored("asynchronous, 4 processes, stored and committed", MedianRun(bytes, items, host, [&](AsyncRun* run) {
                run->rate = FourProcessItemsPerSecond(host, items / kClientProcesses, &run->times);
              }));

  constexpr int kRounds = 1000;
  std::vector<double> raws;
  if (!RawPingPong(host.port(), bytes, kRounds, &raws)) status = 1;
  std::vector<double> rounds;
  const long before = StoredCount(host);
  for (int i = 0; i < kRounds; ++i) {
    ComPtr<ITAVDiagnosticLogItemEx> item = TypicalItem(log.get(), i);
    const auto start = Clock::now();
    if (log->LogThisItemEx(item.get(), VARIANT_TRUE, 10000) != S_OK) status = 1;
    rounds.push_back(Seconds(Clock::now() - start) * 1e6);
  }
  std::sort(rounds.begin(), rounds.end());
  const long stored = StoredCount(host) - before;
  std::printf("  baseline: raw ping-pong of the same frame      p50 %7.0f us  p99 %7.0f us\n", Percentile(raws, 50),
              Percentile(raws, 99));
  std::printf("  synchronous round trip (stored and committed)  p50 %7.0f us  p99 %7.0f us  (%.2f x, %.2f x)\n",
              Percentile(rounds, 50), Percentile(rounds, 99), Percentile(rounds, 50) / Percentile(raws, 50),
              Percentile(rounds, 99) / Percentile(raws, 99));
  if (stored != kRounds) std::printf("  (warning: %ld of %d synchronous items stored)\n", stored, kRounds);
  return status;
}

int RunBurst(int items, bool synchronous) {
  hv::test::HostProcess host("bench-burst");
  ComPtr<ITAVDiagnosticLogMgrEx> mgr;
  ComPtr<ITAVDiagnosticLogEx> log;
  if (!hv::bench::StartHostAndLog(host, &mgr, &log)) return 1;
  ComPtr<ITAVDiagnosticLogItemEx> warm = TypicalItem(log.get(), 0);
  log->LogThisItemEx(warm.get(), VARIANT_TRUE, 10000);
  const long before = StoredCount(host);
  const HRESULT hr = LogBurst(log.get(), items, 1, synchronous);
  std::printf("stored %ld of %d (0x%08lx)\n", StoredCount(host) - before, items + 1, hr);
  return hr == S_OK ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const bool client = argc > 2 && std::strcmp(argv[1], "client") == 0;
  const bool synchronous = argc > 2 && std::strcmp(argv[1], "sync") == 0;
  const bool burst = synchronous || (argc > 2 && std::strcmp(argv[1], "burst") == 0);
  const char* count = client || burst ? argv[2] : argc > 1 ? argv[1] : nullptr;
  const int items = count && std::atoi(count) > 0 ? std::atoi(count) : 20000;
  if (client) return RunClient(items);
  if (!hv::test::HostProcess::Available()) {
    std::printf("tarnhost not found: set HV_TARNHOST\n");
    return 2;
  }
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  const int status = burst ? RunBurst(items, synchronous) : RunAll(items);
  CoUninitialize();
  return status;
}
