#include <gtest/gtest.h>

#include "support/LogCapture.h"
#include "support/TempRoot.h"
#include "vessix/VessixConfig.h"

namespace qor::Vessix {
namespace {

class VessixConfigTest : public ::testing::Test {
 protected:
  // Loads a file whose "config.vessix" subtree is `vessixBody` (omitted when null).
  bool Load(const char* vessixBody, VessixConfig& config) {
    std::string xml = "<config>";
    if (vessixBody) xml += std::string("<vessix>") + vessixBody + "</vessix>";
    xml += "</config>";
    root.WriteFile(kVessixConfigPath, xml);
    return LoadVessixConfig(root.Under(kVessixConfigPath), config);
  }
  bool Load(const char* vessixBody) {
    VessixConfig config;
    return Load(vessixBody, config);
  }

  qor::test::TempRoot root;
  qor::test::LogCapture log;
};

TEST_F(VessixConfigTest, WithoutTheSubtreeEverySettingTakesItsDefault) {
  VessixConfig config;
  ASSERT_TRUE(Load(nullptr, config));
  EXPECT_EQ(config.prefixLength, 16);
  EXPECT_EQ(config.cip, "169.254.1.0");
  EXPECT_EQ(config.vip, "169.254.1.1");
  EXPECT_EQ(config.cipAddress, 0xA9FE0100u);
  EXPECT_EQ(config.vipAddress, 0xA9FE0101u);
  EXPECT_EQ(config.vlan, 4094);
  EXPECT_EQ(config.bytesRate, 100);
  EXPECT_EQ(config.serverPort, 2345u);
  EXPECT_EQ(config.initialConnect.initialDelayMs, 3000u);
  EXPECT_EQ(config.reconnect.maxDelayMs, 6000u);
  EXPECT_DOUBLE_EQ(config.reconnect.backOffMultiplier, 1.5);
  EXPECT_EQ(config.connection.timeoutMs, 120000u);
  EXPECT_TRUE(config.connection.keepaliveEnable);
  EXPECT_EQ(config.connTimerFrequencyMs, 6000);
  EXPECT_EQ(config.connInitialTimeMs, 300000u);
  EXPECT_EQ(config.versionMajor, 1u);
  EXPECT_EQ(config.flowCheckInterval, 3u);
  EXPECT_TRUE(log.Has({"Network prefix is 16"}));
  EXPECT_TRUE(log.Has({"CIP address is 169.254.1.0, VIP address is 169.254.1.1"}));
  EXPECT_TRUE(
      log.Has({"Initial connection retry configurations: [initial delay:3000] [max delay:6000] "
               "[back off multiplier:1.500000]"}));
  EXPECT_TRUE(log.Has({R"(comp="qor-vessix")", "Configured channel flow check interval:3"}));
}

TEST_F(VessixConfigTest, SubnetCheckFollowsThePrefix) {
  const char* narrow = "<channel><prefix>24</prefix><CIP>169.254.1.0</CIP><VIP>169.254.2.1</VIP></channel>";
  EXPECT_FALSE(Load(narrow));
  EXPECT_TRUE(log.Has({"169.254.1.0 and 169.254.2.1 are not in the same subnet with prefix 24"}));
  EXPECT_TRUE(log.Has({"Failed to init Vessix channel configuration"}));
  EXPECT_TRUE(Load("<channel><prefix>16</prefix><CIP>169.254.1.0</CIP><VIP>169.254.2.1</VIP></channel>"));
  EXPECT_TRUE(Load("<channel><prefix>32</prefix><CIP>10.0.0.1</CIP><VIP>10.0.0.1</VIP></channel>"));
  EXPECT_FALSE(Load("<channel><CIP>169.254.1.300</CIP></channel>"));
  EXPECT_TRUE(log.Has({"Invalid IP address 169.254.1.300:169.254.1.1"}));
}

TEST_F(VessixConfigTest, RangesAreCheckedWithTheirCodes) {
  struct Case {
    const char* body;
    bool valid;
    const char* text;
    const char* code;
  } cases[] = {
      {"<channel><prefix>0</prefix></channel>", false, "IP prefix is not a valid value: 0", "VX00001"},
      {"<channel><prefix>33</prefix></channel>", false, "IP prefix is not a valid value: 33", "VX00001"},
      {"<channel><prefix>300</prefix></channel>", false, "IP prefix is not a valid value: 300", "VX00001"},
      {"<channel><vlan>0</vlan></channel>", false, "Vlan is not a valid value: 0", "VX00004"},
      {"<channel><vlan>4095</vlan></channel>", false, "Vlan is not a valid value: 4095", "VX00004"},
      {"<channel><vlan>1</vlan></channel>", true, "Vlan is configured as 1", nullptr},
      {"<channel><vlan>4094</vlan></channel>", true, "Vlan is configured as 4094", nullptr},
      {"<security><bytesRate>0</bytesRate></security>", false, "Tx bytes rate is not a valid value: 0", "VX00005"},
      {"<security><bytesRate>65536</bytesRate></security>", false, "Tx bytes rate is not a valid value: 65536",
       "VX00005"},
      {"<channel><serverPort>0</serverPort></channel>", false, "Server port is not a valid value: 0", "VX00006"},
      {"<channel><serverPort>65536</serverPort></channel>", false, "Server port is not a valid value: 65536",
       "VX00006"},
      {"<channel><stack>tcpip</stack></channel>", false,
       "IP Stack is not set to the correct value: tcpip, should be vessix", "VX00007"},
      {"<channel><stack></stack></channel>", true, "IP stack is configured as vessix", nullptr},
  };
  for (const auto& c : cases) {
    qor::test::LogCapture caseLog;
    EXPECT_EQ(Load(c.body), c.valid) << c.body;
    EXPECT_TRUE(caseLog.Has({c.text})) << c.body;
    if (c.code) {
      EXPECT_TRUE(caseLog.Has({c.text, std::string("errorCode=\"") + c.code + "\""})) << c.body;
    }
  }
}

TEST_F(VessixConfigTest, RetryPoliciesMustGrowAndNotShrink) {
  auto retry = [](const char* which, const char* initial, const char* max, const char* multiplier) {
    return std::string("<channel><connection><") + which + "><retryDelay><initial>" + initial + "</initial><max>" +
           max + "</max><backOffMultiplier>" + multiplier + "</backOffMultiplier></retryDelay></" + which +
           "></connection></channel>";
  };
  EXPECT_FALSE(Load(retry("initialConnect", "5000", "4000", "2").c_str()));
  EXPECT_TRUE(log.Has(
      {"InitialConnection: Max delay 4000 should be greater than the initial delay: 5000", "errorCode=\"VX00203\""}));
  EXPECT_FALSE(Load(retry("reconnectPolicy", "1000", "4000", "1.0").c_str()));
  EXPECT_TRUE(log.Has({"Reconnection: Invalid backoff multiplier:1.000000", "errorCode=\"VX00204\""}));
  EXPECT_TRUE(Load(retry("reconnectPolicy", "4000", "4000", "1.01").c_str()));
}

TEST_F(VessixConfigTest, LooseValuesAreReadAsDocumented) {
  VessixConfig config;
  ASSERT_TRUE(
      Load("<channel><connection><keepalive><enable>maybe</enable><interval>7.9</interval></keepalive>"
           "<timeout>-1</timeout></connection></channel>",
           config));
  EXPECT_TRUE(config.connection.keepaliveEnable);
  EXPECT_EQ(config.connection.keepaliveIntervalSeconds, 7u);
  EXPECT_EQ(config.connection.timeoutMs, 120000u);  // a negative timeout does not wrap around
  ASSERT_TRUE(
      Load("<channel><connection><keepalive><enable>false</enable></keepalive></connection></channel>", config));
  EXPECT_FALSE(config.connection.keepaliveEnable);
  EXPECT_TRUE(log.Has({"Enabled connection keepalive: false"}));
}

TEST_F(VessixConfigTest, UnreadableFileFailsWithTheMessageOnStandardOutput) {
  root.WriteFile(kVessixConfigPath, "<config><vessix>");
  testing::internal::CaptureStdout();
  VessixConfig config;
  EXPECT_FALSE(LoadVessixConfig(root.Under(kVessixConfigPath), config));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "Error: Vessix failed to start.\nConfiguration file " + root.Under(kVessixConfigPath) + " is invalid.\n");
  EXPECT_TRUE(log.Has(
      {"Failed loading config file: " + root.Under(kVessixConfigPath) + " exception", "errorCode=\"VX00402\""}));
}

}  // namespace
}  // namespace qor::Vessix
