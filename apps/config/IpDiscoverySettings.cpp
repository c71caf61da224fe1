#include "apps/config/IpDiscoverySettings.h"

#include <cstring>

#include "apps/config/AddressBytes.h"
#include "apps/config/UuidText.h"
#include "core/Logger.h"
#include "platform/tolvar/TolvarSchema.h"

namespace VevUroro {

namespace {

namespace tv = zantix::qor::tolvar;

constexpr size_t kIgnoreBindingLen = 28;

void PutU32(std::string& out, size_t at, uint32_t value) {
  std::memcpy(out.data() + at, &value, sizeof(value));
}

}  // namespace

bool SelectEffectiveProfile(const IStateCacheConfigTable* table, const qor::upm::IProfileQuery* profiles,
                            const std::string& portUuid, int mode, const tv::IpDiscoveryConfigMsg* given,
                            tv::IpDiscoveryConfigMsg* effective, int* source) {
  Logger(LOG_LEVEL_DEBUG, "IpDiscovery: SelectEffectiveProfile: Getting profiles for port %1", UuidOf(portUuid));
  tv::IpDiscoveryConfigMsg port;
  bool hasPort = false;
  if (mode == IPDISC_MODE_PORT) {
    hasPort = given != nullptr;
    if (hasPort) port = *given;
  } else if (table) {
    std::string value;
    tv::LogSwitchPortConfigMsg lsp;
    if (table->QueryDesiredProperty(portUuid, tv::Property::LSP_IP_DISCOVERY, &value) && lsp.ParseFromString(value) &&
        lsp.has_ip_discovery()) {
      port = lsp.ip_discovery();
      hasPort = true;
    }
  }
  tv::IpDiscoveryConfigMsg profile;
  bool hasProfile = false;
  if (mode == IPDISC_MODE_PROFILE) {
    hasProfile = given != nullptr;
    if (hasProfile) profile = *given;
  } else if (profiles) {
    tv::ProfileMsg found;
    if (profiles->GetEffectiveProfile(portUuid, kIpDiscoveryProfileType, &found) && found.has_ip_discovery()) {
      profile = found.ip_discovery();
      hasProfile = true;
    }
  }
  if (!hasPort) {
    if (source) *source = IPDISC_SOURCE_NONE;
    return false;
  }
  if (port.has_override_profile() && port.override_profile() && hasProfile) {
    if (effective) *effective = profile;
    if (source) *source = IPDISC_SOURCE_PROFILE;
    return true;
  }
  if (effective) *effective = port;
  if (source) *source = IPDISC_SOURCE_PORT;
  return true;
}

DVSPropertyList BuildIpDiscoveryProperties(const tv::IpDiscoveryConfigMsg& s) {
  DVSPropertyList out;
  out.push_back({PORT_PROP_SECURITY_CONFIGURED, BoolText(true)});
  if (s.has_arp_snooping_enabled() && s.has_dhcp_snooping_enabled()) {
    out.push_back({PORT_PROP_IP_DISCOVERY_SNOOPING, std::string{static_cast<char>(s.arp_snooping_enabled()),
                                                                static_cast<char>(s.dhcp_snooping_enabled())}});
  }
  if (s.has_arp_nd_binding_timeout_enabled() && s.has_arp_snooping_limit() && s.has_nd_snooping_limit() &&
      s.has_nd_snooping_enabled() && s.has_arp_nd_binding_timeout()) {
    std::string value(14, '\0');
    value[0] = s.arp_nd_binding_timeout_enabled() ? 1 : 0;
    value[1] = s.nd_snooping_enabled() ? 1 : 0;
    PutU32(value, 2, s.arp_nd_binding_timeout());
    PutU32(value, 6, s.arp_snooping_limit());
    PutU32(value, 10, s.nd_snooping_limit());
    out.push_back({PORT_PROP_IP_DISCOVERY_BINDING_LIMITS, value});
  }
  if (s.has_vmtools_enabled() && s.has_dhcpv6_snooping_enabled()) {
    out.push_back({PORT_PROP_IP_DISCOVERY_GUEST, std::string{static_cast<char>(s.vmtools_enabled()),
                                                             static_cast<char>(s.dhcpv6_snooping_enabled())}});
  }
  return out;
}

std::string BuildIgnoreBindings(const tv::IgnoreBindingsMsg& bindings) {
  std::string out(4 + kIgnoreBindingLen * static_cast<size_t>(bindings.bindings_size()), '\0');
  PutU32(out, 0, static_cast<uint32_t>(bindings.bindings_size()));
  size_t at = 4;
  for (const tv::AddressBindingMsg& binding : bindings.bindings()) {
    auto* p = reinterpret_cast<uint8_t*>(out.data() + at);
    p[0] = binding.ip().has_ipv4() ? 1 : 0;
    p[1] = static_cast<uint8_t>(binding.prefix_length());
    uint16_t vlan = static_cast<uint16_t>(binding.vlan());
    std::memcpy(p + 2, &vlan, sizeof(vlan));
    WriteIpBytes(binding.ip(), p + 4);
    WriteMacBytes(binding.mac(), p + 20);
    at += kIgnoreBindingLen;
  }
  return out;
}

}  // namespace VevUroro
