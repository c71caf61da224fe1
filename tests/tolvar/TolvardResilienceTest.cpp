// tolvard under failure: killed with SIGKILL and restarted, bad frames.
#include "tests/tolvar/TolvardFixture.h"

namespace qor::tolvar::test {
namespace {

constexpr uint32_t kLsp = tv::LOG_SWITCH_PORT_CONFIG;
constexpr uint32_t kLsFib = tv::LOG_SWITCH_FIB;

tv::LogSwitchPortConfigMsg Port(uint64_t id) {
  tv::LogSwitchPortConfigMsg port;
  *port.mutable_id() = Uuid(id);
  port.set_admin_state_up(true);
  return port;
}

TEST_F(TolvardTest, CommittedTransactionsSurviveKillAndRestart) {
  auto writer = NewClient();
  writer->StartAsync();
  // Many small transactions, each acknowledged: every acknowledged one must be there after SIGKILL.
  for (uint64_t i = 1; i <= 50; ++i) ASSERT_TRUE(writer->Modify({Put(kLsp, Port(i))}).ok());
  tv::LogSwitchFibMsg fib;
  *fib.mutable_id() = Uuid(500);
  for (uint32_t i = 0; i < 100; ++i) fib.add_vteps()->set_label(i);
  ASSERT_TRUE(writer->Modify({Put(kLsFib, fib), Delete(kLsp, UuidBytes(50))}).ok());
  writer->Stop();
  _server->Kill9();

  _server = std::make_unique<TolvardProcess>(_root.Path(), _db);
  Recorder recorder;
  auto reader = Monitor(recorder, {kLsp, kLsFib});
  auto snapshot = recorder.Between(0);
  ASSERT_EQ(snapshot.size(), 50u);  // 49 ports and the FIB
  std::set<uint64_t> ports;
  for (const auto& update : snapshot) {
    if (update.object_type() == tv::LOG_SWITCH_FIB) {
      tv::LogSwitchFibMsg got;
      ASSERT_TRUE(got.ParseFromString(update.new_object_body()));
      EXPECT_EQ(got.vteps_size(), 100);
      EXPECT_EQ(ElementOps(update).size(), 100u);
    } else {
      tv::LogSwitchPortConfigMsg port;
      ASSERT_TRUE(port.ParseFromString(update.new_object_body()));
      ports.insert(port.id().low());
    }
  }
  EXPECT_EQ(ports.size(), 49u);
  EXPECT_FALSE(ports.count(50));
}

TEST_F(TolvardTest, ARequestMadeAsTheClientStopsIsCancelledNotLeftWaiting) {
  auto writer = NewClient();
  writer->StartAsync();
  ASSERT_TRUE(writer->Modify({Put(kLsp, Port(1))}).ok());
  // A call that enters while Stop runs (its request encoded while Stop takes the unanswered ones) ends up after
  // Stop's hand-over: it must be cancelled like those, not wait out its bound with nobody to answer it.
  writer->SetCallTimeout(std::chrono::seconds(5));
  writer->Stop();
  qor::rpc::Status status = writer->Modify({Put(kLsp, Port(2))});
  EXPECT_EQ(status.code(), static_cast<int32_t>(qor::rpc::StatusCode::CANCELLED)) << status.message();
}

TEST_F(TolvardTest, ClientReconnectsAndReceivesTheWholeStateAgain) {
  Recorder recorder;
  auto client = Monitor(recorder, {kLsp});
  ASSERT_TRUE(client->Modify({Put(kLsp, Port(1)), Put(kLsp, Port(2))}).ok());
  ASSERT_TRUE(recorder.WaitBarriers(2));
  uint16_t port = _server->Port();
  _server->Kill9();
  ASSERT_TRUE(qor::test::WaitFor([&] { return recorder.StatusChanges().size() == 2; }));
  EXPECT_FALSE(client->Connected());

  // Same port, same file: the client finds it on its own.
  _server = std::make_unique<TolvardProcess>(
      _root.Path(), _db, std::vector<std::string>{"--listen", "tcp:127.0.0.1:" + std::to_string(port)});
  ASSERT_TRUE(recorder.WaitBarriers(3));
  EXPECT_EQ(recorder.StatusChanges(), (std::vector<bool>{true, false, true}));
  auto again = recorder.Between(2);
  EXPECT_EQ(again.size(), 2u);

  // A request made while disconnected is delivered after the reconnect.
  _server->Kill9();
  ASSERT_TRUE(qor::test::WaitFor([&] { return recorder.StatusChanges().size() == 4; }));
  std::thread late([&] { EXPECT_TRUE(client->Modify({Put(kLsp, Port(3))}).ok()); });
  _server = std::make_unique<TolvardProcess>(
      _root.Path(), _db, std::vector<std::string>{"--listen", "tcp:127.0.0.1:" + std::to_string(port)});
  late.join();
  ASSERT_TRUE(qor::test::WaitFor([&] {
    for (const auto& entry : recorder.Entries()) {
      tv::LogSwitchPortConfigMsg p;
      p.ParseFromString(entry.update.new_object_body());
      if (p.id().low() == 3) return true;
    }
    return false;
  }));
}

TEST_F(TolvardTest, MalformedAndOversizedFramesDoNotDisturbOthers) {
  Recorder recorder;
  auto client = Monitor(recorder, {kLsp});

  RawSocket garbage(_server->Port());
  garbage.Send(Frame("\xff\xff\xff\xff\x0f"));  // does not parse: answered with an error, connection kept
  garbage.Send(Frame(""));                      // no body
  char header[4] = {'\x7f', '\xff', '\xff', '\xff'};
  garbage.Send(std::string(header, 4));  // over the size bound: the connection is closed
  EXPECT_TRUE(garbage.ClosedByPeer());

  RawSocket truncated(_server->Port());
  truncated.Send(std::string("\x00\x00\x10\x00partial", 11));  // never completed; the server just waits

  ASSERT_TRUE(client->Modify({Put(kLsp, Port(1))}).ok());
  ASSERT_TRUE(recorder.WaitBarriers(2));
  EXPECT_TRUE(_server->Process().Running());
}

}  // namespace
}  // namespace qor::tolvar::test
