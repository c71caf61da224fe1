// The L2 application against the simulator's overlay module: the session, VNI membership, the desired tables
// reaching the module at the join, the VTEP record rules, runtime updates and their order checks, queries, reports,
// BFD records and alarms.
#include <gtest/gtest.h>

#include <cstring>

#include "apps/overlay/OverlayMessages.h"
#include "overlay/L2AppHarness.h"
#include "platform/monitoring/AlarmEventSource.h"
#include "support/LogCapture.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace VevUroro::test {
namespace {

namespace ov = overlay;
using tv::Property;

bool Logged(const qor::test::LogCapture& log, const std::string& text) {
  for (const std::string& line : log.Lines()) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

class L2AppTest : public ::testing::Test {
 protected:
  // A switch with VNI 5001, its table with two VTEPs, a MAC and an ARP entry; the session is up.
  void SetUpSwitch() {
    h.PutSwitch(7, 5001);
    fib = SwitchFib(1, 7);
    *fib.add_vteps() = Vtep(0x0a000001, 11);
    *fib.add_vteps() = Vtep(0x0a000002, 12, 4);
    tv::VmMacMsg* mac = fib.add_vm_macs();
    mac->mutable_mac()->set_mac(0x0050560000aaull);
    *mac->mutable_vtep_ip() = Ipv4(0x0a000001);
    tv::VmIpMsg* ip = fib.add_vm_ips();
    *ip->mutable_ip() = Ipv4(0xc0a80105);
    ip->mutable_mac()->set_mac(0x0050560000aaull);
    *ip->mutable_vtep_ip() = Ipv4(0x0a000001);
    h.PutFib(nullptr, fib);
    h.Connect();
  }
  // Switch 7 (VNI 5001) in routing domain ...77.
  void PutSwitchInRoutingDomain() {
    tv::LogSwitchConfigMsg ls;
    *ls.mutable_id() = UuidOfLow(7);
    ls.set_vni(5001);
    *ls.mutable_routing_domain_id() = UuidOfLow(0x77);
    h.Cache().ConfigTable()->UpdateDesiredState(Decoded(CONFIGCACHE, nullptr, &ls), 0);
  }
  size_t RoutingDomainVtepRecords() {
    std::vector<StateCacheRecord> held;
    h.Cache().L2Table()->QueryRuntime(tv::ROUTING_DOMAIN_VTEP, &held);
    return held.size();
  }
  size_t RuntimeElements(uint32_t property) {
    size_t count = 0;
    for (const StateCacheRecord& r : h.Cache().L2Table()->RuntimeRecords()) count += r.propertyType == property;
    return count;
  }
  std::vector<uint8_t> LocalVtepMessage(std::vector<std::pair<bool, uint32_t>> ops) {
    // One TLV per operation, in the given order.
    ov::Bytes message = ov::BeginMessage(ov::kMsgUpdate, h.app->SessionId());
    for (const auto& [add, address] : ops) {
      ov::Bytes payload;
      ov::PutU32(payload, 9);
      ov::PutU32(payload, 5001);
      ov::PutU16(payload, add ? 1 : 0);
      ov::PutU16(payload, add ? 0 : 1);
      ov::Bytes record = *ov::VtepRecord(Vtep(address, 99));
      payload.insert(payload.end(), record.begin(), record.end());
      ov::AppendTlv(message, ov::kUpdateVtep, payload);
    }
    ov::FinishMessage(message);
    return message;
  }

  qor::test::LogCapture log{LOG_LEVEL_DEBUG};
  L2AppHarness h;
  tv::LogSwitchFibMsg fib;
};

TEST_F(L2AppTest, SessionReachesLevelTwoAndSyncEnds) {
  EXPECT_EQ(h.app->ReadyLevel(), 0u);
  h.Connect();
  EXPECT_EQ(h.app->ReadyLevel(), 2u);
  EXPECT_EQ(h.module.Session(), h.app->SessionId());
  EXPECT_TRUE(h.module.SyncEnded());
  EXPECT_TRUE(Logged(log, "L2App: get L2 mapping session control open ack message from dataplane"));
  EXPECT_EQ(h.module.Malformed(), 0u);
}

TEST_F(L2AppTest, DesiredTablesWaitForTheJoinAndArriveRightAfterIt) {
  SetUpSwitch();
  EXPECT_TRUE(h.module.Tables().empty());
  h.Command({"l2-join", "5001", "9"});
  ASSERT_EQ(h.app->JoinedVnis(), (std::map<uint32_t, uint32_t>{{5001, 9}}));
  ASSERT_EQ(h.module.Tables().count(5001), 1u);
  const auto& tables = h.module.Tables().at(5001);
  EXPECT_EQ(tables.vteps.size(), 2u);
  EXPECT_EQ(tables.macs.size(), 1u);
  EXPECT_EQ(tables.arp.size(), 1u);
  EXPECT_EQ(tables.macLimit, 64u);
  EXPECT_TRUE(Logged(log, "L2App: Add logical switch(VNI: 5001, switchID: 9)"));
  // A later change goes out at once, as a delta.
  tv::LogSwitchFibMsg after = fib;
  after.mutable_vteps()->RemoveLast();
  *after.add_vteps() = Vtep(0x0a000003, 13);
  h.PutFib(&fib, after);
  EXPECT_EQ(h.module.Tables().at(5001).vteps.size(), 2u);
  bool found13 = false;
  for (const auto& [id, entry] : h.module.Tables().at(5001).vteps) found13 |= entry.record[23] == 13;
  EXPECT_TRUE(found13);
  // The runtime object of the joined switch is in the L2 runtime cache.
  std::vector<StateCacheRecord> records;
  ASSERT_TRUE(h.Cache().L2Table()->QueryRuntime(tv::LOG_SWITCH_STATE, &records));
  EXPECT_EQ(records.size(), 1u);
}

TEST_F(L2AppTest, DuplicateJoinAndLeaveOfUnknownVniChangeNothing) {
  SetUpSwitch();
  h.Command({"l2-join", "5001", "9"});
  const size_t sentAfterJoin = h.sent;
  // The module's own table is not touched by a second join; the agent sends nothing.
  h.Deliver(h.module.VniMessage(9, 5001, true));
  EXPECT_TRUE(Logged(log, "L2App: Duplicate VNI Join message: 5001"));
  EXPECT_EQ(h.sent, sentAfterJoin);
  h.Deliver(h.module.VniMessage(4, 777, false));
  EXPECT_TRUE(Logged(log, "L2App: No-existing VNI Leave message: 777"));
  EXPECT_EQ(h.app->JoinedVnis(), (std::map<uint32_t, uint32_t>{{5001, 9}}));
  // A real leave removes the switch's runtime state.
  h.Command({"l2-leave", "5001"});
  EXPECT_TRUE(h.app->JoinedVnis().empty());
  std::vector<StateCacheRecord> records;
  EXPECT_FALSE(h.Cache().L2Table()->QueryRuntime(tv::LOG_SWITCH_STATE, &records) && !records.empty());
}

TEST_F(L2AppTest, VniChangeBeforeTheOpenAckIsDropped) {
  h.PutSwitch(7, 5001);
  h.Link().Up();  // the module's answers are not delivered: no Open ACK yet
  EXPECT_EQ(h.app->ReadyLevel(), 1u);
  std::vector<ov::Bytes> none;
  h.module.Command({"l2-send-session", "x", std::to_string(h.app->SessionId())}, none);
  h.Deliver(h.module.VniMessage(9, 5001, true));
  EXPECT_TRUE(Logged(log, "L2App: not ready to receive internal vxlan VNI change message"));
  EXPECT_TRUE(h.app->JoinedVnis().empty());
}

TEST_F(L2AppTest, MessagesOfAnotherSessionAreSkipped) {
  h.Connect();
  std::vector<ov::Bytes> none;
  h.module.Command({"l2-send-session", "x", "4242"}, none);
  h.Deliver(h.module.VniMessage(9, 5001, true));
  EXPECT_TRUE(Logged(log, "skip messages with sessionID 4242"));
  EXPECT_TRUE(h.app->JoinedVnis().empty());
}

TEST_F(L2AppTest, VtepRecordRules) {
  tv::VtepMsg geneveByDefault = Vtep(0x0a000001, 11);
  geneveByDefault.set_segment_id(0x01020304);
  geneveByDefault.set_type(10);
  auto record = ov::VtepRecord(geneveByDefault);
  ASSERT_TRUE(record);
  // Address type 1, the IPv4 address in network order, label, segment, MAC, encapsulation, MTEP, flag word.
  const ov::Bytes expected = {0, 0, 0, 1,  10, 0, 0, 1, 0,    0,    0,    0, 0, 0,  0, 0, 0, 0, 0, 0,
                              0, 0, 0, 11, 1,  2, 3, 4, 0x00, 0x50, 0x56, 0, 0, 11, 2, 1, 0, 0, 0, 1};
  EXPECT_EQ(*record, expected);
  EXPECT_EQ((*ov::VtepRecord(Vtep(1, 1, 1)))[34], 1);
  EXPECT_EQ((*ov::VtepRecord(Vtep(1, 1, 3)))[34], 2);
  EXPECT_EQ((*ov::VtepRecord(Vtep(1, 1, 4)))[34], 0);
  EXPECT_EQ((*ov::VtepRecord(Vtep(1, 1, 5)))[34], 0);
  EXPECT_FALSE(ov::VtepRecord(Vtep(1, 1, 2)));
  EXPECT_TRUE(Logged(log, "Invalid VTEP encap type 2, IP: 0.0.0.1, label: 1"));
  tv::VtepMsg badMtep = Vtep(1, 1);
  badMtep.set_mtep_capability(4);
  EXPECT_FALSE(ov::VtepRecord(badMtep));
  EXPECT_TRUE(Logged(log, "Invalid MTEP Capability 4"));
  tv::VtepMsg noAddress;
  noAddress.set_label(5);
  EXPECT_FALSE(ov::VtepRecord(noAddress));
  EXPECT_TRUE(Logged(log, "Invalid VTEP has no vtep ip,  label: 5"));
  EXPECT_TRUE(Logged(log, "LCP00019"));
}

TEST_F(L2AppTest, RecordAndTableLayouts) {
  tv::VmIpMsg arp;
  arp.mutable_ip()->set_ipv4(0xc0a80105);
  arp.mutable_mac()->set_mac(0x0050560000aaull);
  *arp.mutable_vtep_ip() = Ipv4(0x0a000001);
  // VM IPv4, VM MAC, VTEP address type, VTEP address (16).
  const ov::Bytes arpBytes = {192, 168, 1, 5, 0, 0x50, 0x56, 0, 0, 0xaa, 0, 0, 0, 1, 10,
                              0,   0,   1, 0, 0, 0,    0,    0, 0, 0,    0, 0, 0, 0, 0};
  EXPECT_EQ(*ov::ArpRecord(arp), arpBytes);
  EXPECT_FALSE(ov::NdRecord(arp));
  tv::VmMacMsg mac;
  mac.mutable_mac()->set_mac(0x0050560000aaull);
  *mac.mutable_vtep_ip() = Ipv4(0x0a000001);
  mac.mutable_vtep_mac()->set_mac(0x020000000001ull);
  // VM MAC, VTEP address type, VTEP address (16), VTEP MAC.
  const ov::Bytes macBytes = {0, 0x50, 0x56, 0, 0, 0xaa, 0, 0, 0, 1, 10, 0, 0, 1, 0, 0,
                              0, 0,    0,    0, 0, 0,    0, 0, 0, 0, 2,  0, 0, 0, 0, 1};
  EXPECT_EQ(ov::VmMacRecord(mac), macBytes);
  // Update header: type 5, length, session; item type, length; switch ID, VNI, added and removed counts.
  auto messages = ov::TableUpdates(0x01020304, ov::kUpdateArp, 9, 5001, {arpBytes}, {});
  ASSERT_EQ(messages.size(), 1u);
  const ov::Bytes head = {0, 5, 0, 54, 1, 2, 3, 4, 0, 3, 0, 46, 0, 0, 0, 9, 0, 0, 0x13, 0x89, 0, 1, 0, 0};
  EXPECT_EQ(ov::Bytes(messages[0].begin(), messages[0].begin() + 24), head);
  EXPECT_EQ(messages[0].size(), 54u);
  // A table larger than one message is split, every message whole.
  std::vector<ov::Bytes> many(3000, arpBytes);
  messages = ov::TableUpdates(1, ov::kUpdateArp, 9, 5001, many, {});
  size_t records = 0;
  for (const ov::Bytes& message : messages) {
    ASSERT_LE(message.size(), ov::kMaxMsgLen);
    records += (message[20] << 8) | message[21];
  }
  EXPECT_EQ(records, 3000u);
  EXPECT_GT(messages.size(), 1u);
}

TEST_F(L2AppTest, RejectedVtepStaysOutOfTheModule) {
  h.PutSwitch(7, 5001);
  fib = SwitchFib(1, 7);
  *fib.add_vteps() = Vtep(0x0a000001, 11, 2);  // encapsulation 2 is refused
  *fib.add_vteps() = Vtep(0x0a000002, 12);     // none: sent as geneve
  h.PutFib(nullptr, fib);
  h.Connect();
  h.Command({"l2-join", "5001", "9"});
  const auto& vteps = h.module.Tables().at(5001).vteps;
  ASSERT_EQ(vteps.size(), 1u);
  EXPECT_EQ(vteps.begin()->second.record[ov::kVtepLabelOffset + 3], 12);
  EXPECT_EQ(vteps.begin()->second.record[ov::kVtepEncapOffset], ov::kEncapGeneve);
}

TEST_F(L2AppTest, LocalTablesBecomeRuntimeStateAndWrongOrderIsRejectedWhole) {
  SetUpSwitch();
  h.Command({"l2-join", "5001", "9"});
  h.Command({"l2-local-vtep", "5001", "10.0.0.9", "77", "add"});
  h.Command({"l2-local-mac", "5001", "00:50:56:aa:bb:cc", "10.0.0.9", "add"});
  EXPECT_EQ(RuntimeElements(Property::L2_VTEP), 1u);
  EXPECT_EQ(RuntimeElements(Property::L2_VM_MAC), 1u);
  // Add then delete of one VTEP in one message: refused whole, the add included.
  h.Deliver(LocalVtepMessage({{true, 0x0a0000f1}, {true, 0x0a0000f2}, {false, 0x0a0000f1}}));
  EXPECT_TRUE(Logged(log, "Invalid VTEP updates order found"));
  EXPECT_EQ(RuntimeElements(Property::L2_VTEP), 1u);
  // Two adds of one VTEP contradict each other.
  h.Deliver(LocalVtepMessage({{true, 0x0a0000f1}, {true, 0x0a0000f1}}));
  EXPECT_TRUE(Logged(log, "Invalid VTEP updates found"));
  EXPECT_EQ(RuntimeElements(Property::L2_VTEP), 1u);
  // Delete then re-add is the right order.
  h.Deliver(LocalVtepMessage({{true, 0x0a0000f1}}));
  h.Deliver(LocalVtepMessage({{false, 0x0a0000f1}, {true, 0x0a0000f1}}));
  EXPECT_EQ(RuntimeElements(Property::L2_VTEP), 2u);
}

TEST_F(L2AppTest, RuntimeUpdatesDuringTheModulesSyncArriveAsOneFullSync) {
  SetUpSwitch();
  h.Command({"l2-join", "5001", "9"});
  h.Command({"l2-local-vtep", "5001", "10.0.0.9", "77", "add"});
  // An out-of-sync report restarts the session; the module replays its joins and local tables.
  const uint32_t before = h.app->SessionId();
  h.Command({"l2-out-of-sync"});
  EXPECT_GT(h.app->SessionId(), before);
  EXPECT_EQ(h.app->ReadyLevel(), 2u);
  EXPECT_TRUE(Logged(log, "L2App: get out-of-sync(1) report from dataplane"));
  EXPECT_EQ(RuntimeElements(Property::L2_VTEP), 1u);
  // The desired tables are whole again after the sweep.
  EXPECT_EQ(h.module.Tables().at(5001).vteps.size(), 2u);
  EXPECT_EQ(h.module.Tables().at(5001).macs.size(), 1u);
}

TEST_F(L2AppTest, QueriesAreAnsweredFromTheDesiredTables) {
  SetUpSwitch();
  h.Command({"l2-join", "5001", "9"});
  h.Command({"l2-query", "mac", "5001", "00:50:56:00:00:aa"});
  h.Command({"l2-query", "arp", "5001", "192.168.1.5"});
  h.Command({"l2-query", "arp", "5001", "192.168.1.6"});
  h.Command({"l2-query", "mac", "6000", "00:50:56:00:00:aa"});
  ASSERT_EQ(h.module.Answers().size(), 3u);
  EXPECT_EQ(h.module.Answers()[0], "mac vni=5001 00:50:56:00:00:aa found vtep=10.0.0.1 vtep-mac=00:00:00:00:00:00");
  EXPECT_EQ(h.module.Answers()[1], "arp vni=5001 192.168.1.5 found mac=00:50:56:00:00:aa");
  EXPECT_EQ(h.module.Answers()[2], "arp vni=5001 192.168.1.6 not found");
  EXPECT_TRUE(Logged(log, "L2App: MAC query, LSID can't be found for VNI 6000"));
}

TEST_F(L2AppTest, MalformedMessagesAreLoggedAndDropped) {
  h.Connect();
  ov::Bytes unknown = ov::Message(99, h.app->SessionId(), 1, {});
  h.Deliver(unknown);
  EXPECT_TRUE(Logged(log, "L2App: unknown vxlan msg 99"));
  ov::Bytes shortJoin = ov::Message(ov::kMsgVniMembership, h.app->SessionId(), ov::kVniMembershipChange, {0, 0, 1});
  h.Deliver(shortJoin);
  EXPECT_TRUE(Logged(log, "L2App: invalid VNI Membership Change message length 3"));
  ov::Bytes badReport = ov::Message(ov::kMsgStateReport, h.app->SessionId(), 2, {1});
  h.Deliver(badReport);
  EXPECT_TRUE(Logged(log, "L2App: unsupported state report data type 2"));
  ov::Bytes truncated = ov::Message(ov::kMsgStateReport, h.app->SessionId(), 1, {1});
  truncated[10] = 0;
  truncated[11] = 40;  // the TLV claims more than the message holds
  h.Deliver(truncated);
  EXPECT_TRUE(Logged(log, "L2App: TLV message validation failed at line 8"));
  EXPECT_TRUE(Logged(log, "LCP00407"));
  EXPECT_EQ(h.app->ReadyLevel(), 2u);
}

TEST_F(L2AppTest, RoutingDomainsAndVtepGroups) {
  PutSwitchInRoutingDomain();
  EXPECT_TRUE(Logged(log, "L2App: Add a new routingDomain ID"));
  EXPECT_TRUE(Logged(log, "L2App: Attach LS"));
  tv::VtepGroupMsg group;
  *group.mutable_id() = UuidOfLow(0x90);
  group.set_group_key(0xabc);
  *group.add_vteps() = Vtep(0x0a000009, 9);
  h.Cache().L2Table()->UpdateDesiredState(Decoded(L2CACHE, nullptr, &group), 0);
  tv::RoutingDomainFibMsg rd;
  *rd.mutable_id() = UuidOfLow(0x88);
  *rd.mutable_routing_domain_id() = UuidOfLow(0x77);
  *rd.add_vteps() = Vtep(0x0a000005, 5);
  tv::VtepGroupLabelMsg* label = rd.add_vtep_group_labels();
  label->set_label(3);
  label->set_group_key(0xabc);
  h.Cache().L2Table()->UpdateDesiredState(Decoded(L2CACHE, nullptr, &rd), 0);
  EXPECT_TRUE(Logged(log, "is to be associated"));
  h.Connect();
  EXPECT_EQ(h.module.VtepGroups().size(), 1u);
  EXPECT_TRUE(h.module.RoutingDomainVteps().empty());  // no switch ID before a VNI of the domain joins
  h.Command({"l2-join", "5001", "9"});
  EXPECT_TRUE(Logged(log, "with switchID 9"));
  EXPECT_EQ(h.module.RoutingDomainVteps().size(), 1u);
  EXPECT_TRUE(h.module.Dump().find("routing domains: 1") != std::string::npos) << h.module.Dump();
  // The group is in use by the routing domain: its delete is refused and it stays.
  h.Cache().L2Table()->UpdateDesiredState(Decoded(L2CACHE, &group, nullptr), 0);
  EXPECT_TRUE(Logged(log, "in use"));
  EXPECT_EQ(h.module.VtepGroups().size(), 1u);
  // A local routing-domain VTEP becomes runtime state of the domain.
  h.Command({"l2-rd-vtep", "9", "00000000-0000-1111-0000-000000000077", "10.0.0.50", "50", "add"});
  std::vector<StateCacheRecord> records;
  ASSERT_TRUE(h.Cache().L2Table()->QueryRuntime(tv::ROUTING_DOMAIN_VTEP, &records));
  EXPECT_EQ(records.size(), 2u);  // the object and its VTEP
  EXPECT_TRUE(Logged(log, "L2App: add local routing domain VTEP 50, switchID 9"));
}

// The module's routing-domain VTEPs are runtime state of a configured domain only; the domain's runtime object goes
// with its last VTEP.
TEST_F(L2AppTest, RoutingDomainVtepsOfUnknownDomainsAreDroppedAndTheObjectGoesWithTheLastVtep) {
  PutSwitchInRoutingDomain();
  h.Connect();
  h.Command({"l2-join", "5001", "9"});
  const std::string known = "00000000-0000-1111-0000-000000000077";
  const std::string unknown = "00000000-0000-1111-0000-00000000dead";
  h.Command({"l2-rd-vtep", "9", unknown, "10.0.0.60", "60", "add"});
  EXPECT_EQ(RoutingDomainVtepRecords(), 0u);
  EXPECT_TRUE(Logged(log, "L2App: ignore routing domain VTEP update of unknown routing domain " + unknown));
  h.Command({"l2-rd-vtep", "9", known, "10.0.0.50", "50", "add"});
  h.Command({"l2-rd-vtep", "9", known, "10.0.0.51", "51", "add"});
  EXPECT_EQ(RoutingDomainVtepRecords(), 3u);  // the object and its two VTEPs
  h.Command({"l2-rd-vtep", "9", known, "10.0.0.50", "50", "del"});
  EXPECT_EQ(RoutingDomainVtepRecords(), 2u);
  h.Command({"l2-rd-vtep", "9", known, "10.0.0.51", "51", "del"});
  EXPECT_EQ(RoutingDomainVtepRecords(), 0u);
  // A new session's runtime full sync writes no empty object either.
  h.Command({"l2-out-of-sync"});
  EXPECT_EQ(h.app->ReadyLevel(), 2u);
  EXPECT_EQ(RoutingDomainVtepRecords(), 0u);
  h.Command({"l2-rd-vtep", "9", known, "10.0.0.52", "52", "add"});
  EXPECT_EQ(RoutingDomainVtepRecords(), 2u);
}

// A routing domain's VTEPs are taken from the switch that carries the domain only (the global domain: the host
// switch's one instance); a report naming another switch is refused and logged.
TEST_F(L2AppTest, RoutingDomainVtepsFromAnotherSwitchAreRefused) {
  PutSwitchInRoutingDomain();
  h.Connect();
  h.Command({"l2-join", "5001", "9"});
  h.Command({"l2-instance", "add", "5"});
  const std::string known = "00000000-0000-1111-0000-000000000077";
  const std::string global = "ffffffff-ffff-ffff-ffff-ffffffffffff";
  h.Command({"l2-rd-vtep", "8", known, "10.0.0.50", "50", "add"});
  EXPECT_TRUE(Logged(log, "L2App: ignore routing domain VTEP update of routing domain " + known +
                              " from switchID 8, the domain is on switchID 9"));
  h.Command({"l2-rd-vtep", "6", global, "10.0.0.70", "70", "add"});
  EXPECT_TRUE(Logged(log, "L2App: ignore routing domain VTEP update of routing domain " + global +
                              " from switchID 6, the domain is on switchID 5"));
  EXPECT_EQ(RoutingDomainVtepRecords(), 0u);
  h.Command({"l2-rd-vtep", "9", known, "10.0.0.50", "50", "add"});
  h.Command({"l2-rd-vtep", "5", global, "10.0.0.70", "70", "add"});
  EXPECT_EQ(RoutingDomainVtepRecords(), 4u);  // two objects, one VTEP each
  // Two instances: the global domain has no one switch, so its reports are refused.
  h.Command({"l2-instance", "add", "6"});
  h.Command({"l2-rd-vtep", "6", global, "10.0.0.71", "71", "add"});
  EXPECT_EQ(RoutingDomainVtepRecords(), 4u);
}

// Bad items of the module are logged for what is wrong with them, not with a text about something else.
TEST_F(L2AppTest, BadItemsAreLoggedForWhatIsWrong) {
  h.Connect();
  const uint32_t session = h.app->SessionId();
  h.Deliver(ov::Message(ov::kMsgVniMembership, session, ov::kVniMembershipChange, {0, 0, 0, 9, 0, 0, 0x13, 0x89, 7}));
  EXPECT_TRUE(Logged(log, "L2App: invalid VNI Membership Change action 7"));
  h.Deliver(ov::Message(ov::kMsgVniMembership, session, 2, {0, 0, 0, 9, 0, 0, 0x13, 0x89, 1}));
  EXPECT_TRUE(Logged(log, "L2App: unsupported VNI Membership Change data type 2"));
  EXPECT_FALSE(Logged(log, "message length 9"));
  EXPECT_TRUE(h.app->JoinedVnis().empty());
  h.Deliver(ov::Message(ov::kMsgInstanceChange, session, ov::kInstanceInsert, {0, 0, 1}));
  EXPECT_TRUE(Logged(log, "L2App: invalid ovl2 instance change message length 3"));
  h.Deliver(ov::Message(ov::kMsgInstanceChange, session, 3, {0, 0, 0, 1}));
  EXPECT_TRUE(Logged(log, "L2App: unsupported ovl2 instance change data type 3"));
  h.Deliver(ov::Message(ov::kMsgAlarm, session, 2, ov::Bytes(ov::kAlarmLen, 0)));
  EXPECT_TRUE(Logged(log, "L2App: unsupported alarm data type 2"));
  EXPECT_FALSE(Logged(log, "need handler"));
  EXPECT_TRUE(h.app->Instances().empty());
  EXPECT_EQ(h.app->ReadyLevel(), 2u);
}

// A fault alarm names its address family and reason: unknown values are refused, not reported as IPv4 or as a
// missing address. A removed transport node is not named by later alarms.
TEST_F(L2AppTest, FaultAlarmsWithUnknownValuesAreRefusedAndARemovedNodeIsForgotten) {
  h.Connect();
  qor::monitoring::AlarmLog::Instance().Clear();
  tv::TransportNodeConfigMsg node;
  *node.mutable_id() = UuidOfLow(0x42);
  node.set_type(1);
  h.Cache().ConfigTable()->UpdateDesiredState(Decoded(CONFIGCACHE, nullptr, &node), 0);
  h.Command({"l2-alarm", "fault", "1", "0", "1", "vmk10", "dvs-a"});
  EXPECT_TRUE(Logged(log, "L2AlarmReporter: OnAlarmMessage: unknown address family 0 in fault alarm"));
  h.Command({"l2-alarm", "fault", "1", "9", "2", "vmk10", "dvs-a"});
  EXPECT_TRUE(Logged(log, "L2AlarmReporter: OnAlarmMessage: unknown address family 9 in fault alarm"));
  h.Command({"l2-alarm", "fault", "1", "1", "5", "vmk10", "dvs-a"});
  EXPECT_TRUE(Logged(log, "L2AlarmReporter: OnAlarmMessage: unknown fault kind 5 in fault alarm"));
  EXPECT_TRUE(Logged(log, "LCP00407"));
  EXPECT_TRUE(qor::monitoring::AlarmLog::Instance().Snapshot().empty());
  EXPECT_EQ(h.app->AlarmReporter().PendingCount(), 0u);
  h.Command({"l2-alarm", "fault", "1", "1", "2", "vmk10", "dvs-a"});
  auto alarms = qor::monitoring::AlarmLog::Instance().Snapshot();
  ASSERT_EQ(alarms.size(), 1u);
  EXPECT_NE(alarms[0].json.find("\"all IP IPv4 BFD tunnels from TEP are down\""), std::string::npos);

  h.Cache().ConfigTable()->UpdateDesiredState(Decoded(CONFIGCACHE, &node, nullptr), 0);
  h.Command({"l2-alarm", "ha", "0", "0", "0", "vmk10", "dvs-a"});
  EXPECT_EQ(qor::monitoring::AlarmLog::Instance().Snapshot().size(), 1u);
  EXPECT_EQ(h.app->AlarmReporter().PendingCount(), 1u);
  EXPECT_TRUE(Logged(log, "L2AlarmReporter: ReportPending: failed to get host uuid"));
}

// The operator's dump of the two opening messages and of every message received.
TEST_F(L2AppTest, OpeningAndReceivedMessagesAreDumpedAtDebugLevel) {
  h.Connect();
  const std::string session = std::to_string(h.app->SessionId());
  EXPECT_TRUE(Logged(
      log, "L2App: VXLAN Message: Init (type 1), session " + session + ", 16 bytes; Init (type 1, 4 bytes): 00000001"));
  EXPECT_TRUE(Logged(log, "L2App: VXLAN Message: Session control (type 13), session " + session +
                              ", 16 bytes; Open (type 1, 4 bytes): "));
  EXPECT_TRUE(Logged(log, "L2App: VXLAN Message: Session control (type 13), session " + session +
                              ", 16 bytes; Open ACK (type 2, 4 bytes): "));
  h.Command({"l2-join", "5001", "9"});
  EXPECT_TRUE(Logged(log, "; VNI membership change (type 1, 9 bytes): 000000090000138901"));
}

TEST(OverlayMessageDump, NamesEachItemAndCutsLongOnes) {
  ov::Bytes message = ov::BeginMessage(ov::kMsgUpdate, 0x0102);
  ov::AppendTlv(message, ov::kUpdateBfdSession, {0xab, 0x01});
  ov::AppendTlv(message, ov::kUpdateVtep, ov::Bytes(ov::kDumpItemBytes + 1, 0xff));
  ov::FinishMessage(message);
  EXPECT_EQ(ov::DumpMessage(message.data(), message.size()),
            "VXLAN Message: Update (type 5), session 258, 147 bytes; BFD Session Update (type 9, 2 bytes): ab01; "
            "VTEP Membership Update (type 1, 129 bytes): " +
                std::string(2 * ov::kDumpItemBytes, 'f') + "...");
  // A frame that does not read whole is shown raw.
  message[3] = 200;
  const std::string raw = ov::DumpMessage(message.data(), 8);
  EXPECT_EQ(raw.rfind("VXLAN Message: unreadable at offset ", 0), 0u) << raw;
  EXPECT_EQ(raw.substr(raw.size() - 27), ", 8 bytes: 000500c800000102") << raw;
}

// The join of a VNI whose desired tables wait is logged before they go out; a group label let go of a group that
// was never configured names the domain and the group.
TEST_F(L2AppTest, JoinAheadOfWaitingTablesAndMissingGroupsAreLogged) {
  SetUpSwitch();
  h.Command({"l2-join", "5001", "9"});
  EXPECT_TRUE(Logged(log, "L2App: insert VNI join before inserting local FIB update: 5001"));
  tv::RoutingDomainFibMsg rd;
  *rd.mutable_id() = UuidOfLow(0x88);
  *rd.mutable_routing_domain_id() = UuidOfLow(0x77);
  tv::VtepGroupLabelMsg* label = rd.add_vtep_group_labels();
  label->set_label(3);
  label->set_group_key(0xdef);
  h.Cache().L2Table()->UpdateDesiredState(Decoded(L2CACHE, nullptr, &rd), 0);
  EXPECT_TRUE(Logged(log, "L2App: VTEP Group (3567) config does not exist"));
  tv::RoutingDomainFibMsg without = rd;
  without.clear_vtep_group_labels();
  h.Cache().L2Table()->UpdateDesiredState(Decoded(L2CACHE, &rd, &without), 0);
  EXPECT_TRUE(Logged(log, "L2App: VTEP Group config does not exist 00000000-0000-1111-0000-000000000077/3567"));
}

// Desired removals made while the kernel link is down are not sent then; the next session resends the desired
// tables and the module drops what was not sent again, so the removals hold.
TEST_F(L2AppTest, RemovalsMadeWhileTheLinkIsDownReachTheModuleInTheNextSession) {
  SetUpSwitch();
  h.Command({"l2-join", "5001", "9"});
  ASSERT_EQ(h.module.Tables().at(5001).vteps.size(), 2u);
  ASSERT_EQ(h.module.Tables().at(5001).macs.size(), 1u);
  h.Link().Down();
  tv::LogSwitchFibMsg fewer = fib;
  fewer.mutable_vteps()->RemoveLast();
  fewer.clear_vm_macs();
  const size_t sentBefore = h.sent;
  h.PutFib(&fib, fewer);
  EXPECT_EQ(h.sent, sentBefore);  // nothing goes out on a down link
  EXPECT_EQ(h.module.Tables().at(5001).vteps.size(), 2u);
  h.Connect();
  EXPECT_EQ(h.app->ReadyLevel(), 2u);
  EXPECT_EQ(h.module.Tables().at(5001).vteps.size(), 1u);
  EXPECT_TRUE(h.module.Tables().at(5001).macs.empty());
  EXPECT_EQ(h.module.Tables().at(5001).arp.size(), 1u);
}

// The global routing domain rides on the host switch's one overlay instance: its desired VTEPs go out under that
// instance with the global flag, at each instance change and in each session (so the module's sweep keeps them);
// two instances or instance 0 send nothing. The module's own VTEPs of the domain are runtime state.
TEST_F(L2AppTest, GlobalRoutingDomainFollowsTheOverlayInstance) {
  const std::string global = "ffffffff-ffff-ffff-ffff-ffffffffffff";
  std::vector<std::vector<uint8_t>> sent;
  auto forward = h.Link().onSend;
  h.Link().onSend = [&](const std::vector<uint8_t>& message) {
    sent.push_back(message);
    forward(message);
  };
  h.Connect();
  EXPECT_TRUE(Logged(log, "L2App: sync global routing domain, no ovl2 instance found"));
  tv::RoutingDomainFibMsg rd;
  *rd.mutable_id() = UuidOfLow(0x99);
  rd.mutable_routing_domain_id()->set_high(~0ull);
  rd.mutable_routing_domain_id()->set_low(~0ull);
  *rd.add_vteps() = Vtep(0x0a000031, 31);
  *rd.add_vteps() = Vtep(0x0a000032, 32);
  h.Cache().L2Table()->UpdateDesiredState(Decoded(L2CACHE, nullptr, &rd), 0);
  EXPECT_TRUE(h.module.RoutingDomainVteps().empty());  // no instance yet

  sent.clear();
  h.Command({"l2-instance", "add", "5"});
  EXPECT_TRUE(Logged(log, "L2App: L2 remote routing state cache sync to dp msg"));
  EXPECT_EQ(h.module.RoutingDomainVteps().size(), 2u);
  ASSERT_EQ(sent.size(), 1u);
  // Header 8, item header 4, then switch ID, routing domain, global flag, added and removed counts.
  const std::vector<uint8_t>& m = sent[0];
  ASSERT_EQ(m.size(), 8u + 4 + 25 + 2 * 40);
  EXPECT_EQ(ov::GetU16(m.data()), ov::kMsgUpdate);
  EXPECT_EQ(ov::GetU16(m.data() + 8), ov::kUpdateRoutingDomainVtep);
  EXPECT_EQ(ov::GetU32(m.data() + 12), 5u);
  EXPECT_EQ(std::vector<uint8_t>(m.begin() + 16, m.begin() + 32), std::vector<uint8_t>(16, 0xff));
  EXPECT_EQ(m[32], 1);
  EXPECT_EQ(ov::GetU16(m.data() + 33), 2u);
  EXPECT_EQ(ov::GetU16(m.data() + 35), 0u);

  sent.clear();
  h.Command({"l2-instance", "add", "6"});
  EXPECT_TRUE(Logged(log, "L2App: only one host switch is supported for global routing domain 2 instance found"));
  // A fresh agent facing two instances sends the domain to neither: the first instance's VTEPs are withdrawn.
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(ov::GetU32(sent[0].data() + 12), 5u);
  EXPECT_EQ(ov::GetU16(sent[0].data() + 33), 0u);
  EXPECT_EQ(ov::GetU16(sent[0].data() + 35), 2u);
  EXPECT_TRUE(h.module.RoutingDomainVteps().empty());
  h.Command({"l2-instance", "remove", "6"});
  EXPECT_EQ(h.module.RoutingDomainVteps().size(), 2u);
  // A desired change of the domain goes out as a delta.
  tv::RoutingDomainFibMsg more = rd;
  *more.add_vteps() = Vtep(0x0a000033, 33);
  h.Cache().L2Table()->UpdateDesiredState(Decoded(L2CACHE, &rd, &more), 0);
  EXPECT_EQ(h.module.RoutingDomainVteps().size(), 3u);

  // The module's VTEP of the global domain is runtime state; in a new session it is reported before the sync ends
  // and waits for the runtime full sync; the desired VTEPs survive the module's sweep.
  h.Command({"l2-rd-vtep", "5", global, "10.0.0.70", "70", "add"});
  std::vector<StateCacheRecord> records;
  ASSERT_TRUE(h.Cache().L2Table()->QueryRuntime(tv::ROUTING_DOMAIN_VTEP, &records));
  EXPECT_EQ(records.size(), 2u);
  h.Command({"l2-out-of-sync"});
  EXPECT_EQ(h.app->ReadyLevel(), 2u);
  EXPECT_TRUE(Logged(log, "L2App: L2 runtime statecache full sync not done, queue global routing domain update"));
  EXPECT_EQ(h.module.RoutingDomainVteps().size(), 3u);
  records.clear();
  ASSERT_TRUE(h.Cache().L2Table()->QueryRuntime(tv::ROUTING_DOMAIN_VTEP, &records));
  EXPECT_EQ(records.size(), 2u);

  h.Command({"l2-instance", "remove", "5"});
  h.Command({"l2-instance", "add", "0"});
  EXPECT_TRUE(Logged(log, "L2App: invalid sync global routing domain " + global));
  EXPECT_TRUE(Logged(log, "LCP00901"));
}

// Changes of the global routing domain made while it has no single instance reach the module when it has one
// again: what the module then holds is what a fresh agent would send, removals included.
TEST_F(L2AppTest, GlobalRoutingDomainChangesMadeWithoutASingleInstanceAreNotLost) {
  h.Connect();
  tv::RoutingDomainFibMsg rd;
  *rd.mutable_id() = UuidOfLow(0x99);
  rd.mutable_routing_domain_id()->set_high(~0ull);
  rd.mutable_routing_domain_id()->set_low(~0ull);
  *rd.add_vteps() = Vtep(0x0a000031, 31);
  *rd.add_vteps() = Vtep(0x0a000032, 32);
  h.Cache().L2Table()->UpdateDesiredState(Decoded(L2CACHE, nullptr, &rd), 0);
  h.Command({"l2-instance", "add", "5"});
  ASSERT_EQ(h.module.RoutingDomainVteps().size(), 2u);

  h.Command({"l2-instance", "add", "6"});
  tv::RoutingDomainFibMsg changed = rd;
  changed.mutable_vteps()->RemoveLast();
  *changed.add_vteps() = Vtep(0x0a000033, 33);
  h.Cache().L2Table()->UpdateDesiredState(Decoded(L2CACHE, &rd, &changed), 0);
  EXPECT_TRUE(h.module.RoutingDomainVteps().empty());
  h.Command({"l2-instance", "remove", "6"});
  std::set<uint32_t> labels;
  for (const auto& [key, entry] : h.module.RoutingDomainVteps()) labels.insert(ov::GetU32(entry.record.data() + 20));
  EXPECT_EQ(labels, (std::set<uint32_t>{31, 33}));
}

// A reloaded module reports its instances anew: the agent forgets those of the module that went, so the global
// routing domain goes to the one instance there is, as a fresh agent would send it; a link flap keeps it.
TEST_F(L2AppTest, InstancesOfAGoneModuleAreForgottenAtANewSession) {
  h.Connect();
  tv::RoutingDomainFibMsg rd;
  *rd.mutable_id() = UuidOfLow(0x99);
  rd.mutable_routing_domain_id()->set_high(~0ull);
  rd.mutable_routing_domain_id()->set_low(~0ull);
  *rd.add_vteps() = Vtep(0x0a000031, 31);
  *rd.add_vteps() = Vtep(0x0a000032, 32);
  h.Cache().L2Table()->UpdateDesiredState(Decoded(L2CACHE, nullptr, &rd), 0);
  h.Command({"l2-instance", "add", "5"});
  ASSERT_EQ(h.module.RoutingDomainVteps().size(), 2u);

  h.Link().Down();
  h.Connect();  // the same module: it reports instance 5 again and keeps the domain through its sweep
  EXPECT_EQ(h.app->Instances(), (std::set<uint32_t>{5}));
  EXPECT_EQ(h.module.RoutingDomainVteps().size(), 2u);

  h.Link().Down();
  h.module.~OverlayModule();
  new (&h.module) qor::dpsim::OverlayModule();  // reloaded: it holds nothing and knows no instance
  h.Connect();
  EXPECT_TRUE(h.app->Instances().empty());
  h.Command({"l2-instance", "add", "6"});
  EXPECT_EQ(h.app->Instances(), (std::set<uint32_t>{6}));
  EXPECT_FALSE(Logged(log, "only one host switch is supported"));
  tv::RoutingDomainFibMsg less = rd;
  less.mutable_vteps()->RemoveLast();
  h.Cache().L2Table()->UpdateDesiredState(Decoded(L2CACHE, &rd, &less), 0);
  ASSERT_EQ(h.module.RoutingDomainVteps().size(), 1u);
  EXPECT_EQ(ov::GetU32(h.module.RoutingDomainVteps().begin()->second.record.data() + ov::kVtepLabelOffset), 31u);
}

class CapturingListener : public IBfdVniListener {
 public:
  void HandleStateCacheVNIUpdate(uint32_t vni, const std::string&, bool joined) override {
    calls.emplace_back(vni, joined);
  }
  std::vector<std::pair<uint32_t, bool>> calls;
};

TEST_F(L2AppTest, BfdRecordsWaitForTheJoinAndTheListenerHearsOfIt) {
  CapturingListener listener;
  h.app->SetBfdVniListener(&listener);
  SetUpSwitch();
  BfdSessionUpdate session;
  session.vni = 5001;
  session.localIp.bytes = {10, 0, 0, 1};
  session.remoteIp.bytes = {10, 0, 0, 2};
  session.localLabel = 11;
  session.remoteLabel = 12;
  ASSERT_TRUE(h.app->SendBfdSession(session));
  ASSERT_TRUE(h.app->SendBfdSession(session));  // a second user: still one session
  BfdHostSwitchConfig config;
  config.dvsUuid[0] = 0xab;
  config.enabled = true;
  config.vtepHealthInterval = 1000;
  ASSERT_TRUE(h.app->SendBfdConfig(config));
  EXPECT_TRUE(h.module.BfdSessions().empty());
  EXPECT_EQ(h.module.BfdConfigs().size(), 1u);
  h.Command({"l2-join", "5001", "9"});
  ASSERT_EQ(h.module.BfdSessions().size(), 1u);
  const ov::Bytes& record = h.module.BfdSessions().begin()->second.record;
  EXPECT_EQ(record[4], 9);     // switch ID
  EXPECT_EQ(record[8], 0x89);  // VNI 5001 = 0x1389
  EXPECT_EQ(listener.calls, (std::vector<std::pair<uint32_t, bool>>{{5001, true}}));
  session.op = BfdSessionOp::kDelete;
  ASSERT_TRUE(h.app->SendBfdSession(session));
  EXPECT_TRUE(h.module.BfdSessions().empty());
  h.Command({"l2-leave", "5001"});
  EXPECT_EQ(listener.calls.back(), std::make_pair(5001u, false));
  h.app->SetBfdVniListener(nullptr);
}

// A session record names one address type for both ends: a mixed pair is refused, kept nowhere and not sent.
TEST_F(L2AppTest, BfdSessionOfMixedAddressFamiliesIsRefused) {
  SetUpSwitch();
  h.Command({"l2-join", "5001", "9"});
  BfdSessionUpdate session;
  session.vni = 5001;
  session.localIp.bytes = {10, 0, 0, 1};
  session.remoteIp.isIPv6 = true;
  session.remoteIp.bytes = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
  EXPECT_FALSE(h.app->SendBfdSession(session));
  EXPECT_TRUE(
      Logged(log, "L2App: BuildBFDSessionEntryMsg type error: Local IP type is v4: true, RemoteIP type is v4: false"));
  EXPECT_TRUE(h.module.BfdSessions().empty());
  // Not kept either: a new session sends nothing for it.
  h.Command({"l2-out-of-sync"});
  EXPECT_TRUE(h.module.BfdSessions().empty());
}

TEST_F(L2AppTest, InstancesAndAlarms) {
  h.Connect();
  h.Command({"l2-instance", "add", "1"});
  h.Command({"l2-instance", "add", "1"});
  EXPECT_TRUE(Logged(log, "L2App: ovl2 instance 1 already exit"));
  h.Command({"l2-instance", "remove", "2"});
  EXPECT_TRUE(Logged(log, "L2App: ovl2 instance 2 not exit"));
  EXPECT_EQ(h.app->Instances(), (std::set<uint32_t>{1}));

  qor::monitoring::AlarmLog::Instance().Clear();

  h.Command({"l2-alarm", "fault", "1", "2", "1", "vmk10", "dvs-a"});
  EXPECT_EQ(h.app->AlarmReporter().PendingCount(), 1u);  // the host is not known yet
  EXPECT_TRUE(Logged(log, "L2AlarmReporter: ReportPending: failed to get host uuid"));
  tv::TransportNodeConfigMsg node;
  *node.mutable_id() = UuidOfLow(0x42);
  node.set_type(1);
  h.Cache().ConfigTable()->UpdateDesiredState(Decoded(CONFIGCACHE, nullptr, &node), 0);
  auto alarms = qor::monitoring::AlarmLog::Instance().Snapshot();
  ASSERT_EQ(alarms.size(), 1u);
  EXPECT_EQ(alarms[0].source, "l2AlarmReporter");
  EXPECT_EQ(alarms[0].component, "vevUroro_l2");
  EXPECT_NE(alarms[0].json.find("\"vtep_name\":\"vmk10\""), std::string::npos);
  EXPECT_NE(alarms[0].json.find("\"vtep_fault_reason\":\"TEP does not have an IPv6 address\""), std::string::npos);
  EXPECT_TRUE(Logged(log, "Succeeded to send L2 TKMNIC FAULT status alarm for host"));
}

TEST_F(L2AppTest, AlarmReporterCarriesTheDpuAndRefusesWithoutASource) {
  L2AlarmReporter refused([](const std::string&, const std::string&) { return nullptr; });
  EXPECT_FALSE(refused.Start());
  EXPECT_TRUE(Logged(log, "L2App: Start: Failed to create alarm event source."));

  qor::monitoring::AlarmLog::Instance().Clear();
  L2AlarmReporter reporter;
  ASSERT_TRUE(reporter.Start());
  reporter.OnBackingInfo(false, "dpu-1", false);
  EXPECT_TRUE(Logged(log, "skip SN backing info. Not on a DPU"));
  reporter.OnBackingInfo(true, "", false);
  EXPECT_TRUE(Logged(log, "skip SN backing info. current active not available"));
  reporter.OnBackingInfo(true, "dpu-1", false);
  reporter.OnBackingInfo(true, "dpu-1", false);
  EXPECT_TRUE(Logged(log, "L2AlarmReporter: OnBackingInfo: state not changed"));
  reporter.SetHostUuid("host-1");
  // HA state, then automatic recovery of a NIC whose name is not of the expected form.
  std::vector<uint8_t> payload(ov::kAlarmLen, 0);
  payload[0] = ov::kAlarmHaState;
  std::memcpy(payload.data() + 4, "vmk1", 4);
  ASSERT_TRUE(reporter.OnAlarmMessage(payload.data(), payload.size()));
  payload[0] = ov::kAlarmAutoRecovery;
  std::memcpy(payload.data() + 4, "bad-", 4);
  ASSERT_TRUE(reporter.OnAlarmMessage(payload.data(), payload.size()));
  EXPECT_TRUE(Logged(log, "L2AlarmReporter: tkmName: bad- not in expected fromat"));
  EXPECT_FALSE(reporter.OnAlarmMessage(payload.data(), payload.size() - 1));
  auto alarms = qor::monitoring::AlarmLog::Instance().Snapshot();
  ASSERT_EQ(alarms.size(), 2u);
  EXPECT_EQ(alarms[0].json,
            "{\"transport_node_id\":\"host-1\",\"vtep_name\":\"vmk1\",\"vtep_state\":\"ACTIVE\",\"dpu_id\":"
            "\"dpu-1\",\"dvs_name\":\"\"}");
  EXPECT_TRUE(Logged(log, "Succeeded to send L2 TKMNIC STATE HA status alarm for host host-1."));
  EXPECT_TRUE(Logged(log, "Succeeded to send L2 TKMNIC AUTO RECOVERY state alarm for host host-1."));
}

// Instance changes before the open ACK are held as the last change per instance: a flapping instance holds one
// entry, and the ACK leaves the same instances as applying every change in turn.
TEST_F(L2AppTest, InstanceChangesBeforeTheOpenAckKeepTheLastPerInstance) {
  h.Link().Up();  // no open ACK delivered yet
  auto change = [&](uint16_t type, uint32_t instance) {
    ov::Bytes payload;
    ov::PutU32(payload, instance);
    h.Deliver(ov::Message(ov::kMsgInstanceChange, h.app->SessionId(), type, payload));
  };
  for (int round = 0; round < 1000; ++round) {
    change(ov::kInstanceInsert, 1);
    change(ov::kInstanceRemove, 1);
    change(ov::kInstanceInsert, 2);
  }
  change(ov::kInstanceInsert, 3);
  change(ov::kInstanceRemove, 3);
  EXPECT_EQ(h.app->QueuedInstanceCount(), 3u);
  h.Pump();
  EXPECT_EQ(h.app->ReadyLevel(), 2u);
  EXPECT_EQ(h.app->QueuedInstanceCount(), 0u);
  EXPECT_EQ(h.app->Instances(), (std::set<uint32_t>{2}));
}

// Alarms held while the host is unknown: the latest per kind, reason and NIC, at most kMaxPendingAlarms of them.
// A module that reports more distinct instances before the open ACK than a host has switches fills a bounded queue;
// what does not fit is dropped with a log line, and a later change of a queued instance still replaces its first.
TEST_F(L2AppTest, InstanceChangesBeforeTheOpenAckAreBounded) {
  h.Link().Up();  // no open ACK delivered yet
  auto change = [&](uint16_t type, uint32_t instance) {
    ov::Bytes payload;
    ov::PutU32(payload, instance);
    h.Deliver(ov::Message(ov::kMsgInstanceChange, h.app->SessionId(), type, payload));
  };
  for (uint32_t i = 1; i <= L2App::kMaxQueuedInstances + 10; ++i) change(ov::kInstanceInsert, i);
  EXPECT_EQ(h.app->QueuedInstanceCount(), L2App::kMaxQueuedInstances);
  EXPECT_TRUE(Logged(log, "L2App: 1024 ovl2 instances queued, dropping the change of instance 1025"));
  EXPECT_TRUE(Logged(log, "LCP00407"));
  for (uint32_t i = 2; i <= L2App::kMaxQueuedInstances; ++i) change(ov::kInstanceRemove, i);
  EXPECT_EQ(h.app->QueuedInstanceCount(), L2App::kMaxQueuedInstances);
  h.Pump();
  EXPECT_EQ(h.app->ReadyLevel(), 2u);
  EXPECT_EQ(h.app->Instances(), (std::set<uint32_t>{1}));
}

TEST_F(L2AppTest, PendingAlarmsKeepTheLatestPerNicAndAreBounded) {
  qor::monitoring::AlarmLog::Instance().Clear();
  L2AlarmReporter reporter;
  ASSERT_TRUE(reporter.Start());
  std::vector<uint8_t> payload(ov::kAlarmLen, 0);
  payload[0] = ov::kAlarmFault;
  payload[2] = ov::kAlarmFamilyIPv4;
  payload[3] = ov::kFaultNoAddress;
  std::memcpy(payload.data() + 4, "vmk1", 4);
  for (int i = 0; i < 2000; ++i) {
    payload[1] = (i + 1) % 2;  // down, up, ..., ending up
    ASSERT_TRUE(reporter.OnAlarmMessage(payload.data(), payload.size()));
  }
  std::memcpy(payload.data() + 4, "vmk2", 4);
  payload[1] = 1;
  ASSERT_TRUE(reporter.OnAlarmMessage(payload.data(), payload.size()));
  EXPECT_EQ(reporter.PendingCount(), 2u);
  reporter.SetHostUuid("host-1");
  auto alarms = qor::monitoring::AlarmLog::Instance().Snapshot();
  ASSERT_EQ(alarms.size(), 2u);
  EXPECT_NE(alarms[0].json.find(R"("vtep_name":"vmk1","vtep_state":"UP")"), std::string::npos);
  EXPECT_NE(alarms[1].json.find(R"("vtep_name":"vmk2","vtep_state":"DOWN")"), std::string::npos);

  // Distinct NICs beyond the bound: the oldest is dropped, and the drop is logged.
  L2AlarmReporter flooded;
  ASSERT_TRUE(flooded.Start());
  for (size_t i = 0; i < L2AlarmReporter::kMaxPendingAlarms + 10; ++i) {
    const std::string name = "vmk" + std::to_string(i);
    std::fill(payload.begin() + 4, payload.begin() + 4 + ov::kTkmNameLen, 0);
    std::memcpy(payload.data() + 4, name.data(), name.size());
    ASSERT_TRUE(flooded.OnAlarmMessage(payload.data(), payload.size()));
  }
  EXPECT_EQ(flooded.PendingCount(), L2AlarmReporter::kMaxPendingAlarms);
  EXPECT_TRUE(Logged(log, "alarms pending, dropping the oldest for vmk0"));
}

TEST_F(L2AppTest, ControllerAddressMessage) {
  tv::CcpSessionMsg session;
  session.mutable_controller_ipv4()->set_ipv4(0x0a010203);
  std::string v6(16, '\0');
  v6[15] = 1;
  session.mutable_controller_ipv6()->set_ipv6(v6);
  ov::Bytes payload = L2App::ControllerAddressPayload(5, 6, session);
  ASSERT_EQ(payload.size() + ov::kTlvHeaderLen, 36u);  // the message's item, with its header
  const ov::Bytes head = {0, 0, 0, 5, 0, 0, 0, 6, 10, 1, 2, 3, 0, 0, 0, 3};
  EXPECT_EQ(ov::Bytes(payload.begin(), payload.begin() + 16), head);
  EXPECT_EQ(payload[31], 1);
  EXPECT_TRUE(Logged(log, "BuildCtlrIPUpdateMsg: Controller address type is IPV4_AND_IPV6"));
  L2App::ControllerAddressPayload(0, 0, tv::CcpSessionMsg());
  EXPECT_TRUE(Logged(log, "BuildCtlrIPUpdateMsg: Invalid Controller address type"));
}

// A joined switch moved to another VNI: its records and MAC limit leave the old VNI, the old VNI's local reports are
// no longer written under it, and leaving the old VNI keeps the runtime state the new VNI wrote for it.
TEST_F(L2AppTest, SwitchMovedToAnotherVniLeavesTheOldOne) {
  SetUpSwitch();
  h.Command({"l2-join", "5001", "9"});
  h.Command({"l2-join", "5002", "10"});
  ASSERT_EQ(h.module.Tables().at(5001).vteps.size(), 2u);
  ASSERT_EQ(h.module.Tables().at(5001).macLimit, std::optional<uint32_t>(64));
  tv::LogSwitchConfigMsg before;
  *before.mutable_id() = UuidOfLow(7);
  before.set_vni(5001);
  before.mutable_mac_management()->mutable_mac_learning()->mutable_limit()->set_limit(64);
  tv::LogSwitchConfigMsg after = before;
  after.set_vni(5002);
  h.Cache().ConfigTable()->UpdateDesiredState(Decoded(CONFIGCACHE, &before, &after), 0);
  h.Pump();
  const auto& old = h.module.Tables().at(5001);
  EXPECT_TRUE(old.vteps.empty());
  EXPECT_TRUE(old.macs.empty());
  EXPECT_EQ(old.macLimit, std::nullopt);
  EXPECT_EQ(h.module.Tables().at(5002).vteps.size(), 2u);
  EXPECT_EQ(h.module.Tables().at(5002).macLimit, std::optional<uint32_t>(64));
  // Removals from the switch's table now reach the new VNI.
  tv::LogSwitchFibMsg fewer = fib;
  fewer.mutable_vteps()->RemoveLast();
  h.PutFib(&fib, fewer);
  EXPECT_EQ(h.module.Tables().at(5002).vteps.size(), 1u);
  // A VTEP the module reports on the old VNI belongs to no configured switch.
  h.Command({"l2-local-vtep", "5001", "10.0.0.9", "77", "add"});
  EXPECT_EQ(RuntimeElements(Property::L2_VTEP), 0u);
  h.Command({"l2-local-vtep", "5002", "10.0.0.8", "78", "add"});
  EXPECT_EQ(RuntimeElements(Property::L2_VTEP), 1u);
  h.Command({"l2-leave", "5001"});
  EXPECT_EQ(RuntimeElements(Property::L2_VTEP), 1u);
  std::vector<StateCacheRecord> records;
  ASSERT_TRUE(h.Cache().L2Table()->QueryRuntime(tv::LOG_SWITCH_STATE, &records));
  size_t objects = 0;
  for (const StateCacheRecord& r : records) objects += r.propertyType == 0;
  EXPECT_EQ(objects, 1u);
}

// Settings the module keeps until told otherwise are withdrawn when removed: a removed MAC limit is lifted, a removed
// replication mode is set back to 0 and a removed controller session leaves no controller address; a new session
// does not bring them back.
TEST_F(L2AppTest, RemovedSettingsAreWithdrawnFromTheModule) {
  h.PutSwitch(7, 5001);  // MAC limit 64
  h.Connect();
  h.Command({"l2-join", "5001", "9"});
  ASSERT_EQ(h.module.Tables().at(5001).macLimit, std::optional<uint32_t>(64));
  tv::LogSwitchConfigMsg before;
  *before.mutable_id() = UuidOfLow(7);
  before.set_vni(5001);
  before.mutable_mac_management()->mutable_mac_learning()->mutable_limit()->set_limit(64);
  tv::LogSwitchConfigMsg after = before;
  after.clear_mac_management();
  h.Cache().ConfigTable()->UpdateDesiredState(Decoded(CONFIGCACHE, &before, &after), 0);
  h.Pump();
  EXPECT_EQ(h.module.Tables().at(5001).macLimit, std::nullopt);

  auto update = [](uint32_t type, uint64_t id, const google::protobuf::Message& value, bool set) {
    TolvarUpdateMsg entry;
    entry.objectType = type;
    entry.objectId = UuidOfLow(id).SerializeAsString();
    entry.value = value.SerializeAsString();
    entry.operation = set ? TolvarUpdateMsg::OP_SET : TolvarUpdateMsg::OP_CLEAR;
    return std::list<TolvarUpdateMsg>{entry};
  };
  tv::GlobalConfigMsg global;
  *global.mutable_id() = UuidOfLow(80);
  global.mutable_switching()->set_replication_mode(2);
  tv::CcpSessionMsg session;
  session.mutable_controller_ipv4()->set_ipv4(0x0a010203);
  h.app->UpdateDesiredState(update(tv::GLOBAL_CONFIG, 80, global, true), 0);
  h.app->UpdateDesiredState(update(tv::CCP_SESSION, 81, session, true), 0);
  h.Pump();
  ASSERT_EQ(h.module.ReplicationMode(), std::optional<uint32_t>(2));
  ASSERT_EQ(h.module.ControllerAddress().size(), ov::kControllerAddressLen);
  ASSERT_EQ(h.module.ControllerAddress()[15], ov::kCtlrIPv4);
  h.app->UpdateDesiredState(update(tv::GLOBAL_CONFIG, 80, global, false), 0);
  h.app->UpdateDesiredState(update(tv::CCP_SESSION, 81, session, false), 0);
  h.Pump();
  EXPECT_EQ(h.module.ReplicationMode(), std::optional<uint32_t>(0));
  EXPECT_EQ(h.module.ControllerAddress(), ov::Bytes(ov::kControllerAddressLen, 0));
  EXPECT_FALSE(Logged(log, "BuildCtlrIPUpdateMsg: Invalid Controller address type"));
  h.app->SimulateOutOfSync();
  h.Pump();
  EXPECT_EQ(h.module.ReplicationMode(), std::optional<uint32_t>(0));
  EXPECT_EQ(h.module.ControllerAddress(), ov::Bytes(ov::kControllerAddressLen, 0));
  EXPECT_EQ(h.module.Tables().at(5001).macLimit, std::nullopt);
}

}  // namespace
}  // namespace VevUroro::test
