// VevUroro::MsgDispatcher: hands each finished database transaction to the components registered for it.
//
// The Tolvar client only enqueues transactions on the shared update queue; one dispatcher loop (a long-running work
// item on the agent's worker group) takes them one at a time and calls each registered component's
// TakeDesiredState synchronously, in ascending component-id order, so state cache tables (ids 1-3) are up to
// date before the applications run for the same transaction. Ids without a component are skipped silently.
//
// Ownership: the dispatcher holds a counted reference to every registered component and a shared reference to
// the queue. Threads: Register and Unregister may be called from any thread (components do so while they start and
// stop); the registry mutex is never held while a component runs. Start and Stop are called by start-up and
// shutdown on the main thread. Stop closes the queue and waits for the loop to leave, which lets the worker group
// join its threads afterwards; the worker group's own stop closes the queue too, should Stop not have run.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "core/Component.h"
#include "core/ComponentType.h"
#include "intake/Transaction.h"

namespace VevUroro {

class MsgDispatcher : public qor::RefCounted<MsgDispatcher, qor::IRefCountable> {
 public:
  explicit MsgDispatcher(std::shared_ptr<UpdateQueue> queue);

  // Adds `component` under `id`; an id already registered keeps its component and logs an error.
  void Register(ComponentType id, qor::RefPtr<Component> component);
  // Removes the component of `id`.
  void Unregister(ComponentType id);
  bool IsRegistered(ComponentType id) const;

  // Submits the loop to the worker group. False when no worker group runs or the loop is already running.
  bool Start();
  // Closes the queue and waits until the loop has left. Idempotent.
  void Stop();

  // The loop: takes transactions until the queue closes. Public for the work item.
  void Loop();
  // Hands one transaction to the registered components (the loop's body; tests and benchmarks call it directly).
  // Each component's entries are handed over (TakeDesiredState), so the transaction is consumed.
  void Dispatch(Transaction&& transaction);

 private:
  std::shared_ptr<UpdateQueue> _queue;
  mutable std::mutex _mutex;
  std::unordered_map<int32_t, qor::RefPtr<Component>> _registry;
  std::condition_variable _loopDone;
  bool _loopRunning = false;
};

}  // namespace VevUroro
