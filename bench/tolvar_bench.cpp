// tolvard speed: delivery of a monitor's initial state (100,000 FIB elements; 10,000 ports) and transaction
// throughput (each transaction durable before it is acknowledged), measured against the real server.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <atomic>
#include <filesystem>
#include <fstream>

#include "platform/LibraryLogLevels.h"
#include "platform/tolvar/TolvarDbClient.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempRoot.h"
#include "tests/support/Wait.h"
#include "zantix/qor/tolvar/config.pb.h"
#include "zantix/qor/tolvar/l2.pb.h"

namespace {

namespace tv = zantix::qor::tolvar;
using qor::tolvar::TolvarDbClient;

class Server {
 public:
  Server() {
    std::string portFile = _root.Path() + "/port";
    _process = std::make_unique<qor::test::ChildProcess>(
        std::vector<std::string>{TOLVARD_PATH, "--listen", "tcp:127.0.0.1:0", "--db", _root.Path() + "/db",
                                 "--port-file", portFile},
        _root.Path() + "/out");
    qor::test::WaitFor([&] { return std::filesystem::exists(portFile); });
    int port = 0;
    std::ifstream(portFile) >> port;
    _endpoint = "tcp://127.0.0.1:" + std::to_string(port);
  }
  std::unique_ptr<TolvarDbClient> Client() {
    auto client = std::make_unique<TolvarDbClient>("bench", _endpoint, nullptr, nullptr, true, true, false);
    return client;
  }

 private:
  qor::test::TempRoot _root;
  std::unique_ptr<qor::test::ChildProcess> _process;
  std::string _endpoint;
};

tv::ModifyRequestMsg Put(uint32_t type, const google::protobuf::Message& object) {
  tv::ModifyRequestMsg request;
  request.mutable_modify()->mutable_put()->mutable_object()->set_object_type(static_cast<tv::ObjectType>(type));
  request.mutable_modify()->mutable_put()->mutable_object()->set_object_body(object.SerializeAsString());
  return request;
}

tv::LogSwitchPortConfigMsg Port(uint64_t i) {
  tv::LogSwitchPortConfigMsg port;
  port.mutable_id()->set_high(7);
  port.mutable_id()->set_low(i);
  port.mutable_switch_id()->set_low(1);
  port.mutable_attachment()->set_vif_id("vif-" + std::to_string(i));
  port.set_admin_state_up(true);
  return port;
}

// A monitor of `type` from a fresh connection, until its initial barrier; returns the updates seen.
size_t Snapshot(Server& server, uint32_t type) {
  auto client = server.Client();
  std::atomic<size_t> updates{0};
  std::atomic<bool> barrier{false};
  client->RegisterCallbacks(
      1, [&](const tv::MonitorUpdateMsg&) { ++updates; }, [&] { barrier = true; }, 1);
  tv::MonitorStatementMsg statement;
  statement.mutable_statement()->set_object_type(static_cast<tv::ObjectType>(type));
  client->ConfigureMonitors({statement}, {}, 1, 1);
  client->StartAsync();
  qor::test::WaitFor([&] { return barrier.load(); }, std::chrono::minutes(5));
  return updates;
}

void BM_SnapshotFib100kElements(benchmark::State& state) {
  qor::tolvar::library_log_level = 2;
  Server server;
  auto writer = server.Client();
  writer->StartAsync();
  std::vector<tv::ModifyRequestMsg> requests;
  for (uint64_t i = 0; i < 1000; ++i) {
    tv::LogSwitchFibMsg fib;
    fib.mutable_id()->set_low(i + 1);
    for (uint32_t j = 0; j < 100; ++j) {
      tv::VtepMsg* vtep = fib.add_vteps();
      vtep->mutable_ip()->set_ipv4(0x0a000000 + j);
      vtep->set_label(j);
    }
    requests.push_back(Put(tv::LOG_SWITCH_FIB, fib));
  }
  writer->Modify(requests);
  for (auto _ : state) benchmark::DoNotOptimize(Snapshot(server, tv::LOG_SWITCH_FIB));
  state.SetItemsProcessed(state.iterations() * 100000);  // elements
}
BENCHMARK(BM_SnapshotFib100kElements)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SnapshotPorts10k(benchmark::State& state) {
  qor::tolvar::library_log_level = 2;
  Server server;
  auto writer = server.Client();
  writer->StartAsync();
  std::vector<tv::ModifyRequestMsg> requests;
  for (uint64_t i = 0; i < 10000; ++i) requests.push_back(Put(tv::LOG_SWITCH_PORT_CONFIG, Port(i)));
  writer->Modify(requests);
  for (auto _ : state) benchmark::DoNotOptimize(Snapshot(server, tv::LOG_SWITCH_PORT_CONFIG));
  state.SetItemsProcessed(state.iterations() * 10000);
}
BENCHMARK(BM_SnapshotPorts10k)->Unit(benchmark::kMillisecond)->UseRealTime();

// One transaction of `range(0)` port puts per iteration, acknowledged after the commit, with one monitor
// receiving every transaction.
void BM_Transactions(benchmark::State& state) {
  qor::tolvar::library_log_level = 2;
  Server server;
  auto watcher = server.Client();
  std::atomic<size_t> barriers{0};
  watcher->RegisterCallbacks(
      1, [](const tv::MonitorUpdateMsg&) {}, [&] { ++barriers; }, 1);
  tv::MonitorStatementMsg statement;
  statement.mutable_statement()->set_object_type(tv::LOG_SWITCH_PORT_CONFIG);
  watcher->ConfigureMonitors({statement}, {}, 1, 1);
  watcher->StartAsync();
  auto writer = server.Client();
  writer->StartAsync();
  uint64_t next = 0;
  for (auto _ : state) {
    std::vector<tv::ModifyRequestMsg> requests;
    for (int64_t i = 0; i < state.range(0); ++i) requests.push_back(Put(tv::LOG_SWITCH_PORT_CONFIG, Port(next++)));
    if (!writer->Modify(requests).ok()) state.SkipWithError("modify failed");
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.counters["transactions/s"] = benchmark::Counter(state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Transactions)->Arg(1)->Arg(100)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

// A port as the desired state carries it (attachment, QoS, extra configs: about 400 bytes).
tv::LogSwitchPortConfigMsg FullPort(uint64_t i, uint32_t cos) {
  tv::LogSwitchPortConfigMsg port = Port(i);
  port.mutable_qos()->set_cos(cos);
  auto* shaper = port.mutable_qos()->add_shapers();
  shaper->set_type(1);
  shaper->set_average_bandwidth(100);
  shaper->set_peak_bandwidth(200);
  for (int k = 0; k < 6; ++k) {
    auto* config = port.mutable_extra_configs()->add_configs();
    config->set_key("key-" + std::to_string(k));
    config->set_value("value-" + std::to_string(i) + "-" + std::to_string(k) + std::string(24, 'v'));
  }
  return port;
}

// One-change transactions against a database of `range(0)` ports, one after the other, each acknowledged after
// its commit, with a monitor of the ports receiving every change; each change goes to the next port of a rotation
// through all of them (as a controller's changes spread over a host). Its floor is BM_SqliteOneRowCommit.
void BM_OneChangeCommits(benchmark::State& state) {
  qor::tolvar::library_log_level = 2;
  const uint64_t ports = static_cast<uint64_t>(state.range(0));
  Server server;
  auto writer = server.Client();
  writer->StartAsync();
  for (uint64_t first = 0; first < ports; first += 5000) {
    std::vector<tv::ModifyRequestMsg> requests;
    for (uint64_t i = first; i < std::min(ports, first + 5000); ++i)
      requests.push_back(Put(tv::LOG_SWITCH_PORT_CONFIG, FullPort(i, 0)));
    writer->Modify(requests);
  }
  auto watcher = server.Client();
  std::atomic<size_t> updates{0};
  std::atomic<size_t> barriers{0};
  watcher->RegisterCallbacks(
      1, [&](const tv::MonitorUpdateMsg&) { ++updates; }, [&] { ++barriers; }, 1);
  tv::MonitorStatementMsg statement;
  statement.mutable_statement()->set_object_type(tv::LOG_SWITCH_PORT_CONFIG);
  watcher->ConfigureMonitors({statement}, {}, 1, 1);
  watcher->StartAsync();
  qor::test::WaitFor([&] { return barriers.load() > 0; }, std::chrono::minutes(2));
  const size_t initial = updates.load();
  uint64_t next = 0;
  uint32_t cos = 1;
  for (auto _ : state) {
    uint64_t i = (next++ * 7919) % ports;
    if (i == 0) cos = cos % 7 + 1;
    writer->Modify({Put(tv::LOG_SWITCH_PORT_CONFIG, FullPort(i, cos))});
  }
  qor::test::WaitFor([&] { return updates.load() >= initial + next; }, std::chrono::minutes(2));
  state.SetItemsProcessed(static_cast<int64_t>(next));
}
BENCHMARK(BM_OneChangeCommits)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(30000)
    ->Iterations(2000)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

// The floor of a one-change commit: SQLite itself writing one row of the same size into a table of `range(0)`
// rows with tolvard's settings (WAL, synchronous=FULL), same rotation.
void BM_SqliteOneRowCommit(benchmark::State& state) {
  const uint64_t rows = static_cast<uint64_t>(state.range(0));
  qor::test::TempRoot root;
  sqlite3* db = nullptr;
  sqlite3_open((root.Path() + "/floor.db").c_str(), &db);
  sqlite3_exec(
      db,
      "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; CREATE TABLE objects (vdb INTEGER NOT NULL, "
      "type INTEGER NOT NULL, id BLOB NOT NULL, body BLOB NOT NULL, PRIMARY KEY (vdb, type, id)) WITHOUT ROWID",
      nullptr, nullptr, nullptr);
  sqlite3_stmt* put = nullptr;
  sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO objects (vdb, type, id, body) VALUES (1, 102, ?, ?)", -1, &put,
                     nullptr);
  auto write = [&](uint64_t i, uint32_t cos) {
    tv::LogSwitchPortConfigMsg port = FullPort(i, cos);
    std::string id = port.id().SerializeAsString();
    std::string body = port.SerializeAsString();
    sqlite3_bind_blob(put, 1, id.data(), static_cast<int>(id.size()), SQLITE_TRANSIENT);
    sqlite3_bind_blob(put, 2, body.data(), static_cast<int>(body.size()), SQLITE_TRANSIENT);
    sqlite3_step(put);
    sqlite3_reset(put);
  };
  for (uint64_t first = 0; first < rows; first += 5000) {  // loaded as tolvard is above
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (uint64_t i = first; i < std::min(rows, first + 5000); ++i) write(i, 0);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  }
  uint64_t next = 0;
  uint32_t cos = 1;
  for (auto _ : state) {
    uint64_t i = (next++ * 7919) % rows;
    if (i == 0) cos = cos % 7 + 1;
    sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    write(i, cos);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  }
  sqlite3_finalize(put);
  sqlite3_close(db);
  state.SetItemsProcessed(static_cast<int64_t>(next));
}
BENCHMARK(BM_SqliteOneRowCommit)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(30000)
    ->Iterations(2000)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

BENCHMARK_MAIN();
