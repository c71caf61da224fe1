#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dataplane/kcp/KcpFormat.h"
#include "dataplane/kcp/KcpReader.h"
#include "dataplane/kcp/KcpWriter.h"

namespace VevUroro::kcp {
namespace {

std::vector<uint8_t> Encode(const KcpMessage& msg) {
  auto bytes = EncodeMessage(msg);
  EXPECT_TRUE(bytes.has_value());
  return bytes.value_or(std::vector<uint8_t>{});
}

KcpMessage Decode(const std::vector<uint8_t>& bytes) {
  KcpMessage msg;
  EXPECT_TRUE(DecodeMessage(bytes.data(), bytes.size(), &msg));
  return msg;
}

KcpMessage UpdateWith(DataItem item, uint8_t flags = 0) {
  KcpMessage msg;
  msg.type = KCP_MSG_UPDATE;
  msg.updateFlags = flags;
  msg.items.push_back(std::move(item));
  return msg;
}

DiscoveredBinding V4Binding() {
  DiscoveredBinding b;
  b.family = 1;
  b.ip = {10, 1, 2, 3};
  b.mac = {0x00, 0x50, 0x56, 0xaa, 0xbb, 0xcc};
  b.vlanId = 0x0102;
  b.method = 4;
  b.timestamp = 0x1122334455667788ull;
  return b;
}

VifRecord SampleVif() {
  VifRecord vif;
  vif.vifId = "vif-1";
  vif.portId = "port-1";
  vif.switchId = "switch-1";
  vif.parentVifId = "parent-1";
  vif.vifType = KCP_VIF_CONTAINER;
  vif.smartNic = 1;
  vif.hoplift = 1;
  vif.properties = {MakeStatusProperty(KCP_VIF_CONNECT),
                    MakeMacProperty({MacAddress{1, 2, 3, 4, 5, 6}, MacAddress{0xa, 0xb, 0xc, 0xd, 0xe, 0xf}}),
                    MakeBindingsProperty({V4Binding()})};
  return vif;
}

TEST(KcpCodecTest, VifUpdateLayoutAndRoundTrip) {
  DataItem item;
  item.type = KCP_UPDATE_VIF;
  item.operation = KCP_OP_UPDATE;
  item.vifs = {SampleVif(), VifRecord{"vif-2", "port-2", "sw", "", KCP_VIF_VNIC, 0, 0, {}}};
  auto bytes = Encode(UpdateWith(item, kUpdateFlagMore));

  // Header, flags, TLV header, operation byte, then the first record.
  size_t rec0Len = 213 + 5 + (4 + 12) + (4 + 34);
  size_t itemLen = 4 + 1 + rec0Len + 213;
  ASSERT_EQ(bytes.size(), 5 + itemLen);
  EXPECT_EQ(ReadU16(&bytes[0]), KCP_MSG_UPDATE);
  EXPECT_EQ(ReadU16(&bytes[2]), bytes.size());
  EXPECT_EQ(bytes[4], 0x80);
  EXPECT_EQ(ReadU16(&bytes[5]), KCP_UPDATE_VIF);
  EXPECT_EQ(ReadU16(&bytes[7]), itemLen);
  EXPECT_EQ(bytes[9], KCP_OP_UPDATE);
  const uint8_t* rec = &bytes[10];
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(rec)), "vif-1");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(rec + 48)), "port-1");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(rec + 96)), "switch-1");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(rec + 160)), "parent-1");
  EXPECT_EQ(rec[208], KCP_VIF_CONTAINER);
  EXPECT_EQ(rec[209], 1);
  EXPECT_EQ(rec[210], 1);
  EXPECT_EQ(ReadU16(rec + 211), rec0Len);
  // Status property right after the fixed part; then the binding's VLAN big-endian at offset 23 of the record.
  EXPECT_EQ(ReadU16(rec + 213), KCP_VIF_PROP_STATUS);
  EXPECT_EQ(ReadU16(rec + 215), 5);
  EXPECT_EQ(rec[217], KCP_VIF_CONNECT);
  const uint8_t* binding = rec + 213 + 5 + 16 + 4;
  EXPECT_EQ(binding[0], 1);
  EXPECT_EQ(binding[1], 10);
  EXPECT_EQ(binding[4], 3);
  EXPECT_EQ(binding[23], 0x01);
  EXPECT_EQ(binding[24], 0x02);
  EXPECT_EQ(ReadNativeU64(binding + 26), 0x1122334455667788ull);

  auto msg = Decode(bytes);
  EXPECT_FALSE(msg.truncated);
  EXPECT_TRUE(msg.MoreFollows());
  ASSERT_EQ(msg.items.size(), 1u);
  EXPECT_TRUE(msg.items[0].wellFormed);
  EXPECT_EQ(msg.items[0].operation, KCP_OP_UPDATE);
  EXPECT_EQ(msg.items[0].vifs, item.vifs);
  auto bindings = DecodeBindingsProperty(msg.items[0].vifs[0].properties[2]);
  ASSERT_EQ(bindings.size(), 1u);
  EXPECT_EQ(bindings[0], V4Binding());
  EXPECT_EQ(Encode(msg), bytes);
}

TEST(KcpCodecTest, PropertyRecordsRoundTrip) {
  DataItem port;
  port.type = KCP_UPDATE_PORT_PROPERTY;
  port.operation = KCP_OP_DELETE;
  port.propertyRecords = {{"vif-a", {{7, {1, 2, 3}}, {8, {}}}}, {"vif-b", {}}};
  auto bytes = Encode(UpdateWith(port));
  EXPECT_EQ(ReadU16(&bytes[10 + 48]), 50 + 7 + 4);  // record length after the 48-byte VIF ID
  EXPECT_EQ(Decode(bytes).items.at(0).propertyRecords, port.propertyRecords);

  DataItem tkmnic;
  tkmnic.type = KCP_UPDATE_TKMNIC_PROPERTY;
  tkmnic.operation = KCP_OP_FULL_SYNC;
  tkmnic.propertyRecords = {{"vmk0", {{3, {9, 9}}}}};
  bytes = Encode(UpdateWith(tkmnic));
  EXPECT_EQ(ReadU16(&bytes[10 + 16]), 18 + 6);
  auto msg = Decode(bytes);
  EXPECT_EQ(msg.items.at(0).operation, KCP_OP_FULL_SYNC);
  EXPECT_EQ(msg.items.at(0).propertyRecords, tkmnic.propertyRecords);

  DataItem vds;
  vds.type = KCP_UPDATE_VDS_PROPERTY;
  vds.vds = VdsRecord{"vds-uuid", KCP_OP_UPDATE, {{100, {1}}, {101, {2, 3}}}};
  bytes = Encode(UpdateWith(vds));
  EXPECT_EQ(bytes[9 + 64], KCP_OP_UPDATE);
  EXPECT_EQ(ReadU16(&bytes[9 + 65]), 67 + 5 + 6);
  EXPECT_EQ(Decode(bytes).items.at(0).vds, vds.vds);
}

TEST(KcpCodecTest, ListsRoundTripWithTheirCounts) {
  struct Case {
    uint16_t type;
    size_t width;
  } cases[] = {{KCP_UPDATE_PORT_LIST, 48},
               {KCP_UPDATE_TKMNIC_LIST, 16},
               {KCP_UPDATE_CONTAINER_LIST, 48},
               {KCP_UPDATE_VDS_LIST, 64}};
  for (const auto& c : cases) {
    DataItem item;
    item.type = c.type;
    item.ids = {"a", "b", std::string(c.width, 'x')};  // a value that fills its field has no terminator
    auto bytes = Encode(UpdateWith(item));
    EXPECT_EQ(ReadU16(&bytes[7]), 4 + 3 * c.width);
    EXPECT_EQ(Decode(bytes).items.at(0).ids, item.ids) << c.type;
  }

  DataItem pcl;
  pcl.type = KCP_UPDATE_PORT_CONTAINER_LIST;
  pcl.ownerId = "port-vif";
  pcl.ids = {"c1", "c2"};
  auto bytes = Encode(UpdateWith(pcl));
  EXPECT_EQ(ReadU16(&bytes[7]), 52 + 2 * 48);
  auto msg = Decode(bytes);
  EXPECT_EQ(msg.items.at(0).ownerId, "port-vif");
  EXPECT_EQ(msg.items.at(0).ids, pcl.ids);
}

TEST(KcpCodecTest, ContainersAndUplinksRoundTrip) {
  DataItem containers;
  containers.type = KCP_UPDATE_CONTAINER;
  ContainerRecord c1{"cif-1", "port-1", "vmport-1", "vmvif-1", 0x0abc, {1, 2, 3, 4, 5, 6}, {}};
  c1.entries.push_back(IpMacEntry{1, {192, 168, 0, 1}, {6, 5, 4, 3, 2, 1}});
  c1.entries.push_back(IpMacEntry{0, {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, {1, 1, 1, 1, 1, 1}});
  ContainerRecord c2{"cif-2", "port-2", "vmport-2", "vmvif-2", 7, {}, {}};
  containers.containers = {c1, c2};
  auto bytes = Encode(UpdateWith(containers));
  EXPECT_EQ(ReadU16(&bytes[7]), 4 + 202 + 2 * 23 + 202);
  EXPECT_EQ(ReadU16(&bytes[9 + 192]), 0x0abc);
  EXPECT_EQ(ReadU16(&bytes[9 + 200]), 2);
  EXPECT_EQ(Decode(bytes).items.at(0).containers, containers.containers);

  DataItem uplinks;
  uplinks.type = KCP_UPDATE_UPLINK;
  uplinks.operation = KCP_OP_UPDATE;
  uplinks.uplinks = {{"up-1", "sw-1", "client", "alias-1"}, {"up-2", "sw-2", std::string(20, 'c'), "a2"}};
  bytes = Encode(UpdateWith(uplinks));
  EXPECT_EQ(ReadU16(&bytes[7]), 4 + 1 + 2 * 213);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[10 + 132])), "alias-1");
  EXPECT_EQ(Decode(bytes).items.at(0).uplinks, uplinks.uplinks);
}

TEST(KcpCodecTest, NotificationsQueryAndInitRoundTrip) {
  KcpMessage n;
  n.type = KCP_MSG_NOTIFICATION;
  DataItem status;
  status.type = KCP_NOTIFY_DP_STATUS;
  status.status = KCP_DP_OUT_OF_SYNC;
  DataItem port;
  port.type = KCP_NOTIFY_PORT_PROPERTY_OUT_OF_SYNC;
  port.ownerId = "vif-9";
  DataItem tkmnic;
  tkmnic.type = KCP_NOTIFY_TKMNIC_PROPERTY_OUT_OF_SYNC;
  tkmnic.ownerId = "vmk1";
  DataItem hoplift;
  hoplift.type = KCP_NOTIFY_PORT_CONTAINER_HOPLIFT_FULL_SYNC;
  hoplift.ownerId = "vif-h";
  hoplift.value16 = KCP_SYNC_BOTH;
  n.items = {status, port, tkmnic, hoplift};
  auto bytes = Encode(n);
  EXPECT_EQ(bytes.size(), 4u + 5 + 52 + 20 + 54);
  EXPECT_EQ(ReadU16(&bytes[4 + 5 + 52 + 20 + 52]), KCP_SYNC_BOTH);  // sync type at offset 52 of its TLV
  auto msg = Decode(bytes);
  ASSERT_EQ(msg.items.size(), 4u);
  EXPECT_EQ(msg.items[0].status, KCP_DP_OUT_OF_SYNC);
  EXPECT_EQ(msg.items[1].ownerId, "vif-9");
  EXPECT_EQ(msg.items[2].ownerId, "vmk1");
  EXPECT_EQ(msg.items[3].ownerId, "vif-h");
  EXPECT_EQ(msg.items[3].value16, KCP_SYNC_BOTH);

  EXPECT_EQ(BuildDpStatusQuery(), (std::vector<uint8_t>{0, 4, 0, 8, 0, 1, 0, 4}));
  EXPECT_EQ(BuildDpStatusNotification(2), (std::vector<uint8_t>{0, 3, 0, 9, 0, 1, 0, 5, 2}));

  std::vector<uint8_t> init = {0, 1, 0, 10, 0, 1, 0, 6, 0xff, 0xfe};
  msg = Decode(init);
  ASSERT_EQ(msg.items.size(), 1u);
  EXPECT_EQ(msg.items[0].value16, 0xfffe);
}

TEST(KcpCodecTest, SessionControlIsFifteenBytes) {
  auto open = BuildSessionControl(KCP_SESSION_OPEN, 0x01020304);
  EXPECT_EQ(open, (std::vector<uint8_t>{0, 5, 0, 15, 0, 1, 0, 11, 1, 1, 2, 3, 4, 0x28, 0x00}));
  auto ack = BuildSessionControl(KCP_SESSION_OPEN_ACK, 7);
  EXPECT_EQ(ack, (std::vector<uint8_t>{0, 5, 0, 15, 0, 1, 0, 11, 2, 0, 0, 0, 7, 0, 0}));
  auto msg = Decode(open);
  ASSERT_EQ(msg.items.size(), 1u);
  EXPECT_EQ(msg.items[0].controlType, KCP_SESSION_OPEN);
  EXPECT_EQ(msg.items[0].sessionId, 0x01020304u);
  EXPECT_EQ(Encode(msg), open);

  // A receiver accepts any data length of at least 9.
  std::vector<uint8_t> shortest = {0, 5, 0, 13, 0, 1, 0, 9, 3, 0, 0, 1, 0};
  msg = Decode(shortest);
  ASSERT_EQ(msg.items.size(), 1u);
  EXPECT_TRUE(msg.items[0].wellFormed);
  EXPECT_EQ(msg.items[0].controlType, KCP_SESSION_FULL_SYNC_END);
  EXPECT_EQ(msg.items[0].sessionId, 256u);
  std::vector<uint8_t> tooShort = {0, 5, 0, 12, 0, 1, 0, 8, 3, 0, 0, 1};
  msg = Decode(tooShort);
  ASSERT_EQ(msg.items.size(), 1u);
  EXPECT_FALSE(msg.items[0].wellFormed);
}

TEST(KcpCodecTest, UnknownDataTypeIsSkippedAndTheWalkGoesOn) {
  KcpMessage msg;
  msg.type = KCP_MSG_UPDATE;
  DataItem unknown;
  unknown.type = 99;
  unknown.raw = {1, 2, 3};
  DataItem list;
  list.type = KCP_UPDATE_PORT_LIST;
  list.ids = {"after"};
  msg.items = {unknown, list};
  auto decoded = Decode(Encode(msg));
  ASSERT_EQ(decoded.items.size(), 2u);
  EXPECT_EQ(decoded.items[0].type, 99);
  EXPECT_EQ(decoded.items[0].raw, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(decoded.items[1].ids, std::vector<std::string>{"after"});
}

TEST(KcpCodecTest, UpdateOfFourOrFiveBytesHasNoItems) {
  for (std::vector<uint8_t> bytes : {std::vector<uint8_t>{0, 2, 0, 4}, std::vector<uint8_t>{0, 2, 0, 5, 0x80}}) {
    KcpMessage msg;
    ASSERT_TRUE(DecodeMessage(bytes.data(), bytes.size(), &msg));
    EXPECT_EQ(msg.type, KCP_MSG_UPDATE);
    EXPECT_TRUE(msg.items.empty());
  }
  // The first item must fit in (length − 5).
  std::vector<uint8_t> overlong = {0, 2, 0, 9, 0, 0, 3, 0, 5};
  EXPECT_TRUE(Decode(overlong).items.empty());
}

TEST(KcpCodecTest, VifRecordWithoutRoomForPropertiesHasNone) {
  DataItem item;
  item.type = KCP_UPDATE_VIF;
  item.operation = KCP_OP_UPDATE;
  item.vifs = {VifRecord{"bare", "p", "s", "", KCP_VIF_VNIC, 0, 0, {}}};
  auto bytes = Encode(UpdateWith(item));
  EXPECT_EQ(ReadU16(&bytes[10 + 211]), 213);
  auto msg = Decode(bytes);
  ASSERT_EQ(msg.items.at(0).vifs.size(), 1u);
  EXPECT_TRUE(msg.items[0].vifs[0].properties.empty());

  // Three trailing bytes: a property area under 4 bytes is not parsed.
  bytes.insert(bytes.end(), {0, 1, 0});
  WriteU16(&bytes[2], static_cast<uint16_t>(bytes.size()));
  WriteU16(&bytes[7], static_cast<uint16_t>(bytes.size() - 5));
  WriteU16(&bytes[10 + 211], 216);
  msg = Decode(bytes);
  ASSERT_EQ(msg.items.at(0).vifs.size(), 1u);
  EXPECT_TRUE(msg.items[0].vifs[0].properties.empty());
}

TEST(KcpCodecTest, BindingFamilyZeroIsIpv6) {
  DiscoveredBinding v6;
  v6.family = 0;
  v6.ip = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x42};
  DiscoveredBinding v4 = V4Binding();
  v4.family = 0x7f;  // any non-zero value is IPv4
  auto decoded = DecodeBindingsProperty(MakeBindingsProperty({v6, v4}));
  ASSERT_EQ(decoded.size(), 2u);
  EXPECT_FALSE(decoded[0].IsIpv4());
  EXPECT_EQ(decoded[0].ip, v6.ip);
  EXPECT_TRUE(decoded[1].IsIpv4());
}

// Lengths from the datapath are untrusted: none of these may loop, crash or read outside the buffer.
TEST(KcpCodecTest, HostileLengthsStopTheWalk) {
  // Data item length 0 and 2.
  for (uint16_t bad : {0, 2}) {
    std::vector<uint8_t> bytes = {0, 3, 0, 12, 0, 1, 0, static_cast<uint8_t>(bad), 0, 0, 0, 0};
    auto msg = Decode(bytes);
    EXPECT_TRUE(msg.items.empty());
    EXPECT_TRUE(msg.truncated);
  }
  // Length field beyond the buffer: only the given bytes are walked.
  std::vector<uint8_t> cut = {0, 3, 0xff, 0xff, 0, 1, 0, 5, 1};
  auto msg = Decode(cut);
  EXPECT_TRUE(msg.truncated);
  ASSERT_EQ(msg.items.size(), 1u);
  EXPECT_EQ(msg.items[0].status, 1);

  // A second VIF record claiming length 0, and a property claiming length 0.
  DataItem item;
  item.type = KCP_UPDATE_VIF;
  item.operation = KCP_OP_UPDATE;
  item.vifs = {VifRecord{"one", "p", "s", "", KCP_VIF_VNIC, 0, 0, {{9, {1, 2, 3, 4}}}},
               VifRecord{"two", "p", "s", "", KCP_VIF_VNIC, 0, 0, {}}};
  auto bytes = Encode(UpdateWith(item));
  auto zeroRecord = bytes;
  WriteU16(&zeroRecord[10 + 221 + 211], 0);
  msg = Decode(zeroRecord);
  EXPECT_TRUE(msg.truncated);
  ASSERT_EQ(msg.items.at(0).vifs.size(), 1u);
  auto zeroProperty = bytes;
  WriteU16(&zeroProperty[10 + 213 + 2], 0);
  msg = Decode(zeroProperty);
  EXPECT_TRUE(msg.truncated);
  EXPECT_TRUE(msg.items.at(0).vifs.at(0).properties.empty());

  // A container whose entry count runs past the item.
  DataItem containers;
  containers.type = KCP_UPDATE_CONTAINER;
  containers.containers = {ContainerRecord{"c", "p", "vp", "vv", 1, {}, {}}};
  bytes = Encode(UpdateWith(containers));
  WriteU16(&bytes[9 + 200], 500);
  msg = Decode(bytes);
  EXPECT_FALSE(msg.items.at(0).wellFormed);
  EXPECT_TRUE(msg.items[0].containers.empty());

  KcpMessage empty;
  EXPECT_FALSE(DecodeMessage(bytes.data(), 3, &empty));
  EXPECT_FALSE(DecodeMessage(nullptr, 0, &empty));
}

TEST(KcpCodecTest, EncoderRefusesOversizedMessages) {
  DataItem item;
  item.type = KCP_UPDATE_PORT_LIST;
  item.ids.assign(1400, "x");  // 1400 × 48 bytes
  EXPECT_FALSE(EncodeMessage(UpdateWith(item)).has_value());
  item.ids.resize(1300);
  EXPECT_TRUE(EncodeMessage(UpdateWith(item)).has_value());
}

}  // namespace
}  // namespace VevUroro::kcp
