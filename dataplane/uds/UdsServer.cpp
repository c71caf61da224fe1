#include "dataplane/uds/UdsServer.h"

#include <unistd.h>

namespace Common {

// Forwards to the user's listener and forgets connections that went down.
class UdsServer::Tracker : public UdsConnectionListener {
 public:
  explicit Tracker(UdsServer& server) : _server(server) {}
  void OnConnectionStatusChange(uint64_t id, bool up) override {
    if (!up) {
      std::lock_guard<std::mutex> lock(_server._mutex);
      _server._connections.erase(id);
    }
    _server._listener->OnConnectionStatusChange(id, up);
  }
  void OnMessage(uint64_t id, const uint8_t* data, size_t length) override {
    _server._listener->OnMessage(id, data, length);
  }

 private:
  UdsServer& _server;
};

UdsServer::UdsServer(boost::asio::io_context& context, std::string path, UdsConnection::Framer framer,
                     UdsConnectionListener* listener)
    : _context(context),
      _path(std::move(path)),
      _framer(std::move(framer)),
      _listener(listener),
      _tracker(std::make_unique<Tracker>(*this)),
      _acceptor(context) {}

UdsServer::~UdsServer() {
  Stop();
}

bool UdsServer::Start(std::string* error) {
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
  _acceptor.async_accept(
      [this](const boost::system::error_code& error, boost::asio::local::stream_protocol::socket socket) {
        if (error) {
          if (error == boost::asio::error::operation_aborted) return;
        } else {
          std::shared_ptr<UdsConnection> connection;
          {
            std::lock_guard<std::mutex> lock(_mutex);
            connection = std::make_shared<UdsConnection>(std::move(socket), _nextId++, _framer, _tracker.get());
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
