// A child process for process-level tests: started with argv and extra environment, standard output and error
// captured to files, waited for with a bound, killed if still running when the object goes away.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace qor::test {

class ChildProcess {
 public:
  // `outputDir` receives stdout.txt and stderr.txt. `env` entries are added to (or replace) the inherited ones.
  ChildProcess(const std::vector<std::string>& argv, const std::string& outputDir,
               const std::map<std::string, std::string>& env = {})
      : _stdoutPath(outputDir + "/stdout.txt"), _stderrPath(outputDir + "/stderr.txt") {
    std::filesystem::create_directories(outputDir);
    _pid = fork();
    if (_pid < 0) throw std::runtime_error("fork failed");
    if (_pid == 0) {
      for (const auto& [key, value] : env) setenv(key.c_str(), value.c_str(), 1);
      if (!freopen(_stdoutPath.c_str(), "w", stdout) || !freopen(_stderrPath.c_str(), "w", stderr)) _exit(126);
      std::vector<char*> args;
      for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
  }
  ~ChildProcess() {
    if (!_status) {
      kill(_pid, SIGKILL);
      Wait(std::chrono::seconds(10));
    }
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return _pid; }
  void Signal(int signal) const { kill(_pid, signal); }

  // The exit status (0-255), 128+signal for a signalled child, or nothing if it is still running after `bound`.
  std::optional<int> Wait(std::chrono::milliseconds bound = std::chrono::seconds(30)) {
    if (_status) return _status;
    auto deadline = std::chrono::steady_clock::now() + bound;
    while (true) {
      int status = 0;
      pid_t done = waitpid(_pid, &status, WNOHANG);
      if (done == _pid) {
        _status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return _status;
      }
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  bool Running() {
    Wait(std::chrono::milliseconds(0));
    return !_status;
  }

  std::string Stdout() const { return ReadFile(_stdoutPath); }
  std::string Stderr() const { return ReadFile(_stderrPath); }

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
  }

 private:
  std::string _stdoutPath;
  std::string _stderrPath;
  pid_t _pid = -1;
  std::optional<int> _status;
};

}  // namespace qor::test
