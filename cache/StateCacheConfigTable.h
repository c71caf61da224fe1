// VevUroro::StateCacheConfigTable: the configuration table of the state cache (component CONFIGCACHE). It keeps
// the last desired state of the configuration object types (logical switches and ports, transport nodes, ...) and
// the runtime state the applications store for the datapath (VIF_STATE, HOPLIFT_STATUS), and tells the observers
// of each object type what changed.
//
// Update rules (both stores): a set adds a record or replaces a different value (an equal value only refreshes
// the record's full-sync version and is no change); a clear removes the record (a clear of the object record,
// property 0, removes the object with all its properties). A full sync writes every record with a new version
// and then removes every record it did not write, each removal being a change. In the desired store an object
// disappears in one shape, whether deleted or omitted by a full sync: a removal of the object record (property 0,
// whose value merges the values the object had) followed by a removal per property. On a
// runtime full sync every record the sync wrote is reported (changed or not), because the write-back rewrites
// the database's runtime objects from scratch.
//
// Threads and locks: desired updates come from the dispatcher thread, runtime updates and queries from any
// thread. `_mutex` (recursive) guards the stores, versions and observer registries and is never held while an
// observer runs or selects its changes. `_desiredNotify` / `_runtimeNotify` (recursive) are held across one update and
// its notifications so that observers see updates in the order they were applied; unregistering takes them too, so that
// after Unregister returns the observer is not called again.
#pragma once

#include <map>
#include <mutex>
#include <vector>

#include "cache/IStateCacheConfigTable.h"
#include "core/Component.h"
#include "zantix/qor/tolvar/config.pb.h"

namespace VevUroro {

class StateCacheConfigTable : public qor::RefCounted<StateCacheConfigTable, Component>, public IStateCacheConfigTable {
 public:
  StateCacheConfigTable() = default;

  void UpdateDesiredState(const std::list<TolvarUpdateMsg>& updates, uint8_t fullSync) override;
  // Moves each entry's id, value and contexts into the change observers receive (the record keeps its own copy)
  // and frees the entry once applied.
  void TakeDesiredState(std::list<TolvarUpdateMsg>&& updates, uint8_t fullSync) override;
  void UpdateRuntimeState(const std::list<TolvarUpdateMsg>& changes, bool fullSync) override;

  bool RegisterDesiredStateObserver(uint32_t objectType, SCConfigTableObserver* observer) override;
  bool RegisterRuntimeStateObserver(uint32_t objectType, SCConfigTableObserver* observer) override;
  bool UnregisterDesiredStateObserver(uint32_t objectType, SCConfigTableObserver* observer) override;
  bool UnregisterRuntimeStateObserver(uint32_t objectType, SCConfigTableObserver* observer) override;

  bool QueryDesiredProperty(uint32_t objectType, uint32_t propertyType,
                            std::vector<StateCacheRecord>* records) const override;
  bool QueryDesiredObject(const std::string& objectId, std::vector<StateCacheRecord>* records) const override;
  bool QueryDesiredProperty(const std::string& objectId, uint32_t propertyType, std::string* value) const override;
  bool QueryRuntimeState(const std::string& objectId, uint32_t propertyType, std::string* value) const override;

  bool GetTransportZoneOfHostSwitch(const std::string& hostSwitchId, std::string* transportZoneId) const override;
  bool FindDVPortByLsp(const std::string& lspId, std::string* dvportId) const override;
  bool FindVifByLsp(const std::string& lspId, std::string* vifId) const override;
  bool GetDvsOfLogSwitch(const std::string& logSwitchId, std::string* dvsId) const override;

  size_t DesiredCacheSize() const override;
  size_t RuntimeCacheSize() const override;

  // Copies of the runtime records of one object type, ordered by object then property (object record first).
  std::vector<StateCacheRecord> RuntimeRecords(uint32_t objectType) const;
  // Copies of the runtime records of one object, object record first; empty when the object is not cached.
  std::vector<StateCacheRecord> RuntimeObjectRecords(uint32_t objectType, const std::string& objectId) const;
  size_t DesiredCount() const;
  size_t RuntimeCount() const;
  // Copies for the operator CLI: at most `limit` records of the desired / runtime store, of every type
  // (`objectType` 0) or of one type, ordered by (object id, property). Returns the number of records the store
  // holds (of that type), so that the caller can tell that the copy was cut.
  size_t CopyDesired(std::vector<StateCacheRecord>* out, size_t limit, uint32_t objectType = 0) const;
  size_t CopyRuntime(std::vector<StateCacheRecord>* out, size_t limit, uint32_t objectType = 0) const;
  uint32_t FullSyncVersion() const;
  uint32_t RuntimeFullSyncVersion() const;
  bool Initialised() const;
  // Starts both stores' counts of additions at `count` (before any update): lets a test reach the count's wrap.
  void StartAdditionsAt(uint32_t count);

 private:
  using Registry = std::multimap<uint32_t, SCConfigTableObserver*>;

  struct ApplyContext {
    ConfigRecordStore& store;
    uint32_t& additions;  // the store's count of additions
    bool fullSync;
    uint32_t version;
    bool runtime;  // the runtime reporting rules
    const Registry& observers;
    StateCacheChangeList& changes;
    // The record after the one last written (or the end): where the next entry goes when entries arrive in the id
    // index's order, as a full sync's do. Set by Apply, kept valid across erasures.
    mutable ConfigRecordStore::index<sc_index::ByIdProperty>::type::iterator cursor{};
    // Whether the last entry went where the cursor was: only then is the next one checked against it (a shuffled
    // batch pays no compares for it).
    mutable bool inOrder = true;
  };
  // Applies `entries` to the store; appends the effective changes of the types the observers are registered for.
  // With `taken` (the same list, handed over) each entry's contents move into its change and the entry is freed.
  static void Apply(const ApplyContext& context, const std::list<TolvarUpdateMsg>& entries,
                    std::list<TolvarUpdateMsg>* taken);
  // One entry; `movable` (the entry itself, or null) may be moved from.
  static void ApplyEntry(const ApplyContext& context, const TolvarUpdateMsg& entry, TolvarUpdateMsg* movable);
  void UpdateDesired(const std::list<TolvarUpdateMsg>& updates, std::list<TolvarUpdateMsg>* taken, uint8_t fullSync);
  // Removes records older than `version`; an object omitted entirely is reported as a delete of the desired store
  // reports it (the object first, then its properties), for the observed types.
  static void Sweep(ConfigRecordStore& store, uint32_t version, const Registry& observers,
                    StateCacheChangeList& changes);
  bool Register(Registry& registry, uint32_t objectType, SCConfigTableObserver* observer, const char* which);
  bool Unregister(Registry& registry, uint32_t objectType, SCConfigTableObserver* observer, const char* which);
  static size_t Copy(const ConfigRecordStore& store, std::vector<StateCacheRecord>* out, size_t limit,
                     uint32_t objectType);
  bool FindDesired(const std::string& objectId, uint32_t propertyType, StateCacheRecord* record) const;
  // The port's attachment property, parsed into `port`; false when it is not cached.
  bool FindAttachment(const std::string& lspId, zantix::qor::tolvar::LogSwitchPortConfigMsg* port) const;

  mutable std::recursive_mutex _mutex;
  std::recursive_mutex _desiredNotify;
  std::recursive_mutex _runtimeNotify;
  ConfigRecordStore _desired;
  ConfigRecordStore _runtime;
  uint32_t _desiredAdditions = 0;
  uint32_t _runtimeAdditions = 0;
  uint32_t _fullSyncVersion = 0;
  uint32_t _runtimeVersion = 0;
  bool _initialised = false;
  Registry _desiredObservers;
  Registry _runtimeObservers;
};

}  // namespace VevUroro
