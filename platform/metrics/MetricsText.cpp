#include "platform/metrics/MetricsText.h"

#include "platform/metrics/Metrics.h"

namespace qor::metrics {

std::string FormatText(const Registry& registry) {
  std::string text;
  for (const MetricSample& sample : registry.Snapshot()) {
    text += sample.name;
    text += ' ';
    text += MetricKindName(sample.kind);
    switch (sample.kind) {
      case MetricKind::Gauge:
      case MetricKind::Counter:
        text += ' ' + std::to_string(sample.value);
        break;
      case MetricKind::Frequency:
        text += " total " + std::to_string(sample.value) + " rate " + std::to_string(sample.rate);
        break;
      case MetricKind::Latency:
        text += " count " + std::to_string(sample.value) + " mean " + std::to_string(sample.rate) + " max " +
                std::to_string(sample.max);
        break;
    }
    text += '\n';
  }
  return text;
}

}  // namespace qor::metrics
