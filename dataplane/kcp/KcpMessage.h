// The decoded form of a KCP message: what the reader produces from wire bytes and the writer encodes.
//
// Plain values that own their bytes (nothing points into the wire buffer), so a decoded message outlives the
// buffer it came from. Lengths read from the wire are kept as read (`length` fields) so that consumers and the
// dumper can show them; the writer ignores them and computes its own.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace VevUroro::kcp {

using MacAddress = std::array<uint8_t, 6>;
using IpBytes = std::array<uint8_t, 16>;  // IPv4 in the first four bytes, network order

// One property TLV: key and the value bytes after the 4-byte property header.
struct KcpProperty {
  uint16_t key = 0;
  std::vector<uint8_t> value;
  bool operator==(const KcpProperty&) const = default;
};

struct VifRecord {
  std::string vifId;
  std::string portId;
  std::string switchId;
  std::string parentVifId;
  uint8_t vifType = 0;
  uint8_t smartNic = 0;
  uint8_t hoplift = 0;
  std::vector<KcpProperty> properties;
  bool operator==(const VifRecord&) const = default;
};

// A port property record (id is the VIF ID) or a tkmnic property record (id is the tkmnic name).
struct PropertyRecord {
  std::string id;
  std::vector<KcpProperty> properties;
  bool operator==(const PropertyRecord&) const = default;
};

struct VdsRecord {
  std::string vdsId;
  uint8_t operation = 0;
  std::vector<KcpProperty> properties;
  bool operator==(const VdsRecord&) const = default;
};

// One IP/MAC entry of a container record; family 0 is IPv6, anything else IPv4.
struct IpMacEntry {
  uint8_t family = 0;
  IpBytes ip{};
  MacAddress mac{};
  bool IsIpv4() const { return family != 0; }
  bool operator==(const IpMacEntry&) const = default;
};

struct ContainerRecord {
  std::string cifId;
  std::string portId;
  std::string vmPortId;
  std::string vmVifId;
  uint16_t vlanId = 0;
  MacAddress mac{};
  std::vector<IpMacEntry> entries;
  bool operator==(const ContainerRecord&) const = default;
};

struct UplinkRecord {
  std::string portId;
  std::string switchId;
  std::string clientName;
  std::string alias;
  bool operator==(const UplinkRecord&) const = default;
};

// One discovered binding of a VIF (value of the Discovered Bindings property). Family 0 is IPv6. The VLAN ID is
// carried big-endian like every other integer of the format; the timestamp in the sender's native order.
struct DiscoveredBinding {
  uint8_t family = 0;
  IpBytes ip{};
  MacAddress mac{};
  uint16_t vlanId = 0;
  uint8_t method = 0;
  uint64_t timestamp = 0;
  bool IsIpv4() const { return family != 0; }
  bool operator==(const DiscoveredBinding&) const = default;
};

// One data TLV. Which members are meaningful depends on the message type and `type`:
//   Update VIF / Port Property / Tkmnic Property / Uplink: operation + vifs / propertyRecords / uplinks
//   Update VDS Property: vds; Container: containers
//   Update PortList, TkmnicList, ContainerList, VDS List: ids; Port ContainerList: ownerId (the port's VIF ID) + ids
//   Init Max message length: value16
//   Notification DP Status: status; Port/Tkmnic OutOfSync: ownerId; Hoplift fullSync: ownerId + value16 (sync type)
//   Session control: controlType, sessionId, sessionExtra (the two bytes at offset 13)
//   anything else: raw (the payload after the TLV header, kept so that the writer reproduces it)
struct DataItem {
  uint16_t type = 0;
  uint16_t length = 0;     // data length as read from the wire, header included (0 in items built to be written)
  bool wellFormed = true;  // false when the item failed its size checks: its content was not read
  uint8_t operation = 0;
  std::vector<VifRecord> vifs;
  std::vector<PropertyRecord> propertyRecords;
  std::optional<VdsRecord> vds;
  std::vector<ContainerRecord> containers;
  std::vector<UplinkRecord> uplinks;
  std::string ownerId;
  std::vector<std::string> ids;
  uint16_t value16 = 0;
  uint8_t status = 0;
  uint8_t controlType = 0;
  uint32_t sessionId = 0;
  uint16_t sessionExtra = 0;
  std::vector<uint8_t> raw;
};

struct KcpMessage {
  uint16_t type = 0;
  uint16_t length = 0;      // as read from the wire
  uint8_t updateFlags = 0;  // Update only
  std::vector<DataItem> items;
  // The reader stopped early: a data item, record or property claimed more bytes than its container holds, or
  // fewer than its own header. What was read before is kept.
  bool truncated = false;

  bool MoreFollows() const { return type == 2 && (updateFlags & 0x80) != 0; }
};

}  // namespace VevUroro::kcp
