#include "apps/overlay/L2AlarmReporter.h"

#include <cctype>
#include <cstdio>

#include "core/Logger.h"
#include "dataplane/overlay/OverlayLayout.h"

namespace VevUroro {

namespace {

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string FixedText(const uint8_t* p, size_t length) {
  size_t n = 0;
  while (n < length && p[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

// Letters followed by digits ("vmk10").
bool ExpectedTkmName(const std::string& name) {
  size_t i = 0;
  while (i < name.size() && std::isalpha(static_cast<unsigned char>(name[i]))) ++i;
  if (i == 0 || i == name.size()) return false;
  for (; i < name.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return false;
  }
  return true;
}

const char* FamilyText(uint8_t family) {
  return family == overlay::kAlarmFamilyIPv6 ? "IPv6" : "IPv4";
}

}  // namespace

L2AlarmReporter::L2AlarmReporter(SourceFactory sources) : _sources(std::move(sources)) {
  if (!_sources) _sources = &qor::monitoring::AlarmEventSource::Create;
}

bool L2AlarmReporter::Start() {
  auto source = _sources("l2AlarmReporter", "vevUroro_l2");
  if (!source) {
    Logger(LOG_LEVEL_ERROR, "L2App: %1: Failed to create alarm event source.", "Start");
    Logger(LOG_LEVEL_ERROR, "%1: Failed to start L2 alarm.", "L2App");
    return false;
  }
  if (!source->RegisterCallback([this] { ReportPending(); })) {
    Logger(LOG_LEVEL_ERROR, "L2App: %1: Failed to L2 alarm callback.", "Start");
    Logger(LOG_LEVEL_ERROR, "%1: Failed to start L2 alarm.", "L2App");
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(_mutex);
    _source = std::move(source);
  }
  Logger(LOG_LEVEL_INFO, "L2 AlarmReporter started successfully.");
  return true;
}

namespace {

bool Refuse(const char* format, size_t value) {
  Logger(LOG_LEVEL_ERROR, format, "OnAlarmMessage", value).AddTag("errorCode:LCP00407");
  return false;
}

}  // namespace

bool L2AlarmReporter::OnAlarmMessage(const uint8_t* payload, size_t length) {
  if (length != overlay::kAlarmLen) return Refuse("L2AlarmReporter: %1: invalid alarm message length %2", length);
  Alarm alarm;
  alarm.kind = payload[0];
  alarm.state = payload[1];
  alarm.family = payload[2];
  alarm.fault = payload[3];
  alarm.tkmName = FixedText(payload + 4, overlay::kTkmNameLen);
  alarm.dvsName = FixedText(payload + 4 + overlay::kTkmNameLen, overlay::kDvsNameLen);
  if (alarm.kind < overlay::kAlarmFault || alarm.kind > overlay::kAlarmAutoRecovery) {
    return Refuse("L2AlarmReporter: %1: unknown alarm kind %2", alarm.kind);
  }
  // A fault names the address family and the reason in its text: values outside the known ones are not guessed.
  if (alarm.kind == overlay::kAlarmFault) {
    if (alarm.family != overlay::kAlarmFamilyIPv4 && alarm.family != overlay::kAlarmFamilyIPv6) {
      return Refuse("L2AlarmReporter: %1: unknown address family %2 in fault alarm", alarm.family);
    }
    if (alarm.fault != overlay::kFaultNoAddress && alarm.fault != overlay::kFaultBfdDown) {
      return Refuse("L2AlarmReporter: %1: unknown fault kind %2 in fault alarm", alarm.fault);
    }
  }
  Logger(LOG_LEVEL_INFO, "L2AlarmReporter: %1: received new Alarm message", "OnAlarmMessage");
  if (!ExpectedTkmName(alarm.tkmName)) {
    Logger(LOG_LEVEL_WARN, "L2AlarmReporter: tkmName: %1 not in expected fromat", alarm.tkmName);
  }
  {
    std::lock_guard<std::mutex> lock(_mutex);
    Logger(LOG_LEVEL_INFO, "L2AlarmReporter: %1: Save pending alarm", "OnAlarmMessage");
    // Only the latest state of an alarm matters once it is reported: a newer one replaces a pending one of the same
    // kind, reason and NIC, so the queue follows the NICs, not the number of messages.
    std::erase_if(_pending, [&alarm](const Alarm& held) {
      return held.kind == alarm.kind && held.family == alarm.family && held.fault == alarm.fault &&
             held.tkmName == alarm.tkmName && held.dvsName == alarm.dvsName;
    });
    if (_pending.size() >= kMaxPendingAlarms) {
      Logger(LOG_LEVEL_ERROR, "L2AlarmReporter: %1: %2 alarms pending, dropping the oldest for %3", "OnAlarmMessage",
             _pending.size(), _pending.front().tkmName);
      _pending.pop_front();
    }
    _pending.push_back(std::move(alarm));
  }
  ReportPending();
  return true;
}

void L2AlarmReporter::SetHostUuid(const std::string& uuid) {
  {
    std::lock_guard<std::mutex> lock(_mutex);
    _hostUuid = uuid;
  }
  ReportPending();
}

void L2AlarmReporter::OnBackingInfo(bool onDpu, const std::string& activeDpuId, bool deleted) {
  std::lock_guard<std::mutex> lock(_mutex);
  if (deleted) {
    Logger(LOG_LEVEL_INFO, "L2AlarmReporter: %1: skip SN backing delete", "OnBackingInfo");
    return;
  }
  Logger(LOG_LEVEL_INFO, "L2AlarmReporter: %1: received SN backing info", "OnBackingInfo");
  if (!onDpu) {
    Logger(LOG_LEVEL_INFO, "L2AlarmReporter: %1: skip SN backing info. Not on a DPU", "OnBackingInfo");
    return;
  }
  if (activeDpuId.empty()) {
    Logger(LOG_LEVEL_INFO, "L2AlarmReporter: %1: skip SN backing info. current active not available", "OnBackingInfo");
    return;
  }
  if (activeDpuId == _dpuId) {
    Logger(LOG_LEVEL_INFO, "L2AlarmReporter: %1: state not changed", "OnBackingInfo");
    return;
  }
  _dpuId = activeDpuId;
}

size_t L2AlarmReporter::PendingCount() const {
  std::lock_guard<std::mutex> lock(_mutex);
  return _pending.size();
}

std::string L2AlarmReporter::AlarmJson(const Alarm& alarm, const std::string& hostUuid, const std::string& dpuId) {
  std::string state;
  switch (alarm.kind) {
    case overlay::kAlarmFault:
      state = alarm.state == 0 ? "UP" : "DOWN";
      break;
    case overlay::kAlarmHaState:
      state = alarm.state == 0 ? "ACTIVE" : "STANDBY";
      break;
    default:
      state = alarm.state == 0 ? "RECOVERED" : "IN_PROGRESS";
      break;
  }
  std::string json = "{\"transport_node_id\":" + JsonString(hostUuid) + ",\"vtep_name\":" + JsonString(alarm.tkmName) +
                     ",\"vtep_state\":" + JsonString(state) + ",\"dpu_id\":" + JsonString(dpuId) +
                     ",\"dvs_name\":" + JsonString(alarm.dvsName);
  if (alarm.kind == overlay::kAlarmFault) {
    std::string reason = alarm.fault == overlay::kFaultBfdDown
                             ? std::string("all IP ") + FamilyText(alarm.family) + " BFD tunnels from TEP are down"
                             : std::string("TEP does not have an ") + FamilyText(alarm.family) + " address";
    json += ",\"vtep_fault_reason\":" + JsonString(reason);
  }
  return json + "}";
}

void L2AlarmReporter::ReportPending() {
  std::deque<Alarm> alarms;
  std::string host, dpu;
  std::shared_ptr<qor::monitoring::AlarmEventSource> source;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    if (_pending.empty() || !_source) return;
    if (_hostUuid.empty()) {
      Logger(LOG_LEVEL_WARN, "L2AlarmReporter: %1: failed to get host uuid", "ReportPending");
      return;
    }
    Logger(LOG_LEVEL_INFO, "L2AlarmReporter: %1: reporting all pending alarms", "ReportPending");
    alarms.swap(_pending);
    host = _hostUuid;
    dpu = _dpuId;
    source = _source;
  }
  for (const Alarm& alarm : alarms) {
    const bool sent = source->Raise(AlarmJson(alarm, host, dpu));
    const char* verb = sent ? "Succeeded to send" : "failed to send";
    const char* what = alarm.kind == overlay::kAlarmFault     ? "L2 TKMNIC FAULT status"
                       : alarm.kind == overlay::kAlarmHaState ? "L2 TKMNIC STATE HA status"
                                                              : "L2 TKMNIC AUTO RECOVERY state";
    Logger(sent ? LOG_LEVEL_INFO : LOG_LEVEL_ERROR,
           (std::string("L2AlarmReporter:%1: ") + verb + " " + what + " alarm for host %2.").c_str(), "ReportPending",
           host);
  }
}

}  // namespace VevUroro
