// Hostile desired state through the whole road: objects written to a real tolvard, read by the Tolvar client,
// decoded, applied to the state cache's configuration table, converted and sent over a real kernel link to a real
// qor-dpsim. Oversized and odd values must never cost a port the rest of its configuration, corrupt the byte
// stream or leave the datapath with an unfinished batch.
#include <gtest/gtest.h>

#include "apps/config/KCPMsgConvertor.h"
#include "cache/StateCache.h"
#include "core/AgentLock.h"
#include "core/WorkGroup.h"
#include "intake/MsgDispatcher.h"
#include "intake/TolvarClient.h"
#include "platform/ovs/Unixctl.h"
#include "tests/config/ConverterHarness.h"
#include "tests/dataplane/DpsimHarness.h"
#include "tests/dataplane/LinkTestSupport.h"
#include "tests/tolvar/TolvardFixture.h"

namespace VevUroro {
namespace {

namespace tv = zantix::qor::tolvar;
using test::Id;
using test::Ls;
using test::Lsp;
using test::Uuid;

class HostileInputTest : public qor::test::LinkFixture {
 protected:
  void SetUp() override {
    LinkFixture::SetUp();
    ASSERT_TRUE(dpsim.WaitReady());
    qor::test::LinkEvents& events = NewEvents();
    link = UpLink("qor_vswitch_tkmlink", events, 10240);
    ASSERT_TRUE(link);

    WorkGroup::SetConfiguredThreadCounts(1, 6);
    ASSERT_TRUE(WorkGroup::Start(metrics));
    queue = MakeUpdateQueue();
    dispatcher = new MsgDispatcher(queue);
    cache.RegisterWith(*dispatcher);
    DVSPropConvertor::Collaborators c;
    c.table = cache.ConfigTable();
    c.builder = new KCPMsgConvertor(link);
    c.timers = timers.Factory();
    converter = new DVSPropConvertor(c, ConfigTree());
    feed = std::make_unique<test::DesiredStateFeed>(*cache.ConfigTable(), *converter);
    ASSERT_TRUE(dispatcher->Start());
    client = new TolvarClient(TolvarClientSettings::ForPersona(3, tolvard.Endpoint()), queue, &cache, nullptr);
    client->LibraryClient()->SetBackoff(std::chrono::milliseconds(10), std::chrono::milliseconds(100));
    client->LibraryClient()->SetCallTimeout(std::chrono::seconds(20));
    client->Start();
    // A first object seen through the table: the client's initial full sync is behind us.
    auto sentinel = Ls(999);
    sentinel.set_vni(9999);
    Write({qor::tolvar::test::Put(tv::LOG_SWITCH_CONFIG, sentinel)});
  }
  void TearDown() override {
    client->Stop();
    dispatcher->Stop();
    WorkGroup::Stop();
    feed.reset();
    converter->Stop();
    LinkFixture::TearDown();
  }
  // Writes `objects` in one transaction and waits until the configuration table has seen it.
  void Write(const std::vector<tv::ModifyRequestMsg>& requests) {
    int before = feed->notifications;
    ASSERT_TRUE(client->LibraryClient()->Modify(requests).ok());
    ASSERT_TRUE(qor::test::WaitFor([&] { return feed->notifications > before; }));
  }
  std::string Dump() {
    return qor::ovs::UnixctlClient::Call(dpsim.ControlPath(), "dpsim/dump", {"qor_vswitch_tkmlink"}).text;
  }
  // The simulator's readable line for `key` of the port `vif` ("" when the port does not hold the key).
  std::string PortLine(const std::string& vif, const std::string& key) {
    std::string dump = Dump();
    size_t table = dump.find("port properties:");
    size_t at = table == std::string::npos ? table : dump.find("\n  " + vif + "\n", table);
    if (at == std::string::npos) return "";
    at = dump.find('\n', at + 1) + 1;
    while (dump.compare(at, 4, "    ") == 0) {
      size_t end = dump.find('\n', at);
      std::string line = dump.substr(at + 4, end - at - 4);
      if (line.rfind(key + " (", 0) == 0) return line;
      at = end + 1;
    }
    return "";
  }
  void Connect(const std::string& vif, const std::string& port) {
    converter->HandleVifConnection(VifInfo{vif, port, "dvs-1", "", 1});
  }
  tv::LogSwitchConfigMsg UpSwitch() {
    auto ls = Ls(1);
    ls.set_vni(5001);
    ls.set_admin_state_up(true);
    return ls;
  }

  qor::test::DpsimProcess dpsim{root.Path(), {}};
  qor::tolvar::test::TolvardProcess tolvard{root.Path(), root.Path() + "/tolvar.db"};
  boost::intrusive_ptr<DataplaneTkmlink> link;
  qor::metrics::Registry metrics;
  StateCache cache;
  std::shared_ptr<UpdateQueue> queue;
  qor::RefPtr<MsgDispatcher> dispatcher;
  qor::RefPtr<TolvarClient> client;
  test::ManualTimers timers;
  qor::RefPtr<DVSPropConvertor> converter;
  std::unique_ptr<test::DesiredStateFeed> feed;
};

TEST_F(HostileInputTest, OversizedExtraConfigValueCostsThePortNothingElse) {
  qor::test::LogCapture logs(LOG_LEVEL_WARN);
  using qor::tolvar::test::Put;
  auto lsp = Lsp(10, 1, "vif-a", "100");
  lsp.set_admin_state_up(true);
  auto* big = lsp.mutable_extra_configs()->add_configs();
  big->set_key("com.zantix.port.extraConfig.vm.tagset");
  big->set_value(std::string(100000, 'x'));
  auto* small = lsp.mutable_extra_configs()->add_configs();
  small->set_key("com.zantix.port.extraConfig.global.id");
  small->set_value("gid-1");
  Write({Put(tv::LOG_SWITCH_CONFIG, UpSwitch()), Put(tv::LOG_SWITCH_PORT_CONFIG, lsp)});
  Connect("vif-a", "100");
  ASSERT_TRUE(qor::test::WaitFor([&] { return !PortLine("vif-a", "101").empty(); })) << Dump();
  EXPECT_EQ(PortLine("vif-a", "101"), "101 (port blocked) = unblocked");
  EXPECT_EQ(PortLine("vif-a", "321"), "321 (global.id) = \"gid-1\"");
  EXPECT_EQ(PortLine("vif-a", "322"), "");
  // Refused each time the port's properties are built: once, or twice when the link's full sync and the connection
  // both build them.
  EXPECT_GE(logs.Count({"Property 322 of vif-a is 100001 bytes", "LCP00001"}), 1u);
}

TEST_F(HostileInputTest, HugeTrunkHundredsOfMirrorSessionsLongIdsAndControlBytes) {
  qor::test::LogCapture logs(LOG_LEVEL_WARN);
  using qor::tolvar::test::Put;
  auto ls = UpSwitch();
  for (int i = 0; i < 5000; ++i) {  // 20,008 bytes of key 102: more than one message's room, but it travels
    auto* range = ls.mutable_vlan_trunk()->add_ranges();
    range->set_start(1 + i % 4000);
    range->set_end(1 + i % 4000);
  }
  std::vector<tv::ModifyRequestMsg> requests = {Put(tv::LOG_SWITCH_CONFIG, ls)};
  const std::string vif(300, 'v');
  auto lsp = Lsp(10, 1, vif, "100");
  lsp.set_admin_state_up(true);
  for (int i = 0; i < 300; ++i) {  // 300 session tables of 304 bytes: no message carries key 81
    tv::PortMirrorSessionMsg session;
    *session.mutable_id() = Uuid(5000 + i);
    session.mutable_logical_port_mirror_session()->set_name("session-" + std::to_string(i));
    *session.mutable_logical_port_mirror_session()->add_source_ids() = Uuid(10);
    requests.push_back(Put(tv::PORT_MIRROR_SESSION, session));
    *lsp.mutable_mirror_targets()->add_session_ids() = Uuid(5000 + i);
  }
  auto* odd = lsp.mutable_extra_configs()->add_configs();
  odd->set_key("com.zantix.port.extraConfig.global.id");
  odd->set_value(std::string("a\n    101 (port blocked) = blocked\n\x01\"", 37));
  requests.push_back(Put(tv::LOG_SWITCH_PORT_CONFIG, lsp));
  Write(requests);
  // The VIF connects once the port is converted (a batch is converted under the agent lock): connected before, the
  // port would be sent its session table again by each later handler of its batch.
  ASSERT_TRUE(qor::test::WaitFor([&] {
    AgentLockGuard lock(AgentLock());
    const DesiredSwitchState& state = converter->State();
    return state.ports.size() == 1 && state.ports.begin()->second.attachment.has_value();
  }));
  Connect(vif, "100");

  const std::string cut(47, 'v');  // every VIF ID field holds 47 characters and its NUL
  ASSERT_TRUE(qor::test::WaitFor([&] { return !PortLine(cut, "101").empty(); })) << Dump();
  EXPECT_EQ(PortLine(cut, "101"), "101 (port blocked) = unblocked");
  EXPECT_EQ(PortLine(cut, "1"), "1 (segment VNI) = VNI 5001");
  EXPECT_EQ(PortLine(cut, "102").rfind("102 (VLAN) = trunk [1-1, 2-2, 3-3", 0), 0u);
  EXPECT_EQ(PortLine(cut, "81"), "");
  EXPECT_EQ(logs.Count({"Property 81 of " + vif + " is 91200 bytes", "LCP00001"}), 1u);
  EXPECT_EQ(PortLine(cut, "321"), "321 (global.id) = \"a\\x0a    101 (port blocked) = blocked\\x0a\\x01\\x22\"");
}

}  // namespace
}  // namespace VevUroro
