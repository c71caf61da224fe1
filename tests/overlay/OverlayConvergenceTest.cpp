// Seeded randomized convergence test of the overlay applications with real processes (config/MainJobHarness.h):
// random desired-state changes in tolvard (logical switches with their VNIs, their forwarding tables of VTEPs, MACs
// and ARP entries; logical routers, router ports, routes, ARP tables), and datapath events in qor-dpsim (VNI joins
// and leaves, local VTEPs and MACs reported, out-of-sync reports, link flaps on the L2 and L3 channels), taken one
// by one by a running agent, must leave the simulator's overlay and router tables (BFD sessions included) and the
// database's L2 runtime state where a fresh agent brings a fresh simulator holding the same joins and local entries
// by one full sync of the same database. Every other round the fresh agent also starts from an empty runtime store,
// so that runtime state left behind by the running agent cannot hide behind the same leftover.
//
// The agent is quiet when a sentinel has been moved on every path after the random steps: the sentinel switch's
// desired VTEP (L2 application), the sentinel router's route (L3 application), the sentinel VNI's local VTEP
// reported by the simulator (runtime write-back) and the BFD session the last two make together (BFD table).
//
//   QOR_DIFF_SEED / QOR_DIFF_ROUNDS replay a run (support/Differential.h); QOR_DIFF_TRACE=1 prints the steps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <iostream>
#include <random>
#include <sstream>

#include "support/Differential.h"
#include "tests/config/MainJobHarness.h"
#include "tools/qor-dpsim/OverlayModule.h"
#include "zantix/qor/tolvar/l2.pb.h"
#include "zantix/qor/tolvar/l3.pb.h"

namespace VevUroro::test {
namespace {

constexpr const char* kL2Channel = "qor_l2_tkmlink";
constexpr const char* kL3Channel = "qor_l3_tkmlink";
constexpr int kSwitches = 3;
constexpr int kRouters = 2;
constexpr int kRouterPorts = 4;
constexpr int kRoutes = 6;
constexpr int kArpTables = 3;
constexpr int kSteps = 50;
constexpr uint32_t kDatapathSwitch = 9;  // the switch number of every join
constexpr uint32_t kSentinelVni = 5999;
constexpr uint32_t kUnknownVni = 5050;  // joined by the simulator, carried by no switch

// Ids: switches 1-3 (their tables 11-13), routers 201-202, ports 211-214, routes 221-226, ARP tables 231-233; the
// sentinel switch 9 (table 19), router 290 (route 299).
constexpr uint64_t kSentinelSwitch = 9;
constexpr uint64_t kSentinelRouter = 290;

tv::IpAddressMsg V4(uint32_t address) {
  tv::IpAddressMsg ip;
  ip.set_ipv4(address);
  return ip;
}
tv::IpPrefixMsg Net(uint32_t address, uint32_t length) {
  tv::IpPrefixMsg prefix;
  *prefix.mutable_address() = V4(address);
  prefix.set_prefix_length(length);
  return prefix;
}
constexpr uint32_t Dotted(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return (a << 24) | (b << 16) | (c << 8) | d;
}

// The sentinel's desired state at step `n`: its switch's VTEP label and its router's route both move.
tv::LogSwitchFibMsg SentinelFib(uint32_t n) {
  tv::LogSwitchFibMsg fib;
  *fib.mutable_id() = MjUuid(10 + kSentinelSwitch);
  *fib.mutable_logical_switch_id() = MjUuid(kSentinelSwitch);
  tv::VtepMsg* vtep = fib.add_vteps();
  *vtep->mutable_ip() = V4(Dotted(10, 9, 0, 1));
  vtep->set_label(1000 + n);
  return fib;
}
tv::FibMsg SentinelRoute(uint32_t n) {
  tv::FibMsg route;
  *route.mutable_id() = MjUuid(kSentinelRouter + 9);
  *route.mutable_router_id() = MjUuid(kSentinelRouter);
  *route.mutable_ip_prefix() = Net(Dotted(10, 99, n % 200, 0), 24);
  return route;
}
std::string SentinelRouteText(uint32_t n) {
  return "route 1999 10.99." + std::to_string(n % 200) + ".0/24 ";
}

struct World {
  std::mt19937_64 rng;
  explicit World(uint64_t seed) : rng(seed), arpSalt(rng() % 256) {}
  int Pick(int n) { return static_cast<int>(rng() % static_cast<uint64_t>(n)); }
  bool Coin(int percent = 50) { return Pick(100) < percent; }
  uint64_t arpSalt;  // the ARP entries' MACs of this round

  // What the simulator holds besides its tables: joined VNIs and the local entries reported on them, as the
  // arguments of its control commands ("IP LABEL", "MAC VTEP_IP").
  std::set<uint32_t> joined;
  std::map<uint32_t, std::set<std::string>> localVteps;
  std::map<uint32_t, std::map<std::string, std::string>> localMacs;  // VNI -> MAC -> VTEP IP

  tv::LogSwitchConfigMsg SwitchAt(int i) {
    // A switch keeps a VNI of its own (two switches on one VNI are a conflict, not a change), but may move.
    tv::LogSwitchConfigMsg ls = Switch(static_cast<uint64_t>(i), (Coin(80) ? 5000u : 5010u) + static_cast<uint32_t>(i));
    if (Coin(50)) ls.set_replication_mode(static_cast<uint32_t>(Pick(2)));
    if (Coin(70)) ls.mutable_transport_binding()->set_type(1);
    return ls;
  }
  tv::LogSwitchFibMsg FibAt(int i) {
    tv::LogSwitchFibMsg fib;
    *fib.mutable_id() = MjUuid(10 + static_cast<uint64_t>(i));
    *fib.mutable_logical_switch_id() = MjUuid(static_cast<uint64_t>(i));
    const std::optional<uint32_t> encaps[] = {std::nullopt, 1u, 3u, 4u, 5u, 2u};
    for (uint32_t label = 1; label <= 5; ++label) {
      if (Coin()) continue;
      tv::VtepMsg* vtep = fib.add_vteps();
      *vtep->mutable_ip() = V4(Dotted(10, 0, 0, label));
      vtep->set_label(label);
      if (auto encap = encaps[Pick(Coin(90) ? 5 : 6)]) vtep->set_encap_type(*encap);
      if (Coin(30)) vtep->mutable_mac()->set_mac(0x005056100000ull + label);
    }
    for (uint64_t m = 1; m <= 5; ++m) {
      if (Coin()) continue;
      tv::VmMacMsg* mac = fib.add_vm_macs();
      mac->mutable_mac()->set_mac(0x005056000000ull + m);
      *mac->mutable_vtep_ip() = V4(Dotted(10, 0, 0, 1 + static_cast<uint32_t>(Pick(5))));
    }
    for (uint32_t a = 1; a <= 4; ++a) {
      if (Coin()) continue;
      tv::VmIpMsg* ip = fib.add_vm_ips();
      *ip->mutable_ip() = V4(Dotted(192, 168, static_cast<uint32_t>(i), a));
      ip->mutable_mac()->set_mac(0x005056000000ull + 1 + static_cast<uint64_t>(Pick(5)));
      *ip->mutable_vtep_ip() = V4(Dotted(10, 0, 0, 1 + static_cast<uint32_t>(Pick(5))));
    }
    return fib;
  }
  tv::LogRouterConfigMsg RouterAt(int r) {
    tv::LogRouterConfigMsg router;
    *router.mutable_id() = MjUuid(200 + static_cast<uint64_t>(r));
    router.set_vdr_id(1000 + static_cast<uint32_t>(r));
    router.set_name("lr" + std::to_string(r));
    if (Coin(30)) router.set_arp_limit(100 * (1 + static_cast<uint32_t>(Pick(3))));
    return router;
  }
  tv::LogRouterPortConfigMsg RouterPortAt(int p) {
    tv::LogRouterPortConfigMsg port;
    *port.mutable_id() = MjUuid(210 + static_cast<uint64_t>(p));
    *port.mutable_router_id() = MjUuid(201 + static_cast<uint64_t>(Pick(kRouters)));
    *port.mutable_logical_switch_id() = MjUuid(1 + static_cast<uint64_t>(Pick(kSwitches)));
    port.set_type(1);
    port.set_admin_state_up(Coin(80));
    if (Coin(85)) *port.add_addresses() = Net(Dotted(10, 50, static_cast<uint32_t>(p), 1), 24);
    if (Coin(30)) port.set_mtu(1500 + 100 * static_cast<uint32_t>(Pick(3)));
    return port;
  }
  tv::FibMsg RouteAt(int f) {
    tv::FibMsg route;
    *route.mutable_id() = MjUuid(220 + static_cast<uint64_t>(f));
    *route.mutable_router_id() = MjUuid(201 + static_cast<uint64_t>(Pick(kRouters)));
    // The prefix is the route's own: two routes never share one.
    *route.mutable_ip_prefix() = Net(Dotted(172, 16, static_cast<uint32_t>(f), 0), 24);
    for (int h = 1; h <= 3; ++h) {
      if (Coin(60)) continue;
      tv::FibNextHopMsg* hop = route.add_next_hops();
      const int port = 1 + Pick(kRouterPorts);
      *hop->mutable_ip() = V4(Dotted(10, 50, static_cast<uint32_t>(port), 100 + static_cast<uint32_t>(h)));
      *hop->mutable_router_port_id() = MjUuid(210 + static_cast<uint64_t>(port));
      if (Coin(20)) hop->set_static_route(true);
    }
    return route;
  }
  tv::ArpTableConfigMsg ArpTableAt(int a) {
    tv::ArpTableConfigMsg table;
    *table.mutable_id() = MjUuid(230 + static_cast<uint64_t>(a));
    const int port = 1 + Pick(kRouterPorts);
    *table.mutable_router_port_id() = MjUuid(210 + static_cast<uint64_t>(port));
    for (uint32_t e = 1; e <= 3; ++e) {
      if (Coin()) continue;
      tv::ArpEntryMsg* entry = table.add_entries();
      *entry->mutable_ip() = V4(Dotted(10, 50, static_cast<uint32_t>(port), 10 + e));
      // Two tables of one port may give the same address: with one MAC per address (in a round), as two MACs
      // would leave the kernel's entry to whichever table came last.
      entry->mutable_mac()->set_mac(0x005056200000ull | (arpSalt << 16) | (static_cast<uint64_t>(port) << 8) |
                                    (10 + e));
    }
    return table;
  }
  // A VNI the simulator may join: the ones switches may carry, and one no switch carries.
  uint32_t AnyVni() {
    const int pick = Pick(2 * kSwitches + 1);
    if (pick == 2 * kSwitches) return kUnknownVni;
    return (pick < kSwitches ? 5001u : 5011u) + static_cast<uint32_t>(pick % kSwitches);
  }
};

struct Snapshot {
  std::string overlay;  // the overlay module's tables
  std::string router;   // the router module's tables
  std::map<std::pair<uint32_t, std::string>, std::string> runtime;
  bool operator==(const Snapshot&) const = default;
};

// A runtime object with the elements of its lists in one order: the order the agent wrote them in follows the order
// the datapath reported them in, which a fresh start does not keep.
std::string Canonical(uint32_t type, const std::string& body) {
  auto object = qor::tolvar::NewObject(type);
  object->ParseFromString(body);
  const google::protobuf::Reflection* reflection = object->GetReflection();
  const google::protobuf::Descriptor* descriptor = object->GetDescriptor();
  for (int f = 0; f < descriptor->field_count(); ++f) {
    const google::protobuf::FieldDescriptor* field = descriptor->field(f);
    if (!field->is_repeated() || field->cpp_type() != google::protobuf::FieldDescriptor::CPPTYPE_MESSAGE) continue;
    std::vector<std::string> elements;
    for (int i = 0; i < reflection->FieldSize(*object, field); ++i) {
      elements.push_back(reflection->GetRepeatedMessage(*object, field, i).SerializeAsString());
    }
    std::sort(elements.begin(), elements.end());
    for (int i = 0; i < static_cast<int>(elements.size()); ++i) {
      reflection->MutableRepeatedMessage(object.get(), field, i)->ParseFromString(elements[static_cast<size_t>(i)]);
    }
  }
  return object->SerializeAsString();
}
std::map<std::pair<uint32_t, std::string>, std::string> Canonical(
    std::map<std::pair<uint32_t, std::string>, std::string> objects) {
  for (auto& [key, body] : objects) body = Canonical(key.first, body);
  return objects;
}

std::set<std::string> Lines(const std::string& text) {
  std::set<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.insert(line);
  return lines;
}

void DescribeLines(const std::string& what, const std::string& a, const std::string& b, std::ostream& out) {
  if (a == b) return;
  const std::set<std::string> x = Lines(a), y = Lines(b);
  for (const std::string& line : x) {
    if (!y.count(line)) out << what << " only incremental: " << line << "\n";
  }
  for (const std::string& line : y) {
    if (!x.count(line)) out << what << " only fresh: " << line << "\n";
  }
  out << what << " incremental:\n" << a << what << " fresh:\n" << b;
}

std::string Describe(const Snapshot& a, const Snapshot& b) {
  std::ostringstream out;
  DescribeLines("overlay", a.overlay, b.overlay, out);
  DescribeLines("router", a.router, b.router, out);
  std::set<std::pair<uint32_t, std::string>> objects;
  for (const auto& [key, body] : a.runtime) objects.insert(key);
  for (const auto& [key, body] : b.runtime) objects.insert(key);
  for (const auto& key : objects) {
    auto x = a.runtime.find(key);
    auto y = b.runtime.find(key);
    if (x != a.runtime.end() && y != b.runtime.end() && x->second == y->second) continue;
    auto text = [&key](const auto& found, const auto& end) -> std::string {
      if (found == end) return "absent";
      auto object = qor::tolvar::NewObject(key.first);
      object->ParseFromString(found->second);
      return object->ShortDebugString();
    };
    out << "runtime object type " << key.first << ": incremental " << text(x, a.runtime.end()) << ", fresh "
        << text(y, b.runtime.end()) << "\n";
  }
  return out.str();
}

class OverlayConvergenceTest : public MainJobFixture {
 protected:
  void SetUp() override {
    MainJobFixture::SetUp();
    client->RegisterCallbacks(
        102, [this](const tv::MonitorUpdateMsg& update) { l2Runtime.Apply(update); }, [] {}, 1);
    ASSERT_TRUE(client->ConfigureMonitors(
        {qor::tolvar::test::Statement(tv::LOG_SWITCH_STATE), qor::tolvar::test::Statement(tv::ROUTING_DOMAIN_VTEP)}, {},
        102, 1));
  }

  void StartOverlayAgent() {
    std::ofstream(root.Under("/etc/zantix/qor/qor-vevuroro.xml"))
        << "<config><vevUroro><workGroup><ioThreads>1</ioThreads><workThreads>16</workThreads></workGroup>"
           "<endpoints><health>tcp://127.0.0.1:0</health><tolvar>"
        << tolvard->Endpoint()
        << "</tolvar></endpoints><apps><app><name>config</name><enabled>true</enabled><config><tkmlink><path>"
        << kSwitchChannel
        << "</path></tkmlink></config></app><app><name>vxlan</name><enabled>true</enabled><config><tkmlink><path>"
        << kL2Channel
        << "</path></tkmlink></config></app><app><name>vdrb</name><enabled>true</enabled><config><l3><tkmlink><path>"
        << kL3Channel
        << "</path></tkmlink></l3></config></app><app><name>bfd</name><enabled>true</enabled><config/></app></apps>"
           "</vevUroro><log><level>4</level></log></config>";
    agent = std::make_unique<qor::test::ChildProcess>(std::vector<std::string>{QOR_AGENT_BINARY},
                                                      root.Path() + "/agent" + std::to_string(++agents),
                                                      std::map<std::string, std::string>{{"QOR_ROOT", root.Path()}});
  }

  // The module's tables: the dump without its first line (session number and counters, which differ by design).
  std::string Tables(const char* channel, std::string* header) {
    std::string dump = Control("dump", {channel}).text;
    const size_t cut = dump.find('\n') + 1;
    *header = dump.substr(0, cut);
    dump.erase(0, cut);
    const size_t barrier = dump.find("barrier ");
    if (barrier != std::string::npos) dump.erase(barrier, dump.find('\n', barrier) + 1 - barrier);
    return dump;
  }
  std::string Overlay() {
    std::string header;
    return Tables(kL2Channel, &header);
  }
  std::string Router() {
    std::string header;
    return Tables(kL3Channel, &header);
  }

  bool SentinelWrittenBack(uint32_t label) {
    for (const auto& [key, body] : l2Runtime.All()) {
      if (key.first != tv::LOG_SWITCH_STATE || key.second != MjId(kSentinelSwitch)) continue;
      tv::LogSwitchStateMsg state;
      state.ParseFromString(body);
      for (const tv::VtepMsg& vtep : state.vteps()) {
        if (vtep.label() == label) return true;
      }
    }
    return false;
  }

  // Moves the sentinel to `n` on every path and waits (bounded) until each has arrived; see the file comment.
  void Quiesce(uint32_t n) {
    Put(SentinelFib(n));
    Put(SentinelRoute(n));
    if (sentinelLocal) {
      ControlOk("l2-local-vtep",
                {kL2Channel, std::to_string(kSentinelVni), "10.8.0.1", std::to_string(*sentinelLocal), "del"});
    }
    ControlOk("l2-local-vtep", {kL2Channel, std::to_string(kSentinelVni), "10.8.0.1", std::to_string(n), "add"});
    sentinelLocal = n;
    const std::string vtep = "vtep 10.9.0.1 label=" + std::to_string(1000 + n) + " ";
    const std::string bfd = "local=10.8.0.1 remote=10.9.0.1 labels=" + std::to_string(n) + "/";
    ASSERT_TRUE(qor::test::WaitFor(
        [&] {
          const std::string overlay = Overlay();
          return overlay.find(vtep) != std::string::npos && overlay.find(bfd) != std::string::npos;
        },
        std::chrono::seconds(30)))
        << Overlay() << agent->Stdout();
    ASSERT_TRUE(qor::test::WaitFor([&] { return Router().find(SentinelRouteText(n)) != std::string::npos; },
                                   std::chrono::seconds(30)))
        << Router();
    ASSERT_TRUE(qor::test::WaitFor([&] { return SentinelWrittenBack(n); }, std::chrono::seconds(30)));
  }

  // The simulator's joins and local entries of `world` (and the sentinel's), given before the agent connects: the
  // module reports them when the session opens.
  void HoldDatapathState(const World& world) {
    std::set<uint32_t> joined = world.joined;
    joined.insert(kSentinelVni);
    for (uint32_t vni : joined) {
      ControlOk("l2-join", {kL2Channel, std::to_string(vni), std::to_string(kDatapathSwitch)});
    }
    for (const auto& [vni, vteps] : world.localVteps) {
      for (const std::string& vtep : vteps) {
        const size_t space = vtep.find(' ');
        ControlOk("l2-local-vtep",
                  {kL2Channel, std::to_string(vni), vtep.substr(0, space), vtep.substr(space + 1), "add"});
      }
    }
    for (const auto& [vni, macs] : world.localMacs) {
      for (const auto& [mac, ip] : macs) ControlOk("l2-local-mac", {kL2Channel, std::to_string(vni), mac, ip, "add"});
    }
    if (sentinelLocal) {
      ControlOk("l2-local-vtep",
                {kL2Channel, std::to_string(kSentinelVni), "10.8.0.1", std::to_string(*sentinelLocal), "add"});
    }
  }

  // A difference the simulator reports by itself: a message it could not read.
  std::string Malformed() {
    std::string l2, l3;
    Tables(kL2Channel, &l2);
    Tables(kL3Channel, &l3);
    std::string out;
    if (l2.find(" malformed=0") == std::string::npos) {
      out += "overlay module: " + l2;
      // Which of the agent's messages the module refuses: the captured ones fed again to a module of our own.
      qor::dpsim::OverlayModule module;
      std::vector<std::vector<uint8_t>> none;
      for (const auto& record : Captured(kL2Channel)) {
        if (record.direction != qor::dpsim::Direction::kIn || module.Receive(record.bytes, none)) continue;
        std::ostringstream hex;
        for (uint8_t byte : record.bytes) hex << std::hex << std::setw(2) << std::setfill('0') << int(byte);
        out += "  refused: " + hex.str() + "\n";
      }
    }
    if (l3.find("malformed messages 0,") == std::string::npos) out += "router module: " + l3;
    return out;
  }

  Snapshot Take() { return Snapshot{Overlay(), Router(), Canonical(l2Runtime.All())}; }

  void FlushAll() {
    std::vector<tv::ModifyRequestMsg> flush;
    for (uint32_t type :
         {tv::LOG_SWITCH_CONFIG, tv::LOG_SWITCH_FIB, tv::LOG_ROUTER_CONFIG, tv::LOG_ROUTER_PORT_CONFIG, tv::FIB,
          tv::ARP_TABLE_CONFIG, tv::TRANSPORT_NODE_CONFIG, tv::LOG_SWITCH_STATE, tv::ROUTING_DOMAIN_VTEP}) {
      flush.push_back(qor::tolvar::test::Flush(type, {1}));
    }
    Write(flush);
  }

  void Round(World& world, size_t round, std::string* difference);

  RuntimeMirror l2Runtime;
  std::optional<uint32_t> sentinelLocal;  // the label of the sentinel's local VTEP the simulator holds
};

void OverlayConvergenceTest::Round(World& world, size_t round, std::string* difference) {
  const bool trace = std::getenv("QOR_DIFF_TRACE") != nullptr;
  auto note = [trace](const std::string& text) {
    if (trace) std::cerr << text << "\n";
  };
  FlushAll();
  sentinelLocal.reset();
  Put(HostSwitchNode("dvs-1"));
  Put(Switch(kSentinelSwitch, kSentinelVni));
  tv::LogRouterConfigMsg sentinelRouter;
  *sentinelRouter.mutable_id() = MjUuid(kSentinelRouter);
  sentinelRouter.set_vdr_id(1999);
  sentinelRouter.set_name("sentinel");
  Put(sentinelRouter);
  for (int i = 1; i <= kSwitches; ++i) Put(world.SwitchAt(i));
  StartDpsim();
  HoldDatapathState(world);
  StartOverlayAgent();

  for (int step = 0; step < kSteps; ++step) {
    const int what = world.Pick(100);
    const bool drop = world.Coin(15);
    if (what < 12) {
      auto ls = world.SwitchAt(1 + world.Pick(kSwitches));
      note("put " + ls.ShortDebugString());
      Put(ls);
    } else if (what < 14) {
      const uint64_t i = 1 + static_cast<uint64_t>(world.Pick(kSwitches));
      note("delete switch " + std::to_string(i));
      Delete(tv::LOG_SWITCH_CONFIG, MjId(i));
    } else if (what < 30) {
      const int i = 1 + world.Pick(kSwitches);
      if (drop) {
        note("delete switch table " + std::to_string(i));
        Delete(tv::LOG_SWITCH_FIB, MjId(10 + static_cast<uint64_t>(i)));
      } else {
        auto fib = world.FibAt(i);
        note("put " + fib.ShortDebugString());
        Put(fib);
      }
    } else if (what < 35) {
      const int r = 1 + world.Pick(kRouters);
      if (drop) {
        note("delete router " + std::to_string(r));
        Delete(tv::LOG_ROUTER_CONFIG, MjId(200 + static_cast<uint64_t>(r)));
      } else {
        auto router = world.RouterAt(r);
        note("put " + router.ShortDebugString());
        Put(router);
      }
    } else if (what < 44) {
      const int p = 1 + world.Pick(kRouterPorts);
      if (drop) {
        note("delete router port " + std::to_string(p));
        Delete(tv::LOG_ROUTER_PORT_CONFIG, MjId(210 + static_cast<uint64_t>(p)));
      } else {
        auto port = world.RouterPortAt(p);
        note("put " + port.ShortDebugString());
        Put(port);
      }
    } else if (what < 53) {
      const int f = 1 + world.Pick(kRoutes);
      if (drop) {
        note("delete route " + std::to_string(f));
        Delete(tv::FIB, MjId(220 + static_cast<uint64_t>(f)));
      } else {
        auto route = world.RouteAt(f);
        note("put " + route.ShortDebugString());
        Put(route);
      }
    } else if (what < 59) {
      const int a = 1 + world.Pick(kArpTables);
      if (drop) {
        note("delete ARP table " + std::to_string(a));
        Delete(tv::ARP_TABLE_CONFIG, MjId(230 + static_cast<uint64_t>(a)));
      } else {
        auto table = world.ArpTableAt(a);
        note("put " + table.ShortDebugString());
        Put(table);
      }
    } else if (what < 67) {
      const uint32_t vni = world.AnyVni();
      if (!world.joined.insert(vni).second) continue;
      note("join " + std::to_string(vni));
      ControlOk("l2-join", {kL2Channel, std::to_string(vni), std::to_string(kDatapathSwitch)});
    } else if (what < 71) {
      if (world.joined.empty()) continue;
      auto it = std::next(world.joined.begin(), world.Pick(static_cast<int>(world.joined.size())));
      const uint32_t vni = *it;
      world.joined.erase(it);
      world.localVteps.erase(vni);
      world.localMacs.erase(vni);
      note("leave " + std::to_string(vni));
      ControlOk("l2-leave", {kL2Channel, std::to_string(vni)});
    } else if (what < 92) {
      if (world.joined.empty()) continue;
      const uint32_t vni = *std::next(world.joined.begin(), world.Pick(static_cast<int>(world.joined.size())));
      const bool add = world.Coin(65);
      const int k = 1 + world.Pick(3);
      const std::string ip = "10.1.0." + std::to_string(k);
      if (what < 80) {
        // A local VTEP: one label per address.
        const std::string args = ip + " " + std::to_string(500 + k);
        note(std::string(add ? "add" : "delete") + " local VTEP " + args + " on " + std::to_string(vni));
        if (add) {
          world.localVteps[vni].insert(args);
        } else {
          world.localVteps[vni].erase(args);
        }
        ControlOk("l2-local-vtep", {kL2Channel, std::to_string(vni), ip, std::to_string(500 + k), add ? "add" : "del"});
      } else {
        // A local MAC; a MAC reported again behind another VTEP replaces the first.
        char mac[18];
        std::snprintf(mac, sizeof(mac), "00:50:56:01:00:%02x", world.Pick(4) + 1);
        note(std::string(add ? "add" : "delete") + " local MAC " + mac + " " + ip + " on " + std::to_string(vni));
        if (add) {
          world.localMacs[vni][mac] = ip;
        } else {
          // The module drops the MAC whatever VTEP the removal names.
          world.localMacs[vni].erase(mac);
        }
        ControlOk("l2-local-mac", {kL2Channel, std::to_string(vni), mac, ip, add ? "add" : "del"});
      }
    } else if (what < 95) {
      note("out of sync");
      ControlOk("l2-out-of-sync", {kL2Channel});
    } else if (what < 97) {
      note("flap the L2 channel");
      ControlOk("drop-connections", {kL2Channel});
    } else if (what < 99) {
      note("flap the L3 channel");
      ControlOk("drop-connections", {kL3Channel});
    } else {
      // Several changes in one transaction.
      auto ls = world.SwitchAt(1 + world.Pick(kSwitches));
      auto fib = world.FibAt(1 + world.Pick(kSwitches));
      auto port = world.RouterPortAt(1 + world.Pick(kRouterPorts));
      auto route = world.RouteAt(1 + world.Pick(kRoutes));
      note("one transaction: put " + ls.ShortDebugString() + "; put " + fib.ShortDebugString() + "; put " +
           port.ShortDebugString() + "; put " + route.ShortDebugString());
      Write({qor::tolvar::test::Put(tv::LOG_SWITCH_CONFIG, ls), qor::tolvar::test::Put(tv::LOG_SWITCH_FIB, fib),
             qor::tolvar::test::Put(tv::LOG_ROUTER_PORT_CONFIG, port), qor::tolvar::test::Put(tv::FIB, route)});
    }
    if (HasFatalFailure()) return;
  }
  const uint32_t sentinel = 2 * static_cast<uint32_t>(round) + 1;
  Quiesce(sentinel);
  if (HasFatalFailure()) return;
  Snapshot incremental = Take();
  if (std::string bad = Malformed(); !bad.empty()) {
    *difference = "incremental: " + bad;
    return;
  }
  if (trace) {
    std::string header;
    Tables(kL2Channel, &header);
    std::cerr << "incremental " << header;
  }

  // A fresh agent and a fresh simulator holding the same joins and local entries: one full sync of the same
  // database, every other round from an empty runtime store.
  ASSERT_EQ(StopAgent(), 0);
  dpsim.reset();
  const bool emptyRuntime = round % 2 == 1;
  if (emptyRuntime) {
    Write(
        {qor::tolvar::test::Flush(tv::LOG_SWITCH_STATE, {1}), qor::tolvar::test::Flush(tv::ROUTING_DOMAIN_VTEP, {1})});
  }
  StartDpsim();
  HoldDatapathState(world);
  StartOverlayAgent();
  // What the full sync queued is behind one more move of the sentinel, and the sentinel back where it was.
  Quiesce(sentinel + 1);
  if (HasFatalFailure()) return;
  Quiesce(sentinel);
  if (HasFatalFailure()) return;
  Snapshot fresh = Take();
  if (std::string bad = Malformed(); !bad.empty()) {
    *difference = "fresh: " + bad;
    return;
  }
  if (trace) {
    std::cerr << "round " << round << (emptyRuntime ? " (empty runtime store)" : "") << ":\n"
              << fresh.overlay << fresh.router << fresh.runtime.size() << " runtime objects\n";
  }
  if (!(incremental == fresh)) *difference = Describe(incremental, fresh);
  ASSERT_EQ(StopAgent(), 0);
  dpsim.reset();
}

TEST_F(OverlayConvergenceTest, IncrementalChangesEndWhereAFreshAgentsFullSyncStarts) {
  qor::test::RunDifferential(qor::test::DifferentialSettings::FromEnvironment(2),
                             [&](std::mt19937_64& rng, size_t index) {
                               World world(rng());
                               std::string difference;
                               Round(world, index, &difference);
                               return difference;
                             });
}

}  // namespace
}  // namespace VevUroro::test
