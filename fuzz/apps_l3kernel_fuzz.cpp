// Fuzzes the L3 application's handling of what the kernel router module sends: whole messages reach a running
// application over a test link, so that full-sync requests and DAD reports are acted upon, not only read. Aborts
// when the application sends a message that is not whole or writes the DAD state of a LIF it does not hold
// (fuzz/L3KernelHarness.h).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "core/Logger.h"
#include "fuzz/L3KernelHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Logged at debug level (the message dump included) into a sink that drops the lines.
  static const bool quiet = [] {
    VevUroro::SetOutputToConsole(false);
    VevUroro::logging::SetLineSink([](int, const std::string&) {});
    VevUroro::SetLogLevel(VevUroro::LOG_LEVEL_DEBUG);
    return true;
  }();
  (void)quiet;
  static VevUroro::fuzz::L3KernelHarness* harness = new VevUroro::fuzz::L3KernelHarness;
  const std::string wrong = harness->Run(data, size);
  if (!wrong.empty()) {
    std::fprintf(stderr, "apps_l3kernel_fuzz: %s\n", wrong.c_str());
    std::abort();
  }
  return 0;
}
