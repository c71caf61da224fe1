#include "tools/qor-dpsim/KcpSwitchModule.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
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

bool ParseMac(const std::string& text, MacAddress* mac) {
  unsigned b[6];
  char tail;
  if (std::sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &tail) != 6) {
    return false;
  }
  for (int i = 0; i < 6; ++i) (*mac)[i] = static_cast<uint8_t>(b[i]);
  return true;
}

bool ParseNumber(const std::string& text, uint64_t max, uint64_t* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (*end != '\0' || value > max) return false;
  *out = value;
  return true;
}

// "IP,MAC,VLAN,METHOD[,TIMESTAMP]"; IP is IPv4 dotted or IPv6.
bool ParseBinding(const std::string& text, DiscoveredBinding* binding) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, ',')) parts.push_back(part);
  if (parts.size() != 4 && parts.size() != 5) return false;
  *binding = DiscoveredBinding();
  if (inet_pton(AF_INET, parts[0].c_str(), binding->ip.data()) == 1) {
    binding->family = 1;
  } else if (inet_pton(AF_INET6, parts[0].c_str(), binding->ip.data()) != 1) {
    return false;
  }
  uint64_t vlan = 0, method = 0, timestamp = 0;
  if (!ParseMac(parts[1], &binding->mac) || !ParseNumber(parts[2], 0xffff, &vlan) ||
      !ParseNumber(parts[3], 0xff, &method) || (parts.size() == 5 && !ParseNumber(parts[4], UINT64_MAX, &timestamp))) {
    return false;
  }
  binding->vlanId = static_cast<uint16_t>(vlan);
  binding->method = static_cast<uint8_t>(method);
  binding->timestamp = timestamp;
  return true;
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
  _touched.clear();
  _allTouched = false;
  _batchNs = NowNs();
  for (const auto& message : batch) {
    for (const auto& item : message.items) {
      if (item.wellFormed) ApplyItem(item, replaced);
    }
  }
  if (replaced.count(KCP_UPDATE_PORT_LIST)) DropUnlistedPorts();
  ++_batchesApplied;
  StampTouchedPorts();
  _recorder.Check(_portProperties, _allTouched ? nullptr : &_touched);
}

void KcpSwitchModule::StampTouchedPorts() {
  if (_allTouched) {
    for (const auto& [id, properties] : _portProperties) _touched.insert(id);
  }
  if (_touched.empty()) return;
  for (const std::string& id : _touched) _portChangedNs[id] = _batchNs;
  _lastPortChangeNs = _batchNs;
}

int64_t KcpSwitchModule::PortChangedNs(const std::string& vifId) const {
  auto it = _portChangedNs.find(vifId);
  return it == _portChangedNs.end() ? 0 : it->second;
}

void KcpSwitchModule::DropUnlistedPorts() {
  for (auto it = _portProperties.begin(); it != _portProperties.end();) {
    if (_portList.count(it->first) || _containerList.count(it->first)) {
      ++it;
      continue;
    }
    _touched.insert(it->first);
    _portPropertyCount -= it->second.size();
    it = _portProperties.erase(it);
  }
}

ptrdiff_t KcpSwitchModule::ApplyProperties(std::map<std::string, PropertyMap>& table, const std::string& id,
                                           uint8_t operation, const std::vector<KcpProperty>& properties) {
  if (operation == KCP_OP_DELETE) {
    auto it = table.find(id);
    if (it == table.end()) return 0;
    const ptrdiff_t before = static_cast<ptrdiff_t>(it->second.size());
    if (properties.empty()) {
      table.erase(it);
      return -before;
    }
    for (const auto& p : properties) it->second.erase(p.key);
    const ptrdiff_t after = static_cast<ptrdiff_t>(it->second.size());
    if (after == 0) table.erase(it);
    return after - before;
  }
  auto& entity = table[id];
  const ptrdiff_t before = static_cast<ptrdiff_t>(entity.size());
  for (const auto& p : properties) {
    if (p.value.empty()) {
      entity.erase(p.key);
    } else {
      entity[p.key] = p.value;
    }
  }
  return static_cast<ptrdiff_t>(entity.size()) - before;
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
      const bool ports = item.type == KCP_UPDATE_PORT_PROPERTY;
      auto& table = ports ? _portProperties : _tkmnicProperties;
      if (item.operation == KCP_OP_FULL_SYNC && firstInBatch(item.type)) {
        table.clear();
        if (ports) _portPropertyCount = 0;
        _allTouched = _allTouched || ports;
      }
      for (const auto& record : item.propertyRecords) {
        if (ports && _departed.count(record.id)) continue;
        const ptrdiff_t added = ApplyProperties(table, record.id, item.operation, record.properties);
        if (!ports) continue;
        _portPropertyCount += added;
        _touched.insert(record.id);
        if (!_journal) continue;
        for (const auto& p : record.properties) {
          *_journal << _batchNs << ' ' << record.id << ' ' << p.key << ' ' << PortPropertyText(p.key, p.value) << '\n';
        }
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
  _departed.erase(vif.vifId);
  return {VifUpdateMessage(KCP_OP_UPDATE, {held.record})};
}

std::vector<std::vector<uint8_t>> KcpSwitchModule::DisconnectVif(const std::string& vifId, bool hoplift) {
  auto it = _vifs.find(vifId);
  if (it == _vifs.end()) return {};
  VifRecord record = it->second.record;
  record.properties.clear();
  record.hoplift = hoplift ? 1 : 0;
  _vifs.erase(it);
  _departed.insert(vifId);
  // The port goes with its VIF, and its properties with it.
  if (auto port = _portProperties.find(vifId); port != _portProperties.end()) {
    _portPropertyCount -= port->second.size();
    _portProperties.erase(port);
    _touched = {vifId};
    _allTouched = false;
    _batchNs = NowNs();
    StampTouchedPorts();
    _recorder.Check(_portProperties, &_touched);
  }
  return {VifUpdateMessage(KCP_OP_DELETE, {record})};
}

std::vector<std::vector<uint8_t>> KcpSwitchModule::VifBindings(const std::string& vifId,
                                                               const std::vector<DiscoveredBinding>& bindings,
                                                               size_t fragments) {
  auto it = _vifs.find(vifId);
  if (it == _vifs.end()) return {};
  KcpProperty property = MakeBindingsProperty(bindings);
  VifRecord& held = it->second.record;
  std::erase_if(held.properties, [](const KcpProperty& p) { return p.key == KCP_VIF_PROP_DISCOVERED_BINDINGS; });
  held.properties.push_back(property);
  VifRecord record = held;
  record.properties = {property};
  if (fragments <= 1 || property.value.size() < 2) return {VifUpdateMessage(KCP_OP_UPDATE, {record})};
  // Every fragment carries the record and a slice of the one property's value; all but the last say "more".
  fragments = std::min(fragments, property.value.size());
  std::vector<std::vector<uint8_t>> out;
  const size_t size = property.value.size();
  for (size_t i = 0; i < fragments; ++i) {
    size_t begin = size * i / fragments;
    size_t end = size * (i + 1) / fragments;
    VifRecord piece = record;
    piece.properties.front().value.assign(property.value.begin() + begin, property.value.begin() + end);
    KcpMessage msg;
    msg.type = KCP_MSG_UPDATE;
    msg.updateFlags = i + 1 < fragments ? kUpdateFlagMore : 0;
    DataItem item;
    item.type = KCP_UPDATE_VIF;
    item.operation = KCP_OP_UPDATE;
    item.vifs = {std::move(piece)};
    msg.items.push_back(std::move(item));
    out.push_back(EncodeMessage(msg).value_or(std::vector<uint8_t>{}));
  }
  return out;
}

std::pair<bool, std::string> KcpSwitchModule::ConnectCommand(const std::vector<std::string>& words,
                                                             std::vector<std::vector<uint8_t>>& messages) {
  // vif-connect CHANNEL VIF PORT SWITCH [MAC] [mac=MAC]... [type=N] [parent=VIF] [smartnic]
  //             [binding=IP,MAC,VLAN,METHOD[,TIMESTAMP]]...
  if (words.size() < 5) return {false, "usage: vif-connect CHANNEL VIF PORT SWITCH [MAC] [options]"};
  VifRecord vif;
  vif.vifId = words[2];
  vif.portId = words[3];
  vif.switchId = words[4];
  vif.vifType = KCP_VIF_VNIC;
  std::vector<MacAddress> macs;
  std::vector<DiscoveredBinding> bindings;
  for (size_t i = 5; i < words.size(); ++i) {
    const std::string& word = words[i];
    auto eq = word.find('=');
    std::string name = eq == std::string::npos ? word : word.substr(0, eq);
    std::string value = eq == std::string::npos ? std::string() : word.substr(eq + 1);
    MacAddress mac;
    DiscoveredBinding binding;
    uint64_t number = 0;
    if (eq == std::string::npos && ParseMac(word, &mac)) {
      macs.push_back(mac);
    } else if (name == "mac" && ParseMac(value, &mac)) {
      macs.push_back(mac);
    } else if (name == "type" && ParseNumber(value, 0xff, &number)) {
      vif.vifType = static_cast<uint8_t>(number);
    } else if (name == "parent" && !value.empty()) {
      vif.parentVifId = value;
    } else if (word == "smartnic") {
      vif.smartNic = 1;
    } else if (name == "binding" && ParseBinding(value, &binding)) {
      bindings.push_back(binding);
    } else {
      return {false, "bad argument " + word};
    }
  }
  if (!macs.empty()) vif.properties.push_back(MakeMacProperty(macs));
  if (!bindings.empty()) vif.properties.push_back(MakeBindingsProperty(bindings));
  messages = ConnectVif(vif);
  return {true, ""};
}

std::optional<std::pair<bool, std::string>> KcpSwitchModule::Command(const std::vector<std::string>& words,
                                                                     std::vector<std::vector<uint8_t>>& messages) {
  const std::string& name = words[0];
  if (name == "vif-connect") return ConnectCommand(words, messages);
  if (name == "vif-disconnect") {
    if (words.size() != 3 && !(words.size() == 4 && words[3] == "hoplift")) {
      return std::pair(false, std::string("usage: vif-disconnect CHANNEL VIF [hoplift]"));
    }
    messages = DisconnectVif(words[2], words.size() == 4);
    if (messages.empty()) return std::pair(false, "no VIF " + words[2]);
    return std::pair(true, std::string());
  }
  if (name == "vif-bindings") {
    // vif-bindings CHANNEL VIF [fragments=N] binding=...
    if (words.size() < 3)
      return std::pair(false, std::string("usage: vif-bindings CHANNEL VIF [fragments=N] [binding=...]"));
    std::vector<DiscoveredBinding> bindings;
    uint64_t fragments = 1;
    for (size_t i = 3; i < words.size(); ++i) {
      DiscoveredBinding binding;
      if (words[i].rfind("binding=", 0) == 0 && ParseBinding(words[i].substr(8), &binding)) {
        bindings.push_back(binding);
      } else if (words[i].rfind("fragments=", 0) != 0 || !ParseNumber(words[i].substr(10), 1000, &fragments)) {
        return std::pair(false, "bad argument " + words[i]);
      }
    }
    messages = VifBindings(words[2], bindings, fragments);
    if (messages.empty()) return std::pair(false, "no VIF " + words[2]);
    return std::pair(true, std::string());
  }
  if (name == "dp-status") {
    if (words.size() != 3 || (words[2] != "sync" && words[2] != "out-of-sync")) {
      return std::pair(false, std::string("usage: dp-status CHANNEL sync|out-of-sync"));
    }
    SetOutOfSync(words[2] == "out-of-sync");
    messages.push_back(DpStatusNotification());
    return std::pair(true, std::string());
  }
  if (name == "port-out-of-sync" || name == "tkmnic-out-of-sync") {
    if (words.size() != 3) return std::pair(false, "usage: " + name + " CHANNEL ID");
    messages.push_back(Notification(
        name == "port-out-of-sync" ? KCP_NOTIFY_PORT_PROPERTY_OUT_OF_SYNC : KCP_NOTIFY_TKMNIC_PROPERTY_OUT_OF_SYNC,
        words[2]));
    return std::pair(true, std::string());
  }
  if (name == "hoplift-sync") {
    uint64_t type = 0;
    if (words.size() != 4 || !ParseNumber(words[3], 0xffff, &type)) {
      return std::pair(false, std::string("usage: hoplift-sync CHANNEL VIF 1|2|3"));
    }
    messages.push_back(
        Notification(KCP_NOTIFY_PORT_CONTAINER_HOPLIFT_FULL_SYNC, words[2], static_cast<uint16_t>(type)));
    return std::pair(true, std::string());
  }
  if (name == "disruption-start") {
    _recorder.Start(_portProperties);
    return std::pair(true, "recording against " + std::to_string(_portProperties.size()) + " port(s)\n");
  }
  if (name == "disruption-report") return std::pair(true, _recorder.Report());
  return MeasurementCommand(words);
}

std::optional<std::pair<bool, std::string>> KcpSwitchModule::MeasurementCommand(const std::vector<std::string>& words) {
  const std::string& name = words[0];
  if (name == "stats") {
    std::ostringstream out;
    out << "ports " << _portProperties.size() << " properties " << _portPropertyCount << " vifs " << _vifs.size()
        << " batches " << _batchesApplied << " changed-ns " << _lastPortChangeNs << "\n";
    return std::pair(true, out.str());
  }
  if (name == "port") {
    if (words.size() != 3) return std::pair(false, std::string("usage: port CHANNEL VIF"));
    std::ostringstream out;
    out << "changed-ns " << PortChangedNs(words[2]) << "\n";
    auto it = _portProperties.find(words[2]);
    if (it != _portProperties.end()) {
      for (const auto& [key, value] : it->second) {
        out << "  " << key << " (" << PortKeyName(key) << ") = " << PortPropertyText(key, value) << "\n";
      }
    }
    return std::pair(true, out.str());
  }
  if (name == "journal") {
    if (words.size() != 3) return std::pair(false, std::string("usage: journal CHANNEL FILE|off"));
    _journal.reset();
    if (words[2] == "off") return std::pair(true, std::string("journal closed\n"));
    _journal = std::make_unique<std::ofstream>(words[2], std::ios::trunc);
    if (!*_journal) {
      _journal.reset();
      return std::pair(false, "cannot write " + words[2]);
    }
    return std::pair(true, "journal to " + words[2] + "\n");
  }
  if (name == "export") {
    if (words.size() != 3) return std::pair(false, std::string("usage: export CHANNEL FILE"));
    std::ofstream out(words[2], std::ios::binary | std::ios::trunc);
    size_t count = 0;
    for (const auto& message : ExportPortProperties()) {
      out.write(reinterpret_cast<const char*>(message.data()), static_cast<std::streamsize>(message.size()));
      ++count;
    }
    if (!out) return std::pair(false, "cannot write " + words[2]);
    return std::pair(true, std::to_string(count) + " message(s)\n");
  }
  return std::nullopt;
}

std::vector<std::vector<uint8_t>> KcpSwitchModule::ExportPortProperties() const {
  std::vector<std::vector<uint8_t>> out;
  DataItem item;
  size_t bytes = 0;
  auto flush = [&] {
    if (item.propertyRecords.empty()) return;
    KcpMessage msg;
    msg.type = KCP_MSG_UPDATE;
    msg.items.push_back(std::move(item));
    out.push_back(EncodeMessage(msg).value_or(std::vector<uint8_t>{}));
    item = DataItem();
    bytes = 0;
  };
  for (const auto& [id, held] : _portProperties) {
    PropertyRecord record;
    record.id = id;
    size_t size = kPortRecordFixedLen;
    for (const auto& [key, value] : held) {
      record.properties.push_back(KcpProperty{key, value});
      size += kPropHeaderLen + value.size();
    }
    if (bytes + size > kMaxRecordBytes) flush();
    item.type = KCP_UPDATE_PORT_PROPERTY;
    item.operation = KCP_OP_UPDATE;
    item.propertyRecords.push_back(std::move(record));
    bytes += size;
  }
  flush();
  return out;
}

std::vector<uint8_t> KcpSwitchModule::DpStatusNotification() const {
  return BuildDpStatusNotification(_outOfSync ? KCP_DP_OUT_OF_SYNC : KCP_DP_SYNC);
}

std::vector<uint8_t> KcpSwitchModule::PortOutOfSyncNotification(const std::string& vifId) {
  return Notification(KCP_NOTIFY_PORT_PROPERTY_OUT_OF_SYNC, vifId);
}

std::vector<uint8_t> KcpSwitchModule::Notification(uint16_t dataType, const std::string& id, uint16_t syncType) {
  KcpMessage msg;
  msg.type = KCP_MSG_NOTIFICATION;
  DataItem item;
  item.type = dataType;
  item.ownerId = id;
  item.value16 = syncType;
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
