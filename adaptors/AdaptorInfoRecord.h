// The fixed record in which the Mux describes one adaptor (little-endian):
//   0  audience mask            4 bytes
//   4  severity mask            4 bytes
//   8  enabled severity masks   4 bytes, one per audience: VELTRA, Dev, Eng, Op
//   12 adaptor name             260 bytes, UTF-16, NUL-terminated within the field
#pragma once
#include <cstddef>
#include <cstdint>

namespace hv {

#pragma pack(push, 1)
struct AdaptorInfoRecord {
  uint32_t audienceMask;
  uint32_t severityMask;
  uint8_t enableFlags[4];
  char16_t name[130];
};
#pragma pack(pop)

static_assert(sizeof(AdaptorInfoRecord) == 272, "the Mux sends 272-byte adaptor records");
static_assert(offsetof(AdaptorInfoRecord, name) == 12, "the name follows the three masks");

}  // namespace hv
