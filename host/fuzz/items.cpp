// Fuzz target: an item stream as the host reads it before routing.
#include <cstddef>
#include <cstdint>
#include <string>

#include "item/ItemStreamDecoder.h"

using namespace hv::host;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ItemRecord item;
  std::string why;
  ItemStreamDecoder::Decode(data, size, &item, &why);
  return 0;
}
