// The runtime write-back: notifications turned into flush/put/patch/delete requests (fake Tolvar client), the
// SmartNIC rebuild of the Tolvar client, and a round trip into a real tolvard read back with tolvarctl.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

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
  // Done only once the database has the flushes, not when they are queued.
  EXPECT_TRUE(_client->fullSyncReports.empty());
  _client->Commit();
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
  // Nothing to write without a vdb: the sync with the datapath is done as it stands (the SmartNIC rebuild writes it).
  EXPECT_EQ(_client->fullSyncReports, (std::vector<std::pair<bool, ComponentType>>{{true, CONFIGCACHE}}));
}

// What a put request carries, parsed as `Message`.
template <typename Message>
Message PutBody(const tv::ModifyRequestMsg& request) {
  Message body;
  EXPECT_TRUE(request.modify().has_put());
  EXPECT_TRUE(body.ParseFromString(request.modify().put().object().object_body()));
  return body;
}

TEST_F(ObserverTest, VifCachedByItsPropertiesIsPutBeforeItsPatchAndGoesWithItsLastProperty) {
  qor::test::LogCapture log;
  auto* config = _cache.ConfigTable();
  config->UpdateRuntimeState({Entry(tv::VIF_STATE, "vif-1", Property::VIF_MAC, VifMac(0xa))}, false);
  ASSERT_EQ(_client->writes.size(), 1u);
  ASSERT_EQ(_client->writes[0].size(), 2u);  // the patch needs its object in the database
  auto put = PutBody<tv::VifStateMsg>(_client->writes[0].front());
  EXPECT_EQ(put.id(), "vif-1");
  EXPECT_EQ(put.mac().mac(), 0xau);  // with every property cached for it, so the put never undoes a patch
  EXPECT_EQ(_client->writes[0].back().modify().patch().op(), tv::SET);
  EXPECT_EQ(log.Count({"StateCacheObserver: prepare VIF_STATE Put object (id vif-1)"}), 1u);

  // Its object record arrives later: the put keeps the cached property.
  config->UpdateRuntimeState({Entry(tv::VIF_STATE, "vif-1", 0, VifState("vif-1"))}, false);
  ASSERT_EQ(_client->writes.size(), 2u);
  ASSERT_EQ(_client->writes[1].size(), 1u);
  put = PutBody<tv::VifStateMsg>(_client->writes[1].front());
  EXPECT_EQ(put.vif_type(), 1u);
  EXPECT_EQ(put.mac().mac(), 0xau);

  // Without an object record, the last property takes the object with it.
  config->UpdateRuntimeState({Entry(tv::VIF_STATE, "vif-2", Property::VIF_MAC, VifMac(0xb))}, false);
  config->UpdateRuntimeState({Entry(tv::VIF_STATE, "vif-2", Property::VIF_MAC, "", TolvarUpdateMsg::OP_CLEAR)}, false);
  ASSERT_EQ(_client->writes.size(), 4u);
  ASSERT_EQ(_client->writes[3].size(), 2u);
  EXPECT_EQ(_client->writes[3].front().modify().patch().op(), tv::CLEAR);
  EXPECT_TRUE(_client->writes[3].back().modify().has_delete_());
}

TEST_F(ObserverTest, ObjectThatDoesNotParseIsNotWritten) {
  qor::test::LogCapture log;
  _cache.ConfigTable()->UpdateRuntimeState({Entry(tv::VIF_STATE, "vif-x", 0, "\x0f not a VifStateMsg")}, false);
  EXPECT_TRUE(_client->writes.empty());
  EXPECT_EQ(log.Count({"StateCacheObserver: cached VIF_STATE object (id vif-x) does not parse; not written",
                       "level=\"error\""}),
            1u);
}

TEST_F(ObserverTest, ChangedSwitchStateIsPutWithTheElementsCachedForIt) {
  auto* l2 = _cache.L2Table();
  tv::LogSwitchStateMsg state;
  state.set_vni(5);
  l2->UpdateRuntimeState({Entry(tv::LOG_SWITCH_STATE, Id(1), 0, state.SerializeAsString()),
                          Entry(tv::LOG_SWITCH_STATE, Id(1), Property::L2_VM_MAC, VmMac(1), TolvarUpdateMsg::OP_INSERT),
                          Entry(tv::LOG_SWITCH_STATE, Id(1), Property::L2_VTEP, Vtep(7), TolvarUpdateMsg::OP_INSERT)},
                         false);
  state.set_vni(6);
  l2->UpdateRuntimeState(
      {Entry(tv::LOG_SWITCH_STATE, Id(1), 0, state.SerializeAsString()),
       Entry(tv::LOG_SWITCH_STATE, Id(1), Property::L2_VM_MAC, VmMac(2), TolvarUpdateMsg::OP_INSERT)},
      false);
  ASSERT_EQ(_client->writes.size(), 2u);
  ASSERT_EQ(_client->writes[1].size(), 2u);
  auto put = PutBody<tv::LogSwitchStateMsg>(_client->writes[1].front());
  EXPECT_EQ(put.vni(), 6u);
  // A put replaces the object: one without the elements would wipe them from the database.
  ASSERT_EQ(put.vm_macs_size(), 2);
  EXPECT_EQ(put.vteps_size(), 1);
  EXPECT_EQ(_client->writes[1].back().modify().patch().op(), tv::APPEND);
}

TEST_F(ObserverTest, FullSyncPutsEachObjectOnceBeforeItsPatches) {
  // The object record comes after the property in the notification; one VIF has no object record at all.
  _cache.ConfigTable()->UpdateRuntimeState({Entry(tv::VIF_STATE, "vif-1", Property::VIF_MAC, VifMac(0xa)),
                                            Entry(tv::VIF_STATE, "vif-1", 0, VifState("vif-1")),
                                            Entry(tv::VIF_STATE, "vif-2", Property::VIF_MAC, VifMac(0xb))},
                                           true);
  ASSERT_EQ(_client->writes.size(), 1u);
  std::vector<tv::ModifyRequestMsg> list(_client->writes[0].begin(), _client->writes[0].end());
  ASSERT_EQ(list.size(), 6u);
  EXPECT_TRUE(list[0].modify().has_flush());
  EXPECT_TRUE(list[1].modify().has_flush());
  EXPECT_EQ(PutBody<tv::VifStateMsg>(list[2]).vif_type(), 1u);  // vif-1 as cached, before its patch
  EXPECT_EQ(list[3].modify().patch().object_id(), "vif-1");
  EXPECT_EQ(PutBody<tv::VifStateMsg>(list[4]).id(), "vif-2");  // bare, then patched
  EXPECT_EQ(list[5].modify().patch().object_id(), "vif-2");
  EXPECT_TRUE(_client->fullSyncReports.empty());
  _client->Commit();
  EXPECT_EQ(_client->fullSyncReports, (std::vector<std::pair<bool, ComponentType>>{{true, CONFIGCACHE}}));
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

  using Objects = std::map<std::pair<uint32_t, std::string>, std::string>;

  // An object in comparable form: its lists sorted (the database keeps them in append order, the cache by key).
  static std::string Normalised(google::protobuf::Message& object) {
    const google::protobuf::Reflection* reflection = object.GetReflection();
    for (const auto* field : qor::tolvar::ListProperties(object.GetDescriptor())) {
      std::vector<std::string> elements;
      for (int i = 0; i < reflection->FieldSize(object, field); ++i) {
        elements.push_back(qor::tolvar::DeterministicBytes(reflection->GetRepeatedMessage(object, field, i)));
      }
      std::sort(elements.begin(), elements.end());
      reflection->ClearField(&object, field);
      for (const std::string& bytes : elements) reflection->AddMessage(&object, field)->ParseFromString(bytes);
    }
    return object.ShortDebugString();
  }

  // Every runtime object of vdb 1 as the database holds it, read through a monitor of its own.
  Objects DatabaseRuntime() {
    qor::tolvar::TolvarDbClient reader("reader", _server->Endpoint(), nullptr, nullptr, false, false, false);
    qor::tolvar::test::Recorder recorder;
    reader.RegisterCallbacks(9, recorder.Updates(), recorder.Barriers(), 1);
    std::vector<tv::MonitorStatementMsg> statements;
    for (uint32_t type : kRuntimeTypes) statements.push_back(qor::tolvar::test::Statement(type));
    reader.ConfigureMonitors(statements, {}, 9, 1);
    reader.StartAsync();
    EXPECT_TRUE(recorder.WaitBarriers(1));
    Objects objects;
    for (const auto& entry : recorder.Entries()) {
      auto object = qor::tolvar::NewObject(entry.update.object_type());
      object->ParseFromString(entry.update.new_object_body());
      std::string id;
      qor::tolvar::ObjectIdBytes(*object, &id);
      objects[{entry.update.object_type(), id}] = Normalised(*object);
    }
    reader.Stop();
    return objects;
  }

  // The same objects built from the runtime stores: each object record (or a bare object) with its properties set
  // and its elements appended.
  Objects CacheRuntime() {
    std::vector<StateCacheRecord> records = _cache.L2Table()->RuntimeRecords();
    for (uint32_t type : {tv::VIF_STATE, tv::HOPLIFT_STATUS}) {
      auto more = _cache.ConfigTable()->RuntimeRecords(type);
      records.insert(records.end(), more.begin(), more.end());
    }
    std::map<std::pair<uint32_t, std::string>, std::unique_ptr<google::protobuf::Message>> built;
    for (const StateCacheRecord& record : records) {
      auto& object = built[{record.objectType, record.objectId}];
      if (!object) {
        object = qor::tolvar::NewObject(record.objectType);
        EXPECT_TRUE(qor::tolvar::SetObjectId(object.get(), record.objectId));
      }
      if (record.propertyType == 0) {
        object->MergeFromString(record.value);
        continue;
      }
      const auto* field = qor::tolvar::PropertyField(object->GetDescriptor(), record.propertyType);
      if (!field) {
        ADD_FAILURE() << "no field for property " << record.propertyType;
        continue;
      }
      if (record.objectType == tv::VIF_STATE) {
        auto single = qor::tolvar::NewObject(record.objectType);
        single->ParseFromString(record.value);
        object->GetReflection()->ClearField(object.get(), field);
        object->GetReflection()->SwapFields(object.get(), single.get(), {field});
      } else {
        object->GetReflection()->AddMessage(object.get(), field)->ParseFromString(record.value);
      }
    }
    Objects objects;
    for (auto& [key, object] : built) objects[key] = Normalised(*object);
    return objects;
  }

  static constexpr uint32_t kRuntimeTypes[] = {tv::VIF_STATE, tv::LOG_SWITCH_STATE, tv::ROUTING_DOMAIN_VTEP,
                                               tv::HOPLIFT_STATUS};

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

std::string SwitchState(uint64_t id, uint32_t vni) {
  tv::LogSwitchStateMsg state;
  state.mutable_id()->ParseFromString(Id(id));
  state.set_vni(vni);
  return state.SerializeAsString();
}

TEST_F(WriteBackRoundTrip, DatabaseRuntimeStateFollowsTheCache) {
  qor::test::LogCapture log(LOG_LEVEL_INFO);
  ASSERT_TRUE(qor::test::WaitFor([&] { return _client->ChannelUp(); }));
  auto* config = _cache.ConfigTable();
  auto* l2 = _cache.L2Table();
  uint64_t writes = 0;

  config->UpdateRuntimeState(
      {Entry(tv::VIF_STATE, "vif-stale", 0, VifState("vif-stale")), Entry(tv::VIF_STATE, "vif-a", 0, VifState("vif-a")),
       Entry(tv::VIF_STATE, "vif-a", Property::VIF_MAC, VifMac(0xa1))},
      false);
  ASSERT_TRUE(Drained(++writes));
  EXPECT_EQ(DatabaseRuntime(), CacheRuntime());

  // A full sync in which one VIF is known by its MAC only: the whole list must be accepted, and its end reported
  // only once the database holds it.
  config->UpdateRuntimeState({Entry(tv::VIF_STATE, "vif-a", 0, VifState("vif-a")),
                              Entry(tv::VIF_STATE, "vif-b", Property::VIF_MAC, VifMac(0xb1))},
                             true);
  ASSERT_TRUE(qor::test::WaitFor([&] { return log.Has({"TolvarClient: Fullsync between config and DP is done."}); }));
  EXPECT_EQ(DatabaseRuntime(), CacheRuntime());
  EXPECT_EQ(DatabaseRuntime().count({tv::VIF_STATE, "vif-stale"}), 0u);
  ASSERT_TRUE(Drained(++writes));
  EXPECT_EQ(log.Count("refused"), 0u);

  // The database loses an object behind the agent's back: the next patch of it is refused, and repaired.
  ASSERT_TRUE(_client->LibraryClient()->Modify({qor::tolvar::test::Delete(tv::VIF_STATE, "vif-a", 1)}).ok());
  config->UpdateRuntimeState({Entry(tv::VIF_STATE, "vif-a", Property::VIF_MAC, VifMac(0xa2))}, false);
  ASSERT_TRUE(Drained(++writes));
  EXPECT_EQ(DatabaseRuntime(), CacheRuntime());
  EXPECT_EQ(log.Count({"TolvarClient: TolvarDB modifies message ID", "refused: INVALID_ARGUMENT",
                       "patch of missing object VIF_STATE vif-a", "errorCode=\"LCP00030\""}),
            1u);
  EXPECT_EQ(log.Count("replaced by"), 1u);

  // A switch state changed together with its elements: the elements cached beside it stay in the database.
  l2->UpdateRuntimeState({Entry(tv::LOG_SWITCH_STATE, Id(1), 0, SwitchState(1, 5)),
                          Entry(tv::LOG_SWITCH_STATE, Id(1), Property::L2_VM_MAC, VmMac(1), TolvarUpdateMsg::OP_INSERT),
                          Entry(tv::LOG_SWITCH_STATE, Id(1), Property::L2_VM_MAC, VmMac(2), TolvarUpdateMsg::OP_INSERT),
                          Entry(tv::LOG_SWITCH_STATE, Id(1), Property::L2_VTEP, Vtep(7), TolvarUpdateMsg::OP_INSERT)},
                         false);
  ASSERT_TRUE(Drained(++writes));
  EXPECT_EQ(DatabaseRuntime(), CacheRuntime());
  l2->UpdateRuntimeState(
      {Entry(tv::LOG_SWITCH_STATE, Id(1), Property::L2_VM_MAC, VmMac(1), TolvarUpdateMsg::OP_REMOVE),
       Entry(tv::LOG_SWITCH_STATE, Id(1), 0, SwitchState(1, 6)),
       Entry(tv::LOG_SWITCH_STATE, Id(1), Property::L2_VM_MAC, VmMac(3), TolvarUpdateMsg::OP_INSERT)},
      false);
  ASSERT_TRUE(Drained(++writes));
  Objects database = DatabaseRuntime();
  EXPECT_EQ(database, CacheRuntime());
  const std::string& switchState = database[std::make_pair(uint32_t{tv::LOG_SWITCH_STATE}, Id(1))];
  EXPECT_NE(switchState.find("label: 7"), std::string::npos) << switchState;

  // And an L2 full sync.
  l2->UpdateRuntimeState(
      {Entry(tv::LOG_SWITCH_STATE, Id(1), 0, SwitchState(1, 6)),
       Entry(tv::LOG_SWITCH_STATE, Id(1), Property::L2_VM_MAC, VmMac(4), TolvarUpdateMsg::OP_INSERT),
       Entry(tv::ROUTING_DOMAIN_VTEP, Id(2), 0, ""),
       Entry(tv::ROUTING_DOMAIN_VTEP, Id(2), Property::L2_VTEP, Vtep(8), TolvarUpdateMsg::OP_INSERT)},
      true);
  ASSERT_TRUE(qor::test::WaitFor([&] { return log.Has({"TolvarClient: Fullsync between L2 and DP is done."}); }));
  EXPECT_EQ(DatabaseRuntime(), CacheRuntime());
  EXPECT_EQ(log.Count("refused"), 1u);
}

}  // namespace
}  // namespace VevUroro
