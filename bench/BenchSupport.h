// What the benchmark programs share: the clock and the item they log.
#pragma once
#include <windows.h>

#include <chrono>
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

}  // namespace hv::bench
