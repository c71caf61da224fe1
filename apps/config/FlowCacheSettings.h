// The flow-cache and netqueue settings of the agent's configuration (the configuration application's subtree),
// and their one-time application to the kernel when the property converter starts.
//
// Keys: "features.flowCache.enabled" (default true), "features.flowCache.mcastEnabled" (default true),
// "features.flowCache.flowExprTime" (seconds, 5..360, default 180), "features.flowCache.flowAgingInterval" (seconds,
// 5..86,400, default 360), "features.dbridge.vswitchNetqHandling" (optional boolean).
//
// Kernel: the flow-cache device "/dev/fc" takes request 10 with a 16-byte block {64-bit value in milliseconds,
// 32-bit parameter ID (2 expiry time, 3 aging interval), 4 bytes padding}; the switch device "/dev/vswitch" takes
// request 0x2001 with a 12-byte block {32-bit length 12, 16-bit parameter 15, 16-bit 8, 32-bit enabled}; integers
// in the host's order. Out-of-range values, failed opens and failed requests are logged and leave the kernel's
// defaults in force. Runs on the caller's thread (start-up).
#pragma once

#include <cstdint>
#include <optional>

#include "core/startup/ConfigTree.h"

namespace VevUroro {

struct FlowCacheSettings {
  static constexpr int64_t kMinExpiry = 5;
  static constexpr int64_t kMaxExpiry = 360;
  static constexpr int64_t kMinAging = 5;
  static constexpr int64_t kMaxAging = 86400;
  static constexpr uint32_t kFlowCacheSetParameter = 10;
  static constexpr uint32_t kFlowExpiryTime = 2;
  static constexpr uint32_t kFlowAgingInterval = 3;
  static constexpr uint32_t kVswitchSetNetqueueHandling = 0x2001;

  bool enabled = true;
  bool mcastEnabled = true;
  int64_t flowExprTime = 180;
  int64_t flowAgingInterval = 360;
  std::optional<bool> netqueueHandling;

  static FlowCacheSettings FromConfig(const ConfigTree& subtree);
  // Logs the settings and applies them through the platform's device access.
  void ApplyToKernel() const;
};

}  // namespace VevUroro
