// hvdiag groups and hvdiag group: the display field groups that installed
// definition files describe, in the viewer's language.
#include "common/Result.h"
#include "common/Unique.h"
#include "tools/hvdiag/Commands.h"
#include "tools/hvdiag/Console.h"
#include "tools/hvdiag/ResultCodes.h"
#include "tools/hvdiag/Values.h"

namespace hv::diag {
namespace {

const wchar_t kGroupsHelp[] =
    L"Usage: hvdiag groups [--lang LANG] [--json]\n"
    L"\n"
    L"Lists the display field groups (name in the chosen language, and type).\n"
    L"\n"
    L"  --lang LANG   en, de, fr, ... or a locale id (default: the user's language)\n"
    L"  --json        one JSON object per group and line\n";

const wchar_t kGroupHelp[] =
    L"Usage: hvdiag group [--lang LANG] [--type TYPE] NAME\n"
    L"\n"
    L"Prints the XML definition of the field group named NAME (as \"hvdiag groups\" lists it\n"
    L"in the same language); \"No Group\" gives the fields outside every group.\n"
    L"\n"
    L"  --lang LANG   en, de, fr, ... or a locale id (default: the user's language)\n"
    L"  --type TYPE   the group's type, when NAME is not listed\n";

bool ListGroups(const std::wstring& command, ITAVDiagnosticLogDisplay* display, LCID lcid,
                std::vector<std::wstring>* names, std::vector<std::wstring>* types) {
  unique_variant nameList, typeList;
  ClearErrorInfo();
  const HRESULT hr = display->GetReaderFieldGroupNames(lcid, nameList.get(), typeList.get());
  if (FAILED(hr)) return ReportFailure(command, L"GetReaderFieldGroupNames", hr), false;
  *names = VariantStrings(*nameList.get());
  *types = VariantStrings(*typeList.get());
  types->resize(names->size());
  return true;
}

HRESULT Display(const std::wstring& command, ComPtr<ITAVDiagnosticLogDisplay>* display) {
  ComPtr<ITAVDiagnosticLogMgrEx> manager;
  RETURN_IF_FAILED(CreateManager(command, &manager));
  const HRESULT hr = manager.query(display);
  if (FAILED(hr)) ReportFailure(command, L"asking the manager for ITAVDiagnosticLogDisplay", hr);
  return hr;
}

}  // namespace

int RunGroups(const Words& words) {
  Arguments args(words);
  int exit = 0;
  if (ParseOrExit(L"groups", kGroupsHelp, {{L"lang", true}, {L"json", false}}, &args, &exit)) return exit;
  if (!args.Operands().empty()) return ReportUsage(L"groups", L"no arguments expected");
  LCID lcid = 0;
  if (!ApplyLanguage(L"groups", args, &lcid)) return kExitUsage;
  ComPtr<ITAVDiagnosticLogDisplay> display;
  if (FAILED(Display(L"groups", &display))) return kExitFailed;
  std::vector<std::wstring> names, types;
  if (!ListGroups(L"groups", display.get(), lcid, &names, &types)) return kExitFailed;
  std::wstring text;
  if (args.Has(L"json")) {
    for (size_t i = 0; i < names.size(); ++i)
      text += L"{\"name\":" + JsonString(names[i]) + L",\"type\":" + JsonString(types[i]) + L"}\n";
  } else if (names.empty()) {
    text = L"No display definitions are installed.\n";
  } else {
    size_t width = 4;
    for (const std::wstring& name : names) width = std::max(width, name.size());
    text = L"NAME" + std::wstring(width - 4 + 2, L' ') + L"TYPE\n";
    for (size_t i = 0; i < names.size(); ++i) text += names[i] + std::wstring(width - names[i].size() + 2, L' ') + types[i] + L"\n";
  }
  Console::Out(text);
  return 0;
}

int RunGroup(const Words& words) {
  Arguments args(words);
  int exit = 0;
  if (ParseOrExit(L"group", kGroupHelp, {{L"lang", true}, {L"type", true}}, &args, &exit)) return exit;
  if (args.Operands().size() != 1) return ReportUsage(L"group", L"give the group's NAME as one argument");
  LCID lcid = 0;
  if (!ApplyLanguage(L"group", args, &lcid)) return kExitUsage;
  ComPtr<ITAVDiagnosticLogDisplay> display;
  if (FAILED(Display(L"group", &display))) return kExitFailed;
  const std::wstring& name = args.Operands()[0];
  std::wstring type = args.Value(L"type");
  bool found = args.Has(L"type");
  if (!found) {
    std::vector<std::wstring> names, types;
    if (!ListGroups(L"group", display.get(), lcid, &names, &types)) return kExitFailed;
    for (size_t i = 0; i < names.size() && !found; ++i)
      if (_wcsicmp(names[i].c_str(), name.c_str()) == 0) type = types[i], found = true;
  }
  if (!found) {
    Console::Err(L"hvdiag group: no field group is named \"" + name + L"\" in this language: " + Hex(E_INVALIDARG) +
                 L" E_INVALIDARG (\"hvdiag groups\" lists them)\n");
    return kExitFailed;
  }
  unique_bstr bstrName(SysAllocString(name.c_str())), bstrType(SysAllocString(type.c_str())), definition;
  ClearErrorInfo();
  const HRESULT hr = display->GetGroupDefinition(lcid, bstrName.get(), bstrType.get(), definition.put());
  if (FAILED(hr)) return ReportFailure(L"group", L"GetGroupDefinition", hr);
  Console::Out(definition ? definition.get() : L"");
  return 0;
}

}  // namespace hv::diag
