// One item as the syslog message the forwarder sends:
//
//   <PRI>1 TIMESTAMP HOSTNAME APP-NAME - HVD [hvd@32473 ...][hvdx@32473 ...] MSG
//
// PRI is facility * 8 + the syslog severity of the item's gravest severity
// bit. TIMESTAMP is the item's datetime in UTC with milliseconds; an item
// whose datetime is 0.0 was never stamped, and the time the host received
// it takes its place. HOSTNAME is the item's location, APP-NAME its provider,
// both cut to printable ASCII. The element "hvd@32473" carries the item's
// fields, "hvdx@32473" its extended parameters. MSG is the message text in
// UTF-8 behind a byte order mark, or "resource N" for a message that is a
// resource id and carries no text: the host cannot load the providers'
// resource libraries, so the id and the insertion arguments travel as data.
#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "adaptors/ForwarderSettings.h"
#include "item/ItemRecord.h"

namespace hv::host {

class SyslogMessage {
 public:
  static constexpr std::string_view kSdId = "hvd@32473";
  static constexpr std::string_view kExtendedSdId = "hvdx@32473";
  static constexpr std::string_view kMsgId = "HVD";

  // Error 3 (err), Warning 4 (warning), Audit 5 (notice), Info 6 (info):
  // an item with several bits gets the gravest of them; one with none of
  // the four (the routing never forwards it) gets info.
  static int Severity(int32_t itemSeverity);

  // The message without framing, at most settings.maxMessageBytes long.
  // settings.hostname and settings.appName stand in for an empty location
  // and provider ("-" when they are empty too).
  static std::string Format(const ItemRecord& item, std::chrono::system_clock::time_point received,
                            const ForwarderSettings& settings);

  // Octet counting: the message's length in bytes, a space, the message.
  static std::string Frame(std::string_view message);
};

}  // namespace hv::host
