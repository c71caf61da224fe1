#include "apps/config/ConverterTimer.h"

#include "core/AsyncTimer.h"
#include "core/RefCounter.h"

namespace VevUroro {

namespace {

// The owner AsyncTimer calls back: holds the callback.
class TimerCallback : public RefCounter<TimerCallback> {
 public:
  explicit TimerCallback(std::function<void()> callback) : _callback(std::move(callback)) {}
  void Fire() { _callback(); }

 private:
  std::function<void()> _callback;
};

class AsioOneShotTimer : public OneShotTimer {
 public:
  AsioOneShotTimer(boost::asio::io_context& context, std::function<void()> callback)
      : _timer(std::make_shared<AsyncTimer<TimerCallback>>(context, &TimerCallback::Fire,
                                                           new TimerCallback(std::move(callback)))) {}
  ~AsioOneShotTimer() override {
    _timer->SetOwnerGone();
    _timer->Cancel();
  }
  void Start(uint64_t intervalMicros) override { _timer->Start(intervalMicros); }
  void Cancel() override { _timer->Cancel(); }
  bool Pending() const override { return _timer->Pending(); }

 private:
  std::shared_ptr<AsyncTimer<TimerCallback>> _timer;
};

}  // namespace

TimerFactory AsioTimerFactory(boost::asio::io_context& context) {
  return [&context](std::function<void()> callback) -> std::unique_ptr<OneShotTimer> {
    return std::make_unique<AsioOneShotTimer>(context, std::move(callback));
  };
}

}  // namespace VevUroro
