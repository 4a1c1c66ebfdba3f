// hvdiag follow: a subscription to the store, printing each new message as
// it arrives until Ctrl-C (or the time or count given).
#include <atomic>
#include <memory>

#include "common/Unique.h"
#include "tools/hvdiag/Commands.h"
#include "tools/hvdiag/Console.h"
#include "tools/hvdiag/ItemView.h"
#include "tools/hvdiag/MessageSink.h"
#include "tools/hvdiag/ResultCodes.h"
#include "tools/hvdiag/Values.h"

namespace hv::diag {
namespace {

const wchar_t kHelp[] =
    L"Usage: hvdiag follow [OPTIONS]\n"
    L"\n"
    L"Prints every message stored from now on that the filter selects, as it arrives, until\n"
    L"Ctrl-C. A line on standard error says when the subscription is in place.\n"
    L"\n"
    L"  --json           one JSON object per message and line\n"
    L"  --lang LANG      the language of formatted messages: en, de, ... or a locale id\n"
    L"  --for SECONDS    stop after SECONDS\n"
    L"  --max N          stop after N messages\n"
    L"  --buffer MS      gather messages for up to MS milliseconds before printing (default 100)\n"
    L"\n";

HANDLE g_stop = nullptr;

// Shared with the sink, which the Mux component may still hold for a moment
// after the subscription ended.
struct FollowState {
  LCID lcid = 0;
  long most = -1;
  bool json = false;
  std::atomic<long> shown{0};
  unique_handle stop;
};

BOOL WINAPI OnConsoleControl(DWORD) {
  if (g_stop) SetEvent(g_stop);
  return TRUE;
}

}  // namespace

int RunFollow(const Words& words) {
  Arguments args(words);
  std::vector<OptionSpec> specs = {
      {L"json", false}, {L"lang", true}, {L"for", true}, {L"max", true}, {L"buffer", true}};
  AddFilterOptions(&specs);
  int exit = 0;
  if (ParseOrExit(L"follow", (std::wstring(kHelp) + kFilterHelp).c_str(), specs, &args, &exit)) return exit;
  if (!args.Operands().empty()) return ReportUsage(L"follow", L"unexpected argument \"" + args.Operands()[0] + L"\"");
  long seconds = -1, most = -1, buffer = 100;
  if (args.Has(L"for") && (!ParseLong(args.Value(L"for"), &seconds) || seconds < 0))
    return ReportUsage(L"follow", L"--for takes whole seconds, not \"" + args.Value(L"for") + L"\"");
  if (args.Has(L"max") && (!ParseLong(args.Value(L"max"), &most) || most < 1))
    return ReportUsage(L"follow", L"--max takes a number of at least 1, not \"" + args.Value(L"max") + L"\"");
  if (args.Has(L"buffer") && (!ParseLong(args.Value(L"buffer"), &buffer) || buffer < 0))
    return ReportUsage(L"follow", L"--buffer takes milliseconds, not \"" + args.Value(L"buffer") + L"\"");
  std::wstring filter;
  if (!BuildFilter(L"follow", args, false, &filter)) return kExitUsage;
  LCID lcid = 0;
  if (!ApplyLanguage(L"follow", args, &lcid)) return kExitUsage;

  auto state = std::make_shared<FollowState>();
  state->lcid = lcid;
  state->most = most;
  state->json = args.Has(L"json");
  state->stop.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!state->stop) return ReportFailure(L"follow", L"CreateEvent", HRESULT_FROM_WIN32(GetLastError()));
  g_stop = state->stop.get();
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);

  ComPtr<ITAVDiagnosticLogMgrEx> manager;
  if (FAILED(CreateManager(L"follow", &manager))) return kExitFailed;
  unique_bstr source(SysAllocString(args.Value(L"source").c_str())), filterText(SysAllocString(filter.c_str()));
  ComPtr<IConnectionPointContainer> subscription;
  ClearErrorInfo();
  HRESULT hr = manager->CreateMessageSubscription(lcid, source.get(), filterText.get(), buffer, 256,
                                                  subscription.put());
  if (FAILED(hr)) return ReportFailure(L"follow", L"CreateMessageSubscription", hr);
  if (!subscription) return ReportFailure(L"follow", L"CreateMessageSubscription (no subscription came back)", E_POINTER);
  ComPtr<IConnectionPoint> point;
  if (FAILED(hr = subscription->FindConnectionPoint(DIID__ITAVDiagnosticMessageSubscriptionEvents, point.put())))
    return ReportFailure(L"follow", L"FindConnectionPoint", hr);

  ComPtr<MessageSink> sink = ComPtr<MessageSink>::attach(MessageSink::Create([state](IUnknown* element) {
    // Notifications come on the Mux component's threads: they format in the
    // chosen language too.
    SetThreadLocale(state->lcid);
    if (state->most >= 0 && state->shown.load() >= state->most) return;
    ItemView view;
    if (FAILED(ReadItemView(element, &view))) return;
    Console::Out(state->json ? ItemJson(view) + L"\n" : ItemTable::Line(view));
    if (++state->shown == state->most) SetEvent(state->stop.get());
  }));
  if (!sink) return ReportFailure(L"follow", L"creating the event sink", E_OUTOFMEMORY);
  DWORD cookie = 0;
  if (FAILED(hr = point->Advise(sink.get(), &cookie))) return ReportFailure(L"follow", L"Advise", hr);
  Console::Err(L"hvdiag follow: following new messages" +
               std::wstring(seconds >= 0 ? L" for " + std::to_wstring(seconds) + L" s" : L" (Ctrl-C to stop)") +
               L"\n");

  WaitForSingleObject(state->stop.get(), seconds >= 0 ? static_cast<DWORD>(seconds) * 1000 : INFINITE);
  point->Unadvise(cookie);
  point.reset();
  subscription.reset();
  SetConsoleCtrlHandler(OnConsoleControl, FALSE);
  g_stop = nullptr;
  Console::Err(L"hvdiag follow: " + std::to_wstring(state->shown.load()) + L" messages\n");
  return 0;
}

}  // namespace hv::diag
