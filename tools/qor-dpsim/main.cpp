// qor-dpsim entry point: options, channels, the control socket, then the IO loop until SIGTERM/SIGINT.
#include <boost/asio/signal_set.hpp>
#include <cstdlib>
#include <iostream>

#include "tools/qor-dpsim/ControlServer.h"
#include "tools/qor-dpsim/Simulator.h"

int main(int argc, char** argv) {
  std::string error;
  auto options = qor::dpsim::ParseOptions(argc, argv, &error);
  if (!options) {
    std::cerr << "qor-dpsim: " << error
              << "\nUsage: qor-dpsim --root DIR [--channel NAME[=KIND]] [--config FILE] "
                 "[--capture DIR] [--no-default-channels] [--agent-link] [--control PATH]"
              << std::endl;
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
