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

// One control command: "<control name>" runs the simulator command <command> with the same arguments.
struct ControlCommand {
  const char* name;
  const char* command;
  const char* usage;
  int minArgs;
  int maxArgs;
};

constexpr ControlCommand kCommands[] = {
    {"dpsim/channels", "channels", "", 0, 0},
    {"dpsim/connections", "connections", "", 0, 0},
    {"dpsim/dump", "dump", "CHANNEL|DEVICE", 1, 1},
    {"dpsim/vif-connect", "vif-connect",
     "CHANNEL VIF PORT SWITCH [MAC] [mac=MAC]... [type=N] [parent=VIF] [smartnic] "
     "[binding=IP,MAC,VLAN,METHOD[,TIMESTAMP]]...",
     4, 40},
    {"dpsim/vif-disconnect", "vif-disconnect", "CHANNEL VIF [hoplift]", 2, 3},
    {"dpsim/vif-bindings", "vif-bindings", "CHANNEL VIF [fragments=N] [binding=IP,MAC,VLAN,METHOD[,TIMESTAMP]]...", 2,
     40},
    {"dpsim/dp-status", "dp-status", "CHANNEL sync|out-of-sync", 2, 2},
    {"dpsim/port-out-of-sync", "port-out-of-sync", "CHANNEL VIF", 2, 2},
    {"dpsim/tkmnic-out-of-sync", "tkmnic-out-of-sync", "CHANNEL TKMNIC", 2, 2},
    {"dpsim/hoplift-sync", "hoplift-sync", "CHANNEL VIF 1|2|3", 3, 3},
    {"dpsim/disruption-start", "disruption-start", "CHANNEL", 1, 1},
    {"dpsim/disruption-report", "disruption-report", "CHANNEL", 1, 1},
    {"dpsim/stats", "stats", "CHANNEL", 1, 1},
    {"dpsim/port", "port", "CHANNEL VIF", 2, 2},
    {"dpsim/journal", "journal", "CHANNEL FILE|off", 2, 2},
    {"dpsim/export", "export", "CHANNEL FILE", 2, 2},
    {"dpsim/swsec-solicit", "swsec-solicit", "CHANNEL VIF", 2, 2},
    {"dpsim/vdr-full-sync", "vdr-full-sync", "CHANNEL VDR|all", 2, 2},
    {"dpsim/vdr-dad-report", "vdr-dad-report", "CHANNEL VDR LIF VERSION|- STATUS [IP STATE]...", 5, 41},
    {"dpsim/vdr-reset", "vdr-reset", "CHANNEL", 1, 1},
    {"dpsim/vdr-message", "vdr-message", "CHANNEL TYPE", 2, 2},
    {"dpsim/l2-join", "l2-join", "CHANNEL VNI SWITCH_ID", 3, 3},
    {"dpsim/l2-leave", "l2-leave", "CHANNEL VNI", 2, 2},
    {"dpsim/l2-local-vtep", "l2-local-vtep", "CHANNEL VNI IP LABEL add|del", 5, 5},
    {"dpsim/l2-local-mac", "l2-local-mac", "CHANNEL VNI MAC VTEP_IP add|del", 5, 5},
    {"dpsim/l2-rd-vtep", "l2-rd-vtep", "CHANNEL SWITCH_ID RD_UUID IP LABEL add|del", 6, 6},
    {"dpsim/l2-query", "l2-query", "CHANNEL mac|arp|nd VNI ADDRESS", 4, 4},
    {"dpsim/l2-out-of-sync", "l2-out-of-sync", "CHANNEL", 1, 1},
    {"dpsim/l2-instance", "l2-instance", "CHANNEL add|remove ID", 3, 3},
    {"dpsim/l2-alarm", "l2-alarm", "CHANNEL fault|ha|recovery STATE FAMILY FAULT TKM_NAME DVS_NAME", 7, 7},
    {"dpsim/l2-send-session", "l2-send-session", "CHANNEL SESSION", 2, 2},
    {"dpsim/l2-record-start", "l2-record-start", "CHANNEL", 1, 1},
    {"dpsim/l2-record-report", "l2-record-report", "CHANNEL", 1, 1},
    {"dpsim/send", "send", "CHANNEL HEX", 2, 2},
    {"dpsim/drop-connections", "drop-connections", "CHANNEL", 1, 1},
    {"dpsim/devices", "devices", "", 0, 0},
    {"dpsim/device-fail", "device-fail", "DEVICE REQUEST ERRNO", 3, 3},
    {"qora/send", "qora-send", "HEX [TYPE [fragment]]", 1, 3},
    {"qora/send-raw", "qora-send-raw", "HEX", 1, 1},
};

}  // namespace

ControlServer::ControlServer(Simulator& simulator) : _simulator(simulator) {}
ControlServer::~ControlServer() {
  Stop();
}

bool ControlServer::Start(const std::string& path, std::string* error) {
  _impl = std::make_unique<Impl>(path);
  for (const auto& entry : kCommands) {
    std::string command = entry.command;
    _impl->server.RegisterCommand(entry.name, entry.usage, entry.minArgs, entry.maxArgs,
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
