// A blocking RPC client: one TCP connection to one server, one call at a time.
//
//   qor::rpc::Client client;
//   qor::rpc::Status status = client.Connect("tcp://127.0.0.1:4097");
//   zantix::qor::GetHealthResponseMsg health;
//   if (status.ok()) status = client.Call("zantix.qor.daemon.DaemonHealth", "GetHealth", request, &health);
//
// Every operation has a time-out. A transport failure (refused, reset, time-out, a bad or oversized answer)
// closes the connection and is returned as UNAVAILABLE, DEADLINE_EXCEEDED or INTERNAL; the caller may Connect
// again. A status the service returned arrives unchanged and leaves the connection open. Thread-safe: calls
// from several threads are serialised by an internal mutex.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/rpc/Framing.h"
#include "platform/rpc/Status.h"

namespace google::protobuf {
class MessageLite;
}

namespace qor::rpc {

class Client {
 public:
  static constexpr std::chrono::milliseconds kDefaultTimeout{5000};

  explicit Client(uint32_t maxFrameBytes = kDefaultMaxFrameBytes);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Connects to "tcp://HOST:PORT", closing any previous connection first.
  Status Connect(const std::string& endpoint, std::chrono::milliseconds timeout = kDefaultTimeout);
  void Close();
  bool Connected() const;

  // One call with a serialized request; on success `response` holds the serialized answer.
  Status Call(const std::string& service, const std::string& method, const std::string& request, std::string* response,
              std::chrono::milliseconds timeout = kDefaultTimeout);
  // The same with messages; an answer that does not parse as `response` is INTERNAL.
  Status Call(const std::string& service, const std::string& method, const google::protobuf::MessageLite& request,
              google::protobuf::MessageLite* response, std::chrono::milliseconds timeout = kDefaultTimeout);

 private:
  struct Impl;
  mutable std::mutex _mutex;
  std::unique_ptr<Impl> _impl;
};

}  // namespace qor::rpc
