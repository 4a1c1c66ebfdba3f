// Reading a definition file's text with the platform's XML DOM: the document
// element, element children, local names, texts and attributes.
#pragma once
#include <windows.h>
#include <msxml.h>

#include <string>
#include <vector>

#include "common/ComPtr.h"

namespace hv {

// Parses one definition text with a new DOM document and hands out the
// document and its document element. False when the document cannot be
// created, the text is not well-formed or it has no document element.
bool ParseDefinition(const std::wstring& text, ComPtr<IXMLDOMDocument>* document, ComPtr<IXMLDOMElement>* root);

// The element children of a node, in document order; comments, text and
// processing instructions are left out.
std::vector<ComPtr<IXMLDOMNode>> ChildElements(IXMLDOMNode* node);

// The element's name without its namespace prefix, spelled as in the file.
std::wstring LocalName(IXMLDOMNode* node);
// Whether the element's local name is name, without regard to letter case.
bool IsElementNamed(IXMLDOMNode* node, const wchar_t* name);
// The node's text content as the DOM reports it.
std::wstring NodeText(IXMLDOMNode* node);
// The value of the attribute with exactly this name; empty when missing.
std::wstring AttributeValue(IXMLDOMNode* node, const wchar_t* name);
// Whether the node is an element with an attribute of exactly this name,
// empty or not.
bool HasAttribute(IXMLDOMNode* node, const wchar_t* name);

}  // namespace hv
