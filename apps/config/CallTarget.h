// A target that callbacks reach through until its owner detaches it: kernel-link observers and timer callbacks are
// stored in objects that may outlive their owner (a link's loops, a timer's pending wait), so they call through a
// shared CallTarget instead of holding the owner. Detach waits for calls in flight and makes later calls no-ops.
//
// Calls may run on several threads at once (shared lock); Detach must not be called from inside a call, nor while
// holding a lock that a call takes.
#pragma once

#include <mutex>
#include <shared_mutex>

namespace VevUroro {

template <typename T>
class CallTarget {
 public:
  explicit CallTarget(T* target) : _target(target) {}

  template <typename Function>
  void Call(Function&& function) {
    std::shared_lock<std::shared_mutex> lock(_mutex);
    if (_target) function(*_target);
  }
  void Detach() {
    std::unique_lock<std::shared_mutex> lock(_mutex);
    _target = nullptr;
  }

 private:
  std::shared_mutex _mutex;
  T* _target;
};

}  // namespace VevUroro
