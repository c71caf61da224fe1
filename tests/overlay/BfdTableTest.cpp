// The reference-counted BFD table on its own: users, refusals and their log lines.
#include <gtest/gtest.h>

#include "apps/overlay/BfdTable.h"
#include "support/LogCapture.h"

namespace VevUroro {
namespace {

BfdVtep V4(uint8_t last, uint32_t label) {
  BfdVtep vtep;
  vtep.ip.bytes = {10, 0, 0, last};
  vtep.label = label;
  return vtep;
}

BfdVtep V6(uint8_t last, uint32_t label) {
  BfdVtep vtep;
  vtep.ip.isIPv6 = true;
  vtep.ip.bytes = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, last};
  vtep.label = label;
  return vtep;
}

const BfdSessionKey kKey{V4(1, 1), V4(2, 2), kBfdTunnelSession};

TEST(BfdTableTest, SecondUserKeepsOneEntryAndTheLastUserRemovesIt) {
  qor::test::LogCapture log(LOG_LEVEL_INFO);
  BfdTable table;
  EXPECT_EQ(table.Add(kKey, {"ls-1", "ls-1"}, 0), BfdTableResult::kCreated);
  EXPECT_TRUE(
      log.Has({"AddBFDSessionToBFDTable: Create BFD table entry (localIP: 10.0.0.1, remoteIP:10.0.0.2, "
               "localLabel: 1, remoteLabel: 2, tnVgLabel: 0, sessionType: 1) and insert remoteID: ls-1(tunnel), "
               "localID: ls-1 to it."}));
  EXPECT_EQ(table.Add(kKey, {"ls-1", "rd-1"}, 0), BfdTableResult::kReferenceAdded);
  EXPECT_TRUE(
      log.Has({"BFDTable: AddBFDSessionToBFDTable: Insert remoteID: rd-1(tunnel), localID: ls-1 to BFD table "
               "entry (localIP: 10.0.0.1, remoteIP: 10.0.0.2, localLabel: 1, remoteLabel: 2, sessionType: 1)"}));
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(table.entries().begin()->second.references.size(), 2u);

  EXPECT_EQ(table.Delete(kKey, {"ls-1", "ls-1"}), BfdTableResult::kReferenceRemoved);
  EXPECT_EQ(table.size(), 1u);
  EXPECT_EQ(table.Delete(kKey, {"ls-1", "rd-1"}), BfdTableResult::kErased);
  EXPECT_EQ(table.size(), 0u);
}

TEST(BfdTableTest, KeysDifferInEveryField) {
  BfdTable table;
  const BfdReference user{"ls-1", "ls-1"};
  EXPECT_EQ(table.Add(kKey, user, 0), BfdTableResult::kCreated);
  EXPECT_EQ(table.Add({V4(1, 1), V4(2, 3), kBfdTunnelSession}, user, 0), BfdTableResult::kCreated);
  EXPECT_EQ(table.Add({V4(1, 4), V4(2, 2), kBfdTunnelSession}, user, 0), BfdTableResult::kCreated);
  EXPECT_EQ(table.Add({V4(1, 1), V4(3, 2), kBfdTunnelSession}, user, 0), BfdTableResult::kCreated);
  EXPECT_EQ(table.Add({V4(1, 1), V4(2, 2), kBfdVtepGroupSession}, user, 7), BfdTableResult::kCreated);
  EXPECT_EQ(table.size(), 5u);
}

TEST(BfdTableTest, ReferenceAddedTwiceIsRefused) {
  qor::test::LogCapture log(LOG_LEVEL_INFO);
  BfdTable table;
  ASSERT_EQ(table.Add(kKey, {"ls-1", "ls-1"}, 0), BfdTableResult::kCreated);
  EXPECT_EQ(table.Add(kKey, {"ls-1", "ls-1"}, 0), BfdTableResult::kRefused);
  EXPECT_TRUE(
      log.Has({"BFDTable has contained valid bfd session (10.0.0.1 --> 10.0.0.2)for localID ls-1 --> remote ID "
               "ls-1 to be added, tnVgLabel : 0",
               "LCP00007"}));
  EXPECT_EQ(table.entries().begin()->second.references.size(), 1u);
}

TEST(BfdTableTest, DeletingAReferenceThatWasNeverAddedIsRefused) {
  qor::test::LogCapture log(LOG_LEVEL_INFO);
  BfdTable table;
  EXPECT_EQ(table.Delete(kKey, {"ls-1", "ls-1"}), BfdTableResult::kRefused);
  ASSERT_EQ(table.Add(kKey, {"ls-1", "ls-1"}, 0), BfdTableResult::kCreated);
  EXPECT_EQ(table.Delete(kKey, {"ls-2", "ls-2"}), BfdTableResult::kRefused);
  EXPECT_EQ(log.Count({"BFDTable does not contain valid bfd session (10.0.0.1 --> 10.0.0.2)for localID",
                       "to be deleted, "
                       "session type is : 1",
                       "LCP00007"}),
            2u);
  EXPECT_EQ(table.size(), 1u);
}

TEST(BfdTableTest, EndpointsOfDifferentFamiliesAreRefused) {
  qor::test::LogCapture log(LOG_LEVEL_INFO);
  BfdTable table;
  const BfdSessionKey mixed{V4(1, 1), V6(2, 2), kBfdTunnelSession};
  EXPECT_EQ(table.Add(mixed, {"ls-1", "ls-1"}, 0), BfdTableResult::kRefused);
  EXPECT_TRUE(
      log.Has({"BFDTable: AddBFDSessionToBFDTable type error: Local IP type is v4: true, RemoteIP type is v4: "
               "false"}));
  EXPECT_EQ(table.Delete({V6(1, 1), V4(2, 2), kBfdTunnelSession}, {"ls-1", "ls-1"}), BfdTableResult::kRefused);
  EXPECT_TRUE(log.Has({"type error: Local IP type is v4: false, RemoteIP type is v4: true"}));
  EXPECT_EQ(table.size(), 0u);
  // Two IPv6 endpoints are fine.
  EXPECT_EQ(table.Add({V6(1, 1), V6(2, 2), kBfdTunnelSession}, {"ls-1", "ls-1"}, 0), BfdTableResult::kCreated);
}

}  // namespace
}  // namespace VevUroro
