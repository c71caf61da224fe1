// VevUroro::L2AlarmReporter: raises the overlay module's tunnel-endpoint alarms through the platform monitoring
// library. Alarm messages from the datapath are held as pending alarms (the latest per kind, reason and NIC) and
// reported, in arrival order, as soon as the host's transport node UUID is known; each is one JSON text
// {"transport_node_id", "vtep_name", "vtep_state", "dpu_id", "dvs_name"} (a fault adds "vtep_fault_reason").
//
// Owned by the L2 application. Threads: any; `_mutex` guards the pending alarms and the host and DPU ids, and is
// not held while the monitoring library runs.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/monitoring/AlarmEventSource.h"

namespace VevUroro {

class L2AlarmReporter {
 public:
  struct Alarm {
    uint8_t kind = 0;    // overlay::AlarmKind
    uint8_t state = 0;   // 0 up / active / recovered, else down / standby / in progress
    uint8_t family = 0;  // 1 IPv4, 2 IPv6
    uint8_t fault = 0;   // overlay::AlarmFaultKind
    std::string tkmName;
    std::string dvsName;
  };
  // Where the reporter gets the monitoring source (tests may refuse it).
  using SourceFactory =
      std::function<std::shared_ptr<qor::monitoring::AlarmEventSource>(const std::string&, const std::string&)>;

  explicit L2AlarmReporter(SourceFactory sources = nullptr);

  // Creates the event source and registers the callback; false (logged) when either fails.
  bool Start();
  // One alarm message's payload (overlay::kAlarmLen bytes); false (logged with LCP00407) when it does not parse or
  // a fault names an unknown address family or fault kind.
  bool OnAlarmMessage(const uint8_t* payload, size_t length);
  // The host's transport node UUID (text); pending alarms are reported once it is set. Empty: the node is gone and
  // alarms wait again.
  void SetHostUuid(const std::string& uuid);
  // The SmartNIC backing information: the current active DPU ID, or a delete.
  void OnBackingInfo(bool onDpu, const std::string& activeDpuId, bool deleted);

  size_t PendingCount() const;
  // Distinct alarms (kind, reason, NIC) held while the host is unknown; beyond it the oldest is dropped (logged).
  static constexpr size_t kMaxPendingAlarms = 1024;
  static std::string AlarmJson(const Alarm& alarm, const std::string& hostUuid, const std::string& dpuId);

 private:
  void ReportPending();

  SourceFactory _sources;
  std::shared_ptr<qor::monitoring::AlarmEventSource> _source;
  mutable std::mutex _mutex;
  std::deque<Alarm> _pending;
  std::string _hostUuid;
  std::string _dpuId;
};

}  // namespace VevUroro
