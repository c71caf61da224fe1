#include <execinfo.h>
#include <malloc.h>

#include <cstdlib>

#include "core/startup/Agent.h"

#ifdef QOR_WITH_JEMALLOC
// The agent's heap is jemalloc (linked in CMake, outside sanitizer builds): its size classes keep the blocks a full
// sync frees from leaving half-used pages among the records kept, and it holds no list that a later allocation has to
// walk. Freed pages go back to the system at once rather than after a delay, so the memory a sync frees is not kept
// resident while the agent sits idle (a delay of 0.3-1 s, with jemalloc's background thread returning them, saved
// under a tenth of a full sync's CPU and raised its peak by up to a fifth; without that thread the idle agent kept
// them). One arena: the threads' caches take the contention, and an arena made on a thread's first allocation could
// not be made once the address space is exhausted (jemalloc then crashed instead of failing the allocation).
// MALLOC_CONF in the environment adds to this.
extern "C" {
const char* malloc_conf = "narenas:1,dirty_decay_ms:0,muzzy_decay_ms:0";
}
#endif

int main(int argc, char** argv) {
  // The C library loads its unwinder (libgcc_s) on first need, which a thread's exit or cancellation may be; when
  // memory is exhausted by then the load fails and the library aborts instead of letting the failure be handled.
  // Loading it now, while memory is plentiful, leaves that path nothing to load.
  void* frame;
  backtrace(&frame, 1);
#ifndef QOR_WITH_JEMALLOC
  // glibc gives each thread that meets a busy lock an arena of its own, up to eight per core, and memory freed in one
  // arena serves no other: the agent's many threads held a fifth of its peak at 30,000 ports that way. Two arenas
  // keep the contention of two cores low; MALLOC_ARENA_MAX in the environment still decides when it is set.
  if (!std::getenv("MALLOC_ARENA_MAX")) mallopt(M_ARENA_MAX, 2);
#endif
  return VevUroro::RunAgent(argc, argv);
}
