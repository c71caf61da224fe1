#include "core/WorkGroup.h"

#include <exception>

#include "core/AgentLock.h"
#include "core/IOWorker.h"
#include "core/Logger.h"
#include "core/ThreadCounts.h"

namespace VevUroro {
namespace {

// The process's pool and its IO workers. Never destroyed: pool threads may outlive static destruction.
struct ProcessPool {
  std::mutex mutex;
  std::shared_ptr<WorkGroup> instance;
  std::vector<boost::intrusive_ptr<IOWorker>> ioWorkers;
};

ProcessPool& Process() {
  static ProcessPool* pool = new ProcessPool();
  return *pool;
}

uint64_t Microseconds(WorkItem::Clock::duration duration) {
  auto us = std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
  return us < 0 ? 0 : static_cast<uint64_t>(us);
}

void PostIoWorker(WorkGroup& pool, ProcessPool& process, boost::asio::io_context& context) {
  boost::intrusive_ptr<IOWorker> worker(new IOWorker(context));
  process.ioWorkers.push_back(worker);
  pool.PostLongRunning(std::make_shared<WorkItemImpl<IOWorker>>(&IOWorker::Run, worker),
                       [worker] { worker->DropGuard(); });
}

}  // namespace

bool WorkGroup::Start(qor::metrics::Registry& registry) {
  uint32_t ioThreads;
  uint32_t workThreads;
  {
    AgentLockGuard guard(AgentLock());
    ioThreads = ConfiguredIoThreads();
    workThreads = ConfiguredWorkThreads();
  }

  auto& process = Process();
  std::lock_guard<std::mutex> lock(process.mutex);
  if (process.instance) return false;
  if (ioThreads == 0) {
    // Nothing would run IO context A: no timer of the links or applications would ever fire.
    Logger(LOG_LEVEL_WARN, "WorkGroup: ioThreads 0 leaves IO context A without a thread; running it with 1");
    ioThreads = 1;
  }
  const uint32_t ioWorkers = ioThreads + 1;
  if (workThreads < ioWorkers + kShortItemThreads) {
    Logger(LOG_LEVEL_WARN,
           "WorkGroup: workThreads %1 leave no thread for short work items beside the %2 IO workers; starting %3 "
           "threads",
           workThreads, ioWorkers, ioWorkers + kShortItemThreads);
    workThreads = ioWorkers + kShortItemThreads;
  }

  // A previous Stop left the contexts stopped; they must run again for the new workers.
  IoContextA().restart();
  IoContextB().restart();

  auto pool = std::make_shared<WorkGroup>(registry, -1);
  try {
    pool->StartThreads(workThreads);
    for (uint32_t i = 0; i < ioThreads; ++i) PostIoWorker(*pool, process, IoContextA());
    PostIoWorker(*pool, process, IoContextB());
  } catch (...) {
    for (auto& worker : process.ioWorkers) worker->DropGuard();
    process.ioWorkers.clear();
    IoContextA().stop();
    IoContextB().stop();
    pool->StopThreads();
    throw;
  }
  process.instance = pool;
  return true;
}

bool WorkGroup::Start(const std::shared_ptr<qor::metrics::Registry>& registry) {
  return registry ? Start(*registry) : false;
}

void WorkGroup::SetConfiguredThreadCounts(uint32_t ioThreads, uint32_t workThreads) {
  VevUroro::SetConfiguredThreadCounts(ioThreads, workThreads);
}

void WorkGroup::Stop() {
  auto& process = Process();
  std::shared_ptr<WorkGroup> pool;
  std::vector<boost::intrusive_ptr<IOWorker>> workers;
  {
    std::lock_guard<std::mutex> lock(process.mutex);
    pool = process.instance;
    workers.swap(process.ioWorkers);
  }
  for (auto& worker : workers) worker->DropGuard();
  workers.clear();
  // Stopping both loops makes every IO worker return even with a timer or socket wait outstanding; otherwise the
  // join below could wait for ever.
  IoContextA().stop();
  IoContextB().stop();

  if (pool) pool->StopThreads();

  std::lock_guard<std::mutex> lock(process.mutex);
  if (process.instance == pool) process.instance.reset();
}

std::shared_ptr<WorkGroup> WorkGroup::Instance() {
  auto& process = Process();
  std::lock_guard<std::mutex> lock(process.mutex);
  return process.instance;
}

boost::asio::io_context& WorkGroup::IoContextA() {
  static boost::asio::io_context* context = new boost::asio::io_context();
  return *context;
}

boost::asio::io_context& WorkGroup::IoContextB() {
  static boost::asio::io_context* context = new boost::asio::io_context();
  return *context;
}

WorkGroup::WorkGroup(qor::metrics::Registry& registry, int32_t maxQueueLength)
    : _maxQueueLength(maxQueueLength),
      _queueLengthGauge(registry.GetGauge("work_group/queue/length")),
      _enqueueFreq(registry.GetFrequencyCounter("work_group/queue/enqueue_freq")),
      _dequeueFreq(registry.GetFrequencyCounter("work_group/queue/dequeue_freq")),
      _queuedTime(registry.GetLatency("work_group/item/queued_time")),
      _processingTime(registry.GetLatency("work_group/item/processing_time")),
      _idleGauge(registry.GetGauge("work_group/thread/idle_count")) {}

WorkGroup::~WorkGroup() {
  try {
    StopThreads();
  } catch (...) {
    Logger(LOG_LEVEL_ERROR, "Failed to stop work group");
  }
}

void WorkGroup::StartThreads(uint32_t count) {
  std::lock_guard<std::mutex> lock(_queueMutex);
  _running = true;
  AddThreadsLocked(count);
}

void WorkGroup::AddThreadsLocked(uint32_t count) {
  // A thread keeps a shared pool alive, so a thread that stopped its own pool can finish its loop safely.
  std::shared_ptr<WorkGroup> self = weak_from_this().lock();
  std::lock_guard<std::mutex> lock(_threadsMutex);
  _threads.reserve(_threads.size() + count);
  for (uint32_t i = 0; i < count; ++i) {
    _threads.emplace_back([this, self] { WorkerLoop(); });
    ++_threadCount;
  }
}

void WorkGroup::StopThreads() {
  std::vector<std::function<void()>> stops;
  {
    std::lock_guard<std::mutex> lock(_queueMutex);
    _running = false;
    for (auto& [item, stop] : _longRunning) {
      if (stop) stops.push_back(stop);
    }
    _idleCondition.notify_all();
  }
  // Loops return only when told to; one still running would keep its thread from ever being joined.
  for (auto& stop : stops) stop();
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(_threadsMutex);
    threads.swap(_threads);
  }
  const auto me = std::this_thread::get_id();
  for (auto& thread : threads) {
    if (thread.get_id() == me) {
      thread.detach();  // never join oneself
    } else if (thread.joinable()) {
      thread.join();
    }
  }
}

bool WorkGroup::Post(std::shared_ptr<WorkItem> item) {
  if (!item) return false;
  std::lock_guard<std::mutex> lock(_queueMutex);
  if (!_running) return false;
  if (_maxQueueLength >= 0 && _queue.size() >= static_cast<size_t>(_maxQueueLength)) return false;
  EnqueueLocked(std::move(item));
  return true;
}

void WorkGroup::EnqueueLocked(std::shared_ptr<WorkItem> item) {
  item->SetEnqueueTime(WorkItem::Clock::now());
  _queue.push_back(std::move(item));
  _enqueueFreq->Mark();
  _queueLengthGauge->Set(static_cast<int64_t>(_queue.size()));
  if (_idleCount > 0) _idleCondition.notify_one();
}

bool WorkGroup::PostLongRunning(std::shared_ptr<WorkItem> item, std::function<void()> stop) {
  if (!item) return false;
  std::lock_guard<std::mutex> lock(_queueMutex);
  if (!_running) return false;
  if (_maxQueueLength >= 0 && _queue.size() >= static_cast<size_t>(_maxQueueLength)) return false;
  const uint32_t loops = static_cast<uint32_t>(_longRunning.size()) + 1;
  const uint32_t needed = loops + kShortItemThreads;
  if (_threadCount < needed) {
    Logger(LOG_LEVEL_WARN,
           "WorkGroup: %1 long-running loops hold a thread each; work threads raised from %2 to %3 so that short "
           "work items still run",
           loops, _threadCount, needed);
    AddThreadsLocked(needed - _threadCount);
  }
  item->MarkLongRunning();
  _longRunning.emplace(item.get(), std::move(stop));
  EnqueueLocked(std::move(item));
  return true;
}

void WorkGroup::WorkerLoop() {
  std::unique_lock<std::mutex> lock(_queueMutex);
  for (;;) {
    while (!_queue.empty()) {
      std::shared_ptr<WorkItem> item = std::move(_queue.front());
      _queue.pop_front();
      _dequeueFreq->Mark();
      _queueLengthGauge->Set(static_cast<int64_t>(_queue.size()));
      auto started = WorkItem::Clock::now();
      _queuedTime->Record(Microseconds(started - item->EnqueueTime()));
      lock.unlock();

      try {
        item->Run();
      } catch (const std::exception& e) {
        Logger(LOG_LEVEL_ERROR, "WorkGroup: work item failed: %1", e.what());
      } catch (...) {
        Logger(LOG_LEVEL_ERROR, "WorkGroup: work item failed: %1", "unknown exception");
      }
      _processingTime->Record(Microseconds(WorkItem::Clock::now() - started));

      if (item->LongRunning()) {
        // The item and its stop function may hold the last references to their owner: released without the lock.
        std::function<void()> stop;
        lock.lock();
        auto loop = _longRunning.find(item.get());
        if (loop != _longRunning.end()) {
          stop = std::move(loop->second);
          _longRunning.erase(loop);
        }
        lock.unlock();
      }
      item.reset();
      lock.lock();
    }
    if (!_running) return;
    ++_idleCount;
    _idleGauge->Set(_idleCount);
    _idleCondition.wait(lock);
    --_idleCount;
    _idleGauge->Set(_idleCount);
  }
}

bool WorkGroup::Running() const {
  std::lock_guard<std::mutex> lock(_queueMutex);
  return _running;
}

uint32_t WorkGroup::ThreadCount() const {
  std::lock_guard<std::mutex> lock(_queueMutex);
  return _threadCount;
}

uint32_t WorkGroup::IdleCount() const {
  std::lock_guard<std::mutex> lock(_queueMutex);
  return _idleCount;
}

size_t WorkGroup::QueueLength() const {
  std::lock_guard<std::mutex> lock(_queueMutex);
  return _queue.size();
}

size_t WorkGroup::LongRunningCount() const {
  std::lock_guard<std::mutex> lock(_queueMutex);
  return _longRunning.size();
}

}  // namespace VevUroro
