// Fuzz target: the host's configuration file.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/ConfigFile.h"

using namespace hv::host;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  HostSettings settings;
  std::string why;
  ConfigFile::Parse(std::string_view(reinterpret_cast<const char*>(data), size), "/etc/halvern", &settings, &why);
  return 0;
}
