// The L2 application's life cycle, its desired-state inputs and the BFD table's records. The datapath side
// (session, VNI membership, runtime updates, queries, reports) is in L2AppDatapath.cpp.
#include "apps/overlay/L2App.h"

#include "apps/config/AddressBytes.h"
#include "apps/config/UuidText.h"
#include "core/AgentLock.h"
#include "core/Logger.h"
#include "core/ProcessSettings.h"
#include "dataplane/DataplaneTkmlink.h"
#include "zantix/qor/tolvar/config.pb.h"
#include "zantix/qor/tolvar/objecttype.pb.h"
#include "zantix/qor/tolvar/services.pb.h"

namespace VevUroro {

namespace tv = zantix::qor::tolvar;
using tv::Property;
using namespace overlay;

namespace {

constexpr uint32_t kConfigTypes[] = {tv::LOG_SWITCH_CONFIG, tv::TRANSPORT_NODE_CONFIG};
constexpr uint32_t kL2Types[] = {tv::LOG_SWITCH_FIB, tv::ROUTING_DOMAIN_FIB, tv::L2_VTEP_GROUP};

bool Added(const StateCacheChange& change) {
  return !change.IsRemoval();
}

}  // namespace

L2App::L2App(Collaborators collaborators) : _c(std::move(collaborators)), _alarms(_c.alarmSources) {
  if (!_c.links) _c.links = TkmlinkFactory();
}

L2App::~L2App() {
  _target->Detach();
}

void L2App::Start(const ConfigTree& subtree) {
  // "l2.tkmlink.path" is the documented key; configuration files written before it name "tkmlink.path".
  std::string channel = kDefaultChannel;
  const char* source = "default";
  if (auto documented = subtree.get_optional<std::string>("l2.tkmlink.path")) {
    channel = *documented;
    source = "l2.tkmlink.path";
  } else if (auto older = subtree.get_optional<std::string>("tkmlink.path")) {
    channel = *older;
    source = "tkmlink.path";
  }
  Logger(LOG_LEVEL_INFO, "L2App: kernel channel %1 (%2)", channel, source);
  _link = MakeOwnedLink(_c.links, channel, _target, &L2App::OnLinkMessage, &L2App::OnLinkStatus, kLinkBufferSize);
  _alarms.Start();
  for (uint32_t type : kConfigTypes) _c.configTable->RegisterDesiredStateObserver(type, this);
  for (uint32_t type : kL2Types) _c.l2Table->RegisterDesiredStateObserver(type, this);
  if (_c.dispatcher) _c.dispatcher->Register(L2APP, qor::RefPtr<Component>(this));
}

void L2App::PostStart() {
  if (_link) _link->Start();
}

void L2App::Stop() {
  Logger(LOG_LEVEL_INFO, "L2App: stop");
  {
    AgentLockGuard lock(AgentLock());
    _stopped = true;
  }
  CloseLink(_link.get());  // not under the agent lock
  for (uint32_t type : kConfigTypes) _c.configTable->UnregisterDesiredStateObserver(type, this);
  for (uint32_t type : kL2Types) _c.l2Table->UnregisterDesiredStateObserver(type, this);
  if (_c.dispatcher) _c.dispatcher->Unregister(L2APP);
  _target->Detach();
  _c.dispatcher.reset();
}

void L2App::SetBfdVniListener(IBfdVniListener* listener) {
  AgentLockGuard lock(AgentLock());
  _bfdListener = listener;
}

void L2App::Send(const Bytes& message) {
  if (!_link || message.empty()) return;  // empty: refused and logged by Message()
  Logger(LOG_LEVEL_DEBUG, "%1: send a message to the dataplane", "L2App");
  auto* buffer = static_cast<uint8_t*>(std::malloc(message.size()));
  if (!buffer) {
    Logger(LOG_LEVEL_FATAL, "VEVURORO_ALLOC_FAIL : VevUroro error: no memory!");
    std::abort();
  }
  std::memcpy(buffer, message.data(), message.size());
  _link->Send(buffer);
}

// ---- Global configuration and the controller address ----

Bytes L2App::ControllerAddressPayload(uint32_t first, uint32_t second, const tv::CcpSessionMsg& session) {
  Bytes payload;
  PutU32(payload, first);
  PutU32(payload, second);
  const bool v4 = session.controller_ipv4().has_ipv4();
  const bool v6 = session.controller_ipv6().has_ipv6() && session.controller_ipv6().ipv6().size() == 16;
  PutU32(payload, v4 ? session.controller_ipv4().ipv4() : 0);
  uint32_t type = kCtlrNone;
  if (v4 && v6) {
    type = kCtlrBoth;
    Logger(LOG_LEVEL_INFO, "BuildCtlrIPUpdateMsg: Controller address type is IPV4_AND_IPV6");
  } else if (v4) {
    type = kCtlrIPv4;
  } else if (v6) {
    type = kCtlrIPv6;
  } else {
    Logger(LOG_LEVEL_ERROR, "BuildCtlrIPUpdateMsg: Invalid Controller address type");
  }
  PutU32(payload, type);
  if (v6) {
    payload.insert(payload.end(), session.controller_ipv6().ipv6().begin(), session.controller_ipv6().ipv6().end());
  } else {
    payload.resize(payload.size() + 16, 0);
  }
  return payload;
}

void L2App::UpdateDesiredState(const std::list<TolvarUpdateMsg>& entries, uint8_t fullSync) {
  AgentLockGuard lock(AgentLock());
  if (_stopped) return;
  bool sawGlobal = false;
  for (const TolvarUpdateMsg& entry : entries) {
    const bool removal = entry.operation == TolvarUpdateMsg::OP_CLEAR || entry.operation == TolvarUpdateMsg::OP_REMOVE;
    if (entry.objectType == tv::GLOBAL_CONFIG) {
      sawGlobal = true;
      tv::GlobalConfigMsg global;
      if (removal || !global.ParseFromString(entry.value)) {
        Logger(LOG_LEVEL_INFO, "%1: remove global config", "L2App");
        ClearReplicationMode();
        continue;
      }
      if (!global.has_switching()) {
        Logger(LOG_LEVEL_INFO, "%1: no l2 global config", "L2App");
        ClearReplicationMode();
      } else if (!global.switching().has_replication_mode()) {
        Logger(LOG_LEVEL_INFO, "%1: no global replication mode", "L2App");
        ClearReplicationMode();
      } else {
        _replicationMode = global.switching().replication_mode();
        Logger(LOG_LEVEL_INFO, "%1: set l2 global replication mode to %2", "L2App", *_replicationMode);
        if (Ready()) {
          Bytes payload;
          PutU32(payload, *_replicationMode);
          Send(Message(kMsgConfigure, _sessionId, kConfigReplicationMode, payload));
        }
      }
    } else if (entry.objectType == tv::HOST_SWITCH_SMARTNIC_BACKING) {
      Logger(LOG_LEVEL_INFO, "L2 app received backing msg");
      tv::HostSwitchSmartnicBackingMsg backing;
      backing.ParseFromString(entry.value);
      const bool onDpu = g_nodePersona == 2;
      _alarms.OnBackingInfo(onDpu,
                            backing.has_current_active_smartnic_id()
                                ? UuidText(backing.current_active_smartnic_id().SerializeAsString())
                                : std::string(),
                            removal);
    } else if (entry.objectType == tv::CCP_SESSION) {
      tv::CcpSessionMsg session;
      if (removal || !session.ParseFromString(entry.value)) {
        // The module keeps a controller address until told otherwise: withdraw it.
        if (_ccpSession && Ready())
          Send(Message(kMsgConfigure, _sessionId, kConfigControllerAddress, NoControllerPayload()));
        _ccpSession.reset();
        continue;
      }
      _ccpSession = session;
      if (Ready()) {
        Send(Message(kMsgConfigure, _sessionId, kConfigControllerAddress,
                     ControllerAddressPayload(session.state(), 0, session)));
      }
    }
  }
  if (fullSync && !sawGlobal && _replicationMode) {
    Logger(LOG_LEVEL_INFO, "%1: no l2 global config", "L2App");
    ClearReplicationMode();
  }
}

// The module keeps the last replication mode it was given: a removed mode is replaced by the unset value (0).
void L2App::ClearReplicationMode() {
  if (_replicationMode && Ready()) {
    Bytes payload;
    PutU32(payload, 0);
    Send(Message(kMsgConfigure, _sessionId, kConfigReplicationMode, payload));
  }
  _replicationMode.reset();
}

// Address type none (0) and no addresses.
Bytes L2App::NoControllerPayload() {
  return Bytes(kControllerAddressLen, 0);
}

// ---- Logical switch configuration ----

std::optional<std::string> L2App::SwitchOfVni(uint32_t vni) const {
  auto found = _vniSwitch.find(vni);
  if (found == _vniSwitch.end()) return std::nullopt;
  return found->second;
}

const L2App::LsFib* L2App::FibOfSwitch(const std::string& lsId) const {
  auto fib = _fibOfSwitch.find(lsId);
  if (fib == _fibOfSwitch.end()) return nullptr;
  auto found = _lsFibs.find(fib->second);
  return found == _lsFibs.end() ? nullptr : &found->second;
}

void L2App::OnConfigDesiredStateChanged(const StateCacheChangeList& changes, bool, bool) {
  AgentLockGuard lock(AgentLock());
  if (_stopped) return;
  for (const StateCacheChange& change : changes) {
    if (change.entry.objectType == tv::TRANSPORT_NODE_CONFIG) {
      if (Added(change)) {
        _alarms.SetHostUuid(UuidText(change.entry.objectId));
      } else if (change.entry.propertyType == 0) {
        _alarms.SetHostUuid("");  // alarms must not name a removed node
      }
      continue;
    }
    ApplySwitchConfigChange(change);
  }
}

void L2App::ApplySwitchConfigChange(const StateCacheChange& change) {
  const TolvarUpdateMsg& e = change.entry;
  const std::string& lsId = e.objectId;
  tv::LogSwitchConfigMsg config;
  if (Added(change) && !config.ParseFromString(e.value)) return;
  const bool objectRemoved = e.propertyType == 0 && !Added(change);
  SwitchConfig& sw = _switches[lsId];
  if (e.propertyType == Property::LS_VNI || objectRemoved) {
    std::optional<uint32_t> vni;
    if (Added(change) && config.has_vni()) vni = config.vni();
    if (sw.vni && (!vni || *vni != *sw.vni)) {
      auto mapped = _vniSwitch.find(*sw.vni);
      if (mapped != _vniSwitch.end() && mapped->second == lsId) _vniSwitch.erase(mapped);
      DetachSwitchFromVni(*sw.vni, lsId);
    }
    sw.vni = vni;
    if (vni) {
      auto current = _vniSwitch.find(*vni);
      if (current != _vniSwitch.end() && current->second != lsId) {
        Logger(LOG_LEVEL_INFO, "%1: VNI %2 current logical switch ID is %3, new ID is %4", "L2App", *vni,
               UuidText(current->second), UuidText(lsId));
      }
      _vniSwitch[*vni] = lsId;
      auto joined = _joined.find(*vni);
      if (joined != _joined.end() && joined->second.lsId != lsId) {
        if (!joined->second.lsId.empty()) DetachSwitchFromVni(*vni, joined->second.lsId);
        joined->second.lsId = lsId;
        Logger(LOG_LEVEL_INFO, "%1: Set logical switch UUID %2 for VNI %3 when VNI is joined", "L2App", UuidText(lsId),
               *vni);
        if (_runtimeSynced) WriteRuntime(SwitchRuntime(*vni, lsId), false);
        if (Ready()) SendVniTables(*vni, joined->second);
      }
    }
  }
  if (e.propertyType == Property::LS_ROUTING_DOMAIN_ID || objectRemoved) {
    std::string domain;
    if (Added(change) && config.has_routing_domain_id()) domain = config.routing_domain_id().SerializeAsString();
    if (Added(change) && domain.empty()) {
      Logger(LOG_LEVEL_WARN, "%1: invalid routingDomainID for LS %2, skip adding", "L2App", UuidText(lsId));
    } else if (domain != sw.routingDomain) {
      if (!sw.routingDomain.empty()) {
        Logger(LOG_LEVEL_INFO, "%1: Detach LS %2 from routingDomainID %3", "L2App", UuidText(lsId),
               UuidText(sw.routingDomain));
        const std::string old = sw.routingDomain;
        sw.routingDomain.clear();
        bool used = false;
        for (const auto& [id, other] : _switches) used = used || other.routingDomain == old;
        if (!used) {
          Logger(LOG_LEVEL_INFO, "%1: Delete the routingDomain ID %2", "L2App", UuidText(old));
          Logger(LOG_LEVEL_INFO,
                 "%1: Delete runtime and desired states when routing domain %2 is detached. Global routing domain %3",
                 "L2App", UuidText(old), 0);
          _routingDomains.erase(old);
          if (_localRdVteps.erase(old) && _runtimeSynced) _c.l2Table->RemoveLocalL2Table(tv::ROUTING_DOMAIN_VTEP, old);
        }
      } else if (!Added(change) && e.propertyType == Property::LS_ROUTING_DOMAIN_ID) {
        Logger(LOG_LEVEL_WARN, "%1: invalid routingDomainID for LS %2, skip deleting", "L2App", UuidText(lsId));
      }
      if (!domain.empty()) {
        sw.routingDomain = domain;
        if (!_routingDomains.count(domain)) {
          Logger(LOG_LEVEL_INFO, "%1: Add a new routingDomain ID %2", "L2App", UuidText(domain));
          _routingDomains[domain] = 0;
        }
        Logger(LOG_LEVEL_INFO, "%1: Attach LS %2 to routingDomainID %3", "L2App", UuidText(lsId), UuidText(domain));
        if (sw.vni) {
          auto joined = _joined.find(*sw.vni);
          if (joined != _joined.end() && _routingDomains[domain] == 0) {
            _routingDomains[domain] = joined->second.switchId;
            Logger(LOG_LEVEL_INFO, "%1: Update routingDomainID %2 with switchID %3", "L2App", UuidText(domain),
                   joined->second.switchId);
          }
        }
      }
      if (Ready()) SendRoutingDomains();
    }
  }
  if (e.propertyType == Property::LS_MAC_MANAGEMENT || objectRemoved) {
    std::optional<uint32_t> limit;
    if (Added(change) && config.mac_management().mac_learning().has_limit()) {
      limit = config.mac_management().mac_learning().limit().limit();
    }
    const bool hadLimit = sw.macLimit && *sw.macLimit != 0;
    sw.macLimit = limit;
    if (sw.vni && _joined.count(*sw.vni) && Ready()) SendMacLimit(*sw.vni, hadLimit);
  }
  if (objectRemoved) _switches.erase(lsId);
}

// A switch no longer on a joined VNI: its desired records leave the module's tables of that VNI, and the runtime
// state written under it from that VNI is removed, so that neither outlives the mapping. The VNI stays joined
// without a switch until one is configured for it.
void L2App::DetachSwitchFromVni(uint32_t vni, const std::string& lsId) {
  auto joined = _joined.find(vni);
  if (joined == _joined.end() || joined->second.lsId != lsId) return;
  if (Ready()) {
    if (const LsFib* fib = FibOfSwitch(lsId)) {
      Batch batch;
      for (const auto& [property, table] :
           {std::pair(uint32_t(Property::L2_VTEP), &fib->vteps), std::pair(uint32_t(Property::L2_VM_MAC), &fib->macs),
            std::pair(uint32_t(Property::L2_VM_IP), &fib->ips)}) {
        for (const auto& [key, value] : *table) {
          if (auto record = ElementRecord(property, value))
            batch[{vni, record->first}].second.push_back(record->second);
        }
      }
      FlushBatch(batch);
    }
    auto sw = _switches.find(lsId);
    if (sw != _switches.end() && sw->second.macLimit.value_or(0) != 0)
      SendMacLimitValue(joined->second.switchId, vni, 0);
  }
  Logger(LOG_LEVEL_INFO, "%1: Delete runtime states of LS %2 moved off VNI %3", "L2App", UuidText(lsId), vni);
  if (_runtimeSynced) _c.l2Table->RemoveLocalL2Table(tv::LOG_SWITCH_STATE, lsId);
  joined->second.lsId.clear();
  Logger(LOG_LEVEL_INFO, "%1: LSID is not ready for VNI %2", "L2App", vni);
}

void L2App::SendMacLimit(uint32_t vni, bool withdrawIfNone) {
  auto joined = _joined.find(vni);
  auto lsId = SwitchOfVni(vni);
  if (joined == _joined.end()) return;
  auto sw = lsId ? _switches.find(*lsId) : _switches.end();
  if (sw == _switches.end()) {
    Logger(LOG_LEVEL_INFO, "%1: No desired config found for VNI %2", "L2App", vni);
    return;
  }
  const uint32_t limit = sw->second.macLimit.value_or(0);
  if (limit == 0) {
    Logger(LOG_LEVEL_DEBUG, "%1: VNI %2 doesn't receive a valid mac limit: %3", "L2App", vni, limit);
    // A limit the module already enforces stays there until replaced: a zero limit lifts it.
    if (!withdrawIfNone) return;
  }
  SendMacLimitValue(joined->second.switchId, vni, limit);
}

// A zero limit lifts the VNI's limit in the module.
void L2App::SendMacLimitValue(uint32_t switchId, uint32_t vni, uint32_t limit) {
  Logger(LOG_LEVEL_INFO, "Configure VNI %1 mac limit", vni);
  Bytes payload;
  PutU32(payload, switchId);
  PutU32(payload, vni);
  PutU32(payload, limit);
  Send(Message(kMsgConfigure, _sessionId, kConfigMacLimit, payload));
}

void L2App::SendRoutingDomains() {
  // The module keeps every domain named within the session, so a long list goes out in several messages.
  Bytes payload;
  for (const auto& [domain, switchId] : _routingDomains) {
    if (payload.size() + kRoutingDomainRecordLen > kMaxRecordBytes) {
      Send(Message(kMsgUpdate, _sessionId, kUpdateRoutingDomainList, payload));
      payload.clear();
    }
    payload.push_back(1);
    tv::UuidMsg id;
    id.ParseFromString(domain);
    PutU64(payload, id.high());
    PutU64(payload, id.low());
    PutU32(payload, switchId);
  }
  Send(Message(kMsgUpdate, _sessionId, kUpdateRoutingDomainList, payload));
}

// ---- L2 FIBs and VTEP groups ----

std::optional<std::pair<uint16_t, Bytes>> L2App::ElementRecord(uint32_t property, const std::string& value) {
  if (property == Property::L2_VTEP) {
    tv::VtepMsg vtep;
    if (!vtep.ParseFromString(value)) return std::nullopt;
    auto record = VtepRecord(vtep);
    if (!record) return std::nullopt;
    return std::pair(uint16_t(kUpdateVtep), std::move(*record));
  }
  if (property == Property::L2_VM_MAC) {
    tv::VmMacMsg mac;
    if (!mac.ParseFromString(value)) return std::nullopt;
    return std::pair(uint16_t(kUpdateVmMac), VmMacRecord(mac));
  }
  if (property == Property::L2_VM_IP) {
    tv::VmIpMsg ip;
    if (!ip.ParseFromString(value)) return std::nullopt;
    if (auto arp = ArpRecord(ip)) return std::pair(uint16_t(kUpdateArp), std::move(*arp));
    if (auto nd = NdRecord(ip)) return std::pair(uint16_t(kUpdateNd), std::move(*nd));
    Logger(LOG_LEVEL_ERROR, "%1: L2_VM_IP unknown ip format", "L2App");
  }
  return std::nullopt;
}

void L2App::OnL2DesiredStateChanged(const StateCacheChangeList& changes, bool fullSync) {
  AgentLockGuard lock(AgentLock());
  if (_stopped) return;
  Batch batch;
  for (const StateCacheChange& change : changes) {
    switch (change.entry.objectType) {
      case tv::LOG_SWITCH_FIB:
        ApplyLsFibChange(change, batch);
        break;
      case tv::ROUTING_DOMAIN_FIB:
        ApplyRdFibChange(change);
        break;
      case tv::L2_VTEP_GROUP:
        ApplyVtepGroupChange(change);
        break;
      default:
        break;
    }
  }
  FlushBatch(batch);
  if (fullSync && !_desiredSynced) {
    _desiredSynced = true;
    MaybeEndSync();
  }
}

void L2App::ApplyLsFibChange(const StateCacheChange& change, Batch& batch) {
  const TolvarUpdateMsg& e = change.entry;
  const uint32_t property = static_cast<uint32_t>(e.propertyType);
  if (property == 0) {
    if (Added(change)) {
      tv::LogSwitchFibMsg fib;
      fib.ParseFromString(e.value);
      LsFib& held = _lsFibs[e.objectId];
      held.lsId = fib.has_logical_switch_id() ? fib.logical_switch_id().SerializeAsString() : e.objectId;
      _fibOfSwitch[held.lsId] = e.objectId;
      return;
    }
    // The whole table goes: its elements leave the datapath now, since the cache reports them only afterwards.
    auto found = _lsFibs.find(e.objectId);
    if (found == _lsFibs.end()) return;
    std::vector<std::pair<uint32_t, std::string>> elements;  // copied: removing them edits the tables
    for (const auto& [property, table] : {std::pair(uint32_t(Property::L2_VTEP), &found->second.vteps),
                                          std::pair(uint32_t(Property::L2_VM_MAC), &found->second.macs),
                                          std::pair(uint32_t(Property::L2_VM_IP), &found->second.ips)}) {
      for (const auto& [key, value] : *table) elements.emplace_back(property, value);
    }
    for (auto& [property, value] : elements) {
      StateCacheChange removal;
      removal.entry = e;
      removal.entry.propertyType = static_cast<int32_t>(property);
      removal.entry.value = std::move(value);
      removal.entry.operation = TolvarUpdateMsg::OP_REMOVE;
      ApplyLsFibChange(removal, batch);
    }
    _fibOfSwitch.erase(found->second.lsId);
    _lsFibs.erase(found);
    return;
  }
  if (property != Property::L2_VTEP && property != Property::L2_VM_MAC && property != Property::L2_VM_IP) {
    Logger(LOG_LEVEL_WARN, "Unsupported operation type %1", e.operation);
    return;
  }
  auto found = _lsFibs.find(e.objectId);
  if (found == _lsFibs.end()) {
    Logger(LOG_LEVEL_INFO, "%1: logical switch property is already deleted before L2 FIB updates(op %2)", "L2App",
           e.operation);
    return;
  }
  LsFib& fib = found->second;
  L2ValueKey key;
  if (!StateCacheL2Table::ValueKey(property, e.value, &key)) return;
  Table& table = property == Property::L2_VTEP ? fib.vteps : property == Property::L2_VM_MAC ? fib.macs : fib.ips;
  std::string removedValue;  // the value the module held under this key, if any
  if (Added(change)) {
    std::string& held = table[key];
    removedValue = std::move(held);
    held = e.value;
  } else {
    auto held = table.find(key);
    if (held == table.end()) return;
    removedValue = std::move(held->second);
    table.erase(held);
  }
  if (property == Property::L2_VM_MAC && Added(change) && LogEnabled(LOG_LEVEL_DEBUG)) {
    tv::VmMacMsg mac;
    mac.ParseFromString(e.value);
    uint8_t bytes[6];
    WriteMacBytes(mac.mac(), bytes);
    auto sw = _switches.find(fib.lsId);
    Logger(LOG_LEVEL_DEBUG, "%1: LogSwitchMac update: MAC %2, VNI %3", "L2App", MacText(bytes),
           sw != _switches.end() && sw->second.vni ? *sw->second.vni : 0);
  }
  auto sw = _switches.find(fib.lsId);
  if (sw == _switches.end() || !sw->second.vni) return;
  const uint32_t vni = *sw->second.vni;
  auto joined = _joined.find(vni);
  if (joined == _joined.end() || joined->second.lsId != fib.lsId || !Ready()) {
    if (LogEnabled(LOG_LEVEL_DEBUG)) {
      Logger(LOG_LEVEL_DEBUG, "%1: VNI %2 doesn't receive Join from datapath", "L2App", vni);
      Logger(LOG_LEVEL_DEBUG,
             property == Property::L2_VTEP ? "%1: Insert VNI %2 VTEP to queued message list"
                                           : "%1: Insert VNI %2 VM MAC to queued message list",
             "L2App", vni);
    }
    return;
  }
  // A replaced element goes out as the removal of its old record and the addition of the new one, so that a
  // record the new value no longer yields (refused, or named otherwise) leaves the module.
  if (!removedValue.empty()) {
    if (auto old = ElementRecord(property, removedValue)) batch[{vni, old->first}].second.push_back(old->second);
  }
  if (!Added(change)) return;
  if (auto record = ElementRecord(property, e.value)) batch[{vni, record->first}].first.push_back(record->second);
}

void L2App::FlushBatch(Batch& batch) {
  for (auto& [target, lists] : batch) {
    auto joined = _joined.find(target.first);
    if (joined == _joined.end()) continue;
    // Removals first: an element replaced under the same record identity is removed, then added again.
    for (const Bytes& message :
         TableUpdates(_sessionId, target.second, joined->second.switchId, target.first, {}, lists.second)) {
      Send(message);
    }
    for (const Bytes& message :
         TableUpdates(_sessionId, target.second, joined->second.switchId, target.first, lists.first, {})) {
      Send(message);
    }
  }
  batch.clear();
}

void L2App::SendVniTables(uint32_t vni, const JoinedVni& joined) {
  const LsFib* fib = FibOfSwitch(joined.lsId);
  if (fib) {
    Batch batch;
    for (const auto& [property, table] :
         {std::pair(uint32_t(Property::L2_VTEP), &fib->vteps), std::pair(uint32_t(Property::L2_VM_MAC), &fib->macs),
          std::pair(uint32_t(Property::L2_VM_IP), &fib->ips)}) {
      for (const auto& [key, value] : *table) {
        if (auto record = ElementRecord(property, value)) batch[{vni, record->first}].first.push_back(record->second);
      }
    }
    FlushBatch(batch);
  }
  SendMacLimit(vni);
  auto sessions = _bfdSessions.find(vni);
  if (sessions != _bfdSessions.end()) {
    for (const auto& [key, update] : sessions->second) SendBfdRecord(joined.switchId, update);
  }
}

void L2App::ApplyRdFibChange(const StateCacheChange& change) {
  const TolvarUpdateMsg& e = change.entry;
  if (e.propertyType == 0) {
    if (Added(change)) {
      tv::RoutingDomainFibMsg fib;
      fib.ParseFromString(e.value);
      _rdFibs[e.objectId].routingDomain =
          fib.has_routing_domain_id() ? fib.routing_domain_id().SerializeAsString() : e.objectId;
    } else {
      auto found = _rdFibs.find(e.objectId);
      if (found == _rdFibs.end()) return;
      for (const auto& [key, label] : found->second.groupLabels) {
        tv::VtepGroupLabelMsg msg;
        msg.ParseFromString(label);
        if (--_groupReferences[msg.group_key()] == 0) _groupReferences.erase(msg.group_key());
      }
      if (found->second.routingDomain == GlobalRoutingDomainId()) {
        _rdFibs.erase(found);
        SyncGlobalRoutingDomain();
        return;
      }
      std::vector<Bytes> removed;
      for (const auto& [key, value] : found->second.vteps) {
        if (auto record = ElementRecord(Property::L2_VTEP, value)) removed.push_back(record->second);
      }
      SendRoutingDomainVteps(found->second, {}, removed);
      _rdFibs.erase(found);
    }
    return;
  }
  auto found = _rdFibs.find(e.objectId);
  if (found == _rdFibs.end()) return;
  RdFib& fib = found->second;
  L2ValueKey key;
  if (!StateCacheL2Table::ValueKey(static_cast<uint32_t>(e.propertyType), e.value, &key)) return;
  if (e.propertyType == Property::L2_VTEP_GROUP_LABEL) {
    tv::VtepGroupLabelMsg label;
    label.ParseFromString(e.value);
    const bool had = fib.groupLabels.count(key) > 0;
    Logger(LOG_LEVEL_INFO, "%1: RD(%2)/VG(%3) is to be %4", "L2App", UuidText(fib.routingDomain), label.group_key(),
           Added(change) ? "associated" : "disassociated");
    if (Added(change) && !had) {
      fib.groupLabels[key] = e.value;
      ++_groupReferences[label.group_key()];
      if (!VtepGroupConfigured(label.group_key())) {
        Logger(LOG_LEVEL_WARN, "%1: VTEP Group (%2) config does not exist", "L2App", label.group_key())
            .AddTag("errorCode:LCP00007");
      }
    } else if (!Added(change) && had) {
      fib.groupLabels.erase(key);
      if (--_groupReferences[label.group_key()] == 0) _groupReferences.erase(label.group_key());
      if (!VtepGroupConfigured(label.group_key())) {
        Logger(LOG_LEVEL_WARN, "%1: VTEP Group config does not exist %2/%3", "L2App", UuidText(fib.routingDomain),
               label.group_key())
            .AddTag("errorCode:LCP00007");
      }
    }
    return;
  }
  if (e.propertyType != Property::L2_VTEP) return;
  std::string value = e.value;
  if (Added(change)) {
    fib.vteps[key] = e.value;
  } else {
    auto held = fib.vteps.find(key);
    if (held == fib.vteps.end()) return;
    value = held->second;
    fib.vteps.erase(held);
  }
  if (fib.routingDomain == GlobalRoutingDomainId()) {
    SyncGlobalRoutingDomainVtep(key);
    return;
  }
  auto record = ElementRecord(Property::L2_VTEP, value);
  if (!record) return;
  if (Added(change)) {
    SendRoutingDomainVteps(fib, {record->second}, {});
  } else {
    SendRoutingDomainVteps(fib, {}, {record->second});
  }
}

bool L2App::VtepGroupConfigured(uint64_t groupKey) const {
  for (const auto& [id, bytes] : _vtepGroups) {
    tv::VtepGroupMsg held;
    if (held.ParseFromArray(bytes.data(), static_cast<int>(bytes.size())) && held.group_key() == groupKey) return true;
  }
  return false;
}

const std::string& L2App::GlobalRoutingDomainId() {
  static const std::string id = [] {
    tv::UuidMsg uuid;
    uuid.set_high(~0ull);
    uuid.set_low(~0ull);
    return uuid.SerializeAsString();
  }();
  return id;
}

void L2App::SendRoutingDomainVteps(const RdFib& fib, const std::vector<Bytes>& added,
                                   const std::vector<Bytes>& removed) {
  if (fib.routingDomain == GlobalRoutingDomainId()) return;  // kept by SyncGlobalRoutingDomain
  auto domain = _routingDomains.find(fib.routingDomain);
  if (domain == _routingDomains.end() || domain->second == 0) return;
  SendRoutingDomainVtepMessages(domain->second, fib.routingDomain, added, removed);
}

void L2App::SendRoutingDomainVtepMessages(uint32_t switchId, const std::string& routingDomain,
                                          const std::vector<Bytes>& added, const std::vector<Bytes>& removed) {
  if (!Ready() || (added.empty() && removed.empty())) return;
  tv::UuidMsg id;
  id.ParseFromString(routingDomain);
  Bytes header;
  PutU32(header, switchId);
  PutU64(header, id.high());
  PutU64(header, id.low());
  header.push_back(routingDomain == GlobalRoutingDomainId() ? 1 : 0);
  // Records are deltas, so a large table splits into several messages: adds first, then removes.
  for (const Bytes& message : DeltaUpdates(_sessionId, kUpdateRoutingDomainVtep, header, added, removed)) Send(message);
}

void L2App::ApplyVtepGroupChange(const StateCacheChange& change) {
  const TolvarUpdateMsg& e = change.entry;
  if (e.propertyType == 0) return;
  tv::VtepGroupMsg group;
  group.ParseFromString(Added(change) ? e.value : (change.hasOld ? change.oldValue : e.value));
  auto held = _vtepGroups.find(e.objectId);
  if (!Added(change)) {
    if (held == _vtepGroups.end()) {
      Logger(LOG_LEVEL_ERROR, "%1: Delete non-existing VTEP Group (%2) ", "L2App", group.group_key())
          .AddTag("errorCode:LCP00007");
      return;
    }
    auto used = _groupReferences.find(group.group_key());
    if (used != _groupReferences.end()) {
      Logger(LOG_LEVEL_WARN, "%1: Delete VTEP Group (type %2) in use (%3/%4) ", "L2App", 0, group.group_key(),
             used->second);
      return;
    }
    Logger(LOG_LEVEL_INFO, "%1: VTEP Group (%2, type: %3) is %4 action is %5", "L2App", group.group_key(), 0, "Deleted",
           "delete");
    SendVtepGroup(e.objectId, true);
    _vtepGroups.erase(e.objectId);
    return;
  }
  auto used = _groupReferences.find(group.group_key());
  if (held != _vtepGroups.end() && used != _groupReferences.end()) {
    Logger(LOG_LEVEL_INFO, "%1: Updating TEP Group under usage (%2/%3) ", "L2App", group.group_key(), used->second);
  }
  Logger(LOG_LEVEL_INFO, "%1: VTEP Group (%2, type: %3) is %4 action is %5", "L2App", group.group_key(), 0, "Added",
         "update");
  _vtepGroups[e.objectId] = Bytes(e.value.begin(), e.value.end());
  SendVtepGroup(e.objectId, false);
}

void L2App::SendVtepGroup(const std::string& groupId, bool remove) {
  auto held = _vtepGroups.find(groupId);
  if (!Ready() || held == _vtepGroups.end()) return;
  tv::VtepGroupMsg group;
  group.ParseFromArray(held->second.data(), static_cast<int>(held->second.size()));
  Bytes payload;
  payload.push_back(remove ? 2 : 1);
  PutU64(payload, group.group_key());
  std::vector<Bytes> records;
  if (!remove) {
    for (const tv::VtepMsg& vtep : group.vteps()) {
      if (auto record = VtepRecord(vtep)) records.push_back(std::move(*record));
    }
  }
  // The module replaces a group's whole list with each update, so a list that does not fit one message cannot be
  // split; it is refused, and the version the module holds is withdrawn, as the next session's sweep would do.
  if (records.size() * kVtepRecordLen > kMaxTlvPayload - kVtepGroupHeaderLen) {
    Logger(LOG_LEVEL_ERROR, "%1: VTEP GROUP (%2) has %3 VTEPs, more than one update holds, not sent", "L2App",
           group.group_key(), records.size())
        .AddTag("errorCode:LCP00019");
    remove = true;
    records.clear();
    payload[0] = 2;
  }
  PutU16(payload, static_cast<uint16_t>(records.size()));
  for (const Bytes& record : records) payload.insert(payload.end(), record.begin(), record.end());
  Logger(LOG_LEVEL_INFO, remove ? "%1: VTEP GROUP (%2) Delete to DP" : "%1: VTEP GROUP (%2) Update to DP", "L2App",
         group.group_key());
  Send(Message(kMsgUpdate, _sessionId, kUpdateVtepGroup, payload));
}

// ---- The BFD table's records ----

namespace {

std::string BfdKey(const BfdSessionUpdate& u) {
  std::string key(reinterpret_cast<const char*>(u.localIp.bytes.data()), 16);
  key.append(reinterpret_cast<const char*>(u.remoteIp.bytes.data()), 16);
  key += static_cast<char>(u.localIp.isIPv6);
  key += static_cast<char>(u.remoteIp.isIPv6);
  for (uint32_t value : {u.localLabel, u.remoteLabel, u.sessionType, u.tnVgLabel}) {
    key.append(reinterpret_cast<const char*>(&value), sizeof(value));
  }
  return key;
}

void PutEndpoint(Bytes& out, const BfdEndpointAddress& address) {
  PutU32(out, address.isIPv6 ? kAddrIPv6 : kAddrIPv4);
  out.insert(out.end(), address.bytes.begin(), address.bytes.end());
}

}  // namespace

void L2App::SendBfdRecord(uint32_t switchId, const BfdSessionUpdate& update) {
  Bytes payload;
  payload.push_back(static_cast<uint8_t>(update.op));
  PutU32(payload, switchId);
  PutU32(payload, update.vni);
  PutEndpoint(payload, update.localIp);
  PutEndpoint(payload, update.remoteIp);
  for (uint32_t value : {update.localLabel, update.remoteLabel, update.sessionType, update.tnVgLabel}) {
    PutU32(payload, value);
  }
  Send(Message(kMsgUpdate, _sessionId, kUpdateBfdSession, payload));
}

bool L2App::SendBfdSession(const BfdSessionUpdate& update) {
  AgentLockGuard lock(AgentLock());
  if (_stopped) return false;
  // The session record carries one address type for both ends.
  if (update.localIp.isIPv6 != update.remoteIp.isIPv6) {
    Logger(LOG_LEVEL_ERROR, "%1: BuildBFDSessionEntryMsg type error: Local IP type is v4: %2, RemoteIP type is v4: %3",
           "L2App", !update.localIp.isIPv6, !update.remoteIp.isIPv6);
    return false;
  }
  auto& sessions = _bfdSessions[update.vni];
  if (update.op == BfdSessionOp::kAdd) {
    sessions[BfdKey(update)] = update;
  } else {
    sessions.erase(BfdKey(update));
    if (sessions.empty()) _bfdSessions.erase(update.vni);
  }
  auto joined = _joined.find(update.vni);
  if (joined != _joined.end() && Ready()) SendBfdRecord(joined->second.switchId, update);
  return true;
}

namespace {

Bytes BfdConfigPayload(const BfdHostSwitchConfig& config) {
  Bytes payload(config.dvsUuid.begin(), config.dvsUuid.end());
  PutU32(payload, config.flags);
  payload.push_back(config.enabled ? 1 : 0);
  PutU32(payload, config.vtepHealthInterval);
  payload.push_back(config.latencyEnabled ? 1 : 0);
  return payload;
}

Bytes EvpnPayload(const EvpnBfdConfig& config) {
  Bytes payload;
  PutU32(payload, config.flags);
  payload.push_back(config.enabled ? 1 : 0);
  PutU32(payload, config.vtepHealthInterval);
  PutU32(payload, config.multiplier);
  return payload;
}

}  // namespace

bool L2App::SendBfdConfig(const BfdHostSwitchConfig& config) {
  AgentLockGuard lock(AgentLock());
  if (_stopped) return false;
  _bfdConfigs[config.dvsUuid] = config;
  if (Ready()) Send(Message(kMsgConfigure, _sessionId, kConfigBfdHostSwitch, BfdConfigPayload(config)));
  return true;
}

bool L2App::SendEvpnBfdConfig(const EvpnBfdConfig& config) {
  AgentLockGuard lock(AgentLock());
  if (_stopped) return false;
  _evpnBfd = config;
  if (Ready()) Send(Message(kMsgConfigure, _sessionId, kConfigEvpnBfd, EvpnPayload(config)));
  return true;
}

void L2App::SendSessionGlobals() {
  if (_replicationMode) {
    Bytes payload;
    PutU32(payload, *_replicationMode);
    Send(Message(kMsgConfigure, _sessionId, kConfigReplicationMode, payload));
  }
  if (_ccpSession) {
    Send(Message(kMsgConfigure, _sessionId, kConfigControllerAddress,
                 ControllerAddressPayload(_ccpSession->state(), 0, *_ccpSession)));
  }
  for (const auto& [dvs, config] : _bfdConfigs) {
    Send(Message(kMsgConfigure, _sessionId, kConfigBfdHostSwitch, BfdConfigPayload(config)));
  }
  if (_evpnBfd) Send(Message(kMsgConfigure, _sessionId, kConfigEvpnBfd, EvpnPayload(*_evpnBfd)));
  for (const auto& [id, group] : _vtepGroups) SendVtepGroup(id, false);
  SendRoutingDomains();
}

// ---- Views ----

uint32_t L2App::ReadyLevel() const {
  AgentLockGuard lock(AgentLock());
  return _readyLevel;
}

uint32_t L2App::SessionId() const {
  AgentLockGuard lock(AgentLock());
  return _sessionId;
}

std::map<uint32_t, uint32_t> L2App::JoinedVnis() const {
  AgentLockGuard lock(AgentLock());
  std::map<uint32_t, uint32_t> out;
  for (const auto& [vni, joined] : _joined) out[vni] = joined.switchId;
  return out;
}

std::set<uint32_t> L2App::Instances() const {
  AgentLockGuard lock(AgentLock());
  return _instances;
}

size_t L2App::QueuedInstanceCount() const {
  AgentLockGuard lock(AgentLock());
  return _queuedInstances.size();
}

std::optional<uint32_t> L2App::ReplicationMode() const {
  AgentLockGuard lock(AgentLock());
  return _replicationMode;
}

}  // namespace VevUroro
