#include "tools/qor-dpsim/PropertyText.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <sstream>

#include "core/ByteEscape.h"

namespace qor::dpsim {

namespace {

// Reads host-order and network-order integers from a value; the callers check lengths first.
class Reader {
 public:
  explicit Reader(const std::vector<uint8_t>& v) : _v(v) {}
  size_t Size() const { return _v.size(); }
  uint8_t U8(size_t at) const { return _v[at]; }
  template <typename T>
  T Host(size_t at) const {
    T value;
    std::memcpy(&value, _v.data() + at, sizeof(T));
    return value;
  }
  uint32_t Net32(size_t at) const {
    return (static_cast<uint32_t>(_v[at]) << 24) | (static_cast<uint32_t>(_v[at + 1]) << 16) |
           (static_cast<uint32_t>(_v[at + 2]) << 8) | _v[at + 3];
  }
  std::string Mac(size_t at) const {
    char text[18];
    std::snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", _v[at], _v[at + 1], _v[at + 2], _v[at + 3],
                  _v[at + 4], _v[at + 5]);
    return text;
  }
  std::string Ip(size_t at, bool v4) const {
    char text[INET6_ADDRSTRLEN];
    inet_ntop(v4 ? AF_INET : AF_INET6, _v.data() + at, text, sizeof(text));
    return text;
  }
  // A NUL-terminated field of `width` bytes.
  std::string Field(size_t at, size_t width) const {
    size_t n = 0;
    while (n < width && _v[at + n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(_v.data() + at), n);
  }

 private:
  const std::vector<uint8_t>& _v;
};

std::string Hex(const std::vector<uint8_t>& value) {
  static const char* kHex = "0123456789abcdef";
  std::string out = "0x";
  for (uint8_t b : value) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 0xf]);
  }
  return out;
}

std::string Malformed(const std::vector<uint8_t>& value) {
  return "malformed (" + std::to_string(value.size()) + " bytes) " + Hex(value);
}

// Text values carry their terminating NUL.
std::string Text(const std::vector<uint8_t>& value) {
  if (value.empty() || value.back() != 0) return Malformed(value);
  return "\"" + Printable(std::string(value.begin(), value.end() - 1)) + "\"";
}

std::string Shaper(const Reader& r) {
  std::ostringstream out;
  out << "average " << r.Host<uint64_t>(0) << " B/s, peak " << r.Host<uint64_t>(8) << " B/s, burst "
      << r.Host<uint64_t>(16);
  return out.str();
}

std::string SecurityTable(const Reader& r, const std::vector<uint8_t>& value) {
  if (r.Size() < 32) return Malformed(value);
  uint32_t counts[3] = {r.Host<uint32_t>(20), r.Host<uint32_t>(24), r.Host<uint32_t>(28)};
  if (r.Size() != 32 + 32 * (static_cast<size_t>(counts[0]) + counts[1]) + 6 * static_cast<size_t>(counts[2])) {
    return Malformed(value);
  }
  std::ostringstream out;
  char flags[16];
  std::snprintf(flags, sizeof(flags), "0x%x", r.Host<uint32_t>(0));
  out << "flags " << flags << ", broadcast rx " << r.Host<uint32_t>(4) << " tx " << r.Host<uint32_t>(8)
      << ", multicast rx " << r.Host<uint32_t>(12) << " tx " << r.Host<uint32_t>(16);
  size_t at = 32;
  const char* lists[2] = {"switch white list", "port white list"};
  for (int list = 0; list < 2; ++list) {
    out << ", " << lists[list] << " " << counts[list] << " [";
    for (uint32_t i = 0; i < counts[list]; ++i, at += 32) {
      uint32_t entry = r.Host<uint32_t>(at);
      if (i) out << "; ";
      if (entry & 0x1) out << r.Ip(at + 12, true) << "/" << r.Host<uint32_t>(at + 28) << " ";
      if (entry & 0x2) out << r.Ip(at + 12, false) << "/" << r.Host<uint32_t>(at + 28) << " ";
      if (entry & 0x4) out << "vlan " << r.Host<uint16_t>(at + 4) << " ";
      if (entry & 0x8) out << "mac " << r.Mac(at + 6);
    }
    out << "]";
  }
  out << ", BPDU exceptions " << counts[2] << " [";
  for (uint32_t i = 0; i < counts[2]; ++i, at += 6) out << (i ? " " : "") << r.Mac(at);
  out << "]";
  return out.str();
}

std::string MirrorTables(const Reader& r, const std::vector<uint8_t>& value) {
  std::ostringstream out;
  size_t at = 0;
  int sessions = 0;
  while (at < r.Size()) {
    if (r.Size() - at < 252 || r.Host<uint32_t>(at) != 0xFACEBEEF) return Malformed(value);
    uint32_t records = r.Host<uint32_t>(at + 12);
    if (r.Size() - at < 252 + 52 * static_cast<size_t>(records)) return Malformed(value);
    const size_t s = at + 20;
    int32_t snap = r.Host<int32_t>(s + 117);
    out << (sessions++ ? "; " : "") << "session \"" << Printable(r.Field(s, 32)) << "\" type "
        << r.Host<uint32_t>(s + 113) << " encapsulation " << r.Host<uint32_t>(s + 121) << " vlan "
        << r.Host<uint16_t>(s + 125) << " snaplen " << (snap < 0 ? std::string("none") : std::to_string(snap))
        << " direction " << r.Host<uint32_t>(s + 131);
    if (r.U8(s + 155)) out << " to " << r.Ip(s + 139, r.U8(s + 155) == 1) << " key " << r.Host<uint32_t>(s + 135);
    out << " ports [";
    for (uint32_t i = 0; i < records; ++i) {
      size_t p = at + 252 + 52 * static_cast<size_t>(i);
      uint32_t role = r.Host<uint32_t>(p + 48);
      out << (i ? " " : "") << Printable(r.Field(p, 48)) << (role == 1 ? "(src)" : role == 2 ? "(dst)" : "(?)");
    }
    out << "]";
    at += 252 + 52 * static_cast<size_t>(records);
  }
  return out.str();
}

}  // namespace

std::string Printable(const std::string& text) {
  return VevUroro::BytesEscaped(text, [](unsigned char c) { return c >= 0x20 && c < 0x7f && c != '"' && c != '\\'; });
}

const char* PortKeyName(uint16_t key) {
  switch (key) {
    case 1:
      return "segment VNI";
    case 2:
      return "replication mode";
    case 3:
      return "DSCP/COS tags";
    case 4:
      return "udpPortsInHash";
    case 5:
      return "nestedTNConfig";
    case 6:
      return "child segment port";
    case 41:
      return "switch security table";
    case 42:
    case 44:
    case 46:
      return "IP discovery settings";
    case 43:
      return "security configured";
    case 45:
      return "IP discovery ignore-bindings";
    case 61:
    case 62:
    case 63:
      return "traffic shaper";
    case 81:
      return "port mirroring sessions";
    case 101:
      return "port blocked";
    case 102:
      return "VLAN";
    case 141:
      return "MAC management";
    case 181:
      return "QoS plane mode";
    case 202:
      return "uplink teaming policy";
    case 241:
      return "managedcloud.management.ip";
    case 242:
      return "proxyarpRoutermode";
    case 243:
      return "managedcloud.edge";
    case 244:
      return "remoteRtr";
    case 245:
      return "policyRoute";
    case 261:
      return "serviceInsertion.gvm";
    case 262:
      return "serviceInsertion.svm";
    case 281:
      return "port latency";
    case 321:
      return "global.id";
    case 341:
      return "forward.rarp";
    default:
      return (key >= 322 && key <= 331) ? "vm.tagset" : "unknown";
  }
}

const char* SwitchKeyName(uint16_t key) {
  switch (key) {
    case 1:
      return "CCP session state";
    case 5:
      return "flow cache enabled";
    case 6:
      return "flow cache multicast enabled";
    case 9:
      return "MAC learning";
    case 10:
      return "forwarding mode";
    case 11:
      return "latency";
    default:
      return "unknown";
  }
}

std::string PortPropertyText(uint16_t key, const std::vector<uint8_t>& value) {
  if (value.empty()) return "(empty)";
  Reader r(value);
  std::ostringstream out;
  switch (key) {
    case 1:
      if (r.Size() != 4) return Malformed(value);
      return "VNI " + std::to_string(r.Net32(0));
    case 2:
      if (r.Size() != 4) return Malformed(value);
      return "replicator " + r.Ip(0, true) + (r.Net32(0) == 2 ? " (mode 1)" : " (mode 0)");
    case 3:
      if (r.Size() != 4) return Malformed(value);
      out << "DSCP trusted " << unsigned(r.U8(0)) << ", DSCP " << unsigned(r.U8(1)) << ", COS " << unsigned(r.U8(2));
      return out.str();
    case 6:
    case 181:
      if (r.Size() != 4) return Malformed(value);
      return (key == 6 ? "marker " : "mode ") + std::to_string(r.Host<uint32_t>(0));
    case 41:
      return SecurityTable(r, value);
    case 42:
      if (r.Size() != 2) return Malformed(value);
      out << "ARP snooping " << unsigned(r.U8(0)) << ", DHCP snooping " << unsigned(r.U8(1));
      return out.str();
    case 44:
      if (r.Size() != 14) return Malformed(value);
      out << "binding timeout enabled " << unsigned(r.U8(0)) << ", ND snooping " << unsigned(r.U8(1)) << ", timeout "
          << r.Host<uint32_t>(2) << ", ARP limit " << r.Host<uint32_t>(6) << ", ND limit " << r.Host<uint32_t>(10);
      return out.str();
    case 45: {
      if (r.Size() < 4 || r.Size() != 4 + 28 * static_cast<size_t>(r.Host<uint32_t>(0))) return Malformed(value);
      uint32_t count = r.Host<uint32_t>(0);
      out << count << " bindings [";
      for (uint32_t i = 0; i < count; ++i) {
        size_t at = 4 + 28 * static_cast<size_t>(i);
        out << (i ? "; " : "") << r.Ip(at + 4, r.U8(at) != 0) << "/" << unsigned(r.U8(at + 1)) << " vlan "
            << r.Host<uint16_t>(at + 2) << " mac " << r.Mac(at + 20);
      }
      out << "]";
      return out.str();
    }
    case 46:
      if (r.Size() != 2) return Malformed(value);
      out << "VM tools " << unsigned(r.U8(0)) << ", DHCPv6 snooping " << unsigned(r.U8(1));
      return out.str();
    case 61:
    case 62:
    case 63:
      if (r.Size() != 24) return Malformed(value);
      return std::string("type ") + (key == 62 ? "1" : key == 63 ? "2" : "3") + ": " + Shaper(r);
    case 81:
      return MirrorTables(r, value);
    case 101: {
      std::string text = Text(value);
      return text == "\"true\"" ? "blocked" : text == "\"false\"" ? "unblocked" : Malformed(value);
    }
    case 102: {
      if (r.Size() < 8 || r.Size() != 8 + 4 * static_cast<size_t>(r.Host<uint16_t>(6))) return Malformed(value);
      uint16_t ranges = r.Host<uint16_t>(6);
      if (r.Host<uint16_t>(0) & 1) {
        out << "trunk [";
        for (uint16_t i = 0; i < ranges; ++i) {
          out << (i ? ", " : "") << r.Host<uint16_t>(8 + 4 * i) << "-" << r.Host<uint16_t>(10 + 4 * i);
        }
        out << "]";
        return out.str();
      }
      uint16_t vlan = r.Host<uint16_t>(2);
      return vlan ? "VLAN " + std::to_string(vlan) : std::string("no VLAN");
    }
    case 141:
      if (r.Size() != 11) return Malformed(value);
      out << "MAC change " << unsigned(r.U8(0)) << ", unknown unicast flooding " << unsigned(r.U8(1)) << ", learning "
          << unsigned(r.U8(2)) << ", limit " << r.Host<uint32_t>(3) << ", policy " << (r.U8(7) ? "allow" : "drop");
      return out.str();
    default:
      if (std::string(PortKeyName(key)) == "unknown") return Hex(value);
      return Text(value);
  }
}

std::string SwitchPropertyText(uint16_t key, const std::vector<uint8_t>& value) {
  if (value.empty()) return "(empty)";
  switch (key) {
    case 10:
      if (value.size() != 4) return Malformed(value);
      return "mode " + std::to_string(Reader(value).Net32(0));
    case 1:
    case 5:
    case 6:
    case 9:
    case 11:
      return Text(value);
    default:
      return Hex(value);
  }
}

}  // namespace qor::dpsim
