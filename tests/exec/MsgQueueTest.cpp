#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/MsgQueue.h"
#include "support/LogCapture.h"
#include "support/Wait.h"

namespace VevUroro {
namespace {

using qor::test::WaitFor;

TEST(MsgQueueTest, HandsItemsOutInOrder) {
  MsgQueue<int> queue(MsgQueue<int>::kUnbounded, true, true);
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(queue.Put(i));
  EXPECT_EQ(queue.Size(), 100u);
  for (int i = 0; i < 100; ++i) {
    int value = -1;
    ASSERT_TRUE(queue.Get(value));
    EXPECT_EQ(value, i);
  }
  EXPECT_EQ(queue.Size(), 0u);
}

// A producer with many items puts them quietly and wakes the consumer once; the consumer takes them in order, at
// most as many at a time as it asks for, and a quiet producer held up by a full queue still lets it drain.
TEST(MsgQueueTest, QuietPutsReachAConsumerInOrderOnceWokenOrWhenTheQueueFills) {
  MsgQueue<int> queue(MsgQueue<int>::kUnbounded, true, true);
  std::deque<int> taken;
  std::thread consumer([&] {
    while (taken.size() < 10) {
      const size_t before = taken.size();
      if (!queue.GetAll(taken, 4)) return;
      EXPECT_LE(taken.size() - before, 4u);
    }
  });
  ASSERT_TRUE(WaitFor([&] { return queue.WaitingConsumers() == 1; }));
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(queue.PutQuietly(int(i)));
  queue.Wake();
  consumer.join();
  EXPECT_EQ(taken, (std::deque<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));

  MsgQueue<int> bounded(2, true, true);
  std::vector<int> drained;
  std::thread reader([&] {
    std::vector<int> some;
    while (drained.size() < 50 && bounded.GetAll(some, 3)) {
      drained.insert(drained.end(), some.begin(), some.end());
      some.clear();
    }
  });
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(bounded.PutQuietly(int(i)));
  bounded.Wake();
  reader.join();
  ASSERT_EQ(drained.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(drained[static_cast<size_t>(i)], i);

  bounded.Close();
  EXPECT_FALSE(bounded.PutQuietly(1));
  std::vector<int> none;
  EXPECT_FALSE(bounded.GetAll(none, 3));
  EXPECT_TRUE(none.empty());
}

TEST(MsgQueueTest, ConsumerWaitsUntilAProducerPuts) {
  MsgQueue<std::string> queue(MsgQueue<std::string>::kUnbounded, true, true);
  std::string received;
  bool got = false;
  std::thread consumer([&] { got = queue.Get(received); });
  ASSERT_TRUE(WaitFor([&] { return queue.WaitingConsumers() == 1; }));
  ASSERT_TRUE(queue.Put("hello"));
  consumer.join();
  EXPECT_TRUE(got);
  EXPECT_EQ(received, "hello");
  EXPECT_EQ(queue.WaitingConsumers(), 0u);
}

TEST(MsgQueueTest, ProducerBlockedOnFullQueueWakesWhenRoomAppears) {
  MsgQueue<int> queue(2, true, true);
  ASSERT_TRUE(queue.Put(1));
  ASSERT_TRUE(queue.Put(2));
  bool put = false;
  std::thread producer([&] { put = queue.Put(3); });
  ASSERT_TRUE(WaitFor([&] { return queue.WaitingProducers() == 1; }));
  EXPECT_EQ(queue.Size(), 2u);  // still waiting: the third item is not in

  int value = 0;
  ASSERT_TRUE(queue.Get(value));
  EXPECT_EQ(value, 1);
  producer.join();
  EXPECT_TRUE(put);
  ASSERT_TRUE(queue.Get(value));
  EXPECT_EQ(value, 2);
  ASSERT_TRUE(queue.Get(value));
  EXPECT_EQ(value, 3);
}

TEST(MsgQueueTest, NonBlockingFullQueueLogsAndLeavesTheItemWithTheCaller) {
  qor::test::LogCapture log;
  MsgQueue<std::unique_ptr<int>> queue(1, false, true);
  ASSERT_TRUE(queue.Put(std::make_unique<int>(1)));
  auto second = std::make_unique<int>(2);
  EXPECT_FALSE(queue.Put(std::move(second)));
  ASSERT_NE(second, nullptr);  // a failed Put does not take the item
  EXPECT_EQ(*second, 2);
  EXPECT_EQ(queue.Size(), 1u);
  EXPECT_EQ(log.Count({"] Msg Queue is full!", "level=\"error\"", "errorCode=\"LCP00008\""}), 1u);
}

TEST(MsgQueueTest, NonBlockingEmptyQueueReturnsAtOnce) {
  MsgQueue<int> queue(MsgQueue<int>::kUnbounded, true, false);
  int value = 7;
  EXPECT_FALSE(queue.Get(value));
  EXPECT_EQ(value, 7);
}

// The idle hook runs once per burst, as the consumer is about to wait after taking items, and without the queue's
// lock: here it puts an item into the very queue (it would deadlock under the lock), which the consumer then takes
// instead of waiting. A consumer that has taken nothing since it last waited, and a non-blocking queue, never call it.
std::atomic<int> g_idleCalls{0};
MsgQueue<int>* g_idleQueue = nullptr;
void PutOnceWhenIdle() {
  if (g_idleCalls.fetch_add(1) == 0) g_idleQueue->Put(99);
}

TEST(MsgQueueTest, AConsumerGoingIdleAfterABurstCallsTheHookOnceWithoutTheLock) {
  MsgQueue<int> queue(MsgQueue<int>::kUnbounded, true, true);
  g_idleQueue = &queue;
  g_idleCalls = 0;
  SetQueueIdleHook(PutOnceWhenIdle);
  for (int i = 1; i <= 3; ++i) ASSERT_TRUE(queue.Put(i));
  std::vector<int> taken;
  std::thread consumer([&] {
    int value = 0;
    while (queue.Get(value)) taken.push_back(value);
  });
  // After the burst: one call, whose item is taken at once; then another (that item was taken too), then a wait.
  ASSERT_TRUE(WaitFor([&] { return queue.WaitingConsumers() == 1 && g_idleCalls.load() == 2; }));
  ASSERT_TRUE(queue.Put(4));
  ASSERT_TRUE(WaitFor([&] { return queue.WaitingConsumers() == 1 && g_idleCalls.load() == 3; }));
  queue.Close();
  consumer.join();
  EXPECT_EQ(taken, (std::vector<int>{1, 2, 3, 99, 4}));
  EXPECT_EQ(g_idleCalls.load(), 3);

  // A consumer that waits before it took anything does not call it.
  MsgQueue<int> empty(MsgQueue<int>::kUnbounded, true, true);
  std::thread waiter([&] {
    int value = 0;
    while (empty.Get(value)) {
    }
  });
  ASSERT_TRUE(WaitFor([&] { return empty.WaitingConsumers() == 1; }));
  empty.Close();
  waiter.join();
  EXPECT_EQ(g_idleCalls.load(), 3);

  MsgQueue<int> nonBlocking(MsgQueue<int>::kUnbounded, true, false);
  ASSERT_TRUE(nonBlocking.Put(1));
  int value = 0;
  EXPECT_TRUE(nonBlocking.Get(value));
  EXPECT_FALSE(nonBlocking.Get(value));
  EXPECT_EQ(g_idleCalls.load(), 3);
  SetQueueIdleHook(nullptr);
}

TEST(MsgQueueTest, ClosedQueueFailsSilently) {
  qor::test::LogCapture log;
  MsgQueue<int> queue(1, false, true);
  ASSERT_TRUE(queue.Put(1));
  queue.Close();
  EXPECT_FALSE(queue.IsOpen());
  EXPECT_FALSE(queue.Put(2));  // closed wins over full: no "full" line
  int value = 0;
  EXPECT_FALSE(queue.Get(value));
  EXPECT_TRUE(log.Lines().empty());
}

TEST(MsgQueueTest, CloseWakesEveryWaiter) {
  MsgQueue<int> empty(MsgQueue<int>::kUnbounded, true, true);
  MsgQueue<int> full(1, true, true);
  ASSERT_TRUE(full.Put(1));

  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&] {
      int value;
      if (!empty.Get(value)) ++failures;
    });
    threads.emplace_back([&] {
      if (!full.Put(2)) ++failures;
    });
  }
  ASSERT_TRUE(WaitFor([&] { return empty.WaitingConsumers() == 3 && full.WaitingProducers() == 3; }));
  empty.Close();
  full.Close();
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 6);
}

TEST(MsgQueueTest, DrainWaiterWakesWhenTheLastItemIsTaken) {
  MsgQueue<int> queue(MsgQueue<int>::kUnbounded, true, true);
  ASSERT_TRUE(queue.Put(1));
  ASSERT_TRUE(queue.Put(2));
  std::atomic<bool> drained{false};
  std::thread waiter([&] { drained = queue.WaitUntilDrained(); });
  int value;
  ASSERT_TRUE(queue.Get(value));
  ASSERT_TRUE(queue.Get(value));
  waiter.join();
  EXPECT_TRUE(drained.load());
}

// Several producers and consumers on a small blocking queue: every item arrives exactly once.
TEST(MsgQueueTest, ManyProducersAndConsumersLoseNothing) {
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 5000;
  MsgQueue<std::pair<int, int>> queue(64, true, true);
  std::vector<std::vector<int>> seen(kProducers);
  std::mutex seenMutex;
  std::vector<std::thread> threads;
  for (int c = 0; c < 3; ++c) {
    threads.emplace_back([&] {
      std::pair<int, int> item;
      while (queue.Get(item)) {
        if (item.first < 0) return;
        std::lock_guard<std::mutex> lock(seenMutex);
        seen[item.first].push_back(item.second);
      }
    });
  }
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) ASSERT_TRUE(queue.Put({p, i}));
    });
  }
  for (auto& producer : producers) producer.join();
  for (int c = 0; c < 3; ++c) ASSERT_TRUE(queue.Put({-1, 0}));
  for (auto& thread : threads) thread.join();
  for (int p = 0; p < kProducers; ++p) {
    ASSERT_EQ(seen[p].size(), static_cast<size_t>(kPerProducer));
    std::vector<int> sorted = seen[p];
    std::sort(sorted.begin(), sorted.end());
    for (int i = 0; i < kPerProducer; ++i) ASSERT_EQ(sorted[i], i);
  }
}

}  // namespace
}  // namespace VevUroro
