// The configuration application in-process (ConfigAppHarness.h): the session with the datapath, the VIF runtime
// state and when it is written, fragments, the Hoplift status records and the DP status query with a driven clock,
// the dispatcher's lists and the operator's view.
#include <gtest/gtest.h>

#include <algorithm>

#include "apps/config/VifUpdateFragments.h"
#include "dataplane/kcp/KcpFormat.h"
#include "dataplane/kcp/KcpReader.h"
#include "dataplane/kcp/KcpWriter.h"
#include "tests/config/ConfigAppHarness.h"
#include "zantix/qor/tolvar/objecttype.pb.h"
#include "zantix/qor/tolvar/runtime.pb.h"

namespace VevUroro {
namespace {

namespace tv = zantix::qor::tolvar;
using namespace kcp;
using test::Id;
using test::Ls;
using test::Lsp;

uint16_t U16(const std::vector<uint8_t>& bytes, size_t at) {
  return static_cast<uint16_t>((bytes.at(at) << 8) | bytes.at(at + 1));
}
uint32_t U32(const std::vector<uint8_t>& bytes, size_t at) {
  return (static_cast<uint32_t>(U16(bytes, at)) << 16) | U16(bytes, at + 2);
}

VifRecord Vif(const std::string& vif, const std::string& port, uint8_t type = KCP_VIF_VNIC) {
  VifRecord record;
  record.vifId = vif;
  record.portId = port;
  record.switchId = "dvs-1";
  record.vifType = type;
  return record;
}

DiscoveredBinding V4(uint32_t ip, uint8_t method) {
  DiscoveredBinding binding;
  binding.family = 1;
  WriteU32(binding.ip.data(), ip);
  binding.mac = {0x00, 0x50, 0x56, 0, 0, static_cast<uint8_t>(ip)};
  binding.vlanId = 7;
  binding.method = method;
  binding.timestamp = 99;
  return binding;
}

// A series message as the datapath sends it: one VIF record whose first property is `first` bytes long, followed by
// a property of `padding` bytes; decoded as the link's reader decodes it.
KcpMessage SeriesMessage(const std::string& vif, size_t first, size_t padding, bool more) {
  KcpMessage message;
  message.type = KCP_MSG_UPDATE;
  message.updateFlags = more ? 0x80 : 0;
  DataItem item;
  item.type = KCP_UPDATE_VIF;
  item.operation = KCP_OP_UPDATE;
  VifRecord record = Vif(vif, "1001");
  record.properties.push_back(KcpProperty{KCP_VIF_PROP_DISCOVERED_BINDINGS, std::vector<uint8_t>(first, 0x11)});
  record.properties.push_back(KcpProperty{9, std::vector<uint8_t>(padding, 0x22)});
  item.vifs.push_back(record);
  message.items.push_back(item);
  auto bytes = EncodeMessage(message);
  KcpMessage decoded;
  EXPECT_TRUE(bytes && DecodeMessage(bytes->data(), bytes->size(), &decoded));
  return decoded;
}

TEST(VifUpdateFragmentsTest, WhatASeriesHoldsIsBoundedWhateverTheDatapathSends) {
  VifUpdateFragments fragments;
  KcpMessage out;
  std::string why;
  // Fragments carrying one value byte each and 30,000 bytes besides: only the value is kept.
  size_t accepted = 0;
  VifUpdateFragments::Result result = VifUpdateFragments::Result::kPending;
  while (result == VifUpdateFragments::Result::kPending && accepted < 100) {
    result = fragments.Add(SeriesMessage("vif-1", 1, 30000, true), &out, &why);
    if (result == VifUpdateFragments::Result::kPending) ++accepted;
    EXPECT_LT(fragments.HeldBytes(), 2000u) << "after " << accepted << " fragments";
  }
  EXPECT_EQ(result, VifUpdateFragments::Result::kRejected);
  EXPECT_EQ(why, "the series' fragments exceed 1048576 bytes");
  EXPECT_EQ(accepted, VifUpdateFragments::kMaxSeriesBytes / SeriesMessage("vif-1", 1, 30000, true).length);
  EXPECT_EQ(fragments.HeldBytes(), 0u);
  EXPECT_EQ(fragments.Add(SeriesMessage("vif-1", 1, 30000, false), &out, &why), VifUpdateFragments::Result::kSwallowed);

  // A fragment that adds nothing to the value is refused.
  ASSERT_EQ(fragments.Add(SeriesMessage("vif-1", 4, 0, true), &out, &why), VifUpdateFragments::Result::kPending);
  EXPECT_EQ(fragments.Add(SeriesMessage("vif-1", 0, 100, true), &out, &why), VifUpdateFragments::Result::kRejected);
  EXPECT_EQ(why, "a fragment's first property is empty");
  fragments.Clear();

  // A good series gives the first fragment's record with the values, in order, as its one property.
  ASSERT_EQ(fragments.Add(SeriesMessage("vif-1", 3, 10, true), &out, &why), VifUpdateFragments::Result::kPending);
  ASSERT_EQ(fragments.Add(SeriesMessage("vif-1", 2, 10, false), &out, &why), VifUpdateFragments::Result::kComplete);
  EXPECT_TRUE(why.empty());
  ASSERT_EQ(out.items.size(), 1u);
  ASSERT_EQ(out.items[0].vifs.size(), 1u);
  EXPECT_EQ(out.items[0].vifs[0].vifId, "vif-1");
  ASSERT_EQ(out.items[0].vifs[0].properties.size(), 1u);
  EXPECT_EQ(out.items[0].vifs[0].properties[0].key, KCP_VIF_PROP_DISCOVERED_BINDINGS);
  EXPECT_EQ(out.items[0].vifs[0].properties[0].value, std::vector<uint8_t>(5, 0x11));
  EXPECT_FALSE(out.MoreFollows());
  EXPECT_EQ(fragments.Pending(), 0u);
}

class ConfigAppTest : public test::ConfigAppFixture {
 protected:
  // A logical switch and a port bound to "vif-1" / DVPort "1001", with switch security so that it is unblocked.
  void DesiredPort() {
    auto ls = Ls(1);
    ls.set_vni(5001);
    ls.set_admin_state_up(true);
    desired->Put(ls);
    auto lsp = Lsp(100, 1, "vif-1", "1001");
    lsp.set_admin_state_up(true);
    lsp.mutable_switch_security()->set_port_spoof_guard(true);
    desired->Put(lsp);
  }
  std::vector<std::vector<uint8_t>> SentOfType(uint16_t type) {
    std::vector<std::vector<uint8_t>> out;
    for (const auto& message : sent) {
      if (U16(message, 0) == type) out.push_back(message);
    }
    return out;
  }
};

TEST_F(ConfigAppTest, LinkUpOpensANewSessionAndTheFullSyncEndsIt) {
  EXPECT_EQ(links.bufferSizes.at(kChannel), 10240u);
  EXPECT_TRUE(Link().started);
  const uint32_t before = ConfigApp::CurrentSessionId();
  Link().Up();
  ASSERT_EQ(sent.size(), 1u);
  const auto& open = sent[0];
  // Session Open: type 5, length 15, data type 1, data length 11, control 1, session ID, 0x28 0x00.
  ASSERT_EQ(open.size(), 15u);
  EXPECT_EQ(U16(open, 0), 5);
  EXPECT_EQ(U16(open, 2), 15);
  EXPECT_EQ(U16(open, 4), 1);
  EXPECT_EQ(U16(open, 6), 11);
  EXPECT_EQ(open[8], 1);
  EXPECT_EQ(U32(open, 9), before + 1);
  EXPECT_EQ(open[13], 0x28);
  EXPECT_EQ(open[14], 0x00);
  EXPECT_EQ(app->SessionState(), ConfigApp::kSessionOpenSent);
  Pump(1);
  EXPECT_EQ(app->SessionState(), ConfigApp::kSessionOpenAcked);
  EXPECT_FALSE(app->DpFullSyncDone());
  Pump();
  EXPECT_EQ(app->SessionState(), ConfigApp::kSessionFullSyncEnded);
  EXPECT_TRUE(app->DpFullSyncDone());
  EXPECT_TRUE(app->IpDiscoveryFullSyncDone());
  EXPECT_EQ(dp.module.LastSessionId(), before + 1);
  // An empty datapath gives an empty runtime full sync: the database's runtime state is rewritten as empty.
  ASSERT_EQ(runtime->writes.size(), 1u);
  EXPECT_TRUE(runtime->writes[0].fullSync);

  // Every link-up is a new session.
  Link().Down();
  Link().Up();
  EXPECT_EQ(ConfigApp::CurrentSessionId(), before + 2);
  EXPECT_EQ(app->SessionState(), ConfigApp::kSessionOpenSent);
}

TEST_F(ConfigAppTest, VifRuntimeStateIsWrittenOnlyOnceIpDiscoveryReportedItsPart) {
  DesiredPort();
  VifRecord vif = Vif("vif-1", "1001");
  vif.properties.push_back(MakeMacProperty({{0x00, 0x50, 0x56, 0xaa, 0xbb, 0x01}}));
  vif.properties.push_back(MakeBindingsProperty({V4(0x0a000001, 1), V4(0x0a000002, 32)}));
  dp.module.ConnectVif(vif);

  Link().Up();
  Pump(2);  // ACK and the VIF full sync
  EXPECT_TRUE(runtime->writes.empty()) << "nothing before the full sync ends";
  EXPECT_EQ(Runtime("vif-1", 0), "");
  EXPECT_EQ(app->Converter()->ConnectedPortCount(), 1u) << "the converter connected the port already";
  Pump();  // Full Sync End
  ASSERT_EQ(runtime->writes.size(), 1u);
  EXPECT_TRUE(runtime->writes[0].fullSync);
  tv::VifStateMsg object, mac, bindings;
  ASSERT_TRUE(object.ParseFromString(Runtime("vif-1", 0)));
  EXPECT_EQ(object.id(), "vif-1");
  ASSERT_TRUE(mac.ParseFromString(Runtime("vif-1", tv::Property::VIF_MAC)));
  EXPECT_EQ(mac.mac().mac(), 0x005056aabb01u);
  ASSERT_TRUE(bindings.ParseFromString(Runtime("vif-1", tv::Property::VIF_IP_DISCOVEREDBINDING)));
  ASSERT_EQ(bindings.discovered_bindings_size(), 2);
  EXPECT_EQ(bindings.discovered_bindings(0).discovery_source(), 3u);
  EXPECT_EQ(bindings.discovered_bindings(1).discovery_source(), 4u);
  EXPECT_EQ(bindings.discovered_bindings(1).vlan(), 7u);
  // The port's properties reached the datapath.
  EXPECT_EQ(dp.Port("vif-1").count(101), 1u);

  // After the full sync, a VIF update is written as it comes.
  VifRecord second = Vif("vif-2", "1002");
  second.properties.push_back(MakeMacProperty({{0x00, 0x50, 0x56, 0xaa, 0xbb, 0x02}}));
  Inject(dp.module.ConnectVif(second));
  ASSERT_GE(runtime->writes.size(), 2u);
  EXPECT_FALSE(runtime->writes.back().fullSync);
  EXPECT_NE(Runtime("vif-2", tv::Property::VIF_MAC), "");
  EXPECT_TRUE(log.Has({"ConfigApp: write to ConfigCache on VIF update (delta update)"}));

  // A disconnection deletes the VIF's runtime object and the datapath forgets the port.
  Inject(dp.module.DisconnectVif("vif-1"));
  EXPECT_EQ(Runtime("vif-1", 0), "");
  EXPECT_EQ(Runtime("vif-1", tv::Property::VIF_MAC), "");
  EXPECT_EQ(app->Converter()->ConnectedPortCount(), 1u);
}

TEST_F(ConfigAppTest, SessionMessagesOfAnotherSessionAndForeignMessagesAreDropped) {
  Link().Up();
  Pump(1);
  const uint32_t current = ConfigApp::CurrentSessionId();
  Link().Deliver(BuildSessionControl(KCP_SESSION_FULL_SYNC_END, current - 1));
  EXPECT_EQ(app->SessionState(), ConfigApp::kSessionOpenAcked) << "the stale end is dropped";
  EXPECT_FALSE(app->DpFullSyncDone());
  EXPECT_TRUE(log.Has({"ConfigApp: skipped messages with sessionID", "LCP00504"}));
  auto foreign = BuildSessionControl(KCP_SESSION_FULL_SYNC_END, current);
  foreign[5] = 2;  // data type 2
  Link().Deliver(foreign);
  EXPECT_TRUE(log.Has({"ConfigApp: unsupported session control data type 2", "LCP00505"}));
  EXPECT_FALSE(app->DpFullSyncDone());
  Link().Deliver({0, 9, 0, 4});
  EXPECT_TRUE(log.Has({"ConfigApp: received unknown KCP msg 9", "LCP00506"}));
  // The session's own end still completes it.
  Pump();
  EXPECT_TRUE(app->DpFullSyncDone());
}

TEST_F(ConfigAppTest, FullSyncEndCountsOnlyOncePerSessionAndOnlyAfterTheOpenAck) {
  DesiredPort();
  dp.module.ConnectVif(Vif("vif-1", "1001"));
  Link().Up();
  const uint32_t current = ConfigApp::CurrentSessionId();
  // Before the Open ACK: dropped, the session waits for its own.
  Link().Deliver(BuildSessionControl(KCP_SESSION_FULL_SYNC_END, current));
  EXPECT_EQ(app->SessionState(), ConfigApp::kSessionOpenSent);
  EXPECT_FALSE(app->DpFullSyncDone());
  EXPECT_TRUE(log.Has({"ConfigApp: skipped session control 3 of sessionID", "in session state 1", "LCP00504"}));
  Pump();
  ASSERT_TRUE(app->IpDiscoveryFullSyncDone());
  ASSERT_NE(Runtime("vif-1", 0), "");
  const size_t writes = runtime->writes.size();
  // Repeated (a retransmission): dropped; the VIFs' runtime state stays.
  Link().Deliver(BuildSessionControl(KCP_SESSION_FULL_SYNC_END, current));
  Link().Deliver(BuildSessionControl(KCP_SESSION_OPEN_ACK, current));
  EXPECT_EQ(runtime->writes.size(), writes);
  EXPECT_NE(Runtime("vif-1", 0), "");
  EXPECT_EQ(app->SessionState(), ConfigApp::kSessionFullSyncEnded);
  EXPECT_TRUE(log.Has({"ConfigApp: skipped session control 2 of sessionID", "in session state 3", "LCP00504"}));
  EXPECT_EQ(app->Converter()->ConnectedPortCount(), 1u);
}

TEST_F(ConfigAppTest, ThePortListWaitsForTheDatapathsWholeVifReport) {
  dp.module.ConnectVif(Vif("vif-2", "1002"));
  Link().Up();
  Pump(1);  // the ACK; the VIF report (vif-2) and the Full Sync End still on their way
  Inject(dp.module.ConnectVif(Vif("vif-1", "1001")));
  ASSERT_EQ(app->Converter()->ConnectedPortCount(), 1u);
  // The database's first update orders the converter's full sync while the datapath's report is half processed:
  // a port list now would name vif-1 only, and the datapath would drop vif-2's properties.
  auto first = Lsp(100, 1, "vif-1", "1001");
  first.set_admin_state_up(true);
  desired->Put(first);
  DesiredPort();
  auto lsp = Lsp(102, 1, "vif-2", "1002");
  lsp.set_admin_state_up(true);
  desired->Put(lsp);
  EXPECT_TRUE(log.Has({"DVSPropConvertor: the port list waits for the end of the datapath's full sync"}));
  for (const auto& message : SentOfType(KCP_MSG_UPDATE)) {
    EXPECT_NE(U16(message, 5), KCP_UPDATE_PORT_LIST) << "a port list before the report was processed";
  }
  Pump();
  EXPECT_EQ(dp.module.PortList(), (std::set<std::string>{"vif-1", "vif-2"}));
  EXPECT_EQ(dp.Port("vif-2").count(101), 1u);
}

TEST_F(ConfigAppTest, MalformedDatapathMessagesAreDroppedWithALogLine) {
  DesiredPort();
  dp.module.ConnectVif(Vif("vif-1", "1001"));
  Connect();
  const uint32_t session = ConfigApp::CurrentSessionId();
  const size_t writes = runtime->writes.size();
  Link().Deliver({0, 2, 0});
  EXPECT_TRUE(log.Has({"ConfigApp: dropped a datapath message of 3 bytes, shorter than its header", "LCP00001"}));
  Link().Deliver({0, 5, 0, 4});
  EXPECT_TRUE(log.Has({"ConfigApp: dropped a session control message without data item", "LCP00001"}));
  Link().Deliver({0, 5, 0, 8, 0, 1, 0, 4});  // a session control item without its control type and session ID
  EXPECT_TRUE(log.Has({"ConfigApp: dropped a malformed session control message", "LCP00001"}));
  Link().Deliver({0, 3, 0, 8, 0, 1, 0, 4});  // a DP status notification without its status byte
  EXPECT_TRUE(log.Has({"ConfigApp: dropped a malformed notification item of data type 1", "LCP00001"}));
  EXPECT_EQ(ConfigApp::CurrentSessionId(), session);
  EXPECT_EQ(app->SessionState(), ConfigApp::kSessionFullSyncEnded);
  EXPECT_EQ(runtime->writes.size(), writes);
  EXPECT_NE(Runtime("vif-1", 0), "");
}

// A record without a VIF ID would be a runtime object without an id: the database refuses it, and with it the
// whole write it came in (the other VIFs' state) — in a full sync, every VIF's.
TEST_F(ConfigAppTest, AVifRecordWithoutVifIdIsDroppedAndTheOthersAreApplied) {
  DesiredPort();
  VifRecord nameless = Vif("", "1009");
  nameless.properties.push_back(MakeStatusProperty(KCP_VIF_CONNECT));
  nameless.properties.push_back(MakeMacProperty({{0x00, 0x50, 0x56, 0xaa, 0xbb, 0x09}}));
  VifRecord hoplifted = Vif("", "1008");
  hoplifted.hoplift = 1;
  auto report = [](uint8_t operation, std::vector<VifRecord> records) {
    KcpMessage message;
    message.type = KCP_MSG_UPDATE;
    DataItem item;
    item.type = KCP_UPDATE_VIF;
    item.operation = operation;
    item.vifs = std::move(records);
    message.items.push_back(std::move(item));
    return *EncodeMessage(message);
  };
  auto nameless_records = [&] {
    size_t count = 0;
    for (uint32_t type : {24u, 225u}) {
      for (const StateCacheRecord& record : table->RuntimeRecords(type)) count += record.objectId.empty() ? 1 : 0;
    }
    return count;
  };
  // In the datapath's full sync report.
  dp.module.ConnectVif(Vif("vif-1", "1001"));
  Link().Up();
  Pump(1);
  VifRecord first = Vif("vif-1", "1001");
  first.properties.push_back(MakeStatusProperty(KCP_VIF_CONNECT));
  Link().Deliver(report(KCP_OP_FULL_SYNC, {first, nameless}));
  Pump();
  ASSERT_TRUE(app->IpDiscoveryFullSyncDone());
  EXPECT_NE(Runtime("vif-1", 0), "");
  EXPECT_EQ(nameless_records(), 0u);
  EXPECT_TRUE(log.Has({"ConfigApp: dropped a datapath VIF record without VIF ID (port 1009)", "LCP00001"}));
  // And afterwards, beside another VIF's connection and as a disconnection for live migration.
  VifRecord second = Vif("vif-2", "1002");
  second.properties.push_back(MakeStatusProperty(KCP_VIF_CONNECT));
  Link().Deliver(report(KCP_OP_UPDATE, {nameless, second}));
  EXPECT_NE(Runtime("vif-2", 0), "");
  Link().Deliver(report(KCP_OP_DELETE, {hoplifted}));
  EXPECT_EQ(nameless_records(), 0u);
  EXPECT_EQ(app->HopliftStatusCount(), 0u);
  EXPECT_EQ(app->Converter()->ConnectedPortCount(), 2u);
}

// A VIF that connects with discovered bindings and leaves again while the datapath's full sync runs: its bindings,
// handed to IP discovery only at the end of that full sync, must not bring its runtime object back.
TEST_F(ConfigAppTest, AVifGoneBeforeTheFullSyncEndsKeepsNoRuntimeState) {
  DesiredPort();
  dp.module.ConnectVif(Vif("vif-1", "1001"));
  Link().Up();
  Pump(2);  // the ACK and the datapath's VIF report; its Full Sync End is still on its way
  VifRecord passing = Vif("vif-2", "1002");
  passing.properties.push_back(MakeBindingsProperty({V4(0x0a000002, 1)}));
  Inject(dp.module.ConnectVif(passing));
  Inject(dp.module.DisconnectVif("vif-2"));
  Pump();
  ASSERT_TRUE(app->IpDiscoveryFullSyncDone());
  EXPECT_NE(Runtime("vif-1", 0), "");
  EXPECT_TRUE(table->RuntimeObjectRecords(tv::VIF_STATE, "vif-2").empty())
      << "a runtime object for a VIF the datapath no longer holds";
  // It comes back, with other bindings, and leaves again, the same way: still nothing kept.
  ASSERT_TRUE(app->SimulateOutOfSync());
  Pump(2);
  Inject(dp.module.ConnectVif(passing));
  Inject(dp.module.DisconnectVif("vif-2"));
  Inject(dp.module.ConnectVif(Vif("vif-2", "1002")));
  Pump();
  tv::VifStateMsg object;
  ASSERT_TRUE(object.ParseFromString(Runtime("vif-2", 0)));
  EXPECT_EQ(Runtime("vif-2", tv::Property::VIF_IP_DISCOVEREDBINDING), "")
      << "the bindings of the VIF's earlier connection";
}

// Uplinks reported during the datapath's full sync reach the converter at its end; one reported afterwards must
// reach it too, not wait for a next full sync whose start empties the waiting list.
TEST_F(ConfigAppTest, AnUplinkReportedAfterTheFullSyncReachesTheConverter) {
  auto uplinkUpdate = [](uint8_t operation, const std::string& name) {
    KcpMessage message;
    message.type = KCP_MSG_UPDATE;
    DataItem item;
    item.type = KCP_UPDATE_UPLINK;
    item.operation = operation;
    item.uplinks.push_back(UplinkRecord{"uplink-port-" + name, "dvs-1", "nic" + name, "vmnic" + name});
    message.items.push_back(std::move(item));
    return *EncodeMessage(message);
  };
  Link().Up();
  Pump(1);
  Link().Deliver(uplinkUpdate(KCP_OP_UPDATE, "1"));
  EXPECT_FALSE(log.Has({"Add uplink nic1"}));
  Pump();
  EXPECT_TRUE(log.Has({"Add uplink nic1 (alias vmnic1 port uplink-port-1 switch dvs-1)"}));
  Link().Deliver(uplinkUpdate(KCP_OP_UPDATE, "2"));
  EXPECT_TRUE(log.Has({"Add uplink nic2 (alias vmnic2 port uplink-port-2 switch dvs-1)"}));
  Link().Deliver(uplinkUpdate(KCP_OP_DELETE, "1"));
  EXPECT_TRUE(log.Has({"Delete uplink nic1 (alias vmnic1 port uplink-port-1 switch dvs-1)"}));
}

TEST_F(ConfigAppTest, VifUpdatesBeforeTheOpenAckAreIgnored) {
  DesiredPort();
  auto early = dp.module.ConnectVif(Vif("vif-9", "1009"));
  Link().Up();
  // The datapath reports a VIF before acknowledging the session: lost (it is in the full sync that follows).
  Inject(early);
  EXPECT_EQ(app->Converter()->ConnectedPortCount(), 0u);
  Pump();
  EXPECT_EQ(app->Converter()->ConnectedPortCount(), 1u) << "resent in the full sync";
}

TEST_F(ConfigAppTest, FragmentedVifUpdateIsAppliedWhenItsLastFragmentArrives) {
  DesiredPort();
  dp.module.ConnectVif(Vif("vif-1", "1001"));
  Connect();
  std::vector<DiscoveredBinding> many;
  for (uint32_t i = 0; i < 20; ++i) many.push_back(V4(0x0a000100 + i, 2));
  auto fragments = dp.module.VifBindings("vif-1", many, 3);
  ASSERT_EQ(fragments.size(), 3u);
  EXPECT_EQ(fragments[0][4], 0x80);
  EXPECT_EQ(fragments[2][4], 0x00);
  const size_t writes = runtime->writes.size();
  Link().Deliver(fragments[0]);
  Link().Deliver(fragments[1]);
  EXPECT_EQ(runtime->writes.size(), writes) << "nothing before the last fragment";
  Link().Deliver(fragments[2]);
  tv::VifStateMsg bindings;
  ASSERT_TRUE(bindings.ParseFromString(Runtime("vif-1", tv::Property::VIF_IP_DISCOVEREDBINDING)));
  ASSERT_EQ(bindings.discovered_bindings_size(), 20);
  EXPECT_EQ(bindings.discovered_bindings(19).ip().ipv4(), 0x0a000113u);
}

TEST_F(ConfigAppTest, MalformedFragmentsAreRejectedWithoutHarm) {
  DesiredPort();
  dp.module.ConnectVif(Vif("vif-1", "1001"));
  Connect();
  std::vector<DiscoveredBinding> few = {V4(0x0a000001, 2), V4(0x0a000002, 2)};
  auto good = dp.module.VifBindings("vif-1", few, 2);
  ASSERT_EQ(good.size(), 2u);
  // A middle fragment with two VIF records: the whole series is dropped, its tail included.
  KcpMessage bad;
  ASSERT_TRUE(DecodeMessage(good[0].data(), good[0].size(), &bad));
  bad.items[0].vifs.push_back(bad.items[0].vifs[0]);
  const size_t writes = runtime->writes.size();
  Link().Deliver(good[0]);
  Link().Deliver(*EncodeMessage(bad));
  Link().Deliver(good[1]);
  EXPECT_EQ(runtime->writes.size(), writes);
  EXPECT_TRUE(log.Has({"ConfigApp: dropped a fragmented VIF update", "LCP00001"}));
  // A fragment without a property.
  KcpMessage empty = bad;
  empty.items[0].vifs.resize(1);
  empty.items[0].vifs[0].properties.clear();
  Link().Deliver(*EncodeMessage(empty));
  Link().Deliver(good[1]);
  EXPECT_EQ(runtime->writes.size(), writes);
  // Fragments that add up beyond the largest update (65,530 bytes).
  std::vector<DiscoveredBinding> huge(2500, V4(0x0a000003, 2));
  auto pieces = dp.module.VifBindings("vif-1", huge, 4);
  for (const auto& piece : pieces) Link().Deliver(piece);
  EXPECT_EQ(runtime->writes.size(), writes);
  // The next series goes through.
  for (const auto& piece : good) Link().Deliver(piece);
  EXPECT_GT(runtime->writes.size(), writes);
}

TEST_F(ConfigAppTest, ARejectedSeriesNeverSwallowsTheNextSessionsOrAnotherVifsReport) {
  DesiredPort();
  dp.module.ConnectVif(Vif("vif-1", "1001"));
  Connect();
  ASSERT_NE(Runtime("vif-1", 0), "");
  auto good = dp.module.VifBindings("vif-1", {V4(0x0a000001, 2), V4(0x0a000002, 2)}, 2);
  ASSERT_EQ(good.size(), 2u);
  // The first fragment of a series, broken (no property): the series is rejected, its tail still to come.
  KcpMessage broken;
  ASSERT_TRUE(DecodeMessage(good[0].data(), good[0].size(), &broken));
  broken.items[0].vifs[0].properties.clear();
  Link().Deliver(*EncodeMessage(broken));
  EXPECT_TRUE(log.Has({"ConfigApp: dropped a fragmented VIF update: a fragment's VIF record carries no property"}));

  // A new session: the datapath's VIF report of the full sync is applied, not taken for the series' tail.
  ASSERT_TRUE(app->SimulateOutOfSync());
  Pump();
  EXPECT_TRUE(app->IpDiscoveryFullSyncDone());
  EXPECT_NE(Runtime("vif-1", 0), "") << "the full sync's VIF report was swallowed";
  EXPECT_EQ(app->Converter()->ConnectedPortCount(), 1u);

  // Within a session, a report of another VIF ends the rejected series and is applied.
  Link().Deliver(*EncodeMessage(broken));
  const size_t drops = log.Count("ConfigApp: dropped a fragmented VIF update");
  Inject(dp.module.ConnectVif(Vif("vif-2", "1002")));
  EXPECT_NE(Runtime("vif-2", 0), "");
  // The series' own last fragment is swallowed, and says so.
  Link().Deliver(*EncodeMessage(broken));
  Link().Deliver(good[1]);
  EXPECT_EQ(log.Count("ConfigApp: dropped a fragmented VIF update"), drops + 2);
  EXPECT_TRUE(log.Has({"ConfigApp: dropped a fragmented VIF update: the rest of a rejected series"}));
  // A series of one VIF interrupted by another VIF's report: the series is dropped, the report applied.
  Link().Deliver(good[0]);
  Inject(dp.module.ConnectVif(Vif("vif-3", "1003")));
  EXPECT_NE(Runtime("vif-3", 0), "");
  EXPECT_TRUE(log.Has({"ConfigApp: dropped a fragmented VIF update: a report outside the series interrupted"}));
}

// A report of the series' own VIF that carries no property cannot be a piece of the series' value: it is whole on
// its own (a disconnection), so it ends the series, in progress or rejected, and is applied.
TEST_F(ConfigAppTest, TheSeriesVifsDisconnectionEndsItsSeriesAndIsApplied) {
  DesiredPort();
  dp.module.ConnectVif(Vif("vif-1", "1001"));
  dp.module.ConnectVif(Vif("vif-2", "1002"));
  Connect();
  ASSERT_NE(Runtime("vif-1", 0), "");
  auto series = dp.module.VifBindings("vif-1", {V4(0x0a000001, 2), V4(0x0a000002, 2)}, 2);
  ASSERT_EQ(series.size(), 2u);
  Link().Deliver(series[0]);
  Inject(dp.module.DisconnectVif("vif-1"));
  EXPECT_EQ(Runtime("vif-1", 0), "") << "the disconnection was taken for the series' last fragment";
  EXPECT_EQ(app->Converter()->ConnectedPortCount(), 1u);
  EXPECT_TRUE(log.Has({"ConfigApp: dropped a fragmented VIF update: a report outside the series interrupted"}));
  // A rejected series (its first fragment broken) does not swallow it either.
  series = dp.module.VifBindings("vif-2", {V4(0x0a000003, 2), V4(0x0a000004, 2)}, 2);
  KcpMessage broken;
  ASSERT_TRUE(DecodeMessage(series[0].data(), series[0].size(), &broken));
  broken.items[0].vifs[0].properties.clear();
  Link().Deliver(*EncodeMessage(broken));
  Inject(dp.module.DisconnectVif("vif-2", true));
  EXPECT_TRUE(table->RuntimeObjectRecords(tv::VIF_STATE, "vif-2").empty())
      << "swallowed as the rest of the rejected series";
  EXPECT_EQ(app->HopliftStatusCount(), 1u);
  EXPECT_EQ(app->Converter()->ConnectedPortCount(), 0u);
}

TEST_F(ConfigAppTest, HopliftStatusRecordGoesSixtyToSeventySecondsLaterOrOnReconnect) {
  DesiredPort();
  dp.module.ConnectVif(Vif("vif-1", "1001"));
  dp.module.ConnectVif(Vif("vif-2", "1002"));
  Connect();
  Inject(dp.module.DisconnectVif("vif-1", true));
  tv::HopliftStatusMsg status;
  ASSERT_TRUE(status.ParseFromString(Runtime("vif-1", 0)));
  EXPECT_EQ(status.id(), "vif-1");
  EXPECT_TRUE(log.Has({"ConfigApp: delete VIF vif-1 due to hoplift"}));
  ASSERT_EQ(timersA.timers.size(), 1u);
  auto& timer = *timersA.timers[0];
  EXPECT_TRUE(timer.pending);
  EXPECT_EQ(timer.lastInterval, ConfigApp::kHopliftStatusIntervalUs);
  const int64_t first = nowMs;
  nowMs += 5000;
  Inject(dp.module.DisconnectVif("vif-2", true));  // a second migration does not postpone the first record
  EXPECT_EQ(timer.starts, 1);
  int fired = 0;
  while (app->HopliftStatusCount() == 2 && fired < 10) {
    ++fired;
    nowMs = first + 10000 * fired;  // the timer fires every 10 s from the first record
    timer.Fire();
  }
  EXPECT_EQ(fired, 6);
  EXPECT_GE(nowMs - first, 60000);
  EXPECT_LE(nowMs - first, 70000);
  EXPECT_EQ(app->HopliftStatusCount(), 1u);
  EXPECT_FALSE(status.ParseFromString(Runtime("vif-1", 0)) && status.id() == "vif-1");
  EXPECT_TRUE(timer.pending) << "vif-2's record still waits";
  // vif-2 reconnects: its record goes at once.
  Inject(dp.module.ConnectVif(Vif("vif-2", "1002")));
  EXPECT_EQ(app->HopliftStatusCount(), 0u);
  EXPECT_TRUE(log.Has({"ConfigApp: delete hoplift status message with VIF vif-2."}));
  nowMs += 10000;
  timer.Fire();
  EXPECT_FALSE(timer.pending) << "no record left: the timer rests";
}

TEST_F(ConfigAppTest, HopliftStatusRecordOutlivesADatapathResync) {
  DesiredPort();
  dp.module.ConnectVif(Vif("vif-1", "1001"));
  Connect();
  Inject(dp.module.DisconnectVif("vif-1", true));
  ASSERT_EQ(app->HopliftStatusCount(), 1u);
  const int64_t disconnected = nowMs;
  // The datapath resyncs seconds later: the runtime full sync replaces every HOPLIFT_STATUS record, and keeps this one.
  nowMs += 2000;
  ASSERT_TRUE(app->SimulateOutOfSync());
  Pump();
  ASSERT_TRUE(app->IpDiscoveryFullSyncDone());
  ASSERT_FALSE(runtime->writes.empty());
  const auto& fullSync = runtime->writes.back();
  ASSERT_TRUE(fullSync.fullSync);
  auto kept = std::count_if(fullSync.changes.begin(), fullSync.changes.end(), [](const StateCacheChange& change) {
    return change.entry.objectType == tv::HOPLIFT_STATUS && change.entry.objectId == "vif-1" && !change.IsRemoval();
  });
  EXPECT_EQ(kept, 1);
  tv::HopliftStatusMsg status;
  ASSERT_TRUE(status.ParseFromString(Runtime("vif-1", 0)));
  EXPECT_EQ(status.id(), "vif-1");
  EXPECT_EQ(status.status(), 1u);
  // It still goes 60 to 70 seconds after the disconnection.
  auto& timer = *timersA.timers.at(0);
  for (int fired = 1; fired <= 7 && app->HopliftStatusCount() > 0; ++fired) {
    nowMs = disconnected + 10000 * fired;
    timer.Fire();
  }
  EXPECT_EQ(app->HopliftStatusCount(), 0u);
  EXPECT_GE(nowMs - disconnected, 60000);
  EXPECT_LE(nowMs - disconnected, 70000);
  EXPECT_EQ(Runtime("vif-1", 0), "");
}

// A VIF leaves for live migration while the datapath's full sync is still running, and that full sync ends only
// after the record's time is up: the record, held back with the full sync's runtime state, must not come back with
// it and then stay for good.
TEST_F(ConfigAppTest, HopliftStatusRecordDueDuringALongFullSyncIsNotWrittenByIt) {
  DesiredPort();
  dp.module.ConnectVif(Vif("vif-1", "1001"));
  Link().Up();
  Pump(2);  // the ACK and the datapath's VIF report; its Full Sync End is late
  Inject(dp.module.ConnectVif(Vif("vif-2", "1002")));
  Inject(dp.module.DisconnectVif("vif-2", true));
  ASSERT_EQ(app->HopliftStatusCount(), 1u);
  const int64_t disconnected = nowMs;
  auto& timer = *timersA.timers.at(0);
  for (int fired = 1; fired <= 7 && app->HopliftStatusCount() > 0; ++fired) {
    nowMs = disconnected + 10000 * fired;
    timer.Fire();
  }
  ASSERT_EQ(app->HopliftStatusCount(), 0u);
  Pump();  // the Full Sync End
  ASSERT_TRUE(app->IpDiscoveryFullSyncDone());
  EXPECT_TRUE(table->RuntimeObjectRecords(tv::HOPLIFT_STATUS, "vif-2").empty()) << "a record nothing deletes any more";
  EXPECT_NE(Runtime("vif-1", 0), "");
}

TEST_F(ConfigAppTest, DpStatusQueryEverySixtySecondsAndOutOfSyncOpensANewSession) {
  ASSERT_EQ(timersB.timers.size(), 1u);
  auto& timer = *timersB.timers[0];
  EXPECT_TRUE(timer.pending);
  EXPECT_EQ(timer.lastInterval, ConfigApp::kDpStatusIntervalUs);
  Connect();
  sent.clear();
  timer.Fire();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], (std::vector<uint8_t>{0, 4, 0, 8, 0, 1, 0, 4}));
  EXPECT_TRUE(timer.pending);
  const uint32_t session = ConfigApp::CurrentSessionId();
  Pump();  // Sync: nothing happens
  EXPECT_EQ(ConfigApp::CurrentSessionId(), session);
  dp.module.SetOutOfSync(true);
  timer.Fire();
  Pump();
  EXPECT_EQ(ConfigApp::CurrentSessionId(), session + 1);
  EXPECT_TRUE(log.Has({"ConfigApp: re-init control plane due to DP out of sync"}));
  EXPECT_TRUE(app->DpFullSyncDone());
}

TEST_F(ConfigAppTest, DatapathNotificationsReachTheConverter) {
  DesiredPort();
  dp.module.ConnectVif(Vif("vif-1", "1001"));
  Connect();
  const size_t before = dp.module.BatchesApplied();
  Inject({qor::dpsim::KcpSwitchModule::Notification(KCP_NOTIFY_PORT_PROPERTY_OUT_OF_SYNC, "vif-1")});
  EXPECT_EQ(dp.module.BatchesApplied(), before) << "resent by the converter's resync timer";
  converterTimers.Resync().Fire();
  Pump();
  EXPECT_GT(dp.module.BatchesApplied(), before);
  Inject({qor::dpsim::KcpSwitchModule::Notification(KCP_NOTIFY_PORT_CONTAINER_HOPLIFT_FULL_SYNC, "vif-1", 3)});
  EXPECT_TRUE(converterTimers.Hoplift().pending);
  Inject({qor::dpsim::KcpSwitchModule::Notification(KCP_NOTIFY_TKMNIC_PROPERTY_OUT_OF_SYNC, "vmk0")});
  EXPECT_TRUE(log.Has({"Failed to find tkmnic vmk0"}));
}

TEST_F(ConfigAppTest, FirstTableUpdateDecidesTheConvertersFullSync) {
  Connect();
  // The database's first full sync brings nothing: no full sync is ordered for it.
  desired->FullSync();
  EXPECT_TRUE(log.Has({"ConfigApp: No updates from tolvar during host reboot"}));
  DesiredPort();
  EXPECT_TRUE(log.Has({"ConfigApp: Start full sync with DP after host reboot"}));
  EXPECT_EQ(log.Count("ConfigApp: Start full sync with DP after host reboot"), 1u);
  auto lsp = Lsp(101, 1, "vif-3", "1003");
  desired->Put(lsp);
  EXPECT_EQ(log.Count("ConfigApp: Start full sync with DP after host reboot"), 1u) << "once";
}

TEST_F(ConfigAppTest, FullSyncOfTheDispatcherListsTreatsAnEmptyTypeAsEmptyState) {
  Connect();
  tv::TransportNodeConfigMsg node;
  *node.mutable_id() = test::Uuid(900);
  node.mutable_transport_switches()->add_switches()->set_switch_id("dvs-1");
  desired->Put(node);
  tv::CcpSessionMsg session;
  session.mutable_id()->set_low(1);
  session.set_state(1);
  desired->Put(session);
  app->Converter()->OnDaemonHealthStateUpdate(1, 1);
  app->Converter()->OnDaemonHealthStateUpdate(1, 2);
  Pump();
  ASSERT_EQ(dp.Switch("dvs-1").at(1), std::string("up", 3));
  // A full sync without the CCP_SESSION object: the session is down.
  desired->Delete(tv::CCP_SESSION, session.id().SerializeAsString());
  std::list<TolvarUpdateMsg> none;
  app->UpdateDesiredState(none, 1);
  Pump();
  EXPECT_EQ(dp.Switch("dvs-1").at(1), std::string("down", 5));
}

TEST_F(ConfigAppTest, OperatorSeesThePortsAndCanForceANewSession) {
  DesiredPort();
  dp.module.ConnectVif(Vif("vif-1", "1001"));
  dp.module.ConnectVif(Vif("vif-7", "1007"));
  Connect();
  auto rows = app->LportStatus();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].lportId, "-");
  EXPECT_EQ(rows[0].status, "UNBOUND");
  EXPECT_EQ(rows[0].dvportId, "1007");
  EXPECT_EQ(rows[1].lportId, test::IdText(100));
  EXPECT_EQ(rows[1].status, "UP");
  EXPECT_EQ(rows[1].dvsId, "dvs-1");
  EXPECT_EQ(rows[1].logicalSwitchId, test::IdText(1));
  EXPECT_EQ(rows[1].dvportId, "1001");
  const uint32_t session = ConfigApp::CurrentSessionId();
  EXPECT_TRUE(app->SimulateOutOfSync());
  EXPECT_EQ(ConfigApp::CurrentSessionId(), session + 1);
  Pump();
  EXPECT_EQ(app->LportStatus().size(), 2u);
  Link().Down();
  EXPECT_FALSE(app->SimulateOutOfSync()) << "no link, no session";
  app->Stop();
  EXPECT_TRUE(app->LportStatus().empty());
}

}  // namespace
}  // namespace VevUroro
