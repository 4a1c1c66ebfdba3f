// Turns the item streams the service hands back into log items: each stream
// is loaded by a new item of the library's item class, exactly as the item
// would load it from any other stream.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "common/ComPtr.h"

namespace hv {

class ItemLoader {
 public:
  // A new log item holding the stream's content, as its IUnknown.
  HRESULT Load(const uint8_t* stream, size_t size, IUnknown** item);

 private:
  // Kept: creating many items through one factory saves a registry lookup each.
  ComPtr<IClassFactory> factory_;
};

}  // namespace hv
