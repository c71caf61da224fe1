#include "dataplane/uds/UdsServer.h"

#include <unistd.h>

#include <atomic>

namespace Common {

// Forwards to the user's listener and forgets connections that went down. Every connection keeps its server's
// tracker alive (through its framer), so that close handlers still queued when the server is stopped and destroyed
// find a detached tracker instead of freed memory; a detached tracker forwards nothing.
class UdsServer::Tracker : public UdsConnectionListener {
 public:
  explicit Tracker(UdsServer* server) : _server(server) {}
  void Detach() { _server.store(nullptr); }
  void OnConnectionStatusChange(uint64_t id, bool up) override {
    UdsServer* server = _server.load();
    if (!server) return;
    if (!up) {
      std::lock_guard<std::mutex> lock(server->_mutex);
      server->_connections.erase(id);
    }
    server->_listener->OnConnectionStatusChange(id, up);
  }
  void OnMessage(uint64_t id, const uint8_t* data, size_t length) override {
    UdsServer* server = _server.load();
    if (server) server->_listener->OnMessage(id, data, length);
  }

 private:
  std::atomic<UdsServer*> _server;
};

UdsServer::UdsServer(boost::asio::io_context& context, std::string path, UdsConnection::Framer framer,
                     UdsConnectionListener* listener)
    : _path(std::move(path)), _framer(std::move(framer)), _listener(listener), _acceptor(context) {}

UdsServer::~UdsServer() {
  Stop();
}

bool UdsServer::Start(std::string* error) {
  _tracker = std::make_shared<Tracker>(this);
  try {
    ::unlink(_path.c_str());
    boost::asio::local::stream_protocol::endpoint endpoint(_path);
    _acceptor.open(endpoint.protocol());
    _acceptor.bind(endpoint);
    _acceptor.listen();
  } catch (const std::exception& e) {
    *error = e.what();
    return false;
  }
  _started = true;
  Accept();
  return true;
}

void UdsServer::Accept() {
  _acceptor.async_accept([this](const boost::system::error_code& error,
                                boost::asio::local::stream_protocol::socket socket) {
    if (error) {
      if (error == boost::asio::error::operation_aborted) return;
    } else {
      std::shared_ptr<UdsConnection> connection;
      {
        std::lock_guard<std::mutex> lock(_mutex);
        // The framer holds the tracker: see Tracker.
        UdsConnection::Framer framer = [tracker = _tracker, framer = _framer](const uint8_t* data, size_t size) {
          return framer(data, size);
        };
        connection = std::make_shared<UdsConnection>(std::move(socket), _nextId++, std::move(framer), _tracker.get());
        _connections[connection->Id()] = connection;
      }
      connection->StartAccepted();
    }
    Accept();
  });
}

void UdsServer::Stop() {
  if (!_started) return;
  _started = false;
  _tracker->Detach();
  boost::system::error_code ignored;
  _acceptor.close(ignored);
  std::map<uint64_t, std::shared_ptr<UdsConnection>> connections;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    connections.swap(_connections);
  }
  for (auto& [id, connection] : connections) connection->Close();
  ::unlink(_path.c_str());
}

bool UdsServer::Send(uint64_t id, std::vector<uint8_t> frame) {
  std::lock_guard<std::mutex> lock(_mutex);
  auto it = _connections.find(id);
  if (it == _connections.end()) return false;
  it->second->Send(std::move(frame));
  return true;
}

bool UdsServer::Close(uint64_t id) {
  std::lock_guard<std::mutex> lock(_mutex);
  auto it = _connections.find(id);
  if (it == _connections.end()) return false;
  it->second->Close();
  return true;
}

}  // namespace Common
