// VevUroro::StateCacheObserver: writes the runtime state the applications store in the state cache back to the
// database. It observes the runtime stores of the configuration table (VIF_STATE, HOPLIFT_STATUS) and the L2
// table (LOG_SWITCH_STATE, ROUTING_DOMAIN_VTEP) and turns each notification into one list of flush, put, patch and
// delete requests on the main vdb, handed to the Tolvar client's write queue (the caller never waits for the
// database). A full sync with the datapath flushes the group's types first and then writes the current content.
//
// Ownership: holds counted references to the Tolvar client and raw pointers to the tables (owned by the state
// cache, which outlives the observer). Threads: notifications run on the thread that updated the runtime store;
// Start and Stop on the main thread. The observer keeps no state of its own.
#pragma once

#include <list>
#include <string>

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
  qor::RefPtr<ITolvarClient> _tolvarClient;
  StateCacheConfigTable* _configTable;
  StateCacheL2Table* _l2Table;
};

}  // namespace VevUroro
