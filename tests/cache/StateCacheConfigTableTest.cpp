// The configuration table: update rules, the full-sync sweep, notification order, registration rules, queries,
// derived look-ups and queries from other threads during updates.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "cache/StateCacheConfigTable.h"
#include "support/LogCapture.h"
#include "tests/cache/CacheTestUtil.h"
#include "zantix/qor/tolvar/config.pb.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace VevUroro {
namespace {

namespace tv = zantix::qor::tolvar;
using test::Entry;
using test::Id;
using tv::Property;

std::string PortAttachment(const std::string& vif, const std::string& dvport) {
  tv::LogSwitchPortConfigMsg port;
  port.mutable_attachment()->set_type(1);
  port.mutable_attachment()->set_vif_id(vif);
  port.mutable_attachment()->set_dvport_id(dvport);
  return port.SerializeAsString();
}

std::string Admin(bool up) {
  tv::LogSwitchPortConfigMsg port;
  port.set_admin_state_up(up);
  return port.SerializeAsString();
}

class ConfigTableTest : public ::testing::Test {
 protected:
  qor::RefPtr<StateCacheConfigTable> _table{new StateCacheConfigTable()};
  test::RecordingObserver _observer;
};

TEST_F(ConfigTableTest, FullSyncOmittingAPortRemovesItObjectRecordFirst) {
  ASSERT_TRUE(_table->RegisterDesiredStateObserver(tv::LOG_SWITCH_PORT_CONFIG, &_observer));
  const std::string kept = Id(1), gone = Id(2);
  _table->UpdateDesiredState(
      {Entry(tv::LOG_SWITCH_PORT_CONFIG, gone, 0, "obj"),
       Entry(tv::LOG_SWITCH_PORT_CONFIG, gone, Property::LSP_ADMIN_STATE_UP, Admin(true)),
       Entry(tv::LOG_SWITCH_PORT_CONFIG, gone, Property::LSP_ATTACHMENT, PortAttachment("v", "d")),
       Entry(tv::LOG_SWITCH_PORT_CONFIG, kept, Property::LSP_ADMIN_STATE_UP, Admin(true))},
      1);
  ASSERT_EQ(_observer.Calls().size(), 1u);
  EXPECT_TRUE(_observer.Calls()[0].first);
  EXPECT_EQ(_table->DesiredCount(), 4u);

  _table->UpdateDesiredState({Entry(tv::LOG_SWITCH_PORT_CONFIG, kept, Property::LSP_ADMIN_STATE_UP, Admin(true))}, 1);
  ASSERT_EQ(_observer.Calls().size(), 2u);
  auto calls = _observer.Calls();
  const test::ObserverCall& call = calls[1];
  EXPECT_FALSE(call.first);
  ASSERT_EQ(call.changes.size(), 3u);  // the kept, unchanged property is no change
  auto it = call.changes.begin();
  EXPECT_EQ(it->entry.propertyType, 0);
  EXPECT_EQ(it->entry.objectId, gone);
  for (const StateCacheChange& change : call.changes) {
    EXPECT_TRUE(change.IsRemoval());
    EXPECT_EQ(change.entry.objectId, gone);
  }
  EXPECT_EQ(_table->DesiredCount(), 1u);
  EXPECT_FALSE(_table->QueryDesiredObject(gone, nullptr));
  EXPECT_EQ(_table->FullSyncVersion(), 2u);
}

TEST_F(ConfigTableTest, UnchangedSetNotifiesNobodyAndChangedSetCarriesOldValue) {
  ASSERT_TRUE(_table->RegisterDesiredStateObserver(tv::LOG_SWITCH_PORT_CONFIG, &_observer));
  const std::string port = Id(1);
  _table->UpdateDesiredState({Entry(tv::LOG_SWITCH_PORT_CONFIG, port, Property::LSP_ADMIN_STATE_UP, Admin(true))}, 0);
  _table->UpdateDesiredState({Entry(tv::LOG_SWITCH_PORT_CONFIG, port, Property::LSP_ADMIN_STATE_UP, Admin(true))}, 0);
  EXPECT_EQ(_observer.Calls().size(), 1u);
  _table->UpdateDesiredState({Entry(tv::LOG_SWITCH_PORT_CONFIG, port, Property::LSP_ADMIN_STATE_UP, Admin(false))}, 0);
  ASSERT_EQ(_observer.Calls().size(), 2u);
  auto calls = _observer.Calls();
  const StateCacheChange& change = calls[1].changes.front();
  EXPECT_TRUE(change.hasOld);
  EXPECT_EQ(change.oldValue, Admin(true));
  EXPECT_EQ(change.entry.value, Admin(false));
}

TEST_F(ConfigTableTest, ObjectClearRemovesPropertiesEvenWithoutObjectRecord) {
  const std::string port = Id(1);
  _table->UpdateDesiredState(
      {Entry(tv::LOG_SWITCH_PORT_CONFIG, port, Property::LSP_ADMIN_STATE_UP, Admin(true)),
       Entry(tv::LOG_SWITCH_PORT_CONFIG, port, Property::LSP_ATTACHMENT, PortAttachment("v", "d"))},
      0);
  ASSERT_TRUE(_table->RegisterDesiredStateObserver(tv::LOG_SWITCH_PORT_CONFIG, &_observer));
  _table->UpdateDesiredState({Entry(tv::LOG_SWITCH_PORT_CONFIG, port, 0, "old body", TolvarUpdateMsg::OP_CLEAR)}, 0);
  EXPECT_EQ(_table->DesiredCount(), 0u);
  ASSERT_EQ(_observer.Calls().size(), 1u);
  ASSERT_EQ(_observer.Calls()[0].changes.size(), 1u);
  EXPECT_EQ(_observer.Calls()[0].changes.front().entry.propertyType, 0);
}

TEST_F(ConfigTableTest, EachObserverGetsOneCallWithItsOwnChangesInOrder) {
  test::RecordingObserver both, switches;
  ASSERT_TRUE(_table->RegisterDesiredStateObserver(tv::LOG_SWITCH_PORT_CONFIG, &both));
  ASSERT_TRUE(_table->RegisterDesiredStateObserver(tv::LOG_SWITCH_CONFIG, &both));
  ASSERT_TRUE(_table->RegisterDesiredStateObserver(tv::LOG_SWITCH_CONFIG, &switches));
  tv::LogSwitchConfigMsg ls;
  ls.set_vni(5000);
  _table->UpdateDesiredState({Entry(tv::LOG_SWITCH_CONFIG, Id(10), Property::LS_VNI, ls.SerializeAsString()),
                              Entry(tv::LOG_SWITCH_PORT_CONFIG, Id(1), Property::LSP_ADMIN_STATE_UP, Admin(true)),
                              Entry(tv::LOG_SWITCH_CONFIG, Id(11), Property::LS_VNI, ls.SerializeAsString())},
                             0);
  ASSERT_EQ(both.Calls().size(), 1u);
  ASSERT_EQ(both.Calls()[0].changes.size(), 3u);
  std::vector<std::string> order;
  auto bothCalls = both.Calls();
  for (const auto& c : bothCalls[0].changes) order.push_back(c.entry.objectId);
  EXPECT_EQ(order, (std::vector<std::string>{Id(10), Id(1), Id(11)}));
  ASSERT_EQ(switches.Calls().size(), 1u);
  EXPECT_EQ(switches.Calls()[0].changes.size(), 2u);
}

TEST_F(ConfigTableTest, RegistrationRulesAndBadEntries) {
  qor::test::LogCapture log;
  EXPECT_FALSE(_table->RegisterDesiredStateObserver(tv::LOG_SWITCH_CONFIG, nullptr));
  EXPECT_FALSE(_table->RegisterRuntimeStateObserver(tv::VIF_STATE, nullptr));
  EXPECT_FALSE(_table->UnregisterDesiredStateObserver(tv::LOG_SWITCH_CONFIG, nullptr));
  EXPECT_TRUE(_table->RegisterDesiredStateObserver(tv::LOG_SWITCH_CONFIG, &_observer));
  EXPECT_FALSE(_table->RegisterDesiredStateObserver(tv::LOG_SWITCH_CONFIG, &_observer));
  EXPECT_EQ(log.Count({"ConfigCache: register NULL desired state observer!"}), 1u);
  EXPECT_EQ(log.Count({"ConfigCache: register NULL runtime state observer!"}), 1u);
  EXPECT_EQ(log.Count({"ConfigCache: unregister NULL desired state observer!"}), 1u);
  EXPECT_EQ(log.Count({"ConfigCache: register existing desired state observer (LOG_SWITCH_CONFIG)!"}), 1u);

  _table->UpdateDesiredState({Entry(0, Id(1), 10, "x"), Entry(tv::LOG_SWITCH_CONFIG, Id(1), 10, "x", 99)}, 0);
  EXPECT_EQ(log.Count({"ConfigCache: received invalid object from controller"}), 1u);
  EXPECT_EQ(log.Count({"ConfigCache: unsupported operation 99", "LCP00007"}), 1u);
  EXPECT_EQ(_table->DesiredCount(), 0u);
  // The first update reaches every observer (flagged first), even with nothing for it.
  ASSERT_EQ(_observer.Calls().size(), 1u);
  EXPECT_TRUE(_observer.Calls()[0].first && _observer.Calls()[0].changes.empty());
  EXPECT_TRUE(_table->UnregisterDesiredStateObserver(tv::LOG_SWITCH_CONFIG, &_observer));
  _table->UpdateDesiredState({Entry(tv::LOG_SWITCH_CONFIG, Id(1), 10, "x")}, 0);
  EXPECT_EQ(_observer.Calls().size(), 1u);
}

TEST_F(ConfigTableTest, QueriesAndDerivedLookups) {
  qor::test::LogCapture log;
  tv::UuidMsg zone, hostSwitch;
  zone.set_low(77);
  hostSwitch.set_low(88);
  tv::TransportNodeConfigMsg node;
  tv::TransportSwitchMsg* sw = node.mutable_transport_switches()->add_switches();
  sw->set_switch_id("dvs-1");
  *sw->mutable_host_switch_id() = hostSwitch;
  *sw->add_transport_zone_ids() = zone;
  tv::LogSwitchConfigMsg ls;
  *ls.mutable_transport_zone_id() = zone;
  _table->UpdateDesiredState(
      {Entry(tv::TRANSPORT_NODE_CONFIG, Id(50), Property::TN_TRANSPORT_SWITCHES, node.SerializeAsString()),
       Entry(tv::LOG_SWITCH_CONFIG, Id(10), Property::LS_TRANSPORT_ZONE_ID, ls.SerializeAsString()),
       Entry(tv::LOG_SWITCH_PORT_CONFIG, Id(1), Property::LSP_ATTACHMENT, PortAttachment("vif-1", "dvport-1"))},
      1);
  std::string out;
  EXPECT_TRUE(_table->GetTransportZoneOfHostSwitch(hostSwitch.SerializeAsString(), &out));
  EXPECT_EQ(out, zone.SerializeAsString());
  EXPECT_TRUE(_table->FindDVPortByLsp(Id(1), &out));
  EXPECT_EQ(out, "dvport-1");
  EXPECT_TRUE(_table->FindVifByLsp(Id(1), &out));
  EXPECT_EQ(out, "vif-1");
  EXPECT_TRUE(_table->GetDvsOfLogSwitch(Id(10), &out));
  EXPECT_EQ(out, "dvs-1");
  EXPECT_FALSE(_table->GetDvsOfLogSwitch(Id(99), &out));
  EXPECT_EQ(log.Count({"ConfigCache: object does not exist: objectId"}), 1u);
  EXPECT_FALSE(_table->FindVifByLsp(Id(2), &out));
  EXPECT_EQ(log.Count({"ConfigCache: property does not exist: ", ", LSP_ATTACHMENT with type: LOG_SWITCH_PORT_CONFIG"}),
            1u);

  std::vector<StateCacheRecord> records;
  EXPECT_TRUE(_table->QueryDesiredProperty(tv::LOG_SWITCH_PORT_CONFIG, Property::LSP_ATTACHMENT, &records));
  EXPECT_EQ(records.size(), 1u);
  EXPECT_FALSE(_table->QueryDesiredProperty(Id(1), Property::LSP_QOS, &out));
  EXPECT_EQ(log.Count({"ConfigCache: object exists, but property does not exist:"}), 1u);
  EXPECT_FALSE(_table->QueryRuntimeState(Id(1), 0, &out));
  EXPECT_EQ(log.Count({"ConfigCache: state does not exist:"}), 1u);
  EXPECT_GT(_table->DesiredCacheSize(), 0u);
  EXPECT_EQ(log.Count({"ConfigCache: Config desired cache size(bytes): "}), 1u);
}

TEST_F(ConfigTableTest, RuntimeFullSyncReportsEverythingAndSweeps) {
  ASSERT_TRUE(_table->RegisterRuntimeStateObserver(tv::VIF_STATE, &_observer));
  _table->UpdateRuntimeState({Entry(tv::VIF_STATE, "vif-a", 0, "A"), Entry(tv::VIF_STATE, "vif-b", 0, "B")}, false);
  _table->UpdateRuntimeState({Entry(tv::VIF_STATE, "vif-a", 0, "A")}, true);
  auto calls = _observer.Calls();
  ASSERT_EQ(calls.size(), 2u);
  ASSERT_EQ(calls[1].changes.size(), 2u);
  EXPECT_FALSE(calls[1].changes.front().IsRemoval());  // unchanged, still reported for the rewrite
  EXPECT_TRUE(calls[1].changes.back().IsRemoval());
  EXPECT_EQ(calls[1].changes.back().entry.objectId, "vif-b");
  EXPECT_EQ(_table->RuntimeCount(), 1u);
  // An empty full sync still reaches the observer.
  _table->UpdateRuntimeState({}, true);
  EXPECT_EQ(_observer.Calls().size(), 3u);
  EXPECT_EQ(_table->RuntimeCount(), 0u);
}

TEST_F(ConfigTableTest, SharedIdsOfDifferentTypesAreSeparateRecords) {
  _table->UpdateRuntimeState({Entry(tv::VIF_STATE, "vif-a", 0, "state"), Entry(tv::HOPLIFT_STATUS, "vif-a", 0, "hl")},
                             false);
  EXPECT_EQ(_table->RuntimeRecords(tv::VIF_STATE).size(), 1u);
  EXPECT_EQ(_table->RuntimeRecords(tv::HOPLIFT_STATUS).size(), 1u);
}

TEST_F(ConfigTableTest, QueriesFromOtherThreadsDuringUpdates) {
  std::atomic<bool> done{false};
  std::atomic<int> hits{0};
  std::thread reader([&] {
    std::string out;
    while (!done.load()) {
      if (_table->FindVifByLsp(Id(3), &out)) ++hits;
      std::vector<StateCacheRecord> records;
      _table->QueryDesiredProperty(tv::LOG_SWITCH_PORT_CONFIG, Property::LSP_ATTACHMENT, &records);
      _table->RuntimeRecords(tv::VIF_STATE);
    }
  });
  ASSERT_TRUE(_table->RegisterRuntimeStateObserver(tv::VIF_STATE, &_observer));
  for (int i = 0; i < 300; ++i) {
    _table->UpdateDesiredState({Entry(tv::LOG_SWITCH_PORT_CONFIG, Id(i % 7), Property::LSP_ATTACHMENT,
                                      PortAttachment("v" + std::to_string(i), "d"))},
                               i % 50 == 0 ? 1 : 0);
    _table->UpdateRuntimeState(
        {Entry(tv::VIF_STATE, "vif-" + std::to_string(i % 5), Property::VIF_MAC, std::to_string(i))}, false);
  }
  done = true;
  reader.join();
  EXPECT_EQ(_observer.Calls().size(), 300u);
  EXPECT_LE(_table->DesiredCount(), 7u);
}

}  // namespace
}  // namespace VevUroro
