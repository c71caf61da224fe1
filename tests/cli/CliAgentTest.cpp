// The agent as a process, driven with the platform's own client `ovs-appctl -t SOCKET` (Debian openvswitch-common)
// over its CLI socket, with desired state loaded through a real tolvard.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "cli/CliCommandTable.h"
#include "cli/CliServer.h"
#include "cli/LogLevelCommands.h"
#include "platform/ovs/Unixctl.h"
#include "support/ChildProcess.h"
#include "support/TempRoot.h"
#include "support/Wait.h"
#include "tests/cli/CliTestSupport.h"
#include "tests/dataplane/DpsimHarness.h"
#include "tests/tolvar/TolvardFixture.h"

namespace VevUroro {
namespace {

namespace tv = zantix::qor::tolvar;
using qor::test::ChildProcess;

#ifdef QOR_OVS_APPCTL
constexpr const char* kOvsAppctl = QOR_OVS_APPCTL;
#else
constexpr const char* kOvsAppctl = "";
#endif

struct AppctlRun {
  int status = -1;
  std::string out;
  std::string err;
};

class CliAgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!*kOvsAppctl) GTEST_SKIP() << "ovs-appctl (openvswitch-common) is not installed";
    std::filesystem::create_directories(_root.Under("/etc/zantix/qor"));
    std::filesystem::copy_file(std::string(QOR_SAMPLE_CONFIG_DIR) + "/vessix.xml",
                               _root.Under("/etc/zantix/qor/vessix.xml"));
    _socket = _root.Under(CliServer::kSocketPath);
  }
  void TearDown() override {
    if (_agent && _agent->Running()) {
      _agent->Signal(SIGTERM);
      EXPECT_EQ(_agent->Wait(), 0);
      EXPECT_NE(_agent->Stdout().find("Stop running cli server"), std::string::npos);
      EXPECT_FALSE(std::filesystem::exists(_socket)) << "the socket is removed at shutdown";
    }
  }

  // `apps` is the application list's content (none by default); applications get more pool threads for their
  // long-running loops.
  void StartAgent(const std::string& tolvarEndpoint = "tcp://127.0.0.1:1", const std::string& apps = "") {
    std::ofstream(_root.Under("/etc/zantix/qor/qor-vevuroro.xml"))
        << "<config><vevUroro><workGroup><ioThreads>1</ioThreads><workThreads>" << (apps.empty() ? 6 : 16)
        << "</workThreads></workGroup>"
           "<endpoints><health>tcp://127.0.0.1:0</health><tolvar>"
        << tolvarEndpoint << "</tolvar></endpoints><apps>" << apps
        << "</apps></vevUroro><log><level>4</level></log></config>";
    _agent = std::make_unique<ChildProcess>(std::vector<std::string>{QOR_AGENT_BINARY},
                                            _root.Path() + "/agent" + std::to_string(++_agents),
                                            std::map<std::string, std::string>{{"QOR_ROOT", _root.Path()}});
    ASSERT_TRUE(qor::test::WaitFor([&] { return AgentSaid("Start running cli server") || !_agent->Running(); }));
    ASSERT_TRUE(AgentSaid("Start running cli server")) << _agent->Stdout();
  }
  bool AgentSaid(const std::string& text) const { return _agent->Stdout().find(text) != std::string::npos; }

  AppctlRun Appctl(std::vector<std::string> args) {
    args.insert(args.begin(), {kOvsAppctl, "-t", _socket});
    ChildProcess process(args, _root.Path() + "/appctl" + std::to_string(++_runs));
    AppctlRun run;
    run.status = process.Wait(std::chrono::seconds(60)).value_or(-1);
    run.out = process.Stdout();
    run.err = process.Stderr();
    return run;
  }
  std::string Ok(std::vector<std::string> args) {
    AppctlRun run = Appctl(args);
    EXPECT_EQ(run.status, 0) << args[0] << ": " << run.err;
    return run.out;
  }

  qor::test::TempRoot _root;
  std::string _socket;
  std::unique_ptr<ChildProcess> _agent;
  int _runs = 0;
  int _agents = 0;
};

TEST_F(CliAgentTest, OperatorDrivesTheRunningAgentWithOvsAppctl) {
  StartAgent();
  std::string list = Ok({"list-commands"});
  for (const cli::CliCommandEntry& entry : cli::CliCommandTable()) {
    EXPECT_NE(list.find("  " + std::string(entry.name) + " "), std::string::npos) << entry.name;
  }

  for (const cli::LibraryLevel& library : cli::LibraryLevels()) {
    std::string word = library.Word();
    EXPECT_EQ(Ok({library.GetCommand()}), "Current " + word + " logging level is: info\n");
    EXPECT_EQ(Ok({library.SetCommand(), "debug"}),
              "Setting " + word + " logging level from info to debug successfully\n");
    EXPECT_EQ(Ok({library.GetCommand()}), "Current " + word + " logging level is: debug\n");
    AppctlRun unknown = Appctl({library.SetCommand(), "chatty"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.err.substr(0, unknown.err.find('\n')),
              "Setting " + word + " logging level from debug to chatty failed");
    EXPECT_EQ(Ok({library.GetCommand()}), "Current " + word + " logging level is: debug\n") << "unchanged";
    EXPECT_EQ(Ok({library.SetCommand(), "info"}),
              "Setting " + word + " logging level from debug to info successfully\n");
  }
  EXPECT_TRUE(AgentSaid("CliServer: setting log level from info to debug"));

  // Argument counts are checked by the server before any handler runs.
  AppctlRun missing = Appctl({"vevuroro/set/loglevel"});
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("\"vevuroro/set/loglevel\" command requires at least 1 arguments"), std::string::npos)
      << missing.err;
  AppctlRun extra = Appctl({"vevuroro/cache/size", "now"});
  EXPECT_EQ(extra.status, 2);
  EXPECT_NE(extra.err.find("\"vevuroro/cache/size\" command takes at most 0 arguments"), std::string::npos);

  AppctlRun vertical = Appctl({"vevuroro/set-simulate/out-of-sync", "dfw"});
  EXPECT_EQ(vertical.status, 2);
  EXPECT_EQ(vertical.err.substr(0, vertical.err.find('\n')), "Setting simulate out of sync for vertical dfw failed");
  EXPECT_TRUE(qor::test::WaitFor([&] { return AgentSaid("CliServer: unknown vertical name dfw."); }));
  // Without the configuration application in the list, its commands say so instead of pretending.
  AppctlRun config = Appctl({"vevuroro/set-simulate/out-of-sync", "config"});
  EXPECT_EQ(config.status, 2);
  EXPECT_NE(config.err.find("the configuration application is not running"), std::string::npos);
  AppctlRun ports = Appctl({"vevuroro/lport/status"});
  EXPECT_EQ(ports.status, 2);
  EXPECT_NE(ports.err.find("the configuration application is not running"), std::string::npos);
  AppctlRun firewall = Appctl({"dfw/rules", "all"});
  EXPECT_EQ(firewall.status, 2);
  EXPECT_NE(firewall.err.find("dfw/rules: the firewall application is not running"), std::string::npos);

  auto stats = test::ParseJson(Ok({"vevuroro/get-wft/stats"}));
  EXPECT_EQ(stats.get<int>("work_group.threads"), 6);
  EXPECT_EQ(stats.get_child("metrics").size(), 6u);
}

size_t OpenDescriptors(pid_t pid) {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
    ++count;
  return count;
}

// What a careless or hostile client does to the running agent: hundreds of connections that never say anything
// take no more than the server's share of descriptors, a request that never ends is cut off, and after a kill -9
// the next agent takes over the socket file left behind.
TEST_F(CliAgentTest, HostileClientsAndACrashLeaveTheSocketUsable) {
  StartAgent();
  const size_t before = OpenDescriptors(_agent->Pid());
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", _socket.c_str());
  auto connectTo = [&](int fd) { return connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0; };
  // Silent clients, connecting again while the listen queue is full, until the server stops taking them.
  std::vector<int> silent;
  std::vector<bool> connected(400, false);
  for (int i = 0; i < 400; ++i) silent.push_back(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  qor::ovs::UnixctlLimits limits;
  const size_t share = static_cast<size_t>(limits.maxConnections);
  // The agent's own descriptors come and go meanwhile (datapath links retried while no datapath listens).
  const size_t slack = 4;
  EXPECT_TRUE(qor::test::WaitFor([&] {
    for (size_t i = 0; i < silent.size(); ++i) connected[i] = connected[i] || connectTo(silent[i]);
    return OpenDescriptors(_agent->Pid()) + slack >= before + share;
  }));
  EXPECT_LE(OpenDescriptors(_agent->Pid()), before + share + slack);
  EXPECT_GT(std::count(connected.begin(), connected.end(), true), static_cast<long>(share)) << "more are waiting";
  for (int fd : silent) close(fd);

  int flood = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_TRUE(connectTo(flood));
  std::string start = "{\"id\":0,\"method\":\"vevuroro/set/loglevel\",\"params\":[\"";
  send(flood, start.data(), start.size(), MSG_NOSIGNAL);
  const std::string chunk(64 << 10, 'a');
  bool cut = false;
  for (int i = 0; i < 1024 && !cut; ++i) cut = send(flood, chunk.data(), chunk.size(), MSG_NOSIGNAL) < 0;
  close(flood);
  EXPECT_TRUE(cut) << "a request without end is not buffered for ever";
  EXPECT_EQ(Ok({"vevuroro/get/loglevel"}), "Current vevuroro logging level is: info\n");

  _agent->Signal(SIGKILL);
  _agent->Wait();
  ASSERT_TRUE(std::filesystem::exists(_socket)) << "a killed agent leaves its socket file";
  EXPECT_NE(Appctl({"vevuroro/get/loglevel"}).status, 0);
  StartAgent();
  EXPECT_EQ(Ok({"vevuroro/get/loglevel"}), "Current vevuroro logging level is: info\n");
}

// Full logical switches: every one of their 16 properties set, so that each switch is 16 cache records.
tv::LogSwitchConfigMsg FullSwitch(uint64_t n) {
  tv::LogSwitchConfigMsg ls;
  *ls.mutable_id() = test::Uuid(n);
  ls.set_vni(static_cast<uint32_t>(5000 + n));
  ls.set_replication_mode(1);
  ls.mutable_transport_binding()->set_type(1);
  ls.set_vlan(0);
  ls.set_admin_state_up(true);
  *ls.mutable_transport_zone_id() = test::Uuid(900000);
  *ls.mutable_routing_domain_id() = test::Uuid(900001);
  ls.mutable_vlan_trunk()->add_ranges()->set_end(10);
  ls.set_uplink_teaming_policy("failover");
  ls.set_type(0);
  ls.set_sp_subtype(0);
  ls.mutable_mac_management()->set_mac_change_allowed(true);
  ls.set_switch_name("ls-" + std::to_string(n));
  auto* pair = ls.mutable_extra_configs()->add_configs();
  pair->set_key("k");
  pair->set_value("v");
  ls.mutable_tenant_context()->set_tenant_id("t");
  *ls.mutable_attachment()->mutable_parent_switch_id() = test::Uuid(900002);
  return ls;
}

TEST_F(CliAgentTest, DesiredStateLoadedThroughTolvardIsReportedAndCutAtTheDisplayLimit) {
  qor::tolvar::test::TolvardProcess tolvard(_root.Path(), _root.Path() + "/tolvar.db");
  constexpr uint64_t kSwitches = 3751;  // 60,016 records: just above the display limit
  {
    qor::tolvar::TolvarDbClient writer("loader", tolvard.Endpoint(), nullptr, nullptr, true, true, false);
    writer.SetCallTimeout(std::chrono::seconds(60));
    writer.StartAsync();
    std::vector<tv::ModifyRequestMsg> requests;
    for (uint64_t n = 1; n <= kSwitches; ++n)
      requests.push_back(qor::tolvar::test::Put(tv::LOG_SWITCH_CONFIG, FullSwitch(n)));
    ASSERT_TRUE(writer.Modify(requests).ok());
    writer.Stop();
  }
  StartAgent(tolvard.Endpoint());
  const std::string expected = "DesiredConfigCache  " + std::to_string(kSwitches * 16);
  std::string sizes;
  EXPECT_TRUE(qor::test::WaitFor(
      [&] {
        sizes = Ok({"vevuroro/cache/size"});
        return sizes.find(expected) != std::string::npos;
      },
      std::chrono::seconds(60)))
      << sizes;

  std::vector<std::string> lines = test::Lines(Ok({"vevuroro/config/remote"}));
  ASSERT_EQ(lines.size(), CliServer::kDisplayLimit + 2);
  EXPECT_EQ(lines.back(), "(60000 of 60016 entries shown)");
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      test::IdText(1) + "  LOG_SWITCH_CONFIG  1                LS_VNI                    vni: 5001"),
            lines.end());
  EXPECT_TRUE(qor::test::WaitFor([&] {
    return AgentSaid("CliServer: config cache number 60016 exceeds the maximum number 60000 displayed by vevuroro cli");
  }));

  std::vector<std::string> switches = test::Lines(Ok({"vevuroro/config/lswitch"}));
  EXPECT_EQ(switches.size(), CliServer::kDisplayLimit + 2);
  EXPECT_EQ(test::Lines(Ok({"vevuroro/ls/attachmentcfg"})).size(), kSwitches + 1);
}

// The configuration application against qor-dpsim: the operator lists its ports and forces a new datapath session.
TEST_F(CliAgentTest, ConfigApplicationListsItsPortsAndStartsANewSessionOnDemand) {
  qor::tolvar::test::TolvardProcess tolvard(_root.Path(), _root.Path() + "/tolvar.db");
  {
    qor::tolvar::TolvarDbClient writer("loader", tolvard.Endpoint(), nullptr, nullptr, true, true, false);
    writer.StartAsync();
    tv::LogSwitchConfigMsg ls;
    *ls.mutable_id() = test::Uuid(1);
    ls.set_vni(5001);
    tv::LogSwitchPortConfigMsg lsp;
    *lsp.mutable_id() = test::Uuid(2);
    *lsp.mutable_switch_id() = test::Uuid(1);
    lsp.mutable_attachment()->set_type(1);
    lsp.mutable_attachment()->set_vif_id("vif-1");
    lsp.mutable_attachment()->set_dvport_id("1001");
    ASSERT_TRUE(writer
                    .Modify({qor::tolvar::test::Put(tv::LOG_SWITCH_CONFIG, ls),
                             qor::tolvar::test::Put(tv::LOG_SWITCH_PORT_CONFIG, lsp)})
                    .ok());
    writer.Stop();
  }
  std::ofstream(_root.Path() + "/dpsim.conf") << "vif qor_vswitch_tkmlink vif-1 1001 dvs-1\n";
  qor::test::DpsimProcess dpsim(_root.Path(), {"--config", _root.Path() + "/dpsim.conf"});
  ASSERT_TRUE(dpsim.WaitReady());
  auto dump = [&] {
    return qor::ovs::UnixctlClient::Call(dpsim.ControlPath(), "dpsim/dump", {"qor_vswitch_tkmlink"}).text;
  };
  StartAgent(tolvard.Endpoint(),
             "<app><name>config</name><enabled>true</enabled><config><tkmlink><path>qor_vswitch_tkmlink</path>"
             "</tkmlink></config></app>");
  std::string status;
  ASSERT_TRUE(qor::test::WaitFor([&] {
    status = Ok({"vevuroro/lport/status"});
    return status.find(test::IdText(2)) != std::string::npos;
  })) << status;
  std::vector<std::string> lines = test::Lines(status);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(0, 17), "Logical Port UUID");
  EXPECT_NE(lines[1].find("dvs-1"), std::string::npos);
  EXPECT_NE(lines[1].find(test::IdText(1)), std::string::npos);
  EXPECT_NE(lines[1].find("1001"), std::string::npos);
  ASSERT_TRUE(qor::test::WaitFor([&] { return dump().find("sessions opened: 1,") != std::string::npos; }));

  EXPECT_EQ(Ok({"vevuroro/set-simulate/out-of-sync", "config"}),
            "Setting simulate out of sync for vertical config successfully\n");
  EXPECT_TRUE(qor::test::WaitFor([&] { return dump().find("sessions opened: 2,") != std::string::npos; })) << dump();
  EXPECT_TRUE(AgentSaid("ConfigApp: re-init control plane due to DP out of sync"));
}

}  // namespace
}  // namespace VevUroro
