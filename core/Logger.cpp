#include "core/Logger.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <limits>
#include <mutex>

#include "core/LogOutputBuffer.h"
#include "core/SyslogGate.h"
#include "platform/QorRoot.h"
#include "platform/metrics/Metrics.h"

namespace VevUroro {

namespace {

std::atomic<int> g_logLevel{LOG_LEVEL_INFO};
std::atomic<bool> g_outputToConsole{true};

constexpr const char* kMessageIdsPath = "/opt/zantix/qor-common/logging/message-ids.txt";
constexpr const char* kStructuredDataPath = "/opt/zantix/qor-common/logging/structured-data.txt";

struct LookupSets {
  bool idsLoaded = false;
  std::set<std::string> ids;
  bool keysLoaded = false;
  std::map<std::string, std::set<std::string>> keys;
};

// What a line needs of the emission set-up. Every line reads it, so it is read without the lock: a snapshot, made
// again after each change and never freed (a thread may still read an older one; there are few changes).
struct EmitSnapshot {
  logging::LineSink sink;
  bool consoleStream = false;  // a test's stream instead of standard output: written under the lock
  bool udp = false;            // lines go to the UDP socket, under the lock
  std::shared_ptr<const LookupSets> lookups;
  std::shared_ptr<qor::metrics::Counter> records;
  std::shared_ptr<qor::metrics::Latency> latency;
};

// Emission state: sinks, UDP socket and lookup sets. One mutex serialises emission to the UDP socket and guards
// the configuration; syslog itself is thread-safe.
struct EmitState {
  std::mutex mutex;
  logging::LineSink sink;
  std::ostream* console = nullptr;
  int udpFd = -1;
  sockaddr_storage udpAddr{};
  socklen_t udpAddrLen = 0;
  bool udpLastFailed = false;
  std::chrono::steady_clock::time_point udpFailedAt{};
  std::shared_ptr<const LookupSets> lookups;
  bool lookupsTried = false;
  std::shared_ptr<qor::metrics::Counter> records;
  std::shared_ptr<qor::metrics::Latency> latency;
  // Snapshots made so far, the last one current; bumped under the mutex by every change of the above.
  std::vector<std::unique_ptr<const EmitSnapshot>> snapshots;
  std::atomic<uint64_t> generation{1};
  uint64_t snapshotGeneration = 0;
};

EmitState& State() {
  static EmitState* state = new EmitState();  // never destroyed: records may be emitted during static teardown
  return *state;
}

// Call with the mutex held, after changing the emission state.
void ChangedLocked(EmitState& state) {
  state.generation.fetch_add(1, std::memory_order_release);
}

std::string Trim(const std::string& s) {
  auto begin = s.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  auto end = s.find_last_not_of(" \t\r\n");
  return s.substr(begin, end - begin + 1);
}

std::shared_ptr<const LookupSets> ReadLookupFiles() {
  auto sets = std::make_shared<LookupSets>();
  std::ifstream ids(qor::QorPath(kMessageIdsPath));
  if (ids) {
    sets->idsLoaded = true;
    std::string line;
    while (std::getline(ids, line)) {
      if (line.size() > 256) line.resize(256);
      line = Trim(line);
      if (!line.empty()) sets->ids.insert(line);
    }
  }
  // One key per line, optionally followed by '=' and a comma-separated list of allowed values; '#' starts a comment.
  std::ifstream keys(qor::QorPath(kStructuredDataPath));
  if (keys) {
    sets->keysLoaded = true;
    std::string line;
    while (std::getline(keys, line)) {
      line = Trim(line);
      if (line.empty() || line[0] == '#') continue;
      auto eq = line.find('=');
      std::string key = Trim(line.substr(0, eq));
      auto& values = sets->keys[key];
      if (eq == std::string::npos) continue;
      std::string rest = line.substr(eq + 1);
      size_t start = 0;
      while (start <= rest.size()) {
        auto comma = rest.find(',', start);
        std::string value = Trim(rest.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (!value.empty()) values.insert(value);
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
    }
  }
  return sets;
}

// The current snapshot; a thread takes the lock only when the set-up changed since its last line.
const EmitSnapshot& Snapshot() {
  auto& state = State();
  thread_local uint64_t seenGeneration = 0;
  thread_local const EmitSnapshot* seen = nullptr;
  if (seen && state.generation.load(std::memory_order_acquire) == seenGeneration) return *seen;
  std::lock_guard<std::mutex> lock(state.mutex);
  if (!state.lookupsTried) {
    state.lookups = ReadLookupFiles();
    state.lookupsTried = true;
    ChangedLocked(state);
  }
  const uint64_t generation = state.generation.load(std::memory_order_relaxed);
  if (state.snapshots.empty() || state.snapshotGeneration != generation) {
    auto snapshot = std::make_unique<EmitSnapshot>();
    snapshot->sink = state.sink;
    snapshot->consoleStream = state.console != nullptr;
    snapshot->udp = state.udpFd >= 0;
    snapshot->lookups = state.lookups;
    snapshot->records = state.records;
    snapshot->latency = state.latency;
    state.snapshots.push_back(std::move(snapshot));
    state.snapshotGeneration = generation;
  }
  seen = state.snapshots.back().get();
  seenGeneration = generation;
  return *seen;
}

const char* SeverityName(int severity) {
  switch (severity) {
    case LOG_LEVEL_FATAL:
      return "fatal";
    case LOG_LEVEL_ERROR:
      return "error";
    case LOG_LEVEL_WARN:
      return "warn";
    case LOG_LEVEL_INFO:
      return "info";
    case LOG_LEVEL_DEBUG:
      return "debug";
    case LOG_LEVEL_TRACE:
      return "trace";
    default:
      return nullptr;
  }
}

int SyslogPriority(int severity) {
  switch (severity) {
    case LOG_LEVEL_FATAL:
    case LOG_LEVEL_ERROR:
      return LOG_LOCAL6 | LOG_ERR;
    case LOG_LEVEL_WARN:
      return LOG_LOCAL6 | LOG_WARNING;
    case LOG_LEVEL_INFO:
      return LOG_LOCAL6 | LOG_INFO;
    default:
      return LOG_LOCAL6 | LOG_DEBUG;
  }
}

// The monotonic clock at the kernel tick's resolution: read per line to pace a once-a-second check, where a
// precise read (per line, on a busy host) would cost more than the check needs.
std::chrono::steady_clock::time_point CoarseNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return std::chrono::steady_clock::time_point(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec)));
}

// glibc's fixed path of the system log socket; looked at again at most once a second.
SyslogGate& SystemLog() {
  static SyslogGate* gate =
      new SyslogGate([] { return SyslogGate::SocketAt("/dev/log"); },
                     [](int priority, const std::string& line) { syslog(priority, "%s", line.c_str()); }, CoarseNow,
                     std::chrono::seconds(1), 1 << 20);
  return *gate;
}

// Process and thread ids cost a system call each; they are asked once (again in a forked child).
std::atomic<unsigned> g_forkGeneration{0};
std::atomic<long> g_pid{0};

void AfterForkInChild() {
  g_forkGeneration.fetch_add(1, std::memory_order_relaxed);
  g_pid.store(0, std::memory_order_relaxed);
}

long ProcessId() {
  static const bool registered = pthread_atfork(nullptr, nullptr, AfterForkInChild) == 0;
  (void)registered;
  long pid = g_pid.load(std::memory_order_relaxed);
  if (pid == 0) {
    pid = static_cast<long>(getpid());
    g_pid.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

long ThreadId() {
  thread_local unsigned generation = ~0u;
  thread_local long tid = 0;
  unsigned current = g_forkGeneration.load(std::memory_order_relaxed);
  if (generation != current) {
    tid = static_cast<long>(syscall(SYS_gettid));
    generation = current;
  }
  return tid;
}

void WriteLine(const EmitSnapshot& snapshot, int priority, std::string line) {
  if (snapshot.sink) {
    snapshot.sink(priority, line);
    return;
  }
  if (!snapshot.udp) {
    SystemLog().Write(priority, std::move(line));
    return;
  }
  auto& state = State();
  std::unique_lock<std::mutex> lock(state.mutex);
  if (state.udpFd < 0) {  // switched back meanwhile
    lock.unlock();
    SystemLog().Write(priority, std::move(line));
    return;
  }
  // After a failed write, wait more than two seconds before trying the socket again.
  auto now = std::chrono::steady_clock::now();
  if (state.udpLastFailed && now - state.udpFailedAt <= std::chrono::seconds(2)) return;
  ssize_t sent =
      sendto(state.udpFd, line.data(), line.size(), 0, reinterpret_cast<sockaddr*>(&state.udpAddr), state.udpAddrLen);
  if (sent < 0) {
    state.udpLastFailed = true;
    state.udpFailedAt = now;
    syslog(LOG_ERR, "Failed to emit message to syslog via UDP");
  } else {
    state.udpLastFailed = false;
  }
}

}  // namespace

std::atomic<int> g_dfwLogLevel{LOG_LEVEL_INFO};
std::atomic<int> g_idsLogLevel{LOG_LEVEL_INFO};
std::atomic<int> g_vessixLogLevel{LOG_LEVEL_INFO};

const LogSource kAgentLog{"qor-controller", &g_logLevel};
const LogSource kVessixLog{"qor-vessix", &g_vessixLogLevel};

void SetLogLevel(int level) {
  g_logLevel.store(level, std::memory_order_relaxed);
}
int GetLogLevel() {
  return g_logLevel.load(std::memory_order_relaxed);
}
void SetOutputToConsole(bool on) {
  g_outputToConsole.store(on, std::memory_order_relaxed);
}
bool GetOutputToConsole() {
  return g_outputToConsole.load(std::memory_order_relaxed);
}

namespace logdetail {

void AppendDecimal(std::string& out, long long value) {
  char text[24];
  auto end = std::to_chars(text, text + sizeof(text), value).ptr;
  out.append(text, end);
}

void AppendDecimal(std::string& out, unsigned long long value) {
  char text[24];
  auto end = std::to_chars(text, text + sizeof(text), value).ptr;
  out.append(text, end);
}

void FormatNumberedInto(std::string& out, std::string_view format, const Arg* args, size_t count) {
  out.reserve(out.size() + format.size() + 16 * count);
  size_t copied = 0;  // format[copied..i) is still to be copied
  for (size_t i = 0; i + 1 < format.size(); ++i) {
    if (format[i] != '%' || format[i + 1] < '1' || format[i + 1] > '9') continue;
    size_t index = static_cast<size_t>(format[i + 1] - '1');
    if (index >= count) continue;
    out.append(format.substr(copied, i - copied));
    args[index].append(out, args[index].value);
    copied = i + 2;
    ++i;
  }
  out.append(format.substr(copied));
}

}  // namespace logdetail

std::string FormatNumbered(std::string_view format, const std::vector<std::string>& args) {
  std::vector<logdetail::Arg> list;
  list.reserve(args.size());
  for (const std::string& arg : args) list.push_back(logdetail::MakeArg(arg));
  std::string out;
  logdetail::FormatNumberedInto(out, format, list.data(), list.size());
  return out;
}

Logger::Logger(const LogSource& source, int severity)
    : _comp(source.comp), _severity(severity), _active(source.level->load(std::memory_order_relaxed) >= severity) {
  if (!_active) return;
  const EmitSnapshot& snapshot = Snapshot();
  if (snapshot.records) snapshot.records->Increment();
  // The clock is read for the latency metric only: a line costs one precise read, its time stamp's.
  if (snapshot.latency) _created = std::chrono::steady_clock::now();
}

Logger::Logger(int severity, const char* format) : Logger(kAgentLog, severity, format) {}

Logger::Logger(const LogSource& source, int severity, const char* format) : Logger(source, severity) {
  if (_active) _text = format ? format : "";
}

Logger::Logger(const LogSource& source, int severity, LogText text) : Logger(source, severity) {
  if (_active) _text = std::move(text.text);
}

Logger& Logger::AddTag(std::string_view tag) {
  if (_active && !tag.empty()) _tags.emplace_back(tag);
  return *this;
}

Logger& Logger::SetMessageId(std::string_view id) {
  if (!_active || id.empty()) return *this;
  const auto& lookups = Snapshot().lookups;
  if (lookups->idsLoaded && lookups->ids.count(std::string(id)) == 0) {
    _messageId = "*";
  } else {
    _messageId = id;
  }
  return *this;
}

Logger& Logger::SetEntityId(std::string_view id) {
  if (_active) _entityId = id;
  return *this;
}

Logger& Logger::SetS2Comp(std::string_view name) {
  if (_active) _s2comp = name;
  return *this;
}

Logger::~Logger() {
  if (!_active) return;
  try {
    const char* name = SeverityName(_severity);
    if (!name) {
      syslog(LOG_ERR, "Invalid log level %d", _severity);
      return;
    }
    const EmitSnapshot& snapshot = Snapshot();
    const auto& lookups = snapshot.lookups;
    std::string sd;
    sd.reserve(128 + _s2comp.size() + _entityId.size() + 32 * _tags.size());
    sd.append("[qor@32473 comp=\"").append(_comp).append("\" subcomp=\"vevUroro\"");
    if (!_s2comp.empty()) sd.append(" s2comp=\"").append(_s2comp).append("\"");
    if (!_entityId.empty()) sd.append(" entId=\"").append(_entityId).append("\"");
    sd.append(" tid=\"");
    logdetail::AppendDecimal(sd, static_cast<long long>(ThreadId()));
    sd.append("\"");
    sd.append(" level=\"").append(name).append("\"");
    bool invalid = false;
    for (const std::string& tag : _tags) {
      auto colon = tag.find(':');
      std::string_view whole(tag);
      std::string_view key = colon == std::string::npos ? std::string_view("tag") : whole.substr(0, colon);
      std::string_view value = colon == std::string::npos ? whole : whole.substr(colon + 1);
      if (lookups->keysLoaded) {
        auto it = lookups->keys.find(std::string(key));
        if (it == lookups->keys.end() || (!it->second.empty() && it->second.count(std::string(value)) == 0)) {
          invalid = true;
          continue;
        }
      }
      sd.append(" ").append(key).append("=\"").append(value).append("\"");
    }
    if (_messageId == "*") invalid = true;
    if (invalid) sd.append(" invalid=\"true\"");
    sd.append("]");

    std::string_view msgid = (_messageId.empty() || _messageId == "*") ? std::string_view("-") : _messageId;
    std::string line;
    line.reserve(32 + msgid.size() + sd.size() + _text.size());
    line.append("QOR ");
    logdetail::AppendDecimal(line, static_cast<long long>(ProcessId()));
    line.append(" ").append(msgid).append(" ").append(sd);
    line.append(" ").append(_text);
    WriteLine(snapshot, SyslogPriority(_severity), std::move(line));

    if (GetOutputToConsole()) {
      std::string stamp = logging::FormatTimestamp(std::chrono::system_clock::now());
      auto& state = State();
      std::unique_lock<std::mutex> lock(state.mutex, std::defer_lock);
      if (snapshot.consoleStream) lock.lock();
      if (snapshot.consoleStream && state.console) {
        *state.console << stamp << " " << sd << " " << _text << "\n";
        state.console->flush();
      } else {
        if (lock.owns_lock()) lock.unlock();
        // Error and fatal lines are written at once: they often come right before the process ends.
        LogOutputBuffer::Console().Append({stamp, " ", sd, " ", _text, "\n"}, _severity <= LOG_LEVEL_ERROR);
      }
    }

    const auto& latency = snapshot.latency;
    if (latency && _created != std::chrono::steady_clock::time_point()) {  // not turned on after the record began
      latency->Record(static_cast<uint64_t>(
          std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - _created).count()));
    }
  } catch (...) {
    // A log record must never take its caller down.
  }
}

namespace logging {

void SetLineSink(LineSink sink) {
  auto& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.sink = std::move(sink);
  ChangedLocked(state);
}

void SetConsoleStream(std::ostream* stream) {
  auto& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.console = stream;
  ChangedLocked(state);
}

void FlushConsole() {
  LogOutputBuffer::Console().Flush();
}

bool SetUdpDestination(const std::string& host, uint16_t port) {
  auto& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.udpFd >= 0) {
    close(state.udpFd);
    state.udpFd = -1;
  }
  state.udpLastFailed = false;
  ChangedLocked(state);
  if (host.empty()) return true;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &result) != 0 || !result) return false;
  int fd = socket(result->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd >= 0) {
    std::memcpy(&state.udpAddr, result->ai_addr, result->ai_addrlen);
    state.udpAddrLen = result->ai_addrlen;
    state.udpFd = fd;
    ChangedLocked(state);
  }
  freeaddrinfo(result);
  return fd >= 0;
}

void LoadLookupFiles() {
  auto sets = ReadLookupFiles();
  auto& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.lookups = std::move(sets);
  state.lookupsTried = true;
  ChangedLocked(state);
}

bool MessageIdKnown(const std::string& id) {
  const auto& lookups = Snapshot().lookups;
  return lookups->idsLoaded && lookups->ids.count(id) != 0;
}

void EnableMetrics(qor::metrics::Registry* registry) {
  auto& state = State();
  std::shared_ptr<qor::metrics::Counter> records;
  std::shared_ptr<qor::metrics::Latency> latency;
  if (registry) {
    records = registry->GetCounter("log/records");
    latency = registry->GetLatency("log/emit_latency");
  }
  std::lock_guard<std::mutex> lock(state.mutex);
  state.records = std::move(records);
  state.latency = std::move(latency);
  ChangedLocked(state);
}

std::string FormatTimestamp(std::chrono::system_clock::time_point when, long utcOffsetSeconds) {
  auto sinceEpoch = when.time_since_epoch();
  auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count() % 1000;
  if (millis < 0) millis += 1000;
  std::time_t seconds = std::chrono::system_clock::to_time_t(when) + utcOffsetSeconds;
  // Lines come many per second: the date and time are formatted once per second and thread.
  thread_local std::time_t cachedSeconds = std::numeric_limits<std::time_t>::min();
  thread_local char base[32];
  if (seconds != cachedSeconds) {
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    std::strftime(base, sizeof(base), "%Y-%m-%dT%H:%M:%S", &tm);
    cachedSeconds = seconds;
  }
  const char ms[] = {'.', static_cast<char>('0' + millis / 100), static_cast<char>('0' + millis / 10 % 10),
                     static_cast<char>('0' + millis % 10)};
  std::string out;
  out.reserve(32);
  out.append(base).append(ms, sizeof(ms));
  if (utcOffsetSeconds == 0) {
    out.push_back('Z');
    return out;
  }
  long offset = utcOffsetSeconds < 0 ? -utcOffsetSeconds : utcOffsetSeconds;
  char zone[32];
  std::snprintf(zone, sizeof(zone), "%c%02ld:%02ld", utcOffsetSeconds < 0 ? '-' : '+', offset / 3600,
                (offset % 3600) / 60);
  return out + zone;
}

}  // namespace logging
}  // namespace VevUroro
