// Routes and prefix lists larger than one distributed-router TLV: a wide route reaches the module whole on every
// path that sends it, and a prefix list is installed whole or not at all.
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
// stays until a valid one comes.
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

  rig.feed->Put(List(3500));
  EXPECT_EQ(ListEntries(rig, 3), 10u);

  tv::PrefixListMsg unknownAction = List(12);
  unknownAction.mutable_entries(11)->set_action(9);
  rig.feed->Put(unknownAction);
  EXPECT_TRUE(Said(log, "VDRGetPrefixAction: Unexpected type 9"));
  EXPECT_EQ(ListEntries(rig, 3), 10u);

  tv::PrefixListMsg longPrefix = List(12);
  longPrefix.mutable_entries(5)->mutable_prefix()->set_prefix_length(33);
  rig.feed->Put(longPrefix);
  EXPECT_EQ(ListEntries(rig, 3), 10u);

  rig.feed->Put(List(12));
  EXPECT_EQ(ListEntries(rig, 3), 12u);
  EXPECT_EQ(rig.module.Malformed(), 0u);
}

}  // namespace
}  // namespace VevUroro::test
