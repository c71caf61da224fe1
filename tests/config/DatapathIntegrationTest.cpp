// The converter and the KCP builder over a real kernel link to a real qor-dpsim process: a batch cut into several
// messages is applied by the simulator as one batch, every message but the last carrying the "more" flag (read
// from the simulator's capture file), and the simulator's readable dump shows the values it holds.
#include <gtest/gtest.h>

#include "apps/config/KCPMsgConvertor.h"
#include "platform/ovs/Unixctl.h"
#include "tests/config/ConverterHarness.h"
#include "tests/dataplane/DpsimHarness.h"
#include "tests/dataplane/LinkTestSupport.h"
#include "tools/qor-dpsim/Capture.h"

namespace VevUroro {
namespace {

using test::Ls;
using test::Lsp;

class DatapathIntegrationTest : public qor::test::LinkFixture {
 protected:
  void SetUp() override {
    LinkFixture::SetUp();
    ASSERT_TRUE(dpsim.WaitReady());
    qor::test::LinkEvents& events = NewEvents();
    link = UpLink("qor_vswitch_tkmlink", events, 10240);
    ASSERT_TRUE(link);
    DVSPropConvertor::Collaborators c;
    c.table = table.get();
    c.builder = new KCPMsgConvertor(link);
    c.timers = timers.Factory();
    converter = new DVSPropConvertor(c, ConfigTree());
    feed = std::make_unique<test::DesiredStateFeed>(*table, *converter);
  }
  void TearDown() override {
    feed.reset();
    converter->Stop();
    LinkFixture::TearDown();
  }
  std::string Dump() {
    return qor::ovs::UnixctlClient::Call(dpsim.ControlPath(), "dpsim/dump", {"qor_vswitch_tkmlink"}).text;
  }
  bool WaitBatches(int n) {
    std::string wanted = "batches applied: " + std::to_string(n) + ",";
    return qor::test::WaitFor([&] { return Dump().find(wanted) != std::string::npos; });
  }
  void Connect(const std::string& vif, const std::string& port) {
    converter->HandleVifConnection(VifInfo{vif, port, "dvs-1", "", 1});
  }
  std::vector<qor::dpsim::CaptureRecord> Received() {
    std::vector<qor::dpsim::CaptureRecord> in;
    for (auto& record : qor::dpsim::ReadCaptureFile(capture + "/qor_vswitch_tkmlink.cap")) {
      if (record.direction == qor::dpsim::Direction::kIn) in.push_back(std::move(record));
    }
    return in;
  }

  std::string capture = root.Path() + "/capture";
  qor::test::DpsimProcess dpsim{root.Path(), {"--capture", capture}};
  boost::intrusive_ptr<DataplaneTkmlink> link;
  qor::RefPtr<StateCacheConfigTable> table{new StateCacheConfigTable()};
  test::ManualTimers timers;
  qor::RefPtr<DVSPropConvertor> converter;
  std::unique_ptr<test::DesiredStateFeed> feed;
};

TEST_F(DatapathIntegrationTest, BatchSplitOverSeveralMessagesIsAppliedAsOne) {
  auto ls = Ls(1);
  ls.set_vni(5001);
  ls.set_admin_state_up(true);
  feed->Put(ls);
  // 200 connected ports: each full property set goes in its own batch.
  for (int i = 0; i < 200; ++i) {
    auto lsp = Lsp(100 + i, 1, "vif-" + std::to_string(i), std::to_string(1000 + i));
    lsp.set_admin_state_up(true);
    feed->Put(lsp);
    Connect("vif-" + std::to_string(i), std::to_string(1000 + i));
  }
  ASSERT_TRUE(WaitBatches(200));
  size_t before = Received().size();

  // One switch change fans out to all 200 ports: more than one message, one batch.
  ls.set_uplink_teaming_policy("failover-order-with-a-long-name");
  feed->Put(ls);
  ASSERT_TRUE(WaitBatches(201));
  auto received = Received();
  ASSERT_GT(received.size(), before + 1) << "the fan-out does not fit one message";
  for (size_t i = before; i < received.size(); ++i) {
    const auto& bytes = received[i].bytes;
    ASSERT_GE(bytes.size(), 10u);
    EXPECT_EQ(bytes[4], i + 1 < received.size() ? 0x80 : 0x00) << "message " << i - before;
    EXPECT_LE(bytes.size(), 10240u);
  }
  std::string dump = Dump();
  size_t count = 0;
  for (size_t at = dump.find("202 (uplink teaming policy) = \"failover-order-with-a-long-name\"");
       at != std::string::npos;
       at = dump.find("202 (uplink teaming policy) = \"failover-order-with-a-long-name\"", at + 1)) {
    ++count;
  }
  EXPECT_EQ(count, 200u);
  EXPECT_NE(dump.find("1 (segment VNI) = VNI 5001"), std::string::npos);
  EXPECT_NE(dump.find("101 (port blocked) = unblocked"), std::string::npos);

  // One port whose properties exceed one message's room: two messages, each starting with the port's header.
  auto big = Lsp(99, 1, "vif-big", "999");
  big.set_admin_state_up(true);
  for (int i = 0; i < 10; ++i) {
    auto* kv = big.mutable_extra_configs()->add_configs();
    kv->set_key("com.zantix.port.extraConfig.vm.tagset" + (i ? std::to_string(i) : std::string()));
    kv->set_value(std::string(1100, static_cast<char>('a' + i)));
  }
  feed->Put(big);
  before = Received().size();
  Connect("vif-big", "999");
  ASSERT_TRUE(WaitBatches(202));
  received = Received();
  ASSERT_EQ(received.size(), before + 2);
  for (size_t i = before; i < received.size(); ++i) {
    std::string id(reinterpret_cast<const char*>(received[i].bytes.data()) + 10);
    EXPECT_EQ(id, "vif-big");
  }
  EXPECT_EQ(received[before].bytes[4], 0x80);
  EXPECT_EQ(received[before + 1].bytes[4], 0x00);
  dump = Dump();
  EXPECT_NE(dump.find("331 (vm.tagset) = \"" + std::string(1100, 'j') + "\""), std::string::npos);
  EXPECT_NE(dump.find("322 (vm.tagset) = \"" + std::string(1100, 'a') + "\""), std::string::npos);
}

}  // namespace
}  // namespace VevUroro
