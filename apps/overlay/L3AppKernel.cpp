// The L3 application's side of the kernel: full syncs, the kernel's messages (full-sync requests, DAD reports) and
// the link status.
#include <cstring>
#include <set>
#include <vector>

#include "apps/config/AddressBytes.h"
#include "apps/config/UuidText.h"
#include "apps/overlay/L3App.h"
#include "core/AgentLock.h"
#include "core/Logger.h"
#include "dataplane/ByteOrder.h"
#include "dataplane/router/VdrDumper.h"
#include "dataplane/router/VdrKernelReader.h"
#include "platform/tolvar/TolvarSchema.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace VevUroro {

namespace tv = zantix::qor::tolvar;
using namespace router;

namespace {

constexpr const char* kApp = "L3App";

}  // namespace

void L3App::OnLinkStatus(DataplaneLink* link, LinkStatus status) {
  AgentLockGuard lock(AgentLock());
  Logger(LOG_LEVEL_INFO, status == LinkStatus::UP ? "%1: tkmlink up" : "%1: tkmlink down", kApp);
  _linkUp = status == LinkStatus::UP;
  // The reconnect full sync carries the whole state: what was still queued for the old connection would reach the
  // next one (maybe a reloaded module) before it.
  if (status == LinkStatus::DOWN && _linkWasUp && _initialSync && link) {
    const size_t dropped = link->DropQueued();
    if (dropped > 0) {
      Logger(LOG_LEVEL_INFO, "%1: tkmlink down, %2 queued update message(s) dropped before the full sync", kApp,
             dropped);
    }
  }
  if (status != LinkStatus::UP || _stopped) return;
  if (_droppedWhileDown > 0) {
    Logger(LOG_LEVEL_INFO, "%1: %2 update message(s) not queued while tkmlink was down", kApp, _droppedWhileDown);
    _droppedWhileDown = 0;
  }
  // A reconnect may reach a reloaded module that holds nothing and need not ask, and the message in flight when the
  // link dropped (a delta, or part of a full sync whose end the module then refuses) is lost: once the initial full
  // sync has run, each reconnect resends everything. The first connect only delivers what was queued before it.
  if (_linkWasUp && _initialSync) {
    Logger(LOG_LEVEL_INFO, "%1: tkmlink up again, full sync with kernel", kApp);
    FullSyncConfig();
    FullSyncL3();
  }
  _linkWasUp = true;
}

void L3App::FullSyncConfig() {
  Logger(LOG_LEVEL_INFO, "%1: full sync Config State-cache with kernel", kApp);
  Logger(LOG_LEVEL_INFO, "%1: BE Full Sync Start", kApp);
  Logger(LOG_LEVEL_INFO, "%1: BE Full Sync Done", kApp);
}

void L3App::FullSyncL3() {
  Logger(LOG_LEVEL_INFO, "%1: full sync L3 State-cache with kernel", kApp);
  ReadAllDesired();
  _global.reset();
  _builder.FullSyncStart(kAllVdrs);

  Logger(LOG_LEVEL_INFO, "%1: full sync LR instances", kApp);
  for (auto& [id, router] : _routers) {
    router.installed = false;
    if (!router.desired) continue;
    if (!BuildInstance(*router.desired, router, true)) {
      Logger(LOG_LEVEL_ERROR, "%1: full sync vdr ID is not found for LR %2", kApp, UuidOf(id))
          .AddTag("errorCode:LCP00920");
      continue;
    }
    _builder.InstanceUpdate(kOpAdd, router.instance);
    _builder.ArpLimit(router.instance.vdrId, router.arpLimit, router.arpLimitOverridden);
    if (router.multicast) _builder.MulticastUpdate(*router.multicast);
    router.installed = true;
    // What its ports' router-advertisement settings are reconciled against from now on.
    router.ndraProfile = NdraProfileOf(router);
  }

  Logger(LOG_LEVEL_INFO, "%1: full sync prefix list", kApp);
  Logger(LOG_LEVEL_INFO, "%1: Full sync prefixList old reference map size %2", kApp, _prefixLists.size());
  _prefixLists.clear();
  std::vector<StateCacheRecord> records;
  _c.l3Table->QueryDesired(tv::PREFIX_LIST, &records);
  std::set<std::string> lists;
  for (const StateCacheRecord& record : records) {
    tv::UuidMsg id;
    lists.insert(id.ParseFromString(record.objectId) ? id.SerializeAsString() : record.objectId);
  }
  for (const std::string& id : lists) {
    ReconcilePrefixList(id);
    auto it = _prefixLists.find(id);
    if (it != _prefixLists.end()) {
      Logger(LOG_LEVEL_DEBUG, "%1: Full sync add prefixList %2 (index %3) to map", kApp, UuidOf(id), it->second.index);
    }
  }

  for (auto& [id, router] : _routers) {
    if (!router.installed) continue;
    const uint32_t vdr = router.instance.vdrId;
    Logger(LOG_LEVEL_INFO, "%1: full sync LRP for LR %2 (vdr %3)", kApp, UuidOf(id), vdr);
    Logger(LOG_LEVEL_DEBUG, "%1: full sync arp for vdr %2", kApp, vdr);
    Logger(LOG_LEVEL_DEBUG, "%1: full sync dad for vdr %2", kApp, vdr);
    for (const std::string& port : std::set<std::string>(router.ports)) ReconcilePort(port);
    Logger(LOG_LEVEL_INFO, "%1: full sync fib for LR %2 (vdr %3)", kApp, UuidOf(id), vdr);
    for (const std::string& fib : std::set<std::string>(router.fibs)) ReconcileFib(fib);
    Logger(LOG_LEVEL_INFO, "%1: full sync mcast fib for LR %2 (vdr %3)", kApp, UuidOf(id), vdr);
    for (const std::string& route : std::set<std::string>(router.multicastRoutes)) ReconcileMulticastRoute(route);
  }
  // Children of routers that are missing or have no VDR ID: logged, sent when their router comes.
  std::vector<std::string> orphans;
  for (const auto& [id, port] : _ports) {
    if (port.desired && !port.installed) orphans.push_back(id);
  }
  for (const std::string& id : orphans) ReconcilePort(id);
  orphans.clear();
  for (const auto& [id, fib] : _fibs) {
    if (fib.desired && !fib.installed) orphans.push_back(id);
  }
  for (const std::string& id : orphans) ReconcileFib(id);
  tv::GlobalConfigMsg global;
  ReconcileGlobal(!_c.l3Table->QueryGlobalConfig(&global));
  _builder.FullSyncEnd(kAllVdrs);
  EndBatch();
  Logger(LOG_LEVEL_INFO, "%1: Send Full Sync End to dataplane", kApp);
  Logger(LOG_LEVEL_INFO, "%1: full sync barrier", kApp);
  SendBarrier();
}

const L3App::RouterState* L3App::InstalledRouterByVdr(uint32_t vdrId, std::string* routerId) const {
  for (const auto& [id, router] : _routers) {
    if (router.installed && router.instance.vdrId == vdrId) {
      *routerId = id;
      return &router;
    }
  }
  return nullptr;
}

// What the kernel was told about one router, once more: its LIFs with their ARP entries and DAD status, its
// routes and multicast routes, between a full-sync start and end for that VDR.
void L3App::SendInstalledRouter(const std::string& routerId) {
  const RouterState& router = _routers[routerId];
  const uint32_t vdr = router.instance.vdrId;
  _builder.FullSyncStart(vdr);
  for (const std::string& portId : router.ports) {
    const PortState& port = _ports[portId];
    if (!port.installed || port.installedRouter != routerId) continue;
    _builder.LifUpdate(kOpAdd, *port.installed);
    for (const std::string& tableId : port.arpTables) {
      const ArpState& table = _arpTables[tableId];
      if (table.installed.empty() || table.installedPort != portId) continue;
      _builder.ArpUpdate(vdr, port.installed->lifName,
                         std::vector<VdrArpEntry>(table.installed.begin(), table.installed.end()), {});
    }
    if (port.dadSent) _builder.DadStatus(vdr, port.installed->lifName, *port.dadSent);
    if (port.ndraSent) _builder.NdraUpdate(kOpAdd, vdr, port.installed->lifName, *port.ndraSent);
  }
  for (const std::string& fibId : router.fibs) {
    const FibState& fib = _fibs[fibId];
    if (fib.installed && fib.installedRouter == routerId) _builder.RouteAdd(vdr, fib.prefix, 0, fib.nextHops);
  }
  for (const std::string& routeId : router.multicastRoutes) {
    const MulticastRouteState& route = _multicastRoutes[routeId];
    if (route.installed && route.installedRouter == routerId) {
      _builder.MulticastRoute(kOpAdd, vdr, route.group, route.lifNames);
    }
  }
  _builder.FullSyncEnd(vdr);
  EndBatch();
}

void L3App::HandleFullSyncRequest(uint32_t vdrId) {
  if (vdrId == kAllVdrs) {
    Logger(LOG_LEVEL_INFO, "%1: handle kernel full sync request both Config and L3 State-cache", kApp);
    FullSyncConfig();
    _initialSync = true;
    FullSyncL3();
    return;
  }
  std::string routerId;
  if (!InstalledRouterByVdr(vdrId, &routerId)) {
    Logger(LOG_LEVEL_ERROR, "%1: handle kernel full sync request, LR UUID not found for vdr ID %2", kApp, vdrId)
        .AddTag("errorCode:LCP00029");
    return;
  }
  Logger(LOG_LEVEL_INFO, "%1: handle kernel full sync request, LR %2 (vdr %3)", kApp, UuidOf(routerId), vdrId);
  SendInstalledRouter(routerId);
}

void L3App::OnVdrMessage(const uint8_t* message, int length) {
  // The agent lock is held for the whole message: a full-sync request resends under it.
  AgentLockGuard lock(AgentLock());
  if (_stopped) return;
  const KernelMessage read = ReadKernelMessage(message, length < 0 ? 0 : static_cast<size_t>(length));
  if (read.type != 0 || read.result != KernelMessage::Result::kMalformed) {
    QOR_LOG(LOG_LEVEL_DEBUG, "%1: receive a message from kernel type %2, len %3", kApp, read.type, length);
  }
  DumpVdrMessage(LOG_LEVEL_DEBUG, message, length < 0 ? 0 : static_cast<size_t>(length));
  if (read.result == KernelMessage::Result::kUnknownType) {
    Logger(LOG_LEVEL_ERROR, "%1: unknown vdr msg %2", kApp, read.type).AddTag("errorCode:LCP00901");
    return;
  }
  // A message is taken whole or not at all: the TLVs read before a bad one are not acted upon.
  if (read.result == KernelMessage::Result::kMalformed) {
    Logger(LOG_LEVEL_ERROR, "%1: malformed vdr msg: %2", kApp, read.error).AddTag("errorCode:LCP00901");
    return;
  }
  // Repeated full-sync requests in one message are merged: each VDR is resent at most once, and a request for
  // everything covers the per-VDR ones. Unmerged, one message could hold the agent lock for thousands of full syncs.
  std::vector<uint32_t> fullSyncs;
  std::set<uint32_t> requested;
  bool everything = false;
  for (const KernelEvent& event : read.events) {
    Logger(LOG_LEVEL_DEBUG, "%1: Handle vdrb msg type %2, sub type %3", kApp, read.type, event.tlvType);
    if (event.tlvType == kTlvInstanceReport && event.change == kInstanceFullSync) {
      if (everything || !requested.insert(event.vdrId).second) continue;
      Logger(LOG_LEVEL_INFO, "%1: receive kernel full sync request for vdr %2", kApp, event.vdrId);
      everything = event.vdrId == kAllVdrs;
      fullSyncs.push_back(event.vdrId);
    } else if (event.tlvType == kTlvDadReport) {
      HandleDadReport(event);
    }
  }
  if (everything) {
    HandleFullSyncRequest(kAllVdrs);
    return;
  }
  for (uint32_t vdrId : fullSyncs) HandleFullSyncRequest(vdrId);
}

void L3App::HandleDadReport(const KernelEvent& report) {
  Logger(LOG_LEVEL_INFO, "%1:Got the report. lifName: %2, version: %3, status: %4", kApp, report.lifName,
         report.version, report.status);
  uint64_t high = 0, low = 0;
  if (report.version.empty()) {
    Logger(LOG_LEVEL_ERROR, "Empty version").AddTag("errorCode:LCP00703");
    return;
  }
  if (!qor::tolvar::ParseUuid(report.version, &high, &low)) {
    Logger(LOG_LEVEL_ERROR, "Version UUID invalid").AddTag("errorCode:LCP00703");
    return;
  }
  tv::UuidMsg lif;
  uint64_t lifHigh = 0, lifLow = 0;
  if (!qor::tolvar::ParseUuid(report.lifName, &lifHigh, &lifLow)) {
    Logger(LOG_LEVEL_ERROR, "%1: DAD report for unknown LIF %2", kApp, report.lifName).AddTag("errorCode:LCP00029");
    return;
  }
  lif.set_high(lifHigh);
  lif.set_low(lifLow);
  const std::string portId = lif.SerializeAsString();
  auto port = _ports.find(portId);
  if (port == _ports.end() || !port->second.installed) {
    Logger(LOG_LEVEL_ERROR, "%1: DAD report for unknown LIF %2", kApp, report.lifName).AddTag("errorCode:LCP00029");
    return;
  }
  // The LIF name alone does not identify the LIF: a report naming another VDR is not this LIF's state.
  if (port->second.installed->vdrId != report.vdrId) {
    Logger(LOG_LEVEL_ERROR, "%1: DAD report for LIF %2 names vdr %3, the LIF is on vdr %4", kApp, report.lifName,
           report.vdrId, port->second.installed->vdrId)
        .AddTag("errorCode:LCP00029");
    return;
  }
  Logger(LOG_LEVEL_DEBUG, "VDRDadStatusUpdateTLV2PB Found LRP");
  // The report replaces the LIF's state: addresses of the previous report that it no longer names go.
  std::set<VdrAddress> reported;
  for (const DadEntry& entry : report.entries) {
    VdrAddress address;
    address.family = entry.family;
    std::memcpy(address.bytes.data(), entry.address.data(), entry.family == kFamilyIpv4 ? 4 : kAddressLen);
    reported.insert(address);
  }
  for (const VdrAddress& address : port->second.dadReported) {
    if (reported.count(address)) continue;
    Logger(LOG_LEVEL_INFO, "To be Deleted: DadStatusMsg : %1",
           address.family == kFamilyIpv4 ? Ipv4Text(address.bytes.data()) : Ipv6Text(address.bytes.data()));
  }
  port->second.dadReported = std::move(reported);
  tv::ModifyRequestMsg request;
  if (report.entries.empty()) {
    Logger(LOG_LEVEL_INFO, "Delete Entire Dad state for Lif %1", report.lifName);
    auto* del = request.mutable_modify()->mutable_delete_()->mutable_object();
    del->set_object_type(tv::LOG_ROUTER_PORT_DAD_STATE);
    del->set_object_id(portId);
  } else {
    tv::LogRouterPortDadStateMsg state;
    *state.mutable_id() = lif;
    for (const DadEntry& entry : report.entries) {
      tv::DadStateMsg* dad = state.add_dad_states();
      if (entry.family == kFamilyIpv4) {
        dad->mutable_ip()->set_ipv4(ReadU32(entry.address.data()));
      } else {
        dad->mutable_ip()->set_ipv6(std::string(reinterpret_cast<const char*>(entry.address.data()), kAddressLen));
      }
      dad->set_state(entry.state);
    }
    auto* put = request.mutable_modify()->mutable_put()->mutable_object();
    put->set_object_type(tv::LOG_ROUTER_PORT_DAD_STATE);
    put->set_object_body(state.SerializeAsString());
  }
  if (_c.tolvarClient) {
    if (uint16_t vdb = _c.tolvarClient->MainVdb()) {
      if (request.modify().has_put()) request.mutable_modify()->mutable_put()->set_vdb(vdb);
      if (request.modify().has_delete_()) request.mutable_modify()->mutable_delete_()->set_vdb(vdb);
    }
    _c.tolvarClient->Write({request});
  }
}

}  // namespace VevUroro
