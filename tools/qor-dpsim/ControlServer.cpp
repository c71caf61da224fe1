#include "tools/qor-dpsim/ControlServer.h"

#include <cstring>

#include "platform/ovs/Unixctl.h"
#include "tools/qor-dpsim/Simulator.h"

namespace qor::dpsim {

struct ControlServer::Impl {
  explicit Impl(const std::string& path) : server(path) {}
  qor::ovs::UnixctlServer server;
};

namespace {

struct CommandSpec {
  const char* name;
  const char* usage;
  int minArgs;
  int maxArgs;
};

constexpr CommandSpec kCommands[] = {
    {"channels", "", 0, 0},
    {"connections", "", 0, 0},
    {"dump", "CHANNEL", 1, 1},
    {"vif-connect", "CHANNEL VIF PORT SWITCH [MAC]", 4, 5},
    {"vif-disconnect", "CHANNEL VIF", 2, 2},
    {"dp-status", "CHANNEL sync|out-of-sync", 2, 2},
    {"port-out-of-sync", "CHANNEL VIF", 2, 2},
};

// The host-agent socket's commands: "qora/<name>" runs the simulator command <command>.
struct AgentLinkCommandSpec {
  const char* name;
  const char* command;
  const char* usage;
  int minArgs;
  int maxArgs;
};

constexpr AgentLinkCommandSpec kAgentLinkCommands[] = {
    {"send", "qora-send", "HEX [TYPE [fragment]]", 1, 3},
    {"send-raw", "qora-send-raw", "HEX", 1, 1},
};

}  // namespace

ControlServer::ControlServer(Simulator& simulator) : _simulator(simulator) {}
ControlServer::~ControlServer() {
  Stop();
}

bool ControlServer::Start(const std::string& path, std::string* error) {
  _impl = std::make_unique<Impl>(path);
  for (const auto& spec : kCommands) {
    std::string command = spec.name;
    _impl->server.RegisterCommand("dpsim/" + command, spec.usage, spec.minArgs, spec.maxArgs,
                                  [this, command](const std::vector<std::string>& argv) {
                                    std::vector<std::string> words = {command};
                                    words.insert(words.end(), argv.begin() + 1, argv.end());
                                    auto [ok, text] = _simulator.Execute(words);
                                    return ok ? qor::ovs::UnixctlReply::Ok(text) : qor::ovs::UnixctlReply::Error(text);
                                  });
  }
  for (const auto& spec : kAgentLinkCommands) {
    std::string command = spec.command;
    _impl->server.RegisterCommand(std::string("qora/") + spec.name, spec.usage, spec.minArgs, spec.maxArgs,
                                  [this, command](const std::vector<std::string>& argv) {
                                    std::vector<std::string> words = {command};
                                    words.insert(words.end(), argv.begin() + 1, argv.end());
                                    auto [ok, text] = _simulator.Execute(words);
                                    return ok ? qor::ovs::UnixctlReply::Ok(text) : qor::ovs::UnixctlReply::Error(text);
                                  });
  }
  int result = _impl->server.Start();
  if (result != 0) {
    *error = std::string("cannot serve ") + path + ": " + std::strerror(result);
    _impl.reset();
    return false;
  }
  return true;
}

void ControlServer::Stop() {
  if (_impl) _impl->server.Stop();
  _impl.reset();
}

}  // namespace qor::dpsim
