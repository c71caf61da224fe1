#include "cache/StateCacheObserver.h"

#include "cache/StateCacheConfigTable.h"
#include "cache/StateCacheL2Table.h"
#include "core/Logger.h"
#include "intake/RuntimeRequests.h"
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
  Logger(LOG_LEVEL_DEBUG,
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

Requests StateCacheObserver::ConfigRequests(const StateCacheChangeList& changes, bool fullSync) {
  Requests out;
  if (!fullSync && changes.empty()) return out;
  qor::wft::Span span = qor::wft::WorkflowUtil::StartSpan("StateCacheObserver.ProcessConfigRuntimeStateUpdate");
  LogTracing(changes);
  // Only a full sync reports: a later delta does not undo a completed full sync.
  if (fullSync) _tolvarClient->FullSyncWithDpDone(true, CONFIGCACHE);
  uint16_t vdb = _tolvarClient->MainVdb();
  if (vdb == 0) {
    Logger(LOG_LEVEL_WARN, "StateCacheObserver: Failed to get VDB ID when processing VIF_STATE message.");
    return out;
  }
  if (fullSync) {
    Logger(LOG_LEVEL_DEBUG, "StateCacheObserver: prepare VIF_STATE Flush object");
    out.push_back(rr::Flush(tv::VIF_STATE, vdb));
    Logger(LOG_LEVEL_DEBUG, "StateCacheObserver: prepare HOPLIFT_STATUS Flush object");
    out.push_back(rr::Flush(tv::HOPLIFT_STATUS, vdb));
  }
  for (const StateCacheChange& change : changes) {
    const TolvarUpdateMsg& entry = change.entry;
    const uint32_t property = static_cast<uint32_t>(entry.propertyType);
    // After a flush the removals are already done; deleting what the flush removed would fail the transaction.
    if (fullSync && change.IsRemoval()) continue;
    if (entry.objectType == tv::VIF_STATE) {
      if (!change.IsRemoval()) {
        if (property == 0) {
          tv::ModifyRequestMsg put;
          if (!rr::Put(tv::VIF_STATE, entry.objectId, entry.value, vdb, &put)) continue;
          Logger(LOG_LEVEL_DEBUG, "StateCacheObserver: prepare VIF_STATE Put object (id %1)", IdText(entry));
          out.push_back(std::move(put));
        } else if (property == Property::VIF_IP_DISCOVEREDBINDING || property == Property::VIF_MAC) {
          Logger(LOG_LEVEL_DEBUG, "StateCacheObserver: prepare VIF_STATE Patch object (id %1) property SET",
                 IdText(entry));
          out.push_back(rr::Patch(tv::VIF_STATE, entry.objectId, property, tv::SET, entry.value, vdb));
        }
      } else if (property == 0) {
        Logger(LOG_LEVEL_DEBUG, "StateCacheObserver: prepare VIF_STATE Delete object (id %1)", IdText(entry));
        out.push_back(rr::Delete(tv::VIF_STATE, entry.objectId, vdb));
      } else {
        Logger(LOG_LEVEL_DEBUG, "StateCacheObserver: prepare VIF_STATE Patch object (id %1) property CLEAR",
               IdText(entry));
        out.push_back(rr::Patch(tv::VIF_STATE, entry.objectId, property, tv::CLEAR, std::string(), vdb));
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
        Logger(LOG_LEVEL_DEBUG, "StateCacheObserver: prepare HOPLIFT_STATUS Put object (id %1)", IdText(entry));
        out.push_back(std::move(put));
      } else {
        if (property != 0 || entry.objectId.empty()) {
          Logger(LOG_LEVEL_ERROR, "StateCacheObserver: failed to process HOPLIFT_STATUS deletion message");
          continue;
        }
        Logger(LOG_LEVEL_DEBUG, "StateCacheObserver: prepare HOPLIFT_STATUS Delete object (id %1)", IdText(entry));
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
  // Only a full sync reports: a later delta does not undo a completed full sync.
  if (fullSync) _tolvarClient->FullSyncWithDpDone(true, L2CACHE);
  uint16_t vdb = _tolvarClient->MainVdb();
  if (vdb == 0) {
    Logger(LOG_LEVEL_WARN, "StateCacheObserver: Failed to get VDB ID when processing L2 runtime message.");
    return out;
  }
  if (fullSync) {
    Logger(LOG_LEVEL_DEBUG, "StateCacheObserver: prepare LOG_SWITCH_STATE Flush object");
    out.push_back(rr::Flush(tv::LOG_SWITCH_STATE, vdb));
    Logger(LOG_LEVEL_DEBUG, "StateCacheObserver: prepare ROUTING_DOMAIN_VTEP Flush object");
    out.push_back(rr::Flush(tv::ROUTING_DOMAIN_VTEP, vdb));
  }
  for (const StateCacheChange& change : changes) {
    const TolvarUpdateMsg& entry = change.entry;
    const uint32_t type = static_cast<uint32_t>(entry.objectType);
    const uint32_t property = static_cast<uint32_t>(entry.propertyType);
    if (type != tv::LOG_SWITCH_STATE && type != tv::ROUTING_DOMAIN_VTEP) continue;
    if (fullSync && change.IsRemoval()) continue;
    const std::string typeName = type == tv::LOG_SWITCH_STATE ? "LOG_SWITCH_STATE" : "ROUTING_DOMAIN_VTEP";
    if (property == 0) {
      if (!change.IsRemoval()) {
        tv::ModifyRequestMsg put;
        if (!rr::Put(type, entry.objectId, entry.value, vdb, &put)) continue;
        Logger(LOG_LEVEL_DEBUG, ("StateCacheObserver: prepare " + typeName + " Put object (id %1)").c_str(),
               IdText(entry));
        out.push_back(std::move(put));
      } else {
        Logger(LOG_LEVEL_DEBUG, ("StateCacheObserver: prepare " + typeName + " Delete object (id %1)").c_str(),
               IdText(entry));
        out.push_back(rr::Delete(type, entry.objectId, vdb));
      }
      continue;
    }
    const char* element = rr::ElementName(property);
    if (element && (type == tv::LOG_SWITCH_STATE || property == Property::L2_VTEP)) {
      const char* op = change.IsRemoval() ? "REMOVE" : "APPEND";
      Logger(LOG_LEVEL_DEBUG,
             ("StateCacheObserver: prepare " + typeName + " Patch object (id %1) " + op + " " + element).c_str(),
             IdText(entry));
      out.push_back(
          rr::Patch(type, entry.objectId, property, change.IsRemoval() ? tv::REMOVE : tv::APPEND, entry.value, vdb));
    } else if (type == tv::LOG_SWITCH_STATE) {
      Logger(LOG_LEVEL_DEBUG, "StateCacheObserver: prepare LOG_SWITCH_STATE Patch object  (id %1)", IdText(entry));
      out.push_back(
          rr::Patch(type, entry.objectId, property, change.IsRemoval() ? tv::CLEAR : tv::SET, entry.value, vdb));
    }
  }
  return out;
}

void StateCacheObserver::OnConfigRuntimeStateChanged(const StateCacheChangeList& changes, bool fullSync) {
  Requests requests = ConfigRequests(changes, fullSync);
  if (requests.empty()) return;
  Logger(LOG_LEVEL_DEBUG, "StateCacheObserver: write local config to TolvarDB");
  _tolvarClient->Write(requests);
}

void StateCacheObserver::OnL2RuntimeStateChanged(const StateCacheChangeList& changes, bool fullSync) {
  Requests requests = L2Requests(changes, fullSync);
  if (requests.empty()) return;
  Logger(LOG_LEVEL_DEBUG, "StateCacheObserver: write local l2 to TolvarDB");
  _tolvarClient->Write(requests);
}

std::string StateCacheObserver::Dump() const {
  std::string text = "main vdb " + std::to_string(_tolvarClient ? _tolvarClient->MainVdb() : 0);
  Logger(LOG_LEVEL_INFO, "StateCacheObserver: dump %1", text);
  return text;
}

}  // namespace VevUroro
