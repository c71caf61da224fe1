// Parent and child logical switches: a child switch is attached to a parent switch with an attachment VLAN, and a
// parent holds each VLAN once. Container interfaces on a child switch are the child segment ports of the VM ports
// on its parent.
//
// Ids are serialized UuidMsg; log lines print them as text. Owned by the DVSPropConvertor; guarded by the agent
// lock.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "apps/config/UuidText.h"

namespace VevUroro {

struct ChildLs {
  std::string childId;
  uint32_t vlan = 0;
};

class LsAttachmentMap {
 public:
  static constexpr uint32_t kMinVlan = 1;
  static constexpr uint32_t kMaxVlan = 4096;

  // Attaches `child` to `parent` with `vlan`; false (logged) when the VLAN is out of range or already used by
  // another child of the parent. A child attached to another parent before is moved (and that is logged).
  bool Add(const std::string& child, const std::string& parent, uint32_t vlan);
  // Detaches `child` from `parent`; false (logged) when it was not attached there.
  bool Remove(const std::string& child, const std::string& parent);
  // The children of `parent`, or null when it has none.
  const std::vector<ChildLs>* Children(const std::string& parent) const;
  // The parent of `child`, or nullopt.
  std::optional<std::string> ParentOf(const std::string& child) const;

 private:
  std::map<std::string, std::vector<ChildLs>> _children;
  std::map<std::string, std::string> _parents;
};

}  // namespace VevUroro
