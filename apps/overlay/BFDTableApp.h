// VevUroro::BFDTableApp: decides which BFD sessions the overlay module runs between this host's tunnel endpoints
// (local VTEPs) and remote ones, and pushes the BFD configuration of each host switch.
//
// Users of a session: a logical switch (its local VTEPs, reported by the datapath, against the remote VTEPs of its
// forwarding tables), a routing domain (its local and remote routing-domain VTEPs) and a VTEP group (the local
// VTEPs of a switch the group's label maps to, against the group's members). A switch in a routing domain or mapped
// to a VTEP group counts for that domain or group instead of for itself; the global routing domain makes no
// sessions. Each user's sessions are recomputed from what the state cache told this application whenever one of
// its inputs changes, and the difference goes through UpdateBFDTable, the one place that changes the table. Only
// the creation and the removal of a table entry reach the datapath (one session per key, however many users): a
// session is added on the VNI of a switch that carries it, and removed on the VNI it was added on. A VNI join
// resends the sessions that VNI carries.
//
// Inputs: the configuration table (LOG_SWITCH_CONFIG: VNI, routing domain, type; TRANSPORT_NODE_CONFIG: transport
// switches, label, BFD), the L2 table (desired LOG_SWITCH_FIB, ROUTING_DOMAIN_FIB, L2_VTEP_GROUP; runtime
// LOG_SWITCH_STATE, ROUTING_DOMAIN_VTEP) and, as component BFD, BFD_GLOBAL_CONFIG objects: the one whose id is a
// transport zone's id holds that zone's BFD settings, sent for every host switch of the zone. A logical switch of
// type kEvpnLogicalSwitchType is an EVPN switch: while one exists, the transport node's BFD settings go out as the
// EVPN BFD configuration.
//
// Threads: notifications come from the dispatcher thread and the L2 application's threads, the VNI listener from
// the L2 application, the CLI from its server thread; every entry point takes the agent lock. The dataplane is not
// owned and must outlive Stop().
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "apps/overlay/BfdTable.h"
#include "apps/overlay/IBfdDataplane.h"
#include "cache/IStateCacheConfigTable.h"
#include "cache/StateCacheL2Table.h"
#include "cli/CliInterfaces.h"
#include "core/Component.h"
#include "intake/MsgDispatcher.h"
#include "zantix/qor/tolvar/config.pb.h"
#include "zantix/qor/tolvar/services.pb.h"

namespace VevUroro {

// The LS_TYPE of an EVPN logical switch.
constexpr uint32_t kEvpnLogicalSwitchType = 4;
// The id of the global routing domain (all bits set); the nil id is no routing domain.
extern const char* const kGlobalRoutingDomainId;

// One change of the table as UpdateBFDTable takes it.
struct BfdTableUpdate {
  BfdSessionOp op = BfdSessionOp::kAdd;
  std::string localId;
  std::string remoteId;
  uint32_t sessionType = kBfdTunnelSession;
  uint32_t tnVgLabel = 0;
};

class BFDTableApp : public qor::RefCounted<BFDTableApp, Component>,
                    public SCConfigTableObserver,
                    public SCL2TableObserver,
                    public IBfdVniListener,
                    public ICliCommandHandler {
 public:
  struct Collaborators {
    IStateCacheConfigTable* configTable = nullptr;
    StateCacheL2Table* l2Table = nullptr;
    MsgDispatcher* dispatcher = nullptr;  // optional: receives BFD_GLOBAL_CONFIG as component BFD
    IBfdDataplane* dataplane = nullptr;
  };

  explicit BFDTableApp(Collaborators c);

  // Registers with the state cache tables and the dispatcher; Stop unregisters.
  void Start();
  void Stop();

  void UpdateDesiredState(const std::list<TolvarUpdateMsg>& updates, uint8_t fullSync) override;
  void OnConfigDesiredStateChanged(const StateCacheChangeList& changes, bool fullSync, bool first) override;
  void OnL2DesiredStateChanged(const StateCacheChangeList& changes, bool fullSync) override;
  void OnL2RuntimeStateChanged(const StateCacheChangeList& changes, bool fullSync) override;
  void HandleStateCacheVNIUpdate(uint32_t vni, const std::string& logicalSwitchUuid, bool joined) override;
  // "vevuroro/bfd": the table, then the BFD settings known per transport zone.
  qor::ovs::UnixctlReply HandleCliCommand(const std::vector<std::string>& argv) override;

  // The single place that changes the table; sends the creation or removal of an entry. False when refused.
  bool UpdateBFDTable(const BfdVtep& local, const BfdVtep& remote, const BfdTableUpdate& update);

  // A copy of the table, for tests and the CLI.
  BfdTable::Entries Entries() const;

 private:
  enum class UserKind { kSwitch, kRoutingDomain };
  using User = std::pair<UserKind, std::string>;
  struct Contribution {
    BfdSessionKey key;
    BfdReference reference;
    uint32_t tnVgLabel = 0;
    auto operator<=>(const Contribution&) const = default;
  };
  struct SwitchInfo {
    std::optional<uint32_t> vni;
    std::string routingDomain;  // UUID text; empty for none
    bool evpn = false;
  };
  struct Fib {
    std::string owner;  // the logical switch or routing domain (UUID text)
    std::set<BfdVtep> vteps;
    std::map<uint32_t, uint64_t> groupLabels;  // VTEP group label -> group key (routing-domain tables)
  };
  struct FibTables {
    std::map<std::string, Fib> byId;
    std::map<std::string, std::set<std::string>> byOwner;  // owner -> its tables' ids
  };

  void HandleSwitchConfig(const StateCacheChange& change);
  void HandleTransportNode(const StateCacheChange& change);
  void HandleFib(const StateCacheChange& change, FibTables& tables, UserKind kind);
  void HandleVtepGroup(const StateCacheChange& change);
  void HandleLocalVteps(const StateCacheChange& change, std::map<std::string, std::set<BfdVtep>>& vteps, UserKind kind);
  // Applies one VTEP element change (insertion, replacement or removal) to `vteps`.
  static void ApplyVtep(const StateCacheChange& change, std::set<BfdVtep>& vteps);
  void SetRoutingDomain(const std::string& ls, const std::string& routingDomain);

  // Recomputes the dirty users and applies the difference to the table.
  void Flush();
  std::set<Contribution> Wanted(const User& user);
  void AddPairs(const std::set<BfdVtep>& local, const std::set<BfdVtep>& remote, uint32_t sessionType,
                const BfdReference& reference, uint32_t tnVgLabel, std::set<Contribution>& out) const;
  std::set<BfdVtep> RemoteVteps(const FibTables& tables, const std::string& owner) const;
  void RebuildGroupMaps();
  // The members of the VTEP group of `label` when it may carry sessions (logged otherwise).
  std::optional<std::set<BfdVtep>> GroupMembers(uint32_t label) const;

  void UpdateToBFDSessionInDataplane(const BfdSessionKey& key, BfdTableEntry& entry, BfdSessionOp op,
                                     std::optional<uint32_t> vni);
  // The VNI that carries a session of `reference`, or nothing (logged with its code).
  std::optional<uint32_t> CarrierVni(const BfdSessionKey& key, const BfdReference& reference, BfdSessionOp op,
                                     bool log = true) const;
  // Calls `visit` with each known logical switch whose VNI may carry a session of `reference` until it returns
  // true; false when the reference names no switch at all (a VTEP group label no switch maps to).
  bool ForEachCarrier(const BfdSessionKey& key, const BfdReference& reference,
                      const std::function<bool(const SwitchInfo&)>& visit) const;
  // True when `vni` is the VNI of a switch that may carry the entry for one of its users.
  bool Carries(const BfdSessionKey& key, const BfdTableEntry& entry, uint32_t vni) const;
  // Brings the datapath in line with the entry: a session sent on a VNI that no longer carries it is removed
  // there, and a session that is not in the datapath is added on a VNI that carries it, if there is one.
  void Reconcile(const BfdSessionKey& key, BfdTableEntry& entry);
  // Reconciles, in one pass, the entries sent on one of `sentOn` (or on any VNI with `allSent`) and, with `unsent`,
  // the entries not in the datapath.
  void ReconcileVnis(const std::set<uint32_t>& sentOn, bool allSent, bool unsent);

  void PushBfdConfig(const zantix::qor::tolvar::TransportSwitchMsg& hostSwitch);
  void PushEvpnBfdConfig();
  bool IsEVPNLogicalSwitch(const std::string& ls) const;

  Collaborators _c;
  bool _started = false;
  BfdTable _table;

  std::map<std::string, SwitchInfo> _switches;
  std::map<std::string, std::set<std::string>> _rdLSMap;
  std::map<uint32_t, std::set<std::string>> _vgLSMap;
  std::map<std::string, uint32_t> _lsVGMap;
  std::map<std::string, std::set<BfdVtep>> _localSwitchVteps;
  std::map<std::string, std::set<BfdVtep>> _localDomainVteps;
  FibTables _switchFibs;
  FibTables _domainFibs;
  std::map<std::string, std::pair<uint64_t, std::set<BfdVtep>>> _vtepGroups;  // object -> (group key, members)
  std::map<std::string, uint32_t> _tnLabels;                                  // transport node -> its TEP label

  std::set<User> _dirty;
  bool _allSwitchesDirty = false;
  std::set<uint64_t> _changedGroupKeys;  // VTEP groups set since the last flush
  bool _newVnis = false;                 // a VNI became known: the sessions it carries may now be sent
  std::set<uint32_t> _recheckVnis;       // VNIs that may no longer carry the sessions sent on them
  std::map<User, std::set<Contribution>> _contributions;

  std::map<std::string, zantix::qor::tolvar::TransportSwitchesMsg> _transportSwitches;  // per transport node
  std::map<std::string, zantix::qor::tolvar::BfdGlobalConfigMsg> _zoneBfd;              // per transport zone
  std::map<std::string, zantix::qor::tolvar::TnBfdMsg> _tnBfd;                          // per transport node
  std::optional<EvpnBfdConfig> _sentEvpn;
};

}  // namespace VevUroro
