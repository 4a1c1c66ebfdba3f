// hvdiag log: builds one item through a log of the library and delivers it,
// synchronously by default, so that the printed result is the service's.
#include "common/Result.h"
#include "common/Unique.h"
#include "tools/hvdiag/Commands.h"
#include "tools/hvdiag/Console.h"
#include "tools/hvdiag/ResultCodes.h"
#include "tools/hvdiag/Values.h"

namespace hv::diag {
namespace {

const wchar_t kHelp[] =
    L"Usage: hvdiag log [OPTIONS] TEXT\n"
    L"       hvdiag log [OPTIONS] --resource ID [--arg VALUE]...\n"
    L"\n"
    L"Logs one message through the library and prints the result code and its meaning.\n"
    L"\n"
    L"  --severity MASK      Error, Warning, Info or Audit (joined by | for several; default Info)\n"
    L"  --audience MASK      VELTRA, Dev, Eng or Op (joined by | for several; default Dev)\n"
    L"  --verbosity N        default 0\n"
    L"  --location TEXT      default: this computer's name\n"
    L"  --provider NAME      default \"hvdiag\"; a resource message needs the provider that holds it\n"
    L"  --user NAME          default: the account running hvdiag\n"
    L"  --time TIME          the message's time, UTC (2023-03-15T06:00:00Z); default: when it is sent\n"
    L"  --resource ID        the message is string ID of the provider's resource library\n"
    L"  --arg VALUE          an insertion argument (repeat in order); digits are a number,\n"
    L"                       \"text:VALUE\" is always text\n"
    L"  --param NAME=VALUE   an extended parameter; NAME:TYPE=VALUE gives its type\n"
    L"                       (int, double, bool, date, string; default string)\n"
    L"  --child TEXT         a child item explaining the message (repeat for a chain)\n"
    L"  --async              hand the message over and return without waiting for the service\n"
    L"  --timeout MS         how long a synchronous delivery waits (default 10000)\n";

struct Parameter {
  std::wstring name, type, value;
};

bool ParseParameter(const std::wstring& text, Parameter* parameter) {
  const size_t equals = text.find(L'=');
  if (equals == std::wstring::npos || equals == 0) return false;
  std::wstring name = text.substr(0, equals);
  const size_t colon = name.find(L':');
  parameter->type = colon == std::wstring::npos ? L"string" : name.substr(colon + 1);
  parameter->name = colon == std::wstring::npos ? name : name.substr(0, colon);
  parameter->value = text.substr(equals + 1);
  // The schema names its elements in quotes.
  return !parameter->name.empty() && parameter->name.find(L'"') == std::wstring::npos &&
         parameter->type.find(L'"') == std::wstring::npos;
}

// Insertion arguments as the library takes them: a vector of VARIANTs.
HRESULT MakeArguments(const std::vector<std::wstring>& values, unique_safearray* array) {
  if (values.empty()) return S_OK;
  array->reset(SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(values.size())));
  RETURN_IF_NULL_ALLOC(array->get());
  for (LONG i = 0; i < static_cast<LONG>(values.size()); ++i) {
    unique_variant value;
    long number = 0;
    if (values[i].compare(0, 5, L"text:") == 0) {
      value->vt = VT_BSTR;
      value->bstrVal = SysAllocString(values[i].c_str() + 5);
    } else if (ParseLong(values[i], &number)) {
      value->vt = VT_I4;
      value->lVal = number;
    } else {
      value->vt = VT_BSTR;
      value->bstrVal = SysAllocString(values[i].c_str());
    }
    RETURN_IF_FAILED(SafeArrayPutElement(array->get(), &i, value.get()));
  }
  return S_OK;
}

class LogRequest final {
 public:
  explicit LogRequest(const Arguments& args) : args_(args) {}

  int Run() {
    if (!Check()) return kExitUsage;
    ComPtr<ITAVDiagnosticLogMgrEx> manager;
    if (FAILED(CreateManager(L"log", &manager))) return kExitFailed;
    unique_bstr location(SysAllocString(args_.Value(L"location").c_str()));
    unique_bstr provider(SysAllocString(args_.Value(L"provider", L"hvdiag").c_str()));
    ComPtr<ITAVDiagnosticLog> log;
    HRESULT hr = manager->CreateTAVDiagnosticLog(args_.Has(L"location") ? location.get() : nullptr,
                                                 provider.get(), log.put());
    if (FAILED(hr)) return ReportFailure(L"log", L"CreateTAVDiagnosticLog", hr);
    hr = log.query(&log_);
    if (FAILED(hr)) return ReportFailure(L"log", L"asking the log for ITAVDiagnosticLogEx", hr);
    if (!parameters_.empty()) {
      std::wstring schema = L"<schema>";
      for (const Parameter& p : parameters_)
        schema += L"<element name=\"" + p.name + L"\" dt:type=\"" + p.type + L"\"/>";
      unique_bstr text(SysAllocString((schema + L"</schema>").c_str()));
      hr = log_->ExtendItemSchema(text.get());
      if (FAILED(hr)) return ReportFailure(L"log", L"ExtendItemSchema", hr);
    }

    // A chain of children is built from its far end: an item keeps a copy of
    // the child as it is when it is set.
    ComPtr<ITAVDiagnosticLogItemEx> child;
    const std::vector<std::wstring> children = args_.Values(L"child");
    for (auto text = children.rbegin(); text != children.rend(); ++text) {
      ComPtr<ITAVDiagnosticLogItemEx> item;
      unique_variant message;
      *message.get() = Message(*text);
      if (!Build(*message.get(), {}, &item)) return kExitFailed;
      if (child && FAILED(hr = item->SetChild(child.get()))) return ReportFailure(L"log", L"SetChild", hr);
      child = item;
    }
    unique_variant message;
    long resource = 0;
    if (args_.Has(L"resource")) {
      ParseLong(args_.Value(L"resource"), &resource);
      message->vt = VT_I4;
      message->lVal = resource;
    } else {
      *message.get() = Message(args_.Operands()[0]);
    }
    ComPtr<ITAVDiagnosticLogItemEx> item;
    if (!Build(*message.get(), args_.Values(L"arg"), &item)) return kExitFailed;
    for (const Parameter& p : parameters_) {
      unique_bstr name(SysAllocString(p.name.c_str()));
      unique_variant value;
      value->vt = VT_BSTR;
      value->bstrVal = SysAllocString(p.value.c_str());
      ClearErrorInfo();
      if (FAILED(hr = item->PutParam(name.get(), *value.get())))
        return ReportFailure(L"log", L"setting parameter \"" + p.name + L"\" (PutParam)", hr);
    }
    if (child && FAILED(hr = item->SetChild(child.get()))) return ReportFailure(L"log", L"SetChild", hr);

    const bool synchronous = !args_.Has(L"async");
    ClearErrorInfo();
    hr = log_->LogThisItemEx(item.get(), synchronous ? VARIANT_TRUE : VARIANT_FALSE,
                             synchronous ? static_cast<unsigned long>(timeout_) : 0);
    if (FAILED(hr)) {
      return ReportFailure(L"log", hr == E_PENDING ? L"LogThisItemEx (no answer within " +
                                                         std::to_wstring(timeout_) + L" ms)"
                                                   : std::wstring(L"LogThisItemEx"),
                           hr);
    }
    Console::Out(L"result " + Hex(hr) + L" " + SymbolicName(hr) + L": " +
                 (synchronous ? L"the service has stored or routed the message"
                              : L"handed to the Mux component, which sends it in the background") +
                 L"\n");
    return 0;
  }

 private:
  bool Check() {
    if (!ParseMask(MaskKind::kSeverity, args_.Value(L"severity", L"Info"), &severity_) || severity_ == 0)
      return Usage(L"--severity takes Error, Warning, Info or Audit (or a mask 1-15), not \"" +
                   args_.Value(L"severity") + L"\"");
    if (!ParseMask(MaskKind::kAudience, args_.Value(L"audience", L"Dev"), &audience_) || audience_ == 0)
      return Usage(L"--audience takes VELTRA, Dev, Eng or Op (or a mask 1-15), not \"" + args_.Value(L"audience") +
                   L"\"");
    if (args_.Has(L"verbosity") && !ParseLong(args_.Value(L"verbosity"), &verbosity_))
      return Usage(L"--verbosity takes a whole number, not \"" + args_.Value(L"verbosity") + L"\"");
    if (args_.Has(L"timeout") && (!ParseLong(args_.Value(L"timeout"), &timeout_) || timeout_ < 0))
      return Usage(L"--timeout takes milliseconds, not \"" + args_.Value(L"timeout") + L"\"");
    if (args_.Has(L"time") && !ParseTime(args_.Value(L"time"), &time_))
      return Usage(L"--time takes a UTC time such as 2023-03-15T06:00:00Z, not \"" + args_.Value(L"time") + L"\"");
    long resource = 0;
    if (args_.Has(L"resource") && !ParseLong(args_.Value(L"resource"), &resource))
      return Usage(L"--resource takes a string id, not \"" + args_.Value(L"resource") + L"\"");
    const size_t wanted = args_.Has(L"resource") ? 0 : 1;
    if (args_.Operands().size() != wanted)
      return Usage(wanted ? L"give the message text as one argument (quote it)"
                          : L"a resource message takes no text; its arguments go with --arg");
    if (!args_.Has(L"resource") && args_.Has(L"arg"))
      return Usage(L"--arg goes with --resource (a text message has no insertion arguments here)");
    for (const std::wstring& text : args_.Values(L"param")) {
      Parameter parameter;
      if (!ParseParameter(text, &parameter)) return Usage(L"--param takes NAME=VALUE or NAME:TYPE=VALUE, not \"" + text + L"\"");
      parameters_.push_back(parameter);
    }
    return true;
  }

  bool Usage(const std::wstring& sentence) {
    ReportUsage(L"log", sentence);
    return false;
  }

  static VARIANT Message(const std::wstring& text) {
    VARIANT message;
    message.vt = VT_BSTR;
    message.bstrVal = SysAllocString(text.c_str());
    return message;
  }

  bool Build(const VARIANT& message, const std::vector<std::wstring>& argumentValues,
             ComPtr<ITAVDiagnosticLogItemEx>* item) {
    unique_safearray arguments;
    HRESULT hr = MakeArguments(argumentValues, &arguments);
    if (FAILED(hr)) return ReportFailure(L"log", L"making the insertion arguments", hr), false;
    SAFEARRAY* array = arguments.get();
    unique_bstr user(SysAllocString(args_.Value(L"user").c_str()));
    ClearErrorInfo();
    hr = log_->BuildItemEx(args_.Has(L"time") ? &time_ : nullptr, user.get(), static_cast<TAVDiagSeverity>(severity_),
                           static_cast<TAVDiagAudience>(audience_), verbosity_, message, array ? &array : nullptr,
                           nullptr, nullptr, item->put());
    if (FAILED(hr)) return ReportFailure(L"log", L"BuildItemEx", hr), false;
    return true;
  }

  const Arguments& args_;
  ComPtr<ITAVDiagnosticLogEx> log_;
  unsigned long severity_ = 4, audience_ = 2;
  long verbosity_ = 0, timeout_ = 10000;
  DATE time_ = 0;
  std::vector<Parameter> parameters_;
};

}  // namespace

int RunLog(const Words& words) {
  Arguments args(words);
  std::vector<OptionSpec> specs = {{L"severity", true}, {L"audience", true}, {L"verbosity", true},
                                   {L"location", true}, {L"provider", true}, {L"user", true},
                                   {L"time", true},     {L"resource", true}, {L"arg", true},
                                   {L"param", true},    {L"child", true},    {L"async", false},
                                   {L"timeout", true}};
  int exit = 0;
  if (ParseOrExit(L"log", kHelp, specs, &args, &exit)) return exit;
  return LogRequest(args).Run();
}

}  // namespace hv::diag
