// The property converter's own view of the desired state it converts: logical switches, logical switch ports,
// host switches, mirror sessions and bridge nodes, parsed once when their change arrives and held with the port
// properties they convert to.
//
// Why a view of its own: building a port's full property set (at connection, resync and full sync) must cost what
// copying the bytes costs, not a parse of every property again; and a change must cost what that change converts,
// not a walk of the table. The view is kept in step with the configuration table by applying every change the
// table reports to the converter (ApplyChange), full-sync sweeps and whole-object removals included; a seeded
// differential test checks that a converter fed changes one by one ends in the same datapath state as one fed the
// final state at once.
//
// Owned by the DVSPropConvertor and guarded by the agent lock, like the rest of its state.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "apps/config/DVSProperty.h"
#include "zantix/qor/tolvar/config.pb.h"

namespace VevUroro {

// Logical switch types.
constexpr uint32_t kLsTypeServicePlane = 3;
// Attachment types of logical switch ports.
constexpr uint32_t kAttachmentVif = 1;
// Transport switch modes: a switch that runs only the product's security gets no switch properties.
constexpr uint32_t kTransportSwitchSecurityOnly = 2;

struct LsState {
  std::optional<uint32_t> vni;
  std::optional<uint32_t> replicationMode;
  std::optional<uint16_t> vlan;
  std::optional<std::vector<std::pair<uint16_t, uint16_t>>> trunk;
  std::optional<bool> adminUp;
  std::optional<std::string> teamingPolicy;  // present when the property is
  std::optional<uint32_t> type;
  std::optional<uint32_t> spSubtype;
  std::optional<zantix::qor::tolvar::MacManagementMsg> macManagement;
  std::map<std::string, std::string> extraConfigs;
  std::optional<zantix::qor::tolvar::LsAttachmentMsg> attachment;

  bool ServicePlane() const { return type && *type == kLsTypeServicePlane; }
  // No property left: the switch is as good as gone.
  bool Empty() const {
    return !vni && !replicationMode && !vlan && !trunk && !adminUp && !teamingPolicy && !type && !spSubtype &&
           !macManagement && extraConfigs.empty() && !attachment && otherProperties.empty();
  }
  std::set<uint32_t> otherProperties;  // properties that give no port property (name, transport zone, ...)
};

// A host holds one per port: the numbers side by side, so that no padding sits between the strings.
struct LspAttachment {
  uint32_t type = 0;
  uint32_t vifType = 0;
  uint32_t contextVlan = 0;
  std::string vifId;
  std::string dvportId;
  std::string parentVifId;
};

// A host holds one per port: the flags sit together, and the address bindings, which only container ports read,
// stay unparsed.
struct LspState {
  std::string switchId;  // LSP_SWITCH_ID (a serialized UuidMsg); empty when absent
  std::optional<LspAttachment> attachment;
  std::optional<bool> adminUp;
  bool isHydTkm = false;
  bool qosShaped = false;
  // Converted properties; absent when the port has no such property (or its value never validated).
  std::optional<zantix::qor::tolvar::IpDiscoveryConfigMsg> ipDiscoverySettings;  // the port's own settings
  std::optional<DVSPropertyList> ipDiscovery;                                    // keys 43, 42, 44, 46
  std::optional<std::string> securityTable;                                      // key 41
  std::optional<DVSPropertyList> qos;                                            // keys 62, 63, 61, 3
  std::optional<std::string> macManagement;                                      // key 141
  std::map<std::string, std::string> extraConfigs;
  std::optional<std::string> ignoreBindings;  // key 45
  std::vector<std::string> mirrorSessions;    // session object ids named by LSP_MIRROR_TARGETS
  // The LSP_ADDRESS_BINDINGS value as it arrived (a LogSwitchPortConfigMsg that holds them), when it holds them:
  // only a container port's bindings are read, so the others are not kept parsed. See AddressBindings().
  std::optional<std::string> addressBindingsValue;
  // The switch state `switchId` names, as last looked up (valid while DesiredSwitchState::switchErasures is the
  // generation it was taken at).
  mutable const LsState* switchCache = nullptr;
  mutable uint64_t switchCacheGeneration = 0;

  // The port's address bindings, parsed from the value kept; none when the port has none.
  std::optional<zantix::qor::tolvar::AddressBindingsMsg> AddressBindings() const;
};

struct HostSwitchState {
  std::string switchId;      // the datapath's switch ID
  std::string nodeId;        // the transport node that lists it (serialized UuidMsg)
  std::string hostSwitchId;  // serialized UuidMsg
  std::optional<uint32_t> mode;
  std::optional<uint32_t> forwardingMode;
  bool offloaded = false;
  std::map<std::string, std::string> opaqueConfigs;
};

// Orders port ids held as pointers by their text.
struct ByPortIdText {
  using is_transparent = void;
  bool operator()(const std::string* a, const std::string* b) const { return *a < *b; }
  bool operator()(const std::string* a, const std::string& b) const { return *a < b; }
  bool operator()(const std::string& a, const std::string* b) const { return a < *b; }
};
// Port ids in id order, each the key of its entry in `ports` (a host's worth of ids is not held twice).
using PortIdSet = std::set<const std::string*, ByPortIdText>;

class DesiredSwitchState {
 public:
  DesiredSwitchState() = default;
  // The indexes below point at the keys of `ports`: a copy would point at the original's.
  DesiredSwitchState(const DesiredSwitchState&) = delete;
  DesiredSwitchState& operator=(const DesiredSwitchState&) = delete;

  std::unordered_map<std::string, LsState> switches;
  std::unordered_map<std::string, LspState> ports;
  // Logical switch id -> the ports whose LSP_SWITCH_ID names it (whether or not the switch itself exists yet).
  std::unordered_map<std::string, PortIdSet> switchPorts;
  // The ports' attachments by DVPort ID and by VIF ID: the id of the port, the key of its entry in `ports` (a port
  // leaves these indexes before its entry goes).
  struct AttachmentIndex {
    // Each id names the port that set it last of those that hold it.
    std::unordered_map<std::string, const std::string*> holders;
    // The other ports that hold an id (rare: two ports attached to one VIF or DVPort for a while), in the order
    // they set it: one of them names the id again when its holder lets it go.
    std::multimap<std::string, const std::string*> earlierHolders;

    // `portId` (the port's key in `ports`) holds `id` (none when empty) / lets it go.
    void Hold(const std::string& id, const std::string& portId);
    void Release(const std::string& id, const std::string& portId);
    auto find(const std::string& id) const { return holders.find(id); }
    auto end() const { return holders.end(); }
  };
  AttachmentIndex portByDvport;
  AttachmentIndex portByVif;
  // Transport nodes by id, each with its transport switches in the order the node lists them.
  std::map<std::string, std::vector<HostSwitchState>> transportNodes;
  // Mirror sessions by object id; each kind (property 150..154) present or not.
  std::map<std::string, std::map<uint32_t, zantix::qor::tolvar::MirrorSessionMsg>> mirrorSessions;
  // Session id -> ports whose LSP_MIRROR_TARGETS name it.
  std::map<std::string, std::set<std::string>> mirrorTargets;
  // Bridge clusters with a non-empty bridge node list.
  std::set<std::string> bridgeClusters;
  // Counts of erased switch and port entries: pointers to entries taken at an older count may dangle. Every erasure
  // from `ports` counts here (the port look-up below remembers its last entry by it).
  uint64_t switchErasures = 0;
  uint64_t portErasures = 0;

  // Applies one property change (property 0: the whole object) of a LOG_SWITCH_CONFIG, LOG_SWITCH_PORT_CONFIG,
  // TRANSPORT_NODE_CONFIG, BRIDGE_CLUSTER_CONFIG or PORT_MIRROR_SESSION object to the raw fields of the view. A
  // logical switch is dropped with its last property. Port properties that need conversion are converted by the
  // converter itself. Returns false for a value that does not parse (the view keeps what it had).
  // A port property's change also hands back, in `applied`, the port's entry and the value parsed (left empty for
  // a removal), so that the converter neither looks the port up nor parses the value again.
  struct AppliedPortProperty {
    LspState* port = nullptr;
    zantix::qor::tolvar::LogSwitchPortConfigMsg value;
  };
  bool ApplyRaw(uint32_t objectType, const std::string& objectId, uint32_t propertyType, bool remove,
                const std::string& value, AppliedPortProperty* applied = nullptr);

  const LsState* Switch(const std::string& id) const;
  // The switch a port is on, through the port's cache.
  const LsState* SwitchOfPort(const LspState& port) const;
  const LspState* Port(const std::string& id) const;
  // The ports on logical switch `id` (empty when none).
  const PortIdSet& PortsOf(const std::string& id) const;
  // Every host switch of every transport node, in node then list order.
  std::vector<const HostSwitchState*> HostSwitches() const;

 private:
  // A batch brings each port's properties one after another: the entry of `ports` last found is remembered (valid
  // at its erasure count), so that they do not look the same port up again and again.
  LspState* RememberedPort(const std::string& id) const;
  LspState* RememberPort(std::unordered_map<std::string, LspState>::iterator entry) const;

  // `portId` is the port's key in `ports`: the indexes keep its address.
  void SetPortSwitch(const std::string& portId, LspState& port, const std::string& switchId);
  void SetAttachment(const std::string& portId, LspState& port, std::optional<LspAttachment> attachment);

  mutable const std::string* _lastPortId = nullptr;  // the key, in `ports`, of the entry last found
  mutable LspState* _lastPort = nullptr;
  mutable uint64_t _lastPortErasures = 0;
};

}  // namespace VevUroro
