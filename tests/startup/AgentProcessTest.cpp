// The daemon as a process: command line, configuration failures, start-up and a clean SIGTERM shutdown.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "support/ChildProcess.h"
#include "support/Wait.h"

namespace {

using qor::test::ChildProcess;

std::string AppsXml(const std::string& apps) {
  return "<apps>" + apps + "</apps>";
}
std::string App(const std::string& name, const std::string& config = "<config/>") {
  return "<app><name>" + name + "</name><enabled>true</enabled>" + config + "</app>";
}
// The configuration application needs its datapath channel.
const char* kConfigAppConfig = "<config><tkmlink><path>qor_vswitch_tkmlink</path></tkmlink></config>";

class AgentProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "qor-agent-XXXXXX").string();
    ASSERT_TRUE(mkdtemp(pattern.data()));
    root = pattern;
    std::filesystem::create_directories(root + "/etc/zantix/qor");
    std::filesystem::copy_file(std::string(QOR_SAMPLE_CONFIG_DIR) + "/vessix.xml", root + "/etc/zantix/qor/vessix.xml");
  }
  void TearDown() override {
    agent.reset();
    std::filesystem::remove_all(root);
  }

  std::string DefaultConfigPath() const { return root + "/etc/zantix/qor/qor-vevuroro.xml"; }

  // A configuration with a free health port; `vevUroroBody` goes inside <vevUroro>, `logBody` inside <log>.
  std::string WriteConfig(const std::string& vevUroroBody, const std::string& logBody = "<level>4</level>",
                          const std::string& path = "") {
    std::string file = path.empty() ? DefaultConfigPath() : path;
    std::ofstream(file) << "<config><vevUroro><workGroup><ioThreads>1</ioThreads><workThreads>12</workThreads>"
                           "</workGroup><endpoints><health>tcp://127.0.0.1:0</health><tolvar>"
                        << tolvarEndpoint << "</tolvar></endpoints>" << vevUroroBody << "</vevUroro><log>" << logBody
                        << "</log></config>";
    return file;
  }
  void WriteFile(const std::string& relative, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(root + relative).parent_path());
    std::ofstream(root + relative) << content;
  }

  ChildProcess& Start(std::vector<std::string> args) {
    args.insert(args.begin(), QOR_AGENT_BINARY);
    agent = std::make_unique<ChildProcess>(args, root + "/out", std::map<std::string, std::string>{{"QOR_ROOT", root}});
    return *agent;
  }
  // Runs the agent to completion (it must end by itself).
  int RunToExit(std::vector<std::string> args) {
    auto status = Start(std::move(args)).Wait();
    EXPECT_TRUE(status) << "the agent did not exit";
    return status.value_or(-1);
  }
  bool StdoutHas(const std::string& text) const { return agent->Stdout().find(text) != std::string::npos; }
  bool WaitForStdout(const std::string& text) {
    return qor::test::WaitFor([&] { return StdoutHas(text) || !agent->Running(); }) && StdoutHas(text);
  }
  // Stops a running agent with SIGTERM and returns its exit status.
  int Terminate() {
    agent->Signal(SIGTERM);
    auto status = agent->Wait();
    EXPECT_TRUE(status) << "the agent did not stop on SIGTERM";
    return status.value_or(-1);
  }

  std::string root;
  std::unique_ptr<ChildProcess> agent;
  // Nothing listens on port 1: the agent runs without a database unless a test starts one.
  std::string tolvarEndpoint = "tcp://127.0.0.1:1";
};

TEST_F(AgentProcessTest, UsageErrorsEndBeforeAnyFileIsRead) {
  for (const char* option : {"-s", "-x"}) {
    EXPECT_EQ(RunToExit({"-c", "/nonexistent.xml", option}), 255) << option;
    EXPECT_EQ(agent->Stderr(), std::string("Usage: ") + QOR_AGENT_BINARY + " [-c configFile]\n");
    EXPECT_EQ(agent->Stdout(), "") << "nothing may be read or logged before the usage check";
  }
}

TEST_F(AgentProcessTest, MissingOrMalformedFileShowsTheBox) {
  auto box = [](const std::string& path) {
    return "-----------------------------------\n* Error *: VevUroro start failed.\n  Configuration file " + path +
           " is invalid!\n-----------------------------------\n";
  };
  // Without -c the default path under QOR_ROOT is used.
  EXPECT_EQ(RunToExit({}), 255);
  EXPECT_TRUE(StdoutHas(box(DefaultConfigPath()))) << agent->Stdout();
  EXPECT_TRUE(StdoutHas("Failed loading config file: " + DefaultConfigPath()));
  EXPECT_TRUE(StdoutHas(R"(errorCode="LCP00003")"));

  WriteFile("/bad.xml", "<config><vevUroro>");
  EXPECT_EQ(RunToExit({"-c", root + "/bad.xml"}), 255);
  EXPECT_TRUE(StdoutHas(box(root + "/bad.xml")));

  // The last -c wins: a valid first file does not rescue a missing second one.
  std::string good = WriteConfig(AppsXml(""));
  EXPECT_EQ(RunToExit({"-c", good, "-c", root + "/missing.xml"}), 255);
  EXPECT_TRUE(StdoutHas(box(root + "/missing.xml")));
}

TEST_F(AgentProcessTest, MissingApplicationListIsAnUnexpectedFailure) {
  WriteConfig("");
  EXPECT_EQ(RunToExit({}), 255);
  EXPECT_TRUE(StdoutHas("Failed to run qor-vevuroro")) << agent->Stdout();
  EXPECT_TRUE(StdoutHas("Start vevUroro"));
}

TEST_F(AgentProcessTest, UnknownNodePersonaEndsStartUp) {
  WriteConfig(AppsXml(""));
  WriteFile("/etc/zantix/qor/node-persona", "7\n");
  EXPECT_EQ(RunToExit({}), 255);
  EXPECT_TRUE(StdoutHas("Node type is unknow")) << agent->Stdout();
  EXPECT_FALSE(StdoutHas("Start vevUroro"));
}

TEST_F(AgentProcessTest, InvalidContainerServiceConfigurationEndsStartUp) {
  WriteConfig(AppsXml(App("dfw")));
  WriteFile("/etc/zantix/qor/vessix.xml", "<config><vessix><channel><vlan>0</vlan></channel></vessix></config>");
  EXPECT_EQ(RunToExit({}), 255);
  EXPECT_TRUE(StdoutHas("Vlan is not a valid value: 0")) << agent->Stdout();
  EXPECT_TRUE(StdoutHas("Failed to initialize vessix."));
  EXPECT_FALSE(StdoutHas("LB application starts")) << "no application may start";

  WriteFile("/etc/zantix/qor/vessix.xml", "<config>");
  EXPECT_EQ(RunToExit({}), 255);
  EXPECT_TRUE(StdoutHas("Error: Vessix failed to start.\nConfiguration file " + root +
                        "/etc/zantix/qor/vessix.xml is invalid.\n"));
}

TEST_F(AgentProcessTest, StartsServesHealthAndStopsCleanlyOnSigterm) {
  WriteConfig(
      AppsXml(App("dfw") + App("sondara")) + "<debug><instrument><l2_cache>true</l2_cache></instrument></debug>",
      "<level>5</level>");
  WriteFile("/etc/zantix/qor/node-persona", "2");
  // The host agent's socket: a non-empty application list starts the link to it.
  std::string agentSocket = root + "/var/run/zantix/qor-agent/qora_link";
  std::filesystem::create_directories(std::filesystem::path(agentSocket).parent_path());
  int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un unixAddress{};
  unixAddress.sun_family = AF_UNIX;
  std::snprintf(unixAddress.sun_path, sizeof(unixAddress.sun_path), "%s", agentSocket.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&unixAddress), sizeof(unixAddress)), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  Start({});
  ASSERT_TRUE(WaitForStdout("Health RPC server listening on tcp://127.0.0.1:")) << agent->Stdout();
  std::smatch match;
  std::string out = agent->Stdout();
  ASSERT_TRUE(std::regex_search(out, match, std::regex(R"(listening on tcp://127\.0\.0\.1:(\d+))")));
  int port = std::stoi(match[1]);

  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  close(fd);

  pollfd waitAccept{listener, POLLIN, 0};
  EXPECT_EQ(poll(&waitAccept, 1, 20000), 1) << "the link to the host agent did not connect";
  close(listener);

  ASSERT_TRUE(WaitForStdout("pathprobeApp is not initialized"));
  EXPECT_EQ(Terminate(), 0);
  out = agent->Stdout();
  for (const char* line :
       {"Workflow tracing set trace_level 2 log_level 4", "Build Number: ", "Enable core dump",
        "Instrument configCache false l2Cache true l3Cache false tolvarClient false", "Node type is smartnic",
        "Start vevUroro", "Initialize vessix successfully.", "LB application starts", "Clean up platform"}) {
    EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
  }
  // The order of start-up is part of the contract.
  EXPECT_LT(out.find("Start vevUroro"), out.find("Initialize vessix successfully."));
  EXPECT_LT(out.find("Initialize vessix successfully."), out.find("LB application starts"));
  EXPECT_LT(out.find("LB application starts"), out.find("Clean up platform"));
}

TEST_F(AgentProcessTest, EmptyApplicationListStartsNoApplication) {
  WriteConfig(AppsXml(""), "<level>abc</level>");  // a non-numeric level stays at 4
  Start({});
  ASSERT_TRUE(WaitForStdout("Health RPC server listening"));
  EXPECT_EQ(Terminate(), 0);
  std::string out = agent->Stdout();
  EXPECT_NE(out.find("Clean up platform"), std::string::npos);
  EXPECT_EQ(out.find("application starts"), std::string::npos);
  EXPECT_EQ(out.find("pathprobeApp is not initialized"), std::string::npos) << "no Sondara fallback for an empty list";
  EXPECT_EQ(out.find(R"(level="debug")"), std::string::npos);
  EXPECT_NE(out.find("Node type is other"), std::string::npos);
  // Without a database the client still starts and stops.
  EXPECT_NE(out.find("Tolvar client starts"), std::string::npos);
  EXPECT_NE(out.find("MsgDispatcher: start"), std::string::npos);
  EXPECT_NE(out.find("TolvarClient: stop"), std::string::npos);
}

TEST_F(AgentProcessTest, ConnectsToTheDatabaseAndStillStopsCleanly) {
  std::string portFile = root + "/tolvard.port";
  ChildProcess tolvard(
      {TOLVARD_PATH, "--listen", "tcp:127.0.0.1:0", "--db", root + "/tolvar.db", "--port-file", portFile},
      root + "/tolvard");
  ASSERT_TRUE(qor::test::WaitFor(
      [&] { return std::filesystem::exists(portFile) && std::filesystem::file_size(portFile) > 0; }));
  int port = 0;
  std::ifstream(portFile) >> port;
  tolvarEndpoint = "tcp://127.0.0.1:" + std::to_string(port);
  WriteConfig(AppsXml(App("dfw")));
  WriteFile("/etc/zantix/qor/node-persona", "3");
  Start({});
  ASSERT_TRUE(WaitForStdout("TolvarClient: Transaction end (fullsync) ID 0")) << agent->Stdout();
  EXPECT_EQ(Terminate(), 0);
  std::string out = agent->Stdout();
  for (const char* line : {"LB application starts", "MsgDispatcher: registered component LB", "Tolvar client starts",
                           "TolvarClient: tolvar channel status turns to UP", "MsgDispatcher: start",
                           "TolvarClient: unregistered monitor objects", "Clean up platform"}) {
    EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
  }
  EXPECT_LT(out.find("LB application starts"), out.find("Tolvar client starts"));
  EXPECT_LT(out.find("Tolvar client starts"), out.find("MsgDispatcher: start"));
  EXPECT_LT(out.find("Clean up platform"), out.find("TolvarClient: stop"));
}

TEST_F(AgentProcessTest, PathprobeBeforeConfigIsSkippedWithItsError) {
  WriteConfig(AppsXml(App("pathprobe") + App("config", kConfigAppConfig)),
              "<level>4</level><outputToConsole>true</outputToConsole>");
  Start({});
  ASSERT_TRUE(WaitForStdout("Cannot start pathprobeApp as the configApp is NULL"));
  ASSERT_TRUE(WaitForStdout("Config application starts"));
  EXPECT_EQ(Terminate(), 0);
}

TEST_F(AgentProcessTest, ConfigApplicationWithoutItsChannelEndsStartUp) {
  WriteConfig(AppsXml(App("config")), "<level>4</level><outputToConsole>true</outputToConsole>");
  EXPECT_EQ(RunToExit({}), 255);
  EXPECT_TRUE(StdoutHas("Failed to run qor-vevuroro"));
  EXPECT_FALSE(StdoutHas("Config application starts"));
}

}  // namespace
