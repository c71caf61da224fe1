// Retry and connection settings of the platform's networking library, filled by services and handed to the
// connections they create.
#pragma once

#include <cstdint>

namespace qor {

// Exponential back-off: the first retry after `initialDelayMs`, each next one `backOffMultiplier` times longer,
// never longer than `maxDelayMs`.
struct RetryPolicy {
  uint32_t initialDelayMs = 3000;
  uint32_t maxDelayMs = 6000;
  double backOffMultiplier = 1.5;

  // Delay before retry number `attempt` (0 for the first retry).
  uint32_t DelayMs(uint32_t attempt) const {
    double delay = initialDelayMs;
    for (uint32_t i = 0; i < attempt && delay < maxDelayMs; ++i) delay *= backOffMultiplier;
    return delay > maxDelayMs ? maxDelayMs : static_cast<uint32_t>(delay);
  }
};

namespace net {

struct ConnectionOptions {
  uint32_t timeoutMs = 120000;
  bool keepaliveEnable = true;
  uint32_t keepaliveProbes = 3;
  uint32_t keepaliveIdleSeconds = 6;
  uint32_t keepaliveIntervalSeconds = 3;
};

}  // namespace net
}  // namespace qor
