// Fuzz target: a client's byte stream cut into frames, each payload read by
// the decoder of its kind, as a connection does.
#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/FrameReader.h"
#include "protocol/Hello.h"
#include "protocol/MuxMessage.h"
#include "protocol/ReadFrames.h"

using namespace hv::host;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FrameReader reader;
  // Two pieces, so a frame split between reads is tried too.
  size_t half = size / 2;
  reader.Append(data, half);
  for (int piece = 0; piece < 2; ++piece) {
    if (piece) reader.Append(data + half, size - half);
    Frame frame;
    std::string why;
    while (reader.Next(&frame, &why) == FrameReader::Status::HaveFrame) {
      const uint8_t* p = frame.payload.data();
      size_t n = frame.payload.size();
      Hello hello;
      MuxMessage message;
      OpenReaderRequest open;
      SubscribeRequest subscribe;
      HandleRequest handle;
      Hello::Decode(p, n, &hello);
      MuxMessage::Decode(p, n, &message, &why);
      OpenReaderRequest::Decode(p, n, &open, &why);
      SubscribeRequest::Decode(p, n, &subscribe, &why);
      for (int numbers = 0; numbers <= 2; ++numbers) HandleRequest::Decode(p, n, numbers, &handle, &why);
    }
  }
  return 0;
}
