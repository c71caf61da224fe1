// The port-profile service over the database client library against a real tolvard: effective profiles of ports
// (a port's own profile of a type wins over its switch's) and of transport nodes, the full-sync callback after
// start and after a reconnect (which also brings what changed while the client was away), the delta callbacks
// per transaction, and a seeded differential test of those deltas against what a fresh service reads.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <random>
#include <thread>

#include "platform/upm/UPMService.h"
#include "support/Differential.h"
#include "support/LogCapture.h"
#include "tests/tolvar/TolvardFixture.h"

namespace qor::upm {
namespace {

namespace tv = zantix::qor::tolvar;
using qor::tolvar::test::Delete;
using qor::tolvar::test::Put;
using qor::tolvar::test::TolvardProcess;
using qor::tolvar::test::Uuid;
using qor::tolvar::test::UuidBytes;

constexpr uint32_t kIpDiscovery = 9;
constexpr uint32_t kLatency = 12;

tv::ProfileMsg Profile(uint64_t id, uint32_t type, bool arp) {
  tv::ProfileMsg profile;
  *profile.mutable_id() = Uuid(id);
  profile.set_profile_type(type);
  profile.mutable_ip_discovery()->set_arp_snooping_enabled(arp);
  return profile;
}

tv::LogSwitchConfigMsg Switch(uint64_t id, std::vector<uint64_t> profiles) {
  tv::LogSwitchConfigMsg ls;
  *ls.mutable_id() = Uuid(id);
  for (uint64_t p : profiles) *ls.add_profile_ids() = Uuid(p);
  return ls;
}

tv::LogSwitchPortConfigMsg Port(uint64_t id, uint64_t ls, std::vector<uint64_t> profiles) {
  tv::LogSwitchPortConfigMsg lsp;
  *lsp.mutable_id() = Uuid(id);
  *lsp.mutable_switch_id() = Uuid(ls);
  for (uint64_t p : profiles) *lsp.add_profile_ids() = Uuid(p);
  return lsp;
}

tv::ProfileMsg LatencyProfile(uint64_t id, uint32_t value) {
  tv::ProfileMsg profile;
  *profile.mutable_id() = Uuid(id);
  profile.set_profile_type(kLatency);
  profile.mutable_latency()->set_enabled(true);
  profile.mutable_latency()->set_value(value);
  return profile;
}

tv::TransportNodeConfigMsg Node(uint64_t id, std::vector<uint64_t> profiles) {
  tv::TransportNodeConfigMsg node;
  *node.mutable_id() = Uuid(id);
  node.mutable_transport_switches()->add_switches()->set_switch_id("dvs-1");
  for (uint64_t p : profiles) *node.add_profile_ids() = Uuid(p);
  return node;
}

struct Calls {
  std::mutex mutex;
  std::vector<std::pair<std::vector<ProfileUpdate>, bool>> calls;
  ProfileCallback Callback() {
    return [this](const std::vector<ProfileUpdate>& updates, bool fullSync) {
      std::lock_guard<std::mutex> lock(mutex);
      calls.emplace_back(updates, fullSync);
    };
  }
  size_t Size() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls.size();
  }
  std::pair<std::vector<ProfileUpdate>, bool> At(size_t i) {
    std::lock_guard<std::mutex> lock(mutex);
    return calls.at(i);
  }
};

// Port id -> (operation, the profile's id low part and its ARP flag).
std::map<uint64_t, std::tuple<int, uint64_t, bool>> Summary(const std::vector<ProfileUpdate>& updates) {
  std::map<uint64_t, std::tuple<int, uint64_t, bool>> out;
  for (const ProfileUpdate& u : updates) {
    tv::UuidMsg id;
    id.ParseFromString(u.entityId);
    out[id.low()] = {u.operation, u.profile.id().low(), u.profile.ip_discovery().arp_snooping_enabled()};
  }
  return out;
}

// (entity kind, id low part) -> (operation, the profile's id low part, its latency value).
using Entity = std::pair<int, uint64_t>;
using LatencyRow = std::tuple<int, uint64_t, uint32_t>;
std::map<Entity, LatencyRow> Latencies(const std::vector<ProfileUpdate>& updates) {
  std::map<Entity, LatencyRow> out;
  for (const ProfileUpdate& u : updates) {
    tv::UuidMsg id;
    id.ParseFromString(u.entityId);
    out[{u.entityKind, id.low()}] = {u.operation, u.profile.id().low(), u.profile.latency().value()};
  }
  return out;
}

class UPMServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    _db = _root.Path() + "/tolvar.db";
    _server = std::make_unique<TolvardProcess>(_root.Path(), _db);
    _writer = NewClient("writer");
    _writer->StartAsync();
  }
  std::shared_ptr<qor::tolvar::TolvarDbClient> NewClient(const std::string& name) {
    auto client =
        std::make_shared<qor::tolvar::TolvarDbClient>(name, _server->Endpoint(), nullptr, nullptr, true, true, false);
    client->SetCallTimeout(std::chrono::seconds(20));
    client->SetBackoff(std::chrono::milliseconds(10), std::chrono::milliseconds(100));
    return client;
  }
  void Write(std::vector<tv::ModifyRequestMsg> requests) { ASSERT_TRUE(_writer->Modify(requests).ok()); }

  qor::test::TempRoot _root;
  std::string _db;
  std::unique_ptr<TolvardProcess> _server;
  std::shared_ptr<qor::tolvar::TolvarDbClient> _writer;
};

TEST_F(UPMServiceTest, EffectiveProfilesFullSyncAndDeltas) {
  Write({Put(tv::PROFILE, Profile(1, kIpDiscovery, true)), Put(tv::PROFILE, Profile(2, kIpDiscovery, false)),
         Put(tv::PROFILE, Profile(3, 12, true)), Put(tv::LOG_SWITCH_CONFIG, Switch(10, {3, 1})),
         Put(tv::LOG_SWITCH_PORT_CONFIG, Port(100, 10, {})), Put(tv::LOG_SWITCH_PORT_CONFIG, Port(101, 10, {2}))});
  auto client = NewClient("agent");
  client->StartAsync();
  auto upm = std::make_shared<UPMService>("agent", client);
  Calls calls;
  upm->RegisterCallback(kIpDiscovery, calls.Callback());
  ASSERT_TRUE(upm->Start());
  ASSERT_TRUE(qor::test::WaitFor([&] { return calls.Size() == 1; }));
  auto [first, fullSync] = calls.At(0);
  EXPECT_TRUE(fullSync);
  using Row = std::tuple<int, uint64_t, bool>;
  EXPECT_EQ(Summary(first), (std::map<uint64_t, Row>{{100, Row{1, 1, true}}, {101, Row{1, 2, false}}}))
      << "the switch's type-9 profile for port 100, its own for port 101";
  tv::ProfileMsg found;
  ASSERT_TRUE(upm->GetEffectiveProfile(UuidBytes(100), 12, &found));
  EXPECT_EQ(found.id().low(), 3u);
  EXPECT_FALSE(upm->GetEffectiveProfile(UuidBytes(999), kIpDiscovery, &found));

  // A profile's content changes: only the ports it applies to.
  Write({Put(tv::PROFILE, Profile(1, kIpDiscovery, false))});
  ASSERT_TRUE(qor::test::WaitFor([&] { return calls.Size() == 2; }));
  EXPECT_FALSE(calls.At(1).second);
  EXPECT_EQ(Summary(calls.At(1).first), (std::map<uint64_t, Row>{{100, Row{1, 1, false}}}));

  // The port binds its own profile, which then goes away: back to the switch's.
  Write({Put(tv::PROFILE, Profile(4, kIpDiscovery, true)), Put(tv::LOG_SWITCH_PORT_CONFIG, Port(100, 10, {4}))});
  ASSERT_TRUE(qor::test::WaitFor([&] { return calls.Size() == 3; }));
  EXPECT_EQ(Summary(calls.At(2).first), (std::map<uint64_t, Row>{{100, Row{1, 4, true}}}));
  Write({Delete(tv::PROFILE, UuidBytes(4))});
  ASSERT_TRUE(qor::test::WaitFor([&] { return calls.Size() == 4; }));
  EXPECT_EQ(Summary(calls.At(3).first), (std::map<uint64_t, Row>{{100, Row{1, 1, false}}}));

  // The switch unbinds its profiles: port 100 has none left; port 101 keeps its own.
  Write({Put(tv::LOG_SWITCH_CONFIG, Switch(10, {}))});
  ASSERT_TRUE(qor::test::WaitFor([&] { return calls.Size() == 5; }));
  EXPECT_EQ(Summary(calls.At(4).first), (std::map<uint64_t, Row>{{100, Row{2, 0, false}}}));

  // A transaction that changes nothing effective calls nobody.
  Write({Put(tv::PROFILE, Profile(9, 4, true))});
  Write({Put(tv::PROFILE, Profile(2, kIpDiscovery, true))});
  ASSERT_TRUE(qor::test::WaitFor([&] { return calls.Size() == 6; }));
  EXPECT_EQ(Summary(calls.At(5).first), (std::map<uint64_t, Row>{{101, Row{1, 2, true}}}));
  upm->Stop();
  client->Stop();
}

TEST_F(UPMServiceTest, TransportNodesHaveTheirOwnEffectiveProfiles) {
  constexpr int kPort = ProfileUpdate::kLogicalSwitchPort;
  constexpr int kNode = ProfileUpdate::kTransportNode;
  Write({Put(tv::PROFILE, LatencyProfile(3, 250)), Put(tv::PROFILE, LatencyProfile(5, 7)),
         Put(tv::PROFILE, Profile(6, kIpDiscovery, true)), Put(tv::LOG_SWITCH_CONFIG, Switch(10, {5})),
         Put(tv::LOG_SWITCH_PORT_CONFIG, Port(100, 10, {})), Put(tv::TRANSPORT_NODE_CONFIG, Node(50, {6, 3})),
         Put(tv::TRANSPORT_NODE_CONFIG, Node(51, {}))});
  auto client = NewClient("agent");
  client->StartAsync();
  auto upm = std::make_shared<UPMService>("agent", client);
  Calls latency;
  Calls ipDiscovery;
  upm->RegisterCallback(kLatency, latency.Callback());
  upm->RegisterCallback(kIpDiscovery, ipDiscovery.Callback());
  ASSERT_TRUE(upm->Start());
  ASSERT_TRUE(qor::test::WaitFor([&] { return latency.Size() == 1 && ipDiscovery.Size() == 1; }));
  EXPECT_TRUE(latency.At(0).second);
  EXPECT_EQ(Latencies(latency.At(0).first),
            (std::map<Entity, LatencyRow>{{{kPort, 100}, LatencyRow{1, 5, 7}}, {{kNode, 50}, LatencyRow{1, 3, 250}}}))
      << "the port inherits its switch's; the node has its own, and node 51 none";
  ASSERT_EQ(ipDiscovery.At(0).first.size(), 1u);
  EXPECT_EQ(ipDiscovery.At(0).first[0].entityKind, ProfileUpdate::kTransportNode) << "each type for each kind";
  EXPECT_FALSE(upm->GetEffectiveProfile(UuidBytes(50), kLatency, nullptr)) << "port queries answer for ports only";
  EXPECT_EQ(upm->EffectiveProfiles(kLatency).size(), 1u);

  // A node rebinds: only that node; a switch rebinds: only its ports, never a node.
  Write({Put(tv::TRANSPORT_NODE_CONFIG, Node(51, {5}))});
  ASSERT_TRUE(qor::test::WaitFor([&] { return latency.Size() == 2; }));
  EXPECT_FALSE(latency.At(1).second);
  EXPECT_EQ(Latencies(latency.At(1).first), (std::map<Entity, LatencyRow>{{{kNode, 51}, LatencyRow{1, 5, 7}}}));
  Write({Put(tv::LOG_SWITCH_CONFIG, Switch(10, {3}))});
  ASSERT_TRUE(qor::test::WaitFor([&] { return latency.Size() == 3; }));
  EXPECT_EQ(Latencies(latency.At(2).first), (std::map<Entity, LatencyRow>{{{kPort, 100}, LatencyRow{1, 3, 250}}}));

  // A profile's content changes: every port and node it applies to, in one call.
  Write({Put(tv::PROFILE, LatencyProfile(3, 9))});
  ASSERT_TRUE(qor::test::WaitFor([&] { return latency.Size() == 4; }));
  EXPECT_EQ(Latencies(latency.At(3).first),
            (std::map<Entity, LatencyRow>{{{kPort, 100}, LatencyRow{1, 3, 9}}, {{kNode, 50}, LatencyRow{1, 3, 9}}}));

  // A node that goes away, and a node that unbinds its profile: deletes.
  Write({Delete(tv::TRANSPORT_NODE_CONFIG, UuidBytes(50)), Put(tv::TRANSPORT_NODE_CONFIG, Node(51, {}))});
  ASSERT_TRUE(qor::test::WaitFor([&] { return latency.Size() == 5; }));
  EXPECT_EQ(Latencies(latency.At(4).first),
            (std::map<Entity, LatencyRow>{{{kNode, 50}, LatencyRow{2, 0, 0}}, {{kNode, 51}, LatencyRow{2, 0, 0}}}));
  ASSERT_TRUE(qor::test::WaitFor([&] { return ipDiscovery.Size() == 2; }));
  EXPECT_EQ(ipDiscovery.At(1).first.size(), 1u) << "node 50's IP discovery profile is gone with it";
  upm->Stop();
  client->Stop();
}

TEST_F(UPMServiceTest, ReconnectBringsAFullSyncWithWhatChangedMeanwhile) {
  Write({Put(tv::PROFILE, Profile(1, kIpDiscovery, true)), Put(tv::LOG_SWITCH_PORT_CONFIG, Port(100, 10, {1})),
         Put(tv::LOG_SWITCH_PORT_CONFIG, Port(101, 10, {1}))});
  auto client = NewClient("agent");
  client->StartAsync();
  auto upm = std::make_shared<UPMService>("agent", client);
  Calls calls;
  upm->RegisterCallback(kIpDiscovery, calls.Callback());
  ASSERT_TRUE(upm->Start());
  ASSERT_TRUE(qor::test::WaitFor([&] { return calls.Size() == 1; }));
  EXPECT_EQ(calls.At(0).first.size(), 2u);

  // The database changes while the agent's client is away: tolvard runs on another port meanwhile.
  uint16_t port = _server->Port();
  _writer->Stop();
  _server->Kill9();
  ASSERT_TRUE(qor::test::WaitFor([&] { return !client->Connected(); }));
  _server = std::make_unique<TolvardProcess>(_root.Path(), _db);
  _writer = NewClient("writer");
  _writer->StartAsync();
  Write({Delete(tv::LOG_SWITCH_PORT_CONFIG, UuidBytes(101))});
  _writer->Stop();
  _server->Kill9();
  _server = std::make_unique<TolvardProcess>(
      _root.Path(), _db, std::vector<std::string>{"--listen", "tcp:127.0.0.1:" + std::to_string(port)});
  ASSERT_TRUE(qor::test::WaitFor([&] { return calls.Size() == 2; }));
  auto [updates, fullSync] = calls.At(1);
  EXPECT_TRUE(fullSync);
  ASSERT_EQ(updates.size(), 1u) << "port 101 is gone";
  EXPECT_EQ(updates[0].entityId, UuidBytes(100));
  EXPECT_TRUE(upm->Synced());
  EXPECT_FALSE(upm->GetEffectiveProfile(UuidBytes(101), kIpDiscovery, nullptr));
  upm->Stop();
  client->Stop();
}

TEST_F(UPMServiceTest, UnregisteredCallbackIsNotCalledAndServiceWithoutClientKnowsNothing) {
  auto client = NewClient("agent");
  client->StartAsync();
  auto upm = std::make_shared<UPMService>("agent", client);
  Calls kept;
  Calls dropped;
  upm->RegisterCallback(kIpDiscovery, kept.Callback());
  uint64_t id = upm->RegisterCallback(kIpDiscovery, dropped.Callback());
  ASSERT_TRUE(upm->Start());
  ASSERT_TRUE(qor::test::WaitFor([&] { return kept.Size() == 1; }));
  upm->UnregisterCallback(id);
  Write({Put(tv::PROFILE, Profile(1, kIpDiscovery, true)), Put(tv::LOG_SWITCH_PORT_CONFIG, Port(100, 10, {1}))});
  ASSERT_TRUE(qor::test::WaitFor([&] { return kept.Size() == 2; }));
  EXPECT_EQ(dropped.Size(), 1u);
  upm->Stop();
  client->Stop();

  UPMService alone("alone");
  EXPECT_TRUE(alone.Start());
  EXPECT_FALSE(alone.GetEffectiveProfile(UuidBytes(100), kIpDiscovery, nullptr));
  alone.Stop();
}

// A consumer registers while holding its own lock, and its callbacks take that lock: registering must not wait for
// a delivery in progress, or the two threads wait for each other.
TEST_F(UPMServiceTest, RegisteringDoesNotWaitForACallbackInProgress) {
  auto client = NewClient("agent");
  client->StartAsync();
  auto upm = std::make_shared<UPMService>("agent", client);
  std::mutex consumerLock;
  std::atomic<bool> inCallback{false};
  Calls late;
  upm->RegisterCallback(kIpDiscovery, [&](const std::vector<ProfileUpdate>&, bool) {
    inCallback = true;
    std::lock_guard<std::mutex> lock(consumerLock);
  });
  std::unique_lock<std::mutex> held(consumerLock);
  ASSERT_TRUE(upm->Start());
  ASSERT_TRUE(qor::test::WaitFor([&] { return inCallback.load(); }));
  // The delivery now waits for consumerLock, which this thread holds while it registers.
  auto registered = std::make_shared<std::atomic<bool>>(false);
  std::thread registering([&upm, &late, registered] {
    upm->RegisterCallback(kIpDiscovery, late.Callback());
    *registered = true;
  });
  EXPECT_TRUE(qor::test::WaitFor([&] { return registered->load(); }));
  held.unlock();
  registering.join();
  // Registered during the full sync's delivery: called from the next barrier on.
  Write({Put(tv::PROFILE, Profile(1, kIpDiscovery, true)), Put(tv::LOG_SWITCH_PORT_CONFIG, Port(100, 10, {1}))});
  ASSERT_TRUE(qor::test::WaitFor([&] { return late.Size() == 1; }));
  EXPECT_FALSE(late.At(0).second);
  upm->Stop();
  client->Stop();
}

// What a consumer of one type's callbacks holds: (entity kind, entity id, type) -> the effective profile's bytes.
class EffectiveMirror {
 public:
  using Key = std::tuple<int, std::string, uint32_t>;
  explicit EffectiveMirror(uint32_t type) : _type(type) {}
  ProfileCallback Callback() {
    return [this](const std::vector<ProfileUpdate>& updates, bool fullSync) {
      std::lock_guard<std::mutex> lock(_mutex);
      if (fullSync) _held.clear();
      for (const ProfileUpdate& u : updates) {
        EXPECT_EQ(u.profileType, _type);
        const Key key{u.entityKind, u.entityId, u.profileType};
        if (u.operation == ProfileUpdate::kSet) {
          _held[key] = u.profile.SerializeAsString();
        } else {
          _held.erase(key);
        }
      }
      ++_calls;
    };
  }
  // Without the entity `skip`.
  std::map<Key, std::string> Held(const std::string& skip = "") {
    std::lock_guard<std::mutex> lock(_mutex);
    std::map<Key, std::string> out = _held;
    std::erase_if(out, [&](const auto& entry) { return std::get<1>(entry.first) == skip; });
    return out;
  }
  size_t Calls() {
    std::lock_guard<std::mutex> lock(_mutex);
    return _calls;
  }

 private:
  const uint32_t _type;
  std::mutex _mutex;
  std::map<Key, std::string> _held;
  size_t _calls = 0;
};

// Seeded randomized differential test: profiles of two types, switches, ports and transport nodes binding them
// (profiles that do not exist, ports on switches that do not exist, profiles changing type), in random
// transactions; after each batch of transactions, what the deltas built equals the full list of a fresh service.
TEST_F(UPMServiceTest, DeltasKeepWhatAFreshServiceReads) {
  qor::test::LogCapture quiet(VevUroro::LOG_LEVEL_ERROR);
  constexpr uint32_t kMarker = 99;  // one port's marker profile changes in every transaction: its delta ends it
  constexpr uint64_t kMarkerId = 999;
  const std::vector<uint32_t> types = {kIpDiscovery, kLatency};
  auto client = NewClient("agent");
  client->StartAsync();
  auto upm = std::make_shared<UPMService>("agent", client);
  std::map<uint32_t, EffectiveMirror> mirrors;
  for (uint32_t type : {kIpDiscovery, kLatency, kMarker}) {
    upm->RegisterCallback(type, mirrors.try_emplace(type, type).first->second.Callback());
  }
  tv::ProfileMsg marker;
  *marker.mutable_id() = Uuid(kMarkerId);
  marker.set_profile_type(kMarker);
  Write({Put(tv::PROFILE, marker), Put(tv::LOG_SWITCH_PORT_CONFIG, Port(kMarkerId, 0, {kMarkerId}))});
  ASSERT_TRUE(upm->Start());
  ASSERT_TRUE(qor::test::WaitFor([&] { return mirrors.at(kMarker).Calls() == 1; }));

  uint32_t transaction = 0;
  qor::test::RunDifferential(
      qor::test::DifferentialSettings::FromEnvironment(8), [&](std::mt19937_64& rng, size_t) -> std::string {
        auto pick = [&](uint64_t n) { return rng() % n; };
        auto ids = [&](uint64_t from, uint64_t count) {
          std::vector<uint64_t> out;
          for (uint64_t n = pick(4); n > 0; --n) out.push_back(from + pick(count));
          return out;
        };
        for (int step = 0; step < 15; ++step) {
          std::vector<tv::ModifyRequestMsg> requests;
          for (uint64_t n = 1 + pick(3); n > 0; --n) {
            const uint64_t what = pick(100);
            if (what < 25) {  // profiles 1..6 (7 never exists), either type, changing content and type
              tv::ProfileMsg profile = Profile(1 + pick(6), types[pick(2)], pick(2));
              profile.mutable_latency()->set_enabled(true);
              profile.mutable_latency()->set_value(static_cast<uint32_t>(pick(3)));
              requests.push_back(Put(tv::PROFILE, profile));
            } else if (what < 32) {
              requests.push_back(Delete(tv::PROFILE, UuidBytes(1 + pick(6))));
            } else if (what < 47) {  // switches 10..12 (13 never exists)
              requests.push_back(Put(tv::LOG_SWITCH_CONFIG, Switch(10 + pick(3), ids(1, 7))));
            } else if (what < 52) {
              requests.push_back(Delete(tv::LOG_SWITCH_CONFIG, UuidBytes(10 + pick(3))));
            } else if (what < 75) {  // ports 100..107
              requests.push_back(Put(tv::LOG_SWITCH_PORT_CONFIG, Port(100 + pick(8), 10 + pick(4), ids(1, 7))));
            } else if (what < 82) {
              requests.push_back(Delete(tv::LOG_SWITCH_PORT_CONFIG, UuidBytes(100 + pick(8))));
            } else if (what < 95) {  // transport nodes 50..52
              requests.push_back(Put(tv::TRANSPORT_NODE_CONFIG, Node(50 + pick(3), ids(1, 7))));
            } else {
              requests.push_back(Delete(tv::TRANSPORT_NODE_CONFIG, UuidBytes(50 + pick(3))));
            }
          }
          marker.mutable_latency()->set_value(++transaction);
          requests.push_back(Put(tv::PROFILE, marker));
          if (!_writer->Modify(requests).ok()) return "a transaction failed";
          const EffectiveMirror::Key markerKey{ProfileUpdate::kLogicalSwitchPort, UuidBytes(kMarkerId), kMarker};
          if (!qor::test::WaitFor([&] {
                auto held = mirrors.at(kMarker).Held();
                auto it = held.find(markerKey);
                return it != held.end() && it->second == marker.SerializeAsString();
              })) {
            return "transaction " + std::to_string(transaction) + " never reached the callbacks";
          }
        }
        // A fresh service over its own client reads the same database.
        auto freshClient = NewClient("fresh");
        freshClient->StartAsync();
        auto fresh = std::make_shared<UPMService>("fresh", freshClient);
        std::map<uint32_t, EffectiveMirror> rebuilt;
        for (uint32_t type : types)
          fresh->RegisterCallback(type, rebuilt.try_emplace(type, type).first->second.Callback());
        fresh->Start();
        bool read = qor::test::WaitFor(
            [&] { return rebuilt.at(kIpDiscovery).Calls() == 1 && rebuilt.at(kLatency).Calls() == 1; });
        std::string difference;
        for (uint32_t type : types) {
          auto incremental = mirrors.at(type).Held(UuidBytes(kMarkerId));
          auto full = rebuilt.at(type).Held(UuidBytes(kMarkerId));
          if (incremental != full) {
            difference += "type " + std::to_string(type) + ": deltas hold " + std::to_string(incremental.size()) +
                          " effective profiles, a fresh read " + std::to_string(full.size()) + "\n";
          }
        }
        fresh->Stop();
        freshClient->Stop();
        if (!read) return "the fresh service never read the database";
        return difference;
      });
  upm->Stop();
  client->Stop();
}

}  // namespace
}  // namespace qor::upm
