// Renders a KCP message as text for the log.
//
// The rendering starts with "KCP Message\n", has one line per header, record and property, and is at most 1,024
// characters: it stops silently before the first line that does not fit, so it always ends with a whole line.
// The message is walked with the same bounds as the reader (untrusted bytes never read past their ends) and is not
// changed. Stateless; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace VevUroro::kcp {

constexpr size_t kDumpLimit = 1024;

// The rendering of the message at `data`, of which `size` bytes are readable.
std::string RenderMessage(const uint8_t* data, size_t size);

// The two ways RenderMessage takes, each giving the same text where it applies. An update message made only of
// port and tkmnic property updates (the bulk of a full sync) is rendered straight from its bytes, without decoding
// it: RenderPropertyUpdate gives nullopt for any other message. Every message can be rendered through the decoded
// KcpMessage, which stays the reference.
std::optional<std::string> RenderPropertyUpdate(const uint8_t* data, size_t size);
std::string RenderDecodedMessage(const uint8_t* data, size_t size);

// Writes the rendering as one log record "%1" at `level`, when the agent's level admits it (nothing is rendered
// otherwise).
void DumpMessage(int level, const uint8_t* data, size_t size);

}  // namespace VevUroro::kcp
