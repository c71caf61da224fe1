// Router-advertisement (NDRA) settings of the LIFs, from their router's profile (the database has none per port);
// profile changes reach the ports that use them; an admin-down LIF advertises nothing; the bytes of the NDRA UPDATE
// against the layout.
#include <gtest/gtest.h>

#include "support/LogCapture.h"
#include "tests/overlay/L3Harness.h"

namespace VevUroro::test {
namespace {

tv::NdraProfileConfigMsg Ndra(uint64_t n, uint32_t interval) {
  tv::NdraProfileConfigMsg profile;
  *profile.mutable_id() = Uuid(n);
  profile.set_ra_mode(1);
  profile.set_ra_interval(interval);
  profile.set_hop_limit(64);
  profile.set_router_lifetime(1800);
  profile.set_reachable_time(30000);
  profile.set_retransmit_interval(1000);
  return profile;
}

tv::LogRouterConfigMsg RouterWithNdra(uint64_t profile) {
  tv::LogRouterConfigMsg router = Router(1, 7);
  if (profile) *router.mutable_ndra_profile_id() = Uuid(profile);
  return router;
}

std::vector<Tlv> Ndras(L3Rig& rig) {
  std::vector<Tlv> out;
  for (const Tlv& tlv : rig.TakeTlvs()) {
    if (tlv.type == 17) out.push_back(tlv);
  }
  return out;
}

std::string NdraLine(const L3Rig& rig, uint64_t port) {
  const std::string tables = rig.module.Tables();
  const size_t at = tables.find("ndra 7 " + IdText(port) + " ");
  return at == std::string::npos ? "" : tables.substr(at, tables.find('\n', at) - at);
}

TEST(L3NdraTest, TheNdraUpdateFollowsTheLayout) {
  L3Rig rig;
  rig.feed->Put(Switch(100, 5001));
  rig.feed->Put(Ndra(70, 200));
  rig.feed->Put(RouterWithNdra(70));
  rig.TakeTlvs();
  rig.feed->Put(Port(11, 1, 100));
  const auto tlvs = Ndras(rig);
  ASSERT_EQ(tlvs.size(), 1u);
  const auto& b = tlvs[0].bytes;
  ASSERT_EQ(b.size(), 91u);
  EXPECT_EQ(Be16(b, 2), 91);
  EXPECT_EQ(Be32(b, 4), 7u);
  EXPECT_EQ(NameAt(b, 8), IdText(11));
  EXPECT_EQ(b[72], 1);  // set
  EXPECT_EQ(b[73], 1);  // RA mode
  EXPECT_EQ(Be32(b, 74), 200u);
  EXPECT_EQ(b[78], 64);
  EXPECT_EQ(Be32(b, 79), 1800u);
  EXPECT_EQ(Be32(b, 83), 30000u);
  EXPECT_EQ(Be32(b, 87), 1000u);
  EXPECT_EQ(NdraLine(rig, 11),
            "ndra 7 " + IdText(11) + " mode=1 interval=200 hop-limit=64 lifetime=1800 reachable=30000 retransmit=1000");
}

TEST(L3NdraTest, PortsFollowTheirRoutersProfileAndAdminDownPortsAdvertiseNothing) {
  qor::test::LogCapture log;
  L3Rig rig;
  rig.feed->Put(Switch(100, 5001));
  rig.feed->Put(Ndra(70, 200));
  rig.feed->Put(Ndra(71, 300));
  rig.feed->Put(RouterWithNdra(70));
  rig.feed->Put(Port(11, 1, 100));
  rig.feed->Put(Port(12, 1, 100));
  EXPECT_NE(NdraLine(rig, 11).find("interval=200"), std::string::npos);
  EXPECT_NE(NdraLine(rig, 12).find("interval=200"), std::string::npos);

  // A change of a profile no router uses sends nothing; of the router's, reaches each of its ports.
  rig.TakeTlvs();
  rig.feed->Put(Ndra(71, 310));
  EXPECT_TRUE(Ndras(rig).empty());
  rig.feed->Put(Ndra(70, 250));
  EXPECT_EQ(Ndras(rig).size(), 2u);
  EXPECT_NE(NdraLine(rig, 11).find("interval=250"), std::string::npos);

  // The router takes another profile: its ports follow.
  rig.feed->Put(RouterWithNdra(71));
  EXPECT_TRUE(log.Has({"old ndra profile ID", "new ndra profile ID"}));
  EXPECT_NE(NdraLine(rig, 11).find("interval=310"), std::string::npos);

  // An admin-down port advertises nothing and is not updated; up again, it takes the current profile.
  rig.feed->Put(Port(11, 1, 100, false));
  EXPECT_EQ(NdraLine(rig, 11), "");
  rig.feed->Put(Ndra(71, 350));
  EXPECT_TRUE(log.Has({"update ndra config, LRP", "admin down"}));
  EXPECT_EQ(NdraLine(rig, 11), "");
  EXPECT_NE(NdraLine(rig, 12).find("interval=350"), std::string::npos);
  rig.feed->Put(Port(11, 1, 100, true));
  EXPECT_NE(NdraLine(rig, 11).find("interval=350"), std::string::npos);

  // A profile the record cannot carry is refused and the settings it replaces are withdrawn: the module ends as a
  // full sync of the same state leaves it.
  tv::NdraProfileConfigMsg wide = Ndra(71, 400);
  wide.set_hop_limit(300);
  rig.feed->Put(wide);
  EXPECT_TRUE(log.Has({"NDRA profile", "is not valid", "LCP00905"}));
  EXPECT_EQ(NdraLine(rig, 11), "");
  EXPECT_EQ(NdraLine(rig, 12), "");
  const std::string refused = rig.module.Tables();
  rig.Deliver(qor::dpsim::RouterModule::FullSyncRequest(0xFFFFFFFF));
  EXPECT_EQ(rig.module.Tables(), refused);
  rig.feed->Put(Ndra(71, 350));
  EXPECT_NE(NdraLine(rig, 12).find("interval=350"), std::string::npos);

  // A kernel request for the router brings back the same settings.
  const std::string before = rig.module.Tables();
  rig.Deliver(qor::dpsim::RouterModule::FullSyncRequest(7));
  EXPECT_EQ(rig.module.Tables(), before);

  // The router has none any more: the settings go.
  rig.feed->Put(RouterWithNdra(0));
  EXPECT_TRUE(log.Has({"NDRA profile missing on LRP", "and LR", "both"}));
  EXPECT_EQ(NdraLine(rig, 11), "");
  EXPECT_EQ(NdraLine(rig, 12), "");

  EXPECT_EQ(rig.module.Refused(), 0u);
  EXPECT_EQ(rig.module.Malformed(), 0u);
}

}  // namespace
}  // namespace VevUroro::test
