// The host-agent link against the simulator's host-agent socket: the agent's real CfgUdsLink and a real qor-dpsim
// process (or the simulator in this process, where raw bytes must be sent), the DpMsg framing, the capture file
// and the control socket's send commands.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "core/Logger.h"
#include "dataplane/CfgUdsLink.h"
#include "platform/ovs/Unixctl.h"
#include "support/LogCapture.h"
#include "support/TempRoot.h"
#include "support/Wait.h"
#include "tests/dataplane/DpsimHarness.h"
#include "tools/qor-dpsim/Capture.h"
#include "tools/qor-dpsim/Simulator.h"

namespace VevUroro {
namespace {

using qor::dpsim::CaptureRecord;
using qor::dpsim::Direction;
using qor::dpsim::ReadCaptureFile;
using qor::ovs::UnixctlClient;
using qor::test::WaitFor;

std::vector<uint8_t> Bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

// Records of `direction` in a capture file.
std::vector<CaptureRecord> Records(const std::string& path, Direction direction) {
  std::vector<CaptureRecord> out;
  for (auto& record : ReadCaptureFile(path)) {
    if (record.direction == direction) out.push_back(std::move(record));
  }
  return out;
}

class AgentLinkDpsimTest : public ::testing::Test {
 protected:
  bool Logged(const std::string& text) const { return _logs.Count(text) > 0; }
  std::string CapturePath() const { return root.Path() + "/capture/qora_link.cap"; }

  qor::test::TempRoot root;

 private:
  qor::test::LogCapture _logs;
};

TEST_F(AgentLinkDpsimTest, FramesBothWaysAreCapturedAndTheControlSocketSends) {
  qor::test::DpsimProcess dpsim(root.Path(), {"--capture", root.Path() + "/capture"});
  ASSERT_TRUE(dpsim.WaitReady());
  auto link = std::make_shared<CfgUdsLink>(std::chrono::milliseconds(50));
  std::mutex mutex;
  std::vector<std::tuple<uint8_t, bool, std::string>> received;
  link->SetMessageHandler([&](uint8_t type, bool fragment, const std::string& payload) {
    std::lock_guard<std::mutex> lock(mutex);
    received.emplace_back(type, fragment, payload);
  });
  link->Start();
  ASSERT_TRUE(WaitFor([&] { return link->Connected(); }));
  // The client sees its connect complete before the simulator has run its accept handler.
  ASSERT_TRUE(WaitFor([&] {
    return UnixctlClient::Call(dpsim.ControlPath(), "dpsim/connections").text.find("qora_link 1\n") !=
           std::string::npos;
  }));
  auto channels = UnixctlClient::Call(dpsim.ControlPath(), "dpsim/channels");
  EXPECT_NE(channels.text.find("qora_link dpmsg " + root.Path() + "/var/run/zantix/qor-agent/qora_link"),
            std::string::npos)
      << channels.text;

  // Agent to host agent: the frame's bytes land in the capture file as sent.
  ASSERT_TRUE(link->Send("trace-start", 1, true));
  ASSERT_TRUE(WaitFor([&] { return Records(CapturePath(), Direction::kIn).size() == 1; }));
  std::vector<uint8_t> expected = {0x80, 1, 0, 0, 0, 17};
  auto payload = Bytes("trace-start");
  expected.insert(expected.end(), payload.begin(), payload.end());
  auto in = Records(CapturePath(), Direction::kIn);
  EXPECT_EQ(in[0].bytes, expected);
  EXPECT_EQ(in[0].connection, 1u);

  // Host agent to agent through the control socket.
  auto sent = UnixctlClient::Call(dpsim.ControlPath(), "qora/send", {"0a0B0c", "5"});
  ASSERT_TRUE(sent.ok) << sent.text;
  auto fragment = UnixctlClient::Call(dpsim.ControlPath(), "qora/send", {"ff", "0x7", "fragment"});
  ASSERT_TRUE(fragment.ok) << fragment.text;
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return received.size() == 2;
  }));
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(received[0], std::make_tuple(uint8_t{5}, false, std::string("\x0a\x0b\x0c")));
    EXPECT_EQ(received[1], std::make_tuple(uint8_t{7}, true, std::string("\xff")));
  }
  auto out = Records(CapturePath(), Direction::kOut);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].bytes, (std::vector<uint8_t>{0, 5, 0, 0, 0, 9, 0x0a, 0x0b, 0x0c}));
  EXPECT_EQ(out[1].bytes, (std::vector<uint8_t>{0x80, 7, 0, 0, 0, 7, 0xff}));

  for (auto bad : {std::vector<std::string>{"abc"}, {"zz"}, {"00", "256"}, {"00", "1", "more"}}) {
    auto reply = UnixctlClient::Call(dpsim.ControlPath(), "qora/send", bad);
    EXPECT_TRUE(reply.Answered());
    EXPECT_FALSE(reply.ok) << bad[0];
  }

  // A hostile frame from the host agent: the link drops the connection and comes back on a new one.
  auto raw = UnixctlClient::Call(dpsim.ControlPath(), "qora/send-raw", {"000100000002"});
  ASSERT_TRUE(raw.ok) << raw.text;
  ASSERT_TRUE(WaitFor([&] {
    auto now = UnixctlClient::Call(dpsim.ControlPath(), "dpsim/connections");
    return now.text.find("qora_link 2\n") != std::string::npos && link->Connected();
  }));
  EXPECT_TRUE(Logged("Message len 2 is smaller than header len 6"));
  ASSERT_TRUE(link->Send("again"));
  ASSERT_TRUE(WaitFor([&] { return Records(CapturePath(), Direction::kIn).size() == 2; }));
  EXPECT_EQ(Records(CapturePath(), Direction::kIn)[1].connection, 2u);

  // The host agent goes away: the link notices.
  EXPECT_EQ(dpsim.Stop(), 0);
  ASSERT_TRUE(WaitFor([&] { return !link->Connected(); }));
  auto none = UnixctlClient::Call(dpsim.ControlPath(), "qora/send", {"00"});
  EXPECT_FALSE(none.ok);
  link->Stop();
}

// The simulator in this process, with a plain socket as the agent, so that broken frames can be sent.
TEST_F(AgentLinkDpsimTest, BrokenFramesFromTheAgentAreCapturedAndCloseTheConnection) {
  qor::dpsim::Options options;
  options.root = root.Path();
  options.defaultChannels = false;
  options.agentLink = true;
  options.captureDirectory = root.Path() + "/capture";
  qor::dpsim::Simulator simulator(options);
  std::string error;
  ASSERT_TRUE(simulator.Setup(&error)) << error;
  std::thread thread([&] { simulator.Run(); });
  std::string path = simulator.AgentLinkPath();
  auto dump = [&] { return simulator.Execute({"dump", "qora_link"}).second; };

  {
    // One frame split over two writes, then two in one write: each counted whole.
    qor::test::ChannelClient agent(path);
    ASSERT_TRUE(agent.Connected());
    auto one = CfgUdsLink::BuildFrame("first", 3, false);
    ASSERT_TRUE(agent.SendAll(std::vector<uint8_t>(one.begin(), one.begin() + 4)));
    ASSERT_TRUE(WaitFor([&] { return dump().find("connections: 1") != std::string::npos; }));
    ASSERT_TRUE(agent.SendAll(std::vector<uint8_t>(one.begin() + 4, one.end())));
    auto two = CfgUdsLink::BuildFrame("second", 4, false);
    auto three = CfgUdsLink::BuildFrame("third", 4, false);
    two.insert(two.end(), three.begin(), three.end());
    ASSERT_TRUE(agent.SendAll(two));
    ASSERT_TRUE(WaitFor([&] { return dump().find("type 4: 2 frame(s)") != std::string::npos; })) << dump();
    EXPECT_NE(dump().find("type 3: 1 frame(s)"), std::string::npos);
    auto in = Records(CapturePath(), Direction::kIn);
    ASSERT_EQ(in.size(), 3u);
    EXPECT_EQ(in[0].bytes, one);

    // A length below the header: captured, then the connection is closed; nothing after it is read.
    ASSERT_TRUE(agent.SendAll({0, 1, 0, 0, 0, 3, 0, 1, 0, 0, 0, 7, 'x'}));
    EXPECT_TRUE(agent.WaitClosed());
    in = Records(CapturePath(), Direction::kIn);
    ASSERT_EQ(in.size(), 4u);
    EXPECT_EQ(in[3].bytes, (std::vector<uint8_t>{0, 1, 0, 0, 0, 3}));
  }
  {
    // The agent closes inside a frame: what arrived is one short record, and nothing is counted for it.
    qor::test::ChannelClient agent(path);
    ASSERT_TRUE(agent.Connected());
    ASSERT_TRUE(agent.SendAll({0, 1, 0, 0, 0, 20, 1, 2, 3}));
  }
  ASSERT_TRUE(WaitFor([&] { return Records(CapturePath(), Direction::kIn).size() == 5; }));
  EXPECT_EQ(Records(CapturePath(), Direction::kIn)[4].bytes, (std::vector<uint8_t>{0, 1, 0, 0, 0, 20, 1, 2, 3}));
  EXPECT_EQ(Records(CapturePath(), Direction::kIn)[4].connection, 2u);
  ASSERT_TRUE(WaitFor([&] { return dump().find("connections: 0, accepted: 2") != std::string::npos; })) << dump();
  EXPECT_NE(dump().find("framing errors: 2"), std::string::npos) << dump();
  EXPECT_EQ(dump().find("type 1:"), std::string::npos) << dump();

  // Oversized: 16 MiB + 1 declared.
  {
    qor::test::ChannelClient agent(path);
    ASSERT_TRUE(agent.SendAll({0, 1, 0x01, 0, 0, 1}));
    EXPECT_TRUE(agent.WaitClosed());
  }
  simulator.Stop();
  thread.join();
}

}  // namespace
}  // namespace VevUroro
