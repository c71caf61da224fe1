// VevUroro::ITolvarClient: what other components call on the Tolvar client. Reference counted; the client lives
// for the process. Both operations may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <list>

#include "core/ComponentType.h"
#include "platform/RefCounted.h"
#include "zantix/qor/tolvar/monitor.pb.h"

namespace VevUroro {

class ITolvarClient : public qor::IRefCountable {
 public:
  // Copies the requests onto the write queue; the writer thread applies them as one database transaction. A list
  // the database refuses is repaired (its runtime objects rebuilt from the state cache), one that fails for
  // another cause is retried; both are logged with their error.
  virtual void Write(const std::list<zantix::qor::tolvar::ModifyRequestMsg>& requests) = 0;
  // As Write; `committed` runs on the writer thread once the list, or the repair that replaced it, is committed.
  virtual void WriteThen(const std::list<zantix::qor::tolvar::ModifyRequestMsg>& requests,
                         std::function<void()> committed) = 0;
  // Registers the container connectivity service's VIF monitor.
  virtual void RegisterVessixVifMonitor() = 0;
  // The state cache observer reports whether `component` (CONFIGCACHE or L2CACHE) has completed its full sync
  // with the datapath; the SmartNIC rebuild waits for it.
  virtual void FullSyncWithDpDone(bool done, ComponentType component) = 0;
  // The vdb runtime writes go to; 0 while a SmartNIC has none.
  virtual uint16_t MainVdb() const = 0;
};

}  // namespace VevUroro
