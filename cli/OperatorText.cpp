#include "cli/OperatorText.h"

#include <algorithm>

#include "core/ByteEscape.h"

namespace VevUroro::cli {
namespace {

bool Control(unsigned char c) {
  return c < 0x20 || c == 0x7f;
}

}  // namespace

std::string ControlBytesEscaped(std::string text) {
  if (std::none_of(text.begin(), text.end(), [](char c) { return Control(static_cast<unsigned char>(c)); })) {
    return text;
  }
  return BytesEscaped(text, [](unsigned char c) { return !Control(c); });
}

std::string LoggedArgument(const std::string& argument) {
  std::string text = BytesEscaped(std::string_view(argument).substr(0, kLoggedArgumentBytes),
                                  [](unsigned char c) { return !Control(c) && c < 0x80 && c != '\\'; });
  if (argument.size() > kLoggedArgumentBytes) text += "... (" + std::to_string(argument.size()) + " bytes)";
  return text;
}

}  // namespace VevUroro::cli
