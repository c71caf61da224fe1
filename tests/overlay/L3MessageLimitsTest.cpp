// Routes and lists larger than one distributed-router TLV: a wide route reaches the module whole on every path that
// sends it; a list the module replaces whole with each TLV (prefix-list entries, LIF addresses, multicast-route
// LIFs, DAD status) is installed whole or not at all, and so is one with a prefix length its family does not allow.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <sstream>

#include "support/LogCapture.h"
#include "tests/overlay/L3Harness.h"
#include "zantix/qor/tolvar/services.pb.h"

namespace VevUroro::test {
namespace {

bool Said(const qor::test::LogCapture& log, const std::string& text) {
  for (const std::string& line : log.Lines()) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

void Basic(L3Rig& rig) {
  rig.feed->Put(Switch(100, 5001));
  rig.feed->Put(Router(1, 7));
  rig.feed->Put(Port(11, 1, 100));
}

// One IPv4 route of `hops` next hops; one ROUTE UPDATE holds 935 of them.
tv::FibMsg WideFib(size_t hops) {
  std::vector<tv::FibNextHopMsg> list;
  for (size_t i = 0; i < hops; ++i) {
    list.push_back(Hop(V4(10, 11, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)), 11));
  }
  return Fib(21, 1, Prefix(V4(192, 168, 1, 0), 24), list);
}

// The next hops of each route the module holds, from its table dump.
std::vector<size_t> RouteWidths(const L3Rig& rig) {
  std::vector<size_t> widths;
  std::istringstream tables(rig.module.Tables());
  for (std::string line; std::getline(tables, line);) {
    if (line.rfind("route ", 0) == 0) widths.push_back(std::count(line.begin(), line.end(), '['));
  }
  return widths;
}

// Prefix-list entries the module holds for `index`; nullopt when it holds no such list.
std::optional<size_t> ListEntries(const L3Rig& rig, uint32_t index) {
  std::istringstream tables(rig.module.Tables());
  const std::string head = "prefix-list " + std::to_string(index) + " ";
  for (std::string line; std::getline(tables, line);) {
    if (line.rfind(head, 0) == 0) return std::count(line.begin(), line.end(), ',') + 1;
  }
  return std::nullopt;
}

TEST(L3MessageLimits, WideRouteReachesTheModuleWholeOnEveryPath) {
  qor::test::LogCapture log{LOG_LEVEL_INFO};
  L3Rig rig;
  Basic(rig);
  rig.feed->Put(WideFib(900));
  ASSERT_EQ(RouteWidths(rig), std::vector<size_t>{900});
  rig.feed->Put(WideFib(1000));  // grown by a next-hop update
  ASSERT_EQ(RouteWidths(rig), std::vector<size_t>{1000});
  // The kernel asks for the router again: its sweep at the end must find the route.
  rig.Deliver(qor::dpsim::RouterModule::FullSyncRequest(7));
  EXPECT_EQ(RouteWidths(rig), std::vector<size_t>{1000});
  rig.Deliver(qor::dpsim::RouterModule::FullSyncRequest(0xFFFFFFFF));
  EXPECT_EQ(RouteWidths(rig), std::vector<size_t>{1000});
  EXPECT_EQ(rig.module.Malformed(), 0u);
  EXPECT_EQ(rig.module.Refused(), 0u);
  EXPECT_FALSE(Said(log, "LCP00920"));

  // Installed in one go, too.
  L3Rig fresh;
  Basic(fresh);
  fresh.feed->Put(WideFib(2000));
  EXPECT_EQ(RouteWidths(fresh), std::vector<size_t>{2000});
}

tv::PrefixListMsg List(size_t entries, uint32_t action = 1) {
  tv::PrefixListMsg list;
  *list.mutable_id() = Uuid(50);
  list.set_name("pl-50");
  list.set_index(3);
  for (size_t i = 0; i < entries; ++i) {
    auto* entry = list.add_entries();
    *entry->mutable_prefix() = Prefix(V4(10, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i), 0), 24);
    entry->set_action(action);
  }
  return list;
}

// A list cut short or missing an entry is another policy: it is refused whole, and the version the module holds
// is withdrawn with it.
TEST(L3MessageLimits, PrefixListIsInstalledWholeOrNotAtAll) {
  qor::test::LogCapture log{LOG_LEVEL_INFO};
  L3Rig rig;
  Basic(rig);
  rig.feed->Put(List(3500));
  EXPECT_EQ(ListEntries(rig, 3), std::nullopt);
  EXPECT_TRUE(Said(log, "3500 entries do not fit in one PrefixList UPDATE"));
  EXPECT_TRUE(Said(log, "prefix list pl-50 (index 3) not installed, 3500 entries"));

  rig.feed->Put(List(3445));  // the most one TLV holds
  EXPECT_EQ(ListEntries(rig, 3), 3445u);
  rig.feed->Put(List(10));
  EXPECT_EQ(ListEntries(rig, 3), 10u);

  // A refused version withdraws the previous one: the module ends as a full sync of the same state leaves it.
  auto refused = [&](const tv::PrefixListMsg& list) {
    rig.feed->Put(List(10));
    ASSERT_EQ(ListEntries(rig, 3), 10u);
    rig.feed->Put(list);
    EXPECT_EQ(ListEntries(rig, 3), std::nullopt) << list.entries_size() << " entries";
    const std::string incremental = rig.module.Tables();
    rig.Deliver(qor::dpsim::RouterModule::FullSyncRequest(0xFFFFFFFF));
    EXPECT_EQ(rig.module.Tables(), incremental);
  };
  refused(List(3500));
  EXPECT_TRUE(Said(log, "prefix list pl-50 (index 3) previous version withdrawn"));

  tv::PrefixListMsg unknownAction = List(12);
  unknownAction.mutable_entries(11)->set_action(9);
  refused(unknownAction);
  EXPECT_TRUE(Said(log, "VDRGetPrefixAction: Unexpected type 9"));

  tv::PrefixListMsg longPrefix = List(12);
  longPrefix.mutable_entries(5)->mutable_prefix()->set_prefix_length(33);
  refused(longPrefix);

  rig.feed->Put(List(12));
  EXPECT_EQ(ListEntries(rig, 3), 12u);
  EXPECT_EQ(rig.module.Malformed(), 0u);
}

// The module's line for a kind and key, or "" when it holds none.
std::string LineOf(const L3Rig& rig, const std::string& head) {
  std::istringstream tables(rig.module.Tables());
  for (std::string line; std::getline(tables, line);) {
    if (line.rfind(head, 0) == 0) return line;
  }
  return "";
}

tv::LogRouterPortConfigMsg PortWithAddresses(size_t count) {
  tv::LogRouterPortConfigMsg port = Port(11, 1, 100);
  port.clear_addresses();
  for (size_t i = 0; i < count; ++i) {
    *port.add_addresses() = Prefix(V4(10, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i), 1), 24);
  }
  return port;
}

TEST(L3MessageLimits, LifAddressesAreInstalledWholeOrTheLifIsRefused) {
  qor::test::LogCapture log{LOG_LEVEL_INFO};
  L3Rig rig;
  rig.feed->Put(Switch(100, 5001));
  rig.feed->Put(Router(1, 7));
  rig.feed->Put(PortWithAddresses(256));  // the record's count is one byte
  EXPECT_TRUE(Said(log, "has 256 addresses, a LIF holds at most 255"));
  EXPECT_EQ(rig.module.LifCount(), 0u);
  rig.feed->Put(PortWithAddresses(255));
  ASSERT_EQ(rig.module.LifCount(), 1u);
  const std::string lif = LineOf(rig, "lif 7 ");
  EXPECT_NE(lif.find("10.0.254.1/24"), std::string::npos) << lif;

  tv::LogRouterPortConfigMsg longPrefix = PortWithAddresses(2);
  longPrefix.mutable_addresses(1)->set_prefix_length(33);
  rig.feed->Put(longPrefix);
  EXPECT_TRUE(Said(log, "VDRPortAddPB2TLV, invalid address"));
  EXPECT_EQ(rig.module.LifCount(), 0u);
  EXPECT_EQ(rig.module.Malformed(), 0u);
}

TEST(L3MessageLimits, MulticastRouteLifsAreInstalledWholeOrNotAtAll) {
  qor::test::LogCapture log{LOG_LEVEL_INFO};
  L3Rig rig;
  Basic(rig);
  auto route = [](size_t lifs, uint32_t length) {
    tv::MulticastStaticRouteMsg r;
    *r.mutable_id() = Uuid(61);
    *r.mutable_router_id() = Uuid(1);
    *r.mutable_group() = Prefix(V4(239, 1, 1, 1), length);
    for (size_t i = 0; i < lifs; ++i) *r.add_router_port_ids() = Uuid(11);
    return r;
  };
  rig.feed->Put(route(2, 32));
  const std::string installed = LineOf(rig, "multicast-route 7 ");
  ASSERT_FALSE(installed.empty());
  rig.feed->Put(route(1024, 32));  // one TLV holds 1,023 LIF names
  EXPECT_TRUE(Said(log, "1024 entries do not fit in one MULTICAST ROUTE (at most 1023)"));
  // The route installed before is withdrawn, as a full sync of the same state installs none.
  EXPECT_EQ(LineOf(rig, "multicast-route 7 "), "");
  const std::string incremental = rig.module.Tables();
  rig.Deliver(qor::dpsim::RouterModule::FullSyncRequest(0xFFFFFFFF));
  EXPECT_EQ(rig.module.Tables(), incremental);
  rig.Deliver(qor::dpsim::RouterModule::FullSyncRequest(7));
  EXPECT_EQ(rig.module.Tables(), incremental);
  rig.feed->Put(route(1023, 32));
  const std::string whole = LineOf(rig, "multicast-route 7 ");
  EXPECT_EQ(std::count(whole.begin(), whole.end(), ','), 1022);
  rig.feed->Put(route(1, 33));
  EXPECT_TRUE(Said(log, "invalid prefix length 33 of multicast fib"));
  EXPECT_EQ(LineOf(rig, "multicast-route 7 "), "");
  EXPECT_EQ(rig.module.Malformed(), 0u);
}

TEST(L3MessageLimits, DadStatusIsSentWholeOrNotAtAll) {
  qor::test::LogCapture log{LOG_LEVEL_INFO};
  L3Rig rig;
  Basic(rig);
  auto status = [](size_t entries) {
    tv::LogRouterPortFibDadStateMsg state;
    *state.mutable_id() = Uuid(11);
    for (size_t i = 0; i < entries; ++i) {
      auto* dad = state.add_dad_states();
      *dad->mutable_ip() = V4(10, 11, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i));
      dad->set_state(1);
    }
    return state;
  };
  rig.feed->Put(status(3));
  const std::string sent = LineOf(rig, "dad 7 ");
  ASSERT_FALSE(sent.empty());
  rig.feed->Put(status(3700));  // one TLV holds 3,636 entries
  EXPECT_TRUE(Said(log, "3700 entries do not fit in one DAD STATUS (at most 3636)"));
  // The status sent before is withdrawn, as a full sync of the same state sends none.
  EXPECT_EQ(LineOf(rig, "dad 7 "), "");
  const std::string incremental = rig.module.Tables();
  rig.Deliver(qor::dpsim::RouterModule::FullSyncRequest(0xFFFFFFFF));
  EXPECT_EQ(rig.module.Tables(), incremental);
  rig.feed->Put(status(3636));
  const std::string whole = LineOf(rig, "dad 7 ");
  EXPECT_EQ(std::count(whole.begin(), whole.end(), ','), 3635);
}

TEST(L3MessageLimits, PrefixListBoundsBeyondTheFamilyAreRefused) {
  qor::test::LogCapture log{LOG_LEVEL_INFO};
  L3Rig rig;
  Basic(rig);
  rig.feed->Put(List(4));
  ASSERT_EQ(ListEntries(rig, 3), 4u);
  tv::PrefixListMsg wide = List(5);
  wide.mutable_entries(2)->set_le(40);
  rig.feed->Put(wide);
  EXPECT_TRUE(Said(log, "has an invalid prefix or bounds"));
  EXPECT_EQ(ListEntries(rig, 3), std::nullopt);  // the previous version is withdrawn with it
  wide.mutable_entries(2)->set_le(32);
  rig.feed->Put(wide);
  EXPECT_EQ(ListEntries(rig, 3), 5u);
}

}  // namespace
}  // namespace VevUroro::test
