#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/Logger.h"
#include "dataplane/kcp/KcpDumper.h"
#include "dataplane/kcp/KcpFormat.h"
#include "dataplane/kcp/KcpWriter.h"
#include "support/LogCapture.h"

namespace VevUroro::kcp {
namespace {

std::string Render(const std::vector<uint8_t>& bytes) {
  return RenderMessage(bytes.data(), bytes.size());
}

std::vector<uint8_t> Encode(const KcpMessage& msg) {
  return EncodeMessage(msg).value_or(std::vector<uint8_t>{});
}

TEST(KcpDumperTest, VifUpdateLines) {
  KcpMessage msg;
  msg.type = KCP_MSG_UPDATE;
  DataItem item;
  item.type = KCP_UPDATE_VIF;
  item.operation = KCP_OP_FULL_SYNC;
  VifRecord vif{"vif-1", "port-1", "sw-1", "parent", KCP_VIF_CONTAINER, 1, 0, {}};
  DiscoveredBinding v4{1, {10, 0, 0, 7}, {0, 0x50, 0x56, 1, 2, 3}, 12, 2, 99};
  DiscoveredBinding v6{0, {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, {1, 2, 3, 4, 5, 6}, 0, 1, 5};
  vif.properties = {MakeStatusProperty(KCP_VIF_DISCONNECT), MakeMacProperty({MacAddress{0xaa, 0xbb, 0xcc, 1, 2, 3}}),
                    MakeBindingsProperty({v4, v6}), KcpProperty{42, {1, 2}}};
  item.vifs = {vif};
  msg.items = {item};
  auto bytes = Encode(msg);
  std::string expected = std::string("KCP Message\n") + "\tVIF Update: len = " + std::to_string(bytes.size() - 5) +
                         "\n"
                         "\tOperation: FULL SYNC\n"
                         "\tVIF ID: vif-1\n"
                         "\tType: container\n"
                         "\tSmartNic flag: 1\n"
                         "\tHoplift: 0\n"
                         "\tPort ID: port-1\n"
                         "\tSwitch ID: sw-1\n"
                         "\tParent VIF ID: parent\n"
                         "\t\tStatus property: len = 5, status = DISCONNECT\n"
                         "\t\tMAC property: len = 10, MAC number = 1\n"
                         "\t\tMAC: aa:bb:cc:01:02:03\n"
                         "\tDiscovered Bindings property: len = 72, total number = 2\n"
                         "\tIP: 10.0.0.7\tMAC: 00:50:56:01:02:03\tVLAN: 12\t, DISCOVERYMETHOD: 2\t,TIMESTAMP: 99\n"
                         "\tIP: 2001:0db8:0000:0000:0000:0000:0000:0001\tMAC: 01:02:03:04:05:06\tVLAN: 0\t, "
                         "DISCOVERYMETHOD: 1\t,TIMESTAMP: 5\n"
                         "\tVIF Update: unsupported property type 42, len 6";
  EXPECT_EQ(Render(bytes), expected);
}

TEST(KcpDumperTest, OtherUpdateItemLines) {
  KcpMessage msg;
  msg.type = KCP_MSG_UPDATE;
  DataItem ports;
  ports.type = KCP_UPDATE_PORT_PROPERTY;
  ports.operation = KCP_OP_DELETE;
  ports.propertyRecords = {{"vif-p", {{7, {1, 2}}}}};
  DataItem list;
  list.type = KCP_UPDATE_TKMNIC_LIST;
  list.ids = {"vmk0", "vmk1"};
  DataItem vds;
  vds.type = KCP_UPDATE_VDS_PROPERTY;
  vds.vds = VdsRecord{"vds-1", 9, {{5, {}}}};
  DataItem container;
  container.type = KCP_UPDATE_CONTAINER;
  container.containers = {ContainerRecord{"cif", "port", "vmport", "vmvif", 30, {1, 2, 3, 4, 5, 6}, {}}};
  container.containers[0].entries = {IpMacEntry{4, {1, 2, 3, 4}, {}},
                                     IpMacEntry{0, {0xfe, 0x80}, {0xa, 0xb, 0xc, 0xd, 0xe, 0xf}}};
  DataItem uplink;
  uplink.type = KCP_UPDATE_UPLINK;
  uplink.operation = KCP_OP_UPDATE;
  uplink.uplinks = {{"up", "sw", "cl", "al"}};
  DataItem unknown;
  unknown.type = 77;
  msg.items = {ports, list, vds, container, uplink, unknown};
  std::string expected =
      "KCP Message\n"
      "\tPort Property Update: len = 61\n"
      "\tOperation: DELETE\n"
      "\tVIF ID: vif-p\n"
      "\t\tProperty: len = 6 key = 7\n"
      "\tTkmnicList Update: num = 2 len = 36\n"
      "\t\tTkmnic name: vmk0\n"
      "\t\tTkmnic name: vmk1\n"
      "\tVDS Property Update: len = 75\n"
      "\tVDS ID: vds-1 Operation: Invalid\n"
      "\t\tProperty: len = 4 key = 5\n"
      "\tContainer Update: len = 252\n"
      "\tCIF ID: cif\n"
      "\tPort ID: port\n"
      "\tVM port ID: vmport\n"
      "\tVM VIF ID: vmvif\n"
      "\tVLAN ID: 30\n"
      "\tMAC: 01:02:03:04:05:06\n"
      "\tIP MAC number: 2\n"
      "\tIP: 1.2.3.4\n"
      "\tIP: fe80:0000:0000:0000:0000:0000:0000:0000 MAC: 0a:0b:0c:0d:0e:0f\n"
      "\tUplink Update: len = 218\n"
      "\tOperation: UPDATE\n"
      "\tUplink Port ID: up\n"
      "\tSwitch ID sw\n"
      "\tClient Name cl\n"
      "\tAlias: al\n"
      "\tUpdate: unsupported data type 77, len 4";
  EXPECT_EQ(Render(Encode(msg)), expected);
}

TEST(KcpDumperTest, NotificationQuerySessionAndUnknownMessages) {
  KcpMessage n;
  n.type = KCP_MSG_NOTIFICATION;
  DataItem status;
  status.type = KCP_NOTIFY_DP_STATUS;
  status.status = 2;
  DataItem hoplift;
  hoplift.type = KCP_NOTIFY_PORT_CONTAINER_HOPLIFT_FULL_SYNC;
  hoplift.ownerId = "vif-h";
  hoplift.value16 = 9;
  DataItem other;
  other.type = 12;
  n.items = {status, hoplift, other};
  EXPECT_EQ(Render(Encode(n)),
            "KCP Message\n"
            "\tDP Status Notification: len = 5\n"
            "\tStatus: Sync\n"
            "\tPort container Hoplift fullSync Notification: len = 54\n"
            "\tVIF ID: vif-h\n"
            "\tSync type: Invalid(9)\n"
            "\tNotification: unsupported data type 12, len 4");

  EXPECT_EQ(Render(BuildDpStatusQuery()), "KCP Message\n\tDP Status Query: len = 4\n");
  EXPECT_EQ(Render(BuildSessionControl(KCP_SESSION_FULL_SYNC_END, 77)),
            "KCP Message\n\tVIF Session control: len = 11\n"
            "\tVIF Session control type: Session Full Sync End, sessionID: 77\n");
  auto unknownSession = BuildSessionControl(KCP_SESSION_OPEN, 1);
  unknownSession[5] = 2;
  EXPECT_EQ(Render(unknownSession), "KCP Message\n\tVIF Session control: unsupported data type 2, len 11\n");
  EXPECT_EQ(Render({0, 9, 0, 4}), "KCP Message\nUnsupported message type 9, len 4");
  EXPECT_EQ(Render({0, 1, 0, 14, 0, 1, 0, 6, 0x04, 0x00, 0, 5, 0, 4}),
            "KCP Message\n\tInit: len = 14\n\tMax message length: 1024\n\tInit: unsupported data type 5, len 4");
}

TEST(KcpDumperTest, RenderingIsCutAtTheLastWholeLine) {
  KcpMessage msg;
  msg.type = KCP_MSG_UPDATE;
  DataItem list;
  list.type = KCP_UPDATE_PORT_LIST;
  for (int i = 0; i < 200; ++i) list.ids.push_back("vif-" + std::to_string(1000 + i));
  msg.items = {list};
  auto bytes = Encode(msg);
  auto copy = bytes;
  std::string text = Render(bytes);
  EXPECT_LE(text.size(), kDumpLimit);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  // Exactly as many whole item lines as fit: the next one would have passed the limit.
  const std::string line = "\t\tVIF ID: vif-1000\n";
  EXPECT_GT(text.size() + line.size(), kDumpLimit);
  EXPECT_EQ(text.rfind("\t\tVIF ID: vif-"), text.size() - line.size());
  EXPECT_EQ(bytes, copy);  // the message is not touched
}

TEST(KcpDumperTest, DumpWritesOneRecordAtTheGivenLevel) {
  qor::test::LogCapture log(LOG_LEVEL_INFO);
  auto bytes = BuildDpStatusQuery();
  DumpMessage(LOG_LEVEL_DEBUG, bytes.data(), bytes.size());
  EXPECT_TRUE(log.Lines().empty());
  DumpMessage(LOG_LEVEL_INFO, bytes.data(), bytes.size());
  auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("level=\"info\"] KCP Message\n\tDP Status Query: len = 4\n"), std::string::npos) << lines[0];
}

}  // namespace
}  // namespace VevUroro::kcp
