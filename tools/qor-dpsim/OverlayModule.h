// The overlay switching module behind the L2 channel, as far as the agent can observe it.
//
// It reads the agent's messages with its own reader (layouts in dataplane/overlay/OverlayLayout.h and
// OverlayLayout.md) and keeps the module's tables: the VNIs it has joined (with their switch IDs), per VNI the
// VTEPs, VM MACs, ARP and ND entries and the MAC limit, routing domains and their VTEPs, VTEP groups, BFD sessions,
// the BFD configuration per host switch and of EVPN, the replication mode and the controller address; and what it
// reports as learned locally (local VTEPs and MACs per VNI, routing-domain VTEPs).
//
// Session: Session Open is acknowledged, then the module reports every joined VNI, its local tables and Full Sync
// End. The desired entries it held before the Open stay in place until the agent's sync end, when those the agent
// did not send again are dropped (so a restart or a link flap changes nothing that did not change).
//
// Leaving a VNI drops its tables, its local tables and its BFD sessions. Injected events are control commands (see
// Command). Messages that do not parse are counted and kept out of the
// state. Threads: the simulator's IO thread only (see ChannelModule).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tools/qor-dpsim/ChannelModule.h"
#include "tools/qor-dpsim/DisruptionRecorder.h"

namespace qor::dpsim {

class OverlayModule : public ChannelModule {
 public:
  using Bytes = std::vector<uint8_t>;
  // One desired entry and the session generation that last wrote it.
  struct Entry {
    Bytes record;
    uint64_t generation = 0;
  };
  using Table = std::map<Bytes, Entry>;  // by the entry's identity
  struct VniTables {
    Table vteps, macs, arp, nd;
    std::optional<uint32_t> macLimit;
  };
  struct LocalTables {
    std::map<Bytes, Bytes> vteps, macs;  // identity -> record
  };

  const char* Kind() const override { return "overlay"; }
  void OnMessage(Connection& connection, const std::vector<uint8_t>& message) override;
  // The in-process entry for tests: the replies go to `replies`. False when the message does not parse.
  bool Receive(const Bytes& message, std::vector<Bytes>& replies);
  std::string Dump() const override;
  // stats CHANNEL                            table sizes, messages applied and when the last one was (system
  //                                          clock, ns since the epoch), for measurements
  // l2-join CHANNEL VNI SWITCH_ID            the module joins a VNI
  // l2-leave CHANNEL VNI                     the module leaves a VNI
  // l2-local-vtep CHANNEL VNI IP LABEL add|del     a local VTEP of a VNI
  // l2-local-mac CHANNEL VNI MAC VTEP_IP add|del   a local VM MAC of a VNI
  // l2-rd-vtep CHANNEL SWITCH_ID RD_UUID IP LABEL add|del   a local routing-domain VTEP
  // l2-query CHANNEL mac|arp|nd VNI ADDRESS  asks the agent; the answer shows in the dump
  // l2-out-of-sync CHANNEL                   reports out of sync
  // l2-instance CHANNEL add|remove ID        an overlay instance change
  // l2-alarm CHANNEL fault|ha|recovery STATE FAMILY FAULT TKM_NAME DVS_NAME   a tunnel-endpoint alarm
  // l2-send-session CHANNEL SESSION          (tests) the session ID the module writes from now on
  // l2-record-start CHANNEL / l2-record-report CHANNEL   the no-disruption recorder over the desired tables
  std::optional<std::pair<bool, std::string>> Command(const std::vector<std::string>& words,
                                                      std::vector<Bytes>& messages) override;

  // Views for tests.
  const std::map<uint32_t, uint32_t>& Joined() const { return _joined; }
  const std::set<uint32_t>& Instances() const { return _instances; }
  const std::map<uint32_t, VniTables>& Tables() const { return _tables; }
  const Table& BfdSessions() const { return _bfdSessions; }
  const std::map<Bytes, Bytes>& BfdConfigs() const { return _bfdConfigs; }
  const std::map<Bytes, Entry>& RoutingDomainVteps() const { return _rdVteps; }
  const std::map<uint64_t, Entry>& VtepGroups() const { return _groups; }
  std::optional<uint32_t> ReplicationMode() const { return _replicationMode; }
  const Bytes& ControllerAddress() const { return _controller; }
  const std::vector<std::string>& Answers() const { return _answers; }
  uint32_t Session() const { return _session; }
  uint64_t Malformed() const { return _malformed; }
  // Table updates addressed to a VNI the module is not joined to (dropped).
  uint64_t NotJoined() const { return _notJoined; }
  bool SyncEnded() const { return _syncEnded; }
  // Every desired entry as recorder rows: "vni:N:vtep:HEX" -> record.
  DisruptionRecorder::Table Snapshot() const;
  std::string Stats() const;

  // Messages the module sends.
  Bytes SessionMessage(uint16_t type) const;
  Bytes VniMessage(uint32_t switchId, uint32_t vni, bool join) const;
  Bytes LocalUpdate(uint16_t type, uint32_t switchId, uint32_t vni, const std::vector<Bytes>& added,
                    const std::vector<Bytes>& removed) const;

 private:
  bool Apply(const uint8_t* message, size_t length, std::vector<Bytes>& replies);
  bool ApplyUpdate(uint16_t type, const uint8_t* p, size_t length);
  bool ApplyConfigure(uint16_t type, const uint8_t* p, size_t length);
  bool ApplyTable(Table& table, const uint8_t* records, size_t adds, size_t removes, size_t recordLen,
                  size_t identityLen);
  void Sweep();
  void Replay(std::vector<Bytes>& replies) const;
  void CheckRecorder();

  uint32_t _session = 0;
  std::optional<uint32_t> _sessionOverride;
  uint64_t _generation = 0;
  bool _syncEnded = false;
  uint32_t _version = 0;
  std::set<uint32_t> _instances;         // overlay instances, reported again in each session
  std::map<uint32_t, uint32_t> _joined;  // VNI -> switch ID
  std::map<uint32_t, VniTables> _tables;
  std::map<uint32_t, LocalTables> _local;
  std::map<Bytes, std::pair<uint32_t, LocalTables>> _localRd;  // routing domain -> (switch ID, VTEPs)
  std::map<Bytes, Entry> _routingDomains;                      // routing domain -> switch ID bytes
  std::map<Bytes, Entry> _rdVteps;                             // routing domain + identity -> record
  std::map<uint64_t, Entry> _groups;
  Table _bfdSessions;
  std::map<Bytes, Bytes> _bfdConfigs;  // host switch UUID -> configuration
  Bytes _evpnBfd;
  std::optional<uint32_t> _replicationMode;
  Bytes _controller;
  std::vector<std::string> _answers;
  uint64_t _malformed = 0;
  uint64_t _notJoined = 0;
  uint64_t _applied = 0;   // messages read whole from the agent
  int64_t _appliedNs = 0;  // when the last of them was applied
  DisruptionRecorder _recorder;
};

}  // namespace qor::dpsim
