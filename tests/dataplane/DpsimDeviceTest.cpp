// The platform's device access against the simulator's devices: a real qor-dpsim process, real sockets, the
// request frames, failure injection through the control socket.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "platform/device/DeviceFile.h"
#include "platform/ovs/Unixctl.h"
#include "support/TempRoot.h"
#include "tests/dataplane/DpsimHarness.h"

namespace qor::device {
namespace {

using qor::ovs::UnixctlClient;

std::vector<uint8_t> FlowCacheBlock(uint64_t ms, uint32_t parameter) {
  std::vector<uint8_t> block(16, 0);
  std::memcpy(block.data(), &ms, 8);
  std::memcpy(block.data() + 8, &parameter, 4);
  return block;
}

std::vector<uint8_t> NetqueueBlock(uint32_t length, uint16_t parameter, uint32_t enabled) {
  std::vector<uint8_t> block(12, 0);
  uint16_t eight = 8;
  std::memcpy(block.data(), &length, 4);
  std::memcpy(block.data() + 4, &parameter, 2);
  std::memcpy(block.data() + 6, &eight, 2);
  std::memcpy(block.data() + 8, &enabled, 4);
  return block;
}

TEST(DeviceFileTest, MissingDeviceIsNoSuchFile) {
  qor::test::TempRoot root;
  DeviceFile device;
  EXPECT_EQ(device.Open("/dev/fc", O_RDONLY), ENOENT);
  EXPECT_FALSE(device.IsOpen());
  std::vector<uint8_t> argument;
  EXPECT_EQ(device.Ioctl(10, &argument), EBADF);
  EXPECT_EQ(device.Close(), EBADF);
}

TEST(DeviceFileTest, RequestsReachTheSimulatedDevices) {
  qor::test::TempRoot root;
  qor::test::DpsimProcess dpsim(root.Path(), {"--no-default-channels"});
  ASSERT_TRUE(dpsim.WaitReady());

  DeviceFile fc;
  ASSERT_EQ(fc.Open("/dev/fc", O_RDONLY), 0);
  auto block = FlowCacheBlock(5000, 2);
  EXPECT_EQ(fc.Ioctl(10, &block), 0);
  block = FlowCacheBlock(86400000, 3);
  EXPECT_EQ(fc.Ioctl(10, &block), 0);
  block = FlowCacheBlock(1, 9);
  EXPECT_EQ(fc.Ioctl(10, &block), EINVAL);
  block.resize(12);
  EXPECT_EQ(fc.Ioctl(10, &block), EINVAL);
  EXPECT_EQ(fc.Ioctl(11, &block), ENOTTY);
  auto dump = UnixctlClient::Call(dpsim.ControlPath(), "dpsim/dump", {"/dev/fc"});
  ASSERT_TRUE(dump.ok) << dump.text;
  EXPECT_NE(dump.text.find("flow expiry time: 5000 ms"), std::string::npos) << dump.text;
  EXPECT_NE(dump.text.find("flow aging interval: 86400000 ms"), std::string::npos) << dump.text;
  EXPECT_NE(dump.text.find("requests served: 5"), std::string::npos) << dump.text;

  auto fail = UnixctlClient::Call(dpsim.ControlPath(), "dpsim/device-fail", {"/dev/fc", "10", "5"});
  ASSERT_TRUE(fail.ok) << fail.text;
  block = FlowCacheBlock(7000, 2);
  EXPECT_EQ(fc.Ioctl(10, &block), EIO);
  EXPECT_EQ(fc.Close(), 0);

  DeviceFile vswitch;
  ASSERT_EQ(vswitch.Open("/dev/vswitch", O_RDONLY), 0);
  block = NetqueueBlock(12, 15, 1);
  EXPECT_EQ(vswitch.Ioctl(0x2001, &block), 0);
  block = NetqueueBlock(12, 14, 1);
  EXPECT_EQ(vswitch.Ioctl(0x2001, &block), EINVAL);
  dump = UnixctlClient::Call(dpsim.ControlPath(), "dpsim/dump", {"/dev/vswitch"});
  EXPECT_NE(dump.text.find("netqueue handling: enabled"), std::string::npos) << dump.text;
}

TEST(DeviceFileTest, DeviceThatGoesAwayFailsTheRequestAndClosesTheDescriptor) {
  qor::test::TempRoot root;
  DeviceFile fc;
  {
    qor::test::DpsimProcess dpsim(root.Path(), {"--no-default-channels"});
    ASSERT_TRUE(dpsim.WaitReady());
    ASSERT_EQ(fc.Open("/dev/fc", O_RDONLY), 0);
  }
  auto block = FlowCacheBlock(5000, 2);
  int error = fc.Ioctl(10, &block);
  EXPECT_TRUE(error == EIO || error == EPIPE || error == ECONNRESET) << ErrorText(error);
  EXPECT_FALSE(fc.IsOpen());
}

}  // namespace
}  // namespace qor::device
