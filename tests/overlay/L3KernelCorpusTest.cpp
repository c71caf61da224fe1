// Replays the L3 kernel-message fuzz corpus through the fuzz target's harness in every run: a running L3
// application takes each seed (full-sync requests, DAD reports of its LIF and of others) and what it does in reply
// passes the target's checks.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "fuzz/L3KernelHarness.h"
#include "support/LogCapture.h"

namespace VevUroro::test {
namespace {

namespace fs = std::filesystem;

TEST(L3KernelCorpus, SeedsPassTheFuzzChecks) {
  qor::test::LogCapture log;
  fuzz::L3KernelHarness harness;
  size_t seeds = 0;
  for (const auto& file : fs::directory_iterator(fs::path(QOR_FUZZ_DIR) / "corpus" / "apps_l3kernel")) {
    std::ifstream in(file.path(), std::ios::binary);
    const std::vector<uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
    EXPECT_EQ(harness.Run(bytes.data(), bytes.size()), "") << file.path();
    ++seeds;
  }
  EXPECT_GE(seeds, 9u);
  // The seeds reach the handlers, not only the reader.
  EXPECT_TRUE(log.Has({"handle kernel full sync request, LR"}));
  EXPECT_TRUE(log.Has({"handle kernel full sync request both Config and L3 State-cache"}));
  EXPECT_TRUE(log.Has({"VDRDadStatusUpdateTLV2PB Found LRP"}));
  EXPECT_TRUE(log.Has({"Delete Entire Dad state for Lif"}));
  EXPECT_TRUE(log.Has({"Empty version"}));
}

}  // namespace
}  // namespace VevUroro::test
