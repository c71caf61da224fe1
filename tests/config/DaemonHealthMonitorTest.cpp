// The daemon health monitor with a driven clock: the database client is a test double whose last activity, echo
// acceptance and echo answers the test sets; ticks are run by hand at the times the monitor asked for.
#include <gtest/gtest.h>

#include <vector>

#include "apps/config/DaemonHealthMonitor.h"
#include "support/LogCapture.h"

namespace VevUroro {
namespace {

constexpr int64_t kSecond = 1000000000LL;

class FakeDatabase : public IConfigDatabase {
 public:
  void Get(const std::vector<zantix::qor::tolvar::ObjectRequestMsg>&, GetCallback done) override {
    done({}, qor::rpc::Status(qor::rpc::StatusCode::UNAVAILABLE, "unused"));
  }
  bool EchoAsync(const std::string&, EchoCallback done) override {
    ++echoes;
    if (!accept) return false;
    pending.push_back(std::move(done));
    return true;
  }
  int64_t LastActivitySeconds() const override { return activity; }
  // The server answers every echo waiting for it.
  void Answer(bool ok = true) {
    auto waiting = std::move(pending);
    pending.clear();
    for (auto& done : waiting) {
      done("ping", ok ? qor::rpc::Status() : qor::rpc::Status(qor::rpc::StatusCode::UNAVAILABLE, "gone"));
    }
  }

  int64_t activity = 0;
  bool accept = true;
  int echoes = 0;
  std::vector<EchoCallback> pending;
};

class DaemonHealthMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DaemonHealthMonitor::Collaborators c;
    c.database = database;
    c.report = [this](uint32_t state, uint32_t daemon) { reports.emplace_back(state, daemon); };
    c.nowNs = [this] { return now; };
    c.schedule = [this](uint64_t seconds) { armed.push_back(seconds); };
    monitor = new DaemonHealthMonitor(c);
  }
  void TearDown() override {
    monitor->Stop();
    // An echo left unanswered holds the monitor, which holds this database: drop it as a closed connection would.
    database->pending.clear();
  }
  // Advances the clock by what the monitor asked for and runs the tick.
  void Tick() {
    ASSERT_FALSE(armed.empty());
    now += static_cast<int64_t>(armed.back()) * kSecond;
    monitor->Tick();
  }
  int Count(uint32_t state, uint32_t daemon) const {
    int n = 0;
    for (const auto& report : reports) n += report == std::make_pair(state, daemon) ? 1 : 0;
    return n;
  }

  qor::test::LogCapture log;
  std::shared_ptr<FakeDatabase> database = std::make_shared<FakeDatabase>();
  qor::RefPtr<DaemonHealthMonitor> monitor;
  std::vector<std::pair<uint32_t, uint32_t>> reports;
  std::vector<uint64_t> armed;
  int64_t now = 1000000 * kSecond;
};

TEST_F(DaemonHealthMonitorTest, StartReportsOnceAndTicksAfterOneThenEveryFiveSeconds) {
  database->activity = now / kSecond;
  monitor->Start();
  EXPECT_EQ(reports, (std::vector<std::pair<uint32_t, uint32_t>>{{1, DaemonHealthMonitor::kStartDaemon}}));
  EXPECT_EQ(armed, std::vector<uint64_t>{1});
  Tick();
  EXPECT_EQ(armed, (std::vector<uint64_t>{1, 5}));
  EXPECT_EQ(database->echoes, 1);
  EXPECT_EQ(monitor->EchoState(), 1);
  EXPECT_EQ(Count(1, DaemonHealthMonitor::kDatabaseDaemon), 1);
  EXPECT_TRUE(log.Has({"DaemonHealthMonitor: tolvar connected"}));
  // An echo outstanding within the window: no second echo, no second report.
  Tick();
  EXPECT_EQ(database->echoes, 1);
  EXPECT_EQ(Count(1, DaemonHealthMonitor::kDatabaseDaemon), 1);
}

TEST_F(DaemonHealthMonitorTest, DatabaseGoneForOverSixtySecondsIsReportedOnceAndItsReturnOnce) {
  database->activity = now / kSecond;
  monitor->Start();
  Tick();
  database->Answer();
  ASSERT_EQ(Count(1, DaemonHealthMonitor::kDatabaseDaemon), 1);
  const int64_t lastSign = now;
  // tolvard stops: no activity, the echo sent next waits for a connection that does not come.
  for (int i = 0; i < 40; ++i) {
    Tick();
    const bool overSixty = now - lastSign > 60 * kSecond;
    EXPECT_EQ(Count(0, DaemonHealthMonitor::kDatabaseDaemon), overSixty ? 1 : 0)
        << "after " << (now - lastSign) / kSecond << " s";
  }
  EXPECT_EQ(Count(0, DaemonHealthMonitor::kDatabaseDaemon), 1) << "one report per transition";
  EXPECT_EQ(database->echoes, 2) << "no echo while one is outstanding";
  EXPECT_EQ(log.Count("DaemonHealthMonitor: tolvar disconnected"), 1u);
  EXPECT_GE(log.Count("DaemonHealthMonitor: tolvar echo timeout (60 sec)"), 1u);

  // tolvard returns: the waiting echo is answered, the next tick says "connected", once.
  database->Answer();
  database->activity = now / kSecond;
  Tick();
  EXPECT_EQ(Count(1, DaemonHealthMonitor::kDatabaseDaemon), 2);
  for (int i = 0; i < 5; ++i) {
    Tick();
    database->Answer();
  }
  EXPECT_EQ(Count(1, DaemonHealthMonitor::kDatabaseDaemon), 2);
  EXPECT_EQ(Count(0, DaemonHealthMonitor::kDatabaseDaemon), 1);
}

TEST_F(DaemonHealthMonitorTest, EchoThatCannotBeSentReportsDisconnectedEvenWithRecentActivity) {
  database->activity = now / kSecond;
  monitor->Start();
  Tick();
  database->Answer();
  ASSERT_EQ(Count(1, DaemonHealthMonitor::kDatabaseDaemon), 1);
  database->accept = false;
  database->activity = now / kSecond;
  Tick();
  EXPECT_EQ(Count(0, DaemonHealthMonitor::kDatabaseDaemon), 1);
  EXPECT_TRUE(log.Has({"DaemonHealthMonitor: ping tolvar failed"}));
  Tick();
  EXPECT_EQ(Count(0, DaemonHealthMonitor::kDatabaseDaemon), 1);
}

TEST_F(DaemonHealthMonitorTest, FailedEchoLeavesTheLastSignOfLifeWhereItWas) {
  database->activity = now / kSecond;
  monitor->Start();
  Tick();
  database->Answer(false);
  EXPECT_TRUE(log.Has({"DaemonHealthMonitor::TolvarEchoCB: status"}));
  EXPECT_EQ(monitor->EchoState(), 2);
  // Without activity, only the activity of the start counts: 60 s later the database is judged gone.
  int ticks = 0;
  while (Count(0, DaemonHealthMonitor::kDatabaseDaemon) == 0 && ticks < 20) {
    Tick();
    database->Answer(false);
    ++ticks;
  }
  EXPECT_EQ(Count(0, DaemonHealthMonitor::kDatabaseDaemon), 1);
  EXPECT_EQ(ticks, 12) << "the first tick whose last sign of life is over 60 s old";
}

TEST_F(DaemonHealthMonitorTest, StopEndsTheTicks) {
  monitor->Start();
  monitor->Stop();
  size_t before = reports.size();
  monitor->Tick();
  EXPECT_EQ(reports.size(), before);
}

}  // namespace
}  // namespace VevUroro
