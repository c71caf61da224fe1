// Text from outside the process on its way into a log line, a reply or a dump: every byte the caller's `keep`
// refuses is written as \xNN, so that such text can neither forge lines nor cut the output short. Pure; any thread.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace VevUroro {

// `text` with every byte for which keep(unsigned char) is false written as \xNN.
template <typename Keep>
std::string BytesEscaped(std::string_view text, Keep keep) {
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

}  // namespace VevUroro
