// Walks KCP wire bytes into a KcpMessage. The bytes are untrusted (they come from the datapath): the walk never
// reads past the end of the buffer, the message's length field, a data item's length or a record's length,
// whatever those fields say. Items that fail their size checks are kept with wellFormed = false; a data item,
// record or property whose length is below its own header or beyond its container ends that walk and sets
// `truncated`. Stateless; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dataplane/kcp/KcpMessage.h"

namespace VevUroro::kcp {

// Decodes the message at `data` (`size` readable bytes). Returns false only when fewer than 4 bytes are given;
// then `out` holds an empty message.
bool DecodeMessage(const uint8_t* data, size_t size, KcpMessage* out);

// Decoders of VIF property values; a trailing partial entry is ignored.
std::vector<MacAddress> DecodeMacProperty(const KcpProperty& property);
std::vector<DiscoveredBinding> DecodeBindingsProperty(const KcpProperty& property);
// One 34-byte binding record (`p` must hold 34 bytes).
DiscoveredBinding DecodeBinding(const uint8_t* p);

}  // namespace VevUroro::kcp
