#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/PlatformLog.h"
#include "platform/ovs/Unixctl.h"
#include "platform/ovs/unixctl_shim.h"

namespace qor::ovs {

using VevUroro::LOG_LEVEL_DEBUG;
using VevUroro::LOG_LEVEL_ERROR;
using VevUroro::LOG_LEVEL_INFO;
using VevUroro::LOG_LEVEL_WARN;

namespace {

// Commands every server answers itself.
bool Reserved(const std::string& name) {
  return name == "list-commands" || name == "version";
}

// True when a server accepts connections on `path` right now (a leftover socket file refuses them).
bool SomeoneListens(const std::string& path) {
  sockaddr_un address{};
  if (path.size() >= sizeof(address.sun_path)) return false;  // cannot tell; the library will replace it
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool listening = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return listening;
}

std::string ErrnoText(int error) {
  return std::error_code(error, std::generic_category()).message();
}

}  // namespace

UnixctlServer::UnixctlServer(std::string path, UnixctlLimits limits) : _path(std::move(path)), _limits(limits) {}

UnixctlServer::~UnixctlServer() {
  Stop();
}

bool UnixctlServer::RegisterCommand(const std::string& name, const std::string& usage, int minArgs, int maxArgs,
                                    Handler handler) {
  if (name.empty() || Reserved(name) || minArgs < 0 || maxArgs < minArgs || !handler) {
    QOR_LIB_LOG(platform::library_log_level, LOG_LEVEL_ERROR, "UnixctlServer: %1: cannot register command \"%2\"",
                _path, name);
    return false;
  }
  std::lock_guard<std::mutex> lock(_mutex);
  if (!_commands.emplace(name, Command{usage, minArgs, maxArgs, std::move(handler)}).second) {
    QOR_LIB_LOG(platform::library_log_level, LOG_LEVEL_ERROR, "UnixctlServer: %1: command \"%2\" registered twice",
                _path, name);
    return false;
  }
  return true;
}

int UnixctlServer::Start() {
  {
    std::lock_guard<std::mutex> lock(_mutex);
    if (_server || _starting) return EALREADY;
    _starting = true;
  }
  // Created without holding _mutex: the file system work may take a while.
  qor_unixctl_server* server = nullptr;
  int error = Create(&server);
  std::lock_guard<std::mutex> lock(_mutex);
  _starting = false;
  if (error) return error;
  _server = server;
  _stopping = false;
  try {
    _thread = std::thread([this] { Loop(); });
  } catch (...) {
    // Without its thread the server is not started: Stop must not wait for one.
    _server = nullptr;
    qor_unixctl_server_destroy(server);
    throw;
  }
  QOR_LIB_LOG(platform::library_log_level, LOG_LEVEL_INFO, "UnixctlServer: serving %1", _path);
  return 0;
}

int UnixctlServer::Create(qor_unixctl_server** server) {
  if (_path.empty() || _path.front() != '/') {
    QOR_LIB_LOG(platform::library_log_level, LOG_LEVEL_ERROR, "UnixctlServer: socket path \"%1\" is not absolute",
                _path);
    return EINVAL;
  }
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(_path).parent_path(), ec);
  if (ec) {
    QOR_LIB_LOG(platform::library_log_level, LOG_LEVEL_ERROR, "UnixctlServer: cannot create the directory of %1: %2",
                _path, ec.message());
    return ec.value() ? ec.value() : EIO;
  }
  // The library removes whatever file is at the path: never take the socket of a server that is alive.
  if (SomeoneListens(_path)) {
    QOR_LIB_LOG(platform::library_log_level, LOG_LEVEL_ERROR, "UnixctlServer: %1 is served by another process", _path);
    return EADDRINUSE;
  }
  qor_unixctl_limits limits{_limits.maxConnections, _limits.maxRequestBytes, _limits.maxBacklogBytes,
                            static_cast<int>(_limits.idleTimeout.count()),
                            static_cast<int>(_limits.acceptRetry.count())};
  int error =
      qor_unixctl_server_create(_path.c_str(), &limits, &UnixctlServer::Dispatch, &UnixctlServer::Note, this, server);
  if (error) {
    QOR_LIB_LOG(platform::library_log_level, LOG_LEVEL_ERROR, "UnixctlServer: cannot listen on %1: %2", _path,
                ErrnoText(error));
  }
  return error;
}

void UnixctlServer::Stop() {
  qor_unixctl_server* server;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    if (!_server || _stopping) return;
    _stopping = true;
    server = _server;
  }
  qor_unixctl_server_wake(server);
  _thread.join();
  qor_unixctl_server_destroy(server);
  std::lock_guard<std::mutex> lock(_mutex);
  _server = nullptr;
  QOR_LIB_LOG(platform::library_log_level, LOG_LEVEL_INFO, "UnixctlServer: stopped serving %1", _path);
}

bool UnixctlServer::Running() const {
  std::lock_guard<std::mutex> lock(_mutex);
  return _server && !_stopping;
}

int UnixctlServer::Connections() const {
  std::lock_guard<std::mutex> lock(_mutex);
  // Once stopping, the server may be destroyed at any moment.
  return _server && !_stopping ? qor_unixctl_server_connections(_server) : 0;
}

void UnixctlServer::Loop() {
  pthread_setname_np(pthread_self(), "qor-unixctl");
  // A client that hangs up before its answer must not end the process: with SIGPIPE blocked on this thread the
  // library's write fails with EPIPE and it drops the connection. (The signal stays pending on this thread only.)
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  qor_unixctl_server* server;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    server = _server;
  }
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(_mutex);
      if (_stopping) return;
    }
    qor_unixctl_server_run_once(server);
  }
}

int UnixctlServer::Dispatch(void* context, int argc, const char* argv[], char** reply) {
  std::vector<std::string> args(argv, argv + argc);
  UnixctlReply answer = static_cast<UnixctlServer*>(context)->Handle(args);
  // The protocol carries C strings: a NUL would end the reply there, silently.
  for (size_t at = 0; (at = answer.text.find('\0', at)) != std::string::npos; at += 4) {
    answer.text.replace(at, 1, "\\x00");
  }
  *reply = strdup(answer.text.c_str());
  return answer.ok ? 1 : 0;
}

void UnixctlServer::Note(void* context, const char* text) {
  QOR_LIB_LOG(platform::library_log_level, LOG_LEVEL_WARN, "UnixctlServer: %1: %2",
              static_cast<UnixctlServer*>(context)->_path, text);
}

// As the library's own "list-commands": every command by name, with its usage.
std::string UnixctlServer::ListCommands() const {
  std::map<std::string, std::string> usages = {{"list-commands", ""}, {"version", ""}};
  {
    std::lock_guard<std::mutex> lock(_mutex);
    for (const auto& [name, command] : _commands) usages.emplace(name, command.usage);
  }
  std::string text = "The available commands are:\n";
  for (const auto& [name, usage] : usages) {
    text += "  " + name + std::string(name.size() < 23 ? 23 - name.size() : 0, ' ') + " " + usage + "\n";
  }
  return text;
}

// Checks and messages as the library's own.
UnixctlReply UnixctlServer::Handle(const std::vector<std::string>& argv) {
  const std::string& name = argv.at(0);
  if (Reserved(name) && argv.size() > 1) {
    return UnixctlReply::Error("\"" + name + "\" command takes at most 0 arguments");
  }
  if (name == "list-commands") return UnixctlReply::Ok(ListCommands());
  if (name == "version") return UnixctlReply::Ok(qor_unixctl_version());
  Command command;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    auto it = _commands.find(name);
    if (it == _commands.end()) {
      return UnixctlReply::Error("\"" + name + "\" is not a valid command (use \"list-commands\" to see a list of " +
                                 "valid commands)");
    }
    command = it->second;
  }
  int count = static_cast<int>(argv.size()) - 1;
  if (count < command.minArgs) {
    return UnixctlReply::Error("\"" + name + "\" command requires at least " + std::to_string(command.minArgs) +
                               " arguments");
  }
  if (count > command.maxArgs) {
    return UnixctlReply::Error("\"" + name + "\" command takes at most " + std::to_string(command.maxArgs) +
                               " arguments");
  }
  QOR_LIB_LOG(platform::library_log_level, LOG_LEVEL_DEBUG, "UnixctlServer: %1: command %2", _path, name);
  try {
    return command.handler(argv);
  } catch (const std::exception& e) {
    return UnixctlReply::Error("\"" + name + "\" failed: " + e.what());
  }
}

}  // namespace qor::ovs
