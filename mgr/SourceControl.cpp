// Reading source-control documents with the platform's XML DOM, and the
// manager's two operations on them.
#include "mgr/SourceControl.h"

#include <msxml.h>

#include <string>

#include "common/ComPtr.h"
#include "common/ErrorInfo.h"
#include "common/Result.h"
#include "common/Unique.h"
#include "mgr/CTAVDiagnosticLogMgr.h"

namespace hv {
namespace {

constexpr wchar_t kAdaptorAttribute[] = L"AdaptorCLSID";
constexpr wchar_t kAdaptorSpecific[] = L"AdaptorSpecific";
constexpr wchar_t kLogs[] = L"Logs";
constexpr wchar_t kLocalHost[] = L"localhost";

// Loads the text into a new DOM document. S_FALSE when the text is not
// well-formed (the load itself worked).
HRESULT LoadDocument(BSTR text, ComPtr<IXMLDOMDocument>* document) {
  ComPtr<IXMLDOMDocument> created;
  RETURN_IF_FAILED(
      CoCreateInstance(CLSID_DOMDocument, nullptr, CLSCTX_ALL, IID_IXMLDOMDocument, created.put_void()));
  VARIANT_BOOL loaded = VARIANT_FALSE;
  RETURN_IF_FAILED(created->loadXML(text, &loaded));
  *document = std::move(created);
  return loaded == VARIANT_TRUE ? S_OK : S_FALSE;
}

// The parser's own code for a text that did not load; E_INVALIDARG when it
// gives none.
HRESULT ParseFailure(IXMLDOMDocument* document) {
  HRESULT code = E_INVALIDARG;
  ComPtr<IXMLDOMParseError> error;
  if (SUCCEEDED(document->get_parseError(error.put())) && error) {
    long reported = 0;
    if (SUCCEEDED(error->get_errorCode(&reported)) && FAILED(reported)) code = reported;
    unique_bstr reason;
    if (SUCCEEDED(error->get_reason(reason.put())) && reason) {
      std::wstring message = L"The source-control document is not well-formed XML: ";
      message += reason.get();
      ReportError(message.c_str());
      return code;
    }
  }
  ReportError(L"The source-control document is not well-formed XML.");
  return code;
}

bool HasName(IXMLDOMNode* node, const wchar_t* name) {
  unique_bstr nodeName;
  return node && SUCCEEDED(node->get_nodeName(nodeName.put())) && nodeName && wcscmp(nodeName.get(), name) == 0;
}

ComPtr<IXMLDOMNode> FirstChild(IXMLDOMNode* node) {
  ComPtr<IXMLDOMNode> child;
  if (FAILED(node->get_firstChild(child.put()))) child.reset();
  return child;
}

ComPtr<IXMLDOMNode> NextSibling(IXMLDOMNode* node) {
  ComPtr<IXMLDOMNode> next;
  if (FAILED(node->get_nextSibling(next.put()))) next.reset();
  return next;
}

// The root's "AdaptorCLSID" attribute; null when it is absent or the lookup fails.
ComPtr<IXMLDOMNode> AdaptorAttribute(IXMLDOMElement* root) {
  ComPtr<IXMLDOMNamedNodeMap> attributes;
  ComPtr<IXMLDOMNode> attribute;
  unique_bstr name(SysAllocString(kAdaptorAttribute));
  if (!name || FAILED(root->get_attributes(attributes.put())) || !attributes ||
      FAILED(attributes->getNamedItem(name.get(), attribute.put())))
    attribute.reset();
  return attribute;
}

std::wstring DefaultAdaptorString() {
  wchar_t text[40] = {};
  StringFromGUID2(CLSID_HVStoreAdaptor, text, 40);
  return text;
}

// A log entry is local when the value of its first child node mentions
// "localhost", in any letter case.
bool NamesLocalLog(IXMLDOMNode* entry) {
  ComPtr<IXMLDOMNode> first = FirstChild(entry);
  if (!first) return false;
  unique_variant value;
  if (FAILED(first->get_nodeValue(value.put())) || value->vt != VT_BSTR || !value->bstrVal) return false;
  std::wstring text(value->bstrVal, SysStringLen(value->bstrVal));
  if (!text.empty()) CharLowerBuffW(&text[0], static_cast<DWORD>(text.size()));
  return text.find(kLocalHost) != std::wstring::npos;
}

}  // namespace

HRESULT ParseSourceControl(BSTR text, CLSID* adaptor, BSTR* adaptorSpecific) {
  *adaptor = CLSID_HVStoreAdaptor;
  *adaptorSpecific = nullptr;
  if (IsEmptyText(text)) return S_OK;

  ComPtr<IXMLDOMDocument> document;
  const HRESULT loaded = LoadDocument(text, &document);
  RETURN_IF_FAILED(loaded);
  // A broken document must not fall back to the default adaptor: the caller
  // meant some adaptor, and reading another one's logs would hide the mistake.
  if (loaded != S_OK) return ParseFailure(document.get());

  ComPtr<IXMLDOMElement> root;
  RETURN_IF_FAILED(document->get_documentElement(root.put()));
  RETURN_HR_IF_NULL(E_FAIL, root);

  if (ComPtr<IXMLDOMNode> attribute = AdaptorAttribute(root.get())) {
    unique_bstr value;
    RETURN_IF_FAILED(attribute->get_text(value.put()));
    // Only the registry form of a class id is accepted, never a program id.
    RETURN_HR_IF(CO_E_CLASSSTRING, !value || value.get()[0] != L'{');
    RETURN_IF_FAILED(CLSIDFromString(value.get(), adaptor));
  }

  unique_bstr specific;
  for (ComPtr<IXMLDOMNode> child = FirstChild(root.get()); child; child = NextSibling(child.get())) {
    if (!HasName(child.get(), kAdaptorSpecific)) continue;
    // When there are several, the last one counts.
    RETURN_IF_FAILED(child->get_xml(specific.put()));
  }
  *adaptorSpecific = specific.release();
  return S_OK;
}

bool IsLocalSourceDocument(BSTR text) {
  if (IsEmptyText(text)) return true;
  ComPtr<IXMLDOMDocument> document;
  if (LoadDocument(text, &document) != S_OK) return true;
  ComPtr<IXMLDOMElement> root;
  if (FAILED(document->get_documentElement(root.put())) || !root) return true;

  ComPtr<IXMLDOMNode> attribute = AdaptorAttribute(root.get());
  if (!attribute) return true;
  unique_bstr value;
  if (FAILED(attribute->get_text(value.put()))) return true;
  // Any other adaptor, or the default one spelled differently, reads remote logs.
  if (DefaultAdaptorString() != (value ? value.get() : L"")) return false;

  ComPtr<IXMLDOMNode> specific = FirstChild(root.get());
  if (!HasName(specific.get(), kAdaptorSpecific)) return true;
  ComPtr<IXMLDOMNode> logs = FirstChild(specific.get());
  if (!HasName(logs.get(), kLogs)) return true;
  for (ComPtr<IXMLDOMNode> entry = FirstChild(logs.get()); entry; entry = NextSibling(entry.get())) {
    if (!NamesLocalLog(entry.get())) return false;
  }
  return true;
}

HRESULT CTAVDiagnosticLogMgr::OpenAdaptor(BSTR bstrXMLSourceControl, BSTR* pbstrAdaptorSpecific,
                                          IAdaptorReader** ppReader) {
  *ppReader = nullptr;
  *pbstrAdaptorSpecific = nullptr;
  CLSID adaptor = CLSID_NULL;
  unique_bstr specific;
  RETURN_IF_FAILED(ParseSourceControl(bstrXMLSourceControl, &adaptor, specific.put()));
  // The adaptor's record is not needed to read from it.
  AdaptorInfoRecord record;
  ComPtr<IUnknown> unknown;
  RETURN_IF_FAILED(RequestAdaptorInterface(&adaptor, &record, unknown.put()));
  RETURN_HR_IF_NULL(E_NOINTERFACE, unknown);
  ComPtr<IAdaptorReader> reader;
  RETURN_IF_FAILED(unknown->QueryInterface(IID_IAdaptorReader, reader.put_void()));
  *ppReader = reader.release();
  *pbstrAdaptorSpecific = specific.release();
  return S_OK;
}

BOOL CTAVDiagnosticLogMgr::IsLocalSource(BSTR bstrXMLSourceControl) {
  return IsLocalSourceDocument(bstrXMLSourceControl) ? TRUE : FALSE;
}

}  // namespace hv
