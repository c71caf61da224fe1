// Common::UdsConnection: one Unix stream socket connection (client side or accepted by a UdsServer) that delimits
// frames with a caller-given framer and writes whole frames in order.
//
// Framer(bytes, size) → size of the first complete frame, 0 when more bytes are needed, negative when the stream
// can no longer be framed (the connection is then closed). Bytes left unframed when the peer closes are handed to
// the listener as a last, short frame, so that it can report them.
//
// Ownership: held by std::shared_ptr; pending operations hold it too. Threads: every callback runs on the thread
// running the io_context; Send and Close may be called from any thread (they post to it).
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dataplane/uds/UdsConnectionListener.h"

namespace Common {

class UdsConnection : public std::enable_shared_from_this<UdsConnection> {
 public:
  using Framer = std::function<long(const uint8_t* data, size_t size)>;

  UdsConnection(boost::asio::io_context& context, uint64_t id, Framer framer, UdsConnectionListener* listener);
  // Accepted side: wraps a connected socket.
  UdsConnection(boost::asio::local::stream_protocol::socket socket, uint64_t id, Framer framer,
                UdsConnectionListener* listener);

  // Client side: connects to `path` asynchronously; the listener sees "up" on success or "down" on failure.
  void Connect(const std::string& path);
  // Accepted side: reports "up" and starts reading.
  void StartAccepted();
  // Queues one frame for writing.
  void Send(std::vector<uint8_t> frame);
  // Closes the socket and reports "down" once.
  void Close();
  uint64_t Id() const { return _id; }

 private:
  void Read();
  void WriteNext();
  void CloseHere();

  boost::asio::local::stream_protocol::socket _socket;
  uint64_t _id;
  Framer _framer;
  UdsConnectionListener* _listener;
  std::vector<uint8_t> _buffer;
  size_t _buffered = 0;
  std::deque<std::vector<uint8_t>> _outgoing;
  bool _up = false;
  bool _closed = false;
};

}  // namespace Common
