// The platform provider: the process's main event loop, the RPC facility and the metrics registry.
//
// Start-up constructs one provider, builds its RPC servers from rpc(), hands metrics() to the worker threads and
// finally gives the main thread to Run(), which returns once the provider is stopped: by Stop() from any thread
// or, unless the options turn it off, by SIGTERM or SIGINT. The signal handler is installed at construction, so
// a termination signal that arrives during start-up is not lost: Run() returns as soon as it starts.
//
// Threads: Run() is called once, by the thread that is to run the loop; Stop(), IoContext(), rpc() and metrics()
// may be called from any thread. Other platform pieces may post work to IoContext(); it runs while Run() does.
#pragma once

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/property_tree/ptree.hpp>
#include <memory>
#include <optional>
#include <string>

namespace qor::metrics {
class Registry;
}
namespace qor::rpc {
class ServerBuilder;
}

namespace qor {

struct AsioQorProviderOptions {
  // Stop on SIGTERM and SIGINT.
  bool handleTerminationSignals = true;
};

class AsioQorProvider {
 public:
  using Options = AsioQorProviderOptions;

  // `config` is the configuration file's "config" subtree (kept as a copy); `name` may be empty.
  AsioQorProvider(const Options& options, const boost::property_tree::ptree& config, const std::string& name);
  ~AsioQorProvider();
  AsioQorProvider(const AsioQorProvider&) = delete;
  AsioQorProvider& operator=(const AsioQorProvider&) = delete;

  // A new server builder whose servers count into metrics().
  std::shared_ptr<rpc::ServerBuilder> rpc();
  // The provider's registry, one per provider.
  std::shared_ptr<metrics::Registry> metrics() const { return _metrics; }

  // Runs the event loop on the calling thread and `threads` - 1 more; returns when stopped (at once when Stop()
  // came first) after the extra threads have been joined.
  void Run(int threads);
  // Makes Run() return; idempotent.
  void Stop();
  bool Stopped() const { return _stopped.load(); }

  boost::asio::io_context& IoContext() { return _io; }
  const boost::property_tree::ptree& Config() const { return _config; }
  const std::string& Name() const { return _name; }

 private:
  void WaitForSignal();

  boost::property_tree::ptree _config;
  std::string _name;
  std::shared_ptr<metrics::Registry> _metrics;
  boost::asio::io_context _io;
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> _work;
  std::unique_ptr<boost::asio::signal_set> _signals;
  std::atomic<bool> _stopped{false};
};

}  // namespace qor
