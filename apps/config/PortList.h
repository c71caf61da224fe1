// The property converter's list of connected ports, keyed by port ID, with look-ups by VIF ID and by the logical
// switch port bound to the port.
//
// A port is connected when the datapath reported its VIF as connected; it is bound once the converter knows its
// logical switch port (LSP). Owned by the DVSPropConvertor; guarded by the agent lock.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>

namespace VevUroro {

struct PortEntry {
  std::string portId;
  std::string vifId;
  std::string dvsId;  // the datapath's switch ID of the port
  std::string parentVifId;
  std::string lspId;  // serialized UuidMsg of the bound LSP; empty until bound
  uint8_t vifType = 0;
  bool outOfSync = false;
  bool spf = false;  // service-plane port: its properties come from its switch, not from an LSP
  std::string spfSwitchId;
  std::optional<bool> blocked;  // the port-blocked value last sent
  bool heldBack = false;        // an unblock waits for the port's security settings
  // The bound LSP's state, as last looked up by the converter (valid at its erasure generation).
  mutable const void* lspCache = nullptr;
  mutable uint64_t lspCacheGeneration = 0;
};

class PortList {
 public:
  // Adds `entry`; null when the port ID is listed already.
  PortEntry* Add(PortEntry entry);
  // Removes the port; false when it is not listed.
  bool Remove(const std::string& portId, PortEntry* removed = nullptr);
  PortEntry* Find(const std::string& portId);
  PortEntry* FindByVif(const std::string& vifId);
  PortEntry* FindByLsp(const std::string& lspId);
  // Binds the port to `lspId` (empty: unbinds).
  void Bind(PortEntry& port, const std::string& lspId);
  void ForEach(const std::function<void(PortEntry&)>& visit);
  size_t Size() const { return _ports.size(); }
  void Clear();

 private:
  // The indexes point at the entries of `_ports` (a map's entries keep their address until erased).
  std::unordered_map<std::string, PortEntry> _ports;
  std::unordered_map<std::string, PortEntry*> _byVif;
  std::unordered_map<std::string, PortEntry*> _byLsp;
  // The port FindByLsp found last: a batch asks for one LSP's port once per property. Forgotten by every change
  // of the list or of a binding.
  PortEntry* _lastByLsp = nullptr;
};

}  // namespace VevUroro
