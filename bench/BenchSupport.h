// What the benchmark programs share: the clock and the item they log.
#pragma once
#include <windows.h>

#include <chrono>
#include <string>

#include "TAVDiagnostics.h"
#include "common/ComPtr.h"

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

}  // namespace hv::bench
