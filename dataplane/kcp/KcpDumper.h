// Renders a KCP message as text for the log.
//
// The rendering starts with "KCP Message\n", has one line per header, record and property, and is at most 1,024
// characters: it stops silently before the first line that does not fit, so it always ends with a whole line.
// The message is walked with the same bounds as the reader (untrusted bytes never read past their ends) and is not
// changed. Stateless; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace VevUroro::kcp {

constexpr size_t kDumpLimit = 1024;

// The rendering of the message at `data`, of which `size` bytes are readable.
std::string RenderMessage(const uint8_t* data, size_t size);

// Writes the rendering as one log record "%1" at `level`, when the agent's level admits it (nothing is rendered
// otherwise).
void DumpMessage(int level, const uint8_t* data, size_t size);

}  // namespace VevUroro::kcp
