// Expected property values written field by field from the key tables, for comparison with what was built.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>

namespace VevUroro::test {

// Expected bytes are assembled field by field: B(...) for single bytes and network-order fields, N16 for a
// network-order 16-bit field, H16/H32/H64 for
// host-order integers, T for text with its NUL, Text for a NUL-padded fixed field, Z for zero fill.
struct Bytes {
  std::string s;
  Bytes& B(std::initializer_list<int> bytes) {
    for (int b : bytes) s.push_back(static_cast<char>(b));
    return *this;
  }
  Bytes& N16(size_t v) { return B({static_cast<int>((v >> 8) & 0xff), static_cast<int>(v & 0xff)}); }
  template <typename T>
  Bytes& Host(T v) {
    char raw[sizeof(T)];
    std::memcpy(raw, &v, sizeof(T));
    s.append(raw, sizeof(T));
    return *this;
  }
  Bytes& H16(uint16_t v) { return Host(v); }
  Bytes& H32(uint32_t v) { return Host(v); }
  Bytes& H64(uint64_t v) { return Host(v); }
  Bytes& Text(const std::string& t, size_t width) {
    s.append(t);
    s.append(width - t.size(), '\0');
    return *this;
  }
  Bytes& T(const std::string& t) {
    s.append(t);
    s.push_back('\0');
    return *this;
  }
  Bytes& Z(size_t n) {
    s.append(n, '\0');
    return *this;
  }
};

inline std::string Hex(const std::string& s) {
  static const char* d = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out.push_back(d[c >> 4]);
    out.push_back(d[c & 15]);
  }
  return out;
}
}  // namespace VevUroro::test

#define EXPECT_BYTES(actual, expected) EXPECT_EQ(::VevUroro::test::Hex(actual), ::VevUroro::test::Hex((expected).s))
