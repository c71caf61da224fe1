#include "platform/LibraryLogLevels.h"

namespace qor {
namespace metrics {
std::atomic<int> library_log_level{4};
}
namespace net {
std::atomic<int> library_log_level{4};
}
namespace rpc {
std::atomic<int> library_log_level{4};
}
namespace tolvar {
std::atomic<int> library_log_level{4};
}
namespace upm {
std::atomic<int> library_log_level{4};
}
namespace wft {
std::atomic<int> library_log_level{4};
}
namespace sha {
std::atomic<int> library_log_level{4};
}
namespace platform {
std::atomic<int> library_log_level{4};
}
}  // namespace qor
