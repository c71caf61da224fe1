#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/AsioQorProvider.h"
#include "platform/DaemonHealthService.h"
#include "platform/metrics/Metrics.h"
#include "platform/rpc/Client.h"
#include "platform/rpc/Endpoint.h"
#include "platform/rpc/Framing.h"
#include "platform/rpc/ServerBuilder.h"
#include "support/LogCapture.h"
#include "support/Wait.h"
#include "zantix/qor/health.pb.h"
#include "zantix/qor/rpc.pb.h"

namespace qor::rpc {
namespace {

using namespace std::chrono_literals;

constexpr const char* kHealth = DaemonHealthService::kServiceName;

zantix::qor::ProductVersionMsg Version23() {
  zantix::qor::ProductVersionMsg version;
  version.set_major(2);
  version.set_minor(3);
  return version;
}

uint16_t PortOf(const std::string& endpoint) {
  return ParseTcpEndpoint(endpoint).value().port;
}

// A raw TCP peer for feeding the server bytes the client library would never send.
class RawPeer {
 public:
  explicit RawPeer(uint16_t port) {
    _fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval bound{20, 0};  // a bound on every read: a broken server fails the test instead of hanging it
    setsockopt(_fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    _connected = connect(_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawPeer() { close(_fd); }
  bool Connected() const { return _connected; }
  void Send(const std::string& bytes) {
    ASSERT_EQ(send(_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), (ssize_t)bytes.size());
  }
  // One whole frame's body, or nullopt when the connection ends first.
  std::optional<std::string> ReadFrame() {
    uint8_t header[4];
    if (!ReadExactly(reinterpret_cast<char*>(header), 4)) return std::nullopt;
    std::string body(ReadFrameHeader(header), '\0');
    if (!ReadExactly(body.data(), body.size())) return std::nullopt;
    return body;
  }
  // True when the server closed the connection (end of stream or reset) before the read bound passed.
  bool ClosedByServer() {
    char buffer[256];
    for (;;) {
      ssize_t n = recv(_fd, buffer, sizeof buffer, 0);
      if (n == 0) return true;
      if (n < 0) return errno == ECONNRESET;
    }
  }

 private:
  bool ReadExactly(char* out, size_t size) {
    while (size > 0) {
      ssize_t n = recv(_fd, out, size, 0);
      if (n <= 0) return false;
      out += n;
      size -= n;
    }
    return true;
  }

  int _fd = -1;
  bool _connected = false;
};

class RpcServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    health = std::make_shared<DaemonHealthService>(Version23());
    builder = std::make_shared<ServerBuilder>(registry);
    builder->AddListeningEndpoint("tcp://127.0.0.1:0").AddLocalEndpointId("qor-vevuroro");
    builder->RegisterService(health, {1});
  }
  void Start() {
    server = builder->BuildStarted();
    ASSERT_TRUE(server) << builder->LastError();
    ASSERT_EQ(server->ListeningEndpoints().size(), 1u);
    endpoint = server->ListeningEndpoints()[0];
  }
  Status GetHealth(Client& client, zantix::qor::GetHealthResponseMsg* out) {
    return client.Call(kHealth, "GetHealth", zantix::qor::GetHealthRequestMsg(), out);
  }

  test::LogCapture logs;
  std::shared_ptr<metrics::Registry> registry = std::make_shared<metrics::Registry>();
  std::shared_ptr<DaemonHealthService> health;
  std::shared_ptr<ServerBuilder> builder;
  std::shared_ptr<Server> server;
  std::string endpoint;
};

TEST(RpcEndpointTest, ParsesTcpEndpointsAndRejectsOthers) {
  auto v4 = ParseTcpEndpoint("tcp://127.0.0.1:4097");
  ASSERT_TRUE(v4);
  EXPECT_EQ(v4->host, "127.0.0.1");
  EXPECT_EQ(v4->port, 4097);
  auto v6 = ParseTcpEndpoint("tcp://[::1]:0");
  ASSERT_TRUE(v6);
  EXPECT_EQ(v6->host, "::1");
  EXPECT_EQ(v6->port, 0);
  auto shortForm = ParseTcpEndpoint("tcp:localhost:2480");
  ASSERT_TRUE(shortForm);
  EXPECT_EQ(shortForm->host, "localhost");
  for (const char* bad :
       {"", "127.0.0.1:80", "udp://1.2.3.4:5", "tcp://", "tcp://host", "tcp://host:", "tcp://:80", "tcp://host:65536",
        "tcp://host:-1", "tcp://host:80x", "tcp://::1:80", "tcp://[::1]80", "tcp://[::1:80", "tcp://host:000080"}) {
    EXPECT_FALSE(ParseTcpEndpoint(bad)) << bad;
  }
  EXPECT_EQ(FormatTcpEndpoint("::1", 7), "tcp://[::1]:7");
  EXPECT_EQ(FormatTcpEndpoint("127.0.0.1", 4097), "tcp://127.0.0.1:4097");
}

TEST(RpcFramingTest, LengthIsFourBytesBigEndian) {
  std::string frame = EncodeFrame(std::string(0x010203, 'x'));
  ASSERT_EQ(frame.size(), 4u + 0x010203);
  EXPECT_EQ(frame.substr(0, 4), std::string("\x00\x01\x02\x03", 4));
  uint8_t header[4] = {0xff, 0x00, 0x10, 0x01};
  EXPECT_EQ(ReadFrameHeader(header), 0xff001001u);
  EXPECT_EQ(EncodeFrame(""), std::string(4, '\0'));
}

TEST_F(RpcServerTest, HealthAndVersionRoundTripOverAnEphemeralPort) {
  Start();
  EXPECT_NE(PortOf(endpoint), 0);
  EXPECT_EQ(server->LocalEndpointId(), "qor-vevuroro");
  EXPECT_TRUE(logs.Has({"RpcServer: qor-vevuroro listening on " + endpoint}));

  Client client;
  ASSERT_TRUE(client.Connect(endpoint).ok());
  zantix::qor::GetHealthResponseMsg healthReply;
  ASSERT_TRUE(GetHealth(client, &healthReply).ok());
  EXPECT_EQ(healthReply.status(), "UP");
  EXPECT_EQ(healthReply.version().major(), 2u);
  EXPECT_EQ(healthReply.version().minor(), 3u);
  EXPECT_EQ(healthReply.pid(), static_cast<uint32_t>(getpid()));
  EXPECT_EQ(healthReply.daemon(), "qor-vevuroro");

  zantix::qor::GetVersionResponseMsg versionReply;
  ASSERT_TRUE(client.Call(kHealth, "GetVersion", zantix::qor::GetVersionRequestMsg(), &versionReply).ok());
  EXPECT_EQ(versionReply.version().major(), 2u);
  EXPECT_EQ(versionReply.version().minor(), 3u);

  EXPECT_EQ(registry->GetCounter("rpc.server.calls")->Value(), 2u);
  EXPECT_EQ(registry->GetGauge("rpc.server.connections")->Value(), 1);
  client.Close();
  EXPECT_TRUE(test::WaitFor([&] { return server->ConnectionCount() == 0; }));
}

TEST_F(RpcServerTest, ServiceErrorsTravelAsStatusesAndKeepTheConnection) {
  Start();
  Client client;
  ASSERT_TRUE(client.Connect(endpoint).ok());
  std::string out;
  Status unknownService = client.Call("no.such.Service", "GetHealth", "", &out);
  EXPECT_EQ(unknownService.code(), static_cast<int32_t>(StatusCode::NOT_FOUND));
  EXPECT_NE(unknownService.message().find("no.such.Service"), std::string::npos);
  Status unknownMethod = client.Call(kHealth, "Reboot", "", &out);
  EXPECT_EQ(unknownMethod.code(), static_cast<int32_t>(StatusCode::UNIMPLEMENTED));
  Status badRequest = client.Call(kHealth, "GetHealth", "\xff\xff\xff", &out);
  EXPECT_EQ(badRequest.code(), static_cast<int32_t>(StatusCode::INVALID_ARGUMENT));
  EXPECT_TRUE(client.Connected());
  zantix::qor::GetHealthResponseMsg reply;
  EXPECT_TRUE(GetHealth(client, &reply).ok());
  EXPECT_EQ(registry->GetCounter("rpc.server.call_errors")->Value(), 3u);
}

TEST_F(RpcServerTest, GarbageAndOversizedFramesCloseOnlyTheirOwnConnection) {
  builder->SetMaxFrameBytes(1024);
  Start();
  uint16_t port = PortOf(endpoint);
  Client good;
  ASSERT_TRUE(good.Connect(endpoint).ok());
  zantix::qor::GetHealthResponseMsg reply;
  ASSERT_TRUE(GetHealth(good, &reply).ok());

  // A peer that stalls half-way through a header must not hold anybody up.
  RawPeer stalled(port);
  ASSERT_TRUE(stalled.Connected());
  stalled.Send(std::string("\x00\x00", 2));

  RawPeer huge(port);
  ASSERT_TRUE(huge.Connected());
  huge.Send(std::string("\xff\xff\xff\xff", 4));
  EXPECT_TRUE(huge.ClosedByServer());

  RawPeer justOver(port);
  ASSERT_TRUE(justOver.Connected());
  justOver.Send(std::string("\x00\x00\x04\x01", 4) + std::string(1025, 'a'));
  EXPECT_TRUE(justOver.ClosedByServer());

  RawPeer http(port);
  ASSERT_TRUE(http.Connected());
  http.Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_TRUE(http.ClosedByServer());

  RawPeer undecodable(port);
  ASSERT_TRUE(undecodable.Connected());
  undecodable.Send(EncodeFrame("\xff\xff\xff\xff\xff\xff"));
  EXPECT_TRUE(undecodable.ClosedByServer());

  ASSERT_TRUE(GetHealth(good, &reply).ok());
  EXPECT_EQ(reply.status(), "UP");
  EXPECT_EQ(registry->GetCounter("rpc.server.bad_frames")->Value(), 4u);
  EXPECT_TRUE(logs.Has({"closing connection from", "exceeds the limit of 1024 bytes"}));
  EXPECT_TRUE(logs.Has({"closing connection from", "undecodable request frame"}));

  // A request at the limit is still served.
  zantix::qor::rpc::RpcRequest request;
  request.set_service(kHealth);
  request.set_method("GetVersion");
  request.set_id(77);
  // Padding as an unknown length-delimited field 15 (tag 0x7a), which the request message tolerates.
  std::string padding(900, 'p');
  request.set_payload(std::string("\x7a\x84\x07", 3) + padding);
  std::string body = request.SerializeAsString();
  ASSERT_LE(body.size(), 1024u);
  RawPeer exact(port);
  exact.Send(EncodeFrame(body));
  auto answer = exact.ReadFrame();
  ASSERT_TRUE(answer);
  zantix::qor::rpc::RpcResponse response;
  ASSERT_TRUE(response.ParseFromString(*answer));
  EXPECT_EQ(response.id(), 77u);
  EXPECT_EQ(response.code(), 0);
  zantix::qor::GetVersionResponseMsg version;
  ASSERT_TRUE(version.ParseFromString(response.payload()));
  EXPECT_EQ(version.version().major(), 2u);
}

TEST_F(RpcServerTest, ManyClientsAtOnce) {
  Start();
  constexpr int kClients = 8, kCalls = 40;
  std::atomic<int> succeeded{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&] {
      Client client;
      if (!client.Connect(endpoint).ok()) return;
      for (int call = 0; call < kCalls; ++call) {
        zantix::qor::GetHealthResponseMsg reply;
        if (GetHealth(client, &reply).ok() && reply.status() == "UP") ++succeeded;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(succeeded.load(), kClients * kCalls);
  EXPECT_EQ(registry->GetCounter("rpc.server.calls")->Value(), uint64_t{kClients * kCalls});
}

// A service whose calls can be held, to see what clients and servers do meanwhile.
class GateService : public Service {
 public:
  std::string Name() const override { return "test.Gate"; }
  Status Call(const CallContext&, const std::string& method, const std::string& request,
              std::string* response) override {
    if (method == "Throw") throw std::runtime_error("boom");
    if (method == "Big") {
      *response = std::string(std::stoul(request), 'b');
      return Status::Ok();
    }
    std::unique_lock<std::mutex> lock(mutex);
    ++waiting;
    changed.notify_all();
    changed.wait(lock, [&] { return open; });
    *response = request;
    return Status::Ok();
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mutex);
    open = true;
    changed.notify_all();
  }
  std::mutex mutex;
  std::condition_variable changed;
  int waiting = 0;
  bool open = false;
};

TEST_F(RpcServerTest, ClientTimesOutAndServiceFailuresBecomeInternal) {
  auto gate = std::make_shared<GateService>();
  builder->RegisterService(gate, {2});
  Start();
  Client client;
  ASSERT_TRUE(client.Connect(endpoint).ok());
  std::string out;
  Status thrown = client.Call("test.Gate", "Throw", "", &out);
  EXPECT_EQ(thrown.code(), static_cast<int32_t>(StatusCode::INTERNAL));
  EXPECT_NE(thrown.message().find("boom"), std::string::npos);

  Status late = client.Call("test.Gate", "Wait", "x", &out, 50ms);
  EXPECT_EQ(late.code(), static_cast<int32_t>(StatusCode::DEADLINE_EXCEEDED));
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(client.Call(kHealth, "GetHealth", "", &out).code(), static_cast<int32_t>(StatusCode::UNAVAILABLE));

  // With two server threads a held call does not stop another connection from being served.
  Client other;
  ASSERT_TRUE(other.Connect(endpoint).ok());
  zantix::qor::GetHealthResponseMsg reply;
  EXPECT_TRUE(GetHealth(other, &reply).ok());
  gate->Open();
  ASSERT_TRUE(client.Connect(endpoint).ok());
  EXPECT_TRUE(client.Call("test.Gate", "Wait", "echo", &out).ok());
  EXPECT_EQ(out, "echo");
}

TEST_F(RpcServerTest, ClientRefusesAnswersAboveItsFrameLimit) {
  auto gate = std::make_shared<GateService>();
  builder->RegisterService(gate);
  Start();
  Client client(1024);
  ASSERT_TRUE(client.Connect(endpoint).ok());
  std::string out;
  EXPECT_TRUE(client.Call("test.Gate", "Big", "100", &out).ok());
  EXPECT_EQ(out.size(), 100u);
  Status big = client.Call("test.Gate", "Big", "5000", &out);
  EXPECT_EQ(big.code(), static_cast<int32_t>(StatusCode::INTERNAL));
  EXPECT_FALSE(client.Connected());
}

TEST_F(RpcServerTest, StopClosesConnectionsAndTheListener) {
  Start();
  Client client;
  ASSERT_TRUE(client.Connect(endpoint).ok());
  server->Stop();
  server->Stop();
  std::string out;
  EXPECT_FALSE(client.Call(kHealth, "GetHealth", "", &out).ok());
  Client late;
  EXPECT_FALSE(late.Connect(endpoint, 2s).ok());
}

TEST_F(RpcServerTest, SettingMistakesAndBusyPortsFailTheBuild) {
  Start();
  ServerBuilder busy;
  busy.AddListeningEndpoint(endpoint).RegisterService(health);
  EXPECT_FALSE(busy.BuildStarted());
  EXPECT_NE(busy.LastError().find("cannot listen on " + endpoint), std::string::npos) << busy.LastError();

  ServerBuilder badText;
  badText.AddListeningEndpoint("127.0.0.1:4097").RegisterService(health);
  EXPECT_FALSE(badText.BuildStarted());
  EXPECT_NE(badText.LastError().find("invalid listening endpoint"), std::string::npos);

  ServerBuilder twice;
  twice.AddListeningEndpoint("tcp://127.0.0.1:0").RegisterService(health).RegisterService(health);
  EXPECT_FALSE(twice.BuildStarted());

  ServerBuilder none;
  none.RegisterService(health);
  EXPECT_FALSE(none.BuildStarted());
  EXPECT_EQ(none.LastError(), "no listening endpoint");
}

TEST(RpcClientTest, ReportsUnreachableAndInvalidEndpoints) {
  Client client;
  EXPECT_EQ(client.Connect("nonsense").code(), static_cast<int32_t>(StatusCode::INVALID_ARGUMENT));
  // A port that was just free: bind one, note it, close it.
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  Status refused = client.Connect("tcp://127.0.0.1:" + std::to_string(ntohs(address.sin_port)));
  EXPECT_EQ(refused.code(), static_cast<int32_t>(StatusCode::UNAVAILABLE));
  std::string out;
  EXPECT_EQ(client.Call("a", "b", "", &out).code(), static_cast<int32_t>(StatusCode::UNAVAILABLE));
}

TEST(DaemonHealthServiceTest, AnswersWithoutAServer) {
  DaemonHealthService service(Version23());
  EXPECT_EQ(service.Name(), "zantix.qor.daemon.DaemonHealth");
  CallContext context{"qor-test", "peer"};
  std::string out;
  ASSERT_TRUE(service.Call(context, "GetHealth", "", &out).ok());
  zantix::qor::GetHealthResponseMsg reply;
  ASSERT_TRUE(reply.ParseFromString(out));
  EXPECT_EQ(reply.status(), "UP");
  EXPECT_EQ(reply.daemon(), "qor-test");
  EXPECT_EQ(service.Call(context, "Nope", "", &out).code(), static_cast<int32_t>(StatusCode::UNIMPLEMENTED));
}

TEST(RpcStatusTest, PrintsCodeNames) {
  EXPECT_EQ(Status().ToString(), "OK");
  EXPECT_EQ(Status(StatusCode::NOT_FOUND, "x").ToString(), "NOT_FOUND: x");
  EXPECT_EQ(Status(int32_t{99}, "").ToString(), "UNKNOWN (Put more into StatusCodeName)");
}

// The health endpoint must answer as soon as start-up has built it, long before the main loop runs.
TEST(ProviderRpcTest, ServerBuiltFromTheProviderServesBeforeRun) {
  AsioQorProvider provider({}, {}, "");
  auto builder = provider.rpc();
  builder->AddListeningEndpoint("tcp://127.0.0.1:0").AddLocalEndpointId("qor-vevuroro");
  builder->RegisterService(std::make_shared<DaemonHealthService>(Version23()), {1});
  auto server = builder->BuildStarted();
  ASSERT_TRUE(server);
  Client client;
  ASSERT_TRUE(client.Connect(server->ListeningEndpoints()[0]).ok());
  zantix::qor::GetVersionResponseMsg reply;
  ASSERT_TRUE(client.Call(kHealth, "GetVersion", zantix::qor::GetVersionRequestMsg(), &reply).ok());
  EXPECT_EQ(reply.version().minor(), 3u);
  EXPECT_EQ(provider.metrics()->GetCounter("rpc.server.calls")->Value(), 1u);
}

}  // namespace
}  // namespace qor::rpc
