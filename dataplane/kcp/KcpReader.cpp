#include "dataplane/kcp/KcpReader.h"

#include <algorithm>

#include "dataplane/kcp/KcpFormat.h"

namespace VevUroro::kcp {

namespace {

// Walks property TLVs in [p, end). Stops at the first one that is shorter than its header or overruns `end`.
void ReadProperties(const uint8_t* p, const uint8_t* end, std::vector<KcpProperty>* out, bool* truncated) {
  while (end - p >= static_cast<ptrdiff_t>(kPropHeaderLen)) {
    uint16_t key = ReadU16(p);
    uint16_t len = ReadU16(p + 2);
    if (len < kPropHeaderLen || len > end - p) {
      *truncated = true;
      return;
    }
    out->push_back(KcpProperty{key, std::vector<uint8_t>(p + kPropHeaderLen, p + len)});
    p += len;
  }
  if (p != end) *truncated = true;
}

// Reads `count` fixed-width NUL-padded identifiers starting at p.
void ReadIds(const uint8_t* p, size_t count, size_t width, std::vector<std::string>* out) {
  for (size_t i = 0; i < count; ++i) out->push_back(ReadFixedString(p + i * width, width));
}

void ReadVifUpdate(const uint8_t* p, size_t avail, DataItem* item, bool* truncated) {
  // The operation byte, then at least one whole fixed VIF part and the first record within the item.
  if (avail < kVifRecordFixedLen + 1 || ReadU16(p + 1 + 211) + 1u > avail) {
    item->wellFormed = false;
    return;
  }
  item->operation = p[0];
  const uint8_t* rec = p + 1;
  const uint8_t* end = p + avail;
  while (rec < end) {
    if (end - rec < static_cast<ptrdiff_t>(kVifRecordFixedLen)) {
      *truncated = true;
      return;
    }
    uint16_t recLen = ReadU16(rec + 211);
    if (recLen < kVifRecordFixedLen || recLen > end - rec) {
      *truncated = true;
      return;
    }
    VifRecord vif;
    vif.vifId = ReadFixedString(rec, kVifIdLen);
    vif.portId = ReadFixedString(rec + 48, kPortIdLen);
    vif.switchId = ReadFixedString(rec + 96, kSwitchIdLen);
    vif.parentVifId = ReadFixedString(rec + 160, kVifIdLen);
    vif.vifType = rec[208];
    vif.smartNic = rec[209];
    vif.hoplift = rec[210];
    if (recLen - kVifRecordFixedLen >= kPropHeaderLen) {
      ReadProperties(rec + kVifRecordFixedLen, rec + recLen, &vif.properties, truncated);
    }
    item->vifs.push_back(std::move(vif));
    rec += recLen;
  }
}

// Port and tkmnic property records: an id of `idLen` bytes, then the 2-byte record length.
void ReadPropertyRecords(const uint8_t* p, size_t avail, size_t idLen, DataItem* item, bool* truncated) {
  const size_t fixedLen = idLen + 2;
  if (avail < fixedLen + 1) {
    item->wellFormed = false;
    return;
  }
  item->operation = p[0];
  const uint8_t* rec = p + 1;
  const uint8_t* end = p + avail;
  while (rec < end) {
    if (end - rec < static_cast<ptrdiff_t>(fixedLen)) {
      *truncated = true;
      return;
    }
    uint16_t recLen = ReadU16(rec + idLen);
    if (recLen < fixedLen || recLen > end - rec) {
      *truncated = true;
      return;
    }
    PropertyRecord record;
    record.id = ReadFixedString(rec, idLen);
    if (recLen - fixedLen >= kPropHeaderLen) {
      ReadProperties(rec + fixedLen, rec + recLen, &record.properties, truncated);
    }
    item->propertyRecords.push_back(std::move(record));
    rec += recLen;
  }
}

void ReadVdsUpdate(const uint8_t* p, size_t avail, DataItem* item, bool* truncated) {
  if (avail < kVdsRecordFixedLen) {
    item->wellFormed = false;
    return;
  }
  VdsRecord vds;
  vds.vdsId = ReadFixedString(p, kVdsIdLen);
  vds.operation = p[64];
  uint16_t recLen = ReadU16(p + 65);
  if (recLen > avail) {
    *truncated = true;
    recLen = static_cast<uint16_t>(avail);
  }
  if (recLen >= kVdsRecordFixedLen + 1 && recLen - kVdsRecordFixedLen >= kPropHeaderLen) {
    ReadProperties(p + kVdsRecordFixedLen, p + recLen, &vds.properties, truncated);
  }
  item->operation = vds.operation;
  item->vds = std::move(vds);
}

void ReadContainers(const uint8_t* p, size_t avail, DataItem* item, bool* truncated) {
  if (avail < kContainerRecordFixedLen ||
      avail < kContainerRecordFixedLen + kIpMacEntryLen * static_cast<size_t>(ReadU16(p + 200))) {
    item->wellFormed = false;
    return;
  }
  const uint8_t* rec = p;
  const uint8_t* end = p + avail;
  while (rec < end) {
    if (end - rec < static_cast<ptrdiff_t>(kContainerRecordFixedLen)) {
      *truncated = true;
      return;
    }
    size_t count = ReadU16(rec + 200);
    size_t recLen = kContainerRecordFixedLen + kIpMacEntryLen * count;
    if (recLen > static_cast<size_t>(end - rec)) {
      *truncated = true;
      return;
    }
    ContainerRecord c;
    c.cifId = ReadFixedString(rec, kVifIdLen);
    c.portId = ReadFixedString(rec + 48, kPortIdLen);
    c.vmPortId = ReadFixedString(rec + 96, kPortIdLen);
    c.vmVifId = ReadFixedString(rec + 144, kVifIdLen);
    c.vlanId = ReadU16(rec + 192);
    std::copy(rec + 194, rec + 200, c.mac.begin());
    for (size_t i = 0; i < count; ++i) {
      const uint8_t* e = rec + kContainerRecordFixedLen + i * kIpMacEntryLen;
      IpMacEntry entry;
      entry.family = e[0];
      std::copy(e + 1, e + 17, entry.ip.begin());
      std::copy(e + 17, e + 23, entry.mac.begin());
      c.entries.push_back(entry);
    }
    item->containers.push_back(std::move(c));
    rec += recLen;
  }
}

void ReadUplinks(const uint8_t* p, size_t avail, DataItem* item) {
  if (avail < kUplinkRecordLen + 1) {
    item->wellFormed = false;
    return;
  }
  item->operation = p[0];
  size_t count = (avail - 1) / kUplinkRecordLen;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* rec = p + 1 + i * kUplinkRecordLen;
    item->uplinks.push_back(UplinkRecord{ReadFixedString(rec, kPortIdLen), ReadFixedString(rec + 48, kSwitchIdLen),
                                         ReadFixedString(rec + 112, kClientNameLen),
                                         ReadFixedString(rec + 132, kAliasLen)});
  }
}

// `p` is the payload after the TLV header, `avail` its size (data length − 4, within the message).
void ReadUpdateItem(const uint8_t* p, size_t avail, DataItem* item, bool* truncated) {
  switch (item->type) {
    case KCP_UPDATE_VIF:
      ReadVifUpdate(p, avail, item, truncated);
      return;
    case KCP_UPDATE_PORT_PROPERTY:
      ReadPropertyRecords(p, avail, kVifIdLen, item, truncated);
      return;
    case KCP_UPDATE_TKMNIC_PROPERTY:
      ReadPropertyRecords(p, avail, kTkmnicNameLen, item, truncated);
      return;
    case KCP_UPDATE_PORT_LIST:
    case KCP_UPDATE_CONTAINER_LIST:
      ReadIds(p, avail / kVifIdLen, kVifIdLen, &item->ids);
      return;
    case KCP_UPDATE_TKMNIC_LIST:
      ReadIds(p, avail / kTkmnicNameLen, kTkmnicNameLen, &item->ids);
      return;
    case KCP_UPDATE_VDS_LIST:
      ReadIds(p, avail / kVdsIdLen, kVdsIdLen, &item->ids);
      return;
    case KCP_UPDATE_VDS_PROPERTY:
      ReadVdsUpdate(p, avail, item, truncated);
      return;
    case KCP_UPDATE_CONTAINER:
      ReadContainers(p, avail, item, truncated);
      return;
    case KCP_UPDATE_PORT_CONTAINER_LIST:
      if (avail < kVifIdLen) {
        item->wellFormed = false;
        return;
      }
      item->ownerId = ReadFixedString(p, kVifIdLen);
      ReadIds(p + kVifIdLen, (avail - kVifIdLen) / kVifIdLen, kVifIdLen, &item->ids);
      return;
    case KCP_UPDATE_UPLINK:
      ReadUplinks(p, avail, item);
      return;
    default:
      item->raw.assign(p, p + avail);
      return;
  }
}

void ReadNotificationItem(const uint8_t* p, size_t avail, DataItem* item) {
  switch (item->type) {
    case KCP_NOTIFY_DP_STATUS:
      if (avail < 1) break;
      item->status = p[0];
      return;
    case KCP_NOTIFY_PORT_PROPERTY_OUT_OF_SYNC:
      if (avail < kVifIdLen) break;
      item->ownerId = ReadFixedString(p, kVifIdLen);
      return;
    case KCP_NOTIFY_TKMNIC_PROPERTY_OUT_OF_SYNC:
      if (avail < kTkmnicNameLen) break;
      item->ownerId = ReadFixedString(p, kTkmnicNameLen);
      return;
    case KCP_NOTIFY_PORT_CONTAINER_HOPLIFT_FULL_SYNC:
      if (avail < kVifIdLen + 2) break;
      item->ownerId = ReadFixedString(p, kVifIdLen);
      item->value16 = ReadU16(p + kVifIdLen);
      return;
    default:
      item->raw.assign(p, p + avail);
      return;
  }
  item->wellFormed = false;
}

void ReadItemPayload(uint16_t msgType, const uint8_t* p, size_t avail, DataItem* item, bool* truncated) {
  switch (msgType) {
    case KCP_MSG_INIT:
      if (item->type != KCP_INIT_MAX_MSG_LEN) {
        item->raw.assign(p, p + avail);
      } else if (avail >= 2) {
        item->value16 = ReadU16(p);
      } else {
        item->wellFormed = false;
      }
      return;
    case KCP_MSG_UPDATE:
      ReadUpdateItem(p, avail, item, truncated);
      return;
    case KCP_MSG_NOTIFICATION:
      ReadNotificationItem(p, avail, item);
      return;
    case KCP_MSG_QUERY:
      if (item->type != KCP_QUERY_DP_STATUS) item->raw.assign(p, p + avail);
      return;
    case KCP_MSG_SESSION_CONTROL:
      if (item->type != KCP_SESSION_CONTROL) {
        item->raw.assign(p, p + avail);
      } else if (avail + kTlvHeaderLen >= kSessionControlMinDataLen) {
        item->controlType = p[0];
        item->sessionId = ReadU32(p + 1);
        if (avail >= 7) item->sessionExtra = ReadU16(p + 5);
      } else {
        item->wellFormed = false;
      }
      return;
    default:
      return;
  }
}

}  // namespace

bool DecodeMessage(const uint8_t* data, size_t size, KcpMessage* out) {
  *out = KcpMessage{};
  if (data == nullptr || size < kMsgHeaderLen) return false;
  out->type = ReadU16(data);
  out->length = ReadU16(data + 2);
  // The walk's end: the length field, never past the bytes given.
  size_t end = std::min<size_t>(out->length, size);
  if (out->length > size) out->truncated = true;

  size_t offset = kMsgHeaderLen;
  switch (out->type) {
    case KCP_MSG_UPDATE:
      if (end >= kUpdateHeaderLen) out->updateFlags = data[4];
      // At least 6 bytes, and the first data item within (length − 5).
      if (end < kUpdateHeaderLen + 1 || end - kUpdateHeaderLen < kTlvHeaderLen ||
          ReadU16(data + kUpdateHeaderLen + 2) > end - kUpdateHeaderLen) {
        return true;
      }
      offset = kUpdateHeaderLen;
      break;
    case KCP_MSG_INIT:
    case KCP_MSG_NOTIFICATION:
    case KCP_MSG_QUERY:
    case KCP_MSG_SESSION_CONTROL:
      break;
    default:
      return true;  // unknown message type: nothing to walk
  }

  while (end > offset && end - offset >= kTlvHeaderLen) {
    DataItem item;
    item.type = ReadU16(data + offset);
    item.length = ReadU16(data + offset + 2);
    if (item.length < kTlvHeaderLen || item.length > end - offset) {
      out->truncated = true;
      break;
    }
    ReadItemPayload(out->type, data + offset + kTlvHeaderLen, item.length - kTlvHeaderLen, &item, &out->truncated);
    out->items.push_back(std::move(item));
    offset += out->items.back().length;
    if (out->type == KCP_MSG_SESSION_CONTROL) break;  // one data item only
  }
  if (offset < end && out->type != KCP_MSG_SESSION_CONTROL && end - offset < kTlvHeaderLen) out->truncated = true;
  return true;
}

std::vector<MacAddress> DecodeMacProperty(const KcpProperty& property) {
  std::vector<MacAddress> macs;
  for (size_t i = 0; i + kMacLen <= property.value.size(); i += kMacLen) {
    MacAddress mac;
    std::copy(property.value.begin() + i, property.value.begin() + i + kMacLen, mac.begin());
    macs.push_back(mac);
  }
  return macs;
}

DiscoveredBinding DecodeBinding(const uint8_t* p) {
  DiscoveredBinding b;
  b.family = p[0];
  std::copy(p + 1, p + 17, b.ip.begin());
  std::copy(p + 17, p + 23, b.mac.begin());
  b.vlanId = ReadU16(p + 23);  // big-endian, like every other integer of the format
  b.method = p[25];
  b.timestamp = ReadNativeU64(p + 26);
  return b;
}

std::vector<DiscoveredBinding> DecodeBindingsProperty(const KcpProperty& property) {
  std::vector<DiscoveredBinding> bindings;
  for (size_t i = 0; i + kBindingLen <= property.value.size(); i += kBindingLen) {
    bindings.push_back(DecodeBinding(property.value.data() + i));
  }
  return bindings;
}

}  // namespace VevUroro::kcp
