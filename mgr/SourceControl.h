// Source-control documents: the XML text with which a viewer names the adaptor
// to read from and hands that adaptor its own settings.
#pragma once
#include <windows.h>
#include <oleauto.h>

namespace hv {

// The adaptor a source-control document names and the XML text of its own
// settings (null when the document has none). An empty or null text names the
// default adaptor. Fails with the DOM's or the class-id conversion's error; a
// text that is not well-formed fails too (see docs/decisions.md).
HRESULT ParseSourceControl(BSTR text, CLSID* adaptor, BSTR* adaptorSpecific);

// Whether the document names the default adaptor exactly as the registry
// spells its class id and every log it lists is on "localhost". Anything that
// cannot be read counts as local.
bool IsLocalSourceDocument(BSTR text);

// A filter counts as given only when it has text.
inline bool IsEmptyText(BSTR text) { return text == nullptr || SysStringLen(text) == 0; }

}  // namespace hv
