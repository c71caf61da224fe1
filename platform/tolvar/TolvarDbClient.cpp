#include "platform/tolvar/TolvarDbClient.h"

#include <future>

#include "platform/PlatformLog.h"
#include "platform/tolvar/TolvarSchema.h"
#include "platform/tolvar/WireCodes.h"

namespace qor::tolvar {
namespace tv = zantix::qor::tolvar;
using boost::asio::ip::tcp;

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

rpc::Status StatusOf(const tv::ServerFrameMsg& reply) {
  return rpc::Status(static_cast<int32_t>(reply.status().code()), reply.status().message());
}

tv::ServerFrameMsg ErrorReply(uint32_t code, const std::string& message) {
  tv::ServerFrameMsg reply;
  reply.mutable_status()->set_code(code);
  reply.mutable_status()->set_message(message);
  return reply;
}

// Empty when the statement is one tolvard accepts, otherwise why not.
std::string CheckStatement(const tv::MonitorStatementMsg& statement) {
  uint32_t type = static_cast<uint32_t>(statement.statement().object_type());
  if (!ObjectDescriptor(type)) return "unknown object type " + std::to_string(type);
  if (statement.statement().has_select()) {
    std::unique_ptr<google::protobuf::Message> op = NewOp(type);
    if (!op->ParseFromString(statement.statement().select().op_message())) {
      return "select clause of " + ObjectTypeName(type) + " does not parse";
    }
  }
  return std::string();
}

// "tcp://HOST:PORT" or "tcp:HOST:PORT"; HOST may be a bracketed IPv6 address.
bool ParseEndpoint(const std::string& text, std::string* host, uint16_t* port) {
  std::string rest;
  if (text.rfind("tcp://", 0) == 0) {
    rest = text.substr(6);
  } else if (text.rfind("tcp:", 0) == 0) {
    rest = text.substr(4);
  } else {
    return false;
  }
  size_t colon = rest.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  std::string digits = rest.substr(colon + 1);
  if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  unsigned long value = std::stoul(digits);
  if (value > 65535) return false;
  *host = rest.substr(0, colon);
  if (host->size() >= 2 && host->front() == '[' && host->back() == ']') *host = host->substr(1, host->size() - 2);
  *port = static_cast<uint16_t>(value);
  return !host->empty();
}

}  // namespace

TolvarDbClient::TolvarDbClient(const std::string& name, const std::string& endpoint, AsioQorProvider* /*provider*/,
                               std::mutex* externalMutex, bool reconnect, bool resubscribe, bool traceFrames)
    : _name(name),
      _reconnect(reconnect),
      _resubscribe(resubscribe),
      _traceFrames(traceFrames),
      _socket(_io),
      _retryTimer(_io) {
  _endpointValid = ParseEndpoint(endpoint, &_host, &_port);
  if (!_endpointValid) {
    QOR_LIB_LOG(library_log_level, VevUroro::LOG_LEVEL_ERROR, "TolvarDbClient: invalid endpoint %1", endpoint);
  }
  if (externalMutex) {
    QOR_LIB_LOG(library_log_level, VevUroro::LOG_LEVEL_WARN,
                "TolvarDbClient: external mutex ignored; the client guards its own state");
  }
  _callbackThread = std::thread([this] { CallbackLoop(); });
}

TolvarDbClient::~TolvarDbClient() {
  Stop();
}

void TolvarDbClient::SetBackoff(std::chrono::milliseconds initial, std::chrono::milliseconds max) {
  _backoffInitial = initial;
  _backoff = initial;
  _backoffMax = max;
}

void TolvarDbClient::RegisterChannelStatusCallback(ChannelStatusCallback callback) {
  std::lock_guard lock(_mutex);
  _statusCallback = std::move(callback);
}

void TolvarDbClient::AddChannelStatusObserver(ChannelStatusCallback callback) {
  std::lock_guard lock(_mutex);
  _statusObservers.push_back(std::move(callback));
}

std::vector<TolvarDbClient::ChannelStatusCallback> TolvarDbClient::StatusCallbacksLocked() const {
  std::vector<ChannelStatusCallback> callbacks;
  if (_statusCallback) callbacks.push_back(_statusCallback);
  callbacks.insert(callbacks.end(), _statusObservers.begin(), _statusObservers.end());
  return callbacks;
}

void TolvarDbClient::PostStatus(std::vector<ChannelStatusCallback> callbacks, bool up) {
  if (callbacks.empty()) return;
  PostCallback([callbacks = std::move(callbacks), up] {
    for (const auto& callback : callbacks) callback(up);
  });
}

void TolvarDbClient::SelectVdb(uint32_t vdb) {
  vdb &= 0xffff;
  std::lock_guard lock(_mutex);
  _vdb = vdb;
  if (!_started) return;
  boost::asio::post(_io, [this, vdb] {
    if (!_connected) return;
    tv::ClientFrameMsg frame;
    frame.mutable_select_vdb()->set_vdb(vdb);
    Submit(std::move(frame), nullptr, true);
  });
}

void TolvarDbClient::RegisterCallbacks(uint32_t monitorId, UpdateCallback update, BarrierCallback barrier,
                                       uint32_t vdb) {
  std::lock_guard lock(_mutex);
  _callbacks[{monitorId, vdb}] = {std::move(update), std::move(barrier)};
}

bool TolvarDbClient::ConfigureMonitors(const Statements& add, const Statements& remove, uint32_t monitorId,
                                       uint32_t vdb) {
  for (const Statements* list : {&add, &remove}) {
    for (const tv::MonitorStatementMsg& statement : *list) {
      std::string problem = CheckStatement(statement);
      if (!problem.empty()) {
        QOR_LIB_LOG(library_log_level, VevUroro::LOG_LEVEL_ERROR, "TolvarDbClient: bad monitor statement: %1", problem);
        return false;
      }
    }
  }
  MonitorKey key{monitorId, vdb};
  auto record = [this, key, add, remove] {
    auto& statements = _monitors[key];
    for (const auto& statement : remove) statements.erase(statement.statement().object_type());
    for (const auto& statement : add) statements[statement.statement().object_type()] = statement;
    if (statements.empty()) _monitors.erase(key);
  };
  {
    std::lock_guard lock(_mutex);
    if (!_started) {
      record();
      return true;
    }
  }
  if (_stopped) return false;
  // Recorded and sent on the IO thread, so a (re)connect set-up never sends the same statements twice.
  auto result = std::make_shared<std::promise<rpc::Status>>();
  std::future<rpc::Status> future = result->get_future();
  boost::asio::post(_io, [this, key, add, remove, record, result] {
    {
      std::lock_guard lock(_mutex);
      record();
    }
    if (!_connected) {
      result->set_value(rpc::Status::Ok());
      return;
    }
    tv::ClientFrameMsg frame;
    frame.mutable_configure_monitors()->set_monitor_id(key.first);
    frame.mutable_configure_monitors()->set_vdb(key.second);
    for (const auto& statement : add) *frame.mutable_configure_monitors()->add_add() = statement;
    for (const auto& statement : remove) *frame.mutable_configure_monitors()->add_remove() = statement;
    Submit(
        std::move(frame), [result](const tv::ServerFrameMsg& reply) { result->set_value(StatusOf(reply)); }, true);
  });
  if (future.wait_for(_callTimeout.load()) != std::future_status::ready) return false;
  rpc::Status status = future.get();
  // A connection lost meanwhile re-establishes the recorded statements on reconnect.
  return status.ok() || status.code() == static_cast<int32_t>(kCodeUnavailable);
}

void TolvarDbClient::StartAsync() {
  {
    std::lock_guard lock(_mutex);
    if (_started || _stopped) return;
    _started = true;
  }
  boost::asio::post(_io, [this] { Connect(); });
  try {
    _ioThread = std::thread([this] {
      auto guard = boost::asio::make_work_guard(_io);
      _io.run();
    });
  } catch (...) {
    // Without its IO thread the client is not started: blocking calls must not wait for answers that cannot come.
    std::lock_guard lock(_mutex);
    _started = false;
    throw;
  }
}

void TolvarDbClient::Stop() {
  if (_stopped.exchange(true)) return;
  _io.stop();
  if (_ioThread.joinable()) _ioThread.join();
  std::map<uint64_t, Pending> pending;
  {
    std::lock_guard lock(_mutex);
    pending.swap(_pending);
  }
  tv::ServerFrameMsg cancelled = ErrorReply(static_cast<uint32_t>(rpc::StatusCode::CANCELLED), "client stopped");
  for (auto& [id, entry] : pending) {
    if (entry.done) entry.done(cancelled);
  }
  {
    std::lock_guard lock(_callbackMutex);
    _callbackStop = true;
  }
  _callbackReady.notify_all();
  if (_callbackThread.joinable()) _callbackThread.join();
  boost::system::error_code ignored;
  _socket.close(ignored);
}

uint64_t TolvarDbClient::Register(tv::ClientFrameMsg frame, Completion done, bool sessionSetup) {
  uint64_t id;
  {
    std::lock_guard lock(_mutex);
    id = _nextRequestId++;
  }
  // Encoded without the lock: a large transaction takes a while, and the IO thread needs the lock meanwhile.
  frame.set_request_id(id);
  auto bytes = std::make_shared<const std::string>(EncodeFrame(frame));
  {
    std::lock_guard lock(_mutex);
    // Stop sets the flag before it takes the unanswered requests under the lock: a request entered after that is
    // nobody's to answer but its own.
    if (!_stopped) {
      Pending& entry = _pending[id];
      entry.bytes = std::move(bytes);
      entry.done = std::move(done);
      entry.sessionSetup = sessionSetup;
      return id;
    }
  }
  if (done) done(ErrorReply(static_cast<uint32_t>(rpc::StatusCode::CANCELLED), "client stopped"));
  return id;
}

uint64_t TolvarDbClient::Submit(tv::ClientFrameMsg frame, Completion done, bool sessionSetup) {
  uint64_t id = Register(std::move(frame), std::move(done), sessionSetup);
  if (!_stopped) boost::asio::post(_io, [this, id] { SendPending(id); });
  return id;
}

void TolvarDbClient::SendPending(uint64_t id) {
  if (_gaveUp) {
    // Not connected and never going to be: answer at once instead of after the call bound.
    Completion done;
    {
      std::lock_guard lock(_mutex);
      auto it = _pending.find(id);
      if (it == _pending.end()) return;
      done = std::move(it->second.done);
      _pending.erase(it);
    }
    if (done) done(ErrorReply(kCodeUnavailable, *_gaveUp));
    return;
  }
  if (!_connected || !_socketOpen) return;  // the connect set-up sends it
  std::shared_ptr<const std::string> bytes;
  {
    std::lock_guard lock(_mutex);
    auto it = _pending.find(id);
    if (it == _pending.end() || it->second.sentGeneration == _generation) return;
    it->second.sentGeneration = _generation;
    bytes = it->second.bytes;
  }
  SendFrame(std::move(bytes));
}

rpc::Status TolvarDbClient::Call(tv::ClientFrameMsg frame, bool sessionSetup, tv::ServerFrameMsg* reply) {
  auto result = std::make_shared<std::promise<tv::ServerFrameMsg>>();
  std::future<tv::ServerFrameMsg> future = result->get_future();
  Submit(
      std::move(frame), [result](const tv::ServerFrameMsg& answer) { result->set_value(answer); }, sessionSetup);
  if (future.wait_for(_callTimeout.load()) != std::future_status::ready) {
    return rpc::Status(rpc::StatusCode::DEADLINE_EXCEEDED, "no answer from tolvard in time");
  }
  *reply = future.get();
  return StatusOf(*reply);
}

rpc::Status TolvarDbClient::Modify(const Requests& requests) {
  tv::ClientFrameMsg frame;
  for (const auto& request : requests) *frame.mutable_transact()->add_requests() = request;
  tv::ServerFrameMsg reply;
  return Call(std::move(frame), false, &reply);
}

rpc::Status TolvarDbClient::Modify(Requests&& requests) {
  tv::ClientFrameMsg frame;
  auto* list = frame.mutable_transact()->mutable_requests();
  list->Reserve(static_cast<int>(requests.size()));
  for (auto& request : requests) list->Add(std::move(request));
  requests.clear();
  tv::ServerFrameMsg reply;
  return Call(std::move(frame), false, &reply);
}

void TolvarDbClient::GetAsync(const std::vector<tv::ObjectRequestMsg>& requests, GetCallback done, uint32_t vdb) {
  tv::ClientFrameMsg frame;
  frame.mutable_get()->set_vdb(vdb);
  for (const auto& request : requests) *frame.mutable_get()->add_requests() = request;
  Submit(
      std::move(frame),
      [this, done = std::move(done)](const tv::ServerFrameMsg& reply) {
        std::vector<tv::TypedObjectMsg> objects(reply.get_reply().objects().begin(), reply.get_reply().objects().end());
        rpc::Status status = StatusOf(reply);
        PostCallback([done, objects = std::move(objects), status] {
          if (done) done(objects, status);
        });
      },
      false);
}

rpc::Status TolvarDbClient::Echo(const std::string& payload, std::string* out) {
  tv::ClientFrameMsg frame;
  frame.mutable_echo()->set_payload(payload);
  tv::ServerFrameMsg reply;
  rpc::Status status = Call(std::move(frame), false, &reply);
  if (status.ok() && out) *out = reply.echo().payload();
  return status;
}

bool TolvarDbClient::EchoAsync(const std::string& payload, EchoCallback done) {
  if (_stopped) return false;
  tv::ClientFrameMsg frame;
  frame.mutable_echo()->set_payload(payload);
  Submit(
      std::move(frame),
      [this, done = std::move(done)](const tv::ServerFrameMsg& reply) {
        rpc::Status status = StatusOf(reply);
        std::string text = status.ok() ? reply.echo().payload() : std::string();
        PostCallback([done, text = std::move(text), status] {
          if (done) done(text, status);
        });
      },
      false);
  return true;
}

std::chrono::system_clock::time_point TolvarDbClient::LastActivityTime() const {
  return std::chrono::system_clock::time_point(std::chrono::milliseconds(_lastActivityMs.load()));
}

void TolvarDbClient::PostCallback(std::function<void()> callback) {
  {
    std::lock_guard lock(_callbackMutex);
    if (_callbackStop) return;
    _callbackQueue.push_back(std::move(callback));
  }
  _callbackReady.notify_one();
}

void TolvarDbClient::CallbackLoop() {
  for (;;) {
    std::function<void()> callback;
    {
      std::unique_lock lock(_callbackMutex);
      _callbackReady.wait(lock, [this] { return _callbackStop || !_callbackQueue.empty(); });
      if (_callbackQueue.empty()) return;
      callback = std::move(_callbackQueue.front());
      _callbackQueue.pop_front();
    }
    callback();
  }
}

// ---- IO thread ----

void TolvarDbClient::Connect() {
  if (_stopped) return;
  if (!_endpointValid) return;
  boost::system::error_code ec;
  tcp::resolver resolver(_io);
  auto endpoints = resolver.resolve(_host, std::to_string(_port), ec);
  if (ec) {
    QOR_LIB_LOG(library_log_level, VevUroro::LOG_LEVEL_WARN, "TolvarDbClient: cannot resolve %1: %2", _host,
                ec.message());
    if (!_reconnect) return GiveUp("cannot resolve " + _host + ": " + ec.message());
    ScheduleReconnect();
    return;
  }
  _socket = tcp::socket(_io);
  boost::asio::async_connect(_socket, endpoints, [this](boost::system::error_code error, const tcp::endpoint&) {
    if (_stopped) return;
    if (error) {
      boost::system::error_code ignored;
      _socket.close(ignored);
      if (!_reconnect) {
        GiveUp("cannot connect to " + _host + ":" + std::to_string(_port) + ": " + error.message());
        return;
      }
      ScheduleReconnect();
      return;
    }
    OnConnected();
  });
}

void TolvarDbClient::GiveUp(const std::string& reason) {
  _gaveUp = reason;
  std::map<uint64_t, Pending> pending;
  {
    std::lock_guard lock(_mutex);
    pending.swap(_pending);
  }
  tv::ServerFrameMsg unavailable = ErrorReply(kCodeUnavailable, reason);
  for (auto& [id, entry] : pending) {
    if (entry.done) entry.done(unavailable);
  }
}

void TolvarDbClient::ScheduleReconnect() {
  if (_stopped || !_reconnect) return;
  _retryTimer.expires_after(_backoff);
  _backoff = std::min(_backoff * 2, _backoffMax);
  _retryTimer.async_wait([this](boost::system::error_code ec) {
    if (!ec) Connect();
  });
}

void TolvarDbClient::OnConnected() {
  boost::system::error_code ignored;
  _socket.set_option(tcp::no_delay(true), ignored);
  _socketOpen = true;
  _connected = true;
  _backoff = _backoffInitial;
  _decoder = FrameDecoder(kDefaultMaxFrame);
  _lastActivityMs = NowMs();
  QOR_LIB_LOG(library_log_level, VevUroro::LOG_LEVEL_INFO, "TolvarDbClient: %1 connected to %2:%3", _name, _host,
              _port);
  std::vector<ChannelStatusCallback> status;
  uint32_t vdb;
  std::map<MonitorKey, std::map<uint32_t, tv::MonitorStatementMsg>> monitors;
  {
    std::lock_guard lock(_mutex);
    status = StatusCallbacksLocked();
    vdb = _vdb;
    monitors = _monitors;
  }
  PostStatus(std::move(status), true);
  Read();

  // Session set-up first, then every request still unanswered, in order.
  std::vector<uint64_t> resend;
  {
    std::lock_guard lock(_mutex);
    for (const auto& [id, entry] : _pending) resend.push_back(id);
  }
  std::vector<uint64_t> setup;
  tv::ClientFrameMsg hello;
  hello.mutable_hello()->set_client_name(_name);
  setup.push_back(Register(std::move(hello), nullptr, true));
  if (vdb != 1) {
    tv::ClientFrameMsg select;
    select.mutable_select_vdb()->set_vdb(vdb);
    setup.push_back(Register(std::move(select), nullptr, true));
  }
  if (_resubscribe || !_everConnected) {
    for (const auto& [key, statements] : monitors) {
      tv::ClientFrameMsg configure;
      configure.mutable_configure_monitors()->set_monitor_id(key.first);
      configure.mutable_configure_monitors()->set_vdb(key.second);
      for (const auto& [type, statement] : statements) *configure.mutable_configure_monitors()->add_add() = statement;
      setup.push_back(Register(std::move(configure), nullptr, true));
    }
  }
  _everConnected = true;
  for (uint64_t id : setup) SendPending(id);
  for (uint64_t id : resend) SendPending(id);
}

void TolvarDbClient::OnDisconnected(const std::string& reason) {
  if (!_socketOpen) return;
  _socketOpen = false;
  ++_generation;
  boost::system::error_code ignored;
  _socket.close(ignored);
  _output.clear();
  _writing = false;
  bool wasConnected = _connected.exchange(false);
  QOR_LIB_LOG(library_log_level, VevUroro::LOG_LEVEL_WARN, "TolvarDbClient: %1 lost connection to %2:%3: %4", _name,
              _host, _port, reason);
  // Set-up requests are repeated by the next set-up; without reconnecting, nothing will answer the others.
  std::vector<Completion> failed;
  std::vector<ChannelStatusCallback> status;
  {
    std::lock_guard lock(_mutex);
    for (auto it = _pending.begin(); it != _pending.end();) {
      if (it->second.sessionSetup || !_reconnect) {
        failed.push_back(std::move(it->second.done));
        it = _pending.erase(it);
      } else {
        ++it;
      }
    }
    status = StatusCallbacksLocked();
  }
  tv::ServerFrameMsg unavailable = ErrorReply(kCodeUnavailable, "connection to tolvard lost");
  for (auto& done : failed) {
    if (done) done(unavailable);
  }
  if (!_reconnect) _gaveUp = "connection to tolvard lost";
  if (wasConnected) PostStatus(std::move(status), false);
  ScheduleReconnect();
}

void TolvarDbClient::Read() {
  uint64_t generation = _generation;
  _socket.async_read_some(boost::asio::buffer(_readBuffer), [this, generation](boost::system::error_code ec, size_t n) {
    if (_stopped || generation != _generation) return;
    if (ec) {
      OnDisconnected(ec == boost::asio::error::eof ? "closed by tolvard" : ec.message());
      return;
    }
    _lastActivityMs = NowMs();
    _decoder.Append(_readBuffer.data(), n);
    std::string payload;
    for (;;) {
      FrameDecoder::Result result = _decoder.Next(&payload);
      if (result == FrameDecoder::Result::kNeedMore) break;
      if (result == FrameDecoder::Result::kTooLarge) {
        OnDisconnected("frame over the size bound");
        return;
      }
      HandleFrame(payload);
      if (generation != _generation) return;
    }
    Read();
  });
}

void TolvarDbClient::HandleFrame(const std::string& payload) {
  tv::ServerFrameMsg frame;
  if (!frame.ParseFromString(payload)) {
    OnDisconnected("frame from tolvard does not parse");
    return;
  }
  if (_traceFrames) {
    QOR_LIB_LOG(library_log_level, VevUroro::LOG_LEVEL_DEBUG, "TolvarDbClient: received %1", frame.ShortDebugString());
  }
  if (frame.has_monitor()) {
    MonitorKey key{frame.monitor().monitor_id(), frame.monitor().vdb()};
    UpdateCallback update;
    BarrierCallback barrier;
    {
      std::lock_guard lock(_mutex);
      auto it = _callbacks.find(key);
      if (it != _callbacks.end()) {
        update = it->second.first;
        barrier = it->second.second;
      }
    }
    if (!update && !barrier) {
      QOR_LIB_LOG(library_log_level, VevUroro::LOG_LEVEL_DEBUG,
                  "TolvarDbClient: no callbacks for monitor %1 vdb %2; updates dropped", key.first, key.second);
      return;
    }
    auto batch = std::make_shared<tv::MonitorBatchMsg>();
    batch->Swap(frame.mutable_monitor());
    PostCallback([batch, update, barrier] {
      if (update) {
        for (const auto& one : batch->updates()) update(one);
      }
      if (batch->barrier() && barrier) barrier();
    });
    return;
  }
  Completion done;
  {
    std::lock_guard lock(_mutex);
    auto it = _pending.find(frame.request_id());
    if (it == _pending.end()) {
      if (frame.status().code() != kCodeOk) {
        QOR_LIB_LOG(library_log_level, VevUroro::LOG_LEVEL_WARN, "TolvarDbClient: tolvard reports: %1",
                    frame.status().message());
      }
      return;
    }
    done = std::move(it->second.done);
    _pending.erase(it);
  }
  if (done) {
    done(frame);
  } else if (frame.status().code() != kCodeOk) {
    QOR_LIB_LOG(library_log_level, VevUroro::LOG_LEVEL_ERROR, "TolvarDbClient: session set-up refused: %1",
                frame.status().message());
  }
}

void TolvarDbClient::SendFrame(std::shared_ptr<const std::string> bytes) {
  if (!_socketOpen) return;
  _output.push_back(std::move(bytes));
  Write();
}

void TolvarDbClient::Write() {
  if (_writing || _output.empty() || !_socketOpen) return;
  _writing = true;
  uint64_t generation = _generation;
  boost::asio::async_write(_socket, boost::asio::buffer(*_output.front()),
                           [this, generation](boost::system::error_code ec, size_t) {
                             if (_stopped || generation != _generation) return;
                             _writing = false;
                             if (ec) {
                               OnDisconnected("write failed: " + ec.message());
                               return;
                             }
                             _output.pop_front();
                             Write();
                           });
}

}  // namespace qor::tolvar
