#include "platform/AsioQorProvider.h"

#include <csignal>
#include <thread>
#include <vector>

#include "platform/PlatformLog.h"
#include "platform/metrics/Metrics.h"
#include "platform/rpc/ServerBuilder.h"

namespace qor {

using VevUroro::LOG_LEVEL_ERROR;
using VevUroro::LOG_LEVEL_INFO;

AsioQorProvider::AsioQorProvider(const Options& options, const boost::property_tree::ptree& config,
                                 const std::string& name)
    : _config(config), _name(name), _metrics(std::make_shared<metrics::Registry>()) {
  _work.emplace(_io.get_executor());
  if (options.handleTerminationSignals) {
    _signals = std::make_unique<boost::asio::signal_set>(_io);
    boost::system::error_code ec;
    for (int signal : {SIGTERM, SIGINT}) {
      _signals->add(signal, ec);
      if (ec) {
        QOR_LIB_LOG(platform::library_log_level, LOG_LEVEL_ERROR, "AsioQorProvider: cannot handle signal %1: %2",
                    signal, ec.message());
      }
    }
    WaitForSignal();
  }
}

AsioQorProvider::~AsioQorProvider() {
  Stop();
  if (_signals) {
    boost::system::error_code ignored;
    _signals->cancel(ignored);
    _signals->clear(ignored);
  }
}

void AsioQorProvider::WaitForSignal() {
  _signals->async_wait([this](const boost::system::error_code& ec, int signal) {
    if (ec) return;  // cancelled at destruction
    QOR_LIB_LOG(platform::library_log_level, LOG_LEVEL_INFO, "AsioQorProvider: signal %1 received, stopping", signal);
    Stop();
  });
}

std::shared_ptr<rpc::ServerBuilder> AsioQorProvider::rpc() {
  return std::make_shared<rpc::ServerBuilder>(_metrics);
}

void AsioQorProvider::Run(int threads) {
  std::vector<std::thread> extra;
  for (int i = 1; i < threads; ++i) {
    extra.emplace_back([this] {
      // An exception escaping a handler must not end the process from a helper thread: stop instead, so that
      // Run() returns on the calling thread and shutdown proceeds.
      try {
        _io.run();
      } catch (const std::exception& e) {
        QOR_LIB_LOG(platform::library_log_level, LOG_LEVEL_ERROR, "AsioQorProvider: event handler failed: %1",
                    e.what());
        Stop();
      }
    });
  }
  _io.run();
  for (auto& thread : extra) thread.join();
}

void AsioQorProvider::Stop() {
  if (_stopped.exchange(true)) return;
  _work.reset();
  _io.stop();
}

}  // namespace qor
