// qor::device::DeviceFile: the platform's device access (open, ioctl-style request, close) for every caller.
//
// A device "/dev/NAME" is carried on this platform as a Unix stream socket at QorPath("/dev/NAME"), served by the
// datapath simulator. Opening connects to it; a missing socket is a device that does not exist (ENOENT). Each
// request is one frame each way, every integer big-endian:
//   request: 32-bit request number, 32-bit argument length, the argument bytes (the ioctl's parameter block);
//   answer:  32-bit status (0 success, otherwise an errno value), 32-bit length, the argument as the device left it.
// A frame longer than kMaxArgument is refused. Waits are bounded (kTimeout): a device that does not answer fails
// the request with ETIMEDOUT and is closed.
//
// One DeviceFile is one open descriptor, used by one thread at a time; not copyable. Failures are returned as errno
// values (ErrorText gives their text); nothing is logged here.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace qor::device {

constexpr size_t kFrameHeaderLen = 8;

// The big-endian 32-bit words of a frame header.
inline void PutFrameWord(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
inline uint32_t GetFrameWord(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
constexpr size_t kMaxArgument = 64 * 1024;
constexpr std::chrono::milliseconds kTimeout{5000};

class DeviceFile {
 public:
  DeviceFile() = default;
  ~DeviceFile();
  DeviceFile(const DeviceFile&) = delete;
  DeviceFile& operator=(const DeviceFile&) = delete;

  // Opens the device at the absolute `path` (resolved under QOR_ROOT); `flags` are the open(2) access flags, kept
  // for the record (the simulated devices take requests whatever the mode). 0 or an errno value.
  int Open(const std::string& path, int flags);
  // Sends request `request` with `argument` and replaces `argument` with the device's answer. 0 or an errno value.
  int Ioctl(uint32_t request, std::vector<uint8_t>* argument);
  // Closes the descriptor. 0 or an errno value (EBADF when not open).
  int Close();
  bool IsOpen() const { return _fd >= 0; }

 private:
  int Fail(int error);

  int _fd = -1;
  int _flags = 0;
};

// strerror text of an errno value.
std::string ErrorText(int error);

}  // namespace qor::device
