#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <sstream>

#include "platform/sha/ShaPmClient.h"
#include "support/ChildProcess.h"
#include "support/LogCapture.h"
#include "support/TempRoot.h"
#include "support/Wait.h"

namespace qor::sha {
namespace {

using namespace std::chrono_literals;

std::map<std::string, std::string> ParseRecord(const std::string& text) {
  std::map<std::string, std::string> fields;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    auto equals = line.find('=');
    if (equals != std::string::npos) fields[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return fields;
}

class ShaPmClientTest : public ::testing::Test {
 protected:
  std::string Read(const std::string& name) {
    return test::ChildProcess::ReadFile(root.Under("/var/run/zantix/sha/qor-vevuroro/" + name));
  }
  std::vector<std::string> Files() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(root.Under("/var/run/zantix/sha/qor-vevuroro"))) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  test::TempRoot root;
  test::LogCapture logs;
  // One "second" is a millisecond here, so intervals pass quickly; tests wait for what happened, not for time.
  ShaPmClient client{"qor-vevuroro", ShaPmClient::Options{1ms}};
};

TEST_F(ShaPmClientTest, HeartbeatIsWrittenAtOnceThenEveryIntervalAndEndsStopped) {
  EXPECT_EQ(client.Directory(), root.Under("/var/run/zantix/sha/qor-vevuroro"));
  ASSERT_TRUE(client.Start());
  ASSERT_TRUE(client.StartProcessHeartbeat(5, 30));
  ASSERT_TRUE(test::WaitFor([&] { return client.HeartbeatSequence() >= 3; }));

  auto beat = ParseRecord(Read("heartbeat"));
  EXPECT_EQ(beat["pid"], std::to_string(getpid()));
  EXPECT_GE(std::stoull(beat["sequence"]), 3u);
  EXPECT_EQ(beat["interval"], "5");
  EXPECT_EQ(beat["timeout"], "30");
  EXPECT_EQ(beat["state"], "running");
  EXPECT_NE(beat["time"].find('.'), std::string::npos);

  client.StopProcessHeartbeat();
  uint64_t last = client.HeartbeatSequence();
  auto stopped = ParseRecord(Read("heartbeat"));
  EXPECT_EQ(stopped["state"], "stopped");
  EXPECT_EQ(stopped["sequence"], std::to_string(last));
  client.Stop();
  // Nothing else was written after the stop record, and no temporary file was left behind.
  EXPECT_EQ(ParseRecord(Read("heartbeat"))["sequence"], std::to_string(last));
  EXPECT_EQ(Files(), std::vector<std::string>{"heartbeat"});
}

TEST_F(ShaPmClientTest, CollectionsRunOnTheClientThreadAndReplaceTheirFile) {
  std::atomic<int> calls{0};
  std::atomic<bool> onOwnThread{true};
  std::thread::id testThread = std::this_thread::get_id();
  int context = 42;
  ASSERT_TRUE(client.RegisterCombinedMessageMetricCollection(
      "combined.message",
      [&](void* ctx) -> std::optional<std::string> {
        if (std::this_thread::get_id() == testThread) onOwnThread = false;
        int n = ++calls;
        return "context " + std::to_string(*static_cast<int*>(ctx)) + " call " + std::to_string(n);
      },
      &context, 20));
  ASSERT_TRUE(client.RegisterCombinedMessageMetricCollection(
      "quiet", [](void*) -> std::optional<std::string> { return std::nullopt; }, nullptr, 1));
  ASSERT_TRUE(client.Start());
  client.StartMetricCollection();
  ASSERT_TRUE(test::WaitFor([&] { return calls.load() >= 3; }));
  client.StopMetricCollection();
  int made = calls.load();
  EXPECT_EQ(Read("combined.message"), "context 42 call " + std::to_string(made));
  EXPECT_TRUE(onOwnThread.load());
  EXPECT_FALSE(std::filesystem::exists(root.Under("/var/run/zantix/sha/qor-vevuroro/quiet")));

  client.UnregisterMetricCollectionAll();
  client.StartMetricCollection();
  client.Stop();
  EXPECT_EQ(calls.load(), made);
  EXPECT_EQ(Files(), std::vector<std::string>{"combined.message"});
}

// Shutdown releases the callback's context right after unregistering: no callback may still be running then.
TEST_F(ShaPmClientTest, UnregisterWaitsForACallbackInProgress) {
  std::atomic<bool> entered{false}, release{false}, finished{false};
  client.RegisterCombinedMessageMetricCollection(
      "slow",
      [&](void*) -> std::optional<std::string> {
        entered = true;
        test::WaitFor([&] { return release.load(); });
        finished = true;
        return "slow";
      },
      nullptr, 1000);
  ASSERT_TRUE(client.Start());
  client.StartMetricCollection();
  ASSERT_TRUE(test::WaitFor([&] { return entered.load(); }));
  bool finishedWhenReturned = false;
  std::thread stopper([&] {
    client.StopMetricCollection();
    client.UnregisterMetricCollectionAll();
    finishedWhenReturned = finished.load();
  });
  release = true;
  stopper.join();
  EXPECT_TRUE(finishedWhenReturned);
  EXPECT_EQ(Read("slow"), "slow");
}

TEST_F(ShaPmClientTest, BadNamesAndArgumentsAreRefused) {
  ShaPmClient badDaemon("../escape");
  EXPECT_FALSE(badDaemon.Start());
  auto callback = [](void*) -> std::optional<std::string> { return "x"; };
  for (const char* name : {"", "a/b", "..", ".hidden", "heartbeat"}) {
    EXPECT_FALSE(client.RegisterCombinedMessageMetricCollection(name, callback, nullptr, 1)) << name;
  }
  EXPECT_FALSE(client.RegisterCombinedMessageMetricCollection("ok", nullptr, nullptr, 1));
  EXPECT_TRUE(client.RegisterCombinedMessageMetricCollection("ok", callback, nullptr, 1));
  EXPECT_FALSE(client.RegisterCombinedMessageMetricCollection("ok", callback, nullptr, 1));
  EXPECT_FALSE(client.StartProcessHeartbeat(0, 30));
  EXPECT_FALSE(client.StartProcessHeartbeat(10, 5));
  EXPECT_TRUE(logs.Has({"ShaPmClient: invalid heartbeat interval 10 s, timeout 5 s"}));
  // Stop without Start, twice, and a heartbeat stop without a heartbeat are harmless.
  client.Stop();
  client.Stop();
  client.StopProcessHeartbeat();
  EXPECT_EQ(client.HeartbeatSequence(), 0u);
}

TEST_F(ShaPmClientTest, RestartsAfterStop) {
  ASSERT_TRUE(client.Start());
  ASSERT_TRUE(client.StartProcessHeartbeat(1, 1));
  ASSERT_TRUE(test::WaitFor([&] { return client.HeartbeatSequence() >= 1; }));
  client.Stop();
  uint64_t before = client.HeartbeatSequence();
  ASSERT_TRUE(client.Start());
  ASSERT_TRUE(test::WaitFor([&] { return client.HeartbeatSequence() > before; }));
  client.StopProcessHeartbeat();
  client.Stop();
}

}  // namespace
}  // namespace qor::sha
