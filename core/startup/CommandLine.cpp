#include "core/startup/CommandLine.h"

#include <unistd.h>

#include <cstdio>

#include "platform/QorRoot.h"

namespace VevUroro {

std::optional<CommandLine> ParseCommandLine(int argc, char** argv) {
  CommandLine result;
  result.configPath = qor::QorPath(std::string(kDefaultConfigDir) + kDaemonName + ".xml");
  optind = 1;
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
