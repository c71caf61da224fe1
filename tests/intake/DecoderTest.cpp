// Decoder over real serialized monitor updates: one case per form, the edge cases of each, and the printers.
#include <gtest/gtest.h>

#include "intake/Decoder.h"
#include "intake/TypeNames.h"
#include "support/LogCapture.h"
#include "zantix/qor/tolvar/config.pb.h"
#include "zantix/qor/tolvar/l2.pb.h"
#include "zantix/qor/tolvar/l3.pb.h"
#include "zantix/qor/tolvar/ops.pb.h"
#include "zantix/qor/tolvar/security.pb.h"
#include "zantix/qor/tolvar/services.pb.h"

namespace VevUroro {
namespace {

namespace tv = zantix::qor::tolvar;

tv::UuidMsg Uuid(uint64_t low) {
  tv::UuidMsg id;
  id.set_high(0xabc);
  id.set_low(low);
  return id;
}

template <typename Op>
tv::MonitorUpdateMsg Update(tv::ObjectType type, const Op& op, const google::protobuf::Message* newBody,
                            const google::protobuf::Message* oldBody) {
  tv::MonitorUpdateMsg update;
  update.set_object_type(type);
  update.set_op_message(op.SerializeAsString());
  if (newBody) update.set_new_object_body(newBody->SerializeAsString());
  if (oldBody) update.set_old_object_body(oldBody->SerializeAsString());
  return update;
}

tv::ArpEntryMsg Arp(uint32_t ip, uint64_t mac) {
  tv::ArpEntryMsg entry;
  entry.mutable_ip()->set_ipv4(ip);
  entry.mutable_mac()->set_mac(mac);
  return entry;
}

TEST(TypeNamesTest, PrintsNamesAndUnknownTexts) {
  EXPECT_EQ(ObjTypeToString(27), "LOG_SWITCH_FIB");
  EXPECT_EQ(ObjTypeToString(9999), "UNKNOWN (Put more into ObjTypeToString)");
  EXPECT_EQ(PropertyTypeToString(62), "LSP_IS_HYD_TKM");
  EXPECT_EQ(PropertyTypeToString(500), "CONTINER_LOGICAL_SWITCH_PORT");
  EXPECT_EQ(PropertyTypeToString(7), "UNKNOWN (Put more into PropertyTypeToString)");
  EXPECT_EQ(PBOpTypeToString(12), "UPDATE");
  EXPECT_EQ(PBOpTypeToString(13), "UNKNOWN (Put more into PBOpTypeToString)");
  EXPECT_EQ(PBOpTypeToString(0xffffffffu), "UNKNOWN (Put more into PBOpTypeToString)");
  EXPECT_EQ(CompTypeToString(1), "CONFIGCACHE");
  EXPECT_EQ(CompTypeToString(11), "BFD");
  EXPECT_EQ(CompTypeToString(0), "UNKNOWN (Put more into CompTypeToString)");
  EXPECT_EQ(CompTypeToString(12), "UNKNOWN (Put more into CompTypeToString)");
}

TEST(DecoderTest, WholeObjectSetGoesToEveryTargetWithIdAndSpan) {
  tv::RuleMsg rule;
  *rule.mutable_id() = Uuid(7);
  tv::RuleOpMsg op;
  op.set_op(tv::SET);
  tv::MonitorUpdateMsg update = Update(tv::RULE, op, &rule, nullptr);
  update.mutable_span_context()->set_high_trace_id(1);
  update.mutable_span_context()->set_span_id(2);

  TransactionEntries pending;
  Decoder::DecodeInto(update, pending);
  ASSERT_EQ(pending.size(), 2u);
  for (ComponentType target : {DFW, IDS}) {
    ASSERT_EQ(pending[target].size(), 1u);
    const TolvarUpdateMsg& entry = pending[target].front();
    EXPECT_EQ(entry.objectType, tv::RULE);
    EXPECT_EQ(entry.objectId, Uuid(7).SerializeAsString());
    EXPECT_EQ(entry.propertyType, 0);
    EXPECT_EQ(entry.value, rule.SerializeAsString());
    EXPECT_EQ(entry.operation, TolvarUpdateMsg::OP_SET);
    EXPECT_EQ(entry.spanContext, update.span_context().SerializeAsString());
  }
}

TEST(DecoderTest, RuleSectionsAndSignaturesAreLoggedInTheirOwnWords) {
  qor::test::LogCapture log;
  tv::RuleSectionMsg section;
  *section.mutable_id() = Uuid(4);
  section.set_priority(17);
  tv::RuleSectionOpMsg sectionOp;
  sectionOp.set_op(tv::SET);
  Decoder::Decode(Update(tv::RULE_SECTION, sectionOp, &section, nullptr));
  EXPECT_EQ(log.Count({"Decoder: Received DFW RuleSectionMsg msg (Operation SET): ", "priority: 17", ", pri: 17"}), 1u);

  tv::IdsSignaturesMsg signatures;
  *signatures.mutable_id() = Uuid(5);
  signatures.set_version("2.1");
  tv::IdsSignaturesOpMsg signaturesOp;
  signaturesOp.set_op(tv::CLEAR);
  Decoder::Decode(Update(tv::IDS_SIGNATURES, signaturesOp, nullptr, &signatures));
  EXPECT_EQ(log.Count("Decoder: Received IdsSignaturesMsg msg (Op: CLEAR), ID: 00000000-0000-0abc-0000-000000000005"),
            1u);
  EXPECT_EQ(log.Count("Decoder: Received RULE_SECTION"), 0u);
  EXPECT_EQ(log.Count("Decoder: Received IDS_SIGNATURES"), 0u);
}

TEST(DecoderTest, ClearOfRuleWithoutOldBodyWarnsOnceAndGivesNothing) {
  qor::test::LogCapture log;
  tv::RuleOpMsg op;
  op.set_op(tv::CLEAR);
  EXPECT_TRUE(Decoder::Decode(Update(tv::RULE, op, nullptr, nullptr)).empty());
  EXPECT_EQ(log.Count("Decoder: No old_object_body in CLEAR RuleMsg"), 1u);

  // With the old body, the clear entry carries it.
  tv::RuleMsg rule;
  *rule.mutable_id() = Uuid(7);
  auto groups = Decoder::Decode(Update(tv::RULE, op, nullptr, &rule));
  ASSERT_EQ(groups.size(), 1u);
  ASSERT_EQ(groups[0].entries.size(), 1u);
  EXPECT_EQ(groups[0].entries.front().operation, TolvarUpdateMsg::OP_CLEAR);
  EXPECT_EQ(groups[0].entries.front().value, rule.SerializeAsString());
  EXPECT_EQ(groups[0].entries.front().objectId, Uuid(7).SerializeAsString());
}

TEST(DecoderTest, ClearOfSetOnlyTypesGivesNothing) {
  tv::BarrierMsg barrier;
  *barrier.mutable_id() = Uuid(1);
  tv::BarrierOpMsg op;
  op.set_op(tv::CLEAR);
  EXPECT_TRUE(Decoder::Decode(Update(tv::BARRIER, op, nullptr, &barrier)).empty());
  op.set_op(tv::SET);
  auto groups = Decoder::Decode(Update(tv::BARRIER, op, &barrier, nullptr));
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].targets, (std::vector<ComponentType>{DFW, IDS, L3CACHE}));
}

TEST(DecoderTest, PortSetEmitsEveryPropertyInOrderWithClearsAndNoRealtime) {
  qor::test::LogCapture log;
  tv::LogSwitchPortConfigMsg port;
  *port.mutable_id() = Uuid(2);
  *port.mutable_switch_id() = Uuid(3);
  port.set_admin_state_up(true);
  port.set_is_hyd_tkm(false);
  port.mutable_realtime_profinet()->set_enabled(true);
  port.mutable_extra_configs()->add_configs()->set_key("k");
  tv::LogSwitchPortConfigOpMsg op;
  op.set_op(tv::SET);
  auto groups = Decoder::Decode(Update(tv::LOG_SWITCH_PORT_CONFIG, op, &port, nullptr));
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].targets, std::vector<ComponentType>{CONFIGCACHE});
  std::vector<int32_t> order;
  std::map<int32_t, const TolvarUpdateMsg*> byProperty;
  for (const auto& entry : groups[0].entries) {
    order.push_back(entry.propertyType);
    byProperty[entry.propertyType] = &entry;
  }
  EXPECT_EQ(order, (std::vector<int32_t>{50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 62, 60, 61, 63}));
  EXPECT_EQ(byProperty[54]->operation, TolvarUpdateMsg::OP_CLEAR);  // no LSP_QOS
  EXPECT_TRUE(byProperty[54]->value.empty());
  EXPECT_EQ(byProperty[50]->operation, TolvarUpdateMsg::OP_SET);
  EXPECT_EQ(byProperty[62]->operation, TolvarUpdateMsg::OP_SET);  // present although false
  tv::LogSwitchPortConfigMsg single;
  ASSERT_TRUE(single.ParseFromString(byProperty[50]->value));
  EXPECT_TRUE(single.has_switch_id());
  EXPECT_FALSE(single.has_admin_state_up());
  EXPECT_FALSE(single.has_id());
  EXPECT_EQ(log.Count("Decoder: Feature switch EqorDpVswitchRT is disabled"), 1u);

  // A CLEAR is one whole-object clear.
  op.set_op(tv::CLEAR);
  groups = Decoder::Decode(Update(tv::LOG_SWITCH_PORT_CONFIG, op, nullptr, &port));
  ASSERT_EQ(groups.size(), 1u);
  ASSERT_EQ(groups[0].entries.size(), 1u);
  EXPECT_EQ(groups[0].entries.front().propertyType, 0);
  EXPECT_EQ(groups[0].entries.front().operation, TolvarUpdateMsg::OP_CLEAR);
}

TEST(DecoderTest, ProfileWithoutTypeGivesNothing) {
  qor::test::LogCapture log;
  tv::ProfileMsg profile;
  *profile.mutable_id() = Uuid(4);
  tv::ProfileOpMsg op;
  op.set_op(tv::SET);
  EXPECT_TRUE(Decoder::Decode(Update(tv::PROFILE, op, &profile, nullptr)).empty());
  EXPECT_EQ(log.Count("Decoder: Received PROFILE msg without profile_type!"), 1u);
  profile.set_profile_type(9);
  auto groups = Decoder::Decode(Update(tv::PROFILE, op, &profile, nullptr));
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].entries.size(), 3u);  // 450, 451, 452
}

TEST(DecoderTest, ArpUpdateGivesRemoveThenInsert) {
  tv::ArpTableConfigMsg before, after;
  *before.mutable_id() = Uuid(5);
  *before.mutable_router_port_id() = Uuid(6);
  after = before;
  *before.add_entries() = Arp(1, 0x10);
  *after.add_entries() = Arp(1, 0x20);
  tv::ArpTableConfigOpMsg op;
  op.set_op(tv::UPDATE);
  tv::ElementOpMsg* element = op.add_entries_ops();
  element->set_op(tv::UPDATE);
  element->set_index(0);
  element->set_old_index(0);
  auto groups = Decoder::Decode(Update(tv::ARP_TABLE_CONFIG, op, &after, &before));
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].targets, std::vector<ComponentType>{L3CACHE});
  ASSERT_EQ(groups[0].entries.size(), 2u);
  const TolvarUpdateMsg& removed = groups[0].entries.front();
  const TolvarUpdateMsg& inserted = groups[0].entries.back();
  EXPECT_EQ(removed.operation, TolvarUpdateMsg::OP_REMOVE);
  EXPECT_EQ(removed.propertyType, tv::Property::L3_ARP_ENTRY);
  EXPECT_EQ(removed.value, Arp(1, 0x10).SerializeAsString());
  EXPECT_EQ(inserted.operation, TolvarUpdateMsg::OP_INSERT);
  EXPECT_EQ(inserted.value, Arp(1, 0x20).SerializeAsString());
}

TEST(DecoderTest, ElementCountMismatchSkipsOnlyThatElement) {
  qor::test::LogCapture log;
  tv::FibMsg fib;
  *fib.mutable_id() = Uuid(8);
  *fib.mutable_router_id() = Uuid(9);
  fib.mutable_ip_prefix()->set_prefix_length(24);
  fib.add_next_hops()->mutable_ip()->set_ipv4(1);
  tv::FibOpMsg op;
  op.set_op(tv::SET);
  op.add_next_hops_ops()->set_op(tv::INSERT);  // index 0: present
  tv::ElementOpMsg* bad = op.add_next_hops_ops();
  bad->set_op(tv::INSERT);
  bad->set_index(3);  // beyond the body
  tv::ElementOpMsg* badOld = op.add_next_hops_ops();
  badOld->set_op(tv::REMOVE);
  badOld->set_index(0);  // there is no old body
  auto groups = Decoder::Decode(Update(tv::FIB, op, &fib, nullptr));
  ASSERT_EQ(groups.size(), 1u);
  std::vector<std::pair<int32_t, int32_t>> got;
  for (const auto& entry : groups[0].entries) got.push_back({entry.propertyType, entry.operation});
  EXPECT_EQ(got,
            (std::vector<std::pair<int32_t, int32_t>>{
                {400, TolvarUpdateMsg::OP_SET}, {401, TolvarUpdateMsg::OP_SET}, {402, TolvarUpdateMsg::OP_INSERT}}));
  EXPECT_EQ(log.Count({"Decoder: FIB next hop, msg size not match, op msg index 3", "LCP00028"}), 1u);
  EXPECT_EQ(log.Count({"Decoder: FIB next hop, old msg size not match, op msg index 0 old msg index 0", "LCP00028"}),
            1u);
}

TEST(DecoderTest, FibSetWithoutRouterLogsAndNextHopWithoutAddressIsReported) {
  qor::test::LogCapture log;
  tv::FibMsg fib;
  *fib.mutable_id() = Uuid(8);
  fib.mutable_ip_prefix()->set_prefix_length(24);
  fib.add_next_hops();
  tv::FibOpMsg op;
  op.set_op(tv::SET);
  op.add_next_hops_ops()->set_op(tv::APPEND);
  auto groups = Decoder::Decode(Update(tv::FIB, op, &fib, nullptr));
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].entries.size(), 2u);  // prefix and the next hop
  EXPECT_EQ(log.Count("Decoder: FIB router ID, set has no value, monitor update msg: "), 1u);
  EXPECT_EQ(log.Count("Decoder: Fib next hop msg has no IP/blackhole/static route: "), 1u);
}

TEST(DecoderTest, LogicalSwitchFibSetAndClear) {
  qor::test::LogCapture log;
  tv::LogSwitchFibMsg fib;
  *fib.mutable_id() = Uuid(10);
  *fib.mutable_logical_switch_id() = Uuid(11);
  fib.add_vteps()->set_label(5);
  tv::LogSwitchFibOpMsg op;
  op.set_op(tv::SET);
  op.add_vteps_ops()->set_op(tv::INSERT);
  auto groups = Decoder::Decode(Update(tv::LOG_SWITCH_FIB, op, &fib, nullptr));
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].targets, std::vector<ComponentType>{L2CACHE});
  ASSERT_EQ(groups[0].entries.size(), 2u);
  EXPECT_EQ(groups[0].entries.front().propertyType, 0);
  tv::LogSwitchFibMsg scalar;
  ASSERT_TRUE(scalar.ParseFromString(groups[0].entries.front().value));
  EXPECT_EQ(scalar.vteps_size(), 0);
  EXPECT_EQ(groups[0].entries.back().propertyType, tv::Property::L2_VTEP);
  EXPECT_EQ(log.Count("Decoder: Received SET operation for logical switch ID"), 1u);

  op.set_op(tv::CLEAR);
  op.mutable_vteps_ops(0)->set_op(tv::REMOVE);
  groups = Decoder::Decode(Update(tv::LOG_SWITCH_FIB, op, nullptr, &fib));
  ASSERT_EQ(groups.size(), 1u);
  ASSERT_EQ(groups[0].entries.size(), 2u);
  EXPECT_EQ(groups[0].entries.front().operation, TolvarUpdateMsg::OP_CLEAR);
  EXPECT_EQ(groups[0].entries.back().operation, TolvarUpdateMsg::OP_REMOVE);
  EXPECT_EQ(groups[0].entries.front().objectId, Uuid(10).SerializeAsString());
}

TEST(DecoderTest, EntityGroupRelationIsDecodedPerPropertyAndWhole) {
  tv::EntityGroupRelationMsg relation;
  *relation.mutable_id() = Uuid(12);
  *relation.mutable_continer_logical_switch_port() = Uuid(13);
  tv::EntityGroupRelationOpMsg op;
  op.set_op(tv::SET);
  TransactionEntries pending;
  Decoder::DecodeInto(Update(tv::ENTITY_GROUP_RELATION, op, &relation, nullptr), pending);
  ASSERT_EQ(pending.size(), 3u);
  ASSERT_EQ(pending[CONFIGCACHE].size(), 1u);
  EXPECT_EQ(pending[CONFIGCACHE].front().propertyType, tv::Property::CONTINER_LOGICAL_SWITCH_PORT);
  EXPECT_EQ(pending[DFW].front().propertyType, 0);
  EXPECT_EQ(pending[LB].front().value, relation.SerializeAsString());
}

TEST(DecoderTest, DaVifCarriesItsPropertyAndRouterWithoutProfilesIsDecoded) {
  qor::test::LogCapture log;
  tv::DaVifMsg vif;
  tv::DaVifOpMsg op;
  op.set_op(tv::SET);
  vif.set_id("vif-1");
  auto groups = Decoder::Decode(Update(tv::DA_VIF, op, &vif, nullptr));
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].entries.front().propertyType, tv::Property::DA_VIF);
  EXPECT_EQ(log.Count("Decoder: Received DA_VIF msg with no bindings"), 1u);

  tv::LogRouterConfigMsg router;
  *router.mutable_id() = Uuid(14);
  tv::LogRouterConfigOpMsg routerOp;
  routerOp.set_op(tv::SET);
  groups = Decoder::Decode(Update(tv::LOG_ROUTER_CONFIG, routerOp, &router, nullptr));
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(log.Count("Decoder: No Ndra Profile in LogRouterConfig."), 1u);
  EXPECT_EQ(log.Count("Decoder: No Dad Profile in LogRouterConfig."), 1u);
}

TEST(DecoderTest, GarbageAndUnfollowedTypesGiveNothing) {
  qor::test::LogCapture log;
  tv::MonitorUpdateMsg update;
  update.set_object_type(tv::RULE);
  update.set_op_message("\xff\xff\xff");
  EXPECT_TRUE(Decoder::Decode(update).empty());
  EXPECT_EQ(log.Count({"Decoder: Failed to parse RULE op message", "LCP00028"}), 1u);
  update.set_object_type(tv::VIF_STATE);  // written only
  update.clear_op_message();
  EXPECT_TRUE(Decoder::Decode(update).empty());
  EXPECT_FALSE(Decoder::Decodes(tv::VIF_STATE));
  EXPECT_TRUE(Decoder::Decodes(tv::LB_POOL));
}

}  // namespace
}  // namespace VevUroro
