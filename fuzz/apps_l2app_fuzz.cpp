// Fuzzes the L2 application's handlers with whole messages from the overlay module (queries, state reports,
// VNI membership, local-table updates, instances, alarms, session control); the body and its input format are in
// L2AppFuzzInput.h, which the tests run over the seed corpus too.
#include <cstdio>
#include <cstdlib>

#include "core/Logger.h"
#include "fuzz/L2AppFuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    VevUroro::SetLogLevel(VevUroro::LOG_LEVEL_FATAL);
    return true;
  }();
  (void)quiet;
  const std::string failure = VevUroro::fuzz::RunL2AppInput(data, size);
  if (!failure.empty()) {
    std::fprintf(stderr, "apps_l2app_fuzz: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
