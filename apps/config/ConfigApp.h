// VevUroro::ConfigApp: the configuration application. It keeps the virtual switch datapath's ports, switches and
// host switches in step with desired state, and carries the datapath's view of its VIFs back into the state cache
// as runtime state (from where the write-back observer puts it into the database).
//
// Inputs: the configuration table's changes of logical switches, ports, transport nodes, bridge clusters and
// mirror sessions (handed to the property converter as one batch per table notification); the dispatcher's
// DA_VIF, TRANSPORT_NODE_CONFIG, HOST_SWITCH_SMARTNIC_BACKING, CONFIG_SPAN, CCP_SESSION and GLOBAL_CONFIG entries
// (component CONFIGAPP); and the datapath's messages on its kernel link (channel "tkmlink.path" of the
// application's configuration subtree, mandatory).
//
// Session with the datapath: on every link-up and every OutOfSync report it sends Session Open with a new session
// ID (a process-wide counter) and has the converter send its full syncs; Update messages are ignored until the
// Open ACK of that session, session messages of other sessions are dropped (LCP00504), and so are an Open ACK or a
// Full Sync End that does not follow the session's previous step (a repeated or early one). VIF updates received
// during the datapath's full sync are held back (fullSyncUpdateList, pendingIpDiscovery, pendingVifConnections);
// at Session Full Sync End IP discovery gets them, and its ready callback writes the VIFs' runtime state into the
// configuration table as one full sync, then the deltas that came meanwhile. From then on VIF updates are written
// as they come, and uplinks go to the converter as they come. A VIF deleted for live migration gets a HOPLIFT_STATUS
// record, deleted 60 to 70 seconds later or when the VIF reconnects; a runtime full sync written meanwhile keeps it.
// A VIF record without a VIF ID is dropped (logged): the database refuses an object without an id, and with it the
// whole write it comes in.
//
// Timers: the DP status query every 60 s (IO context B) and the Hoplift status check every 10 s while records wait
// (IO context A); tests replace both through Collaborators, with their own wall clock.
//
// Threads and locks: the datapath handlers run on the link's receive thread, the status handler on whichever
// thread opened or closed the link (with the link mutex held), UpdateDesiredState on the dispatcher thread, the
// table observer on the thread that wrote the table, the timers on the IO contexts; every handler that touches the
// session state, the flags or the lists takes the agent lock. Start, PostStart and Stop run on the main thread;
// Stop closes the links without holding the agent lock. Held by qor::RefPtr (the dispatcher holds one while
// registered).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "apps/config/CallTarget.h"
#include "apps/config/ConfigDatabase.h"
#include "apps/config/ConverterTimer.h"
#include "apps/config/DVSPropConvertor.h"
#include "apps/config/DaemonHealthMonitor.h"
#include "apps/config/IpDiscovery.h"
#include "apps/config/VifUpdateFragments.h"
#include "cache/StateCacheConfigTable.h"
#include "cli/CliInterfaces.h"
#include "core/Component.h"
#include "core/startup/ConfigTree.h"
#include "intake/MsgDispatcher.h"

namespace VevUroro {

class ConfigApp : public SCConfigTableObserver, public qor::RefCounted<ConfigApp, Component>, public IConfigAppCli {
 public:
  static constexpr uint32_t kLinkBufferSize = 10240;
  static constexpr uint64_t kDpStatusIntervalUs = 60000000;
  static constexpr uint64_t kHopliftStatusIntervalUs = 10000000;
  static constexpr int64_t kHopliftStatusAgeMs = 60000;
  // Session states.
  static constexpr uint32_t kSessionReset = 0;
  static constexpr uint32_t kSessionOpenSent = 1;
  static constexpr uint32_t kSessionOpenAcked = 2;
  static constexpr uint32_t kSessionFullSyncEnded = 3;

  struct Collaborators {
    StateCacheConfigTable* table = nullptr;               // required; outlives the application
    qor::RefPtr<MsgDispatcher> dispatcher;                // may be null (tests)
    std::shared_ptr<IConfigDatabase> database;            // may be null: no solicitations answered, no health monitor
    bool healthMonitor = false;                           // a container service exists: watch the database
    std::shared_ptr<qor::upm::IProfileService> profiles;  // may be null
    LinkFactory links;                                    // empty: DataplaneTkmlink on the named channels
    TimerFactory timersA;                                 // empty: IO context A (Hoplift status timer)
    TimerFactory timersB;                                 // empty: IO context B (DP status timer)
    TimerFactory converterTimers;                         // empty: the converter's own (IO context A)
    std::function<int64_t()> wallClockMs;                 // empty: the system clock
    DaemonHealthMonitor::Collaborators health;            // database and report are filled in by the application
    int nodePersona = -1;                                 // -1: the process's node persona
  };

  explicit ConfigApp(Collaborators collaborators);
  ~ConfigApp() override;

  // Starts IP discovery, creates the datapath link (not opened yet) and the converter, registers with the table
  // and the dispatcher, starts the converter and the health monitor. Throws boost::property_tree::ptree_bad_path
  // when "tkmlink.path" is missing.
  void Start(const ConfigTree& subtree);
  // Start-up step 24: IP discovery's link, the datapath link, the DP status timer.
  void PostStart();
  void Stop();

  // Hands a KCP message (a C-allocator buffer) to the datapath link, which owns it from then on.
  bool SendToDP(uint8_t* message);

  // The dispatcher's entries (component CONFIGAPP).
  void UpdateDesiredState(const std::list<TolvarUpdateMsg>& entries, uint8_t fullSync) override;
  // The configuration table's changes; the table's own call hands over the list, whose values the converter
  // releases as it converts them.
  void OnConfigDesiredStateChanged(const StateCacheChangeList& changes, bool fullSync, bool first) override;
  void OnConfigDesiredStateTaken(StateCacheChangeList& changes, bool fullSync, bool first) override;

  // Datapath link observers.
  void OnKcpMessage(const uint8_t* message, int length);
  void OnLinkStatus(DataplaneLink* link, LinkStatus status);
  // IP discovery's ready callback.
  void OnIpDiscoveryReady(std::list<TolvarUpdateMsg> updates, bool vifConnectionUpdate);
  // Timer callbacks.
  void OnDpStatusTimer();
  void OnHopliftStatusTimer();

  // Operator CLI.
  std::vector<LportStatusRow> LportStatus() const override;
  bool SimulateOutOfSync() override;

  // Views for tests.
  uint32_t SessionState() const { return _sessionState.load(); }
  static uint32_t CurrentSessionId();
  bool DpFullSyncDone() const;
  bool IpDiscoveryFullSyncDone() const;
  size_t HopliftStatusCount() const;
  IpDiscovery* Discovery() { return _ipDiscovery.get(); }
  DVSPropConvertor* Converter() { return _converter.get(); }
  DaemonHealthMonitor* HealthMonitor() { return _health.get(); }

 private:
  static constexpr uint32_t kObservedTypes[] = {1, 2, 5, 22, 6};
  // The session ID: process-wide, incremented before each Session Open.
  static inline std::atomic<uint32_t> s_sessionId{0};

  // Both calls of the configuration table; `taken`: the same list, handed over.
  void OnDesiredChanges(const StateCacheChangeList& changes, StateCacheChangeList* taken, bool first);

  // Session and full sync.
  void StartFullSyncWithDP();
  void HandleSessionControl(const kcp::KcpMessage& message);
  // Whether a session control message of the current session comes in the state it belongs to; logs it otherwise.
  bool SessionStep(const kcp::DataItem& item, uint32_t expectedState);
  void HandleNotification(const uint8_t* message, int length, const kcp::KcpMessage& decoded);
  void HandleDPUpdateMsg(const uint8_t* message, int length, const kcp::KcpMessage& decoded);
  void ApplyDPUpdate(const kcp::KcpMessage& message);
  void UpdateVifInfo(const kcp::DataItem& item);
  void UpdateLocalState(const kcp::DataItem& item);
  // Records VIFs deleted for live migration and arms the Hoplift status timer.
  void RecordHopliftStatus(const std::vector<std::string>& vifIds);
  // Adds the waiting Hoplift status records to the runtime full sync.
  void KeepHopliftStatusRecords();
  void WriteRuntime(const std::list<TolvarUpdateMsg>& entries, bool fullSync);
  int64_t NowMs() const;
  int Persona() const;

  Collaborators _c;
  std::shared_ptr<CallTarget<ConfigApp>> _target = std::make_shared<CallTarget<ConfigApp>>(this);
  qor::RefPtr<DVSPropConvertor> _converter;
  qor::RefPtr<DaemonHealthMonitor> _health;
  boost::intrusive_ptr<DataplaneLink> _link;
  bool _dpFullSyncDone = false;
  bool _fullSyncAfterDbSync = false;
  bool _dpLinkUp = false;
  bool _ipDisFullSyncDone = false;
  bool _stopped = false;
  std::list<TolvarUpdateMsg> _fullSyncUpdateList;
  std::list<TolvarUpdateMsg> _deferredDeltaList;
  std::map<std::string, TolvarUpdateMsg> _pendingBindings;
  std::vector<IpDiscoveryInput> _pendingIpDiscovery;
  std::list<TolvarUpdateMsg> _pendingVifConnections;
  qor::RefPtr<IpDiscovery> _ipDiscovery;
  std::unique_ptr<OneShotTimer> _dpStatusTimer;
  std::unique_ptr<OneShotTimer> _hopliftTimer;
  std::atomic<uint32_t> _sessionState{kSessionReset};
  VifUpdateFragments _dpFragments;  // receive thread only
  uint32_t _fragmentsSession = 0;   // the session the fragments in progress belong to (receive thread only)
  std::vector<UplinkInfo> _pendingUplinks;
  std::vector<std::pair<std::string, int64_t>> _hopliftStatusList;
};

}  // namespace VevUroro
