// VevUroro::AsyncTimer<T>: a one-shot timer on an IO context that calls a member function of its owner.
//
// Held by std::shared_ptr (std::make_shared); every outstanding wait holds the timer, so it outlives its wait. The
// timer holds a counted reference to its owner: an owner that goes away calls SetOwnerGone and drops its pointer to
// the timer, and a handler already queued then calls nothing.
//
// Start(interval) arms the timer once (re-arming aborts the wait in progress, whose completion is logged with
// LCP00113 because Start cleared the cancelled flag); a periodic timer is one whose callback calls Start again.
// The interval is counted in the unit of the Unit policy: microseconds, except for the daemon health monitor's timer,
// which counts seconds. The expiry saturates at the latest representable time (such a timer never fires).
// Cancel aborts the outstanding wait and marks the timer cancelled until the next Start.
//
// Threads: Start, Cancel and SetOwnerGone may be called from any thread, the owner's callback included; the callback
// runs on a thread of the timer's IO context with no timer lock held. An internal mutex guards the flags.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/intrusive_ptr.hpp>
#include <chrono>
#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <ratio>
#include <type_traits>

#include "core/Logger.h"

namespace VevUroro {

// Interval units: nanoseconds per unit of Start's argument.
struct TimerMicroseconds {
  static constexpr uint64_t kNanosPerUnit = 1000;
};
struct TimerSeconds {
  static constexpr uint64_t kNanosPerUnit = 1000000000;
};

// The unit an owner's timer counts in: microseconds, unless the owner has its own entry below.
template <typename T>
struct TimerUnitFor {
  using type = TimerMicroseconds;
};

class DaemonHealthMonitor;
template <>
struct TimerUnitFor<DaemonHealthMonitor> {
  using type = TimerSeconds;
};

template <typename T, typename Unit = typename TimerUnitFor<T>::type>
class AsyncTimer : public std::enable_shared_from_this<AsyncTimer<T, Unit>> {
 public:
  using Clock = std::chrono::steady_clock;
  using Callback = void (T::*)();
  using ArgCallback = void (T::*)(uint64_t);
  static constexpr uint64_t kNoArgument = std::numeric_limits<uint64_t>::max();

  AsyncTimer(boost::asio::io_context& context, Callback callback, boost::intrusive_ptr<T> owner)
      : _timer(context), _callback(callback), _owner(std::move(owner)) {
    LogConstructed();
  }
  AsyncTimer(boost::asio::io_context& context, ArgCallback callback, uint64_t argument, boost::intrusive_ptr<T> owner)
      : _timer(context), _argCallback(callback), _owner(std::move(owner)), _argument(argument) {
    LogConstructed();
  }
  AsyncTimer(const AsyncTimer&) = delete;
  AsyncTimer& operator=(const AsyncTimer&) = delete;

  ~AsyncTimer() {
    Logger(LOG_LEVEL_DEBUG, "AsyncTimer destruct, timerObj is %1, pObj is %2", static_cast<const void*>(this),
           static_cast<const void*>(_owner.get()));
  }

  // Arms the timer to fire `interval` units from now.
  void Start(uint64_t interval) {
    std::lock_guard<std::mutex> lock(_mutex);
    _cancelled = false;
    Clock::time_point expiry = ExpiryAfter(Clock::now(), interval);
    try {
      if (_pending) {
        _timer.cancel();
        _pending = false;
      }
      _expiry = expiry;
      _timer.expires_at(expiry);
      uint64_t generation = ++_generation;
      _timer.async_wait([self = this->shared_from_this(), generation](const boost::system::error_code& error) {
        self->OnWaitDone(error, generation);
      });
      _pending = true;
    } catch (const std::exception& e) {
      Logger(LOG_LEVEL_ERROR, "async_wait failed, interval %1 us, error : %2", interval, e.what())
          .AddTag("errorCode:LCP00113");
    }
  }

  void Cancel() {
    std::lock_guard<std::mutex> lock(_mutex);
    _cancelled = true;
    try {
      if (_pending) {
        _timer.cancel();
        _pending = false;
      }
      Logger(LOG_LEVEL_DEBUG, "Timer cancelled");
    } catch (const std::exception& e) {
      Logger(LOG_LEVEL_ERROR, "cancel timer failed : %1", e.what()).AddTag("errorCode:LCP00114");
    }
  }

  // Called by an owner that is going away: a completion still to come calls nothing.
  void SetOwnerGone() {
    std::lock_guard<std::mutex> lock(_mutex);
    _ownerGone = true;
  }

  Clock::time_point Expiry() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _expiry;
  }
  bool Pending() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _pending;
  }
  bool Cancelled() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _cancelled;
  }

  // now + interval units, saturated at the clock's latest time point.
  static Clock::time_point ExpiryAfter(Clock::time_point now, uint64_t interval) {
    using Rep = Clock::duration::rep;
    static_assert(std::is_same_v<Clock::duration::period, std::nano>, "steady_clock is expected to count nanoseconds");
    const Rep room = Clock::time_point::max().time_since_epoch().count() - now.time_since_epoch().count();
    if (room <= 0) return Clock::time_point::max();
    const uint64_t maxUnits = static_cast<uint64_t>(room) / Unit::kNanosPerUnit;
    if (interval > maxUnits) return Clock::time_point::max();
    return now + Clock::duration(static_cast<Rep>(interval * Unit::kNanosPerUnit));
  }

 private:
  void LogConstructed() {
    Logger(LOG_LEVEL_DEBUG, "AsyncTimer construct, timerObj is %1, pObj is %2", static_cast<const void*>(this),
           static_cast<const void*>(_owner.get()));
  }

  // Runs on a thread of the IO context when a wait completes.
  void OnWaitDone(const boost::system::error_code& error, uint64_t generation) {
    boost::intrusive_ptr<T> owner;
    Callback callback = nullptr;
    ArgCallback argCallback = nullptr;
    uint64_t argument = kNoArgument;
    {
      std::lock_guard<std::mutex> lock(_mutex);
      const bool current = generation == _generation;
      if (current) _pending = false;
      if (_cancelled || _ownerGone || !_owner) {
        Logger(LOG_LEVEL_DEBUG, "Ignoring timer callback triggered for cancelled timer");
        return;
      }
      if (error) {
        Logger(LOG_LEVEL_ERROR, "timer callback failed, Error code : %1, %2", error.value(), error.message())
            .AddTag("errorCode:LCP00113");
        return;
      }
      if (!current) {
        // This wait expired just before a Start re-armed the timer; the new wait is the one that counts.
        Logger(LOG_LEVEL_DEBUG, "Ignoring timer callback of a re-armed timer");
        return;
      }
      owner = _owner;
      callback = _callback;
      argCallback = _argCallback;
      argument = _argument;
    }
    if (argument == kNoArgument && callback) {
      ((*owner).*callback)();
    } else if (argCallback) {
      ((*owner).*argCallback)(argument);
    } else if (callback) {
      ((*owner).*callback)();
    }
  }

  boost::asio::steady_timer _timer;
  Clock::time_point _expiry{};
  bool _pending = false;
  Callback _callback = nullptr;
  ArgCallback _argCallback = nullptr;
  boost::intrusive_ptr<T> _owner;
  uint64_t _argument = kNoArgument;
  bool _cancelled = false;
  bool _ownerGone = false;
  uint64_t _generation = 0;  // bumped by every Start; tells a stale completion from the current one
  mutable std::mutex _mutex;
};

}  // namespace VevUroro
