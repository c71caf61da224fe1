// VevUroro::TolvarClient: the agent's only connection to the configuration database.
//
// Inbound: it registers the monitors, has every database change decoded (Decoder) into per-component entries on
// the library's callback thread, collects the entries of one database transaction until its barrier, merges
// repeated overlay-table changes, and puts the finished transaction on the update queue for the dispatcher. The
// first barrier after every channel-up is a full sync: every component id 1..11 then gets a list, empty or not.
//
// Outbound: every write (runtime state, processed barriers, runtime statuses, service-VM status, DAD state) goes
// through one unbounded write queue drained by one writer loop, which applies each list as one database
// transaction; a call slower than the delay threshold (one second) logs "DELAY" and is recorded in the latency
// metric "tolvar_client/write/delay_us". Nothing is dropped quietly: a list the database refuses (invalid request)
// is logged with its error ("errorCode:LCP00030") and replaced by a rebuild of the runtime groups it touched from
// the state cache (flush, then the cached objects); a list that fails for another cause (no answer, connection
// lost, database not writable) is logged ("errorCode:LCP00031") and retried with back-off until it commits or the
// client stops. A write's completion runs only after its commit.
//
// Threads: the update, barrier and channel-status callbacks run on the library's callback thread, one at a time;
// the pending buffer is touched only there. Start and Stop run on the main thread. The other operations may be
// called from any thread; shared state (main vdb, flags) is atomic or guarded by _mutex. The writer loop runs as a
// long-running item of the worker group when one runs (else on its own thread); Stop ends it before the worker
// group is stopped, and the group's stop ends it too (closing the write queue) should Stop not have run. Start and
// Stop are exception-safe: a Start that throws half-way leaves a client whose Stop (and destructor) returns.
//
// SmartNIC personas: persona 2 registers only the backing monitor here; backing, failover and the SmartNIC
// component are handled by the SmartNIC code through the hooks below.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/ComponentType.h"
#include "core/MsgQueue.h"
#include "intake/IStateCache.h"
#include "intake/ITolvarClient.h"
#include "intake/Transaction.h"
#include "platform/metrics/Metrics.h"
#include "platform/tolvar/TolvarDbClient.h"
#include "platform/upm/UPMService.h"
#include "platform/wft/SpanContext.h"
#include "zantix/qor/tolvar/l3.pb.h"
#include "zantix/qor/tolvar/runtime.pb.h"

namespace qor {
class AsioQorProvider;
}

namespace VevUroro {

// Who the client is, by node persona.
struct TolvarClientSettings {
  int persona = 3;
  std::string endpoint;
  std::string clientName;
  std::string tracingName;
  uint16_t mainVdb = 1;
  bool createClient = true;  // persona 0 creates no library client

  // Persona 1 SmartNIC host, 2 SmartNIC, 3 other, 0 unknown. `endpoint` is the database endpoint of this node
  // ("tcp://127.0.0.1:2480" unless configured otherwise).
  static TolvarClientSettings ForPersona(int persona, const std::string& endpoint);
};

class TolvarClient : public qor::RefCounted<TolvarClient, ITolvarClient> {
 public:
  static constexpr uint32_t kMonitorId = 101;
  using GetCallback = qor::tolvar::TolvarDbClientInterface::GetCallback;

  // `queue` is the update queue shared with the dispatcher; `stateCache` may be null; `provider` may be null (its
  // metrics registry is used when present).
  TolvarClient(const TolvarClientSettings& settings, std::shared_ptr<UpdateQueue> queue, IStateCache* stateCache,
               qor::AsioQorProvider* provider);
  ~TolvarClient() override;

  // Registers the callbacks and monitors, starts the library and the writer loop.
  void Start();
  // Unregisters the monitors, ends the writer loop and stops the library. While connected, writes still queued
  // are applied first (one attempt each, for at most the drain bound); the rest are logged as dropped.
  // Idempotent.
  void Stop();

  void Write(const std::list<zantix::qor::tolvar::ModifyRequestMsg>& requests) override;
  void WriteThen(const std::list<zantix::qor::tolvar::ModifyRequestMsg>& requests,
                 std::function<void()> committed) override;
  void RegisterVessixVifMonitor() override;

  // A component applied everything up to `barrierNumber` of vertical `verticalId`.
  void ProcessedBarrier(uint32_t verticalId, uint64_t barrierNumber);
  // Realization errors of a component; held with the runtime messages while there is no main vdb.
  void RuntimeStatus(uint32_t componentId, const std::list<zantix::qor::tolvar::RealizationErrorMsg>& errors);
  // The state cache observer reports the end of a full sync between a cache and the datapath.
  void FullSyncWithDpDone(bool done, ComponentType component) override;
  bool ConfigFullSyncDone() const { return _configDpSyncDone.load(); }
  bool L2FullSyncDone() const { return _l2DpSyncDone.load(); }
  // Put (or, with `remove`, delete) of an SI_SERVICE_VM_STATUS object on the main vdb.
  void ServiceVmStatus(const zantix::qor::tolvar::SiServiceVmStatusMsg& status, bool remove);
  // Put (or delete) of a LOG_ROUTER_PORT_DAD_STATE object, and removal of one of its DAD state elements.
  void RouterPortDadState(const zantix::qor::tolvar::LogRouterPortDadStateMsg& state, bool remove);
  void RemoveDadStateElement(const zantix::qor::tolvar::UuidMsg& portId, const zantix::qor::tolvar::DadStateMsg& state);
  // Asynchronous get on the main vdb, bypassing the write queue.
  void Get(const std::vector<zantix::qor::tolvar::ObjectRequestMsg>& requests, GetCallback done);
  // Round trip through the database server, for the daemon health monitor.
  qor::rpc::Status Echo(const std::string& payload, std::string* reply);

  std::shared_ptr<qor::upm::UPMService> UpmService() const { return _upm; }
  uint16_t MainVdb() const override { return _mainVdb.load(); }

  // Runtime-message queue of a SmartNIC that is not active: writes held until activation.
  void HoldRuntimeMessages(const std::list<zantix::qor::tolvar::ModifyRequestMsg>& requests);
  size_t HeldRuntimeMessages() const;
  // SmartNIC activation: rebuilds the database's runtime objects from the state cache for `vdb` (flush, then the
  // cached content, for each group whose full sync with the datapath is done), puts them before the held
  // messages (rewritten to `vdb`), sets `vdb` as the main vdb and queues the whole list as one write. Returns
  // the number of requests queued. Runs under the runtime-message queue's lock.
  size_t PutFrontRuntimeState(uint16_t vdb);
  // The rebuilt requests alone, for `vdb` (no side effect); empty without a state cache.
  std::vector<zantix::qor::tolvar::ModifyRequestMsg> RebuildRuntimeRequests(uint16_t vdb) const;
  bool ChannelUp() const { return _channelUp.load(); }
  int64_t LastBarrierTime() const { return _lastBarrierTime.load(); }
  // Logical switch port (UUID text) -> container (UUID text), from the entity-group relations seen so far.
  std::map<std::string, std::string> ContainerMapping() const;
  // Writes applied by the writer loop (successfully or not).
  uint64_t WritesDone() const { return _writesDone.load(); }
  // The threshold above which a write logs "DELAY" (one second by default).
  void SetDelayThreshold(std::chrono::microseconds threshold) { _delayThreshold = threshold; }
  // Back-off between retries of a failed write (default 100 ms doubling to 5 s), and how long Stop lets the writer
  // apply what is queued (default 10 s).
  void SetRetryBackoff(std::chrono::milliseconds initial, std::chrono::milliseconds max);
  void SetStopDrainBound(std::chrono::milliseconds bound) { _stopDrainBound = bound; }
  // The registry holding the client's metrics (the provider's, or the client's own without a provider).
  std::shared_ptr<qor::metrics::Registry> MetricsRegistry() const { return _metrics; }
  // The library client (null for persona 0).
  std::shared_ptr<qor::tolvar::TolvarDbClient> LibraryClient() const { return _client; }

  // Library callbacks; public so that the SmartNIC code and tests can drive them.
  void OnUpdate(const zantix::qor::tolvar::MonitorUpdateMsg& update);
  void OnBarrier();
  void OnChannelStatus(bool up);

  // Merges repeated overlay-table changes of one transaction in place (see the class comment).
  static void MergeRepeated(TransactionEntries& entries);
  // The monitor statements of the main vdb, in registration order, for `persona`.
  static std::vector<zantix::qor::tolvar::MonitorStatementMsg> MonitorStatements(int persona);
  // The next transaction id (process-wide, starts at 0, incremented after every barrier).
  static unsigned long CurrentTransactionId();

  // The writer loop; public for the work item.
  void WriterLoop();

 private:
  struct PendingWrite {
    uint64_t id = 0;
    std::vector<zantix::qor::tolvar::ModifyRequestMsg> requests;
    std::function<void()> committed;
  };

  void RegisterMonitors();
  void UnregisterMonitors();
  void RegisterSmartnicMonitor();
  void Enqueue(std::vector<zantix::qor::tolvar::ModifyRequestMsg> requests, std::function<void()> committed = {});
  void StartWriter();
  // Tells the writer to stop retrying and closes the write queue (the worker group's stop for the writer item).
  void EndWriter();
  // Applies one list: retried, repaired or logged as dropped (see the class comment).
  void Apply(PendingWrite& item);
  qor::rpc::Status TimedModify(const std::string& label,
                               const std::vector<zantix::qor::tolvar::ModifyRequestMsg>& requests);
  // Waits `delay` unless the client stops meanwhile; false when it stops.
  bool WaitToRetry(std::chrono::milliseconds delay);
  // The rebuild that replaces a refused list: the runtime groups it touched, rebuilt from the state cache on the
  // list's vdb; empty when the list touched no runtime group or there is no state cache.
  std::vector<zantix::qor::tolvar::ModifyRequestMsg> RepairRequests(
      const std::vector<zantix::qor::tolvar::ModifyRequestMsg>& refused) const;
  // Flush and cached content of the configuration group (VIF_STATE, HOPLIFT_STATUS) and/or the L2 group
  // (LOG_SWITCH_STATE, ROUTING_DOMAIN_VTEP) on `vdb`.
  std::vector<zantix::qor::tolvar::ModifyRequestMsg> RebuildGroups(bool config, bool l2, uint16_t vdb) const;
  void UpdateContainerMapping(const TransactionEntries& entries);
  zantix::qor::tolvar::ModifyRequestMsg PutRequest(uint32_t type, const google::protobuf::Message& body) const;
  zantix::qor::tolvar::ModifyRequestMsg DeleteRequest(uint32_t type, const std::string& id) const;

  const TolvarClientSettings _settings;
  std::shared_ptr<UpdateQueue> _updateQueue;
  IStateCache* _stateCache;
  std::shared_ptr<qor::tolvar::TolvarDbClient> _client;
  std::shared_ptr<qor::upm::UPMService> _upm;
  std::shared_ptr<qor::metrics::Registry> _metrics;
  std::shared_ptr<qor::metrics::Latency> _delayLatency;

  std::atomic<uint16_t> _mainVdb;
  std::atomic<bool> _channelUp{false};
  std::atomic<bool> _fullSyncDone{false};
  std::atomic<bool> _configDpSyncDone{false};
  std::atomic<bool> _l2DpSyncDone{false};
  std::atomic<int64_t> _lastBarrierTime{0};
  std::atomic<uint64_t> _writesDone{0};
  std::atomic<uint64_t> _writesQueued{0};
  std::atomic<uint64_t> _nextWriteId{0};
  std::chrono::microseconds _delayThreshold{1000000};
  std::chrono::milliseconds _retryInitial{100};
  std::chrono::milliseconds _retryMax{5000};
  std::chrono::milliseconds _stopDrainBound{10000};
  // Bound of each database call made while stopping (unregistering the monitors).
  std::chrono::milliseconds _stopCallBound{2000};

  // Callback thread only.
  TransactionEntries _pending;
  std::vector<qor::wft::SpanContext> _pendingContexts;
  bool _pendingRelations = false;  // the pending transaction holds an entity-group relation

  mutable std::recursive_mutex _mutex;  // monitors, container mapping, life cycle
  std::vector<zantix::qor::tolvar::MonitorStatementMsg> _statements;
  std::map<std::string, std::string> _containerOfPort;  // port -> container
  std::map<std::string, std::string> _portOfContainer;  // container -> port
  bool _started = false;
  bool _stopped = false;

  mutable std::mutex _runtimeMsgMutex;
  std::vector<zantix::qor::tolvar::ModifyRequestMsg> _runtimeMsgQueue;

  std::shared_ptr<MsgQueue<PendingWrite>> _writeQueue;
  std::mutex _writerMutex;
  std::condition_variable _writerChanged;  // writer left, a write finished, or stopping was set
  bool _writerRunning = false;
  bool _writerStopping = false;
  std::thread _writerThread;  // used only when no worker group runs
};

}  // namespace VevUroro
