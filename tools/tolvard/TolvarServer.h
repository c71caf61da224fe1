// tolvard's TCP server: accepts clients, reads length-prefixed frames, serves select-vdb, monitors, modify
// (one request list = one atomic, durable transaction), get and echo, and pushes each committed transaction to
// the monitors it touches (updates, then one barrier per monitor).
//
// Everything runs on the one thread that calls Run(); the store, sessions and monitors are touched only there.
// A client that stops reading is disconnected once its unsent output exceeds the bound, so it never stalls the
// others; a frame over the size bound closes its connection; a frame that does not parse is answered with an
// error.
#pragma once

// clang-format off
// Boost 1.74's asio uses std::exchange without including <utility> itself.
#include <utility>
// clang-format on

#include <boost/asio.hpp>
#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "tools/tolvard/ObjectStore.h"
#include "zantix/qor/tolvar/wire.pb.h"

namespace qor::tolvar {

class TolvardSession;

struct TolvarServerOptions {
  std::string address = "127.0.0.1";
  uint16_t port = 2480;
  size_t maxFrame = 64u * 1024 * 1024;
  size_t maxPendingOutput = 256u * 1024 * 1024;
  bool verbose = false;
};

class TolvarServer {
 public:
  TolvarServer(boost::asio::io_context& io, ObjectStore& store, TolvarServerOptions options);
  ~TolvarServer();

  // Binds and starts accepting; false with `error` when the address cannot be bound.
  bool Listen(std::string* error);
  uint16_t BoundPort() const { return _boundPort; }

  // Called by sessions (server thread).
  ObjectStore& Store() { return _store; }
  const TolvarServerOptions& Options() const { return _options; }
  void Remove(const std::shared_ptr<TolvardSession>& session);
  // Commits the changes and sends them to every monitor; false with `error` when the commit fails.
  bool CommitAndPublish(const std::vector<ObjectChange>& changes, std::string* error);
  void Log(const std::string& line) const;

 private:
  void Accept();

  ObjectStore& _store;
  TolvarServerOptions _options;
  boost::asio::ip::tcp::acceptor _acceptor;
  uint16_t _boundPort = 0;
  std::set<std::shared_ptr<TolvardSession>> _sessions;
};

}  // namespace qor::tolvar
