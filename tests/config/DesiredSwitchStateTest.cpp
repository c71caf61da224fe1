// The converter's view keeps its port indexes (ports by switch, by DVPort ID, by VIF ID) as pointers to the keys of
// its port entries. Seeded random port changes, as the configuration table reports them (properties set and
// cleared, whole ports removed, their per-property removals after), check after every step that each index entry
// points at a live port's key and names what that port holds, and that a view fed the final state at once has the
// same indexes. The seed is printed on failure; QOR_DIFF_SEED and QOR_DIFF_ROUNDS replay a run.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "apps/config/DesiredSwitchState.h"
#include "platform/tolvar/TolvarSchema.h"
#include "tests/support/Differential.h"
#include "zantix/qor/tolvar/config.pb.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace VevUroro {
namespace {

namespace tv = zantix::qor::tolvar;
using P = tv::Property;

std::string Uuid(uint64_t high, uint64_t low) {
  tv::UuidMsg id;
  id.set_high(high);
  id.set_low(low);
  return id.SerializeAsString();
}

std::string SwitchIdValue(uint64_t sw) {
  tv::LogSwitchPortConfigMsg m;
  m.mutable_switch_id()->set_high(7);
  m.mutable_switch_id()->set_low(sw);
  return m.SerializeAsString();
}

std::string AttachmentValue(const std::string& vif, const std::string& dvport) {
  tv::LogSwitchPortConfigMsg m;
  m.mutable_attachment()->set_type(1);
  m.mutable_attachment()->set_vif_id(vif);
  m.mutable_attachment()->set_dvport_id(dvport);
  return m.SerializeAsString();
}

// Index entries as text, for comparing two views.
struct IndexText {
  std::map<std::string, std::set<std::string>> switchPorts;
  std::map<std::string, std::string> byDvport;
  std::map<std::string, std::string> byVif;
  bool operator==(const IndexText&) const = default;
};

// Checks every pointer against the addresses of the live keys before reading through it.
IndexText CheckedIndexes(const DesiredSwitchState& state, const std::string& step) {
  std::set<const std::string*> keys;
  for (const auto& [id, port] : state.ports) keys.insert(&id);
  IndexText text;
  for (const auto& [sw, members] : state.switchPorts) {
    EXPECT_FALSE(members.empty()) << step;
    for (const std::string* id : members) {
      EXPECT_TRUE(keys.count(id)) << step << ": switch member is no live port key";
      if (!keys.count(id)) continue;
      EXPECT_EQ(state.ports.at(*id).switchId, sw) << step;
      text.switchPorts[sw].insert(*id);
    }
  }
  auto check = [&](const DesiredSwitchState::AttachmentIndex& index, bool dvport,
                   std::map<std::string, std::string>& out) {
    auto holds = [&](const std::string& key, const std::string* id) {
      EXPECT_TRUE(keys.count(id)) << step << ": attachment index entry is no live port key";
      if (!keys.count(id)) return;
      const LspState& port = state.ports.at(*id);
      ASSERT_TRUE(port.attachment) << step;
      EXPECT_EQ(dvport ? port.attachment->dvportId : port.attachment->vifId, key) << step;
    };
    for (const auto& [key, id] : index.holders) {
      holds(key, id);
      out[key] = *id;
    }
    std::set<std::pair<std::string, const std::string*>> earlier;
    for (const auto& [key, id] : index.earlierHolders) {
      holds(key, id);
      EXPECT_TRUE(index.holders.count(key)) << step << ": an earlier holder of an id nobody names";
      EXPECT_NE(index.holders.count(key) ? index.holders.at(key) : nullptr, id) << step;
      EXPECT_TRUE(earlier.emplace(key, id).second) << step << ": a port held twice as an earlier holder";
    }
    // Every id a port holds is named.
    for (const auto& [id, port] : state.ports) {
      if (!port.attachment) continue;
      const std::string& key = dvport ? port.attachment->dvportId : port.attachment->vifId;
      if (key.empty()) continue;
      EXPECT_TRUE(index.holders.count(key)) << step << ": id " << key << " of a port not named";
    }
  };
  check(state.portByDvport, true, text.byDvport);
  check(state.portByVif, false, text.byVif);
  // Every port is on its switch's list.
  for (const auto& [id, port] : state.ports) {
    if (port.switchId.empty()) continue;
    EXPECT_TRUE(text.switchPorts[port.switchId].count(id)) << step;
  }
  return text;
}

TEST(DesiredSwitchStateTest, PortIndexesPointAtLivePortsThroughRandomChangesAndMatchAFreshView) {
  const auto settings = qor::test::DifferentialSettings::FromEnvironment(3000);
  SCOPED_TRACE(settings.ReplayHint());
  std::mt19937_64 random(settings.seed);
  DesiredSwitchState state;
  // The table's records of each port property, to feed a fresh view at the end.
  std::map<std::pair<std::string, uint32_t>, std::string> records;
  constexpr int kPorts = 40;  // enough for the port map to rehash while entries come and go
  for (size_t step = 0; step < settings.rounds; ++step) {
    const std::string id = Uuid(1, random() % kPorts);
    const std::string label = "step " + std::to_string(step);
    switch (random() % 6) {
      case 0:
      case 1: {
        const std::string value = SwitchIdValue(random() % 4);
        ASSERT_TRUE(state.ApplyRaw(tv::LOG_SWITCH_PORT_CONFIG, id, P::LSP_SWITCH_ID, false, value));
        records[{id, P::LSP_SWITCH_ID}] = value;
        break;
      }
      case 2:
      case 3: {
        // Few VIF and DVPort ids, so that ports share them.
        const std::string value = AttachmentValue("vif-" + std::to_string(random() % 8), std::to_string(random() % 8));
        ASSERT_TRUE(state.ApplyRaw(tv::LOG_SWITCH_PORT_CONFIG, id, P::LSP_ATTACHMENT, false, value));
        records[{id, P::LSP_ATTACHMENT}] = value;
        break;
      }
      case 4: {
        const uint32_t property = random() % 2 ? P::LSP_SWITCH_ID : P::LSP_ATTACHMENT;
        ASSERT_TRUE(state.ApplyRaw(tv::LOG_SWITCH_PORT_CONFIG, id, property, true, std::string()));
        records.erase({id, property});
        break;
      }
      default:
        // A removed port: the object, then each of its properties.
        ASSERT_TRUE(state.ApplyRaw(tv::LOG_SWITCH_PORT_CONFIG, id, 0, true, std::string()));
        for (uint32_t property : {P::LSP_SWITCH_ID, P::LSP_ATTACHMENT}) {
          ASSERT_TRUE(state.ApplyRaw(tv::LOG_SWITCH_PORT_CONFIG, id, property, true, std::string()));
          records.erase({id, property});
        }
        EXPECT_FALSE(state.ports.count(id)) << label;
        break;
    }
    CheckedIndexes(state, label);
    // The port look-up remembers the entry it found last: it must name the live entry, or none once it is gone,
    // whichever port was looked up or changed before.
    for (const std::string& asked : {id, Uuid(1, random() % kPorts), id}) {
      auto it = state.ports.find(asked);
      EXPECT_EQ(state.Port(asked), it == state.ports.end() ? nullptr : &it->second) << label;
    }
    if (HasFatalFailure()) return;
  }
  // A fresh view of the final records: the same switch lists. An attachment index entry names one of the ports
  // that hold the ID (the one that set it last, which the fresh view's order does not show); where one port alone
  // holds an ID, both views name it.
  DesiredSwitchState fresh;
  for (const auto& [key, value] : records) {
    ASSERT_TRUE(fresh.ApplyRaw(tv::LOG_SWITCH_PORT_CONFIG, key.first, key.second, false, value));
  }
  IndexText kept = CheckedIndexes(state, "final");
  IndexText rebuilt = CheckedIndexes(fresh, "fresh");
  EXPECT_EQ(kept.switchPorts, rebuilt.switchPorts);
  std::map<std::string, int> vifHolders;
  std::map<std::string, int> dvportHolders;
  for (const auto& [id, port] : fresh.ports) {
    if (!port.attachment) continue;
    ++vifHolders[port.attachment->vifId];
    ++dvportHolders[port.attachment->dvportId];
  }
  for (const auto& [vif, holders] : vifHolders) {
    if (holders == 1) {
      EXPECT_EQ(kept.byVif[vif], rebuilt.byVif[vif]) << vif;
    }
  }
  for (const auto& [dvport, holders] : dvportHolders) {
    if (holders == 1) {
      EXPECT_EQ(kept.byDvport[dvport], rebuilt.byDvport[dvport]) << dvport;
    }
  }
}

TEST(DesiredSwitchStateTest, AddressBindingsAreReadBackFromTheValueKept) {
  DesiredSwitchState state;
  const std::string id = Uuid(1, 1);
  tv::LogSwitchPortConfigMsg m;
  auto* binding = m.mutable_address_bindings()->add_bindings();
  binding->mutable_ip()->set_ipv4(0x0a000001);
  binding->mutable_mac()->set_mac(0x005056000001ull);
  binding->set_vlan(12);
  ASSERT_TRUE(state.ApplyRaw(tv::LOG_SWITCH_PORT_CONFIG, id, P::LSP_ADDRESS_BINDINGS, false, m.SerializeAsString()));
  auto bindings = state.ports.at(id).AddressBindings();
  ASSERT_TRUE(bindings);
  EXPECT_EQ(bindings->SerializeAsString(), m.address_bindings().SerializeAsString());
  // A value without the property clears it, as a removal does.
  ASSERT_TRUE(state.ApplyRaw(tv::LOG_SWITCH_PORT_CONFIG, id, P::LSP_ADDRESS_BINDINGS, false,
                             tv::LogSwitchPortConfigMsg().SerializeAsString()));
  EXPECT_FALSE(state.ports.at(id).AddressBindings());
  ASSERT_TRUE(state.ApplyRaw(tv::LOG_SWITCH_PORT_CONFIG, id, P::LSP_ADDRESS_BINDINGS, false, m.SerializeAsString()));
  ASSERT_TRUE(state.ApplyRaw(tv::LOG_SWITCH_PORT_CONFIG, id, P::LSP_ADDRESS_BINDINGS, true, std::string()));
  EXPECT_FALSE(state.ports.at(id).AddressBindings());
}

TEST(DesiredSwitchStateTest, AnIdStaysNamedWhileAnyPortHoldsIt) {
  DesiredSwitchState state;
  const std::string a = Uuid(1, 1);
  const std::string b = Uuid(1, 2);
  const std::string c = Uuid(1, 3);
  auto attach = [&state](const std::string& port, const std::string& vif, const std::string& dvport) {
    ASSERT_TRUE(
        state.ApplyRaw(tv::LOG_SWITCH_PORT_CONFIG, port, P::LSP_ATTACHMENT, false, AttachmentValue(vif, dvport)));
  };
  auto named = [&state](const DesiredSwitchState::AttachmentIndex& index, const std::string& id) {
    auto it = index.holders.find(id);
    return it == index.holders.end() ? std::string("none") : *it->second;
  };
  // Three ports on one VIF and DVPort, as while a VIF moves between ports within a batch.
  attach(a, "vif-1", "dv-1");
  attach(b, "vif-1", "dv-1");
  attach(c, "vif-1", "dv-1");
  EXPECT_EQ(named(state.portByVif, "vif-1"), c);
  // The one named lets go: the one that set the id before it is named.
  ASSERT_TRUE(state.ApplyRaw(tv::LOG_SWITCH_PORT_CONFIG, c, P::LSP_ATTACHMENT, true, std::string()));
  EXPECT_EQ(named(state.portByVif, "vif-1"), b);
  EXPECT_EQ(named(state.portByDvport, "dv-1"), b);
  // One not named goes (the whole port): the named one stays; when that one moves on, the last holder is named.
  ASSERT_TRUE(state.ApplyRaw(tv::LOG_SWITCH_PORT_CONFIG, a, 0, true, std::string()));
  EXPECT_EQ(named(state.portByVif, "vif-1"), b);
  attach(a, "vif-1", "dv-1");
  attach(b, "vif-2", "dv-2");
  EXPECT_EQ(named(state.portByVif, "vif-1"), a);
  EXPECT_EQ(named(state.portByVif, "vif-2"), b);
  EXPECT_EQ(named(state.portByDvport, "dv-1"), a);
  EXPECT_TRUE(state.portByVif.earlierHolders.empty());
  EXPECT_TRUE(state.portByDvport.earlierHolders.empty());
  ASSERT_TRUE(state.ApplyRaw(tv::LOG_SWITCH_PORT_CONFIG, a, P::LSP_ATTACHMENT, true, std::string()));
  EXPECT_EQ(named(state.portByVif, "vif-1"), "none");
}

}  // namespace
}  // namespace VevUroro
