#include "platform/QorRoot.h"

#include <cstdlib>

namespace qor {

std::string QorRoot() {
  const char* root = std::getenv("QOR_ROOT");
  std::string value = root ? root : "";
  while (value.size() > 1 && value.back() == '/') value.pop_back();
  if (value == "/") value.clear();
  return value;
}

std::string QorPath(std::string_view absolutePath) {
  std::string root = QorRoot();
  if (root.empty()) return std::string(absolutePath);
  if (!absolutePath.empty() && absolutePath.front() != '/') root.push_back('/');
  return root + std::string(absolutePath);
}

}  // namespace qor
