// The simulator's unixctl control socket: "ovs-appctl -t SOCKET dpsim/<command> ARGS" runs Simulator::Execute.
//
// Commands: dpsim/channels, dpsim/connections, dpsim/dump CHANNEL; the virtual switch's injections
// (dpsim/vif-connect, vif-disconnect, vif-bindings, dp-status, port-out-of-sync, tkmnic-out-of-sync, hoplift-sync),
// its no-disruption recorder (dpsim/disruption-start, disruption-report) and measurement commands (dpsim/stats,
// port, journal, export), the switch-security module's
// dpsim/swsec-solicit, dpsim/send CHANNEL HEX and dpsim/drop-connections CHANNEL (see Simulator.h); and for the
// host-agent socket qora/send HEX [TYPE [fragment]] (HEX is the payload of one DpMsg frame) and qora/send-raw HEX (HEX
// is sent as it is).
//
// Threads: Start and Stop on the main thread; the server runs on a thread of its own and hands each command to the
// simulator's IO thread.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace qor::dpsim {

class Simulator;

class ControlServer {
 public:
  explicit ControlServer(Simulator& simulator);
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // Creates the socket at `path` and starts serving; false with `error` set on failure.
  bool Start(const std::string& path, std::string* error);
  void Stop();

 private:
  struct Impl;
  Simulator& _simulator;
  std::unique_ptr<Impl> _impl;
};

}  // namespace qor::dpsim
