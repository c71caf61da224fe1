#include "core/AgentLock.h"

namespace VevUroro {

std::recursive_timed_mutex& AgentLock() {
  // Never destroyed: worker threads may still take it while static objects are torn down.
  static std::recursive_timed_mutex* lock = new std::recursive_timed_mutex();
  return *lock;
}

}  // namespace VevUroro
