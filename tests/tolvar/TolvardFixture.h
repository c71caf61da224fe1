// A real tolvard process for one test: its own temporary directory and database file, a free port (tolvard binds
// port 0 and writes the port it got), killed when the fixture goes away. Clients of the library connect to it.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/tolvar/TolvarDbClient.h"
#include "platform/tolvar/TolvarSchema.h"
#include "support/ChildProcess.h"
#include "support/TempRoot.h"
#include "support/Wait.h"
#include "zantix/qor/tolvar/config.pb.h"
#include "zantix/qor/tolvar/l2.pb.h"
#include "zantix/qor/tolvar/l3.pb.h"
#include "zantix/qor/tolvar/ops.pb.h"
#include "zantix/qor/tolvar/runtime.pb.h"

namespace qor::tolvar::test {

namespace tv = zantix::qor::tolvar;

class TolvardProcess {
 public:
  TolvardProcess(const std::string& dir, const std::string& db, std::vector<std::string> extra = {}) {
    static int count = 0;
    std::string portFile = dir + "/port" + std::to_string(++count);
    std::vector<std::string> argv = {TOLVARD_PATH, "--listen", "tcp:127.0.0.1:0", "--db", db, "--port-file", portFile};
    argv.insert(argv.end(), extra.begin(), extra.end());
    _process = std::make_unique<qor::test::ChildProcess>(argv, dir + "/tolvard" + std::to_string(count));
    bool up = qor::test::WaitFor([&] { return std::filesystem::exists(portFile); });
    if (!up) throw std::runtime_error("tolvard did not start: " + _process->Stderr());
    std::ifstream(portFile) >> _port;
  }
  uint16_t Port() const { return _port; }
  std::string Endpoint() const { return "tcp://127.0.0.1:" + std::to_string(_port); }
  qor::test::ChildProcess& Process() { return *_process; }
  void Kill9() {
    _process->Signal(SIGKILL);
    _process->Wait();
  }

 private:
  std::unique_ptr<qor::test::ChildProcess> _process;
  uint16_t _port = 0;
};

// Records what a monitor receives: the updates, with the number of barriers seen before each.
class Recorder {
 public:
  struct Entry {
    tv::MonitorUpdateMsg update;
    int barriersBefore;
  };

  TolvarDbClient::UpdateCallback Updates() {
    return [this](const tv::MonitorUpdateMsg& update) {
      std::lock_guard lock(_mutex);
      _entries.push_back({update, _barriers});
    };
  }
  TolvarDbClient::BarrierCallback Barriers() {
    return [this] {
      std::lock_guard lock(_mutex);
      ++_barriers;
    };
  }
  TolvarDbClient::ChannelStatusCallback Status() {
    return [this](bool up) {
      std::lock_guard lock(_mutex);
      _status.push_back(up);
    };
  }
  int BarrierCount() {
    std::lock_guard lock(_mutex);
    return _barriers;
  }
  std::vector<Entry> Entries() {
    std::lock_guard lock(_mutex);
    return _entries;
  }
  // Updates that arrived after barrier number `barrier` and before the next one.
  std::vector<tv::MonitorUpdateMsg> Between(int barrier) {
    std::lock_guard lock(_mutex);
    std::vector<tv::MonitorUpdateMsg> out;
    for (const auto& entry : _entries) {
      if (entry.barriersBefore == barrier) out.push_back(entry.update);
    }
    return out;
  }
  std::vector<bool> StatusChanges() {
    std::lock_guard lock(_mutex);
    return _status;
  }
  bool WaitBarriers(int n) {
    return qor::test::WaitFor([&] { return BarrierCount() >= n; });
  }

 private:
  std::mutex _mutex;
  std::vector<Entry> _entries;
  int _barriers = 0;
  std::vector<bool> _status;
};

inline tv::UuidMsg Uuid(uint64_t low) {
  tv::UuidMsg id;
  id.set_high(0x1234);
  id.set_low(low);
  return id;
}

inline std::string UuidBytes(uint64_t low) {
  return DeterministicBytes(Uuid(low));
}

inline tv::IpAddressMsg Ip(uint32_t v4) {
  tv::IpAddressMsg ip;
  ip.set_ipv4(v4);
  return ip;
}

inline tv::ModifyRequestMsg Put(uint32_t type, const google::protobuf::Message& object,
                                std::optional<uint32_t> vdb = {}) {
  tv::ModifyRequestMsg request;
  tv::PutMsg* put = request.mutable_modify()->mutable_put();
  put->mutable_object()->set_object_type(static_cast<tv::ObjectType>(type));
  put->mutable_object()->set_object_body(object.SerializeAsString());
  if (vdb) put->set_vdb(*vdb);
  return request;
}

inline tv::ModifyRequestMsg Patch(uint32_t type, const std::string& id, uint32_t property, tv::Operation op,
                                  const google::protobuf::Message* value, std::optional<uint32_t> vdb = {}) {
  tv::ModifyRequestMsg request;
  tv::PatchMsg* patch = request.mutable_modify()->mutable_patch();
  patch->set_object_type(static_cast<tv::ObjectType>(type));
  patch->set_object_id(id);
  patch->set_property_type(property);
  patch->set_op(op);
  if (value) patch->set_value(value->SerializeAsString());
  if (vdb) patch->set_vdb(*vdb);
  return request;
}

inline tv::ModifyRequestMsg Delete(uint32_t type, const std::string& id, std::optional<uint32_t> vdb = {}) {
  tv::ModifyRequestMsg request;
  tv::DeleteMsg* del = request.mutable_modify()->mutable_delete_();
  del->mutable_object()->set_object_type(static_cast<tv::ObjectType>(type));
  del->mutable_object()->set_object_id(id);
  if (vdb) del->set_vdb(*vdb);
  return request;
}

inline tv::ModifyRequestMsg Flush(uint32_t type, std::vector<uint32_t> vdbs) {
  tv::ModifyRequestMsg request;
  tv::FlushMsg* flush = request.mutable_modify()->mutable_flush();
  flush->set_object_type(static_cast<tv::ObjectType>(type));
  for (uint32_t vdb : vdbs) flush->add_vdbs(vdb);
  return request;
}

inline tv::MonitorStatementMsg Statement(uint32_t type, bool flag = false) {
  tv::MonitorStatementMsg statement;
  statement.mutable_statement()->set_object_type(static_cast<tv::ObjectType>(type));
  statement.set_flag(flag);
  return statement;
}

// Element operations of an update as "OP property[index]" strings, in order, plus the object-level operation.
inline std::vector<std::string> ElementOps(const tv::MonitorUpdateMsg& update, std::string* op = nullptr) {
  uint32_t type = static_cast<uint32_t>(update.object_type());
  std::unique_ptr<google::protobuf::Message> message = NewOp(type);
  EXPECT_TRUE(message->ParseFromString(update.op_message()));
  const auto* reflection = message->GetReflection();
  const auto* descriptor = message->GetDescriptor();
  if (op) {
    *op = tv::Operation_Name(static_cast<tv::Operation>(reflection->GetEnumValue(*message, descriptor->field(0))));
  }
  std::vector<std::string> out;
  for (int i = 1; i < descriptor->field_count(); ++i) {
    const auto* field = descriptor->field(i);
    for (int j = 0; j < reflection->FieldSize(*message, field); ++j) {
      const auto& element = reflection->GetRepeatedMessage(*message, field, j);
      const auto* er = element.GetReflection();
      const auto* ed = element.GetDescriptor();
      out.push_back(
          tv::Operation_Name(static_cast<tv::Operation>(er->GetEnumValue(element, ed->FindFieldByName("op")))) + " " +
          PropertyTypeName(PropertyOf(field)) + "[" +
          std::to_string(er->GetUInt32(element, ed->FindFieldByName("index"))) + "]");
    }
  }
  return out;
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
    timeval timeout{20, 0};
    setsockopt(_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  }
  ~RawSocket() { close(_fd); }
  RawSocket(const RawSocket&) = delete;
  RawSocket& operator=(const RawSocket&) = delete;
  void Send(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      ssize_t n = write(_fd, bytes.data() + sent, bytes.size() - sent);
      ASSERT_GT(n, 0) << strerror(errno);
      sent += static_cast<size_t>(n);
    }
  }
  // Reads until the peer closes; true when it did (bounded by the receive time-out).
  bool ClosedByPeer() {
    char buffer[65536];
    for (;;) {
      ssize_t n = read(_fd, buffer, sizeof(buffer));
      if (n == 0) return true;
      if (n < 0) return errno == ECONNRESET;
    }
  }
  // The next frame from tolvard; false when the connection ends first (or the receive time-out passes).
  bool ReadFrame(tv::ServerFrameMsg* frame) {
    std::string header = ReadExactly(4);
    if (header.size() < 4) return false;
    uint32_t size;
    std::memcpy(&size, header.data(), 4);
    std::string payload = ReadExactly(ntohl(size));
    return payload.size() == ntohl(size) && frame->ParseFromString(payload);
  }
  int Fd() const { return _fd; }

 private:
  std::string ReadExactly(size_t size) {
    std::string out(size, '\0');
    size_t got = 0;
    while (got < size) {
      ssize_t n = read(_fd, out.data() + got, size - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    out.resize(got);
    return out;
  }
  int _fd;
};

inline std::string Frame(const std::string& payload) {
  uint32_t size = htonl(static_cast<uint32_t>(payload.size()));
  return std::string(reinterpret_cast<const char*>(&size), 4) + payload;
}

class TolvardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    _db = _root.Path() + "/tolvar.db";
    _server = std::make_unique<TolvardProcess>(_root.Path(), _db);
  }

  std::unique_ptr<TolvarDbClient> NewClient(const std::string& name = "test") {
    auto client = std::make_unique<TolvarDbClient>(name, _server->Endpoint(), nullptr, nullptr, true, true, false);
    client->SetCallTimeout(std::chrono::seconds(20));
    client->SetBackoff(std::chrono::milliseconds(10), std::chrono::milliseconds(200));
    return client;
  }

  // A started client whose monitor 101 on `vdb` follows `types`, after its initial barrier.
  std::unique_ptr<TolvarDbClient> Monitor(Recorder& recorder, const std::vector<uint32_t>& types, uint32_t vdb = 1) {
    auto client = NewClient();
    client->RegisterChannelStatusCallback(recorder.Status());
    client->RegisterCallbacks(101, recorder.Updates(), recorder.Barriers(), vdb);
    std::vector<tv::MonitorStatementMsg> statements;
    for (uint32_t type : types) statements.push_back(Statement(type));
    EXPECT_TRUE(client->ConfigureMonitors(statements, {}, 101, vdb));
    client->StartAsync();
    EXPECT_TRUE(recorder.WaitBarriers(1));
    return client;
  }

  qor::test::TempRoot _root;
  std::string _db;
  std::unique_ptr<TolvardProcess> _server;
};

}  // namespace qor::tolvar::test
