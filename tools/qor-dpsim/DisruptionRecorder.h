// The virtual switch's no-disruption recorder: once started, it holds the port properties the switch held at that
// moment as the reference and records, per port and key, every interval in which the switch held a value absent
// from or different to the reference. Tests start it while the desired state is realized, disturb the agent
// (restart, link flap), and expect no interval for ports whose desired state did not change.
//
// The switch calls Check with the ports a batch touched (or all of them when a table was replaced); time is
// CLOCK_MONOTONIC nanoseconds. Simulator IO thread only.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace qor::dpsim {

class DisruptionRecorder {
 public:
  using PropertyMap = std::map<uint16_t, std::vector<uint8_t>>;
  using Table = std::map<std::string, PropertyMap>;

  struct Interval {
    std::string port;
    uint16_t key = 0;
    bool absent = false;  // absent, else a different value
    int64_t start = 0;
    int64_t end = -1;  // -1 while still open
  };

  // Takes `table` as the reference and starts recording (a running recording starts over).
  void Start(const Table& table);
  bool Running() const { return _running; }
  // Compares the ports of `touched` (all reference ports when null) with the reference.
  void Check(const Table& table, const std::set<std::string>* touched);
  // "reference ports N, intervals M" and one line per interval: "PORT KEY absent|different START END|open" with
  // times in nanoseconds since the recording started.
  std::string Report() const;
  const std::vector<Interval>& Intervals() const { return _intervals; }

 private:
  void CheckPort(const std::string& port, const PropertyMap* now, int64_t time);

  bool _running = false;
  int64_t _started = 0;
  Table _reference;
  std::vector<Interval> _intervals;
  std::map<std::pair<std::string, uint16_t>, size_t> _open;  // (port, key) -> index of its open interval
};

}  // namespace qor::dpsim
