// The list of field groups a viewer offers: each group's display name in the
// viewer's language, paired with its type (the "Name" of its Group element).
#pragma once
#include <windows.h>
#include <msxml.h>

#include <string>
#include <vector>

namespace hv {

class GroupList final {
 public:
  // The name of the pseudo-group of top-level fields, and of every group
  // without a display name for the viewer or in English.
  static constexpr const wchar_t* kNoGroup = L"No Group";
  // The type of a group whose Group element has no "Name", and of "No Group".
  static constexpr const wchar_t* kNoType = L" ";

  explicit GroupList(const wchar_t* viewerCode) : viewerCode_(viewerCode) {}

  // Adds the top-level entries of one definition document.
  void AddEntriesOf(IXMLDOMElement* root);

  // Sets both outputs to new VT_ARRAY | VT_VARIANT arrays of BSTRs (lower
  // bound 0): the names and, at the same positions, their types. Whatever the
  // outputs held before is overwritten, not cleared.
  HRESULT ToVariants(VARIANT* names, VARIANT* types) const;

  struct Group {
    std::wstring name;
    std::wstring type;
  };

 private:
  void AddEntry(IXMLDOMNode* entry);

  const wchar_t* viewerCode_;
  std::vector<Group> groups_;
};

}  // namespace hv
