// Workflow tracing: spans that follow one desired-state change through the agent, across threads and processes.
//
// A span has a name, a level, tags and a context (SpanContext.h). A span is recorded when its level is at least 1
// and at most the process's trace level (SetTraceLevel; 0 records nothing): it gets its own span id in the
// parent's trace (or a new trace) and, when it ends, one debug line of the tracing library:
//   "span <name> service <service> trace <32 hex> id <16 hex> parent <16 hex> duration <n>us[ tags k=v,...]
//    [ links <n>]"
// A span that is not recorded costs little and passes its parent's context on unchanged, so that a trace is not
// cut by a process that traces less.
//
// All functions are static and thread-safe (atomics; no lock is held while a span runs). A Span object belongs
// to the thread that uses it; it ends when destroyed or at End().
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/wft/SpanContext.h"

namespace qor::wft {

class Span {
 public:
  Span() = default;  // records nothing and carries no context
  Span(Span&& other) noexcept { *this = std::move(other); }
  Span& operator=(Span&& other) noexcept;
  ~Span() { End(); }
  Span(const Span&) = delete;
  Span& operator=(const Span&) = delete;

  // A tag has one value: setting it again replaces it (a span over a batch keeps the last item's, not one per
  // item). Ignored when the span's line would not be written (TagsWanted() false).
  void SetTag(std::string_view key, std::string_view value);
  // Records the span (once); later calls do nothing.
  void End();

  bool Recording() const { return _recording && !_ended; }
  // True when tags set now reach a line: the span is recorded and the tracing library's debug lines are written.
  // Callers that build tag values (one per entry of a large update) ask this first.
  bool TagsWanted() const;
  const std::string& Name() const { return _name; }
  // The context to hand on to work that this span causes.
  const SpanContext& Context() const { return _context; }
  std::string ContextBytes() const { return _context.Serialize(); }

 private:
  friend class WorkflowUtil;

  std::string _name;
  SpanContext _context;
  size_t _links = 0;
  std::vector<std::pair<std::string, std::string>> _tags;
  std::chrono::steady_clock::time_point _start;
  bool _recording = false;
  bool _ended = false;
};

class WorkflowUtil {
 public:
  static void SetTraceLevel(uint8_t level);
  static uint8_t GetTraceLevel();

  // Names this process in span lines ("" until set).
  static void Init(std::string_view serviceName);
  // The database client's form of Init: the client is accepted for its callers' sake; spans go to the log.
  template <typename Client>
  static void Init(const Client& /*client*/, std::string_view serviceName) {
    Init(serviceName);
  }
  static std::string ServiceName();

  // A span whose parent is given in the bytes form; empty or undecodable bytes start a new trace (undecodable
  // ones are counted in Stats::badContexts).
  static Span StartSpan(std::string_view name, std::string_view parentContext = {}, uint8_t level = 1);
  static Span StartSpan(std::string_view name, const SpanContext& parent, uint8_t level = 1);
  // A span caused by several others (a transaction made of several updates): it continues the first valid
  // context's trace and counts the rest as links.
  static Span StartLinkedSpan(std::string_view name, const std::vector<SpanContext>& links, uint8_t level = 1);

  // The context in `bytes`, or nullopt (empty or undecodable).
  static std::optional<SpanContext> GetTraceInfoFromString(std::string_view bytes);

  struct Stats {
    uint64_t started = 0;      // spans asked for
    uint64_t recorded = 0;     // spans that were recorded and ended
    uint64_t suppressed = 0;   // spans above the trace level
    uint64_t badContexts = 0;  // parent contexts that did not decode
  };
  static Stats GetStats();
  // "trace level 2, spans started 10, recorded 8, suppressed 2, bad contexts 0".
  static std::string StatsText();

 private:
  static Span Begin(std::string_view name, const SpanContext* parent, size_t links, uint8_t level);
};

}  // namespace qor::wft
