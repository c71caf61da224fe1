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
                          const std::string& path = "", int ioThreads = 1, int workThreads = 12) {
    std::string file = path.empty() ? DefaultConfigPath() : path;
    std::ofstream(file) << "<config><vevUroro><workGroup><ioThreads>" << ioThreads << "</ioThreads><workThreads>"
                        << workThreads << "</workThreads></workGroup><endpoints><health>tcp://127.0.0.1:0</health>"
                        << "<tolvar>" << tolvarEndpoint << "</tolvar></endpoints>" << vevUroroBody << "</vevUroro><log>"
                        << logBody << "</log></config>";
    return file;
  }
  // Starts a tolvard on a free port and points the configuration at it.
  void StartTolvard() {
    std::string portFile = root + "/tolvard.port";
    tolvard =
        std::make_unique<ChildProcess>(std::vector<std::string>{TOLVARD_PATH, "--listen", "tcp:127.0.0.1:0", "--db",
                                                                root + "/tolvar.db", "--port-file", portFile},
                                       root + "/tolvard");
    ASSERT_TRUE(qor::test::WaitFor(
        [&] { return std::filesystem::exists(portFile) && std::filesystem::file_size(portFile) > 0; }));
    int port = 0;
    std::ifstream(portFile) >> port;
    tolvarEndpoint = "tcp://127.0.0.1:" + std::to_string(port);
  }
  void WriteFile(const std::string& relative, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(root + relative).parent_path());
    std::ofstream(root + relative) << content;
  }

  ChildProcess& Start(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
    args.insert(args.begin(), QOR_AGENT_BINARY);
    env["QOR_ROOT"] = root;
    agent.reset();
    // A directory per run: a new run must never be judged by what the previous one wrote.
    agent = std::make_unique<ChildProcess>(args, root + "/out" + std::to_string(++runs), env);
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
  int Terminate(std::chrono::milliseconds bound = std::chrono::seconds(30)) {
    agent->Signal(SIGTERM);
    auto status = agent->Wait(bound);
    EXPECT_TRUE(status) << "the agent did not stop on SIGTERM";
    return status.value_or(-1);
  }

  std::string root;
  int runs = 0;
  std::unique_ptr<ChildProcess> tolvard;
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
  StartTolvard();
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
  // The Tolvar client stops first (it unregisters its monitors), then the container-mapping service.
  ASSERT_NE(out.find("UPMService: cfg-agent stopped"), std::string::npos) << out;
  EXPECT_LT(out.find("TolvarClient: unregistered monitor objects"), out.find("UPMService: cfg-agent stopped"));
}

// A database that holds the connection open but answers nothing (stopped, or hung) must not hold the shutdown for
// the full call bound of each call made while stopping: the agent ends well within a service manager's stop
// time-out.
TEST_F(AgentProcessTest, ShutdownIsBoundedWhenTheDatabaseDoesNotAnswer) {
  StartTolvard();
  WriteConfig(AppsXml(App("dfw")));
  WriteFile("/etc/zantix/qor/node-persona", "3");
  Start({});
  ASSERT_TRUE(WaitForStdout("TolvarClient: Transaction end (fullsync) ID 0")) << agent->Stdout();
  ASSERT_TRUE(WaitForStdout("UPMService: cfg-agent started")) << agent->Stdout();
  tolvard->Signal(SIGSTOP);
  EXPECT_EQ(Terminate(std::chrono::seconds(30)), 0) << agent->Stdout();
  tolvard->Signal(SIGCONT);
  std::string out = agent->Stdout();
  EXPECT_NE(out.find("TolvarClient: UnregisterMonitorCB: Failed to configure monitor for vdb 1"), std::string::npos)
      << out;
  EXPECT_LT(out.find("TolvarClient: stop"), out.find("UPMService: cfg-agent stopped"));
}

TEST_F(AgentProcessTest, SmallestThreadSettingsStillSyncAndStop) {
  StartTolvard();
  WriteFile("/etc/zantix/qor/node-persona", "3");
  // No threads at all, one of each, and the setting that used to leave the Tolvar writer without a thread.
  for (auto [io, work] : std::vector<std::pair<int, int>>{{0, 0}, {1, 1}, {2, 3}}) {
    SCOPED_TRACE("ioThreads " + std::to_string(io) + " workThreads " + std::to_string(work));
    WriteConfig(AppsXml(App("dfw")), "<level>4</level>", "", io, work);
    Start({});
    ASSERT_TRUE(WaitForStdout("TolvarClient: Transaction end (fullsync) ID 0")) << agent->Stdout();
    ASSERT_TRUE(WaitForStdout("MsgDispatcher: start")) << agent->Stdout();
    EXPECT_TRUE(StdoutHas("so that short work items still run") || StdoutHas("leave no thread for short work items"))
        << "the pool must be sized up at start, and say so";
    EXPECT_EQ(Terminate(std::chrono::seconds(20)), 0) << agent->Stdout();
    EXPECT_TRUE(StdoutHas("TolvarClient: stop"));
  }
}

// Address space limited to amounts around what start-up needs: wherever memory runs out, the process ends with one of
// its statuses (1 memory exhausted, 255 another failure such as a thread that cannot be created) or runs and stops
// with 0; it never aborts (the C library used to abort loading its unwinder once memory was gone).
TEST_F(AgentProcessTest, MemoryLimitsNeverAbortTheProcess) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer runtimes reserve more address space than any limit tried here";
#endif
  StartTolvard();
  ChildProcess dpsim({QOR_DPSIM_PATH, "--root", root}, root + "/dpsim");
  ASSERT_TRUE(qor::test::WaitFor([&] { return std::filesystem::exists(root + "/var/run/zantix/qor-dpsim/ready"); }));
  WriteFile("/etc/zantix/qor/node-persona", "3");
  // The sample's applications: with the kernel links up, memory runs out at many different places.
  std::string config = WriteConfig(AppsXml(App("config", kConfigAppConfig) + App("vxlan") + App("vdrb") + App("dfw") +
                                           App("pathprobe") + App("bfd") + App("si") + App("ids") + App("sondara")),
                                   "<level>4</level>", "", 2, 32);
  for (int limit = 250000; limit <= 350000; limit += 10000) {
    SCOPED_TRACE("ulimit -v " + std::to_string(limit));
    agent = std::make_unique<ChildProcess>(
        std::vector<std::string>{
            "/bin/sh", "-c", "ulimit -v " + std::to_string(limit) + " && exec " + QOR_AGENT_BINARY + " -c " + config},
        root + "/limited" + std::to_string(limit), std::map<std::string, std::string>{{"QOR_ROOT", root}});
    const std::string started = "ShaPmClient: started for qor-vevuroro";
    ASSERT_TRUE(qor::test::WaitFor([&] { return !agent->Running() || StdoutHas(started); })) << agent->Stdout();
    if (agent->Running()) agent->Signal(SIGTERM);
    auto status = agent->Wait(std::chrono::seconds(30));
    ASSERT_TRUE(status) << agent->Stdout();
    EXPECT_TRUE(*status == 0 || *status == 1 || *status == 255) << "status " << *status << "\n" << agent->Stderr();
  }
}

// Too few descriptors end start-up at once with its failure line and status, never with the platform library's exit
// from a thread that starts later; a low soft limit under a higher hard one is raised, and the agent runs.
TEST_F(AgentProcessTest, DescriptorLimitsAreRefusedUpFrontOrRaised) {
  StartTolvard();
  ChildProcess dpsim({QOR_DPSIM_PATH, "--root", root}, root + "/dpsim");
  ASSERT_TRUE(qor::test::WaitFor([&] { return std::filesystem::exists(root + "/var/run/zantix/qor-dpsim/ready"); }));
  WriteFile("/etc/zantix/qor/node-persona", "3");
  // Every application, so every kernel link and library the agent opens descriptors for.
  std::string config = WriteConfig(AppsXml(App("config", kConfigAppConfig) + App("vxlan") + App("vdrb") + App("dfw") +
                                           App("pathprobe") + App("bfd") + App("si") + App("ids") + App("sondara")));
  auto run = [&](const std::string& limit) {
    agent = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/bin/sh", "-c", "ulimit " + limit + " && exec " + QOR_AGENT_BINARY + " -c " + config},
        root + "/fd" + std::to_string(++runs), std::map<std::string, std::string>{{"QOR_ROOT", root}});
  };
  for (int limit : {16, 32, 63}) {
    SCOPED_TRACE("ulimit -n " + std::to_string(limit));
    run("-n " + std::to_string(limit));
    auto status = agent->Wait(std::chrono::seconds(30));
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 255) << agent->Stdout() << agent->Stderr();
    EXPECT_TRUE(StdoutHas("Too few file descriptors: the limit is " + std::to_string(limit) + ", the agent needs 64"))
        << agent->Stdout();
    EXPECT_TRUE(StdoutHas("Failed to run qor-vevuroro"));
  }
  for (const std::string limit : {"-n 64", "-S -n 32"}) {
    SCOPED_TRACE("ulimit " + limit);
    run(limit);
    // Synced with the database and linked to every kernel module: the descriptors of a running agent are open.
    ASSERT_TRUE(WaitForStdout("ShaPmClient: started for qor-vevuroro")) << agent->Stdout();
    ASSERT_TRUE(WaitForStdout("Transaction end (fullsync)")) << agent->Stdout();
    ASSERT_TRUE(WaitForStdout("ConfigApp: DP link status turns to UP")) << agent->Stdout();
    EXPECT_EQ(Terminate(), 0) << agent->Stdout() << agent->Stderr();
  }
}

// Thread creation fails from the Nth call on, for every N until start-up completes: wherever start-up stops, the
// process must end with status 255 within the bound, never hang or abort.
TEST_F(AgentProcessTest, StartUpFailingAtAnyLaterStepEndsTheProcess) {
  StartTolvard();
  WriteFile("/etc/zantix/qor/node-persona", "3");
  WriteConfig(AppsXml(App("dfw") + App("sondara")), "<level>4</level>", "", 1, 1);
  std::map<std::string, std::string> env = {{"LD_PRELOAD", QOR_FAIL_THREADS_LIBRARY}};
  // The sanitizer runtimes want to come first; the preloaded library only forwards to them.
  const char* asan = std::getenv("ASAN_OPTIONS");
  env["ASAN_OPTIONS"] = std::string(asan ? asan : "") + ":verify_asan_link_order=0";
  int failures = 0;
  for (int allowed = 0; allowed < 200; ++allowed) {
    SCOPED_TRACE("threads allowed: " + std::to_string(allowed));
    env["QOR_TEST_THREADS_ALLOWED"] = std::to_string(allowed);
    Start({}, env);
    const std::string started = "ShaPmClient: started for qor-vevuroro";
    bool done = qor::test::WaitFor([&] { return !agent->Running() || StdoutHas(started); });
    ASSERT_TRUE(done) << "start-up neither failed nor completed\n" << agent->Stdout();
    if (agent->Running()) {
      // Start-up completed without another thread: the agent runs and stops as usual.
      EXPECT_EQ(Terminate(std::chrono::seconds(20)), 0) << agent->Stdout();
      EXPECT_GT(failures, 5) << "thread creation must have failed at several steps first";
      return;
    }
    ++failures;
    auto status = agent->Wait(std::chrono::seconds(20));
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 255) << agent->Stdout() << agent->Stderr();
    EXPECT_TRUE(StdoutHas("Failed to run qor-vevuroro")) << agent->Stdout();
  }
  FAIL() << "start-up never completed";
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
