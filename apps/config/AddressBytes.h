// Addresses of database messages as datapath bytes, and their readable forms for log lines.
//
// IpAddressMsg holds IPv4 as a 32-bit number in host order or IPv6 as 16 bytes; on the datapath an address is 16
// bytes with IPv4 in the first four in network order. MacAddressMsg holds a 48-bit number whose most significant
// byte is the first byte of the address. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>

#include "zantix/qor/tolvar/common.pb.h"

namespace VevUroro {

// Writes the 16 address bytes at `out` (zero-filled beyond what the address holds; an IPv6 byte string of another
// length than 16 is cut or zero-padded to 16).
void WriteIpBytes(const zantix::qor::tolvar::IpAddressMsg& ip, uint8_t* out);
// Writes the 6 MAC bytes at `out`, first byte of the address first.
void WriteMacBytes(const zantix::qor::tolvar::MacAddressMsg& mac, uint8_t* out);

std::string MacText(const uint8_t* mac);
std::string Ipv4Text(const uint8_t* ip);
std::string Ipv6Text(const uint8_t* ip);

}  // namespace VevUroro
