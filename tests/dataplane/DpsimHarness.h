// Test helpers around the datapath simulator: a real qor-dpsim process in a temporary root, and a plain blocking
// Unix-socket client that speaks the channel framing.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/Wait.h"

namespace qor::test {

// Starts `qor-dpsim --root ROOT ARGS...` and waits (bounded) for its ready file; Stop (or the destructor) sends
// SIGTERM and reaps it.
class DpsimProcess {
 public:
  DpsimProcess(const std::string& root, std::vector<std::string> args) : _root(root) {
    std::vector<std::string> argv = {QOR_DPSIM_PATH, "--root", root};
    argv.insert(argv.end(), args.begin(), args.end());
    _pid = fork();
    if (_pid == 0) {
      int devnull = open("/dev/null", O_WRONLY);
      if (devnull >= 0) dup2(devnull, STDOUT_FILENO);
      std::vector<char*> cargv;
      for (auto& a : argv) cargv.push_back(a.data());
      cargv.push_back(nullptr);
      execv(cargv[0], cargv.data());
      _exit(127);
    }
  }
  ~DpsimProcess() { Stop(); }
  DpsimProcess(const DpsimProcess&) = delete;
  DpsimProcess& operator=(const DpsimProcess&) = delete;

  bool WaitReady() {
    return WaitFor([&] { return std::filesystem::exists(ReadyFile()) || Exited(); }) && !Exited() &&
           std::filesystem::exists(ReadyFile());
  }
  std::string ReadyFile() const { return _root + "/var/run/zantix/qor-dpsim/ready"; }
  std::string ChannelPath(const std::string& name) const { return _root + "/var/run/zantix/tkmlink/" + name; }
  std::string ControlPath() const { return _root + "/var/run/zantix/qor-dpsim/control"; }

  // Returns the exit status (or -1).
  int Stop() {
    if (_pid <= 0) return _status;
    kill(_pid, SIGTERM);
    int status = 0;
    waitpid(_pid, &status, 0);
    _pid = -1;
    _status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return _status;
  }

 private:
  bool Exited() {
    if (_pid <= 0) return true;
    int status = 0;
    if (waitpid(_pid, &status, WNOHANG) == _pid) {
      _pid = -1;
      _status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return true;
    }
    return false;
  }

  std::string _root;
  pid_t _pid = -1;
  int _status = -1;
};

// A blocking client of one channel.
class ChannelClient {
 public:
  explicit ChannelClient(const std::string& path) {
    _fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    if (connect(_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
      close(_fd);
      _fd = -1;
    }
  }
  ~ChannelClient() {
    if (_fd >= 0) close(_fd);
  }
  bool Connected() const { return _fd >= 0; }
  int Fd() const { return _fd; }

  bool SendAll(const std::vector<uint8_t>& bytes) {
    size_t offset = 0;
    while (offset < bytes.size()) {
      ssize_t n = send(_fd, bytes.data() + offset, bytes.size() - offset, MSG_NOSIGNAL);
      if (n <= 0) return false;
      offset += static_cast<size_t>(n);
    }
    return true;
  }

  // One framed message, or nullopt when none arrives within the bound or the peer closes.
  std::optional<std::vector<uint8_t>> Receive(std::chrono::milliseconds bound = std::chrono::seconds(20)) {
    std::vector<uint8_t> message(4);
    if (!ReadExactly(message.data(), 4, bound)) return std::nullopt;
    size_t length = (static_cast<size_t>(message[2]) << 8) | message[3];
    if (length < 4) return message;
    message.resize(length);
    if (!ReadExactly(message.data() + 4, length - 4, bound)) return std::nullopt;
    return message;
  }

  // True when the peer closed the connection (bounded wait).
  bool WaitClosed(std::chrono::milliseconds bound = std::chrono::seconds(20)) {
    uint8_t byte;
    auto deadline = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{_fd, POLLIN, 0};
      if (poll(&p, 1, 100) > 0) {
        ssize_t n = recv(_fd, &byte, 1, 0);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return true;
      }
    }
    return false;
  }

 private:
  bool ReadExactly(uint8_t* out, size_t size, std::chrono::milliseconds bound) {
    auto deadline = std::chrono::steady_clock::now() + bound;
    size_t done = 0;
    while (done < size) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{_fd, POLLIN, 0};
      int ready = poll(&p, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return false;
      ssize_t n = recv(_fd, out + done, size - done, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  int _fd = -1;
};

}  // namespace qor::test
