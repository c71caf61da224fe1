// VevUroro::DataplaneTkmlink: the kernel link over a named message channel.
//
// Channel NAME is carried as a Unix stream socket at QorPath("/var/run/zantix/tkmlink/NAME"); messages keep their
// own 4-byte header (type, big-endian total length). The link connects; the datapath listens.
//
// Threads: one receive loop and one send loop run as long-running items on the worker pool for the life of the link
// (until Shutdown, which the pool's own stop calls too, so a stopped pool never waits for a link's loops); the
// reopen timer fires on IO context A; Send is called by any producer. The send loop takes what the queue holds (up
// to kGatherMessages at a time) and writes it with one gathering write, in queue order. The link mutex guards the
// socket, the connected flag and the timer; the outbound queue has its own lock.
//
// Framing faults from the datapath never wedge the link: a header whose length is below 4, a connection that closes
// mid-message, or a message whose remaining bytes stop arriving for Timing::stalledMessage is logged as a receive
// error (LCP00125) and the link closes; the reopen timer then starts a fresh byte stream. A closed descriptor is
// released only when no loop still uses it, so a reopened channel never receives a stale loop's bytes.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>

#include "core/AsyncTimer.h"
#include "core/MsgQueue.h"
#include "core/WorkGroup.h"
#include "dataplane/DataplaneLink.h"

namespace VevUroro {

class DataplaneTkmlink : public DataplaneLink {
 public:
  // Intervals of the link; the defaults are the production values, tests shorten them.
  struct Timing {
    std::chrono::microseconds reopenInterval{5000000};  // reopen timer
    std::chrono::microseconds downRecheck{5000000};     // how long a loop waits for the link to come up
    std::chrono::milliseconds pollTimeout{1000};        // receive poll
    std::chrono::milliseconds stalledMessage{5000};     // a partial message that makes no progress this long is dropped
  };

  // The most messages one write gathers.
  static constexpr size_t kGatherMessages = 64;

  struct FreeBuffer {
    void operator()(uint8_t* buffer) const { std::free(buffer); }
  };
  using Buffer = std::unique_ptr<uint8_t, FreeBuffer>;

  // Uses the process's worker pool and IO context A.
  DataplaneTkmlink(std::string channelName, MessageObserver messageObserver, StatusObserver statusObserver,
                   CheckObserver checkObserver, uint32_t bufferSize);
  // With an explicit pool, IO context and timing (tests).
  DataplaneTkmlink(std::string channelName, MessageObserver messageObserver, StatusObserver statusObserver,
                   CheckObserver checkObserver, uint32_t bufferSize, std::shared_ptr<WorkGroup> pool,
                   boost::asio::io_context& ioContext, Timing timing);
  ~DataplaneTkmlink() override;

  bool Start() override;
  void Stop() override;
  void ScheduleReopen() override;
  bool Send(uint8_t* message) override;
  bool SendLater(uint8_t* message) override;
  void Flush() override;
  size_t DropQueued() override;

  // Ends both loops (within one poll timeout), closes the channel and drops the timer; queued messages are freed
  // with the link. For owners that go away before the process ends, and tests.
  void Shutdown();

  const std::string& ChannelName() const { return _channelName; }
  // Whether the send loop waits on an empty queue (tests).
  bool SendLoopWaiting() const { return _queue.WaitingConsumers() > 0; }
  bool Connected();
  // The socket path of channel `name`.
  static std::string ChannelPath(const std::string& name);

 private:
  // A connected descriptor; closed when the last holder (the link or a loop doing I/O on it) lets go.
  class Socket;

  void Open();
  void OpenLocked();
  void CloseLocked();
  // Closes the link if `socket` is still its current connection.
  void CloseIfCurrent(const std::shared_ptr<Socket>& socket);
  // The current connection, or after waiting up to `wait` for one, or null.
  std::shared_ptr<Socket> WaitForConnection(std::chrono::microseconds wait);
  void ReopenCheck();
  void ReceiveLoop();
  void SendLoop();
  // Send and SendLater: `wake` wakes the send loop.
  bool Queue(uint8_t* message, bool wake);
  bool ReceiveOne(const std::shared_ptr<Socket>& socket);
  // Reads exactly `size` bytes; on failure logs the receive error and returns false.
  bool ReadExactly(int fd, uint8_t* out, size_t size, bool startOfMessage);

  std::string _channelName;
  uint32_t _bufferSize;
  int _fd = -1;
  bool _connected = false;
  std::atomic<bool> _recvLoopRunning{true};
  std::atomic<bool> _sendLoopRunning{true};
  // A message with the DropQueued generation it was queued in: the one the send loop has already taken when the
  // queue is dropped is not sent after the drop either.
  struct Outbound {
    Buffer buffer;
    uint64_t generation = 0;
  };
  // Writes the messages `taken` holds, in order, gathering up to kGatherMessages of them per write, and removes each
  // once written whole. A failed write closes the link and drops the message it was writing (the rest wait for the
  // next connection); messages queued before a DropQueued are dropped unwritten.
  void WriteTaken(const std::shared_ptr<Socket>& socket, std::deque<Outbound>& taken);
  MsgQueue<Outbound> _queue{MsgQueue<Outbound>::kUnbounded, true, true};
  std::atomic<uint64_t> _dropGeneration{0};
  std::shared_ptr<AsyncTimer<DataplaneTkmlink>> _reopenTimer;

  std::shared_ptr<Socket> _socket;
  std::condition_variable _stateChanged;
  std::shared_ptr<WorkGroup> _pool;
  boost::asio::io_context& _ioContext;
  Timing _timing;
};

// How an application closes the link it owns at its stop: a kernel link is shut down (its loops end), any other link
// stopped. Call it without the agent lock: closing the link calls the status observer with the link mutex held.
void CloseLink(DataplaneLink* link);

}  // namespace VevUroro
