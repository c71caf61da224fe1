#include "cache/StateCacheObserver.h"

#include <set>

#include "cache/StateCacheConfigTable.h"
#include "cache/StateCacheL2Table.h"
#include "core/Logger.h"
#include "intake/RuntimeRequests.h"
#include "intake/TypeNames.h"
#include "platform/tolvar/TolvarSchema.h"
#include "platform/wft/WorkflowUtil.h"
#include "zantix/qor/tolvar/objecttype.pb.h"
#include "zantix/qor/tolvar/runtime.pb.h"

namespace VevUroro {
namespace {

namespace tv = zantix::qor::tolvar;
namespace rr = runtime_requests;
using tv::Property;
using Requests = std::list<tv::ModifyRequestMsg>;

constexpr uint32_t kConfigTypes[] = {tv::VIF_STATE, tv::HOPLIFT_STATUS};
constexpr uint32_t kL2Types[] = {tv::LOG_SWITCH_STATE, tv::ROUTING_DOMAIN_VTEP};

std::string IdText(const TolvarUpdateMsg& entry) {
  return qor::tolvar::ObjectIdText(static_cast<uint32_t>(entry.objectType), entry.objectId);
}

void LogTracing(const StateCacheChangeList& changes) {
  if (changes.empty() || !LogEnabled(LOG_LEVEL_DEBUG)) return;
  auto context = qor::wft::SpanContext::Parse(changes.front().entry.spanContext);
  qor::wft::SpanContext c = context.value_or(qor::wft::SpanContext());
  QOR_LOG(LOG_LEVEL_DEBUG,
          "StateCacheObserver: process VIF_STATE update with workflow tracing info: high trace id %1, low trace id %2, "
          "span id %3, parent id %4",
          c.traceIdHigh, c.traceIdLow, c.spanId, c.parentId);
}

}  // namespace

StateCacheObserver::StateCacheObserver(qor::RefPtr<ITolvarClient> tolvarClient, StateCacheConfigTable* configTable,
                                       StateCacheL2Table* l2Table)
    : _tolvarClient(std::move(tolvarClient)), _configTable(configTable), _l2Table(l2Table) {}

bool StateCacheObserver::Start() {
  bool ok = _configTable && _l2Table;
  for (uint32_t type : kConfigTypes) ok = ok && _configTable->RegisterRuntimeStateObserver(type, this);
  for (uint32_t type : kL2Types) ok = ok && _l2Table->RegisterRuntimeStateObserver(type, this);
  Logger(ok ? LOG_LEVEL_INFO : LOG_LEVEL_ERROR, ok ? "StateCacheObserver: registered config and l2 runtime cache"
                                                   : "StateCacheObserver: failed in registering runtime cache");
  return ok;
}

bool StateCacheObserver::Stop() {
  bool ok = _configTable && _l2Table;
  for (uint32_t type : kConfigTypes)
    ok = _configTable && _configTable->UnregisterRuntimeStateObserver(type, this) && ok;
  for (uint32_t type : kL2Types) ok = _l2Table && _l2Table->UnregisterRuntimeStateObserver(type, this) && ok;
  Logger(ok ? LOG_LEVEL_INFO : LOG_LEVEL_ERROR, ok ? "StateCacheObserver: unregistered config and l2 runtime cache"
                                                   : "StateCacheObserver: failed in unregistering runtime cache");
  return ok;
}

namespace {

std::vector<StateCacheRuntimeRecord> ToRuntime(std::vector<StateCacheRecord> records) {
  std::vector<StateCacheRuntimeRecord> out;
  out.reserve(records.size());
  for (StateCacheRecord& r : records) {
    out.push_back({r.objectType, std::move(r.objectId), r.propertyType, std::move(r.value)});
  }
  return out;
}

// The value of the object record among `records`, or empty when the object is cached by its properties only.
std::string ObjectValue(const std::vector<StateCacheRecord>& records) {
  return !records.empty() && records.front().propertyType == 0 ? records.front().value : std::string();
}

// Objects a full-sync list has already put after its flush, by (type, id).
using PutObjects = std::set<std::pair<uint32_t, std::string>>;

}  // namespace

std::vector<StateCacheRecord> StateCacheObserver::CachedRecords(uint32_t type, const std::string& id) const {
  if (type == tv::LOG_SWITCH_STATE || type == tv::ROUTING_DOMAIN_VTEP) return _l2Table->RuntimeObjectRecords(type, id);
  return _configTable->RuntimeObjectRecords(type, id);
}

bool StateCacheObserver::PutObject(uint32_t type, const std::string& id, const std::string* value, bool merge,
                                   uint16_t vdb, Requests& out) const {
  std::vector<StateCacheRecord> records = CachedRecords(type, id);
  std::string objectValue = value ? *value : ObjectValue(records);
  bool elements = type == tv::LOG_SWITCH_STATE || type == tv::ROUTING_DOMAIN_VTEP;
  tv::ModifyRequestMsg put;
  bool ok = merge ? rr::MergedPut(type, id, objectValue, ToRuntime(std::move(records)), elements, vdb, &put)
                  : rr::Put(type, id, objectValue, vdb, &put);
  if (!ok) {
    Logger(LOG_LEVEL_ERROR, "StateCacheObserver: cached %1 object (id %2) does not parse; not written",
           ObjTypeToString(type), qor::tolvar::ObjectIdText(type, id));
    return false;
  }
  out.push_back(std::move(put));
  return true;
}

Requests StateCacheObserver::ConfigRequests(const StateCacheChangeList& changes, bool fullSync) {
  Requests out;
  if (!fullSync && changes.empty()) return out;
  qor::wft::Span span = qor::wft::WorkflowUtil::StartSpan("StateCacheObserver.ProcessConfigRuntimeStateUpdate");
  LogTracing(changes);
  uint16_t vdb = _tolvarClient->MainVdb();
  if (vdb == 0) {
    Logger(LOG_LEVEL_WARN, "StateCacheObserver: Failed to get VDB ID when processing VIF_STATE message.");
    return out;
  }
  if (fullSync) {
    QOR_LOG(LOG_LEVEL_DEBUG, "StateCacheObserver: prepare VIF_STATE Flush object");
    out.push_back(rr::Flush(tv::VIF_STATE, vdb));
    QOR_LOG(LOG_LEVEL_DEBUG, "StateCacheObserver: prepare HOPLIFT_STATUS Flush object");
    out.push_back(rr::Flush(tv::HOPLIFT_STATUS, vdb));
  }
  PutObjects putAfterFlush;
  for (const StateCacheChange& change : changes) {
    const TolvarUpdateMsg& entry = change.entry;
    const uint32_t property = static_cast<uint32_t>(entry.propertyType);
    // After a flush the removals are already done; deleting what the flush removed would fail the transaction.
    if (fullSync && change.IsRemoval()) continue;
    if (entry.objectType == tv::VIF_STATE) {
      const bool patched = property == Property::VIF_IP_DISCOVEREDBINDING || property == Property::VIF_MAC;
      if (fullSync) {
        // Every record of the sync is in the list: after the flush, put each object once (as cached, or bare when
        // it is cached by its properties only) before its patches.
        if (putAfterFlush.emplace(tv::VIF_STATE, entry.objectId).second) {
          if (!PutObject(tv::VIF_STATE, entry.objectId, nullptr, false, vdb, out)) continue;
          QOR_LOG(LOG_LEVEL_DEBUG, "StateCacheObserver: prepare VIF_STATE Put object (id %1)", IdText(entry));
        }
        if (patched) {
          QOR_LOG(LOG_LEVEL_DEBUG, "StateCacheObserver: prepare VIF_STATE Patch object (id %1) property SET",
                  IdText(entry));
          out.push_back(rr::Patch(tv::VIF_STATE, entry.objectId, property, tv::SET, entry.value, vdb));
        }
      } else if (!change.IsRemoval()) {
        if (property == 0) {
          // A put replaces the whole object: it carries the properties cached beside the object record.
          if (!PutObject(tv::VIF_STATE, entry.objectId, &entry.value, true, vdb, out)) continue;
          QOR_LOG(LOG_LEVEL_DEBUG, "StateCacheObserver: prepare VIF_STATE Put object (id %1)", IdText(entry));
        } else if (patched) {
          // An object cached by its properties only may not be in the database yet, and a patch needs its object.
          if (ObjectValue(CachedRecords(tv::VIF_STATE, entry.objectId)).empty()) {
            if (!PutObject(tv::VIF_STATE, entry.objectId, nullptr, true, vdb, out)) continue;
            QOR_LOG(LOG_LEVEL_DEBUG, "StateCacheObserver: prepare VIF_STATE Put object (id %1)", IdText(entry));
          }
          QOR_LOG(LOG_LEVEL_DEBUG, "StateCacheObserver: prepare VIF_STATE Patch object (id %1) property SET",
                  IdText(entry));
          out.push_back(rr::Patch(tv::VIF_STATE, entry.objectId, property, tv::SET, entry.value, vdb));
        }
      } else if (property == 0) {
        QOR_LOG(LOG_LEVEL_DEBUG, "StateCacheObserver: prepare VIF_STATE Delete object (id %1)", IdText(entry));
        out.push_back(rr::Delete(tv::VIF_STATE, entry.objectId, vdb));
      } else {
        QOR_LOG(LOG_LEVEL_DEBUG, "StateCacheObserver: prepare VIF_STATE Patch object (id %1) property CLEAR",
                IdText(entry));
        out.push_back(rr::Patch(tv::VIF_STATE, entry.objectId, property, tv::CLEAR, std::string(), vdb));
        // The last property of an object cached without its object record takes the object with it.
        if (CachedRecords(tv::VIF_STATE, entry.objectId).empty()) {
          QOR_LOG(LOG_LEVEL_DEBUG, "StateCacheObserver: prepare VIF_STATE Delete object (id %1)", IdText(entry));
          out.push_back(rr::Delete(tv::VIF_STATE, entry.objectId, vdb));
        }
      }
    } else if (entry.objectType == tv::HOPLIFT_STATUS) {
      if (!change.IsRemoval()) {
        tv::HopliftStatusMsg status;
        tv::ModifyRequestMsg put;
        if (property != 0 || !status.ParseFromString(entry.value) ||
            !rr::Put(tv::HOPLIFT_STATUS, entry.objectId, entry.value, vdb, &put)) {
          Logger(LOG_LEVEL_ERROR, "StateCacheObserver: failed to process HOPLIFT_STATUS update message");
          continue;
        }
        QOR_LOG(LOG_LEVEL_DEBUG, "StateCacheObserver: prepare HOPLIFT_STATUS Put object (id %1)", IdText(entry));
        out.push_back(std::move(put));
      } else {
        if (property != 0 || entry.objectId.empty()) {
          Logger(LOG_LEVEL_ERROR, "StateCacheObserver: failed to process HOPLIFT_STATUS deletion message");
          continue;
        }
        QOR_LOG(LOG_LEVEL_DEBUG, "StateCacheObserver: prepare HOPLIFT_STATUS Delete object (id %1)", IdText(entry));
        out.push_back(rr::Delete(tv::HOPLIFT_STATUS, entry.objectId, vdb));
      }
    }
  }
  return out;
}

Requests StateCacheObserver::L2Requests(const StateCacheChangeList& changes, bool fullSync) {
  Requests out;
  if (!fullSync && changes.empty()) return out;
  LogTracing(changes);
  uint16_t vdb = _tolvarClient->MainVdb();
  if (vdb == 0) {
    Logger(LOG_LEVEL_WARN, "StateCacheObserver: Failed to get VDB ID when processing L2 runtime message.");
    return out;
  }
  if (fullSync) {
    QOR_LOG(LOG_LEVEL_DEBUG, "StateCacheObserver: prepare LOG_SWITCH_STATE Flush object");
    out.push_back(rr::Flush(tv::LOG_SWITCH_STATE, vdb));
    QOR_LOG(LOG_LEVEL_DEBUG, "StateCacheObserver: prepare ROUTING_DOMAIN_VTEP Flush object");
    out.push_back(rr::Flush(tv::ROUTING_DOMAIN_VTEP, vdb));
  }
  PutObjects putAfterFlush;
  for (const StateCacheChange& change : changes) {
    const TolvarUpdateMsg& entry = change.entry;
    const uint32_t type = static_cast<uint32_t>(entry.objectType);
    const uint32_t property = static_cast<uint32_t>(entry.propertyType);
    if (type != tv::LOG_SWITCH_STATE && type != tv::ROUTING_DOMAIN_VTEP) continue;
    if (fullSync && change.IsRemoval()) continue;
    const std::string typeName = type == tv::LOG_SWITCH_STATE ? "LOG_SWITCH_STATE" : "ROUTING_DOMAIN_VTEP";
    const std::string putLine = "StateCacheObserver: prepare " + typeName + " Put object (id %1)";
    if (fullSync) {
      // After the flush each object is put once, as its object record, before its elements are appended.
      if (putAfterFlush.emplace(type, entry.objectId).second) {
        if (!PutObject(type, entry.objectId, nullptr, false, vdb, out)) continue;
        QOR_LOG(LOG_LEVEL_DEBUG, putLine.c_str(), IdText(entry));
      }
      if (property == 0) continue;
    } else if (property == 0) {
      if (!change.IsRemoval()) {
        // A put replaces the whole object: it carries the elements cached for it, which an object record put
        // alone would wipe from the database.
        if (!PutObject(type, entry.objectId, &entry.value, true, vdb, out)) continue;
        QOR_LOG(LOG_LEVEL_DEBUG, putLine.c_str(), IdText(entry));
      } else {
        QOR_LOG(LOG_LEVEL_DEBUG, ("StateCacheObserver: prepare " + typeName + " Delete object (id %1)").c_str(),
                IdText(entry));
        out.push_back(rr::Delete(type, entry.objectId, vdb));
      }
      continue;
    }
    const char* element = rr::ElementName(property);
    if (element && (type == tv::LOG_SWITCH_STATE || property == Property::L2_VTEP)) {
      const char* op = change.IsRemoval() ? "REMOVE" : "APPEND";
      QOR_LOG(LOG_LEVEL_DEBUG,
              ("StateCacheObserver: prepare " + typeName + " Patch object (id %1) " + op + " " + element).c_str(),
              IdText(entry));
      out.push_back(
          rr::Patch(type, entry.objectId, property, change.IsRemoval() ? tv::REMOVE : tv::APPEND, entry.value, vdb));
    } else if (type == tv::LOG_SWITCH_STATE) {
      QOR_LOG(LOG_LEVEL_DEBUG, "StateCacheObserver: prepare LOG_SWITCH_STATE Patch object  (id %1)", IdText(entry));
      out.push_back(
          rr::Patch(type, entry.objectId, property, change.IsRemoval() ? tv::CLEAR : tv::SET, entry.value, vdb));
    }
  }
  return out;
}

void StateCacheObserver::OnConfigRuntimeStateChanged(const StateCacheChangeList& changes, bool fullSync) {
  Requests requests = ConfigRequests(changes, fullSync);
  Write(std::move(requests), fullSync, CONFIGCACHE, "StateCacheObserver: write local config to TolvarDB");
}

void StateCacheObserver::OnL2RuntimeStateChanged(const StateCacheChangeList& changes, bool fullSync) {
  Requests requests = L2Requests(changes, fullSync);
  Write(std::move(requests), fullSync, L2CACHE, "StateCacheObserver: write local l2 to TolvarDB");
}

void StateCacheObserver::Write(Requests requests, bool fullSync, ComponentType group, const char* line) {
  ITolvarClient* client = _tolvarClient.get();
  if (requests.empty()) {
    // A full sync always writes its flushes; without a vdb nothing is written and the SmartNIC rebuild writes the
    // group once there is one, so the sync with the datapath is complete as it stands.
    if (fullSync) client->FullSyncWithDpDone(true, group);
    return;
  }
  QOR_LOG(LOG_LEVEL_DEBUG, line);
  if (!fullSync) {
    client->Write(requests);
    return;
  }
  // Reported only once the database holds the group's new content, not when it is merely queued. The completion
  // runs on the client's own writer, so it needs no reference of its own (one would keep the client alive from its
  // own queue).
  client->WriteThen(requests, [client, group] { client->FullSyncWithDpDone(true, group); });
}

std::string StateCacheObserver::Dump() const {
  std::string text = "main vdb " + std::to_string(_tolvarClient ? _tolvarClient->MainVdb() : 0);
  Logger(LOG_LEVEL_INFO, "StateCacheObserver: dump %1", text);
  return text;
}

}  // namespace VevUroro
