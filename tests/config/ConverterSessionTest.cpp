// The converter's datapath session side: resync by notification and timer, the Hoplift sync queue, the port-list,
// switch-list and switch-property full syncs, offloaded host switches, forwarding modes, bridge nodes, the CCP
// session state, held-back unblocks, and the flow-cache and netqueue settings applied at start through the device
// access layer against a real qor-dpsim.
#include <gtest/gtest.h>

#include "core/AgentLock.h"
#include "dataplane/kcp/KcpReader.h"
#include "platform/ovs/Unixctl.h"
#include "support/LogCapture.h"
#include "support/TempRoot.h"
#include "tests/config/ConverterHarness.h"
#include "tests/config/ExpectedBytes.h"
#include "tests/dataplane/DpsimHarness.h"
#include "tests/dataplane/LinkTestSupport.h"
#include "zantix/qor/tolvar/services.pb.h"

namespace VevUroro {
namespace {

using qor::test::LogCapture;
using test::Bytes;
using test::Id;
using test::IdText;
using test::Ls;
using test::Lsp;
namespace tv = zantix::qor::tolvar;

tv::TransportNodeConfigMsg Node(uint64_t id, std::vector<tv::TransportSwitchMsg> switches) {
  tv::TransportNodeConfigMsg node;
  *node.mutable_id() = test::Uuid(id);
  for (auto& sw : switches) *node.mutable_transport_switches()->add_switches() = sw;
  return node;
}

tv::TransportSwitchMsg Switch(const std::string& id, std::optional<uint32_t> forwardingMode = {}) {
  tv::TransportSwitchMsg sw;
  sw.set_switch_id(id);
  *sw.mutable_host_switch_id() = test::Uuid(900);
  if (forwardingMode) sw.set_forwarding_mode(*forwardingMode);
  return sw;
}

std::vector<uint16_t> Types(const std::vector<std::vector<uint8_t>>& messages) {
  std::vector<uint16_t> types;
  for (const auto& m : messages) types.push_back(static_cast<uint16_t>((m.at(5) << 8) | m.at(6)));
  return types;
}

class SessionTest : public test::ConverterFixture {
 protected:
  void Basic() {
    auto ls = Ls(1);
    ls.set_vni(5001);
    ls.set_admin_state_up(true);
    feed->Put(ls);
    for (uint64_t i : {11, 12}) {
      auto lsp = Lsp(i, 1, "vif-" + std::to_string(i), std::to_string(i * 10));
      lsp.set_admin_state_up(true);
      feed->Put(lsp);
    }
  }
  LogCapture logs{LOG_LEVEL_DEBUG};
};

TEST_F(SessionTest, HopliftFlagsMergeUnderOneTimerAndWaitForThePortsConfiguration) {
  Basic();
  converter->AddHopliftPortSync("vif-11", 1);
  converter->AddHopliftPortSync("vif-11", 2);
  converter->AddHopliftPortSync("vif-11", 2);  // other flags than the queued 3: merged (to 3 again)
  converter->AddHopliftPortSync("vif-11", 3);  // the same flags: nothing
  EXPECT_EQ(timers.Hoplift().starts, 1) << "one timer for the queue";
  EXPECT_EQ(timers.Hoplift().lastInterval, 10000000u);
  EXPECT_EQ(logs.Count("Schedule Hoplift port sync timer"), 1u);
  EXPECT_EQ(logs.Count("Add port (vif-11:1) to Hoplift port sync queue"), 1u);
  EXPECT_EQ(logs.Count("Existing port(vif-11:2), merge sync flag to 3"), 2u);
  EXPECT_EQ(logs.Count("Existing port(vif-11:3)"), 0u);

  timers.Hoplift().Fire();
  EXPECT_EQ(logs.Count("Delay container list sync vif-11 since the configuration hasn't been pushed down"), 1u);
  EXPECT_EQ(timers.Hoplift().starts, 2) << "re-armed while ports remain";

  Connect("vif-11", "110");
  Flush();
  timers.Hoplift().Fire();
  EXPECT_EQ(logs.Count("Do full sync for VIF VIFID vif-11"), 1u);
  EXPECT_EQ(logs.Count("Do container list full sync(type 3)"), 1u);
  auto messages = Flush();
  EXPECT_EQ(Types(messages), (std::vector<uint16_t>{2, 9})) << "the properties, then the port's container list";
  EXPECT_EQ(messages[1].size(), 57u);
  EXPECT_EQ(timers.Hoplift().starts, 2) << "an empty queue is not re-armed";

  converter->AddHopliftPortSync("vif-12", 1);
  converter->HandleVifDisconnection("nothing");
  Connect("vif-12", "120");
  converter->HandleVifDisconnection("120");
  EXPECT_EQ(logs.Count("Delete port vif-12 from Hoplift sync queue"), 1u);
}

TEST_F(SessionTest, ResyncOfMarkedPortsByTheTimer) {
  Basic();
  Connect("vif-11", "110");
  Flush();
  converter->Start();
  EXPECT_EQ(timers.Resync().starts, 1);
  converter->OnResyncProperty(kcp::KCP_NOTIFY_PORT_PROPERTY_OUT_OF_SYNC, "vif-11");
  converter->OnResyncProperty(kcp::KCP_NOTIFY_PORT_PROPERTY_OUT_OF_SYNC, "vif-99");
  converter->OnResyncProperty(kcp::KCP_NOTIFY_TKMNIC_PROPERTY_OUT_OF_SYNC, "vmk9");
  EXPECT_EQ(logs.Count("Port vif-11 is out of sync with DP"), 1u);
  EXPECT_EQ(logs.Count("Failed to set reSync for port vif-99 as it is already disconnected"), 1u);
  EXPECT_EQ(logs.Count("Failed to find tkmnic vmk9 to set reSync as it is already removed."), 1u);
  EXPECT_TRUE(Flush().empty()) << "the timer does the work";
  timers.Resync().Fire();
  auto messages = Flush();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(logs.Count("OnResyncProperty port reSync:[ 110]"), 1u);
  EXPECT_EQ(timers.Resync().starts, 2);
  timers.Resync().Fire();
  EXPECT_TRUE(Flush().empty()) << "a resynced port is no longer marked";
}

TEST_F(SessionTest, FullSyncSendsPortListSwitchListAndSwitchProperties) {
  Basic();
  feed->Put(Node(50, {Switch("dvs-1"), Switch("dvs-2"), Switch("dvs-3")}));
  converter->AddOffloadedHostSwitch("dvs-2");
  Flush();
  Connect("vif-11", "110");
  Connect("vif-x", IdText(12345));  // bound to an LSP the configuration does not have
  Connect("vmk1", "130", 2);
  Flush();
  converter->SendFullSync(true);
  auto messages = Flush();
  EXPECT_EQ(Types(messages), (std::vector<uint16_t>{8, 3, 5, 10, 6, 6}));
  EXPECT_EQ(messages[0].size(), 9u) << "no containers: one empty ContainerList Update";
  EXPECT_EQ(dp.module.PortList(), (std::set<std::string>{"vif-11"}));
  EXPECT_EQ(dp.module.TkmnicList(), (std::set<std::string>{"vmk1"}));
  EXPECT_EQ(dp.module.SwitchList(), (std::set<std::string>{"dvs-1", "dvs-3"})) << "the offloaded switch is left out";
  EXPECT_EQ(messages[4][4], 0x80) << "switch properties of both switches form one batch";
  EXPECT_EQ(messages[4][73], 3) << "FULL SYNC";
  EXPECT_BYTES(dp.Switch("dvs-1")[1], Bytes().T("down"));
  EXPECT_BYTES(dp.Switch("dvs-1")[5], Bytes().T("true"));
  EXPECT_BYTES(dp.Switch("dvs-1")[6], Bytes().T("true"));
  EXPECT_BYTES(dp.Switch("dvs-1")[10], Bytes().B({0, 0, 0, 1}));
  EXPECT_EQ(logs.Count("Send portList fullSync message"), 1u);
  EXPECT_EQ(logs.Count("Send DVSList FullSync message"), 1u);
  EXPECT_EQ(logs.Count("Add an offloaded hostswitch dvs-2"), 1u);

  builder->Link().refuseFrom = 0;
  converter->SendFullSync(true);
  EXPECT_EQ(logs.Count({"Failed to build portList fullSync msg", "LCP00502"}), 1u);
  EXPECT_EQ(logs.Count({"Failed to send DVSList FullSync message", "LCP00502"}), 1u);
}

TEST_F(SessionTest, ResetForgetsPortsAndEndOfFullSyncSendsThePortList) {
  Basic();
  Connect("vif-11", "110");
  converter->Reset();
  Flush();
  ConnectedPort port;
  EXPECT_FALSE(converter->FindConnectedPort("vif-11", &port));
  Connect("vif-12", "120");
  converter->EndOfFullSync();
  Flush();
  EXPECT_EQ(dp.module.PortList(), (std::set<std::string>{"vif-12"}));
}

TEST_F(SessionTest, ForwardingModes) {
  feed->Put(Node(50, {Switch("zero", 0), Switch("absent"), Switch("three", 3)}));
  Flush();
  EXPECT_BYTES(dp.Switch("zero")[10], Bytes().B({0, 0, 0, 1}));
  EXPECT_BYTES(dp.Switch("absent")[10], Bytes().B({0, 0, 0, 1}));
  EXPECT_BYTES(dp.Switch("three")[10], Bytes().B({0, 0, 0, 3}));
  EXPECT_EQ(logs.Count("Unexpected Forwarding mode 0, defaulting to 1"), 1u);
  EXPECT_EQ(logs.Count("Forwarding mode is 3 for host switch [three]"), 1u);
  EXPECT_EQ(logs.Count("Set global properties for tSwitch zero"), 1u);

  feed->Put(Node(50, {Switch("zero", 0), Switch("four", 4)}));
  auto messages = Flush();
  EXPECT_EQ(logs.Count("Invalid forwarding mode: 4"), 1u);
  for (const auto& m : messages) {
    kcp::KcpMessage message;
    ASSERT_TRUE(kcp::DecodeMessage(m.data(), m.size(), &message));
    for (const auto& p : message.items.at(0).vds->properties) EXPECT_NE(p.key, 10) << "mode 4 stops the build";
  }

  feed->Delete(tv::TRANSPORT_NODE_CONFIG, Id(50));
  Flush();
  EXPECT_EQ(logs.Count("Reset global property for tSwitch four"), 1u);
  EXPECT_TRUE(dp.module.SwitchProperties().empty()) << "a DELETE of each switch's properties";
}

TEST_F(SessionTest, SecurityOnlyAndOffloadedSwitchesGetNoSwitchProperties) {
  auto security = Switch("secure");
  security.set_mode(2);
  auto offloaded = Switch("nic");
  offloaded.set_offloaded(true);
  auto* opaque = security.mutable_opaque_configs()->add_configs();
  opaque->set_key("com.zantix.qor.extraConfig.managedcloud.management.bogus");
  feed->Put(Node(50, {security, offloaded, Switch("plain")}));
  Flush();
  EXPECT_EQ(dp.module.SwitchProperties().size(), 1u);
  EXPECT_EQ(dp.module.SwitchProperties().count("plain"), 1u);
  EXPECT_EQ(logs.Count("Skip transport switch enabled with QOR security: secure"), 1u);
  EXPECT_EQ(logs.Count({"Unsupported Global Opaque Config Key to update", "LCP00513"}), 1u);
}

TEST_F(SessionTest, BridgeNodesTurnTheFlowCacheOff) {
  feed->Put(Node(50, {Switch("dvs-1")}));
  Flush();
  tv::BridgeClusterConfigMsg cluster;
  *cluster.mutable_id() = test::Uuid(70);
  cluster.mutable_bridge_nodes()->add_nodes()->set_host_switch_id("dvs-1");
  feed->Put(cluster);
  Flush();
  EXPECT_EQ(logs.Count("Receive bridge node configuration"), 1u);
  EXPECT_EQ(dp.Switch("dvs-1").count(5), 0u) << "sent empty: flow cache off";
  EXPECT_EQ(dp.Switch("dvs-1").count(6), 0u);
  feed->Delete(tv::BRIDGE_CLUSTER_CONFIG, Id(70));
  Flush();
  EXPECT_BYTES(dp.Switch("dvs-1")[5], Bytes().T("true"));
  EXPECT_BYTES(dp.Switch("dvs-1")[6], Bytes().T("true"));
}

TEST_F(SessionTest, FlowCacheDisabledIgnoresBridgeNodesAndMulticastOffDropsKey6) {
  ConfigTree subtree;
  subtree.put("features.flowCache.enabled", false);
  subtree.put("features.flowCache.mcastEnabled", false);
  Make(subtree);
  feed->Put(Node(50, {Switch("dvs-1")}));
  Flush();
  EXPECT_EQ(dp.Switch("dvs-1").count(5), 0u);
  EXPECT_EQ(dp.Switch("dvs-1").count(6), 0u);
  tv::BridgeClusterConfigMsg cluster;
  *cluster.mutable_id() = test::Uuid(70);
  cluster.mutable_bridge_nodes()->add_nodes();
  feed->Put(cluster);
  EXPECT_EQ(logs.Count("Receive bridge node configuration"), 0u);
}

TEST_F(SessionTest, CcpSessionStateNeedsTheSessionAndBothDaemons) {
  feed->Put(Node(50, {Switch("dvs-1")}));
  Flush();
  auto session = [&](std::optional<uint32_t> state) {
    std::list<TolvarUpdateMsg> entries;
    TolvarUpdateMsg entry;
    entry.objectType = tv::CCP_SESSION;
    tv::CcpSessionMsg message;
    if (state) message.set_state(*state);
    entry.value = message.SerializeAsString();
    entry.operation = state ? TolvarUpdateMsg::OP_SET : TolvarUpdateMsg::OP_CLEAR;
    entries.push_back(entry);
    converter->HandleCcpSession(entries, false);
  };
  session(1);
  converter->OnDaemonHealthStateUpdate(1, 2);
  EXPECT_TRUE(Flush().empty()) << "daemon 1 still down";
  converter->OnDaemonHealthStateUpdate(1, 7);
  EXPECT_TRUE(Flush().empty()) << "an unknown daemon gives down, which it already is";
  converter->OnDaemonHealthStateUpdate(1, 1);
  Flush();
  EXPECT_BYTES(dp.Switch("dvs-1")[1], Bytes().T("up"));
  EXPECT_EQ(logs.Count("DVSPropConvertor::OnDaemonHealthStateUpdate: CCPSessionState changed to up"), 1u);
  converter->OnDaemonHealthStateUpdate(1, 1);
  EXPECT_TRUE(Flush().empty()) << "no change, nothing sent";
  // An unknown daemon id gives down; the next report of a watched daemon brings the state back, although the
  // stored inputs never changed.
  converter->OnDaemonHealthStateUpdate(1, 7);
  Flush();
  EXPECT_BYTES(dp.Switch("dvs-1")[1], Bytes().T("down"));
  converter->OnDaemonHealthStateUpdate(1, 2);
  Flush();
  EXPECT_BYTES(dp.Switch("dvs-1")[1], Bytes().T("up"));
  EXPECT_EQ(logs.Count("DVSPropConvertor::OnDaemonHealthStateUpdate: CCPSessionState changed to up"), 2u);
  session(std::nullopt);
  Flush();
  EXPECT_BYTES(dp.Switch("dvs-1")[1], Bytes().T("down"));
  session(1);
  converter->OnDaemonHealthStateUpdate(0, 1);
  Flush();
  EXPECT_BYTES(dp.Switch("dvs-1")[1], Bytes().T("down"));
  converter->HandleCcpSession({}, true);
  EXPECT_TRUE(Flush().empty());
}

TEST_F(SessionTest, SmartnicBackingMarksHostSwitchesOffloaded) {
  auto backing = [](const std::string& hostSwitch, int32_t op) {
    tv::HostSwitchSmartnicBackingMsg message;
    message.set_host_switch_id(hostSwitch);
    TolvarUpdateMsg entry;
    entry.objectType = tv::HOST_SWITCH_SMARTNIC_BACKING;
    entry.value = message.SerializeAsString();
    entry.operation = op;
    return entry;
  };
  converter->HandleSmartnicBacking({backing("dvs-a", 1), backing("dvs-b", 1)}, false);
  converter->HandleSmartnicBacking({backing("dvs-a", 2)}, false);
  EXPECT_EQ(logs.Count("Remove an offloaded hostswitch dvs-a"), 1u);
  converter->HandleSmartnicBacking({}, true);
  EXPECT_EQ(logs.Count("Remove an offloaded hostswitch dvs-b"), 1u);
}

TEST_F(SessionTest, UnblockIsHeldBackUntilSecurityIsSet) {
  Basic();
  Connect("vif-11", "110");
  Flush();
  EXPECT_FALSE(converter->SendPortUnblockUpdate("110"));
  EXPECT_EQ(logs.Count("No security is configured, will unblock port 110 after security is set"), 1u);
  auto lsp = Lsp(11, 1, "vif-11", "110");
  lsp.set_admin_state_up(true);
  lsp.mutable_switch_security()->set_switch_spoof_guard(true);
  feed->Put(lsp);
  Flush();
  EXPECT_EQ(dp.Port("vif-11").count(41), 1u);
  EXPECT_TRUE(converter->SendPortUnblockUpdate("110"));
  EXPECT_EQ(logs.Count("DvsPropConvertor sent UNBLOCK msg to data plane"), 1u);
}

class FlowCacheStartTest : public ::testing::Test {
 protected:
  std::string Dump(const std::string& device) {
    return qor::ovs::UnixctlClient::Call(dpsim.ControlPath(), "dpsim/dump", {device}).text;
  }
  void StartWith(const ConfigTree& subtree) {
    test::ManualTimers timers;
    DVSPropConvertor::Collaborators c;
    c.builder = new test::CapturingBuilder();
    c.timers = timers.Factory();
    qor::RefPtr<DVSPropConvertor> converter(new DVSPropConvertor(c, subtree));
    converter->Start();
    converter->Stop();
  }
  qor::test::TempRoot root;
  qor::test::DpsimProcess dpsim{root.Path(), {"--no-default-channels"}};
  LogCapture logs{LOG_LEVEL_INFO};
};

TEST_F(FlowCacheStartTest, DefaultsAndRanges) {
  ASSERT_TRUE(dpsim.WaitReady());
  StartWith(ConfigTree());
  EXPECT_EQ(logs.Count("DVSPropConvertor start: FC enabled true, mcastEnabled true, flowExprTime 180, "
                       "flowAgingInterval 360"),
            1u);
  EXPECT_NE(Dump("/dev/fc").find("flow expiry time: 180000 ms"), std::string::npos);
  EXPECT_NE(Dump("/dev/fc").find("flow aging interval: 360000 ms"), std::string::npos);
  EXPECT_NE(Dump("/dev/vswitch").find("requests served: 0"), std::string::npos) << "netqueue setting absent";

  ConfigTree subtree;
  subtree.put("features.flowCache.flowExprTime", 4);
  subtree.put("features.flowCache.flowAgingInterval", 86400);
  StartWith(subtree);
  EXPECT_EQ(logs.Count("Failed to set FC flow expr time[4]. Specify value between 5-360 seconds"), 1u);
  EXPECT_NE(Dump("/dev/fc").find("flow expiry time: 180000 ms"), std::string::npos) << "4 is not applied";
  EXPECT_NE(Dump("/dev/fc").find("flow aging interval: 86400000 ms"), std::string::npos);

  subtree.put("features.flowCache.flowExprTime", 5);
  subtree.put("features.flowCache.flowAgingInterval", 86401);
  StartWith(subtree);
  EXPECT_NE(Dump("/dev/fc").find("flow expiry time: 5000 ms"), std::string::npos);
  EXPECT_EQ(logs.Count("Failed to set FC flow aging interval[86401]. Specify value between 5-86400 seconds"), 1u);

  subtree.put("features.flowCache.flowExprTime", 360);
  StartWith(subtree);
  EXPECT_NE(Dump("/dev/fc").find("flow expiry time: 360000 ms"), std::string::npos);
  subtree.put("features.flowCache.flowExprTime", 361);
  StartWith(subtree);
  EXPECT_EQ(logs.Count("Failed to set FC flow expr time[361]. Specify value between 5-360 seconds"), 1u);
  EXPECT_NE(Dump("/dev/fc").find("flow expiry time: 360000 ms"), std::string::npos);
}

TEST_F(FlowCacheStartTest, NetqueueHandlingAndDeviceFailures) {
  ASSERT_TRUE(dpsim.WaitReady());
  ConfigTree subtree;
  subtree.put("features.dbridge.vswitchNetqHandling", true);
  StartWith(subtree);
  EXPECT_EQ(logs.Count("DVSPropConvertor start: DBridge vswitch netqueue handling enabled true"), 1u);
  EXPECT_NE(Dump("/dev/vswitch").find("netqueue handling: enabled"), std::string::npos);

  auto fail = qor::ovs::UnixctlClient::Call(dpsim.ControlPath(), "dpsim/device-fail", {"/dev/fc", "10", "22"});
  ASSERT_TRUE(fail.ok);
  fail = qor::ovs::UnixctlClient::Call(dpsim.ControlPath(), "dpsim/device-fail", {"/dev/vswitch", "0x2001", "1"});
  ASSERT_TRUE(fail.ok);
  StartWith(subtree);
  EXPECT_EQ(logs.Count("Failed to set FC flow expr time[180] Invalid argument"), 1u);
  EXPECT_EQ(logs.Count("Failed to set FC flow aging interval[360] Invalid argument"), 1u);
  EXPECT_EQ(logs.Count("Failed to set DBridge vswitch netqueue handling enabled [true] Operation not permitted"), 1u);
}

TEST(FlowCacheNoDeviceTest, MissingDeviceIsLoggedAndStartGoesOn) {
  qor::test::TempRoot root;
  LogCapture logs(LOG_LEVEL_INFO);
  ConfigTree subtree;
  subtree.put("features.dbridge.vswitchNetqHandling", false);
  FlowCacheSettings::FromConfig(subtree).ApplyToKernel();
  EXPECT_EQ(logs.Count("Failed to open FC chardev No such file or directory"), 1u);
  EXPECT_EQ(logs.Count("Failed to open vswitch chardev No such file or directory"), 1u);
}

// A device that is slow to answer holds back the converter's start, but not the agent: the lock is not held
// while the kernel settings are applied. A device that answers short and closes fails the request it was asked
// and the next one on the same descriptor; start goes on.
TEST(FlowCacheDeviceTest, SlowDeviceDoesNotHoldTheAgentLockAndAShortAnswerFailsTheRequests) {
  qor::test::TempRoot root;
  LogCapture logs(LOG_LEVEL_INFO);
  qor::test::ChannelListener fc(root.Path() + "/dev/fc");
  test::ManualTimers timers;
  DVSPropConvertor::Collaborators c;
  c.builder = new test::CapturingBuilder();
  c.timers = timers.Factory();
  qor::RefPtr<DVSPropConvertor> converter(new DVSPropConvertor(c, ConfigTree()));
  std::thread start([&] { converter->Start(); });

  int device = fc.Accept();
  ASSERT_GE(device, 0);
  auto request = qor::test::ReadBytes(device, 8 + 16);
  ASSERT_EQ(request.size(), 24u) << "the expiry time request";
  // The converter's start now waits for the device's answer.
  bool lockFree = AgentLock().try_lock();
  if (lockFree) AgentLock().unlock();
  EXPECT_TRUE(lockFree) << "the agent lock is not held while waiting for a device";
  ASSERT_TRUE(qor::test::WriteBytes(device, {0, 0, 0, 0, 0, 0, 0, 0}));
  ASSERT_EQ(qor::test::ReadBytes(device, 24).size(), 24u) << "the aging interval request";
  ASSERT_TRUE(qor::test::WriteBytes(device, {0, 0, 0, 0}));  // half a header, then the device goes away
  close(device);
  start.join();
  EXPECT_EQ(logs.Count("Failed to set FC flow aging interval[360] Input/output error"), 1u);
  EXPECT_EQ(logs.Count("Failed to set FC flow expr time"), 0u);
  EXPECT_EQ(logs.Count("Failed to close FC chardev"), 0u) << "the failed request closed the descriptor already";
  converter->Stop();
}

}  // namespace
}  // namespace VevUroro
