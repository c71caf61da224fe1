// The converter's list of connected ports keeps two indexes (by VIF ID and by the bound LSP) as pointers to its
// entries, and remembers the port it found last by LSP. Seeded random adds, removals, bindings, look-ups and clears
// are checked after every step against a plain model that searches every port: each look-up names the entry the
// model names (the one that took the id last among those still holding it, or none). The seed is printed on
// failure; QOR_DIFF_SEED and QOR_DIFF_ROUNDS replay a run.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "apps/config/PortList.h"
#include "tests/support/Differential.h"

namespace VevUroro {
namespace {

// The list as a plain table: port id -> (VIF ID, LSP ID), plus which port took each id last.
struct Model {
  std::map<std::string, PortEntry> ports;
  std::map<std::string, std::string> vifOwner;  // id -> port that set it last (erased when that port lets it go)
  std::map<std::string, std::string> lspOwner;

  const PortEntry* ByVif(const std::string& vif) const {
    auto it = vifOwner.find(vif);
    return it == vifOwner.end() ? nullptr : &ports.at(it->second);
  }
  const PortEntry* ByLsp(const std::string& lsp) const {
    auto it = lspOwner.find(lsp);
    return it == lspOwner.end() ? nullptr : &ports.at(it->second);
  }
};

TEST(PortListTest, LookUpsFollowAPlainModelThroughRandomChanges) {
  const auto settings = qor::test::DifferentialSettings::FromEnvironment(20000);
  SCOPED_TRACE(settings.ReplayHint());
  std::mt19937_64 random(settings.seed);
  PortList list;
  Model model;
  // Few ids of each kind, so that ports share VIFs and LSPs, and enough ports for the map to rehash.
  auto portId = [&] { return "port-" + std::to_string(random() % 48); };
  auto vifId = [&] { return random() % 8 == 0 ? std::string() : "vif-" + std::to_string(random() % 24); };
  auto lspId = [&] { return random() % 6 == 0 ? std::string() : "lsp-" + std::to_string(random() % 24); };
  for (size_t step = 0; step < settings.rounds; ++step) {
    const std::string label = "step " + std::to_string(step);
    switch (random() % 8) {
      case 0:
      case 1: {
        PortEntry entry;
        entry.portId = portId();
        entry.vifId = vifId();
        entry.lspId = lspId();
        const bool fresh = !model.ports.count(entry.portId);
        PortEntry* added = list.Add(entry);
        ASSERT_EQ(added != nullptr, fresh) << label;
        if (!fresh) break;
        model.ports[entry.portId] = entry;
        if (!entry.vifId.empty()) model.vifOwner[entry.vifId] = entry.portId;
        if (!entry.lspId.empty()) model.lspOwner[entry.lspId] = entry.portId;
        break;
      }
      case 2: {
        const std::string id = portId();
        PortEntry removed;
        const bool listed = model.ports.count(id) > 0;
        ASSERT_EQ(list.Remove(id, &removed), listed) << label;
        if (!listed) break;
        EXPECT_EQ(removed.portId, id) << label;
        EXPECT_EQ(removed.lspId, model.ports.at(id).lspId) << label;
        // An index entry goes only with the port it names.
        std::erase_if(model.vifOwner, [&](const auto& owner) { return owner.second == id; });
        std::erase_if(model.lspOwner, [&](const auto& owner) { return owner.second == id; });
        model.ports.erase(id);
        break;
      }
      case 3:
      case 4: {
        const std::string id = portId();
        PortEntry* port = list.Find(id);
        ASSERT_EQ(port != nullptr, model.ports.count(id) > 0) << label;
        if (!port) break;
        const std::string lsp = lspId();
        PortEntry& kept = model.ports.at(id);
        if (kept.lspId != lsp) {
          auto owner = model.lspOwner.find(kept.lspId);
          if (owner != model.lspOwner.end() && owner->second == id) model.lspOwner.erase(owner);
          kept.lspId = lsp;
          if (!lsp.empty()) model.lspOwner[lsp] = id;
        }
        list.Bind(*port, lsp);
        break;
      }
      case 5:
        if (random() % 50 == 0) {
          list.Clear();
          model = Model();
        }
        break;
      default:
        break;  // look-ups only
    }
    // Look-ups, some of one LSP twice in a row as a batch does.
    for (int i = 0; i < 3; ++i) {
      const std::string lsp = "lsp-" + std::to_string(random() % 24);
      for (int again = 0; again < 2; ++again) {
        const PortEntry* expected = model.ByLsp(lsp);
        const PortEntry* found = list.FindByLsp(lsp);
        ASSERT_EQ(found != nullptr, expected != nullptr) << label << " lsp " << lsp;
        if (found) {
          EXPECT_EQ(found->portId, expected->portId) << label << " lsp " << lsp;
        }
      }
      const std::string vif = "vif-" + std::to_string(random() % 24);
      const PortEntry* expected = model.ByVif(vif);
      const PortEntry* found = list.FindByVif(vif);
      ASSERT_EQ(found != nullptr, expected != nullptr) << label << " vif " << vif;
      if (found) {
        EXPECT_EQ(found->portId, expected->portId) << label << " vif " << vif;
      }
    }
    ASSERT_EQ(list.Size(), model.ports.size()) << label;
    if (HasFailure()) return;
  }
}

}  // namespace
}  // namespace VevUroro
