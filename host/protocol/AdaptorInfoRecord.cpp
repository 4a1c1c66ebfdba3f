#include "protocol/AdaptorInfoRecord.h"

namespace hv::host {

void AdaptorInfoRecord::Write(ByteWriter& w) const {
  w.u32(audienceMask);
  w.u32(severityMask);
  w.bytes(enableFlags.data(), enableFlags.size());
  size_t units = name.size() < kMaxNameUnits ? name.size() : kMaxNameUnits;
  for (size_t i = 0; i < units; ++i) w.u16(uint16_t(name[i]));
  for (size_t i = units; i < kNameBytes / 2; ++i) w.u16(0);
}

}  // namespace hv::host
