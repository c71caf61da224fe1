// Seeded randomized convergence test with real processes (MainJobHarness.h): random desired-state changes (ports,
// switches, their properties, mirror sessions) in tolvard, and VIF connects with discovered bindings, binding
// updates (whole or in fragments) and disconnects in qor-dpsim, taken one by one by a running agent, must leave the
// simulator and the database's runtime state where a freshly started agent brings a fresh simulator holding the
// same VIFs by one full sync of the same database. The seed is printed; QOR_DIFF_SEED and QOR_DIFF_ROUNDS replay a
// run (support/Differential.h), QOR_DIFF_TRACE=1 prints the steps.
//
// Compared: every port's properties, the switch properties and the runtime objects. Not compared: the port list,
// which the agent sends only with a full sync (the incremental run has had none since its VIFs connected). The
// generator keeps to what the converter promises to keep in step (see ConverterDifferentialTest.cpp): a port's QoS,
// switch security and IP discovery settings are replaced, never deleted, and a logical switch port is deleted only
// while its VIF is not connected (and the agent has taken the deletion before the VIF connects again).
//
// The agent is quiet when a sentinel port has been reconnected and its logical switch port changed after every
// other step, and the simulator holds the change: both the datapath path and the database path are then done. One
// switch property follows a timer instead: the controller session state (key 1), which an agent reports down from its
// start until its database health check first finds the database alive (a second after start at the earliest), and
// up from then on, as the database has it. Each run therefore also waits for the switch to hold "up": a round is
// often shorter than that second, and comparing sooner set one run's "up" against the other's "down" whenever only
// one of the two agents had made its first check.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <random>

#include "support/Differential.h"
#include "tests/config/MainJobHarness.h"

namespace VevUroro {
namespace {

using namespace test;

constexpr int kSwitches = 3;
constexpr int kPorts = 8;
constexpr int kSessions = 2;
constexpr uint64_t kSentinel = 99;

// The sentinel's COS values: never the one it had, within the COS range.
uint32_t NextCos(uint32_t cos) {
  return cos >= 7 ? 2 : cos + 1;
}

struct World {
  std::mt19937_64 rng;
  explicit World(uint64_t seed) : rng(seed) {}
  int Pick(int n) { return static_cast<int>(rng() % static_cast<uint64_t>(n)); }
  bool Coin(int percent = 50) { return Pick(100) < percent; }

  struct HeldVif {
    std::string mac;
    std::vector<std::string> bindings;  // the simulator's binding=... arguments
  };
  std::map<int, HeldVif> connected;  // by port

  tv::LogSwitchConfigMsg SwitchAt(int i) {
    tv::LogSwitchConfigMsg ls;
    *ls.mutable_id() = MjUuid(1 + i);
    if (Coin(80)) ls.set_vni(5000 + Pick(3));
    if (Coin(30)) ls.set_vlan(10 + Pick(3));
    if (Coin(85)) ls.set_admin_state_up(Coin(80));
    if (Coin(50)) ls.set_replication_mode(Pick(2));
    if (Coin(40)) ls.set_uplink_teaming_policy(Coin() ? "failover" : "loadbalance");
    return ls;
  }
  tv::LogSwitchPortConfigMsg PortAt(int i) {
    tv::LogSwitchPortConfigMsg lsp =
        Port(static_cast<uint64_t>(i), static_cast<uint64_t>(1 + Pick(kSwitches)), static_cast<uint32_t>(Pick(8)));
    if (Coin(30)) {
      auto* shaper = lsp.mutable_qos()->add_shapers();
      shaper->set_type(1 + Pick(3));
      shaper->set_average_bandwidth(10 * (1 + Pick(3)));
    }
    lsp.mutable_switch_security()->set_port_spoof_guard(Coin());
    lsp.mutable_switch_security()->set_bpdu_filter(Coin());
    lsp.mutable_ip_discovery()->set_arp_snooping_enabled(Coin());
    lsp.mutable_ip_discovery()->set_dhcp_snooping_enabled(Coin());
    if (Coin(10)) lsp.set_admin_state_up(false);
    if (Coin(40)) lsp.mutable_mac_management()->set_mac_change_allowed(Coin());
    for (int s = 0; s < kSessions; ++s) {
      if (Coin(25)) *lsp.mutable_mirror_targets()->add_session_ids() = MjUuid(500 + s);
    }
    return lsp;
  }
  tv::PortMirrorSessionMsg SessionAt(int s) {
    tv::PortMirrorSessionMsg session;
    *session.mutable_id() = MjUuid(500 + s);
    auto* local = session.mutable_logical_port_mirror_session();
    local->set_name("s" + std::to_string(s));
    if (Coin()) local->set_snap_length(64 + Pick(64));
    *local->add_source_ids() = MjUuid(100 + Pick(kPorts));
    *local->add_destination_ids() = MjUuid(100 + Pick(kPorts));
    return session;
  }
  std::string Mac() {
    char text[18];
    std::snprintf(text, sizeof(text), "00:50:56:00:%02x:%02x", Pick(256), Pick(256));
    return text;
  }
  // Up to two discovered bindings, each with one of the datapath's discovery methods.
  std::vector<std::string> Bindings(const std::string& mac) {
    static constexpr int kMethods[] = {1, 2, 8, 16, 32, 64};
    std::vector<std::string> out;
    for (int n = Pick(3); n > 0; --n) {
      out.push_back("binding=10.1." + std::to_string(Pick(256)) + "." + std::to_string(Pick(256)) + "," + mac + "," +
                    std::to_string(Pick(3)) + "," + std::to_string(kMethods[Pick(6)]));
    }
    return out;
  }
};

struct Snapshot {
  std::map<std::string, std::map<int, std::string>> ports;
  std::map<std::string, std::map<int, std::string>> switches;
  std::map<std::pair<uint32_t, std::string>, std::string> runtime;
  bool operator==(const Snapshot&) const = default;
};

// Each property of a port or switch whose value differs between the two runs, one line each.
void DescribeProperties(const std::map<std::string, std::map<int, std::string>>& a,
                        const std::map<std::string, std::map<int, std::string>>& b, std::ostringstream& out) {
  std::set<std::string> names;
  for (const auto& [name, p] : a) names.insert(name);
  for (const auto& [name, p] : b) names.insert(name);
  for (const std::string& name : names) {
    auto x = a.find(name);
    auto y = b.find(name);
    std::map<int, std::string> none;
    const auto& px = x == a.end() ? none : x->second;
    const auto& py = y == b.end() ? none : y->second;
    std::set<int> keys;
    for (const auto& [k, v] : px) keys.insert(k);
    for (const auto& [k, v] : py) keys.insert(k);
    for (int k : keys) {
      auto vx = px.find(k);
      auto vy = py.find(k);
      if (vx != px.end() && vy != py.end() && vx->second == vy->second) continue;
      out << name << " key " << k << ": incremental " << (vx == px.end() ? "absent" : vx->second) << ", fresh "
          << (vy == py.end() ? "absent" : vy->second) << "\n";
    }
  }
}

std::string Describe(const Snapshot& a, const Snapshot& b) {
  std::ostringstream out;
  DescribeProperties(a.ports, b.ports, out);
  if (a.switches != b.switches) {
    out << "switch properties differ\n";
    DescribeProperties(a.switches, b.switches, out);
  }
  std::set<std::pair<uint32_t, std::string>> objects;
  for (const auto& [key, body] : a.runtime) objects.insert(key);
  for (const auto& [key, body] : b.runtime) objects.insert(key);
  for (const auto& key : objects) {
    auto x = a.runtime.find(key);
    auto y = b.runtime.find(key);
    auto text = [&key](const auto& found, const auto& end) -> std::string {
      if (found == end) return "absent";
      auto object = qor::tolvar::NewObject(key.first);
      object->ParseFromString(found->second);
      return object->ShortDebugString();
    };
    if (x != a.runtime.end() && y != b.runtime.end() && x->second == y->second) continue;
    out << "runtime object type " << key.first << " " << key.second << ": incremental " << text(x, a.runtime.end())
        << ", fresh " << text(y, b.runtime.end()) << "\n";
  }
  return out.str();
}

class ConvergenceTest : public MainJobFixture {
 protected:
  // The agent is done with every step so far (see the file comment): the sentinel reconnects with `mac` and its
  // port changes to `cos`; the runtime write-back, one queue, is done when the sentinel's new MAC is in tolvard.
  void Quiesce(uint32_t cos, const std::string& mac, const std::set<std::string>& vifs) {
    ControlOk("vif-disconnect", {kSwitchChannel, "vif-" + std::to_string(kSentinel)});
    ControlOk("vif-connect", {kSwitchChannel, "vif-" + std::to_string(kSentinel), "1099", "dvs-1", mac});
    Put(Port(kSentinel, 9, cos));
    WaitSentinel(cos, mac, vifs);
  }
  void WaitSentinel(uint32_t cos, const std::string& mac, const std::set<std::string>& vifs) {
    const std::string wanted = "COS " + std::to_string(cos);
    ASSERT_TRUE(WaitDatapath([&](const DatapathView& v) {
      return v.Value(v.ports, "vif-" + std::to_string(kSentinel), 3).find(wanted) != std::string::npos &&
             v.Ccp("dvs-1") == "\"up\"";
    })) << agent->Stdout();
    uint64_t number = 0;
    for (char c : mac) {
      if (c != ':') number = (number << 4) | static_cast<uint64_t>(std::stoi(std::string(1, c), nullptr, 16));
    }
    ASSERT_TRUE(qor::test::WaitFor([&] {
      auto sentinel = mirror.Vif("vif-" + std::to_string(kSentinel));
      return sentinel && sentinel->mac().mac() == number && mirror.Ids(tv::VIF_STATE) == vifs;
    }));
  }
  // The agent has taken every database change so far (one transaction queue): the sentinel's port changed to `cos`.
  void SyncDesired(uint32_t cos) {
    Put(Port(kSentinel, 9, cos));
    const std::string wanted = "COS " + std::to_string(cos);
    ASSERT_TRUE(WaitDatapath([&](const DatapathView& v) {
      return v.Value(v.ports, "vif-" + std::to_string(kSentinel), 3).find(wanted) != std::string::npos;
    })) << agent->Stdout();
  }
  Snapshot Take() {
    DatapathView view = Datapath();
    return Snapshot{view.ports, view.switches, mirror.All()};
  }
  // One round: random steps taken by a running agent, then the same database and VIFs given to a fresh agent and a
  // fresh datapath; `difference` tells how the two end states differ.
  void Round(World& world, size_t round, std::string* difference);
  void FlushDesired() {
    std::vector<tv::ModifyRequestMsg> flush;
    for (uint32_t type : {tv::LOG_SWITCH_CONFIG, tv::LOG_SWITCH_PORT_CONFIG, tv::PORT_MIRROR_SESSION,
                          tv::TRANSPORT_NODE_CONFIG, tv::CCP_SESSION}) {
      flush.push_back(qor::tolvar::test::Flush(type, {1}));
    }
    Write(flush);
  }
};

void ConvergenceTest::Round(World& world, size_t round, std::string* difference) {
  const bool trace = std::getenv("QOR_DIFF_TRACE") != nullptr;
  FlushDesired();
  Put(HostSwitchNode("dvs-1"));
  tv::CcpSessionMsg ccp;
  ccp.mutable_id()->set_low(1);
  ccp.set_state(1);
  Put(ccp);
  Put(Switch(9, 5999));
  Put(Port(kSentinel, 9, 0));
  for (int i = 0; i < kSwitches; ++i) Put(world.SwitchAt(i));
  StartDpsim({VifArgs(kSentinel)});
  StartAgent();

  uint32_t sentinelCos = 1;
  auto note = [trace](const std::string& text) {
    if (trace) std::cerr << text << "\n";
  };
  for (int step = 0; step < 60; ++step) {
    const int what = world.Pick(100);
    if (what < 20) {
      auto ls = world.SwitchAt(world.Pick(kSwitches));
      note("put " + ls.ShortDebugString());
      Put(ls);
    } else if (what < 52) {
      auto lsp = world.PortAt(world.Pick(kPorts));
      note("put " + lsp.ShortDebugString());
      Put(lsp);
    } else if (what < 55) {
      // A port goes only while its VIF is away (see the file comment), and the agent takes the deletion before
      // the VIF may come back: the datapath's connect must not overtake it.
      int i = world.Pick(kPorts);
      if (world.connected.count(i)) continue;
      note("delete port " + std::to_string(i));
      Delete(tv::LOG_SWITCH_PORT_CONFIG, MjId(100 + static_cast<uint64_t>(i)));
      sentinelCos = NextCos(sentinelCos);
      SyncDesired(sentinelCos);
      if (HasFatalFailure()) return;
    } else if (what < 62) {
      auto session = world.SessionAt(world.Pick(kSessions));
      note("put " + session.ShortDebugString());
      Put(session);
    } else if (what < 65) {
      int s = world.Pick(kSessions);
      note("delete session " + std::to_string(s));
      Delete(tv::PORT_MIRROR_SESSION, MjId(500 + static_cast<uint64_t>(s)));
    } else if (what < 80) {
      int i = world.Pick(kPorts);
      std::string mac = world.Mac();
      World::HeldVif vif{mac, world.Bindings(mac)};
      if (!world.connected.emplace(i, vif).second) continue;
      std::vector<std::string> args = {kSwitchChannel, "vif-" + std::to_string(i), std::to_string(1000 + i), "dvs-1",
                                       mac};
      args.insert(args.end(), vif.bindings.begin(), vif.bindings.end());
      note("connect " + std::to_string(i) + " " + mac + " " + std::to_string(vif.bindings.size()) + " binding(s)");
      ControlOk("vif-connect", args);
    } else if (what < 84) {
      // New discovered bindings of a connected VIF, possibly cut into fragments.
      int i = world.Pick(kPorts);
      auto held = world.connected.find(i);
      if (held == world.connected.end()) continue;
      held->second.bindings = world.Bindings(held->second.mac);
      std::vector<std::string> args = {kSwitchChannel, "vif-" + std::to_string(i),
                                       "fragments=" + std::to_string(1 + world.Pick(3))};
      args.insert(args.end(), held->second.bindings.begin(), held->second.bindings.end());
      note("bindings " + std::to_string(i) + " " + args[2] + " " + std::to_string(held->second.bindings.size()) +
           " binding(s)");
      ControlOk("vif-bindings", args);
    } else if (what < 95) {
      int i = world.Pick(kPorts);
      if (!world.connected.erase(i)) continue;
      note("disconnect " + std::to_string(i));
      ControlOk("vif-disconnect", {kSwitchChannel, "vif-" + std::to_string(i)});
    } else {
      // Several changes in one transaction.
      auto ls = world.SwitchAt(world.Pick(kSwitches));
      auto first = world.PortAt(world.Pick(kPorts));
      auto second = world.PortAt(world.Pick(kPorts));
      note("one transaction: put " + ls.ShortDebugString() + "; put " + first.ShortDebugString() + "; put " +
           second.ShortDebugString());
      Write({qor::tolvar::test::Put(tv::LOG_SWITCH_CONFIG, ls),
             qor::tolvar::test::Put(tv::LOG_SWITCH_PORT_CONFIG, first),
             qor::tolvar::test::Put(tv::LOG_SWITCH_PORT_CONFIG, second)});
    }
  }
  // A MAC of its own each round: the write-back of this round is done when tolvard holds it.
  char sentinelMac[18];
  std::snprintf(sentinelMac, sizeof(sentinelMac), "00:50:56:ff:%02x:%02x", static_cast<int>((round >> 8) & 0xff),
                static_cast<int>(round & 0xff));
  std::set<std::string> vifs = {"vif-" + std::to_string(kSentinel)};
  std::vector<std::string> held = {VifArgs(kSentinel) + " " + std::string(sentinelMac)};
  for (const auto& [i, vif] : world.connected) {
    vifs.insert("vif-" + std::to_string(i));
    std::string directive = VifArgs(static_cast<uint64_t>(i)) + " " + vif.mac;
    for (const std::string& binding : vif.bindings) directive += " " + binding;
    held.push_back(directive);
  }
  sentinelCos = NextCos(sentinelCos);
  Quiesce(sentinelCos, sentinelMac, vifs);
  if (HasFatalFailure()) return;
  Snapshot incremental = Take();

  // A fresh agent and a fresh datapath holding the same VIFs: one full sync of the same database.
  ASSERT_EQ(StopAgent(), 0);
  dpsim.reset();
  StartDpsim(held);
  StartAgent();
  WaitSentinel(sentinelCos, sentinelMac, vifs);
  if (HasFatalFailure()) return;
  ASSERT_TRUE(qor::test::WaitFor([&] {
    return AgentSaid("ConfigApp: _ipDisFullSyncDone set to true") &&
           AgentSaid("ConfigApp: Start full sync with DP after");
  }));
  // What the full sync queued is behind one more change of the sentinel, and the sentinel back as it was.
  for (uint32_t cos : {NextCos(sentinelCos), sentinelCos}) {
    Put(Port(kSentinel, 9, cos));
    WaitSentinel(cos, sentinelMac, vifs);
  }
  Snapshot fresh = Take();
  if (trace) {
    std::cerr << "round " << round << ": " << fresh.ports.size() << " ports, " << fresh.runtime.size()
              << " runtime objects\n";
  }
  if (!(incremental == fresh)) *difference = Describe(incremental, fresh);
  ASSERT_EQ(StopAgent(), 0);
  dpsim.reset();
}

TEST_F(ConvergenceTest, IncrementalChangesEndWhereAFreshAgentsFullSyncStarts) {
  qor::test::RunDifferential(qor::test::DifferentialSettings::FromEnvironment(4),
                             [&](std::mt19937_64& rng, size_t index) {
                               World world(rng());
                               std::string difference;
                               Round(world, index, &difference);
                               return difference;
                             });
}

}  // namespace
}  // namespace VevUroro
