// VevUroro::StateCacheObserver: writes the runtime state the applications store in the state cache back to the
// database. It observes the runtime stores of the configuration table (VIF_STATE, HOPLIFT_STATUS) and the L2
// table (LOG_SWITCH_STATE, ROUTING_DOMAIN_VTEP) and turns each notification into one list of flush, put, patch and
// delete requests on the main vdb, handed to the Tolvar client's write queue (the caller never waits for the
// database). A full sync with the datapath flushes the group's types first and then writes the current content.
//
// Each list is one transaction the database accepts when it holds what the cache held before the notification, and
// leaves it holding what the cache holds after: a put carries the whole cached object (object record with its
// properties or elements), an object cached by its properties only is put before it is patched and deleted with its
// last property, and a full sync puts every object once after the flush before patching it. The full sync with
// the datapath is reported to the Tolvar client ("... is done.") only once its list is committed.
//
// Ownership: holds counted references to the Tolvar client and raw pointers to the tables (owned by the state
// cache, which outlives the observer). Threads: notifications run on the thread that updated the runtime store
// (the table's notify lock is held, so the tables read here hold exactly that update's result); Start and Stop on
// the main thread. The observer keeps no state of its own.
#pragma once

#include <list>
#include <string>
#include <vector>

#include "cache/StateCacheObservers.h"
#include "intake/ITolvarClient.h"
#include "platform/RefCounted.h"

namespace VevUroro {

class StateCacheConfigTable;
class StateCacheL2Table;

class StateCacheObserver : public qor::RefCounted<StateCacheObserver, qor::IRefCountable>,
                           public SCConfigTableObserver,
                           public SCL2TableObserver {
 public:
  StateCacheObserver(qor::RefPtr<ITolvarClient> tolvarClient, StateCacheConfigTable* configTable,
                     StateCacheL2Table* l2Table);

  // Registers as runtime observer of both tables; false (logged) when a registration fails.
  bool Start();
  bool Stop();

  void OnConfigRuntimeStateChanged(const StateCacheChangeList& changes, bool fullSync) override;
  void OnL2RuntimeStateChanged(const StateCacheChangeList& changes, bool fullSync) override;

  // The requests a notification produces (no write); empty when nothing is to be written.
  std::list<zantix::qor::tolvar::ModifyRequestMsg> ConfigRequests(const StateCacheChangeList& changes, bool fullSync);
  std::list<zantix::qor::tolvar::ModifyRequestMsg> L2Requests(const StateCacheChangeList& changes, bool fullSync);

  // One line for the CLI.
  std::string Dump() const;

 private:
  using Requests = std::list<zantix::qor::tolvar::ModifyRequestMsg>;

  std::vector<StateCacheRecord> CachedRecords(uint32_t type, const std::string& id) const;
  // Appends a put of the object: `value` (or, when null, the cached object record's value, else a bare object);
  // with `merge` the cached properties or elements are put with it. False when it cannot be built.
  bool PutObject(uint32_t type, const std::string& id, const std::string* value, bool merge, uint16_t vdb,
                 Requests& out) const;
  void Write(Requests requests, bool fullSync, ComponentType group, const char* line);

  qor::RefPtr<ITolvarClient> _tolvarClient;
  StateCacheConfigTable* _configTable;
  StateCacheL2Table* _l2Table;
};

}  // namespace VevUroro
