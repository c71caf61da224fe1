// The operator commands of the agent's CLI socket, in the order they are registered: the configuration and
// SmartNIC dumps, the log levels, the firewall, service-insertion and intrusion-detection commands, the state cache
// queries, the cache sizes and the out-of-sync simulation. Each entry names who serves it: the CLI server itself,
// or the application of its area, which becomes the command's context when it runs.
#pragma once

#include <vector>

namespace VevUroro::cli {

enum class CliArea {
  kAgent,               // served by the CLI server from the caches, the Tolvar client and the level variables
  kSmartNic,            // SmartNIC demux and mux
  kBfd,                 // BFD table application
  kIpfix,               // flow export
  kFirewall,            // DfwMain ("dfw/...")
  kServiceInsertion,    // SIApp ("si/...")
  kIntrusionDetection,  // IDSApp ("ids/...")
};

struct CliCommandEntry {
  const char* name;
  const char* usage;
  int minArgs;
  int maxArgs;
  CliArea area;
};

// All 113 commands, in registration order.
const std::vector<CliCommandEntry>& CliCommandTable();

// How an area names its application in replies ("the firewall application is not running").
const char* AreaName(CliArea area);

}  // namespace VevUroro::cli
