// What an operator meets before the daemons run: --help and --version of every binary, and the systemd units
// (checked by systemd-analyze where it is installed).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "support/ChildProcess.h"
#include "support/TempRoot.h"

namespace {

using qor::test::ChildProcess;

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

class OperatorExperienceTest : public ::testing::Test {
 protected:
  Outcome Execute(std::vector<std::string> argv, const std::map<std::string, std::string>& env = {}) {
    ChildProcess process(argv, _root.Path() + "/run" + std::to_string(++_runs), env);
    Outcome run;
    run.status = process.Wait(std::chrono::seconds(30)).value_or(-1);
    run.out = process.Stdout();
    run.err = process.Stderr();
    return run;
  }
  static std::string Read(const std::string& path) { return ChildProcess::ReadFile(path); }

  qor::test::TempRoot _root;
  int _runs = 0;
};

struct Binary {
  const char* path;
  const char* name;
  std::vector<const char*> options;
};

TEST_F(OperatorExperienceTest, EveryBinaryAnswersHelpAndVersion) {
  const std::vector<Binary> binaries = {
      {QOR_AGENT_BINARY, "qor-vevuroro", {"-c configFile", "--help", "--version", "QOR_ROOT", "vevuroro-cli"}},
      {TOLVARD_PATH,
       "tolvard",
       {"--listen", "--db", "--port-file", "--max-frame", "--max-pending", "--verbose", "--help", "--version"}},
      {TOLVARCTL_PATH, "tolvarctl", {"--server", "--vdb", "--timeout", "--help", "--version", "put", "watch"}},
      {QOR_DPSIM_PATH,
       "qor-dpsim",
       {"--root", "--channel", "--no-default-channels", "--agent-link", "--config", "--capture", "--control", "--help",
        "--version"}},
  };
  for (const Binary& binary : binaries) {
    Outcome help = Execute({binary.path, "--help"});
    EXPECT_EQ(help.status, 0) << binary.name;
    EXPECT_EQ(help.out.rfind("Usage: ", 0), 0u) << binary.name << ": " << help.out;
    for (const char* option : binary.options) {
      EXPECT_NE(help.out.find(option), std::string::npos) << binary.name << " --help does not name " << option;
    }
    EXPECT_EQ(help.err, "") << binary.name;
    Outcome version = Execute({binary.path, "--version"});
    EXPECT_EQ(version.status, 0) << binary.name;
    EXPECT_EQ(version.out, std::string(binary.name) + " " + QOR_BUILD_NUMBER + "\n");
  }
}

TEST_F(OperatorExperienceTest, AgentCommandLineStaysMinusCConfigFileOtherwise) {
  // --help as the value of -c is a file name, not a request for help.
  Outcome named = Execute({QOR_AGENT_BINARY, "-c", "--help"}, {{"QOR_ROOT", _root.Path()}});
  EXPECT_EQ(named.status, 255);
  EXPECT_NE(named.out.find("Configuration file --help is invalid!"), std::string::npos) << named.out;
  for (const char* other : {"--helpme", "-h", "-v", "--ver"}) {
    Outcome refused = Execute({QOR_AGENT_BINARY, other});
    EXPECT_EQ(refused.status, 255) << other;
    EXPECT_EQ(refused.err, std::string("Usage: ") + QOR_AGENT_BINARY + " [-c configFile]\n") << other;
    EXPECT_EQ(refused.out, "") << other;
  }
}

// Key=value lines of one unit section.
std::multimap<std::string, std::string> Section(const std::string& unit, const std::string& name) {
  std::multimap<std::string, std::string> keys;
  std::istringstream in(unit);
  std::string line, current;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      current = line;
      continue;
    }
    auto eq = line.find('=');
    if (current == "[" + name + "]" && eq != std::string::npos) keys.emplace(line.substr(0, eq), line.substr(eq + 1));
  }
  return keys;
}

bool Has(const std::multimap<std::string, std::string>& keys, const std::string& key, const std::string& word) {
  auto range = keys.equal_range(key);
  for (auto it = range.first; it != range.second; ++it) {
    std::istringstream words(it->second);
    for (std::string w; words >> w;) {
      if (w == word) return true;
    }
  }
  return false;
}

const char* kUnits[] = {"tolvard.service", "qor-dpsim.service", "qor-vevuroro.service"};

TEST_F(OperatorExperienceTest, SystemdUnitsOrderTheDaemonsAndRestartThem) {
  std::string dir = std::string(QOR_SAMPLE_CONFIG_DIR) + "/systemd/";
  for (const char* name : kUnits) {
    std::string unit = Read(dir + name);
    ASSERT_FALSE(unit.empty()) << name;
    auto service = Section(unit, "Service");
    EXPECT_TRUE(Has(service, "Restart", "on-failure")) << name;
    EXPECT_TRUE(Has(service, "UnsetEnvironment", "QOR_ROOT")) << name << ": production paths are the real ones";
    EXPECT_FALSE(Has(service, "Environment", "QOR_ROOT")) << name;
    EXPECT_TRUE(Has(Section(unit, "Install"), "WantedBy", "multi-user.target")) << name;
  }
  auto agent = Section(Read(dir + "qor-vevuroro.service"), "Unit");
  EXPECT_TRUE(Has(agent, "After", "tolvard.service"));
  EXPECT_TRUE(Has(agent, "Wants", "tolvard.service"));
  auto agentService = Section(Read(dir + "qor-vevuroro.service"), "Service");
  ASSERT_EQ(agentService.count("ExecStart"), 1u);
  EXPECT_EQ(agentService.find("ExecStart")->second, "/usr/sbin/qor-vevuroro -c /etc/zantix/qor/qor-vevuroro.xml")
      << "the agent's whole command line is -c configFile";
  auto tolvard = Section(Read(dir + "tolvard.service"), "Service");
  EXPECT_NE(tolvard.find("ExecStart")->second.find("--listen tcp:127.0.0.1:2480"), std::string::npos)
      << "where the agent's default database endpoint points";
}

TEST_F(OperatorExperienceTest, SystemdAnalyzeVerifiesTheUnits) {
  const char* analyze = "/usr/bin/systemd-analyze";
  if (!std::filesystem::exists(analyze)) GTEST_SKIP() << "systemd-analyze is not installed";
  // A root of our own: the three binaries where the units expect them, the targets the units refer to, the units.
  namespace fs = std::filesystem;
  std::string root = _root.Path() + "/sysroot";
  fs::create_directories(root + "/usr/sbin");
  fs::create_directories(root + "/usr/lib/systemd/system");
  fs::create_directories(root + "/etc/systemd/system");
  for (const char* binary : {QOR_AGENT_BINARY, TOLVARD_PATH, QOR_DPSIM_PATH}) {
    fs::copy_file(binary, root + "/usr/sbin/" + fs::path(binary).filename().string());
  }
  for (const char* target :
       {"sysinit.target", "basic.target", "multi-user.target", "network.target", "shutdown.target"}) {
    if (fs::exists(std::string("/lib/systemd/system/") + target)) {
      fs::copy_file(std::string("/lib/systemd/system/") + target, root + "/usr/lib/systemd/system/" + target);
    }
  }
  std::vector<std::string> argv = {analyze, "verify", "--man=no", "--root=" + root};
  for (const char* name : kUnits) {
    fs::copy_file(std::string(QOR_SAMPLE_CONFIG_DIR) + "/systemd/" + name, root + "/etc/systemd/system/" + name);
    argv.push_back(root + "/etc/systemd/system/" + name);
  }
  Outcome verify = Execute(argv);
  EXPECT_EQ(verify.status, 0) << verify.err;
  EXPECT_EQ(verify.out + verify.err, "") << "every finding of systemd-analyze counts";
}

}  // namespace
