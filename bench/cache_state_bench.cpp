// State cache: desired-update throughput of the configuration table (records per second) and heap bytes per
// cached record, measured from the allocator's in-use counter.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include "cache/StateCacheConfigTable.h"
#include "core/Logger.h"
#include "zantix/qor/tolvar/common.pb.h"
#include "zantix/qor/tolvar/config.pb.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace {

namespace tv = zantix::qor::tolvar;

std::list<VevUroro::TolvarUpdateMsg> Batch(int objects, int generation) {
  std::list<VevUroro::TolvarUpdateMsg> entries;
  for (int i = 0; i < objects; ++i) {
    tv::UuidMsg id;
    id.set_high(1);
    id.set_low(static_cast<uint64_t>(i));
    tv::LogSwitchPortConfigMsg port;
    port.mutable_attachment()->set_vif_id("vif-" + std::to_string(i) + "-" + std::to_string(generation));
    port.mutable_attachment()->set_dvport_id(std::to_string(i));
    VevUroro::TolvarUpdateMsg entry;
    entry.objectType = tv::LOG_SWITCH_PORT_CONFIG;
    entry.objectId = id.SerializeAsString();
    entry.propertyType = tv::Property::LSP_ATTACHMENT;
    entry.value = port.SerializeAsString();
    entry.operation = VevUroro::TolvarUpdateMsg::OP_SET;
    entries.push_back(std::move(entry));
  }
  return entries;
}

void BM_ConfigTableDeltaUpdates(benchmark::State& state) {
  VevUroro::SetLogLevel(VevUroro::LOG_LEVEL_ERROR);
  qor::RefPtr<VevUroro::StateCacheConfigTable> table(new VevUroro::StateCacheConfigTable());
  const int objects = static_cast<int>(state.range(0));
  auto a = Batch(objects, 0), b = Batch(objects, 1);
  int generation = 0;
  for (auto _ : state) table->UpdateDesiredState(++generation % 2 ? a : b, 0);
  state.SetItemsProcessed(state.iterations() * objects);
}
BENCHMARK(BM_ConfigTableDeltaUpdates)->Arg(1000)->Arg(10000);

void BM_ConfigTableFullSync(benchmark::State& state) {
  VevUroro::SetLogLevel(VevUroro::LOG_LEVEL_ERROR);
  qor::RefPtr<VevUroro::StateCacheConfigTable> table(new VevUroro::StateCacheConfigTable());
  const int objects = static_cast<int>(state.range(0));
  auto a = Batch(objects, 0);
  for (auto _ : state) table->UpdateDesiredState(a, 1);
  state.SetItemsProcessed(state.iterations() * objects);
}
BENCHMARK(BM_ConfigTableFullSync)->Arg(10000);

void BM_BytesPerRecord(benchmark::State& state) {
  VevUroro::SetLogLevel(VevUroro::LOG_LEVEL_ERROR);
  const int objects = static_cast<int>(state.range(0));
  auto entries = Batch(objects, 0);
  double perRecord = 0;
  double valueBytes = static_cast<double>(entries.front().value.size() + entries.front().objectId.size());
  for (auto _ : state) {
    size_t before = mallinfo2().uordblks;
    qor::RefPtr<VevUroro::StateCacheConfigTable> table(new VevUroro::StateCacheConfigTable());
    table->UpdateDesiredState(entries, 1);
    size_t after = mallinfo2().uordblks;
    perRecord = static_cast<double>(after - before) / objects;
  }
  state.counters["bytes_per_record"] = perRecord;
  state.counters["payload_bytes"] = valueBytes;
}
BENCHMARK(BM_BytesPerRecord)->Arg(100000)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
