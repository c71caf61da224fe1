#include "cache/StateCacheL2Table.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <memory>

#include "core/Logger.h"
#include "intake/TypeNames.h"
#include "platform/tolvar/TolvarSchema.h"
#include "platform/wft/WorkflowUtil.h"
#include "zantix/qor/tolvar/l2.pb.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace VevUroro {
namespace {

namespace tv = zantix::qor::tolvar;
using tv::Property;

std::string IdText(uint32_t type, const std::string& id) {
  return qor::tolvar::ObjectIdText(type, id);
}

template <typename Element>
bool OverlayKey(const std::string& value, L2ValueKey* key) {
  Element element;
  bool parsed = element.ParseFromString(value);
  qor::tolvar::OverlayElementKey(element, &key->part1, &key->part2);
  return parsed;
}

StateCacheChange Removal(const StateCacheRecord& record) {
  StateCacheChange change;
  change.entry.objectType = static_cast<int32_t>(record.objectType);
  change.entry.objectId = record.objectId;
  change.entry.propertyType = static_cast<int32_t>(record.propertyType);
  change.entry.value = record.value;
  change.entry.operation = record.propertyType == 0 ? TolvarUpdateMsg::OP_CLEAR : TolvarUpdateMsg::OP_REMOVE;
  change.oldValue = record.value;
  change.hasOld = true;
  return change;
}

}  // namespace

bool StateCacheL2Table::ValueKey(uint32_t propertyType, const std::string& value, L2ValueKey* key) {
  bool parsed = false;
  switch (propertyType) {
    // The elements are keyed as the database keys them, so the cache holds exactly one record per element.
    case Property::L2_VM_IP:
      parsed = OverlayKey<tv::VmIpMsg>(value, key);
      break;
    case Property::L2_VM_MAC:
      parsed = OverlayKey<tv::VmMacMsg>(value, key);
      break;
    case Property::L2_VTEP:
      parsed = OverlayKey<tv::VtepMsg>(value, key);
      break;
    case Property::L2_VTEP_GROUP_LABEL:
      parsed = OverlayKey<tv::VtepGroupLabelMsg>(value, key);
      break;
    case Property::L2_VTEP_GROUP: {
      tv::VtepGroupMsg group;
      parsed = group.ParseFromString(value);
      *key = L2ValueKey{group.group_key(), 0};
      break;
    }
    default:
      Logger(LOG_LEVEL_ERROR, "L2Cache: GetL2PropertyValueKeyFromString: invalid property type %1", propertyType);
      return false;
  }
  return parsed;
}

void StateCacheL2Table::Apply(Store& store, const std::list<TolvarUpdateMsg>& entries, bool fullSync, uint32_t version,
                              bool desired, StateCacheChangeList& changes) {
  const bool debug = LogEnabled(LOG_LEVEL_DEBUG);
  for (const TolvarUpdateMsg& entry : entries) {
    const uint32_t type = static_cast<uint32_t>(entry.objectType);
    const uint32_t property = static_cast<uint32_t>(entry.propertyType);
    // Built only for lines that are written: this runs for every element of every full sync.
    auto id = [&] { return IdText(type, entry.objectId); };
    Key objectKey{type, entry.objectId, 0, 0, 0};
    if (property == 0) {
      auto found = store.find(objectKey);
      if (entry.operation == TolvarUpdateMsg::OP_SET || entry.operation == TolvarUpdateMsg::OP_INSERT) {
        if (debug) QOR_LOG(LOG_LEVEL_DEBUG, "L2Cache: add object %1, objectType: %2", id(), ObjTypeToString(type));
        StateCacheChange change;
        change.entry = entry;
        if (found == store.end()) {
          store.emplace(objectKey, StateCacheRecord{type, entry.objectId, 0, entry.value, version});
        } else {
          bool same = found->second.value == entry.value;
          change.oldValue = found->second.value;
          change.hasOld = true;
          found->second.value = entry.value;
          found->second.fullSyncVersion = version;
          if (same && !fullSync) continue;
        }
        changes.push_back(std::move(change));
      } else {
        if (found == store.end()) {
          if (debug)
            QOR_LOG(LOG_LEVEL_DEBUG, "L2Cache: remove object: %1, objectType: %2", id(), ObjTypeToString(type));
          continue;
        }
        if (debug) QOR_LOG(LOG_LEVEL_DEBUG, "L2Cache: delete object %1, objectType: %2", id(), ObjTypeToString(type));
        auto end = store.lower_bound(Key{type, entry.objectId + std::string(1, '\0'), 0, 0, 0});
        // Desired observers see a delete as they see a full sync omitting the object: the object, then each
        // element. The runtime write-back deletes the database object, which takes its elements with it.
        for (auto it = found; it != end && (desired || it == found); ++it) changes.push_back(Removal(it->second));
        store.erase(found, end);
      }
      continue;
    }
    // VTEP groups arrive per property, never as an object record: a property entry, set or clear, is sent for
    // every property of a group that exists, so any of them creates the object.
    const bool groupProperty = type == tv::L2_VTEP_GROUP && (entry.operation == TolvarUpdateMsg::OP_SET ||
                                                             entry.operation == TolvarUpdateMsg::OP_CLEAR);
    auto object = store.find(objectKey);
    if (object == store.end() && groupProperty) {
      if (debug) QOR_LOG(LOG_LEVEL_DEBUG, "L2Cache: add object %1, objectType: %2", id(), ObjTypeToString(type));
      object = store.emplace(objectKey, StateCacheRecord{type, entry.objectId, 0, std::string(), version}).first;
      StateCacheChange change;
      change.entry = entry;
      change.entry.propertyType = 0;
      change.entry.value.clear();
      change.entry.operation = TolvarUpdateMsg::OP_SET;
      changes.push_back(std::move(change));
    } else if (object == store.end()) {
      if (debug) QOR_LOG(LOG_LEVEL_DEBUG, "L2Cache: Ignore property update since object %1 can't be found", id());
      continue;
    } else if (groupProperty) {
      // Written again by this update: a full sync must not sweep the object from under its properties.
      object->second.fullSyncVersion = version;
    }
    L2ValueKey valueKey;
    if (!ValueKey(property, entry.value, &valueKey)) continue;
    if (property == Property::L2_VTEP_GROUP) {
      // One group per object, keyed by its group key: a set under a new key replaces the old, a clear removes it
      // whatever key it carries, so that an emptied group leaves the object record alone, as a full sync does.
      const bool adds = entry.operation == TolvarUpdateMsg::OP_SET || entry.operation == TolvarUpdateMsg::OP_INSERT;
      for (auto it = store.lower_bound(Key{type, entry.objectId, property, 0, 0});
           it != store.end() && std::get<0>(it->first) == type && std::get<1>(it->first) == entry.objectId &&
           std::get<2>(it->first) == property;) {
        if (adds && std::get<3>(it->first) == valueKey.part1 && std::get<4>(it->first) == valueKey.part2) {
          ++it;
          continue;
        }
        if (debug)
          QOR_LOG(LOG_LEVEL_DEBUG, "L2Cache: Object %1 remove property: %2", id(), PropertyTypeToString(property));
        changes.push_back(Removal(it->second));
        it = store.erase(it);
      }
      if (!adds) continue;
    }
    Key key{type, entry.objectId, property, valueKey.part1, valueKey.part2};
    auto found = store.find(key);
    if (entry.operation == TolvarUpdateMsg::OP_SET || entry.operation == TolvarUpdateMsg::OP_INSERT) {
      if (debug && fullSync) {
        QOR_LOG(LOG_LEVEL_DEBUG, "L2Cache: Object %1 update/add property in full sync: %2", id(),
                PropertyTypeToString(property));
      } else if (debug) {
        QOR_LOG(LOG_LEVEL_DEBUG,
                "L2Cache: Object %1 add property: %2, valueKey128.part[0]: %3, valueKey128.part[1]: %4", id(),
                PropertyTypeToString(property), valueKey.part1, valueKey.part2);
      }
      StateCacheChange change;
      change.entry = entry;
      if (found == store.end()) {
        store.emplace(key, StateCacheRecord{type, entry.objectId, property, entry.value, version});
      } else {
        bool same = found->second.value == entry.value;
        change.oldValue = found->second.value;
        change.hasOld = true;
        found->second.value = entry.value;
        found->second.fullSyncVersion = version;
        if (same && !fullSync) continue;
      }
      changes.push_back(std::move(change));
    } else if (entry.operation == TolvarUpdateMsg::OP_REMOVE || entry.operation == TolvarUpdateMsg::OP_CLEAR) {
      if (found == store.end()) continue;
      if (debug)
        QOR_LOG(LOG_LEVEL_DEBUG, "L2Cache: Object %1 remove property: %2", id(), PropertyTypeToString(property));
      changes.push_back(Removal(found->second));
      store.erase(found);
    }
  }
}

void StateCacheL2Table::Sweep(Store& store, uint32_t version, StateCacheChangeList& changes) {
  // In store order: per object, the object record before its elements, as a delete reports them.
  for (auto it = store.begin(); it != store.end();) {
    if (it->second.fullSyncVersion < version) {
      if (it->second.propertyType != 0) {
        QOR_LOG(LOG_LEVEL_DEBUG, "L2Cache: remove property: %1", PropertyTypeToString(it->second.propertyType));
      }
      changes.push_back(Removal(it->second));
      it = store.erase(it);
    } else {
      ++it;
    }
  }
}

void StateCacheL2Table::UpdateDesiredState(const std::list<TolvarUpdateMsg>& updates, uint8_t fullSync) {
  std::lock_guard<std::recursive_mutex> notifyLock(_desiredNotify);
  StateCacheChangeList changes;
  std::vector<std::pair<SCL2TableObserver*, StateCacheChangeList>> lists;
  {
    std::lock_guard<std::recursive_mutex> lock(_mutex);
    qor::wft::Span span = qor::wft::WorkflowUtil::StartSpan("StateCacheL2Table.UpdateDesiredState");
    if (updates.empty()) QOR_LOG(LOG_LEVEL_DEBUG, "L2Cache: UpdateL2CacheTable : empty msg");
    qor::wft::Span inner =
        qor::wft::WorkflowUtil::StartSpan("StateCacheL2Table.UpdateDesiredStateInner", span.Context());
    if (fullSync) {
      ++_remoteVersion;
      Logger(LOG_LEVEL_INFO, "L2Cache: remote l2 fullSync version is %1", _remoteVersion);
    }
    Apply(_desired, updates, fullSync != 0, _remoteVersion, true, changes);
    if (fullSync) Sweep(_desired, _remoteVersion, changes);
    FilterDesired(changes);
    lists = SplitByObserver(_desiredObservers, std::move(changes), fullSync != 0);
  }
  qor::wft::Span span = qor::wft::WorkflowUtil::StartSpan("L2Cache NotifyDesiredStateObservers");
  for (auto& [observer, list] : lists) observer->OnL2DesiredStateChanged(list, fullSync != 0);
}

void StateCacheL2Table::UpdateRuntimeState(const std::list<TolvarUpdateMsg>& changesIn, bool fullSync) {
  std::lock_guard<std::recursive_mutex> notifyLock(_runtimeNotify);
  StateCacheChangeList changes;
  std::vector<std::pair<SCL2TableObserver*, StateCacheChangeList>> lists;
  {
    std::lock_guard<std::recursive_mutex> lock(_mutex);
    if (fullSync) {
      ++_localVersion;
      Logger(LOG_LEVEL_INFO, "L2Cache: local l2 fullSync version is %1", _localVersion);
    }
    Apply(_runtime, changesIn, fullSync, _localVersion, false, changes);
    if (fullSync) Sweep(_runtime, _localVersion, changes);
    FilterRuntime(changes);
    lists = SplitByObserver(_runtimeObservers, std::move(changes), fullSync);
  }
  qor::wft::Span span = qor::wft::WorkflowUtil::StartSpan("L2Cache NotifyRuntimeStateObservers");
  for (auto& [observer, list] : lists) observer->OnL2RuntimeStateChanged(list, fullSync);
}

bool StateCacheL2Table::RemoveLocalL2Table(uint32_t objectType, const std::string& objectId) {
  TolvarUpdateMsg entry;
  entry.objectType = static_cast<int32_t>(objectType);
  entry.objectId = objectId;
  entry.operation = TolvarUpdateMsg::OP_CLEAR;
  {
    std::lock_guard<std::recursive_mutex> lock(_mutex);
    Logger(LOG_LEVEL_INFO, "L2Cache: remove local L2 forwarding table for object %1", IdText(objectType, objectId));
    if (!_runtime.count(Key{objectType, objectId, 0, 0, 0})) {
      Logger(LOG_LEVEL_INFO, "L2Cache: object %1 does not exists in runtime cache", IdText(objectType, objectId));
      return false;
    }
  }
  UpdateRuntimeState({entry}, false);
  return true;
}

bool StateCacheL2Table::Register(Registry& registry, uint32_t objectType, SCL2TableObserver* observer, bool runtime) {
  if (!observer) return false;
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  auto range = registry.equal_range(objectType);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == observer) {
      Logger(LOG_LEVEL_ERROR, runtime ? "L2Cache: register existing runtime l2 cache observer"
                                      : "L2Cache: register existing remote l2 cache observer");
      return false;
    }
  }
  registry.emplace(objectType, observer);
  return true;
}

bool StateCacheL2Table::Unregister(Registry& registry, uint32_t objectType, SCL2TableObserver* observer, bool runtime) {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  auto range = registry.equal_range(objectType);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == observer) {
      registry.erase(it);
      return true;
    }
  }
  Logger(LOG_LEVEL_ERROR, runtime ? "L2Cache: unregister non-existent runtime state l2 observer!"
                                  : "L2Cache: unregister non-existent desired state l2 observer!");
  return false;
}

bool StateCacheL2Table::RegisterDesiredStateObserver(uint32_t objectType, SCL2TableObserver* observer) {
  return Register(_desiredObservers, objectType, observer, false);
}
bool StateCacheL2Table::RegisterRuntimeStateObserver(uint32_t objectType, SCL2TableObserver* observer) {
  return Register(_runtimeObservers, objectType, observer, true);
}
bool StateCacheL2Table::UnregisterDesiredStateObserver(uint32_t objectType, SCL2TableObserver* observer) {
  std::lock_guard<std::recursive_mutex> notifyLock(_desiredNotify);
  return Unregister(_desiredObservers, objectType, observer, false);
}
bool StateCacheL2Table::UnregisterRuntimeStateObserver(uint32_t objectType, SCL2TableObserver* observer) {
  std::lock_guard<std::recursive_mutex> notifyLock(_runtimeNotify);
  return Unregister(_runtimeObservers, objectType, observer, true);
}

bool StateCacheL2Table::QueryDesired(uint32_t objectType, std::vector<StateCacheRecord>* records) const {
  return QueryType(_desired, objectType, "L2Cache: object type %1 does not exists in desired cache", records);
}

bool StateCacheL2Table::QueryRuntime(uint32_t objectType, std::vector<StateCacheRecord>* records) const {
  return QueryType(_runtime, objectType, "L2Cache: object type %1 does not exists in runtime cache", records);
}

bool StateCacheL2Table::QueryType(const Store& store, uint32_t objectType, const char* missing,
                                  std::vector<StateCacheRecord>* records) const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  auto begin = store.lower_bound(Key{objectType, std::string(), 0, 0, 0});
  auto end = store.lower_bound(Key{objectType + 1, std::string(), 0, 0, 0});
  if (begin == end) {
    QOR_LOG(LOG_LEVEL_DEBUG, missing, ObjTypeToString(objectType));
    return false;
  }
  if (records) {
    for (auto it = begin; it != end; ++it) records->push_back(it->second);
  }
  return true;
}

StateCacheL2Table::Store::const_iterator StateCacheL2Table::FindElement(const Store& store, const std::string& objectId,
                                                                        uint32_t propertyType, const L2ValueKey& key) {
  // The store holds a handful of object types: jump from one to the next instead of scanning the records.
  auto type = store.begin();
  while (type != store.end()) {
    const uint32_t objectType = std::get<0>(type->first);
    auto found = store.find(Key{objectType, objectId, propertyType, key.part1, key.part2});
    if (found != store.end()) return found;
    if (objectType == std::numeric_limits<uint32_t>::max()) break;
    type = store.lower_bound(Key{objectType + 1, std::string(), 0, 0, 0});
  }
  return store.end();
}

bool StateCacheL2Table::QueryDesiredProperty(const std::string& objectId, uint32_t propertyType, const L2ValueKey& key,
                                             std::string* value) const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  auto found = FindElement(_desired, objectId, propertyType, key);
  if (found != _desired.end()) {
    if (value) *value = found->second.value;
    return true;
  }
  if (key.part2 == 0) {
    // A key that fits one part (an IPv4 address, a MAC, a label, a group key) is printed as one value.
    QOR_LOG(LOG_LEVEL_DEBUG, "L2Cache: property does not exist: objectID : %1 , type: %2, valueKey: %3",
            IdText(0, objectId), PropertyTypeToString(propertyType), key.part1);
  } else {
    QOR_LOG(
        LOG_LEVEL_DEBUG,
        "L2Cache: property does not exist: objectID : %1 , type: %2, valueKey128.part1 : %3, valueKey128.part2 : %4",
        IdText(0, objectId), PropertyTypeToString(propertyType), key.part1, key.part2);
  }
  return false;
}

bool StateCacheL2Table::QueryRuntimeProperty(const std::string& objectId, uint32_t propertyType, const L2ValueKey& key,
                                             std::string* value) const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  auto found = FindElement(_runtime, objectId, propertyType, key);
  if (found != _runtime.end()) {
    if (value) *value = found->second.value;
    return true;
  }
  QOR_LOG(LOG_LEVEL_DEBUG,
          "L2Cache: runtime property does not exist: objectID : %1 , type: %2, valueKey128.part1 : %3, "
          "valueKey128.part2 : %4",
          IdText(0, objectId), PropertyTypeToString(propertyType), key.part1, key.part2);
  return false;
}

void StateCacheL2Table::SetLocalVtepLabels(std::set<uint32_t> labels) {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  _localVtepLabels = std::move(labels);
}

void StateCacheL2Table::FilterDesired(StateCacheChangeList& changes) const {
  if (_localVtepLabels.empty()) return;
  qor::wft::Span span = qor::wft::WorkflowUtil::StartSpan("L2Cache FilterDesiredState");
  for (auto it = changes.begin(); it != changes.end();) {
    tv::VtepMsg vtep;
    if (it->entry.propertyType == Property::L2_VTEP && vtep.ParseFromString(it->entry.value) &&
        _localVtepLabels.count(vtep.label())) {
      QOR_LOG(LOG_LEVEL_DEBUG, "L2Cache: Filter desired VTEP %1 with filtered message %2", vtep.label(),
              vtep.ShortDebugString());
      it = changes.erase(it);
    } else {
      ++it;
    }
  }
}

bool StateCacheL2Table::RuntimeWritten(uint32_t propertyType, const std::string& value) const {
  if (_localVtepLabels.empty() || propertyType != Property::L2_VTEP) return true;
  tv::VtepMsg vtep;
  // A VTEP known by its address only (label 0) carries no label to go stale.
  return !vtep.ParseFromString(value) || vtep.label() == 0 || _localVtepLabels.count(vtep.label()) > 0;
}

void StateCacheL2Table::FilterRuntime(StateCacheChangeList& changes) const {
  if (_localVtepLabels.empty()) return;
  for (auto it = changes.begin(); it != changes.end();) {
    if (!RuntimeWritten(static_cast<uint32_t>(it->entry.propertyType), it->entry.value)) {
      tv::VtepMsg vtep;
      vtep.ParseFromString(it->entry.value);
      QOR_LOG(LOG_LEVEL_DEBUG, "L2Cache: FilterRuntime object %1 label %2 with filtered message %3",
              IdText(static_cast<uint32_t>(it->entry.objectType), it->entry.objectId), vtep.label(),
              vtep.ShortDebugString());
      it = changes.erase(it);
    } else {
      ++it;
    }
  }
}

size_t StateCacheL2Table::Dump(const Store& store, const char* title) const {
  Logger(LOG_LEVEL_INFO, title);
  for (const auto& [key, record] : store) {
    std::string text = qor::tolvar::ValueText(record.objectType, record.propertyType, record.value);
    Logger(LOG_LEVEL_INFO,
           "L2Cache: ObjectType is : %1, ObjectId is : %2, PropertyType is %3, ValueKey is %4:%5, FullsyncVersion is "
           "%6, PropertyValue is %7",
           ObjTypeToString(record.objectType), IdText(record.objectType, record.objectId),
           PropertyTypeToString(record.propertyType), std::get<3>(key), std::get<4>(key), record.fullSyncVersion, text);
  }
  return store.size();
}

size_t StateCacheL2Table::DumpDesiredState() const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  return Dump(_desired, "L2Cache: Dump L2 remote StateCache");
}

size_t StateCacheL2Table::DumpRuntimeState() const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  return Dump(_runtime, "L2Cache: Dump L2 local StateCache");
}

std::vector<StateCacheRecord> StateCacheL2Table::RuntimeRecords() const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  std::vector<StateCacheRecord> records;
  records.reserve(_runtime.size());
  for (const auto& [key, record] : _runtime) {
    if (RuntimeWritten(record.propertyType, record.value)) records.push_back(record);
  }
  return records;
}

std::vector<StateCacheRecord> StateCacheL2Table::RuntimeObjectRecords(uint32_t objectType,
                                                                      const std::string& objectId) const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  std::vector<StateCacheRecord> records;
  for (auto it = _runtime.lower_bound(Key{objectType, objectId, 0, 0, 0});
       it != _runtime.end() && std::get<0>(it->first) == objectType && std::get<1>(it->first) == objectId; ++it) {
    if (RuntimeWritten(it->second.propertyType, it->second.value)) records.push_back(it->second);
  }
  return records;
}

size_t StateCacheL2Table::Copy(const Store& store, std::vector<Record>* out, size_t limit) {
  out->reserve(out->size() + std::min(limit, store.size()));
  for (auto it = store.begin(); it != store.end() && limit > 0; ++it, --limit) {
    out->push_back(Record{it->second, L2ValueKey{std::get<3>(it->first), std::get<4>(it->first)}});
  }
  return store.size();
}

size_t StateCacheL2Table::CopyDesired(std::vector<Record>* out, size_t limit) const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  return Copy(_desired, out, limit);
}

size_t StateCacheL2Table::CopyRuntime(std::vector<Record>* out, size_t limit) const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  return Copy(_runtime, out, limit);
}

size_t StateCacheL2Table::Bytes(const Store& store) {
  size_t bytes = 0;
  for (const auto& [key, record] : store) {
    bytes += sizeof(Key) + 4 * sizeof(void*) + std::get<1>(key).capacity() + RecordBytes(record, 0);
  }
  return bytes;
}

size_t StateCacheL2Table::DesiredCacheSize() const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  size_t bytes = Bytes(_desired);
  Logger(LOG_LEVEL_INFO, "L2Cache: L2 desired cache size(bytes): %1", bytes);
  return bytes;
}

size_t StateCacheL2Table::DesiredCount() const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  Logger(LOG_LEVEL_INFO, "L2Cache: L2 desired cache size(number): %1", _desired.size());
  return _desired.size();
}

size_t StateCacheL2Table::RuntimeCount() const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  return _runtime.size();
}

size_t StateCacheL2Table::RuntimeCacheSize() const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  size_t bytes = Bytes(_runtime);
  Logger(LOG_LEVEL_INFO, "L2Cache: L2 runtime cache size(bytes): %1", bytes);
  return bytes;
}

uint32_t StateCacheL2Table::LocalFullSyncVersion() const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  return _localVersion;
}

uint32_t StateCacheL2Table::RemoteFullSyncVersion() const {
  std::lock_guard<std::recursive_mutex> lock(_mutex);
  return _remoteVersion;
}

}  // namespace VevUroro
