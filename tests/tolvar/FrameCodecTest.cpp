// The frame decoder and the schema helpers, in-process.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "platform/tolvar/FrameCodec.h"
#include "platform/tolvar/TolvarSchema.h"
#include "zantix/qor/tolvar/l2.pb.h"
#include "zantix/qor/tolvar/l3.pb.h"
#include "zantix/qor/tolvar/objecttype.pb.h"
#include "zantix/qor/tolvar/runtime.pb.h"

namespace qor::tolvar {
namespace {

namespace tv = zantix::qor::tolvar;

TEST(FrameDecoderTest, SplitsAStreamCutAnywhereIntoItsFrames) {
  std::string stream = EncodeFrame("one") + EncodeFrame("") + EncodeFrame(std::string(70000, 'z'));
  EXPECT_EQ(stream.substr(0, 4), std::string("\0\0\0\3", 4));  // big-endian length
  for (size_t chunk : {1u, 3u, 7u, 4096u}) {
    FrameDecoder decoder(100000);
    std::vector<std::string> frames;
    std::string payload;
    for (size_t i = 0; i < stream.size(); i += chunk) {
      decoder.Append(stream.data() + i, std::min(chunk, stream.size() - i));
      while (decoder.Next(&payload) == FrameDecoder::Result::kFrame) frames.push_back(payload);
    }
    ASSERT_EQ(frames.size(), 3u) << chunk;
    EXPECT_EQ(frames[0], "one");
    EXPECT_EQ(frames[1], "");
    EXPECT_EQ(frames[2].size(), 70000u);
    EXPECT_EQ(decoder.Buffered(), 0u);
  }
}

TEST(FrameDecoderTest, OversizedLengthIsRefusedBeforeAnyPayloadArrives) {
  FrameDecoder decoder(1000);
  std::string header = EncodeFrame(std::string(1001, 'a')).substr(0, 4);
  decoder.Append(header.data(), header.size());
  std::string payload;
  EXPECT_EQ(decoder.Next(&payload), FrameDecoder::Result::kTooLarge);
  std::string more = EncodeFrame("ok");
  decoder.Append(more.data(), more.size());
  EXPECT_EQ(decoder.Next(&payload), FrameDecoder::Result::kTooLarge);  // sticky: the stream is lost
}

// A message framed straight from its fields carries exactly the bytes of its serialization behind the header, for
// empty messages, nested ones and ones whose payload needs every byte of the length.
TEST(FrameDecoderTest, AMessageFramedDirectlyIsTheFrameOfItsSerialization) {
  std::mt19937 random(7);
  std::vector<tv::LogSwitchFibMsg> messages(1);
  for (int n : {1, 10, 6000}) {
    tv::LogSwitchFibMsg fib;
    fib.mutable_id()->set_low(random());
    for (int i = 0; i < n; ++i) {
      tv::VmIpMsg* ip = fib.add_vm_ips();
      ip->mutable_ip()->set_ipv4(static_cast<uint32_t>(random()));
      ip->mutable_mac()->set_mac(random());
    }
    messages.push_back(fib);
  }
  for (const auto& message : messages) {
    const std::string framed = EncodeFrame(message);
    EXPECT_EQ(framed, EncodeFrame(message.SerializeAsString()));
    FrameDecoder decoder;
    decoder.Append(framed.data(), framed.size());
    std::string payload;
    ASSERT_EQ(decoder.Next(&payload), FrameDecoder::Result::kFrame);
    tv::LogSwitchFibMsg back;
    ASSERT_TRUE(back.ParseFromString(payload));
    EXPECT_EQ(back.vm_ips_size(), message.vm_ips_size());
  }
  EXPECT_GT(messages.back().ByteSizeLong(), 65536u);  // a length with three significant bytes
}

TEST(TolvarSchemaTest, EveryObjectTypeHasItsMessagesAndIdField) {
  std::vector<uint32_t> types = AllObjectTypes();
  EXPECT_EQ(types.size(), 57u);  // 56 desired/runtime types of the table and HOPLIFT_STATUS
  for (uint32_t type : types) {
    const auto* object = ObjectDescriptor(type);
    ASSERT_NE(object, nullptr) << type;
    ASSERT_NE(OpDescriptor(type), nullptr) << type;
    EXPECT_EQ(ObjectTypeOf(object), type);
    const auto* id = object->FindFieldByNumber(1);
    ASSERT_NE(id, nullptr) << ObjectTypeName(type);
    EXPECT_FALSE(id->is_repeated());
    // Every list property of the object has an element-operation list in the op message.
    for (const auto* list : ListProperties(object)) {
      EXPECT_NE(PropertyField(OpDescriptor(type), PropertyOf(list)), nullptr)
          << ObjectTypeName(type) << " " << list->name();
    }
  }
  EXPECT_EQ(ObjectTypeName(tv::HOPLIFT_STATUS), "HOPLIFT_STATUS");
  EXPECT_EQ(*ParseObjectType("CFG_AGENT_FAILOVER_ACK"), 236u);
  EXPECT_FALSE(ParseObjectType("NOT_A_TYPE"));
  EXPECT_EQ(PropertyTypeName(304), "L2_VTEP_GROUP");
  EXPECT_EQ(*ParsePropertyType("DA_VIF"), 550u);
}

TEST(TolvarSchemaTest, PropertiesOfTheLogicalSwitchPortAre50To66) {
  const auto* port = ObjectDescriptor(tv::LOG_SWITCH_PORT_CONFIG);
  for (uint32_t property = 50; property <= 66; ++property) {
    EXPECT_NE(PropertyField(port, property), nullptr) << property;
  }
  EXPECT_EQ(PropertyField(port, 67), nullptr);
  EXPECT_EQ(PropertyField(port, 52)->message_type()->full_name(), "zantix.qor.tolvar.IpDiscoveryConfigMsg");
}

TEST(TolvarSchemaTest, IdsAndUuidText) {
  tv::VifStateMsg vif;
  vif.set_id("vif-1");
  std::string id;
  ASSERT_TRUE(ObjectIdBytes(vif, &id));
  EXPECT_EQ(id, "vif-1");
  EXPECT_EQ(ObjectIdText(tv::VIF_STATE, id), "vif-1");

  uint64_t high, low;
  ASSERT_TRUE(ParseUuid("0123abcd-4567-89ef-0011-223344556677", &high, &low));
  EXPECT_EQ(high, 0x0123abcd456789efULL);
  EXPECT_EQ(low, 0x0011223344556677ULL);
  EXPECT_EQ(UuidToString(high, low), "0123abcd-4567-89ef-0011-223344556677");
  EXPECT_FALSE(ParseUuid("0123abcd-4567-89ef-0011-22334455667", &high, &low));
  EXPECT_FALSE(ParseUuid("0123abcd+4567-89ef-0011-223344556677", &high, &low));
  tv::LogSwitchFibMsg fib;
  fib.mutable_id()->set_high(high);
  fib.mutable_id()->set_low(low);
  ASSERT_TRUE(ObjectIdBytes(fib, &id));
  EXPECT_EQ(ObjectIdText(tv::LOG_SWITCH_FIB, id), "0123abcd-4567-89ef-0011-223344556677");
}

// Ids are read from their bytes without the parser when they have the usual layout; any bytes must read as the
// parser reads them (last field wins, unknown fields skipped, a cut or malformed value refused).
TEST(TolvarSchemaTest, UuidBytesReadAsTheParserReadsThem) {
  const unsigned seed = ::testing::UnitTest::GetInstance()->random_seed();
  std::mt19937_64 random(seed);
  auto fixed = [](uint8_t tag, uint64_t value) {
    std::string out(1, static_cast<char>(tag));
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
    return out;
  };
  std::vector<std::string> cases = {"",
                                    fixed(0x09, 1),
                                    fixed(0x11, ~0ULL),
                                    fixed(0x09, 5) + fixed(0x11, 6),
                                    fixed(0x11, 6) + fixed(0x09, 5),
                                    fixed(0x09, 1) + fixed(0x09, 2),
                                    fixed(0x09, 1).substr(0, 5),
                                    fixed(0x09, 1) + "\x18\x07",
                                    "\x18\x07" + fixed(0x11, 3),
                                    std::string("\x0a\x00", 2),
                                    "\xff"};
  for (int i = 0; i < 2000; ++i) {
    std::string bytes;
    const int fields = static_cast<int>(random() % 4);
    for (int f = 0; f < fields; ++f) bytes += fixed(random() % 2 ? 0x09 : 0x11, random());
    if (random() % 3 == 0 && !bytes.empty()) bytes[random() % bytes.size()] = static_cast<char>(random());
    if (random() % 4 == 0) bytes.resize(random() % (bytes.size() + 1));
    cases.push_back(bytes);
  }
  for (const std::string& bytes : cases) {
    SCOPED_TRACE("seed " + std::to_string(seed) + ", bytes of size " + std::to_string(bytes.size()));
    tv::UuidMsg parsed;
    const bool parses = parsed.ParseFromString(bytes);
    uint64_t high = 1;
    uint64_t low = 1;
    ASSERT_EQ(ParseUuidBytes(bytes, &high, &low), parses);
    if (!parses) continue;
    EXPECT_EQ(high, parsed.high());
    EXPECT_EQ(low, parsed.low());
    std::string text = "id ";
    AppendUuidText(text, high, low);
    char expected[40];
    std::snprintf(expected, sizeof(expected), "id %08x-%04x-%04x-%04x-%012llx", static_cast<unsigned>(high >> 32),
                  static_cast<unsigned>((high >> 16) & 0xffff), static_cast<unsigned>(high & 0xffff),
                  static_cast<unsigned>(low >> 48), static_cast<unsigned long long>(low & 0xffffffffffffULL));
    EXPECT_EQ(text, expected);
  }
}

// Element keys: the overlay elements by the L2 value key of their kind, every other element by its bytes.
TEST(TolvarSchemaTest, ElementKeysFollowTheL2ValueKeysAndTheBytesOtherwise) {
  uint64_t part1, part2;
  tv::VtepMsg vtep;
  vtep.set_label(7);
  vtep.mutable_ip()->set_ipv4(0x0a000001);
  ASSERT_TRUE(OverlayElementKey(vtep, &part1, &part2));
  EXPECT_EQ(std::make_pair(part1, part2), std::make_pair(uint64_t{7}, uint64_t{0}));  // the label wins
  vtep.set_label(0);
  ASSERT_TRUE(OverlayElementKey(vtep, &part1, &part2));
  EXPECT_EQ(std::make_pair(part1, part2), std::make_pair(uint64_t{0x0a000001}, uint64_t{4}));
  // An IPv6 address is the key whole: two addresses that differ anywhere are two keys (these two, in /64s that
  // differ in their eighth byte, once shared one).
  auto v6 = [](const char* hex) {
    std::string bytes;
    for (size_t i = 0; i < 32; i += 2)
      bytes.push_back(static_cast<char>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
    return bytes;
  };
  tv::VtepMsg first, second;
  first.mutable_ip()->set_ipv6(v6("20010db8000000010000000000000001"));   // 2001:db8:0:1::1
  second.mutable_ip()->set_ipv6(v6("20010db80000003e0000000000000002"));  // 2001:db8:0:3e::2
  EXPECT_NE(ElementKey(first), ElementKey(second));
  ASSERT_TRUE(OverlayElementKey(first, &part1, &part2));
  EXPECT_EQ(part1, 0x01000000b80d0120ULL);  // the first eight address bytes, as stored in memory
  EXPECT_EQ(part2, 0x0100000000000000ULL);
  // An address that would look like a label or an IPv4 key is told apart from it.
  tv::VtepMsg labelled, lookalike;
  labelled.set_label(0x0a000001);
  lookalike.mutable_ip()->set_ipv6(v6("0100000a000000000000000000000000"));
  EXPECT_NE(ElementKey(labelled), ElementKey(lookalike));
  tv::VtepMsg v4, v4lookalike;
  v4.mutable_ip()->set_ipv4(0x0a000001);
  v4lookalike.mutable_ip()->set_ipv6(v6("0100000a000000000400000000000000"));
  EXPECT_NE(ElementKey(v4), ElementKey(v4lookalike));
  tv::VmMacMsg mac;
  mac.mutable_mac()->set_mac(0xaabbccddeeffULL);
  mac.mutable_vtep_ip()->set_ipv4(3);  // not part of the key
  ASSERT_TRUE(OverlayElementKey(mac, &part1, &part2));
  EXPECT_EQ(std::make_pair(part1, part2), std::make_pair(uint64_t{0xaabbccddeeffULL}, uint64_t{0}));
  tv::VmIpMsg ip;
  ip.mutable_ip()->set_ipv4(0x0a000002);
  ASSERT_TRUE(OverlayElementKey(ip, &part1, &part2));
  EXPECT_EQ(part1, 0x0a000002u);
  tv::VmMacMsg other = mac;
  other.mutable_vtep_ip()->set_ipv4(4);
  EXPECT_EQ(ElementKey(other), ElementKey(mac));

  tv::ArpEntryMsg arp;
  arp.mutable_ip()->set_ipv4(1);
  EXPECT_FALSE(OverlayElementKey(arp, &part1, &part2));
  EXPECT_EQ(ElementKey(arp), DeterministicBytes(arp));

  tv::ArpTableConfigMsg table;
  *table.add_entries() = arp;
  arp.mutable_mac()->set_mac(1);
  *table.add_entries() = arp;
  EXPECT_EQ(DuplicateElement(table), "");  // another MAC: another element
  *table.add_entries() = arp;
  EXPECT_EQ(DuplicateElement(table), "L3_ARP_ENTRY holds two elements with the same key (elements 1 and 2)");
}

}  // namespace
}  // namespace qor::tolvar
