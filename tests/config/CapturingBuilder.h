// A KCP builder whose messages stay in the test: its link records each message's bytes instead of sending it,
// and can be told to refuse from the n-th message on. Plus big-endian readers, so that tests check
// messages against the format's offsets without going through the codec.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "apps/config/KCPMsgConvertor.h"
#include "dataplane/DataplaneLink.h"

namespace VevUroro::test {

// A datapath link that keeps what it is asked to send.
class RecordingLink : public DataplaneLink {
 public:
  RecordingLink() : DataplaneLink(nullptr, nullptr, nullptr) {}
  bool Start() override { return true; }
  void Stop() override {}
  void ScheduleReopen() override {}
  bool Send(uint8_t* message) override { return Record(message, 's'); }
  bool SendLater(uint8_t* message) override { return Record(message, 'l'); }
  void Flush() override {
    std::lock_guard<std::mutex> lock(_mutex);
    _calls.push_back('f');
  }

  std::vector<std::vector<uint8_t>> Messages() {
    std::lock_guard<std::mutex> lock(_mutex);
    return _messages;
  }
  std::vector<std::vector<uint8_t>> Take() {
    std::lock_guard<std::mutex> lock(_mutex);
    return std::exchange(_messages, {});
  }
  // The calls made, in order: 's' Send, 'l' SendLater, 'f' Flush.
  std::string Calls() {
    std::lock_guard<std::mutex> lock(_mutex);
    return _calls;
  }

  int refuseFrom = -1;  // index of the first message refused; -1 never

 private:
  bool Record(uint8_t* message, char call) {
    size_t length = (static_cast<size_t>(message[2]) << 8) | message[3];
    std::lock_guard<std::mutex> lock(_mutex);
    _calls.push_back(call);
    bool accept = refuseFrom < 0 || static_cast<int>(_messages.size()) < refuseFrom;
    if (accept) _messages.emplace_back(message, message + length);
    std::free(message);
    return accept;
  }

  std::mutex _mutex;
  std::vector<std::vector<uint8_t>> _messages;
  std::string _calls;
};

// The real builder over a recording link.
class CapturingBuilder : public KCPMsgConvertor {
 public:
  CapturingBuilder() : CapturingBuilder(new RecordingLink()) {}
  std::vector<std::vector<uint8_t>> Messages() { return _recorder->Messages(); }
  std::vector<std::vector<uint8_t>> Take() { return _recorder->Take(); }
  RecordingLink& Link() { return *_recorder; }

 private:
  explicit CapturingBuilder(RecordingLink* link) : KCPMsgConvertor(link), _recorder(link) {}
  RecordingLink* _recorder;  // owned by the base's reference
};

inline uint16_t Be16(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint16_t>((b.at(at) << 8) | b.at(at + 1));
}
inline uint32_t Be32(const std::vector<uint8_t>& b, size_t at) {
  return (static_cast<uint32_t>(Be16(b, at)) << 16) | Be16(b, at + 2);
}
// Text of a NUL-padded field: the bytes before the first NUL.
inline std::string Field(const std::vector<uint8_t>& b, size_t at, size_t width) {
  std::string out;
  for (size_t i = 0; i < width && b.at(at + i) != 0; ++i) out.push_back(static_cast<char>(b[at + i]));
  return out;
}

}  // namespace VevUroro::test
