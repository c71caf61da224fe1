// The agent's backbone at host scale, end to end: a generated desired state is loaded into a real tolvard, the real
// agent binary syncs it, and then follows single-property changes. Run it through scripts/scale-bench.sh.
//
// Desired state of N ports: N logical switch ports, fully configured (attachment, IP discovery, switch security,
// QoS, MAC management, one address binding, extra configs), one switch per 100 ports (300 at 30,000) and each
// switch's FIB holding one VM address per port. "Objects" counts ports, switches, FIBs and FIB addresses.
//
// Per size, from the agent's own log lines (its standard output, stamped as each line arrives):
//   decoded      connect ("tolvar channel status turns to UP") -> "Transaction end (fullsync)"
//   caches done  connect -> the log line of a change committed right after the full sync was decoded: the
//                dispatcher takes it only once every cache is done with the full sync
//   CPU time     the agent's threads' CPU time over the same stretch (the connect line read to the done line)
//   memory       the agent's resident memory once idle after the sync, its peak, and the idle agent's (an empty
//                database), per object above the idle figure
//   change       1,000 single-property changes (a port's extra configs, logged at info with their content), one at
//                a time: the agent's share is commit -> "ConfigCache: Update ..." line, minus the commit itself
//                (tolvard acknowledges a commit and publishes it at the same moment); the first change after the
//                sync is reported apart
// Floors measured in the same run: decode = parsing the same update bytes (each update and its object body);
// snapshot = tolvard delivering the monitored state to a bare client (its barrier included); commit = a put of one
// object acknowledged. tolvard's resident memory per stored object is reported beside the bytes on the wire.
//
//   scale_bench [--sizes 1000,10000,30000] [--changes 1000]
#include <fcntl.h>
#include <google/protobuf/message.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "intake/TolvarClient.h"
#include "platform/LibraryLogLevels.h"
#include "platform/tolvar/TolvarDbClient.h"
#include "platform/tolvar/TolvarSchema.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempRoot.h"
#include "tests/support/Wait.h"
#include "zantix/qor/tolvar/config.pb.h"
#include "zantix/qor/tolvar/l2.pb.h"
#include "zantix/qor/tolvar/runtime.pb.h"

namespace {

namespace tv = zantix::qor::tolvar;
using Clock = std::chrono::steady_clock;
using qor::tolvar::TolvarDbClient;

constexpr int kPortsPerSwitch = 100;
constexpr uint64_t kPortHigh = 0x3333, kSwitchHigh = 0x2222, kFibHigh = 0x4444, kZoneHigh = 0x1111;

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// A field of /proc/PID/status in KiB ("VmRSS", "VmHWM").
long StatusKiB(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return 0;
}

// CPU time of every thread of the process so far, in ms (from /proc/PID/task/*/schedstat, in ns): the cost of a
// stretch of work that wall time hides under the machine's load.
double CpuMs(pid_t pid) {
  uint64_t ns = 0;
  std::error_code error;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    std::ifstream schedstat(task.path() / "schedstat");
    uint64_t onCpu = 0;
    if (schedstat >> onCpu) ns += onCpu;
  }
  return static_cast<double>(ns) / 1e6;
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t index = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

tv::ModifyRequestMsg Put(uint32_t type, const google::protobuf::Message& object) {
  tv::ModifyRequestMsg request;
  request.mutable_modify()->mutable_put()->mutable_object()->set_object_type(static_cast<tv::ObjectType>(type));
  request.mutable_modify()->mutable_put()->mutable_object()->set_object_body(object.SerializeAsString());
  return request;
}

void SetId(tv::UuidMsg* id, uint64_t high, uint64_t low) {
  id->set_high(high);
  id->set_low(low);
}

tv::ExtraConfigsMsg ExtraConfigs(uint64_t port, uint64_t generation) {
  tv::ExtraConfigsMsg configs;
  auto* config = configs.add_configs();
  config->set_key("com.zantix.qor.vif.owner");
  config->set_value("tenant-" + std::to_string(port % 97) + "-" + std::to_string(generation));
  return configs;
}

tv::LogSwitchPortConfigMsg Port(uint64_t i) {
  tv::LogSwitchPortConfigMsg port;
  SetId(port.mutable_id(), kPortHigh, i + 1);
  SetId(port.mutable_switch_id(), kSwitchHigh, i / kPortsPerSwitch + 1);
  port.mutable_attachment()->set_type(1);
  port.mutable_attachment()->set_vif_id("vif-" + std::to_string(i));
  port.mutable_attachment()->set_dvport_id(std::to_string(i));
  port.mutable_ip_discovery()->set_arp_snooping_enabled(true);
  port.mutable_ip_discovery()->set_dhcp_snooping_enabled(false);
  port.mutable_ip_discovery()->set_arp_snooping_limit(1);
  port.mutable_switch_security()->set_port_spoof_guard(true);
  auto* white = port.mutable_switch_security()->add_port_white_list();
  white->mutable_ip()->set_ipv4(static_cast<uint32_t>(0x0a000000 + i));
  white->mutable_mac()->set_mac(0x005056000000ull + i);
  port.mutable_qos()->set_cos(3);
  auto* shaper = port.mutable_qos()->add_shapers();
  shaper->set_type(1);
  shaper->set_average_bandwidth(100);
  shaper->set_peak_bandwidth(200);
  port.set_admin_state_up(true);
  port.mutable_mac_management()->set_mac_change_allowed(false);
  auto* binding = port.mutable_address_bindings()->add_bindings();
  binding->mutable_ip()->set_ipv4(static_cast<uint32_t>(0x0a000000 + i));
  binding->mutable_mac()->set_mac(0x005056000000ull + i);
  binding->set_vlan(static_cast<uint32_t>(i % 4094 + 1));
  *port.mutable_extra_configs() = ExtraConfigs(i, 0);
  return port;
}

// The requests of a desired state of `ports` ports, in transactions of at most 2,000 requests.
std::vector<std::vector<tv::ModifyRequestMsg>> DesiredState(int ports, size_t* objects) {
  std::vector<std::vector<tv::ModifyRequestMsg>> batches(1);
  auto add = [&](tv::ModifyRequestMsg request) {
    if (batches.back().size() >= 2000) batches.emplace_back();
    batches.back().push_back(std::move(request));
  };
  tv::TransportNodeConfigMsg node;
  SetId(node.mutable_id(), kZoneHigh, 1);
  auto* sw = node.mutable_transport_switches()->add_switches();
  sw->set_switch_id("hs-1");
  SetId(sw->mutable_host_switch_id(), kZoneHigh, 2);
  SetId(sw->add_transport_zone_ids(), kZoneHigh, 3);
  node.set_type(1);
  add(Put(tv::TRANSPORT_NODE_CONFIG, node));
  const int switches = (ports + kPortsPerSwitch - 1) / kPortsPerSwitch;
  for (int s = 0; s < switches; ++s) {
    tv::LogSwitchConfigMsg ls;
    SetId(ls.mutable_id(), kSwitchHigh, s + 1);
    ls.set_vni(static_cast<uint32_t>(5000 + s));
    ls.set_replication_mode(1);
    ls.set_admin_state_up(true);
    SetId(ls.mutable_transport_zone_id(), kZoneHigh, 3);
    ls.set_switch_name("switch-" + std::to_string(s));
    ls.set_type(1);
    add(Put(tv::LOG_SWITCH_CONFIG, ls));
    tv::LogSwitchFibMsg fib;
    SetId(fib.mutable_id(), kFibHigh, s + 1);
    SetId(fib.mutable_logical_switch_id(), kSwitchHigh, s + 1);
    for (int i = s * kPortsPerSwitch; i < std::min(ports, (s + 1) * kPortsPerSwitch); ++i) {
      tv::VmIpMsg* ip = fib.add_vm_ips();
      ip->mutable_ip()->set_ipv4(static_cast<uint32_t>(0x0a000000 + i));
      ip->mutable_mac()->set_mac(0x005056000000ull + static_cast<uint64_t>(i));
      ip->mutable_vtep_ip()->set_ipv4(static_cast<uint32_t>(0xc0a80000 + i % 64));
      ip->set_vtep_label(static_cast<uint32_t>(i % 64 + 1));
    }
    add(Put(tv::LOG_SWITCH_FIB, fib));
  }
  for (int i = 0; i < ports; ++i) add(Put(tv::LOG_SWITCH_PORT_CONFIG, Port(static_cast<uint64_t>(i))));
  *objects = static_cast<size_t>(ports) * 2 + static_cast<size_t>(switches) * 2 + 1;
  return batches;
}

// A patch SET of one port's extra configs.
tv::ModifyRequestMsg ExtraConfigsChange(uint64_t port, uint64_t generation) {
  tv::LogSwitchPortConfigMsg body;
  *body.mutable_extra_configs() = ExtraConfigs(port, generation);
  tv::UuidMsg id;
  SetId(&id, kPortHigh, port + 1);
  tv::ModifyRequestMsg request;
  tv::PatchMsg* patch = request.mutable_modify()->mutable_patch();
  patch->set_object_type(tv::LOG_SWITCH_PORT_CONFIG);
  patch->set_object_id(id.SerializeAsString());
  patch->set_property_type(tv::Property::LSP_EXTRA_CONFIGS);
  patch->set_op(tv::SET);
  patch->set_value(body.SerializeAsString());
  return request;
}

class Tolvard {
 public:
  explicit Tolvard(const std::string& root) {
    std::string portFile = root + "/tolvard.port";
    _process = std::make_unique<qor::test::ChildProcess>(
        std::vector<std::string>{TOLVARD_PATH, "--listen", "tcp:127.0.0.1:0", "--db", root + "/tolvar.db",
                                 "--port-file", portFile},
        root + "/tolvard");
    qor::test::WaitFor([&] { return std::filesystem::exists(portFile) && std::filesystem::file_size(portFile) > 0; });
    int port = 0;
    std::ifstream(portFile) >> port;
    _endpoint = "tcp://127.0.0.1:" + std::to_string(port);
  }
  const std::string& Endpoint() const { return _endpoint; }
  pid_t Pid() const { return _process->Pid(); }

 private:
  std::unique_ptr<qor::test::ChildProcess> _process;
  std::string _endpoint;
};

// The agent binary with its standard output read line by line, each line stamped when it arrives.
class Agent {
 public:
  Agent(const std::string& root, const std::string& endpoint) {
    std::string etc = root + "/etc/zantix/qor";
    std::filesystem::create_directories(etc);
    std::filesystem::copy_file(std::string(QOR_SAMPLE_CONFIG_DIR) + "/vessix.xml", etc + "/vessix.xml",
                               std::filesystem::copy_options::overwrite_existing);
    // The sample configuration, on a free health port and this run's database.
    std::ifstream sample(std::string(QOR_SAMPLE_CONFIG_DIR) + "/qor-vevuroro.xml");
    std::stringstream text;
    text << sample.rdbuf();
    std::string config = text.str();
    auto replace = [&config](const std::string& from, const std::string& to) {
      size_t at = config.find(from);
      if (at != std::string::npos) config.replace(at, from.size(), to);
    };
    replace("<health>tcp://127.0.0.1:4097</health>",
            "<health>tcp://127.0.0.1:0</health><tolvar>" + endpoint + "</tolvar>");
    std::ofstream(etc + "/qor-vevuroro.xml") << config;

    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    _pid = fork();
    if (_pid < 0) throw std::runtime_error("fork failed");
    if (_pid == 0) {
      setenv("QOR_ROOT", root.c_str(), 1);
      dup2(fds[1], STDOUT_FILENO);
      int null = open("/dev/null", O_WRONLY);
      dup2(null, STDERR_FILENO);
      close(fds[0]);
      // A profiler may run the agent: QOR_AGENT_WRAPPER="heaptrack -o /tmp/agent" (its figures are then the
      // profiler's process's).
      if (const char* wrapper = std::getenv("QOR_AGENT_WRAPPER")) {
        std::string command = std::string(wrapper) + " " + QOR_AGENT_BINARY;
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      }
      execl(QOR_AGENT_BINARY, QOR_AGENT_BINARY, static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    _reader = std::thread([this, fd = fds[0]] { Read(fd); });
  }
  ~Agent() {
    kill(_pid, SIGTERM);
    if (!qor::test::WaitFor([&] { return waitpid(_pid, nullptr, WNOHANG) == _pid; }, std::chrono::seconds(60))) {
      kill(_pid, SIGKILL);
      waitpid(_pid, nullptr, 0);
    }
    _reader.join();
  }

  pid_t Pid() const { return _pid; }
  // The arrival time of the first line at or after line `from` that holds `text`; sets `*index` to its index.
  std::optional<Clock::time_point> Wait(const std::string& text, size_t from = 0, size_t* index = nullptr,
                                        std::chrono::seconds bound = std::chrono::seconds(600)) {
    std::unique_lock<std::mutex> lock(_mutex);
    size_t next = from;
    bool found = _changed.wait_for(lock, bound, [&] {
      for (; next < _lines.size(); ++next) {
        if (_lines[next].second.find(text) != std::string::npos) return true;
      }
      return _closed;
    });
    if (!found || next >= _lines.size()) return std::nullopt;
    if (index) *index = next;
    return _lines[next].first;
  }
  size_t Lines() {
    std::lock_guard<std::mutex> lock(_mutex);
    return _lines.size();
  }
  // Waits until no line has arrived for `quiet`.
  void WaitQuiet(std::chrono::milliseconds quiet) {
    for (;;) {
      size_t before = Lines();
      std::this_thread::sleep_for(quiet);
      if (Lines() == before) return;
    }
  }

 private:
  void Read(int fd) {
    FILE* in = fdopen(fd, "r");
    char* line = nullptr;
    size_t capacity = 0;
    ssize_t length;
    while ((length = getline(&line, &capacity, in)) > 0) {
      Clock::time_point now = Clock::now();
      std::lock_guard<std::mutex> lock(_mutex);
      _lines.emplace_back(now, std::string(line, static_cast<size_t>(length)));
      _changed.notify_all();
    }
    free(line);
    fclose(in);
    std::lock_guard<std::mutex> lock(_mutex);
    _closed = true;
    _changed.notify_all();
  }

  pid_t _pid = -1;
  std::thread _reader;
  std::mutex _mutex;
  std::condition_variable _changed;
  std::vector<std::pair<Clock::time_point, std::string>> _lines;
  bool _closed = false;
};

struct Floors {
  double snapshotMs = 0;  // tolvard delivering the monitored state to a bare client
  double decodeMs = 0;    // parsing the same bytes
  size_t updates = 0;
  size_t wireBytes = 0;
};

// A bare client with the agent's monitors syncs the state; its updates are then parsed again from their bytes.
Floors MeasureFloors(const std::string& endpoint) {
  Floors floors;
  std::vector<std::string> frames;
  std::atomic<bool> barrier{false};
  Clock::time_point begin = Clock::now();
  {
    TolvarDbClient client("bare", endpoint, nullptr, nullptr, true, true, false);
    client.RegisterCallbacks(
        VevUroro::TolvarClient::kMonitorId,
        [&](const tv::MonitorUpdateMsg& update) { frames.push_back(update.SerializeAsString()); },
        [&] { barrier = true; }, 1);
    client.ConfigureMonitors(VevUroro::TolvarClient::MonitorStatements(3), {}, VevUroro::TolvarClient::kMonitorId, 1);
    client.StartAsync();
    qor::test::WaitFor([&] { return barrier.load(); }, std::chrono::minutes(10));
    floors.snapshotMs = Ms(Clock::now() - begin);
    client.Stop();
  }
  floors.updates = frames.size();
  for (const std::string& frame : frames) floors.wireBytes += frame.size();
  double best = 1e18;
  for (int round = 0; round < 3; ++round) {
    Clock::time_point start = Clock::now();
    for (const std::string& frame : frames) {
      tv::MonitorUpdateMsg update;
      update.ParseFromString(frame);
      std::unique_ptr<google::protobuf::Message> body = qor::tolvar::NewObject(update.object_type());
      if (body) body->ParseFromString(update.new_object_body());
    }
    best = std::min(best, Ms(Clock::now() - start));
  }
  floors.decodeMs = best;
  return floors;
}

// Resident memory of an agent synced to an empty database, in KiB.
long IdleAgentKiB() {
  qor::test::TempRoot root;
  Tolvard tolvard(root.Path());
  Agent agent(root.Path(), tolvard.Endpoint());
  if (!agent.Wait("Transaction end (fullsync)")) return 0;
  agent.WaitQuiet(std::chrono::milliseconds(300));
  return StatusKiB(agent.Pid(), "VmRSS");
}

void RunSize(int ports, int changes, long idleKiB) {
  qor::test::TempRoot root;
  Tolvard tolvard(root.Path());
  TolvarDbClient writer("scale-bench", tolvard.Endpoint(), nullptr, nullptr, true, true, false);
  writer.SetCallTimeout(std::chrono::minutes(5));
  writer.StartAsync();

  size_t objects = 0;
  long tolvardBefore = StatusKiB(tolvard.Pid(), "VmRSS");
  for (const auto& batch : DesiredState(ports, &objects)) {
    qor::rpc::Status status = writer.Modify(batch);
    if (!status.ok()) throw std::runtime_error("load failed: " + status.message());
  }
  long tolvardAfter = StatusKiB(tolvard.Pid(), "VmRSS");
  Floors floors = MeasureFloors(tolvard.Endpoint());

  // The commit floor: a put of one object, no monitor running.
  std::vector<double> commits;
  for (int i = 0; i < 50; ++i) {
    tv::ProcessedBarrierMsg barrier;
    SetId(barrier.mutable_id(), 0, 900);
    barrier.set_vertical_id(900);
    barrier.set_barrier_number(static_cast<uint64_t>(i) + 1);
    Clock::time_point start = Clock::now();
    writer.Modify({Put(tv::PROCESSED_BARRIER, barrier)});
    commits.push_back(Ms(Clock::now() - start));
  }

  Agent agent(root.Path(), tolvard.Endpoint());
  size_t upIndex = 0;
  auto up = agent.Wait("tolvar channel status turns to UP", 0, &upIndex);
  const double cpuAtUp = CpuMs(agent.Pid());
  size_t decodedIndex = 0;
  auto decoded = up ? agent.Wait("Transaction end (fullsync)", upIndex, &decodedIndex) : std::nullopt;
  if (!decoded) throw std::runtime_error("the agent did not sync");
  // Queued behind the full sync: its line tells that every cache is done with the sync.
  uint64_t generation = 1;
  writer.Modify({ExtraConfigsChange(0, generation++)});
  size_t doneIndex = 0;
  auto done = agent.Wait("ConfigCache: Update LSP_EXTRA_CONFIGS", decodedIndex, &doneIndex);
  if (!done) throw std::runtime_error("no change after the sync");
  const double syncCpu = CpuMs(agent.Pid()) - cpuAtUp;
  agent.WaitQuiet(std::chrono::milliseconds(500));
  long rss = StatusKiB(agent.Pid(), "VmRSS");
  long peak = StatusKiB(agent.Pid(), "VmHWM");

  // Single-property changes, one at a time, over ports spread across the table.
  std::vector<double> totals, shares, commitTimes;
  double first = 0;
  size_t from = doneIndex + 1;
  for (int k = 0; k <= changes; ++k) {
    uint64_t port = (static_cast<uint64_t>(k) * 7919) % static_cast<uint64_t>(ports);
    Clock::time_point start = Clock::now();
    writer.Modify({ExtraConfigsChange(port, generation++)});
    Clock::time_point committed = Clock::now();
    size_t index = 0;
    auto seen = agent.Wait("ConfigCache: Update LSP_EXTRA_CONFIGS", from, &index, std::chrono::seconds(30));
    if (!seen) throw std::runtime_error("a change was not seen");
    from = index + 1;
    double share = Ms(*seen - committed);
    if (k == 0) {
      first = share;  // the first change after the sync
      continue;
    }
    totals.push_back(Ms(*seen - start));
    commitTimes.push_back(Ms(committed - start));
    shares.push_back(share);
  }
  long rssAfterChanges = StatusKiB(agent.Pid(), "VmRSS");

  double perObject = static_cast<double>(rss - idleKiB) * 1024.0 / static_cast<double>(objects);
  std::printf("\n== %d ports: %zu objects, %zu updates, %.1f MB on the wire (%.0f bytes per object)\n", ports, objects,
              floors.updates, static_cast<double>(floors.wireBytes) / 1e6,
              static_cast<double>(floors.wireBytes) / static_cast<double>(objects));
  std::printf("  floor  decode of the same bytes        %9.1f ms\n", floors.decodeMs);
  std::printf("  floor  tolvard snapshot to a bare client %7.1f ms\n", floors.snapshotMs);
  std::printf("  agent  connect -> full sync decoded    %9.1f ms  (%.1fx decode floor)\n", Ms(*decoded - *up),
              Ms(*decoded - *up) / floors.decodeMs);
  std::printf("  agent  connect -> caches done          %9.1f ms  (%.1fx decode floor)\n", Ms(*done - *up),
              Ms(*done - *up) / floors.decodeMs);
  std::printf("  agent  CPU time, connect -> caches done %7.1f ms  (%.1fx decode floor; all its threads)\n", syncCpu,
              syncCpu / floors.decodeMs);
  std::printf("  agent  resident after sync %7.1f MiB, peak %7.1f MiB (%.2fx), idle agent %.1f MiB\n", rss / 1024.0,
              peak / 1024.0, static_cast<double>(peak) / static_cast<double>(rss), idleKiB / 1024.0);
  std::printf("  agent  memory per object above idle    %9.0f bytes; after %d changes resident %.1f MiB\n", perObject,
              changes, rssAfterChanges / 1024.0);
  std::printf("  change agent's share p50 %.3f ms p99 %.3f ms; first after the sync %.3f ms\n", Percentile(shares, 0.5),
              Percentile(shares, 0.99), first);
  std::printf("  change commit -> cache line p50 %.3f ms p99 %.3f ms; its commit p50 %.3f ms p99 %.3f ms\n",
              Percentile(totals, 0.5), Percentile(totals, 0.99), Percentile(commitTimes, 0.5),
              Percentile(commitTimes, 0.99));
  std::printf("  floor  commit of one put p50 %.3f ms p99 %.3f ms\n", Percentile(commits, 0.5),
              Percentile(commits, 0.99));
  std::printf("  tolvard resident per stored object %.0f bytes (%.1f MiB for the state)\n",
              static_cast<double>(tolvardAfter - tolvardBefore) * 1024.0 / static_cast<double>(objects),
              (tolvardAfter - tolvardBefore) / 1024.0);
  std::fflush(stdout);
  writer.Stop();
}

std::vector<int> ParseSizes(const std::string& text) {
  std::vector<int> sizes;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) sizes.push_back(std::stoi(item));
  return sizes;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes = {1000, 10000, 30000};
  int changes = 1000;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--sizes" && i + 1 < argc) {
      sizes = ParseSizes(argv[++i]);
    } else if (arg == "--changes" && i + 1 < argc) {
      changes = std::stoi(argv[++i]);
    } else {
      std::cerr << "usage: scale_bench [--sizes 1000,10000,30000] [--changes 1000]\n";
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  qor::tolvar::library_log_level = 2;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  long idle = IdleAgentKiB();
  std::printf("idle agent resident %.1f MiB\n", idle / 1024.0);
  std::fflush(stdout);  // before the next fork
  for (int size : sizes) RunSize(size, changes, idle);
  return 0;
}
