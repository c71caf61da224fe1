// The agent's reader of the kernel router module's messages: bytes written from the channel's layout, and the
// fuzz corpus replayed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "dataplane/router/VdrKernelReader.h"

namespace VevUroro::router {
namespace {

std::vector<uint8_t> Message(uint16_t type, std::vector<uint8_t> body) {
  std::vector<uint8_t> out = {static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type), 0, 0};
  out.insert(out.end(), body.begin(), body.end());
  out[2] = static_cast<uint8_t>(out.size() >> 8);
  out[3] = static_cast<uint8_t>(out.size());
  return out;
}

TEST(VdrKernelReaderTest, InstanceReportsAndDadReportsAreReadInOrder) {
  std::vector<uint8_t> body = {0, 3, 0, 9, 0, 0, 0x03, 0xe9, 2};  // full-sync request for VDR 1001
  std::vector<uint8_t> dad(139 + 18, 0);
  dad[1] = 28;
  dad[3] = static_cast<uint8_t>(dad.size());
  dad[7] = 7;
  dad[8] = 'l';
  dad[72] = 'v';
  dad[136] = 1;
  dad[138] = 1;
  dad[139] = 4;
  dad[140] = 10;
  dad[139 + 17] = 2;
  body.insert(body.end(), dad.begin(), dad.end());
  const auto bytes = Message(4, body);
  KernelMessage read = ReadKernelMessage(bytes.data(), bytes.size());
  ASSERT_EQ(read.result, KernelMessage::Result::kOk) << read.error;
  ASSERT_EQ(read.events.size(), 2u);
  EXPECT_EQ(read.events[0].tlvType, 3);
  EXPECT_EQ(read.events[0].vdrId, 1001u);
  EXPECT_EQ(read.events[0].change, 2);
  EXPECT_EQ(read.events[1].tlvType, 28);
  EXPECT_EQ(read.events[1].vdrId, 7u);
  EXPECT_EQ(read.events[1].lifName, "l");
  EXPECT_EQ(read.events[1].version, "v");
  ASSERT_EQ(read.events[1].entries.size(), 1u);
  EXPECT_EQ(read.events[1].entries[0].address[0], 10);
  EXPECT_EQ(read.events[1].entries[0].state, 2);
}

TEST(VdrKernelReaderTest, TypesAndFramingFaults) {
  for (uint16_t type : {1, 2, 3, 5, 6, 7}) {
    auto bytes = Message(type, {});
    EXPECT_EQ(ReadKernelMessage(bytes.data(), bytes.size()).result, KernelMessage::Result::kOk) << type;
  }
  for (uint16_t type : {0, 8, 9, 0xffff}) {
    auto bytes = Message(type, {});
    EXPECT_EQ(ReadKernelMessage(bytes.data(), bytes.size()).result, KernelMessage::Result::kUnknownType) << type;
  }
  auto shortReport = Message(4, {0, 3, 0, 8, 0, 0, 0, 1});
  EXPECT_EQ(ReadKernelMessage(shortReport.data(), shortReport.size()).result, KernelMessage::Result::kMalformed);
  auto overrun = Message(4, {0, 3, 0, 40, 0, 0});
  EXPECT_EQ(ReadKernelMessage(overrun.data(), overrun.size()).result, KernelMessage::Result::kMalformed);
  auto lying = Message(4, {});
  lying[3] = 9;
  EXPECT_EQ(ReadKernelMessage(lying.data(), lying.size()).result, KernelMessage::Result::kMalformed);
  std::vector<uint8_t> dad(139 + 18, 0);  // one entry of an unknown family
  dad[1] = 28;
  dad[3] = static_cast<uint8_t>(dad.size());
  dad[138] = 1;
  dad[139] = 5;
  auto badFamily = Message(4, dad);
  EXPECT_EQ(ReadKernelMessage(badFamily.data(), badFamily.size()).result, KernelMessage::Result::kMalformed);
}

TEST(VdrKernelReaderTest, TheFuzzCorpusReadsAsItsNameSays) {
  const std::filesystem::path corpus = std::filesystem::path(QOR_SAMPLE_CONFIG_DIR) / "../fuzz/corpus/vdr_kernel";
  size_t files = 0;
  for (const auto& file : std::filesystem::directory_iterator(corpus)) {
    std::ifstream in(file.path(), std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const KernelMessage read = ReadKernelMessage(bytes.data(), bytes.size());
    const std::string name = file.path().filename().string();
    if (name == "type-9") {
      EXPECT_EQ(read.result, KernelMessage::Result::kUnknownType);
    } else if (name == "tlv-overrun") {
      EXPECT_EQ(read.result, KernelMessage::Result::kMalformed);
    } else {
      EXPECT_EQ(read.result, KernelMessage::Result::kOk) << name << ": " << read.error;
    }
    ++files;
  }
  EXPECT_GE(files, 10u);
}

}  // namespace
}  // namespace VevUroro::router
