// qor::tolvar::TolvarDbClient: the database client library the agent links against. It talks to tolvard over
// TCP (framed protocol, tools/tolvard/PROTOCOL.md).
//
// Use, in this order: construct; RegisterChannelStatusCallback; SelectVdb (when not 1); RegisterCallbacks per
// monitor id and vdb; ConfigureMonitors; StartAsync() once. From then on the library connects and, after any loss,
// reconnects with back-off on its own threads. After every (re)connect it re-establishes the selected vdb and all
// configured monitors, so the whole monitored state arrives again, followed by one barrier per monitor. A client
// made not to reconnect answers every request at once with UNAVAILABLE (and the reason, such as "Connection
// refused") once its connection failed or was lost.
//
// Threads: one IO thread owns the socket; one callback thread calls every user callback (channel status, updates,
// barriers, get completions) one at a time and in arrival order. All public operations may be called from any
// thread, including from inside callbacks; the blocking ones (Modify, Echo, ConfigureMonitors while connected)
// wait for tolvard's answer with a bound. Requests not yet answered when the connection drops are sent again
// after the reconnect, in order (every modify operation is idempotent, so a repeated one changes nothing).
// Internal state is guarded by one mutex, never held while user callbacks run.
#pragma once

// clang-format off
// Boost 1.74's asio uses std::exchange without including <utility> itself.
#include <utility>
// clang-format on

#include <atomic>
#include <boost/asio.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/rpc/Status.h"
#include "platform/tolvar/FrameCodec.h"
#include "zantix/qor/tolvar/monitor.pb.h"
#include "zantix/qor/tolvar/wire.pb.h"

namespace qor {
class AsioQorProvider;
}

namespace qor::tolvar {

class TolvarDbClientInterface {
 public:
  using ChannelStatusCallback = std::function<void(bool up)>;
  using UpdateCallback = std::function<void(const zantix::qor::tolvar::MonitorUpdateMsg& update)>;
  using BarrierCallback = std::function<void()>;
  using GetCallback =
      std::function<void(const std::vector<zantix::qor::tolvar::TypedObjectMsg>& objects, const rpc::Status& status)>;
  using Statements = std::vector<zantix::qor::tolvar::MonitorStatementMsg>;
  using Requests = std::vector<zantix::qor::tolvar::ModifyRequestMsg>;

  virtual ~TolvarDbClientInterface() = default;

  // Called on every channel change: true when connected, false when the connection is lost.
  virtual void RegisterChannelStatusCallback(ChannelStatusCallback callback) = 0;
  // One more channel-status callback, for the other users of the same client (the port-profile service), called
  // after the registered one; it stays for the client's life.
  virtual void AddChannelStatusObserver(ChannelStatusCallback callback) = 0;
  // The vdb (low 16 bits) used by modify requests that name none; 1 until selected.
  virtual void SelectVdb(uint32_t vdb) = 0;
  // Update and barrier callbacks of monitor `monitorId` on `vdb`; replaces earlier ones.
  virtual void RegisterCallbacks(uint32_t monitorId, UpdateCallback update, BarrierCallback barrier, uint32_t vdb) = 0;
  // Adds and removes monitor statements (by object type). False when a statement is invalid (unknown type,
  // unparsable select clause) or tolvard refuses it; while disconnected, valid statements are recorded and
  // established on connect.
  virtual bool ConfigureMonitors(const Statements& add, const Statements& remove, uint32_t monitorId, uint32_t vdb) = 0;
  virtual void StartAsync() = 0;
  // One atomic transaction. Blocks until tolvard commits it (OK) or refuses it (the error names the request and
  // the object); DEADLINE_EXCEEDED after the modify bound, in which case it may still be applied later.
  virtual rpc::Status Modify(const Requests& requests) = 0;
  // Looks the objects up on `vdb`; the completion runs on the callback thread with the objects found.
  virtual void GetAsync(const std::vector<zantix::qor::tolvar::ObjectRequestMsg>& requests, GetCallback done,
                        uint32_t vdb) = 0;
  // Round trip through tolvard; `reply` receives the echoed payload.
  virtual rpc::Status Echo(const std::string& payload, std::string* reply) = 0;
  // Time of the last frame received from tolvard (epoch when none yet).
  virtual std::chrono::system_clock::time_point LastActivityTime() const = 0;
};

class TolvarDbClient : public TolvarDbClientInterface {
 public:
  // `endpoint` is "tcp://HOST:PORT". `provider` is kept for the platform's bookkeeping only: the client runs its
  // own threads. `externalMutex` must be null (the client guards itself). `reconnect`: reconnect after a loss;
  // `resubscribe`: re-establish the monitors after a reconnect; `traceFrames`: log every frame (debug).
  TolvarDbClient(const std::string& name, const std::string& endpoint, AsioQorProvider* provider,
                 std::mutex* externalMutex, bool reconnect, bool resubscribe, bool traceFrames);
  ~TolvarDbClient() override;
  TolvarDbClient(const TolvarDbClient&) = delete;
  TolvarDbClient& operator=(const TolvarDbClient&) = delete;

  void RegisterChannelStatusCallback(ChannelStatusCallback callback) override;
  void AddChannelStatusObserver(ChannelStatusCallback callback) override;
  void SelectVdb(uint32_t vdb) override;
  void RegisterCallbacks(uint32_t monitorId, UpdateCallback update, BarrierCallback barrier, uint32_t vdb) override;
  bool ConfigureMonitors(const Statements& add, const Statements& remove, uint32_t monitorId, uint32_t vdb) override;
  void StartAsync() override;
  rpc::Status Modify(const Requests& requests) override;
  // The same, taking the requests instead of copying them (a file of thousands of objects loaded at once).
  rpc::Status Modify(Requests&& requests);
  void GetAsync(const std::vector<zantix::qor::tolvar::ObjectRequestMsg>& requests, GetCallback done,
                uint32_t vdb) override;
  rpc::Status Echo(const std::string& payload, std::string* reply) override;
  // Echo without waiting: `done` runs on the callback thread with the echoed payload and the status. While
  // disconnected the request waits for the next connection, like every other request; false (and `done` never
  // called) when the client is stopped.
  using EchoCallback = std::function<void(const std::string& reply, const rpc::Status& status)>;
  bool EchoAsync(const std::string& payload, EchoCallback done);
  std::chrono::system_clock::time_point LastActivityTime() const override;

  // Stops the threads; unanswered requests complete with CANCELLED. Idempotent; the destructor calls it. Not to
  // be called from inside a callback (it joins the callback thread).
  void Stop();
  bool Connected() const { return _connected.load(); }
  // Bounds of the blocking calls (default 60 s; may be changed while calls run, for the calls that start after)
  // and the reconnect back-off (default 50 ms doubling to 2 s).
  void SetCallTimeout(std::chrono::milliseconds timeout) { _callTimeout = timeout; }
  std::chrono::milliseconds CallTimeout() const { return _callTimeout.load(); }
  void SetBackoff(std::chrono::milliseconds initial, std::chrono::milliseconds max);

 private:
  using MonitorKey = std::pair<uint32_t, uint32_t>;
  using Completion = std::function<void(const zantix::qor::tolvar::ServerFrameMsg& reply)>;
  struct Pending {
    // The request's frame, encoded once: sent (and sent again after a reconnect) as it is.
    std::shared_ptr<const std::string> bytes;
    Completion done;
    // Session set-up requests are not resent: the set-up after a reconnect repeats them.
    bool sessionSetup = false;
    // Connection generation it was last sent on (IO thread).
    uint64_t sentGeneration = UINT64_MAX;
  };

  // Registers a request; Submit also has the IO thread send it when connected.
  uint64_t Register(zantix::qor::tolvar::ClientFrameMsg frame, Completion done, bool sessionSetup);
  uint64_t Submit(zantix::qor::tolvar::ClientFrameMsg frame, Completion done, bool sessionSetup);
  rpc::Status Call(zantix::qor::tolvar::ClientFrameMsg frame, bool sessionSetup,
                   zantix::qor::tolvar::ServerFrameMsg* reply);
  void PostCallback(std::function<void()> callback);
  // The status callback and the observers (call with _mutex held), and their posting to the callback thread.
  std::vector<ChannelStatusCallback> StatusCallbacksLocked() const;
  void PostStatus(std::vector<ChannelStatusCallback> callbacks, bool up);
  void CallbackLoop();

  // IO thread.
  void Connect();
  void ScheduleReconnect();
  // Without reconnecting: fails every request, now and later, with `reason`.
  void GiveUp(const std::string& reason);
  void OnConnected();
  void OnDisconnected(const std::string& reason);
  void Read();
  void HandleFrame(const std::string& payload);
  void SendFrame(std::shared_ptr<const std::string> bytes);
  // Sends pending request `id` unless it went out on this connection already.
  void SendPending(uint64_t id);
  void Write();

  std::string _name;
  std::string _host;
  uint16_t _port = 0;
  bool _endpointValid = false;
  bool _reconnect;
  bool _resubscribe;
  bool _traceFrames;
  std::atomic<std::chrono::milliseconds> _callTimeout{std::chrono::milliseconds(60000)};
  std::chrono::milliseconds _backoffInitial{50};
  std::chrono::milliseconds _backoffMax{2000};
  std::chrono::milliseconds _backoff{50};

  boost::asio::io_context _io;
  boost::asio::ip::tcp::socket _socket;
  boost::asio::steady_timer _retryTimer;
  FrameDecoder _decoder;
  std::array<char, 65536> _readBuffer;
  std::deque<std::shared_ptr<const std::string>> _output;
  bool _writing = false;
  bool _socketOpen = false;
  bool _everConnected = false;
  uint64_t _generation = 0;            // bumped on every disconnect; stale IO handlers compare it
  std::optional<std::string> _gaveUp;  // set when a client that does not reconnect has no connection
  std::thread _ioThread;
  std::atomic<bool> _connected{false};
  std::atomic<bool> _started{false};
  std::atomic<bool> _stopped{false};
  std::atomic<int64_t> _lastActivityMs{0};

  // Guarded by _mutex.
  mutable std::mutex _mutex;
  uint64_t _nextRequestId = 1;
  uint32_t _vdb = 1;
  std::map<uint64_t, Pending> _pending;
  std::map<MonitorKey, std::map<uint32_t, zantix::qor::tolvar::MonitorStatementMsg>> _monitors;
  std::map<MonitorKey, std::pair<UpdateCallback, BarrierCallback>> _callbacks;
  ChannelStatusCallback _statusCallback;
  std::vector<ChannelStatusCallback> _statusObservers;

  // Callback thread and its queue (guarded by _callbackMutex).
  std::mutex _callbackMutex;
  std::condition_variable _callbackReady;
  std::deque<std::function<void()>> _callbackQueue;
  bool _callbackStop = false;
  std::thread _callbackThread;
};

}  // namespace qor::tolvar
