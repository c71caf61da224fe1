// A running RPC server: listens on TCP endpoints and serves registered services (built by ServerBuilder).
//
// Wire protocol: frames of a 4-byte big-endian length and a body (Framing.h); requests are RpcRequest, answers
// RpcResponse (proto/zantix/qor/rpc.proto), answered in arrival order per connection. A frame above the size
// limit, or a body that is not an RpcRequest, closes that connection only; other clients are not affected.
// A call to an unknown service is answered NOT_FOUND and the connection stays open.
//
// Threads: the server owns its threads (ServiceOptions::threads, at least one) and serves from the moment it is
// returned, independent of the platform provider's event loop. Stop() and the destructor close the listeners
// and every connection and join the threads; they must not be called from inside a service's Call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/rpc/Endpoint.h"
#include "platform/rpc/Service.h"

namespace qor::metrics {
class Registry;
}

namespace qor::rpc {

class Server {
 public:
  struct Settings {
    std::vector<TcpEndpoint> endpoints;
    std::string localEndpointId;
    std::map<std::string, std::shared_ptr<Service>> services;  // by name
    int threads = 1;
    uint32_t maxFrameBytes = 0;
    size_t maxConnections = 0;
    std::shared_ptr<metrics::Registry> metrics;  // may be null: no metrics
  };

  // Binds every endpoint and starts serving. Returns null, with `error` set, when an endpoint cannot be
  // resolved or bound; nothing keeps running then.
  static std::shared_ptr<Server> Start(Settings settings, std::string* error);

  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Stops serving; idempotent. Any thread but the server's own.
  void Stop();

  // The bound endpoints, in the order they were added, with ephemeral ports resolved ("tcp://127.0.0.1:41234").
  std::vector<std::string> ListeningEndpoints() const;
  const std::string& LocalEndpointId() const;
  // Connections open right now.
  size_t ConnectionCount() const;

  struct Impl;

 private:
  explicit Server(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> _impl;
};

}  // namespace qor::rpc
