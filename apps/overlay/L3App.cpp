// The L3 application: desired state in, router TLVs out. The kernel side (requests, DAD reports) is in
// L3AppKernel.cpp.
#include "apps/overlay/L3App.h"

#include <algorithm>
#include <cstring>

#include "apps/config/AddressBytes.h"
#include "apps/config/UuidText.h"
#include "core/AgentLock.h"
#include "core/Logger.h"
#include "dataplane/DataplaneTkmlink.h"
#include "dataplane/router/VdrDumper.h"
#include "intake/TypeNames.h"
#include "zantix/qor/tolvar/config.pb.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace VevUroro {

namespace tv = zantix::qor::tolvar;
using namespace router;

namespace {

constexpr const char* kApp = "L3App";

constexpr uint32_t kL3Types[] = {tv::LOG_ROUTER_CONFIG,
                                 tv::LOG_ROUTER_PORT_CONFIG,
                                 tv::FIB,
                                 tv::ARP_TABLE_CONFIG,
                                 tv::PREFIX_LIST,
                                 tv::MULTICAST_CONFIG,
                                 tv::MULTICAST_STATIC_ROUTE,
                                 tv::NDRA_PROFILE_CONFIG,
                                 tv::DAD_PROFILE_CONFIG,
                                 tv::LOG_ROUTER_PORT_FIB_DAD_STATE,
                                 tv::LOG_ROUTER_PORT_DAD_REQUEST,
                                 tv::GLOBAL_CONFIG,
                                 tv::BARRIER};
constexpr uint32_t kConfigTypes[] = {tv::LOG_SWITCH_CONFIG, tv::LOG_SWITCH_PORT_CONFIG};

// Database enumerations of router ports.
constexpr uint32_t kPortDownlink = 1;
constexpr uint32_t kPortUplink = 2;
constexpr uint32_t kPortRouterLink = 3;
constexpr uint32_t kPortLoopback = 4;
constexpr uint32_t kBindingTypeVlan = 2;
constexpr uint32_t kReplicationSource = 2;  // replication modes: 0 not set, 1 MTEP, 2 source
constexpr uint32_t kPrefixPermit = 1;
constexpr uint32_t kPrefixDenyAction = 2;

std::string Key(const tv::UuidMsg& id) {
  return id.SerializeAsString();
}
// Object ids of the tables, in the form Key() gives (the tables keep what the decoder produced).
std::string CanonicalId(const std::string& id) {
  tv::UuidMsg uuid;
  return uuid.ParseFromString(id) ? uuid.SerializeAsString() : id;
}
std::string LifName(const std::string& portId) {
  return UuidText(portId);
}

bool ToAddress(const tv::IpAddressMsg& ip, VdrAddress* out) {
  if (ip.has_ipv4()) {
    out->family = kFamilyIpv4;
  } else if (ip.has_ipv6() && ip.ipv6().size() == 16) {
    out->family = kFamilyIpv6;
  } else {
    return false;
  }
  WriteIpBytes(ip, out->bytes.data());
  return true;
}
// An address with a prefix length its family allows.
bool ToPrefix(const tv::IpPrefixMsg& prefix, VdrPrefix* out) {
  if (!ToAddress(prefix.address(), &out->address)) return false;
  if (prefix.prefix_length() > (out->address.family == kFamilyIpv4 ? 32u : 128u)) return false;
  out->length = static_cast<uint8_t>(prefix.prefix_length());
  return true;
}
std::string AddressText(const VdrAddress& address) {
  return address.family == kFamilyIpv4 ? Ipv4Text(address.bytes.data()) : Ipv6Text(address.bytes.data());
}
std::string PrefixText(const VdrPrefix& prefix) {
  return AddressText(prefix.address) + "/" + std::to_string(prefix.length);
}

// Adds first, then deletes, as the kernel applies them: a delete whose key is also added would remove the
// replacement, and a delete of what is not installed is pointless; both are dropped.
template <typename Item, typename KeyOf>
void PruneDeletes(const std::vector<Item>& added, std::vector<Item>& deleted, const std::set<Item>& installed,
                  KeyOf keyOf, const std::function<void(const Item&)>& onReAdded,
                  const std::function<void(const Item&)>& onAbsent) {
  std::vector<Item> kept;
  for (const Item& item : deleted) {
    bool readded = std::any_of(added.begin(), added.end(), [&](const Item& a) { return keyOf(a) == keyOf(item); });
    if (readded) {
      onReAdded(item);
    } else if (!installed.count(item)) {
      onAbsent(item);
    } else {
      kept.push_back(item);
    }
  }
  deleted.swap(kept);
}

// The FIB and ARP tables come as scalar properties (set or cleared) and list elements (inserted or removed); a
// change of another property, or of a known one by the other kind of operation, is logged and not acted upon.
bool KnownElementChange(const StateCacheChange& change) {
  uint32_t scalar = 0, list = 0;
  const char* unknownOperation = nullptr;
  const char* unknownProperty = nullptr;
  if (change.entry.objectType == tv::FIB) {
    unknownOperation = "fib unknown operation %1";
    unknownProperty = "fib unknown property type %1";
    list = tv::Property::L3_FIB_NEXT_HOP;
  } else if (change.entry.objectType == tv::ARP_TABLE_CONFIG) {
    unknownOperation = "arp table config unknown operation %1";
    unknownProperty = "arp table config unknown property type %1";
    scalar = tv::Property::L3_ARP_ROUTER_PORT_ID;
    list = tv::Property::L3_ARP_ENTRY;
  } else {
    return true;
  }
  const uint32_t property = static_cast<uint32_t>(change.entry.propertyType);
  const int32_t op = change.entry.operation;
  const bool scalarOp = op == TolvarUpdateMsg::OP_SET || op == TolvarUpdateMsg::OP_CLEAR;
  const bool elementOp = op == TolvarUpdateMsg::OP_INSERT || op == TolvarUpdateMsg::OP_REMOVE;
  const bool isScalar = property == scalar ||
                        (change.entry.objectType == tv::FIB &&
                         (property == tv::Property::L3_FIB_ROUTER_ID || property == tv::Property::L3_FIB_IP_PREFIX));
  if (!isScalar && property != list) {
    Logger(LOG_LEVEL_ERROR, unknownProperty, property).AddTag("errorCode:LCP00905");
    return false;
  }
  if (isScalar ? !scalarOp : !elementOp) {
    Logger(LOG_LEVEL_ERROR, unknownOperation, op).AddTag("errorCode:LCP00905");
    return false;
  }
  return true;
}

}  // namespace

L3App::L3App(Collaborators collaborators)
    : _c(std::move(collaborators)), _builder([this](uint8_t* message, size_t length) { Send(message, length); }) {
  if (!_c.links) _c.links = TkmlinkFactory();
}

L3App::~L3App() {
  _target->Detach();
}

bool L3App::Start(const ConfigTree& subtree) {
  auto l3 = subtree.get_child_optional("l3");
  auto channel = l3 ? l3->get_optional<std::string>("tkmlink.path") : boost::none;
  if (!channel || channel->empty()) {
    Logger(LOG_LEVEL_ERROR, "%1: no kernel channel configured (l3.tkmlink.path)", kApp).AddTag("errorCode:LCP00920");
    return false;
  }
  _softRss = l3->get<bool>("features.softRSS.enabled", true);
  Logger(LOG_LEVEL_INFO, "%1: VDR SoftRSS status %2", kApp, _softRss ? "true" : "false");
  _link = MakeOwnedLink(_c.links, *channel, _target, &L3App::OnVdrMessage, &L3App::OnLinkStatus, kLinkBufferSize);
  _link->Start();
  for (uint32_t type : kL3Types) _c.l3Table->RegisterDesiredStateObserver(type, this);
  for (uint32_t type : kConfigTypes) _c.configTable->RegisterDesiredStateObserver(type, this);
  _registered = true;
  return true;
}

void L3App::Stop() {
  Logger(LOG_LEVEL_INFO, "%1: stop", kApp);
  if (_registered) {
    for (uint32_t type : kL3Types) _c.l3Table->UnregisterDesiredStateObserver(type, this);
    for (uint32_t type : kConfigTypes) _c.configTable->UnregisterDesiredStateObserver(type, this);
    _registered = false;
  }
  {
    AgentLockGuard lock(AgentLock());
    _stopped = true;
  }
  CloseLink(_link.get());  // not under the agent lock
  _target->Detach();
}

bool L3App::InitialSyncDone() const {
  AgentLockGuard lock(AgentLock());
  return _initialSync;
}

uint32_t L3App::PrefixListReferences(const std::string& prefixListId) const {
  AgentLockGuard lock(AgentLock());
  auto it = _prefixLists.find(CanonicalId(prefixListId));
  return it == _prefixLists.end() ? 0 : static_cast<uint32_t>(it->second.holders.size());
}

void L3App::Send(uint8_t* message, size_t length) {
  QOR_LOG(LOG_LEVEL_DEBUG, "%1: send a message to the dataplane, len: %2", kApp, length);
  DumpVdrMessage(LOG_LEVEL_DEBUG, message, length);
  // Once the link has dropped, the full sync at its reconnect carries the whole desired state: a delta queued
  // meanwhile would only grow the queue for as long as the kernel is away.
  if (!_link || (_linkWasUp && !_linkUp)) {
    if (_link && _droppedWhileDown++ == 0) {
      Logger(LOG_LEVEL_INFO, "%1: tkmlink down, updates are not queued until the full sync at reconnect", kApp);
    }
    std::free(message);
    return;
  }
  _link->Send(message);
}

void L3App::EndBatch() {
  const size_t payload = _builder.TakePayloadBytes();
  _builder.Flush();
  if (payload > 0) Logger(LOG_LEVEL_INFO, "%1: Send Update to dataplane, payload len: %2", kApp, payload);
}

void L3App::SendBarrier() {
  tv::BarrierMsg barrier;
  if (!_c.l3Table->QueryBarrier(&barrier) || !barrier.has_barrier_number()) return;
  Logger(LOG_LEVEL_INFO, "%1: send barrier version %2", kApp, barrier.barrier_number());
  _builder.Barrier(barrier.barrier_number());
  _builder.Flush();
}

// ---- Desired-state notifications ----

void L3App::OnL3DesiredStateChanged(const StateCacheChangeList& changes, bool) {
  AgentLockGuard lock(AgentLock());
  if (_stopped) return;
  if (!_initialSync) {
    _initialSync = true;
    FullSyncL3();
    return;
  }
  // Read every touched object first, so that a parent and its children arriving together are reconciled in
  // dependency order, whatever the order of the changes.
  std::vector<std::pair<uint32_t, std::string>> touched;
  std::set<std::pair<uint32_t, std::string>> seen;
  std::set<std::string> removedRouters;  // a delete of a router the kernel never held is logged
  for (const StateCacheChange& change : changes) {
    const uint32_t type = static_cast<uint32_t>(change.entry.objectType);
    if (!KnownElementChange(change)) continue;
    std::string id = CanonicalId(change.entry.objectId);
    if (type == tv::LOG_ROUTER_CONFIG && change.IsRemoval()) removedRouters.insert(id);
    if (!seen.insert({type, id}).second) {
      if (type == tv::MULTICAST_STATIC_ROUTE) ReadMulticastRoute(id, &change);
      continue;
    }
    touched.emplace_back(type, id);
    Refresh(type, id, &change);
  }
  static constexpr uint32_t kOrder[] = {tv::GLOBAL_CONFIG,
                                        tv::PREFIX_LIST,
                                        tv::DAD_PROFILE_CONFIG,
                                        tv::MULTICAST_CONFIG,
                                        tv::NDRA_PROFILE_CONFIG,
                                        tv::LOG_ROUTER_CONFIG,
                                        tv::LOG_ROUTER_PORT_CONFIG,
                                        tv::FIB,
                                        tv::ARP_TABLE_CONFIG,
                                        tv::MULTICAST_STATIC_ROUTE,
                                        tv::LOG_ROUTER_PORT_FIB_DAD_STATE};
  bool barrier = false;
  for (uint32_t type : kOrder) {
    for (const auto& [t, id] : touched) {
      if (t != type) continue;
      switch (type) {
        case tv::GLOBAL_CONFIG: {
          tv::GlobalConfigMsg global;
          ReconcileGlobal(!_c.l3Table->QueryGlobalConfig(&global));
          break;
        }
        case tv::PREFIX_LIST:
          ReconcilePrefixList(id);
          break;
        case tv::DAD_PROFILE_CONFIG:
        case tv::MULTICAST_CONFIG:
          for (auto& [routerId, router] : _routers) {
            if (!router.desired) continue;
            const tv::UuidMsg& ref = type == tv::DAD_PROFILE_CONFIG ? router.desired->dad_profile_id()
                                                                    : router.desired->multicast_config_id();
            if (Key(ref) == id) ReconcileRouter(routerId);
          }
          break;
        case tv::NDRA_PROFILE_CONFIG:
          for (auto& [portId, port] : _ports) {
            if (!port.installed || !port.desired) continue;
            const auto router = _routers.find(port.routerId);
            if (router != _routers.end() && NdraProfileOf(router->second) == id) ReconcileNdra(portId);
          }
          break;
        case tv::LOG_ROUTER_CONFIG:
          if (removedRouters.count(id) && !_routers[id].installed) {
            Logger(LOG_LEVEL_ERROR, "%1: LR %2 (vdr %3) delete not found in LR to LRP map", kApp, UuidOf(id),
                   _routers[id].instance.vdrId)
                .AddTag("errorCode:LCP00029");
          }
          ReconcileRouter(id);
          break;
        case tv::LOG_ROUTER_PORT_CONFIG:
          ReconcilePort(id);
          break;
        case tv::FIB:
          ReconcileFib(id);
          break;
        case tv::ARP_TABLE_CONFIG:
          ReconcileArp(id);
          break;
        case tv::MULTICAST_STATIC_ROUTE:
          ReconcileMulticastRoute(id);
          break;
        case tv::LOG_ROUTER_PORT_FIB_DAD_STATE:
          ReconcileDad(id);
          break;
      }
    }
  }
  for (const auto& item : touched) barrier = barrier || item.first == tv::BARRIER;
  EndBatch();
  if (barrier) SendBarrier();
}

void L3App::Refresh(uint32_t objectType, const std::string& id, const StateCacheChange* change) {
  const UuidOf text(id);
  switch (objectType) {
    case tv::LOG_ROUTER_CONFIG:
      ReadRouter(id);
      break;
    case tv::LOG_ROUTER_PORT_CONFIG:
      ReadPort(id);
      break;
    case tv::FIB:
      ReadFib(id);
      break;
    case tv::ARP_TABLE_CONFIG:
      ReadArpTable(id);
      break;
    case tv::MULTICAST_STATIC_ROUTE:
      Logger(LOG_LEVEL_DEBUG, "Desired state update for Multicast Static Route %1", text);
      ReadMulticastRoute(id, change);
      break;
    case tv::GLOBAL_CONFIG:
      Logger(LOG_LEVEL_DEBUG, "Desired state update for Global config %1", text);
      break;
    case tv::MULTICAST_CONFIG:
      Logger(LOG_LEVEL_DEBUG, "Desired state update for Multicast config %1", text);
      break;
    case tv::DAD_PROFILE_CONFIG:
      Logger(LOG_LEVEL_DEBUG, "Desired state update for Dad Config %1", text);
      break;
    case tv::LOG_ROUTER_PORT_FIB_DAD_STATE:
      Logger(LOG_LEVEL_DEBUG, "Desired state update for Dad Status %1", text);
      break;
    case tv::LOG_ROUTER_PORT_DAD_REQUEST:
      Logger(LOG_LEVEL_DEBUG, "Desired state update for Dad Request %1", text);
      break;
    default:
      break;
  }
}

std::set<std::string> L3App::AttachedRouterPorts(const StateCacheChange& change, const std::string& id) const {
  std::set<std::string> ports;
  auto add = [&](const PortIndex& index) {
    auto it = index.find(id);
    if (it != index.end()) ports.insert(it->second.begin(), it->second.end());
  };
  if (change.entry.objectType == tv::LOG_SWITCH_CONFIG) {
    add(_portsBySwitch);
    add(_portsBySwitchThroughPort);
  } else {
    add(_portsBySwitchPort);
  }
  return ports;
}

// The indexes hold no empty sets, so an entry is there exactly while some router port names its key.
bool L3App::HasAttachedRouterPorts(const StateCacheChange& change, const std::string& id) const {
  if (change.entry.objectType == tv::LOG_SWITCH_CONFIG) {
    return _portsBySwitch.contains(id) || _portsBySwitchThroughPort.contains(id);
  }
  return _portsBySwitchPort.contains(id);
}

void L3App::Unindex(PortIndex& index, const std::string& key, const std::string& portId) {
  auto it = index.find(key);
  if (it == index.end()) return;
  it->second.erase(portId);
  if (it->second.empty()) index.erase(it);
}

// A port that names only its switch port is behind the switch that switch port names: that switch's changes reach
// its LIF too.
void L3App::FollowSwitchThroughPort(const std::string& portId, const std::string& switchId) {
  PortState& port = _ports[portId];
  if (port.switchThroughPort == switchId) return;
  Unindex(_portsBySwitchThroughPort, port.switchThroughPort, portId);
  port.switchThroughPort = switchId;
  if (!switchId.empty()) _portsBySwitchThroughPort[switchId].insert(portId);
}

bool L3App::ReadsDesiredChange(const StateCacheChange& change) {
  AgentLockGuard lock(AgentLock());
  return !_stopped && _initialSync && HasAttachedRouterPorts(change, CanonicalId(change.entry.objectId));
}

void L3App::OnConfigDesiredStateChanged(const StateCacheChangeList& changes, bool, bool) {
  AgentLockGuard lock(AgentLock());
  if (_stopped || !_initialSync) return;
  std::set<std::string> ports;
  for (const StateCacheChange& change : changes) {
    const std::string id = CanonicalId(change.entry.objectId);
    const std::set<std::string> attached = AttachedRouterPorts(change, id);
    if (attached.empty()) continue;
    if (change.entry.objectType == tv::LOG_SWITCH_CONFIG) {
      tv::LogSwitchConfigMsg ls;
      ls.ParseFromString(change.entry.value);
      if (change.entry.propertyType == tv::Property::LS_REPLICATION_MODE) {
        Logger(LOG_LEVEL_INFO, "%1: Replication mode change to %2 for LS %3", kApp, ls.replication_mode(), UuidOf(id));
      } else if (change.entry.propertyType == tv::Property::LS_VNI) {
        Logger(LOG_LEVEL_INFO, "%1:  VNI change to %2 for LS %3", kApp, ls.vni(), UuidOf(id));
      }
    } else {
      for (const std::string& port : attached) {
        Logger(LOG_LEVEL_INFO, "%1: LRP %2, LSP %3 attach change, op %4", kApp, UuidOf(port), UuidOf(id),
               change.IsRemoval() ? "delete" : "update");
        auto found = _ports.find(port);
        if (found != _ports.end() && found->second.installed) continue;
        if (change.IsRemoval()) {
          Logger(LOG_LEVEL_INFO, "%1: LSP attach, delete LRP not found, LSP %2, LRP %3", kApp, UuidOf(id),
                 UuidOf(port));
        } else {
          Logger(LOG_LEVEL_INFO, "%1: LSP attach, LRP %2 not found", kApp, UuidOf(port));
        }
      }
    }
    ports.insert(attached.begin(), attached.end());
  }
  for (const std::string& port : ports) ReconcilePort(port);
  EndBatch();
}

// ---- Reading the cache ----

void L3App::ReadRouter(const std::string& id) {
  tv::LogRouterConfigMsg router;
  RouterState& state = _routers[id];
  if (_c.l3Table->QueryLogRouter(id, &router)) {
    state.desired = std::move(router);
  } else {
    state.desired.reset();
  }
}

void L3App::ReadPort(const std::string& id) {
  tv::LogRouterPortConfigMsg port;
  PortState& state = _ports[id];
  FollowSwitchThroughPort(id, std::string());  // until its LIF is built again
  if (!state.routerId.empty()) _routers[state.routerId].ports.erase(id);
  if (state.desired) {
    Unindex(_portsBySwitch, Key(state.desired->logical_switch_id()), id);
    Unindex(_portsBySwitchPort, Key(state.desired->logical_switch_port_id()), id);
    for (const tv::UuidMsg& list : state.desired->prefix_list_ids()) Unindex(_portsByPrefixList, Key(list), id);
  }
  if (_c.l3Table->QueryLogRouterPort(id, &port)) {
    state.routerId = Key(port.router_id());
    _routers[state.routerId].ports.insert(id);
    if (port.has_logical_switch_id()) _portsBySwitch[Key(port.logical_switch_id())].insert(id);
    for (const tv::UuidMsg& list : port.prefix_list_ids()) _portsByPrefixList[Key(list)].insert(id);
    if (port.has_logical_switch_port_id()) {
      // One switch port should attach one router port. Another one naming it is a configuration fault, logged; both
      // stay installed, as each is desired in its own right and a full sync installs both.
      std::set<std::string>& attached = _portsBySwitchPort[Key(port.logical_switch_port_id())];
      for (const std::string& old : attached) {
        Logger(LOG_LEVEL_INFO, "%1: LSP attach, LRP changed, LSP %2, old LRP %3, new LRP %4", kApp,
               UuidOf(Key(port.logical_switch_port_id())), UuidOf(old), UuidOf(id));
      }
      attached.insert(id);
    }
    state.desired = std::move(port);
  } else {
    state.desired.reset();
    state.routerId.clear();
  }
}

void L3App::ReadFib(const std::string& id) {
  tv::FibMsg fib;
  FibState& state = _fibs[id];
  if (!state.routerId.empty()) _routers[state.routerId].fibs.erase(id);
  if (_c.l3Table->QueryFib(id, &fib)) {
    state.routerId = fib.has_router_id() ? Key(fib.router_id()) : std::string();
    if (!state.routerId.empty()) _routers[state.routerId].fibs.insert(id);
    state.desired = std::move(fib);
  } else {
    // A route deleted with a destination of no known family was never installed: there is nothing to delete.
    VdrAddress address;
    if (state.desired && state.desired->has_ip_prefix() && !ToAddress(state.desired->ip_prefix().address(), &address)) {
      Logger(LOG_LEVEL_INFO, "VDRRouteDelPB2TLV, Received Route Update for unknown address family, returning");
    }
    state.desired.reset();
    state.routerId.clear();
  }
}

void L3App::ReadArpTable(const std::string& id) {
  tv::ArpTableConfigMsg table;
  ArpState& state = _arpTables[id];
  if (!state.portId.empty()) _ports[state.portId].arpTables.erase(id);
  if (_c.l3Table->QueryArpTable(id, &table) && table.has_router_port_id()) {
    state.portId = Key(table.router_port_id());
    _ports[state.portId].arpTables.insert(id);
    std::set<VdrArpEntry> entries;
    for (const tv::ArpEntryMsg& entry : table.entries()) {
      VdrArpEntry arp;
      if (!ToAddress(entry.ip(), &arp.ip)) {
        Logger(LOG_LEVEL_ERROR,
               entry.ip().has_ipv6() ? "VDRArpConvertIpFromPB, ipv6 is not valid: %1"
                                     : "VDRArpConvertIpFromPB, ipv4 is not valid: %1",
               entry.ip().ShortDebugString());
        continue;
      }
      WriteMacBytes(entry.mac(), arp.mac.data());
      entries.insert(arp);
    }
    state.desired = std::move(entries);
  } else {
    state.desired.reset();
    state.portId.clear();
  }
}

void L3App::ReadMulticastRoute(const std::string& id, const StateCacheChange* change) {
  MulticastRouteState& state = _multicastRoutes[id];
  if (!state.routerId.empty()) _routers[state.routerId].multicastRoutes.erase(id);
  state.desired.reset();
  state.routerId.clear();
  std::string value;
  if (change) {
    if (change->IsRemoval()) return;
    value = change->entry.value;
  } else {
    std::vector<StateCacheRecord> records;
    _c.l3Table->QueryDesired(tv::MULTICAST_STATIC_ROUTE, &records);
    for (const StateCacheRecord& record : records) {
      if (CanonicalId(record.objectId) == id && record.propertyType == 0) value = record.value;
    }
  }
  tv::MulticastStaticRouteMsg route;
  if (value.empty() || !route.ParseFromString(value) || !route.has_router_id()) return;
  state.routerId = Key(route.router_id());
  _routers[state.routerId].multicastRoutes.insert(id);
  state.desired = std::move(route);
}

void L3App::ReadAllDesired() {
  _routers.clear();
  _ports.clear();
  _fibs.clear();
  _arpTables.clear();
  _multicastRoutes.clear();
  _portsBySwitch.clear();
  _portsBySwitchPort.clear();
  _portsByPrefixList.clear();
  _portsBySwitchThroughPort.clear();
  auto ids = [this](uint32_t type) {
    std::vector<StateCacheRecord> records;
    _c.l3Table->QueryDesired(type, &records);
    std::set<std::string> out;
    for (const StateCacheRecord& record : records) out.insert(CanonicalId(record.objectId));
    return out;
  };
  for (const std::string& id : ids(tv::LOG_ROUTER_CONFIG)) ReadRouter(id);
  for (const std::string& id : ids(tv::LOG_ROUTER_PORT_CONFIG)) ReadPort(id);
  for (const std::string& id : ids(tv::FIB)) ReadFib(id);
  for (const std::string& id : ids(tv::ARP_TABLE_CONFIG)) ReadArpTable(id);
  for (const std::string& id : ids(tv::MULTICAST_STATIC_ROUTE)) ReadMulticastRoute(id, nullptr);
}

// ---- Routers ----

std::string L3App::NdraProfileOf(const RouterState& router) {
  return router.desired && router.desired->has_ndra_profile_id() ? Key(router.desired->ndra_profile_id())
                                                                 : std::string();
}

bool L3App::BuildInstance(const tv::LogRouterConfigMsg& router, RouterState& state, bool fullSync) {
  if (!router.has_vdr_id()) return false;
  const std::string id = Key(router.id());
  VdrInstance instance;
  instance.vdrId = router.vdr_id();
  instance.name = router.name();
  if (router.has_dad_profile_id()) {
    tv::DadProfileConfigMsg dad;
    if (_c.l3Table->QueryDadProfile(Key(router.dad_profile_id()), &dad)) {
      instance.dadMode = static_cast<uint8_t>(dad.dad_mode());
      instance.dadWaitTime = dad.wait_time();
      instance.dadMaxRetries = dad.ns_retries();
      Logger(LOG_LEVEL_DEBUG, "DAD Config: %1, %2, %3", dad.dad_mode(), dad.wait_time(), dad.ns_retries());
    }
  }
  Logger(LOG_LEVEL_DEBUG, "VDRInsAddPB2TLV->VdrInstanceEntry dadMode: %1, waitTime: %2, maxRetries: %3",
         instance.dadMode, instance.dadWaitTime, instance.dadMaxRetries);
  state.instance = instance;
  state.arpLimitOverridden = router.has_arp_limit();
  state.arpLimit = router.arp_limit();
  state.multicast.reset();
  if (router.has_multicast_config_id()) {
    tv::MulticastConfigMsg config;
    if (!_c.l3Table->QueryMulticastConfig(Key(router.multicast_config_id()), &config)) {
      Logger(LOG_LEVEL_ERROR, "%1: LR %2 has multicast config without multicast status", kApp, UuidOf(id))
          .AddTag("errorCode:LCP00920");
    } else {
      VdrMulticast multicast;
      multicast.vdrId = instance.vdrId;
      multicast.enabled = config.enabled();
      if (config.group_ranges_size() > 0) {
        if (!ToPrefix(config.group_ranges(0), &multicast.groupStart)) {
          // Sent as it stands it would name another group range: the router goes without multicast settings.
          Logger(LOG_LEVEL_ERROR, "%1: LR %2 multicast group range %3 is not valid", kApp, UuidOf(id),
                 config.group_ranges(0).ShortDebugString())
              .AddTag("errorCode:LCP00905");
          return true;
        }
      } else {
        // A full sync is the pass after which the kernel sweeps what it was not sent again: marked "(GC)".
        Logger(LOG_LEVEL_INFO,
               fullSync ? "multicast config update (GC) %1 without replication range"
                        : "multicast config update %1 without replication range",
               UuidOf(id));
      }
      multicast.replicationRange = config.replication_multicast_range();
      // The database carries no IGMP settings for routers yet: the kernel keeps its own defaults (zeros).
      Logger(LOG_LEVEL_DEBUG,
             fullSync ? "multicast config update (GC) %1 without igmp config"
                      : "multicast config update %1 without igmp config",
             UuidOf(id));
      state.multicast = multicast;
    }
  }
  return true;
}

void L3App::ReconcileRouter(const std::string& id) {
  RouterState& state = _routers[id];
  const VdrInstance before = state.instance;
  const uint32_t arpBefore = state.arpLimit;
  const bool overriddenBefore = state.arpLimitOverridden;
  const std::optional<VdrMulticast> multicastBefore = state.multicast;
  const bool wanted = state.desired && BuildInstance(*state.desired, state, false);
  if (state.desired && !wanted) {
    Logger(LOG_LEVEL_ERROR, "%1: full sync vdr ID is not found for LR %2", kApp, UuidOf(id))
        .AddTag("errorCode:LCP00920");
  }
  if (state.installed && (!wanted || state.instance.vdrId != before.vdrId)) {
    Logger(LOG_LEVEL_INFO, "%1: LR %2 (vdr %3) delete", kApp, UuidOf(id), before.vdrId);
    VdrInstance old = before;
    _builder.InstanceUpdate(kOpDelete, old);
    UninstallRouterChildren(id);
    state.installed = false;
    Logger(LOG_LEVEL_INFO, "%1: LR %2 (vdr %3) delete from LR to LRP map", kApp, UuidOf(id), before.vdrId);
  }
  if (!wanted) {
    if (!state.desired && state.ports.empty() && state.fibs.empty() && state.multicastRoutes.empty()) {
      _routers.erase(id);
    }
    return;
  }
  auto sendArpLimit = [&] {
    Logger(LOG_LEVEL_DEBUG, "VDRArpLimitAddPB2TLV vdrId %1, arpLimit %2, isOverridden %3", state.instance.vdrId,
           state.arpLimit, state.arpLimitOverridden);
    _builder.ArpLimit(state.instance.vdrId, state.arpLimit, state.arpLimitOverridden);
  };
  // The router's router-advertisement profile applies to its ports.
  const std::string ndraProfile = NdraProfileOf(state);
  if (state.installed && ndraProfile != state.ndraProfile) {
    Logger(LOG_LEVEL_INFO, "%1: LR %2, old ndra profile ID %3, new ndra profile ID %4", kApp, UuidOf(id),
           UuidOf(state.ndraProfile), UuidOf(ndraProfile));
    for (const std::string& port : std::set<std::string>(state.ports)) ReconcileNdra(port);
  }
  state.ndraProfile = ndraProfile;
  if (!state.installed) {
    Logger(LOG_LEVEL_INFO, "%1: LR %2 (vdr %3) add", kApp, UuidOf(id), state.instance.vdrId);
    _builder.InstanceUpdate(kOpAdd, state.instance);
    sendArpLimit();
    if (state.multicast) _builder.MulticastUpdate(*state.multicast);
    state.installed = true;
    ReconcileRouterChildren(id);
    return;
  }
  if (!(state.instance == before)) {
    // The kernel takes an instance add as the whole instance: its ARP limit and multicast settings follow.
    Logger(LOG_LEVEL_INFO, "%1: LR %2 (vdr %3) update field, send to kernel %4", kApp, UuidOf(id), state.instance.vdrId,
           "instance");
    _builder.InstanceUpdate(kOpAdd, state.instance);
    sendArpLimit();
    if (state.multicast) _builder.MulticastUpdate(*state.multicast);
    return;
  }
  if (state.arpLimit != arpBefore || state.arpLimitOverridden != overriddenBefore) {
    Logger(LOG_LEVEL_INFO, "%1: LR %2 (vdr %3) update field, send to kernel %4", kApp, UuidOf(id), state.instance.vdrId,
           "arp limit");
    sendArpLimit();
  }
  if (state.multicast != multicastBefore) {
    Logger(LOG_LEVEL_INFO, "%1: update multicast config for LR %2, op %3 multicast config ID %4", kApp, UuidOf(id),
           state.multicast ? "update" : "delete", UuidOf(Key(state.desired->multicast_config_id())));
    VdrMulticast multicast = state.multicast.value_or(VdrMulticast{});
    multicast.vdrId = state.instance.vdrId;
    _builder.MulticastUpdate(multicast);
  }
}

void L3App::ReconcileRouterChildren(const std::string& id) {
  const RouterState& state = _routers[id];
  // Copies: reconciling may erase entries of the child sets.
  const std::set<std::string> ports = state.ports, fibs = state.fibs, routes = state.multicastRoutes;
  for (const std::string& port : ports) ReconcilePort(port);
  for (const std::string& fib : fibs) ReconcileFib(fib);
  for (const std::string& route : routes) ReconcileMulticastRoute(route);
}

// The kernel removes an instance's LIFs, routes and ARP entries with the instance.
void L3App::UninstallRouterChildren(const std::string& id) {
  for (auto& [portId, port] : _ports) {
    if (!port.installed || port.installedRouter != id) continue;
    ReleasePrefixLists(portId, port);
    port.installed.reset();
    port.dadSent.reset();
    port.ndraSent.reset();
    for (const std::string& table : port.arpTables) _arpTables[table].installed.clear();
  }
  for (auto& [fibId, fib] : _fibs) {
    if (fib.installed && fib.installedRouter == id) fib.installed = false;
  }
  for (auto& [routeId, route] : _multicastRoutes) {
    if (route.installed && route.installedRouter == id) route.installed = false;
  }
}

// ---- Router ports ----

bool L3App::BuildLif(const std::string& id, const tv::LogRouterPortConfigMsg& port, uint32_t vdrId, VdrLif* lif) {
  lif->vdrId = vdrId;
  lif->lifName = LifName(id);
  switch (port.type()) {
    case kPortDownlink:
      lif->lifType = kLifTypeDownlink;
      break;
    case kPortUplink:
      lif->lifType = kLifTypeUplink;
      break;
    case kPortRouterLink:
      lif->lifType = kLifTypeRouterLink;
      break;
    case kPortLoopback:
      Logger(LOG_LEVEL_ERROR, "VDRGetTLVLifFlags: no corresponding type for LOOPBACK yet.")
          .AddTag("errorCode:LCP00028");
      return false;
    default:
      Logger(LOG_LEVEL_ERROR, "VDRGetTLVLifType: Unexpected type %1", port.type()).AddTag("errorCode:LCP00905");
      return false;
  }
  const bool adminUp = !port.has_admin_state_up() || port.admin_state_up();
  lif->flags = adminUp ? kLifAdminUp : 0;
  lif->linkedRouterEnabled = port.has_peer_router_id() ? 1 : 0;
  if (lif->linkedRouterEnabled) lif->flags |= kLifLinkedRouter;
  lif->lifId = static_cast<uint32_t>(port.id().low());
  lif->mtu = port.has_mtu() ? port.mtu() : kDefaultLrpMtu;
  // The link type travels in one byte: a value it cannot carry would reach the kernel as another type.
  if (port.link_type() > UINT8_MAX) {
    Logger(LOG_LEVEL_ERROR, "VDRGetTLVLifFlags: Unexpected type %1", port.link_type()).AddTag("errorCode:LCP00905");
    return false;
  }
  lif->linkType = static_cast<uint8_t>(port.link_type());
  WriteMacBytes(port.mac(), lif->mac.data());
  // The kernel takes a LIF's addresses whole: one it cannot read, or a list the record cannot hold, refuses the LIF
  // rather than install another set of addresses.
  for (const tv::IpPrefixMsg& address : port.addresses()) {
    VdrPrefix prefix;
    if (!ToPrefix(address, &prefix)) {
      Logger(LOG_LEVEL_ERROR, "VDRPortAddPB2TLV, invalid address %1 for LRP %2", address.ShortDebugString(), UuidOf(id))
          .AddTag("errorCode:LCP00905");
      return false;
    }
    if (prefix.address.family == kFamilyIpv6) lif->flags |= kLifIpv6;
    lif->addresses.push_back(prefix);
  }
  if (lif->addresses.size() > kMaxLifAddresses) {
    Logger(LOG_LEVEL_ERROR, "VDRPortAddPB2TLV, LRP %1 has %2 addresses, a LIF holds at most %3", UuidOf(id),
           lif->addresses.size(), kMaxLifAddresses)
        .AddTag("errorCode:LCP00920");
    return false;
  }
  // The switch behind the port: named by the port, or by its switch port.
  std::string switchId = port.has_logical_switch_id() ? Key(port.logical_switch_id()) : std::string();
  if (port.has_logical_switch_port_id()) {
    tv::LogSwitchPortConfigMsg lsp;
    std::vector<StateCacheRecord> records;
    if (!_c.configTable->QueryDesiredObject(Key(port.logical_switch_port_id()), &records)) {
      Logger(LOG_LEVEL_ERROR, "%1: LSP not found for LRP %2", kApp, UuidOf(id)).AddTag("errorCode:LCP00029");
      return false;
    }
    for (const StateCacheRecord& record : records) lsp.MergeFromString(record.value);
    const bool throughPort = switchId.empty() && lsp.has_switch_id();
    if (throughPort) switchId = Key(lsp.switch_id());
    FollowSwitchThroughPort(id, throughPort ? switchId : std::string());
    // A router port whose switch port is administratively down cannot forward, whatever its own setting.
    if (lsp.has_admin_state_up() && !lsp.admin_state_up() && (lif->flags & kLifAdminUp)) {
      Logger(LOG_LEVEL_INFO, "%1: LRP %2, Forcing admin status down", kApp, UuidOf(id));
      lif->flags &= static_cast<uint16_t>(~kLifAdminUp);
    }
  }
  if (switchId.empty()) return true;  // a router link: no switch behind it
  tv::LogSwitchConfigMsg ls;
  std::vector<StateCacheRecord> records;
  if (!_c.configTable->QueryDesiredObject(switchId, &records)) {
    Logger(LOG_LEVEL_ERROR, "%1: Transport zone ID not found for LS %2", kApp, UuidOf(switchId))
        .AddTag("errorCode:LCP00029");
    return false;
  }
  for (const StateCacheRecord& record : records) ls.MergeFromString(record.value);
  if (!ls.has_transport_binding()) {
    Logger(LOG_LEVEL_INFO, "%1: LS %2 transport binding type not found for add LRP %3, set it to overlay", kApp,
           UuidOf(switchId), UuidOf(id));
    lif->transportBinding = kBindingOverlay;
  } else {
    lif->transportBinding = ls.transport_binding().type() == kBindingTypeVlan ? kBindingVlan : kBindingOverlay;
  }
  if (!ls.has_replication_mode()) {
    Logger(LOG_LEVEL_INFO, "%1: LS %2 replication mode not found for add LRP %3", kApp, UuidOf(switchId), UuidOf(id));
  }
  // The switch's replication mode chooses how the LIF's multicast is carried: none set, MTEP or source.
  if (ls.replication_mode() > kReplicationSource) {
    Logger(LOG_LEVEL_ERROR, "VDRGetTLVLifMulticastIp: Unexpected type %1", ls.replication_mode())
        .AddTag("errorCode:LCP00905");
    return false;
  }
  lif->replicationMode = static_cast<uint8_t>(ls.replication_mode());
  if (lif->transportBinding == kBindingVlan) {
    if (!ls.has_vlan() && ls.transport_binding().vlan() == 0) {
      Logger(LOG_LEVEL_INFO, "%1: LS %2 vlan not found for add LRP %3", kApp, UuidOf(switchId), UuidOf(id));
    }
    lif->vlan = static_cast<uint16_t>(ls.has_vlan() ? ls.vlan() : ls.transport_binding().vlan());
  } else {
    if (!ls.has_vni()) {
      Logger(LOG_LEVEL_INFO, "%1: LS %2 vni not found for add LRP %3", kApp, UuidOf(switchId), UuidOf(id));
    }
    lif->vni = ls.vni();
  }
  std::string dvs;
  if (_c.configTable->GetDvsOfLogSwitch(switchId, &dvs)) lif->dvsId = dvs;
  Logger(LOG_LEVEL_DEBUG,
         "VDRPortAddPB2TLV->VdrLifAddEntry, lifName: %1, lifType: %2, numIp: %3, lifFlags: %4, lifId: %5, mtu: %6, "
         "urpfMode: %7, linkedRouterEnabled: %8",
         lif->lifName, lif->lifType, lif->addresses.size(), lif->flags, lif->lifId, lif->mtu, lif->urpfMode,
         lif->linkedRouterEnabled);
  Logger(LOG_LEVEL_DEBUG, "VDRPortAddPB2TLV->VdrLifAddEntry, vxlanMulticastIp: %1.%2.%3.%4, dvs UUID: %5",
         lif->vxlanMulticastIp[0], lif->vxlanMulticastIp[1], lif->vxlanMulticastIp[2], lif->vxlanMulticastIp[3],
         lif->dvsId);
  return true;
}

void L3App::RemovePort(const std::string& id, PortState& port) {
  if (!port.installed) return;
  // The port may still be wanted (it moved to another router, or cannot be built): its admin status may have
  // changed with it.
  const bool wasUp = port.installed->flags & kLifAdminUp;
  const bool up = port.desired ? !port.desired->has_admin_state_up() || port.desired->admin_state_up() : wasUp;
  static constexpr const char* kDeleteText[2][2] = {
      {"%1: Del LRP %2, new admin status down, not filp", "%1: Del LRP %2, new admin status down, flip"},
      {"%1: Del LRP %2, new admin status up, not filp", "%1: Del LRP %2, new admin status up, flip"}};
  Logger(LOG_LEVEL_INFO, kDeleteText[up][up != wasUp], kApp, UuidOf(id));
  _builder.LifUpdate(kOpDelete, *port.installed);
  ReleasePrefixLists(id, port);
  port.installed.reset();
  port.dadSent.reset();
  port.ndraSent.reset();
  // The kernel drops the LIF's ARP entries with it.
  for (const std::string& table : port.arpTables) _arpTables[table].installed.clear();
  for (auto& [tableId, table] : _arpTables) {
    if (table.installedPort == id) table.installed.clear();
  }
}

void L3App::ReconcilePort(const std::string& id) {
  PortState& port = _ports[id];
  std::optional<VdrLif> lif;
  if (port.desired) {
    auto router = _routers.find(port.routerId);
    if (router == _routers.end() || !router->second.installed) {
      Logger(LOG_LEVEL_ERROR, "%1: LR %2 not found in LR info map when add LRP", kApp, UuidOf(port.routerId))
          .AddTag("errorCode:LCP00029");
    } else {
      VdrLif built;
      if (BuildLif(id, *port.desired, router->second.instance.vdrId, &built)) lif = std::move(built);
    }
  }
  if (port.installed && (!lif || port.installedRouter != port.routerId)) RemovePort(id, port);
  if (!lif) {
    for (const std::string& table : std::set<std::string>(port.arpTables)) ReconcileArp(table);
    return;
  }
  if (port.installed && *port.installed == *lif) {
    UpdatePrefixReferences(id, port);
    ReconcileNdra(id);
    return;
  }
  const bool wasInstalled = port.installed.has_value();
  const bool oldUp = wasInstalled && (port.installed->flags & kLifAdminUp);
  const bool newUp = lif->flags & kLifAdminUp;
  const bool flip = wasInstalled && oldUp != newUp;
  if (newUp) {
    Logger(LOG_LEVEL_INFO,
           flip ? "%1: Add LRP %2, new admin status up, filp" : "%1: Add LRP %2, new admin status up, not filp", kApp,
           UuidOf(id));
  } else {
    Logger(LOG_LEVEL_INFO,
           flip ? "%1: Add LRP %2, new admin status down, filp" : "%1: Add LRP %2, new admin status down, not filp",
           kApp, UuidOf(id));
  }
  auto families = [](const VdrLif& l, uint8_t family) {
    std::vector<VdrPrefix> out;
    for (const VdrPrefix& p : l.addresses) {
      if (p.address.family == family) out.push_back(p);
    }
    return out;
  };
  bool v4Change = false, v6Change = false;
  if (wasInstalled) {
    if (port.installed->linkType != lif->linkType) {
      Logger(LOG_LEVEL_INFO, "%1: Add LRP %2, link type change, new link type %3", kApp, UuidOf(id), lif->linkType);
    }
    v4Change = families(*port.installed, kFamilyIpv4) != families(*lif, kFamilyIpv4);
    v6Change = families(*port.installed, kFamilyIpv6) != families(*lif, kFamilyIpv6);
    if (v4Change) Logger(LOG_LEVEL_INFO, "%1: Add LRP %2, ipv4 change", kApp, UuidOf(id));
    if (v6Change) Logger(LOG_LEVEL_INFO, "%1: Add LRP %2, ipv6 change", kApp, UuidOf(id));
  }
  _builder.LifUpdate(kOpAdd, *lif);
  port.installed = lif;
  port.installedRouter = port.routerId;
  UpdatePrefixReferences(id, port);
  if (flip || v4Change || v6Change) {
    ResendRouterRoutes(port.routerId, id, v6Change && !v4Change ? "ipv6" : "ipv4");
  }
  if (!wasInstalled || flip) {
    for (const std::string& table : std::set<std::string>(port.arpTables)) {
      if (newUp) {
        Logger(LOG_LEVEL_DEBUG, "%1: send arp by LRP, arp table config %2 LRP %3 (vdr %4)", kApp, UuidOf(table),
               UuidOf(id), lif->vdrId);
      }
      ReconcileArp(table);
    }
    ReconcileDad(id);
  }
  ReconcileNdra(id);
}

// The installed port holds each installed prefix list it names now, and releases the others.
void L3App::UpdatePrefixReferences(const std::string& portId, PortState& port) {
  std::set<std::string> named;
  for (const tv::UuidMsg& list : port.desired->prefix_list_ids()) named.insert(Key(list));
  for (auto held = port.prefixLists.begin(); held != port.prefixLists.end();) {
    if (named.count(*held)) {
      ++held;
      continue;
    }
    auto it = _prefixLists.find(*held);
    if (it != _prefixLists.end()) it->second.holders.erase(portId);
    held = port.prefixLists.erase(held);
  }
  for (const std::string& list : named) {
    if (port.prefixLists.count(list)) continue;
    auto it = _prefixLists.find(list);
    if (it == _prefixLists.end() || !it->second.installed) {
      Logger(LOG_LEVEL_ERROR, "%1: prefix list %2 not found when reference lif %3", kApp, UuidOf(list),
             port.installed->lifName)
          .AddTag("errorCode:LCP00029");
      continue;
    }
    it->second.holders.insert(portId);
    port.prefixLists.insert(list);
    Logger(LOG_LEVEL_DEBUG, "%1: prefix list %2 ref %3 when reference lif %4", kApp, UuidOf(list),
           it->second.holders.size(), port.installed->lifName);
  }
}

void L3App::ReleasePrefixLists(const std::string& portId, PortState& port) {
  for (const std::string& list : port.prefixLists) {
    auto it = _prefixLists.find(list);
    if (it != _prefixLists.end()) it->second.holders.erase(portId);
  }
  port.prefixLists.clear();
}

void L3App::ResendRouterRoutes(const std::string& routerId, const std::string& portId, const char* ipType) {
  auto router = _routers.find(routerId);
  if (router == _routers.end()) return;
  const std::string lifName = LifName(portId);
  Logger(LOG_LEVEL_INFO, "%1: LR %2 vdr id %3, LRP change send fib, ip type %4", kApp, UuidOf(routerId),
         router->second.instance.vdrId, ipType);
  for (const std::string& fibId : router->second.fibs) {
    const FibState& fib = _fibs[fibId];
    if (!fib.installed) continue;
    bool uses = std::any_of(fib.nextHops.begin(), fib.nextHops.end(),
                            [&](const VdrNextHop& hop) { return hop.lifName == lifName; });
    if (uses) _builder.RouteAdd(fib.vdrId, fib.prefix, 0, fib.nextHops);
  }
}

// ---- Routes ----

bool L3App::BuildRoute(const std::string& id, const tv::FibMsg& fib, VdrPrefix* prefix, std::vector<VdrNextHop>* hops,
                       bool multicast) {
  if (!fib.has_ip_prefix() || !ToAddress(fib.ip_prefix().address(), &prefix->address)) {
    if (multicast) {
      Logger(LOG_LEVEL_ERROR, "%1: LR ID or prefix not set for multicast fib %2, op %3, fibmsg: %3", kApp, UuidOf(id),
             "add")
          .AddTag("errorCode:LCP00920");
    } else {
      Logger(LOG_LEVEL_ERROR, "%1: IP prefix not found when add fib %2", kApp, UuidOf(id)).AddTag("errorCode:LCP00029");
      Logger(LOG_LEVEL_DEBUG, "VDRRouteAddPB2TLV, Received Route Update without any prefix, returning");
    }
    return false;
  }
  const uint8_t maxLength = prefix->address.family == kFamilyIpv4 ? 32 : 128;
  if (fib.ip_prefix().prefix_length() > maxLength) {
    Logger(LOG_LEVEL_ERROR, "VDRRouteAddPB2TLV, invalid prefix length %1 for %2", fib.ip_prefix().prefix_length(),
           UuidOf(id))
        .AddTag("errorCode:LCP00905");
    return false;
  }
  prefix->length = static_cast<uint8_t>(fib.ip_prefix().prefix_length());
  hops->clear();
  for (const tv::FibNextHopMsg& hop : fib.next_hops()) {
    VdrNextHop out;
    if (hop.has_ip()) {
      if (!ToAddress(hop.ip(), &out.gateway) || out.gateway.family != prefix->address.family) {
        Logger(LOG_LEVEL_ERROR, "VDRRouteAddPB2TLV, invalid next hop %1 for route %2: address family differs",
               hop.ip().ShortDebugString(), PrefixText(*prefix))
            .AddTag("errorCode:LCP00905");
        continue;
      }
    } else {
      out.gateway.family = prefix->address.family;
    }
    if (hop.blackhole()) out.flags |= kNextHopBlackhole;
    if (hop.static_route()) out.flags |= kNextHopStatic;
    if (hop.has_router_port_id()) out.lifName = LifName(Key(hop.router_port_id()));
    hops->push_back(out);
  }
  std::sort(hops->begin(), hops->end());
  hops->erase(std::unique(hops->begin(), hops->end()), hops->end());
  if (prefix->address.family == kFamilyIpv4) {
    const uint8_t* d = prefix->address.bytes.data();
    Logger(LOG_LEVEL_DEBUG, "VDRRouteAddPB2TLV, Enter: vdrId: %1, destination: %2.%3.%4.%5/%6, num_next_hops: %7",
           UuidOf(id), d[0], d[1], d[2], d[3], prefix->length, hops->size());
  } else {
    Logger(LOG_LEVEL_DEBUG, "VDRRouteAddPB2TLV, Enter: vdrId: %1, destination: %2/%3, num_next_hops: %4", UuidOf(id),
           AddressText(prefix->address), prefix->length, hops->size());
  }
  return true;
}

void L3App::ReconcileFib(const std::string& id) {
  FibState& fib = _fibs[id];
  std::optional<std::pair<VdrPrefix, std::vector<VdrNextHop>>> wanted;
  uint32_t vdrId = 0;
  if (fib.desired) {
    auto router = _routers.find(fib.routerId);
    if (fib.routerId.empty() || router == _routers.end() || !router->second.installed) {
      Logger(LOG_LEVEL_ERROR, "%1: LR %2 not found for add fib %3", kApp, UuidOf(fib.routerId), UuidOf(id))
          .AddTag("errorCode:LCP00029");
    } else {
      VdrPrefix prefix;
      std::vector<VdrNextHop> hops;
      vdrId = router->second.instance.vdrId;
      if (BuildRoute(id, *fib.desired, &prefix, &hops, false)) wanted.emplace(prefix, std::move(hops));
    }
  }
  auto erase = [&] {
    Logger(LOG_LEVEL_INFO, "%1: Delete fib %2 (vdr %3)", kApp, UuidOf(id), fib.vdrId);
    if (fib.prefix.address.family == kFamilyIpv4) {
      const uint8_t* d = fib.prefix.address.bytes.data();
      Logger(LOG_LEVEL_DEBUG, "VDRRouteDelPB2TLV, del_route: %1.%2.%3.%4", d[0], d[1], d[2], d[3]);
    }
    _builder.RouteDelete(fib.vdrId, fib.prefix);
    fib.installed = false;
  };
  if (fib.installed && (!wanted || vdrId != fib.vdrId || !(wanted->first == fib.prefix))) erase();
  if (!wanted) {
    if (!fib.desired) _fibs.erase(id);
    return;
  }
  if (!fib.installed) {
    Logger(LOG_LEVEL_INFO, "%1: Add fib %2 (vdr %3)", kApp, UuidOf(id), vdrId);
    uint32_t distance = 0;
    for (const tv::FibNextHopMsg& hop : fib.desired->next_hops()) {
      if (hop.has_admin_distance() && (distance == 0 || hop.admin_distance() < distance))
        distance = hop.admin_distance();
    }
    if (!_builder.RouteAdd(vdrId, wanted->first, distance, wanted->second)) {
      Logger(LOG_LEVEL_ERROR, "%1: fib %2 has next hops of another address family", kApp, UuidOf(id))
          .AddTag("errorCode:LCP00920");
      return;
    }
    fib.installed = true;
    fib.vdrId = vdrId;
    fib.prefix = wanted->first;
    fib.nextHops = wanted->second;
    fib.installedRouter = fib.routerId;
    return;
  }
  if (wanted->second == fib.nextHops) return;
  std::vector<VdrNextHop> added, deleted;
  std::set_difference(wanted->second.begin(), wanted->second.end(), fib.nextHops.begin(), fib.nextHops.end(),
                      std::back_inserter(added));
  std::set_difference(fib.nextHops.begin(), fib.nextHops.end(), wanted->second.begin(), wanted->second.end(),
                      std::back_inserter(deleted));
  const std::set<VdrNextHop> installed(fib.nextHops.begin(), fib.nextHops.end());
  PruneDeletes<VdrNextHop>(
      added, deleted, installed, [](const VdrNextHop& hop) { return std::make_pair(hop.gateway, hop.lifName); },
      [&](const VdrNextHop& hop) {
        Logger(LOG_LEVEL_DEBUG, "%1: Prune fib next hop, deleted next hop added, fib %2, del %3, add %4", kApp,
               UuidOf(id), AddressText(hop.gateway), AddressText(hop.gateway));
      },
      [&](const VdrNextHop&) {
        Logger(LOG_LEVEL_DEBUG, "%1: Prune fib next hop, delete next hop pruned, fib %2", kApp, UuidOf(id));
      });
  if (fib.prefix.address.family == kFamilyIpv4) {
    const uint8_t* d = fib.prefix.address.bytes.data();
    Logger(LOG_LEVEL_DEBUG, "VDRRouteNHUpdatePB2TLV, Enter: vdrId: %1, dest: %2.%3.%4.%5/%6 numAdd: %7, numDel: %8",
           vdrId, d[0], d[1], d[2], d[3], fib.prefix.length, added.size(), deleted.size());
  }
  _builder.RouteNextHopUpdate(vdrId, fib.prefix, added, deleted);
  fib.nextHops = wanted->second;
}

// ---- ARP tables ----

void L3App::ReconcileArp(const std::string& id) {
  ArpState& table = _arpTables[id];
  std::set<VdrArpEntry> target;
  uint32_t vdrId = 0;
  PortState* port = table.desired ? &_ports[table.portId] : nullptr;
  if (port && port->installed) {
    vdrId = port->installed->vdrId;
    if (port->installed->flags & kLifAdminUp) {
      target = *table.desired;
    } else if (!table.desired->empty()) {
      Logger(LOG_LEVEL_DEBUG, "%1: LRP %2 admin down for arp table config entry %3", kApp, UuidOf(table.portId),
             UuidOf(id));
    }
  } else if (table.desired) {
    Logger(LOG_LEVEL_DEBUG, "%1: LRP %2 not installed for arp table config %3", kApp, UuidOf(table.portId), UuidOf(id));
  }
  // A table that moved to another port leaves its old LIF first.
  if (!table.installed.empty() && table.installedPort != table.portId) {
    auto old = _ports.find(table.installedPort);
    if (old != _ports.end() && old->second.installed) {
      Logger(LOG_LEVEL_INFO, "%1: Delete arp table config %2 LRP %3 (vdr %4)", kApp, UuidOf(id),
             UuidOf(table.installedPort), table.vdrId);
      std::vector<VdrArpEntry> readded, left(table.installed.begin(), table.installed.end());
      KeepSharedArp(id, table.installedPort, readded, left);
      _builder.ArpUpdate(table.vdrId, LifName(table.installedPort), readded, left);
    }
    table.installed.clear();
  }
  std::vector<VdrArpEntry> added, deleted;
  std::set_difference(target.begin(), target.end(), table.installed.begin(), table.installed.end(),
                      std::back_inserter(added));
  std::set_difference(table.installed.begin(), table.installed.end(), target.begin(), target.end(),
                      std::back_inserter(deleted));
  PruneDeletes<VdrArpEntry>(
      added, deleted, table.installed, [](const VdrArpEntry& entry) { return entry.ip; }, [](const VdrArpEntry&) {},
      [](const VdrArpEntry&) {});
  if (!deleted.empty()) KeepSharedArp(id, table.portId, added, deleted);
  if (!added.empty() || !deleted.empty()) {
    Logger(LOG_LEVEL_INFO,
           target.empty() ? "%1: Delete arp table config %2 LRP %3 (vdr %4)"
                          : "%1: Add arp table config %2 LRP %3 (vdr %4)",
           kApp, UuidOf(id), UuidOf(table.portId), vdrId);
    QOR_LOG(LOG_LEVEL_DEBUG, "VDRArpUpdatePB2TLV->VdrMsgArpTableUpdatelifName: %1, numAdd: %2, numDel: %3 ",
            LifName(table.portId), added.size(), deleted.size());
    if (LogEnabled(LOG_LEVEL_DEBUG)) {
      for (const auto* list : {&added, &deleted}) {
        for (const VdrArpEntry& entry : *list) {
          Logger(LOG_LEVEL_DEBUG, "ip: %1 mac: %2", AddressText(entry.ip), MacText(entry.mac.data()));
        }
      }
    }
    _builder.ArpUpdate(vdrId, LifName(table.portId), added, deleted);
  }
  table.installed = std::move(target);
  table.installedPort = table.portId;
  table.vdrId = vdrId;
  if (!table.desired && table.installed.empty()) _arpTables.erase(id);
}

// The kernel keys ARP entries by LIF and address: an address that table `id` no longer gives on `portId`, but another
// table installed there still does, is not deleted; that table's entry is sent again instead (the last add wins).
void L3App::KeepSharedArp(const std::string& id, const std::string& portId, std::vector<VdrArpEntry>& added,
                          std::vector<VdrArpEntry>& deleted) {
  auto port = _ports.find(portId);
  if (port == _ports.end()) return;
  std::vector<VdrArpEntry> kept;
  for (const VdrArpEntry& entry : deleted) {
    const VdrArpEntry* other = nullptr;
    for (const std::string& otherId : port->second.arpTables) {
      auto table = _arpTables.find(otherId);
      if (otherId == id || table == _arpTables.end() || table->second.installedPort != portId) continue;
      for (const VdrArpEntry& held : table->second.installed) {
        if (held.ip == entry.ip) other = &held;
      }
      if (other) break;
    }
    if (other) {
      added.push_back(*other);
    } else {
      kept.push_back(entry);
    }
  }
  deleted.swap(kept);
}

// ---- Prefix lists, DAD, multicast routes, global settings ----

// A refused version withdraws the previous one: a full sync installs no list for it either, and the kernel's policy
// must not depend on whether it saw the older version first.
void L3App::RefusePrefixList(const tv::PrefixListMsg& list, PrefixListState& state) {
  Logger(LOG_LEVEL_ERROR, "%1: prefix list %2 (index %3) not installed, %4 entries", kApp, list.name(), list.index(),
         list.entries_size())
      .AddTag("errorCode:LCP00920");
  if (!state.installed) return;
  Logger(LOG_LEVEL_INFO, "%1: prefix list %2 (index %3) previous version withdrawn", kApp, state.name, state.index);
  _builder.PrefixListDelete(state.name, state.index);
  state.installed = false;
  state.entries.clear();
}

void L3App::ReconcilePrefixList(const std::string& id) {
  tv::PrefixListMsg list;
  const bool desired = _c.l3Table->QueryPrefixList(id, &list) && list.has_index();
  PrefixListState& state = _prefixLists[id];
  if (desired) {
    InstallPrefixList(list, state);
  } else if (state.installed) {
    _builder.PrefixListDelete(state.name, state.index);
    state.installed = false;
  }
  UpdatePrefixListHolders(id, state);
  if (!desired) _prefixLists.erase(id);
}

// Holders follow whether the list is installed, whichever came first, the list or its ports (a full sync installs
// the lists before the ports): installed, every installed port naming it holds it; withdrawn, none does.
void L3App::UpdatePrefixListHolders(const std::string& id, PrefixListState& state) {
  if (!state.installed) {
    for (const std::string& portId : state.holders) {
      auto port = _ports.find(portId);
      if (port != _ports.end()) port->second.prefixLists.erase(id);
    }
    state.holders.clear();
    return;
  }
  auto naming = _portsByPrefixList.find(id);
  if (naming == _portsByPrefixList.end()) return;
  for (const std::string& portId : naming->second) {
    auto port = _ports.find(portId);
    if (port == _ports.end() || !port->second.installed || !port->second.prefixLists.insert(id).second) continue;
    state.holders.insert(portId);
    Logger(LOG_LEVEL_DEBUG, "%1: prefix list %2 ref %3 when reference lif %4", kApp, UuidOf(id), state.holders.size(),
           port->second.installed->lifName);
  }
}

void L3App::InstallPrefixList(const tv::PrefixListMsg& list, PrefixListState& state) {
  // A list is installed whole or not at all: without one of its entries it would be another policy.
  std::vector<VdrPrefixListEntry> entries;
  for (const tv::PrefixListEntryMsg& entry : list.entries()) {
    VdrPrefixListEntry out;
    if (entry.action() != kPrefixPermit && entry.action() != kPrefixDenyAction) {
      Logger(LOG_LEVEL_ERROR, "VDRGetPrefixAction: Unexpected type %1", entry.action()).AddTag("errorCode:LCP00905");
      return RefusePrefixList(list, state);
    }
    // Bounds beyond the family's length would match nothing the list means: refused, not clamped.
    const uint32_t maxLength = entry.prefix().address().has_ipv4() ? 32u : 128u;
    if (!ToPrefix(entry.prefix(), &out.prefix) || entry.ge() > maxLength || entry.le() > maxLength) {
      Logger(LOG_LEVEL_ERROR, "%1: prefix list %2 entry %3 has an invalid prefix or bounds", kApp, list.name(),
             entry.ShortDebugString())
          .AddTag("errorCode:LCP00905");
      return RefusePrefixList(list, state);
    }
    out.ge = static_cast<uint8_t>(entry.ge());
    out.le = static_cast<uint8_t>(entry.le());
    out.deny = entry.action() == kPrefixDenyAction;
    entries.push_back(out);
  }
  if (state.installed && (state.name != list.name() || state.index != list.index())) {
    _builder.PrefixListDelete(state.name, state.index);
    state.installed = false;
  }
  if (state.installed && state.entries == entries) return;
  if (!_builder.PrefixListUpdate(list.name(), list.index(), entries)) return RefusePrefixList(list, state);
  state.installed = true;
  state.name = list.name();
  state.index = list.index();
  state.entries = std::move(entries);
}

void L3App::ReconcileDad(const std::string& portId) {
  auto it = _ports.find(portId);
  if (it == _ports.end() || !it->second.installed) return;
  PortState& port = it->second;
  tv::LogRouterPortFibDadStateMsg state;
  std::vector<std::pair<VdrAddress, uint8_t>> entries;
  if (_c.l3Table->QueryFibDadState(portId, &state)) {
    for (const tv::DadStateMsg& dad : state.dad_states()) {
      VdrAddress address;
      if (ToAddress(dad.ip(), &address)) entries.emplace_back(address, static_cast<uint8_t>(dad.state()));
    }
  }
  if (port.dadSent == entries || (!port.dadSent && entries.empty())) return;
  Logger(LOG_LEVEL_DEBUG, "VDRDadStatusUpdatePB2TLV->VdrDadStatusUpdate vdrId: %1, lifName: %2, numEntries: %3",
         port.installed->vdrId, port.installed->lifName, entries.size());
  // Refused whole when too long; the status last sent is withdrawn too, as a full sync would send none.
  if (!_builder.DadStatus(port.installed->vdrId, port.installed->lifName, entries)) {
    if (port.dadSent && !port.dadSent->empty()) {
      _builder.DadStatus(port.installed->vdrId, port.installed->lifName, {});
    }
    port.dadSent.reset();
    return;
  }
  port.dadSent = std::move(entries);
}

// The LIF's router-advertisement settings, from its router's NDRA profile. A profile the record cannot carry is
// refused and the LIF advertises nothing, as after a full sync: the old settings are withdrawn.
void L3App::ReconcileNdra(const std::string& portId) {
  auto it = _ports.find(portId);
  if (it == _ports.end() || !it->second.installed || !it->second.desired) return;
  PortState& port = it->second;
  const RouterState& router = _routers[port.routerId];
  // A port would use its own profile before its router's; the database carries none per port.
  const std::string profileId = NdraProfileOf(router);
  std::optional<VdrNdra> wanted;
  if (profileId.empty()) {
    QOR_LOG(LOG_LEVEL_DEBUG, "%1: NDRA profile missing on LRP %2 and LR %3 both", kApp, UuidOf(portId),
            UuidOf(port.routerId));
  } else {
    tv::NdraProfileConfigMsg profile;
    if (!_c.l3Table->QueryNdraProfile(profileId, &profile)) {
      Logger(LOG_LEVEL_ERROR, "%1: NDRA profile %2 of LRP %3 not found", kApp, UuidOf(profileId), UuidOf(portId))
          .AddTag("errorCode:LCP00029");
    } else if (profile.ra_mode() > UINT8_MAX || profile.hop_limit() > UINT8_MAX) {
      Logger(LOG_LEVEL_ERROR, "%1: NDRA profile %2 of LRP %3 is not valid: %4", kApp, UuidOf(profileId), UuidOf(portId),
             profile.ShortDebugString())
          .AddTag("errorCode:LCP00905");
    } else {
      VdrNdra ndra;
      ndra.raMode = static_cast<uint8_t>(profile.ra_mode());
      ndra.raInterval = profile.ra_interval();
      ndra.hopLimit = static_cast<uint8_t>(profile.hop_limit());
      ndra.routerLifetime = profile.router_lifetime();
      ndra.reachableTime = profile.reachable_time();
      ndra.retransmitInterval = profile.retransmit_interval();
      wanted = ndra;
    }
  }
  // Like its ARP entries, an admin-down LIF holds no router-advertisement settings: it advertises nothing.
  if (wanted && !(port.installed->flags & kLifAdminUp)) {
    QOR_LOG(LOG_LEVEL_DEBUG, "%1: update ndra config, LRP %2, admin down", kApp, UuidOf(portId));
    wanted.reset();
  }
  if (wanted == port.ndraSent) return;
  _builder.NdraUpdate(wanted ? kOpAdd : kOpDelete, port.installed->vdrId, port.installed->lifName,
                      wanted.value_or(VdrNdra{}));
  port.ndraSent = wanted;
}

void L3App::ReconcileMulticastRoute(const std::string& id) {
  MulticastRouteState& route = _multicastRoutes[id];
  std::optional<std::pair<VdrPrefix, std::vector<std::string>>> wanted;
  uint32_t vdrId = 0;
  if (route.desired) {
    auto router = _routers.find(route.routerId);
    VdrPrefix group;
    if (router == _routers.end() || !router->second.installed) {
      Logger(LOG_LEVEL_ERROR, "%1: LR %2 not found for add fib %3", kApp, UuidOf(route.routerId), UuidOf(id))
          .AddTag("errorCode:LCP00029");
    } else if (!route.desired->has_group() || !ToAddress(route.desired->group().address(), &group.address)) {
      Logger(LOG_LEVEL_ERROR, "%1: LR ID or prefix not set for multicast fib %2, op %3, fibmsg: %3", kApp, UuidOf(id),
             "add")
          .AddTag("errorCode:LCP00920");
    } else if (!ToPrefix(route.desired->group(), &group)) {
      Logger(LOG_LEVEL_ERROR, "%1: invalid prefix length %2 of multicast fib %3", kApp,
             route.desired->group().prefix_length(), UuidOf(id))
          .AddTag("errorCode:LCP00905");
    } else {
      vdrId = router->second.instance.vdrId;
      std::vector<std::string> lifs;
      for (const tv::UuidMsg& port : route.desired->router_port_ids()) lifs.push_back(LifName(Key(port)));
      wanted.emplace(group, std::move(lifs));
    }
  }
  if (route.installed && (!wanted || vdrId != route.vdrId || !(wanted->first == route.group))) {
    Logger(LOG_LEVEL_INFO, "%1: Delete multicast fib %2 (vdr %3)", kApp, UuidOf(id), route.vdrId);
    _builder.MulticastRoute(kOpDelete, route.vdrId, route.group, {});
    route.installed = false;
  }
  if (!wanted) {
    if (!route.desired) _multicastRoutes.erase(id);
    return;
  }
  if (route.installed && route.lifNames == wanted->second) return;
  Logger(LOG_LEVEL_INFO, "%1: Add multicast fib %2 (vdr %3)", kApp, UuidOf(id), vdrId);
  // Refused whole when its LIFs do not fit. The version the kernel holds is withdrawn too: a full sync would install
  // none, and the kernel's routes must not depend on whether it saw the older version first.
  if (!_builder.MulticastRoute(kOpAdd, vdrId, wanted->first, wanted->second)) {
    if (route.installed) {
      Logger(LOG_LEVEL_INFO, "%1: Delete multicast fib %2 (vdr %3), new version refused", kApp, UuidOf(id),
             route.vdrId);
      _builder.MulticastRoute(kOpDelete, route.vdrId, route.group, {});
      route.installed = false;
    }
    return;
  }
  route.installed = true;
  route.vdrId = vdrId;
  route.group = wanted->first;
  route.lifNames = wanted->second;
  route.installedRouter = route.routerId;
}

void L3App::ReconcileGlobal(bool deleted) {
  VdrGlobal global;  // the defaults
  if (!deleted) {
    tv::GlobalConfigMsg config;
    if (_c.l3Table->QueryGlobalConfig(&config)) {
      if (config.routing().has_l3_forwarding_mode()) {
        global.forwardingMode = static_cast<uint8_t>(config.routing().l3_forwarding_mode());
      }
      if (config.routing().has_lrp_mtu()) global.lrpMtu = config.routing().lrp_mtu();
      if (config.switching().has_arp_limit()) global.switchingValue = config.switching().arp_limit();
      global.routingFlag = config.routing().flag() ? kFlagSet : kFlagUnset;
      global.softRss = _softRss ? kFlagSet : kFlagUnset;
    } else {
      deleted = true;
    }
  }
  // A delete always sends the defaults, so that the kernel drops whatever it held.
  if (!deleted && _global == global) return;
  _builder.GlobalUpdate(global);
  _global = global;
}

}  // namespace VevUroro
