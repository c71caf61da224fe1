// Text that comes from outside the agent (an operator's arguments, strings of the desired state) on its way into a
// log line or a CLI reply: control bytes (line breaks and NUL included) are written as \xNN, so that such text can
// neither forge log lines or table rows nor cut a reply short. Pure; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace VevUroro::cli {

constexpr size_t kLoggedArgumentBytes = 64;

// Bytes below 0x20 and 0x7f as \xNN; the rest as it is (a text without them is returned as it came).
std::string ControlBytesEscaped(std::string text);

// An operator's argument for a log line: cut to kLoggedArgumentBytes, and every byte outside printable ASCII as
// \xNN. "abc" -> "abc"; "a\nb" -> "a\x0ab"; longer than the cut: the first bytes, then "... (N bytes)".
std::string LoggedArgument(const std::string& argument);

}  // namespace VevUroro::cli
