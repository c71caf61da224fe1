// Operator command sockets in the Open vSwitch "unixctl" protocol (JSON-RPC over a Unix socket), so that
// `ovs-appctl -t SOCKET COMMAND ARGS...` works against them.
//
// UnixctlServer: register commands (name, usage, argument counts, handler), Start() to listen on a socket and
// serve on the server's own thread, Stop() to close it (prompt: the loop is woken, not polled). Several servers may
// run in one process, each with its own commands; each answers "list-commands" (its own commands) and "version".
// Handlers run on the server's thread, one at a time; RegisterCommand and Stop may be called from any thread,
// RegisterCommand also from a handler. What clients may hold is bounded (UnixctlLimits): a client beyond the
// limits waits or is disconnected, and the rest of the process keeps its descriptors and memory.
//
// UnixctlClient::Call: one command, one answer, with a time-out; usable from any thread.
//
// Paths are real file-system paths: resolve the system's fixed paths with qor::QorPath first.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct qor_unixctl_server;

namespace qor::ovs {

struct UnixctlReply {
  bool ok = true;
  std::string text;  // a newline is added on the wire when the text does not end in one

  static UnixctlReply Ok(std::string text = {}) { return {true, std::move(text)}; }
  static UnixctlReply Error(std::string text) { return {false, std::move(text)}; }
};

// What one server grants its clients. The defaults suit an operator's socket: ovs-appctl sends one request of at
// most a few arguments and reads its reply at once.
struct UnixctlLimits {
  int maxConnections = 100;                      // clients served at once; more wait in the listen queue
  unsigned int maxRequestBytes = 1 << 20;        // a longer request closes its connection
  size_t maxBacklogBytes = 256 << 20;            // replies not yet taken, all clients; above it the largest goes
  std::chrono::milliseconds idleTimeout{60000};  // a client that neither sends nor takes anything is closed
  std::chrono::milliseconds acceptRetry{1000};   // rest after accept() fails (out of descriptors) instead of spinning
};

class UnixctlServer {
 public:
  // argv[0] is the command name, the arguments follow (their count already checked against min and max).
  using Handler = std::function<UnixctlReply(const std::vector<std::string>& argv)>;

  // `path`: the socket file, absolute; its parent directories are created by Start().
  explicit UnixctlServer(std::string path, UnixctlLimits limits = {});
  // Stops the server.
  ~UnixctlServer();
  UnixctlServer(const UnixctlServer&) = delete;
  UnixctlServer& operator=(const UnixctlServer&) = delete;

  // False (logged) for an empty name, a name registered twice on this server, a name the server answers itself
  // ("list-commands", "version"), negative counts or max below min.
  bool RegisterCommand(const std::string& name, const std::string& usage, int minArgs, int maxArgs, Handler handler);

  // Creates the socket and starts serving. Returns 0, or an errno value (logged): EADDRINUSE when another live
  // server already answers on the path (a stale socket file is replaced), EINVAL for a relative path, EALREADY
  // when already started.
  int Start();
  // Stops serving, closes the connections and removes the socket file; idempotent. Not from a handler.
  void Stop();

  bool Running() const;
  const std::string& Path() const { return _path; }
  // Clients connected now (0 when not running).
  int Connections() const;

 private:
  struct Command {
    std::string usage;
    int minArgs = 0;
    int maxArgs = 0;
    Handler handler;
  };

  int Create(qor_unixctl_server** server);
  static int Dispatch(void* context, int argc, const char* argv[], char** reply);
  static void Note(void* context, const char* text);
  UnixctlReply Handle(const std::vector<std::string>& argv);
  std::string ListCommands() const;
  void Loop();

  const std::string _path;
  const UnixctlLimits _limits;
  mutable std::mutex _mutex;  // guards the members below
  std::map<std::string, Command> _commands;
  qor_unixctl_server* _server = nullptr;
  std::thread _thread;
  bool _starting = false;
  bool _stopping = false;
};

struct UnixctlResult {
  int error = 0;     // 0 when the server answered; otherwise an errno value (ENOENT, ECONNREFUSED, ETIMEDOUT...)
  bool ok = false;   // the answer was a success reply
  std::string text;  // the answer's text (success or error), or a description of `error`

  bool Answered() const { return error == 0; }
};

class UnixctlClient {
 public:
  static UnixctlResult Call(const std::string& path, const std::string& command,
                            const std::vector<std::string>& args = {},
                            std::chrono::milliseconds timeout = std::chrono::seconds(10));
};

}  // namespace qor::ovs
