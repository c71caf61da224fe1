// Log levels of the platform libraries, one process-wide integer each (1 fatal ... 6 trace, default 4).
//
// Written at start-up from the configuration file and later by the operator CLI; read without locking by the
// library that owns each one (atomics, so concurrent reads and writes are well defined).
#pragma once

#include <atomic>

namespace qor {
namespace metrics {
extern std::atomic<int> library_log_level;
}
namespace net {
extern std::atomic<int> library_log_level;
}
namespace rpc {
extern std::atomic<int> library_log_level;
}
namespace tolvar {
extern std::atomic<int> library_log_level;
}
namespace upm {
extern std::atomic<int> library_log_level;
}
namespace wft {
extern std::atomic<int> library_log_level;
}
namespace sha {
extern std::atomic<int> library_log_level;
}
// The platform's own logger level, a copy of the agent's level.
namespace platform {
extern std::atomic<int> library_log_level;
}
}  // namespace qor
