#include "intake/MsgDispatcher.h"

#include <string>
#include <vector>

#include "core/Logger.h"
#include "core/WorkGroup.h"
#include "core/WorkItem.h"
#include "intake/TypeNames.h"
#include "platform/wft/WorkflowUtil.h"

namespace VevUroro {

MsgDispatcher::MsgDispatcher(std::shared_ptr<UpdateQueue> queue) : _queue(std::move(queue)) {}

void MsgDispatcher::Register(ComponentType id, qor::RefPtr<Component> component) {
  {
    std::lock_guard<std::mutex> lock(_mutex);
    if (_registry.count(id) == 0) {
      _registry.emplace(id, std::move(component));
      Logger(LOG_LEVEL_INFO, "MsgDispatcher: registered component %1", CompTypeToString(id));
      return;
    }
  }
  Logger(LOG_LEVEL_ERROR, "MsgDispatcher: register existing component %1", CompTypeToString(id));
}

void MsgDispatcher::Unregister(ComponentType id) {
  qor::RefPtr<Component> removed;  // released outside the lock
  {
    std::lock_guard<std::mutex> lock(_mutex);
    auto it = _registry.find(id);
    if (it != _registry.end()) {
      removed = std::move(it->second);
      _registry.erase(it);
    }
  }
  if (removed) {
    Logger(LOG_LEVEL_INFO, "MsgDispatcher: unregistered component: %1", CompTypeToString(id));
  } else {
    Logger(LOG_LEVEL_WARN, "MsgDispatcher: unregister nonexistent component");
  }
}

bool MsgDispatcher::IsRegistered(ComponentType id) const {
  std::lock_guard<std::mutex> lock(_mutex);
  return _registry.count(id) > 0;
}

bool MsgDispatcher::Start() {
  std::shared_ptr<WorkGroup> group = WorkGroup::Instance();
  if (!group) return false;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    if (_loopRunning) return false;
    _loopRunning = true;
  }
  bool posted = false;
  try {
    auto item = std::make_shared<WorkItemImpl<MsgDispatcher>>(&MsgDispatcher::Loop, qor::RefPtr<MsgDispatcher>(this));
    posted = group->PostLongRunning(item, [queue = _queue] { queue->Close(); });
  } catch (...) {
    std::lock_guard<std::mutex> lock(_mutex);
    _loopRunning = false;
    throw;
  }
  if (!posted) {
    std::lock_guard<std::mutex> lock(_mutex);
    _loopRunning = false;
  }
  return posted;
}

void MsgDispatcher::Stop() {
  _queue->Close();
  std::unique_lock<std::mutex> lock(_mutex);
  _loopDone.wait(lock, [this] { return !_loopRunning; });
}

void MsgDispatcher::Loop() {
  Logger(LOG_LEVEL_INFO, "MsgDispatcher: start");
  Transaction transaction;
  while (_queue->Get(transaction)) {
    Dispatch(std::move(transaction));
    transaction = Transaction();
  }
  Logger(LOG_LEVEL_INFO, "MsgDispatcher: stop");
  std::lock_guard<std::mutex> lock(_mutex);
  _loopRunning = false;
  _loopDone.notify_all();
}

void MsgDispatcher::Dispatch(Transaction&& transaction) {
  const bool fullSync = transaction.second.first;
  const unsigned long id = transaction.second.second;
  // std::map keeps the ids ascending: caches first, then the applications.
  for (auto& [componentId, entries] : transaction.first) {
    qor::RefPtr<Component> component;
    {
      std::lock_guard<std::mutex> lock(_mutex);
      auto it = _registry.find(componentId);
      if (it == _registry.end()) continue;
      component = it->second;
    }
    QOR_LOG(LOG_LEVEL_DEBUG, "MsgDispatcher: dispatching object to component %1 (%2) ID %3",
            CompTypeToString(componentId), fullSync ? "FullSync" : "delta update", id);
    std::vector<qor::wft::SpanContext> links;
    for (const TolvarUpdateMsg& entry : entries) {
      if (entry.spanContext.empty()) continue;
      if (auto context = qor::wft::WorkflowUtil::GetTraceInfoFromString(entry.spanContext)) links.push_back(*context);
    }
    qor::wft::Span span = qor::wft::WorkflowUtil::StartLinkedSpan("MsgDispatcher", links);
    component->TakeDesiredState(std::move(entries), fullSync ? 1 : 0);
    span.End();
  }
}

}  // namespace VevUroro
