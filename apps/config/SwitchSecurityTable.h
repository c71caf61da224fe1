// The switch security table (port property key 41) built from a port's SwitchSecurityMsg.
//
// Layout (integers in host order, addresses as noted):
//   header, eight 32-bit words: flags, broadcast Rx limit, broadcast Tx limit, multicast Rx limit, multicast Tx
//     limit, switch white-list count, port white-list count, BPDU exception count;
//   the switch white list (32-byte entries) when switch spoof guard is on, then the port white list (32-byte
//     entries) when port spoof guard is on, then the BPDU exception MACs (6 bytes each) when the BPDU filter is on.
// Flag bits: see kSecurity* below; a limit flag is set exactly when its limit is non-zero.
// White-list entry: 32-bit entry flags (0x1 IPv4, 0x2 IPv6, 0x4 VLAN, 0x8 MAC), 16-bit VLAN ID, 6-byte MAC (first
// byte of the address first), 16 address bytes (IPv4 in the first four, network order), 32-bit prefix length
// (default 32 for IPv4 and 128 for IPv6 when the entry gives none).
//
// A list given while its feature is off is not encoded (its count stays 0) and is logged with LCP00001. A white-list
// VLAN ID beyond 16 bits fails the table (nullopt, logged with LCP00001). Pure function apart from its log lines;
// any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "zantix/qor/tolvar/config.pb.h"

namespace VevUroro {

constexpr uint32_t kSecuritySwitchSpoofGuard = 0x1;
constexpr uint32_t kSecurityBpduFilter = 0x4;
constexpr uint32_t kSecurityBcastRxLimit = 0x8;
constexpr uint32_t kSecurityMcastRxLimit = 0x10;
constexpr uint32_t kSecurityDhcpServerBlock = 0x20;
constexpr uint32_t kSecurityPortSpoofGuard = 0x40;
constexpr uint32_t kSecurityDhcpClientBlock = 0x80;
constexpr uint32_t kSecurityBcastTxLimit = 0x100;
constexpr uint32_t kSecurityMcastTxLimit = 0x200;
constexpr uint32_t kSecurityBlockNonIp = 0x400;
constexpr uint32_t kSecurityDhcpv6ServerBlock = 0x800;
constexpr uint32_t kSecurityDhcpv6ClientBlock = 0x1000;
constexpr uint32_t kSecurityRaGuard = 0x2000;

constexpr uint32_t kWhiteListIpv4 = 0x1;
constexpr uint32_t kWhiteListIpv6 = 0x2;
constexpr uint32_t kWhiteListVlan = 0x4;
constexpr uint32_t kWhiteListMac = 0x8;

// The encoded table for `security`; `portText` names the port in the log lines.
std::optional<std::string> BuildSwitchSecurityTable(const zantix::qor::tolvar::SwitchSecurityMsg& security,
                                                    const std::string& portText);

}  // namespace VevUroro
