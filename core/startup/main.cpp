#include <execinfo.h>
#include <malloc.h>

#include <cstdlib>

#include "core/startup/Agent.h"

int main(int argc, char** argv) {
  // The C library loads its unwinder (libgcc_s) on first need, which a thread's exit or cancellation may be; when
  // memory is exhausted by then the load fails and the library aborts instead of letting the failure be handled.
  // Loading it now, while memory is plentiful, leaves that path nothing to load.
  void* frame;
  backtrace(&frame, 1);
  // glibc gives each thread that meets a busy lock an arena of its own, up to eight per core, and memory freed in one
  // arena serves no other: the agent's many threads held a fifth of its peak at 30,000 ports that way. Two arenas
  // keep the contention of two cores low; MALLOC_ARENA_MAX in the environment still decides when it is set.
  if (!std::getenv("MALLOC_ARENA_MAX")) mallopt(M_ARENA_MAX, 2);
  return VevUroro::RunAgent(argc, argv);
}
