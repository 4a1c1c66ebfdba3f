// One stored message: the columns that readers filter on, taken from the
// item when it arrives, and the item stream itself, kept byte for byte.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "item/ItemRecord.h"

namespace hv::host {

struct StoreRow {
  double time = 0.0;  // OLE DATE, UTC
  std::optional<std::string> timeText;
  int32_t severity = 0;
  int32_t audience = 0;
  int32_t verbosity = 0;
  std::string location;
  std::string provider;
  std::string userName;
  int32_t messageId = -1;
  std::string messageText;
  std::shared_ptr<const std::vector<uint8_t>> stream;

  static StoreRow FromItem(const ItemRecord& item, std::shared_ptr<const std::vector<uint8_t>> stream);
  // What the row holds in memory while it waits for the writer.
  size_t ApproximateSize() const;
};

}  // namespace hv::host
