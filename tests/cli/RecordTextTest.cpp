// Readable texts of the dumps, checked against the schema's own definitions: IPv4 numbers are in host order,
// IPv6 is 16 bytes, a MAC's first byte is the number's most significant of its 48 bits; and the text table layout.
#include <gtest/gtest.h>

#include "cli/RecordText.h"
#include "cli/TextTable.h"
#include "tests/cli/CliTestSupport.h"
#include "zantix/qor/tolvar/config.pb.h"
#include "zantix/qor/tolvar/l2.pb.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace VevUroro::cli {
namespace {

namespace tv = zantix::qor::tolvar;
using tv::Property;

TEST(RecordTextTest, AddressesAndIdsAreWrittenTheUsualWay) {
  tv::IpAddressMsg ip;
  ip.set_ipv4(0x0a000102);
  EXPECT_EQ(IpText(ip), "10.0.1.2");
  ip.set_ipv6(std::string("\x20\x01\x0d\xb8\0\0\0\0\0\0\0\0\0\0\0\x01", 16));
  EXPECT_EQ(IpText(ip), "2001:db8::1");
  ip.set_ipv6("short");
  EXPECT_EQ(IpText(ip), "<bad ipv6 of 5 bytes>");
  EXPECT_EQ(IpText(tv::IpAddressMsg()), "");

  tv::MacAddressMsg mac;
  mac.set_mac(0x005056aabbccULL);
  EXPECT_EQ(MacText(mac), "00:50:56:aa:bb:cc");
  mac.set_mac(0xffff020000000001ULL);  // bits above the 48 are not part of the address
  EXPECT_EQ(MacText(mac), "02:00:00:00:00:01");

  EXPECT_EQ(UuidText(test::Uuid(0xabc)), "00000000-0000-1111-0000-000000000abc");
}

TEST(RecordTextTest, NestedAddressesReadInsideMessages) {
  tv::VmIpMsg element;
  element.mutable_ip()->set_ipv4(0xc0a80001);
  element.mutable_mac()->set_mac(0x020000000001ULL);
  element.mutable_vtep_ip()->set_ipv4(0x0a000001);
  element.set_vtep_label(7);
  EXPECT_EQ(MessageText(element), "ip: 192.168.0.1 mac: 02:00:00:00:00:01 vtep_ip: 10.0.0.1 vtep_label: 7");
  tv::LogSwitchPortConfigMsg port;
  port.mutable_attachment()->set_vif_id("vif \"1\"");
  port.mutable_attachment()->set_type(1);
  EXPECT_EQ(MessageText(port), R"(attachment { type: 1 vif_id: "vif \"1\"" })");
}

TEST(RecordTextTest, RecordValuesAreReadByTheirKind) {
  tv::LogSwitchConfigMsg ls;
  ls.set_vni(5001);
  StateCacheRecord property{tv::LOG_SWITCH_CONFIG, test::Id(1), Property::LS_VNI, ls.SerializeAsString(), 3};
  EXPECT_EQ(ValueText(property), "vni: 5001");
  EXPECT_EQ(ObjectIdText(property), test::IdText(1));

  tv::VtepMsg vtep;
  vtep.set_label(9);
  StateCacheRecord element{tv::LOG_SWITCH_FIB, test::Id(2), Property::L2_VTEP, vtep.SerializeAsString(), 1};
  EXPECT_EQ(ValueText(element), "label: 9") << "a list property holds one element";
  tv::VtepMsg parsed;
  EXPECT_TRUE(ParseValue(element, &parsed));
  tv::LogSwitchFibMsg wrongType;
  EXPECT_FALSE(ParseValue(element, &wrongType));

  StateCacheRecord object{tv::LOG_SWITCH_FIB, test::Id(2), 0, "", 1};
  EXPECT_EQ(ValueText(object), "");
  StateCacheRecord garbage{tv::LOG_SWITCH_CONFIG, test::Id(1), Property::LS_VNI, "\xff\xff\xff", 1};
  EXPECT_EQ(ValueText(garbage), "<unparsable>");
  StateCacheRecord unknown{4242, test::Id(1), 1, "x", 1};
  EXPECT_EQ(ValueText(unknown), "<unparsable>");
}

TEST(TextTableTest, ColumnsArePaddedToTheirWidestCell) {
  TextTable table({"A", "Long header", "Z"});
  table.AddRow({"wide cell", "b", "last"});
  table.AddRow({"x"});                             // missing cells are empty, and no line ends in spaces
  table.AddRow({"1", "2", "3", "dropped extra"});  // extra cells are dropped
  EXPECT_EQ(table.Rows(), 3u);
  EXPECT_EQ(table.Text(),
            "A          Long header  Z\n"
            "wide cell  b            last\n"
            "x\n"
            "1          2            3\n");
  EXPECT_EQ(TextTable({"Only"}).Text(), "Only\n");

  // Strings of the desired state may hold any character: none of them breaks a line or ends the reply.
  TextTable hostile({"Key", "Value"});
  hostile.AddRow({std::string("a\0b", 3), "line\nforged  row"});
  hostile.AddRow({"tab\there", "caf\xc3\xa9\x7f"});
  EXPECT_EQ(hostile.Text(),
            "Key          Value\n"
            "a\\x00b       line\\x0aforged  row\n"
            "tab\\x09here  caf\xc3\xa9\\x7f\n");
}

}  // namespace
}  // namespace VevUroro::cli
