// The manager's display operations: which field groups the definition files
// describe, and one group's definition, in the viewer's language. Both parse
// the definition texts kept by the manager again on every call.
#include <new>

#include "common/Result.h"
#include "common/Unique.h"
#include "display/DefinitionDocument.h"
#include "display/DefinitionFiles.h"
#include "display/GroupDefinitionWriter.h"
#include "display/GroupList.h"
#include "display/LanguageCodes.h"
#include "mgr/CTAVDiagnosticLogMgr.h"

namespace hv {

namespace {

// Feeds every definition text that parses to sink; the others are passed
// over on each call, as if they were not there.
template <class Sink>
void ForEachDefinition(const std::vector<std::wstring>& files, Sink& sink) {
  for (const auto& text : files) {
    ComPtr<IXMLDOMDocument> document;
    ComPtr<IXMLDOMElement> root;
    if (ParseDefinition(text, &document, &root)) sink.AddEntriesOf(root.get());
  }
}

}  // namespace

STDMETHODIMP CTAVDiagnosticLogMgr::GetReaderFieldGroupNames(ULONG dwLCID, VARIANT* varGroupNames,
                                                            VARIANT* varGroupTypes) {
  RETURN_HR_IF_NULL(E_POINTER, varGroupNames);
  RETURN_HR_IF_NULL(E_POINTER, varGroupTypes);
  try {
    auto lock = lock_.lock();
    RETURN_IF_FAILED(EnsureDefinitionFilesLoaded(&definitionFiles_));
    // Without definition files the viewer keeps what it had.
    if (definitionFiles_->empty()) return S_OK;
    GroupList groups(LanguageCodeForLcid(dwLCID));
    ForEachDefinition(*definitionFiles_, groups);
    return groups.ToVariants(varGroupNames, varGroupTypes);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

STDMETHODIMP CTAVDiagnosticLogMgr::GetGroupDefinition(ULONG dwLCID, BSTR bstrGroupName, BSTR bstrGroupType,
                                                      BSTR* bstrGroupSchema) {
  RETURN_HR_IF_NULL(E_POINTER, bstrGroupSchema);
  try {
    auto lock = lock_.lock();
    RETURN_IF_FAILED(EnsureDefinitionFilesLoaded(&definitionFiles_));
    if (definitionFiles_->empty()) return S_OK;
    const std::wstring name(bstrGroupName ? bstrGroupName : L"", SysStringLen(bstrGroupName));
    const std::wstring type(bstrGroupType ? bstrGroupType : L"", SysStringLen(bstrGroupType));
    GroupDefinitionWriter writer(LanguageCodeForLcid(dwLCID), name, type);
    ForEachDefinition(*definitionFiles_, writer);
    const std::wstring text = writer.Finish();
    BSTR schema = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    RETURN_IF_NULL_ALLOC(schema);
    *bstrGroupSchema = schema;
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace hv
