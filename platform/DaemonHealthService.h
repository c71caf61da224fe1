// The daemon health service: tells a client that the daemon is up, how long it has been, and its version.
//
// Registered on the daemon's RPC server as "zantix.qor.daemon.DaemonHealth" with the methods
//   "GetHealth"  (GetHealthRequestMsg  -> GetHealthResponseMsg: status "UP", uptime, version, pid, daemon name)
//   "GetVersion" (GetVersionRequestMsg -> GetVersionResponseMsg)
// of proto/zantix/qor/health.proto. Immutable after construction, so calls may come from any server thread.
#pragma once

#include <chrono>
#include <string>

#include "platform/rpc/Service.h"
#include "zantix/qor/health.pb.h"

namespace qor {

class DaemonHealthService : public rpc::Service {
 public:
  static constexpr const char* kServiceName = "zantix.qor.daemon.DaemonHealth";

  explicit DaemonHealthService(const zantix::qor::ProductVersionMsg& version);

  std::string Name() const override { return kServiceName; }
  rpc::Status Call(const rpc::CallContext& context, const std::string& method, const std::string& request,
                   std::string* response) override;

  const zantix::qor::ProductVersionMsg& Version() const { return _version; }

 private:
  zantix::qor::ProductVersionMsg _version;
  std::chrono::steady_clock::time_point _started;
};

}  // namespace qor
