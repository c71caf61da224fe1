// Encodes a KcpMessage into wire bytes, and builds the small fixed messages both sides exchange.
//
// Lengths (message, data item, record, property) are computed here; the `length` members of the input are
// ignored. Identifiers longer than their field are cut to it. Stateless; safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "dataplane/kcp/KcpMessage.h"

namespace VevUroro::kcp {

// The wire form of `message`, or nullopt when it would exceed 65,535 bytes or a record or property its 16-bit
// length field.
std::optional<std::vector<uint8_t>> EncodeMessage(const KcpMessage& message);

// VIF session control message (15 bytes). A Session Open from the agent carries 0x28 0x00 at offset 13; every other
// control type carries zeros there.
std::vector<uint8_t> BuildSessionControl(uint8_t controlType, uint32_t sessionId);
std::vector<uint8_t> BuildDpStatusQuery();
std::vector<uint8_t> BuildDpStatusNotification(uint8_t status);

// VIF property values.
KcpProperty MakeStatusProperty(uint8_t status);
KcpProperty MakeMacProperty(const std::vector<MacAddress>& macs);
KcpProperty MakeBindingsProperty(const std::vector<DiscoveredBinding>& bindings);
// One 34-byte binding record at `p`.
void EncodeBinding(const DiscoveredBinding& binding, uint8_t* p);

// A copy of `bytes` in a buffer from the C allocator, as the kernel link's Send takes it; nullptr when empty or
// when the allocation fails. The caller owns the buffer.
uint8_t* ToMessageBuffer(const std::vector<uint8_t>& bytes);

}  // namespace VevUroro::kcp
