#include "platform/rpc/Status.h"

namespace qor::rpc {

const char* StatusCodeName(int32_t code) {
  switch (static_cast<StatusCode>(code)) {
    case StatusCode::OK:
      return "OK";
    case StatusCode::CANCELLED:
      return "CANCELLED";
    case StatusCode::UNKNOWN:
      return "UNKNOWN";
    case StatusCode::INVALID_ARGUMENT:
      return "INVALID_ARGUMENT";
    case StatusCode::DEADLINE_EXCEEDED:
      return "DEADLINE_EXCEEDED";
    case StatusCode::NOT_FOUND:
      return "NOT_FOUND";
    case StatusCode::ALREADY_EXISTS:
      return "ALREADY_EXISTS";
    case StatusCode::RESOURCE_EXHAUSTED:
      return "RESOURCE_EXHAUSTED";
    case StatusCode::FAILED_PRECONDITION:
      return "FAILED_PRECONDITION";
    case StatusCode::UNIMPLEMENTED:
      return "UNIMPLEMENTED";
    case StatusCode::INTERNAL:
      return "INTERNAL";
    case StatusCode::UNAVAILABLE:
      return "UNAVAILABLE";
  }
  return "UNKNOWN (Put more into StatusCodeName)";
}

std::string Status::ToString() const {
  if (ok()) return "OK";
  std::string text = StatusCodeName(_code);
  if (!_message.empty()) text += ": " + _message;
  return text;
}

}  // namespace qor::rpc
