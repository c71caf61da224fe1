// The agent lock: one process-wide recursive mutex, created on first use and kept for the process's life.
//
// It is the coarse lock of the agent: update handlers of the applications, converters, caches, the CLI server
// and the database client take it around their handling of one update, so that these handlers never run in
// parallel. Being recursive, a handler that holds it may call into another component that takes it again. It can
// be waited for with a bound (try_lock_for), for callers that must not hang behind a long update (the CLI).
#pragma once

#include <mutex>

namespace VevUroro {

std::recursive_timed_mutex& AgentLock();

using AgentLockGuard = std::lock_guard<std::recursive_timed_mutex>;

}  // namespace VevUroro
