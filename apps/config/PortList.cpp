#include "apps/config/PortList.h"

namespace VevUroro {

PortEntry* PortList::Add(PortEntry entry) {
  auto [it, added] = _ports.emplace(entry.portId, std::move(entry));
  if (!added) return nullptr;
  _lastByLsp = nullptr;
  PortEntry& port = it->second;
  if (!port.vifId.empty()) _byVif[port.vifId] = &port;
  if (!port.lspId.empty()) _byLsp[port.lspId] = &port;
  return &port;
}

bool PortList::Remove(const std::string& portId, PortEntry* removed) {
  auto it = _ports.find(portId);
  if (it == _ports.end()) return false;
  _lastByLsp = nullptr;
  PortEntry* port = &it->second;
  auto vif = _byVif.find(port->vifId);
  if (vif != _byVif.end() && vif->second == port) _byVif.erase(vif);
  auto lsp = _byLsp.find(port->lspId);
  if (lsp != _byLsp.end() && lsp->second == port) _byLsp.erase(lsp);
  if (removed) *removed = std::move(*port);
  _ports.erase(it);
  return true;
}

PortEntry* PortList::Find(const std::string& portId) {
  auto it = _ports.find(portId);
  return it == _ports.end() ? nullptr : &it->second;
}

PortEntry* PortList::FindByVif(const std::string& vifId) {
  auto it = _byVif.find(vifId);
  return it == _byVif.end() ? nullptr : it->second;
}

PortEntry* PortList::FindByLsp(const std::string& lspId) {
  if (_lastByLsp && _lastByLsp->lspId == lspId) return _lastByLsp;
  auto it = _byLsp.find(lspId);
  if (it == _byLsp.end()) return nullptr;
  _lastByLsp = it->second;
  return _lastByLsp;
}

void PortList::Bind(PortEntry& port, const std::string& lspId) {
  if (port.lspId == lspId) return;
  _lastByLsp = nullptr;
  auto old = _byLsp.find(port.lspId);
  if (old != _byLsp.end() && old->second == &port) _byLsp.erase(old);
  port.lspId = lspId;
  port.lspCache = nullptr;
  if (!lspId.empty()) _byLsp[lspId] = &port;
}

void PortList::ForEach(const std::function<void(PortEntry&)>& visit) {
  for (auto& [id, port] : _ports) visit(port);
}

void PortList::Clear() {
  _ports.clear();
  _byVif.clear();
  _byLsp.clear();
  _lastByLsp = nullptr;
}

}  // namespace VevUroro
