#include "platform/tolvar/FrameCodec.h"

#include <google/protobuf/message_lite.h>

namespace qor::tolvar {

std::string EncodeFrame(std::string_view payload) {
  std::string out;
  out.reserve(kFrameHeaderSize + payload.size());
  uint32_t size = static_cast<uint32_t>(payload.size());
  out.push_back(static_cast<char>(size >> 24));
  out.push_back(static_cast<char>(size >> 16));
  out.push_back(static_cast<char>(size >> 8));
  out.push_back(static_cast<char>(size));
  out.append(payload);
  return out;
}

std::string EncodeFrame(const google::protobuf::MessageLite& message) {
  const size_t size = message.ByteSizeLong();
  std::string out(kFrameHeaderSize + size, '\0');
  out[0] = static_cast<char>(size >> 24);
  out[1] = static_cast<char>(size >> 16);
  out[2] = static_cast<char>(size >> 8);
  out[3] = static_cast<char>(size);
  // The sizes were just computed: serialize with them instead of computing them again.
  message.SerializeWithCachedSizesToArray(reinterpret_cast<uint8_t*>(out.data() + kFrameHeaderSize));
  return out;
}

void FrameDecoder::Append(const char* data, size_t size) {
  if (_failed) return;
  // Drop consumed bytes before growing, so the buffer stays about one frame long.
  if (_offset > 0 && (_offset == _buffer.size() || _offset > 65536)) {
    _buffer.erase(0, _offset);
    _offset = 0;
  }
  _buffer.append(data, size);
}

FrameDecoder::Result FrameDecoder::Next(std::string* payload) {
  if (_failed) return Result::kTooLarge;
  size_t available = _buffer.size() - _offset;
  if (available < kFrameHeaderSize) return Result::kNeedMore;
  const auto* p = reinterpret_cast<const unsigned char*>(_buffer.data() + _offset);
  size_t size = (static_cast<size_t>(p[0]) << 24) | (static_cast<size_t>(p[1]) << 16) |
                (static_cast<size_t>(p[2]) << 8) | static_cast<size_t>(p[3]);
  if (size > _maxFrame) {
    _failed = true;
    _buffer.clear();
    _offset = 0;
    return Result::kTooLarge;
  }
  if (available - kFrameHeaderSize < size) return Result::kNeedMore;
  payload->assign(_buffer, _offset + kFrameHeaderSize, size);
  _offset += kFrameHeaderSize + size;
  if (_offset == _buffer.size() && _buffer.capacity() > kKeptCapacity) {
    // Everything is consumed: give a large frame's memory back instead of keeping it per connection.
    std::string().swap(_buffer);
    _offset = 0;
  }
  return Result::kFrame;
}

}  // namespace qor::tolvar
