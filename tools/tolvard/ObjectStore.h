// The committed objects of tolvard: an SQLite file (WAL, synchronous=FULL) and an in-memory copy of it.
//
// Objects are keyed by (vdb, object type, id bytes) and stored as their serialized bodies. Commit writes one
// SQLite transaction and only then changes the memory copy, so memory never holds what the file does not. A body
// in memory is never changed, only replaced: whoever keeps its shared pointer (a snapshot being sent) keeps that
// version.
// Used by the server's single thread; not thread-safe.
#pragma once

#include <sqlite3.h>

#include <compare>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qor::tolvar {

struct ObjectKey {
  uint32_t vdb = 0;
  uint32_t type = 0;
  std::string id;
  auto operator<=>(const ObjectKey&) const = default;
};

// One object change of a transaction: absent old body = created, absent new body = removed.
struct ObjectChange {
  ObjectKey key;
  std::optional<std::string> oldBody;
  std::optional<std::string> newBody;
};

class ObjectStore {
 public:
  using Body = std::shared_ptr<const std::string>;
  using Map = std::map<ObjectKey, Body>;

  ObjectStore() = default;
  ~ObjectStore();
  ObjectStore(const ObjectStore&) = delete;
  ObjectStore& operator=(const ObjectStore&) = delete;

  // Opens (creating when missing) the database file and loads every object. False with `error` set on failure.
  bool Open(const std::string& path, std::string* error);

  const Map& Objects() const { return _objects; }
  const std::string* Find(const ObjectKey& key) const;
  // Iterators over all objects of (vdb, type).
  std::pair<Map::const_iterator, Map::const_iterator> Range(uint32_t vdb, uint32_t type) const;

  // Makes `changes` durable (one SQLite transaction) and applies them to memory. False, with nothing changed,
  // when the file cannot be written.
  bool Commit(const std::vector<ObjectChange>& changes, std::string* error);

 private:
  bool Exec(const char* sql, std::string* error);

  sqlite3* _db = nullptr;
  sqlite3_stmt* _put = nullptr;
  sqlite3_stmt* _delete = nullptr;
  Map _objects;
};

}  // namespace qor::tolvar
