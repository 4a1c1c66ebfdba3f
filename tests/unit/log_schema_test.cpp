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

TEST(LogSchema, DeclarationsComeOutLowerCaseInOrderWithTheirTypes) {
  const Declarations found = ParseItemSchema(
      L"<Schema><ElementType name=\"Batch\" dt:type=\"int\"/>"
      L"<ElementType name=\"Operator\" type=\"string\"/></Schema>");
  const Declarations expected = {{L"batch", L"int"}, {L"operator", L"string"}};
  EXPECT_EQ(expected, found) << Show(found);
  EXPECT_EQ(VT_I4, SchemaTypeToVarType(found.at(0).second));
  EXPECT_EQ(VT_BSTR, SchemaTypeToVarType(found.at(1).second));
}

TEST(LogSchema, TypeRulesOfTheScanner) {
  // "dt:type" is preferred to a plain "type" that comes before it.
  Declarations found = ParseItemSchema(L" <element name=\"A\" type=\"int\" dt:type=\"Boolean\"/>");
  EXPECT_EQ((Declarations{{L"a", L"boolean"}}), found) << Show(found);
  EXPECT_EQ(VT_BOOL, SchemaTypeToVarType(found.at(0).second));

  // A declaration without a type before the next one is "Unknown" (text),
  // and the type of the next declaration is not taken for it.
  found = ParseItemSchema(L"<element name=\"First\"/><element name=\"Second\" dt:type=\"double\"/>");
  EXPECT_EQ((Declarations{{L"first", L"Unknown"}, {L"second", L"double"}}), found) << Show(found);
  EXPECT_EQ(VT_BSTR, SchemaTypeToVarType(found.at(0).second));
  EXPECT_EQ(VT_R8, SchemaTypeToVarType(found.at(1).second));

  // The last declaration without any type.
  found = ParseItemSchema(L"<element name=\"Alone\"/>");
  EXPECT_EQ((Declarations{{L"alone", L"Unknown"}}), found) << Show(found);

  // A type name that is not in the table holds text.
  found = ParseItemSchema(L"<element name=\"x\" type=\"uuid\"/>");
  EXPECT_EQ((Declarations{{L"x", L"uuid"}}), found) << Show(found);
  EXPECT_EQ(VT_BSTR, SchemaTypeToVarType(found.at(0).second));
}

TEST(LogSchema, NamesAndOddDeclarations) {
  // A trailing backslash before the closing quote is dropped, once, from
  // names and type names.
  Declarations found = ParseItemSchema(L"<element name=\"Tag\\\" type=\"short\\\"/>");
  EXPECT_EQ((Declarations{{L"tag", L"short"}}), found) << Show(found);

  // Any word that begins with "element" starts a declaration.
  found = ParseItemSchema(L"<elementary name=\"Rate\" type=\"float\"/>");
  EXPECT_EQ((Declarations{{L"rate", L"float"}}), found) << Show(found);

  // Empty names and type names stay empty.
  found = ParseItemSchema(L"<element name=\"\" type=\"\"/>");
  EXPECT_EQ((Declarations{{L"", L""}}), found) << Show(found);

  // A declaration without any quote has an empty name.
  found = ParseItemSchema(L"<element/>");
  ASSERT_EQ(1u, found.size()) << Show(found);
  EXPECT_EQ(L"", found[0].first);
}

TEST(LogSchema, TextsThatDeclareNothing) {
  EXPECT_TRUE(ParseItemSchema(L"").empty());
  EXPECT_TRUE(ParseItemSchema(L"<schema><attribute name=\"a\"/></schema>").empty());
  // Only an "element" after the first character starts the scan: a text that
  // begins with the word declares nothing at all.
  Declarations found = ParseItemSchema(L"element name=\"a\" type=\"int\"");
  EXPECT_TRUE(found.empty()) << Show(found);
  found = ParseItemSchema(L"Element name=\"a\" type=\"int\"/><element name=\"b\" type=\"int\"/>");
  EXPECT_TRUE(found.empty()) << Show(found);
}

TEST(LogSchema, TypeTableIgnoresCase) {
  const std::pair<const wchar_t*, VARTYPE> cases[] = {
      {L"unsigned char", VT_UI1}, {L"SHORT", VT_I2},  {L"int", VT_I4},    {L"Integer", VT_I4},
      {L"long", VT_I4},           {L"float", VT_R4},  {L"Double", VT_R8}, {L"bool", VT_BOOL},
      {L"BOOLEAN", VT_BOOL},      {L"scode", VT_ERROR}, {L"CY", VT_CY},   {L"time", VT_DATE},
      {L"Date", VT_DATE},         {L"bstr", VT_BSTR}, {L"string", VT_BSTR}, {L"Unknown", VT_BSTR},
      {L"", VT_BSTR},             {L"unsigned", VT_BSTR}, {L"int ", VT_BSTR},
  };
  for (const auto& [name, type] : cases)
    EXPECT_EQ(type, SchemaTypeToVarType(name)) << "type name '" << test::Narrow(name) << "'";
}

}  // namespace
}  // namespace hv
