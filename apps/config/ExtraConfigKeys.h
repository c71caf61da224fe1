// Extra configuration keys of logical switch ports and switches, and the port property each one travels as.
//
// Keys are matched by exact string comparison, in this order: the managed-cloud, bridged-VLAN, proxy-ARP,
// edge, remote-router, policy-route and overlay keys; the service-insertion GVM/SVM keys (not for hypervisor
// kernel NIC or service-plane ports); the global id and forward-RARP keys; the tagset keys ("...vm.tagset",
// "...vm.tagset1" .. "...vm.tagset9" to keys 322 .. 331). "com.zantix.qor.ovl2.bridgedvlan" is accepted and never
// sent. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace VevUroro {

enum class ExtraConfigKind {
  kPortProperty,      // sent as `key`
  kAcceptedNotSent,   // known, never sent
  kServiceInsertion,  // sent as `key` except on hypervisor kernel NIC and service-plane ports
  kUnsupported,       // logged with LCP00513, not sent
};

struct ExtraConfigMapping {
  ExtraConfigKind kind = ExtraConfigKind::kUnsupported;
  uint16_t key = 0;
};

ExtraConfigMapping MapExtraConfigKey(const std::string& key);

// Every key that travels as a port property, with its property key.
const std::vector<std::pair<std::string, uint16_t>>& SentExtraConfigKeys();

// Whether a port's own extra configuration makes it a guest or service VM port (a service-insertion key).
bool NamesServiceVm(const std::map<std::string, std::string>& configs);

// The keys accepted in a transport switch's opaque configuration.
bool IsGlobalOpaqueKey(const std::string& key);

}  // namespace VevUroro
