// The container connectivity service's configuration file "/etc/zantix/qor/vessix.xml" (under QOR_ROOT): every
// setting with its default, read and validated once at initialisation on the main thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/net/RetryPolicy.h"

namespace qor::Vessix {

struct VessixConfig {
  uint8_t prefixLength = 16;
  std::string cip = "169.254.1.0";
  std::string vip = "169.254.1.1";
  uint32_t cipAddress = 0;  // host order, set by validation
  uint32_t vipAddress = 0;
  uint16_t vlan = 4094;
  uint16_t bytesRate = 100;
  uint32_t serverPort = 2345;
  std::string stack = "vessix";
  qor::RetryPolicy initialConnect;
  qor::RetryPolicy reconnect;
  qor::net::ConnectionOptions connection;
  uint16_t connTimerFrequencyMs = 6000;
  uint32_t connInitialTimeMs = 300000;
  uint32_t versionMajor = 1;
  uint32_t versionMinor = 1;
  uint32_t flowCheckInterval = 3;
};

// Defaults of the link-local address pool.
constexpr const char* kLinkLocalPoolStart = "169.254.1.10";
constexpr const char* kLinkLocalPoolEnd = "169.254.255.255";

constexpr const char* kVessixConfigPath = "/etc/zantix/qor/vessix.xml";

// Reads and validates the file at `path`, logging each accepted setting. On a parse failure prints the "Vessix failed
// to start" box to standard output; on a validation failure logs "Failed to init Vessix channel configuration".
// Returns false on either.
bool LoadVessixConfig(const std::string& path, VessixConfig& config);

}  // namespace qor::Vessix
