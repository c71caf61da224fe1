// Framing of the RPC wire protocol: a 4-byte big-endian body length, then the body.
//
// The receiver checks the length against its frame limit before it allocates anything, so a peer cannot make
// it reserve more than the limit. Pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qor::rpc {

inline constexpr size_t kFrameHeaderBytes = 4;
// Default limit on one frame's body, on both sides.
inline constexpr uint32_t kDefaultMaxFrameBytes = 16u * 1024 * 1024;

inline void PutFrameHeader(uint32_t length, uint8_t* out) {
  out[0] = static_cast<uint8_t>(length >> 24);
  out[1] = static_cast<uint8_t>(length >> 16);
  out[2] = static_cast<uint8_t>(length >> 8);
  out[3] = static_cast<uint8_t>(length);
}

inline uint32_t ReadFrameHeader(const uint8_t* in) {
  return (uint32_t{in[0]} << 24) | (uint32_t{in[1]} << 16) | (uint32_t{in[2]} << 8) | uint32_t{in[3]};
}

// Header and body in one buffer, ready to write. The caller ensures body.size() fits in 32 bits.
inline std::string EncodeFrame(std::string_view body) {
  std::string frame(kFrameHeaderBytes + body.size(), '\0');
  PutFrameHeader(static_cast<uint32_t>(body.size()), reinterpret_cast<uint8_t*>(frame.data()));
  frame.replace(kFrameHeaderBytes, body.size(), body);
  return frame;
}

}  // namespace qor::rpc
