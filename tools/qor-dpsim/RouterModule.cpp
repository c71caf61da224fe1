#include "tools/qor-dpsim/RouterModule.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <sstream>

#include "dataplane/router/RouterLayout.h"

namespace qor::dpsim {

namespace {

using namespace VevUroro::router;

uint16_t U16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
uint32_t U32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
uint64_t U64(const uint8_t* p) {
  return (static_cast<uint64_t>(U32(p)) << 32) | U32(p + 4);
}
uint32_t HostU32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
void Put16(std::vector<uint8_t>& out, size_t at, uint16_t v) {
  out[at] = static_cast<uint8_t>(v >> 8);
  out[at + 1] = static_cast<uint8_t>(v);
}
void Put32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

std::string Name(const uint8_t* p) {
  const void* nul = std::memchr(p, 0, kNameLen);
  const size_t length = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - p) : kNameLen;
  return std::string(reinterpret_cast<const char*>(p), length);
}
// Family byte and 16 address bytes as text; false for an unknown family.
bool Address(const uint8_t* p, std::string* out) {
  char text[INET6_ADDRSTRLEN] = "";
  if (p[0] == kFamilyIpv4) {
    inet_ntop(AF_INET, p + 1, text, sizeof(text));
  } else if (p[0] == kFamilyIpv6) {
    inet_ntop(AF_INET6, p + 1, text, sizeof(text));
  } else {
    return false;
  }
  *out = text;
  return true;
}
std::string Mac(const uint8_t* p) {
  char text[18];
  std::snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", p[0], p[1], p[2], p[3], p[4], p[5]);
  return text;
}
std::string Ipv4(const uint8_t* p) {
  return std::to_string(p[0]) + "." + std::to_string(p[1]) + "." + std::to_string(p[2]) + "." + std::to_string(p[3]);
}
// A next hop of `addressLen` gateway bytes: "gateway lif" and its flags.
bool NextHop(const uint8_t* p, size_t addressLen, std::string* key, uint8_t* flags) {
  uint8_t full[1 + kAddressLen] = {};
  full[0] = p[0];
  std::memcpy(full + 1, p + 1, addressLen);
  std::string gateway;
  if (!Address(full, &gateway)) return false;
  *flags = p[1 + addressLen];
  *key = gateway + " " + Name(p + 2 + addressLen);
  return true;
}

}  // namespace

void RouterModule::OnMessage(Connection&, const std::vector<uint8_t>& message) {
  if (Receive(message)) {
    _appliedNs = NowNs();
  }
}

bool RouterModule::Receive(const std::vector<uint8_t>& message) {
  const size_t size = message.size();
  if (size < kMsgHeaderLen || U16(message.data() + 2) != size || U16(message.data()) != kMsgUpdate) {
    ++_malformed;
    return false;
  }
  // Check every TLV before applying any, so that a bad message changes nothing.
  std::vector<std::pair<size_t, size_t>> tlvs;
  for (size_t at = kMsgHeaderLen; at < size;) {
    if (size - at < kTlvHeaderLen) {
      ++_malformed;
      return false;
    }
    const size_t length = U16(message.data() + at + 2);
    if (length < kTlvHeaderLen || length > size - at) {
      ++_malformed;
      return false;
    }
    tlvs.emplace_back(at, length);
    at += length;
  }
  for (const auto& [at, length] : tlvs) {
    if (!Apply(U16(message.data() + at), message.data() + at, length, false)) {
      ++_malformed;
      return false;
    }
  }
  for (const auto& [at, length] : tlvs) Apply(U16(message.data() + at), message.data() + at, length, true);
  ++_updates;
  if (_recorder.Running()) _recorder.Check(RecorderTable(), nullptr);
  return true;
}

bool RouterModule::Apply(uint16_t type, const uint8_t* p, size_t length, bool commit) {
  const uint64_t gen = commit ? ++_gen : _gen;
  // An entry that refers to what the module does not hold is refused on its own (counted).
  auto refuse = [this] {
    ++_refused;
    return true;
  };
  std::ostringstream text;
  switch (type) {
    case kTlvInstanceUpdate: {
      if (length != kInstanceUpdateLen) return false;
      const uint32_t vdr = U32(p + 4);
      if (p[8] != kOpAdd && p[8] != kOpDelete) return false;
      if (!commit) return true;
      if (p[8] == kOpDelete) {
        RemoveInstance(vdr);
        return true;
      }
      text << "name=" << Name(p + 18) << " dad=" << unsigned(p[9]) << "/" << U32(p + 10) << "/" << U32(p + 14);
      // An add replaces the instance's settings: its ARP limit and multicast settings follow it again.
      Instance& instance = _instances[vdr];
      instance = Instance{text.str(), "", "", gen};
      return true;
    }
    case kTlvArpLimit: {
      if (length != kArpLimitLen) return false;
      if (!commit) return true;
      auto it = _instances.find(U32(p + 4));
      if (it == _instances.end()) return refuse();
      text << "arp-limit=" << U32(p + 8) << (p[12] ? " overridden" : "");
      it->second.arpLimit = text.str();
      return true;
    }
    case kTlvLifUpdate: {
      if (length < kLifFixedLen) return false;
      const size_t count = p[169];
      if (length != kLifFixedLen + count * kLifAddressLen) return false;
      const LifKey key(U32(p + 4), Name(p + 9));
      if (p[8] != kOpAdd && p[8] != kOpDelete) return false;
      if (commit && p[8] == kOpDelete) {
        RemoveLif(key);
        return true;
      }
      text << "type=" << unsigned(p[73]) << " flags=" << U16(p + 74) << " id=" << U32(p + 76) << " mtu=" << U32(p + 80)
           << " urpf=" << unsigned(p[84]) << " linked=" << unsigned(p[85]) << " vni=" << U32(p + 86)
           << " vlan=" << U16(p + 90) << " replication=" << unsigned(p[92]) << " binding=" << unsigned(p[93])
           << " link-type=" << unsigned(p[94]) << " vxlan-mcast=" << Ipv4(p + 95) << " mac=" << Mac(p + 99)
           << " dvs=" << Name(p + 105) << " addresses=";
      for (size_t i = 0; i < count; ++i) {
        const uint8_t* a = p + kLifFixedLen + i * kLifAddressLen;
        std::string address;
        if (!Address(a, &address)) return false;
        text << (i ? "," : "") << address << "/" << unsigned(a[1 + kAddressLen]);
      }
      if (!commit) return true;
      if (!_instances.count(key.first)) return refuse();
      _lifs[key] = Lif{text.str(), gen};
      return true;
    }
    case kTlvRouteUpdate: {
      if (length < 13) return false;
      const uint32_t vdr = U32(p + 4);
      if (U32(p + 8) != 1) return false;
      const bool v4 = p[12] == kFamilyIpv4;
      if (!v4 && p[12] != kFamilyIpv6) return false;
      const size_t fixed = v4 ? kRouteFixedLenV4 : kRouteFixedLenV6;
      const size_t each = v4 ? kRouteNextHopLenV4 : kRouteNextHopLenV6;
      const size_t addressLen = v4 ? 4 : 16;
      if (length < fixed) return false;
      const uint8_t* after = p + 13 + addressLen;  // prefix length, flags, admin distance, count
      const size_t count = U32(after + 6);
      if (length != fixed + count * each) return false;
      uint8_t full[1 + kAddressLen] = {};
      full[0] = p[12];
      std::memcpy(full + 1, p + 13, addressLen);
      std::string destination;
      Address(full, &destination);
      Route route;
      route.adminDistance = U32(after + 2);
      route.gen = gen;
      for (size_t i = 0; i < count; ++i) {
        const uint8_t* hop = p + fixed + i * each;
        std::string key;
        uint8_t flags = 0;
        if (hop[0] != p[12] || !NextHop(hop, addressLen, &key, &flags)) return false;
        route.hops[key] = flags;
      }
      if (!commit) return true;
      if (!_instances.count(vdr)) return refuse();
      _routes[RouteKey(vdr, destination + "/" + std::to_string(after[0]))] = std::move(route);
      return true;
    }
    case kTlvRouteDelete: {
      if (length != kRouteDeleteLen) return false;
      std::string destination;
      if (!Address(p + 8, &destination)) return false;
      if (commit) _routes.erase(RouteKey(U32(p + 4), destination + "/" + std::to_string(p[25])));
      return true;
    }
    case kTlvRouteNextHopUpdate: {
      if (length < kNextHopUpdateFixedLen) return false;
      const size_t numAdd = U16(p + 26), numDel = U16(p + 28);
      if (length != kNextHopUpdateFixedLen + (numAdd + numDel) * kNextHopEntryLen) return false;
      std::string destination;
      if (!Address(p + 8, &destination)) return false;
      for (size_t i = 0; i < numAdd + numDel; ++i) {
        std::string key;
        uint8_t flags = 0;
        if (!NextHop(p + kNextHopUpdateFixedLen + i * kNextHopEntryLen, kAddressLen, &key, &flags)) return false;
      }
      if (!commit) return true;
      auto it = _routes.find(RouteKey(U32(p + 4), destination + "/" + std::to_string(p[25])));
      if (it == _routes.end()) return refuse();
      // Adds first, then deletes.
      for (size_t i = 0; i < numAdd + numDel; ++i) {
        std::string key;
        uint8_t flags = 0;
        NextHop(p + kNextHopUpdateFixedLen + i * kNextHopEntryLen, kAddressLen, &key, &flags);
        if (i < numAdd) {
          it->second.hops[key] = flags;
        } else {
          it->second.hops.erase(key);
        }
      }
      return true;
    }
    case kTlvArpUpdate: {
      if (length < kArpUpdateFixedLen) return false;
      const size_t numAdd = U16(p + 72), numDel = U16(p + 74);
      if (length != kArpUpdateFixedLen + (numAdd + numDel) * kArpEntryLen) return false;
      const LifKey key(U32(p + 4), Name(p + 8));
      for (size_t i = 0; i < numAdd + numDel; ++i) {
        std::string ip;
        if (!Address(p + kArpUpdateFixedLen + i * kArpEntryLen, &ip)) return false;
      }
      if (!commit) return true;
      if (!_lifs.count(key)) return refuse();
      auto& table = _arp[key];
      // Adds first, then deletes.
      for (size_t i = 0; i < numAdd + numDel; ++i) {
        const uint8_t* entry = p + kArpUpdateFixedLen + i * kArpEntryLen;
        std::string ip;
        Address(entry, &ip);
        if (i < numAdd) {
          table[ip] = Stamped{Mac(entry + 1 + kAddressLen), gen};
        } else {
          table.erase(ip);
        }
      }
      if (table.empty()) _arp.erase(key);
      return true;
    }
    case kTlvBridgeEndpoint: {
      if (length != kBridgeEndpointLen) return false;
      const uint32_t id = U32(p + 4);
      if (p[8] != kOpAdd && p[8] != kOpDelete) return false;
      if (!commit) return true;
      if (p[8] == kOpDelete) {
        _bridgeEndpoints.erase(id);
        return true;
      }
      text << "lsp=" << Name(p + 9) << " ls=" << Name(p + 73) << " vni=" << U32(p + 137) << " flags=" << U32(p + 141)
           << " vlan=" << U16(p + 145) << " dvs=" << Name(p + 147);
      _bridgeEndpoints[id] = Stamped{text.str(), gen};
      return true;
    }
    case kTlvFullSyncStart:
      if (length != kFullSyncLen) return false;
      if (commit) _syncs[U32(p + 4)] = gen;
      return true;
    case kTlvFullSyncEnd: {
      if (length != kFullSyncLen) return false;
      if (!commit) return true;
      auto it = _syncs.find(U32(p + 4));
      if (it == _syncs.end()) return refuse();
      Sweep(it->first, it->second);
      _syncs.erase(it);
      ++_fullSyncs;
      return true;
    }
    case kTlvBarrier:
      if (length != kBarrierLen) return false;
      if (commit) _barrier = U64(p + 4);
      return true;
    case kTlvDadStatus: {
      if (length < kDadStatusFixedLen) return false;
      const size_t count = U16(p + 72);
      if (length != kDadStatusFixedLen + count * kDadEntryLen) return false;
      const LifKey key(U32(p + 4), Name(p + 8));
      for (size_t i = 0; i < count; ++i) {
        const uint8_t* entry = p + kDadStatusFixedLen + i * kDadEntryLen;
        std::string ip;
        if (!Address(entry, &ip)) return false;
        text << (i ? "," : "") << ip << ":" << unsigned(entry[1 + kAddressLen]);
      }
      if (!commit) return true;
      if (!_lifs.count(key)) return refuse();
      if (count == 0) {
        _dad.erase(key);
      } else {
        _dad[key] = Stamped{text.str(), gen};
      }
      return true;
    }
    case kTlvNdraUpdate: {
      if (length != kNdraUpdateLen) return false;
      if (p[72] != kOpAdd && p[72] != kOpDelete) return false;
      const LifKey key(U32(p + 4), Name(p + 8));
      text << "mode=" << unsigned(p[73]) << " interval=" << U32(p + 74) << " hop-limit=" << unsigned(p[78])
           << " lifetime=" << U32(p + 79) << " reachable=" << U32(p + 83) << " retransmit=" << U32(p + 87);
      if (!commit) return true;
      if (!_lifs.count(key)) return refuse();
      if (p[72] == kOpDelete) {
        _ndra.erase(key);
      } else {
        _ndra[key] = Stamped{text.str(), gen};
      }
      return true;
    }
    case kTlvPrefixListUpdate: {
      if (length < kPrefixListFixedLen) return false;
      const size_t count = U16(p + 72);
      if (length != kPrefixListFixedLen + count * kPrefixListEntryLen) return false;
      text << "name=" << Name(p + 4) << " entries=";
      for (size_t i = 0; i < count; ++i) {
        const uint8_t* entry = p + kPrefixListFixedLen + i * kPrefixListEntryLen;
        static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        char address[INET6_ADDRSTRLEN] = "";
        if (std::memcmp(entry, kMapped, 12) == 0) {
          inet_ntop(AF_INET, entry + 12, address, sizeof(address));
        } else {
          inet_ntop(AF_INET6, entry, address, sizeof(address));
        }
        const uint16_t bounds = U16(entry + 17);
        const unsigned packed = bounds & ~kPrefixDeny;
        text << (i ? "," : "") << ((bounds & kPrefixDeny) ? "deny " : "permit ") << address << "/"
             << unsigned(entry[16]) << " ge " << packed / kPrefixBoundsBase << " le " << packed % kPrefixBoundsBase;
      }
      if (commit) _prefixLists[U32(p + 68)] = Stamped{text.str(), gen};
      return true;
    }
    case kTlvPrefixListDelete:
      if (length != kPrefixListDeleteLen) return false;
      if (commit) _prefixLists.erase(U32(p + 68));
      return true;
    case kTlvMulticastRoute: {
      if (length < kMulticastRouteFixedLen) return false;
      const size_t count = U16(p + 27);
      if (length != kMulticastRouteFixedLen + count * kNameLen) return false;
      std::string group;
      if (!Address(p + 9, &group)) return false;
      const RouteKey key(U32(p + 5), group + "/" + std::to_string(p[26]));
      if (p[4] != kOpAdd && p[4] != kOpDelete) return false;
      if (!commit) return true;
      if (p[4] == kOpDelete) {
        _multicastRoutes.erase(key);
        return true;
      }
      if (!_instances.count(key.first)) return refuse();
      text << "lifs=";
      for (size_t i = 0; i < count; ++i) text << (i ? "," : "") << Name(p + kMulticastRouteFixedLen + i * kNameLen);
      _multicastRoutes[key] = Stamped{text.str(), gen};
      return true;
    }
    case kTlvGlobalUpdate:
      if (length != kGlobalUpdateLen) return false;
      text << "forwarding-mode=" << unsigned(p[4]) << " lrp-mtu=" << HostU32(p + 5) << " switching=" << HostU32(p + 9)
           << " routing-flag=" << unsigned(p[13]) << " soft-rss=" << unsigned(p[14]);
      if (commit) _global = text.str();
      return true;
    case kTlvMulticastUpdate: {
      if (length != kMulticastUpdateLen) return false;
      std::string group;
      if (!Address(p + 9, &group)) return false;
      if (!commit) return true;
      auto it = _instances.find(U32(p + 4));
      if (it == _instances.end()) return refuse();
      if (!p[8]) {  // disabled: the instance keeps no multicast settings
        it->second.multicast.clear();
        return true;
      }
      text << "multicast=enabled group=" << group << "/" << unsigned(p[26]) << " range=" << U32(p + 27)
           << " igmp=" << U32(p + 31) << "/" << U32(p + 35) << "/" << U32(p + 39) << "/" << U32(p + 43);
      it->second.multicast = text.str();
      return true;
    }
    default:
      return false;
  }
}

void RouterModule::RemoveLif(const LifKey& key) {
  _lifs.erase(key);
  _arp.erase(key);
  _dad.erase(key);
  _ndra.erase(key);
}

void RouterModule::RemoveInstance(uint32_t vdrId) {
  _instances.erase(vdrId);
  auto inVdr = [vdrId](const auto& entry) { return entry.first.first == vdrId; };
  std::erase_if(_lifs, inVdr);
  std::erase_if(_arp, inVdr);
  std::erase_if(_dad, inVdr);
  std::erase_if(_ndra, inVdr);
  std::erase_if(_routes, inVdr);
  std::erase_if(_multicastRoutes, inVdr);
}

// What a full sync of `scope` (one VDR, or kAllVdrs) did not send again since generation `since`.
void RouterModule::Sweep(uint32_t scope, uint64_t since) {
  const bool all = scope == kAllVdrs;
  auto stale = [&](uint32_t vdr, uint64_t gen) { return (all || vdr == scope) && gen < since; };
  if (all) {
    std::vector<uint32_t> instances;
    for (const auto& [vdr, instance] : _instances) {
      if (instance.gen < since) instances.push_back(vdr);
    }
    for (uint32_t vdr : instances) RemoveInstance(vdr);
    std::erase_if(_prefixLists, [&](const auto& entry) { return entry.second.gen < since; });
    std::erase_if(_bridgeEndpoints, [&](const auto& entry) { return entry.second.gen < since; });
  }
  std::vector<LifKey> lifs;
  for (const auto& [key, lif] : _lifs) {
    if (stale(key.first, lif.gen)) lifs.push_back(key);
  }
  for (const LifKey& key : lifs) RemoveLif(key);
  std::erase_if(_routes, [&](const auto& entry) { return stale(entry.first.first, entry.second.gen); });
  std::erase_if(_multicastRoutes, [&](const auto& entry) { return stale(entry.first.first, entry.second.gen); });
  std::erase_if(_dad, [&](const auto& entry) { return stale(entry.first.first, entry.second.gen); });
  std::erase_if(_ndra, [&](const auto& entry) { return stale(entry.first.first, entry.second.gen); });
  for (auto it = _arp.begin(); it != _arp.end();) {
    if (all || it->first.first == scope) {
      std::erase_if(it->second, [&](const auto& entry) { return entry.second.gen < since; });
    }
    it = it->second.empty() ? _arp.erase(it) : std::next(it);
  }
}

size_t RouterModule::ArpCount() const {
  size_t count = 0;
  for (const auto& [key, table] : _arp) count += table.size();
  return count;
}

std::string RouterModule::Tables() const {
  std::ostringstream out;
  for (const auto& [vdr, instance] : _instances) {
    out << "instance " << vdr << " " << instance.text;
    if (!instance.arpLimit.empty()) out << " " << instance.arpLimit;
    if (!instance.multicast.empty()) out << " " << instance.multicast;
    out << "\n";
  }
  for (const auto& [key, lif] : _lifs) out << "lif " << key.first << " " << key.second << " " << lif.text << "\n";
  for (const auto& [key, route] : _routes) {
    out << "route " << key.first << " " << key.second << " distance=" << route.adminDistance << " next-hops=";
    bool first = true;
    for (const auto& [hop, flags] : route.hops) {
      out << (first ? "" : ",") << "[" << hop << (flags & kNextHopBlackhole ? " blackhole" : "")
          << (flags & kNextHopStatic ? " static" : "") << "]";
      first = false;
    }
    out << "\n";
  }
  for (const auto& [key, table] : _arp) {
    for (const auto& [ip, mac] : table)
      out << "arp " << key.first << " " << key.second << " " << ip << " " << mac.text << "\n";
  }
  for (const auto& [key, dad] : _dad) out << "dad " << key.first << " " << key.second << " " << dad.text << "\n";
  for (const auto& [key, ndra] : _ndra) out << "ndra " << key.first << " " << key.second << " " << ndra.text << "\n";
  for (const auto& [index, list] : _prefixLists) out << "prefix-list " << index << " " << list.text << "\n";
  for (const auto& [key, route] : _multicastRoutes) {
    out << "multicast-route " << key.first << " " << key.second << " " << route.text << "\n";
  }
  for (const auto& [id, endpoint] : _bridgeEndpoints) out << "bridge-endpoint " << id << " " << endpoint.text << "\n";
  if (_global) out << "global " << *_global << "\n";
  return out.str();
}

std::string RouterModule::Dump() const {
  std::ostringstream out;
  out << "router: " << _instances.size() << " instance(s), " << _lifs.size() << " LIF(s), " << _routes.size()
      << " route(s), " << ArpCount() << " ARP entr(ies), " << _prefixLists.size() << " prefix list(s); updates "
      << _updates << ", full syncs " << _fullSyncs << ", malformed messages " << _malformed << ", refused entries "
      << _refused << "\n";
  out << Tables();
  if (_barrier) out << "barrier " << *_barrier << "\n";
  return out.str();
}

DisruptionRecorder::Table RouterModule::RecorderTable() const {
  DisruptionRecorder::Table table;
  std::istringstream in(Tables());
  std::string line;
  while (std::getline(in, line)) {
    // Key: the kind and what names the entry ("lif VDR NAME", "arp VDR LIF IP", ...); value: the whole line.
    const int words = line.rfind("arp ", 0) == 0 ? 4 : 3;
    size_t cut = 0;
    for (int i = 0; i < words && cut != std::string::npos; ++i) cut = line.find(' ', cut + (i ? 1 : 0));
    table[line.substr(0, cut)][0] = std::vector<uint8_t>(line.begin(), line.end());
  }
  return table;
}

std::vector<uint8_t> RouterModule::FullSyncRequest(uint32_t vdrId) {
  std::vector<uint8_t> out(kMsgHeaderLen + kInstanceReportLen, 0);
  Put16(out, 0, kMsgUpdate);
  Put16(out, 2, static_cast<uint16_t>(out.size()));
  Put16(out, 4, kTlvInstanceReport);
  Put16(out, 6, kInstanceReportLen);
  Put32(out, 8, vdrId);
  out[12] = kInstanceFullSync;
  return out;
}

std::vector<uint8_t> RouterModule::DadReport(uint32_t vdrId, const std::string& lifName, const std::string& version,
                                             uint8_t status,
                                             const std::vector<std::pair<std::string, uint8_t>>& entries) {
  const size_t tlvLength = kDadReportFixedLen + entries.size() * kDadEntryLen;
  std::vector<uint8_t> out(kMsgHeaderLen + tlvLength, 0);
  Put16(out, 0, kMsgUpdate);
  Put16(out, 2, static_cast<uint16_t>(out.size()));
  uint8_t* p = out.data() + kMsgHeaderLen;
  p[0] = kTlvDadReport >> 8;
  p[1] = kTlvDadReport & 0xff;
  p[2] = static_cast<uint8_t>(tlvLength >> 8);
  p[3] = static_cast<uint8_t>(tlvLength);
  for (int i = 0; i < 4; ++i) p[4 + i] = static_cast<uint8_t>(vdrId >> (24 - 8 * i));
  std::memcpy(p + 8, lifName.data(), std::min(lifName.size(), kNameLen - 1));
  std::memcpy(p + 72, version.data(), std::min(version.size(), kNameLen - 1));
  p[136] = status;
  p[137] = static_cast<uint8_t>(entries.size() >> 8);
  p[138] = static_cast<uint8_t>(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    uint8_t* entry = p + kDadReportFixedLen + i * kDadEntryLen;
    if (inet_pton(AF_INET, entries[i].first.c_str(), entry + 1) == 1) {
      entry[0] = kFamilyIpv4;
    } else if (inet_pton(AF_INET6, entries[i].first.c_str(), entry + 1) == 1) {
      entry[0] = kFamilyIpv6;
    }
    entry[1 + kAddressLen] = entries[i].second;
  }
  return out;
}

std::optional<std::pair<bool, std::string>> RouterModule::Command(const std::vector<std::string>& words,
                                                                  std::vector<std::vector<uint8_t>>& messages) {
  const std::string& name = words[0];
  auto number = [](const std::string& text, unsigned long max, unsigned long* out) {
    char* end = nullptr;
    *out = std::strtoul(text.c_str(), &end, 0);
    return !text.empty() && *end == '\0' && *out <= max;
  };
  unsigned long value = 0;
  if (name == "stats") {
    std::ostringstream out;
    out << "instances " << _instances.size() << " lifs " << _lifs.size() << " routes " << _routes.size() << " arp "
        << ArpCount() << " malformed " << _malformed << " messages " << _updates << " changed-ns " << _appliedNs
        << "\n";
    return std::pair(true, out.str());
  }
  if (name == "vdr-full-sync") {
    if (words.size() != 3) return std::pair(false, std::string("usage: vdr-full-sync CHANNEL VDR|all"));
    if (words[2] == "all") {
      value = kAllVdrs;
    } else if (!number(words[2], 0xffffffff, &value)) {
      return std::pair(false, std::string("bad VDR ID"));
    }
    messages.push_back(FullSyncRequest(static_cast<uint32_t>(value)));
    return std::pair(true, std::string());
  }
  if (name == "vdr-dad-report") {
    unsigned long status = 0;
    if (words.size() < 6 || words.size() % 2 != 0 || !number(words[2], 0xffffffff, &value) ||
        !number(words[5], 0xff, &status)) {
      return std::pair(false, std::string("usage: vdr-dad-report CHANNEL VDR LIF VERSION|- STATUS [IP STATE]..."));
    }
    std::vector<std::pair<std::string, uint8_t>> entries;
    for (size_t i = 6; i + 1 < words.size(); i += 2) {
      unsigned long state = 0;
      uint8_t scratch[16];
      if (!number(words[i + 1], 0xff, &state) ||
          (inet_pton(AF_INET, words[i].c_str(), scratch) != 1 && inet_pton(AF_INET6, words[i].c_str(), scratch) != 1)) {
        return std::pair(false, std::string("bad DAD entry ") + words[i]);
      }
      entries.emplace_back(words[i], static_cast<uint8_t>(state));
    }
    messages.push_back(DadReport(static_cast<uint32_t>(value), words[3], words[4] == "-" ? std::string() : words[4],
                                 static_cast<uint8_t>(status), entries));
    return std::pair(true, std::string());
  }
  if (name == "vdr-reset") {
    // A module reload: the tables are lost and the kernel asks the agent for everything.
    _instances.clear();
    _lifs.clear();
    _routes.clear();
    _arp.clear();
    _dad.clear();
    _prefixLists.clear();
    _multicastRoutes.clear();
    _bridgeEndpoints.clear();
    _global.reset();
    _syncs.clear();
    messages.push_back(FullSyncRequest(kAllVdrs));
    return std::pair(true, std::string());
  }
  if (name == "vdr-message") {
    if (words.size() != 3 || !number(words[2], 0xffff, &value)) {
      return std::pair(false, std::string("usage: vdr-message CHANNEL TYPE"));
    }
    std::vector<uint8_t> out(kMsgHeaderLen, 0);
    Put16(out, 0, static_cast<uint16_t>(value));
    Put16(out, 2, kMsgHeaderLen);
    messages.push_back(out);
    return std::pair(true, std::string());
  }
  if (name == "disruption-start") {
    _recorder.Start(RecorderTable());
    return std::pair(true, std::string("recording\n"));
  }
  if (name == "disruption-report") return std::pair(true, _recorder.Report());
  return std::nullopt;
}

}  // namespace qor::dpsim
