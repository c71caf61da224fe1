// VevUroro::IConfigDatabase: what IP discovery and the daemon health monitor ask of the database client, behind an
// interface so that their tests drive it by hand.
//
//   Get: an asynchronous look-up on the main vdb; the completion runs on the client's callback thread with the
//        objects found and a status whose code 0 means success.
//   EchoAsync: a round trip through the database server; false when the request cannot be sent (the client is
//        stopped), in which case the completion is never called. A request made while disconnected waits for the
//        next connection.
//   LastActivitySeconds: the time of the last frame received from the server, in whole seconds since the epoch
//        (0 when none yet); read atomically.
//
// Any thread. TolvarClientDatabase is the production implementation over the agent's Tolvar client; it holds a
// counted reference to the client.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "intake/TolvarClient.h"
#include "platform/rpc/Status.h"
#include "zantix/qor/tolvar/wire.pb.h"

namespace VevUroro {

class IConfigDatabase {
 public:
  using GetCallback = TolvarClient::GetCallback;
  using EchoCallback = std::function<void(const std::string& reply, const qor::rpc::Status& status)>;

  virtual ~IConfigDatabase() = default;
  virtual void Get(const std::vector<zantix::qor::tolvar::ObjectRequestMsg>& requests, GetCallback done) = 0;
  virtual bool EchoAsync(const std::string& payload, EchoCallback done) = 0;
  virtual int64_t LastActivitySeconds() const = 0;
};

class TolvarClientDatabase : public IConfigDatabase {
 public:
  explicit TolvarClientDatabase(qor::RefPtr<TolvarClient> client) : _client(std::move(client)) {}

  void Get(const std::vector<zantix::qor::tolvar::ObjectRequestMsg>& requests, GetCallback done) override {
    _client->Get(requests, std::move(done));
  }
  bool EchoAsync(const std::string& payload, EchoCallback done) override {
    auto library = _client->LibraryClient();
    return library && library->EchoAsync(payload, std::move(done));
  }
  int64_t LastActivitySeconds() const override {
    auto library = _client->LibraryClient();
    if (!library) return 0;
    return std::chrono::duration_cast<std::chrono::seconds>(library->LastActivityTime().time_since_epoch()).count();
  }

 private:
  qor::RefPtr<TolvarClient> _client;
};

}  // namespace VevUroro
