#include "cli/LoggedArgument.h"

#include <cstdio>

namespace VevUroro::cli {

std::string LoggedArgument(const std::string& argument) {
  std::string text;
  size_t shown = argument.size() <= kLoggedArgumentBytes ? argument.size() : kLoggedArgumentBytes;
  for (size_t i = 0; i < shown; ++i) {
    unsigned char c = static_cast<unsigned char>(argument[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      text += static_cast<char>(c);
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      text += escaped;
    }
  }
  if (shown < argument.size()) text += "... (" + std::to_string(argument.size()) + " bytes)";
  return text;
}

}  // namespace VevUroro::cli
