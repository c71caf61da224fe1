// What ends the daemon when something escapes start-up, run or shutdown: memory exhaustion ends it with status 1
// after "VEVURORO_ALLOC_FAIL : VevUroro error: no memory!" in the system log; any other exception with -1.
#pragma once

#include <functional>

namespace VevUroro {

constexpr const char* kAllocFailText = "VEVURORO_ALLOC_FAIL : VevUroro error: no memory!";

// Runs `body` and returns its status, or applies the policy above to what it throws. `systemLogError` writes one
// text to the system log at priority error (syslog by default; tests pass their own).
int RunWithFailurePolicy(const std::function<int()>& body,
                         const std::function<void(const char*)>& systemLogError = nullptr);

}  // namespace VevUroro
