// Reading stored messages back: items per second through ReadMessages'
// enumerator and through PersistMessages, beside the sqlite3 shell reading the
// same rows straight from the database file in the same run.
//
// Run (from the build tree, with the libraries registered in the prefix):
//   HV_TARNHOST=.../native/tarnhost wine64 bin/bench_read.exe [items] [rounds]
// The store is filled by logging 1000 items through the library and copying
// their rows inside the database until it holds the number asked for.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "support/HostProcess.h"
#include "support/TestSupport.h"

namespace {

using hv::ComPtr;
using hv::bench::Clock;
using hv::bench::Seconds;


// The sqlite3 shell's own time for reading every row's item stream, newest first.
double SqliteSeconds(hv::test::HostProcess& host) {
  const std::string out = host.database() + ".sqlite-ns";
  const std::string command = "s=$(date +%s%N); sqlite3 '" + host.database() +
                              "' 'select id, item from messages order by id desc' > /dev/null; e=$(date +%s%N); "
                              "echo $((e - s)) > '" + out + "'";
  if (!hv::test::RunUnixCommand(command, 120000)) return -1;
  return std::atof(hv::test::ReadTextFile(out).c_str()) / 1e9;
}

// Every item through the enumerator, `batch` at a time; returns the count.
long Enumerate(ITAVDiagnosticLogMgrEx* mgr, ULONG batch) {
  ComPtr<IEnumUnknown> items;
  if (FAILED(mgr->ReadMessages(0x0409, nullptr, hv::unique_bstr(SysAllocString(L"<Filter/>")).get(), items.put())))
    return -1;
  std::vector<IUnknown*> elements(batch);
  long count = 0;
  for (;;) {
    ULONG fetched = 0;
    const HRESULT hr = items->Next(batch, elements.data(), &fetched);
    for (ULONG i = 0; i < fetched; ++i) elements[i]->Release();
    count += static_cast<long>(fetched);
    if (hr != S_OK) break;
  }
  return count;
}

// The item lines of an export file (the bench's items have no children).
long ItemsIn(const std::string& path) {
  const std::string bytes = hv::test::ReadTextFile(path);
  const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
  long count = 0;
  for (size_t at = text.find(L"\n\t<Item "); at != std::wstring::npos; at = text.find(L"\n\t<Item ", at + 1)) ++count;
  return count;
}

double ExportSeconds(ITAVDiagnosticLogMgrEx* mgr, hv::test::HostProcess& host, const wchar_t* filter,
                     const char* name, long* count) {
  const std::string path = host.database() + "." + name + ".xml";
  const std::wstring file = hv::test::WindowsPathOf(path);
  *count = -1;
  const auto start = Clock::now();
  const HRESULT hr = mgr->PersistMessages(0x0409, nullptr, filter ? hv::unique_bstr(SysAllocString(filter)).get() : nullptr,
                                          TAVDiagnosticFileFormat_XML, hv::unique_bstr(SysAllocString(file.c_str())).get());
  const double seconds = Seconds(Clock::now() - start);
  if (hr != S_OK) return -1;
  *count = ItemsIn(path);
  // A file of the same name next round is a new one, not one cut back.
  DeleteFileW(file.c_str());
  return seconds;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  const long items = argc > 1 ? std::atol(argv[1]) : 100000;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  if (!hv::test::HostProcess::Available()) {
    std::printf("tarnhost not found: set HV_TARNHOST\n");
    return 2;
  }
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  int status = 0;
  {
    hv::test::HostProcess host("bench-read");
    ComPtr<ITAVDiagnosticLogMgrEx> mgr;
    if (!hv::bench::StartHostWithStore(host, items, &mgr)) return 1;
    const long stored = hv::bench::StoredCount(host);
    std::printf("Reading %ld stored items of %ld bytes each\n", stored,
                std::atol(host.Query("select length(item) from messages limit 1").c_str()));

    // The machine is shared: every round measures the baseline, the reads and
    // the exports back to back, and the summary takes the median of each
    // round's ratios, so that no ratio compares runs far apart in time.
    std::vector<double> shellRatios, localRatios, adaptorRatios;
    for (int round = 1; round <= rounds; ++round) {
      std::printf(" round %d of %d\n", round, rounds);
      const double sqlite = SqliteSeconds(host);
      std::printf("  baseline: sqlite3 shell, every item stream, newest first  %10.0f items/s\n", stored / sqlite);
      double reading = 0;  // ReadMessages with Next(100), which an export is compared with
      auto report = [&](const char* what, double seconds, long count) -> double {
        if (seconds <= 0 || count != stored) {
          std::printf("  %-56s failed (%ld of %ld items)\n", what, count, stored);
          status = 1;
          return 0;
        }
        std::printf("  %-56s %10.0f items/s  (%.2f x baseline", what, count / seconds,
                    (count / seconds) / (stored / sqlite));
        if (reading > 0) std::printf(", %.2f x ReadMessages", (count / seconds) / reading);
        std::printf(")\n");
        return count / seconds;
      };
      for (ULONG batch : {1ul, 100ul}) {
        const auto start = Clock::now();
        const long count = Enumerate(mgr.get(), batch);
        const double seconds = Seconds(Clock::now() - start);
        const std::string what = "ReadMessages, Next(" + std::to_string(batch) + "), newest first";
        const double rate = report(what.c_str(), seconds, count);
        if (batch == 100) reading = rate;
      }
      long exported = 0;
      double seconds = ExportSeconds(mgr.get(), host, nullptr, "local", &exported);
      const double local = report("PersistMessages, local reader (no filter)", seconds, exported);
      seconds = ExportSeconds(mgr.get(), host, L"<Filter/>", "adaptor", &exported);
      const double adaptor = report("PersistMessages, through the adaptor (<Filter/>)", seconds, exported);
      if (sqlite > 0 && reading > 0) {
        shellRatios.push_back(reading / (stored / sqlite));
        localRatios.push_back(local / reading);
        adaptorRatios.push_back(adaptor / reading);
      }
    }
    if (!shellRatios.empty())
      std::printf("median of %zu rounds: Next(100) %.2f x sqlite3 shell; PersistMessages %.2f x (local reader), "
                  "%.2f x (adaptor) ReadMessages\n",
                  shellRatios.size(), Median(shellRatios), Median(localRatios), Median(adaptorRatios));
  }
  CoUninitialize();
  return status;
}
