// DVSPropConvertor: logical switch properties, their fan-out to the switch's connected ports, parent and child
// switches, and the block/unblock rule.
#include "apps/config/DVSPropConvertor.h"
#include "apps/config/PropertyValues.h"
#include "apps/config/QosConversion.h"
#include "core/Logger.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace VevUroro {

namespace tv = zantix::qor::tolvar;
using P = tv::Property;

namespace {

// Key 102 for a switch: a trunk with ranges wins over a VLAN; neither gives the no-VLAN value; an empty trunk alone
// gives nothing (the port keeps what it has).
std::optional<std::string> LsVlanValue(const LsState& ls) {
  if (ls.trunk && !ls.trunk->empty()) return values::VlanTrunk(*ls.trunk);
  if (ls.vlan) return values::Vlan(*ls.vlan);
  if (ls.trunk) return std::nullopt;
  return values::NoVlan();
}

const char* OpText(bool remove) {
  return remove ? "DELETE" : "UPDATE";
}

}  // namespace

const std::string& DVSPropConvertor::SwitchOf(const PortEntry& port) const {
  static const std::string kNone;
  if (port.spf) return port.spfSwitchId;
  const LspState* lsp = LspOf(port);
  return lsp ? lsp->switchId : kNone;
}

const LspState* DVSPropConvertor::LspOf(const PortEntry& port) const {
  if (port.lspId.empty()) return nullptr;
  if (port.lspCache && port.lspCacheGeneration == _state.portErasures) {
    return static_cast<const LspState*>(port.lspCache);
  }
  const LspState* lsp = _state.Port(port.lspId);
  port.lspCache = lsp;
  port.lspCacheGeneration = _state.portErasures;
  return lsp;
}

const LsState* DVSPropConvertor::SwitchStateOf(const PortEntry& port) const {
  if (port.spf) return _state.Switch(port.spfSwitchId);
  const LspState* lsp = LspOf(port);
  return lsp ? _state.SwitchOfPort(*lsp) : nullptr;
}

std::vector<PortEntry*> DVSPropConvertor::ConnectedPortsOf(const std::string& switchId) {
  std::vector<PortEntry*> out;
  for (const std::string* lspId : _state.PortsOf(switchId)) {
    if (PortEntry* port = _ports.FindByLsp(*lspId)) out.push_back(port);
  }
  for (const std::string& portId : _spfPorts) {
    PortEntry* port = _ports.Find(portId);
    if (port && port->spfSwitchId == switchId) out.push_back(port);
  }
  return out;
}

bool DVSPropConvertor::Blocked(PortEntry& port) {
  if (!port.spf) {
    const LspState* lsp = LspOf(port);
    if (!lsp || !lsp->adminUp) {
      Logger(LOG_LEVEL_DEBUG, "Will unblock port %1 after port admin state update", port.portId);
      return true;
    }
    if (!*lsp->adminUp) {
      Logger(LOG_LEVEL_DEBUG, "Will unblock port %1 after port admin state update UP", port.portId);
      return true;
    }
  }
  const std::string& switchId = SwitchOf(port);
  const LsState* ls = SwitchStateOf(port);
  const UuidOf lsText(switchId);
  if (ls && ls->vni) {
    if (!ls->type) {
      Logger(LOG_LEVEL_DEBUG, "No LS type is configured for %1", lsText);
    } else if (*ls->type == kLsTypeServicePlane) {
      Logger(LOG_LEVEL_DEBUG, "LSP %1 belongs to Service Plane", UuidOf(port.lspId));
    } else {
      Logger(LOG_LEVEL_DEBUG, "Unblock port on LS lsMsg %1", lsText);
    }
  }
  if (!ls || !ls->adminUp) {
    Logger(LOG_LEVEL_DEBUG, "Will unblock port after LS %1 admin state update", lsText);
    return true;
  }
  if (!*ls->adminUp) {
    Logger(LOG_LEVEL_DEBUG, "Will unblock port after LS %1 admin state update UP", lsText);
    return true;
  }
  if (!ls->vni && !ls->vlan && !ls->trunk) {
    Logger(LOG_LEVEL_DEBUG, "Will unblock port after LS %1 VNI/VLAN update", lsText);
    return true;
  }
  return false;
}

std::string DVSPropConvertor::PlaneMode(const PortEntry& port) const {
  const LspState* lsp = LspOf(port);
  if (lsp && lsp->qos) return QosPlaneMode(QosServicePlane(port), lsp->qosShaped).value;
  const LsState* ls = SwitchStateOf(port);
  if (ls && ls->vni && ls->ServicePlane()) return values::U32(values::kQosPlaneServicePlane);
  return std::string();
}

void DVSPropConvertor::AddBlockValue(PortEntry& port, bool blocked, PortBatch& batch) {
  DVSEntityUpdate& update = batch.For(port);
  update.Add(port.vifId, PORT_PROP_QOS_PLANE_MODE, PlaneMode(port));
  batch.SetBlocked(port, blocked);
  Logger(LOG_LEVEL_DEBUG, blocked ? "Build BLOCK update for port %1" : "Build UNBLOCK update for port %1", port.portId);
}

void DVSPropConvertor::AddBlockState(PortEntry& port, PortBatch& batch) {
  if (port.vifType == kcp::KCP_VIF_DVPGPORT) return;
  AddBlockValue(port, Blocked(port), batch);
}

void DVSPropConvertor::AddLsExtraConfigs(PortEntry& port, const LsState& ls, PortBatch& batch) {
  const LspState* lsp = LspOf(port);
  for (const auto& [key, value] : ls.extraConfigs) {
    if (lsp && lsp->extraConfigs.count(key)) continue;  // the port's own value wins
    Logger(LOG_LEVEL_DEBUG, "Update LSP %1 with LS extraConfig %2 %3", UuidOf(port.lspId), key, value);
    AddExtraConfig(port, key, value, false, batch);
  }
}

void DVSPropConvertor::AddLsProperties(PortEntry& port, PortBatch& batch) {
  const LsState* ls = SwitchStateOf(port);
  if (!ls) return;
  DVSEntityUpdate& update = batch.For(port);
  if (ls->vni) update.Add(port.vifId, PORT_PROP_VNI, values::Vni(*ls->vni));
  if (ls->replicationMode)
    update.Add(port.vifId, PORT_PROP_REPLICATION_MODE, values::ReplicationMode(*ls->replicationMode));
  if (auto vlan = LsVlanValue(*ls)) update.Add(port.vifId, PORT_PROP_VLAN, *vlan);
  if (ls->adminUp && !*ls->adminUp) batch.SetBlocked(port, true);
  if (ls->teamingPolicy) update.Add(port.vifId, PORT_PROP_UPLINK_TEAMING, TextValue(*ls->teamingPolicy));
  AddLsExtraConfigs(port, *ls, batch);
}

void DVSPropConvertor::HandleLsProperty(const Change& change, PortBatch& batch) {
  Logger(LOG_LEVEL_DEBUG, "Get logical switch update message");
  const LsState* ls = _state.Switch(change.objectId);
  const bool remove = change.Delete();
  if (!ls) return;
  std::vector<PortEntry*> ports = ConnectedPortsOf(change.objectId);
  auto each = [&](const std::function<void(PortEntry&, DVSEntityUpdate&)>& add) {
    for (PortEntry* port : ports) {
      if (port->lspId.empty() && !port->spf) {
        Logger(LOG_LEVEL_DEBUG, "No LSPID when updating LSProperty(LS %1) for DVPort %2", UuidOf(change.objectId),
               port->portId);
        continue;
      }
      add(*port, batch.For(*port));
    }
  };
  auto removed = [&](PortEntry& port) {
    Logger(LOG_LEVEL_INFO, "Remove vlan or vni, block port [%1]", port.portId);
    AddBlockValue(port, true, batch);
  };
  switch (change.property) {
    case P::LS_VNI:
      if (!remove) Logger(LOG_LEVEL_INFO, "Update vni %1", *ls->vni);
      each([&](PortEntry& port, DVSEntityUpdate& update) {
        update.Add(port.vifId, PORT_PROP_VNI, remove ? std::string() : values::Vni(*ls->vni));
        if (remove) {
          removed(port);
        } else {
          AddBlockState(port, batch);
        }
      });
      return;
    case P::LS_REPLICATION_MODE:
      if (!remove) Logger(LOG_LEVEL_INFO, "Update replication_mod %1", *ls->replicationMode);
      each([&](PortEntry& port, DVSEntityUpdate& update) {
        update.Add(port.vifId, PORT_PROP_REPLICATION_MODE,
                   remove ? std::string() : values::ReplicationMode(*ls->replicationMode));
      });
      return;
    case P::LS_VLAN: {
      if (!remove) Logger(LOG_LEVEL_INFO, "Update vlanId on async switch %1", *ls->vlan);
      auto vlan = LsVlanValue(*ls);
      each([&](PortEntry& port, DVSEntityUpdate& update) {
        if (vlan) update.Add(port.vifId, PORT_PROP_VLAN, *vlan);
        if (remove) {
          removed(port);
        } else {
          AddBlockState(port, batch);
        }
      });
      return;
    }
    case P::LS_VLAN_TRUNK: {
      if (!remove) {
        if (ls->trunk->empty()) {
          Logger(LOG_LEVEL_INFO, "empty trunk vlan is received");
          return;
        }
        for (const auto& [first, last] : *ls->trunk) {
          Logger(LOG_LEVEL_INFO, "Update trunk vlan on async switch start %1, end %2", first, last);
        }
      }
      // A trunk removed from a switch that still has a VLAN leaves that VLAN in force.
      auto vlan = LsVlanValue(*ls);
      each([&](PortEntry& port, DVSEntityUpdate& update) {
        if (vlan) update.Add(port.vifId, PORT_PROP_VLAN, *vlan);
        AddBlockState(port, batch);
      });
      return;
    }
    case P::LS_ADMIN_STATE_UP:
      if (remove) {
        Logger(LOG_LEVEL_INFO, "Ignore logical switch admin state DELETE operation");
        return;
      }
      each([&](PortEntry& port, DVSEntityUpdate&) {
        Logger(LOG_LEVEL_INFO, "Get logical switch admin state %1 message for port [%2]", *ls->adminUp ? "UP" : "DOWN",
               port.portId);
        if (*ls->adminUp) {
          AddBlockState(port, batch);
        } else {
          Logger(LOG_LEVEL_INFO, "LS admin state down, block port [%1]", port.portId);
          AddBlockValue(port, true, batch);
        }
      });
      return;
    case P::LS_UPLINK_TEAMING_POLICY:
      each([&](PortEntry& port, DVSEntityUpdate& update) {
        update.Add(port.vifId, PORT_PROP_UPLINK_TEAMING,
                   ls->teamingPolicy ? TextValue(*ls->teamingPolicy) : std::string());
      });
      return;
    case P::LS_EXTRA_CONFIGS: {
      const UuidOf lsText(change.objectId);
      if (!remove && ls->extraConfigs.empty()) Logger(LOG_LEVEL_INFO, "LS Extra Config update propList is empty");
      std::map<std::string, std::optional<std::string>> changed;  // nullopt: removed
      for (const auto& [key, value] : ls->extraConfigs) {
        auto old = change.Old().extraConfigs.find(key);
        if (old == change.Old().extraConfigs.end()) {
          Logger(LOG_LEVEL_INFO, "Add LS ExtraConfig key %1 value %2 for LS %3", key, value, lsText);
        } else if (old->second != value) {
          Logger(LOG_LEVEL_INFO, "Change LS ExtraConfig key %1 value %2 for LS %3", key, value, lsText);
        } else {
          continue;
        }
        changed[key] = value;
      }
      for (const auto& [key, value] : change.Old().extraConfigs) {
        if (ls->extraConfigs.count(key)) continue;
        Logger(LOG_LEVEL_INFO, "Remove LS ExtraConfig key %1 for LS %2", key, lsText);
        changed[key] = std::nullopt;
      }
      each([&](PortEntry& port, DVSEntityUpdate&) {
        const LspState* lsp = LspOf(port);
        for (const auto& [key, value] : changed) {
          if (lsp && lsp->extraConfigs.count(key)) continue;
          if (value)
            Logger(LOG_LEVEL_DEBUG, "Update LSP %1 with LS extraConfig %2 %3", UuidOf(port.lspId), key, *value);
          AddExtraConfig(port, key, value.value_or(std::string()), !value, batch);
        }
      });
      return;
    }
    default:
      return;
  }
}

void DVSPropConvertor::ClearPortLsProperties(PortEntry& port, const std::map<std::string, std::string>& oldExtraConfigs,
                                             PortBatch& batch) {
  DVSEntityUpdate& update = batch.For(port);
  for (uint16_t key : {PORT_PROP_VNI, PORT_PROP_REPLICATION_MODE, PORT_PROP_VLAN, PORT_PROP_UPLINK_TEAMING}) {
    update.Add(port.vifId, key, std::string());
  }
  const LspState* lsp = LspOf(port);
  for (const auto& [key, value] : oldExtraConfigs) {
    if (!lsp || !lsp->extraConfigs.count(key)) AddExtraConfig(port, key, value, true, batch);
  }
  AddBlockState(port, batch);
}

void DVSPropConvertor::ClearLsProperties(const std::string& switchId,
                                         const std::map<std::string, std::string>& oldExtraConfigs, PortBatch& batch) {
  for (PortEntry* port : ConnectedPortsOf(switchId)) ClearPortLsProperties(*port, oldExtraConfigs, batch);
}

void DVSPropConvertor::HandleLsAttachment(const Change& change, PortBatch&) {
  const bool remove = change.Delete();
  const LsState* ls = _state.Switch(change.objectId);
  const std::optional<tv::LsAttachmentMsg>& attachment = remove ? change.Old().lsAttachment : ls->attachment;
  if (!attachment) {
    Logger(LOG_LEVEL_INFO, "LS %1 doesn't include attachment", UuidOf(change.objectId));
    return;
  }
  const std::string parent = attachment->parent_switch_id().SerializeAsString();
  Logger(LOG_LEVEL_INFO, "Handle child LS %1 with attachment vlan %2 parent LS %3, op %4", UuidOf(change.objectId),
         attachment->vlan(), UuidOf(parent), OpText(remove));
  if (remove) {
    _lsAttachments.Remove(change.objectId, parent);
    return;
  }
  if (change.Old().lsAttachment && change.Old().lsAttachment->parent_switch_id().SerializeAsString() != parent) {
    _lsAttachments.Remove(change.objectId, change.Old().lsAttachment->parent_switch_id().SerializeAsString());
  }
  if (!_lsAttachments.Add(change.objectId, parent, attachment->vlan())) return;
  for (PortEntry* port : ConnectedPortsOf(parent)) UpdateChildPorts(*port, false);
}

void DVSPropConvertor::HandleLsType(const Change& change, PortBatch& batch) {
  const LsState* ls = _state.Switch(change.objectId);
  const UuidOf lsText(change.objectId);
  Logger(LOG_LEVEL_INFO, "HandleLSTypeUpdate: LS %1 type %2, op %3", lsText,
         ls && ls->type ? std::to_string(*ls->type) : std::string("none"), OpText(change.Delete()));
  const bool wasServicePlane = change.Old().lsType && *change.Old().lsType == kLsTypeServicePlane;
  const bool servicePlane = ls && ls->ServicePlane();
  for (PortEntry* port : ConnectedPortsOf(change.objectId)) {
    if (port->spf) {
      if (wasServicePlane && !servicePlane) {
        ClearPortLsProperties(*port, ls ? ls->extraConfigs : std::map<std::string, std::string>(), batch);
      } else if (servicePlane && !wasServicePlane) {
        Logger(LOG_LEVEL_INFO, "Add LSwitch %1 for SPF port %2", lsText, port->portId);
        Logger(LOG_LEVEL_INFO, "Set lSwitch properties on SPF port [%1]", port->portId);
        AddLsProperties(*port, batch);
        AddBlockState(*port, batch);
      }
      continue;
    }
    // The plane mode of the switch's ports follows its type.
    AddBlockState(*port, batch);
  }
}

void DVSPropConvertor::HandleLsSubType(const Change& change, PortBatch&) {
  const LsState* ls = _state.Switch(change.objectId);
  Logger(LOG_LEVEL_INFO, "HandleLSSubTypeUpdate: LS %1 sub type %2", UuidOf(change.objectId),
         ls && ls->spSubtype ? std::to_string(*ls->spSubtype) : std::string("none"));
}

}  // namespace VevUroro
