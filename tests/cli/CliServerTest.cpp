// The CLI server in-process: its command table on a real socket, the log-level pairs, the dumps of a real state
// cache, the display limit, and the application interfaces behind test doubles.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <set>

#include "cache/StateCache.h"
#include "cli/CliServer.h"
#include "cli/LogLevelCommands.h"
#include "core/AgentLock.h"
#include "platform/LibraryLogLevels.h"
#include "platform/ovs/Unixctl.h"
#include "platform/wft/WorkflowUtil.h"
#include "support/LogCapture.h"
#include "support/TempRoot.h"
#include "tests/cli/CliTestSupport.h"
#include "zantix/qor/tolvar/config.pb.h"
#include "zantix/qor/tolvar/l2.pb.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace VevUroro {
namespace {

namespace tv = zantix::qor::tolvar;
using qor::ovs::UnixctlClient;
using qor::ovs::UnixctlReply;
using qor::ovs::UnixctlResult;
using test::Entry;
using test::Id;
using test::IdText;
using tv::Property;

// True when another thread cannot take the agent lock now, i.e. the caller holds it.
bool AgentLockHeld() {
  return !std::async(std::launch::async, [] {
            if (!AgentLock().try_lock()) return false;
            AgentLock().unlock();
            return true;
          }).get();
}

class FakeConfigApp : public IConfigAppCli {
 public:
  std::vector<LportStatusRow> LportStatus() const override {
    lockHeld = AgentLockHeld();
    return rows;
  }
  bool SimulateOutOfSync() override {
    lockHeld = AgentLockHeld();
    ++sessions;
    return accept;
  }
  std::vector<LportStatusRow> rows;
  mutable std::atomic<bool> lockHeld{false};
  std::atomic<int> sessions{0};
  bool accept = true;
};

class FakeL2App : public IL2AppCli {
 public:
  bool SimulateOutOfSync() override {
    ++sessions;
    return true;
  }
  std::atomic<int> sessions{0};
};

class FakeIds : public ICliCommandHandler {
 public:
  UnixctlReply HandleCliCommand(const std::vector<std::string>& argv) override {
    calls.push_back(argv);
    return UnixctlReply::Ok("ids answered " + argv[0]);
  }
  std::vector<std::vector<std::string>> calls;
};

std::string LsProperty(void (*set)(tv::LogSwitchConfigMsg&)) {
  tv::LogSwitchConfigMsg ls;
  set(ls);
  return ls.SerializeAsString();
}

std::string LspSwitch(uint64_t ls) {
  tv::LogSwitchPortConfigMsg port;
  *port.mutable_switch_id() = test::Uuid(ls);
  return port.SerializeAsString();
}

std::string LspAttachment(const std::string& vif, const std::string& dvport, const std::string& parentVif = "",
                          uint32_t contextVlan = 0) {
  tv::LogSwitchPortConfigMsg port;
  port.mutable_attachment()->set_type(1);
  port.mutable_attachment()->set_vif_id(vif);
  port.mutable_attachment()->set_dvport_id(dvport);
  port.mutable_attachment()->set_parent_vif_id(parentVif);
  port.mutable_attachment()->set_context_vlan(contextVlan);
  return port.SerializeAsString();
}

std::string VmIp(uint32_t v4, const std::string& v6 = "") {
  tv::VmIpMsg element;
  if (v6.empty()) {
    element.mutable_ip()->set_ipv4(v4);
  } else {
    element.mutable_ip()->set_ipv6(v6);
  }
  element.mutable_mac()->set_mac(0x005056aabbccULL);
  return element.SerializeAsString();
}

std::string VmMac(uint64_t mac) {
  tv::VmMacMsg element;
  element.mutable_mac()->set_mac(mac);
  return element.SerializeAsString();
}

std::string Vtep(uint32_t label, uint32_t v4) {
  tv::VtepMsg vtep;
  vtep.set_label(label);
  vtep.mutable_ip()->set_ipv4(v4);
  return vtep.SerializeAsString();
}

class CliServerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    _server.reset();
    for (const cli::LibraryLevel& library : cli::LibraryLevels()) {
      if (!library.library.empty()) library.set(4);
    }
    qor::platform::library_log_level = 4;
    qor::wft::WorkflowUtil::SetTraceLevel(2);
  }

  void Start(CliServerDeps deps = {}, std::chrono::milliseconds agentLockWait = CliServer::kAgentLockWait) {
    deps.stateCache = &_cache;
    _server = std::make_unique<CliServer>(std::move(deps), "", agentLockWait);
    ASSERT_TRUE(_server->Start());
  }
  UnixctlResult Call(const std::string& command, const std::vector<std::string>& args = {},
                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    UnixctlResult result = UnixctlClient::Call(_server->SocketPath(), command, args, timeout);
    EXPECT_TRUE(result.Answered()) << command << ": " << result.text;
    return result;
  }
  std::string Ok(const std::string& command, const std::vector<std::string>& args = {},
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    UnixctlResult result = Call(command, args, timeout);
    EXPECT_TRUE(result.ok) << command << ": " << result.text;
    return result.text;
  }

  qor::test::TempRoot _root;
  qor::test::LogCapture _log{LOG_LEVEL_INFO};
  StateCache _cache;
  std::unique_ptr<CliServer> _server;
};

TEST_F(CliServerTest, EveryCommandIsServedWithItsUsageAndArgumentCounts) {
  const auto& table = cli::CliCommandTable();
  ASSERT_EQ(table.size(), 113u);
  std::set<std::string> names;
  for (const auto& entry : table) EXPECT_TRUE(names.insert(entry.name).second) << entry.name << " twice";
  EXPECT_STREQ(table.front().name, "vevuroro/lport/status");
  EXPECT_STREQ(table[36].name, "vevuroro/set/loglevel");
  EXPECT_STREQ(table.back().name, "vevuroro/set-simulate/out-of-sync");
  Start();
  EXPECT_EQ(_log.Count("vevuroro cli socket " + _root.Under(CliServer::kSocketPath)), 1u);
  EXPECT_EQ(_log.Count("Start running cli server"), 1u);

  std::string list = Ok("list-commands");
  for (const auto& entry : table) {
    // "  NAME USAGE" with the name padded; the usage follows the name on its line.
    std::string expected = "  " + std::string(entry.name) + " ";
    size_t at = list.find(expected);
    ASSERT_NE(at, std::string::npos) << entry.name;
    std::string line = list.substr(at, list.find('\n', at) - at);
    if (*entry.usage) {
      EXPECT_NE(line.find(entry.usage), std::string::npos) << line;
    }
  }
  for (const auto& entry : table) {
    if (entry.minArgs > 0) {
      UnixctlResult few = Call(entry.name, std::vector<std::string>(static_cast<size_t>(entry.minArgs) - 1, "x"));
      EXPECT_FALSE(few.ok);
      EXPECT_EQ(few.text, "\"" + std::string(entry.name) + "\" command requires at least " +
                              std::to_string(entry.minArgs) + " arguments\n");
    }
    UnixctlResult many = Call(entry.name, std::vector<std::string>(static_cast<size_t>(entry.maxArgs) + 1, "x"));
    EXPECT_FALSE(many.ok);
    EXPECT_EQ(many.text, "\"" + std::string(entry.name) + "\" command takes at most " + std::to_string(entry.maxArgs) +
                             " arguments\n");
  }
}

TEST_F(CliServerTest, LogLevelPairsSetAndReportEachLibrary) {
  Start();
  const char* names[] = {"off", "fatal", "error", "warn", "info", "debug", "trace"};
  for (const cli::LibraryLevel& library : cli::LibraryLevels()) {
    std::string word = library.library.empty() ? "vevuroro" : "vevuroro " + library.library;
    library.set(4);
    EXPECT_EQ(Ok(library.GetCommand()), "Current " + word + " logging level is: info\n");
    for (int level = 0; level <= 6; ++level) {
      std::string old = cli::LevelName(library.get());
      EXPECT_EQ(Ok(library.SetCommand(), {names[level]}),
                "Setting " + word + " logging level from " + old + " to " + names[level] + " successfully\n");
      EXPECT_EQ(library.get(), level) << word;
      EXPECT_EQ(Ok(library.GetCommand()), "Current " + word + " logging level is: " + names[level] + "\n");
    }
    // An unknown name (numbers included) changes nothing, and the refusal is an error reply.
    for (const char* bad : {"loud", "4", "INFO", ""}) {
      UnixctlResult refused = Call(library.SetCommand(), {bad});
      EXPECT_FALSE(refused.ok);
      EXPECT_EQ(refused.text, "Setting " + word + " logging level from trace to " + bad + " failed\n");
      EXPECT_EQ(library.get(), 6);
    }
    library.set(4);
  }
  // The agent's own level carries the platform logger with it.
  Ok("vevuroro/set/loglevel", {"error"});
  EXPECT_EQ(_log.Count("CliServer: setting log level from info to error"), 1u) << "logged before it is lowered";
  EXPECT_EQ(GetLogLevel(), LOG_LEVEL_ERROR);
  EXPECT_EQ(qor::platform::library_log_level.load(), LOG_LEVEL_ERROR);
  Ok("vevuroro/set/loglevel", {"info"});
  EXPECT_EQ(_log.Count("CliServer: setting log level from error to info"), 1u);
  EXPECT_EQ(_log.Count({"level=\"warn\"", "CliServer: unknown log level name loud"}), cli::LibraryLevels().size());
}

TEST_F(CliServerTest, TraceLevelOfWorkflowTracing) {
  Start();
  EXPECT_EQ(Ok("vevuroro/get-wft/tracelevel"), "Current vevuroro wft trace level is: 2\n");
  EXPECT_EQ(Ok("vevuroro/set-wft/tracelevel", {"5"}), "Setting vevuroro wft trace level from 2 to 5 successfully\n");
  EXPECT_EQ(qor::wft::WorkflowUtil::GetTraceLevel(), 5);
  for (const char* bad : {"256", "-1", "high", "1000"}) {
    UnixctlResult refused = Call("vevuroro/set-wft/tracelevel", {bad});
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.text, std::string("Setting vevuroro wft trace level from 5 to ") + bad + " failed\n");
  }
  EXPECT_EQ(qor::wft::WorkflowUtil::GetTraceLevel(), 5);
}

TEST_F(CliServerTest, SimulatedOutOfSyncReachesItsVerticalOnly) {
  FakeConfigApp config;
  FakeL2App l2;
  CliServerDeps deps;
  deps.configApp = &config;
  deps.l2App = &l2;
  Start(deps);
  EXPECT_EQ(Ok("vevuroro/set-simulate/out-of-sync", {"config"}),
            "Setting simulate out of sync for vertical config successfully\n");
  EXPECT_EQ(config.sessions.load(), 1);
  EXPECT_TRUE(config.lockHeld.load()) << "the application is called under the agent lock";
  EXPECT_EQ(_log.Count("CliServer: setting simulate out of sync for vertical config"), 1u);
  EXPECT_EQ(Ok("vevuroro/set-simulate/out-of-sync", {"l2"}),
            "Setting simulate out of sync for vertical l2 successfully\n");
  EXPECT_EQ(l2.sessions.load(), 1);

  for (const char* other : {"dfw", "Config", "l3"}) {
    UnixctlResult refused = Call("vevuroro/set-simulate/out-of-sync", {other});
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.text, std::string("Setting simulate out of sync for vertical ") + other + " failed\n");
    EXPECT_EQ(_log.Count({"level=\"error\"", std::string("CliServer: unknown vertical name ") + other + "."}), 1u);
  }
  config.accept = false;
  EXPECT_EQ(Call("vevuroro/set-simulate/out-of-sync", {"config"}).text,
            "Setting simulate out of sync for vertical config failed\n");
  EXPECT_EQ(config.sessions.load(), 2);
  EXPECT_EQ(l2.sessions.load(), 1);
}

TEST_F(CliServerTest, ApplicationsThatAreAbsentAreNamedAsNotRunning) {
  FakeIds ids;
  CliServerDeps deps;
  deps.applications[cli::CliArea::kIntrusionDetection] = &ids;
  Start(deps);
  UnixctlResult simulate = Call("vevuroro/set-simulate/out-of-sync", {"config"});
  EXPECT_FALSE(simulate.ok);
  EXPECT_EQ(simulate.text,
            "Setting simulate out of sync for vertical config failed: the configuration application is not running\n");
  EXPECT_EQ(Call("vevuroro/lport/status").text, "the configuration application is not running\n");
  EXPECT_EQ(Call("dfw/rules", {"all"}).text, "dfw/rules: the firewall application is not running\n");
  EXPECT_EQ(Call("si/get-selected-service-paths", {"x"}).text,
            "si/get-selected-service-paths: the service insertion application is not running\n");
  EXPECT_EQ(Call("vevuroro/bfd").text, "vevuroro/bfd: the BFD application is not running\n");
  EXPECT_EQ(Call("vevuroro/smartnic/demuxinfo").text,
            "vevuroro/smartnic/demuxinfo: the SmartNIC multiplexing is not running\n");
  EXPECT_EQ(Call("vevuroro/config/container").text, "the Tolvar client is not running\n");
  // A present application is the context of its own commands and answers them itself.
  EXPECT_EQ(Ok("ids/get/engine/signaction", {"a", "b", "c"}), "ids answered ids/get/engine/signaction\n");
  ASSERT_EQ(ids.calls.size(), 1u);
  EXPECT_EQ(ids.calls[0], (std::vector<std::string>{"ids/get/engine/signaction", "a", "b", "c"}));
}

TEST_F(CliServerTest, PortStatusComesFromTheConfigurationApplication) {
  FakeConfigApp config;
  config.rows = {{IdText(1), "LINK_UP", "dvs-1", IdText(10), "17"}, {IdText(2), "BLOCKED", "dvs-1", IdText(10), ""}};
  CliServerDeps deps;
  deps.configApp = &config;
  Start(deps);
  EXPECT_EQ(test::Lines(Ok("vevuroro/lport/status")),
            (std::vector<std::string>{
                "Logical Port UUID                     Status   DVSwitch ID  Logical Switch                        "
                "DVPort ID",
                IdText(1) + "  LINK_UP  dvs-1        " + IdText(10) + "  17",
                IdText(2) + "  BLOCKED  dvs-1        " + IdText(10)}));
  EXPECT_TRUE(config.lockHeld.load());
}

TEST_F(CliServerTest, ConfigurationDumpsShowTheCachedProperties) {
  Start();
  StateCacheConfigTable* table = _cache.ConfigTable();
  auto ls = [](uint64_t id, uint32_t property, std::string value) {
    return Entry(tv::LOG_SWITCH_CONFIG, Id(id), property, std::move(value));
  };
  auto lsp = [](uint64_t id, uint32_t property, std::string value) {
    return Entry(tv::LOG_SWITCH_PORT_CONFIG, Id(id), property, std::move(value));
  };
  tv::LogSwitchConfigMsg extra;
  auto* pair = extra.mutable_extra_configs()->add_configs();
  pair->set_key("mtu");
  pair->set_value("9000");
  tv::LogSwitchConfigMsg attached;
  *attached.mutable_attachment()->mutable_parent_switch_id() = test::Uuid(11);
  attached.mutable_attachment()->set_vlan(42);
  tv::LogSwitchPortConfigMsg mirror;
  *mirror.mutable_mirror_targets()->add_session_ids() = test::Uuid(70);
  *mirror.mutable_mirror_targets()->add_session_ids() = test::Uuid(71);
  tv::LogSwitchPortConfigMsg tkm;
  tkm.set_is_hyd_tkm(true);
  tv::TransportNodeConfigMsg node;
  tv::TransportSwitchMsg* hostSwitch = node.mutable_transport_switches()->add_switches();
  hostSwitch->set_switch_id("nvds-1");
  *hostSwitch->mutable_host_switch_id() = test::Uuid(90);
  *hostSwitch->add_transport_zone_ids() = test::Uuid(91);
  hostSwitch->set_mode(2);
  table->UpdateDesiredState(
      {ls(10, Property::LS_VNI, LsProperty([](auto& m) { m.set_vni(5001); })),
       ls(10, Property::LS_EXTRA_CONFIGS, extra.SerializeAsString()),
       ls(12, Property::LS_ATTACHMENT, attached.SerializeAsString()), lsp(1, Property::LSP_SWITCH_ID, LspSwitch(10)),
       lsp(1, Property::LSP_ATTACHMENT, LspAttachment("vif-1", "17")),
       lsp(1, Property::LSP_MIRROR_TARGETS, mirror.SerializeAsString()), lsp(2, Property::LSP_SWITCH_ID, LspSwitch(10)),
       lsp(2, Property::LSP_ATTACHMENT, LspAttachment("cif-2", "", "vif-1", 100)),
       lsp(2, Property::LSP_IS_HYD_TKM, tkm.SerializeAsString()), lsp(3, Property::LSP_SWITCH_ID, LspSwitch(12)),
       Entry(tv::TRANSPORT_NODE_CONFIG, Id(80), Property::TN_TRANSPORT_SWITCHES, node.SerializeAsString())},
      1);

  std::vector<std::string> remote = test::Lines(Ok("vevuroro/config/remote"));
  ASSERT_EQ(remote.size(), 12u);
  EXPECT_EQ(remote[0],
            "ObjectID                              ObjectType              FullSyncVersion  PropertyType   "
            "        PropertyValue");
  // Ordered by object id, then property; addresses and ids readable.
  EXPECT_EQ(remote[1],
            IdText(1) + "  LOG_SWITCH_PORT_CONFIG  1                LSP_SWITCH_ID          switch_id: " + IdText(10));
  EXPECT_NE(std::find(remote.begin(), remote.end(),
                      IdText(10) + "  LOG_SWITCH_CONFIG       1                LS_VNI                 vni: 5001"),
            remote.end());
  EXPECT_EQ(test::Lines(Ok("vevuroro/config/local")).size(), 1u) << "the runtime store is empty";

  std::vector<std::string> switches = test::Lines(Ok("vevuroro/config/lswitch"));
  ASSERT_EQ(switches.size(), 4u);
  EXPECT_EQ(switches[1], IdText(10) + "  LS_VNI            1                vni: 5001");

  EXPECT_EQ(test::Lines(Ok("vevuroro/config/lsportlist")),
            (std::vector<std::string>{"Logical Switch UUID                   Ports  Logical Port UUIDs",
                                      IdText(10) + "  2      " + IdText(1) + "," + IdText(2),
                                      IdText(12) + "  1      " + IdText(3)}));
  EXPECT_EQ(test::Lines(Ok("vevuroro/config/ciflist"))[1], IdText(2) + "  vif-1       100           " + IdText(10));
  EXPECT_EQ(test::Lines(Ok("vevuroro/config/vessixtkm"))[1], IdText(2) + "  " + IdText(10) + "  cif-2");
  EXPECT_EQ(test::Lines(Ok("vevuroro/config/mirror"))[1], IdText(1) + "  " + IdText(70) + "," + IdText(71));
  EXPECT_EQ(test::Lines(Ok("vevuroro/config/uplink"))[1],
            IdText(80) + "  nvds-1     " + IdText(90) + "  " + IdText(91) + "  2     -                -");
  EXPECT_EQ(test::Lines(Ok("vevuroro/ls/extracfg"))[1], IdText(10) + "  mtu  9000");
  EXPECT_EQ(test::Lines(Ok("vevuroro/ls/attachmentcfg"))[1], IdText(12) + "  " + IdText(11) + "  42");
  EXPECT_EQ(test::Lines(Ok("vevuroro/lsp/extracfg")).size(), 1u);

  EXPECT_EQ(test::Lines(Ok("vevuroro/cache/size")),
            (std::vector<std::string>{"TableName           Size", "RuntimeConfigCache  0", "DesiredConfigCache  11",
                                      "RuntimeL2Cache      0", "DesiredL2Cache      0", "DesiredL3Cache      0"}));
  std::vector<std::string> tables = test::Lines(Ok("vevuroro/cache/table"));
  ASSERT_EQ(tables.size(), 6u);
  EXPECT_EQ(tables[2].substr(0, 42), "DesiredConfigCache  CONFIGCACHE  11       ");
  EXPECT_EQ(tables[2].substr(tables[2].size() - 1), "1") << "the full-sync version";
}

TEST_F(CliServerTest, L2QueriesSelectByObjectAddressFamilyAndStore) {
  Start();
  StateCacheL2Table* l2 = _cache.L2Table();
  constexpr int32_t kInsert = TolvarUpdateMsg::OP_INSERT;
  std::string v6(16, '\0');
  v6[0] = 0x20;
  v6[1] = 0x01;
  v6[15] = 0x01;
  tv::LogSwitchFibMsg fib;
  *fib.mutable_logical_switch_id() = test::Uuid(10);
  l2->UpdateDesiredState({Entry(tv::LOG_SWITCH_FIB, Id(5), 0, fib.SerializeAsString()),
                          Entry(tv::LOG_SWITCH_FIB, Id(5), Property::L2_VM_IP, VmIp(0x0a000001), kInsert),
                          Entry(tv::LOG_SWITCH_FIB, Id(5), Property::L2_VM_IP, VmIp(0, v6), kInsert),
                          Entry(tv::LOG_SWITCH_FIB, Id(5), Property::L2_VM_MAC, VmMac(0x005056000001ULL), kInsert),
                          Entry(tv::LOG_SWITCH_FIB, Id(5), Property::L2_VTEP, Vtep(7, 0xc0a80001), kInsert),
                          Entry(tv::ROUTING_DOMAIN_FIB, Id(6), 0, ""),
                          Entry(tv::ROUTING_DOMAIN_FIB, Id(6), Property::L2_VTEP, Vtep(8, 0xc0a80002), kInsert)},
                         1);
  l2->UpdateRuntimeState({Entry(tv::LOG_SWITCH_STATE, Id(5), 0, ""),
                          Entry(tv::LOG_SWITCH_STATE, Id(5), Property::L2_VTEP, Vtep(9, 0xc0a80003), kInsert)},
                         true);

  auto arp = test::ParseJson(Ok("vevuroro/statecache/L2arp", {IdText(5)}));
  ASSERT_EQ(arp.get_child("remote").size(), 1u);
  const test::JsonTree& record = test::First(arp, "remote");
  EXPECT_EQ(record.get<std::string>("object_id"), IdText(5));
  EXPECT_EQ(record.get<std::string>("property_type"), "L2_VM_IP");
  EXPECT_EQ(record.get<std::string>("value"), "ip: 10.0.0.1 mac: 00:50:56:aa:bb:cc");
  EXPECT_EQ(arp.get_child("local").size(), 0u);

  auto nd = test::ParseJson(Ok("vevuroro/statecache/L2ND", {IdText(5)}));
  ASSERT_EQ(nd.get_child("remote").size(), 1u);
  EXPECT_EQ(test::First(nd, "remote").get<std::string>("value"), "ip: 2001::1 mac: 00:50:56:aa:bb:cc");
  auto mac = test::ParseJson(Ok("vevuroro/statecache/L2mac", {IdText(5)}));
  EXPECT_EQ(mac.get_child("remote").size(), 1u);

  auto local = test::ParseJson(Ok("vevuroro/statecache/L2vtep", {IdText(5), "local"}));
  ASSERT_EQ(local.get_child("local").size(), 1u);
  EXPECT_EQ(local.count("remote"), 0u);
  EXPECT_EQ(test::First(local, "local").get<std::string>("value"), "ip: 192.168.0.3 label: 9");
  auto all = test::ParseJson(Ok("vevuroro/statecache/logicalswitch", {IdText(5), "remote"}));
  EXPECT_EQ(all.get_child("remote").size(), 5u) << "object record and 4 elements";

  auto switches = test::ParseJson(Ok("vevuroro/statecache/logicalswitches"));
  ASSERT_EQ(switches.size(), 1u);
  const test::JsonTree& summary = switches.front().second;
  EXPECT_EQ(summary.get<std::string>("logical_switch"), IdText(10));
  EXPECT_EQ(summary.get<int>("elements.L2_VM_IP"), 2);
  auto drVtep = test::ParseJson(Ok("vevuroro/statecache/dr-vtep"));
  EXPECT_EQ(drVtep.get_child("remote").size(), 1u);

  EXPECT_EQ(Call("vevuroro/statecache/L2arp", {"not-a-uuid"}).text, "\"not-a-uuid\" is not a UUID\n");
  EXPECT_EQ(Call("vevuroro/statecache/L2vtep", {IdText(5), "both"}).text,
            "\"both\" is not a store: local (runtime) or remote (desired)\n");

  std::vector<std::string> remoteDump = test::Lines(Ok("vevuroro/l2/remote"));
  ASSERT_EQ(remoteDump.size(), 8u);
  EXPECT_EQ(remoteDump[0].substr(0, 8), "ObjectID");
  EXPECT_NE(remoteDump[3].find("L2_VM_IP"), std::string::npos);
  EXPECT_EQ(test::Lines(Ok("vevuroro/l2/local")).size(), 3u);
  std::vector<std::string> routing = test::Lines(Ok("vevuroro/l2/routingdomain"));
  ASSERT_EQ(routing.size(), 3u);
  EXPECT_EQ(routing[2].substr(0, 8), "remote  ");
}

TEST_F(CliServerTest, DumpsAboveTheDisplayLimitAreCutWithAWarning) {
  Start();
  const size_t count = CliServer::kDisplayLimit + 5;
  std::list<TolvarUpdateMsg> ports;
  for (size_t i = 0; i < count; ++i) {
    ports.push_back(Entry(tv::LOG_SWITCH_PORT_CONFIG, Id(i + 1), Property::LSP_SWITCH_ID, LspSwitch(1)));
  }
  _cache.ConfigTable()->UpdateDesiredState(ports, 1);
  // Formatting 60,000 rows takes several seconds under a sanitizer on a busy machine.
  std::vector<std::string> lines = test::Lines(Ok("vevuroro/config/remote", {}, std::chrono::seconds(60)));
  ASSERT_EQ(lines.size(), CliServer::kDisplayLimit + 2);
  EXPECT_EQ(lines.back(), "(60000 of 60005 entries shown)");
  EXPECT_EQ(_log.Count({"level=\"warn\"",
                        "CliServer: config cache number 60005 exceeds the maximum number 60000 displayed by vevuroro "
                        "cli"}),
            1u);
  EXPECT_EQ(test::Lines(Ok("vevuroro/config/lport")).size(), CliServer::kDisplayLimit + 2);

  std::list<TolvarUpdateMsg> macs = {Entry(tv::LOG_SWITCH_FIB, Id(1), 0, "")};
  for (size_t i = 0; i < CliServer::kDisplayLimit; ++i) {
    macs.push_back(Entry(tv::LOG_SWITCH_FIB, Id(1), Property::L2_VM_MAC, VmMac(0x020000000000ULL + i),
                         TolvarUpdateMsg::OP_INSERT));
  }
  _cache.L2Table()->UpdateDesiredState(macs, 1);
  lines = test::Lines(Ok("vevuroro/l2/remote"));
  ASSERT_EQ(lines.size(), CliServer::kDisplayLimit + 2);
  EXPECT_EQ(lines.back(), "(60000 of 60001 entries shown)");
  EXPECT_EQ(_log.Count("CliServer: L2 cache number 60001 exceeds the maximum number 60000 displayed by vevuroro cli"),
            1u);
  // At the limit exactly nothing is cut.
  _cache.ConfigTable()->UpdateDesiredState(
      std::list<TolvarUpdateMsg>(ports.begin(), std::next(ports.begin(), CliServer::kDisplayLimit)), 1);
  EXPECT_EQ(test::Lines(Ok("vevuroro/config/remote")).size(), CliServer::kDisplayLimit + 1);

  // The extra configurations are records of the configuration cache like any other.
  std::list<TolvarUpdateMsg> extras;
  for (size_t i = 0; i < count; ++i) {
    tv::LogSwitchPortConfigMsg port;
    auto* pair = port.mutable_extra_configs()->add_configs();
    pair->set_key("k");
    pair->set_value(std::to_string(i));
    extras.push_back(
        Entry(tv::LOG_SWITCH_PORT_CONFIG, Id(i + 1), Property::LSP_EXTRA_CONFIGS, port.SerializeAsString()));
  }
  _cache.ConfigTable()->UpdateDesiredState(extras, 1);
  lines = test::Lines(Ok("vevuroro/lsp/extracfg"));
  ASSERT_EQ(lines.size(), CliServer::kDisplayLimit + 2);
  EXPECT_EQ(lines.back(), "(60000 of 60005 entries shown)");
  EXPECT_EQ(_log.Count("CliServer: config cache number 60005 exceeds the maximum number 60000"), 3u);
}

// A command that cannot get the agent lock in time answers that the agent is busy instead of holding up the
// server's one thread, so that the log levels can still be changed while an update takes long.
TEST_F(CliServerTest, AgentLockHeldTooLongMakesDumpsAnswerBusy) {
  FakeIds ids;
  CliServerDeps deps;
  deps.applications[cli::CliArea::kIntrusionDetection] = &ids;
  Start(deps, std::chrono::milliseconds(50));
  std::promise<void> release;
  std::promise<void> held;
  auto holder = std::async(std::launch::async, [&] {
    AgentLockGuard lock(AgentLock());
    held.set_value();
    release.get_future().wait();
  });
  held.get_future().wait();
  for (const char* command :
       {"vevuroro/config/remote", "vevuroro/cache/size", "vevuroro/statecache/dr-vtep", "ids/get/status"}) {
    UnixctlResult busy = Call(command);
    EXPECT_FALSE(busy.ok);
    EXPECT_EQ(busy.text, std::string(command) + ": the agent is busy (its lock stayed taken for 50 ms); try again\n");
    EXPECT_EQ(_log.Count({"level=\"warn\"", std::string("CliServer: ") + command +
                                                " not answered: the agent lock was not free within 50 ms"}),
              1u);
  }
  EXPECT_TRUE(ids.calls.empty());
  EXPECT_EQ(Ok("vevuroro/set/loglevel", {"debug"}), "Setting vevuroro logging level from info to debug successfully\n");
  Ok("vevuroro/set/loglevel", {"info"});
  release.set_value();
  holder.get();
  EXPECT_EQ(test::Lines(Ok("vevuroro/cache/size")).size(), 6u);
}

// Whatever a client sends is written into log lines cut short and with its control bytes escaped: an argument can
// neither forge a log line nor flood the log.
TEST_F(CliServerTest, ArgumentsReachTheLogCutAndEscaped) {
  Start();
  const std::string forged = "loud\nQOR 1 - [qor@32473 level=\"error\"] forged";
  EXPECT_FALSE(Call("vevuroro/set/loglevel", {forged}).ok);
  const std::string huge(100000, 'a');
  UnixctlResult refused = Call("vevuroro/set-simulate/out-of-sync", {huge});
  EXPECT_EQ(refused.text, "Setting simulate out of sync for vertical " + huge + " failed\n") << "the reply is whole";
  EXPECT_FALSE(Call("vevuroro/set-wft/tracelevel", {"\x01\xff"}).ok);

  EXPECT_EQ(_log.Count("CliServer: unknown log level name loud\\x0aQOR 1 - [qor@32473 level=\"error\"] forged"), 1u);
  EXPECT_EQ(_log.Count("CliServer: unknown vertical name " + std::string(64, 'a') + "... (100000 bytes)."), 1u);
  EXPECT_EQ(_log.Count("CliServer: invalid trace level \\x01\\xff"), 1u);
  for (const std::string& line : _log.Lines()) {
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
    EXPECT_LT(line.size(), 1000u);
  }
}

TEST_F(CliServerTest, WorkerPoolStatisticsAreJson) {
  auto registry = std::make_shared<qor::metrics::Registry>();
  registry->GetGauge("work_group/queue/length")->Set(3);
  registry->GetLatency("work_group/item/queued_time")->Record(10);
  registry->GetLatency("work_group/item/queued_time")->Record(30);
  registry->GetGauge("tolvar_client/other")->Set(1);
  CliServerDeps deps;
  deps.metrics = registry;
  Start(deps);
  auto stats = test::ParseJson(Ok("vevuroro/get-wft/stats"));
  EXPECT_EQ(stats.get_child("metrics").size(), 2u) << "only the worker pool's metrics";
  EXPECT_EQ(stats.get<int>("metrics.work_group/queue/length.value"), 3);
  const test::JsonTree& latency = stats.get_child("metrics.work_group/item/queued_time");
  EXPECT_EQ(latency.get<int>("count"), 2);
  EXPECT_EQ(latency.get<int>("mean"), 20);
  EXPECT_EQ(latency.get<int>("max"), 30);
  EXPECT_EQ(stats.get<int>("workflow_tracing.trace_level"), 2);
}

TEST_F(CliServerTest, SecondServerOnALiveSocketIsRefused) {
  Start();
  CliServer second(CliServerDeps{});
  EXPECT_FALSE(second.Start());
  EXPECT_EQ(_log.Count("CliServer: failed to create cli server on "), 1u);
  EXPECT_TRUE(Call("vevuroro/cache/size").ok) << "the first server keeps serving";
}

}  // namespace
}  // namespace VevUroro
