#include "display/GroupDefinitionWriter.h"

#include "display/DefinitionDocument.h"
#include "display/GroupList.h"
#include "display/LanguageCodes.h"

namespace hv {
namespace {

// The top-level fields belong to no group and carry English texts.
constexpr wchar_t kNoGroupCode[] = L"en";

}  // namespace

// Names and texts are copied as the DOM reports them, without escaping:
// viewers show them as they are.
GroupDefinitionWriter::GroupDefinitionWriter(const wchar_t* viewerCode, const std::wstring& groupName,
                                             const std::wstring& groupType)
    : viewerCode_(viewerCode),
      groupName_(groupName),
      noGroup_(EqualsIgnoringCase(groupName.c_str(), GroupList::kNoGroup)) {
  text_ = L"<Group Name=\"" + groupType + L"\">\n\t<DisplayName>" + groupName + L"</DisplayName>\n";
}

void GroupDefinitionWriter::AddEntriesOf(IXMLDOMElement* root) {
  for (const auto& entry : ChildElements(root)) {
    if (noGroup_ && IsElementNamed(entry.get(), L"Field")) {
      WriteField(entry.get(), kNoGroupCode);
      continue;
    }
    // The display name may be given in any language: the viewer asks by the
    // name it was shown, and the fields follow that display name.
    const auto children = ChildElements(entry.get());
    for (size_t i = 0; i < children.size(); ++i) {
      if (!IsElementNamed(children[i].get(), L"DisplayName") ||
          !EqualsIgnoringCase(NodeText(children[i].get()).c_str(), groupName_.c_str()))
        continue;
      for (size_t j = i + 1; j < children.size(); ++j)
        if (IsElementNamed(children[j].get(), L"Field")) WriteField(children[j].get(), viewerCode_);
      break;
    }
  }
}

std::wstring GroupDefinitionWriter::Finish() {
  text_ += L"</Group>\n";
  return std::move(text_);
}

void GroupDefinitionWriter::WriteField(IXMLDOMNode* field, const wchar_t* code) {
  text_ += EqualsIgnoringCase(AttributeValue(field, L"type").c_str(), L"base") ? L"\t<Field type=\"Base\">\n"
                                                                                  : L"\t<Field>\n";
  for (const auto& child : ChildElements(field)) {
    if (IsElementNamed(child.get(), L"EnumMap")) {
      WriteEnumMap(child.get(), code);
      continue;
    }
    // A property without "xml:lang" holds for every language; an empty
    // "xml:lang" is a language no viewer has.
    if (!HasAttribute(child.get(), L"xml:lang") ||
        LanguageMatches(code, AttributeValue(child.get(), L"xml:lang").c_str()))
      WriteTextLine(L"\t\t", LocalName(child.get()), NodeText(child.get()));
  }
  text_ += L"\t</Field>\n";
}

void GroupDefinitionWriter::WriteEnumMap(IXMLDOMNode* map, const wchar_t* code) {
  text_ += L"\t\t<EnumMap>\n";
  for (const auto& value : ChildElements(map)) {
    const std::wstring name = LocalName(value.get());
    const std::wstring coded = AttributeValue(value.get(), L"value");
    text_ += coded.empty() ? L"\t\t\t<" + name + L">\n" : L"\t\t\t<" + name + L" value=\"" + coded + L"\">\n";
    for (const auto& part : ChildElements(value.get())) {
      // Texts for other languages are left out; anything else is the
      // value's own and is copied for every language.
      if (IsElementNamed(part.get(), L"Text") &&
          !LanguageMatches(code, AttributeValue(part.get(), L"xml:lang").c_str()))
        continue;
      WriteTextLine(L"\t\t\t\t", LocalName(part.get()), NodeText(part.get()));
    }
    text_ += L"\t\t\t</" + name + L">\n";
  }
  text_ += L"\t\t</EnumMap>\n";
}

void GroupDefinitionWriter::WriteTextLine(const wchar_t* indent, const std::wstring& name, const std::wstring& text) {
  text_ += indent;
  text_ += L"<" + name + L">" + text + L"</" + name + L">\n";
}

}  // namespace hv
