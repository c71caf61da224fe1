// The dump rendering against the earlier one it replaced (tests/dataplane/KcpDumperReference.cpp): byte for byte
// equal over the fuzz corpus and its crash reproducers, every cut of them, seeded random messages of every type
// and random damage to them. A failure prints the seed; QOR_DUMP_DIFF_SEED replays one.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "dataplane/kcp/KcpDumper.h"
#include "dataplane/kcp/KcpFormat.h"
#include "dataplane/kcp/KcpWriter.h"
#include "tests/dataplane/KcpDumperReference.h"

namespace VevUroro::kcp {
namespace {

namespace fs = std::filesystem;

// Both renderings from a buffer of exactly `size` bytes, so that a read past the end trips the sanitizers.
::testing::AssertionResult SameRendering(const uint8_t* data, size_t size) {
  std::vector<uint8_t> exact(data, data + size);
  std::string now = RenderMessage(exact.data(), exact.size());
  std::string before = reference::RenderMessage(exact.data(), exact.size());
  if (now == before) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "rendered:\n" << now << "\nbefore:\n" << before;
}

std::vector<uint8_t> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(KcpDumperReferenceTest, CorpusAndEveryCutOfItRenderAsBefore) {
  size_t files = 0;
  for (const char* directory : {"corpus", "regression"}) {
    fs::path path = fs::path(QOR_FUZZ_DIR) / directory / "kcp_message";
    if (!fs::is_directory(path)) continue;
    for (const auto& entry : fs::directory_iterator(path)) {
      if (!entry.is_regular_file()) continue;
      std::vector<uint8_t> bytes = ReadFile(entry.path());
      for (size_t cut = 0; cut <= bytes.size(); ++cut) {
        EXPECT_TRUE(SameRendering(bytes.data(), cut)) << entry.path() << " cut at " << cut;
      }
      ++files;
    }
  }
  EXPECT_GT(files, 0u);
}

class Generator {
 public:
  explicit Generator(uint64_t seed) : _random(seed) {}

  size_t Below(size_t bound) { return std::uniform_int_distribution<size_t>(0, bound - 1)(_random); }
  uint8_t Byte() { return static_cast<uint8_t>(Below(256)); }

  // Mostly printable ids of any length the format carries, now and then empty or with odd bytes.
  std::string Id() {
    std::string id(Below(4) == 0 ? Below(3) : Below(48), 'x');
    for (char& c : id) c = Below(16) == 0 ? static_cast<char>(Byte()) : static_cast<char>('a' + Below(26));
    return id;
  }

  std::vector<uint8_t> Bytes(size_t most) {
    std::vector<uint8_t> bytes(Below(most + 1));
    for (uint8_t& b : bytes) b = Byte();
    return bytes;
  }

  MacAddress Mac() {
    MacAddress mac;
    for (uint8_t& b : mac) b = Byte();
    return mac;
  }

  IpBytes Ip() {
    IpBytes ip;
    for (uint8_t& b : ip) b = Byte();
    return ip;
  }

  std::vector<KcpProperty> Properties() {
    std::vector<KcpProperty> properties(Below(6));
    for (KcpProperty& p : properties) {
      switch (Below(5)) {
        case 0:
          p = MakeStatusProperty(static_cast<uint8_t>(Below(4)));
          break;
        case 1: {
          std::vector<MacAddress> macs(Below(4));
          for (MacAddress& m : macs) m = Mac();
          p = MakeMacProperty(macs);
          break;
        }
        case 2: {
          std::vector<DiscoveredBinding> bindings(Below(4));
          for (DiscoveredBinding& b : bindings) {
            b = DiscoveredBinding{static_cast<uint8_t>(Below(3)), Ip(),     Mac(), static_cast<uint16_t>(Below(4096)),
                                  static_cast<uint8_t>(Below(5)), _random()};
          }
          p = MakeBindingsProperty(bindings);
          break;
        }
        default:
          // The port properties of a host's sync: small keys with short values, sometimes a key the VIF one knows.
          p = KcpProperty{static_cast<uint16_t>(Below(4) == 0 ? 1 + Below(3) : Below(300)), Bytes(24)};
          break;
      }
    }
    return properties;
  }

  DataItem Item(uint16_t messageType) {
    DataItem item;
    item.type = static_cast<uint16_t>(Below(8) == 0 ? Below(16) : 1 + Below(messageType == KCP_MSG_UPDATE ? 11 : 4));
    item.operation = static_cast<uint8_t>(Below(5));
    for (size_t n = Below(4); n > 0; --n) {
      item.vifs.push_back(VifRecord{Id(), Id(), Id(), Id(), static_cast<uint8_t>(Below(5)), Byte(),
                                    static_cast<uint8_t>(Below(2)), Properties()});
    }
    for (size_t n = Below(5); n > 0; --n) item.propertyRecords.push_back(PropertyRecord{Id(), Properties()});
    if (Below(2)) item.vds = VdsRecord{Id(), static_cast<uint8_t>(Below(4)), Properties()};
    for (size_t n = Below(3); n > 0; --n) {
      ContainerRecord c{Id(), Id(), Id(), Id(), static_cast<uint16_t>(Below(4096)), Mac(), {}};
      for (size_t e = Below(4); e > 0; --e)
        c.entries.push_back(IpMacEntry{static_cast<uint8_t>(Below(2)), Ip(), Mac()});
      item.containers.push_back(c);
    }
    for (size_t n = Below(3); n > 0; --n) item.uplinks.push_back(UplinkRecord{Id(), Id(), Id(), Id()});
    item.ownerId = Id();
    for (size_t n = Below(6); n > 0; --n) item.ids.push_back(Id());
    item.value16 = static_cast<uint16_t>(Below(65536));
    item.status = static_cast<uint8_t>(Below(4));
    item.controlType = static_cast<uint8_t>(Below(6));
    item.sessionId = static_cast<uint32_t>(_random());
    item.sessionExtra = static_cast<uint16_t>(Below(65536));
    item.raw = Bytes(16);
    return item;
  }

  std::vector<uint8_t> Message() {
    KcpMessage message;
    message.type = static_cast<uint16_t>(Below(10) == 0 ? Below(8) : 1 + Below(5));
    message.updateFlags = Byte();
    for (size_t n = 1 + Below(4); n > 0; --n) message.items.push_back(Item(message.type));
    return EncodeMessage(message).value_or(std::vector<uint8_t>{});
  }

  // Damage as a short read or a confused peer would: a cut, flipped bytes, bytes inserted or removed.
  void Damage(std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return;
    switch (Below(4)) {
      case 0:
        bytes.resize(Below(bytes.size()));
        break;
      case 1:
        for (size_t n = 1 + Below(4); n > 0; --n) bytes[Below(bytes.size())] = Byte();
        break;
      case 2:
        bytes.insert(bytes.begin() + static_cast<long>(Below(bytes.size())), Byte());
        break;
      default:
        bytes.erase(bytes.begin() + static_cast<long>(Below(bytes.size())));
        break;
    }
  }

 private:
  std::mt19937_64 _random;
};

TEST(KcpDumperReferenceTest, RandomMessagesAndDamagedOnesRenderAsBefore) {
  const char* fixed = std::getenv("QOR_DUMP_DIFF_SEED");
  const uint64_t first = fixed ? std::strtoull(fixed, nullptr, 10) : 20261207;
  const uint64_t seeds = fixed ? 1 : 300;
  size_t encoded = 0;
  for (uint64_t seed = first; seed < first + seeds; ++seed) {
    Generator generator(seed);
    for (int round = 0; round < 10; ++round) {
      std::vector<uint8_t> bytes = generator.Message();
      if (bytes.empty()) continue;  // more than one message holds
      ++encoded;
      ASSERT_TRUE(SameRendering(bytes.data(), bytes.size())) << "seed " << seed << " round " << round;
      for (int damage = 0; damage < 4; ++damage) {
        generator.Damage(bytes);
        ASSERT_TRUE(SameRendering(bytes.data(), bytes.size()))
            << "seed " << seed << " round " << round << " damage " << damage;
      }
    }
  }
  EXPECT_GT(encoded, seeds);
}

}  // namespace
}  // namespace VevUroro::kcp
