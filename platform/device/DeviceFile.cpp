#include "platform/device/DeviceFile.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/QorRoot.h"

namespace qor::device {

namespace {

// Waits for `events` on `fd` until `deadline`; 0, ETIMEDOUT or an errno value.
int WaitFor(int fd, short events, std::chrono::steady_clock::time_point deadline) {
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return ETIMEDOUT;
    pollfd p{fd, events, 0};
    int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready > 0) return 0;
    if (ready == 0) return ETIMEDOUT;
    if (errno != EINTR) return errno;
  }
}

int WriteAll(int fd, const uint8_t* data, size_t size, std::chrono::steady_clock::time_point deadline) {
  while (size > 0) {
    if (int error = WaitFor(fd, POLLOUT, deadline)) return error;
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

int ReadAll(int fd, uint8_t* data, size_t size, std::chrono::steady_clock::time_point deadline) {
  while (size > 0) {
    if (int error = WaitFor(fd, POLLIN, deadline)) return error;
    ssize_t n = recv(fd, data, size, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;  // the device went away mid-answer
    data += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace

DeviceFile::~DeviceFile() {
  Close();
}

int DeviceFile::Open(const std::string& path, int flags) {
  if (_fd >= 0) Close();
  std::string socketPath = qor::QorPath(path);
  sockaddr_un address{};
  if (socketPath.size() >= sizeof(address.sun_path)) return ENAMETOOLONG;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    int error = errno;
    ::close(fd);
    // A socket file nobody listens on is a device node without a driver behind it.
    return error == ECONNREFUSED ? ENXIO : error;
  }
  _fd = fd;
  _flags = flags;
  return 0;
}

int DeviceFile::Ioctl(uint32_t request, std::vector<uint8_t>* argument) {
  if (_fd < 0) return EBADF;
  if (argument->size() > kMaxArgument) return EINVAL;
  auto deadline = std::chrono::steady_clock::now() + kTimeout;
  std::vector<uint8_t> frame(kFrameHeaderLen + argument->size());
  PutFrameWord(frame.data(), request);
  PutFrameWord(frame.data() + 4, static_cast<uint32_t>(argument->size()));
  if (!argument->empty()) std::memcpy(frame.data() + kFrameHeaderLen, argument->data(), argument->size());
  if (int error = WriteAll(_fd, frame.data(), frame.size(), deadline)) return Fail(error);
  uint8_t header[kFrameHeaderLen];
  if (int error = ReadAll(_fd, header, sizeof(header), deadline)) return Fail(error);
  uint32_t status = GetFrameWord(header);
  uint32_t length = GetFrameWord(header + 4);
  if (length > kMaxArgument) return Fail(EPROTO);
  std::vector<uint8_t> answer(length);
  if (int error = ReadAll(_fd, answer.data(), answer.size(), deadline)) return Fail(error);
  if (status == 0) *argument = std::move(answer);
  return static_cast<int>(status);
}

int DeviceFile::Close() {
  if (_fd < 0) return EBADF;
  int result = ::close(_fd) == 0 ? 0 : errno;
  _fd = -1;
  return result;
}

int DeviceFile::Fail(int error) {
  // The stream may be mid-frame: this descriptor cannot be used again.
  Close();
  return error;
}

std::string ErrorText(int error) {
  return std::strerror(error);
}

}  // namespace qor::device
