// Seeded randomized differential test of the L3 application: the router module's tables after a run of random
// desired-state changes (routers, ports, switches and switch ports, routes, ARP tables, prefix lists, global
// settings, DAD status, multicast settings and routes, NDRA profiles), now and then in versions the application
// refuses (a LIF, route, prefix list, multicast range or route, DAD status or NDRA profile the records cannot carry),
// must equal the tables a fresh application's full sync of the same final state gives, and so must the prefix lists'
// reference counts. The seed is printed on failure; QOR_L3_SEED replays one seed, QOR_L3_ROUNDS sets the number of
// rounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>

#include "tests/overlay/L3Harness.h"
#include "zantix/qor/tolvar/services.pb.h"

namespace VevUroro::test {
namespace {

class RandomL3State {
 public:
  explicit RandomL3State(uint32_t seed) : _random(seed) {}

  // One random change of one object.
  void Change(L3Feed& feed) {
    switch (Pick(13)) {
      case 0:
        Maybe(feed, tv::LOG_ROUTER_CONFIG, 1 + Pick(3), [&](uint64_t n) {
          auto router = Router(n, static_cast<uint32_t>(n + (Pick(4) == 0 ? 10 : 0)));
          if (Pick(3) == 0) router.set_arp_limit(100 * (1 + Pick(3)));
          if (Pick(2)) *router.mutable_multicast_config_id() = Uuid(60);
          if (Pick(2)) *router.mutable_ndra_profile_id() = Uuid(70 + Pick(2));
          return router.SerializeAsString();
        });
        break;
      case 1:
        Maybe(feed, tv::LOG_SWITCH_CONFIG, 100 + Pick(3), [&](uint64_t n) {
          auto ls = Switch(n, static_cast<uint32_t>(5000 + Pick(4)), Pick(3) != 0);
          if (Pick(12) == 0) ls.set_replication_mode(7);  // its router ports' LIFs are refused
          return ls.SerializeAsString();
        });
        break;
      case 2:
      case 3:
        Maybe(feed, tv::LOG_ROUTER_PORT_CONFIG, 10 + Pick(6), [&](uint64_t n) {
          auto port = Port(n, 1 + Pick(3), 100 + Pick(3), Pick(4) != 0);
          if (Pick(2)) port.set_type(2);
          if (Pick(3) == 0) *port.add_prefix_list_ids() = Uuid(50 + Pick(2));
          if (Pick(3) == 0) {  // behind a switch port, whose switch it takes
            port.clear_logical_switch_id();
            *port.mutable_logical_switch_port_id() = Uuid(200 + Pick(3));
          }
          if (Pick(4) == 0) port.clear_addresses();
          if (Pick(4) == 0) {
            tv::IpPrefixMsg v6;
            std::string bytes(16, '\0');
            bytes[0] = 0x20;
            bytes[15] = static_cast<char>(n);
            v6.mutable_address()->set_ipv6(bytes);
            v6.set_prefix_length(64);
            *port.add_addresses() = v6;
          }
          if (Pick(12) == 0 && port.addresses_size() > 0) port.mutable_addresses(0)->set_prefix_length(40);  // refused
          return port.SerializeAsString();
        });
        break;
      case 12:
        Maybe(feed, tv::LOG_SWITCH_PORT_CONFIG, 200 + Pick(3), [&](uint64_t n) {
          tv::LogSwitchPortConfigMsg lsp;
          *lsp.mutable_id() = Uuid(n);
          if (Pick(6) != 0) *lsp.mutable_switch_id() = Uuid(100 + Pick(3));
          lsp.set_admin_state_up(Pick(4) != 0);
          return lsp.SerializeAsString();
        });
        break;
      case 4:
      case 5:
        Maybe(feed, tv::FIB, 20 + Pick(8), [&](uint64_t n) {
          std::vector<tv::FibNextHopMsg> hops;
          for (uint8_t h = 1; h <= 4; ++h) {
            if (Pick(2)) hops.push_back(Hop(V4(10, 99, 0, h), 10 + Pick(6), Pick(2) == 0));
          }
          // The prefix is the route's own: two routes never share one.
          const uint32_t length = Pick(12) == 0 ? 40 : 24;  // now and then a prefix the route cannot carry
          return Fib(n, 1 + Pick(3), Prefix(V4(172, 16, static_cast<uint8_t>(n), 0), length), hops).SerializeAsString();
        });
        break;
      case 6:
        Maybe(feed, tv::ARP_TABLE_CONFIG, 30 + Pick(4), [&](uint64_t n) {
          std::vector<std::pair<tv::IpAddressMsg, uint64_t>> entries;
          for (uint8_t e = 1; e <= 4; ++e) {
            if (Pick(2)) entries.emplace_back(V4(10, 200, static_cast<uint8_t>(n), e), 0x005056000100ull + Pick(3));
          }
          return ArpTable(n, 10 + Pick(6), entries).SerializeAsString();
        });
        break;
      case 7:
        Maybe(feed, tv::PREFIX_LIST, 50 + Pick(2), [&](uint64_t n) {
          tv::PrefixListMsg list;
          *list.mutable_id() = Uuid(n);
          list.set_name("pl-" + std::to_string(n));
          list.set_index(static_cast<uint32_t>(n));
          for (uint32_t e = 0; e < Pick(3); ++e) {
            auto* entry = list.add_entries();
            *entry->mutable_prefix() = Prefix(V4(10, static_cast<uint8_t>(e), 0, 0), 16);
            entry->set_action(Pick(10) == 0 ? 9 : 1 + Pick(2));  // now and then a version the agent refuses
            if (Pick(2)) entry->set_le(24);
          }
          return list.SerializeAsString();
        });
        break;
      case 9:
        Maybe(feed, tv::MULTICAST_CONFIG, 60, [&](uint64_t n) {
          tv::MulticastConfigMsg config;
          *config.mutable_id() = Uuid(n);
          config.set_enabled(Pick(2));
          if (Pick(2)) {
            *config.add_group_ranges() = Prefix(V4(239, static_cast<uint8_t>(Pick(3)), 0, 0), Pick(8) == 0 ? 40 : 16);
          }
          config.set_replication_multicast_range(Pick(3));
          return config.SerializeAsString();
        });
        break;
      case 10:
        Maybe(feed, tv::MULTICAST_STATIC_ROUTE, 61 + Pick(2), [&](uint64_t n) {
          tv::MulticastStaticRouteMsg route;
          *route.mutable_id() = Uuid(n);
          *route.mutable_router_id() = Uuid(1 + Pick(3));
          *route.mutable_group() = Prefix(V4(239, 9, static_cast<uint8_t>(n), 1), 32);
          for (uint64_t port = 10; port < 16; ++port) {
            if (Pick(3) == 0) *route.add_router_port_ids() = Uuid(port);
          }
          // Now and then more LIFs than one multicast-route record holds: refused.
          if (Pick(10) == 0) {
            for (uint64_t port = 1000; port < 2100; ++port) *route.add_router_port_ids() = Uuid(port);
          }
          return route.SerializeAsString();
        });
        break;
      case 11:
        Maybe(feed, tv::NDRA_PROFILE_CONFIG, 70 + Pick(2), [&](uint64_t n) {
          tv::NdraProfileConfigMsg profile;
          *profile.mutable_id() = Uuid(n);
          profile.set_ra_mode(Pick(3));
          profile.set_ra_interval(100 * (1 + Pick(3)));
          profile.set_hop_limit(Pick(8) == 0 ? 300 : 64);  // now and then one the record cannot carry
          return profile.SerializeAsString();
        });
        break;
      case 8:
        if (Pick(2)) {
          Maybe(feed, tv::GLOBAL_CONFIG, 80, [&](uint64_t n) {
            tv::GlobalConfigMsg global;
            *global.mutable_id() = Uuid(n);
            global.mutable_routing()->set_lrp_mtu(1500 + 100 * Pick(3));
            global.mutable_routing()->set_flag(Pick(2));
            return global.SerializeAsString();
          });
        } else {
          Maybe(feed, tv::LOG_ROUTER_PORT_FIB_DAD_STATE, 10 + Pick(6), [&](uint64_t n) {
            tv::LogRouterPortFibDadStateMsg state;
            *state.mutable_id() = Uuid(n);
            // Now and then more addresses than one DAD status record holds: refused.
            const uint32_t count = Pick(16) == 0 ? 4000 : 1;
            for (uint32_t i = 0; i < count; ++i) {
              auto* dad = state.add_dad_states();
              *dad->mutable_ip() =
                  V4(10, static_cast<uint8_t>(n), static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(1 + i));
              dad->set_state(Pick(3));
            }
            return state.SerializeAsString();
          });
        }
        break;
    }
  }

 private:
  uint32_t Pick(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(_random); }
  // Puts a fresh body of the object, or deletes it one time in four (not the global configuration: the decoder
  // drops its deletes, only its current value matters).
  template <typename Make>
  void Maybe(L3Feed& feed, uint32_t type, uint64_t n, Make make) {
    if (Pick(4) == 0 && type != tv::GLOBAL_CONFIG) {
      feed.Delete(type, Id(n));
      return;
    }
    const std::string body = make(n);
    switch (type) {
#define QOR_PUT(TYPE, MSG)        \
  case tv::TYPE: {                \
    tv::MSG object;               \
    object.ParseFromString(body); \
    feed.Put(object);             \
    break;                        \
  }
      QOR_PUT(LOG_ROUTER_CONFIG, LogRouterConfigMsg)
      QOR_PUT(LOG_SWITCH_CONFIG, LogSwitchConfigMsg)
      QOR_PUT(LOG_SWITCH_PORT_CONFIG, LogSwitchPortConfigMsg)
      QOR_PUT(LOG_ROUTER_PORT_CONFIG, LogRouterPortConfigMsg)
      QOR_PUT(FIB, FibMsg)
      QOR_PUT(ARP_TABLE_CONFIG, ArpTableConfigMsg)
      QOR_PUT(PREFIX_LIST, PrefixListMsg)
      QOR_PUT(GLOBAL_CONFIG, GlobalConfigMsg)
      QOR_PUT(LOG_ROUTER_PORT_FIB_DAD_STATE, LogRouterPortFibDadStateMsg)
      QOR_PUT(MULTICAST_CONFIG, MulticastConfigMsg)
      QOR_PUT(MULTICAST_STATIC_ROUTE, MulticastStaticRouteMsg)
      QOR_PUT(NDRA_PROFILE_CONFIG, NdraProfileConfigMsg)
#undef QOR_PUT
    }
  }

  std::mt19937 _random;
};

uint32_t EnvOr(const char* name, uint32_t fallback) {
  const char* value = std::getenv(name);
  return value ? static_cast<uint32_t>(std::strtoul(value, nullptr, 0)) : fallback;
}

TEST(L3ConvergenceTest, RandomDeltasEqualAFreshFullSync) {
  const uint32_t rounds = EnvOr("QOR_L3_ROUNDS", 40);
  const uint32_t firstSeed = EnvOr("QOR_L3_SEED", std::random_device()());
  const uint32_t seeds = std::getenv("QOR_L3_SEED") ? 1 : 3;
  for (uint32_t s = 0; s < seeds; ++s) {
    const uint32_t seed = firstSeed + s;
    SCOPED_TRACE("seed " + std::to_string(seed) + " (replay with QOR_L3_SEED=" + std::to_string(seed) + ")");
    RandomL3State state(seed);
    L3Rig rig;
    // The database's first full sync, as at every agent start: without it a run whose first changes reach no L3
    // object would compare an application still waiting for its initial sync with a synced one.
    rig.feed->FullSync();
    size_t lifs = 0, routes = 0, arp = 0;  // the run must exercise every table
    // A seed that has not reached every table by the last round goes on (bounded) until it has: an ARP entry needs
    // an admin-up port on an existing router with a table naming it, which a few seeds take long to assemble.
    const auto covered = [&] { return lifs > 0 && routes > 0 && arp > 0; };
    for (uint32_t round = 0; round < rounds || (!covered() && round < 5 * rounds); ++round) {
      for (int i = 0; i < 5; ++i) state.Change(*rig.feed);
      lifs = std::max(lifs, rig.module.LifCount());
      routes = std::max(routes, rig.module.RouteCount());
      arp = std::max(arp, rig.module.ArpCount());
      L3Rig fresh;
      fresh.feed->SetObjects(rig.feed->Objects());
      fresh.feed->FullSync();
      ASSERT_EQ(rig.module.Tables(), fresh.module.Tables()) << "round " << round;
      for (uint64_t list : {50u, 51u}) {
        ASSERT_EQ(rig.app->PrefixListReferences(Id(list)), fresh.app->PrefixListReferences(Id(list)))
            << "references of prefix list " << list << ", round " << round;
      }
      ASSERT_EQ(rig.module.Malformed(), 0u);
      ASSERT_EQ(fresh.module.Refused(), 0u);
    }
    EXPECT_GT(lifs, 0u);
    EXPECT_GT(routes, 0u);
    EXPECT_GT(arp, 0u);
    // The kernel's requests resend what is installed: nothing changes.
    const std::string before = rig.module.Tables();
    for (uint32_t vdr : {1u, 2u, 3u, 11u, 12u, 13u}) rig.Deliver(qor::dpsim::RouterModule::FullSyncRequest(vdr));
    EXPECT_EQ(rig.module.Tables(), before);
    rig.Deliver(qor::dpsim::RouterModule::FullSyncRequest(0xFFFFFFFF));
    EXPECT_EQ(rig.module.Tables(), before);
  }
}

}  // namespace
}  // namespace VevUroro::test
