// KCP messages laid out by hand from the format's tables (offsets, widths, big-endian integers, NUL-padded
// strings), never by the codec: the encoder must produce exactly these bytes and the reader must read them back.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dataplane/kcp/KcpFormat.h"
#include "dataplane/kcp/KcpReader.h"
#include "dataplane/kcp/KcpWriter.h"

namespace VevUroro::kcp {
namespace {

// A zeroed buffer whose fields are written at the offsets of the layout tables.
class Layout {
 public:
  explicit Layout(size_t size) : _bytes(size, 0) {}
  Layout& U8(size_t offset, uint8_t value) {
    At(offset, 1)[0] = value;
    return *this;
  }
  Layout& U16(size_t offset, uint16_t value) {
    uint8_t* p = At(offset, 2);
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value & 0xff);
    return *this;
  }
  Layout& U32(size_t offset, uint32_t value) {
    uint8_t* p = At(offset, 4);
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
    return *this;
  }
  // The one field of the format in the sender's native order.
  Layout& NativeU64(size_t offset, uint64_t value) {
    std::memcpy(At(offset, 8), &value, 8);
    return *this;
  }
  Layout& Text(size_t offset, size_t width, const std::string& text) {
    EXPECT_LE(text.size(), width);
    std::memcpy(At(offset, width), text.data(), std::min(text.size(), width));
    return *this;
  }
  Layout& Raw(size_t offset, const std::vector<uint8_t>& raw) {
    std::memcpy(At(offset, raw.size()), raw.data(), raw.size());
    return *this;
  }
  const std::vector<uint8_t>& Bytes() const { return _bytes; }

 private:
  uint8_t* At(size_t offset, size_t width) {
    if (offset + width > _bytes.size()) {
      ADD_FAILURE() << "field at " << offset << " width " << width << " outside " << _bytes.size() << " bytes";
      static uint8_t sink[256];
      return sink;
    }
    return _bytes.data() + offset;
  }
  std::vector<uint8_t> _bytes;
};

std::vector<uint8_t> Encoded(const KcpMessage& message) {
  auto bytes = EncodeMessage(message);
  EXPECT_TRUE(bytes.has_value());
  return bytes.value_or(std::vector<uint8_t>{});
}

KcpMessage Read(const std::vector<uint8_t>& bytes) {
  KcpMessage message;
  EXPECT_TRUE(DecodeMessage(bytes.data(), bytes.size(), &message));
  EXPECT_FALSE(message.truncated);
  EXPECT_EQ(message.length, bytes.size());
  return message;
}

KcpMessage Message(uint16_t type, DataItem item, uint8_t flags = 0) {
  KcpMessage message;
  message.type = type;
  message.updateFlags = flags;
  message.items.push_back(std::move(item));
  return message;
}

const MacAddress kMac1{0x00, 0x50, 0x56, 0x01, 0x02, 0x03};
const MacAddress kMac2{0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};

TEST(KcpLayoutTest, VifUpdateWithEveryVifProperty) {
  // Record: 213 fixed bytes, then status (4 + 1), MAC (4 + 2 x 6) and bindings (4 + 34) properties.
  const size_t record = 213 + 5 + 16 + 38;
  const size_t item = 4 + 1 + record;
  const size_t total = 5 + item;
  Layout wire(total);
  wire.U16(0, 2).U16(2, static_cast<uint16_t>(total)).U8(4, 0x80);  // Update, more messages follow
  wire.U16(5, 1).U16(7, static_cast<uint16_t>(item)).U8(9, 1);      // VIF Update, operation UPDATE
  const size_t r = 10;
  wire.Text(r + 0, 48, "vif-1").Text(r + 48, 48, "port-1").Text(r + 96, 64, "switch-1").Text(r + 160, 48, "parent-1");
  wire.U8(r + 208, 3).U8(r + 209, 1).U8(r + 210, 1).U16(r + 211, static_cast<uint16_t>(record));
  wire.U16(r + 213, 1).U16(r + 215, 5).U8(r + 217, 2);  // Status: DISCONNECT
  wire.U16(r + 218, 2)
      .U16(r + 220, 16)
      .Raw(r + 222, {kMac1.begin(), kMac1.end()})
      .Raw(r + 228, {kMac2.begin(), kMac2.end()});
  wire.U16(r + 234, 3).U16(r + 236, 38);
  const size_t b = r + 238;  // one binding record of 34 bytes
  wire.U8(b + 0, 1).Raw(b + 1, {192, 168, 7, 9}).Raw(b + 17, {kMac1.begin(), kMac1.end()}).U16(b + 23, 0x0123);
  wire.U8(b + 25, 4).NativeU64(b + 26, 0x1122334455667788ull);

  DiscoveredBinding binding;
  binding.family = 1;
  binding.ip = {192, 168, 7, 9};
  binding.mac = kMac1;
  binding.vlanId = 0x0123;
  binding.method = 4;
  binding.timestamp = 0x1122334455667788ull;
  VifRecord vif{
      "vif-1",
      "port-1",
      "switch-1",
      "parent-1",
      KCP_VIF_CONTAINER,
      1,
      1,
      {MakeStatusProperty(KCP_VIF_DISCONNECT), MakeMacProperty({kMac1, kMac2}), MakeBindingsProperty({binding})}};
  DataItem update;
  update.type = KCP_UPDATE_VIF;
  update.operation = KCP_OP_UPDATE;
  update.vifs = {vif};
  EXPECT_EQ(Encoded(Message(KCP_MSG_UPDATE, update, kUpdateFlagMore)), wire.Bytes());

  KcpMessage read = Read(wire.Bytes());
  EXPECT_TRUE(read.MoreFollows());
  ASSERT_EQ(read.items.size(), 1u);
  EXPECT_EQ(read.items[0].length, item);
  ASSERT_EQ(read.items[0].vifs.size(), 1u);
  EXPECT_EQ(read.items[0].vifs[0], vif);
  auto bindings = DecodeBindingsProperty(read.items[0].vifs[0].properties[2]);
  ASSERT_EQ(bindings.size(), 1u);
  EXPECT_EQ(bindings[0], binding);
  EXPECT_EQ(DecodeMacProperty(read.items[0].vifs[0].properties[1]), (std::vector<MacAddress>{kMac1, kMac2}));
}

TEST(KcpLayoutTest, PortTkmnicAndVdsPropertyRecords) {
  const std::vector<uint8_t> value{0xde, 0xad, 0xbe};
  {
    // Port property record: VIF ID (48), record length (2), then property TLVs.
    const size_t record = 50 + 4 + 3;
    Layout wire(5 + 4 + 1 + record);
    wire.U16(0, 2).U16(2, static_cast<uint16_t>(wire.Bytes().size())).U16(5, 2).U16(7, 4 + 1 + record).U8(9, 2);
    wire.Text(10, 48, "vif-9").U16(58, static_cast<uint16_t>(record)).U16(60, 0x0102).U16(62, 7).Raw(64, value);
    DataItem item;
    item.type = KCP_UPDATE_PORT_PROPERTY;
    item.operation = KCP_OP_DELETE;
    item.propertyRecords = {PropertyRecord{"vif-9", {KcpProperty{0x0102, value}}}};
    EXPECT_EQ(Encoded(Message(KCP_MSG_UPDATE, item)), wire.Bytes());
    EXPECT_EQ(Read(wire.Bytes()).items[0].propertyRecords, item.propertyRecords);
  }
  {
    // Tkmnic property record: name (16), record length (2), then property TLVs.
    const size_t record = 18 + 4 + 3;
    Layout wire(5 + 4 + 1 + record);
    wire.U16(0, 2).U16(2, static_cast<uint16_t>(wire.Bytes().size())).U16(5, 4).U16(7, 4 + 1 + record).U8(9, 1);
    wire.Text(10, 16, "vmk0").U16(26, static_cast<uint16_t>(record)).U16(28, 9).U16(30, 7).Raw(32, value);
    DataItem item;
    item.type = KCP_UPDATE_TKMNIC_PROPERTY;
    item.operation = KCP_OP_UPDATE;
    item.propertyRecords = {PropertyRecord{"vmk0", {KcpProperty{9, value}}}};
    EXPECT_EQ(Encoded(Message(KCP_MSG_UPDATE, item)), wire.Bytes());
    EXPECT_EQ(Read(wire.Bytes()).items[0].propertyRecords, item.propertyRecords);
  }
  {
    // VDS property record: VDS ID (64), operation (1), record length (2), then property TLVs; no item operation.
    const size_t record = 67 + 4 + 3;
    Layout wire(5 + 4 + record);
    wire.U16(0, 2).U16(2, static_cast<uint16_t>(wire.Bytes().size())).U16(5, 6).U16(7, 4 + record);
    wire.Text(9, 64, "vds-1").U8(73, 3).U16(74, static_cast<uint16_t>(record)).U16(76, 0x0a0b).U16(78, 7);
    wire.Raw(80, value);
    DataItem item;
    item.type = KCP_UPDATE_VDS_PROPERTY;
    item.vds = VdsRecord{"vds-1", KCP_OP_FULL_SYNC, {KcpProperty{0x0a0b, value}}};
    EXPECT_EQ(Encoded(Message(KCP_MSG_UPDATE, item)), wire.Bytes());
    EXPECT_EQ(Read(wire.Bytes()).items[0].vds, item.vds);
  }
}

TEST(KcpLayoutTest, ContainerAndUplinkRecords) {
  {
    // Container record: four 48-byte ids, VLAN (2), MAC (6), entry count (2), then 23-byte IP/MAC entries.
    const size_t record = 202 + 2 * 23;
    Layout wire(5 + 4 + record);
    wire.U16(0, 2).U16(2, static_cast<uint16_t>(wire.Bytes().size())).U16(5, 7).U16(7, 4 + record);
    const size_t c = 9;
    wire.Text(c, 48, "cif-1").Text(c + 48, 48, "port-2").Text(c + 96, 48, "vm-port-3").Text(c + 144, 48, "vm-vif-4");
    wire.U16(c + 192, 101).Raw(c + 194, {kMac2.begin(), kMac2.end()}).U16(c + 200, 2);
    wire.U8(c + 202, 1).Raw(c + 203, {10, 0, 0, 5}).Raw(c + 219, {kMac1.begin(), kMac1.end()});
    std::vector<uint8_t> v6(16);
    for (size_t i = 0; i < 16; ++i) v6[i] = static_cast<uint8_t>(0xf0 + i);
    wire.U8(c + 225, 0).Raw(c + 226, v6).Raw(c + 242, {kMac2.begin(), kMac2.end()});
    ContainerRecord container;
    container.cifId = "cif-1";
    container.portId = "port-2";
    container.vmPortId = "vm-port-3";
    container.vmVifId = "vm-vif-4";
    container.vlanId = 101;
    container.mac = kMac2;
    IpMacEntry v4Entry{1, {10, 0, 0, 5}, kMac1};
    IpMacEntry v6Entry{0, {}, kMac2};
    std::memcpy(v6Entry.ip.data(), v6.data(), 16);
    container.entries = {v4Entry, v6Entry};
    DataItem item;
    item.type = KCP_UPDATE_CONTAINER;
    item.containers = {container};
    EXPECT_EQ(Encoded(Message(KCP_MSG_UPDATE, item)), wire.Bytes());
    EXPECT_EQ(Read(wire.Bytes()).items[0].containers, item.containers);
  }
  {
    // Uplink record, 213 bytes: port ID (48), switch ID (64), client name (20), alias (81).
    Layout wire(5 + 4 + 1 + 213);
    wire.U16(0, 2).U16(2, static_cast<uint16_t>(wire.Bytes().size())).U16(5, 11).U16(7, 4 + 1 + 213).U8(9, 1);
    wire.Text(10, 48, "uplink-1").Text(58, 64, "switch-1").Text(122, 20, "client").Text(142, 81, "alias-1");
    DataItem item;
    item.type = KCP_UPDATE_UPLINK;
    item.operation = KCP_OP_UPDATE;
    item.uplinks = {UplinkRecord{"uplink-1", "switch-1", "client", "alias-1"}};
    EXPECT_EQ(Encoded(Message(KCP_MSG_UPDATE, item)), wire.Bytes());
    EXPECT_EQ(Read(wire.Bytes()).items[0].uplinks, item.uplinks);
  }
}

TEST(KcpLayoutTest, ListsAreFixedWidthIdsBackToBack) {
  struct Case {
    uint16_t type;
    size_t width;
  };
  for (Case c : {Case{KCP_UPDATE_PORT_LIST, 48}, Case{KCP_UPDATE_TKMNIC_LIST, 16}, Case{KCP_UPDATE_CONTAINER_LIST, 48},
                 Case{KCP_UPDATE_VDS_LIST, 64}}) {
    SCOPED_TRACE("data type " + std::to_string(c.type));
    Layout wire(5 + 4 + 2 * c.width);
    wire.U16(0, 2).U16(2, static_cast<uint16_t>(wire.Bytes().size())).U16(5, c.type);
    wire.U16(7, static_cast<uint16_t>(4 + 2 * c.width)).Text(9, c.width, "a").Text(9 + c.width, c.width, "b");
    DataItem item;
    item.type = c.type;
    item.ids = {"a", "b"};
    EXPECT_EQ(Encoded(Message(KCP_MSG_UPDATE, item)), wire.Bytes());
    EXPECT_EQ(Read(wire.Bytes()).items[0].ids, item.ids);
  }
  // Port ContainerList: the port's VIF ID, then the container VIF IDs, 48 bytes each.
  Layout wire(5 + 4 + 3 * 48);
  wire.U16(0, 2).U16(2, static_cast<uint16_t>(wire.Bytes().size())).U16(5, 9).U16(7, 4 + 3 * 48);
  wire.Text(9, 48, "port-vif").Text(57, 48, "c1").Text(105, 48, "c2");
  DataItem item;
  item.type = KCP_UPDATE_PORT_CONTAINER_LIST;
  item.ownerId = "port-vif";
  item.ids = {"c1", "c2"};
  EXPECT_EQ(Encoded(Message(KCP_MSG_UPDATE, item)), wire.Bytes());
  KcpMessage read = Read(wire.Bytes());
  EXPECT_EQ(read.items[0].ownerId, "port-vif");
  EXPECT_EQ(read.items[0].ids, item.ids);

  // An identifier that fills its field carries no terminator.
  const std::string full(48, 'x');
  Layout filled(5 + 4 + 48);
  filled.U16(0, 2).U16(2, static_cast<uint16_t>(filled.Bytes().size())).U16(5, 3).U16(7, 52).Text(9, 48, full);
  DataItem port;
  port.type = KCP_UPDATE_PORT_LIST;
  port.ids = {full};
  EXPECT_EQ(Encoded(Message(KCP_MSG_UPDATE, port)), filled.Bytes());
  EXPECT_EQ(Read(filled.Bytes()).items[0].ids, port.ids);
}

TEST(KcpLayoutTest, NotificationsQueryInitAndSessionControl) {
  {
    Layout wire(4 + 5);  // DP Status: 1 status byte
    wire.U16(0, 3).U16(2, 9).U16(4, 1).U16(6, 5).U8(8, 1);
    EXPECT_EQ(BuildDpStatusNotification(KCP_DP_OUT_OF_SYNC), wire.Bytes());
    DataItem item;
    item.type = KCP_NOTIFY_DP_STATUS;
    item.status = KCP_DP_OUT_OF_SYNC;
    EXPECT_EQ(Encoded(Message(KCP_MSG_NOTIFICATION, item)), wire.Bytes());
    EXPECT_EQ(Read(wire.Bytes()).items[0].status, KCP_DP_OUT_OF_SYNC);
  }
  {
    Layout wire(4 + 4 + 16);  // Tkmnic OutOfSync: the tkmnic name
    wire.U16(0, 3).U16(2, 24).U16(4, 3).U16(6, 20).Text(8, 16, "vmk1");
    DataItem item;
    item.type = KCP_NOTIFY_TKMNIC_PROPERTY_OUT_OF_SYNC;
    item.ownerId = "vmk1";
    EXPECT_EQ(Encoded(Message(KCP_MSG_NOTIFICATION, item)), wire.Bytes());
    EXPECT_EQ(Read(wire.Bytes()).items[0].ownerId, "vmk1");
  }
  {
    // Hoplift fullSync: VIF ID (48), then the sync type at offset 52 of the TLV.
    Layout wire(4 + 4 + 48 + 2);
    wire.U16(0, 3).U16(2, 58).U16(4, 4).U16(6, 54).Text(8, 48, "vif-h").U16(4 + 52, KCP_SYNC_BOTH);
    DataItem item;
    item.type = KCP_NOTIFY_PORT_CONTAINER_HOPLIFT_FULL_SYNC;
    item.ownerId = "vif-h";
    item.value16 = KCP_SYNC_BOTH;
    EXPECT_EQ(Encoded(Message(KCP_MSG_NOTIFICATION, item)), wire.Bytes());
    KcpMessage read = Read(wire.Bytes());
    EXPECT_EQ(read.items[0].ownerId, "vif-h");
    EXPECT_EQ(read.items[0].value16, KCP_SYNC_BOTH);
  }
  {
    Layout wire(8);  // DP Status Query: no payload
    wire.U16(0, 4).U16(2, 8).U16(4, 1).U16(6, 4);
    EXPECT_EQ(BuildDpStatusQuery(), wire.Bytes());
  }
  {
    Layout wire(4 + 6);  // Init, Max message length at offset 4 of the TLV
    wire.U16(0, 1).U16(2, 10).U16(4, 1).U16(6, 6).U16(8, 0xfff0);
    DataItem item;
    item.type = KCP_INIT_MAX_MSG_LEN;
    item.value16 = 0xfff0;
    EXPECT_EQ(Encoded(Message(KCP_MSG_INIT, item)), wire.Bytes());
    EXPECT_EQ(Read(wire.Bytes()).items[0].value16, 0xfff0);
  }
  {
    // Session control, 15 bytes: a Session Open from the agent ends in 0x28 0x00; the others in zeros.
    Layout open(15);
    open.U16(0, 5).U16(2, 15).U16(4, 1).U16(6, 11).U8(8, 1).U32(9, 0x01020304).U8(13, 0x28).U8(14, 0x00);
    EXPECT_EQ(BuildSessionControl(KCP_SESSION_OPEN, 0x01020304), open.Bytes());
    Layout end(15);
    end.U16(0, 5).U16(2, 15).U16(4, 1).U16(6, 11).U8(8, 3).U32(9, 0xa0b0c0d0);
    EXPECT_EQ(BuildSessionControl(KCP_SESSION_FULL_SYNC_END, 0xa0b0c0d0), end.Bytes());
    KcpMessage read = Read(end.Bytes());
    EXPECT_EQ(read.items[0].controlType, KCP_SESSION_FULL_SYNC_END);
    EXPECT_EQ(read.items[0].sessionId, 0xa0b0c0d0u);
  }
}

}  // namespace
}  // namespace VevUroro::kcp
