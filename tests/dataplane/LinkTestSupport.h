// Fixture pieces for kernel-link tests: a private worker pool and IO context, a listening channel socket, and
// thread-safe capture of log lines, status changes and received messages.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <filesystem>
#include <list>
#include <mutex>
#include <thread>

#include "core/Logger.h"
#include "core/WorkGroup.h"
#include "dataplane/DataplaneTkmlink.h"
#include "platform/metrics/Metrics.h"
#include "support/LogCapture.h"
#include "support/TempRoot.h"
#include "support/Wait.h"

namespace qor::test {

// The datapath end of one channel, listening in the test.
class ChannelListener {
 public:
  explicit ChannelListener(const std::string& path) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    _fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    unlink(path.c_str());
    if (bind(_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(_fd, 8) != 0) {
      ADD_FAILURE() << "cannot listen on " << path;
    }
    _path = path;
  }
  ~ChannelListener() {
    close(_fd);
    unlink(_path.c_str());
  }
  // One accepted connection (bounded wait), -1 when none comes. The caller closes it.
  int Accept(std::chrono::milliseconds bound = std::chrono::seconds(20)) {
    pollfd p{_fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(bound.count())) <= 0) return -1;
    return accept4(_fd, nullptr, nullptr, SOCK_CLOEXEC);
  }

 private:
  int _fd = -1;
  std::string _path;
};

// Everything the link reports, recorded from any thread.
struct LinkEvents {
  std::mutex mutex;
  std::vector<VevUroro::LinkStatus> statuses;
  std::vector<std::vector<uint8_t>> messages;

  VevUroro::DataplaneLink::MessageObserver MessageObserver() {
    return [this](const uint8_t* data, int length) {
      std::lock_guard<std::mutex> lock(mutex);
      messages.emplace_back(data, data + length);
    };
  }
  VevUroro::DataplaneLink::StatusObserver StatusObserver() {
    return [this](VevUroro::DataplaneLink*, VevUroro::LinkStatus status) {
      std::lock_guard<std::mutex> lock(mutex);
      statuses.push_back(status);
    };
  }
  size_t Count(VevUroro::LinkStatus status) {
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<size_t>(std::count(statuses.begin(), statuses.end(), status));
  }
  size_t MessageCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return messages.size();
  }
};

class LinkFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    pool = std::make_shared<VevUroro::WorkGroup>(registry, -1);
    pool->StartThreads(8);
    ioThread = std::thread([this] { io.run(); });
  }
  void TearDown() override {
    for (auto& link : links) link->Shutdown();
    links.clear();
    pool->StopThreads();
    guard.reset();
    io.stop();
    ioThread.join();
  }

  boost::intrusive_ptr<VevUroro::DataplaneTkmlink> MakeLink(const std::string& channel, LinkEvents& events,
                                                            uint32_t bufferSize = 4096,
                                                            VevUroro::DataplaneLink::CheckObserver check = nullptr) {
    VevUroro::DataplaneTkmlink::Timing timing;
    timing.reopenInterval = std::chrono::milliseconds(50);
    timing.downRecheck = std::chrono::milliseconds(50);
    timing.pollTimeout = std::chrono::milliseconds(20);
    timing.stalledMessage = std::chrono::milliseconds(200);
    boost::intrusive_ptr<VevUroro::DataplaneTkmlink> link(new VevUroro::DataplaneTkmlink(
        channel, events.MessageObserver(), events.StatusObserver(), std::move(check), bufferSize, pool, io, timing));
    links.push_back(link);
    return link;
  }

  // A link on `channel`, started and UP (null when it did not come up within the wait's bound).
  boost::intrusive_ptr<VevUroro::DataplaneTkmlink> UpLink(const std::string& channel, LinkEvents& events,
                                                          uint32_t bufferSize = 4096) {
    auto link = MakeLink(channel, events, bufferSize);
    if (!link->Start() || !WaitFor([&] { return events.Count(VevUroro::LinkStatus::UP) == 1; })) return nullptr;
    return link;
  }

  bool Logged(const std::string& text) const { return _logs.Count(text) > 0; }
  size_t CountLogged(const std::string& text) const { return _logs.Count(text); }

  static uint8_t* Message(uint16_t type, size_t length, uint8_t fill = 0x5a) {
    auto* buffer = static_cast<uint8_t*>(std::malloc(length));
    std::memset(buffer, fill, length);
    buffer[0] = static_cast<uint8_t>(type >> 8);
    buffer[1] = static_cast<uint8_t>(type);
    buffer[2] = static_cast<uint8_t>(length >> 8);
    buffer[3] = static_cast<uint8_t>(length);
    return buffer;
  }

  TempRoot root;
  qor::metrics::Registry registry;
  std::shared_ptr<VevUroro::WorkGroup> pool;
  boost::asio::io_context io;
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> guard{
      boost::asio::make_work_guard(io)};
  std::thread ioThread;
  std::vector<boost::intrusive_ptr<VevUroro::DataplaneTkmlink>> links;
  // Observers' records live as long as the fixture, beyond every link.
  LinkEvents& NewEvents() { return _events.emplace_back(); }

 private:
  qor::test::LogCapture _logs;  // debug level, console off, for the fixture's lifetime
  std::list<LinkEvents> _events;
};

// Reads exactly `size` bytes from a blocking descriptor (bounded by the socket's own progress).
inline std::vector<uint8_t> ReadBytes(int fd, size_t size) {
  std::vector<uint8_t> out(size);
  size_t done = 0;
  while (done < size) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20000) <= 0) break;
    ssize_t n = recv(fd, out.data() + done, size - done, 0);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  out.resize(done);
  return out;
}

inline bool WriteBytes(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace qor::test
