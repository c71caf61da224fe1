// tolvard's group commit: the transactions of many clients share syncs to disk, yet each stays atomic, is answered
// only once durable, reaches the monitors in the order it was committed, and a group that cannot be written leaves
// nothing behind.
#include <sqlite3.h>

#include <filesystem>
#include <future>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "tests/tolvar/TolvardFixture.h"
#include "tools/tolvard/ObjectStore.h"

namespace qor::tolvar::test {
namespace {

constexpr uint32_t kLsp = tv::LOG_SWITCH_PORT_CONFIG;

tv::LogSwitchPortConfigMsg Port(uint64_t id, uint32_t cos) {
  tv::LogSwitchPortConfigMsg port;
  *port.mutable_id() = Uuid(id);
  port.mutable_qos()->set_cos(cos);
  return port;
}

TEST_F(TolvardTest, ConcurrentWritersGetDurableAtomicTransactionsInCommitOrder) {
  Recorder recorder;
  auto monitor = Monitor(recorder, {kLsp});
  ASSERT_TRUE(recorder.WaitBarriers(1));
  constexpr int kWriters = 8;
  constexpr uint32_t kRounds = 30;
  std::vector<std::thread> writers;
  std::atomic<int> unexpected{0};
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      auto client = NewClient("writer" + std::to_string(w));
      client->StartAsync();
      const uint64_t mine = 100 * static_cast<uint64_t>(w + 1);
      for (uint32_t round = 1; round <= kRounds; ++round) {
        // Two ports in one transaction: a monitor must never see one changed without the other.
        if (!client->Modify({Put(kLsp, Port(mine, round)), Put(kLsp, Port(mine + 1, round))}).ok()) ++unexpected;
        // A transaction that fails its check (a patch of a missing object) takes nothing with it.
        tv::LogSwitchPortConfigMsg value = Port(0, 99);
        auto failing =
            client->Modify({Put(kLsp, Port(mine + 2, round)), Patch(kLsp, UuidBytes(mine + 50), 54, tv::SET, &value)});
        if (failing.ok()) ++unexpected;
      }
      client->Stop();
    });
  }
  for (auto& writer : writers) writer.join();
  EXPECT_EQ(unexpected.load(), 0);

  // Each writer's ports reach the monitor in its order, the two ports of a transaction together.
  const size_t expected = kWriters * kRounds * 2;
  ASSERT_TRUE(qor::test::WaitFor([&] { return recorder.Entries().size() >= expected; }));
  std::map<uint64_t, uint32_t> last;
  std::map<uint64_t, uint64_t> pairOpen;  // first port of a writer -> round seen for it and not yet for its pair
  for (const auto& entry : recorder.Entries()) {
    tv::LogSwitchPortConfigMsg port;
    ASSERT_TRUE(port.ParseFromString(entry.update.new_object_body()));
    const uint64_t id = port.id().low();
    const uint32_t cos = port.qos().cos();
    ASSERT_NE(id % 100, 2u) << "a port of a failed transaction was published";
    EXPECT_EQ(cos, last[id] + 1) << "port " << id;
    last[id] = cos;
    const uint64_t first = id - id % 100;
    if (id % 100 == 0) {
      EXPECT_EQ(pairOpen.count(first), 0u) << "the first port changed again before its pair";
      pairOpen[first] = cos;
    } else {
      ASSERT_EQ(pairOpen.count(first), 1u);
      EXPECT_EQ(pairOpen[first], cos);
      pairOpen.erase(first);
    }
  }
  EXPECT_EQ(recorder.Entries().size(), expected);

  // Every acknowledged transaction survives SIGKILL; the failed ones left nothing.
  monitor->Stop();
  _server->Kill9();
  _server = std::make_unique<TolvardProcess>(_root.Path(), _db);
  Recorder after;
  auto reader = Monitor(after, {kLsp});
  ASSERT_TRUE(after.WaitBarriers(1));
  std::map<uint64_t, uint32_t> stored;
  for (const auto& update : after.Between(0)) {
    tv::LogSwitchPortConfigMsg port;
    ASSERT_TRUE(port.ParseFromString(update.new_object_body()));
    stored[port.id().low()] = port.qos().cos();
  }
  EXPECT_EQ(stored.size(), static_cast<size_t>(kWriters * 2));
  for (const auto& [id, cos] : stored) EXPECT_EQ(cos, kRounds) << "port " << id;
}

TEST_F(TolvardTest, AnAnswerNeverOvertakesTheTransactionBeforeIt) {
  auto writer = NewClient("writer");
  writer->StartAsync();
  for (uint32_t round = 1; round <= 20; ++round) {
    ASSERT_TRUE(writer->Modify({Put(kLsp, Port(7, round))}).ok());
    // A get right after the acknowledgement sees the transaction.
    tv::ObjectRequestMsg request;
    request.set_object_type(static_cast<tv::ObjectType>(kLsp));
    request.set_object_id(UuidBytes(7));
    std::promise<std::vector<tv::TypedObjectMsg>> got;
    writer->GetAsync(
        {request}, [&](const std::vector<tv::TypedObjectMsg>& objects, const rpc::Status&) { got.set_value(objects); },
        1);
    auto future = got.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    auto objects = future.get();
    ASSERT_EQ(objects.size(), 1u);
    tv::LogSwitchPortConfigMsg port;
    ASSERT_TRUE(port.ParseFromString(objects[0].object_body()));
    EXPECT_EQ(port.qos().cos(), round);
  }
}

class ObjectStoreTest : public ::testing::Test {
 protected:
  static ObjectChange Change(const std::string& id, std::optional<std::string> before,
                             std::optional<std::string> after) {
    return ObjectChange{ObjectKey{1, kLsp, id}, std::move(before), std::move(after)};
  }
  qor::test::TempRoot root;
  std::string path = root.Path() + "/store.db";
};

TEST_F(ObjectStoreTest, AGroupThatCannotBeWrittenIsUndoneInMemory) {
  std::string error;
  {
    ObjectStore store;
    ASSERT_TRUE(store.Open(path, &error)) << error;
    ASSERT_TRUE(store.Commit({Change("a", std::nullopt, "a1"), Change("b", std::nullopt, "b1")}, &error)) << error;

    // Another connection holds the write lock: the group's write fails.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    store.Stage({Change("a", "a1", "a2"), Change("c", std::nullopt, "c1")});
    store.Stage({Change("a", "a2", "a3"), Change("b", "b1", std::nullopt)});  // a later transaction of the group
    EXPECT_EQ(*store.Find(ObjectKey{1, kLsp, "a"}), "a3");  // what the group's next transaction is checked against
    EXPECT_FALSE(store.CommitStaged(&error));
    EXPECT_FALSE(store.HasStaged());
    ASSERT_NE(store.Find(ObjectKey{1, kLsp, "a"}), nullptr);
    EXPECT_EQ(*store.Find(ObjectKey{1, kLsp, "a"}), "a1");
    ASSERT_NE(store.Find(ObjectKey{1, kLsp, "b"}), nullptr);
    EXPECT_EQ(*store.Find(ObjectKey{1, kLsp, "b"}), "b1");
    EXPECT_EQ(store.Find(ObjectKey{1, kLsp, "c"}), nullptr);
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);

    // The next group goes through.
    store.Stage({Change("c", std::nullopt, "c2")});
    store.Stage({Change("a", "a1", std::nullopt)});
    ASSERT_TRUE(store.CommitStaged(&error)) << error;
  }
  ObjectStore reopened;
  ASSERT_TRUE(reopened.Open(path, &error)) << error;
  EXPECT_EQ(reopened.Find(ObjectKey{1, kLsp, "a"}), nullptr);
  ASSERT_NE(reopened.Find(ObjectKey{1, kLsp, "b"}), nullptr);
  EXPECT_EQ(*reopened.Find(ObjectKey{1, kLsp, "b"}), "b1");
  ASSERT_NE(reopened.Find(ObjectKey{1, kLsp, "c"}), nullptr);
  EXPECT_EQ(*reopened.Find(ObjectKey{1, kLsp, "c"}), "c2");
  EXPECT_EQ(reopened.Objects().size(), 2u);
}

// Groups of transactions over a few keys, each key created, replaced and removed many times within a group (the
// file is written in key order, not in the order the changes were staged): the file, read back, always holds what
// memory holds.
TEST_F(ObjectStoreTest, TheFileHoldsTheLastChangeOfEveryKeyOfAGroup) {
  std::string error;
  ObjectStore store;
  ASSERT_TRUE(store.Open(path, &error)) << error;
  std::mt19937 random(20261207);
  std::map<std::string, std::string> model;
  int changes = 0;
  for (int group = 0; group < 60; ++group) {
    const int transactions = 1 + static_cast<int>(random() % 6);
    for (int t = 0; t < transactions; ++t) {
      std::vector<ObjectChange> transaction;
      std::set<std::string> touched;  // a transaction changes each object once
      const int size = 1 + static_cast<int>(random() % 40);
      for (int c = 0; c < size; ++c) {
        // Ids whose byte order differs from the order they are staged in, of varying lengths.
        const std::string id = std::string(1 + random() % 3, static_cast<char>('a' + random() % 7));
        if (!touched.insert(id).second) continue;
        auto current = model.find(id);
        std::optional<std::string> before;
        if (current != model.end()) before = current->second;
        std::optional<std::string> after;
        if (!before || random() % 3 != 0) after = id + "/" + std::to_string(group) + "." + std::to_string(++changes);
        transaction.push_back(Change(id, before, after));
        if (after) {
          model[id] = *after;
        } else {
          model.erase(id);
        }
      }
      store.Stage(transaction);
    }
    ASSERT_TRUE(store.CommitStaged(&error)) << error;
    if (group % 10 != 9) continue;
    ObjectStore reread;
    ASSERT_TRUE(reread.Open(path, &error)) << error;
    std::map<std::string, std::string> file;
    for (const auto& [key, body] : reread.Objects()) file[key.id] = *body;
    ASSERT_EQ(file, model) << "after group " << group;
  }
  EXPECT_GT(changes, 1000);
}

// A commit does not copy the log into the database file itself: the owner does, when due. Until then the log holds
// every acknowledged change (a crash before the copy loses nothing), and afterwards the database file alone does.
TEST_F(ObjectStoreTest, TheLogIsCopiedIntoTheFileOnlyWhenTheOwnerAsks) {
  std::string error;
  ObjectStore store;
  ASSERT_TRUE(store.Open(path, &error)) << error;
  std::vector<ObjectChange> changes;
  const std::string body(600, 'x');
  for (int i = 0; i < 12000; ++i) changes.push_back(Change("port-" + std::to_string(i), std::nullopt, body));
  ASSERT_TRUE(store.Commit(changes, &error)) << error;
  EXPECT_TRUE(store.CheckpointDue());

  auto countIn = [&](const std::vector<std::string>& files) {
    // What a process that died now would leave behind: these files, opened by a new store.
    const std::string copy = root.Path() + "/copy" + std::to_string(files.size()) + ".db";
    for (const std::string& suffix : {std::string(), std::string("-wal")}) std::filesystem::remove(copy + suffix);
    for (const std::string& suffix : files) std::filesystem::copy_file(path + suffix, copy + suffix);
    ObjectStore reopened;
    std::string why;
    EXPECT_TRUE(reopened.Open(copy, &why)) << why;
    return reopened.Objects().size();
  };
  EXPECT_EQ(countIn({"", "-wal"}), 12000u);  // the log has them
  EXPECT_EQ(countIn({""}), 0u);              // the database file not yet

  ASSERT_TRUE(store.Checkpoint(&error)) << error;
  EXPECT_FALSE(store.CheckpointDue());
  EXPECT_EQ(countIn({""}), 12000u);

  // The log starts over: a small commit afterwards is not due again.
  ASSERT_TRUE(store.Commit({Change("port-0", body, "changed")}, &error)) << error;
  EXPECT_FALSE(store.CheckpointDue());
}

}  // namespace
}  // namespace qor::tolvar::test
