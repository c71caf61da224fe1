// VevUroro::IStateCache: what the Tolvar client reads from the state cache to rebuild the database's runtime
// objects when a SmartNIC becomes active ("put front"). Implemented by the state cache, which lives for the
// process. Both operations may be called from any thread and return copies taken under the tables' locks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace VevUroro {

struct StateCacheRuntimeRecord {
  uint32_t objectType = 0;
  std::string objectId;
  uint32_t propertyType = 0;  // 0: the object record
  std::string value;
};

class IStateCache {
 public:
  virtual ~IStateCache() = default;
  // Runtime records of one type of the configuration table, by object, the object record first.
  virtual std::vector<StateCacheRuntimeRecord> ConfigRuntimeRecords(uint32_t objectType) const = 0;
  // Every runtime record of the L2 table, by object, the object record first.
  virtual std::vector<StateCacheRuntimeRecord> L2RuntimeRecords() const = 0;
};

}  // namespace VevUroro
