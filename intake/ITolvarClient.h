// VevUroro::ITolvarClient: what other components call on the Tolvar client. Reference counted; the client lives
// for the process. Both operations may be called from any thread.
#pragma once

#include <list>

#include "platform/RefCounted.h"
#include "zantix/qor/tolvar/monitor.pb.h"

namespace VevUroro {

class ITolvarClient : public qor::IRefCountable {
 public:
  // Copies the requests onto the write queue; the writer thread applies them as one database transaction.
  virtual void Write(const std::list<zantix::qor::tolvar::ModifyRequestMsg>& requests) = 0;
  // Registers the container connectivity service's VIF monitor.
  virtual void RegisterVessixVifMonitor() = 0;
};

}  // namespace VevUroro
