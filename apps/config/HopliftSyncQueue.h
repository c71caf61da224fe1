// Ports that need a resync after a live migration (Hoplift): port ID to the set of things to resync (bit 1 the
// port's properties, bit 2 its container list). Adding a queued port merges its flags.
//
// Owned by the DVSPropConvertor, which runs the queue's one-shot timer; guarded by the agent lock.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace VevUroro {

constexpr uint16_t kHopliftSyncProperties = 1;
constexpr uint16_t kHopliftSyncContainerList = 2;

class HopliftSyncQueue {
 public:
  // Queues `portId` with `flags`; a port queued with other flags gets them merged into its own (logged); one
  // queued with the same flags stays as it is.
  void Add(const std::string& portId, uint16_t flags);
  // Drops a port (it disconnected); false when it was not queued.
  bool Remove(const std::string& portId);
  std::map<std::string, uint16_t>& Entries() { return _ports; }
  bool Empty() const { return _ports.empty(); }

 private:
  std::map<std::string, uint16_t> _ports;
};

}  // namespace VevUroro
