#include "apps/config/MessageBuffer.h"

#include <syslog.h>

#include <cstdlib>
#include <cstring>

namespace VevUroro {

uint8_t* CopyToMessageBuffer(const std::vector<uint8_t>& bytes) {
  auto* buffer = static_cast<uint8_t*>(std::calloc(bytes.empty() ? 1 : bytes.size(), 1));
  if (!buffer) {
    syslog(LOG_ERR, "VEVURORO_ALLOC_FAIL : VevUroro error: no memory!");
    closelog();
    std::exit(1);
  }
  if (!bytes.empty()) std::memcpy(buffer, bytes.data(), bytes.size());
  return buffer;
}

}  // namespace VevUroro
