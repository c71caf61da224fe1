// The runtime write-back: notifications turned into flush/put/patch/delete requests (fake Tolvar client), the
// SmartNIC rebuild of the Tolvar client, and a round trip into a real tolvard read back with tolvarctl.
#include <gtest/gtest.h>

#include "cache/StateCache.h"
#include "cache/StateCacheObserver.h"
#include "intake/TolvarClient.h"
#include "support/ChildProcess.h"
#include "support/LogCapture.h"
#include "support/TempRoot.h"
#include "support/Wait.h"
#include "tests/cache/CacheTestUtil.h"
#include "tolvar/TolvardFixture.h"
#include "zantix/qor/tolvar/l2.pb.h"
#include "zantix/qor/tolvar/objecttype.pb.h"
#include "zantix/qor/tolvar/runtime.pb.h"

namespace VevUroro {
namespace {

namespace tv = zantix::qor::tolvar;
using test::Entry;
using test::Id;
using tv::Property;

std::string VifState(const std::string& id, uint64_t mac = 0) {
  tv::VifStateMsg state;
  state.set_id(id);
  state.set_vif_type(1);
  if (mac) state.mutable_mac()->set_mac(mac);
  return state.SerializeAsString();
}

std::string VifMac(uint64_t mac) {
  tv::VifStateMsg state;
  state.mutable_mac()->set_mac(mac);
  return state.SerializeAsString();
}

std::string VmMac(uint64_t mac) {
  tv::VmMacMsg element;
  element.mutable_mac()->set_mac(mac);
  return element.SerializeAsString();
}

std::string Vtep(uint32_t label) {
  tv::VtepMsg element;
  element.set_label(label);
  return element.SerializeAsString();
}

class ObserverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    _client = new test::FakeTolvarClient();
    _observer = new StateCacheObserver(_client.get(), _cache.ConfigTable(), _cache.L2Table());
    ASSERT_TRUE(_observer->Start());
  }
  void TearDown() override { _observer->Stop(); }

  StateCache _cache;
  qor::RefPtr<test::FakeTolvarClient> _client;
  qor::RefPtr<StateCacheObserver> _observer;
};

TEST_F(ObserverTest, FullSyncWithEmptyRuntimeStoreStillWritesBothFlushes) {
  _cache.ConfigTable()->UpdateRuntimeState({}, true);
  _cache.L2Table()->UpdateRuntimeState({}, true);
  ASSERT_EQ(_client->writes.size(), 2u);
  ASSERT_EQ(_client->writes[0].size(), 2u);
  EXPECT_EQ(_client->writes[0].front().modify().flush().object_type(), tv::VIF_STATE);
  EXPECT_EQ(_client->writes[0].back().modify().flush().object_type(), tv::HOPLIFT_STATUS);
  EXPECT_EQ(_client->writes[0].front().modify().flush().vdbs(0), 1u);
  ASSERT_EQ(_client->writes[1].size(), 2u);
  EXPECT_EQ(_client->writes[1].front().modify().flush().object_type(), tv::LOG_SWITCH_STATE);
  EXPECT_EQ(_client->writes[1].back().modify().flush().object_type(), tv::ROUTING_DOMAIN_VTEP);
  ASSERT_EQ(_client->fullSyncReports.size(), 2u);
  EXPECT_EQ(_client->fullSyncReports[0], std::make_pair(true, CONFIGCACHE));
  EXPECT_EQ(_client->fullSyncReports[1], std::make_pair(true, L2CACHE));
}

TEST_F(ObserverTest, VifMacBecomesPatchNotPut) {
  qor::test::LogCapture log;
  _cache.ConfigTable()->UpdateRuntimeState({Entry(tv::VIF_STATE, "vif-1", 0, VifState("vif-1")),
                                            Entry(tv::VIF_STATE, "vif-1", Property::VIF_MAC, VifMac(0xa))},
                                           false);
  ASSERT_EQ(_client->writes.size(), 1u);
  ASSERT_EQ(_client->writes[0].size(), 2u);
  EXPECT_TRUE(_client->writes[0].front().modify().has_put());
  const tv::PatchMsg& patch = _client->writes[0].back().modify().patch();
  EXPECT_EQ(patch.property_type(), Property::VIF_MAC);
  EXPECT_EQ(patch.op(), tv::SET);
  EXPECT_EQ(patch.object_id(), "vif-1");
  EXPECT_EQ(log.Count({"StateCacheObserver: prepare VIF_STATE Patch object (id vif-1) property SET"}), 1u);
  EXPECT_EQ(log.Count({"StateCacheObserver: write local config to TolvarDB"}), 1u);
  // Removal of the property is a CLEAR patch; removal of the object a delete.
  _cache.ConfigTable()->UpdateRuntimeState(
      {Entry(tv::VIF_STATE, "vif-1", Property::VIF_MAC, "", TolvarUpdateMsg::OP_CLEAR)}, false);
  _cache.ConfigTable()->UpdateRuntimeState({Entry(tv::VIF_STATE, "vif-1", 0, "", TolvarUpdateMsg::OP_CLEAR)}, false);
  ASSERT_EQ(_client->writes.size(), 3u);
  EXPECT_EQ(_client->writes[1].front().modify().patch().op(), tv::CLEAR);
  EXPECT_TRUE(_client->writes[2].front().modify().has_delete_());
  // A delta does not report a full sync.
  EXPECT_TRUE(_client->fullSyncReports.empty());
}

TEST_F(ObserverTest, MainVdbZeroQueuesNothing) {
  qor::test::LogCapture log;
  _client->vdb = 0;
  _cache.ConfigTable()->UpdateRuntimeState({Entry(tv::VIF_STATE, "vif-1", 0, VifState("vif-1"))}, true);
  _cache.L2Table()->UpdateRuntimeState({Entry(tv::LOG_SWITCH_STATE, Id(1), 0, "")}, false);
  EXPECT_TRUE(_client->writes.empty());
  EXPECT_EQ(log.Count({"StateCacheObserver: Failed to get VDB ID when processing VIF_STATE message."}), 1u);
  EXPECT_EQ(log.Count({"StateCacheObserver: Failed to get VDB ID when processing L2 runtime message."}), 1u);
}

TEST_F(ObserverTest, L2ElementsBecomeAppendAndRemovePatches) {
  qor::test::LogCapture log;
  auto* l2 = _cache.L2Table();
  l2->UpdateRuntimeState(
      {Entry(tv::LOG_SWITCH_STATE, Id(1), 0, ""),
       Entry(tv::LOG_SWITCH_STATE, Id(1), Property::L2_VM_MAC, VmMac(5), TolvarUpdateMsg::OP_INSERT),
       Entry(tv::ROUTING_DOMAIN_VTEP, Id(2), 0, ""),
       Entry(tv::ROUTING_DOMAIN_VTEP, Id(2), Property::L2_VTEP, Vtep(9), TolvarUpdateMsg::OP_INSERT)},
      false);
  l2->UpdateRuntimeState(
      {Entry(tv::LOG_SWITCH_STATE, Id(1), Property::L2_VM_MAC, VmMac(5), TolvarUpdateMsg::OP_REMOVE)}, false);
  // An element of an unknown object is ignored by the table: nothing to write.
  l2->UpdateRuntimeState(
      {Entry(tv::LOG_SWITCH_STATE, Id(7), Property::L2_VM_MAC, VmMac(6), TolvarUpdateMsg::OP_INSERT)}, false);
  ASSERT_EQ(_client->writes.size(), 2u);
  const auto& first = _client->writes[0];
  ASSERT_EQ(first.size(), 4u);
  auto it = first.begin();
  EXPECT_TRUE(it->modify().has_put());
  EXPECT_EQ((++it)->modify().patch().op(), tv::APPEND);
  EXPECT_TRUE((++it)->modify().has_put());
  EXPECT_EQ((++it)->modify().patch().property_type(), Property::L2_VTEP);
  EXPECT_EQ(_client->writes[1].front().modify().patch().op(), tv::REMOVE);
  EXPECT_EQ(log.Count({"Patch object (id ", ") APPEND L2_VM_MAC"}), 1u);
  EXPECT_EQ(log.Count({"StateCacheObserver: prepare ROUTING_DOMAIN_VTEP Patch object (id ", ") APPEND L2_VTEP"}), 1u);
  EXPECT_EQ(log.Count({"L2Cache: Ignore property update since object"}), 1u);
}

TEST_F(ObserverTest, PutFrontRebuildsOnlyGroupsThatFinishedTheirFullSync) {
  qor::test::LogCapture log;
  auto queue = MakeUpdateQueue();
  TolvarClientSettings settings = TolvarClientSettings::ForPersona(0, "tcp://127.0.0.1:1");
  qor::RefPtr<TolvarClient> client(new TolvarClient(settings, queue, &_cache, nullptr));
  _cache.ConfigTable()->UpdateRuntimeState({Entry(tv::VIF_STATE, "vif-1", 0, VifState("vif-1")),
                                            Entry(tv::VIF_STATE, "vif-1", Property::VIF_MAC, VifMac(3))},
                                           true);
  _cache.L2Table()->UpdateRuntimeState({Entry(tv::LOG_SWITCH_STATE, Id(1), 0, "")}, false);
  client->FullSyncWithDpDone(true, CONFIGCACHE);
  auto requests = client->RebuildRuntimeRequests(7);
  // Flush VIF_STATE, put, SET patch, flush HOPLIFT_STATUS; no L2 part.
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].modify().flush().object_type(), tv::VIF_STATE);
  EXPECT_EQ(requests[0].modify().flush().vdbs(0), 7u);
  EXPECT_EQ(requests[1].modify().put().vdb(), 7u);
  EXPECT_EQ(requests[2].modify().patch().op(), tv::SET);
  EXPECT_EQ(requests[3].modify().flush().object_type(), tv::HOPLIFT_STATUS);
  EXPECT_EQ(log.Count({"TolvarClient: Need to wait for L2 to fullsync with DP."}), 1u);

  client->FullSyncWithDpDone(true, L2CACHE);
  client->HoldRuntimeMessages({test::FakeTolvarClient::Flush(tv::VIF_STATE)});
  EXPECT_EQ(client->PutFrontRuntimeState(9), 4u + 3u + 1u);  // config, L2 (flush, put, flush), the held flush
  EXPECT_EQ(client->MainVdb(), 9u);
  EXPECT_EQ(client->HeldRuntimeMessages(), 0u);
  EXPECT_EQ(log.Count({"TolvarClient: Flushing 1 messages in runtime msg queue to vdb 9"}), 1u);
  client->Stop();
}

// The write-back into a real database.
class WriteBackRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    _server = std::make_unique<qor::tolvar::test::TolvardProcess>(_root.Path(), _root.Path() + "/tolvar.db");
    _queue = MakeUpdateQueue();
    _client = new TolvarClient(TolvarClientSettings::ForPersona(3, _server->Endpoint()), _queue, &_cache, nullptr);
    _client->LibraryClient()->SetBackoff(std::chrono::milliseconds(10), std::chrono::milliseconds(100));
    _client->LibraryClient()->SetCallTimeout(std::chrono::seconds(20));
    _client->Start();
    _observer = new StateCacheObserver(_client.get(), _cache.ConfigTable(), _cache.L2Table());
    ASSERT_TRUE(_observer->Start());
  }
  void TearDown() override {
    _observer->Stop();
    _client->Stop();
  }
  // Runs tolvarctl get; the exit status (0 when the object exists) and the output.
  std::pair<int, std::string> Get(const std::string& type, const std::string& id) {
    static int runs = 0;
    qor::test::ChildProcess process(
        {TOLVARCTL_PATH, "--server", _server->Endpoint(), "--timeout", "20", "get", type, id},
        _root.Path() + "/ctl" + std::to_string(++runs));
    std::optional<int> status = process.Wait(std::chrono::seconds(60));
    return {status.value_or(-1), process.Stdout()};
  }
  bool Drained(uint64_t writes) {
    return qor::test::WaitFor([&] { return _client->WritesDone() >= writes; });
  }

  qor::test::TempRoot _root;
  std::unique_ptr<qor::tolvar::test::TolvardProcess> _server;
  StateCache _cache;
  std::shared_ptr<UpdateQueue> _queue;
  qor::RefPtr<TolvarClient> _client;
  qor::RefPtr<StateCacheObserver> _observer;
};

TEST_F(WriteBackRoundTrip, RuntimeChangesAppearAndDisappear) {
  ASSERT_TRUE(qor::test::WaitFor([&] { return _client->ChannelUp(); }));
  tv::UuidMsg ls;
  ls.set_high(0x1111);
  ls.set_low(1);
  std::string lsText = qor::tolvar::UuidToString(ls.high(), ls.low());
  _cache.ConfigTable()->UpdateRuntimeState({Entry(tv::VIF_STATE, "vif-1", 0, VifState("vif-1")),
                                            Entry(tv::VIF_STATE, "vif-1", Property::VIF_MAC, VifMac(0xabc))},
                                           false);
  _cache.L2Table()->UpdateRuntimeState(
      {Entry(tv::LOG_SWITCH_STATE, Id(1), 0, ""),
       Entry(tv::LOG_SWITCH_STATE, Id(1), Property::L2_VTEP, Vtep(42), TolvarUpdateMsg::OP_INSERT)},
      false);
  ASSERT_TRUE(Drained(2));
  auto vif = Get("VIF_STATE", "vif-1");
  EXPECT_EQ(vif.first, 0) << vif.second;
  EXPECT_NE(vif.second.find("\"mac\": \"2748\""), std::string::npos) << vif.second;
  auto sw = Get("LOG_SWITCH_STATE", lsText);
  EXPECT_EQ(sw.first, 0) << sw.second;
  EXPECT_NE(sw.second.find("\"label\": 42"), std::string::npos) << sw.second;

  _cache.L2Table()->RemoveLocalL2Table(tv::LOG_SWITCH_STATE, Id(1));
  _cache.ConfigTable()->UpdateRuntimeState({Entry(tv::VIF_STATE, "vif-1", 0, "", TolvarUpdateMsg::OP_CLEAR)}, false);
  ASSERT_TRUE(Drained(4));
  EXPECT_NE(Get("VIF_STATE", "vif-1").first, 0);
  EXPECT_NE(Get("LOG_SWITCH_STATE", lsText).first, 0);
}

TEST_F(WriteBackRoundTrip, RuntimeFullSyncReplacesTheRuntimeObjects) {
  ASSERT_TRUE(qor::test::WaitFor([&] { return _client->ChannelUp(); }));
  _cache.ConfigTable()->UpdateRuntimeState({Entry(tv::VIF_STATE, "vif-old", 0, VifState("vif-old")),
                                            Entry(tv::VIF_STATE, "vif-kept", 0, VifState("vif-kept"))},
                                           false);
  ASSERT_TRUE(Drained(1));
  ASSERT_EQ(Get("VIF_STATE", "vif-old").first, 0);
  _cache.ConfigTable()->UpdateRuntimeState({Entry(tv::VIF_STATE, "vif-kept", 0, VifState("vif-kept")),
                                            Entry(tv::VIF_STATE, "vif-new", 0, VifState("vif-new"))},
                                           true);
  ASSERT_TRUE(Drained(2));
  EXPECT_NE(Get("VIF_STATE", "vif-old").first, 0);
  EXPECT_EQ(Get("VIF_STATE", "vif-kept").first, 0);  // unchanged, rewritten after the flush
  EXPECT_EQ(Get("VIF_STATE", "vif-new").first, 0);
}

}  // namespace
}  // namespace VevUroro
