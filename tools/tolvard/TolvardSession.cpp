#include "tools/tolvard/TolvardSession.h"

#include "platform/tolvar/TolvarSchema.h"
#include "platform/tolvar/WireCodes.h"
#include "tools/tolvard/TolvarServer.h"
#include "tools/tolvard/TransactionApplier.h"

namespace qor::tolvar {
namespace tv = zantix::qor::tolvar;
using boost::asio::ip::tcp;

namespace {

// Room left in every frame for what surrounds a reply or an update (request id, status, monitor id, vdb, barrier).
constexpr size_t kFrameMargin = 1024;
// Tags and lengths around one object of a get reply.
constexpr size_t kObjectOverhead = 32;
// The most that one write gathers from the queued frames (a single larger frame goes alone).
constexpr size_t kGatherBytes = 256 * 1024;

using MonitorKey = std::pair<uint32_t, uint32_t>;
using Followed = std::map<uint32_t, std::optional<std::set<uint32_t>>>;  // type -> followed lists (all: nullopt)

// The updates of one monitor packed into frames of about `bound` bytes as they are asked for; the last frame
// carries the barrier.
class MonitorBatches : public FrameSource {
 public:
  MonitorBatches(MonitorKey monitor, Followed followed, size_t bound)
      : _monitor(monitor), _followed(std::move(followed)), _bound(bound) {}

  bool Next(std::string* frame) override {
    if (_done) return false;
    tv::ServerFrameMsg message;
    tv::MonitorBatchMsg* batch = message.mutable_monitor();
    size_t bytes = 0;
    for (;;) {
      if (!_next) {
        tv::MonitorUpdateMsg update;
        if (!NextUpdate(&update)) {
          batch->set_barrier(true);
          _done = true;
          break;
        }
        _next = std::move(update);
      }
      size_t size = _next->ByteSizeLong();
      if (bytes > 0 && bytes + size > _bound) break;
      batch->add_updates()->Swap(&*_next);
      _next.reset();
      bytes += size;
    }
    batch->set_monitor_id(_monitor.first);
    batch->set_vdb(_monitor.second);
    *frame = EncodeFrame(message);
    return true;
  }

 protected:
  // The next update, or false when there is none left.
  virtual bool NextUpdate(tv::MonitorUpdateMsg* update) = 0;
  const std::set<uint32_t>* FollowedLists(uint32_t type) const {
    auto it = _followed.find(type);
    return it != _followed.end() && it->second ? &*it->second : nullptr;
  }

 private:
  MonitorKey _monitor;
  Followed _followed;
  size_t _bound;
  std::optional<tv::MonitorUpdateMsg> _next;
  bool _done = false;
};

// The initial state of a monitor: the objects of its types as they were when it was configured.
class SnapshotSource : public MonitorBatches {
 public:
  SnapshotSource(MonitorKey monitor, Followed followed, size_t bound,
                 std::vector<std::pair<ObjectKey, ObjectStore::Body>> objects)
      : MonitorBatches(monitor, std::move(followed), bound), _objects(std::move(objects)) {
    for (const auto& object : _objects) _remaining += object.second->size();
  }
  size_t Remaining() const override { return _remaining; }

 protected:
  bool NextUpdate(tv::MonitorUpdateMsg* update) override {
    if (_index == _objects.size()) return false;
    auto& [key, body] = _objects[_index++];
    ObjectChange change{key, std::nullopt, *body};
    *update = ChangeDiff(change).Update(FollowedLists(key.type));
    _remaining -= body->size();
    body.reset();
    return true;
  }

 private:
  std::vector<std::pair<ObjectKey, ObjectStore::Body>> _objects;
  size_t _index = 0;
  size_t _remaining = 0;
};

// The changes of one committed transaction that a monitor follows.
class TransactionSource : public MonitorBatches {
 public:
  TransactionSource(MonitorKey monitor, Followed followed, size_t bound,
                    std::shared_ptr<const CommittedTransaction> transaction, std::vector<size_t> indexes)
      : MonitorBatches(monitor, std::move(followed), bound),
        _transaction(std::move(transaction)),
        _indexes(std::move(indexes)) {
    for (size_t i : _indexes) _remaining += Size(i);
  }
  size_t Remaining() const override { return _remaining; }

 protected:
  bool NextUpdate(tv::MonitorUpdateMsg* update) override {
    if (_position == _indexes.size()) return false;
    size_t i = _indexes[_position++];
    *update = _transaction->diffs[i].Update(FollowedLists(_transaction->changes[i].key.type));
    _remaining -= Size(i);
    return true;
  }

 private:
  size_t Size(size_t i) const {
    const ObjectChange& change = _transaction->changes[i];
    return (change.oldBody ? change.oldBody->size() : 0) + (change.newBody ? change.newBody->size() : 0);
  }

  std::shared_ptr<const CommittedTransaction> _transaction;
  std::vector<size_t> _indexes;
  size_t _position = 0;
  size_t _remaining = 0;
};

}  // namespace

CommittedTransaction::CommittedTransaction(std::vector<ObjectChange> changesIn) : changes(std::move(changesIn)) {
  diffs.reserve(changes.size());
  for (const ObjectChange& change : changes) diffs.emplace_back(change);
}

TolvardSession::TolvardSession(TolvarServer& server, tcp::socket socket)
    : _server(server), _socket(std::move(socket)), _decoder(server.Options().maxFrame) {
  boost::system::error_code ec;
  auto remote = _socket.remote_endpoint(ec);
  _peer = ec ? std::string("?") : remote.address().to_string() + ":" + std::to_string(remote.port());
}

void TolvardSession::Start() {
  if (_server.Options().verbose) _server.Log("client connected from " + _peer);
  Read();
}

void TolvardSession::Close(const std::string& reason, bool abort) {
  if (_closed) return;
  _closed = true;
  if (!_quietClose)
    _server.Log("closing connection " + _peer + (_name.empty() ? "" : " (" + _name + ")") + ": " + reason);
  boost::system::error_code ignored;
  if (abort) _socket.set_option(boost::asio::socket_base::linger(true, 0), ignored);
  _socket.shutdown(tcp::socket::shutdown_both, ignored);
  _socket.close(ignored);
  _output.clear();
  _current.clear();
  _frameBytes = 0;
  if (_inputReported > 0) {
    size_t reported = _inputReported;
    _inputReported = 0;
    _server.InputChanged(-static_cast<std::ptrdiff_t>(reported));
  }
  _server.Remove(shared_from_this());
}

void TolvardSession::Read() {
  if (_reading || _closed) return;
  _reading = true;
  auto self = shared_from_this();
  _socket.async_read_some(boost::asio::buffer(_readBuffer), [this, self](boost::system::error_code ec, size_t n) {
    _reading = false;
    if (_closed) return;
    if (ec) {
      // An orderly close is routine; only log it when asked to.
      if (ec == boost::asio::error::eof && !_server.Options().verbose) _quietClose = true;
      Close(ec == boost::asio::error::eof ? "peer closed" : ec.message());
      return;
    }
    _decoder.Append(_readBuffer.data(), n);
    ReportInput();
    if (_closed) return;  // it held the most input when all input was over the bound
    if (HandleFrames()) Read();
  });
}

void TolvardSession::ReportInput() {
  std::ptrdiff_t delta = static_cast<std::ptrdiff_t>(_decoder.Buffered()) - static_cast<std::ptrdiff_t>(_inputReported);
  _inputReported = _decoder.Buffered();
  if (delta != 0) _server.InputChanged(delta);
}

bool TolvardSession::HandleFrames() {
  std::string payload;
  for (;;) {
    // No more requests while their answers would only pile up, not even those of the same read (one read may hold
    // thousands of small requests): they wait in the decoder, and reading resumes as the output drains.
    if (Pending() > _server.Options().maxPendingOutput) {
      _readPaused = true;
      ReportInput();
      return false;
    }
    FrameDecoder::Result result = _decoder.Next(&payload);
    if (result == FrameDecoder::Result::kNeedMore) break;
    if (result == FrameDecoder::Result::kTooLarge) {
      Close("frame larger than " + std::to_string(_server.Options().maxFrame) + " bytes", true);
      return false;
    }
    Handle(payload);
    if (_closed) return false;
  }
  ReportInput();
  return !_closed;
}

void TolvardSession::ResumeReading() {
  if (!_readPaused || _closed || Pending() > _server.Options().maxPendingOutput) return;
  _readPaused = false;
  if (HandleFrames()) Read();
}

size_t TolvardSession::Pending() const {
  size_t pending = _frameBytes + (_current.size() - _currentOffset);
  for (const Output& output : _output) {
    if (output.source) pending += output.source->Remaining();
  }
  return pending;
}

void TolvardSession::CheckStalled(std::chrono::steady_clock::time_point now) {
  if (_closed || !_writing || now - _lastProgress < _server.Options().stallTimeout) return;
  size_t pending = Pending();
  if (pending <= _server.Options().maxPendingOutput) return;
  Close("client does not read; " + std::to_string(pending) + " bytes unsent", true);
}

void TolvardSession::Send(const tv::ServerFrameMsg& frame) {
  Queue(Output{EncodeFrame(frame), nullptr});
}

void TolvardSession::Queue(Output output) {
  if (_closed) return;
  _frameBytes += output.frame.size();
  _output.push_back(std::move(output));
  Write();
}

void TolvardSession::Write() {
  if (_writing || _closed) return;
  if (_currentOffset == _current.size()) {
    _current.clear();
    _currentOffset = 0;
    // What piled up while the previous write was under way goes out in one write (up to a bound), rather than one
    // frame per turn of the event loop: a monitor of a busy database otherwise falls further behind with every
    // transaction committed meanwhile.
    std::string frame;
    while (!_output.empty() && _current.size() < kGatherBytes) {
      Output& front = _output.front();
      if (!front.source) {
        _frameBytes -= front.frame.size();
        if (_current.empty()) {
          _current = std::move(front.frame);
        } else {
          _current += front.frame;
        }
        _output.pop_front();
      } else if (front.source->Next(&frame)) {
        _current += frame;
      } else {
        _output.pop_front();
      }
    }
  }
  if (_currentOffset == _current.size()) return;
  // The time-out for a client that does not read counts from the moment something waits for it.
  if (!_writing) _lastProgress = std::chrono::steady_clock::now();
  _writing = true;
  auto self = shared_from_this();
  _socket.async_write_some(boost::asio::buffer(_current.data() + _currentOffset, _current.size() - _currentOffset),
                           [this, self](boost::system::error_code ec, size_t n) {
                             _writing = false;
                             if (_closed) return;
                             if (ec) {
                               Close("write failed: " + ec.message());
                               return;
                             }
                             _currentOffset += n;
                             _lastProgress = std::chrono::steady_clock::now();
                             Write();
                             ResumeReading();
                           });
}

void TolvardSession::Reply(uint64_t requestId, uint32_t code, const std::string& message, tv::ServerFrameMsg* frame) {
  tv::ServerFrameMsg local;
  if (!frame) frame = &local;
  frame->set_request_id(requestId);
  frame->mutable_status()->set_code(code);
  frame->mutable_status()->set_message(message);
  if (code != kCodeOk && _server.Options().verbose) _server.Log(_peer + ": " + message);
  Send(*frame);
}

void TolvardSession::Handle(const std::string& payload) {
  tv::ClientFrameMsg frame;
  if (!frame.ParseFromString(payload)) {
    Reply(0, kCodeInvalidArgument, "frame does not parse");
    return;
  }
  uint64_t id = frame.request_id();
  // Only transactions join a group: anything else sees (and is answered after) what was staged before it.
  if (frame.body_case() != tv::ClientFrameMsg::kTransact) _server.CommitGroup();
  switch (frame.body_case()) {
    case tv::ClientFrameMsg::kHello:
      _name = frame.hello().client_name();
      if (_server.Options().verbose) _server.Log(_peer + " is " + _name);
      Reply(id, kCodeOk, "");
      break;
    case tv::ClientFrameMsg::kSelectVdb:
      if (frame.select_vdb().vdb() > 0xffff) {
        Reply(id, kCodeInvalidArgument, "vdb " + std::to_string(frame.select_vdb().vdb()) + " is outside 0..65535");
      } else {
        _vdb = frame.select_vdb().vdb();
        Reply(id, kCodeOk, "");
      }
      break;
    case tv::ClientFrameMsg::kConfigureMonitors:
      Configure(id, frame.configure_monitors());
      break;
    case tv::ClientFrameMsg::kTransact:
      Transact(id, frame.transact());
      break;
    case tv::ClientFrameMsg::kGet:
      Get(id, frame.get());
      break;
    case tv::ClientFrameMsg::kEcho: {
      tv::ServerFrameMsg reply;
      *reply.mutable_echo() = frame.echo();
      Reply(id, kCodeOk, "", &reply);
      break;
    }
    default:
      Reply(id, kCodeInvalidArgument, "request without a body");
      break;
  }
}

void TolvardSession::Configure(uint64_t requestId, const tv::ConfigureMonitorsMsg& configure) {
  if (configure.vdb() > 0xffff) {
    Reply(requestId, kCodeInvalidArgument, "vdb " + std::to_string(configure.vdb()) + " is outside 0..65535");
    return;
  }
  // Validate everything before changing anything.
  std::map<uint32_t, Statement> added;
  for (const tv::MonitorStatementMsg& statement : configure.add()) {
    uint32_t type = static_cast<uint32_t>(statement.statement().object_type());
    if (!ObjectDescriptor(type)) {
      Reply(requestId, kCodeInvalidArgument, "monitor of unknown object type " + std::to_string(type));
      return;
    }
    Statement entry;
    entry.flag = statement.flag();
    if (statement.statement().has_select()) {
      std::unique_ptr<google::protobuf::Message> op = NewOp(type);
      if (!op->ParseFromString(statement.statement().select().op_message())) {
        Reply(requestId, kCodeInvalidArgument, "select clause of " + ObjectTypeName(type) + " does not parse");
        return;
      }
      entry.followed.emplace();
      const google::protobuf::Reflection* reflection = op->GetReflection();
      for (int i = 0; i < op->GetDescriptor()->field_count(); ++i) {
        const google::protobuf::FieldDescriptor* field = op->GetDescriptor()->field(i);
        if (field->is_repeated() && PropertyOf(field) != 0 && reflection->FieldSize(*op, field) > 0) {
          entry.followed->insert(PropertyOf(field));
        }
      }
    }
    added[type] = entry;
  }
  MonitorKey key{configure.monitor_id(), configure.vdb()};
  auto& monitor = _monitors[key];
  for (const tv::MonitorStatementMsg& statement : configure.remove()) {
    monitor.erase(static_cast<uint32_t>(statement.statement().object_type()));
  }
  for (auto& [type, entry] : added) monitor[type] = entry;
  if (monitor.empty()) _monitors.erase(key);
  Reply(requestId, kCodeOk, "");
  if (configure.add_size() == 0) return;
  // The initial state of the added types, then one barrier: sent as the client drains it, from the bodies as they
  // are now.
  Followed followed;
  std::vector<std::pair<ObjectKey, ObjectStore::Body>> objects;
  for (auto& [type, entry] : added) {
    followed[type] = entry.followed;
    auto [begin, end] = _server.Store().Range(key.second, type);
    for (auto it = begin; it != end; ++it) objects.emplace_back(it->first, it->second);
  }
  Queue(Output{std::string(),
               std::make_unique<SnapshotSource>(key, std::move(followed), BatchBound(), std::move(objects))});
}

size_t TolvardSession::FrameRoom() const {
  return _server.Options().maxFrame > kFrameMargin ? _server.Options().maxFrame - kFrameMargin : 0;
}

size_t TolvardSession::BatchBound() const {
  return std::min<size_t>(_server.Options().maxFrame / 2, 4u * 1024 * 1024);
}

void TolvardSession::Publish(const std::shared_ptr<const CommittedTransaction>& transaction) {
  for (const auto& [key, statements] : _monitors) {
    if (_closed) return;
    std::vector<size_t> indexes;
    Followed followed;
    for (size_t i = 0; i < transaction->changes.size(); ++i) {
      const ObjectKey& object = transaction->changes[i].key;
      if (object.vdb != key.second) continue;
      auto statement = statements.find(object.type);
      if (statement == statements.end()) continue;
      indexes.push_back(i);
      followed[object.type] = statement->second.followed;
    }
    if (indexes.empty()) continue;
    Queue(Output{std::string(), std::make_unique<TransactionSource>(key, std::move(followed), BatchBound(), transaction,
                                                                    std::move(indexes))});
  }
}

void TolvardSession::Transact(uint64_t requestId, const tv::TransactMsg& transact) {
  // An update carries the body before and after in one frame, with room to spare for the rest of the frame.
  TransactionApplier applier(_server.Store(), _vdb, (std::max<size_t>(_server.Options().maxFrame, 2048) - 1024) / 2);
  std::vector<ObjectChange> changes;
  std::string error;
  if (!applier.Apply(transact.requests(), &changes, &error)) {
    _server.CommitGroup();  // answered after this session's staged transactions, in order
    Reply(requestId, kCodeInvalidArgument, error);
    return;
  }
  // Every update must fit one frame as monitors will receive it; the bound on bodies alone leaves out the element
  // operations, one per element, which can outweigh the body of a list of small elements.
  auto transaction = std::make_shared<const CommittedTransaction>(std::move(changes));
  for (size_t i = 0; i < transaction->changes.size(); ++i) {
    size_t bytes = transaction->diffs[i].LargestUpdateBytes();
    if (bytes > FrameRoom()) {
      const ObjectKey& key = transaction->changes[i].key;
      _server.CommitGroup();  // answered after this session's staged transactions, in order
      Reply(requestId, kCodeInvalidArgument,
            "object " + ObjectTypeName(key.type) + " " + ObjectIdText(key.type, key.id) + ": its update of " +
                std::to_string(bytes) + " bytes would be over the frame bound of " + std::to_string(FrameRoom()));
      return;
    }
  }
  // The answer waits for the group's commit; the session stays alive until then (publishing may close it).
  _server.Stage(std::move(transaction), [this, self = shared_from_this(), requestId](bool ok, const std::string& why) {
    if (ok) {
      Reply(requestId, kCodeOk, "");
    } else {
      Reply(requestId, kCodeInternal, "commit failed: " + why);
    }
  });
}

void TolvardSession::Get(uint64_t requestId, const tv::GetMsg& get) {
  uint32_t vdb = get.vdb();
  tv::ServerFrameMsg reply;
  // The reply is one frame: the objects found must fit the frame bound together (a request may name one large
  // object any number of times).
  const size_t bound = FrameRoom();
  size_t bytes = 0;
  for (const tv::ObjectRequestMsg& request : get.requests()) {
    uint32_t type = static_cast<uint32_t>(request.object_type());
    if (!ObjectDescriptor(type)) {
      Reply(requestId, kCodeInvalidArgument, "get of unknown object type " + std::to_string(type));
      return;
    }
    const std::string* body = _server.Store().Find(ObjectKey{vdb, type, request.object_id()});
    if (!body) continue;
    bytes += body->size() + kObjectOverhead;
    if (bytes > bound) {
      Reply(requestId, kCodeInvalidArgument,
            "get of " + std::to_string(get.requests_size()) + " objects: the objects found exceed the frame bound of " +
                std::to_string(bound) + " bytes; ask for fewer at a time");
      return;
    }
    tv::TypedObjectMsg* object = reply.mutable_get_reply()->add_objects();
    object->set_object_type(request.object_type());
    object->set_object_body(*body);
  }
  reply.mutable_get_reply();
  Reply(requestId, kCodeOk, "", &reply);
}

}  // namespace qor::tolvar
