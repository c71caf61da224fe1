#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <filesystem>
#include <mutex>
#include <thread>

#include "core/Logger.h"
#include "dataplane/CfgUdsLink.h"
#include "dataplane/uds/UdsServer.h"
#include "platform/QorRoot.h"
#include "support/LogCapture.h"
#include "support/TempRoot.h"
#include "support/Wait.h"

namespace VevUroro {
namespace {

using qor::test::WaitFor;

// The host agent's end: a Common::UdsServer with the DpMsg framer, recording what it sees.
class FakeHostAgent : public Common::UdsConnectionListener {
 public:
  FakeHostAgent()
      : _server(_context, qor::QorPath("/var/run/zantix/qor-agent/qora_link"), &CfgUdsLink::FrameSize, this) {
    std::filesystem::create_directories(qor::QorPath("/var/run/zantix/qor-agent"));
    std::string error;
    EXPECT_TRUE(_server.Start(&error)) << error;
    _thread = std::thread([this] {
      auto guard = boost::asio::make_work_guard(_context);
      _context.run();
    });
  }
  ~FakeHostAgent() override {
    _context.stop();
    _thread.join();
  }
  void OnConnectionStatusChange(uint64_t id, bool up) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (up) {
      ups.push_back(id);
    } else {
      downs.push_back(id);
    }
  }
  void OnMessage(uint64_t, const uint8_t* data, size_t length) override {
    std::lock_guard<std::mutex> lock(mutex);
    frames.emplace_back(data, data + length);
  }
  uint64_t LastUp() {
    std::lock_guard<std::mutex> lock(mutex);
    return ups.empty() ? 0 : ups.back();
  }
  size_t FrameCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return frames.size();
  }
  Common::UdsServer& Server() { return _server; }

  std::mutex mutex;
  std::vector<uint64_t> ups, downs;
  std::vector<std::vector<uint8_t>> frames;

 private:
  boost::asio::io_context _context;
  Common::UdsServer _server;
  std::thread _thread;
};

class CfgUdsLinkTest : public ::testing::Test {
 protected:
  bool Logged(const std::string& text) const { return _logs.Count(text) > 0; }

  qor::test::TempRoot root;

 private:
  qor::test::LogCapture _logs;
};

TEST_F(CfgUdsLinkTest, FramesBothWaysAndReconnects) {
  auto link = std::make_shared<CfgUdsLink>(std::chrono::milliseconds(50));
  std::mutex mutex;
  std::vector<std::pair<uint8_t, std::string>> received;
  link->SetMessageHandler([&](uint8_t type, bool, const std::string& payload) {
    std::lock_guard<std::mutex> lock(mutex);
    received.emplace_back(type, payload);
  });
  link->Start();
  EXPECT_TRUE(Logged("CfgUdsLink: Start"));
  // Nobody listens yet.
  EXPECT_FALSE(link->Send("early"));
  EXPECT_TRUE(Logged("Active connection ID not exist"));
  EXPECT_TRUE(Logged("errorCode=\"LCP02003\""));
  EXPECT_FALSE(link->Send(""));
  EXPECT_TRUE(Logged("Input message is empty"));

  FakeHostAgent agent;
  ASSERT_TRUE(WaitFor([&] { return link->Connected() && agent.LastUp() != 0; }));
  EXPECT_TRUE(Logged("changed its status to up"));
  ASSERT_TRUE(link->Send("trace-request", 1, true));
  ASSERT_TRUE(WaitFor([&] { return agent.FrameCount() == 1; }));
  {
    std::lock_guard<std::mutex> lock(agent.mutex);
    std::vector<uint8_t> expected = {0x80, 1, 0, 0, 0, 19};
    expected.insert(expected.end(), {'t', 'r', 'a', 'c', 'e', '-', 'r', 'e', 'q', 'u', 'e', 's', 't'});
    EXPECT_EQ(agent.frames[0], expected);
  }
  EXPECT_TRUE(Logged("Sending DpMsg, Header of DpMsg: reserved: 0, fragment: 1, type: 1, len: 19"));

  // Two frames in one write, then one split across writes, are each delivered whole.
  auto first = CfgUdsLink::BuildFrame("one", 2, false);
  auto second = CfgUdsLink::BuildFrame("two", 3, false);
  first.insert(first.end(), second.begin(), second.end());
  ASSERT_TRUE(agent.Server().Send(agent.LastUp(), first));
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return received.size() == 2;
  }));
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(received[0], (std::pair<uint8_t, std::string>{2, "one"}));
    EXPECT_EQ(received[1], (std::pair<uint8_t, std::string>{3, "two"}));
  }

  // A length below the header cannot be framed: the link drops the connection and comes back on a new one.
  uint64_t before = agent.LastUp();
  ASSERT_TRUE(agent.Server().Send(before, {0, 1, 0, 0, 0, 2}));
  ASSERT_TRUE(WaitFor([&] { return agent.LastUp() != before && link->Connected(); }));
  EXPECT_TRUE(Logged("Message len 2 is smaller than header len 6"));
  EXPECT_TRUE(Logged("changed its status to down"));
  link->Stop();
}

TEST(CfgUdsLinkFramingTest, FrameSizeReadsTheBigEndianLength) {
  std::vector<uint8_t> frame = CfgUdsLink::BuildFrame(std::string(300, 'x'), 1, false);
  EXPECT_EQ(CfgUdsLink::FrameSize(frame.data(), 5), 0);
  EXPECT_EQ(CfgUdsLink::FrameSize(frame.data(), frame.size()), 306);
  EXPECT_EQ(frame[4], 1);
  EXPECT_EQ(frame[5], 50);
  std::vector<uint8_t> huge = {0, 1, 0x7f, 0xff, 0xff, 0xff};
  EXPECT_EQ(CfgUdsLink::FrameSize(huge.data(), huge.size()), -1);
}

}  // namespace
}  // namespace VevUroro
