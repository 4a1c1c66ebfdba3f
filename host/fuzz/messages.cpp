// Fuzz target: the payload of a Post or Transact frame as a Mux message,
// written back and read again when it reads.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "protocol/MuxMessage.h"

using namespace hv::host;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MuxMessage message;
  std::string why;
  if (!MuxMessage::Decode(data, size, &message, &why)) return 0;
  std::vector<uint8_t> again;
  hv::ByteWriter w(&again);
  message.Write(w);
  MuxMessage second;
  // What the host writes, it reads.
  if (!MuxMessage::Decode(again.data(), again.size(), &second, &why)) std::abort();
  return 0;
}
