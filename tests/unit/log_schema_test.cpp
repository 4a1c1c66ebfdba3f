// The extended item schema scanner and its type table.
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "log/ItemSchema.h"
#include "support/TestSupport.h"

namespace hv {
namespace {

using Declarations = std::vector<std::pair<std::wstring, std::wstring>>;

std::string Show(const Declarations& declarations) {
  std::string out;
  for (const auto& [name, type] : declarations) out += "(" + test::Narrow(name) + ", " + test::Narrow(type) + ") ";
  return out;
}

TEST(LogSchema, DeclarationsOfTheScanner) {
  const struct {
    const wchar_t* text;
    Declarations expected;
  } cases[] = {
      // Names come out lower case, in order, with their types.
      {L"<Schema><ElementType name=\"Batch\" dt:type=\"int\"/><ElementType name=\"Operator\" type=\"string\"/>",
       {{L"batch", L"int"}, {L"operator", L"string"}}},
      // "dt:type" is preferred to a plain "type" that comes before it.
      {L" <element name=\"A\" type=\"int\" dt:type=\"Boolean\"/>", {{L"a", L"boolean"}}},
      // Without a type before the next declaration the type is "Unknown",
      // not the next one's; the same for the last declaration.
      {L"<element name=\"First\"/><element name=\"Second\" dt:type=\"double\"/>",
       {{L"first", L"Unknown"}, {L"second", L"double"}}},
      {L"<element name=\"Alone\"/>", {{L"alone", L"Unknown"}}},
      {L"<element name=\"x\" type=\"uuid\"/>", {{L"x", L"uuid"}}},
      // A trailing backslash before the closing quote is dropped, once.
      {L"<element name=\"Tag\\\" type=\"short\\\"/>", {{L"tag", L"short"}}},
      // Any word that begins with "element" starts a declaration.
      {L"<elementary name=\"Rate\" type=\"float\"/>", {{L"rate", L"float"}}},
      {L"<element name=\"\" type=\"\"/>", {{L"", L""}}},
      {L"<element/>", {{L"", L"Unknown"}}},
      // Only an "element" after the first character starts the scan.
      {L"", {}},
      {L"<schema><attribute name=\"a\"/></schema>", {}},
      {L"element name=\"a\" type=\"int\"", {}},
      {L"Element name=\"a\" type=\"int\"/><element name=\"b\" type=\"int\"/>", {}},
  };
  for (const auto& c : cases) {
    const Declarations found = ParseItemSchema(c.text);
    EXPECT_EQ(c.expected, found) << test::Narrow(c.text) << " gave " << Show(found);
  }
}

TEST(LogSchema, TypeTableIgnoresCase) {
  const std::pair<const wchar_t*, VARTYPE> cases[] = {
      {L"unsigned char", VT_UI1}, {L"SHORT", VT_I2},  {L"int", VT_I4},    {L"Integer", VT_I4},
      {L"long", VT_I4},           {L"float", VT_R4},  {L"Double", VT_R8}, {L"bool", VT_BOOL},
      {L"BOOLEAN", VT_BOOL},      {L"scode", VT_ERROR}, {L"CY", VT_CY},   {L"time", VT_DATE},
      {L"Date", VT_DATE},         {L"bstr", VT_BSTR}, {L"string", VT_BSTR}, {L"Unknown", VT_BSTR},
      {L"", VT_BSTR},             {L"unsigned", VT_BSTR}, {L"int ", VT_BSTR}, {L"uuid", VT_BSTR},
  };
  for (const auto& [name, type] : cases)
    EXPECT_EQ(type, SchemaTypeToVarType(name)) << "type name '" << test::Narrow(name) << "'";
}

}  // namespace
}  // namespace hv
