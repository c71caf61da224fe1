// Seeded differential test of the overlay module's tables: after random desired changes, joins and leaves,
// overlay instance changes under a global routing domain, out-of-sync reports and link flaps, the module holds exactly
// what a fresh agent's full sync gives a fresh module with the same VNIs joined, compared after every step.
// QOR_DIFF_SEED replays a run, QOR_DIFF_ROUNDS sets its length (support/Differential.h).
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "overlay/L2AppHarness.h"
#include "support/Differential.h"
#include "support/LogCapture.h"

namespace VevUroro::test {
namespace {

constexpr int kSwitches = 4;

using ModuleRows = std::map<uint32_t, std::vector<std::vector<uint8_t>>>;

// Every record the module holds, per VNI, in a stable order.
ModuleRows Rows(const qor::dpsim::OverlayModule& module) {
  ModuleRows rows;
  for (const auto& [vni, tables] : module.Tables()) {
    auto& out = rows[vni];
    for (const auto* table : {&tables.vteps, &tables.macs, &tables.arp, &tables.nd}) {
      for (const auto& [id, entry] : *table) out.push_back(entry.record);
      out.push_back({});  // table separator
    }
    if (tables.macLimit) out.push_back({static_cast<uint8_t>(*tables.macLimit)});
  }
  // BFD sessions under VNI 0, which no switch uses.
  for (const auto& [key, entry] : module.BfdSessions()) rows[0].push_back(entry.record);
  // Routing-domain VTEPs (the global domain here) under VNI 1.
  for (const auto& [key, entry] : module.RoutingDomainVteps()) rows[1].push_back(entry.record);
  return rows;
}

tv::LogSwitchFibMsg RandomFib(std::mt19937_64& rng, int sw) {
  tv::LogSwitchFibMsg fib = SwitchFib(100 + sw, sw);
  const std::optional<uint32_t> encaps[] = {std::nullopt, 1u, 3u, 4u, 5u, 2u};
  for (uint32_t label = 1; label <= 8; ++label) {
    if (rng() % 2) continue;
    *fib.add_vteps() = Vtep(0x0a000000 + label, label, encaps[rng() % 6]);
  }
  for (uint64_t m = 1; m <= 6; ++m) {
    if (rng() % 2) continue;
    tv::VmMacMsg* mac = fib.add_vm_macs();
    mac->mutable_mac()->set_mac(0x005056000000ull + m);
    *mac->mutable_vtep_ip() = Ipv4(0x0a000000 + 1 + rng() % 8);
    mac->mutable_vtep_mac()->set_mac(rng() % 3);
  }
  for (uint32_t a = 1; a <= 4; ++a) {
    if (rng() % 2) continue;
    tv::VmIpMsg* ip = fib.add_vm_ips();
    if (a % 2) {
      *ip->mutable_ip() = Ipv4(0xc0a80000 + a);
    } else {
      std::string v6(16, '\0');
      v6[0] = static_cast<char>(0xfd);
      v6[15] = static_cast<char>(a);
      ip->mutable_ip()->set_ipv6(v6);
    }
    ip->mutable_mac()->set_mac(0x005056000000ull + rng() % 6);
    *ip->mutable_vtep_ip() = Ipv4(0x0a000001);
  }
  return fib;
}

tv::RoutingDomainFibMsg RandomGlobalDomain(std::mt19937_64& rng) {
  tv::RoutingDomainFibMsg rd;
  *rd.mutable_id() = UuidOfLow(0x99);
  rd.mutable_routing_domain_id()->set_high(~0ull);
  rd.mutable_routing_domain_id()->set_low(~0ull);
  for (uint32_t label = 31; label <= 34; ++label) {
    if (rng() % 2) *rd.add_vteps() = Vtep(0x0a000000 + label, label);
  }
  return rd;
}

std::string Describe(const ModuleRows& rows) {
  std::ostringstream out;
  for (const auto& [vni, records] : rows) out << " vni " << vni << ": " << records.size() << " rows";
  return out.str();
}

TEST(L2Convergence, RandomChangesEndWhereAFullSyncDoes) {
  qor::test::LogCapture quiet(LOG_LEVEL_ERROR);
  const auto settings = qor::test::DifferentialSettings::FromEnvironment(120);
  L2AppHarness live;
  std::map<int, tv::LogSwitchFibMsg> fibs;
  std::map<std::pair<uint32_t, uint32_t>, BfdSessionUpdate> sessions;  // (VNI, remote label) -> session
  std::optional<tv::RoutingDomainFibMsg> globalDomain;
  for (int sw = 1; sw <= kSwitches; ++sw) live.PutSwitch(sw, 5000 + sw);
  live.Connect();
  qor::test::RunDifferential(settings, [&](std::mt19937_64& rng, size_t) -> std::string {
    const int sw = 1 + static_cast<int>(rng() % kSwitches);
    const uint32_t vni = 5000 + sw;
    std::string step;
    switch (rng() % 14) {
      case 12: {
        // The global routing domain's VTEPs change (or the domain goes).
        std::optional<tv::RoutingDomainFibMsg> after;
        if (rng() % 4) after = RandomGlobalDomain(rng);
        // A domain absent before and after is no change: the database sends nothing for it.
        if (globalDomain || after) {
          live.Cache().L2Table()->UpdateDesiredState(
              Decoded(L2CACHE, globalDomain ? &*globalDomain : nullptr, after ? &*after : nullptr), 0);
        }
        globalDomain = after;
        step = "change the global routing domain";
        break;
      }
      case 13: {
        // The module adds or removes one of two overlay instances.
        const std::string instance = std::to_string(1 + rng() % 2);
        const bool held = live.module.Instances().count(std::stoul(instance)) > 0;
        live.Command({"l2-instance", held ? "remove" : "add", instance});
        step = std::string(held ? "remove" : "add") + " overlay instance " + instance;
        break;
      }
      case 10:
      case 11: {
        // The BFD table adds or deletes a session of the VNI.
        BfdSessionUpdate session;
        session.vni = vni;
        session.localIp.bytes = {10, 0, 0, 1};
        session.remoteLabel = static_cast<uint32_t>(rng() % 3);
        session.remoteIp.bytes = {10, 0, 1, static_cast<uint8_t>(session.remoteLabel)};
        const bool add = rng() % 2;
        session.op = add ? BfdSessionOp::kAdd : BfdSessionOp::kDelete;
        live.app->SendBfdSession(session);
        if (add) {
          sessions[{vni, session.remoteLabel}] = session;
        } else {
          sessions.erase({vni, session.remoteLabel});
        }
        step = std::string(add ? "add" : "delete") + " a BFD session of VNI " + std::to_string(vni);
        break;
      }
      case 0:
      case 1:
      case 2:
      case 3: {
        tv::LogSwitchFibMsg after = RandomFib(rng, sw);
        auto before = fibs.find(sw);
        live.PutFib(before == fibs.end() ? nullptr : &before->second, after);
        fibs[sw] = after;
        step = "change the table of VNI " + std::to_string(vni);
        break;
      }
      case 4:
        if (fibs.count(sw)) {
          live.Cache().L2Table()->UpdateDesiredState(Decoded(L2CACHE, &fibs[sw], nullptr), 0);
          fibs.erase(sw);
        }
        step = "delete the table of VNI " + std::to_string(vni);
        break;
      case 5:
      case 6:
        if (!live.module.Joined().count(vni)) live.Command({"l2-join", std::to_string(vni), std::to_string(sw + 10)});
        step = "join VNI " + std::to_string(vni);
        break;
      case 7:
        if (live.module.Joined().count(vni)) live.Command({"l2-leave", std::to_string(vni)});
        step = "leave VNI " + std::to_string(vni);
        break;
      case 8:
        live.Command({"l2-out-of-sync"});
        step = "out of sync";
        break;
      case 9:
        live.Link().Down();
        live.Link().Up();
        live.Pump();
        step = "link flap";
        break;
    }
    if (live.module.Malformed() != 0) return step + ": the module refused a message";
    if (live.module.NotJoined() != 0) return step + ": an update for a VNI the module is not joined to";
    L2AppHarness fresh;
    for (int k = 1; k <= kSwitches; ++k) fresh.PutSwitch(k, 5000 + k);
    for (const auto& [k, fib] : fibs) fresh.PutFib(nullptr, fib);
    for (const auto& [k, session] : sessions) fresh.app->SendBfdSession(session);
    if (globalDomain) fresh.Cache().L2Table()->UpdateDesiredState(Decoded(L2CACHE, nullptr, &*globalDomain), 0);
    fresh.Connect();
    for (uint32_t instance : live.module.Instances()) fresh.Command({"l2-instance", "add", std::to_string(instance)});
    for (const auto& [joined, switchId] : live.module.Joined()) {
      fresh.Command({"l2-join", std::to_string(joined), std::to_string(switchId)});
    }
    const ModuleRows expected = Rows(fresh.module), actual = Rows(live.module);
    if (expected != actual)
      return step + ": the module holds" + Describe(actual) + ", a full sync gives" + Describe(expected);
    if (live.app->JoinedVnis() != fresh.app->JoinedVnis()) return step + ": the joined VNIs differ";
    return "";
  });
}

}  // namespace
}  // namespace VevUroro::test
