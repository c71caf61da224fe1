#include "tools/qor-dpsim/Capture.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

namespace qor::dpsim {

namespace {
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}
}  // namespace

CaptureWriter::CaptureWriter(const std::string& directory, const std::string& channel) {
  if (directory.empty()) return;
  std::error_code ec;
  std::filesystem::create_directories(directory, ec);
  _path = directory + "/" + channel + ".cap";
  _file = std::fopen(_path.c_str(), "a");
  if (!_file) std::cerr << "qor-dpsim: cannot open capture file " << _path << std::endl;
}

CaptureWriter::~CaptureWriter() {
  if (_file) std::fclose(_file);
}

void CaptureWriter::Record(Direction direction, uint64_t connection, const uint8_t* data, size_t size) {
  if (!_file) return;
  auto now =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  std::string line;
  line.reserve(48 + 2 * size);
  line += direction == Direction::kIn ? "in " : "out ";
  line += std::to_string(now) + " " + std::to_string(connection) + " " + std::to_string(size) + " ";
  static const char* kHex = "0123456789abcdef";
  for (size_t i = 0; i < size; ++i) {
    line.push_back(kHex[data[i] >> 4]);
    line.push_back(kHex[data[i] & 0xf]);
  }
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), _file);
  std::fflush(_file);
}

std::vector<CaptureRecord> ReadCaptureFile(const std::string& path) {
  std::vector<CaptureRecord> records;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string direction, hex;
    CaptureRecord record;
    size_t length = 0;
    if (!(fields >> direction >> record.timeNs >> record.connection >> length)) break;
    fields >> hex;  // empty for a zero-length record
    if ((direction != "in" && direction != "out") || hex.size() != 2 * length) break;
    record.direction = direction == "in" ? Direction::kIn : Direction::kOut;
    record.bytes.resize(length);
    bool valid = true;
    for (size_t i = 0; i < length && valid; ++i) {
      int high = HexValue(hex[2 * i]);
      int low = HexValue(hex[2 * i + 1]);
      valid = high >= 0 && low >= 0;
      record.bytes[i] = static_cast<uint8_t>((high << 4) | low);
    }
    if (!valid) break;
    records.push_back(std::move(record));
  }
  return records;
}

}  // namespace qor::dpsim
