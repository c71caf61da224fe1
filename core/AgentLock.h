// The agent lock: one process-wide recursive mutex, created on first use and kept for the process's life.
//
// It is the coarse lock of the agent: update handlers of the applications, converters, caches, the CLI server
// and the database client take it around their handling of one update, so that these handlers never run in
// parallel. Being recursive, a handler that holds it may call into another component that takes it again.
#pragma once

#include <mutex>

namespace VevUroro {

std::recursive_mutex& AgentLock();

using AgentLockGuard = std::lock_guard<std::recursive_mutex>;

}  // namespace VevUroro
