#include "platform/rpc/Client.h"

#include <google/protobuf/message_lite.h>

#include <boost/asio.hpp>
#include <optional>

#include "platform/rpc/Endpoint.h"
#include "zantix/qor/rpc.pb.h"

namespace qor::rpc {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

struct Client::Impl {
  uint32_t maxFrameBytes;
  asio::io_context io;
  tcp::socket socket{io};
  bool connected = false;
  uint64_t nextId = 1;

  void Drop() {
    error_code ignored;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
    connected = false;
  }

  // Runs one asynchronous operation to its end or until `deadline`; on time-out the socket is closed, which
  // completes the operation with an error, and timed_out is returned.
  template <typename Operation>
  error_code Await(Operation operation, std::chrono::steady_clock::time_point deadline) {
    std::optional<error_code> result;
    operation([&result](const error_code& ec, auto&&...) { result = ec; });
    io.restart();
    io.run_until(deadline);
    if (result) return *result;
    Drop();
    io.restart();
    io.run();
    return asio::error::timed_out;
  }

  Status Failure(const error_code& ec, const std::string& what) {
    Drop();
    if (ec == asio::error::timed_out) return Status(StatusCode::DEADLINE_EXCEEDED, what + ": timed out");
    return Status(StatusCode::UNAVAILABLE, what + ": " + ec.message());
  }
};

Client::Client(uint32_t maxFrameBytes) : _impl(std::make_unique<Impl>()) {
  _impl->maxFrameBytes = maxFrameBytes ? maxFrameBytes : kDefaultMaxFrameBytes;
}

Client::~Client() = default;

Status Client::Connect(const std::string& endpoint, std::chrono::milliseconds timeout) {
  std::lock_guard<std::mutex> lock(_mutex);
  _impl->Drop();
  auto parsed = ParseTcpEndpoint(endpoint);
  if (!parsed) return Status(StatusCode::INVALID_ARGUMENT, "invalid endpoint \"" + endpoint + "\"");
  auto deadline = std::chrono::steady_clock::now() + timeout;
  error_code ec;
  tcp::resolver resolver(_impl->io);
  auto results = resolver.resolve(parsed->host, std::to_string(parsed->port), tcp::resolver::numeric_service, ec);
  if (ec) return Status(StatusCode::UNAVAILABLE, "cannot resolve " + endpoint + ": " + ec.message());
  ec = _impl->Await([&](auto handler) { asio::async_connect(_impl->socket, results, handler); }, deadline);
  if (ec) return _impl->Failure(ec, "connect to " + endpoint);
  _impl->socket.set_option(tcp::no_delay(true), ec);
  _impl->connected = true;
  return Status::Ok();
}

void Client::Close() {
  std::lock_guard<std::mutex> lock(_mutex);
  _impl->Drop();
}

bool Client::Connected() const {
  std::lock_guard<std::mutex> lock(_mutex);
  return _impl->connected;
}

Status Client::Call(const std::string& service, const std::string& method, const std::string& request,
                    std::string* response, std::chrono::milliseconds timeout) {
  std::lock_guard<std::mutex> lock(_mutex);
  Impl& impl = *_impl;
  if (!impl.connected) return Status(StatusCode::UNAVAILABLE, "not connected");
  auto deadline = std::chrono::steady_clock::now() + timeout;

  zantix::qor::rpc::RpcRequest message;
  message.set_service(service);
  message.set_method(method);
  message.set_id(impl.nextId++);
  message.set_payload(request);
  std::string body = message.SerializeAsString();
  if (body.size() > impl.maxFrameBytes) {
    return Status(StatusCode::RESOURCE_EXHAUSTED,
                  "request of " + std::to_string(body.size()) + " bytes exceeds the frame limit");
  }
  std::string frame = EncodeFrame(body);
  error_code ec =
      impl.Await([&](auto handler) { asio::async_write(impl.socket, asio::buffer(frame), handler); }, deadline);
  if (ec) return impl.Failure(ec, "send");

  uint8_t header[kFrameHeaderBytes];
  ec = impl.Await([&](auto handler) { asio::async_read(impl.socket, asio::buffer(header), handler); }, deadline);
  if (ec) return impl.Failure(ec, "receive");
  uint32_t length = ReadFrameHeader(header);
  if (length > impl.maxFrameBytes) {
    impl.Drop();
    return Status(StatusCode::INTERNAL, "response frame of " + std::to_string(length) + " bytes exceeds the limit");
  }
  std::string answer(length, '\0');
  if (length > 0) {
    ec = impl.Await([&](auto handler) { asio::async_read(impl.socket, asio::buffer(answer), handler); }, deadline);
    if (ec) return impl.Failure(ec, "receive");
  }
  zantix::qor::rpc::RpcResponse reply;
  if (!reply.ParseFromString(answer)) {
    impl.Drop();
    return Status(StatusCode::INTERNAL, "undecodable response frame");
  }
  if (reply.id() != message.id()) {
    impl.Drop();
    return Status(StatusCode::INTERNAL, "response id " + std::to_string(reply.id()) + " does not match request id " +
                                            std::to_string(message.id()));
  }
  if (reply.code() != 0) return Status(reply.code(), reply.message());
  if (response) *response = std::move(*reply.mutable_payload());
  return Status::Ok();
}

Status Client::Call(const std::string& service, const std::string& method, const google::protobuf::MessageLite& request,
                    google::protobuf::MessageLite* response, std::chrono::milliseconds timeout) {
  std::string serialized;
  if (!request.SerializeToString(&serialized)) {
    return Status(StatusCode::INVALID_ARGUMENT, "request message does not serialize");
  }
  std::string answer;
  Status status = Call(service, method, serialized, &answer, timeout);
  if (!status.ok()) return status;
  if (response && !response->ParseFromString(answer)) {
    return Status(StatusCode::INTERNAL, "response does not parse as " + response->GetTypeName());
  }
  return status;
}

}  // namespace qor::rpc
