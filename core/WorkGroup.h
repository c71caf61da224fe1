// VevUroro::WorkGroup: the agent's pool of worker threads with one FIFO queue of work items.
//
// One pool per process is created by Start and reached through Instance(); start-up calls Start once the metrics
// registry exists, shutdown calls Stop. Start also posts the IO workers: ConfiguredIoThreads() workers (at least
// one) running IO context A and one running IO context B, each holding a pool thread until Stop.
//
// Long-running loops (IO workers, the dispatcher, the Tolvar client's writer, the kernel links' loops) are posted
// with PostLongRunning: each holds one thread until its stop function makes it return. The pool never lets them
// take its last thread: when a loop would leave no thread for short items, the pool adds one and logs it, so a
// configuration with too few work threads is mended as the loops start, not discovered as a hang at shutdown.
// Stop calls the stop function of every loop still running (or still queued) before it joins the threads, so a
// loop its owner forgot to end cannot keep Stop from returning.
//
// Start and Stop may be called more than once per process (tests do): Start after Stop creates a fresh pool and
// restarts both IO contexts; Start while a pool runs does nothing and returns false. Stop releases the IO workers,
// stops both IO contexts (so no pending timer or socket wait can hold an IO thread), clears the running flag and
// joins every pool thread except the calling one; items queued when Stop begins still run before their thread
// leaves. Stop called from a pool thread returns at once after joining the others; that thread leaves when its item
// returns.
//
// Threads: Post, Instance, IoContextA/B may be called from any thread. Items run with no pool lock held, and two
// items may run at once; callers serialise with their own locks or the agent lock. The queue mutex guards the queue,
// the running flag and the idle count; the idle condition waits under it.
//
// Metrics, registered at construction: "work_group/queue/length" (gauge), "work_group/queue/enqueue_freq" and
// "work_group/queue/dequeue_freq" (frequency counters), "work_group/item/queued_time" and
// "work_group/item/processing_time" (latencies in microseconds), "work_group/thread/idle_count" (gauge).
#pragma once

#include <boost/asio/io_context.hpp>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/WorkItem.h"
#include "platform/metrics/Metrics.h"

namespace VevUroro {

class WorkGroup : public std::enable_shared_from_this<WorkGroup> {
 public:
  // Process-wide operations.

  // Creates and starts the process's pool with ConfiguredWorkThreads() threads and posts the IO workers. Returns
  // false (and changes nothing) when a pool is already running. Thread creation failures throw std::system_error
  // after the threads already made are stopped.
  static bool Start(qor::metrics::Registry& registry);
  // The same with the provider's shared registry; false for a null registry.
  static bool Start(const std::shared_ptr<qor::metrics::Registry>& registry);
  // Stops the IO workers and the process's pool; Instance() is empty afterwards. No-op without a pool.
  static void Stop();
  // The process's pool; empty before Start and after Stop.
  static std::shared_ptr<WorkGroup> Instance();
  // The two process-wide event loops, created on first use and never destroyed. A is run by the IO workers of the
  // IO threads and serves kernel links, sockets and most timers; B is run by exactly one worker and serves only the
  // configuration application's timer.
  static boost::asio::io_context& IoContextA();
  static boost::asio::io_context& IoContextB();
  // Start-up's entry to the configured thread counts (core/ThreadCounts.h); takes the agent lock.
  static void SetConfiguredThreadCounts(uint32_t ioThreads, uint32_t workThreads);

  // One pool. Standalone pools (no IO workers) are for tests; the agent uses the one made by Start.
  // maxQueueLength -1 means unlimited.
  WorkGroup(qor::metrics::Registry& registry, int32_t maxQueueLength);
  // Stops the threads if they still run; a failure is logged as "Failed to stop work group".
  ~WorkGroup();
  WorkGroup(const WorkGroup&) = delete;
  WorkGroup& operator=(const WorkGroup&) = delete;

  // Sets the running flag and creates `count` threads running the worker loop. Call once, before posting.
  void StartThreads(uint32_t count);
  // Clears the running flag, calls the stop functions of the long-running items still registered, wakes idle
  // threads and joins every thread except the caller's own (detached instead). Queued items still run first. Safe
  // to call more than once and from a pool thread.
  void StopThreads();

  // Queues an item (its enqueue time is stamped now). Never blocks. False when the pool is not running, when a
  // maximum queue length is set and reached, or for a null item; the caller keeps the item then.
  bool Post(std::shared_ptr<WorkItem> item);
  // Queues an item that holds its thread until `stop` makes it return. Adds a thread (logged) when the loops would
  // otherwise hold every thread. `stop` is called by StopThreads if the item has not returned by then, possibly
  // before it ever ran, and must then make Run return promptly; it runs on the stopping thread with no pool lock
  // held and may be called after Run returned. Thread creation failures throw std::system_error (nothing queued).
  bool PostLongRunning(std::shared_ptr<WorkItem> item, std::function<void()> stop);

  bool Running() const;
  uint32_t ThreadCount() const;
  uint32_t IdleCount() const;
  size_t QueueLength() const;
  // Long-running items posted and not yet returned.
  size_t LongRunningCount() const;

  // Threads the pool keeps beside its long-running items for short ones.
  static constexpr uint32_t kShortItemThreads = 1;

 private:
  void WorkerLoop();
  // Creates `count` more threads; called with `_queueMutex` held.
  void AddThreadsLocked(uint32_t count);
  // Stamps and queues an item and wakes an idle thread; called with `_queueMutex` held.
  void EnqueueLocked(std::shared_ptr<WorkItem> item);

  uint32_t _threadCount = 0;
  int32_t _maxQueueLength;
  bool _running = false;
  uint32_t _idleCount = 0;
  std::deque<std::shared_ptr<WorkItem>> _queue;
  std::unordered_map<const WorkItem*, std::function<void()>> _longRunning;  // item -> its stop function
  mutable std::mutex _queueMutex;
  std::condition_variable _idleCondition;

  std::mutex _threadsMutex;
  std::vector<std::thread> _threads;

  std::shared_ptr<qor::metrics::Gauge> _queueLengthGauge;
  std::shared_ptr<qor::metrics::FrequencyCounter> _enqueueFreq;
  std::shared_ptr<qor::metrics::FrequencyCounter> _dequeueFreq;
  std::shared_ptr<qor::metrics::Latency> _queuedTime;
  std::shared_ptr<qor::metrics::Latency> _processingTime;
  std::shared_ptr<qor::metrics::Gauge> _idleGauge;
};

}  // namespace VevUroro
