// What the host is told to do: where to listen, where its database lives,
// which adaptors it runs and the categories each one starts with.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "adaptors/ForwarderSettings.h"
#include "core/Guid.h"
#include "core/Limits.h"
#include "rights/Rights.h"

namespace hv::host {

// Audience bits, and the byte of an adaptor's enable flags that belongs to
// each: VELTRA 1 (byte 0), Dev 2 (byte 1), Eng 4 (byte 2), Op 8 (byte 3).
constexpr uint32_t kAllAudiences = 0xF;
// Severity bits: Error 1, Warning 2, Info 4, Audit 8.
constexpr uint32_t kAllSeverities = 0xF;

enum class AdaptorKind { Store, Forwarder };

struct AdaptorSettings {
  AdaptorKind kind = AdaptorKind::Store;
  std::string name;  // UTF-8; at most 129 UTF-16 code units
  Guid clsid;
  uint32_t audienceMask = kAllAudiences;
  uint32_t severityMask = kAllSeverities;
  std::array<uint8_t, 4> enableFlags{};
  ForwarderSettings forwarder;  // kind Forwarder only
};

// Remote listening: the host's certificate and key, and the authority whose
// client certificates it takes. Each client certificate's common name is
// the account whose rights the client gets.
struct TlsSettings {
  std::string certificate, key, clientCa;
  // TLS even on a loopback address.
  bool required = false;
  bool configured() const { return !certificate.empty(); }
};

struct HostSettings {
  std::string listen = "ip:127.0.0.1:60093";
  std::string database;
  std::string logFile;
  size_t maxConnections = 256;
  Limits limits;
  RightsSettings rights;
  TlsSettings tls;
  std::vector<AdaptorSettings> adaptors;
};

}  // namespace hv::host
