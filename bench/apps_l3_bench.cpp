// The L3 application at scale, in-process: routers with one port each and their routes, written as database
// changes (tolvard's own diff, the real decoder) into a real L3 table whose notifications drive the application,
// whose messages go straight to the simulator's router module.
//
//   L3FullSync/R/N     the first notification's full sync of R routers and N routes, to the module's tables;
//                      floor: the module reading the same bytes (L3FullSyncFloor)
//   L3RouteChange/R/N  one route's next hop changed, from the table update to the module's tables; p50 and p99
//                      over 400 changes as counters; floor: the module reading the same message (L3RouteChangeFloor)
// Sizes: 100 routers with 10,000 routes, and a tenth (10 routers, 1,000 routes).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <list>
#include <map>
#include <optional>

#include "apps/overlay/L3App.h"
#include "core/Logger.h"
#include "intake/Decoder.h"
#include "platform/tolvar/TolvarSchema.h"
#include "tools/qor-dpsim/RouterModule.h"
#include "tools/tolvard/UpdateBuilder.h"
#include "zantix/qor/tolvar/l3.pb.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace {

namespace tv = zantix::qor::tolvar;
using namespace VevUroro;

class CapturingLink : public DataplaneLink {
 public:
  CapturingLink(MessageObserver messages, StatusObserver status)
      : DataplaneLink(std::move(messages), std::move(status), nullptr) {}
  bool Start() override { return true; }
  void Stop() override {}
  void ScheduleReopen() override {}
  bool Send(uint8_t* message) override {
    const size_t length = (static_cast<size_t>(message[2]) << 8) | message[3];
    sent.emplace_back(message, message + length);
    std::free(message);
    return true;
  }
  std::vector<std::vector<uint8_t>> sent;
};

tv::UuidMsg Uuid(uint64_t high, uint64_t low) {
  tv::UuidMsg id;
  id.set_high(high);
  id.set_low(low);
  return id;
}

tv::IpAddressMsg V4(uint32_t address) {
  tv::IpAddressMsg ip;
  ip.set_ipv4(address);
  return ip;
}

// The L3 table's entries of one object change, as the decoder makes them from tolvard's diff.
std::list<TolvarUpdateMsg> Entries(uint32_t type, const std::string& id, std::optional<std::string> oldBody,
                                   std::optional<std::string> newBody) {
  qor::tolvar::ObjectChange change{{1, type, id}, std::move(oldBody), std::move(newBody)};
  qor::tolvar::ChangeDiff diff(change);
  std::list<TolvarUpdateMsg> out;
  for (auto& group : Decoder::Decode(diff.Update(nullptr))) {
    if (std::find(group.targets.begin(), group.targets.end(), L3CACHE) != group.targets.end()) {
      out.insert(out.end(), group.entries.begin(), group.entries.end());
    }
  }
  return out;
}

tv::FibMsg Route(int router, int n, uint32_t gateway) {
  tv::FibMsg fib;
  *fib.mutable_id() = Uuid(3, static_cast<uint64_t>(n));
  *fib.mutable_router_id() = Uuid(1, static_cast<uint64_t>(router));
  fib.mutable_ip_prefix()->mutable_address()->set_ipv4(0x0a000000u + (static_cast<uint32_t>(n) << 8));
  fib.mutable_ip_prefix()->set_prefix_length(24);
  auto* hop = fib.add_next_hops();
  *hop->mutable_ip() = V4(gateway);
  *hop->mutable_router_port_id() = Uuid(2, static_cast<uint64_t>(router));
  return fib;
}

struct Rig {
  qor::RefPtr<StateCacheL3Table> l3{new StateCacheL3Table};
  qor::RefPtr<StateCacheConfigTable> config{new StateCacheConfigTable};
  boost::intrusive_ptr<CapturingLink> link;
  qor::RefPtr<L3App> app;
  qor::dpsim::RouterModule module;
  std::list<TolvarUpdateMsg> state;  // every entry of the desired state

  Rig(int routers, int routes) {
    SetLogLevel(LOG_LEVEL_ERROR);
    L3App::Collaborators c;
    c.l3Table = l3.get();
    c.configTable = config.get();
    c.links = [this](const std::string&, DataplaneLink::MessageObserver messages, DataplaneLink::StatusObserver status,
                     uint32_t) -> boost::intrusive_ptr<DataplaneLink> {
      link = new CapturingLink(std::move(messages), std::move(status));
      return link;
    };
    app = new L3App(std::move(c));
    ConfigTree tree;
    tree.put("l3.tkmlink.path", "qor_l3_tkmlink");
    app->Start(tree);
    for (int r = 1; r <= routers; ++r) {
      tv::LogRouterConfigMsg router;
      *router.mutable_id() = Uuid(1, static_cast<uint64_t>(r));
      router.set_vdr_id(static_cast<uint32_t>(r));
      Add(tv::LOG_ROUTER_CONFIG, router);
      tv::LogRouterPortConfigMsg port;
      *port.mutable_id() = Uuid(2, static_cast<uint64_t>(r));
      *port.mutable_router_id() = router.id();
      port.set_type(3);
      port.set_admin_state_up(true);
      Add(tv::LOG_ROUTER_PORT_CONFIG, port);
    }
    for (int n = 0; n < routes; ++n) Add(tv::FIB, Route(1 + n % routers, n, 0x0a0000fe));
  }
  ~Rig() { app->Stop(); }
  void Add(uint32_t type, const google::protobuf::Message& object) {
    std::string id;
    qor::tolvar::ObjectIdBytes(object, &id);
    state.splice(state.end(), Entries(type, id, std::nullopt, object.SerializeAsString()));
  }
  // Hands what the application sent to the module; returns the bytes.
  std::vector<std::vector<uint8_t>> Deliver() {
    auto sent = std::exchange(link->sent, {});
    for (const auto& message : sent) module.Receive(message);
    return sent;
  }
};

void L3FullSync(benchmark::State& state) {
  const int routers = static_cast<int>(state.range(0));
  const int routes = static_cast<int>(state.range(1));
  size_t bytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto rig = std::make_unique<Rig>(routers, routes);
    state.ResumeTiming();
    rig->l3->UpdateDesiredState(rig->state, 1);
    for (const auto& message : rig->Deliver()) bytes += message.size();
    if (rig->module.RouteCount() != static_cast<size_t>(routes)) state.SkipWithError("routes missing");
    state.PauseTiming();
    rig.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void L3FullSyncFloor(benchmark::State& state) {
  Rig rig(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  rig.l3->UpdateDesiredState(rig.state, 1);
  const auto messages = std::exchange(rig.link->sent, {});
  size_t bytes = 0;
  for (auto _ : state) {
    qor::dpsim::RouterModule module;
    for (const auto& message : messages) module.Receive(message);
    for (const auto& message : messages) bytes += message.size();
    benchmark::DoNotOptimize(module.RouteCount());
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void L3RouteChange(benchmark::State& state) {
  const int routers = static_cast<int>(state.range(0));
  const int routes = static_cast<int>(state.range(1));
  Rig rig(routers, routes);
  rig.l3->UpdateDesiredState(rig.state, 1);
  rig.Deliver();
  std::vector<double> micros;
  uint32_t gateway = 0x0a0000fe;
  for (auto _ : state) {
    const int n = static_cast<int>(micros.size() * 7919 % static_cast<size_t>(routes));
    const int router = 1 + n % routers;
    const std::string id = Uuid(3, static_cast<uint64_t>(n)).SerializeAsString();
    auto entries = Entries(tv::FIB, id, Route(router, n, gateway).SerializeAsString(),
                           Route(router, n, gateway + 1).SerializeAsString());
    const auto start = std::chrono::steady_clock::now();
    rig.l3->UpdateDesiredState(entries, 0);
    rig.Deliver();
    micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    // Back to the first gateway, not timed.
    rig.l3->UpdateDesiredState(Entries(tv::FIB, id, Route(router, n, gateway + 1).SerializeAsString(),
                                       Route(router, n, gateway).SerializeAsString()),
                               0);
    rig.Deliver();
  }
  std::sort(micros.begin(), micros.end());
  state.counters["p50_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[micros.size() * 99 / 100];
}

void L3RouteChangeFloor(benchmark::State& state) {
  Rig rig(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  rig.l3->UpdateDesiredState(rig.state, 1);
  rig.Deliver();
  const std::string id = Uuid(3, 0).SerializeAsString();
  rig.l3->UpdateDesiredState(
      Entries(tv::FIB, id, Route(1, 0, 0x0a0000fe).SerializeAsString(), Route(1, 0, 0x0a0000ff).SerializeAsString()),
      0);
  const auto there = std::exchange(rig.link->sent, {});
  rig.l3->UpdateDesiredState(
      Entries(tv::FIB, id, Route(1, 0, 0x0a0000ff).SerializeAsString(), Route(1, 0, 0x0a0000fe).SerializeAsString()),
      0);
  const auto back = std::exchange(rig.link->sent, {});
  bool forth = true;
  std::vector<double> micros;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    for (const auto& message : forth ? there : back) rig.module.Receive(message);
    micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    forth = !forth;
  }
  std::sort(micros.begin(), micros.end());
  state.counters["p50_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[micros.size() * 99 / 100];
}

BENCHMARK(L3FullSync)->Args({10, 1000})->Args({100, 10000})->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(L3FullSyncFloor)->Args({10, 1000})->Args({100, 10000})->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(L3RouteChange)->Args({10, 1000})->Args({100, 10000})->Unit(benchmark::kMicrosecond)->Iterations(400);
BENCHMARK(L3RouteChangeFloor)->Args({10, 1000})->Args({100, 10000})->Unit(benchmark::kMicrosecond)->Iterations(400);

}  // namespace

BENCHMARK_MAIN();
