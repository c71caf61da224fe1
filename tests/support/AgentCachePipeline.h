// The agent's desired-state path, in process, against a real tolvard: the Tolvar client (monitors, decoder,
// merge), the dispatcher and the state cache's three tables, wired as the agent wires them. For tests that compare
// what the tables hold after a stream of database transactions with what a fresh pipeline builds from a full sync.
//
// A marker probe is registered as component BFD (the last id, so it runs after the tables for each transaction):
// every transaction a test writes carries a BFD_GLOBAL_CONFIG object whose min_rx_interval is a running number, and
// WaitMarker returns once the tables have seen that transaction. With `mirrors`, observers registered on every
// type of every table replay the notifications into a mirror of each table: a mirror equals its table exactly when
// the notifications told the whole story of each change.
//
// Threads: the client's library threads, one dispatch thread of this object, the test thread for the rest.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "cache/StateCache.h"
#include "intake/MsgDispatcher.h"
#include "intake/TolvarClient.h"

namespace qor::test {

// One record as the comparison sees it (the full-sync version is left out: it counts syncs, not content).
using CacheRow = std::tuple<uint32_t, std::string, uint32_t, std::string>;  // type, id, property, value

struct CacheTables {
  std::vector<CacheRow> config;
  std::vector<CacheRow> l2;
  std::vector<CacheRow> l3;
};

// Empty when equal, otherwise the rows only in one or the other, per table (at most a few of each).
std::string CompareCacheTables(const CacheTables& expected, const CacheTables& actual, const std::string& expectedName,
                               const std::string& actualName);

class AgentCachePipeline {
 public:
  // Starts the client against `endpoint` ("tcp://127.0.0.1:PORT").
  AgentCachePipeline(const std::string& endpoint, bool mirrors);
  ~AgentCachePipeline();
  AgentCachePipeline(const AgentCachePipeline&) = delete;
  AgentCachePipeline& operator=(const AgentCachePipeline&) = delete;

  // True once a full sync has passed through every table.
  bool WaitFullSync(std::chrono::milliseconds bound = std::chrono::seconds(20));
  // True once the transaction carrying marker `marker` has passed through every table.
  bool WaitMarker(uint32_t marker, std::chrono::milliseconds bound = std::chrono::seconds(20));

  CacheTables Tables() const;
  // The tables as replayed from the notifications (empty without mirrors).
  CacheTables Mirrors() const;

  VevUroro::StateCache& Cache() { return _cache; }
  VevUroro::TolvarClient& Client() { return *_client; }

  // The marker object of transaction `marker`, to append to the transaction's requests.
  static zantix::qor::tolvar::ModifyRequestMsg MarkerRequest(uint32_t marker);

 private:
  class MarkerProbe;
  class Mirror;

  VevUroro::StateCache _cache;
  std::shared_ptr<VevUroro::UpdateQueue> _queue;
  qor::RefPtr<VevUroro::MsgDispatcher> _dispatcher;
  qor::RefPtr<MarkerProbe> _probe;
  std::unique_ptr<Mirror> _mirror;
  qor::RefPtr<VevUroro::TolvarClient> _client;
  std::thread _dispatchThread;
};

}  // namespace qor::test
