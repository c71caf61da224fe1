// Common::UdsServer: listens on a Unix socket path and hands every accepted connection, with its own id and the
// server's framer, to the listener.
//
// Threads: Start, Stop and Send on any thread; accepts and callbacks run on the io_context's thread. Connection ids
// count from 1. The socket file is replaced at Start and removed at Stop. Stop closes every connection and detaches
// the listener: once Stop has returned, the listener hears nothing more (a callback already running on the IO
// thread finishes), so server and listener may be destroyed while the io_context still runs.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "dataplane/uds/UdsConnection.h"

namespace Common {

class UdsServer {
 public:
  UdsServer(boost::asio::io_context& context, std::string path, UdsConnection::Framer framer,
            UdsConnectionListener* listener);
  ~UdsServer();
  UdsServer(const UdsServer&) = delete;
  UdsServer& operator=(const UdsServer&) = delete;

  // False with `error` set when the path cannot be bound.
  bool Start(std::string* error);
  void Stop();
  // Sends one frame on connection `id`; false when it is not open.
  bool Send(uint64_t id, std::vector<uint8_t> frame);
  bool Close(uint64_t id);

 private:
  class Tracker;
  void Accept();

  [[maybe_unused]] boost::asio::io_context& _context;
  std::string _path;
  UdsConnection::Framer _framer;
  UdsConnectionListener* _listener;
  std::shared_ptr<Tracker> _tracker;  // replaced at each Start
  boost::asio::local::stream_protocol::acceptor _acceptor;
  std::mutex _mutex;
  std::map<uint64_t, std::shared_ptr<UdsConnection>> _connections;
  uint64_t _nextId = 1;
  bool _started = false;
};

}  // namespace Common
