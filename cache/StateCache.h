// VevUroro::StateCache: owns the three state cache tables for the life of the process and gives the Tolvar
// client read access to the runtime stores (IStateCache). Created at start-up before the Tolvar client; the
// tables are registered with the dispatcher as CONFIGCACHE, L2CACHE and L3CACHE. Any thread.
#pragma once

#include "cache/StateCacheConfigTable.h"
#include "cache/StateCacheL2Table.h"
#include "cache/StateCacheL3Table.h"
#include "intake/IStateCache.h"
#include "intake/MsgDispatcher.h"

namespace VevUroro {

class StateCache : public IStateCache {
 public:
  StateCache();

  StateCacheConfigTable* ConfigTable() const { return _configTable.get(); }
  StateCacheL2Table* L2Table() const { return _l2Table.get(); }
  StateCacheL3Table* L3Table() const { return _l3Table.get(); }

  // Registers the tables with the dispatcher.
  void RegisterWith(MsgDispatcher& dispatcher) const;

  std::vector<StateCacheRuntimeRecord> ConfigRuntimeRecords(uint32_t objectType) const override;
  std::vector<StateCacheRuntimeRecord> L2RuntimeRecords() const override;

 private:
  qor::RefPtr<StateCacheConfigTable> _configTable;
  qor::RefPtr<StateCacheL2Table> _l2Table;
  qor::RefPtr<StateCacheL3Table> _l3Table;
};

}  // namespace VevUroro
