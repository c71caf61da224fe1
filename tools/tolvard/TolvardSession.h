// One client connection of tolvard: its frame reader, its output queue, its selected vdb and its monitors.
//
// Output is flow-controlled: replies are queued as frames, but a monitor's initial state and the updates of a
// committed transaction are queued as sources that make their frames only as the socket drains, from bodies shared
// with the store (a snapshot keeps the versions it started with). While more than the pending bound waits to be
// sent, no further request is read from the client; a client that lets more than that bound wait and drains
// nothing for the stall time-out is dropped as one that does not read.
//
// Server thread only.
#pragma once

// clang-format off
// Boost 1.74's asio uses std::exchange without including <utility> itself.
#include <utility>
// clang-format on

#include <array>
#include <boost/asio.hpp>
#include <chrono>
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

// The object changes of one committed transaction with their diffs, shared by every session that sends them.
struct CommittedTransaction {
  explicit CommittedTransaction(std::vector<ObjectChange> changesIn);
  std::vector<ObjectChange> changes;
  std::vector<ChangeDiff> diffs;  // diffs[i] refers to changes[i]
};

// Frames made on demand, for one monitor: the next frame, or false when there is none left.
class FrameSource {
 public:
  virtual ~FrameSource() = default;
  virtual bool Next(std::string* frame) = 0;
  // Bytes of bodies not yet sent (an estimate of what the source still holds back).
  virtual size_t Remaining() const = 0;
};

class TolvardSession : public std::enable_shared_from_this<TolvardSession> {
 public:
  TolvardSession(TolvarServer& server, boost::asio::ip::tcp::socket socket);

  void Start();
  // Closes the connection. `abort` resets it instead, dropping whatever is still unsent: for a client that was
  // dropped for not reading or for a bad stream, there is no point in delivering the rest.
  void Close(const std::string& reason, bool abort = false);

  // Queues the changes of one committed transaction that this session's monitors follow: per monitor, its updates
  // and then one barrier.
  void Publish(const std::shared_ptr<const CommittedTransaction>& transaction);

  // Bytes waiting to be sent: queued frames and what the sources still hold back.
  size_t Pending() const;
  // Bytes of unfinished request frames read from the client.
  size_t BufferedInput() const { return _decoder.Buffered(); }
  // Drops the client when more than the pending bound has waited for the stall time-out without any of it being
  // drained.
  void CheckStalled(std::chrono::steady_clock::time_point now);

 private:
  struct Statement {
    bool flag = false;
    // List properties to follow; nullopt = all.
    std::optional<std::set<uint32_t>> followed;
  };
  using MonitorKey = std::pair<uint32_t, uint32_t>;  // monitor id, vdb
  struct Output {
    std::string frame;                    // a ready frame, when there is no source
    std::unique_ptr<FrameSource> source;  // frames made as the socket drains
  };

  void Read();
  // Handles the complete frames read so far; false when reading must not go on (paused or closed).
  bool HandleFrames();
  // Tells the server how much unfinished input this connection holds.
  void ReportInput();
  void Handle(const std::string& payload);
  void Reply(uint64_t requestId, uint32_t code, const std::string& message,
             zantix::qor::tolvar::ServerFrameMsg* frame = nullptr);
  void Send(const zantix::qor::tolvar::ServerFrameMsg& frame);
  void Queue(Output output);
  void Write();
  // Reads again once the pending output is back under the bound.
  void ResumeReading();
  void Configure(uint64_t requestId, const zantix::qor::tolvar::ConfigureMonitorsMsg& configure);
  void Transact(uint64_t requestId, const zantix::qor::tolvar::TransactMsg& transact);
  void Get(uint64_t requestId, const zantix::qor::tolvar::GetMsg& get);
  // Bytes of updates per monitor frame.
  size_t BatchBound() const;
  // Bytes a reply or an update may take in one frame: the frame bound less room for the envelope around it.
  size_t FrameRoom() const;

  TolvarServer& _server;
  boost::asio::ip::tcp::socket _socket;
  std::string _peer;
  std::string _name;
  FrameDecoder _decoder;
  std::array<char, 65536> _readBuffer;
  size_t _inputReported = 0;  // the part of BufferedInput() the server has counted
  bool _reading = false;
  bool _readPaused = false;
  std::deque<Output> _output;
  std::string _current;  // the frames being written
  size_t _currentOffset = 0;
  size_t _frameBytes = 0;  // bytes of ready frames in _output
  bool _writing = false;
  std::chrono::steady_clock::time_point _lastProgress;
  bool _closed = false;
  bool _quietClose = false;
  uint32_t _vdb = 1;
  std::map<MonitorKey, std::map<uint32_t, Statement>> _monitors;
};

}  // namespace qor::tolvar
