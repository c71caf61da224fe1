// The earlier dump rendering, the reference for KcpDumperDifferentialTest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace VevUroro::kcp::reference {

std::string RenderMessage(const uint8_t* data, size_t size);

}  // namespace VevUroro::kcp::reference
