#include "apps/config/DaemonHealthMonitor.h"

#include <chrono>

#include "core/Logger.h"
#include "core/WorkGroup.h"

namespace VevUroro {

namespace {
constexpr int64_t kNanosPerSecond = 1000000000LL;
constexpr int64_t kAliveWindowSeconds = DaemonHealthMonitor::kAliveWindowNs / kNanosPerSecond;
}  // namespace

DaemonHealthMonitor::DaemonHealthMonitor(Collaborators collaborators) : _c(std::move(collaborators)) {}

DaemonHealthMonitor::~DaemonHealthMonitor() = default;

int64_t DaemonHealthMonitor::Now() const {
  if (_c.nowNs) return _c.nowNs();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void DaemonHealthMonitor::Start() {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  _started = true;
  if (_c.report) _c.report(1, kStartDaemon);
  if (!_c.schedule) {
    _timer = std::make_shared<AsyncTimer<DaemonHealthMonitor>>(WorkGroup::IoContextA(), &DaemonHealthMonitor::Tick,
                                                               qor::RefPtr<DaemonHealthMonitor>(this));
  }
  Arm(kFirstTickSeconds);
}

void DaemonHealthMonitor::Stop() {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  _started = false;
  if (_timer) {
    _timer->SetOwnerGone();
    _timer->Cancel();
    _timer.reset();
  }
  _c.schedule = nullptr;
}

void DaemonHealthMonitor::Arm(uint64_t seconds) {
  if (_c.schedule) {
    _c.schedule(seconds);
  } else if (_timer) {
    _timer->Start(seconds);
  }
}

bool DaemonHealthMonitor::SendEcho() {
  qor::RefPtr<DaemonHealthMonitor> self(this);
  bool sent =
      _c.database && _c.database->EchoAsync("ping", [self](const std::string& reply, const qor::rpc::Status& status) {
        self->OnEcho(reply, status);
      });
  if (!sent) {
    Logger(LOG_LEVEL_WARN, "DaemonHealthMonitor: ping tolvar failed");
    return false;
  }
  Logger(LOG_LEVEL_DEBUG, "DaemonHealthMonitor: ping tolvar sent");
  _echoState = kEchoOutstanding;
  return true;
}

void DaemonHealthMonitor::Tick() {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  if (!_started) return;
  const int64_t activity = _c.database ? _c.database->LastActivitySeconds() : 0;
  if (activity > _lastAlive / kNanosPerSecond) _lastAlive = activity * kNanosPerSecond;
  bool connected;
  if (Now() - _lastAlive < kAliveWindowNs + 1) {
    connected = _echoState == kEchoOutstanding || SendEcho();
  } else {
    Logger(LOG_LEVEL_WARN, "DaemonHealthMonitor: tolvar echo timeout (%1 sec)", kAliveWindowSeconds);
    if (_echoState != kEchoOutstanding) SendEcho();
    connected = false;
  }
  if (!connected && _dbConnected == 1) {
    _dbConnected = 0;
    if (_c.report) _c.report(0, kDatabaseDaemon);
    Logger(LOG_LEVEL_WARN, "DaemonHealthMonitor: tolvar disconnected");
  } else if (connected && _dbConnected == 0) {
    _dbConnected = 1;
    Logger(LOG_LEVEL_INFO, "DaemonHealthMonitor: tolvar connected");
    if (_c.report) _c.report(1, kDatabaseDaemon);
  }
  if (_timer || _c.schedule) {
    Arm(kTickSeconds);
    Logger(LOG_LEVEL_DEBUG, "DaemonHealthMonitor: reschedule");
  }
}

void DaemonHealthMonitor::OnEcho(const std::string&, const qor::rpc::Status& status) {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  _echoState = kEchoAnswered;
  if (status.ok()) {
    _lastAlive = Now();
  } else {
    Logger(LOG_LEVEL_WARN, "DaemonHealthMonitor::TolvarEchoCB: status %1", status.ToString());
  }
}

bool DaemonHealthMonitor::DatabaseConnected() const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  return _dbConnected == 1;
}

int DaemonHealthMonitor::EchoState() const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  return _echoState;
}

}  // namespace VevUroro
