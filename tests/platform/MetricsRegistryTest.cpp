#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/metrics/Metrics.h"

namespace qor::metrics {
namespace {

TEST(MetricsRegistryTest, OneMetricPerNameAndKind) {
  Registry registry;
  auto gauge = registry.GetGauge("work_group/queue/length");
  EXPECT_EQ(registry.GetGauge("work_group/queue/length"), gauge);
  EXPECT_THROW(registry.GetCounter("work_group/queue/length"), std::invalid_argument);
  EXPECT_TRUE(registry.Contains("work_group/queue/length"));
  EXPECT_FALSE(registry.Contains("other"));
}

TEST(MetricsRegistryTest, SnapshotIsOrderedByNameWithEachKindsFigures) {
  Registry registry;
  registry.GetLatency("b/latency")->Record(10);
  registry.GetLatency("b/latency")->Record(30);
  registry.GetGauge("a/gauge")->Set(-5);
  registry.GetCounter("c/counter")->Increment(3);
  auto samples = registry.Snapshot();
  ASSERT_EQ(samples.size(), 3u);
  EXPECT_EQ(samples[0].name, "a/gauge");
  EXPECT_EQ(samples[0].value, -5);
  EXPECT_EQ(samples[1].kind, MetricKind::Latency);
  EXPECT_EQ(samples[1].value, 2);   // count
  EXPECT_EQ(samples[1].rate, 20u);  // mean
  EXPECT_EQ(samples[1].max, 30u);
  EXPECT_EQ(samples[2].value, 3);
}

TEST(MetricsRegistryTest, LatencyMinAndMaxUnderConcurrentRecords) {
  Latency latency;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&latency, t] {
      for (uint64_t i = 1; i <= 1000; ++i) latency.Record(i + static_cast<uint64_t>(t) * 1000);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(latency.Count(), 4000u);
  EXPECT_EQ(latency.Min(), 1u);
  EXPECT_EQ(latency.Max(), 4000u);
  EXPECT_EQ(Latency().Min(), 0u) << "an empty latency reports 0, not its sentinel";
}

TEST(MetricsRegistryTest, FrequencyRateIsTheLastWholeSecond) {
  using Clock = FrequencyCounter::Clock;
  Clock::time_point base(std::chrono::seconds(1000));
  FrequencyCounter frequency;
  frequency.Mark(2, base);
  frequency.Mark(3, base + std::chrono::milliseconds(900));
  EXPECT_EQ(frequency.LastSecondRate(base + std::chrono::milliseconds(950)), 0u) << "the second is not over yet";
  frequency.Mark(1, base + std::chrono::milliseconds(1500));
  EXPECT_EQ(frequency.LastSecondRate(base + std::chrono::milliseconds(1600)), 5u);
  EXPECT_EQ(frequency.LastSecondRate(base + std::chrono::seconds(3)), 0u) << "an idle second rates 0";
  EXPECT_EQ(frequency.Total(), 6u);
}

}  // namespace
}  // namespace qor::metrics
