#include "tools/qor-dpsim/Channel.h"

#include <unistd.h>

#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <filesystem>
#include <iostream>

namespace qor::dpsim {

namespace asio = boost::asio;
using stream = asio::local::stream_protocol;

void ListenAt(stream::acceptor& acceptor, const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  ::unlink(path.c_str());
  stream::endpoint endpoint(path);
  acceptor.open(endpoint.protocol());
  acceptor.bind(endpoint);
  acceptor.listen();
}

Connection::Connection(stream::socket socket, uint64_t id, Channel& channel)
    : _socket(std::move(socket)), _id(id), _channel(channel) {}

void Connection::Start() {
  _channel.Module().OnConnect(*this);
  ReadHeader();
}

void Connection::ReadHeader() {
  _incoming.assign(4, 0);
  asio::async_read(_socket, asio::buffer(_incoming),
                   [self = shared_from_this()](const boost::system::error_code& error, size_t read) {
                     if (self->_closed) return;
                     if (error) {
                       if (read > 0)
                         self->_channel.Capture().Record(Direction::kIn, self->_id, self->_incoming.data(), read);
                       self->Close();
                       return;
                     }
                     size_t length = (static_cast<size_t>(self->_incoming[2]) << 8) | self->_incoming[3];
                     if (length < 4) {
                       // No way to find the next message boundary: drop the connection, the agent reopens.
                       self->_channel.Capture().Record(Direction::kIn, self->_id, self->_incoming.data(), 4);
                       std::cerr << "qor-dpsim: " << self->_channel.Name() << ": message length " << length
                                 << " below its header, closing connection " << self->_id << std::endl;
                       self->Close();
                       return;
                     }
                     self->_incoming.resize(length);
                     self->ReadBody();
                   });
}

void Connection::ReadBody() {
  if (_incoming.size() == 4) {
    _channel.Capture().Record(Direction::kIn, _id, _incoming.data(), _incoming.size());
    _channel.Module().OnMessage(*this, _incoming);
    if (!_closed) ReadHeader();
    return;
  }
  asio::async_read(_socket, asio::buffer(_incoming.data() + 4, _incoming.size() - 4),
                   [self = shared_from_this()](const boost::system::error_code& error, size_t read) {
                     if (self->_closed) return;
                     if (error) {
                       self->_channel.Capture().Record(Direction::kIn, self->_id, self->_incoming.data(), 4 + read);
                       self->Close();
                       return;
                     }
                     self->_channel.Capture().Record(Direction::kIn, self->_id, self->_incoming.data(),
                                                     self->_incoming.size());
                     std::vector<uint8_t> message = std::move(self->_incoming);
                     self->_channel.Module().OnMessage(*self, message);
                     if (!self->_closed) self->ReadHeader();
                   });
}

void Connection::Send(std::vector<uint8_t> message) {
  if (_closed || message.empty()) return;
  _outgoing.push_back(std::move(message));
  if (_outgoing.size() == 1) WriteNext();
}

void Connection::WriteNext() {
  // Captured as its write starts: the agent may answer before this write's completion runs, and the capture must
  // keep the message before the answer.
  auto& next = _outgoing.front();
  _channel.Capture().Record(Direction::kOut, _id, next.data(), next.size());
  asio::async_write(_socket, asio::buffer(_outgoing.front()),
                    [self = shared_from_this()](const boost::system::error_code& error, size_t) {
                      if (self->_closed) return;
                      if (error) {
                        self->Close();
                        return;
                      }
                      self->_outgoing.pop_front();
                      if (!self->_outgoing.empty()) self->WriteNext();
                    });
}

void Connection::Close() {
  if (_closed) return;
  _closed = true;
  boost::system::error_code ignored;
  _socket.close(ignored);
  _channel.Module().OnDisconnect(*this);
  _channel.Forget(_id);  // may drop the last reference held by the channel; callers hold their own
}

Channel::Channel(asio::io_context& context, std::string name, std::string path, std::unique_ptr<ChannelModule> module,
                 const std::string& captureDirectory)
    : _context(context),
      _name(std::move(name)),
      _path(std::move(path)),
      _module(std::move(module)),
      _capture(captureDirectory, _name),
      _acceptor(context) {
  ListenAt(_acceptor, _path);
  Accept();
}

Channel::~Channel() {
  boost::system::error_code ignored;
  _acceptor.close(ignored);
  auto connections = _connections;
  for (auto& [id, connection] : connections) connection->Close();
  ::unlink(_path.c_str());
}

void Channel::Accept() {
  _acceptor.async_accept([this](const boost::system::error_code& error, stream::socket socket) {
    if (error) {
      if (error == asio::error::operation_aborted) return;
      std::cerr << "qor-dpsim: " << _name << ": accept failed: " << error.message() << std::endl;
    } else {
      auto connection = std::make_shared<Connection>(std::move(socket), _nextId++, *this);
      _connections[connection->Id()] = connection;
      connection->Start();
    }
    Accept();
  });
}

void Channel::Broadcast(const std::vector<uint8_t>& message) {
  auto connections = _connections;
  for (auto& [id, connection] : connections) connection->Send(message);
}

void Channel::Forget(uint64_t id) {
  _connections.erase(id);
}

}  // namespace qor::dpsim
