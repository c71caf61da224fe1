// The committed objects of tolvard: an SQLite file (WAL, synchronous=FULL) and an in-memory copy of it.
//
// Objects are keyed by (vdb, object type, id bytes) and stored as their serialized bodies. Transactions are written
// in groups: Stage applies a transaction's changes to the memory copy at once (so that the next transaction of the
// group is checked against it) and remembers them; CommitStaged writes every staged change in one SQLite
// transaction (one sync to disk for the whole group), or, when the file cannot be written, undoes them in memory.
// Between the two, the memory copy is read only to check the group's next transactions: the caller commits the
// group before anything else reads it, so nothing durable-looking is ever shown that the file does not hold.
// A body in memory is never changed, only replaced: whoever keeps its shared pointer (a snapshot being sent) keeps
// that version.
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

  // Applies `changes` to memory and keeps them for the next CommitStaged.
  void Stage(const std::vector<ObjectChange>& changes);
  // Makes every staged change durable (one SQLite transaction). False, with the staged changes undone in memory,
  // when the file cannot be written.
  bool CommitStaged(std::string* error);
  bool HasStaged() const { return !_staged.empty(); }
  // Stage and CommitStaged of one transaction.
  bool Commit(const std::vector<ObjectChange>& changes, std::string* error);

  // Copying the write-ahead log into the database file is left to the owner, to be done after a commit's answers
  // and updates are on their way rather than inside the commit (a large transaction's copy and sync would hold
  // them back). Due once the log holds kCheckpointPages pages; the log keeps growing until Checkpoint runs (and
  // closing the store copies what is left). A failed copy loses nothing: the log still holds every commit.
  static constexpr int kCheckpointPages = 1000;
  bool CheckpointDue() const { return _walPages >= kCheckpointPages; }
  bool Checkpoint(std::string* error);

 private:
  bool Exec(const char* sql, std::string* error);
  bool Write(std::string* error);
  static int WalHook(void* store, sqlite3* db, const char* name, int pages);

  // A staged change: what the key held before it (to undo) and what it holds now (to write).
  struct Staged {
    ObjectKey key;
    Body before;
    Body after;
  };

  sqlite3* _db = nullptr;
  sqlite3_stmt* _put = nullptr;
  sqlite3_stmt* _delete = nullptr;
  Map _objects;
  std::vector<Staged> _staged;
  int _walPages = 0;  // pages in the write-ahead log after the last commit
};

}  // namespace qor::tolvar
