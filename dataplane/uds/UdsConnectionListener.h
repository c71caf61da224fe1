// Common::UdsConnectionListener: what a user of the Unix-socket layer (the host-agent link, the container service)
// is told about its connections. Called on the IO thread that runs the connection's io_context, one call at a
// time per connection; a listener must not block that thread for long.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Common {

class UdsConnectionListener {
 public:
  virtual ~UdsConnectionListener() = default;
  // The connection `id` came up (true) or went down (false); down is reported once, after which the id is dead.
  virtual void OnConnectionStatusChange(uint64_t id, bool up) = 0;
  // One whole frame as the connection's framer delimited it (header included). The bytes are valid during the call.
  virtual void OnMessage(uint64_t id, const uint8_t* data, size_t length) = 0;
};

}  // namespace Common
