#include "tools/qor-dpsim/AgentLinkServer.h"

#include <filesystem>
#include <iostream>
#include <sstream>

namespace qor::dpsim {

namespace {
uint32_t ReadBe32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
bool LengthFrameable(uint32_t length) {
  return length >= AgentLinkServer::kHeaderLen && length <= AgentLinkServer::kMaxFrame;
}
}  // namespace

AgentLinkServer::AgentLinkServer(boost::asio::io_context& context, std::string path,
                                 const std::string& captureDirectory)
    : _path(std::move(path)), _capture(captureDirectory, kName), _server(context, _path, &FrameSize, this) {}

AgentLinkServer::~AgentLinkServer() {
  Stop();
}

bool AgentLinkServer::Start(std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(_path).parent_path(), ec);
  if (!_server.Start(error)) {
    *error = "cannot listen on " + _path + ": " + *error;
    return false;
  }
  return true;
}

void AgentLinkServer::Stop() {
  _server.Stop();
}

long AgentLinkServer::FrameSize(const uint8_t* data, size_t size) {
  if (size < kHeaderLen) return 0;
  uint32_t length = ReadBe32(data + 2);
  if (!LengthFrameable(length)) return static_cast<long>(kHeaderLen);
  return static_cast<long>(length);
}

std::vector<uint8_t> AgentLinkServer::BuildFrame(const std::vector<uint8_t>& payload, uint8_t type, bool fragment) {
  std::vector<uint8_t> frame(kHeaderLen + payload.size());
  uint32_t length = static_cast<uint32_t>(frame.size());
  frame[0] = fragment ? kFragmentFlag : 0;
  frame[1] = type;
  frame[2] = static_cast<uint8_t>(length >> 24);
  frame[3] = static_cast<uint8_t>(length >> 16);
  frame[4] = static_cast<uint8_t>(length >> 8);
  frame[5] = static_cast<uint8_t>(length);
  std::copy(payload.begin(), payload.end(), frame.begin() + kHeaderLen);
  return frame;
}

size_t AgentLinkServer::SendToAll(const std::vector<uint8_t>& frame) {
  size_t sent = 0;
  for (uint64_t id : _open) {
    if (_closing.count(id) || !_server.Send(id, frame)) continue;
    _capture.Record(Direction::kOut, id, frame.data(), frame.size());
    ++sent;
  }
  return sent;
}

std::vector<uint64_t> AgentLinkServer::Connections() const {
  return std::vector<uint64_t>(_open.begin(), _open.end());
}

std::string AgentLinkServer::Dump() const {
  std::ostringstream out;
  out << "connections: " << _open.size() << ", accepted: " << _accepted << "\n";
  out << "bytes received: " << _bytesIn << ", framing errors: " << _framingErrors << "\n";
  for (const auto& [type, count] : _framesByType) out << "type " << type << ": " << count << " frame(s)\n";
  return out.str();
}

void AgentLinkServer::OnConnectionStatusChange(uint64_t id, bool up) {
  if (up) {
    _open.insert(id);
    ++_accepted;
    return;
  }
  _open.erase(id);
  _closing.erase(id);
}

void AgentLinkServer::OnMessage(uint64_t id, const uint8_t* data, size_t length) {
  if (_closing.count(id)) return;
  _capture.Record(Direction::kIn, id, data, length);
  _bytesIn += length;
  if (length < kHeaderLen || !LengthFrameable(ReadBe32(data + 2))) {
    ++_framingErrors;
    std::cerr << "qor-dpsim: " << kName << ": "
              << (length < kHeaderLen ? "connection closed inside a frame header"
                                      : "frame length " + std::to_string(ReadBe32(data + 2)) + " cannot be framed")
              << ", closing connection " << id << std::endl;
    _closing.insert(id);
    _server.Close(id);
    return;
  }
  if (ReadBe32(data + 2) != length) {
    // The agent closed inside this frame: what arrived is captured, nothing is delivered.
    ++_framingErrors;
    std::cerr << "qor-dpsim: " << kName << ": connection " << id << " closed after " << length << " of "
              << ReadBe32(data + 2) << " bytes" << std::endl;
    return;
  }
  ++_framesByType[data[1]];
}

}  // namespace qor::dpsim
