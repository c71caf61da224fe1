// What the BFD table needs from the overlay module's channel, and what the L2 application tells the BFD table.
//
// The BFD table (`BFDTableApp`) decides which sessions the overlay module runs; the L2 application owns the overlay
// channel and its session with the datapath, so it carries the table's records (as the "BFD Session Update" and the
// BFD configuration records of its message set) and tells the table when the datapath joins or leaves a VNI.
// Both interfaces are called with the agent-wide lock held or from the caller's work thread; implementations must not
// call back into the caller synchronously.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace VevUroro {

enum class BfdSessionOp : uint8_t { kAdd = 1, kDelete = 2 };

// A tunnel endpoint address: IPv4 in the first four bytes in network order, or the 16 IPv6 bytes.
struct BfdEndpointAddress {
  bool isIPv6 = false;
  std::array<uint8_t, 16> bytes{};

  bool operator==(const BfdEndpointAddress&) const = default;
  auto operator<=>(const BfdEndpointAddress&) const = default;
};

// One session add or delete, addressed by the VNI of the logical switch that carries it; the channel owner maps the
// VNI to the datapath switch ID.
struct BfdSessionUpdate {
  BfdSessionOp op = BfdSessionOp::kAdd;
  uint32_t vni = 0;
  BfdEndpointAddress localIp;
  BfdEndpointAddress remoteIp;
  uint32_t localLabel = 0;
  uint32_t remoteLabel = 0;
  uint32_t sessionType = 0;
  uint32_t tnVgLabel = 0;  // the transport-node VTEP group label of a VTEP-group session, else 0
};

// The BFD settings of one host switch, from the transport zone of the switch.
struct BfdHostSwitchConfig {
  std::array<uint8_t, 16> dvsUuid{};  // the host switch UUID's 16 bytes, in the order of its text form
  uint32_t flags = 0;
  bool enabled = false;
  uint32_t vtepHealthInterval = 0;
  bool latencyEnabled = false;
};

// The BFD settings of EVPN logical switches.
struct EvpnBfdConfig {
  uint32_t flags = 0;
  bool enabled = false;
  uint32_t vtepHealthInterval = 0;
  uint32_t multiplier = 0;
};

// Implemented by the owner of the overlay channel (the L2 application). Each call returns false when the record
// could not be sent or queued (the caller logs it with its own code); records for a VNI the datapath has not joined
// yet are queued with that VNI's other desired updates and sent at the join.
class IBfdDataplane {
 public:
  virtual ~IBfdDataplane() = default;
  virtual bool SendBfdSession(const BfdSessionUpdate& update) = 0;
  virtual bool SendBfdConfig(const BfdHostSwitchConfig& config) = 0;
  virtual bool SendEvpnBfdConfig(const EvpnBfdConfig& config) = 0;
};

// Implemented by the BFD table; the L2 application calls it when the datapath joins or leaves a VNI (after the join
// is recorded, so the VNI maps to its switch when the table sends). The switch is named by its canonical UUID text,
// empty while the VNI's switch is not configured.
class IBfdVniListener {
 public:
  virtual ~IBfdVniListener() = default;
  virtual void HandleStateCacheVNIUpdate(uint32_t vni, const std::string& logicalSwitchUuid, bool joined) = 0;
};

}  // namespace VevUroro
