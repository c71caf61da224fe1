#include "platform/metrics/Metrics.h"

#include <stdexcept>

namespace qor::metrics {

void FrequencyCounter::Roll(int64_t second) const {
  if (second == _windowSecond) return;
  _lastRate = (second == _windowSecond + 1) ? _windowCount : 0;
  _windowSecond = second;
  _windowCount = 0;
}

void FrequencyCounter::Mark(uint64_t n, Clock::time_point now) {
  _total.fetch_add(n, std::memory_order_relaxed);
  auto second = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
  std::lock_guard<std::mutex> lock(_mutex);
  Roll(second);
  _windowCount += n;
}

uint64_t FrequencyCounter::LastSecondRate(Clock::time_point now) const {
  auto second = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
  std::lock_guard<std::mutex> lock(_mutex);
  Roll(second);
  return _lastRate;
}

void Latency::Record(uint64_t value) {
  _count.fetch_add(1, std::memory_order_relaxed);
  _sum.fetch_add(value, std::memory_order_relaxed);
  uint64_t seen = _max.load(std::memory_order_relaxed);
  while (value > seen && !_max.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
  }
  seen = _min.load(std::memory_order_relaxed);
  while (value < seen && !_min.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
  }
}

uint64_t Latency::Min() const {
  uint64_t value = _min.load(std::memory_order_relaxed);
  return value == UINT64_MAX ? 0 : value;
}

uint64_t Latency::Mean() const {
  uint64_t count = Count();
  return count == 0 ? 0 : Sum() / count;
}

template <typename T>
std::shared_ptr<T> Registry::Get(const std::string& name, MetricKind kind) {
  std::lock_guard<std::mutex> lock(_mutex);
  auto it = _metrics.find(name);
  if (it != _metrics.end()) {
    if (it->second.kind != kind) {
      throw std::invalid_argument("metric " + name + " is already registered as " + MetricKindName(it->second.kind));
    }
    return std::static_pointer_cast<T>(it->second.metric);
  }
  auto metric = std::make_shared<T>();
  _metrics.emplace(name, Entry{kind, metric});
  return metric;
}

std::shared_ptr<Gauge> Registry::GetGauge(const std::string& name) {
  return Get<Gauge>(name, MetricKind::Gauge);
}
std::shared_ptr<Counter> Registry::GetCounter(const std::string& name) {
  return Get<Counter>(name, MetricKind::Counter);
}
std::shared_ptr<FrequencyCounter> Registry::GetFrequencyCounter(const std::string& name) {
  return Get<FrequencyCounter>(name, MetricKind::Frequency);
}
std::shared_ptr<Latency> Registry::GetLatency(const std::string& name) {
  return Get<Latency>(name, MetricKind::Latency);
}

bool Registry::Contains(const std::string& name) const {
  std::lock_guard<std::mutex> lock(_mutex);
  return _metrics.count(name) != 0;
}

std::vector<MetricSample> Registry::Snapshot() const {
  std::lock_guard<std::mutex> lock(_mutex);
  std::vector<MetricSample> samples;
  samples.reserve(_metrics.size());
  for (const auto& [name, entry] : _metrics) {
    MetricSample sample{name, entry.kind, 0, 0, 0};
    switch (entry.kind) {
      case MetricKind::Gauge:
        sample.value = static_cast<Gauge*>(entry.metric.get())->Value();
        break;
      case MetricKind::Counter:
        sample.value = static_cast<int64_t>(static_cast<Counter*>(entry.metric.get())->Value());
        break;
      case MetricKind::Frequency: {
        auto* f = static_cast<FrequencyCounter*>(entry.metric.get());
        sample.value = static_cast<int64_t>(f->Total());
        sample.rate = f->LastSecondRate();
        break;
      }
      case MetricKind::Latency: {
        auto* l = static_cast<Latency*>(entry.metric.get());
        sample.value = static_cast<int64_t>(l->Count());
        sample.rate = l->Mean();
        sample.max = l->Max();
        break;
      }
    }
    samples.push_back(std::move(sample));
  }
  return samples;
}

const char* MetricKindName(MetricKind kind) {
  switch (kind) {
    case MetricKind::Gauge:
      return "gauge";
    case MetricKind::Counter:
      return "counter";
    case MetricKind::Frequency:
      return "frequency";
    case MetricKind::Latency:
      return "latency";
  }
  return "unknown";
}

}  // namespace qor::metrics
