#include "core/ProcessSettings.h"

namespace VevUroro {

std::array<bool, 4> g_instrumentFlags{false, false, false, false};
int g_nodePersona = NODE_PERSONA_OTHER;

}  // namespace VevUroro
