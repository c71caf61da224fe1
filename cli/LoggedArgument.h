// How the CLI writes an operator's argument into a log line: whatever the client sent arrives here, so the text is
// cut to kLoggedArgumentBytes and every byte outside printable ASCII (line breaks included) is written as \xNN, so
// that an argument can neither forge log lines nor flood the log. Pure; any thread.
#pragma once

#include <cstddef>
#include <string>

namespace VevUroro::cli {

constexpr size_t kLoggedArgumentBytes = 64;

// "abc" -> "abc"; "a\nb" -> "a\x0ab"; longer than the cut: the first bytes, then "... (N bytes)".
std::string LoggedArgument(const std::string& argument);

}  // namespace VevUroro::cli
