// What the benchmark programs share: the clock and the item they log.
#pragma once
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <string>

#include "TAVDiagnostics.h"
#include "common/ComPtr.h"
#include "common/Unique.h"
#include "support/HostProcess.h"
#include "support/TestSupport.h"

namespace hv::bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A warning of the size plants log most: a sentence with a running number.
inline ComPtr<ITAVDiagnosticLogItemEx> TypicalItem(ITAVDiagnosticLogEx* log, int n) {
  VARIANT message;
  message.vt = VT_BSTR;
  message.bstrVal = SysAllocString((L"Pump P-101 pressure above the limit of the current recipe step, reading " +
                                    std::to_wstring(n) + L" of the shift")
                                       .c_str());
  ComPtr<ITAVDiagnosticLogItemEx> item;
  log->BuildItemEx(nullptr, nullptr, TAVDiagSeverity_Warning, TAVDiagAudience_Op, 1, message, nullptr, nullptr,
                   nullptr, item.put());
  VariantClear(&message);
  return item;
}

// Starts the host and opens the log "Line 3" of provider "Pump" on a new
// manager; says what went wrong and returns false otherwise.
inline bool StartHostAndLog(hv::test::HostProcess& host, ComPtr<ITAVDiagnosticLogMgrEx>* mgr,
                            ComPtr<ITAVDiagnosticLogEx>* log) {
  if (!host.Start()) {
    std::printf("tarnhost did not start\n%s", host.Log().c_str());
    return false;
  }
  ComPtr<ITAVDiagnosticLog> plainLog;
  if (FAILED(hv::test::CreateManager(mgr->put())) ||
      FAILED((*mgr)->CreateTAVDiagnosticLog(unique_bstr(SysAllocString(L"Line 3")).get(),
                                            unique_bstr(SysAllocString(L"Pump")).get(), plainLog.put())) ||
      FAILED(plainLog.query(log))) {
    std::printf("cannot create the manager and log\n");
    return false;
  }
  return true;
}

inline long StoredCount(const hv::test::HostProcess& host) {
  return std::atol(host.Query("select count(*) from messages").c_str());
}

// Grows the store to `target` messages by copying its rows inside the
// database, doubling each round: logging a million through the library would
// take the bench most of its time.
inline bool Fill(hv::test::HostProcess& host, long target) {
  const char* columns = "time, time_text, severity, audience, verbosity, location, provider, user_name, message_id, "
                        "message_text, item";
  for (long count = StoredCount(host); count < target; count = StoredCount(host)) {
    const long copy = std::min(count, target - count);
    const std::string sql = std::string("insert into messages (") + columns + ") select " + columns +
                            " from messages order by id limit " + std::to_string(copy);
    if (!hv::test::RunUnixCommand("sqlite3 -cmd '.timeout 10000' '" + host.database() + "' '" + sql + "'", 600000))
      return false;
  }
  return true;
}

// Starts the host, logs 1000 typical items through the library and copies
// them inside the store until it holds `items`; says what went wrong and
// returns false otherwise.
inline bool StartHostWithStore(hv::test::HostProcess& host, long items, ComPtr<ITAVDiagnosticLogMgrEx>* mgr) {
  constexpr int kLogged = 1000;
  ComPtr<ITAVDiagnosticLogEx> log;
  if (!StartHostAndLog(host, mgr, &log)) return false;
  for (int i = 0; i < kLogged; ++i) {
    ComPtr<ITAVDiagnosticLogItemEx> item = TypicalItem(log.get(), i);
    log->LogThisItemEx(item.get(), i + 1 == kLogged ? VARIANT_TRUE : VARIANT_FALSE, 60000);
  }
  if (!Fill(host, items)) {
    std::printf("could not fill the store\n");
    return false;
  }
  return true;
}

}  // namespace hv::bench
