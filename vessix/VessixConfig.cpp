#include "vessix/VessixConfig.h"

#include <arpa/inet.h>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <cstdio>
#include <limits>
#include <optional>

#include "core/Logger.h"
#include "vessix/VessixLog.h"

namespace qor::Vessix {
namespace {

using Tree = boost::property_tree::ptree;

// A numeric key as a wide signed value, so that out-of-range or negative texts are seen as such instead of
// wrapping into the setting's width. Absent or unconvertible: the default.
long long ReadNumber(const Tree& tree, const char* key, long long defaultValue) {
  return tree.get<long long>(key, defaultValue);
}

template <typename T>
T Narrow(long long value, T defaultValue) {
  if (value < 0 || static_cast<unsigned long long>(value) > std::numeric_limits<T>::max()) return defaultValue;
  return static_cast<T>(value);
}

// Reads a numeric setting that must lie in [min, max]: logs `invalid` with `errorCode` and fails, or logs `valid`.
bool ReadRanged(const Tree& tree, const char* key, long long defaultValue, long long min, long long max,
                const char* errorCode, const char* invalid, const char* valid, long long& value) {
  value = ReadNumber(tree, key, defaultValue);
  if (value < min || value > max) {
    VessixLog(VevUroro::LOG_LEVEL_ERROR, errorCode, invalid, value);
    return false;
  }
  VessixLog(VevUroro::LOG_LEVEL_INFO, nullptr, valid, value);
  return true;
}

std::optional<uint32_t> ParseIpv4(const std::string& text) {
  in_addr address{};
  if (inet_pton(AF_INET, text.c_str(), &address) != 1) return std::nullopt;
  return ntohl(address.s_addr);
}

bool ValidateRetry(const char* label, uint32_t initial, uint32_t max, double multiplier, qor::RetryPolicy& out) {
  if (max < initial) {
    VessixLog(VevUroro::LOG_LEVEL_ERROR, "errorCode:VX00203",
              "%s: Max delay %u should be greater than the initial delay: %u", label, max, initial);
    return false;
  }
  if (!(multiplier > 1.0)) {
    VessixLog(VevUroro::LOG_LEVEL_ERROR, "errorCode:VX00204", "%s: Invalid backoff multiplier:%f", label, multiplier);
    return false;
  }
  out.initialDelayMs = static_cast<uint32_t>(initial);
  out.maxDelayMs = static_cast<uint32_t>(max);
  out.backOffMultiplier = multiplier;
  return true;
}

bool Validate(const Tree& tree, VessixConfig& config) {
  using namespace VevUroro;
  long long prefix = 0;
  if (!ReadRanged(tree, "config.vessix.channel.prefix", 16, 1, 32, "errorCode:VX00001",
                  "IP prefix is not a valid value: %lld", "Network prefix is %lld", prefix)) {
    return false;
  }
  config.prefixLength = static_cast<uint8_t>(prefix);

  config.cip = tree.get<std::string>("config.vessix.channel.CIP", "169.254.1.0");
  config.vip = tree.get<std::string>("config.vessix.channel.VIP", "169.254.1.1");
  auto cip = ParseIpv4(config.cip);
  auto vip = ParseIpv4(config.vip);
  if (!cip || !vip) {
    VessixLog(LOG_LEVEL_ERROR, nullptr, "Invalid IP address %s:%s", config.cip.c_str(), config.vip.c_str());
    return false;
  }
  uint32_t mask = config.prefixLength == 32 ? 0xffffffffu : ~(0xffffffffu >> config.prefixLength);
  if ((*cip & mask) != (*vip & mask)) {
    VessixLog(LOG_LEVEL_ERROR, nullptr, "%s and %s are not in the same subnet with prefix %u", config.cip.c_str(),
              config.vip.c_str(), config.prefixLength);
    return false;
  }
  config.cipAddress = *cip;
  config.vipAddress = *vip;
  VessixLog(LOG_LEVEL_INFO, nullptr, "CIP address is %s, VIP address is %s", config.cip.c_str(), config.vip.c_str());

  long long vlan = 0, rate = 0, port = 0;
  if (!ReadRanged(tree, "config.vessix.channel.vlan", 4094, 1, 4094, "errorCode:VX00004",
                  "Vlan is not a valid value: %lld", "Vlan is configured as %lld", vlan) ||
      !ReadRanged(tree, "config.vessix.security.bytesRate", 100, 1, 65535, "errorCode:VX00005",
                  "Tx bytes rate is not a valid value: %lld", "Tx bytes rate is configured as %lld", rate) ||
      !ReadRanged(tree, "config.vessix.channel.serverPort", 2345, 1, 65535, "errorCode:VX00006",
                  "Server port is not a valid value: %lld", "Server port is configured as %lld", port)) {
    return false;
  }
  config.vlan = static_cast<uint16_t>(vlan);
  config.bytesRate = static_cast<uint16_t>(rate);
  config.serverPort = static_cast<uint32_t>(port);

  std::string stack = tree.get<std::string>("config.vessix.channel.stack", "vessix");
  if (!stack.empty() && stack != "vessix") {
    VessixLog(LOG_LEVEL_ERROR, "errorCode:VX00007", "IP Stack is not set to the correct value: %s, should be %s",
              stack.c_str(), "vessix");
    return false;
  }
  config.stack = "vessix";
  VessixLog(LOG_LEVEL_INFO, nullptr, "IP stack is configured as %s", config.stack.c_str());

  const char* initialBase = "config.vessix.channel.connection.initialConnect.retryDelay.";
  const char* reconnectBase = "config.vessix.channel.connection.reconnectPolicy.retryDelay.";
  auto key = [](const char* base, const char* leaf) { return std::string(base) + leaf; };
  auto delay = [&](const char* base, const char* leaf, uint32_t defaultValue) {
    return Narrow<uint32_t>(ReadNumber(tree, key(base, leaf).c_str(), defaultValue), defaultValue);
  };
  if (!ValidateRetry("InitialConnection", delay(initialBase, "initial", 3000), delay(initialBase, "max", 6000),
                     tree.get<double>(key(initialBase, "backOffMultiplier"), 1.5), config.initialConnect)) {
    return false;
  }
  VessixLog(LOG_LEVEL_INFO, nullptr,
            "Initial connection retry configurations: [initial delay:%u] [max delay:%u] [back off multiplier:%f]",
            config.initialConnect.initialDelayMs, config.initialConnect.maxDelayMs,
            config.initialConnect.backOffMultiplier);
  if (!ValidateRetry("Reconnection", delay(reconnectBase, "initial", 3000), delay(reconnectBase, "max", 6000),
                     tree.get<double>(key(reconnectBase, "backOffMultiplier"), 1.5), config.reconnect)) {
    return false;
  }
  VessixLog(LOG_LEVEL_INFO, nullptr,
            "Reconnection retry configurations: [initial delay:%u] [max delay:%u] [back off multiplier:%f]",
            config.reconnect.initialDelayMs, config.reconnect.maxDelayMs, config.reconnect.backOffMultiplier);

  auto& connection = config.connection;
  connection.timeoutMs = Narrow<uint32_t>(ReadNumber(tree, "config.vessix.channel.connection.timeout", 120000), 120000);
  connection.keepaliveEnable = tree.get<bool>("config.vessix.channel.connection.keepalive.enable", true);
  connection.keepaliveProbes =
      Narrow<uint32_t>(ReadNumber(tree, "config.vessix.channel.connection.keepalive.probes", 3), 3);
  connection.keepaliveIdleSeconds =
      Narrow<uint32_t>(ReadNumber(tree, "config.vessix.channel.connection.keepalive.idle", 6), 6);
  double interval = tree.get<double>("config.vessix.channel.connection.keepalive.interval", 3.0);
  connection.keepaliveIntervalSeconds =
      (interval >= 0 && interval <= std::numeric_limits<uint32_t>::max()) ? static_cast<uint32_t>(interval) : 3;
  config.connTimerFrequencyMs =
      Narrow<uint16_t>(ReadNumber(tree, "config.vessix.channel.connection.connTimerFrequency", 6000), 6000);
  config.connInitialTimeMs =
      Narrow<uint32_t>(ReadNumber(tree, "config.vessix.channel.connection.connInitialTime", 300000), 300000);
  config.versionMajor = Narrow<uint32_t>(ReadNumber(tree, "config.vessix.channel.version.major", 1), 1);
  config.versionMinor = Narrow<uint32_t>(ReadNumber(tree, "config.vessix.channel.version.minor", 1), 1);
  config.flowCheckInterval = Narrow<uint32_t>(ReadNumber(tree, "config.vessix.bmc.flowCheckInterval", 3), 3);

  VessixLog(LOG_LEVEL_INFO, nullptr, "Enabled connection keepalive: %s", connection.keepaliveEnable ? "true" : "false");
  VessixLog(LOG_LEVEL_INFO, nullptr, "Configured connection timer frequency:%d", config.connTimerFrequencyMs);
  VessixLog(LOG_LEVEL_INFO, nullptr, "Configured channel current major version:%u, minor version:%u",
            config.versionMajor, config.versionMinor);
  VessixLog(LOG_LEVEL_INFO, nullptr, "Configured channel flow check interval:%u", config.flowCheckInterval);
  return true;
}

}  // namespace

bool LoadVessixConfig(const std::string& path, VessixConfig& config) {
  using namespace VevUroro;
  VessixLog(LOG_LEVEL_DEBUG, nullptr, "Try loading config file: %s", path.c_str());
  Tree tree;
  try {
    boost::property_tree::read_xml(
        path, tree, boost::property_tree::xml_parser::trim_whitespace | boost::property_tree::xml_parser::no_comments);
  } catch (const std::exception& e) {
    VessixLog(LOG_LEVEL_ERROR, "errorCode:VX00402", "Failed loading config file: %s exception %s", path.c_str(),
              e.what());
    logging::FlushConsole();
    std::printf("Error: Vessix failed to start.\nConfiguration file %s is invalid.\n", path.c_str());
    std::fflush(stdout);
    return false;
  }
  VessixLog(LOG_LEVEL_INFO, nullptr, "Build Number: %s", QOR_BUILD_NUMBER);
  if (!Validate(tree, config)) {
    VessixLog(LOG_LEVEL_ERROR, nullptr, "Failed to init Vessix channel configuration");
    return false;
  }
  return true;
}

}  // namespace qor::Vessix
