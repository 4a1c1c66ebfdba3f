#include "log/ItemSchema.h"

#include <cwchar>

namespace hv {
namespace {

// Positions as signed numbers: "not found" is -1, so that the scanner's
// "greater than 0" and "at least 1" tests read as they are meant.
long long Find(const std::wstring& text, const wchar_t* what) {
  const size_t at = text.find(what);
  return at == std::wstring::npos ? -1 : static_cast<long long>(at);
}

long long FindQuote(const std::wstring& text) {
  const size_t at = text.find(L'"');
  return at == std::wstring::npos ? -1 : static_cast<long long>(at);
}

void DropTrailingBackslash(std::wstring* text) {
  if (!text->empty() && text->back() == L'\\') text->pop_back();
}

}  // namespace

std::vector<std::pair<std::wstring, std::wstring>> ParseItemSchema(const std::wstring& text) {
  std::vector<std::pair<std::wstring, std::wstring>> declarations;
  std::wstring rest = text;
  if (!rest.empty()) CharLowerBuffW(rest.data(), static_cast<DWORD>(rest.size()));

  // Every "element" starts a declaration, whatever surrounds it, except one
  // at the very first character.
  long long p = Find(rest, L"element");
  while (p > 0) {
    rest.erase(0, static_cast<size_t>(p));

    // The name is the first quoted text of the declaration.
    const long long open = FindQuote(rest);
    if (open >= 0) rest.erase(0, static_cast<size_t>(open) + 1);
    std::wstring name;
    const long long close = FindQuote(rest);
    if (close >= 0) {
      name = rest.substr(0, static_cast<size_t>(close));
      rest.erase(0, static_cast<size_t>(close));
    }
    DropTrailingBackslash(&name);

    // The type counts only when no further declaration comes before it.
    long long t = Find(rest, L"dt:type");
    if (t < 0) t = Find(rest, L"type");
    p = Find(rest, L"element");
    std::wstring typeName;
    if (t >= 1 && (p <= 0 || p >= t)) {
      rest.erase(0, static_cast<size_t>(t));
      const long long typeOpen = FindQuote(rest);
      if (typeOpen >= 0) rest.erase(0, static_cast<size_t>(typeOpen) + 1);
      const long long typeClose = FindQuote(rest);
      if (typeClose >= 0) typeName = rest.substr(0, static_cast<size_t>(typeClose));
      p = Find(rest, L"element");
      DropTrailingBackslash(&typeName);
    } else {
      typeName = L"Unknown";
    }
    declarations.emplace_back(std::move(name), std::move(typeName));
  }
  return declarations;
}

VARTYPE SchemaTypeToVarType(const std::wstring& typeName) {
  struct Mapping {
    const wchar_t* name;
    VARTYPE type;
  };
  static const Mapping kTypes[] = {
      {L"unsigned char", VT_UI1}, {L"short", VT_I2},  {L"int", VT_I4},        {L"integer", VT_I4},
      {L"long", VT_I4},           {L"float", VT_R4},  {L"double", VT_R8},     {L"bool", VT_BOOL},
      {L"boolean", VT_BOOL},      {L"scode", VT_ERROR}, {L"cy", VT_CY},       {L"time", VT_DATE},
      {L"date", VT_DATE},
  };
  for (const Mapping& mapping : kTypes)
    if (_wcsicmp(typeName.c_str(), mapping.name) == 0) return mapping.type;
  // "bstr", "string", "Unknown" and anything else hold text.
  return VT_BSTR;
}

}  // namespace hv
