// Capture files: every raw message of one channel, both directions, one record per line.
//
// File "<capture dir>/<channel name>.cap". Each line is
//     <direction> <unix time in ns> <connection id> <length> <bytes in lower-case hex>\n
// where direction is "in" (agent to datapath) or "out" (datapath to agent), connection ids count from 1 per
// channel in accept order, and length is the number of bytes that follow. A framing error records the bytes read
// so far. Lines are flushed one by one, so a reader sees every record written before it opened the file.
//
// CaptureWriter is used on the simulator's IO thread only. ReadCaptureFile is for tests and tools.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace qor::dpsim {

enum class Direction { kIn, kOut };

struct CaptureRecord {
  Direction direction = Direction::kIn;
  uint64_t timeNs = 0;
  uint64_t connection = 0;
  std::vector<uint8_t> bytes;
};

class CaptureWriter {
 public:
  // Opens (appending) the file for `channel` in `directory`, creating the directory; an empty directory disables
  // capture. Failure to open is reported on standard error and disables capture for the channel.
  CaptureWriter(const std::string& directory, const std::string& channel);
  ~CaptureWriter();
  CaptureWriter(const CaptureWriter&) = delete;
  CaptureWriter& operator=(const CaptureWriter&) = delete;

  void Record(Direction direction, uint64_t connection, const uint8_t* data, size_t size);
  bool Enabled() const { return _file != nullptr; }
  const std::string& Path() const { return _path; }

 private:
  std::string _path;
  FILE* _file = nullptr;
};

// Reads every whole record of a capture file; a malformed or partial line ends the read.
std::vector<CaptureRecord> ReadCaptureFile(const std::string& path);

}  // namespace qor::dpsim
