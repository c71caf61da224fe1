#include "apps/overlay/OverlayMessages.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "core/Logger.h"

namespace VevUroro::overlay {

namespace tv = zantix::qor::tolvar;

void PutU16(Bytes& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

void PutU32(Bytes& out, uint32_t value) {
  PutU16(out, static_cast<uint16_t>(value >> 16));
  PutU16(out, static_cast<uint16_t>(value));
}

void PutU64(Bytes& out, uint64_t value) {
  PutU32(out, static_cast<uint32_t>(value >> 32));
  PutU32(out, static_cast<uint32_t>(value));
}

uint16_t GetU16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t GetU32(const uint8_t* p) {
  return (static_cast<uint32_t>(GetU16(p)) << 16) | GetU16(p + 2);
}

uint64_t GetU64(const uint8_t* p) {
  return (static_cast<uint64_t>(GetU32(p)) << 32) | GetU32(p + 4);
}

Bytes BeginMessage(uint16_t type, uint32_t session) {
  Bytes message;
  message.reserve(64);
  PutU16(message, type);
  PutU16(message, 0);
  PutU32(message, session);
  return message;
}

void AppendTlv(Bytes& message, uint16_t tlvType, const Bytes& payload) {
  PutU16(message, tlvType);
  PutU16(message, static_cast<uint16_t>(payload.size() + kTlvHeaderLen));
  message.insert(message.end(), payload.begin(), payload.end());
}

void FinishMessage(Bytes& message) {
  message[2] = static_cast<uint8_t>(message.size() >> 8);
  message[3] = static_cast<uint8_t>(message.size());
}

Bytes Message(uint16_t type, uint32_t session, uint16_t tlvType, const Bytes& payload) {
  // The 16-bit length fields would wrap and the module would drop the message as malformed.
  if (payload.size() > kMaxTlvPayload) {
    Logger(LOG_LEVEL_ERROR, "%1: message type %2 TLV %3 of %4 bytes does not fit in one message, not sent", "L2App",
           type, tlvType, payload.size())
        .AddTag("errorCode:LCP00407");
    return {};
  }
  Bytes message = BeginMessage(type, session);
  AppendTlv(message, tlvType, payload);
  FinishMessage(message);
  return message;
}

namespace {

// The datapath's 16 address bytes (IPv4 in the first four, network order) of a database address.
void WriteIpBytes(const tv::IpAddressMsg& ip, uint8_t* out) {
  std::memset(out, 0, 16);
  if (ip.has_ipv4()) {
    const uint32_t v = ip.ipv4();
    out[0] = static_cast<uint8_t>(v >> 24);
    out[1] = static_cast<uint8_t>(v >> 16);
    out[2] = static_cast<uint8_t>(v >> 8);
    out[3] = static_cast<uint8_t>(v);
  } else if (ip.has_ipv6()) {
    std::memcpy(out, ip.ipv6().data(), std::min<size_t>(16, ip.ipv6().size()));
  }
}

void WriteMacBytes(const tv::MacAddressMsg& mac, uint8_t* out) {
  for (int i = 0; i < 6; ++i) out[i] = static_cast<uint8_t>(mac.mac() >> (40 - 8 * i));
}

}  // namespace

std::string VtepAddressText(const tv::IpAddressMsg& ip) {
  uint8_t bytes[16];
  WriteIpBytes(ip, bytes);
  char text[INET6_ADDRSTRLEN] = "";
  inet_ntop(ip.has_ipv4() ? AF_INET : AF_INET6, bytes, text, sizeof(text));
  return text;
}

namespace {

// Address type and 16 address bytes of a database address; 0 when it has none.
uint32_t AddressOf(const tv::IpAddressMsg& ip, uint8_t* out) {
  std::memset(out, 0, 16);
  if (ip.has_ipv4()) {
    WriteIpBytes(ip, out);
    return kAddrIPv4;
  }
  if (ip.has_ipv6()) {
    WriteIpBytes(ip, out);
    return ip.ipv6().size() == 16 ? kAddrIPv6 : 0xFFFFFFFFu;
  }
  return 0;
}

void PutAddress(Bytes& out, const tv::IpAddressMsg& ip) {
  uint8_t bytes[16];
  uint32_t type = AddressOf(ip, bytes);
  PutU32(out, type == kAddrIPv4 || type == kAddrIPv6 ? type : 0);
  out.insert(out.end(), bytes, bytes + 16);
}

void PutMac(Bytes& out, const tv::MacAddressMsg& mac) {
  uint8_t bytes[6];
  WriteMacBytes(mac, bytes);
  out.insert(out.end(), bytes, bytes + 6);
}

tv::IpAddressMsg AddressFrom(uint32_t type, const uint8_t* bytes) {
  tv::IpAddressMsg ip;
  if (type == kAddrIPv4) {
    ip.set_ipv4(GetU32(bytes));
  } else {
    ip.set_ipv6(std::string(reinterpret_cast<const char*>(bytes), 16));
  }
  return ip;
}

tv::MacAddressMsg MacFrom(const uint8_t* bytes) {
  uint64_t value = 0;
  for (int i = 0; i < 6; ++i) value = (value << 8) | bytes[i];
  tv::MacAddressMsg mac;
  mac.set_mac(value);
  return mac;
}

}  // namespace

std::optional<Bytes> VtepRecord(const tv::VtepMsg& vtep) {
  uint8_t address[16];
  const uint32_t type = AddressOf(vtep.ip(), address);
  if (type == 0) {
    Logger(LOG_LEVEL_ERROR, "Invalid VTEP has no vtep ip,  label: %1", vtep.label()).AddTag("errorCode:LCP00019");
    return std::nullopt;
  }
  if (type != kAddrIPv4 && type != kAddrIPv6) {
    Logger(LOG_LEVEL_ERROR, "Invalid VTEP label: %1, address type %2", vtep.label(), type).AddTag("errorCode:LCP00019");
    return std::nullopt;
  }
  uint8_t encap = kEncapGeneve;
  if (vtep.has_encap_type()) {
    switch (vtep.encap_type()) {
      case 1:
        encap = kEncapVxstt;
        break;
      case 3:
        encap = kEncapGeneve;
        break;
      case 4:
      case 5:
        encap = kEncapVxlan;
        break;
      default:
        Logger(LOG_LEVEL_ERROR, "Invalid VTEP encap type %1, IP: %2, label: %3", vtep.encap_type(),
               VtepAddressText(vtep.ip()), vtep.label())
            .AddTag("errorCode:LCP00019");
        return std::nullopt;
    }
  }
  uint8_t mtep = 1;
  if (vtep.has_mtep_capability()) {
    if (vtep.mtep_capability() < 1 || vtep.mtep_capability() > 3) {
      Logger(LOG_LEVEL_ERROR, "Invalid MTEP Capability %1, IP: %2, label: %3", vtep.mtep_capability(),
             VtepAddressText(vtep.ip()), vtep.label())
          .AddTag("errorCode:LCP00019");
      return std::nullopt;
    }
    mtep = static_cast<uint8_t>(vtep.mtep_capability());
  }
  Bytes record;
  record.reserve(kVtepRecordLen);
  PutU32(record, type);
  record.insert(record.end(), address, address + 16);
  PutU32(record, vtep.label());
  PutU32(record, vtep.segment_id());
  PutMac(record, vtep.mac());
  record.push_back(encap);
  record.push_back(mtep);
  PutU32(record, vtep.type() == 4 || vtep.type() == 10 ? 1 : 0);
  return record;
}

Bytes VmMacRecord(const tv::VmMacMsg& mac) {
  Bytes record;
  record.reserve(kVmMacRecordLen);
  PutMac(record, mac.mac());
  PutAddress(record, mac.vtep_ip());
  PutMac(record, mac.vtep_mac());
  return record;
}

std::optional<Bytes> ArpRecord(const tv::VmIpMsg& ip) {
  if (!ip.ip().has_ipv4()) return std::nullopt;
  Bytes record;
  record.reserve(kArpRecordLen);
  PutU32(record, ip.ip().ipv4());
  PutMac(record, ip.mac());
  PutAddress(record, ip.vtep_ip());
  return record;
}

std::optional<Bytes> NdRecord(const tv::VmIpMsg& ip) {
  if (!ip.ip().has_ipv6() || ip.ip().ipv6().size() != 16) return std::nullopt;
  Bytes record;
  record.reserve(kNdRecordLen);
  record.insert(record.end(), ip.ip().ipv6().begin(), ip.ip().ipv6().end());
  PutMac(record, ip.mac());
  PutAddress(record, ip.vtep_ip());
  return record;
}

std::vector<Bytes> DeltaUpdates(uint32_t session, uint16_t updateType, const Bytes& header,
                                const std::vector<Bytes>& added, const std::vector<Bytes>& removed) {
  std::vector<Bytes> messages;
  const size_t counts = header.size();
  size_t a = 0, r = 0;
  while (a < added.size() || r < removed.size()) {
    Bytes payload = header;
    PutU32(payload, 0);  // counts, set below
    uint16_t addCount = 0, removeCount = 0;
    size_t bytes = 0;
    for (; a < added.size() && bytes + added[a].size() <= kMaxRecordBytes; ++a, ++addCount) {
      payload.insert(payload.end(), added[a].begin(), added[a].end());
      bytes += added[a].size();
    }
    for (; a == added.size() && r < removed.size() && bytes + removed[r].size() <= kMaxRecordBytes;
         ++r, ++removeCount) {
      payload.insert(payload.end(), removed[r].begin(), removed[r].end());
      bytes += removed[r].size();
    }
    payload[counts] = static_cast<uint8_t>(addCount >> 8);
    payload[counts + 1] = static_cast<uint8_t>(addCount);
    payload[counts + 2] = static_cast<uint8_t>(removeCount >> 8);
    payload[counts + 3] = static_cast<uint8_t>(removeCount);
    messages.push_back(Message(kMsgUpdate, session, updateType, payload));
  }
  return messages;
}

std::vector<Bytes> TableUpdates(uint32_t session, uint16_t updateType, uint32_t switchId, uint32_t vni,
                                const std::vector<Bytes>& added, const std::vector<Bytes>& removed) {
  Bytes header;
  PutU32(header, switchId);
  PutU32(header, vni);
  return DeltaUpdates(session, updateType, header, added, removed);
}

std::optional<tv::VtepMsg> VtepFromRecord(const uint8_t* record) {
  const uint32_t type = GetU32(record + kVtepAddrTypeOffset);
  if (type != kAddrIPv4 && type != kAddrIPv6) return std::nullopt;
  tv::VtepMsg vtep;
  *vtep.mutable_ip() = AddressFrom(type, record + kVtepAddrOffset);
  vtep.set_label(GetU32(record + kVtepLabelOffset));
  vtep.set_segment_id(GetU32(record + kVtepSegmentOffset));
  *vtep.mutable_mac() = MacFrom(record + kVtepMacOffset);
  // Codes the module should not send are left out rather than guessed.
  switch (record[kVtepEncapOffset]) {
    case kEncapVxlan:
      vtep.set_encap_type(4);
      break;
    case kEncapVxstt:
      vtep.set_encap_type(1);
      break;
    case kEncapGeneve:
      vtep.set_encap_type(3);
      break;
    default:
      break;
  }
  const uint8_t mtep = record[kVtepMtepOffset];
  if (mtep >= 1 && mtep <= 3) vtep.set_mtep_capability(mtep);
  return vtep;
}

tv::VmMacMsg VmMacFromRecord(const uint8_t* record) {
  tv::VmMacMsg mac;
  *mac.mutable_mac() = MacFrom(record);
  const uint32_t type = GetU32(record + 6);
  if (type == kAddrIPv4 || type == kAddrIPv6) *mac.mutable_vtep_ip() = AddressFrom(type, record + 10);
  *mac.mutable_vtep_mac() = MacFrom(record + 26);
  return mac;
}

bool ReadMessage(const uint8_t* message, size_t length, ReceivedMessage* out, size_t* badTlvAt) {
  *badTlvAt = 0;
  if (length < kHeaderLen || GetU16(message + 2) != length) return false;
  out->type = GetU16(message);
  out->session = GetU32(message + 4);
  out->tlvs.clear();
  size_t at = kHeaderLen;
  while (at < length) {
    if (length - at < kTlvHeaderLen) {
      *badTlvAt = at;
      return false;
    }
    const size_t tlvLength = GetU16(message + at + 2);
    if (tlvLength < kTlvHeaderLen || tlvLength > length - at) {
      *badTlvAt = at;
      return false;
    }
    out->tlvs.push_back({GetU16(message + at), message + at + kTlvHeaderLen, tlvLength - kTlvHeaderLen});
    at += tlvLength;
  }
  return true;
}

LocalUpdate ParseLocalUpdate(const ReceivedMessage& message) {
  LocalUpdate out;
  std::map<std::string, size_t> seen;  // VTEP identity -> index of its last record
  for (const Tlv& tlv : message.tlvs) {
    const bool rd = tlv.type == kUpdateRoutingDomainVtep;
    const size_t headerLen = rd ? kRoutingDomainVtepHeaderLen : kTableHeaderLen;
    const size_t recordLen = tlv.type == kUpdateVmMac ? kVmMacRecordLen : kVtepRecordLen;
    if (tlv.type != kUpdateVtep && tlv.type != kUpdateVmMac && !rd) {
      out.error = LocalUpdateError::kItem;
      out.value = tlv.type;
      return out;
    }
    const uint8_t* p = tlv.data;
    if (tlv.length < headerLen) {
      out.error = LocalUpdateError::kLength;
      out.value = tlv.length;
      return out;
    }
    const size_t adds = GetU16(p + headerLen - 4);
    const size_t removes = GetU16(p + headerLen - 2);
    if (tlv.length != headerLen + (adds + removes) * recordLen) {
      out.error = LocalUpdateError::kLength;
      out.value = tlv.length;
      return out;
    }
    LocalRecord base;
    base.table = tlv.type;
    base.switchId = GetU32(p);
    if (rd) {
      tv::UuidMsg id;
      id.set_high(GetU64(p + 4));
      id.set_low(GetU64(p + 12));
      base.domain = id.SerializeAsString();
    } else {
      base.vni = GetU32(p + 4);
    }
    for (size_t i = 0; i < adds + removes; ++i) {
      LocalRecord record = base;
      record.add = i < adds;
      record.index = record.add ? i : i - adds;
      record.record = p + headerLen + i * recordLen;
      if (tlv.type != kUpdateVmMac) {
        const uint32_t type = GetU32(record.record);
        if (type != kAddrIPv4 && type != kAddrIPv6) {
          out.error = LocalUpdateError::kAddressType;
          out.value = type;
          out.failedRecord = record;
          return out;
        }
        // A VTEP is named by its table (switch, VNI or routing domain), address type, address and label.
        std::string identity = (rd ? base.domain : std::to_string(base.vni)) + "/" +
                               std::string(reinterpret_cast<const char*>(record.record), 24);
        auto earlier = seen.find(identity);
        if (earlier != seen.end()) {
          const LocalRecord& before = out.records[earlier->second];
          if (before.add == record.add || before.add) {
            out.error = before.add && !record.add ? LocalUpdateError::kOrder : LocalUpdateError::kContradiction;
            out.first = earlier->second;
            out.records.push_back(record);
            out.second = out.records.size() - 1;
            return out;
          }
        }
        seen[identity] = out.records.size();
      }
      out.records.push_back(record);
    }
  }
  return out;
}

namespace {

const char* MessageTypeName(uint16_t type) {
  switch (type) {
    case kMsgInit:
      return "Init";
    case kMsgConfigure:
      return "Configure";
    case kMsgVniMembership:
      return "VNI membership change";
    case kMsgUpdate:
      return "Update";
    case kMsgQuery:
      return "Query";
    case kMsgQueryAnswer:
      return "Query answer";
    case kMsgStateReport:
      return "State report";
    case kMsgSessionControl:
      return "Session control";
    case kMsgInstanceChange:
      return "Instance change";
    case kMsgAlarm:
      return "Alarm";
    default:
      return "unknown";
  }
}

const char* ItemName(uint16_t messageType, uint16_t itemType) {
  if (messageType == kMsgUpdate) {
    switch (itemType) {
      case kUpdateVtep:
        return "VTEP Membership Update";
      case kUpdateVmMac:
        return "VM MAC Update";
      case kUpdateArp:
        return "ARP (v4) Update";
      case kUpdateNd:
        return "ND (v6) Update";
      case kUpdateRoutingDomainList:
        return "Routing Domain List Update";
      case kUpdateRoutingDomainVtep:
        return "Routing Domain VTEP Membership Update";
      case kUpdateBfdSession:
        return "BFD Session Update";
      case kUpdateVtepGroup:
        return "VTEP Group Update";
      default:
        return "unknown update";
    }
  }
  if (messageType == kMsgConfigure) {
    switch (itemType) {
      case kConfigReplicationMode:
        return "Replication mode";
      case kConfigControllerAddress:
        return "Controller address";
      case kConfigMacLimit:
        return "MAC limit";
      case kConfigBfdHostSwitch:
        return "BFD host switch config";
      case kConfigEvpnBfd:
        return "EVPN BFD config";
      default:
        return "unknown configure item";
    }
  }
  if (messageType == kMsgQuery || messageType == kMsgQueryAnswer) {
    switch (itemType) {
      case kQueryVmMac:
        return "VM MAC";
      case kQueryArp:
        return "ARP (v4)";
      case kQueryNd:
        return "ND (v6)";
      default:
        return "unknown query";
    }
  }
  if (messageType == kMsgSessionControl) {
    switch (itemType) {
      case kSessionOpen:
        return "Open";
      case kSessionOpenAck:
        return "Open ACK";
      case kSessionFullSyncEnd:
        return "Full sync end";
      case kSessionAgentSyncEnd:
        return "Agent sync end";
      default:
        return "unknown session control";
    }
  }
  if (messageType == kMsgInstanceChange) {
    return itemType == kInstanceInsert ? "Insert" : itemType == kInstanceRemove ? "Remove" : "unknown instance change";
  }
  return MessageTypeName(messageType);
}

void AppendHex(std::string& out, const uint8_t* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  const size_t shown = std::min(size, kDumpItemBytes);
  for (size_t i = 0; i < shown; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 0xf];
  }
  if (shown < size) out += "...";
}

}  // namespace

std::string DumpMessage(const uint8_t* data, size_t size) {
  std::string out = "VXLAN Message";
  ReceivedMessage message;
  size_t badAt = 0;
  if (!ReadMessage(data, size, &message, &badAt)) {
    out += ": unreadable at offset " + std::to_string(badAt) + ", " + std::to_string(size) + " bytes: ";
    AppendHex(out, data, size);
    return out;
  }
  out += ": ";
  out += MessageTypeName(message.type);
  out += " (type " + std::to_string(message.type) + "), session " + std::to_string(message.session) + ", " +
         std::to_string(size) + " bytes";
  for (const Tlv& tlv : message.tlvs) {
    out += "; ";
    out += ItemName(message.type, tlv.type);
    out += " (type " + std::to_string(tlv.type) + ", " + std::to_string(tlv.length) + " bytes): ";
    AppendHex(out, tlv.data, tlv.length);
  }
  return out;
}

std::string CheckReceivedBytes(const uint8_t* data, size_t size) {
  ReceivedMessage message;
  size_t badAt = 0;
  if (!ReadMessage(data, size, &message, &badAt)) return badAt <= size ? "" : "failure offset outside the input";
  for (const Tlv& tlv : message.tlvs) {
    if (tlv.data < data || tlv.data + tlv.length > data + size) return "item outside the input";
  }
  if (message.type != kMsgUpdate) return "";
  const LocalUpdate update = ParseLocalUpdate(message);
  for (const LocalRecord& record : update.records) {
    const size_t length = record.table == kUpdateVmMac ? kVmMacRecordLen : kVtepRecordLen;
    if (record.record < data || record.record + length > data + size) return "record outside the input";
    if (record.table == kUpdateVmMac) {
      VmMacFromRecord(record.record).SerializeAsString();
    } else if (auto vtep = VtepFromRecord(record.record); vtep && !VtepRecord(*vtep)) {
      return "a VTEP read from the module is refused by the writer";
    }
  }
  return "";
}

}  // namespace VevUroro::overlay
