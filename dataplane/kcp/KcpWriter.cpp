#include "dataplane/kcp/KcpWriter.h"

#include <cstdlib>
#include <cstring>

#include "dataplane/kcp/KcpFormat.h"

namespace VevUroro::kcp {

namespace {

// Appends to a byte vector and patches length fields once their extent is known.
class Out {
 public:
  size_t Pos() const { return _bytes.size(); }
  void U8(uint8_t v) { _bytes.push_back(v); }
  void U16(uint16_t v) {
    _bytes.push_back(static_cast<uint8_t>(v >> 8));
    _bytes.push_back(static_cast<uint8_t>(v));
  }
  void U32(uint32_t v) {
    U16(static_cast<uint16_t>(v >> 16));
    U16(static_cast<uint16_t>(v));
  }
  void Bytes(const uint8_t* p, size_t n) { _bytes.insert(_bytes.end(), p, p + n); }
  void Fixed(const std::string& s, size_t width) {
    size_t at = Grow(width);
    WriteFixedString(_bytes.data() + at, width, s);
  }
  size_t Grow(size_t n) {
    size_t at = _bytes.size();
    _bytes.resize(at + n, 0);
    return at;
  }
  // Writes (Pos() − start + bias) at `at`; false when it does not fit 16 bits.
  bool PatchLength(size_t at, size_t start) {
    size_t len = _bytes.size() - start;
    if (len > 0xFFFF) {
      _overflow = true;
      return false;
    }
    WriteU16(_bytes.data() + at, static_cast<uint16_t>(len));
    return true;
  }
  bool Overflow() const { return _overflow; }
  std::vector<uint8_t>& Vec() { return _bytes; }

 private:
  std::vector<uint8_t> _bytes;
  bool _overflow = false;
};

void Properties(Out& out, const std::vector<KcpProperty>& properties) {
  for (const auto& prop : properties) {
    size_t start = out.Pos();
    out.U16(prop.key);
    out.U16(0);
    out.Bytes(prop.value.data(), prop.value.size());
    out.PatchLength(start + 2, start);
  }
}

void Vif(Out& out, const VifRecord& vif) {
  size_t start = out.Pos();
  out.Fixed(vif.vifId, kVifIdLen);
  out.Fixed(vif.portId, kPortIdLen);
  out.Fixed(vif.switchId, kSwitchIdLen);
  out.Fixed(vif.parentVifId, kVifIdLen);
  out.U8(vif.vifType);
  out.U8(vif.smartNic);
  out.U8(vif.hoplift);
  out.U16(0);
  Properties(out, vif.properties);
  out.PatchLength(start + 211, start);
}

void PropRecord(Out& out, const PropertyRecord& record, size_t idLen) {
  size_t start = out.Pos();
  out.Fixed(record.id, idLen);
  out.U16(0);
  Properties(out, record.properties);
  out.PatchLength(start + idLen, start);
}

void Container(Out& out, const ContainerRecord& c) {
  out.Fixed(c.cifId, kVifIdLen);
  out.Fixed(c.portId, kPortIdLen);
  out.Fixed(c.vmPortId, kPortIdLen);
  out.Fixed(c.vmVifId, kVifIdLen);
  out.U16(c.vlanId);
  out.Bytes(c.mac.data(), c.mac.size());
  out.U16(static_cast<uint16_t>(c.entries.size()));
  for (const auto& e : c.entries) {
    out.U8(e.family);
    out.Bytes(e.ip.data(), e.ip.size());
    out.Bytes(e.mac.data(), e.mac.size());
  }
}

void Ids(Out& out, const std::vector<std::string>& ids, size_t width) {
  for (const auto& id : ids) out.Fixed(id, width);
}

void UpdatePayload(Out& out, const DataItem& item) {
  switch (item.type) {
    case KCP_UPDATE_VIF:
      out.U8(item.operation);
      for (const auto& vif : item.vifs) Vif(out, vif);
      return;
    case KCP_UPDATE_PORT_PROPERTY:
      out.U8(item.operation);
      for (const auto& r : item.propertyRecords) PropRecord(out, r, kVifIdLen);
      return;
    case KCP_UPDATE_TKMNIC_PROPERTY:
      out.U8(item.operation);
      for (const auto& r : item.propertyRecords) PropRecord(out, r, kTkmnicNameLen);
      return;
    case KCP_UPDATE_PORT_LIST:
    case KCP_UPDATE_CONTAINER_LIST:
      Ids(out, item.ids, kVifIdLen);
      return;
    case KCP_UPDATE_TKMNIC_LIST:
      Ids(out, item.ids, kTkmnicNameLen);
      return;
    case KCP_UPDATE_VDS_LIST:
      Ids(out, item.ids, kVdsIdLen);
      return;
    case KCP_UPDATE_VDS_PROPERTY: {
      VdsRecord vds = item.vds.value_or(VdsRecord{});
      size_t start = out.Pos();
      out.Fixed(vds.vdsId, kVdsIdLen);
      out.U8(vds.operation);
      out.U16(0);
      Properties(out, vds.properties);
      out.PatchLength(start + 65, start);
      return;
    }
    case KCP_UPDATE_CONTAINER:
      for (const auto& c : item.containers) Container(out, c);
      return;
    case KCP_UPDATE_PORT_CONTAINER_LIST:
      out.Fixed(item.ownerId, kVifIdLen);
      Ids(out, item.ids, kVifIdLen);
      return;
    case KCP_UPDATE_UPLINK:
      out.U8(item.operation);
      for (const auto& u : item.uplinks) {
        out.Fixed(u.portId, kPortIdLen);
        out.Fixed(u.switchId, kSwitchIdLen);
        out.Fixed(u.clientName, kClientNameLen);
        out.Fixed(u.alias, kAliasLen);
      }
      return;
    default:
      out.Bytes(item.raw.data(), item.raw.size());
      return;
  }
}

void ItemPayload(Out& out, uint16_t msgType, const DataItem& item) {
  switch (msgType) {
    case KCP_MSG_INIT:
      if (item.type == KCP_INIT_MAX_MSG_LEN) {
        out.U16(item.value16);
      } else {
        out.Bytes(item.raw.data(), item.raw.size());
      }
      return;
    case KCP_MSG_UPDATE:
      UpdatePayload(out, item);
      return;
    case KCP_MSG_NOTIFICATION:
      switch (item.type) {
        case KCP_NOTIFY_DP_STATUS:
          out.U8(item.status);
          return;
        case KCP_NOTIFY_PORT_PROPERTY_OUT_OF_SYNC:
          out.Fixed(item.ownerId, kVifIdLen);
          return;
        case KCP_NOTIFY_TKMNIC_PROPERTY_OUT_OF_SYNC:
          out.Fixed(item.ownerId, kTkmnicNameLen);
          return;
        case KCP_NOTIFY_PORT_CONTAINER_HOPLIFT_FULL_SYNC:
          out.Fixed(item.ownerId, kVifIdLen);
          out.U16(item.value16);
          return;
        default:
          out.Bytes(item.raw.data(), item.raw.size());
          return;
      }
    case KCP_MSG_QUERY:
      if (item.type != KCP_QUERY_DP_STATUS) out.Bytes(item.raw.data(), item.raw.size());
      return;
    case KCP_MSG_SESSION_CONTROL:
      if (item.type == KCP_SESSION_CONTROL) {
        out.U8(item.controlType);
        out.U32(item.sessionId);
        out.U16(item.sessionExtra);
      } else {
        out.Bytes(item.raw.data(), item.raw.size());
      }
      return;
    default:
      out.Bytes(item.raw.data(), item.raw.size());
      return;
  }
}

}  // namespace

std::optional<std::vector<uint8_t>> EncodeMessage(const KcpMessage& message) {
  Out out;
  out.U16(message.type);
  out.U16(0);
  if (message.type == KCP_MSG_UPDATE) out.U8(message.updateFlags);
  for (const auto& item : message.items) {
    size_t start = out.Pos();
    out.U16(item.type);
    out.U16(0);
    ItemPayload(out, message.type, item);
    out.PatchLength(start + 2, start);
  }
  out.PatchLength(2, 0);
  if (out.Overflow()) return std::nullopt;
  return std::move(out.Vec());
}

std::vector<uint8_t> BuildSessionControl(uint8_t controlType, uint32_t sessionId) {
  std::vector<uint8_t> msg(kSessionControlMsgLen, 0);
  WriteU16(msg.data(), KCP_MSG_SESSION_CONTROL);
  WriteU16(msg.data() + 2, kSessionControlMsgLen);
  WriteU16(msg.data() + 4, KCP_SESSION_CONTROL);
  WriteU16(msg.data() + 6, kSessionControlDataLen);
  msg[8] = controlType;
  WriteU32(msg.data() + 9, sessionId);
  if (controlType == KCP_SESSION_OPEN) {
    msg[13] = kSessionOpenExtra[0];
    msg[14] = kSessionOpenExtra[1];
  }
  return msg;
}

std::vector<uint8_t> BuildDpStatusQuery() {
  std::vector<uint8_t> msg(8, 0);
  WriteU16(msg.data(), KCP_MSG_QUERY);
  WriteU16(msg.data() + 2, 8);
  WriteU16(msg.data() + 4, KCP_QUERY_DP_STATUS);
  WriteU16(msg.data() + 6, 4);
  return msg;
}

std::vector<uint8_t> BuildDpStatusNotification(uint8_t status) {
  std::vector<uint8_t> msg(9, 0);
  WriteU16(msg.data(), KCP_MSG_NOTIFICATION);
  WriteU16(msg.data() + 2, 9);
  WriteU16(msg.data() + 4, KCP_NOTIFY_DP_STATUS);
  WriteU16(msg.data() + 6, 5);
  msg[8] = status;
  return msg;
}

KcpProperty MakeStatusProperty(uint8_t status) {
  return KcpProperty{KCP_VIF_PROP_STATUS, {status}};
}

KcpProperty MakeMacProperty(const std::vector<MacAddress>& macs) {
  KcpProperty prop{KCP_VIF_PROP_MAC, {}};
  for (const auto& mac : macs) prop.value.insert(prop.value.end(), mac.begin(), mac.end());
  return prop;
}

void EncodeBinding(const DiscoveredBinding& b, uint8_t* p) {
  p[0] = b.family;
  std::memcpy(p + 1, b.ip.data(), kIpLen);
  std::memcpy(p + 17, b.mac.data(), kMacLen);
  WriteU16(p + 23, b.vlanId);  // big-endian, like every other integer of the format
  p[25] = b.method;
  WriteNativeU64(p + 26, b.timestamp);
}

KcpProperty MakeBindingsProperty(const std::vector<DiscoveredBinding>& bindings) {
  KcpProperty prop{KCP_VIF_PROP_DISCOVERED_BINDINGS, std::vector<uint8_t>(bindings.size() * kBindingLen)};
  for (size_t i = 0; i < bindings.size(); ++i) EncodeBinding(bindings[i], prop.value.data() + i * kBindingLen);
  return prop;
}

uint8_t* ToMessageBuffer(const std::vector<uint8_t>& bytes) {
  if (bytes.empty()) return nullptr;
  auto* buffer = static_cast<uint8_t*>(std::malloc(bytes.size()));
  if (buffer) std::memcpy(buffer, bytes.data(), bytes.size());
  return buffer;
}

}  // namespace VevUroro::kcp
