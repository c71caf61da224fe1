#include "apps/config/SwitchSecurityTable.h"

#include <cstring>

#include "apps/config/AddressBytes.h"
#include "core/Logger.h"

namespace VevUroro {

namespace {

namespace tv = zantix::qor::tolvar;

constexpr size_t kHeaderWords = 8;
constexpr size_t kWhiteListEntryLen = 32;

void PutU32(std::string& out, size_t at, uint32_t value) {
  std::memcpy(out.data() + at, &value, sizeof(value));
}

uint32_t GetU32(const std::string& in, size_t at) {
  uint32_t value;
  std::memcpy(&value, in.data() + at, sizeof(value));
  return value;
}

void PutWhiteListEntry(std::string& out, size_t at, const tv::WhiteListEntryMsg& entry) {
  uint32_t flags = 0;
  uint32_t prefix = entry.has_prefix_length() ? entry.prefix_length() : 0;
  char* p = out.data() + at;
  if (entry.has_ip()) {
    bool v4 = entry.ip().has_ipv4();
    flags |= v4 ? kWhiteListIpv4 : kWhiteListIpv6;
    if (!entry.has_prefix_length()) prefix = v4 ? 32 : 128;
    WriteIpBytes(entry.ip(), reinterpret_cast<uint8_t*>(p + 12));
  }
  if (entry.has_vlan()) {
    flags |= kWhiteListVlan;
    uint16_t vlan = static_cast<uint16_t>(entry.vlan());
    std::memcpy(p + 4, &vlan, sizeof(vlan));
  }
  if (entry.has_mac()) {
    flags |= kWhiteListMac;
    WriteMacBytes(entry.mac(), reinterpret_cast<uint8_t*>(p + 6));
  }
  PutU32(out, at, flags);
  PutU32(out, at + 28, prefix);
}

// One line per encoded entry, read back from the table.
void LogEncoded(const std::string& table, const std::string& portText) {
  if (!LogEnabled(LOG_LEVEL_DEBUG)) return;
  uint32_t flags = GetU32(table, 0);
  Logger(LOG_LEVEL_DEBUG,
         "Switch Security DP Msg: Spoof Guard = %1, WhiteList size = %2, Port Spoof Guard = %3, Port WhiteList size = "
         "%4, BPDU filter = %5, BPDU filter size = %6, DHCP Client block = %7, DHCP Server block = %8, Block Non-IP "
         "traffic = %9",
         (flags & kSecuritySwitchSpoofGuard) != 0, GetU32(table, 20), (flags & kSecurityPortSpoofGuard) != 0,
         GetU32(table, 24), (flags & kSecurityBpduFilter) != 0, GetU32(table, 28),
         (flags & kSecurityDhcpClientBlock) != 0, (flags & kSecurityDhcpServerBlock) != 0,
         (flags & kSecurityBlockNonIp) != 0);
  Logger(LOG_LEVEL_DEBUG,
         "Switch Security Rate Limit Config [%1]: Bcast Rx = %2, Bcast Tx = %3, Mcast Rx = %4, Mcast Tx = %5 ",
         portText, GetU32(table, 4), GetU32(table, 8), GetU32(table, 12), GetU32(table, 16));
  size_t at = kHeaderWords * 4;
  uint32_t lists[2] = {GetU32(table, 20), GetU32(table, 24)};
  const char* names[2] = {"switch", "port"};
  for (int list = 0; list < 2; ++list) {
    for (uint32_t i = 0; i < lists[list]; ++i, at += kWhiteListEntryLen) {
      uint32_t entryFlags = GetU32(table, at);
      uint16_t vlan;
      std::memcpy(&vlan, table.data() + at + 4, sizeof(vlan));
      Logger(LOG_LEVEL_DEBUG, "[%1]:flags %2, vlanId %3, mac %4", i, entryFlags, vlan,
             MacText(reinterpret_cast<const uint8_t*>(table.data() + at + 6)));
      const auto* ip = reinterpret_cast<const uint8_t*>(table.data() + at + 12);
      if (entryFlags & kWhiteListIpv4) {
        Logger(LOG_LEVEL_DEBUG, "%1[%2]:ipv4 %3/%4", names[list], i, Ipv4Text(ip), GetU32(table, at + 28));
      } else if (entryFlags & kWhiteListIpv6) {
        Logger(LOG_LEVEL_DEBUG, "%1[%2]:ipv6 %3/%4", names[list], i, Ipv6Text(ip), GetU32(table, at + 28));
      }
    }
  }
  for (uint32_t i = 0; i < GetU32(table, 28); ++i, at += 6) {
    Logger(LOG_LEVEL_DEBUG, "\tbpdu[%1] : %2", i, MacText(reinterpret_cast<const uint8_t*>(table.data() + at)));
  }
}

}  // namespace

std::optional<std::string> BuildSwitchSecurityTable(const tv::SwitchSecurityMsg& s, const std::string& portText) {
  const tv::RateLimitsMsg& limits = s.rate_limits();
  Logger(LOG_LEVEL_INFO,
         "Switch Security proto message [%1]: Switch Spoof Guard = %2 Switch WhiteList size %3, Port Spoof Guard = %4 "
         "Port WhiteList size %5, BPDU filter = %6 BPDU filter size %7, DHCP Client block = %8, DHCP Server block = %9",
         portText, s.switch_spoof_guard(), s.switch_white_list_size(), s.port_spoof_guard(), s.port_white_list_size(),
         s.bpdu_filter(), s.bpdu_exceptions_size(), s.dhcp_client_block(), s.dhcp_server_block());
  Logger(
      LOG_LEVEL_INFO,
      "Switch security config for blocking Non-IP traffic = %1DHCP Clientv6 block = %2, DHCPv6 Server block = %3, RA "
      "Guard = %4",
      s.block_non_ip(), s.dhcpv6_client_block(), s.dhcpv6_server_block(), s.ra_guard());
  Logger(LOG_LEVEL_INFO,
         "Switch Security Rate Limit Config [%1]: Bcast Rx = %2, Bcast Tx = %3, Mcast Rx = %4, Mcast Tx = %5 ",
         portText, limits.bcast_rx(), limits.bcast_tx(), limits.mcast_rx(), limits.mcast_tx());

  const bool switchGuard = s.switch_spoof_guard();
  const bool portGuard = s.port_spoof_guard();
  const bool bpdu = s.bpdu_filter();
  if (!switchGuard && s.switch_white_list_size() > 0) {
    Logger(LOG_LEVEL_ERROR, "spoofguard not enabled but whitelist size = %1", s.switch_white_list_size())
        .AddTag("errorCode:LCP00001");
  }
  if (!portGuard && s.port_white_list_size() > 0) {
    Logger(LOG_LEVEL_ERROR, "spoofguard port not enabled but whitelist size = %1", s.port_white_list_size())
        .AddTag("errorCode:LCP00001");
  }
  if (!bpdu && s.bpdu_exceptions_size() > 0) {
    Logger(LOG_LEVEL_ERROR, "no bpdu filter but bpdu exceptions size = %1", s.bpdu_exceptions_size())
        .AddTag("errorCode:LCP00001");
  }
  if (switchGuard && s.switch_white_list_size() == 0) {
    Logger(LOG_LEVEL_INFO, "Switch spoofguard enabled, but no whitelist is configured.");
  }
  if (portGuard && s.port_white_list_size() == 0) {
    Logger(LOG_LEVEL_INFO, "Port spoofguard enabled, but no whitelist is configured.");
  }

  // A white-list VLAN the 16-bit field cannot hold would, cut, allow another VLAN.
  for (const auto* list : {&s.switch_white_list(), &s.port_white_list()}) {
    for (const tv::WhiteListEntryMsg& entry : *list) {
      if (entry.has_vlan() && entry.vlan() > 0xffff) {
        Logger(LOG_LEVEL_ERROR, "Invalid white-list VLAN ID %1 for port %2", entry.vlan(), portText)
            .AddTag("errorCode:LCP00001");
        return std::nullopt;
      }
    }
  }
  const uint32_t switchCount = switchGuard ? static_cast<uint32_t>(s.switch_white_list_size()) : 0;
  const uint32_t portCount = portGuard ? static_cast<uint32_t>(s.port_white_list_size()) : 0;
  const uint32_t bpduCount = bpdu ? static_cast<uint32_t>(s.bpdu_exceptions_size()) : 0;
  std::string table(kHeaderWords * 4 + (switchCount + portCount) * kWhiteListEntryLen + bpduCount * 6, '\0');

  uint32_t flags = 0;
  if (switchGuard) flags |= kSecuritySwitchSpoofGuard;
  if (bpdu) flags |= kSecurityBpduFilter;
  if (limits.bcast_rx() != 0) flags |= kSecurityBcastRxLimit;
  if (limits.mcast_rx() != 0) flags |= kSecurityMcastRxLimit;
  if (s.dhcp_server_block()) flags |= kSecurityDhcpServerBlock;
  if (portGuard) flags |= kSecurityPortSpoofGuard;
  if (s.dhcp_client_block()) flags |= kSecurityDhcpClientBlock;
  if (limits.bcast_tx() != 0) flags |= kSecurityBcastTxLimit;
  if (limits.mcast_tx() != 0) flags |= kSecurityMcastTxLimit;
  if (s.block_non_ip()) flags |= kSecurityBlockNonIp;
  if (s.dhcpv6_server_block()) flags |= kSecurityDhcpv6ServerBlock;
  if (s.dhcpv6_client_block()) flags |= kSecurityDhcpv6ClientBlock;
  if (s.ra_guard()) flags |= kSecurityRaGuard;
  const uint32_t header[kHeaderWords] = {
      flags,       limits.bcast_rx(), limits.bcast_tx(), limits.mcast_rx(), limits.mcast_tx(),
      switchCount, portCount,         bpduCount};
  for (size_t i = 0; i < kHeaderWords; ++i) PutU32(table, i * 4, header[i]);

  size_t at = kHeaderWords * 4;
  for (uint32_t i = 0; i < switchCount; ++i, at += kWhiteListEntryLen) {
    PutWhiteListEntry(table, at, s.switch_white_list(static_cast<int>(i)));
  }
  for (uint32_t i = 0; i < portCount; ++i, at += kWhiteListEntryLen) {
    PutWhiteListEntry(table, at, s.port_white_list(static_cast<int>(i)));
  }
  for (uint32_t i = 0; i < bpduCount; ++i, at += 6) {
    WriteMacBytes(s.bpdu_exceptions(static_cast<int>(i)), reinterpret_cast<uint8_t*>(table.data() + at));
  }
  LogEncoded(table, portText);
  return table;
}

}  // namespace VevUroro
