// The host's configuration file: "key = value" lines, "#" comments, and one
// "[adaptor]" section per adaptor. docs/host.md describes every key.
#pragma once
#include <string>
#include <string_view>

#include "core/HostSettings.h"

namespace hv::host {

class ConfigFile {
 public:
  // The class ids of the adaptors this host knows how to run.
  static const Guid& StoreAdaptorClsid();
  static const Guid& ForwarderAdaptorClsid();

  // What runs without a configuration file: the store adaptor accepting
  // everything and the forwarder with nothing enabled. No database path.
  static HostSettings Defaults();

  // Relative paths in the file are taken from the file's folder.
  static bool Load(const std::string& path, HostSettings* out, std::string* error);
  static bool Parse(std::string_view text, const std::string& baseDir, HostSettings* out, std::string* error);

  // "Error,Warning", "Error|Info", "all", "none" or a number 0 to 15.
  static bool ParseSeverities(std::string_view text, uint32_t* mask);
  static bool ParseAudiences(std::string_view text, uint32_t* mask);

  // Checks one adaptor on its own: name, masks, enable flags within them.
  static bool Validate(const AdaptorSettings& adaptor, std::string* error);
};

}  // namespace hv::host
