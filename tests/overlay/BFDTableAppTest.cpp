// The BFD table application against a real tolvard through the agent's desired-state path: which sessions its
// users make, what reaches the datapath, the refusals and the configuration pushes.
#include <gtest/gtest.h>

#include "cli/CliServer.h"
#include "overlay/BfdAppFixture.h"
#include "platform/ovs/Unixctl.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace VevUroro::test {
namespace {

using Sessions = std::vector<BfdSessionUpdate>;

BfdEndpointAddress V4(uint32_t address) {
  BfdEndpointAddress ip;
  for (int i = 0; i < 4; ++i) ip.bytes[i] = static_cast<uint8_t>(address >> (24 - 8 * i));
  return ip;
}

BfdVtep Endpoint(uint32_t address, uint32_t label) {
  return BfdVtep{V4(address), label};
}

constexpr uint32_t kLocal = 0x0a000001;    // 10.0.0.1
constexpr uint32_t kRemoteA = 0x0a000002;  // 10.0.0.2
constexpr uint32_t kRemoteB = 0x0a000003;  // 10.0.0.3

class BFDTableAppTest : public BfdAppFixture {};

TEST_F(BFDTableAppTest, SessionsOfASegmentFollowItsLocalAndRemoteVteps) {
  Transact({Put(tv::LOG_SWITCH_CONFIG, LogicalSwitch(1, 5001)),
            Put(tv::LOG_SWITCH_FIB, SwitchFib(10, 1, {Vtep(kRemoteA, 2), Vtep(kRemoteB, 3), Vtep6(9, 4)}))});
  EXPECT_TRUE(_dataplane.Sessions().empty());  // no local VTEP yet
  LocalSwitchVteps(1, 5001, {Vtep(kLocal, 1)});

  Sessions sent = _dataplane.Sessions();
  ASSERT_EQ(sent.size(), 2u);  // the IPv6 remote has no IPv6 local to pair with
  for (const BfdSessionUpdate& update : sent) {
    EXPECT_EQ(update.op, BfdSessionOp::kAdd);
    EXPECT_EQ(update.vni, 5001u);
    EXPECT_EQ(update.localIp, V4(kLocal));
    EXPECT_EQ(update.localLabel, 1u);
    EXPECT_EQ(update.sessionType, static_cast<uint32_t>(kBfdTunnelSession));
    EXPECT_EQ(update.tnVgLabel, 0u);
  }
  EXPECT_EQ(sent[0].remoteIp, V4(kRemoteA));
  EXPECT_EQ(sent[0].remoteLabel, 2u);
  EXPECT_EQ(sent[1].remoteIp, V4(kRemoteB));

  // A remote VTEP leaves the segment's table: its session goes, on the VNI it was added on.
  _dataplane.Clear();
  Transact({Put(tv::LOG_SWITCH_FIB, SwitchFib(10, 1, {Vtep(kRemoteA, 2), Vtep6(9, 4)}))});
  sent = _dataplane.Sessions();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].op, BfdSessionOp::kDelete);
  EXPECT_EQ(sent[0].remoteIp, V4(kRemoteB));
  EXPECT_EQ(sent[0].vni, 5001u);

  // The local VTEP goes: every session goes.
  _dataplane.Clear();
  LocalSwitchVteps(1, 5001, {}, {Vtep(kLocal, 1)});
  sent = _dataplane.Sessions();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].op, BfdSessionOp::kDelete);
  EXPECT_TRUE(_app->Entries().empty());
  EXPECT_TRUE(_dataplane.Live().empty());
}

// A segment in a routing domain counts for the domain; the domain's own VTEPs are a second user of the same session.
TEST_F(BFDTableAppTest, SecondUserOfASessionKeepsOneSession) {
  const tv::UuidMsg domain = Uuid(50);
  Transact({Put(tv::LOG_SWITCH_CONFIG, LogicalSwitch(1, 5001, domain)),
            Put(tv::LOG_SWITCH_FIB, SwitchFib(10, 1, {Vtep(kRemoteA, 2)}))});
  LocalSwitchVteps(1, 5001, {Vtep(kLocal, 1)});
  ASSERT_EQ(_dataplane.Sessions().size(), 1u);
  EXPECT_TRUE(_log.Has({"BFDTableApp: Add a new routingDomain ID " + qor::tolvar::UuidToString(0x1234, 50)}));

  Transact({Put(tv::ROUTING_DOMAIN_FIB, DomainFib(20, domain, {Vtep(kRemoteA, 2)}))});
  LocalDomainVteps(domain, {Vtep(kLocal, 1)});
  EXPECT_EQ(_dataplane.Sessions().size(), 1u);  // no second add
  BfdTable::Entries entries = _app->Entries();
  ASSERT_EQ(entries.size(), 1u);
  const std::string rd = qor::tolvar::UuidToString(0x1234, 50);
  EXPECT_EQ(entries.begin()->second.references, (std::set<BfdReference>{{UuidTextOf(1), rd}, {rd, rd}}));
  EXPECT_TRUE(_log.Has({"AddBFDSessionToBFDTable: Insert remoteID: " + rd + "(tunnel), localID: " + rd}));

  // One user leaves: the session stays, nothing is sent.
  Transact({qor::tolvar::test::Delete(tv::ROUTING_DOMAIN_FIB, UuidBytes(20))});
  EXPECT_EQ(_dataplane.Sessions().size(), 1u);
  ASSERT_EQ(_app->Entries().size(), 1u);
  EXPECT_EQ(_dataplane.Live().size(), 1u);

  // The last one leaves: the session goes.
  Transact({qor::tolvar::test::Delete(tv::LOG_SWITCH_FIB, UuidBytes(10))});
  ASSERT_EQ(_dataplane.Sessions().size(), 2u);
  EXPECT_EQ(_dataplane.Sessions()[1].op, BfdSessionOp::kDelete);
  EXPECT_TRUE(_app->Entries().empty());
}

TEST_F(BFDTableAppTest, GlobalRoutingDomainMembershipsCreateNoSession) {
  const tv::UuidMsg global = GlobalRoutingDomain();
  Transact({Put(tv::LOG_SWITCH_CONFIG, LogicalSwitch(1, 5001, global)),
            Put(tv::LOG_SWITCH_FIB, SwitchFib(10, 1, {Vtep(kRemoteA, 2)})),
            Put(tv::ROUTING_DOMAIN_FIB, DomainFib(20, global, {Vtep(kRemoteB, 3)}))});
  LocalSwitchVteps(1, 5001, {Vtep(kLocal, 1)});
  LocalDomainVteps(global, {Vtep(kLocal, 1)});
  EXPECT_TRUE(_dataplane.Sessions().empty());
  EXPECT_TRUE(_app->Entries().empty());
  EXPECT_TRUE(_log.Has({"BFDTable::RoutingDomainBasedBFDLocalL2CacheUpdate: Skip global routing domain"}));

  // Leaving the global domain, the segment's own sessions appear.
  Transact({Put(tv::LOG_SWITCH_CONFIG, LogicalSwitch(1, 5001))});
  ASSERT_EQ(_dataplane.Sessions().size(), 1u);
  EXPECT_EQ(_dataplane.Sessions()[0].remoteIp, V4(kRemoteA));
}

TEST_F(BFDTableAppTest, RefusedChangesSendNothing) {
  // A reference that was never added.
  BfdTableUpdate remove{BfdSessionOp::kDelete, "ls-x", "ls-x", kBfdTunnelSession, 0};
  EXPECT_FALSE(_app->UpdateBFDTable(Endpoint(kLocal, 1), Endpoint(kRemoteA, 2), remove));
  EXPECT_TRUE(
      _log.Has({"BFDTable does not contain valid bfd session (10.0.0.1 --> 10.0.0.2)for localID ls-x --> "
                "remote ID ls-x to be deleted",
                "LCP00007"}));
  // An IPv4 endpoint with an IPv6 one.
  BfdVtep v6 = Endpoint(kRemoteA, 2);
  v6.ip.isIPv6 = true;
  BfdTableUpdate add{BfdSessionOp::kAdd, "ls-x", "ls-x", kBfdTunnelSession, 0};
  EXPECT_FALSE(_app->UpdateBFDTable(Endpoint(kLocal, 1), v6, add));
  EXPECT_TRUE(_log.Has({"AddBFDSessionToBFDTable type error: Local IP type is v4: true, RemoteIP type is v4: false"}));
  EXPECT_TRUE(_dataplane.Sessions().empty());
  EXPECT_TRUE(_app->Entries().empty());
}

// A session whose segment has no VNI yet is kept and logged; it is sent once the VNI is known, and again when the
// datapath joins the VNI after leaving it.
TEST_F(BFDTableAppTest, SessionWaitsForItsVniAndIsResentAtTheJoin) {
  Transact({Put(tv::LOG_SWITCH_CONFIG, LogicalSwitch(1, std::nullopt)),
            Put(tv::LOG_SWITCH_FIB, SwitchFib(10, 1, {Vtep(kRemoteA, 2)}))});
  LocalSwitchVteps(1, 5001, {Vtep(kLocal, 1)});
  EXPECT_TRUE(_dataplane.Sessions().empty());
  EXPECT_EQ(_app->Entries().size(), 1u);
  EXPECT_TRUE(
      _log.Has({"UpdateToBFDSessionInDataplane cannot send BFD session update msg to datapath, (10.0.0.1 -> "
                "10.0.0.2)",
                "Cannot get VNI by logical switch.", "LCP02201"}));

  Transact({Put(tv::LOG_SWITCH_CONFIG, LogicalSwitch(1, 5001))});
  ASSERT_EQ(_dataplane.Sessions().size(), 1u);
  EXPECT_EQ(_dataplane.Sessions()[0].vni, 5001u);

  _app->HandleStateCacheVNIUpdate(5001, UuidTextOf(1), false);
  _app->HandleStateCacheVNIUpdate(5001, UuidTextOf(1), true);
  EXPECT_TRUE(_log.Has({"BFDTableApp: BFD handle the VNI join message"}));
  EXPECT_TRUE(_log.Has({"Sync BFD sessions to dataplane"}));
  Sessions sent = _dataplane.Sessions();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].op, BfdSessionOp::kAdd);
  EXPECT_EQ(sent[1].vni, 5001u);
  // Another VNI's join resends nothing; one that contradicts the switch's VNI is logged.
  _app->HandleStateCacheVNIUpdate(5002, UuidTextOf(1), true);
  EXPECT_EQ(_dataplane.Sessions().size(), 2u);
  EXPECT_TRUE(_log.Has({"BFDTableApp: Invalid operation to add logical switch(" + UuidTextOf(1) + ") to VNI(5002)"}));
}

// A switch moved to another VNI takes its sessions along: withdrawn from the old VNI, sent on the new one.
TEST_F(BFDTableAppTest, SwitchMovedToAnotherVniMovesItsSessions) {
  Transact({Put(tv::LOG_SWITCH_CONFIG, LogicalSwitch(1, 5001)),
            Put(tv::LOG_SWITCH_FIB, SwitchFib(10, 1, {Vtep(kRemoteA, 2)}))});
  LocalSwitchVteps(1, 5001, {Vtep(kLocal, 1)});
  ASSERT_EQ(_dataplane.Live().size(), 1u);
  ASSERT_EQ(_dataplane.Live().begin()->second, 5001u);
  _dataplane.Clear();
  Transact({Put(tv::LOG_SWITCH_CONFIG, LogicalSwitch(1, 5002))});
  Sessions sent = _dataplane.Sessions();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].op, BfdSessionOp::kDelete);
  EXPECT_EQ(sent[0].vni, 5001u);
  EXPECT_EQ(sent[1].op, BfdSessionOp::kAdd);
  EXPECT_EQ(sent[1].vni, 5002u);
  // The L2 application removes the switch's local VTEPs reported on the old VNI: nothing is left anywhere.
  _dataplane.Clear();
  LocalSwitchVteps(1, 5001, {}, {Vtep(kLocal, 1)});
  EXPECT_TRUE(_dataplane.Live().empty());
  EXPECT_TRUE(_app->Entries().empty());
}

// A switch in a routing domain whose VTEP-group label is this transport node's label runs sessions to the group's
// members instead.
TEST_F(BFDTableAppTest, VtepGroupSessionsGoToTheGroupMembers) {
  const tv::UuidMsg domain = Uuid(50);
  tv::VtepGroupMsg group;
  *group.mutable_id() = Uuid(30);
  group.set_group_key(9);
  *group.add_vteps() = Vtep(0x0a000009, 9);
  Transact({Put(tv::LOG_SWITCH_CONFIG, LogicalSwitch(1, 5001, domain)),
            Put(tv::LOG_SWITCH_FIB, SwitchFib(10, 1, {Vtep(kRemoteA, 2)})),
            Put(tv::ROUTING_DOMAIN_FIB, DomainFib(20, domain, {}, {{77, 9}})), Put(tv::L2_VTEP_GROUP, group)});
  LocalSwitchVteps(1, 5001, {Vtep(kLocal, 1)});
  // The label is not a TEP group label of this transport node: the switch keeps its tunnel sessions.
  EXPECT_TRUE(_log.Has({"this label: 77 is not TN TEP group label, MP should pass a correct one.", "LCP02204"}));
  ASSERT_EQ(_dataplane.Sessions().size(), 1u);
  EXPECT_EQ(_dataplane.Sessions()[0].remoteIp, V4(kRemoteA));

  tv::TransportNodeConfigMsg node;
  *node.mutable_id() = Uuid(40);
  node.set_label(77);
  Transact({Put(tv::TRANSPORT_NODE_CONFIG, node)});
  Sessions sent = _dataplane.Sessions();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[1].op, BfdSessionOp::kDelete);
  EXPECT_EQ(sent[1].remoteIp, V4(kRemoteA));
  EXPECT_EQ(sent[2].op, BfdSessionOp::kAdd);
  EXPECT_EQ(sent[2].remoteIp, V4(0x0a000009));
  EXPECT_EQ(sent[2].sessionType, static_cast<uint32_t>(kBfdVtepGroupSession));
  EXPECT_EQ(sent[2].tnVgLabel, 77u);
  EXPECT_EQ(sent[2].vni, 5001u);
  EXPECT_TRUE(_log.Has({"BFDTableApp: Update _vgLSMap, vgLabel: 77, lsStr: " + UuidTextOf(1) + ", op: add"}));

  // A changed group whose label reaches no switch (its domain has none) is named.
  tv::VtepGroupMsg orphan;
  *orphan.mutable_id() = Uuid(31);
  orphan.set_group_key(8);
  *orphan.add_vteps() = Vtep(0x0a000008, 8);
  Transact({Put(tv::ROUTING_DOMAIN_FIB, DomainFib(21, Uuid(51), {}, {{78, 8}})), Put(tv::L2_VTEP_GROUP, orphan)});
  EXPECT_TRUE(_log.Has({"BFDTableApp: Failed to get logical switch from _lsVGMap, vgLabel: 78", "LCP02206"}));
  EXPECT_FALSE(_log.Has({"vgLabel: 77", "LCP02206"}));

  // The group is deleted: back to the tunnel session.
  Transact({qor::tolvar::test::Delete(tv::L2_VTEP_GROUP, UuidBytes(30))});
  EXPECT_TRUE(_log.Has({"VTEP GROUP (77) msg cannot be found from desired state cache", "LCP02204"}));
  auto live = _dataplane.Live();
  ASSERT_EQ(live.size(), 1u);
  EXPECT_EQ(std::get<1>(live.begin()->first), V4(kRemoteA));
}

TEST_F(BFDTableAppTest, HostSwitchGetsTheBfdSettingsOfItsTransportZone) {
  tv::BfdGlobalConfigMsg zone;
  *zone.mutable_id() = Uuid(60);
  zone.set_enabled(true);
  zone.set_flags(3);
  zone.set_vtep_health_interval(1000);
  zone.set_latency_enabled(true);
  ZoneBfdSettings(zone);
  EXPECT_TRUE(_dataplane.Configs().empty());  // no host switch in that zone yet

  tv::TransportNodeConfigMsg node;
  *node.mutable_id() = Uuid(40);
  auto* inZone = node.mutable_transport_switches()->add_switches();
  inZone->set_switch_id("dvs-1");
  inZone->mutable_host_switch_id()->set_high(0x0011223344556677);
  inZone->mutable_host_switch_id()->set_low(0x8899aabbccddeeff);
  *inZone->add_transport_zone_ids() = Uuid(60);
  auto* noZone = node.mutable_transport_switches()->add_switches();
  *noZone->mutable_host_switch_id() = Uuid(41);
  auto* unknownZone = node.mutable_transport_switches()->add_switches();
  *unknownZone->mutable_host_switch_id() = Uuid(42);
  *unknownZone->add_transport_zone_ids() = Uuid(61);
  Transact({Put(tv::TRANSPORT_NODE_CONFIG, node)});

  EXPECT_TRUE(_log.Has({"Push down BFD config after receiving transport switch property"}));
  EXPECT_TRUE(_log.Has({"BFDPB2TLV, Exit, empty transport zone, skipping"}));
  EXPECT_TRUE(_log.Has({"BFDPB2TLV, Exit, transport zone " + UuidTextOf(61) + " not found in cache, skipping"}));
  EXPECT_TRUE(
      _log.Has({"BFDPB2TLV, Exit, sending dvsUUID: 00112233-4455-6677-8899-aabbccddeeff, flags: 3, enabled: "
                "true, vtep_health_interval: 1000, latency_enable: true"}));
  std::vector<BfdHostSwitchConfig> configs = _dataplane.Configs();
  ASSERT_EQ(configs.size(), 1u);
  const std::array<uint8_t, 16> dvs = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                       0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
  EXPECT_EQ(configs[0].dvsUuid, dvs);
  EXPECT_EQ(configs[0].flags, 3u);
  EXPECT_TRUE(configs[0].enabled);
  EXPECT_EQ(configs[0].vtepHealthInterval, 1000u);
  EXPECT_TRUE(configs[0].latencyEnabled);

  // New settings of the zone reach its host switch; the same settings again send nothing.
  zone.set_enabled(false);
  ZoneBfdSettings(zone);
  ZoneBfdSettings(zone);
  configs = _dataplane.Configs();
  ASSERT_EQ(configs.size(), 2u);
  EXPECT_FALSE(configs[1].enabled);

  // A full sync that lists only another zone forgets this one: the next transport-switch push skips the switch.
  tv::BfdGlobalConfigMsg other;
  *other.mutable_id() = Uuid(62);
  ZoneBfdSettings(other, true);
  node.set_label(5);
  Transact({Put(tv::TRANSPORT_NODE_CONFIG, node)});
  node.mutable_transport_switches()->mutable_switches(0)->set_switch_id("dvs-1b");
  Transact({Put(tv::TRANSPORT_NODE_CONFIG, node)});
  EXPECT_EQ(_dataplane.Configs().size(), 2u);
  EXPECT_TRUE(_log.Has({"BFDPB2TLV, Exit, transport zone " + UuidTextOf(60) + " not found in cache, skipping"}));
}

TEST_F(BFDTableAppTest, EvpnSwitchesGetTheTransportNodeBfdSettings) {
  tv::TransportNodeConfigMsg node;
  *node.mutable_id() = Uuid(40);
  node.mutable_bfd()->set_enabled(true);
  node.mutable_bfd()->set_interval(300);
  node.mutable_bfd()->set_multiplier(3);
  tv::LogSwitchConfigMsg plain = LogicalSwitch(1, 5001);
  plain.set_type(1);
  Transact({Put(tv::TRANSPORT_NODE_CONFIG, node), Put(tv::LOG_SWITCH_CONFIG, plain)});
  EXPECT_TRUE(_dataplane.Evpn().empty());

  tv::LogSwitchConfigMsg evpn = LogicalSwitch(2, 5002);
  evpn.set_type(kEvpnLogicalSwitchType);
  Transact({Put(tv::LOG_SWITCH_CONFIG, evpn)});
  std::vector<EvpnBfdConfig> sent = _dataplane.Evpn();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_TRUE(sent[0].enabled);
  EXPECT_EQ(sent[0].vtepHealthInterval, 300u);
  EXPECT_EQ(sent[0].multiplier, 3u);
  EXPECT_TRUE(
      _log.Has({"BFDPB2TLV for EVPN BFD conifg, sending flags: 0, enabled: true, vtep_health_interval: 300, "
                "multiple: 3"}));
  // Unchanged settings are not sent again.
  Transact({Put(tv::LOG_SWITCH_CONFIG, LogicalSwitch(3, 5003))});
  EXPECT_EQ(_dataplane.Evpn().size(), 1u);
}

TEST_F(BFDTableAppTest, UnexpectedObjectTypeIsLoggedAndIgnored) {
  TolvarUpdateMsg entry;
  entry.objectType = tv::RULE;
  entry.operation = TolvarUpdateMsg::OP_SET;
  _app->UpdateDesiredState({entry}, 0);
  EXPECT_TRUE(_log.Has({"unexpected tolvar object type 29", "LCP02203"}));
}

TEST_F(BFDTableAppTest, SendFailureLeavesTheSessionToBeSentAtTheJoin) {
  Transact({Put(tv::LOG_SWITCH_CONFIG, LogicalSwitch(1, 5001)),
            Put(tv::LOG_SWITCH_FIB, SwitchFib(10, 1, {Vtep(kRemoteA, 2)}))});
  _dataplane.SetFail(true);
  LocalSwitchVteps(1, 5001, {Vtep(kLocal, 1)});
  EXPECT_TRUE(_log.Has({"failed to send BFD session update msg to datapath", "LCP02201"}));
  _dataplane.SetFail(false);
  _app->HandleStateCacheVNIUpdate(5001, UuidTextOf(1), true);
  ASSERT_EQ(_dataplane.Sessions().size(), 1u);
  EXPECT_EQ(_dataplane.Live().size(), 1u);
}

// "vevuroro/bfd" through the operator's socket.
TEST_F(BFDTableAppTest, CliShowsTheTable) {
  Transact({Put(tv::LOG_SWITCH_CONFIG, LogicalSwitch(1, 5001)),
            Put(tv::LOG_SWITCH_FIB, SwitchFib(10, 1, {Vtep(kRemoteA, 2)}))});
  LocalSwitchVteps(1, 5001, {Vtep(kLocal, 1)});
  tv::BfdGlobalConfigMsg zone;
  *zone.mutable_id() = Uuid(60);
  zone.set_enabled(true);
  ZoneBfdSettings(zone);
  CliServerDeps deps;
  deps.stateCache = &_agent.Cache();
  deps.applications[cli::CliArea::kBfd] = _app.get();
  CliServer server(std::move(deps), "", CliServer::kAgentLockWait);
  ASSERT_TRUE(server.Start());
  qor::ovs::UnixctlResult reply = qor::ovs::UnixctlClient::Call(server.SocketPath(), "vevuroro/bfd", {});
  ASSERT_TRUE(reply.ok) << reply.text;
  EXPECT_NE(reply.text.find("BFD settings per transport zone: 1\n" + UuidTextOf(60) +
                            " flags 0 enabled true vtep_health_interval 0 latency_enable false"),
            std::string::npos)
      << reply.text;
  EXPECT_NE(reply.text.find("BFD sessions: 1\n10.0.0.1 (label 1) -> 10.0.0.2 (label 2) type tunnel tnVgLabel 0 vni "
                            "5001 users: " +
                            UuidTextOf(1) + "->" + UuidTextOf(1)),
            std::string::npos)
      << reply.text;
}

}  // namespace
}  // namespace VevUroro::test
