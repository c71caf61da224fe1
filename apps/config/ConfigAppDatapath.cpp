// The configuration application's datapath side: the session, the notifications, the VIF updates and the runtime
// state they give, the IP discovery ready callback and the Hoplift status records.
#include <algorithm>
#include <set>

#include "apps/config/ConfigApp.h"
#include "apps/config/MessageBuffer.h"
#include "core/AgentLock.h"
#include "core/Logger.h"
#include "core/ProcessSettings.h"
#include "core/WorkGroup.h"
#include "dataplane/kcp/KcpDumper.h"
#include "dataplane/kcp/KcpFormat.h"
#include "dataplane/kcp/KcpReader.h"
#include "dataplane/kcp/KcpWriter.h"
#include "platform/wft/WorkflowUtil.h"
#include "zantix/qor/tolvar/objecttype.pb.h"
#include "zantix/qor/tolvar/runtime.pb.h"

namespace VevUroro {

namespace tv = zantix::qor::tolvar;
using namespace kcp;

namespace {

constexpr const char* kVessixTkmnicPrefix = "vessixTkmnic";
constexpr uint32_t kHopliftInProgress = 1;

TolvarUpdateMsg RuntimeEntry(uint32_t type, const std::string& id, uint32_t property, int32_t operation,
                             std::string value) {
  TolvarUpdateMsg entry;
  entry.objectType = static_cast<int32_t>(type);
  entry.objectId = id;
  entry.propertyType = static_cast<int32_t>(property);
  entry.operation = operation;
  entry.value = std::move(value);
  return entry;
}

int32_t EntryOperation(uint8_t kcpOperation) {
  return kcpOperation == KCP_OP_DELETE ? TolvarUpdateMsg::OP_CLEAR : TolvarUpdateMsg::OP_SET;
}

}  // namespace

void ConfigApp::OnKcpMessage(const uint8_t* message, int length) {
  if (length < static_cast<int>(kMsgHeaderLen)) {
    Logger(LOG_LEVEL_ERROR, "ConfigApp: dropped a datapath message of %1 bytes, shorter than its header", length)
        .AddTag("errorCode:LCP00001");
    return;
  }
  KcpMessage decoded;
  DecodeMessage(message, static_cast<size_t>(length), &decoded);
  switch (decoded.type) {
    case KCP_MSG_UPDATE:
      DumpMessage(LOG_LEVEL_INFO, message, static_cast<size_t>(length));
      HandleDPUpdateMsg(message, length, decoded);
      return;
    case KCP_MSG_NOTIFICATION:
      HandleNotification(message, length, decoded);
      return;
    case KCP_MSG_QUERY:
      return;
    case KCP_MSG_SESSION_CONTROL:
      DumpMessage(LOG_LEVEL_INFO, message, static_cast<size_t>(length));
      HandleSessionControl(decoded);
      return;
    default:
      Logger(LOG_LEVEL_ERROR, "ConfigApp: received unknown KCP msg %1", decoded.type).AddTag("errorCode:LCP00506");
      return;
  }
}

void ConfigApp::OnLinkStatus(DataplaneLink*, LinkStatus status) {
  AgentLockGuard lock(AgentLock());
  if (_stopped || !_converter) return;
  if (status == LinkStatus::UP) {
    Logger(LOG_LEVEL_INFO, "ConfigApp: DP link status turns to UP");
    StartFullSyncWithDP();
    _dpLinkUp = true;
    if (_c.table->Initialised() && _c.table->DesiredCount() > 0) {
      Logger(LOG_LEVEL_INFO, "ConfigApp: Start full sync with DP after DP connection is up");
      _converter->SendFullSync(true);
    }
  } else {
    Logger(LOG_LEVEL_INFO, "ConfigApp: DP link status turns to DOWN");
    _dpLinkUp = false;
    _converter->SendFullSync(false);
  }
}

void ConfigApp::StartFullSyncWithDP() {
  _dpFullSyncDone = false;
  _ipDisFullSyncDone = false;
  _fullSyncUpdateList.clear();
  _deferredDeltaList.clear();
  _pendingBindings.clear();
  _pendingIpDiscovery.clear();
  _pendingVifConnections.clear();
  _pendingUplinks.clear();
  _converter->Reset();
  Logger(LOG_LEVEL_INFO, "ConfigApp: start FullSync with DP");
  _sessionState = kSessionReset;
  const uint32_t session = s_sessionId.fetch_add(1) + 1;
  std::vector<uint8_t> open = BuildSessionControl(KCP_SESSION_OPEN, session);
  DumpMessage(LOG_LEVEL_INFO, open.data(), open.size());
  SendToDP(CopyToMessageBuffer(open));
  _sessionState = kSessionOpenSent;
}

void ConfigApp::HandleSessionControl(const KcpMessage& message) {
  if (message.items.empty()) {
    Logger(LOG_LEVEL_ERROR, "ConfigApp: dropped a session control message without data item")
        .AddTag("errorCode:LCP00001");
    return;
  }
  const DataItem& item = message.items.front();
  if (item.type != KCP_SESSION_CONTROL) {
    Logger(LOG_LEVEL_ERROR, "ConfigApp: unsupported session control data type %1", item.type)
        .AddTag("errorCode:LCP00505");
    return;
  }
  if (!item.wellFormed) {
    Logger(LOG_LEVEL_ERROR, "ConfigApp: dropped a malformed session control message").AddTag("errorCode:LCP00001");
    return;
  }
  // Under the lock from the session check on: a full sync started on another thread between the check and the
  // handling would otherwise let this (then old) session's message act on the new session.
  AgentLockGuard lock(AgentLock());
  const uint32_t current = s_sessionId.load();
  if (item.sessionId != current) {
    Logger(LOG_LEVEL_ERROR, "ConfigApp: skipped messages with sessionID %1, current sessionID %2", item.sessionId,
           current)
        .AddTag("errorCode:LCP00504");
    return;
  }
  if (item.controlType == KCP_SESSION_OPEN_ACK) {
    Logger(LOG_LEVEL_DEBUG, "ConfigApp: received session control open ack message from dataplane");
    if (!SessionStep(item, kSessionOpenSent)) return;
    _sessionState = kSessionOpenAcked;
  } else if (item.controlType == KCP_SESSION_FULL_SYNC_END) {
    Logger(LOG_LEVEL_DEBUG, "ConfigApp: received session control full sync end message from dataplane");
    // Once per session, after the Open ACK: a repeated or early end would write the (then empty) pending lists as
    // the whole runtime state and flush every VIF's.
    if (!SessionStep(item, kSessionOpenAcked)) return;
    if (_stopped || !_converter) return;
    _dpFullSyncDone = true;
    _sessionState = kSessionFullSyncEnded;
    std::vector<IpDiscoveryInput> discovery = std::move(_pendingIpDiscovery);
    _pendingIpDiscovery.clear();
    _ipDiscovery->ProcessIpDiscList(discovery, true);
    std::list<TolvarUpdateMsg> connections = std::move(_pendingVifConnections);
    _pendingVifConnections.clear();
    _ipDiscovery->ProcessVifUpdate(connections, true);
    std::vector<UplinkInfo> uplinks = std::move(_pendingUplinks);
    _pendingUplinks.clear();
    _converter->UplinkFullSync(uplinks);
    _converter->EndOfFullSync();
  }
}

bool ConfigApp::SessionStep(const DataItem& item, uint32_t expectedState) {
  const uint32_t state = _sessionState.load();
  if (state == expectedState) return true;
  Logger(LOG_LEVEL_ERROR, "ConfigApp: skipped session control %1 of sessionID %2 in session state %3",
         static_cast<int>(item.controlType), item.sessionId, state)
      .AddTag("errorCode:LCP00504");
  return false;
}

void ConfigApp::HandleNotification(const uint8_t* message, int length, const KcpMessage& decoded) {
  for (const DataItem& item : decoded.items) {
    if (!item.wellFormed) {
      Logger(LOG_LEVEL_ERROR, "ConfigApp: dropped a malformed notification item of data type %1", item.type)
          .AddTag("errorCode:LCP00001");
      continue;
    }
    switch (item.type) {
      case KCP_NOTIFY_DP_STATUS: {
        DumpMessage(LOG_LEVEL_DEBUG, message, static_cast<size_t>(length));
        if (item.status != KCP_DP_OUT_OF_SYNC) break;
        Logger(LOG_LEVEL_INFO, "ConfigApp: re-init control plane due to DP out of sync");
        AgentLockGuard lock(AgentLock());
        if (_stopped || !_converter) return;
        StartFullSyncWithDP();
        _converter->SendFullSync(true);
        break;
      }
      case KCP_NOTIFY_PORT_PROPERTY_OUT_OF_SYNC:
      case KCP_NOTIFY_TKMNIC_PROPERTY_OUT_OF_SYNC: {
        DumpMessage(LOG_LEVEL_INFO, message, static_cast<size_t>(length));
        AgentLockGuard lock(AgentLock());
        if (_converter) _converter->OnResyncProperty(item.type, item.ownerId);
        break;
      }
      case KCP_NOTIFY_PORT_CONTAINER_HOPLIFT_FULL_SYNC: {
        DumpMessage(LOG_LEVEL_INFO, message, static_cast<size_t>(length));
        AgentLockGuard lock(AgentLock());
        if (_converter) _converter->AddHopliftPortSync(item.ownerId, item.value16);
        break;
      }
      default:
        break;
    }
  }
}

void ConfigApp::HandleDPUpdateMsg(const uint8_t*, int, const KcpMessage& decoded) {
  qor::wft::Span span = qor::wft::WorkflowUtil::StartSpan("ConfigApp.HandleDPUpdateMsg");
  if (_sessionState.load() < kSessionOpenAcked) {
    Logger(LOG_LEVEL_DEBUG, "ConfigApp: ignore a datapath update received before the session's open ack");
    return;
  }
  // A series, collected or rejected, never outlives its session: the next session's reports start clean.
  const uint32_t session = s_sessionId.load();
  if (_fragmentsSession != session) {
    _dpFragments.Clear();
    _fragmentsSession = session;
  }
  KcpMessage whole;
  std::string why;
  const VifUpdateFragments::Result result = _dpFragments.Add(decoded, &whole, &why);
  if (!why.empty()) {
    Logger(LOG_LEVEL_ERROR, "ConfigApp: dropped a fragmented VIF update: %1", why).AddTag("errorCode:LCP00001");
  }
  switch (result) {
    case VifUpdateFragments::Result::kPending:
    case VifUpdateFragments::Result::kRejected:
    case VifUpdateFragments::Result::kSwallowed:
      return;
    case VifUpdateFragments::Result::kWhole:
    case VifUpdateFragments::Result::kComplete:
      ApplyDPUpdate(whole);
      return;
  }
}

void ConfigApp::ApplyDPUpdate(const KcpMessage& message) {
  AgentLockGuard lock(AgentLock());
  if (_stopped || !_converter) return;
  for (const DataItem& item : message.items) {
    if (!item.wellFormed) {
      Logger(LOG_LEVEL_ERROR, "ConfigApp: dropped a malformed datapath update item of data type %1", item.type)
          .AddTag("errorCode:LCP00001");
      continue;
    }
    if (item.type == KCP_UPDATE_VIF) {
      const bool nameless =
          std::any_of(item.vifs.begin(), item.vifs.end(), [](const VifRecord& record) { return record.vifId.empty(); });
      if (!nameless) {
        UpdateVifInfo(item);
        UpdateLocalState(item);
        continue;
      }
      // A runtime object without an id is refused by the database, and the whole write with it: the record goes
      // here, the other VIFs' records are applied.
      DataItem named = item;
      std::erase_if(named.vifs, [](const VifRecord& record) {
        if (!record.vifId.empty()) return false;
        Logger(LOG_LEVEL_ERROR, "ConfigApp: dropped a datapath VIF record without VIF ID (port %1)", record.portId)
            .AddTag("errorCode:LCP00001");
        return true;
      });
      UpdateVifInfo(named);
      UpdateLocalState(named);
    } else if (item.type == KCP_UPDATE_UPLINK) {
      std::vector<UplinkInfo> uplinks;
      for (const UplinkRecord& uplink : item.uplinks) {
        uplinks.push_back(UplinkInfo{uplink, item.operation == KCP_OP_DELETE});
      }
      if (_dpFullSyncDone) {
        // Once the full sync has ended nothing hands the waiting list on (the next one starts by emptying it): an
        // uplink the datapath reports later goes to the converter at once.
        _converter->UplinkFullSync(uplinks);
      } else {
        _pendingUplinks.insert(_pendingUplinks.end(), uplinks.begin(), uplinks.end());
      }
    } else {
      Logger(LOG_LEVEL_DEBUG, "ConfigApp: ignore datapath update data type %1", item.type);
    }
  }
}

void ConfigApp::UpdateVifInfo(const DataItem& item) {
  qor::wft::Span span = qor::wft::WorkflowUtil::StartSpan("ConfigApp.UpdateVifInfo");
  std::vector<VifInfo> vifs;
  for (const VifRecord& record : item.vifs) {
    bool connect = false;
    for (const KcpProperty& property : record.properties) {
      if (property.key == KCP_VIF_PROP_STATUS && !property.value.empty() && property.value[0] == KCP_VIF_CONNECT) {
        connect = true;
      }
    }
    if (item.operation == KCP_OP_DELETE || connect) {
      vifs.push_back(VifInfo{record.vifId, record.portId, record.switchId, record.parentVifId, record.vifType});
    }
  }
  // The ports' property sets go out together, not one wake-up of the link per port.
  KcpSendBatch sendBatch(_converter->Builder());
  for (const VifInfo& info : vifs) _converter->ProcessVifInfoUpdate(info, item.operation, _dpFullSyncDone);
}

void ConfigApp::UpdateLocalState(const DataItem& item) {
  qor::wft::Span span = qor::wft::WorkflowUtil::StartSpan("ConfigApp.UpdateLocalState");
  const bool remove = item.operation == KCP_OP_DELETE;
  const char* operationText = remove ? "DELETE" : "UPDATE";
  std::list<TolvarUpdateMsg> entries;
  std::vector<std::string> connected;
  std::vector<std::string> hopliftDeleted;
  for (const VifRecord& record : item.vifs) {
    if (!remove && record.vifId.rfind(kVessixTkmnicPrefix, 0) == 0) {
      Logger(LOG_LEVEL_DEBUG, "ConfigApp: ignore VIF type VESSIX_TKMNIC");
      continue;
    }
    if (Persona() == NODE_PERSONA_SMARTNIC_HOST && record.smartNic == 1) continue;
    if (record.properties.empty()) {
      if (!remove) {
        Logger(LOG_LEVEL_INFO, "ConfigApp: update VIF %1, op %2", record.vifId, operationText);
        continue;
      }
      if (record.hoplift) {
        Logger(LOG_LEVEL_INFO, "ConfigApp: delete VIF %1 due to hoplift", record.vifId);
        tv::HopliftStatusMsg status;
        status.set_id(record.vifId);
        status.set_status(kHopliftInProgress);
        entries.push_back(
            RuntimeEntry(tv::HOPLIFT_STATUS, record.vifId, 0, TolvarUpdateMsg::OP_SET, status.SerializeAsString()));
        hopliftDeleted.push_back(record.vifId);
      }
      entries.push_back(RuntimeEntry(tv::VIF_STATE, record.vifId, 0, TolvarUpdateMsg::OP_CLEAR, std::string()));
      // What its connection left for IP discovery during a datapath full sync goes with it: handed on at the full
      // sync's end, after this delete, its bindings would bring the runtime object back.
      std::erase_if(_pendingIpDiscovery,
                    [&record](const IpDiscoveryInput& input) { return input.vifId == record.vifId; });
      std::erase_if(_pendingVifConnections,
                    [&record](const TolvarUpdateMsg& connection) { return connection.objectId == record.vifId; });
      _converter->HandleVifDisconnection(record.portId);
      Logger(LOG_LEVEL_INFO, "ConfigApp: delete VIF %1", record.vifId);
      continue;
    }
    Logger(LOG_LEVEL_INFO, "ConfigApp: update VIF %1, op %2", record.vifId, operationText);
    bool connect = false;
    std::vector<MacAddress> macs;
    std::vector<KcpProperty> bindings;
    for (const KcpProperty& property : record.properties) {
      if (property.key == KCP_VIF_PROP_STATUS) {
        connect = connect || (!property.value.empty() && property.value[0] == KCP_VIF_CONNECT);
      } else if (property.key == KCP_VIF_PROP_MAC) {
        auto found = DecodeMacProperty(property);
        macs.insert(macs.end(), found.begin(), found.end());
      } else if (property.key == KCP_VIF_PROP_DISCOVERED_BINDINGS) {
        bindings.push_back(property);
      }
    }
    if (connect || !bindings.empty()) {
      tv::VifStateMsg object;
      object.set_id(record.vifId);
      if (record.vifType == KCP_VIF_CONTAINER) object.set_vif_type(KCP_VIF_CONTAINER);
      TolvarUpdateMsg entry =
          RuntimeEntry(tv::VIF_STATE, record.vifId, 0, EntryOperation(item.operation), object.SerializeAsString());
      entries.push_back(entry);
      _pendingVifConnections.push_back(std::move(entry));
      connected.push_back(record.vifId);
    }
    if (!macs.empty()) {
      // The runtime object holds one MAC: the VIF's first.
      tv::VifStateMsg state;
      state.set_id(record.vifId);
      uint64_t mac = 0;
      for (uint8_t byte : macs.front()) mac = (mac << 8) | byte;
      state.mutable_mac()->set_mac(mac);
      entries.push_back(RuntimeEntry(tv::VIF_STATE, record.vifId, tv::Property::VIF_MAC, EntryOperation(item.operation),
                                     state.SerializeAsString()));
    }
    if (!bindings.empty()) _pendingIpDiscovery.push_back(IpDiscoveryInput{record.vifId, bindings, item.operation});
  }
  for (const std::string& vifId : connected) {
    auto it = std::find_if(_hopliftStatusList.begin(), _hopliftStatusList.end(),
                           [&vifId](const auto& record) { return record.first == vifId; });
    if (it == _hopliftStatusList.end()) continue;
    Logger(LOG_LEVEL_INFO, "ConfigApp: delete hoplift status message with VIF %1.", vifId);
    _hopliftStatusList.erase(it);
    entries.push_back(RuntimeEntry(tv::HOPLIFT_STATUS, vifId, 0, TolvarUpdateMsg::OP_CLEAR, std::string()));
  }
  if (!_dpFullSyncDone) {
    span.SetTag("DpFullsyncDone", "False");
    _fullSyncUpdateList.splice(_fullSyncUpdateList.end(), entries);
  } else if (!_ipDisFullSyncDone) {
    span.SetTag("DpFullsyncDone", "True");
    _deferredDeltaList.splice(_deferredDeltaList.end(), entries);
  } else {
    if (!entries.empty()) {
      WriteRuntime(entries, false);
      Logger(LOG_LEVEL_INFO, "ConfigApp: write to ConfigCache on VIF update (delta update)");
    }
    std::vector<IpDiscoveryInput> discovery = std::move(_pendingIpDiscovery);
    _pendingIpDiscovery.clear();
    if (!discovery.empty()) _ipDiscovery->ProcessIpDiscList(discovery, false);
    std::list<TolvarUpdateMsg> connections = std::move(_pendingVifConnections);
    _pendingVifConnections.clear();
    if (!connections.empty()) _ipDiscovery->ProcessVifUpdate(connections, false);
  }
  // Recorded whatever the phase of the full sync, so that every record is deleted in time.
  if (!hopliftDeleted.empty()) RecordHopliftStatus(hopliftDeleted);
}

void ConfigApp::WriteRuntime(const std::list<TolvarUpdateMsg>& entries, bool fullSync) {
  _c.table->UpdateRuntimeState(entries, fullSync);
}

void ConfigApp::OnIpDiscoveryReady(std::list<TolvarUpdateMsg> updates, bool vifConnectionUpdate) {
  Logger(LOG_LEVEL_INFO, "ConfigApp: IpDiscovery update ready, vifConnectionUpdate : %1, upds size : %2",
         vifConnectionUpdate, updates.size());
  AgentLockGuard lock(AgentLock());
  if (_stopped) return;
  if (!vifConnectionUpdate) {
    for (TolvarUpdateMsg& update : updates) _pendingBindings[update.objectId] = std::move(update);
    return;
  }
  for (TolvarUpdateMsg& update : updates) {
    auto stored = _pendingBindings.find(update.objectId);
    if (stored == _pendingBindings.end()) {
      _fullSyncUpdateList.push_back(std::move(update));
      continue;
    }
    tv::VifStateMsg merged;
    merged.ParseFromString(update.value);
    tv::VifStateMsg older;
    older.ParseFromString(stored->second.value);
    for (const auto& binding : older.discovered_bindings()) *merged.add_discovered_bindings() = binding;
    _fullSyncUpdateList.push_back(RuntimeEntry(tv::VIF_STATE, update.objectId, tv::Property::VIF_IP_DISCOVEREDBINDING,
                                               TolvarUpdateMsg::OP_SET, merged.SerializeAsString()));
    _pendingBindings.erase(stored);
  }
  for (auto& [vifId, entry] : _pendingBindings) _fullSyncUpdateList.push_back(std::move(entry));
  _pendingBindings.clear();
  KeepHopliftStatusRecords();
  Logger(LOG_LEVEL_INFO, "ConfigApp: _fullSyncUpdateList size : %1 before updating config state cache",
         _fullSyncUpdateList.size());
  std::list<TolvarUpdateMsg> fullSync = std::move(_fullSyncUpdateList);
  _fullSyncUpdateList.clear();
  WriteRuntime(fullSync, true);
  Logger(LOG_LEVEL_INFO, "ConfigApp: finished write to ConfigCache on IP Discovery ready (FullSync)");
  if (!_deferredDeltaList.empty()) {
    std::list<TolvarUpdateMsg> deferred = std::move(_deferredDeltaList);
    _deferredDeltaList.clear();
    WriteRuntime(deferred, false);
    Logger(LOG_LEVEL_INFO, "ConfigApp: finished write to ConfigCache on VIF update (delta update)");
  }
  _ipDisFullSyncDone = true;
  Logger(LOG_LEVEL_INFO, "ConfigApp: _ipDisFullSyncDone set to true");
}

void ConfigApp::KeepHopliftStatusRecords() {
  // The full sync replaces every HOPLIFT_STATUS record: those still waiting for their time or their VIF's return
  // must be part of it, or a resync would delete them early.
  std::set<std::string> listed;
  for (const TolvarUpdateMsg& entry : _fullSyncUpdateList) {
    if (entry.objectType == tv::HOPLIFT_STATUS) listed.insert(entry.objectId);
  }
  for (const auto& [vifId, since] : _hopliftStatusList) {
    if (listed.count(vifId)) continue;
    tv::HopliftStatusMsg status;
    status.set_id(vifId);
    status.set_status(kHopliftInProgress);
    _fullSyncUpdateList.push_back(
        RuntimeEntry(tv::HOPLIFT_STATUS, vifId, 0, TolvarUpdateMsg::OP_SET, status.SerializeAsString()));
  }
}

void ConfigApp::OnDpStatusTimer() {
  std::vector<uint8_t> query = BuildDpStatusQuery();
  DumpMessage(LOG_LEVEL_DEBUG, query.data(), query.size());
  SendToDP(CopyToMessageBuffer(query));
  AgentLockGuard lock(AgentLock());
  if (_dpStatusTimer && !_stopped) _dpStatusTimer->Start(kDpStatusIntervalUs);
}

void ConfigApp::RecordHopliftStatus(const std::vector<std::string>& vifIds) {
  const int64_t now = NowMs();
  for (const std::string& vifId : vifIds) {
    std::erase_if(_hopliftStatusList, [&vifId](const auto& record) { return record.first == vifId; });
    _hopliftStatusList.emplace_back(vifId, now);
  }
  if (!_hopliftTimer) {
    TimerFactory timersA = _c.timersA ? _c.timersA : AsioTimerFactory(WorkGroup::IoContextA());
    auto target = _target;
    _hopliftTimer = timersA([target] { target->Call([](ConfigApp& app) { app.OnHopliftStatusTimer(); }); });
  }
  // Armed only when idle: re-arming on every migration would postpone the older records' deletion.
  if (!_hopliftTimer->Pending()) _hopliftTimer->Start(kHopliftStatusIntervalUs);
}

void ConfigApp::OnHopliftStatusTimer() {
  AgentLockGuard lock(AgentLock());
  if (_stopped) return;
  Logger(LOG_LEVEL_DEBUG, "ConfigApp: Hoplift status message timer call back");
  const int64_t now = NowMs();
  std::list<TolvarUpdateMsg> entries;
  for (auto it = _hopliftStatusList.begin(); it != _hopliftStatusList.end();) {
    if (now - it->second < kHopliftStatusAgeMs) {
      ++it;
      continue;
    }
    Logger(LOG_LEVEL_INFO, "ConfigApp: delete hoplift status message with VIF %1", it->first);
    entries.push_back(RuntimeEntry(tv::HOPLIFT_STATUS, it->first, 0, TolvarUpdateMsg::OP_CLEAR, std::string()));
    // Its creation may still be held back with a datapath full sync that has not ended: written after this delete,
    // it would stay for good.
    auto held = [&vifId = it->first](const TolvarUpdateMsg& entry) {
      return entry.objectType == tv::HOPLIFT_STATUS && entry.objectId == vifId;
    };
    std::erase_if(_fullSyncUpdateList, held);
    std::erase_if(_deferredDeltaList, held);
    it = _hopliftStatusList.erase(it);
  }
  if (!entries.empty()) WriteRuntime(entries, false);
  if (!_hopliftStatusList.empty() && _hopliftTimer) _hopliftTimer->Start(kHopliftStatusIntervalUs);
}

}  // namespace VevUroro
