// The configuration application's life cycle, its desired-state inputs and the operator's view. The datapath side
// (session, notifications, VIF updates, runtime state) is in ConfigAppDatapath.cpp.
#include "apps/config/ConfigApp.h"

#include <chrono>

#include "apps/config/KCPMsgConvertor.h"
#include "apps/config/UuidText.h"
#include "core/AgentLock.h"
#include "core/Logger.h"
#include "core/ProcessSettings.h"
#include "core/WorkGroup.h"
#include "dataplane/DataplaneTkmlink.h"
#include "intake/TypeNames.h"
#include "platform/wft/WorkflowUtil.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace VevUroro {

namespace tv = zantix::qor::tolvar;

uint32_t ConfigApp::CurrentSessionId() {
  return s_sessionId.load();
}

ConfigApp::ConfigApp(Collaborators collaborators) : _c(std::move(collaborators)) {
  if (!_c.links) _c.links = TkmlinkFactory();
  IpDiscovery::Collaborators discovery;
  discovery.table = _c.table;
  discovery.profiles = _c.profiles;
  discovery.database = _c.database;
  discovery.links = _c.links;
  // IP discovery calls these under the agent lock, from inside this application's own handlers too; it drops them
  // (DetachOwner) before this application goes away.
  discovery.ports = [this](const std::string& vifId, ConnectedPort* port) {
    return _converter && _converter->FindConnectedPort(vifId, port);
  };
  discovery.ready = [this](std::list<TolvarUpdateMsg> updates, bool vifConnectionUpdate) {
    OnIpDiscoveryReady(std::move(updates), vifConnectionUpdate);
  };
  _ipDiscovery = new IpDiscovery(std::move(discovery));
  if (_c.healthMonitor && _c.database) {
    auto target = _target;
    DaemonHealthMonitor::Collaborators health = _c.health;
    health.database = _c.database;
    health.report = [target](uint32_t state, uint32_t daemonId) {
      target->Call([&](ConfigApp& app) {
        if (app._converter) app._converter->OnDaemonHealthStateUpdate(state, daemonId);
      });
    };
    _health = new DaemonHealthMonitor(std::move(health));
  }
}

ConfigApp::~ConfigApp() {
  _target->Detach();
  if (_ipDiscovery) _ipDiscovery->DetachOwner();
}

int64_t ConfigApp::NowMs() const {
  if (_c.wallClockMs) return _c.wallClockMs();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int ConfigApp::Persona() const {
  return _c.nodePersona >= 0 ? _c.nodePersona : g_nodePersona;
}

void ConfigApp::Start(const ConfigTree& subtree) {
  _ipDiscovery->Start(subtree);
  const std::string channel = subtree.get<std::string>("tkmlink.path");
  _link =
      MakeOwnedLink(_c.links, channel, _target, &ConfigApp::OnKcpMessage, &ConfigApp::OnLinkStatus, kLinkBufferSize);
  // Created here rather than at construction: its message builder needs the datapath link, made just above.
  DVSPropConvertor::Collaborators converter;
  converter.table = _c.table;
  converter.builder = new KCPMsgConvertor(_link);
  converter.profiles = _c.profiles;
  converter.timers = _c.converterTimers;
  _converter = new DVSPropConvertor(std::move(converter), subtree);
  for (uint32_t type : kObservedTypes) _c.table->RegisterDesiredStateObserver(type, this);
  if (_c.dispatcher) _c.dispatcher->Register(CONFIGAPP, qor::RefPtr<Component>(this));
  _converter->Start();
  if (_health) _health->Start();
}

void ConfigApp::PostStart() {
  _ipDiscovery->PostStart();
  if (_link) _link->Start();
  auto target = _target;
  TimerFactory timersB = _c.timersB ? _c.timersB : AsioTimerFactory(WorkGroup::IoContextB());
  AgentLockGuard lock(AgentLock());
  _dpStatusTimer = timersB([target] { target->Call([](ConfigApp& app) { app.OnDpStatusTimer(); }); });
  _dpStatusTimer->Start(kDpStatusIntervalUs);
}

void ConfigApp::Stop() {
  Logger(LOG_LEVEL_INFO, "ConfigApp: stop");
  qor::RefPtr<IpDiscovery> discovery;
  std::unique_ptr<OneShotTimer> dpStatusTimer;
  std::unique_ptr<OneShotTimer> hopliftTimer;
  {
    AgentLockGuard lock(AgentLock());
    _stopped = true;
    discovery = std::move(_ipDiscovery);
    _pendingIpDiscovery.clear();
    _pendingVifConnections.clear();
    dpStatusTimer = std::move(_dpStatusTimer);
    hopliftTimer = std::move(_hopliftTimer);
  }
  if (discovery) discovery->Stop();
  dpStatusTimer.reset();
  hopliftTimer.reset();
  CloseLink(_link.get());  // not under the agent lock
  for (uint32_t type : kObservedTypes) _c.table->UnregisterDesiredStateObserver(type, this);
  if (_c.dispatcher) _c.dispatcher->Unregister(CONFIGAPP);
  if (_health) _health->Stop();
  qor::RefPtr<DVSPropConvertor> converter;
  {
    AgentLockGuard lock(AgentLock());
    converter = std::move(_converter);
  }
  if (converter) converter->Stop();
  _target->Detach();
  _c.dispatcher.reset();
}

bool ConfigApp::SendToDP(uint8_t* message) {
  if (!_link) {
    std::free(message);
    return false;
  }
  return _link->Send(message);
}

void ConfigApp::UpdateDesiredState(const std::list<TolvarUpdateMsg>& entries, uint8_t fullSync) {
  qor::wft::Span span = qor::wft::WorkflowUtil::StartSpan("ConfigApp.UpdateDesiredState",
                                                          entries.empty() ? "" : entries.front().spanContext);
  std::list<TolvarUpdateMsg> daVif, transportNodes, backings, spans, sessions, globals;
  for (const TolvarUpdateMsg& entry : entries) {
    switch (entry.objectType) {
      case tv::DA_VIF:
        daVif.push_back(entry);
        break;
      case tv::TRANSPORT_NODE_CONFIG:
        transportNodes.push_back(entry);
        break;
      case tv::HOST_SWITCH_SMARTNIC_BACKING:
        backings.push_back(entry);
        break;
      case tv::CONFIG_SPAN:
        spans.push_back(entry);
        break;
      case tv::CCP_SESSION:
        sessions.push_back(entry);
        break;
      case tv::GLOBAL_CONFIG:
        globals.push_back(entry);
        break;
      default:
        break;
    }
  }
  qor::RefPtr<IpDiscovery> discovery;
  qor::RefPtr<DVSPropConvertor> converter;
  {
    AgentLockGuard lock(AgentLock());
    if (_stopped) return;
    discovery = _ipDiscovery;
    converter = _converter;
  }
  if (!converter) return;
  const bool full = fullSync != 0;
  // With the full-sync flag every handler runs, so that an empty list stands for a complete, empty state.
  if (full || !daVif.empty()) discovery->UpdateDesiredState(daVif, full);
  if (full || !transportNodes.empty()) converter->HandleTransportNodeConfig(transportNodes, full);
  if (full || !backings.empty()) converter->HandleSmartnicBacking(backings, full);
  if (full || !spans.empty()) converter->HandleConfigSpan(spans, full);
  if (full || !sessions.empty()) converter->HandleCcpSession(sessions, full);
  if (full || !globals.empty()) converter->HandleGlobalConfig(globals, full);
}

void ConfigApp::OnConfigDesiredStateChanged(const StateCacheChangeList& changes, bool, bool first) {
  OnDesiredChanges(changes, nullptr, first);
}

void ConfigApp::OnConfigDesiredStateTaken(StateCacheChangeList& changes, bool, bool first) {
  OnDesiredChanges(changes, &changes, first);
}

void ConfigApp::OnDesiredChanges(const StateCacheChangeList& changes, StateCacheChangeList* taken, bool first) {
  qor::wft::Span span = qor::wft::WorkflowUtil::StartSpan("ConfigApp.ProcessConfigDesiredStateUpdate",
                                                          changes.empty() ? "" : changes.front().entry.spanContext);
  AgentLockGuard lock(AgentLock());
  if (_stopped || !_converter) return;
  if (span.TagsWanted() && !changes.empty()) {
    // A tag has one value: the batch's last change names it.
    const TolvarUpdateMsg& last = changes.back().entry;
    span.SetTag("objectID", UuidText(last.objectId));
    span.SetTag("propertyType", PropertyTypeToString(static_cast<uint32_t>(last.propertyType)));
  }
  for (const StateCacheChange& change : changes) {
    const TolvarUpdateMsg& e = change.entry;
    if (e.value.empty()) {
      Logger(LOG_LEVEL_INFO, "ConfigApp: received desired config update (Empty Value), id %1 object type %2",
             UuidOf(e.objectId), ObjTypeToString(static_cast<uint32_t>(e.objectType)));
    } else {
      QOR_LOG(LOG_LEVEL_DEBUG, "ConfigApp: received desired config update, id %1 type %2 property type %3 (%4)",
              UuidOf(e.objectId), ObjTypeToString(static_cast<uint32_t>(e.objectType)),
              PropertyTypeToString(static_cast<uint32_t>(e.propertyType)), change.IsRemoval() ? "Delete" : "Update");
    }
  }
  // The converter converts the batch and runs the post-batch block/unblock step for it.
  if (taken) {
    _converter->TakeConfigChanges(*taken);
  } else {
    _converter->ProcessConfigChanges(changes);
  }
  if (first) {
    _fullSyncAfterDbSync = false;
    if (!_dpLinkUp) return;
    if (changes.empty()) {
      Logger(LOG_LEVEL_INFO, "ConfigApp: No updates from tolvar during host reboot");
      return;
    }
    Logger(LOG_LEVEL_INFO, "ConfigApp: Start full sync with DP after sync with tolvar");
    _converter->SendFullSync(true);
    _fullSyncAfterDbSync = true;
  } else if (_dpLinkUp && !_fullSyncAfterDbSync) {
    Logger(LOG_LEVEL_INFO, "ConfigApp: Start full sync with DP after host reboot");
    _converter->SendFullSync(true);
    _fullSyncAfterDbSync = true;
  }
}

std::vector<LportStatusRow> ConfigApp::LportStatus() const {
  std::vector<LportStatusRow> rows;
  AgentLockGuard lock(AgentLock());
  if (!_converter) return rows;
  const DesiredSwitchState& state = _converter->State();
  _converter->VisitPorts([&](const PortEntry& port) {
    LportStatusRow row;
    row.dvsId = port.dvsId;
    row.dvportId = port.portId;
    if (port.lspId.empty()) {
      row.lportId = "-";
      row.status = "UNBOUND";
      row.logicalSwitchId = "-";
    } else {
      row.lportId = UuidText(port.lspId);
      row.status = !port.blocked ? "PENDING" : (*port.blocked ? "BLOCKED" : "UP");
      const LspState* lsp = state.Port(port.lspId);
      row.logicalSwitchId = lsp && !lsp->switchId.empty() ? UuidText(lsp->switchId) : "-";
    }
    rows.push_back(std::move(row));
  });
  std::sort(rows.begin(), rows.end(), [](const LportStatusRow& a, const LportStatusRow& b) {
    return std::tie(a.lportId, a.dvportId) < std::tie(b.lportId, b.dvportId);
  });
  return rows;
}

bool ConfigApp::SimulateOutOfSync() {
  AgentLockGuard lock(AgentLock());
  if (_stopped || !_converter || !_dpLinkUp) return false;
  Logger(LOG_LEVEL_INFO, "ConfigApp: re-init control plane due to DP out of sync");
  StartFullSyncWithDP();
  _converter->SendFullSync(true);
  return true;
}

bool ConfigApp::DpFullSyncDone() const {
  AgentLockGuard lock(AgentLock());
  return _dpFullSyncDone;
}

bool ConfigApp::IpDiscoveryFullSyncDone() const {
  AgentLockGuard lock(AgentLock());
  return _ipDisFullSyncDone;
}

size_t ConfigApp::HopliftStatusCount() const {
  AgentLockGuard lock(AgentLock());
  return _hopliftStatusList.size();
}

}  // namespace VevUroro
