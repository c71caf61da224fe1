#include "platform/rpc/ServerBuilder.h"

#include <algorithm>

#include "platform/PlatformLog.h"
#include "platform/rpc/Framing.h"

namespace qor::rpc {

using VevUroro::LOG_LEVEL_ERROR;
using VevUroro::LOG_LEVEL_INFO;

ServerBuilder::ServerBuilder(std::shared_ptr<metrics::Registry> metrics) : _metrics(std::move(metrics)) {
  _settings.maxFrameBytes = kDefaultMaxFrameBytes;
  _settings.maxConnections = 1024;
}

void ServerBuilder::Fail(const std::string& text) {
  QOR_LIB_LOG(library_log_level, LOG_LEVEL_ERROR, "RpcServerBuilder: %1", text);
  _errors.push_back(text);
}

ServerBuilder& ServerBuilder::AddListeningEndpoint(const std::string& endpoint) {
  auto parsed = ParseTcpEndpoint(endpoint);
  if (!parsed) {
    Fail("invalid listening endpoint \"" + endpoint + "\"");
  } else {
    _settings.endpoints.push_back(*parsed);
  }
  return *this;
}

ServerBuilder& ServerBuilder::AddLocalEndpointId(const std::string& id) {
  _settings.localEndpointId = id;
  return *this;
}

ServerBuilder& ServerBuilder::RegisterService(std::shared_ptr<Service> service, ServiceOptions options) {
  if (!service) {
    Fail("null service registered");
    return *this;
  }
  std::string name = service->Name();
  if (!_settings.services.emplace(name, std::move(service)).second) {
    Fail("service \"" + name + "\" registered twice");
    return *this;
  }
  _settings.threads = std::max(_settings.threads, std::clamp(options.threads, 1, 64));
  return *this;
}

ServerBuilder& ServerBuilder::SetMaxFrameBytes(uint32_t bytes) {
  _settings.maxFrameBytes = std::max<uint32_t>(bytes, 64);
  return *this;
}

ServerBuilder& ServerBuilder::SetMaxConnections(size_t connections) {
  _settings.maxConnections = std::max<size_t>(connections, 1);
  return *this;
}

std::shared_ptr<Server> ServerBuilder::BuildStarted() {
  if (_settings.endpoints.empty() && _errors.empty()) Fail("no listening endpoint");
  if (!_errors.empty()) {
    _lastError = _errors.front();
    return nullptr;
  }
  Server::Settings settings = _settings;
  settings.metrics = _metrics;
  std::string error;
  auto server = Server::Start(std::move(settings), &error);
  if (!server) {
    _lastError = error;
    QOR_LIB_LOG(library_log_level, LOG_LEVEL_ERROR, "RpcServerBuilder: failed to start server %1: %2",
                _settings.localEndpointId, error);
    return nullptr;
  }
  _lastError.clear();
  for (const auto& endpoint : server->ListeningEndpoints()) {
    QOR_LIB_LOG(library_log_level, LOG_LEVEL_INFO, "RpcServer: %1 listening on %2", _settings.localEndpointId,
                endpoint);
  }
  return server;
}

}  // namespace qor::rpc
