// hvdiag adaptors and hvdiag flags: the adaptors the service runs, with the
// severities each accepts per audience, and changing one audience's set.
#include <algorithm>

#include "common/Result.h"
#include "common/Unique.h"
#include "tools/hvdiag/Commands.h"
#include "tools/hvdiag/Console.h"
#include "tools/hvdiag/ResultCodes.h"
#include "tools/hvdiag/Values.h"

namespace hv::diag {
namespace {

const wchar_t kAdaptorsHelp[] =
    L"Usage: hvdiag adaptors [--json]\n"
    L"\n"
    L"Lists the adaptors of the Mux service: number, name, class id, whether it can be read,\n"
    L"the audiences and severities it handles, and the severities enabled for each audience.\n"
    L"\n"
    L"  --json    one JSON object per adaptor and line\n";

const wchar_t kFlagsHelp[] =
    L"Usage: hvdiag flags ADAPTOR AUDIENCE SEVERITIES\n"
    L"\n"
    L"Sets the whole set of severities ADAPTOR accepts for one AUDIENCE and prints it before\n"
    L"and after. The change is recorded as an audit message.\n"
    L"\n"
    L"  ADAPTOR      its number in \"hvdiag adaptors\", its name or its class id\n"
    L"  AUDIENCE     one of VELTRA, Dev, Eng, Op\n"
    L"  SEVERITIES   Error, Warning, Info, Audit joined by , | or +; \"none\"; or \"all\" for every\n"
    L"               severity the adaptor handles\n";

const TAVDiagAudience kAudiences[] = {TAVDiagAudience_VELTRA, TAVDiagAudience_Dev, TAVDiagAudience_Eng,
                                      TAVDiagAudience_Op};

struct Adaptor {
  ComPtr<ITAVDiagnosticAdaptor> object;
  std::wstring name, clsid;
  unsigned long audiences = 0, severities = 0;
  bool reading = false;
  unsigned long enabled[4] = {};
};

HRESULT ReadAdaptor(IUnknown* element, Adaptor* adaptor) {
  RETURN_IF_FAILED(element->QueryInterface(IID_ITAVDiagnosticAdaptor, adaptor->object.put_void()));
  TAVDiagAudience audiences;
  TAVDiagSeverity severities;
  unique_bstr clsid, name;
  VARIANT_BOOL reading = 0;
  RETURN_IF_FAILED(adaptor->object->GetAdaptorSpecifics(&audiences, &severities, clsid.put(), name.put(), &reading));
  adaptor->audiences = audiences;
  adaptor->severities = severities;
  adaptor->clsid = clsid ? clsid.get() : L"";
  adaptor->name = name ? name.get() : L"";
  adaptor->reading = reading != 0;
  for (int i = 0; i < 4; ++i) {
    TAVDiagSeverity enabled = static_cast<TAVDiagSeverity>(0);
    RETURN_IF_FAILED(adaptor->object->GetMsgCategoryEnableFlags(kAudiences[i], &enabled));
    adaptor->enabled[i] = enabled;
  }
  return S_OK;
}

// The adaptors as the service describes them now; false after reporting.
// The adaptor objects send their changes over the manager's connection, which
// ends with the manager: the caller keeps it while it uses them.
bool ListAdaptors(const std::wstring& command, ComPtr<ITAVDiagnosticLogMgrEx>* keep, std::vector<Adaptor>* adaptors) {
  ComPtr<ITAVDiagnosticLogMgrEx>& manager = *keep;
  if (FAILED(CreateManager(command, &manager))) return false;
  ComPtr<IEnumVARIANT> list;
  ClearErrorInfo();
  HRESULT hr = manager->GetAdaptorInfo(nullptr, list.put());
  if (FAILED(hr)) return ReportFailure(command, L"GetAdaptorInfo", hr), false;
  for (;;) {
    unique_variant slot;
    ULONG fetched = 0;
    hr = list->Next(1, slot.get(), &fetched);
    if (FAILED(hr)) return ReportFailure(command, L"reading the adaptor list", hr), false;
    if (fetched == 0) break;
    if (slot->vt != VT_UNKNOWN || slot->punkVal == nullptr) continue;
    Adaptor adaptor;
    hr = ReadAdaptor(slot->punkVal, &adaptor);
    if (FAILED(hr)) return ReportFailure(command, L"reading an adaptor's description", hr), false;
    adaptors->push_back(adaptor);
  }
  return true;
}

std::wstring AdaptorJson(size_t number, const Adaptor& a) {
  std::wstring json = L"{\"number\":" + std::to_wstring(number) + L",\"name\":" + JsonString(a.name) +
                      L",\"clsid\":" + JsonString(a.clsid) + L",\"reading\":" + (a.reading ? L"true" : L"false") +
                      L",\"audiences\":" + std::to_wstring(a.audiences) + L",\"severities\":" +
                      std::to_wstring(a.severities) + L",\"enabled\":{";
  static const wchar_t* const kNames[] = {L"VELTRA", L"Dev", L"Eng", L"Op"};
  for (int i = 0; i < 4; ++i)
    json += (i ? L"," : L"") + JsonString(kNames[i]) + L":" + std::to_wstring(a.enabled[i]);
  return json + L"}}";
}

std::wstring Table(const std::vector<std::vector<std::wstring>>& rows) {
  std::vector<size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows)
    for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
  std::wstring text;
  for (const auto& row : rows) {
    for (size_t c = 0; c < row.size(); ++c)
      text += row[c] + (c + 1 < row.size() ? std::wstring(widths[c] - row[c].size() + 2, L' ') : L"\n");
  }
  return text;
}

bool SameText(const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) == 0; }

}  // namespace

int RunAdaptors(const Words& words) {
  Arguments args(words);
  int exit = 0;
  if (ParseOrExit(L"adaptors", kAdaptorsHelp, {{L"json", false}}, &args, &exit)) return exit;
  if (!args.Operands().empty()) return ReportUsage(L"adaptors", L"no arguments expected");
  ComPtr<ITAVDiagnosticLogMgrEx> manager;
  std::vector<Adaptor> adaptors;
  if (!ListAdaptors(L"adaptors", &manager, &adaptors)) return kExitFailed;
  if (args.Has(L"json")) {
    std::wstring text;
    for (size_t i = 0; i < adaptors.size(); ++i) text += AdaptorJson(i + 1, adaptors[i]) + L"\n";
    Console::Out(text);
    return 0;
  }
  if (adaptors.empty()) {
    Console::Out(L"The service runs no adaptors.\n");
    return 0;
  }
  std::vector<std::vector<std::wstring>> rows = {{L"#", L"NAME", L"CLASS ID", L"READ", L"AUDIENCES", L"SEVERITIES",
                                                  L"VELTRA", L"DEV", L"ENG", L"OP"}};
  for (size_t i = 0; i < adaptors.size(); ++i) {
    const Adaptor& a = adaptors[i];
    rows.push_back({std::to_wstring(i + 1), a.name, a.clsid, a.reading ? L"yes" : L"no",
                    MaskText(MaskKind::kAudience, a.audiences), MaskText(MaskKind::kSeverity, a.severities),
                    MaskText(MaskKind::kSeverity, a.enabled[0]), MaskText(MaskKind::kSeverity, a.enabled[1]),
                    MaskText(MaskKind::kSeverity, a.enabled[2]), MaskText(MaskKind::kSeverity, a.enabled[3])});
  }
  Console::Out(Table(rows));
  return 0;
}

int RunFlags(const Words& words) {
  Arguments args(words);
  int exit = 0;
  if (ParseOrExit(L"flags", kFlagsHelp, {}, &args, &exit)) return exit;
  if (args.Operands().size() != 3) return ReportUsage(L"flags", L"give ADAPTOR, AUDIENCE and SEVERITIES");
  const std::wstring& which = args.Operands()[0];
  unsigned long audience = 0, severities = 0;
  if (!ParseMask(MaskKind::kAudience, args.Operands()[1], &audience) || audience == 0 ||
      (audience & (audience - 1)) != 0)
    return ReportUsage(L"flags", L"AUDIENCE is one of VELTRA, Dev, Eng, Op, not \"" + args.Operands()[1] + L"\"");
  const bool all = SameText(args.Operands()[2], L"all");
  if (!all && !ParseMask(MaskKind::kSeverity, args.Operands()[2], &severities))
    return ReportUsage(L"flags", L"SEVERITIES are Error, Warning, Info, Audit joined by , | or +, \"none\" or "
                                 L"\"all\", not \"" + args.Operands()[2] + L"\"");

  ComPtr<ITAVDiagnosticLogMgrEx> manager;
  std::vector<Adaptor> adaptors;
  if (!ListAdaptors(L"flags", &manager, &adaptors)) return kExitFailed;
  const Adaptor* adaptor = nullptr;
  long number = 0;
  for (size_t i = 0; i < adaptors.size(); ++i) {
    if ((ParseLong(which, &number) && number == static_cast<long>(i + 1)) || SameText(which, adaptors[i].name) ||
        SameText(which, adaptors[i].clsid))
      adaptor = &adaptors[i];
  }
  if (adaptor == nullptr) {
    Console::Err(L"hvdiag flags: no adaptor \"" + which + L"\": " + Hex(E_INVALIDARG) +
                 L" E_INVALIDARG (\"hvdiag adaptors\" lists them)\n");
    return kExitFailed;
  }
  if (all) severities = adaptor->severities;
  int index = 0;
  while ((1ul << index) != audience) ++index;
  ClearErrorInfo();
  const HRESULT hr = adaptor->object->SetMsgCategoryEnableFlags(static_cast<TAVDiagAudience>(audience),
                                                                static_cast<TAVDiagSeverity>(severities));
  if (FAILED(hr)) {
    const std::wstring why =
        hr == E_INVALIDARG ? L" (the adaptor handles " + MaskText(MaskKind::kSeverity, adaptor->severities) +
                                 L" for " + MaskText(MaskKind::kAudience, adaptor->audiences) + L")"
                           : L"";
    return ReportFailure(L"flags", L"SetMsgCategoryEnableFlags" + why, hr);
  }
  Console::Out(adaptor->name + L", " + MaskText(MaskKind::kAudience, audience) + L": " +
               MaskText(MaskKind::kSeverity, adaptor->enabled[index]) + L" -> " +
               MaskText(MaskKind::kSeverity, severities) + L" (result " + Hex(hr) + L" " + SymbolicName(hr) + L")\n");
  return 0;
}

}  // namespace hv::diag
