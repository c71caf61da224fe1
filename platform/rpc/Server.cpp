#include "platform/rpc/Server.h"

#include <pthread.h>

#include <atomic>
#include <boost/asio.hpp>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/PlatformLog.h"
#include "platform/metrics/Metrics.h"
#include "platform/rpc/Framing.h"
#include "zantix/qor/rpc.pb.h"

namespace qor::rpc {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using VevUroro::LOG_LEVEL_DEBUG;
using VevUroro::LOG_LEVEL_ERROR;
using VevUroro::LOG_LEVEL_WARN;

namespace {

// What connections share with the server; kept alive by every connection, so that a connection released late
// (when the event loop is destroyed) never touches a destroyed server.
struct Shared {
  std::string localEndpointId;
  std::map<std::string, std::shared_ptr<Service>> services;
  uint32_t maxFrameBytes = kDefaultMaxFrameBytes;
  std::atomic<size_t> connections{0};
  std::shared_ptr<metrics::Counter> calls, callErrors, badFrames, refused;
  std::shared_ptr<metrics::Gauge> openConnections;
  std::shared_ptr<metrics::Latency> callLatency;
};

zantix::qor::rpc::RpcResponse Dispatch(const Shared& shared, const CallContext& context,
                                       const zantix::qor::rpc::RpcRequest& request) {
  zantix::qor::rpc::RpcResponse response;
  response.set_id(request.id());
  Status status;
  auto it = shared.services.find(request.service());
  if (it == shared.services.end()) {
    status = Status(StatusCode::NOT_FOUND, "unknown service \"" + request.service() + "\"");
  } else {
    try {
      status = it->second->Call(context, request.method(), request.payload(), response.mutable_payload());
    } catch (const std::exception& e) {
      status = Status(StatusCode::INTERNAL, std::string("service failed: ") + e.what());
    }
  }
  if (!status.ok()) {
    response.clear_payload();
    response.set_code(status.code());
    response.set_message(status.message());
  }
  return response;
}

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(tcp::socket socket, std::shared_ptr<Shared> shared) : _socket(std::move(socket)), _shared(shared) {
    boost::system::error_code ec;
    auto remote = _socket.remote_endpoint(ec);
    _peer = ec ? std::string("unknown peer") : remote.address().to_string() + ":" + std::to_string(remote.port());
    _context.localEndpointId = _shared->localEndpointId;
    _context.peer = _peer;
    ++_shared->connections;
    if (_shared->openConnections) _shared->openConnections->Add(1);
  }
  ~Connection() {
    --_shared->connections;
    if (_shared->openConnections) _shared->openConnections->Add(-1);
  }

  void Start() { ReadHeader(); }

  // Only while no server thread runs (Stop after the join).
  void Close() {
    boost::system::error_code ignored;
    _socket.shutdown(tcp::socket::shutdown_both, ignored);
    _socket.close(ignored);
  }

 private:
  void ReadHeader() {
    asio::async_read(_socket, asio::buffer(_header),
                     [self = shared_from_this()](const boost::system::error_code& ec, size_t) {
                       if (ec) return self->Close();
                       self->OnHeader();
                     });
  }

  void OnHeader() {
    uint32_t length = ReadFrameHeader(_header);
    if (length > _shared->maxFrameBytes) {
      return Drop("frame of " + std::to_string(length) + " bytes exceeds the limit of " +
                  std::to_string(_shared->maxFrameBytes) + " bytes");
    }
    _body.resize(length);
    if (length == 0) return OnBody();
    asio::async_read(_socket, asio::buffer(_body),
                     [self = shared_from_this()](const boost::system::error_code& ec, size_t) {
                       if (ec) return self->Close();
                       self->OnBody();
                     });
  }

  void OnBody() {
    zantix::qor::rpc::RpcRequest request;
    if (!request.ParseFromString(_body)) return Drop("undecodable request frame");
    _body.clear();
    auto started = std::chrono::steady_clock::now();
    zantix::qor::rpc::RpcResponse response = Dispatch(*_shared, _context, request);
    if (_shared->calls) {
      _shared->calls->Increment();
      if (response.code() != 0) _shared->callErrors->Increment();
      _shared->callLatency->Record(
          std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started).count());
    }
    QOR_LIB_LOG(library_log_level, LOG_LEVEL_DEBUG, "RpcServer: %1 %2.%3 id %4 from %5: code %6",
                _shared->localEndpointId, request.service(), request.method(), request.id(), _peer, response.code());
    std::string body = response.SerializeAsString();
    if (body.size() > _shared->maxFrameBytes) {
      response.clear_payload();
      response.set_code(static_cast<int32_t>(StatusCode::RESOURCE_EXHAUSTED));
      response.set_message("response of " + std::to_string(body.size()) + " bytes exceeds the frame limit");
      body = response.SerializeAsString();
    }
    _out = EncodeFrame(body);
    asio::async_write(_socket, asio::buffer(_out),
                      [self = shared_from_this()](const boost::system::error_code& ec, size_t) {
                        self->_out.clear();
                        if (ec) return self->Close();
                        self->ReadHeader();
                      });
  }

  // A peer that breaks the protocol loses its connection; nobody else is affected.
  void Drop(const std::string& reason) {
    if (_shared->badFrames) _shared->badFrames->Increment();
    QOR_LIB_LOG(library_log_level, LOG_LEVEL_WARN, "RpcServer: %1 closing connection from %2: %3",
                _shared->localEndpointId, _peer, reason);
    Close();
  }

  tcp::socket _socket;
  std::shared_ptr<Shared> _shared;
  std::string _peer;
  CallContext _context;
  uint8_t _header[kFrameHeaderBytes] = {};
  std::string _body;
  std::string _out;
};

}  // namespace

struct Server::Impl {
  std::shared_ptr<Shared> shared = std::make_shared<Shared>();
  size_t maxConnections = 1024;
  std::vector<std::string> endpoints;
  asio::io_context io;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
  std::vector<std::unique_ptr<tcp::acceptor>> acceptors;
  std::unique_ptr<asio::steady_timer> retryTimer;
  std::mutex liveMutex;
  std::vector<std::weak_ptr<Connection>> live;
  std::vector<std::thread> threads;
  std::atomic<bool> stopping{false};

  void Accept(tcp::acceptor& acceptor) {
    acceptor.async_accept([this, &acceptor](const boost::system::error_code& ec, tcp::socket socket) {
      if (stopping) return;
      if (ec == asio::error::operation_aborted) return;
      if (ec) {
        // Out of descriptors and the like: try again a little later instead of spinning.
        QOR_LIB_LOG(library_log_level, LOG_LEVEL_ERROR, "RpcServer: %1 accept failed: %2", shared->localEndpointId,
                    ec.message());
        auto timer = std::make_shared<asio::steady_timer>(io, std::chrono::milliseconds(100));
        timer->async_wait([this, timer, &acceptor](const boost::system::error_code&) {
          if (!stopping) Accept(acceptor);
        });
        return;
      }
      if (shared->connections.load() >= maxConnections) {
        if (shared->refused) shared->refused->Increment();
        QOR_LIB_LOG(library_log_level, LOG_LEVEL_WARN, "RpcServer: %1 refusing connection: %2 connections open",
                    shared->localEndpointId, maxConnections);
        boost::system::error_code ignored;
        socket.close(ignored);
      } else {
        auto connection = std::make_shared<Connection>(std::move(socket), shared);
        {
          std::lock_guard<std::mutex> lock(liveMutex);
          std::erase_if(live, [](const std::weak_ptr<Connection>& c) { return c.expired(); });
          live.push_back(connection);
        }
        connection->Start();
      }
      Accept(acceptor);
    });
  }
};

std::shared_ptr<Server> Server::Start(Settings settings, std::string* error) {
  auto impl = std::make_unique<Impl>();
  Shared& shared = *impl->shared;
  shared.localEndpointId = settings.localEndpointId;
  shared.services = std::move(settings.services);
  shared.maxFrameBytes = settings.maxFrameBytes ? settings.maxFrameBytes : kDefaultMaxFrameBytes;
  impl->maxConnections = settings.maxConnections ? settings.maxConnections : 1024;
  if (settings.metrics) {
    shared.calls = settings.metrics->GetCounter("rpc.server.calls");
    shared.callErrors = settings.metrics->GetCounter("rpc.server.call_errors");
    shared.badFrames = settings.metrics->GetCounter("rpc.server.bad_frames");
    shared.refused = settings.metrics->GetCounter("rpc.server.refused_connections");
    shared.openConnections = settings.metrics->GetGauge("rpc.server.connections");
    shared.callLatency = settings.metrics->GetLatency("rpc.server.call_latency_us");
  }

  for (const TcpEndpoint& endpoint : settings.endpoints) {
    boost::system::error_code ec;
    tcp::endpoint bindTo;
    asio::ip::address address = asio::ip::make_address(endpoint.host, ec);
    if (!ec) {
      bindTo = tcp::endpoint(address, endpoint.port);
    } else {
      tcp::resolver resolver(impl->io);
      auto results = resolver.resolve(endpoint.host, std::to_string(endpoint.port), ec);
      if (ec || results.empty()) {
        *error = "cannot resolve " + FormatTcpEndpoint(endpoint.host, endpoint.port) + ": " +
                 (ec ? ec.message() : std::string("no address"));
        return nullptr;
      }
      bindTo = results.begin()->endpoint();
    }
    auto acceptor = std::make_unique<tcp::acceptor>(impl->io);
    acceptor->open(bindTo.protocol(), ec);
    if (!ec) acceptor->set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) acceptor->bind(bindTo, ec);
    if (!ec) acceptor->listen(asio::socket_base::max_listen_connections, ec);
    if (!ec) {
      auto bound = acceptor->local_endpoint(ec);
      if (!ec) impl->endpoints.push_back(FormatTcpEndpoint(bound.address().to_string(), bound.port()));
    }
    if (ec) {
      *error = "cannot listen on " + FormatTcpEndpoint(endpoint.host, endpoint.port) + ": " + ec.message();
      return nullptr;
    }
    impl->acceptors.push_back(std::move(acceptor));
  }

  impl->work.emplace(impl->io.get_executor());
  for (auto& acceptor : impl->acceptors) impl->Accept(*acceptor);
  int threads = std::max(settings.threads, 1);
  try {
    for (int i = 0; i < threads; ++i) {
      impl->threads.emplace_back([io = &impl->io] {
        pthread_setname_np(pthread_self(), "qor-rpc");
        io->run();
      });
    }
  } catch (...) {
    // The threads already made must be joined before the io context they run goes away.
    impl->work.reset();
    impl->io.stop();
    for (auto& thread : impl->threads) thread.join();
    throw;
  }
  return std::shared_ptr<Server>(new Server(std::move(impl)));
}

Server::Server(std::unique_ptr<Impl> impl) : _impl(std::move(impl)) {}

Server::~Server() {
  Stop();
}

void Server::Stop() {
  if (_impl->stopping.exchange(true)) return;
  _impl->work.reset();
  _impl->io.stop();
  for (auto& thread : _impl->threads) {
    if (thread.joinable()) thread.join();
  }
  // No server thread runs any more: listeners and connections can be closed from here.
  boost::system::error_code ignored;
  for (auto& acceptor : _impl->acceptors) acceptor->close(ignored);
  std::vector<std::shared_ptr<Connection>> open;
  {
    std::lock_guard<std::mutex> lock(_impl->liveMutex);
    for (auto& weak : _impl->live) {
      if (auto connection = weak.lock()) open.push_back(std::move(connection));
    }
    _impl->live.clear();
  }
  for (auto& connection : open) connection->Close();
}

std::vector<std::string> Server::ListeningEndpoints() const {
  return _impl->endpoints;
}

const std::string& Server::LocalEndpointId() const {
  return _impl->shared->localEndpointId;
}

size_t Server::ConnectionCount() const {
  return _impl->shared->connections.load();
}

}  // namespace qor::rpc
