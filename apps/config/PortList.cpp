#include "apps/config/PortList.h"

namespace VevUroro {

PortEntry* PortList::Add(PortEntry entry) {
  auto [it, added] = _ports.emplace(entry.portId, std::move(entry));
  if (!added) return nullptr;
  PortEntry& port = it->second;
  if (!port.vifId.empty()) _byVif[port.vifId] = port.portId;
  if (!port.lspId.empty()) _byLsp[port.lspId] = port.portId;
  return &port;
}

bool PortList::Remove(const std::string& portId, PortEntry* removed) {
  auto it = _ports.find(portId);
  if (it == _ports.end()) return false;
  auto vif = _byVif.find(it->second.vifId);
  if (vif != _byVif.end() && vif->second == portId) _byVif.erase(vif);
  auto lsp = _byLsp.find(it->second.lspId);
  if (lsp != _byLsp.end() && lsp->second == portId) _byLsp.erase(lsp);
  if (removed) *removed = std::move(it->second);
  _ports.erase(it);
  return true;
}

PortEntry* PortList::Find(const std::string& portId) {
  auto it = _ports.find(portId);
  return it == _ports.end() ? nullptr : &it->second;
}

PortEntry* PortList::FindByVif(const std::string& vifId) {
  auto it = _byVif.find(vifId);
  return it == _byVif.end() ? nullptr : Find(it->second);
}

PortEntry* PortList::FindByLsp(const std::string& lspId) {
  auto it = _byLsp.find(lspId);
  return it == _byLsp.end() ? nullptr : Find(it->second);
}

void PortList::Bind(PortEntry& port, const std::string& lspId) {
  if (port.lspId == lspId) return;
  auto old = _byLsp.find(port.lspId);
  if (old != _byLsp.end() && old->second == port.portId) _byLsp.erase(old);
  port.lspId = lspId;
  port.lspCache = nullptr;
  if (!lspId.empty()) _byLsp[lspId] = port.portId;
}

void PortList::ForEach(const std::function<void(PortEntry&)>& visit) {
  for (auto& [id, port] : _ports) visit(port);
}

void PortList::Clear() {
  _ports.clear();
  _byVif.clear();
  _byLsp.clear();
}

}  // namespace VevUroro
