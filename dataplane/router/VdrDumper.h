// Renders a message of the distributed-router channel (RouterLayout.md) as text for the log.
//
// The rendering starts with "VDR Message\n", then one line for the header (message type and its name, length) and
// one per TLV (type and its name, length, and the VDR ID or name of the TLVs that lead with one). It is at most
// 1,024 characters and always ends with a whole line. The bytes are walked with bounds (untrusted input never read
// past its end; a TLV that does not fit is named and ends the rendering) and are not changed. Stateless; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace VevUroro::router {

constexpr size_t kDumpLimit = 1024;

std::string RenderVdrMessage(const uint8_t* data, size_t size);

// One log record "%1" with the rendering at `level`; nothing is rendered when the level is not logged.
void DumpVdrMessage(int level, const uint8_t* data, size_t size);

}  // namespace VevUroro::router
