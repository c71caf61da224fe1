// The port-profile service over the database client library against a real tolvard: effective profiles of ports
// (a port's own profile of a type wins over its switch's), the full-sync callback after start and after a
// reconnect (which also brings what changed while the client was away), and the delta callbacks per transaction.
#include <gtest/gtest.h>

#include "platform/upm/UPMService.h"
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
    id.ParseFromString(u.lspId);
    out[id.low()] = {u.operation, u.profile.id().low(), u.profile.ip_discovery().arp_snooping_enabled()};
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
  EXPECT_EQ(updates[0].lspId, UuidBytes(100));
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

}  // namespace
}  // namespace qor::upm
