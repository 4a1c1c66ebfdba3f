#include "display/GroupList.h"

#include "common/Result.h"
#include "common/Unique.h"
#include "display/DefinitionDocument.h"
#include "display/LanguageCodes.h"

namespace hv {
namespace {

// One of the two lists: the given member of every group, as a
// VT_ARRAY | VT_VARIANT of BSTRs with lower bound 0.
HRESULT MakeStringArray(const std::vector<GroupList::Group>& groups, std::wstring GroupList::Group::*member,
                        VARIANT* out) {
  unique_safearray array(SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(groups.size())));
  RETURN_HR_IF_NULL(E_OUTOFMEMORY, array.get());
  for (LONG i = 0; i < static_cast<LONG>(groups.size()); ++i) {
    const std::wstring& text = groups[i].*member;
    unique_variant element;
    element->vt = VT_BSTR;
    element->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    RETURN_HR_IF_NULL(E_OUTOFMEMORY, element->bstrVal);
    RETURN_IF_FAILED(SafeArrayPutElement(array.get(), &i, element.get()));
  }
  out->vt = VT_ARRAY | VT_VARIANT;
  out->parray = array.release();
  return S_OK;
}

}  // namespace

void GroupList::AddEntriesOf(IXMLDOMElement* root) {
  for (const auto& entry : ChildElements(root)) AddEntry(entry.get());
}

void GroupList::AddEntry(IXMLDOMNode* entry) {
  std::wstring chosen;
  std::wstring english;
  bool hasEnglish = false;
  for (const auto& child : ChildElements(entry)) {
    if (!IsElementNamed(child.get(), L"DisplayName")) continue;
    const std::wstring lang = AttributeValue(child.get(), L"xml:lang");
    // A later display name replaces an earlier one of the same kind; an
    // English one is the name for viewers whose language the file lacks.
    if (LanguageMatches(viewerCode_, lang.c_str())) chosen = NodeText(child.get());
    if (lang.find(L"en") != std::wstring::npos) {
      english = NodeText(child.get());
      hasEnglish = true;
    }
  }
  // An entry named neither for the viewer nor in English is listed as
  // "No Group", which stands for the top-level fields and so carries no
  // Group element's type.
  const bool noGroup = chosen.empty() && !hasEnglish;
  const std::wstring name = !chosen.empty() ? chosen : noGroup ? std::wstring(kNoGroup) : english;
  if (name.empty()) return;
  // Each name is listed once, with the type of the entry that brought it first.
  for (const auto& group : groups_)
    if (EqualsIgnoringCase(group.name.c_str(), name.c_str())) return;
  std::wstring type = kNoType;
  if (!noGroup && IsElementNamed(entry, L"Group")) {
    const std::wstring value = AttributeValue(entry, L"Name");
    if (!value.empty()) type = value;
  }
  groups_.push_back({name, type});
}

HRESULT GroupList::ToVariants(VARIANT* names, VARIANT* types) const {
  unique_variant namesOut;
  unique_variant typesOut;
  RETURN_IF_FAILED(MakeStringArray(groups_, &Group::name, namesOut.get()));
  RETURN_IF_FAILED(MakeStringArray(groups_, &Group::type, typesOut.get()));
  namesOut.release(names);
  typesOut.release(types);
  return S_OK;
}

}  // namespace hv
