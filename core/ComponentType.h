// Component ids: the receivers of decoded database entries, in the order the dispatcher calls them (state cache
// tables first, then the applications). 0 is not a component.
#pragma once

#include <cstdint>

namespace VevUroro {

enum ComponentType : int32_t {
  CONFIGCACHE = 1,
  L2CACHE = 2,
  L3CACHE = 3,
  DFW = 4,
  CONFIGAPP = 5,
  L2APP = 6,
  SIAPP = 7,
  LB = 8,
  IDS = 9,
  PP = 10,
  BFD = 11,
};

}  // namespace VevUroro
