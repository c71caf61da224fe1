#include "apps/config/MacManagementValue.h"

#include <cstring>

#include "core/Logger.h"

namespace VevUroro {

std::optional<std::string> BuildMacManagement(const zantix::qor::tolvar::MacManagementMsg& mac) {
  const auto& learning = mac.mac_learning();
  uint32_t limit = kMaxMacLimit;
  uint8_t policy = 0;
  if (learning.has_limit()) {
    limit = learning.limit().limit();
    if (limit > kMaxMacLimit) {
      Logger(LOG_LEVEL_ERROR, "Invalid MAC Limit value [%1]. Max value is [%2]", limit, kMaxMacLimit)
          .AddTag("errorCode:LCP00001");
      return std::nullopt;
    }
    switch (learning.limit().policy()) {
      case 1:
        policy = 0;
        break;
      case 2:
        policy = 1;
        break;
      default:
        Logger(LOG_LEVEL_ERROR, "Unsupported MAC Limit Policy [%1]", learning.limit().policy())
            .AddTag("errorCode:LCP00001");
        return std::nullopt;
    }
  } else {
    Logger(LOG_LEVEL_DEBUG, "Setting default MAC limit[%1] and MAC limit policy[%2] values", limit, policy);
  }
  std::string value(11, '\0');
  value[0] = mac.mac_change_allowed() ? 1 : 0;
  value[1] = learning.unknown_unicast_flooding() ? 1 : 0;
  value[2] = learning.enabled() ? 1 : 0;
  std::memcpy(value.data() + 3, &limit, sizeof(limit));
  value[7] = static_cast<char>(policy);
  return value;
}

}  // namespace VevUroro
