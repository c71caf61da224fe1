// DVSPropConvertor: host-switch (switch-wide) properties, bridge nodes, the CCP session state, mirror session
// tables and uplink sessions, the profile callbacks, the dispatcher's lists and the switch-list full sync.
#include "apps/config/DVSPropConvertor.h"
#include "apps/config/ExtraConfigKeys.h"
#include "apps/config/IpDiscoverySettings.h"
#include "apps/config/MirrorSessionTable.h"
#include "apps/config/PropertyValues.h"
#include "core/AgentLock.h"
#include "core/Logger.h"
#include "zantix/qor/tolvar/objecttype.pb.h"
#include "zantix/qor/tolvar/runtime.pb.h"
#include "zantix/qor/tolvar/services.pb.h"

namespace VevUroro {

namespace tv = zantix::qor::tolvar;
using P = tv::Property;

namespace {

constexpr uint32_t kDefaultForwardingMode = 1;
constexpr uint32_t kMaxForwardingMode = 3;

bool Contains(const google::protobuf::RepeatedPtrField<tv::UuidMsg>& ids, const std::string& id) {
  for (const tv::UuidMsg& candidate : ids) {
    if (candidate.SerializeAsString() == id) return true;
  }
  return false;
}

// Stores `value` under `key` (removes the key when there is none); false when that is what `map` held already.
template <typename Map>
bool StoreLatency(Map& map, const std::string& key, const std::optional<std::string>& value) {
  auto it = map.find(key);
  if (!value) {
    if (it == map.end()) return false;
    map.erase(it);
    return true;
  }
  if (it != map.end() && it->second == *value) return false;
  map[key] = *value;
  return true;
}

}  // namespace

bool DVSPropConvertor::Active(const HostSwitchState& sw) const {
  if (sw.mode && *sw.mode == kTransportSwitchSecurityOnly) {
    Logger(LOG_LEVEL_DEBUG, "Skip transport switch enabled with QOR security: %1", sw.switchId);
    return false;
  }
  return !sw.offloaded && !_offloaded.count(sw.switchId);
}

std::vector<const HostSwitchState*> DVSPropConvertor::ActiveHostSwitches() const {
  std::vector<const HostSwitchState*> out;
  for (const HostSwitchState* sw : _state.HostSwitches()) {
    if (Active(*sw)) out.push_back(sw);
  }
  return out;
}

DVSPropertyList DVSPropConvertor::SwitchProperties(const HostSwitchState& sw, bool* forwardingOk) {
  DVSPropertyList properties;
  properties.push_back({SWITCH_PROP_CCP_SESSION, TextValue(_ccp.Up() ? "up" : "down")});
  // Flow caching is off on every host switch while a bridge node is configured.
  const std::string flowCache = _flowCache.enabled && _state.bridgeClusters.empty() ? BoolText(true) : std::string();
  properties.push_back({SWITCH_PROP_FLOW_CACHE, flowCache});
  if (_flowCache.mcastEnabled) properties.push_back({SWITCH_PROP_FLOW_CACHE_MCAST, flowCache});
  if (*forwardingOk) {
    uint32_t mode = sw.forwardingMode.value_or(kDefaultForwardingMode);
    if (mode == 0) {
      Logger(LOG_LEVEL_WARN, "Unexpected Forwarding mode %1, defaulting to %2", mode, kDefaultForwardingMode);
      mode = kDefaultForwardingMode;
    }
    if (mode > kMaxForwardingMode) {
      Logger(LOG_LEVEL_ERROR, "Invalid forwarding mode: %1", mode).AddTag("errorCode:LCP00001");
      *forwardingOk = false;
    } else {
      Logger(LOG_LEVEL_INFO, "Forwarding mode is %1 for host switch [%2]", mode, sw.switchId);
      properties.push_back({SWITCH_PROP_FORWARDING_MODE, values::ForwardingMode(mode)});
    }
  }
  auto latency = _nodeLatencies.find(sw.nodeId);
  if (latency != _nodeLatencies.end()) properties.push_back({SWITCH_PROP_LATENCY, latency->second});
  return properties;
}

bool DVSPropConvertor::SendSwitchProperties(uint8_t operation, const std::vector<const HostSwitchState*>& switches) {
  if (switches.empty()) return true;
  Logger(LOG_LEVEL_DEBUG, "Build forwarding mode global property");
  bool forwardingOk = true;
  std::vector<DVSPropertyList> lists;
  for (const HostSwitchState* sw : switches) lists.push_back(SwitchProperties(*sw, &forwardingOk));
  // An invalid mode stops the forwarding-mode build: no switch gets key 10 from this rebuild.
  std::vector<SwitchPropertyBlock> blocks;
  for (size_t i = 0; i < switches.size(); ++i) {
    if (!forwardingOk) {
      std::erase_if(lists[i], [](const DVSProperty& p) { return p.key == SWITCH_PROP_FORWARDING_MODE; });
    }
    blocks.push_back({switches[i]->switchId, EncodeProperties(lists[i])});
  }
  return _builder->SendSwitchPropertyUpdate(operation, blocks);
}

bool DVSPropConvertor::SendSwitchList() {
  std::vector<std::string> ids;
  for (const HostSwitchState* sw : ActiveHostSwitches()) ids.push_back(sw->switchId);
  if (!_builder->SendSwitchList(ids)) {
    Logger(LOG_LEVEL_ERROR, "Failed to send DVSList FullSync message").AddTag("errorCode:LCP00502");
    return false;
  }
  Logger(LOG_LEVEL_INFO, "Send DVSList FullSync message");
  return true;
}

void DVSPropConvertor::SendFullSync(bool linkUp) {
  AgentLockGuard lock(AgentLock());
  KcpSendBatch sendBatch(*_builder);
  if (!linkUp) {
    Logger(LOG_LEVEL_INFO, "DVSPropConvertor: datapath link is down");
    _linkUp = false;
    return;
  }
  _linkUp = true;
  if (_portListAwaitsVifReport) {
    Logger(LOG_LEVEL_INFO, "DVSPropConvertor: the port list waits for the end of the datapath's full sync");
  } else {
    SendPortListFullSync();
  }
  SendSwitchList();
  // A datapath that lost its state also lost the switch properties: they are part of every full sync.
  Logger(LOG_LEVEL_INFO, "OnResyncProperty DVS global property");
  SendSwitchProperties(DVS_OP_FULL_SYNC, ActiveHostSwitches());
}

void DVSPropConvertor::SendCcpState(bool up) {
  Logger(LOG_LEVEL_INFO, "DVSPropConvertor::OnDaemonHealthStateUpdate: CCPSessionState changed to %1",
         up ? "up" : "down");
  std::vector<SwitchPropertyBlock> blocks;
  for (const HostSwitchState* sw : ActiveHostSwitches()) {
    blocks.push_back({sw->switchId, EncodeProperties({{SWITCH_PROP_CCP_SESSION, TextValue(up ? "up" : "down")}})});
  }
  _builder->SendSwitchPropertyUpdate(DVS_OP_UPDATE, blocks);
}

void DVSPropConvertor::OnDaemonHealthStateUpdate(uint32_t state, uint32_t daemonId) {
  AgentLockGuard lock(AgentLock());
  if (auto changed = _ccp.OnDaemon(state, daemonId)) SendCcpState(*changed);
}

void DVSPropConvertor::HandleCcpSession(const std::list<TolvarUpdateMsg>& entries, bool fullSync) {
  AgentLockGuard lock(AgentLock());
  std::optional<bool> session;
  if (fullSync) session = false;  // a full sync without the object: no session
  for (const TolvarUpdateMsg& entry : entries) {
    tv::CcpSessionMsg message;
    if (entry.operation == TolvarUpdateMsg::OP_SET && message.ParseFromString(entry.value)) {
      session = message.has_state() && message.state() == CcpSessionState::kSessionUp;
    } else if (entry.operation == TolvarUpdateMsg::OP_CLEAR) {
      session = false;
    }
  }
  if (!session) return;
  if (auto changed = _ccp.OnSession(*session)) SendCcpState(*changed);
}

void DVSPropConvertor::AddOffloadedHostSwitch(const std::string& hostSwitchId) {
  AgentLockGuard lock(AgentLock());
  if (_offloaded.insert(hostSwitchId).second) Logger(LOG_LEVEL_INFO, "Add an offloaded hostswitch %1", hostSwitchId);
}

void DVSPropConvertor::RemoveOffloadedHostSwitch(const std::string& hostSwitchId) {
  AgentLockGuard lock(AgentLock());
  if (_offloaded.erase(hostSwitchId)) Logger(LOG_LEVEL_INFO, "Remove an offloaded hostswitch %1", hostSwitchId);
}

void DVSPropConvertor::HandleSmartnicBacking(const std::list<TolvarUpdateMsg>& entries, bool fullSync) {
  AgentLockGuard lock(AgentLock());
  std::set<std::string> seen;
  for (const TolvarUpdateMsg& entry : entries) {
    tv::HostSwitchSmartnicBackingMsg backing;
    if (!backing.ParseFromString(entry.value) || backing.host_switch_id().empty()) continue;
    if (entry.operation == TolvarUpdateMsg::OP_CLEAR) {
      RemoveOffloadedHostSwitch(backing.host_switch_id());
    } else {
      AddOffloadedHostSwitch(backing.host_switch_id());
      seen.insert(backing.host_switch_id());
    }
  }
  if (!fullSync) return;
  std::vector<std::string> stale;
  for (const std::string& id : _offloaded) {
    if (!seen.count(id)) stale.push_back(id);
  }
  for (const std::string& id : stale) RemoveOffloadedHostSwitch(id);
}

void DVSPropConvertor::HandleTransportNodeConfig(const std::list<TolvarUpdateMsg>& entries, bool fullSync) {
  AgentLockGuard lock(AgentLock());
  Logger(LOG_LEVEL_DEBUG, "DVSPropConvertor: %1 TRANSPORT_NODE_CONFIG entries, fullSync %2", entries.size(), fullSync);
  for (const TolvarUpdateMsg& entry : entries) {
    if (entry.propertyType != P::TN_LABEL || entry.operation != TolvarUpdateMsg::OP_SET) continue;
    tv::TransportNodeConfigMsg node;
    if (!node.ParseFromString(entry.value) || !node.has_label()) continue;
    auto switches = _state.transportNodes.find(entry.objectId);
    if (switches == _state.transportNodes.end()) continue;
    for (const HostSwitchState& sw : switches->second) {
      if (sw.offloaded || _offloaded.count(sw.switchId)) {
        Logger(LOG_LEVEL_INFO, "Do not process label update for offloaded host switch %1", sw.switchId);
        continue;
      }
      _vtepLabels[sw.switchId] = node.label();
    }
  }
}

void DVSPropConvertor::HandleConfigSpan(const std::list<TolvarUpdateMsg>& entries, bool fullSync) {
  Logger(LOG_LEVEL_DEBUG, "DVSPropConvertor: %1 CONFIG_SPAN entries, fullSync %2", entries.size(), fullSync);
}

void DVSPropConvertor::HandleGlobalConfig(const std::list<TolvarUpdateMsg>& entries, bool fullSync) {
  Logger(LOG_LEVEL_DEBUG, "DVSPropConvertor: %1 GLOBAL_CONFIG entries, fullSync %2", entries.size(), fullSync);
}

void DVSPropConvertor::HandleTransportSwitches(const Change& change, PortBatch& batch) {
  auto node = _state.transportNodes.find(change.objectId);
  // Switches the node no longer lists (all of them on a DELETE) lose their switch properties.
  std::vector<SwitchPropertyBlock> resets;
  for (const HostSwitchState& old : change.Old().hostSwitches) {
    bool kept = false;
    if (node != _state.transportNodes.end()) {
      for (const HostSwitchState& sw : node->second) kept = kept || sw.switchId == old.switchId;
    }
    if (kept) continue;
    Logger(LOG_LEVEL_INFO, "Reset global property for tSwitch %1", old.switchId);
    if (!old.opaqueConfigs.empty()) Logger(LOG_LEVEL_INFO, "clean global opaque property for tSwitch %1", old.switchId);
    if (old.offloaded || _offloaded.count(old.switchId)) continue;
    resets.push_back({old.switchId, std::string()});
  }
  _builder->SendSwitchPropertyUpdate(DVS_OP_DELETE, resets);
  if (change.Delete()) return;
  if (node == _state.transportNodes.end()) {
    Logger(LOG_LEVEL_INFO, "TN_TRANSPORT_SWITCHES property doesn't exist!");
    return;
  }
  if (node->second.empty()) {
    Logger(LOG_LEVEL_INFO, "No host switch is configured!");
    return;
  }
  std::vector<const HostSwitchState*> switches;
  for (const HostSwitchState& sw : node->second) {
    for (const auto& [key, value] : sw.opaqueConfigs) {
      if (!IsGlobalOpaqueKey(key)) {
        Logger(LOG_LEVEL_ERROR, "Unsupported Global Opaque Config Key to update").AddTag("errorCode:LCP00513");
      }
    }
    if (sw.mode && *sw.mode == kTransportSwitchSecurityOnly) {
      Logger(LOG_LEVEL_INFO, "Skip transport switch enabled with QOR security: %1", sw.switchId);
      continue;
    }
    if (sw.offloaded || _offloaded.count(sw.switchId)) continue;
    Logger(LOG_LEVEL_INFO, "Set global properties for tSwitch %1", sw.switchId);
    switches.push_back(&sw);
  }
  SendSwitchProperties(DVS_OP_UPDATE, switches);
  for (const std::string& portId : _spfPorts) {
    PortEntry* port = _ports.Find(portId);
    if (!port) continue;
    bool onSwitch = false;
    for (const HostSwitchState* sw : switches) onSwitch = onSwitch || sw->switchId == port->dvsId;
    if (!onSwitch) continue;
    Logger(LOG_LEVEL_INFO, "Set lSwitch properties on SPF port [%1] for host switch update", portId);
    AddLsProperties(*port, batch);
    AddBlockState(*port, batch);
  }
}

void DVSPropConvertor::HandleBridgeNodes(const Change& change, PortBatch&) {
  if (!_flowCache.enabled) return;
  Logger(LOG_LEVEL_INFO, "Receive bridge node configuration");
  std::vector<const HostSwitchState*> switches = ActiveHostSwitches();
  if (switches.empty()) {
    Logger(LOG_LEVEL_ERROR, "Failed to get transport switches");
    return;
  }
  const std::string flowCache = _state.bridgeClusters.empty() ? BoolText(true) : std::string();
  Logger(LOG_LEVEL_DEBUG, "Bridge cluster %1 %2: flow cache %3", UuidOf(change.objectId),
         change.Delete() ? "deleted" : "updated", flowCache.empty() ? "off" : "on");
  std::vector<SwitchPropertyBlock> blocks;
  for (const HostSwitchState* sw : switches) {
    DVSPropertyList properties = {{SWITCH_PROP_FLOW_CACHE, flowCache}};
    if (_flowCache.mcastEnabled) properties.push_back({SWITCH_PROP_FLOW_CACHE_MCAST, flowCache});
    blocks.push_back({sw->switchId, EncodeProperties(properties)});
  }
  _builder->SendSwitchPropertyUpdate(DVS_OP_UPDATE, blocks);
}

std::string DVSPropConvertor::MirrorTables(const PortEntry& port) {
  const LspState* lsp = LspOf(port);
  if (!lsp || lsp->mirrorSessions.empty()) {
    Logger(LOG_LEVEL_DEBUG, "No targets for port mirroring, nothing to do");
    return std::string();
  }
  std::string tables;
  for (const std::string& sessionId : lsp->mirrorSessions) {
    auto session = _state.mirrorSessions.find(sessionId);
    if (session == _state.mirrorSessions.end()) {
      Logger(LOG_LEVEL_INFO, "PMS_LOGICAL_PORT_MIRROR_SESSION property doesn't exist!");
      continue;
    }
    for (uint32_t kind : {P::PMS_LOGICAL_PORT_MIRROR_SESSION, P::PMS_RSPAN_SRC_MIRROR_SESSION,
                          P::PMS_L3SPAN_MIRROR_SESSION, P::PMS_RSPAN_DST_MIRROR_SESSION}) {
      auto found = session->second.find(kind);
      if (found == session->second.end()) continue;
      const tv::MirrorSessionMsg& m = found->second;
      if (kind == P::PMS_RSPAN_DST_MIRROR_SESSION && !Contains(m.destination_ids(), port.lspId)) continue;
      if (kind == P::PMS_L3SPAN_MIRROR_SESSION && port.vifType == kcp::KCP_VIF_TKMNIC) {
        Logger(LOG_LEVEL_DEBUG, "skip tkmnic for L3SPAN");
        continue;
      }
      MirrorTableContent content;
      const std::string identifier = m.name().empty() ? UuidText(sessionId) : m.name();
      content.description = UuidText(sessionId);
      content.snapLength = m.has_snap_length() ? static_cast<int32_t>(m.snap_length()) : -1;
      content.encapVlan = static_cast<uint16_t>(m.encap_vlan());
      content.direction = m.has_direction() ? m.direction() : 3;
      content.greKey = m.gre_key();
      bool logicalSpan = false;
      auto addMembers = [&](const google::protobuf::RepeatedPtrField<tv::UuidMsg>& ids, uint32_t role) {
        for (const tv::UuidMsg& id : ids) {
          const std::string member = id.SerializeAsString();
          if (role == MIRROR_ROLE_SOURCE && kind == P::PMS_LOGICAL_PORT_MIRROR_SESSION && _state.Switch(member)) {
            // A switch as source: a logical local span over the switch's ports that have a MAC.
            logicalSpan = true;
            for (PortEntry* p : ConnectedPortsOf(member)) {
              std::string mac;
              if (!_table || !_table->QueryRuntimeState(p->vifId, P::VIF_MAC, &mac)) {
                Logger(LOG_LEVEL_DEBUG, "LLSPAN: port %1 doesn't has mac.", p->portId);
                continue;
              }
              Logger(LOG_LEVEL_DEBUG, "LLSPAN: logical_lspan-%1, mac-%2, port-%3", identifier, mac.size(), p->portId);
              content.records.push_back({p->vifId, role});
            }
            Logger(LOG_LEVEL_DEBUG, "LLSPAN: switchid:%1, mirrorDispatch:%2", UuidOf(member), content.records.size());
            continue;
          }
          const LspState* memberLsp = _state.Port(member);
          if (memberLsp && memberLsp->attachment && !memberLsp->attachment->vifId.empty()) {
            content.records.push_back({memberLsp->attachment->vifId, role});
          }
        }
      };
      addMembers(m.source_ids(), MIRROR_ROLE_SOURCE);
      addMembers(m.destination_ids(), MIRROR_ROLE_DESTINATION);
      switch (kind) {
        case P::PMS_LOGICAL_PORT_MIRROR_SESSION:
          content.name = (logicalSpan ? "LogicalLocalSpan-" : "LocalPortSpan-") + identifier;
          content.type = logicalSpan ? MIRROR_LOGICAL_LOCAL_SPAN : MIRROR_LOCAL_SPAN;
          content.encapsulation = MIRROR_ENCAP_LOCAL;
          break;
        case P::PMS_RSPAN_SRC_MIRROR_SESSION:
          content.name = "RspanSrc-" + identifier;
          content.type = MIRROR_RSPAN_SOURCE;
          content.encapsulation = MIRROR_ENCAP_VLAN;
          break;
        case P::PMS_RSPAN_DST_MIRROR_SESSION:
          content.name = "RspanDst-" + identifier;
          content.type = MIRROR_RSPAN_DESTINATION;
          content.encapsulation = MIRROR_ENCAP_VLAN;
          break;
        default:
          content.name = "ERSpanSource-" + identifier;
          content.type = MIRROR_RSPAN_SOURCE;
          content.encapsulation = MIRROR_ENCAP_GRE;
          content.destination = m.destination_ip();
          break;
      }
      tables += BuildMirrorTable(content);
    }
  }
  return tables;
}

void DVSPropConvertor::RefreshMirrorsNaming(const std::string& lspId, PortBatch& batch) {
  for (const auto& [sessionId, kinds] : _state.mirrorSessions) {
    bool names = false;
    for (const auto& [kind, m] : kinds)
      names = names || Contains(m.source_ids(), lspId) || Contains(m.destination_ids(), lspId);
    if (!names) continue;
    auto targets = _state.mirrorTargets.find(sessionId);
    if (targets == _state.mirrorTargets.end()) continue;
    for (const std::string& target : targets->second) {
      if (PortEntry* port = _ports.FindByLsp(target)) AddMirrorProperty(*port, batch);
    }
  }
}

void DVSPropConvertor::HandleMirrorSession(const Change& change, PortBatch& batch) {
  if (!change.Delete() && change.Value().empty()) {
    const char* what = change.property == P::PMS_RSPAN_SRC_MIRROR_SESSION   ? "rspan src port mirroring"
                       : change.property == P::PMS_RSPAN_DST_MIRROR_SESSION ? "rspan dst port mirroring"
                       : change.property == P::PMS_L3SPAN_MIRROR_SESSION    ? "l3span port mirroring"
                                                                            : "port mirroring";
    Logger(LOG_LEVEL_ERROR, (std::string("Property value cannot be empty for ") + what).c_str())
        .AddTag("errorCode:LCP00001");
    return;
  }
  Logger(LOG_LEVEL_INFO,
         change.property == P::PMS_RSPAN_SRC_MIRROR_SESSION   ? "Got RMirror src logical port mirror session update"
         : change.property == P::PMS_RSPAN_DST_MIRROR_SESSION ? "Got RMirror dst logical port mirror session update"
         : change.property == P::PMS_L3SPAN_MIRROR_SESSION    ? "Got L3Span mirror session update"
                                                              : "Got logical port mirror session update");
  auto targets = _state.mirrorTargets.find(change.objectId);
  if (targets == _state.mirrorTargets.end()) return;
  for (const std::string& lspId : targets->second) {
    if (PortEntry* port = _ports.FindByLsp(lspId)) AddMirrorProperty(*port, batch);
  }
}

void DVSPropConvertor::HandleUplinkMirrorSession(const Change& change, PortBatch&) {
  Logger(LOG_LEVEL_INFO, "Got uplink mirror session update: %1", UuidOf(change.objectId));
  RebuildUplinkSessions();
}

void DVSPropConvertor::RebuildUplinkSessions() {
  std::map<std::string, std::string> now;     // session -> uplink port
  std::map<std::string, std::string> tables;  // uplink port -> key 81
  for (const auto& [sessionId, kinds] : _state.mirrorSessions) {
    auto found = kinds.find(P::PMS_UPLINK_PORT_MIRROR_SESSION);
    if (found == kinds.end()) continue;
    const tv::MirrorSessionMsg& m = found->second;
    const std::string sessionText = UuidText(sessionId);
    for (const std::string& pnic : m.source_pnics()) {
      const kcp::UplinkRecord* uplink = nullptr;
      for (const auto& [portId, record] : _uplinks) {
        if (record.alias == pnic || record.clientName == pnic) uplink = &record;
      }
      if (!uplink) {
        Logger(LOG_LEVEL_INFO, "Can't find mapped pnic for host pnic %1", pnic);
        Logger(LOG_LEVEL_INFO, "Did not find source pnic corresponding vswitch, SessionID: %1", sessionText);
        continue;
      }
      bool active = false;
      for (const HostSwitchState* sw : ActiveHostSwitches()) active = active || sw->switchId == uplink->switchId;
      if (!active) {
        Logger(LOG_LEVEL_INFO, "Did not find uplink corresponding vswitch, SessionID: %1", sessionText);
        continue;
      }
      MirrorTableContent content;
      content.name = "LocalUplinkSpan-" + (m.name().empty() ? sessionText : m.name());
      content.description = sessionText;
      content.snapLength = m.has_snap_length() ? static_cast<int32_t>(m.snap_length()) : -1;
      content.direction = m.has_direction() ? m.direction() : 3;
      content.records.push_back({uplink->portId, MIRROR_ROLE_SOURCE});
      for (const tv::UuidMsg& id : m.destination_ids()) {
        const LspState* lsp = _state.Port(id.SerializeAsString());
        if (lsp && lsp->attachment) content.records.push_back({lsp->attachment->vifId, MIRROR_ROLE_DESTINATION});
      }
      Logger(LOG_LEVEL_INFO, "Add uplink session %1 (uplink %2, change %3)", sessionText, uplink->portId,
             _uplinkSessions.count(sessionId) ? "update" : "add");
      now[sessionId] = uplink->portId;
      tables[uplink->portId] += BuildMirrorTable(content);
      break;
    }
  }
  DVSEntityUpdate update;
  for (const auto& [sessionId, portId] : _uplinkSessions) {
    if (now.count(sessionId)) continue;
    Logger(LOG_LEVEL_INFO, "Delete uplink session %1", UuidOf(sessionId));
    if (!tables.count(portId)) update.Add(portId, PORT_PROP_MIRROR_SESSIONS, std::string());
  }
  for (const auto& [portId, value] : tables) update.Add(portId, PORT_PROP_MIRROR_SESSIONS, value);
  _uplinkSessions = std::move(now);
  DropOversizedValues(update);
  if (!update.Empty()) _builder->SendEntityUpdate(update);
}

void DVSPropConvertor::UplinkFullSync(const std::vector<UplinkInfo>& uplinks) {
  AgentLockGuard lock(AgentLock());
  KcpSendBatch sendBatch(*_builder);
  for (const UplinkInfo& info : uplinks) {
    const kcp::UplinkRecord& u = info.uplink;
    if (info.remove) {
      Logger(LOG_LEVEL_INFO, "Delete uplink %1 (alias %2 port %3 switch %4) during full sync", u.clientName, u.alias,
             u.portId, u.switchId);
      _uplinks.erase(u.portId);
    } else {
      Logger(LOG_LEVEL_INFO, "Add uplink %1 (alias %2 port %3 switch %4) during full sync", u.clientName, u.alias,
             u.portId, u.switchId);
      _uplinks[u.portId] = u;
    }
  }
  RebuildUplinkSessions();
}

std::optional<std::string> DVSPropConvertor::LatencyValue(const qor::upm::ProfileUpdate& update) const {
  if (update.operation == qor::upm::ProfileUpdate::kDelete || !update.profile.has_latency() ||
      !update.profile.latency().enabled()) {
    return std::nullopt;
  }
  return TextValue(std::to_string(update.profile.latency().value()));
}

bool DVSPropConvertor::SkipLatency(const PortEntry& port) const {
  if (port.portId.rfind("vx-", 0) == 0) {
    Logger(LOG_LEVEL_DEBUG, "Skip vessix port %1", port.portId);
    return true;
  }
  if (port.vifType == kcp::KCP_VIF_TKMNIC) {
    Logger(LOG_LEVEL_DEBUG, "Skip tkmnic VIF %1", port.vifId);
    return true;
  }
  if (port.vifType == kcp::KCP_VIF_DVPGPORT) {
    Logger(LOG_LEVEL_DEBUG, "Skip DVPort %1 for latency", port.portId);
    return true;
  }
  const LspState* lsp = LspOf(port);
  if (lsp && NamesServiceVm(lsp->extraConfigs)) {
    Logger(LOG_LEVEL_DEBUG, "Skip GVM/SVM port %1", port.portId);
    return true;
  }
  return false;
}

void DVSPropConvertor::RecomputeIpDiscovery(const std::string& lspId, PortBatch& batch) {
  auto it = _state.ports.find(lspId);
  if (it == _state.ports.end() || !it->second.ipDiscoverySettings) return;
  LspState& lsp = it->second;
  tv::IpDiscoveryConfigMsg effective;
  int source = IPDISC_SOURCE_NONE;
  if (!SelectEffectiveProfile(_table, _profiles.get(), lspId, IPDISC_MODE_PORT, &*lsp.ipDiscoverySettings, &effective,
                              &source)) {
    return;
  }
  DVSPropertyList properties = BuildIpDiscoveryProperties(effective);
  if (lsp.ipDiscovery && *lsp.ipDiscovery == properties) return;
  lsp.ipDiscovery = std::move(properties);
  if (PortEntry* port = _ports.FindByLsp(lspId)) batch.For(*port).Add(port->vifId, *lsp.ipDiscovery);
}

void DVSPropConvertor::UPMLogicalSwitchPortCallback(const std::vector<qor::upm::ProfileUpdate>& updates,
                                                    bool fullSync) {
  AgentLockGuard lock(AgentLock());
  Logger(LOG_LEVEL_INFO, "DvsPropC UPM logical switch port callback, isFullSync:%1", fullSync);
  PortBatch batch;
  std::set<std::string> done;
  for (const qor::upm::ProfileUpdate& update : updates) {
    if (update.profileType != kIpDiscoveryProfileType ||
        update.entityKind != qor::upm::ProfileUpdate::kLogicalSwitchPort || !done.insert(update.entityId).second) {
      continue;
    }
    RecomputeIpDiscovery(update.entityId, batch);
  }
  if (fullSync) {
    // Ports absent from a full list have no profile any more.
    for (const auto& [lspId, lsp] : _state.ports) {
      if (!done.count(lspId) && lsp.ipDiscoverySettings && lsp.ipDiscoverySettings->override_profile()) {
        RecomputeIpDiscovery(lspId, batch);
      }
    }
  }
  if (!batch.Empty()) Send(batch);
}

void DVSPropConvertor::SetPortLatency(const std::string& lspId, const std::optional<std::string>& value,
                                      PortBatch& batch) {
  if (!StoreLatency(_portLatencies, lspId, value)) return;
  PortEntry* port = _ports.FindByLsp(lspId);
  if (!port || SkipLatency(*port)) return;
  Logger(LOG_LEVEL_INFO, "Update latency for LSP [%1]", UuidOf(lspId));
  batch.For(*port).Add(port->vifId, PORT_PROP_LATENCY, value.value_or(std::string()));
}

void DVSPropConvertor::SetNodeLatency(const std::string& nodeId, const std::optional<std::string>& value) {
  if (!StoreLatency(_nodeLatencies, nodeId, value)) return;
  // A node whose switches are not known yet gets the value with their switch properties.
  auto node = _state.transportNodes.find(nodeId);
  if (node == _state.transportNodes.end()) return;
  std::vector<SwitchPropertyBlock> blocks;
  for (const HostSwitchState& sw : node->second) {
    if (Active(sw)) blocks.push_back({sw.switchId, EncodeProperties({{SWITCH_PROP_LATENCY, value.value_or("")}})});
  }
  if (blocks.empty()) return;
  Logger(LOG_LEVEL_INFO, "Update latency for transport node [%1]", UuidOf(nodeId));
  if (!_builder->SendSwitchPropertyUpdate(DVS_OP_UPDATE, blocks)) {
    Logger(LOG_LEVEL_ERROR, value ? "Failed to send latency property update for transport node"
                                  : "Failed to send latency property clear for transport node");
  }
}

void DVSPropConvertor::UPMMonitorCallback(const std::vector<qor::upm::ProfileUpdate>& updates, bool fullSync) {
  using qor::upm::ProfileUpdate;
  AgentLockGuard lock(AgentLock());
  Logger(LOG_LEVEL_INFO, "DvsPropC UPM monitor callback, isFullSync:%1", fullSync);
  PortBatch batch;
  std::set<std::string> seenPorts;
  std::set<std::string> seenNodes;
  for (const ProfileUpdate& update : updates) {
    if (update.profileType != kLatencyProfileType) continue;
    if (update.entityKind == ProfileUpdate::kTransportNode) {
      seenNodes.insert(update.entityId);
      SetNodeLatency(update.entityId, LatencyValue(update));
    } else {
      seenPorts.insert(update.entityId);
      SetPortLatency(update.entityId, LatencyValue(update), batch);
    }
  }
  if (fullSync) {
    // What a full list leaves out has no latency profile any more.
    std::vector<std::string> stale;
    for (const auto& [lspId, value] : _portLatencies) {
      if (!seenPorts.count(lspId)) stale.push_back(lspId);
    }
    for (const std::string& lspId : stale) SetPortLatency(lspId, std::nullopt, batch);
    stale.clear();
    for (const auto& [nodeId, value] : _nodeLatencies) {
      if (!seenNodes.count(nodeId)) stale.push_back(nodeId);
    }
    for (const std::string& nodeId : stale) SetNodeLatency(nodeId, std::nullopt);
  }
  if (!batch.Empty()) Send(batch);
}

}  // namespace VevUroro
