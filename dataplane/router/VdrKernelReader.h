// VevUroro::router::ReadKernelMessage: the agent's reader of what the kernel router module sends on the
// distributed-router channel (layout in RouterLayout.md). Pure: bytes in, the message's type and its TLVs' events
// out, or why the bytes do not parse; the L3 application logs and acts on the result. Any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace VevUroro::router {

struct DadEntry {
  uint8_t family = 0;
  std::array<uint8_t, 16> address{};
  uint8_t state = 0;
};

// One TLV of an UPDATE message from the kernel.
struct KernelEvent {
  uint16_t tlvType = 0;
  uint32_t vdrId = 0;
  uint8_t change = 0;  // INSTANCE REPORT: JOIN, LEAVE or full-sync request
  // DAD REPORT.
  std::string lifName;
  std::string version;
  uint8_t status = 0;
  std::vector<DadEntry> entries;
};

struct KernelMessage {
  enum class Result { kOk, kMalformed, kUnknownType };
  Result result = Result::kOk;
  uint16_t type = 0;
  std::string error;                // why the message (or one of its TLVs) does not parse
  std::vector<KernelEvent> events;  // the TLVs read before any error, in order
};

KernelMessage ReadKernelMessage(const uint8_t* data, size_t size);

}  // namespace VevUroro::router
