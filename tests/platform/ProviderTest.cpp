#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/post.hpp>
#include <functional>
#include <thread>

#include "platform/AsioQorProvider.h"
#include "platform/QorRoot.h"
#include "platform/ovs/Unixctl.h"
#include "support/TempRoot.h"
#include "support/Wait.h"

namespace qor {
namespace {

using namespace std::chrono_literals;

TEST(AsioQorProviderTest, RunReturnsAfterStopFromAnotherThread) {
  boost::property_tree::ptree config;
  config.put("vevUroro.workGroup.workThreads", 4);
  AsioQorProvider provider({false}, config, "agent");
  EXPECT_EQ(provider.Config().get<std::string>("vevUroro.workGroup.workThreads"), "4");
  EXPECT_EQ(provider.Name(), "agent");
  EXPECT_EQ(provider.metrics(), provider.metrics());

  std::atomic<int> ran{0};
  for (int i = 0; i < 10; ++i) boost::asio::post(provider.IoContext(), [&] { ++ran; });
  std::thread stopper([&] {
    test::WaitFor([&] { return ran.load() == 10; });
    provider.Stop();
  });
  provider.Run(3);
  stopper.join();
  EXPECT_EQ(ran.load(), 10);
  EXPECT_TRUE(provider.Stopped());
}

TEST(AsioQorProviderTest, StopBeforeRunMakesRunReturnAtOnce) {
  AsioQorProvider provider({false}, {}, "");
  provider.Stop();
  provider.Stop();
  provider.Run(1);
  EXPECT_TRUE(provider.Stopped());
}

// Runs `body` in a child process and returns its exit status, or -(signal) when a signal ended it. The child
// gets the write end of a pipe and writes one byte when it is ready for the parent's `onReady` (which may signal
// it). Signal dispositions are per process, so the test process's own are never touched.
int InChild(const std::function<int(int readyFd)>& body, const std::function<void(pid_t)>& onReady = nullptr) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return 1000;
  pid_t pid = fork();
  if (pid == 0) {
    close(pipeFds[0]);
    int code = body(pipeFds[1]);
    _exit(code);  // no exit handlers: they belong to the parent
  }
  close(pipeFds[1]);
  if (onReady) {
    pollfd ready{pipeFds[0], POLLIN, 0};
    if (poll(&ready, 1, 20000) == 1) {
      onReady(pid);
    } else {
      kill(pid, SIGKILL);
    }
  }
  close(pipeFds[0]);
  int status = 0;
  bool done = test::WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 30s);
  if (!done) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return 1001;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

void Ready(int fd) {
  (void)!write(fd, "r", 1);
}

TEST(AsioQorProviderSignalTest, SigtermFromOutsideMakesRunReturn) {
  int status = InChild(
      [](int readyFd) {
        AsioQorProvider provider({}, {}, "");
        Ready(readyFd);
        provider.Run(2);
        return provider.Stopped() ? 0 : 2;
      },
      [](pid_t child) { kill(child, SIGTERM); });
  EXPECT_EQ(status, 0);
}

TEST(AsioQorProviderSignalTest, SigintRaisedWhileRunIsOnAnotherThread) {
  int status = InChild([](int) {
    AsioQorProvider provider({}, {}, "");
    std::atomic<bool> running{false};
    boost::asio::post(provider.IoContext(), [&] { running = true; });
    std::thread loop([&] { provider.Run(1); });
    if (!test::WaitFor([&] { return running.load(); })) return 3;
    kill(getpid(), SIGINT);
    loop.join();
    return provider.Stopped() ? 0 : 2;
  });
  EXPECT_EQ(status, 0);
}

TEST(AsioQorProviderSignalTest, SignalDuringStartUpIsKeptUntilRun) {
  int status = InChild([](int) {
    AsioQorProvider provider({}, {}, "");
    raise(SIGTERM);  // before anyone runs the loop
    provider.Run(1);
    return provider.Stopped() ? 0 : 2;
  });
  EXPECT_EQ(status, 0);
}

// The unixctl library would take SIGTERM for itself when first used; the agent starts its command servers after
// the provider, and tools may start them with no provider at all. Neither may lose SIGTERM handling.
TEST(AsioQorProviderSignalTest, UnixctlServerDoesNotTakeSigtermAway) {
  test::TempRoot root;  // the children inherit QOR_ROOT; the parent removes it
  int status = InChild(
      [](int readyFd) {
        AsioQorProvider provider({}, {}, "");
        ovs::UnixctlServer cli(QorPath("/var/run/zantix/qor-vevuroro/vevuroro-cli"));
        cli.RegisterCommand("ping", "", 0, 0, [](const auto&) { return ovs::UnixctlReply::Ok("pong"); });
        if (cli.Start() != 0) return 3;
        if (ovs::UnixctlClient::Call(cli.Path(), "ping").text != "pong\n") return 4;
        Ready(readyFd);
        provider.Run(1);
        cli.Stop();
        return provider.Stopped() ? 0 : 2;
      },
      [](pid_t child) { kill(child, SIGTERM); });
  EXPECT_EQ(status, 0);

  status = InChild([](int) {
    ovs::UnixctlServer server(QorPath("/var/run/test/tool.ctl"));
    if (server.Start() != 0) return 3;
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGALRM}) {
      struct sigaction action;
      sigaction(signal, nullptr, &action);
      if (action.sa_handler != SIG_DFL) return 10 + signal;
    }
    // With no provider SIGTERM keeps its default action: the process ends by the signal.
    kill(getpid(), SIGTERM);
    test::WaitFor([] { return false; }, 20s);
    return 5;
  });
  EXPECT_EQ(status, -SIGTERM);
}

}  // namespace
}  // namespace qor
