// One-shot timers of the property converter (the Hoplift sync timer and the resync timer), behind a small
// interface so that tests fire them by hand instead of waiting.
//
// Production timers are AsyncTimers on an IO context; the callback runs on a thread of that context with no
// timer lock held. Start re-arms (replacing a pending wait); Cancel drops the pending wait. Destroying a timer
// guarantees its callback is not called afterwards.
#pragma once

#include <boost/asio/io_context.hpp>
#include <cstdint>
#include <functional>
#include <memory>

namespace VevUroro {

class OneShotTimer {
 public:
  virtual ~OneShotTimer() = default;
  virtual void Start(uint64_t intervalMicros) = 0;
  virtual void Cancel() = 0;
  virtual bool Pending() const = 0;
};

using TimerFactory = std::function<std::unique_ptr<OneShotTimer>(std::function<void()> callback)>;

// Timers on `context` (AsyncTimer, microseconds).
TimerFactory AsioTimerFactory(boost::asio::io_context& context);

}  // namespace VevUroro
