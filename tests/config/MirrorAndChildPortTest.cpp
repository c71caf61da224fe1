// Port mirroring (key 81), uplink mirror sessions, parent and child logical switches, and container interfaces:
// child segment ports and the Container and Port ContainerList Updates.
#include <gtest/gtest.h>

#include <cstring>

#include "dataplane/kcp/KcpReader.h"
#include "support/LogCapture.h"
#include "tests/config/ConverterHarness.h"
#include "tests/config/ExpectedBytes.h"

namespace VevUroro {
namespace {

using qor::test::LogCapture;
using test::Bytes;
using test::Id;
using test::IdText;
using test::Ls;
using test::Lsp;
namespace tv = zantix::qor::tolvar;

// The properties of `vif` in the captured messages, in order (key 81 included when sent empty).
std::vector<DVSProperty> Sent(const std::vector<std::vector<uint8_t>>& messages, const std::string& vif) {
  std::vector<DVSProperty> out;
  for (const auto& m : messages) {
    kcp::KcpMessage message;
    if (!kcp::DecodeMessage(m.data(), m.size(), &message)) continue;
    for (const auto& item : message.items) {
      for (const auto& record : item.propertyRecords) {
        if (record.id != vif) continue;
        for (const auto& p : record.properties) out.push_back({p.key, std::string(p.value.begin(), p.value.end())});
      }
    }
  }
  return out;
}

const DVSProperty* Find(const std::vector<DVSProperty>& properties, uint16_t key) {
  for (const auto& p : properties) {
    if (p.key == key) return &p;
  }
  return nullptr;
}

class MirrorTest : public test::ConverterFixture {
 protected:
  void SetUp() override {
    ConverterFixture::SetUp();
    auto ls = Ls(1);
    ls.set_vni(5001);
    ls.set_admin_state_up(true);
    feed->Put(ls);
  }
  tv::LogSwitchPortConfigMsg Port(uint64_t id, const std::string& vif, const std::string& dvport,
                                  std::vector<uint64_t> sessions = {}) {
    auto lsp = Lsp(id, 1, vif, dvport);
    lsp.set_admin_state_up(true);
    for (uint64_t s : sessions) *lsp.mutable_mirror_targets()->add_session_ids() = test::Uuid(s);
    feed->Put(lsp);
    return lsp;
  }
  LogCapture logs{LOG_LEVEL_DEBUG};
};

TEST_F(MirrorTest, PortWithoutSessionGetsKey81Empty) {
  Port(11, "vif-11", "110");
  Connect("vif-11", "110");
  auto sent = Sent(Flush(), "vif-11");
  const DVSProperty* mirror = Find(sent, 81);
  ASSERT_NE(mirror, nullptr);
  EXPECT_EQ(mirror->value, "");
  EXPECT_EQ(logs.Count("No targets for port mirroring, nothing to do"), 1u);
}

TEST_F(MirrorTest, LocalSpanTableWithNameCutTo31Characters) {
  Port(12, "vif-12", "120");
  Port(11, "vif-11", "110", {500});
  tv::PortMirrorSessionMsg session;
  *session.mutable_id() = test::Uuid(500);
  auto* local = session.mutable_logical_port_mirror_session();
  local->set_name("a-session-name-longer-than-the-field");
  local->set_snap_length(96);
  local->set_direction(1);
  *local->add_source_ids() = test::Uuid(11);
  *local->add_destination_ids() = test::Uuid(12);
  feed->Put(session);
  EXPECT_TRUE(Flush().empty()) << "no connected target port yet";
  EXPECT_EQ(logs.Count("Got logical port mirror session update"), 1u);

  Connect("vif-11", "110");
  Flush();
  std::string table = dp.Port("vif-11")[81];
  Bytes expected;
  expected.H32(0xFACEBEEF).H32(2).H32(1).H32(2).H16(232).H16(52);
  expected.Text(std::string("LocalPortSpan-a-session-name-longer-than-the-field").substr(0, 31), 32);
  expected.Text(IdText(500), 81);
  expected.H32(1).H32(96).H32(7).H16(0).H32(1).H32(1).H32(0).Z(16).B({0}).Z(232 - 156);
  expected.Text("vif-11", 48).H32(1).Text("vif-12", 48).H32(2);
  EXPECT_BYTES(table, expected);

  // A change of the session rebuilds its target ports; its removal empties their key.
  local->set_snap_length(128);
  *session.mutable_rspan_src_mirror_session() = *local;
  session.mutable_rspan_src_mirror_session()->set_encap_vlan(300);
  feed->Put(session);
  Flush();
  table = dp.Port("vif-11")[81];
  ASSERT_EQ(table.size(), 2u * (252 + 2 * 52)) << "local span, then the RSPAN source table";
  uint32_t snap, type, encap;
  uint16_t vlan;
  std::memcpy(&snap, table.data() + 20 + 117, 4);
  EXPECT_EQ(snap, 128u);
  const size_t second = 252 + 2 * 52;
  EXPECT_EQ(std::string(table.data() + second + 20), "RspanSrc-a-session-name-longer-");
  std::memcpy(&type, table.data() + second + 20 + 113, 4);
  std::memcpy(&encap, table.data() + second + 20 + 121, 4);
  std::memcpy(&vlan, table.data() + second + 20 + 125, 2);
  EXPECT_EQ(type, 2u);
  EXPECT_EQ(encap, 8u);
  EXPECT_EQ(vlan, 300);

  feed->Delete(tv::PORT_MIRROR_SESSION, Id(500));
  Flush();
  EXPECT_EQ(dp.Port("vif-11").count(81), 0u);
}

TEST_F(MirrorTest, ADeletedPortLeavesTheSessionsThatNamedIt) {
  Port(11, "vif-11", "110", {500});
  Port(12, "vif-12", "120");
  Port(13, "vif-13", "130");
  tv::PortMirrorSessionMsg session;
  *session.mutable_id() = test::Uuid(500);
  auto* local = session.mutable_logical_port_mirror_session();
  local->set_name("s");
  *local->add_source_ids() = test::Uuid(12);
  *local->add_destination_ids() = test::Uuid(13);
  feed->Put(session);
  Connect("vif-11", "110");
  Flush();
  ASSERT_NE(dp.Port("vif-11")[81].find("vif-12"), std::string::npos);

  // The source port goes while its VIF is not connected: the target's table is rebuilt without it, as a full sync
  // would build it.
  feed->Delete(tv::LOG_SWITCH_PORT_CONFIG, Id(12));
  Flush();
  const std::string table = dp.Port("vif-11")[81];
  EXPECT_EQ(table.find("vif-12"), std::string::npos);
  EXPECT_NE(table.find("vif-13"), std::string::npos);
}

TEST_F(MirrorTest, RspanDestinationOnlyForDestinationPortsAndL3SpanSkipsKernelNics) {
  Port(11, "vif-11", "110", {600});
  Port(12, "vif-12", "120", {600});
  tv::PortMirrorSessionMsg session;
  *session.mutable_id() = test::Uuid(600);
  auto* dst = session.mutable_rspan_dst_mirror_session();
  dst->set_encap_vlan(55);
  *dst->add_destination_ids() = test::Uuid(12);
  auto* l3 = session.mutable_l3span_mirror_session();
  l3->mutable_destination_ip()->set_ipv4(0x0a000009);
  l3->set_gre_key(5);
  *l3->add_source_ids() = test::Uuid(11);
  feed->Put(session);
  Connect("vif-11", "110", 2);  // a kernel NIC
  Connect("vif-12", "120");
  Flush();
  auto tkmnic = dp.module.TkmnicProperties().at("vif-11");
  EXPECT_EQ(tkmnic.count(81), 0u) << "neither destination nor an L3-span source";
  EXPECT_EQ(logs.Count("skip tkmnic for L3SPAN"), 1u);
  std::string table = dp.Port("vif-12")[81];
  ASSERT_EQ(table.size(), 2u * 252 + 52 + 52);
  EXPECT_EQ(std::string(table.data() + 20), std::string("ERSpanSource-") + IdText(600).substr(0, 18));
  EXPECT_EQ(static_cast<uint8_t>(table[20 + 139]), 10);
  EXPECT_EQ(static_cast<uint8_t>(table[20 + 155]), 1);
  const size_t second = 252 + 52;
  EXPECT_EQ(std::string(table.data() + second + 20).substr(0, 9), "RspanDst-");
}

TEST_F(MirrorTest, UplinkSessionGoesToTheUplinkPort) {
  tv::TransportNodeConfigMsg node;
  *node.mutable_id() = test::Uuid(50);
  node.mutable_transport_switches()->add_switches()->set_switch_id("dvs-1");
  feed->Put(node);
  Port(12, "vif-12", "120");
  tv::PortMirrorSessionMsg session;
  *session.mutable_id() = test::Uuid(700);
  auto* uplink = session.mutable_uplink_port_mirror_session();
  uplink->set_name("up");
  uplink->add_source_pnics("vmnic4");
  *uplink->add_destination_ids() = test::Uuid(12);
  feed->Put(session);
  EXPECT_EQ(logs.Count("Can't find mapped pnic for host pnic vmnic4"), 1u);
  EXPECT_EQ(logs.Count("Did not find source pnic corresponding vswitch, SessionID: " + IdText(700)), 1u);

  kcp::UplinkRecord record{"uplink-port-4", "dvs-1", "nic4", "vmnic4"};
  converter->UplinkFullSync({{record, false}});
  Flush();
  EXPECT_EQ(logs.Count("Add uplink nic4 (alias vmnic4 port uplink-port-4 switch dvs-1) during full sync"), 1u);
  std::string table = dp.Port("uplink-port-4")[81];
  ASSERT_EQ(table.size(), 252u + 2 * 52);
  EXPECT_EQ(std::string(table.data() + 20), "LocalUplinkSpan-up");
  EXPECT_EQ(std::string(table.data() + 252), "uplink-port-4");
  EXPECT_EQ(std::string(table.data() + 252 + 52), "vif-12");

  feed->Delete(tv::PORT_MIRROR_SESSION, Id(700));
  Flush();
  EXPECT_EQ(logs.Count("Delete uplink session " + IdText(700)), 1u);
  EXPECT_EQ(dp.Port("uplink-port-4").count(81), 0u);
}

class ChildPortTest : public test::ConverterFixture {
 protected:
  tv::LogSwitchConfigMsg Child(uint64_t id, uint64_t parent, uint32_t vlan) {
    auto ls = Ls(id);
    ls.set_vni(static_cast<uint32_t>(id));
    ls.set_admin_state_up(true);
    *ls.mutable_attachment()->mutable_parent_switch_id() = test::Uuid(parent);
    ls.mutable_attachment()->set_vlan(vlan);
    return ls;
  }
  // Switch 1 (VNI 100) with child switch 2 on VLAN 10, and the VM's port 11 ("vm-vif", DVPort "110") on switch 1.
  void PutParentChildAndVmPort() {
    auto parent = Ls(1);
    parent.set_vni(100);
    parent.set_admin_state_up(true);
    feed->Put(parent);
    feed->Put(Child(2, 1, 10));
    auto vm = Lsp(11, 1, "vm-vif", "110");
    vm.set_admin_state_up(true);
    feed->Put(vm);
  }
  LogCapture logs{LOG_LEVEL_DEBUG};
};

TEST_F(ChildPortTest, AttachmentVlanMustBeInRangeAndUniquePerParent) {
  feed->Put(Child(2, 1, 0));
  EXPECT_EQ(
      logs.Count("Invalid LS attachment vlan ID 0 for child LS[" + IdText(2) + "] and Parent LS[" + IdText(1) + "] "),
      1u);
  feed->Put(Child(3, 1, 4097));
  EXPECT_EQ(logs.Count("Invalid LS attachment vlan ID 4097"), 1u);
  feed->Put(Child(4, 1, 4096));
  EXPECT_EQ(
      logs.Count("Handle child LS " + IdText(4) + " with attachment vlan 4096 parent LS " + IdText(1) + ", op UPDATE"),
      1u);
  feed->Put(Child(5, 1, 4096));
  EXPECT_EQ(logs.Count("Parent LS[" + IdText(1) + "] already has a child LS[" + IdText(4) +
                       "] with vlan[4096], failed to add new child LS " + IdText(5)),
            1u);
  feed->Delete(tv::LOG_SWITCH_CONFIG, Id(4));
  feed->Put(Child(5, 1, 4096));
  EXPECT_EQ(logs.Count("failed to add new child LS " + IdText(5)), 1u) << "the VLAN is free again";
  EXPECT_EQ(logs.Count("Delete logical switch [" + IdText(4) + "]"), 1u);
}

TEST_F(ChildPortTest, ContainerInterfacesOfAParentVif) {
  PutParentChildAndVmPort();
  tv::LogSwitchPortConfigMsg cif;
  *cif.mutable_id() = test::Uuid(21);
  *cif.mutable_switch_id() = test::Uuid(2);
  cif.mutable_attachment()->set_type(2);
  cif.mutable_attachment()->set_vif_id("cif-1");
  cif.mutable_attachment()->set_parent_vif_id("vm-vif");
  cif.mutable_attachment()->set_context_vlan(10);
  auto* binding = cif.mutable_address_bindings()->add_bindings();
  binding->mutable_ip()->set_ipv4(0x0a010203);
  binding->mutable_mac()->set_mac(0x02aabbccddeeull);
  cif.mutable_mac_management()->set_mac_change_allowed(true);
  feed->Put(cif);

  Connect("vm-vif", "110");
  Flush();
  EXPECT_EQ(logs.Count("The CIF cif-1 is not connected yet"), 1u);
  auto container = dp.module.Containers().at("cif-1");
  EXPECT_EQ(container.vmVifId, "vm-vif");
  EXPECT_EQ(container.vmPortId, "110");
  EXPECT_EQ(container.portId, IdText(21));
  EXPECT_EQ(container.vlanId, 10);
  EXPECT_EQ(container.mac, (kcp::MacAddress{0x02, 0xaa, 0xbb, 0xcc, 0xdd, 0xee}));
  ASSERT_EQ(container.entries.size(), 1u);
  EXPECT_EQ(container.entries[0].ip[0], 10);
  EXPECT_EQ(container.entries[0].ip[3], 3);
  EXPECT_EQ(dp.module.PortContainers().at("vm-vif"), (std::vector<std::string>{"cif-1"}));

  // The CIF connects: it is a child segment port of the VM's port.
  Connect("cif-1", IdText(21), 3, "dvs-1", "vm-vif");
  auto messages = Flush();
  auto sent = Sent(messages, "cif-1");
  ASSERT_GE(sent.size(), 4u);
  EXPECT_EQ(sent.front().key, 6);
  EXPECT_BYTES(sent.front().value, Bytes().H32(1));
  EXPECT_EQ(sent.back().key, 101);
  EXPECT_BYTES(sent.back().value, Bytes().T("false"));
  EXPECT_BYTES(dp.Port("cif-1")[1], Bytes().B({0, 0, 0, 2})) << "the child switch's VNI";
  EXPECT_EQ(dp.Port("cif-1").count(141), 1u);

  // New bindings reach the datapath as a Container Update.
  binding->mutable_ip()->set_ipv4(0x0a010204);
  feed->Put(cif);
  Flush();
  EXPECT_EQ(dp.module.Containers().at("cif-1").entries[0].ip[3], 4);
  EXPECT_EQ(logs.Count("Get logical switch port address bindings update message"), 2u);

  feed->Delete(tv::LOG_SWITCH_PORT_CONFIG, Id(21));
  Flush();
  EXPECT_TRUE(dp.module.PortContainers().count("vm-vif") == 0) << "an empty container list";
}

TEST_F(ChildPortTest, BindingsSetBeforeThePortBecameAContainerReachItsContainerUpdate) {
  PutParentChildAndVmPort();
  // The bindings come first; the attachment that makes the port a container interface later, bindings unchanged.
  tv::LogSwitchPortConfigMsg cif;
  *cif.mutable_id() = test::Uuid(21);
  *cif.mutable_switch_id() = test::Uuid(2);
  auto* binding = cif.mutable_address_bindings()->add_bindings();
  binding->mutable_ip()->set_ipv4(0x0a010203);
  binding->mutable_mac()->set_mac(0x02aabbccddeeull);
  feed->Put(cif);
  cif.mutable_attachment()->set_type(2);
  cif.mutable_attachment()->set_vif_id("cif-1");
  cif.mutable_attachment()->set_parent_vif_id("vm-vif");
  cif.mutable_attachment()->set_context_vlan(10);
  feed->Put(cif);
  EXPECT_EQ(logs.Count("Get logical switch port address bindings update message"), 1u) << "bindings unchanged";

  Connect("vm-vif", "110");
  Flush();
  auto container = dp.module.Containers().at("cif-1");
  EXPECT_EQ(container.mac, (kcp::MacAddress{0x02, 0xaa, 0xbb, 0xcc, 0xdd, 0xee}));
  ASSERT_EQ(container.entries.size(), 1u);
  EXPECT_EQ(container.entries[0].ip[3], 3);
}

TEST_F(ChildPortTest, ContextVlanBeyondSixteenBitsIsRefusedNotCut) {
  auto vm = Lsp(11, 1, "vm-vif", "110");
  vm.set_admin_state_up(true);
  feed->Put(vm);
  tv::LogSwitchPortConfigMsg cif;
  *cif.mutable_id() = test::Uuid(21);
  cif.mutable_attachment()->set_type(2);
  cif.mutable_attachment()->set_vif_id("cif-1");
  cif.mutable_attachment()->set_parent_vif_id("vm-vif");
  cif.mutable_attachment()->set_context_vlan(65536 + 10);
  feed->Put(cif);
  Connect("vm-vif", "110");
  Flush();
  EXPECT_EQ(dp.module.Containers().count("cif-1"), 0u);
  EXPECT_EQ(logs.Count({"Invalid context VLAN 65546 of " + IdText(21), "LCP00001"}), 1u);
}

TEST_F(ChildPortTest, AddressesBeyondOneMessageAreLeftOutAndTheOtherContainersStillGo) {
  auto parent = Ls(1);
  parent.set_vni(100);
  parent.set_admin_state_up(true);
  feed->Put(parent);
  auto vm = Lsp(11, 1, "vm-vif", "110");
  vm.set_admin_state_up(true);
  feed->Put(vm);
  for (uint64_t n : {21, 22}) {
    tv::LogSwitchPortConfigMsg cif;
    *cif.mutable_id() = test::Uuid(n);
    cif.mutable_attachment()->set_type(2);
    cif.mutable_attachment()->set_vif_id("cif-" + std::to_string(n));
    cif.mutable_attachment()->set_parent_vif_id("vm-vif");
    cif.mutable_attachment()->set_context_vlan(static_cast<uint32_t>(n));
    for (uint32_t i = 0; i < (n == 21 ? 3000u : 1u); ++i) {
      auto* binding = cif.mutable_address_bindings()->add_bindings();
      binding->mutable_ip()->set_ipv4(0x0a000000 + i);
      binding->mutable_mac()->set_mac(0x020000000000ull + i);
    }
    feed->Put(cif);
  }
  Connect("vm-vif", "110");
  auto messages = Flush();
  for (const auto& m : messages) EXPECT_EQ(test::Be16(m, 2), m.size()) << "no wrapped message length";
  // 65,535 bytes hold 9 of envelope and TLV, a 202-byte record and 2,840 addresses of 23 bytes.
  EXPECT_EQ(CIFConfig::kMaxContainerAddresses, 2840u);
  ASSERT_EQ(dp.module.Containers().count("cif-21"), 1u);
  EXPECT_EQ(dp.module.Containers().at("cif-21").entries.size(), 2840u);
  ASSERT_EQ(dp.module.Containers().count("cif-22"), 1u);
  EXPECT_EQ(dp.module.PortContainers().at("vm-vif"), (std::vector<std::string>{"cif-21", "cif-22"}));
  EXPECT_EQ(logs.Count({"CIF cif-21 has 3000 address bindings, more than the 2840 one message carries: 160 are not "
                        "sent",
                        "LCP00001"}),
            1u);
}

}  // namespace
}  // namespace VevUroro
