// What every adaptor of the host shares: its identity, the audiences and
// severities it handles, and its enable flags, which connections read for
// every item while a "8" message may change them.
//
// An item with audience bits A and severity bits S is accepted when for some
// audience bit in A the adaptor's enabled severities for that audience share
// a bit with S.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "adaptors/Delivery.h"
#include "core/HostSettings.h"
#include "item/ItemRecord.h"
#include "protocol/AdaptorInfoRecord.h"

namespace hv::host {

class Adaptor {
 public:
  explicit Adaptor(const AdaptorSettings& settings);
  virtual ~Adaptor() = default;
  Adaptor(const Adaptor&) = delete;
  Adaptor& operator=(const Adaptor&) = delete;

  AdaptorKind kind() const { return kind_; }
  const Guid& clsid() const { return clsid_; }
  const std::string& name() const { return name_; }
  uint32_t audienceMask() const { return audienceMask_; }
  uint32_t severityMask() const { return severityMask_; }

  // Bytes for VELTRA, Dev, Eng, Op.
  std::array<uint8_t, 4> enableFlags() const;
  // Refuses severities the adaptor does not handle and any severity for an
  // audience it does not serve; then nothing changes.
  bool SetEnableFlags(const std::array<uint8_t, 4>& flags, std::string* why);
  bool Accepts(int32_t audience, int32_t severity) const;

  AdaptorInfoRecord Info() const;

  // Whether the adaptor answers reading requests (the client offers its
  // reader interface only then).
  virtual bool CanRead() const = 0;
  // Takes the item; calls delivery->Complete exactly once, now or later.
  virtual void Deliver(const ItemRecord& item, const std::shared_ptr<const std::vector<uint8_t>>& stream,
                       const std::shared_ptr<Delivery>& delivery) = 0;

 private:
  static uint32_t Pack(const std::array<uint8_t, 4>& flags);

  const AdaptorKind kind_;
  const Guid clsid_;
  const std::string name_;
  const uint32_t audienceMask_;
  const uint32_t severityMask_;
  std::atomic<uint32_t> flags_;  // byte 0 VELTRA ... byte 3 Op
};

}  // namespace hv::host
