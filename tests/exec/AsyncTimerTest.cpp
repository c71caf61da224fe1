#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <thread>
#include <vector>

#include "core/AsyncTimer.h"
#include "support/LogCapture.h"
#include "platform/RefCounted.h"
#include "support/Wait.h"

namespace VevUroro {
namespace {

using Clock = std::chrono::steady_clock;
using qor::test::WaitFor;

class Owner : public qor::RefCounted<Owner, qor::IRefCountable> {
 public:
  void Fire() {
    fired.fetch_add(1);
    if (rearm.load() > 0) {
      rearm.fetch_sub(1);
      timer->Start(0);
    }
  }
  void FireWith(uint64_t argument) { arguments.push_back(argument); }

  std::atomic<int> fired{0};
  std::atomic<int> rearm{0};
  std::vector<uint64_t> arguments;
  std::shared_ptr<AsyncTimer<Owner>> timer;  // set only by tests that re-arm from the callback
};

std::string Address(const void* pointer) {
  return std::to_string(reinterpret_cast<uintptr_t>(pointer));
}

// Timers on a private IO context that the test thread turns itself, so every step is deterministic.
class AsyncTimerTest : public ::testing::Test {
 protected:
  std::shared_ptr<AsyncTimer<Owner>> MakeTimer() {
    return std::make_shared<AsyncTimer<Owner>>(context, &Owner::Fire, owner);
  }
  // Runs one handler, waiting for it at most the bound. A context that ran out of work stops itself: restart it.
  size_t RunOne() {
    if (context.stopped()) context.restart();
    return context.run_one_for(std::chrono::seconds(20));
  }

  qor::test::LogCapture log;
  boost::asio::io_context context;
  qor::RefPtr<Owner> owner{new Owner()};
};

TEST_F(AsyncTimerTest, ZeroIntervalFiresOnTheNextTurnAndOnlyOnce) {
  auto timer = MakeTimer();
  timer->Start(0);
  EXPECT_TRUE(timer->Pending());
  EXPECT_EQ(owner->fired.load(), 0);  // never from inside Start
  ASSERT_EQ(RunOne(), 1u);
  EXPECT_EQ(owner->fired.load(), 1);
  EXPECT_FALSE(timer->Pending());
  EXPECT_EQ(context.poll(), 0u);
  EXPECT_EQ(owner->fired.load(), 1);
}

TEST_F(AsyncTimerTest, ArgumentCallbackReceivesItsArgument) {
  auto timer = std::make_shared<AsyncTimer<Owner>>(context, &Owner::FireWith, 42u, owner);
  timer->Start(0);
  ASSERT_EQ(RunOne(), 1u);
  EXPECT_EQ(owner->arguments, std::vector<uint64_t>{42});
  EXPECT_EQ(owner->fired.load(), 0);
}

TEST_F(AsyncTimerTest, CallbackThatStartsAgainMakesAPeriodicTimer) {
  owner->timer = MakeTimer();
  owner->rearm = 2;
  owner->timer->Start(0);
  while (owner->fired.load() < 3 && RunOne() == 1) {
  }
  EXPECT_EQ(owner->fired.load(), 3);
  EXPECT_EQ(context.poll(), 0u);
  owner->timer.reset();  // the timer holds the owner: break the cycle
}

TEST_F(AsyncTimerTest, RearmingAbortsTheOldWaitWithoutCallingTheOwner) {
  auto timer = MakeTimer();
  timer->Start(3600ull * 1000 * 1000);
  timer->Start(0);
  while (owner->fired.load() == 0 && RunOne() == 1) {
  }
  EXPECT_EQ(owner->fired.load(), 1);
  EXPECT_EQ(context.poll(), 0u);
  boost::system::error_code aborted = boost::asio::error::operation_aborted;
  std::string text =
      "] timer callback failed, Error code : " + std::to_string(aborted.value()) + ", " + aborted.message();
  EXPECT_EQ(log.Count({text, "level=\"error\"", "errorCode=\"LCP00113\""}), 1u)
      << ::testing::PrintToString(log.Lines());
}

// Completion queued first: the IO context's single turn moves the expired wait to its ready queue behind a handler
// posted earlier, and runs only that handler.
TEST_F(AsyncTimerTest, QueuedCompletionCallsTheOwnerOnTheNextTurn) {
  auto timer = MakeTimer();
  timer->Start(0);
  std::atomic<bool> marker{false};
  boost::asio::post(context, [&] { marker = true; });
  ASSERT_EQ(context.poll_one(), 1u);
  ASSERT_TRUE(marker.load());
  EXPECT_EQ(owner->fired.load(), 0);
  ASSERT_EQ(context.poll_one(), 1u);
  EXPECT_EQ(owner->fired.load(), 1);
}

TEST_F(AsyncTimerTest, CancelAfterTheCompletionWasQueuedCallsNothing) {
  auto timer = MakeTimer();
  timer->Start(0);
  std::atomic<bool> marker{false};
  boost::asio::post(context, [&] { marker = true; });
  ASSERT_EQ(context.poll_one(), 1u);  // as above: the completion now waits in the ready queue
  ASSERT_TRUE(marker.load());
  timer->Cancel();
  EXPECT_TRUE(timer->Cancelled());
  EXPECT_FALSE(timer->Pending());
  ASSERT_EQ(context.poll_one(), 1u);
  EXPECT_EQ(owner->fired.load(), 0);
  EXPECT_EQ(log.Count({"] Ignoring timer callback triggered for cancelled timer", "level=\"debug\""}), 1u);
  EXPECT_EQ(log.Count("] Timer cancelled"), 1u);
  EXPECT_EQ(log.Count("LCP00113"), 0u);
}

TEST_F(AsyncTimerTest, CancelBeforeExpiryAndStartAgain) {
  auto timer = MakeTimer();
  timer->Start(3600ull * 1000 * 1000);
  timer->Cancel();
  ASSERT_EQ(RunOne(), 1u);  // the aborted wait
  EXPECT_EQ(owner->fired.load(), 0);
  EXPECT_EQ(log.Count("] Ignoring timer callback triggered for cancelled timer"), 1u);
  EXPECT_EQ(log.Count("LCP00113"), 0u);

  timer->Start(0);  // clears the cancelled flag
  EXPECT_FALSE(timer->Cancelled());
  ASSERT_EQ(RunOne(), 1u);
  EXPECT_EQ(owner->fired.load(), 1);
}

TEST_F(AsyncTimerTest, OwnerGoneSilencesAPendingCompletion) {
  auto timer = MakeTimer();
  timer->Start(0);
  timer->SetOwnerGone();
  ASSERT_EQ(RunOne(), 1u);
  EXPECT_EQ(owner->fired.load(), 0);
  EXPECT_EQ(log.Count("] Ignoring timer callback triggered for cancelled timer"), 1u);
}

TEST_F(AsyncTimerTest, HugeIntervalSaturatesAndNeverFires) {
  auto timer = MakeTimer();
  timer->Start(UINT64_MAX);
  EXPECT_EQ(timer->Expiry(), Clock::time_point::max());
  EXPECT_TRUE(timer->Pending());
  EXPECT_EQ(context.poll(), 0u);
  EXPECT_EQ(owner->fired.load(), 0);
  timer->Cancel();
  ASSERT_EQ(RunOne(), 1u);
  EXPECT_EQ(owner->fired.load(), 0);
}

TEST_F(AsyncTimerTest, ExpiryArithmeticSaturatesAtTheClockLimit) {
  using Micro = AsyncTimer<Owner>;
  using Seconds = AsyncTimer<Owner, TimerSeconds>;
  const Clock::time_point epoch{};
  const int64_t maxNanos = Clock::time_point::max().time_since_epoch().count();
  EXPECT_EQ(Micro::ExpiryAfter(epoch, 3), epoch + std::chrono::microseconds(3));
  EXPECT_EQ(Seconds::ExpiryAfter(epoch, 3), epoch + std::chrono::seconds(3));
  EXPECT_EQ(Micro::ExpiryAfter(epoch, maxNanos / 1000), epoch + std::chrono::microseconds(maxNanos / 1000));
  EXPECT_EQ(Micro::ExpiryAfter(epoch, maxNanos / 1000 + 1), Clock::time_point::max());
  EXPECT_EQ(Micro::ExpiryAfter(Clock::time_point::max() - std::chrono::nanoseconds(10), 1), Clock::time_point::max());
  EXPECT_EQ(Micro::ExpiryAfter(Clock::time_point::max(), 0), Clock::time_point::max());
  EXPECT_EQ(Seconds::ExpiryAfter(epoch, UINT64_MAX / 1000), Clock::time_point::max());  // no wrap in the product
  EXPECT_EQ(Micro::ExpiryAfter(epoch, UINT64_MAX), Clock::time_point::max());
}

TEST_F(AsyncTimerTest, HealthMonitorTimerCountsSeconds) {
  static_assert(std::is_same_v<TimerUnitFor<class DaemonHealthMonitor>::type, TimerSeconds>);
  static_assert(std::is_same_v<TimerUnitFor<Owner>::type, TimerMicroseconds>);
  auto timer = std::make_shared<AsyncTimer<Owner, TimerSeconds>>(context, &Owner::Fire, owner);
  auto before = Clock::now();
  timer->Start(3);
  auto after = Clock::now();
  EXPECT_GE(timer->Expiry(), before + std::chrono::seconds(3));
  EXPECT_LE(timer->Expiry(), after + std::chrono::seconds(3));
  timer->Cancel();
}

TEST_F(AsyncTimerTest, ConstructionAndDestructionAreLoggedAtDebug) {
  auto timer = MakeTimer();
  const void* address = timer.get();
  EXPECT_EQ(log.Count({"] AsyncTimer construct, timerObj is " + Address(address) + ", pObj is " + Address(owner.get()),
                       "level=\"debug\""}),
            1u);
  timer.reset();
  EXPECT_EQ(log.Count("] AsyncTimer destruct, timerObj is " + Address(address) + ", pObj is " + Address(owner.get())),
            1u);
}

TEST_F(AsyncTimerTest, FailedStartIsLoggedAndLeavesTheTimerUnarmed) {
  // Not held by a shared pointer: the wait cannot hold the timer, so starting it fails.
  AsyncTimer<Owner> timer(context, &Owner::Fire, owner);
  timer.Start(7);
  EXPECT_FALSE(timer.Pending());
  EXPECT_EQ(log.Count({"] async_wait failed, interval 7 us, error : ", "level=\"error\"", "errorCode=\"LCP00113\""}),
            1u);
  EXPECT_EQ(context.poll(), 0u);
  EXPECT_EQ(owner->fired.load(), 0);
}

// One thread runs the context and the timer re-arms itself from its callback while another thread starts and
// cancels it: no lost state, no race (run under ThreadSanitizer), and after the final Cancel nothing fires.
TEST_F(AsyncTimerTest, StartAndCancelFromAnotherThreadWhileItFires) {
  auto guard = boost::asio::make_work_guard(context);
  std::thread runner([&] { context.run(); });
  owner->timer = MakeTimer();
  owner->rearm = 1 << 30;
  owner->timer->Start(0);
  ASSERT_TRUE(WaitFor([&] { return owner->fired.load() > 10; }));
  for (int i = 0; i < 500; ++i) {
    owner->timer->Start(i % 3);
    if (i % 2) owner->timer->Cancel();
  }
  owner->rearm = 0;
  owner->timer->Cancel();
  // Drain whatever completions are still in flight, then check that the count no longer moves.
  auto drained = std::make_shared<std::atomic<bool>>(false);
  boost::asio::post(context, [drained] { *drained = true; });
  ASSERT_TRUE(WaitFor([&] { return drained->load(); }));
  guard.reset();
  runner.join();
  context.restart();
  context.poll();
  int settled = owner->fired.load();
  EXPECT_EQ(context.poll(), 0u);
  EXPECT_EQ(owner->fired.load(), settled);
  owner->timer.reset();
}

}  // namespace
}  // namespace VevUroro
