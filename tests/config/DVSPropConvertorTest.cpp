// The property converter over real decoder output and the configuration table: what a connected port receives,
// logical switch properties and their fan-out, the block/unblock rule, VLANs and trunks, port properties and
// their validation, extra configuration keys. The datapath side is the simulator's switch module in-process.
#include <gtest/gtest.h>

#include "dataplane/kcp/KcpReader.h"
#include "support/LogCapture.h"
#include "tests/config/ConverterHarness.h"
#include "tests/config/ExpectedBytes.h"

namespace VevUroro {
namespace {

using qor::test::LogCapture;
using test::Bytes;
using test::Id;
using test::IdText;
using test::Ls;
using test::Lsp;
namespace tv = zantix::qor::tolvar;

class ConverterTest : public test::ConverterFixture {
 protected:
  // A switch with VNI 5001, admin up; a port on it, admin up, attached to VIF "vif-1" on DVPort 100.
  void Basic() {
    auto ls = Ls(1);
    ls.set_vni(5001);
    ls.set_admin_state_up(true);
    feed->Put(ls);
    auto lsp = Lsp(11, 1, "vif-1", "100");
    lsp.set_admin_state_up(true);
    feed->Put(lsp);
  }
  std::vector<std::vector<uint8_t>> Port(uint64_t lspId, uint64_t ls, const std::string& vif, const std::string& dv) {
    auto lsp = Lsp(lspId, ls, vif, dv);
    lsp.set_admin_state_up(true);
    feed->Put(lsp);
    Connect(vif, dv);
    return Flush();
  }
  LogCapture logs{LOG_LEVEL_DEBUG};
};

TEST_F(ConverterTest, ConnectedPortGetsItsWholePropertySetInOneUpdate) {
  auto ls = Ls(1);
  ls.set_vni(5001);
  ls.set_replication_mode(1);
  ls.set_admin_state_up(true);
  ls.set_uplink_teaming_policy("loadbalance_srcid");
  feed->Put(ls);
  auto lsp = Lsp(11, 1, "vif-1", "100");
  lsp.set_admin_state_up(true);
  lsp.mutable_mac_management()->set_mac_change_allowed(true);
  lsp.mutable_qos()->set_cos(3);
  auto* shaper = lsp.mutable_qos()->add_shapers();
  shaper->set_type(1);
  shaper->set_average_bandwidth(10);
  lsp.mutable_switch_security()->set_dhcp_server_block(true);
  lsp.mutable_ip_discovery()->set_arp_snooping_enabled(true);
  lsp.mutable_ip_discovery()->set_dhcp_snooping_enabled(true);
  auto* extra = lsp.mutable_extra_configs()->add_configs();
  extra->set_key("com.zantix.port.extraConfig.global.id");
  extra->set_value("g-7");
  feed->Put(lsp);
  EXPECT_TRUE(builder->Messages().empty()) << "nothing goes to a port that is not connected";

  Connect("vif-1", "100");
  auto messages = Flush();
  ASSERT_EQ(messages.size(), 1u);
  // In order: IP discovery, security, QoS, MAC management, extra configs, mirroring, then the switch's properties
  // and the block state.
  kcp::KcpMessage message;
  ASSERT_TRUE(kcp::DecodeMessage(messages[0].data(), messages[0].size(), &message));
  std::vector<uint16_t> order;
  for (const auto& p : message.items.at(0).propertyRecords.at(0).properties) order.push_back(p.key);
  // The security-configured marker immediately before the IP discovery keys, and again before the security table.
  EXPECT_EQ(order, (std::vector<uint16_t>{43, 42, 43, 41, 62, 63, 61, 3, 181, 141, 321, 81, 1, 2, 102, 202, 101}));
  std::map<uint16_t, std::string> port = dp.Port("vif-1");
  std::vector<uint16_t> keys;
  for (const auto& [key, value] : port) keys.push_back(key);
  // Keys 61, 63 (no shaper of types 3 and 2) and 81 (no mirror session) were sent empty, which clears them.
  EXPECT_EQ(keys, (std::vector<uint16_t>{1, 2, 3, 41, 42, 43, 62, 101, 102, 141, 181, 202, 321}));
  ASSERT_EQ(dp.module.BatchesApplied(), 1u);
  EXPECT_BYTES(port[1], Bytes().B({0, 0, 0x13, 0x89}));
  EXPECT_BYTES(port[2], Bytes().B({0, 0, 0, 2}));
  EXPECT_BYTES(port[3], Bytes().B({1, 255, 3, 0}));
  EXPECT_BYTES(port[42], Bytes().B({1, 1}));
  EXPECT_BYTES(port[43], Bytes().T("true"));
  EXPECT_BYTES(port[62], Bytes().H64(10 * 125000).H64(10 * 125000).H64(0));
  EXPECT_BYTES(port[101], Bytes().T("false"));
  EXPECT_BYTES(port[102], Bytes().Z(8));
  EXPECT_BYTES(port[141], Bytes().B({1, 0, 0}).H32(4096).B({0}).Z(3));
  EXPECT_BYTES(port[181], Bytes().H32(0)) << "a switch without a type counts as service plane for QoS";
  EXPECT_BYTES(port[202], Bytes().T("loadbalance_srcid"));
  EXPECT_BYTES(port[321], Bytes().T("g-7"));
}

TEST_F(ConverterTest, PortWithoutVniOrVlanStaysBlockedAndTheVniUnblocksItInTheSameUpdate) {
  auto ls = Ls(1);
  ls.set_admin_state_up(true);
  feed->Put(ls);
  Port(11, 1, "vif-1", "100");
  EXPECT_BYTES(dp.Port("vif-1")[101], Bytes().T("true"));
  EXPECT_EQ(logs.Count("Will unblock port after LS " + IdText(1) + " VNI/VLAN update"), 1u);

  ls.set_vni(7000);
  feed->Put(ls);
  auto messages = Flush();
  ASSERT_EQ(messages.size(), 1u) << "the post-batch step has nothing left to send";
  auto port = dp.Port("vif-1");
  EXPECT_BYTES(port[1], Bytes().B({0, 0, 0x1b, 0x58}));
  EXPECT_BYTES(port[101], Bytes().T("false"));
  EXPECT_EQ(logs.Count("Update vni 7000"), 1u);
}

TEST_F(ConverterTest, ServicePlaneSwitchSendsPlaneModeZeroWithTheUnblock) {
  auto ls = Ls(1);
  ls.set_vni(1);
  ls.set_admin_state_up(true);
  ls.set_type(3);
  feed->Put(ls);
  Port(11, 1, "vif-1", "100");
  auto port = dp.Port("vif-1");
  EXPECT_BYTES(port[181], Bytes().H32(0));
  EXPECT_BYTES(port[101], Bytes().T("false"));
  EXPECT_EQ(logs.Count("LSP " + IdText(11) + " belongs to Service Plane"), 1u);
}

TEST_F(ConverterTest, AdminStatesBlockAndThePostBatchStepUnblocks) {
  Basic();
  Connect("vif-1", "100");
  Flush();
  EXPECT_BYTES(dp.Port("vif-1")[101], Bytes().T("false"));

  auto lsp = Lsp(11, 1, "vif-1", "100");
  lsp.set_admin_state_up(false);
  feed->Put(lsp);
  Flush();
  EXPECT_BYTES(dp.Port("vif-1")[101], Bytes().T("true"));
  EXPECT_EQ(logs.Count("LSP admin down, block port [100]"), 1u);

  lsp.set_admin_state_up(true);
  feed->Put(lsp);
  auto messages = Flush();
  EXPECT_EQ(messages.size(), 1u);
  EXPECT_BYTES(dp.Port("vif-1")[101], Bytes().T("false"));

  lsp.clear_admin_state_up();
  feed->Put(lsp);
  Flush();
  EXPECT_EQ(logs.Count("Ignore logical port admin state DELETE operation"), 1u);
  EXPECT_BYTES(dp.Port("vif-1")[101], Bytes().T("true")) << "no admin state: blocked by the post-batch step";

  lsp.set_admin_state_up(true);
  feed->Put(lsp);
  auto ls = Ls(1);
  ls.set_vni(5001);
  ls.set_admin_state_up(false);
  feed->Put(ls);
  Flush();
  EXPECT_BYTES(dp.Port("vif-1")[101], Bytes().T("true"));
  EXPECT_EQ(logs.Count("LS admin state down, block port [100]"), 1u);
  ls.clear_admin_state_up();
  feed->Put(ls);
  EXPECT_EQ(logs.Count("Ignore logical switch admin state DELETE operation"), 1u);
  EXPECT_TRUE(Flush().empty()) << "an LS admin DELETE is ignored and the port already is blocked";
}

TEST_F(ConverterTest, VlanTrunksAndTheirEdges) {
  auto ls = Ls(1);
  ls.set_admin_state_up(true);
  ls.set_vlan(100);
  feed->Put(ls);
  Port(11, 1, "vif-1", "100");
  EXPECT_BYTES(dp.Port("vif-1")[102], Bytes().H16(0).H16(100).H16(0).H16(0));
  EXPECT_BYTES(dp.Port("vif-1")[101], Bytes().T("false"));

  ls.clear_vlan();
  auto* range = ls.mutable_vlan_trunk()->add_ranges();
  range->set_start(10);
  range->set_end(20);
  feed->Put(ls);
  Flush();
  EXPECT_BYTES(dp.Port("vif-1")[102], Bytes().H16(1).H16(0).H16(0).H16(1).H16(10).H16(20));
  EXPECT_EQ(logs.Count("Update trunk vlan on async switch start 10, end 20"), 1u);

  ls.mutable_vlan_trunk()->clear_ranges();
  feed->Put(ls);
  EXPECT_TRUE(Flush().empty()) << "an empty trunk sends nothing";
  EXPECT_EQ(logs.Count("empty trunk vlan is received"), 1u);
  EXPECT_BYTES(dp.Port("vif-1")[102], Bytes().H16(1).H16(0).H16(0).H16(1).H16(10).H16(20));

  ls.clear_vlan_trunk();
  feed->Put(ls);
  Flush();
  EXPECT_BYTES(dp.Port("vif-1")[102], Bytes().Z(8)) << "neither form: no VLAN";
  EXPECT_BYTES(dp.Port("vif-1")[101], Bytes().T("true"));

  // A trunk removed from a switch that keeps its VLAN leaves that VLAN, not the stale trunk.
  ls.set_vlan(300);
  range = ls.mutable_vlan_trunk()->add_ranges();
  range->set_start(1);
  range->set_end(2);
  feed->Put(ls);
  Flush();
  ls.clear_vlan_trunk();
  feed->Put(ls);
  Flush();
  EXPECT_BYTES(dp.Port("vif-1")[102], Bytes().H16(0).H16(300).H16(0).H16(0));
}

TEST_F(ConverterTest, SwitchPropertiesFanOutToEveryConnectedPortInOneBatch) {
  auto ls = Ls(1);
  ls.set_vni(1);
  ls.set_admin_state_up(true);
  feed->Put(ls);
  for (int i = 0; i < 300; ++i) Port(100 + i, 1, "vif-" + std::to_string(i), std::to_string(1000 + i));
  auto other = Lsp(99, 1, "vif-unconnected", "999");
  feed->Put(other);
  Flush();
  uint64_t batches = dp.module.BatchesApplied();
  ls.set_uplink_teaming_policy("failover");
  feed->Put(ls);
  auto messages = Flush();
  EXPECT_GT(messages.size(), 1u) << "300 ports do not fit one message";
  EXPECT_EQ(dp.module.BatchesApplied(), batches + 1) << "one batch";
  for (int i = 0; i < 300; ++i) EXPECT_BYTES(dp.Port("vif-" + std::to_string(i))[202], Bytes().T("failover"));
  EXPECT_TRUE(dp.Port("vif-unconnected").empty());
}

TEST_F(ConverterTest, PortPropertiesOfAnUnconnectedPortAreAppliedWhenItConnects) {
  Basic();
  auto lsp = Lsp(11, 1, "vif-1", "100");
  lsp.set_admin_state_up(true);
  lsp.mutable_mac_management()->mutable_mac_learning()->set_enabled(true);
  feed->Put(lsp);
  EXPECT_TRUE(builder->Messages().empty());
  // One line per dropped change: the admin state (in Basic), then the MAC management.
  EXPECT_EQ(logs.Count("The port info " + IdText(11) + "(VIF vif-1) hasn't been connected"), 2u);
  Connect("vif-1", "100");
  Flush();
  EXPECT_BYTES(dp.Port("vif-1")[141], Bytes().B({0, 0, 1}).H32(4096).B({0}).Z(3));

  converter->HandleVifDisconnection("100");
  lsp.mutable_mac_management()->mutable_mac_learning()->set_enabled(false);
  feed->Put(lsp);
  EXPECT_TRUE(Flush().empty());
  EXPECT_EQ(logs.Count("Disconnect port [100] not in the list, ignore the update"), 0u);
  converter->HandleVifDisconnection("100");
  EXPECT_EQ(logs.Count("Disconnect port [100] not in the list, ignore the update"), 1u);
}

TEST_F(ConverterTest, InvalidValuesLeaveThePreviousValueInForce) {
  Basic();
  Connect("vif-1", "100");
  auto lsp = Lsp(11, 1, "vif-1", "100");
  lsp.set_admin_state_up(true);
  lsp.mutable_qos()->set_cos(2);
  lsp.mutable_mac_management()->mutable_mac_learning()->mutable_limit()->set_limit(4096);
  lsp.mutable_mac_management()->mutable_mac_learning()->mutable_limit()->set_policy(1);
  feed->Put(lsp);
  Flush();
  EXPECT_BYTES(dp.Port("vif-1")[3], Bytes().B({1, 255, 2, 0}));
  lsp.mutable_qos()->set_cos(254);
  lsp.mutable_mac_management()->mutable_mac_learning()->mutable_limit()->set_limit(4097);
  feed->Put(lsp);
  EXPECT_TRUE(Flush().empty());
  EXPECT_EQ(logs.Count({"Invalid COS Tag: 254", "LCP00001"}), 1u);
  EXPECT_EQ(logs.Count({"Invalid MAC Limit value [4097]. Max value is [4096]", "LCP00001"}), 1u);
  EXPECT_BYTES(dp.Port("vif-1")[3], Bytes().B({1, 255, 2, 0}));
  // A reconnect rebuilds from what was last valid.
  converter->HandleVifDisconnection("100");
  Connect("vif-1", "100");
  Flush();
  EXPECT_BYTES(dp.Port("vif-1")[3], Bytes().B({1, 255, 2, 0}));
  EXPECT_BYTES(dp.Port("vif-1")[141], Bytes().B({0, 0, 0}).H32(4096).B({0}).Z(3));
}

TEST_F(ConverterTest, ValueNoMessageCarriesIsRefusedAloneAndThePortGetsEverythingElse) {
  auto ls = Ls(1);
  ls.set_vni(5001);
  ls.set_admin_state_up(true);
  feed->Put(ls);
  auto lsp = Lsp(11, 1, "vif-1", "100");
  lsp.set_admin_state_up(true);
  auto* big = lsp.mutable_extra_configs()->add_configs();
  big->set_key("com.zantix.port.extraConfig.vm.tagset");
  big->set_value(std::string(100000, 'x'));
  auto* small = lsp.mutable_extra_configs()->add_configs();
  small->set_key("com.zantix.port.extraConfig.global.id");
  small->set_value("gid-1");
  feed->Put(lsp);
  Connect("vif-1", "100");
  auto messages = Flush();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back()[4], 0x00) << "the batch is complete";
  auto port = dp.Port("vif-1");
  EXPECT_EQ(port[101], std::string("false\0", 6));
  EXPECT_EQ(port[321], std::string("gid-1\0", 6));
  EXPECT_BYTES(port[1], Bytes().B({0, 0, 0x13, 0x89}));
  EXPECT_EQ(port.count(322), 0u);
  EXPECT_EQ(logs.Count({"Property 322 of vif-1 is 100001 bytes, more than the 65471 one message carries: not sent",
                        "LCP00001"}),
            1u);

  // A later value that fits replaces nothing else and goes through.
  big->set_value("small again");
  feed->Put(lsp);
  Flush();
  EXPECT_EQ(dp.Port("vif-1")[322], std::string("small again\0", 12));
}

TEST_F(ConverterTest, VlanIdsBeyondSixteenBitsAreRefusedNotCut) {
  auto ls = Ls(1);
  ls.set_admin_state_up(true);
  ls.set_vlan(301);
  feed->Put(ls);
  auto lsp = Lsp(11, 1, "vif-1", "100");
  lsp.set_admin_state_up(true);
  feed->Put(lsp);
  Connect("vif-1", "100");
  Flush();
  EXPECT_BYTES(dp.Port("vif-1")[102], Bytes().H16(0).H16(301).H16(0).H16(0));

  ls.set_vlan(65536 + 302);  // cut to 16 bits it would be VLAN 302
  feed->Put(ls);
  EXPECT_TRUE(Flush().empty());
  EXPECT_EQ(logs.Count({"Invalid VLAN ID 65838 of " + IdText(1) + ": more than 65535", "LCP00001"}), 1u);
  ls.set_vlan(301);  // valid again, in the same change as a trunk that is not
  auto* range = ls.mutable_vlan_trunk()->add_ranges();
  range->set_start(10);
  range->set_end(65536 + 20);
  feed->Put(ls);
  Flush();
  EXPECT_EQ(logs.Count({"Invalid trunk VLAN ID 65556 of " + IdText(1), "LCP00001"}), 1u);
  EXPECT_BYTES(dp.Port("vif-1")[102], Bytes().H16(0).H16(301).H16(0).H16(0)) << "the VLAN in force stays";

  lsp.mutable_switch_security()->set_port_spoof_guard(true);
  auto* entry = lsp.mutable_switch_security()->add_port_white_list();
  entry->set_vlan(65536 + 5);
  feed->Put(lsp);
  EXPECT_TRUE(Flush().empty());
  EXPECT_EQ(dp.Port("vif-1").count(41), 0u);
  EXPECT_EQ(logs.Count({"Invalid white-list VLAN ID 65541 for port", "LCP00001"}), 1u);
}

TEST_F(ConverterTest, DeletesFollowTheirRules) {
  Basic();
  Connect("vif-1", "100");
  auto lsp = Lsp(11, 1, "vif-1", "100");
  lsp.set_admin_state_up(true);
  lsp.mutable_switch_security()->set_ra_guard(true);
  lsp.mutable_mac_management()->set_mac_change_allowed(true);
  lsp.mutable_ignore_bindings()->add_bindings()->mutable_ip()->set_ipv4(1);
  feed->Put(lsp);
  Flush();
  ASSERT_EQ(dp.Port("vif-1").count(41), 1u);
  lsp.clear_switch_security();
  lsp.clear_mac_management();
  lsp.clear_ignore_bindings();
  feed->Put(lsp);
  auto messages = Flush();
  EXPECT_EQ(logs.Count("Switch Security [" + IdText(11) + "]: Delete is a NOOP."), 1u);
  auto port = dp.Port("vif-1");
  EXPECT_EQ(port.count(41), 1u) << "the security table stays";
  EXPECT_EQ(port.count(141), 0u) << "MAC management is cleared";
  EXPECT_EQ(port.count(45), 0u);
  // A database delete that only clears keys travels as a DELETE (operation byte 2) listing them.
  ASSERT_EQ(messages.size(), 2u);
  for (const auto& m : messages) {
    EXPECT_EQ(m[9], 2) << "operation byte";
    ASSERT_EQ(m.size(), 10u + 50 + 4);
    EXPECT_EQ(test::Be16(m, 62), 4) << "the key alone, without a value";
  }
  EXPECT_EQ(test::Be16(messages[0], 60), 141);
  EXPECT_EQ(test::Be16(messages[1], 60), 45);

  // A delete that also sets keys (here a port extra-config key that falls back to its switch's value) stays an
  // UPDATE, so that the value it sets is not taken as a key to remove.
  auto ls = Ls(1);
  ls.set_vni(5001);
  ls.set_admin_state_up(true);
  auto* lsExtra = ls.mutable_extra_configs()->add_configs();
  lsExtra->set_key("com.zantix.port.extraConfig.global.id");
  lsExtra->set_value("from-switch");
  feed->Put(ls);
  auto* extra = lsp.mutable_extra_configs()->add_configs();
  extra->set_key("com.zantix.port.extraConfig.global.id");
  extra->set_value("own");
  feed->Put(lsp);
  Flush();
  EXPECT_EQ(dp.Port("vif-1")[321], std::string("own\0", 4));
  lsp.clear_extra_configs();
  feed->Put(lsp);
  messages = Flush();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0][9], 1);
  EXPECT_EQ(dp.Port("vif-1")[321], std::string("from-switch\0", 12));
}

// A deleted object is reported as its removal followed by one removal per property: the view drops it with the first
// and the others do not bring it back.
TEST_F(ConverterTest, DeletedObjectsLeaveNothingInTheView) {
  Basic();
  Connect("vif-1", "100");
  auto lsp = Lsp(11, 1, "vif-1", "100");
  lsp.set_admin_state_up(true);
  lsp.mutable_mac_management()->set_mac_change_allowed(true);
  feed->Put(lsp);
  tv::PortMirrorSessionMsg session;
  *session.mutable_id() = test::Uuid(500);
  session.mutable_logical_port_mirror_session()->set_direction(1);
  feed->Put(session);
  Flush();
  ASSERT_NE(converter->State().Port(Id(11)), nullptr);
  ASSERT_NE(converter->State().Switch(Id(1)), nullptr);
  ASSERT_EQ(converter->State().mirrorSessions.count(Id(500)), 1u);
  feed->Delete(tv::LOG_SWITCH_PORT_CONFIG, Id(11));
  feed->Delete(tv::LOG_SWITCH_CONFIG, Id(1));
  feed->Delete(tv::PORT_MIRROR_SESSION, Id(500));
  Flush();
  EXPECT_EQ(converter->State().Port(Id(11)), nullptr);
  EXPECT_TRUE(converter->State().ports.empty());
  EXPECT_EQ(converter->State().Switch(Id(1)), nullptr);
  EXPECT_TRUE(converter->State().mirrorSessions.empty());
  EXPECT_TRUE(converter->State().portByVif.holders.empty());
}

TEST_F(ConverterTest, ExtraConfigKeys) {
  Basic();
  auto ls = Ls(1);
  ls.set_vni(5001);
  ls.set_admin_state_up(true);
  auto* lsKey = ls.mutable_extra_configs()->add_configs();
  lsKey->set_key("com.zantix.port.extraConfig.policyRoute");
  lsKey->set_value("from-switch");
  feed->Put(ls);
  Connect("vif-1", "100");
  Flush();
  EXPECT_BYTES(dp.Port("vif-1")[245], Bytes().T("from-switch"));

  auto lsp = Lsp(11, 1, "vif-1", "100");
  lsp.set_admin_state_up(true);
  auto add = [&](const std::string& key, const std::string& value) {
    auto* kv = lsp.mutable_extra_configs()->add_configs();
    kv->set_key(key);
    kv->set_value(value);
  };
  add("com.zantix.port.extraConfig.managedcloud.management.ip", "10.0.0.1");
  add("com.zantix.qor.ovl2.bridgedvlan", "12");
  add("com.zantix.unknown.key", "x");
  add("com.zantix.port.extraConfig.vm.tagset9", "blue");
  add("com.zantix.port.extraConfig.policyRoute", "from-port");
  add("com.zantix.port.extraConfig.serviceInsertion.gvm", "g");
  feed->Put(lsp);
  Flush();
  auto port = dp.Port("vif-1");
  EXPECT_BYTES(port[241], Bytes().T("10.0.0.1"));
  EXPECT_BYTES(port[331], Bytes().T("blue"));
  EXPECT_BYTES(port[245], Bytes().T("from-port")) << "the port's own key wins";
  EXPECT_BYTES(port[261], Bytes().T("g"));
  EXPECT_EQ(logs.Count({"Unsupported Extra Config Key com.zantix.unknown.key to update", "LCP00513"}), 1u);
  EXPECT_EQ(logs.Count("com.zantix.qor.ovl2.bridgedvlan to update"), 0u) << "accepted silently";
  EXPECT_EQ(
      logs.Count("Add LSP ExtraConfig key com.zantix.port.extraConfig.vm.tagset9 value blue for LSP " + IdText(11)),
      1u);

  // The port's key goes away: its switch's value comes back. Removed keys are cleared.
  lsp.clear_extra_configs();
  add("com.zantix.port.extraConfig.vm.tagset9", "green");
  feed->Put(lsp);
  Flush();
  port = dp.Port("vif-1");
  EXPECT_BYTES(port[245], Bytes().T("from-switch"));
  EXPECT_BYTES(port[331], Bytes().T("green"));
  EXPECT_EQ(port.count(241), 0u);
  EXPECT_EQ(port.count(261), 0u);
  EXPECT_EQ(
      logs.Count("Change LSP ExtraConfig key com.zantix.port.extraConfig.vm.tagset9 value green for LSP " + IdText(11)),
      1u);

  // A hypervisor kernel NIC port does not take the service-insertion keys.
  lsp.set_is_hyd_tkm(true);
  add("com.zantix.port.extraConfig.serviceInsertion.svm", "s");
  feed->Put(lsp);
  Flush();
  EXPECT_EQ(dp.Port("vif-1").count(262), 0u);
  EXPECT_EQ(logs.Count("Skip setting SVM for HYD port 100"), 1u);
}

TEST_F(ConverterTest, PortMovedToAnotherSwitchTakesThatSwitchsProperties) {
  Basic();
  auto other = Ls(2);
  other.set_vlan(42);
  other.set_admin_state_up(true);
  feed->Put(other);
  Connect("vif-1", "100");
  Flush();
  ASSERT_EQ(dp.Port("vif-1").count(1), 1u);
  auto lsp = Lsp(11, 2, "vif-1", "100");
  lsp.set_admin_state_up(true);
  feed->Put(lsp);
  Flush();
  auto port = dp.Port("vif-1");
  EXPECT_EQ(port.count(1), 0u) << "the old switch's VNI is cleared";
  EXPECT_BYTES(port[102], Bytes().H16(0).H16(42).H16(0).H16(0));
  EXPECT_BYTES(port[101], Bytes().T("false"));
}

TEST_F(ConverterTest, AttachmentArrivingAfterTheConnectionBindsThePort) {
  Basic();
  auto lsp = Lsp(12, 1, "vif-2", "200");
  lsp.clear_attachment();
  lsp.set_admin_state_up(true);
  feed->Put(lsp);
  Connect("vif-2", "200");
  EXPECT_EQ(logs.Count("The port 200 fails to get the LSP UUID"), 1u);
  EXPECT_TRUE(Flush().empty());
  lsp = Lsp(12, 1, "vif-2", "200");
  lsp.set_admin_state_up(true);
  feed->Put(lsp);
  Flush();
  EXPECT_BYTES(dp.Port("vif-2")[101], Bytes().T("false"));
  EXPECT_EQ(logs.Count("Update DVPortID 200 for LSP " + IdText(12)), 1u);
}

TEST_F(ConverterTest, PortIdsThatNameNoPortAreIgnored) {
  Connect("vif-x", "not a port id");
  EXPECT_EQ(logs.Count("Port [not a port id] ID is not a valid logical switch port UUID, ignore the update"), 1u);
  Connect("vif-y", IdText(77));
  Connect("vif-y", IdText(77));
  EXPECT_EQ(logs.Count("Port [" + IdText(77) + "] is already in list, ignore the update"), 1u);
  ConnectedPort port;
  EXPECT_TRUE(converter->FindConnectedPort("vif-y", &port));
  EXPECT_FALSE(converter->FindConnectedPort("vif-x", &port));
}

TEST_F(ConverterTest, TkmnicPortsTravelInTkmnicPropertyUpdates) {
  Basic();
  auto lsp = Lsp(13, 1, "vmk1", "300");
  lsp.set_admin_state_up(true);
  feed->Put(lsp);
  Connect("vmk1", "300", 2);
  Flush();
  EXPECT_TRUE(dp.Port("vmk1").empty());
  auto it = dp.module.TkmnicProperties().find("vmk1");
  ASSERT_NE(it, dp.module.TkmnicProperties().end());
  EXPECT_EQ(it->second.count(101), 1u);
}

TEST_F(ConverterTest, OperationsOtherThanSetAndClearAreRefused) {
  Basic();
  Connect("vif-1", "100");
  Flush();
  auto lsp = Lsp(11, 1, "vif-1", "100");
  lsp.set_admin_state_up(true);
  lsp.mutable_mac_management()->set_mac_change_allowed(true);
  lsp.mutable_switch_security()->set_switch_spoof_guard(true);
  auto* kv = lsp.mutable_extra_configs()->add_configs();
  kv->set_key("com.zantix.port.extraConfig.global.id");
  kv->set_value("g");
  const std::string body = lsp.SerializeAsString();
  constexpr int32_t kOther = 7;
  converter->ProcessConfigPropertyUpdate(tv::LOG_SWITCH_PORT_CONFIG, Id(11), body, kOther,
                                         tv::Property::LSP_MAC_MANAGEMENT);
  converter->ProcessConfigPropertyUpdate(tv::LOG_SWITCH_PORT_CONFIG, Id(11), body, kOther,
                                         tv::Property::LSP_EXTRA_CONFIGS);
  EXPECT_EQ(logs.Count({"Unsupported operation input", "LCP00512"}), 2u);
  converter->ProcessConfigPropertyUpdate(tv::LOG_SWITCH_PORT_CONFIG, Id(11), body, kOther,
                                         tv::Property::LSP_SWITCH_SECURITY);
  EXPECT_EQ(logs.Count({"Unsupported operation input", "LCP00001"}), 1u);
  EXPECT_TRUE(Flush().empty());
  EXPECT_EQ(dp.Port("vif-1").count(141), 0u);
  EXPECT_EQ(dp.Port("vif-1").count(41), 0u);
  EXPECT_EQ(dp.Port("vif-1").count(321), 0u);
  converter->HandleVifDisconnection("100");
  Connect("vif-1", "100");
  Flush();
  EXPECT_EQ(dp.Port("vif-1").count(141), 0u) << "nor do they reach the view a reconnection builds from";
  EXPECT_EQ(dp.Port("vif-1").count(321), 0u);
}

TEST_F(ConverterTest, UnknownPropertyTypesAreLogged) {
  auto ls = Ls(1);
  ls.set_switch_name("web");
  feed->Put(ls);
  EXPECT_EQ(logs.Count("DvsPropConvertor received unknown update message property type: LS_SWITCH_NAME"), 1u);
}

TEST_F(ConverterTest, EveryExtraConfigKeyTravelsAsItsPortPropertyText) {
  Basic();
  const std::vector<std::pair<std::string, uint16_t>> keys = {
      {"com.zantix.port.extraConfig.ovl2.udpPortsInHash", 4},
      {"com.zantix.port.extraConfig.ovl2.nestedTNConfig", 5},
      {"com.zantix.port.extraConfig.managedcloud.management.ip", 241},
      {"com.zantix.qor.port.extraConfig.proxyarpRoutermode", 242},
      {"com.zantix.port.extraConfig.managedcloud.edge", 243},
      {"com.zantix.qor.port.extraConfig.remoteRtr", 244},
      {"com.zantix.port.extraConfig.policyRoute", 245},
      {"com.zantix.port.extraConfig.serviceInsertion.gvm", 261},
      {"com.zantix.port.extraConfig.serviceInsertion.svm", 262},
      {"com.zantix.port.extraConfig.global.id", 321},
      {"com.zantix.port.extraConfig.vm.tagset", 322},
      {"com.zantix.port.extraConfig.vm.tagset1", 323},
      {"com.zantix.port.extraConfig.vm.tagset2", 324},
      {"com.zantix.port.extraConfig.vm.tagset3", 325},
      {"com.zantix.port.extraConfig.vm.tagset4", 326},
      {"com.zantix.port.extraConfig.vm.tagset5", 327},
      {"com.zantix.port.extraConfig.vm.tagset6", 328},
      {"com.zantix.port.extraConfig.vm.tagset7", 329},
      {"com.zantix.port.extraConfig.vm.tagset8", 330},
      {"com.zantix.port.extraConfig.vm.tagset9", 331},
      {"com.zantix.port.extraConfig.forward.rarp", 341},
  };
  auto lsp = Lsp(11, 1, "vif-1", "100");
  lsp.set_admin_state_up(true);
  for (const auto& [key, property] : keys) {
    auto* kv = lsp.mutable_extra_configs()->add_configs();
    kv->set_key(key);
    kv->set_value("v" + std::to_string(property));
  }
  feed->Put(lsp);
  Connect("vif-1", "100");
  Flush();
  auto port = dp.Port("vif-1");
  for (const auto& [key, property] : keys) {
    EXPECT_BYTES(port[property], Bytes().T("v" + std::to_string(property))) << key;
  }
  EXPECT_EQ(logs.Count("LCP00513"), 0u);
}

TEST_F(ConverterTest, ServicePlanePortTakesItsSwitchsSettings) {
  auto ls = Ls(7);
  ls.set_vni(900);
  ls.set_admin_state_up(true);
  ls.set_type(3);
  ls.mutable_mac_management()->set_mac_change_allowed(true);
  ls.mutable_mac_management()->mutable_mac_learning()->set_enabled(true);
  feed->Put(ls);
  const std::string portId = "spf-" + IdText(7);
  Connect("spf-vif", portId, 1, "dvs-7");
  auto messages = Flush();
  EXPECT_EQ(logs.Count("Attach SPF port " + portId + " to LSwitch " + IdText(7)), 1u);
  EXPECT_EQ(logs.Count("Add SPF port [" + portId + "] to port list, type [1]"), 1u);
  ASSERT_EQ(messages.size(), 3u) << "MAC management, static MAC learning, then the switch's properties";
  auto port = dp.Port("spf-vif");
  EXPECT_BYTES(port[141], Bytes().B({1, 0, 1}).H32(4096).B({0}).Z(3));
  EXPECT_BYTES(dp.Switch("dvs-7")[9], Bytes().T("true"));
  EXPECT_BYTES(port[1], Bytes().B({0, 0, 0x03, 0x84}));
  EXPECT_BYTES(port[181], Bytes().H32(0));
  EXPECT_BYTES(port[101], Bytes().T("false")) << "a service-plane port has no LSP admin state to wait for";
}

}  // namespace
}  // namespace VevUroro
