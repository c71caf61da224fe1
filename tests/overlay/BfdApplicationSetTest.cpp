// The "bfd" entry of the application list: the BFD table starts only on an L2 application that carries its records.
#include <gtest/gtest.h>

#include <boost/property_tree/xml_parser.hpp>
#include <sstream>

#include "cache/StateCache.h"
#include "core/startup/ApplicationSet.h"
#include "overlay/CapturingBfdDataplane.h"
#include "support/LogCapture.h"

namespace VevUroro {
namespace {

// An L2 application stand-in that carries BFD records.
class BfdCarrier : public qor::RefCounted<BfdCarrier, Component>, public test::CapturingBfdDataplane {};

ConfigTree BfdEntry() {
  std::istringstream in("<apps><app><name>bfd</name><enabled>true</enabled><config/></app></apps>");
  ConfigTree tree;
  boost::property_tree::read_xml(in, tree, boost::property_tree::xml_parser::trim_whitespace);
  return tree.get_child("apps");
}

class BfdApplicationSetTest : public ::testing::Test {
 protected:
  ApplicationDeps Deps() {
    ApplicationDeps deps;
    deps.configTable = _cache.ConfigTable();
    deps.l2Table = _cache.L2Table();
    return deps;
  }

  qor::test::LogCapture _log{LOG_LEVEL_INFO};
  StateCache _cache;
};

TEST_F(BfdApplicationSetTest, WithoutAnL2ApplicationTheEntryIsSkippedWithAnError) {
  ApplicationSet apps(Deps());
  apps.StartFromList(BfdEntry());
  EXPECT_FALSE(apps.bfdApp);
  EXPECT_TRUE(_log.Has({R"(level="error")", "Cannot start the BFD application: no L2 application"}));
}

// The list is walked in file order: a "bfd" entry ahead of "vxlan" is skipped, and the operator is told why.
TEST_F(BfdApplicationSetTest, AnEntryAheadOfTheL2ApplicationIsSkippedWithAnError) {
  std::istringstream in(
      "<apps><app><name>bfd</name><enabled>true</enabled><config/></app>"
      "<app><name>vxlan</name><enabled>true</enabled><config/></app></apps>");
  ConfigTree tree;
  boost::property_tree::read_xml(in, tree, boost::property_tree::xml_parser::trim_whitespace);
  ApplicationSet apps(Deps());
  apps.StartFromList(tree.get_child("apps"));
  EXPECT_TRUE(apps.l2App);
  EXPECT_FALSE(apps.bfdApp);
  EXPECT_TRUE(_log.Has({R"(level="error")", "Cannot start the BFD application: no L2 application"}));
  apps.StopAll();
}

TEST_F(BfdApplicationSetTest, AnL2ApplicationThatDoesNotCarryBfdRecordsIsRefused) {
  ApplicationSet apps(Deps());
  apps.l2App = new Component();
  apps.StartFromList(BfdEntry());
  EXPECT_FALSE(apps.bfdApp);
  EXPECT_TRUE(_log.Has({R"(level="error")", "Cannot start the BFD application"}));
}

TEST_F(BfdApplicationSetTest, StartsOnTheL2ApplicationAndStopsWithTheOthers) {
  ApplicationSet apps(Deps());
  qor::RefPtr<BfdCarrier> l2(new BfdCarrier());
  apps.l2App = l2;
  apps.StartFromList(BfdEntry());
  auto* bfd = dynamic_cast<BFDTableApp*>(apps.bfdApp.get());
  ASSERT_NE(bfd, nullptr);
  EXPECT_TRUE(_log.Has({"BFD application starts"}));
  // Registered with the tables: a second registration of the same observer is refused.
  EXPECT_FALSE(_cache.L2Table()->RegisterRuntimeStateObserver(25, bfd));
  apps.StopAll();
  EXPECT_TRUE(_log.Has({"BFDTableApp: stopped"}));
  EXPECT_TRUE(_cache.L2Table()->RegisterRuntimeStateObserver(25, bfd));
  EXPECT_TRUE(_cache.L2Table()->UnregisterRuntimeStateObserver(25, bfd));
}

// The L2 application reads its channel from its "l2" subtree, and from the older top-level key when that is absent.
TEST_F(BfdApplicationSetTest, TheL2ChannelKeyUsedIsLogged) {
  std::istringstream in(
      "<apps><app><name>vxlan</name><enabled>true</enabled><config><l2><tkmlink><path>chan_new</path></tkmlink></l2>"
      "<tkmlink><path>chan_old</path></tkmlink></config></app></apps>");
  ConfigTree tree;
  boost::property_tree::read_xml(in, tree, boost::property_tree::xml_parser::trim_whitespace);
  ApplicationSet apps(Deps());
  apps.StartFromList(tree.get_child("apps"));
  EXPECT_TRUE(apps.l2App);
  EXPECT_TRUE(_log.Has({"L2App: kernel channel chan_new (l2.tkmlink.path)"}));
  apps.StopAll();

  std::istringstream older(
      "<apps><app><name>vxlan</name><enabled>true</enabled><config><tkmlink><path>chan_old</path></tkmlink>"
      "</config></app></apps>");
  ConfigTree oldTree;
  boost::property_tree::read_xml(older, oldTree, boost::property_tree::xml_parser::trim_whitespace);
  ApplicationSet oldApps(Deps());
  oldApps.StartFromList(oldTree.get_child("apps"));
  EXPECT_TRUE(_log.Has({"L2App: kernel channel chan_old (tkmlink.path)"}));
  oldApps.StopAll();
}

}  // namespace
}  // namespace VevUroro
