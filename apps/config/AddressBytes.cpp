#include "apps/config/AddressBytes.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "dataplane/kcp/KcpFormat.h"

namespace VevUroro {

void WriteIpBytes(const zantix::qor::tolvar::IpAddressMsg& ip, uint8_t* out) {
  std::memset(out, 0, kcp::kIpLen);
  if (ip.has_ipv4()) {
    kcp::WriteU32(out, ip.ipv4());
  } else if (ip.has_ipv6()) {
    std::memcpy(out, ip.ipv6().data(), std::min(ip.ipv6().size(), kcp::kIpLen));
  }
}

void WriteMacBytes(const zantix::qor::tolvar::MacAddressMsg& mac, uint8_t* out) {
  for (size_t i = 0; i < kcp::kMacLen; ++i) out[i] = static_cast<uint8_t>(mac.mac() >> (8 * (kcp::kMacLen - 1 - i)));
}

std::string MacText(const uint8_t* mac) {
  char text[18];
  std::snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  return text;
}

std::string Ipv4Text(const uint8_t* ip) {
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, ip, text, sizeof(text));
  return text;
}

std::string Ipv6Text(const uint8_t* ip) {
  char text[INET6_ADDRSTRLEN];
  inet_ntop(AF_INET6, ip, text, sizeof(text));
  return text;
}

}  // namespace VevUroro
