#include "tools/tolvard/TolvarServer.h"

#include <algorithm>
#include <iostream>

#include "tools/tolvard/TolvardSession.h"
#include "tools/tolvard/UpdateBuilder.h"

namespace qor::tolvar {

using boost::asio::ip::tcp;

TolvarServer::TolvarServer(boost::asio::io_context& io, ObjectStore& store, TolvarServerOptions options)
    : _store(store),
      _options(std::move(options)),
      _acceptor(io),
      _acceptRetry(io),
      _stallTimer(io),
      _checkpointTimer(io) {}

TolvarServer::~TolvarServer() {
  boost::system::error_code ignored;
  _acceptor.close(ignored);
  _acceptRetry.cancel();
  _stallTimer.cancel();
  _checkpointTimer.cancel();
}

bool TolvarServer::Listen(std::string* error) {
  boost::system::error_code ec;
  auto address = boost::asio::ip::make_address(_options.address, ec);
  if (ec) {
    *error = "bad listen address " + _options.address;
    return false;
  }
  tcp::endpoint endpoint(address, _options.port);
  _acceptor.open(endpoint.protocol(), ec);
  if (!ec) _acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) _acceptor.bind(endpoint, ec);
  if (!ec) _acceptor.listen(boost::asio::socket_base::max_listen_connections, ec);
  if (ec) {
    *error = "cannot listen on " + _options.address + ":" + std::to_string(_options.port) + ": " + ec.message();
    return false;
  }
  _boundPort = _acceptor.local_endpoint().port();
  Accept();
  CheckStalls();
  return true;
}

void TolvarServer::Accept() {
  _acceptor.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
    if (ec == boost::asio::error::operation_aborted) return;
    if (ec) {
      // Out of descriptors (or memory) the same accept fails at once again: pause, longer each time, instead of
      // spinning, and tell at most once a second.
      LogLimited("accept", "accept failed: " + ec.message());
      _acceptBackoff =
          std::min(std::max(_acceptBackoff * 2, std::chrono::milliseconds(10)), std::chrono::milliseconds(1000));
      RetryAccept();
      return;
    }
    _acceptBackoff = std::chrono::milliseconds(0);
    boost::system::error_code ignored;
    if (_sessions.size() >= _options.maxConnections) {
      auto remote = socket.remote_endpoint(ignored);
      LogLimited("connections", "connection from " + remote.address().to_string() +
                                    " refused: " + std::to_string(_sessions.size()) + " connections open, the bound");
      socket.close(ignored);
    } else {
      socket.set_option(tcp::no_delay(true), ignored);
      auto session = std::make_shared<TolvardSession>(*this, std::move(socket));
      _sessions.insert(session);
      session->Start();
    }
    Accept();
  });
}

void TolvarServer::RetryAccept() {
  _acceptRetry.expires_after(_acceptBackoff);
  _acceptRetry.async_wait([this](boost::system::error_code ec) {
    if (!ec) Accept();
  });
}

void TolvarServer::LogLimited(const std::string& kind, const std::string& line) {
  auto now = std::chrono::steady_clock::now();
  Limited& limited = _limited[kind];
  if (limited.last != std::chrono::steady_clock::time_point() && now - limited.last < std::chrono::seconds(1)) {
    ++limited.suppressed;
    return;
  }
  Log(line + (limited.suppressed ? " (" + std::to_string(limited.suppressed) + " more since the last report)" : ""));
  limited.last = now;
  limited.suppressed = 0;
}

void TolvarServer::CheckStalls() {
  auto interval = std::clamp(_options.stallTimeout / 4, std::chrono::milliseconds(10), std::chrono::milliseconds(1000));
  _stallTimer.expires_after(interval);
  _stallTimer.async_wait([this](boost::system::error_code ec) {
    if (ec) return;
    auto now = std::chrono::steady_clock::now();
    // Copy: a session may close (and remove itself).
    std::vector<std::shared_ptr<TolvardSession>> sessions(_sessions.begin(), _sessions.end());
    for (const auto& session : sessions) session->CheckStalled(now);
    CheckStalls();
  });
}

void TolvarServer::InputChanged(std::ptrdiff_t delta) {
  _inputBytes = static_cast<size_t>(static_cast<std::ptrdiff_t>(_inputBytes) + delta);
  if (_inputBytes <= _options.maxInput) return;
  std::shared_ptr<TolvardSession> largest;
  for (const auto& session : _sessions) {
    if (!largest || session->BufferedInput() > largest->BufferedInput()) largest = session;
  }
  if (largest) {
    largest->Close("unfinished requests of all connections over " + std::to_string(_options.maxInput) +
                       " bytes; this one held the most (" + std::to_string(largest->BufferedInput()) + ")",
                   true);
  }
}

void TolvarServer::Remove(const std::shared_ptr<TolvardSession>& session) {
  _sessions.erase(session);
}

void TolvarServer::Stage(std::shared_ptr<const CommittedTransaction> transaction, TransactionDone done) {
  _store.Stage(transaction->changes);
  _group.push_back(StagedTransaction{std::move(transaction), std::move(done)});
  if (_groupPosted) return;
  // Runs after the handlers that are ready now: the requests that came while the last group was being synced join
  // this one.
  _groupPosted = true;
  boost::asio::post(_acceptor.get_executor(), [this] {
    _groupPosted = false;
    CommitGroup();
  });
}

void TolvarServer::CommitGroup() {
  if (_group.empty()) return;
  std::vector<StagedTransaction> group;
  group.swap(_group);
  std::string error;
  const bool committed = _store.CommitStaged(&error);
  for (StagedTransaction& staged : group) {
    if (committed && !staged.transaction->changes.empty()) {
      // Copy: a session may close (and remove itself) while publishing.
      std::vector<std::shared_ptr<TolvardSession>> sessions(_sessions.begin(), _sessions.end());
      for (const auto& session : sessions) session->Publish(staged.transaction);
    }
    staged.done(committed, error);
  }
  if (committed) ScheduleCheckpoint();
}

void TolvarServer::ScheduleCheckpoint() {
  if (_checkpointArmed || !_store.CheckpointDue()) return;
  _checkpointArmed = true;
  _checkpointTimer.expires_after(_options.checkpointDelay);
  _checkpointTimer.async_wait([this](boost::system::error_code ec) {
    if (ec) return;
    _checkpointArmed = false;
    std::string error;
    if (!_store.Checkpoint(&error)) Log(error + " (the log keeps the commits; tried again after the next one)");
  });
}

void TolvarServer::Log(const std::string& line) const {
  std::cerr << "tolvard: " << line << std::endl;
}

}  // namespace qor::tolvar
