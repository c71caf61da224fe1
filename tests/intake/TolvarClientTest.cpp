// The Tolvar client against a real tolvard: full syncs, merges within a transaction, a server restart, delivery
// order through the dispatcher, and writes read back with tolvarctl.
#include <gtest/gtest.h>

#include "core/WorkGroup.h"
#include "intake/MsgDispatcher.h"
#include "intake/TolvarClient.h"
#include "support/LogCapture.h"
#include "tolvar/TolvardFixture.h"
#include "zantix/qor/tolvar/security.pb.h"

namespace VevUroro {
namespace {

namespace tv = zantix::qor::tolvar;
using qor::tolvar::test::Ip;
using qor::tolvar::test::Patch;
using qor::tolvar::test::Put;
using qor::tolvar::test::Uuid;
using qor::tolvar::test::UuidBytes;

// What one component received: one record per call.
struct Call {
  int component;
  bool fullSync;
  std::list<TolvarUpdateMsg> entries;
};

struct Calls {
  std::mutex mutex;
  std::vector<Call> calls;
  std::vector<Call> Snapshot() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
  }
  size_t Size() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls.size();
  }
};

class Recorder : public qor::RefCounted<Recorder, Component> {
 public:
  Recorder(int id, Calls* calls) : _id(id), _calls(calls) {}
  void UpdateDesiredState(const std::list<TolvarUpdateMsg>& updates, uint8_t fullSync) override {
    std::lock_guard<std::mutex> lock(_calls->mutex);
    _calls->calls.push_back({_id, fullSync != 0, updates});
  }

 private:
  int _id;
  Calls* _calls;
};

class TolvarClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    _server = std::make_unique<qor::tolvar::test::TolvardProcess>(_root.Path(), _root.Path() + "/tolvar.db");
    WorkGroup::SetConfiguredThreadCounts(1, 6);
    ASSERT_TRUE(WorkGroup::Start(_registry));
    _queue = MakeUpdateQueue();
    _dispatcher = new MsgDispatcher(_queue);
    // Every component but LB: its entries must be dropped silently.
    for (int id = CONFIGCACHE; id <= BFD; ++id) {
      if (id != LB) _dispatcher->Register(static_cast<ComponentType>(id), new Recorder(id, &_calls));
    }
    ASSERT_TRUE(_dispatcher->Start());
  }
  void TearDown() override {
    if (_client) _client->Stop();
    _dispatcher->Stop();
    WorkGroup::Stop();
  }

  void StartClient() {
    _client = new TolvarClient(TolvarClientSettings::ForPersona(3, _server->Endpoint()), _queue, nullptr, nullptr);
    _client->LibraryClient()->SetBackoff(std::chrono::milliseconds(10), std::chrono::milliseconds(100));
    _client->LibraryClient()->SetCallTimeout(std::chrono::seconds(20));
    _client->Start();
  }

  // Full-sync transactions dispatched to the end, counted by their call to the last registered component (BFD):
  // every component gets a list then, in ascending order, so the transaction's other calls precede it.
  size_t FullSyncs() {
    size_t count = 0;
    for (const Call& call : _calls.Snapshot()) count += call.component == BFD && call.fullSync;
    return count;
  }
  bool WaitFullSyncs(size_t n) {
    return qor::test::WaitFor([&] { return FullSyncs() >= n; });
  }
  void Modify(const std::vector<tv::ModifyRequestMsg>& requests) {
    ASSERT_TRUE(_client->LibraryClient()->Modify(requests).ok());
  }
  // Entries for `component` in calls after the first `from` calls.
  std::vector<TolvarUpdateMsg> EntriesFor(int component, size_t from) {
    std::vector<TolvarUpdateMsg> out;
    auto calls = _calls.Snapshot();
    for (size_t i = from; i < calls.size(); ++i) {
      if (calls[i].component == component) out.insert(out.end(), calls[i].entries.begin(), calls[i].entries.end());
    }
    return out;
  }
  // Waits until a delta transaction has reached `component` after call `from`.
  bool WaitCall(int component, size_t from) {
    return qor::test::WaitFor([&] {
      auto calls = _calls.Snapshot();
      for (size_t i = from; i < calls.size(); ++i) {
        if (calls[i].component == component) return true;
      }
      return false;
    });
  }

  qor::test::TempRoot _root;
  std::unique_ptr<qor::tolvar::test::TolvardProcess> _server;
  qor::metrics::Registry _registry;
  std::shared_ptr<UpdateQueue> _queue;
  qor::RefPtr<MsgDispatcher> _dispatcher;
  qor::RefPtr<TolvarClient> _client;
  Calls _calls;
};

tv::ArpTableConfigMsg ArpTable() {
  tv::ArpTableConfigMsg table;
  *table.mutable_id() = Uuid(50);
  *table.mutable_router_port_id() = Uuid(51);
  return table;
}

tv::ArpEntryMsg ArpEntry(uint32_t ip) {
  tv::ArpEntryMsg entry;
  *entry.mutable_ip() = Ip(ip);
  entry.mutable_mac()->set_mac(0x0a0b0c0d0e0f);
  return entry;
}

TEST_F(TolvarClientTest, FullSyncReachesEveryRegisteredComponentInAscendingOrder) {
  qor::test::LogCapture log;
  tv::ContextProfileMsg profile;
  *profile.mutable_id() = Uuid(1);
  tv::ContainerMsg container;
  *container.mutable_id() = Uuid(2);
  {
    // Desired state present before the agent connects.
    auto writer =
        std::make_unique<qor::tolvar::TolvarDbClient>("w", _server->Endpoint(), nullptr, nullptr, true, true, false);
    writer->StartAsync();
    ASSERT_TRUE(writer->Modify({Put(tv::CONTEXT_PROFILE, profile), Put(tv::CONTAINER, container)}).ok());
  }
  StartClient();
  ASSERT_TRUE(WaitFullSyncs(1));
  ASSERT_TRUE(qor::test::WaitFor([&] { return _calls.Size() >= 10; }));
  auto calls = _calls.Snapshot();
  std::vector<int> order;
  for (size_t i = 0; i < 10; ++i) {
    order.push_back(calls[i].component);
    EXPECT_TRUE(calls[i].fullSync);
  }
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 9, 10, 11}));  // LB dropped silently
  EXPECT_EQ(calls[3].entries.size(), 2u);                                // DFW: the profile and the container
  EXPECT_EQ(calls[0].entries.size(), 0u);                                // empty lists are delivered too
  EXPECT_TRUE(_client->ChannelUp());
  EXPECT_EQ(log.Count("TolvarClient: tolvar channel status turns to UP"), 1u);
  // Logged once the transaction is on the queue, so possibly after the dispatcher has delivered it.
  EXPECT_TRUE(qor::test::WaitFor([&] { return log.Count("TolvarClient: Transaction end (fullsync) ID") == 1u; }));
  EXPECT_EQ(log.Count("MsgDispatcher: dispatching object to component LB"), 0u);
}

TEST_F(TolvarClientTest, ArpElementInsertedAndRemovedInOneTransactionNeverReachesTheCache) {
  qor::test::LogCapture log;
  StartClient();
  ASSERT_TRUE(WaitFullSyncs(1));
  Modify({Put(tv::ARP_TABLE_CONFIG, ArpTable())});
  ASSERT_TRUE(qor::test::WaitFor([&] { return EntriesFor(L3CACHE, 10).size() == 1; }));  // the router port id
  size_t from = _calls.Size();
  tv::ArpEntryMsg entry = ArpEntry(7);
  // tolvard makes consecutive patches of one object one change; a change of another object between them (here a
  // VIF state, which the client does not monitor) keeps them apart, so the transaction carries the insertion and
  // the removal of the same element.
  auto between = [](const char* vif) {
    tv::VifStateMsg state;
    state.set_id(vif);
    return Put(tv::VIF_STATE, state);
  };
  Modify({Patch(tv::ARP_TABLE_CONFIG, UuidBytes(50), tv::Property::L3_ARP_ENTRY, tv::APPEND, &entry), between("a"),
          Patch(tv::ARP_TABLE_CONFIG, UuidBytes(50), tv::Property::L3_ARP_ENTRY, tv::REMOVE, &entry)});
  ASSERT_TRUE(WaitCall(L3CACHE, from));
  EXPECT_TRUE(EntriesFor(L3CACHE, from).empty());

  // Insert, remove, insert: the first two cancel, the third is delivered.
  from = _calls.Size();
  Modify({Patch(tv::ARP_TABLE_CONFIG, UuidBytes(50), tv::Property::L3_ARP_ENTRY, tv::APPEND, &entry), between("b"),
          Patch(tv::ARP_TABLE_CONFIG, UuidBytes(50), tv::Property::L3_ARP_ENTRY, tv::REMOVE, &entry), between("c"),
          Patch(tv::ARP_TABLE_CONFIG, UuidBytes(50), tv::Property::L3_ARP_ENTRY, tv::APPEND, &entry)});
  ASSERT_TRUE(WaitCall(L3CACHE, from));
  auto entries = EntriesFor(L3CACHE, from);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].operation, TolvarUpdateMsg::OP_INSERT);
  EXPECT_EQ(entries[0].value, entry.SerializeAsString());
  EXPECT_EQ(entries[0].objectId, UuidBytes(50));
  // Each cancelled pair is logged with the element itself.
  EXPECT_EQ(log.Count({"TolvarClient: merge ARP_TABLE_CONFIG msg (object id ",
                       ") property L3_ARP_ENTRY: " + entry.ShortDebugString()}),
            2u);
}

// Lists are sets: a FIB naming one next hop twice is refused by the database, so nothing reaches the components.
// (The merge still reports the same element inserted twice, should a database ever send it: MergeRepeatedTest.)
TEST_F(TolvarClientTest, FibWithTheSameNextHopTwiceIsRefusedAndNothingIsDelivered) {
  StartClient();
  ASSERT_TRUE(WaitFullSyncs(1));
  size_t from = _calls.Size();
  tv::FibMsg fib;
  *fib.mutable_id() = Uuid(60);
  *fib.mutable_router_id() = Uuid(61);
  fib.mutable_ip_prefix()->set_prefix_length(16);
  tv::FibNextHopMsg hop;
  *hop.mutable_ip() = Ip(0x0a000001);
  *fib.add_next_hops() = hop;
  *fib.add_next_hops() = hop;
  qor::rpc::Status status = _client->LibraryClient()->Modify({Put(tv::FIB, fib)});
  EXPECT_EQ(status.code(), 3);
  EXPECT_NE(status.message().find("L3_FIB_NEXT_HOP holds two elements with the same key"), std::string::npos)
      << status.message();
  // A later transaction is the next one delivered.
  Modify({Put(tv::ARP_TABLE_CONFIG, ArpTable())});
  ASSERT_TRUE(WaitCall(L3CACHE, from));
  for (const auto& entry : EntriesFor(L3CACHE, from)) EXPECT_EQ(entry.objectType, tv::ARP_TABLE_CONFIG);
}

TEST_F(TolvarClientTest, ServerRestartMakesTheNextBarrierAFullSync) {
  qor::test::LogCapture log(LOG_LEVEL_INFO);
  StartClient();
  ASSERT_TRUE(WaitFullSyncs(1));
  // A delta first, so that the restart's full sync is told apart from it.
  size_t from = _calls.Size();
  Modify({Put(tv::ARP_TABLE_CONFIG, ArpTable())});
  ASSERT_TRUE(WaitCall(L3CACHE, from));
  EXPECT_FALSE(_calls.Snapshot().back().fullSync);

  uint16_t port = _server->Port();
  _server->Kill9();
  ASSERT_TRUE(qor::test::WaitFor([&] { return !_client->ChannelUp(); }));
  qor::test::ChildProcess restarted(
      {TOLVARD_PATH, "--listen", "tcp:127.0.0.1:" + std::to_string(port), "--db", _root.Path() + "/tolvar.db"},
      _root.Path() + "/restarted");
  ASSERT_TRUE(WaitFullSyncs(2));
  // The committed ARP table is part of the new full sync.
  bool found = false;
  for (const Call& call : _calls.Snapshot()) {
    if (call.component == L3CACHE && call.fullSync && !call.entries.empty()) found = true;
  }
  EXPECT_TRUE(found);
  EXPECT_GE(log.Count("TolvarClient: tolvar channel status turns to DOWN"), 1u);
  EXPECT_TRUE(qor::test::WaitFor([&] { return log.Count("TolvarClient: Transaction end (fullsync) ID") == 2u; }));
  _client->Stop();
  _client.reset();
}

struct CtlResult {
  int status;
  std::string out;
};

TEST_F(TolvarClientTest, ProcessedBarriersAndRuntimeStatusesAreReadableWithTolvarctl) {
  StartClient();
  ASSERT_TRUE(WaitFullSyncs(1));
  _client->ProcessedBarrier(5, 77);
  tv::RealizationErrorMsg error;
  error.set_error_code(9);
  error.set_message("rule 3 not realized");
  _client->RuntimeStatus(DFW, {error});
  ASSERT_TRUE(qor::test::WaitFor([&] { return _client->WritesDone() >= 2; }));

  auto ctl = [&](std::vector<std::string> args) {
    static int runs = 0;
    args.insert(args.begin(), {TOLVARCTL_PATH, "--server", _server->Endpoint(), "--timeout", "20"});
    qor::test::ChildProcess process(args, _root.Path() + "/ctl" + std::to_string(++runs));
    std::optional<int> status = process.Wait(std::chrono::seconds(60));
    return CtlResult{status.value_or(-1), process.Stdout()};
  };
  CtlResult barrier = ctl({"get", "PROCESSED_BARRIER", qor::tolvar::UuidToString(0, 5)});
  EXPECT_EQ(barrier.status, 0);
  EXPECT_NE(barrier.out.find("\"barrier_number\": \"77\""), std::string::npos) << barrier.out;
  CtlResult status = ctl({"get", "RUNTIME_STATUS", qor::tolvar::UuidToString(0, DFW)});
  EXPECT_EQ(status.status, 0);
  EXPECT_NE(status.out.find("rule 3 not realized"), std::string::npos) << status.out;

  std::string reply;
  EXPECT_TRUE(_client->Echo("ping", &reply).ok());
  EXPECT_EQ(reply, "ping");
}

TEST_F(TolvarClientTest, RuntimeStatusWithoutAVdbIsWrittenOnceOneIsAssigned) {
  qor::test::LogCapture log;
  // A SmartNIC has no vdb until a backing message assigns one.
  _client = new TolvarClient(TolvarClientSettings::ForPersona(2, _server->Endpoint()), _queue, nullptr, nullptr);
  _client->Start();
  tv::RealizationErrorMsg error;
  error.set_error_code(4);
  error.set_message("section 9 not realized");
  _client->RuntimeStatus(DFW, {error});
  EXPECT_EQ(log.Count("TolvarClient: Get runtime status update when main vdb is 0, caching for componentId 4, error "
                      "size 1."),
            1u);
  EXPECT_EQ(_client->HeldRuntimeMessages(), 1u);
  EXPECT_EQ(_client->WritesDone(), 0u);

  EXPECT_EQ(_client->PutFrontRuntimeState(1), 1u);
  ASSERT_TRUE(qor::test::WaitFor([&] { return _client->WritesDone() >= 1; }));
  qor::test::ChildProcess ctl({TOLVARCTL_PATH, "--server", _server->Endpoint(), "--timeout", "20", "get",
                               "RUNTIME_STATUS", qor::tolvar::UuidToString(0, DFW)},
                              _root.Path() + "/ctl-status");
  EXPECT_EQ(ctl.Wait(std::chrono::seconds(60)), 0);
  EXPECT_NE(ctl.Stdout().find("section 9 not realized"), std::string::npos) << ctl.Stdout();
}

TEST_F(TolvarClientTest, SlowWritesAreLoggedAsDelay) {
  qor::test::LogCapture log;
  StartClient();
  ASSERT_TRUE(WaitFullSyncs(1));
  auto delays = _client->MetricsRegistry()->GetLatency("tolvar_client/write/delay_us");
  // Under the threshold: no line, nothing recorded.
  _client->SetDelayThreshold(std::chrono::seconds(60));
  _client->ProcessedBarrier(1, 1);
  ASSERT_TRUE(qor::test::WaitFor([&] { return _client->WritesDone() >= 1; }));
  EXPECT_EQ(log.Count("DELAY "), 0u);
  EXPECT_EQ(delays->Count(), 0u);
  // Over it: one line with its label and times, and the duration in the client's latency metric.
  _client->SetDelayThreshold(std::chrono::microseconds(0));
  _client->ProcessedBarrier(1, 2);
  ASSERT_TRUE(qor::test::WaitFor([&] { return _client->WritesDone() >= 2; }));
  EXPECT_EQ(log.Count({"DELAY TolvarDB modifies message ID 1 begin ", " end ", "level=\"warn\""}), 1u);
  EXPECT_EQ(log.Count("DELAY "), 1u);
  EXPECT_EQ(delays->Count(), 1u);
  EXPECT_GT(delays->Max(), 0u);
}

TEST_F(TolvarClientTest, FailedWriteIsRetriedAndReportedOnlyOnceCommitted) {
  qor::test::LogCapture log(LOG_LEVEL_INFO);
  StartClient();
  ASSERT_TRUE(WaitFullSyncs(1));
  _client->LibraryClient()->SetCallTimeout(std::chrono::milliseconds(100));
  _client->SetRetryBackoff(std::chrono::milliseconds(10), std::chrono::milliseconds(50));
  uint16_t port = _server->Port();
  _server->Kill9();
  ASSERT_TRUE(qor::test::WaitFor([&] { return !_client->ChannelUp(); }));

  tv::ProcessedBarrierMsg barrier;
  *barrier.mutable_id() = Uuid(8);
  barrier.set_barrier_number(88);
  auto committed = std::make_shared<std::atomic<int>>(0);
  _client->WriteThen({Put(tv::PROCESSED_BARRIER, barrier, 1)}, [committed] { ++*committed; });
  ASSERT_TRUE(qor::test::WaitFor([&] {
    return log.Count({"TolvarClient: TolvarDB modifies message ID 0 failed: DEADLINE_EXCEEDED", "retrying in",
                      "errorCode=\"LCP00031\""}) >= 2;
  }));
  EXPECT_EQ(committed->load(), 0);
  EXPECT_EQ(_client->WritesDone(), 0u);

  qor::test::ChildProcess restarted(
      {TOLVARD_PATH, "--listen", "tcp:127.0.0.1:" + std::to_string(port), "--db", _root.Path() + "/tolvar.db"},
      _root.Path() + "/restarted");
  ASSERT_TRUE(qor::test::WaitFor([&] { return committed->load() == 1; }));
  EXPECT_EQ(_client->WritesDone(), 1u);
  EXPECT_EQ(log.Count("dropped"), 0u);
  _client->Stop();
  _client.reset();
}

TEST_F(TolvarClientTest, StopsCleanlyWithoutAServer) {
  _server->Kill9();
  StartClient();
  _client->ProcessedBarrier(1, 1);  // cannot be written; Stop must not wait for it
  _client->Stop();
  EXPECT_FALSE(_client->ChannelUp());
}

}  // namespace
}  // namespace VevUroro
