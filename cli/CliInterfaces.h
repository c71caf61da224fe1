// What the applications offer the operator CLI server (CliServer.h). Start-up hands the server the applications
// that exist and implement these interfaces; an absent one makes its commands answer that it is not running.
//
// Calls come from the CLI server's thread, one at a time, with the agent lock held (the lock is recursive, so an
// implementation may take it again). They may come after the application's Stop() until the CLI server is
// stopped (shutdown stops the applications first), and must then answer from what the application still holds.
#pragma once

#include <string>
#include <vector>

#include "platform/ovs/Unixctl.h"

namespace VevUroro {

// One logical switch port as the configuration application realised it ("vevuroro/lport/status").
struct LportStatusRow {
  std::string lportId;          // UUID text
  std::string status;           // the port's state in the datapath, as the application names it
  std::string dvsId;            // the datapath switch the port is on
  std::string logicalSwitchId;  // UUID text
  std::string dvportId;
};

// Implemented by the configuration application (`VevUroro::ConfigApp`).
class IConfigAppCli {
 public:
  virtual ~IConfigAppCli() = default;
  // Every port the application knows, in a stable order.
  virtual std::vector<LportStatusRow> LportStatus() const = 0;
  // Behave as if the datapath had reported OutOfSync: start a new session and full sync with the datapath.
  // False when it cannot (the reply then says so).
  virtual bool SimulateOutOfSync() = 0;
};

// Implemented by the L2 application (`VevUroro::L2App`).
class IL2AppCli {
 public:
  virtual ~IL2AppCli() = default;
  // As IConfigAppCli::SimulateOutOfSync, for the overlay L2 tables.
  virtual bool SimulateOutOfSync() = 0;
};

// Implemented by the applications that serve their own commands (firewall "dfw/...", service insertion "si/...",
// intrusion detection "ids/...", BFD, IPFIX, SmartNIC): the application is the context of its commands.
class ICliCommandHandler {
 public:
  virtual ~ICliCommandHandler() = default;
  // argv[0] is the command name, its arguments follow (their count already checked).
  virtual qor::ovs::UnixctlReply HandleCliCommand(const std::vector<std::string>& argv) = 0;
};

}  // namespace VevUroro
