#include "cli/OperatorText.h"

#include <algorithm>
#include <cstdio>

namespace VevUroro::cli {
namespace {

bool Control(unsigned char c) {
  return c < 0x20 || c == 0x7f;
}

// `text` with every byte that `keep` refuses written as \xNN.
template <typename Keep>
std::string Escaped(std::string_view text, Keep keep) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (keep(byte)) {
      out += c;
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
    }
  }
  return out;
}

}  // namespace

std::string ControlBytesEscaped(std::string text) {
  if (std::none_of(text.begin(), text.end(), [](char c) { return Control(static_cast<unsigned char>(c)); })) {
    return text;
  }
  return Escaped(text, [](unsigned char c) { return !Control(c); });
}

std::string LoggedArgument(const std::string& argument) {
  std::string text = Escaped(std::string_view(argument).substr(0, kLoggedArgumentBytes),
                             [](unsigned char c) { return !Control(c) && c < 0x80 && c != '\\'; });
  if (argument.size() > kLoggedArgumentBytes) text += "... (" + std::to_string(argument.size()) + " bytes)";
  return text;
}

}  // namespace VevUroro::cli
