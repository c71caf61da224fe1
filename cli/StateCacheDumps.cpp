#include "cli/StateCacheDumps.h"

#include "cli/RecordText.h"
#include "cli/TextTable.h"
#include "intake/TypeNames.h"
#include "zantix/qor/tolvar/config.pb.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace VevUroro::cli {
namespace {

namespace tv = zantix::qor::tolvar;
using tv::Property;

std::string Join(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : ",") + part;
  return text;
}

// The records of `property`, parsed into Msg (the single-property object); records that do not parse are skipped.
template <typename Msg, typename Visit>
void ForEachProperty(const std::vector<StateCacheRecord>& records, uint32_t property, Visit visit) {
  for (const StateCacheRecord& record : records) {
    if (record.propertyType != property) continue;
    Msg object;
    if (ParseValue(record, &object)) visit(record, object);
  }
}

// Object id text -> the port's switch id and attachment, for the views that show them beside another property.
struct PortFacts {
  std::string switchId;
  tv::AttachmentMsg attachment;
};
std::map<std::string, PortFacts> Ports(const std::vector<StateCacheRecord>& records) {
  std::map<std::string, PortFacts> ports;
  ForEachProperty<tv::LogSwitchPortConfigMsg>(records, Property::LSP_SWITCH_ID, [&](const auto& record, const auto& m) {
    ports[ObjectIdText(record)].switchId = UuidText(m.switch_id());
  });
  ForEachProperty<tv::LogSwitchPortConfigMsg>(
      records, Property::LSP_ATTACHMENT,
      [&](const auto& record, const auto& m) { ports[ObjectIdText(record)].attachment = m.attachment(); });
  return ports;
}

}  // namespace

std::string PropertyName(uint32_t propertyType) {
  return propertyType == 0 ? "OBJECT" : PropertyTypeToString(propertyType);
}

std::string RecordTable(const std::vector<StateCacheRecord>& records) {
  TextTable table({"ObjectID", "ObjectType", "FullSyncVersion", "PropertyType", "PropertyValue"});
  for (const StateCacheRecord& r : records) {
    table.AddRow({ObjectIdText(r), ObjTypeToString(r.objectType), std::to_string(r.fullSyncVersion),
                  PropertyName(r.propertyType), ValueText(r)});
  }
  return table.Text();
}

std::string L2RecordTable(const std::vector<StateCacheL2Table::Record>& records) {
  TextTable table({"ObjectID", "ObjectType", "FullSyncVersion", "PropertyType", "ValueKey", "PropertyValue"});
  for (const auto& [r, key] : records) {
    table.AddRow({ObjectIdText(r), ObjTypeToString(r.objectType), std::to_string(r.fullSyncVersion),
                  PropertyName(r.propertyType), std::to_string(key.part1) + ":" + std::to_string(key.part2),
                  ValueText(r)});
  }
  return table.Text();
}

std::string TypeTable(const std::vector<StateCacheRecord>& records) {
  TextTable table({"ObjectID", "PropertyType", "FullSyncVersion", "PropertyValue"});
  for (const StateCacheRecord& r : records) {
    table.AddRow({ObjectIdText(r), PropertyName(r.propertyType), std::to_string(r.fullSyncVersion), ValueText(r)});
  }
  return table.Text();
}

std::string MirrorTable(const std::vector<StateCacheRecord>& portRecords) {
  TextTable table({"Logical Port UUID", "Mirror Sessions"});
  ForEachProperty<tv::LogSwitchPortConfigMsg>(portRecords, Property::LSP_MIRROR_TARGETS,
                                              [&](const StateCacheRecord& record, const auto& port) {
                                                std::vector<std::string> sessions;
                                                for (const tv::UuidMsg& id : port.mirror_targets().session_ids())
                                                  sessions.push_back(UuidText(id));
                                                table.AddRow({ObjectIdText(record), Join(sessions)});
                                              });
  return table.Text();
}

std::string VessixTkmTable(const std::vector<StateCacheRecord>& portRecords) {
  TextTable table({"Logical Port UUID", "Logical Switch", "VIF ID"});
  std::map<std::string, PortFacts> ports = Ports(portRecords);
  ForEachProperty<tv::LogSwitchPortConfigMsg>(
      portRecords, Property::LSP_IS_HYD_TKM, [&](const StateCacheRecord& record, const auto& port) {
        if (!port.is_hyd_tkm()) return;
        const PortFacts& facts = ports[ObjectIdText(record)];
        table.AddRow({ObjectIdText(record), facts.switchId, facts.attachment.vif_id()});
      });
  return table.Text();
}

std::string LsPortListTable(const std::vector<StateCacheRecord>& portRecords) {
  std::map<std::string, std::vector<std::string>> portsOfSwitch;
  for (const auto& [port, facts] : Ports(portRecords)) {
    if (!facts.switchId.empty()) portsOfSwitch[facts.switchId].push_back(port);
  }
  TextTable table({"Logical Switch UUID", "Ports", "Logical Port UUIDs"});
  for (const auto& [logicalSwitch, ports] : portsOfSwitch) {
    table.AddRow({logicalSwitch, std::to_string(ports.size()), Join(ports)});
  }
  return table.Text();
}

std::string CifListTable(const std::vector<StateCacheRecord>& portRecords) {
  TextTable table({"CIF Port UUID", "Parent VIF", "Context VLAN", "Logical Switch"});
  for (const auto& [port, facts] : Ports(portRecords)) {
    if (facts.attachment.parent_vif_id().empty()) continue;
    table.AddRow(
        {port, facts.attachment.parent_vif_id(), std::to_string(facts.attachment.context_vlan()), facts.switchId});
  }
  return table.Text();
}

std::string UplinkTable(const std::vector<StateCacheRecord>& nodeRecords) {
  TextTable table({"Transport Node UUID", "Switch ID", "Host Switch UUID", "Transport Zones", "Mode", "Forwarding Mode",
                   "Offloaded"});
  auto optional = [](bool has, auto value) { return has ? std::to_string(value) : std::string("-"); };
  ForEachProperty<tv::TransportNodeConfigMsg>(
      nodeRecords, Property::TN_TRANSPORT_SWITCHES, [&](const StateCacheRecord& record, const auto& node) {
        for (const tv::TransportSwitchMsg& s : node.transport_switches().switches()) {
          std::vector<std::string> zones;
          for (const tv::UuidMsg& zone : s.transport_zone_ids()) zones.push_back(UuidText(zone));
          table.AddRow({ObjectIdText(record), s.switch_id(), s.has_host_switch_id() ? UuidText(s.host_switch_id()) : "",
                        Join(zones), optional(s.has_mode(), s.mode()),
                        optional(s.has_forwarding_mode(), s.forwarding_mode()),
                        s.has_offloaded() ? (s.offloaded() ? "true" : "false") : "-"});
        }
      });
  return table.Text();
}

std::string ExtraConfigTable(const std::vector<StateCacheRecord>& records, uint32_t propertyType,
                             const std::string& idColumn) {
  TextTable table({idColumn, "Key", "Value"});
  auto rows = [&](const StateCacheRecord& record, const tv::ExtraConfigsMsg& extra) {
    for (const tv::KeyValueMsg& pair : extra.configs()) table.AddRow({ObjectIdText(record), pair.key(), pair.value()});
  };
  if (propertyType == Property::LSP_EXTRA_CONFIGS) {
    ForEachProperty<tv::LogSwitchPortConfigMsg>(
        records, propertyType, [&](const auto& record, const auto& m) { rows(record, m.extra_configs()); });
  } else {
    ForEachProperty<tv::LogSwitchConfigMsg>(
        records, propertyType, [&](const auto& record, const auto& m) { rows(record, m.extra_configs()); });
  }
  return table.Text();
}

std::string LsAttachmentTable(const std::vector<StateCacheRecord>& switchRecords) {
  TextTable table({"Logical Switch UUID", "Parent Switch UUID", "VLAN"});
  ForEachProperty<tv::LogSwitchConfigMsg>(
      switchRecords, Property::LS_ATTACHMENT, [&](const StateCacheRecord& record, const auto& ls) {
        table.AddRow({ObjectIdText(record), UuidText(ls.attachment().parent_switch_id()),
                      std::to_string(ls.attachment().vlan())});
      });
  return table.Text();
}

std::string ContainerTable(const std::map<std::string, std::string>& containerOfPort) {
  TextTable table({"Logical Port UUID", "Container UUID"});
  for (const auto& [port, container] : containerOfPort) table.AddRow({port, container});
  return table.Text();
}

qor::ovs::Json RecordsJson(const std::vector<StateCacheRecord>& records) {
  qor::ovs::Json array = qor::ovs::Json::Array();
  for (const StateCacheRecord& r : records) {
    array.Add(std::move(qor::ovs::Json::Object()
                            .Put("object_id", ObjectIdText(r))
                            .Put("object_type", ObjTypeToString(r.objectType))
                            .Put("property_type", PropertyName(r.propertyType))
                            .Put("full_sync_version", static_cast<int64_t>(r.fullSyncVersion))
                            .Put("value", ValueText(r))));
  }
  return array;
}

}  // namespace VevUroro::cli
