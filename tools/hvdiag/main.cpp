// hvdiag: everything a person does with Halvern Diagnostics, one command
// each. A client of the library like any other: it creates the log manager
// through COM and uses only the public interfaces.
#include <windows.h>
#include <objbase.h>

#include "tools/hvdiag/Commands.h"
#include "tools/hvdiag/Console.h"
#include "tools/hvdiag/ResultCodes.h"
#include "tools/hvdiag/Values.h"

namespace hv::diag {
namespace {

const wchar_t kUsage[] =
    L"Usage: hvdiag COMMAND [OPTIONS] [ARGUMENTS]\n"
    L"\n"
    L"Commands:\n";

const wchar_t kUsageEnd[] =
    L"\n"
    L"\"hvdiag COMMAND --help\" describes a command, \"hvdiag --version\" prints the version.\n"
    L"Exit codes: 0 done, 1 an operation failed, 2 a wrong command line, 3 an export holds\n"
    L"characters XML cannot carry. Failures print the result code, its name and the reason.\n";

std::wstring Usage() {
  std::wstring text = kUsage;
  for (const Command& command : Commands()) {
    std::wstring name = command.name;
    text += L"  " + name + std::wstring(name.size() < 10 ? 10 - name.size() : 1, L' ') + command.summary + L"\n";
  }
  return text + kUsageEnd;
}

}  // namespace

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {L"log", L"log one message and print the result", RunLog},
      {L"read", L"read stored messages, newest first, as columns or JSON lines", RunRead},
      {L"follow", L"print new messages as they are stored, until Ctrl-C", RunFollow},
      {L"export", L"save stored messages to an XML file", RunExport},
      {L"adaptors", L"list the adaptors and the categories each accepts", RunAdaptors},
      {L"flags", L"set the severities an adaptor accepts for one audience", RunFlags},
      {L"groups", L"list the display field groups", RunGroups},
      {L"group", L"print the definition of one field group", RunGroup},
      {L"serve", L"serve the message viewer to a browser, until Ctrl-C", RunServe},
  };
  return commands;
}

HRESULT CreateManager(const std::wstring& command, ComPtr<ITAVDiagnosticLogMgrEx>* manager) {
  const HRESULT hr = CoCreateInstance(CLSID_TAVDiagnosticLogMgr, nullptr, CLSCTX_ALL, IID_ITAVDiagnosticLogMgrEx,
                                      manager->put_void());
  if (FAILED(hr)) ReportFailure(command, L"creating the log manager (is TAVDiagnostics.dll registered?)", hr);
  return hr;
}

bool ApplyLanguage(const std::wstring& command, const Arguments& args, LCID* lcid) {
  *lcid = GetUserDefaultLCID();
  if (args.Has(L"lang") && !ParseLanguage(args.Value(L"lang"), lcid)) {
    ReportUsage(command, L"unknown language \"" + args.Value(L"lang") + L"\" (en, de, fr, ... or a locale id such as 0x0407)");
    return false;
  }
  SetThreadLocale(*lcid);
  return true;
}

bool ParseOrExit(const std::wstring& command, const wchar_t* help, const std::vector<OptionSpec>& specs,
                 Arguments* args, int* exit) {
  std::wstring error;
  if (!args->Parse(specs, &error)) {
    *exit = ReportUsage(command, error);
    return true;
  }
  if (args->Help()) {
    Console::Out(help);
    *exit = 0;
    return true;
  }
  return false;
}

}  // namespace hv::diag

int wmain(int argc, wchar_t** argv) {
  using namespace hv::diag;
  if (argc < 2) {
    Console::Err(Usage());
    return kExitUsage;
  }
  const std::wstring name = argv[1];
  if (name == L"--help" || name == L"-h" || name == L"help" || name == L"-?") {
    if (name == L"help" && argc > 2) {
      const wchar_t* words[] = {L"--help"};
      for (const Command& command : Commands())
        if (argv[2] == std::wstring(command.name)) return command.run(Words(words, words + 1));
    }
    Console::Out(Usage());
    return 0;
  }
  if (name == L"--version") {
    Console::Out(std::wstring(L"hvdiag ") + HV_VERSION_TEXT + L"\n");
    return 0;
  }
  for (const Command& command : Commands()) {
    if (name != command.name) continue;
    // Multi-threaded, so that a subscription's notifications can arrive on
    // the Mux component's threads while the main thread waits.
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) return ReportFailure(name, L"CoInitializeEx", hr);
    const int exit = command.run(Words(argv + 2, argv + argc));
    CoUninitialize();
    return exit;
  }
  ReportUsage(L"", L"unknown command \"" + name + L"\"");
  Console::Err(Usage());
  return kExitUsage;
}
