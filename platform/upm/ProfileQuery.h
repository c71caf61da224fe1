// qor::upm::IProfileQuery: the question the agent asks the port-profile service — which profile of a type is in
// force for a logical switch port — and qor::upm::IProfileService, which adds the callbacks that report changes of
// those effective profiles. Implemented by qor::upm::UPMService; tests give their own.
//
// Callable from any thread; implementations guard themselves.
#pragma once

#include <cstdint>
#include <string>

#include "platform/upm/ProfileUpdate.h"
#include "zantix/qor/tolvar/config.pb.h"

namespace qor::upm {

class IProfileQuery {
 public:
  virtual ~IProfileQuery() = default;
  // The effective profile of `profileType` for the port `lspId` (a serialized UuidMsg); false when none.
  virtual bool GetEffectiveProfile(const std::string& lspId, uint32_t profileType,
                                   zantix::qor::tolvar::ProfileMsg* profile) const = 0;
};

class IProfileService : public IProfileQuery {
 public:
  // Calls `callback` with every change of the effective profiles of `profileType`, on the service's callback
  // thread; returns an id for UnregisterCallback. After UnregisterCallback returns the callback is not called.
  virtual uint64_t RegisterCallback(uint32_t profileType, ProfileCallback callback) = 0;
  virtual void UnregisterCallback(uint64_t id) = 0;
};

}  // namespace qor::upm
