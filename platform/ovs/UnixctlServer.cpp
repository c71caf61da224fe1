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

namespace {

// Commands the library registers itself; registering them again would abort the process.
bool Reserved(const std::string& name) {
  return name == "list-commands" || name == "version" || name.starts_with("vlog/");
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

UnixctlServer::UnixctlServer(std::string path) : _path(std::move(path)) {}

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
  bool fromLoop;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    if (!_commands.emplace(name, Command{usage, minArgs, maxArgs, std::move(handler)}).second) {
      QOR_LIB_LOG(platform::library_log_level, LOG_LEVEL_ERROR, "UnixctlServer: %1: command \"%2\" registered twice",
                  _path, name);
      return false;
    }
    fromLoop = _server && std::this_thread::get_id() == _threadId;
    if (fromLoop) _pending.push_back(name);
  }
  // The loop holds the library's command table while it runs a handler; it registers the name itself next turn.
  if (!fromLoop) qor_unixctl_register_name(name.c_str(), usage.c_str());
  return true;
}

int UnixctlServer::Start() {
  {
    std::lock_guard<std::mutex> lock(_mutex);
    if (_server || _starting) return EALREADY;
    _starting = true;
  }
  // Created without holding _mutex: the library's table lock is always taken before it, never after.
  qor_unixctl_server* server = nullptr;
  int error = Create(&server);
  std::lock_guard<std::mutex> lock(_mutex);
  _starting = false;
  if (error) return error;
  _server = server;
  _stopping = false;
  _pending.clear();
  try {
    _thread = std::thread([this] { Loop(); });
  } catch (...) {
    // Without its thread the server is not started: Stop must not wait for one.
    _server = nullptr;
    qor_unixctl_server_destroy(server);
    throw;
  }
  _threadId = _thread.get_id();
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
  int error = qor_unixctl_server_create(_path.c_str(), &UnixctlServer::Dispatch, this, server);
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
  _threadId = {};
  QOR_LIB_LOG(platform::library_log_level, LOG_LEVEL_INFO, "UnixctlServer: stopped serving %1", _path);
}

bool UnixctlServer::Running() const {
  std::lock_guard<std::mutex> lock(_mutex);
  return _server && !_stopping;
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
    std::vector<std::pair<std::string, std::string>> pending;
    {
      std::lock_guard<std::mutex> lock(_mutex);
      if (_stopping) return;
      for (const std::string& name : _pending) pending.emplace_back(name, _commands[name].usage);
      _pending.clear();
    }
    for (const auto& [name, usage] : pending) qor_unixctl_register_name(name.c_str(), usage.c_str());
    qor_unixctl_server_run_once(server);
  }
}

int UnixctlServer::Dispatch(void* context, int argc, const char* argv[], char** reply) {
  std::vector<std::string> args(argv, argv + argc);
  UnixctlReply answer = static_cast<UnixctlServer*>(context)->Handle(args);
  *reply = strdup(answer.text.c_str());
  return answer.ok ? 1 : 0;
}

// Checks and messages as the library's own, for commands that another server of the process registered.
UnixctlReply UnixctlServer::Handle(const std::vector<std::string>& argv) {
  const std::string& name = argv.at(0);
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
