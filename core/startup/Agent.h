// The daemon's life: start-up, the provider's event loop on the main thread, shutdown.
//
// Start-up and shutdown run on the main thread only. Everything the agent creates at start-up is held here for the
// process's life and released in the fixed shutdown order.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "core/startup/ApplicationSet.h"
#include "core/startup/ConfigTree.h"

namespace VevUroro {

// The daemon's entry: returns the process exit status (0, 1 on memory exhaustion, -1 on any other failure).
int RunAgent(int argc, char** argv);

constexpr const char* kDefaultHealthEndpoint = "tcp://127.0.0.1:4097";
constexpr const char* kDefaultTolvarEndpoint = "tcp://127.0.0.1:2480";

}  // namespace VevUroro
