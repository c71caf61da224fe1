#include "tools/qor-dpsim/OverlayModule.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "dataplane/overlay/OverlayLayout.h"
#include "tools/qor-dpsim/Channel.h"

namespace qor::dpsim {

namespace ov = VevUroro::overlay;
using Bytes = OverlayModule::Bytes;

namespace {

uint16_t Be16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
uint32_t Be32(const uint8_t* p) {
  return (static_cast<uint32_t>(Be16(p)) << 16) | Be16(p + 2);
}
uint64_t Be64(const uint8_t* p) {
  return (static_cast<uint64_t>(Be32(p)) << 32) | Be32(p + 4);
}
void Add16(Bytes& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}
void Add32(Bytes& out, uint32_t v) {
  Add16(out, static_cast<uint16_t>(v >> 16));
  Add16(out, static_cast<uint16_t>(v));
}

Bytes Frame(uint16_t type, uint32_t session, uint16_t tlvType, const Bytes& payload) {
  Bytes out;
  Add16(out, type);
  Add16(out, static_cast<uint16_t>(ov::kHeaderLen + ov::kTlvHeaderLen + payload.size()));
  Add32(out, session);
  Add16(out, tlvType);
  Add16(out, static_cast<uint16_t>(ov::kTlvHeaderLen + payload.size()));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

std::string Hex(const uint8_t* p, size_t n) {
  std::string out;
  char buffer[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(buffer, sizeof(buffer), "%02x", p[i]);
    out += buffer;
  }
  return out;
}

std::string Address(uint32_t type, const uint8_t* p) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (type == ov::kAddrIPv4) inet_ntop(AF_INET, p, text, sizeof(text));
  if (type == ov::kAddrIPv6) inet_ntop(AF_INET6, p, text, sizeof(text));
  return text;
}

std::string Mac(const uint8_t* p) {
  char text[18];
  std::snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", p[0], p[1], p[2], p[3], p[4], p[5]);
  return text;
}

// An address given on the command line: type and 16 bytes.
bool ParseAddress(const std::string& text, uint32_t* type, uint8_t* out) {
  std::memset(out, 0, 16);
  if (inet_pton(AF_INET, text.c_str(), out) == 1) {
    *type = ov::kAddrIPv4;
    return true;
  }
  if (inet_pton(AF_INET6, text.c_str(), out) == 1) {
    *type = ov::kAddrIPv6;
    return true;
  }
  return false;
}

bool ParseMac(const std::string& text, uint8_t* out) {
  unsigned v[6];
  if (std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) != 6) return false;
  for (int i = 0; i < 6; ++i) {
    if (v[i] > 255) return false;
    out[i] = static_cast<uint8_t>(v[i]);
  }
  return true;
}

bool ParseU32(const std::string& text, uint32_t* out) {
  try {
    size_t used = 0;
    unsigned long value = std::stoul(text, &used, 0);
    if (used != text.size() || value > 0xFFFFFFFFul) return false;
    *out = static_cast<uint32_t>(value);
    return true;
  } catch (...) {
    return false;
  }
}

// A UUID in its text form as 16 bytes (high 64 bits first).
bool ParseUuid(const std::string& text, Bytes* out) {
  std::string hex;
  for (char c : text) {
    if (c != '-') hex += c;
  }
  if (hex.size() != 32) return false;
  out->clear();
  for (size_t i = 0; i < 32; i += 2) {
    unsigned v;
    if (std::sscanf(hex.substr(i, 2).c_str(), "%2x", &v) != 1) return false;
    out->push_back(static_cast<uint8_t>(v));
  }
  return true;
}

Bytes VtepRecordOf(uint32_t type, const uint8_t* address, uint32_t label) {
  Bytes record(ov::kVtepRecordLen, 0);
  record[0] = 0;
  record[3] = static_cast<uint8_t>(type);
  std::memcpy(record.data() + ov::kVtepAddrOffset, address, 16);
  for (int i = 0; i < 4; ++i) record[ov::kVtepLabelOffset + i] = static_cast<uint8_t>(label >> (24 - 8 * i));
  record[ov::kVtepEncapOffset] = ov::kEncapGeneve;
  record[ov::kVtepMtepOffset] = 1;
  return record;
}

std::string VtepText(const uint8_t* r) {
  static const char* encaps[] = {"vxlan", "vxstt", "geneve"};
  const uint8_t encap = r[ov::kVtepEncapOffset];
  std::ostringstream out;
  out << Address(Be32(r), r + ov::kVtepAddrOffset) << " label=" << Be32(r + ov::kVtepLabelOffset)
      << " segment=" << Be32(r + ov::kVtepSegmentOffset) << " mac=" << Mac(r + ov::kVtepMacOffset)
      << " encap=" << (encap < 3 ? encaps[encap] : "?") << " mtep=" << int(r[ov::kVtepMtepOffset])
      << " flag=" << Be32(r + ov::kVtepFlagOffset);
  return out.str();
}

}  // namespace

Bytes OverlayModule::SessionMessage(uint16_t type) const {
  Bytes payload;
  Add32(payload, _session);
  return Frame(ov::kMsgSessionControl, _sessionOverride.value_or(_session), type, payload);
}

Bytes OverlayModule::VniMessage(uint32_t switchId, uint32_t vni, bool join) const {
  Bytes payload;
  Add32(payload, switchId);
  Add32(payload, vni);
  payload.push_back(join ? ov::kVniJoin : ov::kVniLeave);
  return Frame(ov::kMsgVniMembership, _sessionOverride.value_or(_session), ov::kVniMembershipChange, payload);
}

Bytes OverlayModule::LocalUpdate(uint16_t type, uint32_t switchId, uint32_t vni, const std::vector<Bytes>& added,
                                 const std::vector<Bytes>& removed) const {
  Bytes payload;
  Add32(payload, switchId);
  Add32(payload, vni);
  Add16(payload, static_cast<uint16_t>(added.size()));
  Add16(payload, static_cast<uint16_t>(removed.size()));
  for (const Bytes& r : added) payload.insert(payload.end(), r.begin(), r.end());
  for (const Bytes& r : removed) payload.insert(payload.end(), r.begin(), r.end());
  return Frame(ov::kMsgUpdate, _sessionOverride.value_or(_session), type, payload);
}

void OverlayModule::OnMessage(Connection& connection, const std::vector<uint8_t>& message) {
  std::vector<Bytes> replies;
  if (Receive(message, replies)) {
    ++_applied;
    _appliedNs = NowNs();
  }
  for (Bytes& reply : replies) connection.Send(std::move(reply));
}

bool OverlayModule::Receive(const Bytes& message, std::vector<Bytes>& replies) {
  if (!Apply(message.data(), message.size(), replies)) {
    ++_malformed;
    return false;
  }
  CheckRecorder();
  return true;
}

bool OverlayModule::Apply(const uint8_t* m, size_t size, std::vector<Bytes>& replies) {
  if (size < ov::kHeaderLen || Be16(m + 2) != size) return false;
  const uint16_t type = Be16(m);
  // Check every TLV's bounds before acting on any.
  struct Item {
    uint16_t type;
    const uint8_t* p;
    size_t length;
  };
  std::vector<Item> items;
  for (size_t at = ov::kHeaderLen; at < size;) {
    if (size - at < ov::kTlvHeaderLen) return false;
    const size_t length = Be16(m + at + 2);
    if (length < ov::kTlvHeaderLen || length > size - at) return false;
    items.push_back({Be16(m + at), m + at + ov::kTlvHeaderLen, length - ov::kTlvHeaderLen});
    at += length;
  }
  bool ok = true;
  for (const Item& item : items) {
    switch (type) {
      case ov::kMsgInit:
        if (item.type != ov::kInitVersion || item.length != 4) return false;
        _version = Be32(item.p);
        break;
      case ov::kMsgSessionControl:
        if (item.length != ov::kSessionControlLen || Be32(item.p) != Be32(m + 4)) return false;
        if (item.type == ov::kSessionOpen) {
          _session = Be32(item.p);
          ++_generation;
          _syncEnded = false;
          replies.push_back(SessionMessage(ov::kSessionOpenAck));
          Replay(replies);
          replies.push_back(SessionMessage(ov::kSessionFullSyncEnd));
        } else if (item.type == ov::kSessionAgentSyncEnd) {
          if (Be32(item.p) != _session) return false;
          Sweep();
          _syncEnded = true;
        } else {
          return false;
        }
        break;
      case ov::kMsgUpdate:
        ok = ApplyUpdate(item.type, item.p, item.length) && ok;
        break;
      case ov::kMsgConfigure:
        ok = ApplyConfigure(item.type, item.p, item.length) && ok;
        break;
      case ov::kMsgQueryAnswer: {
        std::ostringstream out;
        const uint8_t* p = item.p;
        if (item.type == ov::kQueryVmMac && item.length == ov::kAnswerVmMacLen) {
          out << "mac vni=" << Be32(p) << " " << Mac(p + 4) << (p[10] ? " found vtep=" : " not found");
          if (p[10]) out << Address(Be32(p + 11), p + 15) << " vtep-mac=" << Mac(p + 31);
        } else if (item.type == ov::kQueryArp && item.length == ov::kAnswerArpLen) {
          out << "arp vni=" << Be32(p) << " " << Address(ov::kAddrIPv4, p + 4)
              << (p[8] ? " found mac=" + Mac(p + 9) : std::string(" not found"));
        } else if (item.type == ov::kQueryNd && item.length == ov::kAnswerNdLen) {
          out << "nd vni=" << Be32(p) << " " << Address(ov::kAddrIPv6, p + 4)
              << (p[20] ? " found mac=" + Mac(p + 21) : std::string(" not found"));
        } else {
          return false;
        }
        _answers.push_back(out.str());
        break;
      }
      default:
        return false;
    }
  }
  return ok;
}

bool OverlayModule::ApplyTable(Table& table, const uint8_t* records, size_t adds, size_t removes, size_t recordLen,
                               size_t identityLen) {
  for (size_t i = 0; i < adds + removes; ++i) {
    const uint8_t* r = records + i * recordLen;
    Bytes identity(r, r + identityLen);
    if (i < adds) {
      table[identity] = Entry{Bytes(r, r + recordLen), _generation};
    } else {
      table.erase(identity);
    }
  }
  return true;
}

bool OverlayModule::ApplyUpdate(uint16_t type, const uint8_t* p, size_t length) {
  if (type == ov::kUpdateVtep || type == ov::kUpdateVmMac || type == ov::kUpdateArp || type == ov::kUpdateNd) {
    if (length < ov::kTableHeaderLen) return false;
    const uint32_t switchId = Be32(p);
    const uint32_t vni = Be32(p + 4);
    const size_t adds = Be16(p + 8), removes = Be16(p + 10);
    size_t recordLen = ov::kVtepRecordLen, identityLen = 24;  // address type, address, label
    if (type == ov::kUpdateVmMac) recordLen = ov::kVmMacRecordLen, identityLen = 6;
    if (type == ov::kUpdateArp) recordLen = ov::kArpRecordLen, identityLen = 4;
    if (type == ov::kUpdateNd) recordLen = ov::kNdRecordLen, identityLen = 16;
    if (length != ov::kTableHeaderLen + (adds + removes) * recordLen) return false;
    auto joined = _joined.find(vni);
    if (joined == _joined.end()) {
      // The datapath left the VNI while the agent, not yet told, was still sending: dropped, counted apart.
      ++_notJoined;
      return true;
    }
    if (joined->second != switchId) return false;
    VniTables& tables = _tables[vni];
    Table& table = type == ov::kUpdateVtep    ? tables.vteps
                   : type == ov::kUpdateVmMac ? tables.macs
                   : type == ov::kUpdateArp   ? tables.arp
                                              : tables.nd;
    return ApplyTable(table, p + ov::kTableHeaderLen, adds, removes, recordLen, identityLen);
  }
  if (type == ov::kUpdateRoutingDomainList) {
    if (length % ov::kRoutingDomainRecordLen != 0) return false;
    for (size_t at = 0; at < length; at += ov::kRoutingDomainRecordLen) {
      Bytes domain(p + at + 1, p + at + 17);
      if (p[at] == 1) {
        _routingDomains[domain] = Entry{Bytes(p + at + 17, p + at + 21), _generation};
      } else {
        _routingDomains.erase(domain);
      }
    }
    // The list is whole: domains it does not name are gone.
    for (auto it = _routingDomains.begin(); it != _routingDomains.end();) {
      it = it->second.generation == _generation ? std::next(it) : _routingDomains.erase(it);
    }
    return true;
  }
  if (type == ov::kUpdateRoutingDomainVtep) {
    if (length < ov::kRoutingDomainVtepHeaderLen) return false;
    const size_t adds = Be16(p + 21), removes = Be16(p + 23);
    if (length != ov::kRoutingDomainVtepHeaderLen + (adds + removes) * ov::kVtepRecordLen) return false;
    for (size_t i = 0; i < adds + removes; ++i) {
      const uint8_t* r = p + ov::kRoutingDomainVtepHeaderLen + i * ov::kVtepRecordLen;
      Bytes key(40);
      std::memcpy(key.data(), p + 4, 16);
      std::memcpy(key.data() + 16, r, 24);
      if (i < adds) {
        _rdVteps[key] = Entry{Bytes(r, r + ov::kVtepRecordLen), _generation};
      } else {
        _rdVteps.erase(key);
      }
    }
    return true;
  }
  if (type == ov::kUpdateBfdSession) {
    if (length != ov::kBfdSessionLen || (p[0] != 1 && p[0] != 2)) return false;
    Bytes key(p + 1, p + length);  // everything but the action
    if (p[0] == 1) {
      _bfdSessions[key] = Entry{Bytes(p, p + length), _generation};
    } else {
      _bfdSessions.erase(key);
    }
    return true;
  }
  if (type == ov::kUpdateVtepGroup) {
    if (length < ov::kVtepGroupHeaderLen) return false;
    const size_t count = Be16(p + 9);
    if (length != ov::kVtepGroupHeaderLen + count * ov::kVtepRecordLen || (p[0] != 1 && p[0] != 2)) return false;
    if (p[0] == 1) {
      _groups[Be64(p + 1)] = Entry{Bytes(p + ov::kVtepGroupHeaderLen, p + length), _generation};
    } else {
      _groups.erase(Be64(p + 1));
    }
    return true;
  }
  return false;
}

bool OverlayModule::ApplyConfigure(uint16_t type, const uint8_t* p, size_t length) {
  switch (type) {
    case ov::kConfigReplicationMode:
      if (length != ov::kReplicationModeLen) return false;
      _replicationMode = Be32(p);
      return true;
    case ov::kConfigControllerAddress:
      if (length != ov::kControllerAddressLen) return false;
      _controller.assign(p, p + length);
      return true;
    case ov::kConfigMacLimit: {
      if (length != ov::kMacLimitLen) return false;
      auto joined = _joined.find(Be32(p + 4));
      if (joined == _joined.end() || joined->second != Be32(p)) return false;
      // A zero limit lifts the VNI's limit.
      if (const uint32_t limit = Be32(p + 8)) {
        _tables[Be32(p + 4)].macLimit = limit;
      } else {
        _tables[Be32(p + 4)].macLimit.reset();
      }
      return true;
    }
    case ov::kConfigBfdHostSwitch:
      if (length != ov::kBfdHostSwitchLen) return false;
      _bfdConfigs[Bytes(p, p + 16)] = Bytes(p + 16, p + length);
      return true;
    case ov::kConfigEvpnBfd:
      if (length != ov::kEvpnBfdLen) return false;
      _evpnBfd.assign(p, p + length);
      return true;
    default:
      return false;
  }
}

void OverlayModule::Replay(std::vector<Bytes>& replies) const {
  for (uint32_t instance : _instances) {
    Bytes payload;
    Add32(payload, instance);
    replies.push_back(Frame(ov::kMsgInstanceChange, _session, ov::kInstanceInsert, payload));
  }
  for (const auto& [vni, switchId] : _joined) replies.push_back(VniMessage(switchId, vni, true));
  for (const auto& [vni, local] : _local) {
    auto joined = _joined.find(vni);
    if (joined == _joined.end()) continue;
    std::vector<Bytes> vteps, macs;
    for (const auto& [id, r] : local.vteps) vteps.push_back(r);
    for (const auto& [id, r] : local.macs) macs.push_back(r);
    if (!vteps.empty()) replies.push_back(LocalUpdate(ov::kUpdateVtep, joined->second, vni, vteps, {}));
    if (!macs.empty()) replies.push_back(LocalUpdate(ov::kUpdateVmMac, joined->second, vni, macs, {}));
  }
  for (const auto& [domain, held] : _localRd) {
    Bytes payload;
    Add32(payload, held.first);
    payload.insert(payload.end(), domain.begin(), domain.end());
    payload.push_back(0);
    Add16(payload, static_cast<uint16_t>(held.second.vteps.size()));
    Add16(payload, 0);
    for (const auto& [id, r] : held.second.vteps) payload.insert(payload.end(), r.begin(), r.end());
    replies.push_back(Frame(ov::kMsgUpdate, _session, ov::kUpdateRoutingDomainVtep, payload));
  }
}

void OverlayModule::Sweep() {
  auto sweep = [this](auto& table) {
    for (auto it = table.begin(); it != table.end();) {
      it = it->second.generation < _generation ? table.erase(it) : std::next(it);
    }
  };
  for (auto& [vni, tables] : _tables) {
    sweep(tables.vteps);
    sweep(tables.macs);
    sweep(tables.arp);
    sweep(tables.nd);
  }
  sweep(_rdVteps);
  sweep(_groups);
  sweep(_bfdSessions);
  sweep(_routingDomains);
}

DisruptionRecorder::Table OverlayModule::Snapshot() const {
  DisruptionRecorder::Table rows;
  auto add = [&rows](const std::string& prefix, const auto& table) {
    for (const auto& [id, entry] : table) rows[prefix + Hex(id.data(), id.size())][0] = entry.record;
  };
  for (const auto& [vni, tables] : _tables) {
    const std::string prefix = "vni:" + std::to_string(vni) + ":";
    add(prefix + "vtep:", tables.vteps);
    add(prefix + "mac:", tables.macs);
    add(prefix + "arp:", tables.arp);
    add(prefix + "nd:", tables.nd);
  }
  add("rd-vtep:", _rdVteps);
  add("bfd:", _bfdSessions);
  for (const auto& [key, entry] : _groups) rows["group:" + std::to_string(key)][0] = entry.record;
  return rows;
}

void OverlayModule::CheckRecorder() {
  if (_recorder.Running()) _recorder.Check(Snapshot(), nullptr);
}

std::optional<std::pair<bool, std::string>> OverlayModule::Command(const std::vector<std::string>& words,
                                                                   std::vector<Bytes>& messages) {
  const std::string& name = words[0];
  if (name == "stats") return std::pair(true, Stats());
  if (name.rfind("l2-", 0) != 0) return std::nullopt;
  auto usage = [](const char* text) { return std::pair(false, std::string("usage: ") + text); };
  const size_t n = words.size();
  uint32_t a = 0, b = 0;
  if (name == "l2-join") {
    if (n != 4 || !ParseU32(words[2], &a) || !ParseU32(words[3], &b)) return usage("l2-join CHANNEL VNI SWITCH_ID");
    _joined[a] = b;
    if (_session) messages.push_back(VniMessage(b, a, true));
    return std::pair(true, std::string());
  }
  if (name == "l2-leave") {
    if (n != 3 || !ParseU32(words[2], &a)) return usage("l2-leave CHANNEL VNI");
    auto joined = _joined.find(a);
    const uint32_t switchId = joined == _joined.end() ? 0 : joined->second;
    _joined.erase(a);
    _tables.erase(a);
    _local.erase(a);
    // The VNI's BFD sessions go with it (the agent sends them again at the next join).
    for (auto it = _bfdSessions.begin(); it != _bfdSessions.end();) {
      it = Be32(it->second.record.data() + 5) == a ? _bfdSessions.erase(it) : std::next(it);
    }
    if (_session) messages.push_back(VniMessage(switchId, a, false));
    CheckRecorder();
    return std::pair(true, std::string());
  }
  if (name == "l2-local-vtep" || name == "l2-local-mac") {
    const bool vtep = name == "l2-local-vtep";
    uint8_t address[16], mac[6];
    uint32_t type = 0;
    bool ok = n == 6 && ParseU32(words[2], &a) && (words[5] == "add" || words[5] == "del");
    if (ok && vtep) ok = ParseAddress(words[3], &type, address) && ParseU32(words[4], &b);
    if (ok && !vtep) ok = ParseMac(words[3], mac) && ParseAddress(words[4], &type, address);
    if (!ok) {
      return usage(vtep ? "l2-local-vtep CHANNEL VNI IP LABEL add|del"
                        : "l2-local-mac CHANNEL VNI MAC VTEP_IP add|del");
    }
    auto joined = _joined.find(a);
    if (joined == _joined.end()) return std::pair(false, std::string("VNI not joined"));
    Bytes record;
    if (vtep) {
      record = VtepRecordOf(type, address, b);
    } else {
      record.assign(mac, mac + 6);
      Add32(record, type);
      record.insert(record.end(), address, address + 16);
      record.insert(record.end(), 6, 0);
    }
    Bytes identity(record.begin(), record.begin() + (vtep ? 24 : 6));
    auto& table = vtep ? _local[a].vteps : _local[a].macs;
    const bool add = words[5] == "add";
    if (add) {
      table[identity] = record;
    } else {
      table.erase(identity);
    }
    if (_session) {
      messages.push_back(LocalUpdate(vtep ? ov::kUpdateVtep : ov::kUpdateVmMac, joined->second, a,
                                     add ? std::vector<Bytes>{record} : std::vector<Bytes>{},
                                     add ? std::vector<Bytes>{} : std::vector<Bytes>{record}));
    }
    return std::pair(true, std::string());
  }
  if (name == "l2-rd-vtep") {
    Bytes domain;
    uint8_t address[16];
    uint32_t type = 0, label = 0;
    if (n != 7 || !ParseU32(words[2], &a) || !ParseUuid(words[3], &domain) || !ParseAddress(words[4], &type, address) ||
        !ParseU32(words[5], &label) || (words[6] != "add" && words[6] != "del")) {
      return usage("l2-rd-vtep CHANNEL SWITCH_ID RD_UUID IP LABEL add|del");
    }
    Bytes record = VtepRecordOf(type, address, label);
    Bytes identity(record.begin(), record.begin() + 24);
    auto& held = _localRd[domain];
    held.first = a;
    const bool add = words[6] == "add";
    if (add) {
      held.second.vteps[identity] = record;
    } else {
      held.second.vteps.erase(identity);
    }
    if (_session) {
      Bytes payload;
      Add32(payload, a);
      payload.insert(payload.end(), domain.begin(), domain.end());
      payload.push_back(0);
      Add16(payload, add ? 1 : 0);
      Add16(payload, add ? 0 : 1);
      payload.insert(payload.end(), record.begin(), record.end());
      messages.push_back(
          Frame(ov::kMsgUpdate, _sessionOverride.value_or(_session), ov::kUpdateRoutingDomainVtep, payload));
    }
    return std::pair(true, std::string());
  }
  if (name == "l2-query") {
    uint8_t address[16] = {}, mac[6];
    uint32_t type = 0;
    if (n != 5 || !ParseU32(words[3], &a)) return usage("l2-query CHANNEL mac|arp|nd VNI ADDRESS");
    Bytes payload;
    Add32(payload, a);
    uint16_t kind = 0;
    if (words[2] == "mac" && ParseMac(words[4], mac)) {
      kind = ov::kQueryVmMac;
      payload.insert(payload.end(), mac, mac + 6);
    } else if (words[2] == "arp" && ParseAddress(words[4], &type, address) && type == ov::kAddrIPv4) {
      kind = ov::kQueryArp;
      payload.insert(payload.end(), address, address + 4);
    } else if (words[2] == "nd" && ParseAddress(words[4], &type, address) && type == ov::kAddrIPv6) {
      kind = ov::kQueryNd;
      payload.insert(payload.end(), address, address + 16);
    } else {
      return usage("l2-query CHANNEL mac|arp|nd VNI ADDRESS");
    }
    messages.push_back(Frame(ov::kMsgQuery, _sessionOverride.value_or(_session), kind, payload));
    return std::pair(true, std::string());
  }
  if (name == "l2-out-of-sync") {
    messages.push_back(Frame(ov::kMsgStateReport, _sessionOverride.value_or(_session), ov::kReportOutOfSync, {1}));
    return std::pair(true, std::string());
  }
  if (name == "l2-instance") {
    if (n != 4 || (words[2] != "add" && words[2] != "remove") || !ParseU32(words[3], &a)) {
      return usage("l2-instance CHANNEL add|remove ID");
    }
    if (words[2] == "add") {
      _instances.insert(a);
    } else if (_instances.erase(a) && _instances.empty()) {
      // The global routing domain lives on the host switch's one instance: it goes with it.
      std::erase_if(_rdVteps, [](const auto& held) {
        return std::all_of(held.first.begin(), held.first.begin() + 16, [](uint8_t b) { return b == 0xff; });
      });
    }
    Bytes payload;
    Add32(payload, a);
    messages.push_back(Frame(ov::kMsgInstanceChange, _sessionOverride.value_or(_session),
                             words[2] == "add" ? ov::kInstanceInsert : ov::kInstanceRemove, payload));
    return std::pair(true, std::string());
  }
  if (name == "l2-alarm") {
    uint32_t state = 0, family = 0, fault = 0;
    const uint8_t kind = n > 2 && words[2] == "fault"      ? ov::kAlarmFault
                         : n > 2 && words[2] == "ha"       ? ov::kAlarmHaState
                         : n > 2 && words[2] == "recovery" ? ov::kAlarmAutoRecovery
                                                           : 0;
    if (n != 8 || kind == 0 || !ParseU32(words[3], &state) || !ParseU32(words[4], &family) ||
        !ParseU32(words[5], &fault) || words[6].size() > ov::kTkmNameLen || words[7].size() > ov::kDvsNameLen) {
      return usage("l2-alarm CHANNEL fault|ha|recovery STATE FAMILY FAULT TKM_NAME DVS_NAME");
    }
    Bytes payload = {kind, static_cast<uint8_t>(state), static_cast<uint8_t>(family), static_cast<uint8_t>(fault)};
    Bytes tkm(ov::kTkmNameLen, 0), dvs(ov::kDvsNameLen, 0);
    std::memcpy(tkm.data(), words[6].data(), words[6].size());
    std::memcpy(dvs.data(), words[7].data(), words[7].size());
    payload.insert(payload.end(), tkm.begin(), tkm.end());
    payload.insert(payload.end(), dvs.begin(), dvs.end());
    messages.push_back(Frame(ov::kMsgAlarm, _sessionOverride.value_or(_session), ov::kAlarmTkmnic, payload));
    return std::pair(true, std::string());
  }
  if (name == "l2-send-session") {
    if (n != 3 || !ParseU32(words[2], &a)) return usage("l2-send-session CHANNEL SESSION");
    _sessionOverride = a;
    return std::pair(true, std::string());
  }
  if (name == "l2-record-start") {
    _recorder.Start(Snapshot());
    return std::pair(true, std::string());
  }
  if (name == "l2-record-report") return std::pair(true, _recorder.Report());
  return std::pair(false, "unknown command " + name);
}

std::string OverlayModule::Stats() const {
  size_t vteps = 0, macs = 0, arp = 0, nd = 0;
  for (const auto& [vni, t] : _tables) {
    vteps += t.vteps.size();
    macs += t.macs.size();
    arp += t.arp.size();
    nd += t.nd.size();
  }
  std::ostringstream out;
  out << "joined " << _joined.size() << " vteps " << vteps << " macs " << macs << " arp " << arp << " nd " << nd
      << " bfd " << _bfdSessions.size() << " malformed " << _malformed << " not-joined " << _notJoined << " messages "
      << _applied << " changed-ns " << _appliedNs << "\n";
  return out.str();
}

std::string OverlayModule::Dump() const {
  std::ostringstream out;
  out << "overlay session=" << _session << " sync-ended=" << (_syncEnded ? "yes" : "no") << " malformed=" << _malformed
      << " not-joined=" << _notJoined << "\n";
  out << "replication mode: " << (_replicationMode ? std::to_string(*_replicationMode) : "-") << "\n";
  if (_controller.size() == ov::kControllerAddressLen) {
    const uint32_t type = Be32(_controller.data() + 12);
    out << "controller: type=" << type;
    if (type & 1) out << " ipv4=" << Address(ov::kAddrIPv4, _controller.data() + 8);
    if (type & 2) out << " ipv6=" << Address(ov::kAddrIPv6, _controller.data() + 16);
    out << "\n";
  }
  out << "joined VNIs: " << _joined.size() << "\n";
  for (const auto& [vni, switchId] : _joined) {
    out << "  vni " << vni << " switch " << switchId;
    auto tables = _tables.find(vni);
    // A VNI whose tables were emptied reads like one that was never given any.
    if (tables == _tables.end() ||
        (tables->second.vteps.empty() && tables->second.macs.empty() && tables->second.arp.empty() &&
         tables->second.nd.empty() && !tables->second.macLimit)) {
      out << "\n";
      continue;
    }
    const VniTables& t = tables->second;
    out << " vteps=" << t.vteps.size() << " macs=" << t.macs.size() << " arp=" << t.arp.size() << " nd=" << t.nd.size();
    if (t.macLimit) out << " mac-limit=" << *t.macLimit;
    out << "\n";
    for (const auto& [id, e] : t.vteps) out << "    vtep " << VtepText(e.record.data()) << "\n";
    for (const auto& [id, e] : t.macs) {
      const uint8_t* r = e.record.data();
      out << "    mac " << Mac(r) << " vtep=" << Address(Be32(r + 6), r + 10) << " vtep-mac=" << Mac(r + 26) << "\n";
    }
    for (const auto& [id, e] : t.arp) {
      const uint8_t* r = e.record.data();
      out << "    arp " << Address(ov::kAddrIPv4, r) << " mac=" << Mac(r + 4)
          << " vtep=" << Address(Be32(r + 10), r + 14) << "\n";
    }
    for (const auto& [id, e] : t.nd) {
      const uint8_t* r = e.record.data();
      out << "    nd " << Address(ov::kAddrIPv6, r) << " mac=" << Mac(r + 16)
          << " vtep=" << Address(Be32(r + 22), r + 26) << "\n";
    }
  }
  for (const auto& [vni, local] : _local) {
    if (local.vteps.empty() && local.macs.empty()) continue;
    out << "  local vni " << vni << ": vteps=" << local.vteps.size() << " macs=" << local.macs.size() << "\n";
  }
  out << "routing domains: " << _routingDomains.size() << "\n";
  for (const auto& [domain, entry] : _routingDomains) {
    out << "  rd " << Hex(domain.data(), domain.size()) << " switch " << Be32(entry.record.data()) << "\n";
  }
  for (const auto& [key, entry] : _rdVteps) {
    out << "  rd-vtep " << Hex(key.data(), 16) << " " << VtepText(entry.record.data()) << "\n";
  }
  out << "vtep groups: " << _groups.size() << "\n";
  for (const auto& [key, entry] : _groups) {
    out << "  group " << key << " vteps=" << entry.record.size() / ov::kVtepRecordLen << "\n";
  }
  out << "bfd sessions: " << _bfdSessions.size() << "\n";
  for (const auto& [key, entry] : _bfdSessions) {
    const uint8_t* r = entry.record.data();
    out << "  bfd switch=" << Be32(r + 1) << " vni=" << Be32(r + 5) << " local=" << Address(Be32(r + 9), r + 13)
        << " remote=" << Address(Be32(r + 29), r + 33) << " labels=" << Be32(r + 49) << "/" << Be32(r + 53)
        << " type=" << Be32(r + 57) << " vg-label=" << Be32(r + 61) << "\n";
  }
  out << "bfd host switch configs: " << _bfdConfigs.size() << "\n";
  for (const auto& [dvs, config] : _bfdConfigs) {
    out << "  dvs " << Hex(dvs.data(), dvs.size()) << " flags=" << Be32(config.data()) << " enabled=" << int(config[4])
        << " interval=" << Be32(config.data() + 5) << " latency=" << int(config[9]) << "\n";
  }
  if (_evpnBfd.size() == ov::kEvpnBfdLen) {
    out << "evpn bfd: flags=" << Be32(_evpnBfd.data()) << " enabled=" << int(_evpnBfd[4])
        << " interval=" << Be32(_evpnBfd.data() + 5) << " multiplier=" << Be32(_evpnBfd.data() + 9) << "\n";
  }
  out << "query answers: " << _answers.size() << "\n";
  for (const std::string& answer : _answers) out << "  " << answer << "\n";
  return out.str();
}

}  // namespace qor::dpsim
