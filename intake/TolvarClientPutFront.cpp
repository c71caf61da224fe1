// The Tolvar client's runtime-message queue and the SmartNIC "put front" rebuild of the runtime objects.
#include "core/Logger.h"
#include "intake/RuntimeRequests.h"
#include "intake/TolvarClient.h"
#include "platform/tolvar/TolvarSchema.h"

namespace VevUroro {
namespace {

namespace tv = zantix::qor::tolvar;
namespace rr = runtime_requests;
using tv::Property;
using Requests = std::vector<tv::ModifyRequestMsg>;

std::string IdText(uint32_t type, const std::string& id) {
  return qor::tolvar::ObjectIdText(type, id);
}

// A patch needs its object: an object cached without its object record is put bare first.
void PutObjectIfMissing(uint32_t type, const StateCacheRuntimeRecord& record, std::string* lastObject, uint16_t vdb,
                        Requests& out) {
  if (*lastObject == record.objectId) return;
  *lastObject = record.objectId;
  if (record.propertyType == 0) return;
  tv::ModifyRequestMsg put;
  if (rr::Put(type, record.objectId, std::string(), vdb, &put)) out.push_back(std::move(put));
}

void RebuildConfig(const IStateCache& cache, uint16_t vdb, Requests& out) {
  Logger(LOG_LEVEL_INFO, "TolvarClient: put front VIF_STATE Flush object");
  out.push_back(rr::Flush(tv::VIF_STATE, vdb));
  std::string lastObject;
  for (const StateCacheRuntimeRecord& record : cache.ConfigRuntimeRecords(tv::VIF_STATE)) {
    PutObjectIfMissing(tv::VIF_STATE, record, &lastObject, vdb, out);
    std::string id = IdText(tv::VIF_STATE, record.objectId);
    if (record.propertyType == 0) {
      tv::ModifyRequestMsg put;
      if (!rr::Put(tv::VIF_STATE, record.objectId, record.value, vdb, &put)) continue;
      Logger(LOG_LEVEL_DEBUG, "TolvarClient: put front VIF_STATE Put object (id %1)", id);
      out.push_back(std::move(put));
    } else {
      Logger(LOG_LEVEL_DEBUG, "TolvarClient: prepare VIF_STATE Patch object (id %1) property SET", id);
      out.push_back(rr::Patch(tv::VIF_STATE, record.objectId, record.propertyType, tv::SET, record.value, vdb));
    }
  }
  Logger(LOG_LEVEL_INFO, "TolvarClient: put front HOPLIFT_STATUS Flush object");
  out.push_back(rr::Flush(tv::HOPLIFT_STATUS, vdb));
  for (const StateCacheRuntimeRecord& record : cache.ConfigRuntimeRecords(tv::HOPLIFT_STATUS)) {
    if (record.propertyType != 0) continue;
    tv::ModifyRequestMsg put;
    if (!rr::Put(tv::HOPLIFT_STATUS, record.objectId, record.value, vdb, &put)) continue;
    Logger(LOG_LEVEL_DEBUG, "TolvarClient: prepare HOPLIFT_STATUS Put object (id %1)",
           IdText(tv::HOPLIFT_STATUS, record.objectId));
    out.push_back(std::move(put));
  }
}

void RebuildL2(const IStateCache& cache, uint16_t vdb, Requests& out) {
  Requests switches;
  Requests domains;
  std::string lastSwitch;
  std::string lastDomain;
  for (const StateCacheRuntimeRecord& record : cache.L2RuntimeRecords()) {
    const uint32_t type = record.objectType;
    if (type != tv::LOG_SWITCH_STATE && type != tv::ROUTING_DOMAIN_VTEP) {
      Logger(LOG_LEVEL_ERROR, "TolvarClient: Flushing l2 runtime cache with error message type %1", type);
      continue;
    }
    const bool isSwitch = type == tv::LOG_SWITCH_STATE;
    Requests& list = isSwitch ? switches : domains;
    PutObjectIfMissing(type, record, isSwitch ? &lastSwitch : &lastDomain, vdb, list);
    std::string id = IdText(type, record.objectId);
    std::string typeName = isSwitch ? "LOG_SWITCH_STATE" : "ROUTING_DOMAIN_VTEP";
    if (record.propertyType == 0) {
      tv::ModifyRequestMsg put;
      if (!rr::Put(type, record.objectId, record.value, vdb, &put)) continue;
      Logger(LOG_LEVEL_DEBUG, ("TolvarClient: put front " + typeName + " Put object (id %1)").c_str(), id);
      list.push_back(std::move(put));
      continue;
    }
    const char* element = rr::ElementName(record.propertyType);
    if (element && (isSwitch || record.propertyType == Property::L2_VTEP)) {
      Logger(LOG_LEVEL_DEBUG, ("TolvarClient: prepare " + typeName + " Patch object (id %1) APPEND " + element).c_str(),
             id);
      list.push_back(rr::Patch(type, record.objectId, record.propertyType, tv::APPEND, record.value, vdb));
    } else {
      Logger(LOG_LEVEL_DEBUG, ("TolvarClient: prepare " + typeName + " Patch object  (id %1)").c_str(), id);
      list.push_back(rr::Patch(type, record.objectId, record.propertyType, tv::SET, record.value, vdb));
    }
  }
  Logger(LOG_LEVEL_INFO, "TolvarClient: put front LOG_SWITCH_STATE Flush object");
  out.push_back(rr::Flush(tv::LOG_SWITCH_STATE, vdb));
  out.insert(out.end(), switches.begin(), switches.end());
  Logger(LOG_LEVEL_INFO, "TolvarClient: put front ROUTING_DOMAIN_VTEP Flush object");
  out.push_back(rr::Flush(tv::ROUTING_DOMAIN_VTEP, vdb));
  out.insert(out.end(), domains.begin(), domains.end());
}

}  // namespace

void TolvarClient::HoldRuntimeMessages(const std::list<tv::ModifyRequestMsg>& requests) {
  std::lock_guard<std::mutex> lock(_runtimeMsgMutex);
  _runtimeMsgQueue.insert(_runtimeMsgQueue.end(), requests.begin(), requests.end());
}

size_t TolvarClient::HeldRuntimeMessages() const {
  std::lock_guard<std::mutex> lock(_runtimeMsgMutex);
  return _runtimeMsgQueue.size();
}

std::vector<tv::ModifyRequestMsg> TolvarClient::RebuildRuntimeRequests(uint16_t vdb) const {
  if (!_stateCache) return {};
  bool config = _configDpSyncDone.load();
  if (!config) Logger(LOG_LEVEL_INFO, "TolvarClient: Need to wait for config to fullsync with DP.");
  bool l2 = _l2DpSyncDone.load();
  if (!l2) Logger(LOG_LEVEL_INFO, "TolvarClient: Need to wait for L2 to fullsync with DP.");
  return RebuildGroups(config, l2, vdb);
}

std::vector<tv::ModifyRequestMsg> TolvarClient::RebuildGroups(bool config, bool l2, uint16_t vdb) const {
  Requests out;
  if (!_stateCache) return out;
  if (config) RebuildConfig(*_stateCache, vdb, out);
  if (l2) RebuildL2(*_stateCache, vdb, out);
  return out;
}

size_t TolvarClient::PutFrontRuntimeState(uint16_t vdb) {
  std::lock_guard<std::mutex> lock(_runtimeMsgMutex);
  Logger(LOG_LEVEL_INFO, "TolvarClient: Flushing %1 messages in runtime msg queue to vdb %2", _runtimeMsgQueue.size(),
         vdb);
  Requests all = RebuildRuntimeRequests(vdb);
  for (tv::ModifyRequestMsg& held : _runtimeMsgQueue) {
    rr::SetVdb(&held, vdb);
    all.push_back(std::move(held));
  }
  _runtimeMsgQueue.clear();
  _mainVdb = vdb;
  size_t count = all.size();
  if (count > 0) Enqueue(std::move(all));
  return count;
}

}  // namespace VevUroro
