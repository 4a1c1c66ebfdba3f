// The filter document of read, follow and export. Each option is one
// condition of the document; values go in as written (escaped for XML), and
// the service that reads the document says what is wrong with one.
#include "tools/hvdiag/Commands.h"
#include "tools/hvdiag/ResultCodes.h"
#include "tools/hvdiag/Values.h"

namespace hv::diag {
namespace {

struct Condition {
  const wchar_t* option;
  const wchar_t* element;
  const wchar_t* match;  // the match attribute, or null
};

const Condition kConditions[] = {
    {L"severity", L"Severity", nullptr},          {L"audience", L"Audience", nullptr},
    {L"max-verbosity", L"MaxVerbosity", nullptr}, {L"from", L"From", nullptr},
    {L"before", L"Before", nullptr},              {L"location", L"Location", nullptr},
    {L"location-prefix", L"Location", L"prefix"}, {L"provider", L"Provider", nullptr},
    {L"provider-prefix", L"Provider", L"prefix"}, {L"user", L"User", nullptr},
    {L"user-prefix", L"User", L"prefix"},         {L"text", L"Text", nullptr},
};

}  // namespace

const wchar_t kFilterHelp[] =
    L"Selecting messages (each option is one condition; all must hold):\n"
    L"  --severity MASK         Error, Warning, Info, Audit joined by , | or + (or a number 1-15, all)\n"
    L"  --audience MASK         VELTRA, Dev, Eng, Op joined the same way\n"
    L"  --max-verbosity N       verbosity at most N\n"
    L"  --from TIME             at or after TIME (UTC: 2023-03-15, 2023-03-15T06:00:00Z, or an OLE date)\n"
    L"  --before TIME           before TIME\n"
    L"  --location TEXT         location equal to TEXT (--location-prefix: starting with TEXT)\n"
    L"  --provider TEXT         provider equal to TEXT (--provider-prefix: starting with TEXT)\n"
    L"  --user TEXT             user name equal to TEXT (--user-prefix: starting with TEXT)\n"
    L"  --text TEXT             message text containing TEXT (A-Z in either case)\n"
    L"  --filter XML            a whole filter document instead of the options above\n"
    L"  --source XML            the source-control document naming the adaptor (default: the store)\n";

void AddFilterOptions(std::vector<OptionSpec>* specs) {
  for (const Condition& condition : kConditions) specs->push_back({condition.option, true});
  specs->push_back({L"filter", true});
  specs->push_back({L"source", true});
}

bool BuildFilter(const std::wstring& command, const Arguments& args, bool withCount, std::wstring* filter) {
  std::wstring conditions;
  for (const Condition& condition : kConditions) {
    if (!args.Has(condition.option)) continue;
    conditions += L"<" + std::wstring(condition.element);
    if (condition.match) conditions += L" match=\"" + std::wstring(condition.match) + L"\"";
    conditions += L">" + XmlEscaped(args.Value(condition.option)) + L"</" + condition.element + L">";
  }
  if (withCount && args.Has(L"count")) {
    long count = 0;
    if (!ParseLong(args.Value(L"count"), &count) || count < 1) {
      ReportUsage(command, L"--count takes a whole number of at least 1, not \"" + args.Value(L"count") + L"\"");
      return false;
    }
    // With a whole document the reader stops after the count on its own.
    if (!args.Has(L"filter")) conditions += L"<MaxCount>" + std::to_wstring(count) + L"</MaxCount>";
  }
  if (args.Has(L"filter")) {
    if (!conditions.empty()) {
      ReportUsage(command, L"--filter gives the whole document; it cannot be combined with single conditions");
      return false;
    }
    *filter = args.Value(L"filter");
    return true;
  }
  // Never an empty text: an empty filter for local logs would make the
  // library read them itself instead of asking the store.
  *filter = conditions.empty() ? L"<Filter/>" : L"<Filter>" + conditions + L"</Filter>";
  return true;
}

}  // namespace hv::diag
