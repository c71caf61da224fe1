// VevUroro::StateCacheL3Table: the L3 table of the state cache (component L3CACHE). It keeps the last desired
// state of the distributed-router types (routers, router ports, FIB, ARP tables, prefix lists, multicast, ND-RA
// and DAD profiles, DAD state and requests, the global configuration and barriers) and tells the L3 observers what
// changed.
//
// Records: a scalar record per (object type, object id, property type) — property 0 holds a whole object — and
// one record per element of a list property, keyed by the element's bytes. Set/clear entries act on scalar
// records, insert/remove entries on list elements. A full sync accepts only set and insert entries (anything else
// is rejected with LCP00922), writes with a new version and then removes every record it did not write, per object
// in property order: the same removals, in the same order, as a delete of the object gives. The store does not enforce
// uniqueness: an entry whose operation does not fit the property (an insert on a scalar property) can create a second
// record, which the updates and the typed queries detect and refuse (LCP00919) instead of picking one at random.
//
// Threads and locks: updates come from the dispatcher thread, queries from any thread. `_mutex` (recursive)
// guards the store, the version and the observer registry and is never held while an observer runs;
// `_notifyMutex` is held across one update and its notifications so that observers see updates in order, and by
// Unregister, so that an unregistered observer is not called again.
#pragma once

#include <boost/multi_index/composite_key.hpp>
#include <boost/multi_index/hashed_index.hpp>
#include <boost/multi_index/mem_fun.hpp>
#include <boost/multi_index/member.hpp>
#include <boost/multi_index/ordered_index.hpp>
#include <boost/multi_index_container.hpp>
#include <map>
#include <mutex>
#include <string_view>
#include <vector>

#include "cache/StateCacheObservers.h"
#include "core/Component.h"
#include "zantix/qor/tolvar/l3.pb.h"
#include "zantix/qor/tolvar/services.pb.h"

namespace VevUroro {

class StateCacheL3Table : public qor::RefCounted<StateCacheL3Table, Component> {
 public:
  void UpdateDesiredState(const std::list<TolvarUpdateMsg>& updates, uint8_t fullSync) override;

  // The observer is not owned. False (logged) when null, already registered for the type, or not registered.
  bool RegisterDesiredStateObserver(uint32_t objectType, SCL3TableObserver* observer);
  bool UnregisterDesiredStateObserver(uint32_t objectType, SCL3TableObserver* observer);

  // Typed queries by object id (serialized UuidMsg). False when the object is not cached, when more than one
  // record answers (LCP00919), when the record lacks the field its users key on (LCP00920), or when it does not
  // parse. The FIB and ARP table are assembled from their scalar and list records.
  bool QueryLogRouter(const std::string& routerId, zantix::qor::tolvar::LogRouterConfigMsg* router) const;
  bool QueryLogRouterPort(const std::string& portId, zantix::qor::tolvar::LogRouterPortConfigMsg* port) const;
  bool QueryFib(const std::string& fibId, zantix::qor::tolvar::FibMsg* fib) const;
  bool QueryArpTable(const std::string& arpTableId, zantix::qor::tolvar::ArpTableConfigMsg* table) const;
  bool QueryPrefixList(const std::string& prefixListId, zantix::qor::tolvar::PrefixListMsg* prefixList) const;
  bool QueryMulticastConfig(const std::string& configId, zantix::qor::tolvar::MulticastConfigMsg* config) const;
  bool QueryNdraProfile(const std::string& profileId, zantix::qor::tolvar::NdraProfileConfigMsg* profile) const;
  bool QueryDadProfile(const std::string& profileId, zantix::qor::tolvar::DadProfileConfigMsg* profile) const;
  bool QueryFibDadState(const std::string& portId, zantix::qor::tolvar::LogRouterPortFibDadStateMsg* state) const;
  // The only GLOBAL_CONFIG / BARRIER object, whatever its id.
  bool QueryGlobalConfig(zantix::qor::tolvar::GlobalConfigMsg* config) const;
  bool QueryBarrier(zantix::qor::tolvar::BarrierMsg* barrier) const;
  // Every multicast static route of one router; false (logged) when there is none.
  bool QueryMulticastStaticRoutes(const std::string& routerId,
                                  std::vector<zantix::qor::tolvar::MulticastStaticRouteMsg>* routes) const;
  // Copies of the records of one object type, by (object, property, value).
  bool QueryDesired(uint32_t objectType, std::vector<StateCacheRecord>* records) const;

  // Copy for the operator CLI: at most `limit` records, ordered by (object type, object, property, value).
  // Returns the number of records the store holds.
  size_t CopyDesired(std::vector<StateCacheRecord>* out, size_t limit) const;

  // Logs the store, one line per record; returns the number of records.
  size_t DumpDesiredState() const;
  // Approximate heap bytes of the store (logged).
  size_t DesiredCacheSize() const;
  size_t DesiredCount() const;
  uint32_t FullSyncVersion() const;

  // True for the object types this table caches.
  static bool Caches(uint32_t objectType);

 private:
  // The numbers side by side, the object's id shared by its records and the value in one word: with the ordered
  // index's three links a node is 56 bytes (a 64-byte heap block), instead of two strings and a write-order list.
  struct Record {
    uint32_t objectType = 0;
    uint32_t propertyType = 0;
    // No index is keyed by it: a write sets it in place.
    mutable uint32_t fullSyncVersion = 0;
    bool list = false;  // a list element (removed with OP_REMOVE) rather than a scalar (OP_CLEAR)
    SharedObjectId objectId;
    CompactValue value;

    std::string_view ObjectId() const { return objectId.View(); }
    std::string_view Value() const { return value.View(); }
  };
  struct ByKey {};
  // The records of an object by hash of (type, id): a full sync's first entry of an object finds the object's
  // records without a descent through the whole store, whose lower levels are out of the cache in a large store.
  struct ByObject {};
  using Store = boost::multi_index_container<
      Record, boost::multi_index::indexed_by<
                  boost::multi_index::ordered_non_unique<
                      boost::multi_index::tag<ByKey>,
                      boost::multi_index::composite_key<
                          Record, boost::multi_index::member<Record, uint32_t, &Record::objectType>,
                          boost::multi_index::const_mem_fun<Record, std::string_view, &Record::ObjectId>,
                          boost::multi_index::member<Record, uint32_t, &Record::propertyType>,
                          boost::multi_index::const_mem_fun<Record, std::string_view, &Record::Value>>>,
                  boost::multi_index::hashed_non_unique<
                      boost::multi_index::tag<ByObject>,
                      boost::multi_index::composite_key<
                          Record, boost::multi_index::member<Record, uint32_t, &Record::objectType>,
                          boost::multi_index::const_mem_fun<Record, std::string_view, &Record::ObjectId>>,
                      boost::multi_index::composite_key_hash<std::hash<uint32_t>, std::hash<std::string_view>>>>>;
  using Registry = std::multimap<uint32_t, SCL3TableObserver*>;

  void Apply(const TolvarUpdateMsg& entry, bool fullSync, StateCacheChangeList& changes);
  void ApplyScalar(const TolvarUpdateMsg& entry, StateCacheChangeList& changes);
  void ApplyElement(const TolvarUpdateMsg& entry, StateCacheChangeList& changes);
  void Sweep(StateCacheChangeList& changes);
  using KeyIterator = Store::index<ByKey>::type::iterator;
  // The first record not below `key` (a prefix of the store's key). A full sync's entries come object by object,
  // each object's properties together: the place of an entry is most often right after the record last written,
  // which two compares with records just touched confirm, instead of a descent from the root.
  template <typename Key>
  KeyIterator LowerBound(const Key& key) {
    auto& byKey = _store.get<ByKey>();
    const auto& less = byKey.key_comp();
    const auto& extract = byKey.key_extractor();
    if (_cursorSet && IsLowerBound(byKey, _cursor, key)) return _cursor;
    // Otherwise from a record of the same object, a few steps at most.
    auto& byObject = _store.get<ByObject>();
    auto member = byObject.find(std::make_tuple(std::get<0>(key), std::get<1>(key)));
    if (member != byObject.end()) {
      KeyIterator at = _store.project<ByKey>(member);
      for (int step = 0; step < kObjectSteps; ++step) {
        if (at != byKey.end() && less(extract(*at), key)) {
          ++at;
        } else if (at != byKey.begin() && !less(extract(*std::prev(at)), key)) {
          --at;
        } else {
          return at;
        }
      }
    }
    return byKey.lower_bound(key);
  }
  static constexpr int kObjectSteps = 8;
  void SetCursor(KeyIterator next) {
    _cursor = next;
    _cursorSet = true;
  }
  static StateCacheChange Removal(const Record& record);
  static std::string ValueText(uint32_t objectType, uint32_t propertyType, bool list, std::string_view value);
  // The one record of (type, id, property): false when there is none or (logged with `duplicate`, LCP00919)
  // more than one; otherwise parsed into `out` (merged, so scalar records of one object can be combined).
  bool Single(uint32_t objectType, const std::string& objectId, uint32_t propertyType, const char* duplicate,
              google::protobuf::Message* out) const;
  // The one object of a type, whatever its id.
  bool OnlyObject(uint32_t objectType, const char* duplicate, google::protobuf::Message* out) const;
  // Single() into a message of its own type, handed to the caller only on success (`out` may be null).
  template <typename Msg>
  bool SingleMessage(uint32_t objectType, const std::string& objectId, uint32_t propertyType, const char* duplicate,
                     Msg* out) const {
    Msg found;
    if (!Single(objectType, objectId, propertyType, duplicate, &found)) return false;
    if (out) *out = std::move(found);
    return true;
  }
  template <typename Msg>
  bool OnlyMessage(uint32_t objectType, const char* duplicate, Msg* out) const {
    Msg found;
    if (!OnlyObject(objectType, duplicate, &found)) return false;
    if (out) *out = std::move(found);
    return true;
  }

  mutable std::recursive_mutex _mutex;
  std::recursive_mutex _notifyMutex;
  Store _store;
  // The record after the one last written by the current update (valid while `_cursorSet`).
  KeyIterator _cursor;
  bool _cursorSet = false;
  uint32_t _fullSyncVersion = 0;
  Registry _observers;
};

}  // namespace VevUroro
