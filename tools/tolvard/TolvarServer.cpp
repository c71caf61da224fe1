#include "tools/tolvard/TolvarServer.h"

#include <iostream>

#include "tools/tolvard/TolvardSession.h"
#include "tools/tolvard/UpdateBuilder.h"

namespace qor::tolvar {

using boost::asio::ip::tcp;

TolvarServer::TolvarServer(boost::asio::io_context& io, ObjectStore& store, TolvarServerOptions options)
    : _store(store), _options(std::move(options)), _acceptor(io) {}

TolvarServer::~TolvarServer() {
  boost::system::error_code ignored;
  _acceptor.close(ignored);
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
  return true;
}

void TolvarServer::Accept() {
  _acceptor.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
    if (ec == boost::asio::error::operation_aborted) return;
    if (!ec) {
      boost::system::error_code ignored;
      socket.set_option(tcp::no_delay(true), ignored);
      auto session = std::make_shared<TolvardSession>(*this, std::move(socket));
      _sessions.insert(session);
      session->Start();
    } else {
      Log("accept failed: " + ec.message());
    }
    Accept();
  });
}

void TolvarServer::Remove(const std::shared_ptr<TolvardSession>& session) {
  _sessions.erase(session);
}

bool TolvarServer::CommitAndPublish(const std::vector<ObjectChange>& changes, std::string* error) {
  if (!_store.Commit(changes, error)) return false;
  if (changes.empty()) return true;
  std::vector<ChangeDiff> diffs;
  diffs.reserve(changes.size());
  for (const ObjectChange& change : changes) diffs.emplace_back(change);
  // Copy: a session may close (and remove itself) while publishing.
  std::vector<std::shared_ptr<TolvardSession>> sessions(_sessions.begin(), _sessions.end());
  for (const auto& session : sessions) session->Publish(changes, diffs);
  return true;
}

void TolvarServer::Log(const std::string& line) const {
  std::cerr << "tolvard: " << line << std::endl;
}

}  // namespace qor::tolvar
