// The extended item schema: element declarations with a name and a type,
// read by a plain text scanner (no XML parser, nothing is rejected).
#pragma once
#include <windows.h>
#include <wtypes.h>

#include <string>
#include <utility>
#include <vector>

namespace hv {

// The (name, type name) pairs declared in a schema text, in order. Names and
// type names come out lower case; a declaration without a type before the
// next declaration gets the type name "Unknown".
std::vector<std::pair<std::wstring, std::wstring>> ParseItemSchema(const std::wstring& text);

// The VARTYPE an extended parameter of this declared type holds (matched
// without regard to case); VT_BSTR for every name it does not know.
VARTYPE SchemaTypeToVarType(const std::wstring& typeName);

}  // namespace hv
