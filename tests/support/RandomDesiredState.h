// Random database transactions over the desired-state types the state cache holds, for differential tests.
//
// RandomDesiredState makes one transaction at a time from what the database holds now: puts of new and changed
// objects, property patches (set, clear), list element appends (new keys, and existing keys with new content)
// and removes, deletes, delete-and-re-create of one object in the same transaction, flushes of a type, several
// objects and types per transaction, and now and then a request tolvard must refuse (a list holding one key twice,
// a patch of a missing object), which must change nothing. Values come from small domains so that keys collide,
// values repeat and changes cancel.
//
// DatabaseView follows those types with a monitor of its own and holds what the database holds, for the generator.
//
// Not thread-safe; DatabaseView's callbacks run on its client's thread and take its lock.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "platform/tolvar/TolvarDbClient.h"
#include "zantix/qor/tolvar/monitor.pb.h"

namespace qor::test {

// (object type, id bytes) -> body, of vdb 1.
using DatabaseObjects = std::map<std::pair<uint32_t, std::string>, std::string>;

class RandomDesiredState {
 public:
  // The object types the transactions write.
  static const std::vector<uint32_t>& Types();

  // The requests of the next transaction; `text` receives a readable summary of them.
  std::vector<zantix::qor::tolvar::ModifyRequestMsg> Next(std::mt19937_64& rng, const DatabaseObjects& database,
                                                          std::string* text);
};

class DatabaseView {
 public:
  // Monitors `types` and the marker object (AgentCachePipeline::MarkerRequest) on vdb 1 of `endpoint`.
  DatabaseView(const std::string& endpoint, const std::vector<uint32_t>& types);
  ~DatabaseView();

  // True once the view holds the transaction carrying marker `marker`.
  bool WaitMarker(uint32_t marker, std::chrono::milliseconds bound = std::chrono::seconds(20));
  DatabaseObjects Objects();
  qor::tolvar::TolvarDbClient& Client() { return *_client; }

 private:
  std::unique_ptr<qor::tolvar::TolvarDbClient> _client;
  std::mutex _mutex;
  DatabaseObjects _objects;
  uint32_t _marker = 0;
};

}  // namespace qor::test
