// One client connection of tolvard: its frame reader, its output queue, its selected vdb and its monitors.
// Server thread only.
#pragma once

// clang-format off
// Boost 1.74's asio uses std::exchange without including <utility> itself.
#include <utility>
// clang-format on

#include <boost/asio.hpp>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/tolvar/FrameCodec.h"
#include "tools/tolvard/ObjectStore.h"
#include "tools/tolvard/UpdateBuilder.h"
#include "zantix/qor/tolvar/wire.pb.h"

namespace qor::tolvar {

class TolvarServer;

class TolvardSession : public std::enable_shared_from_this<TolvardSession> {
 public:
  TolvardSession(TolvarServer& server, boost::asio::ip::tcp::socket socket);

  void Start();
  // Closes the connection. `abort` resets it instead, dropping whatever is still unsent: for a client that was
  // dropped for not reading or for a bad stream, there is no point in delivering the rest.
  void Close(const std::string& reason, bool abort = false);

  // Sends the changes of one committed transaction that this session's monitors follow: per monitor, its updates
  // and then one barrier. `diffs` matches `changes` index by index.
  void Publish(const std::vector<ObjectChange>& changes, const std::vector<ChangeDiff>& diffs);

 private:
  struct Statement {
    bool flag = false;
    // List properties to follow; nullopt = all.
    std::optional<std::set<uint32_t>> followed;
  };
  using MonitorKey = std::pair<uint32_t, uint32_t>;  // monitor id, vdb

  void Read();
  void Handle(const std::string& payload);
  void Reply(uint64_t requestId, uint32_t code, const std::string& message,
             zantix::qor::tolvar::ServerFrameMsg* frame = nullptr);
  void Send(const zantix::qor::tolvar::ServerFrameMsg& frame);
  void Write();
  void Configure(uint64_t requestId, const zantix::qor::tolvar::ConfigureMonitorsMsg& configure);
  void Transact(uint64_t requestId, const zantix::qor::tolvar::TransactMsg& transact);
  void Get(uint64_t requestId, const zantix::qor::tolvar::GetMsg& get);
  // Sends `updates` for one monitor in frames under the size bound; the last frame carries the barrier.
  void SendBatches(const MonitorKey& monitor, std::vector<zantix::qor::tolvar::MonitorUpdateMsg>& updates);

  TolvarServer& _server;
  boost::asio::ip::tcp::socket _socket;
  std::string _peer;
  std::string _name;
  FrameDecoder _decoder;
  std::array<char, 65536> _readBuffer;
  std::deque<std::string> _output;
  size_t _pendingBytes = 0;
  bool _writing = false;
  bool _closed = false;
  bool _quietClose = false;
  uint32_t _vdb = 1;
  std::map<MonitorKey, std::map<uint32_t, Statement>> _monitors;
};

}  // namespace qor::tolvar
