// qor-dpsim entry point: options, channels, the control socket, then the IO loop until SIGTERM/SIGINT.
#include <boost/asio/signal_set.hpp>
#include <cstdlib>
#include <iostream>

#include "tools/qor-dpsim/ControlServer.h"
#include "tools/qor-dpsim/Simulator.h"

namespace {

const char* kUsage =
    "Usage: qor-dpsim --root DIR [options]\n"
    "\n"
    "The datapath simulator: listens on every kernel channel the agent opens (Unix sockets under\n"
    "DIR/var/run/zantix/tkmlink/), answers like the datapath modules and keeps what it was programmed with.\n"
    "Writes DIR/var/run/zantix/qor-dpsim/ready once it listens; runs until SIGTERM or SIGINT.\n"
    "\n"
    "Options:\n"
    "  --root DIR              the root the agent runs under (its QOR_ROOT; / in production)\n"
    "  --channel NAME[=KIND]   serve one more channel, with the module KIND (default raw)\n"
    "  --no-default-channels   serve only the --channel channels\n"
    "  --agent-link            serve the host agent's socket even without the default channels\n"
    "  --config FILE           channels and initial VIFs, one directive a line: \"channel NAME KIND\",\n"
    "                          \"vif ARGS\" (connected at start as by the control command vif-connect ARGS)\n"
    "  --capture DIR           record every message of every channel to DIR/NAME.cap\n"
    "  --control PATH          the control socket (default DIR/var/run/zantix/qor-dpsim/control);\n"
    "                          ovs-appctl -t PATH list-commands shows its commands\n"
    "  --help                  this text\n"
    "  --version               the build number\n";

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (arg == "--version") {
      std::cout << "qor-dpsim " << QOR_BUILD_NUMBER << "\n";
      return 0;
    }
  }
  std::string error;
  auto options = qor::dpsim::ParseOptions(argc, argv, &error);
  if (!options) {
    std::cerr << "qor-dpsim: " << error << "\n" << kUsage;
    return 2;
  }
  setenv("QOR_ROOT", options->root.c_str(), 1);
  qor::dpsim::Simulator simulator(*options);
  if (!simulator.Setup(&error)) {
    std::cerr << "qor-dpsim: " << error << std::endl;
    return 1;
  }
  qor::dpsim::ControlServer control(simulator);
  if (!control.Start(options->controlPath, &error)) {
    std::cerr << "qor-dpsim: control socket: " << error << std::endl;
    return 1;
  }
  boost::asio::signal_set signals(simulator.Context(), SIGTERM, SIGINT);
  signals.async_wait([&](const boost::system::error_code&, int) { simulator.Stop(); });
  if (!simulator.WriteReadyFile()) {
    std::cerr << "qor-dpsim: cannot write " << simulator.ReadyFilePath() << std::endl;
    return 1;
  }
  std::cout << "ready" << std::endl;
  simulator.Run();
  control.Stop();
  return 0;
}
