// The L2 application end to end: tolvard, qor-dpsim and the agent binary. A desired VTEP for a VNI the simulator has
// not joined reaches it right after the join; local VTEPs and MACs the simulator reports become runtime state in the
// database; an agent restart leaves the simulator's overlay tables undisturbed.
#include "config/MainJobHarness.h"
#include "zantix/qor/tolvar/l2.pb.h"

namespace VevUroro::test {
namespace {

constexpr const char* kL2Channel = "qor_l2_tkmlink";

class L2EndToEnd : public MainJobFixture {
 protected:
  void StartL2Agent() {
    std::ofstream(root.Under("/etc/zantix/qor/qor-vevuroro.xml"))
        << "<config><vevUroro><workGroup><ioThreads>1</ioThreads><workThreads>16</workThreads></workGroup>"
           "<endpoints><health>tcp://127.0.0.1:0</health><tolvar>"
        << tolvard->Endpoint()
        << "</tolvar></endpoints><apps><app><name>config</name><enabled>true</enabled><config><tkmlink><path>"
        << kSwitchChannel
        << "</path></tkmlink></config></app><app><name>vxlan</name><enabled>true</enabled><config><tkmlink><path>"
        << kL2Channel << "</path></tkmlink></config></app></apps></vevUroro><log><level>4</level></log></config>";
    agent = std::make_unique<qor::test::ChildProcess>(std::vector<std::string>{QOR_AGENT_BINARY},
                                                      root.Path() + "/agent" + std::to_string(++agents),
                                                      std::map<std::string, std::string>{{"QOR_ROOT", root.Path()}});
  }
  std::string L2Dump() { return Control("dump", {kL2Channel}).text; }
  bool WaitL2(const std::string& text) {
    return qor::test::WaitFor([&] { return L2Dump().find(text) != std::string::npos; }, std::chrono::seconds(30));
  }
  // The runtime forwarding table of `id` as the database holds it.
  std::optional<tv::LogSwitchStateMsg> SwitchState(const std::string& id) {
    for (const auto& [key, body] : l2Mirror.All()) {
      if (key.first != tv::LOG_SWITCH_STATE || key.second != id) continue;
      tv::LogSwitchStateMsg state;
      state.ParseFromString(body);
      return state;
    }
    return std::nullopt;
  }
  void MonitorL2Runtime() {
    client->RegisterCallbacks(
        102, [this](const tv::MonitorUpdateMsg& update) { l2Mirror.Apply(update); }, [] {}, 1);
    ASSERT_TRUE(client->ConfigureMonitors({qor::tolvar::test::Statement(tv::LOG_SWITCH_STATE)}, {}, 102, 1));
  }

  RuntimeMirror l2Mirror;
};

tv::LogSwitchFibMsg Fib(uint32_t label) {
  tv::LogSwitchFibMsg fib;
  *fib.mutable_id() = MjUuid(50);
  *fib.mutable_logical_switch_id() = MjUuid(1);
  tv::VtepMsg* vtep = fib.add_vteps();
  vtep->mutable_ip()->set_ipv4(0x0a000001);
  vtep->set_label(label);
  tv::VmMacMsg* mac = fib.add_vm_macs();
  mac->mutable_mac()->set_mac(0x0050560000aaull);
  mac->mutable_vtep_ip()->set_ipv4(0x0a000001);
  return fib;
}

TEST_F(L2EndToEnd, DesiredTablesFollowTheJoinAndLocalStateIsWrittenBack) {
  MonitorL2Runtime();
  StartDpsim();
  Put(Switch(1, 5001));
  Put(Fib(11));
  StartL2Agent();
  ASSERT_TRUE(WaitL2("sync-ended=yes")) << L2Dump();
  EXPECT_NE(L2Dump().find("joined VNIs: 0"), std::string::npos);

  ControlOk("l2-join", {kL2Channel, "5001", "9"});
  ASSERT_TRUE(WaitL2("vni 5001 switch 9 vteps=1 macs=1")) << L2Dump();
  EXPECT_NE(L2Dump().find("vtep 10.0.0.1 label=11"), std::string::npos);
  // A later desired change goes out at once.
  Put(Fib(12));
  ASSERT_TRUE(WaitL2("vtep 10.0.0.1 label=12")) << L2Dump();

  ControlOk("l2-local-vtep", {kL2Channel, "5001", "10.0.0.9", "77", "add"});
  ControlOk("l2-local-mac", {kL2Channel, "5001", "00:50:56:aa:bb:cc", "10.0.0.9", "add"});
  ASSERT_TRUE(qor::test::WaitFor(
      [&] {
        auto state = SwitchState(MjId(1));
        return state && state->vni() == 5001 && state->vteps_size() == 1 && state->vm_macs_size() == 1;
      },
      std::chrono::seconds(30)));
  EXPECT_EQ(SwitchState(MjId(1))->vteps(0).label(), 77u);

  // The operator's view and a simulated out-of-sync report through the agent's CLI.
  const std::string cli = root.Under("/var/run/zantix/qor-vevuroro/vevuroro-cli");
  auto local = qor::ovs::UnixctlClient::Call(cli, "vevuroro/l2/local");
  EXPECT_TRUE(local.ok) << local.text;
  EXPECT_NE(local.text.find("LOG_SWITCH_STATE"), std::string::npos) << local.text;
  auto simulated = qor::ovs::UnixctlClient::Call(cli, "vevuroro/set-simulate/out-of-sync", {"l2"});
  EXPECT_TRUE(simulated.ok) << simulated.text;
  ASSERT_TRUE(qor::test::WaitFor([&] { return AgentCount("L2App: get L2 mapping session control open ack") >= 2; },
                                 std::chrono::seconds(30)));
  ASSERT_TRUE(WaitL2("vni 5001 switch 9 vteps=1 macs=1")) << L2Dump();

  // An agent restart: the simulator's tables are never disturbed, and the runtime state is written again.
  ControlOk("l2-record-start", {kL2Channel});
  ASSERT_EQ(StopAgent(), 0);
  StartL2Agent();
  ASSERT_TRUE(qor::test::WaitFor([&] { return AgentSaid("L2App: Add logical switch(VNI: 5001, switchID: 9)"); },
                                 std::chrono::seconds(30)));
  ASSERT_TRUE(WaitL2("sync-ended=yes")) << L2Dump();
  auto report = Control("l2-record-report", {kL2Channel});
  EXPECT_NE(report.text.find("intervals 0"), std::string::npos) << report.text;
  EXPECT_EQ(SwitchState(MjId(1))->vteps_size(), 1);

  // A link flap on the L2 channel: the same.
  ControlOk("drop-connections", {kL2Channel});
  ASSERT_TRUE(qor::test::WaitFor([&] { return AgentCount("L2App: tkmlink up") >= 2; }, std::chrono::seconds(30)));
  ASSERT_TRUE(WaitL2("sync-ended=yes")) << L2Dump();
  report = Control("l2-record-report", {kL2Channel});
  EXPECT_NE(report.text.find("intervals 0"), std::string::npos) << report.text;
  // A change after the flap still arrives.
  Put(Fib(13));
  ASSERT_TRUE(WaitL2("vtep 10.0.0.1 label=13")) << L2Dump();
}

}  // namespace
}  // namespace VevUroro::test
