// Collects what an RPC server needs and starts it.
//
//   auto builder = provider.rpc();
//   builder->AddListeningEndpoint("tcp://127.0.0.1:4097").AddLocalEndpointId("qor-vevuroro");
//   builder->RegisterService(healthService, {1});
//   std::shared_ptr<qor::rpc::Server> server = builder->BuildStarted();
//
// Used by one thread at a time (start-up). A mistake in the settings (bad endpoint text, two services of one
// name, no endpoint) is logged when it is made and makes BuildStarted fail; so does an endpoint that cannot be
// bound. The builder keeps its settings, so a failed build may be retried after the cause is gone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/rpc/Server.h"
#include "platform/rpc/Service.h"

namespace qor::metrics {
class Registry;
}

namespace qor::rpc {

class ServerBuilder {
 public:
  // `metrics`: where the server counts connections and calls; may be null.
  explicit ServerBuilder(std::shared_ptr<metrics::Registry> metrics = nullptr);

  ServerBuilder& AddListeningEndpoint(const std::string& endpoint);
  ServerBuilder& AddLocalEndpointId(const std::string& id);
  ServerBuilder& RegisterService(std::shared_ptr<Service> service, ServiceOptions options = {});
  // Largest frame body accepted or sent (default 16 MiB).
  ServerBuilder& SetMaxFrameBytes(uint32_t bytes);
  // Connections served at once; more are accepted and closed at once (default 1024).
  ServerBuilder& SetMaxConnections(size_t connections);

  // The running server, or null (logged, and LastError() says why).
  std::shared_ptr<Server> BuildStarted();
  const std::string& LastError() const { return _lastError; }

 private:
  void Fail(const std::string& text);

  std::shared_ptr<metrics::Registry> _metrics;
  Server::Settings _settings;
  std::vector<std::string> _errors;
  std::string _lastError;
};

}  // namespace qor::rpc
