// VevUroro::Logger: one structured log record, emitted when it is destroyed.
//
//   Logger(LOG_LEVEL_ERROR, "Failed loading config file: %1", path).AddTag("errorCode:LCP00003");
//
// The record is created and formatted only when the agent's level (SetLogLevel) admits its severity; a disabled
// record never converts its arguments. Placeholders %1..%9 are replaced by the argument of that number (integers
// in decimal, bool as "true"/"false", strings as they are, pointers as decimal addresses, a value with an
// `AppendTo(std::string&)` member by that member, anything else through operator<<), each only where a placeholder
// names it; LogText gives a text already formatted. Records are used on one thread; emission is thread-safe.
//
// Emitted line: "QOR <pid> <msgid or -> [qor@32473 comp=... subcomp="vevUroro" ... level=...] <text>", written to
// syslog (facility local6) or, when a UDP destination is configured, to that socket; also echoed to standard output
// with a millisecond UTC time stamp when console output is on. The echo is written in batches (LogOutputBuffer.h:
// within milliseconds, at once for error and fatal lines, at exit and on a crash signal); syslog is skipped while
// its socket is absent (SyslogGate.h).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace qor::metrics {
class Registry;
}

namespace VevUroro {

enum LogSeverity : int {
  LOG_LEVEL_FATAL = 1,
  LOG_LEVEL_ERROR = 2,
  LOG_LEVEL_WARN = 3,
  LOG_LEVEL_INFO = 4,
  LOG_LEVEL_DEBUG = 5,
  LOG_LEVEL_TRACE = 6,
};

// The agent's configured level (default 4) and console echo (default on).
void SetLogLevel(int level);
int GetLogLevel();
inline bool LogEnabled(int severity) {
  return GetLogLevel() >= severity;
}
void SetOutputToConsole(bool on);
bool GetOutputToConsole();

// Levels of the agent's own firewall, intrusion-detection and container-service code.
extern std::atomic<int> g_dfwLogLevel;
extern std::atomic<int> g_idsLogLevel;
extern std::atomic<int> g_vessixLogLevel;

// Who writes a record: the "comp" name in the line and the level that filters it. The agent's own records use
// kAgentLog (comp "qor-controller", the agent's level); the container service has its own name and level.
struct LogSource {
  const char* comp;
  const std::atomic<int>* level;
};
extern const LogSource kAgentLog;
extern const LogSource kVessixLog;

namespace logdetail {
// A value that writes its own log text: `void AppendTo(std::string& out) const` appends it (no stream needed).
template <typename T>
concept AppendsItsText = requires(const T& value, std::string& out) {
  value.AppendTo(out);
};

void AppendDecimal(std::string& out, long long value);
void AppendDecimal(std::string& out, unsigned long long value);

inline void AppendText(std::string& out, const std::string& s) {
  out += s;
}
inline void AppendText(std::string& out, std::string_view s) {
  out += s;
}
inline void AppendText(std::string& out, const char* s) {
  out += s ? s : "(null)";
}
inline void AppendText(std::string& out, char* s) {
  AppendText(out, static_cast<const char*>(s));
}
inline void AppendText(std::string& out, bool b) {
  out += b ? "true" : "false";
}
inline void AppendText(std::string& out, char c) {
  out.push_back(c);
}
// Integers in decimal, enums as their number, pointers as decimal addresses, anything else through operator<<.
template <typename T>
void AppendText(std::string& out, const T& value) {
  if constexpr (AppendsItsText<T>) {
    value.AppendTo(out);
  } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
    AppendDecimal(out, static_cast<long long>(value));
  } else if constexpr (std::is_integral_v<T>) {
    AppendDecimal(out, static_cast<unsigned long long>(value));
  } else if constexpr (std::is_enum_v<T>) {
    AppendText(out, static_cast<std::underlying_type_t<T>>(value));
  } else if constexpr (std::is_pointer_v<T>) {
    AppendDecimal(out, static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(value)));
  } else {
    std::ostringstream text;
    text << value;
    out += text.str();
  }
}

// One argument of a record, formatted only where a placeholder names it.
struct Arg {
  const void* value;
  void (*append)(std::string& out, const void* value);
};
template <typename T>
Arg MakeArg(const T& value) {
  return Arg{&value, [](std::string& out, const void* v) { AppendText(out, *static_cast<const T*>(v)); }};
}
void FormatNumberedInto(std::string& out, std::string_view format, const Arg* args, size_t count);
}  // namespace logdetail

// Replaces %1..%9 in `format` by args[0..8]; "%%" stays as it is, a placeholder without an argument is kept.
std::string FormatNumbered(std::string_view format, const std::vector<std::string>& args);

// A record's text formatted by its caller, taken as it is (no placeholders replaced): for lines put together from
// pieces that a format string cannot name.
struct LogText {
  std::string text;
};

class Logger {
 public:
  Logger(int severity, const char* format);
  template <typename... Args>
  requires(sizeof...(Args) >= 1 && sizeof...(Args) <= 9) Logger(int severity, const char* format, const Args&... args)
      : Logger(kAgentLog, severity, format, args...) {}
  Logger(const LogSource& source, int severity, const char* format);
  template <typename... Args>
  requires(sizeof...(Args) >= 1 && sizeof...(Args) <= 9)
      Logger(const LogSource& source, int severity, const char* format, const Args&... args)
      : Logger(source, severity) {
    if (!_active) return;
    const logdetail::Arg list[] = {logdetail::MakeArg(args)...};
    logdetail::FormatNumberedInto(_text, format ? format : "", list, sizeof...(Args));
  }
  Logger(int severity, LogText text) : Logger(kAgentLog, severity, std::move(text)) {}
  Logger(const LogSource& source, int severity, LogText text);
  ~Logger();

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Appends one structured-data element "name:value" (a text without a colon is the value of "tag").
  Logger& AddTag(std::string_view tag);
  Logger& SetMessageId(std::string_view id);
  Logger& SetEntityId(std::string_view id);
  Logger& SetS2Comp(std::string_view name);

  bool Active() const { return _active; }
  const std::string& Text() const { return _text; }

 private:
  Logger(const LogSource& source, int severity);

  const char* _comp;
  int _severity;
  bool _active;
  std::string _messageId;
  std::string _entityId;
  std::vector<std::string> _tags;
  std::string _text;
  std::string _s2comp;
  std::chrono::steady_clock::time_point _created;
};

// A record whose arguments are evaluated only when the agent's level admits `severity`: for records on hot paths
// whose arguments cost (id texts, type names, message dumps). A statement, with chained setters:
//   QOR_LOG(LOG_LEVEL_DEBUG, "ConfigCache: Add object %1", IdText(type, id)).AddTag("...");
#define QOR_LOG(severity, ...)                                                                \
  for (bool qorLogOnce_ = ::VevUroro::LogEnabled(severity); qorLogOnce_; qorLogOnce_ = false) \
  ::VevUroro::Logger((severity), __VA_ARGS__)

// Emission plumbing, for start-up and tests.
namespace logging {

// Where finished lines go instead of syslog/UDP (tests); nullptr restores the default.
using LineSink = std::function<void(int priority, const std::string& line)>;
void SetLineSink(LineSink sink);
// Where the console echo goes instead of standard output (tests); nullptr restores standard output.
void SetConsoleStream(std::ostream* stream);
// Writes the console echo buffered so far, before something else writes to standard output.
void FlushConsole();

// Sends lines to a UDP syslog collector at host:port instead of syslog; empty host switches back.
bool SetUdpDestination(const std::string& host, uint16_t port);

// (Re)loads message-ids.txt and structured-data.txt from their fixed paths; a missing file leaves that set unloaded.
void LoadLookupFiles();
// Loaded contents, for tests.
bool MessageIdKnown(const std::string& id);

// Log metrics: a record counter and the creation-to-emission latency, registered in `registry`; nullptr turns off.
void EnableMetrics(qor::metrics::Registry* registry);

// "%Y-%m-%dT%H:%M:%S.###%z" with milliseconds; a zero offset is "Z", others get a colon ("+05:30").
std::string FormatTimestamp(std::chrono::system_clock::time_point when, long utcOffsetSeconds = 0);

}  // namespace logging
}  // namespace VevUroro
