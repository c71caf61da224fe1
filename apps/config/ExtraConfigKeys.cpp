#include "apps/config/ExtraConfigKeys.h"

#include <unordered_map>

#include "apps/config/DVSProperty.h"

namespace VevUroro {

namespace {

const std::unordered_map<std::string, ExtraConfigMapping>& KeyMap() {
  static const std::unordered_map<std::string, ExtraConfigMapping> map = [] {
    using K = ExtraConfigKind;
    std::unordered_map<std::string, ExtraConfigMapping> m = {
        {"com.zantix.port.extraConfig.managedcloud.management.ip", {K::kPortProperty, PORT_PROP_MANAGEMENT_IP}},
        {"com.zantix.qor.ovl2.bridgedvlan", {K::kAcceptedNotSent, 0}},
        {"com.zantix.qor.port.extraConfig.proxyarpRoutermode", {K::kPortProperty, PORT_PROP_PROXY_ARP_ROUTER_MODE}},
        {"com.zantix.port.extraConfig.managedcloud.edge", {K::kPortProperty, PORT_PROP_MANAGED_EDGE}},
        {"com.zantix.qor.port.extraConfig.remoteRtr", {K::kPortProperty, PORT_PROP_REMOTE_ROUTER}},
        {"com.zantix.port.extraConfig.policyRoute", {K::kPortProperty, PORT_PROP_POLICY_ROUTE}},
        {"com.zantix.port.extraConfig.ovl2.udpPortsInHash", {K::kPortProperty, PORT_PROP_UDP_PORTS_IN_HASH}},
        {"com.zantix.port.extraConfig.ovl2.nestedTNConfig", {K::kPortProperty, PORT_PROP_NESTED_TN_CONFIG}},
        {"com.zantix.port.extraConfig.serviceInsertion.gvm", {K::kServiceInsertion, PORT_PROP_SERVICE_INSERTION_GVM}},
        {"com.zantix.port.extraConfig.serviceInsertion.svm", {K::kServiceInsertion, PORT_PROP_SERVICE_INSERTION_SVM}},
        {"com.zantix.port.extraConfig.global.id", {K::kPortProperty, PORT_PROP_GLOBAL_ID}},
        {"com.zantix.port.extraConfig.forward.rarp", {K::kPortProperty, PORT_PROP_FORWARD_RARP}},
        {"com.zantix.port.extraConfig.vm.tagset", {K::kPortProperty, PORT_PROP_VM_TAGSET}},
    };
    for (uint16_t i = 1; i <= 9; ++i) {
      m["com.zantix.port.extraConfig.vm.tagset" + std::to_string(i)] = {K::kPortProperty,
                                                                        static_cast<uint16_t>(PORT_PROP_VM_TAGSET + i)};
    }
    return m;
  }();
  return map;
}

}  // namespace

ExtraConfigMapping MapExtraConfigKey(const std::string& key) {
  auto it = KeyMap().find(key);
  return it == KeyMap().end() ? ExtraConfigMapping{} : it->second;
}

const std::vector<std::pair<std::string, uint16_t>>& SentExtraConfigKeys() {
  static const std::vector<std::pair<std::string, uint16_t>> keys = [] {
    std::vector<std::pair<std::string, uint16_t>> out;
    for (const auto& [name, mapping] : KeyMap()) {
      if (mapping.kind == ExtraConfigKind::kPortProperty || mapping.kind == ExtraConfigKind::kServiceInsertion) {
        out.emplace_back(name, mapping.key);
      }
    }
    return out;
  }();
  return keys;
}

bool NamesServiceVm(const std::map<std::string, std::string>& configs) {
  return configs.count("com.zantix.port.extraConfig.serviceInsertion.gvm") ||
         configs.count("com.zantix.port.extraConfig.serviceInsertion.svm");
}

bool IsGlobalOpaqueKey(const std::string& key) {
  return key == "com.zantix.qor.extraConfig.managedcloud.management.clusterVirtualIp" ||
         key == "com.zantix.qor.extraConfig.managedcloud.management.clusterMasterIp";
}

}  // namespace VevUroro
