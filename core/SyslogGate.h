// VevUroro::SyslogGate: hands log lines to the system log without paying for a missing log socket on every line.
//
// While it is not connected, glibc's syslog() tries socket() + connect() + close() on every call; on a host without
// a log daemon all three fail for every line and the line is dropped. The gate asks once whether the log socket
// exists and asks again at most once per retry interval (whatever the answer was, so that a daemon that goes away
// stops costing too). While the socket is seen absent, lines are held (at most `heldBytes`, oldest dropped first)
// until the next look: if the socket has appeared by then they are written, so a line that glibc would have
// delivered to a daemon started in the meantime still reaches it; otherwise they are dropped, as glibc drops them.
// Thread-safe; the writer is called without the gate's lock held.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <utility>

namespace VevUroro {

class SyslogGate {
 public:
  using Probe = std::function<bool()>;
  using Writer = std::function<void(int priority, const std::string& line)>;
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  SyslogGate(Probe socketPresent, Writer writer, Clock clock, std::chrono::milliseconds retryInterval,
             size_t heldBytes);

  void Write(int priority, std::string line);

  // Whether `path` is a socket (the default probe, on glibc's fixed path).
  static bool SocketAt(const char* path);

 private:
  Probe _socketPresent;
  Writer _writer;
  Clock _clock;
  std::chrono::milliseconds _retryInterval;
  size_t _heldLimit;

  std::mutex _mutex;
  bool _looked = false;
  bool _present = false;
  std::chrono::steady_clock::time_point _lookedAt{};
  std::deque<std::pair<int, std::string>> _held;
  size_t _heldBytes = 0;
};

}  // namespace VevUroro
