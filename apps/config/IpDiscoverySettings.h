// A port's IP discovery settings: which settings apply (the port's own or its profile's) and the port properties
// they give.
//
// Properties: key 43 ("true", the security-configured marker) always comes first; then key 42 (2 bytes: F1, F2),
// key 44 (14 bytes: F4, F7, N9, N5, N6) and key 46 (2 bytes: F3, F8), each only when every setting it carries is
// present. F1..F4 are fields 1..4 of IpDiscoveryConfigMsg, N5 and N6 fields 5 and 6, F7 and F8 fields 7 and 8, N9
// field 9; flags are written as 0 or 1, numbers in the host's order.
//
// Profiles: a port's effective IP discovery profile is the port-profile service's profile of type 9 for the port
// (see platform/upm/UPMService.h for how profiles are bound to ports and switches). The port's own settings apply
// unless they set the override flag and a profile exists. Pure apart from the queries and log lines; any thread.
#pragma once

#include <cstdint>
#include <string>

#include "apps/config/DVSProperty.h"
#include "cache/IStateCacheConfigTable.h"
#include "platform/upm/ProfileQuery.h"
#include "zantix/qor/tolvar/config.pb.h"

namespace VevUroro {

constexpr uint32_t kIpDiscoveryProfileType = 9;

// SelectEffectiveProfile modes: the given settings are the port's own (1) or the profile's (2); otherwise both
// are looked up.
enum IpDiscoveryMode : int { IPDISC_MODE_LOOKUP = 0, IPDISC_MODE_PORT = 1, IPDISC_MODE_PROFILE = 2 };
// Where the effective settings came from.
enum IpDiscoverySource : int { IPDISC_SOURCE_NONE = 0, IPDISC_SOURCE_PORT = 1, IPDISC_SOURCE_PROFILE = 2 };

// Picks the settings that apply to the port `portUuid` (a serialized UuidMsg). Port settings: `given` in mode 1,
// else the desired LSP_IP_DISCOVERY of the port in `table`. Profile settings: `given` in mode 2, else the
// profile of type 9 from `profiles` (null: none). No port settings: false, source 0. Port settings with the
// override flag set and profile settings present: the profile's, source 2. Otherwise the port's, source 1.
bool SelectEffectiveProfile(const IStateCacheConfigTable* table, const qor::upm::IProfileQuery* profiles,
                            const std::string& portUuid, int mode,
                            const zantix::qor::tolvar::IpDiscoveryConfigMsg* given,
                            zantix::qor::tolvar::IpDiscoveryConfigMsg* effective, int* source);

// Keys 43, then 42, 44, 46 as far as `settings` carries them.
DVSPropertyList BuildIpDiscoveryProperties(const zantix::qor::tolvar::IpDiscoveryConfigMsg& settings);

// Key 45: a 32-bit count (host order), then one 28-byte record per binding: family (1 IPv4, 0 IPv6), prefix
// length, 16-bit VLAN (host order), 16 address bytes (IPv4 in the first four, network order), 6-byte MAC, 2 zero
// bytes.
std::string BuildIgnoreBindings(const zantix::qor::tolvar::IgnoreBindingsMsg& bindings);

}  // namespace VevUroro
