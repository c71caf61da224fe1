#include "apps/config/DesiredSwitchState.h"

#include <algorithm>

#include "apps/config/UuidText.h"
#include "core/Logger.h"
#include "platform/tolvar/TolvarSchema.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace VevUroro {

namespace {

namespace tv = zantix::qor::tolvar;
using P = tv::Property;

constexpr uint32_t kMaxVlanField = 0xffff;

// A VLAN ID the datapath's 16-bit field cannot hold: cut, it would name another VLAN.
bool VlanTooLarge(uint32_t vlan, const char* what, const std::string& objectId) {
  if (vlan <= kMaxVlanField) return false;
  Logger(LOG_LEVEL_ERROR, "Invalid %1 %2 of %3: more than %4", what, vlan, UuidOf(objectId), kMaxVlanField)
      .AddTag("errorCode:LCP00001");
  return true;
}

std::vector<std::pair<uint16_t, uint16_t>> Ranges(const tv::VlanTrunkMsg& trunk) {
  std::vector<std::pair<uint16_t, uint16_t>> ranges;
  for (const tv::VlanRangeMsg& range : trunk.ranges()) {
    ranges.emplace_back(static_cast<uint16_t>(range.start()), static_cast<uint16_t>(range.end()));
  }
  return ranges;
}

std::map<std::string, std::string> KeyValues(const tv::ExtraConfigsMsg& configs) {
  std::map<std::string, std::string> out;
  for (const tv::KeyValueMsg& kv : configs.configs()) out[kv.key()] = kv.value();
  return out;
}

void ApplySwitch(LsState& ls, uint32_t property, bool remove, const tv::LogSwitchConfigMsg& m) {
  switch (property) {
    case P::LS_VNI:
      ls.vni = remove || !m.has_vni() ? std::nullopt : std::optional<uint32_t>(m.vni());
      return;
    case P::LS_REPLICATION_MODE:
      ls.replicationMode = remove || !m.has_replication_mode() ? std::nullopt : std::optional(m.replication_mode());
      return;
    case P::LS_VLAN:
      ls.vlan = remove || !m.has_vlan() ? std::nullopt : std::optional(static_cast<uint16_t>(m.vlan()));
      return;
    case P::LS_VLAN_TRUNK:
      ls.trunk = remove || !m.has_vlan_trunk() ? std::nullopt : std::optional(Ranges(m.vlan_trunk()));
      return;
    case P::LS_ADMIN_STATE_UP:
      ls.adminUp = remove || !m.has_admin_state_up() ? std::nullopt : std::optional(m.admin_state_up());
      return;
    case P::LS_UPLINK_TEAMING_POLICY:
      ls.teamingPolicy =
          remove || !m.has_uplink_teaming_policy() ? std::nullopt : std::optional(m.uplink_teaming_policy());
      return;
    case P::LS_TYPE:
      ls.type = remove || !m.has_type() ? std::nullopt : std::optional(m.type());
      return;
    case P::LS_SP_SUBTYPE:
      ls.spSubtype = remove || !m.has_sp_subtype() ? std::nullopt : std::optional(m.sp_subtype());
      return;
    case P::LS_MAC_MANAGEMENT:
      ls.macManagement = remove || !m.has_mac_management() ? std::nullopt : std::optional(m.mac_management());
      return;
    case P::LS_EXTRA_CONFIGS:
      ls.extraConfigs = remove ? std::map<std::string, std::string>() : KeyValues(m.extra_configs());
      return;
    case P::LS_ATTACHMENT:
      ls.attachment = remove || !m.has_attachment() ? std::nullopt : std::optional(m.attachment());
      return;
    default:
      if (remove) {
        ls.otherProperties.erase(property);
      } else {
        ls.otherProperties.insert(property);
      }
      return;
  }
}

}  // namespace

std::optional<tv::AddressBindingsMsg> LspState::AddressBindings() const {
  tv::LogSwitchPortConfigMsg m;
  if (!addressBindingsValue || !m.ParseFromString(*addressBindingsValue)) return std::nullopt;
  return std::move(*m.mutable_address_bindings());
}

void DesiredSwitchState::SetPortSwitch(const std::string& portId, LspState& port, const std::string& switchId) {
  if (port.switchId == switchId) return;
  if (!port.switchId.empty()) {
    auto it = switchPorts.find(port.switchId);
    if (it != switchPorts.end()) {
      auto member = it->second.find(portId);
      if (member != it->second.end()) it->second.erase(member);
      if (it->second.empty()) switchPorts.erase(it);
    }
  }
  port.switchId = switchId;
  port.switchCache = nullptr;
  if (!switchId.empty()) switchPorts[switchId].insert(&portId);
}

void DesiredSwitchState::AttachmentIndex::Release(const std::string& id, const std::string& portId) {
  auto it = holders.find(id);
  if (it == holders.end()) return;
  auto earlier = earlierHolders.equal_range(id);
  if (*it->second != portId) {
    // Not the port that set the id last: it only leaves the earlier holders.
    for (auto e = earlier.first; e != earlier.second; ++e) {
      if (*e->second != portId) continue;
      earlierHolders.erase(e);
      break;
    }
    return;
  }
  if (earlier.first == earlier.second) {
    holders.erase(it);
    return;
  }
  // Another port still holds the id: the one that set it last before this one names it again.
  auto latest = std::prev(earlier.second);
  it->second = latest->second;
  earlierHolders.erase(latest);
}

void DesiredSwitchState::AttachmentIndex::Hold(const std::string& id, const std::string& portId) {
  if (id.empty()) return;
  auto [it, added] = holders.try_emplace(id, &portId);
  if (added || *it->second == portId) return;
  earlierHolders.emplace(id, it->second);
  it->second = &portId;
}

void DesiredSwitchState::SetAttachment(const std::string& portId, LspState& port,
                                       std::optional<LspAttachment> attachment) {
  if (port.attachment) {
    portByDvport.Release(port.attachment->dvportId, portId);
    portByVif.Release(port.attachment->vifId, portId);
  }
  port.attachment = std::move(attachment);
  if (port.attachment) {
    portByDvport.Hold(port.attachment->dvportId, portId);
    portByVif.Hold(port.attachment->vifId, portId);
  }
}

bool DesiredSwitchState::ApplyRaw(uint32_t objectType, const std::string& id, uint32_t property, bool remove,
                                  const std::string& value, AppliedPortProperty* applied) {
  switch (objectType) {
    case tv::LOG_SWITCH_CONFIG: {
      if (property == 0) {
        if (remove && switches.erase(id)) ++switchErasures;
        return true;
      }
      tv::LogSwitchConfigMsg m;
      if (!remove && !m.ParseFromString(value)) return false;
      if (!remove && property == P::LS_VLAN && m.has_vlan() && VlanTooLarge(m.vlan(), "VLAN ID", id)) return false;
      if (!remove && property == P::LS_VLAN_TRUNK) {
        for (const tv::VlanRangeMsg& range : m.vlan_trunk().ranges()) {
          if (VlanTooLarge(std::max(range.start(), range.end()), "trunk VLAN ID", id)) return false;
        }
      }
      LsState& ls = switches[id];
      ApplySwitch(ls, property, remove, m);
      if (ls.Empty()) {
        switches.erase(id);
        ++switchErasures;
      }
      return true;
    }
    case tv::LOG_SWITCH_PORT_CONFIG: {
      if (property == 0) {
        if (!remove) return true;
        auto it = ports.find(id);
        if (it == ports.end()) return true;
        SetPortSwitch(it->first, it->second, std::string());
        SetAttachment(it->first, it->second, std::nullopt);
        for (const std::string& session : it->second.mirrorSessions) {
          auto targets = mirrorTargets.find(session);
          if (targets == mirrorTargets.end()) continue;
          targets->second.erase(id);
          if (targets->second.empty()) mirrorTargets.erase(targets);
        }
        ports.erase(it);
        ++portErasures;
        return true;
      }
      // A deleted port is reported as its removal followed by one removal per property: those find nothing, and
      // must not bring the port back as an empty entry.
      if (remove && !Port(id)) return true;
      tv::LogSwitchPortConfigMsg parsed;
      tv::LogSwitchPortConfigMsg& m = applied ? applied->value : parsed;
      if (!remove && !m.ParseFromString(value)) return false;
      if (!remove && property == P::LSP_ATTACHMENT && VlanTooLarge(m.attachment().context_vlan(), "context VLAN", id)) {
        return false;
      }
      LspState* remembered = RememberedPort(id);
      LspState& port = remembered ? *remembered : *RememberPort(ports.try_emplace(id).first);
      const std::string& key = *_lastPortId;
      if (applied) applied->port = &port;
      switch (property) {
        case P::LSP_SWITCH_ID:
          SetPortSwitch(key, port, remove || !m.has_switch_id() ? std::string() : m.switch_id().SerializeAsString());
          return true;
        case P::LSP_ATTACHMENT:
          if (remove || !m.has_attachment()) {
            SetAttachment(key, port, std::nullopt);
          } else {
            const tv::AttachmentMsg& a = m.attachment();
            SetAttachment(
                key, port,
                LspAttachment{a.type(), a.vif_type(), a.context_vlan(), a.vif_id(), a.dvport_id(), a.parent_vif_id()});
          }
          return true;
        case P::LSP_ADMIN_STATE_UP:
          port.adminUp = remove || !m.has_admin_state_up() ? std::nullopt : std::optional(m.admin_state_up());
          return true;
        case P::LSP_IS_HYD_TKM:
          port.isHydTkm = !remove && m.is_hyd_tkm();
          return true;
        case P::LSP_EXTRA_CONFIGS:
          port.extraConfigs = remove ? std::map<std::string, std::string>() : KeyValues(m.extra_configs());
          return true;
        case P::LSP_ADDRESS_BINDINGS:
          port.addressBindingsValue = remove || !m.has_address_bindings() ? std::nullopt : std::optional(value);
          return true;
        case P::LSP_MIRROR_TARGETS: {
          for (const std::string& session : port.mirrorSessions) {
            auto targets = mirrorTargets.find(session);
            if (targets == mirrorTargets.end()) continue;
            targets->second.erase(id);
            if (targets->second.empty()) mirrorTargets.erase(targets);
          }
          port.mirrorSessions.clear();
          if (!remove) {
            for (const tv::UuidMsg& session : m.mirror_targets().session_ids()) {
              port.mirrorSessions.push_back(session.SerializeAsString());
              mirrorTargets[port.mirrorSessions.back()].insert(id);
            }
          }
          return true;
        }
        default:
          return true;  // converted properties are stored by the converter
      }
    }
    case tv::TRANSPORT_NODE_CONFIG: {
      if (property == 0 || (property == P::TN_TRANSPORT_SWITCHES && remove)) {
        if (remove) transportNodes.erase(id);
        return true;
      }
      if (property != P::TN_TRANSPORT_SWITCHES) return true;
      tv::TransportNodeConfigMsg m;
      if (!m.ParseFromString(value)) return false;
      std::vector<HostSwitchState>& list = transportNodes[id];
      list.clear();
      for (const tv::TransportSwitchMsg& sw : m.transport_switches().switches()) {
        HostSwitchState state;
        state.switchId = sw.switch_id();
        state.nodeId = id;
        state.hostSwitchId = sw.host_switch_id().SerializeAsString();
        if (sw.has_mode()) state.mode = sw.mode();
        if (sw.has_forwarding_mode()) state.forwardingMode = sw.forwarding_mode();
        state.offloaded = sw.offloaded();
        state.opaqueConfigs = KeyValues(sw.opaque_configs());
        list.push_back(std::move(state));
      }
      return true;
    }
    case tv::BRIDGE_CLUSTER_CONFIG: {
      if (property != 0 && property != P::BRIDGE_NODES) return true;
      tv::BridgeClusterConfigMsg m;
      if (!remove && !m.ParseFromString(value)) return false;
      if (remove || m.bridge_nodes().nodes_size() == 0) {
        if (property != 0 || remove) bridgeClusters.erase(id);
      } else {
        bridgeClusters.insert(id);
      }
      return true;
    }
    case tv::PORT_MIRROR_SESSION: {
      if (property == 0) {
        if (remove) mirrorSessions.erase(id);
        return true;
      }
      if (property < P::PMS_LOGICAL_PORT_MIRROR_SESSION || property > P::PMS_L3SPAN_MIRROR_SESSION) return true;
      auto& kinds = mirrorSessions[id];
      if (remove) {
        kinds.erase(property);
        if (kinds.empty()) mirrorSessions.erase(id);
        return true;
      }
      tv::PortMirrorSessionMsg m;
      if (!m.ParseFromString(value)) return false;
      const google::protobuf::FieldDescriptor* field = qor::tolvar::PropertyField(m.GetDescriptor(), property);
      if (!field || !m.GetReflection()->HasField(m, field)) {
        kinds.erase(property);
        if (kinds.empty()) mirrorSessions.erase(id);
        return true;
      }
      kinds[property].CopyFrom(m.GetReflection()->GetMessage(m, field));
      return true;
    }
    default:
      return true;
  }
}

const LsState* DesiredSwitchState::Switch(const std::string& id) const {
  auto it = switches.find(id);
  return it == switches.end() ? nullptr : &it->second;
}

const LsState* DesiredSwitchState::SwitchOfPort(const LspState& port) const {
  if (port.switchCache && port.switchCacheGeneration == switchErasures) return port.switchCache;
  port.switchCache = Switch(port.switchId);
  port.switchCacheGeneration = switchErasures;
  return port.switchCache;
}

const LspState* DesiredSwitchState::Port(const std::string& id) const {
  if (const LspState* remembered = RememberedPort(id)) return remembered;
  // Found through the map itself (not its const view) so that the entry can be remembered for ApplyRaw's writes.
  auto& all = const_cast<DesiredSwitchState*>(this)->ports;
  auto it = all.find(id);
  return it == all.end() ? nullptr : RememberPort(it);
}

LspState* DesiredSwitchState::RememberedPort(const std::string& id) const {
  return _lastPort && _lastPortErasures == portErasures && *_lastPortId == id ? _lastPort : nullptr;
}

LspState* DesiredSwitchState::RememberPort(std::unordered_map<std::string, LspState>::iterator entry) const {
  _lastPortId = &entry->first;
  _lastPort = &entry->second;
  _lastPortErasures = portErasures;
  return _lastPort;
}

const PortIdSet& DesiredSwitchState::PortsOf(const std::string& id) const {
  static const PortIdSet kNone;
  auto it = switchPorts.find(id);
  return it == switchPorts.end() ? kNone : it->second;
}

std::vector<const HostSwitchState*> DesiredSwitchState::HostSwitches() const {
  std::vector<const HostSwitchState*> out;
  for (const auto& [node, list] : transportNodes) {
    for (const HostSwitchState& sw : list) out.push_back(&sw);
  }
  return out;
}

}  // namespace VevUroro
