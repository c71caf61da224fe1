// The L3 table: scalar and list rules, full-sync rules and sweep, duplicate and missing-key detection in the
// typed queries, notification order, registration rules, the dump format and queries during updates.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <thread>
#include <tuple>

#include "cache/StateCacheL3Table.h"
#include "support/Differential.h"
#include "support/LogCapture.h"
#include "tests/cache/CacheTestUtil.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace VevUroro {
namespace {

namespace tv = zantix::qor::tolvar;
using test::Entry;
using test::Id;
using tv::Property;

tv::UuidMsg Uuid(uint64_t low) {
  tv::UuidMsg id;
  id.ParseFromString(Id(low));
  return id;
}

std::string Router(uint64_t low, uint32_t vdr, const std::string& name = "lr") {
  tv::LogRouterConfigMsg router;
  *router.mutable_id() = Uuid(low);
  if (vdr) router.set_vdr_id(vdr);
  router.set_name(name);
  return router.SerializeAsString();
}

std::string RouterPort(uint64_t low, uint64_t router) {
  tv::LogRouterPortConfigMsg port;
  *port.mutable_id() = Uuid(low);
  if (router) *port.mutable_router_id() = Uuid(router);
  return port.SerializeAsString();
}

std::string FibRouter(uint64_t router) {
  tv::FibMsg fib;
  *fib.mutable_router_id() = Uuid(router);
  return fib.SerializeAsString();
}

std::string FibPrefix(uint32_t address, uint32_t length) {
  tv::FibMsg fib;
  fib.mutable_ip_prefix()->mutable_address()->set_ipv4(address);
  fib.mutable_ip_prefix()->set_prefix_length(length);
  return fib.SerializeAsString();
}

std::string NextHop(uint32_t address) {
  tv::FibNextHopMsg hop;
  hop.mutable_ip()->set_ipv4(address);
  return hop.SerializeAsString();
}

std::string StaticRoute(uint64_t low, uint64_t router) {
  tv::MulticastStaticRouteMsg route;
  *route.mutable_id() = Uuid(low);
  *route.mutable_router_id() = Uuid(router);
  return route.SerializeAsString();
}

constexpr int32_t kSet = TolvarUpdateMsg::OP_SET;
constexpr int32_t kClear = TolvarUpdateMsg::OP_CLEAR;
constexpr int32_t kInsert = TolvarUpdateMsg::OP_INSERT;
constexpr int32_t kRemove = TolvarUpdateMsg::OP_REMOVE;

class L3TableTest : public ::testing::Test {
 protected:
  // A FIB with its router, prefix and two next hops.
  std::list<TolvarUpdateMsg> Fib(const std::string& id, int32_t scalarOp = kSet, int32_t listOp = kInsert) {
    return {Entry(tv::FIB, id, Property::L3_FIB_ROUTER_ID, FibRouter(7), scalarOp),
            Entry(tv::FIB, id, Property::L3_FIB_IP_PREFIX, FibPrefix(0x0a000000, 8), scalarOp),
            Entry(tv::FIB, id, Property::L3_FIB_NEXT_HOP, NextHop(1), listOp),
            Entry(tv::FIB, id, Property::L3_FIB_NEXT_HOP, NextHop(2), listOp)};
  }

  qor::RefPtr<StateCacheL3Table> _table{new StateCacheL3Table()};
  test::RecordingObserver _observer;
};

TEST_F(L3TableTest, ScalarSetAddsUpdatesAndIgnoresAnUnchangedValue) {
  ASSERT_TRUE(_table->RegisterDesiredStateObserver(tv::LOG_ROUTER_CONFIG, &_observer));
  _table->UpdateDesiredState({Entry(tv::LOG_ROUTER_CONFIG, Id(1), 0, Router(1, 5))}, 0);
  _table->UpdateDesiredState({Entry(tv::LOG_ROUTER_CONFIG, Id(1), 0, Router(1, 5))}, 0);
  auto calls = _observer.Calls();
  ASSERT_EQ(calls.size(), 1u);  // the unchanged set notified nobody
  ASSERT_EQ(calls[0].changes.size(), 1u);
  EXPECT_FALSE(calls[0].changes.front().hasOld);

  _table->UpdateDesiredState({Entry(tv::LOG_ROUTER_CONFIG, Id(1), 0, Router(1, 6))}, 0);
  calls = _observer.Calls();
  ASSERT_EQ(calls.size(), 2u);
  const StateCacheChange& update = calls[1].changes.front();
  EXPECT_TRUE(update.hasOld);
  EXPECT_EQ(update.oldValue, Router(1, 5));
  EXPECT_EQ(update.entry.value, Router(1, 6));
  tv::LogRouterConfigMsg router;
  ASSERT_TRUE(_table->QueryLogRouter(Id(1), &router));
  EXPECT_EQ(router.vdr_id(), 6u);
  EXPECT_EQ(_table->DesiredCount(), 1u);
}

TEST_F(L3TableTest, ClearOfAnUncachedRouterLogsAndChangesNothing) {
  ASSERT_TRUE(_table->RegisterDesiredStateObserver(tv::LOG_ROUTER_CONFIG, &_observer));
  _table->UpdateDesiredState({Entry(tv::LOG_ROUTER_CONFIG, Id(1), 0, Router(1, 5))}, 0);
  qor::test::LogCapture log;
  _table->UpdateDesiredState({Entry(tv::LOG_ROUTER_CONFIG, Id(2), 0, Router(2, 9), kClear)}, 0);
  EXPECT_EQ(log.Count("property INVALID_PROPERTY, delete non-existing entry"), 1u);
  EXPECT_EQ(_observer.Calls().size(), 1u);
  EXPECT_EQ(_table->DesiredCount(), 1u);
  EXPECT_TRUE(_table->QueryLogRouter(Id(1), nullptr));

  // A clear of the cached router removes it, the removal carrying the removed value.
  _table->UpdateDesiredState({Entry(tv::LOG_ROUTER_CONFIG, Id(1), 0, "", kClear)}, 0);
  auto calls = _observer.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_TRUE(calls[1].changes.front().IsRemoval());
  EXPECT_EQ(calls[1].changes.front().entry.value, Router(1, 5));
  EXPECT_FALSE(_table->QueryLogRouter(Id(1), nullptr));
}

TEST_F(L3TableTest, ListElementsAppendAndRemoveOnce) {
  ASSERT_TRUE(_table->RegisterDesiredStateObserver(tv::FIB, &_observer));
  qor::test::LogCapture log;
  _table->UpdateDesiredState(Fib(Id(3)), 0);
  _table->UpdateDesiredState({Entry(tv::FIB, Id(3), Property::L3_FIB_NEXT_HOP, NextHop(1), kInsert)}, 0);
  EXPECT_EQ(log.Count("value ip { ipv4: 1 }, append existing entry"), 1u);
  _table->UpdateDesiredState({Entry(tv::FIB, Id(3), Property::L3_FIB_NEXT_HOP, NextHop(9), kRemove)}, 0);
  EXPECT_EQ(log.Count("value ip { ipv4: 9 }, remove non-existing entry"), 1u);
  EXPECT_EQ(_observer.Calls().size(), 1u);

  _table->UpdateDesiredState({Entry(tv::FIB, Id(3), Property::L3_FIB_NEXT_HOP, NextHop(1), kRemove)}, 0);
  auto calls = _observer.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].changes.front().entry.operation, TolvarUpdateMsg::OP_REMOVE);
  tv::FibMsg fib;
  ASSERT_TRUE(_table->QueryFib(Id(3), &fib));
  EXPECT_EQ(fib.router_id().low(), 7u);
  EXPECT_EQ(fib.ip_prefix().prefix_length(), 8u);
  ASSERT_EQ(fib.next_hops_size(), 1);
  EXPECT_EQ(fib.next_hops(0).ip().ipv4(), 2u);
  EXPECT_EQ(fib.id().low(), 3u);
}

TEST_F(L3TableTest, FullSyncRejectsClearAndRemoveAndSweepsWhatItOmits) {
  ASSERT_TRUE(_table->RegisterDesiredStateObserver(tv::LOG_ROUTER_CONFIG, &_observer));
  ASSERT_TRUE(_table->RegisterDesiredStateObserver(tv::FIB, &_observer));
  std::list<TolvarUpdateMsg> first = Fib(Id(3));
  first.push_front(Entry(tv::LOG_ROUTER_CONFIG, Id(2), 0, Router(2, 2)));
  first.push_front(Entry(tv::LOG_ROUTER_CONFIG, Id(1), 0, Router(1, 1)));
  _table->UpdateDesiredState(first, 1);
  EXPECT_EQ(_table->DesiredCount(), 6u);
  EXPECT_EQ(_table->FullSyncVersion(), 1u);

  qor::test::LogCapture log;
  _table->UpdateDesiredState(
      {Entry(tv::LOG_ROUTER_CONFIG, Id(1), 0, Router(1, 1)), Entry(tv::LOG_ROUTER_CONFIG, Id(2), 0, "", kClear),
       Entry(tv::FIB, Id(3), Property::L3_FIB_NEXT_HOP, NextHop(1), kRemove)},
      1);
  EXPECT_EQ(log.Count({"property INVALID_PROPERTY, invalid op type 2 for full sync", "errorCode=\"LCP00922\""}), 1u);
  EXPECT_EQ(log.Count({"property L3_FIB_NEXT_HOP, invalid op type 4 for full sync", "errorCode=\"LCP00922\""}), 1u);

  // Only the repeated router remains; the sweep reports the object records first, then the FIB's records.
  EXPECT_EQ(_table->DesiredCount(), 1u);
  auto calls = _observer.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_TRUE(calls[1].fullSync);
  std::vector<std::pair<int32_t, int32_t>> seen;  // (object type, property)
  for (const StateCacheChange& change : calls[1].changes) {
    EXPECT_TRUE(change.IsRemoval());
    seen.emplace_back(change.entry.objectType, change.entry.propertyType);
  }
  std::vector<std::pair<int32_t, int32_t>> expected = {{tv::LOG_ROUTER_CONFIG, 0},
                                                       {tv::FIB, Property::L3_FIB_ROUTER_ID},
                                                       {tv::FIB, Property::L3_FIB_IP_PREFIX},
                                                       {tv::FIB, Property::L3_FIB_NEXT_HOP},
                                                       {tv::FIB, Property::L3_FIB_NEXT_HOP}};
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(calls[1].changes.back().entry.operation, TolvarUpdateMsg::OP_REMOVE);
  EXPECT_EQ(calls[1].changes.front().entry.operation, TolvarUpdateMsg::OP_CLEAR);
}

TEST_F(L3TableTest, FullSyncRepeatingEverythingNotifiesEmptyListsAndKeepsRecords) {
  ASSERT_TRUE(_table->RegisterDesiredStateObserver(tv::FIB, &_observer));
  _table->UpdateDesiredState(Fib(Id(3)), 0);
  _table->UpdateDesiredState(Fib(Id(3)), 1);
  EXPECT_EQ(_table->DesiredCount(), 4u);
  auto calls = _observer.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_TRUE(calls[1].fullSync);
  EXPECT_TRUE(calls[1].changes.empty());
}

TEST_F(L3TableTest, InvalidOperationAndForeignTypesAreRejected) {
  qor::test::LogCapture log;
  _table->UpdateDesiredState({Entry(tv::LOG_ROUTER_CONFIG, Id(1), 0, Router(1, 1), 9)}, 0);
  EXPECT_EQ(log.Count({"property INVALID_PROPERTY, invalid operation 9", "errorCode=\"LCP00922\""}), 1u);
  _table->UpdateDesiredState({Entry(tv::LOG_SWITCH_CONFIG, Id(1), 0, "")}, 0);
  EXPECT_EQ(log.Count("of type LOG_SWITCH_CONFIG is not an L3 type, ignored"), 1u);
  EXPECT_EQ(_table->DesiredCount(), 0u);
}

TEST_F(L3TableTest, DuplicatesAreDetectedByUpdatesAndTypedQueries) {
  // Inserts on a scalar property leave two records where one is expected.
  _table->UpdateDesiredState({Entry(tv::LOG_ROUTER_CONFIG, Id(1), 0, Router(1, 1), kInsert),
                              Entry(tv::LOG_ROUTER_CONFIG, Id(1), 0, Router(1, 2), kInsert),
                              Entry(tv::FIB, Id(3), Property::L3_FIB_ROUTER_ID, FibRouter(1), kInsert),
                              Entry(tv::FIB, Id(3), Property::L3_FIB_ROUTER_ID, FibRouter(2), kInsert),
                              Entry(tv::GLOBAL_CONFIG, Id(5), 0, "", kSet),
                              Entry(tv::GLOBAL_CONFIG, Id(6), 0, "", kSet), Entry(tv::BARRIER, Id(8), 0, "", kSet)},
                             0);
  qor::test::LogCapture log;
  EXPECT_FALSE(_table->QueryLogRouter(Id(1), nullptr));
  EXPECT_EQ(log.Count({"Found multiple entries for LR ", "errorCode=\"LCP00919\""}), 1u);
  EXPECT_FALSE(_table->QueryFib(Id(3), nullptr));
  EXPECT_EQ(log.Count({"Found multiple LR entries for fib ", "errorCode=\"LCP00919\""}), 1u);
  EXPECT_FALSE(_table->QueryGlobalConfig(nullptr));
  EXPECT_EQ(log.Count({"Found multiple entries for globalConfig msg", "errorCode=\"LCP00919\""}), 1u);
  EXPECT_TRUE(_table->QueryBarrier(nullptr));

  _table->UpdateDesiredState({Entry(tv::LOG_ROUTER_CONFIG, Id(1), 0, Router(1, 3), kSet)}, 0);
  EXPECT_EQ(log.Count({"property INVALID_PROPERTY, multi-existing entries found", "errorCode=\"LCP00919\""}), 1u);
  EXPECT_EQ(_table->DesiredCount(), 7u);
}

TEST_F(L3TableTest, RecordsWithoutTheirKeyFieldAreRefused) {
  tv::PrefixListMsg prefixList;
  *prefixList.mutable_id() = Uuid(4);
  _table->UpdateDesiredState({Entry(tv::LOG_ROUTER_CONFIG, Id(1), 0, Router(1, 0)),
                              Entry(tv::LOG_ROUTER_PORT_CONFIG, Id(2), 0, RouterPort(2, 0)),
                              Entry(tv::PREFIX_LIST, Id(4), 0, prefixList.SerializeAsString())},
                             0);
  qor::test::LogCapture log;
  EXPECT_FALSE(_table->QueryLogRouter(Id(1), nullptr));
  EXPECT_FALSE(_table->QueryLogRouterPort(Id(2), nullptr));
  EXPECT_FALSE(_table->QueryPrefixList(Id(4), nullptr));
  EXPECT_EQ(log.Count({"No vdr ID set in protobuf msg for LR 00000000-0000-1111-0000-000000000001",
                       "errorCode=\"LCP00920\""}),
            1u);
  EXPECT_EQ(log.Count({"No LR UUID set in protobuf msg for LRP ", "errorCode=\"LCP00920\""}), 1u);
  EXPECT_EQ(log.Count({"No prefix list index set in protobuf msg for prefix list ", "errorCode=\"LCP00920\""}), 1u);

  prefixList.set_index(0);  // zero is a valid index: presence is what counts
  _table->UpdateDesiredState({Entry(tv::LOG_ROUTER_PORT_CONFIG, Id(2), 0, RouterPort(2, 1)),
                              Entry(tv::PREFIX_LIST, Id(4), 0, prefixList.SerializeAsString())},
                             0);
  tv::LogRouterPortConfigMsg port;
  ASSERT_TRUE(_table->QueryLogRouterPort(Id(2), &port));
  EXPECT_EQ(port.router_id().low(), 1u);
  EXPECT_TRUE(_table->QueryPrefixList(Id(4), nullptr));
}

TEST_F(L3TableTest, TypedQueriesOfProfilesStateAndArpTable) {
  tv::NdraProfileConfigMsg ndra;
  ndra.set_hop_limit(64);
  tv::DadProfileConfigMsg dad;
  dad.set_ns_retries(3);
  tv::LogRouterPortFibDadStateMsg state;
  state.add_dad_states()->set_state(2);
  tv::MulticastConfigMsg multicast;
  multicast.set_enabled(true);
  tv::ArpTableConfigMsg arpPort;
  *arpPort.mutable_router_port_id() = Uuid(2);
  tv::ArpEntryMsg arp;
  arp.mutable_ip()->set_ipv4(10);
  arp.mutable_mac()->set_mac(0xaabb);
  _table->UpdateDesiredState(
      {Entry(tv::NDRA_PROFILE_CONFIG, Id(1), 0, ndra.SerializeAsString()),
       Entry(tv::DAD_PROFILE_CONFIG, Id(1), 0, dad.SerializeAsString()),
       Entry(tv::LOG_ROUTER_PORT_FIB_DAD_STATE, Id(2), Property::L3_DAD_STATUS, state.SerializeAsString()),
       Entry(tv::MULTICAST_CONFIG, Id(3), 0, multicast.SerializeAsString()),
       Entry(tv::ARP_TABLE_CONFIG, Id(4), Property::L3_ARP_ROUTER_PORT_ID, arpPort.SerializeAsString()),
       Entry(tv::ARP_TABLE_CONFIG, Id(4), Property::L3_ARP_ENTRY, arp.SerializeAsString(), kInsert)},
      0);
  tv::NdraProfileConfigMsg ndraOut;
  ASSERT_TRUE(_table->QueryNdraProfile(Id(1), &ndraOut));
  EXPECT_EQ(ndraOut.hop_limit(), 64u);
  tv::DadProfileConfigMsg dadOut;
  ASSERT_TRUE(_table->QueryDadProfile(Id(1), &dadOut));  // same id, other type: no clash
  EXPECT_EQ(dadOut.ns_retries(), 3u);
  tv::LogRouterPortFibDadStateMsg stateOut;
  ASSERT_TRUE(_table->QueryFibDadState(Id(2), &stateOut));
  EXPECT_EQ(stateOut.dad_states(0).state(), 2u);
  EXPECT_TRUE(_table->QueryMulticastConfig(Id(3), nullptr));
  EXPECT_FALSE(_table->QueryMulticastConfig(Id(4), nullptr));
  tv::ArpTableConfigMsg table;
  ASSERT_TRUE(_table->QueryArpTable(Id(4), &table));
  EXPECT_EQ(table.router_port_id().low(), 2u);
  ASSERT_EQ(table.entries_size(), 1);
  EXPECT_EQ(table.entries(0).mac().mac(), 0xaabbu);
  EXPECT_FALSE(_table->QueryGlobalConfig(nullptr));
}

TEST_F(L3TableTest, MulticastStaticRoutesAreFoundByRouter) {
  _table->UpdateDesiredState({Entry(tv::MULTICAST_STATIC_ROUTE, Id(10), 0, StaticRoute(10, 1)),
                              Entry(tv::MULTICAST_STATIC_ROUTE, Id(11), 0, StaticRoute(11, 2)),
                              Entry(tv::MULTICAST_STATIC_ROUTE, Id(12), 0, StaticRoute(12, 1))},
                             0);
  std::vector<tv::MulticastStaticRouteMsg> routes;
  ASSERT_TRUE(_table->QueryMulticastStaticRoutes(Id(1), &routes));
  ASSERT_EQ(routes.size(), 2u);
  EXPECT_EQ(routes[0].id().low(), 10u);
  EXPECT_EQ(routes[1].id().low(), 12u);
  qor::test::LogCapture log;
  EXPECT_FALSE(_table->QueryMulticastStaticRoutes(Id(3), nullptr));
  EXPECT_EQ(log.Count("Query Multicast Static Route by LR UUID 00000000-0000-1111-0000-000000000003"), 1u);
  EXPECT_EQ(log.Count("Didn't find the MulticastStaticRoute for LR UUID 00000000-0000-1111-0000-000000000003"), 1u);
}

TEST_F(L3TableTest, EachObserverGetsOneCallWithItsChangesInOrder) {
  test::RecordingObserver routersOnly;
  ASSERT_TRUE(_table->RegisterDesiredStateObserver(tv::LOG_ROUTER_CONFIG, &_observer));
  ASSERT_TRUE(_table->RegisterDesiredStateObserver(tv::FIB, &_observer));
  ASSERT_TRUE(_table->RegisterDesiredStateObserver(tv::LOG_ROUTER_CONFIG, &routersOnly));
  _table->UpdateDesiredState(
      {Entry(tv::LOG_ROUTER_CONFIG, Id(1), 0, Router(1, 1)),
       Entry(tv::FIB, Id(3), Property::L3_FIB_NEXT_HOP, NextHop(1), kInsert),
       Entry(tv::LOG_ROUTER_CONFIG, Id(2), 0, Router(2, 2)), Entry(tv::PREFIX_LIST, Id(4), 0, "")},
      0);
  auto all = _observer.Calls();
  ASSERT_EQ(all.size(), 1u);
  std::vector<int32_t> types;
  for (const auto& change : all[0].changes) types.push_back(change.entry.objectType);
  EXPECT_EQ(types, (std::vector<int32_t>{tv::LOG_ROUTER_CONFIG, tv::FIB, tv::LOG_ROUTER_CONFIG}));
  auto routers = routersOnly.Calls();
  ASSERT_EQ(routers.size(), 1u);
  ASSERT_EQ(routers[0].changes.size(), 2u);
  EXPECT_EQ(routers[0].changes.back().entry.objectId, Id(2));

  // An update with nothing for an observer does not call it.
  _table->UpdateDesiredState({Entry(tv::FIB, Id(3), Property::L3_FIB_NEXT_HOP, NextHop(2), kInsert)}, 0);
  EXPECT_EQ(routersOnly.Calls().size(), 1u);
  EXPECT_EQ(_observer.Calls().size(), 2u);
}

TEST_F(L3TableTest, RegistrationRules) {
  qor::test::LogCapture log;
  EXPECT_FALSE(_table->RegisterDesiredStateObserver(tv::FIB, nullptr));
  EXPECT_EQ(log.Count("In L3 RegisterDesiredStateObserver, observer is NULL!"), 1u);
  EXPECT_TRUE(_table->RegisterDesiredStateObserver(tv::FIB, &_observer));
  EXPECT_FALSE(_table->RegisterDesiredStateObserver(tv::FIB, &_observer));
  EXPECT_EQ(log.Count("In L3 RegisterDesiredStateObserver, observer exist!"), 1u);
  EXPECT_FALSE(_table->UnregisterDesiredStateObserver(tv::FIB, nullptr));
  EXPECT_EQ(log.Count("In L3 UnregisterDesiredStateObserver, observer is NULL!"), 1u);
  EXPECT_FALSE(_table->UnregisterDesiredStateObserver(tv::LOG_ROUTER_CONFIG, &_observer));
  EXPECT_EQ(log.Count("In L3 UnregisterDesiredStateObserver, observer not exists!"), 1u);
  EXPECT_TRUE(_table->UnregisterDesiredStateObserver(tv::FIB, &_observer));
  _table->UpdateDesiredState(Fib(Id(3)), 0);
  EXPECT_TRUE(_observer.Calls().empty());
}

TEST_F(L3TableTest, DumpAndSizeLines) {
  _table->UpdateDesiredState({Entry(tv::LOG_ROUTER_CONFIG, Id(1), 0, Router(1, 5, "blue")),
                              Entry(tv::FIB, Id(3), Property::L3_FIB_NEXT_HOP, NextHop(4), kInsert)},
                             1);
  qor::test::LogCapture log(LOG_LEVEL_INFO);
  EXPECT_EQ(_table->DumpDesiredState(), 2u);
  EXPECT_EQ(log.Count("Dump L3 remote StateCache"), 1u);
  EXPECT_EQ(log.Count("ObjectType is : LOG_ROUTER_CONFIG, ObjectId is : 00000000-0000-1111-0000-000000000001, "
                      "PropertyType is INVALID_PROPERTY,FullsyncVersion is 1, PropertyValue is id { high: 4369 low: 1 "
                      "} vdr_id: 5 name: \"blue\""),
            1u);
  EXPECT_EQ(log.Count("ObjectType is : FIB, ObjectId is : 00000000-0000-1111-0000-000000000003, PropertyType is "
                      "L3_FIB_NEXT_HOP,FullsyncVersion is 1, PropertyValue is ip { ipv4: 4 }"),
            1u);
  size_t bytes = _table->DesiredCacheSize();
  EXPECT_GT(bytes, 0u);
  EXPECT_EQ(log.Count("L3 desired cache size(bytes): " + std::to_string(bytes)), 1u);
}

// Deltas and full syncs interleaved at random on one table: after every step it holds what a fresh table holds after
// a full sync of the same state, a full sync leaves only records it wrote (its version), and the changes told to an
// observer, applied to what it knew, give the table's records.
TEST_F(L3TableTest, DeltasAndFullSyncsInterleavedEqualAFreshFullSync) {
  ASSERT_TRUE(_table->RegisterDesiredStateObserver(tv::LOG_ROUTER_CONFIG, &_observer));
  ASSERT_TRUE(_table->RegisterDesiredStateObserver(tv::FIB, &_observer));
  // (type, id, property) -> value for scalars; (type, id, property, value) for list elements.
  using ScalarKey = std::tuple<uint32_t, std::string, uint32_t>;
  using Element = std::tuple<uint32_t, std::string, uint32_t, std::string>;
  std::map<ScalarKey, std::string> scalars;
  std::set<Element> elements;
  std::set<Element> told;  // what the observer's changes add up to
  size_t calls = 0;
  auto records = [](const StateCacheL3Table& table) {
    std::vector<StateCacheRecord> out;
    table.CopyDesired(&out, SIZE_MAX);
    std::set<Element> set;
    for (const StateCacheRecord& r : out) set.emplace(r.objectType, r.objectId, r.propertyType, r.value);
    return std::make_pair(out, set);
  };
  auto idText = [](const std::string& id) {
    tv::UuidMsg uuid;
    uuid.ParseFromString(id);
    return std::to_string(uuid.low());
  };
  auto text = [&idText](const std::set<Element>& set) {
    std::string out;
    for (const auto& [type, id, property, value] : set) {
      out += " (" + std::to_string(type) + " " + idText(id) + " " + std::to_string(property) + " " +
             std::to_string(std::hash<std::string>()(value) % 1000) + ")";
    }
    return out;
  };
  qor::test::RunDifferential(
      qor::test::DifferentialSettings::FromEnvironment(300), [&](std::mt19937_64& rng, size_t) -> std::string {
        auto pick = [&rng](uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng); };
        // A random entry of a small universe, so that records are often written, rewritten and removed.
        auto randomEntry = [&](bool fullSync) {
          const uint64_t object = 1 + pick(3);
          const uint64_t value = 1 + pick(3);
          switch (pick(3)) {
            case 0:
              return Entry(tv::LOG_ROUTER_CONFIG, Id(10 + object), 0, Router(10 + object, value),
                           fullSync || pick(3) ? kSet : kClear);
            case 1:
              return Entry(tv::FIB, Id(object), Property::L3_FIB_ROUTER_ID, FibRouter(value),
                           fullSync || pick(3) ? kSet : kClear);
            default:
              return Entry(tv::FIB, Id(object), Property::L3_FIB_NEXT_HOP, NextHop(static_cast<uint32_t>(value)),
                           fullSync || pick(2) ? kInsert : kRemove);
          }
        };
        const bool fullSync = pick(4) == 0;
        std::list<TolvarUpdateMsg> entries;
        if (fullSync) {
          scalars.clear();
          elements.clear();
        }
        for (uint64_t n = pick(fullSync ? 12 : 4); n > 0; --n) entries.push_back(randomEntry(fullSync));
        std::string step = fullSync ? "full sync:" : "delta:";
        for (const TolvarUpdateMsg& e : entries) {
          const auto type = static_cast<uint32_t>(e.objectType);
          const auto property = static_cast<uint32_t>(e.propertyType);
          step += " " + std::to_string(type) + "/" + idText(e.objectId) + "/" + std::to_string(property) + " op " +
                  std::to_string(e.operation);
          if (e.operation == kSet) scalars[{type, e.objectId, property}] = e.value;
          if (e.operation == kClear) scalars.erase({type, e.objectId, property});
          if (e.operation == kInsert) elements.emplace(type, e.objectId, property, e.value);
          if (e.operation == kRemove) elements.erase({type, e.objectId, property, e.value});
        }
        _table->UpdateDesiredState(entries, fullSync);

        std::list<TolvarUpdateMsg> state;
        for (const auto& [key, value] : scalars) {
          state.push_back(Entry(std::get<0>(key), std::get<1>(key), std::get<2>(key), value, kSet));
        }
        for (const auto& [type, id, property, value] : elements)
          state.push_back(Entry(type, id, property, value, kInsert));
        qor::RefPtr<StateCacheL3Table> fresh(new StateCacheL3Table());
        fresh->UpdateDesiredState(state, 1);
        auto [kept, keptSet] = records(*_table);
        auto [rebuilt, rebuiltSet] = records(*fresh);
        if (keptSet != rebuiltSet || kept.size() != rebuilt.size())
          return step + ": kept" + text(keptSet) + " fresh" + text(rebuiltSet);
        if (fullSync) {
          for (const StateCacheRecord& r : kept) {
            if (r.fullSyncVersion != _table->FullSyncVersion()) return step + ": a record of an older version stays";
          }
        }
        auto observed = _observer.Calls();
        for (; calls < observed.size(); ++calls) {
          for (const StateCacheChange& c : observed[calls].changes) {
            const TolvarUpdateMsg& e = c.entry;
            const auto type = static_cast<uint32_t>(e.objectType);
            const auto property = static_cast<uint32_t>(e.propertyType);
            if (c.hasOld) told.erase({type, e.objectId, property, c.oldValue});
            if (!c.IsRemoval()) told.emplace(type, e.objectId, property, e.value);
          }
        }
        if (told != keptSet) return step + ": told" + text(told) + " table" + text(keptSet);
        return std::string();
      });
}

// Batches of up to 40 entries over a few objects of three types (sharing ids across types), in key order, object by
// object, in reverse or shuffled, with values around the inline limit of a record's value: after every update the
// store holds, in its order, what a plain model holds and what a fresh full sync of the model gives, and the
// observer was told exactly the changes the model computes (operation, value, old value), a full sync's removals in
// key order. Covers the look-up from the last written record, the insertion at the look-up's place, ids shared by
// the records of an object and the sweep.
TEST_F(L3TableTest, BatchesInAnyOrderLeaveWhatAModelHoldsAndTellItsChanges) {
  const std::vector<uint32_t> types = {tv::LOG_ROUTER_CONFIG, tv::FIB, tv::ARP_TABLE_CONFIG};
  for (uint32_t type : types) ASSERT_TRUE(_table->RegisterDesiredStateObserver(type, &_observer));
  // (type, property, list?) of the properties used; scalars and lists never share a property.
  struct Kind {
    uint32_t type;
    uint32_t property;
    bool list;
  };
  const std::vector<Kind> kinds = {{tv::LOG_ROUTER_CONFIG, 0, false},
                                   {tv::FIB, Property::L3_FIB_ROUTER_ID, false},
                                   {tv::FIB, Property::L3_FIB_IP_PREFIX, false},
                                   {tv::FIB, Property::L3_FIB_NEXT_HOP, true},
                                   {tv::ARP_TABLE_CONFIG, Property::L3_ARP_ROUTER_PORT_ID, false},
                                   {tv::ARP_TABLE_CONFIG, Property::L3_ARP_ENTRY, true}};
  using Key = std::tuple<uint32_t, std::string, uint32_t, std::string>;  // (type, id, property, value)
  struct Model {
    std::map<Key, bool> records;  // -> list element?
    std::map<Key, bool> written;  // within a full sync: written by it
  };
  Model model;
  size_t calls = 0;
  auto scalarOf = [&model](uint32_t type, const std::string& id, uint32_t property) {
    auto it = model.records.lower_bound(Key{type, id, property, std::string()});
    if (it == model.records.end() || std::get<0>(it->first) != type || std::get<1>(it->first) != id ||
        std::get<2>(it->first) != property) {
      return model.records.end();
    }
    return it;
  };
  auto show = [](const Key& key) {
    tv::UuidMsg uuid;
    uuid.ParseFromString(std::get<1>(key));
    std::string value;
    for (unsigned char c : std::get<3>(key)) value += std::to_string(c) + ".";
    return "(" + std::to_string(std::get<0>(key)) + " " + std::to_string(uuid.low()) + " " +
           std::to_string(std::get<2>(key)) + " " + value + ")";
  };
  qor::test::RunDifferential(
      qor::test::DifferentialSettings::FromEnvironment(400), [&](std::mt19937_64& rng, size_t) -> std::string {
        auto pick = [&rng](uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng); };
        auto value = [&]() {
          static const size_t lengths[] = {0, 1, 6, 7, 8, 9, 15, 16, 23};
          std::string v(lengths[pick(std::size(lengths))], '\0');
          for (char& c : v) c = "\x00\x01\x7f\x80\xff"[pick(5)];
          return v;
        };
        const bool fullSync = pick(4) == 0;
        std::vector<TolvarUpdateMsg> entries;
        for (uint64_t n = 1 + pick(fullSync ? 40 : 12); n > 0; --n) {
          const Kind& kind = kinds[pick(kinds.size())];
          const bool add = fullSync || pick(3) != 0;
          std::string v = value();
          const std::string id = Id(1 + pick(5));
          if (!add && pick(2)) {
            // A removal of what is there, so that removals often hit.
            auto it = model.records.lower_bound(Key{kind.type, id, kind.property, std::string()});
            if (it != model.records.end() && std::get<0>(it->first) == kind.type && std::get<1>(it->first) == id &&
                std::get<2>(it->first) == kind.property) {
              v = std::get<3>(it->first);
            }
          }
          const int32_t op = kind.list ? (add ? kInsert : kRemove) : (add ? kSet : kClear);
          entries.push_back(Entry(kind.type, id, kind.property, kind.list || add ? v : std::string(), op));
        }
        auto keyOf = [](const TolvarUpdateMsg& e) {
          return Key{static_cast<uint32_t>(e.objectType), e.objectId, static_cast<uint32_t>(e.propertyType), e.value};
        };
        const uint64_t order = pick(4);
        if (order == 0 || order == 1) {
          std::stable_sort(entries.begin(), entries.end(),
                           [&](const auto& a, const auto& b) { return keyOf(a) < keyOf(b); });
          if (order == 1) std::reverse(entries.begin(), entries.end());
        } else if (order == 2) {
          std::shuffle(entries.begin(), entries.end(), rng);
          // Object by object (objects in random order), each object's entries in key order.
          std::map<std::pair<uint32_t, std::string>, size_t> rank;
          for (const auto& e : entries) rank.emplace(std::make_pair(e.objectType, e.objectId), rank.size());
          std::stable_sort(entries.begin(), entries.end(), [&](const auto& a, const auto& b) {
            const size_t ra = rank[{a.objectType, a.objectId}], rb = rank[{b.objectType, b.objectId}];
            return ra != rb ? ra < rb : keyOf(a) < keyOf(b);
          });
        }  // else: as generated

        // The model's changes, entry by entry, then a full sync's sweep in key order.
        std::vector<StateCacheChange> expected;
        auto tell = [&expected](const Key& key, int32_t op, const std::string* old) {
          StateCacheChange c;
          c.entry = Entry(std::get<0>(key), std::get<1>(key), std::get<2>(key), std::get<3>(key), op);
          if (old) {
            c.oldValue = *old;
            c.hasOld = true;
          }
          expected.push_back(std::move(c));
        };
        model.written.clear();
        std::string step = fullSync ? "full sync, order " : "delta, order ";
        step += std::to_string(order) + ":";
        for (const TolvarUpdateMsg& e : entries) {
          const Key key = keyOf(e);
          step += " " + show(key) + " op " + std::to_string(e.operation);
          if (e.operation == kInsert || e.operation == kRemove) {
            const bool present = model.records.count(key) != 0;
            if (e.operation == kInsert) {
              if (!present) {
                model.records.emplace(key, true);
                tell(key, kInsert, nullptr);
              }
              model.written[key] = true;
            } else if (present) {
              model.records.erase(key);
              tell(key, kRemove, &std::get<3>(key));
            }
            continue;
          }
          auto it = scalarOf(std::get<0>(key), std::get<1>(key), std::get<2>(key));
          if (e.operation == kClear) {
            if (it != model.records.end()) {
              Key old = it->first;
              model.records.erase(it);
              tell(old, kClear, &std::get<3>(old));
            }
            continue;
          }
          if (it == model.records.end()) {
            tell(key, kSet, nullptr);
          } else if (std::get<3>(it->first) != e.value) {
            const std::string old = std::get<3>(it->first);
            model.written.erase(it->first);
            model.records.erase(it);
            tell(key, kSet, &old);
          }
          model.records[key] = false;
          model.written[key] = true;
        }
        if (fullSync) {
          for (auto it = model.records.begin(); it != model.records.end();) {
            if (model.written.count(it->first)) {
              ++it;
              continue;
            }
            tell(it->first, it->second ? kRemove : kClear, &std::get<3>(it->first));
            it = model.records.erase(it);
          }
        }
        _table->UpdateDesiredState(std::list<TolvarUpdateMsg>(entries.begin(), entries.end()), fullSync);

        // The store, in its order, against the model and against a fresh full sync of the model.
        std::vector<StateCacheRecord> kept;
        _table->CopyDesired(&kept, SIZE_MAX);
        std::list<TolvarUpdateMsg> state;
        for (const auto& [key, list] : model.records) {
          state.push_back(
              Entry(std::get<0>(key), std::get<1>(key), std::get<2>(key), std::get<3>(key), list ? kInsert : kSet));
        }
        qor::RefPtr<StateCacheL3Table> fresh(new StateCacheL3Table());
        fresh->UpdateDesiredState(state, 1);
        std::vector<StateCacheRecord> rebuilt;
        fresh->CopyDesired(&rebuilt, SIZE_MAX);
        if (kept.size() != model.records.size() || rebuilt.size() != model.records.size() ||
            _table->DesiredCount() != model.records.size()) {
          return step + ": " + std::to_string(kept.size()) + " records kept, " + std::to_string(rebuilt.size()) +
                 " rebuilt, " + std::to_string(model.records.size()) + " in the model";
        }
        size_t i = 0;
        for (const auto& [key, list] : model.records) {
          for (const StateCacheRecord* r : {&kept[i], &rebuilt[i]}) {
            if (Key{r->objectType, r->objectId, r->propertyType, r->value} != key) {
              return step + ": record " + std::to_string(i) + " is " +
                     show(Key{r->objectType, r->objectId, r->propertyType, r->value}) + ", the model has " + show(key);
            }
          }
          if (fullSync && kept[i].fullSyncVersion != _table->FullSyncVersion()) {
            return step + ": " + show(key) + " keeps an older version after a full sync";
          }
          ++i;
        }
        for (uint32_t type : types) {
          std::vector<StateCacheRecord> ofType;
          const bool any = _table->QueryDesired(type, &ofType);
          size_t inModel = 0;
          for (const auto& [key, list] : model.records) inModel += std::get<0>(key) == type;
          if (any != (inModel != 0) || ofType.size() != inModel) {
            return step + ": type " + std::to_string(type) + " has " + std::to_string(ofType.size()) + " records";
          }
        }

        // What the observer was told.
        auto observed = _observer.Calls();
        if (!fullSync && expected.empty()) {
          if (observed.size() != calls) return step + ": told of a delta that changed nothing";
          return std::string();
        }
        if (observed.size() != calls + 1) return step + ": " + std::to_string(observed.size() - calls) + " calls";
        const auto& told = observed[calls++].changes;
        if (told.size() != expected.size()) {
          return step + ": told " + std::to_string(told.size()) + " changes, expected " +
                 std::to_string(expected.size());
        }
        auto e = expected.begin();
        for (const StateCacheChange& c : told) {
          if (keyOf(c.entry) != keyOf(e->entry) || c.entry.operation != e->entry.operation || c.hasOld != e->hasOld ||
              c.oldValue != e->oldValue) {
            return step + ": told " + show(keyOf(c.entry)) + " op " + std::to_string(c.entry.operation) +
                   ", expected " + show(keyOf(e->entry)) + " op " + std::to_string(e->entry.operation);
          }
          ++e;
        }
        return std::string();
      });
}

TEST_F(L3TableTest, QueriesFromOtherThreadsDuringUpdates) {
  ASSERT_TRUE(_table->RegisterDesiredStateObserver(tv::FIB, &_observer));
  std::atomic<bool> done{false};
  std::atomic<size_t> hits{0};
  std::thread reader([&] {
    while (!done.load()) {
      tv::FibMsg fib;
      if (_table->QueryFib(Id(3), &fib)) ++hits;
      std::vector<StateCacheRecord> records;
      _table->QueryDesired(tv::FIB, &records);
      _table->DesiredCacheSize();
    }
  });
  for (int round = 0; round < 200; ++round) {
    _table->UpdateDesiredState(Fib(Id(3)), round % 2);
    _table->UpdateDesiredState({Entry(tv::FIB, Id(3), Property::L3_FIB_NEXT_HOP, NextHop(2), kRemove)}, 0);
  }
  done = true;
  reader.join();
  EXPECT_EQ(_table->DesiredCount(), 3u);
  EXPECT_EQ(_observer.Calls().size(), 400u);
}

}  // namespace
}  // namespace VevUroro
