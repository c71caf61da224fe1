#include "tools/qor-dpsim/KcpSwitchModule.h"

#include <sstream>

#include "dataplane/kcp/KcpFormat.h"
#include "dataplane/kcp/KcpReader.h"
#include "dataplane/kcp/KcpWriter.h"
#include "tools/qor-dpsim/Channel.h"
#include "tools/qor-dpsim/PropertyText.h"

namespace qor::dpsim {

using namespace VevUroro::kcp;

namespace {

void DumpTable(std::ostringstream& out, const char* title,
               const std::map<std::string, KcpSwitchModule::PropertyMap>& table, const char* (*name)(uint16_t),
               std::string (*text)(uint16_t, const std::vector<uint8_t>&)) {
  out << title << ": " << table.size() << "\n";
  for (const auto& [id, properties] : table) {
    out << "  " << Printable(id) << "\n";
    for (const auto& [key, value] : properties) {
      out << "    " << key << " (" << name(key) << ") = " << text(key, value) << "\n";
    }
  }
}

void DumpSet(std::ostringstream& out, const char* title, const std::set<std::string>& items) {
  out << title << ":";
  for (const auto& item : items) out << " " << Printable(item);
  out << "\n";
}

std::vector<uint8_t> VifUpdateMessage(uint8_t operation, const std::vector<VifRecord>& vifs) {
  KcpMessage msg;
  msg.type = KCP_MSG_UPDATE;
  DataItem item;
  item.type = KCP_UPDATE_VIF;
  item.operation = operation;
  item.vifs = vifs;
  msg.items.push_back(std::move(item));
  return EncodeMessage(msg).value_or(std::vector<uint8_t>{});
}

VifRecord WithStatus(VifRecord vif, uint8_t status) {
  std::vector<KcpProperty> kept;
  for (auto& p : vif.properties) {
    if (p.key != KCP_VIF_PROP_STATUS) kept.push_back(std::move(p));
  }
  kept.insert(kept.begin(), MakeStatusProperty(status));
  vif.properties = std::move(kept);
  return vif;
}

}  // namespace

void KcpSwitchModule::OnConnect(Connection& connection) {
  _pendingBatches.erase(connection.Id());
}

void KcpSwitchModule::OnDisconnect(Connection& connection) {
  _pendingBatches.erase(connection.Id());
}

void KcpSwitchModule::OnMessage(Connection& connection, const std::vector<uint8_t>& bytes) {
  Receive(connection.Id(), bytes, [&connection](std::vector<uint8_t> answer) { connection.Send(std::move(answer)); });
}

void KcpSwitchModule::Receive(uint64_t connectionId, const std::vector<uint8_t>& bytes, const Reply& reply) {
  KcpMessage message;
  if (!DecodeMessage(bytes.data(), bytes.size(), &message)) return;
  switch (message.type) {
    case KCP_MSG_SESSION_CONTROL:
      HandleSessionControl(message, reply);
      return;
    case KCP_MSG_UPDATE: {
      auto& batch = _pendingBatches[connectionId];
      bool last = !message.MoreFollows();
      batch.push_back(std::move(message));
      if (last) {
        auto complete = std::move(batch);
        _pendingBatches.erase(connectionId);
        ApplyBatch(complete);
      }
      return;
    }
    case KCP_MSG_QUERY:
      for (const auto& item : message.items) {
        if (item.type == KCP_QUERY_DP_STATUS) reply(DpStatusNotification());
      }
      return;
    default:
      return;
  }
}

void KcpSwitchModule::HandleSessionControl(const KcpMessage& message, const Reply& reply) {
  if (message.items.empty() || message.items[0].type != KCP_SESSION_CONTROL || !message.items[0].wellFormed) return;
  const DataItem& item = message.items[0];
  if (item.controlType != KCP_SESSION_OPEN) return;
  ++_sessionsOpened;
  _lastSessionId = item.sessionId;
  _outOfSync = false;
  reply(BuildSessionControl(KCP_SESSION_OPEN_ACK, item.sessionId));
  std::vector<VifRecord> connected;
  for (const auto& [id, held] : _vifs) {
    if (held.connected) connected.push_back(WithStatus(held.record, KCP_VIF_CONNECT));
  }
  // Keep each message within the format's limit: split the VIFs over several updates when needed.
  std::vector<VifRecord> chunk;
  size_t bytes = 0;
  for (auto& vif : connected) {
    size_t size = kVifRecordFixedLen;
    for (const auto& p : vif.properties) size += kPropHeaderLen + p.value.size();
    if (!chunk.empty() && bytes + size > kMaxRecordBytes) {
      reply(VifUpdateMessage(KCP_OP_FULL_SYNC, chunk));
      chunk.clear();
      bytes = 0;
    }
    chunk.push_back(std::move(vif));
    bytes += size;
  }
  if (!chunk.empty()) reply(VifUpdateMessage(KCP_OP_FULL_SYNC, chunk));
  reply(BuildSessionControl(KCP_SESSION_FULL_SYNC_END, item.sessionId));
}

void KcpSwitchModule::ApplyBatch(const std::vector<KcpMessage>& batch) {
  std::set<uint16_t> replaced;  // data types whose table this batch already replaced
  for (const auto& message : batch) {
    for (const auto& item : message.items) {
      if (item.wellFormed) ApplyItem(item, replaced);
    }
  }
  ++_batchesApplied;
}

void KcpSwitchModule::ApplyProperties(std::map<std::string, PropertyMap>& table, const std::string& id,
                                      uint8_t operation, const std::vector<KcpProperty>& properties) {
  if (operation == KCP_OP_DELETE) {
    if (properties.empty()) {
      table.erase(id);
      return;
    }
    auto it = table.find(id);
    if (it == table.end()) return;
    for (const auto& p : properties) it->second.erase(p.key);
    if (it->second.empty()) table.erase(it);
    return;
  }
  auto& entity = table[id];
  for (const auto& p : properties) {
    if (p.value.empty()) {
      entity.erase(p.key);
    } else {
      entity[p.key] = p.value;
    }
  }
}

void KcpSwitchModule::ApplyItem(const DataItem& item, std::set<uint16_t>& replaced) {
  // Replaces the table of this data type once per batch (FULL SYNC operations and lists).
  auto firstInBatch = [&](uint16_t type) { return replaced.insert(type).second; };
  switch (item.type) {
    case KCP_UPDATE_VIF:
      if (item.operation == KCP_OP_FULL_SYNC && firstInBatch(item.type)) _vifs.clear();
      for (const auto& vif : item.vifs) {
        if (item.operation == KCP_OP_DELETE) {
          _vifs.erase(vif.vifId);
          continue;
        }
        HeldVif& held = _vifs[vif.vifId];
        held.record = vif;
        for (const auto& p : vif.properties) {
          if (p.key == KCP_VIF_PROP_STATUS && !p.value.empty()) held.connected = p.value[0] == KCP_VIF_CONNECT;
        }
      }
      return;
    case KCP_UPDATE_PORT_PROPERTY:
    case KCP_UPDATE_TKMNIC_PROPERTY: {
      auto& table = item.type == KCP_UPDATE_PORT_PROPERTY ? _portProperties : _tkmnicProperties;
      if (item.operation == KCP_OP_FULL_SYNC && firstInBatch(item.type)) table.clear();
      for (const auto& record : item.propertyRecords) {
        ApplyProperties(table, record.id, item.operation, record.properties);
      }
      return;
    }
    case KCP_UPDATE_VDS_PROPERTY:
      if (!item.vds) return;
      if (item.vds->operation == KCP_OP_FULL_SYNC && firstInBatch(item.type)) _vdsProperties.clear();
      ApplyProperties(_vdsProperties, item.vds->vdsId, item.vds->operation, item.vds->properties);
      return;
    case KCP_UPDATE_PORT_LIST:
    case KCP_UPDATE_TKMNIC_LIST:
    case KCP_UPDATE_CONTAINER_LIST:
    case KCP_UPDATE_VDS_LIST: {
      auto& list = item.type == KCP_UPDATE_PORT_LIST     ? _portList
                   : item.type == KCP_UPDATE_TKMNIC_LIST ? _tkmnicList
                   : item.type == KCP_UPDATE_VDS_LIST    ? _vdsList
                                                         : _containerList;
      if (firstInBatch(item.type)) list.clear();
      list.insert(item.ids.begin(), item.ids.end());
      return;
    }
    case KCP_UPDATE_CONTAINER:
      for (const auto& c : item.containers) _containers[c.cifId] = c;
      return;
    case KCP_UPDATE_PORT_CONTAINER_LIST:
      if (item.ids.empty()) {
        _portContainers.erase(item.ownerId);
      } else {
        _portContainers[item.ownerId] = item.ids;
      }
      return;
    case KCP_UPDATE_UPLINK:
      if (item.operation == KCP_OP_FULL_SYNC && firstInBatch(item.type)) _uplinks.clear();
      for (const auto& u : item.uplinks) {
        if (item.operation == KCP_OP_DELETE) {
          _uplinks.erase(u.portId);
        } else {
          _uplinks[u.portId] = u;
        }
      }
      return;
    default:
      return;
  }
}

std::vector<std::vector<uint8_t>> KcpSwitchModule::ConnectVif(const VifRecord& vif) {
  HeldVif& held = _vifs[vif.vifId];
  held.record = WithStatus(vif, KCP_VIF_CONNECT);
  held.connected = true;
  return {VifUpdateMessage(KCP_OP_UPDATE, {held.record})};
}

std::vector<std::vector<uint8_t>> KcpSwitchModule::DisconnectVif(const std::string& vifId) {
  auto it = _vifs.find(vifId);
  if (it == _vifs.end()) return {};
  it->second.connected = false;
  it->second.record = WithStatus(it->second.record, KCP_VIF_DISCONNECT);
  return {VifUpdateMessage(KCP_OP_UPDATE, {it->second.record})};
}

std::vector<uint8_t> KcpSwitchModule::DpStatusNotification() const {
  return BuildDpStatusNotification(_outOfSync ? KCP_DP_OUT_OF_SYNC : KCP_DP_SYNC);
}

std::vector<uint8_t> KcpSwitchModule::PortOutOfSyncNotification(const std::string& vifId) {
  KcpMessage msg;
  msg.type = KCP_MSG_NOTIFICATION;
  DataItem item;
  item.type = KCP_NOTIFY_PORT_PROPERTY_OUT_OF_SYNC;
  item.ownerId = vifId;
  msg.items.push_back(std::move(item));
  return EncodeMessage(msg).value_or(std::vector<uint8_t>{});
}

std::string KcpSwitchModule::Dump() const {
  std::ostringstream out;
  out << "sessions opened: " << _sessionsOpened << ", last session ID: " << _lastSessionId
      << ", batches applied: " << _batchesApplied << ", DP status: " << (_outOfSync ? "OutOfSync" : "Sync") << "\n";
  out << "VIFs: " << _vifs.size() << "\n";
  for (const auto& [id, held] : _vifs) {
    out << "  " << Printable(id) << " port=" << Printable(held.record.portId)
        << " switch=" << Printable(held.record.switchId) << " type=" << static_cast<unsigned>(held.record.vifType)
        << (held.connected ? " connected" : " disconnected") << "\n";
  }
  DumpTable(out, "port properties", _portProperties, PortKeyName, PortPropertyText);
  DumpTable(out, "tkmnic properties", _tkmnicProperties, PortKeyName, PortPropertyText);
  DumpTable(out, "switch properties", _vdsProperties, SwitchKeyName, SwitchPropertyText);
  DumpSet(out, "port list", _portList);
  DumpSet(out, "tkmnic list", _tkmnicList);
  DumpSet(out, "switch list", _vdsList);
  DumpSet(out, "container list", _containerList);
  out << "containers: " << _containers.size() << "\n";
  for (const auto& [id, c] : _containers) {
    out << "  " << Printable(id) << " port=" << Printable(c.portId) << " vm-vif=" << Printable(c.vmVifId)
        << " vlan=" << c.vlanId << " addresses=" << c.entries.size() << "\n";
  }
  out << "port container lists: " << _portContainers.size() << "\n";
  for (const auto& [port, list] : _portContainers) {
    out << "  " << Printable(port) << ":";
    for (const auto& id : list) out << " " << Printable(id);
    out << "\n";
  }
  out << "uplinks: " << _uplinks.size() << "\n";
  for (const auto& [id, u] : _uplinks) {
    out << "  " << Printable(id) << " switch=" << Printable(u.switchId) << " client=" << Printable(u.clientName)
        << " alias=" << Printable(u.alias) << "\n";
  }
  return out.str();
}

}  // namespace qor::dpsim
