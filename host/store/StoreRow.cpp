#include "store/StoreRow.h"

#include "core/OleDate.h"
#include "core/Utf.h"

namespace hv::host {

StoreRow StoreRow::FromItem(const ItemRecord& item, std::shared_ptr<const std::vector<uint8_t>> stream) {
  StoreRow row;
  row.time = item.dateTime;
  row.timeText = OleDateToIso(item.dateTime);
  row.severity = item.severity;
  row.audience = item.audience;
  row.verbosity = item.verbosity;
  row.location = Utf16ToUtf8(item.location);
  row.provider = Utf16ToUtf8(item.provider);
  row.userName = Utf16ToUtf8(item.userName);
  row.messageId = item.messageId;
  row.messageText = Utf16ToUtf8(item.messageText);
  row.stream = std::move(stream);
  return row;
}

size_t StoreRow::ApproximateSize() const {
  return sizeof(StoreRow) + location.size() + provider.size() + userName.size() + messageText.size() +
         (stream ? stream->size() : 0);
}

}  // namespace hv::host
