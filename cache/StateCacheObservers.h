// Observer interfaces of the state cache tables. An observer registers with a table for one object type and
// then receives, once per table update, its own list of that update's changes for its types, in change order.
//
// Threads: desired-state notifications come from the dispatcher thread; runtime-state notifications from the
// thread of the application that stored the runtime state. A table never holds its store lock while it calls
// an observer, so an observer may query the table. An observer must unregister before it is destroyed.
#pragma once

#include "cache/StateCacheRecord.h"

namespace VevUroro {

class SCConfigTableObserver {
 public:
  virtual ~SCConfigTableObserver() = default;
  // `first` is set on the table's first update after start.
  virtual void OnConfigDesiredStateChanged(const StateCacheChangeList& /*changes*/, bool /*fullSync*/, bool /*first*/) {
  }
  // What the table calls: the list is the observer's own (nobody reads it after), so an observer may release the
  // parts of its changes it has read while it goes through a full sync's. By default, OnConfigDesiredStateChanged.
  virtual void OnConfigDesiredStateTaken(StateCacheChangeList& changes, bool fullSync, bool first) {
    OnConfigDesiredStateChanged(changes, fullSync, first);
  }
  // Whether the observer reads a desired-state `change` of its types. Its list holds only the changes it reads, so
  // that a host's worth of changes is not copied for an observer that skips most of them; it is notified of the
  // same updates all the same. Called once per change on the notifying thread just before the update's
  // notifications, with the locks a notification holds (never the table's store lock).
  virtual bool ReadsDesiredChange(const StateCacheChange& /*change*/) { return true; }
  virtual void OnConfigRuntimeStateChanged(const StateCacheChangeList& /*changes*/, bool /*fullSync*/) {}
};

class SCL2TableObserver {
 public:
  virtual ~SCL2TableObserver() = default;
  virtual void OnL2DesiredStateChanged(const StateCacheChangeList& /*changes*/, bool /*fullSync*/) {}
  virtual void OnL2RuntimeStateChanged(const StateCacheChangeList& /*changes*/, bool /*fullSync*/) {}
};

class SCL3TableObserver {
 public:
  virtual ~SCL3TableObserver() = default;
  virtual void OnL3DesiredStateChanged(const StateCacheChangeList& /*changes*/, bool /*fullSync*/) {}
};

}  // namespace VevUroro
