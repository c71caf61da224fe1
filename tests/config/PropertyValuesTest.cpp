// Property values against the key tables, byte by byte: offsets, widths and byte order as the tables give them
// (network order where marked, the host's order otherwise), never by re-running the encoder. Plus the
// validation edge cases of QoS, MAC management and the security table.
#include <gtest/gtest.h>

#include <cstring>

#include "apps/config/IpDiscoverySettings.h"
#include "apps/config/MacManagementValue.h"
#include "apps/config/MirrorSessionTable.h"
#include "apps/config/PropertyValues.h"
#include "apps/config/QosConversion.h"
#include "apps/config/SwitchSecurityTable.h"
#include "support/LogCapture.h"
#include "tests/config/ExpectedBytes.h"

namespace VevUroro {
namespace {

namespace tv = zantix::qor::tolvar;
using qor::test::LogCapture;

using test::Bytes;

TEST(PropertyValuesTest, LogicalSwitchKeys) {
  EXPECT_BYTES(values::Vni(0x00012345), Bytes().B({0x00, 0x01, 0x23, 0x45}));  // key 1, network order
  EXPECT_BYTES(values::ReplicationMode(1), Bytes().B({0, 0, 0, 2}));           // key 2: 0.0.0.2
  EXPECT_BYTES(values::ReplicationMode(0), Bytes().B({0, 0, 0, 1}));           // otherwise 0.0.0.1
  EXPECT_BYTES(values::ReplicationMode(2), Bytes().B({0, 0, 0, 1}));
  EXPECT_BYTES(values::Vlan(301), Bytes().H16(0).H16(301).H16(0).H16(0));  // key 102
  EXPECT_BYTES(values::VlanTrunk({{10, 20}, {4000, 4094}}),
               Bytes().H16(1).H16(0).H16(0).H16(2).H16(10).H16(20).H16(4000).H16(4094));
  EXPECT_BYTES(values::NoVlan(), Bytes().Z(8));
  EXPECT_BYTES(values::U32(1), Bytes().H32(1));                      // key 6
  EXPECT_BYTES(values::ForwardingMode(3), Bytes().B({0, 0, 0, 3}));  // switch key 10, network order
  EXPECT_BYTES(BoolText(true), Bytes().B({'t', 'r', 'u', 'e', 0}));  // key 101, switch keys 5, 9
  EXPECT_BYTES(BoolText(false), Bytes().B({'f', 'a', 'l', 's', 'e', 0}));
  EXPECT_BYTES(TextValue("down"), Bytes().B({'d', 'o', 'w', 'n', 0}));  // switch key 1
}

tv::ShaperMsg Shaper(uint32_t type, uint64_t average, std::optional<uint64_t> peak = {}, uint64_t burst = 0) {
  tv::ShaperMsg s;
  s.set_type(type);
  s.set_average_bandwidth(average);
  if (peak) s.set_peak_bandwidth(*peak);
  if (burst) s.set_burst_size(burst);
  return s;
}

TEST(QosTest, ShapersTagsAndPlaneMode) {
  tv::QosConfigMsg qos;
  qos.set_cos(5);
  qos.mutable_dscp()->set_mode(1);
  qos.mutable_dscp()->set_priority(46);
  *qos.add_shapers() = Shaper(2, 100, 200, 65536);
  *qos.add_shapers() = Shaper(3, 50);
  auto result = ConvertQos(qos);
  ASSERT_TRUE(result);
  ASSERT_EQ(result->properties.size(), 4u);
  EXPECT_EQ(result->properties[0].key, 62);
  EXPECT_EQ(result->properties[0].value, "") << "no type-1 shaper";
  EXPECT_EQ(result->properties[1].key, 63);
  EXPECT_BYTES(result->properties[1].value, Bytes().H64(100 * 125000).H64(200 * 125000).H64(65536));
  EXPECT_EQ(result->properties[2].key, 61);
  EXPECT_BYTES(result->properties[2].value, Bytes().H64(50 * 125).H64(50 * 125).H64(0)) << "peak defaults to average";
  EXPECT_EQ(result->properties[3].key, 3);
  EXPECT_BYTES(result->properties[3].value, Bytes().B({1, 46, 5, 0}));
  EXPECT_TRUE(result->shaped);
  EXPECT_BYTES(QosPlaneMode(false, true).value, Bytes().H32(2));
  EXPECT_BYTES(QosPlaneMode(false, false).value, Bytes().H32(3));
  EXPECT_BYTES(QosPlaneMode(true, true).value, Bytes().H32(0));
  EXPECT_EQ(QosPlaneMode(true, true).key, 181);
}

TEST(QosTest, TagsAreEmptyWhenTrustedWithoutCos) {
  tv::QosConfigMsg qos;
  qos.mutable_dscp()->set_mode(1);
  auto result = ConvertQos(qos);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->properties[3].value, "");
  EXPECT_FALSE(result->shaped);
  qos.mutable_dscp()->set_mode(2);
  result = ConvertQos(qos);
  ASSERT_TRUE(result);
  EXPECT_BYTES(result->properties[3].value, Bytes().B({0, 255, 255, 0}));
}

TEST(QosTest, CosAndDscpLimits) {
  LogCapture logs(LOG_LEVEL_ERROR);
  auto withCos = [](uint32_t cos) {
    tv::QosConfigMsg qos;
    qos.set_cos(cos);
    return ConvertQos(qos);
  };
  ASSERT_TRUE(withCos(7));
  EXPECT_BYTES(withCos(7)->properties[3].value, Bytes().B({1, 255, 7, 0}));
  EXPECT_FALSE(withCos(8));
  EXPECT_FALSE(withCos(254));
  EXPECT_EQ(logs.Count({"Invalid COS Tag: 254", "LCP00001"}), 1u);
  ASSERT_TRUE(withCos(255));
  EXPECT_EQ(withCos(255)->properties[3].value, "") << "255 means unset";
  ASSERT_TRUE(withCos(0x107)) << "only the low 8 bits count";

  auto withDscp = [](uint32_t mode, uint32_t priority) {
    tv::QosConfigMsg qos;
    qos.mutable_dscp()->set_mode(mode);
    qos.mutable_dscp()->set_priority(priority);
    return ConvertQos(qos);
  };
  EXPECT_TRUE(withDscp(2, 63));
  EXPECT_FALSE(withDscp(2, 64));
  EXPECT_EQ(logs.Count({"Invalid DSCP Tag: 64", "LCP00001"}), 1u);
  ASSERT_TRUE(withDscp(1, 64)) << "64 fails only in mode 2";
  EXPECT_EQ(withDscp(1, 64)->properties[3].value, "");
}

TEST(QosTest, BandwidthsBeyondSixtyFourBitsOfBytesPerSecondSaturate) {
  tv::QosConfigMsg qos;
  *qos.add_shapers() = Shaper(1, uint64_t{1} << 61, uint64_t{1} << 62);  // × 125,000 would wrap to 0
  *qos.add_shapers() = Shaper(3, UINT64_MAX / 125, UINT64_MAX / 125 + 1);
  auto result = ConvertQos(qos);
  ASSERT_TRUE(result);
  EXPECT_BYTES(result->properties[0].value, Bytes().H64(UINT64_MAX).H64(UINT64_MAX).H64(0));
  EXPECT_BYTES(result->properties[2].value, Bytes().H64(UINT64_MAX / 125 * 125).H64(UINT64_MAX).H64(0));
}

TEST(QosTest, ShaperValidation) {
  LogCapture logs(LOG_LEVEL_INFO);
  tv::QosConfigMsg qos;
  *qos.add_shapers() = Shaper(1, 10);
  *qos.add_shapers() = Shaper(1, 20);
  EXPECT_FALSE(ConvertQos(qos));
  EXPECT_EQ(logs.Count({"Same shaper type (1) configuration already specified 1", "LCP00001"}), 1u);

  qos.Clear();
  *qos.add_shapers() = Shaper(1, 30, 20);
  EXPECT_FALSE(ConvertQos(qos));
  EXPECT_EQ(logs.Count({"Peak bandwidth (20) must be larger than average bandwidth (30)", "LCP00001"}), 1u);

  qos.Clear();
  *qos.add_shapers() = Shaper(1, 30, 30);
  EXPECT_TRUE(ConvertQos(qos)) << "peak equal to average passes";

  qos.Clear();
  *qos.add_shapers() = Shaper(4, 30);
  EXPECT_FALSE(ConvertQos(qos));
  EXPECT_EQ(logs.Count("Invalid shaper type: 4"), 1u);

  qos.Clear();
  qos.add_shapers()->set_average_bandwidth(5);
  EXPECT_FALSE(ConvertQos(qos));
  EXPECT_EQ(logs.Count("Shaper Config without shaper type"), 1u);
}

TEST(QosTest, LegacyIngressShaper) {
  LogCapture logs(LOG_LEVEL_INFO);
  tv::QosConfigMsg qos;
  qos.set_ingress_average_bandwidth(10);
  qos.set_ingress_burst_size(9000);
  auto result = ConvertQos(qos);
  ASSERT_TRUE(result);
  EXPECT_BYTES(result->properties[0].value, Bytes().H64(10 * 125000).H64(10 * 125000).H64(9000));

  *qos.add_shapers() = Shaper(1, 40);
  result = ConvertQos(qos);
  ASSERT_TRUE(result);
  EXPECT_BYTES(result->properties[0].value, Bytes().H64(40 * 125000).H64(40 * 125000).H64(0));
  EXPECT_EQ(logs.Count("Ingress shaper already specified, ignored"), 1u);

  qos.Clear();
  qos.set_ingress_average_bandwidth(10);
  qos.set_ingress_peak_bandwidth(5);
  EXPECT_FALSE(ConvertQos(qos));
  EXPECT_EQ(logs.Count({"Peak bandwidth (5) must be larger thanaverage bandwidth (10)", "LCP00001"}), 1u);
}

TEST(MacManagementTest, ElevenBytes) {
  tv::MacManagementMsg mac;
  mac.set_mac_change_allowed(true);
  mac.mutable_mac_learning()->set_enabled(true);
  mac.mutable_mac_learning()->set_unknown_unicast_flooding(false);
  mac.mutable_mac_learning()->mutable_limit()->set_limit(4096);
  mac.mutable_mac_learning()->mutable_limit()->set_policy(2);
  auto value = BuildMacManagement(mac);
  ASSERT_TRUE(value);
  EXPECT_BYTES(*value, Bytes().B({1, 0, 1}).H32(4096).B({1}).Z(3));

  mac.mutable_mac_learning()->set_unknown_unicast_flooding(true);
  mac.mutable_mac_learning()->mutable_limit()->set_limit(10);
  mac.mutable_mac_learning()->mutable_limit()->set_policy(1);
  EXPECT_BYTES(*BuildMacManagement(mac), Bytes().B({1, 1, 1}).H32(10).B({0}).Z(3));
}

TEST(MacManagementTest, LimitsAndDefaults) {
  LogCapture logs(LOG_LEVEL_DEBUG);
  tv::MacManagementMsg mac;
  mac.mutable_mac_learning()->mutable_limit()->set_limit(4097);
  mac.mutable_mac_learning()->mutable_limit()->set_policy(1);
  EXPECT_FALSE(BuildMacManagement(mac));
  EXPECT_EQ(logs.Count({"Invalid MAC Limit value [4097]. Max value is [4096]", "LCP00001"}), 1u);
  mac.mutable_mac_learning()->mutable_limit()->set_limit(100);
  mac.mutable_mac_learning()->mutable_limit()->set_policy(3);
  EXPECT_FALSE(BuildMacManagement(mac));
  EXPECT_EQ(logs.Count("Unsupported MAC Limit Policy [3]"), 1u);

  tv::MacManagementMsg none;
  EXPECT_BYTES(*BuildMacManagement(none), Bytes().B({0, 0, 0}).H32(4096).B({0}).Z(3));
  EXPECT_EQ(logs.Count("Setting default MAC limit[4096] and MAC limit policy[0] values"), 1u);
}

tv::WhiteListEntryMsg V4Entry(uint32_t ip, std::optional<uint32_t> prefix, std::optional<uint32_t> vlan,
                              std::optional<uint64_t> mac) {
  tv::WhiteListEntryMsg e;
  e.mutable_ip()->set_ipv4(ip);
  if (prefix) e.set_prefix_length(*prefix);
  if (vlan) e.set_vlan(*vlan);
  if (mac) e.mutable_mac()->set_mac(*mac);
  return e;
}

TEST(SwitchSecurityTest, TableLayout) {
  tv::SwitchSecurityMsg s;
  s.set_switch_spoof_guard(true);
  *s.add_switch_white_list() = V4Entry(0x0a000001, {}, 12, 0x005056000001ull);
  s.set_port_spoof_guard(true);
  tv::WhiteListEntryMsg v6;
  std::string six(16, '\0');
  six[0] = 0x20;
  six[1] = 0x01;
  six[15] = 0x09;
  v6.mutable_ip()->set_ipv6(six);
  *s.add_port_white_list() = v6;
  s.set_bpdu_filter(true);
  s.add_bpdu_exceptions()->set_mac(0x0180c2000000ull);
  s.set_dhcp_client_block(true);
  s.set_ra_guard(true);
  s.mutable_rate_limits()->set_bcast_rx(100);
  s.mutable_rate_limits()->set_mcast_tx(7);
  std::string table = BuildSwitchSecurityTable(s, "port").value();
  Bytes expected;
  expected.H32(0x1 | 0x4 | 0x8 | 0x40 | 0x80 | 0x200 | 0x2000).H32(100).H32(0).H32(0).H32(7).H32(1).H32(1).H32(1);
  // switch white-list entry: IPv4 | VLAN | MAC
  expected.H32(0x1 | 0x4 | 0x8).H16(12).B({0x00, 0x50, 0x56, 0x00, 0x00, 0x01}).B({10, 0, 0, 1}).Z(12).H32(32);
  // port white-list entry: IPv6, default prefix 128
  expected.H32(0x2).H16(0).Z(6).s.append(six);
  expected.H32(128);
  expected.B({0x01, 0x80, 0xc2, 0x00, 0x00, 0x00});
  EXPECT_BYTES(table, expected);
  EXPECT_EQ(table.size(), 32u + 32 + 32 + 6);
}

TEST(SwitchSecurityTest, EveryFlagBit) {
  tv::SwitchSecurityMsg s;
  s.set_dhcp_server_block(true);
  s.set_block_non_ip(true);
  s.set_dhcpv6_server_block(true);
  s.set_dhcpv6_client_block(true);
  s.mutable_rate_limits()->set_mcast_rx(1);
  s.mutable_rate_limits()->set_bcast_tx(1);
  std::string table = BuildSwitchSecurityTable(s, "port").value();
  uint32_t flags;
  std::memcpy(&flags, table.data(), 4);
  EXPECT_EQ(flags, 0x20u | 0x400 | 0x800 | 0x1000 | 0x10 | 0x100);
}

TEST(SwitchSecurityTest, WhiteListWithSpoofGuardOffIsNotEncoded) {
  LogCapture logs(LOG_LEVEL_INFO);
  tv::SwitchSecurityMsg s;
  *s.add_switch_white_list() = V4Entry(0x0a000001, 24, {}, {});
  *s.add_switch_white_list() = V4Entry(0x0a000002, 24, {}, {});
  s.add_bpdu_exceptions()->set_mac(1);
  s.set_port_spoof_guard(true);
  *s.add_port_white_list() = V4Entry(0xc0a80001, 24, {}, {});
  std::string table = BuildSwitchSecurityTable(s, "port").value();
  ASSERT_EQ(table.size(), 32u + 32) << "header plus the port list only";
  uint32_t counts[3];
  std::memcpy(counts, table.data() + 20, 12);
  EXPECT_EQ(counts[0], 0u);
  EXPECT_EQ(counts[1], 1u);
  EXPECT_EQ(counts[2], 0u);
  EXPECT_BYTES(table.substr(32), Bytes().H32(1).H16(0).Z(6).B({192, 168, 0, 1}).Z(12).H32(24));
  EXPECT_EQ(logs.Count({"spoofguard not enabled but whitelist size = 2", "LCP00001"}), 1u);
  EXPECT_EQ(logs.Count({"no bpdu filter but bpdu exceptions size = 1", "LCP00001"}), 1u);

  tv::SwitchSecurityMsg guardOnly;
  guardOnly.set_switch_spoof_guard(true);
  EXPECT_EQ(BuildSwitchSecurityTable(guardOnly, "port").value().size(), 32u);
  EXPECT_EQ(logs.Count("Switch spoofguard enabled, but no whitelist is configured."), 1u);
}

TEST(IpDiscoveryTest, KeysCarryOnlyCompleteSettings) {
  tv::IpDiscoveryConfigMsg s;
  s.set_arp_snooping_enabled(true);
  s.set_dhcp_snooping_enabled(false);
  s.set_vmtools_enabled(true);
  s.set_arp_nd_binding_timeout_enabled(true);
  s.set_arp_snooping_limit(8);
  s.set_nd_snooping_limit(3);
  s.set_nd_snooping_enabled(false);
  s.set_dhcpv6_snooping_enabled(true);
  s.set_arp_nd_binding_timeout(600);
  auto properties = BuildIpDiscoveryProperties(s);
  ASSERT_EQ(properties.size(), 4u);
  EXPECT_EQ(properties[0].key, 43);
  EXPECT_BYTES(properties[0].value, Bytes().B({'t', 'r', 'u', 'e', 0}));
  EXPECT_EQ(properties[1].key, 42);
  EXPECT_BYTES(properties[1].value, Bytes().B({1, 0}));  // F1, F2
  EXPECT_EQ(properties[2].key, 44);
  EXPECT_BYTES(properties[2].value, Bytes().B({1, 0}).H32(600).H32(8).H32(3));  // F4, F7, N9, N5, N6
  EXPECT_EQ(properties[3].key, 46);
  EXPECT_BYTES(properties[3].value, Bytes().B({1, 1}));  // F3, F8

  s.clear_nd_snooping_limit();
  s.clear_dhcp_snooping_enabled();
  properties = BuildIpDiscoveryProperties(s);
  ASSERT_EQ(properties.size(), 2u) << "keys 42 and 44 lack a setting";
  EXPECT_EQ(properties[1].key, 46);
}

class FakeProfiles : public qor::upm::IProfileQuery {
 public:
  bool GetEffectiveProfile(const std::string& lspId, uint32_t type, tv::ProfileMsg* profile) const override {
    lastType = type;
    auto it = profiles.find(lspId);
    if (it == profiles.end()) return false;
    *profile = it->second;
    return true;
  }
  std::map<std::string, tv::ProfileMsg> profiles;
  mutable uint32_t lastType = 0;
};

TEST(IpDiscoveryTest, SelectEffectiveProfile) {
  tv::IpDiscoveryConfigMsg port;
  port.set_arp_snooping_enabled(true);
  tv::ProfileMsg profile;
  profile.set_profile_type(9);
  profile.mutable_ip_discovery()->set_arp_snooping_enabled(false);
  FakeProfiles profiles;
  profiles.profiles["lsp"] = profile;
  tv::IpDiscoveryConfigMsg effective;
  int source = -1;
  EXPECT_TRUE(SelectEffectiveProfile(nullptr, &profiles, "lsp", IPDISC_MODE_PORT, &port, &effective, &source));
  EXPECT_EQ(source, IPDISC_SOURCE_PORT);
  EXPECT_TRUE(effective.arp_snooping_enabled());
  EXPECT_EQ(profiles.lastType, 9u);

  port.set_override_profile(true);
  EXPECT_TRUE(SelectEffectiveProfile(nullptr, &profiles, "lsp", IPDISC_MODE_PORT, &port, &effective, &source));
  EXPECT_EQ(source, IPDISC_SOURCE_PROFILE);
  EXPECT_FALSE(effective.arp_snooping_enabled());
  EXPECT_TRUE(SelectEffectiveProfile(nullptr, nullptr, "lsp", IPDISC_MODE_PORT, &port, &effective, &source));
  EXPECT_EQ(source, IPDISC_SOURCE_PORT) << "no profile source: the port's own settings";

  EXPECT_FALSE(SelectEffectiveProfile(nullptr, &profiles, "lsp", IPDISC_MODE_PORT, nullptr, &effective, &source));
  EXPECT_EQ(source, IPDISC_SOURCE_NONE) << "a profile alone does not apply";
}

TEST(IgnoreBindingsTest, CountThenRecords) {
  tv::IgnoreBindingsMsg bindings;
  auto* b = bindings.add_bindings();
  b->mutable_ip()->set_ipv4(0x0a000005);
  b->mutable_mac()->set_mac(0x020000000001ull);
  b->set_vlan(7);
  b->set_prefix_length(32);
  EXPECT_BYTES(BuildIgnoreBindings(bindings),
               Bytes().H32(1).B({1, 32}).H16(7).B({10, 0, 0, 5}).Z(12).B({2, 0, 0, 0, 0, 1}).Z(2));
  EXPECT_BYTES(BuildIgnoreBindings(tv::IgnoreBindingsMsg()), Bytes().H32(0));
}

TEST(MirrorTableTest, Layout) {
  MirrorTableContent content;
  content.name = "ERSpanSource-a-session-name-that-is-too-long";
  content.description = "session 1";
  content.type = MIRROR_RSPAN_SOURCE;
  content.encapsulation = MIRROR_ENCAP_GRE;
  content.snapLength = 128;
  content.encapVlan = 0;
  content.direction = 1;
  content.greKey = 77;
  content.destination.set_ipv4(0xc0a80102);
  content.records = {{"vif-1", MIRROR_ROLE_SOURCE}, {"vif-2", MIRROR_ROLE_DESTINATION}};
  std::string table = BuildMirrorTable(content);
  Bytes e;
  e.H32(0xFACEBEEF).H32(2).H32(1).H32(2).H16(232).H16(52);
  e.Text(std::string(content.name, 0, 31), 32).Text("session 1", 81);
  e.H32(2).H32(128).H32(12).H16(0).H32(1).H32(1).H32(77).B({192, 168, 1, 2}).Z(12).B({1}).Z(232 - 156);
  e.Text("vif-1", 48).H32(1).Text("vif-2", 48).H32(2);
  EXPECT_BYTES(table, e);
  EXPECT_EQ(table.size(), 252u + 2 * 52);

  MirrorTableContent none;
  std::string plain = BuildMirrorTable(none);
  int32_t snap;
  std::memcpy(&snap, plain.data() + 20 + 117, 4);
  EXPECT_EQ(snap, -1);
  EXPECT_EQ(plain.size(), 252u);
}

}  // namespace
}  // namespace VevUroro
