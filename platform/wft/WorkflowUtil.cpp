#include "platform/wft/WorkflowUtil.h"

#include <atomic>
#include <mutex>
#include <random>
#include <thread>

#include "platform/PlatformLog.h"

namespace qor::wft {

using VevUroro::LOG_LEVEL_DEBUG;

namespace {

std::atomic<uint8_t> g_traceLevel{2};  // the configuration's default
std::atomic<uint64_t> g_started{0}, g_recorded{0}, g_suppressed{0}, g_badContexts{0};
std::mutex g_nameMutex;
std::string g_serviceName;

uint64_t RandomId() {
  thread_local std::mt19937_64 generator = [] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(),
                       static_cast<unsigned>(std::hash<std::thread::id>()(std::this_thread::get_id()))};
    return std::mt19937_64(seed);
  }();
  uint64_t id;
  do {
    id = generator();
  } while (id == 0);
  return id;
}

}  // namespace

Span& Span::operator=(Span&& other) noexcept {
  if (this != &other) {
    End();
    _name = std::move(other._name);
    _context = other._context;
    _links = other._links;
    _tags = std::move(other._tags);
    _start = other._start;
    _recording = other._recording;
    _ended = other._ended;
    other._recording = false;
    other._ended = true;
  }
  return *this;
}

bool Span::TagsWanted() const {
  return Recording() && library_log_level.load(std::memory_order_relaxed) >= LOG_LEVEL_DEBUG &&
         VevUroro::LogEnabled(LOG_LEVEL_DEBUG);
}

void Span::SetTag(std::string_view key, std::string_view value) {
  if (!TagsWanted()) return;
  for (auto& tag : _tags) {
    if (tag.first == key) {
      tag.second = value;
      return;
    }
  }
  _tags.emplace_back(key, value);
}

void Span::End() {
  if (_ended) return;
  _ended = true;
  if (!_recording) return;
  g_recorded.fetch_add(1, std::memory_order_relaxed);
  QOR_LIB_LOG(library_log_level, LOG_LEVEL_DEBUG, "%1", [&] {
    auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - _start).count();
    std::string line = "span " + _name + " service " + WorkflowUtil::ServiceName() + " trace " +
                       _context.TraceIdText() + " id " + IdText(_context.spanId) + " parent " +
                       IdText(_context.parentId) + " duration " + std::to_string(micros) + "us";
    for (size_t i = 0; i < _tags.size(); ++i) {
      line += (i == 0 ? " tags " : ",") + _tags[i].first + "=" + _tags[i].second;
    }
    if (_links > 0) line += " links " + std::to_string(_links);
    return line;
  }());
}

void WorkflowUtil::SetTraceLevel(uint8_t level) {
  g_traceLevel.store(level, std::memory_order_relaxed);
}

uint8_t WorkflowUtil::GetTraceLevel() {
  return g_traceLevel.load(std::memory_order_relaxed);
}

void WorkflowUtil::Init(std::string_view serviceName) {
  std::lock_guard<std::mutex> lock(g_nameMutex);
  g_serviceName = serviceName;
}

std::string WorkflowUtil::ServiceName() {
  std::lock_guard<std::mutex> lock(g_nameMutex);
  return g_serviceName;
}

Span WorkflowUtil::Begin(std::string_view name, const SpanContext* parent, size_t links, uint8_t level) {
  g_started.fetch_add(1, std::memory_order_relaxed);
  Span span;
  span._ended = false;
  uint8_t traceLevel = GetTraceLevel();
  if (level == 0 || level > traceLevel) {
    g_suppressed.fetch_add(1, std::memory_order_relaxed);
    if (parent) span._context = *parent;  // handed on unchanged
    return span;
  }
  span._recording = true;
  span._name = name;
  span._links = links;
  span._start = std::chrono::steady_clock::now();
  if (parent) {
    span._context.traceIdHigh = parent->traceIdHigh;
    span._context.traceIdLow = parent->traceIdLow;
    span._context.parentId = parent->spanId;
  } else {
    span._context.traceIdHigh = RandomId();
    span._context.traceIdLow = RandomId();
  }
  span._context.spanId = RandomId();
  span._context.flags = kSampledFlag;
  return span;
}

Span WorkflowUtil::StartSpan(std::string_view name, std::string_view parentContext, uint8_t level) {
  std::optional<SpanContext> parent;
  if (!parentContext.empty()) {
    parent = SpanContext::Parse(parentContext);
    if (!parent) g_badContexts.fetch_add(1, std::memory_order_relaxed);
  }
  return Begin(name, parent ? &*parent : nullptr, 0, level);
}

Span WorkflowUtil::StartSpan(std::string_view name, const SpanContext& parent, uint8_t level) {
  return Begin(name, parent.Valid() ? &parent : nullptr, 0, level);
}

Span WorkflowUtil::StartLinkedSpan(std::string_view name, const std::vector<SpanContext>& links, uint8_t level) {
  const SpanContext* parent = nullptr;
  size_t valid = 0;
  for (const SpanContext& link : links) {
    if (!link.Valid()) continue;
    if (!parent) parent = &link;
    ++valid;
  }
  return Begin(name, parent, valid > 0 ? valid - 1 : 0, level);
}

std::optional<SpanContext> WorkflowUtil::GetTraceInfoFromString(std::string_view bytes) {
  if (bytes.empty()) return std::nullopt;
  auto context = SpanContext::Parse(bytes);
  if (!context) g_badContexts.fetch_add(1, std::memory_order_relaxed);
  return context;
}

WorkflowUtil::Stats WorkflowUtil::GetStats() {
  Stats stats;
  stats.started = g_started.load(std::memory_order_relaxed);
  stats.recorded = g_recorded.load(std::memory_order_relaxed);
  stats.suppressed = g_suppressed.load(std::memory_order_relaxed);
  stats.badContexts = g_badContexts.load(std::memory_order_relaxed);
  return stats;
}

std::string WorkflowUtil::StatsText() {
  Stats stats = GetStats();
  return "trace level " + std::to_string(GetTraceLevel()) + ", spans started " + std::to_string(stats.started) +
         ", recorded " + std::to_string(stats.recorded) + ", suppressed " + std::to_string(stats.suppressed) +
         ", bad contexts " + std::to_string(stats.badContexts);
}

}  // namespace qor::wft
