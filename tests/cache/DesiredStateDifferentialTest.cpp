// The desired-state tables kept in step by deltas against the tables a fresh agent builds from a full sync of the
// same database: random transactions go into a real tolvard, and after each one the configuration, L2 and L3
// tables of the long-running pipeline must equal those of a fresh pipeline, and must equal what their observers
// were told. The seed is printed; QOR_DIFF_SEED and QOR_DIFF_ROUNDS replay a run (support/Differential.h).
#include <gtest/gtest.h>

#include "platform/tolvar/WireCodes.h"
#include "support/AgentCachePipeline.h"
#include "support/Differential.h"
#include "support/LogCapture.h"
#include "support/RandomDesiredState.h"
#include "tolvar/TolvardFixture.h"

namespace VevUroro {
namespace {

using qor::test::AgentCachePipeline;

TEST(DesiredStateDifferentialTest, TablesKeptInStepEqualAFreshFullSyncAfterEveryTransaction) {
  qor::test::LogCapture log(LOG_LEVEL_ERROR);
  qor::test::TempRoot root;
  qor::tolvar::test::TolvardProcess server(root.Path(), root.Path() + "/tolvar.db");
  AgentCachePipeline agent(server.Endpoint(), true);
  ASSERT_TRUE(agent.WaitFullSync());
  qor::test::DatabaseView database(server.Endpoint(), qor::test::RandomDesiredState::Types());
  qor::tolvar::TolvarDbClient writer("writer", server.Endpoint(), nullptr, nullptr, true, true, false);
  writer.SetCallTimeout(std::chrono::seconds(20));
  writer.StartAsync();
  uint32_t marker = 1;
  ASSERT_TRUE(writer.Modify({AgentCachePipeline::MarkerRequest(marker)}).ok());
  ASSERT_TRUE(agent.WaitMarker(marker));
  ASSERT_TRUE(database.WaitMarker(marker));

  qor::test::RandomDesiredState generator;
  size_t refused = 0;
  qor::test::RunDifferential(
      qor::test::DifferentialSettings::FromEnvironment(2000), [&](std::mt19937_64& rng, size_t) -> std::string {
        std::string text;
        auto requests = generator.Next(rng, database.Objects(), &text);
        requests.push_back(AgentCachePipeline::MarkerRequest(marker + 1));
        qor::rpc::Status status = writer.Modify(requests);
        if (status.ok()) {
          ++marker;
          if (!agent.WaitMarker(marker) || !database.WaitMarker(marker)) return "transaction not delivered: " + text;
        } else if (status.code() == static_cast<int32_t>(qor::tolvar::kCodeInvalidArgument)) {
          ++refused;
          text += " => refused: " + status.message();
        } else {
          return "transaction failed: " + status.message() + ": " + text;
        }
        qor::test::CacheTables tables = agent.Tables();
        std::string difference =
            qor::test::CompareCacheTables(tables, agent.Mirrors(), "the tables", "what their observers were told");
        AgentCachePipeline fresh(server.Endpoint(), false);
        if (!fresh.WaitFullSync()) return "no full sync for a fresh pipeline";
        difference += qor::test::CompareCacheTables(fresh.Tables(), tables, "a fresh full sync", "the kept tables");
        return difference.empty() ? std::string() : "after transaction [" + text + "]:" + difference;
      });
  std::cout << refused << " transactions refused by tolvard" << std::endl;
}

}  // namespace
}  // namespace VevUroro
