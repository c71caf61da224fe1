// The daemon's command line: "-c configFile" (the last one wins). Every other option, "-s" included, is a usage
// error that must end the process before any file is read.
#pragma once

#include <optional>
#include <string>

namespace VevUroro {

constexpr const char* kDaemonName = "qor-vevuroro";
constexpr const char* kDefaultConfigDir = "/etc/zantix/qor/";

struct CommandLine {
  std::string configPath;  // already resolved under QOR_ROOT when it is the default
};

// Parses argv with getopt. On a usage error writes "Usage: <prog> [-c configFile]\n" to standard error and returns
// nothing. Not reentrant (getopt state); called once on the main thread.
std::optional<CommandLine> ParseCommandLine(int argc, char** argv);

}  // namespace VevUroro
