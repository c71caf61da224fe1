// An RPC service as the server sees it: a name and one entry point for all of its methods.
//
// Services are shared between the caller that creates them and the server they are registered on. `Call` runs
// on a server thread; when the service's options ask for more than one thread, calls from different connections
// may run at the same time, so the service guards its own state. Calls of one connection never overlap.
#pragma once

#include <string>

#include "platform/rpc/Status.h"

namespace qor::rpc {

// Who a call came from and which server took it.
struct CallContext {
  std::string localEndpointId;  // the server's local endpoint id ("qor-vevuroro")
  std::string peer;             // the client's address and port, for log lines
};

// Options of one registered service.
struct ServiceOptions {
  // Threads that serve this service's calls; the server runs as many threads as its most demanding service
  // asks for (at least 1). With 1, every call of the server runs on one thread, one after the other.
  int threads = 1;
};

class Service {
 public:
  virtual ~Service() = default;

  // The name clients put in RpcRequest.service; unique on a server.
  virtual std::string Name() const = 0;

  // Handles one call of `method` with the serialized request `request`; on success fills `response` with the
  // serialized response. A method the service does not know returns UNIMPLEMENTED; a request that does not
  // parse returns INVALID_ARGUMENT.
  virtual Status Call(const CallContext& context, const std::string& method, const std::string& request,
                      std::string* response) = 0;
};

}  // namespace qor::rpc
