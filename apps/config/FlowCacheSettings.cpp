#include "apps/config/FlowCacheSettings.h"

#include <fcntl.h>

#include <cstring>
#include <vector>

#include "core/Logger.h"
#include "platform/device/DeviceFile.h"

namespace VevUroro {

namespace {

std::vector<uint8_t> FlowCacheBlock(uint64_t milliseconds, uint32_t parameter) {
  std::vector<uint8_t> block(16, 0);
  std::memcpy(block.data(), &milliseconds, sizeof(milliseconds));
  std::memcpy(block.data() + 8, &parameter, sizeof(parameter));
  return block;
}

std::vector<uint8_t> NetqueueBlock(bool enabled) {
  std::vector<uint8_t> block(12, 0);
  const uint32_t length = 12;
  const uint16_t parameter = 15;
  const uint16_t eight = 8;
  const uint32_t value = enabled ? 1 : 0;
  std::memcpy(block.data(), &length, 4);
  std::memcpy(block.data() + 4, &parameter, 2);
  std::memcpy(block.data() + 6, &eight, 2);
  std::memcpy(block.data() + 8, &value, 4);
  return block;
}

// One flow-cache parameter: range check, then the request; failures are logged with `what` ("flow expr time").
void SetFlowCacheParameter(qor::device::DeviceFile& fc, const char* what, int64_t seconds, int64_t min, int64_t max,
                           uint32_t parameter) {
  if (seconds < min || seconds > max) {
    Logger(LOG_LEVEL_ERROR,
           (std::string("Failed to set FC ") + what + "[%1]. Specify value between %2-%3 seconds").c_str(), seconds,
           min, max);
    return;
  }
  auto block = FlowCacheBlock(static_cast<uint64_t>(seconds) * 1000, parameter);
  if (int error = fc.Ioctl(FlowCacheSettings::kFlowCacheSetParameter, &block)) {
    Logger(LOG_LEVEL_ERROR, (std::string("Failed to set FC ") + what + "[%1] %2").c_str(), seconds,
           qor::device::ErrorText(error));
  }
}

}  // namespace

FlowCacheSettings FlowCacheSettings::FromConfig(const ConfigTree& subtree) {
  FlowCacheSettings s;
  s.enabled = ConfigValue<bool>(subtree, "features.flowCache.enabled", true);
  s.mcastEnabled = ConfigValue<bool>(subtree, "features.flowCache.mcastEnabled", true);
  s.flowExprTime = ConfigValue<int64_t>(subtree, "features.flowCache.flowExprTime", 180);
  s.flowAgingInterval = ConfigValue<int64_t>(subtree, "features.flowCache.flowAgingInterval", 360);
  if (auto netq = subtree.get_optional<bool>("features.dbridge.vswitchNetqHandling")) s.netqueueHandling = *netq;
  return s;
}

void FlowCacheSettings::ApplyToKernel() const {
  Logger(LOG_LEVEL_INFO,
         "DVSPropConvertor start: FC enabled %1, mcastEnabled %2, flowExprTime %3, flowAgingInterval %4", enabled,
         mcastEnabled, flowExprTime, flowAgingInterval);
  qor::device::DeviceFile fc;
  if (int error = fc.Open("/dev/fc", O_RDONLY)) {
    Logger(LOG_LEVEL_ERROR, "Failed to open FC chardev %1", qor::device::ErrorText(error));
  } else {
    SetFlowCacheParameter(fc, "flow expr time", flowExprTime, kMinExpiry, kMaxExpiry, kFlowExpiryTime);
    SetFlowCacheParameter(fc, "flow aging interval", flowAgingInterval, kMinAging, kMaxAging, kFlowAgingInterval);
    // A request that failed on a broken stream has closed the descriptor already.
    if (fc.IsOpen()) {
      if (int error = fc.Close())
        Logger(LOG_LEVEL_ERROR, "Failed to close FC chardev %1", qor::device::ErrorText(error));
    }
  }
  if (!netqueueHandling) return;
  Logger(LOG_LEVEL_INFO, "DVSPropConvertor start: DBridge vswitch netqueue handling enabled %1", *netqueueHandling);
  qor::device::DeviceFile vswitch;
  if (int error = vswitch.Open("/dev/vswitch", O_RDONLY)) {
    Logger(LOG_LEVEL_ERROR, "Failed to open vswitch chardev %1", qor::device::ErrorText(error));
    return;
  }
  auto block = NetqueueBlock(*netqueueHandling);
  if (int error = vswitch.Ioctl(kVswitchSetNetqueueHandling, &block)) {
    Logger(LOG_LEVEL_ERROR, "Failed to set DBridge vswitch netqueue handling enabled [%1] %2", *netqueueHandling,
           qor::device::ErrorText(error));
  }
  if (vswitch.IsOpen()) {
    if (int error = vswitch.Close()) {
      Logger(LOG_LEVEL_ERROR, "Failed to close vswitch chardev %1", qor::device::ErrorText(error));
    }
  }
}

}  // namespace VevUroro
