// State cache: desired-update throughput of the configuration and L3 tables (records per second), heap bytes per
// cached record (from the allocator's in-use counter), and the L2 element look-up in a large store.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include "cache/StateCacheConfigTable.h"
#include "cache/StateCacheL2Table.h"
#include "cache/StateCacheL3Table.h"
#include "core/Logger.h"
#include "zantix/qor/tolvar/common.pb.h"
#include "zantix/qor/tolvar/config.pb.h"
#include "zantix/qor/tolvar/l2.pb.h"
#include "zantix/qor/tolvar/l3.pb.h"
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

std::string Uuid(uint64_t high, uint64_t low) {
  tv::UuidMsg id;
  id.set_high(high);
  id.set_low(low);
  return id.SerializeAsString();
}

VevUroro::TolvarUpdateMsg L3Entry(uint32_t type, std::string id, uint32_t property, std::string value, int32_t op) {
  VevUroro::TolvarUpdateMsg entry;
  entry.objectType = static_cast<int32_t>(type);
  entry.objectId = std::move(id);
  entry.propertyType = static_cast<int32_t>(property);
  entry.value = std::move(value);
  entry.operation = op;
  return entry;
}

// `fibs` FIBs of one router, each with its router, prefix and two next hops (the second differs per generation):
// four records per FIB.
std::list<VevUroro::TolvarUpdateMsg> FibBatch(int fibs, int generation) {
  std::list<VevUroro::TolvarUpdateMsg> entries;
  for (int i = 0; i < fibs; ++i) {
    std::string id = Uuid(2, static_cast<uint64_t>(i));
    tv::FibMsg router;
    router.mutable_router_id()->set_low(1);
    tv::FibMsg prefix;
    prefix.mutable_ip_prefix()->mutable_address()->set_ipv4(0x0a000000u + static_cast<uint32_t>(i) * 256);
    prefix.mutable_ip_prefix()->set_prefix_length(24);
    tv::FibNextHopMsg first, second;
    first.mutable_ip()->set_ipv4(0xc0a80001u);
    second.mutable_ip()->set_ipv4(0xc0a80100u + static_cast<uint32_t>(generation));
    using Msg = VevUroro::TolvarUpdateMsg;
    entries.push_back(L3Entry(tv::FIB, id, tv::Property::L3_FIB_ROUTER_ID, router.SerializeAsString(), Msg::OP_SET));
    entries.push_back(L3Entry(tv::FIB, id, tv::Property::L3_FIB_IP_PREFIX, prefix.SerializeAsString(), Msg::OP_SET));
    entries.push_back(L3Entry(tv::FIB, id, tv::Property::L3_FIB_NEXT_HOP, first.SerializeAsString(), Msg::OP_INSERT));
    entries.push_back(L3Entry(tv::FIB, id, tv::Property::L3_FIB_NEXT_HOP, second.SerializeAsString(), Msg::OP_INSERT));
  }
  return entries;
}

// Full syncs alternating between two generations: every round replaces one next hop per FIB (an append and a
// swept removal) and refreshes the other three records.
void BM_L3TableFullSync(benchmark::State& state) {
  VevUroro::SetLogLevel(VevUroro::LOG_LEVEL_ERROR);
  qor::RefPtr<VevUroro::StateCacheL3Table> table(new VevUroro::StateCacheL3Table());
  const int fibs = static_cast<int>(state.range(0));
  auto a = FibBatch(fibs, 0), b = FibBatch(fibs, 1);
  int generation = 0;
  for (auto _ : state) table->UpdateDesiredState(++generation % 2 ? a : b, 1);
  state.SetItemsProcessed(state.iterations() * fibs * 4);
}
BENCHMARK(BM_L3TableFullSync)->Arg(1000)->Arg(10000);

// The floor of the full sync above: reading the same alternating entries (numbers, id and value bytes) and nothing
// else. Its cost per entry grows with the size too, once two generations of entries no longer fit in the cache.
void BM_L3FullSyncInputFloor(benchmark::State& state) {
  const int fibs = static_cast<int>(state.range(0));
  auto a = FibBatch(fibs, 0), b = FibBatch(fibs, 1);
  int generation = 0;
  for (auto _ : state) {
    uint64_t sum = 0;
    for (const auto& entry : ++generation % 2 ? a : b) {
      sum += static_cast<uint64_t>(entry.objectType) + static_cast<uint64_t>(entry.propertyType) +
             static_cast<uint64_t>(entry.operation);
      for (char c : entry.objectId) sum = sum * 31 + static_cast<unsigned char>(c);
      for (char c : entry.value) sum = sum * 31 + static_cast<unsigned char>(c);
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * fibs * 4);
}
BENCHMARK(BM_L3FullSyncInputFloor)->Arg(1000)->Arg(10000);

// Deltas: each FIB's changing next hop removed and inserted again.
void BM_L3TableDeltaUpdates(benchmark::State& state) {
  VevUroro::SetLogLevel(VevUroro::LOG_LEVEL_ERROR);
  qor::RefPtr<VevUroro::StateCacheL3Table> table(new VevUroro::StateCacheL3Table());
  const int fibs = static_cast<int>(state.range(0));
  table->UpdateDesiredState(FibBatch(fibs, 0), 0);
  std::list<VevUroro::TolvarUpdateMsg> removeHop, insertHop;
  for (const auto& entry : FibBatch(fibs, 0)) {
    if (entry.propertyType != tv::Property::L3_FIB_NEXT_HOP) continue;
    insertHop.push_back(entry);
    removeHop.push_back(entry);
    removeHop.back().operation = VevUroro::TolvarUpdateMsg::OP_REMOVE;
  }
  for (auto _ : state) {
    table->UpdateDesiredState(removeHop, 0);
    table->UpdateDesiredState(insertHop, 0);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(removeHop.size() + insertHop.size()));
}
BENCHMARK(BM_L3TableDeltaUpdates)->Arg(10000);

void BM_L3BytesPerRecord(benchmark::State& state) {
  VevUroro::SetLogLevel(VevUroro::LOG_LEVEL_ERROR);
  const int fibs = static_cast<int>(state.range(0));
  auto entries = FibBatch(fibs, 0);
  double perRecord = 0;
  for (auto _ : state) {
    size_t before = mallinfo2().uordblks;
    qor::RefPtr<VevUroro::StateCacheL3Table> table(new VevUroro::StateCacheL3Table());
    table->UpdateDesiredState(entries, 1);
    size_t after = mallinfo2().uordblks;
    perRecord = static_cast<double>(after - before) / static_cast<double>(entries.size());
  }
  state.counters["bytes_per_record"] = perRecord;
}
BENCHMARK(BM_L3BytesPerRecord)->Arg(25000)->Iterations(1);

// One element look-up by (object, property, value key) in a desired store of `range(0)` logical switches with
// ten VTEPs each, plus a routing-domain FIB type so that the look-up crosses object types.
void BM_L2ElementQuery(benchmark::State& state) {
  VevUroro::SetLogLevel(VevUroro::LOG_LEVEL_ERROR);
  qor::RefPtr<VevUroro::StateCacheL2Table> table(new VevUroro::StateCacheL2Table());
  const int switches = static_cast<int>(state.range(0));
  std::list<VevUroro::TolvarUpdateMsg> entries;
  for (int i = 0; i < switches; ++i) {
    std::string id = Uuid(3, static_cast<uint64_t>(i));
    entries.push_back(L3Entry(tv::LOG_SWITCH_FIB, id, 0, "", VevUroro::TolvarUpdateMsg::OP_SET));
    entries.push_back(L3Entry(tv::ROUTING_DOMAIN_FIB, id, 0, "", VevUroro::TolvarUpdateMsg::OP_SET));
    for (uint32_t label = 1; label <= 10; ++label) {
      tv::VtepMsg vtep;
      vtep.set_label(label);
      entries.push_back(L3Entry(tv::LOG_SWITCH_FIB, id, tv::Property::L2_VTEP, vtep.SerializeAsString(),
                                VevUroro::TolvarUpdateMsg::OP_INSERT));
    }
  }
  table->UpdateDesiredState(entries, 1);
  std::string wanted = Uuid(3, static_cast<uint64_t>(switches / 2));
  for (auto _ : state) {
    bool found = table->QueryDesiredProperty(wanted, tv::Property::L2_VTEP, VevUroro::L2ValueKey{5, 0}, nullptr);
    benchmark::DoNotOptimize(found);
  }
}
BENCHMARK(BM_L2ElementQuery)->Arg(10000);

}  // namespace

BENCHMARK_MAIN();
