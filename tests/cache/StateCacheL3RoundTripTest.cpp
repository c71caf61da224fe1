// The L3 table fed from a real tolvard through the Tolvar client and the dispatcher: routers and FIB elements
// written to the database become queryable records, and their removal reaches the L3 observers.
#include <gtest/gtest.h>

#include "cache/StateCache.h"
#include "core/WorkGroup.h"
#include "intake/MsgDispatcher.h"
#include "intake/TolvarClient.h"
#include "support/TempRoot.h"
#include "support/Wait.h"
#include "tests/cache/CacheTestUtil.h"
#include "tolvar/TolvardFixture.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace VevUroro {
namespace {

namespace tv = zantix::qor::tolvar;
using qor::tolvar::test::Delete;
using qor::tolvar::test::Ip;
using qor::tolvar::test::Patch;
using qor::tolvar::test::Put;
using qor::tolvar::test::Uuid;
using qor::tolvar::test::UuidBytes;

class L3RoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    _server = std::make_unique<qor::tolvar::test::TolvardProcess>(_root.Path(), _root.Path() + "/tolvar.db");
    WorkGroup::SetConfiguredThreadCounts(1, 6);
    ASSERT_TRUE(WorkGroup::Start(_registry));
    _queue = MakeUpdateQueue();
    _dispatcher = new MsgDispatcher(_queue);
    _cache.RegisterWith(*_dispatcher);
    ASSERT_TRUE(_cache.L3Table()->RegisterDesiredStateObserver(tv::LOG_ROUTER_CONFIG, &_observer));
    ASSERT_TRUE(_dispatcher->Start());
    _client = new TolvarClient(TolvarClientSettings::ForPersona(3, _server->Endpoint()), _queue, &_cache, nullptr);
    _client->LibraryClient()->SetBackoff(std::chrono::milliseconds(10), std::chrono::milliseconds(100));
    _client->LibraryClient()->SetCallTimeout(std::chrono::seconds(20));
    _client->Start();
  }
  void TearDown() override {
    if (_client) _client->Stop();
    _dispatcher->Stop();
    _cache.L3Table()->UnregisterDesiredStateObserver(tv::LOG_ROUTER_CONFIG, &_observer);
    WorkGroup::Stop();
  }
  void Modify(const std::vector<tv::ModifyRequestMsg>& requests) {
    ASSERT_TRUE(_client->LibraryClient()->Modify(requests).ok());
  }

  qor::test::TempRoot _root;
  std::unique_ptr<qor::tolvar::test::TolvardProcess> _server;
  qor::metrics::Registry _registry;
  StateCache _cache;
  test::RecordingObserver _observer;
  std::shared_ptr<UpdateQueue> _queue;
  qor::RefPtr<MsgDispatcher> _dispatcher;
  qor::RefPtr<TolvarClient> _client;
};

TEST_F(L3RoundTrip, RoutersAndFibElementsFollowTheDatabase) {
  ASSERT_TRUE(qor::test::WaitFor([&] { return _client->ChannelUp(); }));
  tv::LogRouterConfigMsg router;
  *router.mutable_id() = Uuid(1);
  router.set_vdr_id(77);
  tv::FibMsg fib;
  *fib.mutable_id() = Uuid(2);
  *fib.mutable_router_id() = Uuid(1);
  *fib.mutable_ip_prefix()->mutable_address() = Ip(0x0a000000);
  fib.mutable_ip_prefix()->set_prefix_length(8);
  *fib.add_next_hops()->mutable_ip() = Ip(1);
  *fib.add_next_hops()->mutable_ip() = Ip(2);
  Modify({Put(tv::LOG_ROUTER_CONFIG, router), Put(tv::FIB, fib)});

  StateCacheL3Table* table = _cache.L3Table();
  tv::FibMsg cached;
  ASSERT_TRUE(
      qor::test::WaitFor([&] { return table->QueryFib(UuidBytes(2), &cached) && cached.next_hops_size() == 2; }));
  EXPECT_EQ(cached.router_id().low(), 1u);
  EXPECT_EQ(cached.ip_prefix().prefix_length(), 8u);
  tv::LogRouterConfigMsg cachedRouter;
  ASSERT_TRUE(table->QueryLogRouter(UuidBytes(1), &cachedRouter));
  EXPECT_EQ(cachedRouter.vdr_id(), 77u);

  tv::FibNextHopMsg hop;
  *hop.mutable_ip() = Ip(1);
  Modify({Patch(tv::FIB, UuidBytes(2), tv::Property::L3_FIB_NEXT_HOP, tv::REMOVE, &hop)});
  ASSERT_TRUE(
      qor::test::WaitFor([&] { return table->QueryFib(UuidBytes(2), &cached) && cached.next_hops_size() == 1; }));
  EXPECT_EQ(cached.next_hops(0).ip().ipv4(), 2u);

  Modify({Delete(tv::LOG_ROUTER_CONFIG, UuidBytes(1))});
  ASSERT_TRUE(qor::test::WaitFor([&] { return !table->QueryLogRouter(UuidBytes(1), nullptr); }));
  // The observer saw the router arrive and leave, in that order.
  std::vector<bool> removals;
  for (const auto& call : _observer.Calls()) {
    for (const auto& change : call.changes) removals.push_back(change.IsRemoval());
  }
  EXPECT_EQ(removals, (std::vector<bool>{false, true}));
}

}  // namespace
}  // namespace VevUroro
