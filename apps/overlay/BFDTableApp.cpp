#include "apps/overlay/BFDTableApp.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <sstream>

#include "apps/config/UuidText.h"
#include "core/AgentLock.h"
#include "core/Logger.h"
#include "platform/tolvar/TolvarSchema.h"
#include "zantix/qor/tolvar/l2.pb.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace VevUroro {

const char* const kGlobalRoutingDomainId = "ffffffff-ffff-ffff-ffff-ffffffffffff";

namespace {

namespace tv = zantix::qor::tolvar;
using Property = tv::Property;

constexpr const char* kPrefix = "BFDTableApp";
constexpr const char* kNilId = "00000000-0000-0000-0000-000000000000";

constexpr uint32_t kConfigTypes[] = {tv::LOG_SWITCH_CONFIG, tv::TRANSPORT_NODE_CONFIG};
constexpr uint32_t kL2DesiredTypes[] = {tv::LOG_SWITCH_FIB, tv::ROUTING_DOMAIN_FIB, tv::L2_VTEP_GROUP};
constexpr uint32_t kL2RuntimeTypes[] = {tv::LOG_SWITCH_STATE, tv::ROUTING_DOMAIN_VTEP};

std::string UuidMsgText(const tv::UuidMsg& id) {
  return qor::tolvar::UuidToString(id.high(), id.low());
}

const char* OpText(BfdSessionOp op) {
  return op == BfdSessionOp::kAdd ? "add" : "delete";
}

// The endpoint of a VtepMsg; false for one without an address.
bool ParseVtep(const tv::VtepMsg& message, BfdVtep* vtep) {
  if (message.ip().has_ipv4()) {
    uint32_t v4 = message.ip().ipv4();
    vtep->ip.isIPv6 = false;
    vtep->ip.bytes = {};
    for (int i = 0; i < 4; ++i) vtep->ip.bytes[i] = static_cast<uint8_t>(v4 >> (24 - 8 * i));
  } else if (message.ip().has_ipv6()) {
    vtep->ip.isIPv6 = true;
    vtep->ip.bytes = {};
    const std::string& v6 = message.ip().ipv6();
    for (size_t i = 0; i < v6.size() && i < 16; ++i) vtep->ip.bytes[i] = static_cast<uint8_t>(v6[i]);
  } else {
    return false;
  }
  vtep->label = message.label();
  return true;
}

bool ParseVtep(const std::string& value, BfdVtep* vtep) {
  tv::VtepMsg message;
  return message.ParseFromString(value) && ParseVtep(message, vtep);
}

}  // namespace

BFDTableApp::BFDTableApp(Collaborators c) : _c(c) {}

void BFDTableApp::Start() {
  AgentLockGuard lock(AgentLock());
  if (_started) return;
  _started = true;
  if (_c.configTable) {
    for (uint32_t type : kConfigTypes) _c.configTable->RegisterDesiredStateObserver(type, this);
  }
  if (_c.l2Table) {
    for (uint32_t type : kL2DesiredTypes) _c.l2Table->RegisterDesiredStateObserver(type, this);
    for (uint32_t type : kL2RuntimeTypes) _c.l2Table->RegisterRuntimeStateObserver(type, this);
  }
  if (_c.dispatcher) _c.dispatcher->Register(BFD, qor::RefPtr<Component>(this));
  Logger(LOG_LEVEL_INFO, "%1: started", kPrefix);
}

void BFDTableApp::Stop() {
  // Not under the agent lock: unregistering waits for a notification in progress, which takes the lock.
  {
    AgentLockGuard lock(AgentLock());
    if (!_started) return;
    _started = false;
  }
  if (_c.configTable) {
    for (uint32_t type : kConfigTypes) _c.configTable->UnregisterDesiredStateObserver(type, this);
  }
  if (_c.l2Table) {
    for (uint32_t type : kL2DesiredTypes) _c.l2Table->UnregisterDesiredStateObserver(type, this);
    for (uint32_t type : kL2RuntimeTypes) _c.l2Table->UnregisterRuntimeStateObserver(type, this);
  }
  if (_c.dispatcher) _c.dispatcher->Unregister(BFD);
  Logger(LOG_LEVEL_INFO, "%1: stopped", kPrefix);
}

BfdTable::Entries BFDTableApp::Entries() const {
  AgentLockGuard lock(AgentLock());
  return _table.entries();
}

// ---- Inputs -------------------------------------------------------------------------------------------------------

void BFDTableApp::UpdateDesiredState(const std::list<TolvarUpdateMsg>& updates, uint8_t fullSync) {
  AgentLockGuard lock(AgentLock());
  // The database sends no deletes of these objects: a full sync, which lists them all, forgets the others.
  if (fullSync) {
    std::set<std::string> listed;
    for (const TolvarUpdateMsg& update : updates) {
      tv::BfdGlobalConfigMsg config;
      if (update.objectType == tv::BFD_GLOBAL_CONFIG && config.ParseFromString(update.value)) {
        listed.insert(UuidMsgText(config.id()));
      }
    }
    std::erase_if(_zoneBfd, [&listed](const auto& zone) { return listed.count(zone.first) == 0; });
  }
  for (const TolvarUpdateMsg& update : updates) {
    if (update.objectType != tv::BFD_GLOBAL_CONFIG) {
      Logger(LOG_LEVEL_ERROR, "unexpected tolvar object type %1", update.objectType).AddTag("errorCode:LCP02203");
      continue;
    }
    tv::BfdGlobalConfigMsg config;
    if (!config.ParseFromString(update.value)) {
      Logger(LOG_LEVEL_ERROR, "%1: BFD config of %2 does not parse", kPrefix, UuidText(update.objectId));
      continue;
    }
    const std::string zone = UuidMsgText(config.id());
    auto found = _zoneBfd.find(zone);
    if (found != _zoneBfd.end() && found->second.SerializeAsString() == config.SerializeAsString()) continue;
    _zoneBfd[zone] = config;
    // The host switches of the zone get the new settings.
    for (const auto& [node, switches] : _transportSwitches) {
      for (const tv::TransportSwitchMsg& hostSwitch : switches.switches()) {
        if (!hostSwitch.transport_zone_ids().empty() && UuidMsgText(hostSwitch.transport_zone_ids(0)) == zone) {
          PushBfdConfig(hostSwitch);
        }
      }
    }
  }
}

void BFDTableApp::OnConfigDesiredStateChanged(const StateCacheChangeList& changes, bool /*fullSync*/, bool /*first*/) {
  AgentLockGuard lock(AgentLock());
  for (const StateCacheChange& change : changes) {
    if (change.entry.objectType == tv::LOG_SWITCH_CONFIG) {
      HandleSwitchConfig(change);
    } else if (change.entry.objectType == tv::TRANSPORT_NODE_CONFIG) {
      HandleTransportNode(change);
    } else {
      Logger(LOG_LEVEL_ERROR, "unexpected tolvar object type %1", change.entry.objectType).AddTag("errorCode:LCP02203");
    }
  }
  Flush();
  PushEvpnBfdConfig();
}

void BFDTableApp::OnL2DesiredStateChanged(const StateCacheChangeList& changes, bool /*fullSync*/) {
  AgentLockGuard lock(AgentLock());
  for (const StateCacheChange& change : changes) {
    switch (change.entry.objectType) {
      case tv::LOG_SWITCH_FIB:
        QOR_LOG(LOG_LEVEL_DEBUG, "%1: VNI BFD update from remote L2 state cache  %2", kPrefix,
                UuidOf(change.entry.objectId));
        HandleFib(change, _switchFibs, UserKind::kSwitch);
        break;
      case tv::ROUTING_DOMAIN_FIB:
        HandleFib(change, _domainFibs, UserKind::kRoutingDomain);
        break;
      case tv::L2_VTEP_GROUP:
        HandleVtepGroup(change);
        break;
      default:
        Logger(LOG_LEVEL_ERROR, "unexpected tolvar object type %1", change.entry.objectType)
            .AddTag("errorCode:LCP02203");
    }
  }
  Flush();
}

void BFDTableApp::OnL2RuntimeStateChanged(const StateCacheChangeList& changes, bool /*fullSync*/) {
  AgentLockGuard lock(AgentLock());
  for (const StateCacheChange& change : changes) {
    if (change.entry.objectType == tv::LOG_SWITCH_STATE) {
      QOR_LOG(LOG_LEVEL_DEBUG, "%1: VNI BFD update from local L2 state cache  %2", kPrefix,
              UuidOf(change.entry.objectId));
      HandleLocalVteps(change, _localSwitchVteps, UserKind::kSwitch);
    } else if (change.entry.objectType == tv::ROUTING_DOMAIN_VTEP) {
      HandleLocalVteps(change, _localDomainVteps, UserKind::kRoutingDomain);
    } else {
      Logger(LOG_LEVEL_ERROR, "unexpected tolvar object type %1", change.entry.objectType).AddTag("errorCode:LCP02203");
    }
  }
  Flush();
}

void BFDTableApp::HandleStateCacheVNIUpdate(uint32_t vni, const std::string& logicalSwitchUuid, bool joined) {
  AgentLockGuard lock(AgentLock());
  Logger(LOG_LEVEL_INFO, "%1: BFD handle the VNI join message", kPrefix);
  // The datapath's view of the switch's VNI must agree with the configuration's (the switch's UUID text).
  auto info = _switches.find(logicalSwitchUuid);
  if (info != _switches.end() && info->second.vni && *info->second.vni != vni) {
    Logger(LOG_LEVEL_WARN,
           joined ? "%1: Invalid operation to add logical switch(%2) to VNI(%3)"
                  : "%1: Invalid operation to delete logical switch(%2) to VNI(%3)",
           kPrefix, logicalSwitchUuid, vni);
  }
  // A leave takes the VNI's sessions out of the datapath; a join, the first or a later one (after a leave or a
  // datapath restart), gets every session the VNI carries, whatever was sent on it before.
  for (auto& [key, entry] : _table.entries()) {
    if (entry.sentVni == vni) entry.sentVni.reset();
  }
  if (!logicalSwitchUuid.empty()) _dirty.insert({UserKind::kSwitch, logicalSwitchUuid});
  Flush();
  if (joined) {
    Logger(LOG_LEVEL_INFO, "Sync BFD sessions to dataplane");
    ReconcileVnis({}, false, true);
  }
}

void BFDTableApp::HandleSwitchConfig(const StateCacheChange& change) {
  const std::string ls = UuidText(change.entry.objectId);
  const uint32_t property = static_cast<uint32_t>(change.entry.propertyType);
  const bool removal = change.IsRemoval();
  if (property == 0) {
    if (!removal) {
      _switches[ls];
      return;
    }
    SetRoutingDomain(ls, "");
    if (_switches[ls].vni) _recheckVnis.insert(*_switches[ls].vni);
    _switches.erase(ls);
    _dirty.insert({UserKind::kSwitch, ls});
    return;
  }
  tv::LogSwitchConfigMsg message;
  if (!removal && !message.ParseFromString(change.entry.value)) return;
  SwitchInfo& info = _switches[ls];
  switch (property) {
    case Property::LS_VNI: {
      std::optional<uint32_t> vni = removal || !message.has_vni() ? std::nullopt : std::optional(message.vni());
      if (info.vni && info.vni != vni) _recheckVnis.insert(*info.vni);
      if (vni) _newVnis = true;
      info.vni = vni;
      break;
    }
    case Property::LS_ROUTING_DOMAIN_ID:
      SetRoutingDomain(
          ls, removal || !message.has_routing_domain_id() ? std::string() : UuidMsgText(message.routing_domain_id()));
      break;
    case Property::LS_TYPE:
      info.evpn = !removal && message.has_type() && message.type() == kEvpnLogicalSwitchType;
      IsEVPNLogicalSwitch(ls);
      return;
    default:
      return;
  }
  _dirty.insert({UserKind::kSwitch, ls});
}

void BFDTableApp::SetRoutingDomain(const std::string& ls, const std::string& routingDomain) {
  SwitchInfo& info = _switches[ls];
  if (info.routingDomain == routingDomain) return;
  if (!info.routingDomain.empty()) {
    if (info.routingDomain == kNilId) {
      Logger(LOG_LEVEL_WARN, "BFDTable::UpdateRoutingDomainMap: invalid routingDomainID for LS %1, skip deleting", ls);
    } else {
      // The switch moves its sessions: both domains and the switch are recomputed, and the old domain's sessions
      // that its VNI carried move to another switch.
      if (info.vni) _recheckVnis.insert(*info.vni);
      auto found = _rdLSMap.find(info.routingDomain);
      if (found != _rdLSMap.end()) {
        found->second.erase(ls);
        if (found->second.empty()) {
          Logger(LOG_LEVEL_INFO, "%1: Delete the routingDomain ID %2", kPrefix, info.routingDomain);
          _rdLSMap.erase(found);
        }
      }
      _dirty.insert({UserKind::kRoutingDomain, info.routingDomain});
    }
  }
  info.routingDomain = routingDomain;
  _allSwitchesDirty = true;  // the VTEP-group labels of a domain reach its switches
  if (routingDomain.empty()) return;
  if (routingDomain == kNilId) {
    Logger(LOG_LEVEL_WARN, "BFDTable::UpdateRoutingDomainMap: invalid routingDomainID for LS %1, skip adding", ls);
    return;
  }
  auto [it, added] = _rdLSMap.try_emplace(routingDomain);
  if (added) Logger(LOG_LEVEL_INFO, "%1: Add a new routingDomain ID %2", kPrefix, routingDomain);
  it->second.insert(ls);
  _dirty.insert({UserKind::kRoutingDomain, routingDomain});
}

void BFDTableApp::HandleTransportNode(const StateCacheChange& change) {
  const std::string node = UuidText(change.entry.objectId);
  const uint32_t property = static_cast<uint32_t>(change.entry.propertyType);
  const bool removal = change.IsRemoval();
  tv::TransportNodeConfigMsg message;
  if (!removal && !message.ParseFromString(change.entry.value)) return;
  if (property == 0) {
    if (removal) {
      _transportSwitches.erase(node);
      _tnBfd.erase(node);
      if (_tnLabels.erase(node)) _allSwitchesDirty = true;
    }
    return;
  }
  switch (property) {
    case Property::TN_TRANSPORT_SWITCHES:
      if (removal) {
        _transportSwitches.erase(node);
        return;
      }
      _transportSwitches[node] = message.transport_switches();
      Logger(LOG_LEVEL_INFO, "Push down BFD config after receiving transport switch property");
      for (const tv::TransportSwitchMsg& hostSwitch : message.transport_switches().switches()) {
        PushBfdConfig(hostSwitch);
      }
      return;
    case Property::TN_BFD:
      if (removal) {
        _tnBfd.erase(node);
      } else {
        _tnBfd[node] = message.bfd();
      }
      return;
    case Property::TN_LABEL:
      if (removal || !message.has_label()) {
        _tnLabels.erase(node);
      } else {
        _tnLabels[node] = message.label();
      }
      _allSwitchesDirty = true;
      return;
    default:
      return;
  }
}

void BFDTableApp::HandleFib(const StateCacheChange& change, FibTables& tables, UserKind kind) {
  std::map<std::string, Fib>& fibs = tables.byId;
  const std::string id = UuidText(change.entry.objectId);
  const uint32_t property = static_cast<uint32_t>(change.entry.propertyType);
  const bool removal = change.IsRemoval();
  auto dirty = [&](const std::string& owner) {
    if (!owner.empty()) _dirty.insert({kind, owner});
  };
  if (property == 0) {
    auto found = fibs.find(id);
    std::string owner;
    if (!removal) {
      if (kind == UserKind::kSwitch) {
        tv::LogSwitchFibMsg message;
        if (message.ParseFromString(change.entry.value)) owner = UuidMsgText(message.logical_switch_id());
      } else {
        tv::RoutingDomainFibMsg message;
        if (message.ParseFromString(change.entry.value)) owner = UuidMsgText(message.routing_domain_id());
      }
    }
    if (found != fibs.end()) {
      const std::string& previous = found->second.owner;
      dirty(previous);
      if (!found->second.groupLabels.empty()) _allSwitchesDirty = true;
      auto owned = tables.byOwner.find(previous);
      if (owned != tables.byOwner.end() && owned->second.erase(id) && owned->second.empty()) {
        tables.byOwner.erase(owned);
      }
      if (removal) {
        fibs.erase(found);
        return;
      }
      found->second.owner = owner;
    } else if (!removal) {
      fibs[id].owner = owner;
    }
    if (!removal) tables.byOwner[owner].insert(id);
    dirty(owner);
    return;
  }
  auto found = fibs.find(id);
  if (found == fibs.end()) return;  // the elements of a removed table follow its removal
  Fib& fib = found->second;
  if (property == Property::L2_VTEP) {
    ApplyVtep(change, fib.vteps);
    dirty(fib.owner);
  } else if (property == Property::L2_VTEP_GROUP_LABEL) {
    tv::VtepGroupLabelMsg label;
    if (!label.ParseFromString(change.entry.value)) return;
    if (removal) {
      fib.groupLabels.erase(label.label());
    } else {
      fib.groupLabels[label.label()] = label.group_key();
    }
    _allSwitchesDirty = true;
  }
}

void BFDTableApp::HandleVtepGroup(const StateCacheChange& change) {
  const std::string id = UuidText(change.entry.objectId);
  const uint32_t property = static_cast<uint32_t>(change.entry.propertyType);
  _allSwitchesDirty = true;
  if (property == 0) {
    if (change.IsRemoval()) _vtepGroups.erase(id);
    return;
  }
  if (property != Property::L2_VTEP_GROUP) return;
  if (change.IsRemoval()) {
    _vtepGroups.erase(id);
    return;
  }
  tv::VtepGroupMsg group;
  if (!group.ParseFromString(change.entry.value)) return;
  auto& [key, members] = _vtepGroups[id];
  key = group.group_key();
  _changedGroupKeys.insert(key);
  members.clear();
  for (const tv::VtepMsg& message : group.vteps()) {
    BfdVtep vtep;
    if (ParseVtep(message, &vtep)) members.insert(vtep);
  }
}

void BFDTableApp::HandleLocalVteps(const StateCacheChange& change, std::map<std::string, std::set<BfdVtep>>& vteps,
                                   UserKind kind) {
  const std::string id = UuidText(change.entry.objectId);
  const uint32_t property = static_cast<uint32_t>(change.entry.propertyType);
  _dirty.insert({kind, id});
  if (property == 0) {
    // The runtime store reports an object's removal alone: its elements go with it.
    if (change.IsRemoval()) vteps.erase(id);
    return;
  }
  if (property != Property::L2_VTEP) return;
  std::set<BfdVtep>& set = vteps[id];
  ApplyVtep(change, set);
  if (set.empty()) vteps.erase(id);
}

void BFDTableApp::ApplyVtep(const StateCacheChange& change, std::set<BfdVtep>& vteps) {
  // The tables key a VTEP by its label: an insertion under a label that was there replaces the old element.
  BfdVtep vtep;
  if (change.hasOld && ParseVtep(change.oldValue, &vtep)) vteps.erase(vtep);
  if (!ParseVtep(change.entry.value, &vtep)) return;
  if (change.IsRemoval()) {
    vteps.erase(vtep);
  } else {
    vteps.insert(vtep);
  }
}

// ---- Sessions -----------------------------------------------------------------------------------------------------

void BFDTableApp::RebuildGroupMaps() {
  std::map<uint32_t, std::set<std::string>> vgLSMap;
  for (const auto& [id, fib] : _domainFibs.byId) {
    auto switches = _rdLSMap.find(fib.owner);
    if (switches == _rdLSMap.end()) {
      for (const auto& [label, groupKey] : fib.groupLabels) {
        QOR_LOG(LOG_LEVEL_INFO, "%1: There is no vgLabel mapping to logical switch for vgLabel: %2", kPrefix, label);
      }
      continue;
    }
    for (const auto& [label, groupKey] : fib.groupLabels)
      vgLSMap[label].insert(switches->second.begin(), switches->second.end());
  }
  auto text = [](const std::set<std::string>& switches) {
    std::string out;
    for (const std::string& ls : switches) out += (out.empty() ? "" : ",") + ls;
    return out;
  };
  for (const auto& [label, switches] : _vgLSMap) {
    auto now = vgLSMap.find(label);
    if (now == vgLSMap.end() || now->second != switches) {
      Logger(LOG_LEVEL_INFO, "%1: Update _vgLSMap, vgLabel: %2, lsStr: %3, op: %4", kPrefix, label, text(switches),
             "delete");
    }
  }
  for (const auto& [label, switches] : vgLSMap) {
    auto before = _vgLSMap.find(label);
    if (before == _vgLSMap.end() || before->second != switches) {
      Logger(LOG_LEVEL_INFO, "%1: Update _vgLSMap, vgLabel: %2, lsStr: %3, op: %4", kPrefix, label, text(switches),
             "add");
    }
  }
  _vgLSMap = std::move(vgLSMap);
  _lsVGMap.clear();
  for (const auto& [label, switches] : _vgLSMap) {
    for (const std::string& ls : switches) _lsVGMap.try_emplace(ls, label);  // the lowest label of a switch
  }
}

std::optional<std::set<BfdVtep>> BFDTableApp::GroupMembers(uint32_t label) const {
  std::optional<uint64_t> groupKey;
  for (const auto& [id, fib] : _domainFibs.byId) {
    auto found = fib.groupLabels.find(label);
    if (found != fib.groupLabels.end()) groupKey = found->second;
  }
  const std::set<BfdVtep>* members = nullptr;
  for (const auto& [id, group] : _vtepGroups) {
    if (groupKey && group.first == *groupKey) members = &group.second;
  }
  if (!members) {
    Logger(LOG_LEVEL_ERROR, "%1: VTEP GROUP (%2) msg cannot be found from desired state cache", kPrefix, label)
        .AddTag("errorCode:LCP02204");
    return std::nullopt;
  }
  bool tnLabel = false;
  for (const auto& [node, nodeLabel] : _tnLabels) tnLabel = tnLabel || nodeLabel == label;
  if (!tnLabel) {
    Logger(LOG_LEVEL_ERROR, "%1: this label: %2 is not TN TEP group label, MP should pass a correct one.", kPrefix,
           label)
        .AddTag("errorCode:LCP02204");
    return std::nullopt;
  }
  if (members->empty()) {
    Logger(LOG_LEVEL_WARN, "vtep list of VtepGroupMsg is empty");
    return std::nullopt;
  }
  return *members;
}

std::set<BfdVtep> BFDTableApp::RemoteVteps(const FibTables& tables, const std::string& owner) const {
  std::set<BfdVtep> out;
  auto owned = tables.byOwner.find(owner);
  if (owned == tables.byOwner.end()) return out;
  for (const std::string& id : owned->second) {
    const Fib& fib = tables.byId.at(id);
    out.insert(fib.vteps.begin(), fib.vteps.end());
  }
  return out;
}

void BFDTableApp::AddPairs(const std::set<BfdVtep>& local, const std::set<BfdVtep>& remote, uint32_t sessionType,
                           const BfdReference& reference, uint32_t tnVgLabel, std::set<Contribution>& out) const {
  // Sessions run between endpoints of one address family.
  for (const BfdVtep& l : local) {
    for (const BfdVtep& r : remote) {
      if (l.ip.isIPv6 == r.ip.isIPv6) out.insert({BfdSessionKey{l, r, sessionType}, reference, tnVgLabel});
    }
  }
}

std::set<BFDTableApp::Contribution> BFDTableApp::Wanted(const User& user) {
  std::set<Contribution> out;
  const std::string& id = user.second;
  if (user.first == UserKind::kRoutingDomain) {
    if (id == kGlobalRoutingDomainId) {
      Logger(LOG_LEVEL_INFO, "BFDTable::RoutingDomainBasedBFDLocalL2CacheUpdate: Skip global routing domain");
      return out;
    }
    auto local = _localDomainVteps.find(id);
    if (local == _localDomainVteps.end()) return out;
    if (!_rdLSMap.count(id)) {
      Logger(LOG_LEVEL_INFO, "%1: No such routing domain exiting for the RD: %2", kPrefix, id);
      return out;
    }
    AddPairs(local->second, RemoteVteps(_domainFibs, id), kBfdTunnelSession, {id, id}, 0, out);
    return out;
  }
  auto local = _localSwitchVteps.find(id);
  if (local == _localSwitchVteps.end()) return out;
  auto group = _lsVGMap.find(id);
  if (group != _lsVGMap.end()) {
    if (auto members = GroupMembers(group->second)) {
      AddPairs(local->second, *members, kBfdVtepGroupSession, {id, std::to_string(group->second)}, group->second, out);
      return out;
    }
  }
  auto info = _switches.find(id);
  const std::string domain = info == _switches.end() ? std::string() : info->second.routingDomain;
  if (domain == kGlobalRoutingDomainId) return out;  // global routing domain members make no sessions
  const BfdReference reference{id, domain.empty() || domain == kNilId ? id : domain};
  AddPairs(local->second, RemoteVteps(_switchFibs, id), kBfdTunnelSession, reference, 0, out);
  return out;
}

void BFDTableApp::Flush() {
  const bool recheckAll = _allSwitchesDirty;
  if (_allSwitchesDirty) {
    _allSwitchesDirty = false;
    RebuildGroupMaps();
    // A group that changed must reach a switch through the labels that name it.
    for (const auto& [id, fib] : _domainFibs.byId) {
      for (const auto& [label, groupKey] : fib.groupLabels) {
        if (_changedGroupKeys.count(groupKey) && !_vgLSMap.count(label)) {
          Logger(LOG_LEVEL_ERROR, "%1: Failed to get logical switch from _lsVGMap, vgLabel: %2", kPrefix, label)
              .AddTag("errorCode:LCP02206");
        }
      }
    }
    _changedGroupKeys.clear();
    for (const auto& [user, contributions] : _contributions) {
      if (user.first == UserKind::kSwitch) _dirty.insert(user);
    }
    for (const auto& [ls, vteps] : _localSwitchVteps) _dirty.insert({UserKind::kSwitch, ls});
  }
  std::set<User> dirty;
  dirty.swap(_dirty);
  for (const User& user : dirty) {
    std::set<Contribution> wanted = Wanted(user);
    std::set<Contribution>& held = _contributions[user];
    std::vector<Contribution> removed;
    std::vector<Contribution> added;
    std::set_difference(held.begin(), held.end(), wanted.begin(), wanted.end(), std::back_inserter(removed));
    std::set_difference(wanted.begin(), wanted.end(), held.begin(), held.end(), std::back_inserter(added));
    auto apply = [&](const Contribution& c, BfdSessionOp op) {
      if (user.first == UserKind::kSwitch && c.reference.remoteId != user.second) {
        const char* format =
            c.key.sessionType == kBfdVtepGroupSession
                ? "%1: VNIBasedBFDLocalL2CacheUpdate: Update BFD session (%2 -> %3) for vni :%4 -> VTEP group label "
                  ":%5 , op: %6"
                : "%1: VNIBasedBFDLocalL2CacheUpdate: Update BFD session (%2 -> %3) for vni :%4 -> RD:%5 op: %6";
        QOR_LOG(LOG_LEVEL_DEBUG, format, kPrefix, BfdAddressText(c.key.local.ip), BfdAddressText(c.key.remote.ip),
                user.second, c.reference.remoteId, OpText(op));
      }
      BfdTableUpdate update{op, c.reference.localId, c.reference.remoteId, c.key.sessionType, c.tnVgLabel};
      if (!UpdateBFDTable(c.key.local, c.key.remote, update)) return;
      if (op == BfdSessionOp::kAdd) {
        held.insert(c);
      } else {
        held.erase(c);
      }
    };
    for (const Contribution& c : removed) apply(c, BfdSessionOp::kDelete);
    for (const Contribution& c : added) apply(c, BfdSessionOp::kAdd);
    if (held.empty()) _contributions.erase(user);
  }
  std::set<uint32_t> recheck;
  recheck.swap(_recheckVnis);
  const bool newVnis = _newVnis;
  _newVnis = false;
  ReconcileVnis(recheck, recheckAll, newVnis);
}

bool BFDTableApp::UpdateBFDTable(const BfdVtep& local, const BfdVtep& remote, const BfdTableUpdate& update) {
  AgentLockGuard lock(AgentLock());
  QOR_LOG(LOG_LEVEL_DEBUG,
          "UpdateBFDTable for Local IP : %1, RemoteIP : %2, local isIPv4 : %3, local isIPv6 : %4 remote isIPv4 : %5, "
          "remote isIPv6 : %6, op : %7, localID: %8, remoteID: %9",
          BfdAddressText(local.ip), BfdAddressText(remote.ip), !local.ip.isIPv6, local.ip.isIPv6, !remote.ip.isIPv6,
          remote.ip.isIPv6, OpText(update.op), update.localId, update.remoteId);
  const BfdSessionKey key{local, remote, update.sessionType};
  const BfdReference reference{update.localId, update.remoteId};
  if (update.op == BfdSessionOp::kAdd) {
    BfdTableResult result = _table.Add(key, reference, update.tnVgLabel);
    if (result == BfdTableResult::kRefused) return false;
    BfdTableEntry& entry = *_table.Find(key);
    if (result == BfdTableResult::kCreated) {
      UpdateToBFDSessionInDataplane(key, entry, BfdSessionOp::kAdd, CarrierVni(key, reference, BfdSessionOp::kAdd));
    } else {
      Reconcile(key, entry);  // the new user may carry a session that none carried
    }
    return true;
  }
  BfdTableEntry* entry = _table.Find(key);
  // What the removal of the entry needs, without its users (a shared session has many).
  BfdTableEntry removed;
  if (entry) {
    removed.tnVgLabel = entry->tnVgLabel;
    removed.sentVni = entry->sentVni;
  }
  BfdTableResult result = _table.Delete(key, reference);
  if (result == BfdTableResult::kRefused) return false;
  if (result == BfdTableResult::kErased) {
    if (removed.sentVni) UpdateToBFDSessionInDataplane(key, removed, BfdSessionOp::kDelete, removed.sentVni);
  } else {
    Reconcile(key, *entry);  // the user that left may have been the one whose VNI carried the session
  }
  return true;
}

bool BFDTableApp::ForEachCarrier(const BfdSessionKey& key, const BfdReference& reference,
                                 const std::function<bool(const SwitchInfo&)>& visit) const {
  auto visitSwitch = [&](const std::string& ls) {
    auto info = _switches.find(ls);
    return info != _switches.end() && visit(info->second);
  };
  const std::set<std::string>* switches = nullptr;
  if (key.sessionType == kBfdVtepGroupSession) {
    uint32_t label = 0;
    const char* end = reference.remoteId.data() + reference.remoteId.size();
    auto parsed = std::from_chars(reference.remoteId.data(), end, label);
    if (parsed.ec != std::errc() || parsed.ptr != end) return false;
    auto found = _vgLSMap.find(label);
    if (found == _vgLSMap.end()) return false;
    switches = &found->second;
  } else if (auto domain = _rdLSMap.find(reference.localId); domain != _rdLSMap.end()) {
    switches = &domain->second;
  } else {
    visitSwitch(reference.localId);  // a switch's own session
    return true;
  }
  for (const std::string& ls : *switches) {
    if (visitSwitch(ls)) break;
  }
  return true;
}

std::optional<uint32_t> BFDTableApp::CarrierVni(const BfdSessionKey& key, const BfdReference& reference,
                                                BfdSessionOp op, bool log) const {
  std::optional<uint32_t> vni;
  const bool known = ForEachCarrier(key, reference, [&vni](const SwitchInfo& info) {
    vni = info.vni;
    return vni.has_value();
  });
  if (vni || !log) return vni;
  const bool group = key.sessionType == kBfdVtepGroupSession;
  std::string format =
      std::string(
          "%1: UpdateToBFDSessionInDataplane cannot send BFD session update msg to datapath, (%2 -> %3) for "
          "local:%4(LS) --> remote:%5(") +
      (group ? "vgLabel" : "LS") + ") op:%6";
  if (known) {
    format += ".Cannot get VNI by logical switch.";
  } else {
    format += ". Cannot get logical switch iterator pair by VTEP group label.";
  }
  Logger(LOG_LEVEL_ERROR, format.c_str(), kPrefix, BfdAddressText(key.local.ip), BfdAddressText(key.remote.ip),
         reference.localId, reference.remoteId, OpText(op))
      .AddTag(known ? "errorCode:LCP02201" : "errorCode:LCP02202");
  return std::nullopt;
}

bool BFDTableApp::Carries(const BfdSessionKey& key, const BfdTableEntry& entry, uint32_t vni) const {
  bool carries = false;
  for (const BfdReference& reference : entry.references) {
    ForEachCarrier(key, reference, [&](const SwitchInfo& info) { return carries = info.vni == vni; });
    if (carries) return true;
  }
  return false;
}

void BFDTableApp::Reconcile(const BfdSessionKey& key, BfdTableEntry& entry) {
  if (entry.sentVni && Carries(key, entry, *entry.sentVni)) return;
  // No switch of the session's users has that VNI any more: the session moves to one that has, if any.
  if (entry.sentVni) UpdateToBFDSessionInDataplane(key, entry, BfdSessionOp::kDelete, entry.sentVni);
  for (const BfdReference& reference : entry.references) {
    if (std::optional<uint32_t> vni = CarrierVni(key, reference, BfdSessionOp::kAdd, false)) {
      UpdateToBFDSessionInDataplane(key, entry, BfdSessionOp::kAdd, vni);
      return;
    }
  }
}

void BFDTableApp::ReconcileVnis(const std::set<uint32_t>& sentOn, bool allSent, bool unsent) {
  if (sentOn.empty() && !allSent && !unsent) return;
  for (auto& [key, entry] : _table.entries()) {
    const bool check = entry.sentVni ? allSent || sentOn.count(*entry.sentVni) > 0 : unsent;
    if (check) Reconcile(key, entry);
  }
}

void BFDTableApp::UpdateToBFDSessionInDataplane(const BfdSessionKey& key, BfdTableEntry& entry, BfdSessionOp op,
                                                std::optional<uint32_t> vni) {
  if (!vni || !_c.dataplane) return;
  BfdSessionUpdate update;
  update.op = op;
  update.vni = *vni;
  update.localIp = key.local.ip;
  update.remoteIp = key.remote.ip;
  update.localLabel = key.local.label;
  update.remoteLabel = key.remote.label;
  update.sessionType = key.sessionType;
  update.tnVgLabel = entry.tnVgLabel;
  if (!_c.dataplane->SendBfdSession(update)) {
    Logger(LOG_LEVEL_ERROR,
           "%1: UpdateToBFDSessionInDataplane failed to send BFD session update msg to datapath, (%2 -> %3) vni: %4 "
           "op:%5",
           kPrefix, BfdAddressText(key.local.ip), BfdAddressText(key.remote.ip), *vni, OpText(op))
        .AddTag("errorCode:LCP02201");
    return;
  }
  QOR_LOG(LOG_LEVEL_INFO,
          "%1: UpdateToBFDSessionInDataplane: sent BFD session (%2 -> %3) label %4 -> %5 type %6 vni: %7 op:%8",
          kPrefix, BfdAddressText(key.local.ip), BfdAddressText(key.remote.ip), key.local.label, key.remote.label,
          key.sessionType, *vni, OpText(op));
  if (op == BfdSessionOp::kAdd) {
    entry.sentVni = vni;
  } else {
    entry.sentVni.reset();
  }
}

// ---- Configuration ------------------------------------------------------------------------------------------------

void BFDTableApp::PushBfdConfig(const tv::TransportSwitchMsg& hostSwitch) {
  if (hostSwitch.transport_zone_ids().empty()) {
    Logger(LOG_LEVEL_INFO, "BFDPB2TLV, Exit, empty transport zone, skipping");
    return;
  }
  const std::string zone = UuidMsgText(hostSwitch.transport_zone_ids(0));
  auto found = _zoneBfd.find(zone);
  if (found == _zoneBfd.end()) {
    Logger(LOG_LEVEL_INFO, "BFDPB2TLV, Exit, transport zone %1 not found in cache, skipping", zone);
    return;
  }
  const tv::BfdGlobalConfigMsg& settings = found->second;
  BfdHostSwitchConfig config;
  for (int i = 0; i < 8; ++i) {
    config.dvsUuid[i] = static_cast<uint8_t>(hostSwitch.host_switch_id().high() >> (56 - 8 * i));
    config.dvsUuid[8 + i] = static_cast<uint8_t>(hostSwitch.host_switch_id().low() >> (56 - 8 * i));
  }
  config.flags = settings.flags();
  config.enabled = settings.enabled();
  config.vtepHealthInterval = settings.vtep_health_interval();
  config.latencyEnabled = settings.latency_enabled();
  Logger(LOG_LEVEL_INFO,
         "BFDPB2TLV, Exit, sending dvsUUID: %1, flags: %2, enabled: %3, vtep_health_interval: %4, latency_enable: %5",
         UuidMsgText(hostSwitch.host_switch_id()), config.flags, config.enabled, config.vtepHealthInterval,
         config.latencyEnabled);
  if (_c.dataplane && !_c.dataplane->SendBfdConfig(config)) {
    Logger(LOG_LEVEL_ERROR, "%1: failed to send the BFD config of host switch %2", kPrefix,
           UuidMsgText(hostSwitch.host_switch_id()))
        .AddTag("errorCode:LCP02201");
  }
}

bool BFDTableApp::IsEVPNLogicalSwitch(const std::string& ls) const {
  auto found = _switches.find(ls);
  if (found == _switches.end()) {
    QOR_LOG(LOG_LEVEL_DEBUG, "IsEVPNLogicalSwitch: logical switch ID %1is not found", ls);
    return false;
  }
  if (found->second.evpn) {
    QOR_LOG(LOG_LEVEL_DEBUG, "IsEVPNLogicalSwitch: logical switch ID %1is for EVPN", ls);
  } else {
    QOR_LOG(LOG_LEVEL_DEBUG, "IsEVPNLogicalSwitch: logical switch ID %1is not for EVPN", ls);
  }
  return found->second.evpn;
}

void BFDTableApp::PushEvpnBfdConfig() {
  bool evpn = false;
  for (const auto& [ls, info] : _switches) evpn = evpn || info.evpn;
  if (!evpn || _tnBfd.empty()) return;
  const tv::TnBfdMsg& settings = _tnBfd.begin()->second;
  EvpnBfdConfig config;
  config.enabled = settings.enabled();
  config.vtepHealthInterval = settings.interval();
  config.multiplier = settings.multiplier();
  if (_sentEvpn && _sentEvpn->flags == config.flags && _sentEvpn->enabled == config.enabled &&
      _sentEvpn->vtepHealthInterval == config.vtepHealthInterval && _sentEvpn->multiplier == config.multiplier) {
    return;
  }
  Logger(LOG_LEVEL_INFO,
         "BFDPB2TLV for EVPN BFD conifg, sending flags: %1, enabled: %2, vtep_health_interval: %3, multiple: %4",
         config.flags, config.enabled, config.vtepHealthInterval, config.multiplier);
  if (_c.dataplane && _c.dataplane->SendEvpnBfdConfig(config)) {
    _sentEvpn = config;
  } else {
    Logger(LOG_LEVEL_ERROR, "%1: failed to send the EVPN BFD config", kPrefix).AddTag("errorCode:LCP02201");
  }
}

qor::ovs::UnixctlReply BFDTableApp::HandleCliCommand(const std::vector<std::string>& /*argv*/) {
  AgentLockGuard lock(AgentLock());
  std::ostringstream out;
  out << _table.Dump();
  out << "BFD settings per transport zone: " << _zoneBfd.size() << "\n";
  for (const auto& [zone, config] : _zoneBfd) {
    out << zone << " flags " << config.flags() << " enabled " << (config.enabled() ? "true" : "false")
        << " vtep_health_interval " << config.vtep_health_interval() << " latency_enable "
        << (config.latency_enabled() ? "true" : "false") << "\n";
  }
  return qor::ovs::UnixctlReply::Ok(out.str());
}

}  // namespace VevUroro
