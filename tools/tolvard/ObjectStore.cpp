#include "tools/tolvard/ObjectStore.h"

#include <algorithm>

namespace qor::tolvar {

ObjectStore::~ObjectStore() {
  sqlite3_finalize(_put);
  sqlite3_finalize(_delete);
  if (_db) sqlite3_close(_db);
}

int ObjectStore::WalHook(void* store, sqlite3* /*db*/, const char* /*name*/, int pages) {
  static_cast<ObjectStore*>(store)->_walPages = pages;
  return SQLITE_OK;
}

bool ObjectStore::Checkpoint(std::string* error) {
  int logPages = 0;
  int copied = 0;
  if (sqlite3_wal_checkpoint_v2(_db, nullptr, SQLITE_CHECKPOINT_PASSIVE, &logPages, &copied) != SQLITE_OK) {
    *error = std::string("checkpoint: ") + sqlite3_errmsg(_db);
    return false;
  }
  // The next commit starts the log over once every page of it is in the database file.
  _walPages = logPages - copied;
  return true;
}

bool ObjectStore::Exec(const char* sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(_db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    *error = std::string(sql) + ": " + (message ? message : sqlite3_errmsg(_db));
    sqlite3_free(message);
    return false;
  }
  return true;
}

bool ObjectStore::Open(const std::string& path, std::string* error) {
  if (sqlite3_open_v2(path.c_str(), &_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK) {
    *error = "cannot open " + path + ": " + (_db ? sqlite3_errmsg(_db) : "out of memory");
    return false;
  }
  // WAL with a full sync on every commit: an acknowledged transaction survives a killed server.
  if (!Exec("PRAGMA journal_mode=WAL", error) || !Exec("PRAGMA synchronous=FULL", error) ||
      !Exec("CREATE TABLE IF NOT EXISTS objects (vdb INTEGER NOT NULL, type INTEGER NOT NULL, id BLOB NOT NULL, "
            "body BLOB NOT NULL, PRIMARY KEY (vdb, type, id)) WITHOUT ROWID",
            error)) {
    return false;
  }
  // Replaces SQLite's own checkpoint after every commit that leaves the log long (see Checkpoint).
  sqlite3_wal_hook(_db, &ObjectStore::WalHook, this);
  if (sqlite3_prepare_v2(_db, "INSERT OR REPLACE INTO objects (vdb, type, id, body) VALUES (?, ?, ?, ?)", -1, &_put,
                         nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(_db, "DELETE FROM objects WHERE vdb = ? AND type = ? AND id = ?", -1, &_delete, nullptr) !=
          SQLITE_OK) {
    *error = std::string("prepare: ") + sqlite3_errmsg(_db);
    return false;
  }
  sqlite3_stmt* select = nullptr;
  if (sqlite3_prepare_v2(_db, "SELECT vdb, type, id, body FROM objects", -1, &select, nullptr) != SQLITE_OK) {
    *error = std::string("prepare: ") + sqlite3_errmsg(_db);
    return false;
  }
  int rc;
  while ((rc = sqlite3_step(select)) == SQLITE_ROW) {
    ObjectKey key;
    key.vdb = static_cast<uint32_t>(sqlite3_column_int64(select, 0));
    key.type = static_cast<uint32_t>(sqlite3_column_int64(select, 1));
    const void* id = sqlite3_column_blob(select, 2);
    key.id.assign(static_cast<const char*>(id ? id : ""), static_cast<size_t>(sqlite3_column_bytes(select, 2)));
    const void* body = sqlite3_column_blob(select, 3);
    _objects[std::move(key)] = std::make_shared<const std::string>(
        static_cast<const char*>(body ? body : ""), static_cast<size_t>(sqlite3_column_bytes(select, 3)));
  }
  sqlite3_finalize(select);
  if (rc != SQLITE_DONE) {
    *error = std::string("load: ") + sqlite3_errmsg(_db);
    return false;
  }
  return true;
}

const std::string* ObjectStore::Find(const ObjectKey& key) const {
  auto it = _objects.find(key);
  return it == _objects.end() ? nullptr : it->second.get();
}

std::pair<ObjectStore::Map::const_iterator, ObjectStore::Map::const_iterator> ObjectStore::Range(uint32_t vdb,
                                                                                                 uint32_t type) const {
  auto begin = _objects.lower_bound(ObjectKey{vdb, type, std::string()});
  auto end = begin;
  while (end != _objects.end() && end->first.vdb == vdb && end->first.type == type) ++end;
  return {begin, end};
}

void ObjectStore::Stage(const std::vector<ObjectChange>& changes) {
  for (const ObjectChange& change : changes) {
    Staged staged{change.key, nullptr, nullptr};
    auto it = _objects.find(change.key);
    if (it != _objects.end()) staged.before = it->second;
    if (change.newBody) {
      staged.after = std::make_shared<const std::string>(*change.newBody);
      if (it != _objects.end()) {
        it->second = staged.after;
      } else {
        _objects.emplace(change.key, staged.after);
      }
    } else if (it != _objects.end()) {
      _objects.erase(it);
    }
    _staged.push_back(std::move(staged));
  }
}

bool ObjectStore::CommitStaged(std::string* error) {
  if (_staged.empty()) return true;
  bool written = Write(error);
  if (!written) {
    // Undo in reverse order: a key staged twice gets back what it held before the first.
    for (auto it = _staged.rbegin(); it != _staged.rend(); ++it) {
      if (it->before) {
        _objects[it->key] = it->before;
      } else {
        _objects.erase(it->key);
      }
    }
  }
  _staged.clear();
  return written;
}

bool ObjectStore::Commit(const std::vector<ObjectChange>& changes, std::string* error) {
  Stage(changes);
  return CommitStaged(error);
}

bool ObjectStore::Write(std::string* error) {
  if (!Exec("BEGIN IMMEDIATE", error)) return false;
  // Written in key order: a large group (a file loaded at once) then fills the table's pages one after another
  // instead of touching them all over again, which made SQLite spill and re-read its cache many times over. The
  // sort is stable, so a key staged twice still gets its last body.
  std::vector<const Staged*> ordered;
  ordered.reserve(_staged.size());
  for (const Staged& change : _staged) ordered.push_back(&change);
  std::stable_sort(ordered.begin(), ordered.end(), [](const Staged* a, const Staged* b) { return a->key < b->key; });
  for (const Staged* staged : ordered) {
    const Staged& change = *staged;
    sqlite3_stmt* stmt = change.after ? _put : _delete;
    sqlite3_reset(stmt);
    sqlite3_bind_int64(stmt, 1, change.key.vdb);
    sqlite3_bind_int64(stmt, 2, change.key.type);
    sqlite3_bind_blob(stmt, 3, change.key.id.data(), static_cast<int>(change.key.id.size()), SQLITE_STATIC);
    if (change.after) {
      sqlite3_bind_blob(stmt, 4, change.after->data(), static_cast<int>(change.after->size()), SQLITE_STATIC);
    }
    if (sqlite3_step(stmt) != SQLITE_DONE) {
      *error = std::string("write: ") + sqlite3_errmsg(_db);
      sqlite3_reset(stmt);
      std::string ignored;
      Exec("ROLLBACK", &ignored);
      return false;
    }
    sqlite3_reset(stmt);
  }
  if (!Exec("COMMIT", error)) {
    std::string ignored;
    Exec("ROLLBACK", &ignored);
    return false;
  }
  return true;
}

}  // namespace qor::tolvar
