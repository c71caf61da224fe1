// The simulator's readable dump of property values: every port and switch property key, read from the key tables
// (the expected texts follow from the bytes given here, written field by field from the tables), and values whose
// length does not fit their key.
#include <gtest/gtest.h>

#include <cstring>

#include "tools/qor-dpsim/PropertyText.h"

namespace qor::dpsim {
namespace {

struct V {
  std::vector<uint8_t> b;
  V& Bytes(std::initializer_list<int> bytes) {
    for (int x : bytes) b.push_back(static_cast<uint8_t>(x));
    return *this;
  }
  template <typename T>
  V& Host(T value) {
    uint8_t raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T));
    b.insert(b.end(), raw, raw + sizeof(T));
    return *this;
  }
  V& Text(const std::string& text, size_t width = 0) {
    b.insert(b.end(), text.begin(), text.end());
    b.resize(b.size() + (width ? width - text.size() : 1), 0);
    return *this;
  }
  V& Zero(size_t n) {
    b.resize(b.size() + n, 0);
    return *this;
  }
};

TEST(PropertyTextTest, PortKeys) {
  EXPECT_EQ(PortPropertyText(1, V().Bytes({0, 0, 0x13, 0x89}).b), "VNI 5001");
  EXPECT_EQ(PortPropertyText(2, V().Bytes({0, 0, 0, 2}).b), "replicator 0.0.0.2 (mode 1)");
  EXPECT_EQ(PortPropertyText(2, V().Bytes({0, 0, 0, 1}).b), "replicator 0.0.0.1 (mode 0)");
  EXPECT_EQ(PortPropertyText(3, V().Bytes({0, 46, 3, 0}).b), "DSCP trusted 0, DSCP 46, COS 3");
  EXPECT_EQ(PortPropertyText(4, V().Text("1").b), "\"1\"");
  EXPECT_EQ(PortPropertyText(5, V().Text("nested").b), "\"nested\"");
  EXPECT_EQ(PortPropertyText(6, V().Host<uint32_t>(1).b), "marker 1");
  EXPECT_EQ(PortPropertyText(42, V().Bytes({1, 0}).b), "ARP snooping 1, DHCP snooping 0");
  EXPECT_EQ(PortPropertyText(43, V().Text("true").b), "\"true\"");
  EXPECT_EQ(PortPropertyText(44, V().Bytes({1, 0}).Host<uint32_t>(600).Host<uint32_t>(8).Host<uint32_t>(3).b),
            "binding timeout enabled 1, ND snooping 0, timeout 600, ARP limit 8, ND limit 3");
  EXPECT_EQ(PortPropertyText(45, V().Host<uint32_t>(1)
                                     .Bytes({1, 24})
                                     .Host<uint16_t>(7)
                                     .Bytes({10, 0, 0, 5})
                                     .Zero(12)
                                     .Bytes({2, 0, 0, 0, 0, 1})
                                     .Zero(2)
                                     .b),
            "1 bindings [10.0.0.5/24 vlan 7 mac 02:00:00:00:00:01]");
  EXPECT_EQ(PortPropertyText(46, V().Bytes({0, 1}).b), "VM tools 0, DHCPv6 snooping 1");
  EXPECT_EQ(PortPropertyText(62, V().Host<uint64_t>(1250000).Host<uint64_t>(2500000).Host<uint64_t>(9000).b),
            "type 1: average 1250000 B/s, peak 2500000 B/s, burst 9000");
  EXPECT_EQ(PortPropertyText(63, V().Host<uint64_t>(1).Host<uint64_t>(1).Host<uint64_t>(0).b),
            "type 2: average 1 B/s, peak 1 B/s, burst 0");
  EXPECT_EQ(PortPropertyText(61, V().Host<uint64_t>(125).Host<uint64_t>(250).Host<uint64_t>(0).b),
            "type 3: average 125 B/s, peak 250 B/s, burst 0");
  EXPECT_EQ(PortPropertyText(101, V().Text("true").b), "blocked");
  EXPECT_EQ(PortPropertyText(101, V().Text("false").b), "unblocked");
  EXPECT_EQ(PortPropertyText(102, V().Host<uint16_t>(0).Host<uint16_t>(100).Host<uint16_t>(0).Host<uint16_t>(0).b),
            "VLAN 100");
  EXPECT_EQ(PortPropertyText(102, V().Zero(8).b), "no VLAN");
  EXPECT_EQ(PortPropertyText(102, V().Host<uint16_t>(1)
                                      .Zero(4)
                                      .Host<uint16_t>(2)
                                      .Host<uint16_t>(10)
                                      .Host<uint16_t>(20)
                                      .Host<uint16_t>(30)
                                      .Host<uint16_t>(30)
                                      .b),
            "trunk [10-20, 30-30]");
  EXPECT_EQ(PortPropertyText(141, V().Bytes({1, 0, 1}).Host<uint32_t>(4096).Bytes({1}).Zero(3).b),
            "MAC change 1, unknown unicast flooding 0, learning 1, limit 4096, policy allow");
  EXPECT_EQ(PortPropertyText(181, V().Host<uint32_t>(2).b), "mode 2");
  for (uint16_t key : {202, 241, 242, 243, 244, 245, 261, 262, 281, 321, 322, 331, 341}) {
    EXPECT_EQ(PortPropertyText(key, V().Text("x").b), "\"x\"") << key;
    EXPECT_STRNE(PortKeyName(key), "unknown") << key;
  }
  EXPECT_EQ(PortPropertyText(1, {}), "(empty)");
  EXPECT_EQ(PortPropertyText(999, V().Bytes({1, 2}).b), "0x0102");
}

TEST(PropertyTextTest, SecurityTable) {
  V table;
  table.Host<uint32_t>(0x1 | 0x4 | 0x8).Host<uint32_t>(100).Host<uint32_t>(0).Host<uint32_t>(0).Host<uint32_t>(0);
  table.Host<uint32_t>(1).Host<uint32_t>(0).Host<uint32_t>(1);
  table.Host<uint32_t>(0x1 | 0x4 | 0x8).Host<uint16_t>(12).Bytes({0, 0x50, 0x56, 0, 0, 1}).Bytes({10, 0, 0, 1});
  table.Zero(12).Host<uint32_t>(32);
  table.Bytes({0x01, 0x80, 0xc2, 0, 0, 0});
  EXPECT_EQ(PortPropertyText(41, table.b),
            "flags 0xd, broadcast rx 100 tx 0, multicast rx 0 tx 0, switch white list 1 [10.0.0.1/32 vlan 12 mac "
            "00:50:56:00:00:01], port white list 0 [], BPDU exceptions 1 [01:80:c2:00:00:00]");
  table.b.pop_back();
  EXPECT_EQ(PortPropertyText(41, table.b).rfind("malformed (69 bytes)", 0), 0u);
}

TEST(PropertyTextTest, MirrorTables) {
  V table;
  table.Host<uint32_t>(0xFACEBEEF).Host<uint32_t>(2).Host<uint32_t>(1).Host<uint32_t>(2).Host<uint16_t>(232);
  table.Host<uint16_t>(52);
  table.Text("RspanSrc-s1", 32).Text("d", 81).Host<uint32_t>(2).Host<int32_t>(-1).Host<uint32_t>(8);
  table.Host<uint16_t>(300).Host<uint32_t>(1).Host<uint32_t>(3).Host<uint32_t>(0).Zero(16).Bytes({0}).Zero(76);
  table.Text("vif-1", 48).Host<uint32_t>(1).Text("vif-2", 48).Host<uint32_t>(2);
  EXPECT_EQ(PortPropertyText(81, table.b),
            "session \"RspanSrc-s1\" type 2 encapsulation 8 vlan 300 snaplen none direction 3 ports [vif-1(src) "
            "vif-2(dst)]");
  table.b[0] = 0;
  EXPECT_EQ(PortPropertyText(81, table.b).rfind("malformed", 0), 0u);
}

TEST(PropertyTextTest, SwitchKeys) {
  EXPECT_EQ(SwitchPropertyText(1, V().Text("up").b), "\"up\"");
  EXPECT_EQ(SwitchPropertyText(5, V().Text("true").b), "\"true\"");
  EXPECT_EQ(SwitchPropertyText(6, {}), "(empty)");
  EXPECT_EQ(SwitchPropertyText(9, V().Text("false").b), "\"false\"");
  EXPECT_EQ(SwitchPropertyText(10, V().Bytes({0, 0, 0, 3}).b), "mode 3");
  EXPECT_EQ(SwitchPropertyText(10, V().Bytes({3}).b), "malformed (1 bytes) 0x03");
  EXPECT_EQ(SwitchPropertyText(11, V().Text("250").b), "\"250\"");
  EXPECT_EQ(SwitchPropertyText(11, V().Bytes({'2'}).b), "malformed (1 bytes) 0x32") << "text without its NUL";
  for (uint16_t key : {1, 5, 6, 9, 10, 11}) EXPECT_STRNE(SwitchKeyName(key), "unknown");
}

TEST(PropertyTextTest, TextFromTheAgentCannotForgeDumpLinesOrBreakTheJsonReply) {
  std::string odd("a\nport forged\n\x01\"\\\xff\xc3\xa9", 20);
  EXPECT_EQ(PortPropertyText(321, V().Text(odd).b), "\"a\\x0aport forged\\x0a\\x01\\x22\\x5c\\xff\\xc3\\xa9\"");
  EXPECT_EQ(SwitchPropertyText(1, V().Text("u\rp").b), "\"u\\x0dp\"");
  EXPECT_EQ(Printable("plain text 123 -_./:"), "plain text 123 -_./:");
  EXPECT_EQ(Printable(std::string("\0", 1)), "\\x00");
}

}  // namespace
}  // namespace qor::dpsim
