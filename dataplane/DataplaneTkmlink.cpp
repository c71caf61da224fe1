#include "dataplane/DataplaneTkmlink.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/Logger.h"
#include "core/WorkItem.h"
#include "platform/QorRoot.h"

namespace VevUroro {

namespace {

constexpr const char* kFamilyName = "AF_TKMLINK";
constexpr size_t kHeaderLen = 4;

// The total length a message's header gives (bytes 2-3, big-endian).
size_t MessageLength(const uint8_t* message) {
  return (static_cast<size_t>(message[2]) << 8) | message[3];
}

std::string ErrorText(int error) {
  return std::strerror(error);
}

}  // namespace

class DataplaneTkmlink::Socket {
 public:
  explicit Socket(int fd) : _fd(fd) {}
  ~Socket() {
    // On Linux the descriptor is released even when close is interrupted, so it is never closed twice: another
    // thread may already own that number again.
    if (::close(_fd) != 0 && errno == EINTR) {
      Logger(LOG_LEVEL_ERROR, "Could not close netlink connection: %1, retry", ErrorText(EINTR))
          .AddTag("errorCode:LCP00126");
    }
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int Fd() const { return _fd; }
  // Wakes every thread blocked on the descriptor; further I/O on it fails.
  void Shutdown() { ::shutdown(_fd, SHUT_RDWR); }

 private:
  int _fd;
};

DataplaneTkmlink::DataplaneTkmlink(std::string channelName, MessageObserver messageObserver,
                                   StatusObserver statusObserver, CheckObserver checkObserver, uint32_t bufferSize)
    : DataplaneTkmlink(std::move(channelName), std::move(messageObserver), std::move(statusObserver),
                       std::move(checkObserver), bufferSize, WorkGroup::Instance(), WorkGroup::IoContextA(), Timing{}) {
}

DataplaneTkmlink::DataplaneTkmlink(std::string channelName, MessageObserver messageObserver,
                                   StatusObserver statusObserver, CheckObserver checkObserver, uint32_t bufferSize,
                                   std::shared_ptr<WorkGroup> pool, boost::asio::io_context& ioContext, Timing timing)
    : DataplaneLink(std::move(messageObserver), std::move(statusObserver), std::move(checkObserver)),
      _channelName(std::move(channelName)),
      _bufferSize(bufferSize),
      _pool(std::move(pool)),
      _ioContext(ioContext),
      _timing(timing) {}

DataplaneTkmlink::~DataplaneTkmlink() = default;

std::string DataplaneTkmlink::ChannelPath(const std::string& name) {
  return qor::QorPath("/var/run/zantix/tkmlink/" + name);
}

bool DataplaneTkmlink::Start() {
  Open();
  {
    std::lock_guard<std::mutex> lock(_linkMutex);
    _reopenTimer = std::make_shared<AsyncTimer<DataplaneTkmlink>>(_ioContext, &DataplaneTkmlink::ReopenCheck,
                                                                  boost::intrusive_ptr<DataplaneTkmlink>(this));
    _reopenTimer->Start(static_cast<uint64_t>(_timing.reopenInterval.count()));
  }
  boost::intrusive_ptr<DataplaneTkmlink> self(this);
  // The pool's stop ends both loops (Shutdown) if the owner has not: Stop alone leaves them running.
  auto shutdown = [self] { self->Shutdown(); };
  bool posted = _pool &&
                _pool->PostLongRunning(
                    std::make_shared<WorkItemImpl<DataplaneTkmlink>>(&DataplaneTkmlink::ReceiveLoop, self), shutdown) &&
                _pool->PostLongRunning(
                    std::make_shared<WorkItemImpl<DataplaneTkmlink>>(&DataplaneTkmlink::SendLoop, self), shutdown);
  if (!posted) {
    Logger(LOG_LEVEL_ERROR, "tkmlink %1: could not start its loops on the worker pool", _channelName)
        .AddTag("errorCode:LCP00008");
  }
  return posted;
}

void DataplaneTkmlink::Stop() {
  std::lock_guard<std::mutex> lock(_linkMutex);
  if (!_reopenTimer) return;
  _reopenTimer->SetOwnerGone();
  if (!_reopenTimer->Cancelled()) _reopenTimer->Cancel();
  _reopenTimer.reset();
}

void DataplaneTkmlink::ScheduleReopen() {
  std::lock_guard<std::mutex> lock(_linkMutex);
  if (_reopenTimer) {
    _reopenTimer->SetOwnerGone();
    _reopenTimer->Cancel();
  }
  _reopenTimer = std::make_shared<AsyncTimer<DataplaneTkmlink>>(_ioContext, &DataplaneTkmlink::ReopenCheck,
                                                                boost::intrusive_ptr<DataplaneTkmlink>(this));
  _reopenTimer->Start(static_cast<uint64_t>(_timing.reopenInterval.count()));
  Logger(LOG_LEVEL_DEBUG, "dataplane tkmlink reopen scheduled");
}

size_t DataplaneTkmlink::DropQueued() {
  ++_dropGeneration;
  return _queue.Clear();
}

void DataplaneTkmlink::Shutdown() {
  Stop();
  _recvLoopRunning = false;
  _sendLoopRunning = false;
  _queue.Close();
  std::lock_guard<std::mutex> lock(_linkMutex);
  CloseLocked();
  _stateChanged.notify_all();
}

bool DataplaneTkmlink::Send(uint8_t* message) {
  return Queue(message, true);
}

bool DataplaneTkmlink::SendLater(uint8_t* message) {
  return Queue(message, false);
}

void DataplaneTkmlink::Flush() {
  _queue.Wake();
}

bool DataplaneTkmlink::Queue(uint8_t* message, bool wake) {
  Outbound outbound{Buffer(message), _dropGeneration.load()};
  if (outbound.buffer && (wake ? _queue.Put(std::move(outbound)) : _queue.PutQuietly(std::move(outbound)))) return true;
  // A failed Put leaves the buffer with us; it is freed here.
  Logger(LOG_LEVEL_ERROR, "TkmLink: failed to put a message into queue").AddTag("errorCode:LCP00008");
  return false;
}

bool DataplaneTkmlink::Connected() {
  std::lock_guard<std::mutex> lock(_linkMutex);
  return _connected;
}

void DataplaneTkmlink::Open() {
  std::lock_guard<std::mutex> lock(_linkMutex);
  OpenLocked();
}

void DataplaneTkmlink::OpenLocked() {
  if (_connected && _fd >= 0) {
    Logger(LOG_LEVEL_TRACE, "Connection of %1 is OK", kFamilyName);
    return;
  }
  if (!_recvLoopRunning) return;  // shut down
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    int error = errno;
    Logger(LOG_LEVEL_ERROR, "Could not open %1 socket: %2, error: %3", kFamilyName, fd, ErrorText(error))
        .AddTag("errorCode:LCP00121");
    return;
  }
  std::string path = ChannelPath(_channelName);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  int result = -1;
  int error = ENAMETOOLONG;
  if (path.size() < sizeof(address.sun_path)) {
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    result = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    error = errno;
  }
  if (result != 0) {
    Logger(LOG_LEVEL_ERROR, "Could not connect to %1 socket (\"%2\"), error: %3", kFamilyName, _channelName,
           ErrorText(error))
        .AddTag("errorCode:LCP00122");
    ::close(fd);
    _fd = -1;
    _connected = false;
    return;
  }
  Logger(LOG_LEVEL_DEBUG, "connected to %1 socket %2", kFamilyName, _channelName);

  int size = static_cast<int>(_bufferSize);
  if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size)) == 0) {
    Logger(LOG_LEVEL_INFO, "%1 send buffer set to %2 bytes", _channelName, _bufferSize);
  } else {
    Logger(LOG_LEVEL_ERROR, "Could not set %1 send buffer size: %2", _channelName, ErrorText(errno))
        .AddTag("errorCode:LCP00123");
  }
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size)) == 0) {
    Logger(LOG_LEVEL_INFO, "%1 receive buffer set to %2 bytes", _channelName, _bufferSize);
  } else {
    Logger(LOG_LEVEL_ERROR, "Could not set %1 receive buffer size: %2", _channelName, ErrorText(errno))
        .AddTag("errorCode:LCP00123");
  }
  _socket = std::make_shared<Socket>(fd);
  _fd = fd;
  _connected = true;
  _stateChanged.notify_all();
  if (_statusObserver) _statusObserver(this, LinkStatus::UP);
}

void DataplaneTkmlink::CloseLocked() {
  if (!_connected) return;
  if (_socket) _socket->Shutdown();
  _socket.reset();  // the descriptor closes once no loop holds it
  _connected = false;
  _fd = -1;
  _stateChanged.notify_all();
  if (_statusObserver) _statusObserver(this, LinkStatus::DOWN);
}

void DataplaneTkmlink::CloseIfCurrent(const std::shared_ptr<Socket>& socket) {
  std::lock_guard<std::mutex> lock(_linkMutex);
  if (_socket == socket) CloseLocked();
}

std::shared_ptr<DataplaneTkmlink::Socket> DataplaneTkmlink::WaitForConnection(std::chrono::microseconds wait) {
  std::unique_lock<std::mutex> lock(_linkMutex);
  if (!(_connected && _socket)) {
    _stateChanged.wait_for(lock, wait,
                           [this] { return (_connected && _socket) || !_recvLoopRunning || !_sendLoopRunning; });
  }
  return (_connected && _socket) ? _socket : nullptr;
}

void DataplaneTkmlink::ReopenCheck() {
  {
    std::lock_guard<std::mutex> lock(_linkMutex);
    if (_fd >= 0 && _checkObserver && _checkObserver(_fd)) CloseLocked();
    OpenLocked();
    if (_reopenTimer) _reopenTimer->Start(static_cast<uint64_t>(_timing.reopenInterval.count()));
  }
}

void DataplaneTkmlink::ReceiveLoop() {
  while (_recvLoopRunning) {
    auto socket = WaitForConnection(_timing.downRecheck);
    if (!socket) continue;
    pollfd descriptor{socket->Fd(), POLLIN, 0};
    int ready = ::poll(&descriptor, 1, static_cast<int>(_timing.pollTimeout.count()));
    if (ready < 0) {
      int error = errno;
      if (error == EINTR) continue;
      Logger(LOG_LEVEL_ERROR, "tkmlink %1: poll error: %2:%3", _channelName, ready, ErrorText(error))
          .AddTag("errorCode:LCP00124");
      CloseIfCurrent(socket);
      continue;
    }
    if (ready == 0) continue;
    if (!ReceiveOne(socket)) CloseIfCurrent(socket);
  }
}

bool DataplaneTkmlink::ReadExactly(int fd, uint8_t* out, size_t size, bool startOfMessage) {
  size_t done = 0;
  auto lastProgress = std::chrono::steady_clock::now();
  while (done < size) {
    if (!_recvLoopRunning) return false;
    if (!startOfMessage || done > 0) {
      // Inside a message: wait for the rest, but not for ever.
      pollfd descriptor{fd, POLLIN, 0};
      int ready = ::poll(&descriptor, 1, static_cast<int>(_timing.pollTimeout.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready == 0) {
        if (std::chrono::steady_clock::now() - lastProgress < _timing.stalledMessage) continue;
        Logger(LOG_LEVEL_ERROR, "tkmlink %1: recv error: %2:%3", _channelName, -1,
               "message incomplete, " + std::to_string(done) + " of " + std::to_string(size) + " bytes")
            .AddTag("errorCode:LCP00125");
        return false;
      }
    }
    ssize_t n = ::recv(fd, out + done, size - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int error = errno;
      Logger(LOG_LEVEL_ERROR, "tkmlink %1: recv error: %2:%3", _channelName, n,
             n == 0 ? std::string("connection closed by peer") : ErrorText(error))
          .AddTag("errorCode:LCP00125");
      return false;
    }
    done += static_cast<size_t>(n);
    lastProgress = std::chrono::steady_clock::now();
  }
  return true;
}

bool DataplaneTkmlink::ReceiveOne(const std::shared_ptr<Socket>& socket) {
  uint8_t header[kHeaderLen];
  if (!ReadExactly(socket->Fd(), header, kHeaderLen, true)) return false;
  size_t length = MessageLength(header);
  if (length < kHeaderLen) {
    // Nothing tells where the next message starts: resynchronise on a fresh connection.
    Logger(LOG_LEVEL_ERROR, "tkmlink %1: recv error: %2:%3", _channelName, length,
           "message length below its 4-byte header")
        .AddTag("errorCode:LCP00125");
    return false;
  }
  auto* buffer = static_cast<uint8_t*>(std::calloc(length, 1));
  if (!buffer) {
    syslog(LOG_ERR, "VEVURORO_ALLOC_FAIL : VevUroro error: no memory!");
    closelog();
    std::exit(1);
  }
  Buffer owned(buffer);
  std::memcpy(buffer, header, kHeaderLen);
  if (!ReadExactly(socket->Fd(), buffer + kHeaderLen, length - kHeaderLen, false)) return false;
  Logger(LOG_LEVEL_DEBUG, "tkmLink %1: received %2 byte from kernel", _channelName, length);
  if (_messageObserver) _messageObserver(buffer, static_cast<int>(length));
  return true;
}

void DataplaneTkmlink::SendLoop() {
  std::deque<Outbound> taken;
  while (_sendLoopRunning) {
    if (!WaitForConnection(_timing.downRecheck)) continue;
    if (taken.empty()) {
      if (!_queue.GetAll(taken, kGatherMessages)) return;  // queue closed: the link is shutting down
      std::erase_if(taken, [this](const Outbound& outbound) {
        const size_t length = MessageLength(outbound.buffer.get());
        QOR_LOG(LOG_LEVEL_DEBUG, "TkmLink: %1: get a message from controller: %2, length: %3", _channelName,
                static_cast<const void*>(outbound.buffer.get()), length);
        if (length >= kHeaderLen) return false;
        Logger(LOG_LEVEL_ERROR, "TkmLink: %1: message length %2 below its header, dropped", _channelName, length);
        return true;
      });
    }
    // The link may have gone down while the loop waited for messages: keep them until the link is back.
    std::shared_ptr<Socket> socket;
    while (_sendLoopRunning && !(socket = WaitForConnection(_timing.downRecheck))) {
    }
    if (!socket) return;
    WriteTaken(socket, taken);
  }
}

void DataplaneTkmlink::WriteTaken(const std::shared_ptr<Socket>& socket, std::deque<Outbound>& taken) {
  size_t offset = 0;  // bytes of the first message already written
  while (!taken.empty()) {
    const uint64_t generation = _dropGeneration.load();
    if (offset == 0 && taken.front().generation != generation) {
      QOR_LOG(LOG_LEVEL_DEBUG, "TkmLink: %1: message taken before the queue was dropped, not sent", _channelName);
      taken.pop_front();
      continue;
    }
    // A message begun is finished alone; otherwise the messages queued since the last drop go together.
    iovec parts[kGatherMessages];
    uint8_t* first = taken.front().buffer.get();
    parts[0] = iovec{first + offset, MessageLength(first) - offset};
    size_t count = 1;
    if (offset == 0) {
      for (; count < taken.size() && count < kGatherMessages && taken[count].generation == generation; ++count) {
        uint8_t* message = taken[count].buffer.get();
        parts[count] = iovec{message, MessageLength(message)};
      }
    }
    msghdr header{};
    header.msg_iov = parts;
    header.msg_iovlen = count;
    ssize_t sent = ::sendmsg(socket->Fd(), &header, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) {
      Logger(LOG_LEVEL_DEBUG, "TkmLink: %1: hit signal, continue", _channelName);
      continue;
    }
    if (sent <= 0) {
      Logger(LOG_LEVEL_ERROR, "TkmLink: %1: link down", _channelName).AddTag("errorCode:LCP00127");
      CloseIfCurrent(socket);
      taken.pop_front();
      return;
    }
    // The bytes written, message by message.
    for (size_t written = static_cast<size_t>(sent); written > 0;) {
      const size_t length = MessageLength(taken.front().buffer.get());
      const size_t part = std::min(written, length - offset);
      offset += part;
      written -= part;
      QOR_LOG(LOG_LEVEL_DEBUG, "TkmLink: %1: sending %2 bytes to kernel, left %3, offset %4", _channelName, part,
              length - offset, offset);
      if (offset == length) {
        taken.pop_front();
        offset = 0;
      }
    }
  }
}

void CloseLink(DataplaneLink* link) {
  if (auto* tkmlink = dynamic_cast<DataplaneTkmlink*>(link)) {
    tkmlink->Shutdown();
  } else if (link) {
    link->Stop();
  }
}

}  // namespace VevUroro
