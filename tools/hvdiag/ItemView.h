// What hvdiag shows of a log item read from a store: its standard fields,
// its message formatted in the thread's language, its extended parameters
// and its chain of child items; as aligned columns or as one JSON line.
#pragma once
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "TAVDiagnostics.h"

namespace hv::diag {

struct ItemView {
  DATE datetime = 0;
  unsigned long severity = 0;
  unsigned long audience = 0;
  long verbosity = 0;
  long messageId = -1;  // -1: the message is a text
  std::wstring location, provider, user, userDescription;
  std::wstring message;  // the item's description (IErrorInfo), formatted when it is asked for
  std::vector<std::pair<std::wstring, std::wstring>> parameters;
  std::vector<ItemView> children;  // the child, its child, ... in chain order
};

// Reads everything from an element of a reading enumerator; a failure means
// the element is not a log item.
HRESULT ReadItemView(IUnknown* element, ItemView* view);

// One JSON object, on one line, without the line end.
std::wstring ItemJson(const ItemView& view);

// Rows of aligned columns: the header, then per item its row and, indented
// below it, its extended parameters and children.
class ItemTable final {
 public:
  void Add(const ItemView& view) { items_.push_back(view); }
  bool empty() const { return items_.empty(); }
  std::wstring Text() const;
  // The columns of one item without alignment, for output that cannot wait
  // for the widths of later items (following).
  static std::wstring Line(const ItemView& view);

 private:
  std::vector<ItemView> items_;
};

}  // namespace hv::diag
