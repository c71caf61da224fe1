// VevUroro::VdrMessageBuilder: writes the TLVs of the distributed-router channel (dataplane/router/RouterLayout.md)
// and packs them into UPDATE messages of at most 64 KiB. Lists longer than one TLV holds are split where the layout
// allows it (next hops, ARP entries); a list the module takes whole with each TLV (LIF addresses, DAD status,
// prefix-list entries, multicast-route LIFs) is refused when it does not fit: false, nothing written, an error
// (LCP00920), never a list cut short. A finished message goes to the sink as a C-allocator buffer (the kernel link's
// ownership convention); Flush ends the message in progress. Plain values in, bytes out: the builder keeps no router
// state. One thread at a time (its owner's lock).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "dataplane/router/RouterLayout.h"

namespace VevUroro {

struct VdrAddress {
  uint8_t family = router::kFamilyIpv4;
  std::array<uint8_t, 16> bytes{};  // network order; IPv4 in the first four
  bool operator<(const VdrAddress& other) const {
    return family != other.family ? family < other.family : bytes < other.bytes;
  }
  bool operator==(const VdrAddress& other) const = default;
};

struct VdrPrefix {
  VdrAddress address;
  uint8_t length = 0;
  bool operator<(const VdrPrefix& other) const {
    return address == other.address ? length < other.length : address < other.address;
  }
  bool operator==(const VdrPrefix& other) const = default;
};

struct VdrNextHop {
  VdrAddress gateway;
  uint8_t flags = 0;  // router::kNextHopBlackhole, kNextHopStatic
  std::string lifName;
  bool operator<(const VdrNextHop& other) const {
    if (!(gateway == other.gateway)) return gateway < other.gateway;
    return lifName != other.lifName ? lifName < other.lifName : flags < other.flags;
  }
  bool operator==(const VdrNextHop& other) const = default;
};

struct VdrInstance {
  uint32_t vdrId = 0;
  std::string name;
  uint8_t dadMode = 0;
  uint32_t dadWaitTime = 0;
  uint32_t dadMaxRetries = 0;
  bool operator==(const VdrInstance& other) const = default;
};

struct VdrLif {
  uint32_t vdrId = 0;
  std::string lifName;
  uint8_t lifType = router::kLifTypeDownlink;
  uint16_t flags = 0;
  uint32_t lifId = 0;
  uint32_t mtu = 0;
  uint8_t urpfMode = 0;
  uint8_t linkedRouterEnabled = 0;
  uint32_t vni = 0;
  uint16_t vlan = 0;
  uint8_t replicationMode = 0;
  uint8_t transportBinding = router::kBindingOverlay;
  uint8_t linkType = 0;
  std::array<uint8_t, 4> vxlanMulticastIp{};
  std::array<uint8_t, 6> mac{};
  std::string dvsId;
  std::vector<VdrPrefix> addresses;
  bool operator==(const VdrLif& other) const = default;
};

struct VdrArpEntry {
  VdrAddress ip;
  std::array<uint8_t, 6> mac{};
  bool operator<(const VdrArpEntry& other) const { return ip == other.ip ? mac < other.mac : ip < other.ip; }
  bool operator==(const VdrArpEntry& other) const = default;
};

struct VdrPrefixListEntry {
  VdrPrefix prefix;
  uint8_t ge = 0;
  uint8_t le = 0;
  bool deny = false;
  bool operator==(const VdrPrefixListEntry& other) const = default;
};

struct VdrGlobal {
  uint8_t forwardingMode = router::kDefaultForwardingMode;
  uint32_t lrpMtu = router::kDefaultLrpMtu;
  uint32_t switchingValue = router::kDefaultSwitchingValue;
  uint8_t routingFlag = router::kFlagUnset;
  uint8_t softRss = router::kFlagUnset;
  bool operator==(const VdrGlobal& other) const = default;
};

struct VdrMulticast {
  uint32_t vdrId = 0;
  bool enabled = false;
  VdrPrefix groupStart;
  uint32_t replicationRange = 0;
  uint32_t querierInterval = 0;
  uint32_t queryMaxResponseTime = 0;
  uint32_t lastMemberQueryInterval = 0;
  uint32_t robustness = 0;
  bool operator==(const VdrMulticast& other) const = default;
};

struct VdrNdra {
  uint8_t raMode = 0;
  uint32_t raInterval = 0;
  uint8_t hopLimit = 0;
  uint32_t routerLifetime = 0;
  uint32_t reachableTime = 0;
  uint32_t retransmitInterval = 0;
  bool operator==(const VdrNdra& other) const = default;
};

struct VdrBridgeEndpoint {
  uint32_t endpointId = 0;
  std::string lspName;
  std::string lsName;
  uint32_t vni = 0;
  uint32_t flags = 0;  // bit 0 guest VLAN enabled, bit 1 HA enabled
  uint16_t vlan = 0;
  std::string dvsId;
  bool operator==(const VdrBridgeEndpoint& other) const = default;
};

class VdrMessageBuilder {
 public:
  using Sink = std::function<void(uint8_t* message, size_t length)>;

  explicit VdrMessageBuilder(Sink sink) : _sink(std::move(sink)) {}

  void InstanceUpdate(uint8_t op, const VdrInstance& instance);
  void ArpLimit(uint32_t vdrId, uint32_t arpLimit, bool overridden);
  bool LifUpdate(uint8_t op, const VdrLif& lif);
  // One route with its next hops (all of the route's family); false when a next hop's family differs. Hops beyond
  // what one ROUTE UPDATE holds follow in next-hop updates.
  bool RouteAdd(uint32_t vdrId, const VdrPrefix& destination, uint32_t adminDistance,
                const std::vector<VdrNextHop>& nextHops);
  void RouteDelete(uint32_t vdrId, const VdrPrefix& destination);
  void RouteNextHopUpdate(uint32_t vdrId, const VdrPrefix& destination, const std::vector<VdrNextHop>& added,
                          const std::vector<VdrNextHop>& deleted);
  void ArpUpdate(uint32_t vdrId, const std::string& lifName, const std::vector<VdrArpEntry>& added,
                 const std::vector<VdrArpEntry>& deleted);
  void BridgeEndpoint(uint8_t op, const VdrBridgeEndpoint& endpoint);
  void FullSyncStart(uint32_t vdrId);
  void FullSyncEnd(uint32_t vdrId);
  void Barrier(uint64_t barrier);
  bool DadStatus(uint32_t vdrId, const std::string& lifName,
                 const std::vector<std::pair<VdrAddress, uint8_t>>& entries);
  // The whole list in one TLV (the module replaces a list with each update); false, nothing written, when it does
  // not fit.
  bool PrefixListUpdate(const std::string& name, uint32_t index, const std::vector<VdrPrefixListEntry>& entries);
  void PrefixListDelete(const std::string& name, uint32_t index);
  bool MulticastRoute(uint8_t op, uint32_t vdrId, const VdrPrefix& group, const std::vector<std::string>& lifNames);
  void GlobalUpdate(const VdrGlobal& global);
  // The LIF's router-advertisement settings (kOpAdd), or their removal (kOpDelete, `ndra` ignored).
  void NdraUpdate(uint8_t op, uint32_t vdrId, const std::string& lifName, const VdrNdra& ndra);
  void MulticastUpdate(const VdrMulticast& multicast);

  // Ends the message in progress (if any) and hands it to the sink; returns its length (0 when none).
  size_t Flush();
  // Bytes of the TLVs written since the last TakePayloadBytes (for the batch's log line).
  size_t TakePayloadBytes();

 private:
  // Starts a TLV of `length` bytes (header included) in the message in progress; returns its first byte.
  uint8_t* Begin(uint16_t type, size_t length);

  Sink _sink;
  std::vector<uint8_t> _message;
  size_t _payloadBytes = 0;
};

}  // namespace VevUroro
