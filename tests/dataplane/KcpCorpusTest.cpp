// Replays the fuzz target's seed corpus and its crash reproducers through the fuzz target's own checks, so that
// every normal test run (no clang needed) covers them, and under the sanitizer builds reads out of bounds show.
// The data items the reader finds are also checked against a walk written here from the format's tables, so that
// the replay does not only test the codec against itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "dataplane/kcp/KcpReader.h"
#include "dataplane/kcp/KcpSelfCheck.h"

namespace VevUroro::kcp {
namespace {

namespace fs = std::filesystem;

using Items = std::vector<std::pair<uint16_t, uint16_t>>;  // (data type, data length) of each data item

uint16_t Big16(const std::vector<uint8_t>& bytes, size_t offset) {
  return static_cast<uint16_t>((bytes[offset] << 8) | bytes[offset + 1]);
}

// The data items of a message: 4-byte header (type, length), items from offset 4 (an Update: from offset 5, after
// its flags byte, and only when the message has 6 bytes and its first item fits in length - 5), each item a 4-byte
// TLV header (type, length including the header) followed by its payload; the walk ends at the message length or
// the end of the bytes, whichever comes first, or at the first item that does not fit. Session control carries one.
Items ReferenceItems(const std::vector<uint8_t>& bytes) {
  Items items;
  if (bytes.size() < 4) return items;
  const uint16_t type = Big16(bytes, 0);
  const size_t end = std::min<size_t>(Big16(bytes, 2), bytes.size());
  size_t offset = 4;
  if (type == 2) {
    if (end < 6 || end - 5 < 4 || Big16(bytes, 7) > end - 5) return items;
    offset = 5;
  } else if (type < 1 || type > 5) {
    return items;
  }
  while (end >= offset + 4) {
    const uint16_t length = Big16(bytes, offset + 2);
    if (length < 4 || length > end - offset) break;
    items.emplace_back(Big16(bytes, offset), length);
    offset += length;
    if (type == 5) break;
  }
  return items;
}

Items DecodedItems(const std::vector<uint8_t>& bytes) {
  KcpMessage message;
  DecodeMessage(bytes.data(), bytes.size(), &message);
  Items items;
  for (const DataItem& item : message.items) items.emplace_back(item.type, item.length);
  return items;
}

std::vector<uint8_t> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs every regular file of `directory`; returns how many there were.
size_t ReplayDirectory(const fs::path& directory) {
  size_t count = 0;
  for (const auto& entry : fs::directory_iterator(directory)) {
    if (!entry.is_regular_file()) continue;
    auto bytes = ReadFile(entry.path());
    EXPECT_EQ(bytes.size(), entry.file_size()) << entry.path();
    // Also from a buffer of exactly the input's size, so that any read past the end trips the sanitizers.
    std::vector<uint8_t> exact(bytes);
    EXPECT_EQ(CheckMessageBytes(exact.data(), exact.size()), "") << entry.path();
    EXPECT_EQ(DecodedItems(exact), ReferenceItems(exact)) << entry.path();
    // Every prefix too: a message cut anywhere is what a short read from the datapath looks like.
    for (size_t cut = 0; cut < exact.size(); ++cut) {
      std::vector<uint8_t> prefix(exact.begin(), exact.begin() + static_cast<long>(cut));
      EXPECT_EQ(CheckMessageBytes(prefix.data(), prefix.size()), "") << entry.path() << " cut at " << cut;
      EXPECT_EQ(DecodedItems(prefix), ReferenceItems(prefix)) << entry.path() << " cut at " << cut;
    }
    ++count;
  }
  return count;
}

TEST(KcpCorpusTest, SeedCorpusPassesTheFuzzChecks) {
  fs::path corpus = fs::path(QOR_FUZZ_DIR) / "corpus" / "kcp_message";
  ASSERT_TRUE(fs::is_directory(corpus)) << corpus;
  EXPECT_GT(ReplayDirectory(corpus), 0u);
  // The seeds are what their names say: one well-formed data item of the named type each.
  for (auto [name, type] : std::vector<std::pair<std::string, uint16_t>>{{"vif_update", 1},
                                                                         {"container_update", 7},
                                                                         {"vds_update", 6},
                                                                         {"dp_status_notification", 1},
                                                                         {"dp_status_query", 1},
                                                                         {"session_open", 1},
                                                                         {"init", 1}}) {
    auto bytes = ReadFile(corpus / name);
    Items items = ReferenceItems(bytes);
    ASSERT_EQ(items.size(), 1u) << name;
    EXPECT_EQ(items[0].first, type) << name;
    EXPECT_EQ(Big16(bytes, 2), bytes.size()) << name;
  }
}

TEST(KcpCorpusTest, CrashReproducersPassTheFuzzChecks) {
  fs::path regression = fs::path(QOR_FUZZ_DIR) / "regression" / "kcp_message";
  ASSERT_TRUE(fs::is_directory(regression)) << regression;
  EXPECT_GT(ReplayDirectory(regression), 0u);
}

}  // namespace
}  // namespace VevUroro::kcp
