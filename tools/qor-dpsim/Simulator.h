// qor-dpsim: the datapath side of every kernel channel the agent opens, in one process.
//
// Started as "qor-dpsim --root DIR [options]". DIR is the QOR_ROOT it serves: channel NAME listens at
// DIR/var/run/zantix/tkmlink/NAME. Options:
//   --channel NAME[=KIND]    serve one more channel (KIND "kcp" or "raw", default raw); repeatable
//   --config FILE            read more channels and VIFs from FILE (format below)
//   --capture DIR            write capture files (see Capture.h) into DIR
//   --no-default-channels    serve only the channels given by options and the file (and no host-agent socket)
//   --agent-link             serve the host-agent socket even with --no-default-channels
//   --control PATH           control socket path (default DIR/var/run/zantix/qor-dpsim/control)
// Configuration file: one directive a line, '#' starts a comment:
//   channel NAME KIND                                             (KIND kcp, swsec, vdr or raw)
//   vif CHANNEL VIF_ID PORT_ID SWITCH_ID [options of vif-connect]  (a VIF the switch holds as connected)
//
// It always serves the devices the agent sets at start, "/dev/fc" and "/dev/vswitch", at DIR/dev/fc and
// DIR/dev/vswitch (DeviceModules.h).
//
// By default it also serves the host agent's socket DIR/var/run/zantix/qor-agent/qora_link (AgentLinkServer.h),
// which the agent's host-agent link connects to; its capture file is "qora_link.cap".
//
// Once every channel listens it writes its pid to DIR/var/run/zantix/qor-dpsim/ready and prints "ready" on standard
// output: a starter waits for that file. SIGTERM or SIGINT stops it and removes its sockets and the ready file.
//
// Threads: the channels and modules live on one IO thread (Run). Execute may be called from any other thread (the
// control socket's): it posts the command to the IO thread and waits for its reply.
#pragma once

#include <boost/asio/io_context.hpp>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/qor-dpsim/AgentLinkServer.h"
#include "tools/qor-dpsim/Channel.h"
#include "tools/qor-dpsim/DeviceServer.h"

namespace qor::dpsim {

struct Options {
  std::string root;
  std::string captureDirectory;
  std::string controlPath;
  std::string configFile;
  bool defaultChannels = true;
  bool agentLink = false;  // serve the host-agent socket even without the default channels
  std::vector<std::pair<std::string, std::string>> channels;  // name, kind
};

// The channels served by default: the names the agent's applications open, with the module for each.
const std::vector<std::pair<std::string, std::string>>& DefaultChannels();

// Parses the command line; nullopt with `error` set on a bad one.
std::optional<Options> ParseOptions(int argc, char** argv, std::string* error);

class Simulator {
 public:
  explicit Simulator(Options options);
  ~Simulator();

  // Reads the configuration file and opens every channel. False with `error` set on failure.
  bool Setup(std::string* error);
  // Writes the ready file; false when it cannot be written.
  bool WriteReadyFile();
  // Runs the IO loop until Stop.
  void Run();
  // Stops the IO loop; callable from any thread (signal handler excluded).
  void Stop();

  // Runs one control command on the IO thread and returns (ok, reply text). Not from the IO thread.
  //   channels                          name, kind, path and open connections of every channel
  //   connections                       every open connection: channel and id
  //   dump CHANNEL                      the module's state
  //   send CHANNEL HEX                  raw bytes to every connection of the channel
  //   drop-connections CHANNEL          closes every connection of the channel (a link flap)
  //   any command of the channel's module (KcpSwitchModule.h, SwitchSecurityModule.h, RouterModule.h), e.g.
  //   vif-connect CHANNEL VIF PORT SWITCH [MAC] [options]   a VIF connects (KCP channels)
  //   devices                           path of every device
  //   dump DEVICE                       a device's state ("dump /dev/fc")
  //   device-fail DEVICE REQUEST ERRNO  requests numbered REQUEST fail with ERRNO from now on (0 clears)
  //   qora-send HEX [TYPE [fragment]]   sends HEX as the payload of one DpMsg frame (type default 1) to every
  //                                     connection of the host-agent socket
  //   qora-send-raw HEX                 sends the bytes HEX as they are (for malformed frames)
  // "channels", "connections" and "dump qora_link" include the host-agent socket.
  std::pair<bool, std::string> Execute(const std::vector<std::string>& words);
  // The same, on the IO thread.
  std::pair<bool, std::string> ExecuteHere(const std::vector<std::string>& words);

  const Options& GetOptions() const { return _options; }
  boost::asio::io_context& Context() { return _context; }
  std::string ReadyFilePath() const;
  std::string ChannelPath(const std::string& name) const;
  std::string AgentLinkPath() const;

 private:
  bool AddChannel(const std::string& name, const std::string& kind, std::string* error);
  bool ReadConfigFile(std::string* error);
  std::pair<bool, std::string> ExecuteAgentLink(const std::vector<std::string>& words);
  std::pair<bool, std::string> ExecuteDevice(const std::vector<std::string>& words);

  Options _options;
  boost::asio::io_context _context;
  std::map<std::string, std::unique_ptr<Channel>> _channels;
  std::unique_ptr<AgentLinkServer> _agentLink;
  std::map<std::string, std::unique_ptr<DeviceServer>> _devices;  // by device path ("/dev/fc")
  std::vector<std::vector<std::string>> _initialVifs;
};

}  // namespace qor::dpsim
