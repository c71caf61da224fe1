// The overlay applications at scale from the database, with the real processes (tolvard, qor-dpsim, the agent binary
// with the configuration, L2, L3 and BFD applications) under a temporary QOR_ROOT. Size N (default 20,000 and
// 200,000): N L2 entries over N/200 logical switches (per switch 20 VTEPs, 90 MACs and 90 ARP entries, every VNI
// joined by the simulator) and N/20 routes over N/2,000 logical routers (one port each, a next hop through it).
//
//   load    `tolvarctl load` of the switches' tables, the routers, their ports and routes while the agent runs: from
//           the start of the command until the simulator applied the last message of either module (it stamps each
//           applied message with the system clock). Floors in the same run: the load's own commit (tolvarctl), and
//           the simulator's own decode of the same bytes (the messages captured on both channels, fed again to
//           fresh modules in this process).
//   MAC     one MAC moved to another VTEP of its switch (a put of that switch's table), one at a time over different
//           switches: from just before the commit until the overlay module applied the message; p50 and p99.
//           Floors: the commit alone (also once more with the agent stopped), and the module's decode of that
//           message.
//   route   one route's next hop changed (a put of the route), the same way through the router module.
//
// Usage: overlay_scale_bench [--sizes 20000,200000] [--changes 300] [--keep]
// The program fails only when a step does not finish.
#include <google/protobuf/util/json_util.h>

#include <iostream>
#include <map>
#include <thread>

#include "bench/RealProcessBench.h"
#include "platform/ovs/Unixctl.h"
#include "platform/tolvar/TolvarDbClient.h"
#include "platform/tolvar/TolvarSchema.h"
#include "support/Wait.h"
#include "tools/qor-dpsim/Capture.h"
#include "tools/qor-dpsim/OverlayModule.h"
#include "tools/qor-dpsim/RouterModule.h"
#include "zantix/qor/tolvar/config.pb.h"
#include "zantix/qor/tolvar/l2.pb.h"
#include "zantix/qor/tolvar/l3.pb.h"
#include "zantix/qor/tolvar/objecttype.pb.h"
#include "zantix/qor/tolvar/scenario.pb.h"

namespace {

using namespace qor::bench;
namespace tv = zantix::qor::tolvar;
using std::chrono::seconds;

constexpr const char* kSwitchChannel = "qor_vswitch_tkmlink";
constexpr const char* kL2Channel = "qor_l2_tkmlink";
constexpr const char* kL3Channel = "qor_l3_tkmlink";
constexpr int kEntriesPerVni = 200;
constexpr int kVteps = 20, kMacs = 90, kArp = 90;
constexpr int kRoutesPerRouter = 100;
constexpr uint32_t kFirstVni = 10000, kFirstVdr = 3000;
constexpr uint64_t kSwitchHigh = 0x4c53, kFibHigh = 0x4c46, kRouterHigh = 0x4c52, kPortHigh = 0x4c50,
                   kRouteHigh = 0x5254;
constexpr uint32_t kDatapathSwitch = 9;

void SetId(tv::UuidMsg* id, uint64_t high, uint64_t low) {
  id->set_high(high);
  id->set_low(low);
}
tv::IpAddressMsg V4(uint32_t address) {
  tv::IpAddressMsg ip;
  ip.set_ipv4(address);
  return ip;
}

// Switch `s`'s table; MAC `movedMac` (if any) is behind VTEP `movedTo` instead of its own.
tv::LogSwitchFibMsg SwitchTable(int s, int movedMac = -1, int movedTo = 0) {
  tv::LogSwitchFibMsg fib;
  SetId(fib.mutable_id(), kFibHigh, static_cast<uint64_t>(s) + 1);
  SetId(fib.mutable_logical_switch_id(), kSwitchHigh, static_cast<uint64_t>(s) + 1);
  auto vtepIp = [](int v) { return 0xac100000u + static_cast<uint32_t>(v) + 1; };  // 172.16.0.v+1
  for (int v = 0; v < kVteps; ++v) {
    tv::VtepMsg* vtep = fib.add_vteps();
    *vtep->mutable_ip() = V4(vtepIp(v));
    vtep->set_label(static_cast<uint32_t>(v) + 1);
    vtep->set_encap_type(3);
  }
  for (int m = 0; m < kMacs; ++m) {
    tv::VmMacMsg* mac = fib.add_vm_macs();
    mac->mutable_mac()->set_mac(0x020000000000ull | (static_cast<uint64_t>(s) << 8) | static_cast<uint64_t>(m));
    *mac->mutable_vtep_ip() = V4(vtepIp(m == movedMac ? movedTo : m % kVteps));
  }
  for (int a = 0; a < kArp; ++a) {
    tv::VmIpMsg* ip = fib.add_vm_ips();
    *ip->mutable_ip() = V4(0x0a000000u | (static_cast<uint32_t>(s) << 8) | static_cast<uint32_t>(a));
    ip->mutable_mac()->set_mac(0x020000000000ull | (static_cast<uint64_t>(s) << 8) | static_cast<uint64_t>(a));
    *ip->mutable_vtep_ip() = V4(vtepIp(a % kVteps));
  }
  return fib;
}
// Route `r` of router `router`, its next hop .2 or .3 of the router's port subnet 192.168.ROUTER.0/24.
tv::FibMsg Route(int router, int r, int hop) {
  tv::FibMsg route;
  SetId(route.mutable_id(), kRouteHigh, static_cast<uint64_t>(router) * kRoutesPerRouter + static_cast<uint64_t>(r));
  SetId(route.mutable_router_id(), kRouterHigh, static_cast<uint64_t>(router) + 1);
  route.mutable_ip_prefix()->mutable_address()->set_ipv4(0x64000000u | (static_cast<uint32_t>(router) << 16) |
                                                         (static_cast<uint32_t>(r) << 8));
  route.mutable_ip_prefix()->set_prefix_length(24);
  tv::FibNextHopMsg* next = route.add_next_hops();
  *next->mutable_ip() = V4(0xc0a80000u | (static_cast<uint32_t>(router) << 8) | static_cast<uint32_t>(2 + hop));
  SetId(next->mutable_router_port_id(), kPortHigh, static_cast<uint64_t>(router) + 1);
  return route;
}

template <typename Message>
void Add(tv::ScenarioMsg& scenario, const Message& object) {
  auto* entry = scenario.add_objects();
  entry->set_vdb(1);
  entry->mutable_object()->PackFrom(object);
}
std::string Json(const tv::ScenarioMsg& scenario) {
  std::string json;
  google::protobuf::util::JsonPrintOptions options;
  (void)google::protobuf::util::MessageToJsonString(scenario, &json, options);
  return json;
}

// The module's figures from `dpsim/stats CHANNEL` ("word number" pairs).
std::map<std::string, int64_t> ParseStats(const std::string& text) {
  std::map<std::string, int64_t> stats;
  std::istringstream in(text);
  std::string word;
  int64_t value = 0;
  while (in >> word >> value) stats[word] = value;
  return stats;
}

class Run {
 public:
  Run(int entries, int changes, bool keep)
      : _vnis(entries / kEntriesPerVni), _routers(std::max(1, entries / 2000)), _changes(changes), _root(keep) {}

  bool Execute() {
    return Start() && Load() && Floors() && MacChanges() && RouteChanges() && BareCommits() && Report();
  }

 private:
  std::string Path(const std::string& name) const { return _root.Path() + "/" + name; }
  std::map<std::string, int64_t> Stats(const char* channel) const {
    return ParseStats(qor::ovs::UnixctlClient::Call(Path("dpsim.ctl"), "dpsim/stats", {channel}, seconds(60)).text);
  }
  bool Control(const std::string& command, const std::vector<std::string>& args) const {
    return qor::ovs::UnixctlClient::Call(Path("dpsim.ctl"), "dpsim/" + command, args, seconds(60)).ok;
  }
  bool Fail(const std::string& what) const {
    std::cerr << _vnis * kEntriesPerVni << " entries: " << what << "\n";
    if (_agent) std::cerr << "agent output: " << _agent->Stdout().substr(0, 4000) << "\n";
    return false;
  }

  bool Start() {
    std::filesystem::create_directories(_root.Under("/etc/zantix/qor"));
    std::filesystem::copy_file(std::string(QOR_SAMPLE_CONFIG_DIR) + "/vessix.xml",
                               _root.Under("/etc/zantix/qor/vessix.xml"));
    const int port = StartTolvard(TOLVARD_PATH, _root.Path(), &_tolvard);
    if (port == 0) return Fail("tolvard did not start");
    _endpoint = "tcp:127.0.0.1:" + std::to_string(port);
    _client = std::make_unique<qor::tolvar::TolvarDbClient>("bench", "tcp://127.0.0.1:" + std::to_string(port), nullptr,
                                                            nullptr, true, true, false);
    _client->SetCallTimeout(seconds(60));
    _client->StartAsync();

    // The switches (with their VNIs) before the agent starts; their tables, the routers and routes are the load.
    tv::ScenarioMsg base;
    for (int s = 0; s < _vnis; ++s) {
      tv::LogSwitchConfigMsg ls;
      SetId(ls.mutable_id(), kSwitchHigh, static_cast<uint64_t>(s) + 1);
      ls.set_vni(kFirstVni + static_cast<uint32_t>(s));
      ls.set_replication_mode(1);
      ls.set_admin_state_up(true);
      Add(base, ls);
    }
    std::ofstream(Path("base.json")) << Json(base);
    if (!RunTolvarctl(_endpoint, Path("tolvarctl"), {"load", Path("base.json")})) return Fail("base load failed");

    std::ofstream(Path("dpsim.conf")).close();
    _dpsim = std::make_unique<qor::test::ChildProcess>(
        std::vector<std::string>{QOR_DPSIM_PATH, "--root", _root.Path(), "--control", Path("dpsim.ctl"), "--config",
                                 Path("dpsim.conf"), "--capture", Path("capture")},
        Path("dpsim"));
    if (!qor::test::WaitFor([&] { return std::filesystem::exists(_root.Under("/var/run/zantix/qor-dpsim/ready")); },
                            seconds(60)))
      return Fail("qor-dpsim did not start");
    for (int s = 0; s < _vnis; ++s) {
      if (!Control("l2-join",
                   {kL2Channel, std::to_string(kFirstVni + static_cast<uint32_t>(s)), std::to_string(kDatapathSwitch)}))
        return Fail("join failed");
    }
    std::ofstream(_root.Under("/etc/zantix/qor/qor-vevuroro.xml"))
        << "<config><vevUroro><workGroup><ioThreads>1</ioThreads><workThreads>16</workThreads></workGroup>"
           "<endpoints><health>tcp://127.0.0.1:0</health><tolvar>tcp://127.0.0.1:"
        << port << "</tolvar></endpoints><apps><app><name>config</name><enabled>true</enabled><config><tkmlink><path>"
        << kSwitchChannel
        << "</path></tkmlink></config></app><app><name>vxlan</name><enabled>true</enabled><config><tkmlink><path>"
        << kL2Channel
        << "</path></tkmlink></config></app><app><name>vdrb</name><enabled>true</enabled><config><l3><tkmlink><path>"
        << kL3Channel
        << "</path></tkmlink></l3></config></app><app><name>bfd</name><enabled>true</enabled><config/></app></apps>"
           "</vevUroro><log><level>4</level></log></config>";
    _agent = std::make_unique<qor::test::ChildProcess>(std::vector<std::string>{QOR_AGENT_BINARY}, Path("agent"),
                                                       std::map<std::string, std::string>{{"QOR_ROOT", _root.Path()}});
    // Ready when both sessions are open and the switches are known: the router module has had its first full sync,
    // and the agent has recorded every join.
    const bool ready = qor::test::WaitFor(
        [&] {
          return Stats(kL3Channel)["messages"] > 0 &&
                 _agent->Stdout().find("VNI: " + std::to_string(kFirstVni + static_cast<uint32_t>(_vnis) - 1)) !=
                     std::string::npos;
        },
        seconds(300));
    if (!ready) return Fail("the agent did not open both sessions");
    _l2Before = Stats(kL2Channel)["messages"];
    _l3Before = Stats(kL3Channel)["messages"];
    return true;
  }

  bool Load() {
    tv::ScenarioMsg load;
    for (int s = 0; s < _vnis; ++s) Add(load, SwitchTable(s));
    for (int r = 0; r < _routers; ++r) {
      tv::LogRouterConfigMsg router;
      SetId(router.mutable_id(), kRouterHigh, static_cast<uint64_t>(r) + 1);
      router.set_vdr_id(kFirstVdr + static_cast<uint32_t>(r));
      router.set_name("lr" + std::to_string(r));
      Add(load, router);
      tv::LogRouterPortConfigMsg port;
      SetId(port.mutable_id(), kPortHigh, static_cast<uint64_t>(r) + 1);
      SetId(port.mutable_router_id(), kRouterHigh, static_cast<uint64_t>(r) + 1);
      SetId(port.mutable_logical_switch_id(), kSwitchHigh, static_cast<uint64_t>(r % _vnis) + 1);
      port.set_type(1);
      port.set_admin_state_up(true);
      port.add_addresses()->mutable_address()->set_ipv4(0xc0a80001u | (static_cast<uint32_t>(r) << 8));
      port.mutable_addresses(0)->set_prefix_length(24);
      Add(load, port);
      for (int k = 0; k < kRoutesPerRouter; ++k) Add(load, Route(r, k, 0));
    }
    std::ofstream(Path("load.json")) << Json(load);
    const size_t l2Wanted = static_cast<size_t>(_vnis) * kEntriesPerVni;
    const size_t routesWanted = static_cast<size_t>(_routers) * kRoutesPerRouter;
    const int64_t begin = NowNs();
    if (!RunTolvarctl(_endpoint, Path("tolvarctl"), {"load", Path("load.json")})) return Fail("tolvarctl load failed");
    _loadCommitNs = NowNs() - begin;
    std::map<std::string, int64_t> l2, l3;
    const bool held = qor::test::WaitFor(
        [&] {
          l2 = Stats(kL2Channel);
          l3 = Stats(kL3Channel);
          return static_cast<size_t>(l2["vteps"] + l2["macs"] + l2["arp"]) == l2Wanted &&
                 static_cast<size_t>(l3["routes"]) == routesWanted;
        },
        seconds(1200));
    if (!held) {
      return Fail("the simulator holds " + std::to_string(l2["vteps"] + l2["macs"] + l2["arp"]) + " L2 entries and " +
                  std::to_string(l3["routes"]) + " routes");
    }
    // Settled: nothing applied for a while after everything is held (a bench may wait on the clock).
    for (int64_t l2Count = -1, l3Count = -1; l2Count != l2["messages"] || l3Count != l3["messages"];) {
      l2Count = l2["messages"];
      l3Count = l3["messages"];
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      l2 = Stats(kL2Channel);
      l3 = Stats(kL3Channel);
    }
    if (l2["malformed"] || l3["malformed"]) return Fail("the simulator refused messages");
    _loadL2Ns = l2["changed-ns"] - begin;
    _loadL3Ns = l3["changed-ns"] - begin;
    _l2Messages = l2["messages"] - _l2Before;
    _l3Messages = l3["messages"] - _l3Before;
    return true;
  }

  // The simulator's own decode: every message the agent sent on a channel so far, fed to a fresh module.
  bool Floors() {
    const auto l2 = qor::dpsim::ReadCaptureFile(Path("capture") + "/" + kL2Channel + ".cap");
    const auto l3 = qor::dpsim::ReadCaptureFile(Path("capture") + "/" + kL3Channel + ".cap");
    _l2Module = std::make_unique<qor::dpsim::OverlayModule>();
    std::vector<std::vector<uint8_t>> none;
    for (int s = 0; s < _vnis; ++s) {
      _l2Module->Command({"l2-join", kL2Channel, std::to_string(kFirstVni + static_cast<uint32_t>(s)),
                          std::to_string(kDatapathSwitch)},
                         none);
    }
    int64_t begin = NowNs();
    for (const auto& record : l2) {
      if (record.direction == qor::dpsim::Direction::kIn) _l2Module->Receive(record.bytes, none);
    }
    _decodeL2Ns = NowNs() - begin;
    _l3Module = std::make_unique<qor::dpsim::RouterModule>();
    begin = NowNs();
    for (const auto& record : l3) {
      if (record.direction == qor::dpsim::Direction::kIn) _l3Module->Receive(record.bytes);
    }
    _decodeL3Ns = NowNs() - begin;
    for (const auto& record : l2) _l2Bytes += record.direction == qor::dpsim::Direction::kIn ? record.bytes.size() : 0;
    for (const auto& record : l3) _l3Bytes += record.direction == qor::dpsim::Direction::kIn ? record.bytes.size() : 0;
    _l2Records = l2.size();
    _l3Records = l3.size();
    if (_l3Module->RouteCount() != static_cast<size_t>(_routers) * kRoutesPerRouter)
      return Fail("the replayed router module misses routes");
    return true;
  }

  // Commits `request`, then waits until the module on `channel` applied the `messages` the change makes (all
  // applied after the commit started); with `messages` 0, learns how many it makes (once quiet).
  bool Change(const tv::ModifyRequestMsg& request, const char* channel, int64_t* messages,
              std::vector<int64_t>* latency, std::vector<int64_t>* commit) {
    const int64_t before = Stats(channel)["messages"];
    const int64_t begin = NowNs();
    if (!_client->Modify({request}).ok()) return Fail("a change was not committed");
    if (commit) commit->push_back(NowNs() - begin);
    std::map<std::string, int64_t> stats;
    if (!qor::test::WaitFor(
            [&] {
              stats = Stats(channel);
              return stats["messages"] >= before + std::max<int64_t>(*messages, 1);
            },
            seconds(30)))
      return Fail("a change did not reach the simulator");
    if (*messages == 0) {
      for (int64_t seen = -1; seen != stats["messages"];) {
        seen = stats["messages"];
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stats = Stats(channel);
      }
      *messages = stats["messages"] - before;
    }
    if (latency) latency->push_back(stats["changed-ns"] - begin);
    return true;
  }

  // Decode floor of the changes: the capture's messages after `from`, each change's `perChange` messages fed to
  // the replayed module, every other change (the restores) skipped. Also the bytes of the measured changes.
  template <typename Feed>
  std::vector<int64_t> DecodeChanges(const std::string& channel, size_t from, int64_t perChange, size_t* bytes,
                                     Feed&& feed) {
    const auto records = qor::dpsim::ReadCaptureFile(Path("capture") + "/" + channel + ".cap");
    std::vector<std::vector<uint8_t>> sent;
    for (size_t i = from; i < records.size(); ++i) {
      if (records[i].direction == qor::dpsim::Direction::kIn) sent.push_back(records[i].bytes);
    }
    std::vector<int64_t> out;
    *bytes = 0;
    const size_t group = static_cast<size_t>(perChange);
    // The first two changes learned the counts: skip them.
    for (size_t at = 2 * group; at + group <= sent.size(); at += 2 * group) {
      const int64_t begin = NowNs();
      for (size_t i = at; i < at + group; ++i) feed(sent[i]);
      out.push_back(NowNs() - begin);
      for (size_t i = at; i < at + group; ++i) *bytes += sent[i].size();
    }
    return out;
  }

  tv::ModifyRequestMsg PutRequest(uint32_t type, const google::protobuf::Message& object) {
    tv::ModifyRequestMsg request;
    request.mutable_modify()->mutable_put()->mutable_object()->set_object_type(static_cast<tv::ObjectType>(type));
    request.mutable_modify()->mutable_put()->mutable_object()->set_object_body(object.SerializeAsString());
    return request;
  }

  // Each change is followed by its restore (the next change of the same object starts from the loaded state); the
  // first change and restore learn how many messages each makes.
  bool MacChanges() {
    for (int k = 0; k <= _changes; ++k) {
      const int s = static_cast<int>((static_cast<int64_t>(k) * 7919) % _vnis);
      const int mac = k % kMacs;
      const bool measured = k > 0;
      if (!Change(PutRequest(tv::LOG_SWITCH_FIB, SwitchTable(s, mac, (mac + 1 + k / kMacs) % kVteps)), kL2Channel,
                  &_macMessages, measured ? &_macNs : nullptr, measured ? &_macCommitNs : nullptr) ||
          !Change(PutRequest(tv::LOG_SWITCH_FIB, SwitchTable(s)), kL2Channel, &_macRestoreMessages, nullptr, nullptr))
        return false;
    }
    if (_macMessages != _macRestoreMessages) return Fail("a change and its restore make different messages");
    std::vector<std::vector<uint8_t>> none;
    _macDecodeNs = DecodeChanges(kL2Channel, _l2Records, _macMessages, &_macBytes,
                                 [&](const auto& bytes) { _l2Module->Receive(bytes, none); });
    return true;
  }

  bool RouteChanges() {
    for (int k = 0; k <= _changes; ++k) {
      const int router = static_cast<int>((static_cast<int64_t>(k) * 7919) % _routers);
      const int route = (k * 31) % kRoutesPerRouter;
      const bool measured = k > 0;
      if (!Change(PutRequest(tv::FIB, Route(router, route, 1)), kL3Channel, &_routeMessages,
                  measured ? &_routeNs : nullptr, measured ? &_routeCommitNs : nullptr) ||
          !Change(PutRequest(tv::FIB, Route(router, route, 0)), kL3Channel, &_routeRestoreMessages, nullptr, nullptr))
        return false;
    }
    if (_routeMessages != _routeRestoreMessages) return Fail("a change and its restore make different messages");
    _routeDecodeNs = DecodeChanges(kL3Channel, _l3Records, _routeMessages, &_routeBytes,
                                   [&](const auto& bytes) { _l3Module->Receive(bytes); });
    return true;
  }

  // The same MAC changes committed with the agent stopped: tolvard's own cost, nothing else served meanwhile.
  bool BareCommits() {
    _agentPeakMb = PeakRssMb(_agent->Pid());
    _agent->Signal(SIGTERM);
    _agent->Wait(seconds(60));
    for (int k = 1; k <= _changes; ++k) {
      const int s = static_cast<int>((static_cast<int64_t>(k) * 7919) % _vnis);
      const int mac = k % kMacs;
      const int64_t begin = NowNs();
      if (!_client->Modify({PutRequest(tv::LOG_SWITCH_FIB, SwitchTable(s, mac, (mac + 1 + k / kMacs) % kVteps))}).ok())
        return Fail("a bare commit failed");
      _macBareCommitNs.push_back(NowNs() - begin);
      if (!_client->Modify({PutRequest(tv::LOG_SWITCH_FIB, SwitchTable(s))}).ok()) return Fail("a bare commit failed");
    }
    return true;
  }

  bool Report() {
    auto l2 = Stats(kL2Channel), l3 = Stats(kL3Channel);
    if (l2["malformed"] || l3["malformed"]) return Fail("the simulator refused messages");
    auto us = [](double ms) { return Fixed(ms * 1000.0, 1) + " us"; };
    const auto perChange = [](size_t bytes, size_t changes) { return changes ? bytes / changes : 0; };
    std::cout << "\n== " << _vnis * kEntriesPerVni << " L2 entries over " << _vnis << " VNIs, "
              << _routers * kRoutesPerRouter << " routes over " << _routers << " routers\n";
    std::cout << "   load until the simulator holds everything: L2 " << Fixed(Ms(_loadL2Ns)) << " ms (" << _l2Messages
              << " messages, " << _l2Bytes / 1024 << " KiB), L3 " << Fixed(Ms(_loadL3Ns)) << " ms (" << _l3Messages
              << " messages, " << _l3Bytes / 1024 << " KiB)\n";
    std::cout << "     floors: the load's own commit (tolvarctl load) " << Fixed(Ms(_loadCommitNs))
              << " ms; the simulator's decode of the same bytes: L2 " << Fixed(Ms(_decodeL2Ns)) << " ms, L3 "
              << Fixed(Ms(_decodeL3Ns)) << " ms\n";
    std::cout << "   one MAC change, commit -> overlay module (" << _macNs.size() << " changes, " << _macMessages
              << " message(s), " << perChange(_macBytes, _macDecodeNs.size()) << " bytes a change): p50 "
              << us(Quantile(_macNs, 0.5)) << ", p99 " << us(Quantile(_macNs, 0.99)) << "\n";
    std::cout << "     floors: commit alone p50 " << us(Quantile(_macCommitNs, 0.5)) << ", p99 "
              << us(Quantile(_macCommitNs, 0.99)) << " (with the agent stopped p50 "
              << us(Quantile(_macBareCommitNs, 0.5)) << ", p99 " << us(Quantile(_macBareCommitNs, 0.99))
              << "); decode of the message p50 " << us(Quantile(_macDecodeNs, 0.5)) << ", p99 "
              << us(Quantile(_macDecodeNs, 0.99)) << "\n";
    std::cout << "   one route change, commit -> router module (" << _routeNs.size() << " changes, " << _routeMessages
              << " message(s), " << perChange(_routeBytes, _routeDecodeNs.size()) << " bytes a change): p50 "
              << us(Quantile(_routeNs, 0.5)) << ", p99 " << us(Quantile(_routeNs, 0.99)) << "\n";
    std::cout << "     floors: commit alone p50 " << us(Quantile(_routeCommitNs, 0.5)) << ", p99 "
              << us(Quantile(_routeCommitNs, 0.99)) << "; decode of the message p50 "
              << us(Quantile(_routeDecodeNs, 0.5)) << ", p99 " << us(Quantile(_routeDecodeNs, 0.99)) << "\n";
    // Flushed before the next size forks its processes, which would write the buffer again.
    std::cout << "   agent peak resident set " << Fixed(_agentPeakMb) << " MiB" << std::endl;
    return true;
  }

  const int _vnis;
  const int _routers;
  const int _changes;
  Root _root;
  std::string _endpoint;
  std::unique_ptr<qor::test::ChildProcess> _tolvard, _dpsim, _agent;
  std::unique_ptr<qor::tolvar::TolvarDbClient> _client;
  std::unique_ptr<qor::dpsim::OverlayModule> _l2Module;
  std::unique_ptr<qor::dpsim::RouterModule> _l3Module;
  int64_t _l2Before = 0, _l3Before = 0, _l2Messages = 0, _l3Messages = 0;
  int64_t _loadCommitNs = 0, _loadL2Ns = 0, _loadL3Ns = 0, _decodeL2Ns = 0, _decodeL3Ns = 0;
  size_t _l2Bytes = 0, _l3Bytes = 0, _l2Records = 0, _l3Records = 0, _macBytes = 0, _routeBytes = 0;
  int64_t _macMessages = 0, _macRestoreMessages = 0, _routeMessages = 0, _routeRestoreMessages = 0;
  double _agentPeakMb = 0;
  std::vector<int64_t> _macBareCommitNs;
  std::vector<int64_t> _macNs, _macCommitNs, _macDecodeNs, _routeNs, _routeCommitNs, _routeDecodeNs;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes = {20000, 200000};
  int changes = 300;
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--sizes" && i + 1 < argc) {
      sizes.clear();
      std::istringstream in(argv[++i]);
      for (std::string size; std::getline(in, size, ',');) sizes.push_back(std::stoi(size));
    } else if (arg == "--changes" && i + 1 < argc) {
      changes = std::stoi(argv[++i]);
    } else if (arg == "--keep") {
      keep = true;
    } else {
      std::cerr << "usage: overlay_scale_bench [--sizes 20000,200000] [--changes 300] [--keep]\n";
      return 2;
    }
  }
  for (int size : sizes) {
    if (size < kEntriesPerVni) {
      std::cerr << "a size is at least " << kEntriesPerVni << " entries\n";
      return 2;
    }
    if (!Run(size, changes, keep).Execute()) return 1;
  }
  return 0;
}
