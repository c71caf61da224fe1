#include "core/startup/FailurePolicy.h"

#include <syslog.h>

#include <cstdio>
#include <iostream>
#include <new>

#include "core/Logger.h"

namespace VevUroro {

int RunWithFailurePolicy(const std::function<int()>& body, const std::function<void(const char*)>& systemLogError) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    Logger(LOG_LEVEL_ERROR, "Failed to run qor-vevuroro");
    if (systemLogError) {
      systemLogError(kAllocFailText);
    } else {
      syslog(LOG_ERR, "%s", kAllocFailText);
    }
    logging::FlushConsole();
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    return 1;
  } catch (...) {
    Logger(LOG_LEVEL_ERROR, "Failed to run qor-vevuroro");
    return -1;
  }
}

}  // namespace VevUroro
