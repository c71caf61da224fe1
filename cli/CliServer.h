// VevUroro::CliServer: the operator command server on the agent's control socket
// "/var/run/zantix/qor-vevuroro/vevuroro-cli" (under QOR_ROOT), spoken to with `ovs-appctl -t SOCKET COMMAND`.
//
// It registers the 113 commands of CliCommandTable.h. It serves itself the state cache dumps and queries, the
// Tolvar client's container mapping, the log levels, the worker pool's metrics and the out-of-sync simulation; the
// configuration application (IConfigAppCli) and the L2 application (IL2AppCli) are asked for what only they know;
// the commands of the other applications go to the application of their area (ICliCommandHandler), and each of
// them answers "... is not running" while its application is absent. Reply layouts: StateCacheDumps.h and the
// README's "Operating the agent".
//
// Dumps copy what they show while they hold the agent lock, and build the reply after releasing it; at most
// kDisplayLimit records of the configuration or L2 cache are shown by one dump (the cut is logged at warn). A
// command waits at most `agentLockWait` for the agent lock and otherwise answers that the agent is busy: the
// server has one thread, and a command stuck behind a long update would hold up every other one, log levels
// included.
//
// Ownership and threads: created, started and stopped by start-up/shutdown on the main thread. Everything in
// CliServerDeps is borrowed and must outlive Stop(). Handlers run on the server's own thread, one at a time.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cache/StateCacheRecord.h"
#include "cli/CliCommandTable.h"
#include "cli/CliInterfaces.h"
#include "platform/metrics/Metrics.h"
#include "platform/ovs/Unixctl.h"

namespace VevUroro {

class StateCache;
class TolvarClient;

struct CliServerDeps {
  StateCache* stateCache = nullptr;
  TolvarClient* tolvarClient = nullptr;
  // The provider's registry, where the worker pool keeps its metrics.
  std::shared_ptr<qor::metrics::Registry> metrics;
  IConfigAppCli* configApp = nullptr;
  IL2AppCli* l2App = nullptr;
  // The applications that serve their own commands, by area.
  std::map<cli::CliArea, ICliCommandHandler*> applications;
};

class CliServer {
 public:
  static constexpr const char* kSocketPath = "/var/run/zantix/qor-vevuroro/vevuroro-cli";
  static constexpr size_t kDisplayLimit = 60000;
  static constexpr std::chrono::milliseconds kAgentLockWait{5000};
  using Handler = qor::ovs::UnixctlServer::Handler;

  // `socketPath` empty: kSocketPath under QOR_ROOT.
  explicit CliServer(CliServerDeps deps, std::string socketPath = {},
                     std::chrono::milliseconds agentLockWait = kAgentLockWait);
  ~CliServer();
  CliServer(const CliServer&) = delete;
  CliServer& operator=(const CliServer&) = delete;

  // Registers every command, creates the socket and starts the server thread ("Start running cli server").
  // False (logged) when the socket cannot be created; the agent runs on without its CLI then.
  bool Start();
  // Stops serving and removes the socket; idempotent.
  void Stop();

  const std::string& SocketPath() const { return _server.Path(); }
  // Runs one command as the socket would, argument counts included (benchmarks and tests).
  qor::ovs::UnixctlReply Execute(const std::vector<std::string>& argv);

 private:
  void AddOwnHandlers();
  // Runs one handler; a command that could not get the agent lock in time answers that the agent is busy.
  qor::ovs::UnixctlReply Run(const Handler& handler, const std::vector<std::string>& argv) const;
  // The agent lock, waited for at most _agentLockWait; throws AgentBusy (answered by Run) when it stays taken.
  std::unique_lock<std::recursive_timed_mutex> HoldAgentLock() const;

  qor::ovs::UnixctlReply LportStatus();
  qor::ovs::UnixctlReply SimulateOutOfSync(const std::string& vertical);
  qor::ovs::UnixctlReply ConfigDump(bool runtime);
  qor::ovs::UnixctlReply L2Dump(bool runtime);
  qor::ovs::UnixctlReply L3Dump();
  qor::ovs::UnixctlReply CacheTable();
  qor::ovs::UnixctlReply CacheSize();
  qor::ovs::UnixctlReply WorkerStats();
  qor::ovs::UnixctlReply L2RoutingDomain();
  qor::ovs::UnixctlReply Container();
  // The desired records of one configuration type, formatted by `format`.
  qor::ovs::UnixctlReply ConfigTypeView(uint32_t objectType,
                                        std::string (*format)(const std::vector<StateCacheRecord>&));
  qor::ovs::UnixctlReply ExtraConfig(uint32_t objectType, uint32_t propertyType, const std::string& idColumn);

  // statecache/... queries (JSON replies).
  qor::ovs::UnixctlReply ObjectRecords(const std::string& id, const std::string& store, uint32_t propertyType);
  qor::ovs::UnixctlReply VmAddresses(const std::string& id, uint32_t propertyType, int family);
  qor::ovs::UnixctlReply FibObjects(uint32_t objectType);
  // The records of the desired type `remoteType` and the runtime type `localType` that `keep` selects, as
  // {"remote": [...], "local": [...]}.
  using RecordFilter = std::function<bool(const StateCacheRecord&)>;
  qor::ovs::UnixctlReply RemoteAndLocal(uint32_t remoteType, uint32_t localType, const RecordFilter& keep);

  // The L2 records of one type from the desired (remote) or runtime (local) store, copied under the agent lock.
  std::vector<StateCacheRecord> L2Records(uint32_t objectType, bool runtime) const;
  // Cuts `records` to the display limit, logging `what` ("config cache" / "L2 cache") when it does.
  template <typename Record>
  std::string Cut(std::vector<Record>& records, size_t total, const char* what) const;
  static qor::ovs::UnixctlReply NotRunning(const std::string& what);

  CliServerDeps _deps;
  std::chrono::milliseconds _agentLockWait;
  qor::ovs::UnixctlServer _server;
  std::map<std::string, Handler> _handlers;  // every command of the table
};

}  // namespace VevUroro
