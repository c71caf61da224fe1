// VevUroro::StateCacheL2Table: the L2 table of the state cache (component L2CACHE). Desired store: the
// logical-switch and routing-domain forwarding tables (LOG_SWITCH_FIB, ROUTING_DOMAIN_FIB, L2_VTEP_GROUP) from the
// database; runtime store: what the datapath learned (LOG_SWITCH_STATE, ROUTING_DOMAIN_VTEP), stored by the L2
// application. Records are keyed by (object type, object id, property type, value key); the value key is derived
// from the element (address, MAC, tunnel endpoint label or address, group label or key).
//
// Rules: object records (property 0) add or delete the object (a delete removes its elements too); element
// records are inserted or removed; an element of an object that is not cached is ignored. A VTEP group holds one
// group record keyed by its group key: any property entry of the group creates the object, a set under a new key
// replaces the group, and a clear (an emptied group, whatever key it carries) removes it and keeps the object, as a
// full sync of the emptied group leaves it. A full sync writes with a new version (remote for the controller's
// desired store, local for the runtime store) and removes what it did not write, per object the object record
// before its elements. Desired observers see an object disappear in that one shape whether it was deleted or
// omitted by a full sync: its removal, then one removal per element.
//
// Notification filters (inactive while no local VTEP label is set): desired VTEP elements that carry one of this
// host's own labels stay in the store but are not notified, since the host never tunnels to itself; runtime VTEP
// elements that carry a label which is not this host's are not notified, so that a stale label is never written
// back to the database.
//
// Threads and locks: as StateCacheConfigTable — `_mutex` guards stores and registries and is never held while an
// observer runs; the notify mutexes keep notifications in update order.
#pragma once

#include <array>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "cache/StateCacheObservers.h"
#include "core/Component.h"

namespace VevUroro {

struct L2ValueKey {
  uint64_t part1 = 0;
  uint64_t part2 = 0;
  bool operator<(const L2ValueKey& o) const { return std::tie(part1, part2) < std::tie(o.part1, o.part2); }
  bool operator==(const L2ValueKey& o) const { return part1 == o.part1 && part2 == o.part2; }
};

class StateCacheL2Table : public qor::RefCounted<StateCacheL2Table, Component> {
 public:
  struct Record {
    StateCacheRecord record;
    L2ValueKey key;
  };

  void UpdateDesiredState(const std::list<TolvarUpdateMsg>& updates, uint8_t fullSync) override;
  // Runtime state learned from the datapath.
  void UpdateRuntimeState(const std::list<TolvarUpdateMsg>& changes, bool fullSync);
  // Removes the runtime forwarding table of one logical switch (its object and elements), notifying removals.
  bool RemoveLocalL2Table(uint32_t objectType, const std::string& objectId);

  // Observers are not owned. False when refused (null or already registered / not registered).
  bool RegisterDesiredStateObserver(uint32_t objectType, SCL2TableObserver* observer);
  bool RegisterRuntimeStateObserver(uint32_t objectType, SCL2TableObserver* observer);
  bool UnregisterDesiredStateObserver(uint32_t objectType, SCL2TableObserver* observer);
  bool UnregisterRuntimeStateObserver(uint32_t objectType, SCL2TableObserver* observer);

  // Copies of the records of one object type.
  bool QueryDesired(uint32_t objectType, std::vector<StateCacheRecord>* records) const;
  bool QueryRuntime(uint32_t objectType, std::vector<StateCacheRecord>* records) const;
  // One element by (object, property, value key).
  bool QueryDesiredProperty(const std::string& objectId, uint32_t propertyType, const L2ValueKey& key,
                            std::string* value) const;
  bool QueryRuntimeProperty(const std::string& objectId, uint32_t propertyType, const L2ValueKey& key,
                            std::string* value) const;
  // The tunnel endpoint labels of this host, used by the notification filters; an empty set turns them off.
  void SetLocalVtepLabels(std::set<uint32_t> labels);
  // Log every desired / runtime record, one line each; return the number of records.
  size_t DumpDesiredState() const;
  size_t DumpRuntimeState() const;

  // Every runtime record the write-back writes (the records the runtime filter lets through), by (type, object,
  // property, key): object records first within an object.
  std::vector<StateCacheRecord> RuntimeRecords() const;
  // The same for one object; empty when the object is not cached.
  std::vector<StateCacheRecord> RuntimeObjectRecords(uint32_t objectType, const std::string& objectId) const;

  // Copies for the operator CLI: at most `limit` records of the desired / runtime store, ordered by (object type,
  // object, property, value key). Returns the number of records the store holds.
  size_t CopyDesired(std::vector<Record>* out, size_t limit) const;
  size_t CopyRuntime(std::vector<Record>* out, size_t limit) const;

  size_t DesiredCacheSize() const;
  size_t DesiredCount() const;
  size_t RuntimeCount() const;
  size_t RuntimeCacheSize() const;
  uint32_t LocalFullSyncVersion() const;
  uint32_t RemoteFullSyncVersion() const;

  // The value key of an element of `propertyType`; false (logged) for a property without one or an element
  // that does not parse.
  static bool ValueKey(uint32_t propertyType, const std::string& value, L2ValueKey* key);

 private:
  using Key = std::tuple<uint32_t, std::string, uint32_t, uint64_t, uint64_t>;
  using Store = std::map<Key, StateCacheRecord>;
  using Registry = std::multimap<uint32_t, SCL2TableObserver*>;

  // `desired`: a deleted object's elements are reported removed after it (see the class comment).
  void Apply(Store& store, const std::list<TolvarUpdateMsg>& entries, bool fullSync, uint32_t version, bool desired,
             StateCacheChangeList& changes);
  static void Sweep(Store& store, uint32_t version, StateCacheChangeList& changes);
  bool Register(Registry& registry, uint32_t objectType, SCL2TableObserver* observer, bool runtime);
  bool Unregister(Registry& registry, uint32_t objectType, SCL2TableObserver* observer, bool runtime);
  static size_t Bytes(const Store& store);
  // The element (object, property, key) of any object type: one ordered look-up per object type in the store.
  // Every record of one object type in `store` (logs `missing` when there is none).
  bool QueryType(const Store& store, uint32_t objectType, const char* missing,
                 std::vector<StateCacheRecord>* records) const;
  static Store::const_iterator FindElement(const Store& store, const std::string& objectId, uint32_t propertyType,
                                           const L2ValueKey& key);
  // Drops the VTEP changes the filters exclude (see above); called under `_mutex`.
  void FilterDesired(StateCacheChangeList& changes) const;
  void FilterRuntime(StateCacheChangeList& changes) const;
  // False for a runtime VTEP record the runtime filter keeps from the database; called under `_mutex`.
  bool RuntimeWritten(uint32_t propertyType, const std::string& value) const;
  size_t Dump(const Store& store, const char* title) const;
  static size_t Copy(const Store& store, std::vector<Record>* out, size_t limit);

  mutable std::recursive_mutex _mutex;
  std::recursive_mutex _desiredNotify;
  std::recursive_mutex _runtimeNotify;
  Store _desired;
  Store _runtime;
  uint32_t _localVersion = 0;
  uint32_t _remoteVersion = 0;
  std::set<uint32_t> _localVtepLabels;
  Registry _desiredObservers;
  Registry _runtimeObservers;
};

}  // namespace VevUroro
