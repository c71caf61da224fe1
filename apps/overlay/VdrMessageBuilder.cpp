#include "apps/overlay/VdrMessageBuilder.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "core/Logger.h"

namespace VevUroro {

namespace {

using namespace router;

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
void Put64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (56 - 8 * i));
}
void PutName(uint8_t* p, const std::string& name) {
  std::memcpy(p, name.data(), std::min(name.size(), kNameLen - 1));  // always NUL terminated
}
// Family byte and 16 address bytes.
uint8_t* PutAddress(uint8_t* p, const VdrAddress& address) {
  p[0] = address.family;
  std::memcpy(p + 1, address.bytes.data(), kAddressLen);
  return p + 1 + kAddressLen;
}
uint8_t* PutNextHop(uint8_t* p, const VdrNextHop& hop) {
  p = PutAddress(p, hop.gateway);
  *p++ = hop.flags;
  PutName(p, hop.lifName);
  return p + kNameLen;
}

// The largest element count of a TLV with `fixed` bytes before elements of `each` bytes.
size_t MaxElements(size_t fixed, size_t each) {
  return (kMaxMessageLen - kMsgHeaderLen - fixed) / each;
}

// Whether `count` elements fit in one TLV; a list that does not is logged and sent not at all, since the module
// replaces the whole list with each TLV and a list cut short would be another state.
bool Fits(size_t count, size_t limit, const char* tlv) {
  if (count <= limit) return true;
  Logger(LOG_LEVEL_ERROR, "VdrMessageBuilder: %1 entries do not fit in one %2 (at most %3)", count, tlv, limit)
      .AddTag("errorCode:LCP00920");
  return false;
}

}  // namespace

uint8_t* VdrMessageBuilder::Begin(uint16_t type, size_t length) {
  if (_message.size() + length > kMaxMessageLen) Flush();
  if (_message.empty()) _message.resize(kMsgHeaderLen);
  const size_t at = _message.size();
  _message.resize(at + length, 0);
  uint8_t* p = _message.data() + at;
  Put16(p, type);
  Put16(p + 2, static_cast<uint16_t>(length));
  _payloadBytes += length;
  return p;
}

size_t VdrMessageBuilder::Flush() {
  if (_message.empty()) return 0;
  const size_t length = _message.size();
  Put16(_message.data(), kMsgUpdate);
  Put16(_message.data() + 2, static_cast<uint16_t>(length));
  auto* buffer = static_cast<uint8_t*>(std::malloc(length));
  if (!buffer) throw std::bad_alloc();
  std::memcpy(buffer, _message.data(), length);
  _message.clear();
  _sink(buffer, length);
  return length;
}

size_t VdrMessageBuilder::TakePayloadBytes() {
  return std::exchange(_payloadBytes, 0);
}

void VdrMessageBuilder::InstanceUpdate(uint8_t op, const VdrInstance& instance) {
  uint8_t* p = Begin(kTlvInstanceUpdate, kInstanceUpdateLen);
  Put32(p + 4, instance.vdrId);
  p[8] = op;
  p[9] = instance.dadMode;
  Put32(p + 10, instance.dadWaitTime);
  Put32(p + 14, instance.dadMaxRetries);
  PutName(p + 18, instance.name);
}

void VdrMessageBuilder::ArpLimit(uint32_t vdrId, uint32_t arpLimit, bool overridden) {
  uint8_t* p = Begin(kTlvArpLimit, kArpLimitLen);
  Put32(p + 4, vdrId);
  Put32(p + 8, arpLimit);
  p[12] = overridden ? 1 : 0;
}

bool VdrMessageBuilder::LifUpdate(uint8_t op, const VdrLif& lif) {
  if (!Fits(lif.addresses.size(), kMaxLifAddresses, "LIF UPDATE")) return false;
  const size_t count = lif.addresses.size();
  uint8_t* p = Begin(kTlvLifUpdate, kLifFixedLen + count * kLifAddressLen);
  Put32(p + 4, lif.vdrId);
  p[8] = op;
  PutName(p + 9, lif.lifName);
  p[73] = lif.lifType;
  Put16(p + 74, lif.flags);
  Put32(p + 76, lif.lifId);
  Put32(p + 80, lif.mtu);
  p[84] = lif.urpfMode;
  p[85] = lif.linkedRouterEnabled;
  Put32(p + 86, lif.vni);
  Put16(p + 90, lif.vlan);
  p[92] = lif.replicationMode;
  p[93] = lif.transportBinding;
  p[94] = lif.linkType;
  std::memcpy(p + 95, lif.vxlanMulticastIp.data(), 4);
  std::memcpy(p + 99, lif.mac.data(), 6);
  PutName(p + 105, lif.dvsId);
  p[169] = static_cast<uint8_t>(count);
  uint8_t* at = p + kLifFixedLen;
  for (size_t i = 0; i < count; ++i) {
    at = PutAddress(at, lif.addresses[i].address);
    *at++ = lif.addresses[i].length;
  }
  return true;
}

bool VdrMessageBuilder::RouteAdd(uint32_t vdrId, const VdrPrefix& destination, uint32_t adminDistance,
                                 const std::vector<VdrNextHop>& nextHops) {
  const bool v4 = destination.address.family == kFamilyIpv4;
  const size_t fixed = v4 ? kRouteFixedLenV4 : kRouteFixedLenV6;
  const size_t each = v4 ? kRouteNextHopLenV4 : kRouteNextHopLenV6;
  const size_t addressLen = v4 ? 4 : 16;
  for (const VdrNextHop& hop : nextHops) {
    if (hop.gateway.family != destination.address.family) return false;
  }
  // A route wider than one ROUTE UPDATE goes out as the update with the hops that fit, followed by next-hop
  // updates adding the rest; refusing it would lose a route that deltas may have grown this wide.
  const size_t count = std::min(nextHops.size(), MaxElements(fixed, each));
  uint8_t* p = Begin(kTlvRouteUpdate, fixed + count * each);
  Put32(p + 4, vdrId);
  Put32(p + 8, 1);
  p[12] = destination.address.family;
  std::memcpy(p + 13, destination.address.bytes.data(), addressLen);
  uint8_t* at = p + 13 + addressLen;
  *at++ = destination.length;
  *at++ = 0;  // route flags: none defined yet
  Put32(at, adminDistance);
  Put32(at + 4, static_cast<uint32_t>(count));
  at += 8;
  for (size_t i = 0; i < count; ++i) {
    const VdrNextHop& hop = nextHops[i];
    *at++ = hop.gateway.family;
    std::memcpy(at, hop.gateway.bytes.data(), addressLen);
    at += addressLen;
    *at++ = hop.flags;
    PutName(at, hop.lifName);
    at += kNameLen;
  }
  if (count < nextHops.size()) {
    RouteNextHopUpdate(vdrId, destination, std::vector<VdrNextHop>(nextHops.begin() + count, nextHops.end()), {});
  }
  return true;
}

void VdrMessageBuilder::RouteDelete(uint32_t vdrId, const VdrPrefix& destination) {
  uint8_t* p = Begin(kTlvRouteDelete, kRouteDeleteLen);
  Put32(p + 4, vdrId);
  PutAddress(p + 8, destination.address);
  p[25] = destination.length;
}

void VdrMessageBuilder::RouteNextHopUpdate(uint32_t vdrId, const VdrPrefix& destination,
                                           const std::vector<VdrNextHop>& added,
                                           const std::vector<VdrNextHop>& deleted) {
  const size_t limit = MaxElements(kNextHopUpdateFixedLen, kNextHopEntryLen);
  size_t addAt = 0, delAt = 0;
  do {
    const size_t numAdd = std::min(limit, added.size() - addAt);
    const size_t numDel = std::min(limit - numAdd, deleted.size() - delAt);
    uint8_t* p = Begin(kTlvRouteNextHopUpdate, kNextHopUpdateFixedLen + (numAdd + numDel) * kNextHopEntryLen);
    Put32(p + 4, vdrId);
    PutAddress(p + 8, destination.address);
    p[25] = destination.length;
    Put16(p + 26, static_cast<uint16_t>(numAdd));
    Put16(p + 28, static_cast<uint16_t>(numDel));
    uint8_t* at = p + kNextHopUpdateFixedLen;
    for (size_t i = 0; i < numAdd; ++i) at = PutNextHop(at, added[addAt + i]);
    for (size_t i = 0; i < numDel; ++i) at = PutNextHop(at, deleted[delAt + i]);
    addAt += numAdd;
    delAt += numDel;
  } while (addAt < added.size() || delAt < deleted.size());
}

void VdrMessageBuilder::ArpUpdate(uint32_t vdrId, const std::string& lifName, const std::vector<VdrArpEntry>& added,
                                  const std::vector<VdrArpEntry>& deleted) {
  const size_t limit = MaxElements(kArpUpdateFixedLen, kArpEntryLen);
  size_t addAt = 0, delAt = 0;
  do {
    const size_t numAdd = std::min(limit, added.size() - addAt);
    const size_t numDel = std::min(limit - numAdd, deleted.size() - delAt);
    uint8_t* p = Begin(kTlvArpUpdate, kArpUpdateFixedLen + (numAdd + numDel) * kArpEntryLen);
    Put32(p + 4, vdrId);
    PutName(p + 8, lifName);
    Put16(p + 72, static_cast<uint16_t>(numAdd));
    Put16(p + 74, static_cast<uint16_t>(numDel));
    uint8_t* at = p + kArpUpdateFixedLen;
    auto put = [&at](const VdrArpEntry& entry) {
      at = PutAddress(at, entry.ip);
      std::memcpy(at, entry.mac.data(), 6);
      at += 6;
    };
    for (size_t i = 0; i < numAdd; ++i) put(added[addAt + i]);
    for (size_t i = 0; i < numDel; ++i) put(deleted[delAt + i]);
    addAt += numAdd;
    delAt += numDel;
  } while (addAt < added.size() || delAt < deleted.size());
}

void VdrMessageBuilder::BridgeEndpoint(uint8_t op, const VdrBridgeEndpoint& endpoint) {
  uint8_t* p = Begin(kTlvBridgeEndpoint, kBridgeEndpointLen);
  Put32(p + 4, endpoint.endpointId);
  p[8] = op;
  PutName(p + 9, endpoint.lspName);
  PutName(p + 73, endpoint.lsName);
  Put32(p + 137, endpoint.vni);
  Put32(p + 141, endpoint.flags);
  Put16(p + 145, endpoint.vlan);
  PutName(p + 147, endpoint.dvsId);
}

void VdrMessageBuilder::FullSyncStart(uint32_t vdrId) {
  Put32(Begin(kTlvFullSyncStart, kFullSyncLen) + 4, vdrId);
}

void VdrMessageBuilder::FullSyncEnd(uint32_t vdrId) {
  Put32(Begin(kTlvFullSyncEnd, kFullSyncLen) + 4, vdrId);
}

void VdrMessageBuilder::Barrier(uint64_t barrier) {
  Put64(Begin(kTlvBarrier, kBarrierLen) + 4, barrier);
}

bool VdrMessageBuilder::DadStatus(uint32_t vdrId, const std::string& lifName,
                                  const std::vector<std::pair<VdrAddress, uint8_t>>& entries) {
  if (!Fits(entries.size(), MaxElements(kDadStatusFixedLen, kDadEntryLen), "DAD STATUS")) return false;
  const size_t count = entries.size();
  uint8_t* p = Begin(kTlvDadStatus, kDadStatusFixedLen + count * kDadEntryLen);
  Put32(p + 4, vdrId);
  PutName(p + 8, lifName);
  Put16(p + 72, static_cast<uint16_t>(count));
  uint8_t* at = p + kDadStatusFixedLen;
  for (size_t i = 0; i < count; ++i) {
    at = PutAddress(at, entries[i].first);
    *at++ = entries[i].second;
  }
  return true;
}

bool VdrMessageBuilder::PrefixListUpdate(const std::string& name, uint32_t index,
                                         const std::vector<VdrPrefixListEntry>& entries) {
  if (!Fits(entries.size(), MaxElements(kPrefixListFixedLen, kPrefixListEntryLen), "PrefixList UPDATE")) return false;
  const size_t count = entries.size();
  uint8_t* p = Begin(kTlvPrefixListUpdate, kPrefixListFixedLen + count * kPrefixListEntryLen);
  PutName(p + 4, name);
  Put32(p + 68, index);
  Put16(p + 72, static_cast<uint16_t>(count));
  uint8_t* at = p + kPrefixListFixedLen;
  for (size_t i = 0; i < count; ++i) {
    const VdrPrefixListEntry& entry = entries[i];
    // IPv4 as an IPv4-mapped IPv6 address, so that the entry needs no family byte.
    if (entry.prefix.address.family == kFamilyIpv4) {
      at[10] = 0xff;
      at[11] = 0xff;
      std::memcpy(at + 12, entry.prefix.address.bytes.data(), 4);
    } else {
      std::memcpy(at, entry.prefix.address.bytes.data(), kAddressLen);
    }
    at[16] = entry.prefix.length;
    uint16_t bounds = static_cast<uint16_t>(entry.ge * kPrefixBoundsBase + entry.le);
    if (entry.deny) bounds |= kPrefixDeny;
    Put16(at + 17, bounds);
    at += kPrefixListEntryLen;
  }
  return true;
}

void VdrMessageBuilder::PrefixListDelete(const std::string& name, uint32_t index) {
  uint8_t* p = Begin(kTlvPrefixListDelete, kPrefixListDeleteLen);
  PutName(p + 4, name);
  Put32(p + 68, index);
}

bool VdrMessageBuilder::MulticastRoute(uint8_t op, uint32_t vdrId, const VdrPrefix& group,
                                       const std::vector<std::string>& lifNames) {
  if (!Fits(lifNames.size(), MaxElements(kMulticastRouteFixedLen, kNameLen), "MULTICAST ROUTE")) return false;
  const size_t count = lifNames.size();
  uint8_t* p = Begin(kTlvMulticastRoute, kMulticastRouteFixedLen + count * kNameLen);
  p[4] = op;
  Put32(p + 5, vdrId);
  PutAddress(p + 9, group.address);
  p[26] = group.length;
  Put16(p + 27, static_cast<uint16_t>(count));
  for (size_t i = 0; i < count; ++i) PutName(p + kMulticastRouteFixedLen + i * kNameLen, lifNames[i]);
  return true;
}

void VdrMessageBuilder::GlobalUpdate(const VdrGlobal& global) {
  uint8_t* p = Begin(kTlvGlobalUpdate, kGlobalUpdateLen);
  p[4] = global.forwardingMode;
  std::memcpy(p + 5, &global.lrpMtu, 4);  // host order
  std::memcpy(p + 9, &global.switchingValue, 4);
  p[13] = global.routingFlag;
  p[14] = global.softRss;
}

void VdrMessageBuilder::NdraUpdate(uint8_t op, uint32_t vdrId, const std::string& lifName, const VdrNdra& ndra) {
  uint8_t* p = Begin(kTlvNdraUpdate, kNdraUpdateLen);
  Put32(p + 4, vdrId);
  PutName(p + 8, lifName);
  p[72] = op;
  if (op != kOpAdd) return;
  p[73] = ndra.raMode;
  Put32(p + 74, ndra.raInterval);
  p[78] = ndra.hopLimit;
  Put32(p + 79, ndra.routerLifetime);
  Put32(p + 83, ndra.reachableTime);
  Put32(p + 87, ndra.retransmitInterval);
}

void VdrMessageBuilder::MulticastUpdate(const VdrMulticast& multicast) {
  uint8_t* p = Begin(kTlvMulticastUpdate, kMulticastUpdateLen);
  Put32(p + 4, multicast.vdrId);
  p[8] = multicast.enabled ? 1 : 0;
  PutAddress(p + 9, multicast.groupStart.address);
  p[26] = multicast.groupStart.length;
  Put32(p + 27, multicast.replicationRange);
  Put32(p + 31, multicast.querierInterval);
  Put32(p + 35, multicast.queryMaxResponseTime);
  Put32(p + 39, multicast.lastMemberQueryInterval);
  Put32(p + 43, multicast.robustness);
}

}  // namespace VevUroro
