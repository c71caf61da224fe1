// VevUroro::IStateCacheConfigTable: what applications call on the configuration table of the state cache —
// observer registration, queries of the desired and runtime stores, derived look-ups and runtime-state updates.
//
// Every operation may be called from any thread; each takes the table's recursive store lock for its duration
// (registration and runtime updates also serialise with notifications, see StateCacheConfigTable.h). Queries
// return copies. Object ids are the stored bytes (serialized UuidMsg, or the id text of text-keyed types).
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "cache/StateCacheObservers.h"
#include "cache/StateCacheRecord.h"
#include "core/TolvarUpdateMsg.h"

namespace VevUroro {

class IStateCacheConfigTable {
 public:
  virtual ~IStateCacheConfigTable() = default;

  // The observer is not owned; it stays registered until unregistered. False when refused (null, or already
  // registered for the type).
  virtual bool RegisterDesiredStateObserver(uint32_t objectType, SCConfigTableObserver* observer) = 0;
  virtual bool RegisterRuntimeStateObserver(uint32_t objectType, SCConfigTableObserver* observer) = 0;
  virtual bool UnregisterDesiredStateObserver(uint32_t objectType, SCConfigTableObserver* observer) = 0;
  virtual bool UnregisterRuntimeStateObserver(uint32_t objectType, SCConfigTableObserver* observer) = 0;

  // Runtime state reported by the datapath, applied to the runtime store; runtime observers are then notified.
  virtual void UpdateRuntimeState(const std::list<TolvarUpdateMsg>& changes, bool fullSync) = 0;

  // Desired store queries; false (and a log line) on a miss.
  virtual bool QueryDesiredProperty(uint32_t objectType, uint32_t propertyType,
                                    std::vector<StateCacheRecord>* records) const = 0;
  virtual bool QueryDesiredObject(const std::string& objectId, std::vector<StateCacheRecord>* records) const = 0;
  virtual bool QueryDesiredProperty(const std::string& objectId, uint32_t propertyType, std::string* value) const = 0;
  // Runtime store: the value of (object, property); false when absent or empty.
  virtual bool QueryRuntimeState(const std::string& objectId, uint32_t propertyType, std::string* value) const = 0;

  // Derived look-ups. Host switch and logical switch ids are serialized UuidMsg; results are the id bytes
  // (transport zone: serialized UuidMsg; DVPort, VIF and DVS: their text ids).
  virtual bool GetTransportZoneOfHostSwitch(const std::string& hostSwitchId, std::string* transportZoneId) const = 0;
  virtual bool FindDVPortByLsp(const std::string& lspId, std::string* dvportId) const = 0;
  virtual bool FindVifByLsp(const std::string& lspId, std::string* vifId) const = 0;
  virtual bool GetDvsOfLogSwitch(const std::string& logSwitchId, std::string* dvsId) const = 0;

  // Approximate heap bytes of each store (logged).
  virtual size_t DesiredCacheSize() const = 0;
  virtual size_t RuntimeCacheSize() const = 0;
};

}  // namespace VevUroro
