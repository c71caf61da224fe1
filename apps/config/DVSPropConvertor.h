// VevUroro::DVSPropConvertor: turns desired state into datapath port and switch properties (see
// IDVSPropConvertor.h for what its callers rely on).
//
// How a change travels: ProcessConfigChanges first applies every change of the batch to the converter's view of
// the desired state (DesiredSwitchState.h), converting port properties as they arrive (validation failures are
// logged and leave the previous value in force), then runs the handler of each change's property type, which
// emits the properties of the connected ports the change touches, then the post-batch block/unblock step. So every
// handler sees the batch's final state, as the configuration table does. A connection, resync or full sync builds
// a port's whole property set from the view: LSP properties, mirror tables, then the properties of its logical
// switch and the block/unblock rule.
//
// Ports of VIF type 2 (kernel NICs) travel in Tkmnic Property Updates, all others in Port Property Updates; the
// entity ID is the port's VIF ID.
//
// Timers: the Hoplift sync timer (one-shot, 10 s, armed while the queue holds ports) and the resync timer
// (10 s, re-armed by its own callback while the converter runs). Both callbacks take the agent lock.
//
// Life cycle: construct, Start, ..., Stop, release. The profile service holds references to the converter through
// its callbacks until Stop unregisters them; the timers never do (the destructor waits for one in flight).
#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>

#include "apps/config/CIFConfig.h"
#include "apps/config/CcpSessionState.h"
#include "apps/config/ConverterTimer.h"
#include "apps/config/DesiredSwitchState.h"
#include "apps/config/FlowCacheSettings.h"
#include "apps/config/HopliftSyncQueue.h"
#include "apps/config/IDVSPropConvertor.h"
#include "apps/config/IKCPMsgConvertor.h"
#include "apps/config/LsAttachmentMap.h"
#include "apps/config/PortList.h"
#include "cache/IStateCacheConfigTable.h"
#include "core/startup/ConfigTree.h"
#include "dataplane/DataplaneLink.h"
#include "platform/upm/ProfileQuery.h"

namespace VevUroro {

class DVSPropConvertor : public qor::RefCounted<DVSPropConvertor, IDVSPropConvertor> {
 public:
  static constexpr uint64_t kHopliftSyncIntervalUs = 10000000;
  static constexpr uint64_t kResyncIntervalUs = 10000000;
  static constexpr uint32_t kLatencyProfileType = 12;

  struct Collaborators {
    IStateCacheConfigTable* table = nullptr;              // runtime and desired queries; not owned
    qor::RefPtr<IKCPMsgConvertor> builder;                // the KCP builder (owns the datapath link reference)
    std::shared_ptr<qor::upm::IProfileService> profiles;  // may be null: no profiles
    TimerFactory timers;                                  // empty: timers on IO context A
  };

  // The converter with its own KCP builder over `link`.
  DVSPropConvertor(IStateCacheConfigTable* table, boost::intrusive_ptr<DataplaneLink> link, const ConfigTree& subtree,
                   std::shared_ptr<qor::upm::IProfileService> profiles);
  DVSPropConvertor(Collaborators collaborators, const ConfigTree& subtree);
  ~DVSPropConvertor() override;

  void Start() override;
  void Stop() override;

  void ProcessConfigChanges(const StateCacheChangeList& changes) override;
  void TakeConfigChanges(StateCacheChangeList& changes) override;
  void ProcessConfigPropertyUpdate(uint32_t objectType, const std::string& objectId, const std::string& value,
                                   int32_t operation, uint32_t propertyType) override;
  void ProcessConfigEntityUpdate(uint32_t objectType, const std::string& objectId, int32_t operation) override;
  void ProcessPostBatch(const std::vector<std::string>& lspIds, const std::vector<std::string>& switchIds) override;

  void HandleTransportNodeConfig(const std::list<TolvarUpdateMsg>& entries, bool fullSync) override;
  void HandleConfigSpan(const std::list<TolvarUpdateMsg>& entries, bool fullSync) override;
  void HandleSmartnicBacking(const std::list<TolvarUpdateMsg>& entries, bool fullSync) override;
  void HandleCcpSession(const std::list<TolvarUpdateMsg>& entries, bool fullSync) override;
  void HandleGlobalConfig(const std::list<TolvarUpdateMsg>& entries, bool fullSync) override;

  void Reset() override;
  void SendFullSync(bool linkUp) override;
  void UplinkFullSync(const std::vector<UplinkInfo>& uplinks) override;
  void EndOfFullSync() override;

  void ProcessVifInfoUpdate(const VifInfo& info, uint8_t operation, bool dpFullSyncDone) override;
  void HandleVifConnection(const VifInfo& info) override;
  void HandleVifDisconnection(const std::string& portId) override;
  void OnResyncProperty(uint16_t notificationType, const std::string& id) override;
  void AddHopliftPortSync(const std::string& vifId, uint16_t syncType) override;
  bool SendPortUnblockUpdate(const std::string& portId) override;
  void OnDaemonHealthStateUpdate(uint32_t state, uint32_t daemonId) override;

  void AddOffloadedHostSwitch(const std::string& hostSwitchId) override;
  void RemoveOffloadedHostSwitch(const std::string& hostSwitchId) override;

  bool FindConnectedPort(const std::string& vifId, ConnectedPort* port) override;

  // Profile callbacks: IP discovery profiles (type 9) of ports; latency profiles (type 12) of ports (key 281) and
  // of transport nodes (switch key 11 on the node's host switches).
  void UPMLogicalSwitchPortCallback(const std::vector<qor::upm::ProfileUpdate>& updates, bool fullSync);
  void UPMMonitorCallback(const std::vector<qor::upm::ProfileUpdate>& updates, bool fullSync);

  // Timer callbacks (public for the timers' sake; they take the agent lock).
  void OnHopliftSyncTimer();
  void OnResyncTimer();

  IKCPMsgConvertor& Builder() { return *_builder; }
  const FlowCacheSettings& FlowCache() const { return _flowCache; }
  // Views for tests, benchmarks and the operator's dumps; call under the agent lock.
  size_t ConnectedPortCount() const { return _ports.Size(); }
  void VisitPorts(const std::function<void(const PortEntry&)>& visit) {
    _ports.ForEach([&visit](PortEntry& port) { visit(port); });
  }
  const DesiredSwitchState& State() const { return _state; }

 private:
  // One change of a batch with what its handler needs of the state before the batch changed it. It refers to the
  // table's change (valid while its batch is handled) instead of copying its id and values.
  struct Change {
    explicit Change(const StateCacheChange& change)
        : source(change),
          objectId(change.entry.objectId),
          objectType(static_cast<uint32_t>(change.entry.objectType)),
          property(static_cast<uint32_t>(change.entry.propertyType)),
          operation(change.entry.operation) {}
    // A copy (a removal handled as another property's) has the before-state of its own.
    Change(const Change& other)
        : source(other.source),
          objectId(other.objectId),
          objectType(other.objectType),
          property(other.property),
          operation(other.operation),
          converted(other.converted),
          lsp(other.lsp),
          lspGeneration(other.lspGeneration),
          before(other.before ? std::make_unique<Before>(*other.before) : nullptr) {}
    Change(Change&&) = default;
    const StateCacheChange& source;
    const std::string& objectId;
    uint32_t objectType;
    uint32_t property;
    int32_t operation;      // entry operation: 1 set, 2 clear, others unsupported
    bool converted = true;  // false: the value did not parse or validate, the previous value stays
    // The port's entry as the change found it (a port property), valid while no port entry is erased since.
    LspState* lsp = nullptr;
    uint64_t lspGeneration = 0;
    // What the view held before the change, kept only where a handler needs it and the view held something;
    // released once the change is emitted.
    struct Before {
      std::map<std::string, std::string> extraConfigs;
      std::string switchId;
      std::optional<LspAttachment> attachment;
      std::optional<zantix::qor::tolvar::LsAttachmentMsg> lsAttachment;
      std::optional<uint32_t> lsType;
      std::vector<HostSwitchState> hostSwitches;
    };
    std::unique_ptr<Before> before;
    const std::string& Value() const { return source.entry.value; }
    // The value the configuration table held before, when known.
    const std::string* TableOldValue() const { return source.hasOld ? &source.oldValue : nullptr; }
    const Before& Old() const {
      static const Before kNothing;
      return before ? *before : kNothing;
    }
    Before& MutableOld() {
      if (!before) before = std::make_unique<Before>();
      return *before;
    }
    bool Delete() const { return operation == TolvarUpdateMsg::OP_CLEAR; }
  };
  // What the first pass found of a change, kept for the second: a batch of every port of a host keeps one per
  // change until it is emitted, so only what the table's change does not hold, in 16 bytes (the few before-states
  // are kept apart).
  struct Prepared {
    LspState* lsp;
    uint32_t lspErasures;  // the view's port erasures when `lsp` was found, counted from the batch's start
    bool converted;
  };
  // Both passes over `changes`; with `releasable` (the same list, nobody's after), each change's value is released
  // once converted where no handler reads it.
  void Process(const StateCacheChangeList& changes, StateCacheChangeList* releasable);

  // Port and tkmnic properties built together; sent as two updates.
  struct PortBatch {
    DVSEntityUpdate ports;
    DVSEntityUpdate tkmnics;
    // Port-blocked values in the order they were added, recorded on the ports once sent.
    std::vector<std::pair<PortEntry*, bool>> blocked;
    PortBatch();
    DVSEntityUpdate& For(const PortEntry& port);
    void SetBlocked(PortEntry& port, bool value);
    bool Empty() const { return ports.Empty() && tkmnics.Empty(); }
  };

  using Handler = void (DVSPropConvertor::*)(const Change& change, PortBatch& batch);

  void FillHandlerTable();
  // Pass 1: captures what the handler needs, applies the change to the view and converts port properties.
  Change Prepare(const StateCacheChange& source);
  // `m`: the change's value as ApplyRaw parsed it (empty for a removal).
  void ConvertLspProperty(Change& change, LspState& lsp, const zantix::qor::tolvar::LogSwitchPortConfigMsg& m);
  // Pass 2: the entity handling or the property's handler, then the send.
  void Emit(const Change& change);
  void EmitEntity(const Change& change);
  bool Send(PortBatch& batch);
  // A value no message can carry is refused on its own (logged), so that the entity's other properties still go.
  static void DropOversizedValues(DVSEntityUpdate& update);

  // Logical switch properties and the block rule (DVSPropConvertorSwitch.cpp).
  void HandleLsProperty(const Change& change, PortBatch& batch);
  void HandleLsAttachment(const Change& change, PortBatch& batch);
  void HandleLsType(const Change& change, PortBatch& batch);
  void HandleLsSubType(const Change& change, PortBatch& batch);
  void AddLsProperties(PortEntry& port, PortBatch& batch);
  void AddLsExtraConfigs(PortEntry& port, const LsState& ls, PortBatch& batch);
  // The block/unblock rule; nothing for DVPG ports.
  void AddBlockState(PortEntry& port, PortBatch& batch);
  bool Blocked(PortEntry& port);
  // Key 101 with `blocked`, and key 181 as the port's QoS and switch make it.
  void AddBlockValue(PortEntry& port, bool blocked, PortBatch& batch);
  // Key 181: the QoS plane mode when the port has QoS, 0 on a service-plane switch with a VNI, else none (empty).
  std::string PlaneMode(const PortEntry& port) const;
  const std::string& SwitchOf(const PortEntry& port) const;
  // The port's LSP and switch states (cached in the port entry and the LSP state).
  const LspState* LspOf(const PortEntry& port) const;
  // The LSP state of a change's object, now.
  const LspState* PortOf(const Change& change) const;
  const LsState* SwitchStateOf(const PortEntry& port) const;
  std::vector<PortEntry*> ConnectedPortsOf(const std::string& switchId);
  // The switch is gone: its connected ports lose its properties and are blocked.
  void ClearLsProperties(const std::string& switchId, const std::map<std::string, std::string>& oldExtraConfigs,
                         PortBatch& batch);
  void ClearPortLsProperties(PortEntry& port, const std::map<std::string, std::string>& oldExtraConfigs,
                             PortBatch& batch);

  // Logical switch port properties, connection, resync and full syncs (DVSPropConvertorPort.cpp).
  void HandleLspSwitchId(const Change& change, PortBatch& batch);
  void HandleLspAttachment(const Change& change, PortBatch& batch);
  void HandleLspAddressBindings(const Change& change, PortBatch& batch);
  void HandleLspIpDiscovery(const Change& change, PortBatch& batch);
  void HandleLspSwitchSecurity(const Change& change, PortBatch& batch);
  void HandleLspQos(const Change& change, PortBatch& batch);
  void HandleLspMirrorTargets(const Change& change, PortBatch& batch);
  void HandleLspAdminState(const Change& change, PortBatch& batch);
  void HandleLspMacManagement(const Change& change, PortBatch& batch);
  void HandleLspExtraConfigs(const Change& change, PortBatch& batch);
  void HandleLspIgnoreBindings(const Change& change, PortBatch& batch);
  void HandleLspHydTkm(const Change& change, PortBatch& batch);
  void AddExtraConfig(PortEntry& port, const std::string& key, const std::string& value, bool remove, PortBatch& batch);
  // Key 281 of a connected port whose service-insertion keys came or went (`now`: its extra configs after the change).
  void RefreshLatency(const Change& change, const std::map<std::string, std::string>& now, PortBatch& batch);
  void AddQosProperties(PortEntry& port, const LspState& lsp, PortBatch& batch);
  // Logical switches a batch created: their connected ports get the switch's whole property set.
  void SendNewSwitchProperties(const std::vector<std::string>& switchIds);
  bool QosServicePlane(const PortEntry& port) const;
  // The whole property set of a connected port; false when it has no LSP to build from.
  bool BuildPortProperties(PortEntry& port, PortBatch& batch);
  void BuildChildSegmentPort(PortEntry& cifPort, const std::string& childSwitchId, PortBatch& batch);
  // Child ports (CIFs) of a parent port's VIF, after it connected, changed or disconnected.
  void UpdateChildPorts(PortEntry& parent, bool isDisconnect);
  bool AcceptPortId(const VifInfo& info);
  std::string FindLspForPort(const PortEntry& port) const;
  // `lsp`, when given, is the view's current entry of `lspId` (the caller just found it): the port's cache starts
  // with it instead of looking it up again.
  void BindAndSend(PortEntry& port, const std::string& lspId, const LspState* lsp = nullptr);
  // Sends the whole property set of a bound port (a child segment port's for a CIF on a child switch).
  bool SendPortProperties(PortEntry& port);
  // The switch properties of a port that moved to another switch (or to none).
  void ReplaceLsProperties(PortEntry& port, PortBatch& batch);
  // Key 81 of every connected port taking part in a session that names `lspId` as source or destination.
  void RefreshMirrorsNaming(const std::string& lspId, PortBatch& batch);
  void ResyncPorts();
  bool SendPortListFullSync();

  // Host switches, mirror sessions, profiles and dispatcher lists (DVSPropConvertorHostSwitch.cpp).
  void HandleTransportSwitches(const Change& change, PortBatch& batch);
  void HandleBridgeNodes(const Change& change, PortBatch& batch);
  void HandleMirrorSession(const Change& change, PortBatch& batch);
  void HandleUplinkMirrorSession(const Change& change, PortBatch& batch);
  // Whether a host switch gets switch properties (not offloaded, not security-only).
  bool Active(const HostSwitchState& hostSwitch) const;
  // The switch properties of one host switch (CCP state, flow cache, forwarding mode, latency).
  DVSPropertyList SwitchProperties(const HostSwitchState& hostSwitch, bool* forwardingOk);
  bool SendSwitchProperties(uint8_t operation, const std::vector<const HostSwitchState*>& switches);
  bool SendSwitchList();
  void SendCcpState(bool up);
  std::vector<const HostSwitchState*> ActiveHostSwitches() const;
  // Key 81 for a port: its session tables, or empty.
  std::string MirrorTables(const PortEntry& port);
  void AddMirrorProperty(PortEntry& port, PortBatch& batch);
  void RebuildUplinkSessions();
  std::optional<std::string> LatencyValue(const qor::upm::ProfileUpdate& update) const;
  bool SkipLatency(const PortEntry& port) const;
  // A port's or a transport node's latency changed to `value` (none: cleared).
  void SetPortLatency(const std::string& lspId, const std::optional<std::string>& value, PortBatch& batch);
  void SetNodeLatency(const std::string& nodeId, const std::optional<std::string>& value);
  void RecomputeIpDiscovery(const std::string& lspId, PortBatch& batch);

  // What the timers call: the converter until its destructor detaches it.
  struct TimerTarget {
    explicit TimerTarget(DVSPropConvertor* target) : converter(target) {}
    std::mutex mutex;
    DVSPropConvertor* converter;
    void Call(void (DVSPropConvertor::*callback)());
    void Detach();
  };

  std::shared_ptr<TimerTarget> _timerTarget = std::make_shared<TimerTarget>(this);
  IStateCacheConfigTable* _table;
  qor::RefPtr<IKCPMsgConvertor> _builder;
  std::shared_ptr<qor::upm::IProfileService> _profiles;
  std::vector<uint64_t> _profileCallbacks;
  TimerFactory _timerFactory;
  std::unique_ptr<OneShotTimer> _hopliftTimer;
  std::unique_ptr<OneShotTimer> _resyncTimer;
  FlowCacheSettings _flowCache;
  std::unordered_map<uint32_t, Handler> _handlers;

  DesiredSwitchState _state;
  PortList _ports;
  LsAttachmentMap _lsAttachments;
  HopliftSyncQueue _hoplift;
  CcpSessionState _ccp;
  CIFConfig _cifs;
  std::set<std::string> _offloaded;                    // host switch ids whose datapath runs on a SmartNIC
  std::map<std::string, kcp::UplinkRecord> _uplinks;   // by uplink port ID
  std::map<std::string, std::string> _uplinkSessions;  // session object id -> uplink port ID it was sent to
  std::map<std::string, uint32_t> _vtepLabels;         // by device (tkmnic) name
  // Latency values from the latency profiles, kept apart from the desired-state view: the profile service may
  // report an LSP's or a node's profile before the configuration of that LSP or node reaches the converter.
  std::unordered_map<std::string, std::string> _portLatencies;  // LSP id -> key 281 value
  std::map<std::string, std::string> _nodeLatencies;            // transport node id -> key 11 value
  std::set<std::string> _tkmnicResync;                          // tkmnic names marked out of sync
  std::set<std::string> _spfPorts;                              // port IDs of the connected service-plane ports
  bool _started = false;
  bool _linkUp = true;
  bool _portListAwaitsVifReport = false;  // from Reset to EndOfFullSync
};

}  // namespace VevUroro
