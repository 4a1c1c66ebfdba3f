// Between the library's own modules only: an item of the library makes
// further items of its class loaded from item streams, without the class
// factory and without the creation stamp that loading replaces anyway. A
// reader that turns a page of streams into items asks one item for the rest.
#pragma once
#include <windows.h>
#include <objidl.h>

namespace hv {

// {6E2D1B7A-94C3-4F08-8A5E-2C7B9D4F1E63}
inline constexpr IID IID_IItemMaker = {0x6e2d1b7a, 0x94c3, 0x4f08, {0x8a, 0x5e, 0x2c, 0x7b, 0x9d, 0x4f, 0x1e, 0x63}};

struct IItemMaker : public IUnknown {
  // A new, independent item holding the item stream that lies from offset to
  // end in stream, as its IUnknown; the same result as a new item's Load from
  // offset, and a stream read beyond end is malformed (E_FAIL).
  virtual HRESULT STDMETHODCALLTYPE MakeLoadedItem(IStream* stream, ULONG offset, ULONG end, IUnknown** item) = 0;
};

}  // namespace hv
