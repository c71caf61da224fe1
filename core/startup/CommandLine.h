// The daemon's command line: "-c configFile" (the last one wins). "--help" and "--version" (when not the value of
// -c) print the help text or the build number to standard output and end the process with status 0. Every other
// option, "-s" included, is a usage error that must end the process before any file is read.
#pragma once

#include <optional>
#include <string>

namespace VevUroro {

constexpr const char* kDaemonName = "qor-vevuroro";
constexpr const char* kDefaultConfigDir = "/etc/zantix/qor/";

struct CommandLine {
  enum class Action { kRun, kHelp, kVersion };
  Action action = Action::kRun;
  std::string configPath;  // already resolved under QOR_ROOT when it is the default
};

// What "--help" prints.
std::string HelpText(const char* program);

// Parses argv with getopt. On a usage error writes "Usage: <prog> [-c configFile]\n" to standard error and returns
// nothing. Not reentrant (getopt state); called once on the main thread.
std::optional<CommandLine> ParseCommandLine(int argc, char** argv);

}  // namespace VevUroro
