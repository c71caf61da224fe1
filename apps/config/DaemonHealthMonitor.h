// VevUroro::DaemonHealthMonitor: judges whether the database connection is alive and reports each change to the
// property converter, which folds it into the controller session state it reports to the datapath.
//
// Every tick (the first 1 second after Start, then every 5 seconds) it moves its last sign of life forward to the
// database client's last activity, and asks for an echo unless one is outstanding. The database counts as alive
// while the last sign of life (activity, or an answered echo) is at most 60 seconds old and an echo could be sent
// or is outstanding; otherwise it is disconnected. Each transition is reported once: (0, daemon 1) for
// "disconnected", (1, daemon 1) for "connected"; Start reports (1, daemon 2) once.
//
// The timer counts seconds (AsyncTimer<DaemonHealthMonitor> on IO context A). Tests replace it with `schedule`
// and call Tick themselves, with their own clock.
//
// Threads: ticks on IO context A, echo completions on the database client's callback thread, Start and Stop on the
// configuration application's thread; all take the monitor's own recursive mutex, and reports are made with it
// held (the converter takes the agent lock inside, in that order). Held by qor::RefPtr; the timer and an echo in
// flight hold references too.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "apps/config/ConfigDatabase.h"
#include "core/AsyncTimer.h"
#include "platform/RefCounted.h"

namespace VevUroro {

class DaemonHealthMonitor : public qor::RefCounted<DaemonHealthMonitor, qor::IRefCountable> {
 public:
  static constexpr uint32_t kDatabaseDaemon = 1;
  static constexpr uint32_t kStartDaemon = 2;
  static constexpr uint64_t kFirstTickSeconds = 1;
  static constexpr uint64_t kTickSeconds = 5;
  static constexpr int64_t kAliveWindowNs = 60000000000LL;

  // (state, daemon id) to the converter.
  using Report = std::function<void(uint32_t state, uint32_t daemonId)>;

  struct Collaborators {
    std::shared_ptr<IConfigDatabase> database;       // echo and last activity; required
    Report report;                                   // required
    std::function<int64_t()> nowNs;                  // empty: the system clock (nanoseconds since the epoch)
    std::function<void(uint64_t seconds)> schedule;  // empty: an AsyncTimer on IO context A
  };

  explicit DaemonHealthMonitor(Collaborators collaborators);
  ~DaemonHealthMonitor() override;

  void Start();
  void Stop();

  // The timer's callback.
  void Tick();
  // The echo's completion.
  void OnEcho(const std::string& reply, const qor::rpc::Status& status);

  // For tests and the log.
  bool DatabaseConnected() const;
  int EchoState() const;

 private:
  enum EchoStateValue : int { kNoEcho = 0, kEchoOutstanding = 1, kEchoAnswered = 2 };

  int64_t Now() const;
  // Sends an echo; false (logged) when it cannot be sent.
  bool SendEcho();
  void Arm(uint64_t seconds);

  Collaborators _c;
  std::shared_ptr<AsyncTimer<DaemonHealthMonitor>> _timer;
  int64_t _lastAlive = 0;
  uint32_t _dbConnected = 0;
  bool _started = false;
  mutable std::recursive_mutex _mutex;
  int _echoState = kNoEcho;
};

}  // namespace VevUroro
