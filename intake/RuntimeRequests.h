// Builders of the runtime write requests (flush, put, patch, delete) that the state cache write-back and the
// Tolvar client's SmartNIC rebuild queue. Stateless; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "intake/IStateCache.h"
#include "zantix/qor/tolvar/monitor.pb.h"

namespace VevUroro::runtime_requests {

// Removes every object of `objectType` in `vdb`.
zantix::qor::tolvar::ModifyRequestMsg Flush(uint32_t objectType, uint16_t vdb);
// Puts the object `body` (an empty body: the bare object) with id `objectId` when the body carries none; false
// when the type is unknown, the body does not parse or the id does not fit the type.
bool Put(uint32_t objectType, const std::string& objectId, const std::string& body, uint16_t vdb,
         zantix::qor::tolvar::ModifyRequestMsg* request);
// Puts the whole object as the cache holds it: `objectValue` (the object record's value; empty for a bare object with
// id `objectId`) with every property record of `records` applied, so that a put never wipes what earlier patches
// wrote. With `elements` a property record is one list element and is appended (the L2 runtime types); otherwise it
// is a single-property object whose property replaces the object's (VIF_STATE). Records of property 0 are skipped.
// False as for Put; a property record that does not parse is left out.
bool MergedPut(uint32_t objectType, const std::string& objectId, const std::string& objectValue,
               const std::vector<StateCacheRuntimeRecord>& records, bool elements, uint16_t vdb,
               zantix::qor::tolvar::ModifyRequestMsg* request);
zantix::qor::tolvar::ModifyRequestMsg Patch(uint32_t objectType, const std::string& objectId, uint32_t propertyType,
                                            zantix::qor::tolvar::Operation op, const std::string& value, uint16_t vdb);
zantix::qor::tolvar::ModifyRequestMsg Delete(uint32_t objectType, const std::string& objectId, uint16_t vdb);
// Points a request at `vdb` (every form).
void SetVdb(zantix::qor::tolvar::ModifyRequestMsg* request, uint16_t vdb);
// The object type and vdb a request writes to (a flush: its first vdb); type 0 for an empty request.
void Target(const zantix::qor::tolvar::ModifyRequestMsg& request, uint32_t* objectType, uint16_t* vdb);
// The name of a list property written back element by element (L2_VM_IP, L2_VM_MAC, L2_VTEP), else nullptr.
const char* ElementName(uint32_t propertyType);

}  // namespace VevUroro::runtime_requests
