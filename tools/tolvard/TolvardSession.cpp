#include "tools/tolvard/TolvardSession.h"

#include "platform/tolvar/TolvarSchema.h"
#include "platform/tolvar/WireCodes.h"
#include "tools/tolvard/TolvarServer.h"
#include "tools/tolvard/TransactionApplier.h"

namespace qor::tolvar {
namespace tv = zantix::qor::tolvar;
using boost::asio::ip::tcp;

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
  _pendingBytes = 0;
  _server.Remove(shared_from_this());
}

void TolvardSession::Read() {
  auto self = shared_from_this();
  _socket.async_read_some(boost::asio::buffer(_readBuffer), [this, self](boost::system::error_code ec, size_t n) {
    if (_closed) return;
    if (ec) {
      // An orderly close is routine; only log it when asked to.
      if (ec == boost::asio::error::eof && !_server.Options().verbose) _quietClose = true;
      Close(ec == boost::asio::error::eof ? "peer closed" : ec.message());
      return;
    }
    _decoder.Append(_readBuffer.data(), n);
    std::string payload;
    for (;;) {
      FrameDecoder::Result result = _decoder.Next(&payload);
      if (result == FrameDecoder::Result::kNeedMore) break;
      if (result == FrameDecoder::Result::kTooLarge) {
        Close("frame larger than " + std::to_string(_server.Options().maxFrame) + " bytes", true);
        return;
      }
      Handle(payload);
      if (_closed) return;
    }
    Read();
  });
}

void TolvardSession::Send(const tv::ServerFrameMsg& frame) {
  if (_closed) return;
  std::string bytes = EncodeFrame(frame.SerializeAsString());
  _pendingBytes += bytes.size();
  if (_pendingBytes > _server.Options().maxPendingOutput) {
    Close("client does not read; " + std::to_string(_pendingBytes) + " bytes unsent", true);
    return;
  }
  _output.push_back(std::move(bytes));
  Write();
}

void TolvardSession::Write() {
  if (_writing || _output.empty() || _closed) return;
  _writing = true;
  auto self = shared_from_this();
  boost::asio::async_write(_socket, boost::asio::buffer(_output.front()),
                           [this, self](boost::system::error_code ec, size_t) {
                             _writing = false;
                             if (_closed) return;
                             if (ec) {
                               Close("write failed: " + ec.message());
                               return;
                             }
                             _pendingBytes -= _output.front().size();
                             _output.pop_front();
                             Write();
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
  // The initial state of the added types, then one barrier.
  std::vector<tv::MonitorUpdateMsg> updates;
  for (auto& [type, entry] : added) {
    auto [begin, end] = _server.Store().Range(key.second, type);
    for (auto it = begin; it != end; ++it) {
      ObjectChange change{it->first, std::nullopt, it->second};
      ChangeDiff diff(change);
      updates.push_back(diff.Update(entry.followed ? &*entry.followed : nullptr));
    }
  }
  SendBatches(key, updates);
}

void TolvardSession::SendBatches(const MonitorKey& monitor, std::vector<tv::MonitorUpdateMsg>& updates) {
  const size_t bound = std::min<size_t>(_server.Options().maxFrame / 2, 4u * 1024 * 1024);
  tv::ServerFrameMsg frame;
  size_t bytes = 0;
  for (tv::MonitorUpdateMsg& update : updates) {
    size_t size = update.ByteSizeLong();
    if (bytes > 0 && bytes + size > bound) {
      frame.mutable_monitor()->set_monitor_id(monitor.first);
      frame.mutable_monitor()->set_vdb(monitor.second);
      Send(frame);
      if (_closed) return;
      frame.Clear();
      bytes = 0;
    }
    frame.mutable_monitor()->add_updates()->Swap(&update);
    bytes += size;
  }
  frame.mutable_monitor()->set_monitor_id(monitor.first);
  frame.mutable_monitor()->set_vdb(monitor.second);
  frame.mutable_monitor()->set_barrier(true);
  Send(frame);
}

void TolvardSession::Publish(const std::vector<ObjectChange>& changes, const std::vector<ChangeDiff>& diffs) {
  for (const auto& [key, statements] : _monitors) {
    if (_closed) return;
    std::vector<tv::MonitorUpdateMsg> updates;
    for (size_t i = 0; i < changes.size(); ++i) {
      if (changes[i].key.vdb != key.second) continue;
      auto statement = statements.find(changes[i].key.type);
      if (statement == statements.end()) continue;
      updates.push_back(diffs[i].Update(statement->second.followed ? &*statement->second.followed : nullptr));
    }
    if (!updates.empty()) SendBatches(key, updates);
  }
}

void TolvardSession::Transact(uint64_t requestId, const tv::TransactMsg& transact) {
  std::vector<tv::ModifyRequestMsg> requests(transact.requests().begin(), transact.requests().end());
  TransactionApplier applier(_server.Store(), _vdb);
  std::vector<ObjectChange> changes;
  std::string error;
  if (!applier.Apply(requests, &changes, &error)) {
    Reply(requestId, kCodeInvalidArgument, error);
    return;
  }
  // Keep this session alive: publishing may close it.
  auto self = shared_from_this();
  if (!_server.CommitAndPublish(changes, &error)) {
    Reply(requestId, kCodeInternal, "commit failed: " + error);
    return;
  }
  Reply(requestId, kCodeOk, "");
}

void TolvardSession::Get(uint64_t requestId, const tv::GetMsg& get) {
  uint32_t vdb = get.vdb();
  tv::ServerFrameMsg reply;
  for (const tv::ObjectRequestMsg& request : get.requests()) {
    uint32_t type = static_cast<uint32_t>(request.object_type());
    if (!ObjectDescriptor(type)) {
      Reply(requestId, kCodeInvalidArgument, "get of unknown object type " + std::to_string(type));
      return;
    }
    const std::string* body = _server.Store().Find(ObjectKey{vdb, type, request.object_id()});
    if (!body) continue;
    tv::TypedObjectMsg* object = reply.mutable_get_reply()->add_objects();
    object->set_object_type(request.object_type());
    object->set_object_body(*body);
  }
  reply.mutable_get_reply();
  Reply(requestId, kCodeOk, "", &reply);
}

}  // namespace qor::tolvar
