#include "intake/TolvarClient.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <iomanip>
#include <sstream>
#include <string_view>
#include <unordered_map>

#include "core/Logger.h"
#include "core/WorkGroup.h"
#include "core/WorkItem.h"
#include "intake/Decoder.h"
#include "intake/RuntimeRequests.h"
#include "intake/TypeNames.h"
#include "platform/AsioQorProvider.h"
#include "platform/tolvar/TolvarSchema.h"
#include "platform/wft/WorkflowUtil.h"
#include "zantix/qor/tolvar/config.pb.h"
#include "zantix/qor/tolvar/l2.pb.h"
#include "zantix/qor/tolvar/ops.pb.h"

namespace VevUroro {
namespace {

namespace tv = zantix::qor::tolvar;

std::atomic<unsigned long> g_transactionId{0};

// Statement of one object type; `select` adds a select clause whose element lists name the properties to follow.
tv::MonitorStatementMsg Statement(uint32_t type, bool flag, bool select, std::vector<uint32_t> follow = {}) {
  tv::MonitorStatementMsg statement;
  statement.mutable_statement()->set_object_type(static_cast<tv::ObjectType>(type));
  statement.set_flag(flag);
  if (select) {
    std::unique_ptr<google::protobuf::Message> op = qor::tolvar::NewOp(type);
    const google::protobuf::Reflection* reflection = op->GetReflection();
    reflection->SetEnumValue(op.get(), op->GetDescriptor()->FindFieldByNumber(1), tv::SELECT);
    for (uint32_t property : follow) {
      const google::protobuf::FieldDescriptor* field = qor::tolvar::PropertyField(op->GetDescriptor(), property);
      if (!field) continue;
      google::protobuf::Message* element = reflection->AddMessage(op.get(), field);
      element->GetReflection()->SetEnumValue(element, element->GetDescriptor()->FindFieldByNumber(1), tv::SELECT);
    }
    statement.mutable_statement()->mutable_select()->set_op_message(op->SerializeAsString());
  }
  return statement;
}

std::string TimeText(std::chrono::system_clock::time_point when) {
  std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  auto micros = std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count() % 1000000;
  std::tm tm{};
  localtime_r(&seconds, &tm);
  std::ostringstream out;
  out << std::put_time(&tm, "%Y-%m-%d %H:%M:%S") << '.' << std::setw(6) << std::setfill('0') << micros;
  return out.str();
}

bool IsMergedType(int32_t type) {
  return type == tv::LOG_SWITCH_FIB || type == tv::ROUTING_DOMAIN_FIB || type == tv::FIB ||
         type == tv::ARP_TABLE_CONFIG;
}

struct ViewHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
};

// One list element of one generation of an object.
struct MergeKey {
  int32_t type;
  int32_t property;
  uint64_t generation;
  std::string_view id;
  std::string_view value;
  bool operator==(const MergeKey&) const = default;
};

struct MergeKeyHash {
  size_t operator()(const MergeKey& key) const {
    size_t hash = std::hash<std::string_view>()(key.value);
    for (size_t part : {std::hash<std::string_view>()(key.id), static_cast<size_t>(key.type),
                        static_cast<size_t>(key.property), static_cast<size_t>(key.generation)}) {
      hash ^= part + 0x9e3779b97f4a7c15ULL + (hash << 6) + (hash >> 2);
    }
    return hash;
  }
};

bool Inverse(int32_t a, int32_t b) {
  return (a == TolvarUpdateMsg::OP_SET && b == TolvarUpdateMsg::OP_CLEAR) ||
         (a == TolvarUpdateMsg::OP_CLEAR && b == TolvarUpdateMsg::OP_SET) ||
         (a == TolvarUpdateMsg::OP_INSERT && b == TolvarUpdateMsg::OP_REMOVE) ||
         (a == TolvarUpdateMsg::OP_REMOVE && b == TolvarUpdateMsg::OP_INSERT);
}

std::string UuidText(const std::string& bytes) {
  tv::UuidMsg id;
  if (!id.ParseFromString(bytes)) return std::string();
  return qor::tolvar::UuidToString(id.high(), id.low());
}

tv::UuidMsg NumberId(uint64_t number) {
  tv::UuidMsg id;
  id.set_low(number);
  return id;
}

}  // namespace

TolvarClientSettings TolvarClientSettings::ForPersona(int persona, const std::string& endpoint) {
  TolvarClientSettings settings;
  settings.persona = persona;
  settings.endpoint = endpoint;
  switch (persona) {
    case 1:
      settings.clientName = "cfg-agent";
      settings.tracingName = "qor-vevuroro-host";
      settings.mainVdb = 1;
      break;
    case 2:
      // The SmartNIC reaches the host's database; the endpoint is the host's, as configured.
      settings.clientName = "sn-cfg-agent";
      settings.tracingName = "qor-vevuroro-sn";
      settings.mainVdb = 0;
      break;
    case 3:
      settings.clientName = "cfg-agent";
      settings.tracingName = "qor-vevuroro";
      settings.mainVdb = 1;
      break;
    default:
      settings.createClient = false;
      settings.mainVdb = 1;
      break;
  }
  return settings;
}

TolvarClient::TolvarClient(const TolvarClientSettings& settings, std::shared_ptr<UpdateQueue> queue,
                           IStateCache* stateCache, qor::AsioQorProvider* provider)
    : _settings(settings), _updateQueue(std::move(queue)), _stateCache(stateCache), _mainVdb(settings.mainVdb) {
  if (_settings.persona == 2) {
    Logger(LOG_LEVEL_INFO, "TolvarClient: Host tolvar endpoint on smartnic is %1", _settings.endpoint);
  }
  if (_settings.createClient) {
    _client = std::make_shared<qor::tolvar::TolvarDbClient>(_settings.clientName, _settings.endpoint, provider, nullptr,
                                                            true, true, false);
    qor::wft::WorkflowUtil::Init(*_client, _settings.tracingName);
  }
  _writeQueue = std::make_shared<MsgQueue<PendingWrite>>(MsgQueue<PendingWrite>::kUnbounded, true, true);
  _upm = std::make_shared<qor::upm::UPMService>(_settings.clientName, _client, _settings.mainVdb);
  _metrics = provider ? provider->metrics() : nullptr;
  if (!_metrics) _metrics = std::make_shared<qor::metrics::Registry>();
  _delayLatency = _metrics->GetLatency("tolvar_client/write/delay_us");
}

TolvarClient::~TolvarClient() {
  Stop();
}

std::vector<tv::MonitorStatementMsg> TolvarClient::MonitorStatements(int persona) {
  using P = tv::Property;
  std::vector<tv::MonitorStatementMsg> s = {
      Statement(1, true, false),
      Statement(2, true, false),
      Statement(5, true, false),
      Statement(6, false, false),
      Statement(22, false, false),
      Statement(23, false, false),
      Statement(105, true, false),
      Statement(31, true, false),
      Statement(130, true, false),
      Statement(129, true, false),
      Statement(174, true, false),
      Statement(162, true, false),
      Statement(27, false, true, {P::L2_VM_IP, P::L2_VM_MAC, P::L2_VTEP}),
      Statement(28, false, true, {P::L2_VTEP, P::L2_VTEP_GROUP_LABEL}),
      Statement(3, false, false),
      Statement(4, false, false),
      Statement(49, false, true, {P::L3_FIB_NEXT_HOP}),
      Statement(82, false, true, {P::L3_ARP_ENTRY}),
      Statement(12, false, false),
      Statement(56, false, false),
      Statement(136, true, false),
      Statement(176, true, false),
      Statement(150, false, false),
      Statement(151, false, false),
      Statement(154, false, false),
      Statement(200, false, false),
      Statement(179, false, false),
      Statement(189, false, false),
  };
  if (persona == 1) s.push_back(Statement(219, false, false));
  if (persona == 2) s.push_back(Statement(236, false, false));
  for (uint32_t type : {53u, 108u}) s.push_back(Statement(type, false, false));
  for (uint32_t type : {140u, 141u, 109u}) s.push_back(Statement(type, false, true));
  for (uint32_t type : {110u, 214u}) s.push_back(Statement(type, false, false));
  return s;
}

unsigned long TolvarClient::CurrentTransactionId() {
  return g_transactionId.load();
}

void TolvarClient::Start() {
  {
    std::lock_guard<std::recursive_mutex> lock(_mutex);
    if (_started) return;
    _started = true;
  }
  Logger(LOG_LEVEL_INFO, "TolvarClient: start");
  if (_client) {
    _client->RegisterChannelStatusCallback([this](bool up) { OnChannelStatus(up); });
    if (_settings.persona == 2) {
      RegisterSmartnicMonitor();
    } else {
      RegisterMonitors();
    }
    _client->StartAsync();
    Logger(LOG_LEVEL_INFO, "TolvarClient: registered monitor objects");
  }
  StartWriter();
}

void TolvarClient::StartWriter() {
  {
    std::lock_guard<std::mutex> lock(_writerMutex);
    _writerRunning = true;
  }
  try {
    // A long-running item of the worker group when one runs.
    qor::RefPtr<TolvarClient> self(this);
    auto item = std::make_shared<WorkItemImpl<TolvarClient>>(&TolvarClient::WriterLoop, self);
    std::shared_ptr<WorkGroup> group = WorkGroup::Instance();
    if (group && group->PostLongRunning(item, [self] { self->EndWriter(); })) return;
    _writerThread = std::thread([this] { WriterLoop(); });
  } catch (...) {
    // No loop will ever clear the flag: Stop must not wait for it.
    {
      std::lock_guard<std::mutex> lock(_writerMutex);
      _writerRunning = false;
    }
    _writerChanged.notify_all();
    throw;
  }
}

void TolvarClient::EndWriter() {
  {
    std::lock_guard<std::mutex> lock(_writerMutex);
    _writerStopping = true;
  }
  _writerChanged.notify_all();
  _writeQueue->Close();
}

void TolvarClient::Stop() {
  {
    std::lock_guard<std::recursive_mutex> lock(_mutex);
    if (!_started || _stopped) {
      _stopped = true;
      return;
    }
    _stopped = true;
  }
  Logger(LOG_LEVEL_INFO, "TolvarClient: stop");
  if (_client) {
    // The process is ending: a database that does not answer must not hold it for the full call bound per call
    // (its monitors end with the connection anyway).
    _client->SetCallTimeout(std::min(_client->CallTimeout(), _stopCallBound));
    UnregisterMonitors();
    if (_settings.persona == 2) Logger(LOG_LEVEL_INFO, "TolvarClient: Unregistered smartnic backing objects");
  }
  {
    std::unique_lock<std::mutex> lock(_writerMutex);
    _writerStopping = true;
    _writerChanged.notify_all();
    // While connected the writer applies what is queued, for a bounded time; without a channel a write could only
    // wait for its bound.
    if (_client && _channelUp.load()) {
      _writerChanged.wait_for(lock, _stopDrainBound,
                              [this] { return !_writerRunning || _writesDone.load() >= _writesQueued.load(); });
    }
  }
  _writeQueue->Close();
  // Cancels a call still waiting for tolvard; the writer logs its list as dropped and leaves.
  if (_client) _client->Stop();
  {
    std::unique_lock<std::mutex> lock(_writerMutex);
    _writerChanged.wait(lock, [this] { return !_writerRunning; });
  }
  if (_writerThread.joinable()) _writerThread.join();
}

void TolvarClient::RegisterMonitors() {
  uint16_t vdb = _mainVdb.load();
  Logger(LOG_LEVEL_INFO, "TolvarClient: RegisterMonitorCB vdb id %1", vdb);
  if (vdb != 1) _client->SelectVdb(vdb);
  _client->RegisterCallbacks(
      kMonitorId, [this](const tv::MonitorUpdateMsg& update) { OnUpdate(update); }, [this] { OnBarrier(); }, vdb);
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  _statements = MonitorStatements(_settings.persona);
  if (!_client->ConfigureMonitors(_statements, {}, kMonitorId, vdb)) {
    Logger(LOG_LEVEL_ERROR, "TolvarClient: RegisterMonitorCB: Failed to configure monitor for vdb %1", vdb);
  }
}

void TolvarClient::UnregisterMonitors() {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  if (_statements.empty()) return;
  uint16_t vdb = _mainVdb.load();
  if (_client->ConfigureMonitors({}, _statements, kMonitorId, vdb)) {
    Logger(LOG_LEVEL_INFO, "TolvarClient: unregistered monitor objects");
  } else {
    Logger(LOG_LEVEL_ERROR, "TolvarClient: UnregisterMonitorCB: Failed to configure monitor for vdb %1", vdb);
  }
  _statements.clear();
}

void TolvarClient::RegisterSmartnicMonitor() {
  Logger(LOG_LEVEL_INFO, "TolvarClient: Register Ridav smartnic monitor callbacks");
  // The backing messages themselves are handled by the SmartNIC code; here they are only seen.
  auto count = std::make_shared<std::atomic<uint64_t>>(0);
  _client->RegisterCallbacks(
      kMonitorId,
      [count](const tv::MonitorUpdateMsg& update) {
        ++*count;
        QOR_LOG(LOG_LEVEL_DEBUG, "TolvarClient: RidavSmartnicMonitorUpdateCB msg with type %1",
                ObjTypeToString(update.object_type()));
      },
      [count] {
        QOR_LOG(LOG_LEVEL_DEBUG, "TolvarClient: RidavSmartnicMonitorBarrierCB msg with size %1", count->exchange(0));
      },
      _mainVdb.load());
  std::vector<tv::MonitorStatementMsg> backing = {Statement(tv::HOST_SWITCH_SMARTNIC_BACKING, false, false)};
  if (!_client->ConfigureMonitors(backing, {}, kMonitorId, _mainVdb.load())) {
    Logger(LOG_LEVEL_ERROR, "TolvarClient: RegisterMonitorCB: Failed to configure monitor for vdb %1", _mainVdb.load());
  }
}

void TolvarClient::RegisterVessixVifMonitor() {
  if (!_client) return;
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  tv::MonitorStatementMsg statement = Statement(tv::VESSIX_CHANNEL_VIF_CONFIG, false, false);
  if (!_client->ConfigureMonitors({statement}, {}, kMonitorId, _mainVdb.load())) {
    Logger(LOG_LEVEL_ERROR, "TolvarClient: RegisterMonitorCB: Failed to configure monitor for vdb %1", _mainVdb.load());
    return;
  }
  _statements.push_back(statement);
}

void TolvarClient::OnUpdate(const tv::MonitorUpdateMsg& update) {
  std::string context = update.has_span_context() ? update.span_context().SerializeAsString() : std::string();
  qor::wft::Span span = qor::wft::WorkflowUtil::StartSpan("TolvarClient.MonitorUpdateCB", context);
  QOR_LOG(LOG_LEVEL_DEBUG,
          "TolvarClient: received msg from tolvar with workflow tracing info: high trace id %1, low trace id %2, span "
          "id %3, parent id %4",
          update.span_context().high_trace_id(), update.span_context().low_trace_id(), update.span_context().span_id(),
          update.span_context().parent_id());
  if (update.object_type() == tv::OBJECT_TYPE_INVALID) {
    Logger(LOG_LEVEL_ERROR, "TolvarClient: received INVALID type msg from TolvarDB").AddTag("errorCode:LCP00028");
    return;
  }
  if (auto parsed = qor::wft::SpanContext::Parse(context)) _pendingContexts.push_back(*parsed);
  // The backing object reaches the configuration application only on a SmartNIC host; the failover
  // acknowledgement is the SmartNIC code's.
  if (update.object_type() == tv::HOST_SWITCH_SMARTNIC_BACKING && _settings.persona != 1) return;
  if (update.object_type() == tv::CFG_AGENT_FAILOVER_ACK) return;
  if (update.object_type() == tv::ENTITY_GROUP_RELATION) _pendingRelations = true;
  Decoder::DecodeInto(update, _pending);
}

void TolvarClient::MergeRepeated(TransactionEntries& entries) {
  for (ComponentType component : {L2CACHE, L3CACHE}) {
    auto found = entries.find(component);
    if (found == entries.end()) continue;
    std::list<TolvarUpdateMsg>& list = found->second;
    // Only list elements are merged: an element insert and remove of the same value cancel, whatever lies between
    // them, as long as the object itself was not touched in between. A scalar set may replace a different value,
    // which a later clear of the new value does not bring back, so set and clear entries pass unchanged; and an
    // object-level entry (property 0: the object deleted, created or changed) starts a new generation of its
    // elements, because the cache's delete of an object takes its elements with it: an element removed before a
    // delete and inserted again after a re-creation is not a pair that cancels.
    // Keyed by (type, object id, property, generation, value): the same element of the same list. The keys view
    // the entries' own strings; an entry leaves the list only after its key left the map.
    std::unordered_map<MergeKey, std::list<TolvarUpdateMsg>::iterator, MergeKeyHash> seen;
    // Generations by type and object id (owned: the entry a key was taken from may be merged away).
    std::map<int32_t, std::unordered_map<std::string, uint64_t, ViewHash, std::equal_to<>>> generations;
    seen.reserve(list.size());
    for (auto it = list.begin(); it != list.end();) {
      if (!IsMergedType(it->objectType)) {
        ++it;
        continue;
      }
      auto& objects = generations[it->objectType];
      if (it->propertyType == 0) ++objects[it->objectId];
      auto known = objects.find(std::string_view(it->objectId));
      const uint64_t generation = known == objects.end() ? 0 : known->second;
      if (it->operation != TolvarUpdateMsg::OP_INSERT && it->operation != TolvarUpdateMsg::OP_REMOVE) {
        ++it;
        continue;
      }
      MergeKey key{it->objectType, it->propertyType, generation, it->objectId, it->value};
      auto previous = seen.find(key);
      if (previous == seen.end()) {
        seen.emplace(key, it);
        ++it;
        continue;
      }
      auto earlier = previous->second;
      if (Inverse(earlier->operation, it->operation)) {
        QOR_LOG(LOG_LEVEL_DEBUG, "TolvarClient: merge %1 msg (object id %2) property %3: %4",
                ObjTypeToString(it->objectType), qor::tolvar::ObjectIdText(it->objectType, it->objectId),
                PropertyTypeToString(it->propertyType),
                qor::tolvar::ValueText(it->objectType, it->propertyType, it->value));
        seen.erase(previous);
        list.erase(earlier);
        it = list.erase(it);
        continue;
      }
      if (earlier->operation == it->operation) {
        Logger(LOG_LEVEL_ERROR,
               "TolvarClient: find the same tolvar update %1 msg (object id %2) property %3 operation %4: %5",
               ObjTypeToString(it->objectType), qor::tolvar::ObjectIdText(it->objectType, it->objectId),
               PropertyTypeToString(it->propertyType), it->operation,
               qor::tolvar::ValueText(it->objectType, it->propertyType, it->value))
            .AddTag("errorCode:LCP00028");
      }
      // The later entry becomes the one matched next, under a key that views its own strings.
      seen.erase(previous);
      seen.emplace(key, it);
      ++it;
    }
  }
}

void TolvarClient::UpdateContainerMapping(const TransactionEntries& entries) {
  auto found = entries.find(CONFIGCACHE);
  if (found == entries.end()) return;
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  for (const TolvarUpdateMsg& entry : found->second) {
    if (entry.objectType != tv::ENTITY_GROUP_RELATION) continue;
    std::string container = UuidText(entry.objectId);
    bool property = entry.propertyType == tv::Property::CONTINER_LOGICAL_SWITCH_PORT;
    if (property && entry.operation == TolvarUpdateMsg::OP_SET) {
      tv::EntityGroupRelationMsg relation;
      if (!relation.ParseFromString(entry.value)) continue;
      std::string port = qor::tolvar::UuidToString(relation.continer_logical_switch_port().high(),
                                                   relation.continer_logical_switch_port().low());
      auto old = _portOfContainer.find(container);
      if (old != _portOfContainer.end()) _containerOfPort.erase(old->second);
      _portOfContainer[container] = port;
      _containerOfPort[port] = container;
      Logger(LOG_LEVEL_INFO, "TolvarClient: RevertUPMContainerMapping SET (%1) %2", port, container);
    } else if (entry.operation == TolvarUpdateMsg::OP_CLEAR && (property || entry.propertyType == 0)) {
      auto old = _portOfContainer.find(container);
      if (old == _portOfContainer.end()) continue;
      Logger(LOG_LEVEL_INFO, "TolvarClient: RevertUPMContainerMapping CLEAR (%1)", old->second);
      _containerOfPort.erase(old->second);
      _portOfContainer.erase(old);
    }
  }
}

std::map<std::string, std::string> TolvarClient::ContainerMapping() const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  return _containerOfPort;
}

void TolvarClient::OnBarrier() {
  _lastBarrierTime =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  bool fullSync = _channelUp.load() && !_fullSyncDone.load();
  if (fullSync) _fullSyncDone = true;
  qor::wft::Span span = qor::wft::WorkflowUtil::StartLinkedSpan("TolvarClient.MonitorBarrierCB", _pendingContexts);
  _pendingContexts.clear();
  if (fullSync) {
    for (int id = CONFIGCACHE; id <= BFD; ++id) _pending[static_cast<ComponentType>(id)];
  }
  MergeRepeated(_pending);
  // Only relations change the mapping: a transaction without any is not walked for them.
  if (_pendingRelations) UpdateContainerMapping(_pending);
  _pendingRelations = false;
  unsigned long id = g_transactionId.load();
  // make_pair, not a braced pair: with one the pair's copy constructor is chosen and the entries are copied.
  Transaction transaction{std::move(_pending), std::make_pair(fullSync, id)};
  _pending = TransactionEntries();
  if (!_updateQueue->Put(std::move(transaction)) && _updateQueue->IsOpen()) {
    Logger(LOG_LEVEL_ERROR, "TolvarClient: Fail to put transaction %1 into the update queue", id);
  }
  if (fullSync) {
    Logger(LOG_LEVEL_INFO, "TolvarClient: Transaction end (fullsync) ID %1", id);
  } else {
    QOR_LOG(LOG_LEVEL_DEBUG, "TolvarClient: Transaction end (delta update) ID %1", id);
  }
  ++g_transactionId;
}

void TolvarClient::OnChannelStatus(bool up) {
  _channelUp = up;
  if (!up) {
    _fullSyncDone = false;
    // A transaction cut by the loss is incomplete; the full sync after the reconnect replaces it.
    _pending.clear();
    _pendingContexts.clear();
    _pendingRelations = false;
  }
  Logger(LOG_LEVEL_WARN, "TolvarClient: tolvar channel status turns to %1", up ? "UP" : "DOWN");
}

void TolvarClient::FullSyncWithDpDone(bool done, ComponentType component) {
  if (component == CONFIGCACHE) {
    _configDpSyncDone = done;
    Logger(LOG_LEVEL_INFO, "TolvarClient: Fullsync between config and DP is done.");
  } else if (component == L2CACHE) {
    _l2DpSyncDone = done;
    Logger(LOG_LEVEL_INFO, "TolvarClient: Fullsync between L2 and DP is done.");
  }
}

tv::ModifyRequestMsg TolvarClient::PutRequest(uint32_t type, const google::protobuf::Message& body) const {
  tv::ModifyRequestMsg request;
  tv::PutMsg* put = request.mutable_modify()->mutable_put();
  put->mutable_object()->set_object_type(static_cast<tv::ObjectType>(type));
  put->mutable_object()->set_object_body(body.SerializeAsString());
  put->set_vdb(_mainVdb.load());
  return request;
}

tv::ModifyRequestMsg TolvarClient::DeleteRequest(uint32_t type, const std::string& id) const {
  tv::ModifyRequestMsg request;
  tv::DeleteMsg* del = request.mutable_modify()->mutable_delete_();
  del->mutable_object()->set_object_type(static_cast<tv::ObjectType>(type));
  del->mutable_object()->set_object_id(id);
  del->set_vdb(_mainVdb.load());
  return request;
}

void TolvarClient::ProcessedBarrier(uint32_t verticalId, uint64_t barrierNumber) {
  uint16_t vdb = _mainVdb.load();
  if (_settings.persona == 1) {
    // The SmartNIC component combines the acknowledgements of all data paths first; until it exists, the host's
    // own acknowledgement is written directly.
    QOR_LOG(LOG_LEVEL_DEBUG,
            "TolvarClient: Get processed barrier update when main vdb is %1, caching for verticalId %2, "
            "barrierNum %3.",
            vdb, verticalId, barrierNumber);
  } else if (_settings.persona == 2) {
    if (vdb == 0) return;
    QOR_LOG(LOG_LEVEL_DEBUG,
            "TolvarClient: Update processed barrier update with main vdb[%1], verticalId[%2], barrierNum[%3].", vdb,
            verticalId, barrierNumber);
  } else {
    QOR_LOG(LOG_LEVEL_DEBUG,
            "TolvarClient: Get processed barrier update when main vdb is %1, caching for verticalId %2, barrierNum %3.",
            vdb, verticalId, barrierNumber);
  }
  tv::ProcessedBarrierMsg barrier;
  *barrier.mutable_id() = NumberId(verticalId);
  barrier.set_vertical_id(verticalId);
  barrier.set_barrier_number(barrierNumber);
  Enqueue({PutRequest(tv::PROCESSED_BARRIER, barrier)});
}

void TolvarClient::RuntimeStatus(uint32_t componentId, const std::list<tv::RealizationErrorMsg>& errors) {
  tv::RuntimeStatusMsg status;
  *status.mutable_id() = NumberId(componentId);
  status.set_component_id(componentId);
  for (const tv::RealizationErrorMsg& error : errors) *status.add_errors() = error;
  uint16_t vdb = _mainVdb.load();
  if (vdb == 0) {
    QOR_LOG(LOG_LEVEL_DEBUG,
            "TolvarClient: Get runtime status update when main vdb is %1, caching for componentId %2, error size %3.",
            vdb, componentId, errors.size());
    // Held with the runtime messages: written, on the vdb, once one is assigned (PutFrontRuntimeState).
    HoldRuntimeMessages({PutRequest(tv::RUNTIME_STATUS, status)});
    return;
  }
  QOR_LOG(LOG_LEVEL_DEBUG, "TolvarClient: Update runtime status with main vdb[%1], componentId [%2], error size [%3].",
          vdb, componentId, errors.size());
  Enqueue({PutRequest(tv::RUNTIME_STATUS, status)});
}

void TolvarClient::ServiceVmStatus(const tv::SiServiceVmStatusMsg& status, bool remove) {
  if (remove) {
    Enqueue({DeleteRequest(tv::SI_SERVICE_VM_STATUS, status.id().SerializeAsString())});
  } else {
    Enqueue({PutRequest(tv::SI_SERVICE_VM_STATUS, status)});
  }
}

void TolvarClient::RouterPortDadState(const tv::LogRouterPortDadStateMsg& state, bool remove) {
  if (remove) {
    Enqueue({DeleteRequest(tv::LOG_ROUTER_PORT_DAD_STATE, state.id().SerializeAsString())});
  } else {
    Enqueue({PutRequest(tv::LOG_ROUTER_PORT_DAD_STATE, state)});
  }
}

void TolvarClient::RemoveDadStateElement(const tv::UuidMsg& portId, const tv::DadStateMsg& state) {
  tv::ModifyRequestMsg request;
  tv::PatchMsg* patch = request.mutable_modify()->mutable_patch();
  patch->set_object_type(tv::LOG_ROUTER_PORT_DAD_STATE);
  patch->set_object_id(portId.SerializeAsString());
  patch->set_property_type(tv::Property::L3_DAD_STATUS);
  patch->set_op(tv::REMOVE);
  patch->set_value(state.SerializeAsString());
  patch->set_vdb(_mainVdb.load());
  Enqueue({request});
}

void TolvarClient::Get(const std::vector<tv::ObjectRequestMsg>& requests, GetCallback done) {
  if (!_client) {
    done({}, qor::rpc::Status(qor::rpc::StatusCode::UNAVAILABLE, "no database client"));
    return;
  }
  _client->GetAsync(requests, std::move(done), _mainVdb.load());
}

qor::rpc::Status TolvarClient::Echo(const std::string& payload, std::string* reply) {
  if (!_client) return qor::rpc::Status(qor::rpc::StatusCode::UNAVAILABLE, "no database client");
  return _client->Echo(payload, reply);
}

void TolvarClient::Write(const std::list<tv::ModifyRequestMsg>& requests) {
  Enqueue(std::vector<tv::ModifyRequestMsg>(requests.begin(), requests.end()));
}

void TolvarClient::WriteThen(const std::list<tv::ModifyRequestMsg>& requests, std::function<void()> committed) {
  Enqueue(std::vector<tv::ModifyRequestMsg>(requests.begin(), requests.end()), std::move(committed));
}

void TolvarClient::SetRetryBackoff(std::chrono::milliseconds initial, std::chrono::milliseconds max) {
  _retryInitial = initial;
  _retryMax = max;
}

void TolvarClient::Enqueue(std::vector<tv::ModifyRequestMsg> requests, std::function<void()> committed) {
  uint64_t id = _nextWriteId++;
  QOR_LOG(LOG_LEVEL_DEBUG, "TolvarClient: TolvarDB write message ID %1", id);
  ++_writesQueued;
  if (!_writeQueue->Put(PendingWrite{id, std::move(requests), std::move(committed)})) {
    --_writesQueued;
    Logger(LOG_LEVEL_ERROR, "TolvarClient: Fail to put message list into tolvar write queue");
  }
}

void TolvarClient::WriterLoop() {
  Logger(LOG_LEVEL_INFO, "TolvarClient: start thread to write message list to tolvar");
  PendingWrite item;
  while (_writeQueue->Get(item)) {
    if (_client) Apply(item);
    item = PendingWrite();
    {
      std::lock_guard<std::mutex> lock(_writerMutex);
      ++_writesDone;
    }
    _writerChanged.notify_all();
  }
  {
    std::lock_guard<std::mutex> lock(_writerMutex);
    _writerRunning = false;
  }
  _writerChanged.notify_all();
}

qor::rpc::Status TolvarClient::TimedModify(const std::string& label,
                                           const std::vector<tv::ModifyRequestMsg>& requests) {
  auto begin = std::chrono::system_clock::now();
  auto steadyBegin = std::chrono::steady_clock::now();
  qor::rpc::Status status = _client->Modify(requests);
  auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - steadyBegin);
  if (elapsed > _delayThreshold) {
    Logger(LOG_LEVEL_WARN, "DELAY %1 begin %2 end %3", label, TimeText(begin),
           TimeText(begin + std::chrono::duration_cast<std::chrono::system_clock::duration>(elapsed)));
    _delayLatency->Record(static_cast<uint64_t>(elapsed.count()));
  }
  return status;
}

bool TolvarClient::WaitToRetry(std::chrono::milliseconds delay) {
  std::unique_lock<std::mutex> lock(_writerMutex);
  return !_writerChanged.wait_for(lock, delay, [this] { return _writerStopping; });
}

void TolvarClient::Apply(PendingWrite& item) {
  std::string label = "TolvarDB modifies message ID " + std::to_string(item.id);
  std::vector<tv::ModifyRequestMsg> requests = std::move(item.requests);
  bool repaired = false;
  std::chrono::milliseconds backoff = _retryInitial;
  for (;;) {
    qor::rpc::Status status = TimedModify(label, requests);
    if (status.ok()) {
      if (item.committed) item.committed();
      return;
    }
    if (status.code() == static_cast<int32_t>(qor::rpc::StatusCode::INVALID_ARGUMENT)) {
      // Sending the same list again would be refused again: what it was meant to write is rebuilt instead.
      Logger(LOG_LEVEL_ERROR, "TolvarClient: %1 refused: %2", label, status.ToString()).AddTag("errorCode:LCP00030");
      if (repaired) {
        Logger(LOG_LEVEL_ERROR, "TolvarClient: %1 dropped: the rebuild was refused too", label)
            .AddTag("errorCode:LCP00030");
        return;
      }
      std::vector<tv::ModifyRequestMsg> repair = RepairRequests(requests);
      if (repair.empty()) {
        Logger(LOG_LEVEL_ERROR, "TolvarClient: %1 dropped: its %2 requests cannot be rebuilt", label, requests.size())
            .AddTag("errorCode:LCP00030");
        return;
      }
      Logger(LOG_LEVEL_WARN, "TolvarClient: %1 replaced by %2 requests rebuilt from the state cache", label,
             repair.size());
      requests = std::move(repair);
      repaired = true;
      label += " (rebuilt)";
      continue;
    }
    bool stopping = status.code() == static_cast<int32_t>(qor::rpc::StatusCode::CANCELLED);
    if (!stopping) {
      std::lock_guard<std::mutex> lock(_writerMutex);
      stopping = _writerStopping;
    }
    if (stopping) {
      Logger(LOG_LEVEL_ERROR, "TolvarClient: %1 dropped at stop: %2", label, status.ToString())
          .AddTag("errorCode:LCP00031");
      return;
    }
    Logger(LOG_LEVEL_WARN, "TolvarClient: %1 failed: %2; retrying in %3 ms", label, status.ToString(), backoff.count())
        .AddTag("errorCode:LCP00031");
    if (!WaitToRetry(backoff)) {
      Logger(LOG_LEVEL_ERROR, "TolvarClient: %1 dropped at stop: %2", label, status.ToString())
          .AddTag("errorCode:LCP00031");
      return;
    }
    backoff = std::min(backoff * 2, _retryMax);
  }
}

std::vector<tv::ModifyRequestMsg> TolvarClient::RepairRequests(const std::vector<tv::ModifyRequestMsg>& refused) const {
  bool config = false;
  bool l2 = false;
  uint16_t vdb = _mainVdb.load();
  size_t others = 0;
  for (const tv::ModifyRequestMsg& request : refused) {
    uint32_t type = 0;
    uint16_t requestVdb = 0;
    runtime_requests::Target(request, &type, &requestVdb);
    if (type == tv::VIF_STATE || type == tv::HOPLIFT_STATUS) {
      config = true;
    } else if (type == tv::LOG_SWITCH_STATE || type == tv::ROUTING_DOMAIN_VTEP) {
      l2 = true;
    } else {
      ++others;
      continue;
    }
    vdb = requestVdb;
  }
  if (!config && !l2) return {};
  if (others > 0) {
    Logger(LOG_LEVEL_ERROR, "TolvarClient: %1 requests of other types in the refused list are dropped", others)
        .AddTag("errorCode:LCP00030");
  }
  return RebuildGroups(config, l2, vdb);
}

}  // namespace VevUroro
