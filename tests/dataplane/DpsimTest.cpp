// The datapath simulator as the agent sees it: a real qor-dpsim process (and, where its state must be inspected, the
// same simulator in-process), real Unix sockets, the channel framing.
#include <gtest/gtest.h>

#include <thread>

#include "dataplane/kcp/KcpFormat.h"
#include "dataplane/kcp/KcpReader.h"
#include "dataplane/kcp/KcpWriter.h"
#include "platform/ovs/Unixctl.h"
#include "support/TempRoot.h"
#include "tests/dataplane/DpsimHarness.h"
#include "tools/qor-dpsim/Capture.h"
#include "tools/qor-dpsim/Simulator.h"

namespace qor::dpsim {
namespace {

using namespace VevUroro::kcp;
using qor::test::ChannelClient;
using qor::test::DpsimProcess;

KcpMessage DecodeOrFail(const std::optional<std::vector<uint8_t>>& bytes) {
  KcpMessage msg;
  EXPECT_TRUE(bytes.has_value());
  if (bytes) {
    EXPECT_TRUE(DecodeMessage(bytes->data(), bytes->size(), &msg));
  }
  return msg;
}

void ExpectSessionControl(const KcpMessage& msg, uint8_t type, uint32_t id) {
  ASSERT_EQ(msg.type, KCP_MSG_SESSION_CONTROL);
  ASSERT_EQ(msg.items.size(), 1u);
  EXPECT_EQ(msg.items[0].controlType, type);
  EXPECT_EQ(msg.items[0].sessionId, id);
}

std::vector<uint8_t> PortPropertyUpdate(const std::string& vif, uint16_t key, std::vector<uint8_t> value, bool more) {
  KcpMessage msg;
  msg.type = KCP_MSG_UPDATE;
  msg.updateFlags = more ? kUpdateFlagMore : 0;
  DataItem item;
  item.type = KCP_UPDATE_PORT_PROPERTY;
  item.operation = KCP_OP_UPDATE;
  item.propertyRecords = {{vif, {{key, std::move(value)}}}};
  msg.items = {item};
  return *EncodeMessage(msg);
}

TEST(DpsimProcessTest, SessionOpenIsAcknowledgedThenFullSyncEnds) {
  qor::test::TempRoot root;
  root.WriteFile("/dpsim.conf",
                 "# one extra KCP channel with a connected VIF\n"
                 "channel extra_tkmlink kcp\n"
                 "vif extra_tkmlink vif-7 port-7 switch-1 00:50:56:aa:bb:cc\n");
  DpsimProcess dpsim(root.Path(), {"--config", root.Under("/dpsim.conf"), "--capture", root.Under("/capture")});
  ASSERT_TRUE(dpsim.WaitReady());

  // Default KCP channel: no VIFs held, so ACK then Full Sync End.
  ChannelClient agent(dpsim.ChannelPath("qor_vswitch_tkmlink"));
  ASSERT_TRUE(agent.Connected());
  auto open = BuildSessionControl(KCP_SESSION_OPEN, 4242);
  ASSERT_TRUE(agent.SendAll(open));
  ExpectSessionControl(DecodeOrFail(agent.Receive()), KCP_SESSION_OPEN_ACK, 4242);
  ExpectSessionControl(DecodeOrFail(agent.Receive()), KCP_SESSION_FULL_SYNC_END, 4242);

  // The channel from the file reports its VIF between the ACK and the end of the full sync.
  ChannelClient other(dpsim.ChannelPath("extra_tkmlink"));
  ASSERT_TRUE(other.Connected());
  ASSERT_TRUE(other.SendAll(BuildSessionControl(KCP_SESSION_OPEN, 9)));
  ExpectSessionControl(DecodeOrFail(other.Receive()), KCP_SESSION_OPEN_ACK, 9);
  auto update = DecodeOrFail(other.Receive());
  ASSERT_EQ(update.type, KCP_MSG_UPDATE);
  ASSERT_EQ(update.items.size(), 1u);
  EXPECT_EQ(update.items[0].type, KCP_UPDATE_VIF);
  ASSERT_EQ(update.items[0].vifs.size(), 1u);
  const auto& vif = update.items[0].vifs[0];
  EXPECT_EQ(vif.vifId, "vif-7");
  EXPECT_EQ(vif.portId, "port-7");
  EXPECT_EQ(vif.switchId, "switch-1");
  ASSERT_EQ(vif.properties.size(), 2u);
  EXPECT_EQ(vif.properties[0], MakeStatusProperty(KCP_VIF_CONNECT));
  EXPECT_EQ(DecodeMacProperty(vif.properties[1]), (std::vector<MacAddress>{{0x00, 0x50, 0x56, 0xaa, 0xbb, 0xcc}}));
  ExpectSessionControl(DecodeOrFail(other.Receive()), KCP_SESSION_FULL_SYNC_END, 9);

  // DP Status Query is answered with a notification.
  ASSERT_TRUE(agent.SendAll(BuildDpStatusQuery()));
  auto status = agent.Receive();
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, BuildDpStatusNotification(KCP_DP_SYNC));

  // The capture holds both directions' exact bytes.
  // A sent message is captured once its write completed, which may be just after the client read it.
  std::vector<CaptureRecord> records;
  ASSERT_TRUE(qor::test::WaitFor([&] {
    records = ReadCaptureFile(root.Under("/capture/qor_vswitch_tkmlink.cap"));
    return records.size() == 5;
  }));
  EXPECT_EQ(records[0].direction, Direction::kIn);
  EXPECT_EQ(records[0].bytes, open);
  EXPECT_EQ(records[0].connection, 1u);
  EXPECT_EQ(records[1].direction, Direction::kOut);
  EXPECT_EQ(records[1].bytes, BuildSessionControl(KCP_SESSION_OPEN_ACK, 4242));
  EXPECT_EQ(records[3].bytes, BuildDpStatusQuery());
  EXPECT_EQ(records[4].direction, Direction::kOut);
  EXPECT_TRUE(
      qor::test::WaitFor([&] { return ReadCaptureFile(root.Under("/capture/extra_tkmlink.cap")).size() == 4; }));
  EXPECT_EQ(dpsim.Stop(), 0);
  EXPECT_FALSE(std::filesystem::exists(dpsim.ChannelPath("qor_vswitch_tkmlink")));
}

TEST(DpsimProcessTest, RecoversFromDisconnectsAndBadFraming) {
  qor::test::TempRoot root;
  DpsimProcess dpsim(root.Path(), {"--capture", root.Under("/capture")});
  ASSERT_TRUE(dpsim.WaitReady());
  for (uint32_t session = 1; session <= 3; ++session) {
    ChannelClient agent(dpsim.ChannelPath("qor_vswitch_tkmlink"));
    ASSERT_TRUE(agent.Connected());
    ASSERT_TRUE(agent.SendAll(BuildSessionControl(KCP_SESSION_OPEN, session)));
    ExpectSessionControl(DecodeOrFail(agent.Receive()), KCP_SESSION_OPEN_ACK, session);
    ExpectSessionControl(DecodeOrFail(agent.Receive()), KCP_SESSION_FULL_SYNC_END, session);
  }
  // A length below the header cannot be framed: the simulator drops that connection only.
  ChannelClient bad(dpsim.ChannelPath("qor_vswitch_tkmlink"));
  ChannelClient good(dpsim.ChannelPath("qor_vswitch_tkmlink"));
  ASSERT_TRUE(bad.SendAll({0, 5, 0, 2}));
  EXPECT_TRUE(bad.WaitClosed());
  ASSERT_TRUE(good.SendAll(BuildSessionControl(KCP_SESSION_OPEN, 77)));
  ExpectSessionControl(DecodeOrFail(good.Receive()), KCP_SESSION_OPEN_ACK, 77);

  // Raw channels take whatever is framed, including messages larger than a socket buffer.
  ChannelClient raw(dpsim.ChannelPath("qor_dorl_tkmlink"));
  std::vector<uint8_t> big(60000, 0xab);
  WriteU16(big.data(), 9);
  WriteU16(big.data() + 2, static_cast<uint16_t>(big.size()));
  ASSERT_TRUE(raw.SendAll(big));
  ASSERT_TRUE(
      qor::test::WaitFor([&] { return ReadCaptureFile(root.Under("/capture/qor_dorl_tkmlink.cap")).size() == 1; }));
  EXPECT_EQ(ReadCaptureFile(root.Under("/capture/qor_dorl_tkmlink.cap"))[0].bytes, big);
  EXPECT_EQ(dpsim.Stop(), 0);
}

TEST(DpsimProcessTest, ControlSocketListsDumpsAndInjects) {
  qor::test::TempRoot root;
  DpsimProcess dpsim(root.Path(), {"--no-default-channels", "--channel", "sw_tkmlink=kcp", "--channel", "x_tkmlink"});
  ASSERT_TRUE(dpsim.WaitReady());
  using qor::ovs::UnixctlClient;
  auto channels = UnixctlClient::Call(dpsim.ControlPath(), "dpsim/channels");
  ASSERT_TRUE(channels.Answered()) << channels.text;
  EXPECT_TRUE(channels.ok);
  EXPECT_NE(channels.text.find("sw_tkmlink kcp"), std::string::npos) << channels.text;
  EXPECT_NE(channels.text.find("x_tkmlink raw"), std::string::npos) << channels.text;

  ChannelClient agent(dpsim.ChannelPath("sw_tkmlink"));
  KcpMessage vds;
  vds.type = KCP_MSG_UPDATE;
  DataItem item;
  item.type = KCP_UPDATE_VDS_PROPERTY;
  item.vds = VdsRecord{"vds-1", KCP_OP_UPDATE, {{1, {'u', 'p', 0}}}};
  vds.items = {item};
  ASSERT_TRUE(agent.SendAll(*EncodeMessage(vds)));
  ASSERT_TRUE(agent.SendAll(BuildDpStatusQuery()));
  ASSERT_TRUE(agent.Receive().has_value());
  auto dump = UnixctlClient::Call(dpsim.ControlPath(), "dpsim/dump", {"sw_tkmlink"});
  EXPECT_TRUE(dump.ok) << dump.text;
  EXPECT_NE(dump.text.find("1 (CCP session state) = \"up\""), std::string::npos) << dump.text;

  auto inject = UnixctlClient::Call(dpsim.ControlPath(), "dpsim/port-out-of-sync", {"sw_tkmlink", "vif-4"});
  EXPECT_TRUE(inject.ok) << inject.text;
  auto notification = DecodeOrFail(agent.Receive());
  ASSERT_EQ(notification.items.size(), 1u);
  EXPECT_EQ(notification.items[0].type, KCP_NOTIFY_PORT_PROPERTY_OUT_OF_SYNC);
  EXPECT_EQ(notification.items[0].ownerId, "vif-4");

  auto wrong = UnixctlClient::Call(dpsim.ControlPath(), "dpsim/vif-disconnect", {"x_tkmlink", "vif-4"});
  EXPECT_TRUE(wrong.Answered());
  EXPECT_FALSE(wrong.ok);
  EXPECT_EQ(dpsim.Stop(), 0);
}

// The simulator in this process, so that its state can be read between messages.
class DpsimInProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Options options;
    options.root = root.Path();
    options.defaultChannels = false;
    options.channels = {{"sw", "kcp"}};
    simulator = std::make_unique<Simulator>(options);
    std::string error;
    ASSERT_TRUE(simulator->Setup(&error)) << error;
    thread = std::thread([this] { simulator->Run(); });
  }
  void TearDown() override {
    simulator->Stop();
    thread.join();
    simulator.reset();
  }
  std::string Dump() { return simulator->Execute({"dump", "sw"}).second; }

  qor::test::TempRoot root;
  std::unique_ptr<Simulator> simulator;
  std::thread thread;
};

TEST_F(DpsimInProcessTest, BatchIsAppliedOnlyAtItsLastMessage) {
  ChannelClient agent(simulator->ChannelPath("sw"));
  ASSERT_TRUE(agent.Connected());
  ASSERT_TRUE(agent.SendAll(PortPropertyUpdate("vif-1", 101, {'t', 'r', 'u', 'e', 0}, true)));
  ASSERT_TRUE(agent.SendAll(PortPropertyUpdate("vif-2", 1, {0, 0, 0x13, 0x88}, true)));
  // The query's answer proves both updates were read before the dump.
  ASSERT_TRUE(agent.SendAll(BuildDpStatusQuery()));
  ASSERT_TRUE(agent.Receive().has_value());
  std::string before = Dump();
  EXPECT_NE(before.find("batches applied: 0"), std::string::npos) << before;
  EXPECT_NE(before.find("port properties: 0"), std::string::npos) << before;

  ASSERT_TRUE(agent.SendAll(PortPropertyUpdate("vif-1", 102, {0, 0, 0, 5}, false)));
  ASSERT_TRUE(agent.SendAll(BuildDpStatusQuery()));
  ASSERT_TRUE(agent.Receive().has_value());
  std::string after = Dump();
  EXPECT_NE(after.find("batches applied: 1"), std::string::npos) << after;
  EXPECT_NE(after.find("port properties: 2"), std::string::npos) << after;
  EXPECT_NE(after.find("101 (port blocked) = blocked"), std::string::npos) << after;
  EXPECT_NE(after.find("1 (segment VNI) = VNI 5000"), std::string::npos) << after;
  EXPECT_NE(after.find("102 (VLAN) = malformed (4 bytes) 0x00000005"), std::string::npos) << after;

  // An empty value clears the key; DELETE without keys removes the port.
  ASSERT_TRUE(agent.SendAll(PortPropertyUpdate("vif-1", 101, {}, false)));
  KcpMessage del;
  del.type = KCP_MSG_UPDATE;
  DataItem item;
  item.type = KCP_UPDATE_PORT_PROPERTY;
  item.operation = KCP_OP_DELETE;
  item.propertyRecords = {{"vif-2", {}}};
  del.items = {item};
  ASSERT_TRUE(agent.SendAll(*EncodeMessage(del)));
  ASSERT_TRUE(agent.SendAll(BuildDpStatusQuery()));
  ASSERT_TRUE(agent.Receive().has_value());
  std::string last = Dump();
  EXPECT_NE(last.find("port properties: 1"), std::string::npos) << last;
  EXPECT_EQ(last.find("port blocked"), std::string::npos) << last;
}

TEST_F(DpsimInProcessTest, UnfinishedBatchIsDroppedWithItsConnection) {
  {
    ChannelClient agent(simulator->ChannelPath("sw"));
    ASSERT_TRUE(agent.SendAll(PortPropertyUpdate("vif-1", 101, {'t', 'r', 'u', 'e', 0}, true)));
    ASSERT_TRUE(agent.SendAll(BuildDpStatusQuery()));
    ASSERT_TRUE(agent.Receive().has_value());
  }
  ASSERT_TRUE(qor::test::WaitFor([&] { return simulator->Execute({"connections"}).second.empty(); }));
  ChannelClient again(simulator->ChannelPath("sw"));
  ASSERT_TRUE(again.SendAll(PortPropertyUpdate("vif-3", 101, {'f', 'a', 'l', 's', 'e', 0}, false)));
  ASSERT_TRUE(again.SendAll(BuildDpStatusQuery()));
  ASSERT_TRUE(again.Receive().has_value());
  std::string dump = Dump();
  EXPECT_EQ(dump.find("vif-1"), std::string::npos) << dump;
  EXPECT_NE(dump.find("vif-3"), std::string::npos) << dump;
}

TEST_F(DpsimInProcessTest, InjectedEventsReachTheAgent) {
  ChannelClient agent(simulator->ChannelPath("sw"));
  ASSERT_TRUE(qor::test::WaitFor([&] { return simulator->Execute({"connections"}).second == "sw 1\n"; }));
  auto [ok, reply] = simulator->Execute({"vif-connect", "sw", "vif-9", "port-9", "switch-9"});
  ASSERT_TRUE(ok) << reply;
  auto update = DecodeOrFail(agent.Receive());
  ASSERT_EQ(update.items.size(), 1u);
  ASSERT_EQ(update.items[0].vifs.size(), 1u);
  EXPECT_EQ(update.items[0].vifs[0].vifId, "vif-9");
  EXPECT_EQ(update.items[0].vifs[0].properties.at(0), MakeStatusProperty(KCP_VIF_CONNECT));

  ASSERT_TRUE(simulator->Execute({"dp-status", "sw", "out-of-sync"}).first);
  EXPECT_EQ(agent.Receive(), BuildDpStatusNotification(KCP_DP_OUT_OF_SYNC));
  ASSERT_TRUE(simulator->Execute({"vif-disconnect", "sw", "vif-9"}).first);
  // A disconnection is a VIF Update with operation DELETE and the record alone.
  update = DecodeOrFail(agent.Receive());
  EXPECT_EQ(update.items.at(0).operation, KCP_OP_DELETE);
  EXPECT_EQ(update.items.at(0).vifs.at(0).vifId, "vif-9");
  EXPECT_TRUE(update.items.at(0).vifs.at(0).properties.empty());
  EXPECT_EQ(update.items.at(0).vifs.at(0).hoplift, 0);
  EXPECT_FALSE(simulator->Execute({"vif-disconnect", "sw", "nope"}).first);
  EXPECT_FALSE(simulator->Execute({"dump", "nope"}).first);
}

}  // namespace
}  // namespace qor::dpsim
