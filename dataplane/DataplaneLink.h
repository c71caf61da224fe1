// VevUroro::DataplaneLink: the agent's connection to one kernel message channel, as its owners see it.
//
// Owners (configuration, L2, L3, IP discovery, service insertion, firewall, packet tracing) hold the link by
// boost::intrusive_ptr; the link's own loops hold references too, so it lives as long as they run.
//
// Observers, fixed at construction:
//   message observer (pointer, length): every received message, on the link's receive thread; the buffer is the
//     link's and is freed when the observer returns, so copy what must be kept;
//   status observer (link, status): UP on every successful open from closed, DOWN on every close of an open link,
//     called with the link mutex held on whichever thread opened or closed it: it must not call Start, Stop or
//     ScheduleReopen (Send is fine);
//   check observer (socket descriptor) → true when the connection must be re-established; may be empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

#include "core/RefCounter.h"

namespace VevUroro {

enum class LinkStatus : int { UP = 0, DOWN = 1 };

class DataplaneLink : public RefCounter<DataplaneLink> {
 public:
  using MessageObserver = std::function<void(const uint8_t* message, int length)>;
  using StatusObserver = std::function<void(DataplaneLink* link, LinkStatus status)>;
  using CheckObserver = std::function<bool(int fd)>;

  DataplaneLink(MessageObserver messageObserver, StatusObserver statusObserver, CheckObserver checkObserver)
      : _messageObserver(std::move(messageObserver)),
        _statusObserver(std::move(statusObserver)),
        _checkObserver(std::move(checkObserver)) {}
  ~DataplaneLink() override = default;

  // Opens the channel, arms the 5-second reopen timer and starts the receive and send loops.
  virtual bool Start() = 0;
  // Drops the reopen timer; the loops keep running.
  virtual void Stop() = 0;
  // Replaces the reopen timer with a fresh one armed for 5 seconds.
  virtual void ScheduleReopen() = 0;
  // Queues one message for the channel and takes ownership of `message` (a C-allocator buffer whose bytes 2–3 hold
  // its big-endian total length), also on failure. Any thread. Queued messages wait while the link is down.
  virtual bool Send(uint8_t* message) = 0;
  // Send for a producer with many messages in a row: the link may leave its send loop asleep until Flush, so that
  // they go out together. The order of messages on the channel is still the order of the calls, among all producers.
  virtual bool SendLater(uint8_t* message) { return Send(message); }
  // Hands over what SendLater queued: wakes the send loop.
  virtual void Flush() {}
  // Frees the messages queued and not yet handed to the channel, and returns how many; a message the link has taken
  // from its queue but not begun to write is not sent either (not counted). For owners whose reconnect resends their
  // whole state: the rest of what was queued for the old connection would reach the new one first. Any thread, the
  // status observer too. A link that hands each message over at once holds none.
  virtual size_t DropQueued() { return 0; }

 protected:
  MessageObserver _messageObserver;
  StatusObserver _statusObserver;
  CheckObserver _checkObserver;
  std::mutex _linkMutex;
};

}  // namespace VevUroro
