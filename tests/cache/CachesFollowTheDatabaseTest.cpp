// Transactions that once left the caches different from the database, replayed against a real tolvard through the
// agent's client, dispatcher and tables: after each, the tables equal both the database and a fresh full sync.
#include <gtest/gtest.h>

#include <set>

#include "platform/tolvar/WireCodes.h"
#include "support/AgentCachePipeline.h"
#include "support/LogCapture.h"
#include "tolvar/TolvardFixture.h"

namespace VevUroro {
namespace {

namespace tv = zantix::qor::tolvar;
using qor::test::AgentCachePipeline;
using qor::tolvar::test::Delete;
using qor::tolvar::test::Ip;
using qor::tolvar::test::Patch;
using qor::tolvar::test::Put;
using qor::tolvar::test::Uuid;
using qor::tolvar::test::UuidBytes;

class CachesFollowTheDatabase : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(_agent.WaitFullSync());
    _writer.SetCallTimeout(std::chrono::seconds(20));
    _writer.StartAsync();
  }

  // One transaction, with the marker that tells when the tables have it. The status of the database's answer.
  qor::rpc::Status Transact(std::vector<tv::ModifyRequestMsg> requests) {
    requests.push_back(AgentCachePipeline::MarkerRequest(_marker + 1));
    qor::rpc::Status status = _writer.Modify(requests);
    if (status.ok()) {
      EXPECT_TRUE(_agent.WaitMarker(++_marker));
    }
    return status;
  }
  // The kept tables equal those of a fresh full sync.
  void ExpectSameAsFullSync() {
    AgentCachePipeline fresh(_server.Endpoint(), false);
    ASSERT_TRUE(fresh.WaitFullSync());
    EXPECT_EQ(qor::test::CompareCacheTables(fresh.Tables(), _agent.Tables(), "a full sync", "the kept tables"), "");
  }

  qor::test::LogCapture _log{LOG_LEVEL_WARN};
  qor::test::TempRoot _root;
  qor::tolvar::test::TolvardProcess _server{_root.Path(), _root.Path() + "/tolvar.db"};
  AgentCachePipeline _agent{_server.Endpoint(), true};
  qor::tolvar::TolvarDbClient _writer{"writer", _server.Endpoint(), nullptr, nullptr, true, true, false};
  uint32_t _marker = 0;
};

tv::LogSwitchFibMsg SwitchFib(uint64_t logicalSwitch) {
  tv::LogSwitchFibMsg fib;
  *fib.mutable_id() = Uuid(1);
  *fib.mutable_logical_switch_id() = Uuid(logicalSwitch);
  for (uint32_t label : {11u, 12u}) fib.add_vteps()->set_label(label);
  return fib;
}

// Deleted and re-created in one transaction with another logical switch and the same VTEPs: the element removals
// of the delete and the insertions of the re-creation are not a pair that cancels.
TEST_F(CachesFollowTheDatabase, SwitchFibDeletedAndRecreatedInOneTransactionKeepsItsVteps) {
  ASSERT_TRUE(Transact({Put(tv::LOG_SWITCH_FIB, SwitchFib(100))}).ok());
  ASSERT_TRUE(Transact({Delete(tv::LOG_SWITCH_FIB, UuidBytes(1)), Put(tv::LOG_SWITCH_FIB, SwitchFib(200))}).ok());
  std::vector<StateCacheRecord> records;
  ASSERT_TRUE(_agent.Cache().L2Table()->QueryDesired(tv::LOG_SWITCH_FIB, &records));
  ASSERT_EQ(records.size(), 3u);  // the object and its two VTEPs
  tv::LogSwitchFibMsg object;
  ASSERT_TRUE(object.ParseFromString(records[0].value));
  EXPECT_EQ(object.logical_switch_id().low(), 200u);
  EXPECT_EQ(records[1].propertyType, static_cast<uint32_t>(tv::Property::L2_VTEP));
  ExpectSameAsFullSync();
  EXPECT_EQ(qor::test::CompareCacheTables(_agent.Tables(), _agent.Mirrors(), "the tables", "the notifications"), "");
}

// Two IPv6 tunnel endpoints without labels, in /64s that differ in their eighth byte, with host ids 1 and 2: once
// one key for the database (which refused the list) and for the cache (which kept one of them).
TEST_F(CachesFollowTheDatabase, TwoIpv6VtepsAreTwoVteps) {
  tv::LogSwitchFibMsg fib = SwitchFib(100);
  fib.clear_vteps();
  const std::string first("\x20\x01\x0d\xb8\0\0\0\x01\0\0\0\0\0\0\0\x01", 16);   // 2001:db8:0:1::1
  const std::string second("\x20\x01\x0d\xb8\0\0\0\x3e\0\0\0\0\0\0\0\x02", 16);  // 2001:db8:0:3e::2
  fib.add_vteps()->mutable_ip()->set_ipv6(first);
  fib.add_vteps()->mutable_ip()->set_ipv6(second);
  qor::rpc::Status status = Transact({Put(tv::LOG_SWITCH_FIB, fib)});
  ASSERT_TRUE(status.ok()) << status.message();
  std::vector<StateCacheRecord> records;
  ASSERT_TRUE(_agent.Cache().L2Table()->QueryDesired(tv::LOG_SWITCH_FIB, &records));
  ASSERT_EQ(records.size(), 3u);  // the object and both VTEPs
  std::set<std::string> addresses;
  for (size_t i = 1; i < records.size(); ++i) {
    tv::VtepMsg vtep;
    ASSERT_TRUE(vtep.ParseFromString(records[i].value));
    addresses.insert(vtep.ip().ipv6());
  }
  EXPECT_EQ(addresses, (std::set<std::string>{first, second}));
  ExpectSameAsFullSync();
}

tv::ArpTableConfigMsg ArpTable(int copies) {
  tv::ArpTableConfigMsg table;
  *table.mutable_id() = Uuid(50);
  *table.mutable_router_port_id() = Uuid(51);
  for (int i = 0; i < copies; ++i) {
    tv::ArpEntryMsg* entry = table.add_entries();
    *entry->mutable_ip() = Ip(0x0a000001);
    entry->mutable_mac()->set_mac(0x0a0b0c0d0e0f);
  }
  return table;
}

// Lists are sets everywhere: the database refuses a list holding one element twice, so [X], [X, X], [X] leaves X in
// the database and in the cache.
TEST_F(CachesFollowTheDatabase, ArpEntryPutOnceTwiceOnceStaysInTheCache) {
  ASSERT_TRUE(Transact({Put(tv::ARP_TABLE_CONFIG, ArpTable(1))}).ok());
  qor::rpc::Status twice = Transact({Put(tv::ARP_TABLE_CONFIG, ArpTable(2))});
  EXPECT_EQ(twice.code(), static_cast<int32_t>(qor::tolvar::kCodeInvalidArgument));
  EXPECT_NE(twice.message().find("L3_ARP_ENTRY holds two elements with the same key"), std::string::npos)
      << twice.message();
  ASSERT_TRUE(Transact({Put(tv::ARP_TABLE_CONFIG, ArpTable(1))}).ok());
  tv::ArpTableConfigMsg cached;
  ASSERT_TRUE(_agent.Cache().L3Table()->QueryArpTable(UuidBytes(50), &cached));
  ASSERT_EQ(cached.entries_size(), 1);
  EXPECT_EQ(cached.entries(0).ip().ipv4(), 0x0a000001u);
  ExpectSameAsFullSync();
}

// A scalar set that replaces a value, then the delete of its object, in one transaction: the set and the clear of
// the new value are not a pair that cancels (the replaced value would stay behind).
TEST_F(CachesFollowTheDatabase, FibRouterChangedThenDeletedInOneTransactionLeavesNothing) {
  tv::FibMsg fib;
  *fib.mutable_id() = Uuid(60);
  *fib.mutable_router_id() = Uuid(61);
  fib.mutable_ip_prefix()->set_prefix_length(24);
  *fib.add_next_hops()->mutable_ip() = Ip(0x0a000001);
  ASSERT_TRUE(Transact({Put(tv::FIB, fib)}).ok());
  tv::FibMsg router;
  *router.mutable_router_id() = Uuid(62);
  ASSERT_TRUE(Transact({Patch(tv::FIB, UuidBytes(60), tv::Property::L3_FIB_ROUTER_ID, tv::SET, &router),
                        Delete(tv::FIB, UuidBytes(60))})
                  .ok());
  EXPECT_FALSE(_agent.Cache().L3Table()->QueryDesired(tv::FIB, nullptr));
  ExpectSameAsFullSync();
}

}  // namespace
}  // namespace VevUroro
