#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

#include "core/Logger.h"
#include "support/TempRoot.h"

namespace VevUroro {
namespace {

struct CountingArg {
  int* conversions;
};
std::ostream& operator<<(std::ostream& out, const CountingArg& arg) {
  ++*arg.conversions;
  return out << "counted";
}

// Captures emitted lines and the console echo for the duration of a test.
class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogLevel(LOG_LEVEL_INFO);
    SetOutputToConsole(true);
    logging::SetLineSink([this](int priority, const std::string& line) { lines.emplace_back(priority, line); });
    logging::SetConsoleStream(&console);
    logging::LoadLookupFiles();
  }
  void TearDown() override {
    logging::SetLineSink(nullptr);
    logging::SetConsoleStream(nullptr);
    SetLogLevel(LOG_LEVEL_INFO);
    root.reset();
    logging::LoadLookupFiles();
  }
  void WriteLookups(const std::string& ids, const std::string& keys) {
    root = std::make_unique<qor::test::TempRoot>();
    root->WriteFile("/opt/zantix/qor-common/logging/message-ids.txt", ids);
    root->WriteFile("/opt/zantix/qor-common/logging/structured-data.txt", keys);
    logging::LoadLookupFiles();
  }

  std::vector<std::pair<int, std::string>> lines;
  std::ostringstream console;
  std::unique_ptr<qor::test::TempRoot> root;
};

TEST_F(LoggerTest, NumberedPlaceholdersTakeArgumentsByNumber) {
  EXPECT_EQ(FormatNumbered("%2 then %1, %3 missing, 100%", {"a", "b"}), "b then a, %3 missing, 100%");
  { Logger(LOG_LEVEL_INFO, "%1 %2 %3 %4 %5 %6 %7 %8 %9", 1, -2, true, false, "s", std::string("t"), 'c', 8u, 9L); }
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].second.find("] 1 -2 true false s t c 8 9"), std::string::npos) << lines[0].second;
}

// A value that writes its own text is appended where its placeholder stands, as often as it is named; a text
// formatted by the caller is taken as it is, placeholders and all.
struct AppendingArg {
  int* appends;
  void AppendTo(std::string& out) const {
    ++*appends;
    out += "<own>";
  }
};

TEST_F(LoggerTest, ValuesAppendTheirOwnTextAndPreformattedTextsStayAsTheyAre) {
  int appends = 0;
  { Logger(LOG_LEVEL_INFO, "%2 a=%1 b=%1 %3", AppendingArg{&appends}, "x", 7u); }
  EXPECT_EQ(appends, 2);
  { Logger(LOG_LEVEL_INFO, "unused %2", AppendingArg{&appends}, "y"); }
  EXPECT_EQ(appends, 2);
  { Logger(LOG_LEVEL_INFO, LogText{"taken as is: %1 100%"}).AddTag("plain"); }
  { Logger(LOG_LEVEL_DEBUG, LogText{"not admitted"}); }
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].second.find("] x a=<own> b=<own> 7"), std::string::npos) << lines[0].second;
  EXPECT_NE(lines[1].second.find("] unused y"), std::string::npos) << lines[1].second;
  EXPECT_NE(lines[2].second.find(R"(tag="plain"] taken as is: %1 100%)"), std::string::npos) << lines[2].second;
  EXPECT_EQ(console.str().find("not admitted"), std::string::npos);
}

// Emission reads its set-up without the lock: a thread that logged before a change follows it on its next line.
TEST_F(LoggerTest, AThreadFollowsSinkChangesMadeAfterItsLastLine) {
  std::vector<std::string> other;
  auto log = [](const char* text) { std::thread([text] { Logger(LOG_LEVEL_INFO, "%1", text); }).join(); };
  std::thread writer;
  std::mutex step;
  std::condition_variable stepped;
  int stage = 0;
  writer = std::thread([&] {
    Logger(LOG_LEVEL_INFO, "before");
    std::unique_lock<std::mutex> lock(step);
    stage = 1;
    stepped.notify_all();
    stepped.wait(lock, [&] { return stage == 2; });
    lock.unlock();
    Logger(LOG_LEVEL_INFO, "after");
  });
  {
    std::unique_lock<std::mutex> lock(step);
    stepped.wait(lock, [&] { return stage == 1; });
    logging::SetLineSink([&other](int, const std::string& line) { other.push_back(line); });
    stage = 2;
    stepped.notify_all();
  }
  writer.join();
  log("third");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].second.find("] before"), std::string::npos);
  ASSERT_EQ(other.size(), 2u);
  EXPECT_NE(other[0].find("] after"), std::string::npos);
  EXPECT_NE(other[1].find("] third"), std::string::npos);
}

TEST_F(LoggerTest, DisabledRecordIsNeitherFormattedNorEmitted) {
  int conversions = 0;
  { Logger(LOG_LEVEL_DEBUG, "value %1", CountingArg{&conversions}); }
  EXPECT_EQ(conversions, 0);
  EXPECT_TRUE(lines.empty());
  SetLogLevel(LOG_LEVEL_DEBUG);
  { Logger(LOG_LEVEL_DEBUG, "value %1", CountingArg{&conversions}); }
  EXPECT_EQ(conversions, 1);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].first, LOG_LOCAL6 | LOG_DEBUG);
}

TEST_F(LoggerTest, LineHasTheStructuredFormatAndPriorities) {
  { Logger(LOG_LEVEL_ERROR, "Failed loading config file: %1", "/x.xml").AddTag("errorCode:LCP00003"); }
  { Logger(LOG_LEVEL_WARN, "w"); }
  { Logger(LOG_LEVEL_INFO, "i").AddTag("plain").SetEntityId("e1").SetS2Comp("sub"); }
  { Logger(LOG_LEVEL_FATAL, "f"); }
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].first, 179);
  EXPECT_EQ(lines[1].first, 180);
  EXPECT_EQ(lines[2].first, 182);
  EXPECT_EQ(lines[3].first, 179);
  std::regex error("QOR " + std::to_string(getpid()) +
                   R"( - \[qor@32473 comp="qor-controller" subcomp="vevUroro" tid="\d+" level="error" )"
                   R"(errorCode="LCP00003"\] Failed loading config file: /x\.xml)");
  EXPECT_TRUE(std::regex_match(lines[0].second, error)) << lines[0].second;
  EXPECT_NE(lines[2].second.find(R"(s2comp="sub" entId="e1" tid=)"), std::string::npos) << lines[2].second;
  EXPECT_NE(lines[2].second.find(R"(level="info" tag="plain"])"), std::string::npos) << lines[2].second;
}

TEST_F(LoggerTest, ConsoleEchoHasUtcMillisecondStamp) {
  { Logger(LOG_LEVEL_INFO, "hello"); }
  std::regex echo(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \[qor@32473 [^\]]*\] hello\n)");
  EXPECT_TRUE(std::regex_match(console.str(), echo)) << console.str();
  console.str("");
  SetOutputToConsole(false);
  { Logger(LOG_LEVEL_INFO, "quiet"); }
  EXPECT_EQ(console.str(), "");
}

TEST_F(LoggerTest, TimestampZoneFormatting) {
  auto t = std::chrono::system_clock::time_point(std::chrono::milliseconds(1700000000123LL));
  EXPECT_EQ(logging::FormatTimestamp(t), "2023-11-14T22:13:20.123Z");
  EXPECT_EQ(logging::FormatTimestamp(t, 5 * 3600 + 1800), "2023-11-15T03:43:20.123+05:30");
  EXPECT_EQ(logging::FormatTimestamp(t, -3600), "2023-11-14T21:13:20.123-01:00");
}

TEST_F(LoggerTest, UnknownTagKeyOrValueIsDroppedAndMarksInvalid) {
  WriteLookups("MSG-1\n  MSG-2  \n", "errorCode\nkind=a,b\n");
  { Logger(LOG_LEVEL_INFO, "ok").AddTag("errorCode:LCP00001").AddTag("kind:a"); }
  { Logger(LOG_LEVEL_INFO, "bad key").AddTag("color:red"); }
  { Logger(LOG_LEVEL_INFO, "bad value").AddTag("kind:c"); }
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].second.find("invalid"), std::string::npos);
  EXPECT_NE(lines[0].second.find(R"(errorCode="LCP00001" kind="a"])"), std::string::npos);
  EXPECT_EQ(lines[1].second.find("color"), std::string::npos);
  EXPECT_NE(lines[1].second.find(R"( invalid="true"])"), std::string::npos) << lines[1].second;
  EXPECT_NE(lines[2].second.find(R"( invalid="true"])"), std::string::npos) << lines[2].second;
}

TEST_F(LoggerTest, MessageIdIsValidatedAgainstTheList) {
  WriteLookups("MSG-1\n  MSG-2  \n", "errorCode\n");
  { Logger(LOG_LEVEL_INFO, "known").SetMessageId("MSG-2"); }
  { Logger(LOG_LEVEL_INFO, "unknown").SetMessageId("MSG-9"); }
  { Logger(LOG_LEVEL_INFO, "none").SetMessageId(""); }
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].second.find(" MSG-2 [qor@32473"), std::string::npos) << lines[0].second;
  EXPECT_NE(lines[1].second.find(" - [qor@32473"), std::string::npos) << lines[1].second;
  EXPECT_NE(lines[1].second.find(R"(invalid="true"])"), std::string::npos);
  EXPECT_NE(lines[2].second.find(" - [qor@32473"), std::string::npos);
  EXPECT_EQ(lines[2].second.find("invalid"), std::string::npos);
}

TEST_F(LoggerTest, WithoutLookupFilesEveryTagIsKept) {
  { Logger(LOG_LEVEL_INFO, "x").AddTag("anything:goes").SetMessageId("ID-7"); }
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].second.find(" ID-7 [qor@32473"), std::string::npos);
  EXPECT_NE(lines[0].second.find(R"(anything="goes"])"), std::string::npos);
}

TEST_F(LoggerTest, UdpModeSendsTheLineToTheCollector) {
  logging::SetLineSink(nullptr);
  int collector = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(collector, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  socklen_t length = sizeof(address);
  ASSERT_EQ(getsockname(collector, reinterpret_cast<sockaddr*>(&address), &length), 0);
  ASSERT_TRUE(logging::SetUdpDestination("127.0.0.1", ntohs(address.sin_port)));
  { Logger(LOG_LEVEL_WARN, "over udp %1", 42).AddTag("errorCode:LCP00001"); }
  logging::SetUdpDestination("", 0);

  pollfd ready{collector, POLLIN, 0};
  ASSERT_EQ(poll(&ready, 1, 20000), 1);
  char buffer[2048];
  ssize_t received = recv(collector, buffer, sizeof(buffer), 0);
  close(collector);
  ASSERT_GT(received, 0);
  std::string line(buffer, static_cast<size_t>(received));
  EXPECT_EQ(line.rfind("QOR " + std::to_string(getpid()) + " - [qor@32473 ", 0), 0u) << line;
  EXPECT_NE(line.find(R"(level="warn" errorCode="LCP00001"] over udp 42)"), std::string::npos) << line;
}

}  // namespace
}  // namespace VevUroro
