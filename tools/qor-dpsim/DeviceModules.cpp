#include "tools/qor-dpsim/DeviceModules.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace qor::dpsim {

namespace {

template <typename T>
T Host(const std::vector<uint8_t>& bytes, size_t at) {
  T value;
  std::memcpy(&value, bytes.data() + at, sizeof(T));
  return value;
}

std::string Setting(const std::optional<uint64_t>& value, const char* unit) {
  return value ? std::to_string(*value) + unit : std::string("(kernel default)");
}

}  // namespace

int FlowCacheDevice::Request(uint32_t request, std::vector<uint8_t>& argument) {
  if (request != kSetParameter) return ENOTTY;
  if (argument.size() != 16) return EINVAL;
  uint64_t value = Host<uint64_t>(argument, 0);
  switch (Host<uint32_t>(argument, 8)) {
    case kExpiryTime:
      _expiryMs = value;
      return 0;
    case kAgingInterval:
      _agingMs = value;
      return 0;
    default:
      return EINVAL;
  }
}

std::string FlowCacheDevice::Dump() const {
  return "flow expiry time: " + Setting(_expiryMs, " ms") + "\nflow aging interval: " + Setting(_agingMs, " ms") + "\n";
}

int VswitchDevice::Request(uint32_t request, std::vector<uint8_t>& argument) {
  if (request != kSetNetqueueHandling) return ENOTTY;
  if (argument.size() != 12 || Host<uint32_t>(argument, 0) != 12 || Host<uint16_t>(argument, 4) != 15 ||
      Host<uint16_t>(argument, 6) != 8) {
    return EINVAL;
  }
  _netqueueHandling = Host<uint32_t>(argument, 8);
  return 0;
}

std::string VswitchDevice::Dump() const {
  if (!_netqueueHandling) return "netqueue handling: (kernel default)\n";
  return std::string("netqueue handling: ") + (*_netqueueHandling ? "enabled" : "disabled") + "\n";
}

}  // namespace qor::dpsim
