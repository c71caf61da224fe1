// Property converter and KCP builder: what converting and sending costs, beside floors measured in the same run.
//
//   BM_FullPropertySet/N      the whole property set of each of N connected ports (a resync of every port): the
//                             converter builds them from its desired-state view, the builder encodes them, a Unix
//                             socket carries them to a reader thread.
//   BM_FullPropertySetFloor/N the same messages' properties, already built: the builder only encodes them and the
//                             socket carries them (no conversion).
//   BM_ConnectAll/N           N VIFs connect: the port list takes each and its whole property set goes out.
//   BM_SinglePropertyChange/N one port's QoS changes while N ports are connected: the configuration table takes the
//                             decoded change, the converter converts it, one message goes over the socket.
//   BM_SinglePropertyFloor    the same message's properties encoded and carried.
//   BM_DesiredStateIntake/N   N ports' desired state (decoded entries) through the table into the converter.
//   BM_LoadIntoConnectedPorts/N  the same into a converter that holds the N ports' VIFs as connected: every port's
//                             properties go out (the main job's load).
//   BM_ConverterBytesPerPort  heap bytes the converter holds per connected port (its view of the port's desired
//                             state, the port list entry), from the allocator's in-use counter.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "apps/config/DVSPropConvertor.h"
#include "apps/config/KCPMsgConvertor.h"
#include "cache/StateCacheConfigTable.h"
#include "core/Logger.h"
#include "dataplane/kcp/KcpReader.h"
#include "intake/Decoder.h"
#include "zantix/qor/tolvar/config.pb.h"
#include "zantix/qor/tolvar/objecttype.pb.h"
#include "zantix/qor/tolvar/ops.pb.h"

namespace {

using namespace VevUroro;
namespace tv = zantix::qor::tolvar;

constexpr int kPortsPerSwitch = 300;

// A link that writes each message to a Unix socket.
class SocketLink : public DataplaneLink {
 public:
  explicit SocketLink(int fd) : DataplaneLink(nullptr, nullptr, nullptr), _fd(fd) {}
  bool Start() override { return true; }
  void Stop() override {}
  void ScheduleReopen() override {}
  bool Send(uint8_t* message) override {
    size_t length = (static_cast<size_t>(message[2]) << 8) | message[3];
    size_t done = 0;
    while (done < length) {
      ssize_t n = ::send(_fd, message + done, length - done, MSG_NOSIGNAL);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    std::free(message);
    return done == length;
  }

 private:
  int _fd;
};

// A link that keeps the messages (to build the floor's input).
class KeepLink : public DataplaneLink {
 public:
  KeepLink() : DataplaneLink(nullptr, nullptr, nullptr) {}
  bool Start() override { return true; }
  void Stop() override {}
  void ScheduleReopen() override {}
  bool Send(uint8_t* message) override {
    size_t length = (static_cast<size_t>(message[2]) << 8) | message[3];
    messages.emplace_back(message, message + length);
    std::free(message);
    return true;
  }
  std::vector<std::vector<uint8_t>> messages;
};

class NoTimer : public OneShotTimer {
 public:
  void Start(uint64_t) override {}
  void Cancel() override {}
  bool Pending() const override { return false; }
};

TimerFactory NoTimers() {
  return [](std::function<void()>) -> std::unique_ptr<OneShotTimer> { return std::make_unique<NoTimer>(); };
}

tv::UuidMsg Uuid(uint64_t low) {
  tv::UuidMsg id;
  id.set_high(0xbe7c);
  id.set_low(low);
  return id;
}

std::string Vif(int i) {
  return "4f1d2c3b-0000-4000-8000-" + std::to_string(100000000000 + i);
}

tv::LogSwitchPortConfigMsg Port(int i, uint32_t cos) {
  tv::LogSwitchPortConfigMsg lsp;
  *lsp.mutable_id() = Uuid(1000000 + static_cast<uint64_t>(i));
  *lsp.mutable_switch_id() = Uuid(static_cast<uint64_t>(i / kPortsPerSwitch));
  lsp.mutable_attachment()->set_type(1);
  lsp.mutable_attachment()->set_vif_id(Vif(i));
  lsp.mutable_attachment()->set_dvport_id(std::to_string(i));
  lsp.set_admin_state_up(true);
  auto* security = lsp.mutable_switch_security();
  security->set_port_spoof_guard(true);
  auto* entry = security->add_port_white_list();
  entry->mutable_ip()->set_ipv4(0x0a000000u + static_cast<uint32_t>(i));
  entry->mutable_mac()->set_mac(0x005056000000ull + static_cast<uint64_t>(i));
  lsp.mutable_qos()->set_cos(cos);
  auto* shaper = lsp.mutable_qos()->add_shapers();
  shaper->set_type(1);
  shaper->set_average_bandwidth(100);
  lsp.mutable_mac_management()->mutable_mac_learning()->set_enabled(true);
  auto* ip = lsp.mutable_ip_discovery();
  ip->set_arp_snooping_enabled(true);
  ip->set_dhcp_snooping_enabled(true);
  ip->set_vmtools_enabled(true);
  ip->set_dhcpv6_snooping_enabled(false);
  auto* kv = lsp.mutable_extra_configs()->add_configs();
  kv->set_key("com.zantix.port.extraConfig.global.id");
  kv->set_value("global-" + std::to_string(i));
  return lsp;
}

tv::LogSwitchConfigMsg Switch(int s) {
  tv::LogSwitchConfigMsg ls;
  *ls.mutable_id() = Uuid(static_cast<uint64_t>(s));
  ls.set_vni(5000 + static_cast<uint32_t>(s));
  ls.set_replication_mode(1);
  ls.set_admin_state_up(true);
  ls.set_uplink_teaming_policy("loadbalance_srcid");
  return ls;
}

// The decoded entries of one object put, as the configuration table receives them.
template <typename Op>
std::list<TolvarUpdateMsg> Entries(uint32_t type, const google::protobuf::Message& object) {
  tv::MonitorUpdateMsg update;
  update.set_object_type(static_cast<tv::ObjectType>(type));
  Op op;
  op.set_op(tv::SET);
  update.set_op_message(op.SerializeAsString());
  update.set_new_object_body(object.SerializeAsString());
  std::list<TolvarUpdateMsg> out;
  for (auto& group : Decoder::Decode(update)) {
    if (std::find(group.targets.begin(), group.targets.end(), CONFIGCACHE) != group.targets.end()) {
      out.splice(out.end(), group.entries);
    }
  }
  return out;
}

std::list<TolvarUpdateMsg> DesiredState(int ports) {
  std::list<TolvarUpdateMsg> entries;
  for (int s = 0; s * kPortsPerSwitch < ports; ++s) {
    entries.splice(entries.end(), Entries<tv::LogSwitchConfigOpMsg>(tv::LOG_SWITCH_CONFIG, Switch(s)));
  }
  for (int i = 0; i < ports; ++i) {
    entries.splice(entries.end(), Entries<tv::LogSwitchPortConfigOpMsg>(tv::LOG_SWITCH_PORT_CONFIG, Port(i, 3)));
  }
  return entries;
}

class Feed : public SCConfigTableObserver {
 public:
  explicit Feed(IDVSPropConvertor& converter) : _converter(converter) {}
  void OnConfigDesiredStateChanged(const StateCacheChangeList& changes, bool, bool) override {
    _converter.ProcessConfigChanges(changes);
  }

 private:
  IDVSPropConvertor& _converter;
};

// A table, a converter fed by it and a socket to a reader thread.
struct Rig {
  // `load`: the table takes the ports' desired state now (else the test feeds it later).
  explicit Rig(int ports, boost::intrusive_ptr<DataplaneLink> link = nullptr, bool load = true) : ports(ports) {
    SetLogLevel(LOG_LEVEL_ERROR);
    if (!link) {
      socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
      reader = std::thread([this] {
        std::vector<uint8_t> buffer(1 << 16);
        ssize_t n;
        while ((n = ::recv(fds[1], buffer.data(), buffer.size(), 0)) > 0) received += static_cast<uint64_t>(n);
      });
      link = new SocketLink(fds[0]);
    }
    builder = new KCPMsgConvertor(link);
    DVSPropConvertor::Collaborators c;
    c.table = table.get();
    c.builder = builder;
    c.timers = NoTimers();
    converter = new DVSPropConvertor(c, ConfigTree());
    feed = std::make_unique<Feed>(*converter);
    for (uint32_t type : {tv::LOG_SWITCH_CONFIG, tv::LOG_SWITCH_PORT_CONFIG}) {
      table->RegisterDesiredStateObserver(type, feed.get());
    }
    if (load) table->UpdateDesiredState(DesiredState(ports), 1);
  }
  ~Rig() {
    for (uint32_t type : {tv::LOG_SWITCH_CONFIG, tv::LOG_SWITCH_PORT_CONFIG}) {
      table->UnregisterDesiredStateObserver(type, feed.get());
    }
    converter = nullptr;
    builder = nullptr;
    if (fds[0] >= 0) {
      ::shutdown(fds[0], SHUT_WR);
      reader.join();
      ::close(fds[0]);
      ::close(fds[1]);
    }
  }
  void ConnectAll() {
    for (int i = 0; i < ports; ++i) converter->HandleVifConnection(VifInfo{Vif(i), std::to_string(i), "dvs-1", "", 1});
  }

  int ports;
  int fds[2] = {-1, -1};
  std::thread reader;
  std::atomic<uint64_t> received{0};
  qor::RefPtr<StateCacheConfigTable> table{new StateCacheConfigTable()};
  qor::RefPtr<KCPMsgConvertor> builder;
  qor::RefPtr<DVSPropConvertor> converter;
  std::unique_ptr<Feed> feed;
};

// The property lists of `messages` (Port Property Updates), one update per message.
std::vector<DVSEntityUpdate> Updates(const std::vector<std::vector<uint8_t>>& messages) {
  std::vector<DVSEntityUpdate> out;
  for (const auto& bytes : messages) {
    kcp::KcpMessage message;
    kcp::DecodeMessage(bytes.data(), bytes.size(), &message);
    DVSEntityUpdate update;
    for (const auto& record : message.items.at(0).propertyRecords) {
      DVSPropertyList& list = update.entities[record.id];
      for (const auto& p : record.properties) list.push_back({p.key, std::string(p.value.begin(), p.value.end())});
    }
    out.push_back(std::move(update));
  }
  return out;
}

void Report(benchmark::State& state, uint64_t bytes, int ports) {
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["ports/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * ports, benchmark::Counter::kIsRate);
}

void BM_FullPropertySet(benchmark::State& state) {
  const int ports = static_cast<int>(state.range(0));
  Rig rig(ports);
  rig.ConnectAll();
  SetLogLevel(LOG_LEVEL_FATAL);  // no flow-cache device here
  rig.converter->Start();
  SetLogLevel(LOG_LEVEL_ERROR);
  uint64_t before = rig.received.load();
  for (auto _ : state) {
    state.PauseTiming();
    for (int i = 0; i < ports; ++i) rig.converter->OnResyncProperty(kcp::KCP_NOTIFY_PORT_PROPERTY_OUT_OF_SYNC, Vif(i));
    state.ResumeTiming();
    rig.converter->OnResyncTimer();
  }
  uint64_t sent = rig.received.load() - before;
  Report(state, sent, ports);
  state.counters["bytes/port"] = static_cast<double>(sent) / (static_cast<double>(state.iterations()) * ports);
}
BENCHMARK(BM_FullPropertySet)->Arg(1000)->Arg(30000)->Unit(benchmark::kMillisecond);

void BM_ConnectAll(benchmark::State& state) {
  const int ports = static_cast<int>(state.range(0));
  Rig rig(ports);
  for (auto _ : state) {
    rig.ConnectAll();
    state.PauseTiming();
    rig.converter->Reset();
    state.ResumeTiming();
  }
  Report(state, rig.received.load(), ports);
}
BENCHMARK(BM_ConnectAll)->Arg(30000)->Unit(benchmark::kMillisecond);

void BM_FullPropertySetFloor(benchmark::State& state) {
  const int ports = static_cast<int>(state.range(0));
  std::vector<DVSEntityUpdate> updates;
  {
    qor::RefPtr<KeepLink> keep(new KeepLink());
    Rig built(ports, keep);
    built.ConnectAll();
    updates = Updates(keep->messages);
  }
  Rig rig(1);
  for (auto _ : state) {
    for (const DVSEntityUpdate& update : updates) rig.builder->SendEntityUpdate(update);
  }
  Report(state, rig.received.load(), ports);
}
BENCHMARK(BM_FullPropertySetFloor)->Arg(1000)->Arg(30000)->Unit(benchmark::kMillisecond);

void BM_SinglePropertyChange(benchmark::State& state) {
  const int ports = static_cast<int>(state.range(0));
  Rig rig(ports);
  rig.ConnectAll();
  // One port's QoS (COS 4 or 5, alternately): the decoded entries of its object put.
  std::list<TolvarUpdateMsg> changes[2];
  for (int v = 0; v < 2; ++v) {
    for (auto& entry : Entries<tv::LogSwitchPortConfigOpMsg>(tv::LOG_SWITCH_PORT_CONFIG, Port(ports / 2, 4 + v))) {
      if (entry.propertyType == tv::Property::LSP_QOS) changes[v].push_back(entry);
    }
  }
  uint64_t before = rig.received.load();
  int64_t n = 0;
  for (auto _ : state) rig.table->UpdateDesiredState(changes[n++ % 2], 0);
  Report(state, rig.received.load() - before, 1);
}
BENCHMARK(BM_SinglePropertyChange)->Arg(1000)->Arg(30000);

void BM_SinglePropertyFloor(benchmark::State& state) {
  qor::RefPtr<KeepLink> keep(new KeepLink());
  {
    Rig built(1000, keep);
    built.ConnectAll();
    keep->messages.clear();
    std::list<TolvarUpdateMsg> change;
    for (auto& entry : Entries<tv::LogSwitchPortConfigOpMsg>(tv::LOG_SWITCH_PORT_CONFIG, Port(500, 4))) {
      if (entry.propertyType == tv::Property::LSP_QOS) change.push_back(entry);
    }
    built.table->UpdateDesiredState(change, 0);
  }
  std::vector<DVSEntityUpdate> updates = Updates(keep->messages);
  Rig rig(1);
  for (auto _ : state) {
    for (const DVSEntityUpdate& update : updates) rig.builder->SendEntityUpdate(update);
  }
  Report(state, rig.received.load(), 1);
}
BENCHMARK(BM_SinglePropertyFloor);

// A whole desired state taken by a fresh converter, with the VIFs connected before it arrives or not.
void RunDesiredStateIntake(benchmark::State& state, bool vifsConnected) {
  const int ports = static_cast<int>(state.range(0));
  auto entries = DesiredState(ports);
  for (auto _ : state) {
    state.PauseTiming();
    auto rig = vifsConnected ? std::make_unique<Rig>(ports, nullptr, false) : std::make_unique<Rig>(0);
    if (vifsConnected) rig->ConnectAll();
    state.ResumeTiming();
    rig->table->UpdateDesiredState(entries, 1);
    state.PauseTiming();
    rig.reset();
    state.ResumeTiming();
  }
  state.counters["ports/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * ports, benchmark::Counter::kIsRate);
}

void BM_DesiredStateIntake(benchmark::State& state) {
  RunDesiredStateIntake(state, false);
}
BENCHMARK(BM_DesiredStateIntake)->Arg(30000)->Unit(benchmark::kMillisecond)->Iterations(3);

// The main job's load: N VIFs are connected before their ports' desired state arrives, so that each port's
// attachment sends its whole property set and the port's other properties follow in the same batch.
void BM_LoadIntoConnectedPorts(benchmark::State& state) {
  RunDesiredStateIntake(state, true);
}
BENCHMARK(BM_LoadIntoConnectedPorts)->Arg(3000)->Arg(30000)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_ConverterBytesPerPort(benchmark::State& state) {
  const int ports = static_cast<int>(state.range(0));
  SetLogLevel(LOG_LEVEL_ERROR);
  StateCacheChangeList changes;
  for (auto& entry : DesiredState(ports)) changes.push_back(StateCacheChange{entry, std::string(), false});
  double perPort = 0;
  for (auto _ : state) {
    qor::RefPtr<KeepLink> sink(new KeepLink());
    size_t before = mallinfo2().uordblks;
    DVSPropConvertor::Collaborators c;
    c.builder = new KCPMsgConvertor(sink);
    c.timers = NoTimers();
    qor::RefPtr<DVSPropConvertor> converter(new DVSPropConvertor(c, ConfigTree()));
    converter->ProcessConfigChanges(changes);
    for (int i = 0; i < ports; ++i) converter->HandleVifConnection(VifInfo{Vif(i), std::to_string(i), "dvs-1", "", 1});
    sink->messages.clear();
    sink->messages.shrink_to_fit();
    size_t after = mallinfo2().uordblks;
    perPort = static_cast<double>(after - before) / ports;
  }
  state.counters["bytes/port"] = perPort;
}
BENCHMARK(BM_ConverterBytesPerPort)->Arg(30000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
