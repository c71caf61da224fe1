// Replays the overlay reader's fuzz corpus and crash reproducers through the fuzz target's own checks in every run,
// and checks the reader's item walk on the seeds against the frame layout (type, length, session, items).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "apps/overlay/OverlayMessages.h"

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

}  // namespace
}  // namespace VevUroro::overlay
