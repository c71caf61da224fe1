// The L3 application with real processes: tolvard holding a logical router, the agent binary with the
// configuration and L3 applications, and qor-dpsim's router module. The router's tables are read from the
// simulator's dump, DAD reports are read back from tolvard through a monitor of the test, and the no-disruption
// recorder watches an agent restart and a link flap.
#include <gtest/gtest.h>

#include "tests/config/MainJobHarness.h"
#include "zantix/qor/tolvar/l3.pb.h"

namespace VevUroro::test {
namespace {

constexpr const char* kRouterChannel = "qor_l3_tkmlink";

tv::IpAddressMsg Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  tv::IpAddressMsg ip;
  ip.set_ipv4((uint32_t(a) << 24) | (uint32_t(b) << 16) | (uint32_t(c) << 8) | d);
  return ip;
}

tv::IpPrefixMsg Net(const tv::IpAddressMsg& ip, uint32_t length) {
  tv::IpPrefixMsg prefix;
  *prefix.mutable_address() = ip;
  prefix.set_prefix_length(length);
  return prefix;
}

class L3EndToEndTest : public MainJobFixture {
 protected:
  void SetUp() override {
    MainJobFixture::SetUp();
    dadClient =
        std::make_unique<qor::tolvar::TolvarDbClient>("dad", tolvard->Endpoint(), nullptr, nullptr, true, true, false);
    dadClient->SetCallTimeout(std::chrono::seconds(20));
    dadClient->SetBackoff(std::chrono::milliseconds(10), std::chrono::milliseconds(200));
    dadClient->RegisterCallbacks(
        102, [this](const tv::MonitorUpdateMsg& update) { dad.Apply(update); }, [] {}, 1);
    ASSERT_TRUE(
        dadClient->ConfigureMonitors({qor::tolvar::test::Statement(tv::LOG_ROUTER_PORT_DAD_STATE)}, {}, 102, 1));
    dadClient->StartAsync();
  }
  void TearDown() override {
    dadClient.reset();
    MainJobFixture::TearDown();
  }

  void StartL3Agent() {
    std::ofstream(root.Under("/etc/zantix/qor/qor-vevuroro.xml"))
        << "<config><vevUroro><workGroup><ioThreads>1</ioThreads><workThreads>16</workThreads></workGroup>"
           "<endpoints><health>tcp://127.0.0.1:0</health><tolvar>"
        << tolvard->Endpoint()
        << "</tolvar></endpoints><apps><app><name>config</name><enabled>true</enabled><config><tkmlink><path>"
        << kSwitchChannel
        << "</path></tkmlink></config></app><app><name>vdrb</name><enabled>true</enabled><config><l3><tkmlink><path>"
        << kRouterChannel
        << "</path></tkmlink></l3></config></app></apps></vevUroro><log><level>5</level></log></config>";
    agent = std::make_unique<qor::test::ChildProcess>(std::vector<std::string>{QOR_AGENT_BINARY},
                                                      root.Path() + "/agent" + std::to_string(++agents),
                                                      std::map<std::string, std::string>{{"QOR_ROOT", root.Path()}});
  }

  std::string Router() { return Control("dump", {kRouterChannel}).text; }
  bool WaitRouter(const std::string& fragment) {
    return qor::test::WaitFor([&] { return Router().find(fragment) != std::string::npos; }, std::chrono::seconds(30));
  }

  // A switch, a router (VDR 1001) with one port on it, a route and an ARP table.
  void PutRouter() {
    tv::LogSwitchConfigMsg ls = Switch(1, 5001);
    ls.set_replication_mode(1);
    ls.mutable_transport_binding()->set_type(1);
    Put(ls);
    tv::LogRouterConfigMsg router;
    *router.mutable_id() = MjUuid(500);
    router.set_vdr_id(1001);
    router.set_name("tier1");
    Put(router);
    tv::LogRouterPortConfigMsg port;
    *port.mutable_id() = MjUuid(501);
    *port.mutable_router_id() = MjUuid(500);
    *port.mutable_logical_switch_id() = MjUuid(1);
    port.set_type(1);
    port.set_admin_state_up(true);
    *port.add_addresses() = Net(Ip(10, 0, 1, 1), 24);
    Put(port);
    tv::FibMsg fib;
    *fib.mutable_id() = MjUuid(502);
    *fib.mutable_router_id() = MjUuid(500);
    *fib.mutable_ip_prefix() = Net(Ip(192, 168, 100, 0), 24);
    auto* hop = fib.add_next_hops();
    *hop->mutable_ip() = Ip(10, 0, 1, 254);
    *hop->mutable_router_port_id() = MjUuid(501);
    Put(fib);
    tv::ArpTableConfigMsg arp;
    *arp.mutable_id() = MjUuid(503);
    *arp.mutable_router_port_id() = MjUuid(501);
    auto* entry = arp.add_entries();
    *entry->mutable_ip() = Ip(10, 0, 1, 10);
    entry->mutable_mac()->set_mac(0x005056aabb01ull);
    Put(arp);
  }

  std::unique_ptr<qor::tolvar::TolvarDbClient> dadClient;
  RuntimeMirror dad;
};

TEST_F(L3EndToEndTest, ARouterInTheDatabaseReachesTheKernelAndComesBackOnRequest) {
  StartDpsim();
  StartL3Agent();
  PutRouter();
  const std::string lif = "lif 1001 " + qor::tolvar::UuidToString(0x4d4a, 501);
  ASSERT_TRUE(WaitRouter("route 1001 192.168.100.0/24 distance=0 next-hops=[10.0.1.254 " +
                         qor::tolvar::UuidToString(0x4d4a, 501) + "]"))
      << Router();
  ASSERT_TRUE(WaitRouter("arp 1001 " + qor::tolvar::UuidToString(0x4d4a, 501) + " 10.0.1.10 00:50:56:aa:bb:01"))
      << Router();
  std::string dump = Router();
  EXPECT_NE(dump.find("instance 1001 name=tier1"), std::string::npos) << dump;
  EXPECT_NE(dump.find(lif + " type=1 flags=1"), std::string::npos) << dump;
  EXPECT_NE(dump.find("vni=5001"), std::string::npos) << dump;
  EXPECT_NE(dump.find("malformed messages 0, refused entries 0"), std::string::npos) << dump;

  // The kernel asks for VDR 1001 again: the same tables, and the resend is exactly that router's.
  const std::string before = dump.substr(dump.find('\n') + 1);
  ControlOk("vdr-full-sync", {kRouterChannel, "1001"});
  ASSERT_TRUE(
      qor::test::WaitFor([&] { return AgentSaid("handle kernel full sync request, LR"); }, std::chrono::seconds(30)));
  ASSERT_TRUE(WaitRouter("full syncs 2")) << Router();
  dump = Router();
  EXPECT_EQ(dump.substr(dump.find('\n') + 1), before);

  // The module reloads and asks for everything: the agent resends the same router.
  ControlOk("vdr-reset", {kRouterChannel});
  ASSERT_TRUE(WaitRouter("full syncs 3")) << Router();
  dump = Router();
  EXPECT_EQ(dump.substr(dump.find('\n') + 1), before);
  // The line may be written after the resend reached the module.
  EXPECT_TRUE(
      qor::test::WaitFor([&] { return AgentSaid("handle kernel full sync request both Config and L3 State-cache"); },
                         std::chrono::seconds(30)));

  // A DAD report is written back to the database; one with an empty version is refused.
  ControlOk("vdr-dad-report",
            {kRouterChannel, "1001", qor::tolvar::UuidToString(0x4d4a, 501), "-", "1", "10.0.1.1", "2"});
  ASSERT_TRUE(qor::test::WaitFor([&] { return AgentSaid("Empty version"); }, std::chrono::seconds(30)));
  ControlOk("vdr-dad-report", {kRouterChannel, "1001", qor::tolvar::UuidToString(0x4d4a, 501),
                               qor::tolvar::UuidToString(0x4d4a, 77), "1", "10.0.1.1", "2"});
  ASSERT_TRUE(
      qor::test::WaitFor([&] { return dad.Ids(tv::LOG_ROUTER_PORT_DAD_STATE).size() == 1; }, std::chrono::seconds(30)));
  EXPECT_EQ(*dad.Ids(tv::LOG_ROUTER_PORT_DAD_STATE).begin(), MjId(501));
}

TEST_F(L3EndToEndTest, NoDisruptionOnAnAgentRestartOrALinkFlap) {
  StartDpsim();
  StartL3Agent();
  PutRouter();
  ASSERT_TRUE(WaitRouter("arp 1001")) << Router();
  ControlOk("disruption-start", {kRouterChannel});

  ASSERT_EQ(StopAgent(), 0);
  StartL3Agent();
  // The new agent's full sync ends with the global settings and the full-sync end: count the syncs.
  ASSERT_TRUE(WaitRouter("full syncs 2")) << Router();

  ControlOk("drop-connections", {kRouterChannel});
  ASSERT_TRUE(qor::test::WaitFor([&] { return AgentCount("L3App: tkmlink up") >= 2; }, std::chrono::seconds(30)));
  // A change after the flap still arrives.
  tv::FibMsg fib;
  *fib.mutable_id() = MjUuid(510);
  *fib.mutable_router_id() = MjUuid(500);
  *fib.mutable_ip_prefix() = Net(Ip(172, 16, 0, 0), 16);
  Put(fib);
  ASSERT_TRUE(WaitRouter("route 1001 172.16.0.0/16")) << Router();

  const std::string report = Control("disruption-report", {kRouterChannel}).text;
  EXPECT_NE(report.find(", intervals 0\n"), std::string::npos) << report;
}

// A datapath restart loses the router module's tables; the agent's reconnect brings them back, and changes made
// while the datapath was away arrive too.
TEST_F(L3EndToEndTest, ADatapathRestartBringsTheRouterBack) {
  StartDpsim();
  StartL3Agent();
  PutRouter();
  ASSERT_TRUE(WaitRouter("arp 1001")) << Router();
  // The tables: the dump without its counters line and the barrier.
  auto tables = [this] {
    const std::string dump = Router();
    const size_t from = dump.find('\n') + 1;
    return dump.substr(from, dump.find("barrier ") - from);
  };
  const std::string before = tables();

  dpsim.reset();
  ASSERT_TRUE(qor::test::WaitFor([&] { return AgentSaid("L3App: tkmlink down"); }, std::chrono::seconds(30)));
  tv::FibMsg fib;
  *fib.mutable_id() = MjUuid(510);
  *fib.mutable_router_id() = MjUuid(500);
  *fib.mutable_ip_prefix() = Net(Ip(172, 16, 0, 0), 16);
  Put(fib);
  Delete(tv::FIB, MjId(510));
  // A change that stays, made while the kernel is away: not queued, yet carried by the full sync at reconnect.
  tv::FibMsg kept = fib;
  *kept.mutable_id() = MjUuid(511);
  *kept.mutable_ip_prefix() = Net(Ip(10, 9, 0, 0), 16);
  Put(kept);
  StartDpsim();
  ASSERT_TRUE(qor::test::WaitFor([&] { return AgentCount("L3App: tkmlink up") >= 2; }, std::chrono::seconds(30)));
  ASSERT_TRUE(WaitRouter("full syncs 1")) << Router();
  ASSERT_TRUE(WaitRouter("route 1001 10.9.0.0/16")) << Router();
  EXPECT_TRUE(AgentSaid("update message(s) not queued while tkmlink was down"));
  EXPECT_TRUE(WaitRouter("refused entries 0")) << Router();
  Delete(tv::FIB, MjId(511));
  ASSERT_TRUE(
      qor::test::WaitFor([&] { return Router().find("10.9.0.0/16") == std::string::npos; }, std::chrono::seconds(30)));
  EXPECT_EQ(tables(), before);

  // A change after the restart still arrives.
  Put(fib);
  ASSERT_TRUE(WaitRouter("route 1001 172.16.0.0/16")) << Router();
}

}  // namespace
}  // namespace VevUroro::test
