// Replays the overlay reader's fuzz corpus and crash reproducers through the fuzz target's own checks in every run,
// and checks the reader's item walk on the seeds against the frame layout (type, length, session, items). The L2
// application's fuzz seeds run through that target's body and must reach the handlers they are meant for.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "apps/overlay/OverlayMessages.h"
#include "fuzz/L2AppFuzzInput.h"
#include "support/LogCapture.h"

namespace VevUroro::overlay {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

size_t Replay(const fs::path& directory) {
  size_t count = 0;
  if (!fs::is_directory(directory)) return 0;
  for (const auto& file : fs::directory_iterator(directory)) {
    const auto bytes = ReadFile(file.path());
    EXPECT_EQ(CheckReceivedBytes(bytes.data(), bytes.size()), "") << file.path();
    ++count;
  }
  return count;
}

TEST(OverlayCorpus, SeedsAndReproducersPassTheFuzzChecks) {
  EXPECT_GT(Replay(fs::path(QOR_FUZZ_DIR) / "corpus" / "overlay_message"), 0u);
  EXPECT_GT(Replay(fs::path(QOR_FUZZ_DIR) / "regression" / "overlay_message"), 0u);
}

TEST(OverlayCorpus, SeedsAreWholeFrames) {
  for (const auto& file : fs::directory_iterator(fs::path(QOR_FUZZ_DIR) / "corpus" / "overlay_message")) {
    const auto bytes = ReadFile(file.path());
    ReceivedMessage message;
    size_t badAt = 0;
    ASSERT_TRUE(ReadMessage(bytes.data(), bytes.size(), &message, &badAt)) << file.path();
    // Bytes 2-3: the total length; 4-7: the session; items from offset 8 fill the rest exactly.
    EXPECT_EQ((bytes[2] << 8 | bytes[3]), static_cast<int>(bytes.size()));
    size_t total = 8;
    for (const Tlv& tlv : message.tlvs) total += tlv.length + 4;
    EXPECT_EQ(total, bytes.size()) << file.path();
  }
}

TEST(OverlayCorpus, WrongOrderSeedIsRefusedWhole) {
  const auto bytes = ReadFile(fs::path(QOR_FUZZ_DIR) / "corpus" / "overlay_message" / "wrong_order");
  ReceivedMessage message;
  size_t badAt = 0;
  ASSERT_TRUE(ReadMessage(bytes.data(), bytes.size(), &message, &badAt));
  EXPECT_EQ(ParseLocalUpdate(message).error, LocalUpdateError::kOrder);
}

TEST(OverlayCorpus, L2ApplicationSeedsReachTheHandlers) {
  qor::test::LogCapture log{LOG_LEVEL_INFO};
  const fs::path directory = fs::path(QOR_FUZZ_DIR) / "corpus" / "apps_l2app";
  size_t count = 0;
  for (const auto& file : fs::directory_iterator(directory)) {
    const auto bytes = ReadFile(file.path());
    EXPECT_EQ(fuzz::RunL2AppInput(bytes.data(), bytes.size()), "") << file.path();
    ++count;
  }
  EXPECT_GE(count, 10u);
  for (const char* reached :
       {"L2App: Set logical switch UUID", "L2App: Remove logical switch(VNI: 5001)", "Discovered mac 00:50:56:00:00:aa",
        "L2App: add local routing domain VTEP 50, switchID 9", "L2App: L2 remote routing state cache sync to dp msg",
        "L2App: get out-of-sync(1) report from dataplane", "L2App: Insert queued ovl2 instance 5",
        "L2App: ovl2 instance 5 already exit", "L2AlarmReporter: OnAlarmMessage: received new Alarm message",
        "L2App: skip messages with sessionID 65535", "L2App: tkmlink down"}) {
    EXPECT_TRUE(log.Has({reached})) << reached;
  }
}

}  // namespace
}  // namespace VevUroro::overlay
