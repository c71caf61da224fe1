// qor::monitoring: the platform monitoring library's alarm event sources, as small as the agent needs them.
//
// An application creates one event source (identified by a source name and a component name), registers a
// sample-change callback, and raises alarms as JSON texts. Every raised alarm is logged for the operator
// ("Monitoring: alarm from SOURCE/COMPONENT: JSON") and kept, in order, in the process-wide AlarmLog (the last
// kMaxKept alarms), where tests and the operator read them back.
//
// Threads: any; the log and each source guard themselves. Sources are shared by std::shared_ptr; the callback runs
// on the thread that calls NotifySampleChange, with no lock of the library held.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qor::monitoring {

struct RaisedAlarm {
  std::string source;
  std::string component;
  std::string json;
};

class AlarmLog {
 public:
  static constexpr size_t kMaxKept = 1024;
  static AlarmLog& Instance();
  void Add(RaisedAlarm alarm);
  std::vector<RaisedAlarm> Snapshot() const;
  void Clear();

 private:
  mutable std::mutex _mutex;
  std::vector<RaisedAlarm> _alarms;
};

class AlarmEventSource {
 public:
  using SampleCallback = std::function<void()>;

  // Null when either name is empty (the library refuses such a source).
  static std::shared_ptr<AlarmEventSource> Create(const std::string& source, const std::string& component);
  AlarmEventSource(std::string source, std::string component);

  // False when `callback` is empty.
  bool RegisterCallback(SampleCallback callback);
  // Asks the owner to report its samples now: runs the registered callback; false when there is none.
  bool NotifySampleChange();
  // Raises one alarm; false when `json` is empty.
  bool Raise(const std::string& json);

  const std::string& Source() const { return _source; }
  const std::string& ComponentName() const { return _component; }

 private:
  std::string _source;
  std::string _component;
  std::mutex _mutex;
  SampleCallback _callback;
};

}  // namespace qor::monitoring
