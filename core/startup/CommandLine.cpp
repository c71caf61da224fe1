#include "core/startup/CommandLine.h"

#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/QorRoot.h"

namespace VevUroro {

std::string HelpText(const char* program) {
  return std::string("Usage: ") + program +
         " [-c configFile]\n"
         "\n"
         "The per-host configuration agent: follows the desired state in the host's configuration database,\n"
         "programs the datapath and writes back what the datapath reports. Runs until SIGTERM or SIGINT.\n"
         "\n"
         "Options:\n"
         "  -c configFile  the agent's configuration file (default /etc/zantix/qor/qor-vevuroro.xml); the last -c\n"
         "                 wins\n"
         "  --help         this text\n"
         "  --version      the build number\n"
         "\n"
         "Environment:\n"
         "  QOR_ROOT       prefix of every fixed path (/etc/zantix/..., /var/run/zantix/...); unset in production\n"
         "\n"
         "Operator commands: ovs-appctl -t /var/run/zantix/qor-vevuroro/vevuroro-cli list-commands\n"
         "Exit status: 0 after a clean shutdown, 255 on a usage or configuration error, 1 when memory runs out.\n";
}

std::optional<CommandLine> ParseCommandLine(int argc, char** argv) {
  CommandLine result;
  // The long options are looked for first, skipping the value of every -c.
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--") break;
    if (arg == "-c") {
      ++i;
    } else if (arg == "--help") {
      result.action = CommandLine::Action::kHelp;
      return result;
    } else if (arg == "--version") {
      result.action = CommandLine::Action::kVersion;
      return result;
    }
  }
  result.configPath = qor::QorPath(std::string(kDefaultConfigDir) + kDaemonName + ".xml");
  optind = 0;  // 0, not 1: glibc then also forgets what an earlier parse left half-read
  opterr = 0;
  int option;
  while ((option = getopt(argc, argv, "c:s")) != -1) {
    if (option == 'c') {
      result.configPath = optarg;
      continue;
    }
    std::fprintf(stderr, "Usage: %s [-c configFile]\n", argc > 0 ? argv[0] : kDaemonName);
    return std::nullopt;
  }
  return result;
}

}  // namespace VevUroro
