#include "adaptors/Adaptor.h"

#include "core/Utf.h"

namespace hv::host {

Adaptor::Adaptor(const AdaptorSettings& s)
    : kind_(s.kind),
      clsid_(s.clsid),
      name_(s.name),
      audienceMask_(s.audienceMask),
      severityMask_(s.severityMask),
      flags_(Pack(s.enableFlags)) {}

uint32_t Adaptor::Pack(const std::array<uint8_t, 4>& f) {
  return uint32_t(f[0]) | uint32_t(f[1]) << 8 | uint32_t(f[2]) << 16 | uint32_t(f[3]) << 24;
}

std::array<uint8_t, 4> Adaptor::enableFlags() const {
  uint32_t v = flags_.load(std::memory_order_acquire);
  return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

bool Adaptor::SetEnableFlags(const std::array<uint8_t, 4>& flags, std::string* why) {
  static const char* const kAudience[4] = {"VELTRA", "Dev", "Eng", "Op"};
  for (int i = 0; i < 4; ++i) {
    if (flags[i] & ~severityMask_) {
      *why = std::string("severities ") + std::to_string(flags[i]) + " for " + kAudience[i] +
             " include ones the adaptor does not handle (it handles " + std::to_string(severityMask_) + ")";
      return false;
    }
    if (flags[i] && !(audienceMask_ & (1u << i))) {
      *why = std::string("the adaptor does not serve audience ") + kAudience[i];
      return false;
    }
  }
  flags_.store(Pack(flags), std::memory_order_release);
  return true;
}

bool Adaptor::Accepts(int32_t audience, int32_t severity) const {
  std::array<uint8_t, 4> f = enableFlags();
  uint32_t a = uint32_t(audience);
  uint32_t s = uint32_t(severity);
  for (int i = 0; i < 4; ++i)
    if ((a & (1u << i)) && (f[i] & s)) return true;
  return false;
}

AdaptorInfoRecord Adaptor::Info() const {
  AdaptorInfoRecord r;
  r.audienceMask = audienceMask_;
  r.severityMask = severityMask_;
  r.enableFlags = enableFlags();
  r.name = Utf8ToUtf16(name_);
  return r;
}

}  // namespace hv::host
