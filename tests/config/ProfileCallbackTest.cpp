// The converter's profile callbacks: IP discovery settings taken from a port's effective profile when the port
// asks for it (override), latency (key 281) from latency profiles, full-sync lists that drop what they omit.
#include <gtest/gtest.h>

#include "support/LogCapture.h"
#include "support/TempRoot.h"
#include "tests/config/ConverterHarness.h"
#include "tests/config/ExpectedBytes.h"

namespace VevUroro {
namespace {

using qor::test::LogCapture;
using qor::upm::ProfileUpdate;
using test::Bytes;
using test::Id;
using test::Ls;
using test::Lsp;
namespace tv = zantix::qor::tolvar;

class FakeProfileService : public qor::upm::IProfileService {
 public:
  bool GetEffectiveProfile(const std::string& lspId, uint32_t type, tv::ProfileMsg* profile) const override {
    auto it = profiles.find({lspId, type});
    if (it == profiles.end()) return false;
    if (profile) *profile = it->second;
    return true;
  }
  uint64_t RegisterCallback(uint32_t type, qor::upm::ProfileCallback callback) override {
    callbacks[type] = std::move(callback);
    return type;
  }
  void UnregisterCallback(uint64_t id) override { callbacks.erase(static_cast<uint32_t>(id)); }
  void Fire(uint32_t type, const std::vector<ProfileUpdate>& updates, bool fullSync) {
    callbacks.at(type)(updates, fullSync);
  }
  std::map<std::pair<std::string, uint32_t>, tv::ProfileMsg> profiles;
  std::map<uint32_t, qor::upm::ProfileCallback> callbacks;
};

class ProfileCallbackTest : public test::ConverterFixture {
 protected:
  void SetUp() override {
    profiles = fake = std::make_shared<FakeProfileService>();
    ConverterFixture::SetUp();
    {
      qor::test::TempRoot noDevices;
      converter->Start();
    }
    auto ls = Ls(1);
    ls.set_vni(1);
    ls.set_admin_state_up(true);
    feed->Put(ls);
  }
  ProfileUpdate IpDiscoveryProfile(uint64_t lsp, bool arp, bool dhcp) {
    ProfileUpdate update;
    update.lspId = Id(lsp);
    update.profileType = 9;
    update.profile.set_profile_type(9);
    update.profile.mutable_ip_discovery()->set_arp_snooping_enabled(arp);
    update.profile.mutable_ip_discovery()->set_dhcp_snooping_enabled(dhcp);
    fake->profiles[{update.lspId, 9}] = update.profile;
    return update;
  }
  ProfileUpdate Latency(uint64_t lsp, std::optional<uint32_t> value) {
    ProfileUpdate update;
    update.lspId = Id(lsp);
    update.profileType = DVSPropConvertor::kLatencyProfileType;
    update.operation = value ? ProfileUpdate::kSet : ProfileUpdate::kDelete;
    if (value) {
      update.profile.mutable_latency()->set_enabled(true);
      update.profile.mutable_latency()->set_value(*value);
    }
    return update;
  }
  std::shared_ptr<FakeProfileService> fake;
  LogCapture logs{LOG_LEVEL_DEBUG};
};

TEST_F(ProfileCallbackTest, OverridingPortTakesItsProfilesIpDiscoverySettings) {
  auto profile = IpDiscoveryProfile(11, false, true);
  auto lsp = Lsp(11, 1, "vif-1", "100");
  lsp.set_admin_state_up(true);
  lsp.mutable_ip_discovery()->set_arp_snooping_enabled(true);
  lsp.mutable_ip_discovery()->set_dhcp_snooping_enabled(true);
  lsp.mutable_ip_discovery()->set_override_profile(true);
  feed->Put(lsp);
  Connect("vif-1", "100");
  Flush();
  EXPECT_BYTES(dp.Port("vif-1")[42], Bytes().B({0, 1})) << "the profile's settings";

  auto changed = IpDiscoveryProfile(11, true, false);
  fake->Fire(9, {changed}, false);
  Flush();
  EXPECT_BYTES(dp.Port("vif-1")[42], Bytes().B({1, 0}));
  EXPECT_EQ(logs.Count("DvsPropC UPM logical switch port callback, isFullSync:false"), 1u);

  // A full list without the port: its profile is gone and its own settings apply again.
  fake->profiles.clear();
  fake->Fire(9, {}, true);
  Flush();
  EXPECT_BYTES(dp.Port("vif-1")[42], Bytes().B({1, 1}));
}

TEST_F(ProfileCallbackTest, LatencyFromProfiles) {
  auto lsp = Lsp(11, 1, "vif-1", "100");
  lsp.set_admin_state_up(true);
  feed->Put(lsp);
  feed->Put(Lsp(12, 1, "vx-bus", "vx-1"));
  Connect("vif-1", "100");
  Connect("vx-bus", "vx-1");
  Flush();
  fake->Fire(12, {Latency(11, 250), Latency(12, 10)}, false);
  Flush();
  EXPECT_BYTES(dp.Port("vif-1")[281], Bytes().T("250"));
  EXPECT_EQ(logs.Count("Update latency for LSP [" + test::IdText(11) + "]"), 1u);
  EXPECT_EQ(logs.Count("Skip vessix port vx-1"), 1u);
  EXPECT_TRUE(dp.Port("vx-bus").count(281) == 0);

  // Reconnection keeps the latency; a deletion clears it; a full list without a port clears it too.
  converter->HandleVifDisconnection("100");
  Connect("vif-1", "100");
  Flush();
  EXPECT_BYTES(dp.Port("vif-1")[281], Bytes().T("250"));
  fake->Fire(12, {Latency(11, std::nullopt)}, false);
  Flush();
  EXPECT_EQ(dp.Port("vif-1").count(281), 0u);
  fake->Fire(12, {Latency(11, 5)}, false);
  fake->Fire(12, {}, true);
  Flush();
  EXPECT_EQ(dp.Port("vif-1").count(281), 0u);
}

TEST_F(ProfileCallbackTest, StopUnregistersTheCallbacks) {
  EXPECT_EQ(fake->callbacks.size(), 2u);
  converter->Stop();
  EXPECT_TRUE(fake->callbacks.empty());
}

}  // namespace
}  // namespace VevUroro
