// The virtual switch behind a KCP channel, as far as the agent can observe it.
//
// Session: a Session Open is answered with a Session Open ACK for the same session ID, then one VIF Update (FULL
// SYNC) carrying every VIF the switch holds as connected (omitted when there are none), then Session Full Sync End
// for that ID. Updates: the messages of one batch (each with the "more" flag, the last without) are collected per
// connection and applied together, in order, when the last one arrives; a connection that drops mid-batch loses its
// unfinished batch. DP Status Query is answered with a DP Status Notification (Sync, or OutOfSync when set).
//
// State kept: port properties per VIF and key, tkmnic properties per name and key, switch (VDS) properties per ID
// and key, the port, tkmnic, switch and container lists, containers, port container lists, uplinks, and the VIFs
// the switch holds (injected, or sent by the agent). UPDATE merges per key (an empty value clears the key), DELETE
// removes the listed keys or, without keys, the whole entity, FULL SYNC replaces the data type's whole table once
// per batch. A list item replaces its list once per batch and then appends. A PortList Update is the agent's list
// of the ports it configures: the properties of any port neither listed nor in the container list are dropped. A
// VIF that disconnects takes its port with it: its properties are dropped, and property updates for it that were
// already on their way are ignored until it connects again.
//
// Injected events (control commands, see Command): VIF connect with MACs and discovered bindings, disconnect (with
// the Hoplift flag), discovered bindings of a held VIF (optionally cut into fragments), DP status, port and tkmnic
// out-of-sync and Hoplift full-sync notifications. The no-disruption recorder (DisruptionRecorder.h) is checked
// after every change of the port properties.
//
// Measurement (for benchmarks): each port remembers when a batch last touched its properties (system clock,
// nanoseconds since the epoch, taken once per batch as it is applied); `stats` and `port` show it, `journal FILE`
// appends one line per applied port property ("NS VIF KEY TEXT") until `journal off`, and `export FILE` writes the
// port properties held as Port Property Update messages (at most kMaxRecordBytes of records each), back to back.
//
// Threads: the simulator's IO thread only (see ChannelModule).
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "dataplane/kcp/KcpMessage.h"
#include "tools/qor-dpsim/ChannelModule.h"
#include "tools/qor-dpsim/DisruptionRecorder.h"

namespace qor::dpsim {

class KcpSwitchModule : public ChannelModule {
 public:
  using PropertyMap = std::map<uint16_t, std::vector<uint8_t>>;

  const char* Kind() const override { return "kcp"; }
  void OnConnect(Connection& connection) override;
  void OnMessage(Connection& connection, const std::vector<uint8_t>& message) override;
  // What OnMessage does, for a connection known by its id; answers go to `reply` (in-process use: tests and
  // benchmarks feed the module the agent's messages directly).
  using Reply = std::function<void(std::vector<uint8_t>)>;
  void Receive(uint64_t connectionId, const std::vector<uint8_t>& message, const Reply& reply);
  void OnDisconnect(Connection& connection) override;
  std::string Dump() const override;
  // vif-connect, vif-disconnect, vif-bindings, dp-status, port-out-of-sync, tkmnic-out-of-sync, hoplift-sync,
  // disruption-start, disruption-report, stats, port, journal, export (arguments: see the control server's usage
  // texts).
  std::optional<std::pair<bool, std::string>> Command(const std::vector<std::string>& words,
                                                      std::vector<std::vector<uint8_t>>& messages) override;

  // Injected datapath events. Each returns the messages to send to the agent (the caller broadcasts them).
  // A VIF connects: the switch holds it and reports it with a VIF Update carrying Status CONNECT and its
  // properties (MACs, discovered bindings).
  std::vector<std::vector<uint8_t>> ConnectVif(const VevUroro::kcp::VifRecord& vif);
  // A VIF disconnects: a VIF Update with operation DELETE and the record without properties (empty when unknown).
  std::vector<std::vector<uint8_t>> DisconnectVif(const std::string& vifId, bool hoplift = false);
  // New discovered bindings of a held VIF, in one VIF Update or cut into `fragments` messages (empty when unknown).
  std::vector<std::vector<uint8_t>> VifBindings(const std::string& vifId,
                                                const std::vector<VevUroro::kcp::DiscoveredBinding>& bindings,
                                                size_t fragments);
  std::vector<uint8_t> DpStatusNotification() const;
  void SetOutOfSync(bool outOfSync) { _outOfSync = outOfSync; }
  static std::vector<uint8_t> PortOutOfSyncNotification(const std::string& vifId);
  static std::vector<uint8_t> Notification(uint16_t dataType, const std::string& id, uint16_t syncType = 0);
  DisruptionRecorder& Recorder() { return _recorder; }

  // State, for tests and the dump.
  const std::map<std::string, PropertyMap>& PortProperties() const { return _portProperties; }
  const std::map<std::string, PropertyMap>& TkmnicProperties() const { return _tkmnicProperties; }
  const std::map<std::string, PropertyMap>& SwitchProperties() const { return _vdsProperties; }
  const std::set<std::string>& SwitchList() const { return _vdsList; }
  const std::set<std::string>& ContainerList() const { return _containerList; }
  const std::set<std::string>& TkmnicList() const { return _tkmnicList; }
  const std::map<std::string, VevUroro::kcp::ContainerRecord>& Containers() const { return _containers; }
  const std::map<std::string, std::vector<std::string>>& PortContainers() const { return _portContainers; }
  const std::set<std::string>& PortList() const { return _portList; }
  uint64_t BatchesApplied() const { return _batchesApplied; }
  // Properties held over all ports (what `stats` reports).
  size_t PortPropertyCount() const { return _portPropertyCount; }
  // When a batch last touched the port's properties (ns since the epoch), 0 when never.
  int64_t PortChangedNs(const std::string& vifId) const;
  // The port properties held, as Port Property Update messages.
  std::vector<std::vector<uint8_t>> ExportPortProperties() const;
  uint32_t LastSessionId() const { return _lastSessionId; }

 private:
  void HandleSessionControl(const VevUroro::kcp::KcpMessage& message, const Reply& reply);
  void ApplyBatch(const std::vector<VevUroro::kcp::KcpMessage>& batch);
  void ApplyItem(const VevUroro::kcp::DataItem& item, std::set<uint16_t>& replaced);
  // Returns the change in the number of properties `table` holds.
  static ptrdiff_t ApplyProperties(std::map<std::string, PropertyMap>& table, const std::string& id, uint8_t operation,
                                   const std::vector<VevUroro::kcp::KcpProperty>& properties);
  // Drops the port properties of ports neither in the port list nor in the container list.
  void DropUnlistedPorts();
  std::pair<bool, std::string> ConnectCommand(const std::vector<std::string>& words,
                                              std::vector<std::vector<uint8_t>>& messages);
  std::optional<std::pair<bool, std::string>> MeasurementCommand(const std::vector<std::string>& words);
  void StampTouchedPorts();

  struct HeldVif {
    VevUroro::kcp::VifRecord record;
    bool connected = false;
  };

  std::map<uint64_t, std::vector<VevUroro::kcp::KcpMessage>> _pendingBatches;  // by connection id
  std::map<std::string, HeldVif> _vifs;
  std::set<std::string> _departed;  // VIFs that disconnected (and have not connected again)
  std::map<std::string, PropertyMap> _portProperties;
  size_t _portPropertyCount = 0;  // properties held over all ports, kept in step so `stats` need not walk the table
  std::map<std::string, PropertyMap> _tkmnicProperties;
  std::map<std::string, PropertyMap> _vdsProperties;
  std::set<std::string> _portList;
  std::set<std::string> _tkmnicList;
  std::set<std::string> _vdsList;
  std::set<std::string> _containerList;
  std::map<std::string, VevUroro::kcp::ContainerRecord> _containers;
  std::map<std::string, std::vector<std::string>> _portContainers;
  std::map<std::string, VevUroro::kcp::UplinkRecord> _uplinks;
  DisruptionRecorder _recorder;
  std::set<std::string> _touched;  // ports whose properties the batch being applied touched
  bool _allTouched = false;
  uint64_t _batchesApplied = 0;
  uint64_t _sessionsOpened = 0;
  uint32_t _lastSessionId = 0;
  bool _outOfSync = false;
  // Measurement.
  int64_t _batchNs = 0;  // when the batch being applied arrived
  int64_t _lastPortChangeNs = 0;
  std::map<std::string, int64_t> _portChangedNs;
  std::unique_ptr<std::ofstream> _journal;
};

}  // namespace qor::dpsim
