#include "core/startup/Agent.h"

#include <signal.h>
#include <sys/resource.h>
#include <syslog.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <thread>

#include "cache/StateCache.h"
#include "cache/StateCacheObserver.h"
#include "cli/CliServer.h"
#include "core/AgentLock.h"
#include "core/ComponentType.h"
#include "core/Logger.h"
#include "core/MsgQueue.h"
#include "core/ProcessSettings.h"
#include "core/ThreadCounts.h"
#include "core/TolvarUpdateMsg.h"
#include "core/WorkGroup.h"
#include "core/startup/CommandLine.h"
#include "core/startup/FailurePolicy.h"
#include "dataplane/CfgUdsLink.h"
#include "intake/MsgDispatcher.h"
#include "intake/TolvarClient.h"
#include "intake/Transaction.h"
#include "platform/AsioQorProvider.h"
#include "platform/DaemonHealthService.h"
#include "platform/LibraryLogLevels.h"
#include "platform/SNUtil.h"
#include "platform/metrics/Metrics.h"
#include "platform/metrics/MetricsText.h"
#include "platform/rpc/ServerBuilder.h"
#include "platform/sha/ShaPmClient.h"
#include "platform/wft/WorkflowUtil.h"
#include "vessix/VessixService.h"
#include "zantix/qor/health.pb.h"

namespace VevUroro {
namespace {

// The descriptors the agent opens whatever the host's size (sockets, pipes, event descriptors of its threads and
// libraries: about 40 with every application), with room to spare.
constexpr rlim_t kMinimumDescriptors = 64;

// Everything start-up creates, held for the process's life and released in the shutdown order.
class Agent {
 public:
  explicit Agent(std::string configPath) : _configPath(std::move(configPath)) {}
  int Run();

 private:
  bool LoadConfiguration();
  void ApplyLogSettings();
  static void EnsureDescriptors();
  void PrepareProcess();
  bool ReadNodePersona();
  void StartPlatform();
  void StartCliServer();
  // Start-up steps 13 to 28; false when the container service does not initialise.
  bool StartComponents();
  void StartHealthAgentClient();
  // Stops whatever start-up has started, in the shutdown order, and releases everything. Used by shutdown and by
  // a start-up that fails half-way, so that no thread of the pool or of a component outlives `Run`.
  void StopAndRelease();
  // The same after a failure in start-up or run: never throws (a second failure is logged), so that the first one
  // is the one reported.
  void StopAfterFailure();

  std::string _configPath;
  ConfigTree _tree;
  std::unique_ptr<qor::AsioQorProvider> _provider;
  std::shared_ptr<qor::DaemonHealthService> _healthService;
  std::shared_ptr<qor::rpc::ServerBuilder> _builder;
  std::shared_ptr<qor::rpc::Server> _rpcServer;
  qor::RefPtr<qor::Vessix::VessixService> _vessix;
  std::unique_ptr<StateCache> _stateCache;
  std::shared_ptr<UpdateQueue> _updateQueue;
  qor::RefPtr<TolvarClient> _tolvarClient;
  qor::RefPtr<StateCacheObserver> _stateCacheObserver;
  bool _observerStarted = false;
  std::shared_ptr<qor::upm::UPMService> _upm;
  qor::RefPtr<MsgDispatcher> _dispatcher;
  std::shared_ptr<CfgUdsLink> _udsLink;
  std::unique_ptr<ApplicationSet> _apps;
  bool _appListEmpty = true;
  std::unique_ptr<CliServer> _cliServer;
  std::unique_ptr<qor::sha::ShaPmClient> _shaClient;
};

bool Agent::LoadConfiguration() {
  Logger(LOG_LEVEL_DEBUG, "Try loading config file: %1", _configPath);
  try {
    _tree = LoadXmlConfig(_configPath);
  } catch (const std::exception&) {
    Logger(LOG_LEVEL_ERROR, "Failed loading config file: %1", _configPath).AddTag("errorCode:LCP00003");
    logging::FlushConsole();
    std::cout << "-----------------------------------\n* Error *: VevUroro start failed.\n  Configuration file "
              << _configPath << " is invalid!\n-----------------------------------\n";
    std::cout.flush();
    return false;
  }
  return true;
}

void Agent::ApplyLogSettings() {
  {
    AgentLockGuard lock(AgentLock());
    // A negative count is no count at all: it takes the default instead of wrapping into billions of threads.
    int io = ConfigValue<int>(_tree, "config.vevUroro.workGroup.ioThreads", static_cast<int>(DefaultIoThreads()));
    int work = ConfigValue<int>(_tree, "config.vevUroro.workGroup.workThreads", kDefaultWorkThreads);
    SetConfiguredThreadCounts(io < 0 ? DefaultIoThreads() : static_cast<uint32_t>(io),
                              work < 0 ? kDefaultWorkThreads : static_cast<uint32_t>(work));
  }
  SetLogLevel(ConfigValue<int>(_tree, "config.log.level", 4));
  SetOutputToConsole(ConfigValue<bool>(_tree, "config.log.outputToConsole", true));
  // "config.log.dumpConfigUpdateToLog" is accepted and ignored.
  qor::metrics::library_log_level = ConfigValue<int>(_tree, "config.log.metrics", 4);
  qor::net::library_log_level = ConfigValue<int>(_tree, "config.log.net", 4);
  qor::rpc::library_log_level = ConfigValue<int>(_tree, "config.log.rpc", 4);
  qor::tolvar::library_log_level = ConfigValue<int>(_tree, "config.log.tolvar", 4);
  qor::upm::library_log_level = ConfigValue<int>(_tree, "config.log.upm", 4);
  g_vessixLogLevel = ConfigValue<int>(_tree, "config.log.vessix", 4);
  g_dfwLogLevel = ConfigValue<int>(_tree, "config.log.dfw", 4);
  g_idsLogLevel = ConfigValue<int>(_tree, "config.log.ids", 4);
  int traceLevel = ConfigValue<int>(_tree, "config.log.workflow_tracing.trace_level", 2);
  qor::wft::WorkflowUtil::SetTraceLevel(static_cast<uint8_t>(traceLevel));
  int wftLevel = ConfigValue<int>(_tree, "config.log.workflow_tracing.log_level", 4);
  qor::wft::library_log_level = wftLevel;
  Logger(LOG_LEVEL_INFO, "Workflow tracing set trace_level %1 log_level %2", traceLevel, wftLevel);
  qor::sha::library_log_level = ConfigValue<int>(_tree, "config.log.sha", 4);
  qor::platform::library_log_level = GetLogLevel();
}

// The platform library ends the process when it cannot make a pipe, and it makes some on threads that start late;
// a limit too low for the agent's own descriptors is refused up front instead, with the start-up failure's line
// and status. The soft limit is raised to the hard one first, as the agent's needs do not depend on the host.
void Agent::EnsureDescriptors() {
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) != 0) return;
  if (files.rlim_cur < files.rlim_max) {
    rlimit raised{files.rlim_max, files.rlim_max};
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) files = raised;
  }
  if (files.rlim_cur < kMinimumDescriptors) {
    Logger(LOG_LEVEL_ERROR, "Too few file descriptors: the limit is %1, the agent needs %2", files.rlim_cur,
           kMinimumDescriptors);
    throw std::runtime_error("too few file descriptors");
  }
}

void Agent::PrepareProcess() {
  openlog("vevUroro", LOG_PID, LOG_DAEMON);
  setlogmask(0xff);

  char buildNumber[256];
  std::snprintf(buildNumber, sizeof(buildNumber), "Build Number: %s", QOR_BUILD_NUMBER);
  Logger(LOG_LEVEL_INFO, "%1", buildNumber);

  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  sigfillset(&action.sa_mask);
  sigdelset(&action.sa_mask, SIGABRT);
  action.sa_flags = SA_RESTART;
  if (sigaction(SIGPIPE, &action, nullptr) != 0) {
    Logger(LOG_LEVEL_WARN, "Failed to register SIGPIPE handler");
  }

  EnsureDescriptors();

  rlimit core{RLIM_INFINITY, RLIM_INFINITY};
  if (setrlimit(RLIMIT_CORE, &core) == 0) {
    Logger(LOG_LEVEL_DEBUG, "Enable core dump");
  } else {
    Logger(LOG_LEVEL_ERROR, "Failed to enable core dump: %1", std::strerror(errno)).AddTag("errorCode:LCP00027");
  }

  g_instrumentFlags[INSTRUMENT_CONFIG_CACHE] =
      ConfigValue<bool>(_tree, "config.vevUroro.debug.instrument.config_cache", false);
  g_instrumentFlags[INSTRUMENT_L2_CACHE] = ConfigValue<bool>(_tree, "config.vevUroro.debug.instrument.l2_cache", false);
  g_instrumentFlags[INSTRUMENT_L3_CACHE] = ConfigValue<bool>(_tree, "config.vevUroro.debug.instrument.l3_cache", false);
  g_instrumentFlags[INSTRUMENT_TOLVAR_CLIENT] =
      ConfigValue<bool>(_tree, "config.vevUroro.debug.instrument.tolvar_client", false);
  Logger(LOG_LEVEL_INFO, "Instrument configCache %1 l2Cache %2 l3Cache %3 tolvarClient %4",
         g_instrumentFlags[INSTRUMENT_CONFIG_CACHE], g_instrumentFlags[INSTRUMENT_L2_CACHE],
         g_instrumentFlags[INSTRUMENT_L3_CACHE], g_instrumentFlags[INSTRUMENT_TOLVAR_CLIENT]);
}

bool Agent::ReadNodePersona() {
  SNUtil::Init();
  g_nodePersona = SNUtil::GetNodePersona();
  switch (g_nodePersona) {
    case NODE_PERSONA_SMARTNIC_HOST:
      Logger(LOG_LEVEL_INFO, "Node type is smartnic host");
      return true;
    case NODE_PERSONA_SMARTNIC:
      Logger(LOG_LEVEL_INFO, "Node type is smartnic");
      return true;
    case NODE_PERSONA_OTHER:
      Logger(LOG_LEVEL_INFO, "Node type is other");
      return true;
    default:
      Logger(LOG_LEVEL_ERROR, "Node type is unknow");
      return false;
  }
}

void Agent::StartPlatform() {
  _provider = std::make_unique<qor::AsioQorProvider>(qor::AsioQorProviderOptions{}, _tree.get_child("config"), "");
  zantix::qor::ProductVersionMsg version;
  version.set_major(2);
  version.set_minor(3);
  _healthService = std::make_shared<qor::DaemonHealthService>(version);
  _builder = _provider->rpc();
  std::string endpoint = ConfigValue<std::string>(_tree, "config.vevUroro.endpoints.health", kDefaultHealthEndpoint);
  _builder->AddListeningEndpoint(endpoint);
  _builder->AddLocalEndpointId(kDaemonName);
  _builder->RegisterService(_healthService, qor::rpc::ServiceOptions{1});
  _rpcServer = _builder->BuildStarted();
  if (!_rpcServer) {
    Logger(LOG_LEVEL_ERROR, "Failed to start the health RPC server on %1: %2", endpoint, _builder->LastError());
    throw std::runtime_error("health RPC server not started");
  }
  for (const auto& bound : _rpcServer->ListeningEndpoints()) {
    Logger(LOG_LEVEL_INFO, "Health RPC server listening on %1", bound);
  }
}

void Agent::StartCliServer() {
  Logger(LOG_LEVEL_INFO, "Starting running CLI Server");
  // The applications that exist become the context of their commands once they implement the CLI interfaces.
  CliServerDeps deps;
  deps.stateCache = _stateCache.get();
  deps.tolvarClient = _tolvarClient.get();
  deps.metrics = _provider->metrics();
  deps.configApp = dynamic_cast<IConfigAppCli*>(_apps->configApp.get());
  deps.l2App = dynamic_cast<IL2AppCli*>(_apps->l2App.get());
  auto handler = [&deps](cli::CliArea area, Component* application) {
    if (auto* commands = dynamic_cast<ICliCommandHandler*>(application)) deps.applications[area] = commands;
  };
  handler(cli::CliArea::kFirewall, _apps->dfwMain.get());
  handler(cli::CliArea::kServiceInsertion, _apps->siApp.get());
  handler(cli::CliArea::kIntrusionDetection, _apps->idsApp.get());
  handler(cli::CliArea::kBfd, _apps->bfdApp.get());
  _cliServer = std::make_unique<CliServer>(std::move(deps));
  _cliServer->Start();
}

void Agent::StartHealthAgentClient() {
  _shaClient = std::make_unique<qor::sha::ShaPmClient>(kDaemonName);
  _shaClient->Start();
  auto metrics = _provider->metrics();
  _shaClient->RegisterCombinedMessageMetricCollection(
      "combined.message", [metrics](void*) -> std::optional<std::string> { return qor::metrics::FormatText(*metrics); },
      _apps ? _apps->configApp.get() : nullptr, 20);
  _shaClient->StartMetricCollection();
  _shaClient->StartProcessHeartbeat(5, 30);
}

int Agent::Run() {
  if (!LoadConfiguration()) return -1;
  ApplyLogSettings();
  PrepareProcess();
  if (!ReadNodePersona()) return -1;
  Logger(LOG_LEVEL_INFO, "Start vevUroro");

  bool started;
  try {
    StartPlatform();
    started = StartComponents();
  } catch (...) {
    StopAfterFailure();
    throw;
  }
  if (!started) {
    StopAfterFailure();
    return -1;
  }

  try {
    _provider->Run(1);
  } catch (...) {
    StopAfterFailure();
    throw;
  }
  Logger(LOG_LEVEL_INFO, "Clean up platform");
  StopAndRelease();
  return 0;
}

bool Agent::StartComponents() {
  WorkGroup::Start(_provider->metrics());

  _vessix = new qor::Vessix::VessixService();
  if (!_vessix->Initialise(_provider.get())) {
    Logger(LOG_LEVEL_ERROR, "Failed to initialize vessix.");
    return false;
  }
  Logger(LOG_LEVEL_INFO, "Initialize vessix successfully.");

  _stateCache = std::make_unique<StateCache>();
  _updateQueue = MakeUpdateQueue();
  std::string tolvarEndpoint =
      ConfigValue<std::string>(_tree, "config.vevUroro.endpoints.tolvar", kDefaultTolvarEndpoint);
  _tolvarClient = new TolvarClient(TolvarClientSettings::ForPersona(g_nodePersona, tolvarEndpoint), _updateQueue,
                                   _stateCache.get(), _provider.get());
  _upm = _tolvarClient->UpmService();
  _stateCacheObserver = new StateCacheObserver(_tolvarClient.get(), _stateCache->ConfigTable(), _stateCache->L2Table());
  _observerStarted = true;
  _stateCacheObserver->Start();
  _dispatcher = new MsgDispatcher(_updateQueue);
  _stateCache->RegisterWith(*_dispatcher);

  const ConfigTree& appList = _tree.get_child("config.vevUroro.apps");
  _udsLink = std::make_shared<CfgUdsLink>();
  ApplicationDeps deps;
  deps.provider = _provider.get();
  deps.udsLink = _udsLink.get();
  deps.dispatcher = _dispatcher.get();
  deps.tolvarClient = _tolvarClient.get();
  deps.configTable = _stateCache->ConfigTable();
  deps.l3Table = _stateCache->L3Table();
  deps.l2Table = _stateCache->L2Table();
  deps.vessix = _vessix.get();
  deps.profiles = _upm;
  _apps = std::make_unique<ApplicationSet>(deps);
  _appListEmpty = appList.empty();
  if (!_appListEmpty) {
    _udsLink->Start();
    _apps->StartFromList(appList);
    _apps->StartSondaraFallback();
  }

  Logger(LOG_LEVEL_INFO, "Tolvar client starts");
  _tolvarClient->Start();
  _apps->PostStartAll();
  _upm->Start();
  StartCliServer();
  if (!_dispatcher->Start()) Logger(LOG_LEVEL_ERROR, "MsgDispatcher: failed to start the dispatcher loop");

  StartHealthAgentClient();
  return true;
}

void Agent::StopAfterFailure() {
  try {
    StopAndRelease();
  } catch (const std::exception& e) {
    Logger(LOG_LEVEL_ERROR, "Failed to stop after a failure: %1", e.what());
  } catch (...) {
    Logger(LOG_LEVEL_ERROR, "Failed to stop after a failure: %1", "unknown exception");
  }
}

void Agent::StopAndRelease() {
  // The Tolvar client first (it unregisters its monitors and ends the connection), then the container-mapping
  // service that shares it: with the connection gone its own monitors are gone too, and it stops at once.
  if (_tolvarClient) _tolvarClient->Stop();
  if (_upm) _upm->Stop();
  if (!_appListEmpty) {
    if (_apps) _apps->StopAll();
    if (_udsLink) _udsLink->Stop();
  }
  if (_cliServer) _cliServer->Stop();
  if (_dispatcher && _dispatcher->IsRegistered(L3CACHE)) _dispatcher->Unregister(L3CACHE);
  if (_observerStarted) _stateCacheObserver->Stop();
  // The dispatcher loop holds a pool thread: it must leave before the pool joins its threads.
  if (_dispatcher) _dispatcher->Stop();
  WorkGroup::Stop();
  if (_shaClient) {
    _shaClient->StopMetricCollection();
    _shaClient->UnregisterMetricCollectionAll();
    _shaClient->StopProcessHeartbeat();
    _shaClient->Stop();
    _shaClient.reset();
  }
  _cliServer.reset();
  _apps.reset();
  _udsLink.reset();
  _dispatcher.reset();
  _stateCacheObserver.reset();
  _upm.reset();
  _tolvarClient.reset();
  _updateQueue.reset();
  _stateCache.reset();
  _vessix.reset();
  _rpcServer.reset();
  _builder.reset();
  _healthService.reset();
  _provider.reset();
}

}  // namespace

int RunAgent(int argc, char** argv) {
  auto commandLine = ParseCommandLine(argc, argv);
  if (!commandLine) return -1;
  if (commandLine->action == CommandLine::Action::kHelp) {
    std::cout << HelpText(argc > 0 ? argv[0] : kDaemonName);
    return 0;
  }
  if (commandLine->action == CommandLine::Action::kVersion) {
    std::cout << kDaemonName << " " << QOR_BUILD_NUMBER << "\n";
    return 0;
  }
  return RunWithFailurePolicy([&]() { return Agent(commandLine->configPath).Run(); });
}

}  // namespace VevUroro
