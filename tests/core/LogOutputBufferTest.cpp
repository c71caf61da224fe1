#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/LogOutputBuffer.h"
#include "core/Logger.h"
#include "support/ChildProcess.h"
#include "support/TempRoot.h"
#include "support/Wait.h"

namespace VevUroro {
namespace {

using std::chrono::hours;
using std::chrono::milliseconds;

// The address and thread sanitizer runtimes take the fault signals before main() to report the fault; the buffer
// leaves a signal that someone already handles to them, so under those runtimes it cannot write on these.
bool FaultSignalTakenBySanitizer(int signal) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return signal == SIGSEGV || signal == SIGBUS || signal == SIGFPE;
#else
  (void)signal;
  return false;
#endif
}

size_t Count(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

class LogOutputBufferTest : public ::testing::Test {
 protected:
  // Runs `body` in a forked child whose standard output is `out`, with the agent's logger writing the console echo
  // there (and nothing to syslog); returns the child's wait status.
  int RunInChild(const std::function<void()>& body) {
    pid_t pid = fork();
    if (pid == 0) {
      int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) _exit(120);
      logging::SetLineSink([](int, const std::string&) {});
      logging::SetConsoleStream(nullptr);
      SetOutputToConsole(true);
      SetLogLevel(LOG_LEVEL_INFO);
      body();
      _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
  }
  std::string Output() const { return qor::test::ChildProcess::ReadFile(out); }

  qor::test::TempRoot root;
  std::string out = root.Path() + "/stdout.txt";
};

class CrashSignalTest : public LogOutputBufferTest, public ::testing::WithParamInterface<int> {};

TEST_P(CrashSignalTest, ALineBufferedWhenTheProcessIsKilledBySignalStillReachesTheFile) {
  const int signal = GetParam();
  if (FaultSignalTakenBySanitizer(signal)) GTEST_SKIP() << "the sanitizer runtime handles signal " << signal;
  int status = RunInChild([&] {
    LogOutputBuffer::Console().SetMaxDelay(hours(1));  // only the signal can write it now
    Logger(LOG_LEVEL_INFO, "the last words before signal %1", signal);
    std::string before = qor::test::ChildProcess::ReadFile(out);
    if (before.find("the last words") != std::string::npos) _exit(121);  // it was not buffered: nothing tested
    // To this thread: sent to the process, it may be taken by the flusher thread while this one reaches _exit.
    raise(signal);
    _exit(122);
  });
  ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << (WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  EXPECT_EQ(WTERMSIG(status), signal);  // and the signal kept its default course
  std::string text = Output();
  EXPECT_EQ(Count(text, "the last words before signal " + std::to_string(signal) + "\n"), 1u) << text;
  EXPECT_NE(text.find("level=\"info\"]"), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(Signals, CrashSignalTest,
                         ::testing::Values(SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGQUIT, SIGUSR1));

TEST_F(LogOutputBufferTest, AFaultInTheProcessStillWritesTheBufferedLines) {
  if (FaultSignalTakenBySanitizer(SIGSEGV)) GTEST_SKIP() << "the sanitizer runtime handles SIGSEGV";
  int status = RunInChild([] {
    LogOutputBuffer::Console().SetMaxDelay(hours(1));
    Logger(LOG_LEVEL_INFO, "written before the fault");
    volatile int* nowhere = nullptr;
    *nowhere = 1;
  });
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);
  EXPECT_EQ(Count(Output(), "written before the fault\n"), 1u);
}

TEST_F(LogOutputBufferTest, ExitWritesTheBufferAndLaterLinesGoThrough) {
  int status = RunInChild([] {
    struct Late {
      ~Late() { Logger(LOG_LEVEL_INFO, "from a static destructor"); }
    };
    static Late late;  // made before the console, so destroyed after the console's exit handler ran
    LogOutputBuffer::Console().SetMaxDelay(hours(1));
    Logger(LOG_LEVEL_INFO, "buffered at exit");
    std::exit(0);
  });
  ASSERT_TRUE(WIFEXITED(status));
  std::string text = Output();
  EXPECT_EQ(Count(text, "buffered at exit\n"), 1u) << text;
  EXPECT_EQ(Count(text, "from a static destructor\n"), 1u) << text;
}

TEST_F(LogOutputBufferTest, ErrorLinesAreWrittenAtOnceAndOtherLinesWithinTheDelay) {
  // Repeated: whether the flusher wakes for the first line before the error line writes it is up to the scheduler,
  // and a line after that write must not inherit the first line's hour-long deadline.
  int status = RunInChild([&] {
    for (int round = 0; round < 20; ++round) {
      const std::string info = "an info line " + std::to_string(round);
      const std::string error = "an error line " + std::to_string(round);
      const std::string flushed = "written by the flusher " + std::to_string(round) + "\n";
      LogOutputBuffer::Console().SetMaxDelay(hours(1));
      Logger(LOG_LEVEL_INFO, info.c_str());
      std::this_thread::yield();               // gives the flusher a chance to wake for the info line first
      Logger(LOG_LEVEL_ERROR, error.c_str());  // writes what is buffered before it too
      std::string text = qor::test::ChildProcess::ReadFile(out);
      if (text.find(info) == std::string::npos || text.find(error) == std::string::npos) _exit(3);
      LogOutputBuffer::Console().SetMaxDelay(milliseconds(5));
      Logger(LOG_LEVEL_INFO, flushed.substr(0, flushed.size() - 1).c_str());
      bool seen =
          qor::test::WaitFor([&] { return qor::test::ChildProcess::ReadFile(out).find(flushed) != std::string::npos; });
      if (!seen) _exit(4);
    }
    _exit(0);
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::string text = Output();
  EXPECT_LT(text.find("an info line 0"), text.find("an error line 0"));
}

TEST_F(LogOutputBufferTest, AForkedChildDoesNotWriteItsParentsBufferedLinesAgain) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer cannot start threads in the child of a process that has several";
#endif
  int status = RunInChild([&] {
    LogOutputBuffer::Console().SetMaxDelay(hours(1));
    Logger(LOG_LEVEL_INFO, "the parent's line");
    pid_t child = fork();
    if (child == 0) {
      Logger(LOG_LEVEL_INFO, "the child's line");
      std::exit(0);  // its exit handler writes its own buffer only
    }
    int childStatus = 0;
    waitpid(child, &childStatus, 0);
    std::exit(WIFEXITED(childStatus) ? WEXITSTATUS(childStatus) : 5);
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::string text = Output();
  EXPECT_EQ(Count(text, "the parent's line\n"), 1u) << text;
  EXPECT_EQ(Count(text, "the child's line\n"), 1u) << text;
}

// A buffer of its own over a file in a temporary directory; each test closes `fd` when it is done.
class LogOutputBufferOwnTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_GE(fd, 0); }

  qor::test::TempRoot root;
  std::string path = root.Path() + "/out";
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
};

TEST_F(LogOutputBufferOwnTest, LinesLongerThanTheBufferAndManySmallOnesKeepTheirOrder) {
  LogOutputBuffer buffer(fd, hours(1));
  std::string expected;
  std::string big(LogOutputBuffer::kCapacity + 10, 'x');
  for (int i = 0; i < 5000; ++i) {
    std::string line = "line " + std::to_string(i);
    buffer.Append({line, "\n"}, false);
    expected += line + "\n";
    if (i == 2500) {
      buffer.Append({big, "\n"}, false);
      expected += big + "\n";
    }
  }
  buffer.Flush();
  close(fd);
  EXPECT_EQ(qor::test::ChildProcess::ReadFile(path), expected);
}

TEST_F(LogOutputBufferOwnTest, LinesFromManyThreadsWhileTheFlusherWritesStayWholeAndInOrder) {
  constexpr int kThreads = 4, kLines = 3000;
  {
    // No delay: the flusher writes while the threads append, and the lines written at once (every 97th) must wait
    // for the older lines it is writing.
    LogOutputBuffer buffer(fd, milliseconds(0));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&buffer, t] {
        for (int i = 0; i < kLines; ++i) {
          buffer.Append({"thread ", std::to_string(t), " line ", std::to_string(i), "\n"}, i % 97 == 0);
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
  }
  close(fd);
  std::istringstream text(qor::test::ChildProcess::ReadFile(path));
  std::vector<int> next(kThreads, 0);
  std::string line;
  int count = 0;
  while (std::getline(text, line)) {
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "thread %d line %d", &t, &i), 2) << line;
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    ASSERT_EQ(i, next[t]) << line;
    ++next[t];
    ++count;
  }
  EXPECT_EQ(count, kThreads * kLines);
}

// Lines that come in bursts (the flusher gathers them) and lines after a pause (it is woken for them) all reach the
// file by themselves, in order: no line waits for a later one, a flush or the exit.
TEST_F(LogOutputBufferOwnTest, BurstsAndLinesAfterAPauseAreWrittenWithoutAFlush) {
  LogOutputBuffer buffer(fd, milliseconds(0));
  std::string expected;
  for (int round = 0; round < 30; ++round) {
    const int lines = round % 3 == 0 ? 1 : 200;
    for (int i = 0; i < lines; ++i) {
      std::string line = "round " + std::to_string(round) + " line " + std::to_string(i) + "\n";
      buffer.Append({line}, false);
      expected += line;
    }
    ASSERT_TRUE(qor::test::WaitFor([&] { return qor::test::ChildProcess::ReadFile(path) == expected; }))
        << "round " << round;
    if (round % 5 == 0) std::this_thread::sleep_for(milliseconds(1));  // a quiet moment: the flusher goes idle
  }
  close(fd);
}

}  // namespace
}  // namespace VevUroro
