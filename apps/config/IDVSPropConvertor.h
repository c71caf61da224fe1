// VevUroro::IDVSPropConvertor: the property converter as the configuration application and IP discovery use it.
//
// The converter turns the desired state of logical switches, logical switch ports, host switches, mirror sessions
// and bridge clusters into datapath properties and sends them through the KCP builder; it keeps the list of
// connected ports and decides when a port is blocked. Its caller, the configuration application:
//   - feeds it the configuration table's changes of object types 1, 2, 5, 6 and 22 (ProcessConfigChanges, once per
//     table notification: it converts the batch and runs the post-batch block/unblock step);
//   - hands it the dispatcher's TRANSPORT_NODE_CONFIG, CONFIG_SPAN, HOST_SWITCH_SMARTNIC_BACKING, CCP_SESSION and
//     GLOBAL_CONFIG lists;
//   - tells it the datapath's VIF connections and disconnections, out-of-sync and Hoplift notifications and
//     uplinks, and drives the session's full sync (Reset, SendFullSync, UplinkFullSync, EndOfFullSync).
// The KCP builder owns the datapath link reference; the configuration application owns the link itself.
//
// Threads: every operation may be called from any thread and takes the agent lock (recursive) for its duration,
// except that Start applies the kernel settings (device requests with a bounded wait) before taking it; the
// converter's timers and the profile service's callbacks take it too. Held by qor::RefPtr.
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "cache/StateCacheRecord.h"
#include "core/TolvarUpdateMsg.h"
#include "dataplane/kcp/KcpFormat.h"
#include "dataplane/kcp/KcpMessage.h"
#include "platform/RefCounted.h"

namespace VevUroro {

// One VIF as the datapath reported it (VIF record of a VIF Update).
struct VifInfo {
  std::string vifId;
  std::string portId;
  std::string switchId;
  std::string parentVifId;
  uint8_t vifType = 0;  // 1 VNIC, 2 tkmnic, 3 container, 4 CRXPort, 5 SRIOV, 6 DVPGPort
};

// One uplink reported by the datapath; `remove` for an Uplink Update with operation DELETE.
struct UplinkInfo {
  kcp::UplinkRecord uplink;
  bool remove = false;
};

// What IP discovery may ask about a connected port.
struct ConnectedPort {
  std::string portId;
  std::string switchId;
  uint8_t vifType = 0;
  bool IsContainer() const { return vifType == 3; }
};

class IDVSPropConvertor : public qor::IRefCountable {
 public:
  // Applies the flow-cache and netqueue settings to the kernel, registers the profile callbacks and arms the
  // resync timer. Stop undoes the last two and drops the collaborators.
  virtual void Start() = 0;
  virtual void Stop() = 0;

  // Configuration table changes (one notification), then the post-batch step for the ports whose admin state and
  // the switches whose VNI, VLAN, trunk or admin state the batch changed.
  virtual void ProcessConfigChanges(const StateCacheChangeList& changes) = 0;
  // The same for a list nobody reads after: the value of each change is released once converted, where no
  // handler reads it later (a host's worth of values is not held until the whole batch is emitted).
  virtual void TakeConfigChanges(StateCacheChangeList& changes) = 0;
  // One property change (`operation` is the entry operation: 1 set, 2 clear) or whole-object change, handled as a
  // batch of one (its post-batch step included).
  virtual void ProcessConfigPropertyUpdate(uint32_t objectType, const std::string& objectId, const std::string& value,
                                           int32_t operation, uint32_t propertyType) = 0;
  virtual void ProcessConfigEntityUpdate(uint32_t objectType, const std::string& objectId, int32_t operation) = 0;
  // The block/unblock rule for `lspIds` (connected ports) and the ports of `switchIds`; sends what changed.
  virtual void ProcessPostBatch(const std::vector<std::string>& lspIds, const std::vector<std::string>& switchIds) = 0;

  // Dispatcher lists (every handler is called on a full sync, with possibly empty lists).
  virtual void HandleTransportNodeConfig(const std::list<TolvarUpdateMsg>& entries, bool fullSync) = 0;
  virtual void HandleConfigSpan(const std::list<TolvarUpdateMsg>& entries, bool fullSync) = 0;
  virtual void HandleSmartnicBacking(const std::list<TolvarUpdateMsg>& entries, bool fullSync) = 0;
  virtual void HandleCcpSession(const std::list<TolvarUpdateMsg>& entries, bool fullSync) = 0;
  virtual void HandleGlobalConfig(const std::list<TolvarUpdateMsg>& entries, bool fullSync) = 0;

  // Datapath session: forget the connected ports before a new session; the port-list, switch-list and switch
  // property full syncs (linkUp true) or the link-down notice (false); the uplinks of the session's full sync; the
  // end of the datapath's full sync. From Reset to EndOfFullSync the port list waits: it is built from the connected
  // ports, which are known only once the datapath's VIF report has been processed, and a partial list would make the
  // datapath drop the other ports' properties. EndOfFullSync sends it.
  virtual void Reset() = 0;
  virtual void SendFullSync(bool linkUp) = 0;
  virtual void UplinkFullSync(const std::vector<UplinkInfo>& uplinks) = 0;
  virtual void EndOfFullSync() = 0;

  // Datapath VIF events: `operation` 2 (DELETE) disconnects, anything else connects.
  virtual void ProcessVifInfoUpdate(const VifInfo& info, uint8_t operation, bool dpFullSyncDone) = 0;
  virtual void HandleVifConnection(const VifInfo& info) = 0;
  virtual void HandleVifDisconnection(const std::string& portId) = 0;
  // Out-of-sync notification: data type 2 (port, `id` a VIF ID) or 3 (tkmnic, `id` its name).
  virtual void OnResyncProperty(uint16_t notificationType, const std::string& id) = 0;
  // Hoplift fullSync notification: sync type 1 properties, 2 container list, 3 both.
  virtual void AddHopliftPortSync(const std::string& vifId, uint16_t syncType) = 0;
  // Builds and sends the block/unblock property of one port.
  virtual bool SendPortUnblockUpdate(const std::string& portId) = 0;
  virtual void OnDaemonHealthStateUpdate(uint32_t state, uint32_t daemonId) = 0;

  virtual void AddOffloadedHostSwitch(const std::string& hostSwitchId) = 0;
  virtual void RemoveOffloadedHostSwitch(const std::string& hostSwitchId) = 0;

  // The connected port of a VIF; false when the VIF is not connected.
  virtual bool FindConnectedPort(const std::string& vifId, ConnectedPort* port) = 0;
};

}  // namespace VevUroro
