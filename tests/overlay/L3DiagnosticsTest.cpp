// What the L3 application tells the operator about input it cannot act upon and about its kernel traffic: table
// changes of unknown kinds, port removals with their admin flips, routers and routes deleted that the kernel never
// held, ARP entries and stale DAD addresses, LIF enumerations the layout cannot carry, and the debug dump of every
// message exchanged with the kernel.
#include <gtest/gtest.h>

#include "dataplane/router/VdrDumper.h"
#include "support/LogCapture.h"
#include "tests/overlay/L3Harness.h"

namespace VevUroro::test {
namespace {

void Basic(L3Rig& rig) {
  rig.feed->Put(Switch(100, 5001));
  rig.feed->Put(Router(1, 7));
  rig.feed->Put(Port(11, 1, 100));
}

TolvarUpdateMsg Entry(uint32_t type, uint64_t id, uint32_t property, int32_t op, const std::string& value) {
  TolvarUpdateMsg entry;
  entry.objectType = static_cast<int32_t>(type);
  entry.objectId = Uuid(id).SerializeAsString();
  entry.propertyType = static_cast<int32_t>(property);
  entry.operation = op;
  entry.value = value;
  return entry;
}

// The table takes any property and either kind of operation; the application acts only on the ones it knows.
TEST(L3DiagnosticsTest, FibAndArpChangesOfUnknownKindsAreLoggedAndNotActedUpon) {
  qor::test::LogCapture log{LOG_LEVEL_INFO};
  L3Rig rig;
  Basic(rig);
  rig.TakeTlvs();
  const std::string router = Fib(21, 1, Prefix(V4(10, 0, 0, 0), 8), {}).SerializeAsString();
  using P = tv::Property;
  rig._l3->UpdateDesiredState({Entry(tv::FIB, 21, 499, TolvarUpdateMsg::OP_SET, router)}, 0);
  EXPECT_TRUE(log.Has({"fib unknown property type 499", "LCP00905"}));
  rig._l3->UpdateDesiredState({Entry(tv::FIB, 22, P::L3_FIB_ROUTER_ID, TolvarUpdateMsg::OP_INSERT, router)}, 0);
  EXPECT_TRUE(log.Has({"fib unknown operation 3", "LCP00905"}));
  rig._l3->UpdateDesiredState({Entry(tv::FIB, 23, P::L3_FIB_NEXT_HOP, TolvarUpdateMsg::OP_SET, "")}, 0);
  EXPECT_TRUE(log.Has({"fib unknown operation 1"}));
  const std::string table = ArpTable(31, 11, {{V4(10, 11, 0, 5), 0x005056000001ull}}).SerializeAsString();
  rig._l3->UpdateDesiredState({Entry(tv::ARP_TABLE_CONFIG, 31, 7, TolvarUpdateMsg::OP_SET, table)}, 0);
  EXPECT_TRUE(log.Has({"arp table config unknown property type 7"}));
  rig._l3->UpdateDesiredState(
      {Entry(tv::ARP_TABLE_CONFIG, 31, P::L3_ARP_ROUTER_PORT_ID, TolvarUpdateMsg::OP_INSERT, table)}, 0);
  EXPECT_TRUE(log.Has({"arp table config unknown operation 3"}));
  EXPECT_TRUE(rig.TakeTlvs().empty());
  EXPECT_EQ(rig.module.RouteCount(), 0u);
  EXPECT_EQ(rig.module.ArpCount(), 0u);

  // The kinds the decoder produces are taken, without those lines.
  const size_t before = log.Count("unknown");
  rig.feed->Put(Fib(24, 1, Prefix(V4(10, 0, 0, 0), 8), {Hop(V4(10, 11, 0, 9), 11)}));
  rig.feed->Put(ArpTable(32, 11, {{V4(10, 11, 0, 5), 0x0050560000aaull}}));
  EXPECT_EQ(rig.module.RouteCount(), 1u);
  EXPECT_EQ(rig.module.ArpCount(), 1u);
  EXPECT_EQ(log.Count("unknown"), before);
}

TEST(L3DiagnosticsTest, APortRemovedFromTheKernelLogsWhetherItsAdminStatusFlipped) {
  qor::test::LogCapture log{LOG_LEVEL_INFO};
  L3Rig rig;
  Basic(rig);
  rig.feed->Put(Router(2, 8));
  rig.feed->Put(Port(11, 2, 100, false));  // moved to another router and taken down at once
  EXPECT_TRUE(log.Has({"Del LRP", "new admin status down, flip"}));
  EXPECT_TRUE(log.Has({"Add LRP", "new admin status down, not filp"}));
  rig.feed->Put(Port(11, 1, 100, true));
  EXPECT_TRUE(log.Has({"Del LRP", "new admin status up, flip"}));
  rig.feed->Delete(tv::LOG_ROUTER_PORT_CONFIG, Uuid(11).SerializeAsString());
  EXPECT_TRUE(log.Has({"Del LRP", "new admin status up, not filp"}));
  EXPECT_EQ(rig.module.LifCount(), 0u);
}

TEST(L3DiagnosticsTest, DeletesOfWhatTheKernelNeverHeldAreLogged) {
  qor::test::LogCapture log{LOG_LEVEL_INFO};
  L3Rig rig;
  Basic(rig);
  tv::LogRouterConfigMsg noVdr = Router(3, 9);
  noVdr.clear_vdr_id();
  rig.feed->Put(noVdr);
  rig.feed->Delete(tv::LOG_ROUTER_CONFIG, Uuid(3).SerializeAsString());
  EXPECT_TRUE(log.Has({"LR", "delete not found in LR to LRP map", "LCP00029"}));
  rig.feed->Delete(tv::LOG_ROUTER_CONFIG, Uuid(1).SerializeAsString());
  EXPECT_TRUE(log.Has({"LR", "(vdr 7) delete from LR to LRP map"}));
  EXPECT_EQ(log.Count("delete not found in LR to LRP map"), 1u);

  // A route whose destination has no known family is never installed; its delete sends nothing.
  L3Rig routes;
  Basic(routes);
  tv::FibMsg odd = Fib(21, 1, Prefix(V4(10, 0, 0, 0), 8), {});
  odd.mutable_ip_prefix()->mutable_address()->set_ipv6("12345");
  routes.feed->Put(odd);
  routes.TakeTlvs();
  routes.feed->Delete(tv::FIB, Uuid(21).SerializeAsString());
  EXPECT_TRUE(log.Has({"VDRRouteDelPB2TLV, Received Route Update for unknown address family, returning"}));
  EXPECT_TRUE(routes.TakeTlvs().empty());
}

TEST(L3DiagnosticsTest, ArpEntriesAndStaleDadAddressesAreNamed) {
  qor::test::LogCapture log;
  L3Rig rig;
  Basic(rig);
  rig.feed->Put(ArpTable(31, 11, {{V4(10, 11, 0, 5), 0x0050560000aaull}}));
  EXPECT_TRUE(log.Has({"ip: 10.11.0.5 mac: 00:50:56:00:00:aa"}));

  rig.Deliver(qor::dpsim::RouterModule::DadReport(7, IdText(11), IdText(77), 1, {{"10.11.0.1", 2}, {"10.11.0.2", 2}}));
  rig.Deliver(qor::dpsim::RouterModule::DadReport(7, IdText(11), IdText(77), 1, {{"10.11.0.1", 3}}));
  EXPECT_TRUE(log.Has({"To be Deleted: DadStatusMsg : 10.11.0.2"}));
  EXPECT_FALSE(log.Has({"To be Deleted: DadStatusMsg : 10.11.0.1"}));
  rig.Deliver(qor::dpsim::RouterModule::DadReport(7, IdText(11), IdText(77), 1, {}));
  EXPECT_TRUE(log.Has({"To be Deleted: DadStatusMsg : 10.11.0.1"}));
  EXPECT_EQ(rig.tolvar->writes.size(), 3u);
}

// A value the LIF record's byte cannot carry would reach the kernel as another one: the LIF is refused.
TEST(L3DiagnosticsTest, LifEnumerationsTheLayoutCannotCarryAreRefused) {
  qor::test::LogCapture log{LOG_LEVEL_INFO};
  L3Rig rig;
  rig.feed->Put(Switch(100, 5001));
  rig.feed->Put(Router(1, 7));
  tv::LogRouterPortConfigMsg port = Port(11, 1, 100);
  port.set_link_type(300);
  rig.feed->Put(port);
  EXPECT_TRUE(log.Has({"VDRGetTLVLifFlags: Unexpected type 300", "LCP00905"}));
  EXPECT_EQ(rig.module.LifCount(), 0u);
  port.set_link_type(2);
  rig.feed->Put(port);
  EXPECT_EQ(rig.module.LifCount(), 1u);

  tv::LogSwitchConfigMsg ls = Switch(100, 5001);
  ls.set_replication_mode(7);
  rig.feed->Put(ls);
  EXPECT_TRUE(log.Has({"VDRGetTLVLifMulticastIp: Unexpected type 7", "LCP00905"}));
  EXPECT_EQ(rig.module.LifCount(), 0u);
  ls.set_replication_mode(2);
  rig.feed->Put(ls);
  EXPECT_EQ(rig.module.LifCount(), 1u);
}

TEST(L3DiagnosticsTest, MessagesToAndFromTheKernelAreDumpedAtDebugLevelOnly) {
  {
    qor::test::LogCapture log;
    L3Rig rig;
    Basic(rig);
    EXPECT_TRUE(log.Has({"VDR Message\ntype 4 (UPDATE), len ", "TLV 4 (LIF UPDATE), len 188, vdr 7"}));
    rig.Deliver(qor::dpsim::RouterModule::FullSyncRequest(7));
    EXPECT_TRUE(log.Has({"VDR Message\ntype 4 (UPDATE), len 13 of 13\n  TLV 3 (INSTANCE REPORT), len 9, vdr 7\n"}));
  }
  qor::test::LogCapture info{LOG_LEVEL_INFO};
  L3Rig rig;
  Basic(rig);
  rig.Deliver(qor::dpsim::RouterModule::FullSyncRequest(7));
  EXPECT_FALSE(info.Has({"VDR Message"}));
}

TEST(L3DiagnosticsTest, TheDumpStaysWithinTheBytesAndItsLimit) {
  // A TLV claiming more than the message holds is named and ends the walk.
  const std::vector<uint8_t> bad{0, 4, 0, 13, 0, 3, 0, 9, 0, 0, 0, 7, 2, 0, 28, 0, 200};
  EXPECT_EQ(router::RenderVdrMessage(bad.data(), bad.size()),
            "VDR Message\ntype 4 (UPDATE), len 13 of 17\n  TLV 3 (INSTANCE REPORT), len 9, vdr 7\n");
  const std::vector<uint8_t> over{0, 4, 0, 12, 0, 3, 0, 9, 0, 0, 0, 7};
  EXPECT_EQ(router::RenderVdrMessage(over.data(), over.size()),
            "VDR Message\ntype 4 (UPDATE), len 12 of 12\n  TLV 3 (INSTANCE REPORT), len 9: does not fit the message\n");
  EXPECT_EQ(router::RenderVdrMessage(bad.data(), 3), "VDR Message\ntruncated header, 3 bytes\n");
  // A long batch stops at the limit with a whole line.
  std::vector<uint8_t> many{0, 4, 0, 0};
  for (int i = 0; i < 500; ++i) many.insert(many.end(), {0, 10, 0, 8, 0, 0, 0, 1});
  many[2] = static_cast<uint8_t>(many.size() >> 8);
  many[3] = static_cast<uint8_t>(many.size());
  const std::string text = router::RenderVdrMessage(many.data(), many.size());
  EXPECT_LE(text.size(), router::kDumpLimit);
  EXPECT_EQ(text.back(), '\n');
  EXPECT_NE(text.find("TLV 10 (FULL SYNC START), len 8, vdr 1\n"), std::string::npos);
}

}  // namespace
}  // namespace VevUroro::test
