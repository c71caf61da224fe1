// Captures the agent's log lines for one test: installs a line sink on construction, removes it on destruction,
// and sets the agent's level for its lifetime (debug by default). The console echo is off meanwhile.
// Lines may arrive from any thread; the storage outlives a sink call still in flight on a pool thread.
#pragma once

#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/Logger.h"

namespace qor::test {

class LogCapture {
 public:
  explicit LogCapture(int level = VevUroro::LOG_LEVEL_DEBUG)
      : _previousLevel(VevUroro::GetLogLevel()),
        _previousConsole(VevUroro::GetOutputToConsole()),
        _store(std::make_shared<Store>()) {
    VevUroro::SetLogLevel(level);
    VevUroro::SetOutputToConsole(false);
    VevUroro::logging::SetLineSink([store = _store](int, const std::string& line) {
      std::lock_guard<std::mutex> lock(store->mutex);
      store->lines.push_back(line);
    });
  }
  ~LogCapture() {
    VevUroro::logging::SetLineSink(nullptr);
    VevUroro::SetOutputToConsole(_previousConsole);
    VevUroro::SetLogLevel(_previousLevel);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> lock(_store->mutex);
    return _store->lines;
  }
  // Number of lines containing every one of the given fragments.
  size_t Count(std::initializer_list<std::string> fragments) const {
    size_t count = 0;
    for (const auto& line : Lines()) {
      bool all = true;
      for (const auto& fragment : fragments) all = all && line.find(fragment) != std::string::npos;
      if (all) ++count;
    }
    return count;
  }
  size_t Count(const std::string& fragment) const { return Count({fragment}); }
  bool Has(std::initializer_list<std::string> fragments) const { return Count(fragments) > 0; }

 private:
  struct Store {
    std::mutex mutex;
    std::vector<std::string> lines;
  };
  int _previousLevel;
  bool _previousConsole;
  std::shared_ptr<Store> _store;
};

}  // namespace qor::test
