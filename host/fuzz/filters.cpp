// Fuzz target: a reader's or subscriber's filter document, parsed and, when
// it parses, made into the query that walks the store.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "store/Filter.h"
#include "store/FilterQuery.h"

using namespace hv::host;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Filter filter;
  std::string why;
  if (Filter::Parse(std::string_view(reinterpret_cast<const char*>(data), size), &filter, &why))
    (void)FilterQuery::ForFollowing(filter).Conditions();
  return 0;
}
