#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "core/SyslogGate.h"
#include "support/TempRoot.h"

namespace VevUroro {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// A gate over a scripted socket, a driven clock and a recording writer.
class SyslogGateTest : public ::testing::Test {
 protected:
  SyslogGate MakeGate(size_t heldBytes = 1 << 20) {
    return SyslogGate(
        [this] {
          ++probes;
          return present;
        },
        [this](int priority, const std::string& line) { written.emplace_back(priority, line); }, [this] { return now; },
        seconds(1), heldBytes);
  }
  std::vector<std::string> WrittenLines() const {
    std::vector<std::string> out;
    for (const auto& entry : written) out.push_back(entry.second);
    return out;
  }

  bool present = false;
  int probes = 0;
  std::chrono::steady_clock::time_point now{seconds(100)};
  std::vector<std::pair<int, std::string>> written;
};

TEST_F(SyslogGateTest, WithoutASocketTheSocketIsLookedForOncePerIntervalAndNothingIsWritten) {
  SyslogGate gate = MakeGate();
  for (int i = 0; i < 1000; ++i) gate.Write(6, "line " + std::to_string(i));
  EXPECT_EQ(probes, 1);
  now += milliseconds(999);
  gate.Write(6, "still within the second");
  EXPECT_EQ(probes, 1);
  now += milliseconds(1);
  gate.Write(6, "next second");
  EXPECT_EQ(probes, 2);
  EXPECT_TRUE(written.empty());
}

TEST_F(SyslogGateTest, ADaemonThatAppearsGetsTheLinesOfTheIntervalItAppearedInThenEveryLine) {
  SyslogGate gate = MakeGate();
  gate.Write(6, "before, dropped as glibc drops it");
  now += seconds(1);
  gate.Write(6, "first of the last interval");  // the look finds nothing: the older line goes
  gate.Write(3, "second of the last interval");
  present = true;  // the daemon binds its socket in the middle of the interval
  now += seconds(1);
  gate.Write(6, "after the look");
  gate.Write(6, "and the next");
  EXPECT_EQ(WrittenLines(), (std::vector<std::string>{"first of the last interval", "second of the last interval",
                                                      "after the look", "and the next"}));
  EXPECT_EQ(written[1].first, 3);  // each line keeps its priority
  EXPECT_EQ(probes, 3);
}

TEST_F(SyslogGateTest, ADaemonThatGoesAwayStopsCostingAfterTheNextLook) {
  present = true;
  SyslogGate gate = MakeGate();
  gate.Write(6, "a");
  present = false;
  gate.Write(6, "b, before the next look: handed to syslog as before");
  now += seconds(1);
  for (int i = 0; i < 100; ++i) gate.Write(6, "held");
  EXPECT_EQ(WrittenLines(), (std::vector<std::string>{"a", "b, before the next look: handed to syslog as before"}));
  EXPECT_EQ(probes, 2);
}

TEST_F(SyslogGateTest, HeldLinesAreBoundedOldestFirst) {
  SyslogGate gate = MakeGate(10);
  gate.Write(6, "12345");
  gate.Write(6, "67890");
  gate.Write(6, "abcde");  // over ten bytes: the oldest goes
  present = true;
  now += seconds(1);
  gate.Write(6, "now");
  EXPECT_EQ(WrittenLines(), (std::vector<std::string>{"67890", "abcde", "now"}));
}

TEST(SyslogGateSocketTest, OnlyASocketCountsAsTheLogSocket) {
  qor::test::TempRoot root;
  std::string socketPath = root.Path() + "/log";
  std::string filePath = root.Path() + "/file";
  std::ofstream(filePath) << "not a socket";
  EXPECT_FALSE(SyslogGate::SocketAt(socketPath.c_str()));
  EXPECT_FALSE(SyslogGate::SocketAt(filePath.c_str()));
  int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socketPath.size(), sizeof(address.sun_path));
  socketPath.copy(address.sun_path, socketPath.size());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  EXPECT_TRUE(SyslogGate::SocketAt(socketPath.c_str()));
  close(fd);
}

}  // namespace
}  // namespace VevUroro
