#include "log/PropertyBlock.h"

#include <objbase.h>

namespace hv {

void FreePropertyBlock(PropertyBlock* block) {
  if (!block) return;
  CoTaskMemFree(block->first);
  CoTaskMemFree(block->second);
  if (block->records) {
    for (ULONG i = 0; i < block->recordCount; ++i) CoTaskMemFree(block->records[i].block);
    CoTaskMemFree(block->records);
  }
  PropertyEntry* properties = PropertiesOf(block);
  for (ULONG i = 0; i < block->propertyCount; ++i) {
    CoTaskMemFree(properties[i].name);
    VariantClear(&properties[i].value);
  }
  CoTaskMemFree(block);
}

}  // namespace hv
