// qor::upm::UPMService: the port-profile service. It follows the profiles of the configuration database and how
// they are bound to logical switches, logical switch ports and transport nodes, and keeps, for every port and
// every transport node, the effective profile of each profile type.
//
// Binding: a ProfileMsg has an id and a profile_type (9 IP discovery, 12 port latency, ...). A logical switch
// (LogSwitchConfigMsg) and a logical switch port (LogSwitchPortConfigMsg) bind profiles by listing their ids in
// `profile_ids`. A port's effective profile of a type is the first profile of that type in its own list; when its
// own list has none, the first one of that type in the list of the switch its LSP_SWITCH_ID names. A transport
// node (TransportNodeConfigMsg) binds profiles for itself by its own `profile_ids` (the first of a type wins; it
// inherits nothing): a latency profile there is the latency of the node's host switches. Updates say which kind
// of entity they are about (ProfileUpdate::entityKind). A profile that does not exist (yet) binds nothing.
//
// Where the data comes from: the service registers its own monitor (kMonitorId) for PROFILE, LOG_SWITCH_CONFIG,
// LOG_SWITCH_PORT_CONFIG and TRANSPORT_NODE_CONFIG on the database client library it is created over, and an
// observer of the client's channel. The first barrier after Start and after every reconnect completes the whole
// state: the service replaces what it knew and calls every callback with the complete list of its type (fullSync
// true). After that, each barrier ends one transaction: callbacks receive the ports and transport nodes whose
// effective profile of their type changed (set, or delete when none applies any more), fullSync false.
//
// Threads: the monitor's updates, barriers and channel changes, and so every callback, run on the client
// library's callback thread, one at a time. Queries and registration may come from any thread; one mutex guards
// the profile state and is never held while a callback runs; a second (recursive) one is held while callbacks
// run, so that UnregisterCallback returns only when its callback cannot run any more (a callback may unregister
// itself; do not unregister while holding a lock a callback takes). RegisterCallback never waits for callbacks:
// a callback registered during a delivery is first called at the next one. Create with std::make_shared: the client
// holds weak references to the service.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "platform/tolvar/TolvarDbClient.h"
#include "platform/upm/ProfileQuery.h"

namespace qor::upm {

class UPMService : public IProfileService, public std::enable_shared_from_this<UPMService> {
 public:
  static constexpr uint32_t kMonitorId = 301;

  // Without a database client: no profiles are ever known (start and stop only).
  explicit UPMService(std::string name = "");
  UPMService(std::string name, std::shared_ptr<tolvar::TolvarDbClientInterface> client, uint32_t vdb = 1);
  ~UPMService() override;
  UPMService(const UPMService&) = delete;
  UPMService& operator=(const UPMService&) = delete;

  // Idempotent. Start registers the monitor (after the client started, or before: the client establishes it when
  // it connects); Stop removes it and stops the callbacks.
  bool Start();
  void Stop();
  bool Running() const { return _running.load(); }
  const std::string& Name() const { return _name; }

  bool GetEffectiveProfile(const std::string& lspId, uint32_t profileType,
                           zantix::qor::tolvar::ProfileMsg* profile) const override;
  uint64_t RegisterCallback(uint32_t profileType, ProfileCallback callback) override;
  void UnregisterCallback(uint64_t id) override;

  // Every port's effective profile of `profileType`, by port id (transport nodes are not included).
  std::map<std::string, zantix::qor::tolvar::ProfileMsg> EffectiveProfiles(uint32_t profileType) const;
  // Whether the whole state has been read since the last (re)connect.
  bool Synced() const;

 private:
  struct Port {
    std::string switchId;
    std::vector<std::string> profileIds;
  };
  struct State {
    std::unordered_map<std::string, zantix::qor::tolvar::ProfileMsg> profiles;
    std::unordered_map<std::string, std::vector<std::string>> switches;  // switch id -> profile ids
    std::unordered_map<std::string, Port> ports;
    std::unordered_map<std::string, std::set<std::string>> switchPorts;  // switch id -> port ids
    std::unordered_map<std::string, std::vector<std::string>> nodes;     // transport node id -> profile ids
  };
  using Entity = std::pair<ProfileUpdate::EntityKind, std::string>;
  // (kind, id, type) -> profile bytes
  using Effective = std::map<std::tuple<ProfileUpdate::EntityKind, std::string, uint32_t>, std::string>;

  void OnUpdate(const zantix::qor::tolvar::MonitorUpdateMsg& update);
  void OnBarrier();
  void OnChannelStatus(bool up);
  // Applies one update to `state`; adds the entities whose effective profiles it may change to `touched`.
  static void Apply(State& state, const zantix::qor::tolvar::MonitorUpdateMsg& update, std::set<Entity>* touched);
  static const zantix::qor::tolvar::ProfileMsg* Find(const State& state, const Entity& entity, uint32_t type);
  // The effective profiles of `entities` (every port and node when null) for every profile type known.
  static Effective Compute(const State& state, const std::set<Entity>* entities);
  void Deliver(const std::map<uint32_t, std::vector<ProfileUpdate>>& updates, bool fullSync);

  std::string _name;
  std::shared_ptr<tolvar::TolvarDbClientInterface> _client;
  uint32_t _vdb;
  std::atomic<bool> _running{false};

  mutable std::mutex _mutex;
  State _state;
  State _incoming;  // the whole state being read after a (re)connect
  bool _resync = true;
  std::set<Entity> _touched;  // entities the updates since the last barrier touched
  Effective _effective;

  // Held while callbacks run (and by UnregisterCallback, to wait for them). Taken before _callbackListMutex.
  std::recursive_mutex _callbackMutex;
  // Guards the list only, never held while a callback runs: registering does not wait for a delivery, whose
  // callbacks may wait for a lock the registering thread holds.
  std::mutex _callbackListMutex;
  std::map<uint64_t, std::pair<uint32_t, ProfileCallback>> _callbacks;
  uint64_t _nextCallback = 1;
};

}  // namespace qor::upm
