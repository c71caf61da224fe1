// A copy of message bytes in a C-allocator buffer, as a kernel link's Send takes it. Memory exhaustion writes
// "VEVURORO_ALLOC_FAIL : VevUroro error: no memory!" to the system log and ends the process with status 1.
#pragma once

#include <cstdint>
#include <vector>

namespace VevUroro {

uint8_t* CopyToMessageBuffer(const std::vector<uint8_t>& bytes);

}  // namespace VevUroro
