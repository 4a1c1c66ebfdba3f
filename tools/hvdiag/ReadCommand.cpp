// hvdiag read: stored messages through the store's reader, newest first by
// default, as aligned columns or as JSON lines.
#include <algorithm>

#include "common/Result.h"
#include "common/Unique.h"
#include "tools/hvdiag/Commands.h"
#include "tools/hvdiag/Console.h"
#include "tools/hvdiag/ItemView.h"
#include "tools/hvdiag/ResultCodes.h"
#include "tools/hvdiag/Values.h"

namespace hv::diag {
namespace {

const wchar_t kHelp[] =
    L"Usage: hvdiag read [OPTIONS]\n"
    L"\n"
    L"Reads stored messages, newest first, and prints them as aligned columns (time in UTC,\n"
    L"severity, audience, verbosity, location, provider, user, message; extended parameters\n"
    L"and child items indented below) or as JSON lines.\n"
    L"\n"
    L"  --count N        at most N messages (default 100)\n"
    L"  --oldest-first   from the oldest message on\n"
    L"  --json           one JSON object per message and line\n"
    L"  --lang LANG      the language of formatted messages: en, de, ... or a locale id\n"
    L"\n";

// Elements asked for per call: one round trip to the service per page.
constexpr ULONG kPage = 64;

}  // namespace

int RunRead(const Words& words) {
  Arguments args(words);
  std::vector<OptionSpec> specs = {
      {L"count", true}, {L"oldest-first", false}, {L"json", false}, {L"lang", true}};
  AddFilterOptions(&specs);
  int exit = 0;
  if (ParseOrExit(L"read", (std::wstring(kHelp) + kFilterHelp).c_str(), specs, &args, &exit)) return exit;
  if (!args.Operands().empty()) return ReportUsage(L"read", L"unexpected argument \"" + args.Operands()[0] + L"\"");
  std::wstring filter;
  if (!BuildFilter(L"read", args, true, &filter)) return kExitUsage;
  long count = 100;
  if (args.Has(L"count")) ParseLong(args.Value(L"count"), &count);
  LCID lcid = 0;
  if (!ApplyLanguage(L"read", args, &lcid)) return kExitUsage;

  ComPtr<ITAVDiagnosticLogMgrEx> manager;
  if (FAILED(CreateManager(L"read", &manager))) return kExitFailed;
  unique_bstr source(SysAllocString(args.Value(L"source").c_str())), filterText(SysAllocString(filter.c_str()));
  ComPtr<IEnumUnknown> messages;
  ClearErrorInfo();
  HRESULT hr = manager->ReadMessages(lcid, source.get(), filterText.get(), messages.put());
  if (FAILED(hr)) return ReportFailure(L"read", L"ReadMessages", hr);
  if (!messages) return ReportFailure(L"read", L"ReadMessages (no reader came back)", E_POINTER);
  if (args.Has(L"oldest-first")) {
    ComPtr<ITAVDiagnosticReader> reader;
    if (FAILED(hr = messages.query(&reader))) return ReportFailure(L"read", L"asking for ITAVDiagnosticReader", hr);
    ClearErrorInfo();
    if (FAILED(hr = reader->SetDirection(TAVDiagnosticDirection_Forward)))
      return ReportFailure(L"read", L"SetDirection", hr);
    if (FAILED(hr = reader->SetPosition(TAVDiagnosticPosition_Start, 0)))
      return ReportFailure(L"read", L"SetPosition", hr);
  }

  const bool json = args.Has(L"json");
  ItemTable table;
  long shown = 0;
  while (shown < count) {
    IUnknown* elements[kPage] = {};
    ULONG fetched = 0;
    const ULONG wanted = static_cast<ULONG>(std::min<long>(kPage, count - shown));
    ClearErrorInfo();
    hr = messages->Next(wanted, elements, &fetched);
    if (FAILED(hr)) return ReportFailure(L"read", L"reading the next messages", hr);
    for (ULONG i = 0; i < fetched; ++i) {
      ComPtr<IUnknown> element = ComPtr<IUnknown>::attach(elements[i]);
      ItemView view;
      if (FAILED(ReadItemView(element.get(), &view))) continue;
      ++shown;
      if (json) Console::Out(ItemJson(view) + L"\n");
      else table.Add(view);
    }
    if (hr == S_FALSE || fetched < wanted) break;
  }
  if (!json) Console::Out(table.empty() ? std::wstring(L"No messages.\n") : table.Text());
  return 0;
}

}  // namespace hv::diag
