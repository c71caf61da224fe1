#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/post.hpp>
#include <condition_variable>
#include <functional>
#include <future>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

#include "core/AsyncTimer.h"
#include "core/ThreadCounts.h"
#include "core/WorkGroup.h"
#include "platform/RefCounted.h"
#include "support/LogCapture.h"
#include "support/Wait.h"

namespace VevUroro {
namespace {

using qor::test::WaitFor;

class FunctionItem : public WorkItem {
 public:
  explicit FunctionItem(std::function<void()> fn) : _fn(std::move(fn)) {}
  void Run() override { _fn(); }

 private:
  std::function<void()> _fn;
};

std::shared_ptr<WorkItem> Item(std::function<void()> fn) {
  return std::make_shared<FunctionItem>(std::move(fn));
}

// Each test starts and stops the process's pool; Stop in TearDown leaves the process ready for the next Start.
class WorkGroupTest : public ::testing::Test {
 protected:
  void TearDown() override {
    WorkGroup::Stop();
    SetConfiguredThreadCounts(DefaultIoThreads(), kDefaultWorkThreads);
  }

  std::shared_ptr<WorkGroup> StartPool(uint32_t ioThreads, uint32_t workThreads) {
    SetConfiguredThreadCounts(ioThreads, workThreads);
    EXPECT_TRUE(WorkGroup::Start(registry));
    return WorkGroup::Instance();
  }

  // True once a handler posted to each IO context has run, that is, once an IO worker runs each context.
  static bool IoWorkersRunning() {
    auto ranA = std::make_shared<std::atomic<bool>>(false);
    auto ranB = std::make_shared<std::atomic<bool>>(false);
    boost::asio::post(WorkGroup::IoContextA(), [ranA] { *ranA = true; });
    boost::asio::post(WorkGroup::IoContextB(), [ranB] { *ranB = true; });
    return WaitFor([&] { return ranA->load() && ranB->load(); });
  }

  int64_t Gauge(const std::string& name) { return registry.GetGauge(name)->Value(); }
  uint64_t Frequency(const std::string& name) { return registry.GetFrequencyCounter(name)->Total(); }
  uint64_t LatencyCount(const std::string& name) { return registry.GetLatency(name)->Count(); }

  qor::metrics::Registry registry;
};

TEST_F(WorkGroupTest, ConfiguredThreadCountsRoundTrip) {
  EXPECT_GE(DefaultIoThreads(), 1u);
  SetConfiguredThreadCounts(3, 9);
  EXPECT_EQ(ConfiguredIoThreads(), 3u);
  EXPECT_EQ(ConfiguredWorkThreads(), 9u);
  WorkGroup::SetConfiguredThreadCounts(1, 3);
  EXPECT_EQ(ConfiguredIoThreads(), 1u);
  EXPECT_EQ(ConfiguredWorkThreads(), 3u);
}

TEST_F(WorkGroupTest, StartsWithTheProvidersSharedRegistry) {
  SetConfiguredThreadCounts(1, 3);
  EXPECT_FALSE(WorkGroup::Start(std::shared_ptr<qor::metrics::Registry>()));
  EXPECT_EQ(WorkGroup::Instance(), nullptr);
  auto shared = std::make_shared<qor::metrics::Registry>();
  ASSERT_TRUE(WorkGroup::Start(shared));
  EXPECT_TRUE(shared->Contains("work_group/queue/length"));
  ASSERT_TRUE(IoWorkersRunning());
}

TEST_F(WorkGroupTest, OneFreeThreadRunsItemsInPostingOrder) {
  auto pool = StartPool(1, 3);  // two threads for the IO workers, one for us
  ASSERT_TRUE(pool);
  EXPECT_EQ(pool->ThreadCount(), 3u);
  std::vector<int> order;
  std::atomic<int> done{0};
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(pool->Post(Item([&, i] {
      order.push_back(i);
      done.fetch_add(1);
    })));
  }
  ASSERT_TRUE(WaitFor([&] { return done.load() == 200; }));
  for (int i = 0; i < 200; ++i) ASSERT_EQ(order[i], i);
}

TEST_F(WorkGroupTest, TooFewWorkThreadsForTheIoWorkersAreRaisedAtStart) {
  qor::test::LogCapture log(LOG_LEVEL_INFO);
  for (uint32_t workThreads : {0u, 2u}) {  // none at all, and exactly ioThreads + 1
    auto pool = StartPool(1, workThreads);
    ASSERT_TRUE(pool);
    ASSERT_TRUE(IoWorkersRunning());
    EXPECT_EQ(pool->ThreadCount(), 3u);  // the two IO workers and one thread for short items
    EXPECT_EQ(pool->LongRunningCount(), 2u);
    auto ran = std::make_shared<std::atomic<bool>>(false);
    ASSERT_TRUE(pool->Post(Item([ran] { *ran = true; })));
    EXPECT_TRUE(WaitFor([&] { return ran->load(); }));
    WorkGroup::Stop();
  }
  EXPECT_EQ(log.Count({"WorkGroup: workThreads 0 leave no thread for short work items beside the 2 IO workers; "
                       "starting 3 threads",
                       "level=\"warn\""}),
            1u);
  EXPECT_EQ(log.Count("WorkGroup: workThreads 2 leave no thread for short work items beside the 2 IO workers; "
                      "starting 3 threads"),
            1u);
  EXPECT_EQ(log.Count("long-running loops hold a thread each"), 0u);
}

TEST_F(WorkGroupTest, NoIoThreadsStillRunIoContextA) {
  qor::test::LogCapture log(LOG_LEVEL_INFO);
  auto pool = StartPool(0, 8);
  ASSERT_TRUE(pool);
  EXPECT_TRUE(IoWorkersRunning());
  EXPECT_EQ(pool->LongRunningCount(), 2u);
  EXPECT_EQ(log.Count("WorkGroup: ioThreads 0 leaves IO context A without a thread; running it with 1"), 1u);
}

// A loop that runs until told to stop, like the dispatcher's or a kernel link's.
struct Loop {
  std::mutex mutex;
  std::condition_variable changed;
  bool stop = false;
  bool running = false;
  int stopCalls = 0;

  std::shared_ptr<WorkItem> MakeItem() {
    return Item([this] {
      std::unique_lock<std::mutex> lock(mutex);
      running = true;
      changed.notify_all();
      changed.wait(lock, [this] { return stop; });
      running = false;
    });
  }
  std::function<void()> StopFunction() {
    return [this] {
      std::lock_guard<std::mutex> lock(mutex);
      stop = true;
      ++stopCalls;
      changed.notify_all();
    };
  }
  bool Running() {
    std::lock_guard<std::mutex> lock(mutex);
    return running;
  }
};

TEST_F(WorkGroupTest, LongRunningLoopsNeverTakeTheLastThreadAndEndAtStop) {
  qor::test::LogCapture log(LOG_LEVEL_INFO);
  auto pool = StartPool(1, 4);  // one thread beside the IO workers and one for short items
  ASSERT_TRUE(pool);
  std::list<Loop> loops(3);
  for (Loop& loop : loops) ASSERT_TRUE(pool->PostLongRunning(loop.MakeItem(), loop.StopFunction()));
  for (Loop& loop : loops) ASSERT_TRUE(WaitFor([&] { return loop.Running(); }));
  EXPECT_EQ(pool->ThreadCount(), 6u);  // 2 IO workers + 3 loops + 1
  EXPECT_EQ(pool->LongRunningCount(), 5u);
  EXPECT_EQ(log.Count("WorkGroup: 4 long-running loops hold a thread each; work threads raised from 4 to 5"), 1u);
  EXPECT_EQ(log.Count("WorkGroup: 5 long-running loops hold a thread each; work threads raised from 5 to 6"), 1u);
  // Short items still run while every loop holds its thread.
  auto ran = std::make_shared<std::atomic<bool>>(false);
  ASSERT_TRUE(pool->Post(Item([ran] { *ran = true; })));
  EXPECT_TRUE(WaitFor([&] { return ran->load(); }));

  // One loop ends by itself: its thread serves short items again, and Stop does not call it.
  loops.front().StopFunction()();
  ASSERT_TRUE(WaitFor([&] { return pool->LongRunningCount() == 4u; }));

  // Nobody ends the other two: the pool's stop does, instead of waiting for them for ever.
  EXPECT_TRUE(qor::test::ReturnsWithin([] { WorkGroup::Stop(); }));
  for (Loop& loop : loops) EXPECT_FALSE(loop.Running());
  EXPECT_EQ(loops.front().stopCalls, 1);
  EXPECT_EQ(std::next(loops.begin())->stopCalls, 1);
  EXPECT_EQ(loops.back().stopCalls, 1);
}

TEST_F(WorkGroupTest, ItemsQueuedWhenStopBeginsStillRun) {
  auto pool = StartPool(1, 3);
  ASSERT_TRUE(pool);
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> blocking{false};
  std::atomic<int> done{0};
  ASSERT_TRUE(pool->Post(Item([&] {
    blocking = true;
    released.wait();
    done.fetch_add(1);
  })));
  ASSERT_TRUE(WaitFor([&] { return blocking.load(); }));
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(pool->Post(Item([&] { done.fetch_add(1); })));

  std::thread stopper([] { WorkGroup::Stop(); });
  ASSERT_TRUE(WaitFor([&] { return !pool->Running(); }));
  EXPECT_FALSE(pool->Post(Item([] {})));  // a stopping pool takes nothing new
  release.set_value();
  stopper.join();
  EXPECT_EQ(done.load(), 11);
  EXPECT_EQ(pool->QueueLength(), 0u);
  EXPECT_EQ(WorkGroup::Instance(), nullptr);
}

TEST_F(WorkGroupTest, RegistersAndUpdatesTheSixMetrics) {
  auto pool = StartPool(1, 4);  // two free threads
  ASSERT_TRUE(pool);
  std::map<std::string, qor::metrics::MetricKind> kinds;
  for (const auto& sample : registry.Snapshot()) kinds[sample.name] = sample.kind;
  using Kind = qor::metrics::MetricKind;
  EXPECT_EQ(kinds, (std::map<std::string, Kind>{{"work_group/queue/length", Kind::Gauge},
                                                {"work_group/queue/enqueue_freq", Kind::Frequency},
                                                {"work_group/queue/dequeue_freq", Kind::Frequency},
                                                {"work_group/item/queued_time", Kind::Latency},
                                                {"work_group/item/processing_time", Kind::Latency},
                                                {"work_group/thread/idle_count", Kind::Gauge}}));

  // Posts from several threads at once.
  std::atomic<int> done{0};
  std::vector<std::thread> posters;
  for (int t = 0; t < 4; ++t) {
    posters.emplace_back([&] {
      for (int i = 0; i < 25; ++i) ASSERT_TRUE(pool->Post(Item([&] { done.fetch_add(1); })));
    });
  }
  for (auto& poster : posters) poster.join();

  // The two IO workers were queued and dequeued too; they never finish processing while the pool runs.
  ASSERT_TRUE(WaitFor([&] { return LatencyCount("work_group/item/processing_time") == 100; }));
  EXPECT_EQ(done.load(), 100);
  EXPECT_EQ(Frequency("work_group/queue/enqueue_freq"), 102u);
  EXPECT_EQ(Frequency("work_group/queue/dequeue_freq"), 102u);
  EXPECT_EQ(LatencyCount("work_group/item/queued_time"), 102u);
  EXPECT_EQ(Gauge("work_group/queue/length"), 0);
  ASSERT_TRUE(WaitFor([&] { return Gauge("work_group/thread/idle_count") == 2; }));
  EXPECT_EQ(pool->IdleCount(), 2u);
}

TEST_F(WorkGroupTest, StartAfterStopMakesAFreshPoolAndRestartsTheIoLoops) {
  auto first = StartPool(1, 3);
  ASSERT_TRUE(first);
  EXPECT_FALSE(WorkGroup::Start(registry));  // one pool at a time
  EXPECT_EQ(WorkGroup::Instance(), first);
  ASSERT_TRUE(IoWorkersRunning());
  WorkGroup::Stop();
  EXPECT_EQ(WorkGroup::Instance(), nullptr);
  EXPECT_FALSE(first->Running());
  EXPECT_FALSE(first->Post(Item([] {})));

  auto second = StartPool(1, 3);
  ASSERT_TRUE(second);
  EXPECT_NE(second, first);
  ASSERT_TRUE(IoWorkersRunning());
  std::atomic<bool> ran{false};
  ASSERT_TRUE(second->Post(Item([&] { ran = true; })));
  EXPECT_TRUE(WaitFor([&] { return ran.load(); }));
}

TEST_F(WorkGroupTest, StopFromAPoolThreadNeverJoinsItself) {
  std::weak_ptr<WorkGroup> pool = StartPool(1, 3);
  ASSERT_FALSE(pool.expired());
  auto stopped = std::make_shared<std::atomic<bool>>(false);
  ASSERT_TRUE(pool.lock()->Post(Item([stopped] {
    WorkGroup::Stop();
    *stopped = true;
  })));
  ASSERT_TRUE(WaitFor([&] { return stopped->load(); }));
  EXPECT_EQ(WorkGroup::Instance(), nullptr);
  // The stopping thread finishes its loop and drops the last reference to the pool.
  EXPECT_TRUE(WaitFor([&] { return pool.expired(); }));
}

TEST_F(WorkGroupTest, MaximumQueueLengthRefusesFurtherItems) {
  WorkGroup pool(registry, 2);
  pool.StartThreads(0);  // nothing takes items off the queue
  EXPECT_TRUE(pool.Post(Item([] {})));
  EXPECT_TRUE(pool.Post(Item([] {})));
  EXPECT_FALSE(pool.Post(Item([] {})));
  EXPECT_FALSE(pool.Post(nullptr));
  EXPECT_EQ(pool.QueueLength(), 2u);
}

TEST_F(WorkGroupTest, AFailingItemIsLoggedAndItsThreadCarriesOn) {
  qor::test::LogCapture log(LOG_LEVEL_INFO);
  auto pool = StartPool(1, 3);
  ASSERT_TRUE(pool);
  std::atomic<bool> after{false};
  ASSERT_TRUE(pool->Post(Item([] { throw std::runtime_error("boom"); })));
  ASSERT_TRUE(pool->Post(Item([&] { after = true; })));
  ASSERT_TRUE(WaitFor([&] { return after.load(); }));
  EXPECT_EQ(log.Count({"WorkGroup: work item failed: boom", "level=\"error\""}), 1u);
}

class Looper : public qor::RefCounted<Looper, qor::IRefCountable> {
 public:
  explicit Looper(std::atomic<int>* destroyed) : _destroyed(destroyed) {}
  ~Looper() override { _destroyed->fetch_add(1); }
  void Loop() { runs.fetch_add(1); }
  std::atomic<int> runs{0};

 private:
  std::atomic<int>* _destroyed;
};

TEST_F(WorkGroupTest, BoundItemKeepsItsObjectUntilItHasRun) {
  auto pool = StartPool(1, 3);
  ASSERT_TRUE(pool);
  std::atomic<int> destroyed{0};
  qor::RefPtr<Looper> looper(new Looper(&destroyed));
  auto item = std::make_shared<WorkItemImpl<Looper>>(&Looper::Loop, looper);
  EXPECT_EQ(item->Object(), looper.get());
  Looper* raw = looper.get();
  looper.reset();
  EXPECT_EQ(destroyed.load(), 0);  // the item holds it
  ASSERT_TRUE(pool->Post(std::move(item)));
  ASSERT_TRUE(WaitFor([&] { return destroyed.load() == 1; }));
  (void)raw;
}

class Ticker : public qor::RefCounted<Ticker, qor::IRefCountable> {
 public:
  void Tick() {
    thread = std::this_thread::get_id();
    fired.fetch_add(1);
  }
  std::atomic<int> fired{0};
  std::thread::id thread;
};

TEST_F(WorkGroupTest, TimersOnBothIoContextsFireOnPoolThreads) {
  auto pool = StartPool(2, 4);
  ASSERT_TRUE(pool);
  qor::RefPtr<Ticker> onA(new Ticker());
  qor::RefPtr<Ticker> onB(new Ticker());
  auto timerA = std::make_shared<AsyncTimer<Ticker>>(WorkGroup::IoContextA(), &Ticker::Tick, onA);
  auto timerB = std::make_shared<AsyncTimer<Ticker>>(WorkGroup::IoContextB(), &Ticker::Tick, onB);
  timerA->Start(0);
  timerB->Start(100);
  ASSERT_TRUE(WaitFor([&] { return onA->fired.load() == 1 && onB->fired.load() == 1; }));
  EXPECT_NE(onA->thread, std::this_thread::get_id());
  EXPECT_NE(onB->thread, std::this_thread::get_id());
}

}  // namespace
}  // namespace VevUroro
