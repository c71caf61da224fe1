// The identity of one tracing span: which trace it belongs to, its own id, its parent's id and flags.
//
// Bytes form, as carried in database updates and decoded entries (34 bytes):
//   byte 0       version, 1
//   bytes 1-8    trace id, high 64 bits, big-endian
//   bytes 9-16   trace id, low 64 bits, big-endian
//   bytes 17-24  span id, big-endian
//   bytes 25-32  parent span id, big-endian (0 for the root of a trace)
//   byte 33      flags, bit 0 "sampled"
// An empty byte string means "no context". A plain value type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qor::wft {

inline constexpr size_t kSpanContextBytes = 34;
inline constexpr uint8_t kSpanContextVersion = 1;
inline constexpr uint8_t kSampledFlag = 0x01;

struct SpanContext {
  uint64_t traceIdHigh = 0;
  uint64_t traceIdLow = 0;
  uint64_t spanId = 0;
  uint64_t parentId = 0;
  uint8_t flags = 0;

  // A context names a trace and a span; the default one does not.
  bool Valid() const { return (traceIdHigh != 0 || traceIdLow != 0) && spanId != 0; }

  // The bytes form above; "" for an invalid context.
  std::string Serialize() const;
  // nullopt unless `bytes` is exactly one valid context in the bytes form.
  static std::optional<SpanContext> Parse(std::string_view bytes);

  // 32 lower-case hex digits.
  std::string TraceIdText() const;

  bool operator==(const SpanContext&) const = default;
};

// 16 lower-case hex digits.
std::string IdText(uint64_t id);

}  // namespace qor::wft
