// The configured worker-pool sizes: two process-wide values written by start-up and read by WorkGroup::Start, both
// under the agent lock.
//
// IO threads: how many IO workers run IO context A (default: the number of hardware threads, at least 1).
// Work threads: how many pool threads WorkGroup::Start creates (default 32). IO threads + 1 of them are held by the
// IO workers for the life of the pool; long-running loops need more.
#pragma once

#include <cstdint>

namespace VevUroro {

void SetConfiguredThreadCounts(uint32_t ioThreads, uint32_t workThreads);
uint32_t ConfiguredIoThreads();
uint32_t ConfiguredWorkThreads();

// The defaults above.
uint32_t DefaultIoThreads();
constexpr uint32_t kDefaultWorkThreads = 32;

}  // namespace VevUroro
