// Records and changes of the state cache tables, and the multi-index store the configuration table keeps them in.
//
// A record is one cached value: the object record (property 0) or one property (or one list element) of an
// object. The full-sync version says when the record was last written; a full sync removes every record it did
// not write. Plain values, copied freely.
#pragma once

#include <boost/multi_index/composite_key.hpp>
#include <boost/multi_index/member.hpp>
#include <boost/multi_index/ordered_index.hpp>
#include <boost/multi_index_container.hpp>
#include <cstdint>
#include <iterator>
#include <list>
#include <map>
#include <memory_resource>
#include <string>
#include <utility>
#include <vector>

#include "core/TolvarUpdateMsg.h"

namespace VevUroro {

struct StateCacheRecord {
  uint32_t objectType = 0;
  std::string objectId;  // serialized UuidMsg, or the id text of a text-keyed type
  uint32_t propertyType = 0;
  std::string value;  // serialized single-property object, whole object, or list element
  uint32_t fullSyncVersion = 0;
};

// One effective change of a table, as observers receive it: the entry (its operation OP_SET/OP_INSERT for an add
// or update, OP_CLEAR/OP_REMOVE for a removal; for a removal the value is the removed value) and the value the
// record held before, when there was one.
struct StateCacheChange {
  TolvarUpdateMsg entry;
  std::string oldValue;
  bool hasOld = false;

  bool IsRemoval() const {
    return entry.operation == TolvarUpdateMsg::OP_CLEAR || entry.operation == TolvarUpdateMsg::OP_REMOVE;
  }
};
// A table may take one update's change nodes from a memory resource of its own (the lists built from them share
// it); a copy of a list uses the default heap.
using StateCacheChangeList = std::pmr::list<StateCacheChange>;

// Accepts every change: the observers of the tables that do not select.
struct ReadsEveryChange {
  template <typename Observer>
  bool operator()(Observer*, const StateCacheChange&) const {
    return true;
  }
};

// Splits `changes` into one list per observer registered (by object type) for them, each in change order, the
// observers in the order they first have a change of their types. With `all` (a full sync, the first update) every
// registered observer gets a list, possibly empty, so that it learns of the sync. `reads(observer, change)` selects
// the changes an observer's list holds; an observer whose types changed gets its list even when it reads none of
// them, so it is told of the same updates either way. The changes are consumed: each one's node moves to the last
// observer that reads it and only the others get copies (a change nobody reads stays in `changes`), so a full sync's
// changes are not held twice (a whole host's copies, freed after the notification, would leave the heap fragmented
// around the records kept).
template <typename Observer, typename Reads = ReadsEveryChange>
std::vector<std::pair<Observer*, StateCacheChangeList>> SplitByObserver(
    const std::multimap<uint32_t, Observer*>& registry, StateCacheChangeList&& changes, bool all,
    Reads reads = Reads()) {
  std::vector<std::pair<Observer*, StateCacheChangeList>> lists;
  auto listOf = [&lists, &changes](Observer* observer) -> StateCacheChangeList& {
    for (auto& item : lists) {
      if (item.first == observer) return item.second;
    }
    lists.emplace_back(observer, StateCacheChangeList(changes.get_allocator()));
    return lists.back().second;
  };
  if (all) {
    for (const auto& entry : registry) listOf(entry.second);
  }
  for (auto change = changes.begin(); change != changes.end();) {
    auto next = std::next(change);
    auto range = registry.equal_range(static_cast<uint32_t>(change->entry.objectType));
    Observer* lastReader = nullptr;
    for (auto it = range.first; it != range.second; ++it) {
      listOf(it->second);
      if (!reads(it->second, std::as_const(*change))) continue;
      if (lastReader) listOf(lastReader).push_back(*change);
      lastReader = it->second;
    }
    if (lastReader) {
      StateCacheChangeList& list = listOf(lastReader);
      list.splice(list.end(), changes, change);
    }
    change = next;
  }
  return lists;
}

namespace sc_index {
struct ByIdProperty {};
struct ByType {};
struct ByTypeProperty {};
}  // namespace sc_index

// Unique by (object id, property type, object type): the object type is part of the key because two types may
// share an id (VIF_STATE and HOPLIFT_STATUS are both keyed by the VIF id). Lookups by object id alone, or by
// (object id, property type), use the key's prefix. Every index costs three pointers per record: a full sync's
// sweep of stale records scans the store instead of keeping a version index. (ByType keeps the records of a type
// in the order they were added, which the operator CLI's cut dumps show.)
using ConfigRecordStore = boost::multi_index_container<
    StateCacheRecord,
    boost::multi_index::indexed_by<
        boost::multi_index::ordered_unique<
            boost::multi_index::tag<sc_index::ByIdProperty>,
            boost::multi_index::composite_key<
                StateCacheRecord,
                boost::multi_index::member<StateCacheRecord, std::string, &StateCacheRecord::objectId>,
                boost::multi_index::member<StateCacheRecord, uint32_t, &StateCacheRecord::propertyType>,
                boost::multi_index::member<StateCacheRecord, uint32_t, &StateCacheRecord::objectType>>>,
        boost::multi_index::ordered_non_unique<
            boost::multi_index::tag<sc_index::ByType>,
            boost::multi_index::member<StateCacheRecord, uint32_t, &StateCacheRecord::objectType>>,
        boost::multi_index::ordered_non_unique<
            boost::multi_index::tag<sc_index::ByTypeProperty>,
            boost::multi_index::composite_key<
                StateCacheRecord, boost::multi_index::member<StateCacheRecord, uint32_t, &StateCacheRecord::objectType>,
                boost::multi_index::member<StateCacheRecord, uint32_t, &StateCacheRecord::propertyType>>>>>;

// Approximate heap bytes of one record in a store with `indexes` ordered indexes.
inline size_t RecordBytes(const StateCacheRecord& record, size_t indexes) {
  return sizeof(StateCacheRecord) + indexes * 3 * sizeof(void*) + record.objectId.capacity() + record.value.capacity();
}

}  // namespace VevUroro
