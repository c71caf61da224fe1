#include "cli/CliServer.h"

#include <algorithm>
#include <optional>

#include "cache/StateCache.h"
#include "cli/LogLevelCommands.h"
#include "cli/OperatorText.h"
#include "cli/RecordText.h"
#include "cli/StateCacheDumps.h"
#include "cli/TextTable.h"
#include "core/AgentLock.h"
#include "core/Logger.h"
#include "core/WorkGroup.h"
#include "intake/TolvarClient.h"
#include "intake/TypeNames.h"
#include "platform/QorRoot.h"
#include "platform/ovs/Json.h"
#include "platform/tolvar/TolvarSchema.h"
#include "platform/wft/WorkflowUtil.h"
#include "zantix/qor/tolvar/l2.pb.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace VevUroro {
namespace {

namespace tv = zantix::qor::tolvar;
using qor::ovs::Json;
using qor::ovs::UnixctlReply;
using tv::Property;

UnixctlReply JsonReply(const Json& json) {
  return UnixctlReply::Ok(json.Text(true));
}

// The cache key of an object given as UUID text; nullopt when the text is not a UUID.
std::optional<std::string> ObjectIdOf(const std::string& text) {
  uint64_t high = 0, low = 0;
  if (!qor::tolvar::ParseUuid(text, &high, &low)) return std::nullopt;
  tv::UuidMsg id;
  id.set_high(high);
  id.set_low(low);
  return id.SerializeAsString();
}

UnixctlReply BadUuid(const std::string& text) {
  return UnixctlReply::Error("\"" + text + "\" is not a UUID");
}

struct AgentBusy {};

}  // namespace

CliServer::CliServer(CliServerDeps deps, std::string socketPath, std::chrono::milliseconds agentLockWait)
    : _deps(std::move(deps)),
      _agentLockWait(agentLockWait),
      _server(socketPath.empty() ? qor::QorPath(kSocketPath) : std::move(socketPath)) {
  AddOwnHandlers();
  for (const cli::CliCommandEntry& entry : cli::CliCommandTable()) {
    if (entry.area == cli::CliArea::kAgent) continue;
    auto found = _deps.applications.find(entry.area);
    ICliCommandHandler* application = found == _deps.applications.end() ? nullptr : found->second;
    std::string what = cli::AreaName(entry.area);
    _handlers[entry.name] = [this, application, what](const std::vector<std::string>& argv) {
      if (!application) return UnixctlReply::Error(argv[0] + ": the " + what + " is not running");
      auto lock = HoldAgentLock();
      return application->HandleCliCommand(argv);
    };
  }
}

CliServer::~CliServer() {
  Stop();
}

bool CliServer::Start() {
  Logger(LOG_LEVEL_INFO, "vevuroro cli socket %1", _server.Path());
  for (const cli::CliCommandEntry& entry : cli::CliCommandTable()) {
    auto found = _handlers.find(entry.name);
    if (found == _handlers.end() ||
        !_server.RegisterCommand(entry.name, entry.usage, entry.minArgs, entry.maxArgs,
                                 [this, &handler = found->second](const auto& argv) { return Run(handler, argv); })) {
      Logger(LOG_LEVEL_ERROR, "CliServer: cannot register command %1", entry.name);
    }
  }
  int error = _server.Start();
  if (error != 0) {
    Logger(LOG_LEVEL_ERROR, "CliServer: failed to create cli server on %1: %2", _server.Path(),
           std::error_code(error, std::generic_category()).message());
    return false;
  }
  Logger(LOG_LEVEL_INFO, "Start running cli server");
  return true;
}

void CliServer::Stop() {
  if (!_server.Running()) return;
  _server.Stop();
  Logger(LOG_LEVEL_INFO, "Stop running cli server");
}

UnixctlReply CliServer::Execute(const std::vector<std::string>& argv) {
  const auto& table = cli::CliCommandTable();
  auto entry =
      std::find_if(table.begin(), table.end(), [&](const auto& s) { return !argv.empty() && argv[0] == s.name; });
  if (entry == table.end()) return UnixctlReply::Error("unknown command");
  int count = static_cast<int>(argv.size()) - 1;
  if (count < entry->minArgs || count > entry->maxArgs) return UnixctlReply::Error("wrong number of arguments");
  return Run(_handlers.at(entry->name), argv);
}

UnixctlReply CliServer::Run(const Handler& handler, const std::vector<std::string>& argv) const {
  try {
    return handler(argv);
  } catch (const AgentBusy&) {
    Logger(LOG_LEVEL_WARN, "CliServer: %1 not answered: the agent lock was not free within %2 ms", argv[0],
           _agentLockWait.count());
    return UnixctlReply::Error(argv[0] + ": the agent is busy (its lock stayed taken for " +
                               std::to_string(_agentLockWait.count()) + " ms); try again");
  }
}

std::unique_lock<std::recursive_timed_mutex> CliServer::HoldAgentLock() const {
  // Waited until a system-clock deadline: the relative wait locks through pthread_mutex_clocklock, which the thread
  // sanitizer does not intercept, so it would see every unlock as the unlock of a free mutex. A clock step only
  // moves this bounded wait.
  std::unique_lock<std::recursive_timed_mutex> lock(AgentLock(), std::chrono::system_clock::now() + _agentLockWait);
  if (!lock.owns_lock()) throw AgentBusy{};
  return lock;
}

void CliServer::AddOwnHandlers() {
  using Argv = const std::vector<std::string>&;
  auto add = [this](const std::string& name, Handler handler) { _handlers[name] = std::move(handler); };
  auto noArgs = [&](const std::string& name, UnixctlReply (CliServer::*method)()) {
    add(name, [this, method](Argv) { return (this->*method)(); });
  };
  auto typeView = [&](const std::string& name, uint32_t type,
                      std::string (*format)(const std::vector<StateCacheRecord>&)) {
    add(name, [this, type, format](Argv) { return ConfigTypeView(type, format); });
  };

  noArgs("vevuroro/lport/status", &CliServer::LportStatus);
  add("vevuroro/l2/local", [this](Argv) { return L2Dump(true); });
  add("vevuroro/l2/remote", [this](Argv) { return L2Dump(false); });
  noArgs("vevuroro/l3/remote", &CliServer::L3Dump);
  add("vevuroro/config/local", [this](Argv) { return ConfigDump(true); });
  add("vevuroro/config/remote", [this](Argv) { return ConfigDump(false); });
  noArgs("vevuroro/cache/table", &CliServer::CacheTable);
  typeView("vevuroro/config/lswitch", tv::LOG_SWITCH_CONFIG, &cli::TypeTable);
  typeView("vevuroro/config/lport", tv::LOG_SWITCH_PORT_CONFIG, &cli::TypeTable);
  typeView("vevuroro/config/tnode", tv::TRANSPORT_NODE_CONFIG, &cli::TypeTable);
  typeView("vevuroro/config/bcluster", tv::BRIDGE_CLUSTER_CONFIG, &cli::TypeTable);
  typeView("vevuroro/config/mirror", tv::LOG_SWITCH_PORT_CONFIG, &cli::MirrorTable);
  typeView("vevuroro/config/mirrorsession", tv::PORT_MIRROR_SESSION, &cli::TypeTable);
  typeView("vevuroro/config/ipfix", tv::IPFIX_CONFIGURATION, &cli::TypeTable);
  typeView("vevuroro/config/profile", tv::PROFILE, &cli::TypeTable);
  typeView("vevuroro/config/grelation", tv::ENTITY_GROUP_RELATION, &cli::TypeTable);
  noArgs("vevuroro/config/container", &CliServer::Container);
  typeView("vevuroro/config/vessixtkm", tv::LOG_SWITCH_PORT_CONFIG, &cli::VessixTkmTable);
  typeView("vevuroro/config/uplink", tv::TRANSPORT_NODE_CONFIG, &cli::UplinkTable);
  typeView("vevuroro/config/lsportlist", tv::LOG_SWITCH_PORT_CONFIG, &cli::LsPortListTable);
  typeView("vevuroro/config/ciflist", tv::LOG_SWITCH_PORT_CONFIG, &cli::CifListTable);
  add("vevuroro/lsp/extracfg", [this](Argv) {
    return ExtraConfig(tv::LOG_SWITCH_PORT_CONFIG, Property::LSP_EXTRA_CONFIGS, "Logical Port UUID");
  });
  add("vevuroro/ls/extracfg",
      [this](Argv) { return ExtraConfig(tv::LOG_SWITCH_CONFIG, Property::LS_EXTRA_CONFIGS, "Logical Switch UUID"); });
  typeView("vevuroro/ls/attachmentcfg", tv::LOG_SWITCH_CONFIG, &cli::LsAttachmentTable);
  noArgs("vevuroro/l2/routingdomain", &CliServer::L2RoutingDomain);

  for (const cli::LibraryLevel& library : cli::LibraryLevels()) {
    add(library.SetCommand(), [&library](Argv argv) { return cli::SetLevel(library, argv[1]); });
    add(library.GetCommand(), [&library](Argv) { return cli::GetLevel(library); });
  }
  add("vevuroro/set-wft/tracelevel", [](Argv argv) { return cli::SetTraceLevel(argv[1]); });
  add("vevuroro/get-wft/tracelevel", [](Argv) { return cli::GetTraceLevel(); });
  noArgs("vevuroro/get-wft/stats", &CliServer::WorkerStats);

  add("vevuroro/statecache/logicalswitch", [this](Argv argv) { return ObjectRecords(argv[1], argv[2], 0); });
  add("vevuroro/statecache/logicalswitches", [this](Argv) { return FibObjects(tv::LOG_SWITCH_FIB); });
  add("vevuroro/statecache/L2vtep", [this](Argv argv) { return ObjectRecords(argv[1], argv[2], Property::L2_VTEP); });
  add("vevuroro/statecache/L2arp", [this](Argv argv) { return VmAddresses(argv[1], Property::L2_VM_IP, 4); });
  add("vevuroro/statecache/L2mac", [this](Argv argv) { return VmAddresses(argv[1], Property::L2_VM_MAC, 0); });
  add("vevuroro/statecache/L2ND", [this](Argv argv) { return VmAddresses(argv[1], Property::L2_VM_IP, 6); });
  add("vevuroro/statecache/routing-domains", [this](Argv) { return FibObjects(tv::ROUTING_DOMAIN_FIB); });
  add("vevuroro/statecache/routing-domain-uuid", [this](Argv argv) {
    std::optional<std::string> id = ObjectIdOf(argv[1]);
    if (!id) return BadUuid(argv[1]);
    return RemoteAndLocal(tv::ROUTING_DOMAIN_FIB, tv::ROUTING_DOMAIN_VTEP,
                          [&](const StateCacheRecord& r) { return r.objectId == *id; });
  });
  add("vevuroro/statecache/dr-vtep", [this](Argv) {
    return RemoteAndLocal(tv::ROUTING_DOMAIN_FIB, tv::ROUTING_DOMAIN_VTEP,
                          [](const StateCacheRecord& r) { return r.propertyType == Property::L2_VTEP; });
  });
  add("vevuroro/statecache/tn-tep-group",
      [this](Argv) { return RemoteAndLocal(tv::L2_VTEP_GROUP, 0, [](const StateCacheRecord&) { return true; }); });
  noArgs("vevuroro/cache/size", &CliServer::CacheSize);
  add("vevuroro/set-simulate/out-of-sync", [this](Argv argv) { return SimulateOutOfSync(argv[1]); });
}

UnixctlReply CliServer::NotRunning(const std::string& what) {
  return UnixctlReply::Error("the " + what + " is not running");
}

template <typename Record>
std::string CliServer::Cut(std::vector<Record>& records, size_t total, const char* what) const {
  if (total <= kDisplayLimit) return {};
  Logger(LOG_LEVEL_WARN,
         (std::string("CliServer: ") + what +
          " number %1 exceeds the maximum number %2 displayed by "
          "vevuroro cli")
             .c_str(),
         total, kDisplayLimit);
  if (records.size() > kDisplayLimit) records.resize(kDisplayLimit);
  return "(" + std::to_string(records.size()) + " of " + std::to_string(total) + " entries shown)\n";
}

UnixctlReply CliServer::LportStatus() {
  if (!_deps.configApp) return NotRunning("configuration application");
  std::vector<LportStatusRow> rows;
  {
    auto lock = HoldAgentLock();
    rows = _deps.configApp->LportStatus();
  }
  cli::TextTable table({"Logical Port UUID", "Status", "DVSwitch ID", "Logical Switch", "DVPort ID"});
  for (const LportStatusRow& row : rows) {
    table.AddRow({row.lportId, row.status, row.dvsId, row.logicalSwitchId, row.dvportId});
  }
  return UnixctlReply::Ok(table.Text());
}

UnixctlReply CliServer::SimulateOutOfSync(const std::string& vertical) {
  std::string failed = "Setting simulate out of sync for vertical " + vertical + " failed";
  bool config = vertical == "config";
  if (!config && vertical != "l2") {
    Logger(LOG_LEVEL_ERROR, "CliServer: unknown vertical name %1.", cli::LoggedArgument(vertical));
    return UnixctlReply::Error(failed);
  }
  if (config ? !_deps.configApp : !_deps.l2App) {
    std::string what = config ? "configuration application" : "L2 application";
    Logger(LOG_LEVEL_ERROR, "CliServer: cannot simulate out of sync for vertical %1: the %2 is not running", vertical,
           what);
    return UnixctlReply::Error(failed + ": the " + what + " is not running");
  }
  Logger(LOG_LEVEL_INFO, "CliServer: setting simulate out of sync for vertical %1", vertical);
  bool done;
  {
    auto lock = HoldAgentLock();
    done = config ? _deps.configApp->SimulateOutOfSync() : _deps.l2App->SimulateOutOfSync();
  }
  if (!done) return UnixctlReply::Error(failed);
  return UnixctlReply::Ok("Setting simulate out of sync for vertical " + vertical + " successfully");
}

UnixctlReply CliServer::ConfigDump(bool runtime) {
  if (!_deps.stateCache) return NotRunning("state cache");
  std::vector<StateCacheRecord> records;
  size_t total;
  {
    auto lock = HoldAgentLock();
    const StateCacheConfigTable* table = _deps.stateCache->ConfigTable();
    total = runtime ? table->CopyRuntime(&records, kDisplayLimit) : table->CopyDesired(&records, kDisplayLimit);
  }
  std::string cut = Cut(records, total, "config cache");
  return UnixctlReply::Ok(cli::RecordTable(records) + cut);
}

UnixctlReply CliServer::L2Dump(bool runtime) {
  if (!_deps.stateCache) return NotRunning("state cache");
  std::vector<StateCacheL2Table::Record> records;
  size_t total;
  {
    auto lock = HoldAgentLock();
    const StateCacheL2Table* table = _deps.stateCache->L2Table();
    total = runtime ? table->CopyRuntime(&records, kDisplayLimit) : table->CopyDesired(&records, kDisplayLimit);
  }
  std::string cut = Cut(records, total, "L2 cache");
  return UnixctlReply::Ok(cli::L2RecordTable(records) + cut);
}

UnixctlReply CliServer::L3Dump() {
  if (!_deps.stateCache) return NotRunning("state cache");
  std::vector<StateCacheRecord> records;
  {
    auto lock = HoldAgentLock();
    _deps.stateCache->L3Table()->CopyDesired(&records, SIZE_MAX);
  }
  return UnixctlReply::Ok(cli::RecordTable(records));
}

UnixctlReply CliServer::ConfigTypeView(uint32_t objectType,
                                       std::string (*format)(const std::vector<StateCacheRecord>&)) {
  if (!_deps.stateCache) return NotRunning("state cache");
  std::vector<StateCacheRecord> records;
  size_t total;
  {
    auto lock = HoldAgentLock();
    total = _deps.stateCache->ConfigTable()->CopyDesired(&records, kDisplayLimit, objectType);
  }
  std::string cut = Cut(records, total, "config cache");
  return UnixctlReply::Ok(format(records) + cut);
}

UnixctlReply CliServer::ExtraConfig(uint32_t objectType, uint32_t propertyType, const std::string& idColumn) {
  if (!_deps.stateCache) return NotRunning("state cache");
  std::vector<StateCacheRecord> records;
  size_t total;
  {
    auto lock = HoldAgentLock();
    total = _deps.stateCache->ConfigTable()->CopyDesired(&records, kDisplayLimit, objectType);
  }
  std::string cut = Cut(records, total, "config cache");
  return UnixctlReply::Ok(cli::ExtraConfigTable(records, propertyType, idColumn) + cut);
}

UnixctlReply CliServer::Container() {
  if (!_deps.tolvarClient) return NotRunning("Tolvar client");
  std::map<std::string, std::string> mapping;
  {
    auto lock = HoldAgentLock();
    mapping = _deps.tolvarClient->ContainerMapping();
  }
  return UnixctlReply::Ok(cli::ContainerTable(mapping));
}

UnixctlReply CliServer::CacheTable() {
  if (!_deps.stateCache) return NotRunning("state cache");
  cli::TextTable table({"TableName", "Component", "Entries", "Bytes", "FullSyncVersion"});
  auto lock = HoldAgentLock();
  const StateCacheConfigTable* config = _deps.stateCache->ConfigTable();
  const StateCacheL2Table* l2 = _deps.stateCache->L2Table();
  const StateCacheL3Table* l3 = _deps.stateCache->L3Table();
  auto row = [&](const char* name, const char* component, size_t entries, size_t bytes, uint32_t version) {
    table.AddRow({name, component, std::to_string(entries), std::to_string(bytes), std::to_string(version)});
  };
  row("RuntimeConfigCache", "CONFIGCACHE", config->RuntimeCount(), config->RuntimeCacheSize(),
      config->RuntimeFullSyncVersion());
  row("DesiredConfigCache", "CONFIGCACHE", config->DesiredCount(), config->DesiredCacheSize(),
      config->FullSyncVersion());
  row("RuntimeL2Cache", "L2CACHE", l2->RuntimeCount(), l2->RuntimeCacheSize(), l2->LocalFullSyncVersion());
  row("DesiredL2Cache", "L2CACHE", l2->DesiredCount(), l2->DesiredCacheSize(), l2->RemoteFullSyncVersion());
  row("DesiredL3Cache", "L3CACHE", l3->DesiredCount(), l3->DesiredCacheSize(), l3->FullSyncVersion());
  return UnixctlReply::Ok(table.Text());
}

UnixctlReply CliServer::CacheSize() {
  if (!_deps.stateCache) return NotRunning("state cache");
  cli::TextTable table({"TableName", "Size"});
  auto lock = HoldAgentLock();
  const StateCacheConfigTable* config = _deps.stateCache->ConfigTable();
  const StateCacheL2Table* l2 = _deps.stateCache->L2Table();
  table.AddRow({"RuntimeConfigCache", std::to_string(config->RuntimeCount())});
  table.AddRow({"DesiredConfigCache", std::to_string(config->DesiredCount())});
  table.AddRow({"RuntimeL2Cache", std::to_string(l2->RuntimeCount())});
  table.AddRow({"DesiredL2Cache", std::to_string(l2->DesiredCount())});
  table.AddRow({"DesiredL3Cache", std::to_string(_deps.stateCache->L3Table()->DesiredCount())});
  return UnixctlReply::Ok(table.Text());
}

UnixctlReply CliServer::WorkerStats() {
  Json pool = Json::Object();
  if (std::shared_ptr<WorkGroup> group = WorkGroup::Instance()) {
    pool.Put("running", Json::Boolean(group->Running()))
        .Put("threads", static_cast<int64_t>(group->ThreadCount()))
        .Put("idle_threads", static_cast<int64_t>(group->IdleCount()))
        .Put("queue_length", static_cast<int64_t>(group->QueueLength()));
  } else {
    pool.Put("running", Json::Boolean(false));
  }
  Json metrics = Json::Object();
  if (_deps.metrics) {
    for (const qor::metrics::MetricSample& sample : _deps.metrics->Snapshot()) {
      if (sample.name.rfind("work_group/", 0) != 0) continue;
      Json metric = Json::Object();
      metric.Put("kind", qor::metrics::MetricKindName(sample.kind));
      switch (sample.kind) {
        case qor::metrics::MetricKind::Frequency:
          metric.Put("total", sample.value).Put("rate", static_cast<int64_t>(sample.rate));
          break;
        case qor::metrics::MetricKind::Latency:
          metric.Put("count", sample.value)
              .Put("mean", static_cast<int64_t>(sample.rate))
              .Put("max", static_cast<int64_t>(sample.max));
          break;
        default:
          metric.Put("value", sample.value);
      }
      metrics.Put(sample.name, std::move(metric));
    }
  }
  qor::wft::WorkflowUtil::Stats stats = qor::wft::WorkflowUtil::GetStats();
  Json tracing = Json::Object();
  tracing.Put("trace_level", static_cast<int64_t>(qor::wft::WorkflowUtil::GetTraceLevel()))
      .Put("spans_started", static_cast<int64_t>(stats.started))
      .Put("spans_recorded", static_cast<int64_t>(stats.recorded))
      .Put("spans_suppressed", static_cast<int64_t>(stats.suppressed))
      .Put("bad_contexts", static_cast<int64_t>(stats.badContexts));
  Json reply = Json::Object();
  reply.Put("work_group", std::move(pool))
      .Put("metrics", std::move(metrics))
      .Put("workflow_tracing", std::move(tracing));
  return JsonReply(reply);
}

std::vector<StateCacheRecord> CliServer::L2Records(uint32_t objectType, bool runtime) const {
  std::vector<StateCacheRecord> records;
  auto lock = HoldAgentLock();
  const StateCacheL2Table* table = _deps.stateCache->L2Table();
  if (runtime) {
    table->QueryRuntime(objectType, &records);
  } else {
    table->QueryDesired(objectType, &records);
  }
  return records;
}

UnixctlReply CliServer::L2RoutingDomain() {
  if (!_deps.stateCache) return NotRunning("state cache");
  std::vector<StateCacheRecord> records = L2Records(tv::ROUTING_DOMAIN_FIB, false);
  std::vector<StateCacheRecord> local = L2Records(tv::ROUTING_DOMAIN_VTEP, true);
  size_t remoteCount = records.size();
  records.insert(records.end(), local.begin(), local.end());
  std::string cut = Cut(records, records.size(), "L2 cache");
  cli::TextTable table({"Store", "ObjectID", "ObjectType", "FullSyncVersion", "PropertyType", "PropertyValue"});
  for (size_t i = 0; i < records.size(); ++i) {
    const StateCacheRecord& r = records[i];
    table.AddRow({i < remoteCount ? "remote" : "local", cli::ObjectIdText(r), ObjTypeToString(r.objectType),
                  std::to_string(r.fullSyncVersion), cli::PropertyName(r.propertyType), cli::ValueText(r)});
  }
  return UnixctlReply::Ok(table.Text() + cut);
}

UnixctlReply CliServer::RemoteAndLocal(uint32_t remoteType, uint32_t localType, const RecordFilter& keep) {
  if (!_deps.stateCache) return NotRunning("state cache");
  Json reply = Json::Object();
  for (bool runtime : {false, true}) {
    uint32_t type = runtime ? localType : remoteType;
    if (type == 0) continue;
    std::vector<StateCacheRecord> records = L2Records(type, runtime);
    std::erase_if(records, [&](const StateCacheRecord& r) { return !keep(r); });
    Cut(records, records.size(), "L2 cache");
    reply.Put(runtime ? "local" : "remote", cli::RecordsJson(records));
  }
  return JsonReply(reply);
}

UnixctlReply CliServer::ObjectRecords(const std::string& idText, const std::string& store, uint32_t propertyType) {
  if (store != "local" && store != "remote") {
    return UnixctlReply::Error("\"" + store + "\" is not a store: local (runtime) or remote (desired)");
  }
  std::optional<std::string> id = ObjectIdOf(idText);
  if (!id) return BadUuid(idText);
  bool runtime = store == "local";
  auto keep = [&](const StateCacheRecord& r) {
    return r.objectId == *id && (propertyType == 0 || r.propertyType == propertyType);
  };
  return runtime ? RemoteAndLocal(0, tv::LOG_SWITCH_STATE, keep) : RemoteAndLocal(tv::LOG_SWITCH_FIB, 0, keep);
}

UnixctlReply CliServer::VmAddresses(const std::string& idText, uint32_t propertyType, int family) {
  std::optional<std::string> id = ObjectIdOf(idText);
  if (!id) return BadUuid(idText);
  return RemoteAndLocal(tv::LOG_SWITCH_FIB, tv::LOG_SWITCH_STATE, [&](const StateCacheRecord& r) {
    if (r.objectId != *id || r.propertyType != propertyType) return false;
    if (family == 0) return true;
    tv::VmIpMsg vmIp;
    return cli::ParseValue(r, &vmIp) && (vmIp.ip().has_ipv4() ? 4 : 6) == family;
  });
}

UnixctlReply CliServer::FibObjects(uint32_t objectType) {
  if (!_deps.stateCache) return NotRunning("state cache");
  std::vector<StateCacheRecord> records = L2Records(objectType, false);
  struct Summary {
    std::string reference;  // the logical switch or routing domain the FIB belongs to
    uint32_t version = 0;
    std::map<std::string, int64_t> counts;
  };
  std::map<std::string, Summary> objects;
  for (const StateCacheRecord& r : records) {
    Summary& summary = objects[cli::ObjectIdText(r)];
    if (r.propertyType != 0) {
      ++summary.counts[cli::PropertyName(r.propertyType)];
      continue;
    }
    summary.version = r.fullSyncVersion;
    if (objectType == tv::LOG_SWITCH_FIB) {
      tv::LogSwitchFibMsg fib;
      if (cli::ParseValue(r, &fib) && fib.has_logical_switch_id()) {
        summary.reference = cli::UuidText(fib.logical_switch_id());
      }
    } else {
      tv::RoutingDomainFibMsg fib;
      if (cli::ParseValue(r, &fib) && fib.has_routing_domain_id()) {
        summary.reference = cli::UuidText(fib.routing_domain_id());
      }
    }
  }
  const char* referenceName = objectType == tv::LOG_SWITCH_FIB ? "logical_switch" : "routing_domain";
  Json array = Json::Array();
  for (auto& [id, summary] : objects) {
    Json counts = Json::Object();
    for (const auto& [property, count] : summary.counts) counts.Put(property, count);
    array.Add(std::move(Json::Object()
                            .Put("object_id", id)
                            .Put(referenceName, summary.reference)
                            .Put("full_sync_version", static_cast<int64_t>(summary.version))
                            .Put("elements", std::move(counts))));
  }
  return JsonReply(array);
}

}  // namespace VevUroro
