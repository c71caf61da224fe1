#include "platform/SNUtil.h"

#include <fstream>

#include "platform/QorRoot.h"

namespace SNUtil {
namespace {
int g_persona = 3;
}

void Init() {
  std::ifstream file(qor::QorPath("/etc/zantix/qor/node-persona"));
  int persona = 3;
  if (file && !(file >> persona)) {
    persona = 0;  // present but unreadable: not a persona this node can run as
  }
  g_persona = persona;
}

int GetNodePersona() {
  return g_persona;
}

}  // namespace SNUtil
