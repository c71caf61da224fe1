// The L2 application's datapath side: the L2 mapping session, VNI membership, the module's local tables written
// to the L2 runtime cache, queries answered from the desired tables, state reports, instances and alarms.
#include "apps/config/AddressBytes.h"
#include "apps/config/UuidText.h"
#include "apps/overlay/L2App.h"
#include "core/AgentLock.h"
#include "core/Logger.h"
#include "platform/tolvar/TolvarSchema.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace VevUroro {

namespace tv = zantix::qor::tolvar;
using tv::Property;
using namespace overlay;

namespace {

constexpr const char* kPrefix = "L2App";

// The BFD table names switches by their UUID text; a VNI whose switch is not configured yet has none.
std::string SwitchUuidText(const std::string& lsId) {
  return lsId.empty() ? std::string() : UuidText(lsId);
}

void LogMalformed(const char* format, size_t value) {
  Logger(LOG_LEVEL_ERROR, format, kPrefix, value).AddTag("errorCode:LCP00407");
}

TolvarUpdateMsg Element(uint32_t type, const std::string& id, uint32_t property, std::string value, bool add) {
  TolvarUpdateMsg entry;
  entry.objectType = static_cast<int32_t>(type);
  entry.objectId = id;
  entry.propertyType = static_cast<int32_t>(property);
  entry.value = std::move(value);
  entry.operation = add ? TolvarUpdateMsg::OP_INSERT : TolvarUpdateMsg::OP_REMOVE;
  return entry;
}

// The runtime object of a routing domain's local VTEPs.
TolvarUpdateMsg RoutingDomainRecord(const std::string& domain) {
  TolvarUpdateMsg object;
  object.objectType = tv::ROUTING_DOMAIN_VTEP;
  object.objectId = domain;
  tv::RoutingDomainVtepMsg msg;
  msg.mutable_id()->ParseFromString(domain);
  object.value = msg.SerializeAsString();
  object.operation = TolvarUpdateMsg::OP_SET;
  return object;
}

}  // namespace

TolvarUpdateMsg L2App::SwitchStateRecord(const std::string& lsId, uint32_t vni) const {
  tv::LogSwitchStateMsg state;
  state.mutable_id()->ParseFromString(lsId);
  state.set_vni(vni);
  TolvarUpdateMsg entry;
  entry.objectType = tv::LOG_SWITCH_STATE;
  entry.objectId = lsId;
  entry.value = state.SerializeAsString();
  entry.operation = TolvarUpdateMsg::OP_SET;
  return entry;
}

void L2App::WriteRuntime(std::list<TolvarUpdateMsg> entries, bool fullSync) {
  if (entries.empty() && !fullSync) return;
  _c.l2Table->UpdateRuntimeState(entries, fullSync);
}

void L2App::MaybeEndSync() {
  if (!_dpSyncEnded || !_desiredSynced || _runtimeSynced) return;
  WriteRuntimeFullSync();
  Bytes session;
  PutU32(session, _sessionId);
  Send(Message(kMsgSessionControl, _sessionId, kSessionAgentSyncEnd, session));
}

std::list<TolvarUpdateMsg> L2App::SwitchRuntime(uint32_t vni, const std::string& lsId) const {
  std::list<TolvarUpdateMsg> entries{SwitchStateRecord(lsId, vni)};
  auto local = _local.find(vni);
  if (local == _local.end()) return entries;
  for (const auto& [key, value] : local->second.vteps) {
    entries.push_back(Element(tv::LOG_SWITCH_STATE, lsId, Property::L2_VTEP, value, true));
  }
  for (const auto& [key, value] : local->second.macs) {
    entries.push_back(Element(tv::LOG_SWITCH_STATE, lsId, Property::L2_VM_MAC, value, true));
  }
  return entries;
}

void L2App::WriteRuntimeFullSync() {
  std::list<TolvarUpdateMsg> entries;
  size_t elements = 0;
  for (const auto& [vni, joined] : _joined) {
    if (joined.lsId.empty()) continue;
    std::list<TolvarUpdateMsg> records = SwitchRuntime(vni, joined.lsId);
    elements += records.size() - 1;
    entries.splice(entries.end(), records);
  }
  for (const auto& [domain, vteps] : _localRdVteps) {
    entries.push_back(RoutingDomainRecord(domain));
    for (const auto& [key, value] : vteps) {
      entries.push_back(Element(tv::ROUTING_DOMAIN_VTEP, domain, Property::L2_VTEP, value, true));
    }
  }
  if (elements == 0 && _localRdVteps.empty()) {
    Logger(LOG_LEVEL_INFO,
           "%1: DP full sync done, no queued LS fib and regular RD (fib), write global RD fib to L2 runtime "
           "statecache",
           kPrefix);
  }
  _runtimeSynced = true;
  WriteRuntime(std::move(entries), true);
}

// ---- Link and session ----

void L2App::OnLinkStatus(DataplaneLink* link, LinkStatus status) {
  AgentLockGuard lock(AgentLock());
  if (link != _link.get() || _stopped) return;
  if (status == LinkStatus::UP) {
    Logger(LOG_LEVEL_INFO, "%1: tkmlink up", kPrefix);
    _linkUp = true;
    StartSession();
  } else {
    Logger(LOG_LEVEL_INFO, "%1: tkmlink down", kPrefix);
    _linkUp = false;
  }
}

void L2App::StartSession() {
  _readyLevel = 0;
  _sessionId = ++s_sessionId;
  // The module reports its overlay instances again in each session; those of a module that went (a restart, a
  // reload that numbers them anew) must not count against the global routing domain's one host switch.
  _instances.clear();
  _queuedInstances.clear();
  Bytes version;
  PutU32(version, kProtocolVersion);
  Bytes init = Message(kMsgInit, _sessionId, kInitVersion, version);
  QOR_LOG(LOG_LEVEL_DEBUG, "%1: %2", kPrefix, DumpMessage(init.data(), init.size()));
  Send(init);
  _readyLevel = 1;
  Bytes session;
  PutU32(session, _sessionId);
  Bytes open = Message(kMsgSessionControl, _sessionId, kSessionOpen, session);
  QOR_LOG(LOG_LEVEL_DEBUG, "%1: %2", kPrefix, DumpMessage(open.data(), open.size()));
  Send(open);
}

bool L2App::SimulateOutOfSync() {
  AgentLockGuard lock(AgentLock());
  if (_stopped || !_linkUp) return false;
  Logger(LOG_LEVEL_INFO, "%1: get out-of-sync(%2) report from dataplane", kPrefix, 1);
  StartSession();
  return true;
}

void L2App::OnLinkMessage(const uint8_t* message, int length) {
  AgentLockGuard lock(AgentLock());
  if (_stopped || length < 0) return;
  Logger(LOG_LEVEL_DEBUG, "%1: receive a message from kernel", kPrefix);
  QOR_LOG(LOG_LEVEL_DEBUG, "%1: %2", kPrefix, DumpMessage(message, static_cast<size_t>(length)));
  ReceivedMessage received;
  size_t badAt = 0;
  if (!ReadMessage(message, static_cast<size_t>(length), &received, &badAt)) {
    LogMalformed("%1: TLV message validation failed at line %2", badAt);
    return;
  }
  if (received.session != _sessionId) {
    Logger(LOG_LEVEL_INFO, "%1: skip messages with sessionID %2, current sessionID %3", kPrefix, received.session,
           _sessionId);
    return;
  }
  switch (received.type) {
    case kMsgVniMembership:
      HandleVniMembership(received);
      break;
    case kMsgUpdate:
      HandleUpdate(received);
      break;
    case kMsgQuery:
      HandleQuery(received);
      break;
    case kMsgQueryAnswer:
      break;
    case kMsgStateReport:
      HandleStateReport(received);
      break;
    case kMsgSessionControl:
      HandleSessionControl(received);
      break;
    case kMsgInstanceChange:
      HandleInstanceChange(received);
      break;
    case kMsgAlarm:
      for (const Tlv& tlv : received.tlvs) {
        if (tlv.type != kAlarmTkmnic) {
          LogMalformed("%1: unsupported alarm data type %2", tlv.type);
          continue;
        }
        _alarms.OnAlarmMessage(tlv.data, tlv.length);  // a refusal is logged there
      }
      break;
    case kMsgInit:
    case kMsgConfigure:
      LogMalformed("%1: internal vxlan message(type:%2) need handler", received.type);
      break;
    default:
      LogMalformed("%1: unknown vxlan msg %2", received.type);
      break;
  }
}

void L2App::HandleSessionControl(const ReceivedMessage& message) {
  for (const Tlv& tlv : message.tlvs) {
    if (tlv.length != kSessionControlLen) {
      LogMalformed("%1: invalid Session L2 mapping message length %2", tlv.length);
      continue;
    }
    if (tlv.type == kSessionOpenAck) {
      Logger(LOG_LEVEL_INFO, "%1: get L2 mapping session control open ack message from dataplane", kPrefix);
      if (_readyLevel != 1) continue;
      _readyLevel = 2;
      // The module reports its joins, local tables and full-sync end again in the new session.
      _joined.clear();
      _local.clear();
      _localRdVteps.clear();
      _runtimeSynced = false;
      _dpSyncEnded = false;
      for (auto& [domain, switchId] : _routingDomains) switchId = 0;
      _globalRdSent.clear();  // the module drops what this session does not send again
      _globalRdSwitch = 0;
      for (const auto& [instance, insert] : std::exchange(_queuedInstances, {})) ApplyInstanceChange(insert, instance);
      SendSessionGlobals();
      SyncGlobalRoutingDomain();
    } else if (tlv.type == kSessionFullSyncEnd) {
      Logger(LOG_LEVEL_INFO, "%1: get L2 mapping session control full sync end message from dataplane", kPrefix);
      if (_readyLevel != 2) continue;
      _dpSyncEnded = true;
      MaybeEndSync();
    } else {
      LogMalformed("%1: unsupported session control data type %2", tlv.type);
    }
  }
}

// ---- VNI membership ----

void L2App::HandleVniMembership(const ReceivedMessage& message) {
  if (_readyLevel != 2) {
    Logger(LOG_LEVEL_WARN, "%1: not ready to receive internal vxlan VNI change message", kPrefix);
    return;
  }
  for (const Tlv& tlv : message.tlvs) {
    if (tlv.type != kVniMembershipChange) {
      LogMalformed("%1: unsupported VNI Membership Change data type %2", tlv.type);
      continue;
    }
    if (tlv.length != kVniMembershipLen) {
      LogMalformed("%1: invalid VNI Membership Change message length %2", tlv.length);
      continue;
    }
    const uint32_t switchId = GetU32(tlv.data);
    const uint32_t vni = GetU32(tlv.data + 4);
    if (tlv.data[8] == kVniJoin) {
      JoinVni(switchId, vni);
    } else if (tlv.data[8] == kVniLeave) {
      LeaveVni(vni);
    } else {
      LogMalformed("%1: invalid VNI Membership Change action %2", tlv.data[8]);
    }
  }
}

void L2App::JoinVni(uint32_t switchId, uint32_t vni) {
  if (_joined.count(vni)) {
    Logger(LOG_LEVEL_WARN, "%1: Duplicate VNI Join message: %2", kPrefix, vni);
    return;
  }
  JoinedVni& joined = _joined[vni];
  joined.switchId = switchId;
  Logger(LOG_LEVEL_INFO, "%1: Add logical switch(VNI: %2, switchID: %3)", kPrefix, vni, switchId);
  if (auto lsId = SwitchOfVni(vni)) {
    joined.lsId = *lsId;
    Logger(LOG_LEVEL_INFO, "%1: Set logical switch UUID %2 for VNI %3 when VNI is joined", kPrefix, UuidText(*lsId),
           vni);
    auto sw = _switches.find(*lsId);
    if (sw != _switches.end() && !sw->second.routingDomain.empty()) {
      uint32_t& rdSwitch = _routingDomains[sw->second.routingDomain];
      if (rdSwitch == 0) {
        rdSwitch = switchId;
        Logger(LOG_LEVEL_INFO, "%1: Update routingDomainID %2 with switchID %3", kPrefix,
               UuidText(sw->second.routingDomain), switchId);
        SendRoutingDomains();
        for (const auto& [id, fib] : _rdFibs) {
          if (fib.routingDomain != sw->second.routingDomain) continue;
          std::vector<Bytes> records;
          for (const auto& [key, value] : fib.vteps) {
            if (auto record = ElementRecord(Property::L2_VTEP, value)) records.push_back(record->second);
          }
          SendRoutingDomainVteps(fib, records, {});
        }
      }
    }
    if (_runtimeSynced) WriteRuntime({SwitchStateRecord(*lsId, vni)}, false);
  } else {
    Logger(LOG_LEVEL_INFO, "%1: LSID is not ready for VNI %2", kPrefix, vni);
  }
  if (const LsFib* fib = FibOfSwitch(joined.lsId);
      fib && (!fib->vteps.empty() || !fib->macs.empty() || !fib->ips.empty())) {
    Logger(LOG_LEVEL_INFO, "%1: insert VNI join before inserting local FIB update: %2", kPrefix, vni);
  }
  SendVniTables(vni, joined);
  if (_bfdListener) _bfdListener->HandleStateCacheVNIUpdate(vni, SwitchUuidText(joined.lsId), true);
}

void L2App::LeaveVni(uint32_t vni) {
  auto joined = _joined.find(vni);
  if (joined == _joined.end()) {
    Logger(LOG_LEVEL_WARN, "%1: No-existing VNI Leave message: %2", kPrefix, vni);
    return;
  }
  Logger(LOG_LEVEL_INFO, "%1: Remove logical switch(VNI: %2)", kPrefix, vni);
  const std::string lsId = joined->second.lsId;
  if (!lsId.empty()) {
    Logger(LOG_LEVEL_INFO, "%1: Delete runtime states when LS %2 is deleted", kPrefix, UuidText(lsId));
    if (_runtimeSynced) _c.l2Table->RemoveLocalL2Table(tv::LOG_SWITCH_STATE, lsId);
  }
  _local.erase(vni);
  Logger(LOG_LEVEL_INFO, "%1: Remove VNI %2 from queued message list", kPrefix, vni);
  _joined.erase(joined);
  if (_bfdListener) _bfdListener->HandleStateCacheVNIUpdate(vni, SwitchUuidText(lsId), false);
}

// ---- The module's local tables ----

void L2App::HandleUpdate(const ReceivedMessage& message) {
  if (_readyLevel != 2) {
    Logger(LOG_LEVEL_WARN, "%1: not ready to receive internal vxlan update message", kPrefix);
    return;
  }
  const LocalUpdate update = ParseLocalUpdate(message);
  switch (update.error) {
    case LocalUpdateError::kNone:
      break;
    case LocalUpdateError::kItem:
      LogMalformed("%1: internal vxlan message(type:%2) need handler", update.value);
      return;
    case LocalUpdateError::kLength:
      LogMalformed("%1: TLV message validation failed at line %2", update.value);
      return;
    case LocalUpdateError::kAddressType: {
      const LocalRecord& r = update.failedRecord;
      const bool rd = r.table == kUpdateRoutingDomainVtep;
      Logger(LOG_LEVEL_ERROR,
             r.add ? (rd ? "RoutingVTEPUpdateTLV2PB: Invalid address type %1 for addEntries[%2]"
                         : "VTEPUpdateTLV2PB: Invalid address type %1 for addEntries[%2]")
                   : (rd ? "RoutingVTEPUpdateTLV2PB: Invalid address type %1 for delEntries[%2]"
                         : "VTEPUpdateTLV2PB: Invalid address type %1 for delEntries[%2]"),
             update.value, r.index)
          .AddTag("errorCode:LCP00019");
      return;
    }
    case LocalUpdateError::kOrder:
    case LocalUpdateError::kContradiction: {
      const LocalRecord& a = update.records[update.first];
      const LocalRecord& b = update.records[update.second];
      Logger(LOG_LEVEL_ERROR,
             update.error == LocalUpdateError::kOrder
                 ? "%1: Invalid VTEP updates order found, update op %2, VTEP msg %3, update op %4, VTEP msg %5"
                 : "%1: Invalid VTEP updates found, update op %2, VTEP msg %3, update op %4, VTEP msg %5",
             kPrefix, a.add ? "add" : "delete", GetU32(a.record + kVtepLabelOffset), b.add ? "add" : "delete",
             GetU32(b.record + kVtepLabelOffset))
          .AddTag("errorCode:LCP00407");
      return;
    }
  }
  std::list<TolvarUpdateMsg> entries;
  std::set<uint32_t> ignored;
  std::set<std::string> unknownDomains, emptiedDomains, foreignDomains;
  bool rdVteps = false;
  bool queuedGlobal = false;
  for (const LocalRecord& r : update.records) {
    const bool rd = r.table == kUpdateRoutingDomainVtep;
    // Runtime state is written only for the routing domains the configuration names.
    const bool global = rd && r.domain == GlobalRoutingDomainId();
    if (rd && !global && !_routingDomains.count(r.domain)) {
      if (unknownDomains.insert(r.domain).second) {
        Logger(LOG_LEVEL_ERROR, "%1: ignore routing domain VTEP update of unknown routing domain %2, switchID %3",
               kPrefix, UuidText(r.domain), r.switchId)
            .AddTag("errorCode:LCP00407");
      }
      continue;
    }
    // A domain's VTEPs come from the switch that carries it (the global one: the host switch's one instance). While
    // that switch is not known yet in this session, nothing contradicts the report.
    if (rd && global && _instances.size() > 1) {
      if (foreignDomains.insert(r.domain).second) {
        Logger(LOG_LEVEL_ERROR, "%1: only one host switch is supported for global routing domain %2 instance found",
               kPrefix, _instances.size())
            .AddTag("errorCode:LCP00409");
      }
      continue;
    }
    const uint32_t domainSwitch = !rd      ? 0
                                  : global ? (_instances.empty() ? 0 : *_instances.begin())
                                           : _routingDomains[r.domain];
    if (domainSwitch != 0 && r.switchId != domainSwitch) {
      if (foreignDomains.insert(r.domain).second) {
        Logger(LOG_LEVEL_ERROR,
               "%1: ignore routing domain VTEP update of routing domain %2 from switchID %3, the domain is on "
               "switchID %4",
               kPrefix, UuidText(r.domain), r.switchId, domainSwitch)
            .AddTag("errorCode:LCP00407");
      }
      continue;
    }
    if (!rd && !_joined.count(r.vni)) {
      if (ignored.insert(r.vni).second) {
        Logger(LOG_LEVEL_INFO,
               r.table == kUpdateVtep ? "%1: ignore VTEP membership update due to no VNI join %1"
                                      : "%1: ignore VM MAC update due to no VNI join %1",
               kPrefix, r.vni);
      }
      continue;
    }
    const uint32_t property = r.table == kUpdateVmMac ? uint32_t(Property::L2_VM_MAC) : uint32_t(Property::L2_VTEP);
    std::string value;
    if (property == Property::L2_VTEP) {
      auto vtep = VtepFromRecord(r.record);
      if (!vtep) continue;
      value = vtep->SerializeAsString();
    } else {
      value = VmMacFromRecord(r.record).SerializeAsString();
    }
    L2ValueKey key;
    if (!StateCacheL2Table::ValueKey(property, value, &key)) continue;
    if (rd) {
      rdVteps = true;
      if (global && !_runtimeSynced && !queuedGlobal) {
        queuedGlobal = true;
        Logger(LOG_LEVEL_INFO, "%1: L2 runtime statecache full sync not done, queue global routing domain update",
               kPrefix);
      }
      Table& table = _localRdVteps[r.domain];
      if (r.add) {
        Logger(LOG_LEVEL_INFO, "%1: add local routing domain VTEP %2, switchID %3", kPrefix,
               GetU32(r.record + kVtepLabelOffset), r.switchId);
        if (_runtimeSynced && table.empty()) entries.push_back(RoutingDomainRecord(r.domain));
        table[key] = value;
      } else {
        Logger(LOG_LEVEL_INFO, "%1, delete local routing domain VTEP %2, switchID %3", kPrefix,
               GetU32(r.record + kVtepLabelOffset), r.switchId);
        table.erase(key);
        // A domain without local VTEPs has no runtime object: it goes with its last VTEP.
        if (table.empty()) {
          _localRdVteps.erase(r.domain);
          emptiedDomains.insert(r.domain);
        }
      }
      entries.push_back(Element(tv::ROUTING_DOMAIN_VTEP, r.domain, Property::L2_VTEP, value, r.add));
      continue;
    }
    LocalTables& local = _local[r.vni];
    Table& table = property == Property::L2_VTEP ? local.vteps : local.macs;
    if (r.add) {
      table[key] = value;
    } else {
      table.erase(key);
    }
    const std::string& lsId = _joined[r.vni].lsId;
    if (!lsId.empty()) entries.push_back(Element(tv::LOG_SWITCH_STATE, lsId, property, value, r.add));
  }
  if (!_runtimeSynced) return;  // written with the runtime full sync once the session's sync ends
  if (rdVteps)
    Logger(LOG_LEVEL_DEBUG, "%1-DR-ARP: UpdateRDVtepToL2Cache sends TolvarUpdateMsg, switchID %2", kPrefix, 0);
  WriteRuntime(std::move(entries), false);
  for (const std::string& domain : emptiedDomains) {
    if (!_localRdVteps.count(domain)) _c.l2Table->RemoveLocalL2Table(tv::ROUTING_DOMAIN_VTEP, domain);
  }
}

// ---- Queries ----

void L2App::HandleQuery(const ReceivedMessage& message) {
  for (const Tlv& tlv : message.tlvs) {
    const uint8_t* p = tlv.data;
    const char* kind = nullptr;
    size_t expected = 0;
    uint32_t property = 0;
    switch (tlv.type) {
      case kQueryVmMac:
        kind = "%1: invalid VXLAN_DATATYPE_VMMAC  message length %2";
        expected = kQueryVmMacLen;
        property = Property::L2_VM_MAC;
        break;
      case kQueryArp:
        kind = "%1: invalid VXLAN_DATATYPE_ARPv4 message length %2";
        expected = kQueryArpLen;
        property = Property::L2_VM_IP;
        break;
      case kQueryNd:
        kind = "%1: invalid VXLAN_DATATYPE_NDv6  message length %2";
        expected = kQueryNdLen;
        property = Property::L2_VM_IP;
        break;
      default:
        LogMalformed("%1: Unknown internal data type in query message: %2", tlv.type);
        continue;
    }
    if (tlv.length != expected) {
      LogMalformed(kind, tlv.length);
      continue;
    }
    const uint32_t vni = GetU32(p);
    auto lsId = SwitchOfVni(vni);
    if (!lsId) {
      const char* missing = tlv.type == kQueryVmMac ? "%1: MAC query, LSID can't be found for VNI %2"
                            : tlv.type == kQueryArp
                                ? "%1: ARP query, LSID can't be found for VNI %2"
                                : "%1: IPv6 Neighbour Discovery query, LSID can't be found for VNI %2";
      LogMalformed(missing, vni);
      continue;
    }
    // The element sought, keyed as the desired table keys it.
    std::string probe;
    if (tlv.type == kQueryVmMac) {
      tv::VmMacMsg mac;
      uint64_t value = 0;
      for (int i = 0; i < 6; ++i) value = (value << 8) | p[4 + i];
      mac.mutable_mac()->set_mac(value);
      probe = mac.SerializeAsString();
    } else {
      tv::VmIpMsg ip;
      if (tlv.type == kQueryArp) {
        ip.mutable_ip()->set_ipv4(GetU32(p + 4));
      } else {
        ip.mutable_ip()->set_ipv6(std::string(reinterpret_cast<const char*>(p + 4), 16));
      }
      probe = ip.SerializeAsString();
    }
    L2ValueKey key;
    StateCacheL2Table::ValueKey(property, probe, &key);
    const LsFib* fib = FibOfSwitch(*lsId);
    const Table* table = fib ? (property == Property::L2_VM_MAC ? &fib->macs : &fib->ips) : nullptr;
    auto found = table ? table->find(key) : Table::const_iterator();
    const bool hit = table && found != table->end();
    Bytes answer(p, p + tlv.length);
    answer.push_back(hit ? 1 : 0);
    if (tlv.type == kQueryVmMac) {
      tv::VmMacMsg mac;
      if (hit) mac.ParseFromString(found->second);
      Bytes record = VmMacRecord(mac);
      answer.insert(answer.end(), record.begin() + 6, record.end());
      if (hit) {
        uint8_t bytes[6];
        WriteMacBytes(mac.mac(), bytes);
        Logger(LOG_LEVEL_INFO, "Discovered mac %1 for DP Query- ", MacText(bytes));
      }
    } else {
      tv::VmIpMsg ip;
      if (hit) ip.ParseFromString(found->second);
      uint8_t bytes[6];
      WriteMacBytes(ip.mac(), bytes);
      answer.insert(answer.end(), bytes, bytes + 6);
      if (hit) Logger(LOG_LEVEL_INFO, "Discovered mac %1 for DP Query- ", MacText(bytes));
    }
    Send(Message(kMsgQueryAnswer, _sessionId, tlv.type, answer));
  }
}

// ---- State reports and instances ----

void L2App::HandleStateReport(const ReceivedMessage& message) {
  for (const Tlv& tlv : message.tlvs) {
    if (tlv.type != kReportOutOfSync) {
      LogMalformed("%1: unsupported state report data type %2", tlv.type);
      continue;
    }
    if (tlv.length != 1) {
      LogMalformed("%1: unsupported state report data length %2", tlv.length);
      continue;
    }
    if (tlv.data[0] != 0) {
      Logger(LOG_LEVEL_INFO, "%1: get out-of-sync(%2) report from dataplane", kPrefix, tlv.data[0]);
      StartSession();
      return;
    }
  }
}

void L2App::HandleInstanceChange(const ReceivedMessage& message) {
  for (const Tlv& tlv : message.tlvs) {
    if (tlv.type != kInstanceInsert && tlv.type != kInstanceRemove) {
      LogMalformed("%1: unsupported ovl2 instance change data type %2", tlv.type);
      continue;
    }
    if (tlv.length != kInstanceLen) {
      LogMalformed("%1: invalid ovl2 instance change message length %2", tlv.length);
      continue;
    }
    const bool insert = tlv.type == kInstanceInsert;
    const uint32_t instance = GetU32(tlv.data);
    if (_readyLevel != 2) {
      Logger(LOG_LEVEL_WARN, "%1: not ready to receive internal vxlan instance change message", kPrefix);
      Logger(LOG_LEVEL_INFO, insert ? "%1: Insert queued ovl2 instance %2" : "%1: Remove queued ovl2 instance %2",
             kPrefix, instance);
      // The last change of an instance decides whether it exists: keep only that one, for a bounded number.
      if (!_queuedInstances.count(instance) && _queuedInstances.size() >= kMaxQueuedInstances) {
        Logger(LOG_LEVEL_ERROR, "%1: %2 ovl2 instances queued, dropping the change of instance %3", kPrefix,
               _queuedInstances.size(), instance)
            .AddTag("errorCode:LCP00407");
        continue;
      }
      _queuedInstances[instance] = insert;
      continue;
    }
    if (ApplyInstanceChange(insert, instance)) SyncGlobalRoutingDomain();
  }
}

bool L2App::ApplyInstanceChange(bool insert, uint32_t instance) {
  if (insert) {
    if (!_instances.insert(instance).second) {
      Logger(LOG_LEVEL_WARN, "%1: ovl2 instance %2 already exit", kPrefix, instance);
      return false;
    }
    Logger(LOG_LEVEL_INFO, "%1: Insert ovl2 instance %2", kPrefix, instance);
  } else {
    if (!_instances.erase(instance)) {
      Logger(LOG_LEVEL_WARN, "%1: ovl2 instance %2 not exit", kPrefix, instance);
      return false;
    }
    Logger(LOG_LEVEL_INFO, "%1: Remove ovl2 instance %2", kPrefix, instance);
  }
  return true;
}

std::optional<uint32_t> L2App::GlobalRoutingDomainSwitch() const {
  if (_instances.empty()) {
    Logger(LOG_LEVEL_INFO, "%1: sync global routing domain, no ovl2 instance found", kPrefix);
    return std::nullopt;
  }
  if (_instances.size() > 1) {
    Logger(LOG_LEVEL_ERROR, "%1: only one host switch is supported for global routing domain %2 instance found",
           kPrefix, _instances.size())
        .AddTag("errorCode:LCP00409");
    return std::nullopt;
  }
  // Switch ID 0 names no switch in the module.
  if (*_instances.begin() == 0) {
    Logger(LOG_LEVEL_ERROR, "%1: invalid sync global routing domain %2", kPrefix, UuidText(GlobalRoutingDomainId()))
        .AddTag("errorCode:LCP00901");
    return std::nullopt;
  }
  return *_instances.begin();
}

void L2App::SyncGlobalRoutingDomain() {
  const std::optional<uint32_t> target = GlobalRoutingDomainSwitch();
  if (!Ready()) return;
  if (_globalRdSwitch != 0 && target != _globalRdSwitch) {
    // The domain leaves the instance that held it; an instance the module removed took its records with it.
    if (_instances.count(_globalRdSwitch)) {
      std::vector<Bytes> removed;
      for (const auto& [key, record] : _globalRdSent) removed.push_back(record);
      SendRoutingDomainVtepMessages(_globalRdSwitch, GlobalRoutingDomainId(), {}, removed);
    }
    _globalRdSent.clear();
    _globalRdSwitch = 0;
  }
  if (!target) return;
  _globalRdSwitch = *target;
  std::map<L2ValueKey, Bytes> desired;
  for (const auto& [id, fib] : _rdFibs) {
    if (fib.routingDomain != GlobalRoutingDomainId()) continue;
    for (const auto& [key, value] : fib.vteps) {
      if (auto record = ElementRecord(Property::L2_VTEP, value)) desired.emplace(key, std::move(record->second));
    }
  }
  std::vector<Bytes> added, removed;
  for (const auto& [key, record] : desired) {
    auto sent = _globalRdSent.find(key);
    if (sent == _globalRdSent.end() || sent->second != record) added.push_back(record);
  }
  for (const auto& [key, record] : _globalRdSent) {
    if (!desired.count(key)) removed.push_back(record);
  }
  if (added.empty() && removed.empty()) return;
  Logger(LOG_LEVEL_INFO, "%1: L2 remote routing state cache sync to dp msg", kPrefix);
  SendRoutingDomainVtepMessages(_globalRdSwitch, GlobalRoutingDomainId(), added, removed);
  _globalRdSent = std::move(desired);
}

void L2App::SyncGlobalRoutingDomainVtep(const L2ValueKey& key) {
  if (_globalRdSwitch == 0 || !Ready()) return;  // nothing held; the next sync sends the domain whole
  std::optional<Bytes> wanted;
  for (const auto& [id, fib] : _rdFibs) {
    if (fib.routingDomain != GlobalRoutingDomainId()) continue;
    auto value = fib.vteps.find(key);
    if (value == fib.vteps.end()) continue;
    if (auto record = ElementRecord(Property::L2_VTEP, value->second)) wanted = std::move(record->second);
    break;
  }
  auto sent = _globalRdSent.find(key);
  if (wanted && (sent == _globalRdSent.end() || sent->second != *wanted)) {
    SendRoutingDomainVtepMessages(_globalRdSwitch, GlobalRoutingDomainId(), {*wanted}, {});
    _globalRdSent[key] = std::move(*wanted);
  } else if (!wanted && sent != _globalRdSent.end()) {
    SendRoutingDomainVtepMessages(_globalRdSwitch, GlobalRoutingDomainId(), {}, {sent->second});
    _globalRdSent.erase(sent);
  }
}

}  // namespace VevUroro
