// Seeded randomized differential test: a converter fed a random sequence of desired-state changes and VIF
// connections one by one must leave the datapath in the state a fresh converter builds from the final desired
// state at once. The seed is printed; QOR_DIFF_SEED and QOR_DIFF_ROUNDS replay a run (support/Differential.h),
// QOR_DIFF_TRACE=1 prints the steps.
//
// The generator keeps to what the converter promises to keep in step: a port's QoS, security and IP discovery
// settings are replaced but never deleted (a deleted setting stays in force in the datapath by design), a trunk
// never goes empty (an empty trunk leaves the port's VLAN as it was by design), and a logical switch port is not
// deleted while its VIF is connected. Latency profiles of ports and of the transport node arrive as the profile
// service's deltas; the fresh converter gets them as one full list, before or after the ports connect.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <random>

#include "support/Differential.h"
#include "support/LogCapture.h"
#include "tests/config/ConverterHarness.h"

namespace VevUroro {
namespace {

namespace tv = zantix::qor::tolvar;
using test::Uuid;

constexpr int kSwitches = 4;
constexpr int kPorts = 14;
constexpr int kSessions = 2;

struct World {
  std::mt19937_64 rng;
  explicit World(uint64_t seed) : rng(seed) {}
  int Pick(int n) { return static_cast<int>(rng() % static_cast<uint64_t>(n)); }
  bool Coin(int percent = 50) { return Pick(100) < percent; }

  std::map<int, bool> hasQos, hasSecurity, hasIpDiscovery;
  std::set<int> connected;
  // Latency values by (entity kind, id low part): ports 100.., the transport node 900 and one never configured.
  std::map<std::pair<qor::upm::ProfileUpdate::EntityKind, uint64_t>, uint32_t> latencies;

  qor::upm::ProfileUpdate Latency() {
    qor::upm::ProfileUpdate update;
    update.profileType = DVSPropConvertor::kLatencyProfileType;
    const bool node = Coin(30);
    update.entityKind = node ? qor::upm::ProfileUpdate::kTransportNode : qor::upm::ProfileUpdate::kLogicalSwitchPort;
    const uint64_t id = node ? 900 + Pick(2) : 100 + Pick(kPorts);
    update.entityId = test::Id(id);
    if (Coin(25)) {
      update.operation = qor::upm::ProfileUpdate::kDelete;
      latencies.erase({update.entityKind, id});
    } else {
      const uint32_t value = 1 + Pick(3);
      update.profile.mutable_latency()->set_enabled(true);
      update.profile.mutable_latency()->set_value(value);
      latencies[{update.entityKind, id}] = value;
    }
    return update;
  }
  std::vector<qor::upm::ProfileUpdate> AllLatencies() const {
    std::vector<qor::upm::ProfileUpdate> out;
    for (const auto& [entity, value] : latencies) {
      qor::upm::ProfileUpdate update;
      update.profileType = DVSPropConvertor::kLatencyProfileType;
      update.entityKind = entity.first;
      update.entityId = test::Id(entity.second);
      update.profile.mutable_latency()->set_enabled(true);
      update.profile.mutable_latency()->set_value(value);
      out.push_back(update);
    }
    return out;
  }

  tv::LogSwitchConfigMsg Switch(int i) {
    tv::LogSwitchConfigMsg ls;
    *ls.mutable_id() = Uuid(1 + i);
    if (Coin(70)) ls.set_vni(5000 + Pick(3));
    if (Coin(30)) ls.set_vlan(10 + Pick(3));
    if (Coin(25)) {
      auto* range = ls.mutable_vlan_trunk()->add_ranges();
      range->set_start(100);
      range->set_end(100 + Pick(5));
    }
    if (Coin(85)) ls.set_admin_state_up(Coin(80));
    if (Coin(50)) ls.set_replication_mode(Pick(2));
    if (Coin(40)) ls.set_uplink_teaming_policy(Coin() ? "failover" : "loadbalance");
    if (Coin(30)) ls.set_type(Coin() ? 3 : 1);
    for (const char* key : {"com.zantix.port.extraConfig.policyRoute", "com.zantix.port.extraConfig.vm.tagset2"}) {
      if (!Coin(30)) continue;
      auto* kv = ls.mutable_extra_configs()->add_configs();
      kv->set_key(key);
      kv->set_value("ls-" + std::to_string(Pick(3)));
    }
    return ls;
  }

  tv::LogSwitchPortConfigMsg Port(int i) {
    tv::LogSwitchPortConfigMsg lsp;
    *lsp.mutable_id() = Uuid(100 + i);
    if (Coin(90)) *lsp.mutable_switch_id() = Uuid(1 + Pick(kSwitches));
    lsp.mutable_attachment()->set_type(1);
    lsp.mutable_attachment()->set_vif_id("vif-" + std::to_string(i));
    lsp.mutable_attachment()->set_dvport_id(std::to_string(1000 + i));
    if (Coin(90)) lsp.set_admin_state_up(Coin(85));
    if (hasQos[i] || Coin(30)) {
      hasQos[i] = true;
      lsp.mutable_qos()->set_cos(Pick(8));
      if (Coin()) {
        auto* shaper = lsp.mutable_qos()->add_shapers();
        shaper->set_type(1 + Pick(3));
        shaper->set_average_bandwidth(Pick(3) * 10);
      }
    }
    if (hasSecurity[i] || Coin(30)) {
      hasSecurity[i] = true;
      lsp.mutable_switch_security()->set_switch_spoof_guard(Coin());
      lsp.mutable_switch_security()->mutable_rate_limits()->set_bcast_rx(Pick(3));
    }
    if (hasIpDiscovery[i] || Coin(30)) {
      hasIpDiscovery[i] = true;
      lsp.mutable_ip_discovery()->set_arp_snooping_enabled(Coin());
      lsp.mutable_ip_discovery()->set_dhcp_snooping_enabled(Coin());
    }
    if (Coin(40)) lsp.mutable_mac_management()->set_mac_change_allowed(Coin());
    if (Coin(30)) lsp.mutable_ignore_bindings()->add_bindings()->mutable_ip()->set_ipv4(static_cast<uint32_t>(Pick(9)));
    if (Coin(20)) lsp.set_is_hyd_tkm(true);
    for (const char* key : {"com.zantix.port.extraConfig.policyRoute", "com.zantix.port.extraConfig.global.id",
                            "com.zantix.port.extraConfig.serviceInsertion.gvm", "com.zantix.unknown"}) {
      if (!Coin(30)) continue;
      auto* kv = lsp.mutable_extra_configs()->add_configs();
      kv->set_key(key);
      kv->set_value("p-" + std::to_string(Pick(3)));
    }
    for (int s = 0; s < kSessions; ++s) {
      if (Coin(25)) *lsp.mutable_mirror_targets()->add_session_ids() = Uuid(500 + s);
    }
    return lsp;
  }

  tv::PortMirrorSessionMsg Session(int s) {
    tv::PortMirrorSessionMsg session;
    *session.mutable_id() = Uuid(500 + s);
    auto* local = session.mutable_logical_port_mirror_session();
    local->set_name("s" + std::to_string(s));
    if (Coin()) local->set_snap_length(64 + Pick(64));
    for (int k = 0; k < 2; ++k) *local->add_source_ids() = Uuid(100 + Pick(kPorts));
    *local->add_destination_ids() = Uuid(100 + Pick(kPorts));
    if (Coin(40)) {
      auto* rspan = session.mutable_rspan_src_mirror_session();
      rspan->set_encap_vlan(Pick(4000));
      *rspan->add_source_ids() = Uuid(100 + Pick(kPorts));
    }
    return session;
  }
};

// The datapath's view of the connected ports, and the switch properties.
struct Snapshot {
  std::map<std::string, std::map<uint16_t, std::string>> ports;
  std::map<std::string, std::map<uint16_t, std::string>> switches;
  bool operator==(const Snapshot&) const = default;
};

Snapshot Take(const test::DatapathModel& dp, const std::set<int>& connected) {
  Snapshot s;
  for (int i : connected) s.ports["vif-" + std::to_string(i)] = dp.Port("vif-" + std::to_string(i));
  for (const auto& [id, properties] : dp.module.SwitchProperties()) s.switches[id] = dp.Switch(id);
  return s;
}

std::string Describe(const Snapshot& a, const Snapshot& b) {
  std::string out;
  for (const auto& [vif, properties] : a.ports) {
    const auto& other = b.ports.at(vif);
    std::set<uint16_t> keys;
    for (const auto& [k, v] : properties) keys.insert(k);
    for (const auto& [k, v] : other) keys.insert(k);
    for (uint16_t k : keys) {
      auto x = properties.find(k);
      auto y = other.find(k);
      if (x != properties.end() && y != other.end() && x->second == y->second) continue;
      out += vif + " key " + std::to_string(k) + ": incremental " +
             (x == properties.end() ? "absent" : std::to_string(x->second.size()) + " bytes") + ", rebuilt " +
             (y == other.end() ? "absent" : std::to_string(y->second.size()) + " bytes") + "\n";
    }
  }
  if (a.switches != b.switches) out += "switch properties differ\n";
  return out;
}

class DifferentialTest : public test::ConverterFixture {};

TEST_F(DifferentialTest, IncrementalChangesEndWhereAFreshBuildStarts) {
  qor::test::LogCapture quiet(LOG_LEVEL_ERROR);
  const bool trace = std::getenv("QOR_DIFF_TRACE") != nullptr;
  // Each round is a world of its own: a fresh converter, 150 random steps, then the comparison.
  qor::test::RunDifferential(
      qor::test::DifferentialSettings::FromEnvironment(20), [&](std::mt19937_64& rng, size_t) -> std::string {
        Make(ConfigTree());
        dp = test::DatapathModel();
        World world(rng());
        // Either side may hand the table's lists over to the converter (which then releases their values).
        feed->takesLists = world.Coin();
        tv::TransportNodeConfigMsg node;
        *node.mutable_id() = Uuid(900);
        node.mutable_transport_switches()->add_switches()->set_switch_id("dvs-1");
        feed->Put(node);
        auto put = [&](const google::protobuf::Message& object) {
          if (trace) std::cerr << "put " << object.ShortDebugString() << "\n";
          feed->Put(object);
        };
        for (int step = 0; step < 150; ++step) {
          int what = world.Pick(100);
          if (trace) std::cerr << "step " << step << " what " << what << "\n";
          if (what < 25) {
            put(world.Switch(world.Pick(kSwitches)));
          } else if (what < 65) {
            put(world.Port(world.Pick(kPorts)));
          } else if (what < 72) {
            put(world.Session(world.Pick(kSessions)));
          } else if (what < 75) {
            feed->Delete(tv::PORT_MIRROR_SESSION, test::Id(500 + world.Pick(kSessions)));
          } else if (what < 78) {
            int i = world.Pick(kSwitches);
            if (trace) std::cerr << "delete switch " << 1 + i << "\n";
            feed->Delete(tv::LOG_SWITCH_CONFIG, test::Id(1 + i));
          } else if (what < 81) {
            auto latency = world.Latency();
            if (trace) {
              tv::UuidMsg id;
              id.ParseFromString(latency.entityId);
              std::cerr << "latency of "
                        << (latency.entityKind == qor::upm::ProfileUpdate::kTransportNode ? "node " : "port ")
                        << id.low() << ": " << latency.profile.ShortDebugString() << "\n";
            }
            converter->UPMMonitorCallback({latency}, false);
          } else if (what < 90) {
            int i = world.Pick(kPorts);
            if (trace) std::cerr << "connect " << i << "\n";
            if (world.connected.insert(i).second) Connect("vif-" + std::to_string(i), std::to_string(1000 + i));
          } else if (what < 97) {
            int i = world.Pick(kPorts);
            if (trace) std::cerr << "disconnect " << i << "\n";
            if (world.connected.erase(i)) {
              converter->HandleVifDisconnection(std::to_string(1000 + i));
              // The datapath forgets a disconnected port's properties.
              DVSEntityUpdate forget;
              forget.operation = DVS_OP_DELETE;
              forget.entities["vif-" + std::to_string(i)];
              builder->SendEntityUpdate(forget);
            }
          } else {
            // Several changes in one transaction.
            feed->Begin();
            put(world.Switch(world.Pick(kSwitches)));
            put(world.Port(world.Pick(kPorts)));
            put(world.Port(world.Pick(kPorts)));
            feed->Commit();
          }
          Flush();
        }
        Snapshot incremental = Take(dp, world.connected);

        // A fresh converter given the final state, then the same connections.
        auto objects = feed->Objects();
        Make(ConfigTree());
        feed->takesLists = world.Coin();
        dp = test::DatapathModel();
        feed->Begin();
        for (const auto& [key, body] : objects) {
          auto object = qor::tolvar::NewObject(key.first);
          if (!object->ParseFromString(body)) return "a stored object does not parse";
          feed->Put(*object);
        }
        feed->Commit();
        const bool latenciesFirst = world.Coin();
        if (latenciesFirst) converter->UPMMonitorCallback(world.AllLatencies(), true);
        for (int i : world.connected) Connect("vif-" + std::to_string(i), std::to_string(1000 + i));
        if (!latenciesFirst) converter->UPMMonitorCallback(world.AllLatencies(), true);
        Flush();
        Snapshot rebuilt = Take(dp, world.connected);
        return incremental == rebuilt ? std::string() : "the datapaths differ:\n" + Describe(incremental, rebuilt);
      });
}

}  // namespace
}  // namespace VevUroro
