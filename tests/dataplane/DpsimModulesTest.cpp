// The simulator's virtual switch and switch-security modules in-process: injected VIF events and notifications as
// the agent receives them (read with the codec's reader), the port-list rule, the no-disruption recorder, and the
// guest-bindings messages the switch-security module accepts or refuses (written byte by byte from the format).
#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "dataplane/kcp/KcpFormat.h"
#include "dataplane/kcp/KcpReader.h"
#include "dataplane/kcp/KcpWriter.h"
#include "support/Differential.h"
#include "tools/qor-dpsim/KcpSwitchModule.h"
#include "tools/qor-dpsim/SwitchSecurityModule.h"

namespace qor::dpsim {
namespace {

using namespace VevUroro::kcp;

KcpMessage Decode(const std::vector<uint8_t>& bytes) {
  KcpMessage message;
  EXPECT_TRUE(DecodeMessage(bytes.data(), bytes.size(), &message));
  EXPECT_FALSE(message.truncated);
  return message;
}

std::vector<std::vector<uint8_t>> Command(KcpSwitchModule& module, std::vector<std::string> words, bool ok = true) {
  std::vector<std::vector<uint8_t>> messages;
  auto result = module.Command(words, messages);
  EXPECT_TRUE(result.has_value());
  if (result) {
    EXPECT_EQ(result->first, ok) << result->second;
  }
  return messages;
}

void Apply(KcpSwitchModule& module, const KcpMessage& message) {
  module.Receive(1, *EncodeMessage(message), [](std::vector<uint8_t>) {});
}

KcpMessage Properties(uint16_t type, uint8_t operation, std::vector<PropertyRecord> records) {
  KcpMessage message;
  message.type = KCP_MSG_UPDATE;
  DataItem item;
  item.type = type;
  item.operation = operation;
  item.propertyRecords = std::move(records);
  message.items.push_back(std::move(item));
  return message;
}

KcpMessage List(uint16_t type, std::vector<std::string> ids) {
  KcpMessage message;
  message.type = KCP_MSG_UPDATE;
  DataItem item;
  item.type = type;
  item.ids = std::move(ids);
  message.items.push_back(std::move(item));
  return message;
}

TEST(DpsimKcpModuleTest, VifConnectCarriesMacsAndBindingsAndDisconnectTheHopliftFlag) {
  KcpSwitchModule module;
  auto connect =
      Command(module, {"vif-connect", "sw", "vif-1", "1001", "dvs-1", "00:50:56:00:00:01", "mac=00:50:56:00:00:02",
                       "type=3", "parent=vif-0", "binding=10.1.2.3,00:50:56:00:00:01,300,32,77",
                       "binding=2001:db8::1,00:50:56:00:00:01,0,64"});
  ASSERT_EQ(connect.size(), 1u);
  KcpMessage update = Decode(connect[0]);
  ASSERT_EQ(update.items.at(0).vifs.size(), 1u);
  const VifRecord& vif = update.items[0].vifs[0];
  EXPECT_EQ(update.items[0].operation, KCP_OP_UPDATE);
  EXPECT_EQ(vif.vifType, 3);
  EXPECT_EQ(vif.parentVifId, "vif-0");
  ASSERT_EQ(vif.properties.size(), 3u);
  EXPECT_EQ(vif.properties[0], MakeStatusProperty(KCP_VIF_CONNECT));
  EXPECT_EQ(DecodeMacProperty(vif.properties[1]).size(), 2u);
  auto bindings = DecodeBindingsProperty(vif.properties[2]);
  ASSERT_EQ(bindings.size(), 2u);
  EXPECT_TRUE(bindings[0].IsIpv4());
  EXPECT_EQ(ReadU32(bindings[0].ip.data()), 0x0a010203u);
  EXPECT_EQ(bindings[0].vlanId, 300);
  EXPECT_EQ(bindings[0].method, 32);
  EXPECT_EQ(bindings[0].timestamp, 77u);
  EXPECT_FALSE(bindings[1].IsIpv4());
  // The VLAN ID goes big-endian: record offset 23.
  EXPECT_EQ(vif.properties[2].value[23], 0x01);
  EXPECT_EQ(vif.properties[2].value[24], 0x2c);

  Command(module, {"vif-connect", "sw", "vif-1", "1001", "dvs-1", "binding=nonsense"}, false);
  Command(module, {"vif-connect", "sw", "vif-1", "1001", "dvs-1", "type=999"}, false);

  auto disconnect = Command(module, {"vif-disconnect", "sw", "vif-1", "hoplift"});
  ASSERT_EQ(disconnect.size(), 1u);
  KcpMessage gone = Decode(disconnect[0]);
  EXPECT_EQ(gone.items.at(0).operation, KCP_OP_DELETE);
  EXPECT_EQ(gone.items[0].vifs.at(0).hoplift, 1);
  EXPECT_TRUE(gone.items[0].vifs[0].properties.empty());
  Command(module, {"vif-disconnect", "sw", "vif-1"}, false);  // no longer held
}

TEST(DpsimKcpModuleTest, BindingsCutIntoFragmentsReassembleToTheWholeProperty) {
  KcpSwitchModule module;
  Command(module, {"vif-connect", "sw", "vif-1", "1001", "dvs-1"});
  std::vector<std::string> words = {"vif-bindings", "sw", "vif-1", "fragments=3"};
  for (int i = 0; i < 10; ++i) words.push_back("binding=10.0.0." + std::to_string(i) + ",00:50:56:00:00:01,1,2");
  auto fragments = Command(module, words);
  ASSERT_EQ(fragments.size(), 3u);
  std::vector<uint8_t> value;
  for (size_t i = 0; i < fragments.size(); ++i) {
    KcpMessage piece = Decode(fragments[i]);
    EXPECT_EQ(piece.MoreFollows(), i + 1 < fragments.size());
    ASSERT_EQ(piece.items.at(0).vifs.size(), 1u);
    ASSERT_EQ(piece.items[0].vifs[0].properties.size(), 1u);
    const auto& part = piece.items[0].vifs[0].properties[0];
    EXPECT_EQ(part.key, KCP_VIF_PROP_DISCOVERED_BINDINGS);
    value.insert(value.end(), part.value.begin(), part.value.end());
  }
  EXPECT_EQ(value.size(), 10 * kBindingLen);
  EXPECT_EQ(DecodeBindingsProperty({KCP_VIF_PROP_DISCOVERED_BINDINGS, value}).size(), 10u);
}

TEST(DpsimKcpModuleTest, NotificationsCarryTheirIdsAndSyncType) {
  KcpSwitchModule module;
  KcpMessage port = Decode(Command(module, {"port-out-of-sync", "sw", "vif-1"}).at(0));
  EXPECT_EQ(port.type, KCP_MSG_NOTIFICATION);
  EXPECT_EQ(port.items.at(0).type, KCP_NOTIFY_PORT_PROPERTY_OUT_OF_SYNC);
  EXPECT_EQ(port.items[0].ownerId, "vif-1");
  KcpMessage tkmnic = Decode(Command(module, {"tkmnic-out-of-sync", "sw", "vmk0"}).at(0));
  EXPECT_EQ(tkmnic.items.at(0).type, KCP_NOTIFY_TKMNIC_PROPERTY_OUT_OF_SYNC);
  EXPECT_EQ(tkmnic.items[0].ownerId, "vmk0");
  auto hoplift = Command(module, {"hoplift-sync", "sw", "vif-1", "3"}).at(0);
  KcpMessage sync = Decode(hoplift);
  EXPECT_EQ(sync.items.at(0).type, KCP_NOTIFY_PORT_CONTAINER_HOPLIFT_FULL_SYNC);
  EXPECT_EQ(sync.items[0].value16, 3);
  EXPECT_EQ(ReadU16(hoplift.data() + 4 + 52), 3) << "sync type at offset 52 of the TLV";
  std::vector<std::vector<uint8_t>> none;
  EXPECT_FALSE(module.Command({"no-such-command", "sw"}, none).has_value());
}

TEST(DpsimKcpModuleTest, PortListDropsThePortsItNoLongerNamesAndDisconnectsDropTheirPorts) {
  KcpSwitchModule module;
  Command(module, {"vif-connect", "sw", "vif-1", "1001", "dvs-1"});
  Apply(module, Properties(KCP_UPDATE_PORT_PROPERTY, KCP_OP_UPDATE,
                           {{"vif-1", {{3, {1}}}}, {"vif-2", {{3, {2}}}}, {"cif-1", {{3, {3}}}}}));
  ASSERT_EQ(module.PortProperties().size(), 3u);
  Apply(module, List(KCP_UPDATE_CONTAINER_LIST, {"cif-1"}));
  EXPECT_EQ(module.PortProperties().size(), 3u) << "only a port list drops ports";
  Apply(module, List(KCP_UPDATE_PORT_LIST, {"vif-1"}));
  EXPECT_EQ(module.PortProperties().count("vif-2"), 0u);
  EXPECT_EQ(module.PortProperties().count("cif-1"), 1u) << "container ports are listed in the container list";
  Command(module, {"vif-disconnect", "sw", "vif-1"});
  EXPECT_EQ(module.PortProperties().count("vif-1"), 0u);
  // An update the agent sent before it learned of the disconnection does not bring the port back.
  Apply(module, Properties(KCP_UPDATE_PORT_PROPERTY, KCP_OP_UPDATE, {{"vif-1", {{3, {1}}}}}));
  EXPECT_EQ(module.PortProperties().count("vif-1"), 0u);
  Command(module, {"vif-connect", "sw", "vif-1", "1001", "dvs-1"});
  Apply(module, Properties(KCP_UPDATE_PORT_PROPERTY, KCP_OP_UPDATE, {{"vif-1", {{3, {1}}}}}));
  EXPECT_EQ(module.PortProperties().count("vif-1"), 1u);
}

// The property count `stats` reports is kept in step with every change; here it is checked against a walk of the
// port table after each of a seeded random run of updates, deletes, full syncs, port lists and VIF disconnects.
TEST(DpsimKcpModuleTest, PropertyCountFollowsEveryChangeOfThePortTable) {
  KcpSwitchModule module;
  for (int i = 0; i < 12; ++i) Command(module, {"vif-connect", "sw", "vif-" + std::to_string(i), "1001", "dvs-1"});
  qor::test::RunDifferential(
      qor::test::DifferentialSettings::FromEnvironment(2000), [&](std::mt19937_64& random, size_t) -> std::string {
        auto pick = [&](int n) { return static_cast<int>(random() % static_cast<uint64_t>(n)); };
        auto port = [&] { return "vif-" + std::to_string(pick(12)); };
        auto records = [&] {
          std::vector<PropertyRecord> out(1 + pick(3));
          for (auto& record : out) {
            record.id = port();
            record.properties.resize(pick(4));
            for (auto& p : record.properties) {
              p.key = static_cast<uint16_t>(pick(6));
              if (pick(4) != 0) p.value = {static_cast<uint8_t>(pick(256))};  // else empty: clears the key
            }
          }
          return out;
        };
        std::string step;
        switch (pick(8)) {
          case 0:
            step = "full sync";
            Apply(module, Properties(KCP_UPDATE_PORT_PROPERTY, KCP_OP_FULL_SYNC, records()));
            break;
          case 1:
          case 2:
            step = "delete";
            Apply(module, Properties(KCP_UPDATE_PORT_PROPERTY, KCP_OP_DELETE, records()));
            break;
          case 3:
            step = "port list";
            Apply(module, List(KCP_UPDATE_PORT_LIST, {port(), port(), port(), port(), port(), port()}));
            break;
          case 4:
            step = "vif disconnect or connect";
            if (pick(2)) {
              std::vector<std::vector<uint8_t>> messages;
              module.Command({"vif-disconnect", "sw", port()}, messages);  // refused when the VIF is not held
            } else {
              Command(module, {"vif-connect", "sw", port(), "1001", "dvs-1"});
            }
            break;
          default: {
            step = "update";
            KcpMessage first = Properties(KCP_UPDATE_PORT_PROPERTY, KCP_OP_UPDATE, records());
            if (pick(3) == 0) {  // a batch of two messages: the first with the "more" flag
              step = "two-message batch";
              first.updateFlags = kUpdateFlagMore;
              Apply(module, first);
              first = Properties(KCP_UPDATE_TKMNIC_PROPERTY, KCP_OP_UPDATE, records());
            }
            Apply(module, first);
          }
        }
        size_t walked = 0;
        for (const auto& [id, held] : module.PortProperties()) walked += held.size();
        if (module.PortPropertyCount() == walked) return "";
        return step + ": count " + std::to_string(module.PortPropertyCount()) + ", table holds " +
               std::to_string(walked);
      });
  std::vector<std::vector<uint8_t>> none;
  auto stats = module.Command({"stats", "sw"}, none);
  ASSERT_TRUE(stats.has_value());
  EXPECT_NE(stats->second.find(" properties " + std::to_string(module.PortPropertyCount()) + " "), std::string::npos)
      << stats->second;
}

TEST(DpsimKcpModuleTest, RecorderKeepsEveryIntervalAPropertyWasAbsentOrDifferent) {
  KcpSwitchModule module;
  Apply(module, Properties(KCP_UPDATE_PORT_PROPERTY, KCP_OP_UPDATE,
                           {{"vif-1", {{3, {1}}, {101, {0}}}}, {"vif-2", {{3, {2}}}}}));
  std::vector<std::vector<uint8_t>> none;
  ASSERT_TRUE(module.Command({"disruption-start", "sw"}, none)->first);
  // The same values again: no interval.
  Apply(module, Properties(KCP_UPDATE_PORT_PROPERTY, KCP_OP_UPDATE, {{"vif-1", {{3, {1}}}}}));
  EXPECT_TRUE(module.Recorder().Intervals().empty());
  // A full sync that replaces the table with the same content at once: still none.
  Apply(module, Properties(KCP_UPDATE_PORT_PROPERTY, KCP_OP_FULL_SYNC,
                           {{"vif-1", {{3, {1}}, {101, {0}}}}, {"vif-2", {{3, {2}}}}}));
  EXPECT_TRUE(module.Recorder().Intervals().empty());
  // A value changes and comes back; a key goes away and stays away; a new port is not watched.
  Apply(module, Properties(KCP_UPDATE_PORT_PROPERTY, KCP_OP_UPDATE, {{"vif-1", {{3, {9}}}}}));
  Apply(module, Properties(KCP_UPDATE_PORT_PROPERTY, KCP_OP_UPDATE, {{"vif-1", {{3, {1}}}}}));
  Apply(module, Properties(KCP_UPDATE_PORT_PROPERTY, KCP_OP_DELETE, {{"vif-2", {{3, {}}}}}));
  Apply(module, Properties(KCP_UPDATE_PORT_PROPERTY, KCP_OP_UPDATE, {{"vif-3", {{3, {3}}}}}));
  const auto& intervals = module.Recorder().Intervals();
  ASSERT_EQ(intervals.size(), 2u);
  EXPECT_EQ(intervals[0].port, "vif-1");
  EXPECT_EQ(intervals[0].key, 3);
  EXPECT_FALSE(intervals[0].absent);
  EXPECT_GE(intervals[0].end, intervals[0].start);
  EXPECT_EQ(intervals[1].port, "vif-2");
  EXPECT_TRUE(intervals[1].absent);
  EXPECT_EQ(intervals[1].end, -1);
  std::string report = module.Command({"disruption-report", "sw"}, none)->second;
  EXPECT_NE(report.find("reference ports 2, intervals 2"), std::string::npos) << report;
  EXPECT_NE(report.find("vif-2 3 absent "), std::string::npos);
  EXPECT_NE(report.find(" open\n"), std::string::npos);
}

// A guest-bindings message written from the format: header, TLV 1 port ID + NUL, TLV 2 switch ID + NUL, TLV 3.
std::vector<uint8_t> GuestBindings(const std::string& port, const std::string& sw, size_t records) {
  std::vector<uint8_t> out = {0, 1, 0, 0};
  auto tlv = [&](uint16_t type, std::vector<uint8_t> value) {
    out.push_back(static_cast<uint8_t>(type >> 8));
    out.push_back(static_cast<uint8_t>(type));
    size_t length = value.size() + 4;
    out.push_back(static_cast<uint8_t>(length >> 8));
    out.push_back(static_cast<uint8_t>(length));
    out.insert(out.end(), value.begin(), value.end());
  };
  auto text = [](const std::string& value) {
    std::vector<uint8_t> bytes(value.begin(), value.end());
    bytes.push_back(0);
    return bytes;
  };
  tlv(1, text(port));
  tlv(2, text(sw));
  std::vector<uint8_t> bindings;
  for (size_t i = 0; i < records; ++i) {
    std::vector<uint8_t> record(23, 0);
    record[0] = 1;
    record[1] = 10;
    record[4] = static_cast<uint8_t>(i);
    record[22] = static_cast<uint8_t>(i);
    bindings.insert(bindings.end(), record.begin(), record.end());
  }
  tlv(3, bindings);
  out[2] = static_cast<uint8_t>(out.size() >> 8);
  out[3] = static_cast<uint8_t>(out.size());
  return out;
}

// The measurement commands benchmarks read: per-port apply stamps, the journal of applied properties and the
// export of the port table as messages that carry it whole.
TEST(DpsimKcpModuleTest, StampsJournalAndExportDescribeWhatWasApplied) {
  KcpSwitchModule module;
  std::vector<std::vector<uint8_t>> none;
  auto text = [&](std::vector<std::string> words) {
    auto result = module.Command(words, none);
    EXPECT_TRUE(result && result->first);
    return result ? result->second : std::string();
  };
  EXPECT_EQ(text({"port", "sw", "vif-1"}), "changed-ns 0\n");
  const std::string journal = ::testing::TempDir() + "/dpsim-journal.txt";
  text({"journal", "sw", journal});
  Apply(module,
        Properties(KCP_UPDATE_PORT_PROPERTY, KCP_OP_UPDATE, {{"vif-1", {{101, {'f', 'a', 'l', 's', 'e', 0}}}}}));
  text({"journal", "sw", "off"});
  Apply(module, Properties(KCP_UPDATE_PORT_PROPERTY, KCP_OP_UPDATE, {{"vif-2", {{101, {'t', 'r', 'u', 'e', 0}}}}}));

  const std::string port = text({"port", "sw", "vif-1"});
  const int64_t stamp = std::stoll(port.substr(11));
  EXPECT_GT(stamp, 0);
  EXPECT_NE(port.find("101 (port blocked) = unblocked"), std::string::npos) << port;
  EXPECT_EQ(module.PortChangedNs("vif-1"), stamp);
  EXPECT_GE(module.PortChangedNs("vif-2"), stamp);
  const std::string stats = text({"stats", "sw"});
  EXPECT_EQ(stats.rfind(
                "ports 2 properties 2 vifs 0 batches 2 changed-ns " + std::to_string(module.PortChangedNs("vif-2")), 0),
            0u)
      << stats;

  // Only what was applied while the journal was open, one line per property.
  std::ifstream in(journal);
  std::string line, more;
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_EQ(line, std::to_string(stamp) + " vif-1 101 unblocked");
  EXPECT_FALSE(std::getline(in, more));
  std::remove(journal.c_str());

  // The export holds the whole table: applied to a fresh module, it gives the same ports.
  KcpSwitchModule copy;
  for (const auto& message : module.ExportPortProperties()) copy.Receive(1, message, [](std::vector<uint8_t>) {});
  EXPECT_EQ(copy.PortProperties(), module.PortProperties());
}

TEST(DpsimSwitchSecurityModuleTest, KeepsEachPortsLatestListAndRefusesWhatDoesNotParse) {
  SwitchSecurityModule module;
  EXPECT_TRUE(module.Receive(GuestBindings("1001", "dvs-1", 2)));
  ASSERT_EQ(module.Ports().at("1001").bindings.size(), 2u);
  EXPECT_EQ(module.Ports().at("1001").switchId, "dvs-1");
  EXPECT_EQ(module.Ports().at("1001").bindings[1].ip[3], 1);
  EXPECT_TRUE(module.Receive(GuestBindings("1001", "dvs-1", 0)));
  EXPECT_TRUE(module.Ports().at("1001").bindings.empty()) << "each message replaces the list";
  EXPECT_EQ(module.Ports().at("1001").messages, 2u);

  auto shortTotal = GuestBindings("1002", "dvs-1", 1);
  shortTotal[3] -= 1;  // total length disagrees with the bytes
  EXPECT_FALSE(module.Receive(shortTotal));
  auto partial = GuestBindings("1002", "dvs-1", 1);
  partial[partial.size() - 23 - 1] -= 1;  // TLV 3 length (low byte): not a whole number of records
  EXPECT_FALSE(module.Receive(partial));
  EXPECT_FALSE(module.Receive({0, 2, 0, 4}));
  EXPECT_EQ(module.Ports().count("1002"), 0u);
  EXPECT_NE(module.Dump().find("malformed messages: 3"), std::string::npos);

  std::vector<std::vector<uint8_t>> out;
  auto result = module.Command({"swsec-solicit", "swsec", "vif-1"}, out);
  ASSERT_TRUE(result && result->first);
  EXPECT_EQ(out.at(0), (std::vector<uint8_t>{0, 2, 0, 10, 'v', 'i', 'f', '-', '1', 0}));
}

}  // namespace
}  // namespace qor::dpsim
