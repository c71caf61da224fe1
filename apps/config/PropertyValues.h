// Values of the simple port and switch properties, as the datapath reads them.
//
// Integers inside property values are in the host's order unless stated otherwise here (network order: the VNI,
// the replication-mode address and the forwarding mode). Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "apps/config/DVSProperty.h"

namespace VevUroro::values {

// Key 1: the segment VNI, 4 bytes network order.
std::string Vni(uint32_t vni);
// Key 2: the IPv4 address 0.0.0.2 (network order) for replication mode 1, otherwise 0.0.0.1.
std::string ReplicationMode(uint32_t mode);
// Key 102, 8 bytes: 16-bit flags 0, 16-bit VLAN ID, 16-bit 0, 16-bit range count 0.
std::string Vlan(uint16_t vlanId);
// Key 102 for a trunk, (n + 2) × 4 bytes: flags 1, 0, 0, range count n, then n pairs {first VLAN, last VLAN}.
std::string VlanTrunk(const std::vector<std::pair<uint16_t, uint16_t>>& ranges);
// Key 102 without any VLAN: 8 zero bytes.
std::string NoVlan();
// Keys 6 (child segment port marker, 1) and 181 (QoS plane mode 0, 2 or 3): a 32-bit number.
std::string U32(uint32_t value);
// Switch key 10: the forwarding mode, 4 bytes network order.
std::string ForwardingMode(uint32_t mode);

// QoS plane modes (key 181).
constexpr uint32_t kQosPlaneServicePlane = 0;
constexpr uint32_t kQosPlaneShaped = 2;
constexpr uint32_t kQosPlaneUnshaped = 3;

}  // namespace VevUroro::values
