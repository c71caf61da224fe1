// tolvard's TCP server: accepts clients, reads length-prefixed frames, serves select-vdb, monitors, modify
// (one request list = one atomic, durable transaction), get and echo, and pushes each committed transaction to
// the monitors it touches (updates, then one barrier per monitor).
//
// Everything runs on the one thread that calls Run(); the store, sessions and monitors are touched only there.
// Transactions are committed in groups: those read in one turn of the event loop share one sync to disk, and each is
// acknowledged and published only after it.
// Bounds (TolvarServerOptions): connections beyond the bound are closed at once; a frame over the size bound closes
// its connection; when the unfinished request frames of all connections exceed the input bound, the connection
// holding the largest is closed; output is sent as clients drain it, and only a client that lets more than the
// pending bound wait and drains nothing for the stall time-out is dropped, so it never stalls the others. A failed
// accept (descriptors exhausted) is retried after a growing pause and logged at most once a second. A frame that
// does not parse is answered with an error.
#pragma once

// clang-format off
// Boost 1.74's asio uses std::exchange without including <utility> itself.
#include <utility>
// clang-format on

#include <boost/asio.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "tools/tolvard/ObjectStore.h"
#include "zantix/qor/tolvar/wire.pb.h"

namespace qor::tolvar {

class TolvardSession;
struct CommittedTransaction;

struct TolvarServerOptions {
  std::string address = "127.0.0.1";
  uint16_t port = 2480;
  size_t maxFrame = 64u * 1024 * 1024;
  size_t maxPendingOutput = 256u * 1024 * 1024;
  size_t maxConnections = 512;
  size_t maxInput = 256u * 1024 * 1024;
  std::chrono::milliseconds stallTimeout{10000};
  // How long after the commit that made the write-ahead log long it is copied into the database file: the commit's
  // answers and monitor updates go out first.
  std::chrono::milliseconds checkpointDelay{100};
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
  // Group commit: stages a checked transaction into the group that is committed once the requests already read
  // are handled (one SQLite transaction and one sync for all of them). After that commit, in staging order, each
  // transaction is queued for every monitor it touches and `done` is called (false with the error when the group
  // could not be written: then none of it was applied).
  using TransactionDone = std::function<void(bool ok, const std::string& error)>;
  void Stage(std::shared_ptr<const CommittedTransaction> transaction, TransactionDone done);
  // Commits the staged group now: before any request that reads the store, or whose answer would otherwise overtake
  // a staged transaction's.
  void CommitGroup();
  // A session's unfinished input grew (or shrank) by `delta` bytes; over the input bound, the session holding the
  // most is closed.
  void InputChanged(std::ptrdiff_t delta);
  void Log(const std::string& line) const;

 private:
  void Accept();
  void RetryAccept();
  // Logs `line` unless a line of the same kind went out less than a second ago; suppressed lines are counted.
  void LogLimited(const std::string& kind, const std::string& line);
  void CheckStalls();
  // Arms the checkpoint timer when the log is due and the timer is not armed yet.
  void ScheduleCheckpoint();

  struct Limited {
    std::chrono::steady_clock::time_point last;
    size_t suppressed = 0;
  };

  ObjectStore& _store;
  TolvarServerOptions _options;
  boost::asio::ip::tcp::acceptor _acceptor;
  boost::asio::steady_timer _acceptRetry;
  std::chrono::milliseconds _acceptBackoff{0};
  boost::asio::steady_timer _stallTimer;
  boost::asio::steady_timer _checkpointTimer;
  bool _checkpointArmed = false;
  uint16_t _boundPort = 0;
  std::set<std::shared_ptr<TolvardSession>> _sessions;
  size_t _inputBytes = 0;
  std::map<std::string, Limited> _limited;
  struct StagedTransaction {
    std::shared_ptr<const CommittedTransaction> transaction;
    TransactionDone done;
  };
  std::vector<StagedTransaction> _group;
  bool _groupPosted = false;
};

}  // namespace qor::tolvar
