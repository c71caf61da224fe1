// Seeded differential test of the BFD table: after random changes of the desired state (through a real tolvard) and
// of the local VTEPs the datapath reports, the table and the sessions the datapath holds equal what a fresh
// application builds from a full sync of the same state.
//
// QOR_BFD_SEED replays a run (the seed is printed on failure); QOR_BFD_ROUNDS sets its length.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <sstream>

#include "overlay/BfdAppFixture.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace VevUroro::test {
namespace {

using Rng = std::mt19937_64;
using qor::tolvar::test::Delete;

uint64_t Pick(Rng& rng, uint64_t n) {
  return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng);
}
bool Chance(Rng& rng, double p) {
  return std::bernoulli_distribution(p)(rng);
}
uint64_t EnvOr(const char* name, uint64_t fallback) {
  const char* value = std::getenv(name);
  return value ? std::strtoull(value, nullptr, 10) : fallback;
}

// A random subset of `pool`.
std::vector<tv::VtepMsg> Subset(Rng& rng, const std::vector<tv::VtepMsg>& pool) {
  std::vector<tv::VtepMsg> out;
  for (const tv::VtepMsg& vtep : pool) {
    if (Chance(rng, 0.5)) out.push_back(vtep);
  }
  return out;
}

const std::vector<tv::VtepMsg>& RemotePool() {
  static const std::vector<tv::VtepMsg> pool = {Vtep(0x0a000002, 2), Vtep(0x0a000003, 3), Vtep6(4, 4),
                                                Vtep(0x0a000002, 5)};
  return pool;
}
const std::vector<tv::VtepMsg>& GroupPool() {
  static const std::vector<tv::VtepMsg> pool = {Vtep(0x0a000009, 9), Vtep(0x0a00000a, 10), Vtep6(11, 11)};
  return pool;
}
const std::vector<tv::VtepMsg>& LocalPool() {
  static const std::vector<tv::VtepMsg> pool = {Vtep(0x0a000001, 1), Vtep(0x0a000011, 1), Vtep6(1, 1)};
  return pool;
}

tv::UuidMsg Domain(Rng& rng) {
  switch (Pick(rng, 3)) {
    case 0:
      return Uuid(50);
    case 1:
      return Uuid(51);
    default:
      return GlobalRoutingDomain();
  }
}

class BfdConvergence : public BfdAppFixture {
 protected:
  // One random desired change; `text` says what it is.
  tv::ModifyRequestMsg DesiredChange(Rng& rng, std::string* text) {
    const bool remove = Chance(rng, 0.2);
    switch (Pick(rng, 5)) {
      case 0: {
        uint64_t ls = 1 + Pick(rng, 3);
        *text = "switch " + std::to_string(ls);
        if (remove) return Delete(tv::LOG_SWITCH_CONFIG, UuidBytes(ls));
        std::optional<uint32_t> vni;
        if (!Chance(rng, 0.2)) vni = 5001 + static_cast<uint32_t>(Pick(rng, 3));
        std::optional<tv::UuidMsg> domain;
        if (Chance(rng, 0.5)) domain = Domain(rng);
        return Put(tv::LOG_SWITCH_CONFIG, LogicalSwitch(ls, vni, domain));
      }
      case 1: {
        uint64_t fib = 10 + Pick(rng, 4);
        *text = "switch table " + std::to_string(fib);
        if (remove) return Delete(tv::LOG_SWITCH_FIB, UuidBytes(fib));
        return Put(tv::LOG_SWITCH_FIB, SwitchFib(fib, 1 + Pick(rng, 3), Subset(rng, RemotePool())));
      }
      case 2: {
        uint64_t fib = 20 + Pick(rng, 3);
        *text = "domain table " + std::to_string(fib);
        if (remove) return Delete(tv::ROUTING_DOMAIN_FIB, UuidBytes(fib));
        std::vector<std::pair<uint32_t, uint64_t>> labels;
        if (Chance(rng, 0.4)) labels.push_back({77, 9});
        if (Chance(rng, 0.3)) labels.push_back({78, 8});
        return Put(tv::ROUTING_DOMAIN_FIB, DomainFib(fib, Domain(rng), Subset(rng, RemotePool()), labels));
      }
      case 3: {
        uint64_t id = 30 + Pick(rng, 2);
        *text = "VTEP group " + std::to_string(id);
        if (remove) return Delete(tv::L2_VTEP_GROUP, UuidBytes(id));
        tv::VtepGroupMsg group;
        *group.mutable_id() = Uuid(id);
        group.set_group_key(Chance(rng, 0.5) ? 9 : 8);
        for (const tv::VtepMsg& vtep : Subset(rng, GroupPool())) *group.add_vteps() = vtep;
        return Put(tv::L2_VTEP_GROUP, group);
      }
      default: {
        *text = "transport node";
        if (remove) return Delete(tv::TRANSPORT_NODE_CONFIG, UuidBytes(40));
        tv::TransportNodeConfigMsg node;
        *node.mutable_id() = Uuid(40);
        if (!Chance(rng, 0.3)) node.set_label(Chance(rng, 0.5) ? 77 : 78);
        return Put(tv::TRANSPORT_NODE_CONFIG, node);
      }
    }
  }

  // One random change of what the datapath reports, as the L2 application stores it.
  void RuntimeChange(Rng& rng, AgentCachePipeline& agent, std::string* text) {
    const tv::VtepMsg& vtep = LocalPool()[Pick(rng, LocalPool().size())];
    const bool add = Chance(rng, 0.6);
    if (Chance(rng, 0.5)) {
      uint64_t ls = 1 + Pick(rng, 3);
      *text = std::string(add ? "add" : "remove") + " local VTEP of switch " + std::to_string(ls);
      if (Chance(rng, 0.1)) {
        *text = "remove local table of switch " + std::to_string(ls);
        agent.Cache().L2Table()->RemoveLocalL2Table(tv::LOG_SWITCH_STATE, UuidBytes(ls));
        return;
      }
      StoreLocalVteps(agent, tv::LOG_SWITCH_STATE, UuidBytes(ls), 5000,
                      add ? std::vector{vtep} : std::vector<tv::VtepMsg>{},
                      add ? std::vector<tv::VtepMsg>{} : std::vector{vtep});
      return;
    }
    tv::UuidMsg domain = Domain(rng);
    *text = std::string(add ? "add" : "remove") + " local VTEP of domain " + UuidTextOf(domain.low());
    StoreLocalVteps(agent, tv::ROUTING_DOMAIN_VTEP, qor::tolvar::DeterministicBytes(domain), 0,
                    add ? std::vector{vtep} : std::vector<tv::VtepMsg>{},
                    add ? std::vector<tv::VtepMsg>{} : std::vector{vtep});
  }

  // The table without the datapath bookkeeping, for comparison.
  static std::string TableText(const BfdTable::Entries& entries) {
    std::ostringstream out;
    for (const auto& [key, entry] : entries) {
      out << BfdAddressText(key.local.ip) << "/" << key.local.label << " -> " << BfdAddressText(key.remote.ip) << "/"
          << key.remote.label << " " << key.sessionType << " vg " << entry.tnVgLabel << ":";
      for (const BfdReference& reference : entry.references)
        out << " " << reference.localId << "->" << reference.remoteId;
      out << "\n";
    }
    return out.str();
  }
  static std::string LiveText(const std::map<CapturingBfdDataplane::SessionKey, uint32_t>& live) {
    std::ostringstream out;
    for (const auto& [key, vni] : live) {
      out << BfdAddressText(std::get<0>(key)) << "/" << std::get<2>(key) << " -> " << BfdAddressText(std::get<1>(key))
          << "/" << std::get<3>(key) << " " << std::get<4>(key) << "\n";
    }
    return out.str();
  }

  // A fresh application synced from the database and from the runtime store equals the kept one.
  void ExpectSameAsFullSync(const std::string& history) {
    AgentCachePipeline fresh(_server.Endpoint(), false);
    CapturingBfdDataplane freshDataplane;
    qor::RefPtr<BFDTableApp> freshApp = MakeApp(fresh, &freshDataplane);
    ASSERT_TRUE(fresh.WaitFullSync());
    std::list<TolvarUpdateMsg> runtime;
    for (const StateCacheRecord& record : _agent.Cache().L2Table()->RuntimeRecords()) {
      TolvarUpdateMsg entry;
      entry.objectType = static_cast<int32_t>(record.objectType);
      entry.objectId = record.objectId;
      entry.propertyType = static_cast<int32_t>(record.propertyType);
      entry.value = record.value;
      entry.operation = record.propertyType == 0 ? TolvarUpdateMsg::OP_SET : TolvarUpdateMsg::OP_INSERT;
      runtime.push_back(entry);
    }
    fresh.Cache().L2Table()->UpdateRuntimeState(runtime, true);
    EXPECT_EQ(TableText(_app->Entries()), TableText(freshApp->Entries())) << history;
    EXPECT_EQ(LiveText(_dataplane.Live()), LiveText(freshDataplane.Live())) << history;
    freshApp->Stop();
  }
};

TEST_F(BfdConvergence, RandomChangesEqualAFreshFullSync) {
  const uint64_t seed = EnvOr("QOR_BFD_SEED", std::random_device()());
  const uint64_t rounds = EnvOr("QOR_BFD_ROUNDS", 30);
  SCOPED_TRACE("QOR_BFD_SEED=" + std::to_string(seed));
  Rng rng(seed);
  std::string history;
  for (uint64_t round = 1; round <= rounds && !HasFailure(); ++round) {
    std::vector<tv::ModifyRequestMsg> requests;
    history += "round " + std::to_string(round) + ":";
    for (uint64_t n = 1 + Pick(rng, 3); n > 0; --n) {
      std::string text;
      requests.push_back(DesiredChange(rng, &text));
      history += " " + text + ";";
    }
    Transact(requests);
    for (uint64_t n = Pick(rng, 3); n > 0; --n) {
      std::string text;
      RuntimeChange(rng, _agent, &text);
      history += " " + text + ";";
    }
    history += "\n";
    if (round % 10 == 0 || round == rounds) ExpectSameAsFullSync(history);
  }
  EXPECT_FALSE(_log.Has({"LCP00007"})) << "the table refused a change of its own users";
}

}  // namespace
}  // namespace VevUroro::test
