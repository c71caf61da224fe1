#include "cache/StateCacheL3Table.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include <algorithm>
#include <memory>
#include <memory_resource>
#include <optional>

#include "core/Logger.h"
#include "intake/TypeNames.h"
#include "platform/tolvar/TolvarSchema.h"
#include "platform/wft/WorkflowUtil.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace VevUroro {
namespace {

namespace pb = google::protobuf;
namespace tv = zantix::qor::tolvar;
using tv::Property;

// A node's links: the ordered index's parent (with its colour), left and right, and the hashed index's two (its
// bucket array is counted apart).
constexpr size_t kL3NodeLinks = 3 + 2;
// First block of a full sync's change nodes (the resource grows its blocks geometrically from there).
constexpr size_t kSyncChangeBlock = 64 * 1024;

std::string IdText(uint32_t objectType, const std::string& id) {
  return qor::tolvar::ObjectIdText(objectType, id);
}
std::string IdText(uint32_t objectType, std::string_view id) {
  return IdText(objectType, std::string(id));
}

bool SameUuid(const tv::UuidMsg& uuid, const std::string& idBytes) {
  tv::UuidMsg id;
  return id.ParseFromString(idBytes) && id.high() == uuid.high() && id.low() == uuid.low();
}

}  // namespace

bool StateCacheL3Table::Caches(uint32_t objectType) {
  switch (objectType) {
    case tv::LOG_ROUTER_CONFIG:
    case tv::LOG_ROUTER_PORT_CONFIG:
    case tv::FIB:
    case tv::ARP_TABLE_CONFIG:
    case tv::PREFIX_LIST:
    case tv::MULTICAST_CONFIG:
    case tv::MULTICAST_STATIC_ROUTE:
    case tv::NDRA_PROFILE_CONFIG:
    case tv::DAD_PROFILE_CONFIG:
    case tv::LOG_ROUTER_PORT_FIB_DAD_STATE:
    case tv::LOG_ROUTER_PORT_DAD_REQUEST:
    case tv::GLOBAL_CONFIG:
    case tv::BARRIER:
      return true;
    default:
      return false;
  }
}

StateCacheChange StateCacheL3Table::Removal(const Record& record) {
  StateCacheChange change;
  change.entry.objectType = static_cast<int32_t>(record.objectType);
  change.entry.objectId = record.ObjectId();
  change.entry.propertyType = static_cast<int32_t>(record.propertyType);
  change.entry.value = record.Value();
  change.entry.operation = record.list ? TolvarUpdateMsg::OP_REMOVE : TolvarUpdateMsg::OP_CLEAR;
  change.oldValue = change.entry.value;
  change.hasOld = true;
  return change;
}

// Readable value: a list element as its element message, anything else as its object message.
std::string StateCacheL3Table::ValueText(uint32_t objectType, uint32_t propertyType, bool list,
                                         std::string_view value) {
  const pb::Descriptor* descriptor = qor::tolvar::ObjectDescriptor(objectType);
  if (descriptor && list && propertyType != 0) {
    const pb::FieldDescriptor* field = qor::tolvar::PropertyField(descriptor, propertyType);
    descriptor = field ? field->message_type() : nullptr;
  }
  const pb::Message* prototype =
      descriptor ? pb::MessageFactory::generated_factory()->GetPrototype(descriptor) : nullptr;
  if (!prototype) return "<unknown>";
  std::unique_ptr<pb::Message> message(prototype->New());
  if (!message->ParseFromArray(value.data(), static_cast<int>(value.size()))) return "<unparsable>";
  return message->ShortDebugString();
}

void StateCacheL3Table::ApplyScalar(const TolvarUpdateMsg& entry, StateCacheChangeList& changes) {
  const uint32_t type = static_cast<uint32_t>(entry.objectType);
  const uint32_t property = static_cast<uint32_t>(entry.propertyType);
  // Names are built only for lines that are written: this runs once per entry of every full sync.
  auto id = [&] { return IdText(type, entry.objectId); };
  auto propertyName = [&] { return PropertyTypeToString(property); };
  auto debug = [&](const char* format) {
    if (LogEnabled(LOG_LEVEL_DEBUG)) QOR_LOG(LOG_LEVEL_DEBUG, format, id(), propertyName());
  };
  auto& byKey = _store.get<ByKey>();
  // One look-up: the first record of (type, id, property) and its successor tell none, one or several.
  const auto first = LowerBound(std::make_tuple(type, std::string_view(entry.objectId), property));
  auto same = [&](KeyIterator it) {
    return it != byKey.end() && it->objectType == type && it->propertyType == property &&
           it->ObjectId() == entry.objectId;
  };
  const int count = !same(first) ? 0 : same(std::next(first)) ? 2 : 1;
  const bool set = entry.operation == TolvarUpdateMsg::OP_SET;
  if (count == 0) {
    if (!set) {
      Logger(LOG_LEVEL_INFO, "Object %1 property %2, delete non-existing entry", id(), propertyName());
      return;
    }
    debug("Object %1 property %2, value add");
    // The look-up's place is the insertion's: no second descent.
    auto added = byKey.insert(first, Record{type, property, _fullSyncVersion, false, IdOf(byKey, first, entry.objectId),
                                            CompactValue(entry.value)});
    SetCursor(std::next(added));
    StateCacheChange change;
    change.entry = entry;
    changes.push_back(std::move(change));
    return;
  }
  if (count > 1) {
    Logger(LOG_LEVEL_ERROR, "Object %1 property %2, multi-existing entries found", id(), propertyName())
        .AddTag("errorCode:LCP00919");
    return;
  }
  auto found = first;
  if (!set) {
    debug("Object %1 property %2, value delete");
    changes.push_back(Removal(*found));
    changes.back().entry.spanContext = entry.spanContext;
    SetCursor(byKey.erase(found));
    return;
  }
  if (found->Value() == entry.value && !found->list) {
    debug("Object %1 property %2, value not change");
    found->fullSyncVersion = _fullSyncVersion;
    SetCursor(std::next(found));
    return;
  }
  debug("Object %1 property %2, value update");
  StateCacheChange change;
  change.entry = entry;
  change.oldValue = found->Value();
  change.hasOld = true;
  // A non-unique index always keeps a modified record (only the order among equal keys could move it).
  if (byKey.modify(found, [this, &entry](Record& r) {
        r.value.Assign(entry.value);
        r.list = false;
        r.fullSyncVersion = _fullSyncVersion;
      })) {
    SetCursor(std::next(found));
  } else {
    _cursorSet = false;
  }
  changes.push_back(std::move(change));
}

void StateCacheL3Table::ApplyElement(const TolvarUpdateMsg& entry, StateCacheChangeList& changes) {
  const uint32_t type = static_cast<uint32_t>(entry.objectType);
  const uint32_t property = static_cast<uint32_t>(entry.propertyType);
  // Names are built only for lines that are written: this runs once per entry of every full sync.
  auto id = [&] { return IdText(type, entry.objectId); };
  auto propertyName = [&] { return PropertyTypeToString(property); };
  auto debug = [&](const char* format) {
    if (LogEnabled(LOG_LEVEL_DEBUG)) QOR_LOG(LOG_LEVEL_DEBUG, format, id(), propertyName());
  };
  auto& byKey = _store.get<ByKey>();
  const auto first =
      LowerBound(std::make_tuple(type, std::string_view(entry.objectId), property, std::string_view(entry.value)));
  auto same = [&](KeyIterator it) {
    return it != byKey.end() && it->objectType == type && it->propertyType == property &&
           it->ObjectId() == entry.objectId && it->Value() == entry.value;
  };
  const int count = !same(first) ? 0 : same(std::next(first)) ? 2 : 1;
  const bool insert = entry.operation == TolvarUpdateMsg::OP_INSERT;
  auto valueText = [&]() { return ValueText(type, property, true, entry.value); };
  if (count > 1) {
    Logger(LOG_LEVEL_ERROR, "Object %1 property %2 value %3, multi-existing entries found", id(), propertyName(),
           valueText())
        .AddTag("errorCode:LCP00919");
    return;
  }
  if (insert) {
    if (count == 1) {
      // Repeated by a full sync (or sent twice): the element stays and is marked as written by this update.
      if (LogEnabled(LOG_LEVEL_DEBUG)) {
        QOR_LOG(LOG_LEVEL_DEBUG, "Object %1 property %2 value %3, append existing entry", id(), propertyName(),
                valueText());
      }
      first->fullSyncVersion = _fullSyncVersion;
      SetCursor(std::next(first));
      return;
    }
    debug("Object %1 property %2, value append");
    auto added = byKey.insert(first, Record{type, property, _fullSyncVersion, true, IdOf(byKey, first, entry.objectId),
                                            CompactValue(entry.value)});
    SetCursor(std::next(added));
    StateCacheChange change;
    change.entry = entry;
    changes.push_back(std::move(change));
    return;
  }
  if (count == 0) {
    Logger(LOG_LEVEL_INFO, "Object %1 property %2 value %3, remove non-existing entry", id(), propertyName(),
           valueText());
    return;
  }
  debug("Object %1 property %2, value remove");
  changes.push_back(Removal(*first));
  changes.back().entry.spanContext = entry.spanContext;
  SetCursor(byKey.erase(first));
}

void StateCacheL3Table::Apply(const TolvarUpdateMsg& entry, bool fullSync, StateCacheChangeList& changes) {
  const uint32_t type = static_cast<uint32_t>(entry.objectType);
  const uint32_t property = static_cast<uint32_t>(entry.propertyType);
  if (!Caches(type)) {
    Logger(LOG_LEVEL_ERROR, "Object %1 of type %2 is not an L3 type, ignored", IdText(type, entry.objectId),
           ObjTypeToString(type));
    return;
  }
  const int32_t op = entry.operation;
  const bool scalar = op == TolvarUpdateMsg::OP_SET || op == TolvarUpdateMsg::OP_CLEAR;
  const bool element = op == TolvarUpdateMsg::OP_INSERT || op == TolvarUpdateMsg::OP_REMOVE;
  if (!scalar && !element) {
    Logger(LOG_LEVEL_ERROR, "Object %1 property %2, invalid operation %3", IdText(type, entry.objectId),
           PropertyTypeToString(property), op)
        .AddTag("errorCode:LCP00922");
    return;
  }
  // A full sync carries the complete state: removals have no place in it, the sweep does them.
  if (fullSync && op != TolvarUpdateMsg::OP_SET && op != TolvarUpdateMsg::OP_INSERT) {
    Logger(LOG_LEVEL_ERROR, "Object %1 property %2, invalid op type %3 for full sync", IdText(type, entry.objectId),
           PropertyTypeToString(property), op)
        .AddTag("errorCode:LCP00922");
    return;
  }
  if (scalar) {
    ApplyScalar(entry, changes);
  } else {
    ApplyElement(entry, changes);
  }
}

// Walks the store in key order, so that the removals come per object, its records in property order, as a delete of
// the object reports them. A full sync's cost follows the records it carries and the ones it removes either way; a
// walk keeps no second structure in step on every write.
void StateCacheL3Table::Sweep(StateCacheChangeList& changes) {
  auto& byKey = _store.get<ByKey>();
  for (auto it = byKey.begin(); it != byKey.end();) {
    if (it->fullSyncVersion == _fullSyncVersion) {
      ++it;
      continue;
    }
    QOR_LOG(LOG_LEVEL_DEBUG, it->list ? "Object %1 property %2, value remove" : "Object %1 property %2, value delete",
            IdText(it->objectType, it->ObjectId()), PropertyTypeToString(it->propertyType));
    changes.push_back(Removal(*it));
    it = byKey.erase(it);
  }
}

void StateCacheL3Table::UpdateDesiredState(const std::list<TolvarUpdateMsg>& updates, uint8_t fullSync) {
  std::lock_guard<std::recursive_mutex> notifyLock(_notifyMutex);
  // A full sync's changes are a host's worth of nodes freed together after the notification: taken from blocks of
  // their own, they cost no search of the heap's free lists and leave no holes among the records kept.
  std::optional<std::pmr::monotonic_buffer_resource> syncChanges;
  if (fullSync) syncChanges.emplace(kSyncChangeBlock);
  StateCacheChangeList changes(syncChanges ? &*syncChanges : std::pmr::get_default_resource());
  std::vector<std::pair<SCL3TableObserver*, StateCacheChangeList>> lists;
  {
    std::lock_guard<std::recursive_mutex> lock(_mutex);
    _cursorSet = false;
    qor::wft::Span span = qor::wft::WorkflowUtil::StartSpan(
        "L3Cache UpdateDesiredState", updates.empty() ? std::string() : updates.front().spanContext);
    if (fullSync) ++_fullSyncVersion;
    for (const TolvarUpdateMsg& entry : updates) Apply(entry, fullSync != 0, changes);
    if (fullSync) Sweep(changes);
    lists = SplitByObserver(_observers, std::move(changes), fullSync != 0);
  }
  qor::wft::Span span = qor::wft::WorkflowUtil::StartSpan("L3Cache NotifyDesiredStateObservers");
  for (auto& [observer, list] : lists) observer->OnL3DesiredStateChanged(list, fullSync != 0);
}

bool StateCacheL3Table::RegisterDesiredStateObserver(uint32_t objectType, SCL3TableObserver* observer) {
  if (!observer) {
    Logger(LOG_LEVEL_ERROR, "In L3 RegisterDesiredStateObserver, observer is NULL!");
    return false;
  }
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  auto range = _observers.equal_range(objectType);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == observer) {
      Logger(LOG_LEVEL_ERROR, "In L3 RegisterDesiredStateObserver, observer exist!");
      return false;
    }
  }
  _observers.emplace(objectType, observer);
  return true;
}

bool StateCacheL3Table::UnregisterDesiredStateObserver(uint32_t objectType, SCL3TableObserver* observer) {
  if (!observer) {
    Logger(LOG_LEVEL_ERROR, "In L3 UnregisterDesiredStateObserver, observer is NULL!");
    return false;
  }
  std::lock_guard<std::recursive_mutex> notifyLock(_notifyMutex);
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  auto range = _observers.equal_range(objectType);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == observer) {
      _observers.erase(it);
      return true;
    }
  }
  Logger(LOG_LEVEL_ERROR, "In L3 UnregisterDesiredStateObserver, observer not exists!");
  return false;
}

bool StateCacheL3Table::Single(uint32_t objectType, const std::string& objectId, uint32_t propertyType,
                               const char* duplicate, pb::Message* out) const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  auto range = _store.get<ByKey>().equal_range(std::forward_as_tuple(objectType, objectId, propertyType));
  const auto count = std::distance(range.first, range.second);
  if (count == 0) return false;
  if (count > 1) {
    Logger(LOG_LEVEL_ERROR, duplicate, IdText(objectType, objectId)).AddTag("errorCode:LCP00919");
    return false;
  }
  const std::string_view value = range.first->Value();
  if (!out->MergeFromString(std::string(value))) {
    Logger(LOG_LEVEL_ERROR, "Unparsable %1 record of %2", ObjTypeToString(objectType), IdText(objectType, objectId));
    return false;
  }
  return true;
}

bool StateCacheL3Table::OnlyObject(uint32_t objectType, const char* duplicate, pb::Message* out) const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  auto range = _store.get<ByKey>().equal_range(std::forward_as_tuple(objectType));
  const auto count = std::distance(range.first, range.second);
  if (count == 0) return false;
  if (count > 1) {
    Logger(LOG_LEVEL_ERROR, duplicate).AddTag("errorCode:LCP00919");
    return false;
  }
  const std::string_view value = range.first->Value();
  if (!out->ParseFromArray(value.data(), static_cast<int>(value.size()))) {
    Logger(LOG_LEVEL_ERROR, "Unparsable %1 record", ObjTypeToString(objectType));
    return false;
  }
  return true;
}

bool StateCacheL3Table::QueryLogRouter(const std::string& routerId, tv::LogRouterConfigMsg* router) const {
  tv::LogRouterConfigMsg found;
  if (!Single(tv::LOG_ROUTER_CONFIG, routerId, 0, "Found multiple entries for LR %1", &found)) return false;
  if (!found.has_vdr_id()) {
    Logger(LOG_LEVEL_ERROR, "No vdr ID set in protobuf msg for LR %1", IdText(tv::LOG_ROUTER_CONFIG, routerId))
        .AddTag("errorCode:LCP00920");
    return false;
  }
  if (router) *router = std::move(found);
  return true;
}

bool StateCacheL3Table::QueryLogRouterPort(const std::string& portId, tv::LogRouterPortConfigMsg* port) const {
  tv::LogRouterPortConfigMsg found;
  if (!Single(tv::LOG_ROUTER_PORT_CONFIG, portId, 0, "Found multiple entries for LRP %1", &found)) return false;
  if (!found.has_router_id()) {
    Logger(LOG_LEVEL_ERROR, "No LR UUID set in protobuf msg for LRP %1", IdText(tv::LOG_ROUTER_PORT_CONFIG, portId))
        .AddTag("errorCode:LCP00920");
    return false;
  }
  if (port) *port = std::move(found);
  return true;
}

bool StateCacheL3Table::QueryFib(const std::string& fibId, tv::FibMsg* fib) const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  auto& byKey = _store.get<ByKey>();
  if (byKey.count(std::forward_as_tuple(static_cast<uint32_t>(tv::FIB), fibId)) == 0) return false;
  tv::FibMsg found;
  // The router and the prefix are optional (a FIB is cached from its first record), but never ambiguous.
  auto router = byKey.equal_range(
      std::forward_as_tuple(static_cast<uint32_t>(tv::FIB), fibId, static_cast<uint32_t>(Property::L3_FIB_ROUTER_ID)));
  if (router.first != router.second &&
      !Single(tv::FIB, fibId, Property::L3_FIB_ROUTER_ID, "Found multiple LR entries for fib %1", &found)) {
    return false;
  }
  auto prefix = byKey.equal_range(
      std::forward_as_tuple(static_cast<uint32_t>(tv::FIB), fibId, static_cast<uint32_t>(Property::L3_FIB_IP_PREFIX)));
  if (prefix.first != prefix.second &&
      !Single(tv::FIB, fibId, Property::L3_FIB_IP_PREFIX, "Found multiple IP prefix entries for fib %1", &found)) {
    return false;
  }
  auto hops = byKey.equal_range(
      std::forward_as_tuple(static_cast<uint32_t>(tv::FIB), fibId, static_cast<uint32_t>(Property::L3_FIB_NEXT_HOP)));
  for (auto it = hops.first; it != hops.second; ++it) {
    if (!found.add_next_hops()->ParseFromArray(it->Value().data(), static_cast<int>(it->Value().size()))) {
      Logger(LOG_LEVEL_ERROR, "Unparsable FIB next hop of %1", IdText(tv::FIB, fibId));
      return false;
    }
  }
  qor::tolvar::SetObjectId(&found, fibId);
  if (fib) *fib = std::move(found);
  return true;
}

bool StateCacheL3Table::QueryArpTable(const std::string& arpTableId, tv::ArpTableConfigMsg* table) const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  auto& byKey = _store.get<ByKey>();
  const uint32_t type = tv::ARP_TABLE_CONFIG;
  if (byKey.count(std::forward_as_tuple(type, arpTableId)) == 0) return false;
  tv::ArpTableConfigMsg found;
  auto port = byKey.equal_range(
      std::forward_as_tuple(type, arpTableId, static_cast<uint32_t>(Property::L3_ARP_ROUTER_PORT_ID)));
  if (port.first != port.second && !Single(type, arpTableId, Property::L3_ARP_ROUTER_PORT_ID,
                                           "Found multiple LRP entries for arp table config %1", &found)) {
    return false;
  }
  auto entries =
      byKey.equal_range(std::forward_as_tuple(type, arpTableId, static_cast<uint32_t>(Property::L3_ARP_ENTRY)));
  for (auto it = entries.first; it != entries.second; ++it) {
    if (!found.add_entries()->ParseFromArray(it->Value().data(), static_cast<int>(it->Value().size()))) {
      Logger(LOG_LEVEL_ERROR, "Unparsable ARP entry of %1", IdText(type, arpTableId));
      return false;
    }
  }
  qor::tolvar::SetObjectId(&found, arpTableId);
  if (table) *table = std::move(found);
  return true;
}

bool StateCacheL3Table::QueryPrefixList(const std::string& prefixListId, tv::PrefixListMsg* prefixList) const {
  tv::PrefixListMsg found;
  if (!Single(tv::PREFIX_LIST, prefixListId, 0, "Found multiple entries for prefix list %1", &found)) return false;
  if (!found.has_index()) {
    Logger(LOG_LEVEL_ERROR, "No prefix list index set in protobuf msg for prefix list %1",
           IdText(tv::PREFIX_LIST, prefixListId))
        .AddTag("errorCode:LCP00920");
    return false;
  }
  if (prefixList) *prefixList = std::move(found);
  return true;
}

bool StateCacheL3Table::QueryMulticastConfig(const std::string& configId, tv::MulticastConfigMsg* config) const {
  return SingleMessage(tv::MULTICAST_CONFIG, configId, 0, "Found multiple entries for multicast config %1", config);
}

bool StateCacheL3Table::QueryNdraProfile(const std::string& profileId, tv::NdraProfileConfigMsg* profile) const {
  return SingleMessage(tv::NDRA_PROFILE_CONFIG, profileId, 0, "Found multiple entries for ndraProfileId %1", profile);
}

bool StateCacheL3Table::QueryDadProfile(const std::string& profileId, tv::DadProfileConfigMsg* profile) const {
  return SingleMessage(tv::DAD_PROFILE_CONFIG, profileId, 0, "Found multiple entries for dadProfileId %1", profile);
}

bool StateCacheL3Table::QueryFibDadState(const std::string& portId, tv::LogRouterPortFibDadStateMsg* state) const {
  // The whole state object is cached under its DAD status property.
  return SingleMessage(tv::LOG_ROUTER_PORT_FIB_DAD_STATE, portId, Property::L3_DAD_STATUS,
                       "Found multiple entries for FibDadStateMsg  %1", state);
}

bool StateCacheL3Table::QueryGlobalConfig(tv::GlobalConfigMsg* config) const {
  return OnlyMessage(tv::GLOBAL_CONFIG, "Found multiple entries for globalConfig msg", config);
}

bool StateCacheL3Table::QueryBarrier(tv::BarrierMsg* barrier) const {
  return OnlyMessage(tv::BARRIER, "Found multiple entries for barrier msg", barrier);
}

bool StateCacheL3Table::QueryMulticastStaticRoutes(const std::string& routerId,
                                                   std::vector<tv::MulticastStaticRouteMsg>* routes) const {
  const std::string routerText = IdText(tv::LOG_ROUTER_CONFIG, routerId);
  QOR_LOG(LOG_LEVEL_DEBUG, "Query Multicast Static Route by LR UUID %1", routerText);
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  auto range =
      _store.get<ByKey>().equal_range(std::forward_as_tuple(static_cast<uint32_t>(tv::MULTICAST_STATIC_ROUTE)));
  bool any = false;
  for (auto it = range.first; it != range.second; ++it) {
    if (it->propertyType != 0) continue;
    tv::MulticastStaticRouteMsg route;
    if (!route.ParseFromArray(it->Value().data(), static_cast<int>(it->Value().size()))) {
      Logger(LOG_LEVEL_ERROR, "Unparsable %1 record of %2", ObjTypeToString(tv::MULTICAST_STATIC_ROUTE),
             IdText(tv::MULTICAST_STATIC_ROUTE, it->ObjectId()));
      continue;
    }
    if (!route.has_router_id() || !SameUuid(route.router_id(), routerId)) continue;
    any = true;
    if (routes) routes->push_back(std::move(route));
  }
  if (!any) QOR_LOG(LOG_LEVEL_DEBUG, "Didn't find the MulticastStaticRoute for LR UUID %1", routerText);
  return any;
}

bool StateCacheL3Table::QueryDesired(uint32_t objectType, std::vector<StateCacheRecord>* records) const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  auto range = _store.get<ByKey>().equal_range(std::forward_as_tuple(objectType));
  if (range.first == range.second) return false;
  if (records) {
    for (auto it = range.first; it != range.second; ++it) {
      records->push_back(StateCacheRecord{it->objectType, std::string(it->ObjectId()), it->propertyType,
                                          std::string(it->Value()), it->fullSyncVersion});
    }
  }
  return true;
}

size_t StateCacheL3Table::CopyDesired(std::vector<StateCacheRecord>* out, size_t limit) const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  const auto& byKey = _store.get<ByKey>();
  out->reserve(out->size() + std::min(limit, byKey.size()));
  for (auto it = byKey.begin(); it != byKey.end() && limit > 0; ++it, --limit) {
    out->push_back(StateCacheRecord{it->objectType, std::string(it->ObjectId()), it->propertyType,
                                    std::string(it->Value()), it->fullSyncVersion});
  }
  return byKey.size();
}

size_t StateCacheL3Table::DumpDesiredState() const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  Logger(LOG_LEVEL_INFO, "Dump L3 remote StateCache");
  for (const Record& record : _store.get<ByKey>()) {
    Logger(LOG_LEVEL_INFO,
           "ObjectType is : %1, ObjectId is : %2, PropertyType is %3,FullsyncVersion is %4, PropertyValue is %5",
           ObjTypeToString(record.objectType), IdText(record.objectType, record.ObjectId()),
           PropertyTypeToString(record.propertyType), record.fullSyncVersion,
           ValueText(record.objectType, record.propertyType, record.list, record.Value()));
  }
  return _store.size();
}

size_t StateCacheL3Table::DesiredCacheSize() const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  size_t bytes = _store.get<ByObject>().bucket_count() * sizeof(void*);
  const char* lastId = nullptr;
  for (const Record& record : _store.get<ByKey>()) {
    bytes += sizeof(Record) + kL3NodeLinks * sizeof(void*) + record.value.Bytes();
    // The records of an object lie together in key order and share its id: its block is counted once.
    if (record.ObjectId().data() != lastId) bytes += record.objectId.Bytes();
    lastId = record.ObjectId().data();
  }
  Logger(LOG_LEVEL_INFO, "L3 desired cache size(bytes): %1", bytes);
  return bytes;
}

size_t StateCacheL3Table::DesiredCount() const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  return _store.size();
}

uint32_t StateCacheL3Table::FullSyncVersion() const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  return _fullSyncVersion;
}

}  // namespace VevUroro
