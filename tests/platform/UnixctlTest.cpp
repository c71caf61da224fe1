#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <thread>

#include "platform/QorRoot.h"
#include "platform/ovs/Unixctl.h"
#include "support/ChildProcess.h"
#include "support/LogCapture.h"
#include "support/TempRoot.h"
#include "support/Wait.h"

namespace qor::ovs {
namespace {

using namespace std::chrono_literals;

UnixctlServer::Handler Echo() {
  return [](const std::vector<std::string>& argv) {
    std::string text = argv[0];
    for (size_t i = 1; i < argv.size(); ++i) text += " " + argv[i];
    return UnixctlReply::Ok(text);
  };
}

// A client on a bare socket, to behave as ovs-appctl never would: stay silent, send half a request, never read.
class RawClient {
 public:
  explicit RawClient(const std::string& path, bool blocking = true) {
    _fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    _connected = connect(_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawClient() {
    if (_fd >= 0) close(_fd);
  }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool Connected() const { return _connected; }
  void ShrinkReceiveBuffer() {
    int size = 4096;
    setsockopt(_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  // False once the server has closed the connection.
  bool Send(const std::string& bytes) { return send(_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) >= 0; }
  bool Request(const std::string& method, int id = 0) {
    return Send("{\"id\":" + std::to_string(id) + ",\"method\":\"" + method + "\",\"params\":[]}");
  }
  // The next reply's text (read until its closing brace), or "" when the connection ended first.
  std::string Reply() {
    std::string text;
    for (char c;;) {
      ssize_t n = recv(_fd, &c, 1, 0);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        pollfd ready{_fd, POLLIN, 0};
        if (poll(&ready, 1, 20000) == 1) continue;
      }
      if (n != 1) return "";
      text += c;
      if (c == '}') return text;
    }
  }
  // True when the server has closed the connection (after draining what it sent), without blocking.
  bool ClosedByServer() {
    char buffer[65536];
    for (;;) {
      ssize_t n = recv(_fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n == 0) return true;
      if (n < 0) return errno != EAGAIN && errno != EWOULDBLOCK;
    }
  }

 private:
  int _fd = -1;
  bool _connected = false;
};

class UnixctlTest : public ::testing::Test {
 protected:
  test::TempRoot root;
  test::LogCapture logs;
};

TEST_F(UnixctlTest, ServerAndClientExchangeRepliesAndErrors) {
  UnixctlServer server(QorPath("/var/run/zantix/qor-vevuroro/vevuroro-cli"));
  ASSERT_TRUE(server.RegisterCommand("test/echo", "ARGS...", 0, 3, Echo()));
  ASSERT_TRUE(server.RegisterCommand("test/fail", "", 1, 1,
                                     [](const auto& argv) { return UnixctlReply::Error("cannot " + argv[1]); }));
  ASSERT_TRUE(server.RegisterCommand("test/throw", "", 0, 0,
                                     [](const auto&) -> UnixctlReply { throw std::runtime_error("inner trouble"); }));
  ASSERT_EQ(server.Start(), 0);
  EXPECT_TRUE(server.Running());
  EXPECT_TRUE(std::filesystem::exists(root.Under("/var/run/zantix/qor-vevuroro/vevuroro-cli")));

  UnixctlResult echo = UnixctlClient::Call(server.Path(), "test/echo", {"a", "b c"});
  EXPECT_TRUE(echo.Answered());
  EXPECT_TRUE(echo.ok);
  EXPECT_EQ(echo.text, "test/echo a b c\n");

  UnixctlResult failed = UnixctlClient::Call(server.Path(), "test/fail", {"fly"});
  EXPECT_TRUE(failed.Answered());
  EXPECT_FALSE(failed.ok);
  EXPECT_EQ(failed.text, "cannot fly\n");

  UnixctlResult tooMany = UnixctlClient::Call(server.Path(), "test/echo", {"1", "2", "3", "4"});
  EXPECT_FALSE(tooMany.ok);
  EXPECT_EQ(tooMany.text, "\"test/echo\" command takes at most 3 arguments\n");
  UnixctlResult tooFew = UnixctlClient::Call(server.Path(), "test/fail");
  EXPECT_EQ(tooFew.text, "\"test/fail\" command requires at least 1 arguments\n");
  UnixctlResult unknown = UnixctlClient::Call(server.Path(), "test/nothing");
  EXPECT_FALSE(unknown.ok);
  EXPECT_NE(unknown.text.find("is not a valid command"), std::string::npos);
  UnixctlResult thrown = UnixctlClient::Call(server.Path(), "test/throw");
  EXPECT_FALSE(thrown.ok);
  EXPECT_NE(thrown.text.find("inner trouble"), std::string::npos);

  ASSERT_TRUE(server.RegisterCommand("test/nul", "", 0, 0,
                                     [](const auto&) { return UnixctlReply::Ok(std::string("before\0after", 12)); }));
  EXPECT_EQ(UnixctlClient::Call(server.Path(), "test/nul").text, "before\\x00after\n") << "not cut at the NUL";

  UnixctlResult list = UnixctlClient::Call(server.Path(), "list-commands");
  EXPECT_TRUE(list.ok);
  EXPECT_NE(list.text.find("test/echo"), std::string::npos);
  EXPECT_NE(list.text.find("ARGS..."), std::string::npos);

  server.Stop();
  EXPECT_FALSE(server.Running());
  EXPECT_FALSE(std::filesystem::exists(server.Path()));
  UnixctlResult gone = UnixctlClient::Call(server.Path(), "test/echo");
  EXPECT_FALSE(gone.Answered());
  EXPECT_EQ(gone.error, ENOENT);
}

TEST_F(UnixctlTest, RegistrationRulesProtectTheLibrary) {
  UnixctlServer server(QorPath("/run/x.ctl"));
  EXPECT_FALSE(server.RegisterCommand("", "", 0, 0, Echo()));
  EXPECT_FALSE(server.RegisterCommand("list-commands", "", 0, 0, Echo()));
  EXPECT_FALSE(server.RegisterCommand("version", "", 0, 0, Echo()));
  EXPECT_FALSE(server.RegisterCommand("a", "", 2, 1, Echo()));
  EXPECT_FALSE(server.RegisterCommand("a", "", -1, 1, Echo()));
  EXPECT_FALSE(server.RegisterCommand("a", "", 0, 0, nullptr));
  EXPECT_TRUE(server.RegisterCommand("a", "", 0, 0, Echo()));
  EXPECT_FALSE(server.RegisterCommand("a", "", 0, 0, Echo()));
  EXPECT_TRUE(logs.Has({"UnixctlServer:", "registered twice"}));
  UnixctlServer relative("relative.ctl");
  EXPECT_EQ(relative.Start(), EINVAL);
}

// Several servers in one process: each must answer only its own commands, even one of the same name, and
// servers must come and go without disturbing each other.
TEST_F(UnixctlTest, SeveralServersInOneProcessKeepTheirOwnCommands) {
  UnixctlServer cli(QorPath("/var/run/a/cli.ctl"));
  UnixctlServer vessix(QorPath("/var/run/b/vessix.ctl"));
  cli.RegisterCommand("shared/name", "", 0, 0, [](const auto&) { return UnixctlReply::Ok("from cli"); });
  vessix.RegisterCommand("shared/name", "", 0, 2, [](const auto&) { return UnixctlReply::Ok("from vessix"); });
  cli.RegisterCommand("cli/only", "", 0, 0, Echo());
  ASSERT_EQ(cli.Start(), 0);
  ASSERT_EQ(vessix.Start(), 0);

  std::atomic<int> good{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 4; ++i) {
    clients.emplace_back([&] {
      for (int n = 0; n < 20; ++n) {
        good += UnixctlClient::Call(cli.Path(), "shared/name").text == "from cli\n";
        good += UnixctlClient::Call(vessix.Path(), "shared/name", {"x"}).text == "from vessix\n";
      }
    });
  }
  for (auto& client : clients) client.join();
  EXPECT_EQ(good.load(), 160);
  EXPECT_EQ(UnixctlClient::Call(cli.Path(), "shared/name", {"x"}).text,
            "\"shared/name\" command takes at most 0 arguments\n");
  EXPECT_NE(UnixctlClient::Call(vessix.Path(), "cli/only").text.find("is not a valid command"), std::string::npos);

  for (int round = 0; round < 5; ++round) {
    vessix.Stop();
    EXPECT_FALSE(UnixctlClient::Call(vessix.Path(), "shared/name").Answered());
    EXPECT_EQ(UnixctlClient::Call(cli.Path(), "shared/name").text, "from cli\n");
    ASSERT_EQ(vessix.Start(), 0);
    EXPECT_EQ(UnixctlClient::Call(vessix.Path(), "shared/name").text, "from vessix\n");
  }
  for (int i = 0; i < 5; ++i) {
    UnixctlServer transient(QorPath("/var/run/c/t" + std::to_string(i) + ".ctl"));
    transient.RegisterCommand("t/id", "", 0, 0, [i](const auto&) { return UnixctlReply::Ok(std::to_string(i)); });
    ASSERT_EQ(transient.Start(), 0);
    EXPECT_EQ(UnixctlClient::Call(transient.Path(), "t/id").text, std::to_string(i) + "\n");
  }
}

TEST_F(UnixctlTest, CommandsMayBeAddedWhileServingEvenFromAHandler) {
  UnixctlServer server(QorPath("/var/run/d/s.ctl"));
  server.RegisterCommand("grow", "", 0, 0, [&server](const auto&) {
    bool added = server.RegisterCommand("grown", "", 0, 0, [](const auto&) { return UnixctlReply::Ok("new"); });
    return UnixctlReply::Ok(added ? "added" : "not added");
  });
  ASSERT_EQ(server.Start(), 0);
  server.RegisterCommand("later", "", 0, 0, [](const auto&) { return UnixctlReply::Ok("later"); });
  EXPECT_EQ(UnixctlClient::Call(server.Path(), "later").text, "later\n");
  EXPECT_EQ(UnixctlClient::Call(server.Path(), "grow").text, "added\n");
  EXPECT_EQ(UnixctlClient::Call(server.Path(), "grown").text, "new\n");
}

TEST_F(UnixctlTest, LiveSocketIsNotTakenAndStaleOneIsReplaced) {
  std::string path = QorPath("/var/run/e/one.ctl");
  UnixctlServer first(path);
  first.RegisterCommand("who", "", 0, 0, [](const auto&) { return UnixctlReply::Ok("first"); });
  ASSERT_EQ(first.Start(), 0);
  UnixctlServer second(path);
  EXPECT_EQ(second.Start(), EADDRINUSE);
  EXPECT_EQ(UnixctlClient::Call(path, "who").text, "first\n");
  first.Stop();

  // A socket file that nobody serves, as a crashed process leaves it.
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(fd);
  ASSERT_TRUE(std::filesystem::exists(path));
  second.RegisterCommand("who", "", 0, 0, [](const auto&) { return UnixctlReply::Ok("second"); });
  ASSERT_EQ(second.Start(), 0);
  EXPECT_EQ(UnixctlClient::Call(path, "who").text, "second\n");
}

TEST_F(UnixctlTest, ClientGivesUpOnASlowHandler) {
  UnixctlServer server(QorPath("/var/run/f/slow.ctl"));
  std::atomic<bool> release{false};
  server.RegisterCommand("slow", "", 0, 0, [&](const auto&) {
    test::WaitFor([&] { return release.load(); });
    return UnixctlReply::Ok("done");
  });
  ASSERT_EQ(server.Start(), 0);
  UnixctlResult late = UnixctlClient::Call(server.Path(), "slow", {}, 50ms);
  EXPECT_EQ(late.error, ETIMEDOUT);
  release = true;
  // Stop is prompt even with a connection the client abandoned.
  server.Stop();
}

// Clients beyond the limit wait in the listen queue instead of taking more descriptors; each is served once another
// leaves, and a client that stays silent is let go after the idle time.
TEST_F(UnixctlTest, ClientsBeyondTheLimitWaitTheirTurn) {
  UnixctlLimits limits;
  limits.maxConnections = 3;
  UnixctlServer server(QorPath("/var/run/g/few.ctl"), limits);
  server.RegisterCommand("test/echo", "", 0, 3, Echo());
  ASSERT_EQ(server.Start(), 0);
  std::vector<std::unique_ptr<RawClient>> silent;
  for (int i = 0; i < 8; ++i) {
    silent.push_back(std::make_unique<RawClient>(server.Path(), false));
    ASSERT_TRUE(silent.back()->Connected());
  }
  ASSERT_TRUE(test::WaitFor([&] { return server.Connections() == 3; }));
  auto answer = std::async(std::launch::async, [&] { return UnixctlClient::Call(server.Path(), "test/echo"); });
  EXPECT_EQ(server.Connections(), 3);
  silent.clear();
  EXPECT_EQ(answer.get().text, "test/echo\n");
  EXPECT_TRUE(test::WaitFor([&] { return server.Connections() == 0; }));
}

TEST_F(UnixctlTest, SilentAndStuckClientsAreLetGo) {
  UnixctlLimits limits;
  limits.idleTimeout = 200ms;
  UnixctlServer server(QorPath("/var/run/h/idle.ctl"), limits);
  server.RegisterCommand("test/big", "", 0, 0, [](const auto&) { return UnixctlReply::Ok(std::string(8 << 20, 'x')); });
  server.RegisterCommand("test/echo", "", 0, 3, Echo());
  ASSERT_EQ(server.Start(), 0);

  RawClient silent(server.Path());
  RawClient half(server.Path());
  ASSERT_TRUE(half.Send("{\"id\":1,\"method\":\"test/echo\",\"par"));
  RawClient neverReads(server.Path());
  neverReads.ShrinkReceiveBuffer();
  ASSERT_TRUE(neverReads.Request("test/big"));
  RawClient reader(server.Path());
  ASSERT_TRUE(reader.Request("test/echo"));
  EXPECT_NE(reader.Reply().find("\"result\":\"test/echo\\n\""), std::string::npos);

  EXPECT_TRUE(test::WaitFor([&] { return silent.ClosedByServer(); }));
  EXPECT_TRUE(test::WaitFor([&] { return half.ClosedByServer(); }));
  EXPECT_TRUE(test::WaitFor([&] { return logs.Has({"took no part of its reply for 200 ms: connection closed"}); }));
  EXPECT_TRUE(test::WaitFor([&] { return server.Connections() == 0; }));
  EXPECT_EQ(UnixctlClient::Call(server.Path(), "test/echo", {"still"}).text, "test/echo still\n");
}

// Replies that clients do not take are bounded together: past the limit the client with the most pending is let go,
// and a client that reads is served all the while.
TEST_F(UnixctlTest, RepliesNotTakenAreBoundedTogether) {
  UnixctlLimits limits;
  limits.maxBacklogBytes = 3 << 20;
  UnixctlServer server(QorPath("/var/run/k/backlog.ctl"), limits);
  server.RegisterCommand("test/big", "", 0, 0, [](const auto&) { return UnixctlReply::Ok(std::string(2 << 20, 'x')); });
  server.RegisterCommand("test/echo", "", 0, 3, Echo());
  ASSERT_EQ(server.Start(), 0);
  std::vector<std::unique_ptr<RawClient>> hoarders;
  for (int i = 0; i < 4; ++i) {
    hoarders.push_back(std::make_unique<RawClient>(server.Path()));
    hoarders.back()->ShrinkReceiveBuffer();
    ASSERT_TRUE(hoarders.back()->Request("test/big"));
  }
  EXPECT_TRUE(test::WaitFor([&] {
    int closed = 0;
    for (auto& hoarder : hoarders) closed += hoarder->ClosedByServer();
    return closed >= 3;
  }));
  EXPECT_TRUE(logs.Has({"replies not taken by their clients exceed 3145728 bytes"}));
  EXPECT_EQ(UnixctlClient::Call(server.Path(), "test/big").text.size(), (2u << 20) + 1);
}

// A request that never ends is not buffered without bound: past the limit its connection is closed.
TEST_F(UnixctlTest, OversizedRequestClosesItsConnection) {
  UnixctlLimits limits;
  limits.maxRequestBytes = 64 << 10;
  UnixctlServer server(QorPath("/var/run/i/big.ctl"), limits);
  server.RegisterCommand("test/echo", "", 0, 3, Echo());
  ASSERT_EQ(server.Start(), 0);

  RawClient flood(server.Path());
  ASSERT_TRUE(flood.Send("{\"id\":0,\"method\":\"test/echo\",\"params\":[\""));
  const std::string chunk(16 << 10, 'a');
  bool closed = false;
  for (int i = 0; i < 4096 && !closed; ++i) closed = !flood.Send(chunk);  // 64 MiB at most
  EXPECT_TRUE(closed);
  EXPECT_TRUE(logs.Has({"UnixctlServer:", "a client's request exceeds 65536 bytes: connection closed"}));

  // Arguments up to the limit still pass.
  std::string large(60 << 10, 'b');
  EXPECT_EQ(UnixctlClient::Call(server.Path(), "test/echo", {large}).text, "test/echo " + large + "\n");
}

// With the process out of descriptors the listener rests between tries instead of spinning, the clients already
// connected are served meanwhile, and waiting ones are taken once descriptors are free again.
TEST_F(UnixctlTest, OutOfDescriptorsTheListenerRestsInsteadOfSpinning) {
  UnixctlLimits limits;
  limits.acceptRetry = 250ms;
  UnixctlServer server(QorPath("/var/run/j/fd.ctl"), limits);
  server.RegisterCommand("test/echo", "", 0, 3, Echo());
  ASSERT_EQ(server.Start(), 0);
  RawClient early(server.Path());
  ASSERT_TRUE(test::WaitFor([&] { return server.Connections() == 1; }));
  RawClient late(server.Path(), false);
  ASSERT_TRUE(late.Connected());

  rlimit saved{};
  getrlimit(RLIMIT_NOFILE, &saved);
  std::vector<int> filler;
  {
    // Use up every descriptor below a low soft limit, as a leak elsewhere in the process would.
    rlimit low = saved;
    low.rlim_cur = 256;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) filler.push_back(fd);
  }
  ASSERT_TRUE(late.Request("test/echo", 7));
  EXPECT_TRUE(test::WaitFor([&] { return logs.Count({"cannot accept a client", "next try in 250 ms"}) >= 2; }));
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(early.Request("test/echo", i));
    EXPECT_NE(early.Reply().find("test/echo"), std::string::npos);
  }
  // One try per rest, not one per loop turn: 20 round trips woke the loop at least 40 times.
  size_t tries = logs.Count({"cannot accept a client"});
  EXPECT_LT(tries, 40u);
  for (int fd : filler) close(fd);
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_NE(late.Reply().find("\"id\":7"), std::string::npos);
}

#ifdef QOR_OVS_APPCTL
// The standard client, as an operator would use it.
TEST_F(UnixctlTest, OvsAppctlTalksToTheServer) {
  UnixctlServer server(QorPath("/var/run/zantix/qor-vevuroro/vevuroro-cli"));
  server.RegisterCommand("vevuroro/get/loglevel", "", 0, 0,
                         [](const auto&) { return UnixctlReply::Ok("Current vevuroro logging level is: info"); });
  server.RegisterCommand("vevuroro/set/loglevel", "LOG_LEVEL", 1, 1, [](const auto& argv) {
    if (argv[1] == "debug") return UnixctlReply::Ok("Setting vevuroro logging level from info to debug successfully");
    return UnixctlReply::Error("unknown level " + argv[1]);
  });
  ASSERT_EQ(server.Start(), 0);
  auto appctl = [&](std::vector<std::string> args, const std::string& outputDir) {
    std::vector<std::string> argv = {QOR_OVS_APPCTL, "--timeout=20", "-t", server.Path()};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<test::ChildProcess>(argv, root.Path() + "/" + outputDir);
  };

  auto get = appctl({"vevuroro/get/loglevel"}, "get");
  EXPECT_EQ(get->Wait(), 0) << get->Stderr();
  EXPECT_EQ(get->Stdout(), "Current vevuroro logging level is: info\n");

  auto set = appctl({"vevuroro/set/loglevel", "debug"}, "set");
  EXPECT_EQ(set->Wait(), 0) << set->Stderr();
  EXPECT_EQ(set->Stdout(), "Setting vevuroro logging level from info to debug successfully\n");

  auto bad = appctl({"vevuroro/set/loglevel", "loud"}, "bad");
  EXPECT_EQ(bad->Wait(), 2);
  EXPECT_NE(bad->Stderr().find("unknown level loud"), std::string::npos) << bad->Stderr();

  auto count = appctl({"vevuroro/set/loglevel"}, "count");
  EXPECT_EQ(count->Wait(), 2);
  EXPECT_NE(count->Stderr().find("requires at least 1 arguments"), std::string::npos) << count->Stderr();

  auto list = appctl({"list-commands"}, "list");
  EXPECT_EQ(list->Wait(), 0);
  EXPECT_NE(list->Stdout().find("vevuroro/set/loglevel"), std::string::npos);
  EXPECT_NE(list->Stdout().find("LOG_LEVEL"), std::string::npos);
}
#endif

}  // namespace
}  // namespace qor::ovs
