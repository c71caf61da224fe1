#include "tools/qor-dpsim/Channel.h"

#include <unistd.h>

#include <boost/asio/write.hpp>
#include <cstring>
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
  ReadSome();
}

void Connection::ReadSome() {
  // Whatever the socket holds is read at once and every whole message in it is handled before the next read: one
  // read and one completion for many messages instead of two per message.
  if (_buffer.size() - _filled < kReadChunk) _buffer.resize(_filled + kReadChunk);
  _socket.async_read_some(asio::buffer(_buffer.data() + _filled, _buffer.size() - _filled),
                          [self = shared_from_this()](const boost::system::error_code& error, size_t read) {
                            if (self->_closed) return;
                            if (error) {
                              // A message cut short by the close: the bytes read of it are captured.
                              if (self->_filled > 0)
                                self->_channel.Capture().Record(Direction::kIn, self->_id, self->_buffer.data(),
                                                                self->_filled);
                              self->Close();
                              return;
                            }
                            self->_filled += read;
                            if (self->TakeMessages()) self->ReadSome();
                          });
}

bool Connection::TakeMessages() {
  size_t start = 0;
  while (!_closed && _filled - start >= 4) {
    const uint8_t* header = _buffer.data() + start;
    const size_t length = (static_cast<size_t>(header[2]) << 8) | header[3];
    if (length < 4) {
      // No way to find the next message boundary: drop the connection, the agent reopens.
      _channel.Capture().Record(Direction::kIn, _id, header, 4);
      std::cerr << "qor-dpsim: " << _channel.Name() << ": message length " << length
                << " below its header, closing connection " << _id << std::endl;
      Close();
      return false;
    }
    if (_filled - start < length) break;
    _channel.Capture().Record(Direction::kIn, _id, header, length);
    _message.assign(header, header + length);
    start += length;
    _channel.Module().OnMessage(*this, _message);
  }
  if (_closed) return false;
  // Keep the unfinished message at the front of the buffer.
  std::memmove(_buffer.data(), _buffer.data() + start, _filled - start);
  _filled -= start;
  return true;
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
