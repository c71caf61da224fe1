// The converter's profile callbacks: IP discovery settings taken from a port's effective profile when the port
// asks for it (override), latency from latency profiles (key 281 for a port, switch key 11 on the host switches of
// a transport node), profiles reported before the configuration they apply to, full-sync lists that drop what
// they omit; and the real port-profile service over a real tolvard handing latencies to the converter.
#include <gtest/gtest.h>

#include "platform/upm/UPMService.h"
#include "support/LogCapture.h"
#include "support/TempRoot.h"
#include "tests/config/ConverterHarness.h"
#include "tests/config/ExpectedBytes.h"
#include "tests/tolvar/TolvardFixture.h"

namespace VevUroro {
namespace {

using qor::test::LogCapture;
using qor::upm::ProfileUpdate;
using test::Bytes;
using test::Id;
using test::Ls;
using test::Lsp;
namespace tv = zantix::qor::tolvar;

class FakeProfileService : public qor::upm::IProfileService {
 public:
  bool GetEffectiveProfile(const std::string& lspId, uint32_t type, tv::ProfileMsg* profile) const override {
    auto it = profiles.find({lspId, type});
    if (it == profiles.end()) return false;
    if (profile) *profile = it->second;
    return true;
  }
  uint64_t RegisterCallback(uint32_t type, qor::upm::ProfileCallback callback) override {
    callbacks[type] = std::move(callback);
    return type;
  }
  void UnregisterCallback(uint64_t id) override { callbacks.erase(static_cast<uint32_t>(id)); }
  void Fire(uint32_t type, const std::vector<ProfileUpdate>& updates, bool fullSync) {
    callbacks.at(type)(updates, fullSync);
  }
  std::map<std::pair<std::string, uint32_t>, tv::ProfileMsg> profiles;
  std::map<uint32_t, qor::upm::ProfileCallback> callbacks;
};

tv::TransportSwitchMsg HostSwitch(const std::string& id) {
  tv::TransportSwitchMsg sw;
  sw.set_switch_id(id);
  *sw.mutable_host_switch_id() = test::Uuid(900);
  return sw;
}

tv::TransportNodeConfigMsg Node(uint64_t id, std::vector<tv::TransportSwitchMsg> switches) {
  tv::TransportNodeConfigMsg node;
  *node.mutable_id() = test::Uuid(id);
  for (auto& sw : switches) *node.mutable_transport_switches()->add_switches() = sw;
  return node;
}

// A whole VDS Property Update with UPDATE for one switch carrying one property, field by field: envelope (class 2
// Update, 16-bit length, flags with "more" in the top bit), TLV (type 6, 16-bit length without the envelope),
// 64-byte switch ID, operation, 16-bit entity length from the switch ID on, then the property (key, length counting
// its 4-byte header, value).
Bytes SwitchPropertyMessage(const std::string& switchId, uint16_t key, const std::string& value, bool more = false) {
  const size_t total = 76 + 4 + value.size();
  Bytes m;
  m.B({0, 2}).N16(total).B({more ? 0x80 : 0}).B({0, 6}).N16(total - 5);
  m.Text(switchId, 64).B({1}).N16(total - 9);
  m.N16(key).N16(4 + value.size());
  m.s += value;
  return m;
}

std::string Joined(const std::vector<std::vector<uint8_t>>& messages) {
  std::string out;
  for (const auto& m : messages) out.append(m.begin(), m.end());
  return out;
}

class ProfileCallbackTest : public test::ConverterFixture {
 protected:
  void SetUp() override {
    profiles = fake = std::make_shared<FakeProfileService>();
    ConverterFixture::SetUp();
    {
      qor::test::TempRoot noDevices;
      converter->Start();
    }
    auto ls = Ls(1);
    ls.set_vni(1);
    ls.set_admin_state_up(true);
    feed->Put(ls);
  }
  ProfileUpdate IpDiscoveryProfile(uint64_t lsp, bool arp, bool dhcp) {
    ProfileUpdate update;
    update.entityId = Id(lsp);
    update.profileType = 9;
    update.profile.set_profile_type(9);
    update.profile.mutable_ip_discovery()->set_arp_snooping_enabled(arp);
    update.profile.mutable_ip_discovery()->set_dhcp_snooping_enabled(dhcp);
    fake->profiles[{update.entityId, 9}] = update.profile;
    return update;
  }
  ProfileUpdate Latency(uint64_t lsp, std::optional<uint32_t> value) {
    ProfileUpdate update;
    update.entityId = Id(lsp);
    update.profileType = DVSPropConvertor::kLatencyProfileType;
    update.operation = value ? ProfileUpdate::kSet : ProfileUpdate::kDelete;
    if (value) {
      update.profile.mutable_latency()->set_enabled(true);
      update.profile.mutable_latency()->set_value(*value);
    }
    return update;
  }
  ProfileUpdate NodeLatency(uint64_t node, std::optional<uint32_t> value) {
    ProfileUpdate update = Latency(node, value);
    update.entityKind = ProfileUpdate::kTransportNode;
    return update;
  }
  std::shared_ptr<FakeProfileService> fake;
  LogCapture logs{LOG_LEVEL_DEBUG};
};

TEST_F(ProfileCallbackTest, OverridingPortTakesItsProfilesIpDiscoverySettings) {
  auto profile = IpDiscoveryProfile(11, false, true);
  auto lsp = Lsp(11, 1, "vif-1", "100");
  lsp.set_admin_state_up(true);
  lsp.mutable_ip_discovery()->set_arp_snooping_enabled(true);
  lsp.mutable_ip_discovery()->set_dhcp_snooping_enabled(true);
  lsp.mutable_ip_discovery()->set_override_profile(true);
  feed->Put(lsp);
  Connect("vif-1", "100");
  Flush();
  EXPECT_BYTES(dp.Port("vif-1")[42], Bytes().B({0, 1})) << "the profile's settings";

  auto changed = IpDiscoveryProfile(11, true, false);
  fake->Fire(9, {changed}, false);
  Flush();
  EXPECT_BYTES(dp.Port("vif-1")[42], Bytes().B({1, 0}));
  EXPECT_EQ(logs.Count("DvsPropC UPM logical switch port callback, isFullSync:false"), 1u);

  // A full list without the port: its profile is gone and its own settings apply again.
  fake->profiles.clear();
  fake->Fire(9, {}, true);
  Flush();
  EXPECT_BYTES(dp.Port("vif-1")[42], Bytes().B({1, 1}));
}

TEST_F(ProfileCallbackTest, LatencyFromProfiles) {
  auto lsp = Lsp(11, 1, "vif-1", "100");
  lsp.set_admin_state_up(true);
  feed->Put(lsp);
  feed->Put(Lsp(12, 1, "vx-bus", "vx-1"));
  Connect("vif-1", "100");
  Connect("vx-bus", "vx-1");
  Flush();
  fake->Fire(12, {Latency(11, 250), Latency(12, 10)}, false);
  Flush();
  EXPECT_BYTES(dp.Port("vif-1")[281], Bytes().T("250"));
  EXPECT_EQ(logs.Count("Update latency for LSP [" + test::IdText(11) + "]"), 1u);
  EXPECT_EQ(logs.Count("Skip vessix port vx-1"), 1u);
  EXPECT_TRUE(dp.Port("vx-bus").count(281) == 0);

  // Reconnection keeps the latency; a deletion clears it; a full list without a port clears it too.
  converter->HandleVifDisconnection("100");
  Connect("vif-1", "100");
  Flush();
  EXPECT_BYTES(dp.Port("vif-1")[281], Bytes().T("250"));
  fake->Fire(12, {Latency(11, std::nullopt)}, false);
  Flush();
  EXPECT_EQ(dp.Port("vif-1").count(281), 0u);
  fake->Fire(12, {Latency(11, 5)}, false);
  fake->Fire(12, {}, true);
  Flush();
  EXPECT_EQ(dp.Port("vif-1").count(281), 0u);
}

TEST_F(ProfileCallbackTest, PortThatBecomesAServiceVmPortLosesItsLatencyAndRegainsIt) {
  auto lsp = Lsp(11, 1, "vif-1", "100");
  lsp.set_admin_state_up(true);
  feed->Put(lsp);
  Connect("vif-1", "100");
  fake->Fire(12, {Latency(11, 250)}, false);
  Flush();
  EXPECT_BYTES(dp.Port("vif-1")[281], Bytes().T("250"));

  auto* gvm = lsp.mutable_extra_configs()->add_configs();
  gvm->set_key("com.zantix.port.extraConfig.serviceInsertion.gvm");
  gvm->set_value("g");
  feed->Put(lsp);
  Flush();
  EXPECT_EQ(dp.Port("vif-1").count(281), 0u);
  EXPECT_EQ(logs.Count("Skip GVM/SVM port 100"), 1u);
  gvm->set_value("h");
  feed->Put(lsp);
  EXPECT_EQ(logs.Count("Skip GVM/SVM port 100"), 1u) << "only a change of the port's kind counts";

  lsp.clear_extra_configs();
  feed->Put(lsp);
  Flush();
  EXPECT_BYTES(dp.Port("vif-1")[281], Bytes().T("250"));
}

TEST_F(ProfileCallbackTest, TransportNodeLatencyGoesToTheNodesHostSwitches) {
  auto offloaded = HostSwitch("nic");
  offloaded.set_offloaded(true);
  auto securityOnly = HostSwitch("secure");
  securityOnly.set_mode(2);
  feed->Put(Node(50, {HostSwitch("dvs-1"), offloaded, securityOnly}));
  feed->Put(Node(51, {HostSwitch("dvs-9")}));
  auto lsp = Lsp(11, 1, "vif-1", "100");
  lsp.set_admin_state_up(true);
  feed->Put(lsp);
  Connect("vif-1", "100");
  Flush();

  fake->Fire(12, {NodeLatency(50, 250)}, false);
  auto messages = Flush();
  ASSERT_EQ(messages.size(), 1u) << "one VDS Property Update, for the one active switch of node 50";
  EXPECT_BYTES(Joined(messages), SwitchPropertyMessage("dvs-1", 11, Bytes().T("250").s));
  EXPECT_BYTES(dp.Switch("dvs-1")[11], Bytes().T("250"));
  EXPECT_EQ(dp.Switch("dvs-9").count(11), 0u) << "another node's switch";
  EXPECT_EQ(dp.Switch("nic").count(11), 0u);
  EXPECT_EQ(dp.Switch("secure").count(11), 0u);
  EXPECT_EQ(dp.Port("vif-1").count(281), 0u) << "a node's latency is not a port's";
  EXPECT_EQ(logs.Count("Update latency for transport node [" + test::IdText(50) + "]"), 1u);
  fake->Fire(12, {NodeLatency(50, 250)}, false);
  EXPECT_TRUE(Flush().empty()) << "the same value again";

  // Every rebuild of the node's switch properties carries it: a new switch of the node, the full sync.
  feed->Put(Node(50, {HostSwitch("dvs-1"), HostSwitch("dvs-3")}));
  Flush();
  EXPECT_BYTES(dp.Switch("dvs-3")[11], Bytes().T("250"));
  converter->SendFullSync(true);
  Flush();
  EXPECT_BYTES(dp.Switch("dvs-1")[11], Bytes().T("250"));
  EXPECT_EQ(dp.Switch("dvs-9").count(11), 0u);

  // A deletion clears it (an empty value); so does a full list without the node.
  fake->Fire(12, {NodeLatency(50, std::nullopt)}, false);
  messages = Flush();
  ASSERT_EQ(messages.size(), 2u) << "one piece per switch";
  EXPECT_BYTES(Joined(messages),
               Bytes{SwitchPropertyMessage("dvs-1", 11, "", true).s + SwitchPropertyMessage("dvs-3", 11, "").s});
  EXPECT_EQ(dp.Switch("dvs-1").count(11), 0u);
  EXPECT_EQ(dp.Switch("dvs-3").count(11), 0u);
  fake->Fire(12, {NodeLatency(51, 9)}, false);
  fake->Fire(12, {}, true);
  Flush();
  EXPECT_EQ(dp.Switch("dvs-9").count(11), 0u);
  EXPECT_EQ(logs.Count("Update latency for transport node [" + test::IdText(51) + "]"), 2u);
}

TEST_F(ProfileCallbackTest, LatencyReportedBeforeItsPortOrNodeIsConfigured) {
  // The profile service reads the database on its own: it may report first.
  fake->Fire(12, {Latency(11, 250), NodeLatency(50, 40)}, false);
  EXPECT_TRUE(Flush().empty());
  auto lsp = Lsp(11, 1, "vif-1", "100");
  lsp.set_admin_state_up(true);
  feed->Put(lsp);
  feed->Put(Node(50, {HostSwitch("dvs-1")}));
  Connect("vif-1", "100");
  Flush();
  EXPECT_BYTES(dp.Port("vif-1")[281], Bytes().T("250"));
  EXPECT_BYTES(dp.Switch("dvs-1")[11], Bytes().T("40"));
}

TEST_F(ProfileCallbackTest, FailedLatencySendsAreLoggedAndTheNextFullSyncRepairs) {
  feed->Put(Node(50, {HostSwitch("dvs-1")}));
  fake->Fire(12, {NodeLatency(50, 250)}, false);
  Flush();
  builder->Link().refuseFrom = 0;
  fake->Fire(12, {NodeLatency(50, 7)}, false);
  EXPECT_EQ(logs.Count("Failed to send latency property update for transport node"), 1u);
  fake->Fire(12, {NodeLatency(50, std::nullopt)}, false);
  EXPECT_EQ(logs.Count("Failed to send latency property clear for transport node"), 1u);
  EXPECT_BYTES(dp.Switch("dvs-1")[11], Bytes().T("250")) << "the datapath kept the old value";
  builder->Link().refuseFrom = -1;
  converter->SendFullSync(true);
  Flush();
  EXPECT_EQ(dp.Switch("dvs-1").count(11), 0u);
}

TEST_F(ProfileCallbackTest, StopUnregistersTheCallbacks) {
  EXPECT_EQ(fake->callbacks.size(), 2u);
  converter->Stop();
  EXPECT_TRUE(fake->callbacks.empty());
}

// The real port-profile service, reading a real tolvard, calls the converter; the converter's own view of the
// same objects comes through the configuration table as in the agent.
class ProfileServiceHandOffTest : public test::ConverterFixture {
 protected:
  void SetUp() override {
    server = std::make_unique<qor::tolvar::test::TolvardProcess>(root.Path(), root.Path() + "/tolvar.db");
    writer = NewClient("writer");
    agent = NewClient("agent");
    upm = std::make_shared<qor::upm::UPMService>("agent", agent);
    profiles = upm;
    ConverterFixture::SetUp();
    {
      qor::test::TempRoot noDevices;
      converter->Start();
    }
    ASSERT_TRUE(upm->Start());
  }
  void TearDown() override {
    ConverterFixture::TearDown();
    upm->Stop();
    agent->Stop();
    writer->Stop();
  }
  std::shared_ptr<qor::tolvar::TolvarDbClient> NewClient(const std::string& name) {
    auto client =
        std::make_shared<qor::tolvar::TolvarDbClient>(name, server->Endpoint(), nullptr, nullptr, true, true, false);
    client->SetCallTimeout(std::chrono::seconds(20));
    client->StartAsync();
    return client;
  }
  // Writes the objects to tolvard and gives them to the converter's configuration table.
  void Write(const std::vector<std::pair<uint32_t, const google::protobuf::Message*>>& objects) {
    std::vector<tv::ModifyRequestMsg> requests;
    for (const auto& [type, object] : objects) {
      requests.push_back(qor::tolvar::test::Put(type, *object));
      if (type != tv::PROFILE) feed->Put(*object);
    }
    ASSERT_TRUE(writer->Modify(requests).ok());
  }
  // Applies what the converter sends until the switch's key 11 and the port's key 281 hold the given values.
  bool WaitLatencies(std::optional<std::string> node, std::optional<std::string> port) {
    auto held = [](std::map<uint16_t, std::string> properties, uint16_t key) {
      auto it = properties.find(key);
      return it == properties.end() ? std::nullopt : std::optional<std::string>(it->second);
    };
    return qor::test::WaitFor([&] {
      Flush();
      return held(dp.Switch("dvs-1"), 11) == node && held(dp.Port("vif-1"), 281) == port;
    });
  }
  static tv::ProfileMsg LatencyProfile(uint64_t id, uint32_t value) {
    tv::ProfileMsg profile;
    *profile.mutable_id() = test::Uuid(id);
    profile.set_profile_type(DVSPropConvertor::kLatencyProfileType);
    profile.mutable_latency()->set_enabled(true);
    profile.mutable_latency()->set_value(value);
    return profile;
  }

  qor::test::TempRoot root;
  std::unique_ptr<qor::tolvar::test::TolvardProcess> server;
  std::shared_ptr<qor::tolvar::TolvarDbClient> writer;
  std::shared_ptr<qor::tolvar::TolvarDbClient> agent;
  std::shared_ptr<qor::upm::UPMService> upm;
};

TEST_F(ProfileServiceHandOffTest, LatencyProfilesOfANodeAndOfAPortReachTheDatapath) {
  auto profile = LatencyProfile(3, 250);
  auto node = Node(50, {HostSwitch("dvs-1")});
  *node.add_profile_ids() = test::Uuid(3);
  auto ls = Ls(1);
  ls.set_vni(5001);
  *ls.add_profile_ids() = test::Uuid(3);
  auto lsp = Lsp(11, 1, "vif-1", "100");
  lsp.set_admin_state_up(true);
  Write({{tv::PROFILE, &profile},
         {tv::TRANSPORT_NODE_CONFIG, &node},
         {tv::LOG_SWITCH_CONFIG, &ls},
         {tv::LOG_SWITCH_PORT_CONFIG, &lsp}});
  Connect("vif-1", "100");
  const std::string v250 = Bytes().T("250").s;
  EXPECT_TRUE(WaitLatencies(v250, v250)) << "the node's own profile, and the port's through its switch";

  profile = LatencyProfile(3, 9);
  Write({{tv::PROFILE, &profile}});
  const std::string v9 = Bytes().T("9").s;
  EXPECT_TRUE(WaitLatencies(v9, v9));

  node.clear_profile_ids();
  Write({{tv::TRANSPORT_NODE_CONFIG, &node}});
  EXPECT_TRUE(WaitLatencies(std::nullopt, v9)) << "the node unbinds its profile; the port keeps its switch's";
}

}  // namespace
}  // namespace VevUroro
