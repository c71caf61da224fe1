#include <execinfo.h>
#include <malloc.h>

#include <cstdlib>

#include "core/startup/Agent.h"

#ifdef QOR_WITH_JEMALLOC
#include <jemalloc/jemalloc.h>

#include <cstdint>

#include "core/MsgQueue.h"

// The agent's heap is jemalloc (linked in CMake, outside sanitizer builds): its size classes keep the blocks a full
// sync frees from leaving half-used pages among the records kept, and it holds no list that a later allocation has to
// walk. One arena: the threads' caches take the contention, and an arena made on a thread's first allocation could
// not be made once the address space is exhausted (jemalloc then crashed instead of failing the allocation).
//
// Freed pages are kept for reuse for a tenth of a second instead of being returned at once: returning each as it was
// freed put an madvise, page faults and TLB shoot-downs on the hot path (about a sixth of the agent's CPU during the
// 30,000-port load). Kept for a second, they raised that load's peak by a fifth; a tenth leaves it as it was. They are
// returned in one go where a burst of work ends (ReturnFreedPages below), so the idle agent keeps none of them
// (without that, the idle agent kept what the last burst freed).
// MALLOC_CONF in the environment adds to this.
extern "C" {
const char* malloc_conf = "narenas:1,dirty_decay_ms:100,muzzy_decay_ms:0";
}

namespace {

// A queue's consumer that goes idle after a burst returns the heap's free pages when its thread freed at least this
// much since it last did: a single change frees far less, so steady changes are not charged a purge each, and the
// short pauses of a consumer that catches up with its producer during a load do not return pages about to be reused
// (at 32 MiB the pages of the start-up sync stayed resident).
constexpr uint64_t kReturnAfterFreedBytes = 8u << 20;

void ReturnFreedPages() {
  thread_local const uint64_t* freed = [] {
    uint64_t* counter = nullptr;
    size_t size = sizeof(counter);
    return mallctl("thread.deallocatedp", &counter, &size, nullptr, 0) == 0 ? counter : nullptr;
  }();
  thread_local uint64_t freedAtLastReturn = 0;
  if (!freed || *freed - freedAtLastReturn < kReturnAfterFreedBytes) return;
  freedAtLastReturn = *freed;
  static_assert(MALLCTL_ARENAS_ALL == 4096, "the purge below names every arena by this number");
  mallctl("arena.4096.purge", nullptr, nullptr, nullptr, 0);
}

}  // namespace
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
#else
  VevUroro::SetQueueIdleHook(ReturnFreedPages);
#endif
  return VevUroro::RunAgent(argc, argv);
}
