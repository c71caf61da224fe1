// DVSPropConvertor: logical switch port properties, port connection and disconnection, child (container) ports,
// resync, the Hoplift sync queue and the port-list full sync.
#include <algorithm>
#include <cctype>

#include "apps/config/DVSPropConvertor.h"
#include "apps/config/ExtraConfigKeys.h"
#include "apps/config/IpDiscoverySettings.h"
#include "apps/config/MacManagementValue.h"
#include "apps/config/PropertyValues.h"
#include "apps/config/QosConversion.h"
#include "core/AgentLock.h"
#include "core/Logger.h"
#include "platform/tolvar/TolvarSchema.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace VevUroro {

namespace tv = zantix::qor::tolvar;
using P = tv::Property;

namespace {

constexpr const char* kContainerBusPrefix = "vx-";
constexpr const char* kContainerBusTkmnicPrefix = "vessixTkmnic";
constexpr const char* kSpfPrefix = "spf-";

bool StartsWith(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

// The serialized UuidMsg of a UUID text, or "".
std::string UuidBytes(const std::string& text) {
  uint64_t high = 0;
  uint64_t low = 0;
  if (!qor::tolvar::ParseUuid(text, &high, &low)) return std::string();
  tv::UuidMsg id;
  id.set_high(high);
  id.set_low(low);
  return id.SerializeAsString();
}

// DVPort IDs are the host's decimal port numbers.
bool IsValidDVPortID(const std::string& portId) {
  bool valid = !portId.empty() && portId.size() <= 10 &&
               std::all_of(portId.begin(), portId.end(), [](unsigned char c) { return std::isdigit(c); });
  Logger(LOG_LEVEL_DEBUG, "IsValidDVPortID portID %1, %2", portId, valid);
  return valid;
}

bool IsSpfPortId(const std::string& portId) {
  return StartsWith(portId, kSpfPrefix) && !UuidBytes(portId.substr(4)).empty();
}

}  // namespace

void DVSPropConvertor::AddExtraConfig(PortEntry& port, const std::string& key, const std::string& value, bool remove,
                                      PortBatch& batch) {
  ExtraConfigMapping mapping = MapExtraConfigKey(key);
  switch (mapping.kind) {
    case ExtraConfigKind::kUnsupported:
      Logger(LOG_LEVEL_ERROR, "Unsupported Extra Config Key %1 to update", key).AddTag("errorCode:LCP00513");
      return;
    case ExtraConfigKind::kAcceptedNotSent:
      return;
    case ExtraConfigKind::kServiceInsertion: {
      const LspState* lsp = LspOf(port);
      // Clearing is always right: the key may have been set before the port became a kernel NIC port.
      if (!remove && ((lsp && lsp->isHydTkm) || port.spf)) {
        Logger(LOG_LEVEL_INFO,
               mapping.key == PORT_PROP_SERVICE_INSERTION_GVM ? "Skip setting GVM for HYD port %1"
                                                              : "Skip setting SVM for HYD port %1",
               port.portId);
        return;
      }
      break;
    }
    case ExtraConfigKind::kPortProperty:
      break;
  }
  batch.For(port).Add(port.vifId, mapping.key, remove ? std::string() : TextValue(value));
}

bool DVSPropConvertor::QosServicePlane(const PortEntry& port) const {
  const std::string& switchId = SwitchOf(port);
  if (switchId.empty()) {
    Logger(LOG_LEVEL_DEBUG, "LSP_SWITCH_ID is not found for port [%1]", port.portId);
    return true;
  }
  const LsState* ls = SwitchStateOf(port);
  if (!ls || !ls->type) {
    Logger(LOG_LEVEL_DEBUG, "No LS type is configured for %1", UuidOf(switchId));
    return true;
  }
  if (*ls->type != kLsTypeServicePlane) {
    Logger(LOG_LEVEL_DEBUG, "QoS Configuration: not a service plane port [%1]", port.portId);
    return false;
  }
  return true;
}

void DVSPropConvertor::AddQosProperties(PortEntry& port, const LspState& lsp, PortBatch& batch) {
  DVSEntityUpdate& update = batch.For(port);
  update.Add(port.vifId, *lsp.qos);
  update.Add(port.vifId, PORT_PROP_QOS_PLANE_MODE, PlaneMode(port));
}

void DVSPropConvertor::SendNewSwitchProperties(const std::vector<std::string>& switchIds) {
  PortBatch batch;
  for (const std::string& switchId : switchIds) {
    for (PortEntry* port : ConnectedPortsOf(switchId)) {
      AddLsProperties(*port, batch);
      AddBlockState(*port, batch);
    }
  }
  if (!batch.Empty()) Send(batch);
}

void DVSPropConvertor::AddMirrorProperty(PortEntry& port, PortBatch& batch) {
  batch.For(port).Add(port.vifId, PORT_PROP_MIRROR_SESSIONS, MirrorTables(port));
}

bool DVSPropConvertor::BuildPortProperties(PortEntry& port, PortBatch& batch) {
  const LspState* lsp = LspOf(port);
  if (!lsp) return false;
  DVSEntityUpdate& update = batch.For(port);
  const std::string& vif = port.vifId;
  update.entities[vif].reserve(DVSEntityUpdate::kTypicalProperties);
  if (lsp->ipDiscovery) update.Add(vif, *lsp->ipDiscovery);
  if (lsp->securityTable) {
    update.Add(vif, PORT_PROP_SECURITY_CONFIGURED, BoolText(true));
    update.Add(vif, PORT_PROP_SWITCH_SECURITY, *lsp->securityTable);
  }
  if (lsp->qos) AddQosProperties(port, *lsp, batch);
  if (lsp->adminUp && !*lsp->adminUp) batch.SetBlocked(port, true);
  if (lsp->macManagement) update.Add(vif, PORT_PROP_MAC_MANAGEMENT, *lsp->macManagement);
  for (const auto& [key, value] : lsp->extraConfigs) AddExtraConfig(port, key, value, false, batch);
  if (lsp->ignoreBindings) update.Add(vif, PORT_PROP_IP_DISCOVERY_IGNORE_BINDINGS, *lsp->ignoreBindings);
  AddMirrorProperty(port, batch);
  auto latency = _portLatencies.find(port.lspId);
  if (latency != _portLatencies.end() && !SkipLatency(port)) update.Add(vif, PORT_PROP_LATENCY, latency->second);
  AddLsProperties(port, batch);
  AddBlockState(port, batch);
  return true;
}

void DVSPropConvertor::BuildChildSegmentPort(PortEntry& cifPort, const std::string& childSwitchId, PortBatch& batch) {
  Logger(LOG_LEVEL_DEBUG, "BuildChildSegmentPortPropUpdate with port id %1", cifPort.portId);
  Logger(LOG_LEVEL_DEBUG, "Update the LSID to %1 for CIF %2 and child segment port %3", UuidOf(childSwitchId),
         cifPort.vifId, cifPort.portId);
  DVSEntityUpdate& update = batch.For(cifPort);
  update.Add(cifPort.vifId, PORT_PROP_CHILD_SEGMENT_PORT, values::U32(1));
  AddLsProperties(cifPort, batch);
  const LspState* lsp = LspOf(cifPort);
  if (lsp && lsp->macManagement) update.Add(cifPort.vifId, PORT_PROP_MAC_MANAGEMENT, *lsp->macManagement);
  Logger(LOG_LEVEL_DEBUG, "Build UNBLOCK update for port %1", cifPort.portId);
  batch.SetBlocked(cifPort, false);
}

bool DVSPropConvertor::SendPortProperties(PortEntry& port) {
  PortBatch batch;
  bool built = false;
  const LspState* lsp = LspOf(port);
  if (port.vifType == kcp::KCP_VIF_CONTAINER && lsp) {
    const CIFConfig::Cif* cif = _cifs.FindByVif(port.vifId);
    PortEntry* parent = cif ? _ports.FindByVif(cif->parentVifId) : nullptr;
    if (parent && _lsAttachments.ParentOf(lsp->switchId) == SwitchOf(*parent)) {
      BuildChildSegmentPort(port, lsp->switchId, batch);
      built = true;
    }
  }
  if (!built && !BuildPortProperties(port, batch)) return false;
  return Send(batch);
}

std::string DVSPropConvertor::FindLspForPort(const PortEntry& port) const {
  auto byDvport = _state.portByDvport.find(port.portId);
  if (byDvport != _state.portByDvport.end()) {
    const LspState* lsp = _state.Port(*byDvport->second);
    if (lsp && lsp->attachment && !lsp->attachment->vifId.empty() && lsp->attachment->vifId != port.vifId) {
      Logger(LOG_LEVEL_WARN, "The VIF info %1 doesn't match. (DVPort %2) and (LSP %3)", port.vifId, port.portId,
             UuidOf(*byDvport->second));
    }
    return *byDvport->second;
  }
  auto byVif = _state.portByVif.find(port.vifId);
  if (byVif != _state.portByVif.end()) return *byVif->second;
  return UuidBytes(port.portId);
}

bool DVSPropConvertor::AcceptPortId(const VifInfo& info) {
  if (!UuidBytes(info.portId).empty() || _cifs.FindByVif(info.vifId) || IsValidDVPortID(info.portId) ||
      StartsWith(info.portId, kContainerBusPrefix) || IsSpfPortId(info.portId)) {
    return true;
  }
  Logger(LOG_LEVEL_INFO, "Port [%1] ID is not a valid logical switch port UUID, ignore the update", info.portId);
  return false;
}

void DVSPropConvertor::ProcessVifInfoUpdate(const VifInfo& info, uint8_t operation, bool dpFullSyncDone) {
  AgentLockGuard lock(AgentLock());
  Logger(LOG_LEVEL_DEBUG, "ProcessVifInfoUpdate VIF %1 port %2 type %3 op %4 dpFullSyncDone %5", info.vifId,
         info.portId, info.vifType, operation, dpFullSyncDone);
  if (operation == kcp::KCP_OP_DELETE) {
    HandleVifDisconnection(info.portId);
  } else {
    HandleVifConnection(info);
  }
}

void DVSPropConvertor::HandleVifConnection(const VifInfo& info) {
  AgentLockGuard lock(AgentLock());
  if (_ports.Find(info.portId)) {
    Logger(LOG_LEVEL_INFO, "Port [%1] is already in list, ignore the update", info.portId);
    return;
  }
  if (!AcceptPortId(info)) return;
  PortEntry entry;
  entry.portId = info.portId;
  entry.vifId = info.vifId;
  entry.dvsId = info.switchId;
  entry.parentVifId = info.parentVifId;
  entry.vifType = info.vifType;
  if (StartsWith(info.vifId, kContainerBusTkmnicPrefix)) {
    // The container bus's kernel NIC belongs to the container connectivity service.
    Logger(LOG_LEVEL_INFO, "Host switch ID: %1", info.switchId);
    _ports.Add(std::move(entry));
    return;
  }
  if (IsSpfPortId(info.portId)) {
    entry.spf = true;
    entry.spfSwitchId = UuidBytes(info.portId.substr(4));
    const LsState* ls = _state.Switch(entry.spfSwitchId);
    if (!ls) {
      Logger(LOG_LEVEL_ERROR, "Cannot get LogSwitch for SPF port");
    } else {
      Logger(LOG_LEVEL_INFO, "Attach SPF port %1 to LSwitch %2", info.portId, UuidOf(entry.spfSwitchId));
    }
    Logger(LOG_LEVEL_INFO, "Add SPF port [%1] to port list, type [%2]", info.portId, info.vifType);
    PortEntry* port = _ports.Add(std::move(entry));
    _spfPorts.insert(port->portId);
    // MAC management from the switch, static MAC learning on the host switch, then the switch's properties.
    PortBatch mac;
    Logger(LOG_LEVEL_INFO, "SPF port MAC mgmt config [%1]: op = %2", port->portId, "UPDATE");
    Logger(LOG_LEVEL_INFO, "%1: Set default mac mgmt property", port->portId);
    auto value = BuildMacManagement(ls && ls->macManagement ? *ls->macManagement : tv::MacManagementMsg());
    if (value) mac.For(*port).Add(port->vifId, PORT_PROP_MAC_MANAGEMENT, *value);
    Send(mac);
    Logger(LOG_LEVEL_INFO, "SPF port MAC learn static config [%1]: op = %2", port->portId, "UPDATE");
    Logger(LOG_LEVEL_INFO, "%1: Enable mac learn static property", port->portId);
    _builder->SendSwitchPropertyUpdate(
        DVS_OP_UPDATE, {{port->dvsId, EncodeProperties({{SWITCH_PROP_MAC_LEARN_STATIC, BoolText(true)}})}});
    Logger(LOG_LEVEL_INFO, "BuildConfigMsgForSPFPort SVNI logical switch %1", UuidOf(port->spfSwitchId));
    Logger(LOG_LEVEL_INFO, "%1: Set lSwitch properties ", port->portId);
    PortBatch lsBatch;
    AddLsProperties(*port, lsBatch);
    AddBlockState(*port, lsBatch);
    Send(lsBatch);
    return;
  }
  if (info.vifType == 0) {
    Logger(LOG_LEVEL_INFO, "Add unknown port %1 to switch port list", info.portId);
  } else {
    Logger(LOG_LEVEL_INFO, "Add port [%1] VIF [%2] to port list, type [%3], outofsync[%4]", info.portId, info.vifId,
           info.vifType, false);
  }
  PortEntry* port = _ports.Add(std::move(entry));
  std::string lspId = FindLspForPort(*port);
  if (lspId.empty() || !_state.Port(lspId)) {
    Logger(LOG_LEVEL_INFO, "The port %1 fails to get the LSP UUID", info.portId);
    return;
  }
  BindAndSend(*port, lspId);
}

void DVSPropConvertor::BindAndSend(PortEntry& port, const std::string& lspId, const LspState* lsp) {
  _ports.Bind(port, lspId);
  if (lsp) {
    port.lspCache = lsp;
    port.lspCacheGeneration = _state.portErasures;
  }
  SendPortProperties(port);
  UpdateChildPorts(port, false);
}

void DVSPropConvertor::HandleVifDisconnection(const std::string& portId) {
  AgentLockGuard lock(AgentLock());
  PortEntry removed;
  if (!_ports.Remove(portId, &removed)) {
    Logger(LOG_LEVEL_INFO, "Disconnect port [%1] not in the list, ignore the update", portId);
    return;
  }
  Logger(LOG_LEVEL_INFO, "Remove port [%1] VIF [%2] from port list", portId, removed.vifId);
  _spfPorts.erase(portId);
  _tkmnicResync.erase(removed.vifId);
  _hoplift.Remove(removed.vifId);
  UpdateChildPorts(removed, true);
}

void DVSPropConvertor::UpdateChildPorts(PortEntry& parent, bool isDisconnect) {
  std::vector<const CIFConfig::Cif*> cifs = _cifs.ChildrenOf(parent.vifId);
  if (cifs.empty()) return;
  const std::string parentSwitch = SwitchOf(parent);
  Logger(LOG_LEVEL_INFO,
         "Updating child port by parent port[%1] vif[%2] and parent LSID[%3],  op[%4], isDisconnect[%5] ",
         parent.portId, parent.vifId, UuidOf(parentSwitch), isDisconnect ? "DELETE" : "UPDATE", isDisconnect);
  if (parent.vifType != kcp::KCP_VIF_VNIC) {
    Logger(LOG_LEVEL_INFO, "Ignore to update child port with vif[%1] type %2", parent.vifId, parent.vifType);
    return;
  }
  if (isDisconnect) return;  // the datapath drops a VIF's container ports with it
  PortBatch batch;
  if (!_lsAttachments.Children(parentSwitch)) {
    Logger(LOG_LEVEL_DEBUG, "The parent LS[%1] doesn't exist in LS attachement map", UuidOf(parentSwitch));
  }
  for (const CIFConfig::Cif* cif : cifs) {
    const LspState* lsp = _state.Port(cif->lspId);
    if (!lsp || _lsAttachments.ParentOf(lsp->switchId) != parentSwitch) continue;
    PortEntry* cifPort = _ports.FindByVif(cif->vifId);
    if (!cifPort) {
      Logger(LOG_LEVEL_INFO, "The CIF %1 is not connected yet", cif->vifId);
      continue;
    }
    _ports.Bind(*cifPort, cif->lspId);
    BuildChildSegmentPort(*cifPort, lsp->switchId, batch);
  }
  Send(batch);
  _cifs.SendContainers(parent.vifId, parent.portId);
}

void DVSPropConvertor::ReplaceLsProperties(PortEntry& port, PortBatch& batch) {
  // What the old switch gave is not known any more (the same batch may have changed it): every key a switch gives
  // and the new one does not is cleared.
  const LsState* now = SwitchStateOf(port);
  const LspState* lsp = LspOf(port);
  DVSEntityUpdate& update = batch.For(port);
  if (!(now && now->vni)) update.Add(port.vifId, PORT_PROP_VNI, std::string());
  if (!(now && now->replicationMode)) update.Add(port.vifId, PORT_PROP_REPLICATION_MODE, std::string());
  if (!(now && now->teamingPolicy)) update.Add(port.vifId, PORT_PROP_UPLINK_TEAMING, std::string());
  if (!now) update.Add(port.vifId, PORT_PROP_VLAN, std::string());
  for (const auto& [name, key] : SentExtraConfigKeys()) {
    if ((now && now->extraConfigs.count(name)) || (lsp && lsp->extraConfigs.count(name))) continue;
    update.Add(port.vifId, key, std::string());
  }
  AddLsProperties(port, batch);
  AddBlockState(port, batch);
}

void DVSPropConvertor::HandleLspSwitchId(const Change& change, PortBatch& batch) {
  const UuidOf portText(change.objectId);
  Logger(LOG_LEVEL_INFO, "Handle LSP switch ID update message %1", portText);
  const LspState* lsp = PortOf(change);
  std::string tableOld;
  if (const std::string* tableOldValue = change.TableOldValue()) {
    tv::LogSwitchPortConfigMsg old;
    if (old.ParseFromString(*tableOldValue) && old.has_switch_id()) {
      tableOld = old.switch_id().SerializeAsString();
    }
  }
  if (change.Delete()) {
    if (change.Old().switchId.empty()) {
      Logger(LOG_LEVEL_WARN, "Cannot find logical port [%1] for property switch [%2] update", portText,
             UuidOf(tableOld));
    } else if (!tableOld.empty() && tableOld != change.Old().switchId) {
      Logger(LOG_LEVEL_WARN, "logical port [%1] is in logical switch [%2], not in switch [%3]", portText,
             UuidOf(change.Old().switchId), UuidOf(tableOld));
    } else {
      Logger(LOG_LEVEL_INFO, "Delete port [%1] property switch [%2]", portText, UuidOf(change.Old().switchId));
    }
  } else {
    if (!tableOld.empty() && tableOld != change.Old().switchId) {
      Logger(LOG_LEVEL_WARN, "Logical port [%1] has already added in switch [%2] not switch [%3] from update message",
             portText, UuidOf(change.Old().switchId), UuidOf(tableOld));
    }
    if (!change.Old().switchId.empty() && change.Old().switchId != lsp->switchId) {
      Logger(LOG_LEVEL_INFO, "Logical port [%1] has been removed from switch [%2]", portText,
             UuidOf(change.Old().switchId));
    }
    Logger(LOG_LEVEL_INFO, "Update logical port [%1] property logical switch [%2]", portText, UuidOf(lsp->switchId));
  }
  PortEntry* port = _ports.FindByLsp(change.objectId);
  if (port && lsp && change.Old().switchId != lsp->switchId) ReplaceLsProperties(*port, batch);
}

void DVSPropConvertor::HandleLspAttachment(const Change& change, PortBatch& batch) {
  Logger(LOG_LEVEL_INFO, "Get logical switch port attachment update message");
  const LspState* lsp = PortOf(change);
  const uint64_t lspErasures = _state.portErasures;
  const std::optional<LspAttachment> attachment = lsp ? lsp->attachment : std::nullopt;
  // Only a container port's bindings are read (and parsed).
  std::string parent =
      _cifs.OnAttachment(change.objectId, attachment,
                         attachment && !attachment->parentVifId.empty() ? lsp->AddressBindings() : std::nullopt);
  if (change.Old().attachment && !change.Old().attachment->parentVifId.empty() &&
      change.Old().attachment->parentVifId != parent) {
    if (PortEntry* oldParent = _ports.FindByVif(change.Old().attachment->parentVifId)) {
      _cifs.SendContainers(oldParent->vifId, oldParent->portId);
    }
  }
  PortEntry* bound = _ports.FindByLsp(change.objectId);
  if (change.Delete() || !attachment) {
    Logger(LOG_LEVEL_INFO, "Get VIF[%1] detachment message",
           change.Old().attachment ? change.Old().attachment->vifId : std::string());
    if (bound) _ports.Bind(*bound, std::string());
  } else if (attachment->type != kAttachmentVif && attachment->parentVifId.empty()) {
    Logger(LOG_LEVEL_INFO, "No vif attachment, ignore other update");
  } else {
    if (change.Old().attachment && !change.Old().attachment->dvportId.empty() &&
        change.Old().attachment->dvportId != attachment->dvportId) {
      Logger(LOG_LEVEL_WARN, "Mis-match for dvport ID %1 to %2", change.Old().attachment->dvportId,
             attachment->dvportId);
    }
    Logger(LOG_LEVEL_INFO, "Update DVPortID %1 for LSP %2", attachment->dvportId, UuidOf(change.objectId));
    PortEntry* port = attachment->dvportId.empty() ? nullptr : _ports.Find(attachment->dvportId);
    if (!port && !attachment->vifId.empty()) port = _ports.FindByVif(attachment->vifId);
    if (bound && bound != port) _ports.Bind(*bound, std::string());
    if (port && port->vifId != attachment->vifId && !attachment->vifId.empty()) {
      Logger(LOG_LEVEL_WARN, "The VIF info %1 doesn't match. (LSPID %2 DVPort %3) and (DVPort %4)", port->vifId,
             UuidOf(change.objectId), attachment->dvportId, port->portId);
    }
    if (port && port->lspId != change.objectId) {
      // Nothing above erases view entries; the count says so should that change.
      BindAndSend(*port, change.objectId, lspErasures == _state.portErasures ? lsp : nullptr);
    }
  }
  if (!parent.empty()) {
    if (PortEntry* parentPort = _ports.FindByVif(parent)) UpdateChildPorts(*parentPort, false);
  }
  RefreshMirrorsNaming(change.objectId, batch);
}

void DVSPropConvertor::HandleLspAddressBindings(const Change& change, PortBatch&) {
  Logger(LOG_LEVEL_INFO, "Get logical switch port address bindings update message");
  const LspState* lsp = PortOf(change);
  std::optional<tv::AddressBindingsMsg> bindings = lsp ? lsp->AddressBindings() : std::nullopt;
  if (!bindings) Logger(LOG_LEVEL_INFO, "LSP %1 address binding not set yet", UuidOf(change.objectId));
  std::string parent = _cifs.OnAddressBindings(change.objectId, bindings);
  if (parent.empty()) return;
  if (PortEntry* parentPort = _ports.FindByVif(parent)) _cifs.SendContainers(parent, parentPort->portId);
}

void DVSPropConvertor::HandleLspIpDiscovery(const Change& change, PortBatch& batch) {
  if (change.Delete()) return;
  PortEntry* port = _ports.FindByLsp(change.objectId);
  const LspState* lsp = PortOf(change);
  if (port && lsp && lsp->ipDiscovery) batch.For(*port).Add(port->vifId, *lsp->ipDiscovery);
}

void DVSPropConvertor::HandleLspSwitchSecurity(const Change& change, PortBatch& batch) {
  const UuidOf portText(change.objectId);
  if (change.Delete()) {
    Logger(LOG_LEVEL_INFO, "Switch Security [%1]: Delete is a NOOP.", portText);
    return;
  }
  if (change.operation != TolvarUpdateMsg::OP_SET) {
    Logger(LOG_LEVEL_ERROR, "Unsupported operation input").AddTag("errorCode:LCP00001");
    return;
  }
  PortEntry* port = _ports.FindByLsp(change.objectId);
  const LspState* lsp = PortOf(change);
  if (!port || !lsp || !lsp->securityTable) return;
  DVSEntityUpdate& update = batch.For(*port);
  update.Add(port->vifId, PORT_PROP_SECURITY_CONFIGURED, BoolText(true));
  update.Add(port->vifId, PORT_PROP_SWITCH_SECURITY, *lsp->securityTable);
  if (port->heldBack) {
    port->heldBack = false;
    AddBlockState(*port, batch);
  }
}

void DVSPropConvertor::HandleLspQos(const Change& change, PortBatch& batch) {
  if (change.operation != TolvarUpdateMsg::OP_SET) return;  // only an update is converted
  PortEntry* port = _ports.FindByLsp(change.objectId);
  const LspState* lsp = PortOf(change);
  if (port && lsp && lsp->qos) AddQosProperties(*port, *lsp, batch);
}

void DVSPropConvertor::HandleLspMirrorTargets(const Change& change, PortBatch& batch) {
  Logger(LOG_LEVEL_INFO, "Mirror targets: Update for logical port [%1]", UuidOf(change.objectId));
  if (PortEntry* port = _ports.FindByLsp(change.objectId)) AddMirrorProperty(*port, batch);
}

void DVSPropConvertor::HandleLspAdminState(const Change& change, PortBatch& batch) {
  if (change.Delete()) {
    Logger(LOG_LEVEL_INFO, "Ignore logical port admin state DELETE operation");
    return;
  }
  const LspState* lsp = PortOf(change);
  if (!lsp || !lsp->adminUp) return;
  Logger(LOG_LEVEL_INFO, "Get logical port [%1] admin state %2 message", UuidOf(change.objectId),
         *lsp->adminUp ? "UP" : "DOWN");
  PortEntry* port = _ports.FindByLsp(change.objectId);
  if (port && !*lsp->adminUp) {
    Logger(LOG_LEVEL_INFO, "LSP admin down, block port [%1]", port->portId);
    AddBlockValue(*port, true, batch);
  }
}

void DVSPropConvertor::HandleLspMacManagement(const Change& change, PortBatch& batch) {
  Logger(LOG_LEVEL_INFO, "MAC mgmt config [%1]: op = %2 propType = %3", UuidOf(change.objectId), change.operation,
         change.property);
  if (change.operation != TolvarUpdateMsg::OP_SET && !change.Delete()) {
    Logger(LOG_LEVEL_ERROR, "Unsupported operation input").AddTag("errorCode:LCP00512");
    return;
  }
  PortEntry* port = _ports.FindByLsp(change.objectId);
  if (!port) return;
  const LspState* lsp = PortOf(change);
  if (change.Delete()) {
    batch.For(*port).Add(port->vifId, PORT_PROP_MAC_MANAGEMENT, std::string());
  } else if (lsp && lsp->macManagement) {
    batch.For(*port).Add(port->vifId, PORT_PROP_MAC_MANAGEMENT, *lsp->macManagement);
  }
}

void DVSPropConvertor::HandleLspExtraConfigs(const Change& change, PortBatch& batch) {
  const UuidOf lspText(change.objectId);
  if (change.operation != TolvarUpdateMsg::OP_SET && !change.Delete()) {
    Logger(LOG_LEVEL_ERROR, "Unsupported operation input").AddTag("errorCode:LCP00512");
    return;
  }
  const LspState* lsp = PortOf(change);
  static const std::map<std::string, std::string> kNone;
  const std::map<std::string, std::string>& now = lsp && !change.Delete() ? lsp->extraConfigs : kNone;
  PortEntry* port = _ports.FindByLsp(change.objectId);
  const LsState* ls = port ? SwitchStateOf(*port) : nullptr;
  // A key the port no longer has falls back to its switch's value.
  auto removeKey = [&](const std::string& key, const std::string& value) {
    if (!port) return;
    auto lsValue = ls ? ls->extraConfigs.find(key) : std::map<std::string, std::string>::const_iterator();
    if (ls && lsValue != ls->extraConfigs.end()) {
      AddExtraConfig(*port, key, lsValue->second, false, batch);
    } else {
      AddExtraConfig(*port, key, value, true, batch);
    }
  };
  if (change.Delete()) {
    for (const auto& [key, value] : change.Old().extraConfigs) {
      Logger(LOG_LEVEL_INFO, "Remove extra config %1 for port %2", key, lspText);
      Logger(LOG_LEVEL_INFO, "Delete LSP ExtraConfig key %1 for LSP %2", key, lspText);
      removeKey(key, value);
    }
    RefreshLatency(change, now, batch);
    return;
  }
  if (now.empty()) Logger(LOG_LEVEL_INFO, "Extra Config propList is empty");
  for (const auto& [key, value] : now) {
    auto old = change.Old().extraConfigs.find(key);
    if (old == change.Old().extraConfigs.end()) {
      Logger(LOG_LEVEL_INFO,
             change.Old().extraConfigs.empty() ? "Add LSP ExtraConfig key %1 value %2 for LSP %3"
                                               : "Insert LSP ExtraConfig key %1 value %2 for LSP %3",
             key, value, lspText);
    } else if (old->second != value) {
      Logger(LOG_LEVEL_INFO, "Change LSP ExtraConfig key %1 value %2 for LSP %3", key, value, lspText);
    } else {
      continue;
    }
    if (port) AddExtraConfig(*port, key, value, false, batch);
  }
  for (const auto& [key, value] : change.Old().extraConfigs) {
    if (now.count(key)) continue;
    Logger(LOG_LEVEL_INFO, "Remove LSP ExtraConfig key %1 for LSP %2", key, lspText);
    removeKey(key, value);
  }
  RefreshLatency(change, now, batch);
}

void DVSPropConvertor::RefreshLatency(const Change& change, const std::map<std::string, std::string>& now,
                                      PortBatch& batch) {
  PortEntry* port = _ports.FindByLsp(change.objectId);
  if (!port || NamesServiceVm(change.Old().extraConfigs) == NamesServiceVm(now)) return;
  auto latency = _portLatencies.find(change.objectId);
  if (latency == _portLatencies.end()) return;
  // A port that became a guest or service VM port loses its latency; one that stopped being one gets it.
  if (!SkipLatency(*port)) {
    Logger(LOG_LEVEL_INFO, "Update latency for LSP [%1]", UuidOf(change.objectId));
    batch.For(*port).Add(port->vifId, PORT_PROP_LATENCY, latency->second);
  } else if (NamesServiceVm(now)) {
    batch.For(*port).Add(port->vifId, PORT_PROP_LATENCY, std::string());
  }
}

void DVSPropConvertor::HandleLspIgnoreBindings(const Change& change, PortBatch& batch) {
  PortEntry* port = _ports.FindByLsp(change.objectId);
  if (!port) return;
  const LspState* lsp = PortOf(change);
  batch.For(*port).Add(port->vifId, PORT_PROP_IP_DISCOVERY_IGNORE_BINDINGS,
                       lsp && lsp->ignoreBindings && !change.Delete() ? *lsp->ignoreBindings : std::string());
}

void DVSPropConvertor::HandleLspHydTkm(const Change& change, PortBatch& batch) {
  PortEntry* port = _ports.FindByLsp(change.objectId);
  const LspState* lsp = PortOf(change);
  if (!port || !lsp) return;
  const LsState* ls = _state.Switch(lsp->switchId);
  for (const char* key :
       {"com.zantix.port.extraConfig.serviceInsertion.gvm", "com.zantix.port.extraConfig.serviceInsertion.svm"}) {
    auto own = lsp->extraConfigs.find(key);
    const std::string* value = own != lsp->extraConfigs.end() ? &own->second : nullptr;
    if (!value && ls) {
      auto inherited = ls->extraConfigs.find(key);
      if (inherited != ls->extraConfigs.end()) value = &inherited->second;
    }
    if (!value) continue;
    if (lsp->isHydTkm) {
      batch.For(*port).Add(port->vifId, MapExtraConfigKey(key).key, std::string());
    } else {
      AddExtraConfig(*port, key, *value, false, batch);
    }
  }
}

bool DVSPropConvertor::SendPortUnblockUpdate(const std::string& portId) {
  AgentLockGuard lock(AgentLock());
  PortEntry* port = _ports.Find(portId);
  if (!port) return false;
  const LspState* lsp = LspOf(*port);
  if (!port->spf && (!lsp || !lsp->securityTable)) {
    Logger(LOG_LEVEL_INFO, "No security is configured, will unblock port %1 after security is set", portId);
    port->heldBack = true;
    return false;
  }
  PortBatch batch;
  AddBlockState(*port, batch);
  if (!Send(batch)) return false;
  Logger(LOG_LEVEL_INFO, "DvsPropConvertor sent UNBLOCK msg to data plane");
  return true;
}

void DVSPropConvertor::OnResyncProperty(uint16_t notificationType, const std::string& id) {
  AgentLockGuard lock(AgentLock());
  if (notificationType == kcp::KCP_NOTIFY_PORT_PROPERTY_OUT_OF_SYNC) {
    PortEntry* port = _ports.FindByVif(id);
    if (!port) {
      Logger(LOG_LEVEL_INFO, "Failed to set reSync for port %1 as it is already disconnected", id);
      return;
    }
    Logger(LOG_LEVEL_INFO, "Port %1 is out of sync with DP", id);
    port->outOfSync = true;
    Logger(LOG_LEVEL_INFO, "OnResyncProperty Enqueue port reSync");
    return;
  }
  if (notificationType == kcp::KCP_NOTIFY_TKMNIC_PROPERTY_OUT_OF_SYNC) {
    PortEntry* port = _ports.FindByVif(id);
    if (!port || port->vifType != kcp::KCP_VIF_TKMNIC) {
      Logger(LOG_LEVEL_INFO, "Failed to find tkmnic %1 to set reSync as it is already removed.", id);
      return;
    }
    _tkmnicResync.insert(id);
    Logger(LOG_LEVEL_INFO, "OnResyncProperty Enqueue vtep label reSync");
  }
}

void DVSPropConvertor::ResyncPorts() {
  _ports.ForEach([this](PortEntry& port) {
    if (!port.outOfSync) return;
    const LspState* lsp = LspOf(port);
    if (!lsp || !lsp->attachment) {
      Logger(LOG_LEVEL_INFO, "Failed to reSync port [%1] as it does not have VIF attachment property", port.portId);
      port.outOfSync = false;
      return;
    }
    Logger(LOG_LEVEL_INFO, "OnResyncProperty port reSync:[ %1]", port.portId);
    if (!SendPortProperties(port)) {
      Logger(LOG_LEVEL_ERROR, "Failed to build dataplane port property update msg for port [%1]", port.portId);
      return;
    }
    port.outOfSync = false;
  });
  std::set<std::string> tkmnics = std::move(_tkmnicResync);
  _tkmnicResync.clear();
  for (const std::string& name : tkmnics) {
    Logger(LOG_LEVEL_INFO, "OnResyncProperty label reSync: %1", name);
    PortEntry* port = _ports.FindByVif(name);
    if (!port || !SendPortProperties(*port)) {
      Logger(LOG_LEVEL_ERROR, "Failed to build dataplane tkmnic property update msg for %1", name);
      _tkmnicResync.insert(name);
    }
  }
}

void DVSPropConvertor::OnResyncTimer() {
  AgentLockGuard lock(AgentLock());
  Logger(LOG_LEVEL_TRACE, "OnResyncProperty timer triggered");
  if (!_started) return;
  if (_linkUp) {
    KcpSendBatch sendBatch(*_builder);
    ResyncPorts();
  }
  _resyncTimer->Start(kResyncIntervalUs);
}

void DVSPropConvertor::AddHopliftPortSync(const std::string& vifId, uint16_t syncType) {
  AgentLockGuard lock(AgentLock());
  _hoplift.Add(vifId, syncType);
  if (!_hopliftTimer->Pending()) {
    Logger(LOG_LEVEL_INFO, "Schedule Hoplift port sync timer");
    _hopliftTimer->Start(kHopliftSyncIntervalUs);
  }
}

void DVSPropConvertor::OnHopliftSyncTimer() {
  AgentLockGuard lock(AgentLock());
  KcpSendBatch sendBatch(*_builder);
  auto& entries = _hoplift.Entries();
  for (auto it = entries.begin(); it != entries.end();) {
    const std::string& vif = it->first;
    PortEntry* port = _ports.FindByVif(vif);
    // Pushed down: the port is connected and its property set went to the datapath.
    if (!port || !port->blocked) {
      Logger(LOG_LEVEL_INFO, "Delay container list sync %1 since the configuration hasn't been pushed down", vif);
      ++it;
      continue;
    }
    Logger(LOG_LEVEL_INFO, "Do full sync for VIF VIFID %1", vif);
    if (it->second & kHopliftSyncProperties) SendPortProperties(*port);
    if (it->second & kHopliftSyncContainerList) {
      Logger(LOG_LEVEL_INFO, "Do container list full sync(type %1)", it->second);
      _cifs.SendContainers(vif, port->portId);
    }
    it = entries.erase(it);
  }
  if (!_hoplift.Empty()) _hopliftTimer->Start(kHopliftSyncIntervalUs);
}

bool DVSPropConvertor::SendPortListFullSync() {
  std::vector<std::string> containers;
  std::vector<std::string> ports;
  std::vector<std::string> tkmnics;
  _ports.ForEach([&](PortEntry& port) {
    if (port.vifType == kcp::KCP_VIF_CONTAINER) {
      containers.push_back(port.vifId);
    } else if (port.vifType == kcp::KCP_VIF_TKMNIC) {
      tkmnics.push_back(port.vifId);
    } else if (const LspState* lsp = LspOf(port); lsp && lsp->attachment) {
      ports.push_back(port.vifId);
    } else {
      Logger(LOG_LEVEL_DEBUG, "Skip DVPort %1 when doing config full sync", port.portId);
    }
  });
  for (auto* list : {&containers, &ports, &tkmnics}) std::sort(list->begin(), list->end());
  if (!_builder->SendPortListFullSync(containers, ports, tkmnics)) {
    Logger(LOG_LEVEL_ERROR, "Failed to build portList fullSync msg").AddTag("errorCode:LCP00502");
    return false;
  }
  Logger(LOG_LEVEL_INFO, "Send portList fullSync message");
  return true;
}

void DVSPropConvertor::Reset() {
  AgentLockGuard lock(AgentLock());
  Logger(LOG_LEVEL_INFO, "DVSPropConvertor: reset for a new datapath session, %1 ports forgotten", _ports.Size());
  _ports.Clear();
  _spfPorts.clear();
  _tkmnicResync.clear();
  _hoplift.Entries().clear();
  _hopliftTimer->Cancel();
  _linkUp = true;
  _portListAwaitsVifReport = true;
}

void DVSPropConvertor::EndOfFullSync() {
  AgentLockGuard lock(AgentLock());
  KcpSendBatch sendBatch(*_builder);
  _portListAwaitsVifReport = false;
  SendPortListFullSync();
}

bool DVSPropConvertor::FindConnectedPort(const std::string& vifId, ConnectedPort* out) {
  AgentLockGuard lock(AgentLock());
  PortEntry* port = _ports.FindByVif(vifId);
  if (!port) return false;
  if (out) *out = ConnectedPort{port->portId, port->dvsId, port->vifType};
  return true;
}

}  // namespace VevUroro
