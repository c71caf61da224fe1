// Datapath properties as the property converter builds them and the KCP builder packs them.
//
// A DVSProperty is one keyed value attached to a switch port (port property keys) or to a whole host switch
// (switch property keys). Values are opaque bytes; text values carry their terminating NUL ("true" is 5 bytes);
// an empty value clears the property in the datapath. A DVSEntityUpdate is one batch of such properties for ports
// (kind DVS_ENTITY_PORT) or kernel NICs (any other kind), keyed by entity (the port's VIF ID or the tkmnic name).
//
// Plain values, copied freely; no locking.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace VevUroro {

// Port property keys.
enum PortPropertyKey : uint16_t {
  PORT_PROP_VNI = 1,
  PORT_PROP_REPLICATION_MODE = 2,
  PORT_PROP_DSCP_COS_TAGS = 3,
  PORT_PROP_UDP_PORTS_IN_HASH = 4,
  PORT_PROP_NESTED_TN_CONFIG = 5,
  PORT_PROP_CHILD_SEGMENT_PORT = 6,
  PORT_PROP_SWITCH_SECURITY = 41,
  PORT_PROP_IP_DISCOVERY_SNOOPING = 42,
  PORT_PROP_SECURITY_CONFIGURED = 43,
  PORT_PROP_IP_DISCOVERY_BINDING_LIMITS = 44,
  PORT_PROP_IP_DISCOVERY_IGNORE_BINDINGS = 45,
  PORT_PROP_IP_DISCOVERY_GUEST = 46,
  PORT_PROP_SHAPER_TYPE3 = 61,
  PORT_PROP_SHAPER_TYPE1 = 62,
  PORT_PROP_SHAPER_TYPE2 = 63,
  PORT_PROP_MIRROR_SESSIONS = 81,
  PORT_PROP_BLOCKED = 101,
  PORT_PROP_VLAN = 102,
  PORT_PROP_MAC_MANAGEMENT = 141,
  PORT_PROP_QOS_PLANE_MODE = 181,
  PORT_PROP_UPLINK_TEAMING = 202,
  PORT_PROP_MANAGEMENT_IP = 241,
  PORT_PROP_PROXY_ARP_ROUTER_MODE = 242,
  PORT_PROP_MANAGED_EDGE = 243,
  PORT_PROP_REMOTE_ROUTER = 244,
  PORT_PROP_POLICY_ROUTE = 245,
  PORT_PROP_SERVICE_INSERTION_GVM = 261,
  PORT_PROP_SERVICE_INSERTION_SVM = 262,
  PORT_PROP_LATENCY = 281,
  PORT_PROP_GLOBAL_ID = 321,
  PORT_PROP_VM_TAGSET = 322,  // 322 .. 331: tagset, tagset1 .. tagset9
  PORT_PROP_VM_TAGSET_LAST = 331,
  PORT_PROP_FORWARD_RARP = 341,
};

// Switch property keys.
enum SwitchPropertyKey : uint16_t {
  SWITCH_PROP_CCP_SESSION = 1,
  SWITCH_PROP_FLOW_CACHE = 5,
  SWITCH_PROP_FLOW_CACHE_MCAST = 6,
  SWITCH_PROP_MAC_LEARN_STATIC = 9,
  SWITCH_PROP_FORWARDING_MODE = 10,
  // The latency of a host switch, from its transport node's latency profile: text like port key 281's value.
  SWITCH_PROP_LATENCY = 11,
};

// Entity kinds of a DVSEntityUpdate.
enum DVSEntityKind : uint32_t { DVS_ENTITY_PORT = 1, DVS_ENTITY_TKMNIC = 2 };

// Datapath operations of a batch.
enum DVSOperation : uint32_t { DVS_OP_UPDATE = 1, DVS_OP_DELETE = 2, DVS_OP_FULL_SYNC = 3 };

struct DVSProperty {
  uint16_t key = 0;
  std::string value;
  bool operator==(const DVSProperty&) const = default;
};

using DVSPropertyList = std::vector<DVSProperty>;

struct DVSEntityUpdate {
  // Room reserved for a port's whole property set as it is built (about this many); an update of a few keys takes
  // only what it needs.
  static constexpr size_t kTypicalProperties = 24;

  uint32_t kind = DVS_ENTITY_PORT;
  uint32_t operation = DVS_OP_UPDATE;
  std::map<std::string, DVSPropertyList> entities;

  // Appends `key` to the entity's properties; a key the entity already carries in this batch takes the new value
  // in its first place, so that one batch never sends one key twice. The one exception is the security-configured
  // marker (key 43), sent again immediately before each block it announces.
  void Add(const std::string& entity, uint16_t key, std::string value);
  void Add(const std::string& entity, const DVSProperty& property) { Add(entity, property.key, property.value); }
  void Add(const std::string& entity, const DVSPropertyList& properties);
  bool Empty() const { return entities.empty(); }
};

// Text value with its terminating NUL.
std::string TextValue(std::string_view text);
inline std::string BoolText(bool value) {
  return TextValue(value ? "true" : "false");
}

// Property TLVs back to back (16-bit key, 16-bit length counting the 4-byte header, both network order, then the
// value): the encoded property block of one switch.
std::string EncodeProperties(const DVSPropertyList& properties);

}  // namespace VevUroro
