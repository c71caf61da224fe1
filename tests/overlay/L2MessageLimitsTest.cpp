// Tables larger than one overlay message: what is split, what is refused, and that nothing goes out with a wrapped
// 16-bit length.
#include <gtest/gtest.h>

#include "apps/overlay/OverlayMessages.h"
#include "overlay/L2AppHarness.h"
#include "support/LogCapture.h"
#include "zantix/qor/tolvar/objecttype.pb.h"
#include "zantix/qor/tolvar/services.pb.h"

namespace VevUroro::test {
namespace {

namespace ov = overlay;

bool Said(const qor::test::LogCapture& log, const std::string& text) {
  for (const std::string& line : log.Lines()) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

tv::VtepGroupMsg Group(uint32_t vteps) {
  tv::VtepGroupMsg group;
  *group.mutable_id() = UuidOfLow(0x90);
  group.set_group_key(0xabc);
  for (uint32_t i = 0; i < vteps; ++i) *group.add_vteps() = Vtep(0x0a000000 + i, i + 1);
  return group;
}

// Header 8 bytes, TLV header 4: a payload of 65,523 bytes makes a message of exactly 65,535.
TEST(L2MessageLimits, MessageRefusesAPayloadWhoseLengthWouldWrap) {
  qor::test::LogCapture log{LOG_LEVEL_ERROR};
  const ov::Bytes largest = ov::Message(ov::kMsgUpdate, 1, ov::kUpdateVtepGroup, ov::Bytes(65523, 0));
  ASSERT_EQ(largest.size(), 65535u);
  EXPECT_EQ(largest[2], 0xff);
  EXPECT_EQ(largest[3], 0xff);
  EXPECT_EQ(largest[10], 0xff);  // TLV length: payload and its own header
  EXPECT_EQ(largest[11], 0xf7);
  EXPECT_FALSE(Said(log, "does not fit"));
  EXPECT_TRUE(ov::Message(ov::kMsgUpdate, 1, ov::kUpdateVtepGroup, ov::Bytes(65524, 0)).empty());
  EXPECT_TRUE(Said(log, "does not fit in one message"));
  EXPECT_TRUE(Said(log, "LCP00407"));
}

// The module replaces a group's list with each update, so a list that cannot be carried whole is refused and the
// version the module holds is withdrawn, which is where a new session's sweep ends too; the largest list that fits
// goes out whole.
TEST(L2MessageLimits, VtepGroupLargerThanOneMessageIsRefusedNotWrapped) {
  qor::test::LogCapture log{LOG_LEVEL_INFO};
  L2AppHarness h;
  h.Connect();
  const uint64_t malformed = h.module.Malformed();
  const tv::VtepGroupMsg fits = Group(1637);  // 11 + 40 * 1637 = 65,491 bytes of payload
  h.Cache().L2Table()->UpdateDesiredState(Decoded(L2CACHE, nullptr, &fits), 0);
  h.Pump();
  ASSERT_EQ(h.module.VtepGroups().count(0xabc), 1u);
  EXPECT_EQ(h.module.VtepGroups().at(0xabc).record.size(), 1637u * ov::kVtepRecordLen);

  const tv::VtepGroupMsg large = Group(1700);
  h.Cache().L2Table()->UpdateDesiredState(Decoded(L2CACHE, &fits, &large), 0);
  h.Pump();
  EXPECT_EQ(h.module.Malformed(), malformed);
  EXPECT_TRUE(Said(log, "VTEP GROUP (2748) has 1700 VTEPs, more than one update holds, not sent"));
  EXPECT_TRUE(Said(log, "LCP00019"));
  EXPECT_TRUE(Said(log, "VTEP GROUP (2748) Delete to DP"));
  EXPECT_EQ(h.module.VtepGroups().count(0xabc), 0u);
  h.Command({"l2-out-of-sync"});
  ASSERT_EQ(h.app->ReadyLevel(), 2u);
  EXPECT_EQ(h.module.VtepGroups().count(0xabc), 0u);
  EXPECT_EQ(h.module.Malformed(), malformed);

  // Back to a size that fits: installed again.
  h.Cache().L2Table()->UpdateDesiredState(Decoded(L2CACHE, &large, &fits), 0);
  h.Pump();
  ASSERT_EQ(h.module.VtepGroups().count(0xabc), 1u);
  EXPECT_EQ(h.module.VtepGroups().at(0xabc).record.size(), 1637u * ov::kVtepRecordLen);
}

// Routing-domain VTEPs are deltas: a domain's whole table at the first join and a mass removal both split into
// messages the module takes.
TEST(L2MessageLimits, LargeRoutingDomainTableSplitsAcrossMessages) {
  L2AppHarness h;
  tv::LogSwitchConfigMsg ls;
  *ls.mutable_id() = UuidOfLow(7);
  ls.set_vni(5001);
  *ls.mutable_routing_domain_id() = UuidOfLow(0x77);
  h.Cache().ConfigTable()->UpdateDesiredState(Decoded(CONFIGCACHE, nullptr, &ls), 0);
  tv::RoutingDomainFibMsg rd;
  *rd.mutable_id() = UuidOfLow(0x88);
  *rd.mutable_routing_domain_id() = UuidOfLow(0x77);
  for (uint32_t i = 0; i < 4000; ++i) *rd.add_vteps() = Vtep(0x0a000000 + i, i + 1);
  h.Cache().L2Table()->UpdateDesiredState(Decoded(L2CACHE, nullptr, &rd), 0);
  h.Connect();
  const uint64_t malformed = h.module.Malformed();
  h.Command({"l2-join", "5001", "9"});
  EXPECT_EQ(h.module.Malformed(), malformed);
  EXPECT_EQ(h.module.RoutingDomainVteps().size(), 4000u);

  tv::RoutingDomainFibMsg fewer = rd;
  fewer.mutable_vteps()->DeleteSubrange(10, 3990);
  h.Cache().L2Table()->UpdateDesiredState(Decoded(L2CACHE, &rd, &fewer), 0);
  h.Pump();
  EXPECT_EQ(h.module.Malformed(), malformed);
  EXPECT_EQ(h.module.RoutingDomainVteps().size(), 10u);
}

}  // namespace
}  // namespace VevUroro::test
