#include "dataplane/kcp/KcpDumper.h"

#include <algorithm>
#include <charconv>
#include <string_view>
#include <type_traits>

#include "core/Logger.h"
#include "dataplane/kcp/KcpFormat.h"
#include "dataplane/kcp/KcpReader.h"

namespace VevUroro::kcp {

namespace {

// Pieces of a line that are not plain text or a decimal number.
struct Hex2 {
  uint8_t byte;
};
struct Mac {
  const MacAddress& mac;
};
struct Ipv4 {
  const IpBytes& ip;
};
struct Ipv6 {
  const IpBytes& ip;
};

// A string as "%s" writes it: up to its first NUL.
std::string_view CText(const std::string& text) {
  return std::string_view(text.c_str());
}

// A fixed-width NUL-padded field as the reader takes it and "%s" writes it.
std::string_view FixedText(const uint8_t* p, size_t width) {
  const auto* begin = reinterpret_cast<const char*>(p);
  return std::string_view(begin, std::find(begin, begin + width, '\0') - begin);
}

// Writes lines straight into the rendering up to the limit; the first line that does not fit is taken back and
// ends the rendering.
class Rendering {
 public:
  Rendering() { _text.reserve(kDumpLimit); }

  template <typename... Pieces>
  void Line(const Pieces&... pieces) {
    if (_full) return;
    const size_t start = _text.size();
    (Append(pieces), ...);
    if (_text.size() > kDumpLimit) {
      _text.resize(start);
      _full = true;
    }
  }
  // No further line will be taken: callers stop formatting (a large batch would otherwise be rendered whole).
  bool Full() const { return _full; }
  std::string Take() { return std::move(_text); }

 private:
  void Append(std::string_view text) { _text.append(text); }
  void Append(const char* text) { _text.append(text); }
  template <typename Number>
  requires std::is_integral_v<Number>
  void Append(Number number) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof(digits), number).ptr;
    _text.append(digits, end);
  }
  void Append(Hex2 hex) {
    static constexpr char kDigits[] = "0123456789abcdef";
    const char pair[2] = {kDigits[hex.byte >> 4], kDigits[hex.byte & 15]};
    _text.append(pair, 2);
  }
  void Append(const Mac& m) {
    for (size_t i = 0; i < m.mac.size(); ++i) {
      if (i > 0) _text.push_back(':');
      Append(Hex2{m.mac[i]});
    }
  }
  void Append(const Ipv4& v4) {
    Append("\tIP: ");
    for (size_t i = 0; i < 4; ++i) {
      if (i > 0) _text.push_back('.');
      Append(static_cast<unsigned>(v4.ip[i]));
    }
  }
  void Append(const Ipv6& v6) {
    Append("\tIP: ");
    for (size_t i = 0; i < v6.ip.size(); i += 2) {
      if (i > 0) _text.push_back(':');
      Append(Hex2{v6.ip[i]});
      Append(Hex2{v6.ip[i + 1]});
    }
  }

  std::string _text;
  bool _full = false;
};

const char* OperationName(uint8_t op) {
  switch (op) {
    case KCP_OP_UPDATE:
      return "UPDATE";
    case KCP_OP_DELETE:
      return "DELETE";
    case KCP_OP_FULL_SYNC:
      return "FULL SYNC";
    default:
      return "Invalid";
  }
}

const char* VifTypeName(uint8_t type) {
  switch (type) {
    case KCP_VIF_VNIC:
      return "VNIC";
    case KCP_VIF_TKMNIC:
      return "tkmnic";
    case KCP_VIF_CONTAINER:
      return "container";
    case KCP_VIF_CRXPORT:
      return "CRXPort";
    case KCP_VIF_SRIOV:
      return "SRIOV";
    case KCP_VIF_DVPGPORT:
      return "DVPGPort";
    default:
      return "unknown";
  }
}

const char* SessionControlName(uint8_t type) {
  switch (type) {
    case KCP_SESSION_OPEN:
      return "Session Open";
    case KCP_SESSION_OPEN_ACK:
      return "Session Open ACK";
    case KCP_SESSION_FULL_SYNC_END:
      return "Session Full Sync End";
    case KCP_SESSION_CLOSE:
      return "Session Close";
    default:
      return "Invalid";
  }
}

const char* SyncTypeName(uint16_t type) {
  switch (type) {
    case KCP_SYNC_PORT_PROPERTIES:
      return "Sync port properties";
    case KCP_SYNC_PORT_CONTAINER_LIST:
      return "Sync port container list";
    case KCP_SYNC_BOTH:
      return "Sync both port container list and port properties";
    default:
      return "Invalid";
  }
}

void PlainProperties(Rendering& r, const std::vector<KcpProperty>& properties) {
  for (const auto& p : properties) {
    r.Line("\t\tProperty: len = ", static_cast<unsigned>(p.value.size() + kPropHeaderLen), " key = ", p.key, "\n");
  }
}

void VifProperties(Rendering& r, const std::vector<KcpProperty>& properties) {
  for (const auto& p : properties) {
    unsigned len = static_cast<unsigned>(p.value.size() + kPropHeaderLen);
    switch (p.key) {
      case KCP_VIF_PROP_STATUS: {
        const char* status = "Invalid";
        if (!p.value.empty() && p.value[0] == KCP_VIF_CONNECT) status = "CONNECT";
        if (!p.value.empty() && p.value[0] == KCP_VIF_DISCONNECT) status = "DISCONNECT";
        r.Line("\t\tStatus property: len = ", len, ", status = ", status, "\n");
        break;
      }
      case KCP_VIF_PROP_MAC: {
        auto macs = DecodeMacProperty(p);
        r.Line("\t\tMAC property: len = ", len, ", MAC number = ", static_cast<unsigned>(macs.size()), "\n");
        for (const auto& mac : macs) r.Line("\t\tMAC: ", Mac{mac}, "\n");
        break;
      }
      case KCP_VIF_PROP_DISCOVERED_BINDINGS: {
        auto bindings = DecodeBindingsProperty(p);
        r.Line("\tDiscovered Bindings property: len = ", len,
               ", total number = ", static_cast<unsigned>(bindings.size()), "\n");
        for (const auto& b : bindings) {
          const auto rest = [&](const auto& ip) {
            r.Line(ip, "\tMAC: ", Mac{b.mac}, "\tVLAN: ", b.vlanId, "\t, DISCOVERYMETHOD: ", b.method,
                   "\t,TIMESTAMP: ", b.timestamp, "\n");
          };
          if (b.IsIpv4()) {
            rest(Ipv4{b.ip});
          } else {
            rest(Ipv6{b.ip});
          }
        }
        break;
      }
      default:
        r.Line("\tVIF Update: unsupported property type ", p.key, ", len ", len);
        break;
    }
  }
}

void RenderUpdateItem(Rendering& r, const DataItem& item) {
  unsigned len = item.length;
  unsigned num = static_cast<unsigned>(item.ids.size());
  switch (item.type) {
    case KCP_UPDATE_VIF:
      r.Line("\tVIF Update: len = ", len, "\n");
      if (!item.wellFormed) return;
      r.Line("\tOperation: ", OperationName(item.operation), "\n");
      for (const auto& vif : item.vifs) {
        if (r.Full()) return;
        r.Line("\tVIF ID: ", CText(vif.vifId), "\n");
        r.Line("\tType: ", VifTypeName(vif.vifType), "\n");
        r.Line("\tSmartNic flag: ", vif.smartNic, "\n");
        r.Line("\tHoplift: ", vif.hoplift, "\n");
        r.Line("\tPort ID: ", CText(vif.portId), "\n");
        r.Line("\tSwitch ID: ", CText(vif.switchId), "\n");
        if (vif.vifType == KCP_VIF_CONTAINER) r.Line("\tParent VIF ID: ", CText(vif.parentVifId), "\n");
        VifProperties(r, vif.properties);
      }
      return;
    case KCP_UPDATE_PORT_PROPERTY:
    case KCP_UPDATE_TKMNIC_PROPERTY: {
      bool port = item.type == KCP_UPDATE_PORT_PROPERTY;
      r.Line(port ? "\tPort Property Update: len = " : "\tTkmnic Property Update: len = ", len, "\n");
      if (!item.wellFormed) return;
      r.Line("\tOperation: ", OperationName(item.operation), "\n");
      for (const auto& rec : item.propertyRecords) {
        if (r.Full()) return;
        r.Line(port ? "\tVIF ID: " : "\tTkmnic name: ", CText(rec.id), "\n");
        PlainProperties(r, rec.properties);
      }
      return;
    }
    case KCP_UPDATE_PORT_LIST:
      r.Line("\tPortList Update: num = ", num, " len = ", len, "\n");
      for (const auto& id : item.ids) {
        if (r.Full()) return;
        r.Line("\t\tVIF ID: ", CText(id), "\n");
      }
      return;
    case KCP_UPDATE_TKMNIC_LIST:
      r.Line("\tTkmnicList Update: num = ", num, " len = ", len, "\n");
      for (const auto& id : item.ids) {
        if (r.Full()) return;
        r.Line("\t\tTkmnic name: ", CText(id), "\n");
      }
      return;
    case KCP_UPDATE_VDS_PROPERTY:
      r.Line("\tVDS Property Update: len = ", len, "\n");
      if (!item.vds) return;
      r.Line("\tVDS ID: ", CText(item.vds->vdsId), " Operation: ", OperationName(item.vds->operation), "\n");
      PlainProperties(r, item.vds->properties);
      return;
    case KCP_UPDATE_CONTAINER:
      r.Line("\tContainer Update: len = ", len, "\n");
      for (const auto& c : item.containers) {
        if (r.Full()) return;
        r.Line("\tCIF ID: ", CText(c.cifId), "\n");
        r.Line("\tPort ID: ", CText(c.portId), "\n");
        r.Line("\tVM port ID: ", CText(c.vmPortId), "\n");
        r.Line("\tVM VIF ID: ", CText(c.vmVifId), "\n");
        r.Line("\tVLAN ID: ", c.vlanId, "\n");
        r.Line("\tMAC: ", Mac{c.mac}, "\n");
        r.Line("\tIP MAC number: ", static_cast<unsigned>(c.entries.size()), "\n");
        for (const auto& e : c.entries) {
          if (e.IsIpv4()) {
            r.Line(Ipv4{e.ip}, "\n");
          } else {
            r.Line(Ipv6{e.ip}, " MAC: ", Mac{e.mac}, "\n");
          }
        }
      }
      return;
    case KCP_UPDATE_CONTAINER_LIST:
      r.Line("\tContainerList Update: num = ", num, " len = ", len, "\n");
      for (const auto& id : item.ids) {
        if (r.Full()) return;
        r.Line("\tContainer VIF ID: ", CText(id), "\n");
      }
      return;
    case KCP_UPDATE_PORT_CONTAINER_LIST:
      r.Line("\tPort ContainerList Update: len = ", len, "\n");
      if (!item.wellFormed) return;
      r.Line("\tVIF ID: ", CText(item.ownerId), "\n");
      for (const auto& id : item.ids) {
        if (r.Full()) return;
        r.Line("\tContainer VIF ID: ", CText(id), "\n");
      }
      return;
    case KCP_UPDATE_VDS_LIST:
      r.Line("\tVDS List Update: num = ", num, " len = ", len, "\n");
      for (const auto& id : item.ids) {
        if (r.Full()) return;
        r.Line("\tVDS ID: ", CText(id), "\n");
      }
      return;
    case KCP_UPDATE_UPLINK:
      r.Line("\tUplink Update: len = ", len, "\n");
      if (!item.wellFormed) return;
      r.Line("\tOperation: ", OperationName(item.operation), "\n");
      for (const auto& u : item.uplinks) {
        if (r.Full()) return;
        r.Line("\tUplink Port ID: ", CText(u.portId), "\n");
        r.Line("\tSwitch ID ", CText(u.switchId), "\n");
        r.Line("\tClient Name ", CText(u.clientName), "\n");
        r.Line("\tAlias: ", CText(u.alias), "\n");
      }
      return;
    default:
      r.Line("\tUpdate: unsupported data type ", item.type, ", len ", len);
      return;
  }
}

void RenderNotificationItem(Rendering& r, const DataItem& item) {
  unsigned len = item.length;
  switch (item.type) {
    case KCP_NOTIFY_DP_STATUS:
      r.Line("\tDP Status Notification: len = ", len, "\n");
      if (item.wellFormed) r.Line("\tStatus: ", item.status == KCP_DP_OUT_OF_SYNC ? "OutOfSync" : "Sync", "\n");
      return;
    case KCP_NOTIFY_PORT_PROPERTY_OUT_OF_SYNC:
      r.Line("\tPort Property OutOfSync Notification: len = ", len, "\n");
      if (item.wellFormed) r.Line("\tVIF ID: ", CText(item.ownerId), "\n");
      return;
    case KCP_NOTIFY_TKMNIC_PROPERTY_OUT_OF_SYNC:
      r.Line("\tTkmnic Property OutOfSync Notification: len = ", len, "\n");
      if (item.wellFormed) r.Line("\tTkmnic name: ", CText(item.ownerId), "\n");
      return;
    case KCP_NOTIFY_PORT_CONTAINER_HOPLIFT_FULL_SYNC:
      r.Line("\tPort container Hoplift fullSync Notification: len = ", len, "\n");
      if (!item.wellFormed) return;
      r.Line("\tVIF ID: ", CText(item.ownerId), "\n");
      r.Line("\tSync type: ", SyncTypeName(item.value16), "(", item.value16, ")\n");
      return;
    default:
      r.Line("\tNotification: unsupported data type ", item.type, ", len ", len);
      return;
  }
}

// The lines of a port or tkmnic property update item, read from its payload `p` (`avail` bytes) with the reader's
// bounds and in its order.
void RenderPropertyItem(Rendering& r, bool port, unsigned len, const uint8_t* p, size_t avail) {
  r.Line(port ? "\tPort Property Update: len = " : "\tTkmnic Property Update: len = ", len, "\n");
  const size_t idLen = port ? kVifIdLen : kTkmnicNameLen;
  const size_t fixedLen = idLen + 2;
  if (avail < fixedLen + 1) return;
  r.Line("\tOperation: ", OperationName(p[0]), "\n");
  const uint8_t* rec = p + 1;
  const uint8_t* end = p + avail;
  while (rec < end && !r.Full()) {
    if (end - rec < static_cast<ptrdiff_t>(fixedLen)) return;
    const uint16_t recLen = ReadU16(rec + idLen);
    if (recLen < fixedLen || recLen > end - rec) return;
    r.Line(port ? "\tVIF ID: " : "\tTkmnic name: ", FixedText(rec, idLen), "\n");
    if (recLen - fixedLen >= kPropHeaderLen) {
      const uint8_t* prop = rec + fixedLen;
      const uint8_t* recEnd = rec + recLen;
      while (recEnd - prop >= static_cast<ptrdiff_t>(kPropHeaderLen) && !r.Full()) {
        const uint16_t key = ReadU16(prop);
        const uint16_t propLen = ReadU16(prop + 2);
        if (propLen < kPropHeaderLen || propLen > recEnd - prop) break;
        r.Line("\t\tProperty: len = ", static_cast<unsigned>(propLen), " key = ", key, "\n");
        prop += propLen;
      }
    }
    rec += recLen;
  }
}

}  // namespace

std::optional<std::string> RenderPropertyUpdate(const uint8_t* data, size_t size) {
  if (data == nullptr || size < kMsgHeaderLen || ReadU16(data) != KCP_MSG_UPDATE) return std::nullopt;
  Rendering r;
  r.Line("KCP Message\n");
  // The same bounds as the reader's: the length field, never past the bytes given; the first item within.
  const size_t end = std::min<size_t>(ReadU16(data + 2), size);
  if (end < kUpdateHeaderLen + 1 || end - kUpdateHeaderLen < kTlvHeaderLen ||
      ReadU16(data + kUpdateHeaderLen + 2) > end - kUpdateHeaderLen) {
    return r.Take();
  }
  size_t offset = kUpdateHeaderLen;
  while (end - offset >= kTlvHeaderLen && !r.Full()) {
    const uint16_t type = ReadU16(data + offset);
    const uint16_t length = ReadU16(data + offset + 2);
    if (length < kTlvHeaderLen || length > end - offset) break;
    if (type != KCP_UPDATE_PORT_PROPERTY && type != KCP_UPDATE_TKMNIC_PROPERTY) return std::nullopt;
    RenderPropertyItem(r, type == KCP_UPDATE_PORT_PROPERTY, length, data + offset + kTlvHeaderLen,
                       length - kTlvHeaderLen);
    offset += length;
  }
  return r.Take();
}

std::string RenderMessage(const uint8_t* data, size_t size) {
  if (auto text = RenderPropertyUpdate(data, size)) return std::move(*text);
  return RenderDecodedMessage(data, size);
}

std::string RenderDecodedMessage(const uint8_t* data, size_t size) {
  Rendering r;
  r.Line("KCP Message\n");
  KcpMessage msg;
  if (!DecodeMessage(data, size, &msg)) return r.Take();
  switch (msg.type) {
    case KCP_MSG_INIT:
      r.Line("\tInit: len = ", msg.length, "\n");
      for (const auto& item : msg.items) {
        if (item.type == KCP_INIT_MAX_MSG_LEN) {
          if (item.wellFormed) r.Line("\tMax message length: ", item.value16, "\n");
        } else {
          r.Line("\tInit: unsupported data type ", item.type, ", len ", item.length);
        }
      }
      break;
    case KCP_MSG_UPDATE:
      for (const auto& item : msg.items) {
        if (r.Full()) break;
        RenderUpdateItem(r, item);
      }
      break;
    case KCP_MSG_NOTIFICATION:
      for (const auto& item : msg.items) {
        if (r.Full()) break;
        RenderNotificationItem(r, item);
      }
      break;
    case KCP_MSG_QUERY:
      for (const auto& item : msg.items) {
        if (item.type == KCP_QUERY_DP_STATUS) {
          r.Line("\tDP Status Query: len = ", item.length, "\n");
        } else {
          r.Line("\tQuery: unsupported data type ", item.type, ", len ", item.length);
        }
      }
      break;
    case KCP_MSG_SESSION_CONTROL:
      for (const auto& item : msg.items) {
        if (item.type == KCP_SESSION_CONTROL) {
          r.Line("\tVIF Session control: len = ", item.length, "\n");
          if (item.wellFormed) {
            r.Line("\tVIF Session control type: ", SessionControlName(item.controlType),
                   ", sessionID: ", item.sessionId, "\n");
          }
        } else {
          r.Line("\tVIF Session control: unsupported data type ", item.type, ", len ", item.length, "\n");
        }
      }
      break;
    default:
      r.Line("Unsupported message type ", msg.type, ", len ", msg.length);
      break;
  }
  return r.Take();
}

void DumpMessage(int level, const uint8_t* data, size_t size) {
  if (!LogEnabled(level)) return;
  Logger(level, LogText{RenderMessage(data, size)});
}

}  // namespace VevUroro::kcp
