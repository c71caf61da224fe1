// IP discovery in-process: the switch-security link is a test link, the database a test double, the runtime state
// a real configuration table. Message layouts are checked at the offsets of the channel's format (header: type,
// total length; TLVs: type, length counting the header; 23-byte binding records), read byte by byte.
#include <gtest/gtest.h>

#include <cstring>

#include "apps/config/IpDiscovery.h"
#include "support/LogCapture.h"
#include "tests/config/TestLinks.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace VevUroro {
namespace {

namespace tv = zantix::qor::tolvar;

uint16_t U16(const std::vector<uint8_t>& bytes, size_t at) {
  return static_cast<uint16_t>((bytes.at(at) << 8) | bytes.at(at + 1));
}

// A guest-bindings message of the test's VIF and switch holding one IPv4 binding whose address ends in `lastByte`.
void ExpectOneIpv4Binding(const std::vector<uint8_t>& m, uint8_t lastByte) {
  ASSERT_EQ(m.size(), 18u + 4 + 5 + 23);
  EXPECT_EQ(U16(m, 25), 4 + 23);
  EXPECT_EQ(m[27], 1);
  EXPECT_EQ(m[31], lastByte);
}

tv::DaVifAddressBindingMsg Binding(uint32_t ipv4, uint64_t mac, bool withMac = true) {
  tv::DaVifAddressBindingMsg binding;
  binding.mutable_ip()->set_ipv4(ipv4);
  if (withMac) binding.mutable_mac()->set_mac(mac);
  binding.set_address_family(4);
  return binding;
}

TolvarUpdateMsg DaVifEntry(const tv::DaVifMsg& vif, int32_t operation = TolvarUpdateMsg::OP_SET) {
  TolvarUpdateMsg entry;
  entry.objectType = tv::DA_VIF;
  entry.objectId = vif.id();
  entry.propertyType = 550;
  entry.value = vif.SerializeAsString();
  entry.operation = operation;
  return entry;
}

class FakeDatabase : public IConfigDatabase {
 public:
  void Get(const std::vector<tv::ObjectRequestMsg>& requests, GetCallback done) override {
    asked.insert(asked.end(), requests.begin(), requests.end());
    done(objects, status);
  }
  bool EchoAsync(const std::string&, EchoCallback) override { return false; }
  int64_t LastActivitySeconds() const override { return 0; }

  std::vector<tv::ObjectRequestMsg> asked;
  std::vector<tv::TypedObjectMsg> objects;
  qor::rpc::Status status;
};

class IpDiscoveryComponentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    IpDiscovery::Collaborators c;
    c.table = table.get();
    c.database = database;
    c.links = links.Factory();
    c.ports = [this](const std::string& vifId, ConnectedPort* port) {
      auto it = ports.find(vifId);
      if (it == ports.end()) return false;
      if (port) *port = it->second;
      return true;
    };
    c.ready = [this](std::list<TolvarUpdateMsg> updates, bool connection) {
      ready.emplace_back(std::move(updates), connection);
    };
    discovery = new IpDiscovery(c);
    discovery->Start(ConfigTree());
    discovery->PostStart();
    ports["vif-a"] = ConnectedPort{"1001", "dvs-1", 1};
  }
  void TearDown() override { discovery->Stop(); }
  test::TestLink& Swsec() { return links["swsec_tkmlink"]; }
  // The runtime VIF_STATE bindings of `vif`, as the table holds them.
  void StoreRuntimeBinding(const std::string& vif, uint32_t source) {
    tv::VifStateMsg state;
    state.set_id(vif);
    auto* binding = state.add_discovered_bindings();
    binding->mutable_ip()->set_ipv4(0x0a000001);
    binding->set_discovery_source(source);
    TolvarUpdateMsg object;
    object.objectType = tv::VIF_STATE;
    object.objectId = vif;
    object.operation = TolvarUpdateMsg::OP_SET;
    tv::VifStateMsg whole;
    whole.set_id(vif);
    object.value = whole.SerializeAsString();
    TolvarUpdateMsg property = object;
    property.propertyType = tv::Property::VIF_IP_DISCOVEREDBINDING;
    property.value = state.SerializeAsString();
    table->UpdateRuntimeState({object, property}, false);
  }

  qor::test::LogCapture log;
  qor::RefPtr<StateCacheConfigTable> table{new StateCacheConfigTable()};
  std::shared_ptr<FakeDatabase> database = std::make_shared<FakeDatabase>();
  test::TestLinks links;
  std::map<std::string, ConnectedPort> ports;
  std::vector<std::pair<std::list<TolvarUpdateMsg>, bool>> ready;
  qor::RefPtr<IpDiscovery> discovery;
};

TEST_F(IpDiscoveryComponentTest, GuestBindingsCarryOnlyTheUsableBindingsBackToBack) {
  EXPECT_EQ(links.bufferSizes.at("swsec_tkmlink"), 4096u);
  EXPECT_TRUE(Swsec().started);
  Swsec().Up();
  tv::DaVifMsg vif;
  vif.set_id("vif-a");
  *vif.add_bindings() = Binding(0x0a000005, 0x005056aabb01);
  *vif.add_bindings() = Binding(0x0a000006, 0, false);  // no MAC: not usable
  auto* v6 = vif.add_bindings();
  std::string address(16, '\0');
  for (int i = 0; i < 16; ++i) address[i] = static_cast<char>(0x20 + i);
  v6->mutable_ip()->set_ipv6(address);
  v6->mutable_mac()->set_mac(0x0a0b0c0d0e0f);
  v6->set_address_family(6);
  discovery->UpdateDesiredState({DaVifEntry(vif)}, false);

  auto sent = Swsec().Take();
  ASSERT_EQ(sent.size(), 1u);
  const auto& m = sent[0];
  // 18 + port ID (4) + switch ID (5) + 2 records of 23 bytes.
  ASSERT_EQ(m.size(), 18u + 4 + 5 + 46);
  EXPECT_EQ(U16(m, 0), 1);
  EXPECT_EQ(U16(m, 2), m.size());
  EXPECT_EQ(U16(m, 4), 1);
  EXPECT_EQ(U16(m, 6), 4 + 5);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&m[8]), 5), std::string("1001\0", 5));
  EXPECT_EQ(U16(m, 13), 2);
  EXPECT_EQ(U16(m, 15), 5 + 5);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&m[17]), 6), std::string("dvs-1\0", 6));
  EXPECT_EQ(U16(m, 23), 3);
  EXPECT_EQ(U16(m, 25), 50);
  const uint8_t* r0 = &m[27];
  EXPECT_EQ(r0[0], 1);
  EXPECT_EQ((std::vector<uint8_t>(r0 + 1, r0 + 17)),
            (std::vector<uint8_t>{10, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ((std::vector<uint8_t>(r0 + 17, r0 + 23)), (std::vector<uint8_t>{0x00, 0x50, 0x56, 0xaa, 0xbb, 0x01}));
  const uint8_t* r1 = &m[50];
  EXPECT_EQ(r1[0], 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r1 + 1), 16), address);
  EXPECT_EQ((std::vector<uint8_t>(r1 + 17, r1 + 23)), (std::vector<uint8_t>{0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f}));
  EXPECT_EQ(log.Count("IpDiscovery: Skipped davif binding item"), 1u);
  EXPECT_TRUE(log.Has({"IpDiscovery: quillon discovered bindings: 2/3"}));
}

TEST_F(IpDiscoveryComponentTest, TheIpv4FlagFollowsTheAddressFamilyAndAMismatchedBindingIsSkipped) {
  Swsec().Up();
  tv::DaVifMsg vif;
  vif.set_id("vif-a");
  auto* v4InFamily6 = vif.add_bindings();
  *v4InFamily6 = Binding(0x0a000007, 0x005056aabb07);
  v4InFamily6->set_address_family(6);
  auto* v6InFamily4 = vif.add_bindings();
  v6InFamily4->mutable_ip()->set_ipv6(std::string(16, '\x20'));
  v6InFamily4->mutable_mac()->set_mac(0x005056aabb08);
  v6InFamily4->set_address_family(4);
  *vif.add_bindings() = Binding(0x0a000009, 0x005056aabb09);
  discovery->UpdateDesiredState({DaVifEntry(vif)}, false);
  auto sent = Swsec().Take();
  ASSERT_EQ(sent.size(), 1u);
  const auto& m = sent[0];
  ASSERT_NO_FATAL_FAILURE(ExpectOneIpv4Binding(m, 9));
  EXPECT_EQ(m[28], 10);
  EXPECT_EQ(log.Count("IpDiscovery: Skipped davif binding item"), 2u);
}

// An IP address message that holds neither an IPv4 nor an IPv6 address has no address: the binding would reach the
// module as the address "::".
TEST_F(IpDiscoveryComponentTest, ABindingWhoseIpHoldsNoAddressIsSkipped) {
  Swsec().Up();
  tv::DaVifMsg vif;
  vif.set_id("vif-a");
  auto* empty = vif.add_bindings();
  empty->mutable_ip();
  empty->mutable_mac()->set_mac(0x005056aabb0a);
  empty->set_address_family(6);
  *vif.add_bindings() = Binding(0x0a00000b, 0x005056aabb0b);
  discovery->UpdateDesiredState({DaVifEntry(vif)}, false);
  auto sent = Swsec().Take();
  ASSERT_EQ(sent.size(), 1u);
  ASSERT_NO_FATAL_FAILURE(ExpectOneIpv4Binding(sent[0], 11));
  EXPECT_EQ(log.Count("IpDiscovery: Skipped davif binding item"), 1u);
  EXPECT_TRUE(log.Has({"IpDiscovery: quillon discovered bindings: 1/2"}));
}

TEST_F(IpDiscoveryComponentTest, NothingIsSentWhileTheLinkIsDownOrTheVifIsNotConnected) {
  tv::DaVifMsg vif;
  vif.set_id("vif-a");
  *vif.add_bindings() = Binding(1, 2);
  discovery->UpdateDesiredState({DaVifEntry(vif)}, false);
  EXPECT_TRUE(log.Has({"IpDiscovery: DAVIF_MSG received. Swsec tkmlink not ready."}));
  Swsec().Up();
  vif.set_id("vif-gone");
  discovery->UpdateDesiredState({DaVifEntry(vif)}, false);
  EXPECT_TRUE(log.Has({"IpDiscovery: davif contains vif id vif-gone that is not connected"}));
  ports["vif-noswitch"] = ConnectedPort{"1002", "", 1};
  vif.set_id("vif-noswitch");
  discovery->UpdateDesiredState({DaVifEntry(vif)}, false);
  EXPECT_TRUE(log.Has({"IpDiscovery: failed to get switch ID"}));
  EXPECT_TRUE(Swsec().Take().empty());
  Swsec().Down();
  EXPECT_FALSE(discovery->LinkUp());
  // Any other entry operation is refused.
  TolvarUpdateMsg odd = DaVifEntry(vif, TolvarUpdateMsg::OP_INSERT);
  discovery->UpdateDesiredState({odd}, false);
  EXPECT_TRUE(log.Has({"IpDiscovery: DaVif invalid op 3, not caching or writing to StateCache", "LCP00001"}));
}

TEST_F(IpDiscoveryComponentTest, FullSyncGivesAnEmptyListToConnectedVifsItNoLongerLists) {
  Swsec().Up();
  ports["vif-b"] = ConnectedPort{"1002", "dvs-1", 1};
  StoreRuntimeBinding("vif-a", 4);     // guest-reported, connected, not in the sync: empty list
  StoreRuntimeBinding("vif-b", 3);     // discovered by the datapath: not the module's business
  StoreRuntimeBinding("vif-gone", 4);  // guest-reported, not connected: only logged
  tv::DaVifMsg listed;
  listed.set_id("vif-b");
  *listed.add_bindings() = Binding(7, 8);
  discovery->UpdateDesiredState({DaVifEntry(listed)}, true);
  auto sent = Swsec().Take();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&sent[0][8])), "1002");
  EXPECT_EQ(U16(sent[0], 25), 4 + 23);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&sent[1][8])), "1001");
  EXPECT_EQ(U16(sent[1], 25), 4) << "an empty binding list";
  EXPECT_TRUE(log.Has({"IpDiscovery: full sync delete VIF vif-gone not found in local cache"}));

  // A full sync without any DA_VIF is a complete, empty state too.
  discovery->UpdateDesiredState({}, true);
  sent = Swsec().Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(U16(sent[0], 25), 4);
  // Outside a full sync an empty list is nothing to do.
  discovery->UpdateDesiredState({}, false);
  EXPECT_TRUE(Swsec().Take().empty());
  EXPECT_TRUE(log.Has({"IpDiscovery: Received empty msgs from TolvarDb"}));
}

TEST_F(IpDiscoveryComponentTest, RemovedDaVifClearsTheModulesList) {
  Swsec().Up();
  tv::DaVifMsg vif;
  vif.set_id("vif-a");
  *vif.add_bindings() = Binding(1, 2);
  // The decoder hands a removal over with the old body: its bindings must not be sent again.
  discovery->UpdateDesiredState({DaVifEntry(vif, TolvarUpdateMsg::OP_CLEAR)}, false);
  auto sent = Swsec().Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(U16(sent[0], 25), 4);
}

TEST_F(IpDiscoveryComponentTest, SolicitationIsAnsweredFromTheDatabase) {
  Swsec().Up();
  tv::DaVifMsg stored;
  stored.set_id("vif-a");
  *stored.add_bindings() = Binding(0x0a000009, 0x1);
  tv::TypedObjectMsg object;
  object.set_object_type(tv::DA_VIF);
  object.set_object_body(stored.SerializeAsString());
  database->objects = {object};

  Swsec().Deliver({0, 2, 0, 10, 'v', 'i', 'f', '-', 'a', 0});
  ASSERT_EQ(database->asked.size(), 1u);
  EXPECT_EQ(database->asked[0].object_type(), tv::DA_VIF);
  EXPECT_EQ(database->asked[0].object_id(), "vif-a");
  auto sent = Swsec().Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(U16(sent[0], 25), 4 + 23);
  EXPECT_TRUE(log.Has({"IpDiscovery: retrieved da_vif from tolvarDB with binding sz = 1"}));

  // The last byte is read as the terminator: a VIF ID that fills the message loses its last character.
  Swsec().Deliver({0, 2, 0, 9, 'v', 'i', 'f', '-', 'a'});
  EXPECT_EQ(database->asked.back().object_id(), "vif-");

  database->objects.clear();
  Swsec().Deliver({0, 2, 0, 10, 'v', 'i', 'f', '-', 'a', 0});
  EXPECT_TRUE(log.Has({"IpDiscovery: No da_vif found."}));
  database->status = qor::rpc::Status(qor::rpc::StatusCode::UNAVAILABLE, "down");
  Swsec().Deliver({0, 2, 0, 10, 'v', 'i', 'f', '-', 'a', 0});
  EXPECT_TRUE(log.Has({"IpDiscovery: Tolvar get failed."}));
}

TEST_F(IpDiscoveryComponentTest, ShortForeignOrEmptySolicitationsAreDropped) {
  Swsec().Up();
  const size_t before = database->asked.size();
  Swsec().Deliver({0, 2, 0});
  Swsec().Deliver({0, 3, 0, 6, 'x', 0});
  Swsec().Deliver({0, 2, 0, 4});       // no byte after the header: no VIF ID
  Swsec().Deliver({0, 2, 0, 5, 0});    // only the terminator
  Swsec().Deliver({0, 2, 0, 5, 'x'});  // one character, read as the terminator
  EXPECT_EQ(database->asked.size(), before);
  EXPECT_EQ(log.Count("IpDiscovery: DP MSG length shorter than expected."), 4u);
  EXPECT_EQ(log.Count("IpDiscovery: DP MSG type not supported"), 1u);
}

TEST_F(IpDiscoveryComponentTest, GuestBindingsThatWouldOverflowTheLengthsAreCut) {
  tv::DaVifMsg vif;
  vif.set_id("vif-a");
  for (int i = 0; i < 3000; ++i) *vif.add_bindings() = Binding(static_cast<uint32_t>(i), 1);
  size_t usable = 0;
  auto message = IpDiscovery::BuildGuestBindings("1001", "dvs-1", vif, &usable);
  const size_t room = (65535 - 18 - 4 - 5) / 23;
  EXPECT_EQ(usable, room);
  ASSERT_EQ(message.size(), 18 + 4 + 5 + 23 * room);
  EXPECT_LE(message.size(), 65535u);
  EXPECT_EQ(U16(message, 2), message.size());
  EXPECT_EQ(U16(message, 25), 4 + 23 * room);
  EXPECT_TRUE(log.Has({"IpDiscovery: guest bindings of VIF vif-a cut to", "LCP00001"}));
  // IDs that leave no room even for the header: nothing to send.
  EXPECT_TRUE(IpDiscovery::BuildGuestBindings(std::string(70000, 'p'), "dvs-1", vif, &usable).empty());
}

// One Discovered Bindings property written by hand from the record layout: family, 16 address bytes, MAC, VLAN
// (big-endian), method, native-order timestamp; `extra` trailing bytes that do not make a record.
kcp::KcpProperty BindingsProperty(const std::vector<std::pair<uint32_t, uint8_t>>& v4AndMethod, size_t extra = 0) {
  kcp::KcpProperty property;
  property.key = 3;
  for (const auto& [ip, method] : v4AndMethod) {
    uint8_t r[34] = {};
    r[0] = 1;
    r[1] = static_cast<uint8_t>(ip >> 24);
    r[2] = static_cast<uint8_t>(ip >> 16);
    r[3] = static_cast<uint8_t>(ip >> 8);
    r[4] = static_cast<uint8_t>(ip);
    const uint8_t mac[6] = {0x00, 0x50, 0x56, 0x01, 0x02, 0x03};
    std::memcpy(r + 17, mac, 6);
    r[23] = 0x01;  // VLAN 0x0102
    r[24] = 0x02;
    r[25] = method;
    uint64_t timestamp = 0x1122334455667788ULL;
    std::memcpy(r + 26, &timestamp, 8);
    property.value.insert(property.value.end(), r, r + 34);
  }
  property.value.insert(property.value.end(), extra, 0xee);
  return property;
}

TEST_F(IpDiscoveryComponentTest, DiscoveredBindingsBecomeRuntimeStateWithMappedSources) {
  // Property lengths 37 (33 value bytes) and 72 (68): none and two bindings.
  EXPECT_EQ(IpDiscovery::BindingsMessage("v", BindingsProperty({}, 33)).discovered_bindings_size(), 0);
  EXPECT_EQ(IpDiscovery::BindingsMessage("v", BindingsProperty({{1, 1}, {2, 2}})).discovered_bindings_size(), 2);

  const std::vector<std::pair<uint8_t, uint32_t>> mapping = {{1, 3}, {2, 2}, {8, 5}, {16, 6}, {32, 4}, {64, 7}};
  std::vector<std::pair<uint32_t, uint8_t>> records;
  for (const auto& [method, source] : mapping) records.emplace_back(0x0a000000 + method, method);
  records.emplace_back(0x0a0000ff, 4);  // unlisted method
  tv::VifStateMsg state = IpDiscovery::BindingsMessage("vif-a", BindingsProperty(records));
  ASSERT_EQ(state.discovered_bindings_size(), 7);
  for (size_t i = 0; i < mapping.size(); ++i) {
    const auto& b = state.discovered_bindings(static_cast<int>(i));
    EXPECT_EQ(b.discovery_source(), mapping[i].second) << "method " << int(mapping[i].first);
    EXPECT_EQ(b.ip().ipv4(), 0x0a000000u + mapping[i].first);
    EXPECT_EQ(b.mac().mac(), 0x005056010203u);
    EXPECT_EQ(b.vlan(), 0x0102u);
    EXPECT_EQ(b.timestamp(), 0x1122334455667788ULL);
  }
  EXPECT_EQ(state.discovered_bindings(6).discovery_source(), 0u) << "left unset";
  EXPECT_TRUE(log.Has({"IP Discovery: Received unsupported discovery source binding from datapath", "LCP00001"}));

  // In a full sync the entries go to the ready callback; afterwards straight into the runtime state.
  discovery->ProcessIpDiscList({IpDiscoveryInput{"vif-a", {BindingsProperty({{5, 1}})}, 1}}, true);
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_FALSE(ready[0].second);
  ASSERT_EQ(ready[0].first.size(), 1u);
  EXPECT_EQ(ready[0].first.front().propertyType, tv::Property::VIF_IP_DISCOVEREDBINDING);
  std::string value;
  EXPECT_FALSE(table->QueryRuntimeState("vif-a", tv::Property::VIF_IP_DISCOVEREDBINDING, &value));
  discovery->ProcessIpDiscList({IpDiscoveryInput{"vif-a", {BindingsProperty({{5, 1}})}, 1}}, false);
  ASSERT_TRUE(table->QueryRuntimeState("vif-a", tv::Property::VIF_IP_DISCOVEREDBINDING, &value));
  tv::VifStateMsg stored;
  ASSERT_TRUE(stored.ParseFromString(value));
  EXPECT_EQ(stored.id(), "vif-a");
  EXPECT_EQ(stored.discovered_bindings(0).discovery_source(), 3u);
  EXPECT_EQ(ready.size(), 1u);
}

TEST_F(IpDiscoveryComponentTest, ContainerVifsGetTheirObjectFirstAndLoseItWithTheirLastBinding) {
  ports["cif-1"] = ConnectedPort{"2001", "dvs-1", 3};
  discovery->ProcessIpDiscList({IpDiscoveryInput{"cif-1", {BindingsProperty({{9, 2}})}, 1}}, true);
  ASSERT_EQ(ready.size(), 1u);
  const auto& updates = ready[0].first;
  ASSERT_EQ(updates.size(), 2u);
  EXPECT_EQ(updates.front().propertyType, 0) << "the object before its property";
  tv::VifStateMsg binding;
  ASSERT_TRUE(binding.ParseFromString(updates.back().value));
  EXPECT_EQ(binding.vif_type(), 3u);
  EXPECT_TRUE(log.Has({"IpDiscovery: InitVifStateMsgByVifID container vif cif-1"}));

  discovery->ProcessIpDiscList({IpDiscoveryInput{"cif-1", {BindingsProperty({{9, 2}})}, 1}}, false);
  std::string value;
  ASSERT_TRUE(table->QueryRuntimeState("cif-1", 0, &value));
  // The datapath's bindings become empty: the whole object goes, at once outside a full sync.
  discovery->ProcessIpDiscList({IpDiscoveryInput{"cif-1", {BindingsProperty({})}, 2}}, false);
  EXPECT_FALSE(table->QueryRuntimeState("cif-1", 0, &value));
  EXPECT_FALSE(table->QueryRuntimeState("cif-1", tv::Property::VIF_IP_DISCOVEREDBINDING, &value));
  EXPECT_TRUE(log.Has({"IpDiscovery: no discovery binding with vif cif-1"}));
}

TEST_F(IpDiscoveryComponentTest, VifConnectionsReportReadyOnlyInAFullSync) {
  discovery->ProcessVifUpdate({}, false);
  EXPECT_TRUE(ready.empty());
  discovery->ProcessVifUpdate({}, true);
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_TRUE(ready[0].second);
  EXPECT_TRUE(ready[0].first.empty());
}

}  // namespace
}  // namespace VevUroro
