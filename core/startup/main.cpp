#include <execinfo.h>

#include "core/startup/Agent.h"

int main(int argc, char** argv) {
  // The C library loads its unwinder (libgcc_s) on first need, which a thread's exit or cancellation may be; when
  // memory is exhausted by then the load fails and the library aborts instead of letting the failure be handled.
  // Loading it now, while memory is plentiful, leaves that path nothing to load.
  void* frame;
  backtrace(&frame, 1);
  return VevUroro::RunAgent(argc, argv);
}
