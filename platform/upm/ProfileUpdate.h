// qor::upm::ProfileUpdate: one change of a port's (or a transport node's) effective profile of one type, as the
// port-profile service's callbacks deliver it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "zantix/qor/tolvar/config.pb.h"

namespace qor::upm {

struct ProfileUpdate {
  enum Operation { kSet = 1, kDelete = 2 };
  enum EntityKind { kLogicalSwitchPort = 1, kTransportNode = 2 };
  EntityKind entityKind = kLogicalSwitchPort;
  std::string entityId;  // serialized UuidMsg of the logical switch port or of the transport node
  uint32_t profileType = 0;
  Operation operation = kSet;
  zantix::qor::tolvar::ProfileMsg profile;  // the effective profile (kSet)
};

// Called with one transaction's changes of the effective profiles of one type; `fullSync` when the list is the
// complete set (every port and transport node with a profile of that type), after the service (re)read the
// database.
using ProfileCallback = std::function<void(const std::vector<ProfileUpdate>& updates, bool fullSync)>;

}  // namespace qor::upm
