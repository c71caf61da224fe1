// The distributed-router module behind the L3 channel, as far as the agent can observe it.
//
// It reads the agent's UPDATE messages with its own reader (layout in dataplane/router/RouterLayout.md) and keeps the
// router's tables: VDR instances with their DAD and ARP-limit settings and multicast configuration, LIFs, routes
// with next hops, ARP entries, DAD status and NDRA settings per LIF, prefix lists, multicast routes, bridge endpoints,
// the global settings and the last barrier. An instance add replaces the instance's ARP limit and multicast settings
// (the agent sends them after it); a disabled multicast update clears them. Next-hop and ARP updates apply their adds
// before their deletes. Deleting an instance removes its LIFs, routes, ARP entries and multicast routes; deleting a LIF
// its ARP entries, DAD status and NDRA settings. A full sync (FULL SYNC START ... END, for one VDR or for all) removes
// at its end what it did not send again. A message that does not parse is counted and changes nothing; an entry that
// refers to an instance, LIF, route or full sync the module does not hold is refused on its own and counted.
//
// On command it sends the agent a full-sync request (INSTANCE REPORT, change 2) for one VDR or all, a DAD report, or
// a message of any type; it also runs the no-disruption recorder over its tables (DisruptionRecorder.h).
//
// Threads: the simulator's IO thread only (see ChannelModule).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "tools/qor-dpsim/ChannelModule.h"
#include "tools/qor-dpsim/DisruptionRecorder.h"

namespace qor::dpsim {

class RouterModule : public ChannelModule {
 public:
  const char* Kind() const override { return "vdr"; }
  void OnMessage(Connection& connection, const std::vector<uint8_t>& message) override;
  // Also the in-process entry for tests: false when the message does not parse (nothing is applied then).
  bool Receive(const std::vector<uint8_t>& message);
  // Every table, one line per entry, in key order; "global" and "barrier" last.
  std::string Dump() const override;
  // The tables only (no counters): equal for equal router state.
  std::string Tables() const;
  //   stats CHANNEL                          table sizes, messages applied and when the last one was (system
  //                                          clock, ns since the epoch), for measurements
  //   vdr-full-sync CHANNEL VDR|all
  //   vdr-dad-report CHANNEL VDR LIF VERSION|- STATUS [IP STATE]...
  //   vdr-reset CHANNEL                      drops every table (a module reload) and asks for everything
  //   vdr-message CHANNEL TYPE               a message of TYPE with no TLVs
  //   disruption-start CHANNEL | disruption-report CHANNEL
  std::optional<std::pair<bool, std::string>> Command(const std::vector<std::string>& words,
                                                      std::vector<std::vector<uint8_t>>& messages) override;

  static std::vector<uint8_t> FullSyncRequest(uint32_t vdrId);
  static std::vector<uint8_t> DadReport(uint32_t vdrId, const std::string& lifName, const std::string& version,
                                        uint8_t status, const std::vector<std::pair<std::string, uint8_t>>& entries);

  size_t InstanceCount() const { return _instances.size(); }
  size_t LifCount() const { return _lifs.size(); }
  size_t RouteCount() const { return _routes.size(); }
  size_t ArpCount() const;
  uint64_t Malformed() const { return _malformed; }
  uint64_t Refused() const { return _refused; }
  uint64_t Updates() const { return _updates; }
  const DisruptionRecorder& Recorder() const { return _recorder; }

 private:
  struct Instance {
    std::string text;  // name and DAD settings
    std::string arpLimit;
    std::string multicast;
    uint64_t gen = 0;
  };
  struct Lif {
    std::string text;
    uint64_t gen = 0;
  };
  struct Route {
    uint32_t adminDistance = 0;
    std::map<std::string, uint8_t> hops;  // "gateway lif" -> flags
    uint64_t gen = 0;
  };
  struct Stamped {
    std::string text;
    uint64_t gen = 0;
  };
  using LifKey = std::pair<uint32_t, std::string>;    // VDR, LIF name
  using RouteKey = std::pair<uint32_t, std::string>;  // VDR, "prefix/len"

  // One TLV: false when it does not parse. Without `commit` it only checks, so that a message changes the tables
  // only when every TLV of it parses.
  bool Apply(uint16_t type, const uint8_t* tlv, size_t length, bool commit);
  void RemoveInstance(uint32_t vdrId);
  void RemoveLif(const LifKey& key);
  void Sweep(uint32_t scope, uint64_t since);
  DisruptionRecorder::Table RecorderTable() const;

  std::map<uint32_t, Instance> _instances;
  std::map<LifKey, Lif> _lifs;
  std::map<RouteKey, Route> _routes;
  std::map<LifKey, std::map<std::string, Stamped>> _arp;  // ip -> mac
  std::map<LifKey, Stamped> _dad;
  std::map<LifKey, Stamped> _ndra;           // router-advertisement settings
  std::map<uint32_t, Stamped> _prefixLists;  // by index
  std::map<RouteKey, Stamped> _multicastRoutes;
  std::map<uint32_t, Stamped> _bridgeEndpoints;
  std::optional<std::string> _global;
  std::optional<uint64_t> _barrier;
  uint64_t _gen = 0;
  std::map<uint32_t, uint64_t> _syncs;  // full syncs in progress: scope -> generation at their start
  uint64_t _malformed = 0;
  uint64_t _refused = 0;
  uint64_t _updates = 0;
  int64_t _appliedNs = 0;  // when the last message was applied
  uint64_t _fullSyncs = 0;
  DisruptionRecorder _recorder;
};

}  // namespace qor::dpsim
