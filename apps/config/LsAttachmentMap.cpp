#include "apps/config/LsAttachmentMap.h"

#include "core/Logger.h"
#include "platform/tolvar/TolvarSchema.h"
#include "zantix/qor/tolvar/common.pb.h"

namespace VevUroro {

bool LsAttachmentMap::Add(const std::string& child, const std::string& parent, uint32_t vlan) {
  if (vlan < kMinVlan || vlan > kMaxVlan) {
    Logger(LOG_LEVEL_ERROR, "Invalid LS attachment vlan ID %1 for child LS[%2] and Parent LS[%3] ", vlan, UuidOf(child),
           UuidOf(parent))
        .AddTag("errorCode:LCP00001");
    return false;
  }
  auto& children = _children[parent];
  for (const ChildLs& existing : children) {
    if (existing.vlan == vlan && existing.childId != child) {
      Logger(LOG_LEVEL_ERROR, "Parent LS[%1] already has a child LS[%2] with vlan[%3], failed to add new child LS %4",
             UuidOf(parent), UuidOf(existing.childId), vlan, UuidOf(child))
          .AddTag("errorCode:LCP00001");
      if (children.empty()) _children.erase(parent);
      return false;
    }
  }
  auto old = _parents.find(child);
  if (old != _parents.end() && old->second != parent) {
    Logger(LOG_LEVEL_WARN, "Old child LS [%1] and parent LS[%2] should have been deleted", UuidOf(child),
           UuidOf(old->second));
    Remove(child, old->second);
  }
  auto& list = _children[parent];
  for (ChildLs& existing : list) {
    if (existing.childId == child) {
      existing.vlan = vlan;
      _parents[child] = parent;
      return true;
    }
  }
  list.push_back(ChildLs{child, vlan});
  _parents[child] = parent;
  return true;
}

bool LsAttachmentMap::Remove(const std::string& child, const std::string& parent) {
  auto it = _children.find(parent);
  if (it != _children.end()) {
    auto& list = it->second;
    for (auto entry = list.begin(); entry != list.end(); ++entry) {
      if (entry->childId != child) continue;
      list.erase(entry);
      if (list.empty()) _children.erase(it);
      _parents.erase(child);
      return true;
    }
  }
  Logger(LOG_LEVEL_WARN, "The entry doesn't exist in LS attachment map with child LS[%1] and parent LS[%2]",
         UuidOf(child), UuidOf(parent));
  return false;
}

const std::vector<ChildLs>* LsAttachmentMap::Children(const std::string& parent) const {
  auto it = _children.find(parent);
  return it == _children.end() ? nullptr : &it->second;
}

std::optional<std::string> LsAttachmentMap::ParentOf(const std::string& child) const {
  auto it = _parents.find(child);
  if (it == _parents.end()) return std::nullopt;
  return it->second;
}

}  // namespace VevUroro
