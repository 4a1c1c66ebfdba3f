// The field-group definition files (".hvds") that installed products put into
// one shared folder, read once per manager and kept as texts.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace hv {

// The folder the definition files live in, without a trailing separator:
// "Corvala" under the common program files folder (asked from the shell,
// else from the "CommonFilesDir" setting), else the folder of this library's
// own file. Returns false when none can be determined.
bool FindDefinitionFolder(std::wstring* folder);

// The whole text of one definition file: ANSI text read in text mode (CR LF
// becomes LF, a 0x1A byte ends it), converted chunk by chunk. Empty when the
// file cannot be opened.
std::wstring ReadDefinitionFile(const std::wstring& path);

// Appends the text of every non-empty "*.hvds" file of the folder, in the
// order of the folder listing.
void LoadDefinitionFiles(const std::wstring& folder, std::vector<std::wstring>* files);

// Creates *files on first use and, while it holds no text, looks for the
// folder and loads it again. The caller holds the manager's lock.
HRESULT EnsureDefinitionFilesLoaded(std::vector<std::wstring>** files);

}  // namespace hv
