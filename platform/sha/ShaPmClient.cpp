#include "platform/sha/ShaPmClient.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/PlatformLog.h"
#include "platform/QorRoot.h"

namespace qor::sha {

using VevUroro::LOG_LEVEL_DEBUG;
using VevUroro::LOG_LEVEL_ERROR;
using VevUroro::LOG_LEVEL_INFO;
using VevUroro::LOG_LEVEL_WARN;

namespace {

// Names become file names in the daemon's directory; temporary files start with a dot.
bool IsFileName(const std::string& name) {
  return !name.empty() && name.size() <= 200 && name.front() != '.' && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

}  // namespace

ShaPmClient::ShaPmClient(std::string daemonName, Options options)
    : _daemon(std::move(daemonName)), _options(options.timeUnit.count() > 0 ? options : Options{}) {}

ShaPmClient::~ShaPmClient() {
  Stop();
}

std::string ShaPmClient::Directory() const {
  return QorPath("/var/run/zantix/sha/" + _daemon);
}

bool ShaPmClient::Start() {
  std::lock_guard<std::mutex> lock(_mutex);
  if (_running) return true;
  if (!IsFileName(_daemon)) {
    QOR_LIB_LOG(library_log_level, LOG_LEVEL_ERROR, "ShaPmClient: invalid daemon name \"%1\"", _daemon);
    return false;
  }
  _stopping = false;
  // Running only once the thread exists: a failed creation leaves a client that Stop and the destructor skip.
  _thread = std::thread([this] {
    pthread_setname_np(pthread_self(), "qor-sha");
    Loop();
  });
  _running = true;
  _threadId = _thread.get_id();
  QOR_LIB_LOG(library_log_level, LOG_LEVEL_INFO, "ShaPmClient: started for %1", _daemon);
  return true;
}

void ShaPmClient::Stop() {
  {
    std::lock_guard<std::mutex> lock(_mutex);
    if (!_running) return;
    _stopping = true;
  }
  _wake.notify_all();
  _thread.join();
  std::lock_guard<std::mutex> lock(_mutex);
  _running = false;
  _threadId = {};
  QOR_LIB_LOG(library_log_level, LOG_LEVEL_INFO, "ShaPmClient: stopped for %1", _daemon);
}

bool ShaPmClient::RegisterCombinedMessageMetricCollection(const std::string& name, CollectionCallback callback,
                                                          void* context, uint32_t intervalSeconds) {
  if (!IsFileName(name) || name == "heartbeat" || !callback) {
    QOR_LIB_LOG(library_log_level, LOG_LEVEL_ERROR, "ShaPmClient: invalid metric collection \"%1\"", name);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(_mutex);
    Collection collection{std::move(callback), context, std::max<uint32_t>(intervalSeconds, 1), Clock::now()};
    if (!_collections.emplace(name, std::move(collection)).second) {
      QOR_LIB_LOG(library_log_level, LOG_LEVEL_ERROR, "ShaPmClient: metric collection \"%1\" already registered", name);
      return false;
    }
  }
  _wake.notify_all();
  QOR_LIB_LOG(library_log_level, LOG_LEVEL_DEBUG, "ShaPmClient: registered metric collection %1 every %2 s", name,
              intervalSeconds);
  return true;
}

void ShaPmClient::UnregisterMetricCollectionAll() {
  std::unique_lock<std::mutex> lock(_mutex);
  _collections.clear();
  WaitForCallback(lock);
}

void ShaPmClient::StartMetricCollection() {
  {
    std::lock_guard<std::mutex> lock(_mutex);
    _collecting = true;
    for (auto& [name, collection] : _collections) collection.nextDue = Clock::now();
  }
  _wake.notify_all();
}

void ShaPmClient::StopMetricCollection() {
  std::unique_lock<std::mutex> lock(_mutex);
  _collecting = false;
  WaitForCallback(lock);
}

bool ShaPmClient::StartProcessHeartbeat(uint32_t intervalSeconds, uint32_t timeoutSeconds) {
  if (intervalSeconds == 0 || timeoutSeconds < intervalSeconds) {
    QOR_LIB_LOG(library_log_level, LOG_LEVEL_ERROR, "ShaPmClient: invalid heartbeat interval %1 s, timeout %2 s",
                intervalSeconds, timeoutSeconds);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(_mutex);
    _heartbeat = true;
    _heartbeatInterval = intervalSeconds;
    _heartbeatTimeout = timeoutSeconds;
    _heartbeatDue = Clock::now();
  }
  _wake.notify_all();
  return true;
}

void ShaPmClient::StopProcessHeartbeat() {
  std::lock_guard<std::mutex> write(_heartbeatWrite);
  std::string record;
  uint64_t sequence;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    if (!_heartbeat) return;
    _heartbeat = false;
    record = HeartbeatRecord("stopped");
    sequence = _sequence;
  }
  if (WriteFile("heartbeat", record)) {
    std::lock_guard<std::mutex> lock(_mutex);
    _lastWritten = sequence;
  }
}

uint64_t ShaPmClient::HeartbeatSequence() const {
  std::lock_guard<std::mutex> lock(_mutex);
  return _lastWritten;
}

void ShaPmClient::Loop() {
  std::unique_lock<std::mutex> lock(_mutex);
  while (!_stopping) {
    Clock::time_point now = Clock::now();
    if (RunDueHeartbeat(lock, now) || RunDueCollection(lock, now)) continue;
    std::optional<Clock::time_point> next;
    if (_heartbeat) next = _heartbeatDue;
    if (_collecting) {
      for (const auto& [name, collection] : _collections) {
        if (!next || collection.nextDue < *next) next = collection.nextDue;
      }
    }
    if (next) {
      _wake.wait_until(lock, *next);
    } else {
      _wake.wait(lock);
    }
  }
}

bool ShaPmClient::RunDueHeartbeat(std::unique_lock<std::mutex>& lock, Clock::time_point now) {
  if (!_heartbeat || _heartbeatDue > now) return false;
  lock.unlock();
  {
    std::lock_guard<std::mutex> write(_heartbeatWrite);
    std::string record;
    uint64_t sequence = 0;
    {
      std::lock_guard<std::mutex> relock(_mutex);
      // StopProcessHeartbeat may have come in between: its "stopped" record stays the last one.
      if (_heartbeat && !_stopping) {
        _heartbeatDue = Clock::now() + Interval(_heartbeatInterval);
        record = HeartbeatRecord("running");
        sequence = _sequence;
      }
    }
    if (!record.empty() && WriteFile("heartbeat", record)) {
      std::lock_guard<std::mutex> relock(_mutex);
      _lastWritten = sequence;
    }
  }
  lock.lock();
  return true;
}

bool ShaPmClient::RunDueCollection(std::unique_lock<std::mutex>& lock, Clock::time_point now) {
  if (!_collecting) return false;
  for (auto& [name, collection] : _collections) {
    if (collection.nextDue > now) continue;
    collection.nextDue = now + Interval(collection.intervalSeconds);
    CollectionCallback callback = collection.callback;
    void* context = collection.context;
    std::string file = name;
    _inCallback = true;
    lock.unlock();
    std::optional<std::string> content;
    try {
      content = callback(context);
    } catch (const std::exception& e) {
      QOR_LIB_LOG(library_log_level, LOG_LEVEL_ERROR, "ShaPmClient: metric collection %1 failed: %2", file, e.what());
    }
    if (content) WriteFile(file, *content);
    lock.lock();
    _inCallback = false;
    _idle.notify_all();
    return true;  // the map may have changed meanwhile: start over
  }
  return false;
}

void ShaPmClient::WaitForCallback(std::unique_lock<std::mutex>& lock) {
  if (std::this_thread::get_id() == _threadId) return;  // a callback unregistering itself
  _idle.wait(lock, [this] { return !_inCallback; });
}

std::string ShaPmClient::HeartbeatRecord(const char* state) {
  auto now = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
                 .count();
  char millis[8];
  std::snprintf(millis, sizeof millis, "%03lld", static_cast<long long>(now % 1000));
  return "pid=" + std::to_string(getpid()) + "\nsequence=" + std::to_string(++_sequence) +
         "\ntime=" + std::to_string(now / 1000) + "." + millis + "\ninterval=" + std::to_string(_heartbeatInterval) +
         "\ntimeout=" + std::to_string(_heartbeatTimeout) + "\nstate=" + state + "\n";
}

bool ShaPmClient::WriteFile(const std::string& name, const std::string& content) {
  namespace fs = std::filesystem;
  std::string directory = Directory();
  std::error_code ec;
  fs::create_directories(directory, ec);
  if (ec) {
    QOR_LIB_LOG(library_log_level, LOG_LEVEL_WARN, "ShaPmClient: cannot create %1: %2", directory, ec.message());
    return false;
  }
  std::string target = directory + "/" + name;
  std::string temporary =
      directory + "/." + name + ".tmp." + std::to_string(getpid()) + "." + std::to_string(++_tempCounter);
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    if (!out) {
      QOR_LIB_LOG(library_log_level, LOG_LEVEL_WARN, "ShaPmClient: cannot write %1", temporary);
      fs::remove(temporary, ec);
      return false;
    }
  }
  if (std::rename(temporary.c_str(), target.c_str()) != 0) {
    QOR_LIB_LOG(library_log_level, LOG_LEVEL_WARN, "ShaPmClient: cannot replace %1: %2", target,
                std::error_code(errno, std::generic_category()).message());
    fs::remove(temporary, ec);
    return false;
  }
  return true;
}

}  // namespace qor::sha
