// What the benchmarks that run the real processes (tolvard, qor-dpsim, the agent binary) share: the run's temporary
// QOR_ROOT, tolvarctl, scenario files in the database's JSON form, process figures from /proc, and the arithmetic
// of the reports. Times are the system clock's, the clock qor-dpsim stamps what it applies with.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/Wait.h"

namespace qor::bench {

inline int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}
inline double Ms(int64_t ns) {
  return static_cast<double>(ns) / 1e6;
}
inline std::string Fixed(double value, int digits = 1) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.*f", digits, value);
  return text;
}
// The q-quantile of `values` (sorted here).
inline double Quantile(std::vector<int64_t> values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t at = static_cast<size_t>(q * static_cast<double>(values.size() - 1) + 0.5);
  return Ms(values[std::min(at, values.size() - 1)]);
}

inline std::string Uuid(uint64_t high, uint64_t low) {
  return "{\"high\": \"" + std::to_string(high) + "\", \"low\": \"" + std::to_string(low) + "\"}";
}
inline std::string Object(const std::string& type, const std::string& body) {
  return "{\"vdb\": 1, \"object\": {\"@type\": \"type.googleapis.com/zantix.qor.tolvar." + type + "\", " + body + "}}";
}
inline std::string Scenario(const std::vector<std::string>& objects) {
  std::string out = "{\"objects\": [\n";
  for (size_t i = 0; i < objects.size(); ++i) out += objects[i] + (i + 1 < objects.size() ? ",\n" : "\n");
  return out + "]}\n";
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A memory figure of a process from /proc (VmHWM: peak resident set, VmRSS: resident set), in MiB, or -1.
inline double StatusMb(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::stod(line.substr(field.size() + 1)) / 1024.0;
  }
  return -1;
}
inline double PeakRssMb(pid_t pid) {
  return StatusMb(pid, "VmHWM");
}
inline double RssMb(pid_t pid) {
  return StatusMb(pid, "VmRSS");
}

// CPU time a process has used (user and system), in milliseconds.
inline double CpuMs(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  unsigned long long user = 0, system = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) user = std::stoull(field);
    if (i == 15) system = std::stoull(field);
  }
  return static_cast<double>(user + system) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The run's QOR_ROOT: a new temporary directory, exported while the run lives, removed afterwards unless kept.
class Root {
 public:
  explicit Root(bool keep) : _keep(keep) {
    std::string pattern = (std::filesystem::temp_directory_path() / "qor-scale-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    _path = pattern;
    setenv("QOR_ROOT", _path.c_str(), 1);
  }
  ~Root() {
    unsetenv("QOR_ROOT");
    std::error_code ec;
    if (!_keep) std::filesystem::remove_all(_path, ec);
  }
  const std::string& Path() const { return _path; }
  std::string Under(const std::string& absolutePath) const { return _path + absolutePath; }

 private:
  bool _keep;
  std::string _path;
};

// Runs tolvarctl against `endpoint` ("tcp:HOST:PORT") with `args`, its output under `logPath`; true when it
// exits 0 within ten minutes.
inline bool RunTolvarctl(const std::string& endpoint, const std::string& logPath,
                         const std::vector<std::string>& args) {
  std::vector<std::string> argv = {TOLVARCTL_PATH, "--server", endpoint, "--timeout", "600"};
  argv.insert(argv.end(), args.begin(), args.end());
  qor::test::ChildProcess tolvarctl(argv, logPath);
  auto status = tolvarctl.Wait(std::chrono::seconds(600));
  return status && *status == 0;
}

// Starts tolvard (`binary`) with its database, port file and log under `dir`, listening on a free local port: the
// port, or 0 when it wrote none in time.
inline int StartTolvard(const std::string& binary, const std::string& dir,
                        std::unique_ptr<qor::test::ChildProcess>* process) {
  const std::string portFile = dir + "/tolvard.port";
  *process =
      std::make_unique<qor::test::ChildProcess>(std::vector<std::string>{binary, "--listen", "tcp:127.0.0.1:0", "--db",
                                                                         dir + "/tolvar.db", "--port-file", portFile},
                                                dir + "/tolvard");
  if (!qor::test::WaitFor([&] { return std::filesystem::exists(portFile) && std::filesystem::file_size(portFile); }))
    return 0;
  int port = 0;
  std::ifstream(portFile) >> port;
  return port;
}

}  // namespace qor::bench
