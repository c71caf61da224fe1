// The L2 table: element look-ups by (object, property, value key) across object types, the VTEP notification
// filters, the full-sync sweep order and the dumps.
#include <gtest/gtest.h>

#include "cache/StateCacheL2Table.h"
#include "intake/Decoder.h"
#include "support/LogCapture.h"
#include "tests/cache/CacheTestUtil.h"
#include "zantix/qor/tolvar/l2.pb.h"
#include "zantix/qor/tolvar/objecttype.pb.h"
#include "zantix/qor/tolvar/ops.pb.h"

namespace VevUroro {
namespace {

namespace tv = zantix::qor::tolvar;
using test::Entry;
using test::Id;
using tv::Property;

std::string Vtep(uint32_t label, uint32_t ipv4) {
  tv::VtepMsg vtep;
  vtep.set_label(label);
  vtep.mutable_ip()->set_ipv4(ipv4);
  return vtep.SerializeAsString();
}

std::string Mac(uint64_t mac) {
  tv::VmMacMsg element;
  element.mutable_mac()->set_mac(mac);
  return element.SerializeAsString();
}

constexpr int32_t kInsert = TolvarUpdateMsg::OP_INSERT;
constexpr int32_t kRemove = TolvarUpdateMsg::OP_REMOVE;

class L2TableTest : public ::testing::Test {
 protected:
  qor::RefPtr<StateCacheL2Table> _table{new StateCacheL2Table()};
  test::RecordingObserver _observer;
};

TEST_F(L2TableTest, ElementLookUpFindsTheElementOfAnyObjectType) {
  // The same id under two object types: each element is found under its own type, none under the other's key.
  _table->UpdateDesiredState({Entry(tv::LOG_SWITCH_FIB, Id(1), 0, ""),
                              Entry(tv::LOG_SWITCH_FIB, Id(1), Property::L2_VM_MAC, Mac(0xa1), kInsert),
                              Entry(tv::ROUTING_DOMAIN_FIB, Id(1), 0, ""),
                              Entry(tv::ROUTING_DOMAIN_FIB, Id(1), Property::L2_VTEP, Vtep(7, 0x0a000001), kInsert),
                              Entry(tv::ROUTING_DOMAIN_FIB, Id(2), 0, ""),
                              Entry(tv::ROUTING_DOMAIN_FIB, Id(2), Property::L2_VTEP, Vtep(8, 0x0a000002), kInsert)},
                             0);
  std::string value;
  ASSERT_TRUE(_table->QueryDesiredProperty(Id(1), Property::L2_VTEP, L2ValueKey{7, 0}, &value));
  EXPECT_EQ(value, Vtep(7, 0x0a000001));
  ASSERT_TRUE(_table->QueryDesiredProperty(Id(1), Property::L2_VM_MAC, L2ValueKey{0xa1, 0}, &value));
  EXPECT_EQ(value, Mac(0xa1));
  qor::test::LogCapture log;
  EXPECT_FALSE(_table->QueryDesiredProperty(Id(1), Property::L2_VTEP, L2ValueKey{8, 0}, nullptr));
  EXPECT_EQ(log.Count("L2Cache: property does not exist: objectID : "), 1u);
  EXPECT_EQ(log.Count(" , type: L2_VTEP, valueKey: 8"), 1u);
  EXPECT_FALSE(_table->QueryDesiredProperty(Id(1), Property::L2_VTEP, L2ValueKey{0x0a000009, 4}, nullptr));
  EXPECT_EQ(log.Count(" , type: L2_VTEP, valueKey128.part1 : 167772169, valueKey128.part2 : 4"), 1u);
  EXPECT_FALSE(_table->QueryRuntimeProperty(Id(1), Property::L2_VTEP, L2ValueKey{7, 0}, nullptr));
  EXPECT_EQ(log.Count("L2Cache: runtime property does not exist: objectID : "), 1u);

  _table->UpdateRuntimeState({Entry(tv::LOG_SWITCH_STATE, Id(1), 0, ""),
                              Entry(tv::LOG_SWITCH_STATE, Id(1), Property::L2_VTEP, Vtep(7, 1), kInsert)},
                             false);
  EXPECT_TRUE(_table->QueryRuntimeProperty(Id(1), Property::L2_VTEP, L2ValueKey{7, 0}, nullptr));
}

TEST_F(L2TableTest, DesiredVtepsOfThisHostAreStoredButNotNotified) {
  ASSERT_TRUE(_table->RegisterDesiredStateObserver(tv::LOG_SWITCH_FIB, &_observer));
  _table->SetLocalVtepLabels({7});
  qor::test::LogCapture log;
  _table->UpdateDesiredState({Entry(tv::LOG_SWITCH_FIB, Id(1), 0, ""),
                              Entry(tv::LOG_SWITCH_FIB, Id(1), Property::L2_VTEP, Vtep(7, 1), kInsert),
                              Entry(tv::LOG_SWITCH_FIB, Id(1), Property::L2_VTEP, Vtep(9, 2), kInsert)},
                             0);
  EXPECT_EQ(log.Count("L2Cache: Filter desired VTEP 7 with filtered message ip { ipv4: 1 } label: 7"), 1u);
  auto calls = _observer.Calls();
  ASSERT_EQ(calls.size(), 1u);
  ASSERT_EQ(calls[0].changes.size(), 2u);  // the object and the remote VTEP
  EXPECT_EQ(calls[0].changes.back().entry.value, Vtep(9, 2));
  EXPECT_TRUE(_table->QueryDesiredProperty(Id(1), Property::L2_VTEP, L2ValueKey{7, 0}, nullptr));

  // Only the local VTEP changes: nobody is called.
  _table->UpdateDesiredState({Entry(tv::LOG_SWITCH_FIB, Id(1), Property::L2_VTEP, Vtep(7, 1), kRemove)}, 0);
  EXPECT_EQ(_observer.Calls().size(), 1u);

  // Without local labels nothing is filtered.
  _table->SetLocalVtepLabels({});
  _table->UpdateDesiredState({Entry(tv::LOG_SWITCH_FIB, Id(1), Property::L2_VTEP, Vtep(7, 1), kInsert)}, 0);
  EXPECT_EQ(_observer.Calls().size(), 2u);
}

TEST_F(L2TableTest, RuntimeVtepsWithAForeignLabelAreNotNotified) {
  ASSERT_TRUE(_table->RegisterRuntimeStateObserver(tv::LOG_SWITCH_STATE, &_observer));
  _table->SetLocalVtepLabels({7, 8});
  qor::test::LogCapture log;
  _table->UpdateRuntimeState({Entry(tv::LOG_SWITCH_STATE, Id(1), 0, ""),
                              Entry(tv::LOG_SWITCH_STATE, Id(1), Property::L2_VTEP, Vtep(8, 1), kInsert),
                              Entry(tv::LOG_SWITCH_STATE, Id(1), Property::L2_VTEP, Vtep(3, 2), kInsert),
                              Entry(tv::LOG_SWITCH_STATE, Id(1), Property::L2_VM_MAC, Mac(5), kInsert),
                              Entry(tv::LOG_SWITCH_STATE, Id(1), Property::L2_VTEP, Vtep(0, 9), kInsert)},
                             false);
  EXPECT_EQ(log.Count("L2Cache: FilterRuntime object 00000000-0000-1111-0000-000000000001 label 3 with filtered "
                      "message ip { ipv4: 2 } label: 3"),
            1u);
  auto calls = _observer.Calls();
  ASSERT_EQ(calls.size(), 1u);
  std::vector<int32_t> properties;
  for (const auto& change : calls[0].changes) properties.push_back(change.entry.propertyType);
  EXPECT_EQ(properties, (std::vector<int32_t>{0, Property::L2_VTEP, Property::L2_VM_MAC, Property::L2_VTEP}));
}

tv::LogSwitchFibMsg SwitchFib(uint64_t id, std::initializer_list<uint32_t> labels) {
  tv::LogSwitchFibMsg fib;
  fib.mutable_id()->set_low(id);
  fib.mutable_logical_switch_id()->set_low(100 + id);
  for (uint32_t label : labels) fib.add_vteps()->ParseFromString(Vtep(label, label));
  fib.add_vm_macs()->mutable_mac()->set_mac(id);
  return fib;
}

// A switch FIB that a delta deletes and one that a full sync omits reach the observers in one shape: the object,
// then each element; and the tables end the same.
TEST_F(L2TableTest, DeletedAndOmittedFibsGiveObserversTheSameRemovals) {
  const tv::LogSwitchFibMsg gone = SwitchFib(1, {7, 8}), kept = SwitchFib(2, {9});
  test::RecordingObserver bySync;
  qor::RefPtr<StateCacheL2Table> synced(new StateCacheL2Table());
  ASSERT_TRUE(_table->RegisterDesiredStateObserver(tv::LOG_SWITCH_FIB, &_observer));
  ASSERT_TRUE(synced->RegisterDesiredStateObserver(tv::LOG_SWITCH_FIB, &bySync));
  _table->UpdateDesiredState(test::FullSync(L2CACHE, {&gone, &kept}), 1);
  synced->UpdateDesiredState(test::FullSync(L2CACHE, {&gone, &kept}), 1);

  _table->UpdateDesiredState(test::Decoded(L2CACHE, &gone, nullptr), 0);
  synced->UpdateDesiredState(test::FullSync(L2CACHE, {&kept}), 1);

  StateCacheChangeList deleted = _observer.Calls().back().changes;
  std::vector<int32_t> properties;
  std::vector<std::string> texts;
  for (const auto& change : deleted) {
    EXPECT_TRUE(change.IsRemoval());
    EXPECT_EQ(change.entry.objectId, gone.id().SerializeAsString());
    properties.push_back(change.entry.propertyType);
    texts.push_back(test::ChangeText(change));
  }
  EXPECT_EQ(properties, (std::vector<int32_t>{0, Property::L2_VM_MAC, Property::L2_VTEP, Property::L2_VTEP}));
  std::vector<std::string> swept;
  const StateCacheChangeList synchronised = bySync.Calls().back().changes;
  for (const auto& change : synchronised) {
    if (change.IsRemoval()) swept.push_back(test::ChangeText(change));  // the kept FIB is reported, unchanged
  }
  EXPECT_EQ(swept, texts);
  EXPECT_EQ(_table->DesiredCount(), 3u);
  EXPECT_EQ(synced->DesiredCount(), 3u);
  EXPECT_EQ(synced->RemoteFullSyncVersion(), 2u);
}

TEST_F(L2TableTest, VtepGroupsArrivingPerPropertyAreCachedAndSurviveAFullSync) {
  ASSERT_TRUE(_table->RegisterDesiredStateObserver(tv::L2_VTEP_GROUP, &_observer));
  tv::VtepGroupMsg group;
  *group.add_vteps() = tv::VtepMsg();
  group.mutable_vteps(0)->set_label(5);
  const std::string value = group.SerializeAsString();
  _table->UpdateDesiredState({Entry(tv::L2_VTEP_GROUP, Id(4), Property::L2_VTEP_GROUP, value)}, 0);
  std::vector<StateCacheRecord> records;
  ASSERT_TRUE(_table->QueryDesired(tv::L2_VTEP_GROUP, &records));
  ASSERT_EQ(records.size(), 2u);  // the implicit object record and the group
  EXPECT_EQ(records[1].value, value);
  auto calls = _observer.Calls();
  ASSERT_EQ(calls.size(), 1u);
  ASSERT_EQ(calls[0].changes.size(), 2u);
  EXPECT_EQ(calls[0].changes.front().entry.propertyType, 0);

  // A full sync repeating the group keeps both records.
  _table->UpdateDesiredState({Entry(tv::L2_VTEP_GROUP, Id(4), Property::L2_VTEP_GROUP, value)}, 1);
  EXPECT_EQ(_table->DesiredCount(), 2u);
  // The object's clear removes it with its property.
  _table->UpdateDesiredState({Entry(tv::L2_VTEP_GROUP, Id(4), 0, "", TolvarUpdateMsg::OP_CLEAR)}, 0);
  EXPECT_EQ(_table->DesiredCount(), 0u);
  // Other types still need their object first.
  _table->UpdateDesiredState({Entry(tv::LOG_SWITCH_FIB, Id(1), Property::L2_VTEP, Vtep(7, 1), kInsert)}, 0);
  EXPECT_EQ(_table->DesiredCount(), 0u);
}

// Keyed by its group key, one group per object: a delta changing the key or emptying the group leaves the records
// a full sync of the same group leaves.
TEST_F(L2TableTest, VtepGroupIsKeyedByItsGroupKey) {
  auto rows = [](const StateCacheL2Table& table) {
    std::vector<StateCacheL2Table::Record> records;
    table.CopyDesired(&records, SIZE_MAX);
    std::vector<std::tuple<uint32_t, std::string, uint32_t, std::string>> out;
    for (const auto& [r, key] : records) out.emplace_back(r.objectType, r.objectId, r.propertyType, r.value);
    return out;
  };
  auto fullSync = [&](const tv::VtepGroupMsg& group) {
    qor::RefPtr<StateCacheL2Table> synced(new StateCacheL2Table());
    synced->UpdateDesiredState(test::FullSync(L2CACHE, {&group}), 1);
    return rows(*synced);
  };
  tv::VtepGroupMsg group;
  group.mutable_id()->ParseFromString(Id(4));
  group.set_group_key(77);
  group.add_vteps()->set_label(5);
  _table->UpdateDesiredState(test::Decoded(L2CACHE, nullptr, &group), 0);
  std::string value;
  ASSERT_TRUE(_table->QueryDesiredProperty(Id(4), Property::L2_VTEP_GROUP, L2ValueKey{77, 0}, &value));
  tv::VtepGroupMsg cached;
  ASSERT_TRUE(cached.ParseFromString(value));
  EXPECT_EQ(cached.group_key(), 77u);
  EXPECT_EQ(cached.vteps_size(), 1);

  // A new key replaces the group; the object keeps one group.
  tv::VtepGroupMsg rekeyed = group;
  rekeyed.set_group_key(78);
  _table->UpdateDesiredState(test::Decoded(L2CACHE, &group, &rekeyed), 0);
  EXPECT_FALSE(_table->QueryDesiredProperty(Id(4), Property::L2_VTEP_GROUP, L2ValueKey{77, 0}, nullptr));
  EXPECT_TRUE(_table->QueryDesiredProperty(Id(4), Property::L2_VTEP_GROUP, L2ValueKey{78, 0}, nullptr));
  EXPECT_EQ(_table->DesiredCount(), 2u);  // the object record and its group
  EXPECT_EQ(rows(*_table), fullSync(rekeyed));

  // A group emptied under another key clears the property, whatever key the clear carries; the object stays.
  tv::VtepGroupMsg emptied = rekeyed;
  emptied.set_group_key(79);
  emptied.clear_vteps();
  _table->UpdateDesiredState(test::Decoded(L2CACHE, &rekeyed, &emptied), 0);
  EXPECT_FALSE(_table->QueryDesiredProperty(Id(4), Property::L2_VTEP_GROUP, L2ValueKey{78, 0}, nullptr));
  EXPECT_EQ(_table->DesiredCount(), 1u);
  EXPECT_EQ(rows(*_table), fullSync(emptied));
  _table->UpdateDesiredState(test::Decoded(L2CACHE, &emptied, nullptr), 0);
  EXPECT_EQ(_table->DesiredCount(), 0u);
}

TEST_F(L2TableTest, DumpsListEveryRecord) {
  _table->UpdateDesiredState({Entry(tv::LOG_SWITCH_FIB, Id(1), 0, ""),
                              Entry(tv::LOG_SWITCH_FIB, Id(1), Property::L2_VTEP, Vtep(7, 1), kInsert)},
                             0);
  qor::test::LogCapture log(LOG_LEVEL_INFO);
  EXPECT_EQ(_table->DumpDesiredState(), 2u);
  EXPECT_EQ(_table->DumpRuntimeState(), 0u);
  EXPECT_EQ(log.Count("L2Cache: Dump L2 remote StateCache"), 1u);
  EXPECT_EQ(log.Count("L2Cache: Dump L2 local StateCache"), 1u);
  EXPECT_EQ(log.Count("PropertyType is L2_VTEP, ValueKey is 7:0, FullsyncVersion is 0, PropertyValue is ip { ipv4: 1 "
                      "} label: 7"),
            1u);
}

}  // namespace
}  // namespace VevUroro
