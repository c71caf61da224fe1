#include "cli/OperatorText.h"

#include <cstdio>

namespace VevUroro::cli {
namespace {

void AppendEscaped(std::string& text, unsigned char c) {
  char escaped[5];
  std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
  text += escaped;
}

}  // namespace

std::string ControlBytesEscaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      AppendEscaped(out, byte);
    } else {
      out += c;
    }
  }
  return out;
}

std::string LoggedArgument(const std::string& argument) {
  std::string text;
  size_t shown = argument.size() <= kLoggedArgumentBytes ? argument.size() : kLoggedArgumentBytes;
  for (size_t i = 0; i < shown; ++i) {
    unsigned char c = static_cast<unsigned char>(argument[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      text += static_cast<char>(c);
    } else {
      AppendEscaped(text, c);
    }
  }
  if (shown < argument.size()) text += "... (" + std::to_string(argument.size()) + " bytes)";
  return text;
}

}  // namespace VevUroro::cli
