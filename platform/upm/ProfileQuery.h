// qor::upm::IProfileQuery: the question the agent asks the port-profile service — which profile of a type is in
// force for a logical switch port. Implemented by qor::upm::UPMService; tests give their own.
//
// Callable from any thread; implementations guard themselves.
#pragma once

#include <cstdint>
#include <string>

#include "zantix/qor/tolvar/config.pb.h"

namespace qor::upm {

class IProfileQuery {
 public:
  virtual ~IProfileQuery() = default;
  // The effective profile of `profileType` for the port `lspId` (a serialized UuidMsg); false when none.
  virtual bool GetEffectiveProfile(const std::string& lspId, uint32_t profileType,
                                   zantix::qor::tolvar::ProfileMsg* profile) const = 0;
};

}  // namespace qor::upm
