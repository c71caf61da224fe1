// Fuzz target: bytes from a tolvard connection, in either direction. They go through the frame decoder in
// chunks whose sizes come from the input, and every frame is parsed as a client frame and as a server frame;
// monitor updates are further parsed into the object and op messages of their type, as a client would.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/tolvar/FrameCodec.h"
#include "platform/tolvar/TolvarSchema.h"
#include "zantix/qor/tolvar/wire.pb.h"

namespace tv = zantix::qor::tolvar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks the chunk size, so frames are cut at every possible place.
  size_t chunk = 1 + data[0];
  qor::tolvar::FrameDecoder decoder(1 << 20);
  std::string payload;
  for (size_t offset = 1; offset < size; offset += chunk) {
    decoder.Append(reinterpret_cast<const char*>(data) + offset, std::min(chunk, size - offset));
    for (;;) {
      auto result = decoder.Next(&payload);
      if (result != qor::tolvar::FrameDecoder::Result::kFrame) break;
      tv::ClientFrameMsg client;
      (void)client.ParseFromString(payload);
      tv::ServerFrameMsg server;
      if (!server.ParseFromString(payload) || !server.has_monitor()) continue;
      for (const auto& update : server.monitor().updates()) {
        uint32_t type = static_cast<uint32_t>(update.object_type());
        auto object = qor::tolvar::NewObject(type);
        auto op = qor::tolvar::NewOp(type);
        if (!object) continue;
        (void)object->ParseFromString(update.new_object_body());
        (void)op->ParseFromString(update.op_message());
        std::string id;
        if (qor::tolvar::ObjectIdBytes(*object, &id)) (void)qor::tolvar::ObjectIdText(type, id);
      }
    }
  }
  return 0;
}
