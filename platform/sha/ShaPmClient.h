// Client of the host's health agent: a process heartbeat and periodic metric collections, written as files
// that the health agent reads.
//
//   $QOR_ROOT/var/run/zantix/sha/<daemon>/heartbeat        every heartbeat interval:
//       "pid=<pid>\nsequence=<n>\ntime=<unix seconds>.<milliseconds>\ninterval=<s>\ntimeout=<s>\nstate=running\n"
//       and once more with "state=stopped" when the heartbeat is stopped;
//   $QOR_ROOT/var/run/zantix/sha/<daemon>/<collection>     every collection interval: what the collection's
//       callback returned (a callback that returns nothing leaves the previous file in place).
// Each file is replaced whole (written aside, then renamed), so a reader never sees half a record. The first
// heartbeat and the first collection are written as soon as they are started, later ones every interval.
//
// Threads: the client runs callbacks and writes files on its own thread (between Start and Stop). The other
// calls may come from any thread. After StopMetricCollection() or UnregisterMetricCollectionAll() returns, no
// collection callback is running or will run, so the callbacks' contexts may be released (unless the call comes
// from a callback itself). One mutex guards the registrations; callbacks run without it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace qor::sha {

struct ShaPmClientOptions {
  // The length of one "second" of the intervals; tests shorten it.
  std::chrono::milliseconds timeUnit{1000};
};

class ShaPmClient {
 public:
  using Options = ShaPmClientOptions;
  // Builds one collection record; nullopt when there is nothing to report this time.
  using CollectionCallback = std::function<std::optional<std::string>(void* context)>;

  explicit ShaPmClient(std::string daemonName, Options options = {});
  ~ShaPmClient();
  ShaPmClient(const ShaPmClient&) = delete;
  ShaPmClient& operator=(const ShaPmClient&) = delete;

  // Starts the client's thread; false (logged) when the daemon name cannot be a file name. Idempotent.
  bool Start();
  // Stops the thread; the heartbeat and collections pause until Start() again. Idempotent.
  void Stop();

  // Registers collection `name` (a file name: no "/", not starting with "."), called every `intervalSeconds`
  // (at least 1) with `context`, which the caller keeps alive until it unregisters. False (logged) for a bad or
  // already registered name.
  bool RegisterCombinedMessageMetricCollection(const std::string& name, CollectionCallback callback, void* context,
                                               uint32_t intervalSeconds);
  void UnregisterMetricCollectionAll();
  void StartMetricCollection();
  void StopMetricCollection();

  // Heartbeat every `intervalSeconds` (at least 1); `timeoutSeconds` tells the health agent how long a silence
  // it should accept before it judges the process hung (at least the interval). False (logged) otherwise.
  bool StartProcessHeartbeat(uint32_t intervalSeconds, uint32_t timeoutSeconds);
  void StopProcessHeartbeat();

  // "$QOR_ROOT/var/run/zantix/sha/<daemon>".
  std::string Directory() const;
  // Heartbeat records written so far (the sequence number of the last one).
  uint64_t HeartbeatSequence() const;

 private:
  using Clock = std::chrono::steady_clock;
  struct Collection {
    CollectionCallback callback;
    void* context = nullptr;
    uint32_t intervalSeconds = 1;
    Clock::time_point nextDue;
  };

  void Loop();
  bool RunDueHeartbeat(std::unique_lock<std::mutex>& lock, Clock::time_point now);
  bool RunDueCollection(std::unique_lock<std::mutex>& lock, Clock::time_point now);
  void WaitForCallback(std::unique_lock<std::mutex>& lock);
  std::string HeartbeatRecord(const char* state);
  bool WriteFile(const std::string& name, const std::string& content);
  Clock::duration Interval(uint32_t seconds) const { return _options.timeUnit * seconds; }

  const std::string _daemon;
  const Options _options;

  mutable std::mutex _mutex;
  std::condition_variable _wake;  // the loop: something changed
  std::condition_variable _idle;  // callers waiting for a callback to end
  std::thread _thread;
  std::thread::id _threadId;
  bool _running = false;
  bool _stopping = false;

  std::map<std::string, Collection> _collections;
  bool _collecting = false;
  bool _inCallback = false;

  bool _heartbeat = false;
  uint32_t _heartbeatInterval = 5;
  uint32_t _heartbeatTimeout = 30;
  Clock::time_point _heartbeatDue;
  uint64_t _sequence = 0;
  uint64_t _lastWritten = 0;
  // Orders heartbeat writes, so that the "stopped" record is always the last one. Taken before _mutex.
  std::mutex _heartbeatWrite;
  std::atomic<uint64_t> _tempCounter{0};
};

}  // namespace qor::sha
