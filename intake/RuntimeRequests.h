// Builders of the runtime write requests (flush, put, patch, delete) that the state cache write-back and the
// Tolvar client's SmartNIC rebuild queue. Stateless; any thread.
#pragma once

#include <cstdint>
#include <string>

#include "zantix/qor/tolvar/monitor.pb.h"

namespace VevUroro::runtime_requests {

// Removes every object of `objectType` in `vdb`.
zantix::qor::tolvar::ModifyRequestMsg Flush(uint32_t objectType, uint16_t vdb);
// Puts the object `body`; an empty body puts the bare object with id `objectId` (false when that id does not
// fit the type).
bool Put(uint32_t objectType, const std::string& objectId, const std::string& body, uint16_t vdb,
         zantix::qor::tolvar::ModifyRequestMsg* request);
zantix::qor::tolvar::ModifyRequestMsg Patch(uint32_t objectType, const std::string& objectId, uint32_t propertyType,
                                            zantix::qor::tolvar::Operation op, const std::string& value, uint16_t vdb);
zantix::qor::tolvar::ModifyRequestMsg Delete(uint32_t objectType, const std::string& objectId, uint16_t vdb);
// Points a request at `vdb` (every form).
void SetVdb(zantix::qor::tolvar::ModifyRequestMsg* request, uint16_t vdb);
// The name of a list property written back element by element (L2_VM_IP, L2_VM_MAC, L2_VTEP), else nullptr.
const char* ElementName(uint32_t propertyType);

}  // namespace VevUroro::runtime_requests
