// The devices the configuration application sets at start, as the simulator plays them.
//
// "/dev/fc", the flow cache: request 10 takes a 16-byte parameter block {64-bit value in milliseconds, 32-bit
// parameter ID, 4 bytes padding} in the host's order; parameter 2 is the flow expiry time, 3 the aging interval.
// "/dev/vswitch", the virtual switch: request 0x2001 takes a 12-byte block {32-bit length 12, 16-bit parameter 15,
// 16-bit 8, 32-bit enabled} in the host's order and sets netqueue handling.
// A block of another size or with other parameters fails with EINVAL; other requests with ENOTTY.
//
// Threads: the simulator's IO thread (see DeviceServer).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "tools/qor-dpsim/DeviceServer.h"

namespace qor::dpsim {

class FlowCacheDevice : public DeviceModule {
 public:
  static constexpr uint32_t kSetParameter = 10;
  static constexpr uint32_t kExpiryTime = 2;
  static constexpr uint32_t kAgingInterval = 3;

  int Request(uint32_t request, std::vector<uint8_t>& argument) override;
  std::string Dump() const override;

 private:
  std::optional<uint64_t> _expiryMs;
  std::optional<uint64_t> _agingMs;
};

class VswitchDevice : public DeviceModule {
 public:
  static constexpr uint32_t kSetNetqueueHandling = 0x2001;

  int Request(uint32_t request, std::vector<uint8_t>& argument) override;
  std::string Dump() const override;

 private:
  std::optional<uint32_t> _netqueueHandling;
};

}  // namespace qor::dpsim
