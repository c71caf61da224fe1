// VevUroro::L3App: the L3 application. It keeps the kernel's distributed router (one VDR instance per logical
// router, its LIFs, routes with next hops, ARP tables, prefix lists, DAD status, multicast and the global routing
// settings) in step with the desired state of the L3 table of the state cache, over its own kernel link (channel
// "tkmlink.path" of the "l3" subtree; bytes in dataplane/router/RouterLayout.md), and writes the DAD reports of the
// kernel back to the database.
//
// Desired vs installed: for every object the application keeps what the kernel was last told. Each table change
// re-reads the touched objects from the cache and sends the difference; an object whose parent is missing (a router
// port of an unknown router, a route of a router without VDR ID) is logged (LCP00029) and sent when the parent comes.
// A LIF's router-advertisement settings come from its router's NDRA profile and, like its ARP entries, only while
// the LIF is admin up.
// The first L3 notification after start runs the full sync instead: FULL SYNC START for every VDR, the instances,
// prefix lists, each router's LIFs (with ARP and DAD), routes and multicast routes, the global settings, FULL SYNC
// END and the barrier. The kernel asks for one VDR (or all, 0xFFFFFFFF) with an INSTANCE REPORT whose change is 2;
// the application then resends what it installed for that router (or everything). A reconnect of the kernel link
// after the first runs the full sync again, since the module may have been reloaded or lost a message in flight;
// so from a link down to the reconnect nothing is queued for the kernel (the state still follows the changes).
//
// Next-hop and ARP updates carry an add list and a delete list that the kernel applies adds first: a next hop (or
// ARP entry) whose key is in both lists is dropped from the delete list, so that a changed next hop is not deleted
// right after its replacement was added.
//
// Threads and locks: table notifications arrive on the dispatcher thread (L3 table) and on the thread that wrote the
// configuration table; kernel messages and link status on the link's threads. Every handler takes the agent lock,
// the kernel's full-sync request for the whole resend. Start and Stop run on the main thread; Stop closes the link
// without the agent lock. Held by qor::RefPtr.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "apps/config/CallTarget.h"
#include "apps/config/IpDiscovery.h"
#include "apps/overlay/VdrMessageBuilder.h"
#include "cache/StateCacheConfigTable.h"
#include "cache/StateCacheL3Table.h"
#include "core/Component.h"
#include "core/startup/ConfigTree.h"
#include "dataplane/router/VdrKernelReader.h"
#include "intake/ITolvarClient.h"

namespace VevUroro {

class L3App : public qor::RefCounted<L3App, Component>, public SCL3TableObserver, public SCConfigTableObserver {
 public:
  static constexpr uint32_t kLinkBufferSize = 65536;

  struct Collaborators {
    StateCacheL3Table* l3Table = nullptr;          // required; outlives the application
    StateCacheConfigTable* configTable = nullptr;  // required; outlives the application
    qor::RefPtr<ITolvarClient> tolvarClient;       // may be null: DAD reports are then only logged
    LinkFactory links;                             // empty: DataplaneTkmlink on the named channel
  };

  explicit L3App(Collaborators collaborators);
  ~L3App() override;

  // Reads "l3.tkmlink.path" (mandatory; false and logged when missing) and "l3.features.softRSS.enabled"
  // (default true), creates and starts the link and registers with both tables.
  bool Start(const ConfigTree& subtree);
  void Stop();

  void OnL3DesiredStateChanged(const StateCacheChangeList& changes, bool fullSync) override;
  // Only the switches and switch ports a router port is attached to are read of the configuration table.
  bool ReadsDesiredChange(const StateCacheChange& change) override;
  void OnConfigDesiredStateChanged(const StateCacheChangeList& changes, bool fullSync, bool first) override;

  // Kernel link observers.
  void OnVdrMessage(const uint8_t* message, int length);
  void OnLinkStatus(DataplaneLink* link, LinkStatus status);

  // Views for tests and the operator.
  bool InitialSyncDone() const;
  // Reference count of a prefix list (serialized id); 0 when unknown.
  uint32_t PrefixListReferences(const std::string& prefixListId) const;

 private:
  struct RouterState {
    std::optional<zantix::qor::tolvar::LogRouterConfigMsg> desired;
    bool installed = false;
    VdrInstance instance;
    uint32_t arpLimit = 0;
    bool arpLimitOverridden = false;
    std::optional<VdrMulticast> multicast;
    std::set<std::string> ports, fibs, multicastRoutes;  // children by id (desired)
    std::string ndraProfile;                             // the profile its ports were last reconciled with
  };
  struct PortState {
    std::optional<zantix::qor::tolvar::LogRouterPortConfigMsg> desired;
    std::string routerId;  // of the desired port
    std::optional<VdrLif> installed;
    std::string installedRouter;
    std::set<std::string> prefixLists;  // installed lists it names, held while the port is installed
    std::set<std::string> arpTables;
    std::optional<std::vector<std::pair<VdrAddress, uint8_t>>> dadSent;
    std::set<VdrAddress> dadReported;  // addresses of the kernel's last DAD report written back
    std::optional<VdrNdra> ndraSent;   // router-advertisement settings the kernel holds for the LIF
    std::string switchThroughPort;     // the switch its switch port names, when the port names none itself
  };
  struct FibState {
    std::optional<zantix::qor::tolvar::FibMsg> desired;
    std::string routerId;
    bool installed = false;
    uint32_t vdrId = 0;
    VdrPrefix prefix;
    std::vector<VdrNextHop> nextHops;  // sorted
    std::string installedRouter;
  };
  struct ArpState {
    std::optional<std::set<VdrArpEntry>> desired;
    std::string portId;  // of the desired table
    std::set<VdrArpEntry> installed;
    std::string installedPort;
    uint32_t vdrId = 0;
  };
  struct PrefixListState {
    bool installed = false;
    std::string name;
    uint32_t index = 0;
    std::vector<VdrPrefixListEntry> entries;
    std::set<std::string> holders;  // installed ports that name it, while it is installed
  };
  struct MulticastRouteState {
    std::optional<zantix::qor::tolvar::MulticastStaticRouteMsg> desired;
    std::string routerId;
    bool installed = false;
    uint32_t vdrId = 0;
    VdrPrefix group;
    std::vector<std::string> lifNames;
    std::string installedRouter;
  };

  // Reading the cache into the desired maps.
  void Refresh(uint32_t objectType, const std::string& id, const StateCacheChange* change);
  void ReadAllDesired();
  void ReadRouter(const std::string& id);
  void ReadPort(const std::string& id);
  void ReadFib(const std::string& id);
  void ReadArpTable(const std::string& id);
  void ReadMulticastRoute(const std::string& id, const StateCacheChange* change);
  // Router ports by the key (switch, switch port, prefix list) they name; a key without ports has no entry.
  using PortIndex = std::map<std::string, std::set<std::string>>;
  static void Unindex(PortIndex& index, const std::string& key, const std::string& portId);
  // The router ports attached to the switch or switch port (canonical `id`) of a configuration change.
  std::set<std::string> AttachedRouterPorts(const StateCacheChange& change, const std::string& id) const;
  bool HasAttachedRouterPorts(const StateCacheChange& change, const std::string& id) const;
  void FollowSwitchThroughPort(const std::string& portId, const std::string& switchId);

  // Reconciling one object with the kernel.
  void ReconcileRouter(const std::string& id);
  void ReconcileRouterChildren(const std::string& id);
  void UninstallRouterChildren(const std::string& id);
  void ReconcilePort(const std::string& id);
  void ReconcileFib(const std::string& id);
  void ReconcileArp(const std::string& id);
  void KeepSharedArp(const std::string& id, const std::string& portId, std::vector<VdrArpEntry>& added,
                     std::vector<VdrArpEntry>& deleted);
  void ReconcilePrefixList(const std::string& id);
  void InstallPrefixList(const zantix::qor::tolvar::PrefixListMsg& list, PrefixListState& state);
  void RefusePrefixList(const zantix::qor::tolvar::PrefixListMsg& list, PrefixListState& state);
  void UpdatePrefixListHolders(const std::string& id, PrefixListState& state);
  void ReconcileMulticastRoute(const std::string& id);
  void ReconcileDad(const std::string& portId);
  void ReconcileNdra(const std::string& portId);
  void ReconcileGlobal(bool deleted);
  void RemovePort(const std::string& id, PortState& port);
  void UpdatePrefixReferences(const std::string& portId, PortState& port);
  void ReleasePrefixLists(const std::string& portId, PortState& port);

  // Conversions; false (logged) when the object cannot be converted yet. `fullSync`: built for a full sync, whose
  // log lines are marked as the garbage-collection pass they are.
  bool BuildInstance(const zantix::qor::tolvar::LogRouterConfigMsg& router, RouterState& state, bool fullSync);
  // The router-advertisement profile a router gives its ports (serialized id); empty when none.
  static std::string NdraProfileOf(const RouterState& router);
  bool BuildLif(const std::string& id, const zantix::qor::tolvar::LogRouterPortConfigMsg& port, uint32_t vdrId,
                VdrLif* lif);
  bool BuildRoute(const std::string& id, const zantix::qor::tolvar::FibMsg& fib, VdrPrefix* prefix,
                  std::vector<VdrNextHop>* hops, bool multicast);
  void ResendRouterRoutes(const std::string& routerId, const std::string& portId, const char* ipType);
  void SendInstalledRouter(const std::string& routerId);

  // Full sync and kernel requests.
  void FullSyncL3();
  void FullSyncConfig();
  void HandleFullSyncRequest(uint32_t vdrId);
  void HandleDadReport(const router::KernelEvent& report);

  void SendBarrier();
  // Ends the batch: flushes the builder and logs the payload length.
  void EndBatch();
  void Send(uint8_t* message, size_t length);
  const RouterState* InstalledRouterByVdr(uint32_t vdrId, std::string* routerId) const;

  Collaborators _c;
  std::shared_ptr<CallTarget<L3App>> _target = std::make_shared<CallTarget<L3App>>(this);
  boost::intrusive_ptr<DataplaneLink> _link;
  VdrMessageBuilder _builder;
  bool _softRss = true;
  bool _initialSync = false;
  bool _linkWasUp = false;  // the kernel link has been up before: a link up is a reconnect
  bool _linkUp = false;
  size_t _droppedWhileDown = 0;  // messages not queued since the link went down
  bool _stopped = false;
  bool _registered = false;

  std::map<std::string, RouterState> _routers;
  std::map<std::string, PortState> _ports;
  std::map<std::string, FibState> _fibs;
  std::map<std::string, ArpState> _arpTables;
  std::map<std::string, PrefixListState> _prefixLists;
  std::map<std::string, MulticastRouteState> _multicastRoutes;
  std::optional<VdrGlobal> _global;                                  // installed
  PortIndex _portsBySwitch, _portsBySwitchPort, _portsByPrefixList;  // desired
  // Ports behind the switch their switch port names, as their LIFs were last built.
  PortIndex _portsBySwitchThroughPort;
};

}  // namespace VevUroro
