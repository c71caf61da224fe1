// Work items: the unit the worker pool (VevUroro::WorkGroup) runs.
//
// A WorkItem is held by std::shared_ptr; the pool writes its enqueue time under the pool's queue mutex when it is
// posted and calls Run once on one pool thread without any pool lock held. WorkItemImpl<T> binds a member function
// of T to a counted reference to a T object (T is counted with qor::RefPtr: an IRefCountable or a RefCounter<T>),
// so the object lives at least until the item has run and been released.
#pragma once

#include <boost/intrusive_ptr.hpp>
#include <chrono>
#include <utility>

namespace VevUroro {

class WorkItem {
 public:
  using Clock = std::chrono::steady_clock;

  WorkItem() = default;
  WorkItem(const WorkItem&) = delete;
  WorkItem& operator=(const WorkItem&) = delete;
  virtual ~WorkItem() = default;

  virtual void Run() = 0;

  Clock::time_point EnqueueTime() const { return _enqueueTime; }
  void SetEnqueueTime(Clock::time_point when) { _enqueueTime = when; }
  // Set by the pool (under its queue mutex, before the item is queued) for items posted as long-running loops.
  bool LongRunning() const { return _longRunning; }
  void MarkLongRunning() { _longRunning = true; }

 private:
  Clock::time_point _enqueueTime{};
  bool _longRunning = false;
};

template <typename T>
class WorkItemImpl : public WorkItem {
 public:
  using Method = void (T::*)();

  WorkItemImpl(Method method, boost::intrusive_ptr<T> object) : _method(method), _object(std::move(object)) {}

  void Run() override { ((*_object).*_method)(); }

  T* Object() const { return _object.get(); }

 private:
  Method _method;
  boost::intrusive_ptr<T> _object;
};

}  // namespace VevUroro
