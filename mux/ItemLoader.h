// Turns the item streams the service hands back into log items: each stream
// is loaded by a new item of the library's item class, exactly as the item
// would load it from any other stream.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/ComPtr.h"
#include "common/ItemMaker.h"

namespace hv {

class ItemLoader {
 public:
  // The item streams of one page, copied once into one memory stream; each
  // item is loaded from its place in it, without a copy of its own.
  struct Page {
    ComPtr<IStream> stream;
    std::vector<ULONG> offsets;  // where each item's stream begins
    std::vector<ULONG> ends;     // and where it ends
  };

  // A new log item holding the stream's content, as its IUnknown.
  HRESULT Load(const uint8_t* stream, size_t size, IUnknown** item);
  // A new log item holding the item that lies from offset to end in the
  // page; an item that would read beyond its end is malformed.
  HRESULT LoadAt(IStream* page, ULONG offset, ULONG end, IUnknown** item);
  // Copies the items' bytes, one after the other, into page.
  static HRESULT MakePage(const uint8_t* const* streams, const size_t* sizes, size_t count, Page* page);

 private:
  // An item never handed out that makes the items loaded.
  ComPtr<IItemMaker> maker_;
};

}  // namespace hv
