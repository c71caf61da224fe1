// The KCP builder against the message layouts: envelope, Update TLV, entity records and lists, read back at their
// offsets (every integer big-endian), never through the codec. Piece splitting, the "more" flag, field
// truncation, the operation byte, the refusal of oversized pieces and the dump at info level.
#include <gtest/gtest.h>

#include <thread>

#include "support/LogCapture.h"
#include "tests/config/CapturingBuilder.h"

namespace VevUroro {
namespace {

using qor::test::LogCapture;
using test::Be16;
using test::Be32;
using test::Field;

constexpr size_t kMsgHeader = 5;     // type, length, flags
constexpr size_t kTlv = 4;           // type, length
constexpr size_t kFirstRecord = 10;  // property updates: envelope, TLV header, operation byte

struct ParsedRecord {
  std::string id;
  std::vector<DVSProperty> properties;
};

// Walks the records of one Port (idWidth 48) or Tkmnic (16) Property Update, checking every length on the way.
std::vector<ParsedRecord> Records(const std::vector<uint8_t>& m, size_t idWidth) {
  std::vector<ParsedRecord> records;
  size_t at = kFirstRecord;
  while (at < m.size()) {
    ParsedRecord record;
    record.id = Field(m, at, idWidth);
    EXPECT_EQ(m.at(at + idWidth - 1), 0) << "an entity ID always ends with a NUL";
    size_t length = Be16(m, at + idWidth);
    size_t end = at + length;
    EXPECT_LE(end, m.size());
    size_t p = at + idWidth + 2;
    while (p < end) {
      DVSProperty property;
      property.key = Be16(m, p);
      size_t plen = Be16(m, p + 2);
      EXPECT_GE(plen, 4u);
      property.value.assign(m.begin() + static_cast<long>(p + 4), m.begin() + static_cast<long>(p + plen));
      record.properties.push_back(property);
      p += plen;
    }
    EXPECT_EQ(p, end);
    records.push_back(record);
    at = end;
  }
  return records;
}

void ExpectEnvelope(const std::vector<uint8_t>& m, uint16_t tlvType, bool more) {
  ASSERT_GE(m.size(), kMsgHeader + kTlv);
  EXPECT_EQ(Be16(m, 0), 2);  // Update
  EXPECT_EQ(Be16(m, 2), m.size());
  EXPECT_EQ(m[4], more ? 0x80 : 0x00);
  EXPECT_EQ(Be16(m, 5), tlvType);
  EXPECT_EQ(Be16(m, 7), m.size() - kMsgHeader);
}

class BuilderTest : public ::testing::Test {
 protected:
  LogCapture logs{LOG_LEVEL_WARN};
  qor::RefPtr<test::CapturingBuilder> builder{new test::CapturingBuilder()};
};

TEST_F(BuilderTest, PortPropertyUpdateLayout) {
  DVSEntityUpdate update;
  update.Add("vif-a", PORT_PROP_VNI, std::string("\x00\x00\x13\x88", 4));
  update.Add("vif-a", PORT_PROP_BLOCKED, BoolText(false));
  ASSERT_TRUE(builder->SendEntityUpdate(update));
  auto messages = builder->Messages();
  ASSERT_EQ(messages.size(), 1u);
  const auto& m = messages[0];
  // 10 fixed bytes, a 50-byte entity header, then (4 + 4) and (4 + 6) bytes of properties.
  ASSERT_EQ(m.size(), 10u + 50 + 8 + 10);
  ExpectEnvelope(m, 2, false);
  EXPECT_EQ(m[9], 1);  // UPDATE
  EXPECT_EQ(Field(m, 10, 48), "vif-a");
  for (size_t i = 10 + 5; i < 58; ++i) ASSERT_EQ(m[i], 0) << "VIF ID zero-padded at " << i;
  EXPECT_EQ(Be16(m, 58), 50 + 8 + 10);
  EXPECT_EQ(Be16(m, 60), 1);
  EXPECT_EQ(Be16(m, 62), 8);
  EXPECT_EQ(Be32(m, 64), 5000u);
  EXPECT_EQ(Be16(m, 68), 101);
  EXPECT_EQ(Be16(m, 70), 10);
  EXPECT_EQ(std::string(m.begin() + 72, m.end()), std::string("false\0", 6));
}

TEST_F(BuilderTest, OperationByteMapsOtherValuesToFullSync) {
  for (auto [operation, expected] : std::vector<std::pair<uint32_t, uint8_t>>{{1, 1}, {2, 2}, {3, 3}, {0, 3}, {7, 3}}) {
    DVSEntityUpdate update;
    update.operation = operation;
    update.entities["p"];
    ASSERT_TRUE(builder->SendEntityUpdate(update));
    auto m = builder->Take().at(0);
    EXPECT_EQ(m[9], expected) << operation;
    EXPECT_EQ(m.size(), 60u) << "an entity without properties is its header alone";
  }
}

TEST_F(BuilderTest, EmptyBatchSendsNothingAndSucceeds) {
  EXPECT_TRUE(builder->SendEntityUpdate(DVSEntityUpdate{}));
  EXPECT_TRUE(builder->SendSwitchPropertyUpdate(1, {}));
  EXPECT_TRUE(builder->SendSwitchList({}));
  EXPECT_TRUE(builder->Messages().empty());
}

TEST_F(BuilderTest, LongIdsAreCutTo47CharactersInEveryRecordAndPiece) {
  const std::string longId(60, 'x');
  DVSEntityUpdate update;
  for (int i = 0; i < 3; ++i) update.Add(longId, static_cast<uint16_t>(300 + i), std::string(4000, 'v'));
  ASSERT_TRUE(builder->SendEntityUpdate(update));
  auto messages = builder->Take();
  ASSERT_EQ(messages.size(), 2u);
  for (const auto& m : messages) {
    auto records = Records(m, 48);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].id, std::string(47, 'x'));
  }
  ASSERT_TRUE(builder->SendPortListFullSync({}, {std::string(48, 'p')}, {std::string(20, 't')}));
  messages = builder->Take();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(Field(messages.back(), 9, 16), std::string(15, 't'));
  EXPECT_EQ(Field(messages[1], 9, 48), std::string(47, 'p'));
}

TEST_F(BuilderTest, PortOverRoomIsSplitOverTwoMessagesEachStartingWithItsHeader) {
  // 11 properties of 1,000 value bytes: 11 × 1,004 + 50 = 11,094 bytes of records, more than the 10,230 room.
  DVSEntityUpdate update;
  for (uint16_t key = 321; key < 332; ++key) update.Add("port-1", key, std::string(1000, static_cast<char>(key)));
  ASSERT_TRUE(builder->SendEntityUpdate(update));
  auto messages = builder->Messages();
  ASSERT_EQ(messages.size(), 2u);
  ExpectEnvelope(messages[0], 2, true);
  ExpectEnvelope(messages[1], 2, false);
  std::vector<DVSProperty> all;
  for (const auto& m : messages) {
    EXPECT_EQ(Field(m, 10, 48), "port-1") << "both pieces start with the 50-byte entity header";
    auto records = Records(m, 48);
    ASSERT_EQ(records.size(), 1u);
    all.insert(all.end(), records[0].properties.begin(), records[0].properties.end());
  }
  EXPECT_LE(messages[0].size() - kFirstRecord, 10226u) << "the first message of a batch keeps its room";
  EXPECT_EQ(all, update.entities["port-1"]) << "every property once, in order";
}

TEST_F(BuilderTest, ManyPortsFillPiecesInVifIdOrderWithinTheRoom) {
  DVSEntityUpdate update;
  for (int i = 0; i < 400; ++i) {
    char id[16];
    std::snprintf(id, sizeof(id), "vif-%03d", i);
    update.Add(id, PORT_PROP_MAC_MANAGEMENT, std::string(11, 'm'));
    update.Add(id, PORT_PROP_BLOCKED, BoolText(true));
  }
  ASSERT_TRUE(builder->SendEntityUpdate(update));
  auto messages = builder->Messages();
  ASSERT_GT(messages.size(), 1u);
  std::vector<std::string> order;
  for (size_t n = 0; n < messages.size(); ++n) {
    ExpectEnvelope(messages[n], 2, n + 1 < messages.size());
    EXPECT_LE(messages[n].size(), 10240u);
    for (const auto& record : Records(messages[n], 48)) {
      EXPECT_EQ(record.properties.size(), 2u) << "a 75-byte entity is never cut";
      order.push_back(record.id);
    }
  }
  ASSERT_EQ(order.size(), 400u);
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
}

TEST_F(BuilderTest, PieceOf65531BytesRefusesTheWholeBatchBeforeAnythingIsSent) {
  DVSEntityUpdate update;
  update.Add("a-port", 1, std::string(100, 'a'));
  update.Add("b-port", 2, std::string(65531 - 50 - 4, 'b'));  // 65,531 bytes of records with its header
  update.Add("c-port", 3, std::string(100, 'c'));
  EXPECT_FALSE(builder->SendEntityUpdate(update));
  EXPECT_EQ(builder->Messages().size(), 0u)
      << "a piece sent with the more flag and never followed would leave the datapath holding an open batch";
  EXPECT_EQ(logs.Count({"refused property message piece of 65531 bytes"}), 1u);
}

TEST_F(BuilderTest, PieceWhoseMessageWouldOverflowTheSixteenBitLengthIsRefused) {
  // 65,525 bytes of records is the most a message carries: 10 bytes of envelope, TLV and operation make 65,535.
  const size_t most = KCPMsgConvertor::MaxPropertyValue(DVS_ENTITY_PORT);
  EXPECT_EQ(most, 65535u - 10 - 50 - 4);
  DVSEntityUpdate fits;
  fits.Add("b-port", 2, std::string(most, 'b'));
  ASSERT_TRUE(builder->SendEntityUpdate(fits)) << "the largest value travels, alone";
  auto messages = builder->Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].size(), 65535u);
  ExpectEnvelope(messages[0], 2, false);
  EXPECT_EQ(Be16(messages[0], 10 + 48), 65525);
  EXPECT_EQ(Be16(messages[0], 10 + 50 + 2), most + 4);

  for (size_t records : {65526u, 65530u}) {
    DVSEntityUpdate over;
    over.Add("b-port", 2, std::string(records - 50 - 4, 'b'));
    EXPECT_FALSE(builder->SendEntityUpdate(over)) << records << " bytes of records";
  }
  EXPECT_EQ(builder->Messages().size(), 1u) << "no message with a wrapped length reaches the link";

  DVSEntityUpdate tkmnic;
  tkmnic.kind = DVS_ENTITY_TKMNIC;
  tkmnic.Add("vmk1", 2, std::string(KCPMsgConvertor::MaxPropertyValue(DVS_ENTITY_TKMNIC), 't'));
  ASSERT_TRUE(builder->SendEntityUpdate(tkmnic));
  EXPECT_EQ(builder->Messages().back().size(), 65535u);
  tkmnic.Add("vmk1", 2, std::string(KCPMsgConvertor::MaxPropertyValue(DVS_ENTITY_TKMNIC) + 1, 't'));
  EXPECT_FALSE(builder->SendEntityUpdate(tkmnic));
}

TEST_F(BuilderTest, TkmnicPropertyUpdateUsesSixteenByteNames) {
  DVSEntityUpdate update;
  update.kind = DVS_ENTITY_TKMNIC;
  update.operation = DVS_OP_DELETE;
  update.Add("vmk10-with-a-long-name", 7, "x");
  ASSERT_TRUE(builder->SendEntityUpdate(update));
  auto m = builder->Messages().at(0);
  ExpectEnvelope(m, 4, false);
  EXPECT_EQ(m[9], 2);
  ASSERT_EQ(m.size(), 10u + 18 + 5);
  EXPECT_EQ(Field(m, 10, 16), "vmk10-with-a-lo");
  EXPECT_EQ(Be16(m, 26), 18 + 5);
  EXPECT_EQ(Be16(m, 28), 7);
  EXPECT_EQ(Be16(m, 30), 5);
  EXPECT_EQ(m[32], 'x');
}

TEST_F(BuilderTest, SwitchPropertiesAreCutIntoPiecesOfAtMost10160Bytes) {
  DVSPropertyList big;
  for (int i = 0; i < 3; ++i) big.push_back({static_cast<uint16_t>(20 + i), std::string(4000, 'z')});
  std::vector<SwitchPropertyBlock> blocks = {{"switch-one", EncodeProperties(big)},
                                             {"switch-two", EncodeProperties({{1, TextValue("up")}})}};
  ASSERT_TRUE(builder->SendSwitchPropertyUpdate(3, blocks));
  auto messages = builder->Messages();
  ASSERT_EQ(messages.size(), 3u);  // 8,008 + 4,004 bytes, then the second switch
  for (size_t n = 0; n < messages.size(); ++n) {
    const auto& m = messages[n];
    ExpectEnvelope(m, 6, n + 1 < messages.size());
    EXPECT_LE(m.size() - 76, 10160u);
    EXPECT_EQ(m[73], 3) << "operation byte after the 64-byte switch ID";
    EXPECT_EQ(Be16(m, 74), m.size() - 9) << "record length from the switch ID to the last property";
  }
  EXPECT_EQ(Field(messages[0], 9, 64), "switch-one");
  EXPECT_EQ(messages[0].size(), 76u + 8008);
  EXPECT_EQ(messages[1].size(), 76u + 4004);
  EXPECT_EQ(Field(messages[2], 9, 64), "switch-two");
  ASSERT_EQ(messages[2].size(), 76u + 7);
  EXPECT_EQ(Be16(messages[2], 76), 1);
  EXPECT_EQ(Be16(messages[2], 78), 7);
  EXPECT_EQ(std::string(messages[2].begin() + 80, messages[2].end()), std::string("up\0", 3));
  for (size_t i = 9 + 10; i < 73; ++i) ASSERT_EQ(messages[0][i], 0) << "switch ID zero-filled";
}

std::vector<std::string> Ids(size_t n, const std::string& prefix) {
  std::vector<std::string> ids;
  for (size_t i = 0; i < n; ++i) ids.push_back(prefix + std::to_string(i));
  return ids;
}

TEST_F(BuilderTest, ListsAreGroupedWithMoreOnAllButTheLast) {
  ASSERT_TRUE(builder->SendPortListFullSync({}, Ids(213, "port-"), {}));
  auto messages = builder->Take();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].size(), 9u) << "an empty container list is one 9-byte message";
  ExpectEnvelope(messages[0], 8, false);
  ExpectEnvelope(messages[1], 3, false);
  EXPECT_EQ(Be16(messages[1], 7), 4 + 213 * 48);
  EXPECT_EQ(Field(messages[1], 9 + 212 * 48, 48), "port-212");

  ASSERT_TRUE(builder->SendPortListFullSync(Ids(2, "cif-"), Ids(214, "port-"), Ids(640, "vmk")));
  messages = builder->Take();
  ASSERT_EQ(messages.size(), 1u + 2 + 2);
  ExpectEnvelope(messages[0], 8, false);
  EXPECT_EQ(Field(messages[0], 9 + 48, 48), "cif-1");
  ExpectEnvelope(messages[1], 3, true);
  ExpectEnvelope(messages[2], 3, false);
  EXPECT_EQ(Be16(messages[2], 7), 4 + 48);
  EXPECT_EQ(Field(messages[2], 9, 48), "port-213");
  ExpectEnvelope(messages[3], 5, true);
  EXPECT_EQ(Be16(messages[3], 7), 4 + 639 * 16);
  ExpectEnvelope(messages[4], 5, false);
  EXPECT_EQ(Field(messages[4], 9, 16), "vmk639");

  ASSERT_TRUE(builder->SendPortListFullSync({}, {}, {}));
  EXPECT_EQ(builder->Take().size(), 1u) << "an empty port list produces no message";

  ASSERT_TRUE(builder->SendSwitchList(Ids(160, "dvs-")));
  messages = builder->Take();
  ASSERT_EQ(messages.size(), 2u);
  ExpectEnvelope(messages[0], 10, true);
  EXPECT_EQ(messages[0].size(), 9u + 159 * 64);
  EXPECT_EQ(Field(messages[1], 9, 64), "dvs-159");
}

TEST_F(BuilderTest, EmptyListIsNineBytes) {
  ASSERT_TRUE(builder->SendEmptyList(3));
  auto m = builder->Messages().at(0);
  EXPECT_EQ(m, (std::vector<uint8_t>{0, 2, 0, 9, 0, 0, 3, 0, 4}));
}

TEST_F(BuilderTest, PortContainerListCarriesTheVifIdThenUpTo212Containers) {
  ASSERT_TRUE(builder->SendPortContainerList("vm-vif", {}));
  auto m = builder->Take().at(0);
  ASSERT_EQ(m.size(), 57u);
  ExpectEnvelope(m, 9, false);
  EXPECT_EQ(Field(m, 9, 48), "vm-vif");

  ASSERT_TRUE(builder->SendPortContainerList("vm-vif", Ids(213, "c")));
  auto messages = builder->Take();
  ASSERT_EQ(messages.size(), 2u);
  ExpectEnvelope(messages[0], 9, true);
  EXPECT_EQ(messages[0].size(), 9u + 48 + 212 * 48);
  ExpectEnvelope(messages[1], 9, false);
  EXPECT_EQ(messages[1].size(), 9u + 48 + 48);
  EXPECT_EQ(Field(messages[1], 9, 48), "vm-vif");
  EXPECT_EQ(Field(messages[1], 57, 48), "c212");
}

TEST_F(BuilderTest, ContainerUpdatePacksRecordsWithinTheRoom) {
  std::vector<kcp::ContainerRecord> containers;
  for (int i = 0; i < 60; ++i) {
    kcp::ContainerRecord c;
    c.cifId = "cif-" + std::to_string(i);
    c.portId = "cport-" + std::to_string(i);
    c.vmPortId = "vmport";
    c.vmVifId = "vmvif";
    c.vlanId = static_cast<uint16_t>(100 + i);
    c.mac = {0x02, 0, 0, 0, 0, static_cast<uint8_t>(i)};
    kcp::IpMacEntry entry;
    entry.family = 1;
    entry.ip = {10, 1, 0, static_cast<uint8_t>(i)};
    entry.mac = c.mac;
    c.entries = {entry};
    containers.push_back(c);
  }
  LogCapture logs(LOG_LEVEL_DEBUG);
  ASSERT_TRUE(builder->SendContainerUpdate(containers));
  auto messages = builder->Messages();
  // 225 bytes per container: 45 fit in 10,240 bytes with the 9-byte envelope.
  ASSERT_EQ(messages.size(), 2u);
  ExpectEnvelope(messages[0], 7, true);
  ExpectEnvelope(messages[1], 7, false);
  EXPECT_EQ(messages[0].size(), 9u + 45 * 225);
  EXPECT_EQ(messages[1].size(), 9u + 15 * 225);
  const auto& m = messages[1];
  size_t r = 9;  // cif-45
  EXPECT_EQ(Field(m, r, 48), "cif-45");
  EXPECT_EQ(Field(m, r + 48, 48), "cport-45");
  EXPECT_EQ(Field(m, r + 96, 48), "vmport");
  EXPECT_EQ(Field(m, r + 144, 48), "vmvif");
  EXPECT_EQ(Be16(m, r + 192), 145);
  EXPECT_EQ(m[r + 199], 45);
  EXPECT_EQ(Be16(m, r + 200), 1);
  EXPECT_EQ(m[r + 202], 1);
  EXPECT_EQ(m[r + 206], 45);
  EXPECT_EQ(m[r + 219 + 5], 45);
  EXPECT_EQ(logs.Count("Send container update itemLen 10129, allocLen 10134, EntryNum 45"), 1u);
}

TEST_F(BuilderTest, OversizedSwitchOrContainerPieceRefusesTheWholeBatch) {
  std::vector<SwitchPropertyBlock> blocks = {{"switch-one", EncodeProperties({{1, TextValue("up")}})},
                                             {"switch-two", EncodeProperties({{20, std::string(65500, 'z')}})}};
  EXPECT_FALSE(builder->SendSwitchPropertyUpdate(1, blocks));
  EXPECT_EQ(builder->Messages().size(), 0u) << "the first switch's piece is not sent with a more flag alone";

  std::vector<kcp::ContainerRecord> containers(2);
  containers[0].cifId = "small";
  containers[1].cifId = "huge";
  containers[1].entries.resize(3000);  // 202 + 69,000 bytes: more than one message can carry
  EXPECT_FALSE(builder->SendContainerUpdate(containers));
  EXPECT_EQ(builder->Messages().size(), 0u);
}

TEST_F(BuilderTest, RefusedSendStopsTheBatch) {
  builder->Link().refuseFrom = 1;
  EXPECT_FALSE(builder->SendPortListFullSync(Ids(1, "c"), Ids(500, "p"), Ids(3, "t")));
  EXPECT_EQ(builder->Messages().size(), 1u);
}

// Inside a batch the link is woken per kMessagesPerWake messages and at the batch's end, not per message; messages
// keep their order and each send its result; a batch opened inside another does not end it, and another thread's
// sends are not held by it.
TEST_F(BuilderTest, ABatchWakesTheLinkPerWakeCountOfMessagesAndAtItsEndInOrder) {
  constexpr uint16_t kWake = KCPMsgConvertor::kMessagesPerWake;
  static_assert(kWake > 100 && kWake + 100 < 1000, "the message types below stay apart from 1000, 2000 and 3000");
  test::RecordingLink& link = builder->Link();
  ASSERT_TRUE(builder->SendEmptyList(1000));
  {
    KcpSendBatch batch(*builder);
    for (uint16_t type = 0; type < kWake + 36; ++type) ASSERT_TRUE(builder->SendEmptyList(type));
    {
      KcpSendBatch inner(*builder);
      ASSERT_TRUE(builder->SendEmptyList(kWake + 36));
    }
    std::thread other([&] { EXPECT_TRUE(builder->SendEmptyList(2000)); });
    other.join();
    for (uint16_t type = kWake + 37; type < 2 * kWake + 2; ++type) ASSERT_TRUE(builder->SendEmptyList(type));
    link.refuseFrom = 2 * kWake + 4;
    EXPECT_FALSE(builder->SendEmptyList(2 * kWake + 2));
  }
  EXPECT_FALSE(builder->SendEmptyList(3000));
  EXPECT_EQ(link.Calls(), "s" + std::string(kWake, 'l') + "f" + std::string(37, 'l') + "s" +
                              std::string(kWake - 37, 'l') + "f" + std::string(3, 'l') + "fs");
  std::vector<uint16_t> types;
  for (const auto& message : link.Messages()) types.push_back(Be16(message, 5));
  std::vector<uint16_t> expected{1000};
  for (uint16_t type = 0; type <= kWake + 36; ++type) expected.push_back(type);
  expected.push_back(2000);
  for (uint16_t type = kWake + 37; type < 2 * kWake + 2; ++type) expected.push_back(type);
  EXPECT_EQ(types, expected);  // 2 * kWake + 2 and 3000 refused
}

TEST_F(BuilderTest, MessagesAreDumpedAtInfoLevelOnly) {
  DVSEntityUpdate update;
  update.Add("vif-dump", PORT_PROP_BLOCKED, BoolText(true));
  {
    LogCapture logs(LOG_LEVEL_INFO);
    ASSERT_TRUE(builder->SendEntityUpdate(update));
    EXPECT_EQ(logs.Count({"KCP Message", "Port Property Update", "vif-dump", "key = 101"}), 1u);
  }
  {
    LogCapture logs(LOG_LEVEL_WARN);
    ASSERT_TRUE(builder->SendEntityUpdate(update));
    EXPECT_EQ(logs.Count("KCP Message"), 0u);
  }
}

TEST_F(BuilderTest, WithoutALinkNothingIsSent) {
  qor::RefPtr<KCPMsgConvertor> unlinked(new KCPMsgConvertor(nullptr));
  EXPECT_FALSE(unlinked->SendEmptyList(8));
}

}  // namespace
}  // namespace VevUroro
