// The L3 application over real tables and decoder output, its bytes checked against the router channel's layout
// (offsets written from the layout, not from the builder) and the router module's resulting tables.
#include <gtest/gtest.h>

#include <cstring>

#include "support/LogCapture.h"
#include "tests/overlay/L3Harness.h"
#include "zantix/qor/tolvar/services.pb.h"

namespace VevUroro::test {
namespace {

std::vector<Tlv> OfType(const std::vector<Tlv>& tlvs, uint16_t type) {
  std::vector<Tlv> out;
  for (const Tlv& tlv : tlvs) {
    if (tlv.type == type) out.push_back(tlv);
  }
  return out;
}

uint32_t HostOrder(const std::vector<uint8_t>& b, size_t at) {
  uint32_t v;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}

// A router with one switch-backed port, the first notification done.
void Basic(L3Rig& rig) {
  rig.feed->Put(Switch(100, 5001));
  rig.feed->Put(Router(1, 7));
  rig.feed->Put(Port(11, 1, 100));
}

TEST(L3AppTest, FirstNotificationIsTheFullSyncInItsFixedOrder) {
  L3Rig rig;
  rig.feed->Put(Switch(100, 5001));
  tv::PrefixListMsg list;
  *list.mutable_id() = Uuid(50);
  list.set_name("pl-50");
  list.set_index(3);
  rig.feed->Put(list);  // the first L3 notification: a full sync of what the cache holds (the prefix list)
  rig.feed->Put(Router(1, 7));
  rig.feed->Put(Port(11, 1, 100));
  rig.feed->Put(Fib(21, 1, Prefix(V4(192, 168, 1, 0), 24), {Hop(V4(10, 11, 0, 254), 11)}));
  tv::BarrierMsg barrier;
  *barrier.mutable_id() = Uuid(90);
  barrier.set_barrier_number(42);
  rig.feed->Put(barrier);
  rig.TakeTlvs();

  // A fresh application over the same cache: its first notification sends everything in order.
  L3Rig fresh;
  fresh.feed->SetObjects(rig.feed->Objects());
  fresh.feed->FullSync();
  std::vector<uint16_t> order;
  for (const Tlv& tlv : fresh.TakeTlvs()) order.push_back(tlv.type);
  const std::vector<uint16_t> expected = {10, 1, 2, 30, 4, 5, 26, 11, 12};
  EXPECT_EQ(order, expected);
  EXPECT_EQ(fresh.module.Tables(), rig.module.Tables());
  EXPECT_TRUE(fresh.app->InitialSyncDone());
}

TEST(L3AppTest, InstanceAndLifBytesFollowTheLayout) {
  L3Rig rig;
  Basic(rig);
  auto tlvs = rig.TakeTlvs();
  auto instances = OfType(tlvs, 1);
  ASSERT_EQ(instances.size(), 1u);
  const auto& instance = instances[0].bytes;
  ASSERT_EQ(instance.size(), 82u);
  EXPECT_EQ(Be16(instance, 2), 82);
  EXPECT_EQ(Be32(instance, 4), 7u);
  EXPECT_EQ(instance[8], 1);  // add
  EXPECT_EQ(NameAt(instance, 18), "lr-1");

  auto lifs = OfType(tlvs, 4);
  ASSERT_EQ(lifs.size(), 1u);
  const auto& lif = lifs[0].bytes;
  ASSERT_EQ(lif.size(), 170u + 18u);
  EXPECT_EQ(Be32(lif, 4), 7u);
  EXPECT_EQ(lif[8], 1);
  EXPECT_EQ(NameAt(lif, 9), IdText(11));
  EXPECT_EQ(lif[73], 1);                // downlink
  EXPECT_EQ(Be16(lif, 74) & 0x1, 0x1);  // admin up
  EXPECT_EQ(Be32(lif, 80), 1500u);      // MTU default
  EXPECT_EQ(Be32(lif, 86), 5001u);      // VNI
  EXPECT_EQ(lif[93], 1);                // overlay
  EXPECT_EQ(lif[99 + 5], 11);           // MAC last byte
  EXPECT_EQ(lif[169], 1);               // one address
  EXPECT_EQ(lif[170], 4);               // IPv4
  EXPECT_EQ(lif[171], 10);
  EXPECT_EQ(lif[172], 11);
  EXPECT_EQ(lif[187], 24);  // prefix length
}

TEST(L3AppTest, GlobalDeleteSendsTheDefaultsWhateverTheSoftRssSetting) {
  L3Rig rig(true);
  Basic(rig);
  tv::GlobalConfigMsg global;
  *global.mutable_id() = Uuid(80);
  global.mutable_routing()->set_l3_forwarding_mode(2);
  global.mutable_routing()->set_lrp_mtu(9000);
  global.mutable_routing()->set_flag(true);
  global.mutable_switching()->set_arp_limit(1234);
  rig.TakeTlvs();
  rig.feed->Put(global);
  auto set = OfType(rig.TakeTlvs(), 26);
  ASSERT_EQ(set.size(), 1u);
  const std::vector<uint8_t>& b = set[0].bytes;
  ASSERT_EQ(b.size(), 15u);
  EXPECT_EQ(Be16(b, 0), 26);
  EXPECT_EQ(Be16(b, 2), 15);
  EXPECT_EQ(b[4], 2);
  EXPECT_EQ(HostOrder(b, 5), 9000u);
  EXPECT_EQ(HostOrder(b, 9), 1234u);
  EXPECT_EQ(b[13], 2);
  EXPECT_EQ(b[14], 2);  // soft RSS enabled

  // The decoder drops deletes of the global configuration (only its current value matters); the table removes it
  // when a full sync of the database no longer holds it.
  auto objects = rig.feed->Objects();
  objects.erase({tv::GLOBAL_CONFIG, Id(80)});
  rig.feed->SetObjects(objects);
  rig.feed->FullSync();
  auto cleared = OfType(rig.TakeTlvs(), 26);
  ASSERT_EQ(cleared.size(), 1u);
  const std::vector<uint8_t>& d = cleared[0].bytes;
  EXPECT_EQ(d[4], 1);
  EXPECT_EQ(HostOrder(d, 5), 1500u);
  EXPECT_EQ(HostOrder(d, 9), 50000u);
  EXPECT_EQ(d[13], 1);
  EXPECT_EQ(d[14], 1);
  EXPECT_NE(rig.module.Tables().find("global forwarding-mode=1 lrp-mtu=1500 switching=50000 routing-flag=1 soft-rss=1"),
            std::string::npos);
}

TEST(L3AppTest, ANextHopDeletedAndReAddedIsSentOnlyAsAnAdd) {
  qor::test::LogCapture log;
  L3Rig rig;
  Basic(rig);
  rig.feed->Put(Fib(21, 1, Prefix(V4(192, 168, 1, 0), 24), {Hop(V4(10, 11, 0, 254), 11), Hop(V4(10, 11, 0, 253), 11)}));
  auto added = OfType(rig.TakeTlvs(), 5);
  ASSERT_EQ(added.size(), 1u);
  ASSERT_EQ(added[0].bytes.size(), 27u + 2 * 70u);
  EXPECT_EQ(Be32(added[0].bytes, 8), 1u);   // entry count
  EXPECT_EQ(added[0].bytes[12], 4);         // family
  EXPECT_EQ(added[0].bytes[13], 192);       // destination
  EXPECT_EQ(added[0].bytes[17], 24);        // prefix length
  EXPECT_EQ(Be32(added[0].bytes, 23), 2u);  // next hops

  // The first next hop becomes static (its element is removed and a new one inserted); the second goes.
  rig.feed->Put(Fib(21, 1, Prefix(V4(192, 168, 1, 0), 24), {Hop(V4(10, 11, 0, 254), 11, true)}));
  auto updates = OfType(rig.TakeTlvs(), 7);
  ASSERT_EQ(updates.size(), 1u);
  const auto& u = updates[0].bytes;
  ASSERT_EQ(u.size(), 30u + 2 * 82u);
  EXPECT_EQ(Be16(u, 26), 1);       // adds
  EXPECT_EQ(Be16(u, 28), 1);       // deletes
  EXPECT_EQ(u[34], 254);           // the add: 10.11.0.254
  EXPECT_EQ(u[30 + 17], 0x2);      // static
  EXPECT_EQ(u[30 + 82 + 4], 253);  // the delete: 10.11.0.253 only
  EXPECT_TRUE(log.Has({"Prune fib next hop, deleted next hop added"}));
  const std::string tables = rig.module.Tables();
  EXPECT_NE(tables.find("next-hops=[10.11.0.254 " + IdText(11) + " static]\n"), std::string::npos) << tables;
}

TEST(L3AppTest, APortWhoseSwitchHasNoTransportBindingIsAddedAsOverlay) {
  qor::test::LogCapture log;
  L3Rig rig;
  rig.feed->Put(Switch(100, 6001, false));
  rig.feed->Put(Router(1, 7));
  rig.feed->Put(Port(11, 1, 100));
  auto lifs = OfType(rig.TakeTlvs(), 4);
  ASSERT_EQ(lifs.size(), 1u);
  EXPECT_EQ(lifs[0].bytes[93], 1);
  EXPECT_EQ(Be32(lifs[0].bytes, 86), 6001u);
  EXPECT_TRUE(log.Has({"transport binding type not found for add LRP", "set it to overlay"}));
}

TEST(L3AppTest, KernelMessageTypesOneToSevenButFourAreAcceptedOthersRejected) {
  qor::test::LogCapture log;
  L3Rig rig;
  Basic(rig);
  rig.TakeTlvs();
  rig.Deliver({0, 5, 0, 4});
  EXPECT_EQ(log.Count("LCP00901"), 0u);
  rig.Deliver({0, 9, 0, 4});
  EXPECT_TRUE(log.Has({"L3App: unknown vdr msg 9", "LCP00901"}));
  rig.Deliver({0, 4, 0, 9, 0});  // length field disagrees with the bytes
  EXPECT_EQ(log.Count("LCP00901"), 2u);
  rig.Deliver({0, 4, 0, 10, 0, 3, 0, 40, 0, 0});  // a TLV longer than the message
  EXPECT_EQ(log.Count("LCP00901"), 3u);
  EXPECT_TRUE(rig.TakeTlvs().empty());
}

TEST(L3AppTest, AKernelFullSyncRequestResendsExactlyThatRouter) {
  L3Rig rig;
  Basic(rig);
  rig.feed->Put(Router(2, 8));
  rig.feed->Put(Port(12, 2, 100));
  rig.feed->Put(Fib(21, 1, Prefix(V4(192, 168, 1, 0), 24), {Hop(V4(10, 11, 0, 254), 11)}));
  rig.feed->Put(Fib(22, 2, Prefix(V4(192, 168, 2, 0), 24), {Hop(V4(10, 12, 0, 254), 12)}));
  rig.feed->Put(ArpTable(31, 11, {{V4(10, 11, 0, 5), 0x0050560000aaull}}));
  const std::string before = rig.module.Tables();
  rig.TakeTlvs();

  rig.Deliver(qor::dpsim::RouterModule::FullSyncRequest(8));
  auto tlvs = rig.TakeTlvs();
  ASSERT_GE(tlvs.size(), 4u);
  EXPECT_EQ(tlvs.front().type, 10);
  EXPECT_EQ(Be32(tlvs.front().bytes, 4), 8u);
  EXPECT_EQ(tlvs.back().type, 11);
  std::vector<uint16_t> types;
  for (const Tlv& tlv : tlvs) {
    types.push_back(tlv.type);
    if (tlv.type == 4 || tlv.type == 5 || tlv.type == 8) {
      EXPECT_EQ(Be32(tlv.bytes, 4), 8u);
    }
  }
  EXPECT_EQ(types, (std::vector<uint16_t>{10, 4, 5, 11}));
  EXPECT_EQ(rig.module.Tables(), before);

  qor::test::LogCapture log;
  rig.Deliver(qor::dpsim::RouterModule::FullSyncRequest(99));
  EXPECT_TRUE(log.Has({"LR UUID not found for vdr ID 99", "LCP00029"}));
  EXPECT_TRUE(rig.TakeTlvs().empty());

  rig.Deliver(qor::dpsim::RouterModule::FullSyncRequest(0xFFFFFFFF));
  EXPECT_TRUE(log.Has({"handle kernel full sync request both Config and L3 State-cache"}));
  auto all = rig.TakeTlvs();
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.front().type, 10);
  EXPECT_EQ(Be32(all.front().bytes, 4), 0xFFFFFFFFu);
  EXPECT_EQ(rig.module.Tables(), before);
}

TEST(L3AppTest, DadReportsNeedAVersionUuidAndAreWrittenBack) {
  qor::test::LogCapture log;
  L3Rig rig;
  Basic(rig);
  rig.Deliver(qor::dpsim::RouterModule::DadReport(7, IdText(11), "", 1, {{"10.11.0.1", 2}}));
  EXPECT_TRUE(log.Has({"Empty version", "LCP00703"}));
  rig.Deliver(qor::dpsim::RouterModule::DadReport(7, IdText(11), "not-a-uuid", 1, {{"10.11.0.1", 2}}));
  EXPECT_TRUE(log.Has({"Version UUID invalid", "LCP00703"}));
  EXPECT_TRUE(rig.tolvar->writes.empty());

  rig.Deliver(qor::dpsim::RouterModule::DadReport(7, IdText(11), IdText(77), 1, {{"10.11.0.1", 2}}));
  ASSERT_EQ(rig.tolvar->writes.size(), 1u);
  const auto& put = rig.tolvar->writes[0].modify().put();
  EXPECT_EQ(put.object().object_type(), tv::LOG_ROUTER_PORT_DAD_STATE);
  EXPECT_EQ(put.vdb(), 1u);
  tv::LogRouterPortDadStateMsg state;
  ASSERT_TRUE(state.ParseFromString(put.object().object_body()));
  EXPECT_EQ(state.id().low(), 11u);
  ASSERT_EQ(state.dad_states_size(), 1);
  EXPECT_EQ(state.dad_states(0).ip().ipv4(), 0x0a0b0001u);
  EXPECT_EQ(state.dad_states(0).state(), 2u);

  rig.Deliver(qor::dpsim::RouterModule::DadReport(7, IdText(11), IdText(77), 1, {}));
  ASSERT_EQ(rig.tolvar->writes.size(), 2u);
  EXPECT_TRUE(rig.tolvar->writes[1].modify().has_delete_());
  EXPECT_TRUE(log.Has({"Delete Entire Dad state for Lif"}));
}

// A reconnect may reach a reloaded module that does not ask for anything, and a message sent while the link was
// going down is lost: the reconnect resends everything. The first connect resends nothing.
TEST(L3AppTest, AReconnectOfTheKernelLinkResendsEverything) {
  qor::test::LogCapture log;
  L3Rig rig;
  TestLink& link = rig.links[L3Rig::kChannel];
  link.Up();
  Basic(rig);
  rig.feed->Put(Fib(21, 1, Prefix(V4(192, 168, 1, 0), 24), {Hop(V4(10, 11, 0, 254), 11)}));
  rig.feed->Put(ArpTable(31, 11, {{V4(10, 11, 0, 5), 0x0050560000aaull}}));
  ASSERT_EQ(rig.module.RouteCount(), 1u);
  rig.TakeTlvs();

  // The link drops with a route change in flight, and the module is reloaded without asking.
  link.Down();
  auto deliver = std::exchange(link.onSend, [](const std::vector<uint8_t>&) {});
  rig.feed->Put(Fib(22, 1, Prefix(V4(192, 168, 2, 0), 24), {Hop(V4(10, 11, 0, 253), 11)}));
  link.onSend = deliver;
  std::vector<std::vector<uint8_t>> requests;
  const auto reset = rig.module.Command({"vdr-reset", L3Rig::kChannel}, requests);
  ASSERT_TRUE(reset && reset->first);
  ASSERT_EQ(rig.module.InstanceCount(), 0u);
  rig.TakeTlvs();

  link.Up();
  EXPECT_TRUE(log.Has({"tkmlink up again, full sync with kernel"}));
  const auto tlvs = rig.TakeTlvs();
  ASSERT_FALSE(tlvs.empty());
  EXPECT_EQ(tlvs.front().type, 10);
  EXPECT_EQ(Be32(tlvs.front().bytes, 4), 0xFFFFFFFFu);
  EXPECT_EQ(rig.module.InstanceCount(), 1u);
  EXPECT_EQ(rig.module.LifCount(), 1u);
  EXPECT_EQ(rig.module.RouteCount(), 2u);
  EXPECT_EQ(rig.module.ArpCount(), 1u);
  EXPECT_EQ(rig.module.Refused(), 0u);

  // A link that comes up for the first time after the initial full sync only delivers what was queued.
  L3Rig late;
  Basic(late);
  late.TakeTlvs();
  late.links[L3Rig::kChannel].Up();
  EXPECT_TRUE(late.TakeTlvs().empty());
}

// What the link still held for the old connection is dropped when it goes down: a reloaded module sees the
// reconnect's full sync first, never the stale tail of what was sent before.
TEST(L3AppTest, MessagesStillQueuedWhenTheLinkDropsDoNotReachTheReloadedModule) {
  qor::test::LogCapture log{LOG_LEVEL_INFO};
  L3Rig rig;
  TestLink& link = rig.links[L3Rig::kChannel];
  link.Up();
  Basic(rig);
  rig.feed->Put(Fib(21, 1, Prefix(V4(192, 168, 1, 0), 24), {Hop(V4(10, 11, 0, 254), 11)}));
  rig.TakeTlvs();

  // The module stops reading, changes wait in the link, the connection drops and the module is reloaded.
  link.holding = true;
  for (uint64_t i = 0; i < 50; ++i) {
    rig.feed->Put(Fib(100 + i, 1, Prefix(V4(172, 16, static_cast<uint8_t>(i), 0), 24), {Hop(V4(10, 11, 0, 1), 11)}));
  }
  link.Down();
  EXPECT_TRUE(log.Has({"queued update message(s) dropped before the full sync"}));
  std::vector<std::vector<uint8_t>> requests;
  const auto reset = rig.module.Command({"vdr-reset", L3Rig::kChannel}, requests);
  ASSERT_TRUE(reset && reset->first);

  link.Up();
  link.Release();
  const auto tlvs = rig.TakeTlvs();
  ASSERT_FALSE(tlvs.empty());
  EXPECT_EQ(tlvs.front().type, 10);
  EXPECT_EQ(Be32(tlvs.front().bytes, 4), 0xFFFFFFFFu);
  EXPECT_EQ(rig.module.Refused(), 0u);
  EXPECT_EQ(rig.module.RouteCount(), 51u);
  L3Rig fresh;
  fresh.feed->SetObjects(rig.feed->Objects());
  fresh.feed->FullSync();
  EXPECT_EQ(rig.module.Tables(), fresh.module.Tables());
}

// While the link is down nothing piles up for the kernel, however many changes come; the reconnect's full sync
// leaves the module exactly as a fresh full sync of the same objects does.
TEST(L3AppTest, ChangesWhileTheLinkIsDownAreNotQueuedAndArriveWithTheReconnect) {
  qor::test::LogCapture log{LOG_LEVEL_INFO};
  L3Rig rig;
  TestLink& link = rig.links[L3Rig::kChannel];
  link.Up();
  Basic(rig);
  rig.feed->Put(Fib(21, 1, Prefix(V4(192, 168, 1, 0), 24), {Hop(V4(10, 11, 0, 254), 11)}));
  rig.feed->Put(ArpTable(31, 11, {{V4(10, 11, 0, 5), 0x0050560000aaull}}));
  rig.TakeTlvs();

  link.Down();
  for (uint64_t i = 0; i < 200; ++i) {
    rig.feed->Put(Fib(100 + i, 1, Prefix(V4(172, 16, static_cast<uint8_t>(i), 0), 24), {Hop(V4(10, 11, 0, 1), 11)}));
  }
  for (uint64_t i = 0; i < 200; i += 2) rig.feed->Delete(tv::FIB, Uuid(100 + i).SerializeAsString());
  rig.feed->Delete(tv::FIB, Uuid(21).SerializeAsString());
  rig.feed->Put(ArpTable(31, 11, {{V4(10, 11, 0, 6), 0x0050560000bbull}}));
  rig.feed->Put(Router(2, 8));
  EXPECT_TRUE(rig.sent.empty());
  EXPECT_EQ(log.Count("updates are not queued until the full sync at reconnect"), 1u);

  link.Up();
  EXPECT_TRUE(log.Has({"update message(s) not queued while tkmlink was down"}));
  EXPECT_EQ(rig.module.RouteCount(), 100u);
  EXPECT_EQ(rig.module.Refused(), 0u);
  L3Rig fresh;
  fresh.feed->SetObjects(rig.feed->Objects());
  fresh.feed->FullSync();
  EXPECT_EQ(rig.module.Tables(), fresh.module.Tables());

  // Back up: deltas flow again.
  rig.feed->Delete(tv::FIB, Uuid(101).SerializeAsString());
  EXPECT_EQ(rig.module.RouteCount(), 99u);
}

TEST(L3AppTest, ADadReportNamingAnotherVdrThanItsLifIsRefused) {
  qor::test::LogCapture log;
  L3Rig rig;
  Basic(rig);  // LIF 11 on VDR 7
  rig.Deliver(qor::dpsim::RouterModule::DadReport(999, IdText(11), IdText(77), 1, {{"10.11.0.1", 2}}));
  rig.Deliver(qor::dpsim::RouterModule::DadReport(999, IdText(11), IdText(77), 1, {}));
  EXPECT_TRUE(rig.tolvar->writes.empty());
  EXPECT_TRUE(log.Has({"names vdr 999, the LIF is on vdr 7", "LCP00029"}));
  rig.Deliver(qor::dpsim::RouterModule::DadReport(7, IdText(11), IdText(77), 1, {{"10.11.0.1", 2}}));
  EXPECT_EQ(rig.tolvar->writes.size(), 1u);
}

// A message with a bad TLV after good ones is refused whole: neither the full-sync request nor the DAD report before
// the bad TLV is acted upon.
// Kernel messages holding several full-sync requests, laid out as the module lays them (one header, TLVs after it).
std::vector<uint8_t> FullSyncRequests(const std::vector<uint32_t>& vdrs) {
  std::vector<uint8_t> message;
  for (uint32_t vdr : vdrs) {
    const std::vector<uint8_t> one = qor::dpsim::RouterModule::FullSyncRequest(vdr);
    message.insert(message.end(), one.begin() + (message.empty() ? 0 : 4), one.end());
  }
  message[2] = static_cast<uint8_t>(message.size() >> 8);
  message[3] = static_cast<uint8_t>(message.size());
  return message;
}

std::vector<uint32_t> FullSyncStarts(const std::vector<Tlv>& tlvs) {
  std::vector<uint32_t> vdrs;
  for (const Tlv& tlv : OfType(tlvs, 10)) vdrs.push_back(Be32(tlv.bytes, 4));
  return vdrs;
}

TEST(L3AppTest, RepeatedFullSyncRequestsInOneMessageAreMerged) {
  L3Rig rig;
  Basic(rig);
  rig.feed->Put(Router(2, 8));
  rig.feed->Put(Port(12, 2, 100));
  const std::string before = rig.module.Tables();
  rig.TakeTlvs();

  // Each VDR at most once, in the order first asked.
  rig.Deliver(FullSyncRequests({8, 8, 7, 8, 7, 8}));
  EXPECT_EQ(FullSyncStarts(rig.TakeTlvs()), (std::vector<uint32_t>{8, 7}));
  EXPECT_EQ(rig.module.Tables(), before);

  // A request for everything covers the per-VDR ones around it, and is run once.
  std::vector<uint32_t> many{8, 0xFFFFFFFF, 7};
  for (int i = 0; i < 2000; ++i) many.push_back(i % 2 ? 0xFFFFFFFF : 8);
  rig.Deliver(FullSyncRequests(many));
  EXPECT_EQ(FullSyncStarts(rig.TakeTlvs()), (std::vector<uint32_t>{0xFFFFFFFF}));
  EXPECT_EQ(rig.module.Tables(), before);
}

TEST(L3AppTest, AKernelMessageWithABadTlvIsNotActedUponInPart) {
  qor::test::LogCapture log;
  L3Rig rig;
  Basic(rig);
  rig.TakeTlvs();
  std::vector<uint8_t> request = qor::dpsim::RouterModule::FullSyncRequest(7);
  std::vector<uint8_t> dad = qor::dpsim::RouterModule::DadReport(7, IdText(11), IdText(77), 1, {{"10.11.0.1", 2}});
  std::vector<uint8_t> message = request;
  message.insert(message.end(), dad.begin() + 4, dad.end());  // the DAD report's TLV, without its message header
  message.insert(message.end(), {0, 3, 0, 2});                // a TLV claiming 2 bytes
  message[2] = static_cast<uint8_t>(message.size() >> 8);
  message[3] = static_cast<uint8_t>(message.size());
  rig.Deliver(message);
  EXPECT_TRUE(log.Has({"malformed vdr msg", "LCP00901"}));
  EXPECT_FALSE(log.Has({"handle kernel full sync request"}));
  EXPECT_TRUE(rig.TakeTlvs().empty());
  EXPECT_TRUE(rig.tolvar->writes.empty());

  // The same TLVs without the bad one are taken.
  message.resize(message.size() - 4);
  message[2] = static_cast<uint8_t>(message.size() >> 8);
  message[3] = static_cast<uint8_t>(message.size());
  rig.Deliver(message);
  EXPECT_FALSE(rig.TakeTlvs().empty());
  EXPECT_EQ(rig.tolvar->writes.size(), 1u);
}

TEST(L3AppTest, ChildrenOfAMissingParentWaitForIt) {
  qor::test::LogCapture log;
  L3Rig rig;
  rig.feed->Put(Switch(100, 5001));
  rig.feed->Put(Port(11, 1, 100));
  rig.feed->Put(Fib(21, 1, Prefix(V4(192, 168, 1, 0), 24), {Hop(V4(10, 11, 0, 254), 11)}));
  rig.feed->Put(ArpTable(31, 11, {{V4(10, 11, 0, 5), 0x0050560000aaull}}));
  EXPECT_TRUE(log.Has({"not found in LR info map when add LRP", "LCP00029"}));
  EXPECT_TRUE(log.Has({"not found for add fib", "LCP00029"}));
  EXPECT_EQ(rig.module.LifCount(), 0u);
  rig.feed->Put(Router(1, 7));
  EXPECT_EQ(rig.module.InstanceCount(), 1u);
  EXPECT_EQ(rig.module.LifCount(), 1u);
  EXPECT_EQ(rig.module.RouteCount(), 1u);
  EXPECT_EQ(rig.module.ArpCount(), 1u);
  EXPECT_EQ(rig.module.Refused(), 0u);
  rig.feed->Delete(tv::LOG_ROUTER_CONFIG, Id(1));
  EXPECT_EQ(rig.module.InstanceCount(), 0u);
  EXPECT_EQ(rig.module.LifCount(), 0u);
  EXPECT_EQ(rig.module.RouteCount(), 0u);
  EXPECT_EQ(rig.module.ArpCount(), 0u);
}

TEST(L3AppTest, AdminDownPortsKeepNoArpEntriesAndFlipsAreLogged) {
  qor::test::LogCapture log;
  L3Rig rig;
  Basic(rig);
  rig.feed->Put(ArpTable(31, 11, {{V4(10, 11, 0, 5), 0x0050560000aaull}, {V4(10, 11, 0, 6), 0x0050560000bbull}}));
  EXPECT_EQ(rig.module.ArpCount(), 2u);
  rig.feed->Put(Port(11, 1, 100, false));
  EXPECT_TRUE(log.Has({"Add LRP", "new admin status down, filp"}));
  EXPECT_EQ(rig.module.ArpCount(), 0u);
  rig.feed->Put(Port(11, 1, 100, true));
  EXPECT_TRUE(log.Has({"Add LRP", "new admin status up, filp"}));
  EXPECT_EQ(rig.module.ArpCount(), 2u);
  // A changed MAC is one add: the delete of the old entry would remove the new one.
  rig.TakeTlvs();
  rig.feed->Put(ArpTable(31, 11, {{V4(10, 11, 0, 5), 0x0050560000ccull}, {V4(10, 11, 0, 6), 0x0050560000bbull}}));
  auto arp = OfType(rig.TakeTlvs(), 8);
  ASSERT_EQ(arp.size(), 1u);
  EXPECT_EQ(Be16(arp[0].bytes, 72), 1);
  EXPECT_EQ(Be16(arp[0].bytes, 74), 0);
  EXPECT_NE(rig.module.Tables().find("10.11.0.5 00:50:56:00:00:cc"), std::string::npos);
}

// The kernel keys ARP entries by LIF and address: a table leaving a LIF, or dropping an address, must not take away
// the entry another table on the same LIF still gives for that address.
TEST(L3AppTest, AnArpEntryAnotherTableOfTheLifStillGivesStays) {
  L3Rig rig;
  Basic(rig);
  rig.feed->Put(Port(12, 1, 100));
  rig.feed->Put(ArpTable(31, 11, {{V4(10, 11, 0, 5), 0x0050560000aaull}, {V4(10, 11, 0, 6), 0x0050560000bbull}}));
  rig.feed->Put(ArpTable(32, 11, {{V4(10, 11, 0, 6), 0x0050560000ccull}}));
  // Table 31 moves to the other port: 10.11.0.6 stays on port 11, as table 32 gives it.
  rig.feed->Put(ArpTable(31, 12, {{V4(10, 11, 0, 5), 0x0050560000aaull}, {V4(10, 11, 0, 6), 0x0050560000bbull}}));
  const std::string port11 = "arp 7 " + IdText(11) + " ";
  EXPECT_NE(rig.module.Tables().find(port11 + "10.11.0.6 00:50:56:00:00:cc"), std::string::npos) << rig.module.Tables();
  EXPECT_EQ(rig.module.Tables().find(port11 + "10.11.0.5"), std::string::npos) << rig.module.Tables();
  // Table 31 comes back and drops the shared address, then is deleted: the same.
  rig.feed->Put(ArpTable(31, 11, {{V4(10, 11, 0, 5), 0x0050560000aaull}, {V4(10, 11, 0, 6), 0x0050560000bbull}}));
  rig.feed->Put(ArpTable(31, 11, {{V4(10, 11, 0, 5), 0x0050560000aaull}}));
  EXPECT_NE(rig.module.Tables().find(port11 + "10.11.0.6 00:50:56:00:00:cc"), std::string::npos) << rig.module.Tables();
  rig.feed->Put(ArpTable(31, 11, {{V4(10, 11, 0, 5), 0x0050560000aaull}, {V4(10, 11, 0, 6), 0x0050560000bbull}}));
  rig.feed->Delete(tv::ARP_TABLE_CONFIG, Id(31));
  EXPECT_NE(rig.module.Tables().find(port11 + "10.11.0.6 00:50:56:00:00:cc"), std::string::npos) << rig.module.Tables();
  // And the result is what a fresh full sync gives.
  L3Rig fresh;
  fresh.feed->SetObjects(rig.feed->Objects());
  fresh.feed->FullSync();
  EXPECT_EQ(rig.module.Tables(), fresh.module.Tables());
}

TEST(L3AppTest, PrefixListsAreCountedByTheirPortsAndLaidOutWithMappedAddresses) {
  L3Rig rig;
  Basic(rig);
  tv::PrefixListMsg list;
  *list.mutable_id() = Uuid(50);
  list.set_name("pl-50");
  list.set_index(3);
  auto* entry = list.add_entries();
  *entry->mutable_prefix() = Prefix(V4(10, 0, 0, 0), 8);
  entry->set_le(24);
  entry->set_action(2);
  auto* bad = list.add_entries();
  *bad->mutable_prefix() = Prefix(V4(10, 1, 0, 0), 16);
  bad->set_action(7);
  qor::test::LogCapture log;
  rig.TakeTlvs();
  rig.feed->Put(list);
  EXPECT_TRUE(log.Has({"VDRGetPrefixAction: Unexpected type 7", "LCP00905"}));
  // Without the entry it cannot read the list would be another policy: nothing goes out until it is mended.
  EXPECT_TRUE(OfType(rig.TakeTlvs(), 30).empty());
  list.mutable_entries()->RemoveLast();
  rig.feed->Put(list);
  auto lists = OfType(rig.TakeTlvs(), 30);
  ASSERT_EQ(lists.size(), 1u);
  const auto& b = lists[0].bytes;
  ASSERT_EQ(b.size(), 74u + 19u);
  EXPECT_EQ(NameAt(b, 4), "pl-50");
  EXPECT_EQ(Be32(b, 68), 3u);
  EXPECT_EQ(Be16(b, 72), 1);
  EXPECT_EQ(b[74 + 10], 0xff);
  EXPECT_EQ(b[74 + 11], 0xff);
  EXPECT_EQ(b[74 + 12], 10);
  EXPECT_EQ(b[74 + 16], 8);
  EXPECT_EQ(Be16(b, 74 + 17), 0x8000 | 24);  // deny, ge 0, le 24

  auto port = Port(11, 1, 100);
  *port.add_prefix_list_ids() = Uuid(50);
  rig.feed->Put(port);
  EXPECT_EQ(rig.app->PrefixListReferences(Id(50)), 1u);
  auto other = Port(12, 1, 100);
  *other.add_prefix_list_ids() = Uuid(50);
  rig.feed->Put(other);
  EXPECT_EQ(rig.app->PrefixListReferences(Id(50)), 2u);
  rig.feed->Delete(tv::LOG_ROUTER_PORT_CONFIG, Id(12));
  EXPECT_EQ(rig.app->PrefixListReferences(Id(50)), 1u);
}

// A port holds a list while both are installed, whichever came first; a refused or deleted list is held by none,
// and is held again when it comes back: the counts are those a fresh application's full sync gives.
TEST(L3AppTest, PrefixListReferencesDoNotDependOnTheOrderOfChanges) {
  L3Rig rig;
  Basic(rig);
  auto port = Port(11, 1, 100);
  *port.add_prefix_list_ids() = Uuid(50);
  rig.feed->Put(port);  // names a list not yet there
  tv::PrefixListMsg list;
  *list.mutable_id() = Uuid(50);
  list.set_name("pl-50");
  list.set_index(3);
  auto* entry = list.add_entries();
  *entry->mutable_prefix() = Prefix(V4(10, 0, 0, 0), 8);
  entry->set_action(1);
  auto references = [&](uint32_t expected, const char* step) {
    EXPECT_EQ(rig.app->PrefixListReferences(Id(50)), expected) << step;
    L3Rig fresh;
    fresh.feed->SetObjects(rig.feed->Objects());
    fresh.feed->FullSync();
    EXPECT_EQ(fresh.app->PrefixListReferences(Id(50)), expected) << step << ", fresh";
  };
  rig.feed->Put(list);
  references(1, "list after its port");
  entry->set_action(9);
  rig.feed->Put(list);
  references(0, "refused");
  entry->set_action(2);
  rig.feed->Put(list);
  references(1, "valid again");
  rig.feed->Delete(tv::PREFIX_LIST, Id(50));
  references(0, "deleted");
  rig.feed->Put(list);
  references(1, "back");
  rig.feed->Put(Port(11, 1, 100));
  references(0, "no longer named");
}

TEST(L3AppTest, MalformedMessagesChangeNothingInTheModule) {
  qor::dpsim::RouterModule module;
  std::vector<uint8_t> instance(4 + 82, 0);
  instance[1] = 4;
  instance[3] = static_cast<uint8_t>(instance.size());
  instance[5] = 1;
  instance[7] = 82;
  instance[11] = 9;  // VDR 9
  instance[12] = 1;  // add
  std::vector<uint8_t> bad = instance;
  bad.insert(bad.end(), {0, 5, 0, 4});  // a route TLV too short to hold anything
  bad[3] = static_cast<uint8_t>(bad.size());
  EXPECT_FALSE(module.Receive(bad));
  EXPECT_EQ(module.InstanceCount(), 0u);
  EXPECT_EQ(module.Malformed(), 1u);
  EXPECT_TRUE(module.Receive(instance));
  EXPECT_EQ(module.InstanceCount(), 1u);
}

}  // namespace
}  // namespace VevUroro::test

namespace VevUroro::test {
namespace {

TEST(L3AppTest, TheRecorderSeesEachArpEntryAndLifOnItsOwn) {
  L3Rig rig;
  Basic(rig);
  rig.feed->Put(ArpTable(31, 11, {{V4(10, 11, 0, 5), 0x0050560000aaull}, {V4(10, 11, 0, 6), 0x0050560000bbull}}));
  std::vector<std::vector<uint8_t>> none;
  ASSERT_TRUE(rig.module.Command({"disruption-start", L3Rig::kChannel}, none)->first);
  rig.feed->Put(ArpTable(31, 11, {{V4(10, 11, 0, 6), 0x0050560000bbull}}));
  const std::string report = rig.module.Command({"disruption-report", L3Rig::kChannel}, none)->second;
  EXPECT_NE(report.find("intervals 1\n"), std::string::npos) << report;
  EXPECT_NE(report.find("arp 7 " + IdText(11) + " 10.11.0.5 0 absent"), std::string::npos) << report;
}

}  // namespace
}  // namespace VevUroro::test

namespace VevUroro::test {
namespace {

TEST(L3AppTest, MulticastSettingsAndRoutesFollowTheirRouter) {
  qor::test::LogCapture log;
  L3Rig rig;
  Basic(rig);
  tv::MulticastConfigMsg config;
  *config.mutable_id() = Uuid(60);
  config.set_enabled(true);
  *config.add_group_ranges() = Prefix(V4(239, 1, 0, 0), 16);
  config.set_replication_multicast_range(24);
  rig.feed->Put(config);
  auto router = Router(1, 7);
  *router.mutable_multicast_config_id() = Uuid(60);
  rig.TakeTlvs();
  rig.feed->Put(router);
  auto updates = OfType(rig.TakeTlvs(), 29);
  ASSERT_EQ(updates.size(), 1u);
  const auto& b = updates[0].bytes;
  ASSERT_EQ(b.size(), 47u);
  EXPECT_EQ(Be32(b, 4), 7u);
  EXPECT_EQ(b[8], 1);  // enabled
  EXPECT_EQ(b[9], 4);  // IPv4 group start
  EXPECT_EQ(b[10], 239);
  EXPECT_EQ(b[26], 16);  // its prefix length
  EXPECT_EQ(Be32(b, 27), 24u);

  tv::MulticastStaticRouteMsg route;
  *route.mutable_id() = Uuid(61);
  *route.mutable_router_id() = Uuid(1);
  *route.mutable_group() = Prefix(V4(239, 1, 1, 1), 32);
  *route.add_router_port_ids() = Uuid(11);
  rig.feed->Put(route);
  auto routes = OfType(rig.TakeTlvs(), 16);
  ASSERT_EQ(routes.size(), 1u);
  ASSERT_EQ(routes[0].bytes.size(), 29u + 64u);
  EXPECT_EQ(routes[0].bytes[4], 1);  // add
  EXPECT_EQ(Be32(routes[0].bytes, 5), 7u);
  EXPECT_EQ(routes[0].bytes[26], 32);
  EXPECT_EQ(NameAt(routes[0].bytes, 29), IdText(11));
  const std::string tables = rig.module.Tables();
  EXPECT_NE(tables.find("multicast=enabled group=239.1.0.0/16 range=24"), std::string::npos) << tables;
  EXPECT_NE(tables.find("multicast-route 7 239.1.1.1/32 lifs=" + IdText(11)), std::string::npos) << tables;

  // A configuration without a replication range (or, always, IGMP settings) is logged, marked "(GC)" in a full sync.
  config.clear_group_ranges();
  rig.feed->Put(config);
  EXPECT_TRUE(log.Has({"multicast config update " + IdText(1) + " without replication range"}));
  EXPECT_TRUE(log.Has({"multicast config update " + IdText(1) + " without igmp config"}));
  EXPECT_FALSE(log.Has({"(GC)"}));
  rig.Deliver(qor::dpsim::RouterModule::FullSyncRequest(0xFFFFFFFF));
  EXPECT_TRUE(log.Has({"multicast config update (GC) " + IdText(1) + " without replication range"}));
  EXPECT_TRUE(log.Has({"multicast config update (GC) " + IdText(1) + " without igmp config"}));

  rig.feed->Delete(tv::MULTICAST_STATIC_ROUTE, Id(61));
  EXPECT_EQ(rig.module.Tables().find("multicast-route"), std::string::npos);
  // A configuration that goes away leaves the router with the multicast settings cleared.
  rig.feed->Delete(tv::MULTICAST_CONFIG, Id(60));
  EXPECT_TRUE(log.Has({"has multicast config without multicast status", "LCP00920"}));
  EXPECT_EQ(rig.module.Tables().find("multicast="), std::string::npos) << rig.module.Tables();
}

}  // namespace
}  // namespace VevUroro::test

namespace VevUroro::test {
namespace {

TEST(L3AppTest, AnArpTableLargerThanOneMessageIsSplitAndArrivesWhole) {
  L3Rig rig;
  Basic(rig);
  std::vector<std::pair<tv::IpAddressMsg, uint64_t>> entries;
  for (uint32_t i = 0; i < 6000; ++i) {
    entries.emplace_back(V4(10, 11, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)), 0x005056000000ull + i);
  }
  rig.TakeTlvs();
  rig.feed->Put(ArpTable(31, 11, entries));
  for (const auto& message : rig.sent) EXPECT_LE(message.size(), 65535u);
  auto arp = OfType(rig.TakeTlvs(), 8);
  EXPECT_GE(arp.size(), 3u);
  size_t adds = 0;
  for (const Tlv& tlv : arp) adds += Be16(tlv.bytes, 72);
  EXPECT_EQ(adds, 6000u);
  EXPECT_EQ(rig.module.ArpCount(), 6000u);
  EXPECT_EQ(rig.module.Malformed(), 0u);
}

}  // namespace
}  // namespace VevUroro::test

namespace VevUroro::test {
namespace {

// A router port behind a switch port: the switch port's admin status forces the LIF down, and attachment changes
// are checked against the router ports the application holds.
TEST(L3AppTest, ASwitchPortDownForcesItsRouterPortDownAndAttachChangesAreChecked) {
  qor::test::LogCapture log{LOG_LEVEL_INFO};
  L3Rig rig;
  rig.feed->Put(Switch(100, 5001));
  rig.feed->Put(Router(1, 7));
  auto lsp = [](uint64_t n, bool up) {
    tv::LogSwitchPortConfigMsg port;
    *port.mutable_id() = Uuid(n);
    *port.mutable_switch_id() = Uuid(100);
    port.set_admin_state_up(up);
    return port;
  };
  auto behind = [](uint64_t n, uint64_t router, uint64_t switchPort) {
    tv::LogRouterPortConfigMsg port = Port(n, router, 100);
    port.clear_logical_switch_id();
    *port.mutable_logical_switch_port_id() = Uuid(switchPort);
    return port;
  };
  rig.feed->Put(lsp(200, true));
  rig.feed->Put(behind(11, 1, 200));
  rig.feed->Put(ArpTable(31, 11, {{V4(10, 11, 0, 5), 0x0050560000aaull}}));
  ASSERT_EQ(rig.module.LifCount(), 1u);
  ASSERT_EQ(rig.module.ArpCount(), 1u);

  // Of the switch ports, only those a router port is attached to are read (the others are not copied for us).
  auto portChange = [](uint64_t n) {
    StateCacheChange change;
    change.entry.objectType = tv::LOG_SWITCH_PORT_CONFIG;
    change.entry.objectId = Uuid(n).SerializeAsString();
    return change;
  };
  EXPECT_TRUE(rig.app->ReadsDesiredChange(portChange(200)));
  EXPECT_FALSE(rig.app->ReadsDesiredChange(portChange(202)));
  rig.feed->Put(lsp(202, false));
  EXPECT_FALSE(log.Has({"attach change"}));

  rig.feed->Put(lsp(200, false));
  EXPECT_TRUE(log.Has({"attach change, op update"}));
  EXPECT_TRUE(log.Has({"LRP", "Forcing admin status down"}));
  EXPECT_TRUE(log.Has({"Add LRP", "new admin status down, filp"}));
  EXPECT_EQ(rig.module.ArpCount(), 0u);  // an admin-down LIF holds no ARP entries
  rig.feed->Put(lsp(200, true));
  EXPECT_EQ(rig.module.ArpCount(), 1u);

  // A second router port naming the same switch port takes the attachment over.
  rig.feed->Put(behind(12, 1, 200));
  EXPECT_TRUE(log.Has({"LSP attach, LRP changed, LSP", "old LRP", "new LRP"}));

  // A router port the kernel does not hold (its router is unknown) is named when its switch port changes.
  rig.feed->Put(lsp(201, true));
  rig.feed->Put(behind(13, 3, 201));
  rig.feed->Put(lsp(201, false));
  EXPECT_TRUE(log.Has({"LSP attach, LRP", "not found"}));
  rig.feed->Delete(tv::LOG_SWITCH_PORT_CONFIG, Uuid(201).SerializeAsString());
  EXPECT_TRUE(log.Has({"LSP attach, delete LRP not found, LSP"}));

  // A switch port's changes are read until the last router port naming it goes, and the switch's until the last
  // router port behind it goes.
  StateCacheChange switchChange;
  switchChange.entry.objectType = tv::LOG_SWITCH_CONFIG;
  switchChange.entry.objectId = Uuid(100).SerializeAsString();
  EXPECT_TRUE(rig.app->ReadsDesiredChange(switchChange));
  rig.feed->Delete(tv::LOG_ROUTER_PORT_CONFIG, Uuid(11).SerializeAsString());
  EXPECT_TRUE(rig.app->ReadsDesiredChange(portChange(200)));
  rig.feed->Delete(tv::LOG_ROUTER_PORT_CONFIG, Uuid(12).SerializeAsString());
  EXPECT_FALSE(rig.app->ReadsDesiredChange(portChange(200)));
  EXPECT_FALSE(rig.app->ReadsDesiredChange(switchChange));
}

}  // namespace
}  // namespace VevUroro::test

namespace VevUroro::test {
namespace {

// A router port that names only its switch port takes its switch from the switch port: a change of that switch (its
// VNI, replication mode) reaches the LIF as it would through a full sync, in either order of their arrival.
TEST(L3AppTest, ASwitchReachedThroughItsSwitchPortIsFollowed) {
  auto lsp = [](uint64_t n, uint64_t ls) {
    tv::LogSwitchPortConfigMsg port;
    *port.mutable_id() = Uuid(n);
    *port.mutable_switch_id() = Uuid(ls);
    port.set_admin_state_up(true);
    return port;
  };
  auto behind = [](uint64_t n, uint64_t switchPort) {
    tv::LogRouterPortConfigMsg port = Port(n, 1, 100);
    port.clear_logical_switch_id();
    *port.mutable_logical_switch_port_id() = Uuid(switchPort);
    return port;
  };
  L3Rig rig;
  rig.feed->FullSync();
  rig.feed->Put(Router(1, 7));
  rig.feed->Put(Switch(100, 5001));
  rig.feed->Put(Switch(101, 6001));
  rig.feed->Put(lsp(200, 100));
  rig.feed->Put(behind(11, 200));
  rig.feed->Put(behind(12, 201));  // its switch port comes later
  rig.feed->Put(lsp(201, 101));
  ASSERT_EQ(rig.module.LifCount(), 2u);
  const auto expectFullSyncState = [&rig](const char* step) {
    L3Rig fresh;
    fresh.feed->SetObjects(rig.feed->Objects());
    fresh.feed->FullSync();
    EXPECT_EQ(rig.module.Tables(), fresh.module.Tables()) << step;
  };
  expectFullSyncState("attached");
  rig.feed->Put(Switch(100, 5002));
  expectFullSyncState("VNI of the first switch");
  auto mode = Switch(101, 6001);
  mode.set_replication_mode(2);
  rig.feed->Put(mode);
  expectFullSyncState("replication mode of the second switch");
  // The switch port moves to the other switch, whose later change is followed; the old one's is not needed.
  rig.feed->Put(lsp(200, 101));
  rig.feed->Put(Switch(101, 6003));
  expectFullSyncState("switch port moved");
  rig.feed->Put(Switch(100, 5009));
  expectFullSyncState("old switch changed");
}

}  // namespace
}  // namespace VevUroro::test
