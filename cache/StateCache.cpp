#include "cache/StateCache.h"

namespace VevUroro {
namespace {

StateCacheRuntimeRecord ToRuntime(const StateCacheRecord& record) {
  return StateCacheRuntimeRecord{record.objectType, record.objectId, record.propertyType, record.value};
}

}  // namespace

StateCache::StateCache()
    : _configTable(new StateCacheConfigTable()), _l2Table(new StateCacheL2Table()), _l3Table(new StateCacheL3Table()) {}

void StateCache::RegisterWith(MsgDispatcher& dispatcher) const {
  dispatcher.Register(CONFIGCACHE, qor::RefPtr<Component>(_configTable.get()));
  dispatcher.Register(L2CACHE, qor::RefPtr<Component>(_l2Table.get()));
  dispatcher.Register(L3CACHE, qor::RefPtr<Component>(_l3Table.get()));
}

std::vector<StateCacheRuntimeRecord> StateCache::ConfigRuntimeRecords(uint32_t objectType) const {
  std::vector<StateCacheRuntimeRecord> out;
  for (const StateCacheRecord& record : _configTable->RuntimeRecords(objectType)) out.push_back(ToRuntime(record));
  return out;
}

std::vector<StateCacheRuntimeRecord> StateCache::L2RuntimeRecords() const {
  std::vector<StateCacheRuntimeRecord> out;
  for (const StateCacheRecord& record : _l2Table->RuntimeRecords()) out.push_back(ToRuntime(record));
  return out;
}

}  // namespace VevUroro
