// Replays the fuzz target's seed corpus and its crash reproducers through the fuzz target's own checks, so that
// every normal test run (no clang needed) covers them, and under the sanitizer builds reads out of bounds show.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "dataplane/kcp/KcpSelfCheck.h"

namespace VevUroro::kcp {
namespace {

namespace fs = std::filesystem;

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
    // Every prefix too: a message cut anywhere is what a short read from the datapath looks like.
    for (size_t cut = 0; cut < exact.size(); ++cut) {
      std::vector<uint8_t> prefix(exact.begin(), exact.begin() + static_cast<long>(cut));
      EXPECT_EQ(CheckMessageBytes(prefix.data(), prefix.size()), "") << entry.path() << " cut at " << cut;
    }
    ++count;
  }
  return count;
}

TEST(KcpCorpusTest, SeedCorpusPassesTheFuzzChecks) {
  fs::path corpus = fs::path(QOR_FUZZ_DIR) / "corpus" / "kcp_message";
  ASSERT_TRUE(fs::is_directory(corpus)) << corpus;
  EXPECT_GT(ReplayDirectory(corpus), 0u);
}

TEST(KcpCorpusTest, CrashReproducersPassTheFuzzChecks) {
  fs::path regression = fs::path(QOR_FUZZ_DIR) / "regression" / "kcp_message";
  ASSERT_TRUE(fs::is_directory(regression)) << regression;
  EXPECT_GT(ReplayDirectory(regression), 0u);
}

}  // namespace
}  // namespace VevUroro::kcp
