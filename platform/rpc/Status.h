// The outcome of an RPC call: a code (0 success) and a text.
//
// A plain value type, copied freely; no thread concerns. Codes are those carried in RpcResponse.code, so a
// status travels unchanged from a service on the server to the caller on the client. Transport failures seen by
// the client (no connection, time-out, bad frame) use the same codes.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>

namespace qor::rpc {

enum class StatusCode : int32_t {
  OK = 0,
  CANCELLED = 1,
  UNKNOWN = 2,
  INVALID_ARGUMENT = 3,
  DEADLINE_EXCEEDED = 4,
  NOT_FOUND = 5,
  ALREADY_EXISTS = 6,
  RESOURCE_EXHAUSTED = 8,
  FAILED_PRECONDITION = 9,
  UNIMPLEMENTED = 12,
  INTERNAL = 13,
  UNAVAILABLE = 14,
};

// "OK", "NOT_FOUND", ...; "UNKNOWN (Put more into StatusCodeName)" for a code this build does not know.
const char* StatusCodeName(int32_t code);

class Status {
 public:
  Status() = default;
  Status(StatusCode code, std::string message) : _code(static_cast<int32_t>(code)), _message(std::move(message)) {}
  // A code received from the wire, possibly one this build does not know.
  Status(int32_t code, std::string message) : _code(code), _message(std::move(message)) {}

  static Status Ok() { return Status(); }

  bool ok() const { return _code == 0; }
  int32_t code() const { return _code; }
  const std::string& message() const { return _message; }
  // "OK" or "<CODE NAME>: <message>".
  std::string ToString() const;

  bool operator==(const Status& other) const = default;

 private:
  int32_t _code = 0;
  std::string _message;
};

inline std::ostream& operator<<(std::ostream& out, const Status& status) {
  return out << status.ToString();
}

}  // namespace qor::rpc
