#include "apps/config/DVSPropConvertor.h"

#include <algorithm>
#include <unordered_set>

#include "apps/config/IpDiscoverySettings.h"
#include "apps/config/KCPMsgConvertor.h"
#include "apps/config/MacManagementValue.h"
#include "apps/config/QosConversion.h"
#include "apps/config/SwitchSecurityTable.h"
#include "core/AgentLock.h"
#include "core/Logger.h"
#include "core/WorkGroup.h"
#include "intake/TypeNames.h"
#include "platform/tolvar/TolvarSchema.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace VevUroro {

namespace tv = zantix::qor::tolvar;
using P = tv::Property;

DVSPropConvertor::PortBatch::PortBatch() {
  ports.kind = DVS_ENTITY_PORT;
  tkmnics.kind = DVS_ENTITY_TKMNIC;
}

DVSEntityUpdate& DVSPropConvertor::PortBatch::For(const PortEntry& port) {
  return port.vifType == kcp::KCP_VIF_TKMNIC ? tkmnics : ports;
}

void DVSPropConvertor::PortBatch::SetBlocked(PortEntry& port, bool value) {
  For(port).Add(port.vifId, PORT_PROP_BLOCKED, BoolText(value));
  blocked.emplace_back(&port, value);
}

DVSPropConvertor::DVSPropConvertor(IStateCacheConfigTable* table, boost::intrusive_ptr<DataplaneLink> link,
                                   const ConfigTree& subtree, std::shared_ptr<qor::upm::IProfileService> profiles)
    : DVSPropConvertor(Collaborators{table, new KCPMsgConvertor(std::move(link)), std::move(profiles), nullptr},
                       subtree) {}

DVSPropConvertor::DVSPropConvertor(Collaborators c, const ConfigTree& subtree)
    : _table(c.table),
      _builder(std::move(c.builder)),
      _profiles(std::move(c.profiles)),
      _timerFactory(c.timers ? std::move(c.timers) : AsioTimerFactory(WorkGroup::IoContextA())),
      _flowCache(FlowCacheSettings::FromConfig(subtree)),
      _cifs(_builder) {
  FillHandlerTable();
  _resyncTimer = _timerFactory([target = _timerTarget] { target->Call(&DVSPropConvertor::OnResyncTimer); });
  _hopliftTimer = _timerFactory([target = _timerTarget] { target->Call(&DVSPropConvertor::OnHopliftSyncTimer); });
}

DVSPropConvertor::~DVSPropConvertor() {
  Logger(LOG_LEVEL_INFO, "DVSPropConvertor destructor");
  // Waits for a timer callback in flight (not under the agent lock, which that callback takes).
  _timerTarget->Detach();
  _resyncTimer.reset();
  _hopliftTimer.reset();
}

void DVSPropConvertor::TimerTarget::Call(void (DVSPropConvertor::*callback)()) {
  std::lock_guard<std::mutex> lock(mutex);
  if (converter) (converter->*callback)();
}

void DVSPropConvertor::TimerTarget::Detach() {
  std::lock_guard<std::mutex> lock(mutex);
  converter = nullptr;
}

void DVSPropConvertor::FillHandlerTable() {
  for (uint32_t p : {P::LS_VNI, P::LS_REPLICATION_MODE, P::LS_VLAN, P::LS_VLAN_TRUNK, P::LS_ADMIN_STATE_UP,
                     P::LS_UPLINK_TEAMING_POLICY, P::LS_EXTRA_CONFIGS}) {
    _handlers[p] = &DVSPropConvertor::HandleLsProperty;
  }
  _handlers[P::LS_ATTACHMENT] = &DVSPropConvertor::HandleLsAttachment;
  _handlers[P::LS_TYPE] = &DVSPropConvertor::HandleLsType;
  _handlers[P::LS_SP_SUBTYPE] = &DVSPropConvertor::HandleLsSubType;
  _handlers[P::LSP_SWITCH_ID] = &DVSPropConvertor::HandleLspSwitchId;
  _handlers[P::LSP_ATTACHMENT] = &DVSPropConvertor::HandleLspAttachment;
  _handlers[P::LSP_ADDRESS_BINDINGS] = &DVSPropConvertor::HandleLspAddressBindings;
  _handlers[P::TN_TRANSPORT_SWITCHES] = &DVSPropConvertor::HandleTransportSwitches;
  _handlers[P::LSP_IP_DISCOVERY] = &DVSPropConvertor::HandleLspIpDiscovery;
  _handlers[P::LSP_SWITCH_SECURITY] = &DVSPropConvertor::HandleLspSwitchSecurity;
  _handlers[P::LSP_QOS] = &DVSPropConvertor::HandleLspQos;
  _handlers[P::LSP_MIRROR_TARGETS] = &DVSPropConvertor::HandleLspMirrorTargets;
  _handlers[P::LSP_ADMIN_STATE_UP] = &DVSPropConvertor::HandleLspAdminState;
  _handlers[P::LSP_MAC_MANAGEMENT] = &DVSPropConvertor::HandleLspMacManagement;
  _handlers[P::LSP_EXTRA_CONFIGS] = &DVSPropConvertor::HandleLspExtraConfigs;
  _handlers[P::LSP_IGNORE_BINDINGS] = &DVSPropConvertor::HandleLspIgnoreBindings;
  // Whether a port is a hypervisor kernel NIC decides whether it takes the service-insertion keys.
  _handlers[P::LSP_IS_HYD_TKM] = &DVSPropConvertor::HandleLspHydTkm;
  for (uint32_t p : {P::PMS_LOGICAL_PORT_MIRROR_SESSION, P::PMS_RSPAN_SRC_MIRROR_SESSION,
                     P::PMS_RSPAN_DST_MIRROR_SESSION, P::PMS_L3SPAN_MIRROR_SESSION}) {
    _handlers[p] = &DVSPropConvertor::HandleMirrorSession;
  }
  _handlers[P::PMS_UPLINK_PORT_MIRROR_SESSION] = &DVSPropConvertor::HandleUplinkMirrorSession;
  _handlers[P::BRIDGE_NODES] = &DVSPropConvertor::HandleBridgeNodes;
}

void DVSPropConvertor::Start() {
  // Outside the agent lock: a device may take its whole bounded wait to answer, and nothing here touches the
  // converter's state.
  _flowCache.ApplyToKernel();
  AgentLockGuard lock(AgentLock());
  if (_profiles) {
    qor::RefPtr<DVSPropConvertor> self(this);
    _profileCallbacks.push_back(_profiles->RegisterCallback(
        kIpDiscoveryProfileType,
        [self](const auto& updates, bool fullSync) { self->UPMLogicalSwitchPortCallback(updates, fullSync); }));
    _profileCallbacks.push_back(_profiles->RegisterCallback(
        kLatencyProfileType,
        [self](const auto& updates, bool fullSync) { self->UPMMonitorCallback(updates, fullSync); }));
  }
  _started = true;
  _resyncTimer->Start(kResyncIntervalUs);
}

void DVSPropConvertor::Stop() {
  std::shared_ptr<qor::upm::IProfileService> profiles;
  std::vector<uint64_t> callbacks;
  {
    AgentLockGuard lock(AgentLock());
    Logger(LOG_LEVEL_INFO, "DVSPropConvertor stop");
    _started = false;
    _resyncTimer->Cancel();
    _hopliftTimer->Cancel();
    profiles = std::move(_profiles);
    callbacks = std::move(_profileCallbacks);
  }
  // Outside the agent lock: a callback in flight holds it while the service waits for that callback to return.
  if (profiles) {
    for (uint64_t id : callbacks) profiles->UnregisterCallback(id);
  }
}

DVSPropConvertor::Change DVSPropConvertor::Prepare(const StateCacheChange& source) {
  Change change(source);
  const uint32_t objectType = change.objectType;
  const std::string& objectId = change.objectId;
  const uint32_t property = change.property;
  const int32_t operation = change.operation;
  const std::string& value = change.Value();
  const bool remove = change.Delete();
  if (operation != TolvarUpdateMsg::OP_SET && !remove) return change;  // the handler reports it
  // What the view held before, only where the property's handler (or a whole-object removal) looks at it, and
  // only when it held something (Old() reads as empty otherwise): a full sync into an empty view copies nothing.
  const bool entity = property == 0;
  const bool lspBeforeRead =
      property == P::LSP_EXTRA_CONFIGS || property == P::LSP_SWITCH_ID || property == P::LSP_ATTACHMENT;
  if (objectType == tv::LOG_SWITCH_PORT_CONFIG) {
    if (const LspState* lsp = lspBeforeRead ? _state.Port(objectId) : nullptr) {
      if (property == P::LSP_EXTRA_CONFIGS && !lsp->extraConfigs.empty()) {
        change.MutableOld().extraConfigs = lsp->extraConfigs;
      }
      if (property == P::LSP_SWITCH_ID && !lsp->switchId.empty()) change.MutableOld().switchId = lsp->switchId;
      if (property == P::LSP_ATTACHMENT && lsp->attachment) change.MutableOld().attachment = lsp->attachment;
    }
  } else if (objectType == tv::LOG_SWITCH_CONFIG) {
    if (const LsState* ls = _state.Switch(objectId)) {
      if (property == P::LS_EXTRA_CONFIGS && !ls->extraConfigs.empty()) {
        change.MutableOld().extraConfigs = ls->extraConfigs;
      }
      if ((entity || property == P::LS_ATTACHMENT) && ls->attachment) change.MutableOld().lsAttachment = ls->attachment;
      if (property == P::LS_TYPE && ls->type) change.MutableOld().lsType = ls->type;
    }
  } else if (objectType == tv::TRANSPORT_NODE_CONFIG) {
    auto it = _state.transportNodes.find(objectId);
    if (it != _state.transportNodes.end() && !it->second.empty()) change.MutableOld().hostSwitches = it->second;
  }
  const bool portProperty = objectType == tv::LOG_SWITCH_PORT_CONFIG && property != 0;
  DesiredSwitchState::AppliedPortProperty applied;
  change.converted = _state.ApplyRaw(objectType, objectId, property, remove, value, portProperty ? &applied : nullptr);
  if (!change.converted) {
    Logger(LOG_LEVEL_ERROR, "DVSPropConvertor: cannot parse %1 of %2 %3", PropertyTypeToString(property),
           ObjTypeToString(objectType), UuidOf(objectId))
        .AddTag("errorCode:LCP00001");
    return change;
  }
  if (applied.port) {
    change.lsp = applied.port;
    change.lspGeneration = _state.portErasures;
    ConvertLspProperty(change, *applied.port, applied.value);
  }
  return change;
}

const LspState* DVSPropConvertor::PortOf(const Change& change) const {
  if (change.lsp && change.lspGeneration == _state.portErasures) return change.lsp;
  return _state.Port(change.objectId);
}

// Port properties converted once per change; a value that does not validate leaves the previous one.
void DVSPropConvertor::ConvertLspProperty(Change& change, LspState& lsp, const tv::LogSwitchPortConfigMsg& m) {
  const bool remove = change.Delete();
  switch (change.property) {
    case P::LSP_IP_DISCOVERY:
      if (remove || !m.has_ip_discovery()) {
        lsp.ipDiscoverySettings.reset();
        lsp.ipDiscovery.reset();
      } else {
        lsp.ipDiscoverySettings = m.ip_discovery();
        tv::IpDiscoveryConfigMsg effective;
        int source = IPDISC_SOURCE_NONE;
        if (SelectEffectiveProfile(_table, _profiles.get(), change.objectId, IPDISC_MODE_PORT, &m.ip_discovery(),
                                   &effective, &source)) {
          lsp.ipDiscovery = BuildIpDiscoveryProperties(effective);
        }
      }
      return;
    case P::LSP_SWITCH_SECURITY:
      if (remove) {
        lsp.securityTable.reset();
      } else if (m.has_switch_security()) {
        if (auto table = BuildSwitchSecurityTable(m.switch_security(), UuidText(change.objectId))) {
          lsp.securityTable = std::move(*table);
        } else {
          change.converted = false;
        }
      }
      return;
    case P::LSP_QOS:
      if (remove) {
        lsp.qos.reset();
        lsp.qosShaped = false;
        return;
      }
      if (!m.has_qos() || change.Value().empty()) {
        Logger(LOG_LEVEL_ERROR, "QoS Config is required for this request").AddTag("errorCode:LCP00001");
        change.converted = false;
        return;
      }
      if (auto qos = ConvertQos(m.qos())) {
        lsp.qos = std::move(qos->properties);
        lsp.qosShaped = qos->shaped;
      } else {
        change.converted = false;
      }
      return;
    case P::LSP_MAC_MANAGEMENT:
      if (remove) {
        lsp.macManagement.reset();
      } else if (auto value = BuildMacManagement(m.mac_management())) {
        lsp.macManagement = std::move(*value);
      } else {
        change.converted = false;
      }
      return;
    case P::LSP_IGNORE_BINDINGS:
      if (remove || !m.has_ignore_bindings()) {
        lsp.ignoreBindings.reset();
      } else {
        lsp.ignoreBindings = BuildIgnoreBindings(m.ignore_bindings());
      }
      return;
    default:
      return;
  }
}

void DVSPropConvertor::ProcessConfigChanges(const StateCacheChangeList& changes) {
  Process(changes, nullptr);
}

void DVSPropConvertor::TakeConfigChanges(StateCacheChangeList& changes) {
  Process(changes, &changes);
}

void DVSPropConvertor::Process(const StateCacheChangeList& changes, StateCacheChangeList* releasable) {
  AgentLockGuard lock(AgentLock());
  // The batch's messages go to the link together, not each with its own wake-up of the link's send loop.
  KcpSendBatch sendBatch(*_builder);
  // Logical switches as they were before the batch: a switch exists while it has a property.
  std::map<std::string, std::optional<std::map<std::string, std::string>>> switchesBefore;
  for (const StateCacheChange& c : changes) {
    if (c.entry.objectType != tv::LOG_SWITCH_CONFIG || switchesBefore.count(c.entry.objectId)) continue;
    const LsState* ls = _state.Switch(c.entry.objectId);
    switchesBefore[c.entry.objectId] = ls ? std::optional(ls->extraConfigs) : std::nullopt;
  }
  std::vector<std::string> lspIds;
  std::vector<std::string> switchIds;
  {
    const uint64_t erasuresAtStart = _state.portErasures;
    std::vector<Prepared> prepared;
    prepared.reserve(changes.size());
    std::vector<std::pair<size_t, std::unique_ptr<Change::Before>>> befores;  // by change index, in order
    auto release = releasable ? releasable->begin() : StateCacheChangeList::iterator();
    for (const StateCacheChange& c : changes) {
      Change change = Prepare(c);
      if (change.before) befores.emplace_back(prepared.size(), std::move(change.before));
      prepared.push_back({change.lsp, static_cast<uint32_t>(change.lsp ? change.lspGeneration - erasuresAtStart : 0),
                          change.converted});
      if (releasable) {
        // Only the mirror session handler reads a value after the first pass.
        if (release->entry.objectType != tv::PORT_MIRROR_SESSION) std::string().swap(release->entry.value);
        ++release;
      }
    }
    std::unordered_set<std::string> collected;
    auto collect = [&collected](std::vector<std::string>& list, const std::string& id) {
      if (collected.insert(id).second) list.push_back(id);
    };
    auto next = prepared.begin();
    auto before = befores.begin();
    for (const StateCacheChange& c : changes) {
      Change change(c);
      change.lsp = next->lsp;
      change.lspGeneration = erasuresAtStart + next->lspErasures;
      change.converted = next->converted;
      // What the view held before is read by this change's handler only: it goes with the change.
      if (before != befores.end() && before->first == static_cast<size_t>(next - prepared.begin())) {
        change.before = std::move((before++)->second);
      }
      ++next;
      Emit(change);
      if (change.objectType == tv::LOG_SWITCH_PORT_CONFIG && change.property == P::LSP_ADMIN_STATE_UP) {
        collect(lspIds, change.objectId);
      } else if (change.objectType == tv::LOG_SWITCH_CONFIG &&
                 (change.property == P::LS_VNI || change.property == P::LS_VLAN ||
                  change.property == P::LS_ADMIN_STATE_UP || change.property == P::LS_VLAN_TRUNK)) {
        collect(switchIds, change.objectId);
      }
    }
  }  // the batch's prepared changes go before the post-batch step builds the messages of whole ports
  // A switch that appeared gives its ports its whole property set; one that is gone takes its properties back.
  std::vector<std::string> created;
  PortBatch gone;
  for (const auto& [id, before] : switchesBefore) {
    const bool now = _state.Switch(id) != nullptr;
    if (!before && now) created.push_back(id);
    if (before && !now) ClearLsProperties(id, *before, gone);
  }
  if (!gone.Empty()) Send(gone);
  ProcessPostBatch(lspIds, switchIds);
  SendNewSwitchProperties(created);
}

void DVSPropConvertor::ProcessConfigPropertyUpdate(uint32_t objectType, const std::string& objectId,
                                                   const std::string& value, int32_t operation, uint32_t propertyType) {
  StateCacheChange change;
  change.entry.objectType = static_cast<int32_t>(objectType);
  change.entry.objectId = objectId;
  change.entry.propertyType = static_cast<int32_t>(propertyType);
  change.entry.value = value;
  change.entry.operation = operation;
  ProcessConfigChanges({change});
}

void DVSPropConvertor::ProcessConfigEntityUpdate(uint32_t objectType, const std::string& objectId, int32_t operation) {
  ProcessConfigPropertyUpdate(objectType, objectId, std::string(), operation, 0);
}

namespace {

// LSP property types whose handlers give port properties of the LSP's own connected port.
bool IsPortPropertyType(uint32_t property) {
  switch (property) {
    case P::LSP_IP_DISCOVERY:
    case P::LSP_SWITCH_SECURITY:
    case P::LSP_QOS:
    case P::LSP_MIRROR_TARGETS:
    case P::LSP_ADMIN_STATE_UP:
    case P::LSP_MAC_MANAGEMENT:
    case P::LSP_EXTRA_CONFIGS:
    case P::LSP_IGNORE_BINDINGS:
      return true;
    default:
      return false;
  }
}

// Whether every entity of `update` lists keys and every key is cleared (an entity without keys, in a DELETE, would
// be removed whole).
bool OnlyClears(const DVSEntityUpdate& update) {
  for (const auto& [entity, properties] : update.entities) {
    if (properties.empty()) return false;
    for (const DVSProperty& property : properties) {
      if (!property.value.empty()) return false;
    }
  }
  return true;
}

}  // namespace

void DVSPropConvertor::Emit(const Change& change) {
  if (change.property == 0) {
    EmitEntity(change);
    return;
  }
  if (change.objectType == tv::LOG_SWITCH_PORT_CONFIG && change.Delete() && !_ports.FindByLsp(change.objectId)) {
    QOR_LOG(LOG_LEVEL_DEBUG, "Port [%1] has been removed during VIF disconnecting", UuidOf(change.objectId));
    // Container interfaces are kept whether or not their port is connected.
    if (change.property != P::LSP_ATTACHMENT && change.property != P::LSP_ADDRESS_BINDINGS) {
      return;
    }
  }
  auto handler = _handlers.find(change.property);
  if (handler == _handlers.end()) {
    Logger(LOG_LEVEL_INFO, "DvsPropConvertor received unknown update message property type: %1",
           PropertyTypeToString(change.property));
    return;
  }
  if (!change.converted) return;
  PortBatch batch;
  (this->*handler->second)(change, batch);
  if (batch.Empty()) {
    if (change.objectType == tv::LOG_SWITCH_PORT_CONFIG && IsPortPropertyType(change.property) &&
        !_ports.FindByLsp(change.objectId)) {
      const LspState* lsp = PortOf(change);
      QOR_LOG(LOG_LEVEL_DEBUG, "The port info %1(VIF %2) hasn't been connected", UuidOf(change.objectId),
              lsp && lsp->attachment ? lsp->attachment->vifId : std::string());
    }
    return;
  }
  // A database delete maps to the datapath's DELETE, which removes the keys it lists, when all it does is clear
  // keys. One that also sets keys (the block state, the no-VLAN value, a switch's extra-config value that takes
  // over) stays an UPDATE, in which empty values clear: as a DELETE, the keys it sets would be removed.
  if (change.Delete()) {
    for (DVSEntityUpdate* update : {&batch.ports, &batch.tkmnics}) {
      if (OnlyClears(*update)) update->operation = DVS_OP_DELETE;
    }
  }
  if (Send(batch)) {
    QOR_LOG(LOG_LEVEL_DEBUG, "DvsPropConvertor sent msg to data plane, object %1 property %2", UuidOf(change.objectId),
            PropertyTypeToString(change.property));
  } else if (change.property == P::LSP_EXTRA_CONFIGS) {
    Logger(LOG_LEVEL_ERROR, "Failed to send extra config update %1 to LSP %2", change.Delete() ? "DELETE" : "UPDATE",
           UuidOf(change.objectId));
  }
}

void DVSPropConvertor::EmitEntity(const Change& change) {
  const std::string text = qor::tolvar::ObjectIdText(change.objectType, change.objectId);
  if (!change.Delete()) {
    if (change.objectType == tv::LOG_SWITCH_PORT_CONFIG && !_ports.FindByLsp(change.objectId)) {
      Logger(LOG_LEVEL_DEBUG, "Ignore entity [%1] update, type: %2", text, ObjTypeToString(change.objectType));
    }
    return;
  }
  PortBatch batch;
  switch (change.objectType) {
    case tv::LOG_SWITCH_CONFIG: {
      Logger(LOG_LEVEL_INFO, "Delete logical switch [%1]", text);
      if (change.Old().lsAttachment) {
        _lsAttachments.Remove(change.objectId, change.Old().lsAttachment->parent_switch_id().SerializeAsString());
      }
      break;
    }
    case tv::LOG_SWITCH_PORT_CONFIG: {
      PortEntry* port = _ports.FindByLsp(change.objectId);
      if (port) _ports.Bind(*port, std::string());
      std::string parent = _cifs.OnLspDeleted(change.objectId);
      if (!parent.empty()) {
        if (PortEntry* parentPort = _ports.FindByVif(parent)) _cifs.SendContainers(parent, parentPort->portId);
      }
      // Mirror sessions that named the port as source or destination no longer list it.
      RefreshMirrorsNaming(change.objectId, batch);
      break;
    }
    case tv::TRANSPORT_NODE_CONFIG:
    case tv::BRIDGE_CLUSTER_CONFIG: {
      // The object's properties went with it: their handlers undo what they set.
      Change removal = change;
      removal.property = change.objectType == tv::TRANSPORT_NODE_CONFIG ? P::TN_TRANSPORT_SWITCHES : P::BRIDGE_NODES;
      (this->*_handlers.at(removal.property))(removal, batch);
      break;
    }
    case tv::PORT_MIRROR_SESSION: {
      Change removal = change;
      removal.property = P::PMS_LOGICAL_PORT_MIRROR_SESSION;
      HandleMirrorSession(removal, batch);
      RebuildUplinkSessions();
      break;
    }
    default:
      Logger(LOG_LEVEL_DEBUG, "Ignore entity [%1] delete operation", text);
      return;
  }
  if (!batch.Empty()) Send(batch);
}

void DVSPropConvertor::DropOversizedValues(DVSEntityUpdate& update) {
  const size_t most = KCPMsgConvertor::MaxPropertyValue(update.kind);
  for (auto& [entity, properties] : update.entities) {
    std::erase_if(properties, [&, &entity = entity](const DVSProperty& property) {
      if (property.value.size() <= most) return false;
      Logger(LOG_LEVEL_ERROR, "Property %1 of %2 is %3 bytes, more than the %4 one message carries: not sent",
             property.key, entity, property.value.size(), most)
          .AddTag("errorCode:LCP00001");
      return true;
    });
  }
}

bool DVSPropConvertor::Send(PortBatch& batch) {
  DropOversizedValues(batch.ports);
  DropOversizedValues(batch.tkmnics);
  bool portsSent = batch.ports.Empty() || _builder->SendEntityUpdate(batch.ports);
  bool tkmnicsSent = batch.tkmnics.Empty() || _builder->SendEntityUpdate(batch.tkmnics);
  // Remember what the datapath now holds for the block rule, so that later steps send only changes.
  for (const auto& [port, value] : batch.blocked) {
    if (port->vifType == kcp::KCP_VIF_TKMNIC ? tkmnicsSent : portsSent) port->blocked = value;
  }
  return portsSent && tkmnicsSent;
}

void DVSPropConvertor::ProcessPostBatch(const std::vector<std::string>& lspIds,
                                        const std::vector<std::string>& switchIds) {
  AgentLockGuard lock(AgentLock());
  PortBatch batch;
  auto apply = [&](PortEntry& port) {
    if (port.vifType == kcp::KCP_VIF_DVPGPORT) return;
    bool blocked = Blocked(port);
    if (port.blocked && *port.blocked == blocked) return;
    AddBlockValue(port, blocked, batch);
  };
  for (const std::string& lspId : lspIds) {
    if (PortEntry* port = _ports.FindByLsp(lspId)) apply(*port);
  }
  for (const std::string& switchId : switchIds) {
    for (PortEntry* port : ConnectedPortsOf(switchId)) apply(*port);
  }
  if (!batch.Empty()) Send(batch);
}

}  // namespace VevUroro
