#include "platform/DaemonHealthService.h"

#include <unistd.h>

namespace qor {

DaemonHealthService::DaemonHealthService(const zantix::qor::ProductVersionMsg& version)
    : _version(version), _started(std::chrono::steady_clock::now()) {}

rpc::Status DaemonHealthService::Call(const rpc::CallContext& context, const std::string& method,
                                      const std::string& request, std::string* response) {
  if (method == "GetHealth") {
    zantix::qor::GetHealthRequestMsg in;
    if (!in.ParseFromString(request)) return rpc::Status(rpc::StatusCode::INVALID_ARGUMENT, "bad GetHealth request");
    zantix::qor::GetHealthResponseMsg out;
    out.set_status("UP");
    out.set_uptime_seconds(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - _started).count());
    *out.mutable_version() = _version;
    out.set_pid(static_cast<uint32_t>(getpid()));
    out.set_daemon(context.localEndpointId);
    out.SerializeToString(response);
    return rpc::Status::Ok();
  }
  if (method == "GetVersion") {
    zantix::qor::GetVersionRequestMsg in;
    if (!in.ParseFromString(request)) {
      return rpc::Status(rpc::StatusCode::INVALID_ARGUMENT, "bad GetVersion request");
    }
    zantix::qor::GetVersionResponseMsg out;
    *out.mutable_version() = _version;
    out.SerializeToString(response);
    return rpc::Status::Ok();
  }
  return rpc::Status(rpc::StatusCode::UNIMPLEMENTED, "unknown method \"" + method + "\" of " + Name());
}

}  // namespace qor
