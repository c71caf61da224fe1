// The dump rendering as it stood before its allocation-free rewrite, kept verbatim (apart from its namespace) as the
// reference the rewrite must match byte for byte: see KcpDumperDifferentialTest.
#include "tests/dataplane/KcpDumperReference.h"

#include <cstdarg>
#include <cstdio>

#include "dataplane/kcp/KcpDumper.h"
#include "dataplane/kcp/KcpFormat.h"
#include "dataplane/kcp/KcpReader.h"

namespace VevUroro::kcp::reference {

namespace {

__attribute__((format(printf, 1, 2))) std::string Format(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof(buffer)) return std::string(buffer, static_cast<size_t>(n));
  std::string big(static_cast<size_t>(n) + 1, '\0');
  va_start(args, format);
  std::vsnprintf(big.data(), big.size(), format, args);
  va_end(args);
  big.resize(static_cast<size_t>(n));
  return big;
}

// Accumulates lines up to the limit; the first line that does not fit ends the rendering.
class Rendering {
 public:
  void Line(const std::string& line) {
    if (_full) return;
    if (_text.size() + line.size() > kDumpLimit) {
      _full = true;
      return;
    }
    _text += line;
  }
  // No further line will be taken: callers stop formatting (a large batch would otherwise be rendered whole).
  bool Full() const { return _full; }
  std::string Take() { return std::move(_text); }

 private:
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

std::string Mac(const char* prefix, const MacAddress& m, const char* suffix) {
  return std::string(prefix) + Format("%02hhx:%02hhx:%02hhx:%02hhx:%02hhx:%02hhx", m[0], m[1], m[2], m[3], m[4], m[5]) +
         suffix;
}

std::string Ipv4(const IpBytes& ip) {
  return Format("\tIP: %u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
}

std::string Ipv6(const IpBytes& ip) {
  return Format("\tIP: %02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x", ip[0], ip[1], ip[2],
                ip[3], ip[4], ip[5], ip[6], ip[7], ip[8], ip[9], ip[10], ip[11], ip[12], ip[13], ip[14], ip[15]);
}

void PlainProperties(Rendering& r, const std::vector<KcpProperty>& properties) {
  for (const auto& p : properties) {
    r.Line(Format("\t\tProperty: len = %u key = %u\n", static_cast<unsigned>(p.value.size() + kPropHeaderLen), p.key));
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
        r.Line(Format("\t\tStatus property: len = %u, status = %s\n", len, status));
        break;
      }
      case KCP_VIF_PROP_MAC: {
        auto macs = DecodeMacProperty(p);
        r.Line(Format("\t\tMAC property: len = %u, MAC number = %u\n", len, static_cast<unsigned>(macs.size())));
        for (const auto& mac : macs) r.Line(Mac("\t\tMAC: ", mac, "\n"));
        break;
      }
      case KCP_VIF_PROP_DISCOVERED_BINDINGS: {
        auto bindings = DecodeBindingsProperty(p);
        r.Line(Format("\tDiscovered Bindings property: len = %u, total number = %u\n", len,
                      static_cast<unsigned>(bindings.size())));
        for (const auto& b : bindings) {
          r.Line((b.IsIpv4() ? Ipv4(b.ip) : Ipv6(b.ip)) + Mac("\tMAC: ", b.mac, "") +
                 Format("\tVLAN: %d\t, DISCOVERYMETHOD: %d\t,TIMESTAMP: %lu\n", b.vlanId, b.method,
                        static_cast<unsigned long>(b.timestamp)));
        }
        break;
      }
      default:
        r.Line(Format("\tVIF Update: unsupported property type %u, len %u", p.key, len));
        break;
    }
  }
}

void RenderUpdateItem(Rendering& r, const DataItem& item) {
  unsigned len = item.length;
  unsigned num = static_cast<unsigned>(item.ids.size());
  switch (item.type) {
    case KCP_UPDATE_VIF:
      r.Line(Format("\tVIF Update: len = %u\n", len));
      if (!item.wellFormed) return;
      r.Line(Format("\tOperation: %s\n", OperationName(item.operation)));
      for (const auto& vif : item.vifs) {
        if (r.Full()) return;
        r.Line(Format("\tVIF ID: %s\n", vif.vifId.c_str()));
        r.Line(Format("\tType: %s\n", VifTypeName(vif.vifType)));
        r.Line(Format("\tSmartNic flag: %u\n", vif.smartNic));
        r.Line(Format("\tHoplift: %u\n", vif.hoplift));
        r.Line(Format("\tPort ID: %s\n", vif.portId.c_str()));
        r.Line(Format("\tSwitch ID: %s\n", vif.switchId.c_str()));
        if (vif.vifType == KCP_VIF_CONTAINER) r.Line(Format("\tParent VIF ID: %s\n", vif.parentVifId.c_str()));
        VifProperties(r, vif.properties);
      }
      return;
    case KCP_UPDATE_PORT_PROPERTY:
    case KCP_UPDATE_TKMNIC_PROPERTY: {
      bool port = item.type == KCP_UPDATE_PORT_PROPERTY;
      r.Line(Format(port ? "\tPort Property Update: len = %u\n" : "\tTkmnic Property Update: len = %u\n", len));
      if (!item.wellFormed) return;
      r.Line(Format("\tOperation: %s\n", OperationName(item.operation)));
      for (const auto& rec : item.propertyRecords) {
        if (r.Full()) return;
        r.Line(Format(port ? "\tVIF ID: %s\n" : "\tTkmnic name: %s\n", rec.id.c_str()));
        PlainProperties(r, rec.properties);
      }
      return;
    }
    case KCP_UPDATE_PORT_LIST:
      r.Line(Format("\tPortList Update: num = %u len = %u\n", num, len));
      for (const auto& id : item.ids) {
        if (r.Full()) return;
        r.Line(Format("\t\tVIF ID: %s\n", id.c_str()));
      }
      return;
    case KCP_UPDATE_TKMNIC_LIST:
      r.Line(Format("\tTkmnicList Update: num = %u len = %u\n", num, len));
      for (const auto& id : item.ids) {
        if (r.Full()) return;
        r.Line(Format("\t\tTkmnic name: %s\n", id.c_str()));
      }
      return;
    case KCP_UPDATE_VDS_PROPERTY:
      r.Line(Format("\tVDS Property Update: len = %u\n", len));
      if (!item.vds) return;
      r.Line(Format("\tVDS ID: %s Operation: %s\n", item.vds->vdsId.c_str(), OperationName(item.vds->operation)));
      PlainProperties(r, item.vds->properties);
      return;
    case KCP_UPDATE_CONTAINER:
      r.Line(Format("\tContainer Update: len = %u\n", len));
      for (const auto& c : item.containers) {
        if (r.Full()) return;
        r.Line(Format("\tCIF ID: %s\n", c.cifId.c_str()));
        r.Line(Format("\tPort ID: %s\n", c.portId.c_str()));
        r.Line(Format("\tVM port ID: %s\n", c.vmPortId.c_str()));
        r.Line(Format("\tVM VIF ID: %s\n", c.vmVifId.c_str()));
        r.Line(Format("\tVLAN ID: %u\n", c.vlanId));
        r.Line(Mac("\tMAC: ", c.mac, "\n"));
        r.Line(Format("\tIP MAC number: %u\n", static_cast<unsigned>(c.entries.size())));
        for (const auto& e : c.entries)
          r.Line(e.IsIpv4() ? Ipv4(e.ip) + "\n" : Ipv6(e.ip) + Mac(" MAC: ", e.mac, "\n"));
      }
      return;
    case KCP_UPDATE_CONTAINER_LIST:
      r.Line(Format("\tContainerList Update: num = %u len = %u\n", num, len));
      for (const auto& id : item.ids) {
        if (r.Full()) return;
        r.Line(Format("\tContainer VIF ID: %s\n", id.c_str()));
      }
      return;
    case KCP_UPDATE_PORT_CONTAINER_LIST:
      r.Line(Format("\tPort ContainerList Update: len = %u\n", len));
      if (!item.wellFormed) return;
      r.Line(Format("\tVIF ID: %s\n", item.ownerId.c_str()));
      for (const auto& id : item.ids) {
        if (r.Full()) return;
        r.Line(Format("\tContainer VIF ID: %s\n", id.c_str()));
      }
      return;
    case KCP_UPDATE_VDS_LIST:
      r.Line(Format("\tVDS List Update: num = %u len = %u\n", num, len));
      for (const auto& id : item.ids) {
        if (r.Full()) return;
        r.Line(Format("\tVDS ID: %s\n", id.c_str()));
      }
      return;
    case KCP_UPDATE_UPLINK:
      r.Line(Format("\tUplink Update: len = %u\n", len));
      if (!item.wellFormed) return;
      r.Line(Format("\tOperation: %s\n", OperationName(item.operation)));
      for (const auto& u : item.uplinks) {
        if (r.Full()) return;
        r.Line(Format("\tUplink Port ID: %s\n", u.portId.c_str()));
        r.Line(Format("\tSwitch ID %s\n", u.switchId.c_str()));
        r.Line(Format("\tClient Name %s\n", u.clientName.c_str()));
        r.Line(Format("\tAlias: %s\n", u.alias.c_str()));
      }
      return;
    default:
      r.Line(Format("\tUpdate: unsupported data type %u, len %u", item.type, len));
      return;
  }
}

void RenderNotificationItem(Rendering& r, const DataItem& item) {
  unsigned len = item.length;
  switch (item.type) {
    case KCP_NOTIFY_DP_STATUS:
      r.Line(Format("\tDP Status Notification: len = %u\n", len));
      if (item.wellFormed) r.Line(Format("\tStatus: %s\n", item.status == KCP_DP_OUT_OF_SYNC ? "OutOfSync" : "Sync"));
      return;
    case KCP_NOTIFY_PORT_PROPERTY_OUT_OF_SYNC:
      r.Line(Format("\tPort Property OutOfSync Notification: len = %u\n", len));
      if (item.wellFormed) r.Line(Format("\tVIF ID: %s\n", item.ownerId.c_str()));
      return;
    case KCP_NOTIFY_TKMNIC_PROPERTY_OUT_OF_SYNC:
      r.Line(Format("\tTkmnic Property OutOfSync Notification: len = %u\n", len));
      if (item.wellFormed) r.Line(Format("\tTkmnic name: %s\n", item.ownerId.c_str()));
      return;
    case KCP_NOTIFY_PORT_CONTAINER_HOPLIFT_FULL_SYNC:
      r.Line(Format("\tPort container Hoplift fullSync Notification: len = %u\n", len));
      if (!item.wellFormed) return;
      r.Line(Format("\tVIF ID: %s\n", item.ownerId.c_str()));
      r.Line(Format("\tSync type: %s(%u)\n", SyncTypeName(item.value16), item.value16));
      return;
    default:
      r.Line(Format("\tNotification: unsupported data type %u, len %u", item.type, len));
      return;
  }
}

}  // namespace

std::string RenderMessage(const uint8_t* data, size_t size) {
  Rendering r;
  r.Line("KCP Message\n");
  KcpMessage msg;
  if (!DecodeMessage(data, size, &msg)) return r.Take();
  switch (msg.type) {
    case KCP_MSG_INIT:
      r.Line(Format("\tInit: len = %u\n", msg.length));
      for (const auto& item : msg.items) {
        if (item.type == KCP_INIT_MAX_MSG_LEN) {
          if (item.wellFormed) r.Line(Format("\tMax message length: %u\n", item.value16));
        } else {
          r.Line(Format("\tInit: unsupported data type %u, len %u", item.type, item.length));
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
          r.Line(Format("\tDP Status Query: len = %u\n", item.length));
        } else {
          r.Line(Format("\tQuery: unsupported data type %u, len %u", item.type, item.length));
        }
      }
      break;
    case KCP_MSG_SESSION_CONTROL:
      for (const auto& item : msg.items) {
        if (item.type == KCP_SESSION_CONTROL) {
          r.Line(Format("\tVIF Session control: len = %u\n", item.length));
          if (item.wellFormed) {
            r.Line(Format("\tVIF Session control type: %s, sessionID: %u\n", SessionControlName(item.controlType),
                          item.sessionId));
          }
        } else {
          r.Line(Format("\tVIF Session control: unsupported data type %u, len %u\n", item.type, item.length));
        }
      }
      break;
    default:
      r.Line(Format("Unsupported message type %u, len %u", msg.type, msg.length));
      break;
  }
  return r.Take();
}

}  // namespace VevUroro::kcp::reference
