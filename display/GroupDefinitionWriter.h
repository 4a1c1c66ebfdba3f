// Writes the XML definition of one field group for a viewer: the group's
// header, the fields found under its display name in every definition file,
// each with its properties and coded values in the viewer's language.
#pragma once
#include <windows.h>
#include <msxml.h>

#include <string>

namespace hv {

class GroupDefinitionWriter final {
 public:
  // Starts the text with the group's header. groupName is a display name as
  // listed to the viewer, groupType the type listed with it.
  GroupDefinitionWriter(const wchar_t* viewerCode, const std::wstring& groupName, const std::wstring& groupType);

  // Adds the group's fields found among the top-level entries of one document.
  void AddEntriesOf(IXMLDOMElement* root);

  // Closes the group and hands the text out.
  std::wstring Finish();

 private:
  void WriteField(IXMLDOMNode* field, const wchar_t* code);
  void WriteEnumMap(IXMLDOMNode* map, const wchar_t* code);
  void WriteTextLine(const wchar_t* indent, const std::wstring& name, const std::wstring& text);

  const wchar_t* viewerCode_;
  std::wstring groupName_;
  bool noGroup_;
  std::wstring text_;
};

}  // namespace hv
