#include "display/DefinitionDocument.h"

#include "common/Unique.h"
#include "display/LanguageCodes.h"

namespace hv {
namespace {

unique_bstr MakeBstr(const wchar_t* text, size_t length) {
  return unique_bstr(SysAllocStringLen(text, static_cast<UINT>(length)));
}

std::wstring FromBstr(const unique_bstr& text) {
  return text ? std::wstring(text.get(), SysStringLen(text.get())) : std::wstring();
}

}  // namespace

bool ParseDefinition(const std::wstring& text, ComPtr<IXMLDOMDocument>* document, ComPtr<IXMLDOMElement>* root) {
  ComPtr<IXMLDOMDocument> parsed;
  if (FAILED(CoCreateInstance(CLSID_DOMDocument, nullptr, CLSCTX_ALL, IID_IXMLDOMDocument, parsed.put_void())))
    return false;
  unique_bstr source = MakeBstr(text.data(), text.size());
  if (!source) return false;
  VARIANT_BOOL loaded = VARIANT_FALSE;
  if (FAILED(parsed->loadXML(source.get(), &loaded)) || loaded != VARIANT_TRUE) return false;
  ComPtr<IXMLDOMElement> element;
  if (FAILED(parsed->get_documentElement(element.put())) || !element) return false;
  *document = std::move(parsed);
  *root = std::move(element);
  return true;
}

std::vector<ComPtr<IXMLDOMNode>> ChildElements(IXMLDOMNode* node) {
  std::vector<ComPtr<IXMLDOMNode>> children;
  ComPtr<IXMLDOMNode> child;
  if (FAILED(node->get_firstChild(child.put()))) return children;
  while (child) {
    DOMNodeType type = NODE_INVALID;
    if (SUCCEEDED(child->get_nodeType(&type)) && type == NODE_ELEMENT) children.push_back(child);
    ComPtr<IXMLDOMNode> next;
    if (FAILED(child->get_nextSibling(next.put()))) break;
    child = std::move(next);
  }
  return children;
}

std::wstring LocalName(IXMLDOMNode* node) {
  unique_bstr name;
  if (FAILED(node->get_baseName(name.put()))) return std::wstring();
  return FromBstr(name);
}

bool IsElementNamed(IXMLDOMNode* node, const wchar_t* name) {
  DOMNodeType type = NODE_INVALID;
  if (FAILED(node->get_nodeType(&type)) || type != NODE_ELEMENT) return false;
  return EqualsIgnoringCase(LocalName(node).c_str(), name);
}

std::wstring NodeText(IXMLDOMNode* node) {
  unique_bstr text;
  if (FAILED(node->get_text(text.put()))) return std::wstring();
  return FromBstr(text);
}

std::wstring AttributeValue(IXMLDOMNode* node, const wchar_t* name) {
  ComPtr<IXMLDOMElement> element;
  if (FAILED(node->QueryInterface(IID_IXMLDOMElement, element.put_void()))) return std::wstring();
  unique_bstr attribute(SysAllocString(name));
  unique_variant value;
  if (!attribute || element->getAttribute(attribute.get(), value.put()) != S_OK || value->vt != VT_BSTR)
    return std::wstring();
  return std::wstring(value->bstrVal, SysStringLen(value->bstrVal));
}

bool HasAttribute(IXMLDOMNode* node, const wchar_t* name) {
  ComPtr<IXMLDOMElement> element;
  if (FAILED(node->QueryInterface(IID_IXMLDOMElement, element.put_void()))) return false;
  unique_bstr attribute(SysAllocString(name));
  ComPtr<IXMLDOMAttribute> found;
  return attribute && element->getAttributeNode(attribute.get(), found.put()) == S_OK && found;
}

}  // namespace hv
