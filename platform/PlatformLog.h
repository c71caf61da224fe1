// Log lines of the platform libraries.
//
// Each platform library has its own level (LibraryLogLevels.h); a line is written only when both that level and
// the agent's level admit its severity. The arguments are not even converted when the library's level refuses
// the line. Usable as an expression statement with chained setters:
//
//   QOR_LIB_LOG(qor::rpc::library_log_level, VevUroro::LOG_LEVEL_WARN, "RpcServer: %1", text);
#pragma once

#include <atomic>

#include "core/Logger.h"
#include "platform/LibraryLogLevels.h"

// A loop that runs at most once rather than an if, so that the macro nests safely inside an unbraced if/else.
#define QOR_LIB_LOG(levelVariable, severity, ...)                                                           \
  for (bool qorLibLogOnce_ = (levelVariable).load(std::memory_order_relaxed) >= (severity); qorLibLogOnce_; \
       qorLibLogOnce_ = false)                                                                              \
  VevUroro::Logger((severity), __VA_ARGS__)
