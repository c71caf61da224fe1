#include "platform/monitoring/AlarmEventSource.h"

#include "core/Logger.h"

namespace qor::monitoring {

AlarmLog& AlarmLog::Instance() {
  static AlarmLog log;
  return log;
}

void AlarmLog::Add(RaisedAlarm alarm) {
  std::lock_guard<std::mutex> lock(_mutex);
  if (_alarms.size() >= kMaxKept) _alarms.erase(_alarms.begin());
  _alarms.push_back(std::move(alarm));
}

std::vector<RaisedAlarm> AlarmLog::Snapshot() const {
  std::lock_guard<std::mutex> lock(_mutex);
  return _alarms;
}

void AlarmLog::Clear() {
  std::lock_guard<std::mutex> lock(_mutex);
  _alarms.clear();
}

std::shared_ptr<AlarmEventSource> AlarmEventSource::Create(const std::string& source, const std::string& component) {
  if (source.empty() || component.empty()) return nullptr;
  return std::make_shared<AlarmEventSource>(source, component);
}

AlarmEventSource::AlarmEventSource(std::string source, std::string component)
    : _source(std::move(source)), _component(std::move(component)) {}

bool AlarmEventSource::RegisterCallback(SampleCallback callback) {
  if (!callback) return false;
  std::lock_guard<std::mutex> lock(_mutex);
  _callback = std::move(callback);
  return true;
}

bool AlarmEventSource::NotifySampleChange() {
  SampleCallback callback;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    callback = _callback;
  }
  if (!callback) return false;
  callback();
  return true;
}

bool AlarmEventSource::Raise(const std::string& json) {
  if (json.empty()) return false;
  VevUroro::Logger(VevUroro::LOG_LEVEL_INFO, "Monitoring: alarm from %1/%2: %3", _source, _component, json);
  AlarmLog::Instance().Add({_source, _component, json});
  return true;
}

}  // namespace qor::monitoring
