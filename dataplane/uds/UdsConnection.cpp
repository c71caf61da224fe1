#include "dataplane/uds/UdsConnection.h"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

namespace Common {

namespace asio = boost::asio;
using stream = asio::local::stream_protocol;

namespace {
constexpr size_t kReadChunk = 65536;
}

UdsConnection::UdsConnection(asio::io_context& context, uint64_t id, Framer framer, UdsConnectionListener* listener)
    : _socket(context), _id(id), _framer(std::move(framer)), _listener(listener) {}

UdsConnection::UdsConnection(stream::socket socket, uint64_t id, Framer framer, UdsConnectionListener* listener)
    : _socket(std::move(socket)), _id(id), _framer(std::move(framer)), _listener(listener) {}

void UdsConnection::Connect(const std::string& path) {
  _socket.async_connect(stream::endpoint(path), [self = shared_from_this()](const boost::system::error_code& error) {
    if (self->_closed) return;
    if (error) {
      self->_closed = true;
      boost::system::error_code ignored;
      self->_socket.close(ignored);
      self->_listener->OnConnectionStatusChange(self->_id, false);
      return;
    }
    self->StartAccepted();
  });
}

void UdsConnection::StartAccepted() {
  _up = true;
  _listener->OnConnectionStatusChange(_id, true);
  if (!_closed) Read();
}

void UdsConnection::Read() {
  if (_buffer.size() < _buffered + kReadChunk) _buffer.resize(_buffered + kReadChunk);
  _socket.async_read_some(
      asio::buffer(_buffer.data() + _buffered, kReadChunk),
      [self = shared_from_this()](const boost::system::error_code& error, size_t read) {
        if (self->_closed) return;
        if (error) {
          if (self->_buffered > 0) self->_listener->OnMessage(self->_id, self->_buffer.data(), self->_buffered);
          self->CloseHere();
          return;
        }
        self->_buffered += read;
        size_t start = 0;
        while (!self->_closed && start < self->_buffered) {
          long frame = self->_framer(self->_buffer.data() + start, self->_buffered - start);
          if (frame < 0 || static_cast<size_t>(frame) > self->_buffered - start) {
            if (frame < 0) {
              self->CloseHere();
              return;
            }
            break;
          }
          if (frame == 0) break;
          self->_listener->OnMessage(self->_id, self->_buffer.data() + start, static_cast<size_t>(frame));
          start += static_cast<size_t>(frame);
        }
        if (self->_closed) return;
        self->_buffer.erase(self->_buffer.begin(), self->_buffer.begin() + static_cast<long>(start));
        self->_buffered -= start;
        self->Read();
      });
}

void UdsConnection::Send(std::vector<uint8_t> frame) {
  asio::post(_socket.get_executor(), [self = shared_from_this(), frame = std::move(frame)]() mutable {
    if (self->_closed || !self->_up) return;
    self->_outgoing.push_back(std::move(frame));
    if (self->_outgoing.size() == 1) self->WriteNext();
  });
}

void UdsConnection::WriteNext() {
  asio::async_write(_socket, asio::buffer(_outgoing.front()),
                    [self = shared_from_this()](const boost::system::error_code& error, size_t) {
                      if (self->_closed) return;
                      if (error) {
                        self->CloseHere();
                        return;
                      }
                      self->_outgoing.pop_front();
                      if (!self->_outgoing.empty()) self->WriteNext();
                    });
}

void UdsConnection::Close() {
  asio::post(_socket.get_executor(), [self = shared_from_this()] { self->CloseHere(); });
}

void UdsConnection::CloseHere() {
  if (_closed) return;
  _closed = true;
  boost::system::error_code ignored;
  _socket.close(ignored);
  _outgoing.clear();
  _listener->OnConnectionStatusChange(_id, false);
}

}  // namespace Common
