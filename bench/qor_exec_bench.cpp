// Throughput of the execution model: items through the worker pool, and items through a MsgQueue between two
// threads.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "core/Logger.h"
#include "core/MsgQueue.h"
#include "core/ThreadCounts.h"
#include "core/WorkGroup.h"

namespace {

using VevUroro::MsgQueue;
using VevUroro::WorkGroup;
using VevUroro::WorkItem;

// Counts down and wakes the benchmark thread when the batch is done.
struct Batch {
  std::mutex mutex;
  std::condition_variable done;
  int remaining = 0;
  void Reset(int count) {
    std::lock_guard<std::mutex> lock(mutex);
    remaining = count;
  }
  void Finish() {
    std::lock_guard<std::mutex> lock(mutex);
    if (--remaining == 0) done.notify_one();
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(mutex);
    done.wait(lock, [this] { return remaining == 0; });
  }
};

class CountItem : public WorkItem {
 public:
  explicit CountItem(Batch* batch) : _batch(batch) {}
  void Run() override { _batch->Finish(); }

 private:
  Batch* _batch;
};

// Post -> Run: a batch of short items posted from one thread, run by `range(0)` free pool threads.
void BM_WorkGroupPostRun(benchmark::State& state) {
  const auto freeThreads = static_cast<uint32_t>(state.range(0));
  const int batchSize = 1000;
  VevUroro::SetLogLevel(VevUroro::LOG_LEVEL_ERROR);
  VevUroro::SetConfiguredThreadCounts(1, 2 + freeThreads);  // two threads go to the IO workers
  qor::metrics::Registry registry;
  WorkGroup::Start(registry);
  auto pool = WorkGroup::Instance();
  Batch batch;
  for (auto _ : state) {
    batch.Reset(batchSize);
    for (int i = 0; i < batchSize; ++i) pool->Post(std::make_shared<CountItem>(&batch));
    batch.Wait();
  }
  WorkGroup::Stop();
  state.SetItemsProcessed(state.iterations() * batchSize);
  auto queued = registry.GetLatency("work_group/item/queued_time");
  state.counters["queued_us_mean"] = static_cast<double>(queued->Mean());
}
BENCHMARK(BM_WorkGroupPostRun)->Arg(1)->Arg(2)->UseRealTime();

// Put/Get between a producer (the benchmark thread) and one consumer thread on an unbounded blocking queue.
void BM_MsgQueuePutGet(benchmark::State& state) {
  const int batchSize = 10000;
  MsgQueue<uint64_t> queue(MsgQueue<uint64_t>::kUnbounded, true, true);
  Batch batch;
  std::thread consumer([&] {
    uint64_t value;
    while (queue.Get(value)) batch.Finish();
  });
  for (auto _ : state) {
    batch.Reset(batchSize);
    for (int i = 0; i < batchSize; ++i) queue.Put(static_cast<uint64_t>(i));
    batch.Wait();
  }
  queue.Close();
  consumer.join();
  state.SetItemsProcessed(state.iterations() * batchSize);
}
BENCHMARK(BM_MsgQueuePutGet)->UseRealTime();

// The same through a small bounded queue, so the producer keeps blocking for room.
void BM_MsgQueuePutGetBounded(benchmark::State& state) {
  const int batchSize = 10000;
  MsgQueue<uint64_t> queue(64, true, true);
  Batch batch;
  std::thread consumer([&] {
    uint64_t value;
    while (queue.Get(value)) batch.Finish();
  });
  for (auto _ : state) {
    batch.Reset(batchSize);
    for (int i = 0; i < batchSize; ++i) queue.Put(static_cast<uint64_t>(i));
    batch.Wait();
  }
  queue.Close();
  consumer.join();
  state.SetItemsProcessed(state.iterations() * batchSize);
}
BENCHMARK(BM_MsgQueuePutGetBounded)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
