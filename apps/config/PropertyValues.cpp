#include "apps/config/PropertyValues.h"

#include <cstring>

#include "dataplane/kcp/KcpFormat.h"

namespace VevUroro::values {

namespace {

void AppendHost16(std::string& out, uint16_t value) {
  char bytes[sizeof(value)];
  std::memcpy(bytes, &value, sizeof(value));
  out.append(bytes, sizeof(bytes));
}

std::string Network32(uint32_t value) {
  std::string out(4, '\0');
  kcp::WriteU32(reinterpret_cast<uint8_t*>(out.data()), value);
  return out;
}

}  // namespace

std::string Vni(uint32_t vni) {
  return Network32(vni);
}

std::string ReplicationMode(uint32_t mode) {
  return Network32(mode == 1 ? 2 : 1);
}

std::string Vlan(uint16_t vlanId) {
  std::string out;
  AppendHost16(out, 0);
  AppendHost16(out, vlanId);
  AppendHost16(out, 0);
  AppendHost16(out, 0);
  return out;
}

std::string VlanTrunk(const std::vector<std::pair<uint16_t, uint16_t>>& ranges) {
  std::string out;
  AppendHost16(out, 1);
  AppendHost16(out, 0);
  AppendHost16(out, 0);
  AppendHost16(out, static_cast<uint16_t>(ranges.size()));
  for (const auto& [first, last] : ranges) {
    AppendHost16(out, first);
    AppendHost16(out, last);
  }
  return out;
}

std::string NoVlan() {
  return std::string(8, '\0');
}

std::string U32(uint32_t value) {
  std::string out(sizeof(value), '\0');
  std::memcpy(out.data(), &value, sizeof(value));
  return out;
}

std::string ForwardingMode(uint32_t mode) {
  return Network32(mode);
}

}  // namespace VevUroro::values
