#include "apps/config/HopliftSyncQueue.h"

#include "core/Logger.h"

namespace VevUroro {

void HopliftSyncQueue::Add(const std::string& portId, uint16_t flags) {
  auto it = _ports.find(portId);
  if (it == _ports.end()) {
    _ports[portId] = flags;
    Logger(LOG_LEVEL_INFO, "Add port (%1:%2) to Hoplift port sync queue", portId, flags);
    return;
  }
  if (it->second == flags) return;
  it->second |= flags;
  Logger(LOG_LEVEL_INFO, "Existing port(%1:%2), merge sync flag to %3", portId, flags, it->second);
}

bool HopliftSyncQueue::Remove(const std::string& portId) {
  if (_ports.erase(portId) == 0) return false;
  Logger(LOG_LEVEL_INFO, "Delete port %1 from Hoplift sync queue", portId);
  return true;
}

}  // namespace VevUroro
