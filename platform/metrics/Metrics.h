// The platform metrics registry: named gauges, counters, frequency counters and latencies.
//
// Components register a metric once by name and keep the returned shared pointer; updates are lock-free atomics
// and may come from any thread. Registering an existing name of the same kind returns the existing metric;
// registering it as another kind throws std::invalid_argument. Snapshot() may be called from any thread (the
// operator CLI and the health client read it).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qor::metrics {

class Gauge {
 public:
  void Set(int64_t value) { _value.store(value, std::memory_order_relaxed); }
  void Add(int64_t delta) { _value.fetch_add(delta, std::memory_order_relaxed); }
  int64_t Value() const { return _value.load(std::memory_order_relaxed); }

 private:
  std::atomic<int64_t> _value{0};
};

class Counter {
 public:
  void Increment(uint64_t n = 1) { _value.fetch_add(n, std::memory_order_relaxed); }
  uint64_t Value() const { return _value.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> _value{0};
};

// Counts events and reports the rate over the last completed one-second window.
class FrequencyCounter {
 public:
  using Clock = std::chrono::steady_clock;
  void Mark(uint64_t n = 1, Clock::time_point now = Clock::now());
  uint64_t Total() const { return _total.load(std::memory_order_relaxed); }
  // Events per second in the last whole second seen by Mark or this call.
  uint64_t LastSecondRate(Clock::time_point now = Clock::now()) const;

 private:
  std::atomic<uint64_t> _total{0};
  mutable std::mutex _mutex;
  mutable int64_t _windowSecond{0};
  mutable uint64_t _windowCount{0};
  mutable uint64_t _lastRate{0};
  void Roll(int64_t second) const;
};

// Records durations (the unit is the caller's, microseconds throughout the agent).
class Latency {
 public:
  void Record(uint64_t value);
  uint64_t Count() const { return _count.load(std::memory_order_relaxed); }
  uint64_t Sum() const { return _sum.load(std::memory_order_relaxed); }
  uint64_t Max() const { return _max.load(std::memory_order_relaxed); }
  uint64_t Min() const;
  uint64_t Mean() const;

 private:
  std::atomic<uint64_t> _count{0}, _sum{0}, _max{0}, _min{UINT64_MAX};
};

enum class MetricKind { Gauge, Counter, Frequency, Latency };

struct MetricSample {
  std::string name;
  MetricKind kind;
  int64_t value;  // gauge value, counter value, frequency total or latency count
  uint64_t rate;  // frequency: last-second rate; latency: mean
  uint64_t max;   // latency: maximum; 0 otherwise
};

class Registry {
 public:
  std::shared_ptr<Gauge> GetGauge(const std::string& name);
  std::shared_ptr<Counter> GetCounter(const std::string& name);
  std::shared_ptr<FrequencyCounter> GetFrequencyCounter(const std::string& name);
  std::shared_ptr<Latency> GetLatency(const std::string& name);

  bool Contains(const std::string& name) const;
  // Every metric, ordered by name.
  std::vector<MetricSample> Snapshot() const;

 private:
  struct Entry {
    MetricKind kind;
    std::shared_ptr<void> metric;
  };
  template <typename T>
  std::shared_ptr<T> Get(const std::string& name, MetricKind kind);

  mutable std::mutex _mutex;
  std::map<std::string, Entry> _metrics;
};

const char* MetricKindName(MetricKind kind);

}  // namespace qor::metrics
