// Operator CLI dumps of the configuration cache ("vevuroro/config/remote"): how long the agent lock is held (the
// copy of the records), the whole reply (copy and formatting) and the reply through the socket, each beside its
// floor measured in the same run: the bare copy of the same records, and protobuf's own one-line text of the same
// values. Sizes up to the display limit (60,000 entries).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>

#include "cache/StateCache.h"
#include "cli/CliServer.h"
#include "core/AgentLock.h"
#include "core/Logger.h"
#include "platform/ovs/Unixctl.h"
#include "zantix/qor/tolvar/config.pb.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace {

namespace tv = zantix::qor::tolvar;
using VevUroro::StateCacheRecord;

// A state cache holding `count` logical switch port attachments, and a CLI server over it.
struct Fixture {
  explicit Fixture(size_t count) {
    VevUroro::SetLogLevel(VevUroro::LOG_LEVEL_ERROR);
    std::list<VevUroro::TolvarUpdateMsg> entries;
    for (size_t i = 0; i < count; ++i) {
      tv::UuidMsg id;
      id.set_high(0x1234);
      id.set_low(i);
      tv::LogSwitchPortConfigMsg port;
      port.mutable_attachment()->set_type(1);
      port.mutable_attachment()->set_vif_id("50" + std::to_string(i) + "-vif-0000-aaaa-bbbbccccdddd");
      port.mutable_attachment()->set_dvport_id(std::to_string(i));
      VevUroro::TolvarUpdateMsg entry;
      entry.objectType = tv::LOG_SWITCH_PORT_CONFIG;
      entry.objectId = id.SerializeAsString();
      entry.propertyType = tv::Property::LSP_ATTACHMENT;
      entry.value = port.SerializeAsString();
      entry.operation = VevUroro::TolvarUpdateMsg::OP_SET;
      entries.push_back(std::move(entry));
    }
    cache.ConfigTable()->UpdateDesiredState(entries, 1);
    std::string pattern = (std::filesystem::temp_directory_path() / "qor-bench-XXXXXX").string();
    root = mkdtemp(pattern.data());
    VevUroro::CliServerDeps deps;
    deps.stateCache = &cache;
    server = std::make_unique<VevUroro::CliServer>(deps, root + "/vevuroro-cli");
    server->Start();
  }
  ~Fixture() {
    server.reset();
    std::filesystem::remove_all(root);
  }
  VevUroro::StateCache cache;
  std::string root;
  std::unique_ptr<VevUroro::CliServer> server;
};

void BM_CopyUnderAgentLock(benchmark::State& state) {
  Fixture fixture(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    std::vector<StateCacheRecord> records;
    VevUroro::AgentLockGuard lock(VevUroro::AgentLock());
    fixture.cache.ConfigTable()->CopyDesired(&records, VevUroro::CliServer::kDisplayLimit);
    benchmark::DoNotOptimize(records.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_FloorCopyOfTheRecords(benchmark::State& state) {
  Fixture fixture(static_cast<size_t>(state.range(0)));
  std::vector<StateCacheRecord> source;
  fixture.cache.ConfigTable()->CopyDesired(&source, SIZE_MAX);
  for (auto _ : state) {
    std::vector<StateCacheRecord> copy(source);
    benchmark::DoNotOptimize(copy.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_DumpReply(benchmark::State& state) {
  Fixture fixture(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    qor::ovs::UnixctlReply reply = fixture.server->Execute({"vevuroro/config/remote"});
    benchmark::DoNotOptimize(reply.text.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_FloorProtobufText(benchmark::State& state) {
  Fixture fixture(static_cast<size_t>(state.range(0)));
  std::vector<StateCacheRecord> records;
  fixture.cache.ConfigTable()->CopyDesired(&records, SIZE_MAX);
  for (auto _ : state) {
    std::string text;
    for (const StateCacheRecord& record : records) {
      tv::LogSwitchPortConfigMsg port;
      port.ParseFromString(record.value);
      text += port.ShortDebugString();
      text += '\n';
    }
    benchmark::DoNotOptimize(text.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_DumpThroughTheSocket(benchmark::State& state) {
  Fixture fixture(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    qor::ovs::UnixctlResult result =
        qor::ovs::UnixctlClient::Call(fixture.server->SocketPath(), "vevuroro/config/remote");
    if (!result.ok) state.SkipWithError(result.text.c_str());
    state.counters["reply_bytes"] = static_cast<double>(result.text.size());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

#define SIZES ->Arg(1000)->Arg(10000)->Arg(60000)->Unit(benchmark::kMillisecond)
BENCHMARK(BM_CopyUnderAgentLock) SIZES;
BENCHMARK(BM_FloorCopyOfTheRecords) SIZES;
BENCHMARK(BM_DumpReply) SIZES;
BENCHMARK(BM_FloorProtobufText) SIZES;
BENCHMARK(BM_DumpThroughTheSocket) SIZES;

}  // namespace

BENCHMARK_MAIN();
