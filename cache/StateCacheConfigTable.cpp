#include "cache/StateCacheConfigTable.h"

#include <algorithm>
#include <memory_resource>
#include <optional>

#include "core/Logger.h"
#include "intake/TypeNames.h"
#include "platform/tolvar/TolvarSchema.h"
#include "platform/wft/WorkflowUtil.h"
#include "zantix/qor/tolvar/config.pb.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace VevUroro {
namespace {

namespace tv = zantix::qor::tolvar;
using tv::Property;

constexpr size_t kConfigIndexes = 2;
constexpr size_t kSyncChangeBlock = 256 * 1024;

std::string IdText(uint32_t objectType, const std::string& id) {
  return qor::tolvar::ObjectIdText(objectType, id);
}

// Properties whose changes are logged with their content.
bool LoggedWithContent(uint32_t property) {
  return property == Property::LSP_EXTRA_CONFIGS || property == Property::TN_TRANSPORT_SWITCHES ||
         property == Property::LS_EXTRA_CONFIGS || property == Property::LS_ATTACHMENT ||
         property == Property::LS_TYPE || property == Property::LS_SP_SUBTYPE;
}

void AppendContent(std::string& out, uint32_t objectType, const std::string& value) {
  auto object = qor::tolvar::NewObject(objectType);
  if (!object || !object->ParseFromString(value)) {
    out += "<unparsable>";
    return;
  }
  out += object->ShortDebugString();
}

bool LogsContent(uint32_t property) {
  return LoggedWithContent(property) && LogEnabled(LOG_LEVEL_INFO);
}

// "ConfigCache: Add|Update|Delete <property> ...": put together as it is written, once per such change.
void LogContentChange(const StateCacheChange& change) {
  const TolvarUpdateMsg& entry = change.entry;
  uint32_t property = static_cast<uint32_t>(entry.propertyType);
  if (!LogsContent(property)) return;
  uint32_t type = static_cast<uint32_t>(entry.objectType);
  LogText line;
  std::string& text = line.text;
  text = change.IsRemoval() ? "ConfigCache: Delete " : change.hasOld ? "ConfigCache: Update " : "ConfigCache: Add ";
  text += PropertyTypeToString(property);
  if (!change.IsRemoval() && change.hasOld) {
    text += " old config ";
    AppendContent(text, type, change.oldValue);
    text += " new config ";
  } else {
    text += ' ';
  }
  AppendContent(text, type, entry.value);
  Logger(LOG_LEVEL_INFO, std::move(line));
}

StateCacheChange Removal(const StateCacheRecord& record, const std::string& spanContext) {
  StateCacheChange change;
  change.entry.objectType = static_cast<int32_t>(record.objectType);
  change.entry.objectId = record.objectId;
  change.entry.propertyType = static_cast<int32_t>(record.propertyType);
  change.entry.value = record.value;
  change.entry.operation = TolvarUpdateMsg::OP_CLEAR;
  change.entry.spanContext = spanContext;
  change.oldValue = record.value;
  change.hasOld = true;
  return change;
}

// The removals of one object that disappears, by a delete or by a full sync that omits it, in one shape:
// the object first, its value the object as the cache held it (the values of all its records merged), then one
// removal per property. `records` are the object's records in property order.
void AppendObjectRemoval(const std::vector<StateCacheRecord>& records, const std::string& spanContext,
                         StateCacheChangeList& changes) {
  StateCacheRecord object{records.front().objectType, records.front().objectId, 0, std::string(), 0};
  for (const StateCacheRecord& record : records) object.value += record.value;
  changes.push_back(Removal(object, spanContext));
  for (const StateCacheRecord& record : records) {
    if (record.propertyType != 0) changes.push_back(Removal(record, spanContext));
  }
}

// The id index's lower bound of `key`. A full sync's entries come in the index's order (the database hands its
// objects over sorted by id, each object's properties together): the bound is then the record after the one last
// written, which one compare with it and one with the record before it confirm without a descent from the root.
// `inOrder` says whether the last entry went to its cursor; after one that did not, the next is not checked, and
// the order resumes once a descent ends at the cursor.
template <typename Index, typename Key>
typename Index::iterator LowerBound(Index& byId, typename Index::iterator cursor, const Key& key, bool& inOrder) {
  if (inOrder && IsLowerBound(byId, cursor, key)) return cursor;
  auto place = byId.lower_bound(key);
  inOrder = place == cursor;
  return place;
}

// The value and full-sync version are part of no index's key: written in place, without the position checks of
// modify() (which read the neighbours' keys in every index).
ConfigRecord& Unkeyed(const ConfigRecord& record) {
  return const_cast<ConfigRecord&>(record);
}

void SortByAddition(std::vector<const ConfigRecord*>& records) {
  std::sort(records.begin(), records.end(),
            [](const ConfigRecord* a, const ConfigRecord* b) { return a->addition < b->addition; });
}

// The records of one type, in the order they were added.
std::vector<const ConfigRecord*> RecordsOf(const ConfigRecordStore& store, uint32_t objectType) {
  std::vector<const ConfigRecord*> records;
  auto range = store.get<sc_index::ByTypeProperty>().equal_range(std::make_tuple(objectType));
  for (auto it = range.first; it != range.second; ++it) records.push_back(&*it);
  SortByAddition(records);
  return records;
}

// The records of one (type, property), in the order they were added.
std::vector<const ConfigRecord*> RecordsOf(const ConfigRecordStore& store, uint32_t objectType, uint32_t propertyType) {
  std::vector<const ConfigRecord*> records;
  auto range = store.get<sc_index::ByTypeProperty>().equal_range(std::make_tuple(objectType, propertyType));
  for (auto it = range.first; it != range.second; ++it) records.push_back(&*it);
  return records;
}

// The next addition's number. Before the count would wrap, the records are numbered again from 0 in the order of
// their additions: every index keeps its order, as no record's place changes relative to another's.
uint32_t NextAddition(ConfigRecordStore& store, uint32_t& additions) {
  if (additions == UINT32_MAX) {
    std::vector<const ConfigRecord*> records;
    records.reserve(store.size());
    for (const ConfigRecord& record : store) records.push_back(&record);
    SortByAddition(records);
    additions = 0;
    for (const ConfigRecord* record : records) const_cast<ConfigRecord*>(record)->addition = additions++;
  }
  return additions++;
}

size_t StoreBytes(const ConfigRecordStore& store) {
  size_t bytes = 0;
  for (const ConfigRecord& record : store) bytes += RecordBytes(record, kConfigIndexes);
  return bytes;
}

}  // namespace

void StateCacheConfigTable::Apply(const ApplyContext& context, const std::list<TolvarUpdateMsg>& entries,
                                  std::list<TolvarUpdateMsg>* taken) {
  context.cursor = context.store.get<sc_index::ByIdProperty>().end();
  context.inOrder = true;
  if (!taken) {
    for (const TolvarUpdateMsg& entry : entries) ApplyEntry(context, entry, nullptr);
    return;
  }
  // Freed as it goes: the sync's entries are not held while the records and changes made of them grow.
  while (!taken->empty()) {
    ApplyEntry(context, taken->front(), &taken->front());
    taken->pop_front();
  }
}

void StateCacheConfigTable::ApplyEntry(const ApplyContext& context, const TolvarUpdateMsg& entry,
                                       TolvarUpdateMsg* movable) {
  ConfigRecordStore& store = context.store;
  const uint32_t version = context.version;
  const bool runtime = context.runtime;
  StateCacheChangeList& changes = context.changes;
  auto& byId = store.get<sc_index::ByIdProperty>();
  if (entry.objectType == 0) {
    Logger(LOG_LEVEL_ERROR, "ConfigCache: received invalid object from controller");
    return;
  }
  const uint32_t type = static_cast<uint32_t>(entry.objectType);
  const uint32_t property = static_cast<uint32_t>(entry.propertyType);
  // Only observers read the changes: a full sync of a type nobody observes keeps no second copy of it.
  const bool observed = context.observers.count(type) > 0;
  // One descent finds the record, or where it goes with the object's other records (whose id it shares) beside it.
  const std::string_view objectId(entry.objectId);
  auto place = LowerBound(byId, context.cursor, std::make_tuple(objectId, property, type), context.inOrder);
  auto found = place != byId.end() && place->propertyType == property && place->objectType == type &&
                       place->ObjectId() == objectId
                   ? place
                   : byId.end();
  if (found != byId.end()) context.cursor = std::next(found);
  if (entry.operation == TolvarUpdateMsg::OP_CLEAR) {
    if (property == 0) {
      // The object's properties go with it; the object record itself may never have been stored (the decoder
      // sends configuration objects as properties only).
      std::vector<StateCacheRecord> removed;
      auto range = byId.equal_range(std::make_tuple(std::string_view(entry.objectId)));
      for (auto it = range.first; it != range.second;) {
        if (it->objectType == type) {
          removed.push_back(*it);
          it = byId.erase(it);
        } else {
          ++it;
        }
      }
      context.cursor = byId.end();
      if (removed.empty()) return;
      QOR_LOG(LOG_LEVEL_DEBUG, "ConfigCache: Remove object %1 type %2", IdText(type, entry.objectId),
              ObjTypeToString(type));
      if (!observed) return;
      if (runtime) {
        // The write-back deletes the database object: its properties go with it there too.
        std::string objectValue = removed.front().propertyType == 0 ? removed.front().value : entry.value;
        changes.push_back(Removal(StateCacheRecord{type, entry.objectId, 0, objectValue, 0}, entry.spanContext));
      } else {
        AppendObjectRemoval(removed, entry.spanContext, changes);
      }
    } else {
      if (found == byId.end()) return;
      QOR_LOG(LOG_LEVEL_DEBUG, "ConfigCache: Remove object %1 property %2", IdText(type, entry.objectId),
              PropertyTypeToString(property));
      StateCacheChange removal = Removal(*found, entry.spanContext);
      context.cursor = byId.erase(found);
      LogContentChange(removal);
      if (observed) changes.push_back(std::move(removal));
    }
    return;
  }
  if (entry.operation != TolvarUpdateMsg::OP_SET) {
    Logger(LOG_LEVEL_ERROR, "ConfigCache: unsupported operation %1", entry.operation).AddTag("errorCode:LCP00007");
    return;
  }
  // The change is put together only when an observer or the content line reads it.
  const bool wanted = observed || LogsContent(property);
  StateCacheChange change;
  bool reportsRecord = false;  // the change carries the record's value rather than the entry's
  if (found == byId.end()) {
    if (property == 0) {
      QOR_LOG(LOG_LEVEL_DEBUG, "ConfigCache: Add object %1 type %2", IdText(type, entry.objectId),
              ObjTypeToString(type));
    } else {
      QOR_LOG(LOG_LEVEL_DEBUG, "ConfigCache: Add object %1 property %2", IdText(type, entry.objectId),
              PropertyTypeToString(property));
    }
    // `place` is a hint for every index; the type index's key includes the addition, so the hint cannot move the
    // record there (an unfit hint costs that index a descent).
    auto added = byId.insert(place, ConfigRecord{type, property, version, NextAddition(store, context.additions),
                                                 IdOf(byId, place, objectId), CompactValue(entry.value)});
    context.cursor = std::next(added);
    if (!wanted) return;
  } else if ((property != 0 || !runtime) && found->value != entry.value) {
    // A property with a new value, or a whole object sent again with new content (a put of a whole-object type):
    // the cache takes it.
    if (property == 0) {
      QOR_LOG(LOG_LEVEL_DEBUG, "ConfigCache: create existing object operation!");
    } else {
      QOR_LOG(LOG_LEVEL_DEBUG, "ConfigCache: Update object %1 property %2", IdText(type, entry.objectId),
              PropertyTypeToString(property));
    }
    ConfigRecord& record = Unkeyed(*found);
    if (wanted) {
      change.oldValue = record.value;
      change.hasOld = true;
    }
    record.value.Assign(entry.value);
    record.fullSyncVersion = version;
    if (!wanted) return;
  } else if (property == 0) {
    QOR_LOG(LOG_LEVEL_DEBUG, "ConfigCache: create existing object operation!");
    Unkeyed(*found).fullSyncVersion = version;
    if (!(runtime && context.fullSync) || !wanted) return;
    reportsRecord = true;
    change.oldValue = found->value;
    change.hasOld = true;
  } else {
    Unkeyed(*found).fullSyncVersion = version;
    // Unchanged: no change, except that a runtime full sync reports everything it wrote.
    if (!(runtime && context.fullSync) || !wanted) return;
    change.oldValue = found->value;
    change.hasOld = true;
  }
  if (movable) {
    change.entry = std::move(*movable);
  } else {
    change.entry = entry;
  }
  if (reportsRecord) change.entry.value = found->value;
  LogContentChange(change);
  if (observed) changes.push_back(std::move(change));
}

void StateCacheConfigTable::Sweep(ConfigRecordStore& store, uint32_t version, const Registry& observers,
                                  StateCacheChangeList& changes) {
  std::vector<StateCacheRecord> stale;
  for (auto it = store.begin(); it != store.end();) {
    if (it->fullSyncVersion < version) {
      stale.push_back(*it);
      it = store.erase(it);
    } else {
      ++it;
    }
  }
  for (const StateCacheRecord& record : stale) {
    QOR_LOG(LOG_LEVEL_DEBUG, "ConfigCache: Remove object %1 property %2", IdText(record.objectType, record.objectId),
            PropertyTypeToString(record.propertyType));
  }
  // Per object, in (type, object, property) order: an object the full sync omitted entirely disappears as a
  // delete makes it disappear; one that keeps some records loses only the others.
  std::sort(stale.begin(), stale.end(), [](const StateCacheRecord& a, const StateCacheRecord& b) {
    return std::tie(a.objectType, a.objectId, a.propertyType) < std::tie(b.objectType, b.objectId, b.propertyType);
  });
  auto& byId = store.get<sc_index::ByIdProperty>();
  for (auto first = stale.begin(); first != stale.end();) {
    auto last = std::find_if(first, stale.end(), [&](const StateCacheRecord& r) {
      return r.objectType != first->objectType || r.objectId != first->objectId;
    });
    if (observers.count(first->objectType) == 0) {
      first = last;
      continue;
    }
    auto range = byId.equal_range(std::make_tuple(std::string_view(first->objectId)));
    bool remains = std::any_of(range.first, range.second,
                               [&](const ConfigRecord& r) { return r.objectType == first->objectType; });
    if (remains) {
      for (auto it = first; it != last; ++it) changes.push_back(Removal(*it, std::string()));
    } else {
      AppendObjectRemoval(std::vector<StateCacheRecord>(first, last), std::string(), changes);
    }
    first = last;
  }
}

void StateCacheConfigTable::UpdateDesiredState(const std::list<TolvarUpdateMsg>& updates, uint8_t fullSync) {
  UpdateDesired(updates, nullptr, fullSync);
}

void StateCacheConfigTable::TakeDesiredState(std::list<TolvarUpdateMsg>&& updates, uint8_t fullSync) {
  UpdateDesired(updates, &updates, fullSync);
}

void StateCacheConfigTable::UpdateDesired(const std::list<TolvarUpdateMsg>& updates, std::list<TolvarUpdateMsg>* taken,
                                          uint8_t fullSync) {
  std::lock_guard<std::recursive_mutex> notifyLock(_desiredNotify);
  // A full sync's changes are a host's worth of small nodes freed together after the notification: taken from
  // blocks of their own, they leave no holes among the records kept, which the heap could not hand back.
  std::optional<std::pmr::monotonic_buffer_resource> syncChanges;
  if (fullSync) syncChanges.emplace(kSyncChangeBlock);
  StateCacheChangeList changes(syncChanges ? &*syncChanges : std::pmr::get_default_resource());
  bool first = false;
  Registry observers;
  {
    std::lock_guard<std::recursive_mutex> lock(_mutex);
    qor::wft::Span span = qor::wft::WorkflowUtil::StartSpan(
        "ConfigCache UpdateDesiredState", updates.empty() ? std::string() : updates.front().spanContext);
    if (span.TagsWanted()) {
      for (const TolvarUpdateMsg& entry : updates) {
        span.SetTag("objectID", IdText(static_cast<uint32_t>(entry.objectType), entry.objectId));
        span.SetTag("propertyType", PropertyTypeToString(static_cast<uint32_t>(entry.propertyType)));
      }
    }
    if (fullSync) ++_fullSyncVersion;
    Apply({_desired, _desiredAdditions, fullSync != 0, _fullSyncVersion, false, _desiredObservers, changes}, updates,
          taken);
    if (fullSync) Sweep(_desired, _fullSyncVersion, _desiredObservers, changes);
    first = !_initialised;
    _initialised = true;
    observers = _desiredObservers;
  }
  // Outside the store lock: an observer selecting its changes may take its own locks, under which it queries us.
  auto lists = SplitByObserver(observers, std::move(changes), fullSync != 0 || first,
                               [](SCConfigTableObserver* observer, const StateCacheChange& change) {
                                 return observer->ReadsDesiredChange(change);
                               });
  qor::wft::Span span = qor::wft::WorkflowUtil::StartSpan("StateCacheConfigTable.NotifyDesiredStateObservers");
  for (auto& [observer, list] : lists) observer->OnConfigDesiredStateTaken(list, fullSync != 0, first);
}

void StateCacheConfigTable::UpdateRuntimeState(const std::list<TolvarUpdateMsg>& changesIn, bool fullSync) {
  std::lock_guard<std::recursive_mutex> notifyLock(_runtimeNotify);
  StateCacheChangeList changes;
  std::vector<std::pair<SCConfigTableObserver*, StateCacheChangeList>> lists;
  {
    std::lock_guard<std::recursive_mutex> lock(_mutex);
    qor::wft::Span span = qor::wft::WorkflowUtil::StartSpan("StateCacheConfigTable.UpdateRuntimeState");
    if (changesIn.empty()) span.SetTag("MsgList", "Empty");
    span.SetTag("isFullSync", fullSync ? "True" : "False");
    if (fullSync) ++_runtimeVersion;
    Apply({_runtime, _runtimeAdditions, fullSync, _runtimeVersion, true, _runtimeObservers, changes}, changesIn,
          nullptr);
    if (fullSync) Sweep(_runtime, _runtimeVersion, _runtimeObservers, changes);
    lists = SplitByObserver(_runtimeObservers, std::move(changes), fullSync);
  }
  qor::wft::Span span = qor::wft::WorkflowUtil::StartSpan("StateCacheConfigTable.NotifyRuntimeStateObservers");
  for (auto& [observer, list] : lists) observer->OnConfigRuntimeStateChanged(list, fullSync);
}

bool StateCacheConfigTable::Register(Registry& registry, uint32_t objectType, SCConfigTableObserver* observer,
                                     const char* which) {
  if (!observer) {
    Logger(LOG_LEVEL_ERROR, (std::string("ConfigCache: register NULL ") + which + " state observer!").c_str());
    return false;
  }
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  auto range = registry.equal_range(objectType);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == observer) {
      Logger(LOG_LEVEL_ERROR,
             (std::string("ConfigCache: register existing ") + which + " state observer (%1)!").c_str(),
             ObjTypeToString(objectType));
      return false;
    }
  }
  registry.emplace(objectType, observer);
  return true;
}

bool StateCacheConfigTable::Unregister(Registry& registry, uint32_t objectType, SCConfigTableObserver* observer,
                                       const char* which) {
  if (!observer) {
    Logger(LOG_LEVEL_ERROR, (std::string("ConfigCache: unregister NULL ") + which + " state observer!").c_str());
    return false;
  }
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  auto range = registry.equal_range(objectType);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == observer) {
      registry.erase(it);
      return true;
    }
  }
  return false;
}

bool StateCacheConfigTable::RegisterDesiredStateObserver(uint32_t objectType, SCConfigTableObserver* observer) {
  return Register(_desiredObservers, objectType, observer, "desired");
}

bool StateCacheConfigTable::RegisterRuntimeStateObserver(uint32_t objectType, SCConfigTableObserver* observer) {
  return Register(_runtimeObservers, objectType, observer, "runtime");
}

bool StateCacheConfigTable::UnregisterDesiredStateObserver(uint32_t objectType, SCConfigTableObserver* observer) {
  std::lock_guard<std::recursive_mutex> notifyLock(_desiredNotify);
  return Unregister(_desiredObservers, objectType, observer, "desired");
}

bool StateCacheConfigTable::UnregisterRuntimeStateObserver(uint32_t objectType, SCConfigTableObserver* observer) {
  std::lock_guard<std::recursive_mutex> notifyLock(_runtimeNotify);
  return Unregister(_runtimeObservers, objectType, observer, "runtime");
}

bool StateCacheConfigTable::QueryDesiredProperty(uint32_t objectType, uint32_t propertyType,
                                                 std::vector<StateCacheRecord>* records) const {
  QOR_LOG(LOG_LEVEL_DEBUG,
          "ConfigCache: query object property from desired StateCache by objectType %1, propertyType %2",
          ObjTypeToString(objectType), PropertyTypeToString(propertyType));
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  std::vector<const ConfigRecord*> found = RecordsOf(_desired, objectType, propertyType);
  if (found.empty()) {
    QOR_LOG(LOG_LEVEL_DEBUG, "ConfigCache: object does not exist: objectType %1 propertyType %2",
            ObjTypeToString(objectType), PropertyTypeToString(propertyType));
    return false;
  }
  if (records) {
    records->clear();
    records->reserve(found.size());
    for (const ConfigRecord* record : found) records->push_back(*record);
  }
  return true;
}

bool StateCacheConfigTable::QueryDesiredObject(const std::string& objectId,
                                               std::vector<StateCacheRecord>* records) const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  auto range = _desired.get<sc_index::ByIdProperty>().equal_range(std::make_tuple(std::string_view(objectId)));
  uint32_t type = range.first == range.second ? 0 : range.first->objectType;
  QOR_LOG(LOG_LEVEL_DEBUG, "ConfigCache: query object [%1] property from desired StateCache", IdText(type, objectId));
  if (range.first == range.second) {
    QOR_LOG(LOG_LEVEL_DEBUG, "ConfigCache: object does not exist: [%1]", IdText(0, objectId));
    return false;
  }
  if (records) records->assign(range.first, range.second);
  return true;
}

bool StateCacheConfigTable::FindDesired(const std::string& objectId, uint32_t propertyType,
                                        StateCacheRecord* record) const {
  auto range =
      _desired.get<sc_index::ByIdProperty>().equal_range(std::make_tuple(std::string_view(objectId), propertyType));
  if (range.first == range.second) return false;
  *record = *range.first;
  return true;
}

bool StateCacheConfigTable::QueryDesiredProperty(const std::string& objectId, uint32_t propertyType,
                                                 std::string* value) const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  auto& byId = _desired.get<sc_index::ByIdProperty>();
  auto object = byId.equal_range(std::make_tuple(std::string_view(objectId)));
  if (object.first == object.second) {
    QOR_LOG(LOG_LEVEL_DEBUG, "ConfigCache: object does not exist: [%1]", IdText(0, objectId));
    return false;
  }
  StateCacheRecord record;
  if (!FindDesired(objectId, propertyType, &record)) {
    uint32_t type = object.first->objectType;
    QOR_LOG(LOG_LEVEL_DEBUG, "ConfigCache: object exists, but property does not exist: %1, %2, %3",
            IdText(type, objectId), ObjTypeToString(type), PropertyTypeToString(propertyType));
    return false;
  }
  if (value) *value = record.value;
  return true;
}

bool StateCacheConfigTable::QueryRuntimeState(const std::string& objectId, uint32_t propertyType,
                                              std::string* value) const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  auto range =
      _runtime.get<sc_index::ByIdProperty>().equal_range(std::make_tuple(std::string_view(objectId), propertyType));
  if (range.first == range.second) {
    QOR_LOG(LOG_LEVEL_DEBUG, "ConfigCache: state does not exist: %1, %2", IdText(0, objectId),
            PropertyTypeToString(propertyType));
    return false;
  }
  if (range.first->value.empty()) {
    QOR_LOG(LOG_LEVEL_DEBUG, "ConfigCache: Object %1 with state %2 has no property value",
            IdText(range.first->objectType, objectId), PropertyTypeToString(propertyType));
    return false;
  }
  if (value) *value = range.first->value;
  return true;
}

bool StateCacheConfigTable::GetTransportZoneOfHostSwitch(const std::string& hostSwitchId,
                                                         std::string* transportZoneId) const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  tv::UuidMsg wanted;
  if (!wanted.ParseFromString(hostSwitchId)) return false;
  for (const ConfigRecord* record : RecordsOf(_desired, tv::TRANSPORT_NODE_CONFIG, Property::TN_TRANSPORT_SWITCHES)) {
    tv::TransportNodeConfigMsg node;
    if (!node.ParseFromString(record->value)) continue;
    for (const tv::TransportSwitchMsg& sw : node.transport_switches().switches()) {
      if (sw.host_switch_id().high() != wanted.high() || sw.host_switch_id().low() != wanted.low()) continue;
      if (sw.transport_zone_ids().empty()) continue;
      std::string zone = sw.transport_zone_ids(0).SerializeAsString();
      QOR_LOG(LOG_LEVEL_DEBUG, "ConfigCache: Host switch Id %1 TZoneId %2",
              qor::tolvar::UuidToString(wanted.high(), wanted.low()),
              qor::tolvar::UuidToString(sw.transport_zone_ids(0).high(), sw.transport_zone_ids(0).low()));
      if (transportZoneId) *transportZoneId = zone;
      return true;
    }
  }
  return false;
}

bool StateCacheConfigTable::FindAttachment(const std::string& lspId, tv::LogSwitchPortConfigMsg* port) const {
  StateCacheRecord record;
  if (!FindDesired(lspId, Property::LSP_ATTACHMENT, &record)) {
    QOR_LOG(LOG_LEVEL_DEBUG, "ConfigCache: property does not exist: %1, %2 with type: %3",
            IdText(tv::LOG_SWITCH_PORT_CONFIG, lspId), PropertyTypeToString(Property::LSP_ATTACHMENT),
            ObjTypeToString(tv::LOG_SWITCH_PORT_CONFIG));
    return false;
  }
  return port->ParseFromString(record.value);
}

bool StateCacheConfigTable::FindDVPortByLsp(const std::string& lspId, std::string* dvportId) const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  tv::LogSwitchPortConfigMsg port;
  if (!FindAttachment(lspId, &port) || port.attachment().dvport_id().empty()) return false;
  QOR_LOG(LOG_LEVEL_DEBUG, "ConfigCache: Find DVPortID %1 by LSP %2", port.attachment().dvport_id(),
          IdText(tv::LOG_SWITCH_PORT_CONFIG, lspId));
  if (dvportId) *dvportId = port.attachment().dvport_id();
  return true;
}

bool StateCacheConfigTable::FindVifByLsp(const std::string& lspId, std::string* vifId) const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  tv::LogSwitchPortConfigMsg port;
  if (!FindAttachment(lspId, &port) || port.attachment().vif_id().empty()) return false;
  QOR_LOG(LOG_LEVEL_DEBUG, "ConfigCache: Find VIFID %1 by LSP %2", port.attachment().vif_id(),
          IdText(tv::LOG_SWITCH_PORT_CONFIG, lspId));
  if (vifId) *vifId = port.attachment().vif_id();
  return true;
}

bool StateCacheConfigTable::GetDvsOfLogSwitch(const std::string& logSwitchId, std::string* dvsId) const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  auto object = _desired.get<sc_index::ByIdProperty>().equal_range(std::make_tuple(std::string_view(logSwitchId)));
  if (object.first == object.second) {
    QOR_LOG(LOG_LEVEL_DEBUG, "ConfigCache: object does not exist: objectId %1",
            IdText(tv::LOG_SWITCH_CONFIG, logSwitchId));
    return false;
  }
  StateCacheRecord record;
  tv::LogSwitchConfigMsg ls;
  if (!FindDesired(logSwitchId, Property::LS_TRANSPORT_ZONE_ID, &record) || !ls.ParseFromString(record.value) ||
      !ls.has_transport_zone_id()) {
    QOR_LOG(LOG_LEVEL_DEBUG, "ConfigCache: transport zone does not exist for logSwitch %1",
            IdText(tv::LOG_SWITCH_CONFIG, logSwitchId));
    return false;
  }
  const tv::UuidMsg& zone = ls.transport_zone_id();
  for (const ConfigRecord* record : RecordsOf(_desired, tv::TRANSPORT_NODE_CONFIG, Property::TN_TRANSPORT_SWITCHES)) {
    tv::TransportNodeConfigMsg node;
    if (!node.ParseFromString(record->value)) continue;
    for (const tv::TransportSwitchMsg& sw : node.transport_switches().switches()) {
      for (const tv::UuidMsg& candidate : sw.transport_zone_ids()) {
        if (candidate.high() == zone.high() && candidate.low() == zone.low()) {
          if (dvsId) *dvsId = sw.switch_id();
          return true;
        }
      }
    }
  }
  QOR_LOG(LOG_LEVEL_DEBUG, "ConfigCache: dvs does not exist for transport zone %1",
          qor::tolvar::UuidToString(zone.high(), zone.low()));
  return false;
}

size_t StateCacheConfigTable::DesiredCacheSize() const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  size_t bytes = StoreBytes(_desired);
  Logger(LOG_LEVEL_INFO, "ConfigCache: Config desired cache size(bytes): %1", bytes);
  return bytes;
}

size_t StateCacheConfigTable::RuntimeCacheSize() const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  size_t bytes = StoreBytes(_runtime);
  Logger(LOG_LEVEL_INFO, "ConfigCache: Config runtime cache size(bytes): %1", bytes);
  return bytes;
}

std::vector<StateCacheRecord> StateCacheConfigTable::RuntimeRecords(uint32_t objectType) const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  std::vector<StateCacheRecord> records;
  auto range = _runtime.get<sc_index::ByTypeProperty>().equal_range(std::make_tuple(objectType));
  for (auto it = range.first; it != range.second; ++it) records.push_back(*it);
  std::sort(records.begin(), records.end(), [](const StateCacheRecord& a, const StateCacheRecord& b) {
    return std::tie(a.objectId, a.propertyType) < std::tie(b.objectId, b.propertyType);
  });
  return records;
}

std::vector<StateCacheRecord> StateCacheConfigTable::RuntimeObjectRecords(uint32_t objectType,
                                                                          const std::string& objectId) const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  std::vector<StateCacheRecord> records;
  auto range = _runtime.get<sc_index::ByIdProperty>().equal_range(std::make_tuple(std::string_view(objectId)));
  for (auto it = range.first; it != range.second; ++it) {
    if (it->objectType == objectType) records.push_back(*it);
  }
  return records;
}

size_t StateCacheConfigTable::DesiredCount() const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  return _desired.size();
}

size_t StateCacheConfigTable::RuntimeCount() const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  return _runtime.size();
}

size_t StateCacheConfigTable::Copy(const ConfigRecordStore& store, std::vector<StateCacheRecord>* out, size_t limit,
                                   uint32_t objectType) {
  if (objectType == 0) {
    const auto& byId = store.get<sc_index::ByIdProperty>();
    out->reserve(out->size() + std::min(limit, byId.size()));
    for (auto it = byId.begin(); it != byId.end() && limit > 0; ++it, --limit) out->push_back(*it);
    return byId.size();
  }
  // The cut keeps the records added first.
  std::vector<const ConfigRecord*> records = RecordsOf(store, objectType);
  size_t first = out->size();
  for (size_t i = 0; i < records.size() && i < limit; ++i) out->push_back(*records[i]);
  std::sort(out->begin() + static_cast<std::ptrdiff_t>(first), out->end(),
            [](const StateCacheRecord& a, const StateCacheRecord& b) {
              return std::tie(a.objectId, a.propertyType) < std::tie(b.objectId, b.propertyType);
            });
  return records.size();
}

size_t StateCacheConfigTable::CopyDesired(std::vector<StateCacheRecord>* out, size_t limit, uint32_t objectType) const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  return Copy(_desired, out, limit, objectType);
}

size_t StateCacheConfigTable::CopyRuntime(std::vector<StateCacheRecord>* out, size_t limit, uint32_t objectType) const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  return Copy(_runtime, out, limit, objectType);
}

uint32_t StateCacheConfigTable::FullSyncVersion() const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  return _fullSyncVersion;
}

uint32_t StateCacheConfigTable::RuntimeFullSyncVersion() const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  return _runtimeVersion;
}

void StateCacheConfigTable::StartAdditionsAt(uint32_t count) {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  _desiredAdditions = count;
  _runtimeAdditions = count;
}

bool StateCacheConfigTable::Initialised() const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  return _initialised;
}

}  // namespace VevUroro
