// KCP codec speed: building and walking the Update batches the configuration application sends (port properties,
// VIF updates, port lists), and rendering messages for the log.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "core/Logger.h"
#include "dataplane/kcp/KcpDumper.h"
#include "dataplane/kcp/KcpFormat.h"
#include "dataplane/kcp/KcpReader.h"
#include "dataplane/kcp/KcpWriter.h"

namespace {

using namespace VevUroro::kcp;

// One Update message with `ports` port property records of four properties each (a typical full sync chunk).
KcpMessage PortPropertyBatch(int ports) {
  KcpMessage msg;
  msg.type = KCP_MSG_UPDATE;
  DataItem item;
  item.type = KCP_UPDATE_PORT_PROPERTY;
  item.operation = KCP_OP_FULL_SYNC;
  for (int i = 0; i < ports; ++i) {
    PropertyRecord record;
    record.id = "4f1d2c3b-0000-4000-8000-" + std::to_string(100000000000 + i);
    record.properties = {{1, {'u', 'p', 0}},
                         {7, std::vector<uint8_t>(16, static_cast<uint8_t>(i))},
                         {12, {0, 0, 0x0f, 0xa0}},
                         {21, std::vector<uint8_t>(48, 'a')}};
    item.propertyRecords.push_back(std::move(record));
  }
  msg.items.push_back(std::move(item));
  return msg;
}

// One Update message with `vifs` connected VIFs, each with its status, one MAC and one discovered binding.
KcpMessage VifBatch(int vifs) {
  KcpMessage msg;
  msg.type = KCP_MSG_UPDATE;
  DataItem item;
  item.type = KCP_UPDATE_VIF;
  item.operation = KCP_OP_UPDATE;
  for (int i = 0; i < vifs; ++i) {
    VifRecord vif;
    vif.vifId = "vif-" + std::to_string(i);
    vif.portId = "port-" + std::to_string(i);
    vif.switchId = "switch-1";
    vif.vifType = KCP_VIF_VNIC;
    DiscoveredBinding binding;
    binding.family = 1;
    binding.ip = {10, 0, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
    binding.mac = {0x00, 0x50, 0x56, 0, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
    vif.properties = {MakeStatusProperty(KCP_VIF_CONNECT), MakeMacProperty({binding.mac}),
                      MakeBindingsProperty({binding})};
    item.vifs.push_back(std::move(vif));
  }
  msg.items.push_back(std::move(item));
  return msg;
}

KcpMessage PortListBatch(int ports) {
  KcpMessage msg;
  msg.type = KCP_MSG_UPDATE;
  DataItem item;
  item.type = KCP_UPDATE_PORT_LIST;
  for (int i = 0; i < ports; ++i) item.ids.push_back("port-" + std::to_string(i));
  msg.items.push_back(std::move(item));
  return msg;
}

void Count(benchmark::State& state, size_t bytesPerMessage) {
  state.counters["messages/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytesPerMessage));
}

template <KcpMessage (*Make)(int)>
void BM_Build(benchmark::State& state) {
  KcpMessage msg = Make(static_cast<int>(state.range(0)));
  size_t size = 0;
  for (auto _ : state) {
    auto bytes = EncodeMessage(msg);
    if (!bytes) {
      state.SkipWithError("message too large");
      return;
    }
    size = bytes->size();
    benchmark::DoNotOptimize(bytes->data());
  }
  Count(state, size);
}

template <KcpMessage (*Make)(int)>
void BM_Walk(benchmark::State& state) {
  auto bytes = EncodeMessage(Make(static_cast<int>(state.range(0))));
  if (!bytes) {
    state.SkipWithError("message too large");
    return;
  }
  for (auto _ : state) {
    KcpMessage msg;
    DecodeMessage(bytes->data(), bytes->size(), &msg);
    benchmark::DoNotOptimize(msg.items.data());
  }
  Count(state, bytes->size());
}

BENCHMARK_TEMPLATE(BM_Build, PortPropertyBatch)->Arg(1)->Arg(16)->Arg(128);
BENCHMARK_TEMPLATE(BM_Walk, PortPropertyBatch)->Arg(1)->Arg(16)->Arg(128);
BENCHMARK_TEMPLATE(BM_Build, VifBatch)->Arg(1)->Arg(16)->Arg(128);
BENCHMARK_TEMPLATE(BM_Walk, VifBatch)->Arg(1)->Arg(16)->Arg(128);
BENCHMARK_TEMPLATE(BM_Build, PortListBatch)->Arg(1000);
BENCHMARK_TEMPLATE(BM_Walk, PortListBatch)->Arg(1000);

// The dumper over a message large enough to be cut at the rendering limit, and a small one.
void BM_Render(benchmark::State& state) {
  auto bytes = *EncodeMessage(VifBatch(static_cast<int>(state.range(0))));
  size_t characters = 0;
  for (auto _ : state) {
    std::string text = RenderMessage(bytes.data(), bytes.size());
    characters = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  Count(state, bytes.size());
  state.counters["characters"] = static_cast<double>(characters);
}
BENCHMARK(BM_Render)->Arg(1)->Arg(128);

// Port property batches, the bulk of a full sync's dumps: rendered straight from the bytes (what RenderMessage
// does for them) and through the decoded message (the reference), beside BM_Walk<PortPropertyBatch>'s decode alone.
template <std::string (*Render)(const uint8_t*, size_t)>
void BM_RenderPortProperties(benchmark::State& state) {
  auto bytes = *EncodeMessage(PortPropertyBatch(static_cast<int>(state.range(0))));
  for (auto _ : state) {
    std::string text = Render(bytes.data(), bytes.size());
    benchmark::DoNotOptimize(text.data());
  }
  Count(state, bytes.size());
}
BENCHMARK_TEMPLATE(BM_RenderPortProperties, RenderMessage)->Arg(1)->Arg(16)->Arg(128);
BENCHMARK_TEMPLATE(BM_RenderPortProperties, RenderDecodedMessage)->Arg(1)->Arg(16)->Arg(128);

// What the dump costs on the send path when the agent's level does not admit it.
void BM_DumpDisabled(benchmark::State& state) {
  VevUroro::SetLogLevel(VevUroro::LOG_LEVEL_INFO);
  auto bytes = *EncodeMessage(VifBatch(16));
  for (auto _ : state) DumpMessage(VevUroro::LOG_LEVEL_DEBUG, bytes.data(), bytes.size());
  Count(state, bytes.size());
}
BENCHMARK(BM_DumpDisabled);

}  // namespace

BENCHMARK_MAIN();
