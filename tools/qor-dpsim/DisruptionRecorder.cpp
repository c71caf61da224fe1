#include "tools/qor-dpsim/DisruptionRecorder.h"

#include <time.h>

#include <sstream>

namespace qor::dpsim {

namespace {
int64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}
}  // namespace

void DisruptionRecorder::Start(const Table& table) {
  _running = true;
  _started = MonotonicNs();
  _reference = table;
  _intervals.clear();
  _open.clear();
}

void DisruptionRecorder::CheckPort(const std::string& port, const PropertyMap* now, int64_t time) {
  auto reference = _reference.find(port);
  if (reference == _reference.end()) return;
  for (const auto& [key, value] : reference->second) {
    const std::vector<uint8_t>* held = nullptr;
    if (now) {
      auto it = now->find(key);
      if (it != now->end()) held = &it->second;
    }
    const bool same = held && *held == value;
    auto open = _open.find({port, key});
    if (same && open != _open.end()) {
      _intervals[open->second].end = time;
      _open.erase(open);
    } else if (!same && open == _open.end()) {
      _open[{port, key}] = _intervals.size();
      _intervals.push_back(Interval{port, key, held == nullptr, time, -1});
    }
  }
}

void DisruptionRecorder::Check(const Table& table, const std::set<std::string>* touched) {
  if (!_running) return;
  const int64_t time = MonotonicNs() - _started;
  auto check = [&](const std::string& port) {
    auto it = table.find(port);
    CheckPort(port, it == table.end() ? nullptr : &it->second, time);
  };
  if (touched) {
    for (const std::string& port : *touched) check(port);
  } else {
    for (const auto& [port, properties] : _reference) check(port);
  }
}

std::string DisruptionRecorder::Report() const {
  std::ostringstream out;
  out << "recording " << (_running ? "on" : "off") << ", reference ports " << _reference.size() << ", intervals "
      << _intervals.size() << "\n";
  for (const Interval& interval : _intervals) {
    out << interval.port << " " << interval.key << " " << (interval.absent ? "absent" : "different") << " "
        << interval.start << " ";
    if (interval.end < 0) {
      out << "open";
    } else {
      out << interval.end;
    }
    out << "\n";
  }
  return out.str();
}

}  // namespace qor::dpsim
