#include "store/StoreRow.h"

#include <cstring>

#include "core/OleDate.h"
#include "core/Utf.h"

namespace hv::host {

namespace {

// Items logged together carry the same time (the library stamps whole
// seconds), so each thread keeps the text of the last time it wrote.
const std::optional<std::string>& TimeText(double date) {
  thread_local double lastDate = 0.0;
  thread_local std::optional<std::string> lastText = OleDateToIso(0.0);
  // Compared bit for bit: a NaN never equals itself, and 0.0 and -0.0 differ.
  if (std::memcmp(&date, &lastDate, sizeof date) != 0) {
    lastText = OleDateToIso(date);
    lastDate = date;
  }
  return lastText;
}

}  // namespace

StoreRow StoreRow::FromItem(const ItemRecord& item, std::shared_ptr<const std::vector<uint8_t>> stream) {
  StoreRow row;
  row.time = item.dateTime;
  row.timeText = TimeText(item.dateTime);
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
