// The log-level commands of the operator CLI: one set/get pair per library ("vevuroro/set/loglevel" for the agent
// itself, "vevuroro/set-metrics/loglevel" ... for the others) and the workflow-tracing trace level.
//
// Level names: "off" 0, "fatal" 1, "error" 2, "warn" 3, "info" 4, "debug" 5, "trace" 6. A known name sets the
// library's level (the agent's own level is copied to the platform logger too) and replies "Setting vevuroro
// logging level from OLD to NEW successfully"; any other name changes nothing and the error reply ends in
// " failed". The library's word follows "vevuroro" in the texts of the other libraries ("Setting vevuroro metrics
// logging level from ..."). "get" replies "Current vevuroro logging level is: NAME".
//
// The level variables are process-wide atomics read by their libraries without a lock; these functions run on the
// CLI server's thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/ovs/Unixctl.h"

namespace VevUroro::cli {

struct LibraryLevel {
  std::string
      library;  // "" for the agent itself, else "metrics", "net", "rpc", "tolvar", "wft", "sha", "vessix", "upm"
  int (*get)();
  void (*set)(int level);

  std::string SetCommand() const { return "vevuroro/set" + Suffix() + "/loglevel"; }
  std::string GetCommand() const { return "vevuroro/get" + Suffix() + "/loglevel"; }
  // "vevuroro" or "vevuroro metrics" ...
  std::string Word() const { return library.empty() ? "vevuroro" : "vevuroro " + library; }

 private:
  std::string Suffix() const { return library.empty() ? "" : "-" + library; }
};

// The nine libraries, in the order their commands are registered.
const std::vector<LibraryLevel>& LibraryLevels();

// The name of a level; a number outside 0..6 prints in decimal.
std::string LevelName(int level);
std::optional<int> ParseLevelName(const std::string& name);

qor::ovs::UnixctlReply SetLevel(const LibraryLevel& library, const std::string& name);
qor::ovs::UnixctlReply GetLevel(const LibraryLevel& library);

// Workflow tracing's trace level (0..255; spans of level 1..N are recorded): "Setting vevuroro wft trace level
// from OLD to NEW successfully" / " failed", "Current vevuroro wft trace level is: N".
qor::ovs::UnixctlReply SetTraceLevel(const std::string& value);
qor::ovs::UnixctlReply GetTraceLevel();

}  // namespace VevUroro::cli
