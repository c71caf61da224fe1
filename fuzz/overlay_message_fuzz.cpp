// Fuzzes the agent's reader of the overlay module's messages with arbitrary bytes as they could arrive on the L2
// channel: the frame and its items, the local-table Update checks, and the records the L2 application turns into
// database messages. The checks live in the library so that the tests replay the corpus through the same body.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "apps/overlay/OverlayMessages.h"
#include "core/Logger.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    VevUroro::SetLogLevel(VevUroro::LOG_LEVEL_FATAL);
    return true;
  }();
  (void)quiet;
  std::string failure = VevUroro::overlay::CheckReceivedBytes(data, size);
  if (!failure.empty()) {
    std::fprintf(stderr, "overlay_message_fuzz: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
