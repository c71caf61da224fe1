#include <gtest/gtest.h>

#include <boost/property_tree/xml_parser.hpp>
#include <new>
#include <sstream>
#include <stdexcept>

#include "core/startup/ApplicationSet.h"
#include "core/startup/CommandLine.h"
#include "core/startup/FailurePolicy.h"
#include "support/LogCapture.h"
#include "support/TempRoot.h"

namespace VevUroro {
namespace {

std::optional<CommandLine> Parse(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return ParseCommandLine(static_cast<int>(args.size()), argv.data());
}

TEST(CommandLineTest, DefaultPathLastDashCWinsAndEverythingElseIsUsage) {
  qor::test::TempRoot root;
  auto defaults = Parse({"qor-vevuroro"});
  ASSERT_TRUE(defaults);
  EXPECT_EQ(defaults->configPath, root.Under("/etc/zantix/qor/qor-vevuroro.xml"));
  auto twice = Parse({"qor-vevuroro", "-c", "/a.xml", "-c", "/b.xml"});
  ASSERT_TRUE(twice);
  EXPECT_EQ(twice->configPath, "/b.xml");

  for (std::vector<std::string> bad :
       {std::vector<std::string>{"prog", "-s"}, {"prog", "-c", "/a.xml", "-x"}, {"prog", "-c"}, {"prog", "--helpme"}}) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(Parse(bad));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Usage: prog [-c configFile]\n");
  }
}

TEST(CommandLineTest, HelpAndVersionUnlessTheyAreTheConfigFile) {
  EXPECT_EQ(Parse({"prog", "--help"})->action, CommandLine::Action::kHelp);
  EXPECT_EQ(Parse({"prog", "-c", "/a.xml", "--version"})->action, CommandLine::Action::kVersion);
  auto named = Parse({"prog", "-c", "--help"});
  ASSERT_TRUE(named);
  EXPECT_EQ(named->action, CommandLine::Action::kRun);
  EXPECT_EQ(named->configPath, "--help");
  EXPECT_EQ(HelpText("prog").rfind("Usage: prog [-c configFile]\n", 0), 0u);
}

TEST(FailurePolicyTest, MemoryExhaustionEndsWithOneAndTheSystemLogText) {
  qor::test::LogCapture log;
  std::string systemLog;
  int status =
      RunWithFailurePolicy([]() -> int { throw std::bad_alloc(); }, [&](const char* text) { systemLog = text; });
  EXPECT_EQ(status, 1);
  EXPECT_EQ(systemLog, "VEVURORO_ALLOC_FAIL : VevUroro error: no memory!");
  EXPECT_TRUE(log.Has({R"(level="error")", "Failed to run qor-vevuroro"}));
}

TEST(FailurePolicyTest, AnyOtherExceptionEndsWithMinusOne) {
  qor::test::LogCapture log;
  bool systemLogged = false;
  EXPECT_EQ(
      RunWithFailurePolicy([]() -> int { throw std::runtime_error("x"); }, [&](const char*) { systemLogged = true; }),
      -1);
  EXPECT_EQ(RunWithFailurePolicy([]() -> int { throw 7; }, [&](const char*) { systemLogged = true; }), -1);
  EXPECT_FALSE(systemLogged);
  EXPECT_EQ(log.Count({"Failed to run qor-vevuroro"}), 2u);
  EXPECT_EQ(RunWithFailurePolicy([] { return 0; }), 0);
}

class ApplicationSetTest : public ::testing::Test {
 protected:
  ConfigTree List(const std::string& xml) {
    std::istringstream in("<apps>" + xml + "</apps>");
    ConfigTree tree;
    boost::property_tree::read_xml(in, tree, boost::property_tree::xml_parser::trim_whitespace);
    return tree.get_child("apps");
  }
  static std::string App(const std::string& name, const std::string& enabled = "true", bool withConfig = true) {
    std::string xml = "<app><name>" + name + "</name>";
    if (!enabled.empty()) xml += "<enabled>" + enabled + "</enabled>";
    if (withConfig) xml += "<config/>";
    return xml + "</app>";
  }

  qor::test::LogCapture log;
  ApplicationSet apps{ApplicationDeps{}};
};

TEST_F(ApplicationSetTest, DisabledOrUnnamedEntriesAreSkipped) {
  apps.StartFromList(List(App("dfw", "false") + App("dfw", "") + App("dfw", "no") + App("unknown-app")));
  EXPECT_FALSE(apps.lbApp);
  EXPECT_FALSE(log.Has({"LB application starts"}));
  EXPECT_FALSE(log.Has({"unknown-app"}));
}

TEST_F(ApplicationSetTest, FirewallBringsUpTheLoadBalancerAndADuplicateReplacesIt) {
  apps.StartFromList(List(App("dfw")));
  ASSERT_TRUE(apps.lbApp);
  auto first = apps.lbApp;
  EXPECT_TRUE(first->Started());
  apps.StartFromList(List(App("dfw")));
  EXPECT_NE(apps.lbApp, first);
  EXPECT_EQ(log.Count({R"(level="info")", "LB application starts"}), 2u);
}

TEST_F(ApplicationSetTest, DependentApplicationsNeedTheirPredecessor) {
  apps.StartFromList(List(App("pathprobe") + App("bfd") + App("sondara")));
  EXPECT_TRUE(log.Has({R"(level="error")", "Cannot start pathprobeApp as the configApp is NULL"}));
  EXPECT_TRUE(log.Has({R"(level="error")", "Cannot start the BFD application: no L2 application"}));
  EXPECT_TRUE(log.Has({R"(errorCode="LCP02104")", "pathprobeApp is not initialized"}));
  EXPECT_FALSE(apps.sondaraApp);
  // After the list the Sondara application is tried once more with an empty configuration.
  apps.StartSondaraFallback();
  EXPECT_EQ(log.Count({"pathprobeApp is not initialized"}), 2u);
}

TEST_F(ApplicationSetTest, AnEnabledEntryWithoutConfigAbortsTheWalk) {
  EXPECT_THROW(apps.StartFromList(List(App("dfw", "true", false))), boost::property_tree::ptree_bad_path);
  EXPECT_TRUE(log.Has({R"(level="error")", "Application dfw has no <config> element: start-up cannot go on"}));
  EXPECT_NO_THROW(apps.StartFromList(List(App("dfw", "false", false))));
}

}  // namespace
}  // namespace VevUroro
