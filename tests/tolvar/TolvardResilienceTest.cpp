// tolvard under failure: killed with SIGKILL and restarted, bad frames, a client that stops reading.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

// A raw TCP connection to tolvard, for bytes the client library never sends.
class RawSocket {
 public:
  explicit RawSocket(uint16_t port) {
    _fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) throw std::runtime_error("connect");
  }
  ~RawSocket() { close(_fd); }
  void Send(const std::string& bytes) { ASSERT_EQ(write(_fd, bytes.data(), bytes.size()), (ssize_t)bytes.size()); }
  // Reads until the peer closes; true when it did (bounded by a receive time-out).
  bool ClosedByPeer() {
    timeval timeout{20, 0};
    setsockopt(_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    char buffer[4096];
    for (;;) {
      ssize_t n = read(_fd, buffer, sizeof(buffer));
      if (n == 0) return true;
      if (n < 0) return errno == ECONNRESET;
    }
  }
  int Fd() const { return _fd; }

 private:
  int _fd;
};

std::string Frame(const std::string& payload) {
  uint32_t size = htonl(static_cast<uint32_t>(payload.size()));
  return std::string(reinterpret_cast<const char*>(&size), 4) + payload;
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

TEST_F(TolvardTest, AClientThatStopsReadingIsDroppedWithoutStallingOthers) {
  // A small output bound so the test needs little data.
  _server.reset();
  _server = std::make_unique<TolvardProcess>(_root.Path(), _db, std::vector<std::string>{"--max-pending", "1000000"});
  // The stalled client monitors, then never reads.
  RawSocket stalled(_server->Port());
  int small = 4096;
  setsockopt(stalled.Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
  tv::ClientFrameMsg configure;
  configure.set_request_id(1);
  configure.mutable_configure_monitors()->set_monitor_id(1);
  configure.mutable_configure_monitors()->set_vdb(1);
  *configure.mutable_configure_monitors()->add_add() = Statement(kLsFib);
  stalled.Send(Frame(configure.SerializeAsString()));

  Recorder recorder;
  auto client = Monitor(recorder, {kLsFib});
  tv::LogSwitchFibMsg fib;
  *fib.mutable_id() = Uuid(1);
  for (uint32_t i = 0; i < 2000; ++i) {
    tv::VtepMsg* vtep = fib.add_vteps();
    vtep->set_label(i);
    vtep->mutable_mac()->set_mac(i);
  }
  // Each transaction sends the stalled client old and new bodies; it falls behind and is dropped.
  int barriers = 1;
  // (Kernel socket buffers hold several megabytes before tolvard's own output grows.)
  for (uint32_t round = 0; round < 400 && _server->Process().Stderr().find("does not read") == std::string::npos;
       ++round) {
    fib.mutable_vteps(0)->set_segment_id(round + 1);
    ASSERT_TRUE(client->Modify({Put(kLsFib, fib)}).ok());
    ++barriers;
  }
  ASSERT_TRUE(recorder.WaitBarriers(barriers));
  EXPECT_NE(_server->Process().Stderr().find("does not read"), std::string::npos);
  EXPECT_TRUE(stalled.ClosedByPeer());
}

}  // namespace
}  // namespace qor::tolvar::test
