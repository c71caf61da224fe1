// The agent's full sync of a large monitored state from a tolvard started with --max-pending 16 MB: the state (a
// third logical switch ports, a third switch FIBs with 1,000 MACs each, a third NSG memberships with 1,000 groups
// each) is several times that bound, and the server streams it as the client drains it.
//
// Per size, three syncs of the same state from fresh connections:
//   wire    the floor: the client library receives every update and the barrier;
//   decode  the client library and the agent's decoder, nothing kept;
//   agent   the agent's path: Tolvar client (decode, merge), dispatcher and the three state cache tables.
// Counters: MiB/s of each; the agent's peak resident memory during its sync and what it keeps afterwards (both over
// what the process held before); tolvard's peak resident memory.
//
//   build/bench/cache_sync_bench                                  75, 150 and 300 MiB
//   build/bench/cache_sync_bench --benchmark_filter='/300'        300 MiB only
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "intake/Decoder.h"
#include "platform/LibraryLogLevels.h"
#include "platform/tolvar/TolvarDbClient.h"
#include "support/AgentCachePipeline.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempRoot.h"
#include "tests/support/Wait.h"
#include "zantix/qor/tolvar/config.pb.h"
#include "zantix/qor/tolvar/l2.pb.h"
#include "zantix/qor/tolvar/security.pb.h"

namespace {

namespace tv = zantix::qor::tolvar;
using qor::tolvar::TolvarDbClient;
constexpr size_t kMiB = 1024 * 1024;

class Server {
 public:
  Server() {
    std::string portFile = _root.Path() + "/port";
    _process = std::make_unique<qor::test::ChildProcess>(
        std::vector<std::string>{TOLVARD_PATH, "--listen", "tcp:127.0.0.1:0", "--db", _root.Path() + "/db",
                                 "--port-file", portFile, "--max-pending", "16000000"},
        _root.Path() + "/out");
    qor::test::WaitFor([&] { return std::filesystem::exists(portFile); });
    int port = 0;
    std::ifstream(portFile) >> port;
    _endpoint = "tcp://127.0.0.1:" + std::to_string(port);
  }
  const std::string& Endpoint() const { return _endpoint; }
  // Peak resident memory of tolvard, in MiB.
  double PeakMiB() const {
    std::ifstream status("/proc/" + std::to_string(_process->Pid()) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    }
    return 0;
  }
  bool DroppedAClient() const { return _process->Stderr().find("does not read") != std::string::npos; }

 private:
  qor::test::TempRoot _root;
  std::unique_ptr<qor::test::ChildProcess> _process;
  std::string _endpoint;
};

tv::ModifyRequestMsg Put(uint32_t type, const google::protobuf::Message& object) {
  tv::ModifyRequestMsg request;
  request.mutable_modify()->mutable_put()->mutable_object()->set_object_type(static_cast<tv::ObjectType>(type));
  request.mutable_modify()->mutable_put()->mutable_object()->set_object_body(object.SerializeAsString());
  return request;
}

// Writes about `mib` MiB of objects, in transactions of about 8 MiB; returns the bytes of bodies written.
size_t Load(const std::string& endpoint, size_t mib) {
  TolvarDbClient writer("loader", endpoint, nullptr, nullptr, true, true, false);
  writer.SetCallTimeout(std::chrono::minutes(5));
  writer.StartAsync();
  const size_t target = mib * kMiB;
  size_t written = 0, batch = 0;
  std::vector<tv::ModifyRequestMsg> requests;
  for (uint64_t i = 0; written < target; ++i) {
    tv::ModifyRequestMsg request;
    switch (i % 3) {
      case 0: {
        tv::LogSwitchPortConfigMsg port;
        port.mutable_id()->set_low(i + 1);
        port.mutable_switch_id()->set_low(i / 300);
        port.mutable_attachment()->set_vif_id("vif-" + std::to_string(i));
        port.set_admin_state_up(true);
        for (int k = 0; k < 50; ++k) {
          auto* config = port.mutable_extra_configs()->add_configs();
          config->set_key("key-" + std::to_string(k));
          config->set_value("value-" + std::to_string(i + k));
        }
        request = Put(tv::LOG_SWITCH_PORT_CONFIG, port);
        break;
      }
      case 1: {
        tv::LogSwitchFibMsg fib;
        fib.mutable_id()->set_low(i + 1);
        fib.mutable_logical_switch_id()->set_low(i);
        for (uint64_t k = 0; k < 1000; ++k) {
          tv::VmMacMsg* mac = fib.add_vm_macs();
          mac->mutable_mac()->set_mac((i << 16) | k);
          mac->mutable_vtep_ip()->set_ipv4(static_cast<uint32_t>(0x0a000000 + k % 64));
          mac->set_vtep_label(static_cast<uint32_t>(k % 64 + 1));
        }
        request = Put(tv::LOG_SWITCH_FIB, fib);
        break;
      }
      default: {
        tv::NsgMembershipStatusMsg nsg;
        nsg.mutable_id()->set_low(i + 1);
        for (uint64_t k = 0; k < 1000; ++k) {
          tv::UuidMsg* group = nsg.add_group_ids();
          group->set_high(i);
          group->set_low(k);
        }
        request = Put(tv::NSG_MEMBERSHIP_STATUS, nsg);
        break;
      }
    }
    size_t bytes = request.modify().put().object().object_body().size();
    written += bytes;
    batch += bytes;
    requests.push_back(std::move(request));
    if (batch >= 8 * kMiB || written >= target) {
      qor::rpc::Status status = writer.Modify(requests);
      if (!status.ok()) {
        std::cerr << "load failed: " << status.message() << std::endl;
        return 0;
      }
      requests.clear();
      batch = 0;
    }
  }
  return written;
}

const std::vector<uint32_t> kTypes = {tv::LOG_SWITCH_PORT_CONFIG, tv::LOG_SWITCH_FIB, tv::NSG_MEMBERSHIP_STATUS};

// One bare monitor of the types from a fresh connection until its initial barrier; `each` sees every update.
double BareSync(const std::string& endpoint, const std::function<void(const tv::MonitorUpdateMsg&)>& each) {
  auto begin = std::chrono::steady_clock::now();
  TolvarDbClient client("bare", endpoint, nullptr, nullptr, true, true, false);
  std::atomic<bool> barrier{false};
  client.RegisterCallbacks(
      1, each, [&] { barrier = true; }, 1);
  std::vector<tv::MonitorStatementMsg> statements;
  for (uint32_t type : kTypes)
    statements.emplace_back().mutable_statement()->set_object_type(static_cast<tv::ObjectType>(type));
  client.ConfigureMonitors(statements, {}, 1, 1);
  client.StartAsync();
  qor::test::WaitFor([&] { return barrier.load(); }, std::chrono::minutes(10));
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

// A field of /proc/self/status in MiB ("VmRSS", "VmHWM").
double StatusMiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stod(line.substr(field.size() + 1)) / 1024.0;
  }
  return 0;
}

void BM_FullSync(benchmark::State& state) {
  qor::tolvar::library_log_level = 2;
  VevUroro::SetLogLevel(VevUroro::LOG_LEVEL_ERROR);
  Server server;
  const double mib = static_cast<double>(Load(server.Endpoint(), static_cast<size_t>(state.range(0)))) / kMiB;
  for (auto _ : state) {
    double wire = BareSync(server.Endpoint(), [](const tv::MonitorUpdateMsg&) {});
    double decode = BareSync(server.Endpoint(), [](const tv::MonitorUpdateMsg& update) {
      benchmark::DoNotOptimize(VevUroro::Decoder::Decode(update));
    });
    malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";  // peak resident memory counts from here
    double before = StatusMiB("VmRSS");
    auto begin = std::chrono::steady_clock::now();
    auto agent = std::make_unique<qor::test::AgentCachePipeline>(server.Endpoint(), false);
    if (!agent->WaitFullSync(std::chrono::minutes(20))) state.SkipWithError("no full sync");
    double synced = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    state.SetIterationTime(synced);
    state.counters["state_MiB"] = mib;
    state.counters["wire_MiB/s"] = mib / wire;
    state.counters["decode_MiB/s"] = mib / decode;
    state.counters["agent_MiB/s"] = mib / synced;
    state.counters["agent_peak_MiB"] = StatusMiB("VmHWM") - before;
    malloc_trim(0);
    state.counters["agent_kept_MiB"] = StatusMiB("VmRSS") - before;
    state.counters["tolvard_peak_MiB"] = server.PeakMiB();
    state.counters["dropped"] = server.DroppedAClient() ? 1 : 0;
    agent.reset();
  }
}
BENCHMARK(BM_FullSync)->Arg(75)->Arg(150)->Arg(300)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
