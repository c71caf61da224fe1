// Records and changes of the state cache tables, and the multi-index store the configuration table keeps them in.
//
// A record is one cached value: the object record (property 0) or one property (or one list element) of an
// object. The full-sync version says when the record was last written; a full sync removes every record it did
// not write. Plain values, copied freely.
#pragma once

#include <atomic>
#include <bit>
#include <boost/multi_index/composite_key.hpp>
#include <boost/multi_index/mem_fun.hpp>
#include <boost/multi_index/member.hpp>
#include <boost/multi_index/ordered_index.hpp>
#include <boost/multi_index_container.hpp>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <list>
#include <map>
#include <memory_resource>
#include <new>
#include <string>
#include <string_view>
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
struct ByTypeProperty {};
}  // namespace sc_index

// An object id shared by the records of one object (its properties): one block holding a reference count and the
// id's bytes, instead of a string per record. Copies share the block; the count is atomic, so copies may be made and
// dropped on any thread.
class SharedObjectId {
 public:
  SharedObjectId() = default;
  explicit SharedObjectId(std::string_view id)
      : _block(static_cast<Block*>(::operator new(sizeof(Block) + id.size()))) {
    new (_block) Block{{1}, static_cast<uint32_t>(id.size())};
    id.copy(Text(_block), id.size());
  }
  SharedObjectId(const SharedObjectId& other) noexcept : _block(other._block) {
    if (_block) _block->refs.fetch_add(1, std::memory_order_relaxed);
  }
  SharedObjectId(SharedObjectId&& other) noexcept : _block(std::exchange(other._block, nullptr)) {}
  SharedObjectId& operator=(SharedObjectId other) noexcept {
    std::swap(_block, other._block);
    return *this;
  }
  ~SharedObjectId() {
    if (_block && _block->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      _block->~Block();
      ::operator delete(_block);
    }
  }

  std::string_view View() const { return _block ? std::string_view(Text(_block), _block->size) : std::string_view(); }
  // Heap bytes of the block (counted once per holder).
  size_t Bytes() const { return _block ? sizeof(Block) + _block->size : 0; }

 private:
  struct Block {
    std::atomic<uint32_t> refs;
    uint32_t size;
  };
  static char* Text(Block* block) { return reinterpret_cast<char*>(block + 1); }

  Block* _block = nullptr;
};

// The id of `objectId` as an ordered index keyed by object id already holds it for another record of the object,
// or a new one. `at` is where a record of the object goes in that index (its lower bound): a neighbour of it.
template <typename Index>
SharedObjectId IdOf(const Index& index, typename Index::const_iterator at, std::string_view objectId) {
  if (at != index.end() && at->ObjectId() == objectId) return at->objectId;
  if (at != index.begin() && std::prev(at)->ObjectId() == objectId) return std::prev(at)->objectId;
  return SharedObjectId(objectId);
}

// Whether `at` is the lower bound of `key` (a prefix of the index's key) in an ordered index: two compares with its
// neighbours. A batch in the index's order goes right after the record last written, which this confirms without a
// descent from the root.
template <typename Index, typename Key>
bool IsLowerBound(const Index& index, typename Index::const_iterator at, const Key& key) {
  const auto& less = index.key_comp();
  const auto& keyOf = index.key_extractor();
  return (at == index.begin() || less(keyOf(*std::prev(at)), key)) && (at == index.end() || !less(keyOf(*at), key));
}

// A record's value in one word: up to seven bytes inline (the low bit of the first byte set, the length in the
// rest of it), longer values in one heap block holding their length and bytes (a std::string would take 32 bytes in
// the node, plus a block of its own for any value over 15 bytes).
class CompactValue {
 public:
  CompactValue() noexcept { SetInline(std::string_view()); }
  explicit CompactValue(std::string_view value) { Set(value); }
  CompactValue(const CompactValue& other) : CompactValue(other.View()) {}
  CompactValue(CompactValue&& other) noexcept : _word(std::exchange(other._word, kEmpty)) {}
  CompactValue& operator=(const CompactValue& other) {
    if (this != &other) Assign(other.View());
    return *this;
  }
  CompactValue& operator=(CompactValue&& other) noexcept {
    std::swap(_word, other._word);
    return *this;
  }
  ~CompactValue() { Free(); }

  void Assign(std::string_view value) {
    // A new value of about the old one's length (a property changed in place) reuses its block: no allocation.
    if (!IsInline() && value.size() > kInlineBytes && value.size() <= AsBlock()->size &&
        AsBlock()->size - value.size() < kReuseSlack) {
      auto* block = reinterpret_cast<Block*>(_word);
      std::memmove(reinterpret_cast<char*>(block + 1), value.data(), value.size());  // may overlap its own bytes
      block->size = static_cast<uint32_t>(value.size());
      return;
    }
    CompactValue fresh(value);  // `value` may view this value's own bytes
    std::swap(_word, fresh._word);
  }
  std::string_view View() const {
    if (IsInline()) {
      return std::string_view(reinterpret_cast<const char*>(&_word) + 1, static_cast<unsigned char>(_word) >> 1);
    }
    const Block* block = AsBlock();
    return std::string_view(reinterpret_cast<const char*>(block + 1), block->size);
  }
  bool empty() const { return View().empty(); }
  operator std::string() const { return std::string(View()); }
  bool operator==(std::string_view other) const { return View() == other; }
  // Heap bytes held (none for an inline value).
  size_t Bytes() const { return IsInline() ? 0 : sizeof(Block) + AsBlock()->size; }

 private:
  struct Block {
    uint32_t size;
  };
  static constexpr size_t kInlineBytes = sizeof(uintptr_t) - 1;
  static constexpr size_t kReuseSlack = 16;
  static constexpr uintptr_t kEmpty = 1;  // inline, length 0
  static_assert(alignof(Block) > 1 && __STDCPP_DEFAULT_NEW_ALIGNMENT__ > 1, "a block's address has its low bit clear");

  bool IsInline() const { return (_word & 1) != 0; }
  const Block* AsBlock() const { return reinterpret_cast<const Block*>(_word); }
  void SetInline(std::string_view value) {
    _word = 0;
    auto* bytes = reinterpret_cast<unsigned char*>(&_word);
    bytes[0] = static_cast<unsigned char>(value.size() << 1 | 1);
    value.copy(reinterpret_cast<char*>(bytes + 1), value.size());
  }
  void Set(std::string_view value) {
    static_assert(std::endian::native == std::endian::little, "the inline tag is the word's lowest byte");
    if (value.size() <= kInlineBytes) {
      SetInline(value);
      return;
    }
    auto* block = static_cast<Block*>(::operator new(sizeof(Block) + value.size()));
    block->size = static_cast<uint32_t>(value.size());
    value.copy(reinterpret_cast<char*>(block + 1), value.size());
    _word = reinterpret_cast<uintptr_t>(block);
  }
  void Free() {
    if (!IsInline()) ::operator delete(reinterpret_cast<Block*>(_word));
  }

  uintptr_t _word = kEmpty;
};

// A record as the configuration table stores it: the numbers side by side, the object's shared id and the compact
// value, so that a node of the store's two indexes is 80 bytes, an allocator size class. `addition` is the store's
// count of additions when the record was added: it orders the records of a type by their addition.
struct ConfigRecord {
  uint32_t objectType = 0;
  uint32_t propertyType = 0;
  uint32_t fullSyncVersion = 0;
  uint32_t addition = 0;
  SharedObjectId objectId;
  CompactValue value;

  std::string_view ObjectId() const { return objectId.View(); }
  operator StateCacheRecord() const {
    return StateCacheRecord{objectType, std::string(ObjectId()), propertyType, value, fullSyncVersion};
  }
};

// Unique by (object id, property type, object type): the object type is part of the key because two types may
// share an id (VIF_STATE and HOPLIFT_STATUS are both keyed by the VIF id). Lookups by object id alone, or by
// (object id, property type), use the key's prefix. Every index costs three pointers per record: a full sync's
// sweep of stale records scans the store instead of keeping a version index, and the records of one type are found
// through the prefix of the (type, property, addition) index rather than by an index of their own. That index is
// unique: a record's place in it does not depend on where an insertion was hinted, so the id index's hints are
// safe to pass (ByTypeProperty keeps the records of a type and property in the order they were added, which
// queries and the operator CLI's cut dumps show).
using ConfigRecordStore = boost::multi_index_container<
    ConfigRecord,
    boost::multi_index::indexed_by<
        boost::multi_index::ordered_unique<
            boost::multi_index::tag<sc_index::ByIdProperty>,
            boost::multi_index::composite_key<
                ConfigRecord,
                boost::multi_index::const_mem_fun<ConfigRecord, std::string_view, &ConfigRecord::ObjectId>,
                boost::multi_index::member<ConfigRecord, uint32_t, &ConfigRecord::propertyType>,
                boost::multi_index::member<ConfigRecord, uint32_t, &ConfigRecord::objectType>>>,
        boost::multi_index::ordered_unique<
            boost::multi_index::tag<sc_index::ByTypeProperty>,
            boost::multi_index::composite_key<
                ConfigRecord, boost::multi_index::member<ConfigRecord, uint32_t, &ConfigRecord::objectType>,
                boost::multi_index::member<ConfigRecord, uint32_t, &ConfigRecord::propertyType>,
                boost::multi_index::member<ConfigRecord, uint32_t, &ConfigRecord::addition>>>>>;

// Approximate heap bytes of one record in a store with `indexes` ordered indexes.
inline size_t RecordBytes(const StateCacheRecord& record, size_t indexes) {
  return sizeof(StateCacheRecord) + indexes * 3 * sizeof(void*) + record.objectId.capacity() + record.value.capacity();
}
inline size_t RecordBytes(const ConfigRecord& record, size_t indexes) {
  return sizeof(ConfigRecord) + indexes * 3 * sizeof(void*) + record.objectId.Bytes() + record.value.Bytes();
}

}  // namespace VevUroro
