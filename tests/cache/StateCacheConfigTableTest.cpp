// The configuration table: update rules, the full-sync sweep, notification order, registration rules, queries,
// derived look-ups and queries from other threads during updates.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory_resource>
#include <set>
#include <thread>

#include "cache/StateCacheConfigTable.h"
#include "support/Differential.h"
#include "support/LogCapture.h"
#include "support/Wait.h"
#include "tests/cache/CacheTestUtil.h"
#include "zantix/qor/tolvar/config.pb.h"
#include "zantix/qor/tolvar/objecttype.pb.h"
#include "zantix/qor/tolvar/security.pb.h"

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

tv::LogSwitchPortConfigMsg Port(uint64_t id, bool admin) {
  tv::LogSwitchPortConfigMsg port;
  port.mutable_id()->set_low(id);
  port.set_admin_state_up(admin);
  port.mutable_attachment()->set_type(1);
  port.mutable_attachment()->set_vif_id("vif-" + std::to_string(id));
  return port;
}

std::vector<std::string> Texts(const StateCacheChangeList& changes) {
  std::vector<std::string> out;
  for (const StateCacheChange& change : changes) out.push_back(test::ChangeText(change));
  return out;
}

// A port that a delta deletes and a port that a full sync omits reach the observers in one shape: the object,
// then each of its properties; and the tables end the same.
TEST_F(ConfigTableTest, DeletedAndOmittedPortsGiveObserversTheSameRemovals) {
  const tv::LogSwitchPortConfigMsg gone = Port(1, true), kept = Port(2, false);
  test::RecordingObserver byDelete, bySync;
  qor::RefPtr<StateCacheConfigTable> synced(new StateCacheConfigTable());
  ASSERT_TRUE(_table->RegisterDesiredStateObserver(tv::LOG_SWITCH_PORT_CONFIG, &byDelete));
  ASSERT_TRUE(synced->RegisterDesiredStateObserver(tv::LOG_SWITCH_PORT_CONFIG, &bySync));
  _table->UpdateDesiredState(test::FullSync(CONFIGCACHE, {&gone, &kept}), 1);
  synced->UpdateDesiredState(test::FullSync(CONFIGCACHE, {&gone, &kept}), 1);
  EXPECT_EQ(_table->DesiredCount(), 4u);  // attachment and admin state of each port; no object records

  _table->UpdateDesiredState(test::Decoded(CONFIGCACHE, &gone, nullptr), 0);
  synced->UpdateDesiredState(test::FullSync(CONFIGCACHE, {&kept}), 1);

  const StateCacheChangeList deleted = byDelete.Calls().back().changes;
  ASSERT_EQ(deleted.size(), 3u);
  auto it = deleted.begin();
  EXPECT_EQ(it->entry.propertyType, 0);
  tv::LogSwitchPortConfigMsg whole;
  ASSERT_TRUE(whole.ParseFromString(it->entry.value));  // the port as the cache held it
  EXPECT_EQ(whole.attachment().vif_id(), "vif-1");
  EXPECT_TRUE(whole.admin_state_up());
  EXPECT_EQ((++it)->entry.propertyType, Property::LSP_ATTACHMENT);
  EXPECT_EQ((++it)->entry.propertyType, Property::LSP_ADMIN_STATE_UP);
  for (const StateCacheChange& change : deleted) {
    EXPECT_TRUE(change.IsRemoval());
    EXPECT_EQ(change.entry.objectId, gone.id().SerializeAsString());
  }
  EXPECT_EQ(Texts(bySync.Calls().back().changes), Texts(deleted));
  EXPECT_EQ(_table->DesiredCount(), synced->DesiredCount());
  EXPECT_FALSE(_table->QueryDesiredObject(gone.id().SerializeAsString(), nullptr));
  EXPECT_FALSE(synced->QueryDesiredObject(gone.id().SerializeAsString(), nullptr));
  EXPECT_EQ(synced->FullSyncVersion(), 2u);
}

// A whole-object type (NSG membership) put again with new content: the cache takes it.
TEST_F(ConfigTableTest, WholeObjectPutAgainWithNewContentIsUpdated) {
  ASSERT_TRUE(_table->RegisterDesiredStateObserver(tv::NSG_MEMBERSHIP_STATUS, &_observer));
  tv::NsgMembershipStatusMsg before, after;
  before.mutable_id()->set_low(7);
  before.add_group_ids()->set_low(1);
  after = before;
  after.add_group_ids()->set_low(2);
  _table->UpdateDesiredState(test::Decoded(CONFIGCACHE, nullptr, &before), 0);
  _table->UpdateDesiredState(test::Decoded(CONFIGCACHE, &before, &after), 0);
  std::string value;
  ASSERT_TRUE(_table->QueryDesiredProperty(before.id().SerializeAsString(), 0, &value));
  tv::NsgMembershipStatusMsg cached;
  ASSERT_TRUE(cached.ParseFromString(value));
  EXPECT_EQ(cached.group_ids_size(), 2);
  auto calls = _observer.Calls();
  ASSERT_EQ(calls.size(), 2u);
  ASSERT_EQ(calls[1].changes.size(), 1u);
  EXPECT_TRUE(calls[1].changes.front().hasOld);
  EXPECT_EQ(calls[1].changes.front().oldValue, qor::tolvar::DeterministicBytes(before));
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

// A batch handed over (as the dispatcher hands it) is consumed: every entry reaches the observer once, in order and
// whole (id, value, operation, contexts), the table holds every record, and a second table fed the same batch
// read in place tells its observer and holds exactly the same; then a delta handed over carries its old value.
TEST_F(ConfigTableTest, HandedOverBatchReachesObserversOnceInOrderAndStaysInTheTable) {
  test::RecordingObserver readInPlace;
  qor::RefPtr<StateCacheConfigTable> reference(new StateCacheConfigTable());
  ASSERT_TRUE(_table->RegisterDesiredStateObserver(tv::LOG_SWITCH_PORT_CONFIG, &_observer));
  ASSERT_TRUE(reference->RegisterDesiredStateObserver(tv::LOG_SWITCH_PORT_CONFIG, &readInPlace));
  const tv::LogSwitchPortConfigMsg a = Port(1, true), b = Port(2, false), c = Port(3, true);
  tv::LogSwitchConfigMsg ls;  // a type nobody observes: applied, not reported
  ls.mutable_id()->set_low(10);
  ls.set_vni(5000);
  std::list<TolvarUpdateMsg> batch = test::FullSync(CONFIGCACHE, {&a, &ls, &b, &c});
  for (TolvarUpdateMsg& entry : batch) {
    entry.spanContext = "span-" + std::to_string(entry.propertyType);
    entry.decoderContext = "decoder-" + entry.objectId;
  }
  const std::list<TolvarUpdateMsg> sent = batch;
  reference->UpdateDesiredState(sent, 1);
  _table->TakeDesiredState(std::move(batch), 1);
  EXPECT_TRUE(batch.empty());  // each entry freed once applied

  auto calls = _observer.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_TRUE(calls[0].fullSync);
  // The decoder also clears the properties a port lacks; clearing what is not there changes nothing.
  std::vector<std::string> expected;
  size_t sets = 0;
  for (const TolvarUpdateMsg& entry : sent) {
    if (entry.operation != TolvarUpdateMsg::OP_SET) continue;
    ++sets;
    if (entry.objectType != tv::LOG_SWITCH_PORT_CONFIG) continue;
    StateCacheChange change;
    change.entry = entry;
    expected.push_back(test::ChangeText(change) + " " + entry.spanContext + " " + entry.decoderContext);
  }
  std::vector<std::string> received;
  for (const StateCacheChange& change : calls[0].changes) {
    EXPECT_FALSE(change.hasOld);
    received.push_back(test::ChangeText(change) + " " + change.entry.spanContext + " " + change.entry.decoderContext);
  }
  EXPECT_EQ(received, expected);
  EXPECT_EQ(Texts(readInPlace.Calls().at(0).changes), Texts(calls[0].changes));

  std::vector<StateCacheRecord> held, referenceHeld;
  EXPECT_EQ(_table->CopyDesired(&held, 100), sets);
  reference->CopyDesired(&referenceHeld, 100);
  ASSERT_EQ(held.size(), referenceHeld.size());
  for (size_t i = 0; i < held.size(); ++i) {
    EXPECT_EQ(held[i].objectId, referenceHeld[i].objectId);
    EXPECT_EQ(held[i].propertyType, referenceHeld[i].propertyType);
    EXPECT_EQ(held[i].value, referenceHeld[i].value);
  }

  std::string before, value;
  ASSERT_TRUE(_table->QueryDesiredProperty(b.id().SerializeAsString(), Property::LSP_ADMIN_STATE_UP, &before));
  const tv::LogSwitchPortConfigMsg bUp = Port(2, true);
  std::list<TolvarUpdateMsg> delta = test::Decoded(CONFIGCACHE, &b, &bUp);
  auto admin = std::find_if(delta.begin(), delta.end(), [](const TolvarUpdateMsg& entry) {
    return entry.propertyType == Property::LSP_ADMIN_STATE_UP && entry.operation == TolvarUpdateMsg::OP_SET;
  });
  ASSERT_NE(admin, delta.end());
  const std::string after = admin->value;
  _table->TakeDesiredState(std::move(delta), 0);
  calls = _observer.Calls();
  ASSERT_EQ(calls.size(), 2u);
  ASSERT_EQ(calls[1].changes.size(), 1u);
  const StateCacheChange& update = calls[1].changes.front();
  EXPECT_EQ(update.entry.propertyType, Property::LSP_ADMIN_STATE_UP);
  EXPECT_TRUE(update.hasOld);
  EXPECT_EQ(update.oldValue, before);
  EXPECT_EQ(update.entry.value, after);
  ASSERT_TRUE(_table->QueryDesiredProperty(b.id().SerializeAsString(), Property::LSP_ADMIN_STATE_UP, &value));
  EXPECT_EQ(value, after);
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

// The records of one object share its id: whichever of them goes first, the others keep the id whole, and ids
// that only share a prefix stay apart.
TEST_F(ConfigTableTest, TheRecordsOfAnObjectKeepItsIdWhicheverGoesFirst) {
  ASSERT_TRUE(_table->RegisterDesiredStateObserver(tv::LOG_SWITCH_PORT_CONFIG, &_observer));
  const std::string port = Id(1);
  _table->UpdateDesiredState({Entry(tv::LOG_SWITCH_PORT_CONFIG, port, Property::LSP_ATTACHMENT, "attachment"),
                              Entry(tv::LOG_SWITCH_PORT_CONFIG, port, Property::LSP_ADMIN_STATE_UP, Admin(true))},
                             0);
  _table->UpdateDesiredState(
      {Entry(tv::LOG_SWITCH_PORT_CONFIG, port, Property::LSP_ATTACHMENT, "", TolvarUpdateMsg::OP_CLEAR)}, 0);
  _table->UpdateDesiredState({Entry(tv::LOG_SWITCH_PORT_CONFIG, port, Property::LSP_EXTRA_CONFIGS, "extra")}, 0);
  std::vector<StateCacheRecord> records;
  ASSERT_TRUE(_table->QueryDesiredObject(port, &records));
  ASSERT_EQ(records.size(), 2u);
  for (const StateCacheRecord& record : records) EXPECT_EQ(record.objectId, port);
  // A full sync without the port: its removals still carry the id.
  _table->UpdateDesiredState({}, 1);
  const StateCacheChangeList removed = _observer.Calls().back().changes;
  ASSERT_EQ(removed.size(), 3u);  // the object, then its two properties
  for (const StateCacheChange& change : removed) EXPECT_EQ(change.entry.objectId, port);

  _table->UpdateRuntimeState({Entry(tv::VIF_STATE, "vif-ab", 0, "ab"), Entry(tv::VIF_STATE, "vif-a", 0, "a"),
                              Entry(tv::HOPLIFT_STATUS, "vif-a", 0, "hl")},
                             false);
  std::vector<StateCacheRecord> states = _table->RuntimeRecords(tv::VIF_STATE);
  ASSERT_EQ(states.size(), 2u);
  EXPECT_EQ(states[0].objectId, "vif-a");
  EXPECT_EQ(states[0].value, "a");
  EXPECT_EQ(states[1].objectId, "vif-ab");
  EXPECT_EQ(states[1].value, "ab");
  _table->UpdateRuntimeState({Entry(tv::VIF_STATE, "vif-a", 0, "", TolvarUpdateMsg::OP_CLEAR)}, false);
  std::string hoplift;
  ASSERT_TRUE(_table->QueryRuntimeState("vif-a", 0, &hoplift));
  EXPECT_EQ(hoplift, "hl");
}

// Ids are bytes: the empty id (a zero UUID serializes to nothing), ids holding NUL bytes and ids that are prefixes of
// one another are separate objects, kept whole and in byte order, and each object's records go with it alone.
TEST_F(ConfigTableTest, EmptyIdsAndIdsWithNulBytesAreObjectsOfTheirOwn) {
  ASSERT_TRUE(_table->RegisterDesiredStateObserver(tv::LOG_SWITCH_PORT_CONFIG, &_observer));
  const std::vector<std::string> ids = {"",
                                        std::string("\0", 1),
                                        std::string("\0\0", 2),
                                        "a",
                                        std::string("a\0", 2),
                                        std::string("a\0b", 3),
                                        std::string(70000, 'x')};
  std::list<TolvarUpdateMsg> entries;
  for (const std::string& id : ids) {
    entries.push_back(Entry(tv::LOG_SWITCH_PORT_CONFIG, id, Property::LSP_ATTACHMENT, "attachment of " + id));
    entries.push_back(Entry(tv::LOG_SWITCH_PORT_CONFIG, id, Property::LSP_ADMIN_STATE_UP, Admin(true)));
  }
  _table->UpdateDesiredState(entries, 1);
  std::vector<StateCacheRecord> records;
  ASSERT_EQ(_table->CopyDesired(&records, SIZE_MAX, 0), 2 * ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    EXPECT_EQ(records[2 * i].objectId, ids[i]) << i;
    EXPECT_EQ(records[2 * i + 1].objectId, ids[i]) << i;
    std::string value;
    ASSERT_TRUE(_table->QueryDesiredProperty(ids[i], Property::LSP_ATTACHMENT, &value)) << i;
    EXPECT_EQ(value, "attachment of " + ids[i]);
  }
  // The empty id's object and a NUL id's attachment go; nothing of their neighbours goes with them.
  _table->UpdateDesiredState(
      {Entry(tv::LOG_SWITCH_PORT_CONFIG, "", 0, "", TolvarUpdateMsg::OP_CLEAR),
       Entry(tv::LOG_SWITCH_PORT_CONFIG, ids[1], Property::LSP_ATTACHMENT, "", TolvarUpdateMsg::OP_CLEAR)},
      0);
  EXPECT_FALSE(_table->QueryDesiredObject("", nullptr));
  std::vector<StateCacheRecord> left;
  ASSERT_TRUE(_table->QueryDesiredObject(ids[1], &left));
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].propertyType, static_cast<uint32_t>(Property::LSP_ADMIN_STATE_UP));
  EXPECT_EQ(_table->DesiredCount(), 2 * ids.size() - 3);
  // A full sync of the long id alone: every other object goes whole, its removals naming it by its exact bytes.
  _table->UpdateDesiredState({entries.back(), *std::prev(entries.end(), 2)}, 1);
  EXPECT_EQ(_table->DesiredCount(), 2u);
  const StateCacheChangeList changes = _observer.Calls().back().changes;
  std::set<std::string> removed;
  for (const StateCacheChange& change : changes) {
    EXPECT_TRUE(change.IsRemoval());
    removed.insert(change.entry.objectId);
  }
  EXPECT_EQ(removed, std::set<std::string>(ids.begin() + 1, ids.end() - 1));
}

// The (type, property) pairs the order-of-addition tests set and clear: two properties of ports, one of switches.
struct OrderKind {
  uint32_t type;
  uint32_t property;
};
const OrderKind kOrderKinds[] = {{tv::LOG_SWITCH_PORT_CONFIG, Property::LSP_ATTACHMENT},
                                 {tv::LOG_SWITCH_PORT_CONFIG, Property::LSP_ADMIN_STATE_UP},
                                 {tv::LOG_SWITCH_CONFIG, Property::LS_TRANSPORT_ZONE_ID}};

// Random sets and clears of a few properties of ports and switches, each round checked against a plain model: the
// (type, property) query lists a type's records in the order they were added (an update keeps its place, a record
// cleared and set again goes last), and every exact look-up finds the model's value or nothing.
TEST_F(ConfigTableTest, TypePropertyQueriesKeepTheOrderOfAdditionAndExactLookUpsFollowEveryStep) {
  const auto& kinds = kOrderKinds;
  // Per kind, (id, value) in the order of addition.
  std::vector<std::vector<std::pair<std::string, std::string>>> model(std::size(kinds));
  auto settings = qor::test::DifferentialSettings::FromEnvironment(400);
  qor::test::RunDifferential(settings, [&](std::mt19937_64& rng, size_t round) -> std::string {
    const size_t kind = rng() % std::size(kinds);
    auto& records = model[kind];
    const std::string id = Id(rng() % 12);  // a port and a switch may share an id: they are separate records
    const bool clear = rng() % 4 == 0;
    const std::string value = "v" + std::to_string(round);
    auto at = std::find_if(records.begin(), records.end(), [&](const auto& r) { return r.first == id; });
    if (clear) {
      _table->UpdateDesiredState(
          {Entry(kinds[kind].type, id, kinds[kind].property, std::string(), TolvarUpdateMsg::OP_CLEAR)}, 0);
      if (at != records.end()) records.erase(at);
    } else {
      _table->UpdateDesiredState({Entry(kinds[kind].type, id, kinds[kind].property, value)}, 0);
      if (at != records.end()) {
        at->second = value;
      } else {
        records.emplace_back(id, value);
      }
    }
    for (size_t k = 0; k < std::size(kinds); ++k) {
      std::vector<StateCacheRecord> found;
      bool any = _table->QueryDesiredProperty(kinds[k].type, kinds[k].property, &found);
      if (any != !model[k].empty()) return "kind " + std::to_string(k) + ": query found " + (any ? "some" : "none");
      if (!any) found.clear();
      if (found.size() != model[k].size()) return "kind " + std::to_string(k) + ": wrong count";
      for (size_t i = 0; i < found.size(); ++i) {
        if (found[i].objectId != model[k][i].first || found[i].value != model[k][i].second ||
            found[i].objectType != kinds[k].type || found[i].propertyType != kinds[k].property) {
          return "kind " + std::to_string(k) + ": record " + std::to_string(i) + " is " + found[i].value + " of type " +
                 std::to_string(found[i].objectType) + " property " + std::to_string(found[i].propertyType) +
                 ", wanted " + model[k][i].second;
        }
      }
    }
    for (uint64_t low = 0; low < 12; ++low) {
      for (size_t k = 0; k < std::size(kinds); ++k) {
        auto it = std::find_if(model[k].begin(), model[k].end(), [&](const auto& r) { return r.first == Id(low); });
        std::vector<StateCacheRecord> object;
        std::string value;
        bool found = false;
        if (_table->QueryDesiredObject(Id(low), &object)) {
          for (const StateCacheRecord& record : object) {
            if (record.objectType == kinds[k].type && record.propertyType == kinds[k].property) {
              found = true;
              value = record.value;
            }
          }
        }
        if (found != (it != model[k].end()) || (found && value != it->second)) {
          return "object " + std::to_string(low) + " kind " + std::to_string(k) + ": look-up differs";
        }
      }
    }
    return std::string();
  });
}

// The store counts its additions in 32 bits: started just below the wrap, random sets and clears of a type's two
// properties (ports and switches sharing ids) cross it several times over; after every step the (type, property)
// queries list the records in the order they were added, a cut copy of the type keeps the records added first
// (listed by object and property), and the runtime store's records of a type come back whole and ordered.
TEST_F(ConfigTableTest, TheOrderOfAdditionSurvivesTheAdditionCountWrapping) {
  _table->StartAdditionsAt(UINT32_MAX - 5);
  const auto& kinds = kOrderKinds;
  // (kind, id, value) in the order of addition, across kinds; the runtime model by id.
  std::vector<std::tuple<size_t, std::string, std::string>> model;
  std::map<std::string, std::string> runtime;
  auto settings = qor::test::DifferentialSettings::FromEnvironment(300);
  qor::test::RunDifferential(settings, [&](std::mt19937_64& rng, size_t round) -> std::string {
    const size_t kind = rng() % std::size(kinds);
    const std::string id = Id(rng() % 8);
    // Values of every length around the inline limit, NUL bytes included.
    std::string value(rng() % 20, '\0');
    for (char& c : value) c = static_cast<char>(rng() % 3);
    value += std::to_string(round);
    auto at = std::find_if(model.begin(), model.end(),
                           [&](const auto& r) { return std::get<0>(r) == kind && std::get<1>(r) == id; });
    if (rng() % 3 == 0) {
      _table->UpdateDesiredState(
          {Entry(kinds[kind].type, id, kinds[kind].property, std::string(), TolvarUpdateMsg::OP_CLEAR)}, 0);
      if (at != model.end()) model.erase(at);
    } else {
      _table->UpdateDesiredState({Entry(kinds[kind].type, id, kinds[kind].property, value)}, 0);
      if (at != model.end()) {
        std::get<2>(*at) = value;
      } else {
        model.emplace_back(kind, id, value);
      }
    }
    if (rng() % 2 == 0) {
      runtime.emplace(id, value);  // a runtime object put again keeps the value it has
      _table->UpdateRuntimeState({Entry(tv::VIF_STATE, id, 0, value)}, false);
    } else {
      runtime.erase(id);
      _table->UpdateRuntimeState({Entry(tv::VIF_STATE, id, 0, std::string(), TolvarUpdateMsg::OP_CLEAR)}, false);
    }
    for (size_t k = 0; k < std::size(kinds); ++k) {
      std::vector<StateCacheRecord> found;
      if (!_table->QueryDesiredProperty(kinds[k].type, kinds[k].property, &found)) found.clear();
      std::vector<std::pair<std::string, std::string>> wanted;
      for (const auto& [kk, i, v] : model) {
        if (kk == k) wanted.emplace_back(i, v);
      }
      if (found.size() != wanted.size()) return "kind " + std::to_string(k) + ": wrong count";
      for (size_t i = 0; i < found.size(); ++i) {
        if (found[i].objectId != wanted[i].first || found[i].value != wanted[i].second) {
          return "kind " + std::to_string(k) + ": record " + std::to_string(i) + " out of order or wrong";
        }
      }
    }
    // The ports' cut: the first three ports' records added, listed by (object, property).
    std::vector<std::tuple<std::string, uint32_t, std::string>> firstPorts;
    size_t ports = 0;
    for (const auto& [k, i, v] : model) {
      if (kinds[k].type != tv::LOG_SWITCH_PORT_CONFIG) continue;
      ++ports;
      if (firstPorts.size() < 3) firstPorts.emplace_back(i, kinds[k].property, v);
    }
    std::sort(firstPorts.begin(), firstPorts.end());
    std::vector<StateCacheRecord> cut;
    if (_table->CopyDesired(&cut, 3, tv::LOG_SWITCH_PORT_CONFIG) != ports) return "cut: wrong total";
    if (cut.size() != firstPorts.size()) return "cut: wrong size";
    for (size_t i = 0; i < cut.size(); ++i) {
      if (std::tie(cut[i].objectId, cut[i].propertyType, cut[i].value) != firstPorts[i]) return "cut: wrong records";
    }
    std::vector<StateCacheRecord> states = _table->RuntimeRecords(tv::VIF_STATE);
    if (states.size() != runtime.size()) return "runtime: wrong count";
    auto state = states.begin();
    for (const auto& [i, v] : runtime) {
      if (state->objectId != i || state->value != v) return "runtime: wrong record";
      ++state;
    }
    return std::string();
  });
}

// Batches of entries, sorted by id (as a full sync's come) or shuffled, with sets, property clears and object
// clears mixed in and full syncs among the deltas, each checked against a plain model: every record's value, the
// store's (object, property) order, and the order of addition of each (type, property). A batch in key order takes
// the table's short way to each record's place; the model does not care which way was taken.
TEST_F(ConfigTableTest, SortedAndShuffledBatchesLeaveTheRecordsAPlainModelHolds) {
  const uint32_t types[] = {tv::LOG_SWITCH_PORT_CONFIG, tv::LOG_SWITCH_CONFIG};
  const uint32_t properties[] = {Property::LSP_ATTACHMENT, Property::LSP_ADMIN_STATE_UP, Property::LSP_EXTRA_CONFIGS};
  using Key = std::tuple<std::string, uint32_t, uint32_t>;  // id, property, type: the store's own order
  std::map<Key, std::string> model;
  std::vector<Key> added;  // keys in the order of addition
  auto settings = qor::test::DifferentialSettings::FromEnvironment(300);
  qor::test::RunDifferential(settings, [&](std::mt19937_64& rng, size_t round) -> std::string {
    const bool fullSync = rng() % 6 == 0;
    std::vector<TolvarUpdateMsg> batch;
    std::set<Key> written;
    const size_t size = 1 + rng() % 30;
    for (size_t i = 0; i < size; ++i) {
      const uint32_t type = types[rng() % 2];
      const std::string id = Id(rng() % 40);
      const uint32_t property = properties[rng() % 3];
      const int kind = fullSync ? 0 : static_cast<int>(rng() % 8);
      if (kind == 6) {
        batch.push_back(Entry(type, id, property, std::string(), TolvarUpdateMsg::OP_CLEAR));
      } else if (kind == 7) {
        batch.push_back(Entry(type, id, 0, std::string(), TolvarUpdateMsg::OP_CLEAR));
      } else {
        if (fullSync && !written.insert({id, property, type}).second) continue;  // one write per record
        batch.push_back(Entry(type, id, property, "r" + std::to_string(round) + "." + std::to_string(i)));
      }
    }
    if (fullSync || rng() % 2 == 0) {
      std::stable_sort(batch.begin(), batch.end(), [](const TolvarUpdateMsg& a, const TolvarUpdateMsg& b) {
        return std::tie(a.objectId, a.propertyType, a.objectType) < std::tie(b.objectId, b.propertyType, b.objectType);
      });
    }
    for (const TolvarUpdateMsg& entry : batch) {
      Key key{entry.objectId, static_cast<uint32_t>(entry.propertyType), static_cast<uint32_t>(entry.objectType)};
      auto drop = [&](auto keep) {
        std::erase_if(model, [&](const auto& item) { return !keep(item.first); });
        std::erase_if(added, [&](const Key& k) { return !model.count(k); });
      };
      if (entry.operation == TolvarUpdateMsg::OP_CLEAR && entry.propertyType == 0) {
        drop([&](const Key& k) { return std::get<0>(k) != entry.objectId || std::get<2>(k) != std::get<2>(key); });
      } else if (entry.operation == TolvarUpdateMsg::OP_CLEAR) {
        drop([&](const Key& k) { return k != key; });
      } else {
        if (!model.count(key)) added.push_back(key);
        model[key] = entry.value;
      }
    }
    if (fullSync) {
      std::erase_if(model, [&](const auto& item) { return !written.count(item.first); });
      std::erase_if(added, [&](const Key& k) { return !model.count(k); });
    }
    _table->UpdateDesiredState(std::list<TolvarUpdateMsg>(batch.begin(), batch.end()), fullSync ? 1 : 0);

    std::vector<StateCacheRecord> records;
    if (_table->CopyDesired(&records, SIZE_MAX, 0) != model.size() || records.size() != model.size()) {
      return "holds " + std::to_string(records.size()) + " records, the model " + std::to_string(model.size());
    }
    auto wanted = model.begin();
    for (const StateCacheRecord& record : records) {
      if (Key{record.objectId, record.propertyType, record.objectType} != wanted->first ||
          record.value != wanted->second) {
        return "record of property " + std::to_string(record.propertyType) + " differs from the model";
      }
      ++wanted;
    }
    for (uint32_t type : types) {
      for (uint32_t property : properties) {
        std::vector<StateCacheRecord> found;
        if (!_table->QueryDesiredProperty(type, property, &found)) found.clear();
        std::vector<std::string> ids;
        for (const Key& k : added) {
          if (std::get<1>(k) == property && std::get<2>(k) == type) ids.push_back(std::get<0>(k));
        }
        if (found.size() != ids.size()) return "(type, property) query: wrong count";
        for (size_t i = 0; i < ids.size(); ++i) {
          if (found[i].objectId != ids[i]) return "(type, property) query: not in the order of addition";
        }
      }
    }
    return std::string();
  });
}

// A record's value is kept inline up to seven bytes and in a block of its own beyond: every length across the
// limit, NUL and 0xff bytes, copies, moves, and assignments of a value's own bytes keep the value whole.
TEST(CompactValueTest, ValuesOfEveryLengthAroundTheInlineLimitStayWhole) {
  for (size_t length = 0; length <= 40; ++length) {
    std::string bytes;
    for (size_t i = 0; i < length; ++i) bytes += static_cast<char>(i % 3 == 0 ? 0 : i % 3 == 1 ? 0xff : 'a' + i);
    CompactValue value(bytes);
    EXPECT_EQ(value.View(), bytes) << length;
    EXPECT_EQ(value.Bytes(), length <= 7 ? 0u : 4 + length) << length;
    EXPECT_EQ(value.empty(), length == 0);
    CompactValue copy(value);
    CompactValue moved(std::move(copy));
    EXPECT_EQ(std::string(moved), bytes) << length;
    EXPECT_TRUE(copy.empty());
    moved.Assign(moved.View().substr(length / 2));  // from its own bytes
    EXPECT_EQ(moved.View(), std::string_view(bytes).substr(length / 2)) << length;
    moved = value;
    EXPECT_TRUE(moved == bytes);
    CompactValue& self = moved;
    moved = self;
    EXPECT_EQ(moved.View(), bytes) << length;
    moved = CompactValue(std::string(length + 9, 'z'));
    EXPECT_EQ(moved.View(), std::string(length + 9, 'z'));
  }
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

// An observer that reads only some changes of its type (one port of three) is told of every update that changes
// its type, with a list of just those changes; an observer of the same type that reads everything still gets every
// change, whole and in order; the table holds them all. The selection runs without the table's store lock: a
// query from another thread meanwhile returns.
TEST_F(ConfigTableTest, ASelectingObserverGetsOnlyWhatItReadsAndIsToldOfEachUpdate) {
  class OnePort : public test::RecordingObserver {
   public:
    OnePort(qor::RefPtr<StateCacheConfigTable> table, std::string id) : _table(std::move(table)), _id(std::move(id)) {}
    bool ReadsDesiredChange(const StateCacheChange& change) override {
      qor::RefPtr<StateCacheConfigTable> table = _table;
      _queriesReturned = _queriesReturned && qor::test::ReturnsWithin([table] { table->DesiredCount(); });
      return change.entry.objectId == _id;
    }
    bool QueriesReturned() const { return _queriesReturned; }

   private:
    qor::RefPtr<StateCacheConfigTable> _table;
    std::string _id;
    bool _queriesReturned = true;
  };
  const tv::LogSwitchPortConfigMsg a = Port(1, true), b = Port(2, false), c = Port(3, true);
  OnePort selecting(_table, b.id().SerializeAsString());
  ASSERT_TRUE(_table->RegisterDesiredStateObserver(tv::LOG_SWITCH_PORT_CONFIG, &_observer));
  ASSERT_TRUE(_table->RegisterDesiredStateObserver(tv::LOG_SWITCH_PORT_CONFIG, &selecting));
  std::list<TolvarUpdateMsg> sync = test::FullSync(CONFIGCACHE, {&a, &b, &c});
  _table->TakeDesiredState(std::move(sync), 1);
  const tv::LogSwitchPortConfigMsg aDown = Port(1, false);
  _table->UpdateDesiredState(test::Decoded(CONFIGCACHE, &a, &aDown), 0);
  const tv::LogSwitchPortConfigMsg bUp = Port(2, true);
  _table->UpdateDesiredState(test::Decoded(CONFIGCACHE, &b, &bUp), 0);

  auto all = _observer.Calls();
  auto selected = selecting.Calls();
  ASSERT_EQ(all.size(), 3u);
  ASSERT_EQ(selected.size(), 3u);
  EXPECT_TRUE(selected[0].fullSync);
  EXPECT_TRUE(selected[1].changes.empty());  // told of the update all the same
  ASSERT_EQ(all[1].changes.size(), 1u);
  ASSERT_EQ(all[2].changes.size(), 1u);
  EXPECT_TRUE(all[2].changes.front().hasOld);
  std::vector<std::string> expected;
  for (size_t call : {0, 2}) {
    expected.clear();
    for (const StateCacheChange& change : all[call].changes) {
      if (change.entry.objectId == b.id().SerializeAsString()) expected.push_back(test::ChangeText(change));
    }
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(Texts(selected[call].changes), expected);
  }
  EXPECT_EQ(all[0].changes.size(), _table->DesiredCount());
  EXPECT_TRUE(selecting.QueriesReturned());
}

// Observers sharing a type each get every change of it, whole, in order; the input list is consumed (its nodes
// move to the last observer of each change rather than being copied).
TEST(SplitByObserverTest, SharedTypesGetWholeCopiesInOrderAndTheInputIsConsumed) {
  struct Observer {};
  Observer a, b, c;
  std::multimap<uint32_t, Observer*> registry{{1, &a}, {1, &b}, {2, &c}, {3, &c}};
  StateCacheChangeList changes;
  auto add = [&changes](int32_t type, const std::string& id, const std::string& value, const std::string& old) {
    StateCacheChange change;
    change.entry.objectType = type;
    change.entry.objectId = id;
    change.entry.value = value;
    change.entry.operation = TolvarUpdateMsg::OP_SET;
    change.oldValue = old;
    change.hasOld = !old.empty();
    changes.push_back(std::move(change));
  };
  add(1, "p1", std::string(64, 'x'), "");
  add(2, "s1", "v2", "o2");
  add(1, "p2", "v3", std::string(64, 'o'));
  add(4, "nobody", "v4", "");
  add(3, "t1", "v5", "");

  auto lists = SplitByObserver(registry, std::move(changes), false);
  auto ids = [](const StateCacheChangeList& list) {
    std::vector<std::string> out;
    for (const StateCacheChange& change : list) out.push_back(change.entry.objectId + "=" + change.entry.value);
    return out;
  };
  ASSERT_EQ(lists.size(), 3u);
  EXPECT_EQ(lists[0].first, &a);
  EXPECT_EQ(lists[1].first, &b);
  EXPECT_EQ(lists[2].first, &c);
  std::vector<std::string> shared{"p1=" + std::string(64, 'x'), "p2=v3"};
  EXPECT_EQ(ids(lists[0].second), shared);
  EXPECT_EQ(ids(lists[1].second), shared);
  EXPECT_EQ(ids(lists[2].second), (std::vector<std::string>{"s1=v2", "t1=v5"}));
  for (int i = 0; i < 2; ++i) {
    const StateCacheChange& second = *std::next(lists[i].second.begin());
    EXPECT_TRUE(second.hasOld);
    EXPECT_EQ(second.oldValue, std::string(64, 'o'));
  }
  // Only the change nobody observes is left behind.
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes.front().entry.objectId, "nobody");

  // An observer that reads a change only where it shares the type: the node goes to the last observer that reads
  // it, the others copy it, and an observer of the type that reads none of it still gets its (empty) list.
  StateCacheChangeList toSplit;
  add(1, "p3", "v6", "");
  add(1, "p4", "v7", "");
  toSplit.splice(toSplit.end(), changes, std::next(changes.begin()), changes.end());
  const StateCacheChange* p3 = &toSplit.front();
  auto selected = SplitByObserver(
      registry, std::move(toSplit), false,
      [&](Observer* observer, const StateCacheChange& c) { return observer == &a || c.entry.objectId == "p3"; });
  ASSERT_EQ(selected.size(), 2u);
  EXPECT_EQ(ids(selected[0].second), (std::vector<std::string>{"p3=v6", "p4=v7"}));
  EXPECT_EQ(ids(selected[1].second), (std::vector<std::string>{"p3=v6"}));
  EXPECT_EQ(&selected[1].second.front(), p3);
  EXPECT_TRUE(toSplit.empty());
  auto unread = SplitByObserver(registry, std::move(selected[1].second), false,
                                [&c](Observer* observer, const StateCacheChange&) { return observer == &c; });
  ASSERT_EQ(unread.size(), 2u);
  EXPECT_TRUE(unread[0].second.empty());
  EXPECT_TRUE(unread[1].second.empty());

  // Lists split from changes taken from a resource of their own take their nodes from it too; a copy does not.
  std::pmr::monotonic_buffer_resource arena;
  StateCacheChangeList fromArena(&arena);
  add(1, "p5", "v8", "");
  fromArena.push_back(std::move(changes.back()));
  changes.pop_back();
  auto arenaLists = SplitByObserver(registry, std::move(fromArena), false);
  ASSERT_EQ(arenaLists.size(), 2u);
  for (const auto& [observer, list] : arenaLists) {
    EXPECT_EQ(list.get_allocator().resource(), &arena);
    EXPECT_EQ(ids(list), (std::vector<std::string>{"p5=v8"}));
  }
  StateCacheChangeList kept = arenaLists[0].second;
  EXPECT_EQ(kept.get_allocator().resource(), std::pmr::get_default_resource());

  // A full sync gives every registered observer a list, even with nothing in it.
  StateCacheChangeList none;
  auto all = SplitByObserver(registry, std::move(none), true);
  ASSERT_EQ(all.size(), 3u);
  for (const auto& [observer, list] : all) EXPECT_TRUE(list.empty());
}

}  // namespace
}  // namespace VevUroro
