// Readable forms of the port and switch property values the virtual switch holds, for the control socket's dump.
//
// The simulator reads every value from its own knowledge of the key tables (offsets, widths, byte order), not
// through the agent's encoders, so a dump shows what the bytes say. Integers inside values are in the host's
// order except the VNI, the replication address and the forwarding mode (network order). A value whose length does
// not match its key's layout is shown as "malformed (N bytes) 0x...". Text from the agent (text values, entity IDs)
// is shown with every byte outside printable ASCII, and the quote and backslash, as \xNN: a value can then neither
// forge lines of the dump nor break the control socket's JSON reply. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qor::dpsim {

// The name of a port or switch property key ("segment VNI"), "unknown" for others.
const char* PortKeyName(uint16_t key);
const char* SwitchKeyName(uint16_t key);

// `text` with every byte outside printable ASCII, the quote and the backslash written as \xNN.
std::string Printable(const std::string& text);

std::string PortPropertyText(uint16_t key, const std::vector<uint8_t>& value);
std::string SwitchPropertyText(uint16_t key, const std::vector<uint8_t>& value);

}  // namespace qor::dpsim
