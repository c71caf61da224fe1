#include "platform/wft/SpanContext.h"

#include <cstdio>

namespace qor::wft {

namespace {

void PutU64(uint64_t value, std::string& out) {
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<char>((value >> shift) & 0xff));
}

uint64_t GetU64(std::string_view bytes, size_t offset) {
  uint64_t value = 0;
  for (size_t i = 0; i < 8; ++i) value = (value << 8) | static_cast<uint8_t>(bytes[offset + i]);
  return value;
}

}  // namespace

std::string SpanContext::Serialize() const {
  if (!Valid()) return {};
  std::string out;
  out.reserve(kSpanContextBytes);
  out.push_back(static_cast<char>(kSpanContextVersion));
  PutU64(traceIdHigh, out);
  PutU64(traceIdLow, out);
  PutU64(spanId, out);
  PutU64(parentId, out);
  out.push_back(static_cast<char>(flags));
  return out;
}

std::optional<SpanContext> SpanContext::Parse(std::string_view bytes) {
  if (bytes.size() != kSpanContextBytes || static_cast<uint8_t>(bytes[0]) != kSpanContextVersion) return std::nullopt;
  SpanContext context;
  context.traceIdHigh = GetU64(bytes, 1);
  context.traceIdLow = GetU64(bytes, 9);
  context.spanId = GetU64(bytes, 17);
  context.parentId = GetU64(bytes, 25);
  context.flags = static_cast<uint8_t>(bytes[33]);
  if (!context.Valid()) return std::nullopt;
  return context;
}

std::string IdText(uint64_t id) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(id));
  return text;
}

std::string SpanContext::TraceIdText() const {
  return IdText(traceIdHigh) + IdText(traceIdLow);
}

}  // namespace qor::wft
