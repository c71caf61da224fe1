#include "core/ThreadCounts.h"

#include <thread>

#include "core/AgentLock.h"

namespace VevUroro {
namespace {

struct ThreadCounts {
  uint32_t io = DefaultIoThreads();
  uint32_t work = kDefaultWorkThreads;
};

// Guarded by the agent lock.
ThreadCounts& Counts() {
  static ThreadCounts counts;
  return counts;
}

}  // namespace

uint32_t DefaultIoThreads() {
  unsigned hardware = std::thread::hardware_concurrency();
  return hardware == 0 ? 1u : hardware;
}

void SetConfiguredThreadCounts(uint32_t ioThreads, uint32_t workThreads) {
  AgentLockGuard guard(AgentLock());
  Counts().io = ioThreads;
  Counts().work = workThreads;
}

uint32_t ConfiguredIoThreads() {
  AgentLockGuard guard(AgentLock());
  return Counts().io;
}

uint32_t ConfiguredWorkThreads() {
  AgentLockGuard guard(AgentLock());
  return Counts().work;
}

}  // namespace VevUroro
