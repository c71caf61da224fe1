// The replies of the operator CLI's state cache dumps, built from copies of the cache's records (CliServer copies
// them under the agent lock and builds the reply after releasing it). Pure functions; any thread.
//
// Layouts (text tables as TextTable.h writes them; ids as UUID text, values as RecordText.h writes them, the
// object record of an object as property "OBJECT"):
//   RecordTable      ObjectID, ObjectType, FullSyncVersion, PropertyType, PropertyValue   (config/local|remote,
//                    l3/remote)
//   L2RecordTable    ObjectID, ObjectType, FullSyncVersion, PropertyType, ValueKey, PropertyValue   (l2/local|remote)
//   TypeTable        ObjectID, PropertyType, FullSyncVersion, PropertyValue   (config/<type>)
//   the derived configuration views, each documented below, and RecordsJson for the statecache/... queries.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "cache/StateCacheL2Table.h"
#include "cache/StateCacheRecord.h"
#include "platform/ovs/Json.h"

namespace VevUroro::cli {

// Property name as the dumps print it: "OBJECT" for the object record (0), else the schema's name.
std::string PropertyName(uint32_t propertyType);

std::string RecordTable(const std::vector<StateCacheRecord>& records);
std::string L2RecordTable(const std::vector<StateCacheL2Table::Record>& records);
std::string TypeTable(const std::vector<StateCacheRecord>& records);

// From the records of LOG_SWITCH_PORT_CONFIG:
//   MirrorTable      Logical Port UUID, Mirror Sessions (comma-separated)          ports with mirror targets
//   VessixTkmTable   Logical Port UUID, Logical Switch, VIF ID                       ports whose is_hyd_tkm is true
//   LsPortListTable  Logical Switch UUID, Ports (count), Logical Port UUIDs           one row per switch
//   CifListTable     CIF Port UUID, Parent VIF, Context VLAN, Logical Switch        ports attached under a VIF
std::string MirrorTable(const std::vector<StateCacheRecord>& portRecords);
std::string VessixTkmTable(const std::vector<StateCacheRecord>& portRecords);
std::string LsPortListTable(const std::vector<StateCacheRecord>& portRecords);
std::string CifListTable(const std::vector<StateCacheRecord>& portRecords);
// From TRANSPORT_NODE_CONFIG: one row per transport switch: Transport Node UUID, Switch ID, Host Switch UUID,
// Transport Zones, Mode, Forwarding Mode, Offloaded.
std::string UplinkTable(const std::vector<StateCacheRecord>& nodeRecords);
// Extra configurations (LSP_EXTRA_CONFIGS or LS_EXTRA_CONFIGS) as `idColumn`, Key, Value; one row per pair.
std::string ExtraConfigTable(const std::vector<StateCacheRecord>& records, uint32_t propertyType,
                             const std::string& idColumn);
// LS_ATTACHMENT of LOG_SWITCH_CONFIG: Logical Switch UUID, Parent Switch UUID, VLAN.
std::string LsAttachmentTable(const std::vector<StateCacheRecord>& switchRecords);
// The Tolvar client's container mapping: Logical Port UUID, Container UUID.
std::string ContainerTable(const std::map<std::string, std::string>& containerOfPort);

// One JSON object per record: object_id, object_type, property_type, full_sync_version, value (text).
qor::ovs::Json RecordsJson(const std::vector<StateCacheRecord>& records);

}  // namespace VevUroro::cli
