#include "core/SyslogGate.h"

#include <sys/stat.h>

#include <optional>

namespace VevUroro {

SyslogGate::SyslogGate(Probe socketPresent, Writer writer, Clock clock, std::chrono::milliseconds retryInterval,
                       size_t heldBytes)
    : _socketPresent(std::move(socketPresent)),
      _writer(std::move(writer)),
      _clock(std::move(clock)),
      _retryInterval(retryInterval),
      _heldLimit(heldBytes) {}

bool SyslogGate::SocketAt(const char* path) {
  struct stat info {};
  return stat(path, &info) == 0 && S_ISSOCK(info.st_mode);
}

void SyslogGate::Write(int priority, std::string line) {
  std::optional<std::deque<std::pair<int, std::string>>> release;  // an empty deque allocates: made when needed
  {
    std::lock_guard<std::mutex> lock(_mutex);
    auto now = _clock();
    if (!_looked || now - _lookedAt >= _retryInterval) {
      _looked = true;
      _lookedAt = now;
      _present = _socketPresent();
      if (_present) {
        release.emplace().swap(_held);
      } else {
        _held.clear();
      }
      _heldBytes = 0;
    }
    if (!_present) {
      _heldBytes += line.size();
      _held.emplace_back(priority, std::move(line));
      while (_heldBytes > _heldLimit && !_held.empty()) {
        _heldBytes -= _held.front().second.size();
        _held.pop_front();
      }
      return;
    }
  }
  if (release) {
    for (const auto& [heldPriority, heldLine] : *release) _writer(heldPriority, heldLine);
  }
  _writer(priority, line);
}

}  // namespace VevUroro
