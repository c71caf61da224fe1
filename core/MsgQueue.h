// VevUroro::MsgQueue<T>: a blocking FIFO that hands data from one thread to another.
//
// Construction fixes the capacity and whether producers wait for room (blockWhenFull) and consumers wait for an item
// (blockWhenEmpty); the agent's queues are unbounded (capacity 4294967295) and block both ways. Put, Get, Close and
// the observers may be called from any thread; one mutex guards the queue and all three conditions wait under it.
//
// Ownership: a successful Put takes the item; a failed Put leaves it with the caller (an rvalue is not moved from),
// who releases it. Close clears the open flag and wakes every waiter: from then on Put and Get fail (items still in
// the queue stay there and are destroyed with it).
//
// A blocking consumer that finds the queue empty after taking items since it last waited calls the process's idle
// hook (SetQueueIdleHook; none by default) before it waits, with no lock held: the end of a burst of work, where the
// process may tidy up (the agent lets its allocator return the pages the burst freed).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>

#include "core/Logger.h"

namespace VevUroro {

using QueueIdleHook = void (*)();

namespace msgqueue_detail {
inline std::atomic<QueueIdleHook> idleHook{nullptr};
}  // namespace msgqueue_detail

// Sets (or with nullptr clears) the hook every queue's consumer calls as it goes idle after a burst.
inline void SetQueueIdleHook(QueueIdleHook hook) {
  msgqueue_detail::idleHook.store(hook, std::memory_order_release);
}

template <typename T>
class MsgQueue {
 public:
  static constexpr uint32_t kUnbounded = 4294967295u;

  MsgQueue(uint32_t capacity, bool blockWhenFull, bool blockWhenEmpty)
      : _capacity(capacity), _blockWhenFull(blockWhenFull), _blockWhenEmpty(blockWhenEmpty) {}
  MsgQueue(const MsgQueue&) = delete;
  MsgQueue& operator=(const MsgQueue&) = delete;

  // Appends the item. A full queue makes a blocking producer wait for room; a non-blocking one logs
  // "Msg Queue is full!" with errorCode LCP00008 and fails. Fails silently when the queue is (or becomes) closed.
  bool Put(const T& item) { return PutImpl(item, true); }
  bool Put(T&& item) { return PutImpl(std::move(item), true); }
  // Put without waking a waiting consumer (one waiting for room still lets it know): for a producer that puts many
  // items in a row and then calls Wake once.
  bool PutQuietly(T&& item) { return PutImpl(std::move(item), false); }
  // Wakes the consumers waiting for an item when the queue holds one.
  void Wake() {
    std::lock_guard<std::mutex> lock(_mutex);
    if (_waitingConsumers > 0 && !_items.empty()) _itemAvailable.notify_all();
  }

  // Takes the oldest item into `item`. An empty queue makes a blocking consumer wait; a non-blocking one fails.
  // Fails when the queue is closed.
  bool Get(T& item) {
    struct Into {
      T& item;
      void push_back(T&& taken) { item = std::move(taken); }
    } into{item};
    return GetAll(into, 1);
  }

  // Moves up to `most` (and at least one) of the oldest items to the end of `out`, in order; waits for the first as Get
  // does. Fails, taking nothing, when the queue is closed or a non-blocking queue is empty.
  template <typename Container>
  bool GetAll(Container& out, size_t most) {
    std::unique_lock<std::mutex> lock(_mutex);
    for (;;) {
      if (!_open) return false;
      if (!_items.empty()) {
        size_t taken = 0;
        do {
          out.push_back(std::move(_items.front()));
          _items.pop_front();
        } while (++taken < most && !_items.empty());
        _takenSinceIdle = true;
        if (_waitingProducers > 0) _roomAvailable.notify_all();
        if (_items.empty()) _drained.notify_all();
        return true;
      }
      if (!_blockWhenEmpty) return false;
      if (_takenSinceIdle) {
        _takenSinceIdle = false;
        if (QueueIdleHook hook = msgqueue_detail::idleHook.load(std::memory_order_acquire)) {
          lock.unlock();
          hook();
          lock.lock();
          continue;  // an item may have come meanwhile
        }
      }
      ++_waitingConsumers;
      _itemAvailable.wait(lock);
      --_waitingConsumers;
    }
  }

  // Closes the queue and wakes every waiting producer, consumer and drain waiter.
  void Close() {
    std::lock_guard<std::mutex> lock(_mutex);
    _open = false;
    _itemAvailable.notify_all();
    _roomAvailable.notify_all();
    _drained.notify_all();
  }

  // Waits until the queue is empty or closed; true when it is empty and open.
  bool WaitUntilDrained() {
    std::unique_lock<std::mutex> lock(_mutex);
    _drained.wait(lock, [this] { return !_open || _items.empty(); });
    return _open;
  }

  // Drops every queued item (they are destroyed here) and returns how many there were.
  size_t Clear() {
    std::deque<T> dropped;
    {
      std::lock_guard<std::mutex> lock(_mutex);
      dropped.swap(_items);
      if (_waitingProducers > 0) _roomAvailable.notify_all();
      _drained.notify_all();
    }
    return dropped.size();
  }

  bool IsOpen() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _open;
  }
  size_t Size() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _items.size();
  }
  uint32_t Capacity() const { return _capacity; }
  uint32_t WaitingProducers() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _waitingProducers;
  }
  uint32_t WaitingConsumers() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _waitingConsumers;
  }

 private:
  template <typename U>
  bool PutImpl(U&& item, bool wake) {
    {
      std::unique_lock<std::mutex> lock(_mutex);
      if (!_open) return false;
      while (_items.size() >= _capacity) {
        if (!_blockWhenFull) break;
        if (_waitingConsumers > 0) _itemAvailable.notify_all();  // a quiet producer must not wait on its own items
        ++_waitingProducers;
        _roomAvailable.wait(lock);
        --_waitingProducers;
        if (_notifyOnRoom) _drained.notify_all();
        if (!_open) return false;
      }
      if (_items.size() < _capacity) {
        _items.push_back(std::forward<U>(item));
        if (wake && _waitingConsumers > 0) _itemAvailable.notify_all();
        return true;
      }
    }
    // Logged outside the lock; only a non-blocking queue gets here.
    Logger(LOG_LEVEL_ERROR, "Msg Queue is full!").AddTag("errorCode:LCP00008");
    return false;
  }

  std::deque<T> _items;
  const uint32_t _capacity;
  const bool _blockWhenFull;
  const bool _blockWhenEmpty;
  uint32_t _waitingProducers = 0;
  uint32_t _waitingConsumers = 0;
  bool _open = true;
  bool _takenSinceIdle = false;  // a consumer took items since one last waited
  const bool _notifyOnRoom = true;
  mutable std::mutex _mutex;
  std::condition_variable _itemAvailable;
  std::condition_variable _roomAvailable;
  std::condition_variable _drained;
};

}  // namespace VevUroro
