// Framing of the tolvard protocol: each frame is a 4-byte big-endian payload length followed by the payload (one
// serialized protobuf message). Frames longer than the decoder's bound are an error: the stream cannot be trusted
// after one, so the reader closes the connection.
//
// FrameDecoder is used by one thread at a time (the connection's reader); it owns its buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace google::protobuf {
class MessageLite;
}

namespace qor::tolvar {

inline constexpr size_t kFrameHeaderSize = 4;
inline constexpr size_t kDefaultMaxFrame = 64u * 1024 * 1024;

// Header and payload in one string, ready to write.
std::string EncodeFrame(std::string_view payload);
// The same for a message, serialized straight behind the header (no copy of the payload).
std::string EncodeFrame(const google::protobuf::MessageLite& message);

class FrameDecoder {
 public:
  enum class Result { kNeedMore, kFrame, kTooLarge };

  explicit FrameDecoder(size_t maxFrame = kDefaultMaxFrame) : _maxFrame(maxFrame) {}

  // Adds received bytes.
  void Append(const char* data, size_t size);
  // Takes the next complete frame's payload into `payload`. kTooLarge is sticky: nothing more is decoded.
  Result Next(std::string* payload);
  // Bytes received but not yet returned as frames.
  size_t Buffered() const { return _buffer.size() - _offset; }

 private:
  static constexpr size_t kKeptCapacity = 1024 * 1024;

  size_t _maxFrame;
  std::string _buffer;
  size_t _offset = 0;
  bool _failed = false;
};

}  // namespace qor::tolvar
