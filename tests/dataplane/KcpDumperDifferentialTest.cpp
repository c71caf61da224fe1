// The dump of port and tkmnic property updates is rendered straight from the bytes; the rendering through the
// decoded message is the reference. Both are run over the seed corpus, over generated messages with every port
// property key, and over random mutations and truncations of both, and must give the same text byte for byte.
// The seed is printed; QOR_DIFF_SEED and QOR_DIFF_ROUNDS replay a run (support/Differential.h).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "dataplane/kcp/KcpDumper.h"
#include "dataplane/kcp/KcpFormat.h"
#include "dataplane/kcp/KcpWriter.h"
#include "support/Differential.h"

namespace VevUroro::kcp {
namespace {

namespace fs = std::filesystem;

// The keys the converter writes into port and tkmnic property records.
constexpr uint16_t kPortPropertyKeys[] = {1,   2,   3,   4,   5,   6,   41,  42,  43,  44,  45,  46,  61,  62,
                                          63,  81,  101, 102, 141, 181, 202, 241, 242, 243, 244, 245, 261, 262,
                                          281, 321, 322, 323, 324, 325, 326, 327, 328, 329, 330, 331, 341};

std::string RandomId(std::mt19937_64& rng, size_t width) {
  // Up to the whole field (no NUL left), sometimes empty.
  size_t length = std::uniform_int_distribution<size_t>(0, width)(rng);
  std::string id;
  for (size_t i = 0; i < length; ++i) id.push_back(static_cast<char>('!' + rng() % 94));
  return id;
}

KcpProperty RandomProperty(std::mt19937_64& rng) {
  KcpProperty property;
  property.key =
      rng() % 8 == 0 ? static_cast<uint16_t>(rng()) : kPortPropertyKeys[rng() % std::size(kPortPropertyKeys)];
  property.value.resize(rng() % 4 == 0 ? rng() % 300 : rng() % 12);
  for (auto& byte : property.value) byte = static_cast<uint8_t>(rng());
  return property;
}

DataItem RandomPropertyItem(std::mt19937_64& rng, bool port) {
  DataItem item;
  item.type = port ? KCP_UPDATE_PORT_PROPERTY : KCP_UPDATE_TKMNIC_PROPERTY;
  item.operation = static_cast<uint8_t>(rng() % 5);  // the three operations and invalid ones
  size_t records = rng() % 3 == 0 ? rng() % 40 : 1 + rng() % 3;
  for (size_t i = 0; i < records; ++i) {
    PropertyRecord record;
    record.id = RandomId(rng, port ? kVifIdLen : kTkmnicNameLen);
    size_t properties = rng() % 6;
    for (size_t j = 0; j < properties; ++j) record.properties.push_back(RandomProperty(rng));
    item.propertyRecords.push_back(std::move(record));
  }
  return item;
}

// An item the direct rendering leaves to the decoder.
DataItem RandomOtherItem(std::mt19937_64& rng) {
  DataItem item;
  switch (rng() % 3) {
    case 0:
      item.type = KCP_UPDATE_PORT_LIST;
      item.ids = {RandomId(rng, kVifIdLen), RandomId(rng, kVifIdLen)};
      break;
    case 1:
      item.type = KCP_UPDATE_VDS_PROPERTY;
      item.vds = VdsRecord{RandomId(rng, kVdsIdLen), KCP_OP_UPDATE, {RandomProperty(rng)}};
      break;
    default:
      item.type = KCP_UPDATE_VIF;
      item.operation = KCP_OP_UPDATE;
      item.vifs = {VifRecord{RandomId(rng, kVifIdLen), "p", "s", "", KCP_VIF_VNIC, 0, 0, {}}};
      break;
  }
  return item;
}

std::vector<uint8_t> RandomMessage(std::mt19937_64& rng) {
  KcpMessage msg;
  msg.type = KCP_MSG_UPDATE;
  size_t items = 1 + rng() % 3;
  for (size_t i = 0; i < items; ++i) {
    msg.items.push_back(rng() % 6 == 0 ? RandomOtherItem(rng) : RandomPropertyItem(rng, rng() % 2 == 0));
  }
  return EncodeMessage(msg).value_or(std::vector<uint8_t>{});
}

// Byte flips, 16-bit fields (lengths) set to odd values or moved by one or two, truncations and extensions, a
// few at a time.
void Mutate(std::mt19937_64& rng, std::vector<uint8_t>& bytes) {
  size_t mutations = 1 + rng() % 4;
  for (size_t i = 0; i < mutations; ++i) {
    switch (rng() % 5) {
      case 4:
        if (bytes.size() >= 2) {
          size_t at = rng() % (bytes.size() - 1);
          uint16_t value = static_cast<uint16_t>((bytes[at] << 8 | bytes[at + 1]) + static_cast<int>(rng() % 5) - 2);
          bytes[at] = static_cast<uint8_t>(value >> 8);
          bytes[at + 1] = static_cast<uint8_t>(value);
        }
        break;
      case 0:
        if (!bytes.empty()) bytes[rng() % bytes.size()] = static_cast<uint8_t>(rng());
        break;
      case 1:
        if (bytes.size() >= 2) {
          size_t at = rng() % (bytes.size() - 1);
          uint16_t value = rng() % 2 == 0 ? static_cast<uint16_t>(rng()) : static_cast<uint16_t>(rng() % 80);
          bytes[at] = static_cast<uint8_t>(value >> 8);
          bytes[at + 1] = static_cast<uint8_t>(value);
        }
        break;
      case 2:
        bytes.resize(bytes.empty() ? 0 : rng() % bytes.size());
        break;
      default:
        bytes.resize(bytes.size() + rng() % 64, static_cast<uint8_t>(rng()));
        break;
    }
  }
}

std::vector<std::vector<uint8_t>> CorpusMessages() {
  std::vector<std::vector<uint8_t>> messages;
  for (const auto& entry : fs::directory_iterator(fs::path(QOR_FUZZ_DIR) / "corpus" / "kcp_message")) {
    std::ifstream in(entry.path(), std::ios::binary);
    messages.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return messages;
}

// Empty when both renderings agree (or the direct one does not apply), otherwise both texts.
std::string Compare(const std::vector<uint8_t>& bytes, size_t* direct) {
  std::string reference = RenderDecodedMessage(bytes.data(), bytes.size());
  if (auto text = RenderPropertyUpdate(bytes.data(), bytes.size())) {
    ++*direct;
    if (*text != reference) {
      return "size " + std::to_string(bytes.size()) + "\n--- direct:\n" + *text + "\n--- decoded:\n" + reference;
    }
  }
  if (RenderMessage(bytes.data(), bytes.size()) != reference) return "RenderMessage differs from the reference";
  return "";
}

TEST(KcpDumperDifferentialTest, DirectPropertyRenderingEqualsTheDecodedOne) {
  const auto corpus = CorpusMessages();
  ASSERT_FALSE(corpus.empty());
  size_t direct = 0;
  size_t longest = 0;
  qor::test::RunDifferential(
      qor::test::DifferentialSettings::FromEnvironment(10000), [&](std::mt19937_64& rng, size_t index) -> std::string {
        std::vector<uint8_t> bytes = index % 4 == 0 ? corpus[rng() % corpus.size()] : RandomMessage(rng);
        if (index % 4 != 1) {
          // The message as it is first, for the generated ones.
          if (index % 4 != 0) {
            std::string difference = Compare(bytes, &direct);
            if (!difference.empty()) return difference;
          }
          Mutate(rng, bytes);
        }
        longest = std::max(longest, RenderMessage(bytes.data(), bytes.size()).size());
        return Compare(bytes, &direct);
      });
  // The direct path was taken for most rounds, and renderings reached the limit.
  EXPECT_GT(direct, 5000u);
  EXPECT_GT(longest, kDumpLimit - 100);
  EXPECT_LE(longest, kDumpLimit);
}

TEST(KcpDumperDifferentialTest, OtherMessagesAreLeftToTheDecoder) {
  for (const auto& bytes : {BuildDpStatusQuery(), BuildSessionControl(KCP_SESSION_OPEN, 7),
                            BuildDpStatusNotification(KCP_DP_OUT_OF_SYNC), std::vector<uint8_t>{0, 2, 0}}) {
    EXPECT_FALSE(RenderPropertyUpdate(bytes.data(), bytes.size()).has_value());
  }
  KcpMessage msg;
  msg.type = KCP_MSG_UPDATE;
  DataItem ports;
  ports.type = KCP_UPDATE_PORT_PROPERTY;
  ports.operation = KCP_OP_UPDATE;
  ports.propertyRecords = {{"vif-1", {{1, {0, 0, 0, 5}}}}};
  DataItem list;
  list.type = KCP_UPDATE_PORT_LIST;
  list.ids = {"vif-1"};
  msg.items = {ports, list};
  auto mixed = EncodeMessage(msg).value();
  EXPECT_FALSE(RenderPropertyUpdate(mixed.data(), mixed.size()).has_value());
  EXPECT_EQ(RenderMessage(mixed.data(), mixed.size()), RenderDecodedMessage(mixed.data(), mixed.size()));
  msg.items = {ports};
  auto only = EncodeMessage(msg).value();
  EXPECT_EQ(RenderPropertyUpdate(only.data(), only.size()).value(),
            "KCP Message\n"
            "\tPort Property Update: len = " +
                std::to_string(only.size() - 5) +
                "\n"
                "\tOperation: UPDATE\n"
                "\tVIF ID: vif-1\n"
                "\t\tProperty: len = 8 key = 1\n");
}

}  // namespace
}  // namespace VevUroro::kcp
