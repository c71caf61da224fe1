// VevUroro::L2App: the L2 application. It keeps the overlay switching module in step with the overlay L2 tables
// the controller computes (VTEPs, VM MACs, ARP and ND entries per VNI, VTEP groups, routing-domain VTEPs, the
// per-VNI MAC limit, the replication mode, the controller address, the BFD records of the BFD table), and writes
// what the module learns (local VTEPs and MACs per VNI, routing-domain VTEPs) into the L2 runtime state cache.
//
// Inputs: the configuration table's logical switches and transport nodes, the L2 table's LS and routing-domain
// FIBs and VTEP groups (desired), the dispatcher's CCP_SESSION and GLOBAL_CONFIG entries (component L2APP), the
// BFD table's records (IBfdDataplane), and the module's messages on the application's own kernel link (channel
// "l2.tkmlink.path"). Messages are laid out as dataplane/overlay/OverlayLayout.h states.
//
// Session: at every link-up and every out-of-sync report the ready level drops to 0, Init is sent, the level rises
// to 1 and Session Open is sent with a new session ID; the module's Open ACK raises it to 2. The module then
// reports its overlay instances and every VNI it has joined (each join sends that VNI's desired tables), its local
// tables, and Full Sync End; the instances of an earlier session are forgotten.
// Once that end and the database's first full sync have both arrived, the application writes the local tables as
// the runtime cache's full sync and answers with its own sync end, after which the module drops what was not sent
// again (so a restart before the database answered drops nothing). Messages of another session are dropped. The
// desired tables are kept per VNI, so a desired change for a VNI the module has not joined waits in them until the
// join. A desired element replaced by one the record rules refuse leaves the module. Routing-domain VTEPs the
// module reports are written for configured domains and the global one only; a domain's runtime object goes with
// its last VTEP. The global routing domain (all-ones ID) is carried by the single overlay instance of the host
// switch, not by a segment.
//
// Threads and locks: link messages on the link's receive thread, link status with the link mutex held, desired
// changes on the dispatcher or table-writer thread, the BFD table's calls on its own thread; every handler takes
// the agent lock. Start, PostStart and Stop run on the main thread. Held by qor::RefPtr.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "apps/config/CallTarget.h"
#include "apps/config/IpDiscovery.h"
#include "apps/overlay/IBfdDataplane.h"
#include "apps/overlay/L2AlarmReporter.h"
#include "apps/overlay/OverlayMessages.h"
#include "cache/StateCacheConfigTable.h"
#include "cache/StateCacheL2Table.h"
#include "cli/CliInterfaces.h"
#include "core/Component.h"
#include "core/startup/ConfigTree.h"
#include "intake/MsgDispatcher.h"

namespace VevUroro {

class L2App : public SCConfigTableObserver,
              public SCL2TableObserver,
              public qor::RefCounted<L2App, Component>,
              public IL2AppCli,
              public IBfdDataplane {
 public:
  static constexpr uint32_t kLinkBufferSize = 65536;
  static constexpr const char* kDefaultChannel = "qor_l2_tkmlink";
  // Distinct instances whose changes are held until the open ACK (one instance per host switch, so far above use).
  static constexpr size_t kMaxQueuedInstances = 1024;

  struct Collaborators {
    StateCacheConfigTable* configTable = nullptr;  // required; outlives the application
    StateCacheL2Table* l2Table = nullptr;          // required; outlives the application
    qor::RefPtr<MsgDispatcher> dispatcher;         // may be null (tests)
    LinkFactory links;                             // empty: DataplaneTkmlink on the named channel
    L2AlarmReporter::SourceFactory alarmSources;   // empty: the monitoring library
  };

  explicit L2App(Collaborators collaborators);
  ~L2App() override;

  // Creates the link (not opened yet) and the alarm reporter's source, registers with the tables and the
  // dispatcher. The channel is "l2.tkmlink.path" of `subtree`, else (older files) "tkmlink.path", else
  // "qor_l2_tkmlink"; the choice is logged.
  void Start(const ConfigTree& subtree);
  void PostStart();
  void Stop();

  // Told after a VNI join or leave is recorded; null by default. Not owned.
  void SetBfdVniListener(IBfdVniListener* listener);

  // The dispatcher's entries (CCP_SESSION, GLOBAL_CONFIG).
  void UpdateDesiredState(const std::list<TolvarUpdateMsg>& entries, uint8_t fullSync) override;
  void OnConfigDesiredStateChanged(const StateCacheChangeList& changes, bool fullSync, bool first) override;
  void OnL2DesiredStateChanged(const StateCacheChangeList& changes, bool fullSync) override;

  void OnLinkMessage(const uint8_t* message, int length);
  void OnLinkStatus(DataplaneLink* link, LinkStatus status);

  bool SimulateOutOfSync() override;
  bool SendBfdSession(const BfdSessionUpdate& update) override;
  bool SendBfdConfig(const BfdHostSwitchConfig& config) override;
  bool SendEvpnBfdConfig(const EvpnBfdConfig& config) override;

  // Views for tests and the operator.
  uint32_t ReadyLevel() const;
  uint32_t SessionId() const;
  std::map<uint32_t, uint32_t> JoinedVnis() const;  // VNI -> datapath switch ID
  std::set<uint32_t> Instances() const;
  size_t QueuedInstanceCount() const;  // instance changes held until the open ACK
  std::optional<uint32_t> ReplicationMode() const;
  L2AlarmReporter& AlarmReporter() { return _alarms; }

  // The controller address message's payload from a CCP session (36 bytes); logs the address-type cases.
  static overlay::Bytes ControllerAddressPayload(uint32_t first, uint32_t second,
                                                 const zantix::qor::tolvar::CcpSessionMsg& session);

 private:
  using Table = std::map<L2ValueKey, std::string>;  // value key -> serialized element
  struct LsFib {
    std::string lsId;
    Table vteps, macs, ips;
  };
  struct SwitchConfig {
    std::optional<uint32_t> vni;
    std::string routingDomain;
    std::optional<uint32_t> macLimit;
  };
  struct JoinedVni {
    uint32_t switchId = 0;
    std::string lsId;  // empty while the VNI's switch is not configured
  };
  struct RdFib {
    std::string routingDomain;
    Table vteps, groupLabels;
  };
  struct LocalTables {
    Table vteps, macs;
  };
  // A batch of table changes per (VNI, update type): added and removed records.
  using Batch =
      std::map<std::pair<uint32_t, uint16_t>, std::pair<std::vector<overlay::Bytes>, std::vector<overlay::Bytes>>>;

  // Session.
  void StartSession();
  void Send(const overlay::Bytes& message);
  void SendSessionGlobals();
  void HandleSessionControl(const overlay::ReceivedMessage& message);
  void HandleVniMembership(const overlay::ReceivedMessage& message);
  void HandleUpdate(const overlay::ReceivedMessage& message);
  void HandleQuery(const overlay::ReceivedMessage& message);
  void HandleStateReport(const overlay::ReceivedMessage& message);
  void HandleInstanceChange(const overlay::ReceivedMessage& message);
  // False when the change changes nothing (a duplicate insert, a remove of an unknown instance).
  bool ApplyInstanceChange(bool insert, uint32_t instance);
  // The global routing domain is carried by the host switch's overlay instance (one only): its desired VTEPs are
  // sent under that instance with the global flag, at each instance change and each session. What the module holds
  // is brought to the desired VTEPs (adds and removes); while there is not exactly one valid instance it holds none.
  void SyncGlobalRoutingDomain();
  // The instance that carries the global routing domain, if there is exactly one valid one; logs why not.
  std::optional<uint32_t> GlobalRoutingDomainSwitch() const;
  // Sends the change of one global-domain VTEP (by key) to the instance that holds the domain.
  void SyncGlobalRoutingDomainVtep(const L2ValueKey& key);
  static const std::string& GlobalRoutingDomainId();  // serialized UuidMsg, all ones
  void JoinVni(uint32_t switchId, uint32_t vni);
  void LeaveVni(uint32_t vni);
  // Sends the whole desired state of a joined VNI (tables, MAC limit, BFD sessions).
  void SendVniTables(uint32_t vni, const JoinedVni& joined);
  // withdrawIfNone: the switch had a limit that is gone, so the module is sent a zero (no) limit.
  void SendMacLimit(uint32_t vni, bool withdrawIfNone = false);
  void SendMacLimitValue(uint32_t switchId, uint32_t vni, uint32_t limit);
  void ClearReplicationMode();
  void DetachSwitchFromVni(uint32_t vni, const std::string& lsId);
  static overlay::Bytes NoControllerPayload();
  void SendRoutingDomains();
  void SendRoutingDomainVteps(const RdFib& fib, const std::vector<overlay::Bytes>& added,
                              const std::vector<overlay::Bytes>& removed);
  void SendRoutingDomainVtepMessages(uint32_t switchId, const std::string& routingDomain,
                                     const std::vector<overlay::Bytes>& added,
                                     const std::vector<overlay::Bytes>& removed);
  void SendVtepGroup(const std::string& groupId, bool remove);
  bool VtepGroupConfigured(uint64_t groupKey) const;  // a desired group carries this key
  void SendBfdRecord(uint32_t switchId, const BfdSessionUpdate& update);
  // Desired changes.
  void ApplyLsFibChange(const StateCacheChange& change, Batch& batch);
  void ApplyRdFibChange(const StateCacheChange& change);
  void ApplyVtepGroupChange(const StateCacheChange& change);
  void ApplySwitchConfigChange(const StateCacheChange& change);
  void FlushBatch(Batch& batch);
  // The record of an element for its update type; nullopt when it is refused.
  static std::optional<std::pair<uint16_t, overlay::Bytes>> ElementRecord(uint32_t property, const std::string& value);
  const LsFib* FibOfSwitch(const std::string& lsId) const;
  std::optional<std::string> SwitchOfVni(uint32_t vni) const;
  bool Ready() const { return _readyLevel == 2 && _linkUp; }
  // Runtime.
  void WriteRuntime(std::list<TolvarUpdateMsg> entries, bool fullSync);
  void WriteRuntimeFullSync();
  // Ends the session's sync (runtime full sync, the agent's sync end) once both the module's reports and the
  // database's desired state are complete, so that nothing is dropped for lack of a table not yet received.
  void MaybeEndSync();
  // The runtime records of a joined VNI whose switch became known: its object and its local elements.
  std::list<TolvarUpdateMsg> SwitchRuntime(uint32_t vni, const std::string& lsId) const;
  TolvarUpdateMsg SwitchStateRecord(const std::string& lsId, uint32_t vni) const;

  Collaborators _c;
  std::shared_ptr<CallTarget<L2App>> _target = std::make_shared<CallTarget<L2App>>(this);
  boost::intrusive_ptr<DataplaneLink> _link;
  L2AlarmReporter _alarms;
  IBfdVniListener* _bfdListener = nullptr;
  bool _stopped = false;
  bool _linkUp = false;
  uint32_t _readyLevel = 0;
  uint32_t _sessionId = 0;
  static inline std::atomic<uint32_t> s_sessionId{0};

  std::map<std::string, LsFib> _lsFibs;             // by FIB object id
  std::map<std::string, std::string> _fibOfSwitch;  // LS id -> FIB object id
  std::map<std::string, SwitchConfig> _switches;    // by LS id
  std::map<uint32_t, std::string> _vniSwitch;       // VNI -> LS id, from the configuration
  std::map<uint32_t, JoinedVni> _joined;
  std::map<std::string, RdFib> _rdFibs;               // by FIB object id
  std::map<std::string, uint32_t> _routingDomains;    // routing domain id -> switch ID (0 while none joined)
  std::map<std::string, overlay::Bytes> _vtepGroups;  // group object id -> serialized VtepGroupMsg
  std::map<uint64_t, uint32_t> _groupReferences;      // group key -> routing domains that use it
  std::map<uint32_t, LocalTables> _local;             // by VNI
  std::map<std::string, Table> _localRdVteps;         // by routing domain id
  bool _runtimeSynced = false;
  bool _dpSyncEnded = false;    // the module's Full Sync End of this session arrived
  bool _desiredSynced = false;  // the L2 table's first full sync arrived
  std::set<uint32_t> _instances;
  std::map<uint32_t, bool> _queuedInstances;  // instance -> insert, the last change before the open ACK
  // The global routing domain's VTEP records the module holds in this session, and the instance holding them
  // (0: none).
  std::map<L2ValueKey, overlay::Bytes> _globalRdSent;
  uint32_t _globalRdSwitch = 0;
  std::map<uint32_t, std::map<std::string, BfdSessionUpdate>> _bfdSessions;  // by VNI, then session key
  std::map<std::array<uint8_t, 16>, BfdHostSwitchConfig> _bfdConfigs;
  std::optional<EvpnBfdConfig> _evpnBfd;
  std::optional<uint32_t> _replicationMode;
  std::optional<zantix::qor::tolvar::CcpSessionMsg> _ccpSession;
};

}  // namespace VevUroro
