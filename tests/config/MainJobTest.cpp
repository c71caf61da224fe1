// The main job end to end, with real processes (MainJobHarness.h): desired state in tolvard reaches qor-dpsim's
// virtual switch through the agent, and the VIFs' runtime state comes back into tolvard; the session, a single
// change, VIF connect and live migration, guest bindings, and the datapath, the link and the agent starting over.
#include <gtest/gtest.h>

#include "dataplane/kcp/KcpFormat.h"
#include "dataplane/kcp/KcpReader.h"
#include "tests/config/MainJobHarness.h"

namespace VevUroro {
namespace {

using namespace test;
using qor::dpsim::CaptureRecord;
using qor::dpsim::Direction;

bool Unblocked(const DatapathView& view, const std::string& vif) {
  auto port = view.ports.find(vif);
  return port != view.ports.end() && port->second.count(101) && port->second.at(101) == "unblocked";
}

std::string Cos(const DatapathView& view, const std::string& vif) {
  auto port = view.ports.find(vif);
  if (port == view.ports.end() || !port->second.count(3)) return "";
  const std::string& text = port->second.at(3);
  return text.substr(text.find("COS ") + 4);
}

struct Session {
  uint8_t control = 0;
  uint32_t id = 0;
};
std::optional<Session> SessionOf(const CaptureRecord& record) {
  if (record.bytes.size() < 13 || kcp::ReadU16(record.bytes.data()) != kcp::KCP_MSG_SESSION_CONTROL) return {};
  return Session{record.bytes[8], kcp::ReadU32(record.bytes.data() + 9)};
}
// The Update data type of the first data item of an agent message, or 0.
uint16_t UpdateType(const CaptureRecord& record) {
  if (record.bytes.size() < 9 || kcp::ReadU16(record.bytes.data()) != kcp::KCP_MSG_UPDATE) return 0;
  return kcp::ReadU16(record.bytes.data() + 5);
}

class MainJobTest : public MainJobFixture {
 protected:
  void DesiredPorts(std::initializer_list<uint64_t> ports) {
    Put(HostSwitchNode("dvs-1"));
    tv::CcpSessionMsg ccp;
    ccp.mutable_id()->set_low(1);
    ccp.set_state(1);
    Put(ccp);
    Put(Switch(1, 5001));
    for (uint64_t n : ports) Put(Port(n, 1));
  }
  // The agent has finished one more session since `sessions` (its runtime full sync written) and the database's
  // full sync (its switch and port lists sent).
  bool WaitSessionDone(size_t sessions) {
    return qor::test::WaitFor([&] {
      return AgentCount("ConfigApp: _ipDisFullSyncDone set to true") > sessions &&
             AgentSaid("ConfigApp: Start full sync with DP after");
    });
  }
};

TEST_F(MainJobTest, DesiredStateReachesTheDatapathAndVifStateComesBack) {
  DesiredPorts({1, 2});
  StartDpsim({VifArgs(1) + " 00:50:56:00:00:01 binding=10.0.0.1,00:50:56:00:00:01,0,1"});
  StartAgent();
  ASSERT_TRUE(WaitDatapath([](const DatapathView& v) { return Unblocked(v, "vif-1") && v.portList.count("vif-1"); }))
      << agent->Stdout();
  ASSERT_TRUE(qor::test::WaitFor([&] { return mirror.Vif("vif-1").has_value(); }));

  // The road on the channel: Session Open, its ACK, the switch list and switch property full syncs, the datapath's
  // Full Sync End, then the port list of the ports the agent configures. The port may be configured before the
  // full sync that the database's first update orders has reached the simulator: wait for the whole road.
  std::vector<CaptureRecord> records;
  std::optional<size_t> open, ack, end, switchList, switchFullSync, portList;
  ASSERT_TRUE(qor::test::WaitFor([&] {
    records = Captured(kSwitchChannel);
    open = ack = end = switchList = switchFullSync = portList = std::nullopt;
    uint32_t session = 0;
    for (size_t i = 0; i < records.size(); ++i) {
      const auto& r = records[i];
      auto control = SessionOf(r);
      if (control && r.direction == Direction::kIn && control->control == kcp::KCP_SESSION_OPEN && !open) {
        open = i;
        session = control->id;
      } else if (control && r.direction == Direction::kOut && control->id == session && open) {
        if (control->control == kcp::KCP_SESSION_OPEN_ACK) ack = i;
        if (control->control == kcp::KCP_SESSION_FULL_SYNC_END) end = i;
      } else if (r.direction == Direction::kIn && open) {
        uint16_t type = UpdateType(r);
        if (type == kcp::KCP_UPDATE_VDS_LIST && !switchList) switchList = i;
        if (type == kcp::KCP_UPDATE_VDS_PROPERTY && r.bytes.size() > 73 && r.bytes[9 + 64] == kcp::KCP_OP_FULL_SYNC &&
            !switchFullSync)
          switchFullSync = i;
        if (type == kcp::KCP_UPDATE_PORT_LIST && end) portList = i;
      }
    }
    return open && ack && end && switchList && switchFullSync && portList;
  }));
  EXPECT_LT(*open, *ack);
  EXPECT_LT(*ack, *end);
  EXPECT_LT(*open, *switchList);
  EXPECT_LT(*end, *portList);

  // The runtime state: written as one full sync once IP discovery reported the session's connections (the agent's
  // console lines come through its log flusher and a pipe, not in step with the database).
  EXPECT_TRUE(qor::test::WaitFor([&] {
    std::string out = agent->Stdout();
    size_t ready = out.find("IpDiscovery: ProcessVifUpdate with upds size : 1, isVifFullSync : true");
    return ready != std::string::npos &&
           out.find("ConfigApp: finished write to ConfigCache on IP Discovery ready (FullSync)", ready) !=
               std::string::npos;
  })) << agent->Stdout();
  auto vif = *mirror.Vif("vif-1");
  EXPECT_EQ(vif.mac().mac(), 0x005056000001u);
  ASSERT_EQ(vif.discovered_bindings_size(), 1);
  EXPECT_EQ(vif.discovered_bindings(0).ip().ipv4(), 0x0a000001u);
  EXPECT_EQ(vif.discovered_bindings(0).discovery_source(), 3u);

  // One property of one port changes: one Port Property Update reaches the simulator. Nothing else may be on its
  // way: the agent's first desired change after its start also orders a full sync, sent after the change, when the
  // database's first update came before the link was up (the two race at start), so two changes go first, the
  // second's arrival showing that all before it arrived; and the controller session state turns up once the agent's
  // first database health check found the database alive.
  for (uint32_t cos : {4, 5}) {
    Put(Port(1, 1, cos));
    ASSERT_TRUE(WaitDatapath(
        [&](const DatapathView& v) { return Cos(v, "vif-1") == std::to_string(cos) && v.Ccp("dvs-1") == "\"up\""; }));
  }
  size_t before = Captured(kSwitchChannel).size();
  Put(Port(1, 1, 6));
  ASSERT_TRUE(WaitDatapath([](const DatapathView& v) { return Cos(v, "vif-1") == "6"; }));
  records = Captured(kSwitchChannel);
  ASSERT_EQ(records.size(), before + 1);
  EXPECT_EQ(records.back().direction, Direction::kIn);
  EXPECT_EQ(UpdateType(records.back()), kcp::KCP_UPDATE_PORT_PROPERTY);
  kcp::KcpMessage update;
  ASSERT_TRUE(kcp::DecodeMessage(records.back().bytes.data(), records.back().bytes.size(), &update));
  ASSERT_EQ(update.items.at(0).propertyRecords.size(), 1u);
  EXPECT_EQ(update.items[0].propertyRecords[0].id, "vif-1");

  // A VIF connects with MACs and bindings of every discovery method.
  ControlOk("vif-connect", {kSwitchChannel, "vif-2", "1002", "dvs-1", "mac=00:50:56:00:00:02",
                            "binding=10.0.0.2,00:50:56:00:00:02,5,2", "binding=10.0.0.3,00:50:56:00:00:02,5,8",
                            "binding=10.0.0.4,00:50:56:00:00:02,5,16", "binding=10.0.0.5,00:50:56:00:00:02,5,32",
                            "binding=2001:db8::6,00:50:56:00:00:02,5,64"});
  ASSERT_TRUE(qor::test::WaitFor([&] {
    auto state = mirror.Vif("vif-2");
    return state && state->discovered_bindings_size() == 5 && state->has_mac();
  }));
  auto second = *mirror.Vif("vif-2");
  EXPECT_EQ(second.mac().mac(), 0x005056000002u);
  std::vector<uint32_t> sources;
  for (const auto& b : second.discovered_bindings()) sources.push_back(b.discovery_source());
  EXPECT_EQ(sources, (std::vector<uint32_t>{2, 5, 6, 4, 7}));
  EXPECT_EQ(second.discovered_bindings(4).ip().ipv6().size(), 16u);
  EXPECT_EQ(second.discovered_bindings(0).vlan(), 5u);
  ASSERT_TRUE(WaitDatapath([](const DatapathView& v) { return Unblocked(v, "vif-2"); }));

  // Live migration: the VIF leaves with the Hoplift flag, a HOPLIFT_STATUS record appears; it comes back, the
  // record goes.
  ControlOk("vif-disconnect", {kSwitchChannel, "vif-2", "hoplift"});
  ASSERT_TRUE(qor::test::WaitFor(
      [&] { return mirror.Ids(tv::HOPLIFT_STATUS).count("vif-2") && !mirror.Vif("vif-2").has_value(); }));
  ControlOk("vif-connect", {kSwitchChannel, "vif-2", "1002", "dvs-1"});
  ASSERT_TRUE(qor::test::WaitFor(
      [&] { return !mirror.Ids(tv::HOPLIFT_STATUS).count("vif-2") && mirror.Vif("vif-2").has_value(); }));

  // Guest-reported bindings: DA_VIF in tolvard goes to the switch-security module, usable bindings only.
  tv::DaVifMsg guest;
  guest.set_id("vif-1");
  for (uint32_t i = 0; i < 3; ++i) {
    auto* binding = guest.add_bindings();
    binding->mutable_ip()->set_ipv4(0x0a000a00 + i);
    if (i != 1) binding->mutable_mac()->set_mac(0x005056000a00 + i);
    binding->set_address_family(4);
  }
  Put(guest);
  ASSERT_TRUE(qor::test::WaitFor([&] {
    return Control("dump", {kSwsecChannel}).text.find("1001 switch=dvs-1 bindings=2 messages=1") != std::string::npos;
  })) << Control("dump", {kSwsecChannel}).text;
  auto swsec = Captured(kSwsecChannel);
  ASSERT_FALSE(swsec.empty());
  const auto& bytes = swsec.back().bytes;
  ASSERT_GE(bytes.size(), 27u);
  EXPECT_EQ(kcp::ReadU16(bytes.data() + 23), 3);
  EXPECT_EQ(kcp::ReadU16(bytes.data() + 25), 50);
  // The module asks again: the agent answers from the database.
  ControlOk("swsec-solicit", {kSwsecChannel, "vif-1"});
  ASSERT_TRUE(qor::test::WaitFor(
      [&] { return Control("dump", {kSwsecChannel}).text.find("bindings=2 messages=2") != std::string::npos; }));

  EXPECT_EQ(StopAgent(), 0);
}

// The datapath, the database runtime state and the port list match the desired state after each way of starting
// over, with no port left behind that the desired state no longer has.
TEST_F(MainJobTest, OutOfSyncLinkFlapAndRestartEachEndInTheDesiredState) {
  DesiredPorts({1, 2, 3});
  StartDpsim({VifArgs(1), VifArgs(2), VifArgs(3)});
  StartAgent();
  auto converged = [&](std::map<std::string, std::string> cos, std::set<std::string> connected) {
    return [this, cos, connected](const DatapathView& v) {
      std::set<std::string> listed;
      for (const auto& [vif, value] : cos) {
        if (Cos(v, vif) != value || !Unblocked(v, vif)) return false;
        listed.insert(vif);
      }
      std::set<std::string> held;
      for (const auto& [vif, properties] : v.ports) held.insert(vif);
      return v.portList == listed && held == listed && mirror.Ids(tv::VIF_STATE) == connected;
    };
  };
  ASSERT_TRUE(WaitDatapath(converged({{"vif-1", "1"}, {"vif-2", "1"}, {"vif-3", "1"}}, {"vif-1", "vif-2", "vif-3"})))
      << Control("dump", {kSwitchChannel}).text;

  // The datapath reports OutOfSync while it holds a port nobody configures.
  {
    qor::test::ChannelClient stray(dpsim->ChannelPath(kSwitchChannel));
    ASSERT_TRUE(stray.Connected());
    // Port Property Update (UPDATE) of "vif-9" with key 3.
    std::vector<uint8_t> bytes = {0, 2, 0, 0, 0, 0, 2, 0, 0, 1};
    std::vector<uint8_t> record(50, 0);
    std::memcpy(record.data(), "vif-9", 5);
    std::vector<uint8_t> property = {0, 3, 0, 6, 1, 2};
    kcp::WriteU16(record.data() + 48, static_cast<uint16_t>(50 + property.size()));
    bytes.insert(bytes.end(), record.begin(), record.end());
    bytes.insert(bytes.end(), property.begin(), property.end());
    kcp::WriteU16(bytes.data() + 2, static_cast<uint16_t>(bytes.size()));
    kcp::WriteU16(bytes.data() + 7, static_cast<uint16_t>(bytes.size() - 5));
    ASSERT_TRUE(stray.SendAll(bytes));
    ASSERT_TRUE(WaitDatapath([](const DatapathView& v) { return v.ports.count("vif-9") > 0; }));
  }
  int sessions = Datapath().sessions;
  ControlOk("dp-status", {kSwitchChannel, "out-of-sync"});
  ASSERT_TRUE(WaitDatapath([&](const DatapathView& v) { return v.sessions == sessions + 1; }));
  EXPECT_TRUE(WaitDatapath(converged({{"vif-1", "1"}, {"vif-2", "1"}, {"vif-3", "1"}}, {"vif-1", "vif-2", "vif-3"})))
      << Control("dump", {kSwitchChannel}).text;

  // A port loses its logical switch port (its VIF stays connected; the datapath keeps what it was given until the
  // next full sync); then the link flaps.
  Delete(tv::LOG_SWITCH_PORT_CONFIG, MjId(103));
  ASSERT_TRUE(qor::test::WaitFor([&] {
    auto status =
        qor::ovs::UnixctlClient::Call(root.Under("/var/run/zantix/qor-vevuroro/vevuroro-cli"), "vevuroro/lport/status");
    std::istringstream lines(status.text);
    for (std::string line; std::getline(lines, line);) {
      if (line.find("1003") != std::string::npos) return line[0] == '-' && line.find(" UNBOUND ") != std::string::npos;
    }
    return false;
  })) << qor::ovs::UnixctlClient::Call(root.Under("/var/run/zantix/qor-vevuroro/vevuroro-cli"), "vevuroro/lport/status")
             .text;
  sessions = Datapath().sessions;
  ControlOk("drop-connections", {kSwitchChannel});
  ASSERT_TRUE(WaitDatapath([&](const DatapathView& v) { return v.sessions == sessions + 1; }));
  EXPECT_TRUE(WaitDatapath(converged({{"vif-1", "1"}, {"vif-2", "1"}}, {"vif-1", "vif-2", "vif-3"})))
      << Control("dump", {kSwitchChannel}).text;

  // The agent dies; meanwhile a port changes, a VIF leaves and another arrives with its port.
  EXPECT_EQ(StopAgent(SIGKILL), 128 + SIGKILL);
  Put(Port(2, 1, 7));
  Put(Port(4, 1, 4));
  ControlOk("vif-disconnect", {kSwitchChannel, "vif-1"});
  ControlOk("vif-connect", {kSwitchChannel, "vif-4", "1004", "dvs-1"});
  StartAgent();
  EXPECT_TRUE(WaitDatapath(converged({{"vif-2", "7"}, {"vif-4", "4"}}, {"vif-2", "vif-3", "vif-4"})))
      << Control("dump", {kSwitchChannel}).text;
  EXPECT_EQ(StopAgent(), 0);
}

// No disruption: while the desired state stays put, restarting the agent (SIGTERM or kill -9) or flapping its link
// never leaves a port without, or with another value of, a property it held; after the datapath itself restarts
// with empty tables it holds the desired state again once the agent's link reopened (every 5 s) and one full sync
// ran.
TEST_F(MainJobTest, RestartsAndLinkFlapsLeaveThePortsUndisturbed) {
  DesiredPorts({1, 2, 3});
  std::vector<std::string> vifs = {VifArgs(1) + " 00:50:56:00:00:01", VifArgs(2), VifArgs(3)};
  StartDpsim(vifs);
  StartAgent();
  auto realized = [](const DatapathView& v) {
    return Unblocked(v, "vif-1") && Unblocked(v, "vif-2") && Unblocked(v, "vif-3") && v.portList.size() == 3 &&
           v.Ccp("dvs-1") == "\"up\"";
  };
  ASSERT_TRUE(WaitDatapath(realized)) << agent->Stdout();
  ASSERT_TRUE(WaitSessionDone(0));
  ASSERT_TRUE(Control("disruption-start", {kSwitchChannel}).ok);
  auto intervals = [&] {
    std::string report = Control("disruption-report", {kSwitchChannel}).text;
    return report.substr(report.find("intervals ") + 10, report.find('\n') - report.find("intervals ") - 10);
  };

  for (int signal : {SIGTERM, SIGKILL}) {
    SCOPED_TRACE(signal == SIGTERM ? "SIGTERM" : "kill -9");
    int sessions = Datapath().sessions;
    StopAgent(signal);
    StartAgent();
    ASSERT_TRUE(WaitSessionDone(0)) << agent->Stdout();
    ASSERT_TRUE(WaitDatapath([&](const DatapathView& v) { return v.sessions > sessions && realized(v); }));
    EXPECT_EQ(intervals(), "0") << Control("disruption-report", {kSwitchChannel}).text;
  }

  size_t done = AgentCount("ConfigApp: _ipDisFullSyncDone set to true");
  ControlOk("drop-connections", {kSwitchChannel});
  ASSERT_TRUE(WaitSessionDone(done));
  ASSERT_TRUE(WaitDatapath(realized));
  EXPECT_EQ(intervals(), "0") << Control("disruption-report", {kSwitchChannel}).text;

  // The recorder is not blind: a desired change of one port is an interval of that port.
  Put(Port(2, 1, 5));
  ASSERT_TRUE(WaitDatapath([](const DatapathView& v) { return Cos(v, "vif-2") == "5"; }));
  std::string report = Control("disruption-report", {kSwitchChannel}).text;
  EXPECT_NE(report.find("vif-2 3 different"), std::string::npos) << report;
  EXPECT_EQ(report.find("vif-1 "), std::string::npos) << report;

  // The datapath restarts: its tables are empty until the agent's next session has run.
  dpsim.reset();
  auto restarted = std::chrono::steady_clock::now();
  StartDpsim(vifs);
  ASSERT_TRUE(WaitDatapath([&](const DatapathView& v) { return realized(v) && Cos(v, "vif-2") == "5"; }))
      << agent->Stdout();
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - restarted);
  std::cout << "desired state back in the restarted datapath after " << took.count() << " ms\n";
  EXPECT_EQ(StopAgent(), 0);
}

}  // namespace
}  // namespace VevUroro
