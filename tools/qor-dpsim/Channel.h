// One simulated kernel channel: a listening Unix stream socket at "$QOR_ROOT/var/run/zantix/tkmlink/<name>", the
// connections accepted on it and the module that answers them.
//
// Framing is the channel's own: every message starts with a 4-byte header whose bytes 2–3 are the big-endian total
// length. A length below 4 cannot be framed: the bytes read are captured, the error reported on standard error and
// the connection closed (the agent reopens it). Several connections may be open at once; each is independent.
// A connection reads whatever the socket holds and takes every whole message from it in order, so messages may
// arrive cut anywhere or many to one read.
//
// Threads: everything runs on the simulator's IO thread (the io_context passed in); other threads post to it.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tools/qor-dpsim/Capture.h"
#include "tools/qor-dpsim/ChannelModule.h"

namespace qor::dpsim {

class Channel;

// Opens `acceptor` listening at `path`, creating the parent directory and replacing a stale socket file. Throws
// boost::system::system_error on failure.
void ListenAt(boost::asio::local::stream_protocol::acceptor& acceptor, const std::string& path);

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(boost::asio::local::stream_protocol::socket socket, uint64_t id, Channel& channel);

  // Starts reading messages.
  void Start();
  // Queues one whole message for the agent (captured when its write starts).
  void Send(std::vector<uint8_t> message);
  // Closes the socket; the channel forgets the connection.
  void Close();
  uint64_t Id() const { return _id; }
  Channel& OwnerChannel() { return _channel; }

 private:
  // Reads what the socket holds into the buffer, then takes the whole messages from it.
  void ReadSome();
  // Hands every whole message in the buffer to the module, in order, and keeps the rest; false when the connection
  // closed (bad framing, or the module closed it).
  bool TakeMessages();
  void WriteNext();

  static constexpr size_t kReadChunk = 64 * 1024;

  boost::asio::local::stream_protocol::socket _socket;
  uint64_t _id;
  Channel& _channel;
  std::vector<uint8_t> _buffer;  // bytes read, the first _filled of them not yet taken as messages
  size_t _filled = 0;
  std::vector<uint8_t> _message;  // the message being handled (reused: no allocation per message)
  std::deque<std::vector<uint8_t>> _outgoing;
  bool _closed = false;
};

class Channel {
 public:
  // Binds and listens at `path` (a stale socket file is replaced). Throws boost::system::system_error on failure.
  Channel(boost::asio::io_context& context, std::string name, std::string path, std::unique_ptr<ChannelModule> module,
          const std::string& captureDirectory);
  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  const std::string& Name() const { return _name; }
  const std::string& Path() const { return _path; }
  ChannelModule& Module() { return *_module; }
  CaptureWriter& Capture() { return _capture; }
  // Open connections by id.
  const std::map<uint64_t, std::shared_ptr<Connection>>& Connections() const { return _connections; }
  // Sends `message` on every open connection.
  void Broadcast(const std::vector<uint8_t>& message);
  uint64_t AcceptedCount() const { return _nextId - 1; }

  // Called by a connection that closed.
  void Forget(uint64_t id);

 private:
  void Accept();

  boost::asio::io_context& _context;
  std::string _name;
  std::string _path;
  std::unique_ptr<ChannelModule> _module;
  CaptureWriter _capture;
  boost::asio::local::stream_protocol::acceptor _acceptor;
  std::map<uint64_t, std::shared_ptr<Connection>> _connections;
  uint64_t _nextId = 1;
};

}  // namespace qor::dpsim
