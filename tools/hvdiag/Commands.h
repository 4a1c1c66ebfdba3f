// The hvdiag commands. Each takes the words after its name and returns the
// process exit code: 0 done, 1 an operation failed, 2 a wrong command line.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "TAVDiagnostics.h"
#include "common/ComPtr.h"
#include "tools/hvdiag/Arguments.h"

namespace hv::diag {

using Words = std::vector<std::wstring>;

struct Command {
  const wchar_t* name;
  const wchar_t* summary;
  int (*run)(const Words& words);
};
const std::vector<Command>& Commands();

int RunLog(const Words& words);
int RunRead(const Words& words);
int RunFollow(const Words& words);
int RunExport(const Words& words);
int RunAdaptors(const Words& words);
int RunFlags(const Words& words);
int RunGroups(const Words& words);
int RunGroup(const Words& words);
int RunServe(const Words& words);

// Creates the log manager through its registered class, reporting a failure
// for the command.
HRESULT CreateManager(const std::wstring& command, ComPtr<ITAVDiagnosticLogMgrEx>* manager);

// The language of "--lang" (the user's default when absent): the locale id
// passed to the library, also made the thread's locale, because an item
// formats its description in the language of the thread that asks for it.
// False, after reporting, for a language hvdiag does not know.
bool ApplyLanguage(const std::wstring& command, const Arguments& args, LCID* lcid);

// The filter document of the reading options of read, follow and export:
// "--filter" as given, or a document built from the single conditions.
// False, after reporting, for a mistake hvdiag can see itself.
bool BuildFilter(const std::wstring& command, const Arguments& args, bool withCount, std::wstring* filter);
// The option specs of BuildFilter, to be added to a command's own.
void AddFilterOptions(std::vector<OptionSpec>* specs);
extern const wchar_t kFilterHelp[];

// Parses the command's words; prints the help and returns true with *exit set
// when that is all there is to do (help asked for, or a wrong command line).
bool ParseOrExit(const std::wstring& command, const wchar_t* help, const std::vector<OptionSpec>& specs,
                 Arguments* args, int* exit);

}  // namespace hv::diag
