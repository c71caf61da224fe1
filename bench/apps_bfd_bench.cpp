// The BFD table's cost beside the L2 table's own: S logical switches with one local VTEP and 20 remote VTEPs each.
// With shared endpoints (second argument 0) every switch uses the same local and remote VTEPs: 20 sessions of S
// users each; with distinct local VTEPs (1), S x 20 sessions of one user. "Floor" runs are the L2 table applying the
// same decoded entries with no BFD table registered.
//
//   SyncFloor / SyncWithBfd: the remote tables of every switch arrive in one update (the desired full sync).
//   ChangeFloor / ChangeWithBfd: one remote VTEP of one switch is removed and added again (two updates).
#include <benchmark/benchmark.h>

#include <list>
#include <memory>

#include "apps/overlay/BFDTableApp.h"
#include "cache/StateCache.h"
#include "platform/tolvar/TolvarSchema.h"
#include "tests/cache/CacheTestUtil.h"
#include "zantix/qor/tolvar/l2.pb.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace {

using namespace VevUroro;
using VevUroro::test::Decoded;  // what the decoder gives a component for one change, diffed by the server's code
namespace tv = zantix::qor::tolvar;

constexpr int kRemotePerSwitch = 20;

class CountingDataplane : public IBfdDataplane {
 public:
  bool SendBfdSession(const BfdSessionUpdate&) override { return ++sessions > 0; }
  bool SendBfdConfig(const BfdHostSwitchConfig&) override { return true; }
  bool SendEvpnBfdConfig(const EvpnBfdConfig&) override { return true; }
  size_t sessions = 0;
};

tv::UuidMsg Uuid(uint64_t high, uint64_t low) {
  tv::UuidMsg id;
  id.set_high(high);
  id.set_low(low);
  return id;
}

tv::VtepMsg Vtep(uint32_t ip, uint32_t label) {
  tv::VtepMsg vtep;
  vtep.mutable_ip()->set_ipv4(ip);
  vtep.set_label(label);
  return vtep;
}

tv::LogSwitchFibMsg Fib(int ls, int remoteCount) {
  tv::LogSwitchFibMsg fib;
  *fib.mutable_id() = Uuid(27, ls);
  *fib.mutable_logical_switch_id() = Uuid(1, ls);
  for (int r = 0; r < remoteCount; ++r) *fib.add_vteps() = Vtep(0x0b000000 + r, 100 + r);
  return fib;
}

// S switches with their VNI and local VTEP, optionally watched by a BFD table.
struct Host {
  Host(int switches, bool distinctLocal, bool bfd) {
    std::list<TolvarUpdateMsg> config;
    std::list<TolvarUpdateMsg> local;
    for (int ls = 0; ls < switches; ++ls) {
      tv::LogSwitchConfigMsg message;
      *message.mutable_id() = Uuid(1, ls);
      message.set_vni(5000 + ls);
      config.splice(config.end(), Decoded(CONFIGCACHE, nullptr, &message));
      TolvarUpdateMsg object;
      object.objectType = tv::LOG_SWITCH_STATE;
      object.objectId = qor::tolvar::DeterministicBytes(Uuid(1, ls));
      object.operation = TolvarUpdateMsg::OP_SET;
      local.push_back(object);
      TolvarUpdateMsg element = object;
      element.propertyType = tv::Property::L2_VTEP;
      element.value = Vtep(distinctLocal ? 0x0a000000 + ls : 0x0a000001, 1).SerializeAsString();
      element.operation = TolvarUpdateMsg::OP_INSERT;
      local.push_back(element);
    }
    if (bfd) {
      BFDTableApp::Collaborators c;
      c.configTable = cache.ConfigTable();
      c.l2Table = cache.L2Table();
      c.dataplane = &dataplane;
      app = new BFDTableApp(c);
      app->Start();
    }
    cache.ConfigTable()->UpdateDesiredState(config, 1);
    cache.L2Table()->UpdateRuntimeState(local, true);
  }
  ~Host() {
    if (app) app->Stop();
  }

  StateCache cache;
  CountingDataplane dataplane;
  qor::RefPtr<BFDTableApp> app;
};

std::list<TolvarUpdateMsg> SyncEntries(int switches) {
  std::list<TolvarUpdateMsg> entries;
  for (int ls = 0; ls < switches; ++ls) {
    tv::LogSwitchFibMsg fib = Fib(ls, kRemotePerSwitch);
    entries.splice(entries.end(), Decoded(L2CACHE, nullptr, &fib));
  }
  return entries;
}

void Sync(benchmark::State& state, bool bfd) {
  SetLogLevel(LOG_LEVEL_WARN);
  const int switches = static_cast<int>(state.range(0));
  const std::list<TolvarUpdateMsg> entries = SyncEntries(switches);
  size_t sessions = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto host = std::make_unique<Host>(switches, state.range(1) != 0, bfd);
    state.ResumeTiming();
    host->cache.L2Table()->UpdateDesiredState(entries, 1);
    state.PauseTiming();
    sessions = host->dataplane.sessions;
    host.reset();
    state.ResumeTiming();
  }
  state.counters["sessions"] = static_cast<double>(sessions);
}

void Change(benchmark::State& state, bool bfd) {
  SetLogLevel(LOG_LEVEL_WARN);
  const int switches = static_cast<int>(state.range(0));
  Host host(switches, state.range(1) != 0, bfd);
  host.cache.L2Table()->UpdateDesiredState(SyncEntries(switches), 1);
  const tv::LogSwitchFibMsg full = Fib(switches / 2, kRemotePerSwitch);
  const tv::LogSwitchFibMsg less = Fib(switches / 2, kRemotePerSwitch - 1);
  const std::list<TolvarUpdateMsg> remove = Decoded(L2CACHE, &full, &less);
  const std::list<TolvarUpdateMsg> add = Decoded(L2CACHE, &less, &full);
  const size_t before = host.dataplane.sessions;
  for (auto _ : state) {
    host.cache.L2Table()->UpdateDesiredState(remove, 0);
    host.cache.L2Table()->UpdateDesiredState(add, 0);
  }
  state.counters["sent/iteration"] =
      static_cast<double>(host.dataplane.sessions - before) / static_cast<double>(state.iterations());
}

void SyncFloor(benchmark::State& state) {
  Sync(state, false);
}
void SyncWithBfd(benchmark::State& state) {
  Sync(state, true);
}
void ChangeFloor(benchmark::State& state) {
  Change(state, false);
}
void ChangeWithBfd(benchmark::State& state) {
  Change(state, true);
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (int distinct : {0, 1}) {
    for (int switches : {100, 1000}) b->Args({switches, distinct});
  }
}

BENCHMARK(SyncFloor)->Apply(Sizes)->Unit(benchmark::kMillisecond);
BENCHMARK(SyncWithBfd)->Apply(Sizes)->Unit(benchmark::kMillisecond);
BENCHMARK(ChangeFloor)->Apply(Sizes)->Unit(benchmark::kMicrosecond);
BENCHMARK(ChangeWithBfd)->Apply(Sizes)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
